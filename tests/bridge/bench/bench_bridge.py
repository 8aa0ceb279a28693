"""Benchmark of zkbridge: stand-in stations in one process, a real mosquitto, the bridge
polling them every second. Prints figures; never fails on time.

    bench_bridge.py [--short] -- ZKBRIDGE STANDIN_STATIONS BARE_POLLER

Without --short: 500 stations for 30 s, then a search (under 2 minutes) for the largest
number of stations the bridge polls every second on this machine, then the broker away for
24 s under 500 stations (over 10,000 readings queued, none may be lost), then 10,000 stations
every 5 s with the state topic alone for 30 s, the bridge beside the bare poller making the
same exchanges without publishing. --short: 100 stations for 8 s, and 400 stations every 2 s
beside the bare poller, as the test suite runs it.
"""
import os
import re
import resource
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))  # tests/
from zk47test import sockets  # noqa: E402

HOST = "127.0.0.1"
TICK = os.sysconf("SC_CLK_TCK")
WARMUP = 4  # seconds before measuring: connections, discovery, the first readings


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def memory_kb(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def metrics(port):
    with urllib.request.urlopen("http://%s:%d/metrics" % (HOST, port), timeout=10) as r:
        return r.read().decode()


def total(text, name, **labels):
    want = "".join(',%s="%s"' % kv for kv in labels.items())
    s = 0.0
    for line in text.split("\n"):
        if line.startswith(name) and (not labels or want[1:] in line):
            s += float(line.rsplit(" ", 1)[1])
    return s


def stop_bridge(bridge, timeout):
    """SIGTERM, then SIGKILL after `timeout` s."""
    bridge.terminate()
    try:
        bridge.wait(timeout)
    except subprocess.TimeoutExpired:
        bridge.kill()
        bridge.wait()


class Counter:
    """Counts the state messages a subscriber receives."""

    def __init__(self, port):
        self.count = 0
        self.proc = subprocess.Popen(["mosquitto_sub", "-h", HOST, "-p", str(port), "-q", "1",
                                      "-t", "zk47/+/state", "-F", "%t"],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        threading.Thread(target=self._pump, daemon=True).start()

    def _pump(self):
        for _ in self.proc.stdout:
            self.count += 1

    def stop(self):
        self.proc.kill()
        self.proc.wait()


def run(bridge_bin, standin_bin, n, seconds, broker_port, folder, subscribe=True):
    """Polls n stand-in stations for `seconds` after the warm-up; returns the figures."""
    standin = subprocess.Popen([standin_bin, str(n), "1000", str(WARMUP + seconds + 2)],
                               stdout=subprocess.PIPE, text=True)
    ports = standin.stdout.readline().split()
    stations = os.path.join(folder, "stations-%d" % n)
    with open(stations, "w") as f:
        for i, p in enumerate(ports):
            f.write("s%d=%s:%s\n" % (i, HOST, p))
    http = sockets.free_port()
    counter = Counter(broker_port) if subscribe else None
    bridge = subprocess.Popen([bridge_bin, "--stations-file", stations, "--period", "1",
                               "--mqtt", "%s:%d" % (HOST, broker_port),
                               "--http", "%s:%d" % (HOST, http)],
                              stderr=subprocess.DEVNULL)
    try:
        sockets.wait_until(lambda: sockets.is_listening(http), 10, "the bridge's HTTP")
        time.sleep(WARMUP)
        # A large fleet's /metrics takes a while: its counters stand at the fetch's midpoint.
        cpu0, before = cpu_seconds(bridge.pid), time.monotonic()
        m0 = metrics(http)
        t0 = (before + time.monotonic()) / 2
        got0 = counter.count if counter else 0
        time.sleep(seconds)
        cpu1, before = cpu_seconds(bridge.pid), time.monotonic()
        m1 = metrics(http)
        t1 = (before + time.monotonic()) / 2
        got1 = counter.count if counter else 0
        rss, peak = memory_kb(bridge.pid, "VmRSS"), memory_kb(bridge.pid, "VmHWM")
        out = standin.communicate(timeout=30)[0]
    finally:
        stop_bridge(bridge, 15)
        if counter:
            counter.stop()
        if standin.poll() is None:
            standin.kill()
            standin.wait()
    q = dict(re.findall(r"(\w+) (\d+)", out.split("\n")[0]))
    span = t1 - t0
    polls = total(m1, "zk47_polls_total") - total(m0, "zk47_polls_total")
    ok = (total(m1, "zk47_polls_total", result="ok") - total(m0, "zk47_polls_total", result="ok"))
    return {
        "stations": n,
        "cpu_cores": (cpu1 - cpu0) / (span if span > 0 else 1),
        "rss_mb": rss / 1024, "peak_mb": peak / 1024,
        "polls_per_s": polls / span,
        "polls_expected_per_s": n,
        "on_time": int(q.get("on_time", 0)) / max(1, int(q.get("gaps", 0))),
        "readings_per_s": ok / span,
        "states_received_per_s": (got1 - got0) / span if counter else None,
        "mqtt_queued": total(m1, "zk47_bridge_mqtt_queued_messages"),
    }


def outage(bridge_bin, standin_bin, folder, n=500, down=24):
    """n stations while the broker is away for `down` seconds: every reading taken meanwhile
    must reach a subscriber whose session the broker keeps, in order per station."""
    port = sockets.free_port()
    conf = os.path.join(folder, "outage.conf")
    with open(conf, "w") as f:
        f.write("listener %d 127.0.0.1\nallow_anonymous true\nuser root\npersistence true\n"
                "persistence_location %s/\nmax_queued_messages 0\n" % (port, folder))
    broker = subprocess.Popen(["mosquitto", "-c", conf], stderr=subprocess.DEVNULL)
    sockets.wait_until(lambda: sockets.is_listening(port), 10, "mosquitto")
    got = []
    sub = subprocess.Popen(["mosquitto_sub", "-p", str(port), "-q", "1", "-c", "-i", "bench-keeper",
                            "-t", "zk47/+/state", "-F", "%t %p"],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    threading.Thread(target=lambda: [got.append(line) for line in sub.stdout], daemon=True).start()
    standin = subprocess.Popen([standin_bin, str(n), "1000", str(down + 90)],
                               stdout=subprocess.PIPE, text=True)
    ports = standin.stdout.readline().split()
    stations = os.path.join(folder, "outage-stations")
    with open(stations, "w") as f:
        for i, p in enumerate(ports):
            f.write("s%d=%s:%s\n" % (i, HOST, p))
    http = sockets.free_port()
    bridge = subprocess.Popen([bridge_bin, "--stations-file", stations, "--period", "1",
                               "--mqtt", "%s:%d" % (HOST, port), "--http", "%s:%d" % (HOST, http)],
                              stderr=subprocess.DEVNULL)
    try:
        time.sleep(WARMUP)
        before = total(metrics(http), "zk47_polls_total", result="ok")
        broker.terminate()
        broker.wait(30)
        time.sleep(down)
        taken = total(metrics(http), "zk47_polls_total", result="ok") - before
        broker = subprocess.Popen(["mosquitto", "-c", conf], stderr=subprocess.DEVNULL)
        back = time.monotonic()
        sockets.wait_until(lambda: total(metrics(http), "zk47_bridge_mqtt_queued_messages") < 200,
                           120, "the queue to drain")
        drained = time.monotonic() - back
        # A clean stop delivers what is still queued; a reading or so per station may come
        # between this count and the stop.
        taken_in_all = total(metrics(http), "zk47_polls_total", result="ok")
        bridge.terminate()
        bridge.wait(30)
        time.sleep(2)
    finally:
        for p in (bridge, standin, sub, broker):
            if p.poll() is None:
                p.kill()
                p.wait()
    seen = {}
    in_order = True
    for line in got:
        topic, payload = line.split(" ", 1)
        sec = int(payload.split(",", 1)[0].split(":")[1])
        last = seen.get(topic, [])
        if last and sec < last[-1]:
            in_order = False
        if not last or sec != last[-1]:
            last.append(sec)
        seen[topic] = last
    delivered = sum(len(v) for v in seen.values())
    print("outage of %d s with %d stations: %d readings taken while the broker was away, "
          "queue drained in %.1f s; %d readings taken in all, %d delivered (%s), %s per station"
          % (down, n, taken, drained, taken_in_all, delivered,
             "none lost" if taken_in_all <= delivered <= taken_in_all + n else "MISMATCH",
             "in order" if in_order else "OUT OF ORDER"), flush=True)


def start_standins(standin_bin, n, period, lifetime, processes):
    """n stand-in stations spread over several processes; returns them and the ports."""
    started, ports = [], []
    each = -(-n // processes)
    while len(ports) < n:
        p = subprocess.Popen([standin_bin, str(min(each, n - len(ports))), str(period * 1000),
                              str(lifetime)], stdout=subprocess.PIPE, text=True)
        started.append(p)
        ports += p.stdout.readline().split()
    return started, ports


def stop_standins(started):
    """Stops the stand-ins; returns the queries, gaps and on-time gaps they saw in all."""
    seen = {"queries": 0, "gaps": 0, "on_time": 0}
    for p in started:
        p.terminate()
        out = p.communicate(timeout=30)[0]
        for key, value in re.findall(r"(\w+) (\d+)", out.split("\n")[0]):
            seen[key] += int(value)
    return seen


def write_stations(folder, name, ports):
    path = os.path.join(folder, name)
    with open(path, "w") as f:
        for i, p in enumerate(ports):
            f.write("s%d=%s:%s\n" % (i, HOST, p))
    return path


class BarePoller:
    """The poller alone; `polls` is the count of ended exchanges it last printed."""

    def __init__(self, binary, stations, period, lifetime):
        self.polls = 0
        self.proc = subprocess.Popen([binary, stations, str(period), str(lifetime)],
                                     stdout=subprocess.PIPE, text=True)
        threading.Thread(target=self._pump, daemon=True).start()

    def _pump(self):
        for line in self.proc.stdout:
            self.polls = int(line.split()[1])

    def stop(self):
        self.proc.kill()
        self.proc.wait()


def fleet(bridge_bin, standin_bin, bare_bin, n, period, seconds, broker_port, folder, processes):
    """n stations every `period` s, state topics only: the bridge for `seconds` after its
    warm-up, then the bare poller as long on stand-ins of its own. Returns the figures."""
    warm = WARMUP + 2 * period  # the start's discovery burst over, every station polled
    lifetime = warm + seconds + 60
    standins, ports = start_standins(standin_bin, n, period, lifetime, processes)
    stations = write_stations(folder, "fleet-%d" % n, ports)
    http = sockets.free_port()
    counter = Counter(broker_port)
    bridge = subprocess.Popen([bridge_bin, "--stations-file", stations, "--period", str(period),
                               "--channel-topics", "no", "--bridge-id", "bench-fleet",
                               "--mqtt", "%s:%d" % (HOST, broker_port),
                               "--http", "%s:%d" % (HOST, http)], stderr=subprocess.DEVNULL)
    try:
        sockets.wait_until(lambda: sockets.is_listening(http), 10, "the bridge's HTTP")
        time.sleep(warm)
        # The fetches of /metrics stay outside the span of the CPU; the polls are counted
        # between the fetches' midpoints.
        before = time.monotonic()
        m0 = metrics(http)
        cpu0, t0, got0 = cpu_seconds(bridge.pid), time.monotonic(), counter.count
        m_t0 = (before + t0) / 2
        time.sleep(seconds)
        cpu1, t1, got1 = cpu_seconds(bridge.pid), time.monotonic(), counter.count
        m1 = metrics(http)
        m_t1 = (t1 + time.monotonic()) / 2
        rss, peak = memory_kb(bridge.pid, "VmRSS"), memory_kb(bridge.pid, "VmHWM")
    finally:
        stop_bridge(bridge, 30)
        counter.stop()
        seen = stop_standins(standins)
    span = t1 - t0
    polls_per_s = (total(m1, "zk47_polls_total") - total(m0, "zk47_polls_total")) / (m_t1 - m_t0)
    r = {"stations": n, "period": period, "cpu_cores": (cpu1 - cpu0) / span,
         "rss_mb": rss / 1024, "peak_mb": peak / 1024, "polls_per_s": polls_per_s,
         "on_time": seen["on_time"] / max(1, seen["gaps"]),
         "states_received_per_s": (got1 - got0) / span,
         "mqtt_queued": total(m1, "zk47_bridge_mqtt_queued_messages"),
         "cpu_ms_per_poll": 1000 * (cpu1 - cpu0) / span / max(1e-9, polls_per_s)}

    standins, ports = start_standins(standin_bin, n, period, lifetime, processes)
    bare = BarePoller(bare_bin, write_stations(folder, "bare-%d" % n, ports), period,
                      warm + seconds + 10)
    try:
        time.sleep(warm)
        cpu0, t0, polls0 = cpu_seconds(bare.proc.pid), time.monotonic(), bare.polls
        time.sleep(seconds)
        cpu1, t1, polls1 = cpu_seconds(bare.proc.pid), time.monotonic(), bare.polls
    finally:
        bare.stop()
        seen = stop_standins(standins)
    r["bare_cpu_cores"] = (cpu1 - cpu0) / (t1 - t0)
    r["bare_polls_per_s"] = (polls1 - polls0) / (t1 - t0)
    r["bare_on_time"] = seen["on_time"] / max(1, seen["gaps"])
    r["bare_cpu_ms_per_poll"] = 1000 * (cpu1 - cpu0) / max(1, polls1 - polls0)
    return r


def show_fleet(r):
    print("stations %(stations)d every %(period)d s, state topics only: polls on time "
          "%(on_time_pc).2f%% (goal 100%%), bridge CPU %(cpu_cores).3f cores (goal under 0.5), "
          "RSS %(rss_mb).1f MB (peak %(peak_mb).1f MB), polls %(polls_per_s).0f/s of "
          "%(expected).0f, state messages received %(states_received_per_s).0f/s, MQTT queue "
          "%(mqtt_queued)d" % dict(r, on_time_pc=100 * r["on_time"],
                                   expected=r["stations"] / r["period"]), flush=True)
    print("CPU per poll: bridge %(cpu_ms_per_poll).4f ms, bare poller %(bare_cpu_ms_per_poll).4f "
          "ms (%(bare_cpu_cores).3f cores, %(bare_polls_per_s).0f polls/s, on time "
          "%(bare_on_time_pc).2f%%): ratio %(ratio).2f (goal under 2)"
          % dict(r, bare_on_time_pc=100 * r["bare_on_time"],
                 ratio=r["cpu_ms_per_poll"] / max(1e-9, r["bare_cpu_ms_per_poll"])), flush=True)


def show(r):
    print("stations %(stations)d: bridge CPU %(cpu_cores).2f cores, RSS %(rss_mb).1f MB "
          "(peak %(peak_mb).1f MB), polls %(polls_per_s).0f/s of %(polls_expected_per_s)d, "
          "on time %(on_time).1f%%, new readings %(readings_per_s).0f/s" %
          dict(r, on_time=100 * r["on_time"]), end="")
    if r["states_received_per_s"] is not None:
        print(", state messages received %.0f/s" % r["states_received_per_s"], end="")
    print(", MQTT queue %d" % r["mqtt_queued"], flush=True)


def good(r):
    return r["on_time"] >= 0.95 and r["polls_per_s"] >= 0.95 * r["stations"]


def main():
    at = sys.argv.index("--")
    short = "--short" in sys.argv[1:at]
    bridge_bin, standin_bin, bare_bin = sys.argv[at + 1:at + 4]
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    folder = tempfile.mkdtemp(prefix="zkbridge-bench-")
    broker_port = sockets.free_port()
    with open(os.path.join(folder, "mosquitto.conf"), "w") as f:
        f.write("listener %d 127.0.0.1\nallow_anonymous true\nuser root\n"
                "max_queued_messages 0\n" % broker_port)
    broker = subprocess.Popen(["mosquitto", "-c", os.path.join(folder, "mosquitto.conf")],
                              stderr=subprocess.DEVNULL)
    try:
        sockets.wait_until(lambda: sockets.is_listening(broker_port), 10, "mosquitto")
        if short:
            show(run(bridge_bin, standin_bin, 100, 8, broker_port, folder))
            show_fleet(fleet(bridge_bin, standin_bin, bare_bin, 400, 2, 6, broker_port, folder,
                             processes=1))
            return
        print("== 500 stations, period 1 s, 30 s", flush=True)
        show(run(bridge_bin, standin_bin, 500, 30, broker_port, folder))

        print("== the largest fleet polled every second (search, under 2 minutes)", flush=True)
        started = time.monotonic()
        low, high, n = 500, None, 1000
        while time.monotonic() - started < 100 and n <= hard // 3:
            r = run(bridge_bin, standin_bin, n, 6, broker_port, folder, subscribe=False)
            show(r)
            if good(r):
                low = n
            else:
                high = n
            if high is None:
                n *= 2
            elif high - low <= max(250, low // 8):
                break
            else:
                n = (low + high) // 2
        print("largest fleet polled every second: %d stations%s" %
              (low, "" if high else " (the search stopped before finding a limit)"), flush=True)

        print("== the broker away for 24 s under 500 stations", flush=True)
        outage(bridge_bin, standin_bin, folder)

        print("== 10,000 stations every 5 s, state topics only, 30 s; then the bare poller",
              flush=True)
        show_fleet(fleet(bridge_bin, standin_bin, bare_bin, 10000, 5, 30, broker_port, folder,
                         processes=4))
    finally:
        broker.kill()
        broker.wait()
        subprocess.run(["rm", "-rf", folder])


if __name__ == "__main__":
    main()
