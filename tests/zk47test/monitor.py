"""What the monitor's end-to-end tests share: the monitor's windows as the team fixes them, a
model of the meter line and of the rows the monitor makes from it, and checks of the logs and
the grid against that model.

The model is written from the formats themselves, not from the core's code: the tests compare
what the monitor wrote with what the lines sent should give. Seconds and the system stamp
depend on when a line arrived, so they are taken from the row itself and checked for
consistency (seconds = stamp - start stamp; the stamp not before the line was sent).
"""

import datetime
import re
import sys
import time
from pathlib import Path

from . import harness
from .harness import dialog_rect, meter_line, wait_for, win_path  # noqa: F401

# ------------------------------------------------------------------------------------------------
# Checks


class Checks:
    count = 0


def check(cond, what):
    Checks.count += 1
    if not cond:
        raise AssertionError(what)


def equal(got, want, what):
    check(got == want, f"{what}: got {got!r}, want {want!r}")


def run_session(name, cases, setup=None, **session_args):
    """python3 script.py [CASE...]: runs the cases named (all by default), in order, in one
    session; setup(session) runs first (ports are added there)."""
    names = sys.argv[1:] or list(cases)
    unknown = [n for n in names if n not in cases]
    if unknown:
        print(f"usage: {sys.argv[0]} [{'|'.join(cases)}]...", file=sys.stderr)
        return 2
    t0 = time.monotonic()
    with harness.Session(name, **session_args) as s:
        if setup is not None:
            setup(s)
        for n in names:
            t1 = time.monotonic()
            cases[n](s)
            print(f"{n}: passed in {time.monotonic() - t1:.1f} s", flush=True)
    check(not s.leftovers(), "no process left after the session")
    print("timings: " + ", ".join(f"{k} {v:.2f} s" for k, v in s.timings.items()))
    print(f"{name}: {Checks.count} checks passed in {time.monotonic() - t0:.1f} s")
    return 0


def run_russian_session(name, cases, setup=None):
    """run_session under the station's Russian regional settings (ANSI code page 1251, the
    locale made with localedef); 77, a skipped test, where the locale cannot be made."""
    from .station import ru_locales
    try:
        locales = ru_locales()
    except RuntimeError as e:
        print(e, file=sys.stderr)
        return 77
    return run_session(name, cases, setup, locale="ru_RU.UTF-8", locpath=locales)


# ------------------------------------------------------------------------------------------------
# The monitor's windows

MAIN_CLASS = "zk47_monitor"
MAIN_TITLE = "Монитор ZK-47 Версия 1.0"
LOST_TITLE = MAIN_TITLE + " — нет связи с прибором (COM1)"  # while COM1 is away mid-run
SETTINGS_TITLE = "Источник данных/параметры"
ALERT_TITLE = "Внимание!"
ERROR_TITLE = "Ошибка"

WS_POPUP, WS_CHILD, WS_VISIBLE = 0x80000000, 0x40000000, 0x10000000
WS_CAPTION, WS_SYSMENU, WS_VSCROLL, WS_TABSTOP = 0x00C00000, 0x00080000, 0x00200000, 0x00010000
WS_OVERLAPPEDWINDOW = 0x00CF0000
WS_EX_WINDOWEDGE, WS_EX_CLIENTEDGE = 0x100, 0x200
DS_MODALFRAME = 0x80
BS_PUSHBUTTON, BS_DEFPUSHBUTTON, BS_AUTOCHECKBOX, BS_GROUPBOX = 0, 1, 3, 7
CBS_DROPDOWNLIST, CBS_HASSTRINGS = 3, 0x200
ES_MULTILINE, ES_AUTOVSCROLL, ES_READONLY = 0x4, 0x40, 0x800

CHANNEL_TITLES = [" T1,°C", " T2,°C", " T3,°C", " T4,°C", " T5,°C", " T6,°C", " T7,°C", " T8,°C",
                  " T9,°C", "T10,°C", "T11,°C", "T12,°C"]

# The button row at start: id, text, rectangle in client pixels.
BUTTON_ROW = [
    (7, "Старт", [2, 0, 115, 20]),
    (1, "Файл", [120, 0, 115, 20]),
    (2, "График", [238, 0, 115, 20]),
    (3, "Снимок", [356, 0, 115, 20]),
    (4, "Журнал", [474, 0, 115, 20]),
    (5, "Запуск сервера", [592, 0, 124, 20]),
]
FIRST_BUTTON_RECT = [2, 0, 115, 20]

