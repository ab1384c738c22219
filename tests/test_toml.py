"""The TOML parser: trees, every message at its place, the table model."""

from __future__ import annotations

import ctypes
import math
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _quorvane import parse_toml
from _util import assert_no_leak, position_error


def value_of(text: str):
    return parse_toml("v = " + text)["v"]


# ---------------------------------------------------------------------------
# Trees

@pytest.mark.parametrize("text, tree", [
    ("", {}),
    ("  \n\t\r\n# only a comment", {}),
    ("# c\n  # d\r\n", {}),
    ("a = 1", {"a": 1}),
    ("[a] x = 1", {"a": {"x": 1}}),
    ("x = 1 y = 2", {"x": 1, "y": 2}),
    ("[a\n]\nx\n= 1\ny =\n2", {"a": {"x": 1, "y": 2}}),
    ("[a]\n[b]\ny = 1", {"a": {}, "b": {"y": 1}}),
    ("a.b.c = 1\na.b.d = 2\na.e = 3", {"a": {"b": {"c": 1, "d": 2}, "e": 3}}),
    ("a . b = 1\na\n.c = 2", {"a": {"b": 1, "c": 2}}),
    ("a. = 1", {"a": 1}),
    ('"a.b".c = 1\na.b.c = 2', {"a.b": {"c": 1}, "a": {"b": {"c": 2}}}),
    ("'x\\y' = 1\n'x.y' = 2", {"x\\y": 1, "x.y": 2}),
    ('"" = 1\n"".x = 2', None),  # "" is both a key and a table: refused below
    ("1234 = 1\n- = 2\n_ = 3\ntrue = 4", {"1234": 1, "-": 2, "_": 3, "true": 4}),
    ('"é" = 1', {"é": 1}),
    ("[[fruit]]\nname = 'x'\n[[fruit]]\nname = 'y'",
     {"fruit": [{"name": "x"}, {"name": "y"}]}),
    ("[[a.b]]\nc = 1\n[[a.b]]\nc = 2", {"a": {"b": [{"c": 1}, {"c": 2}]}}),
    # A dict made by a dotted key or an inline table can be reopened by a header.
    ("x = {y = {}}\n[x.y]\nz = 1", {"x": {"y": {"z": 1}}}),
    ("t = {a = [1]}\n[[t.a]]\nb = 2", {"t": {"a": [1, {"b": 2}]}}),
    ("a = {x = 1}\na.y = 2", {"a": {"x": 1, "y": 2}}),
    # Under an array-of-tables element the implicit tables carry the index.
    ("[[f]]\nx.y = 1\n[[f]]\nx.y = 2", {"f": [{"x": {"y": 1}}, {"x": {"y": 2}}]}),
    # Dotted-key tables are recorded behind the current table's path.
    ("[server]\na.b = 1\n[a]\nc = 2", {"server": {"a": {"b": 1}}, "a": {"c": 2}}),
    ("[fruit]\napple.color = 'red'\n[fruit.apple.texture]\nsmooth = true",
     {"fruit": {"apple": {"color": "red", "texture": {"smooth": True}}}}),
    # Keys that differ only after a U+0000 are different keys.
    ('"a\\u0000x" = 1\n"a\\u0000y" = 2', {"a\x00x": 1, "a\x00y": 2}),
    ('["a\\u0000x"]\n["a\\u0000y"]', {"a\x00x": {}, "a\x00y": {}}),
])
def test_documents(text, tree):
    if tree is None:
        position_error(parse_toml, text)
    else:
        assert parse_toml(text) == tree


