"""What every face of the package shares: the document a call is given, the
file a load() reads, byte-order marks and wide encodings, and the one way a
reader's failure becomes a ParseError.

The readers fail in two ways.  The dialect readers of ``_quorvane`` raise a
ValueError whose text is ``parse error at line L, column C: message`` (read
back by ``_position``), or a UnicodeDecodeError carrying the document
offset of the byte they could not decode.  The standard readers of
``quorvane._std`` raise ``ValueError(message, offset)``, the offset counting
bytes of the UTF-8 text they were given.  ``parse_error`` is the one place
that turns either into a ParseError placed in the document as given.
"""

from __future__ import annotations

import codecs
import os
from typing import IO, Any, Callable, Final, Union

from ._position import parse_position

Source = Union[str, "os.PathLike[str]", IO[bytes]]
# How a document of bytes was decoded before a reader saw it: the length of
# its byte-order mark (0 when it has none) and the codec; None for a str or
# UTF-8 bytes, which the readers take as they are.
Wide = Union[tuple[int, str], None]

LONE_SURROGATE: Final = "a lone surrogate is not a Unicode character"


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
    # How doc was decoded, when its lines and columns are those of another
    # text than doc's own bytes (a UTF-16 or UTF-32 document).
    _wide: Wide

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
        self._wide = marked_wide(doc)

    @property
    def pos(self) -> int:
        """The offset of the error in ``doc``: characters of a str, bytes of bytes."""
        view = utf8_view(self.doc, self._wide)
        offset = _line_start(view, self.lineno) + self.colno - 1
        if isinstance(self.doc, str):
            return len(_chars(view[:offset]))
        if self._wide is None:
            return offset
        mark, codec = self._wide
        head = view[len(_UTF8_BOM) if mark else 0:offset]
        return mark + len(_chars(head).encode(codec))

    def _line(self) -> bytes | None:
        """The line of the error in the document's UTF-8 text, or None."""
        lines = utf8_view(self.doc, self._wide).split(b"\n")
        return lines[self.lineno - 1] if 1 <= self.lineno <= len(lines) else None

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.msg, self.doc, self.lineno, self.colno, self.path),
                {"_wide": self._wide})


# Shown, pickled and documented as quorvane.ParseError, where users find it.
ParseError.__module__ = "quorvane"


# ---------------------------------------------------------------------------
# Documents and sources.

def document(text: str | bytes | bytearray | memoryview) -> str | bytes:
    """A document given to a loads(): str, or bytes of any bytes-like object."""
    if isinstance(text, (bytearray, memoryview)):
        return bytes(text)
    if not isinstance(text, (str, bytes)):
        raise TypeError(
            f"text must be str or a bytes-like object, not {type(text).__name__}")
    return text


def source_path(source: Source) -> str | None:
    """The path of a load() source: the path itself, or the name a file
    object was opened with, if it tells."""
    if isinstance(source, (str, os.PathLike)):
        return os.fsdecode(source)
    if hasattr(source, "read"):
        name = getattr(source, "name", None)
        return name if isinstance(name, str) else None
    raise TypeError(
        f"source must be a path or a binary file object, not {type(source).__name__}")


def read_source(source: Source, path: str | None) -> bytes:
    """The bytes of a load() source whose path source_path gave."""
    if isinstance(source, (str, os.PathLike)):
        assert path is not None
        with open(path, "rb") as f:
            return f.read()
    data = source.read()
    if not isinstance(data, bytes):
        raise TypeError("load() needs a file opened in binary mode ('rb')")
    return data


# ---------------------------------------------------------------------------
# Byte-order marks and wide encodings.

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
MARK_LEADS: Final[frozenset[int | str]] = frozenset(
    [bom[0] for bom, _ in _WIDE_BOMS] + [_UTF8_BOM[0], "\ufeff"])


def marked_wide(doc: str | bytes) -> Wide:
    """The mark and codec of bytes that start with a UTF-16 or UTF-32 mark."""
    if isinstance(doc, bytes):
        for bom, codec in _WIDE_BOMS:
            if doc.startswith(bom):
                return len(bom), codec
    return None


def unmarked_wide(doc: bytes) -> Wide:
    """UTF-16 or UTF-32 without a mark, told as json.loads tells it: by the
    zero bytes among the first four, which a JSON text (whose first
    character is ASCII) has only in those encodings."""
    if len(doc) >= 4:
        if not doc[0]:
            return 0, "utf-16-be" if doc[1] else "utf-32-be"
        if not doc[1]:
            return 0, "utf-16-le" if doc[2] or doc[3] else "utf-32-le"
    elif len(doc) == 2:
        if not doc[0]:
            return 0, "utf-16-be"
        if not doc[1]:
            return 0, "utf-16-le"
    return None


def utf8_view(doc: str | bytes, wide: Wide) -> bytes:
    """The document as the UTF-8 text its lines and columns count in.

    A wide document's mark becomes the UTF-8 mark: its lines and columns are
    those of the same text saved as UTF-8.
    """
    if isinstance(doc, str):
        return doc.encode("utf-8", "surrogatepass")
    if wide is None:
        return doc
    mark, codec = wide
    text = doc[mark:].decode(codec, "replace").encode("utf-8")
    return _UTF8_BOM + text if mark else text


