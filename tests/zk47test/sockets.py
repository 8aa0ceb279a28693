"""What the network tests share: the program under test, free ports, little clients.

A test script is run as `script.py [unittest arguments] -- PROGRAM...`, where PROGRAM is the
native binary or the Wine runner followed by the .exe. Every wait is bounded, and every
program started here is killed when its test ends, passed or failed.
"""
import random
import resource
import selectors
import socket
import subprocess
import sys
import threading
import time
import unittest

HOST = "127.0.0.1"
# A Windows program's first start under Wine can take a while (the prefix is being made).
START_TIME = 90.0
STEP_TIME = 10.0

PROGRAM = []


def main():
    """Takes the program after "--" from the command line and runs the tests."""
    global PROGRAM
    if "--" not in sys.argv:
        sys.exit("usage: %s [unittest arguments] -- PROGRAM..." % sys.argv[0])
    at = sys.argv.index("--")
    PROGRAM = sys.argv[at + 1:]
    unittest.main(argv=sys.argv[:at], verbosity=2)


def under_wine():
    """True when the program under test is a Windows build run by Wine."""
    return any(arg.endswith(".exe") for arg in PROGRAM)


def free_port():
    """A TCP port that nothing on this machine uses right now, for a program to listen on.
    It lies outside the system's range for outgoing connections, so that connections the
    tests make meanwhile cannot take it before the program binds it."""
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            low, high = (int(x) for x in f.read().split())
    except (OSError, ValueError):
        low, high = 32768, 60999
    span = (15000, low) if low - 15000 >= 5000 else (high + 1, 65536)
    for _ in range(1000):
        port = random.randrange(*span)
        if port in (4464, 5000) or is_listening(port):  # the ports some tests use by number
            continue
        with socket.socket() as s:
            try:
                s.bind((HOST, port))
            except OSError:
                continue
        return port
    raise AssertionError("no free port found")


def is_listening(port):
    """True when some socket listens on the TCP port (any local address)."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                next(f)
                for row in f:
                    fields = row.split()
                    if fields[3] == "0A" and int(fields[1].rsplit(":", 1)[1], 16) == port:
                        return True
        except OSError:
            pass
    return False


def wait_until(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


class Output:
    """Collects one stream of a process on a thread of its own."""

    def __init__(self, stream):
        self._data = bytearray()
        self._lock = threading.Lock()
        self._thread = threading.Thread(target=self._pump, args=(stream,), daemon=True)
        self._thread.start()

    def _pump(self, stream):
        while True:
            chunk = stream.read1(4096)
            if not chunk:
                return
            with self._lock:
                self._data += chunk

    def finish(self, timeout):
        """Waits for the end of the stream (the process has ended)."""
        self._thread.join(timeout)

    def text(self):
        # Windows programs print their line ends as CR LF.
        with self._lock:
            return bytes(self._data).replace(b"\r\n", b"\n").decode("latin-1")

    def wait_for(self, piece, timeout=STEP_TIME):
        wait_until(lambda: piece in self.text(), timeout, repr(piece) + " in " + repr(self.text()))


class ProgramUnderTest:
    """The program under test, with its arguments and standard input; killed by stop()."""

    def __init__(self, args=(), stdin=b""):
        self.process = subprocess.Popen(PROGRAM + [str(a) for a in args], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.stdout = Output(self.process.stdout)
        self.stderr = Output(self.process.stderr)
        if stdin:
            self.process.stdin.write(stdin)
            self.process.stdin.flush()

    def wait_exit(self, timeout=STEP_TIME):
        """The exit code; fails when the program is still running after `timeout` seconds."""
        try:
            code = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("the program did not end; stdout %r, stderr %r"
                                 % (self.stdout.text(), self.stderr.text()))
        self.stdout.finish(STEP_TIME)
        self.stderr.finish(STEP_TIME)
        return code

    def running(self):
        return self.process.poll() is None

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(STEP_TIME)
        # The output threads end by themselves at the end of their pipes, which Wine's server
        # may hold open a little longer than the program lives.
        try:
            self.process.stdin.close()
        except OSError:
            pass


def connect(port, timeout=STEP_TIME, source=None):
    """A connection to HOST:port, from the loopback address `source` when given."""
    s = socket.create_connection((HOST, port), timeout=timeout,
                                 source_address=(source, 0) if source else None)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def recv_all(s, timeout=STEP_TIME):
    """Everything the peer sends until it closes; b"" for a close without an answer."""
    s.settimeout(timeout)
    data = bytearray()
    while True:
        try:
            chunk = s.recv(65536)
        except ConnectionResetError:
            return bytes(data)
        if not chunk:
            return bytes(data)
        data += chunk


def send_and_close(port, message):
    """What a monitor does for a push or a quit: one send, then shut down and close."""
    with connect(port) as s:
        s.sendall(message)
        s.shutdown(socket.SHUT_RDWR)


def query_once(port, message=b"?\0", source=None):
    """What a monitor does for a query: send it, take the reply with one receive of at most
    1024 bytes, then shut down and close."""
    with connect(port, source=source) as s:
        s.sendall(message)
        reply = s.recv(1024)
        s.shutdown(socket.SHUT_RDWR)
        return reply


class FakeDataServer:
    """A remote data server for the relay: each connection gets `reply` after its first
    receive, or is closed without a reply when `reply` is None, or (`silent`) is held open
    unanswered until the peer closes it. Records what each sent."""

    def __init__(self, reply, silent=False):
        self.reply = reply
        self.silent = silent
        self.requests = []
        self._sock = socket.socket()
        self._sock.bind((HOST, 0))
        self._sock.listen(16)
        self._sock.settimeout(0.2)
        self.port = self._sock.getsockname()[1]
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        while not self._stop.is_set():
            try:
                conn, _ = self._sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with conn:
                conn.settimeout(STEP_TIME)
                try:
                    request = conn.recv(1024)
                    time.sleep(0.05)  # let any straggling bytes of the request arrive
                    conn.setblocking(False)
                    try:
                        request += conn.recv(1024)
                    except (BlockingIOError, OSError):
                        pass
                    conn.setblocking(True)
                    self.requests.append(request)
                    if self.silent:
                        recv_all(conn, 60)
                    elif self.reply is not None:
                        conn.sendall(self.reply)
                        recv_all(conn)  # the relay closes after its one receive
                except OSError:
                    pass

    def close(self):
        self._stop.set()
        self._thread.join(STEP_TIME)
        self._sock.close()


class FullBacklog:
    """A listener on `port` whose accept queue is full: connections to it are neither accepted
    nor refused, they wait (the system drops their handshake)."""

    def __init__(self, port):
        self._sock = socket.socket()
        self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._sock.bind((HOST, port))
        self._sock.listen(0)
        self._fillers = []
        # Linux queues backlog + 1 connections; one more of our own proves the queue full.
        for _ in range(2):
            c = socket.socket()
            c.setblocking(False)
            c.connect_ex((HOST, port))
            self._fillers.append(c)
        time.sleep(0.2)
        probe = socket.socket()
        probe.settimeout(1.0)
        try:
            probe.connect((HOST, port))
            raise AssertionError("the full backlog still takes connections")
        except socket.timeout:
            pass
        except ConnectionRefusedError:
            raise AssertionError("the system refuses connections to a full backlog "
                                 "(net.ipv4.tcp_abort_on_overflow?)") from None
        finally:
            probe.close()

    def close(self):
        for c in self._fillers:
            c.close()
        self._sock.close()


def raise_file_limit(needed):
    """Lets this process, and the programs it starts, open `needed` descriptors; skips the
    test when the system's hard limit is below that."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and hard < needed:
        raise unittest.SkipTest("the hard limit of open files is %d, below %d" % (hard, needed))
    if soft != resource.RLIM_INFINITY and soft < needed:
        resource.setrlimit(resource.RLIMIT_NOFILE, (needed, hard))


