"""INI as configparser reads it: the same trees and the same refusals as
configparser itself, on real files, on its own test data, and on generated
documents, under several option sets."""

from __future__ import annotations

import configparser
import io
import sysconfig
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quorvane
from quorvane import ini
from _util import DATA, assert_no_leak, data_path

from checks import (CONFIGPARSER_HAS_UNNAMED, CONFIGPARSER_OPTIONS, check_configparser,
                    configparser_tree)

OPTION_IDS = [",".join(sorted(o)) or "defaults" for o in CONFIGPARSER_OPTIONS]
by_options = pytest.mark.parametrize("options", CONFIGPARSER_OPTIONS, ids=OPTION_IDS)


def text_of(path: Path) -> str:
    data = path.read_bytes()
    if data.startswith(b"\xff\xfe"):
        return data.decode("utf-16")
    return data.decode("utf-8", "surrogateescape").encode("utf-8", "replace").decode()


def real_documents() -> list[Path]:
    bench = data_path("bench", "ini")
    return sorted(bench.iterdir())


CONFIGDATA = Path(sysconfig.get_path("stdlib")) / "test" / "configdata"


@by_options
def test_real_files_agree(options):
    for path in real_documents():
        check_configparser(text_of(path).encode(), options)


# The options configparser's own tests read its data files with.
CONFIGDATA_OPTIONS = [
    {"inline_comment_prefixes": (";", "#"), "strict": False},
    {"comment_prefixes": ("#", ";", "----"), "inline_comment_prefixes": ("//",),
     "empty_lines_in_values": False, "strict": False},
    {"delimiters": {"="}, "comment_prefixes": {"#"}, "allow_no_value": True,
     "inline_comment_prefixes": (";", "#"), "strict": False},
    {"delimiters": (":=", "$"), "comment_prefixes": "//\"", "inline_comment_prefixes": "//\""},
]


@pytest.mark.parametrize("options", CONFIGPARSER_OPTIONS + CONFIGDATA_OPTIONS)
def test_configparser_test_data_agrees(options):
    if not CONFIGDATA.is_dir():
        pytest.skip("the interpreter's configparser test data is not installed")
    for path in sorted(CONFIGDATA.glob("cfgparser.*")):
        check_configparser(path.read_bytes(), options)


# Documents for each odd corner of configparser's reading; each is checked
# against configparser under every option set.
CORNERS = [
    "", "\n\n", "[a]", "[a]\nk=v", "k=v\n[a]", "[a]\nk\n", "[]\n[a]",
    # header: name up to the last "]", the rest of the line ignored
    "[a] tail\nk=1", "[a]]]\nk=1", "[ a ]\nk=1", "[[a]\n", "[a\n", "[a];c\nk=1",
    # repeats: sections, folded keys, the default section
    "[a]\n[a]", "[a]\nk=1\nK=2", "[DEFAULT]\nx=1\n[s]\ny=2\n[DEFAULT]\nz=3",
    "[DEFAULT]\nx=1\n[DEFAULT]\nx=2", "[a]\nb=1\nc=2\nb=3", "[s]\nx=1\n[DEFAULT]\nx=0\ny=0",
    # continuation lines, blank and comment lines inside values
    "[a]\nk =\n  one\n\n  two\n\n\n", "[a]\nk = 1\n# c\n  2", "[a]\n  k = 1\n    2\n  j = 3",
    "[a]\nk = 1\n  [b]\n  x = 2", "[a]\nk\n  c", "[a]\nk\n\n  c", "[a]\nk = 1\n;c\n\n\t2",
    "[a]\nk = v\n  ; only comment\n  w",
    # white space: str.isspace, not just ASCII
    "[a]\u3000\nk\u3000=\u3000v\u3000\n\u3000c\n", "[a]\n\xa0k = 1\n\x1c\x1d\n k2 = 2",
    "[a]\nk = 1\r\n  2\r\n", "[a]\nk = a\rb = c", "[a]\n\x0bk = 1\x0c", "\x85[a]\nk=1",
    # delimiters and values
    "[a]\nk = a = b", "[a]\nk : v = w", "[a]\n=x", "[a]\n:x", "[a]\nk ==", "[a]\nk=",
    "[a]\n k \t= \t v \t", "[a]\nx y = z", "[a]\n-> v", "[a]\nk -> v", "[a]\nk := v",
    # comments: full-line prefixes after the indent, inline ones after space
    "[a]\nk = v ; c", "[a]\nk = v;c", "[a]\nk = v #c", "# c\n[a]", "  ; c\n[a]",
    "[a]\nk = v\t;c", "[a]\nk = v\u3000;c", "[a]\n// x\nk = 1 // y", "[a] ;c\n",
    # case folding beyond ASCII
    "[s]\n\u0130=1\n\u00df=2\n\u00c5=3\n\u03a3\u03a3=4", "[s]\nK=1\n\u212a=2",
    # the unnamed section and the default section's name
    "k=1\n[a]\nj=2", "k\n[general]\nx=1\n[a]", "[general]\nx=1\n[DEFAULT]\ny=2",
    "[a]\nk = 1\n\n[b]\nk = 2\n\n\n",
]


