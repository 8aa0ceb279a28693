"""The monitor acquiring from a meter on COM1 (a pseudo-terminal): python3 monitor_serial.py
[CASE...] (all cases by default, in one session).

- acquire: Start, Pause, Continue replace the first button (ids 7, 8, 9, 8; "Старт", "Пауза",
  "Продолжить", "Пауза") and Start removes the server button; the first line after Start, a
  line beginning with "<", a line of 59 characters are dropped, 60 characters are taken (a
  carriage return counts); lines while paused are dropped, after Continue taken; the alert
  "Внимание!" when a channel enters ERROR, none while it stays latched, a new one for a second
  channel and after OK, none for N/SENS; the grid after 3 and after 9 readings; both logs byte
  for byte; closing: exit code 0, the scripts deleted ("Удалять сценарии" checked), the logs
  and a PNG kept.
- seconds: the same with "Только в секундах": the time column and its title in seconds; the
  scripts are kept at exit when not asked to be deleted.
"""

import sys
import time
from pathlib import Path

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, str(Path(__file__).resolve().parent.parent))  # tests/, home of zk47test
from zk47test.monitor import (  # noqa: E402
    ALERT_CONTROLS, ALERT_SIZE_DU, ALERT_TITLE, Meter, alerts, check, check_dialog_layout,
    check_grid, check_log_pair, close_monitor, confirm_settings, control_map, drained, equal,
    fault_list, first_button, log_files, press_first_button, run_session, start_acquisition,
    start_monitor, wait_for, wait_rows)

HEADER = 3  # lines of a text log's header block


def setup(s):
    s.add_serial("COM1")


def open_monitor(s, delete_scripts=False, only_seconds=False):
    """Starts the monitor, ticks the dialog's options and confirms; returns (prog, window)."""
    d = s.drive
    s.ports["COM1"].discard_pending()  # nothing of an earlier run may reach this one
    prog, dlg = start_monitor(s)
    for box, on in ((237, delete_scripts), (239, only_seconds)):
        if on:
            d.click(dlg, box)
            wait_for(lambda: control_map(d, dlg)[box]["checked"] == 1, 10, f"checkbox {box} ticked")
    return prog, confirm_settings(s, dlg)


def the_log(s, before):
    """The one .txt log that appeared since `before` (a list of earlier logs)."""
    found = wait_for(lambda: [p for p in log_files(s) if p not in before], 30, "the new log")
    equal(len(found), 1, "one new log")
    return found[0]


def wait_alerts(d, count, what):
    return wait_for(lambda: (lambda a: a if len(a) == count else None)(alerts(d)), 60, what)


def alert_list(d, dlg):
    return control_map(d, dlg)[700]["text"]


