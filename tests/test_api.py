"""The quorvane package: loads, load, ParseError."""

from __future__ import annotations

import codecs
import io
import math
import pickle
from pathlib import Path

import pytest

import quorvane
from quorvane import ParseError
from _util import package_version

DOCS = {
    "json": ('{"server": {"port": 8080, "tags": ["a", "b"]}}',
             {"server": {"port": 8080, "tags": ["a", "b"]}}),
    "toml": ('[server]\nport = 8080\ntags = ["a", "b"]\n',
             {"server": {"port": 8080, "tags": ["a", "b"]}}),
    "ini": ("[server]\nport = 8080\n", {"server": {"port": "8080"}}),
}

# A broken document per format, with the parser's message and place.
BROKEN = {
    "json": ('{"a": 1,\n "b": }', 2, 7, "unexpected character in JSON value"),
    "toml": ("a = 1\nb = \n", 3, 1, "unexpected end of input in value"),
    "ini": ("[s]\nnovalue\n", 2, 8, "expected '=' or ':' in key-value line"),
}


def test_reexports():
    import _quorvane
    for name in ("parse_json", "parse_toml", "parse_ini", "version"):
        assert getattr(quorvane, name) is getattr(_quorvane, name)
    assert quorvane.__version__ == package_version()
    assert quorvane.version() == package_version() + "-c"
    assert issubclass(ParseError, ValueError)


@pytest.mark.parametrize("fmt", sorted(DOCS))
@pytest.mark.parametrize("wrap", [str, str.encode, lambda s: bytearray(s.encode()),
                                  lambda s: memoryview(s.encode())])
def test_loads_inputs(fmt, wrap):
    text, tree = DOCS[fmt]
    assert quorvane.loads(wrap(text), fmt) == tree


@pytest.mark.parametrize("fmt", sorted(BROKEN))
def test_parse_error_attributes(fmt):
    text, line, col, msg = BROKEN[fmt]
    with pytest.raises(ParseError) as info:
        quorvane.loads(text, fmt)
    err = info.value
    assert (err.msg, err.lineno, err.colno, err.path, err.doc) == (msg, line, col, None, text)
    assert str(err) == f"parse error at line {line}, column {col}: {msg}"
    copy = pickle.loads(pickle.dumps(err))
    assert (str(copy), copy.lineno) == (str(err), err.lineno)


@pytest.mark.parametrize("fmt", sorted(BROKEN))
def test_load_error_names_the_path(tmp_path, fmt):
    text, line, col, msg = BROKEN[fmt]
    path = tmp_path / f"broken.{fmt}"
    path.write_text(text)
    with pytest.raises(ParseError) as info:
        quorvane.load(path)
    assert info.value.path == str(path)
    assert str(info.value) == f"{path}: parse error at line {line}, column {col}: {msg}"


# The byte a reader could not decode, wherever the document holds other
# invalid bytes that no reader decodes (comments) before it.
@pytest.mark.parametrize("fmt, data, line, col", [
    ("ini", b"k = \xff\n", 1, 5),
    ("ini", b"[s]\nk = ok\nj = caf\xc3\xa9 \xe9t\xe9\n", 3, 11),
    ("ini", b"; caf\xe9\n[s\xe9]\n", 2, 3),                      # section name
    ("ini", b"# \xff\nk\xfe = v\n", 2, 2),                        # key
    ("toml", b"# caf\xe9 comment\na = \"\xfe\"", 2, 6),
    ("toml", b"# \xe9\na = \"x\\n\xfe\"", 2, 9),                  # after an escape
    ("toml", b"# \xe9\na = \"\"\"\nok\\\n  \xc3\"\"\"", 4, 3),    # after a line-end backslash
    ("toml", b'a = """\xc3\\\n  \xa9"""', 1, 8),               # cut by a line-ending backslash
    ("toml", b"# \xe9\na = '''\n\xff'''", 3, 1),                  # multi-line literal
    ("toml", b"# \xe9\n'k\xff' = 1", 2, 3),                       # quoted key
    ("json", b'["ok", "a\\n\xc3"]', 1, 12),                       # after an escape
    ("json", b'{"k\xff": 1}', 1, 4),                              # key
    ("json", b'\n  "\xe2\x82"', 2, 4),                            # cut sequence
    ("json", b'\xef\xbb\xbf["\xff"]', 1, 6),                      # after a byte-order mark
])
def test_invalid_utf8_is_a_parse_error(fmt, data, line, col):
    with pytest.raises(ParseError) as info:
        quorvane.loads(data, fmt)
    err = info.value
    assert (err.msg, err.lineno, err.colno) == ("invalid UTF-8", line, col)
    assert data[err.pos:].decode("utf-8", "replace")[0] == "\ufffd"
    # The core module's own error is untouched: the interpreter's decoding
    # error, about the slice it was given.
    if not data.startswith(codecs.BOM_UTF8):
        with pytest.raises(UnicodeDecodeError) as raw:
            getattr(quorvane, f"parse_{fmt}")(data)
        assert type(raw.value) is UnicodeDecodeError and "can't decode" in str(raw.value)


