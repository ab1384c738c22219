"""The JSON reader: trees, errors with their exact place, and the fast paths
(strings, numbers, key sharing) checked against the interpreter's own
conversions."""

from __future__ import annotations

import gc
import json
import math
import os
import random
import struct
import subprocess
import sys

import pytest
from _util import assert_no_leak, position_error

import _quorvane
import quorvane
import quorvane.json as qjson

parse = _quorvane.parse_json


# ---------------------------------------------------------------------------
# Errors: message and place


ERRORS = [
    # text, line, column, message
    ("", 1, 1, "unexpected end of input"),
    ("   ", 1, 4, "unexpected end of input"),
    ("1 2", 1, 3, "trailing characters after JSON value"),
    ("truex", 1, 5, "trailing characters after JSON value"),
    ("01", 1, 2, "trailing characters after JSON value"),
    ("{}}", 1, 3, "trailing characters after JSON value"),
    ("[", 1, 2, "unexpected end of input"),
    ("[1", 1, 3, "unterminated array"),
    ("[1 ", 1, 4, "unterminated array"),
    ("[1,", 1, 4, "unexpected end of input"),
    ("[1,]", 1, 4, "trailing comma in array"),
    ("[1 , \n ]", 2, 2, "trailing comma in array"),
    ("[1 2]", 1, 4, "expected ',' or ']' in array"),
    ("[1}", 1, 3, "expected ',' or ']' in array"),
    ("[1,,2]", 1, 4, "unexpected character in JSON value"),
    ("[,]", 1, 2, "unexpected character in JSON value"),
    ("{", 1, 2, "expected string key in object"),
    ('{"a"', 1, 5, "expected ':' after object key"),
    ('{"a"}', 1, 5, "expected ':' after object key"),
    ('{"a" 1}', 1, 6, "expected ':' after object key"),
    ('{"a":', 1, 6, "unexpected end of input"),
    ('{"a":}', 1, 6, "unexpected character in JSON value"),
    ('{"a":1', 1, 7, "unterminated object"),
    ('{"a":1,', 1, 8, "expected string key in object"),
    ('{"a":1,}', 1, 8, "trailing comma in object"),
    ('{"a":1 }}', 1, 9, "trailing characters after JSON value"),
    ('{"a":1 "b":2}', 1, 8, "expected ',' or '}' in object"),
    ('{"a":1]', 1, 7, "expected ',' or '}' in object"),
    ("{a:1}", 1, 2, "expected string key in object"),
    ("{1:1}", 1, 2, "expected string key in object"),
    ("{'a':1}", 1, 2, "bare single quotes are not allowed in JSON"),
    ('{"a":1, \'b\':2}', 1, 9, "bare single quotes are not allowed in JSON"),
    ("'a'", 1, 1, "bare single quotes are not allowed in JSON"),
    ("[1, 'a']", 1, 5, "bare single quotes are not allowed in JSON"),
    ("tru", 1, 1, "unexpected character in JSON value"),
    ("nul", 1, 1, "unexpected character in JSON value"),
    ("[True]", 1, 2, "unexpected character in JSON value"),
    ("[fals]", 1, 2, "unexpected character in JSON value"),
    ("NaN", 1, 1, "unexpected character in JSON value"),
    ("-Infinity", 1, 2, "invalid number"),
    ("+1", 1, 1, "unexpected character in JSON value"),
    (".5", 1, 1, "unexpected character in JSON value"),
    ("-", 1, 2, "invalid number"),
    ("-a", 1, 2, "invalid number"),
    ("[-]", 1, 3, "invalid number"),
    ("1.", 1, 3, "invalid number: expected digit after decimal point"),
    ("1.e5", 1, 3, "invalid number: expected digit after decimal point"),
    ("[1.]", 1, 4, "invalid number: expected digit after decimal point"),
    ("1e", 1, 3, "invalid number: expected digit in exponent"),
    ("1e+", 1, 4, "invalid number: expected digit in exponent"),
    ("1E-", 1, 4, "invalid number: expected digit in exponent"),
    ("1ex", 1, 3, "invalid number: expected digit in exponent"),
    ("1e+x", 1, 4, "invalid number: expected digit in exponent"),
    ("[1e]", 1, 4, "invalid number: expected digit in exponent"),
    ("-01", 1, 3, "trailing characters after JSON value"),
    ("1.5.2", 1, 4, "trailing characters after JSON value"),
    ("\f1", 1, 1, "unexpected character in JSON value"),
    ("\x001", 1, 1, "unexpected character in JSON value"),
    ("\ufeff1", 1, 1, "unexpected character in JSON value"),
    ("1\f", 1, 2, "trailing characters after JSON value"),
    ("1\x00", 1, 2, "trailing characters after JSON value"),
    ("1 \u00a0", 1, 3, "trailing characters after JSON value"),
    # strings
    ('"abc', 1, 5, "unterminated string"),
    ('"', 1, 2, "unterminated string"),
    ('"\\', 1, 3, "unterminated escape sequence"),
    ('"ab\\', 1, 5, "unterminated escape sequence"),
    ('"\\n', 1, 4, "unterminated string"),
    ('"\\x41"', 1, 4, "invalid escape character"),
    ('"\\\'"', 1, 4, "invalid escape character"),
    ('"\\U0041"', 1, 4, "invalid escape character"),
    ('"\\0"', 1, 4, "invalid escape character"),
    ('"\\\n"', 2, 1, "invalid escape character"),
    ('"\\u12', 1, 4, "invalid \\u escape"),
    ('"\\u12"', 1, 4, "invalid \\u escape"),
    ('"\\u12"   ', 1, 4, "invalid \\u escape"),
    ('"\\u12G4"', 1, 4, "invalid \\u escape"),
    ('"\\u"', 1, 4, "invalid \\u escape"),
    ('"\\uDE00"', 1, 8, "unpaired surrogate in \\u escape"),
    ('"\\uDFFF"', 1, 8, "unpaired surrogate in \\u escape"),
    ('"\\uD83D"', 1, 8, "unpaired surrogate in \\u escape"),
    ('"\\uD83D', 1, 8, "unpaired surrogate in \\u escape"),
    ('"\\uD83D\\u0041"', 1, 8, "unpaired surrogate in \\u escape"),
    ('"\\uD83D\\uD83D"', 1, 8, "unpaired surrogate in \\u escape"),
    ('"\\uD83D\\uZZZZ"', 1, 8, "unpaired surrogate in \\u escape"),
    ('"\\uD83D\\uDE0"', 1, 8, "unpaired surrogate in \\u escape"),
    ('"\\uD83D\\n"', 1, 8, "unpaired surrogate in \\u escape"),
    ('"\\uD83Dx\\uDE00"', 1, 8, "unpaired surrogate in \\u escape"),
    ('"a\tb"', 1, 3, "unescaped control character in string"),
    ('"a\nb"', 1, 3, "unescaped control character in string"),
    ('"a\x00b"', 1, 3, "unescaped control character in string"),
    ('"a\x1f"', 1, 3, "unescaped control character in string"),
    ('"\\n\x01"', 1, 4, "unescaped control character in string"),
    ('{"a\rb":1}', 1, 4, "unescaped control character in string"),
    ('{"k\\q":1}', 1, 6, "invalid escape character"),
]


