"""quorvane.toml against its peers on generated documents: "1.0" against
tomllib, "1.1" against tomli (which reads TOML 1.1).  Documents are built
from a few keys, so statements collide often, and from values that are
valid in one version, in both, or in neither; both readers must accept and
refuse the same documents and build the same trees (types, values, float
bits, zones, key order)."""

from __future__ import annotations

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import checks


def mostly(valid: list[str], invalid: list[str]) -> st.SearchStrategy[str]:
    """One of valid, and now and then one of invalid."""
    return st.integers(0, 15).flatmap(
        lambda n: st.sampled_from(invalid if n == 0 and invalid else valid))


# A handful of keys, so that tables, dotted keys and arrays of tables meet.
KEYS = mostly(["a", "b", "c", "d", "e", "f", "g", "h", "1", "-_", '"a"', "'b'", '"a.b"', '""',
               '"\\u00e9"', "'é'"], ["é", "a b", '"""a"""', "a\x01"])
DOT = mostly([".", ".", " . ", "\t."], [". \n", ".."])
PATHS = st.lists(KEYS, min_size=1, max_size=3).flatmap(
    lambda keys: st.lists(DOT, min_size=len(keys) - 1, max_size=len(keys) - 1).map(
        lambda dots: keys[0] + "".join(d + k for d, k in zip(dots, keys[1:]))))

# Each kind of value in its valid forms, and in forms that one of the two
# versions or both refuse.
SCALARS = st.one_of(
    mostly(["0", "+1", "-0", "1_000", "0xDEAD_beef", "0o17", "0b101", "9223372036854775808",
            "-9223372036854775809", "99999999999999999999999", "0xffffffffffffffffff"],
           ["0x_1", "01", "1__0", "0x", "+0x1", "0B1", "1_", "-_1"]),
    mostly(["1.0", "-0.0", "1e10", "1E-5", "6.02e+23", "1_0.0_1", "inf", "-nan", "+inf", "nan",
            "3.14159265358979323846264338327950288", "1e400", "4.9e-324", "0.1e1_0",
            "2.2250738585072011e-308", "0e0", "9007199254740993.0"],
           ["1.", ".1", "1e", "1.e5", "1_e1", "1e_1", "-inf_", "00.1", "1e+_5"]),
    mostly(['"x"', '"\\t\\u00e9\\U0001F600"', '"\\e"', '"\\x41\\xe9"', "'lit \\n'",
            '"""\nml\\\n  x"""', "'''\nraw'''", '""""q""""', "''''''", '"a\\u0000b"',
            '"""a\\ \n b"""', "'''a''''", '"é"', '"tab\there"', '"""\r\nx\r\n"""',
            '"""x"""""'],
           ['"\\x4"', '"\\q"', '"\\uD800"', '"""a\\ b"""', '"\\U00110000"', "'''a\rb'''",
            '"unclosed', '"""""""', "'a\x7f'"]),
    mostly(["1979-05-27T07:32:00Z", "1979-05-27 07:32:00.999999999+05:30", "1979-05-27T07:32",
            "1979-05-27", "07:32:00", "07:32", "2000-02-29", "1979-05-27t07:32:00z",
            "1979-05-27T07:32:00-00:00", "1979-05-27T07:32:00.5", "1979-05-27T07:32Z",
            "1979-05-27 07:32:00", "12:30:45.1234567", "1979-05-27T07:32:00.123+00:00",
            "1987-07-05 17:45", "2024-12-31T23:59:59-23:59"],
           ["2001-02-29", "1979-05-27T24:00:00", "23:59:60", "0000-01-01", "07:32:00.",
            "1979-05-27T07:32:00+24:00", "1979-5-27", "1979-05-27T07:32:00+05"]),
    mostly(["true", "false", "[]", "{}", "[ ]", "{ }"], ["True", "", "[,]", "{,}"]),
)
ARRAY_GAP = st.sampled_from([",", ", ", " ,\n", ", # c\n", ",\r\n"])
TABLE_GAP = mostly([", ", ","], [",\n", " , # c\n"])


@st.composite
def values(draw, depth: int = 0) -> str:
    kind = draw(st.integers(0, 5 if depth < 3 else 0))
    if kind <= 3:
        return draw(SCALARS)
    items = draw(st.lists(st.deferred(lambda: values(depth + 1)), max_size=3))
    trailing = draw(mostly(["", "", "", ","], [",\n", "\n"]))
    if kind == 4:
        sep = draw(ARRAY_GAP)
        return "[" + sep.join(items) + trailing + "]"
    pairs = [f"{draw(PATHS)} = {v}" for v in items]
    return "{" + draw(TABLE_GAP).join(pairs) + trailing + "}"


@st.composite
def statements(draw) -> str:
    kind = draw(st.integers(0, 9))
    if kind <= 4:
        comment = draw(mostly(["", "", " # note"], ["#\x01", " x"]))
        eq = draw(mostly([" = ", "=", " =\t"], [" ", " = \n"]))
        return draw(PATHS) + eq + draw(values()) + comment
    if kind <= 6:
        return "[" + draw(PATHS) + "]" + draw(mostly(["", "", " # t"], [" x"]))
    if kind <= 8:
        return "[[" + draw(PATHS) + draw(mostly(["]]"], ["] ]"]))
    return draw(st.sampled_from(["", "# comment", "  ", "\t# é"]))


@st.composite
def documents(draw) -> bytes:
    lines = draw(st.lists(statements(), min_size=1, max_size=8))
    eol = draw(st.sampled_from(["\n", "\n", "\r\n"]))
    return (eol.join(lines) + draw(st.sampled_from([eol, ""]))).encode("utf-8")


@settings(max_examples=1000, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(documents())
def test_agrees_with_peers(data):
    assert checks.std_toml_check(data) == len(checks.STD_PEERS)
