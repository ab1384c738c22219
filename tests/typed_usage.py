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


def load_as(data: bytes, name: str) -> Any:
    # A format chosen at run time, narrowed to the type loads() takes.
    formats: dict[str, quorvane.Format] = {"settings": "toml", "legacy": "ini"}
    fmt: quorvane.Format = formats.get(name, "json")
    try:
        return quorvane.loads(data, fmt)
    except quorvane.ParseError as err:
        offset: int = err.pos
        raise SystemExit(f"byte {offset}: {err.msg}") from None


def started_at(path: Path) -> Any:
    import quorvane.toml

    try:
        with path.open("rb") as f:
            return quorvane.toml.load(f, toml_version="1.0")["started"]
    except quorvane.toml.TOMLDecodeError as err:
        index: int = err.pos
        raise SystemExit(f"{err.lineno}:{err.colno} ({index}): {err.msg}") from None
