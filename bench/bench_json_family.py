"""The JSON family against its peers: quorvane.json against json.loads and
parse_json on the JSON documents; the JSONC and JSON5 readers against
parse_json on the same documents (no comments in them), and against
pyjson5 and json5 on real JSONC and JSON5 files.

Every reader gets the same input side by side in one process; each table
shows each peer's best time divided by ours.

    python bench/bench_json_family.py [--callgrind [--repeat N]]

--callgrind counts instructions instead (valgrind's callgrind, only those
spent inside each reader's entry point, per call, PYTHONHASHSEED=0): the
same rows, steady on a loaded machine.
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from _common import DATA, callgrind_count, geomean, installed, min_time, print_table  # noqa: E402

import _quorvane  # noqa: E402
import quorvane  # noqa: E402
import quorvane.json as qjson  # noqa: E402
from quorvane._formats import FORMATS  # noqa: E402

FILES = ("twitter.json", "citm_catalog.json", "canada.json")
ROUNDS = 9


class _loads:
    """quorvane.loads(text, fmt) as a reader of the text alone."""

    def __init__(self, fmt: str) -> None:
        self.fmt = fmt

    def __call__(self, text):
        return quorvane.loads(text, self.fmt)


def _timed(fn, data):
    # What is timed is the call a user writes: quorvane.loads(text, fmt)
    # straight from the timing loop, one Python frame like each peer's
    # fn(data), not through a wrapper that would add a frame of its own
    # (about a quarter of a microsecond here, a tenth of a small file's read).
    if isinstance(fn, _loads):
        fmt = fn.fmt
        return lambda: quorvane.loads(data, fmt)
    return lambda: fn(data)


def _time(rows: list, name: str, readers: dict, data, rounds: int = ROUNDS,
          slow: tuple[str, ...] = ()) -> None:
    # Rounds interleave the readers, so a burst of load from elsewhere on
    # the machine slows them alike; each keeps its best round.  The slow
    # peers get one short round: they are thousands of times slower.
    times: dict[str, float] = {}
    for n in range(rounds):
        for label, fn in readers.items():
            if label in slow and n:
                continue
            t = min_time(_timed(fn, data), repeat=2 if label not in slow else 1,
                         budget=0.08 if label not in slow else 0.02)
            times[label] = min(t, times.get(label, t))
    rows.append((name, times))


def run() -> None:
    json_rows, dialect_rows = [], []
    for name in FILES:
        path = DATA / "json" / name
        if not path.exists():
            print(f"skipped {name}: {path} not found")
            continue
        data = path.read_bytes()
        expected = json.loads(data)
        readers = {"quorvane.json": qjson.loads, "json": json.loads,
                   "parse_json": _quorvane.parse_json}
        for label, fn in readers.items():
            if fn(data) != expected:
                raise AssertionError(f"{label} disagrees on {name}")
        _time(json_rows, name, readers, data)
        text = data.decode()
        dialects = {"jsonc": _loads("jsonc"), "json5": _loads("json5"),
                    "parse_json": _quorvane.parse_json}
        dialects.update(installed({"pyjson5": "pyjson5:loads"}))
        for label in ("jsonc", "json5"):
            if dialects[label](text) != expected:
                raise AssertionError(f"{label} disagrees on {name}")
            row: list = []
            _time(row, name, {label: dialects[label], "parse_json": _quorvane.parse_json,
                              **{k: v for k, v in dialects.items() if k == "pyjson5"}}, text)
            dialect_rows.append((f"{name} as {label}", row[0][1]))
    print_table("quorvane.json: JSON as json reads it", "quorvane.json", json_rows)
    # In each row, "ours" is the dialect's reader: the table's ratios are
    # against it.
    print_table("JSONC and JSON5 readers on JSON documents", "ours",
                [(n, {("ours" if k in ("jsonc", "json5") else k): v for k, v in t.items()})
                 for n, t in dialect_rows])

    real_rows = []
    peers = installed({"pyjson5": "pyjson5:loads", "json5": "json5:loads"})
    for folder, fmt in (("jsonc", "jsonc"), ("json5", "json5")):
        for path in sorted((DATA / folder).glob("*")) if (DATA / folder).is_dir() else []:
            text = path.read_text(encoding="utf-8")
            # "reader": the companion module's reader through the format's
            # parse function (a lambda that adds its options); quorvane.loads
            # calls the reader itself, natively, so the two are near alike.
            readers = {"quorvane": _loads(fmt), "reader": FORMATS[fmt].parse, **peers}
            _time(real_rows, f"{folder}/{path.name}", readers, text, rounds=5,
                  slow=("json5",))
    if real_rows:
        print_table("Real JSONC and JSON5 files", "quorvane", real_rows)
        # The same rows against the bare reader.
        print_table("Real JSONC and JSON5 files, the reader alone", "reader",
                    [(n, {k: v for k, v in t.items() if k != "quorvane"}) for n, t in real_rows])


# The process callgrind counts: a str gets its UTF-8 form made once, by
# a reader outside the counted entry points (parse_json's counted part
# takes bytes), as the timed runs have it made; then `repeat` counted calls.
_COUNTED = """
import _quorvane, quorvane, quorvane.json
from quorvane._formats import FORMATS
text = open({path!r}, encoding="utf-8").read()
if {as_bytes!r}:
    text = text.encode()
