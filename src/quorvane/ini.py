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
from typing import IO, Any, Iterable, Union

from . import _std
from ._api import _MARK_LEADS, _document, _parse_standard, _read_source, _source_path

__all__ = ["load", "loads"]

Tree = dict[Any, dict[str, Union[str, None]]]


class _UnnamedSection:
    def __repr__(self) -> str:
        return "<UNNAMED_SECTION>"


_UNNAMED_SECTION = _UnnamedSection()


def _arguments(*,
               delimiters: Iterable[str] = ("=", ":"),
               comment_prefixes: Iterable[str] | None = ("#", ";"),
               inline_comment_prefixes: Iterable[str] | None = None,
               strict: bool = True,
               empty_lines_in_values: bool = True,
               default_section: str = "DEFAULT",
               allow_no_value: bool = False,
               allow_unnamed_section: bool = False,
               keep_case: bool = False) -> tuple[Any, ...]:
    """The reader's positional options, from ConfigParser's keywords."""
    unnamed: object = None
    if allow_unnamed_section:
        # The unnamed section is keyed by configparser's own marker, as in
        # its mapping; configparser is only imported when it is asked for.
        # Before Python 3.13 it has none: the key is then this module's.
        import configparser
        unnamed = getattr(configparser, "UNNAMED_SECTION", _UNNAMED_SECTION)
    # As ConfigParser.__init__ takes them: no delimiters at all behave as
    # one empty delimiter in its pattern.
    return (tuple(delimiters) or ("",), tuple(comment_prefixes or ()),
            tuple(inline_comment_prefixes or ()), bool(strict),
            bool(empty_lines_in_values), default_section, bool(allow_no_value),
            unnamed, bool(keep_case))


def _parse_raw(text: str, **options: Any) -> Tree:
    """The reader; errors as ValueError(message, byte offset into text).

    The options are ConfigParser's keywords and keep_case.  The callers
    (quorvane.loads/load and this module's) have already skipped a leading
    byte-order mark, which configparser would read as part of the first
    line."""
    args = _arguments(**options) if options else ()
    return _std.parse_ini(text, *args)


def loads(text: str | bytes | bytearray | memoryview, **options: Any) -> Tree:
    """Parses an INI document given as str or bytes (read as UTF-8).

    Options: delimiters, comment_prefixes, inline_comment_prefixes, strict,
    empty_lines_in_values, default_section, allow_no_value,
    allow_unnamed_section (as ConfigParser takes them) and keep_case.
    The unnamed section's key is configparser.UNNAMED_SECTION; before
    Python 3.13, where configparser has none, it is a marker of the same
    repr, the key that follows the default section's.
    Raises quorvane.ParseError with the byte line and column."""
    text = _document(text)
    if text and text[0] not in _MARK_LEADS:
        # Most documents go straight to the reader: on small files the
        # shared path below costs as much as the parse.  Byte-order marks,
        # undecodable bytes and errors take that path, which reports them.
        try:
            return _parse_raw(text if isinstance(text, str) else text.decode("utf-8"),
                              **options)
        except ValueError:
            pass
    tree: Tree = _parse_standard(text, "configparser", None,
                                 lambda doc: _parse_raw(doc, **options))
    return tree


def load(source: str | os.PathLike[str] | IO[bytes], **options: Any) -> Tree:
    """Parses an INI file given as a path or a binary file object; the
    options are those of :func:`loads`."""
    path = _source_path(source)
    data = _read_source(source, path)
    tree: Tree = _parse_standard(data, "configparser", path,
                                 lambda doc: _parse_raw(doc, **options))
    return tree
