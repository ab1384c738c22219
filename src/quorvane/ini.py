"""INI as Python's configparser reads it."""

from __future__ import annotations

from typing import Any

from . import _std


def _parse_raw(text: str, **options: Any) -> dict[str, dict[str, str | None]]:
    """The reader with configparser's defaults; errors as ValueError(msg, offset)."""
    return _std.parse_ini(text)