@pytest.mark.parametrize("text,line,col,msg", ERRORS)
def test_error_message_and_place(text, line, col, msg):
    assert position_error(parse, text) == (line, col, msg)
    assert position_error(parse, text.encode()) == (line, col, msg)


@pytest.mark.parametrize(
    "text,line,col",
    [
        ("[1,\n2,\n  x]", 3, 3),
        ("\n\n   x", 3, 4),
        ("[1,\r2,\r  x]", 1, 10),  # a lone carriage return is no line break
        ("[1,\r\n  x]", 2, 3),
        ('["\x00", x]', 1, 3),  # the control byte, not a later one
        ('[" ", \n"é", x]', 2, 7),  # columns count bytes
    ],
)
def test_place_counts_lines_and_bytes(text, line, col):
    assert position_error(parse, text)[:2] == (line, col)


# Blanks of every shape around every token: indentation (a line end and
# spaces, read in words) of any length, broken by other blanks anywhere.
BLANKS = [" " * k for k in (0, 1, 2, 15, 16, 17, 40)] + [
    "\n" + " " * k for k in (1, 3, 14, 15, 16, 17, 31, 32, 33, 60)] + [
    "\r\n    ", "\n\n" + " " * 20, "\n" + " " * 18 + "\t" + " " * 5, "\n" + " " * 16 + "\n  ",
    "\t\t\t", "\n" + " " * 7 + "\r" + " " * 30]


