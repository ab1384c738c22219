"""Hostile inputs, reference leaks and the fuzzers' invariants."""

from __future__ import annotations

import gc
import sys

import pytest

import _quorvane
import quorvane.toml
import quorvane.toml as qtoml
from _util import (DATA, MAX_DEPTH, assert_no_leak, check_nesting_limit, in_thread,
                   nesting_depth, position_error)

import checks
import seeds

PARSE = {"json": _quorvane.parse_json, "toml": _quorvane.parse_toml,
         "ini": _quorvane.parse_ini,
         "toml-std": lambda doc: checks.PARSERS["toml-std"](doc if isinstance(doc, bytes)
                                                           else doc.encode())}
MILLION = 1_000_000


# ---------------------------------------------------------------------------
# Deep nesting ends in a clean error at the 513th level, never in a crash:
# every reader's limit, by the one check.

def dialect_refusal(parse):
    def refused_at(text, index):
        assert position_error(parse, text) == (1, index + 1, "max depth exceeded")
    return parse, refused_at


def standard_refusal(version):
    def parse(text):
        return qtoml.loads(text, toml_version=version)

    def refused_at(text, index):
        with pytest.raises(qtoml.TOMLDecodeError) as info:
            parse(text)
        assert (info.value.msg, info.value.pos) == (
            "arrays and inline tables nest deeper than 512 levels", index)
    return parse, refused_at


READERS = {"json": dialect_refusal(_quorvane.parse_json),
           "toml": dialect_refusal(_quorvane.parse_toml),
           "toml-std 1.0": standard_refusal("1.0"), "toml-std 1.1": standard_refusal("1.1")}


@pytest.mark.parametrize("reader, prefix, opener, empty, closer", [
    ("json", "", "[", "[]", "]"), ("json", "", '{"a":', "{}", "}"),
    ("toml", "a = ", "[", "[]", "]"), ("toml", "a = ", "{b = ", "{}", "}"),
    ("toml-std 1.0", "a = ", "[", "[]", "]"), ("toml-std 1.0", "a = ", "{b = ", "{}", "}"),
    ("toml-std 1.1", "a = ", "[", "[]", "]"), ("toml-std 1.1", "a = ", "{b = ", "{}", "}"),
])
def test_nesting_limit(reader, prefix, opener, empty, closer):
    parse, refused_at = READERS[reader]
    tree = check_nesting_limit(parse, prefix, opener, empty, closer, refused_at)
    # The document's own table counts as a level of TOML trees.
    assert nesting_depth(tree) == MAX_DEPTH + (1 if prefix else 0)


def _std_toml(text):
    return quorvane.toml.loads(text)


# A thread's small stack ends the nesting before 512 levels with each
# reader's own depth error instead of a crash (where a reader's frames are
# small, all 511 levels may still fit); shallow documents still read.
@pytest.mark.parametrize("stack_kib", [64, 128, 256])
@pytest.mark.parametrize("fmt, opener, closer, prefix", [
    ("json", "[", "]", ""),
    ("json", '{"a":', "}", ""),
    ("toml", "[", "]", "a = "),
    ("toml", "{b = ", "}", "a = "),
    ("toml-std", "[", "]", "a = "),
    ("toml-std", "{b = ", "}", "a = "),
])
def test_small_thread_stack_ends_nesting_cleanly(stack_kib, fmt, opener, closer, prefix):
    parse = _std_toml if fmt == "toml-std" else PARSE[fmt]
    deep = prefix + opener * 511 + "1" + closer * 511
    err = in_thread(stack_kib, lambda: parse(deep))
    if not isinstance(err, BaseException):
        assert isinstance(err, (dict, list))
    elif fmt == "toml-std":
        assert isinstance(err, quorvane.toml.TOMLDecodeError)
        assert err.msg == "arrays and inline tables nest deeper than 512 levels"
    else:
        assert isinstance(err, ValueError)
        assert str(err).endswith("max depth exceeded")
    if stack_kib < 128:
        return  # half of such a stack is the guard's margin
    shallow = prefix + opener * 20 + "1" + closer * 20
    assert not isinstance(in_thread(stack_kib, lambda: parse(shallow)), BaseException)


