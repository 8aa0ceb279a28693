"""A probe of the Wine under which the monitor runs: the memory a process keeps when every
dialog comes from a thread of its own (the monitor's alerts once did), beside one long-lived
thread showing them all (what the monitor does now). Prints each mode's working set on the way
and its growth after the first dialog; fails only when the probe cannot run.
A Wine that shows about the same growth for both no longer charges a thread per dialog.
"""

import sys
import time
from pathlib import Path

sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parent.parent))  # tests/, home of zk47test
from zk47test import harness  # noqa: E402

DIALOGS = 300


def probe(s, mode):
    t0 = time.monotonic()
    prog = s.run("probe_alert.exe", mode, DIALOGS)
    rc = prog.wait(240)
    if rc != 0:
        raise AssertionError(f"probe_alert {mode}: exit code {rc}; {prog.errors()!r}")
    points = [tuple(map(int, line.split()[1:])) for line in prog.output().decode().splitlines()
              if line.startswith(mode + " ")]
    if len(points) != 6:
        raise AssertionError(f"probe_alert {mode}: {prog.output()!r}")
    growth = points[-1][1] - points[0][1]
    print(f"{mode}: working set {', '.join(f'{kb} KB' for _, kb in points)} at "
          f"{', '.join(str(c) for c, _ in points)} dialogs; {growth} KB over {DIALOGS} dialogs "
          f"({time.monotonic() - t0:.1f} s)", flush=True)
    return growth


def main():
    with harness.Session("wine-alert") as s:
        figures = {mode: probe(s, mode) for mode in ("threads", "one")}
    print(f"Wine keeps {figures['threads']} KB over {DIALOGS} dialogs from a thread each and "
          f"{figures['one']} KB from one thread", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