@pytest.mark.parametrize("b", BLANKS)
def test_blanks_between_tokens(b):
    doc = f'[{b}1{b},{b}{{{b}"a"{b}:{b}2{b}}}{b}]{b}'
    assert parse(doc) == json.loads(doc)
    bad = doc + "x"
    with pytest.raises(json.JSONDecodeError) as info:
        json.loads(bad)
    assert position_error(parse, bad) == (info.value.lineno, info.value.colno,
                                          "trailing characters after JSON value")
    # Cut inside the last blanks: the end of the text is where the error is.
    cut = f"[{b}1,{b}"
    assert position_error(parse, cut)[2] == "unexpected end of input"


def test_place_counts_bytes_past_nul():
    # A NUL byte before the error is an ordinary byte for the count.
    text = b'["\\u0000", "a\x00b"]'
    assert position_error(parse, text) == (1, 14, "unescaped control character in string")


def test_error_deep_inside_reports_inner_place():
    text = '{"a": [{"b": [1, 2, {"c": tru}]}]}'
    assert position_error(parse, text) == (1, 27, "unexpected character in JSON value")


# ---------------------------------------------------------------------------
# Values


VALUES = [
    ("42", 42),
    ("-0", 0),
    ("0", 0),
    ("null", None),
    ("true", True),
    ("false", False),
    ('"x"', "x"),
    ("[]", []),
    ("{}", {}),
    ("[ ]", []),
    ("{ \t\r\n}", {}),
    (" \t\r\n[1 , 2 ]\r\n\t ", [1, 2]),
    ('{"a": {"b": [null, true, false, {"c": []}]}}', {"a": {"b": [None, True, False, {"c": []}]}}),
    ('[[[]], [[], {}]]', [[[]], [[], {}]]),
    ('{"a": 1, "a": 2}', {"a": 2}),
    ('{"": 0}', {"": 0}),
]


@pytest.mark.parametrize("text,expected", VALUES)
def test_values(text, expected):
    for doc in (text, text.encode()):
        got = parse(doc)
        assert got == expected
        assert type(got) is type(expected)


def test_repeated_key_keeps_first_place_and_last_value():
    got = parse('{"a": 1, "b": 2, "a": 3}')
    assert list(got.items()) == [("a", 3), ("b", 2)]


def test_bool_and_null_are_the_singletons():
    assert parse("[true, false, null]") == [True, False, None]
    t, f, n = parse("[true, false, null]")
    assert t is True and f is False and n is None


def test_str_and_bytes_input_agree():
    doc = '{"é": ["ü", 1.5, {"k": "\\u20ac"}], "n": -12}'
    assert parse(doc) == parse(doc.encode()) == json.loads(doc)


def test_other_argument_types_rejected():
    with pytest.raises(TypeError):
        parse(123)
    with pytest.raises(TypeError):
        parse()
    with pytest.raises(TypeError):
        parse(text="1")
    with pytest.raises(UnicodeEncodeError):
        parse('"\ud800"')


# ---------------------------------------------------------------------------
# Nesting


@pytest.mark.parametrize("scalar", ["1", '"s"', "null", "-2.5", "tru"])
def test_scalar_inside_deepest_container_refused(scalar):
    text = "[" * 512 + scalar + "]" * 512
    assert position_error(parse, text) == (1, 513, "max depth exceeded")


def test_nesting_limit_counts_open_values_only():
    # Many siblings at depth 512 are fine once each closes again.
    text = "[" * 511 + "[],[],[]" + "]" * 511
    assert parse(text) is not None
    # The end of the text wins over the depth check.
    assert position_error(parse, "[" * 512) == (1, 513, "unexpected end of input")
    assert position_error(parse, "[" * 512 + " ") == (1, 514, "unexpected end of input")


# ---------------------------------------------------------------------------
# Strings and escapes


ESCAPES = [
    (r'""', ""),
    (r'"\""', '"'),
    (r'"\\"', "\\"),
    (r'"\/"', "/"),
    (r'"\b\f\n\r\t"', "\b\f\n\r\t"),
    (r'"\u0041"', "A"),
    (r'"\u00e9"', "é"),
    (r'"\u00E9"', "é"),
    (r'"\u20AC"', "€"),
    (r'"\uFFFF"', "\uffff"),
    (r'"\u0000"', "\x00"),
    (r'"\u007f\u0080\u07ff\u0800"', "\x7f\x80\u07ff\u0800"),
    (r'"\uD83D\uDE00"', "\U0001F600"),
    (r'"\ud800\udc00"', "\U00010000"),
    (r'"\uDBFF\uDFFF"', "\U0010FFFF"),
    (r'"a\u0000b\nc"', "a\x00b\nc"),
    (r'"é\u00e9é"', "ééé"),
    ('"\x7f"', "\x7f"),
    ('"日本語"', "日本語"),
    ('"😀"', "\U0001F600"),
]


