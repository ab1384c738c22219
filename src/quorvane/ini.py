"""INI as Python's configparser reads it.

``loads(text)`` gives what ``configparser.ConfigParser(interpolation=None)``
shows after ``read_string(text)``, as plain dicts::

    {name: dict(parser[name]) for name in parser}

the default section first (always present), then every section in the
order of the file, each with its own keys followed by the default
section's.  Values are the raw text: no interpolation.  The options are
ConfigParser's, with its defaults, plus ``keep_case`` (keys as written
instead of ``str.lower()``).  A document configparser refuses raises
:class:`quorvane.ParseError` at the first line it objects to.
"""

from __future__ import annotations

import os
import re
from array import array
from bisect import bisect_left
from typing import IO, Any, Callable, Union

from . import _std
from ._source import MARK_LEADS, document, offset_failure, read, read_source, source_path
from ._configparser import ConfigParser, RawConfigParser

__all__ = ["ConfigParser", "RawConfigParser", "load", "loads"]

Tree = dict[Any, dict[str, Union[str, None]]]
# A tree and the bytes of its span records (6 native uint32 each).
SpannedTree = tuple[Tree, bytes]

# ConfigParser's keywords that the reader takes, with ConfigParser's
# defaults, in the order of the reader's positional arguments.
OPTIONS: dict[str, Any] = {
    "delimiters": ("=", ":"),
    "comment_prefixes": ("#", ";"),
    "inline_comment_prefixes": None,
    "strict": True,
    "empty_lines_in_values": True,
    "default_section": "DEFAULT",
    "allow_no_value": False,
    "allow_unnamed_section": False,
    "keep_case": False,
}

class _UnnamedSection:
    def __repr__(self) -> str:
        return "<UNNAMED_SECTION>"


_UNNAMED_SECTION = _UnnamedSection()


def _unnamed_section() -> object:
    """The key of the keys before the first header: configparser's own
    marker where it has one (3.13), else this module's."""
    import configparser
    return getattr(configparser, "UNNAMED_SECTION", _UNNAMED_SECTION)



def _arguments(caller: str, options: dict[str, Any]) -> tuple[Any, ...]:
    """The reader's positional arguments, from ConfigParser's keywords;
    mistakes are reported as made in a call of ``caller``."""
    for name in options:
        if name not in OPTIONS and name != "interpolation":
            raise TypeError(f"{caller}() got an unexpected keyword argument {name!r}")
    if options.get("interpolation") is not None:
        # Code moving from configparser passes interpolation=None, which is
        # what this reader does; any other would change values.
        raise TypeError(
            f"{caller}(): interpolation={options['interpolation']!r} is not supported: "
            "values are read raw, as with interpolation=None")
    o = {**OPTIONS, **options}
    unnamed: object = None
    if o["allow_unnamed_section"]:
        # The unnamed section is keyed by configparser's own marker, as in
        # its mapping; configparser is only imported when it is asked for.
        # Before Python 3.13 it has none: the key is then this module's.
        import configparser
        unnamed = getattr(configparser, "UNNAMED_SECTION", _UNNAMED_SECTION)
    # As ConfigParser.__init__ takes them: no delimiters at all behave as
    # one empty delimiter in its pattern.
    return (tuple(o["delimiters"]) or ("",), tuple(o["comment_prefixes"] or ()),
            tuple(o["inline_comment_prefixes"] or ()), bool(o["strict"]),
            bool(o["empty_lines_in_values"]), o["default_section"],
            bool(o["allow_no_value"]), unnamed, bool(o["keep_case"]))


def reader(caller: str, options: dict[str, Any]) -> Callable[[str], Tree]:
    """The reader of str for ConfigParser's keywords (and keep_case); its
    errors are ValueError(message, byte offset into the text)."""
    if not options:
        return _std.parse_ini
    parse: Callable[[str], Tree] = _parser(_arguments(caller, options), False)
    return parse


def span_reader(caller: str, options: dict[str, Any]) -> Callable[[str], SpannedTree]:
    """The reader of :func:`reader` that also gives the span records of the
    tree: offsets are UTF-8 bytes of the text it is given (a lone surrogate
    counted as the three bytes "surrogatepass" writes)."""
    parse: Callable[[str], SpannedTree] = _parser(_arguments(caller, options), True)
    return parse


def _parser(args: tuple[Any, ...], spans: bool) -> Callable[[str], Any]:
    full = (*args, True) if spans else args

    def parse(text: str) -> Any:
        try:
            return _std.parse_ini(text, *full)
        except UnicodeEncodeError:
            # The reader takes lone surrogates in the text, not in the
            # options; configparser takes both.
            if not any(_has_surrogate(s) for s in _option_strings(args)):
                raise
            return _with_surrogate_options(text, args, spans)
    return parse


def _option_strings(args: tuple[Any, ...]) -> list[str]:
    return [s for arg in args for s in (arg if isinstance(arg, tuple) else (arg,))
            if isinstance(s, str)]