@pytest.mark.parametrize("text, value", [
    ('""', ""), ("''", ""), ('""""""', ""), ("''''''", ""),
    ('"a\\tb\\"c\\\\d\\b\\f\\n\\r"', 'a\tb"c\\d\b\f\n\r'),
    ('"\\u00E9\\U0001F600\\u0000"', "é\U0001F600\x00"),
    ('"\\U0010FFFF"', "\U0010FFFF"),
    ('"tab\there\x7f"', "tab\there\x7f"),
    ("'a\\tb\x01'", "a\\tb\x01"),
    # Multi-line: a raw line end right after the delimiter is left out.
    ('"""\nabc"""', "abc"), ('"""\r\nabc"""', "abc"), ('"""\rabc"""', "\rabc"),
    ('"""\n\nabc"""', "\nabc"), ('"""\n"""', ""),
    # ... but one that an escape produces there is content.
    ('"""\\nabc"""', "\nabc"), ('"""\\u000Aabc"""', "\nabc"),
    ('"""\r\\nabc"""', "\r\nabc"),
    ("'''\nabc'''", "abc"), ("'''\r\nabc'''", "abc"), ("'''\rabc'''", "\rabc"),
    ('"""a""b"""', 'a""b'),
    ('"""a\\\n\n    b"""', "ab"), ('"""a\\\r\n  \t\r\n b"""', "ab"),
    ("'''a\\b\x01\r\nc'''", "a\\b\x01\r\nc"),
    ("'''it''s'''", "it''s"),
    ('"' + "x" * 300 + '\\n' + "y" * 300 + '"', "x" * 300 + "\n" + "y" * 300),
    ("true", True), ("false", False),
    ("1979-05-27", "1979-05-27"), ("07:32:00", "07:32:00"),
    ("1979-05-27T07:32:00.5-07:00", "1979-05-27T07:32:00.5-07:00"),
    ("+1:2", "+1:2"),
    ("0", 0), ("-0", 0), ("+0", 0), ("1_000", 1000),
    ("0xFF", 255), ("0XFF", 255), ("0x00ff", 255), ("0x1e", 30),
    ("0o17", 15), ("0b101", 5), ("0xdead_BEEF", 0xDEADBEEF),
    ("0x" + "f" * 3000, int("f" * 3000, 16)),
    ("[]", []), ("[\n]", []), ("[1, 2, ]", [1, 2]),
    ("[1,\n2, # note\n]", [1, 2]),
    ("[1, 'a', 2.5, [true], {x = 1}]", [1, "a", 2.5, [True], {"x": 1}]),
    ("{}", {}), ("{\n}", {}),
    ("{ a = 1, b = 'x' }", {"a": 1, "b": "x"}),
    ("{ a = 1, a = 2 }", {"a": 2}),
    ("{ 'a.b' = 1 }", {"a.b": 1}),
    ("{\na = 1,\nb = 2\n}", {"a": 1, "b": 2}),
    ("{ a = # note\n1 }", {"a": 1}),
    ("# c\n\n  1", 1),
])
def test_values(text, value):
    assert value_of(text) == value


def test_value_types_and_bytes():
    assert type(value_of("1")) is int and type(value_of("1.0")) is float
    assert parse_toml(b"a = 'x'") == parse_toml("a = 'x'") == {"a": "x"}
    # A NUL byte is an ordinary byte of a literal string.
    assert parse_toml("a = 'x\x00y'") == {"a": "x\x00y"}


def test_trueish_stops_after_the_word():
    # No end-of-line rule: the rest is read as the next statement.
    assert parse_toml("a = trueb = 2") == {"a": True, "b": 2}
    assert position_error(parse_toml, "a = trueish") == (1, 12, "expected '=' after key")


def test_space_separated_datetime_is_read_as_the_date():
    assert position_error(parse_toml, "a = 1979-05-27 07:32:00") == \
        (1, 18, "expected '=' after key")


# ---------------------------------------------------------------------------
# Floats: converted in full as C strtod does in the "C" locale

