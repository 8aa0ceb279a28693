"""The run command, tools/run-station.sh, as a user runs it: in a station folder of its own
(ZK_STATION_DIR), with no display in its environment, so that it starts a virtual one.

A port that cannot be opened is refused at once, before anything starts.

First run: it installs and builds what is missing, prepares the Wine prefix with Russian
regional settings and Wine's own fonts, starts the meter simulator on a socat pty pair as COM1
and the monitor with --autostart; rows arrive in the text and CSV logs under
<station>/work/data/ and the screenshot appears. SIGINT to the script alone must close the
monitor (its exit code 0 is the script's) and end everything the script started: no process
whose command line or environment names the station folder may be left (Wine's processes of its
prefix, socat, the simulator, Xvfb, the screenshot loop). Second run in the same folder, on a
pseudo-terminal: the prefix is reused, a new log pair fills, and Ctrl-C as the terminal gives it
(SIGINT to its foreground process group) ends it just as cleanly, with only a few lines of the
script's own on the terminal after the signal: Wine's output goes to <station>/station.log.

Third run, on a port that opens but is no serial port (/dev/null): the monitor's error box
closes itself after 60 s, the monitor ends with code 1, and so does the script.

Fourth run, on --port given as a stable link (as /dev/serial/by-id/ names an adapter) to a pty
pair of the test's own, with the simulator on its other end reporting T3 in error: each alert,
the ones after an acknowledgement too, opens within 1 s of its row; the pair is taken away
(the title says the port is away), made again under the same names, and rows resume in the
same logs; then taken away again, and Ctrl-C while it is away ends everything with code 0.

The script builds the programs into build/windows of the source tree (tools/build.sh
--programs), which the test command has done already.
"""

import os
import pty
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.dont_write_bytecode = True
HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))  # tests/, home of zk47test
from zk47test import stationmon as sm  # noqa: E402
from zk47test.monitor import ALERT_TITLE, LOST_TITLE, MAIN_CLASS, MAIN_TITLE  # noqa: E402
from zk47test.station import png_size, stop_process  # noqa: E402
from zk47test import harness  # noqa: E402

ROOT = HERE.parent.parent
RUN = ROOT / "tools" / "run-station.sh"
START_TIMEOUT = 780  # install, build and a new prefix on a cold machine
GRACE = 10  # seconds a stopped station's last processes may take to go
AFTER_SIGNAL_LINES = 20  # a terminal shows fewer lines than this after Ctrl-C
BOX_CLOSES_AFTER = 60  # an error box of an unattended monitor closes itself after this
ALERT_WITHIN = 1.0  # s from a row to its alert


def check(cond, what):
    if not cond:
        raise AssertionError(what)


def station_processes(station):
    """Live processes whose command line or environment names the station folder."""
    needle = os.fsencode(station)
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            stat = Path(f"/proc/{entry}/stat").read_bytes()
            if stat[stat.rfind(b")") + 2:].split()[0] == b"Z":
                continue
            cmdline = Path(f"/proc/{entry}/cmdline").read_bytes()
            environ = Path(f"/proc/{entry}/environ").read_bytes()
        except OSError:
            continue
        if needle in cmdline or needle in environ:
            name = stat[stat.find(b"(") + 1:stat.rfind(b")")].decode(errors="replace")
            found[int(entry)] = (name, cmdline.replace(b"\0", b" ").decode(errors="replace").strip())
    return found


def end_station_processes(station):
    """The test's own clean-up: whatever of the station is still there, by pid."""
    subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=str(station / "wine")),
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   timeout=30)
    for sig in (signal.SIGTERM, signal.SIGKILL):
        for pid in station_processes(station):
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                pass
        deadline = time.monotonic() + 5
        while station_processes(station) and time.monotonic() < deadline:
            time.sleep(0.1)


