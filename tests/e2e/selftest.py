"""Self-tests of the end-to-end machinery on the probe programs: python3 selftest.py CASE.

Cases: controls, dialogs, serial, cleanup. Each prints its timings and ends with exit code 0 when
every check held.
"""

import signal
import subprocess
import sys
import time
from pathlib import Path

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, str(Path(__file__).resolve().parent.parent))  # tests/, home of zk47test
from zk47test import harness  # noqa: E402
from zk47test.harness import Session, dialog_rect, marked_processes, meter_line, wait_for, wait_lines  # noqa: E402

CHECKS = 0


def check(cond, what):
    global CHECKS
    CHECKS += 1
    if not cond:
        raise AssertionError(what)


def equal(got, want, what):
    check(got == want, f"{what}: got {got!r}, want {want!r}")


def start_probe(s, *args):
    t0 = time.monotonic()
    prog = s.run("probe_window.exe", *args)
    win = s.drive.wait_window(cls="zk_probe", timeout=30)
    s.timings["first_window"] = time.monotonic() - t0
    return prog, win


def control_map(d, win):
    return {c["id"]: c for c in d.controls(win) if c["parent"] == win["hwnd"]}


# Controls of the probe window as created: id, class, text, rectangle.
PROBE_CONTROLS = [
    (7, "Button", "Старт", [2, 0, 115, 20]),
    (1, "Button", "Файл", [120, 0, 115, 20]),
    (5, "Button", "Ошибка", [238, 0, 115, 20]),
    (6, "Button", "Диалог", [356, 0, 115, 20]),
    (226, "Edit", "127.0.0.1", [2, 30, 200, 20]),
    (233, "Button", "Линии", [320, 30, 80, 20]),
    (1000, "Static", "Имя сохраняемого файла: ", [2, 60, 188, 20]),
    (1001, "Edit", "", [192, 60, 400, 20]),
    (1002, "Static", "", [2, 90, 590, 20]),
]


def case_controls():
    with Session("controls") as s:
        d = s.drive
        prog, win = start_probe(s, "7")
        equal(win["title"], "Проба ZK-47", "window title")
        equal(win["rect"], [0, 0, 600, 300], "window rectangle")
        equal(win["exe"], "probe_window.exe", "window's program")
        check(d.windows(exe="probe_window.exe")[0]["hwnd"] == win["hwnd"], "windows of a process")

        ctl = control_map(d, win)
        for id_, cls, text, rect in PROBE_CONTROLS:
            check(id_ in ctl, f"control {id_} listed")
            c = ctl[id_]
            equal(c["class"].lower(), cls.lower(), f"class of {id_}")
            equal(c["text"], text, f"text of {id_}")
            equal(c["rect"], rect, f"rectangle of {id_}")
            check(c["style"] & 0x50000000 == 0x50000000, f"{id_} is WS_CHILD | WS_VISIBLE")
        equal(ctl[223]["class"], "ComboBox", "combobox class")
        equal(ctl[223]["text"], "COM1", "combobox shows its selection")
        equal(ctl[223]["selected"], 0, "combobox selection")
        equal(ctl[233]["style"] & 0xF, 3, "BS_AUTOCHECKBOX")
        check(ctl[1001]["style"] & 0x0800, "ES_READONLY on 1001")

        # Texts, Cyrillic and the characters the serve protocol escapes.
        for text in ("Привет, мир", 'таб\tкавычка" обратная\\косая', "°C T1,°C", ""):
            equal(d.set_text(win, 226, text), text, "text set")
            equal(d.text(win, 226), text, "text read back")

        # Combobox: entries, selection by index and by text, the parent's notification.
        equal(d.items(win, 223), [f"COM{i}" for i in range(1, 17)] + ["Сервер"], "combobox entries")
        equal(d.select(win, 223, 11)["text"], "COM12", "selected by index")
        equal(d.text(win, 1002), "выбрано: COM12", "parent got CBN_SELCHANGE")
        equal(d.select(win, 223, "Сервер")["index"], 16, "selected by text")
        equal(d.text(win, 1002), "выбрано: Сервер", "parent got CBN_SELCHANGE")

        # Checkbox: set without notification, then a click toggles and notifies.
        equal(d.check(win, 233, 1), 1, "checkbox set")
        equal(d.control(win, 233)["checked"], 1, "checkbox state listed")
        d.click(win, 233)
        d.wait_text(win, 1002, "линии: нет")
        equal(d.control(win, 233)["checked"], 0, "click toggled the checkbox")

        # A click that replaces a button by another at the same place.
        d.click(win, 7)
        d.wait_text(win, 1002, "старт")
        ctl = control_map(d, win)
        check(7 not in ctl, "button 7 destroyed")
        equal((ctl[8]["text"], ctl[8]["rect"]), ("Пауза", [2, 0, 115, 20]), "button 8 in its place")
        equal(d.text(win, at=(10, 10)), "Пауза", "control found by position")

        # Minimise, restore, maximise, move: the controls keep their places.
        d.show(win, "min")
        wait_for(lambda: d.window(win)["iconic"], 10, "the window minimised")
        d.show(win, "restore")
        wait_for(lambda: not d.window(win)["iconic"], 10, "the window restored")
        equal(d.window(win)["rect"], [0, 0, 600, 300], "rectangle after restore")
        d.show(win, "max")
        wait_for(lambda: d.window(win)["zoomed"], 10, "the window maximised")
        d.show(win, "restore")
        d.move(win, [10, 20, 700, 350])
        wait_for(lambda: d.window(win)["rect"] == [10, 20, 700, 350], 10, "the window moved")
        equal(d.control(win, 8)["rect"], [2, 0, 115, 20], "button 8 stays in place")

        # Cost of one driver call, kept running and started afresh.
        t0 = time.monotonic()
        for _ in range(20):
            d.text(win, 226)
        s.timings["driver_call_served"] = (time.monotonic() - t0) / 20
        t0 = time.monotonic()
        one = s.run(harness.windows_program("zkdrive.exe"), "get-text", "--hwnd", win["hwnd"], "--id", 8,
                    env={"LC_ALL": "C.UTF-8"})
        equal(one.wait(30), 0, "one-shot driver exit code")
        s.timings["driver_call_oneshot"] = time.monotonic() - t0
        check("Пауза" in one.output().decode("utf-8"), "one-shot driver output in UTF-8")

        # Closing, the exit code, nothing left behind.
        d.close_window(win)
        d.wait_gone(win)
        equal(prog.wait(20), 7, "exit code")
    equal(s.leftovers(), [], "processes left after the session")
    check(not s.dir.exists(), "session directory removed")
    return s


