"""INI on the real files: the dialect reader (parse_ini) against configparser,
and the configparser-compatible reader (quorvane.ini) against configparser
(read_string plus building the same dict) and against the dialect reader."""

from __future__ import annotations

import configparser
import sys
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

from _common import DATA, min_time, print_table  # noqa: E402

from _quorvane import parse_ini  # noqa: E402
from quorvane import ini  # noqa: E402

# The options each file is read with by both configparser readers: the
# first set configparser accepts it under.
OPTION_SETS: list[dict[str, Any]] = [
    {},
    {"strict": False, "allow_no_value": True},
    {"strict": False, "allow_no_value": True, "allow_unnamed_section": True},
]


def configparser_loads(text: str) -> configparser.ConfigParser:
    cp = configparser.ConfigParser(interpolation=None, strict=False)
    cp.read_string(text)
    return cp


def configparser_tree(text: str, options: dict[str, Any]) -> dict[Any, Any]:
    cp = configparser.ConfigParser(interpolation=None, **options)
    cp.read_string(text)
    return {name: dict(cp[name]) for name in cp}


def text_of(path: Path) -> str | None:
    data = path.read_bytes()
    try:
        return data.decode("utf-16") if data.startswith(b"\xff\xfe") else data.decode("utf-8")
    except UnicodeDecodeError:
        return None


def reads(fn: Any, *args: Any) -> bool:
    try:
        fn(*args)
    except (ValueError, configparser.Error):
        return False
    return True


def run() -> None:
    dialect_rows, std_rows = [], []
    for path in sorted((DATA / "ini").glob("*")):
        text = text_of(path)
        if text is None:
            continue
        dialect = reads(parse_ini, text)
        if dialect and reads(configparser_loads, text):
            dialect_rows.append((path.name, {
                "quorvane": min_time(lambda: parse_ini(text)),
                "configparser": min_time(lambda: configparser_loads(text)),
            }))
        options = next((o for o in OPTION_SETS if reads(configparser_tree, text, o)), None)
        if options is None:
            continue
        assert ini.loads(text, **options) == configparser_tree(text, options), path
        times = {
            "quorvane.ini": min_time(lambda: ini.loads(text, **options)),
            "configparser": min_time(lambda: configparser_tree(text, options)),
        }
        if dialect:
            times["dialect parse_ini"] = min_time(lambda: parse_ini(text))
        std_rows.append((path.name + ("" if not options else " *"), times))
    if not dialect_rows and not std_rows:
        print(f"no INI files under {DATA / 'ini'}")
        return
    print_table("INI", "quorvane", dialect_rows)
    print_table("INI as configparser reads it (* lenient options)", "quorvane.ini", std_rows)


if __name__ == "__main__":
    run()
