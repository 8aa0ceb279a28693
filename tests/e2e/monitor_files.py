"""The monitor's files and viewers during a run on COM1: python3 monitor_files.py [CASE...]
(all cases by default, in order, in one session: each case goes on with the monitor the
earlier ones left running).

- viewers: Graph and Snapshot start "<working dir>\\wgnuplot.exe" on the .plt and the .pld,
  both quoted (a stand-in wgnuplot.exe records its command line; the working directory has a
  blank in its name); Journal starts Notepad on the log.
- file: File during a run, driving the Save-As dialog: a name typed as run1.dat becomes
  run1.dat.txt; the next rows go to the new pair under a header block of its own, the old pair
  keeps its rows; choosing the same file again appends a second header block.
- unwritable: a .csv that cannot be written (a folder in its place) gives the box
  "Невозможно записать файл <path>" once while rows go on into the .txt; a script that cannot
  be written gives the same box for the script; closing then saves the rows the .csv never
  took to zk47-unsaved-<start stamp>-1.csv in the working directory and ends with exit code 0.
"""

import os
import sys
import time
from pathlib import Path

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, str(Path(__file__).resolve().parent.parent))  # tests/, home of zk47test
from zk47test.monitor import (  # noqa: E402
    ERROR_TITLE, Meter, check, check_log_pair, close_monitor, csv_header, csv_row, equal, error_boxes,
    harness, log_files, run_session, start_monitor, wait_for, wait_rows, win_path)

HEADER = 3
STATE = {}  # what one case hands the next: the monitor, its window, the meter, the logs


def wd(s):
    """The monitor's working directory: a blank in it shows whether command lines quote paths."""
    return s.work / "run dir"


def setup(s):
    s.add_serial("COM1")
    wd(s).mkdir()
    s.install(harness.windows_program("wgnuplot_standin.exe"), "run dir/wgnuplot.exe")


def calls(s):
    """The stand-in viewer's records: (command line, current directory) per start."""
    path = wd(s) / "wgnuplot-calls.txt"
    text = path.read_bytes().decode("utf-8") if path.exists() else ""
    return [tuple(line.split("\t")) for line in text.splitlines()]


def wait_call(s, count):
    return wait_for(lambda: (lambda c: c if len(c) >= count else None)(calls(s)), 30,
                    f"{count} starts of wgnuplot.exe")[count - 1]


def running(s):
    """The monitor, started unattended (--autostart: the settings as zk47.cfg has them, Start
    pressed), with two readings in its default log."""
    if "win" in STATE:
        return STATE
    d = s.drive
    prog, win = start_monitor(s, "--autostart", cwd=wd(s))
    s.wait_port_open("COM1", timeout=60)
    time.sleep(0.5)
    log = wait_for(lambda: log_files(s, work=wd(s)), 30, "the default log")[0]
    m = Meter(s.ports["COM1"])
    m.send(m.line([5.0] * 12), taken=False)
    m.send(m.line([5.25 + k for k in range(12)]))
    m.send(m.line([6.5 + k for k in range(12)]))
    wait_rows(log, HEADER, 2)
    check_log_pair(log, [("header", log.stem)] + m.readings, "default log")
    STATE.update(prog=prog, win=win, meter=m, log=log, d=d, default_rows=list(m.readings))
    return STATE


def case_viewers(s):
    st = running(s)
    d, win, log = st["d"], st["win"], st["log"]
    work = win_path(wd(s))
    d.click(win, 2)
    equal(wait_call(s, 1), (f'"{work}\\wgnuplot.exe" "{win_path(log.with_suffix(".plt"))}"', work),
          "Graph's command line and directory")
    d.click(win, 3)
    equal(wait_call(s, 2), (f'"{work}\\wgnuplot.exe" "{win_path(log.with_suffix(".pld"))}"', work),
          "Snapshot's command line and directory")

    d.click(win, 4)
    pad = d.wait_window(exe="notepad.exe", timeout=60)
    # Notepad names the file it opened in its title once it has read it.
    wait_for(lambda: d.window(pad)["title"] == f"{log.name} - Notepad", 30, "Notepad showing the log")
    parent = [p["ppid"] for p in d.processes() if p["pid"] == pad["pid"]]
    equal(parent, [win["pid"]], "Notepad started by the monitor")
    d.close_window(pad)
    d.wait_gone(pad)
    equal(error_boxes(d), [], "no error box")


