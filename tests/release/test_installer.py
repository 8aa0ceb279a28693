"""The installer under Wine, in a fresh prefix, as an operator meets it:

  test_installer.py [install] [monitor] [running] [upgrade] [uninstall]

install: an older build of the same installer (0.9.0), silent with /D=, puts the programs and
the manual in the folder, both Start-menu shortcuts (target, arguments, start folder) and the
uninstall entry for the current user (version, QuietUninstallString); no start at login.
monitor: the installed monitor, started as its shortcut starts it, reads the simulated meter
and writes its logs into data\\ of its folder. running: while it runs, the new installer and
the uninstaller refuse, silent (exit code 2) and with their box, and nothing has changed.
upgrade: once it is closed, the new installer, silent, finds the folder by itself and keeps
zk47.cfg, zksrv.cfg and the log byte for byte; /AUTOSTART adds the login shortcut with
--autostart. uninstall: the QuietUninstallString shows no window, removes the programs, the
shortcuts and the entry, and leaves zk47.cfg, zksrv.cfg and data\\. uninstall_window: installed
once more, the uninstaller with its windows says what it left and where.
"""

import os
import subprocess
import sys
import tempfile
from pathlib import Path

sys.dont_write_bytecode = True
HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))  # tests/, home of zk47test
from zk47test.monitor import (  # noqa: E402
    Meter, check, close_monitor, confirm_settings, equal, harness, log_files, run_session,
    start_acquisition, wait_for, wait_rows, SETTINGS_TITLE, MAIN_CLASS)
from zk47test.release import read_shortcut, registry_values, version_strings  # noqa: E402

ROOT = HERE.parent.parent
DIST = Path(os.environ.get("ZK_DIST_DIR", ROOT / "build" / "dist"))
VERSION = os.environ["ZK_VERSION"]
OLD = "0.9.0"
FOLDER = r"C:\ZK47"
PROGRAMS = ["zk47.exe", "zksrv.exe", "zkrelay.exe", "wgnuplot.exe", "uninstall.exe"]
MENU = r"C:\users\{user}\AppData\Roaming\Microsoft\Windows\Start Menu\Programs"
UNINSTALL_KEY = r"HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Uninstall\ZK-47"
RUNNING_TEXT = ("Монитор ZK-47 запущен из папки C:\\ZK47.\n"
                "Закройте его окно и нажмите «Повтор». Ничего не изменено.")
KEPT_FILES = ["zk47.cfg", "zksrv.cfg"]
STATE = {}


def linux(s, windows_path):
    """The prefix's file behind a C: path."""
    return s.prefix / "drive_c" / windows_path[3:].replace("\\", "/")


def menu(s):
    return linux(s, MENU.format(user=os.environ.get("USER", "root")))


def installer(version):
    return STATE["old"] if version == OLD else DIST / f"zk47-setup-{VERSION}.exe"


def run_wine(s, program, *args, timeout=120):
    prog = s.run(program, *args)
    return prog.wait(timeout)


def uninstall_entry(s):
    out = s.dir / "uninstall-entry.reg"
    out.unlink(missing_ok=True)
    with open(s.dir / "reg.out", "wb") as o:
        subprocess.run(["wine", "reg", "export", UNINSTALL_KEY, harness.win_path(out)], env=s.env(),
                       stdout=o, stderr=o, timeout=60)
    if not out.exists():
        return {}
    return registry_values(out.read_bytes().decode("utf-16"), UNINSTALL_KEY)


def folder_state(s):
    """Every file of the installed folder and its bytes."""
    root = linux(s, FOLDER)
    return {str(p.relative_to(root)): p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()}


def setup(s):
    s.add_serial("COM1")
    old = Path(tempfile.mkdtemp(prefix="zk47-old-", dir=s.dir))
    subprocess.run(["bash", str(ROOT / "tools" / "release" / "make-release.sh"),
                    str(harness.windows_dir()), str(old), OLD], check=True, timeout=300)
    STATE["old"] = old / f"zk47-setup-{OLD}.exe"


def check_installed(s, version):
    root = linux(s, FOLDER)
    for name in PROGRAMS:
        check((root / name).is_file(), f"{name} installed")
    check((root / "docs" / "operator-manual.html").is_file(), "the manual installed")
    equal(version_strings((root / "zk47.exe").read_bytes()).get("ProductVersion"), VERSION,
          "the monitor's version resource")
    links = {p.name: read_shortcut(p.read_bytes()) for p in (menu(s) / "ZK-47").glob("*.lnk")}
    equal(sorted(links), ["Монитор ZK-47.lnk", "Руководство оператора.lnk"], "Start-menu shortcuts")
    mon = links["Монитор ZK-47.lnk"]
    equal((mon["target"], mon["arguments"], mon["start_in"]), (FOLDER + r"\zk47.exe", "", FOLDER),
          "the monitor's shortcut")
    equal(links["Руководство оператора.lnk"]["target"], FOLDER + r"\docs\operator-manual.html",
          "the manual's shortcut")
    entry = uninstall_entry(s)
    equal({k: entry.get(k) for k in ("DisplayName", "DisplayVersion", "InstallLocation",
                                     "UninstallString", "QuietUninstallString")},
          {"DisplayName": "Станция ZK-47", "DisplayVersion": version, "InstallLocation": FOLDER,
           "UninstallString": f'"{FOLDER}\\uninstall.exe"',
           "QuietUninstallString": f'"{FOLDER}\\uninstall.exe" /S'}, "the uninstall entry")
    STATE["monitor_link"] = mon


