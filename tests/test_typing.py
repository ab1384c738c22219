"""mypy --strict accepts the package and a small typed program using it."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

HERE = Path(__file__).resolve().parent


@pytest.mark.parametrize("target", [["-p", "quorvane"], [str(HERE / "typed_usage.py")]])
def test_mypy_strict(tmp_path, target):
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         "--cache-dir", str(tmp_path), *target],
        capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_mypy_sees_the_extension_types(tmp_path):
    bad = tmp_path / "bad.py"
    bad.write_text("import quorvane\nquorvane.parse_ini(5)\n")
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         "--cache-dir", str(tmp_path / "cache"), str(bad)],
        capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert proc.returncode == 1 and "parse_ini" in proc.stdout
