"""The INI parser: trees, errors and their positions, real files."""

from __future__ import annotations

import configparser

import pytest

from _quorvane import parse_ini
from _util import data_path, position_error


@pytest.mark.parametrize("text, tree", [
    ("", {}),
    ("\n\n  \t\r\n", {}),
    ("# one\n; two\n   # three", {}),
    ("a=1", {"a": "1"}),
    ("a=1\n[s]\nb=2", {"a": "1", "s": {"b": "2"}}),
    # A repeated header reopens its section; a repeated key keeps its place
    # and takes the last value.
    ("[s]\nx=1\ny=2\n[t]\n[s]\nx=3\nz=4",
     {"s": {"x": "3", "y": "2", "z": "4"}, "t": {}}),
    ("[ db ]\n", {"db ": {}}),
    ("[]\n[ ]\n", {"": {}}),
    ("[a.b]\n[x=y:z]\n[#;'\"[]\n", {"a.b": {}, "x=y:z": {}, "#;'\"[": {}}),
    ("[a]\r\n", {"a": {}}),
    ("key = a=b", {"key": "a=b"}),
    ("time: 12:30", {"time": "12:30"}),
    ("k = v = w", {"k": "v = w"}),
    ("k : v = w", {"k": "v = w"}),
    ("k = v ; not a comment", {"k": "v ; not a comment"}),
    ("k = v # nor this", {"k": "v # nor this"}),
    ("my key = 1", {"my key": "1"}),
    ("'k' = 1", {"'k'": "1"}),
    ("\tindented\t=\tvalue\t\r", {"indented": "value"}),
])
def test_trees(text, tree):
    assert parse_ini(text) == tree


@pytest.mark.parametrize("raw, value", [
    ("'  v  '", "  v  "),
    ('"  v  "', "  v  "),
    ("\"v'", "\"v'"),          # mixed quotes stay
    ("'", "'"),
    ("''", ""),
    ('""', ""),
    ("", ""),
    ("'a'b'", "a'b"),          # only the outer pair goes
    ("\"'x'\"", "'x'"),
    ("'\\n'", "\\n"),          # no escapes
    ("caf\u00e9 \u2603", "caf\u00e9 \u2603"),
    ("a\x00b", "a\x00b"),      # a NUL is kept with the rest of the value
    ("a\rb=2", "a\rb=2"),      # a lone carriage return does not end the line
    ("\x0cx\x0b", "\x0cx\x0b"),  # form feed and vertical tab are not blank
])
def test_values(raw, value):
    assert parse_ini(f"k = {raw}\n") == {"k": value}


def test_bytes_are_read_raw():
    assert parse_ini(b"[s]\nk = \xc3\xa9\n") == {"s": {"k": "\u00e9"}}
    with pytest.raises(UnicodeDecodeError):
        parse_ini(b"k = \xff\n")


def test_byte_order_mark_is_an_ordinary_byte():
    assert parse_ini("\ufeffa=1") == {"\ufeffa": "1"}
    assert position_error(parse_ini, "\ufeff[s]\n") == (
        1, 7, "expected '=' or ':' in key-value line")


@pytest.mark.parametrize("text, line, col, message", [
    ("[a", 1, 3, "unterminated section header"),
    ("[   \n", 1, 5, "unterminated section header"),
    ("x=1\n[a\n", 2, 3, "unterminated section header"),
    ("[a] ; note\n", 1, 11, "unexpected content after section header"),
    ("[a]]\n", 1, 5, "unexpected content after section header"),
    ("justtext", 1, 9, "expected '=' or ':' in key-value line"),
    ("abc\n", 1, 4, "expected '=' or ':' in key-value line"),
    ("abc\r\n", 1, 5, "expected '=' or ':' in key-value line"),
    ("x=1\nabc", 2, 4, "expected '=' or ':' in key-value line"),
    ("=1", 1, 3, "empty key"),
    ("  : x\n", 1, 6, "empty key"),
    ("a\x00b\x00c\n", 1, 6, "expected '=' or ':' in key-value line"),
    ("\u00e9\u00e9\n", 1, 5, "expected '=' or ':' in key-value line"),
    # A section cannot take the name of a key written before the first
    # header: its value is a str, not a section.
    ("a=1\n[a]\nb=2\n", 2, 4, "section name conflicts with a key"),
    ("a=1\n[a]", 2, 4, "section name conflicts with a key"),
    ("a=1\n[a]  \r\n", 2, 7, "section name conflicts with a key"),
])
def test_errors(text, line, col, message):
    assert position_error(parse_ini, text) == (line, col, message)


