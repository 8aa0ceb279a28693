"""The monitor as a station runs it: zk47.exe --autostart under Wine on the meter simulator.

  test_monitor_run.py autostart_plots|flood_file_switch

autostart_plots: the settings that zk47.cfg holds are confirmed and Start is pressed with no
click (the source it names, COM2, is the one read), zk47.cfg is rewritten in its one-line form,
and rows arrive, every line after the first, in both logs. The meter streams before the monitor
starts, as on a station, so lines already wait on the port when the reader opens it. Then the
Graph and Snapshot commands with the real gnuplot forwarder in the working directory, on the
scripts this run wrote: Snapshot makes the PNG beside the log with the host's gnuplot; Graph
opens a gnuplot window on the virtual display that follows the log, and closing it ends gnuplot.

flood_file_switch: the simulator writes 5,000 lines as fast as the port takes them while File
is pressed again and again, each time with a new name. Every line but the first (dropped as the
first after Start) lands in exactly one log pair, whole and once, in order, after that pair's
header; the text and CSV rows of a pair agree; the values are those the simulator wrote.

Everything runs in one harness session per part, which stops every process it started.
"""

import collections
import json
import subprocess
import sys
import time
from pathlib import Path

sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parent.parent))  # tests/, home of zk47test
from zk47test import stationmon as sm  # noqa: E402
from zk47test.station import png_size  # noqa: E402
from zk47test import harness  # noqa: E402
from zk47test.monitor import SETTINGS_TITLE, start_reading_monitor  # noqa: E402


def check(cond, what):
    if not cond:
        raise AssertionError(what)


def gnuplot_windows(s):
    r = subprocess.run(["xwininfo", "-root", "-tree"], env=s.env(), capture_output=True, timeout=20)
    return [line for line in r.stdout.decode(errors="replace").splitlines() if '"Gnuplot"' in line]


def gnuplots(s):
    """The session's gnuplot processes (its window helper gnuplot_x11 aside)."""
    found = []
    for pid in s.leftovers():
        try:
            if Path(f"/proc/{pid}/comm").read_text().strip() == "gnuplot":
                found.append(pid)
        except OSError:
            pass
    return found


def wait_rows(path, count, timeout):
    return harness.wait_for(lambda: sm.count_rows(path) >= count, timeout, f"{count} rows in {path}")


def wait_quiet(paths, quiet=2.0, timeout=120):
    """Waits until no log has grown for `quiet` seconds."""
    last, since = None, time.monotonic()
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        now = [sm.count_rows(p) for p in paths]
        if now != last:
            last, since = now, time.monotonic()
        elif time.monotonic() - since >= quiet:
            return now
        time.sleep(0.1)
    raise AssertionError(f"the logs still grow after {timeout} s")


# ------------------------------------------------------------------------------------------------


def autostart_plots(s):
    d = s.drive
    port = s.add_serial("COM2")
    s.install(harness.windows_program("wgnuplot.exe"))
    # Any white space separates the fields; confirmation writes them back in the one-line form.
    cfg = b"  1\t127.0.0.1\r\n\n   5000 \t 5\n1  \n"
    report = s.dir / "sim.json"
    meter = sm.start_sim(s, port, "--rate", 5, "--seed", 11, report=report)
    time.sleep(1.5)  # lines wait on the port before the monitor opens it
    prog, win = start_reading_monitor(s, com="COM2", cfg=cfg)

    check(not d.windows(title=SETTINGS_TITLE, all=True), "the settings dialog is still there")
    harness.wait_for(lambda: sm.first_button_id(s, win) == sm.ID_PAUSE, 30, "Start pressed by itself")
    check((s.work / "zk47.cfg").read_bytes() == b"1 127.0.0.1 5000 5 1",
          f"zk47.cfg after confirmation: {(s.work / 'zk47.cfg').read_bytes()!r}")

    logs = harness.wait_for(lambda: sm.day_logs(s.work), 30, "the default log")
    check(len(logs) == 1, f"one log pair expected: {logs}")
    txt = logs[0]
    wait_rows(txt, 5, 60)
    first = sm.check_pair(txt, live=True)
    check(first.seqs()[:1] == [2], f"the first row is not line 2: {first.seqs()[:5]}")
    check(txt.name == first.started + ".txt", f"{txt.name} is not named after its start stamp")
    # The live graph redraws every second (the fifth field of zk47.cfg).
    plt = txt.with_suffix(".plt").read_bytes()
    check(plt.endswith(b"pause 1\r\nif (GPVAL_VERSION < 6.0) reread\r\nwhile (1) { replot; pause 1 }\r\n"),
          f"live-graph script ends {plt[-70:]!r}")

    # Snapshot: the forwarder runs the host's gnuplot on the run's snapshot script.
    png = txt.with_suffix(".png")
    d.click(win, sm.ID_SNAPSHOT)
    harness.wait_for(lambda: png_size(png), 60, "the snapshot PNG beside the log")
    harness.wait_for(lambda: not gnuplots(s), 30, "the snapshot's gnuplot to end")
    check(png_size(png) == (640, 480), f"PNG size {png_size(png)}")
    check(png.stat().st_size > 3000, f"a PNG of {png.stat().st_size} bytes holds no plot")

    # Graph: a gnuplot window that keeps rereading the growing log.
    d.click(win, sm.ID_GRAPH)
    harness.wait_for(lambda: gnuplot_windows(s), 60, "a gnuplot window")
    pids = gnuplots(s)
    check(len(pids) == 1, f"one gnuplot expected: {pids}")
    time.sleep(3.5)  # three rereads: a script gnuplot rejected would have ended it
    check(Path(f"/proc/{pids[0]}").exists() and gnuplot_windows(s), "the live graph ended by itself")
    wid = subprocess.run(["xdotool", "search", "--name", "^Gnuplot$"], env=s.env(),
                         capture_output=True, timeout=20).stdout.split()
    check(wid, "xdotool finds no gnuplot window")
    subprocess.run(["xdotool", "key", "--window", wid[0], "q"], env=s.env(), capture_output=True,
                   timeout=20)
    harness.wait_for(lambda: not gnuplots(s), 20, "gnuplot to end with its window")
    check(not gnuplot_windows(s), "the gnuplot window is still there")

    # Every line the meter sent after the first is in both logs, once and in order.
    sm.stop(meter)
    sent = json.loads(report.read_text())
    wait_quiet([txt])
    log = sm.check_pair(txt)
    check(log.seqs() == list(range(2, sent["last_counter"] + 1)),
          f"rows of lines {log.seqs()[:3]}...{log.seqs()[-3:]} ({len(log.rows)}), "
          f"the meter sent 1..{sent['last_counter']}")
    sm.check_values(log, sm.expected_fields(11, 2, sent["last_counter"]))
    sm.no_error_box(s)
    d.close_window(win)
    check(prog.wait(30) == 0, "the monitor did not end with code 0")
    print(f"autostart_plots: {len(log.rows)} rows, snapshot {png.stat().st_size} bytes")


