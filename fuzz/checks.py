"""What every parse of arbitrary bytes must satisfy.

Shared by the fuzz targets and by the tests that replay their findings:
the only exceptions are a position error whose line and column lie inside
the document, a decoding error, and MemoryError; and where a well-known
single-format parser accepts the same input inside the common ground, the
trees are identical (types, key order and float bits included).
"""

from __future__ import annotations

import datetime
import json
import math
import re
import struct
import tomllib
from typing import Any, Callable

import _quorvane

POSITION = re.compile(r"^parse error at line (\d+), column (\d+): (.+)$", re.S)


class Disagreement(AssertionError):
    pass


def check_position(data: bytes, exc: BaseException) -> None:
    if isinstance(exc, (UnicodeDecodeError, MemoryError)):
        return
    if type(exc) is not ValueError:
        raise Disagreement(f"unexpected exception {type(exc).__name__}: {exc}")
    m = POSITION.match(str(exc))
    if m is None:
        raise Disagreement(f"not a position error: {exc}")
    line, col = int(m.group(1)), int(m.group(2))
    lines = data.split(b"\n")
    if not 1 <= line <= len(lines):
        raise Disagreement(f"line {line} outside 1..{len(lines)}: {exc}")
    if not 1 <= col <= len(lines[line - 1]) + 1:
        raise Disagreement(f"column {col} outside line {line}: {exc}")


def same(a: Any, b: Any) -> bool:
    """Equality that also compares types, key order and float bits."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, float):
        if math.isnan(a):
            return math.isnan(b)
        return struct.pack("<d", a) == struct.pack("<d", b)
    return bool(a == b)


def _refuse_constant(name: str) -> Any:
    raise ValueError(name)


def _depth(tree: Any) -> int:
    if isinstance(tree, dict):
        return 1 + max((_depth(v) for v in tree.values()), default=0)
    if isinstance(tree, list):
        return 1 + max((_depth(v) for v in tree), default=0)
    return 1


def _has_lone_surrogate(tree: Any) -> bool:
    if isinstance(tree, str):
        return any(0xD800 <= ord(c) <= 0xDFFF for c in tree)
    if isinstance(tree, dict):
        return any(_has_lone_surrogate(k) or _has_lone_surrogate(v) for k, v in tree.items())
    if isinstance(tree, list):
        return any(_has_lone_surrogate(v) for v in tree)
    return False


def json_reference(data: bytes) -> Any:
    """json.loads's tree when it is inside the common ground, else None."""
    try:
        text = data.decode("utf-8")
        tree = json.loads(text, parse_constant=_refuse_constant)
    except (ValueError, RecursionError):
        return None
    # Lone surrogate escapes and nesting deeper than 512 are refused here by
    # design; the reference accepts both.
    if _has_lone_surrogate(tree) or _depth(tree) > 512:
        return None
    return (tree,)


def _has_datetime(tree: Any) -> bool:
    if isinstance(tree, (datetime.date, datetime.time)):
        return True
    if isinstance(tree, dict):
        return any(_has_datetime(v) for v in tree.values())
    if isinstance(tree, list):
        return any(_has_datetime(v) for v in tree)
    return False


def toml_reference(data: bytes) -> Any:
    try:
        tree = tomllib.loads(data.decode("utf-8"))
    except (ValueError, RecursionError):
        return None
    # Date-times are kept as their text here, and converted there.
    if _has_datetime(tree):
        return None
    return (tree,)


REFERENCES: dict[str, Callable[[bytes], Any]] = {
    "json": json_reference,
    "toml": toml_reference,
}

PARSERS = {
    "json": _quorvane.parse_json,
    "toml": _quorvane.parse_toml,
    "ini": _quorvane.parse_ini,
}


def check(fmt: str, data: bytes) -> None:
    try:
        tree = PARSERS[fmt](data)
    except Exception as exc:  # noqa: BLE001 - every exception is judged
        check_position(data, exc)
        tree = exc
    ref = REFERENCES.get(fmt)
    if ref is None:
        return
    expected = ref(data)
    if expected is None:
        return
    if isinstance(tree, BaseException):
        # Both JSON parsers follow one grammar: a refusal of a document the
        # reference reads is a fault.  In TOML the dialects differ by design.
        if fmt == "json":
            raise Disagreement(f"refused what json.loads accepts: {tree}")
        return
    if not same(tree, expected[0]):
        raise Disagreement(f"trees differ:\n ours: {tree!r}\n ref:  {expected[0]!r}")