@pytest.mark.parametrize("doc", CORNERS)
def test_corners_agree(doc):
    for options in CONFIGPARSER_OPTIONS:
        check_configparser(doc.encode(), options)


# ---------------------------------------------------------------------------
# Generated documents over the INI alphabet.

INDENT = st.sampled_from(["", "", " ", "  ", "\t", "\u3000", "\xa0", "\x0c"])
WORD = st.sampled_from(["a", "B", "k", "x y", "DEFAULT", "general", "\u0130", "\u00df",
                        "\u00c9t\u00e9", "0", "", " "])
DELIM = st.sampled_from(["=", ":", " = ", ": ", "->", " ", ":=", "==", "\t=\t"])
TAIL = st.sampled_from(["", "", " ", " ; c", ";c", " # c", "#c", " // c", "\r", " \u3000"])
ODD = st.sampled_from(["[", "]", "[]", "=", ":", "#", ";", "//", " ;", "\u2028", "\x1c",
                       "\r", "\x85", "\x00", "'", '"'])

LINE = st.one_of(
    st.just(""),
    st.builds(lambda i, w, t: f"{i}[{w}]{t}", INDENT, WORD, TAIL),
    st.builds(lambda i, k, d, v, t: f"{i}{k}{d}{v}{t}", INDENT, WORD, DELIM, WORD, TAIL),
    st.builds(lambda i, w, t: f"{i}{w}{t}", INDENT, WORD, TAIL),
    st.builds(lambda i, c, w: f"{i}{c}{w}", INDENT, st.sampled_from(["#", ";", "//"]), WORD),
    st.builds(lambda i, parts: i + "".join(parts), INDENT,
              st.lists(st.one_of(WORD, DELIM, ODD), max_size=5)),
)
DOCUMENT = st.builds(lambda head, lines, nl: nl.join(head + lines),
                     st.sampled_from([[], ["[a]"], ["[DEFAULT]"], ["[general]"]]),
                     st.lists(LINE, max_size=14), st.sampled_from(["\n", "\r\n"]))


@by_options
@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(doc=DOCUMENT)
def test_generated_documents_agree(options, doc):
    check_configparser(doc.encode(), options)


PREFIXES = st.lists(st.sampled_from(["#", ";", "//", " ;", "", "\u3000#", "rem"]), max_size=3)
OPTIONS = st.fixed_dictionaries({}, optional={
    "delimiters": st.lists(st.sampled_from(["=", ":", "->", ":=", " ", "==", "\t"]),
                           max_size=3).map(tuple),
    "comment_prefixes": PREFIXES.map(tuple),
    "inline_comment_prefixes": PREFIXES.map(tuple),
    "strict": st.booleans(), "empty_lines_in_values": st.booleans(),
    "default_section": st.sampled_from(["DEFAULT", "general", "a"]),
    "allow_no_value": st.booleans(), "keep_case": st.booleans(),
} | ({"allow_unnamed_section": st.booleans()} if CONFIGPARSER_HAS_UNNAMED else {}))


