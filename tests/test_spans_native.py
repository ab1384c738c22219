"""Span records of the standard TOML reader and the configparser-style INI
reader, on every real TOML and INI file, the toml-test valid documents and
a few INI documents for the options: the records are decoded here, placed
in the tree by (parent, ordinal), and must say where each key and value is
written (a scalar's text reads back as the same value, a key's text is the
key), nest as the text does, and leave the tree as the plain parse gives it."""

from __future__ import annotations

import math

import pytest

from quorvane import _std, ini
from quorvane._formats import format_for_path
from _util import DATA
from test_real_files import real_name, text_of
from test_std_toml_conformance import SUITE, listed

NO = 0xFFFFFFFF


def placed(tree, spans: bytes) -> dict:
    """{path: record} for every node of the tree; each (parent, ordinal)
    has one record, the later winning, and every node has one."""
    fields = memoryview(spans).cast("I")
    records = [tuple(fields[i:i + 6]) for i in range(0, len(fields), 6)]
    assert records[0][:4] == (NO, 0, NO, NO)
    children: dict[int, dict[int, int]] = {}
    for i, r in enumerate(records[1:], 1):
        children.setdefault(r[0], {})[r[1]] = i
    out = {(): records[0]}

    def walk(node, index, path):
        kids = children.get(index, {})
        items = list(node.items()) if isinstance(node, dict) else list(enumerate(node))
        assert sorted(kids) == list(range(len(items))), path
        for ordinal, (key, value) in enumerate(items):
            out[path + (key,)] = records[kids[ordinal]]
            if isinstance(value, (dict, list)):
                walk(value, kids[ordinal], path + (key,))

    walk(tree, 0, ())
    return out


def node(tree, path):
    for part in path:
        tree = tree[part]
    return tree


def same_scalar(a, b) -> bool:
    if isinstance(a, float) and math.isnan(a):
        return isinstance(b, float) and math.isnan(b)
    return type(a) is type(b) and a == b


# ---------------------------------------------------------------------------
# TOML

def toml_files():
    files = sorted((DATA / "bench" / "toml").glob("*.toml"))
    valid = [(v, n) for v in ("1.0", "1.1") for n in listed(v) if n.startswith("valid/")]
    return ([pytest.param(p, "1.1", id=p.name) for p in files] +
            [pytest.param(SUITE / n, v, id=f"{v}:{n}") for v, n in valid])


def toml_check(text: str, version: str) -> None:
    parse = lambda t: _std.parse_toml(t, version, None)  # noqa: E731
    tree, spans = _std.parse_toml(text, version, None, True)
    assert tree == parse(text) or repr(tree) == repr(parse(text))
    raw = text.encode("utf-8", "surrogatepass")
    where = placed(tree, spans)
    assert where[()][4:] == (0, len(raw))
    assert len(spans) // 24 == len(where), "records nothing reaches"
    # How each node is written: "value" after its key and "=", "item" in
    # an array, "segment" (a table named by a key segment), "header".
    how: dict = {(): "root"}
    for path, (_, _, ks, ke, start, end) in sorted(where.items(), key=lambda kv: len(kv[0])):
        if not path:
            continue
        assert 0 <= start <= end <= len(raw)
        value, parent = node(tree, path), where[path[:-1]]
        inside = how[path[:-1]] in ("value", "item")  # the parent is written around it
        own = raw[start:end].decode()
        if ks == NO:
            assert isinstance(path[-1], int)
        else:
            # The key's text read as a key names this node.
            assert list(parse(raw[ks:ke].decode() + " = 1")) == [path[-1]], path
        if ks != NO and ke <= start and raw[ke:start].strip() == b"=":
            how[path] = "value"
        elif ks == NO and inside:
            how[path] = "item"
        elif (ks, ke) == (start, end):
            how[path] = "segment"
            assert isinstance(value, dict), path
        else:
            how[path] = "header"
            assert own.startswith("[[" if isinstance(path[-1], int) else "["), path
            assert own.endswith("]"), path
        if how[path] == "header" or how[path] == "segment":
            pass
        elif not isinstance(value, (dict, list)):
            assert same_scalar(parse("x = " + own)["x"], value), (path, own)
        else:
            assert own[0] + own[-1] in ("[]", "{}"), (path, own)
        if isinstance(path[-1], int) and path[-1]:
            assert where[path[:-1] + (path[-1] - 1,)][5] <= start, path
        if inside:
            assert parent[4] < start and end < parent[5], path
        elif how[path] == "value" and how[path[:-1]] == "header":
            assert start >= parent[5], path


