"""The Python face of the parsers: loads/load and ParseError."""

from __future__ import annotations

import codecs
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
    document's UTF-8 text, as the parser does.  ``pos`` is the offset of the
    same place in ``doc``, in doc's own units: characters of a str, bytes of
    a bytes object.  ``str(err)`` is the parser's own text, prefixed by the
    path when the document came from a file.
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

    @property
    def pos(self) -> int:
        """The offset of the error in ``doc``: characters of a str, bytes of bytes."""
        view = _utf8_view(self.doc)
        offset = _line_start(view, self.lineno) + self.colno - 1
        if isinstance(self.doc, str):
            return len(view[:offset].decode("utf-8", "ignore"))
        wide = _wide_bom(self.doc)
        if wide is None:
            return offset
        bom, codec = wide
        head = view[len(_UTF8_BOM):offset].decode("utf-8", "ignore")
        return len(bom) + len(head.encode(codec))

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.msg, self.doc, self.lineno, self.colno, self.path))


# Shown, pickled and documented as quorvane.ParseError, where users find it.
ParseError.__module__ = "quorvane"


# A document that starts with a UTF-16 or UTF-32 byte-order mark is decoded
# first, as json.loads does for bytes.  UTF-32's little-endian mark begins
# with UTF-16's, so it is looked for first.
_WIDE_BOMS: Final = (
    (codecs.BOM_UTF32_LE, "utf-32-le"),
    (codecs.BOM_UTF32_BE, "utf-32-be"),
    (codecs.BOM_UTF16_LE, "utf-16-le"),
    (codecs.BOM_UTF16_BE, "utf-16-be"),
)
_UTF8_BOM: Final = codecs.BOM_UTF8
# The first item (byte or character) of every document that starts with a
# mark, and of few others.
_MARK_LEADS: Final[frozenset[int | str]] = frozenset(
    [bom[0] for bom, _ in _WIDE_BOMS] + [_UTF8_BOM[0], "\ufeff"])


def _wide_bom(doc: str | bytes) -> tuple[bytes, str] | None:
    if isinstance(doc, bytes):
        for bom, codec in _WIDE_BOMS:
            if doc.startswith(bom):
                return bom, codec
    return None


def _utf8_view(doc: str | bytes) -> bytes:
    """The document as the UTF-8 text its lines and columns count in.

    A wide document's mark becomes the UTF-8 mark: its lines and columns are
    those of the same text saved as UTF-8.
    """
    if isinstance(doc, str):
        return doc.encode("utf-8", "surrogatepass")
    wide = _wide_bom(doc)
    if wide is None:
        return doc
    bom, codec = wide
    return _UTF8_BOM + doc[len(bom):].decode(codec, "replace").encode("utf-8")


def _line_start(data: bytes, lineno: int) -> int:
    start = 0
    for _ in range(lineno - 1):
        start = data.find(b"\n", start) + 1
    return start


def _error_at(msg: str, doc: str | bytes, offset: int, path: str | None) -> ParseError:
    """The ParseError for byte offset ``offset`` of the document's UTF-8 view."""
    view = _utf8_view(doc)
    line_start = view.rfind(b"\n", 0, offset) + 1
    lineno = view.count(b"\n", 0, offset) + 1
    return ParseError(msg, doc, lineno, offset - line_start + 1, path)


def _reader_text(doc: str | bytes, path: str | None) -> tuple[str | bytes, int]:
    """The text the readers get from a document, and how many bytes of the
    document's UTF-8 view come before it (a byte-order mark)."""
    if isinstance(doc, str):
        if doc.startswith("\ufeff"):
            return doc[1:], len(_UTF8_BOM)
        return doc, 0
    if doc.startswith(_UTF8_BOM):
        return doc[len(_UTF8_BOM):], len(_UTF8_BOM)
    wide = _wide_bom(doc)
    if wide is None:
        return doc, 0
    bom, codec = wide
    try:
        return doc[len(bom):].decode(codec), len(_UTF8_BOM)
    except UnicodeDecodeError as exc:
        good = doc[len(bom):len(bom) + exc.start].decode(codec)
        offset = len(_UTF8_BOM) + len(good.encode("utf-8"))
        raise _error_at(f"invalid {codec[:6].upper()}", doc, offset, path) from None


