"""The monitor riding through a lost meter port: python3 monitor_unplug.py [--full]
With ZK47_COMM_WAITS=1 in the environment the serial reader runs Windows' path, the overlapped
comm waits, instead of the port polling it uses under Wine.

At 2 lines a second, the pty pair behind COM1 is taken away and made again under the same name
(unplugs), or the port's end is hung up (TIOCVHANGUP, as a USB adapter's removal does) and its
name taken away until it comes back (hang-ups). Nothing is sent while the port is away. In
every cycle:
- the monitor never ends and shows no window but its main one; its title says the port is
  away while it is, and not once it is back;
- every line sent while the port was there lands, in the same two logs with no header between
  rows, but the first line after each return;
- a cycle paused before the unplug is still paused after the return (its lines are dropped)
  until Continue.
The last unplug ends with the window closed while the port is away: exit code 0.

Printed per cycle: the time from the first line after the return to the first row after it,
and the monitor's handles, threads (as Windows counts them) and resident memory. Handles and
threads must stay flat from the first cycle on; memory is only printed (on Windows' path Wine
keeps memory for every comm wait).

The suite runs 2 unplugs and 1 hang-up of 3 s; --full runs 20 unplugs of 3 to 10 s and 5
hang-ups.
"""

import os
import random
import statistics
import sys
import time
from pathlib import Path

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, str(Path(__file__).resolve().parent.parent))  # tests/, home of zk47test
from zk47test import harness  # noqa: E402
from zk47test import stationmon as sm  # noqa: E402
from zk47test.monitor import (LOST_TITLE, MAIN_TITLE, check, drained, equal, first_button, meter_line,  # noqa: E402
                              press_first_button, start_reading_monitor, wait_for)

PERIOD = 0.5         # 2 lines a second
LINES = 4            # lines that must land in each stretch the port is there
RESUME_LIMIT = 15    # s from the first line after a return to a row; "never" beyond
# Samples are taken with the line quiet, the first after the paused cycle (its buttons cost
# handles once); one more than that is Wine's own coming and going.
FLAT = {"handles": 1, "threads": 1}


class Run:
    def __init__(self, s, prog, win, log):
        self.s, self.prog, self.win, self.log = s, prog, win, log
        self.d = s.drive
        self.port = s.ports["COM1"]
        self.pid = wait_for(lambda: sm.wine_process(s, "zk47.exe"), 10, "the zk47.exe process")
        self.seq = 0
        self.landing = []  # the lines that must become rows, in order
        self.samples = []
        self.resumes = []

    def rows(self):
        return sm.TextLog(self.log, live=True).seqs()

    def send(self, lands=True, pause=PERIOD):
        """One line, then the rest of its period; returns when it was written."""
        self.seq += 1
        self.port.write(meter_line(f"{self.seq:08d}", [20.0 + self.seq % 50 / 10] * 12) + "\r\n")
        written = time.monotonic()
        if lands:
            self.landing.append(self.seq)
        time.sleep(pause)
        return written

    def landed(self, what):
        drained(self.port)
        wait_for(lambda: len(self.rows()) >= len(self.landing), 30, f"the rows {what}")
        equal(self.rows(), self.landing, f"rows {what}")

    def title(self):
        return self.d.window(self.win)["title"]

    def healthy(self, what):
        check(self.prog.running(), f"the monitor runs {what}")
        others = [w["title"] for w in self.d.windows(exe="zk47.exe") if w["hwnd"] != self.win["hwnd"]]
        equal(others, [], f"windows besides the main one {what}")

    def away(self, seconds, what):
        wait_for(lambda: self.title() == LOST_TITLE, 20, f"the lost state in the title {what}")
        end = time.monotonic() + seconds
        while True:
            self.healthy(f"while the port is away {what}")
            equal(self.title(), LOST_TITLE, f"the title while the port is away {what}")
            if time.monotonic() >= end:
                return
            time.sleep(min(1.0, end - time.monotonic()))

    def back(self, what, paused):
        """The port is there again: the first line is dropped, then rows resume."""
        first_at = self.send(lands=False)
        if paused:
            self.send(lands=False)
            drained(self.port)
            equal(self.rows(), self.landing, f"rows while paused {what}")
            equal(first_button(self.d, self.win), (9, "Продолжить"), f"still paused {what}")
            press_first_button(self.d, self.win, 8, "Пауза")
        want = len(self.landing) + 1
        sent = self.send(pause=0)
        if not paused:
            resumed = wait_for(lambda: len(self.rows()) >= want and time.monotonic(), RESUME_LIMIT,
                               f"rows to resume {what}", interval=0.02)
            self.resumes.append(resumed - first_at)
        time.sleep(max(0.0, sent + PERIOD - time.monotonic()))
        for _ in range(LINES - 1):
            self.send()
        self.landed(what)
        equal(self.title(), MAIN_TITLE, f"the title once the port is back {what}")
        self.healthy(f"after the return {what}")

    def sample(self, label, paused):
        c = sm.counts(self.s)
        kb = sm.rss_kb(self.pid)
        self.samples.append({"handles": c["handles"], "threads": c["threads"], "kb": kb})
        resumed = "" if paused else f"; rows resumed {self.resumes[-1]:.2f} s after the first line"
        print(f"  {label}: handles {c['handles']}, threads {c['threads']}, RSS {kb} KB{resumed}", flush=True)


