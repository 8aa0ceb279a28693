"""Sharing readings between stations: python3 network_sharing.py CASE [ZKRELAY].

Cases:
  serial  a monitor reading the meter on COM1 shares through the data server it starts: the
          port dialog, zksrv.cfg, the label, the server's answers (its own data line, byte for
          byte), and the server's end when the window closes.
  chain   three stations: a serial monitor sharing on port A; a monitor polling A and sharing
          on B; the relay ZKRELAY (a native build) listening on C for B; a third monitor polling
          C. The third one's logs hold the first one's readings exactly.
  status  the data server's end decides the monitor's, before any reading: a server that ends
          with 1, or a zksrv.exe that is missing, gives a box naming the status and exit code
          1; one that ends with 0 ends the monitor with 0 (stand-in servers that listen on
          nothing).
  stalled a local data server that never takes a connection (a full listen queue): the serial
          reader's push and the quit at the window's close each give "Ошибка подключения к
          сокету" within about 5 s, then exit code 1.
Each case is one Wine session; the monitors share its prefix and display, each in a working
directory of its own.
"""

import datetime
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parent.parent))  # tests/, home of zk47test
from zk47test import harness  # noqa: E402
from zk47test.harness import Session, meter_line, wait_for  # noqa: E402
from zk47test.monitor import channel_text, check, equal  # noqa: E402
from zk47test.network import print_summary, query, start_sharing, start_station, zksrv_processes  # noqa: E402
from zk47test.sockets import FullBacklog, free_port, is_listening  # noqa: E402

FIGURES = {}
SERIAL_CFG = "0 127.0.0.1 5000 5 5"  # COM1


def poller_cfg(port):
    return f"16 127.0.0.1 {port} 1 5"


def data_line_texts(channels):
    texts = []
    for c in channels:
        if c is None:
            texts.append(" N/SENS")
        elif c == "ERR":
            texts.append(" ERROR")
        else:
            texts.append(channel_text(c))
    return "".join(texts)


def row_fields(text_row):
    """Seconds, stamp and device time of a text log row."""
    sec, stamp, device_time = text_row.split()[:3]
    return int(sec), stamp.decode(), device_time.decode()


def expected_data_line(text_row, channels):
    sec, stamp, device_time = row_fields(text_row)
    return f"{sec} {stamp} {device_time}{data_line_texts(channels)}".encode()


def check_stamp_is_now(stamp, what):
    taken = datetime.datetime.strptime(stamp, "%Y-%m-%d-%H-%M-%S")
    off = abs((datetime.datetime.now() - taken).total_seconds())
    check(off < 120, f"{what}: stamp {stamp} is {off:.0f} s from now")


def wait_answer(port, want, timeout=10):
    """The server takes a push when the pusher has closed; ask until the answer is there."""
    got = []

    def probe():
        got[:] = [query(port)]
        return got[0] == want

    try:
        wait_for(probe, timeout, f"the server on {port} to answer {want!r}")
    except Exception:
        equal(got[0] if got else None, want, f"answer of the server on {port}")
    return got[0]


def dismiss_alerts(d, count, pids):
    """Presses OK in `count` sensor alerts, one per given process; none is left afterwards."""
    seen = []
    for _ in range(count):
        box = d.msgbox(title="Внимание!", press=701, timeout=15)
        seen.append(box["pid"])
    equal(sorted(seen), sorted(pids), "one alert per station")
    check(not d.windows(title="Внимание!"), "no alert left")


# ------------------------------------------------------------------------------------------------


def case_serial():
    port_a = free_port()
    with Session("network-share-serial") as s:
        d = s.drive
        com = s.add_serial("COM1")
        mon = start_station(s, "meter", SERIAL_CFG, server=True)

        start_sharing(mon, port_a)
        ctl = mon.controls()
        check(5 not in ctl, "the server button is gone")
        equal((ctl[400]["class"].lower(), ctl[400]["text"], ctl[400]["rect"]),
              ("static", "Сервер запущен!", [592, 0, 124, 20]), "the label in the button's place")
        equal((mon.work / "zksrv.cfg").read_bytes(), str(port_a).encode(), "zksrv.cfg: the port, no line end")
        wait_for(lambda: is_listening(port_a), 30, f"the data server on {port_a}")
        equal(len(zksrv_processes(s)), 1, "one data server running")
        equal(query(port_a), b"NO DATA", "the server's answer before the first reading")

        d.click(mon.win, 7)
        mon.wait_first_button(8)
        s.wait_port_open("COM1", timeout=30)
        com.write_line(meter_line("00000000", [0.0] * 12))  # the reader drops its first line
        readings = [
            ("00004521", [23.45, -1.5, 0.0, 101.2, 22.0, 19.75, 20.1, 20.05, 20.0, -40.0, 99.99, 5.5]),
            ("00004522", [23.5, 23.51, None, "ERR", -1.5, 101.2, 22.0, None, 19.75, 20.1, 20.05, 20.0]),
        ]
        for i, (device_time, channels) in enumerate(readings):
            if i:
                time.sleep(1.1)  # a new second for each reading
            com.write_line(meter_line(device_time, channels))
            t, _ = mon.wait_rows(i + 1)
            sec, stamp, got_time = row_fields(t[i])
            equal(got_time, device_time, "device time in the log")
            check_stamp_is_now(stamp, "the reading's stamp")
            check(0 <= sec < 300, f"seconds since the start: {sec}")
            want = expected_data_line(t[i], channels)
            equal(wait_answer(port_a, want), want, f"the server gives reading {i + 1} as its data line")
        dismiss_alerts(d, 1, [mon.win["pid"]])
        equal(query(port_a), want, "queries leave the line in place")

        # Closing the window tells the server to quit; the monitor ends normally.
        equal(mon.close(), 0, "exit code")
        wait_for(lambda: not is_listening(port_a), 15, "the data server to stop listening")
        wait_for(lambda: not zksrv_processes(s), 15, "the data server to end")
    equal(s.leftovers(), [], "processes left after the session")
    return s


