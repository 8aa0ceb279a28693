"""The monitor's network poller against a scripted stand-in data server on 127.0.0.1:
python3 network_poller.py CASE.

Cases:
  replies   which replies become readings (repeats, seconds going backwards, a reply split in
            two, the server's "NO DATA"), the exact log rows of a polled reading, and the
            sensor alert in the network path.
  failures  a refused connection, a close without a reply, a server that never answers and one
            that never takes the connection; each pauses first, then says why; Continue polls
            again at the next tick.
Each case is one Wine session; its monitors poll every second (one asks for 0 s).
"""

import sys
import time
from pathlib import Path

sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parent.parent))  # tests/, home of zk47test
from zk47test.harness import Session, wait_for  # noqa: E402
from zk47test.monitor import ERROR as ER  # noqa: E402
from zk47test.monitor import NSENS as NS  # noqa: E402
from zk47test.monitor import channel_text, check, csv_row, equal, text_row  # noqa: E402
from zk47test.network import QUERY, StandIn, print_summary, start_station  # noqa: E402
from zk47test.sockets import FullBacklog, free_port  # noqa: E402

FIGURES = {}


def cfg(port):
    return f"16 127.0.0.1 {port} 1 5"


def data_line(sec, stamp, device_time, values):
    return (f"{sec} {stamp} {device_time}" + "".join(channel_text(v) for v in values)).encode()


def grid_texts(stamp, device_time, values):
    return [stamp[-8:], device_time] + [channel_text(v) for v in values]


def no_box(d, title):
    return not d.windows(title=title)


def wait_queries_during(srv, seconds):
    """How many queries the stand-in got during the next `seconds` s."""
    n = srv.count()
    time.sleep(seconds)
    return srv.count() - n


# ------------------------------------------------------------------------------------------------


VALUES_A = [23.45, 23.51, NS, ER, -1.5, 101.2, 22.0, NS, 19.75, 20.1, 20.05, 20.0]
REPLY_A = (b"100 2024-05-17-09-41-07 00004521 23.45 23.51 N/SENS ERROR -1.50 101.20 22.00 N/SENS"
           b" 19.75 20.10 20.05 20.00")
# The rows of REPLY_A as the logs must hold them, byte for byte.
TEXT_ROW_A = (b"     100 2024-05-17-09-41-07 00004521    23.45    23.51  -999.00  -888.00    -1.50"
              b"   101.20    22.00  -999.00    19.75    20.10    20.05    20.00\r\n")
CSV_ROW_A = (b"100;2024-05-17-09-41-07;00004521;23.45;23.51;N/SENS;ERROR;-1.50;101.20;22.00;N/SENS;"
             b"19.75;20.10;20.05;20.00\r\n")


