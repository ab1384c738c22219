"""What every parse of arbitrary bytes must satisfy.

Shared by the fuzz targets and by the tests that replay their findings:
the only exceptions are a position error whose line and column lie inside
the document, a decoding error, and MemoryError; and where a well-known
single-format parser accepts the same input inside the common ground, the
trees are identical (types, key order and float bits included).
"""

from __future__ import annotations

import configparser
import datetime
import json
import math
import struct
import sys
import tomllib
from typing import Any, Callable

import _quorvane
from quorvane._position import parse_position
from quorvane._source import offset_failure

# `same` recurses once per level; trees reach 512 levels.
sys.setrecursionlimit(max(sys.getrecursionlimit(), 10_000))


class Disagreement(AssertionError):
    pass


def check_position(data: bytes, exc: BaseException) -> None:
    if isinstance(exc, UnicodeDecodeError):
        check_refused_byte(data, exc)
        return
    if isinstance(exc, MemoryError):
        return
    if type(exc) is not ValueError:
        raise Disagreement(f"unexpected exception {type(exc).__name__}: {exc}")
    position = parse_position(str(exc))
    if position is None or not position[2]:
        raise Disagreement(f"not a position error: {exc}")
    line, col, _ = position
    lines = data.split(b"\n")
    if not 1 <= line <= len(lines):
        raise Disagreement(f"line {line} outside 1..{len(lines)}: {exc}")
    if not 1 <= col <= len(lines[line - 1]) + 1:
        raise Disagreement(f"column {col} outside line {line}: {exc}")


def check_refused_byte(data: bytes, exc: UnicodeDecodeError) -> None:
    """A reader's decoding error names, as doc_offset, a byte of the
    document where a character that is not UTF-8 starts."""
    offset = getattr(exc, "doc_offset", None)
    if not isinstance(offset, int) or not 0 <= offset < len(data):
        raise Disagreement(f"decoding error without a place in the document: {offset!r}")
    try:
        data[offset:offset + 4].decode("utf-8")
    except UnicodeDecodeError as again:
        if again.start == 0:
            return
    raise Disagreement(f"doc_offset {offset} is not where the text stops being UTF-8")


def same(a: Any, b: Any) -> bool:
    """Equality that also compares types, key order and float bits."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, float):
        if math.isnan(a):
            return math.isnan(b)
        return struct.pack("<d", a) == struct.pack("<d", b)
    if isinstance(a, (datetime.datetime, datetime.time)):
        # Equal instants in different zones compare equal: the zones must too.
        return a == b and a.tzinfo == b.tzinfo
    return bool(a == b)


def _refuse_constant(name: str) -> Any:
    raise ValueError(name)


def _walk(tree: Any):
    """Every (value, depth) of a tree, without recursion: fuzzed documents
    nest deeper than the interpreter's recursion limit."""
    stack = [(tree, 1)]
    while stack:
        node, depth = stack.pop()
        yield node, depth
        if isinstance(node, dict):
            stack.extend((k, depth + 1) for k in node)
            stack.extend((v, depth + 1) for v in node.values())
        elif isinstance(node, list):
            stack.extend((v, depth + 1) for v in node)


def _has_lone_surrogate_str(s: str) -> bool:
    return any(0xD800 <= ord(c) <= 0xDFFF for c in s)


class _Members(list):
    """An object as all of its members, repeated keys included."""


def _document_walk(node: Any):
    """Every (value, depth) the document holds: like _walk, but an object
    is read as its members, so a value that a later repeated key replaces
    in the tree is still seen."""
    stack = [(node, 1)]
    while stack:
        node, depth = stack.pop()
        yield node, depth
        if isinstance(node, _Members):
            stack.extend((part, depth + 1) for member in node for part in member)
        elif isinstance(node, list):
            stack.extend((v, depth + 1) for v in node)


def json_reference(data: bytes) -> Any:
    """json.loads's tree when it is inside the common ground, else None."""
    try:
        text = data.decode("utf-8")
        tree = json.loads(text, parse_constant=_refuse_constant)
        document = json.loads(text, parse_constant=_refuse_constant,
                              object_pairs_hook=_Members)
    except (ValueError, RecursionError):
        return None
    # Lone surrogate escapes and nesting deeper than 512 are refused here by
    # design; the reference accepts both.  They are looked for in the whole
    # document: a repeated key drops the earlier value from the tree.
    for value, depth in _document_walk(document):
        if depth > 512 or (isinstance(value, str) and _has_lone_surrogate_str(value)):
            return None
    return (tree,)