@pytest.mark.parametrize("text, value", [
    ("1.5", 1.5), ("1_000.5", 1000.5), ("+.5", 0.5), ("1e5", 100000.0),
    ("-1.5E-3", -0.0015), ("1e999", math.inf), ("-1e999", -math.inf),
    ("1e-400", 0.0), ("0x1.8p3", 12.0), ("01.5", 1.5), ("1__0.5", 10.5),
    ("1.", 1.0), ("1_e5", 100000.0), ("0.1", 0.1),
    ("inf", math.inf), ("+inf", math.inf), ("-inf", -math.inf),
    ("1." + "0" * 200 + "1", 1.0),
    ("0." + "0" * 300 + "1e301", 1.0),
    ("1" * 400 + ".0", float("1" * 400)),
])
def test_floats(text, value):
    got = value_of(text)
    assert type(got) is float
    assert got == value and math.copysign(1, got) == math.copysign(1, value)


@pytest.mark.parametrize("text", ["nan", "+nan", "-nan"])
def test_nan_is_one_positive_quiet_nan(text):
    got = value_of(text)
    assert math.isnan(got) and math.copysign(1, got) == 1


@pytest.mark.parametrize("token", [
    "1.2.3", "none", "1e", "1.5x", "0o1e", "inf.0", "nan.5", "1.5\x01",
    "1.5\x002", "1e5\x0b", "infe", "1.0e", "+.",
    "1." + "0" * 200 + "x",
])
def test_float_refused_at_token_end(token):
    text = "v = " + token
    assert position_error(parse_toml, text) == (1, len(text.encode()) + 1, "invalid float")


libc = ctypes.CDLL(None)
libc.strtod.restype = ctypes.c_double
libc.strtod.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_char_p)]


def c_strtod(token: str):
    """The value when C strtod converts the whole token, else None."""
    raw = token.encode()
    buf = ctypes.create_string_buffer(raw)
    end = ctypes.c_char_p()
    value = libc.strtod(buf, ctypes.byref(end))
    used = ctypes.cast(end, ctypes.c_void_p).value - ctypes.addressof(buf)
    return value if raw and used == len(raw) else None


float_tokens = st.one_of(
    st.from_regex(r"\A[+-]?[0-9]{1,25}(\.[0-9]{0,25})?([eE][+-]?[0-9]{1,4})?\Z"),
    st.from_regex(r"\A[+-]?\.[0-9]{1,25}([eE][+-]?[0-9]{1,3})?\Z"),
    st.from_regex(r"\A[+-]?0[xX][0-9a-fA-F]{1,14}\.[0-9a-fA-F]{0,14}([pP][+-]?[0-9]{1,4})?\Z"),
    st.from_regex(r"\A[0-9][0-9.eE+\-xXpP_a-f]{0,12}[.eE][0-9.eE+\-xXpP_a-f]{0,12}\Z"),
    st.floats(allow_nan=False).map(repr).filter(lambda s: "." in s or "e" in s),
)


@settings(max_examples=1500, deadline=None)
@given(float_tokens)
def test_floats_match_c_strtod(token):
    body = token.lstrip("+-")
    is_hex = body[:2].lower() == "0x"
    if not ("." in token or (not is_hex and "e" in token.lower())):
        return  # an integer token
    if body[:1] not in tuple("0123456789in"):
        return  # not a value start
    if len(token) >= 10 and token[0].isdigit() and token[4] == "-" and token[7] == "-":
        return  # the shape of a date
    expected = c_strtod(token.replace("_", ""))
    if expected is None:
        assert position_error(parse_toml, "v = " + token)[2] == "invalid float"
    else:
        got = value_of(token)
        assert got == expected or (math.isnan(got) and math.isnan(expected))
        assert math.copysign(1, got) == math.copysign(1, expected)


# ---------------------------------------------------------------------------
# Integers: the small ones are summed directly, the rest go through int()

@pytest.mark.parametrize("digits, base, prefix", [
    (18, 10, ""), (19, 10, ""), (20, 10, ""),
    (15, 16, "0x"), (16, 16, "0x"), (17, 16, "0x"),
    (20, 8, "0o"), (21, 8, "0o"), (22, 8, "0o"),
    (62, 2, "0b"), (63, 2, "0b"), (64, 2, "0b"), (65, 2, "0b"),
])
def test_integer_sizes_around_the_fast_path(digits, base, prefix):
    top = "0123456789abcdef"[base - 1]
    for body in (top * digits, "1" + "0" * (digits - 1), "1" + top * (digits - 1)):
        assert value_of(prefix + body) == int(body, base)
        if base == 10:
            assert value_of("-" + body) == -int(body)
            assert value_of("+" + body) == int(body)


