"""The extension's surface, the error form and the exported C helpers."""

from __future__ import annotations

import ctypes
import os
import re
import shutil
import subprocess
import sys
import types

import pytest

import _quorvane
from quorvane import _std
from _util import exported_names, package_version

PARSERS = ["parse_json", "parse_toml", "parse_ini"]



def test_module_namespace_and_docs():
    public = {n for n in vars(_quorvane) if not n.startswith("__")}
    assert public == {"parse_json", "parse_toml", "parse_ini", "version"}
    assert _quorvane.__doc__ == "quorvane C core: JSON/TOML/INI parsers."
    for fmt, article in (("json", "a JSON"), ("toml", "a TOML"), ("ini", "an INI")):
        doc = getattr(_quorvane, f"parse_{fmt}").__doc__
        assert doc == (f"parse_{fmt}(text: str) -> dict\n\n"
                       f"Parse {article} document into a semantic tree.")
    assert _quorvane.version.__doc__ == (
        "version() -> str\n\nReturn the C extension version string.")
    assert _quorvane.version() == package_version() + "-c"


@pytest.mark.parametrize("name", PARSERS)
@pytest.mark.parametrize("call", [
    lambda f: f(),
    lambda f: f("", ""),
    lambda f: f(text=""),
    lambda f: f(None),
    lambda f: f(12),
    lambda f: f(bytearray(b"")),  # writable buffers are refused
])
def test_argument_rules(name, call):
    with pytest.raises(TypeError):
        call(getattr(_quorvane, name))


def test_version_takes_no_argument():
    with pytest.raises(TypeError):
        _quorvane.version(1)


@pytest.mark.parametrize("name", PARSERS)
def test_lone_surrogate_str_is_an_encoding_error(name):
    with pytest.raises(UnicodeEncodeError):
        getattr(_quorvane, name)("\ud800")


def test_str_and_bytes_give_the_same_tree():
    doc = "[sec]\nname = caf\u00e9\n"
    assert _quorvane.parse_ini(doc) == _quorvane.parse_ini(doc.encode()) \
        == {"sec": {"name": "caf\u00e9"}}


def test_embedded_nul_reaches_the_parser_whole():
    # The value after the NUL is kept, so the length, not a terminator,
    # bounds the text.
    assert _quorvane.parse_ini("a=1\x00b\nc=2") == {"a": "1\x00b", "c": "2"}


def test_error_form():
    with pytest.raises(ValueError) as info:
        _quorvane.parse_ini("a=1\n\n  =x\n")
    assert type(info.value) is ValueError
    assert str(info.value) == "parse error at line 3, column 5: empty key"


@pytest.mark.parametrize("module, exports", [
    (_quorvane, "exports.map"), (_std, "std/exports.map")], ids=["_quorvane", "_std"])
def test_exported_symbols(module, exports):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm not available")
    out = subprocess.run([nm, "-D", "--defined-only", module.__file__],
                         check=True, capture_output=True, text=True).stdout
    names = {line.split()[-1] for line in out.splitlines() if line.strip()}
    # The linker's own bookkeeping names, if any, are not ours.
    linker = {"_init", "_fini", "__bss_start", "_edata", "_end"}
    assert names - linker == exported_names(exports)


# ---------------------------------------------------------------------------
# The exported C helpers, called the way other native code would.

@pytest.fixture(scope="module")
def lib():
    dll = ctypes.PyDLL(_quorvane.__file__)
    dll.quorvane_line_col.argtypes = [ctypes.c_char_p, ctypes.c_ssize_t,
                                      ctypes.POINTER(ctypes.c_int),
                                      ctypes.POINTER(ctypes.c_int)]
    dll.quorvane_line_col.restype = None
    dll.quorvane_raise_error.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int]
    dll.quorvane_raise_error.restype = None
    dll.quorvane_new_str.argtypes = [ctypes.c_char_p, ctypes.c_ssize_t]
    dll.quorvane_new_str.restype = ctypes.py_object
    dll.quorvane_parse_number.argtypes = [ctypes.c_void_p, ctypes.c_ssize_t,
                                          ctypes.POINTER(ctypes.c_int)]
    dll.quorvane_parse_number.restype = ctypes.py_object
    return dll


