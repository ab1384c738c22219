"""Runs the benchmarks and saves their numbers.

    python bench/run.py [ini] [json] [toml] [std_toml] [write] [--save bench/results.json]

Each format's table is printed as it completes; with --save the raw times
go to a JSON file that bench/chart.py turns into the README's chart.
"""

from __future__ import annotations

import argparse
import importlib
import json
import platform
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _common  # noqa: E402

FORMATS = ["ini", "json", "toml", "std_toml", "write"]


def main(argv: list[str]) -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("formats", nargs="*", choices=[[]] + FORMATS, default=[])
    ap.add_argument("--save", type=Path)
    args = ap.parse_args(argv)
    for fmt in args.formats or FORMATS:
        try:
            module = importlib.import_module(f"bench_{fmt}")
        except ImportError as exc:
            print(f"skipping {fmt}: {exc}")
            continue
        module.run()
    if args.save:
        meta = {"python": sys.version.split()[0], "machine": platform.machine(),
                "processor": platform.processor()}
        args.save.write_text(json.dumps({"meta": meta, "tables": _common.RESULTS}, indent=1))
        print(f"\nsaved {args.save}")


if __name__ == "__main__":
    main(sys.argv[1:])
