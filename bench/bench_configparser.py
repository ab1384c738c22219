"""configparser's classes against quorvane.ini's, end to end on the real
INI files: a fresh parser, read_string(text) or read_file(f) of an open
text file from its start, every section's state filled (quorvane's parsers
make a section's proxy when it is first looked up: a third table reads and
then looks every section up).  Also where quorvane's time goes: making the parser
(configparser's constructor), the native reader, and filling the parser's
state from what it read.

    python bench/bench_configparser.py [--callgrind [BUILD_DIR [FILE_PREFIX ...]]]

--callgrind counts instructions instead (valgrind, PYTHONHASHSEED=0): for
each file and reading method, the instructions of one end-to-end round,
configparser's classes against quorvane.ini's from BUILD_DIR (default: the
quorvane this script imports), and the share of quorvane's round spent
making the parser, in the native reader, and filling the state.
"""

from __future__ import annotations

import configparser
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

from _common import DATA, geomean, min_time, min_times, print_table  # noqa: E402

from quorvane import _std, ini  # noqa: E402

# The first option set configparser reads the file under (the lenient ones
# are marked * in the tables).
OPTION_SETS: list[dict[str, Any]] = [
    {},
    {"strict": False, "allow_no_value": True},
    {"strict": False, "allow_no_value": True, "allow_unnamed_section": True},
]


def text_of(path: Path) -> str | None:
    data = path.read_bytes()
    try:
        return data.decode("utf-16") if data.startswith(b"\xff\xfe") else data.decode("utf-8")
    except UnicodeDecodeError:
        return None


def read_string(cls: type, options: dict[str, Any], text: str) -> Any:
    parser = cls(**options)
    parser.read_string(text)
    return parser


def read_string_and_look_up(cls: type, options: dict[str, Any], text: str) -> Any:
    # quorvane's parsers make a section's proxy when it is first looked up:
    # this round pays for all of them, as a program that reaches every
    # section through parser[name] does.
    parser = cls(**options)
    parser.read_string(text)
    for name in parser:
        parser[name]
    return parser


def read_file(cls: type, options: dict[str, Any], f: Any) -> Any:
    # The file is the caller's, opened once: read_file is timed from the
    # start of the file, not the opening of it.
    parser = cls(**options)
    f.seek(0)
    parser.read_file(f)
    return parser


def cases(only: list[str] | None = None) -> list[tuple[str, dict[str, Any], str]]:
    """(row name, options, text) of each real INI file configparser reads
    (of those whose names start with one of `only`, when given)."""
    found = []
    for path in sorted((DATA / "ini").glob("*")):
        if only and not any(path.name.startswith(o) for o in only):
            continue
        text = text_of(path)
        if text is None:
            continue
        for candidate in OPTION_SETS:
            try:
                read_string(configparser.ConfigParser, candidate, text)
            except configparser.Error:
                continue
            found.append((path.name + (" *" if candidate else ""), candidate, text))
            break
    return found


def state(parser: Any) -> Any:
    return ([(n, list(s.items())) for n, s in parser._sections.items()],
            list(parser._defaults.items()), list(parser._proxies))


def run() -> None:
    string_rows, file_rows, looked_up_rows, shares = [], [], [], []
    with tempfile.TemporaryDirectory() as tmp:
        for path in sorted((DATA / "ini").glob("*")):
            text = text_of(path)
            if text is None:
                continue
            options = None
            for candidate in OPTION_SETS:
                try:
                    read_string(configparser.ConfigParser, candidate, text)
                except configparser.Error:
                    continue
                options = candidate
                break
            if options is None:
                continue
            name = path.name + (" *" if options else "")
            copy = str(Path(tmp) / path.name)
            Path(copy).write_text(text, encoding="utf-8")
            ours = read_string(ini.ConfigParser, options, text)
            assert state(ours) == state(read_string(configparser.ConfigParser, options, text)), path
            f = open(copy, encoding="utf-8")
            assert state(read_file(ini.ConfigParser, options, f)) == state(ours), path
            strings = min_times({
                "quorvane.ini": lambda: read_string(ini.ConfigParser, options, text),
                "configparser": lambda: read_string(configparser.ConfigParser, options, text),
            })
            total = strings["quorvane.ini"]
            string_rows.append((name, strings))
            file_rows.append((name, min_times({
                "quorvane.ini": lambda: read_file(ini.ConfigParser, options, f),
                "configparser": lambda: read_file(configparser.ConfigParser, options, f),
            })))
            f.close()
            looked_up_rows.append((name, min_times({
                "quorvane.ini": lambda: read_string_and_look_up(ini.ConfigParser, options, text),
                "configparser": lambda: read_string_and_look_up(configparser.ConfigParser,
                                                                options, text),
            })))
            make = min_time(lambda: ini.ConfigParser(**options))
            args = ours._reader_options()
            native = min_time(lambda: _std.read_ini_state(text, *args))
            shares.append((name, total, make, native))
    if not string_rows:
        print(f"no INI files under {DATA / 'ini'}")
        return
    print_table("configparser classes, read_string (* lenient options)", "quorvane.ini", string_rows)
    print_table("configparser classes, read_file (* lenient options)", "quorvane.ini", file_rows)
    print_table("configparser classes, read_string then every section looked up as "
                "parser[name] (* lenient options)", "quorvane.ini", looked_up_rows)
    print("\n## quorvane.ini.ConfigParser read_string: where the time goes\n")
    print("| file | total (us) | making the parser | native reader | filling the state |")
    print("|---|---:|---:|---:|---:|")
    parts = []
    for name, total, make, native in shares:
        fill = max(total - make - native, 0.0)
        parts.append((make / total, native / total, fill / total))
        print(f"| {name} | {total * 1e6:.1f} | {make / total:.0%} | {native / total:.0%} | "
              f"{fill / total:.0%} |")
    means = [sum(p[i] for p in parts) / len(parts) for i in range(3)]
    print(f"| **mean share** | | **{means[0]:.0%}** | **{means[1]:.0%}** | **{means[2]:.0%}** |")


