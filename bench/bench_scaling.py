"""Parse time against document size: 5 MB and 50 MB of each format.

A parser without quadratic paths takes about ten times as long for ten
times the bytes.  Documents are generated: many tables, keys, strings with
escapes and numbers, in the shapes real configuration files have.
"""

from __future__ import annotations

import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _quorvane  # noqa: E402

MB = 2**20


def json_doc(size: int) -> bytes:
    item = ('{"id": %d, "name": "item \\u00e9 %d", "tags": ["a", "b\\n"], '
            '"price": %d.25, "ok": true, "meta": {"k": null}}')
    parts, total, i = [], 2, 0
    while total < size:
        s = item % (i, i, i)
        parts.append(s)
        total += len(s) + 1
        i += 1
    return ("[" + ",".join(parts) + "]").encode()


def toml_doc(size: int) -> bytes:
    item = ('[[package]]\nname = "pkg-%d"\nversion = "1.%d.0"\nsource = "registry+https://x"\n'
            'checksum = "%064x"\ndependencies = ["a %d", "b"]\nmeta.size = %d\n\n')
    parts, total, i = [], 0, 0
    while total < size:
        s = item % (i, i, i, i, i)
        parts.append(s)
        total += len(s)
        i += 1
    return "".join(parts).encode()


def ini_doc(size: int) -> bytes:
    item = "[section %d]\nname = value %d\npath: /srv/data/%d\nquoted = \"  x  \"\n; note\n\n"
    parts, total, i = [], 0, 0
    while total < size:
        s = item % (i, i, i)
        parts.append(s)
        total += len(s)
        i += 1
    return "".join(parts).encode()


def best_of(fn, data: bytes, repeat: int = 3) -> float:
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn(data)
        best = min(best, time.perf_counter() - t0)
    return best


def run() -> None:
    print("\n## Scaling: parse time of 5 MB and 50 MB documents\n")
    print("| format | 5 MB (ms) | 50 MB (ms) | ratio (10 is linear) | MB/s at 50 MB |")
    print("|---|---:|---:|---:|---:|")
    for fmt, make, parse in (("json", json_doc, _quorvane.parse_json),
                             ("toml", toml_doc, _quorvane.parse_toml),
                             ("ini", ini_doc, _quorvane.parse_ini)):
        small, big = make(5 * MB), make(50 * MB)
        t_small, t_big = best_of(parse, small), best_of(parse, big)
        print(f"| {fmt} | {t_small * 1e3:.1f} | {t_big * 1e3:.1f} | "
              f"{t_big / t_small:.1f} | {len(big) / MB / t_big:.0f} |")


if __name__ == "__main__":
    run()
