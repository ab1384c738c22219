"""The JSON family: quorvane.json against json, JSONC and JSON5 against the
json5 package, on conformance data, real files and mutated documents."""

from __future__ import annotations

import decimal
import io
import json
import pickle
import random
import sys
from collections import OrderedDict

import pytest
from _util import data_path

import quorvane
import quorvane.json as qjson
from checks import (JSON5_FLAGS, JSONC_FLAGS, json5_canon, json_family_check, json_outcome,
                    same, same_outcome)
from quorvane import _std
from test_json import OBJECTS_ALIKE, _dicts_alike

json5 = pytest.importorskip("json5")


def _files(*parts: str, suffixes: tuple[str, ...] = (".json", ".json5", ".jsonc", ".js",
                                                    ".txt")) -> list:
    try:
        folder = data_path(*parts)
    except pytest.skip.Exception:
        return [pytest.param(None, marks=pytest.mark.skip(reason="data not available"))]
    return [pytest.param(p, id=str(p.relative_to(folder))) for p in sorted(folder.rglob("*"))
            if p.is_file() and p.suffix in suffixes]


# ---------------------------------------------------------------------------
# quorvane.json is json: same trees, same errors, same places.

def _mutants(seed_docs: list[bytes], count: int) -> list[bytes]:
    """Documents a few edits away from real ones: where readers go wrong."""
    rng = random.Random(17)
    tokens = [b"", b",", b"]", b"}", b"[", b"{", b'"', b"\\", b"\\u", b"\\ud800", b":", b" ",
              b"-", b".", b"e", b"0", b"NaN", b"-Infinity", b"\x01", b"\xc3", b"\xe9", b"tru",
              b"\t", b"\n", b"\xef\xbb\xbf", b"/", b"'"]
    out = []
    for _ in range(count):
        doc = bytearray(rng.choice(seed_docs)[:600])
        for _ in range(rng.randint(1, 3)):
            at = rng.randint(0, len(doc))
            if rng.random() < 0.4:
                del doc[at:at + rng.randint(1, 4)]
            else:
                doc[at:at] = rng.choice(tokens)
        out.append(bytes(doc))
    return out


def _suite_docs() -> list[bytes]:
    folder = data_path("conformance", "json", "test_parsing")
    return [p.read_bytes() for p in sorted(folder.iterdir())]


@pytest.mark.parametrize("path", _files("conformance", "json", "test_parsing"))
def test_json_test_suite_reads_as_json_does(path):
    data = path.read_bytes()
    json_family_check(data)  # bytes and str, and the dialects against json5


def test_mutated_documents_read_as_json_does():
    seeds = _suite_docs() + [p.read_bytes() for p in
                             sorted(data_path("bench", "json-config").iterdir())]
    for doc in _mutants(seeds, 3000):
        for form in (doc, doc.decode("utf-8", "replace")):
            ours, theirs = json_outcome(qjson.loads, form), json_outcome(json.loads, form)
            assert same_outcome(ours, theirs), (form, ours, theirs)


@pytest.mark.parametrize("name", ["twitter.json", "citm_catalog.json", "canada.json"])
def test_bench_documents(name):
    data = data_path("bench", "json", name).read_bytes()
    assert same(qjson.loads(data), json.loads(data))
    assert same(qjson.loads(data.decode()), json.loads(data.decode()))


DOCS = ['{"a": [1, 2.5, -0.0, 1e400, "x"], "b": {"c": null}, "a": true}', '[NaN, -Infinity]',
        '{"k": {"k": {"k": 12345678901234567890}}}', '"\\ud800\\udc00\\udc00"', '[]', '{}',
        '1.5e-7', '-12', '{"z": 1, "y": [{"x": 0.1}]}']

HOOKS = [
    {},
    {"object_hook": lambda d: sorted(d.items())},
    {"object_pairs_hook": OrderedDict},
    {"object_pairs_hook": list, "object_hook": dict},
    {"parse_float": decimal.Decimal},
    {"parse_int": float, "parse_float": str},
    {"parse_constant": lambda name: f"<{name}>"},
    {"parse_float": float, "parse_int": int},
    {"strict": False},
    {"cls": json.JSONDecoder},
]


@pytest.mark.parametrize("options", HOOKS, ids=lambda o: ",".join(o) or "none")
@pytest.mark.parametrize("doc", DOCS)
def test_hooks_are_called_as_json_calls_them(doc, options):
    assert same_outcome(json_outcome(qjson.loads, doc, **options),
                        json_outcome(json.loads, doc, **options))


