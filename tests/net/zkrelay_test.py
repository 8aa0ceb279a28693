"""The relay zkrelay end to end: its dialogue, its relaying and its failures, with a fake
remote data server, over TCP on 127.0.0.1."""
import socket
import sys
import time
import unittest
from pathlib import Path

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, str(Path(__file__).resolve().parent.parent))  # tests/, home of zk47test
from zk47test import sockets  # noqa: E402
from zk47test.sockets import FakeDataServer, connect, query_once, recv_all, send_and_close  # noqa: E402

DATA_LINE = (b"125 2024-05-17-09-41-07 00004521 23.45 23.51 N/SENS ERROR -1.50 101.20 22.00"
             b" N/SENS 19.75 20.10 20.05 20.00")
PROMPTS = "Proxy port?Remote port?Remote IP?"


def banner(proxy_port, address, remote_port):
    return ("ZK-47 proxy server v1.0 started on port %d for remote server @ %s:%d...\n"
            % (proxy_port, address, remote_port))


class RelayTest(unittest.TestCase):
    def start(self, answers):
        relay = sockets.ProgramUnderTest(stdin=answers.encode())
        self.addCleanup(relay.stop)
        relay.stdout.wait_for("...\n", sockets.START_TIME)
        return relay

    def start_serving(self, remote_port):
        """A relay on a free port for the remote server on `remote_port`, once it listens."""
        self.port = sockets.free_port()
        relay = self.start("%d\n%d\n127.0.0.1\n" % (self.port, remote_port))
        sockets.wait_until(lambda: sockets.is_listening(self.port) or not relay.running(),
                           sockets.START_TIME, "the relay to listen")
        self.assertTrue(relay.running(), relay.stderr.text())
        self.head = PROMPTS + banner(self.port, "127.0.0.1", remote_port)
        return relay

    def fake_server(self, reply):
        server = FakeDataServer(reply)
        self.addCleanup(server.close)
        return server


class Dialogue(RelayTest):
    def test_prompts_and_banner(self):
        relay = self.start("5123\n5124\n127.0.0.1\n")
        self.assertEqual(relay.stdout.text(), PROMPTS + banner(5123, "127.0.0.1", 5124))

    def test_empty_answers_give_port_5000(self):
        relay = self.start("\n\n127.0.0.1\n")
        self.assertEqual(relay.stdout.text(), PROMPTS + banner(5000, "127.0.0.1", 5000))

    def test_port_answers_read_as_leading_integers(self):
        port = sockets.free_port()
        relay = self.start("  %dabc\n6000abc\n127.0.0.1\n" % port)
        self.assertEqual(relay.stdout.text(), PROMPTS + banner(port, "127.0.0.1", 6000))
        sockets.wait_until(lambda: sockets.is_listening(port), sockets.STEP_TIME,
                           "the relay to listen on %d" % port)

    def test_unreadable_port_answer_gives_5000(self):
        relay = self.start("port\n-\n10.1.2.3\n")
        self.assertEqual(relay.stdout.text(), PROMPTS + banner(5000, "10.1.2.3", 5000))

    def test_port_above_65535_used_modulo_65536(self):
        port = sockets.free_port()
        relay = self.start("%d\n70000\n127.0.0.1\n" % (port + 65536))
        self.assertEqual(relay.stdout.text(), PROMPTS + banner(port + 65536, "127.0.0.1", 70000))
        sockets.wait_until(lambda: sockets.is_listening(port), sockets.STEP_TIME,
                           "the relay to listen on %d" % port)

    def test_address_cut_to_31_characters(self):
        relay = self.start("5123\n5124\n127.0.0.1%s\n" % ("x" * 40))
        self.assertEqual(relay.stdout.text(),
                         PROMPTS + banner(5123, "127.0.0.1" + "x" * 22, 5124))

    def test_port_in_use_reported_with_exit_1(self):
        with socket.socket() as holder:
            holder.bind((sockets.HOST, 0))
            holder.listen(1)
            relay = sockets.ProgramUnderTest(stdin=b"%d\n5000\n127.0.0.1\n" % holder.getsockname()[1])
            self.addCleanup(relay.stop)
            self.assertEqual(relay.wait_exit(sockets.START_TIME), 1)
        self.assertTrue(relay.stderr.text().startswith("bind() call error: "), relay.stderr.text())


