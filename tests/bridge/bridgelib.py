"""What the bridge tests share: the bridge, native data servers fed by pushes, a real
mosquitto and its command-line clients, on free loopback ports. Every process started here is
stopped when its test ends.

A test script is run as `script.py [unittest arguments] -- ZKBRIDGE ZKSRV [ZKRELAY [STANDIN]]`,
STANDIN being the benchmark's many stand-in stations in one process.
"""
import json
import os
import re
import selectors
import socket
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))  # tests/
from zk47test import sockets  # noqa: E402
from zk47test.sockets import HOST, free_port, send_and_close, wait_until  # noqa: E402,F401

BRIDGE = None
ZKSRV = None
ZKRELAY = None
STANDIN = None
CODE = 4242
STAMP = "2024-05-17-09-41-07"
# The worked example's channel texts and the state JSON they give, with the seconds and
# stamp left open.
CHANNELS = ("23.45 23.51 N/SENS ERROR -1.50 101.20 22.00 N/SENS 19.75 20.10 20.05 20.00")
STATE = ('{"seconds":%d,"stamp":"%s","device_time":"00004521","channels":{'
         '"T1":{"value":23.45,"status":"ok"},"T2":{"value":23.51,"status":"ok"},'
         '"T3":{"value":null,"status":"nsens"},"T4":{"value":null,"status":"error"},'
         '"T5":{"value":-1.50,"status":"ok"},"T6":{"value":101.20,"status":"ok"},'
         '"T7":{"value":22.00,"status":"ok"},"T8":{"value":null,"status":"nsens"},'
         '"T9":{"value":19.75,"status":"ok"},"T10":{"value":20.10,"status":"ok"},'
         '"T11":{"value":20.05,"status":"ok"},"T12":{"value":20.00,"status":"ok"}}}')
TEXTS = CHANNELS.split()


def main():
    global BRIDGE, ZKSRV, ZKRELAY, STANDIN
    if "--" not in sys.argv:
        sys.exit("usage: %s [unittest arguments] -- ZKBRIDGE ZKSRV [ZKRELAY [STANDIN]]"
                 % sys.argv[0])
    at = sys.argv.index("--")
    BRIDGE, ZKSRV = sys.argv[at + 1:at + 3]
    ZKRELAY = (sys.argv[at + 3:at + 4] or [None])[0]
    STANDIN = (sys.argv[at + 4:at + 5] or [None])[0]
    unittest.main(argv=sys.argv[:at], verbosity=2)


def data_line(sec, stamp=STAMP, t1="23.45"):
    """The worked example's data line with its seconds, stamp and T1 changed."""
    return "%d %s 00004521 %s %s" % (sec, stamp, t1, CHANNELS.split(" ", 1)[1])


def state(sec, stamp=STAMP, t1="23.45"):
    """The state JSON that data_line(sec, stamp, t1) must give, byte for byte."""
    return (STATE % (sec, stamp)).replace('"T1":{"value":23.45', '"T1":{"value":' + t1)


class Process:
    """A program with its output collected; stop() ends it (SIGTERM, then SIGKILL)."""

    def __init__(self, argv, stdin=b"", **kw):
        self.argv = [str(a) for a in argv]
        self.process = subprocess.Popen(self.argv,
                                        stdin=subprocess.PIPE if stdin else subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw)
        self.stdout = sockets.Output(self.process.stdout)
        self.stderr = sockets.Output(self.process.stderr)
        if stdin:
            self.process.stdin.write(stdin)
            self.process.stdin.close()

    def running(self):
        return self.process.poll() is None

    def send(self, sig):
        self.process.send_signal(sig)

    def wait_exit(self, timeout=sockets.STEP_TIME):
        try:
            code = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("%s did not end; stderr %r" % (self.argv[0], self.stderr.text()))
        self.stdout.finish(sockets.STEP_TIME)
        self.stderr.finish(sockets.STEP_TIME)
        return code

    def stop(self, sig=signal.SIGTERM):
        if self.process.poll() is None:
            self.process.send_signal(sig)
            try:
                self.process.wait(sockets.STEP_TIME)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(sockets.STEP_TIME)
        self.stdout.finish(sockets.STEP_TIME)
        self.stderr.finish(sockets.STEP_TIME)
        self.process.stdout.close()
        self.process.stderr.close()


