"""Standard TOML (1.1 by default, or 1.0) with the interface of tomllib.

    >>> import quorvane.toml as tomllib
    >>> tomllib.loads('when = 1979-05-27T07:32:00Z')
    {'when': datetime.datetime(1979, 5, 27, 7, 32, tzinfo=datetime.timezone.utc)}

Code written against tomllib or tomli works unchanged; ``toml_version``
chooses between TOML 1.1 (the default) and TOML 1.0.
"""

from __future__ import annotations

from typing import IO, Any, Callable

from . import _std
from ._source import offset_failure

__all__ = ["TOMLDecodeError", "load", "loads"]

ParseFloat = Callable[[str], Any]

_VERSIONS = ("1.0", "1.1")
_UNSET: Any = object()


class TOMLDecodeError(ValueError):
    """A document that is not valid TOML.

    Adds to ValueError: ``msg`` (the message alone), ``doc`` (the document),
    ``pos`` (the index in ``doc`` where it goes wrong), and ``lineno`` and
    ``colno`` (1-based; the column counts characters).
    """

    msg: str
    doc: str
    pos: int
    lineno: int
    colno: int

    def __init__(self, msg: Any = _UNSET, doc: Any = _UNSET, pos: Any = _UNSET,
                 *args: Any) -> None:
        if args or not isinstance(msg, str) or not isinstance(doc, str) \
                or not isinstance(pos, int):
            # Code written for older tomllib raises it with free-form
            # arguments, like any ValueError: still accepted, with a warning.
            import warnings

            warnings.warn("Free-form arguments for TOMLDecodeError are deprecated. "
                          "Please set 'msg' (str), 'doc' (str) and 'pos' (int) arguments only.",
                          DeprecationWarning, stacklevel=2)
            given = [a for a in (msg, doc, pos) if a is not _UNSET]
            super().__init__(*given, *args)
            return
        lineno = doc.count("\n", 0, pos) + 1
        colno = pos + 1 if lineno == 1 else pos - doc.rindex("\n", 0, pos)
        where = "end of document" if pos >= len(doc) else f"line {lineno}, column {colno}"
        super().__init__(f"{msg} (at {where})")
        self.msg = msg
        self.doc = doc
        self.pos = pos
        self.lineno = lineno
        self.colno = colno

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.msg, self.doc, self.pos))


def _decode_error(doc: str, msg: str, offset: int) -> TOMLDecodeError:
    """The TOMLDecodeError for byte offset ``offset`` of doc's UTF-8 text
    (lone surrogates kept): its place in doc counts characters."""
    head = doc.encode("utf-8", "surrogatepass")[:offset]
    return TOMLDecodeError(msg, doc, len(head.decode("utf-8", "surrogatepass")))


class _CallerFailure(Exception):
    """Carries an exception of the caller's parse_float through the reader,
    so that it is never taken for a document error."""


def _guarded(parse_float: ParseFloat) -> ParseFloat:
    def call(text: str) -> Any:
        try:
            return parse_float(text)
        except Exception as exc:
            raise _CallerFailure(exc) from exc
    return call


def loads(s: str, /, *, parse_float: ParseFloat = float,
          toml_version: str = "1.1") -> dict[str, Any]:
    """Parse a TOML document given as str."""
    if not isinstance(s, str):
        raise TypeError(f"Expected str object, not '{type(s).__qualname__}'")
    if toml_version not in _VERSIONS:
        raise ValueError(
            f"unsupported TOML version {toml_version!r}: expected '1.0' or '1.1'")
    try:
        return _std.parse_toml(s, toml_version,
                               None if parse_float is float else _guarded(parse_float))
    except _CallerFailure as exc:
        caller: BaseException = exc.args[0]
    except ValueError as exc:
        failure = offset_failure(exc)
        if failure is None:
            raise
        raise _decode_error(s, *failure) from None
    raise caller


def load(fp: IO[bytes], /, *, parse_float: ParseFloat = float,
         toml_version: str = "1.1") -> dict[str, Any]:
    """Parse a TOML document from a binary file object."""
    b = fp.read()
    try:
        s = b.decode()
    except AttributeError:
        raise TypeError(
            "File must be opened in binary mode, e.g. use `open('foo.toml', 'rb')`"
        ) from None
    except UnicodeDecodeError as exc:
        # Not a document at all, but still a document error: reported at the
        # first byte that is not UTF-8.
        doc = b.decode("utf-8", "replace")
        raise _decode_error(doc, "invalid UTF-8", exc.start) from None
    return loads(s, parse_float=parse_float, toml_version=toml_version)


# Writing: the text the common TOML writer of Python gives, byte for byte.

from collections.abc import Mapping  # noqa: E402

__all__ += ["dump", "dumps"]


def _indent_text(indent: int) -> str:
    if indent < 0:
        raise ValueError("Indent width must be non-negative")
    return " " * indent


def dumps(obj: Mapping[str, Any], /, *, multiline_strings: bool = False,
          indent: int = 4) -> str:
    """The TOML document of a table (a mapping with str keys).

    Tables are written as sections, plain values first; arrays one item per
    line, each level indented by ``indent`` spaces; with
    ``multiline_strings``, strings with line ends as multi-line strings.
    """
    return _std.write_toml(obj, multiline_strings, _indent_text(indent), Mapping)


def dump(obj: Mapping[str, Any], fp: IO[bytes], /, *, multiline_strings: bool = False,
         indent: int = 4) -> None:
    """Write the TOML document of a table to a binary file object, as UTF-8."""
    text = _std.write_toml(obj, multiline_strings, _indent_text(indent), Mapping)
    fp.write(text.encode())