def test_parse_error_is_public_and_has_pos():
    assert ParseError.__module__ == "quorvane"
    # pos counts doc's own units: characters of a str, bytes of bytes.
    text = '{"caf\u00e9": [1,]}'
    for doc, pos in ((text, 12), (text.encode(), 13)):
        with pytest.raises(ParseError) as info:
            quorvane.loads(doc, "json")
        assert (info.value.lineno, info.value.colno, info.value.pos) == (1, 14, pos)
        assert doc[pos:pos + 1] in ("]", b"]")
        assert pickle.loads(pickle.dumps(info.value)).pos == pos


# Every format skips a leading byte-order mark, and a UTF-16 or UTF-32 mark
# has the document decoded first.  Each mark turns a prefix of a text into
# a prefix of the marked document, which gives the expected pos.
MARKS = {
    "str": lambda s: "\ufeff" + s,
    "utf-8": lambda s: ("\ufeff" + s).encode("utf-8"),
    "utf-16": lambda s: s.encode("utf-16"),
    "utf-16-be": lambda s: ("\ufeff" + s).encode("utf-16-be"),
    "utf-32": lambda s: s.encode("utf-32"),
    "utf-32-be": lambda s: ("\ufeff" + s).encode("utf-32-be"),
}


@pytest.mark.parametrize("fmt", sorted(DOCS))
@pytest.mark.parametrize("mark", sorted(MARKS))
def test_byte_order_mark(tmp_path, fmt, mark):
    encode = MARKS[mark]
    text, tree = DOCS[fmt]
    assert quorvane.loads(encode(text), fmt) == tree
    path = tmp_path / f"marked.{fmt}"
    doc = encode(text)
    path.write_bytes(doc if isinstance(doc, bytes) else doc.encode())
    assert quorvane.load(path) == tree

    # A broken document is reported in the document as given: the mark is
    # the first character of line 1.
    bad = BROKEN[fmt][0] + "\n\u00e9"
    with pytest.raises(ParseError) as plain:
        quorvane.loads(bad, fmt)
    doc = encode(bad)
    with pytest.raises(ParseError) as info:
        quorvane.loads(doc, fmt)
    err, base = info.value, plain.value
    assert err.doc is doc and (err.msg, err.lineno) == (base.msg, base.lineno)
    assert err.colno == base.colno + (3 if base.lineno == 1 else 0)
    assert err.pos == len(encode(bad[:base.pos]))


def test_standard_reader_places_count_in_the_document(monkeypatch):
    # Stands in for a standard reader: str in, ValueError(msg, byte offset)
    # at the first "!".
    def reader(text):
        if "!" in text:
            raise ValueError("refused", len(text[:text.index("!")].encode()))
        return {"text": text}
    monkeypatch.setitem(quorvane._api.PARSERS, "toml-1.1", reader)
    bad = "a\n\u00e9 = !"
    for encode in MARKS.values():
        assert quorvane.loads(encode("a = 1"), "toml-1.1") == {"text": "a = 1"}
        with pytest.raises(ParseError) as info:
            quorvane.loads(encode(bad), "toml-1.1")
        err = info.value
        assert (err.msg, err.lineno, err.colno) == ("refused", 2, 6)
        assert err.pos == len(encode(bad[:bad.index("!")]))
    with pytest.raises(ParseError) as info:
        quorvane.loads(b"\xef\xbb\xbfa\n\xff", "toml-1.1")
    assert (info.value.msg, info.value.lineno, info.value.colno, info.value.pos) == (
        "invalid UTF-8", 2, 1, 5)