class Station:
    """A native zksrv on a free port, fed by pushes as a sharing monitor feeds it."""

    def __init__(self, test, port=None):
        self.test = test
        self.port = port or free_port()
        self.start()

    def start(self):
        self.server = Process([ZKSRV, CODE, self.port])
        self.test.addCleanup(self.server.stop, signal.SIGKILL)
        self.server.stdout.wait_for("serving on port %d" % self.port)

    def stop(self):
        self.server.stop(signal.SIGKILL)

    def push(self, line):
        send_and_close(self.port, b"+" + b"%5d" % CODE + b" " + line.encode("latin-1"))
        # The push is taken when the server sees the pusher's end; make sure it shows.
        wait_until(lambda: sockets.query_once(self.port) == line.encode("latin-1"),
                   sockets.STEP_TIME, "the push to reach the data server")


class Relay:
    """zkrelay on a free port in front of a station, its three prompts answered."""

    def __init__(self, test, station):
        self.port = free_port()
        self.process = Process([ZKRELAY], stdin=b"%d\n%d\n127.0.0.1\n" % (self.port, station.port))
        test.addCleanup(self.process.stop, signal.SIGKILL)
        wait_until(lambda: sockets.is_listening(self.port), sockets.STEP_TIME, "zkrelay to listen")


class Broker:
    """mosquitto on a free loopback port, with its files in a folder of its own."""

    def __init__(self, test, extra="", persistence=False):
        self.test = test
        self.dir = tempfile.mkdtemp(prefix="zkbridge-broker-")
        test.addCleanup(shutil.rmtree, self.dir, True)
        self.port = free_port()
        conf = ["listener %d 127.0.0.1" % self.port,
                # Run as root, mosquitto would switch to its own user, which cannot read the
                # test's private folder.
                "user root",
                "log_dest stderr"]
        if persistence:
            conf += ["persistence true", "persistence_location %s/" % self.dir]
        conf.append(extra or "allow_anonymous true")
        self.conf = os.path.join(self.dir, "mosquitto.conf")
        with open(self.conf, "w") as f:
            f.write("\n".join(conf) + "\n")
        self.start()

    def start(self):
        self.process = Process(["mosquitto", "-c", self.conf])
        self.test.addCleanup(self.process.stop, signal.SIGKILL)
        wait_until(lambda: sockets.is_listening(self.port), sockets.STEP_TIME,
                   "mosquitto to listen")

    def stop(self):
        """A clean stop, so that a persistent broker saves its sessions and messages."""
        self.process.stop(signal.SIGTERM)

    def path(self, name):
        return os.path.join(self.dir, name)


class Subscriber:
    """mosquitto_sub, QoS 1, collecting (topic, retained, payload) in arrival order."""

    def __init__(self, test, broker, topics, client_id=None, extra=()):
        argv = ["mosquitto_sub", "-h", HOST, "-p", broker.port, "-q", 1, "-F", "%t %r %p"]
        if client_id:
            argv += ["-c", "-i", client_id]  # a session the broker keeps: clean flag off
        argv += list(extra)
        for t in topics:
            argv += ["-t", t]
        self.process = Process(argv)
        test.addCleanup(self.process.stop, signal.SIGKILL)
        time.sleep(0.3)  # subscribed well before anything it must see is published

    def messages(self, topic=None):
        out = []
        text = self.process.stdout.text().encode("latin-1").decode("utf-8", "replace")
        # The last piece is a line still arriving, or empty.
        for line in text.split("\n")[:-1]:
            if not line:
                continue
            t, retained, payload = line.split(" ", 2)
            if topic is None or t == topic:
                out.append((t, retained == "1", payload))
        return out

    def payloads(self, topic):
        return [p for _, _, p in self.messages(topic)]

    def wait_payload(self, topic, payload, timeout=sockets.STEP_TIME):
        wait_until(lambda: payload in self.payloads(topic), timeout,
                   "%s = %s; seen %r" % (topic, payload, self.payloads(topic)[-5:]))

    def stop(self):
        self.process.stop(signal.SIGKILL)


def retained(broker, topic, count, extra=()):
    """The retained messages a new subscriber gets for `topic` (waits for `count` of them)."""
    wait = [] if "-W" in extra else ["-W", "5"]
    out = subprocess.run(["mosquitto_sub", "-h", HOST, "-p", str(broker.port), "-t", topic,
                          "-F", "%t %r %p", "-C", str(count), "--retained-only"] + wait
                         + list(extra), capture_output=True, text=True, timeout=15)
    result = {}
    for line in out.stdout.split("\n"):
        if line:
            t, _, payload = line.split(" ", 2)
            result[t] = payload
    return result


def host_bridge_id():
    """The bridge id a bridge takes when it is given none: the host name, reduced."""
    return re.sub("[^A-Za-z0-9_-]", "-", socket.gethostname()[:32]) or "zkbridge"


