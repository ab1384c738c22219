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
import tomllib
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from _common import DATA, geomean, min_time, print_table  # noqa: E402

FOLDERS = (("toml", "toml", "tomllib", tomllib.loads), ("json", "json", "json", json.loads),
           ("json-config", "json", "json", json.loads))


def run() -> None:
    import quorvane

    ours = "with spans"
    rows, worst, peers = [], 0.0, {}
    for folder, fmt, peer, peer_loads in FOLDERS:
        for path in sorted((DATA / folder).glob("*")):
            text = path.read_text(encoding="utf-8")
            times = {ours: min_time(lambda: quorvane.loads_with_spans(text, fmt)),
                     "plain": min_time(lambda: quorvane.loads(text, fmt)),
                     peer: min_time(lambda: peer_loads(text))}
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
