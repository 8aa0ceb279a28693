"""The monitor from start to the idle main window, and the ways it ends before acquiring:
python3 monitor_startup.py [CASE...] (all cases by default, in one session).

- settings: the settings dialog as it opens with no zk47.cfg (layout, defaults), Escape doing
  nothing, Enter confirming; the idle main window (title, place, every control); zk47.cfg
  written as "0 127.0.0.1 5000 5 5"; closing before Start: exit code 0, no log, no script.
- config: zk47.cfg round trip: "16 10.0.0.5 7000 2 10" selects "Сервер"; what the dialog
  confirms is what the next run shows; a first field of 17 or -1, or a file of the first field
  alone.
- workdir: a working directory of 219 characters works; one of 220, too long for the default
  log path, gives "Слишком длинный путь рабочего каталога", exit code 1 and writes nothing.
- noport: a port that cannot be opened gives "Невозможно открыть посл.порт" and exit code 1;
  the port is opened as \\\\.\\COMn.
- longname: File with a name whose .txt form does not fit a path is refused with a box; the
  log stays as it was and Start still writes the default log's headers.
"""

import re
import sys
import time
from pathlib import Path

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, str(Path(__file__).resolve().parent.parent))  # tests/, home of zk47test
from zk47test.monitor import (  # noqa: E402
    BUTTON_ROW, CHANNEL_TITLES, ERROR_TITLE, MAIN_CLASS, MAIN_TITLE, SETTINGS_CONTROLS,
    SETTINGS_SIZE_DU, SETTINGS_TITLE, SOURCES, BS_PUSHBUTTON, ES_AUTOVSCROLL, ES_MULTILINE,
    ES_READONLY, WS_CHILD, WS_EX_CLIENTEDGE, WS_EX_WINDOWEDGE, WS_OVERLAPPEDWINDOW, WS_VISIBLE,
    WS_VSCROLL, cell_id, cell_rect, check, check_dialog_layout, close_monitor, confirm_settings,
    control_map, equal, header_rect, run_session, start_monitor, win_path, wait_for)


def dialog_values(d, dlg):
    ctl = control_map(d, dlg)
    return {
        "source": (ctl[223]["selected"], ctl[223]["text"]),
        "ip": ctl[226]["text"], "port": ctl[228]["text"], "period": ctl[230]["text"],
        "gperiod": ctl[236]["text"],
        "checks": [ctl[i]["checked"] for i in (233, 234, 237, 239)],
    }


def defaults(source=0):
    return {"source": (source, SOURCES[source]), "ip": "127.0.0.1", "port": "5000", "period": "5",
            "gperiod": "5", "checks": [1, 1, 0, 0]}


def work_files(s):
    return sorted(str(p.relative_to(s.work)) for p in s.work.rglob("*"))


