"""The run command, tools/run-station.sh, as a user runs it: in a station folder of its own
(ZK_STATION_DIR), with no display in its environment, so that it starts a virtual one.

First run: it installs and builds what is missing, prepares the Wine prefix, starts the meter
simulator on a socat pty pair as COM1 and the monitor with --autostart; rows arrive in the text
and CSV logs under <station>/work/data/ and the screenshot appears. SIGINT to the script alone
must end it and everything it started: no process whose command line or environment names the
station folder may be left (Wine's processes of its prefix, socat, the simulator, Xvfb, the
screenshot loop). Second run in the same folder: the prefix is reused, a new log pair fills,
and Ctrl-C as a terminal gives it (SIGINT to the whole process group) ends it just as cleanly.

The script builds the programs into build/windows of the source tree (tools/build.sh
--programs), which the test command has done already.
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.dont_write_bytecode = True
HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import stationmon as sm  # noqa: E402
from stationlib import png_size  # noqa: E402
from stationmon import harness  # noqa: E402

ROOT = HERE.parent.parent
RUN = ROOT / "tools" / "run-station.sh"
START_TIMEOUT = 780  # install, build and a new prefix on a cold machine
GRACE = 10  # seconds a stopped station's last processes may take to go


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
    """One run of the run command, its output in a file (Wine's server may inherit it)."""

    def __init__(self, station, n):
        self.station = station
        self.out_path = station.parent / f"run-{n}.out"
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "WINEPREFIX", "WINEDEBUG")}
        env["ZK_STATION_DIR"] = str(station)
        with open(self.out_path, "wb") as out:
            # A session of its own, as a terminal's foreground job: Ctrl-C is a signal to the group.
            self.proc = subprocess.Popen(["bash", str(RUN)], cwd=str(ROOT), env=env,
                                         stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                         start_new_session=True)

    def output(self):
        return self.out_path.read_text(errors="replace")

    def wait_started(self):
        t0 = time.monotonic()
        harness.wait_for(lambda: "the monitor runs in" in self.output() or self.proc.poll() is not None,
                         START_TIMEOUT, "the run command to start the monitor")
        check(self.proc.poll() is None, f"the run command ended: {self.proc.returncode}\n{self.output()}")
        self.started = time.monotonic() - t0

    def stop(self, group):
        if group:
            os.killpg(self.proc.pid, signal.SIGINT)
        else:
            self.proc.send_signal(signal.SIGINT)
        try:
            code = self.proc.wait(60)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"the run command did not end on SIGINT\n{self.output()}")
        return code


def new_log(work, before, rows):
    """The one log pair that is not among `before`, once it holds `rows` rows."""
    def probe():
        new = [p for p in sm.day_logs(work) if p not in before]
        return new if new and all(sm.count_rows(p) >= rows for p in new) else None
    logs = harness.wait_for(probe, 90, f"{rows} rows in a new log under {work}/data")
    check(len(logs) == 1, f"one new log pair expected: {logs}")
    return logs[0]


def run_and_stop(station, n, group, before):
    st = Station(station, n)
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

        code = st.stop(group)
        stopped = time.monotonic()
        check(code in (0, 130), f"the run command ended with {code}\n{st.output()}")
        lingering = sorted({name for name, _ in station_processes(station).values()})
        try:
            harness.wait_for(lambda: not station_processes(station), GRACE, "the station's processes to end")
        except harness.Timeout:
            left = station_processes(station).items()
            raise AssertionError("left running after the run command ended: " +
                                 "; ".join(f"{pid} {name} [{cmd}]" for pid, (name, cmd) in left))
        print(f"run {n}: monitor started after {st.started:.1f} s; {len(seqs)}+ rows in {log.name}; "
              f"screenshot {shot.stat().st_size} bytes; ended with {code}; "
              f"{'still ending at exit: ' + ', '.join(lingering) + '; ' if lingering else ''}"
              f"nothing left {time.monotonic() - stopped:.1f} s after the exit")
        return log, st.output()
    finally:
        if st.proc.poll() is None:
            st.proc.kill()
            st.proc.wait(10)


def main():
    top = Path(tempfile.mkdtemp(prefix="zk47-station-run-"))
    station = top / "station"
    t0 = time.monotonic()
    try:
        first, out1 = run_and_stop(station, 1, group=False, before=[])
        check("preparing the Wine prefix" in out1, "the first run prepared no prefix")
        _, out2 = run_and_stop(station, 2, group=True, before=[first])
        check("preparing the Wine prefix" not in out2, "the second run prepared the prefix again")
    except BaseException:
        for n in (1, 2):
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