@pytest.mark.parametrize("text,expected", ESCAPES)
def test_string_escapes(text, expected):
    got = parse(text)
    assert got == expected and type(got) is str
    assert parse("{" + text + ": 1}") == {expected: 1}


@pytest.mark.parametrize("at", range(0, 40))
@pytest.mark.parametrize("stop", ['"', "\\n", "\t", "é", "\\u00e9"])
def test_string_scan_stops_anywhere(at, stop):
    # Every offset of the special byte within and across 16-byte blocks.
    body = "a" * at + stop + "b" * (37 - at)
    text = '["' + body + '"]'
    if stop == '"':
        assert position_error(parse, text)[2] == "expected ',' or ']' in array"
    elif stop == "\t":
        assert position_error(parse, text) == (1, 3 + at, "unescaped control character in string")
    else:
        assert parse(text) == json.loads(text)
        assert parse(text.encode()) == json.loads(text)


def test_long_strings_with_escapes_grow_the_buffer():
    body = "".join(f"x\\n{i:05d}\\u00e9" for i in range(500))
    text = f'["{body}", "{body}"]'
    assert parse(text) == json.loads(text)


@pytest.mark.parametrize(
    "raw",
    [b'"\xff"', b'"abc\xc3"', b'"\xed\xa0\x80"', b'"\xc0\x80"', b'"\xf4\x90\x80\x80"',
     b'{"\xe9t\xe9": 1}', b'"ok\\n\xfe"'],
)
def test_invalid_utf8_in_bytes_raises_decode_error(raw):
    with pytest.raises(UnicodeDecodeError):
        parse(raw)


def test_utf8_decoding_matches_the_interpreter():
    # Random byte soup near the UTF-8 boundaries: either the same str as
    # bytes.decode, or the same decoding error.
    r = random.Random(11)
    alphabet = [0x41, 0x7F, 0x80, 0xBF, 0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xDF, 0xE0, 0xE1, 0xED,
                0xEE, 0xEF, 0xF0, 0xF1, 0xF4, 0xF5, 0xFF, 0x8F, 0x90, 0x9F, 0xA0]
    for _ in range(5000):
        raw = bytes(r.choice(alphabet) for _ in range(r.randint(1, 12)))
        if r.random() < 0.5:
            raw = "é€😀"[r.randint(0, 2)].encode() * r.randint(1, 3) + raw
        elif r.random() < 0.5:
            # Runs of three-byte characters (read a word at a time), the
            # edges of their range among them, before and after the soup.
            run = "".join(r.choice("\u0800\ud7ff\ue000\uffff日本語") for _ in range(r.randint(1, 8)))
            raw = run.encode() + raw + run[: r.randint(0, 2)].encode()
        assert_decodes_as_the_interpreter(raw)


def assert_decodes_as_the_interpreter(raw):
    # Either the same str as bytes.decode, or the same decoding error.
    try:
        expected = raw.decode("utf-8")
    except UnicodeDecodeError as e:
        with pytest.raises(UnicodeDecodeError) as info:
            parse(b'"' + raw + b'"')
        assert str(info.value) == str(e)
    else:
        got = parse(b'"' + raw + b'"')
        assert got == expected and type(got) is str


@pytest.mark.parametrize("odd", [b"", b"\xed\xa0\x80", b"\xe0\x9f\xbf", b"\xed\xbf\xbf",
                                 b"\xe3\x81", b"\xe3\x41\x81", b"\xc3\xa9", b"\xf0\x9f\x98\x80"])
def test_sequences_wherever_they_fall_among_the_words(odd):
    # Three-byte characters are read two at a time and ASCII runs within
    # them eight at a time: an odd or bad sequence at each place in a word.
    for before in range(5):
        for run in (0, 1, 7, 8, 9, 17):
            assert_decodes_as_the_interpreter(
                "日本語あい"[:before].encode() + b"a" * run + odd + "本語".encode() * 2 + b"b" * run)


