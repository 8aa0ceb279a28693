"""The working folder's wgnuplot.exe the Windows way, under Wine with the host's gnuplot out of
reach (ZK_WGNUPLOT_WINDOWS=1), driven through the monitor's Graph and Snapshot buttons:

  test_wgnuplot_windows.py [program_files] [app_paths] [path] [none]

program_files: a stand-in gnuplot in C:\\Program Files\\gnuplot\\bin is started on the live
script and on the snapshot script, as given, in the monitor's working folder. app_paths: the
registry's App Paths entry for wgnuplot.exe wins over the program folder. path: with neither,
a gnuplot on a PATH of over a thousand characters, whose first folder is the monitor's own (the
launcher does not start itself). none: with no gnuplot
anywhere, Graph shows the box that says gnuplot is needed, and the monitor goes on.
"""

import os
import subprocess
import sys
from pathlib import Path

sys.dont_write_bytecode = True
HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))  # tests/, home of zk47test
from zk47test.monitor import (  # noqa: E402
    ERROR_TITLE, Meter, check, close_monitor, equal, harness, log_files, run_session,
    start_reading_monitor, wait_for, wait_rows, win_path)

NO_GNUPLOT = ("Для графика нужна программа gnuplot, но она не найдена.\n"
              "Установите gnuplot для Windows и повторите команду.")
PROGRAM_FILES = r"C:\Program Files\gnuplot\bin\wgnuplot.exe"
APP_PATH = r"C:\Tools\gp\wgnuplot.exe"
ON_PATH = r"C:\Tools\on path\wgnuplot.exe"
APP_PATHS_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\App Paths\wgnuplot.exe"
STATE = {}


def drive_c(s, windows_path):
    return s.prefix / "drive_c" / windows_path[3:].replace("\\", "/")


def put_standin(s, windows_path):
    target = drive_c(s, windows_path)
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_bytes(harness.windows_program("wgnuplot_standin.exe").read_bytes())
    return target.parent / "wgnuplot-calls.txt"


def setup(s):
    s.add_serial("COM1")
    s.install(harness.windows_program("wgnuplot.exe"))
    elsewhere = [rf"C:\nowhere\folder-{n:03d}" for n in range(60)]
    os.environ["WINEPATH"] = ";".join([win_path(s.work), *elsewhere, '"' + ON_PATH.rsplit("\\", 1)[0] + '"'])


def reg(s, *args):
    subprocess.run(["wine", "reg", *args], env=s.env(), check=True, timeout=60,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def running(s):
    if "win" not in STATE:
        prog, win = start_reading_monitor(s)
        m = Meter(s.ports["COM1"])
        m.send(m.line([5.0] * 12), taken=False)
        m.send(m.line([20.0 + k for k in range(12)]))
        log = wait_for(lambda: log_files(s), 30, "the default log")[0]
        wait_rows(log, 3, 1)
        STATE.update(prog=prog, win=win, log=log)
    return STATE


def calls_after_click(s, calls, button, count):
    s.drive.click(STATE["win"], button)
    lines = wait_for(lambda: calls.exists() and len(calls.read_text("utf-8").splitlines()) >= count and
                     calls.read_text("utf-8").splitlines(), 60, f"start {count} of the stand-in gnuplot")
    return [line.split("\t") for line in lines]


def case_program_files(s):
    st = running(s)
    calls = put_standin(s, PROGRAM_FILES)
    got = calls_after_click(s, calls, 2, 1)
    script = win_path(st["log"].with_suffix(".plt"))
    equal(got[0], [f'"{PROGRAM_FILES}" "{script}"', win_path(s.work)], "Graph: command line, folder")
    got = calls_after_click(s, calls, 3, 2)
    equal(got[1][0], f'"{PROGRAM_FILES}" "{win_path(st["log"].with_suffix(".pld"))}"', "Snapshot")


def case_app_paths(s):
    running(s)
    calls = put_standin(s, APP_PATH)
    reg(s, "add", APP_PATHS_KEY, "/ve", "/d", APP_PATH, "/f")
    got = calls_after_click(s, calls, 2, 1)
    check(got[0][0].startswith(f'"{APP_PATH}" '), f"App Paths: {got[0][0]!r}")


def case_path(s):
    running(s)
    reg(s, "delete", APP_PATHS_KEY, "/f")
    drive_c(s, PROGRAM_FILES).unlink()
    calls = put_standin(s, ON_PATH)
    got = calls_after_click(s, calls, 2, 1)
    check(got[0][0].startswith(f'"{ON_PATH}" '), f"PATH: {got[0][0]!r}")


def case_none(s):
    st = running(s)
    for path in (PROGRAM_FILES, APP_PATH, ON_PATH):
        drive_c(s, path).unlink(missing_ok=True)
    d = s.drive
    d.click(st["win"], 2)
    box = d.msgbox(title=ERROR_TITLE, timeout=60)
    equal(box["text"], NO_GNUPLOT, "the box without gnuplot")
    d.msgbox(title=ERROR_TITLE, press="ok", timeout=10)
    code, _ = close_monitor(s, st["win"], st["prog"])
    equal(code, 0, "the monitor's exit code after the box")


CASES = {"program_files": case_program_files, "app_paths": case_app_paths, "path": case_path,
         "none": case_none}

if __name__ == "__main__":
    os.environ["ZK_WGNUPLOT_WINDOWS"] = "1"  # the session's programs inherit it
    raise SystemExit(run_session("wgnuplot-windows", CASES, setup))