def case_replies():
    port, port0 = free_port(), free_port()
    srv = StandIn(port, ("reply", b"NO DATA"))
    # A second station asks for a period of 0 s; it runs beside the first one's checks.
    srv0 = StandIn(port0, ("reply", b"NO DATA"))
    try:
        with Session("network-poll-replies") as s:
            d = s.drive
            fast = start_station(s, "period0", f"16 127.0.0.1 {port0} 0 5", autostart=True)
            srv0.wait_count(1, timeout=30)
            fast_from = (srv0.count(), time.monotonic())
            mon = start_station(s, "poller", cfg(port), autostart=True)

            # The server's answer before its first push is no reading, and no failure either.
            srv.wait_count(3, timeout=30)
            ctl = mon.controls()
            equal(mon.first_button(ctl), (8, "Пауза"), "still running after NO DATA")
            equal(mon.grid_row(controls=ctl), [""] * 14, "no row from NO DATA")
            equal(mon.rows(), ([], []), "nothing logged from NO DATA")
            check(no_box(d, "Ошибка"), "no message for NO DATA")
            header = mon.log_paths()[0].read_bytes().splitlines()
            equal(len(header), 3, "the text log holds its header alone")

            # A reading with a channel in ERROR: logged once, alert once, while the same reply
            # keeps coming (the modal alert goes on dispatching the poll timer).
            srv.set("reply", REPLY_A)
            alert = d.msgbox(title="Внимание!", timeout=15)
            equal(alert["pid"], mon.win["pid"], "the alert is the poller's")
            equal(d.text(alert["hwnd"], 700), "T4 ", "faulty channels listed")
            n = srv.count()
            srv.wait_count(n + 3)
            equal(len(d.windows(title="Внимание!")), 1, "a repeated reply opens no further alert")
            t, c = mon.rows()
            equal(t, [TEXT_ROW_A], "text log row of a polled reading")
            equal(c, [CSV_ROW_A], "CSV log row of a polled reading")
            d.msgbox(title="Внимание!", press=701)
            # The grid is written into the window once the alert is closed.
            wait_for(lambda: mon.grid_row() == grid_texts("2024-05-17-09-41-07", "00004521", VALUES_A), 10,
                     "the reading in the grid's newest row")
            equal(mon.grid_row(6), [""] * 14, "one row for the repeated reply")
            # After OK the latches are clear, and the same reply again is still no new reading.
            n = srv.count()
            srv.wait_count(n + 3)
            check(no_box(d, "Внимание!"), "no alert from the repeated reply after OK")
            equal(mon.rows(), ([TEXT_ROW_A], [CSV_ROW_A]), "the repeated reply is not logged")

            # Seconds going backwards, then equal to the last accepted: ignored; then past it.
            back = [21.0] * 12
            srv.set("reply", data_line(90, "2024-05-17-09-40-57", "00004511", back))
            srv.wait_count(srv.count() + 2)
            srv.set("reply", data_line(100, "2024-05-17-09-41-17", "00004531", back))
            srv.wait_count(srv.count() + 2)
            equal(mon.rows(), ([TEXT_ROW_A], [CSV_ROW_A]), "older and equal seconds not logged")
            equal(mon.grid_row(6), [""] * 14, "older and equal seconds not shown")
            values_d = [-0.5, 0.0, 1.25, 2.5, 3.75, 5.0, 6.25, 7.5, 8.75, 10.0, 11.25, 12.5]
            srv.set("reply", data_line(101, "2024-05-17-09-41-18", "00004532", values_d))
            t, c = mon.wait_rows(2)
            equal(t[1], text_row(101, "2024-05-17-09-41-18", "00004532", values_d, encoded=True),
                  "row past the last seconds")
            equal(c[1], csv_row(101, "2024-05-17-09-41-18", "00004532", values_d, encoded=True),
                  "CSV row past the last seconds")
            wait_for(lambda: mon.grid_row() == grid_texts("2024-05-17-09-41-18", "00004532", values_d), 10,
                     "the newer reading in the grid")
            equal(mon.grid_row(6), grid_texts("2024-05-17-09-41-07", "00004521", VALUES_A), "the grid scrolled")

            # A reply in two parts: the reading is made of the first part; the channels missing
            # there are no sensor. The rest comes only after the poller has closed.
            whole = data_line(102, "2024-05-17-09-41-19", "00004533", [30.5] * 12)
            first = whole[:whole.index(b" 30.50 30.50 ") + len(b" 30.50 30.50")]
            equal(first, b"102 2024-05-17-09-41-19 00004533 30.50 30.50", "first part")
            n = srv.count()
            srv.set("split", first, whole[len(first):])
            t, c = mon.wait_rows(3)
            split_values = [30.5, 30.5] + [NS] * 10
            equal(t[2], text_row(102, "2024-05-17-09-41-19", "00004533", split_values, encoded=True),
                  "row of a split reply")
            equal(c[2], csv_row(102, "2024-05-17-09-41-19", "00004533", split_values, encoded=True),
                  "CSV row of a split reply")
            ex = next(e for e in srv.since(n) if e.behaviour[0] == "split")
            equal(ex.rest_sent_after_close, True, "the poller closed after its first receive")
            wait_for(lambda: mon.grid_row() == grid_texts("2024-05-17-09-41-19", "00004533", split_values), 10,
                     "the split reading in the grid")

            # A new reading with T5 newly in ERROR: the alert lists every channel in ERROR.
            values_f = [22.0, 22.0, 22.0, ER, ER] + [22.0] * 7
            srv.set("reply", data_line(103, "2024-05-17-09-41-20", "00004534", values_f))
            alert = d.msgbox(title="Внимание!", timeout=15)
            equal(d.text(alert["hwnd"], 700), "T4 T5 ", "the alert lists T4 and T5")
            d.msgbox(title="Внимание!", press=701)
            t, c = mon.wait_rows(4)
            equal(t[3], text_row(103, "2024-05-17-09-41-20", "00004534", values_f, encoded=True),
                  "row of the second alert")

            # Tokens that would break the CSV or run in a spreadsheet: replaced there alone.
            srv.set("reply", b'104 2024-05-17-09-41-21;"x @SUM(1) 22.00' + b" 22.00" * 11)
            t, c = mon.wait_rows(5)
            equal(t[4], b'     104 2024-05-17-09-41-21;"x @SUM(1)' + b"    22.00" * 12 + b"\r\n",
                  "the text log keeps the tokens")
            equal(c[4], b"104;2024-05-17-09-41-21__x;_SUM(1)" + b";22.00" * 12 + b"\r\n",
                  "the CSV log's cells cannot break or run")

            # Every exchange was the bare query.
            equal({e.request for e in srv.since(0)}, {QUERY}, "queries sent")
            check(no_box(d, "Ошибка"), "no failure in the whole case")
            equal(mon.close(), 0, "exit code")

            # A period below a second polls once a second (a 0 ms timer would poll at once,
            # again and again).
            n0, t0 = fast_from
            rate = (srv0.count() - n0) / (time.monotonic() - t0)
            FIGURES["period0_polls_per_s"] = f"{rate:.2f}"
            check(0.3 <= rate <= 2.0, f"period 0 polls {rate:.2f} times a second, once expected")
            equal(fast.rows(), ([], []), "nothing logged from NO DATA")
            equal(fast.close(), 0, "exit code of the period-0 station")
        equal(s.leftovers(), [], "processes left after the session")
        return s
    finally:
        srv.close()
        srv0.close()


