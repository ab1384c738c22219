"""Floats of the writers against repr(), text for text.

    python bench/repr_check.py [COUNT] [--seed N]

COUNT (default 2,000,000) doubles, in batches, are written by
quorvane.json.dumps and compared with json.dumps (whose floats are
float.__repr__): random bit patterns (every exponent, subnormals among
them), the neighbours of powers of two and ten (where the interval below
a double is narrower, and where repr switches between plain and exponent
notation), integers near 2^53, and values of few digits (the ends of the
digit field: zeros in front and behind).  Reports the count checked; exits
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

from _common import count_and_seed, in_batches  # noqa: E402

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
    return vals


def _random(rng: random.Random) -> float:
    kind = rng.randrange(5)
    if kind == 0:
        return _double(rng.getrandbits(64))
    if kind == 1:
        return _double(rng.getrandbits(52))  # subnormal
    if kind == 2:
        return round(rng.uniform(-1e6, 1e6), rng.randint(0, 17))
    if kind == 3:
        return rng.randint(1, 10 ** rng.randint(1, 17)) * 10.0 ** rng.randint(-30, 30)
    return rng.uniform(-180, 180)  # coordinates, 17 digits


def check(values: list[float]) -> None:
    finite = [v for v in values if math.isfinite(v)]
    finite += [-v for v in finite]
    ours, theirs = qjson.dumps(finite), json.dumps(finite)
    if ours != theirs:
        v = next(v for v in finite if qjson.dumps(v) != json.dumps(v))
        sys.exit(f"{v!r} written as {qjson.dumps(v)}")


def main(argv: list[str]) -> None:
    count, seed = count_and_seed(argv, 2_000_000)
    edges = _edges()
    check(edges)
    done = in_batches(count, seed, _random, check)
    print(f"{2 * len(edges):,} edge doubles and {2 * done:,} random ones (signs both ways): "
          "written as repr() writes them")


if __name__ == "__main__":
    main(sys.argv[1:])
