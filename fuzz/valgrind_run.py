"""A short run for valgrind memcheck: every seed document of each format
(examples, real documents, conformance files), whole and cut in half, so
that success and failure paths both run.

    PYTHONMALLOC=malloc valgrind --error-exitcode=1 python fuzz/valgrind_run.py
"""

from __future__ import annotations

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import checks  # noqa: E402
import seeds  # noqa: E402


def configparser_readers():
    """The configparser-compatible reader under each compared option set."""
    from quorvane.ini import _parse_raw

    def reader(options):
        return lambda data: _parse_raw(data.decode("utf-8", "replace"), **options)
    return [reader(options) for options in checks.CONFIGPARSER_OPTIONS]


def main() -> None:
    total = failed = 0
    readers = [(fmt, parse) for fmt, parse in checks.PARSERS.items()]
    readers += [("configparser", parse) for parse in configparser_readers()]
    for fmt, parse in readers:
        for doc in seeds.sources(fmt):
            for text in (doc, doc[: len(doc) // 2]):
                total += 1
                try:
                    parse(text)
                except (ValueError, MemoryError):
                    failed += 1
    print(f"parsed {total} documents, {failed} refused")


if __name__ == "__main__":
    main()
