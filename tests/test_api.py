"""The quorvane package: loads, load, ParseError."""

from __future__ import annotations

import codecs
import configparser
import datetime
import inspect
import io
import json
import math
import pickle
import sys
import typing
from pathlib import Path

import pytest

import quorvane
import quorvane.toml
from quorvane import ParseError, _formats, ini
from quorvane._formats import FORMATS, WELL_KNOWN, well_known

from _util import package_version, position_error
from checks import configparser_tree, same, same_outcome

DOCS = {
    "json": ('{"server": {"port": 8080, "tags": ["a", "b"]}}',
             {"server": {"port": 8080, "tags": ["a", "b"]}}),
    "toml": ('[server]\nport = 8080\ntags = ["a", "b"]\n',
             {"server": {"port": 8080, "tags": ["a", "b"]}}),
    "toml-dialect": ('[server]\nport = 8080\ntags = ["a", "b"]\n',
                     {"server": {"port": 8080, "tags": ["a", "b"]}}),
    "ini": ("[server]\nport = 8080\n", {"DEFAULT": {}, "server": {"port": "8080"}}),
    "ini-dialect": ("[server]\nport = 8080\n", {"server": {"port": "8080"}}),
}
# The suffix load() reads each format from, and the format it picks there.
SUFFIX = {"json": ".json", "toml": ".toml", "ini": ".ini"}

