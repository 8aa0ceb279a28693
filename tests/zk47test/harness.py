"""End-to-end test harness for the Windows programs under Wine (Python 3 standard library only).

A test opens a Session: its own X display (Xvfb), its own Wine prefix (copied from a template made
once per build tree), optional serial ports on socat pseudo-terminals, and the programs it starts
in a private working directory. The session reads and works windows through the driver
zkdrive.exe, which runs in the same prefix. Everything the session starts is stopped when it
closes, also when the test fails or is killed: a detached reaper process cleans up after a
session whose test process died without closing it.

    with harness.Session("probe") as s:
        port = s.add_serial("COM1")          # before the first program starts
        prog = s.run("probe_window.exe", "7")
        win = s.drive.wait_window(cls="zk_probe")
        s.drive.click(win, 7)
        assert prog.wait(10) == 7

Environment: ZK_WINDOWS_DIR, the Windows build tree (programs at its top, zkdrive.exe and the
test programs in tests/); ZK_E2E_WORK, where the prefix template and the session directories
go (default /tmp/zk47-e2e); ZK_E2E_KEEP=1 keeps the session directories, prefix included.
"""

import fcntl
import json
import os
import queue
import select
import shutil
import signal
import subprocess
import sys
import termios
import threading
import time
from pathlib import Path

WINE = os.environ.get("ZK_WINE_BINARY", "wine")
# No Mono or Gecko installer dialogs, and no menu entries written into $HOME.
DLL_OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"
MARKER = "ZK_E2E_RUN"
TRACE = os.environ.get("ZK_E2E_TRACE") == "1"  # every driver call and its time on stderr


class E2EError(Exception):
    pass


class Timeout(E2EError):
    pass


class DriveError(E2EError):
    """zkdrive refused or failed a command; `items` holds what it printed."""

    def __init__(self, args, rc, items):
        self.args_ = args
        self.rc = rc
        self.items = items
        super().__init__(f"zkdrive {' '.join(map(str, args))}: rc {rc}: {items}")


# ------------------------------------------------------------------------------------------------
# Paths


def windows_dir():
    d = os.environ.get("ZK_WINDOWS_DIR")
    if not d:
        raise E2EError("ZK_WINDOWS_DIR is not set (the Windows build tree)")
    return Path(d)


def windows_program(name):
    """A Windows program of the build: at the top of the tree, or in its tests/ folder."""
    for p in (windows_dir() / name, windows_dir() / "tests" / name):
        if p.is_file():
            return p
    raise E2EError(f"{name} is not in {windows_dir()} nor its tests/ folder")


def work_root():
    return Path(os.environ.get("ZK_E2E_WORK", "/tmp/zk47-e2e"))


def win_path(path):
    """The Windows form of a Linux path, through Wine's Z: drive."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


# ------------------------------------------------------------------------------------------------
# Waiting


def wait_for(probe, timeout, what, interval=0.05):
    """Calls probe() until it returns something true, and returns that; Timeout after `timeout` s."""
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise Timeout(f"timed out after {timeout} s waiting for {what}")
        time.sleep(interval)


def poll_until(predicate, timeout, step=0.05):
    """Like wait_for, but says whether predicate() came true in time instead of raising."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def wait_file(path, timeout=10):
    path = Path(path)
    return wait_for(lambda: path.exists() and path, timeout, f"{path} to appear")


def read_lines(path):
    try:
        return Path(path).read_bytes().splitlines()
    except FileNotFoundError:
        return []


def wait_lines(path, count, timeout=10):
    """Waits until the file holds at least `count` complete lines; returns them (bytes)."""

    def probe():
        data = Path(path).read_bytes() if Path(path).exists() else b""
        lines = data.split(b"\n")[:-1]  # a last line without its line feed is not complete yet
        return lines if len(lines) >= count else None

    return wait_for(probe, timeout, f"{count} lines in {path}")


# ------------------------------------------------------------------------------------------------
# Processes: every one a session starts carries MARKER=<session dir> in its environment, so the
# session (or its reaper) finds them all, Wine's own included, and never touches anything else.


