"""parse_toml against tomllib on generated documents inside the common
subset: no date-times, no sub-table under an array-of-tables element, no
super-table after its sub-table, no dotted keys in inline tables, nothing
that extends an inline table."""

from __future__ import annotations

import math
import tomllib

from hypothesis import given, settings
from hypothesis import strategies as st

from _quorvane import parse_toml
from checks import same

BARE = st.from_regex(r"\A[A-Za-z0-9_-]{1,8}\Z")
TEXT = st.text(st.characters(blacklist_categories=("Cs",)), max_size=12)
KEYS = st.one_of(BARE, BARE, st.text(st.characters(blacklist_categories=("Cs",)), max_size=5))


def is_bare(key: str) -> bool:
    return key != "" and all(c.isascii() and (c.isalnum() or c in "-_") for c in key)


def escape_basic(s: str, multiline: bool = False) -> str:
    out = []
    for c in s:
        if c == '"' or c == "\\":
            out.append("\\" + c)
        elif c == "\n" and multiline:
            out.append("\n")
        elif c in "\b\t\n\f\r":
            out.append({"\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r"}[c])
        elif ord(c) < 0x20 or ord(c) == 0x7F:
            out.append(f"\\u{ord(c):04X}")
        elif ord(c) > 0xFFFF and len(out) % 3 == 0:
            out.append(f"\\U{ord(c):08X}")
        else:
            out.append(c)
    return "".join(out)


def literal_ok(s: str) -> bool:
    return "'" not in s and all(c == "\t" or (ord(c) >= 0x20 and ord(c) != 0x7F) for c in s)


@st.composite
def render_key(draw, key: str) -> str:
    style = draw(st.integers(0, 2))
    if style == 0 and is_bare(key):
        return key
    if style == 1 and literal_ok(key) and "\n" not in key:
        return f"'{key}'"
    return '"' + escape_basic(key) + '"'


@st.composite
def render_string(draw, s: str) -> str:
    style = draw(st.integers(0, 3))
    if style == 1 and literal_ok(s):
        return f"'{s}'"
    if style == 2:
        lead = "\n" if draw(st.booleans()) else ""
        return '"""' + lead + escape_basic(s, multiline=True) + '"""'
    if style == 3 and literal_ok(s.replace("\n", "")) and not s.startswith("\n"):
        lead = "\n" if draw(st.booleans()) else ""
        return "'''" + lead + s + "'''"
    return '"' + escape_basic(s) + '"'


@st.composite
def render_int(draw, n: int) -> str:
    style = draw(st.integers(0, 4))
    if n >= 0 and style == 1:
        return hex(n)
    if n >= 0 and style == 2:
        return oct(n)
    if n >= 0 and style == 3:
        return bin(n)
    if style == 4:
        return f"{n:_}"
    return ("+" if n >= 0 and draw(st.booleans()) else "") + str(n)


def render_float(f: float) -> str:
    if math.isinf(f):
        return "inf" if f > 0 else "-inf"
    text = repr(f)
    return text if ("." in text or "e" in text) else text + ".0"


SCALARS = st.one_of(st.booleans(), st.integers(-(2 ** 70), 2 ** 70),
                    st.floats(allow_nan=False), TEXT)
VALUES = st.recursive(
    SCALARS,
    lambda inner: st.one_of(st.lists(inner, max_size=4),
                            st.dictionaries(KEYS, inner, max_size=4)),
    max_leaves=8)


@st.composite
def render_value(draw, v) -> str:
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, int):
        return draw(render_int(v))
    if isinstance(v, float):
        return render_float(v)
    if isinstance(v, str):
        return draw(render_string(v))
    if isinstance(v, list):
        sep = draw(st.sampled_from([", ", ",", " ,\n  ", ", # note\n"]))
        trailing = sep if v and draw(st.booleans()) else ""
        return "[" + sep.join(draw(render_value(x)) for x in v) + trailing + "]"
    items = [f"{draw(render_key(k))} = {draw(render_value(x))}" for k, x in v.items()]
    return "{" + ", ".join(items) + "}" if items else "{}"


# A document is built as a tree of sections; each table is written either
# with a header or as dotted keys inside its parent's section.
TABLE_ENTRIES = st.dictionaries(KEYS, VALUES, max_size=4)


@st.composite
def tables(draw, depth: int = 0):
    values = draw(TABLE_ENTRIES)
    subs = draw(st.dictionaries(KEYS, st.deferred(lambda: tables(depth + 1)), max_size=2)) \
        if depth < 2 else {}
    arrays = draw(st.dictionaries(KEYS, st.lists(TABLE_ENTRIES, min_size=1, max_size=3),
                                  max_size=1)) if depth < 2 else {}
    tree = dict(values)
    for k, sub in subs.items():
        tree[k] = sub
    for k, elems in arrays.items():
        tree[k] = elems
    return tree


def is_table_of_arrays(v) -> bool:
    return isinstance(v, list) and v and all(isinstance(e, dict) for e in v)


@st.composite
def documents(draw):
    tree = draw(tables())
    lines: list[str] = []
    eol = draw(st.sampled_from(["\n", "\r\n"]))

    def kv_lines(prefix: list[str], table: dict, as_dotted: bool):
        """Lines for the values of table; returns the sub-tables left for headers."""
        later = []
        for k, v in table.items():
            key = draw(render_key(k))
            if isinstance(v, dict) and v and (as_dotted or draw(st.booleans())):
                left = kv_lines(prefix + [key], v, True)
                assert not left
            elif isinstance(v, dict) and not as_dotted and (v or draw(st.booleans())):
                later.append((k, v))
            elif is_table_of_arrays(v) and not as_dotted:
                later.append((k, v))
            else:
                sp = draw(st.sampled_from([" = ", "=", "  =\t"]))
                comment = draw(st.sampled_from(["", "", " # c"]))
                lines.append(".".join(prefix + [key]) + sp + draw(render_value(v)) + comment)
        return later

    def section(path: list[str], table: dict):
        later = kv_lines([], table, False)
        for k, v in later:
            sub = path + [draw(render_key(k))]
            if isinstance(v, dict):
                lines.append("[" + ".".join(sub) + "]")
                section(sub, v)
            else:
                for elem in v:
                    lines.append("[[" + ".".join(sub) + "]]")
                    left = kv_lines([], elem, True)
                    assert not left

    section([], tree)
    return tree, eol.join(lines) + eol


@settings(max_examples=600, deadline=None)
@given(documents())
def test_same_tree_as_tomllib(case):
    _, text = case
    expected = tomllib.loads(text)
    assert same(parse_toml(text), expected), text
    assert same(parse_toml(text.encode()), expected)