else:
    try:
        _quorvane.parse_json(text)
    except ValueError:
        pass
import {module}
call = {call}
for _ in range({repeat}):
    call(text)
"""

# label -> (the entry point callgrind counts in, its module, the call)
_ENTRY = {
    "quorvane": ("(anonymous namespace)::loads*", "quorvane",
                 "lambda t: quorvane.loads(t, {fmt!r})"),
    "reader": ("std_parse_json*", "quorvane", "FORMATS[{fmt!r}].parse"),
    "quorvane.json": ("std_parse_json*", "quorvane", "quorvane.json.loads"),
    "parse_json": ("*quorvane_parse_json_text*", "quorvane", "_quorvane.parse_json"),
    "pyjson5": ("*pyjson5*loads*", "pyjson5", "pyjson5.loads"),
}


def _instructions(label: str, path: Path, fmt: str, as_bytes: bool, repeat: int) -> int:
    pattern, module, call = _ENTRY[label]
    code = _COUNTED.format(path=str(path), as_bytes=as_bytes, module=module,
                           call=call.format(fmt=fmt), repeat=repeat)
    counted = callgrind_count(code, pattern, repeat)
    assert counted is not None
    return counted


def _print_counts(title: str, ours: str, rows: list[tuple[str, dict[str, int]]],
                  better: str = "higher") -> None:
    peers = [p for p in rows[0][1] if p != ours]
    print(f"\n## {title}: instructions of each divided by {ours}'s ({better} is better)\n")
    print(f"| file | {ours} | " + " | ".join(peers) + " |")
    print("|---|---:|" + "---:|" * len(peers))
    for name, counts in rows:
        print(f"| {name} | {counts[ours]:,} | " +
              " | ".join(f"{counts[p] / counts[ours]:.3f}x" for p in peers) + " |")
    print("| geometric mean | | " + " | ".join(
        f"{geomean(c[p] / c[ours] for _, c in rows):.3f}x" for p in peers) + " |")


def run_callgrind(repeat: int) -> None:
    rows = []
    for name in FILES:
        path = DATA / "json" / name
        if path.exists():
            rows.append((name, {
                "quorvane.json": _instructions("quorvane.json", path, "json", True, repeat),
                "parse_json": _instructions("parse_json", path, "json", True, repeat),
                "jsonc": _instructions("reader", path, "jsonc", False, repeat),
                "json5": _instructions("reader", path, "json5", False, repeat)}))
    if rows:
        _print_counts("quorvane.json, JSONC and JSON5 on JSON documents", "parse_json", rows,
                      better="lower")
    real_rows = []
    for folder in ("jsonc", "json5"):
        for path in sorted((DATA / folder).glob("*")) if (DATA / folder).is_dir() else []:
            real_rows.append((f"{folder}/{path.name}", {
                label: _instructions(label, path, folder, False, repeat)
                for label in ("quorvane", "reader", "pyjson5")}))
    if real_rows:
        _print_counts("Real JSONC and JSON5 files", "quorvane", real_rows)
        _print_counts("Real JSONC and JSON5 files, the reader alone", "reader",
                      [(n, {k: v for k, v in c.items() if k != "quorvane"})
                       for n, c in real_rows])


def main() -> None:
    if "--callgrind" in sys.argv:
        repeat = int(sys.argv[sys.argv.index("--repeat") + 1]) if "--repeat" in sys.argv else 4
        run_callgrind(repeat)
        return
    run()


if __name__ == "__main__":
    main()