def marked_processes(run_dir):
    """Pids of the live processes whose environment carries the session's marker."""
    needle = f"{MARKER}={run_dir}".encode() + b"\0"
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open(f"/proc/{entry}/environ", "rb") as f:
                env = f.read() + b"\0"
            with open(f"/proc/{entry}/stat", "rb") as f:
                state = f.read().rsplit(b")", 1)[1].split()[0]
        except OSError:
            continue
        if state != b"Z" and (b"\0" + needle in b"\0" + env):
            found.append(int(entry))
    return found


def _signal_all(pids, sig):
    for pid in pids:
        try:
            os.kill(pid, sig)
        except ProcessLookupError:
            pass


def _wine_env(prefix, run_dir):
    env = dict(os.environ)
    for k in ("WINESERVER", "WINELOADER", "WINEARCH"):
        env.pop(k, None)
    env.update(WINEPREFIX=str(prefix), WINEDEBUG="-all", WINEDLLOVERRIDES=DLL_OVERRIDES)
    env[MARKER] = str(run_dir)
    return env


def _server_dir(prefix):
    """The directory of the prefix's wineserver socket (Debian's Wine names it in the prefix)."""
    try:
        base = (Path(prefix) / "wineserver").read_text().strip()
        st = os.stat(prefix)
    except OSError:
        return None
    return Path("/tmp") / base / f"server-{st.st_dev:x}-{st.st_ino:x}"


