"""Floats of the JSON readers against float(), bit for bit.

    python bench/float_check.py [COUNT] [--seed N]

Every number of the JSON benchmark files and of the conformance suites,
then COUNT (default 200,000) random and adversarial decimal strings, are
read by parse_json and by the JSON family (quorvane.json.loads), and each
result must have the bits of float() of the same text.  The strings: up
to 25 significant digits with exponents across the double's range, values
next to the halves between two doubles (where rounding decides), plain
decimals without an exponent, long runs of nines and zeros, subnormals and
the edges of overflow.  Reports the
count checked; exits 1 at the first difference.
"""

from __future__ import annotations

import random
import re
import struct
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from _common import DATA, count_and_seed, in_batches  # noqa: E402

import _quorvane  # noqa: E402
import quorvane.json as qjson  # noqa: E402

NUMBER = re.compile(rb"-?(?:0|[1-9][0-9]*)(?:\.[0-9]+)?(?:[eE][-+]?[0-9]+)?")


def _bits(x: float) -> bytes:
    return struct.pack("<d", x)


def _document_numbers() -> list[str]:
    found: set[str] = set()
    folders = [DATA / "json", DATA.parent / "conformance"]
    for folder in folders:
        for path in folder.rglob("*.json") if folder.is_dir() else []:
            for m in NUMBER.finditer(path.read_bytes()):
                text = m.group().decode()
                if "." in text or "e" in text or "E" in text:
                    found.add(text)
    return sorted(found)


def _halfway(rng: random.Random) -> str:
    # The decimal of a value just beside the midpoint of two doubles.
    x = rng.choice((rng.uniform(-1e3, 1e3), rng.random() * 10.0 ** rng.randint(-300, 300)))
    lo, = struct.unpack("<q", _bits(abs(x)))
    a, = struct.unpack("<d", struct.pack("<q", lo))
    b, = struct.unpack("<d", struct.pack("<q", lo + 1))
    mid = (a + b) / 2 if a != b else a
    text = f"{mid:.{rng.randint(15, 24)}e}"
    return ("-" if x < 0 else "") + text


def _plain(rng: random.Random) -> str:
    # Without an exponent, as most documents write numbers: up to 15
    # integer and 18 fraction digits, often a halfway value written out.
    if rng.random() < 0.5:
        text = f"{float(_halfway(rng)):.{rng.randint(1, 18)}f}"
        if len(text.split(".")[0].lstrip("-")) <= 16:
            return text
    whole = str(rng.randint(0, 10 ** rng.randint(0, 15)))
    frac = "".join(rng.choice("0123456789") for _ in range(rng.randint(1, 18)))
    return f"{'-' if rng.random() < 0.5 else ''}{whole}.{frac}"


def _random(rng: random.Random) -> str:
    kind = rng.randrange(8)
    if kind == 0:
        return _halfway(rng)
    if kind >= 6:
        return _plain(rng)
    if kind == 1:
        digits = "".join(rng.choice("0123456789") for _ in range(rng.randint(1, 25)))
        digits = digits.lstrip("0") or "0"
        point = rng.randint(1, len(digits))
        frac = digits[point:] or "0"
        return f"{'-' if rng.random() < 0.5 else ''}{digits[:point]}.{frac}e{rng.randint(-330, 310)}"
    if kind == 2:
        n = rng.randint(1, 24)
        return f"{rng.choice('0123456789')}.{'9' * n}e{rng.randint(-325, 308)}"
    if kind == 3:
        return f"1{'0' * rng.randint(0, 22)}{rng.choice(['', '1', '5', '49', '51'])}e{rng.randint(-340, 300)}"
    if kind == 4:
        return repr(struct.unpack("<d", struct.pack("<Q", rng.getrandbits(63)))[0])
    # Coordinate-like: a few integer digits and 12-18 fraction digits.
    whole = rng.randint(0, 999)
    frac = "".join(rng.choice("0123456789") for _ in range(rng.randint(12, 18)))
    return f"{'-' if rng.random() < 0.5 else ''}{whole}.{frac}"


def check(texts: list[str]) -> None:
    # Only JSON numbers: a random double's repr may be nan or inf.
    numbers = [t for t in texts if NUMBER.fullmatch(t.encode())]
    doc = ("[" + ",".join(numbers) + "]").encode()
    for reader in (_quorvane.parse_json, qjson.loads):
        got = reader(doc)
        for text, value in zip(numbers, got):
            if _bits(value) != _bits(float(text)):
                sys.exit(f"{reader.__module__}: {text} read as {value!r}, float() gives "
                         f"{float(text)!r}")


def main(argv: list[str]) -> None:
    count, seed = count_and_seed(argv, 200_000)
    texts = _document_numbers()
    check(texts)
    print(f"{len(texts):,} floats of the documents: equal")
    done = in_batches(count, seed, _random, check)
    print(f"{done:,} random and adversarial decimals: equal")


if __name__ == "__main__":
    main(sys.argv[1:])