# ------------------------------------------------------------------------------------------------


def start_relay(s, relay, listen_port, remote_port):
    out = open(s.dir / "zkrelay.out", "wb")
    proc = subprocess.Popen([relay], stdin=subprocess.PIPE, stdout=out, stderr=subprocess.STDOUT,
                            env=s.env(display=False))  # the session's mark: stopped with it
    out.close()
    proc.stdin.write(f"{listen_port}\n{remote_port}\n127.0.0.1\n".encode())
    proc.stdin.flush()
    wait_for(lambda: is_listening(listen_port) or proc.poll() is not None, 15, "the relay to listen")
    check(proc.poll() is None, f"the relay runs: {(s.dir / 'zkrelay.out').read_text(errors='replace')}")
    return proc


def case_chain(relay):
    port_a, port_b, port_c = free_port(), free_port(), free_port()
    check(len({port_a, port_b, port_c}) == 3, "three ports")
    relay_proc = None
    with Session("network-chain") as s:
        try:
            d = s.drive
            com = s.add_serial("COM1")
            first = start_station(s, "first", SERIAL_CFG, server=True)
            start_sharing(first, port_a)
            wait_for(lambda: is_listening(port_a), 30, "the first data server")
            d.click(first.win, 7)
            first.wait_first_button(8)

            middle = start_station(s, "middle", poller_cfg(port_a), server=True)
            start_sharing(middle, port_b)
            wait_for(lambda: is_listening(port_b), 30, "the middle data server")
            d.click(middle.win, 7)
            middle.wait_first_button(8)

            relay_proc = start_relay(s, relay, port_c, port_b)
            last = start_station(s, "last", poller_cfg(port_c), autostart=True)
            last.wait_first_button(8)

            # Before the first reading the data servers answer "NO DATA": no reading, no failure.
            relay_out = s.dir / "zkrelay.out"
            wait_for(lambda: b"-->7,NO DATA\n" in relay_out.read_bytes(), 15, "NO DATA through the relay")
            check(not d.windows(title="Ошибка"), "NO DATA is no failure")
            for st in (middle, last):
                equal(st.rows(), ([], []), f"nothing logged at the {st.name} station from NO DATA")
                equal(st.first_button(), (8, "Пауза"), f"the {st.name} station polls on")

            s.wait_port_open("COM1", timeout=30)
            com.write_line(meter_line("00000000", [0.0] * 12))  # the reader drops its first line
            readings = [
                ("00010001", [23.45, -1.5, 0.0, 101.2, 22.0, 19.75, 20.1, 20.05, 20.0, -40.0, 99.99, 5.5]),
                ("00010002", [23.5, 23.51, None, "ERR", -1.5, 101.2, 22.0, None, 19.75, 20.1, 20.05, 20.0]),
                ("00010003", [24.0, 24.25, None, "ERR", -2.0, 100.0, 21.0, None, 19.5, 20.0, 20.0, 21.0]),
            ]
            latencies = []
            for i, (device_time, channels) in enumerate(readings):
                if i:
                    time.sleep(1.1)  # a new second for each reading, or the pollers drop it
                sent = time.monotonic()
                com.write_line(meter_line(device_time, channels))
                last.wait_rows(i + 1, timeout=30)
                latencies.append(time.monotonic() - sent)
            FIGURES["chain_latency_s"] = " ".join(f"{x:.2f}" for x in latencies)

            # The same readings, byte for byte, at every station.
            rows = first.rows()
            equal(len(rows[0]), 3, "readings at the first station")
            for st in (middle, last):
                equal(st.rows(), rows, f"{st.name} station's logs hold the first one's rows")
            # The middle station passes each reply on as it came.
            want = expected_data_line(rows[0][2], readings[2][1])
            equal(query(port_a), want, "the first data server's line")
            equal(query(port_b), want, "the middle data server's line")
            trace = relay_out.read_bytes()
            check(b"-->%d,%s\n" % (len(want), want) in trace, "the relay traced the line it relayed")

            # One alert per station for the reading that brought T4's ERROR.
            dismiss_alerts(d, 3, [first.win["pid"], middle.win["pid"], last.win["pid"]])

            equal(last.close(), 0, "exit code of the last station")
            relay_proc.terminate()
            relay_proc.wait(10)
            equal(middle.close(), 0, "exit code of the middle station")
            equal(first.close(), 0, "exit code of the first station")
            wait_for(lambda: not zksrv_processes(s), 15, "both data servers to end")
            check(not is_listening(port_a) and not is_listening(port_b), "no data server listens")
        finally:
            if relay_proc and relay_proc.poll() is None:
                relay_proc.kill()
                relay_proc.wait(10)
    equal(s.leftovers(), [], "processes left after the session")
    return s


