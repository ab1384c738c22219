"""quorvane.toml as a drop-in for tomllib: the interface, what separates
TOML 1.0 from 1.1, where errors point, and the routes through quorvane's
own loads/load and command line."""

from __future__ import annotations

import datetime
import decimal
import io
import pickle
import struct
import subprocess
import sys
import tomllib

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvane
import quorvane.toml as qtoml

tomli = pytest.importorskip("tomli")


# ---------------------------------------------------------------------------
# What TOML 1.1 adds: read as tomli reads it at "1.1", refused at "1.0"
# like tomllib refuses it.

ADDITIONS = [
    "t = 13:37\n",
    "d = 1979-05-27 07:32Z\n",
    "d = 1979-05-27T07:32\n",
    'e = "\\e[0m"\n',
    'x = "\\x41\\xe9\\x00"\n',
    'x = """\\x7f"""\n',
    "a = {x = 1,}\n",
    "a = {\n  x = 1\n}\n",
    "a = {x = 1, # why\n  y = [2,\n3]}\n",
    "a = {\n}\n",
]


@pytest.mark.parametrize("doc", ADDITIONS)
def test_additions_of_toml_1_1(doc):
    assert qtoml.loads(doc) == tomli.loads(doc)
    assert qtoml.loads(doc, toml_version="1.1") == tomli.loads(doc)
    with pytest.raises(tomllib.TOMLDecodeError):
        tomllib.loads(doc)
    with pytest.raises(qtoml.TOMLDecodeError):
        qtoml.loads(doc, toml_version="1.0")


# ---------------------------------------------------------------------------
# Errors name the character where the document goes wrong.

ERRORS = [
    # (document, message, line, column)
    ("a = 1\nb", "expected '=' after a key", 2, 2),
    ("a = 1\nb = ", "expected a value", 2, 5),
    ("d = 2023-02-29", "invalid date", 1, 5),
    ("t = 24:00:00", "invalid time", 1, 5),
    ("t = 23:59:60", "invalid time", 1, 5),
    ("d = 1979-05-27T07:32:00+24:00", "invalid time offset", 1, 24),
    ("[[x.a]]\n[x]\na.c = 1", "cannot add a key to an array of tables", 3, 1),
    ("a = 1\na = 2", "duplicate key", 2, 1),
    ("[a]\n[a]", "table defined twice", 2, 2),
    ("[a]\nb.c = 1\n[a.b]", "table already defined by dotted keys", 3, 4),
    ("a = {b = 1}\n[a.c]", "cannot extend an inline table", 2, 2),
    ("a = [1]\n[[a]]", "cannot extend an array", 2, 3),
    ("[a.b]\n[a]\nb.c = 1", "cannot add keys to a table defined elsewhere", 3, 1),
    ("é = 1", "expected a key", 1, 1),
    ("k = 'é\x01'", "control character in a string", 1, 7),
    ("k = 1 x", "expected a line end after a statement", 1, 7),
    ("k = 01", "leading zeros are not allowed", 1, 5),
    ("k = 'x", "unterminated string", 1, 7),
    ("k = 1\r", "carriage return without a line feed", 1, 6),
    ('k = "\\uD800"', "escape is not a Unicode scalar value", 1, 6),
]


@pytest.mark.parametrize(("doc", "msg", "line", "col"), ERRORS)
def test_error_position(doc, msg, line, col):
    with pytest.raises(qtoml.TOMLDecodeError) as info:
        qtoml.loads(doc)
    err = info.value
    assert (err.msg, err.lineno, err.colno) == (msg, line, col)
    assert err.doc is doc
    assert doc.count("\n", 0, err.pos) + 1 == line
    with pytest.raises(tomllib.TOMLDecodeError):
        tomllib.loads(doc.replace("07:32", "07:32:00").replace("13:37", "13:37:00"))


def test_error_text_and_pickling():
    with pytest.raises(qtoml.TOMLDecodeError) as info:
        qtoml.loads("a = ")
    err = info.value
    assert str(err) == "expected a value (at end of document)"
    assert isinstance(err, ValueError)
    again = pickle.loads(pickle.dumps(err))
    assert (type(again), again.msg, again.pos, str(again)) == (type(err), err.msg, err.pos, str(err))
    with pytest.raises(qtoml.TOMLDecodeError, match=r"^expected a value \(at line 1, column 5\)$"):
        qtoml.loads("a = \n")
    # Raised by code written for older tomllib: free-form, with a warning.
    with pytest.warns(DeprecationWarning):
        assert str(qtoml.TOMLDecodeError("bad config")) == "bad config"