def test_invalid_utf8_is_found_after_string_errors():
    # The string is read to its end before it is decoded.
    assert position_error(parse, b'"\xff\\x"') == (1, 5, "invalid escape character")


# ---------------------------------------------------------------------------
# Numbers


INT_EDGES = [0, 1, 9, 10, 99, 2**31 - 1, 2**31, 2**53, 2**53 + 1, 10**17, 10**18 - 1, 10**18,
             2**63 - 1, 2**63, 2**63 + 1, 10**19 - 1, 10**19, 2**64 - 1, 2**64, 2**64 + 1,
             10**20, 3**100, 10**400]


@pytest.mark.parametrize("n", INT_EDGES + [-n for n in INT_EDGES])
def test_integers_exact(n):
    got = parse(str(n))
    assert got == n and type(got) is int
    assert parse(f"[{n}, {n}]") == [n, n]


# Numbers with room after them are read in words, the last ones of a
# document byte by byte: both must give the same value or the same error.
ROOMY_NUMBERS = [
    "0", "-0", "7", "-7", "12", "123", "1234567", "12345678", "123456789012345",
    "1234567890123456", "-999999999999999", "0.5", "-0.0", "65.613616999999977",
    "-65.613616999999977", "1.0000000000000002", "123456789012345.1234", "9.9999999999999999",
    "1234.123456789012345", "0.1234567890123456", "0." + "0" * 14 + "1", "1.5e3", "1.5E-3",
    "2e5", "01", "-01", "00.5", "1.", "1.e5", "-", "-a", "--1", "1.5.3", "1a", "-.5", ".5",
    "1e", "1e+", "12345678901234567890", "1.2345678901234567890", "123456789012345678",
    "-999999999999999999", "1234567890123456789", "-9223372036854775808",
    "12345678901234567.5", "123456789012345678.5", "1234567890123456789.5",
]


@pytest.mark.parametrize("text", ROOMY_NUMBERS)
def test_numbers_read_in_words_agree_with_the_byte_scan(text):
    def outcome(doc):
        try:
            got = parse(doc)
            return type(got[0]).__name__, struct.pack("<d", got[0]) if isinstance(got[0], float) \
                else got[0]
        except ValueError as e:
            return "error", str(e)

    # The room lies after the number: an error has the same place too.
    roomy = outcome(f"[{text}, {' ' * 48}0]")
    assert roomy == outcome(f"[{text}, 0]")
    if roomy[0] != "error":
        assert parse(f"[{text}, {' ' * 48}0]")[0] == json.loads(text)


def test_integer_beyond_interpreter_digit_limit_is_invalid():
    limit = sys.get_int_max_str_digits()
    if limit == 0:
        pytest.skip("no digit limit in force")
    ok = "9" * limit
    assert parse(ok) == int(ok)
    text = "[" + "9" * (limit + 1) + " ]"
    assert position_error(parse, text) == (1, limit + 3, "invalid number")
    # A float with as many digits has no such limit.
    assert parse("9" * (limit + 1) + ".0") == float("9" * (limit + 1))


FLOATS = [
    "1E2", "1e2", "-0.0", "0.0", "-0e5", "0e-400", "1.5", "-1.5e-3", "1e400", "-1e400",
    "1e-400", "2.2250738585072011e-308", "2.2250738585072014e-308", "4.9406564584124654e-324",
    "2.4703282292062327e-324", "2.4703282292062328e-324", "1.7976931348623157e308",
    "1.7976931348623158e308", "1.7976931348623159e308",
    "9007199254740993.0", "9007199254740992.5", "0.1", "0.30000000000000004",
    "123456789012345678901234567890.5", "1" + "0" * 400 + ".0e-400",
    "0." + "0" * 400 + "1e400", "7.2057594037927933e16", "3.0540412e5",
    "1.00000000000000011102230246251565404236316680908203125",
    "1.00000000000000011102230246251565404236316680908203124",
    "1.00000000000000011102230246251565404236316680908203126",
    "1e" + "9" * 30, "1e-" + "9" * 30, "0e" + "9" * 30,
]


def same_float(a, b):
    return type(a) is float and struct.pack("<d", a) == struct.pack("<d", b)


@pytest.mark.parametrize("text", FLOATS)
def test_float_edges_match_float(text):
    assert same_float(parse(text), float(text))


