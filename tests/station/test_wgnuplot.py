"""The gnuplot forwarder, wgnuplot.exe from the Windows build, under Wine.

  test_wgnuplot.py forwarding|snapshot|snapshot_ru|live

forwarding: with a stand-in gnuplot that records what it was given. snapshot: the host's
gnuplot writes the PNG beside the log. snapshot_ru: the same under a Russian locale (ANSI code
page 1251). live: on a virtual display, the live graph's window opens, survives the removal of
its copy, and closing it ends gnuplot.

The runs' folders are written by a stand-in for the monitor (station_plot_fixture.exe) with
the core's own log and script writers; for the Cyrillic folder it also starts the forwarder
the way the monitor does. Every process started here is ended by pid, also on failure.
"""

import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))  # tests/
from zk47test import station as stationlib  # noqa: E402
from zk47test.harness import poll_until  # noqa: E402

WINDOWS_DIR = os.environ.get("ZK_WINDOWS_DIR", os.path.join(stationlib.ROOT, "build", "windows"))
PREFIX = os.environ.get("ZK_STATION_WINEPREFIX", "/tmp/zk47-station-wine")
RUN_WINE = os.environ.get("ZK_WINE", stationlib.RUN_WINE)
FORWARDER = os.path.join(WINDOWS_DIR, "wgnuplot.exe")
FIXTURE = os.path.join(WINDOWS_DIR, "tests", "station_plot_fixture.exe")
LOCALES = stationlib.RU_LOCALES

STAMP = "2024-05-17-09-41-07"
CYRILLIC_FOLDER = "Станция 'ZK' 47"
FAKE_GNUPLOT = r"""#!/bin/sh
# Stands in for gnuplot: records its arguments, environment and script.
out=$FAKE_OUT
{
  echo "argc=$#"
  for a in "$@"; do echo "arg=$a"; done
  echo "GNUTERM=${GNUTERM-unset}"
  echo "DISPLAY=${DISPLAY-unset}"
} > "$out/record"
cp "$1" "$out/script"
touch "$out/done"
"""


def winpath(linux_path):
    """The Windows name of a host path through Wine's Z: drive."""
    return "Z:" + linux_path.replace("/", "\\")


def quoted_strings(text):
    """The single-quoted strings of a gnuplot script ('' undone), in order."""
    return [m.replace(b"''", b"'") for m in re.findall(rb"'((?:[^'\n]|'')*)'", text)]


_subreaper = []