def cleanup_run(run_dir, prefix, remove_prefix=True):
    """Stops everything of a session: the prefix's wineserver and every marked process. Returns
    the pids that could not be stopped (none, normally)."""
    run_dir, prefix = Path(run_dir), Path(prefix)
    server_dir = _server_dir(prefix)
    if (prefix / "wineserver").exists():  # written when a server first started there
        try:
            subprocess.run(["wineserver", "-k"], env=_wine_env(prefix, run_dir), timeout=20,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            pass
    left = marked_processes(run_dir)
    _signal_all(left, signal.SIGTERM)
    deadline = time.monotonic() + 5
    while left and time.monotonic() < deadline:
        time.sleep(0.05)
        left = marked_processes(run_dir)
    _signal_all(left, signal.SIGKILL)
    deadline = time.monotonic() + 5
    while left and time.monotonic() < deadline:
        time.sleep(0.05)
        left = marked_processes(run_dir)
    if server_dir is not None:
        shutil.rmtree(server_dir, ignore_errors=True)
        try:
            server_dir.parent.rmdir()  # only when no other prefix uses it
        except OSError:
            pass
    if remove_prefix:
        shutil.rmtree(prefix, ignore_errors=True)
    return left


def _reaper_main(run_dir, prefix, remove_prefix):
    """Body of the detached reaper: waits for its session to say "done" or to die (end of file on
    stdin), and cleans up in the second case."""
    if os.fork():  # detach from the test process's tree: a test runner that kills the tree
        os._exit(0)  # must not take the reaper with it
    os.setsid()
    done = False
    for line in sys.stdin:
        if line.strip() == "done":
            done = True
            break
    if not done:
        cleanup_run(run_dir, prefix, remove_prefix == "1")


# ------------------------------------------------------------------------------------------------
# The Wine prefix template: made once per work root with wineboot (about 10 s), then copied per
# session. The big system32 folder is hard-linked (Wine never writes into it after wineboot); the
# rest is copied, the registry included, so each session's registry is its own.


# Added to the template's user registry: no window manager runs on the test display, and
# unmanaged windows spare the 2 s that Wine otherwise waits, for every window it hides, for a
# window manager to confirm.
TEMPLATE_SETTINGS = '\n[Software\\\\Wine\\\\X11 Driver] TIME\n"Managed"="N"\n'
# Added to the template's machine registry: no debugger, so a crashing program ends at once with
# the exception's code. The debugger now and then let a crashed program end with 0 and printed
# nothing, which a test of exit codes cannot tell from success.
MACHINE_SETTINGS = (
    '\n[Software\\\\Microsoft\\\\Windows NT\\\\CurrentVersion\\\\AeDebug] TIME\n"Auto"="1"\n"Debugger"=""\n'
)


def template_prefix():
    root = work_root()
    root.mkdir(parents=True, exist_ok=True)
    template = root / "wine-template"
    wine = subprocess.run([WINE, "--version"], capture_output=True, text=True, timeout=30).stdout.strip()
    version = f"{wine}\n{TEMPLATE_SETTINGS}{MACHINE_SETTINGS}"
    with open(root / "wine-template.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)  # one creator at a time: tests start in parallel
        ready = template / ".zk-ready"
        if ready.exists() and ready.read_text() == version:
            return template
        shutil.rmtree(template, ignore_errors=True)
        building = root / "wine-template.new"
        shutil.rmtree(building, ignore_errors=True)
        env = _wine_env(building, building)
        env.pop("DISPLAY", None)
        try:
            subprocess.run(["wineboot", "--init"], env=env, timeout=300,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            subprocess.run(["wineserver", "-w"], env=env, timeout=120)
        except BaseException:
            cleanup_run(building, building)
            raise
        if not (building / "system.reg").exists():
            raise E2EError("wineboot --init did not create a prefix")
        sd = _server_dir(building)
        if sd:
            shutil.rmtree(sd, ignore_errors=True)
        (building / "wineserver").unlink(missing_ok=True)  # each copy gets its own server dir
        with open(building / "user.reg", "a", encoding="utf-8") as reg:
            reg.write(TEMPLATE_SETTINGS.replace("TIME", str(int(time.time()))))
        with open(building / "system.reg", "a", encoding="utf-8") as reg:
            reg.write(MACHINE_SETTINGS.replace("TIME", str(int(time.time()))))
        (building / ".zk-ready").write_text(version)  # another Wine or other settings: a new one
        building.rename(template)
        return template


def copy_prefix(template, dest):
    system32 = str(Path(template) / "drive_c" / "windows" / "system32") + os.sep

    def copy(src, dst):
        if src.startswith(system32):
            os.link(src, dst)
        else:
            shutil.copy2(src, dst)

    shutil.copytree(template, dest, symlinks=True, copy_function=copy)


def _reg_string(s):
    return '"' + s.replace("\\", "\\\\").replace('"', '\\"') + '"'


# ------------------------------------------------------------------------------------------------
# Programs


class Program:
    """A Windows program started under Wine; its stdout and stderr go to files."""

    def __init__(self, proc, name, out, err):
        self.proc = proc
        self.name = name
        self.out_path = out
        self.err_path = err

    @property
    def pid(self):
        return self.proc.pid

    def running(self):
        return self.proc.poll() is None

    def wait(self, timeout=30):
        """The exit code (Wine passes the Windows exit code on, modulo 256)."""
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Timeout(f"{self.name} still running after {timeout} s") from None

    def kill(self):
        if self.running():
            self.proc.kill()
            self.proc.wait(10)

    def output(self):
        return Path(self.out_path).read_bytes()

    def errors(self):
        return Path(self.err_path).read_bytes()


TIOCVHANGUP = 0x5437  # Linux; the termios module does not name it


class SerialPort:
    """A socat pseudo-terminal pair: COMn of the prefix is one end (`windows_end`), the test
    writes the meter's bytes into the other (`meter_end`). The session holds both ends open, so
    the pair outlives any one program that opens and closes the port."""

    def __init__(self, com, windows_end, meter_end, make_pair):
        self.com = com
        self.windows_end = windows_end
        self.meter_end = meter_end
        self._make_pair = make_pair  # starts socat; returns it once both ends exist
        self._plug()

    def _plug(self):
        self.proc = self._make_pair()
        self._hold = os.open(self.windows_end, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        self._fd = os.open(self.meter_end, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)

    def unplug(self):
        """Takes the pair away, as a pulled cable takes an adapter: socat ends and both names
        go; the program's handle on the port is left hung up."""
        self.close()
        wait_for(lambda: not os.path.lexists(self.windows_end), 10, f"{self.com}'s pty to go")

    def replug(self):
        """A new pair under the same names, as a replugged adapter comes back."""
        self._plug()

    def hang_up(self):
        """Hangs up the program's end (TIOCVHANGUP, as a USB adapter's removal does) and takes
        its name away until replug_name(); the pair itself stays."""
        fcntl.ioctl(self._hold, TIOCVHANGUP)
        os.close(self._hold)
        self._hold = -1
        os.rename(self.windows_end, f"{self.windows_end}.away")

    def replug_name(self):
        os.rename(f"{self.windows_end}.away", self.windows_end)
        self._hold = os.open(self.windows_end, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)

    def write(self, data, timeout=10):
        if isinstance(data, str):
            data = data.encode("cp1251")
        deadline = time.monotonic() + timeout
        while data:
            _, ready, _ = select.select([], [self._fd], [], max(0.0, deadline - time.monotonic()))
            if not ready:
                raise Timeout(f"{self.com}: the port takes no more bytes")
            data = data[os.write(self._fd, data):]

    def write_line(self, line, end="\r\n"):
        self.write(line + end)

    def read(self, timeout=1.0):
        """What the Windows side wrote to the port within `timeout` seconds."""
        got = b""
        deadline = time.monotonic() + timeout
        while True:
            ready, _, _ = select.select([self._fd], [], [], max(0.0, deadline - time.monotonic()))
            if not ready:
                return got
            try:
                got += os.read(self._fd, 4096)
            except BlockingIOError:
                pass

    def is_open(self, run_dir):
        """True while a process of the session (Wine) holds the Windows end open; socat's own
        hold on it does not count."""
        tty = os.path.realpath(self.windows_end)
        for pid in marked_processes(run_dir):
            if pid == self.proc.pid:
                continue
            try:
                fds = os.listdir(f"/proc/{pid}/fd")
            except OSError:
                continue
            for fd in fds:
                try:
                    if os.readlink(f"/proc/{pid}/fd/{fd}") == tty:
                        return True
                except OSError:
                    pass
        return False

    def unread(self):
        """Bytes written to the port that the Windows side has not read yet: those still on
        their way through socat and those waiting at the Windows end."""
        in_flight = fcntl.ioctl(self._fd, termios.TIOCOUTQ, b"\0\0\0\0")
        waiting = fcntl.ioctl(self._hold, termios.FIONREAD, b"\0\0\0\0")
        return int.from_bytes(in_flight, sys.byteorder) + int.from_bytes(waiting, sys.byteorder)

    def discard_pending(self):
        """Drops bytes that wait on the Windows end unread (an earlier program's leftovers)."""
        termios.tcflush(self._hold, termios.TCIFLUSH)

    def close(self):
        for fd in (self._fd, self._hold):
            if fd >= 0:
                os.close(fd)
        self._fd = self._hold = -1
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)


def meter_line(device_time, channels):
    """A meter line of twelve 7-character fields after the 8-character device time and a blank.
    Each channel is a number (printed "%7.2f"), None (no sensor: blanks) or "ERR" (asterisks);
    a str of 7 characters goes in as it stands. No line end."""
    if len(channels) != 12:
        raise ValueError("a meter line has twelve channels")
    fields = []
    for c in channels:
        if c is None:
            fields.append(" " * 7)
        elif c == "ERR":
            fields.append(" " + "*" * 6)
        elif isinstance(c, str):
            if len(c) != 7:
                raise ValueError(f"field {c!r} is not 7 characters")
            fields.append(c)
        else:
            fields.append(f"{c:7.2f}")
    return f"{device_time:8.8}" + " " + "".join(fields)


# ------------------------------------------------------------------------------------------------
# The driver


def _serve_field(s):
    return str(s).replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n").replace("\r", "\\r")


def _hwnd(win):
    if isinstance(win, dict):
        return win["hwnd"]
    if isinstance(win, int):
        return win
    raise TypeError("a window is its hwnd or the dict the driver printed for it")


def _filter_args(cls=None, title=None, title_prefix=None, exe=None, pid=None, hwnd=None, all=False):
    a = []
    for opt, v in (("--class", cls), ("--title", title), ("--title-prefix", title_prefix),
                   ("--exe", exe), ("--pid", pid), ("--hwnd", hwnd)):
        if v is not None:
            a += [opt, v]
    if all:
        a.append("--all")
    return a


class Driver:
    """zkdrive.exe kept running in serve mode: one command costs a few milliseconds instead of a
    Wine start (about 0.1 s). A command that does not answer in time kills the driver (the next
    command starts a new one) and raises Timeout."""

    def __init__(self, session):
        self.session = session
        self.proc = None
        self.lines = None

    def _start(self):
        self.session._before_wine()
        env = self.session.env()
        if not self.session.locale:
            env["LC_ALL"] = "C.UTF-8"  # the driver's own conversions; its texts travel as UTF-8
        with open(self.session.dir / "zkdrive.err", "ab") as err:
            self.proc = subprocess.Popen([WINE, str(windows_program("zkdrive.exe")), "serve"], stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE, stderr=err, env=env, cwd=self.session.work)
        self.lines = queue.Queue()
        threading.Thread(target=self._pump, args=(self.proc.stdout, self.lines), daemon=True).start()

    @staticmethod
    def _pump(stream, lines):
        for line in stream:
            lines.put(line)
        lines.put(None)

    def close(self):
        if self.proc is None:
            return
        try:
            self.proc.stdin.write(b"quit\n")
            self.proc.stdin.close()
            self.proc.wait(5)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait(5)
        self.proc = None

    def call(self, *args, timeout=None, check=True):
        """Runs one command; returns the JSON objects it printed. `timeout` (s) goes to the
        driver as --timeout; the answer is awaited a little longer."""
        args = [str(a) for a in args]
        if timeout is not None:
            args += ["--timeout", str(int(timeout * 1000))]
        if self.proc is None or self.proc.poll() is not None:
            self._start()
        started = time.monotonic()
        self.proc.stdin.write(("\t".join(_serve_field(a) for a in args) + "\n").encode())
        self.proc.stdin.flush()
        deadline = time.monotonic() + (timeout or 10) + 15
        items = []
        while True:
            try:
                line = self.lines.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                self.proc.kill()
                self.proc.wait(5)
                self.proc = None
                raise Timeout(f"zkdrive {' '.join(args)}: no answer") from None
            if line is None:
                self.proc = None
                raise DriveError(args, None, items + ["driver ended"])
            obj = json.loads(line)
            if list(obj) == ["rc"]:
                if TRACE:
                    print(f"zkdrive {' '.join(args)}: rc {obj['rc']}, {len(items)} items, "
                          f"{time.monotonic() - started:.3f} s", file=sys.stderr)
                if obj["rc"] != 0 and check:
                    raise DriveError(args, obj["rc"], items)
                return items
            items.append(obj)

    def one(self, *args, **kw):
        items = self.call(*args, **kw)
        return items[0] if items else None

    # -- windows -------------------------------------------------------------------------------

    def windows(self, **filt):
        """Top-level windows (visible ones unless all=True), topmost first."""
        return self.call("windows", *_filter_args(**filt))

    def wait_window(self, timeout=10, **filt):
        """Waits for a top-level window: cls, title, title_prefix, exe, pid, hwnd, all."""
        return self.one("wait", *_filter_args(**filt), timeout=timeout)

    def wait_gone(self, win=None, timeout=10, **filt):
        if win is not None:
            filt["hwnd"] = _hwnd(win)
        self.call("wait-gone", *_filter_args(**filt), timeout=timeout)

    def close_window(self, win):
        self.call("close", "--hwnd", _hwnd(win))

    def show(self, win, state):
        """min, max, restore, hide or show; asynchronous, the window line's iconic, zoomed and
        visible tell when it happened."""
        self.call("show", "--hwnd", _hwnd(win), state)

    def move(self, win, rect):
        """New [x, y, w, h]; asynchronous."""
        self.call("move", "--hwnd", _hwnd(win), ",".join(map(str, rect)))

    def window(self, win):
        """The window line of a window, hidden or not; None once it is gone."""
        found = self.windows(hwnd=_hwnd(win), all=True)
        return found[0] if found else None

    def processes(self):
        return self.call("processes")

    def dialog_units(self):
        u = self.one("units")
        return u["x"], u["y"]

    def extents(self, win):
        """Each control's text size in its own font against its client rectangle."""
        return self.call("extents", "--hwnd", _hwnd(win))

    # -- controls ------------------------------------------------------------------------------

    @staticmethod
    def _target(win, id=None, nth=None, at=None):
        a = ["--hwnd", _hwnd(win)]
        if id is not None:
            a += ["--id", id]
        if nth is not None:
            a += ["--nth", nth]
        if at is not None:
            a += ["--at", f"{at[0]},{at[1]}"]
        return a

    def controls(self, win):
        """Every control inside the window: hwnd, parent, id, class, text, rect [x, y, w, h] in
        the parent's client area, style, exstyle, visible, enabled (+ checked, selected)."""
        return self.call("controls", "--hwnd", _hwnd(win))

    def control(self, win, id, nth=0):
        found = [c for c in self.controls(win) if c["id"] == id and c["parent"] == _hwnd(win)]
        if len(found) <= nth:
            raise E2EError(f"no control {id} in window {_hwnd(win)}")
        return found[nth]

    def text(self, win, id=None, **kw):
        return self.one("get-text", *self._target(win, id, **kw))["text"]

    def set_text(self, win, id, text, **kw):
        return self.one("set-text", *self._target(win, id, **kw), text)["text"]

    def wait_text(self, win, id, text, contains=False, timeout=10, **kw):
        extra = ["--contains"] if contains else []
        return self.one("wait-text", *self._target(win, id, **kw), text, *extra, timeout=timeout)["text"]

    def click(self, win, id=None, send=False, **kw):
        """BM_CLICK, posted (a click that opens a modal dialog must not block), or sent."""
        self.call("click", *self._target(win, id, **kw), *(["--send"] if send else []))

    def command(self, win, id, code=0, send=False, **kw):
        """WM_COMMAND(id, code) from the control to its parent."""
        self.call("command", *self._target(win, id, **kw), "--code", code, *(["--send"] if send else []))

    def items(self, win, id, **kw):
        return [i["text"] for i in self.call("items", *self._target(win, id, **kw))]

    def select(self, win, id, entry, post=False, **kw):
        """Selects a combobox entry by index or by its exact text; the parent gets CBN_SELCHANGE."""
        which = entry if isinstance(entry, int) else "=" + entry
        return self.one("select", *self._target(win, id, **kw), which, *(["--post"] if post else []))

    def check(self, win, id, state=1, **kw):
        """BM_SETCHECK (no notification; click() toggles an auto checkbox as the user would)."""
        return self.one("check", *self._target(win, id, **kw), int(state))["checked"]

    def key(self, win, key):
        """Posts a key press (enter, escape, tab, space or a virtual-key code) to the focused
        control inside the window, or to the window."""
        self.call("key", "--hwnd", _hwnd(win), key)

    # -- dialogs -------------------------------------------------------------------------------

    def msgbox(self, title=None, press=None, timeout=10, **filt):
        """Waits for a dialog box (#32770) with a static text and returns hwnd, pid, title, text
        and buttons [{id, text}]; press="ok" (or an id) also clicks that button and waits until
        the box has gone."""
        a = ["msgbox", *_filter_args(title=title, **filt)]
        if press is not None:
            a += ["--press", press]
        return self.one(*a, timeout=timeout)

    def save_as(self, file_name, title=None, timeout=10):
        """Fills the common Save-As dialog's name field (1148) and presses Save (1)."""
        return self.one("save-as", *_filter_args(title=title), file_name, timeout=timeout)


def dialog_rect(rect_du, units):
    """Pixels of a dialog-unit rectangle [x, y, w, h] for a dialog in the system font, rounded as
    the system's MulDiv does; `units` from Driver.dialog_units()."""
    bx, by = units

    def muldiv(a, b, c):
        return (a * b + c // 2) // c if a >= 0 else -((-a * b + c // 2) // c)

    x, y, w, h = rect_du
    return [muldiv(x, bx, 4), muldiv(y, by, 8), muldiv(w, bx, 4), muldiv(h, by, 8)]


# ------------------------------------------------------------------------------------------------
# The session


class Session:
    """One test's world: display, prefix, ports, programs, driver. Use it as a context manager;
    close() stops everything it started."""

    _count = 0

    def __init__(self, name, screen="1024x768x24", display=True, locale=None, locpath=None):
        Session._count += 1
        self.name = name
        self.screen = screen
        self.want_display = display
        self.locale = locale
        self.locpath = locpath
        # The path goes into socat addresses and the registry: keep it plain.
        safe = "".join(c if c.isascii() and (c.isalnum() or c in "-_") else "_" for c in name)
        self.dir = work_root() / "runs" / f"{safe}-{os.getpid()}-{Session._count}"
        self.prefix = self.dir / "prefix"
        self.work = self.dir / "work"
        self.display = None
        self.ports = {}
        self.programs = []
        self.timings = {}
        self._xvfb = None
        self._reaper = None
        self._wine_started = False
        self._closed = False
        self.drive = Driver(self)
        self.failed = False

    # -- life ----------------------------------------------------------------------------------

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.failed = True  # keep the logs of what did not start
            self.close()
            raise
        return self

    def __exit__(self, kind, value, tb):
        if kind is not None:
            self.failed = True
            try:
                print(f"session {self.name}: failed, screenshot {self.screenshot('failure.png')}",
                      file=sys.stderr)
            except Exception:
                pass
        self.close()
        return False

    def start(self):
        if threading.current_thread() is threading.main_thread() and \
                signal.getsignal(signal.SIGTERM) in (signal.SIG_DFL, None):
            signal.signal(signal.SIGTERM, _exit_on_sigterm)  # a terminated test still cleans up
        t0 = time.monotonic()
        template = template_prefix()
        self.timings["template"] = time.monotonic() - t0
        shutil.rmtree(self.dir, ignore_errors=True)
        self.dir.mkdir(parents=True)
        self.work.mkdir()
        self._start_reaper()
        t0 = time.monotonic()
        copy_prefix(template, self.prefix)
        self.timings["prefix_copy"] = time.monotonic() - t0
        if self.want_display:
            t0 = time.monotonic()
            self._start_xvfb()
            self.timings["xvfb"] = time.monotonic() - t0

    def _start_reaper(self):
        r, w = os.pipe()
        remove_prefix = "0" if os.environ.get("ZK_E2E_KEEP") == "1" else "1"
        env = {k: v for k, v in os.environ.items() if k != MARKER}  # the reaper must outlive its own sweep
        subprocess.run([sys.executable, os.path.abspath(__file__), "reap", str(self.dir), str(self.prefix),
                        remove_prefix],
                       stdin=r, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env,
                       start_new_session=True, timeout=30, check=True)
        os.close(r)
        self._reaper = os.fdopen(w, "w")

    def _start_xvfb(self):
        r, w = os.pipe()
        with open(self.dir / "xvfb.log", "wb") as log:
            self._xvfb = subprocess.Popen(
                ["Xvfb", "-displayfd", str(w), "-screen", "0", self.screen, "-nolisten", "tcp", "-noreset"],
                pass_fds=(w,), stdout=log, stderr=log, env=self.env(display=False))
        os.close(w)
        got = b""
        deadline = time.monotonic() + 30
        while not got.endswith(b"\n"):
            ready, _, _ = select.select([r], [], [], max(0.0, deadline - time.monotonic()))
            if not ready:
                os.close(r)
                raise Timeout("Xvfb gave no display number")
            chunk = os.read(r, 64)
            if not chunk:
                os.close(r)
                raise E2EError(f"Xvfb ended: {(self.dir / 'xvfb.log').read_text(errors='replace')}")
            got += chunk
        os.close(r)
        self.display = ":" + got.decode().strip()

    def env(self, display=True):
        """The environment of every process of the session."""
        env = _wine_env(self.prefix, self.dir)
        if display and self.display:
            env["DISPLAY"] = self.display
        else:
            env.pop("DISPLAY", None)
        if self.locale:
            env["LANG"] = env["LC_ALL"] = self.locale
        if self.locpath:
            env["LOCPATH"] = str(self.locpath)
        return env

    def close(self):
        """Stops the programs, the driver, Wine, socat and Xvfb; removes the prefix (and the whole
        session directory if the test passed). Returns the pids that would not stop."""
        if self._closed:
            return []
        self._closed = True
        t0 = time.monotonic()
        try:
            self.drive.close()
        except Exception:
            pass
        keep = os.environ.get("ZK_E2E_KEEP") == "1"
        # Wine first (its programs may hold the ports and the display), then socat and Xvfb:
        # every one of them carries the session's marker.
        left = cleanup_run(self.dir, self.prefix, remove_prefix=not keep)
        for port in self.ports.values():
            port.close()
        for proc in [p.proc for p in self.programs] + [self._xvfb]:
            if proc is not None:
                try:
                    proc.wait(5)
                except subprocess.TimeoutExpired:
                    left.append(proc.pid)
        if self._reaper is not None:
            try:
                self._reaper.write("done\n")
                self._reaper.close()
            except OSError:
                pass
        if not keep and not self.failed and not left:
            shutil.rmtree(self.dir, ignore_errors=True)
        self.timings["close"] = time.monotonic() - t0
        return left

    def leftovers(self):
        """Processes of this session still alive (empty after close())."""
        return marked_processes(self.dir)

    # -- serial ports --------------------------------------------------------------------------

    def add_serial(self, com="COM1", timeout=10):
        """A pty pair with `com` mapped to its Windows end. Ports are mapped in the prefix's
        registry before Wine first starts there, so add them before the first program."""
        if self._wine_started:
            raise E2EError("add serial ports before the first program starts")
        n = com.upper()
        windows_end, meter_end = self.dir / f"{n.lower()}-windows", self.dir / f"{n.lower()}-meter"

        def make_pair():
            with open(self.dir / f"socat-{n.lower()}.log", "ab") as log:
                proc = subprocess.Popen(["socat", "-d", "-d", f"pty,raw,echo=0,link={windows_end}",
                                         f"pty,raw,echo=0,link={meter_end}"],
                                        stdout=log, stderr=log, env=self.env(display=False))
            wait_for(lambda: windows_end.exists() and meter_end.exists() or proc.poll() is not None,
                     timeout, "socat's pseudo-terminals")
            if proc.poll() is not None:
                raise E2EError(f"socat ended: {(self.dir / f'socat-{n.lower()}.log').read_text(errors='replace')}")
            return proc

        port = SerialPort(n, windows_end, meter_end, make_pair)
        self.ports[n] = port
        return port

    def wait_port_open(self, com="COM1", timeout=10):
        """Waits until a program has opened the port (so bytes written now reach it)."""
        port = self.ports[com.upper()]
        wait_for(lambda: port.is_open(self.dir), timeout, f"{com} to be opened")

    def _before_wine(self):
        """Maps the serial ports in the prefix's registry file, which Wine reads when its server
        starts; editing the file beforehand spares a registry edit and a server restart."""
        if self._wine_started:
            return
        self._wine_started = True
        if self.ports:
            with open(self.prefix / "system.reg", "a", encoding="utf-8") as reg:
                reg.write(f"\n[Software\\\\Wine\\\\Ports] {int(time.time())}\n")
                for n, port in self.ports.items():
                    reg.write(f"{_reg_string(n)}={_reg_string(str(port.windows_end))}\n")
        # Start the server first, alone: Debian's Wine picks the server's folder when the first
        # client of a new prefix starts it, and two clients starting at once (a program and the
        # driver) can pick different ones, and one then fails. It stays until the clean-up's -k.
        subprocess.run(["wineserver", "-p"], env=self.env(), timeout=60, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    # -- programs ------------------------------------------------------------------------------

    def install(self, src, name=None):
        """Copies a file (a program, a configuration) into the working directory."""
        dest = self.work / (name or Path(src).name)
        shutil.copy2(src, dest)
        return dest

    def run(self, exe, *args, cwd=None, env=None, show=None):
        """Starts a Windows program under Wine in the working directory (or `cwd`). `exe` is a
        path, or a name looked up in the Windows build tree. show="min" or "max" hands the
        program that show command (through Wine's start /wait, which passes the exit code on)."""
        path = Path(exe)
        if not path.is_absolute() and not path.exists():
            path = windows_program(str(exe))
        self._before_wine()
        n = len(self.programs)
        out, err = self.dir / f"{path.stem}-{n}.out", self.dir / f"{path.stem}-{n}.err"
        e = self.env()
        e.update(env or {})
        with open(out, "wb") as o, open(err, "wb") as r:
            launch = [WINE, str(path)] if show is None else [WINE, "start", "/wait", f"/{show}", "/unix", str(path)]
            proc = subprocess.Popen([*launch, *map(str, args)], cwd=cwd or self.work, env=e,
                                    stdin=subprocess.DEVNULL, stdout=o, stderr=r)
        prog = Program(proc, path.name, out, err)
        self.programs.append(prog)
        return prog

    # -- pictures ------------------------------------------------------------------------------

    def screenshot(self, name="screen.png"):
        if not self.display:
            return None
        path = self.dir / name
        subprocess.run(["import", "-display", self.display, "-window", "root", str(path)],
                       timeout=30, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       env=self.env())
        return path


def _exit_on_sigterm(signum, frame):
    raise SystemExit(128 + signum)


if __name__ == "__main__" and len(sys.argv) == 5 and sys.argv[1] == "reap":
    _reaper_main(*sys.argv[2:])