class Station:
    """One run of the run command. Its output goes to a file, or (tty) to a pseudo-terminal that
    is the run's controlling terminal, copied into the file as it comes."""

    def __init__(self, station, n, *args, tty=False):
        self.station = station
        self.out_path = station.parent / f"run-{n}.out"
        self.master = None
        self.signalled_at = None  # length of the output when the signal went
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "WINEPREFIX", "WINEDEBUG")}
        env["ZK_STATION_DIR"] = str(station)
        if not tty:
            with open(self.out_path, "wb") as out:
                # A session of its own, as a terminal's foreground job: Ctrl-C is a signal to the group.
                self.proc = subprocess.Popen(["bash", str(RUN), *args], cwd=str(ROOT), env=env,
                                             stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                             start_new_session=True)
            return
        self.master, slave = pty.openpty()
        self.out_path.write_bytes(b"")
        # setsid -c: a session of its own whose controlling terminal is the pty, as a login gives.
        self.proc = subprocess.Popen(["setsid", "-c", "bash", str(RUN), *args], cwd=str(ROOT), env=env,
                                     stdin=slave, stdout=slave, stderr=slave)
        os.close(slave)
        self.copier = threading.Thread(target=self._copy, daemon=True)
        self.copier.start()

    def _copy(self):
        with open(self.out_path, "ab") as out:
            while True:
                try:
                    chunk = os.read(self.master, 65536)
                except OSError:  # EIO: no one holds the terminal any more
                    return
                if not chunk:
                    return
                out.write(chunk)
                out.flush()

    def output(self):
        return self.out_path.read_text(errors="replace")

    def lines_after_signal(self):
        return self.out_path.read_bytes()[self.signalled_at:].count(b"\n")

    def close(self):
        if self.master is not None:
            os.close(self.master)
            self.copier.join(5)
            self.master = None

    def wait_started(self):
        t0 = time.monotonic()
        harness.wait_for(lambda: "the monitor runs in" in self.output() or self.proc.poll() is not None,
                         START_TIMEOUT, "the run command to start the monitor")
        check(self.proc.poll() is None, f"the run command ended: {self.proc.returncode}\n{self.output()}")
        self.started = time.monotonic() - t0

    def stop(self, group):
        self.signalled_at = self.out_path.stat().st_size
        if self.master is not None:
            os.killpg(os.tcgetpgrp(self.master), signal.SIGINT)  # what Ctrl-C at the terminal does
        elif group:
            os.killpg(self.proc.pid, signal.SIGINT)
        else:
            self.proc.send_signal(signal.SIGINT)
        try:
            code = self.proc.wait(60)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"the run command did not end on SIGINT\n{self.output()}")
        time.sleep(0.5)  # the last lines through the terminal
        return code


def new_log(work, before, rows):
    """The one log pair that is not among `before`, once it holds `rows` rows."""
    def probe():
        new = [p for p in sm.day_logs(work) if p not in before]
        return new if new and all(sm.count_rows(p) >= rows for p in new) else None
    logs = harness.wait_for(probe, 90, f"{rows} rows in a new log under {work}/data")
    check(len(logs) == 1, f"one new log pair expected: {logs}")
    return logs[0]


def check_gone(station, stopped):
    """Nothing of the station is left within GRACE seconds; returns what was still ending."""
    lingering = sorted({name for name, _ in station_processes(station).values()})
    try:
        harness.wait_for(lambda: not station_processes(station), GRACE, "the station's processes to end")
    except harness.Timeout:
        left = station_processes(station).items()
        raise AssertionError("left running after the run command ended: " +
                             "; ".join(f"{pid} {name} [{cmd}]" for pid, (name, cmd) in left))
    return (f"{'still ending at exit: ' + ', '.join(lingering) + '; ' if lingering else ''}"
            f"nothing left {time.monotonic() - stopped:.1f} s after the exit")


def check_prefix(station):
    """Russian regional settings and Wine's own fonts in the station's prefix; Wine's output
    in the station's log."""
    user = (station / "wine" / "user.reg").read_text(errors="replace")
    check('"Locale"="00000419"' in user, "the prefix has no Russian regional settings")
    fonts = station / "wine" / "drive_c" / "windows" / "Fonts"
    for face in ("vgasysr.fon", "tahoma.ttf", "sserifer.fon"):
        check((fonts / face).is_file(), f"{face} is not among the prefix's fonts")
    log = (station / "station.log").read_text(errors="replace")
    check("wine" in log.lower(), "Wine's output is not in station.log")


def refused_port(station):
    """A port that does not exist: a clear message and code 1 before anything starts."""
    missing = station.parent / "no-such-tty"
    st = Station(station, 0, "--port", str(missing))
    try:
        code = st.proc.wait(START_TIMEOUT)
    finally:
        st.close()
    out = st.output()
    check(code == 1, f"a missing port ended the run command with {code}\n{out}")
    check(f"cannot open the port {missing}: No such file or directory" in out, f"no clear message:\n{out}")
    check(not (station / "wine").exists() and not station_processes(station),
          "something started for a missing port")


