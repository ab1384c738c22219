"""Timing helpers shared by the per-format benchmarks.

Every parser is timed side by side in one process on the same input, and
the minimum over several repeats is kept: the minimum is the run least
disturbed by the rest of the machine.
"""

from __future__ import annotations

import importlib
import math
import os
import random
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable, Iterable, TypeVar

T = TypeVar("T")

ROOT = Path(__file__).resolve().parents[1]
DATA = Path(os.environ.get("QUORVANE_DATA", ROOT.parent / "shared" / "data")) / "bench"


def installed(peers: dict[str, str]) -> dict[str, Callable[..., object]]:
    """The peers that import here, from {label: "module:function"}."""
    found: dict[str, Callable[..., object]] = {}
    for label, target in peers.items():
        module, _, attr = target.partition(":")
        try:
            found[label] = getattr(importlib.import_module(module), attr)
        except ImportError:
            pass
    return found


def callgrind_count(code: str, pattern: str, repeat: int) -> int | None:
    """The instructions callgrind counts inside the functions matching
    `pattern` while `code` runs in a fresh interpreter (PYTHONHASHSEED=0, so
    that runs compare), divided by `repeat`; None when the code exits with
    status 3 (its way to say there is nothing to count)."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        done = subprocess.run(["valgrind", "--tool=callgrind", "--collect-atstart=no",
                               f"--toggle-collect={pattern}", f"--callgrind-out-file={out}",
                               sys.executable, "-c", code],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              env=dict(os.environ, PYTHONHASHSEED="0"))
        if done.returncode == 3:
            return None
        done.check_returncode()
        for line in open(out):
            m = re.match(r"(?:summary|totals):\s+(\d+)", line)
            if m:
                return int(m.group(1)) // repeat
    raise RuntimeError(f"callgrind gave no totals for {pattern}")


def _batch(fn: Callable[[], object], number: int) -> float:
    t0 = time.perf_counter()
    for _ in range(number):
        fn()
    return (time.perf_counter() - t0) / number


def _calibrate(fn: Callable[[], object], target: float) -> tuple[int, float]:
    """The batch size whose batch takes at least `target` seconds, and that
    batch's time per call."""
    fn()  # warm-up, and a failure shows here rather than in the numbers
    number = 1
    while True:
        per_call = _batch(fn, number)
        if per_call * number >= target or number >= 1 << 20:
            return number, per_call
        number *= 2


def min_time(fn: Callable[[], object], repeat: int = 7, budget: float = 0.2) -> float:
    """Best time of one call, in seconds, over `repeat` batches of calls."""
    number, best = _calibrate(fn, budget / repeat)
    for _ in range(repeat - 1):
        best = min(best, _batch(fn, number))
    return best


def min_times(fns: dict[str, Callable[[], object]], repeat: int = 15,
              budget: float = 0.3) -> dict[str, float]:
    """Best time of one call of each, in seconds, their batches taken in
    turn: a spell of a slower machine then falls on every one of them
    alike, not on whichever ran during it."""
    sizes = {label: _calibrate(fn, budget / repeat) for label, fn in fns.items()}
    best = {label: per_call for label, (_, per_call) in sizes.items()}
    for _ in range(repeat - 1):
        for label, fn in fns.items():
            best[label] = min(best[label], _batch(fn, sizes[label][0]))
    return best


def geomean(values: Iterable[float]) -> float:
    vals = list(values)
    return math.exp(sum(math.log(v) for v in vals) / len(vals)) if vals else float("nan")


# Every table printed in this process, for bench/run.py to save and chart.
RESULTS: list[dict[str, object]] = []


def print_table(title: str, ours: str, rows: list[tuple[str, dict[str, float]]]) -> None:
    """rows: (file name, {parser name: seconds}); ratios are peer / ours."""
    RESULTS.append({"title": title, "ours": ours,
                    "rows": [{"file": name, "times": times} for name, times in rows]})
    peers = sorted({p for _, t in rows for p in t if p != ours})
    print(f"\n## {title}: time of each peer divided by {ours}'s (higher is better)\n")
    print("| file | " + ours + " (ms) | " + " | ".join(peers) + " |")
    print("|---|---:|" + "---:|" * len(peers))
    ratios: dict[str, list[float]] = {p: [] for p in peers}
    for name, times in rows:
        cells = []
        for p in peers:
            if p in times:
                r = times[p] / times[ours]
                ratios[p].append(r)
                cells.append(f"{r:.2f}x")
            else:
                cells.append("-")
        print(f"| {name} | {times[ours] * 1e3:.3f} | " + " | ".join(cells) + " |")
    print("| geometric mean | | " + " | ".join(
        f"{geomean(ratios[p]):.2f}x" if ratios[p] else "-" for p in peers) + " |")


def count_and_seed(argv: list[str], count: int) -> tuple[int, int]:
    """The checks' command line: [COUNT] [--seed N] (count given, seed 0)."""
    argv = list(argv)
    seed = 0
    if "--seed" in argv:
        i = argv.index("--seed")
        seed = int(argv[i + 1])
        del argv[i:i + 2]
    if argv:
        count = int(argv[0])
    return count, seed


def in_batches(count: int, seed: int, draw: Callable[[random.Random], T],
               check: Callable[[list[T]], None]) -> int:
    """Checks `count` values drawn from a seeded generator, 100,000 at a time."""
    rng = random.Random(seed)
    done = 0
    while done < count:
        batch = [draw(rng) for _ in range(min(100_000, count - done))]
        check(batch)
        done += len(batch)
    return done