# The settings dialog Ex4_Dlg: id, class, text, button or combobox style (low bits), rectangle
# in dialog units.
SETTINGS_CONTROLS = [
    (222, "Button", "Интерфейс", BS_GROUPBOX, [5, 5, 90, 30]),
    (223, "ComboBox", "COM1", CBS_DROPDOWNLIST, [10, 17, 81, 220]),
    (224, "Button", "Параметры сервера", BS_GROUPBOX, [5, 37, 90, 53]),
    (225, "Static", "IP: ", 0, [10, 49, 15, 10]),
    (226, "Edit", "127.0.0.1", 0, [25, 49, 65, 10]),
    (227, "Static", "Порт: ", 0, [10, 62, 20, 10]),
    (228, "Edit", "5000", 0, [35, 62, 55, 10]),
    (229, "Static", "Период опроса, с: ", 0, [10, 75, 63, 10]),
    (230, "Edit", "5", 0, [73, 75, 17, 10]),
    (231, "Button", "OK", BS_DEFPUSHBUTTON, [10, 178, 80, 12]),
    (232, "Button", "Графики", BS_GROUPBOX, [5, 95, 90, 50]),
    (233, "Button", "Линии", BS_AUTOCHECKBOX, [10, 107, 30, 12]),
    (234, "Button", "Точки", BS_AUTOCHECKBOX, [50, 107, 30, 12]),
    (235, "Static", "Период обновл.,с: ", 0, [10, 120, 63, 10]),
    (236, "Edit", "5", 0, [73, 120, 17, 10]),
    (237, "Button", "Удалять сценарии", BS_AUTOCHECKBOX, [10, 132, 80, 12]),
    (238, "Button", "Время", BS_GROUPBOX, [5, 150, 90, 20]),
    (239, "Button", "Только в секундах", BS_AUTOCHECKBOX, [10, 157, 80, 12]),
]
SETTINGS_SIZE_DU = [100, 195]
SOURCES = [f"COM{i}" for i in range(1, 17)] + ["Сервер"]

# The alert dialog Ex6_Dlg.
ALERT_CONTROLS = [
    (699, "Static", "Проверьте датчики: ", 0, [45, 5, 80, 10]),
    (700, "Static", None, 0, [5, 15, 120, 10]),  # the fault list
    (701, "Button", "OK", BS_DEFPUSHBUTTON, [60, 30, 40, 10]),
]
ALERT_SIZE_DU = [160, 50]
DIALOG_POS_DU = [50, 50]  # both dialogs, from the owner's client area


def cell_id(col, row):
    """Column 0 time, 1 meter time, 2..13 channels T1..T12; row 0 (top) to 7."""
    if col == 0:
        return 1368 + row
    if col == 1:
        return 1376 + row
    return 1384 + 8 * (col - 2) + row


def header_rect(col):
    return [70 * col, 22, 68, 20] if col < 2 else [140 + 60 * (col - 2), 22, 58, 20]


def cell_rect(col, row):
    x, _, w, h = header_rect(col)
    return [x, 45 + 20 * row, w, h]


def control_map(d, win):
    """The window's direct children by id (the first of equal ids)."""
    found = {}
    for c in d.controls(win):
        if c["parent"] == win["hwnd"]:
            found.setdefault(c["id"], c)
    return found


def client_origin(w):
    """Screen position of a top-level window's client area: the frame is as wide on the left
    as on the right and at the bottom (no window manager draws anything else)."""
    x, y, width, height = w["rect"]
    border = (width - w["client"][2]) // 2
    return [x + border, y + height - border - w["client"][3]]