# ---------------------------------------------------------------------------
# Big documents of many small parts.

def test_toml_hundred_thousand_array_tables():
    n = 100_000
    text = "".join(f'[[package]]\nname = "p{i}"\nversion = "1.{i}"\n' for i in range(n))
    tree = _quorvane.parse_toml(text)
    assert len(tree["package"]) == n
    assert tree["package"][-1] == {"name": f"p{n - 1}", "version": f"1.{n - 1}"}


# The hash tables behind the key cache and both readers' table models grow
# many times here: what was recorded first must still be found after.
@pytest.mark.parametrize("tail, message", [
    ("[t0.s]\n", "table defined twice"),
    ("[t0]\ns.k0_0 = 1\n", "cannot add keys to a table defined elsewhere"),
    ("[t0.s]\nk0_0 = 1\n", "table defined twice"),
])
def test_toml_first_definitions_found_after_the_tables_grew(tail, message):
    body = "".join(f"[t{t}.s]\n" + "".join(f"k{t}_{k} = {k}\n" for k in range((t % 7 + 1) * 30))
                   for t in range(400))
    tree = qtoml.loads(body)
    assert _quorvane.parse_toml(body) == tree
    assert len(tree) == 400 and tree["t399"]["s"]["k399_0"] == 0
    with pytest.raises(ValueError):
        _quorvane.parse_toml(body + tail)
    with pytest.raises(qtoml.TOMLDecodeError, match=message):
        qtoml.loads(body + tail)


def test_json_object_with_a_million_keys():
    text = "{" + ",".join(f'"k{i}":{i}' for i in range(MILLION)) + "}"
    tree = _quorvane.parse_json(text)
    assert len(tree) == MILLION and tree["k999999"] == 999999


def test_ten_megabyte_string_of_escapes():
    unit = '\\n\\u00e9\\"\\uD83D\\uDE00'  # 22 bytes, 4 characters
    n = 10 * 2**20 // len(unit)
    body = unit * n
    s = _quorvane.parse_json('"' + body + '"')
    assert s == '\n\u00e9"\U0001F600' * n
    t = _quorvane.parse_toml('a = "' + body.replace("\\uD83D\\uDE00", "\\U0001F600") + '"')
    assert t["a"] == s


def test_ini_long_lines_and_many_sections():
    text = "[s]\nk = " + "v" * (8 * 2**20) + "\n" + "".join(f"[t{i}]\n" for i in range(200_000))
    tree = _quorvane.parse_ini(text)
    assert len(tree["s"]["k"]) == 8 * 2**20 and len(tree) == 200_001


# ---------------------------------------------------------------------------
# Every byte value in every kind of place: a tree or a position error that
# points inside the document, and for JSON the same answer as json.loads.

TEMPLATES = {
    "json": ['{X}', '[1X]', '"aXb"', '{"kX": 1}', '[1X2]', '-X', '1.X', '1eX',
             'tXue', 'X', '[true, X]', '"\\X"', '"\\uX000"'],
    "toml": ['X = 1', 'a = X', 'a = "X"', "a = 'X'", 'a = """X"""', "a = '''X'''",
             '[X]', '[[aX]]', 'a = 1X', 'a = [1, X]', 'a = {b = X}', '# X\na = 1',
             'a = 0xX', 'a = 1.X', 'a = "\\X"', 'a.X = 1', '"aXb" = 1', 'a = 1979-05-27X'],
    "ini": ['X', 'k = X', 'kX = v', '[sX]', '[s]X', 'X[s]', 'k X= v', '; X', 'k = "X"'],
    # judged against configparser itself under each option set
    "configparser": ['X', '[s]\nk = X', '[s]\nkX= v', '[sX]\nk=v', '[s]\nk = v\nXw',
                     '[s]\nk = vX; c', 'X[s]\nk\n  v'],
}
# Standard TOML, against tomllib and tomli: the dialect's places, and the
# date-times, tables and inline tables the dialect reads differently.
TEMPLATES["toml-std"] = TEMPLATES["toml"] + [
    'a = 1979-05-27TX', 'a = 07:3X', 'a = 1979-05-27 07:32:00X', 'a = {X}', 'a = {b = 1X}',
    '[[a]]\n[a.X]', 'a = """\\X"""', 'a = "\\xX0"']