@settings(max_examples=500, deadline=None)
@given(st.integers(min_value=-(10 ** 40), max_value=10 ** 40))
def test_integers_round_trip(n):
    assert value_of(str(n)) == n
    assert value_of(f"{n:_}") == n
    if n >= 0:
        assert value_of(hex(n)) == n and value_of(oct(n)) == n and value_of(bin(n)) == n


def test_integer_past_the_interpreter_digit_limit():
    limit = sys.get_int_max_str_digits()
    text = "v = " + "1" * (limit + 1)
    assert position_error(parse_toml, text) == (1, len(text) + 1, "invalid integer")
    assert value_of("1" * limit) == int("1" * limit)


# ---------------------------------------------------------------------------
# Every message at its place

@pytest.mark.parametrize("text, line, col, msg", [
    # strings
    ('v = "abc', 1, 9, "unterminated string"),
    ('v = """abc""', 1, 13, "unterminated string"),
    ('v = """a\\\n  ', 2, 3, "unterminated string"),
    ('v = "ab\ncd"', 1, 8, "newline in single-line string"),
    ('v = "ab\rcd"', 1, 8, "newline in single-line string"),
    ('v = "a\x01b"', 1, 7, "control character in string"),
    ('v = "a\x00b"', 1, 7, "control character in string"),
    ('v = """a\x1fb"""', 1, 9, "control character in string"),
    ('v = "a\\', 1, 8, "unterminated escape sequence"),
    ('v = "\\e"', 1, 8, "invalid escape character"),
    ('v = "\\/"', 1, 8, "invalid escape character"),
    ('v = "\\B"', 1, 8, "invalid escape character"),
    ('v = """a\\ \nb"""', 1, 11, "invalid escape character"),
    ('v = "a\\\nb"', 2, 1, "invalid escape character"),
    ('v = "\\u12', 1, 8, "invalid unicode escape"),
    ('v = "\\u12" + "rest"', 1, 8, "invalid unicode escape"),
    ('v = "\\U0001F60G"', 1, 8, "invalid unicode escape"),
    ('v = "\\uD800"', 1, 12, "invalid unicode scalar value"),
    ('v = "\\U00110000"', 1, 16, "invalid unicode scalar value"),
    ("v = 'abc", 1, 9, "unterminated literal string"),
    ("v = '''abc''", 1, 13, "unterminated literal string"),
    ("v = 'a\nb'", 1, 7, "newline in single-line literal string"),
    # keys
    ("= 1", 1, 1, "expected key"),
    ("a..b = 1", 1, 3, "invalid key"),
    (".a = 1", 1, 1, "invalid key"),
    ("é = 1", 1, 1, "invalid key"),
    ("ab\u00e9 = 1", 1, 3, "expected '=' after key"),
    ("a.# c\n = 1", 1, 3, "invalid key"),
    ('"a\nb" = 1', 1, 3, "newline in single-line string"),
    ('"""a""" = 1', 1, 3, "expected '=' after key"),
    ("a b = 1", 1, 3, "expected '=' after key"),
    ("x 1", 1, 3, "expected '=' after key"),
    ("x", 1, 2, "expected '=' after key"),
    ("x.", 1, 3, "expected '=' after key"),
    ("[a.]", 1, 4, "invalid key"),
    ("[a = b]", 1, 4, "expected ']' in table header"),
    ("[a.=]", 1, 4, "invalid key"),
    ("[]", 1, 2, "invalid key"),
    ("[ [a]]", 1, 3, "invalid key"),
    # values
    ("v =", 1, 4, "unexpected end of input in value"),
    ("v = # c\n", 2, 1, "unexpected end of input in value"),
    ("v = tru", 1, 5, "unexpected character in value"),
    ("v = True", 1, 5, "unexpected character in value"),
    ("v = .5", 1, 5, "unexpected character in value"),
    ("v = \u00e9", 1, 5, "unexpected character in value"),
    ("v = infinity", 1, 13, "invalid digit in integer"),
    ("v = nanx", 1, 9, "invalid digit in integer"),
    ("v = 2024-1-01", 1, 14, "invalid digit in integer"),
    ("v = 12a\nw = 1", 1, 8, "invalid digit in integer"),
    ("v = 0b12", 1, 9, "invalid digit in integer"),
    ("v = 1{", 1, 7, "invalid digit in integer"),
    ("v = 00", 1, 7, "leading zeros are not allowed in integers"),
    ("v = 0_1", 1, 8, "leading zeros are not allowed in integers"),
    ("v = 0a", 1, 7, "leading zeros are not allowed in integers"),
    ("v = -0x1", 1, 9, "sign not allowed on non-decimal integer"),
    ("v = 0x", 1, 7, "invalid integer"),
    ("v = -", 1, 6, "invalid integer"),
    ("v = +", 1, 6, "invalid integer"),
    ("v = 1__000", 1, 11, "underscores must be surrounded by digits"),
    ("v = 0x_1", 1, 9, "underscores must be surrounded by digits"),
    ("v = +_1", 1, 8, "underscores must be surrounded by digits"),
    ("v = 1_x", 1, 8, "underscores must be surrounded by digits"),
    ("v = 0b1_2", 1, 10, "underscores must be surrounded by digits"),
    # arrays and inline tables
    ("v = [1 2]", 1, 8, "expected ',' or ']' in array"),
    ("v = [1,,2]", 1, 8, "unexpected character in value"),
    ("v = [,]", 1, 6, "unexpected character in value"),
    ("v = [1", 1, 7, "unterminated array"),
    ("v = [1 # c", 1, 11, "unterminated array"),
    ("v = [1,", 1, 8, "unexpected end of input in value"),
    ("v = [", 1, 6, "unexpected end of input in value"),
    ("v = {a.b = 1}", 1, 7, "expected '=' in inline table"),
    ("v = { a }", 1, 9, "expected '=' in inline table"),
    ("v = { a", 1, 8, "expected '=' in inline table"),
    ("v = { a = }", 1, 11, "unexpected character in value"),
    ("v = { a = 1, }", 1, 14, "trailing comma in inline table"),
    ("v = { a = 1 b = 2 }", 1, 13, "expected ',' or '}' in inline table"),
    ("v = { a = 1 # n\n}", 1, 13, "expected ',' or '}' in inline table"),
    ("v = { # n\na = 1 }", 1, 7, "invalid key"),
    ("v = { a = 1", 1, 12, "unterminated inline table"),
    ("v = { a = 1,", 1, 13, "unexpected end of input in key"),
    ("v = {", 1, 6, "unexpected end of input in key"),
    # headers
    ("[a # note", 1, 4, "expected ']' in table header"),
    ("[a", 1, 3, "expected ']' in table header"),
    ("[[a] ]", 1, 5, "expected ']]' in array-of-tables header"),
    ("[[a]", 1, 5, "expected ']]' in array-of-tables header"),
    # column and line counting: CR is a byte of its line, NUL counts too
    ("a = 1\r\nb = 'x\r\n", 2, 7, "newline in single-line literal string"),
    ("# \x00\x00\nv = [1 2]", 2, 8, "expected ',' or ']' in array"),
    ("v = 'x\x00y' z", 1, 12, "expected '=' after key"),
    ("'é' = 'é'\nv = \u00e9", 2, 5, "unexpected character in value"),
])
def test_errors(text, line, col, msg):
    assert position_error(parse_toml, text) == (line, col, msg)


