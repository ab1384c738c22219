"""Parsing with spans (quorvane.loads_with_spans) against the plain parse
(quorvane.loads) and the standard library's readers without spans, on the
real TOML and JSON documents, side by side in one process.

The bounds spans are held to: at most twice the plain parse's time on every
file, and faster than tomllib by 10x and than json by 1.5x (geometric
means).  The last lines say whether they hold here.
"""

from __future__ import annotations

import json
import sys
import time
import tomllib
from pathlib import Path
from typing import Callable

sys.path.insert(0, str(Path(__file__).resolve().parent))

from _common import DATA, geomean, min_time, print_table  # noqa: E402

ROUNDS = 31


def paired(fns: dict[str, Callable[[], object]]) -> dict[str, float]:
    """Best time of one call of each function, the batches of all of them
    taken in turn, round after round, so that a change of the machine's
    load falls on all of them alike."""
    numbers = {name: max(1, round(0.005 / min_time(fn, repeat=1, budget=0.005)))
               for name, fn in fns.items()}
    best = dict.fromkeys(fns, float("inf"))
    for _ in range(ROUNDS):
        for name, fn in fns.items():
            n = numbers[name]
            t0 = time.perf_counter()
            for _ in range(n):
                fn()
            best[name] = min(best[name], (time.perf_counter() - t0) / n)
    return best

FOLDERS = (("toml", "toml", "tomllib", tomllib.loads), ("json", "json", "json", json.loads),
           ("json-config", "json", "json", json.loads))


def run() -> None:
    import quorvane

    ours = "with spans"
    rows, worst, peers = [], 0.0, {}
    for folder, fmt, peer, peer_loads in FOLDERS:
        for path in sorted((DATA / folder).glob("*")):
            text = path.read_text(encoding="utf-8")
            times = paired({ours: lambda: quorvane.loads_with_spans(text, fmt),
                            "plain": lambda: quorvane.loads(text, fmt),
                            peer: lambda: peer_loads(text)})
            rows.append((f"{folder}/{path.name}", times))
            worst = max(worst, times[ours] / times["plain"])
            peers.setdefault(peer, []).append(times[peer] / times[ours])
    print_table("spans", ours, rows)
    print(f"\nslowest with spans: {worst:.2f}x the plain parse (bound: 2x)")
    for peer, bound in (("tomllib", 10.0), ("json", 1.5)):
        mean = geomean(peers.get(peer, []))
        print(f"{peer} without spans / with spans: {mean:.2f}x (bound: {bound}x or more)")


if __name__ == "__main__":
    run()