def run_and_stop(station, n, group, before, tty=False):
    st = Station(station, n, tty=tty)
    try:
        st.wait_started()
        work = station / "work"
        log = new_log(work, before, 3)
        text = sm.check_pair(log, live=True)
        check(log.name == text.started + ".txt", f"{log.name} is not named after its start stamp")
        seqs = text.seqs()
        check(all(b > a for a, b in zip(seqs, seqs[1:])), f"meter times out of order: {seqs}")

        shot = station / "screenshot.png"
        if n == 1:
            harness.wait_for(lambda: png_size(shot), 30, "the screenshot")
        else:
            old = shot.stat().st_mtime
            harness.wait_for(lambda: png_size(shot) and shot.stat().st_mtime > old, 30, "a new screenshot")
        check(png_size(shot) == (1024, 768), f"screenshot size {png_size(shot)}")
        names = {name for name, _ in station_processes(station).values()}
        for want in ("zk47.exe", "wineserver", "socat", "Xvfb"):
            check(any(name.startswith(want) for name in names), f"no {want} among {sorted(names)}")
        check(any("zk47-meter-sim" in cmd for _, cmd in station_processes(station).values()),
              f"no simulator among {sorted(names)}")

        t0 = time.monotonic()
        code = st.stop(group)
        stopped = time.monotonic()
        # 0: the monitor was closed, not killed, and its code is the script's.
        check(code == 0, f"the run command ended with {code}\n{st.output()}")
        check("the monitor did not close" not in st.output(), f"the monitor was killed\n{st.output()}")
        after = st.lines_after_signal()
        check(after < AFTER_SIGNAL_LINES, f"{after} lines after the signal\n{st.output()}")
        gone = check_gone(station, stopped)
        check_prefix(station)
        print(f"run {n}: monitor started after {st.started:.1f} s; {len(seqs)}+ rows in {log.name}; "
              f"screenshot {shot.stat().st_size} bytes; ended with {code} {stopped - t0:.1f} s after "
              f"the signal, {after} lines of output after it; {gone}")
        return log, st.output()
    finally:
        if st.proc.poll() is None:
            st.proc.kill()
            st.proc.wait(10)
        st.close()


def failing_monitor(station):
    """On /dev/null the monitor cannot set the port up: its box closes itself, and the monitor's
    exit code 1 ends the run command."""
    st = Station(station, 3, "--port", "/dev/null")
    try:
        st.wait_started()
        t0 = time.monotonic()
        try:
            code = st.proc.wait(BOX_CLOSES_AFTER + 60)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"the run command still runs {BOX_CLOSES_AFTER + 60} s after the "
                                 f"monitor started\n{st.output()}")
        took = time.monotonic() - t0
        stopped = time.monotonic()
        check(code == 1, f"the run command ended with {code}\n{st.output()}")
        check(took >= BOX_CLOSES_AFTER - 5, f"the monitor ended after {took:.1f} s, before its box could close")
        check("the monitor ended with code 1" in st.output(), st.output())
        print(f"run 3: the monitor ended with code 1 {took:.1f} s after it started; {check_gone(station, stopped)}")
    finally:
        if st.proc.poll() is None:
            st.proc.kill()
            st.proc.wait(10)
        st.close()


class StationPrefix:
    """What the driver needs of a session, for the prefix and display a station runs."""

    locale = None

    def __init__(self, station, display):
        self.dir = self.work = station.parent
        self._env = {k: v for k, v in os.environ.items() if k not in ("WINESERVER", "WINELOADER")}
        self._env.update(WINEPREFIX=str(station / "wine"), WINEDEBUG="-all", DISPLAY=display)

    def _before_wine(self):
        pass  # the station's server runs already

    def env(self):
        return dict(self._env)