def test_invalid_utf8_bytes_in_a_string_fail_like_the_decoder():
    with pytest.raises(UnicodeDecodeError):
        parse_toml(b"a = '\xff'")
    with pytest.raises(UnicodeDecodeError):
        parse_toml(b'a = "\\n\xc3"')
    # Comments are not inspected.
    assert parse_toml(b"# \xff\na = 1") == {"a": 1}


# ---------------------------------------------------------------------------
# Table model and headers

@pytest.mark.parametrize("text, line, col, msg", [
    ("a = 1\na = 2", 2, 6, "duplicate key"),
    ('"port" = 1\nport = 2', 2, 9, "duplicate key"),
    ("a.b = 1\na.b = 2", 2, 8, "duplicate key"),
    ("[s]\na = 1\na = [2, 3]", 3, 11, "duplicate key"),
    ("[[f]]\na = 1\na = 2", 3, 6, "duplicate key"),
    ('"a\\u0000x" = 1\n"a\\u0000x" = 2', 2, 15, "duplicate key"),
    ('"" = 1\n\'\' = 2', 2, 7, "duplicate key"),
    ('[""]\n"" = 1\n[""]', 3, 5, "duplicate table header"),
    # A key/value line never replaces an entry its table already holds.
    ("a.b = 1\na = 2", 2, 6, "duplicate key"),
    ("a.b.c = 1\na.b = 2", 2, 8, "duplicate key"),
    ("a = {x = 1}\na.x = 3", 2, 8, "duplicate key"),
    ("[t]\nx = {y = {}}\nx.y = 1", 3, 8, "duplicate key"),
    ("a = 1\na.b = 2", 2, 8, "cannot extend a key as a table"),
    ("a = [1, 2]\na.b = 1", 2, 8, "cannot extend a key as a table"),
    ("[a]\nx = 1\n[a]\ny = 2", 4, 1, "duplicate table header"),
    ("[a]\n[a]", 2, 4, "duplicate table header"),
    ("[a]\n['a']", 2, 6, "duplicate table header"),
    ("[a.b]\n[a]", 2, 4, "cannot redefine implicitly created table"),
    ("x.y = 1\n[x]", 2, 4, "cannot redefine implicitly created table"),
    ("[server]\na.b = 1\n[server.a]", 3, 11, "cannot redefine implicitly created table"),
    # The same path string reached from the root and from the current table.
    ('[a]\n"b.c" = 1\n[a."b.c"]', 3, 10, "cannot redefine a key as a table"),
    ("['x\\y']\n'z.w' = {}\n['x\\y'.'z.w']", 3, 14, "cannot redefine a key as a table"),
    ('[a]\n"b.c".d = 1\n[a."b.c"]', 3, 10, "cannot redefine implicitly created table"),
    ("[a.b]\nc = 1\n[a]\n", 4, 1, "cannot redefine implicitly created table"),
    ("[[f]]\nx.y = 1\n[f.x]", 3, 6, "cannot extend a key as a table"),
    ("[[a.b]]\n[[a]]", 2, 6, "cannot redefine implicitly created table"),
    ("[[a.b]]\n[a]", 2, 4, "cannot redefine implicitly created table"),
    ("a = 1\n[a]", 2, 4, "cannot redefine a key as a table"),
    ("x = {y = 1}\n[x.y]", 2, 6, "cannot redefine a key as a table"),
    ("a = 1\n[a.b]", 2, 6, "cannot extend a key as a table"),
    ("[a]\n[[a]]", 2, 6, "cannot mix table and array-of-tables"),
    ("[[a]]\n[a]", 2, 4, "table header conflicts with array-of-tables"),
    ("a = 1\n[[a]]", 2, 6, "array table redefines a key"),
    ("a = []\n[[a]]", 2, 6, "array table redefines a key"),
    ("[[fruit]]\n[fruit.physical]", 2, 17, "cannot extend a key as a table"),
    ("[[fruit]]\n[[fruit.variety]]", 2, 18, "cannot extend a key as a table"),
    ("x = {y = 1}\n[[x.y]]", 2, 8, "key is not an array of tables"),
    ("x = {y = {}}\n[[x.y]]", 2, 8, "key is not an array of tables"),
])
def test_conflicts(text, line, col, msg):
    assert position_error(parse_toml, text) == (line, col, msg)