# ------------------------------------------------------------------------------------------------


def expect_failure(st, text, timeout=30):
    """The failure's box: when it is there, acquisition is already paused. Returns the box."""
    d = st.drive
    box = d.msgbox(title="Ошибка", timeout=timeout)
    equal(box["text"], text, "failure message")
    equal([b["id"] for b in box["buttons"]], [1], "the box has one OK button")
    equal(st.first_button(), (9, "Продолжить"), f"paused before '{text}' is shown")
    return box


def case_failures():
    port = free_port()
    srv = None
    blocked = None
    try:
        with Session("network-poll-failures") as s:
            d = s.drive
            # Nobody listens yet: the first tick cannot connect.
            mon = start_station(s, "poller", cfg(port), autostart=True)
            expect_failure(mon, "Невозможно открыть сокет")
            d.msgbox(title="Ошибка", press="ok")

            # Paused: the ticks do nothing, until Continue.
            srv = StandIn(port, ("reply", b"50 2024-05-17-10-00-00 00005000" + b" 10.00" * 12))
            equal(wait_queries_during(srv, 2.5), 0, "no query while paused")
            d.click(mon.win, 9)
            mon.wait_first_button(8)
            srv.wait_count(1, timeout=15)
            t, _ = mon.wait_rows(1)
            equal(t[0], text_row(50, "2024-05-17-10-00-00", "00005000", [10.0] * 12, encoded=True),
                  "row after Continue")

            # The server closes without a reply: paused, then the message; the ticks under the
            # box do nothing.
            srv.set("close")
            box = expect_failure(mon, "Ошибка приёма из сокета")
            n = srv.count()
            time.sleep(2.5)
            equal(srv.count(), n, "no query while the box is open")
            check(d.windows(hwnd=box["hwnd"]), "the box stays until OK")
            d.msgbox(title="Ошибка", press="ok")
            equal(wait_queries_during(srv, 2.0), 0, "no query after OK while paused")

            # A server that takes the query and never answers: the poller gives up after about
            # 5 s and says it received nothing.
            srv.set("hang")
            n = srv.count()
            d.click(mon.win, 9)
            ex = srv.wait_count(n + 1)
            expect_failure(mon, "Ошибка приёма из сокета", timeout=40)
            wait_for(lambda: ex.client_closed, 10, "the poller to close the silent connection")
            waited = ex.client_closed - ex.accepted
            FIGURES["reply_wait_s"] = f"{waited:.2f}"
            check(4.0 <= waited <= 15.0, f"the poller waited {waited:.2f} s for the reply, about 5 s expected")
            d.msgbox(title="Ошибка", press="ok")
            equal(srv.count(), n + 1, "one exchange for the silent server")

            # A server that never takes the connection: the poller gives up after about 5 s.
            srv.close()
            blocked = FullBacklog(port)
            clicked = time.monotonic()
            d.click(mon.win, 9)
            expect_failure(mon, "Невозможно открыть сокет", timeout=40)
            waited = time.monotonic() - clicked
            FIGURES["connect_wait_s"] = f"{waited:.2f}"
            # The tick comes up to a period after the click, then 5 s of waiting.
            check(4.0 <= waited <= 20.0, f"the box came {waited:.2f} s after Continue, about 5 to 6 s expected")
            d.msgbox(title="Ошибка", press="ok")
            blocked.close()
            blocked = None

            # Served again: Continue, the next reading, and nothing lost from before.
            srv = StandIn(port, ("reply", b"51 2024-05-17-10-00-01 00005001" + b" 11.00" * 12))
            d.click(mon.win, 9)
            t, _ = mon.wait_rows(2)
            equal(t[1], text_row(51, "2024-05-17-10-00-01", "00005001", [11.0] * 12, encoded=True),
                  "row after the failures")
            equal(mon.first_button(), (8, "Пауза"), "running again")
            equal({e.request for e in srv.since(0)}, {QUERY}, "queries sent")
            equal(mon.close(), 0, "exit code")
        equal(s.leftovers(), [], "processes left after the session")
        return s
    finally:
        if srv:
            srv.close()
        if blocked:
            blocked.close()


CASES = {"replies": case_replies, "failures": case_failures}


def main():
    if len(sys.argv) != 2 or sys.argv[1] not in CASES:
        print(f"usage: network_poller.py {{{'|'.join(CASES)}}}", file=sys.stderr)
        return 2
    t0 = time.monotonic()
    s = CASES[sys.argv[1]]()
    print_summary(sys.argv[1], s, t0, FIGURES)
    return 0


if __name__ == "__main__":
    sys.exit(main())
