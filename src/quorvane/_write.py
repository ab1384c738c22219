"""The package's writers: a tree back to text in any of its formats.

Each format is written by the writer of its Python face, with that face's
default options: JSON as ``json.dumps`` writes it, indented by two spaces
and with non-ASCII text as it is (as the command line prints it), TOML as ``quorvane.toml.dumps``, INI as
``quorvane.ini.dumps`` (configparser's ``write()``).
"""

from __future__ import annotations

import io
import os
from typing import IO, Any, Union

from . import _std

Target = Union[str, "os.PathLike[str]", IO[bytes], IO[str]]

# The reader format names, each with the writer of its format (the dialects
# are written in their standard form, which every reader of them reads).
_WRITERS = {
    "json": "json",
    "toml": "toml", "toml-1.1": "toml", "toml-1.0": "toml", "toml-dialect": "toml",
    "ini": "ini", "ini-dialect": "ini",
}


def _writer(format: str) -> str:
    try:
        return _WRITERS[format]
    except (KeyError, TypeError):
        raise ValueError(
            f"unknown format {format!r}: expected one of {', '.join(_WRITERS)}") from None


def dumps(obj: Any, format: str) -> str:
    """The document of a tree in ``format`` (a format name, as for ``loads``).

    JSON is written indented by two spaces, non-ASCII text unescaped, with a
    final line end; a value the format cannot hold
    raises the error of that format's writer (TypeError or ValueError).
    """
    kind = _writer(format)
    if kind == "json":
        from ._json_write import dumps as json_dumps
        return json_dumps(obj, indent=2, ensure_ascii=False) + "\n"
    if kind == "toml":
        from collections.abc import Mapping
        return _std.write_toml(obj, False, "    ", Mapping)
    from .ini import dumps as ini_dumps
    return ini_dumps(obj)


def dump(obj: Any, target: Target, format: str | None = None) -> None:
    """Writes a tree to a path or a file object, as UTF-8 text.

    The format comes from the path's suffix (or the name the file object
    was opened with), as ``load`` chooses it, unless ``format`` is given.
    A binary file object gets bytes, a text one str.  The document is made
    whole before anything is written, so a tree that cannot be written
    leaves the target untouched.
    """
    if isinstance(target, (str, os.PathLike)):
        path: str | None = os.fsdecode(target)
    elif hasattr(target, "write"):
        name = getattr(target, "name", None)
        path = name if isinstance(name, str) else None
    else:
        raise TypeError(
            f"target must be a path or a file object, not {type(target).__name__}")
    if format is None:
        if path is None:
            raise ValueError("format= is required for a file object without a name")
        from ._formats import format_for_path
        format = format_for_path(path)[0]
    text = dumps(obj, format)
    if isinstance(target, (str, os.PathLike)):
        with open(target, "wb") as f:
            f.write(text.encode())
    elif isinstance(target, io.TextIOBase):
        target.write(text)
    else:
        target.write(text.encode())  # type: ignore[arg-type]