def check_main_window(d, win, work, only_seconds=False):
    """The idle main window: title, place, style and every control."""
    equal(win["title"], MAIN_TITLE, "main window title")
    equal(win["class"], MAIN_CLASS, "main window class")
    equal(win["rect"], [0, 0, 870, 280], "main window at 0,0 sized 870 x 280")
    check("owner" not in win, "main window has no owner")
    equal(win["style"] & WS_OVERLAPPEDWINDOW, WS_OVERLAPPEDWINDOW, "WS_OVERLAPPEDWINDOW")
    equal(win["exstyle"] & (WS_EX_WINDOWEDGE | WS_EX_CLIENTEDGE), WS_EX_WINDOWEDGE | WS_EX_CLIENTEDGE,
          "WS_EX_OVERLAPPEDWINDOW")

    controls = [c for c in d.controls(win) if c["parent"] == win["hwnd"]]
    equal(len(controls), 6 + 14 + 112 + 2, "number of controls")
    equal(len({c["id"] for c in controls}), len(controls), "control ids are unique")
    ctl = {c["id"]: c for c in controls}
    for c in controls:
        check(c["style"] & (WS_CHILD | WS_VISIBLE) == WS_CHILD | WS_VISIBLE, f"{c['id']}: WS_CHILD | WS_VISIBLE")
        equal(c["exstyle"], 0, f"extended style of {c['id']}")

    for id_, text, rect in BUTTON_ROW:
        c = ctl[id_]
        equal((c["class"], c["text"], c["rect"]), ("Button", text, rect), f"button {id_}")
        equal(c["style"] & 0xF, BS_PUSHBUTTON, f"button {id_} is a push button")

    titles = [" Время,с" if only_seconds else " Время", "Вр.ZK-47"] + CHANNEL_TITLES
    for col in range(14):
        c = ctl[10 + col]
        equal((c["class"], c["text"], c["rect"]), ("Static", titles[col], header_rect(col)),
              f"header label of column {col}")
        for row in range(8):
            c = ctl[cell_id(col, row)]
            equal((c["class"], c["text"], c["rect"]), ("Edit", "", cell_rect(col, row)),
                  f"cell of column {col}, row {row}")
            check(not c["style"] & ES_READONLY, f"cell {col},{row} is not read-only")

    c = ctl[1000]
    equal((c["class"], c["text"], c["rect"]), ("Static", "Имя сохраняемого файла: ", [2, 215, 188, 20]),
          "file name label")
    equal(c["style"] & 0xF, 0, "file name label is SS_LEFT")
    c = ctl[1001]
    equal((c["class"], c["rect"]), ("Edit", [192, 215, 663, 20]), "file name field")
    want = WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY
    equal(c["style"] & want, want, "file name field: WS_VSCROLL, ES_MULTILINE, ES_AUTOVSCROLL, ES_READONLY")
    # The default log: <working directory>\data\YYYY-MM-DD\YYYY-MM-DD-HH-MM-SS.txt
    m = re.fullmatch(re.escape(win_path(work)) + r"\\data\\(\d{4}-\d{2}-\d{2})\\(\1-\d{2}-\d{2}-\d{2})\.txt",
                     c["text"])
    check(m is not None, f"file name field shows the default log: {c['text']!r}")
    return ctl, m.group(2)


def case_settings(s):
    d = s.drive
    check(not (s.work / "zk47.cfg").exists(), "no zk47.cfg at first")
    prog, dlg = start_monitor(s)

    # While the dialog runs, it is the only visible window: the main window exists, hidden.
    equal([w["hwnd"] for w in d.windows(exe="zk47.exe")], [dlg["hwnd"]], "the dialog is the only visible window")
    owner = d.window(dlg["owner"])
    equal((owner["class"], owner["visible"]), (MAIN_CLASS, False), "the dialog's owner: the hidden main window")
    equal(dlg["title"], SETTINGS_TITLE, "settings dialog title")
    ctl = check_dialog_layout(d, dlg, owner, SETTINGS_CONTROLS, SETTINGS_SIZE_DU, "settings dialog")
    equal(d.items(dlg, 223), SOURCES, "combobox entries")
    equal(dialog_values(d, dlg), defaults(), "settings shown with no zk47.cfg")

    # Escape does nothing. Posted messages are handled in order: once the click after it has
    # toggled the checkbox, the Escape has been handled too.
    d.key(dlg, "escape")
    d.click(dlg, 239)
    wait_for(lambda: control_map(d, dlg)[239]["checked"] == 1, 10, "the click after Escape")
    check(d.window(dlg)["visible"], "the dialog is still open after Escape")
    d.click(dlg, 239)
    wait_for(lambda: control_map(d, dlg)[239]["checked"] == 0, 10, "the second click")

    # Enter confirms: the main window appears with the settings' defaults.
    win = confirm_settings(s, dlg, key="enter")
    equal((s.work / "zk47.cfg").read_bytes(), b"0 127.0.0.1 5000 5 5", "zk47.cfg written on confirmation")
    ctl, stem = check_main_window(d, win, s.work)
    day = stem[:10]
    check((s.work / "data" / day).is_dir(), "the day folder is made on confirmation")
    equal(work_files(s), ["data", f"data/{day}", "zk47.cfg"], "only the folders and zk47.cfg before Start")

    # Maximised and restored, the controls stay where they are.
    d.show(win, "max")
    wait_for(lambda: d.window(win)["zoomed"], 10, "the window maximised")
    equal(control_map(d, win)[1001]["rect"], [192, 215, 663, 20], "file name field stays in place")
    equal(control_map(d, win)[cell_id(13, 7)]["rect"], cell_rect(13, 7), "last cell stays in place")
    d.show(win, "restore")
    wait_for(lambda: d.window(win)["rect"] == [0, 0, 870, 280], 10, "the window restored")

    # Closed before Start: exit code 0, nothing written or deleted.
    code, took = close_monitor(s, win, prog)
    equal(code, 0, "exit code after closing before Start")
    equal(work_files(s), ["data", f"data/{day}", "zk47.cfg"], "files after closing before Start")


