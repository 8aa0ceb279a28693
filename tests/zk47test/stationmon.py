"""The monitor as a station runs it, for the station tests and the benchmark: zk47.exe under
Wine in an e2e harness session (its own display, prefix and socat ports), the meter simulator
or a paced writer of our own on the port, and readers of the logs the monitor writes.

The simulator numbers its lines in --flood and --rate mode: the meter's time counter is the
line's sequence number, so the third column of a log row says which line it came from.
"""

import re
import subprocess
import time
from pathlib import Path

from . import station as stationlib
from .monitor import CSV_TITLE, ERROR_TITLE, STAMP, TEXT_RULE, TEXT_TITLE, stamp_time

ID_FILE, ID_GRAPH, ID_SNAPSHOT, ID_PAUSE = 1, 2, 3, 8

TEXT_ROW_CHARS = 145
VALUE = re.compile(r"^-?\d+\.\d\d$")

sim = stationlib.load_sim()


class LogError(AssertionError):
    pass


def _fail(path, what):
    raise LogError(f"{Path(path).name}: {what}")


# ------------------------------------------------------------------------------------------------
# Logs


def read_log(path, live):
    """A log's lines without their CR LF. A log the monitor still writes (live) may end in a
    row that is being written: that piece is left for later; a finished log must be whole."""
    data = Path(path).read_bytes()
    if data and not data.endswith(b"\r\n") and not live:
        _fail(path, "the last row is not complete")
    return data.split(b"\r\n")[:-1] if data else []


class TextLog:
    """A text log read whole: its header block and its rows (seq = the meter's time counter)."""

    def __init__(self, path, live=False):
        self.path = Path(path)
        lines = read_log(path, live)
        if any(b"\n" in line or b"\r" in line for line in lines):
            _fail(path, "a line end that is not CR LF")
        self.lines = [line.decode("cp1251") for line in lines]
        self.started = None
        self.rows = []  # (seq, row text)
        if len(self.lines) < 3:
            _fail(path, f"no header: {self.lines[:3]}")
        head = self.lines[0]
        prefix = "#Начало измерений: "
        if not head.startswith(prefix) or not STAMP.match(head[len(prefix):]):
            _fail(path, f"first line is not the header's start line: {head!r}")
        self.started = head[len(prefix):]
        if self.lines[1] != TEXT_TITLE or self.lines[2] != TEXT_RULE:
            _fail(path, "the title and rule lines do not follow the start line")
        start = stamp_time(self.started)
        for n, line in enumerate(self.lines[3:], 4):
            if line.startswith("#"):
                _fail(path, f"line {n}: a header line after the rows began: {line!r}")
            self.rows.append((parse_text_row(path, n, line), line))
            # The seconds count from the start stamp to the row's own stamp.
            sec, stamp = line.split()[:2]
            if int(sec) != int((stamp_time(stamp) - start).total_seconds()):
                _fail(path, f"line {n}: {sec} s from {self.started} to {stamp}")

    def seqs(self):
        return [seq for seq, _ in self.rows]


def parse_text_row(path, n, line):
    """Checks one row's columns and widths; returns its sequence number."""
    if len(line) != TEXT_ROW_CHARS:
        _fail(path, f"line {n}: {len(line)} characters, not {TEXT_ROW_CHARS}: {line!r}")
    fields = line.split()
    if len(fields) != 15:
        _fail(path, f"line {n}: {len(fields)} columns: {line!r}")
    sec, stamp, tm = fields[:3]
    if not re.match(r"^-?\d+$", sec) or line[:8] != f"{sec:>8}":
        _fail(path, f"line {n}: seconds column {line[:8]!r}")
    if not STAMP.match(stamp) or line[9:28] != stamp:
        _fail(path, f"line {n}: system stamp column {line[9:28]!r}")
    if not re.match(r"^\d{8}$", tm) or line[29:37] != tm:
        _fail(path, f"line {n}: meter time column {line[29:37]!r}")
    for k in range(12):
        field = line[37 + 9 * k:46 + 9 * k]
        if field[0] != " " or not VALUE.match(field.strip()) or len(field) != 9:
            _fail(path, f"line {n}: channel T{k + 1} field {field!r}")
    return int(tm)


class CsvLog:
    def __init__(self, path, live=False):
        self.path = Path(path)
        lines = [line.decode("cp1251") for line in read_log(path, live)]
        if len(lines) < 2 or not lines[0].startswith("Начало измерений:;;") or lines[1] != CSV_TITLE:
            _fail(path, f"no header: {lines[:2]}")
        self.started = lines[0][len("Начало измерений:;;"):]
        self.rows = []
        for n, line in enumerate(lines[2:], 3):
            fields = line.split(";")
            if len(fields) != 15:
                _fail(path, f"line {n}: {len(fields)} fields: {line!r}")
            if line.startswith("Начало"):
                _fail(path, f"line {n}: a header line after the rows began")
            self.rows.append(fields)


