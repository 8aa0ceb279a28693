"""The release files as they leave the build: the portable zip holds the four programs and the
manual in one folder; every program carries its version resource (product, the project's
version, a Russian description) and no debugging sections; so does the installer."""

import os
import re
import sys
import zipfile
from pathlib import Path

sys.dont_write_bytecode = True
HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))  # tests/, home of zk47test
from zk47test.monitor import check, equal  # noqa: E402
from zk47test.release import section_names, version_strings  # noqa: E402

DIST = Path(os.environ["ZK_DIST_DIR"])
VERSION = os.environ["ZK_VERSION"]
PRODUCT = "Станция ZK-47"
PROGRAMS = ["wgnuplot.exe", "zk47.exe", "zkrelay.exe", "zksrv.exe"]
CYRILLIC = re.compile("[А-Яа-яЁё]")


def check_program(name, data, original=True):
    v = version_strings(data)
    equal((v.get("ProductName"), v.get("ProductVersion"), v.get("FileVersion")), (PRODUCT, VERSION, VERSION),
          f"{name}: product and version")
    check(CYRILLIC.search(v.get("FileDescription", "")), f"{name}: a Russian description, got {v}")
    if original:
        equal(v.get("OriginalFilename"), name, f"{name}: its file name")
    debug = [s for s in section_names(data) if s.startswith(".debug")]
    equal(debug, [], f"{name}: debugging sections")
    return v["FileDescription"]


def main():
    setup = DIST / f"zk47-setup-{VERSION}.exe"
    portable = DIST / f"zk47-{VERSION}-windows.zip"
    check(setup.is_file() and portable.is_file(), f"release files in {DIST}")
    with zipfile.ZipFile(portable) as z:
        names = [n for n in z.namelist() if not n.endswith("/")]
        top = f"zk47-{VERSION}/"
        check(all(n.startswith(top) for n in names), f"one folder in the zip: {names}")
        inside = sorted(n[len(top):] for n in names)
        equal(sorted(n for n in inside if "/" not in n), PROGRAMS, "programs in the zip")
        for doc in ("docs/operator-manual.html", "docs/operator-manual.pdf"):
            check(doc in inside, f"{doc} in the zip")
        pictures = [n for n in inside if n.startswith("docs/img/") and n.endswith(".png")]
        html = z.read(top + "docs/operator-manual.html").decode("utf-8")
        for src in re.findall(r'<img src="([^"]+)"', html):
            check("docs/" + src in inside, f"the manual's picture {src} in the zip")
        check(pictures, "the manual's pictures in the zip")
        for p in PROGRAMS:
            print(f"{p}: {check_program(p, z.read(top + p))}, {z.getinfo(top + p).file_size} bytes")
    print(f"installer: {check_program(setup.name, setup.read_bytes(), original=False)}, "
          f"{setup.stat().st_size} bytes")
    print(f"release files: {setup.name}, {portable.name} ({portable.stat().st_size} bytes)")


if __name__ == "__main__":
    main()