class WineCase(unittest.TestCase):
    prefix = PREFIX

    @classmethod
    def setUpClass(cls):
        for path in (FORWARDER, FIXTURE):
            if not os.path.isfile(path):
                raise AssertionError("%s is missing: build the Windows tree first" % path)
        if not stationlib.have("wine", "gnuplot"):
            raise AssertionError("wine and gnuplot are needed")
        if not _subreaper:
            stationlib.become_subreaper()
            _subreaper.append(True)

    @classmethod
    def tearDownClass(cls):
        # Every Wine process of the prefix (the wineserver stays up between the tests of a
        # class, which saves its start-up each time), then whatever else is left below us.
        try:
            subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=cls.prefix),
                           timeout=30, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            pass
        stationlib.end_descendants()

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="zk47-station-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.addCleanup(self.end_gnuplots)
        self.env = {k: v for k, v in os.environ.items()
                    if k not in ("DISPLAY", "GNUTERM", "ZK_GNUPLOT", "WINEPREFIX", "ZK_WINE_LOCALE")}
        self.env.update(WINEPREFIX=self.prefix, WINEDEBUG="-all", ZK_WGNUPLOT_QUIET="1")

    def end_gnuplots(self):
        """Ends the gnuplots a test started (orphaned to us through Wine) and their helpers."""
        wine = {p for p, n in stationlib.descendants().items()
                if not (n.startswith("gnuplot") or n.startswith("fake-gnuplot"))}
        stationlib.end_descendants(keep=wine)

    def wine(self, *args, env=None, timeout=120):
        e = dict(self.env)
        e.update(env or {})
        # Output goes to files, not pipes: the wineserver that a run may start inherits them
        # and would hold a pipe open until it exits.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            p = subprocess.Popen([RUN_WINE, *args], env=e, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
            try:
                p.wait(timeout)
            finally:
                stationlib.stop_process(p)
            out.seek(0)
            err.seek(0)
            return subprocess.CompletedProcess(p.args, p.returncode, out.read(), err.read())

    def fixture(self, parent_win, kind="ascii", start=None, per_sec=1, env=None):
        """Writes a run's logs and scripts under parent_win; with start ("plt" or "pld") it
        also starts the forwarder as the monitor would. Returns the completed process."""
        forwarder = winpath(FORWARDER) if start else "-"
        return self.wine(FIXTURE, parent_win, kind, forwarder, start or "none", str(per_sec), env=env)

    def run_dir(self, parent_linux):
        """The day folder of the run the fixture wrote under parent_linux."""
        logs = glob.glob(os.path.join(glob.escape(parent_linux), "*", "data", "2024-05-17", STAMP + ".txt"))
        self.assertEqual(len(logs), 1, logs)
        return os.path.dirname(logs[0])

    def drive_c_parent(self):
        name = os.path.basename(self.tmp)
        linux = os.path.join(self.prefix, "drive_c", name)
        os.makedirs(linux)
        self.addCleanup(shutil.rmtree, linux, True)
        return "C:\\" + name, linux

    def fake_gnuplot(self):
        path = os.path.join(self.tmp, "fake-gnuplot")
        with open(path, "w") as f:
            f.write(FAKE_GNUPLOT)
        os.chmod(path, 0o755)
        out = os.path.join(self.tmp, "fake-out")
        os.makedirs(out, exist_ok=True)
        for name in ("record", "script", "done"):
            if os.path.exists(os.path.join(out, name)):
                os.remove(os.path.join(out, name))
        return {"ZK_GNUPLOT": path, "FAKE_OUT": out}, out

    def faked(self, out):
        self.assertTrue(poll_until(lambda: os.path.exists(os.path.join(out, "done")), 30),
                        "the stand-in gnuplot was not started")
        with open(os.path.join(out, "record")) as f:
            record = f.read().splitlines()
        with open(os.path.join(out, "script"), "rb") as f:
            script = f.read()
        return record, script

    def copies_dir(self):
        found = glob.glob(os.path.join(glob.escape(self.prefix), "drive_c", "users", "*", "Temp", "zk47-plots"))
        self.assertEqual(len(found), 1, found)
        return found[0]

    def gnuplots(self):
        return [p for p, n in stationlib.descendants().items() if n.startswith("gnuplot") and n != "gnuplot_x11"]

    def wait_png(self, day):
        png = os.path.join(day, STAMP + ".png")
        self.assertTrue(poll_until(lambda: stationlib.png_size(png) is not None, 60), "no PNG beside the log")
        # gnuplot writes it in one go and then ends by itself.
        self.assertTrue(poll_until(lambda: not self.gnuplots(), 30), "gnuplot did not end")
        self.assertEqual(stationlib.png_size(png), (640, 480))
        self.assertGreater(os.path.getsize(png), 3000)
        return png

    def check_copy(self, copy, original, day_dir, live):
        """The copy is the original with LF line ends, the log and PNG paths as host paths, and,
        for the live graph, a first line that ends gnuplot with its window."""
        expected = original.replace(b"\r\n", b"\n")
        if live:
            head = b'bind "Close" "exit gnuplot"\n'
            self.assertTrue(copy.startswith(head), copy[:80])
            copy = copy[len(head):]
        log = os.path.realpath(os.path.join(day_dir, STAMP + ".txt"))
        png = os.path.realpath(os.path.join(day_dir, STAMP + ".png"))
        originals = [s for s in quoted_strings(expected) if re.match(rb"^[A-Za-z]:\\", s)]
        hosts = [s for s in quoted_strings(copy) if s.startswith(b"/")]
        self.assertEqual(len(originals), len(hosts))
        self.assertEqual(len(hosts), 24 if live else 25)
        back = copy
        for win, host in zip(originals, hosts):
            real = os.path.realpath(os.fsdecode(host))
            self.assertIn(real, (log, png))
            back = back.replace(b"'" + host.replace(b"'", b"''") + b"'",
                                b"'" + win.replace(b"'", b"''") + b"'", 1)
        self.assertEqual(back, expected)
        self.assertNotIn(b"\r", copy)
        self.assertIn(b"'T, \xb0C'", copy)  # the degree sign as the monitor wrote it