def _has_datetime(tree: Any) -> bool:
    return any(isinstance(v, (datetime.date, datetime.time)) for v, _ in _walk(tree))


def toml_reference(data: bytes) -> Any:
    try:
        tree = tomllib.loads(data.decode("utf-8"))
    except (ValueError, RecursionError):
        return None
    # Date-times are kept as their text here, and converted there.
    if _has_datetime(tree):
        return None
    return (tree,)


# ---------------------------------------------------------------------------
# Standard TOML: quorvane.toml at "1.0" against tomllib, at "1.1" against
# tomli (which reads TOML 1.1), on accept/refuse and on the tree.

def _std_peers() -> list[tuple[str, Callable[[str], Any]]]:
    peers: list[tuple[str, Callable[[str], Any]]] = [("1.0", tomllib.loads)]
    try:
        import tomli
    except ImportError:  # pragma: no cover - tomli is a test dependency
        return peers
    return peers + [("1.1", tomli.loads)]


STD_PEERS = _std_peers()


def std_toml_check(data: bytes) -> int:
    """Judges one document at both versions; returns how many of the two
    were compared with a peer (documents with a byte-order mark are not:
    it is skipped here and refused there)."""
    import io

    import quorvane.toml as qtoml

    compared = 0
    for version, peer in STD_PEERS:
        try:
            ours: Any = qtoml.load(io.BytesIO(data), toml_version=version)
        except qtoml.TOMLDecodeError as exc:
            if not 0 <= exc.pos <= len(exc.doc):
                raise Disagreement(f"{version}: position {exc.pos} outside the document")
            ours = exc
        except (MemoryError, RecursionError):
            raise
        except Exception as exc:  # noqa: BLE001 - every exception is judged
            raise Disagreement(f"{version}: unexpected {type(exc).__name__}: {exc}")
        if data.startswith(b"\xef\xbb\xbf"):
            continue
        try:
            theirs: Any = peer(data.decode("utf-8"))
        except (ValueError, RecursionError) as exc:  # decoding errors included
            theirs = exc
        if isinstance(theirs, RecursionError) or (
                not isinstance(theirs, BaseException)
                and max(d for _, d in _walk(theirs)) > 512):
            # Nesting deeper than 512 levels is refused here by design.
            continue
        compared += 1
        if isinstance(ours, BaseException) != isinstance(theirs, BaseException):
            raise Disagreement(f"{version}: ours {ours!r}, peer {theirs!r}")
        if not isinstance(ours, BaseException) and not same(ours, theirs):
            raise Disagreement(f"{version}: trees differ:\n ours: {ours!r}\n peer: {theirs!r}")
    return compared


REFERENCES: dict[str, Callable[[bytes], Any]] = {
    "json": json_reference,
    "toml": toml_reference,
}

# The option sets the configparser-compatible reader is compared under: the
# defaults, the lenient switches, other comment and delimiter choices, and
# delimiters that start with white space (a different search for the key's
# end).
# configparser has the unnamed section from Python 3.13 on: before, that
# set is compared without it.
CONFIGPARSER_HAS_UNNAMED = hasattr(configparser, "UNNAMED_SECTION")
CONFIGPARSER_OPTIONS: list[dict[str, Any]] = [
    {},
    {"strict": False, "allow_no_value": True, "empty_lines_in_values": False},
    {"inline_comment_prefixes": ("#", ";"), "comment_prefixes": ("//",),
     "delimiters": ("=",), "keep_case": True},
    {"default_section": "general",
     "delimiters": ("->", " ", ":="), "allow_no_value": True,
     "inline_comment_prefixes": (" ;",), "strict": False}
    | ({"allow_unnamed_section": True} if CONFIGPARSER_HAS_UNNAMED else {}),
]


def configparser_tree(text: str, *, keep_case: bool = False, **options: Any) -> Any:
    """What ConfigParser(interpolation=None) shows after read_string(text):
    {name: dict(parser[name])}, or None when it refuses the document."""
    cp = configparser.ConfigParser(interpolation=None, **options)
    if keep_case:
        cp.optionxform = str  # type: ignore[assignment, method-assign]
    try:
        cp.read_string(text)
    except configparser.Error:
        return None
    except AttributeError:
        # Before Python 3.13 a continuation line under a key that has no
        # value fails inside configparser (it appends to None); 3.13 refuses
        # the document, as the reader does on every version.
        if hasattr(configparser, "MultilineContinuationError"):
            raise
        return None
    return {name: dict(cp[name]) for name in cp}