def line_col(lib, text: bytes, offset: int) -> tuple[int, int]:
    line, col = ctypes.c_int(), ctypes.c_int()
    lib.quorvane_line_col(text, offset, ctypes.byref(line), ctypes.byref(col))
    return line.value, col.value


@pytest.mark.parametrize("text, offset, expected", [
    (b"abc", 0, (1, 1)),
    (b"abc", -5, (1, 1)),
    (b"abc", 3, (1, 4)),             # the end of the text
    (b"ab\ncd", 2, (1, 3)),          # the \n belongs to the line it ends
    (b"ab\ncd", 3, (2, 1)),
    (b"a\r\nb", 2, (1, 3)),          # \r is an ordinary byte
    (b"a\r\nb", 3, (2, 1)),
    ("\u00e9=1".encode(), 2, (1, 3)),  # columns count bytes
    (b"abcd\x00efghij", 10, (1, 11)),  # a NUL does not stop the count
    (b"\n\x00\n\x00x", 4, (3, 2)),
])
def test_line_col(lib, text, offset, expected):
    assert line_col(lib, text, offset) == expected


def test_raise_error_cuts_long_messages(lib):
    with pytest.raises(ValueError) as info:
        lib.quorvane_raise_error(b"m" * 600, 3, 7)
    text = str(info.value)
    assert len(text) == 511
    assert text.startswith("parse error at line 3, column 7: mmm")


def test_new_str(lib):
    assert lib.quorvane_new_str(None, 5) == ""
    assert lib.quorvane_new_str(b"abc", 0) == ""
    assert lib.quorvane_new_str(b"a\x00b", 3) == "a\x00b"
    assert lib.quorvane_new_str("\u20ac".encode(), 3) == "\u20ac"
    with pytest.raises(UnicodeDecodeError):
        lib.quorvane_new_str(b"\xff", 1)


def parse_number(lib, data: bytes, length: int | None = None):
    # The bytes sit in a buffer followed by more digits, so a conversion that
    # read past `length` would show in the result and in `consumed`.
    buf = ctypes.create_string_buffer(data + b"999999")
    consumed = ctypes.c_int(-1)
    n = len(data) if length is None else length
    value = lib.quorvane_parse_number(buf, n, ctypes.byref(consumed))
    return value, consumed.value


@pytest.mark.parametrize("text, value, consumed", [
    (b"42", 42, 2),
    (b"-1.5e3", -1500.0, 6),
    (b"+7", 7, 2),
    (b"12abc", 12, 2),
    (b"1e5", 100000.0, 3),
    (b"12-3.4", 12.0, 2),
    (b"  42", 42, 4),                      # leading white space, as strtoll
    (b"\t-0.5", 0, 3),                     # the scan stops at the blank: integer
    (b"9223372036854775807", 9223372036854775807, 19),
    (b"9223372036854775808", 9223372036854775808, 19),   # exact, not clamped
    (b"-123456789012345678901234567890", -123456789012345678901234567890, 31),
    (b"0x1.8p3", 0, 1),                   # no . before the x: integer scan
    (b"1.5", 1.5, 3),
    (b"1e999", float("inf"), 5),
    (b".5", 0.5, 2),
])
def test_parse_number(lib, text, value, consumed):
    got, used = parse_number(lib, text)
    assert (got, type(got), used) == (value, type(value), consumed)


def test_parse_number_reads_only_len_bytes(lib):
    assert parse_number(lib, b"12", 1) == (1, 1)
    assert parse_number(lib, b"1.25", 3) == (1.2, 3)
    assert parse_number(lib, b"1e5", 2) == (1.0, 1)