@pytest.mark.parametrize("fmt", sorted(TEMPLATES))
def test_every_byte_in_every_place(fmt):
    for template in TEMPLATES[fmt]:
        before, after = (part.encode() for part in template.split("X"))
        for b in range(256):
            for middle in (bytes([b]), bytes([b, b]), bytes([b]) + b"\n"):
                checks.check(fmt, before + middle + after)


# Running out of memory while a long integer is converted is a MemoryError,
# never a document error: each allocation of the parse fails in turn.
@pytest.mark.parametrize("fmt, doc", [
    ("json", "1" * 30), ("json", "[-" + "1" * 30 + "]"), ("json", '{"a": ' + "9" * 40 + "}"),
    ("toml", "a = " + "1" * 30), ("toml", "a = 0x" + "f" * 30),
    ("toml-std", "a = " + "1" * 30), ("toml-std", "a = 0x" + "f" * 30),
    ("toml-std", "[[a]]\nb.c = 1979-05-27T07:32:00+01:00\nd = [{e = 1.5}]")])
def test_memory_error_in_long_integer_passes_through(fmt, doc):
    testcapi = pytest.importorskip("_testcapi")
    expected = PARSE[fmt](doc)
    for k in range(8):
        testcapi.set_nomemory(k, k + 1)
        try:
            tree = PARSE[fmt](doc)
        except MemoryError:
            continue
        finally:
            testcapi.remove_mem_hooks()
        assert tree == expected


# The fuzzers' own snippets, the ones that once made a check misjudge
# a document included, pass the checks.
@pytest.mark.parametrize("fmt", sorted(seeds.SNIPPETS))
def test_seed_snippets_pass_the_checks(fmt):
    for data in seeds.SNIPPETS[fmt]:
        checks.check(fmt, data)


# ---------------------------------------------------------------------------
# No reference leaks on success or failure paths.

def corpus(fmt: str) -> list[bytes]:
    docs = []
    bench = DATA / "bench" / fmt.split("-")[0]  # toml-std reads the TOML documents
    if bench.is_dir():
        docs += [p.read_bytes() for p in sorted(bench.iterdir())]
    conf = {"json": DATA / "conformance" / "json" / "test_parsing",
            "toml": DATA / "conformance" / "toml",
            "toml-std": DATA / "conformance" / "toml"}.get(fmt)
    suffix = ".json" if fmt == "json" else ".toml"
    if conf is not None and conf.is_dir():
        docs += [p.read_bytes() for p in sorted(conf.rglob(f"*{suffix}"))
                 if p.stat().st_size < 100_000]
    for template in TEMPLATES[fmt]:
        docs += [template.replace("X", x).encode() for x in ("", "1", "\\", "\x00", "\u00e9")]
        # Bytes that are not UTF-8: the decoding errors and their places.
        docs += [template.encode().replace(b"X", x) for x in (b"\xff", b"\xe2\x82")]
    return docs


def parse_all(parse, docs) -> tuple[int, int]:
    ok = failed = 0
    for doc in docs:
        try:
            parse(doc)
            ok += 1
        except (ValueError, MemoryError):
            failed += 1
    return ok, failed


@pytest.mark.parametrize("fmt", sorted(PARSE))
def test_no_reference_leaks(fmt):
    docs = corpus(fmt)
    parse = PARSE[fmt]
    assert parse_all(parse, docs)[1] > 0, "the corpus must exercise failure paths"
    assert_no_leak(lambda: parse_all(parse, docs), rounds=15, warmup=2)