def case_dialogs():
    with Session("dialogs") as s:
        d = s.drive
        prog, win = start_probe(s)

        # A message box without owner: read, then dismissed with OK.
        d.click(win, 5)
        box = d.msgbox(title="Ошибка")
        equal(box["text"], "Невозможно запустить Блокнот", "message box text")
        equal(box["buttons"], [{"id": 1, "text": "OK"}], "message box buttons")
        listed = d.windows(hwnd=box["hwnd"])[0]
        equal(listed["class"], "#32770", "message box class")
        check("owner" not in listed, "message box has no owner")
        equal(d.msgbox(title="Ошибка", press="ok")["pressed"], 1, "OK pressed")
        d.wait_gone(box)
        d.wait_text(win, 1002, "сообщение закрыто 1")

        # A modal dialog from the resources: layout in dialog units, Escape does nothing,
        # Enter confirms through the default button.
        d.click(win, 6)
        dlg = d.wait_window(title="Источник данных/параметры")
        equal(dlg["class"], "#32770", "dialog class")
        equal(dlg.get("owner"), win["hwnd"], "dialog owned by the window")
        units = d.dialog_units()
        ctl = control_map(d, dlg)
        for id_, du in ((226, [25, 5, 65, 10]), (233, [10, 20, 30, 12]), (231, [10, 40, 80, 12])):
            equal(ctl[id_]["rect"], dialog_rect(du, units), f"rectangle of dialog control {id_}")
        equal(ctl[233]["text"], "Линии", "dialog checkbox text")
        equal(ctl[233]["checked"], 1, "dialog checkbox checked at start")
        equal(ctl[231]["style"] & 0xF, 1, "231 is the default button")
        d.set_text(dlg, 226, "10.0.0.5")
        d.key(dlg, "escape")
        # Posted messages are handled in order: once this click has toggled the checkbox, the
        # Escape before it has been handled too.
        d.click(dlg, 233)
        wait_for(lambda: d.control(dlg, 233)["checked"] == 0, 10, "the click after Escape")
        check(d.windows(hwnd=dlg["hwnd"]), "dialog still open after Escape")
        d.key(dlg, "enter")
        d.wait_gone(dlg)
        d.wait_text(win, 1002, "диалог 0: 10.0.0.5")

        # The common Save-As dialog.
        target = s.work / "выбор.dat"
        d.click(win, 1)
        t0 = time.monotonic()
        chosen = d.save_as(harness.win_path(target))
        s.timings["save_as"] = time.monotonic() - t0
        check(chosen["title"], "Save-As dialog has a title")
        d.wait_text(win, 1002, "файл выбран")
        equal(d.text(win, 1001), harness.win_path(target), "chosen file name")

        d.close_window(win)
        equal(prog.wait(20), 0, "exit code")
    equal(s.leftovers(), [], "processes left after the session")
    return s