def check_configparser(data: bytes, options: dict[str, Any]) -> None:
    """The configparser-compatible reader gives configparser's tree, and
    refuses exactly what it refuses, with an offset inside the document."""
    from quorvane.ini import _parse_raw
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        return
    try:
        ours = _parse_raw(text, **options)
    except ValueError as exc:
        failure = offset_failure(exc)
        if failure is None:
            raise Disagreement(f"not a (message, offset) error: {exc!r}") from None
        if not 0 <= failure[1] <= len(data):
            raise Disagreement(f"offset outside the document: {exc!r}") from None
        ours = exc
    expected = configparser_tree(text, **options)
    if expected is None:
        if not isinstance(ours, ValueError):
            raise Disagreement(f"accepted what configparser refuses ({options}): {ours!r}")
    elif isinstance(ours, ValueError):
        raise Disagreement(f"refused what configparser reads ({options}): {ours!r}")
    elif not same(ours, expected):
        raise Disagreement(f"trees differ ({options}):\n ours: {ours!r}\n ref:  {expected!r}")


def _std_toml(data: bytes) -> Any:
    """Standard TOML at both versions; bytes that are not UTF-8 become lone
    surrogates, which the reader refuses."""
    from quorvane import _std

    text = data.decode("utf-8", "surrogateescape")
    _std.parse_toml(text, "1.0", None)
    return _std.parse_toml(text, "1.1", None)


PARSERS = {
    "json": _quorvane.parse_json,
    "toml": _quorvane.parse_toml,
    "ini": _quorvane.parse_ini,
    "toml-std": _std_toml,
}


def check(fmt: str, data: bytes) -> None:
    if fmt == "configparser":
        for options in CONFIGPARSER_OPTIONS:
            check_configparser(data, options)
        text = data.decode("utf-8", "replace")
        for options in CLASS_OPTIONS[:3]:
            check_configparser_classes(text, options)
        return
    if fmt == "toml-std":
        std_toml_check(data)
        return
    if fmt == "json-family":
        json_family_check(data)
        return
    try:
        tree = PARSERS[fmt](data)
    except Exception as exc:  # noqa: BLE001 - every exception is judged
        check_position(data, exc)
        tree = exc
    ref = REFERENCES.get(fmt)
    if ref is None:
        return
    expected = ref(data)
    if expected is None:
        return
    if isinstance(tree, BaseException):
        # Both JSON parsers follow one grammar: a refusal of a document the
        # reference reads is a fault.  In TOML the dialects differ by design.
        if fmt == "json":
            raise Disagreement(f"refused what json.loads accepts: {tree}")
        return
    reference = expected[0]
    if fmt == "toml" and b"\r\n" in data:
        # Multi-line strings keep their CRLF line ends here; the reference
        # turns them into LF.  Once decoded, a line end cannot be told from
        # a CR LF written as escapes, so the reference is compared with the
        # tree of the same document written with LF line ends.
        tree = PARSERS[fmt](data.replace(b"\r\n", b"\n"))
    if not same(tree, reference):
        raise Disagreement(f"trees differ:\n ours: {tree!r}\n ref:  {reference!r}")


# ---------------------------------------------------------------------------
# quorvane.ini.ConfigParser and RawConfigParser against configparser's own
# classes: the same parser state after reading (sections, options, values,
# section proxies, in order) and the same exception, arguments and errors.

class _Shout(configparser.Interpolation):
    """An interpolation whose reading hook changes what it reads."""

    def before_read(self, parser: Any, section: Any, option: str, value: Any) -> Any:
        return value.upper() if isinstance(value, str) else value


def _suffixed(self: Any, name: str) -> str:
    return name.strip() + "!"


def _empty_first(self: Any, name: str) -> str:
    # Falsy for keys starting with "k": indented lines then continue nothing.
    return "" if name.startswith("k") else name.lower()


# Constructor keywords, plus "raw" (RawConfigParser), "xform" (optionxform
# set on the instance: "str" or "upper"; or by a subclass: "suffix",
# "empty") and "interpolation" given by name.
CLASS_OPTIONS: list[dict[str, Any]] = [
    {},
    {"raw": True},
    {"strict": False, "allow_no_value": True, "empty_lines_in_values": False},
    {"inline_comment_prefixes": ("#", ";"), "comment_prefixes": ("//",),
     "delimiters": ("=",), "xform": "str"},
    {"delimiters": ("->", " ", ":="), "allow_no_value": True, "inline_comment_prefixes": (" ;",),
     "strict": False, "default_section": "general", "xform": "upper"},
    {"interpolation": "extended", "dict_type": "ordered", "xform": "suffix"},
    {"interpolation": "shout", "strict": False, "xform": "empty"},
    {"interpolation": None, "allow_no_value": True, "defaults": {"Base": "1", "k": "d"}},
    {"comment_prefixes": (), "delimiters": (), "allow_no_value": True},
]
if sys.version_info >= (3, 13):
    CLASS_OPTIONS += [
        {"allow_unnamed_section": True, "allow_no_value": True},
        {"allow_unnamed_section": True, "strict": False, "raw": True,
         "inline_comment_prefixes": ("#",), "empty_lines_in_values": False},
    ]

