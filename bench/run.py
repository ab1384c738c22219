"""Runs every format's benchmark: python bench/run.py [ini] [json] [toml]"""

from __future__ import annotations

import importlib
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

FORMATS = ["ini", "json", "toml"]


def main(argv: list[str]) -> None:
    for fmt in argv or FORMATS:
        try:
            module = importlib.import_module(f"bench_{fmt}")
        except ImportError as exc:
            print(f"skipping {fmt}: {exc}")
            continue
        module.run()


if __name__ == "__main__":
    main(sys.argv[1:])
