"""configparser's classes against quorvane.ini's, end to end on the real
INI files: a fresh parser, read_string(text) or read_file(f) of an open
text file from its start, every section's state filled.  Also where quorvane's time goes: making the parser
(configparser's constructor), the native reader, and filling the parser's
state from what it read.

    python bench/bench_configparser.py
"""

from __future__ import annotations

import configparser
import sys
import tempfile
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

from _common import DATA, geomean, min_time, print_table  # noqa: E402

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


def read_file(cls: type, options: dict[str, Any], f: Any) -> Any:
    # The file is the caller's, opened once: read_file is timed from the
    # start of the file, not the opening of it.
    parser = cls(**options)
    f.seek(0)
    parser.read_file(f)
    return parser


def state(parser: Any) -> Any:
    return ([(n, list(s.items())) for n, s in parser._sections.items()],
            list(parser._defaults.items()), list(parser._proxies))


def run() -> None:
    string_rows, file_rows, shares = [], [], []
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
            total = min_time(lambda: read_string(ini.ConfigParser, options, text))
            string_rows.append((name, {
                "quorvane.ini": total,
                "configparser": min_time(lambda: read_string(configparser.ConfigParser, options, text)),
            }))
            file_rows.append((name, {
                "quorvane.ini": min_time(lambda: read_file(ini.ConfigParser, options, f)),
                "configparser": min_time(lambda: read_file(configparser.ConfigParser, options, f)),
            }))
            f.close()
            make = min_time(lambda: ini.ConfigParser(**options))
            args = ours._reader_options()
            native = min_time(lambda: _std.read_ini_state(text, *args))
            shares.append((name, total, make, native))
    if not string_rows:
        print(f"no INI files under {DATA / 'ini'}")
        return
    print_table("configparser classes, read_string (* lenient options)", "quorvane.ini", string_rows)
    print_table("configparser classes, read_file (* lenient options)", "quorvane.ini", file_rows)
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


if __name__ == "__main__":
    run()