# ---------------------------------------------------------------------------
# The interface of tomllib.

def test_arguments_as_tomllib_checks_them():
    for module in (qtoml, tomllib):
        with pytest.raises(TypeError):
            module.loads(b"a = 1")  # type: ignore[arg-type]
        with pytest.raises(TypeError, match="binary mode"):
            module.load(io.StringIO("a = 1"))  # type: ignore[arg-type]
        with pytest.raises(TypeError):
            module.loads("a = 1", float)  # type: ignore[misc]
    with pytest.raises(TypeError, match=r"^Expected str object, not 'bytes'$"):
        qtoml.loads(b"a = 1")  # type: ignore[arg-type]
    for bad in ("1.2", "1", 1.1, None):
        with pytest.raises(ValueError, match="unsupported TOML version"):
            qtoml.loads("a = 1", toml_version=bad)  # type: ignore[arg-type]


FLOATS = "a = 1_000.5\nb = -inf\nc = +nan\nd = [6.02e+2_3, 0.0]\ne = {f = 1e-0_1}\ng = 3\n"


def test_parse_float_sees_what_tomllib_passes():
    # The text as written, underscores and signs included.
    seen: dict[str, list[str]] = {"ours": [], "tomllib": []}
    for name, module in (("ours", qtoml), ("tomllib", tomllib)):
        tree = module.loads(FLOATS, parse_float=lambda s, n=name: seen[n].append(s) or s)
        assert tree["a"] == "1_000.5" and tree["g"] == 3
    assert seen["ours"] == seen["tomllib"] == ["1_000.5", "-inf", "+nan", "6.02e+2_3", "0.0",
                                               "1e-0_1"]
    assert repr(qtoml.loads(FLOATS, parse_float=decimal.Decimal)) == \
        repr(tomllib.loads(FLOATS, parse_float=decimal.Decimal))


# Floats of every size and precision: the same double as float() of the
# text, through the fast conversion or the interpreter's own.
FLOAT_TEXT = st.one_of(
    st.floats(allow_nan=False, allow_infinity=False).map(repr),
    st.from_regex(r"\A[+-]?(0|[1-9][0-9]{0,30})(\.[0-9]{1,30})?[eE][+-]?[0-9]{1,3}\Z"),
    st.from_regex(r"\A[+-]?(0|[1-9][0-9]{0,30})\.[0-9]{1,30}\Z"))


@settings(max_examples=500, deadline=None)
@given(FLOAT_TEXT)
def test_floats_bit_identical_to_float(text):
    if "." not in text and "e" not in text.lower():
        text += ".0"
    got = qtoml.loads(f"f = {text}")["f"]
    assert struct.pack("<d", got) == struct.pack("<d", float(text)), text
    spaced = text.replace("1", "1_1") if "1" in text else text
    assert struct.pack("<d", qtoml.loads(f"f = {spaced}")["f"]) == \
        struct.pack("<d", tomllib.loads(f"f = {spaced}")["f"]), spaced


@pytest.mark.parametrize("result", [{}, []])
def test_parse_float_may_not_return_containers(result):
    for module in (qtoml, tomllib):
        with pytest.raises(ValueError, match="must not return dicts or lists") as info:
            module.loads("a = 1.5", parse_float=lambda s: result)
        assert not isinstance(info.value, module.TOMLDecodeError)


def test_parse_float_errors_pass_through():
    def refuse(text: str) -> float:
        raise ValueError("no floats", 3)  # looks like a document error, is not

    with pytest.raises(ValueError) as info:
        qtoml.loads("a = 1.5", parse_float=refuse)
    assert type(info.value) is ValueError and info.value.args == ("no floats", 3)
    with pytest.raises(ZeroDivisionError):
        qtoml.loads("a = [1.5]", parse_float=lambda s: 1 / 0)


def test_drop_in_for_code_written_against_tomllib():
    import quorvane.toml as tomllib_alike

    with io.BytesIO(b"\xef\xbb\xbf[server]\nport = 8080\nstarted = 2024-01-01T12:00:00Z\n") as f:
        conf = tomllib_alike.load(f)
    assert conf == {"server": {"port": 8080, "started": datetime.datetime(
        2024, 1, 1, 12, tzinfo=datetime.timezone.utc)}}
    try:
        tomllib_alike.loads("port = ")
    except tomllib_alike.TOMLDecodeError as err:
        assert (err.lineno, err.colno) == (1, 8)


