"""A small program written against the package's types; checked by mypy."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import quorvane
import quorvane.ini


def port_of(path: Path) -> int:
    try:
        tree: Any = quorvane.load(path)
    except quorvane.ParseError as err:
        line: int = err.lineno
        column: int = err.colno
        where: str | None = err.path
        raise SystemExit(f"{where}:{line}:{column}: {err.msg}") from None
    return int(tree["server"]["port"])


def sections(text: str) -> list[str]:
    tree = quorvane.parse_ini(text)
    return [name for name, value in tree.items() if isinstance(value, dict)]


def timeout(text: str) -> str | None:
    tree = quorvane.ini.loads(text, inline_comment_prefixes=(";",), keep_case=True)
    return tree["server"].get("Timeout")


def version() -> str:
    return f"{quorvane.__version__} / {quorvane.version()}"


settings: Any = quorvane.loads(b'{"debug": true}', "json")
