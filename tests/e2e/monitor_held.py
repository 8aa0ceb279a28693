"""Logs held by another program during a serial run on COM1, as a spreadsheet program holds the
file it shows (open for reading, no write sharing): python3 monitor_held.py [CASE...] (all
cases by default, in order, in one session, with one monitor).

- csv: the CSV log held for 5 s; the rows sent meanwhile wait and land afterwards (with no
  further row to carry them), in order and once; one box "Невозможно записать файл <csv>".
- txt: the same with the text log.
- switch: both logs held while File switches to a new pair: the rows taken before the switch
  still go to the old pair, the later ones to the new pair at once; one box per held file.
"""

import sys
import time
from pathlib import Path

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, str(Path(__file__).resolve().parent.parent))  # tests/, home of zk47test
from zk47test.monitor import (  # noqa: E402
    ERROR_TITLE, Meter, check, check_log_pair, close_monitor, equal, error_boxes, log_files,
    run_session, start_monitor, wait_for, wait_rows, win_path)

HEADER = 3
STATE = {}


def setup(s):
    s.add_serial("COM1")


def running(s):
    """The monitor, started unattended, with two readings in its default log."""
    if STATE:
        return STATE
    prog, win = start_monitor(s, "--autostart")
    s.wait_port_open("COM1", timeout=60)
    time.sleep(0.5)
    log = wait_for(lambda: log_files(s), 30, "the default log")[0]
    m = Meter(s.ports["COM1"])
    m.send(m.line([5.0] * 12), taken=False)
    m.send(m.line([5.25 + k for k in range(12)]))
    m.send(m.line([6.5 + k for k in range(12)]))
    wait_rows(log, HEADER, 2)
    STATE.update(prog=prog, win=win, meter=m, log=log, blocks=[("header", log.stem)] + m.readings)
    return STATE


def hold(s, ms, *paths):
    """Starts the holder on the files and returns it once they are held."""
    holder = s.run("hold_file.exe", ms, *map(win_path, paths))
    wait_for(lambda: b"held" in holder.output() or not holder.running(), 60, "the files to be held")
    check(b"held" in holder.output(), f"the holder opened the files: {holder.errors()!r}")
    return holder


def wait_boxes(d, count):
    """Waits until `count` error boxes are open; returns their texts."""
    boxes = wait_for(lambda: (lambda b: b if len(b) >= count else None)(error_boxes(d)), 60,
                     f"{count} error boxes")
    return sorted(d.msgbox(hwnd=b["hwnd"], timeout=10)["text"] for b in boxes)


def press_all(d):
    while error_boxes(d):
        d.msgbox(title=ERROR_TITLE, press="ok")


def held_spell(s, held):
    st = running(s)
    d, m, log = s.drive, st["meter"], st["log"]
    path = log.with_suffix(held)
    free = log.with_suffix(".csv" if held == ".txt" else ".txt")
    holder = hold(s, 5000, path)
    before = len(m.readings)
    for k in range(3):
        m.send(m.line([10.0 + k + 0.25 * j for j in range(12)]))
    wait_rows(free, HEADER if held == ".csv" else 2, len(st["blocks"]) - 1 + 3)
    equal(wait_boxes(d, 1), ["Невозможно записать файл " + win_path(path)], "the box for the held file")
    equal(holder.wait(30), 0, "the holder let go")
    # The waiting rows land by themselves (at most 5 s later), then later rows behind them.
    st["blocks"] += m.readings[before:]
    wait_rows(log, HEADER, len(st["blocks"]) - 1, timeout=20)
    wait_rows(log.with_suffix(".csv"), 2, len(st["blocks"]) - 1, timeout=20)
    check_log_pair(log, st["blocks"], f"{held} held for 5 s")
    time.sleep(0.5)
    equal(len(error_boxes(d)), 1, "one box for the whole spell")
    press_all(d)


def case_csv(s):
    held_spell(s, ".csv")


def case_txt(s):
    held_spell(s, ".txt")


def case_switch(s):
    st = running(s)
    d, m, win, log = s.drive, st["meter"], st["win"], st["log"]
    holder = hold(s, 15000, log, log.with_suffix(".csv"))
    before = len(m.readings)
    for k in range(2):
        m.send(m.line([30.0 + k] * 12))
    equal(wait_boxes(d, 2), ["Невозможно записать файл " + win_path(p) for p in (log.with_suffix(".csv"), log)],
          "one box per held file")
    press_all(d)
    new = s.work / "after-switch.txt"
    d.click(win, 1)
    d.save_as(win_path(new), timeout=60)
    wait_rows(new, HEADER, 0)
    m.send(m.line([40.0] * 12))
    m.send(m.line([41.0] * 12))
    wait_rows(new, HEADER, 2)
    check(holder.running(), "the old pair is still held after the switch")
    check_log_pair(new, [("header", log.stem)] + m.readings[before + 2:], "the new pair at once")
    equal(holder.wait(30), 0, "the holder let go")
    st["blocks"] += m.readings[before:before + 2]
    wait_rows(log, HEADER, len(st["blocks"]) - 1, timeout=20)
    wait_rows(log.with_suffix(".csv"), 2, len(st["blocks"]) - 1, timeout=20)
    check_log_pair(log, st["blocks"], "the old pair gets the rows taken for it")
    time.sleep(0.5)
    equal(error_boxes(d), [], "no further box")
    code, _ = close_monitor(s, win, st["prog"])
    equal(code, 0, "exit code after closing")
    equal(sorted(p.name for p in s.work.glob("zk47-unsaved-*")), [], "nothing left unsaved")


CASES = {"csv": case_csv, "txt": case_txt, "switch": case_switch}

if __name__ == "__main__":
    raise SystemExit(run_session("monitor-held", CASES, setup))
