"""The Python face of the parsers: loads/load and ParseError."""

from __future__ import annotations

from typing import Any, Callable, Final, TypeVar, cast

from . import _std
from ._formats import FORMATS, Format, Reader, format_for_path
from ._source import (MARK_LEADS, ParseError, Source, document, parse_text, read, read_source,
                      reader_text, source_path, unmarked_wide)

__all__ = ["Format", "ParseError", "load", "loads"]


def _reader(format: str, options: dict[str, Any], caller: str) -> tuple[Reader, Callable[[Any], Any]]:
    """The reader of a format name, and its parse function for the options."""
    reader = FORMATS.get(format) if isinstance(format, str) else None
    if reader is None or reader.parse is None:
        names = ", ".join(repr(name) for name, r in FORMATS.items() if r.parse is not None)
        raise ValueError(f"unknown format {format!r}: expected one of {names}")
    if not options:
        return reader, reader.parse
    if reader.configure is None:
        name = next(iter(options))
        raise TypeError(f"{caller}() got an unexpected keyword argument {name!r} "
                        f"(the format {format!r} takes no options)")
    return reader, reader.configure(caller, options)


def _dialect_failure(err: ParseError, doc: str | bytes, reader: Reader,
                     parse: Callable[[Any], Any], path: str | None) -> Any:
    """What a dialect reader's failure becomes: the tree of a JSON text in
    UTF-16 or UTF-32 without a mark, or the error, with a hint when the
    standard reader reads the document."""
    if isinstance(doc, bytes) and parse is _JSON:
        # Such a text is never UTF-8 (a zero byte is not JSON), so it is
        # only looked for once UTF-8 failed.
        wide = unmarked_wide(doc)
        if wide is not None:
            text, skipped, wide = reader_text(doc, path, wide)
            return parse_text(doc, parse, text, skipped, wide, path)
    if reader.standard_form is not None:
        raise _with_hint(err, doc, reader.standard_form) from None
    raise err from None


_JSON = FORMATS["json"].parse


def _read(doc: str | bytes, reader: Reader, parse: Callable[[Any], Any], path: str | None) -> Any:
    """The tree of a whole document; a dialect reader's failure goes
    through _dialect_failure."""
    try:
        return read(doc, parse, reader.standard, path)
    except ParseError as err:
        if reader.standard:
            raise
        failure = err
    return _dialect_failure(failure, doc, reader, parse, path)


def _with_hint(err: ParseError, doc: str | bytes, standard_form: tuple[str, str]) -> ParseError:
    """The dialect reader's error, told that the standard reader reads the
    document when it does."""
    fmt, hint = standard_form
    other = FORMATS[fmt]
    assert other.parse is not None
    try:
        read(doc, other.parse, other.standard, err.path)
    except (ValueError, RecursionError):
        return err
    hinted = ParseError(f"{err.msg} ({hint})", err.doc, err.lineno, err.colno, err.path)
    hinted._wide = err._wide
    return hinted


# For a call without options on a document without a mark, loads() and
# load() go straight to the format's reader.  Only a success is taken from
# that call: a failure goes the whole way round again, which tells it as a
# ParseError (or reads the documents only the full path reads).
_DIRECT: Final[dict[str, tuple[Callable[[Any], Any], bool]]] = {
    name: (r.parse, r.standard) for name, r in FORMATS.items() if r.parse is not None}
_NO_TREE: Final = object()


def _direct(doc: object, format: object) -> Any:
    """The tree of a document read straight by its reader, or _NO_TREE
    when the full path is needed (for the answer or for the error)."""
    # On small documents this call is a good part of the whole: each test
    # is the cheapest of its kind (a subscript, not dict.get; a str's mark
    # is one character, compared, not looked up).
    if type(format) is not str:
        return _NO_TREE
    try:
        parse, takes_str = _DIRECT[format]
    except KeyError:
        return _NO_TREE
    if not doc:
        return _NO_TREE
    kind = type(doc)
    if kind is str:
        if doc[0] == "\ufeff":  # type: ignore[index]
            return _NO_TREE
    elif kind is not bytes or doc[0] in MARK_LEADS:  # type: ignore[index]
        return _NO_TREE
    try:
        if takes_str and kind is bytes:
            doc = doc.decode("utf-8")  # type: ignore[attr-defined]
        return parse(doc)
    except ValueError:  # UnicodeDecodeError among them
        return _NO_TREE


_F = TypeVar("_F", bound=Callable[..., Any])


def _native(fallback: _F) -> _F:
    """loads() as a built-in function around its Python implementation: the
    calls _direct would read (no options, a format of the table, a str or
    bytes without a mark) are read natively, all others go to fallback."""
    rows = tuple((name, *r.call, r.standard) for name, r in FORMATS.items()
                 if r.parse is not None and r.call is not None)
    leads = bytes(sorted(lead for lead in MARK_LEADS if isinstance(lead, int)))
    return cast(_F, _std.native_loads(fallback, rows, leads))


@_native
def loads(text: str | bytes | bytearray | memoryview, format: Format, **options: Any) -> Any:
    # The calls _direct would read are read by the built-in function before
    # this runs (its docstring is the function's, in loads.cpp); this sees
    # the others, and those whose reading failed.
    reader, parse = _reader(format, options, "loads")
    return _read(document(text), reader, parse, None)


def load(source: Source, format: Format | None = None, **options: Any) -> Any:
    """Parses a whole file, given as a path or as a binary file object.

    Without ``format`` the file's name decides: a well-known name
    (pyproject.toml, setup.cfg, .editorconfig, ...) or its suffix (.json,
    .toml, .ini, ...), read with the options that kind of file needs; the
    caller's ``options`` are applied over those.  With ``format`` the file
    is read as that format, with the caller's options only.  The file is
    read as bytes and parsed whole.
    """
    path = source_path(source)
    if format is None:
        if path is None:
            raise ValueError("format= is required for a file object without a name")
        fmt, known = format_for_path(path)
        options = {**known, **options}
    else:
        fmt = format
    reader, parse = _reader(fmt, options, "load")
    doc = read_source(source, path)
    if not options:
        tree = _direct(doc, fmt)
        if tree is not _NO_TREE:
            return tree
    return _read(doc, reader, parse, path)