_INTERPOLATIONS: dict[str, Callable[[], Any]] = {
    "extended": configparser.ExtendedInterpolation, "shout": _Shout}
_XFORMS: dict[str, Any] = {"str": str, "upper": str.upper}
_SUBCLASS_XFORMS = {"suffix": _suffixed, "empty": _empty_first}
_CLASSES: dict[tuple[type, str], type] = {}


def make_parser(base: type, options: dict[str, Any]) -> Any:
    """A parser of class `base` (or a subclass of it) with the options."""
    kwargs = {k: v for k, v in options.items() if k not in ("raw", "xform")}
    if isinstance(kwargs.get("interpolation"), str):
        kwargs["interpolation"] = _INTERPOLATIONS[kwargs["interpolation"]]()
    if kwargs.get("dict_type") == "ordered":
        import collections
        kwargs["dict_type"] = collections.OrderedDict
    xform = options.get("xform")
    cls = base
    if xform in _SUBCLASS_XFORMS:
        cls = _CLASSES.setdefault((base, xform), type(
            base.__name__, (base,), {"optionxform": _SUBCLASS_XFORMS[xform]}))
    parser = cls(**kwargs)
    if xform in _XFORMS:
        parser.optionxform = _XFORMS[xform]
    return parser


_PLAIN_ATTRIBUTES = ("_dict", "_delimiters", "_strict", "_allow_no_value",
                     "_empty_lines_in_values", "default_section", "_allow_unnamed_section",
                     "_comment_prefixes", "_inline_comment_prefixes")


def _kind(value: Any) -> str:
    # quorvane's parsers hold their proxies in a dict that makes each when
    # first looked up: they are compared through its items, which makes them.
    from quorvane import _configparser
    return "dict" if type(value) is _configparser._SectionProxies else type(value).__name__


def parser_state(parser: Any) -> Any:
    proxies = [(name, type(p).__name__, p._name, list(vars(p)),
                [(k, f.func.__name__, f.func.__self__ is p, f.keywords["_impl"].__name__,
                  f.keywords["_impl"].__self__ is parser)
                 for k, f in vars(p).items() if k.startswith("get")])
               for name, p in parser._proxies.items()]
    # The constructor's attributes, each by its type and value (the
    # comment prefixes by their namespace's items from 3.13).
    made = [(k, _kind(v), vars(v) if k == "_prefixes" else
             getattr(v, "pattern", None) if k == "_optcre" else
             list(v) if k == "_converters" else
             v if k in _PLAIN_ATTRIBUTES else None)
            for k, v in vars(parser).items()]
    return (made, type(parser._sections).__name__,
            [(name, type(s).__name__, list(s.items())) for name, s in parser._sections.items()],
            list(parser._defaults.items()), proxies, list(parser.converters),
            getattr(parser, "read_ok", None), [k for k in vars(parser) if k != "read_ok"])


def _error(exc: BaseException | None) -> Any:
    if exc is None:
        return None
    return (type(exc), exc.args, [tuple(e) for e in getattr(exc, "errors", ())], str(exc))


# The ways a document is given: read_string, read_file of a text file
# object, read_file of a list of lines, and read_string after another
# document was read into the parser.
FEEDS = ("string", "file", "lines", "again")
_PRELUDE = "[a]\nk = before\n  more\n[DEFAULT]\nd = 0\n[general]\ng = 1\n"


def _feed(parser: Any, text: str, feed: str) -> None:
    import io
    if feed == "string":
        parser.read_string(text)
    elif feed == "file":
        parser.read_file(io.StringIO(text))
    elif feed == "lines":
        parser.read_file(text.splitlines(keepends=True), "lines")
    elif feed == "read":  # text: file names
        parser.read_ok = parser.read(text, encoding="utf-8")
    else:
        try:
            parser.read_string(_PRELUDE, "prelude")
        except configparser.Error:
            pass
        parser.read_string(text)


def class_outcome(base: type, options: dict[str, Any], text: str, feed: str) -> Any:
    parser = make_parser(base, options)
    error = None
    try:
        _feed(parser, text, feed)
    except Exception as exc:  # noqa: BLE001 - every exception is compared
        error = exc
    return parser_state(parser), _error(error)