class Relaying(RelayTest):
    def test_query_relayed_with_trace(self):
        remote = self.fake_server(DATA_LINE)
        relay = self.start_serving(remote.port)
        self.assertEqual(query_once(self.port), DATA_LINE)
        trace = "connection accepted\n?\n-->%d,%s\n" % (len(DATA_LINE), DATA_LINE.decode())
        relay.stdout.wait_for(trace)
        self.assertEqual(relay.stdout.text(), self.head + trace)
        self.assertEqual(remote.requests, [b"?\0"])
        self.assertEqual(relay.stderr.text(), "")

    def test_only_bare_query_passed_on(self):
        remote = self.fake_server(b"130 x")
        self.start_serving(remote.port)
        self.assertEqual(query_once(self.port, b"?and more\0+    1 x"), b"130 x")
        self.assertEqual(remote.requests, [b"?\0"])

    def test_callers_served_in_turn(self):
        remote = self.fake_server(DATA_LINE)
        relay = self.start_serving(remote.port)
        for _ in range(3):
            self.assertEqual(query_once(self.port), DATA_LINE)
        sockets.wait_until(lambda: relay.stdout.text().count("?\n-->") == 3, sockets.STEP_TIME,
                           "three traces")
        self.assertEqual(len(remote.requests), 3)

    def test_reply_with_line_end_ends_trace_with_empty_line(self):
        remote = self.fake_server(b"131 a\n")
        relay = self.start_serving(remote.port)
        self.assertEqual(query_once(self.port), b"131 a\n")
        relay.stdout.wait_for("?\n-->6,131 a\n\n")

    def test_reply_passed_on_whole_while_trace_stops_at_nul(self):
        remote = self.fake_server(b"12\0xyz")
        relay = self.start_serving(remote.port)
        with connect(self.port) as s:
            s.sendall(b"?\0")
            self.assertEqual(recv_all(s), b"12\0xyz")
        relay.stdout.wait_for("?\n-->2,12\n")

    def test_reply_filling_the_buffer_traced_to_its_end(self):
        reply = b"7" * 1024
        remote = self.fake_server(reply)
        relay = self.start_serving(remote.port)
        with connect(self.port) as s:
            s.sendall(b"?\0")
            got = recv_all(s)
        relay.stdout.wait_for("-->")
        relay.stdout.wait_for("\n", 1)
        # One receive from the server: all of it or the part that had arrived.
        self.assertGreater(len(got), 0)
        self.assertEqual(got, reply[:len(got)])
        sockets.wait_until(lambda: relay.stdout.text().endswith(
            "?\n-->%d,%s\n" % (len(got), got.decode())), sockets.STEP_TIME, "the trace")

    def test_longer_reply_cut_to_one_receive(self):
        remote = self.fake_server(b"8" * 5000)
        self.start_serving(remote.port)
        with connect(self.port) as s:
            s.sendall(b"?\0")
            got = recv_all(s)
        self.assertGreater(len(got), 0)
        self.assertLessEqual(len(got), 1024)


