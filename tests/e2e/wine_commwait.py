"""A probe of the Wine under which the monitor runs: the memory a process keeps per overlapped
WaitCommEvent on a quiet serial port, beside the ClearCommError query that the serial reader
makes instead under Wine. Prints the growth of each per 1,000 calls, the slope of the working set
from the first fifth of the calls on (the first ones fill caches); fails only when the probe
cannot run.
A Wine that no longer keeps memory per wait shows about 0 for both: the serial reader's
polling under Wine can then go.
"""

import sys
import time
from pathlib import Path

sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parent.parent))  # tests/, home of zk47test
from zk47test import harness  # noqa: E402

CALLS = {"wait": 5000, "poll": 5000}


def probe(s, mode, calls):
    t0 = time.monotonic()
    prog = s.run("probe_commwait.exe", "COM1", mode, calls)
    rc = prog.wait(180)
    if rc != 0:
        raise AssertionError(f"probe_commwait {mode}: exit code {rc}; {prog.errors()!r}")
    points = [tuple(map(int, line.split()[1:])) for line in prog.output().decode().splitlines()
              if line.startswith(mode + " ")]
    if len(points) != 6:
        raise AssertionError(f"probe_commwait {mode}: {prog.output()!r}")
    # Least squares over the points after the first fifth: one trim of the heap moves it less.
    late = points[1:]
    mc = sum(c for c, _ in late) / len(late)
    mk = sum(kb for _, kb in late) / len(late)
    per_1000 = 1000 * sum((c - mc) * (kb - mk) for c, kb in late) / sum((c - mc) ** 2 for c, _ in late)
    c0 = late[0][0]
    print(f"{mode}: working set {', '.join(f'{kb} KB' for _, kb in points)} at "
          f"{', '.join(str(c) for c, _ in points)} calls; {per_1000:.0f} KB per 1,000 calls "
          f"after the first {c0} ({time.monotonic() - t0:.1f} s)", flush=True)
    return per_1000


def main():
    with harness.Session("wine-commwait", display=False) as s:
        s.add_serial("COM1")
        figures = {mode: probe(s, mode, n) for mode, n in CALLS.items()}
    print(f"Wine keeps {figures['wait']:.0f} KB per 1,000 comm waits and "
          f"{figures['poll']:.0f} KB per 1,000 queue queries", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
