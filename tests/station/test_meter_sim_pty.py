"""The meter simulator through a real socat pty pair, as the monitor's port would see it."""

import json
import os
import signal
import subprocess
import sys
import tempfile
import termios
import time
import unittest

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))  # tests/
from zk47test import station as stationlib  # noqa: E402

sim = stationlib.load_sim()


class ThroughPty(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.pair = stationlib.PtyPair(self.tmp.name)
        self.addCleanup(self.pair.close)
        self.reader = stationlib.Reader(self.pair.read_fd)
        self.addCleanup(self.reader.finish)
        self.procs = []
        self.addCleanup(self.stop_all)

    def stop_all(self):
        for p in self.procs:
            stationlib.stop_process(p)

    def start_sim(self, *args):
        p = subprocess.Popen([stationlib.SIM, self.pair.device, *args],
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE)
        self.procs.append(p)
        return p

    def finish_sim(self, p, timeout=60):
        _, err = p.communicate(timeout=timeout)
        return p.returncode, err

    def received_lines(self):
        self.assertTrue(self.reader.quiet_for(0.3, 20), "the line never went quiet")
        lines, rest = stationlib.split_lines(self.reader.snapshot())
        self.assertEqual(rest, b"", "a line was cut short")
        return lines

    def report_path(self):
        return os.path.join(self.tmp.name, "report.json")

    def read_report(self):
        with open(self.report_path()) as f:
            return json.load(f)

    def assert_every_sequence_number(self, lines, n):
        self.assertEqual(len(lines), n)
        self.assertEqual([int(x[:8]) for x in lines], list(range(1, n + 1)))
        for x in lines:
            self.assertEqual(len(x), 95)

    # --- layout ---------------------------------------------------------------------------

    def test_lines_arrive_byte_exact_with_markers_where_chosen(self):
        self.reader.start()
        p = self.start_sim("--count", "40", "--period", "0.01", "--seed", "11", "--nsens", "3,8",
                           "--error", "4", "--status-chance", "0.2", "--random-faults",
                           "--fault-chance", "0.02")
        rc, err = self.finish_sim(p)
        self.assertEqual(rc, 0, err)
        lines = self.received_lines()
        status = [x for x in lines if x.startswith(b"<")]
        measurements = [x for x in lines if not x.startswith(b"<")]
        self.assertEqual(len(measurements), 40)
        self.assertGreater(len(status), 0)

        # The same seed and options, generated here, say what each line must carry.
        m = sim.Meter(11, nsens={3, 8}, error={4}, status_chance=0.2, random_faults=True,
                      fault_chance=0.02, period=0.01)
        expected = []
        for _ in range(40):
            s = m.status_line()
            if s is not None:
                expected.append((s, None))
            line, _, channels = m.measurement()
            expected.append((line, channels))
        self.assertEqual(lines, [e[0] for e in expected])
        for line, channels in expected:
            if channels is None:
                continue
            self.assertEqual(len(line), 95)
            self.assertEqual(line[93:], b"\r\n")
            self.assertEqual(line[8:9], b" ")
            self.assertEqual(line[23:30], b"       ")   # T3
            self.assertEqual(line[58:65], b"       ")   # T8
            self.assertEqual(line[30:37], b" ******")   # T4
            counter, parsed = sim.parse_line(line)
            self.assertEqual(parsed, channels)
            for k, v in enumerate(channels):
                marker = line[14 + 7 * k:15 + 7 * k]
                if v == "nsens":
                    self.assertEqual(marker, b" ")
                elif v == "error":
                    self.assertEqual(marker, b"*")
                else:
                    self.assertEqual(float(line[9 + 7 * k:16 + 7 * k]), v)

    def test_worked_example_arrives_as_written(self):
        self.reader.start()
        p = self.start_sim("--count", "2", "--period", "0", "--values",
                           "23.45,23.51,,,-1.50,101.20,22.00,,19.75,20.10,20.05,20.00",
                           "--nsens", "3,8", "--error", "4", "--start", "4521", "--sequence",
                           "--status-chance", "0")
        rc, err = self.finish_sim(p)
        self.assertEqual(rc, 0, err)
        self.assertEqual(self.received_lines(), [
            b"00004521   23.45  23.51        ******  -1.50 101.20  22.00         19.75  20.10"
            b"  20.05  20.00\r\n",
            b"00004522   23.45  23.51        ******  -1.50 101.20  22.00         19.75  20.10"
            b"  20.05  20.00\r\n"])

    def test_the_port_is_set_to_raw_9600_8n1(self):
        # Start from a cooked, fast, 7E2 line, to see the simulator change every setting.
        fd = self.pair.holder
        iflag, oflag, cflag, lflag, _, _, cc = termios.tcgetattr(fd)
        cflag = (cflag & ~termios.CSIZE) | termios.CS7 | termios.PARENB | termios.CSTOPB
        termios.tcsetattr(fd, termios.TCSANOW,
                          [iflag | termios.ICRNL, oflag | termios.OPOST | termios.ONLCR, cflag,
                           lflag | termios.ICANON | termios.ECHO, termios.B38400,
                           termios.B38400, cc])
        self.reader.start()
        # No status lines: every line must then be a whole 95-byte measurement.
        rc, err = self.finish_sim(self.start_sim("--count", "3", "--period", "0.01",
                                                 "--status-chance", "0"))
        self.assertEqual(rc, 0, err)
        iflag, oflag, cflag, lflag, ispeed, ospeed, cc = termios.tcgetattr(fd)
        self.assertEqual((ispeed, ospeed), (termios.B9600, termios.B9600))
        self.assertEqual(cflag & termios.CSIZE, termios.CS8)
        self.assertFalse(cflag & termios.PARENB)
        self.assertFalse(cflag & termios.CSTOPB)
        self.assertFalse(oflag & termios.OPOST)
        self.assertFalse(iflag & (termios.ICRNL | termios.IXON))
        self.assertFalse(lflag & (termios.ICANON | termios.ECHO | termios.ISIG))
        # Raw output: CR LF went through unchanged (no CR CR LF from ONLCR).
        for line in self.received_lines():
            self.assertEqual(len(line), 95)

    # --- counts ---------------------------------------------------------------------------

    def test_count_stops_after_that_many_lines(self):
        self.reader.start()
        rc, err = self.finish_sim(self.start_sim("--count", "7", "--period", "0.02",
                                                 "--status-chance", "0"))
        self.assertEqual(rc, 0, err)
        self.assertEqual(len(self.received_lines()), 7)

    def test_flood_delivers_every_line_in_order(self):
        self.reader.start()
        p = self.start_sim("--flood", "3000", "--report", self.report_path())
        rc, err = self.finish_sim(p)
        self.assertEqual(rc, 0, err)
        self.assert_every_sequence_number(self.received_lines(), 3000)
        report = self.read_report()
        self.assertEqual(report["mode"], "flood")
        self.assertEqual(report["lines"], 3000)
        self.assertEqual((report["first_counter"], report["last_counter"]), (1, 3000))
        self.assertEqual(report["status_lines"], 0)
        self.assertEqual(report["ended_by"], "count")

    # --- paced mode -----------------------------------------------------------------------

    def test_paced_mode_keeps_its_rate_and_reports(self):
        self.reader.start()
        p = self.start_sim("--rate", "100", "--count", "200", "--report", self.report_path())
        rc, err = self.finish_sim(p)
        self.assertEqual(rc, 0, err)
        self.assert_every_sequence_number(self.received_lines(), 200)
        r = self.read_report()
        self.assertEqual(r["mode"], "rate")
        self.assertEqual(r["lines"], 200)
        self.assertEqual(r["rate"], 100)
        self.assertAlmostEqual(r["line_time_s"], 0.01)
        # The last line is due 1.99 s after the first: pacing, not flooding.
        self.assertGreaterEqual(r["elapsed_s"], 1.98)
        self.assertLess(r["elapsed_s"], 10)
        self.assertGreaterEqual(r["longest_wait_s"], 0)
        self.assertLessEqual(r["waits_over_line_time"], 200)
        self.assertIn(b"200 lines", err)
        self.assertIn(b"longest write wait", err)

    def test_paced_mode_reports_writes_held_back_by_a_stalled_reader(self):
        # Nobody reads for 1.5 s: the pty and socat fill up and the writes must wait.
        p = self.start_sim("--rate", "1000", "--count", "800", "--report", self.report_path())
        time.sleep(1.5)
        self.reader.start()
        rc, err = self.finish_sim(p)
        self.assertEqual(rc, 0, err)
        self.assert_every_sequence_number(self.received_lines(), 800)
        r = self.read_report()
        self.assertEqual(r["lines"], 800)
        self.assertGreater(r["longest_wait_s"], 0.5)
        self.assertGreaterEqual(r["waits_over_line_time"], 1)
        self.assertGreater(r["max_lateness_s"], 0.5)

    # --- stopping -------------------------------------------------------------------------

    def check_stops_cleanly(self, sig):
        self.reader.start()
        p = self.start_sim("--period", "0.05", "--report", self.report_path())
        self.assertTrue(self.reader.wait_bytes(5 * 95, 20), "no lines came")
        p.send_signal(sig)
        rc, err = self.finish_sim(p, timeout=10)
        self.assertEqual(rc, 0, err)
        lines = self.received_lines()
        self.assertGreaterEqual(len(lines), 5)
        r = self.read_report()
        self.assertEqual(r["ended_by"], "signal")
        self.assertFalse(r["partial_line"])
        self.assertEqual(r["lines"] + r["status_lines"], len(lines))

    def test_sigterm_ends_the_run_cleanly(self):
        self.check_stops_cleanly(signal.SIGTERM)

    def test_sigint_ends_the_run_cleanly(self):
        self.check_stops_cleanly(signal.SIGINT)

    def test_a_stop_is_obeyed_while_the_reader_holds_the_line_back(self):
        p = self.start_sim("--rate", "2000", "--report", self.report_path())
        # Wait until the writes are blocked: the report is written only at the end, so watch
        # the pty fill instead (nothing is read).
        time.sleep(1.5)
        started = time.monotonic()
        p.send_signal(signal.SIGTERM)
        rc, err = self.finish_sim(p, timeout=10)
        self.assertLess(time.monotonic() - started, 5)
        self.assertEqual(rc, 0, err)
        r = self.read_report()
        self.assertEqual(r["ended_by"], "signal")
        self.assertGreater(r["lines"], 50)

    def test_a_vanished_device_ends_the_run_with_a_failure(self):
        self.reader.start()
        p = self.start_sim("--period", "0.02")
        self.assertTrue(self.reader.wait_bytes(3 * 95, 20))
        stationlib.stop_process(self.pair.proc)  # socat gone: the pty's other side is closed
        rc, err = self.finish_sim(p, timeout=10)
        self.assertEqual(rc, 1)
        self.assertIn(b"stopped taking lines", err)


if __name__ == "__main__":
    unittest.main(verbosity=2)
