"""Spans: where each key and value was written.  The proof runs through the
public API over every real file, generated documents and a fuzzing run
(fuzz/spans_check.py holds the properties); the rest checks what the API
promises beside them."""

from __future__ import annotations

import io
import pickle
import random
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quorvane
from quorvane import Span, ValidationError, load_with_spans, loads_with_spans
from quorvane._formats import format_for_path

import spans_check
from _util import DATA, ROOT
from test_real_files import real_name

# The real files of each format, read as the command line would read them
# (the JSON folders by the dialect they hold).
FOLDERS = {"toml": None, "ini": None, "json": "json", "json-config": "json",
           "jsonc": "jsonc", "json5": "json5"}
REAL = sorted((p, fmt) for folder, fmt in FOLDERS.items()
              for p in (DATA / "bench" / folder).glob("*"))


def options_of(path, fmt):
    return (fmt, {}) if fmt else format_for_path(real_name(path))


@pytest.mark.skipif(not REAL, reason="data not available")
@pytest.mark.parametrize("path,folder_fmt", REAL, ids=lambda p: getattr(p, "name", ""))
def test_every_real_file(path, folder_fmt):
    fmt, options = options_of(path, folder_fmt)
    assert spans_check.check(fmt, path.read_bytes(), **options)


# Generated documents: non-ASCII text, CRLF, byte-order marks, the shapes a
# header and dotted keys make, repeated keys and the default section.
GENERATED = {
    "toml": [
        "# caf\u00e9\n[a.b.c]\nx = '\u65e5\u672c'\n[a]\ny = 1\n[[p]]\nn = \"\U0001f600\"\n"
        "[[p]]\n\"k\u00e9\".'q'.r = [1, {z = 2.5}, [\"\u00e9\"]]\n",
        "a = 1\r\nb = \"\"\"\r\nline\r\n\"\"\"\r\n[t]\r\nc = 2024-01-01T00:00:00Z\r\n",
        "\ufeffk = true\nd = {e.f = 'g', h = []}\n",
        "x.y = 1\nx.z = 2\n[u.v]\n[u]\nw = 3\n",
        "[[a.b]]\nx = 1\n[a]\ny = 2\n",
    ],
    "ini": [
        "[DEFAULT]\nshared = \u00e9t\u00e9\n[s\u00e9]\nk = v\n  more \u65e5\n\n  end\nother: 1 \n",
        "[a]\r\nb = c\r\n  d\r\n[e]\r\nshared = 1\r\n",
        "\ufeff[x]\nk = 1\nk2=\n",
    ],
    "json": ['{"a": [1, 2.5, "\u00e9\U0001f600"], "b": {"c": null, "d": true}}',
             '\ufeff[{"x": "y"}, [], {}]', '{"a": 1,\r\n "a": [2, 3]}', '"\u65e5"', ' 7 '],
    "jsonc": ['// c\u00e9\n{"a": [1, 2,], /* x */ "b": "\u00e9"}\n'],
    "json5": ["{a: 0x1F, 'b\u00e9': [.5, +1, Infinity,], c: 'it\\'s'}"],
}
CASES = [(fmt, doc) for fmt, docs in GENERATED.items() for doc in docs]


@pytest.mark.parametrize("fmt,doc", CASES)
@pytest.mark.parametrize("wrap", [str, lambda s: s.encode("utf-8")], ids=["str", "bytes"])
def test_generated(fmt, doc, wrap):
    assert spans_check.check(fmt, wrap(doc))


def test_wide_json_and_ini_count_characters():
    doc = "[s\u00e9]\nk = v\u00e9\n"
    for data in (doc.encode("utf-16"), b"\xef\xbb\xbf" + doc.encode()):
        assert spans_check.check("ini", data)
        got = loads_with_spans(data, "ini")
        assert got.text == "\ufeff" + doc
        assert got.span(("s\u00e9", "k")) == Span(2, 5, 2, 7, 10, 12)
    for codec in ("utf-32-le", "utf-16-be"):  # without a mark, as json reads them
        assert spans_check.check("json", '["\u00e9"]'.encode(codec))


