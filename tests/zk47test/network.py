"""What the network end-to-end tests share: free ports, a scripted stand-in data server, the
monitor started as a station of its own, and its logs.

Every wait is bounded; the stand-in's threads are daemons that end with their sockets, and every
program is started through the session, which stops it also when a test fails.
"""

import shutil
import socket
import threading
import time
from pathlib import Path

from . import harness
from .harness import wait_for
from .monitor import MAIN_CLASS as MONITOR_CLASS
from .monitor import Checks, cell_id, equal

HOST = "127.0.0.1"
QUERY = b"?\0"

# Grid rows: 0 the oldest, 7 the newest.
ROWS = 8


def query(port, timeout=10):
    """A query as a monitor makes it: "?" and NUL, one receive of at most 1024 bytes, close."""
    with socket.create_connection((HOST, port), timeout=timeout) as s:
        s.sendall(QUERY)
        reply = s.recv(1024)
        s.shutdown(socket.SHUT_RDWR)
        return reply


# ------------------------------------------------------------------------------------------------
# A data server stand-in whose every connection follows the behaviour set when it is accepted


class Exchange:
    """One connection the stand-in accepted: what it did and when."""

    def __init__(self, behaviour):
        self.behaviour = behaviour
        self.accepted = time.monotonic()
        self.request = b""
        self.client_closed = None  # monotonic time the client's end of sending was seen
        self.rest_sent_after_close = None  # split replies: the second part came too late


class StandIn:
    """A scripted data server on 127.0.0.1:port. Behaviours:
    ("reply", bytes): the reply in one send after the query;
    ("split", first, rest): the first part, then the rest only once the client has closed (or
        after `split_wait` s), so a client that reads past its first receive would see it;
    ("drip", bytes, interval): the reply one byte at a time, `interval` s apart, until the
        client closes;
    ("close",): closes after the query without a reply;
    ("hang",): takes the query and never answers; the client's giving up is recorded.
    """

    split_wait = 3.0

    def __init__(self, port, behaviour=("reply", b"NO DATA")):
        self.port = port
        self.behaviour = behaviour
        self.exchanges = []
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._sock = None
        self._thread = None
        self.listen()

    def set(self, *behaviour):
        with self._lock:
            self.behaviour = behaviour

    def listen(self):
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind((HOST, self.port))
        s.listen(16)
        s.settimeout(0.1)
        self._sock = s
        self._stop.clear()
        self._thread = threading.Thread(target=self._accept_loop, args=(s,), daemon=True)
        self._thread.start()

    def close(self):
        """Stops listening: connections to the port are refused from now on."""
        self._stop.set()
        if self._thread:
            self._thread.join(5)
        if self._sock:
            self._sock.close()
        self._sock = self._thread = None

    def count(self):
        with self._lock:
            return len(self.exchanges)

    def since(self, n):
        with self._lock:
            return list(self.exchanges[n:])

    def wait_count(self, n, timeout=15):
        wait_for(lambda: self.count() >= n, timeout, f"{n} queries at the stand-in (has {self.count()})")
        return self.since(0)[n - 1]

    def _accept_loop(self, sock):
        while not self._stop.is_set():
            try:
                conn, _ = sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with self._lock:
                ex = Exchange(self.behaviour)
                self.exchanges.append(ex)
            threading.Thread(target=self._serve, args=(conn, ex), daemon=True).start()

    @staticmethod
    def _read_query(conn, ex):
        conn.settimeout(10)
        while len(ex.request) < len(QUERY):
            chunk = conn.recv(64)
            if not chunk:
                break
            ex.request += chunk

    @staticmethod
    def _await_close(conn, ex, timeout):
        """Waits for the client's end of sending; True when it came within `timeout` s."""
        conn.settimeout(timeout)
        try:
            while conn.recv(64):
                pass
        except socket.timeout:
            return False
        except OSError:
            pass
        ex.client_closed = time.monotonic()
        return True

    def _serve(self, conn, ex):
        kind = ex.behaviour[0]
        with conn:
            try:
                conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                self._read_query(conn, ex)
                if kind == "reply":
                    conn.sendall(ex.behaviour[1])
                    self._await_close(conn, ex, 10)
                elif kind == "split":
                    conn.sendall(ex.behaviour[1])
                    closed = self._await_close(conn, ex, self.split_wait)
                    ex.rest_sent_after_close = closed
                    try:
                        conn.sendall(ex.behaviour[2])
                    except OSError:
                        pass
                    if not closed:
                        self._await_close(conn, ex, 10)
                elif kind == "drip":
                    for i in range(len(ex.behaviour[1])):
                        if self._stop.wait(ex.behaviour[2]):
                            break
                        conn.sendall(ex.behaviour[1][i:i + 1])
                elif kind == "close":
                    pass
                elif kind == "hang":
                    self._await_close(conn, ex, 60)
            except OSError:
                pass


# ------------------------------------------------------------------------------------------------
# Monitors