def cycle(r, n, kind, seconds, paused=False, close_while_away=False):
    what = f"({kind} {n}{', paused' if paused else ''})"
    for _ in range(LINES):
        r.send()
    r.landed(f"before {what}")
    if paused:
        press_first_button(r.d, r.win, 9, "Продолжить")
    if kind == "unplug":
        r.port.unplug()
    else:
        r.port.hang_up()
    if close_while_away:
        r.away(1, what)
        t0 = time.monotonic()
        r.d.close_window(r.win)
        code = r.prog.wait(30)
        equal(code, 0, f"exit code when closed while the port is away {what}")
        print(f"  closed while the port was away: exit code {code} after {time.monotonic() - t0:.1f} s",
              flush=True)
        return
    r.away(seconds, what)
    if kind == "unplug":
        r.port.replug()
    else:
        r.port.replug_name()
    r.back(what, paused)
    r.sample(f"{kind} {n}, {seconds:.1f} s away", paused)


def flat(samples, key):
    first, last = samples[0][key], samples[-1][key]
    check(last <= first + FLAT[key], f"{key} grew from {first} to {last} over {len(samples)} cycles")
    return f"{key} {first} -> {last} (min {min(x[key] for x in samples)}, max {max(x[key] for x in samples)})"


def main():
    full = sys.argv[1:] == ["--full"]
    if sys.argv[1:] not in ([], ["--full"]):
        print(f"usage: {sys.argv[0]} [--full]", file=sys.stderr)
        return 2
    unplugs, hangups = (20, 5) if full else (2, 1)
    rng = random.Random(16)
    path = "Windows' path (comm waits)" if os.environ.get("ZK47_COMM_WAITS") == "1" else "port polling"
    t0 = time.monotonic()
    print(f"{unplugs} unplugs and {hangups} hang-ups at 2 lines a second; the reader on {path}", flush=True)
    with harness.Session("monitor-unplug") as s:
        s.add_serial("COM1")
        prog, win = start_reading_monitor(s)
        log = wait_for(lambda: sm.day_logs(s.work), 30, "the default log")[0]
        r = Run(s, prog, win, log)
        r.send(lands=False)  # the first line since Start
        plan = [("unplug", n + 1) for n in range(unplugs)] + [("hang-up", n + 1) for n in range(hangups)]
        for i, (kind, n) in enumerate(plan):
            seconds = rng.uniform(3, 10) if full else 3.0
            cycle(r, n, kind, seconds, paused=(i == 0))
        cycle(r, len(plan) + 1, "unplug", 0, close_while_away=True)
        equal(sm.day_logs(s.work), [log], "one log pair for the whole run")
        text = sm.check_pair(log)
        equal(text.seqs(), r.landing, "rows after the exit")
        figures = [flat(r.samples, "handles"), flat(r.samples, "threads")]
        kbs = [x["kb"] for x in r.samples]
        slope = statistics.linear_regression(range(len(kbs)), kbs).slope if len(kbs) > 1 else 0.0
        figures.append(f"RSS {kbs[0]} -> {kbs[-1]} KB ({slope:.0f} KB per cycle)")
        print(f"{len(plan)} cycles on {path}: {'; '.join(figures)}; rows resumed after the first line "
              f"within {max(r.resumes):.2f} s (median {statistics.median(r.resumes):.2f} s); "
              f"{len(r.landing)} rows", flush=True)
    check(not s.leftovers(), "no process left after the session")
    print(f"monitor-unplug: passed in {time.monotonic() - t0:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