def case_config(s):
    d = s.drive
    cfg = s.work / "zk47.cfg"

    # A network source is selected by the file; confirmed as COM3 with other texts, which is
    # what the next run shows. A poll period typed as 1234 is kept as 123.
    cfg.write_bytes(b"16 10.0.0.5 7000 2 10")
    prog, dlg = start_monitor(s)
    want = {"source": (16, "Сервер"), "ip": "10.0.0.5", "port": "7000", "period": "2", "gperiod": "10",
            "checks": [1, 1, 0, 0]}
    equal(dialog_values(d, dlg), want, 'zk47.cfg "16 10.0.0.5 7000 2 10"')
    equal(d.select(dlg, 223, 2)["text"], "COM3", "COM3 selected")
    d.set_text(dlg, 226, "192.168.7.1")
    d.set_text(dlg, 228, "6001")
    d.set_text(dlg, 230, "1234")
    win = confirm_settings(s, dlg, key="click")
    equal(cfg.read_bytes(), b"2 192.168.7.1 6001 123 10", "zk47.cfg after confirming changed settings")
    equal(close_monitor(s, win, prog)[0], 0, "exit code")

    prog, dlg = start_monitor(s)
    want = {"source": (2, "COM3"), "ip": "192.168.7.1", "port": "6001", "period": "123", "gperiod": "10",
            "checks": [1, 1, 0, 0]}
    equal(dialog_values(d, dlg), want, "the next run shows what was confirmed")
    win = confirm_settings(s, dlg)
    equal(cfg.read_bytes(), b"2 192.168.7.1 6001 123 10", "zk47.cfg rewritten as it was")
    equal(close_monitor(s, win, prog)[0], 0, "exit code")

    # A source out of range selects COM1; a file of the first field alone keeps the defaults.
    for text, source in ((b"17 10.0.0.5 7000 2 10", 0), (b"-1 10.0.0.5 7000 2 10", 0), (b"3", 3)):
        cfg.write_bytes(text)
        prog, dlg = start_monitor(s)
        want = defaults(source)
        if source == 0:
            want.update(ip="10.0.0.5", port="7000", period="2", gperiod="10")
        equal(dialog_values(d, dlg), want, f"zk47.cfg {text!r}")
        win = confirm_settings(s, dlg)
        written = f"{source} {want['ip']} {want['port']} {want['period']} {want['gperiod']}".encode()
        equal(cfg.read_bytes(), written, f"zk47.cfg written after {text!r}")
        equal(close_monitor(s, win, prog)[0], 0, "exit code")


def directory_of_length(base, length):
    """A new folder under base whose Windows path (Z:\\...) has exactly `length` characters."""
    path = base
    need = length - len(win_path(base))
    check(need > 1, "the base folder is short enough")
    while need > 0:
        part = min(need - 1, 100)
        if need - 1 - part == 1:  # never leave a remainder that cannot hold "\x"
            part -= 1
        path = path / ("d" * part)
        need -= part + 1
    path.mkdir(parents=True)
    equal(len(win_path(path)), length, "length of the working directory")
    return path