def _has_surrogate(s: str) -> bool:
    return any(0xD800 <= ord(c) <= 0xDFFF for c in s)


def _with_surrogate_options(text: str, args: tuple[Any, ...], spans: bool = False) -> Any:
    """The reader's tree when an option holds a lone surrogate: every lone
    surrogate of the text and the options is read as a private-use
    character that neither holds, and turned back in the tree.  Nothing the
    reader does tells the two apart (neither is white space, neither has
    another case).  With spans, (tree, records), the records' offsets moved
    back to the text's own bytes."""
    used = set(text).union(*_option_strings(args))
    base = next(b for b in range(0xF0000, 0x10F800, 0x800)
                if not any(chr(c) in used for c in range(b, b + 0x800)))
    there = {c: base + c - 0xD800 for c in range(0xD800, 0xE000)}
    back = {v: k for k, v in there.items()}

    def swap(value: Any, table: dict[int, int]) -> Any:
        if isinstance(value, str):
            return value.translate(table)
        if isinstance(value, tuple):
            return tuple(swap(v, table) for v in value)
        return value

    mapped = text.translate(there)
    try:
        result = _std.parse_ini(mapped, *(swap(a, there) for a in args), *((True,) if spans else ()))
    except ValueError as exc:
        failure = offset_failure(exc)
        if failure is None:
            raise
        msg, offset = failure
        # The message may name the characters as repr() writes them.
        msg = re.sub(r"\\U([0-9a-f]{8})", lambda m: (
            f"\\u{back[int(m[1], 16)]:04x}" if int(m[1], 16) in back else m[0]), swap(msg, back))
        chars = len(mapped.encode("utf-8")[:offset].decode("utf-8", "ignore"))
        raise ValueError(msg,
                         len(text[:chars].encode("utf-8", "surrogatepass"))) from None
    tree = result[0] if spans else result
    tree = {swap(name, back): {swap(k, back): swap(v, back) for k, v in section.items()}
            for name, section in tree.items()}
    return (tree, _unmapped_spans(text, result[1])) if spans else tree


def _unmapped_spans(text: str, records: bytes) -> bytes:
    """Span records of the mapped text moved to the text's own bytes: each
    lone surrogate (three bytes) was read as a four-byte character."""
    starts: list[int] = []  # where each mapped character starts there
    at = 0
    for c in text:
        o = ord(c)
        if 0xD800 <= o <= 0xDFFF:
            starts.append(at)
            at += 4
        else:
            at += 1 if o < 0x80 else 2 if o < 0x800 else 3 if o < 0x10000 else 4
    fields = array("I", records)
    for i in range(len(fields)):
        if i % 6 >= 2 and fields[i] != 0xFFFFFFFF:
            fields[i] -= bisect_left(starts, fields[i])
    return fields.tobytes()


def _parse_raw(text: str, **options: Any) -> Tree:
    """The reader on a str; errors as ValueError(message, byte offset into
    text).  The callers have already skipped a leading byte-order mark,
    which configparser would read as part of the first line."""
    return reader("_parse_raw", options)(text)


def loads(text: str | bytes | bytearray | memoryview, **options: Any) -> Tree:
    """Parses an INI document given as str or bytes (read as UTF-8).

    Options: delimiters, comment_prefixes, inline_comment_prefixes, strict,
    empty_lines_in_values, default_section, allow_no_value,
    allow_unnamed_section (as ConfigParser takes them; interpolation=None
    is accepted too) and keep_case.  The unnamed section's key is
    configparser.UNNAMED_SECTION; before Python 3.13, where configparser has
    none, it is a marker of the same repr.  Raises quorvane.ParseError with the
    byte line and column."""
    parse = reader("loads", options)
    doc = document(text)
    if doc and doc[0] not in MARK_LEADS:
        # Most documents go straight to the reader: on small files the
        # shared path below costs as much as the parse.  Byte-order marks,
        # undecodable bytes and errors take that path, which reports them.
        try:
            return parse(doc if isinstance(doc, str) else doc.decode("utf-8"))
        except ValueError:
            pass
    tree: Tree = read(doc, parse, True, None)
    return tree


def load(source: str | os.PathLike[str] | IO[bytes], **options: Any) -> Tree:
    """Parses an INI file given as a path or a binary file object; the
    options are those of :func:`loads`."""
    parse = reader("load", options)
    path = source_path(source)
    tree: Tree = read(read_source(source, path), parse, True, path)
    return tree


# Writing: the text configparser's write() gives.

__all__ += ["dump", "dumps"]

# Native with its keywords: on a small file the call is most of the time.
dumps = _std.write_ini


def dump(tree: Any, fp: IO[str], /, **options: Any) -> None:
    """Write the INI text of a tree (see :func:`dumps`) to a text file object,
    as configparser's ``write(fp)`` does."""
    fp.write(dumps(tree, **options))
