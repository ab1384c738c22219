"""A fallback fuzzer for machines without clang: random mutations of the
seed corpus, each judged by checks.check, for a given time per format.

    python fuzz/mutate.py SECONDS FORMAT SEED_DIR

No coverage guidance, but the same invariants as the libFuzzer targets.
"""

from __future__ import annotations

import random
import re
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import checks  # noqa: E402

HERE = Path(__file__).resolve().parent


def tokens(fmt: str) -> list[bytes]:
    out = []
    path = HERE / "dict" / f"{fmt}.dict"
    if not path.exists():
        path = HERE / "dict" / f"{fmt.split('-')[0]}.dict"  # toml-std: toml.dict
    for line in path.read_text().splitlines():
        m = re.fullmatch(r'"(.*)"', line.strip())
        if m:
            raw = m.group(1)
            out.append(re.sub(rb"\\x([0-9A-Fa-f]{2})", lambda h: bytes([int(h.group(1), 16)]),
                              raw.encode().replace(b'\\"', b'"').replace(b"\\\\", b"\\")))
    return out


def mutate(rng: random.Random, data: bytes, toks: list[bytes], seeds: list[bytes]) -> bytes:
    b = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        op = rng.randrange(5)
        i = rng.randrange(len(b) + 1)
        if op == 0 and b:
            b[min(i, len(b) - 1)] = rng.randrange(256)
        elif op == 1:
            b[i:i] = rng.choice(toks)
        elif op == 2 and b:
            del b[i:i + rng.randint(1, 8)]
        elif op == 3:
            other = rng.choice(seeds)
            j = rng.randrange(len(other) + 1)
            b[i:] = other[j:j + rng.randint(0, 64)]
        else:
            b[i:i] = b[i:i + rng.randint(1, 16)] * rng.randint(1, 8)
    return bytes(b[:4096])


def main() -> None:
    seconds, fmt, seed_dir = float(sys.argv[1]), sys.argv[2], Path(sys.argv[3])
    seeds = [p.read_bytes()[:4096] for p in sorted(seed_dir.iterdir())] or [b""]
    toks = tokens(fmt)
    rng = random.Random(0)
    deadline = time.monotonic() + seconds
    runs = 0
    while time.monotonic() < deadline:
        data = mutate(rng, rng.choice(seeds), toks, seeds)
        try:
            checks.check(fmt, data)
        except checks.Disagreement:
            out = Path("build/fuzz") / f"{fmt}-failure.bin"
            out.parent.mkdir(parents=True, exist_ok=True)
            out.write_bytes(data)
            print(f"failing input written to {out}", file=sys.stderr)
            raise
        runs += 1
    print(f"{fmt}: {runs} mutated inputs checked in {seconds:.0f}s (no coverage guidance)")


if __name__ == "__main__":
    main()