def test_failure_midway_returns_nothing():
    text = "".join(f"k{i} = {i}\n" for i in range(49)) + "k0 = 1\n"
    assert position_error(parse_toml, text) == (50, 7, "duplicate key")


# ---------------------------------------------------------------------------
# Nesting

# A value inside the deepest array is one level too deep (the shared check
# of every reader's limit is in test_reliability.py).
@pytest.mark.parametrize("depth, inner, outcome", [
    (511, "1", "ok"), (512, "1", (1, 512 + 5, "max depth exceeded")),
])
def test_nesting_limit(depth, inner, outcome):
    text = "v = " + "[" * depth + inner + "]" * depth
    if outcome == "ok":
        v = parse_toml(text)["v"]
        for _ in range(depth - 1):
            v = v[0]
        assert v == ([1] if inner else [])
    else:
        assert position_error(parse_toml, text) == outcome


def test_nesting_mixes_arrays_and_inline_tables():
    text = "v = " + "[{a = " * 256 + "1" + "}]" * 256
    assert position_error(parse_toml, text)[2] == "max depth exceeded"
    ok = "v = " + "[{a = " * 255 + "1" + "}]" * 255
    assert parse_toml(ok)


def test_a_million_brackets():
    assert position_error(parse_toml, "v = " + "{a=" * 1_000_000)[2] == "max depth exceeded"
    assert position_error(parse_toml, "[" * 1_000_000) == (1, 3, "invalid key")