# What a span covers, on one document of each format: (path, value text,
# key text).
COVERS = {
    "toml": ("[a.b]\nx = \"\u00e9\" # c\n[[t]]\n[[t]]\ny.z = [1, { w = 2 }]\n", [
        (("a",), "a", "a"), (("a", "b"), "[a.b]", "b"), (("a", "b", "x"), '"\u00e9"', "x"),
        (("t",), "[[t]]", "t"), (("t", 1), "[[t]]", None), (("t", 1, "y"), "y", "y"),
        (("t", 1, "y", "z"), "[1, { w = 2 }]", "z"), (("t", 1, "y", "z", 1, "w"), "2", "w")]),
    "ini": ("[s]\nk = a\n   b  \n\nj:x ; not a comment\n", [
        (("s",), "[s]", "s"), (("s", "k"), "a\n   b", "k"), (("s", "j"), "x ; not a comment", "j")]),
    "json": ('{"a": [1, {"b": null}]}', [
        ((), '{"a": [1, {"b": null}]}', None), (("a",), '[1, {"b": null}]', '"a"'),
        (("a", 1, "b"), "null", '"b"')]),
}


@pytest.mark.parametrize("fmt", sorted(COVERS))
def test_what_a_span_covers(fmt):
    text, expected = COVERS[fmt]
    doc = loads_with_spans(text, fmt)
    got = []
    for path, _, _ in expected:
        key = doc.key_span(path)
        got.append((path, doc.text[doc.span(path).offset:doc.span(path).end_offset],
                    None if key is None else doc.text[key.offset:key.end_offset]))
    assert got == expected


def test_document_and_errors():
    text = "[tool.x]\nport = \"80\"\n\"\u00e9\" = [1, 2]\n"
    doc = loads_with_spans(text, "toml")
    assert doc.tree == quorvane.loads(text, "toml") and doc.format == "toml"
    assert doc.file is None and doc.text == text
    assert doc.span(("tool", "x", "\u00e9", 1)) == Span(3, 11, 3, 12, 31, 32)
    assert doc.key_span(("tool", "x", "\u00e9", 1)) is None and doc.key_span(()) is None
    err = doc.error(("tool", "x", "port"), "port must be an integer")
    assert isinstance(err, ValueError)
    assert (err.msg, err.path, err.file, err.lineno, err.colno) == (
        "port must be an integer", ("tool", "x", "port"), None, 2, 8)
    assert str(err) == "<string>:2:8: port must be an integer"
    assert err.format().splitlines() == [
        "<string>:2:8: error: port must be an integer", 'port = "80"', "       ^"]
    assert str(pickle.loads(pickle.dumps(err))) == str(err)
    key = doc.error(("tool", "x", "\u00e9"), "unknown", at="key")
    # The caret goes under the character, the column counts characters.
    assert (key.lineno, key.colno) == (3, 1)
    assert doc.error(("tool", "x", "\u00e9", 0), "m", at="key").colno == 8
    for missing in [("tool", "y"), ("tool", "x", "port", 0), ("tool", "x", "\u00e9", 2), (0,)]:
        with pytest.raises(KeyError) as info:
            doc.span(missing)
        assert info.value.args == (missing,)
    with pytest.raises(ValueError):
        doc.error((), "m", at="nowhere")  # type: ignore[arg-type]
    assert "Span(2:8-2:12" in repr(doc.span(("tool", "x", "port")))


def test_load_with_spans_chooses_as_load(tmp_path):
    path = tmp_path / "app.desktop"  # keys keep their case
    path.write_bytes(b"[Desktop Entry]\nName = x\n")
    doc = load_with_spans(path)
    assert doc.tree == quorvane.load(path) and doc.file == str(path)
    assert doc.format == "ini" and doc.span(("Desktop Entry", "Name")).colno == 8
    err = doc.error(("Desktop Entry", "Name"), "bad")
    assert str(err) == f"{path}:2:8: bad" and err.file == str(path)
    with open(path, "rb") as f:
        assert load_with_spans(f).tree == doc.tree
    assert load_with_spans(io.BytesIO(b"a = 1\n"), "toml").span(("a",)).offset == 4
    with pytest.raises(ValueError, match="format= is required"):
        load_with_spans(io.BytesIO(b""))