def check_configparser_classes(text: str, options: dict[str, Any], feed: str = "string") -> Any:
    """quorvane's class leaves configparser's state and raises its error;
    returns configparser's outcome."""
    from quorvane import ini
    raw = options.get("raw")
    theirs = class_outcome(configparser.RawConfigParser if raw else configparser.ConfigParser,
                           options, text, feed)
    ours = class_outcome(ini.RawConfigParser if raw else ini.ConfigParser, options, text, feed)
    if ours != theirs:
        raise Disagreement(f"classes differ ({options}, {feed}):\n ours: {ours!r}\n"
                           f" theirs: {theirs!r}")
    return theirs

# The JSON family: quorvane.json against json on every outcome (tree, or
# the exception's type, text and place), and the JSONC and JSON5 readers
# against the json5 package on the trees of the documents they accept.

# Options of quorvane._std.parse_json for the two dialects.
JSONC_FLAGS = 1 | 2
JSON5_FLAGS = 1 | 2 | 4 | 8 | 16


def json_outcome(loads: Callable[[Any], Any], data: Any, **options: Any) -> tuple[Any, ...]:
    """What one json-like loads gives: ("ok", tree), or the exception as
    json's error attributes or as its type and text."""
    try:
        return ("ok", loads(data, **options))
    except json.JSONDecodeError as exc:
        return ("error", exc.msg, exc.pos, exc.lineno, exc.colno, str(exc), exc.doc)
    except (ValueError, RecursionError, TypeError) as exc:
        return (type(exc).__name__, str(exc))


def same_outcome(a: tuple[Any, ...], b: tuple[Any, ...]) -> bool:
    if a[0] == "ok" and b[0] == "ok":
        return same(a[1], b[1])
    return a == b


def json5_canon(tree: Any) -> Any:
    """A tree as the json5 package builds it, with what this reader does on
    purpose made alike: a surrogate pair written as two escapes is one
    character here (the package keeps the two halves)."""
    if isinstance(tree, str):
        return tree.encode("utf-16-le", "surrogatepass").decode("utf-16-le", "surrogatepass")
    if isinstance(tree, list):
        return [json5_canon(v) for v in tree]
    if isinstance(tree, dict):
        return {json5_canon(k): json5_canon(v) for k, v in tree.items()}
    return tree


def _json5_reference(text: str) -> Any:
    try:
        import json5
    except ImportError:  # pragma: no cover - json5 is a test dependency
        return None
    try:
        return (json5_canon(json5.loads(text)),)
    except (ValueError, RecursionError, OverflowError, IndexError):
        return None


def check_offset_error(text: str, exc: BaseException) -> None:
    if isinstance(exc, MemoryError):
        return
    if type(exc) is not ValueError or len(exc.args) != 2:
        raise Disagreement(f"unexpected exception {type(exc).__name__}: {exc}")
    if not 0 <= exc.args[1] <= len(text.encode("utf-8", "surrogatepass")):
        raise Disagreement(f"offset outside the document: {exc.args}")


def json_family_check(data: bytes) -> None:
    import quorvane.json as qjson
    from quorvane import _std

    ours = json_outcome(qjson.loads, data)
    theirs = json_outcome(json.loads, data)
    if not same_outcome(ours, theirs):
        raise Disagreement(f"quorvane.json differs from json:\n ours: {ours!r}\n json: {theirs!r}")
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        return
    ours, theirs = json_outcome(qjson.loads, text), json_outcome(json.loads, text)
    if not same_outcome(ours, theirs):
        raise Disagreement(f"quorvane.json differs from json on the str:\n ours: {ours!r}\n"
                           f" json: {theirs!r}")
    for flags in (JSONC_FLAGS, JSON5_FLAGS):
        try:
            tree = _std.parse_json(text, flags)
        except Exception as exc:  # noqa: BLE001 - every exception is judged
            check_offset_error(text, exc)
            continue
        expected = _json5_reference(text)
        if expected is None:
            # JSONC is no subset of JSON5 in one place: its line comments
            # end at LF and CR only.  The package also has a recursion
            # limit of its own.
            if flags == JSON5_FLAGS and text.count("[") + text.count("{") < 400:
                raise Disagreement(f"read what json5 refuses (flags {flags}): {tree!r}")
            continue
        if not same(json5_canon(tree), expected[0]):
            raise Disagreement(f"trees differ (flags {flags}):\n ours: {tree!r}\n ref:  "
                               f"{expected[0]!r}")
