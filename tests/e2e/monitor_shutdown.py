"""Closing the monitor while the meter keeps sending, on COM12 (a port name that Windows, and
Wine, open only in the form \\\\.\\COM12): python3 monitor_shutdown.py [CASE...].

- flowing: lines arrive every 50 ms (or as fast as the monitor takes them); the window is
  closed in the middle: exit code 0 within a few seconds, and both logs hold whole rows only,
  one per line taken, the same in both.
- alert: the same with an alert dialog open (T3 in ERROR) when the window is closed.
- unconfirmed: a close message while the settings dialog still waits (the run command's stop
  before anyone confirmed it): the monitor ends through its own exit path, with code 0.
"""

import sys
import threading
import time
from pathlib import Path

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, str(Path(__file__).resolve().parent.parent))  # tests/, home of zk47test
from zk47test.monitor import (  # noqa: E402
    MAIN_CLASS, Meter, alerts, check, check_log_pair, close_monitor, equal, log_files, run_session,
    start_monitor, wait_for, wait_rows)

HEADER = 3
PERIOD = 0.05  # seconds between lines
AHEAD = 10     # lines the meter may be ahead of the log
ROWS = 20      # rows logged before the window is closed


def setup(s):
    s.add_serial("COM12")
    (s.work / "zk47.cfg").write_bytes(b"11 127.0.0.1 5000 5 5")  # COM12


class Flow:
    """Sends meter lines every PERIOD seconds on a thread of its own until stopped, but never
    more than AHEAD lines ahead of the rows logged: under Wine a reading costs the monitor from
    0.1 to 0.4 s (mostly the 112 cell updates), and a backlog must not fill the port."""

    def __init__(self, meter, channels, logged):
        self.meter = meter
        self.channels = channels
        self.logged = logged
        self.stop = threading.Event()
        self.error = None
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        try:
            m = self.meter
            m.send(m.line(self.channels(0)), taken=False, pause=PERIOD)  # the first line since Start
            i = 1
            while not self.stop.is_set():
                if len(m.readings) - self.logged() >= AHEAD:
                    time.sleep(0.01)
                    continue
                m.send(m.line(self.channels(i)), pause=PERIOD)
                i += 1
        except Exception as e:  # noqa: BLE001 - reported by the test
            self.error = e

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join(20)


def close_while_flowing(s, channels, what, with_alert=False):
    d = s.drive
    port = s.ports["COM12"]
    port.discard_pending()
    before = log_files(s)
    time.sleep(1.1)  # a log of its own: the name is the start stamp
    prog, win = start_monitor(s, "--autostart")
    s.wait_port_open("COM12", timeout=60)
    time.sleep(0.5)
    log = wait_for(lambda: [p for p in log_files(s) if p not in before], 30, "the new log")[0]
    m = Meter(port)
    with Flow(m, channels, lambda: log.read_bytes().count(b"\n") - HEADER) as flow:
        wait_rows(log, HEADER, ROWS, timeout=120)
        if with_alert:
            wait_for(lambda: alerts(d), 60, "the alert dialog")
        check(flow.thread.is_alive() and flow.error is None, f"{what}: lines still arriving at close")
        code, took = close_monitor(s, win, prog)
    check(flow.error is None, f"{what}: the lines went out: {flow.error}")
    equal(code, 0, f"{what}: exit code")
    check(took < 10, f"{what}: the monitor ended within a few seconds ({took:.2f} s)")
    s.timings[f"{what}_exit"] = took

    # Every row whole, in both logs, one per line taken in the order sent.
    data = log.read_bytes()
    rows = data.count(b"\r\n") - HEADER
    check(rows >= ROWS, f"{what}: rows logged ({rows})")
    check(rows <= len(m.readings), f"{what}: no more rows than lines taken")
    check_log_pair(log, [("header", log.stem)] + m.readings[:rows], what)


def case_flowing(s):
    close_while_flowing(s, lambda i: [20.0 + (i % 100) / 4 + k for k in range(12)], "flowing")


def case_alert(s):
    def channels(i):
        c = [10.0 + (i % 50) / 2 + k for k in range(12)]
        c[2] = "ERR"
        return c
    close_while_flowing(s, channels, "alert", with_alert=True)


def case_unconfirmed(s):
    prog, dlg = start_monitor(s)
    win = s.drive.wait_window(cls=MAIN_CLASS, all=True)  # hidden while it is being created
    s.drive.call("close", "--hwnd", win["hwnd"], "--all")
    equal(prog.wait(30), 0, "exit code after a close before the settings were confirmed")


CASES = {"unconfirmed": case_unconfirmed, "flowing": case_flowing, "alert": case_alert}

if __name__ == "__main__":
    raise SystemExit(run_session("monitor-shutdown", CASES, setup))