class Forwarding(WineCase):
    def test_snapshot_copy_has_host_paths_and_nothing_else_changed(self):
        parent_win, parent = self.drive_c_parent()
        r = self.fixture(parent_win)
        self.assertEqual(r.returncode, 0, r.stderr)
        day = self.run_dir(parent)
        script_win = parent_win + "\\station\\data\\2024-05-17\\" + STAMP + ".pld"
        fake, out = self.fake_gnuplot()
        r = self.wine(FORWARDER, script_win, env=fake)
        self.assertEqual(r.returncode, 0, r.stderr)
        record, copy = self.faked(out)
        self.assertEqual(record[0], "argc=1")
        copy_path = record[1][len("arg="):]
        self.assertTrue(os.path.basename(copy_path).startswith("zk47-"))
        self.assertTrue(copy_path.endswith(".pld"))
        self.assertEqual(os.path.realpath(os.path.dirname(copy_path)), os.path.realpath(self.copies_dir()))
        self.assertTrue(os.path.exists(copy_path), "the copy must outlive the forwarder")
        with open(os.path.join(day, STAMP + ".pld"), "rb") as f:
            self.check_copy(copy, f.read(), day, live=False)
        self.assertIn("GNUTERM=unset", record)

    def test_live_copy_keeps_its_reread_and_ends_with_its_window(self):
        parent_win, parent = self.drive_c_parent()
        self.assertEqual(self.fixture(parent_win, per_sec=3).returncode, 0)
        day = self.run_dir(parent)
        fake, out = self.fake_gnuplot()
        r = self.wine(FORWARDER, parent_win + "\\station\\data\\2024-05-17\\" + STAMP + ".plt", env=fake)
        self.assertEqual(r.returncode, 0, r.stderr)
        record, copy = self.faked(out)
        self.assertTrue(record[1].endswith(".plt"))
        with open(os.path.join(day, STAMP + ".plt"), "rb") as f:
            self.check_copy(copy, f.read(), day, live=True)
        self.assertTrue(copy.endswith(b"pause 3\nif (GPVAL_VERSION < 6.0) reread\nwhile (1) { replot; pause 3 }\n"))

    def test_cyrillic_folder_with_quotes_started_as_the_monitor_starts_it(self):
        fake, out = self.fake_gnuplot()
        r = self.fixture(winpath(self.tmp), "cyrillic", start="pld", env=fake)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertIn(b"forwarder exit 0", r.stdout)
        day = self.run_dir(self.tmp)
        # Wine's default ANSI code page here is 1252: the monitor's Windows-1251 bytes name
        # the folder in that code page, and the forwarder must read them the same way.
        folder = os.path.basename(os.path.dirname(os.path.dirname(day)))
        self.assertEqual(folder, CYRILLIC_FOLDER.encode("cp1251").decode("cp1252"))
        _, copy = self.faked(out)
        with open(os.path.join(day, STAMP + ".pld"), "rb") as f:
            self.check_copy(copy, f.read(), day, live=False)
        self.assertIn(b"''ZK''", copy)

    def test_a_path_split_at_its_blanks_is_put_back_together(self):
        parent = os.path.join(self.tmp, "with blank")
        os.makedirs(parent)
        self.assertEqual(self.fixture(winpath(parent)).returncode, 0)
        script = winpath(parent) + "\\station\\data\\2024-05-17\\" + STAMP + ".pld"
        fake, out = self.fake_gnuplot()
        # As a caller that does not quote the path passes it: in two pieces.
        pieces = script.split(" ")
        self.assertEqual(len(pieces), 2)
        r = self.wine(FORWARDER, *pieces, env=fake)
        self.assertEqual(r.returncode, 0, r.stderr)
        _, copy = self.faked(out)
        self.assertIn(b"/with blank/station/data/2024-05-17/" + STAMP.encode() + b".txt'", copy)

    def test_old_copies_are_swept_and_young_ones_kept(self):
        parent_win, parent = self.drive_c_parent()
        self.assertEqual(self.fixture(parent_win).returncode, 0)
        script = parent_win + "\\station\\data\\2024-05-17\\" + STAMP + ".pld"
        fake, out = self.fake_gnuplot()
        self.assertEqual(self.wine(FORWARDER, script, env=fake).returncode, 0)
        first_record, _ = self.faked(out)
        first_copy = first_record[1][len("arg="):]
        copies = self.copies_dir()
        now = time.time()
        planted = {"zk47-old.pld": now - 3600, "zk47-young.plt": now - 60, "other.txt": now - 3600}
        for name, mtime in planted.items():
            path = os.path.join(copies, name)
            with open(path, "w") as f:
                f.write("pause 1\n")
            os.utime(path, (mtime, mtime))
        os.utime(first_copy, (now - 3600, now - 3600))
        fake, out = self.fake_gnuplot()
        self.assertEqual(self.wine(FORWARDER, script, env=fake).returncode, 0)
        record, _ = self.faked(out)
        self.assertFalse(os.path.exists(os.path.join(copies, "zk47-old.pld")))
        self.assertFalse(os.path.exists(first_copy))
        self.assertTrue(os.path.exists(os.path.join(copies, "zk47-young.plt")))
        self.assertTrue(os.path.exists(os.path.join(copies, "other.txt")))
        self.assertTrue(os.path.exists(record[1][len("arg="):]))
        for name in planted:
            if os.path.exists(os.path.join(copies, name)):
                os.remove(os.path.join(copies, name))

    def test_failures_end_with_their_codes_and_start_nothing(self):
        fake, out = self.fake_gnuplot()
        r = self.wine(FORWARDER, env=fake)
        self.assertEqual(r.returncode, 2)
        self.assertIn(b"wgnuplot:", r.stderr)
        r = self.wine(FORWARDER, winpath(self.tmp) + "\\missing.pld", env=fake)
        self.assertEqual(r.returncode, 3)
        self.assertIn(b"wgnuplot:", r.stderr)
        self.assertEqual(self.fixture(winpath(self.tmp)).returncode, 0)
        script = winpath(self.tmp) + "\\station\\data\\2024-05-17\\" + STAMP + ".pld"
        copies = glob.glob(os.path.join(glob.escape(self.prefix), "drive_c", "users", "*", "Temp", "zk47-plots", "*"))
        r = self.wine(FORWARDER, script, env={"ZK_GNUPLOT": "/nonexistent/gnuplot"})
        self.assertEqual(r.returncode, 6)
        self.assertIn(b"/nonexistent/gnuplot", r.stderr)
        # No gnuplot, no copy left behind.
        self.assertEqual(glob.glob(os.path.join(glob.escape(self.prefix), "drive_c", "users", "*", "Temp",
                                                "zk47-plots", "*")), copies)
        time.sleep(1)
        self.assertFalse(os.path.exists(os.path.join(out, "done")))