@pytest.mark.parametrize("text, length, message", [
    (b"", 0, "empty number literal"),
    (b"5", -1, "empty number literal"),
    (b"-", None, "invalid integer literal"),
    (b"abc", None, "invalid integer literal"),
    (b"e5", None, "invalid float literal"),
    (b"-.e", None, "invalid float literal"),
])
def test_parse_number_errors(lib, text, length, message):
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        parse_number(lib, text, length)


def test_parse_number_ignores_the_locale(lib):
    script = (
        "import ctypes, locale, sys, _quorvane\n"
        "for name in ('de_DE.UTF-8', 'fr_FR.UTF-8', 'de_DE', 'C.UTF-8'):\n"
        "    try:\n"
        "        locale.setlocale(locale.LC_ALL, name); break\n"
        "    except locale.Error: pass\n"
        "dll = ctypes.PyDLL(_quorvane.__file__)\n"
        "f = dll.quorvane_parse_number\n"
        "f.argtypes = [ctypes.c_char_p, ctypes.c_ssize_t, ctypes.POINTER(ctypes.c_int)]\n"
        "f.restype = ctypes.py_object\n"
        "c = ctypes.c_int()\n"
        "print(repr(f(b'1.5', 3, ctypes.byref(c))), c.value)\n"
    )
    out = subprocess.run([sys.executable, "-c", script], check=True,
                         capture_output=True, text=True, env=os.environ).stdout
    assert out.split() == ["1.5", "3"]


# ---------------------------------------------------------------------------
# Subinterpreters with their own GIL: both extension modules keep no state,
# so each interpreter loads its own copy and parses with it.

@pytest.mark.parametrize("script", [
    ("import _quorvane\n"
     "assert _quorvane.parse_json('[1, {\"a\": 2.5}]') == [1, {'a': 2.5}]\n"
     "assert _quorvane.parse_toml(b'[t]\\nx = 1') == {'t': {'x': 1}}\n"),
    ("import quorvane\n"
     "assert quorvane.loads(b'[s]\\nk = v', 'ini-dialect') == {'s': {'k': 'v'}}\n"),
    ("import datetime, tomllib, quorvane.toml, quorvane.ini\n"
     "d = quorvane.toml.loads('a = 1979-05-27T07:32:00Z')['a']\n"
     "assert d == datetime.datetime(1979, 5, 27, 7, 32, tzinfo=datetime.timezone.utc)\n"
     "doc = 'b = 07:32:01.5\\nc = 1979-05-27\\nd = 1979-05-27T00:32:00-07:30'\n"
     "tree = quorvane.toml.loads(doc)\n"
     "assert tree == tomllib.loads(doc) and type(tree['d']) is datetime.datetime\n"
     "assert quorvane.ini.loads('[s]\\nK = v\\n  w') == {'DEFAULT': {}, 's': {'k': 'v\\nw'}}\n"),
], ids=["core", "package", "standard-readers"])
def test_subinterpreter_with_own_gil(script):
    if sys.version_info >= (3, 13):
        interpreters = pytest.importorskip("_interpreters")
        config = interpreters.new_config("isolated")
        assert config.gil == "own" and config.check_multi_interp_extensions
        interp = interpreters.create(config)
        try:
            failure = interpreters.run_string(interp, script)
        finally:
            interpreters.destroy(interp)
        assert failure is None, failure
    elif sys.version_info >= (3, 12):
        # 3.12's module: an isolated interpreter has its own GIL and refuses
        # extension modules that do not declare they support it; a failure
        # is raised as RunFailedError.
        interpreters = pytest.importorskip("_xxsubinterpreters")
        interp = interpreters.create(isolated=True)
        try:
            interpreters.run_string(interp, script)
        finally:
            interpreters.destroy(interp)
    else:
        pytest.skip("subinterpreters with their own GIL arrived in Python 3.12")