@pytest.mark.parametrize("doc, msg, pos", [
    ("\ufeffx = 1\n".encode("utf-16-le")[:-1], "invalid UTF-16", 12),  # cut in half
    ("\ufeffx = '\ud800'".encode("utf-16-le", "surrogatepass"), "invalid UTF-16", 12),
    (b"\x00\x00\xfe\xff\x00\x00\x00a\x00\x11\x00\x00", "invalid UTF-32", 8),
])
def test_undecodable_wide_document(doc, msg, pos):
    with pytest.raises(ParseError) as info:
        quorvane.loads(doc, "toml")
    assert (info.value.msg, info.value.pos) == (msg, pos)


@pytest.mark.parametrize("fmt", sorted(DOCS))
def test_core_functions_keep_their_mark_rules(fmt):
    # The raw functions read the text as given: a mark is text to them.
    parse = getattr(quorvane, f"parse_{fmt}")
    text = DOCS[fmt][0]
    if fmt == "ini":
        assert parse("\ufeffname = x") == {"\ufeffname": "x"}
    else:
        with pytest.raises(ValueError):
            parse(b"\xef\xbb\xbf" + text.encode())


@pytest.mark.parametrize("suffix, fmt", [
    (".json", "json"), (".toml", "toml"), (".ini", "ini"), (".cfg", "ini"),
    (".conf", "ini"), (".INI", "ini"),
])
def test_load_detects_the_format(tmp_path, suffix, fmt):
    text, tree = DOCS[fmt]
    path = tmp_path / f"settings{suffix}"
    path.write_text(text)
    assert quorvane.load(path) == tree
    assert quorvane.load(str(path)) == tree
    with open(path, "rb") as f:
        assert quorvane.load(f) == tree


def test_load_explicit_format_wins(tmp_path):
    path = tmp_path / "settings.txt"
    path.write_text(DOCS["ini"][0])
    assert quorvane.load(path, format="ini") == DOCS["ini"][1]
    with pytest.raises(ValueError, match=r"\.json, \.toml, \.ini, \.cfg, \.conf"):
        quorvane.load(path)


def test_load_file_objects():
    assert quorvane.load(io.BytesIO(b"a = 1"), format="ini") == {"a": "1"}
    with pytest.raises(ValueError, match="format"):
        quorvane.load(io.BytesIO(b"a = 1"))
    with pytest.raises(TypeError, match="binary"):
        quorvane.load(io.StringIO("a = 1"), format="ini")


@pytest.mark.parametrize("call, exc", [
    (lambda: quorvane.loads(42, "ini"), TypeError),
    (lambda: quorvane.loads("a=1", "yaml"), ValueError),
    (lambda: quorvane.load(42), TypeError),
    (lambda: quorvane.load("/nonexistent/settings.ini"), FileNotFoundError),
])
def test_other_errors_pass_through(call, exc):
    with pytest.raises(exc) as info:
        call()
    assert not isinstance(info.value, ParseError)


def test_non_finite_floats_survive():
    tree = quorvane.loads("a = inf\nb = nan\n", "toml")
    assert tree["a"] == math.inf and math.isnan(tree["b"])


def test_examples_parse():
    examples = Path(__file__).resolve().parents[1] / "examples"
    for path in sorted(examples.iterdir()):
        if path.name.startswith("broken"):
            with pytest.raises(ParseError):
                quorvane.load(path)
        elif path.suffix in quorvane._api.SUFFIXES:
            assert isinstance(quorvane.load(path), (dict, list))


def test_distribution_declares_and_ships_the_license():
    from importlib import metadata
    meta = metadata.metadata("quorvane")
    assert meta["License-Expression"] == "MIT"
    assert not any(c.startswith("License ::") for c in meta.get_all("Classifier") or [])
    files = [f for f in metadata.files("quorvane") or [] if f.name == "LICENSE"]
    assert files and "MIT License" in files[0].read_text()