# ---------------------------------------------------------------------------
# Date-times: the objects tomllib builds.

def test_date_time_objects():
    tree = qtoml.loads(
        "a = 1979-05-27T07:32:00.9999999Z\nb = 1979-05-27T07:32:00+00:00\n"
        "c = 1979-05-27T07:32:00-07:30\nd = [1979-05-27T00:00:00-07:30]\n"
        "e = 1979-05-27 07:32:00\nf = 2000-02-29\ng = 00:00:00.1\n")
    utc = datetime.timezone.utc
    assert tree["a"] == datetime.datetime(1979, 5, 27, 7, 32, 0, 999999, tzinfo=utc)
    assert tree["a"].tzinfo is utc and tree["b"].tzinfo is utc
    assert tree["c"].utcoffset() == datetime.timedelta(hours=-7, minutes=-30)
    # One zone object per offset within a call.
    assert tree["c"].tzinfo is tree["d"][0].tzinfo
    assert tree["e"].tzinfo is None and type(tree["f"]) is datetime.date
    assert tree["g"] == datetime.time(0, 0, 0, 100000)


@pytest.mark.parametrize(("doc", "char"), [("a = 'x\ud800'", 6), ("# \udfff\n", 2)])
def test_text_that_utf8_cannot_hold(doc, char):
    with pytest.raises(qtoml.TOMLDecodeError) as info:
        qtoml.loads(doc)
    assert info.value.pos == char


def test_invalid_utf8_file():
    with pytest.raises(qtoml.TOMLDecodeError) as info:
        qtoml.load(io.BytesIO(b"a = 'caf\xc3\xa9'\nb = '\xff'\n"))
    assert (info.value.msg, info.value.lineno, info.value.colno) == ("invalid UTF-8", 2, 6)


# ---------------------------------------------------------------------------
# quorvane's own routes to the standard readers.

def test_quorvane_loads_and_load(tmp_path):
    doc = "[a]\nt = 13:37\n"
    assert quorvane.loads(doc, "toml-1.1") == tomli.loads(doc)
    assert quorvane.loads(doc.encode(), "toml-1.1") == tomli.loads(doc)
    with pytest.raises(quorvane.ParseError) as info:
        quorvane.loads("k = 'é'\nt = 13:37\n", "toml-1.0")
    assert (info.value.lineno, info.value.colno) == (2, 10)  # columns count bytes here
    path = tmp_path / "c.toml"
    path.write_text("[[p]]\n[p.q]\nr = 1\n", encoding="utf-8")
    assert quorvane.load(path) == {"p": [{"q": {"r": 1}}]}
    assert quorvane.load(path, format="toml-1.0") == {"p": [{"q": {"r": 1}}]}


def test_command_line_standard_toml(tmp_path):
    path = tmp_path / "c.toml"
    path.write_text("when = 1979-05-27T07:32:00Z\n[[p]]\n[p.q]\n", encoding="utf-8")
    for option in (["--format", "toml-1.1"], []):
        proc = subprocess.run([sys.executable, "-m", "quorvane", *option, str(path)],
                              capture_output=True, text=True, timeout=60)
        assert proc.returncode == 0, proc.stderr
        assert "1979-05-27T07:32:00+00:00" in proc.stdout


# ---------------------------------------------------------------------------
# Strings and comments are scanned sixteen bytes at a time: every kind of
# stopping byte at every place around the window reads as tomllib reads it.

@pytest.mark.parametrize("stop", ['"', "\\\\", "\t", "\x01", "\x7f", "é", "'", "\r\n"])
def test_wide_scan_matches_tomllib(stop):
    forms = ['k = "{}"', "k = '{}'", 'k = """{}"""', "k = '''{}'''", "# {}\nk = 1"]
    for n in range(0, 36):
        for i in range(n + 1):
            body = "a" * i + stop + "b" * (n - i)
            for form in forms:
                doc = form.format(body)
                try:
                    want = tomllib.loads(doc)
                except tomllib.TOMLDecodeError:
                    with pytest.raises(qtoml.TOMLDecodeError):
                        qtoml.loads(doc, toml_version="1.0")
                else:
                    assert qtoml.loads(doc, toml_version="1.0") == want, doc