def test_hook_errors_and_other_decoders_pass_through():
    def boom(_):
        raise ValueError("from the hook", 3)

    for options in ({"object_hook": boom}, {"parse_float": boom}, {"parse_int": boom}):
        with pytest.raises(ValueError) as info:
            qjson.loads('{"a": [1, 1.5]}', **options)
        assert info.value.args == ("from the hook", 3)

    class Upper(json.JSONDecoder):
        def decode(self, s):
            return s.upper()

    assert qjson.loads('"x"', cls=Upper) == '"X"'
    with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
        qjson.loads("1", bogus=1)


@pytest.mark.parametrize("doc", [b"\xef\xbb\xbf[1]", "\ufeff[1]", '[1]'.encode("utf-16"),
                                 '{"\u00e9": 1}'.encode("utf-32-be"), b'"\xed\xa0\x80"',
                                 b'["\xff"]', b"[1, \xff]", bytearray(b"[2]"), b'"\xe9"',
                                 "[\"\ud800\"]", 1, None, memoryview(b"1")])
def test_inputs_decode_as_json_decodes_them(doc):
    assert same_outcome(json_outcome(qjson.loads, doc), json_outcome(json.loads, doc))


def test_load_reads_text_and_binary_files():
    assert qjson.load(io.StringIO('{"a": NaN}'))["a"] != 0
    assert qjson.load(io.BytesIO(b'[1]'), parse_int=str) == ["1"]


def test_error_is_json_s_and_quorvane_s():
    with pytest.raises(json.JSONDecodeError) as info:
        qjson.loads('{"a":\n  [1,]}')
    err = info.value
    assert isinstance(err, quorvane.ParseError) and isinstance(err, qjson.JSONDecodeError)
    assert (err.msg, err.pos, err.lineno, err.colno) == (
        "Illegal trailing comma before end of array", 10, 2, 5)
    assert str(err) == "Illegal trailing comma before end of array: line 2 column 5 (char 10)"
    again = pickle.loads(pickle.dumps(err))
    assert type(again) is qjson.JSONDecodeError and str(again) == str(err)
    assert again.pos == 10 and err.path is None


def test_public_names_are_json_s():
    assert set(json.__all__) <= set(dir(qjson))
    assert qjson.dumps({"a": [1.5]}) == json.dumps({"a": [1.5]})


@pytest.mark.parametrize("opener", ["[", '{"a":'])
def test_nesting_ends_where_json_s_does(opener):
    def deepest(loads):
        lo, hi = 1, 30000
        while lo < hi:
            mid = (lo + hi + 1) // 2
            try:
                loads(opener * mid + "1" + ("]" if opener == "[" else "}") * mid)
                lo = mid
            except RecursionError:
                hi = mid - 1
        return lo

    assert deepest(qjson.loads) == deepest(json.loads)


def _number_tokens() -> list[str]:
    """Numbers in every shape the word reader takes or hands on, and near
    misses of them (hex, leading and trailing points, signs, long runs)."""
    rng = random.Random(21)
    fixed = ["0", "-0", "0.0", "-0.0", "7", "-7", "12", "123", "1234567890", "0x1F", "-0x10",
             "0X0", "+5", "+0.5", ".5", "-.5", "5.", "-5.", "1.5.", "01", "-01", "00", "1e5",
             "1.5e-3", "1.5E+300", "1.e5", "1.5e", "9" * 18, "9" * 19, "-" + "9" * 19,
             "9" * 20, "1." + "9" * 15, "1." + "9" * 16, "123." + "4" * 16, "0." + "0" * 14 + "1",
             "18446744073709551615", "-9223372036854775808", "4.9406564584124654e-324",
             "2.2250738585072011e-308", "1.7976931348623157", "0.1", "-", "-x", "1x", "12abc",
             "Infinity", "-Infinity", "NaN", "+Infinity"]
    random_ones = []
    for _ in range(400):
        whole = str(rng.randint(0, 10 ** rng.randint(1, 19)))
        frac = "".join(rng.choice("0123456789") for _ in range(rng.randint(0, 17)))
        sign = rng.choice(["", "-"])
        random_ones.append(sign + whole + ("." + frac if frac else ""))
    return fixed + random_ones


def test_numbers_read_in_words_are_the_scan_s():
    # Padding after the number lets the word reader see it; without, the
    # full scan reads it: both must give the same value or error, and the
    # json face json's own.
    pad = " " * 48
    for token in _number_tokens():
        for doc in (f"[{token}]", f"[{token}]{pad}", f"{token}{pad}"):
            assert same_outcome(json_outcome(qjson.loads, doc), json_outcome(json.loads, doc)), doc
        for flags in (JSONC_FLAGS, JSON5_FLAGS):
            short, padded = (json_outcome(lambda d: _std.parse_json(d, flags), d)
                             for d in (f"[{token}]", f"[{token}]{pad}"))
            assert same_outcome(short, padded), (token, flags, short, padded)


def test_integer_digit_limit_is_json_s():
    big = "9" * 5000
    assert json_outcome(qjson.loads, big) == json_outcome(json.loads, big)
    assert json_outcome(qjson.loads, "[" + big + "]") == json_outcome(json.loads, "[" + big + "]")