def test_first_error_wins_and_nothing_leaks_out():
    text = "[s]\nk=v\n" * 1000 + "broken\n" + "[t\n"
    assert position_error(parse_ini, text) == (
        2001, 7, "expected '=' or ':' in key-value line")


def test_long_documents():
    n = 20000
    text = "".join(f"[s{i}]\nkey{i} = value {i}\n" for i in range(n))
    tree = parse_ini(text)
    assert len(tree) == n and tree[f"s{n - 1}"] == {f"key{n - 1}": f"value {n - 1}"}


# configparser is a useful oracle on documents inside the common ground:
# sections only, one line per value, no interpolation, no case folding.
def test_agrees_with_configparser_on_plain_documents():
    text = ("[server]\nhost = example.org\nport: 8080\n\n"
            "; comment\n[paths]\nroot = /srv/www\nlogs=/var/log/app \n")
    cp = configparser.ConfigParser(interpolation=None)
    cp.optionxform = str  # type: ignore[assignment]
    cp.read_string(text)
    expected = {s: dict(cp[s]) for s in cp.sections()}
    assert parse_ini(text) == expected


# Real files: about half use continuation lines or keys without a value,
# which this dialect refuses by design; each outcome is pinned.
REAL_FILES = {
    "desktop-entry_helix.desktop": 1,
    "docker-cnf_docker-library-mysql.cnf": (3, 18, "expected '=' or ':' in key-value line"),
    "editorconfig_samba.editorconfig": 8,
    "gitconfig_mathiasbynens-dotfiles.gitconfig": 19,
    "my-cnf_docker-library-mysql.cnf": (29, 31, "expected '=' or ':' in key-value line"),
    "mypy_numpy-stubtest.ini": (4, 13, "expected '=' or ':' in key-value line"),
    "php-ini-development_php-8.3.9.ini": 35,
    "ppsspp-lang_ja_JP.ini": 26,
    "pylintrc_pylint.ini": (25, 34, "expected '=' or ':' in key-value line"),
    "rainmeter-layout_illustro_utf16le-crlf.ini": (1, 27, "expected '=' or ':' in key-value line"),
    "rainmeter-skin_illustro-system_crlf.ini": 20,
    "setup-cfg_flake8.cfg": (35, 9, "empty key"),
    "setup-cfg_sqlalchemy.cfg": 2,
    "smb-conf-default_samba.conf": 3,
    "systemd_caddy.service": 3,
    "tox_oslo-config.ini": (7, 7, "expected '=' or ':' in key-value line"),
    "tox_pytest.ini": (6, 12, "expected '=' or ':' in key-value line"),
    "tox_sqlalchemy.ini": (7, 13, "expected '=' or ':' in key-value line"),
}


@pytest.mark.parametrize("name, outcome", sorted(REAL_FILES.items()))
def test_real_files(name, outcome):
    data = data_path("bench", "ini", name).read_bytes()
    if isinstance(outcome, int):
        tree = parse_ini(data)
        assert len(tree) == outcome
        assert all(isinstance(v, (str, dict)) for v in tree.values())
    else:
        assert position_error(parse_ini, data) == outcome


def test_real_files_agree_with_configparser():
    """Where configparser reads a file too, the sections hold the same keys."""
    checked = 0
    for name, outcome in REAL_FILES.items():
        if not isinstance(outcome, int):
            continue
        text = data_path("bench", "ini", name).read_text(encoding="utf-8")
        cp = configparser.ConfigParser(interpolation=None, strict=False)
        cp.optionxform = str  # type: ignore[assignment]
        try:
            cp.read_string(text)
        except configparser.Error:
            continue
        tree = parse_ini(text)
        for section in cp.sections():
            assert set(cp[section]) <= set(tree[section]) | set(cp.defaults())
        checked += 1
    assert checked >= 5
