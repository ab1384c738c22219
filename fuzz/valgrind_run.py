"""A short run for valgrind memcheck: every corpus file and the error
templates of the reliability tests, parsed once each.

    PYTHONMALLOC=malloc valgrind --error-exitcode=1 python fuzz/valgrind_run.py
"""

from __future__ import annotations

import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import test_reliability as rel  # noqa: E402


def main() -> None:
    total = 0
    for fmt, parse in rel.PARSE.items():
        docs = rel.corpus(fmt)
        rel.parse_all(parse, docs)
        total += len(docs)
    print(f"parsed {total} documents")


if __name__ == "__main__":
    main()