@pytest.mark.parametrize("fmt,text", [
    ("toml", "a = 1\na = 2\n"), ("json", '{"a": }'), ("ini", "[s]\nnovalue\n"),
    ("json", '"\ud800"'), ("toml", b"a = '\xff'"), ("jsonc", "[1,,]"),
])
def test_failures_are_those_of_loads(fmt, text):
    with pytest.raises(quorvane.ParseError) as plain:
        quorvane.loads(text, fmt)
    with pytest.raises(quorvane.ParseError) as spanned:
        loads_with_spans(text, fmt)
    assert str(spanned.value) == str(plain.value)
    assert (spanned.value.lineno, spanned.value.colno) == (plain.value.lineno, plain.value.colno)


def test_formats_without_spans_and_bad_calls():
    for fmt in ("toml-dialect", "ini-dialect"):
        with pytest.raises(ValueError, match="has no spans"):
            loads_with_spans("", fmt)
    with pytest.raises(ValueError, match="unknown format"):
        loads_with_spans("", "yaml")  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        loads_with_spans("", "toml", strict=False)
    with pytest.raises(TypeError):
        loads_with_spans(5, "toml")  # type: ignore[arg-type]
    assert loads_with_spans("[s]\nk = 1\nk = 2\n", "ini", strict=False).span(("s", "k")).lineno == 3


def test_json_spans_reader_reads_as_the_core_reader():
    # "json" takes its spans from the companion module's reader: it must
    # read every document of the conformance suite as loads does.
    from checks import same
    folder = DATA / "conformance" / "json" / "test_parsing"
    if not folder.is_dir():
        pytest.skip("data not available")
    for path in sorted(folder.glob("*.json")):
        data = path.read_bytes()
        try:
            expected = quorvane.loads(data, "json")
        except (ValueError, RecursionError) as exc:
            with pytest.raises(type(exc)):
                loads_with_spans(data, "json")
            continue
        # By repr, which tells ints, floats and -0.0 apart as the trees
        # must, and reads the suite's deepest arrays within 3.12's limit.
        assert repr(loads_with_spans(data, "json").tree) == repr(expected), path.name


# Generated trees, written by the writers and read back with spans.
KEYS = st.text(st.characters(codec="utf-8", exclude_characters="\r"), min_size=1, max_size=6)
SCALARS = st.one_of(st.integers(-2**63, 2**63 - 1), st.booleans(), st.text(max_size=8),
                    st.floats(allow_nan=False))
TREES = st.dictionaries(KEYS, st.recursive(
    SCALARS, lambda inner: st.lists(inner, max_size=3) | st.dictionaries(KEYS, inner, max_size=3),
    max_leaves=8), max_size=4)
INI = st.dictionaries(st.text("abc\u00e9 ", min_size=1, max_size=4).map(str.strip).filter(bool),
                      st.dictionaries(st.text("xyz", min_size=1, max_size=3),
                                      st.text("v\u00e9 \n=", max_size=6).map(str.strip)),
                      max_size=3)


@settings(max_examples=60, deadline=None, suppress_health_check=list(HealthCheck))
@given(tree=TREES, fmt=st.sampled_from(["toml", "json", "json5"]), crlf=st.booleans())
def test_written_trees(tree, fmt, crlf):
    text = quorvane.dumps(tree, "json" if fmt == "json5" else fmt)
    if crlf:
        text = text.replace("\n", "\r\n") if fmt != "toml" or '"""' not in text else text
    spans_check.check(fmt, text)


@settings(max_examples=40, deadline=None, suppress_health_check=list(HealthCheck))
@given(tree=INI)
def test_written_ini(tree):
    spans_check.check("ini", quorvane.dumps(tree, "ini"))


@pytest.mark.parametrize("fmt", sorted(spans_check.SEEDS))
def test_fuzzed_documents(fmt):
    runs, parsed = spans_check.fuzz(fmt, random.Random(fmt), limit=150)
    assert runs == 150 and parsed > 0


def test_examples_validate_config():
    import subprocess
    proc = subprocess.run([sys.executable, str(ROOT / "examples" / "validate_config.py"),
                           str(ROOT / "examples" / "bad_pyproject.toml")],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 1 and proc.stdout == ""
    lines = proc.stderr.splitlines()
    assert lines and all(line.startswith(str(ROOT / "examples" / "bad_pyproject.toml"))
                         for line in lines if ": error: " in line)
