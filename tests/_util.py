"""Shared helpers for the test suite."""

from __future__ import annotations

import gc
import os
import re
import sys
import threading
from pathlib import Path
from typing import Callable

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


# The sources that the tests check the built package against: this
# checkout, or $QUORVANE_SOURCE (the unpacked sdist, when the suite runs
# against an installed wheel from a directory of its own).
SOURCE = Path(os.environ.get("QUORVANE_SOURCE", ROOT))


def source_path(*parts: str) -> Path:
    p = SOURCE.joinpath(*parts)
    if not p.exists():
        pytest.skip(f"sources not available: {p}")
    return p


def package_version() -> str:
    """__version__ as written in src/quorvane/__init__.py, the one place."""
    text = source_path("src", "quorvane", "__init__.py").read_text()
    m = re.search(r'^__version__ = "([^"]*)"$', text, re.M)
    assert m, "no __version__ line"
    return m.group(1)


def exported_names(map_file: str) -> set[str]:
    """The names a module's exports map lets out (src/csrc/...)."""
    text = source_path("src", "csrc", *map_file.split("/")).read_text()
    block = text.split("global:", 1)[1].split("local:", 1)[0]
    return {name.strip() for name in block.split(";") if name.strip()}


def assert_no_leak(run: Callable[[], object], rounds: int, warmup: int = 3,
                   slack: int = 50) -> None:
    """run() leaves no allocated blocks behind: measured over three windows
    of rounds calls after warmup calls.  A leak grows in every window; the
    interpreter's own free lists and caches, still filling up after the
    warm-up, only in the first ones (two may not be enough for them)."""
    for _ in range(warmup):
        run()

    def window() -> int:
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(rounds):
            run()
        gc.collect()
        return sys.getallocatedblocks() - before

    growth = min(window(), window(), window())
    assert growth < slack, f"{growth} blocks more after {rounds} rounds"


MAX_DEPTH = 512


def nesting_depth(tree: object) -> int:
    """How many containers deep the first path of tree goes."""
    depth = 0
    while isinstance(tree, (list, dict)):
        depth += 1
        if not tree:
            break
        tree = next(iter(tree.values() if isinstance(tree, dict) else tree))
    return depth


def check_nesting_limit(parse: Callable[[str], object], prefix: str, opener: str,
                        empty: str, closer: str,
                        refused_at: Callable[[str, int], None]) -> object:
    """A reader's nesting limit: MAX_DEPTH open containers parse (the last
    one written as empty), one more is refused where it opens, and so is
    that one of a million unclosed.  refused_at(text, index) checks the
    refusal of text at that character index.  Returns the deepest tree."""
    inner = MAX_DEPTH - 1
    tree = parse(prefix + opener * inner + empty + closer * inner)
    too_deep = prefix + opener * MAX_DEPTH + empty + closer * MAX_DEPTH
    refused_at(too_deep, len(prefix) + MAX_DEPTH * len(opener))
    refused_at(prefix + opener * 1_000_000, len(prefix) + MAX_DEPTH * len(opener))
    return tree


def in_thread(stack_kib, fn):
    """fn() in a thread started with a stack of stack_kib KiB: its result
    or the exception it raised."""
    out = {}

    def run():
        try:
            out["value"] = fn()
        except BaseException as e:  # noqa: BLE001 - handed to the test
            out["value"] = e

    old = threading.stack_size(stack_kib * 1024)
    try:
        t = threading.Thread(target=run)
        t.start()
        t.join()
    finally:
        threading.stack_size(old)
    return out["value"]