FLOOD_LINES = 5000
SEED = 4242


def flood_file_switch(s):
    d = s.drive
    port = s.add_serial("COM1")
    prog, win = start_reading_monitor(s)
    harness.wait_for(lambda: sm.first_button_id(s, win) == sm.ID_PAUSE, 30, "Start pressed by itself")
    default = harness.wait_for(lambda: sm.day_logs(s.work), 30, "the default log")[0]
    day = default.parent
    report = s.dir / "sim.json"
    t0 = time.monotonic()
    meter = sm.start_sim(s, port, "--flood", FLOOD_LINES, "--seed", SEED, report=report)

    pairs = [default]
    limit = t0 + 400
    while time.monotonic() < limit:
        landed = sum(sm.count_rows(p) for p in pairs)
        if landed >= FLOOD_LINES - 1:
            break
        if meter.poll() is not None and meter.returncode != 0:
            raise AssertionError(f"the simulator failed: {meter.returncode}")
        name = day / f"switch-{len(pairs):03d}.txt"
        d.click(win, sm.ID_FILE)
        d.save_as(harness.win_path(name), timeout=60)
        pairs.append(name)
    check(meter.wait(60) == 0, "the simulator did not finish")
    counts = wait_quiet(pairs, quiet=3.0)
    elapsed = time.monotonic() - t0
    sent = json.loads(report.read_text())
    check(sent["lines"] == FLOOD_LINES and sent["last_counter"] == FLOOD_LINES, f"simulator: {sent}")

    logs = [sm.check_pair(p) for p in pairs]
    expected = sm.expected_fields(SEED, 2, FLOOD_LINES)
    for log in logs:
        sm.check_values(log, expected)
        check(log.started == logs[0].started, f"{log.path.name}: start stamp {log.started}")
    # In the order the pairs were chosen, their rows are lines 2..N, each once: nothing lost,
    # nothing twice, and no row went to a pair chosen before or after its time.
    seqs = [seq for log in logs for seq in log.seqs()]
    if seqs != list(range(2, FLOOD_LINES + 1)):
        missing = sorted(set(range(2, FLOOD_LINES + 1)) - set(seqs))
        doubled = sorted(q for q, k in collections.Counter(seqs).items() if k > 1)
        out_of_order = [(a, b) for a, b in zip(seqs, seqs[1:]) if b <= a][:10]
        raise AssertionError(f"{len(seqs)} rows: missing {missing[:20]} ({len(missing)}), twice "
                             f"{doubled[:20]}, out of order {out_of_order}; per pair {counts}")
    used = [c for c in counts if c]
    check(len(used) >= 3, f"the rows went to only {len(used)} pairs: {counts}")
    sm.no_error_box(s)
    d.close_window(win)
    check(prog.wait(30) == 0, "the monitor did not end with code 0")
    print(f"flood_file_switch: {len(seqs)} rows in {len(pairs)} pairs ({len(used)} with rows) "
          f"in {elapsed:.1f} s; simulator {sent['lines_per_s']} lines/s; rows per pair {counts}")


PARTS = {"autostart_plots": autostart_plots, "flood_file_switch": flood_file_switch}


def main():
    if len(sys.argv) != 2 or sys.argv[1] not in PARTS:
        print("usage: test_monitor_run.py " + "|".join(PARTS), file=sys.stderr)
        return 2
    name = sys.argv[1]
    t0 = time.monotonic()
    with harness.Session("station-" + name) as s:
        PARTS[name](s)
    left = s.leftovers()
    check(not left, f"processes left after the session: {left}")
    print(f"{name}: passed in {time.monotonic() - t0:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