def case_serial():
    equal(len(meter_line("00004521", [23.45, 23.51, None, "ERR", -1.5, 101.2, 22.0, None, 19.75, 20.1, 20.05, 20.0])),
          93, "meter line length")
    example = meter_line("00004521", [23.45, 23.51, None, "ERR", -1.5, 101.2, 22.0, None, 19.75, 20.1, 20.05, 20.0])
    equal(example[9:16], "  23.45", "T1 field")
    equal(example[23:30], " " * 7, "T3 field")
    equal(example[30:37], " ******", "T4 field")
    equal(example[44:51], " 101.20", "T6 field")

    with Session("serial", display=False) as s:
        port = s.add_serial("COM1")
        out = s.work / "echo.txt"
        lines = [meter_line(f"{i:08d}", [20.0 + i] * 12) for i in range(3)]

        prog = s.run("probe_serial.exe", "COM1", harness.win_path(out), "30")
        t0 = time.monotonic()
        s.wait_port_open("COM1", timeout=30)
        s.timings["port_open"] = time.monotonic() - t0
        for line in lines:
            port.write_line(line)
        got = wait_lines(out, 3, timeout=10)
        equal([g.decode() for g in got], [line + "\r" for line in lines], "lines through the pty")
        port.write_line("quit")
        equal(prog.wait(20), 3, "exit code after quit")

        # The pair survives a program that closed the port; a second one reads on.
        out2 = s.work / "echo2.txt"
        prog2 = s.run("probe_serial.exe", "COM1", harness.win_path(out2), "30")
        s.wait_port_open("COM1", timeout=30)
        port.write(b"second\n")
        equal(wait_lines(out2, 1, timeout=10), [b"second"], "second program reads the same pair")
        port.write(b"quit\n")
        equal(prog2.wait(20), 3, "second exit code")

        # A program that never gets its line is stopped by the session.
        s.run("probe_serial.exe", "COM1", harness.win_path(s.work / "echo3.txt"), "300")
        s.wait_port_open("COM1", timeout=30)
    equal(s.leftovers(), [], "processes left after the session")
    return s


def case_cleanup():
    # A failing test: the session still stops everything and keeps its directory for a look.
    run_dir = None
    try:
        with Session("cleanup-failing") as s:
            run_dir = s.dir
            start_probe(s)
            raise RuntimeError("a failing check")
    except RuntimeError:
        pass
    equal(marked_processes(run_dir), [], "processes left after a failed test")
    check((run_dir / "failure.png").exists(), "screenshot taken on failure")
    check(not (run_dir / "prefix").exists(), "prefix removed after a failed test")
    subprocess.run(["rm", "-rf", str(run_dir)], check=True)

    # A crashing program ends at once with the exception's code (access violation, 0xC0000005),
    # with no debugger dialog to wait behind.
    with Session("cleanup-crash") as s:
        equal(s.run("probe_window.exe", "crash").wait(30), 5, "exit code of a crash")
        equal(s.drive.windows(), [], "no window left by the crash")

    # A test process killed outright: the reaper stops what it left.
    child = subprocess.Popen([sys.executable, __file__, "cleanup-child"], stdout=subprocess.PIPE, text=True)
    try:
        line = child.stdout.readline().split()
        check(line and line[0] == "ready", f"child session started: {line}")
        run_dir = Path(line[1])
        running = marked_processes(run_dir)
        check(len(running) >= 4, f"Xvfb, socat, wine and the program run: {running}")
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait(10)
    t0 = time.monotonic()
    wait_for(lambda: not marked_processes(run_dir) and not (run_dir / "prefix").exists(), 60,
             "the reaper to clean up")
    print(f"reaper cleaned up in {time.monotonic() - t0:.2f} s")
    subprocess.run(["rm", "-rf", str(run_dir)], check=True)


def case_cleanup_child():
    s = Session("cleanup-killed")
    s.__enter__()
    s.add_serial("COM1")
    start_probe(s)
    print("ready", s.dir, flush=True)
    time.sleep(300)


CASES = {"controls": case_controls, "dialogs": case_dialogs, "serial": case_serial, "cleanup": case_cleanup,
         "cleanup-child": case_cleanup_child}


def main():
    if len(sys.argv) != 2 or sys.argv[1] not in CASES:
        print(f"usage: selftest.py {{{'|'.join(CASES)}}}", file=sys.stderr)
        return 2
    t0 = time.monotonic()
    s = CASES[sys.argv[1]]()
    if s is not None:
        print("timings: " + ", ".join(f"{k} {v:.3f} s" for k, v in s.timings.items()))
    print(f"{sys.argv[1]}: {CHECKS} checks passed in {time.monotonic() - t0:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