# ---------------------------------------------------------------------------
# JSONC and JSON5 against the json5 package.

@pytest.mark.parametrize("path", _files("conformance", "json5-tests"))
def test_json5_conformance(path):
    text = path.read_text(encoding="utf-8")
    if path.suffix in (".json", ".json5"):
        assert same(json5_canon(_std.parse_json(text, JSON5_FLAGS)), json5_canon(json5.loads(text)))
    else:
        with pytest.raises(ValueError):
            _std.parse_json(text, JSON5_FLAGS)


def test_names_end_where_json5_s_do():
    # Every ASCII character after names of lengths around the reader's
    # sixteen-byte steps, and the same names near the document's end.
    for n in (1, 7, 14, 15, 16, 17, 31, 32):
        for c in map(chr, range(32, 127)):
            for doc in ("{" + "k" * n + c + "z: 1}" + " " * 40, "{" + "k" * n + c + "z: 1}"):
                try:
                    expected = ("ok", json5.loads(doc))
                except ValueError:
                    expected = ("error",)
                try:
                    ours = ("ok", _std.parse_json(doc, JSON5_FLAGS))
                except ValueError:
                    ours = ("error",)
                assert ours == expected, doc


@pytest.mark.parametrize("path", _files("bench", "jsonc") + _files("bench", "json5")
                         + _files("bench", "json-config"))
def test_real_files_read_to_json5_s_tree(path):
    text = path.read_text(encoding="utf-8")
    expected = json5_canon(json5.loads(text))
    assert same(_std.parse_json(text, JSON5_FLAGS), expected)
    if path.suffix != ".json5":
        assert same(_std.parse_json(text, JSONC_FLAGS), expected)


# (document, JSONC error or None when read, JSON5 error or None); an error
# is (message, byte offset).
DIALECTS = [
    ('{"a": 1, /* x */ "b": [2,], // y\n}', None, None),
    ("[1, /* never closed ]", ("unterminated comment", 4), ("unterminated comment", 4)),
    ("{a: 1}", ("expected string key in object", 1), None),
    ("['x']", ("expected a value", 1), None),
    ("[NaN, +1, .5, 0x1F, 5.]", ("expected a value", 1), None),
    ('["\\ud800"]', ("unpaired surrogate in \\u escape", 2), None),
    ("[1,,]", ("expected a value", 3), ("expected a value", 3)),
    ("[,]", ("expected a value", 1), ("expected a value", 1)),
    ('{"a" 1}', ("expected ':' after object key", 5), ("expected ':' after object key", 5)),
    ('"abc', ("unterminated string", 0), ("unterminated string", 0)),
    ("[1", ("unexpected end of input", 2), ("unexpected end of input", 2)),
    ("1 2", ("trailing characters after the value", 2), ("trailing characters after the value", 2)),
    ("'a\\1'", ("expected a value", 0), ("invalid escape character", 2)),
    ('"a\nb"', ("unescaped control character in string", 2),
     ("unescaped control character in string", 2)),
    ("{\\u0031a: 1}", ("expected string key in object", 1), ("invalid character in key", 1)),
    ("0x", ("trailing characters after the value", 1), ("invalid number", 0)),
    ("[" * 513 + "]" * 513, ("max depth exceeded", 512), ("max depth exceeded", 512)),
    ("9" * 5000, ("invalid number", 0), ("invalid number", 0)),
    ("\u00a0\u20281\ufeff // \u2028", ("expected a value", 0), None),
    # Indentation, then a comment or JSON5's other white space.
    ("[1,\n  // c\n  2\n\t/* d */]", None, None),
    ("[1,\n   \u00a0 2]", ("expected a value", 7), None),
    ('{\n  \x0b"a": 1}', ("expected string key in object", 4), None),
    ("[1 \n  /* open", ("unterminated comment", 6), ("unterminated comment", 6)),
    ("\n\n  \u2028 // x\n 7 \n  ", ("expected a value", 4), None),
]


@pytest.mark.parametrize("doc,jsonc,json5_error", DIALECTS)
def test_dialect_errors(doc, jsonc, json5_error):
    for flags, expected in ((JSONC_FLAGS, jsonc), (JSON5_FLAGS, json5_error)):
        try:
            tree = _std.parse_json(doc, flags)
        except ValueError as exc:
            assert exc.args == expected, flags
        else:
            assert expected is None, flags
            assert same(json5_canon(tree), json5_canon(json5.loads(doc)))


def test_dialects_read_json_as_json_does():
    data = data_path("bench", "json", "twitter.json").read_bytes()
    for flags in (0, JSONC_FLAGS, JSON5_FLAGS):
        assert same(_std.parse_json(data, flags), json.loads(data))


