"""JSON writing with json.dumps's interface and output.

``dumps`` and ``dump`` take json's arguments and give json's text and
errors; the writing itself is native.  A ``cls`` is built as json builds
it, and its attributes (separators, options, ``default``) drive the native
writer; a ``cls`` that overrides ``encode`` or ``iterencode`` does its own
writing and is handed the call.
"""

from __future__ import annotations

from json import JSONEncoder
from typing import IO, Any, Callable

from . import _std

__all__ = ["dump", "dumps"]

_ENCODE = JSONEncoder.encode
_ITERENCODE = JSONEncoder.iterencode
_DEFAULT = JSONEncoder.default


def _indent_text(indent: Any) -> str | None:
    # As JSONEncoder.iterencode: a str is taken as it is, a number of spaces otherwise.
    if indent is None or isinstance(indent, str):
        return indent
    spaces: str = " " * indent
    return spaces


def _write(obj: Any, skipkeys: Any, ensure_ascii: Any, check_circular: Any, allow_nan: Any,
           sort_keys: Any, indent: Any, separators: Any, default: Any) -> str:
    if separators is not None:
        item_separator, key_separator = separators
    elif indent is not None:
        item_separator, key_separator = ",", ": "
    else:
        item_separator, key_separator = ", ", ": "
    return _std.write_json(obj, skipkeys, ensure_ascii, check_circular, allow_nan, sort_keys,
                           _indent_text(indent), item_separator, key_separator, default)


def _encoder_write(enc: JSONEncoder, obj: Any) -> str:
    """What ``enc.encode(obj)`` gives, for an encoder that writes as json's does."""
    default: Callable[[Any], Any] | None = enc.default
    if getattr(default, "__func__", None) is _DEFAULT:
        default = None  # json's own refusal, raised natively with its message
    return _std.write_json(obj, enc.skipkeys, enc.ensure_ascii, enc.check_circular, enc.allow_nan,
                           enc.sort_keys, _indent_text(enc.indent), enc.item_separator,
                           enc.key_separator, default)


def _own_writing(cls: type, *, iterencode_only: bool = False) -> bool:
    if getattr(cls, "iterencode", _ITERENCODE) is not _ITERENCODE:
        return True
    return not iterencode_only and getattr(cls, "encode", _ENCODE) is not _ENCODE


def dumps(obj: Any, *, skipkeys: bool = False, ensure_ascii: bool = True,
          check_circular: bool = True, allow_nan: bool = True, cls: type[JSONEncoder] | None = None,
          indent: None | int | str = None, separators: tuple[str, str] | None = None,
          default: Callable[[Any], Any] | None = None, sort_keys: bool = False,
          **kw: Any) -> str:
    """Serialize ``obj`` to a JSON formatted ``str``, exactly as ``json.dumps`` does."""
    if cls is None and not kw:
        return _write(obj, skipkeys, ensure_ascii, check_circular, allow_nan, sort_keys, indent,
                      separators, default)
    if cls is None:
        cls = JSONEncoder
    enc = cls(skipkeys=skipkeys, ensure_ascii=ensure_ascii, check_circular=check_circular,
              allow_nan=allow_nan, indent=indent, separators=separators, default=default,
              sort_keys=sort_keys, **kw)
    if _own_writing(type(enc)):
        return enc.encode(obj)
    return _encoder_write(enc, obj)


def dump(obj: Any, fp: IO[str], *, skipkeys: bool = False, ensure_ascii: bool = True,
         check_circular: bool = True, allow_nan: bool = True, cls: type[JSONEncoder] | None = None,
         indent: None | int | str = None, separators: tuple[str, str] | None = None,
         default: Callable[[Any], Any] | None = None, sort_keys: bool = False,
         **kw: Any) -> None:
    """Serialize ``obj`` as a JSON formatted stream to ``fp`` (a ``.write()``-supporting
    file-like object), with the text ``json.dump`` writes.

    The document is written by one ``fp.write`` call once it is complete, so
    an object that cannot be written leaves ``fp`` untouched.
    """
    if cls is None:
        cls = JSONEncoder
    enc = cls(skipkeys=skipkeys, ensure_ascii=ensure_ascii, check_circular=check_circular,
              allow_nan=allow_nan, indent=indent, separators=separators, default=default,
              sort_keys=sort_keys, **kw)
    if _own_writing(type(enc), iterencode_only=True):
        # json.dump writes the chunks of iterencode as they come.
        for chunk in enc.iterencode(obj):
            fp.write(chunk)
        return
    fp.write(_encoder_write(enc, obj))
