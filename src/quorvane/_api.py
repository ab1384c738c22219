"""The Python face of the parsers: loads/load and ParseError."""

from __future__ import annotations

import os
import re
from typing import IO, Any, Callable, Final, Literal, Union

from _quorvane import parse_ini, parse_json, parse_toml

Format = Literal["json", "toml", "ini"]
Source = Union[str, "os.PathLike[str]", IO[bytes]]

PARSERS: Final[dict[str, Callable[[Any], Any]]] = {
    "json": parse_json,
    "toml": parse_toml,
    "ini": parse_ini,
}

SUFFIXES: Final[dict[str, Format]] = {
    ".json": "json",
    ".toml": "toml",
    ".ini": "ini",
    ".cfg": "ini",
    ".conf": "ini",
}

_POSITION: Final = re.compile(r"parse error at line (\d+), column (\d+): (.*)", re.S)


class ParseError(ValueError):
    """A document that does not parse: where, and why.

    ``lineno`` and ``colno`` are 1-based; the column counts bytes of the
    document's UTF-8 text, as the parser does.  ``str(err)`` is the parser's
    own text, prefixed by the path when the document came from a file.
    """

    msg: str
    doc: str | bytes
    lineno: int
    colno: int
    path: str | None

    def __init__(self, msg: str, doc: str | bytes, lineno: int, colno: int,
                 path: str | None = None) -> None:
        text = f"parse error at line {lineno}, column {colno}: {msg}"
        if path is not None:
            text = f"{path}: {text}"
        super().__init__(text)
        self.msg = msg
        self.doc = doc
        self.lineno = lineno
        self.colno = colno
        self.path = path

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.msg, self.doc, self.lineno, self.colno, self.path))


def _utf8_error_position(data: bytes) -> tuple[int, int]:
    """Line and byte column of the first byte that is not valid UTF-8."""
    try:
        data.decode("utf-8")
    except UnicodeDecodeError as exc:
        offset = exc.start
    else:  # pragma: no cover - only called after a decoding failure
        offset = len(data)
    line_start = data.rfind(b"\n", 0, offset) + 1
    return data.count(b"\n", 0, offset) + 1, offset - line_start + 1


def _check_format(format: str) -> Callable[[Any], Any]:
    try:
        return PARSERS[format]
    except (KeyError, TypeError):
        raise ValueError(
            f"unknown format {format!r}: expected one of 'json', 'toml', 'ini'"
        ) from None


def _parse(text: str | bytes, parse: Callable[[Any], Any], path: str | None) -> Any:
    try:
        return parse(text)
    except UnicodeDecodeError:
        assert isinstance(text, bytes)
        line, col = _utf8_error_position(text)
        raise ParseError("invalid UTF-8", text, line, col, path) from None
    except ValueError as exc:
        m = _POSITION.fullmatch(str(exc))
        if m is None or type(exc) is not ValueError:
            raise
        raise ParseError(m.group(3), text, int(m.group(1)), int(m.group(2)),
                         path) from None


def loads(text: str | bytes | bytearray | memoryview, format: Format) -> Any:
    """Parses a whole document given as str or bytes-like object.

    ``format`` is "json", "toml" or "ini".  Raises ParseError for a document
    that does not parse.
    """
    if isinstance(text, (bytearray, memoryview)):
        text = bytes(text)
    elif not isinstance(text, (str, bytes)):
        raise TypeError(
            f"text must be str or a bytes-like object, not {type(text).__name__}")
    return _parse(text, _check_format(format), None)


def format_for_path(path: str, hint: str = "pass format= explicitly") -> Format:
    """The format a file's suffix stands for; ValueError for any other."""
    suffix = os.path.splitext(path)[1].lower()
    try:
        return SUFFIXES[suffix]
    except KeyError:
        accepted = ", ".join(SUFFIXES)
        raise ValueError(
            f"cannot tell the format of {path!r} from its suffix "
            f"(accepted: {accepted}); {hint}") from None


def load(source: Source, format: Format | None = None) -> Any:
    """Parses a whole file, given as a path or as a binary file object.

    The format comes from the file's suffix (.json; .toml; .ini, .cfg,
    .conf) unless ``format`` is given.  The file is read as bytes and parsed
    whole.
    """
    path: str | None
    if isinstance(source, (str, os.PathLike)):
        path = os.fsdecode(source)
        parse = _check_format(format if format is not None else format_for_path(path))
        with open(path, "rb") as f:
            data = f.read()
    elif hasattr(source, "read"):
        name = getattr(source, "name", None)
        path = name if isinstance(name, str) else None
        if format is None:
            if path is None:
                raise ValueError("format= is required for a file object without a name")
            format = format_for_path(path)
        parse = _check_format(format)
        data = source.read()
        if not isinstance(data, bytes):
            raise TypeError("load() needs a file opened in binary mode ('rb')")
    else:
        raise TypeError(
            f"source must be a path or a binary file object, not {type(source).__name__}")
    return _parse(data, parse, path)
