"""The bridge's web page end to end: native data servers fed by pushes, zkbridge polling them
every second, and the page in headless Chromium.

Run as page_test.py [unittest arguments] -- ZKBRIDGE ZKSRV SCREENSHOT_DIR
"""
import gzip
import http.client
import json
import os
import re
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bridge"))
import bridgelib  # noqa: E402
from bridgelib import sockets  # noqa: E402
from browser import Browser  # noqa: E402

NAMES = ("north", "south", "east")
WAIT = 10.0  # for each reading to show
SHOTS = None


def grid_texts(sec, stamp, device, tokens):
    """The data line of a reading and the grid row the core makes of it: the stamp's last 8
    characters, the device time, and each channel as " %.2f", " N/SENS" or " ERROR"."""
    def channel(token):
        try:
            v = float(token)
        except ValueError:
            return " ERROR" if token.startswith("E") else " N/SENS"
        return " %.2f" % v if v > -888.0 else (" N/SENS" if v < -900.0 else " ERROR")
    line = " ".join(["%d %s %s" % (sec, stamp, device)] + tokens)
    return line, [stamp[-8:], device[:8]] + [channel(t) for t in tokens]


def reading(station_index, n):
    """The n-th test reading of a station: distinct values, faults, Cyrillic device times."""
    tokens = ["%.2f" % (20 + station_index + n / 7 + k / 100) for k in range(12)]
    tokens[(n + station_index) % 12] = "N/SENS"
    tokens[(n + 5) % 12] = "ERROR"
    tokens[11] = "-999.00"
    device = "Вр%06d" % (4521 + n)
    return grid_texts(100 + n, "2024-05-17-09-%02d-%02d" % (41 + n // 60, n % 60), device, tokens)


class Bridge:
    """zkbridge polling the stations every second, on a fixed HTTP port so that the page can
    find it again after a restart; no broker listens on its MQTT port, which it only retries."""

    def __init__(self, scope, stations, http_port, mqtt_port, args=(), ready=sockets.STEP_TIME):
        # The stations go into a file, which SIGHUP makes the bridge read again.
        fd, self.stations_file = tempfile.mkstemp(prefix="zkweb-stations-")
        os.close(fd)
        scope.addCleanup(os.remove, self.stations_file)
        self.set_stations(stations)
        argv = [bridgelib.BRIDGE, "--period", 1, "--http", "127.0.0.1:%d" % http_port,
                "--mqtt", "127.0.0.1:%d" % mqtt_port, "--no-discovery",
                "--stations-file", self.stations_file] + list(args)
        self.http_port = http_port
        self.process = bridgelib.Process(argv)
        scope.addCleanup(self.process.stop, signal.SIGKILL)
        self.process.stderr.wait_for("HTTP on", ready)

    def set_stations(self, stations):
        with open(self.stations_file, "w") as f:
            f.writelines("%s=127.0.0.1:%d\n" % (n, s.port) for n, s in stations.items())

    def get(self, path, method="GET", timeout=5.0):
        c = http.client.HTTPConnection("127.0.0.1", self.http_port, timeout=timeout)
        try:
            c.request(method, path, headers={"Content-Length": "0"} if method != "GET" else {})
            r = c.getresponse()
            return r.status, r.read()
        finally:
            c.close()

    def stop(self):
        self.process.send(signal.SIGTERM)
        code = self.process.wait_exit(20)
        assert code == 0, "the bridge ended with %s: %s" % (code, self.process.stderr.text())


class Cutter:
    """Passes the page's connections on to the bridge, and cuts them on demand as a network
    that fails for a moment would."""

    def __init__(self, scope, target_port):
        self.target_port = target_port
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        self.open = []
        scope.addCleanup(self.close)
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            try:
                server = socket.create_connection(("127.0.0.1", self.target_port), timeout=5)
            except OSError:
                client.close()  # the bridge is down: as if refused
                continue
            with self.lock:
                self.open += [client, server]
            for a, b in ((client, server), (server, client)):
                threading.Thread(target=self._pipe, args=(a, b), daemon=True).start()

    @staticmethod
    def _pipe(source, sink):
        try:
            source.settimeout(None)
            while True:
                data = source.recv(65536)
                if not data:
                    break
                sink.sendall(data)
        except OSError:
            pass
        for s in (source, sink):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def cut(self):
        with self.lock:
            cut, self.open = self.open, []
        for s in cut:
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()

    def close(self):
        self.listener.close()
        self.cut()


class ClassScope:
    """Lets the shared helpers register their cleanups for a whole test class."""

    def __init__(self, cls):
        self.addCleanup = cls.addClassCleanup


class PageTest(unittest.TestCase):
    """Three stations, the bridge and a browser showing the page, for the whole class."""

    @classmethod
    def setUpClass(cls):
        cls.scope = ClassScope(cls)
        cls.stations = {name: bridgelib.Station(cls.scope) for name in NAMES}
        cls.http_port, cls.mqtt_port = sockets.free_port(), sockets.free_port()
        cls.bridge = Bridge(cls.scope, cls.stations, cls.http_port, cls.mqtt_port, cls.bridge_args)
        cls.browser = Browser()
        cls.addClassCleanup(cls.browser.close)
        cls.browser.open(1280, 800)
        port = cls.http_port
        if cls.cuttable:
            cls.cutter = Cutter(cls.scope, cls.http_port)
            port = cls.cutter.port
        cls.browser.navigate("http://127.0.0.1:%d/" % port)
        cls.browser.eval("window.loadedOnce = true")  # gone if the page ever reloads
        cls.browser.wait_for("document.querySelectorAll('.card').length === 3", what="the cards")
        cls.pushed = {name: [] for name in NAMES}  # the grid rows, oldest first

    # Problems the page is expected to meet, such as its stream refused while the bridge is
    # down: patterns.
    expected_problems = ()
    bridge_args = ()
    cuttable = False  # the page reaches the bridge through a Cutter

    def tearDown(self):
        self.assertEqual([p for p in self.browser.problems()
                          if not any(re.search(e, p) for e in self.expected_problems)], [])
        self.assertTrue(self.browser.eval("window.loadedOnce === true"), "the page reloaded")

    def card(self, name, inner=""):
        return "document.querySelector('.card[data-station=\"%s\"] %s')" % (name, inner)

    def show(self, name):
        """Scrolls the station's card into view: the page draws only the cards on screen."""
        self.browser.eval(self.card(name) + ".scrollIntoView()")

    def rows(self, name):
        return self.browser.eval(
            "[...%s.rows].map(r => [...r.cells].map(c => [c.textContent, c.className]))"
            % self.card(name, "tbody"))

    def push_and_see(self, name, line, row):
        """Pushes a reading and waits for it in the station's newest row; the latency."""
        self.show(name)
        start = time.monotonic()
        self.stations[name].push(line.encode("cp1251").decode("latin-1"))
        self.pushed[name].append(row)
        self.browser.wait_for(
            # A card's table is made when the card is first drawn.
            "JSON.stringify([...(%s?.cells || [])].map(c => c.textContent.trimStart())) === "
            "JSON.stringify(%s)"
            % (self.card(name, "tbody tr:last-child"), json.dumps([t.lstrip() for t in row])),
            WAIT, "reading %s on %s" % (row, name))
        return time.monotonic() - start

    def assert_table(self, name):
        """Every row and cell as the monitor's grid shows the last 8 readings, faults marked."""
        want = [[""] * 14] * max(0, 8 - len(self.pushed[name])) + self.pushed[name][-8:]
        self.show(name)
        got = self.rows(name)
        self.assertEqual([[t.lstrip() for t, _ in r] for r in got],
                         [[t.lstrip() for t in r] for r in want])
        for r in got:
            for text, cls in r[2:]:
                self.assertEqual(cls, {"N/SENS": "nsens", "ERROR": "error"}.get(text.strip(), ""))

    def chart_points(self, name):
        self.show(name)
        self.browser.wait_for(self.card(name, ".chart") + ".dataset.points !== undefined")
        return int(self.browser.eval(self.card(name, ".chart") + ".dataset.points"))

    def history(self, name):
        status, body = self.bridge.get("/api/history?station=" + name)
        self.assertEqual(status, 200)
        return json.loads(body)["readings"]


class Live(PageTest):
    def test_1_tables_follow_the_pushes(self):
        latencies = []
        for n in range(10):
            for i, name in enumerate(NAMES):
                latencies.append(self.push_and_see(name, *reading(i, n)))
        print("latency from push to page over %d readings: min %.2f s, median %.2f s, max %.2f s"
              % (len(latencies), min(latencies), statistics.median(latencies), max(latencies)))
        for name in NAMES:
            self.assert_table(name)
            self.assertEqual(self.browser.eval(self.card(name, ".state") + ".textContent"),
                             "на связи")

    def test_2_chart_holds_one_point_per_reading_and_its_legend_toggles(self):
        for name in NAMES:
            self.assertEqual(self.chart_points(name), len(self.history(name)))
            self.assertEqual(self.chart_points(name), len(self.pushed[name]))
        t1 = self.card("north", ".u-legend .u-series:nth-child(2)")
        self.browser.eval(t1 + ".querySelector('th').click()")
        self.assertIn("u-off", self.browser.eval(t1 + ".className"))
        self.browser.eval(t1 + ".querySelector('th').dispatchEvent("
                          "new KeyboardEvent('keydown', {key: 'Enter'}))")  # from the keyboard
        self.assertNotIn("u-off", self.browser.eval(t1 + ".className"))

    def test_3_station_text_shows_as_text(self):
        line, row = grid_texts(500, "2024-05-17-<script>", "<b>x</b>", ["1.00"] * 12)
        self.push_and_see("east", line, row)
        self.assertEqual(self.browser.eval("document.querySelectorAll('main b, main script, "
                                           "main img').length"), 0)
        self.assertEqual(self.browser.eval("document.scripts.length"), 2)  # the page's own two
        # A name that would be markup never becomes a station.
        refused = subprocess.run([bridgelib.BRIDGE, "--station", "<b>x</b>=127.0.0.1:1"],
                                 capture_output=True, timeout=sockets.STEP_TIME)
        self.assertEqual(refused.returncode, 2)
        self.assertIn(b"<b>x</b>", refused.stderr)

    def test_4_screenshots_wide_and_phone(self):
        self.browser.eval("window.scrollTo(0, 0)")  # what a visitor sees first
        time.sleep(0.5)
        self.browser.screenshot(os.path.join(SHOTS, "page-1280x800.png"))
        self.browser.resize(360, 740)
        try:
            self.browser.wait_for("document.documentElement.clientWidth === 360")
            time.sleep(0.5)  # the charts follow their cards' new width
            self.browser.screenshot(os.path.join(SHOTS, "page-360x740.png"))
            self.assertLessEqual(self.browser.eval("document.documentElement.scrollWidth"), 360)
            # The cards stack, and each table scrolls sideways inside its own card.
            self.assertEqual(self.browser.eval(
                "new Set([...document.querySelectorAll('.card')].map(c => c.offsetLeft)).size"), 1)
            self.assertTrue(self.browser.eval(
                "[...document.querySelectorAll('.grid-scroll')].every(s => "
                "s.scrollWidth > s.clientWidth && s.clientWidth <= 360)"))
        finally:
            self.browser.resize(1280, 800)


class Restarts(PageTest):
    # While the bridge stops, its streams are refused (503), then its port is closed.
    # and the Cutter ends streams in whatever way.
    expected_problems = (re.escape("status of 503 (Service Unavailable) http://127.0.0.1"),
                         re.escape("net::ERR_CONNECTION_REFUSED http://127.0.0.1"),
                         r"net::ERR_\w+ http://127\.0\.0\.1:\d+/events(\?last=\S+)?$")
    cuttable = True

    def test_availability_and_bridge_restart(self):
        for n in range(2):
            for i, name in enumerate(NAMES):
                self.push_and_see(name, *reading(i, n))
        south = self.stations["south"]
        start = time.monotonic()
        south.stop()
        self.browser.wait_for(self.card("south") + ".classList.contains('offline')", 3 * 1 + 2)
        print("a stopped station showed as unavailable after %.1f s" % (time.monotonic() - start))
        self.assertEqual(self.browser.eval(self.card("south", ".state") + ".textContent"),
                         "нет связи")
        self.push_and_see("north", *reading(0, 2))  # the others go on

        # The station comes back with its seconds started again.
        south.start()
        self.push_and_see("south", *grid_texts(1, "2024-05-17-10-00-00", "00000001", ["5.00"] * 12))
        self.browser.wait_for("!" + self.card("south") + ".classList.contains('offline')")

        # A station dropped from the bridge's list leaves the page; taken up again, it returns.
        self.bridge.set_stations({n: s for n, s in self.stations.items() if n != "east"})
        self.bridge.process.send(signal.SIGHUP)
        self.browser.wait_for("document.querySelectorAll('.card').length === 2")
        self.bridge.set_stations(self.stations)
        self.bridge.process.send(signal.SIGHUP)
        self.browser.wait_for("document.querySelectorAll('.card').length === 3")
        self.push_and_see("east", *reading(2, 7))

        # The bridge restarts: the page notices, reconnects by itself and goes on; the new
        # bridge cannot replay the old one's events, so the page fetches its cards afresh.
        fetched = self.history_fetches()
        self.bridge.stop()
        self.browser.wait_for("document.getElementById('link').classList.contains('lost')")
        type(self).bridge = Bridge(self.scope, self.stations, self.http_port, self.mqtt_port)
        start = time.monotonic()
        for n in range(3, 5):
            self.push_and_see("north", *reading(0, n))
        print("after the bridge restarted, the page went on within %.1f s"
              % (time.monotonic() - start))
        for name in NAMES:
            self.show(name)
            self.browser.wait_for("%s.dataset.points == %d"
                                  % (self.card(name, ".chart"), len(self.history(name))))
            self.assertEqual(self.browser.eval(self.card(name, ".state") + ".textContent"),
                             "на связи")
        self.assertGreaterEqual(self.history_fetches() - fetched, len(NAMES))

    def history_fetches(self):
        return self.browser.eval("performance.getEntriesByType('resource')"
                                 ".filter(e => e.name.includes('api/history')).length")

    def test_dropped_stream_gets_what_it_missed_without_fetching_again(self):
        for n in range(10, 12):
            self.push_and_see("north", *reading(0, n))
        fetched = self.history_fetches()
        # The page reconnects two seconds after its stream is cut: these readings come meanwhile.
        self.cutter.cut()
        self.browser.wait_for("document.getElementById('link').classList.contains('lost')")
        for n in range(12, 14):
            line, row = reading(0, n)
            self.stations["north"].push(line.encode("cp1251").decode("latin-1"))
            self.pushed["north"].append(row)
            sockets.wait_until(lambda: self.history("north")[-1]["row"][0] == row[0], WAIT,
                               "the bridge to take " + row[0])
        self.browser.wait_for("!document.getElementById('link').classList.contains('lost')", WAIT)
        self.show("north")
        self.browser.wait_for("%s.dataset.points == %d"
                              % (self.card("north", ".chart"), len(self.history("north"))), WAIT)
        # The newest rows, those before and during the cut; the bridge restarted earlier.
        self.assertEqual([[t.lstrip() for t, _ in r] for r in self.rows("north")[-4:]],
                         [[t.lstrip() for t in r] for r in self.pushed["north"][-4:]])
        self.assertEqual(self.history_fetches(), fetched)


class Chart(PageTest):
    def test_an_outage_leaves_a_gap_and_an_empty_station_has_no_chart(self):
        # "east" has given nothing yet: no chart, rather than an axis around nothing.
        self.assertEqual(self.chart_points("east"), 0)
        self.assertEqual(self.browser.eval(self.card("east", ".chart") + ".childElementCount"), 0)

        for n in range(6):
            self.push_and_see("north", *reading(0, n))
            self.push_and_see("south", *reading(1, n))
        north = self.stations["north"]
        north.stop()
        self.browser.wait_for(self.card("north") + ".classList.contains('offline')", 3 * 1 + 2)
        time.sleep(6)  # an outage of several periods
        north.start()
        for n in range(2):
            self.push_and_see("north", *grid_texts(1 + n, "2024-05-17-10-00-0%d" % n, "00000001",
                                                   ["5.00"] * 12))
        self.assertEqual(self.chart_points("north"), 8)
        self.assertEqual(self.browser.eval(self.card("north", ".chart") + ".dataset.gaps"), "1")
        self.assertEqual(self.browser.eval(self.card("south", ".chart") + ".dataset.gaps"), "0")
        self.show("north")
        time.sleep(0.3)
        self.browser.screenshot(os.path.join(SHOTS, "chart-gap.png"))

        self.push_and_see("east", *reading(2, 0))
        self.assertEqual(self.chart_points("east"), 1)
        self.assertEqual(self.browser.eval(self.card("east", ".chart canvas") + " !== null"), True)


class Reduced(PageTest):
    """Stations with a full hour filled by the bridge's test aid, an outage half an hour ago."""

    @classmethod
    def setUpClass(cls):
        os.environ["ZKBRIDGE_TEST_FILL_HISTORY"] = "3600"
        try:
            super().setUpClass()
        finally:
            del os.environ["ZKBRIDGE_TEST_FILL_HISTORY"]

    def test_the_chart_shows_the_hour_in_columns_with_its_gaps(self):
        self.show("north")
        chart = self.card("north", ".chart")
        self.browser.wait_for(chart + ".dataset.columns > 0", WAIT)
        full = self.history("north")
        # Every reading of the hour, but for those that aged out of it since the page's fetch.
        self.assertIn(self.chart_points("north"), range(len(full), len(full) + 5))
        width = self.browser.eval(chart + ".clientWidth")
        columns = int(self.browser.eval(chart + ".dataset.columns"))
        # A column a pixel of the hour before the last two minutes, one more where the outage
        # cuts one; and the outage is the one gap.
        self.assertLessEqual(columns, width * 58 // 60 + 2)
        self.assertGreater(columns, width // 2)
        self.assertEqual(self.browser.eval(chart + ".dataset.gaps"), "1")
        fetched = self.browser.eval("performance.getEntriesByType('resource')"
                                    ".filter(e => e.name.includes('api/history?station=north'))"
                                    ".map(e => [e.name, e.encodedBodySize])")
        self.assertEqual(len(fetched), 1)
        self.assertIn("&columns=%d" % width, fetched[0][0])
        self.assertLess(fetched[0][1] * 5, len(json.dumps(full)))
        # The table holds the newest readings in full.
        self.assertEqual([r[0][0] for r in self.rows("north")],
                         [r["row"][0] for r in full[-8:]])
        self.browser.screenshot(os.path.join(SHOTS, "chart-reduced.png"))


class Stale(PageTest):
    bridge_args = ("--stale-after", "3")

    def test_a_station_without_new_readings_is_told_apart_from_one_without_connection(self):
        self.push_and_see("north", *reading(0, 0))
        north = self.card("north")
        self.browser.wait_for(north + ".classList.contains('stale')", 3 + 3)
        self.assertEqual(self.browser.eval(self.card("north", ".state") + ".textContent"),
                         "нет новых данных")
        self.assertFalse(self.browser.eval(north + ".classList.contains('offline')"))
        self.assertRegex(self.browser.eval(self.card("north", ".age") + ".textContent"),
                         r"^последнее показание \d+ с назад$")

        self.stations["south"].stop()
        self.browser.wait_for(self.card("south") + ".classList.contains('offline')", 3 + 2)
        self.assertFalse(self.browser.eval(self.card("south") + ".classList.contains('stale')"))
        self.assertEqual(self.browser.eval(self.card("south", ".state") + ".textContent"),
                         "нет связи")

        self.push_and_see("north", *reading(0, 1))
        self.browser.wait_for("!" + north + ".classList.contains('stale')")
        self.assertEqual(self.browser.eval(self.card("north", ".state") + ".textContent"),
                         "на связи")


def fetch(port, path, headers):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
    try:
        c.request("GET", path, headers=headers)
        r = c.getresponse()
        return r.status, dict(r.getheaders()), r.read()
    finally:
        c.close()


class Streams(unittest.TestCase):
    """No browser: raw event streams against the cap, and the other endpoints meanwhile."""

    def setUp(self):
        self.bridge = Bridge(self, {"one": bridgelib.Station(self)}, sockets.free_port(),
                             sockets.free_port())

    def open_stream(self):
        s = socket.create_connection(("127.0.0.1", self.bridge.http_port), timeout=5)
        s.sendall(b"GET /events HTTP/1.1\r\nHost: x\r\nAccept: text/event-stream\r\n\r\n")
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = s.recv(4096)
            if not chunk:
                break
            head += chunk
        return s, int(head.split(b" ", 2)[1])

    def test_fifty_streams_leave_the_server_answering(self):
        opened = [self.open_stream() for _ in range(50)]
        statuses = [code for _, code in opened]
        self.assertEqual(statuses.count(200), 32)
        self.assertEqual(statuses.count(503), 18)
        for path in ("/metrics", "/api/stations", "/api/history?station=one", "/"):
            start = time.monotonic()
            status, _ = self.bridge.get(path)
            took = time.monotonic() - start
            print("with 50 event streams open, %s answered in %.3f s" % (path, took))
            self.assertEqual(status, 200)
            self.assertLess(took, 1.0)
        for s, _ in opened:
            s.close()
        # Closed pages free their slots at the next event or keep-alive.
        def slot_free():
            s, status = self.open_stream()
            s.close()
            return status == 200
        sockets.wait_until(slot_free, 15, "a free stream slot")

    def exchange(self, requests):
        """Everything the bridge sends back to the requests, sent at once on one connection."""
        s = socket.create_connection(("127.0.0.1", self.bridge.http_port), timeout=5)
        with s:
            s.sendall(requests)
            s.shutdown(socket.SHUT_WR)
            return sockets.recv_all(s)

    def test_requests_on_the_wire(self):
        ok = b"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Type: text/plain\r\n\r\nok\n"
        healthz = b"GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n"
        self.assertEqual(self.exchange(healthz * 2), ok * 2)  # in order, one connection
        refused = self.exchange(b"POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc"
                                + healthz)
        self.assertTrue(refused.startswith(
            b"HTTP/1.1 405 Method Not Allowed\r\nAllow: GET, HEAD\r\n"))
        self.assertTrue(refused.endswith(b"method not allowed\n" + ok))
        page = self.exchange(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
        head = self.exchange(b"HEAD / HTTP/1.1\r\nHost: x\r\n\r\n")
        self.assertEqual(head, page[:page.index(b"\r\n\r\n") + 4])
        self.assertIn(b"\r\nContent-Length: %d\r\n" % len(page[len(head):]), head)
        events_head = self.exchange(b"HEAD /events HTTP/1.1\r\n\r\n" + healthz)
        self.assertTrue(events_head.startswith(b"HTTP/1.1 200 OK\r\n"))
        self.assertTrue(events_head.endswith(b"text/event-stream\r\n"
                                             b"X-Accel-Buffering: no\r\n"
                                             b"X-Content-Type-Options: nosniff\r\n\r\n" + ok))
        self.assertEqual(self.exchange(b"GET /api/history?station=%6Fne HTTP/1.1\r\n\r\n")[:15],
                         b"HTTP/1.1 200 OK")
        self.assertTrue(self.exchange(b"GET / HTTP/1.1\r\nX: " + b"y" * 10000 + b"\r\n\r\n")
                        .startswith(b"HTTP/1.1 400 Bad Request\r\n"))
        # An HTTP/1.0 client gets its event stream unchunked, to the end of the connection.
        got = self.hello(b"GET /events HTTP/1.0\r\n\r\n")
        self.assertTrue(got.startswith(b"HTTP/1.0 200 OK\r\n"))
        self.assertIn(b"\r\nConnection: close\r\n", got)
        self.assertRegex(got, rb"\r\n\r\nretry: 2000\n\n"
                              rb"event: stations\ndata: "
                              rb"{\"stations\":\[{\"name\":\"one\",\"state\":\"\w+\"}\]}\n\n"
                              rb"id: [0-9a-f]{16}-\d+\nevent: hello\n"
                              rb"data: {\"replayed\":false}\n\n$")

    def hello(self, request):
        """Everything an event stream sends up to the end of its hello."""
        s = socket.create_connection(("127.0.0.1", self.bridge.http_port), timeout=5)
        with s:
            s.sendall(request)
            got = b""
            while not re.search(rb"event: hello\ndata: [^\n]*\n\n", got):
                chunk = s.recv(4096)
                self.assertTrue(chunk, got)
                got += chunk
        return got

    def test_a_reconnection_names_its_last_event(self):
        first = self.hello(b"GET /events HTTP/1.1\r\n\r\n")
        last = first.split(b"\nid: ")[1].split(b"\n")[0]
        run, seq = last.split(b"-")
        other = run[:-1] + (b"1" if run.endswith(b"0") else b"0")  # a restarted bridge's
        for header, replayed in ((b"Last-Event-ID: " + last, b"true"),
                                 (b"last-event-id: " + last, b"true"),
                                 (b"Last-Event-ID: " + other + b"-" + seq, b"false"),
                                 (b"Last-Event-ID: %s-%d" % (run, int(seq) + 1000), b"false")):
            got = self.hello(b"GET /events HTTP/1.1\r\n" + header + b"\r\n\r\n")
            self.assertIn(b"event: hello\ndata: {\"replayed\":%s}" % replayed, got, header)
            # A page that is replayed what it missed needs no list of the stations.
            self.assertEqual(b"event: stations\n" in got, replayed == b"false", header)
        # The page's own form, after its stream was refused.
        got = self.hello(b"GET /events?last=" + last + b" HTTP/1.1\r\n\r\n")
        self.assertIn(b"{\"replayed\":true}", got)

    def test_a_reduced_history_is_gzipped_for_who_takes_it(self):
        path = "/api/history?station=one&columns=300"
        _, head, plain = fetch(self.bridge.http_port, path, {})
        self.assertNotIn("Content-Encoding", head)
        self.assertEqual(head["Vary"], "Accept-Encoding")
        self.assertEqual(list(json.loads(plain)),
                         ["station", "now", "next", "spacing", "columns", "readings"])
        for accept in ("gzip", "deflate, GZIP;q=0.5", "br,gzip"):
            _, head, body = fetch(self.bridge.http_port, path, {"Accept-Encoding": accept})
            self.assertEqual(head.get("Content-Encoding"), "gzip", accept)
            self.assertEqual(json.loads(gzip.decompress(body))["station"], "one")
        for accept in ("gzip;q=0", "identity", "x-gzip2"):
            _, head, body = fetch(self.bridge.http_port, path, {"Accept-Encoding": accept})
            self.assertNotIn("Content-Encoding", head, accept)
        # The whole hour answers as it always did, whatever the client takes.
        _, head, _ = fetch(self.bridge.http_port, "/api/history?station=one",
                           {"Accept-Encoding": "gzip"})
        self.assertNotIn("Content-Encoding", head)
        self.assertNotIn("Vary", head)

    def test_endpoints_answer_get_only_and_check_their_station(self):
        for path in ("/", "/events", "/api/history?station=one"):
            self.assertEqual(self.bridge.get(path, "POST")[0], 405, path)
        self.assertEqual(self.bridge.get("/api/history?station=nobody")[0], 404)
        self.assertEqual(self.bridge.get("/api/history")[0], 400)
        for columns in ("0", "10001", "x", "-5", "99999999999999999999"):
            self.assertEqual(self.bridge.get("/api/history?station=one&columns=" + columns)[0],
                             400, columns)
        status, licence = self.bridge.get("/vendor/uplot/LICENSE")  # served with the library
        self.assertEqual((status, licence.split(b"\n")[0]), (200, b"The MIT License (MIT)"))


if __name__ == "__main__":
    at = sys.argv.index("--")
    bridgelib.BRIDGE, bridgelib.ZKSRV, SHOTS = sys.argv[at + 1:at + 4]
    os.makedirs(SHOTS, exist_ok=True)
    unittest.main(argv=sys.argv[:at], verbosity=2)
