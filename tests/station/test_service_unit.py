"""The station's systemd user unit, tools/zk47-station.service: once @ROOT@ is replaced by the
project's folder, systemd's own checker accepts it without a word (it runs here without systemd
as PID 1, given a runtime folder of its own), it starts the run command from that folder, and
systemd restarts it when the run command ends with an error."""

import configparser
import os
import shlex
import subprocess
import sys
import tempfile
from pathlib import Path

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, str(Path(__file__).resolve().parent.parent))  # tests/
from zk47test import station as stationlib  # noqa: E402
from zk47test.monitor import check  # noqa: E402

ROOT = Path(stationlib.ROOT)
UNIT = ROOT / "tools" / "zk47-station.service"


def main():
    text = UNIT.read_text()
    check("@ROOT@" in text, "the unit has no @ROOT@ to replace")
    with tempfile.TemporaryDirectory(prefix="zk47-unit-") as tmp:
        runtime = Path(tmp) / "runtime"
        runtime.mkdir(mode=0o700)
        unit = Path(tmp) / UNIT.name
        unit.write_text(text.replace("@ROOT@", str(ROOT)))
        env = dict(os.environ, XDG_RUNTIME_DIR=str(runtime), SYSTEMD_LOG_COLOR="0")
        r = subprocess.run(["systemd-analyze", "--user", "verify", str(unit)], env=env,
                           capture_output=True, text=True, timeout=120)
        # Settings it cannot parse are only warned about: any word from it is a failure.
        check(r.returncode == 0 and not (r.stdout + r.stderr).strip(),
              f"systemd-analyze verify: {r.returncode}\n{r.stdout}{r.stderr}")

    unit = configparser.ConfigParser(strict=False, interpolation=None)
    unit.optionxform = str
    unit.read_string(text.replace("@ROOT@", str(ROOT)))
    service = unit["Service"]
    check(service.get("Restart") == "on-failure", f"Restart={service.get('Restart')}")
    check(shlex.split(service.get("ExecStart", ""))[:2] == ["/bin/bash", str(ROOT / "tools" / "run-station.sh")],
          f"ExecStart={service.get('ExecStart')}")
    print("service unit: accepted by systemd-analyze verify")
    return 0


if __name__ == "__main__":
    sys.exit(main())