def check_dialog_layout(d, dlg, owner, controls, size_du, what):
    """Class, style, size and place of a dialog from the resources, and its controls."""
    units = d.dialog_units()
    equal(dlg["class"], "#32770", f"{what}: class")
    equal(dlg.get("owner"), owner["hwnd"], f"{what}: owned by the main window")
    check(dlg["style"] & (WS_POPUP | WS_CAPTION) == WS_POPUP | WS_CAPTION, f"{what}: popup with caption")
    check(dlg["style"] & DS_MODALFRAME, f"{what}: modal frame")
    check(not dlg["style"] & WS_SYSMENU, f"{what}: no system menu, so no close box")
    equal(dlg["client"][2:], dialog_rect([0, 0, *size_du], units)[2:], f"{what}: client size")
    want = dialog_rect([*DIALOG_POS_DU, 0, 0], units)[:2]
    got = [a - b for a, b in zip(client_origin(dlg), client_origin(owner))]
    equal(got, want, f"{what}: place from the owner's client area")
    ctl = control_map(d, dlg)
    equal(sorted(ctl), sorted(c[0] for c in controls), f"{what}: control ids")
    for id_, cls, text, style, du in controls:
        c = ctl[id_]
        equal(c["class"], cls, f"{what}: class of {id_}")
        if text is not None:
            equal(c["text"], text, f"{what}: text of {id_}")
        rect = dialog_rect(du, units)
        if cls == "ComboBox":
            # A drop-down list reports its closed height, whatever the template asks.
            equal(c["rect"][:3], rect[:3], f"{what}: rectangle of {id_}")
        else:
            equal(c["rect"], rect, f"{what}: rectangle of {id_}")
        check(c["style"] & (WS_CHILD | WS_VISIBLE) == WS_CHILD | WS_VISIBLE, f"{what}: {id_} child, visible")
        check(not c["style"] & WS_TABSTOP, f"{what}: {id_} has no WS_TABSTOP")
        if cls == "Button":
            equal(c["style"] & 0xF, style, f"{what}: button style of {id_}")
        if cls == "ComboBox":
            equal(c["style"] & 0x203, CBS_DROPDOWNLIST | CBS_HASSTRINGS, f"{what}: combobox style")
    return ctl


# ------------------------------------------------------------------------------------------------
# Starting and ending the monitor


def start_monitor(s, *args, cwd=None, env=None, timeout=60):
    """Runs zk47.exe and waits for its settings dialog (or, with --autostart, its main window).
    Returns (program, window)."""
    prog = s.run("zk47.exe", *args, cwd=cwd, env=env)
    t0 = time.monotonic()
    if "--autostart" in args:
        win = s.drive.wait_window(cls=MAIN_CLASS, timeout=timeout)
    else:
        win = s.drive.wait_window(title=SETTINGS_TITLE, timeout=timeout)
    s.timings.setdefault("first_window", time.monotonic() - t0)
    return prog, win


def start_reading_monitor(s, com="COM1", cfg=None, timeout=90):
    """Runs zk47.exe --autostart in the session's working directory (with cfg as its zk47.cfg
    when given); returns (program, main window) once the reader holds the port open."""
    if cfg is not None:
        (s.work / "zk47.cfg").write_bytes(cfg)
    prog = s.run("zk47.exe", "--autostart")
    win = s.drive.wait_window(cls=MAIN_CLASS, timeout=timeout)
    s.wait_port_open(com, timeout)
    return prog, win


def confirm_settings(s, dlg, key="enter"):
    """Confirms the settings dialog (Enter on it, or a click on OK) and returns the main window."""
    d = s.drive
    if key == "enter":
        d.key(dlg, "enter")
    else:
        d.click(dlg, 231)
    d.wait_gone(dlg, timeout=60)
    return d.wait_window(cls=MAIN_CLASS, timeout=60)


def first_button(d, win):
    """(id, text) of the button at x 2 of the button row."""
    found = [(c["id"], c["text"]) for c in d.controls(win)
             if c["parent"] == win["hwnd"] and c["class"] == "Button" and c["rect"] == FIRST_BUTTON_RECT]
    return found[0] if len(found) == 1 else found


def press_first_button(d, win, want_id, want_text):
    """Clicks the button at x 2 and waits until it has been replaced by want_id."""
    old, _ = first_button(d, win)
    d.click(win, old)
    wait_for(lambda: first_button(d, win) == (want_id, want_text), 30,
             f"button {want_id} {want_text!r} in place of {old}")


def start_acquisition(s, win, com="COM1"):
    """Start, then waits until the reader has the port open and is waiting on it."""
    press_first_button(s.drive, win, 8, "Пауза")
    s.wait_port_open(com, timeout=60)
    time.sleep(0.5)  # the reader sets the port up after opening it


def close_monitor(s, win, prog, timeout=30):
    """Closes the main window; returns (exit code, seconds it took to end)."""
    t0 = time.monotonic()
    s.drive.close_window(win)
    code = prog.wait(timeout)
    return code, time.monotonic() - t0


# ------------------------------------------------------------------------------------------------
# The meter line and what the monitor makes of it

NSENS, ERROR = -999.0, -888.0


def channel_values(line, carried):
    """The twelve values the parser takes from a line (its bytes before the line feed, a carriage
    return included): the marker column decides, a readable field gives its number, and a field
    without one keeps the carried value."""
    values = list(carried)
    for k in range(12):
        marker = 14 + 7 * k
        if marker >= len(line) or line[marker] == " ":
            values[k] = NSENS
        elif line[marker] == "*":
            values[k] = ERROR
        else:
            try:
                values[k] = float(line[9 + 7 * k:16 + 7 * k])
            except ValueError:
                pass
    return values