class Station:
    """A monitor in its own working directory, with its window."""

    def __init__(self, session, name, prog, win, work):
        self.session = session
        self.name = name
        self.prog = prog
        self.win = win
        self.work = work

    @property
    def drive(self):
        return self.session.drive

    def controls(self):
        """{id: control line} of the window's own children."""
        return {c["id"]: c for c in self.drive.controls(self.win) if c["parent"] == self.win["hwnd"]}

    def grid_row(self, row=ROWS - 1, controls=None):
        ctl = controls or self.controls()
        return [ctl[cell_id(col, row)]["text"] for col in range(14)]

    def first_button(self, controls=None):
        """(id, text) of the button at the row's start: Start 7, Pause 8 or Continue 9; None
        while one is being replaced by another (or when there are two)."""
        ctl = controls or self.controls()
        found = [(i, ctl[i]["text"]) for i in (7, 8, 9) if i in ctl]
        return found[0] if len(found) == 1 else None

    def wait_first_button(self, id_, timeout=10):
        wait_for(lambda: (self.first_button() or (None,))[0] == id_, timeout, f"{self.name}: button {id_}")

    def log_paths(self):
        txt = sorted(self.work.glob("data/*/*.txt"))
        if len(txt) != 1:
            raise AssertionError(f"{self.name}: one text log expected, found {txt}")
        return txt[0], txt[0].with_suffix(".csv")

    def rows(self):
        """Data rows of both logs (bytes, line ends included): (text log, CSV log)."""
        txt, csv = self.log_paths()
        t = [r for r in lines_with_ends(txt) if not r.startswith(b"#")]
        c = lines_with_ends(csv)[2:]
        return t, c

    def wait_rows(self, n, timeout=15):
        def probe():
            try:
                t, c = self.rows()
            except AssertionError:
                return None
            return (t, c) if len(t) >= n and len(c) >= n else None

        try:
            return wait_for(probe, timeout, f"{self.name}: {n} rows in each log")
        except harness.Timeout as e:
            raise harness.Timeout(f"{e}; boxes open: {self.session_boxes()}") from None

    def session_boxes(self):
        """Titles and texts of the message boxes open in the session, to tell why a test waits."""
        found = []
        for w in self.drive.windows(cls="#32770"):
            try:
                box = self.drive.msgbox(hwnd=w["hwnd"], timeout=1)
                found.append((box["pid"], box["title"], box["text"]))
            except harness.E2EError:
                found.append((w["pid"], w["title"], None))
        return found

    def close(self, timeout=20):
        self.drive.close_window(self.win)
        return self.prog.wait(timeout)


def lines_with_ends(path):
    """The complete lines of a file, each with its line end; a last line still being written
    does not count."""
    data = Path(path).read_bytes() if Path(path).exists() else b""
    lines = data.splitlines(keepends=True)
    if lines and not lines[-1].endswith(b"\n"):
        lines.pop()
    return lines


def station_dir(session, name, cfg=None, server=False):
    work = session.work / name
    work.mkdir()
    if cfg is not None:
        (work / "zk47.cfg").write_text(cfg)
    if server:
        shutil.copy2(harness.windows_program("zksrv.exe"), work / "zksrv.exe")
    return work


def start_station(session, name, cfg=None, server=False, autostart=False):
    """Starts zk47.exe in work/<name>; with autostart it confirms the settings from cfg and
    presses Start; without, the settings dialog is confirmed here as it opens."""
    d = session.drive
    work = station_dir(session, name, cfg, server)
    before = {w["hwnd"] for w in d.windows(cls=MONITOR_CLASS, all=True)}
    args = ["--autostart"] if autostart else []
    prog = session.run("zk47.exe", *args, cwd=work)
    if not autostart:
        dlg = d.wait_window(title="Источник данных/параметры", timeout=30)
        d.key(dlg, "enter")
        d.wait_gone(dlg)

    def new_window():
        found = [w for w in d.windows(cls=MONITOR_CLASS) if w["hwnd"] not in before]
        return found[0] if found else None

    win = wait_for(new_window, 30, f"the window of {name}")
    return Station(session, name, prog, win, work)


def start_sharing(station, port):
    """The server button (5), its port dialog, OK; returns when the label has replaced it."""
    d = station.drive
    d.click(station.win, 5)
    dlg = d.wait_window(title="Параметры сервера")
    equal(d.text(dlg, 300), "5000", "server port proposed")
    d.set_text(dlg, 300, str(port))
    d.click(dlg, 301)
    d.wait_gone(dlg)
    wait_for(lambda: 400 in station.controls(), 10, "the label 'Сервер запущен!'")


def zksrv_processes(session):
    return [p for p in session.drive.processes() if p["exe"].lower() == "zksrv.exe"]


def print_summary(name, session, t0, figures=None):
    if session is not None:
        print("timings: " + ", ".join(f"{k} {v:.3f} s" for k, v in session.timings.items()))
    for k, v in (figures or {}).items():
        print(f"figure: {k} {v}")
    print(f"{name}: {Checks.count} checks passed in {time.monotonic() - t0:.1f} s")
