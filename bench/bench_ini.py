"""parse_ini against configparser on the real INI files both can read."""

from __future__ import annotations

import configparser
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from _common import DATA, min_time, print_table  # noqa: E402

from _quorvane import parse_ini  # noqa: E402


def configparser_loads(text: str) -> configparser.ConfigParser:
    cp = configparser.ConfigParser(interpolation=None, strict=False)
    cp.read_string(text)
    return cp


def readable_by_both(path: Path) -> str | None:
    try:
        text = path.read_text(encoding="utf-8")
        parse_ini(text)
        configparser_loads(text)
    except (ValueError, configparser.Error):
        return None
    return text


def run() -> None:
    rows = []
    for path in sorted((DATA / "ini").glob("*")):
        text = readable_by_both(path)
        if text is None:
            continue
        rows.append((path.name, {
            "quorvane": min_time(lambda: parse_ini(text)),
            "configparser": min_time(lambda: configparser_loads(text)),
        }))
    if not rows:
        print(f"no INI files under {DATA / 'ini'}")
        return
    print_table("INI", "quorvane", rows)


if __name__ == "__main__":
    run()
