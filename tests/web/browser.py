"""Headless Chromium driven through the DevTools protocol over a pipe (no debugging port).

Chromium reads commands on its descriptor 3 and writes answers and events on 4, each message
a JSON text ended by a NUL byte. Every wait is bounded; close() ends the browser.
"""
import base64
import json
import os
import shutil
import subprocess
import tempfile
import threading
import time

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
STEP_TIME = 15.0

# Headless, and nothing that would reach past this machine.
FLAGS = ["--headless", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--disable-default-apps", "--disable-extensions", "--mute-audio",
         "--remote-debugging-pipe"]


class BrowserError(AssertionError):
    pass


class Browser:
    def __init__(self):
        self._profile = tempfile.mkdtemp(prefix="zkweb-chromium-")
        to_browser_r, self._to_browser = os.pipe()
        self._from_browser, from_browser_w = os.pipe()

        def descriptors():  # in the child: the pipe ends at 3 and 4, as Chromium expects
            # Through fresh copies, since a pipe end may itself sit at 3 or 4.
            reader, writer = os.dup(to_browser_r), os.dup(from_browser_w)
            os.dup2(reader, 3)
            os.dup2(writer, 4)

        flags = FLAGS + ["--user-data-dir=" + self._profile]
        if os.geteuid() == 0:
            flags.append("--no-sandbox")  # Chromium's sandbox refuses to run as root
        self.process = subprocess.Popen([CHROMIUM] + flags + ["about:blank"],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                        preexec_fn=descriptors, close_fds=False)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self._lock = threading.Condition()
        self._answers = {}
        self._next_id = 0
        self.events = []  # (method, params) of every event, in arrival order
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        self._stderr = []
        threading.Thread(target=lambda: self._stderr.extend(self.process.stderr), daemon=True).start()
        self.session = None

    def _read(self):
        pending = b""
        while True:
            try:
                chunk = os.read(self._from_browser, 1 << 16)
            except OSError:
                chunk = b""
            if not chunk:
                with self._lock:
                    self._answers[None] = "closed"
                    self._lock.notify_all()
                return
            pending += chunk
            *messages, pending = pending.split(b"\0")
            with self._lock:
                for m in messages:
                    msg = json.loads(m)
                    if "id" in msg:
                        self._answers[msg["id"]] = msg
                    else:
                        self.events.append((msg.get("method"), msg.get("params", {})))
                self._lock.notify_all()

    def send(self, method, params=None, session=True, timeout=STEP_TIME):
        """One command; its result, or BrowserError with the browser's error."""
        with self._lock:
            self._next_id += 1
            ident = self._next_id
        msg = {"id": ident, "method": method, "params": params or {}}
        if session and self.session:
            msg["sessionId"] = self.session
        os.write(self._to_browser, json.dumps(msg).encode() + b"\0")
        deadline = time.monotonic() + timeout
        with self._lock:
            while ident not in self._answers:
                left = deadline - time.monotonic()
                if left <= 0 or None in self._answers:
                    raise BrowserError("no answer to %s; browser said %s"
                                       % (method, b"".join(self._stderr[-20:])[-2000:]))
                self._lock.wait(left)
            answer = self._answers.pop(ident)
        if "error" in answer:
            raise BrowserError("%s: %s" % (method, answer["error"]))
        return answer.get("result", {})

    def open(self, width, height):
        """A fresh page of width x height CSS pixels; a narrow one is a phone."""
        target = self.send("Target.createTarget", {"url": "about:blank"}, session=False)
        self.session = self.send("Target.attachToTarget",
                                 {"targetId": target["targetId"], "flatten": True},
                                 session=False)["sessionId"]
        for domain in ("Page", "Runtime", "Log"):
            self.send(domain + ".enable")
        self.resize(width, height)

    def resize(self, width, height):
        self.send("Emulation.setDeviceMetricsOverride",
                  {"width": width, "height": height, "deviceScaleFactor": 1,
                   "mobile": width < 600})

    def navigate(self, url):
        with self._lock:
            self.events.clear()
        self.send("Page.navigate", {"url": url})
        self.wait_event("Page.loadEventFired")

    def wait_event(self, method, timeout=STEP_TIME):
        deadline = time.monotonic() + timeout
        with self._lock:
            while not any(m == method for m, _ in self.events):
                left = deadline - time.monotonic()
                if left <= 0:
                    raise BrowserError("no " + method)
                self._lock.wait(left)

    def eval(self, expression):
        """The value of a JavaScript expression (promises awaited); BrowserError if it throws."""
        result = self.send("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                "awaitPromise": True})
        if "exceptionDetails" in result:
            raise BrowserError("%s threw %s" % (expression, result["exceptionDetails"]))
        return result["result"].get("value")

    def wait_for(self, expression, timeout=10.0, what=None):
        """Waits until the expression is truthy; returns its value."""
        deadline = time.monotonic() + timeout
        while True:
            value = self.eval(expression)
            if value:
                return value
            if time.monotonic() > deadline:
                raise BrowserError("timed out waiting for " + (what or expression))
            time.sleep(0.05)

    def problems(self):
        """Uncaught exceptions, console errors and refused loads the page met."""
        with self._lock:
            events = list(self.events)
        out = []
        for method, p in events:
            if method == "Runtime.exceptionThrown":
                out.append(p["exceptionDetails"].get("text", "") + " " +
                           str(p["exceptionDetails"].get("exception", {}).get("description", "")))
            elif method == "Runtime.consoleAPICalled" and p.get("type") == "error":
                out.append("console: " + " ".join(str(a.get("value")) for a in p["args"]))
            elif method == "Log.entryAdded" and p["entry"]["level"] == "error":
                out.append("log: " + p["entry"].get("text", "") + " " + p["entry"].get("url", ""))
        return out

    def screenshot(self, path):
        data = self.send("Page.captureScreenshot", {"format": "png"})["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def close(self):
        try:
            self.send("Browser.close", session=False, timeout=5)
        except (BrowserError, OSError):
            pass
        try:
            self.process.wait(5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(5)
        for fd in (self._to_browser, self._from_browser):
            try:
                os.close(fd)
            except OSError:
                pass
        shutil.rmtree(self._profile, ignore_errors=True)