def case_install(s):
    equal(run_wine(s, installer(OLD), "/S", "/D=" + FOLDER), 0, "the older installer's exit code")
    check_installed(s, OLD)
    check(not (menu(s) / "StartUp" / "Монитор ZK-47.lnk").exists(), "no start at login by default")


def case_monitor(s):
    link = STATE["monitor_link"]
    target, start_in = linux(s, link["target"]), linux(s, link["start_in"])
    prog = s.run(target, *link["arguments"].split(), cwd=start_in)
    dlg = s.drive.wait_window(title=SETTINGS_TITLE, timeout=90)
    win = confirm_settings(s, dlg)
    start_acquisition(s, win)
    m = Meter(s.ports["COM1"])
    m.send(m.line([5.0] * 12), taken=False)
    for k in range(3):
        m.send(m.line([18.5 + k + c for c in range(12)]))
    log = wait_for(lambda: log_files(s, work=start_in), 30, "a log in the installed folder")[0]
    wait_rows(log, 3, 3)
    check((start_in / "zk47.cfg").is_file(), "zk47.cfg in the installed folder")
    (start_in / "zksrv.cfg").write_bytes(b"5123")  # as the server command leaves it
    STATE.update(prog=prog, win=win, log=log)


def case_running(s):
    d = s.drive
    before = folder_state(s)
    entry = uninstall_entry(s)
    equal(run_wine(s, installer(VERSION), "/S"), 2, "a silent upgrade while the monitor runs")
    equal(run_wine(s, linux(s, FOLDER + r"\uninstall.exe"), "/S", "_?=" + FOLDER), 2,
          "a silent uninstall while the monitor runs")
    for program, args in ((installer(VERSION), ()), (linux(s, FOLDER + r"\uninstall.exe"), ())):
        prog = s.run(program, *args)
        box = d.msgbox(timeout=60)
        equal(box["text"], RUNNING_TEXT, f"{program.name}: the box while the monitor runs")
        d.msgbox(press=2, timeout=30)  # Cancel
        prog.wait(60)
    equal(folder_state(s), before, "the folder after the refusals")
    equal(uninstall_entry(s), entry, "the uninstall entry after the refusals")
    code, _ = close_monitor(s, STATE["win"], STATE["prog"])
    equal(code, 0, "the monitor's exit code")
    STATE["kept"] = {k: v for k, v in folder_state(s).items() if k in KEPT_FILES or k.startswith("data/")}
    check(len(STATE["kept"]) >= 5, f"the operator's files: {sorted(STATE['kept'])}")


def case_upgrade(s):
    equal(run_wine(s, installer(VERSION), "/S", "/AUTOSTART"), 0, "the upgrade's exit code")
    check_installed(s, VERSION)
    now = folder_state(s)
    equal({k: now.get(k) for k in STATE["kept"]}, STATE["kept"], "settings and logs after the upgrade")
    auto = read_shortcut((menu(s) / "StartUp" / "Монитор ZK-47.lnk").read_bytes())
    equal((auto["target"], auto["arguments"], auto["start_in"]), (FOLDER + r"\zk47.exe", "--autostart", FOLDER),
          "the login shortcut")


def case_uninstall(s):
    d = s.drive
    quiet = uninstall_entry(s)["QuietUninstallString"]
    program, flag = quiet.rsplit(" ", 1)
    prog = s.run(linux(s, program.strip('"')), flag)
    windows = []
    root = linux(s, FOLDER)

    def finished():
        windows.extend(w for w in d.windows() if w["class"] != MAIN_CLASS)
        running = [p for p in d.processes() if p["exe"].lower() in ("au_.exe", "uninstall.exe")]
        return not running and not (root / "uninstall.exe").exists()

    wait_for(finished, 120, "the silent uninstall")
    prog.wait(30)
    equal(windows, [], "windows during the silent uninstall")
    equal(sorted(folder_state(s)), sorted(STATE["kept"]), "what the uninstall leaves")
    equal({k: v for k, v in folder_state(s).items()}, STATE["kept"], "settings and logs after the uninstall")
    check(not (menu(s) / "ZK-47").exists(), "the Start-menu folder removed")
    check(not (menu(s) / "StartUp" / "Монитор ZK-47.lnk").exists(), "the login shortcut removed")
    equal(uninstall_entry(s), {}, "the uninstall entry removed")


def case_uninstall_window(s):
    d = s.drive
    equal(run_wine(s, installer(VERSION), "/S", "/D=" + FOLDER), 0, "installed once more")
    prog = s.run(linux(s, FOLDER + r"\uninstall.exe"))
    wizard = d.wait_window(title_prefix="Удаление", timeout=60)
    d.click(wizard, 1)  # Удалить
    ask = wait_for(lambda: [w for w in d.windows(title_prefix="Удаление") if w["hwnd"] != wizard["hwnd"]],
                   60, "the uninstaller's word on what it left")[0]
    box = d.msgbox(hwnd=ask["hwnd"], press="ok", timeout=30)
    equal(box["text"], "Программы удалены.\nНастройки (zk47.cfg, zksrv.cfg) и журналы (папка data) "
                       "оставлены в папке C:\\ZK47.", "the uninstaller's box")
    d.wait_text(wizard, 1, "&Закрыть", timeout=60)
    d.click(wizard, 1)
    wait_for(lambda: not d.windows(title_prefix="Удаление"), 60, "the uninstaller to close")
    prog.wait(30)
    equal(folder_state(s), STATE["kept"], "what the uninstall leaves")


CASES = {"install": case_install, "monitor": case_monitor, "running": case_running,
         "upgrade": case_upgrade, "uninstall": case_uninstall, "uninstall_window": case_uninstall_window}

if __name__ == "__main__":
    raise SystemExit(run_session("installer", CASES, setup))
