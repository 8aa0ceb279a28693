"""Benchmark of the monitor as a station runs it: zk47.exe --autostart under Wine reading the
meter simulator through a socat pty pair. Prints its figures; fails only when the machinery
does (the monitor does not start, a log cannot be read), never on a time.

  bench_monitor.py [--short] [--rates R1,R2,...] [--seconds S] [--latency-seconds S]
                   [--idle-seconds S]

The short mode (the ctest entry station_bench_short) runs 2 s per rate, 3 s of latency and 5 s
of quiet; the long mode, run by hand, 6 s per rate up to 1600 lines a second, 20 s and 10 s.

1. Rate sweep. The simulator paces its lines at each rate in turn (--rate, numbered from a
   range of its own per rate). A rate is sustained when the writer never waited longer than
   one line's time, every line landed in the logs, the writer kept its rate, and the last row
   landed within half a second of the simulator's end. The last condition is needed because
   the pty pair and socat buffer about 350 lines: a reader that falls behind holds the writer
   back only once that buffer is full, which a run of a few seconds may never reach. The
   monitor kept pace with a rate when all but the first condition hold: on a busy machine a
   wait of a few milliseconds can be the writer's own scheduling. The sweep stops at the
   first rate the monitor did not keep pace with.
2. Latency at 200 lines a second. A paced writer of our own (the simulator's line generator)
   notes the monotonic time just before the write that hands each line's last byte, its line
   feed, to the pty; a watcher reads the text log's new bytes every millisecond and notes when
   each row (known by its sequence number, the meter's time counter) is first complete on disk.
   The difference is the line's time from its line feed to its row; the watcher's polling adds
   0.5 ms on average and at most about 1 ms. Writer and watcher are processes of their own, so
   neither waits for the other between its system call and its clock reading. The rows' system
   stamps have a resolution of a second and could not measure this.
3. CPU with the meter quiet: the utime and stime of the zk47.exe process (all its threads), and
   of the session's wineserver, from /proc/<pid>/stat over a quiet spell.

  bench_monitor.py --soak [--readings N] [--rate R] [--warm-up N] [--faults] [--sharing]
                   [--fault-chance P] [--unattended] [--paused] [--paused-lines N] [--minimized]
                   [--limit-kb KB]

Soak: the simulator writes paced lines (--rate, default 200 a second) for a warm-up (default
10,000 readings) and then --readings more (default 100,000). At the end of the warm-up and after
every 10,000 readings it prints the resident memory of zk47.exe (VmRSS of /proc/<pid>/status),
its open handles and threads (as Windows counts them, asked through the driver), and the growth
per 10,000 readings: the least-squares slope of the memory over the readings since the warm-up.
--faults lets channels drop into error and no-sensor at random (--fault-chance), and the soak
acknowledges every alert within a few seconds, so alerts come and go (--unattended leaves them
open, as on a station nobody watches). --sharing starts the local data server before Start, so
every reading is pushed to it. --paused pauses the monitor before the warm-up (the readings
counted are then the lines written); --paused-lines N pauses it after the readings and soaks N
lines more, the serial reader alone; --minimized keeps the window minimised so the grid's cells
are not written. An open alert holds its dialog until it is acknowledged, so with --faults each
sample is taken with none open. With --limit-kb it fails when the growth
exceeds that many KB per 10,000 readings: a guard against a leak, set far above the noise.
"""

import argparse
import json
import os
import select
import signal
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parent.parent))  # tests/, home of zk47test
from zk47test import stationmon as sm  # noqa: E402
from zk47test import harness  # noqa: E402
from zk47test.monitor import start_reading_monitor  # noqa: E402

LAG_LIMIT = 0.5  # seconds from the last write to its row for a rate to count as kept up with
DRAIN_LIMIT = 90  # seconds a backlog may take to land before the lines left are counted lost
CLK_TCK = os.sysconf("SC_CLK_TCK")


# The watcher and the paced writer run as processes of their own, so that neither waits for the
# other's turn at the interpreter lock between a write or a read and the clock reading that
# dates it; CLOCK_MONOTONIC is the same clock in every process.


