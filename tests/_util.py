"""Shared helpers for the test suite."""

from __future__ import annotations

import os
from pathlib import Path

import pytest

from quorvane._position import parse_position

ROOT = Path(__file__).resolve().parents[1]
# Real-world documents and conformance suites live beside the repository;
# tests that need them skip when they are absent.
DATA = Path(os.environ.get("QUORVANE_DATA", ROOT.parent / "shared" / "data"))


def data_path(*parts: str) -> Path:
    p = DATA.joinpath(*parts)
    if not p.exists():
        pytest.skip(f"data not available: {p}")
    return p


def position_error(fn, text) -> tuple[int, int, str]:
    """Calls fn(text), expects a position error, returns (line, col, message)."""
    with pytest.raises(ValueError) as info:
        fn(text)
    position = parse_position(str(info.value))
    assert position, f"not a position error: {info.value!r}"
    return position