def case_workdir(s):
    d = s.drive
    # 219 characters: the default log path takes 40 more, 259, and fits.
    ok = directory_of_length(s.work / "wd219", 219)
    prog, dlg = start_monitor(s, cwd=ok)
    win = confirm_settings(s, dlg)
    ctl = control_map(d, win)
    equal(len(ctl[1001]["text"]), 259, "default log path of a 219-character working directory")
    check(ctl[1001]["text"].startswith(win_path(ok) + "\\data\\"), "the log lies in that working directory")
    check((ok / "zk47.cfg").exists() and (ok / "data").is_dir(), "zk47.cfg and the data folder written")
    equal(close_monitor(s, win, prog)[0], 0, "exit code")

    # 220 characters: refused when the dialog is confirmed, before anything is written.
    long = directory_of_length(s.work / "wd220", 220)
    prog, dlg = start_monitor(s, cwd=long)
    d.key(dlg, "enter")
    box = d.msgbox(title=ERROR_TITLE, timeout=60)
    equal(box["text"], "Слишком длинный путь рабочего каталога", "message for a too long working directory")
    equal(box["buttons"], [{"id": 1, "text": "OK"}], "its button")
    check("owner" not in d.windows(hwnd=box["hwnd"])[0], "the box has no owner")
    d.msgbox(title=ERROR_TITLE, press="ok")
    equal(prog.wait(20), 1, "exit code after a too long working directory")
    equal(list(long.iterdir()), [], "nothing written in the too long working directory")
    check(not d.windows(exe="zk47.exe", all=True), "no window of the monitor left")


def case_noport(s):
    d = s.drive
    # COM16: the session maps no port but COM1 (Wine's own mapping of a host's /dev/ttyS0).
    # A port mapped in Wine's registry opens whatever its target; only an unmapped one fails.
    (s.work / "zk47.cfg").write_bytes(b"15 127.0.0.1 5000 5 5")
    # Wine's file trace shows the name the port is opened with.
    prog, win = start_monitor(s, "--autostart", env={"WINEDEBUG": "-all,trace+file"})
    box = d.msgbox(title=ERROR_TITLE, timeout=60)
    equal(box["text"], "Невозможно открыть посл.порт", "message for a port that cannot be opened")
    equal(box["buttons"], [{"id": 1, "text": "OK"}], "its button")
    check("owner" not in d.windows(hwnd=box["hwnd"])[0], "the box has no owner")
    d.msgbox(title=ERROR_TITLE, press="ok")
    equal(prog.wait(20), 1, "exit code after a port that cannot be opened")
    trace = prog.errors().decode("utf-8", "replace")
    opened = re.findall(r'CreateFileW L"([^"]*COM16)"', trace)
    # The trace doubles every backslash: \\.\COM16 appears as \\\\.\\COM16.
    equal(opened, ["\\\\\\\\.\\\\COM16"], "the port is opened as \\\\.\\COM16, once")


def case_longname(s):
    """File with a name that fits the Save-As buffer but whose .txt form would not fit a path
    buffer: refused with a box; the log stays the default one, and Start still writes its
    headers (File did not count as chosen)."""
    d = s.drive
    work = s.work / "longname"
    work.mkdir()
    # A network source with the longest period: Start polls nothing during the case.
    (work / "zk47.cfg").write_bytes(b"16 127.0.0.1 9 999 5")
    prog, dlg = start_monitor(s, cwd=work)
    win = confirm_settings(s, dlg)
    default = control_map(d, win)[1001]["text"]
    for length in (256, 259):
        chosen = win_path(work) + "\\"
        chosen += "n" * (length - len(chosen) - 4) + ".dat"
        equal(len(chosen), length, "length of the chosen name")
        d.click(win, 1)
        d.save_as(chosen, timeout=60)
        box = d.msgbox(title=ERROR_TITLE, timeout=60)
        equal(box["text"], "Слишком длинное имя файла: журнал остаётся прежним", f"message for {length} characters")
        equal(box["buttons"], [{"id": 1, "text": "OK"}], "its button")
        d.msgbox(title=ERROR_TITLE, press="ok")
        equal(control_map(d, win)[1001]["text"], default, "the log stays the default one")
    equal(sorted(p.name for p in work.iterdir()), ["data", "zk47.cfg"], "nothing written for the refused names")
    d.click(win, 7)
    wait_for(lambda: list((work / "data").glob("*/*.csv")), 30, "Start writing the default log's headers")
    logs = sorted(p.name for p in (work / "data").glob("*/*"))
    stem = default.rsplit("\\", 1)[1][:-4]
    equal(logs, sorted(stem + e for e in (".csv", ".pld", ".plt", ".txt")), "the default pair and its scripts")
    equal(close_monitor(s, win, prog)[0], 0, "exit code")


CASES = {"settings": case_settings, "config": case_config, "workdir": case_workdir, "noport": case_noport,
         "longname": case_longname}


if __name__ == "__main__":
    raise SystemExit(run_session("monitor-startup", CASES))