class Snapshot(WineCase):
    def test_png_appears_beside_the_log(self):
        parent_win, parent = self.drive_c_parent()
        self.assertEqual(self.fixture(parent_win).returncode, 0)
        day = self.run_dir(parent)
        r = self.wine(FORWARDER, parent_win + "\\station\\data\\2024-05-17\\" + STAMP + ".pld")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.wait_png(day)
        self.assertEqual(sorted(os.listdir(day)), sorted(STAMP + e for e in (".csv", ".pld", ".plt", ".png", ".txt")))

    def test_png_from_a_cyrillic_folder_started_as_the_monitor_starts_it(self):
        r = self.fixture(winpath(self.tmp), "cyrillic", start="pld")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.wait_png(self.run_dir(self.tmp))


class SnapshotRussian(WineCase):
    """Under a Russian locale Wine's ANSI code page is 1251: the folder has its real name.
    Such a locale's prefix keeps its own registry, hence a prefix of its own."""
    prefix = PREFIX + "-ru"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        try:
            stationlib.ru_locales()
        except RuntimeError as e:
            raise unittest.SkipTest(str(e))

    def setUp(self):
        super().setUp()
        self.env.update(LOCPATH=LOCALES, LANG="ru_RU.UTF-8", LC_ALL="ru_RU.UTF-8")

    def test_png_from_a_cyrillic_folder_started_as_the_monitor_starts_it(self):
        r = self.fixture(winpath(self.tmp), "cyrillic", start="pld")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        day = self.run_dir(self.tmp)
        self.assertEqual(os.path.basename(os.path.dirname(os.path.dirname(day))), CYRILLIC_FOLDER)
        self.wait_png(day)


