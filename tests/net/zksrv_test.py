"""The data server zksrv end to end, over TCP on 127.0.0.1."""
import os
import resource
import socket
import statistics
import sys
import time
import unittest
from pathlib import Path

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, str(Path(__file__).resolve().parent.parent))  # tests/, home of zk47test
from zk47test import sockets  # noqa: E402
from zk47test.sockets import connect, query_once, recv_all, send_and_close  # noqa: E402

CODE = 4242
DATA_LINE = (b"125 2024-05-17-09-41-07 00004521 23.45 23.51 N/SENS ERROR -1.50 101.20 22.00"
             b" N/SENS 19.75 20.10 20.05 20.00")


def push(code, line):
    return b"+" + b"%5d" % code + b" " + line


def quit_message(code):
    return b"q" + b"%5d" % code


class ServerTest(unittest.TestCase):
    """Starts zksrv with CODE on a free port for each test; the test ends it."""

    code = CODE

    def setUp(self):
        self.port = sockets.free_port()
        self.server = self.start(self.code, self.port)

    def start(self, code, port_arg, tcp_port=None):
        server = sockets.ProgramUnderTest([code, port_arg])
        self.addCleanup(server.stop)
        server.stdout.wait_for("serving on port %d" % (tcp_port or int(port_arg)),
                               sockets.START_TIME)
        return server

    def push(self, line, code=None):
        send_and_close(self.port, push(self.code if code is None else code, line))

    def query(self):
        return query_once(self.port)

    def assert_latest(self, line):
        # A push is taken when the server sees the pusher's end of sending; ask until it shows.
        deadline = time.monotonic() + sockets.STEP_TIME
        reply = self.query()
        while reply != line and time.monotonic() < deadline:
            time.sleep(0.05)
            reply = self.query()
        self.assertEqual(reply, line)

    def assert_still(self, line):
        time.sleep(0.3)
        self.assertEqual(self.query(), line)
        self.assertTrue(self.server.running())


class Answers(ServerTest):
    def test_no_data_before_first_push(self):
        self.assertEqual(self.query(), b"NO DATA")

    def test_reply_then_close(self):
        with connect(self.port) as s:
            s.sendall(b"?\0")
            self.assertEqual(recv_all(s), b"NO DATA")

    def test_push_then_query_returns_line_byte_for_byte(self):
        self.push(DATA_LINE)
        self.assert_latest(DATA_LINE)
        self.assertEqual(self.query(), DATA_LINE)  # and again: queries leave it in place

    def test_each_push_replaces_the_line(self):
        self.push(DATA_LINE)
        self.assert_latest(DATA_LINE)
        newer = DATA_LINE.replace(b"125 ", b"126 ", 1)
        self.push(newer)
        self.assert_latest(newer)

    def test_line_bytes_kept_as_pushed(self):
        # Trailing line end, Windows-1251 letters, tabs and a NUL: a polling monitor passes on
        # whatever it received.
        odd = b"130 \xcf\xf0\xe8\xe2\xe5\xf2\t x\0y \r\n"
        self.push(odd)
        self.assert_latest(odd)

    def test_longest_line_of_1023_bytes_answered_in_one_receive(self):
        longest = (DATA_LINE + b" " * 1023)[:1023]
        self.push(longest)
        self.assert_latest(longest)

    def test_line_over_1023_bytes_refused(self):
        self.push(DATA_LINE)
        self.assert_latest(DATA_LINE)
        self.push(b"9" * 1024)
        self.assert_still(DATA_LINE)

    def test_empty_push_keeps_previous_line(self):
        self.push(DATA_LINE)
        self.assert_latest(DATA_LINE)
        self.push(b"")
        self.assert_still(DATA_LINE)

    def test_query_with_more_bytes_before_its_nul(self):
        self.assertEqual(query_once(self.port, b"?what\0more"), b"NO DATA")

    def test_query_ended_by_shutdown_without_nul(self):
        with connect(self.port) as s:
            s.sendall(b"?")
            s.shutdown(socket.SHUT_WR)
            self.assertEqual(recv_all(s), b"NO DATA")

    def test_query_split_over_two_sends(self):
        with connect(self.port) as s:
            s.sendall(b"?")
            time.sleep(0.2)
            s.sendall(b"\0")
            self.assertEqual(recv_all(s), b"NO DATA")


