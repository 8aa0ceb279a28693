"""The operator manual (docs/ru): its sections, its pictures and its PDF, and above all that its
"Сообщения оператору" names every text the programs show: the Russian texts of the monitor, of
its resources and of the gnuplot launcher, the installer's boxes, and the console texts of the
data server and the relay, all read from the sources. A text with a variable part (a path, a
count) is checked by its fixed parts."""

import html
import re
import sys
from pathlib import Path

sys.dont_write_bytecode = True
HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))  # tests/, home of zk47test
from zk47test.monitor import check, equal  # noqa: E402

ROOT = HERE.parent.parent
MANUAL = ROOT / "docs" / "ru" / "operator-manual.html"
SECTIONS = ["Аннотация", "Содержание", "1. Назначение программы", "2. Условия выполнения программы",
            "3. Выполнение программы", "4. Сообщения оператору"]
# Russian texts of these files are shown on screen (the logs' headers are file contents).
SHOWN = ["monitor/*.cpp", "monitor/*.h", "acquisition/*.cpp", "pipeline/*.cpp", "sharing/*.cpp",
         "core/settings.cpp", "tools/wgnuplot/*.cpp"]
CONSOLE = ["relay/*.cpp", "server/*.cpp"]
CYRILLIC = re.compile("[А-Яа-яЁё]")
LITERAL = re.compile(r'L?"((?:[^"\\\n]|\\.)*)"')
CONSOLE_CALL = re.compile(r'(?:printf|report|prompt|read_port)\(\s*(?:stderr,\s*)?"((?:[^"\\\n]|\\.)*)"')
FORMAT = re.compile(r"%[-+ #0]*(?:\d+|\*)?(?:\.(?:\d+|\*))?[a-z]")


def words(text):
    return " ".join(text.split())


def fragments(text, breaks):
    """The fixed parts of a text between its line breaks and variable parts, with letters."""
    return [words(p).strip(" .,:(") for p in re.split(breaks, text) if len(re.findall(r"\w", p)) >= 3]


def program_texts():
    found = {}
    for pattern in SHOWN:
        for f in sorted(ROOT.glob(pattern)):
            for line in f.read_text("utf-8").splitlines():
                if line.lstrip().startswith("//"):
                    continue
                for lit in LITERAL.findall(line):
                    if CYRILLIC.search(lit):
                        for part in fragments(lit, r"\\n"):
                            found.setdefault(part, f.relative_to(ROOT))
    rc = ROOT / "monitor" / "zk47.rc"
    for lit in LITERAL.findall(rc.read_text("utf-8")):
        if CYRILLIC.search(lit):
            found.setdefault(words(lit).strip(), rc.relative_to(ROOT))
    for f in sorted(f for pattern in CONSOLE for f in ROOT.glob(pattern)):
        for lit in CONSOLE_CALL.findall(f.read_text("utf-8")):
            for part in fragments(lit, r"\\n|" + FORMAT.pattern):
                found.setdefault(part, f.relative_to(ROOT))
    nsi = ROOT / "tools" / "release" / "zk47.nsi"
    text = nsi.read_text("utf-8")
    defines = dict(re.findall(r'^!define (\w+) "([^"]*)"', text, re.M))
    for lit in re.findall(r'^\s*(?:MessageBox \S+|DetailPrint) "([^"]*)"', text, re.M):
        lit = re.sub(r"\$\{(\w+)\}", lambda m: defines.get(m.group(1), m.group(0)), lit)
        for part in fragments(lit, r"\$\\n|\$\w+"):
            found.setdefault(part, nsi.relative_to(ROOT))
    return found


def manual_text(source, section_id=None):
    if section_id:
        m = re.search(rf'<section id="{section_id}">(.*?)</section>', source, re.S)
        check(m, f"the section {section_id} in the manual")
        source = m.group(1)
    return words(html.unescape(re.sub(r"<[^>]+>", " ", source)))


def missing(texts, section):
    return sorted(t for t in texts if t not in section)


def main():
    source = MANUAL.read_text("utf-8")
    headings = [manual_text(h) for h in re.findall(r"<h2[^>]*>(.*?)</h2>", source, re.S)]
    equal(headings, SECTIONS, "the manual's sections")

    texts = program_texts()
    check(len(texts) >= 60, f"only {len(texts)} texts found in the sources")
    section = manual_text(source, "operator-messages")
    absent = missing(texts, section)
    equal([(t, str(texts[t])) for t in absent], [], "texts missing from the operator messages")
    # The check itself catches a text taken out of the section.
    some = "Невозможно открыть посл.порт"
    equal(missing(texts, section.replace(some, "")), [some], "a removed message is noticed")

    pictures = re.findall(r'<img src="([^"]+)"', source)
    check(len(pictures) >= 4, "the manual's pictures")
    for p in pictures:
        check((MANUAL.parent / p).is_file(), f"picture {p}")
    pdf = (MANUAL.parent / "operator-manual.pdf").read_bytes()
    pages = len(re.findall(rb"/Type\s*/Page[^s]", pdf))
    check(pdf.startswith(b"%PDF") and pages >= 5, f"the PDF ({pages} pages)")
    print(f"manual: {len(texts)} program texts all in its operator messages, {len(pictures)} pictures, "
          f"PDF of {pages} pages")


if __name__ == "__main__":
    main()
