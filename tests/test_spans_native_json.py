"""The span records of the JSON family's reader (quorvane._std.parse_json
with option 128), checked over real files, the conformance suites'
documents (a refused one: the same error with spans) and generated ones;
and the package's strict "json" reader against the reader that records
spans, which the package reads "json" with when asked for spans."""

from __future__ import annotations

import json

import pytest
from _util import DATA
from hypothesis import given, settings
from hypothesis import strategies as st

import _quorvane
from quorvane import _std

SPANS = 128
NO_SPAN = 0xFFFFFFFF
JSON, JSONC, JSON5 = 0, 1 | 2, 1 | 2 | 4 | 8 | 16


def _files(folder: str, flags: int, suffixes: tuple[str, ...] = (".json",)) -> list:
    """(path, dialect) of the documents of a folder of the data."""
    path = DATA / folder
    if not path.is_dir():
        return [pytest.param(None, flags, marks=pytest.mark.skip(reason=f"no data: {path}"))]
    found = sorted(p for p in path.rglob("*") if p.suffix in suffixes)
    return [pytest.param(p, flags, id=p.name) for p in found]


def same(a, b) -> bool:
    """Equal with types, key order and float bits; repr, unlike a recursive
    comparison, reads the corpora's 500 levels on every interpreter."""
    return repr(a) == repr(b)


def records(raw: bytes) -> list[tuple[int, ...]]:
    m = memoryview(raw).cast("I")
    assert len(m) % 6 == 0
    return [tuple(m[i:i + 6]) for i in range(0, len(m), 6)]


def reachable(tree, recs) -> dict[tuple, tuple[int, ...]]:
    """{path: record} for the records that hold: the later of two naming the
    same (parent, ordinal), under a parent that holds itself."""
    assert recs and recs[0][:4] == (NO_SPAN, 0, NO_SPAN, NO_SPAN)
    latest = {}
    for i, r in enumerate(recs[1:], 1):
        assert r[0] < i, "a parent comes before its children"
        latest[r[:2]] = i
    paths = {0: ()}
    values = {0: tree}
    keys: dict[int, list] = {}
    for i, (parent, ordinal, *_rest) in enumerate(recs[1:], 1):
        if parent not in paths or latest[(parent, ordinal)] != i:
            continue
        container = values[parent]
        if isinstance(container, list):
            step = ordinal
        else:
            if parent not in keys:
                keys[parent] = list(container)
            step = keys[parent][ordinal]
        paths[i] = paths[parent] + (step,)
        values[i] = container[step]
    return {paths[i]: recs[i] for i in paths}


def tree_paths(tree, path=()):
    yield path, tree
    items = enumerate(tree) if isinstance(tree, list) else tree.items() if isinstance(tree, dict) else ()
    for step, value in items:
        yield from tree_paths(value, path + (step,))


def check(text: str | bytes, flags: int) -> None:
    """Every property of spans on one document the reader accepts."""
    raw = text if isinstance(text, bytes) else text.encode("utf-8", "surrogatepass")
    tree, table = _std.parse_json(text, flags | SPANS)
    assert same(tree, _std.parse_json(text, flags))
    at = reachable(tree, records(table))
    values = dict(tree_paths(tree))
    assert at.keys() == values.keys(), "one record for every value of the tree"
    for path, (parent, ordinal, key_start, key_end, start, end) in at.items():
        value = values[path]
        assert 0 <= start < end <= len(raw)
        piece = raw[start:end]
        assert piece.strip() == piece, "no white space around a value"
        if isinstance(value, (list, dict)):
            assert piece[:1] + piece[-1:] == (b"[]" if isinstance(value, list) else b"{}")
        # The text alone reads as the same value (for a container: the
        # whole subtree).
        assert same(_std.parse_json(piece, flags), value), (path, piece)
        if not path:
            continue
        above = at[path[:-1]]
        if isinstance(path[-1], int):
            assert key_start == key_end == NO_SPAN
            assert above[4] < start and end < above[5], "items inside the brackets"
            if path[-1]:
                assert at[path[:-1] + (path[-1] - 1,)][5] <= start, "items in order"
        else:
            key = raw[key_start:key_end]
            assert above[4] < key_start < key_end <= start and end < above[5]
            # The key as written, quotes included: it reads as the key.
            assert list(_std.parse_json(b"{" + key + b": 0}", flags)) == [path[-1]], key


# ---------------------------------------------------------------------------
# Documents

REAL = (_files("bench/json", JSON) + _files("bench/json-config", JSON) + _files("bench/jsonc", JSONC)
        + _files("bench/json5", JSON5, (".json5",)))
