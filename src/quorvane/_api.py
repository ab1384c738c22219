"""The Python face of the parsers: loads/load and ParseError."""

from __future__ import annotations

import os
from typing import IO, Any, Callable, Final, Literal, Union

from _quorvane import parse_ini, parse_json, parse_toml

from . import _std
from ._position import parse_position

Format = Literal["json", "toml", "ini", "toml-1.1", "toml-1.0", "configparser"]
Source = Union[str, "os.PathLike[str]", IO[bytes]]


def _parse_configparser(text: str) -> Any:
    from .ini import _parse_raw  # the INI face imports this module
    return _parse_raw(text)


# The dialect readers take str or bytes and raise position errors; the
# standard readers (STANDARD) take str and raise ValueError(msg, offset),
# offset counting bytes of the UTF-8 text.
PARSERS: Final[dict[str, Callable[[Any], Any]]] = {
    "json": parse_json,
    "toml": parse_toml,
    "ini": parse_ini,
    "toml-1.1": lambda text: _std.parse_toml(text, "1.1", None),
    "toml-1.0": lambda text: _std.parse_toml(text, "1.0", None),
    "configparser": _parse_configparser,
}
STANDARD: Final = frozenset({"toml-1.1", "toml-1.0", "configparser"})
# What a suffix's format means when the standard readers are asked for.
STANDARD_OF: Final[dict[str, Format]] = {"toml": "toml-1.1", "ini": "configparser"}

SUFFIXES: Final[dict[str, Format]] = {
    ".json": "json",
    ".toml": "toml",
    ".ini": "ini",
    ".cfg": "ini",
    ".conf": "ini",
}

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


def _check_format(format: str) -> Format:
    if isinstance(format, str) and format in PARSERS:
        return format  # type: ignore[return-value]
    names = ", ".join(repr(name) for name in PARSERS)
    raise ValueError(f"unknown format {format!r}: expected one of {names}")


def _line_col(data: bytes, offset: int) -> tuple[int, int]:
    """Line and byte column of a byte offset, both 1-based."""
    line_start = data.rfind(b"\n", 0, offset) + 1
    return data.count(b"\n", 0, offset) + 1, offset - line_start + 1


def _parse_standard(text: str | bytes, format: Format, path: str | None) -> Any:
    if isinstance(text, bytes):
        try:
            doc = text.decode("utf-8")
        except UnicodeDecodeError as exc:
            line, col = _line_col(text, exc.start)
            raise ParseError("invalid UTF-8", text, line, col, path) from None
    else:
        doc = text
    try:
        return PARSERS[format](doc)
    except ValueError as exc:
        if type(exc) is not ValueError or len(exc.args) != 2:
            raise
        msg, offset = exc.args
        data = text if isinstance(text, bytes) else text.encode("utf-8", "surrogatepass")
        line, col = _line_col(data, offset)
        raise ParseError(msg, text, line, col, path) from None


def _parse(text: str | bytes, format: Format, path: str | None) -> Any:
    if format in STANDARD:
        return _parse_standard(text, format, path)
    try:
        return PARSERS[format](text)
    except UnicodeDecodeError:
        assert isinstance(text, bytes)
        line, col = _utf8_error_position(text)
        raise ParseError("invalid UTF-8", text, line, col, path) from None
    except ValueError as exc:
        position = parse_position(str(exc))
        if position is None or type(exc) is not ValueError:
            raise
        line, col, msg = position
        raise ParseError(msg, text, line, col, path) from None


def loads(text: str | bytes | bytearray | memoryview, format: Format) -> Any:
    """Parses a whole document given as str or bytes-like object.

    ``format`` is "json", "toml" or "ini" (the dialect readers), or
    "toml-1.1", "toml-1.0" or "configparser" (the standard readers).
    Raises ParseError for a document that does not parse.
    """
    if isinstance(text, (bytearray, memoryview)):
        text = bytes(text)
    elif not isinstance(text, (str, bytes)):
        raise TypeError(
            f"text must be str or a bytes-like object, not {type(text).__name__}")
    return _parse(text, _check_format(format), None)


def format_for_path(path: str, hint: str = "pass format= explicitly", *,
                    standard: bool = False) -> Format:
    """The format a file's suffix stands for; ValueError for any other.

    With ``standard`` the standard reader of that format is chosen."""
    suffix = os.path.splitext(path)[1].lower()
    try:
        fmt = SUFFIXES[suffix]
        return STANDARD_OF.get(fmt, fmt) if standard else fmt
    except KeyError:
        accepted = ", ".join(SUFFIXES)
        raise ValueError(
            f"cannot tell the format of {path!r} from its suffix "
            f"(accepted: {accepted}); {hint}") from None


def load(source: Source, format: Format | None = None, *, standard: bool = False) -> Any:
    """Parses a whole file, given as a path or as a binary file object.

    The format comes from the file's suffix (.json; .toml; .ini, .cfg,
    .conf) unless ``format`` is given; with ``standard=True`` a suffix's
    TOML is read as standard TOML 1.1 and its INI as configparser reads
    it.  The file is read as bytes and parsed whole.
    """
    path: str | None
    if isinstance(source, (str, os.PathLike)):
        path = os.fsdecode(source)
        fmt = _check_format(format if format is not None
                            else format_for_path(path, standard=standard))
        with open(path, "rb") as f:
            data = f.read()
    elif hasattr(source, "read"):
        name = getattr(source, "name", None)
        path = name if isinstance(name, str) else None
        if format is None:
            if path is None:
                raise ValueError("format= is required for a file object without a name")
            format = format_for_path(path, standard=standard)
        fmt = _check_format(format)
        data = source.read()
        if not isinstance(data, bytes):
            raise TypeError("load() needs a file opened in binary mode ('rb')")
    else:
        raise TypeError(
            f"source must be a path or a binary file object, not {type(source).__name__}")
    return _parse(data, fmt, path)