class Codes(ServerTest):
    code = 7  # a one-digit code: the messages carry it as four blanks and the digit

    def test_push_with_wrong_code_ignored(self):
        self.push(b"1 wrong", code=8)
        self.assert_still(b"NO DATA")
        self.push(DATA_LINE)
        self.assert_latest(DATA_LINE)
        self.push(b"2 wrong", code=70007)
        self.assert_still(DATA_LINE)

    def test_push_with_code_not_as_5d_ignored(self):
        for message in (b"+00007 1 zero-padded", b"+7 1 unpadded", b"+    71 no blank",
                        b"+    7", b"+   "):
            with self.subTest(message=message):
                send_and_close(self.port, message)
                self.assert_still(b"NO DATA")

    def test_push_answered_with_nothing(self):
        with connect(self.port) as s:
            s.sendall(push(self.code, DATA_LINE))
            s.shutdown(socket.SHUT_WR)
            self.assertEqual(recv_all(s), b"")

    def test_quit_with_wrong_code_ignored(self):
        for message in (quit_message(8), quit_message(70007), b"q00007", b"q    7 ", b"q    "):
            with self.subTest(message=message):
                send_and_close(self.port, message)
                self.assert_still(b"NO DATA")

    def test_quit_with_right_code_ends_with_0(self):
        send_and_close(self.port, quit_message(self.code))
        self.assertEqual(self.server.wait_exit(), 0)

    def test_quit_after_pushes_and_queries(self):
        self.push(DATA_LINE)
        self.assert_latest(DATA_LINE)
        send_and_close(self.port, quit_message(self.code))
        self.assertEqual(self.server.wait_exit(), 0)


class Arguments(unittest.TestCase):
    def run_server(self, *args):
        server = sockets.ProgramUnderTest(args)
        self.addCleanup(server.stop)
        return server

    def test_code_and_port_read_as_leading_integers(self):
        port = sockets.free_port()
        server = self.run_server(" +31abc", "%dxyz" % port)
        server.stdout.wait_for("serving on port %d" % port, sockets.START_TIME)
        send_and_close(port, push(31, DATA_LINE))
        deadline = time.monotonic() + sockets.STEP_TIME
        while query_once(port) != DATA_LINE and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(query_once(port), DATA_LINE)
        send_and_close(port, quit_message(31))
        self.assertEqual(server.wait_exit(), 0)

    def test_port_above_65535_listens_on_its_low_16_bits(self):
        port = sockets.free_port()
        server = self.run_server(CODE, port + 65536)
        server.stdout.wait_for("serving on port %d" % port, sockets.START_TIME)
        self.assertEqual(query_once(port), b"NO DATA")

    def test_port_70000_listens_on_4464(self):
        if sockets.is_listening(4464):
            self.skipTest("port 4464 is taken on this machine")
        server = self.run_server(CODE, 70000)
        server.stdout.wait_for("serving on port 4464", sockets.START_TIME)
        self.assertEqual(query_once(4464), b"NO DATA")

    def test_missing_or_unreadable_arguments_refused(self):
        for args in ((), (CODE,), ("abc", 5000), (CODE, "port")):
            with self.subTest(args=args):
                self.assertEqual(self.run_server(*args).wait_exit(sockets.START_TIME), 2)

    def test_port_in_use_ends_with_1(self):
        with socket.socket() as holder:
            holder.bind((sockets.HOST, 0))  # taken on loopback, so not free on all addresses
            holder.listen(1)
            server = self.run_server(CODE, holder.getsockname()[1])
            self.assertEqual(server.wait_exit(sockets.START_TIME), 1)
        self.assertIn("bind", server.stderr.text())


class Limits(ServerTest):
    def test_silent_client_closed_after_5_s_while_others_served(self):
        silent = connect(self.port)
        self.addCleanup(silent.close)
        half = connect(self.port)  # a query begun but never completed
        self.addCleanup(half.close)
        half.sendall(b"?")
        started = time.monotonic()
        self.push(DATA_LINE)
        self.assert_latest(DATA_LINE)
        for _ in range(10):
            asked = time.monotonic()
            self.assertEqual(self.query(), DATA_LINE)
            self.assertLess(time.monotonic() - asked, 1.0)
            time.sleep(0.1)
        self.assertEqual(recv_all(silent, 15), b"")
        self.assertEqual(recv_all(half, 15), b"")
        waited = time.monotonic() - started
        self.assertGreater(waited, 4.0)
        self.assertLess(waited, 9.0)

    def test_garbage_closed_unanswered(self):
        for message in (b"\0", b"hello", b"\xff" * 100, b"Q    1", b"!", b"GET / HTTP/1.0\r\n\r\n"):
            with self.subTest(message=message), connect(self.port) as s:
                s.sendall(message)
                self.assertEqual(recv_all(s), b"")
        self.assert_still(b"NO DATA")

    def send_flood(self, first_byte, size):
        with connect(self.port) as s:
            try:
                s.sendall(first_byte + b"x" * size)
                s.shutdown(socket.SHUT_WR)
                return recv_all(s)
            except OSError:  # the server reset the connection while the flood went on
                return b""

    def test_oversize_input_closed_unanswered(self):
        for first_byte in (b"?", b"+", b"q", b"z"):
            with self.subTest(first_byte=first_byte):
                self.assertEqual(self.send_flood(first_byte, 1 << 20), b"")
        self.assert_still(b"NO DATA")

    def test_more_clients_than_it_keeps_open(self):
        # 300 silent clients at once, from the monitor's own address: the server keeps a
        # bounded number open, giving up the quietest for each newcomer, so a query asked
        # meanwhile is answered at once.
        silent = []
        self.addCleanup(lambda: [s.close() for s in silent])
        for _ in range(300):
            silent.append(connect(self.port))
        asked = time.monotonic()
        with connect(self.port) as s:
            s.sendall(b"?\0")
            self.assertEqual(recv_all(s), b"NO DATA")
        self.assertLess(time.monotonic() - asked, 1.0)
        self.assertEqual(sum(recv_all(s, 0.5) == b"" for s in silent[:200]), 200)  # given up
        self.assertTrue(self.server.running())