CONFORMANCE = (_files("conformance/json/test_parsing", JSON)
               + _files("conformance/json5-tests", JSON5, (".json", ".json5", ".js", ".txt")))


@pytest.mark.parametrize("path, flags", REAL)
def test_real_files(path, flags):
    raw = path.read_bytes()
    check(raw.decode("utf-8"), flags)
    # A str is recorded in the offsets of its UTF-8 form, the bytes as given.
    assert _std.parse_json(raw, flags | SPANS)[1] == _std.parse_json(raw.decode(), flags | SPANS)[1]


@pytest.mark.parametrize("path, flags", CONFORMANCE)
def test_conformance_documents(path, flags):
    data = path.read_bytes()
    for more in sorted({flags, 8 | 16 | 32, JSONC, JSON5}):
        try:
            _std.parse_json(data, more)
        except ValueError as plain:
            # The refused documents: the same error with spans.
            with pytest.raises(type(plain)) as spans:
                _std.parse_json(data, more | SPANS)
            assert spans.value.args == plain.args
            continue
        check(data, more)


# Spots the corpora leave thin: repeated keys (the last value in the first
# key's place), escapes, names, comments between members, lone surrogates.
SPOTS = [
    ('{"a": 1, "b": [2], "a": {"c": [3, "x"]}, "d": null}', JSON),
    ('{"a": {"b": 1, "b": [1, 2]}, "a": [{"a": 0, "a": 1}]}', JSON),
    ('  ["\\u00e9\\ud83d\\ude00", "\u00e9\U0001F600", -0.0, 1e400, 12345678901234567890]  ', JSON),
    ('["\\ud800", "\ud800"]', JSON | 16),
    ("/* a */ {a: 1, 'b': [+1, .5, 0x1F, NaN, -Infinity,], \\u0063d: 'x\\\n', // c\n \u00f1: {},}", JSON5),
    ('{"a": [1, /* ] */ 2,], // }\n "b": "/*",}', JSONC),
    ("\u2028\ufeff[NaN, Infinity]\u00a0", JSON5),
]


@pytest.mark.parametrize("text, flags", SPOTS)
def test_spots(text, flags):
    check(text, flags)
    check(text.encode("utf-8", "surrogatepass"), flags)


_scalars = (st.none() | st.booleans() | st.integers(min_value=-(10**30), max_value=10**30)
            | st.floats(allow_nan=False, allow_infinity=False) | st.text(max_size=8))
_trees = st.recursive(_scalars, lambda inner: st.lists(inner, max_size=5)
                      | st.dictionaries(st.text(max_size=5), inner, max_size=5), max_leaves=30)


@settings(max_examples=150, deadline=None)
@given(_trees, st.sampled_from([None, 0, 2, "\t"]), st.booleans())
def test_generated_documents(tree, indent, ascii_only):
    text = json.dumps(tree, indent=indent, ensure_ascii=ascii_only)
    check(text, JSON)
    check(text, JSON5)


@pytest.mark.parametrize("flags, rest", [(SPANS | 64, (ValueError,)), (SPANS, (None, dict)),
                                         (SPANS, (None, None, None, float))])
def test_spans_refused_with_hooks_and_json_rules(flags, rest):
    with pytest.raises(TypeError):
        _std.parse_json("[1]", flags, *rest)


# ---------------------------------------------------------------------------
# The strict "json" reader against the spans reader.  Where both accept a
# document the trees are the same; the only documents one accepts and the
# other refuses hold a lone surrogate character (not an escape), which the
# strict reader refuses as text that is not UTF-8.

def _read(parse, doc):
    try:
        return True, parse(doc)
    except ValueError:
        return False, None


def test_strict_reader_and_spans_reader_agree():
    paths = [p.values[0] for p in CONFORMANCE + REAL if p.values[0] is not None and p.values[1] == JSON]
    if not paths:
        pytest.skip("no data")
    docs = {p.name: p.read_bytes() for p in paths}
    docs.update({"lone surrogate str": '["\ud800"]', "lone surrogate bytes": b'["\xed\xa0\x80"]'})
    one_sided = set()
    for name, data in docs.items():
        forms = [data]
        if isinstance(data, bytes):
            try:
                forms.append(data.decode("utf-8"))
            except UnicodeDecodeError:
                pass
        for doc in forms:
            plain = _read(_quorvane.parse_json, doc)
            spans = _read(lambda d: _std.parse_json(d, SPANS)[0], doc)
            if plain[0] and spans[0]:
                assert same(plain[1], spans[1]), name
            elif plain[0] != spans[0]:
                assert spans[0], name
                one_sided.add(name)
    assert one_sided == {"i_string_UTF8_surrogate_U+D800.json", "lone surrogate str", "lone surrogate bytes"}