def klass(v):
    if v > -888.0:
        return "value"
    return "nsens" if v < -900.0 else "error"


def channel_text(v):
    k = klass(v)
    return f" {v:.2f}" if k == "value" else (" N/SENS" if k == "nsens" else " ERROR")


def _as(row, encoded):
    return row.encode() if encoded else row


# A log row as the monitor writes it (Windows text mode: CR LF); encoded=True gives the bytes, as
# the network tests read the logs.
def text_row(sec, stamp, tm, values, encoded=False):
    logged = [v if klass(v) == "value" else (NSENS if klass(v) == "nsens" else ERROR) for v in values]
    return _as(f"{sec:8d} {stamp:>19} {tm}" + "".join(f" {v:8.2f}" for v in logged) + "\r\n", encoded)


def csv_row(sec, stamp, tm, values, encoded=False):
    fields = [f"{v:.2f}" if klass(v) == "value" else ("N/SENS" if klass(v) == "nsens" else "ERROR")
              for v in values]
    return _as(f"{sec};{stamp};{tm};" + ";".join(fields) + "\r\n", encoded)


def grid_row(sec, stamp, tm, values, only_seconds):
    return [str(sec) if only_seconds else stamp[11:], tm] + [channel_text(v) for v in values]


def fault_list(values):
    return "".join(f"T{k + 1} " for k, v in enumerate(values) if klass(v) == "error")


TEXT_TITLE = ("#Время,с Дата/время системы  Вр.ZK-47    T1,°C    T2,°C    T3,°C    T4,°C    T5,°C    T6,°C"
              "    T7,°C    T8,°C    T9,°C   T10,°C   T11,°C   T12,°C")
TEXT_RULE = "#-------+-------------------+--------" + "+--------" * 12
CSV_TITLE = ("Время,с;Дата/время системы;Время ZK-47,с;T1,°C;T2,°C;T3,°C;T4,°C;T5,°C;T6,°C;T7,°C;T8,°C;"
             "T9,°C;T10,°C;T11,°C;T12,°C")


def text_header(started):
    return f"#Начало измерений: {started}\r\n{TEXT_TITLE}\r\n{TEXT_RULE}\r\n"


def csv_header(started):
    return f"Начало измерений:;;{started}\r\n{CSV_TITLE}\r\n"


class Meter:
    """The lines a test sends, and the readings the monitor should take from them."""

    def __init__(self, port):
        self.port = port
        self.carried = [NSENS] * 12  # the reader's values between lines
        self.readings = []           # every reading the monitor should have taken, in order
        self.count = 0

    def line(self, channels, device_time=None):
        """A 93-character meter line with a device time of its own."""
        self.count += 1
        return meter_line(device_time or f"{45000 + self.count:08d}", channels)

    def send(self, text, end="\r\n", taken=True, pause=0.25):
        """Sends one line. `taken`: the monitor should take it as a reading. Each line goes in a
        write of its own after a pause, as a meter's lines do: the reader goes back to waiting
        for an event after a line it drops."""
        sent = text + end
        line = sent[:-1] if sent.endswith("\n") else sent
        t0 = time.time()
        self.port.write(sent)
        if taken:
            self.carried = channel_values(line, self.carried)
            self.readings.append({"tm": line[:8].split("\0")[0], "values": list(self.carried),
                                  "sent_at": t0, "line": line})
        time.sleep(pause)
        return line


def log_files(s, stem=None, work=None):
    """The .txt logs under the data folder of the working directory (the session's, or `work`),
    or the one named stem."""
    found = sorted(((work or s.work) / "data").glob("*/*.txt"))
    if stem is not None:
        found = [p for p in found if p.stem == stem]
    return found


def wait_rows(path, header_lines, rows, timeout=60):
    """Waits until the log holds its header lines and `rows` rows (complete lines)."""
    return harness.wait_lines(path, header_lines + rows, timeout=timeout)


STAMP = re.compile(r"^\d{4}-\d{2}-\d{2}-\d{2}-\d{2}-\d{2}$")


def stamp_time(stamp):
    return datetime.datetime.strptime(stamp, "%Y-%m-%d-%H-%M-%S")


