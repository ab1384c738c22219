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
        if type(exc) is not ValueError or len(exc.args) != 2:
            raise Disagreement(f"not a (message, offset) error: {exc!r}") from None
        if not 0 <= exc.args[1] <= len(data):
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
        return
    if fmt == "toml-std":
        std_toml_check(data)
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