class LiveGraph(WineCase):
    def setUp(self):
        super().setUp()
        if not stationlib.have("Xvfb", "xwininfo", "xdotool"):
            self.fail("Xvfb, xwininfo and xdotool are needed")
        self.xvfb = stationlib.Xvfb()
        self.addCleanup(self.xvfb.close)
        self.env["DISPLAY"] = self.xvfb.display

    def windows(self):
        r = subprocess.run(["xwininfo", "-root", "-tree"], env=self.env, capture_output=True, timeout=20)
        return [line for line in r.stdout.decode(errors="replace").splitlines() if '"Gnuplot"' in line]

    def test_window_opens_survives_its_copy_and_closing_it_ends_gnuplot(self):
        r = self.fixture(winpath(self.tmp), "cyrillic", start="plt", per_sec=1)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertTrue(poll_until(lambda: self.windows(), 60), "no gnuplot window")
        pids = self.gnuplots()
        self.assertEqual(len(pids), 1, stationlib.descendants())
        pid = pids[0]
        with open("/proc/%d/environ" % pid, "rb") as f:
            environ = f.read().split(b"\0")
        self.assertIn(b"GNUTERM=x11", environ)
        self.assertIn(b"DISPLAY=" + self.xvfb.display.encode(), environ)
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            copy = f.read().split(b"\0")[1].decode()
        # A later forwarder may sweep the copy away: the graph goes on from its open file.
        os.remove(copy)
        time.sleep(3.5)
        self.assertTrue(os.path.exists("/proc/%d" % pid), "the live graph ended without its copy")
        self.assertTrue(self.windows())
        # Closing the window ('q' closes a gnuplot window) ends gnuplot for good.
        wid = subprocess.run(["xdotool", "search", "--name", "^Gnuplot$"], env=self.env,
                             capture_output=True, timeout=20).stdout.split()
        self.assertTrue(wid)
        subprocess.run(["xdotool", "key", "--window", wid[0], "q"], env=self.env,
                       capture_output=True, timeout=20)
        self.assertTrue(poll_until(lambda: not self.gnuplots(), 20), "gnuplot outlived its window")
        self.assertFalse(self.windows())

    def test_a_terminal_the_user_chose_is_kept(self):
        self.assertEqual(self.fixture(winpath(self.tmp)).returncode, 0)
        script = winpath(self.tmp) + "\\station\\data\\2024-05-17\\" + STAMP + ".plt"
        fake, out = self.fake_gnuplot()
        self.assertEqual(self.wine(FORWARDER, script, env=fake).returncode, 0)
        record, _ = self.faked(out)
        self.assertIn("GNUTERM=x11", record)
        fake, out = self.fake_gnuplot()
        self.assertEqual(self.wine(FORWARDER, script, env=dict(fake, GNUTERM="wxt")).returncode, 0)
        record, _ = self.faked(out)
        self.assertIn("GNUTERM=wxt", record)


PARTS = {"forwarding": Forwarding, "snapshot": Snapshot, "snapshot_ru": SnapshotRussian, "live": LiveGraph}


def main():
    if len(sys.argv) != 2 or sys.argv[1] not in PARTS:
        print("usage: test_wgnuplot.py " + "|".join(PARTS), file=sys.stderr)
        return 2
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(PARTS[sys.argv[1]])
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    if not result.wasSuccessful():
        return 1
    if result.testsRun and len(result.skipped) == result.testsRun:
        return 77
    return 0


if __name__ == "__main__":
    sys.exit(main())