# One process per class and reading method: each file's rounds run inside
# one functools.reduce call, the only one of the process, so callgrind
# counts exactly them and dumps them file by file.  Small files get more
# rounds: the collector's passes, a large share of their cost, come once
# every so many new objects.
CALLGRIND_SCRIPT = """
import configparser, functools, io, sys
sys.path.insert(0, {bench!r})
sys.path.insert(0, {build!r})
import bench_configparser as b
from quorvane import _std, ini
cls = {cls}
for name, options, text in b.cases({only!r}):
    args = ini.ConfigParser(**options)._reader_options()
    {setup}
    f()
    functools.reduce(lambda _a, _b: f(), range(b.rounds(text)), None)
"""

CALLGRIND_WAYS = {
    "read_string": "f = lambda: b.read_string(cls, options, text)",
    "read_file": "f = lambda: cls(**options).read_file(io.StringIO(text))",
    "making": "f = lambda: cls(**options)",
    "reader": "f = lambda: _std.read_ini_state(text, *args)",
}


def rounds(text: str) -> int:
    return max(10, min(400, 400_000 // max(len(text), 1)))


def callgrind_counts(build: str, cls: str, way: str, only: list[str]) -> list[int]:
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        code = CALLGRIND_SCRIPT.format(bench=str(Path(__file__).resolve().parent), build=build,
                                       cls=cls, setup=CALLGRIND_WAYS[way], only=only)
        subprocess.run(["valgrind", "--tool=callgrind", "--collect-atstart=no",
                        "--toggle-collect=functools_reduce", "--dump-after=functools_reduce",
                        f"--callgrind-out-file={out}", sys.executable, "-c", code],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True,
                       env={**os.environ, "PYTHONHASHSEED": "0"})
        dumps = sorted((p for p in Path(tmp).iterdir() if p.name != "cg.out"),
                       key=lambda p: int(p.name.rsplit(".", 1)[1]))
        counts = []
        for dump, (_, _, text) in zip(dumps, cases(only)):
            for line in dump.read_text().splitlines():
                m = re.match(r"(?:summary|totals):\s+(\d+)", line)
                if m:
                    counts.append(int(m.group(1)) // rounds(text))
                    break
        return counts


def run_callgrind(build: str, only: list[str]) -> None:
    names = [name for name, _, _ in cases(only)]
    ours = "ini.ConfigParser"
    theirs = "configparser.ConfigParser"
    for way in ("read_string", "read_file"):
        q = callgrind_counts(build, ours, way, only)
        c = callgrind_counts(build, theirs, way, only)
        print(f"\n## {way}: instructions per round, configparser's over quorvane.ini's\n")
        print("| file | quorvane.ini | configparser | ratio |")
        print("|---|---:|---:|---:|")
        for name, a, b in zip(names, q, c):
            print(f"| {name} | {a:,} | {b:,} | {b / a:.1f}x |")
        print(f"| geometric mean | | | {geomean(b / a for a, b in zip(q, c)):.1f}x |")
        if way == "read_string":
            making = callgrind_counts(build, ours, "making", only)
            reader = callgrind_counts(build, ours, "reader", only)
            print("\n## quorvane.ini.ConfigParser read_string: where the instructions go\n")
            print("| file | total | making the parser | native reader | filling the state |")
            print("|---|---:|---:|---:|---:|")
            for name, total, m, r in zip(names, q, making, reader):
                fill = max(total - m - r, 0)
                print(f"| {name} | {total:,} | {m / total:.0%} | {r / total:.0%} | "
                      f"{fill / total:.0%} |")


if __name__ == "__main__":
    if "--callgrind" in sys.argv:
        rest = sys.argv[sys.argv.index("--callgrind") + 1:]
        build = os.path.abspath(rest[0]) if rest else str(Path(_std.__file__).parents[1])
        run_callgrind(build, rest[1:])
    else:
        run()