def _random_number_text(r: random.Random) -> str:
    kind = r.random()
    bits = r.getrandbits(64)
    x = struct.unpack("<d", struct.pack("<Q", bits))[0]
    if not math.isfinite(x):
        x = 1.0
    if kind < 0.25:
        return repr(x).replace("inf", "1").replace("nan", "1") if "e" in repr(x) or "." in repr(x) else repr(x) + ".0"
    if kind < 0.4:
        return "%.*e" % (r.randint(0, 25), x)
    if kind < 0.55:
        # near a tie between two neighbouring doubles
        y = math.nextafter(x, math.inf)
        if not math.isfinite(y):
            return "1.0"
        from fractions import Fraction
        mid = (Fraction(x) + Fraction(y)) / 2
        k = mid.denominator.bit_length() - 1
        digits = mid.numerator * 5**k + r.choice([-1, 0, 0, 1])
        return f"{digits}e{-k}"
    nd = r.choice([1, 3, 15, 16, 17, 18, 19, 20, 21, 30, 60])
    digits = str(r.randrange(10 ** (nd - 1), 10**nd))
    cut = r.randint(1, nd)
    text = digits[:cut] + ("." + digits[cut:] if cut < nd else "")
    if cut > 1 and r.random() < 0.3:
        text = "0." + "0" * r.randint(0, 30) + digits
    if r.random() < 0.7 or "." not in text:
        text += r.choice("eE") + r.choice(["", "+", "-"]) + str(
            r.choice([r.randint(0, 25), r.randint(0, 330), r.randint(280, 350)]))
    return ("-" if r.random() < 0.5 else "") + text


# Both JSON readers share the number scanner and the conversion.
@pytest.mark.parametrize("reader", [parse, qjson.loads], ids=["parse_json", "json.loads"])
def test_float_random_sample_bit_identical_to_float(reader):
    r = random.Random(20240521)
    texts = [_random_number_text(r) for _ in range(60000)]
    got = reader("[" + ",".join(texts) + "]")
    bad = [t for t, g in zip(texts, got) if not same_float(g, float(t))]
    assert bad == []


def test_subnormals_and_extremes_bit_identical():
    r = random.Random(7)
    texts = []
    for _ in range(20000):
        # fraction bits random, exponent near the bottom or the top
        e = r.choice([0, 1, 2, 3, 2045, 2046])
        bits = (e << 52) | r.getrandbits(52)
        x = struct.unpack("<d", struct.pack("<Q", bits))[0]
        texts.append("%.*e" % (r.choice([16, 17, 18, 25]), x))
    got = parse("[" + ",".join(texts) + "]")
    assert [t for t, g in zip(texts, got) if not same_float(g, float(t))] == []


def test_floats_are_plain_objects_seen_by_allocation_tracing():
    # The readers make floats without the float constructor: each must
    # still be an exact float holding one reference, allocated where
    # tracemalloc sees it.
    import tracemalloc
    text = "[" + ",".join(f"{i}.5" for i in range(20000)) + "]"
    tracemalloc.start()
    try:
        got = parse(text)
        traced, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert traced >= 20000 * sys.getsizeof(0.5)
    assert all(type(x) is float for x in got) and got[-1] == 19999.5
    made = [float(s) for s in ("123.5",)]
    assert sys.getrefcount(got[123]) == sys.getrefcount(made[0])


# ---------------------------------------------------------------------------
# Keys shared within a document


def test_many_distinct_keys_survive_the_key_cache():
    # Same lengths, shared prefixes and suffixes, non-ASCII, escaped and long
    # keys, each used several times in different objects.
    r = random.Random(3)
    keys = [f"k{i}" for i in range(700)] + [f"{i:08d}_suffix" for i in range(300)]
    keys += ["é" * (i % 9) + str(i) for i in range(100)] + ["x" * (60 + i) for i in range(10)]
    keys += ["a\\nb", "a\nb", "\\u0041", "A"]
    # Long keys alike in length and in their first and last eight bytes.
    keys += [f"abcdefgh{i:0{w}d}stuvwxyz" for w in (1, 9, 17, 40) for i in range(10)]
    objs = []
    for _ in range(30):
        sample = r.sample(keys, 50)
        objs.append("{" + ",".join(f'"{k}": {i}' for i, k in enumerate(sample)) + "}")
    text = "[" + ",".join(objs) + "]"
    assert parse(text) == json.loads(text)


