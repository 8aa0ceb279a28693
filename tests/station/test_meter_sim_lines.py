"""The meter simulator's lines and options, written to plain files (no pty needed)."""

import os
import re
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))  # tests/
from zk47test import station as stationlib  # noqa: E402

sim = stationlib.load_sim()

# The meter's worked example, field by field.
WORKED_EXAMPLE = (b"00004521 " + b"  23.45" + b"  23.51" + b"       " + b" ******" + b"  -1.50" +
                  b" 101.20" + b"  22.00" + b"       " + b"  19.75" + b"  20.10" + b"  20.05" +
                  b"  20.00" + b"\r\n")
WORKED_VALUES = "23.45,23.51,,,-1.50,101.20,22.00,,19.75,20.10,20.05,20.00"
NUMBER_FIELD = re.compile(r"^ *-?\d{1,3}\.\d\d$")


def run_sim(*args, timeout=30):
    return subprocess.run([stationlib.SIM, *args], stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=timeout)


class Layout(unittest.TestCase):
    def check_layout(self, line, nsens=(), error=()):
        self.assertEqual(len(line), 95, line)
        self.assertTrue(line.endswith(b"\r\n"), line)
        text = line[:-2].decode("ascii")
        self.assertRegex(text[:8], r"^\d{8}$")
        self.assertEqual(text[8], " ")
        for k in range(12):
            field = text[9 + 7 * k:16 + 7 * k]
            marker = text[14 + 7 * k]
            if k + 1 in nsens:
                self.assertEqual(field, " " * 7, "T%d" % (k + 1))
            elif k + 1 in error:
                self.assertEqual(field, " ******", "T%d" % (k + 1))
            else:
                self.assertRegex(field, NUMBER_FIELD, "T%d" % (k + 1))
                self.assertNotIn(marker, " *")
                self.assertTrue(marker.isdigit())

    def test_worked_example_line_is_byte_exact(self):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "out")
            open(path, "wb").close()
            r = run_sim(path, "--count", "1", "--values", WORKED_VALUES, "--nsens", "3,8",
                        "--error", "4", "--start", "4521", "--status-chance", "0", "--quiet")
            self.assertEqual(r.returncode, 0, r.stderr)
            with open(path, "rb") as f:
                self.assertEqual(f.read(), WORKED_EXAMPLE)

    def test_worked_example_parses_back(self):
        counter, channels = sim.parse_line(WORKED_EXAMPLE)
        self.assertEqual(counter, "00004521")
        self.assertEqual(channels, [23.45, 23.51, "nsens", "error", -1.5, 101.2, 22.0, "nsens",
                                    19.75, 20.1, 20.05, 20.0])

    def test_every_line_keeps_the_column_layout(self):
        m = sim.Meter(5, nsens={3, 8}, error={4}, status_chance=0.0)
        for _ in range(500):
            line, _, channels = m.measurement()
            self.check_layout(line, nsens={3, 8}, error={4})
            self.assertEqual(sim.parse_line(line)[1], channels)

    def test_values_fill_their_fields_right_aligned(self):
        cases = {-199.99: "-199.99", -5.0: "  -5.00", 0.0: "   0.00", 23.45: "  23.45",
                 101.2: " 101.20", 999.99: " 999.99", -950.0: "-950.00"}
        for v, text in cases.items():
            self.assertEqual(sim.field_text("value", v), text)
        with self.assertRaises(ValueError):
            sim.field_text("value", 1000.0)
        with self.assertRaises(ValueError):
            sim.field_text("value", -1000.0)

    def test_drifting_values_stay_within_a_field_even_far_from_room_temperature(self):
        for base in (-190.0, 990.0):
            m = sim.Meter(1, base=base)
            for _ in range(200):
                self.check_layout(m.measurement()[0])

    def test_counter_is_an_eight_digit_seconds_counter(self):
        m = sim.Meter(3, start=100, period=0.5)
        counters = [m.measurement()[1] for _ in range(6)]
        self.assertEqual(counters, [100, 100, 101, 101, 102, 102])
        m = sim.Meter(3, start=7, period=2.0)
        self.assertEqual([m.measurement()[1] for _ in range(3)], [7, 9, 11])
        m = sim.Meter(3)
        first = m.measurement()[0][:8]
        self.assertRegex(first.decode(), r"^\d{8}$")

    def test_counter_wraps_after_eight_digits(self):
        m = sim.Meter(3, start=99999999, sequence=True)
        self.assertEqual([m.measurement()[0][:8] for _ in range(2)], [b"99999999", b"00000000"])


