"""Helpers of the station tests: the meter simulator as a module, socat pty pairs, readers,
Xvfb, and the cleanup of every process a test starts, also of those that outlive their
parent (gnuplot started through Wine is orphaned at once)."""

import ctypes
import os
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import types

from .harness import poll_until

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
SIM = os.path.join(ROOT, "tools", "zk47-meter-sim")
RUN_WINE = os.path.join(ROOT, "tests", "wine", "run-wine.sh")


def load_sim():
    """The simulator script loaded as a module, to compare what it meant to write."""
    mod = types.ModuleType("zk47_meter_sim")
    mod.__file__ = SIM
    with open(SIM) as f:
        code = compile(f.read(), SIM, "exec")
    exec(code, mod.__dict__)
    return mod


def stop_process(proc, timeout=5.0):
    """Ends a process we started: SIGTERM, then SIGKILL; always reaps it."""
    if proc is None or proc.poll() is not None:
        return
    try:
        proc.terminate()
        proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(timeout)


def make_raw(fd):
    iflag, oflag, cflag, lflag, ispeed, ospeed, cc = termios.tcgetattr(fd)
    iflag &= ~(termios.IGNBRK | termios.BRKINT | termios.PARMRK | termios.ISTRIP |
               termios.INLCR | termios.IGNCR | termios.ICRNL | termios.IXON)
    oflag &= ~termios.OPOST
    lflag &= ~(termios.ECHO | termios.ECHONL | termios.ICANON | termios.ISIG | termios.IEXTEN)
    cflag &= ~(termios.CSIZE | termios.PARENB)
    cflag |= termios.CS8
    cc[termios.VMIN] = 1
    cc[termios.VTIME] = 0
    termios.tcsetattr(fd, termios.TCSANOW, [iflag, oflag, cflag, lflag, ispeed, ospeed, cc])