def _check_format(format: str) -> Format:
    if isinstance(format, str) and format in PARSERS:
        return format  # type: ignore[return-value]
    names = ", ".join(repr(name) for name in PARSERS)
    raise ValueError(f"unknown format {format!r}: expected one of {names}")


def _parse_standard(text: str | bytes, format: Format, path: str | None,
                    parse: Callable[[str], Any] | None = None) -> Any:
    """A standard reader's tree.  They take str, so bytes are decoded first,
    and raise ValueError(msg, offset), offset counting bytes of the UTF-8
    text they were given; ``parse`` replaces the format's reader
    (quorvane.ini passes its options that way)."""
    doc = text
    text, skipped = _reader_text(doc, path)
    if isinstance(text, bytes):
        try:
            text = text.decode("utf-8")
        except UnicodeDecodeError as exc:
            raise _error_at("invalid UTF-8", doc, skipped + exc.start, path) from None
    try:
        return (parse or PARSERS[format])(text)
    except ValueError as exc:
        if type(exc) is not ValueError or len(exc.args) != 2:
            raise
        msg, offset = exc.args
        raise _error_at(msg, doc, skipped + offset, path) from None


def _parse(doc: str | bytes, format: Format, path: str | None) -> Any:
    if format in STANDARD:
        return _parse_standard(doc, format, path)
    text: str | bytes = doc
    skipped = 0
    if doc and doc[0] in _MARK_LEADS:  # one test for the common case
        text, skipped = _reader_text(doc, path)
    try:
        return PARSERS[format](text)
    except UnicodeDecodeError as exc:
        # The dialect readers decode slices of the document, and record on
        # the error the document offset of the byte they could not decode.
        offset = getattr(exc, "doc_offset", None)
        if offset is None:
            raise
        raise _error_at("invalid UTF-8", doc, skipped + offset, path) from None
    except ValueError as exc:
        position = parse_position(str(exc))
        if position is None or type(exc) is not ValueError:
            raise
        line, col, msg = position
        data = text if isinstance(text, bytes) else text.encode("utf-8", "surrogatepass")
        offset = _line_start(data, line) + col - 1
        raise _error_at(msg, doc, skipped + offset, path) from None


def _document(text: str | bytes | bytearray | memoryview) -> str | bytes:
    """A document given to a loads(): str, or bytes of any bytes-like object."""
    if isinstance(text, (bytearray, memoryview)):
        return bytes(text)
    if not isinstance(text, (str, bytes)):
        raise TypeError(
            f"text must be str or a bytes-like object, not {type(text).__name__}")
    return text


def loads(text: str | bytes | bytearray | memoryview, format: Format) -> Any:
    """Parses a whole document given as str or bytes-like object.

    ``format`` is "json", "toml" or "ini" (the dialect readers), or
    "toml-1.1", "toml-1.0" or "configparser" (the standard readers).
    Raises ParseError for a document that does not parse.
    """
    return _parse(_document(text), _check_format(format), None)


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


def _source_path(source: Source) -> str | None:
    """The path of a load() source: the path itself, or the name a file
    object was opened with, if it tells."""
    if isinstance(source, (str, os.PathLike)):
        return os.fsdecode(source)
    if hasattr(source, "read"):
        name = getattr(source, "name", None)
        return name if isinstance(name, str) else None
    raise TypeError(
        f"source must be a path or a binary file object, not {type(source).__name__}")


def _read_source(source: Source, path: str | None) -> bytes:
    """The bytes of a load() source whose path _source_path gave."""
    if isinstance(source, (str, os.PathLike)):
        assert path is not None
        with open(path, "rb") as f:
            return f.read()
    data = source.read()
    if not isinstance(data, bytes):
        raise TypeError("load() needs a file opened in binary mode ('rb')")
    return data


def load(source: Source, format: Format | None = None, *, standard: bool = False) -> Any:
    """Parses a whole file, given as a path or as a binary file object.

    The format comes from the file's suffix (.json; .toml; .ini, .cfg,
    .conf) unless ``format`` is given; with ``standard=True`` a suffix's
    TOML is read as standard TOML 1.1 and its INI as configparser reads
    it.  The file is read as bytes and parsed whole.
    """
    path = _source_path(source)
    if format is None:
        if path is None:
            raise ValueError("format= is required for a file object without a name")
        format = format_for_path(path, standard=standard)
    fmt = _check_format(format)
    return _parse(_read_source(source, path), fmt, path)
