"""Where each key and value of a document was written: loads_with_spans,
load_with_spans, Document, Span and ValidationError.

The readers record spans in the pass that builds the tree, as one bytes
object of fixed records (see src/csrc/toolkit/spans.h): six native uint32
per key or value, (parent, ordinal, key_start, key_end, start, end), in
byte offsets of the UTF-8 text the reader was given.  Nothing per value is
made until a caller asks for a path: then the (parent, ordinal) index of
the records is built once, dict keys are given their ordinals from the
tree's own dicts, and the record's byte offsets become character offsets,
lines and columns (bisect over a table of the non-ASCII characters, and
over the line starts).
"""

from __future__ import annotations

import re
from bisect import bisect_left, bisect_right
from dataclasses import dataclass
from typing import Any, Callable, Final, Iterator, Literal, Mapping, Union

from . import _std, ini
from ._api import _reader, loads
from ._formats import Format, format_for_path
from ._source import MARK_LEADS, Source, document, read_source, reader_text, source_path, unmarked_wide

__all__ = ["Document", "Span", "ValidationError", "load_with_spans", "loads_with_spans"]

Key = Union[str, int, object]
Path = tuple[Key, ...]
Spanned = tuple[Any, bytes]

NO_SPAN: Final = 0xFFFFFFFF
FIELDS: Final = 6  # parent, ordinal, key_start, key_end, start, end
# What a text without a file is called in messages (the command line calls
# standard input <stdin>).
NO_FILE: Final = "<string>"


@dataclass(frozen=True, slots=True)
class Span:
    """Where a key or value is written: 1-based lines and columns (columns
    count characters, the end is exclusive) and character offsets into the
    document as given (``doc.text[span.offset:span.end_offset]`` is the
    text)."""

    lineno: int
    colno: int
    end_lineno: int
    end_colno: int
    offset: int
    end_offset: int

    def __repr__(self) -> str:
        return (f"Span({self.lineno}:{self.colno}-{self.end_lineno}:{self.end_colno}, "
                f"offset={self.offset}, end_offset={self.end_offset})")


class ValidationError(ValueError):
    """A value of a document that parses but is wrong for its program.

    ``msg`` is the message, ``path`` the key path of the value, ``file``
    the file's path (None for a text), ``lineno`` and ``colno`` where the
    value (or its key) starts, 1-based, the column counting characters.
    ``str(err)`` is ``FILE:LINE:COL: MESSAGE``; ``err.format()`` adds the
    line and a caret under the column, as the command line shows parse
    errors.
    """

    msg: str
    path: Path
    file: str | None
    lineno: int
    colno: int
    span: Span | None
    line: str

    def __init__(self, msg: str, path: Path, file: str | None, lineno: int, colno: int,
                 span: Span | None = None, line: str = "") -> None:
        super().__init__(f"{file or NO_FILE}:{lineno}:{colno}: {msg}")
        self.msg, self.path, self.file = msg, path, file
        self.lineno, self.colno, self.span, self.line = lineno, colno, span, line

    def format(self) -> str:
        """The message and the line it points into, with a caret under the
        column: the lines the command line prints for a parse error."""
        from ._cli import diagnostic_lines
        raw = self.line.encode("utf-8", "surrogatepass")
        byte_col = len(self.line[:self.colno - 1].encode("utf-8", "surrogatepass")) + 1
        where = f"{self.file or NO_FILE}:{self.lineno}:{self.colno}"
        return "\n".join(diagnostic_lines(where, self.msg, raw, self.lineno, byte_col))

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.msg, self.path, self.file, self.lineno, self.colno,
                             self.span, self.line))


Span.__module__ = ValidationError.__module__ = "quorvane"


class _Positions:
    """Byte offsets of the reader's UTF-8 text as character offsets, lines
    and columns of the document."""

    def __init__(self, text: str, skipped: int) -> None:
        self.text = text
        self.skipped = skipped  # characters before the reader's text (a mark)
        self._ascii = text.isascii()
        self._starts: list[int] | None = None  # byte offsets just past each non-ASCII character
        self._extra: list[int] = []  # the bytes beyond one of those characters, up to each
        self._lines: list[int] | None = None

    def _table(self) -> list[int]:
        """The non-ASCII characters' table, made on the first look-up."""
        starts: list[int] = []
        extra = 0
        for m in re.finditer(r"[^\x00-\x7f]+", self.text[self.skipped:]):
            at = m.start() + extra
            for ch in m.group():
                width = len(ch.encode("utf-8", "surrogatepass"))
                at += width
                extra += width - 1
                starts.append(at)
                self._extra.append(extra)
        self._starts = starts
        return starts

    def char(self, byte: int) -> int:
        """The document's character offset of a byte offset of the reader's text."""
        if self._ascii:
            return byte + self.skipped
        k = bisect_right(self._starts if self._starts is not None else self._table(), byte)
        return byte - (self._extra[k - 1] if k else 0) + self.skipped

    def line_col(self, offset: int) -> tuple[int, int]:
        """The line and column of a character offset.  Lines end at '\\n',
        as the readers count them; a byte-order mark is not a column."""
        lines = self._lines
        if lines is None:
            lines = self._lines = [0] + [m.end() for m in re.finditer("\n", self.text)]
        i = bisect_right(lines, offset) - 1
        start = lines[i] if i else self.skipped
        return i + 1, offset - start + 1

    def span(self, start: int, end: int) -> Span:
        a, b = self.char(start), self.char(end)
        return Span(*self.line_col(a), *self.line_col(b), a, b)

    def line(self, lineno: int) -> str:
        """The text of a line, without its line break (nor the mark)."""
        self.line_col(0)
        assert self._lines is not None
        start = self._lines[lineno - 1] if lineno > 1 else self.skipped
        end = self.text.find("\n", start)
        return self.text[start:] if end < 0 else self.text[start:end].removesuffix("\r")


