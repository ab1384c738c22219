"""parse_json against the JSON readers of the interpreter and its peers.

Every reader gets the same bytes, side by side in one process; the table
shows each peer's best time divided by ours.
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from _common import DATA, installed, min_time, print_table  # noqa: E402

import _quorvane  # noqa: E402

FILES = ("twitter.json", "citm_catalog.json", "canada.json")
ROUNDS = 9


def _readers() -> dict[str, object]:
    readers: dict[str, object] = {"quorvane": _quorvane.parse_json, "json": json.loads}
    readers.update(installed({"orjson": "orjson:loads", "msgspec": "msgspec.json:decode",
                              "ujson": "ujson:loads"}))
    return readers


def run() -> None:
    readers = _readers()
    tables: dict[str, list] = {"bytes": [], "str": []}
    for name in FILES:
        path = DATA / "json" / name
        if not path.exists():
            print(f"skipped {name}: {path} not found")
            continue
        data = path.read_bytes()
        expected = json.loads(data)
        for kind, doc in (("bytes", data), ("str", data.decode())):
            for label, fn in readers.items():
                # A reader that disagrees with the interpreter is not timed.
                if fn(doc) != expected:
                    raise AssertionError(f"{label} disagrees on {name} ({kind})")
            # Rounds interleave the readers, so a burst of load from
            # elsewhere on the machine slows them alike; each keeps its
            # best round.
            times: dict[str, float] = {}
            for _ in range(ROUNDS):
                for label, fn in readers.items():
                    t = min_time(lambda fn=fn: fn(doc), repeat=2, budget=0.08)
                    times[label] = min(t, times.get(label, t))
            tables[kind].append((name, times))
    print_table("JSON, bytes input", "quorvane", tables["bytes"])
    print_table("JSON, str input", "quorvane", tables["str"])


def main() -> None:
    run()


if __name__ == "__main__":
    main()
