"""parse_json against the JSON readers of the interpreter and its peers.

    python bench/bench_json.py [--rounds N] [--runs K] [--callgrind]

Every reader gets the same bytes (and then the same str), side by side in
one process; the tables show each peer's best time divided by ours.  The
rounds interleave the readers and each keeps its best round, so a burst of
load from elsewhere on the machine slows them alike; on a shared machine
raise --rounds.  --runs repeats the whole measurement (the goals must hold
on runs in a row) and ends with each run's ratio to orjson against the
goal: at least 1.15x with bytes and 1.10x with str input.

--callgrind counts instead the instructions of one parse under valgrind's
callgrind, ours (the reader's C entry point) and orjson's (its `loads`),
with PYTHONHASHSEED=0 so that runs compare; the goal is at most 0.87x of
orjson's count on each file.  Counts do not depend on the machine's load.
"""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from _common import DATA, callgrind_count, installed, min_time, print_table  # noqa: E402

import _quorvane  # noqa: E402

FILES = ("twitter.json", "citm_catalog.json", "canada.json")
ROUNDS = 9
# The goals against orjson: its time over ours, our instructions over its.
GOAL_TIME = {"bytes": 1.15, "str": 1.10}
GOAL_INSTRUCTIONS = 0.87


def _readers() -> dict[str, object]:
    readers: dict[str, object] = {"quorvane": _quorvane.parse_json, "json": json.loads}
    readers.update(installed({"orjson": "orjson:loads", "msgspec": "msgspec.json:decode",
                              "ujson": "ujson:loads"}))
    return readers


def measure(rounds: int = ROUNDS) -> dict[str, list]:
    """{"bytes"|"str": [(file name, {reader: best seconds})]}"""
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
            times: dict[str, float] = {}
            for _ in range(rounds):
                for label, fn in readers.items():
                    t = min_time(lambda fn=fn: fn(doc), repeat=2, budget=0.08)
                    times[label] = min(t, times.get(label, t))
            tables[kind].append((name, times))
    return tables


def run(rounds: int = ROUNDS) -> dict[str, list]:
    tables = measure(rounds)
    print_table("JSON, bytes input", "quorvane", tables["bytes"])
    print_table("JSON, str input", "quorvane", tables["str"])
    return tables


def _against_orjson(runs: list[dict[str, list]]) -> None:
    print("\n## orjson's time over quorvane's, run by run (goal: bytes >= "
          f"{GOAL_TIME['bytes']:.2f}x, str >= {GOAL_TIME['str']:.2f}x)\n")
    print("| input | file | " + " | ".join(f"run {i + 1}" for i in range(len(runs))) + " | goal |")
    print("|---|---|" + "---:|" * len(runs) + "---|")
    for kind, goal in GOAL_TIME.items():
        for row, name in enumerate(name for name, _ in runs[0][kind]):
            ratios = [r[kind][row][1]["orjson"] / r[kind][row][1]["quorvane"] for r in runs]
            met = "met" if min(ratios) >= goal else "not met"
            print(f"| {kind} | {name} | " + " | ".join(f"{x:.2f}x" for x in ratios)
                  + f" | {met} |")


# One valgrind run: the file read, then `repeat` parses with only the
# reader's own function (and what it calls) counted.
_CG_SCRIPT = """
import sys
sys.path[:0] = {path!r}
import _quorvane, orjson
doc = open({file!r}, "rb").read()
for _ in range({repeat}):
    {call}
"""
_CG_READERS = {
    "quorvane": ("*quorvane_parse_json_text*", "_quorvane.parse_json(doc)"),
    "orjson": ("loads", "orjson.loads(doc)"),
}


def _instructions(reader: str, file: Path, repeat: int) -> int:
    pattern, call = _CG_READERS[reader]
    code = _CG_SCRIPT.format(path=sys.path, file=str(file), repeat=repeat, call=call)
    counted = callgrind_count(code, pattern, repeat)
    assert counted is not None
    return counted


def callgrind(repeat: int = 3) -> None:
    print(f"\n## instructions per parse, bytes input (goal: at most {GOAL_INSTRUCTIONS:.2f}x"
          " orjson's)\n")
    print("| file | quorvane | orjson | ratio | goal |")
    print("|---|---:|---:|---:|---|")
    for name in FILES:
        path = DATA / "json" / name
        if not path.exists():
            continue
        ours = _instructions("quorvane", path, repeat)
        theirs = _instructions("orjson", path, repeat)
        met = "met" if ours <= GOAL_INSTRUCTIONS * theirs else "not met"
        print(f"| {name} | {ours:,} | {theirs:,} | {ours / theirs:.3f}x | {met} |", flush=True)


def main(argv: list[str] | None = None) -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=ROUNDS)
    ap.add_argument("--runs", type=int, default=1)
    ap.add_argument("--callgrind", action="store_true")
    args = ap.parse_args(argv)
    if args.callgrind:
        callgrind()
        return
    runs = [run(args.rounds) for _ in range(args.runs)]
    rows = runs[0]["bytes"]
    if rows and "orjson" in rows[0][1]:
        _against_orjson(runs)


if __name__ == "__main__":
    main()