@pytest.mark.parametrize("name,fmt", [
    ("tsconfig.json", "jsonc"), ("tsconfig.build.json", "jsonc"), ("jsconfig.json", "jsonc"),
    (".vscode/launch.json", "jsonc"), ("devcontainer.json", "jsonc"),
    (".devcontainer.json", "jsonc"), ("app.code-workspace", "jsonc"), ("biome.jsonc", "jsonc"),
    ("renovate.json5", "json5"), ("package.json", "json")])
def test_formats_by_name_and_errors_with_lines(tmp_path, name, fmt):
    path = tmp_path / name
    path.parent.mkdir(exist_ok=True)
    body = {"jsonc": '{"a": [1,], // c\n}', "json5": "{a: 'x',}", "json": '{"a": 1}'}[fmt]
    path.write_text(body)
    assert quorvane.load(path) == quorvane.loads(body, fmt)
    with pytest.raises(quorvane.ParseError) as info:
        quorvane.loads(body[:-1] + "\n  !", fmt)
    assert info.value.lineno >= 2 and info.value.colno == 3


# A line comment of each length up to a few blocks of the wide scan, ended
# by each line end: the reading resumes right after it (the "!" there is
# the error, at its own offset), never before and never past it.
@pytest.mark.parametrize("end,flags", [("\n", JSONC_FLAGS), ("\r", JSONC_FLAGS),
                                       ("\r\n", JSONC_FLAGS), ("\n", JSON5_FLAGS),
                                       ("\r", JSON5_FLAGS), ("\u2028", JSON5_FLAGS),
                                       ("\u2029", JSON5_FLAGS)])
def test_line_comment_ends_where_its_line_does(end, flags):
    for n in range(0, 100):
        # "\u20ac" shares its first byte with the JSON5 line ends.
        body = ("ab\u20ac" * 40)[:n]
        doc = "[1, // " + body + end + "!]"
        with pytest.raises(ValueError) as info:
            _std.parse_json(doc, flags)
        assert info.value.args == ("expected a value", len(doc.encode()) - 2), (n, end)
        assert _std.parse_json(doc.replace("!", "2"), flags) == [1, 2]


# ---------------------------------------------------------------------------
# Objects made as copies of earlier ones' tables (qv::DictShapes) are the
# dicts inserting builds: the object_hook reading inserts every member.

# JSON5 writes a key three ways; only a double-quoted one is matched by its
# bytes, the others (and escapes that spell a shape's key) are read as keys.
JSON5_OBJECTS_ALIKE = [
    """[{"ab": 1, cd: 2}, {ab: 3, 'cd': 4}, {'ab': 5, "cd": 6}, {ab: 7, cd: 8, ab: 9}]""",
    """[{"ab": 1, "cd": 2}, {"ab": 1, 'cd"': 2}, {"ab": 1, cde: 2}, {"ab": 1, c: 2},"""
    """ {ab: 1, 'cd': 2,}, {"ab": 1, "cd": 2}]""",
    """[{a: 1, "b\\u0063": 2}, {a: 1, bc: 2}, {a: 1, 'b\\c': 2}, {a: 1, \\u0062c: 2},"""
    """ {a: 1, "bc" /* c */ : 2}, {a: 1, "bc"\n:2}]""",
]


def _cuts(text: str) -> list[str]:
    # Documents cut short and with a byte changed, at up to 40 places.
    step = max(1, len(text) // 40)
    return [text[:i] for i in range(0, len(text), step)] + [
        text[:i] + c + text[i + 1:] for i in range(0, len(text), step) for c in ("}", ",")]


@pytest.mark.parametrize("flags", [JSONC_FLAGS, JSON5_FLAGS], ids=["jsonc", "json5"])
@pytest.mark.parametrize("text", OBJECTS_ALIKE + JSON5_OBJECTS_ALIKE)
def test_objects_alike_as_inserting_builds_them(text, flags):
    if flags != JSON5_FLAGS and text in JSON5_OBJECTS_ALIKE:
        pytest.skip("JSON5 keys")

    def inserting(doc):
        return _std.parse_json(doc, flags, None, lambda d: d)

    _dicts_alike(_std.parse_json(text, flags), inserting(text))
    for doc in _cuts(text):
        ours, theirs = (json_outcome(r, doc) for r in (lambda d: _std.parse_json(d, flags),
                                                         inserting))
        assert same_outcome(ours, theirs), doc
    # Against the running json on 3.13 only, as conftest.py's comparisons:
    # the json of 3.11 and 3.12 words a trailing comma's error otherwise.
    if text in OBJECTS_ALIKE and sys.version_info >= (3, 13):
        _dicts_alike(qjson.loads(text), json.loads(text))
        for doc in _cuts(text):
            assert same_outcome(json_outcome(qjson.loads, doc), json_outcome(json.loads, doc))