def test_objects_of_every_size_after_one_begun_alike():
    # Records of sizes that grow and shrink, repeated keys, nested objects:
    # the same tree as json's, its dicts taking the same room (a dict made
    # at a guessed size keeps its keys in a larger table).
    r = random.Random(5)

    def obj(depth):
        n = r.choice([1, 2, 5, 6, 9, 40, 200])
        members = [f'"{r.choice(["id", "k"])}": {depth}']
        for _ in range(n - 1):
            value = obj(depth + 1) if depth < 2 and r.random() < 0.02 else str(r.randrange(9))
            members.append(f'"k{r.randrange(n * 2)}": {value}')
        return "{" + ", ".join(members) + "}"

    text = "[" + ", ".join(obj(0) for _ in range(200)) + "]"
    ours, theirs = parse(text), json.loads(text)
    assert json.dumps(ours) == json.dumps(theirs)

    def room(tree):
        return sys.getsizeof(tree) + sum(room(v) for v in tree.values()) if isinstance(
            tree, dict) else sum(map(room, tree)) if isinstance(tree, list) else 0
    assert room(ours) == room(theirs)


def _dicts_alike(ours, theirs):
    # Same keys in the same order, same room, same standing with the collector.
    assert type(ours) is type(theirs)
    if isinstance(ours, dict):
        assert list(ours) == list(theirs)
        assert sys.getsizeof(ours) == sys.getsizeof(theirs)
        assert gc.is_tracked(ours) == gc.is_tracked(theirs)
        for k in ours:
            _dicts_alike(ours[k], theirs[k])
    elif isinstance(ours, list):
        # json's lists grow as they are appended to; ours take their final room
        assert sys.getsizeof(ours) == sys.getsizeof([None] * len(ours))
        for a, b in zip(ours, theirs, strict=True):
            _dicts_alike(a, b)
    else:
        assert ours == theirs


# Documents whose objects follow, leave and switch the shapes of earlier
# ones (test_json_family.py reads them in every face too).
OBJECTS_ALIKE = [
    # records alike, then one shorter, one longer, one with other keys
    '[{"a": 1, "b": 2}, {"a": 3, "b": 4}, {"a": 5}, {"a": 6, "b": 7, "c": 8}, {"a": 9, "c": 1}]',
    # values that hold others make a copy tracked, plain ones leave it not
    '[{"x": [1], "y": {}}, {"x": 1, "y": 2}, {"x": {"z": 1}, "y": 2}, {"x": "s", "y": []}]',
    # a repeated key keeps its place and takes the last value, every time
    '[{"a": 1, "a": 2}, {"a": 3, "a": 4}, {"a": 5, "b": 6, "a": 7}, {"a": 8}]',
    # a record whose key repeats where the last one had another key
    '[{"k": 1, "m": 2, "n": 3}, {"k": 1, "m": 2, "k": 3}, {"k": 1, "m": 2, "n": 3}]',
    # objects nested in objects that begin with the same key
    '[{"b": {"b": {"b": 1, "c": 2}, "c": 3}, "c": 4}, {"b": {"b": 5, "c": 6}, "c": 7}]',
    # records of a few shapes that begin alike, in turn: an optional member
    # in the middle, at the end, a record that ends early
    "[" + ", ".join(['{"m": 1, "x": 2, "y": 3}', '{"m": 1, "y": 3}', '{"m": 1, "x": 2}',
                     '{"m": [1], "x": {"m": 1, "x": 2}}', '{"m": 1}'][i % 5] for i in range(20)) + "]",
    # keys matched by their bytes: a longer, a shorter, an escaped one, the end
    '[{"ab": 1, "cd": 2}, {"ab": 1, "cde": 2}, {"ab": 1, "c": 2}, {"ab": 1, "c\\u0064": 2},'
    ' {"ab": 1, "cd" : 2}, {"ab": 1, "cd": 2}]',
    # shapes with keys not ASCII, or holding an escaped quote or backslash
    '[{"é": 1, "b": 2}, {"é": 3, "b": 4}, {"a\\"b": 1, "\\\\": 2}, {"a\\"b": 3, "\\\\": 4}]',
    # long and escaped keys are made afresh each time
    "[" + ", ".join('{"%s": 1, "e\\u0301": 2, "q": 3}' % ("k" * 70) for _ in range(3)) + "]",
    # runs of numbers, broken by blanks, nesting, other values, at any level
    '[[1,2],[-3.5,4e2],[0,-0.0],[1 ,2],[1, 2],[1,2 ],[1,[2,3],4],[1,"a",2],[1,-2,true]]',
    "[" * 40 + "1,2,-3" + "]" * 40,
    # lists of every small length
    "[" + ", ".join("[" + ", ".join(["1"] * (i % 7)) + "]" for i in range(30)) + "]",
    # records of many keys, as many tables, in turn
    "[" + ", ".join("{" + ", ".join(f'"k{j}": {j}' for j in range(i % 45 + 1)) + "}"
                    for i in range(200)) + "]",
]


