"""The monitor as the station's prefix runs it: Russian regional settings (ANSI code page 1251,
the locale made with localedef) and Wine's own fonts (tools/prefix-fonts.sh), one session:

  test_station_ru.py [fonts] [cyrillic_path]

fonts: in the settings dialog, the main window, the Start-server dialog and the main window with
its "Сервер запущен!" label, every static and button text fits its control: measured through
the driver with the control's own font against its client rectangle (no wider, and a static's
text broken at words stays on one line). A screenshot of the running station is kept as an
artefact (ZK_ARTEFACTS).

cyrillic_path: during a run, File chooses "Журналы\\Замер.txt" in the working directory through
Wine's Save-As dialog, in Russian: the field shows the name, both logs and both scripts land
there byte for byte (the scripts are the default log's with only the path changed), and
Snapshot makes the PNG there through the real forwarder and the host's gnuplot. Closing ends
the monitor with code 0.
"""

import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.dont_write_bytecode = True
HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))  # tests/, home of zk47test
from zk47test import station as stationlib  # noqa: E402
from zk47test.sockets import free_port  # noqa: E402
from zk47test.monitor import (  # noqa: E402
    BS_AUTOCHECKBOX, SETTINGS_CONTROLS, Meter, check, check_log_pair, close_monitor,
    confirm_settings, equal, error_boxes, harness, log_files, press_first_button, run_russian_session,
    start_monitor, wait_for, wait_rows, win_path)

ROOT = HERE.parent.parent
SERVER_TITLE = "Параметры сервера"
SERVER_LABEL = 400
SERVER_PORT, SERVER_OK = 300, 301
CHECK_BOX = 16  # a check box's square and the gap before its text
HEADER = 3
FOLDER = "Журналы"
STATE = {}


def setup(s):
    s.add_serial("COM1")
    subprocess.run(["bash", str(ROOT / "tools" / "prefix-fonts.sh"), str(s.prefix)], check=True, timeout=60)
    for exe in ("zksrv.exe", "wgnuplot.exe"):
        s.install(harness.windows_program(exe))
    (s.work / FOLDER).mkdir()


def check_fit(d, win, what, check_boxes=()):
    """Every static and button text of the window fits its control; returns the figures."""
    figures = []
    for e in d.extents(win):
        if e["class"] not in ("Static", "Button"):
            continue
        check(not e["own_font"], f"{what}: control {e['id']} has a font of its own")
        room = e["client"][2] - (CHECK_BOX if e["id"] in check_boxes else 0)
        width = e["trimmed"][0]
        figures.append(f"{e['id']} {e['text'].strip()!r} {width}/{room}")
        check(width <= room, f"{what}: {e['text']!r} is {width} px wide in {e['face']}, its control {room}")
        if e["class"] == "Static":
            check(e["wrapped_height"] <= e["client"][3],
                  f"{what}: {e['text']!r} breaks into {e['wrapped_height']} px, its control {e['client'][3]}")
    check(figures, f"{what}: no texts measured")
    print(f"{what}: " + ", ".join(figures))
    return figures


def running(s):
    """The monitor without --autostart: the dialog and the windows are measured on the way."""
    if "win" in STATE:
        return STATE
    d = s.drive
    prog, dlg = start_monitor(s)
    boxes = {c[0] for c in SETTINGS_CONTROLS if c[3] == BS_AUTOCHECKBOX}
    STATE["dialog"] = check_fit(d, dlg, "settings dialog", boxes)
    win = confirm_settings(s, dlg)
    STATE["main"] = check_fit(d, win, "main window")
    d.click(win, 5)
    srv = d.wait_window(title=SERVER_TITLE, timeout=30)
    STATE["server dialog"] = check_fit(d, srv, "Start-server dialog")
    d.set_text(srv, SERVER_PORT, str(free_port()))
    d.click(srv, SERVER_OK)
    d.wait_gone(srv, timeout=30)
    d.wait_text(win, SERVER_LABEL, "Сервер запущен!", timeout=60)
    press_first_button(d, win, 8, "Пауза")
    s.wait_port_open("COM1", timeout=60)
    time.sleep(0.5)
    STATE.update(prog=prog, win=win, d=d, meter=Meter(s.ports["COM1"]))
    return STATE