class Meter:
    """A pty pair of the test's own, named by a stable link as udev names an adapter, with the
    simulator on its other end; taken away and made again as a cable is pulled and replugged."""

    def __init__(self, top):
        self.link = top / "dev" / "serial" / "by-id" / "usb-ZK47_sim-if00-port0"
        self.link.parent.mkdir(parents=True, exist_ok=True)
        self.meter_end = top / "meter-end"
        self.procs = []

    def plug(self):
        socat = subprocess.Popen(["socat", f"pty,raw,echo=0,link={self.link}",
                                  f"pty,raw,echo=0,link={self.meter_end}"],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        harness.wait_for(lambda: self.link.exists() and self.meter_end.exists(), 10, "the test's pty pair")
        sim = subprocess.Popen([str(ROOT / "tools" / "zk47-meter-sim"), str(self.meter_end), "--period", "0.5",
                                "--error", "3", "--quiet"],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.procs = [sim, socat]

    def unplug(self):
        for p in self.procs:
            stop_process(p)
        self.procs = []
        harness.wait_for(lambda: not os.path.lexists(self.link), 10, "the link to go")


def alert_after_row(d, log, what):
    """Waits for the next row and for an alert; returns the seconds from the one to the other."""
    rows = sm.count_rows(log)
    row_at = alert_at = None
    deadline = time.monotonic() + 10
    while (row_at is None or alert_at is None) and time.monotonic() < deadline:
        now = time.monotonic()
        if row_at is None and sm.count_rows(log) > rows:
            row_at = now
        if alert_at is None and d.windows(title=ALERT_TITLE):
            alert_at = now
        time.sleep(0.02)
    check(row_at is not None and alert_at is not None, f"{what}: row at {row_at}, alert at {alert_at}")
    return alert_at - row_at


def unplugged_port(station, top):
    meter = Meter(top)
    meter.plug()
    before = sm.day_logs(station / "work")
    st = Station(station, 4, "--port", str(meter.link))
    d = None
    try:
        st.wait_started()
        display = next(line.split()[-1] for line in st.output().splitlines() if "virtual display" in line)
        log = new_log(station / "work", before, 1)
        d = harness.Driver(StationPrefix(station, display))
        win = d.wait_window(cls=MAIN_CLASS, timeout=30)
        # T3's first row opened an alert; each OK lets the next row raise it again.
        lags = []
        for n in range(2):
            harness.wait_for(lambda: d.windows(title=ALERT_TITLE), 10, "the alert")
            for a in d.windows(title=ALERT_TITLE):
                d.click(a, 701)
            harness.wait_for(lambda: not d.windows(title=ALERT_TITLE), 10, "the alert to close")
            lags.append(alert_after_row(d, log, f"the alert after OK {n + 1}"))
        check(max(lags) <= ALERT_WITHIN, f"alerts opened {lags} s after their rows")

        rows = sm.count_rows(log)
        meter.unplug()
        harness.wait_for(lambda: d.window(win)["title"] == LOST_TITLE, 20, "the title to say the port is away")
        time.sleep(3)
        check(st.proc.poll() is None, f"the run command ended with the port away\n{st.output()}")
        meter.plug()
        harness.wait_for(lambda: sm.count_rows(log) >= rows + 3, 30, "rows to resume")
        check(d.window(win)["title"] == MAIN_TITLE, "the title once the port is back")
        check(sm.day_logs(station / "work") == before + [log], "rows go on in the same logs")
        sm.TextLog(log, live=True)  # one header, whole rows

        meter.unplug()
        harness.wait_for(lambda: d.window(win)["title"] == LOST_TITLE, 20, "the title to say the port is away")
        d.close()  # the driver runs in the station's prefix: it must not count as left over
        d = None
        t0 = time.monotonic()
        code = st.stop(group=True)
        stopped = time.monotonic()
        check(code == 0, f"Ctrl-C with the port away ended the run command with {code}\n{st.output()}")
        check("the monitor did not close" not in st.output(), f"the monitor was killed\n{st.output()}")
        print(f"run 4: alerts {', '.join(f'{x:.2f}' for x in lags)} s after their rows; rows resumed after "
              f"the port came back; ended with {code} {stopped - t0:.1f} s after Ctrl-C with the port away; "
              f"{check_gone(station, stopped)}")
    finally:
        if d is not None:
            d.close()
        meter.unplug()
        if st.proc.poll() is None:
            st.proc.kill()
            st.proc.wait(10)
        st.close()


def main():
    top = Path(tempfile.mkdtemp(prefix="zk47-station-run-"))
    station = top / "station"
    t0 = time.monotonic()
    try:
        refused_port(station)
        first, out1 = run_and_stop(station, 1, group=False, before=[])
        check("preparing the Wine prefix" in out1, "the first run prepared no prefix")
        _, out2 = run_and_stop(station, 2, group=True, before=[first], tty=True)
        check("preparing the Wine prefix" not in out2, "the second run prepared the prefix again")
        failing_monitor(station)
        unplugged_port(station, top)
    except BaseException:
        for n in (0, 1, 2, 3, 4):
            out = top / f"run-{n}.out"
            if out.exists():
                print(f"--- output of run {n}:\n{out.read_text(errors='replace')}", file=sys.stderr)
        raise
    finally:
        end_station_processes(station)
        if os.environ.get("ZK_STATION_KEEP") != "1":
            shutil.rmtree(top, ignore_errors=True)
    print(f"run command: passed in {time.monotonic() - t0:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