@pytest.mark.parametrize(("path", "version"), toml_files())
def test_toml_spans_of_real_and_conformance_files(path, version):
    toml_check(path.read_bytes().decode("utf-8"), version)


@pytest.mark.parametrize("text", [
    "[a.b.c]\nx = 1\n[a]\ny = 2\n[a.b]\nz = [1, [2, {q.r = 3}]]\n",
    "[[t]]\n[t.u]\nv = 1\n[[t]]\n[[t.w]]\n'k e' = \"s\"\n[[t.w]]\n",
    "p.q.r = 1\np.s = {a.b = [], c = 1.5}\n\"p\".t = 2023-01-02T03:04:05Z\n",
    "\ufeffa = '''\nline'''  # c\n[ x . 'y' ]\nb = \"\\u00e9\"\n",
])
def test_toml_spans_of_tables_made_on_the_way(text):
    toml_check(text, "1.1")


INVALID = [(v, n) for v in ("1.0", "1.1") for n in listed(v) if n.startswith("invalid/")]


@pytest.mark.parametrize(("version", "name"), INVALID)
def test_toml_spans_switch_leaves_errors_as_they_are(version, name):
    try:
        text = (SUITE / name).read_bytes().decode("utf-8")
    except UnicodeDecodeError:
        pytest.skip("not UTF-8")
    with pytest.raises(ValueError) as plain:
        _std.parse_toml(text, version, None)
    with pytest.raises(ValueError) as spanned:
        _std.parse_toml(text, version, None, True)
    assert plain.value.args == spanned.value.args


# ---------------------------------------------------------------------------
# INI

def ini_files():
    out = []
    for p in sorted((DATA / "bench" / "ini").glob("*")):
        fmt, options = format_for_path(real_name(p))
        if fmt == "ini":
            out.append(pytest.param(p, options, id=p.name))
    return out


def ini_check(text: str, options: dict) -> None:
    tree, spans = ini.span_reader("loads", options)(text)
    assert tree == ini.reader("loads", options)(text)
    raw = text.encode("utf-8", "surrogatepass")
    where = placed(tree, spans)
    assert where[()][4:] == (0, len(raw))
    delimiter = (options.get("delimiters") or ("=",))[0]
    default = options.get("default_section", "DEFAULT")
    keep_case = options.get("keep_case", False)
    for path, (_, _, ks, ke, start, end) in where.items():
        if not path:
            continue
        key_text = raw[ks:ke].decode("utf-8", "surrogatepass")
        own = raw[start:end].decode("utf-8", "surrogatepass")
        if len(path) == 1:
            if own:
                assert own == f"[{key_text}]" and key_text == path[0], path
            else:
                assert path[0] == default or not isinstance(path[0], str), path
            continue
        value = tree[path[0]][path[1]]
        assert (key_text if keep_case else key_text.lower()) == path[1], path
        if value is None:
            assert (start, end) == (ks, ke)
        elif "\n" not in own:
            assert own == value, path
        else:
            again = ini.reader("loads", options)(f"[s p a n]\nk{delimiter}{own}\n")
            assert again["s p a n"]["k"] == value, path
        section = where[path[:1]]
        copy = (path[0] != default and path[1] in tree.get(default, ()) and
                (ks, ke, start, end) == where[(default, path[1])][2:])
        assert copy or start >= section[5], path


@pytest.mark.parametrize(("path", "options"), ini_files())
def test_ini_spans_of_real_files(path, options):
    text = text_of(path.read_bytes())
    ini_check(text[1:] if text.startswith("\ufeff") else text, options)


@pytest.mark.parametrize(("text", "options"), [
    ("top = 1\n[DEFAULT]\nd = x\n[a]\nk = v\n  more\n\n  last  \n[b]\nd = own\n",
     {"allow_unnamed_section": True}),
    ("[a]\nK = 1\n[b]\nx\n[a]\nk = 2 ; note\ny: 3\n", {"strict": False, "allow_no_value": True,
                                                    "inline_comment_prefixes": (";",)}),
    ("[s]\nKey -> v\n  next\n\n[DEFAULT]\nz -> \ud800\n", {"delimiters": ("->",),
                                                                   "keep_case": True,
                                                                   "empty_lines_in_values": False}),
    ("[\ud800]\n\ud800 \ud801 x\n[x]\nk \ud801 \u00e9\n", {"delimiters": ("\ud801",)}),
    ("[main]\nk = v\n", {}),
])
def test_ini_spans_for_the_options(text, options):
    ini_check(text, options)