# ---------------------------------------------------------------------------
# Whole documents

PYPROJECT = """\
[build-system]
requires = ["setuptools>=61", "wheel"]  # build deps
build-backend = "setuptools.build_meta"

[project]
name = "demo"
version = "1.2.3"
authors = [{name = "A. Person", email = "a@example.org"}]
dependencies = [
    "requests>=2",
    'tomli; python_version < "3.11"',
]
optional-dependencies.test = ["pytest>=8"]

[project.urls]
"Home Page" = "https://example.org"

[tool.pytest.ini_options]
addopts = "-ra -q"
testpaths = ["tests"]
filterwarnings = [
    "error",
]

[tool.ruff]
line-length = 100
lint.select = ["E", "F"]
lint.ignore = []

[tool.ruff.lint.per-file-ignores]
"tests/*.py" = ["E501"]

[tool.coverage.report]
fail_under = 95.5
exclude_lines = ['''if TYPE_CHECKING:''']
"""


def cargo_lock(n: int) -> str:
    parts = ["# generated\nversion = 3\n"]
    for i in range(n):
        parts.append(
            f'\n[[package]]\nname = "crate-{i}"\nversion = "0.{i % 7}.{i}"\n'
            'source = "registry+https://github.com/rust-lang/crates.io-index"\n'
            f'checksum = "{i:064x}"\n'
            f'dependencies = [\n "crate-{i + 1}",\n "libc",\n]\n')
    return "".join(parts)


def test_pyproject_like():
    import tomllib

    assert parse_toml(PYPROJECT) == tomllib.loads(PYPROJECT)


@pytest.mark.parametrize("n", [1, 10, 5000])
def test_cargo_lock_like(n):
    import tomllib

    text = cargo_lock(n)
    tree = parse_toml(text)
    assert tree == tomllib.loads(text)
    assert len(tree["package"]) == n


@pytest.mark.parametrize("doc", [PYPROJECT, cargo_lock(20)])
def test_crlf_line_ends(doc):
    assert parse_toml(doc.replace("\n", "\r\n")) == parse_toml(doc)