def case_acquire(s):
    d = s.drive
    port = s.ports["COM1"]
    before = log_files(s)
    prog, win = open_monitor(s, delete_scripts=True)
    equal(first_button(d, win), (7, "Старт"), "first button before Start")
    check(5 in control_map(d, win), "server button before Start")

    start_acquisition(s, win)
    ctl = control_map(d, win)
    equal(first_button(d, win), (8, "Пауза"), "first button after Start")
    check(7 not in ctl, "the Start button is gone")
    check(5 not in ctl, "the server button is gone after Start")
    log = the_log(s, before)
    started = log.stem
    equal(log.read_bytes().count(b"\r\n"), HEADER, "Start writes the header block")
    for ext in ("csv", "plt", "pld"):
        check(log.with_suffix("." + ext).exists(), f"Start writes the .{ext}")

    m = Meter(port)
    full = m.line([21.0, 22.5, -1.5, 101.2, 0.0, 19.75, 22.25, 23.0, 24.0, 25.5, 26.0, 27.0])
    m.send(full, taken=False)                           # the first line since Start
    m.send("<" + full[1:], taken=False)                 # a line beginning with "<"
    short = m.line([20.1, 20.2, 20.3, 20.4, 20.5, 20.6, 20.7, 20.8, 20.9, 21.0, 21.1, 21.2])
    m.send(short[:58], end="\r\n", taken=False)         # 58 + CR = 59
    m.send(short[:59], end="\r\n", taken=True)          # 59 + CR = 60: T1..T7 read, T8.. N/SENS
    short = m.line([30.1, 30.2, 30.3, 30.4, 30.5, 30.6, 30.7, 30.8, 30.9, 31.0, 31.1, 31.2])
    m.send(short[:59], end="\n", taken=False)           # 59 without CR
    m.send(short[:60], end="\n", taken=True)            # 60 without CR
    m.send(m.line([18.5, -20.25, None, 5.0, None, 6.0, 7.0, None, 8.0, 9.0, 10.0, 11.0]))  # N/SENS
    wait_rows(log, HEADER, 3)
    rows = check_log_pair(log, [("header", started)] + m.readings, "after 3 readings")
    check_grid(d, win, rows, False, "after 3 readings")
    time.sleep(1)
    equal(alerts(d), [], "no alert for N/SENS")

    # Paused: lines are dropped; after Continue they are taken again.
    press_first_button(d, win, 9, "Продолжить")
    m.send(m.line([40.0] * 12), taken=False)
    m.send(m.line([41.0] * 12), taken=False)
    drained(port)
    press_first_button(d, win, 8, "Пауза")
    m.send(m.line([42.0, 42.5] * 6))
    wait_rows(log, HEADER, 4)
    rows = check_log_pair(log, [("header", started)] + m.readings, "after Pause and Continue")

    # T3 enters ERROR: one alert, naming T3.
    m.send(m.line([1.0, 2.0, "ERR", 4.0, 5.0, 6.0, 7.0, 8.0, 9.0, 10.0, 11.0, 12.0]))
    first = wait_alerts(d, 1, "the alert for T3")[0]
    check_dialog_layout(d, first, win, ALERT_CONTROLS, ALERT_SIZE_DU, "alert dialog")
    equal(first["title"], ALERT_TITLE, "alert title")
    equal(alert_list(d, first), "T3 ", "alert list for T3")
    # T3 still in ERROR, latched: no further alert.
    m.send(m.line([1.5, 2.5, "ERR", 4.5, 5.5, 6.5, 7.5, 8.5, 9.5, 10.5, 11.5, 12.5]))
    wait_rows(log, HEADER, 6)
    check_grid(d, win, check_log_pair(log, [("header", started)] + m.readings, "T3 latched"), False,
               "T3 latched")
    time.sleep(1)
    equal([a["hwnd"] for a in alerts(d)], [first["hwnd"]], "no new alert while T3 stays latched")
    # T5 enters ERROR while T3 is latched: a new alert listing both.
    m.send(m.line([1.0, 2.0, "ERR", 4.0, "ERR", 6.0, 7.0, 8.0, 9.0, 10.0, 11.0, 12.0]))
    both = wait_alerts(d, 2, "the alert for T5")
    second = [a for a in both if a["hwnd"] != first["hwnd"]][0]
    equal(alert_list(d, second), "T3 T5 ", "alert list for T3 and T5")
    equal(second.get("owner"), win["hwnd"], "alert owned by the main window")
    # The main window takes no input while any alert is open; Esc closes none, Enter is OK.
    equal(d.window(win)["enabled"], False, "main window while two alerts are open")
    d.key(first, "escape")
    time.sleep(1)
    equal(len(alerts(d)), 2, "alerts open after Esc")
    d.click(first, 701)
    d.wait_gone(first)
    equal(d.window(win)["enabled"], False, "main window while the second alert is open")
    d.key(second, "enter")
    d.wait_gone(second)
    wait_for(lambda: d.window(win)["enabled"], 10, "the main window enabled after the last alert")
    # After OK, T3 still in ERROR raises the alert again.
    m.send(m.line([3.0, 2.0, "ERR", 4.0, 6.0, 6.0, 7.0, 8.0, 9.0, 10.0, 11.0, 12.0]))
    third = wait_alerts(d, 1, "the alert after OK")[0]
    equal(alert_list(d, third), fault_list(m.readings[-1]["values"]), "alert list after OK")
    equal(alert_list(d, third), "T3 ", "alert list after OK")
    d.click(third, 701)
    d.wait_gone(third)
    # T3 out of ERROR, no sensor: no alert.
    m.send(m.line([13.0, 14.0, None, 15.0, 16.0, 17.0, 18.0, 19.0, 20.0, 21.0, 22.0, 23.0]))
    wait_rows(log, HEADER, 9)
    rows = check_log_pair(log, [("header", started)] + m.readings, "after 9 readings")
    equal(len(rows), 9, "readings taken")
    check_grid(d, win, rows, False, "after 9 readings")
    time.sleep(1)
    equal(alerts(d), [], "no alert for N/SENS after OK")

    # Closing: exit code 0; the scripts go, the logs and a snapshot picture stay.
    png = log.with_suffix(".png")
    png.write_bytes(b"\x89PNG\r\n\x1a\n")
    code, took = close_monitor(s, win, prog)
    equal(code, 0, "exit code after closing")
    for ext, kept in (("txt", True), ("csv", True), ("png", True), ("plt", False), ("pld", False)):
        equal(log.with_suffix("." + ext).exists(), kept, f".{ext} kept at exit with 'Удалять сценарии'")
    check_log_pair(log, [("header", started)] + m.readings, "after exit")


def case_seconds(s):
    d = s.drive
    port = s.ports["COM1"]
    before = log_files(s)
    time.sleep(1.1)  # a log of its own: the name is the start stamp
    prog, win = open_monitor(s, only_seconds=True)
    equal(control_map(d, win)[10]["text"], " Время,с", "time column title with 'Только в секундах'")
    start_acquisition(s, win)
    log = the_log(s, before)
    m = Meter(port)
    m.send(m.line([10.0] * 12), taken=False)  # the first line since Start
    for i in range(3):
        m.send(m.line([10.0 + i + k / 100 for k in range(12)]))
    wait_rows(log, HEADER, 3)
    rows = check_log_pair(log, [("header", log.stem)] + m.readings, "seconds, after 3 readings")
    check_grid(d, win, rows, True, "seconds, after 3 readings")
    time.sleep(1.1)  # let the seconds column move on
    for i in range(3, 9):
        m.send(m.line([10.0 + i + k / 100 for k in range(12)]))
    wait_rows(log, HEADER, 9)
    rows = check_log_pair(log, [("header", log.stem)] + m.readings, "seconds, after 9 readings")
    check(rows[-1]["sec"] > rows[0]["sec"], "the seconds column counts up")
    check_grid(d, win, rows, True, "seconds, after 9 readings")
    code, took = close_monitor(s, win, prog)
    equal(code, 0, "exit code after closing")
    for ext in ("txt", "csv", "plt", "pld"):
        check(log.with_suffix("." + ext).exists(), f".{ext} kept at exit without 'Удалять сценарии'")


CASES = {"acquire": case_acquire, "seconds": case_seconds}

if __name__ == "__main__":
    raise SystemExit(run_session("monitor-serial", CASES, setup))