# A broken document per format, with the parser's message and place.
BROKEN = {
    "json": ('{"a": 1,\n "b": }', 2, 7, "unexpected character in JSON value"),
    "toml": ("a = 1\nb = \n", 2, 5, "expected a value"),
    "toml-dialect": ("a = 1\nb = \n", 3, 1, "unexpected end of input in value"),
    "ini": ("[s]\nnovalue\n", 2, 1, "neither a section header nor a key with a delimiter"),
    "ini-dialect": ("[s]\nnovalue\n", 2, 8, "expected '=' or ':' in key-value line"),
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


@pytest.mark.parametrize("fmt", sorted(SUFFIX))
def test_load_error_names_the_path(tmp_path, fmt):
    text, line, col, msg = BROKEN[fmt]
    path = tmp_path / f"broken{SUFFIX[fmt]}"
    path.write_text(text)
    with pytest.raises(ParseError) as info:
        quorvane.load(path)
    assert info.value.path == str(path)
    assert str(info.value) == f"{path}: parse error at line {line}, column {col}: {msg}"


# The byte a reader could not decode, wherever the document holds other
# invalid bytes that no reader decodes (comments) before it.
@pytest.mark.parametrize("fmt, data, line, col", [
    ("ini-dialect", b"k = \xff\n", 1, 5),
    ("ini-dialect", b"[s]\nk = ok\nj = caf\xc3\xa9 \xe9t\xe9\n", 3, 11),
    ("ini-dialect", b"; caf\xe9\n[s\xe9]\n", 2, 3),                      # section name
    ("ini-dialect", b"# \xff\nk\xfe = v\n", 2, 2),                        # key
    ("toml-dialect", b"# caf\xe9 comment\na = \"\xfe\"", 2, 6),
    ("toml-dialect", b"# \xe9\na = \"x\\n\xfe\"", 2, 9),                  # after an escape
    ("toml-dialect", b"# \xe9\na = \"\"\"\nok\\\n  \xc3\"\"\"", 4, 3),    # after a line-end backslash
    ("toml-dialect", b'a = """\xc3\\\n  \xa9"""', 1, 8),               # cut by a line-ending backslash
    ("toml-dialect", b"# \xe9\na = '''\n\xff'''", 3, 1),                  # multi-line literal
    ("toml-dialect", b"# \xe9\n'k\xff' = 1", 2, 3),                       # quoted key
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
            getattr(quorvane, f"parse_{fmt.partition('-')[0]}")(data)
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
    "utf-16": lambda s: s.encode("utf-16", "surrogatepass"),
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
    path = tmp_path / "marked"
    doc = encode(text)
    path.write_bytes(doc if isinstance(doc, bytes) else doc.encode())
    assert quorvane.load(path, fmt) == tree

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
    monkeypatch.setitem(quorvane._formats.FORMATS, "toml-1.1",
                        quorvane._formats.Reader(reader, standard=True))
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


@pytest.mark.parametrize("fmt", ["json", "toml", "ini"])
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
    with pytest.raises(ValueError, match=r"neither a well-known file nor one of .*\.json"):
        quorvane.load(path)


def test_load_file_objects():
    assert quorvane.load(io.BytesIO(b"a = 1"), format="ini-dialect") == {"a": "1"}
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
        elif quorvane._formats.well_known(path.name):
            assert isinstance(quorvane.load(path), (dict, list))


def test_distribution_declares_and_ships_the_license():
    from importlib import metadata
    meta = metadata.metadata("quorvane")
    assert meta["License-Expression"] == "MIT"
    assert not any(c.startswith("License ::") for c in meta.get_all("Classifier") or [])
    files = [f for f in metadata.files("quorvane") or [] if f.name == "LICENSE"]
    assert files and "MIT License" in files[0].read_text()


# ---------------------------------------------------------------------------
# Format names, and the table of files read by their names.

def test_format_type_names_every_format():
    implemented = {name for name, reader in FORMATS.items() if reader.parse is not None}
    assert set(typing.get_args(quorvane.Format)) == implemented


def test_every_row_names_a_format_and_options_it_takes():
    for pattern, fmt, options in WELL_KNOWN:
        assert fmt in FORMATS, pattern
        try:
            quorvane.loads("", fmt, **options)  # a misspelt option is a TypeError
        except ParseError:
            pass


@pytest.mark.parametrize("path, expected", [
    ("setup.cfg", ("ini", {})),                 # a name wins over its suffix
    ("conf/SETUP.CFG", ("ini", {})),            # in any directory, in any case
    ("other.cfg", ("ini", {"strict": False})),
    ("a/b/Cargo.lock", ("toml", {})),
    (".toml", ("toml", {})),
    ("Pipfile.lock", None), ("README", None), ("cfg", None), ("x.yaml", None),
])
def test_well_known(path, expected):
    assert well_known(path) == expected


def test_rows_wait_for_their_reader(monkeypatch):
    # A row may name a format with no reader yet: the rows below it decide
    # until one is added.  Path patterns match the last parts of a path.
    rows = (("tsconfig.json", "jsonc", {}), (".vscode/*.json", "jsonc", {}),
            ("build/*.json", "ini", {}), ("*.json", "json", {}))

    def use(rows):
        for name, value in zip(("_NAMES", "_PATTERNS", "_SUFFIXES"), _formats._index(rows)):
            monkeypatch.setattr(_formats, name, value)

    monkeypatch.delitem(FORMATS, "jsonc", raising=False)
    use(rows)
    assert [well_known(p) for p in ("tsconfig.json", "p/.vscode/settings.json",
                                    "p/build/x.json", "build/x.json", "x.json")] == [
        ("json", {}), ("json", {}), ("ini", {}), ("ini", {}), ("json", {})]
    monkeypatch.setitem(FORMATS, "jsonc", _formats.Reader(quorvane.parse_json, standard=False))
    use(rows)
    assert [well_known(p) for p in ("TSCONFIG.json", ".vscode/a.json", "vscode/a.json")] == [
        ("jsonc", {}), ("jsonc", {}), ("json", {})]


def test_load_reads_users_files_by_their_names(tmp_path):
    files = {
        "pyproject.toml": "[[tool.a]]\n[tool.a.b]\nwhen = 1979-05-27\n",
        ".editorconfig": "root = true\n[*.py]\nindent_size = 4\n",
        "my.cnf": "[mysqld]\nskip-name-resolve\nport = 1\nport = 2\n",
        "app.desktop": "[Desktop Entry]\nName=App\n",
    }
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    assert quorvane.load(tmp_path / "pyproject.toml") == {
        "tool": {"a": [{"b": {"when": datetime.date(1979, 5, 27)}}]}}
    assert quorvane.load(tmp_path / ".editorconfig") == {
        "DEFAULT": {}, quorvane.ini._unnamed_section(): {"root": "true"},
        "*.py": {"indent_size": "4"}}
    assert quorvane.load(tmp_path / "my.cnf")["mysqld"] == {"skip-name-resolve": None,
                                                              "port": "2"}
    assert quorvane.load(tmp_path / "app.desktop")["Desktop Entry"] == {"Name": "App"}
    # The caller's options go over the row's; a format given reads with
    # that format's defaults and the caller's options only.
    assert quorvane.load(tmp_path / "app.desktop", keep_case=False)["Desktop Entry"] == {
        "name": "App"}
    for call in (lambda: quorvane.load(tmp_path / "my.cnf", strict=True),
                 lambda: quorvane.load(tmp_path / "my.cnf", "ini"),
                 lambda: quorvane.load(tmp_path / "pyproject.toml", "toml-dialect")):
        with pytest.raises(ParseError):
            call()


# A dialect reader's error says so when the standard reader reads the
# document; its message and place are the core function's.
@pytest.mark.parametrize("fmt, doc, hinted", [
    ("toml-dialect", "[[a]]\n[a.b]\n", True),
    ("toml-dialect", b"\xef\xbb\xbfa = 1\nb = 1979-05-27 07:32:00\n", True),
    ("toml-dialect", "a = \n", False),
    ("ini-dialect", "[s]\nk = v\n  more\n", True),
    ("ini-dialect", "k\n", False),
])
def test_dialect_error_hints_at_the_standard_reader(fmt, doc, hinted):
    with pytest.raises(ParseError) as info:
        quorvane.loads(doc, fmt)
    hint = " (the TOML dialect; the format 'toml' reads standard TOML)" if fmt[0] == "t" \
        else " (the INI dialect; the format 'ini' reads INI as configparser does)"
    core = getattr(quorvane, f"parse_{fmt.partition('-')[0]}")
    _, _, msg = position_error(core, doc.removeprefix(b"\xef\xbb\xbf")
                               if isinstance(doc, bytes) else doc)
    assert info.value.msg == msg + hint * hinted


# ---------------------------------------------------------------------------
# Documents the readers could not take before.

@pytest.mark.parametrize("fmt, doc", [
    ("json", '["a",\n "b\udc00"]'),
    ("toml-dialect", 'a = "x"\nb = "\u00e9\ud800"'),
    ("ini-dialect", "[s]\nk = \udfff\n"),
    ("toml", "a = 1\n# \udfff\n"),
])
def test_lone_surrogate_is_an_error_at_it(fmt, doc):
    with pytest.raises(ParseError) as info:
        quorvane.loads("\ufeff" + doc, fmt)
    err = info.value
    # (The INI dialect's error adds that the configparser reader reads it.)
    assert err.msg.startswith("a lone surrogate is not a Unicode character")
    assert "\ud800" <= err.doc[err.pos] <= "\udfff" and err.lineno == 2


@pytest.mark.parametrize("codec", ["utf-16-le", "utf-16-be", "utf-32-le", "utf-32-be"])
def test_json_in_wide_encodings_without_a_mark(codec):
    for text in ['{"caf\u00e9": [1, "\U0001f600"]}', "7", '"\u00e9"', "\n[]"]:
        data = text.encode(codec)
        assert quorvane.loads(data, "json") == json.loads(data)
    bad = '{"\u00e9":\n [1,]}'
    with pytest.raises(ParseError) as info:
        quorvane.loads(bad.encode(codec), "json")
    err = info.value
    assert (err.msg, err.lineno, err.colno) == ("trailing comma in array", 2, 5)
    assert err.pos == len(bad[:bad.index("]")].encode(codec))
    assert pickle.loads(pickle.dumps(err)).pos == err.pos


def test_integer_beyond_the_digit_limit_names_it():
    limit = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(640)
    try:
        assert quorvane.toml.loads("a = " + "9" * 640)["a"] == int("9" * 640)
        for call in (quorvane.toml.loads, lambda s: quorvane.loads(s, "toml-1.0")):
            with pytest.raises(ValueError) as info:
                call("a = [1,\n" + "1_2" * 400 + "]")
            assert (info.value.lineno, info.value.colno) == (2, 1)
            assert info.value.msg == ("integer has more digits than the interpreter's "
                                      "limit of 640 (sys.set_int_max_str_digits)")
    finally:
        sys.set_int_max_str_digits(limit)


# ---------------------------------------------------------------------------
# Options of the configparser reader.

@pytest.mark.parametrize("call, message", [
    (lambda: ini.loads("", foo=1), r"^loads\(\) got an unexpected keyword argument 'foo'$"),
    (lambda: ini.load(io.BytesIO(b""), foo=1), r"^load\(\) got an unexpected keyword"),
    (lambda: quorvane.loads("", "ini", foo=1), r"^loads\(\) got an unexpected keyword"),
    (lambda: quorvane.loads("1", "json", strict=1), "the format 'json' takes no options"),
    (lambda: ini.loads("", interpolation=configparser.BasicInterpolation()),
     "values are read raw, as with interpolation=None"),
])
def test_option_mistakes(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_interpolation_none_is_what_the_reader_does():
    assert ini.loads("[s]\nk = %(x)s\n", interpolation=None)["s"] == {"k": "%(x)s"}


# Option strings may hold lone surrogates, as configparser's may.
@pytest.mark.parametrize("options", [
    {"default_section": "\udc00"},
    {"delimiters": ("\ud800",), "strict": False},
    {"comment_prefixes": ("\udfff",), "inline_comment_prefixes": ("\udc01",), "keep_case": True},
])
@pytest.mark.parametrize("doc", [
    "[\udc00]\na = 1\n[S]\nB \ud800 2 \udc01 c\n\udfff x\nb = \udc00\n",
    "[S]\nb = 1\n[S]\n",
    "[\udc00]\n\udcff\n",
])
def test_option_strings_with_lone_surrogates(options, doc):
    expected = configparser_tree(doc, **options)
    try:
        tree = ini.loads(doc, **options)
    except ParseError as err:
        assert expected is None and err.pos < len(doc), err
    else:
        assert same(tree, expected)


# ---------------------------------------------------------------------------
# loads() is a built-in function that reads the common call itself and
# hands every other call to the Python implementation: both must agree.

def _python_loads(text, fmt):
    from quorvane import _api
    reader, parse = _api._reader(fmt, {}, "loads")
    return _api._read(_api.document(text), reader, parse, None)


def _outcome(call, *args):
    try:
        return ("ok", call(*args))
    except ParseError as err:
        return (type(err), str(err), err.lineno, err.colno, err.pos, err.path)
    except (ValueError, TypeError, RecursionError) as err:
        return (type(err), str(err))


_NATIVE_DOCS = [
    "[1, 2]", '{"a": {"b": [true, null]}}', "a = 1\n[t]\nb = 'x'\n", "[s]\nk = v\n",
    "// c\n{a: 1, 'b': [0x1F, .5,],}", "{\"a\": 1,}", "[1, 2", "", " ", "\ufeff[1]",
    "\u00e9 = 1", '{"\ud800": 1}', "[" * 600 + "]" * 600, "[s]\nk = v\nk = w\n",
]


@pytest.mark.parametrize("fmt", [name for name, r in FORMATS.items() if r.parse])
@pytest.mark.parametrize("encode", [
    lambda s: s, lambda s: s.encode("utf-8", "surrogatepass"),
    lambda s: bytearray(s.encode("utf-8", "surrogatepass")),
    lambda s: s.encode("utf-16", "surrogatepass"),
    lambda s: b"\xff" + s.encode("utf-8", "surrogatepass"),
], ids=["str", "bytes", "bytearray", "utf-16", "not-utf-8"])
def test_native_loads_is_the_python_path(fmt, encode):
    for doc in _NATIVE_DOCS:
        text = encode(doc)
        native, python = _outcome(quorvane.loads, text, fmt), _outcome(_python_loads, text, fmt)
        assert same_outcome(native, python), doc


class _Name(str):
    pass


def test_native_loads_face():
    loads = quorvane.loads
    assert (loads.__name__, loads.__qualname__, loads.__module__) == (
        "loads", "loads", "quorvane._api")
    assert str(inspect.signature(loads)) == "(text, format, **options)"
    assert loads.__doc__.startswith("Parses a whole document given as str or bytes-like object.")
    assert pickle.loads(pickle.dumps(loads)) is loads
    assert loads(text="[1]", format="json") == loads("[1]", _Name("json")) == [1]
    with pytest.raises(TypeError, match=r"loads\(\) missing 1 required positional"):
        loads("[1]")
    with pytest.raises(TypeError, match=r"loads\(\) takes 2 positional arguments"):
        loads("[1]", "json", 3)
    with pytest.raises(TypeError, match="the format 'json' takes no options"):
        loads("[1]", "json", strict=False)