class Document:
    """A parsed document that tells where each key and value was written.

    ``tree`` is the tree ``loads``/``load`` give; ``text`` the document (a
    document of bytes decoded as the reader decoded it, a byte-order mark
    kept as U+FEFF); ``file`` its path or None; ``format`` its format name.
    A path is a tuple of dict keys and list indices: ``("tool", "ruff",
    "line-length")``, ``("package", 3, "name")``.
    """

    __slots__ = ("tree", "text", "file", "format", "_records", "_skipped", "_positions", "_children",
                 "_ordinals")

    tree: Any
    text: str
    file: str | None
    format: str

    def __init__(self, tree: Any, text: str, file: str | None, format: str,
                 records: bytes, skipped: int) -> None:
        self.tree = tree
        self.text = text
        self.file = file
        self.format = format
        self._records: Any = records  # cast to uint32s when first read
        self._skipped = skipped
        self._positions: _Positions | None = None
        self._children: dict[tuple[int, int], int] | None = None
        self._ordinals: dict[int, dict[Any, int]] = {}

    def __repr__(self) -> str:
        where = f" file={self.file!r}" if self.file is not None else ""
        return f"<quorvane.Document format={self.format!r}{where}>"

    @property
    def _pos(self) -> _Positions:
        pos = self._positions
        if pos is None:
            pos = self._positions = _Positions(self.text, self._skipped)
        return pos

    def _record(self, path: Path) -> int:
        """The record of the value at path; KeyError(path) when it is not in
        the tree."""
        if not isinstance(path, tuple):
            raise TypeError(f"path must be a tuple of keys and indices, not "
                            f"{type(path).__name__}")
        children = self._children
        if children is None:
            r = self._records = memoryview(self._records).cast("I")
            # Built in C; a later record of the same place replaces an earlier one.
            children = self._children = dict(zip(zip(r[0::FIELDS], r[1::FIELDS]),
                                                  range(len(r) // FIELDS)))
        node, record = self.tree, 0
        for part in path:
            if isinstance(node, dict):
                ordinals = self._ordinals.get(record)
                if ordinals is None:
                    ordinals = self._ordinals[record] = {k: i for i, k in enumerate(node)}
                try:
                    ordinal = ordinals[part]
                except (KeyError, TypeError):
                    raise KeyError(path) from None
            elif isinstance(node, list) and type(part) is int and -len(node) <= part < len(node):
                ordinal = part % len(node)
            else:
                raise KeyError(path)
            node = node[ordinal] if isinstance(node, list) else node[part]
            found = children.get((record, ordinal))
            if found is None:  # a reader that left a value out: no place to tell
                raise KeyError(path)
            record = found
        return record

    def span(self, path: Path = ()) -> Span:
        """Where the value at path is written (the root: the whole document,
        or a JSON text's value)."""
        base = self._record(path) * FIELDS
        return self._pos.span(self._records[base + 4], self._records[base + 5])

    def key_span(self, path: Path) -> Span | None:
        """Where the key of the value at path is written; None for the root
        and for list items."""
        base = self._record(path) * FIELDS
        start = self._records[base + 2]
        if start == NO_SPAN:
            return None
        return self._pos.span(start, self._records[base + 3])

    def error(self, path: Path, message: str,
              at: Literal["value", "key"] = "value") -> ValidationError:
        """A ValidationError pointing at the value at path, or at its key
        (``at="key"``; a list item or the root, which have none, point at
        the value)."""
        if at not in ("value", "key"):
            raise ValueError(f"at must be 'value' or 'key', not {at!r}")
        span = self.key_span(path) if at == "key" else None
        if span is None:
            span = self.span(path)
        return ValidationError(message, path, self.file, span.lineno, span.colno, span,
                               self._pos.line(span.lineno))


# ---------------------------------------------------------------------------
# The readers with spans.

def _toml(version: str) -> Callable[[str], Spanned]:
    return lambda text: _std.parse_toml(text, version, None, True)


def _json_family(flags: int) -> Callable[[str], Spanned]:
    return lambda text: _std.parse_json(text, flags | 128)


# The plain "json" reads documents with the core reader; its spans come from
# the companion module's JSON reader without options, which reads every
# document as the core reader does (the tests compare them over the
# conformance suite and the real files), except that it takes lone
# surrogates in a str, which _spanned() sends to the plain reader.
_SPANNED: Final[dict[str, Callable[[str], Spanned]]] = {
    "json": _json_family(0),
    "jsonc": _json_family(1 | 2),
    "json5": _json_family(1 | 2 | 4 | 8 | 16),
    "toml": _toml("1.1"),
    "toml-1.1": _toml("1.1"),
    "toml-1.0": _toml("1.0"),
}


def _spans_reader(format: str, options: dict[str, Any], caller: str) -> Callable[[str], Spanned]:
    _reader(format, options, caller)  # the plain path's checks of the name and options
    if format == "ini":
        return ini.span_reader(caller, options)
    spanned = _SPANNED.get(format)
    if spanned is None:
        raise ValueError(f"the format {format!r} has no spans: only the standard readers "
                         f"record them ({', '.join(map(repr, [*_SPANNED, 'ini']))})")
    return spanned


def _decoded(doc: str | bytes, path: str | None) -> tuple[str, int] | None:
    """The document as a str, and how many of its characters (a mark) come
    before the reader's text; None when it does not decode as loads would
    decode it."""
    text: str | bytes = doc
    skipped = 0
    if doc and doc[0] in MARK_LEADS:
        try:
            text, skip_bytes, _ = reader_text(doc, path)
        except ValueError:
            return None
        skipped = 1 if skip_bytes else 0
    if isinstance(text, bytes):
        try:
            text = text.decode("utf-8")
        except UnicodeDecodeError:
            return None
    return ("\ufeff" + text if skipped else text), skipped


def _decodings(doc: str | bytes, fmt: str, path: str | None) -> Iterator[tuple[str, int]]:
    """The ways loads decodes the document, in its order: as UTF-8 (after
    a mark), then, for JSON, as UTF-16 or UTF-32 without a mark (looked for
    only once the first failed to parse, as loads does)."""
    decoded = _decoded(doc, path)
    if decoded is not None:
        yield decoded
    if isinstance(doc, bytes) and fmt == "json":
        wide = unmarked_wide(doc)
        if wide is not None:
            try:
                yield doc.decode(wide[1]), 0
            except UnicodeDecodeError:
                pass


def _document(doc: str | bytes, fmt: str, options: dict[str, Any], path: str | None,
              caller: str) -> Document:
    if not options and doc and doc[0] not in MARK_LEADS:
        # The usual call, a text without a mark and no options, straight
        # to the reader; anything else, and any failure, the whole way.
        spanned = _SPANNED.get(fmt)
        if spanned is not None:
            try:
                text = doc if isinstance(doc, str) else doc.decode("utf-8")
                if fmt != "json" or text.isascii():
                    tree, records = spanned(text)
                    return Document(tree, text, path, fmt, records, 0)
            except (ValueError, RecursionError, MemoryError):
                pass
    spanned = (_SPANNED.get(fmt) if not options else None) or _spans_reader(fmt, options, caller)
    for text, skipped in _decodings(doc, fmt, path):
        body = text[skipped:]
        try:
            if fmt == "json" and not body.isascii():
                body.encode("utf-8")  # the core reader takes no lone surrogate
            tree, records = spanned(body)
        except (ValueError, RecursionError, MemoryError):
            continue
        return Document(tree, text, path, fmt, records, skipped)
    # The reader's failure, exactly as the plain path reports it.
    loads(doc, fmt, **options)  # type: ignore[arg-type]
    raise ValueError(f"the {fmt} reader with spans refused a document that its plain "
                     "reader reads")


def loads_with_spans(text: str | bytes | bytearray | memoryview, format: Format,
                     **options: Any) -> Document:
    """Parses a whole document, given as str or bytes-like object, into a
    Document that tells where each key and value was written.

    The formats and options are those of ``loads`` (bytes are decoded as
    ``loads`` decodes them; offsets count characters of the decoded text);
    the dialect readers ("toml-dialect", "ini-dialect") have no spans.
    Raises the ParseError ``loads`` raises for a document that does not
    parse.
    """
    return _document(document(text), format, options, None, "loads_with_spans")


def load_with_spans(source: Source, format: Format | None = None, **options: Any) -> Document:
    """Parses a whole file, given as a path or a binary file object, into a
    Document; the format and options are chosen as ``load`` chooses them."""
    path = source_path(source)
    known: Mapping[str, Any] = {}
    if format is not None:
        fmt = format
    elif path is not None:
        fmt, known = format_for_path(path)
    else:
        raise ValueError("format= is required for a file object without a name")
    return _document(read_source(source, path), fmt, {**known, **options}, path,
                     "load_with_spans")