def test_key_cache_keeps_keys_apart():
    # More distinct short keys than cache slots, in several tables.
    keys = [f"k{i}" for i in range(3000)] + ["a" * n for n in range(1, 60)]
    text = "".join(f"[t{t}]\n" + "".join(f"{k} = {i}\n" for i, k in enumerate(keys))
                   for t in range(3))
    tree = parse_toml(text)
    for t in range(3):
        assert tree[f"t{t}"] == {k: i for i, k in enumerate(keys)}


def test_many_paths_and_index_segments():
    text = "".join(f"[[p]]\nn = {i}\nd.x = {i}\n" for i in range(3000))
    assert parse_toml(text) == {"p": [{"n": i, "d": {"x": i}} for i in range(3000)]}
    text = "".join(f'["t{i}"]\n"x.y" = 1\nx.y = 2\n' for i in range(3000))
    assert len(parse_toml(text)) == 3000


def test_long_table_path_is_stored_once():
    # 20000 keys under a 100 KB table name: recording every key's full path
    # string separately would take 2 GB.
    import resource

    doc = '["' + "p" * 100_000 + '"]\n' + "".join(f"k{i}.x = {i}\n" for i in range(20_000))
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    tree = parse_toml(doc)
    grown_mb = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) / 1024
    assert len(tree["p" * 100_000]) == 20_000
    assert grown_mb < 200


def test_no_reference_leaks():
    docs = [PYPROJECT, cargo_lock(30), "v = [1.5, 'x', {a = [2]}, 1979-05-27]",
            'a = """x\\ny"""\nb = 0x' + "f" * 40, "v = 1e5\nw = 0x1.8p3"]
    bad = ["a = 1\na = 2", "v = [1, {a = 'x'}, 2 3]", "v = [" * 600,
           "[[a]]\n[a.b]", "v = '''x", "[a]\nx.y = 1\n[a.x]", "v = 1.2.3",
           'v = "\\uD800"', "v = 1" + "0" * 5000]

    def run():
        for d in docs:
            parse_toml(d)
        for d in bad:
            try:
                parse_toml(d)
            except ValueError:
                pass

    assert_no_leak(run, rounds=70, warmup=20)


# ---------------------------------------------------------------------------
# Fast paths give what the byte-by-byte reading gives

@pytest.mark.parametrize("special, form", [
    ("\t", '"'), ("\x7f", '"'), ("é", '"'), ("\\n", '"'), ('\\"', '"'), ("\\u00e9", '"'),
    ("\x01", '"'), ("\n", '"'), ('"', '"'),
    ("\t", "'"), ("\x01", "'"), ("é", "'"), ("\\", "'"), ("\n", "'"), ("'", "'"),
    ("\n", '"""'), ("\r\n", '"""'), ('"', '"""'), ("\\\n  ", '"""'), ("\x01", '"""'),
])
def test_string_runs_at_every_offset(special, form):
    decoded = {"\\n": "\n", '\\"': '"', "\\u00e9": "é", "\\\n  ": ""}
    for before in range(0, 19):
        for after in (0, 1, 7, 8, 9, 17):
            body = "a" * before + special + "b" * after
            text = f"v = {form}{body}{form}"
            if (special, form) in {("\x01", '"'), ("\x01", '"""')}:
                assert position_error(parse_toml, text) == \
                    (1, 5 + len(form) + before, "control character in string")
            elif special == "\n" and form in "\"'":
                assert position_error(parse_toml, text)[2].startswith("newline in single-line")
            elif special == '"' and form == '"""' and (before == 0 or after == 0):
                continue  # the first three quotes close the string
            elif special == form:
                if after == 0:
                    assert parse_toml(text[:-1]) == {"v": "a" * before}
                else:
                    position_error(parse_toml, text)
            else:
                mid = decoded.get(special, special) if form != "'" else special
                if form == '"""' and before == 0 and special in ("\n", "\r\n"):
                    mid = ""  # a raw line end right after the delimiter
                want = "a" * before + mid + "b" * after
                assert parse_toml(text) == {"v": want}, text
