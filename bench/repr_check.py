"""Floats of the writers against repr(), text for text.

    python bench/repr_check.py [COUNT] [--seed N]

COUNT (default 2,000,000) doubles, in batches, are written by
quorvane.json.dumps and compared with json.dumps (whose floats are
float.__repr__): random bit patterns (every exponent, subnormals among
them, every exponent equally), the neighbours of powers of two and ten
(where the interval below a double is narrower, and where repr switches
between plain and exponent notation), integers near 2^53 and beyond it,
values of few digits (the ends of the digit field: zeros in front and
behind) and the doubles a few units from them, small odd numbers
times powers of two (ties between two candidates), and 15 to 17 digits
with the decimal point at each place.  The floats of the
bench's JSON files are checked first.  Reports the count checked; exits
1 at the first difference.
"""

from __future__ import annotations

import json
import math
import random
import struct
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from _common import DATA, count_and_seed, in_batches  # noqa: E402

import quorvane.json as qjson  # noqa: E402


def _double(bits: int) -> float:
    value: float = struct.unpack("<d", struct.pack("<Q", bits))[0]
    return value


def _edges() -> list[float]:
    vals = [2.0 ** k for k in range(-1074, 1024)]
    vals += [float(f"1e{k}") for k in range(-323, 309)]
    vals += [float(f"{d}e{k}") for d in range(1, 10) for k in range(-30, 30)]
    vals += [math.nextafter(v, t) for v in list(vals) for t in (0.0, math.inf)]
    vals += [float(2 ** 53 + k) for k in range(-50, 50)]
    # Every exponent's first and last significands: the exact ends of the
    # rounding interval and exact ties fall among them.
    vals += [_double(e << 52 | f) for e in range(1, 2047)
             for f in (*range(1, 512), *range((1 << 52) - 512, 1 << 52))]
    return vals


def _bits(value: float) -> int:
    bits: int = struct.unpack("<Q", struct.pack("<d", value))[0]
    return bits


def _random(rng: random.Random) -> float:
    kind = rng.randrange(10)
    if kind == 0:
        return _double(rng.getrandbits(64))
    if kind == 1:
        return _double(rng.getrandbits(52))  # subnormal
    if kind == 2:
        return round(rng.uniform(-1e6, 1e6), rng.randint(0, 17))
    if kind == 3:
        return rng.randint(1, 10 ** rng.randint(1, 17)) * 10.0 ** rng.randint(-30, 30)
    if kind == 4:
        # A few units in the last place from a short decimal: the digit
        # search's ends (a candidate just inside or outside the interval).
        short = float(f"{rng.randint(1, 10 ** rng.randint(1, 16))}e{rng.randint(-320, 300)}")
        return _double(max(0, min(_bits(short) + rng.randint(-3, 3), 0x7FEFFFFFFFFFFFFF)))
    if kind == 5:
        # Small odd numbers times powers of two: exact decimals ending in 5,
        # where two candidates of the shortest length are equally near.
        return rng.randrange(1, 1 << rng.randint(1, 30), 2) * 2.0 ** rng.randint(-90, 90)
    if kind == 6:
        # Integers beyond 2^53 (the value is an integer: the exact-value tests).
        return float(rng.getrandbits(53) | 1 << 52) * 2.0 ** rng.randint(1, 80)
    if kind == 7:
        # Every exponent equally, the significand's last bits even or odd.
        return _double(rng.randint(1, 2046) << 52 | rng.getrandbits(52))
    if kind == 8:
        return rng.uniform(-180, 180)  # coordinates, 17 digits
    # 15 to 17 digits with the point at each place from before the first
    # to after the last (the layouts of 16 and of 17 digits), trailing
    # zeros among them.
    digits = rng.randint(10 ** 14, 10 ** 17) // 10 ** rng.choice((0, 0, 0, 1, 5, 14))
    return float(f"{digits}e{rng.randint(-22, 3)}")


def check(values: list[float]) -> None:
    finite = [v for v in values if math.isfinite(v)]
    finite += [-v for v in finite]
    ours, theirs = qjson.dumps(finite), json.dumps(finite)
    if ours != theirs:
        v = next(v for v in finite if qjson.dumps(v) != json.dumps(v))
        sys.exit(f"{v!r} written as {qjson.dumps(v)}")


def _bench_floats() -> list[float]:
    found: list[float] = []

    def walk(node: object) -> None:
        if isinstance(node, float):
            found.append(node)
        elif isinstance(node, list):
            for item in node:
                walk(item)
        elif isinstance(node, dict):
            for item in node.values():
                walk(item)

    for path in sorted((DATA / "json").glob("*.json")):
        walk(json.loads(path.read_bytes()))
    return found


def main(argv: list[str]) -> None:
    count, seed = count_and_seed(argv, 2_000_000)
    bench = _bench_floats()
    check(bench)
    print(f"{2 * len(bench):,} floats of the bench's JSON files (signs both ways)")
    edges = _edges()
    check(edges)
    done = in_batches(count, seed, _random, check)
    print(f"{2 * len(edges):,} edge doubles and {2 * done:,} random ones (signs both ways): "
          "written as repr() writes them")


if __name__ == "__main__":
    main(sys.argv[1:])
