"""Peak memory of a parse against the size of the tree it returns.

tracemalloc's peak during one parse, divided by the summed sizes of every
object in the resulting tree (each counted once).  Temporary buffers and
the final tree both count toward the peak, so a factor near 1 means the
parser needs little beyond the tree itself.
"""

from __future__ import annotations

import sys
import tracemalloc
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from _common import DATA  # noqa: E402

import _quorvane  # noqa: E402

PARSE = {"json": _quorvane.parse_json, "toml": _quorvane.parse_toml,
         "ini": _quorvane.parse_ini}


def tree_size(tree: object) -> int:
    seen: set[int] = set()
    total = 0
    stack = [tree]
    while stack:
        obj = stack.pop()
        if id(obj) in seen:
            continue
        seen.add(id(obj))
        total += sys.getsizeof(obj)
        if isinstance(obj, dict):
            stack.extend(obj.keys())
            stack.extend(obj.values())
        elif isinstance(obj, list):
            stack.extend(obj)
    return total


def measure(parse, data: bytes) -> tuple[int, int]:
    tracemalloc.start()
    tracemalloc.reset_peak()
    tree = parse(data)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return peak, tree_size(tree)


def run() -> None:
    print("\n## Memory: parse peak (tracemalloc) against the tree's own size\n")
    print("| file | document (KB) | tree (KB) | peak (KB) | factor |")
    print("|---|---:|---:|---:|---:|")
    for fmt, parse in PARSE.items():
        folder = DATA / fmt
        if not folder.is_dir():
            continue
        for path in sorted(folder.iterdir()):
            data = path.read_bytes()
            try:
                parse(data)
            except ValueError:
                continue
            peak, size = measure(parse, data)
            print(f"| {path.name} | {len(data) / 1024:.0f} | {size / 1024:.0f} | "
                  f"{peak / 1024:.0f} | {peak / size:.2f} |")


if __name__ == "__main__":
    run()