class Crowd:
    """Clients that hold a server's connections without ever completing a message: `idle` ones
    connect and send nothing, `dripping` ones send "?" and then an "x" a second. They connect from
    `addresses` in turn (loopback addresses other than HOST), and each comes back one second
    after the server has closed it, as a host that wants to starve the server would. One
    thread drives them all; close() ends them."""

    COME_BACK = 1.0
    DRIP_EVERY = 1.0

    def __init__(self, port, addresses, idle, dripping):
        self.port = port
        self.connects = 0  # connections opened in all
        self.closed_by_server = 0
        self._clients = [{"address": addresses[i % len(addresses)], "drips": i >= idle,
                          "sock": None, "sent": 0, "next": 0.0}
                         for i in range(idle + dripping)]
        self._selector = selectors.DefaultSelector()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _open(self, client):
        s = socket.socket()
        try:
            s.setblocking(False)
            s.bind((client["address"], 0))
            s.connect_ex((HOST, self.port))
        except OSError:  # out of ports or descriptors for now: try again later
            s.close()
            client["next"] = time.monotonic() + self.COME_BACK
            return
        client.update(sock=s, sent=0, next=time.monotonic() + self.DRIP_EVERY)
        self._selector.register(s, selectors.EVENT_READ, client)
        self.connects += 1

    def _lost(self, client):
        self._selector.unregister(client["sock"])
        client["sock"].close()
        client.update(sock=None, next=time.monotonic() + self.COME_BACK)
        self.closed_by_server += 1

    def _run(self):
        for client in self._clients:
            self._open(client)
        while not self._stop.is_set():
            for key, _ in self._selector.select(0.05):
                try:
                    data = key.fileobj.recv(4096)
                except BlockingIOError:
                    continue
                except OSError:
                    data = b""
                if not data:
                    self._lost(key.data)
            now = time.monotonic()
            for client in self._clients:
                if now < client["next"]:
                    continue
                if client["sock"] is None:
                    self._open(client)
                elif client["drips"]:
                    client["next"] = now + self.DRIP_EVERY
                    try:
                        client["sent"] += client["sock"].send(b"x" if client["sent"] else b"?")
                    except BlockingIOError:
                        pass  # not connected yet
                    except OSError:
                        self._lost(client)
                else:
                    client["next"] = float("inf")

    def close(self):
        self._stop.set()
        self._thread.join(STEP_TIME)
        for client in self._clients:
            if client["sock"] is not None:
                client["sock"].close()
        self._selector.close()
