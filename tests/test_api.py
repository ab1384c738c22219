"""The quorvane package: loads, load, ParseError."""

from __future__ import annotations

import io
import math
import pickle
from pathlib import Path

import pytest

import quorvane
from quorvane import ParseError

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
    assert quorvane.__version__ == "0.21.0"
    assert quorvane.version() == "0.21.0-c"
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


@pytest.mark.parametrize("data, line, col", [
    (b"k = \xff\n", 1, 5),
    (b"[s]\nk = ok\nj = caf\xc3\xa9 \xe9t\xe9\n", 3, 11),
])
def test_invalid_utf8_is_a_parse_error(data, line, col):
    with pytest.raises(ParseError) as info:
        quorvane.loads(data, "ini")
    assert (info.value.msg, info.value.lineno, info.value.colno) == ("invalid UTF-8", line, col)


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