class Crowds(ServerTest):
    """Remote hosts that hold connections open, idle or dripping a byte a second and coming
    back whenever they are closed, keep neither a remote poller nor the monitor waiting.
    ZK_CROWD=IDLE,DRIPPING sets the crowd's size (under Wine the default is smaller)."""

    POLLER = "127.0.0.10"  # a remote poller: not the monitor's address, not the crowd's
    # Fewer than fill the server's table at their limit of connections each.
    FEW_HOSTS = ["127.0.0.%d" % i for i in range(2, 8)]

    def setUp(self):
        idle, dripping = os.environ.get(
            "ZK_CROWD", "200,50" if sockets.under_wine() else "1000,100").split(",")
        self.idle, self.dripping = int(idle), int(dripping)
        # Before the server starts, which inherits the limit.
        sockets.raise_file_limit(self.idle + self.dripping + 200)
        super().setUp()

    def many_hosts(self):
        # One address each, in 127.0.1.0 and above: more hosts than the server keeps connections.
        return ["127.0.%d.%d" % (1 + i // 250, 1 + i % 250)
                for i in range(self.idle + self.dripping)]

    def gather(self, addresses):
        crowd = sockets.Crowd(self.port, addresses, self.idle, self.dripping)
        self.addCleanup(crowd.close)
        sockets.wait_until(lambda: crowd.connects >= self.idle + self.dripping,
                           sockets.STEP_TIME, "the crowd to connect")
        time.sleep(1.5)  # the first ones given up come back
        return crowd

    def assert_served_among(self, crowd, rounds=24):
        """Each round pushes a new line from 127.0.0.1 and queries it from POLLER: the very next
        query gives it, and both take well under a second (a few ms are usual)."""
        pushes, queries = [], []
        for n in range(rounds):
            line = DATA_LINE.replace(b"125 ", b"%d " % (200 + n), 1)
            started = time.monotonic()
            self.push(line)
            pushed = time.monotonic()
            reply = query_once(self.port, source=self.POLLER)
            queries.append(time.monotonic() - pushed)
            pushes.append(pushed - started)
            self.assertEqual(reply, line, "round %d" % n)
            time.sleep(0.3)  # the rounds span more than the server's 5 s limit per message
        sys.stderr.write("\n%s: %d idle, %d dripping; %d connects, %d closed by the server; "
                         "query ms: median %.1f, max %.1f; push ms: median %.1f, max %.1f\n"
                         % (self._testMethodName, self.idle, self.dripping, crowd.connects,
                            crowd.closed_by_server,
                            1000 * statistics.median(queries), 1000 * max(queries),
                            1000 * statistics.median(pushes), 1000 * max(pushes)))
        self.assertLess(max(queries), 1.0)
        self.assertLess(max(pushes), 1.0)
        self.assertTrue(self.server.running())

    def test_few_hosts_with_many_connections_each(self):
        self.assert_served_among(self.gather(self.FEW_HOSTS))

    def test_more_hosts_than_the_server_keeps_connections(self):
        self.assert_served_among(self.gather(self.many_hosts()))

    def test_descriptors_running_out_before_the_table_is_full(self):
        if sockets.under_wine():
            self.skipTest("a descriptor limit of the Unix process")
        # The server cannot take a caller without a descriptor: it gives up a remote
        # connection for it.
        pid = self.server.process.pid
        _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.prlimit(pid, resource.RLIMIT_NOFILE, (40, hard))
        crowd = self.gather(self.many_hosts())
        self.assertGreater(len(os.listdir("/proc/%d/fd" % pid)), 36)  # it works at its limit
        self.assert_served_among(crowd, rounds=12)

    def test_quit_taken_among_them(self):
        self.gather(self.many_hosts())
        asked = time.monotonic()
        send_and_close(self.port, quit_message(self.code))
        self.assertEqual(self.server.wait_exit(), 0)
        self.assertLess(time.monotonic() - asked, 1.0)


if __name__ == "__main__":
    sockets.main()