@settings(max_examples=1000, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(doc=DOCUMENT, options=OPTIONS)
def test_generated_documents_and_options_agree(doc, options):
    check_configparser(doc.encode(), options)


# ---------------------------------------------------------------------------
# Refusals: the first line configparser objects to, with its place.

@pytest.mark.parametrize("doc, options, line, col, message", [
    ("k = v\n", {}, 1, 1, "key before the first section header"),
    ("  junk\n", {}, 1, 3, "missing section header"),
    ("[a]\njunk\n", {}, 2, 1, "neither a section header nor a key"),
    ("[a]\n  = v\n", {}, 2, 3, "empty key"),
    ("[a]\n[b]\n[a]\n", {}, 3, 2, "duplicate section 'a'"),
    ("[a]\nKey = 1\nkey = 2\n", {}, 3, 1, "duplicate key 'key' in section 'a'"),
    ("[a]\nk\n  more\n", {"allow_no_value": True}, 3, 3, "continues a key that has no value"),
    ("[a]\nk\nK\n  more\n", {"allow_no_value": True}, 3, 1, "duplicate key 'k'"),
    ("[a]\nk = 1\n[DEFAULT]\nk = 2\n[DEFAULT]\nk = 3\n", {}, 6, 1,
     "duplicate key 'k' in section 'DEFAULT'"),
    ("\ufeff[a]\nk\n", {}, 2, 1, "neither a section header"),
    ("[\u00e9]\n\u00e9 x\n", {}, 2, 1, "neither a section header"),
])
def test_refusals(doc, options, line, col, message):
    assert configparser_tree(doc.removeprefix("\ufeff"), **options) is None
    with pytest.raises(quorvane.ParseError) as info:
        ini.loads(doc.encode(), **options)
    err = info.value
    assert (err.lineno, err.colno) == (line, col) and message in err.msg, err


# ---------------------------------------------------------------------------
# The faces: quorvane.ini, quorvane.loads/load with "ini".

def test_faces(tmp_path):
    text = "\ufeff[S]\nKey = 1\n"
    tree = {"DEFAULT": {}, "S": {"key": "1"}}
    p = tmp_path / "x.ini"
    p.write_text(text, encoding="utf-8")
    assert ini.loads(text) == ini.loads(text.encode()) == ini.loads(bytearray(text.encode())) == tree
    assert ini.load(p) == ini.load(str(p)) == ini.load(io.BytesIO(text.encode())) == tree
    assert quorvane.loads(text, "ini") == quorvane.load(p) == tree
    assert ini.loads(text, keep_case=True)["S"] == {"Key": "1"}
    unnamed = ini.loads("a = 1\n[s]\n", allow_unnamed_section=True)
    marker = list(unnamed)[1]
    assert list(unnamed) == ["DEFAULT", marker, "s"] and unnamed[marker] == {"a": "1"}
    assert repr(marker) == "<UNNAMED_SECTION>"
    assert marker is getattr(configparser, "UNNAMED_SECTION", marker)
    with pytest.raises(quorvane.ParseError) as info:
        ini.load(io.BytesIO(b"[a]\n\xff\n"))
    assert (info.value.lineno, info.value.msg) == (2, "invalid UTF-8")
    # A str may hold lone surrogates; configparser reads them like any text.
    lone = "[\udc80]\n\udcff = a\udc00\n  b\n"
    assert ini.loads(lone) == configparser_tree(lone)
    with pytest.raises(quorvane.ParseError) as info:
        ini.loads(lone + "\udc80\n")
    assert (info.value.lineno, info.value.colno) == (4, 1)
    with pytest.raises(TypeError):
        ini.loads(5)  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        ini.loads("", delimiters=(1,))


# ---------------------------------------------------------------------------
# Reliability: large inputs and no reference leaks.

def test_large_documents():
    n = 100_000
    text = ("[DEFAULT]\nd = 0\n" + "".join(f"[s{i}]\nk = {i}\n" for i in range(n))
            + "[long]\nv = " + "x" * 2**22 + "\n" + "  y\n\n" * 50_000)
    tree = ini.loads(text)
    assert len(tree) == n + 2 and tree[f"s{n - 1}"] == {"k": str(n - 1), "d": "0"}
    assert tree["long"]["v"].count("\n") == 99_999


def test_no_reference_leaks():
    docs = [text_of(p) for p in sorted((DATA / "bench" / "ini").glob("*"))] + CORNERS

    def run() -> int:
        refused = 0
        for doc in docs:
            for options in CONFIGPARSER_OPTIONS:
                try:
                    ini._parse_raw(doc, **options)
                except ValueError:
                    refused += 1
        return refused

    assert run() > 0
    assert_no_leak(run, rounds=4)