def check_log_pair(txt, blocks, what="logs", with_csv=True):
    """Checks a .txt log and its .csv (unless with_csv is false) byte for byte. `blocks` lists
    what the files should hold: ("header", started_time) for a header block, or a reading dict
    of Meter.readings for a row. Seconds and stamps are read from each text row, checked for
    consistency, and the CSV row must carry the same. Returns the readings with "sec" and
    "stamp" filled in."""
    txt, csv = Path(txt), Path(txt).with_suffix(".csv")
    tdata = txt.read_bytes()
    cdata = csv.read_bytes() if with_csv else b"\r\n"
    check(tdata.endswith(b"\r\n"), f"{what}: {txt.name} ends with a complete line")
    check(cdata.endswith(b"\r\n"), f"{what}: {csv.name} ends with a complete line")
    check(b"\n" not in tdata.replace(b"\r\n", b"") and b"\r" not in tdata.replace(b"\r\n", b""),
          f"{what}: {txt.name} has CR LF line ends only")
    tlines = tdata.decode("cp1251").split("\r\n")[:-1]
    clines = cdata.decode("cp1251").split("\r\n")[:-1]
    want_t, want_c, out = [], [], []
    started = None
    for b in blocks:
        if isinstance(b, tuple):
            started = b[1]
            want_t += text_header(started).split("\r\n")[:-1]
            want_c += csv_header(started).split("\r\n")[:-1]
            continue
        i = len(want_t)
        row = tlines[i] if i < len(tlines) else ""
        sec_text, stamp = row[:8], row[9:28]
        check(re.fullmatch(r" *-?\d+", sec_text) is not None, f"{what}: seconds field of row {i}: {row!r}")
        check(STAMP.match(stamp) is not None, f"{what}: stamp field of row {i}: {row!r}")
        sec = int(sec_text)
        # The seconds count from the start stamp to the row's stamp.
        equal(sec, int((stamp_time(stamp) - stamp_time(started)).total_seconds()),
              f"{what}: seconds of row {i} against its stamp and the start {started}")
        # The stamp is the clock when the line feed was read: not before the line was sent
        # (stamps have whole seconds), and not after now.
        t = time.mktime(stamp_time(stamp).timetuple())
        check(int(b["sent_at"]) <= t <= time.time(), f"{what}: stamp {stamp} of row {i}: when the line came")
        if out:
            check(stamp >= out[-1]["stamp"] and sec >= out[-1]["sec"], f"{what}: row {i} after the one above")
        want_t.append(text_row(sec, stamp, b["tm"], b["values"])[:-2])
        want_c.append(csv_row(sec, stamp, b["tm"], b["values"])[:-2])
        out.append(dict(b, sec=sec, stamp=stamp))
    equal(tlines, want_t, f"{what}: {txt.name}")
    if with_csv:
        equal(clines, want_c, f"{what}: {csv.name}")
    for line in want_t[3:]:
        if not line.startswith("#"):
            equal(len(line), 145, f"{what}: width of a text row")
    return out


def read_grid(d, win):
    """The grid's 8 rows of 14 texts, top row first."""
    ctl = control_map(d, win)
    return [[ctl[cell_id(col, row)]["text"] for col in range(14)] for row in range(8)]


def expected_grid(readings, only_seconds):
    """The last eight readings fill the grid from the bottom."""
    rows = [[""] * 14 for _ in range(8)]
    last = readings[-8:]
    for i, r in enumerate(last):
        rows[8 - len(last) + i] = grid_row(r["sec"], r["stamp"], r["tm"], r["values"], only_seconds)
    return rows


def check_grid(d, win, readings, only_seconds, what, timeout=30):
    """Waits until the grid shows the last eight readings (the reader refreshes the cells after
    it has written the logs), and checks every cell."""
    want = expected_grid(readings, only_seconds)
    got = None

    def probe():
        nonlocal got
        got = read_grid(d, win)
        return got == want

    try:
        wait_for(probe, timeout, "the grid", interval=0.2)
    except harness.Timeout:
        pass
    for row in range(8):
        equal(got[row], want[row], f"{what}: grid row {row}")


def drained(port, timeout=60):
    """Waits until the monitor has read every byte sent, and a little more for it to act on the
    last line: the only sign it gives of a line it drops."""
    wait_for(lambda: port.unread() == 0, timeout, f"the monitor to read what was sent to {port.com}")
    time.sleep(0.5)


def alerts(d):
    """The open alert dialogs."""
    return d.windows(title=ALERT_TITLE)


def error_boxes(d):
    return [w for w in d.windows(title=ERROR_TITLE) if w["class"] == "#32770"]