def case_file(s):
    st = running(s)
    d, win, m, log = st["d"], st["win"], st["meter"], st["log"]
    started = log.stem
    new = wd(s) / "run1.dat.txt"
    d.click(win, 1)
    chosen = d.save_as(win_path(wd(s) / "run1.dat"), timeout=60)
    check(chosen["title"], "the Save-As dialog has a title")
    d.wait_text(win, 1001, win_path(new), timeout=30)
    wait_rows(new, HEADER, 0)
    check_log_pair(new, [("header", started)], "new pair at once")
    for ext in ("plt", "pld"):
        script = new.with_suffix("." + ext).read_bytes().decode("cp1251")
        check(f"'{win_path(new)}' using" in script, f"run1.dat.{ext} plots run1.dat.txt")
    check(f"set output '{win_path(wd(s) / 'run1.dat.png')}'" in new.with_suffix(".pld").read_text("cp1251"),
          "the snapshot goes to run1.dat.png")

    before = len(m.readings)
    m.send(m.line([7.0 + k for k in range(12)]))
    m.send(m.line([8.0 + k for k in range(12)]))
    wait_rows(new, HEADER, 2)
    check_log_pair(new, [("header", started)] + m.readings[before:], "new pair")
    check_log_pair(log, [("header", started)] + st["default_rows"], "old pair keeps its rows")

    d.click(win, 2)
    equal(wait_call(s, 3)[0], f'"{win_path(wd(s))}\\wgnuplot.exe" "{win_path(new.with_suffix(".plt"))}"',
          "Graph after File")

    # The same file again: a second header block, then the next rows.
    d.click(win, 1)
    d.save_as(win_path(new), timeout=60)
    wait_rows(new, HEADER * 2, 2)
    m.send(m.line([9.0 + k for k in range(12)]))
    wait_rows(new, HEADER * 2, 3)
    blocks = [("header", started)] + m.readings[before:before + 2] + [("header", started)] + m.readings[before + 2:]
    check_log_pair(new, blocks, "a file chosen twice")
    st["blocks"] = blocks
    equal(error_boxes(d), [], "no error box")


def case_unwritable(s):
    st = running(s)
    d, win, m = st["d"], st["win"], st["meter"]
    txt = wd(s) / "run1.dat.txt"
    csv = txt.with_suffix(".csv")
    if "blocks" not in st:  # run alone: choose the pair first
        d.click(win, 1)
        d.save_as(win_path(wd(s) / "run1.dat"), timeout=60)
        wait_rows(txt, HEADER, 0)
        st["blocks"] = [("header", st["log"].stem)]
    blocks = st["blocks"]
    rows = len(blocks) - sum(isinstance(b, tuple) for b in blocks)
    headers = len(blocks) - rows

    # A folder where the .csv should be: the row cannot go there.
    os.remove(csv)
    os.mkdir(csv)
    m.send(m.line([11.0 + k for k in range(12)]))
    box = d.msgbox(title=ERROR_TITLE, timeout=60)
    equal(box["text"], "Невозможно записать файл " + win_path(csv), "message for an unwritable .csv")
    equal(box["buttons"], [{"id": 1, "text": "OK"}], "its button")
    check("owner" not in d.windows(hwnd=box["hwnd"])[0], "the box has no owner")
    # Rows go on into the .txt while the box is open, and no second box comes.
    m.send(m.line([12.0 + k for k in range(12)]))
    m.send(m.line([13.0 + k for k in range(12)]))
    wait_rows(txt, HEADER * headers, rows + 3)
    time.sleep(0.5)
    equal([b["hwnd"] for b in error_boxes(d)], [box["hwnd"]], "one box for the .csv")
    d.msgbox(title=ERROR_TITLE, press="ok")
    m.send(m.line([14.0 + k for k in range(12)]))
    wait_rows(txt, HEADER * headers, rows + 4)
    time.sleep(0.5)
    equal(error_boxes(d), [], "no second box for the same .csv")
    blocks = blocks + m.readings[-4:]
    waiting = check_log_pair(txt, blocks, "rows go on in the .txt", with_csv=False)[-4:]

    # A script that cannot be written when File prepares a new pair.
    blocked = wd(s) / "blocked.txt"
    os.mkdir(blocked.with_suffix(".plt"))
    d.click(win, 1)
    d.save_as(win_path(blocked), timeout=60)
    box = d.msgbox(title=ERROR_TITLE, timeout=60)
    equal(box["text"], "Невозможно записать файл " + win_path(blocked.with_suffix(".plt")),
          "message for an unwritable script")
    d.msgbox(title=ERROR_TITLE, press="ok")
    check(blocked.with_suffix(".pld").exists(), "the other script is written")
    m.send(m.line([15.0 + k for k in range(12)]))
    wait_rows(blocked, HEADER, 1)
    check_log_pair(blocked, [("header", st["log"].stem), m.readings[-1]], "the pair beside the blocked script")
    time.sleep(0.5)
    equal(error_boxes(d), [], "no further box")

    code, took = close_monitor(s, win, st["prog"])
    equal(code, 0, "exit code after closing")
    check(txt.exists() and blocked.exists(), "the logs stay")
    # The rows the .csv never took, in its own format under its header.
    started = st["log"].stem
    unsaved = wd(s) / f"zk47-unsaved-{started}-1.csv"
    equal(sorted(wd(s).glob("zk47-unsaved-*")), [unsaved], "one unsaved file, for the .csv")
    want = csv_header(started) + "".join(csv_row(r["sec"], r["stamp"], r["tm"], r["values"]) for r in waiting)
    equal(unsaved.read_bytes().decode("cp1251"), want, "the unsaved rows")


CASES = {"viewers": case_viewers, "file": case_file, "unwritable": case_unwritable}

if __name__ == "__main__":
    raise SystemExit(run_session("monitor-files", CASES, setup))
