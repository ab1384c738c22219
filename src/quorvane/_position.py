"""The position errors of the dialect readers.

Every document error of ``_quorvane`` is a ValueError whose text is
``parse error at line L, column C: message``; this module is the one place
that reads that text back.
"""

from __future__ import annotations

import re
from typing import Final

POSITION: Final = re.compile(r"parse error at line (\d+), column (\d+): (.*)", re.S)


def parse_position(text: str) -> tuple[int, int, str] | None:
    """(line, column, message) of a position error's text, or None."""
    m = POSITION.fullmatch(text)
    if m is None:
        return None
    return int(m.group(1)), int(m.group(2)), m.group(3)