def _chars(data: bytes) -> str:
    """The characters of a prefix of a UTF-8 view, a str's lone surrogates
    included; a character cut at the end is left out."""
    try:
        return data.decode("utf-8", "surrogatepass")
    except UnicodeDecodeError:
        return data.decode("utf-8", "ignore")


def _line_start(data: bytes, lineno: int) -> int:
    start = 0
    for _ in range(lineno - 1):
        start = data.find(b"\n", start) + 1
    return start


def reader_text(doc: str | bytes, path: str | None,
                wide: Wide = None) -> tuple[str | bytes, int, Wide]:
    """The text a reader gets from a document that may start with a mark:
    the text, how many bytes of the document's UTF-8 view come before it
    (a mark), and how it was decoded.  ``wide`` decodes a document with no
    mark (see unmarked_wide)."""
    if isinstance(doc, str):
        if doc.startswith("\ufeff"):
            return doc[1:], len(_UTF8_BOM), None
        return doc, 0, None
    if doc.startswith(_UTF8_BOM):
        return doc[len(_UTF8_BOM):], len(_UTF8_BOM), None
    wide = marked_wide(doc) or wide
    if wide is None:
        return doc, 0, None
    mark, codec = wide
    skipped = len(_UTF8_BOM) if mark else 0
    try:
        return doc[mark:].decode(codec), skipped, wide
    except UnicodeDecodeError as exc:
        good = doc[mark:mark + exc.start].decode(codec)
        offset = skipped + len(good.encode("utf-8"))
        raise error_at(f"invalid {codec[:6].upper()}", doc, offset, path, wide) from None


# ---------------------------------------------------------------------------
# Failures.

def error_at(msg: str, doc: str | bytes, offset: int, path: str | None,
             wide: Wide) -> ParseError:
    """The ParseError for byte offset ``offset`` of the document's UTF-8 view."""
    view = utf8_view(doc, wide)
    line_start = view.rfind(b"\n", 0, offset) + 1
    lineno = view.count(b"\n", 0, offset) + 1
    err = ParseError(msg, doc, lineno, offset - line_start + 1, path)
    err._wide = wide
    return err


def offset_failure(exc: BaseException) -> tuple[str, int] | None:
    """The message and byte offset of a standard reader's document error,
    or None for any other exception (which then passes through)."""
    if type(exc) is ValueError and len(exc.args) == 2:
        msg, offset = exc.args
        if isinstance(msg, str) and type(offset) is int:
            return msg, offset
    return None


def parse_error(exc: BaseException, doc: str | bytes, text: str | bytes, skipped: int,
                wide: Wide, path: str | None) -> ParseError | None:
    """The ParseError for a reader's failure on ``text``, the form of
    ``doc`` it was given after ``skipped`` bytes of doc's UTF-8 view (a
    mark) and decoded as ``wide`` says; None when ``exc`` is not a document
    error."""
    if isinstance(exc, UnicodeDecodeError):
        # The dialect readers decode slices of the document, and record on
        # the error the document offset of the byte they could not decode.
        offset = getattr(exc, "doc_offset", None)
        if offset is None:
            return None
        return error_at("invalid UTF-8", doc, skipped + offset, path, wide)
    if isinstance(exc, UnicodeEncodeError):
        # A str holding a lone surrogate, which a reader of UTF-8 cannot take.
        if not (isinstance(text, str) and exc.start < len(text)
                and "\ud800" <= text[exc.start] <= "\udfff"):
            return None
        offset = len(text[:exc.start].encode("utf-8", "surrogatepass"))
        return error_at(LONE_SURROGATE, doc, skipped + offset, path, wide)
    failure = offset_failure(exc)
    if failure is not None:
        msg, offset = failure
        return error_at(msg, doc, skipped + offset, path, wide)
    position = parse_position(str(exc)) if type(exc) is ValueError else None
    if position is None:
        return None
    line, col, msg = position
    data = text if isinstance(text, bytes) else text.encode("utf-8", "surrogatepass")
    return error_at(msg, doc, skipped + _line_start(data, line) + col - 1, path, wide)


def read(doc: str | bytes, parse: Callable[[Any], Any], takes_str: bool,
         path: str | None) -> Any:
    """A reader's tree of a whole document, byte-order marks skipped (and
    wide documents decoded), failures as ParseError.  ``takes_str``: the
    reader takes str only, so bytes are decoded from UTF-8 first."""
    text: str | bytes = doc
    skipped = 0
    wide: Wide = None
    if doc and doc[0] in MARK_LEADS:  # one test for the common case
        text, skipped, wide = reader_text(doc, path)
    if takes_str and isinstance(text, bytes):
        try:
            text = text.decode("utf-8")
        except UnicodeDecodeError as exc:
            raise error_at("invalid UTF-8", doc, skipped + exc.start, path, wide) from None
    return parse_text(doc, parse, text, skipped, wide, path)


def parse_text(doc: str | bytes, parse: Callable[[Any], Any], text: str | bytes, skipped: int,
               wide: Wide, path: str | None) -> Any:
    """The reader's tree of ``text``, the part of ``doc`` after ``skipped``
    bytes; a failure that tells its place as ParseError, any other raised
    as it is."""
    try:
        return parse(text)
    except ValueError as exc:
        err = parse_error(exc, doc, text, skipped, wide, path)
        if err is None:
            raise
    raise err