class Refusals(RelayTest):
    def test_push_and_quit_closed_unanswered(self):
        remote = self.fake_server(DATA_LINE)
        relay = self.start_serving(remote.port)
        for message in (b"+ 4242 " + DATA_LINE, b"q 4242"):
            with self.subTest(message=message), connect(self.port) as s:
                s.sendall(message)
                self.assertEqual(recv_all(s), b"")
        sockets.wait_until(lambda: relay.stdout.text().count("connection accepted\n") == 2,
                           sockets.STEP_TIME, "two accepted connections")
        time.sleep(0.2)
        self.assertEqual(relay.stdout.text(), self.head + "connection accepted\n" * 2)
        self.assertEqual(remote.requests, [])
        self.assertEqual(relay.stderr.text(), "")

    def test_silent_caller_reported_and_next_caller_served(self):
        remote = self.fake_server(DATA_LINE)
        relay = self.start_serving(remote.port)
        connect(self.port).close()
        relay.stderr.wait_for("recv() call error")
        self.assertTrue(relay.stderr.text().startswith("recv() call error: "), relay.stderr.text())
        self.assertEqual(query_once(self.port), DATA_LINE)
        relay.stdout.wait_for("?\n-->%d," % len(DATA_LINE))
        self.assertTrue(relay.running())

    def test_caller_silent_for_5_s_is_closed_and_next_caller_served(self):
        remote = self.fake_server(DATA_LINE)
        relay = self.start_serving(remote.port)
        with connect(self.port) as silent:
            relay.stdout.wait_for("connection accepted\n")
            t0 = time.monotonic()
            # The next caller waits in the listen queue meanwhile.
            with connect(self.port) as waiting:
                self.assertEqual(recv_all(silent, 15), b"")
                took = time.monotonic() - t0
                waiting.sendall(b"?\0")
                self.assertEqual(recv_all(waiting), DATA_LINE)
        self.assertTrue(4.0 <= took <= 9.0, "closed after %.1f s" % took)
        self.assertTrue(relay.stderr.text().startswith("recv() call error: "), relay.stderr.text())
        self.assertEqual(remote.requests, [b"?\0"])
        self.assertTrue(relay.running())


class RemoteFailures(RelayTest):
    def test_remote_not_listening_ends_with_1(self):
        relay = self.start_serving(sockets.free_port())
        with connect(self.port) as s:
            s.sendall(b"?\0")
            self.assertEqual(recv_all(s), b"")
        self.assertEqual(relay.wait_exit(), 1)
        self.assertTrue(relay.stderr.text().startswith("remote connect() call error: "),
                        relay.stderr.text())
        self.assertEqual(relay.stdout.text(), self.head + "connection accepted\n")

    def test_remote_closing_without_reply_ends_with_1(self):
        remote = self.fake_server(None)
        relay = self.start_serving(remote.port)
        with connect(self.port) as s:
            s.sendall(b"?\0")
            self.assertEqual(recv_all(s), b"")
        self.assertEqual(relay.wait_exit(), 1)
        self.assertTrue(relay.stderr.text().startswith("remote recv() call error: "),
                        relay.stderr.text())
        self.assertEqual(remote.requests, [b"?\0"])

    def ends_with_1_after_5_s(self, relay, report):
        with connect(self.port) as s:
            t0 = time.monotonic()
            s.sendall(b"?\0")
            self.assertEqual(recv_all(s, 15), b"")
            self.assertEqual(relay.wait_exit(), 1)
            took = time.monotonic() - t0
        self.assertTrue(4.0 <= took <= 9.0, "ended after %.1f s" % took)
        self.assertTrue(relay.stderr.text().startswith(report + ": "), relay.stderr.text())
        self.assertEqual(relay.stdout.text(), self.head + "connection accepted\n")

    def test_remote_silent_for_5_s_ends_with_1(self):
        remote = FakeDataServer(DATA_LINE, silent=True)
        self.addCleanup(remote.close)
        relay = self.start_serving(remote.port)
        self.ends_with_1_after_5_s(relay, "remote recv() call error")
        self.assertEqual(remote.requests, [b"?\0"])

    def test_remote_not_accepting_within_5_s_ends_with_1(self):
        port = sockets.free_port()
        blocked = sockets.FullBacklog(port)
        self.addCleanup(blocked.close)
        relay = self.start_serving(port)
        self.ends_with_1_after_5_s(relay, "remote connect() call error")


if __name__ == "__main__":
    sockets.main()
