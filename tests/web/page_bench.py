"""The page on a large fleet, in headless Chromium: how soon the cards on screen are drawn and
how many bytes the page fetches at load and again after the bridge restarts. Each station
starts with a full hour of history at 1 s, filled by the bridge's test aid. Prints figures;
fails only when the page does not come up at all.

Run as page_bench.py [--stations N] -- ZKBRIDGE ZKSRV
"""
import argparse
import collections
import json
import os
import signal
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bridge"))
import bridgelib  # noqa: E402
from bridgelib import sockets  # noqa: E402
from browser import Browser  # noqa: E402
from page_test import Bridge, grid_texts  # noqa: E402

HOUR = 3600

# Times from the start of the navigation, in ms: the last card created, and the cards on
# screen all drawn with their charts.
TIMING = """
window.benchmark = {};
(function check() {
  const cards = document.querySelectorAll('.card');
  if (cards.length && cards.length === window.benchmarkStations && !benchmark.cards)
    benchmark.cards = performance.now();
  const shown = [...cards].filter((c) => {
    const r = c.getBoundingClientRect();
    return r.top < innerHeight && r.bottom > 0;
  });
  if (shown.length && shown.every((c) => c.querySelector('.chart canvas') &&
                                         c.querySelector('tbody tr:last-child td').textContent)) {
    benchmark.drawn = performance.now();
    benchmark.shown = shown.length;
    return;
  }
  requestAnimationFrame(check);
})();
"""


class Scope:
    """Cleanups, run in reverse at the end."""

    def __init__(self):
        self.cleanups = []

    def addCleanup(self, f, *args):
        self.cleanups.append((f, args))

    def close(self):
        for f, args in reversed(self.cleanups):
            try:
                f(*args)
            except Exception as e:  # noqa: BLE001 - the figures are printed already
                print("cleanup:", e)


class Traffic:
    """Bytes the browser received, per request, from its Network events."""

    def __init__(self, browser):
        self.browser = browser
        self.mark = 0

    def start(self):
        with self.browser._lock:
            self.mark = len(self.browser.events)

    def requests(self):
        with self.browser._lock:
            events = self.browser.events[self.mark:]
        url, received, finished = {}, collections.Counter(), {}
        for method, p in events:
            if method == "Network.requestWillBeSent":
                url[p["requestId"]] = p["request"]["url"]
            elif method == "Network.dataReceived":
                received[p["requestId"]] += max(p.get("encodedDataLength", 0), p["dataLength"])
            elif method == "Network.loadingFinished":
                finished[p["requestId"]] = p["encodedDataLength"]
        return {r: (u, finished.get(r, received[r]), r in finished) for r, u in url.items()}

    def pending_history(self):
        return sum(1 for u, _, done in self.requests().values() if "api/history" in u and not done)

    def settle(self, timeout=30):
        """Waits until no history fetch has been open for half a second."""
        deadline = time.monotonic() + timeout
        quiet = None
        while time.monotonic() < deadline:
            if self.pending_history():
                quiet = None
            elif quiet is None:
                quiet = time.monotonic()
            elif time.monotonic() - quiet > 0.5:
                return
            time.sleep(0.05)

    def report(self, what):
        kinds = collections.OrderedDict((k, [0, 0]) for k in
                                        ("page files", "api/stations", "api/history", "events"))
        for u, size, _ in self.requests().values():
            kind = next((k for k in ("api/stations", "api/history", "events") if k in u),
                        "page files")
            kinds[kind][0] += 1
            kinds[kind][1] += size
        total = sum(size for _, size in kinds.values())
        print("%s: %.2f MB received (%s)" % (what, total / 1e6, ", ".join(
            "%s %d × %.0f kB" % (k, n, size / 1e3) for k, (n, size) in kinds.items())))
        return total


def main():
    args = argparse.ArgumentParser()
    args.add_argument("--stations", type=int, default=500)
    at = sys.argv.index("--")
    o = args.parse_args(sys.argv[1:at])
    bridgelib.BRIDGE, bridgelib.ZKSRV = sys.argv[at + 1:at + 3]
    scope = Scope()
    try:
        run(scope, o.stations)
    finally:
        scope.close()


def run(scope, n):
    # Every station answers from one data server with one reading: the page's load is what
    # is measured, the history comes from the test aid.
    station = bridgelib.Station(scope)
    line, _ = grid_texts(1, "2024-05-17-09-41-07", "00004521", ["21.50"] * 12)
    station.push(line)
    stations = {"station-%04d" % i: station for i in range(n)}
    os.environ["ZKBRIDGE_TEST_FILL_HISTORY"] = str(HOUR)
    http_port, mqtt_port = sockets.free_port(), sockets.free_port()
    start = time.monotonic()
    bridge = Bridge(scope, stations, http_port, mqtt_port, ready=600)
    print("page benchmark: %d stations, each with %d readings of history (filled in %.1f s)"
          % (n, HOUR, time.monotonic() - start))
    status, body = bridge.get("/api/history?station=station-0000", timeout=30)
    assert status == 200, status
    print("one station's whole hour as the page fetched it before: %.0f kB (%.1f MB for all)"
          % (len(body) / 1e3, len(body) * n / 1e6))

    browser = Browser()
    scope.addCleanup(browser.close)
    browser.open(1280, 800)
    browser.send("Network.enable")
    browser.send("Page.addScriptToEvaluateOnNewDocument",
                 {"source": "window.benchmarkStations = %d;" % n + TIMING})
    traffic = Traffic(browser)
    traffic.start()
    browser.navigate("http://127.0.0.1:%d/" % http_port)
    b = browser.wait_for("window.benchmark && benchmark.drawn && benchmark.cards && benchmark",
                         60, "the cards on screen drawn")
    print("first cards drawn after %.0f ms (goal < 1000): the %d on screen; all %d cards "
          "made after %.0f ms" % (b["drawn"], b["shown"], n, b["cards"]))
    steps = browser.eval("[...performance.getEntriesByType('navigation'), "
                         "...performance.getEntriesByType('resource')].map(e => "
                         "[e.name.replace(/^.*\\//, ''), e.startTime, e.responseEnd])")
    print("  on the way: " + ", ".join("%s %.0f-%.0f" % (name[:24], t0, t1)
                                       for name, t0, t1 in steps if t0 <= b["drawn"]))
    traffic.settle()
    at_load = traffic.report("at load")

    # The bridge restarts with its hour filled again: the page cannot be replayed what it
    # missed, and fetches the cards near the screen afresh.
    traffic.start()
    bridge.stop()
    bridge = Bridge(scope, stations, http_port, mqtt_port, ready=600)
    browser.wait_for("!document.getElementById('link').classList.contains('lost')", 60)
    sockets.wait_until(lambda: traffic.pending_history() or any(
        "api/history" in u for u, _, _ in traffic.requests().values()), 60, "the page to refetch")
    traffic.settle()
    after_restart = traffic.report("after a bridge restart")
    problems = [p for p in browser.problems() if "/events" not in p]
    assert not problems, problems
    print(json.dumps({"stations": n, "first_cards_ms": round(b["drawn"]),
                      "bytes_at_load": at_load, "bytes_after_restart": after_restart}))
    bridge.process.send(signal.SIGTERM)


if __name__ == "__main__":
    main()