def sharing_station(s, name, port, exit_code=None, standin=True):
    """A serial monitor that starts sharing on port at once. Its zksrv.exe is the stand-in
    (ending with exit_code, or never), or missing."""
    st = start_station(s, name, SERIAL_CFG)
    if standin:
        shutil.copy2(harness.windows_program("zksrv_standin.exe"), st.work / "zksrv.exe")
    if exit_code is not None:
        (st.work / "zksrv-exit.txt").write_text(str(exit_code))
    d = st.drive
    d.click(st.win, 5)
    dlg = d.wait_window(title="Параметры сервера")
    d.set_text(dlg, 300, str(port))
    d.click(dlg, 301)
    return st


def error_box(st, t0):
    """The monitor's one box, pressed, then its end with code 1: the box's text and how long
    after t0 it came."""
    box = st.drive.msgbox(title="Ошибка", timeout=30)
    took = time.monotonic() - t0
    equal((box["pid"], box["buttons"]), (st.win["pid"], [{"id": 1, "text": "OK"}]), "the monitor's box")
    st.drive.msgbox(title="Ошибка", press="ok")
    equal(st.prog.wait(20), 1, f"{st.name}: exit code after the box")
    return box["text"], took


def case_status():
    with Session("network-share-status") as s:
        text, _ = error_box(sharing_station(s, "fails", free_port(), 1), time.monotonic())
        equal(text, "Сервер данных завершился с кодом 1", "a server that ended with 1")
        # No zksrv.exe: the command processor's status for a program it cannot find.
        text, _ = error_box(sharing_station(s, "missing", free_port(), standin=False), time.monotonic())
        check(re.fullmatch(r"Сервер данных завершился с кодом [1-9]\d*", text), f"missing server: {text!r}")
        FIGURES["missing_server_status"] = text.rsplit(" ", 1)[1]
        st = sharing_station(s, "ends", free_port(), 0)
        equal(st.prog.wait(30), 0, "exit code after a server that ended with 0")
        check(not st.drive.windows(title="Ошибка"), "no box for a server that ended well")
    equal(s.leftovers(), [], "processes left after the session")
    return s


def case_stalled():
    stalled = []
    try:
        with Session("network-share-stalled") as s:
            com = s.add_serial("COM1")
            for name in ("quit", "push"):
                port = free_port()
                stalled.append(FullBacklog(port))
                st = sharing_station(s, name, port)
                wait_for(lambda: 400 in st.controls(), 30, "the label 'Сервер запущен!'")
                if name == "quit":  # the window closed while idle
                    t0 = time.monotonic()
                    st.drive.close_window(st.win)
                else:  # the serial reader's push of its first reading
                    st.drive.click(st.win, 7)
                    s.wait_port_open("COM1", timeout=30)
                    com.write_line(meter_line("00000000", [0.0] * 12))  # the reader drops its first line
                    time.sleep(0.5)
                    t0 = time.monotonic()
                    com.write_line(meter_line("00000001", [1.0] * 12))
                text, took = error_box(st, t0)
                equal(text, "Ошибка подключения к сокету", f"{name}: the failed connection's box")
                FIGURES[f"{name}_failure_s"] = f"{took:.1f}"
                check(4.0 <= took <= 12.0, f"{name}: gave up after {took:.1f} s")
        equal(s.leftovers(), [], "processes left after the session")
        return s
    finally:
        for b in stalled:
            b.close()


def main():
    cases = {"serial": (case_serial, 0), "chain": (case_chain, 1), "status": (case_status, 0),
             "stalled": (case_stalled, 0)}
    if len(sys.argv) < 2 or sys.argv[1] not in cases or len(sys.argv) != 2 + cases[sys.argv[1]][1]:
        print("usage: network_sharing.py serial|status|stalled | network_sharing.py chain ZKRELAY",
              file=sys.stderr)
        return 2
    t0 = time.monotonic()
    fn, _ = cases[sys.argv[1]]
    s = fn(*sys.argv[2:])
    print_summary(sys.argv[1], s, t0, FIGURES)
    return 0


if __name__ == "__main__":
    sys.exit(main())