def publish(broker, topic, payload):
    """One message from another client, as home automation sends its status."""
    subprocess.run(["mosquitto_pub", "-h", HOST, "-p", str(broker.port), "-q", "1", "-t", topic,
                    "-m", payload], check=True, timeout=15)


def clear_retained(broker):
    """Deletes every retained message, as a broker without persistence loses them."""
    subprocess.run(["mosquitto_sub", "-h", HOST, "-p", str(broker.port), "-t", "#",
                    "--retained-only", "--remove-retained", "-W", "2"],
                   capture_output=True, timeout=15)


class Bridge:
    """zkbridge with the given stations and options, its HTTP on a free port; `id` is its
    --bridge-id, the host's when None."""

    def __init__(self, test, broker, stations=(), args=(), period=1, wait_http=True, id=None,
                 wrapper=(), env=None):
        self.test = test
        self.http_port = free_port()
        self.id = id or host_bridge_id()
        argv = list(wrapper) + [BRIDGE, "--period", period, "--http",
                                "%s:%d" % (HOST, self.http_port)]
        if id:
            argv += ["--bridge-id", id]
        if broker is not None:
            argv += ["--mqtt", "%s:%d" % (HOST, broker.port)]
        for name, station in stations:
            argv += ["--station", "%s=%s:%d" % (name, HOST, station.port)]
        self.process = Process(argv + list(args),
                               env=dict(os.environ, **env) if env else None)
        test.addCleanup(self.process.stop, signal.SIGKILL)
        if wait_http:
            self.process.stderr.wait_for("HTTP on")

    def availability(self, prefix="zk47"):
        """The topic of the bridge's own availability."""
        return "%s/bridge/%s/availability" % (prefix, self.id)

    def get(self, path):
        try:
            with urllib.request.urlopen("http://%s:%d%s" % (HOST, self.http_port, path),
                                        timeout=sockets.STEP_TIME) as r:
                return r.status, r.read().decode()
        except urllib.error.HTTPError as e:
            return e.code, e.read().decode()

    def stations(self):
        return json.loads(self.get("/api/stations")[1])["stations"]

    def log_lines(self, *pieces):
        """The lines of the bridge's log that hold every one of `pieces`."""
        return [line for line in self.process.stderr.text().split("\n")
                if all(p in line for p in pieces)]

    def metric(self, name, **labels):
        """The value of one sample of /metrics, or None when it is absent."""
        want = name + ("{" + ",".join('%s="%s"' % kv for kv in labels.items()) + "}"
                       if labels else "") + " "
        for line in self.get("/metrics")[1].split("\n"):
            if line.startswith(want):
                return float(line[len(want):])
        return None

    def wait_metric(self, value, name, timeout=sockets.STEP_TIME, **labels):
        wait_until(lambda: self.metric(name, **labels) == value, timeout,
                   "%s %r = %r (is %r)" % (name, labels, value, self.metric(name, **labels)))


class CountingStations:
    """Stand-in data servers on `n` free ports, in one thread: each answers every query with a
    new reading, whose seconds count that station's answers (1, 2, ...), and closes."""

    def __init__(self, test, n):
        self.selector = selectors.DefaultSelector()
        self.counts = [0] * n
        self.ports = []
        for i in range(n):
            s = socket.socket()
            s.bind((HOST, 0))
            s.listen(64)
            s.setblocking(False)
            self.ports.append(s.getsockname()[1])
            self.selector.register(s, selectors.EVENT_READ, ("listen", i))
        self.running = True
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()
        test.addCleanup(self.close)

    def names(self):
        return ["s%03d" % i for i in range(len(self.ports))]

    def args(self):
        return [a for i, port in enumerate(self.ports)
                for a in ("--station", "s%03d=%s:%d" % (i, HOST, port))]

    def _serve(self):
        while self.running:
            for key, _ in self.selector.select(0.2):
                kind, i = key.data
                if kind == "listen":
                    try:
                        conn, _ = key.fileobj.accept()
                    except OSError:
                        continue
                    conn.setblocking(False)
                    self.selector.register(conn, selectors.EVENT_READ, ("query", i))
                    continue
                conn = key.fileobj
                self.selector.unregister(conn)
                try:
                    if conn.recv(64):
                        self.counts[i] += 1
                        conn.setblocking(True)
                        conn.settimeout(2)
                        conn.sendall(data_line(self.counts[i]).encode("latin-1"))
                except OSError:
                    pass
                conn.close()

    def close(self):
        self.running = False
        self.thread.join(5)
        for key in list(self.selector.get_map().values()):
            key.fileobj.close()
        self.selector.close()
