"""JSON as the standard library's json reads it, with its interface.

    >>> import quorvane.json as json
    >>> json.loads('{"ratio": NaN, "n": 1}')
    {'ratio': nan, 'n': 1}

``loads`` and ``load`` take json's arguments and give json's results:
NaN and Infinity read as floats, lone surrogate escapes kept, control
characters refused unless ``strict=False``, the hooks called as json calls
them.  A document json refuses raises :class:`JSONDecodeError`, which
``except json.JSONDecodeError`` and ``except quorvane.ParseError`` both
catch, with json's message, position, line and column.  ``dumps`` and
``dump`` write natively with json's arguments, text and errors (a ``cls``
that does its own encoding is handed the call); ``JSONEncoder`` is json's
own.
"""

from __future__ import annotations

import json as _json
from json import JSONDecoder, JSONEncoder, detect_encoding
from typing import Any, Callable

from . import _std
from ._api import ParseError
from ._json_write import dump, dumps

__all__ = ["JSONDecodeError", "JSONDecoder", "JSONEncoder", "dump", "dumps", "load", "loads"]

# The reader's options (see quorvane._std.parse_json).
_NONFINITE = 8
_LONE_SURROGATES = 16
_CONTROL = 32
_PYTHON = 64
_STRICT_FLAGS = _PYTHON | _NONFINITE | _LONE_SURROGATES
_LAX_FLAGS = _STRICT_FLAGS | _CONTROL
# First bytes of the marks json looks for, and of UTF-16 and UTF-32 text
# that starts with a NUL byte.
_MARK_LEADS = frozenset(b"\x00\xef\xfe\xff")


# Both bases type `doc`: json's as str, ParseError's as str or bytes; here it
# is always the str that was read.
class JSONDecodeError(_json.JSONDecodeError, ParseError):  # type: ignore[misc]
    """A document that json refuses: ``msg``, ``doc``, ``pos`` (an index
    into the str read), ``lineno`` and ``colno`` (counting characters), and
    the text, exactly as json's own error has them."""

    # An attribute of each error, as json sets it; ParseError computes its
    # own from the line and column, which count bytes.
    pos: int = 0
    path: str | None = None

    def __init__(self, msg: str, doc: str, pos: int) -> None:
        _json.JSONDecodeError.__init__(self, msg, doc, pos)

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.msg, self.doc, self.pos))


def _plain(hook: Any, default: Any) -> Any:
    """A hook json would not call: None, or the type it stands for."""
    return None if hook is None or hook is default else hook


def loads(s: str | bytes | bytearray, *, cls: type[JSONDecoder] | None = None,
          object_hook: Callable[[dict[Any, Any]], Any] | None = None,
          parse_float: Callable[[str], Any] | None = None,
          parse_int: Callable[[str], Any] | None = None,
          parse_constant: Callable[[str], Any] | None = None,
          object_pairs_hook: Callable[[list[tuple[Any, Any]]], Any] | None = None,
          **kw: Any) -> Any:
    """Deserialize ``s`` (str, bytes or bytearray holding a JSON document)
    as json.loads does."""
    if isinstance(s, str):
        if s.startswith("\ufeff"):
            raise JSONDecodeError("Unexpected UTF-8 BOM (decode using utf-8-sig)", s, 0)
    elif isinstance(s, (bytes, bytearray)):
        # Bytes that start with neither a mark nor a NUL are UTF-8 to json:
        # read as they are, the reader decodes UTF-8 as json does.
        if type(s) is not bytes or len(s) < 2 or s[0] in _MARK_LEADS or not s[1]:
            encoding = detect_encoding(s)
            if encoding != "utf-8" or type(s) is not bytes:
                s = s.decode(encoding, "surrogatepass")
    else:
        raise TypeError(f"the JSON object must be str, bytes or bytearray, "
                        f"not {s.__class__.__name__}")
    if cls is not None and cls is not JSONDecoder:
        # Another decoder class decides for itself, as with json.loads.
        for name, hook in (("object_hook", object_hook), ("parse_float", parse_float),
                           ("parse_int", parse_int), ("parse_constant", parse_constant),
                           ("object_pairs_hook", object_pairs_hook)):
            if hook is not None:
                kw[name] = hook
        if isinstance(s, bytes):
            s = s.decode("utf-8", "surrogatepass")
        return cls(**kw).decode(s)
    if not kw and object_hook is None and object_pairs_hook is None and parse_float is None \
            and parse_int is None and parse_constant is None:
        return _std.parse_json(s, _STRICT_FLAGS, JSONDecodeError)
    flags = _STRICT_FLAGS
    if kw:
        strict = kw.pop("strict", True)
        if kw:
            JSONDecoder(**kw)  # raises json's TypeError for the keyword
        if not strict:
            flags = _LAX_FLAGS
    return _std.parse_json(s, flags, JSONDecodeError, object_hook, object_pairs_hook,
                           _plain(parse_float, float), _plain(parse_int, int), parse_constant)


def load(fp: Any, *, cls: type[JSONDecoder] | None = None,
         object_hook: Callable[[dict[Any, Any]], Any] | None = None,
         parse_float: Callable[[str], Any] | None = None,
         parse_int: Callable[[str], Any] | None = None,
         parse_constant: Callable[[str], Any] | None = None,
         object_pairs_hook: Callable[[list[tuple[Any, Any]]], Any] | None = None,
         **kw: Any) -> Any:
    """Deserialize the JSON document read from ``fp`` (a text or binary
    file object) as json.load does."""
    return loads(fp.read(), cls=cls, object_hook=object_hook, parse_float=parse_float,
                 parse_int=parse_int, parse_constant=parse_constant,
                 object_pairs_hook=object_pairs_hook, **kw)