class Drift(unittest.TestCase):
    def test_temperatures_drift_slowly_and_stay_plausible(self):
        m = sim.Meter(42, base=22.0)
        prev = None
        seen = [[] for _ in range(12)]
        for _ in range(3600):
            _, _, channels = m.measurement()
            for k, v in enumerate(channels):
                seen[k].append(v)
                self.assertTrue(5.0 < v < 40.0, v)
                if prev is not None:
                    self.assertLess(abs(v - prev[k]), 0.5, "T%d jumps" % (k + 1))
            prev = channels
        for k in range(12):
            # Drifting, not frozen: an hour moves each channel by more than its noise.
            self.assertGreater(max(seen[k]) - min(seen[k]), 0.3, "T%d" % (k + 1))
        # Channels differ from one another.
        self.assertGreater(len({round(c[0]) for c in seen}), 3)

    def test_the_same_seed_gives_the_same_bytes(self):
        with tempfile.TemporaryDirectory() as d:
            outs = []
            for seed in ("17", "17", "18"):
                path = os.path.join(d, "out" + str(len(outs)))
                open(path, "wb").close()
                r = run_sim(path, "--count", "40", "--period", "0", "--seed", seed,
                            "--random-faults", "--fault-chance", "0.05", "--quiet")
                self.assertEqual(r.returncode, 0, r.stderr)
                with open(path, "rb") as f:
                    outs.append(f.read())
            self.assertEqual(outs[0], outs[1])
            self.assertNotEqual(outs[0], outs[2])
            self.assertGreaterEqual(len(outs[0]), 40 * 95)

    def test_the_seed_is_shown_so_a_run_can_be_repeated(self):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "out")
            open(path, "wb").close()
            r = run_sim(path, "--count", "3", "--period", "0")
            self.assertEqual(r.returncode, 0)
            seed = re.search(rb"seed (\d+)", r.stderr)
            self.assertIsNotNone(seed, r.stderr)
            with open(path, "rb") as f:
                first = f.read()
            open(path, "wb").close()
            run_sim(path, "--count", "3", "--period", "0", "--seed", seed.group(1).decode())
            with open(path, "rb") as f:
                self.assertEqual(f.read(), first)


class Faults(unittest.TestCase):
    def test_chosen_channels_stay_in_their_fault(self):
        m = sim.Meter(9, nsens={1, 12}, error={6}, random_faults=True, fault_chance=0.05)
        for _ in range(300):
            line, _, channels = m.measurement()
            self.assertEqual(channels[0], "nsens")
            self.assertEqual(channels[11], "nsens")
            self.assertEqual(channels[5], "error")
            self.assertEqual(line[9:16], b"       ")
            self.assertEqual(line[9 + 7 * 5:16 + 7 * 5], b" ******")

    def test_random_faults_come_and_go(self):
        m = sim.Meter(9, random_faults=True, fault_chance=0.01)
        kinds = [[] for _ in range(12)]
        for _ in range(3000):
            for k, v in enumerate(m.measurement()[2]):
                kinds[k].append(v if isinstance(v, str) else "value")
        flat = [x for ch in kinds for x in ch]
        self.assertIn("nsens", flat)
        self.assertIn("error", flat)
        for k in range(12):
            # Mostly measuring, and a fault never lasts long.
            self.assertGreater(kinds[k].count("value"), 2000)
            run = longest = 0
            for x in kinds[k]:
                run = run + 1 if x != "value" else 0
                longest = max(longest, run)
            self.assertLessEqual(longest, 60)

    def test_no_random_faults_unless_asked(self):
        m = sim.Meter(9)
        for _ in range(2000):
            self.assertTrue(all(isinstance(v, float) for v in m.measurement()[2]))

    def test_status_lines_begin_with_a_less_than_sign(self):
        m = sim.Meter(2, status_chance=0.3)
        status = []
        for _ in range(200):
            s = m.status_line()
            if s is not None:
                status.append(s)
            m.measurement()
        self.assertGreater(len(status), 20)
        for s in status:
            self.assertTrue(s.startswith(b"<") and s.endswith(b"\r\n"), s)
            self.assertLess(len(s), 60)
            self.assertNotIn(b"\n", s[:-1])


class Options(unittest.TestCase):
    def test_help(self):
        r = run_sim("--help")
        self.assertEqual(r.returncode, 0)
        for opt in (b"--period", b"--seed", b"--nsens", b"--error", b"--random-faults",
                    b"--count", b"--flood", b"--rate", b"--report", b"device"):
            self.assertIn(opt, r.stdout)

    def test_bad_options_are_refused(self):
        bad = [["--nsens", "13"], ["--nsens", "0"], ["--error", "x"], ["--nsens", "3", "--error", "3"],
               ["--values", "1,2,3"], ["--values", WORKED_VALUES],
               ["--values", "1000,1,1,1,1,1,1,1,1,1,1,1"], ["--flood", "5", "--count", "3"],
               ["--rate", "0"], ["--rate", "5", "--flood", "5"], ["--period", "-1"],
               ["--count", "0"], ["--start", "100000000"], ["--fault-chance", "2"]]
        for args in bad:
            r = run_sim("/dev/null", *args)
            self.assertEqual(r.returncode, 2, args)

    def test_a_missing_device_is_reported(self):
        r = run_sim("/nonexistent/ttyZK", "--count", "1")
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"cannot open", r.stderr)

    def test_count_writes_exactly_that_many_measurement_lines(self):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "out")
            open(path, "wb").close()
            r = run_sim(path, "--count", "25", "--period", "0", "--status-chance", "0.5",
                        "--seed", "4", "--quiet")
            self.assertEqual(r.returncode, 0)
            with open(path, "rb") as f:
                lines, rest = stationlib.split_lines(f.read())
            self.assertEqual(rest, b"")
            measurements = [x for x in lines if not x.startswith(b"<")]
            self.assertEqual(len(measurements), 25)
            self.assertGreater(len(lines), 25)


if __name__ == "__main__":
    unittest.main(verbosity=2)