def case_fonts(s):
    st = running(s)
    d, win, m = st["d"], st["win"], st["meter"]
    m.send(m.line([5.0] * 12), taken=False)
    m.send(m.line([21.5 + k for k in range(12)]))
    log = wait_for(lambda: log_files(s), 30, "the default log")[0]
    wait_rows(log, HEADER, 1)
    label = [f for f in check_fit(d, win, "main window, server started") if f.startswith(f"{SERVER_LABEL} ")]
    check(label, "no server label measured")
    shot = s.screenshot("station-ru.png")
    artefacts = Path(os.environ.get("ZK_ARTEFACTS", s.dir))
    artefacts.mkdir(parents=True, exist_ok=True)
    shutil.copy(shot, artefacts / "station-ru.png")
    check(stationlib.png_size(artefacts / "station-ru.png") == (1024, 768), "the screenshot")
    print(f"screenshot: {artefacts / 'station-ru.png'}")
    st["log"] = log


def script_for(script, old_stem, new_stem):
    """A script of the default log with its paths moved to another log name (Windows-1251)."""
    return script.replace(win_path(old_stem).encode("cp1251"), win_path(new_stem).encode("cp1251"))


def case_cyrillic_path(s):
    st = running(s)
    d, win, m = st["d"], st["win"], st["meter"]
    if "log" not in st:
        m.send(m.line([5.0] * 12), taken=False)
        st["log"] = wait_for(lambda: log_files(s), 30, "the default log")[0]
    default = st["log"]
    started = default.stem
    new = s.work / FOLDER / "Замер.txt"
    d.click(win, 1)
    chosen = d.save_as(win_path(new), timeout=60)
    check(any("а" <= c <= "я" for c in chosen["title"].lower()), f"Save-As is titled {chosen['title']!r}")
    d.wait_text(win, 1001, win_path(new), timeout=30)
    wait_rows(new, HEADER, 0)
    before = len(m.readings)
    for k in range(3):
        m.send(m.line([-12.25 + k + c for c in range(12)]))
    wait_rows(new, HEADER, 3)
    check_log_pair(new, [("header", started)] + m.readings[before:], "logs in the Cyrillic folder")
    for ext in ("plt", "pld"):
        got = new.with_suffix("." + ext).read_bytes()
        want = script_for(default.with_suffix("." + ext).read_bytes(), default.with_suffix(""),
                          new.with_suffix(""))
        equal(got, want, f"Замер.{ext}")
    check("Журналы\\Замер.png".encode("cp1251") in new.with_suffix(".pld").read_bytes(),
          "the snapshot script writes Замер.png")

    png = new.with_suffix(".png")
    d.click(win, 3)
    wait_for(lambda: stationlib.png_size(png), 90, "the snapshot PNG in the Cyrillic folder")
    check(png.stat().st_size > 3000, f"a PNG of {png.stat().st_size} bytes holds no plot")
    equal(sorted(p.name for p in (s.work / FOLDER).iterdir()),
          sorted("Замер." + e for e in ("csv", "pld", "plt", "png", "txt")), "the Cyrillic folder")
    equal(error_boxes(d), [], "no error box")
    code, _ = close_monitor(s, win, st["prog"])
    equal(code, 0, "exit code after closing")
    print(f"cyrillic_path: {len(m.readings) - before} rows in {new.relative_to(s.work)}, "
          f"snapshot {png.stat().st_size} bytes")


CASES = {"fonts": case_fonts, "cyrillic_path": case_cyrillic_path}

if __name__ == "__main__":
    raise SystemExit(run_russian_session("station-ru", CASES, setup))