class PtyPair:
    """A socat pty pair: the simulator writes to `device`, the test reads `reader_end`.
    The test also holds the device end open, so that the pair outlives the simulator."""

    def __init__(self, workdir):
        self.device = os.path.join(workdir, "ptyB")
        self.reader_end = os.path.join(workdir, "ptyA")
        self.proc = subprocess.Popen(
            ["socat", "-d", "-d",
             "pty,raw,echo=0,link=" + self.reader_end,
             "pty,raw,echo=0,link=" + self.device],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.holder = self.read_fd = -1
        if not poll_until(lambda: os.path.exists(self.device) and os.path.exists(self.reader_end), 10):
            self.close()
            raise RuntimeError("socat made no pty pair")
        self.read_fd = os.open(self.reader_end, os.O_RDWR | os.O_NOCTTY)
        make_raw(self.read_fd)
        self.holder = os.open(self.device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)

    def close(self):
        for fd in (self.read_fd, self.holder):
            if fd >= 0:
                os.close(fd)
        self.read_fd = self.holder = -1
        stop_process(self.proc)
        if self.proc.stderr:
            self.proc.stderr.close()


class Reader(threading.Thread):
    """Reads the reader end into a buffer in the background once started."""

    def __init__(self, fd):
        super().__init__(daemon=True)
        self.fd = fd
        self.data = bytearray()
        self.lock = threading.Lock()
        self.stop = threading.Event()

    def run(self):
        while not self.stop.is_set():
            ready, _, _ = select.select([self.fd], [], [], 0.05)
            if not ready:
                continue
            try:
                chunk = os.read(self.fd, 65536)
            except OSError:
                return
            if not chunk:
                return
            with self.lock:
                self.data += chunk

    def snapshot(self):
        with self.lock:
            return bytes(self.data)

    def wait_bytes(self, n, timeout):
        return poll_until(lambda: len(self.snapshot()) >= n, timeout)

    def quiet_for(self, seconds, timeout):
        """Waits until no byte has come for `seconds` (everything in flight has landed)."""
        deadline = time.monotonic() + timeout
        last = -1
        since = time.monotonic()
        while time.monotonic() < deadline:
            n = len(self.snapshot())
            if n != last:
                last, since = n, time.monotonic()
            elif time.monotonic() - since >= seconds:
                return True
            time.sleep(0.02)
        return False

    def finish(self):
        self.stop.set()
        if self.is_alive():
            self.join(5)


def split_lines(data):
    """CR LF ended lines, each with its CR LF; a trailing piece without one is returned last."""
    lines = []
    start = 0
    while True:
        i = data.find(b"\r\n", start)
        if i < 0:
            break
        lines.append(data[start:i + 2])
        start = i + 2
    rest = data[start:]
    return lines, rest


# --- processes that outlive their parents ---------------------------------------------------

PR_SET_CHILD_SUBREAPER = 36


def become_subreaper():
    """Orphans among our descendants (gnuplot started by a Wine process, the wineserver)
    become our children, so that the test can find and end exactly them."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")


def children(pid=None):
    """Pids whose parent is pid (default: this process), with their command names."""
    pid = os.getpid() if pid is None else pid
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry, "rb") as f:
                stat = f.read().decode("latin-1")
        except OSError:
            continue
        # The name is in parentheses and may hold blanks; the fields after it are plain.
        name = stat[stat.find("(") + 1:stat.rfind(")")]
        fields = stat[stat.rfind(")") + 2:].split()
        # Zombies have ended already; reap() collects ours.
        if len(fields) > 1 and int(fields[1]) == pid and fields[0] != "Z":
            found[int(entry)] = name
    return found


def descendants(pid=None):
    """Live processes below pid (default: this process), with their command names."""
    reap()
    out = {}
    todo = [os.getpid() if pid is None else pid]
    while todo:
        for child, name in children(todo.pop()).items():
            if child not in out:
                out[child] = name
                todo.append(child)
    return out


def reap():
    while True:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            return


def end_descendants(timeout=5.0, keep=()):
    """Ends every process below this one (except the pids in keep): SIGTERM, then SIGKILL."""
    for sig in (signal.SIGTERM, signal.SIGKILL):
        procs = {p: n for p, n in descendants().items() if p not in keep}
        if not procs:
            break
        for p in procs:
            try:
                os.kill(p, sig)
            except ProcessLookupError:
                pass
        poll_until(lambda: (reap() or True) and not
                 {p for p in descendants() if p not in keep}, timeout)
    reap()


# --- X display ------------------------------------------------------------------------------

class Xvfb:
    """A private virtual display; the server picks a free display number itself."""

    def __init__(self):
        r, w = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(w), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(w,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(w)
        number = b""
        deadline = time.monotonic() + 20
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            ready, _, _ = select.select([r], [], [], 0.2)
            if ready:
                chunk = os.read(r, 16)
                if not chunk:
                    break
                number += chunk
        os.close(r)
        if not number.strip().isdigit():
            stop_process(self.proc)
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number.strip().decode()

    def close(self):
        stop_process(self.proc)


def png_size(path):
    """(width, height) of a PNG file, or None while there is none."""
    try:
        with open(path, "rb") as f:
            head = f.read(24)
    except FileNotFoundError:
        return None
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", head[16:24])


RU_LOCALES = "/tmp/zk47-station-locales"


def ru_locales():
    """A folder (for LOCPATH) holding ru_RU.UTF-8, made with localedef on first use: glibc here
    may lack the locale, and it is made privately, not system-wide. None when it cannot be made
    (the reason is in the exception's text for the caller to report)."""
    target = os.path.join(RU_LOCALES, "ru_RU.UTF-8")
    if os.path.isdir(target):
        return RU_LOCALES
    os.makedirs(RU_LOCALES, exist_ok=True)
    tmp = tempfile.mkdtemp(dir=RU_LOCALES)
    try:
        made = os.path.join(tmp, "ru_RU.UTF-8")
        r = subprocess.run(["localedef", "-i", "ru_RU", "-f", "UTF-8", made],
                           capture_output=True, timeout=120)
        if not os.path.isfile(os.path.join(made, "LC_CTYPE")):
            raise RuntimeError("no ru_RU locale can be made here: " + r.stderr.decode(errors="replace"))
        try:
            os.rename(made, target)
        except OSError:
            pass  # made meanwhile by another run
    finally:
        shutil.rmtree(tmp, True)
    return RU_LOCALES


def have(*programs):
    return all(shutil.which(p) for p in programs)


def log(*args):
    print(*args, file=sys.stderr, flush=True)