@pytest.mark.parametrize("text", OBJECTS_ALIKE)
def test_objects_alike_as_json_builds_them(text):
    _dicts_alike(parse(text), json.loads(text))


# Sizes around each growth of a table, and past the widths of its slots
# (one byte to 85 keys, two to 43,690, then four).
@pytest.mark.parametrize("n", [1, 5, 6, 10, 11, 21, 22, 42, 43, 85, 86, 87, 1000, 43690, 43691])
@pytest.mark.parametrize("repeat", [False, True])
def test_objects_of_many_keys_as_inserting_builds_them(n, repeat):
    # Each dict is the one json inserts, and stays one after it is changed:
    # more keys, keys taken out and put back.  Its keys hash as strs made
    # otherwise do, in each width.
    keys = [f"{'ké€😀'[i % 4]}{i}" for i in range(n)] + (["k0"] if repeat else [])
    text = "{" + ",".join(f'"{k}": {i}' for i, k in enumerate(keys)) + "}"
    for ours in (parse(text), quorvane.loads(text, "jsonc"), qjson.loads(text)):
        theirs = json.loads(text)
        _dicts_alike(ours, theirs)
        assert all(ours[k] == theirs[k] for k in theirs)
        assert [hash(k) for k in ours] == [hash(k.encode().decode()) for k in theirs]
        for d in (ours, theirs):
            for k in keys[::7]:
                d.pop(k, None)
            d.update((f"x{i}", i) for i in range(n // 2 + 3))
            d["k0"] = -1
        assert list(ours.items()) == list(theirs.items())
        assert sys.getsizeof(ours) == sys.getsizeof(theirs)


_HASH_CHECK = """
import json, quorvane
keys = [c * n for c in "aé€😀" for n in range(1, 41)]
text = json.dumps(dict.fromkeys(keys, 0))
for tree in (quorvane.loads(text, "json"), quorvane.loads(text, "json5")):
    assert [hash(k) for k in tree] == [hash(k.encode().decode()) for k in keys]
"""


@pytest.mark.parametrize("seed", ["0", "1", "4294967295", "random"])
def test_keys_hash_as_strs_made_otherwise(seed):
    # Keys of every length around the hash's 8-byte blocks, in each width,
    # under the fixed secrets and a random one.
    env = dict(os.environ, PYTHONHASHSEED=seed)
    subprocess.run([sys.executable, "-c", _HASH_CHECK], env=env, check=True)


def test_repeated_keys_share_one_str_within_a_call_only():
    doc = '[{"name": 1, "é": 2}, {"name": 3, "é": 4}]'
    first = parse(doc)
    (a, e1), (b, e2) = (list(first[0]), list(first[1]))
    assert a is b and e1 is e2
    second = parse(doc)
    assert list(second[0])[0] is not a


def test_keys_that_fail_to_decode_are_not_shared():
    with pytest.raises(UnicodeDecodeError):
        parse(b'[{"ab": 1}, {"a\xff": 2}]')
    assert parse(b'[{"ab": 1}, {"ab": 2}]') == [{"ab": 1}, {"ab": 2}]


# ---------------------------------------------------------------------------
# References


def test_no_reference_leaks():
    doc = ('{"a": [1, 2.5, "x", "\\u00e9", {"b": null, "a": [true, false]}], '
           '"big": 123456789012345678901234567890, "s": "' + "y" * 100 + '"}').encode()
    bad = [doc[:-1], doc.replace(b"null", b"nul"), b'[{"a": "\\uD800"}]', b'{"\xff": 1}',
           b"[" * 600, b"[" * 513 + b"]" * 513,
           b'[{"a": [1], "b": 2}, {"a": [3], "b": x}]', b'[{"a": 1, "b": 2}, {"a": 3, "c"}]']

    def once():
        parse(doc)
        for b in bad:
            try:
                parse(b)
            except ValueError:
                pass

    assert_no_leak(once, rounds=1000, warmup=200)