def same_reading(text_row, csv_fields):
    """A text-log row and a CSV row carry the same reading."""
    t = text_row.split()
    return t[:3] == csv_fields[:3] and [f"{float(v):.2f}" for v in t[3:]] == csv_fields[3:]


def check_pair(txt_path, live=False):
    """Reads a log pair (x.txt and x.csv), checks both whole and alike; returns the TextLog.
    While the monitor still writes it (live), a row may have reached one log and not yet the
    other, or come between the two reads."""
    text = TextLog(txt_path, live)
    csv = CsvLog(Path(str(txt_path)[:-3] + "csv"), live)
    if csv.started != text.started:
        _fail(txt_path, f"start stamps differ: {text.started} and {csv.started}")
    if abs(len(csv.rows) - len(text.rows)) > (2 if live else 0):
        _fail(txt_path, f"{len(text.rows)} rows in the text log, {len(csv.rows)} in the CSV log")
    for (seq, row), fields in zip(text.rows, csv.rows):
        if not same_reading(row, fields):
            _fail(txt_path, f"line {seq}: the CSV row differs: {row!r} / {';'.join(fields)!r}")
    return text


def expected_fields(seed, first, last, start=1):
    """The twelve channel fields ("%8.2f") the simulator's lines first..last carry."""
    meter = sim.Meter(seed, sequence=True, start=start, period=1.0)
    out = {}
    for seq in range(start, last + 1):
        _, counter, channels = meter.measurement()
        if seq >= first:
            out[counter] = ["%8.2f" % v for v in channels]
    return out


def check_values(log, expected):
    """Every row carries what the simulator wrote in its line."""
    for seq, row in log.rows:
        want = expected.get(seq)
        got = [row[37 + 9 * k + 1:46 + 9 * k] for k in range(12)]
        if want is not None and got != want:
            _fail(log.path, f"row of line {seq} carries {got}, the line {want}")


def count_rows(path):
    """Complete rows in a text log as it stands (0 when it does not exist)."""
    try:
        data = Path(path).read_bytes()
    except FileNotFoundError:
        return 0
    return sum(1 for line in data.split(b"\r\n")[:-1] if line and not line.startswith(b"#"))


def day_logs(work):
    """The text logs under the working directory's data folder."""
    return sorted((Path(work) / "data").glob("*/*.txt"))


# ------------------------------------------------------------------------------------------------
# The monitor in a session


def first_button_id(s, win):
    ids = [c["id"] for c in s.drive.controls(win)
           if c["parent"] == win["hwnd"] and c["class"] == "Button" and c["rect"][:2] == [2, 0]]
    return ids[0] if len(ids) == 1 else ids


def no_error_box(s):
    """Fails when the monitor shows an error box (a log that could not be written)."""
    boxes = s.drive.windows(title=ERROR_TITLE)
    if boxes:
        text = s.drive.msgbox(title=ERROR_TITLE).get("text")
        raise AssertionError(f"the monitor reports: {text!r}")


def wine_process(s, comm):
    """Pid of the session's Linux process whose command name is comm (zk47.exe, gnuplot...)."""
    for pid in s.leftovers():
        try:
            if Path(f"/proc/{pid}/comm").read_text().strip() == comm:
                return pid
        except OSError:
            pass
    return None


def cpu_ticks(pid):
    """utime + stime of a process, all its threads, in clock ticks."""
    stat = Path(f"/proc/{pid}/stat").read_text()
    fields = stat[stat.rfind(")") + 2:].split()
    return int(fields[11]) + int(fields[12])


def rss_kb(pid):
    """Resident memory of a process (VmRSS), in KB."""
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    raise RuntimeError(f"no VmRSS for process {pid}")


def counts(s):
    """The monitor's open handles and threads, as Windows counts them (asked through the driver)."""
    return s.drive.one("counts", "--exe", "zk47.exe")


def start_sim(s, port, *args, report=None):
    """The meter simulator on the session's port; its summary goes to a file of the session."""
    cmd = [stationlib.SIM, str(port.meter_end), *map(str, args)]
    if report:
        cmd += ["--report", str(report)]
    err = open(s.dir / f"sim-{time.monotonic_ns()}.err", "wb")
    try:
        return subprocess.Popen(cmd, env=s.env(display=False), stdin=subprocess.DEVNULL,
                                stdout=err, stderr=err)
    finally:
        err.close()


def stop(proc, timeout=10):
    stationlib.stop_process(proc, timeout)
