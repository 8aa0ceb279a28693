"""The operator manual's pictures, taken from the running monitor under the station's Russian
settings and Wine's own fonts: the settings dialog, the server port dialog, the sensor alert
and the main window with eight readings (values, a channel without a sensor, a channel in
error), and the installer's page of choices. Each window is cut from a screenshot of the virtual display along its own rectangle.

  test_manual_screens.py        the pictures go to ZK_ARTEFACTS/manual
  ZK_MANUAL_IMAGES=docs/ru/img  ... or there (tools/release/make-manual.sh --screens)
"""

import os
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
    Meter, alerts, check, close_monitor, confirm_settings, equal, harness, log_files,
    press_first_button, run_russian_session, start_monitor, wait_for, wait_rows)

ROOT = HERE.parent.parent
OUT = Path(os.environ.get("ZK_MANUAL_IMAGES") or
           Path(os.environ.get("ZK_ARTEFACTS", "/tmp/zk47-artefacts")) / "manual")
SERVER_TITLE = "Параметры сервера"
STATE = {}


def folder(s):
    """The installer's folder, so that the pictures show the paths an operator sees."""
    return s.prefix / "drive_c" / "users" / os.environ.get("USER", "root") / "AppData" / "Local" / "ZK-47"


def setup(s):
    s.add_serial("COM1")
    subprocess.run(["bash", str(ROOT / "tools" / "prefix-fonts.sh"), str(s.prefix)], check=True, timeout=60)
    folder(s).mkdir(parents=True)
    for exe in ("zksrv.exe", "wgnuplot.exe"):
        s.install(harness.windows_program(exe), folder(s) / exe)
    OUT.mkdir(parents=True, exist_ok=True)


def overlaps(a, b):
    ax, ay, aw, ah = a
    bx, by, bw, bh = b
    return ax < bx + bw and bx < ax + aw and ay < by + bh and by < ay + ah


def picture(s, win, name):
    """The window's own rectangle cut out of the display. Other programs' windows over it (the
    data server's console) are hidden first: with no window manager, nothing raises it."""
    d = s.drive
    line = d.window(win)
    rect = line["rect"]
    for other in d.windows():
        if other["pid"] != line["pid"] and overlaps(other["rect"], rect):
            d.show(other, "hide")
            wait_for(lambda: not (d.window(other) or {}).get("visible"), 10, "the window hidden")
    time.sleep(1)  # for what was under a closed or hidden window to be drawn again
    shot = s.screenshot("screen-" + name)
    x, y, w, h = rect
    target = OUT / name
    subprocess.run(["convert", str(shot), "-crop", f"{w}x{h}+{x}+{y}", "+repage", "-strip", str(target)],
                   check=True, timeout=60)
    equal(stationlib.png_size(target), (w, h), f"{name}: its size")
    print(f"{name}: {w} x {h}")


def case_dialogs(s):
    d = s.drive
    prog, dlg = start_monitor(s, cwd=folder(s))
    picture(s, dlg, "settings.png")
    win = confirm_settings(s, dlg)
    d.click(win, 5)
    srv = d.wait_window(title=SERVER_TITLE, timeout=30)
    d.set_text(srv, 300, str(free_port()))
    picture(s, srv, "server-port.png")
    d.click(srv, 301)
    d.wait_gone(srv, timeout=30)
    d.wait_text(win, 400, "Сервер запущен!", timeout=60)
    STATE.update(prog=prog, win=win)


def case_running(s):
    d, win = s.drive, STATE["win"]
    press_first_button(d, win, 8, "Пауза")
    s.wait_port_open("COM1", timeout=60)
    m = Meter(s.ports["COM1"])
    m.send(m.line([5.0] * 12), taken=False)
    for k in range(8):
        channels = [round(21.4 + 0.37 * k + 0.9 * c, 2) for c in range(12)]
        channels[10] = None
        if k == 7:
            channels[4] = "ERR"
        m.send(m.line(channels))
    log = wait_for(lambda: log_files(s, work=folder(s)), 30, "the log")[0]
    wait_rows(log, 3, 8)
    alert = wait_for(lambda: alerts(d), 60, "the sensor alert")[0]
    picture(s, alert, "alert.png")
    d.click(alert, 701)
    d.wait_gone(alert, timeout=30)
    picture(s, win, "main.png")
    code, _ = close_monitor(s, win, STATE["prog"])
    equal(code, 0, "exit code")


def case_installer(s):
    """The installer's page of choices, then Cancel and its confirmation."""
    d = s.drive
    dist = Path(os.environ.get("ZK_DIST_DIR", ROOT / "build" / "dist"))
    prog = s.run(sorted(dist.glob("zk47-setup-*.exe"))[-1])
    wizard = d.wait_window(title_prefix="Установка станции ZK-47", timeout=60)
    d.click(wizard, 1)  # the folder page: Next
    d.wait_text(wizard, 1, "&Установить", timeout=30)
    picture(s, wizard, "setup-components.png")
    d.click(wizard, 2)
    ask = wait_for(lambda: [w for w in d.windows(title_prefix="Установка станции ZK-47")
                            if w["hwnd"] != wizard["hwnd"]], 30, "the question before cancelling")[0]
    d.msgbox(hwnd=ask["hwnd"], press=6, timeout=30)  # Yes
    equal(prog.wait(30), 1, "the cancelled installer's exit code")


CASES = {"dialogs": case_dialogs, "running": case_running, "installer": case_installer}

if __name__ == "__main__":
    raise SystemExit(run_russian_session("manual-screens", CASES, setup))