def watch(log, out):
    """Child process: appends "seq time" for each row of the text log as it is first complete
    on disk, reading the log's new bytes every millisecond, until SIGTERM."""
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    offset, rest = 0, b""
    with open(log, "rb") as f, open(out, "w") as o:
        while True:
            size = os.fstat(f.fileno()).st_size
            if size > offset:
                f.seek(offset)
                chunk = f.read(size - offset)
                now = time.monotonic()
                offset += len(chunk)
                lines = (rest + chunk).split(b"\r\n")
                rest = lines.pop()
                rows = [line for line in lines if len(line) >= 37 and not line.startswith(b"#")]
                if rows:
                    o.write("".join(f"{int(r[29:37])} {now:.6f}\n" for r in rows))
                    o.flush()
            time.sleep(0.001)


def write_paced(device, rate, seconds, start, seed, out):
    """Child process: writes the simulator's numbered lines at a fixed rate for `seconds` and
    writes "seq time wait" per line: the time taken just before the write that carried its line
    feed (a write that is preempted after the system call cannot date it late), and how long
    the line waited past its due time."""
    meter = sm.sim.Meter(seed, sequence=True, start=start, period=1.0)
    fd = os.open(device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    done = []
    t0 = time.monotonic()
    n = 0
    while True:
        due = t0 + n / rate
        if due - t0 >= seconds:
            break
        left = due - time.monotonic()
        if left > 0:
            time.sleep(left)
        data, counter, _ = meter.measurement()
        view = memoryview(data)
        while view:
            before = time.monotonic()
            try:
                view = view[os.write(fd, view):]
            except BlockingIOError:
                select.select([], [fd], [], 0.05)
        done.append(f"{counter} {before:.6f} {time.monotonic() - due:.6f}\n")
        n += 1
    os.close(fd)
    with open(out, "w") as o:
        o.write("".join(done))


def child(s, *args):
    """A helper process of ours, marked as the session's so that its clean-up ends it too."""
    return subprocess.Popen([sys.executable, os.path.abspath(__file__), *map(str, args)],
                            stdin=subprocess.DEVNULL, env=s.env(display=False))


class Watcher:
    def __init__(self, s, log, out):
        self.out = Path(out)
        self.out.write_text("")
        self.proc = child(s, "--watch", log, out)
        self.seen = {}
        self.offset = 0

    def _read(self):
        with open(self.out) as f:
            f.seek(self.offset)
            data = f.read()
        complete = data[:data.rfind("\n") + 1]
        self.offset += len(complete)
        for line in complete.splitlines():
            seq, t = line.split()
            self.seen.setdefault(int(seq), float(t))

    def landed(self, seqs):
        self._read()
        return {q: self.seen[q] for q in seqs if q in self.seen}

    def wait_landed(self, seqs, limit):
        """Waits until every line of seqs has landed or none has for `limit` seconds."""
        last, since = -1, time.monotonic()
        while True:
            n = len(self.landed(seqs))
            if n == len(seqs):
                return
            if n != last:
                last, since = n, time.monotonic()
            elif time.monotonic() - since > limit:
                return
            time.sleep(0.05)

    def stop(self):
        sm.stop(self.proc)


def paced(s, device, rate, seconds, start, seed, out):
    """Runs the paced writer; returns ({seq: time of its line feed}, [waits])."""
    p = child(s, "--write", device, rate, seconds, start, seed, out)
    try:
        p.wait(seconds * 20 + 60)
    finally:
        sm.stop(p)
    written, waits = {}, []
    for line in Path(out).read_text().splitlines():
        seq, t, w = line.split()
        written[int(seq)] = float(t)
        waits.append(float(w))
    return written, waits


def percentile(values, p):
    s = sorted(values)
    return s[min(len(s) - 1, max(0, round(p / 100 * (len(s) - 1))))]


def ms(x):
    return f"{x * 1000:.1f} ms"


def sweep(s, port, watcher, rates, seconds):
    results = []
    for i, rate in enumerate(rates):
        count = max(1, round(rate * seconds))
        first = (i + 1) * 1_000_000
        report = s.dir / f"rate-{rate}.json"
        t0 = time.monotonic()
        meter = sm.start_sim(s, port, "--rate", rate, "--count", count, "--start", first, "--seed", 5,
                             "--quiet", report=report)
        try:
            meter.wait(seconds * 2 + 10)
        except subprocess.TimeoutExpired:
            meter.send_signal(signal.SIGINT)  # held back too long: it ends after its current line
            meter.wait(10)
        ended = time.monotonic()
        rep = json.loads(report.read_text())
        sent = list(range(first, first + rep["lines"]))
        watcher.wait_landed(sent, DRAIN_LIMIT if rep["lines"] else 0)
        landed = watcher.landed(sent)
        lag = (landed[sent[-1]] - ended) if sent and sent[-1] in landed else None
        # A reader that holds the writer back slows it below the rate asked for.
        kept_pace = (rep["lines"] == count and len(landed) == count and lag is not None and
                     lag <= LAG_LIMIT and rep["lines_per_s"] >= 0.97 * rate)
        sustained = kept_pace and rep["waits_over_line_time"] == 0
        results.append((rate, sustained, kept_pace))
        verdict = ("sustained" if sustained else
                   "NOT sustained: the writer waited, but the monitor kept pace" if kept_pace else
                   "NOT sustained: the monitor fell behind")
        print(f"rate {rate:>4} lines/s: {rep['lines']}/{count} lines written in {ended - t0:.2f} s "
              f"({rep['lines_per_s']} lines/s); longest write wait {ms(rep['longest_wait_s'])} "
              f"(a line's time {ms(rep['line_time_s'])}), {rep['waits_over_line_time']} waits longer; "
              f"{len(landed)}/{rep['lines']} rows landed; last row "
              f"{'never' if lag is None else ms(abs(lag)) + (' after' if lag >= 0 else ' before')} "
              f"the simulator ended -> {verdict}", flush=True)
        if not kept_pace:
            break
    tried = ", ".join(str(r) for r, _, _ in results)
    strict = [r for r, ok, _ in results if ok]
    kept = [r for r, _, ok in results if ok]
    # Strictly, a rate counts only if every lower one did too.
    highest = None
    for r, ok, _ in results:
        if not ok:
            break
        highest = r
    print(f"highest sustained rate: {f'{highest} lines/s' if highest else 'none'} "
          f"(tried {tried} of {', '.join(map(str, rates))}; sustained: {strict or 'none'}; "
          f"kept pace with: {kept or 'none'})", flush=True)
    print("  (sustained: the writer never waited longer than one line's time, kept its rate, every "
          f"line landed and the last row within {LAG_LIMIT} s of the writer's end; kept pace: the "
          "same but for the writer's waits, which on a busy machine may be its own scheduling)",
          flush=True)
    return highest


def latency(s, port, watcher, monitor_pid, rate, seconds):
    c0, t0 = sm.cpu_ticks(monitor_pid), time.monotonic()
    written, waits = paced(s, port.meter_end, rate, seconds, 80_000_000, 9, s.dir / "latency.txt")
    c1, t1 = sm.cpu_ticks(monitor_pid), time.monotonic()
    sent = sorted(written)
    watcher.wait_landed(sent, DRAIN_LIMIT)
    landed = watcher.landed(sent)
    lat = [landed[q] - written[q] for q in sent if q in landed]
    print(f"latency at {rate} lines/s: {len(sent)} lines in {t1 - t0:.2f} s, {len(lat)} landed; "
          f"writer's longest wait {ms(max(waits))}", flush=True)
    if lat:
        print(f"  line feed written -> row complete in the text log: median {ms(statistics.median(lat))}, "
              f"99th percentile {ms(percentile(lat, 99))}, 90th {ms(percentile(lat, 90))}, "
              f"min {ms(min(lat))}, max {ms(max(lat))}", flush=True)
    print(f"  monitor CPU while taking {rate} lines/s: "
          f"{100 * (c1 - c0) / CLK_TCK / (t1 - t0):.1f}% of a core", flush=True)
    return lat


def idle_cpu(s, monitor_pid, seconds):
    server = next((p for p in s.leftovers()
                   if Path(f"/proc/{p}/comm").read_text().strip().startswith("wineserver")), None)
    time.sleep(2)  # the last rows and the grid's redraw are done
    m0, w0, t0 = sm.cpu_ticks(monitor_pid), sm.cpu_ticks(server) if server else 0, time.monotonic()
    time.sleep(seconds)
    m1, w1, t1 = sm.cpu_ticks(monitor_pid), sm.cpu_ticks(server) if server else 0, time.monotonic()
    monitor = 100 * (m1 - m0) / CLK_TCK / (t1 - t0)
    wine = 100 * (w1 - w0) / CLK_TCK / (t1 - t0)
    print(f"monitor CPU with the meter quiet: {monitor:.1f}% of a core over {t1 - t0:.1f} s "
          f"(target under 10%); the prefix's wineserver {wine:.1f}%", flush=True)
    return monitor


# ------------------------------------------------------------------------------------------------
# Soak

SOAK_STEP = 10_000
# A tenth of the simulator's own chance: an alert every second or two at 200 lines a second,
# so that the samples find moments with none open.
SOAK_FAULT_CHANCE = 0.0005
ALERT_TITLE = "Внимание!"
ALERT_OK = 701
ID_CONTINUE = 9


class RowCounter:
    """Counts the complete rows of a log the monitor appends to, reading only the new bytes."""

    def __init__(self, path):
        self.path = Path(path)
        self.offset = 0
        self.rows = 0
        self.rest = b""

    def count(self):
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            chunk = f.read()
        self.offset += len(chunk)
        lines = (self.rest + chunk).split(b"\r\n")
        self.rest = lines.pop()
        self.rows += sum(1 for line in lines if line and not line.startswith(b"#"))
        return self.rows


def slope(points):
    """Least-squares slope of y over x for [(x, y)]; 0 for fewer than two points."""
    if len(points) < 2:
        return 0.0
    mx = statistics.fmean(x for x, _ in points)
    my = statistics.fmean(y for _, y in points)
    sxx = sum((x - mx) ** 2 for x, _ in points)
    return sum((x - mx) * (y - my) for x, y in points) / sxx if sxx else 0.0


def acknowledge_alerts(s):
    """Presses OK in every open alert: a lasting fault then raises its alert again."""
    pressed = 0
    for w in s.drive.windows(title=ALERT_TITLE):
        try:
            s.drive.click(w, ALERT_OK)
            pressed += 1
        except harness.E2EError:
            pass  # closed meanwhile
    return pressed


def start_soak_monitor(s, sharing):
    """The monitor with its serial source started, sharing on first when asked; returns
    (program, window, working directory). The data server must be switched on before Start, so
    with sharing the settings are confirmed and the buttons pressed here, not by --autostart."""
    if not sharing:
        return (*start_reading_monitor(s), s.work)
    from zk47test import network as nc  # only the sharing soak needs the network tests' helpers
    from zk47test.sockets import free_port
    station = nc.start_station(s, "sharing", server=True)
    nc.start_sharing(station, free_port())
    s.drive.click(station.win, 7)
    station.wait_first_button(8, 30)
    s.wait_port_open("COM1", 90)
    return station.prog, station.win, station.work


def sample(s, pid, base_threads, faults):
    """(RSS in KB, the driver's counts, alerts still open). An open alert holds its dialog,
    memory that comes and goes with it: with faults, the alerts are acknowledged first and the
    sample waits up to 10 s for a moment with none open. The one alert thread stays for good
    once an alert has been shown."""
    deadline = time.monotonic() + (10 if faults else 0)
    while True:
        open_alerts = acknowledge_alerts(s) if faults else 0
        kb = sm.rss_kb(pid)
        c = sm.counts(s)
        if (open_alerts == 0 and c["threads"] <= base_threads + 1) or time.monotonic() > deadline:
            return kb, c, open_alerts
        time.sleep(0.05)


def soak_leg(s, pid, meter, taken, first, count, a, base_threads, what):
    """Samples each SOAK_STEP readings (or lines, as taken() counts them) from `first` to
    first + count; acknowledges alerts on the way. Returns the growth per SOAK_STEP and the
    number of alerts acknowledged."""
    mark, points, acked, last_ack, t0 = first, [], 0, 0.0, time.monotonic()
    while mark <= first + count:
        n = taken()
        now = time.monotonic()
        if a.faults and not a.unattended and now - last_ack > 2:
            acked += acknowledge_alerts(s)
            last_ack = now
        if n < mark:
            if meter.poll() is not None and taken() < mark:
                time.sleep(5)  # the last rows land
                if taken() < mark:
                    raise AssertionError(f"the simulator ended after {taken()} {what}")
            time.sleep(0.1)
            continue
        kb, c, still_open = sample(s, pid, base_threads, a.faults and not a.unattended)
        points.append((mark - first, kb))
        print(f"  {what} {mark - first:>7} ({n} taken, {now - t0:.0f} s): RSS {kb} KB, handles "
              f"{c['handles']} ({c['handles_from']}), threads {c['threads']}"
              f"{f', {still_open} alerts open' if still_open else ''}; growth "
              f"{slope(points) * SOAK_STEP:.0f} KB per {SOAK_STEP}; load "
              f"{Path('/proc/loadavg').read_text().split()[0]}", flush=True)
        mark += SOAK_STEP
    growth = slope(points) * SOAK_STEP
    print(f"soak result, {what}: {growth:.0f} KB per {SOAK_STEP} over {count} (RSS {points[0][1]} -> "
          f"{points[-1][1]} KB); goal under 64 KB", flush=True)
    return growth, acked


def soak(a):
    rate, readings, warm, extra = a.rate or 200, a.readings, a.warm_up, a.paused_lines
    total = warm + readings + extra
    mode = ", ".join(m for m, on in (("random faults", a.faults), ("alerts left open", a.unattended),
                                     ("sharing on", a.sharing),
                                     ("paused", a.paused), ("minimised", a.minimized)) if on)
    print(f"soak at {rate} lines/s: {warm} readings of warm-up, then {readings}"
          f"{f', then {extra} lines paused' if extra else ''}; "
          f"{mode or 'no faults, sharing off'}", flush=True)
    growths = []
    with harness.Session("station-soak") as s:
        s.add_serial("COM1")
        prog, win, work = start_soak_monitor(s, a.sharing)
        log = harness.wait_for(lambda: sm.day_logs(work), 30, "the default log")[0]
        pid = harness.wait_for(lambda: sm.wine_process(s, "zk47.exe"), 10, "the zk47.exe process")
        base_threads = sm.counts(s)["threads"]
        if a.paused:
            s.drive.click(win, sm.ID_PAUSE)
        if a.minimized:
            s.drive.show(win, "min")
        rows = RowCounter(log)
        # The first line is dropped; a paused leg gets a few seconds more, as it starts a little
        # after the readings' last sample.
        lines = total + 1 + (10 * rate if extra else 0)
        args = ["--rate", rate, "--count", lines, "--seed", 7, "--quiet"]
        if a.faults:
            args += ["--random-faults", "--fault-chance", a.fault_chance]
        meter = sm.start_sim(s, s.ports["COM1"], *args)
        t0 = time.monotonic()

        def lines_since(t):
            # Paused, no row lands: count the lines the paced simulator has written instead,
            # all of them once it has ended.
            return lambda: lines if meter.poll() is not None else int((time.monotonic() - t) * rate)

        try:
            taken = lines_since(t0) if a.paused else rows.count
            what = "lines paused" if a.paused else "readings"
            growth, acked = soak_leg(s, pid, meter, taken, warm, readings, a, base_threads, what)
            growths.append(growth)
            if extra:
                # The leg starts once Continue has replaced Pause and the window has settled, so
                # that the new button is not counted as growth of the reader.
                s.drive.click(win, sm.ID_PAUSE)
                harness.wait_for(lambda: sm.first_button_id(s, win) == ID_CONTINUE, 30,
                                 "the Continue button")
                time.sleep(2)
                growth, more = soak_leg(s, pid, meter, lines_since(time.monotonic()), 0, extra, a,
                                        base_threads, "lines paused")
                growths.append(growth)
                acked += more
        finally:
            sm.stop(meter)
        print(f"{acked} alerts acknowledged", flush=True)
        if not a.paused and not extra:
            # Every line after the dropped first one became a row of each log.
            csv = Path(str(log)[:-3] + "csv")
            harness.wait_for(lambda: sm.count_rows(log) >= total and
                             len(sm.read_log(csv, True)) - 2 >= total, 30, "the last rows")
            got = (sm.count_rows(log), len(sm.read_log(csv, True)) - 2)
            if got != (total, total):
                raise AssertionError(f"{total} readings sent, rows in the logs (text, CSV): {got}")
        s.drive.close_window(win)
        prog.wait(30)
    if a.limit_kb is not None and max(growths) > a.limit_kb:
        print(f"FAIL: the memory grew {max(growths):.0f} KB per {SOAK_STEP}, more than the limit "
              f"of {a.limit_kb:.0f} KB", flush=True)
        return 1
    return 0


def main():
    if sys.argv[1:2] == ["--watch"]:
        return watch(*sys.argv[2:4])
    if sys.argv[1:2] == ["--write"]:
        device, rate, seconds, start, seed, out = sys.argv[2:8]
        return write_paced(device, float(rate), float(seconds), int(start), int(seed), out)
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--short", action="store_true", help="a quick run (the ctest entry)")
    ap.add_argument("--rates", help="lines a second to try, in order (default 50,100,200,400; "
                    "the long mode goes on to 800 and 1600)")
    ap.add_argument("--seconds", type=float, help="seconds per rate (default 2 short, 6 long)")
    ap.add_argument("--latency-seconds", type=float, help="default 3 short, 20 long")
    ap.add_argument("--idle-seconds", type=float, help="default 5 short, 10 long")
    ap.add_argument("--soak", action="store_true", help="the soak (see above) instead")
    ap.add_argument("--rate", type=int, help="soak: lines a second (default 200)")
    ap.add_argument("--readings", type=int, default=100_000, help="soak: readings after the warm-up")
    ap.add_argument("--warm-up", type=int, default=SOAK_STEP, help="soak: readings of warm-up")
    ap.add_argument("--faults", action="store_true", help="soak: random faults, alerts acknowledged")
    ap.add_argument("--fault-chance", type=float, default=SOAK_FAULT_CHANCE,
                    help=f"soak: chance per channel and line that a fault starts "
                         f"(default {SOAK_FAULT_CHANCE})")
    ap.add_argument("--unattended", action="store_true",
                    help="soak: with --faults, alerts are left open as on an unattended station")
    ap.add_argument("--sharing", action="store_true", help="soak: the local data server on")
    ap.add_argument("--paused", action="store_true", help="soak: paused while the lines arrive")
    ap.add_argument("--minimized", action="store_true", help="soak: the window minimised")
    ap.add_argument("--paused-lines", type=int, default=0,
                    help="soak: after the readings, pause and soak this many lines more")
    ap.add_argument("--limit-kb", type=float, help="soak: fail above this growth per 10,000")
    a = ap.parse_args()
    if a.soak:
        return soak(a)
    rates = a.rates or ("50,100,200,400" if a.short else "50,100,200,400,800,1600")
    rates = [int(r) for r in rates.split(",")]
    seconds = a.seconds or (2 if a.short else 6)
    lat_seconds = a.latency_seconds or (3 if a.short else 20)
    idle_seconds = a.idle_seconds or (5 if a.short else 10)
    load0 = Path("/proc/loadavg").read_text().split()[:3]
    t0 = time.monotonic()
    print(f"== monitor benchmark ({'short' if a.short else 'long'} mode), load average "
          f"{' '.join(load0)} on {os.cpu_count()} cores ==", flush=True)

    with harness.Session("station-bench") as s:
        port = s.add_serial("COM1")
        prog, win = start_reading_monitor(s)
        log = harness.wait_for(lambda: sm.day_logs(s.work), 30, "the default log")[0]
        monitor = harness.wait_for(lambda: sm.wine_process(s, "zk47.exe"), 10, "the zk47.exe process")
        watcher = Watcher(s, log, s.dir / "landed.txt")
        try:
            # The first line after Start is dropped; the second shows the pipeline is running.
            paced(s, port.meter_end, 20, 0.1, 1, 1, s.dir / "warm.txt")
            harness.wait_for(lambda: watcher.landed([2]), 60, "the first row")

            sweep(s, port, watcher, rates, seconds)
            latency(s, port, watcher, monitor, 200, lat_seconds)
            idle_cpu(s, monitor, idle_seconds)
        finally:
            watcher.stop()
        sm.check_pair(log)  # every row whole, text and CSV alike
        s.drive.close_window(win)
        prog.wait(30)
    print(f"== done in {time.monotonic() - t0:.1f} s; load average now "
          f"{' '.join(Path('/proc/loadavg').read_text().split()[:3])} ==", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
