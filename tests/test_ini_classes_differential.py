"""quorvane.ini.ConfigParser and RawConfigParser against configparser's own
classes: after reading the same text the same way, the same parser state
(sections, options, values and proxies, in order) and the same exception
(type, arguments, errors, message).  Real files, the interpreter's own
configparser test data, corner cases and generated documents with several
faults each, under many option sets."""

from __future__ import annotations

import configparser
import itertools

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quorvane import ini

from checks import CLASS_OPTIONS, FEEDS, check_configparser_classes, class_outcome, parser_state
from test_ini_configparser import (CONFIGDATA, CONFIGDATA_OPTIONS, CORNERS, DOCUMENT, LINE,
                                   real_documents, text_of)

OPTION_IDS = [",".join(f"{k}={v}" for k, v in sorted(o.items()) if k != "defaults") or "defaults"
              for o in CLASS_OPTIONS]
by_options = pytest.mark.parametrize("options", CLASS_OPTIONS, ids=OPTION_IDS)


@by_options
@pytest.mark.parametrize("feed", FEEDS)
def test_real_files(options, feed):
    for path in real_documents():
        check_configparser_classes(text_of(path), options, feed)


@pytest.mark.parametrize("options", CLASS_OPTIONS + CONFIGDATA_OPTIONS)
def test_configparser_test_data(options):
    if not CONFIGDATA.is_dir():
        pytest.skip("the interpreter's configparser test data is not installed")
    for path in sorted(CONFIGDATA.glob("cfgparser.*")):
        for feed in FEEDS:
            check_configparser_classes(path.read_text(encoding="utf-8"), options, feed)


@by_options
def test_corners(options):
    for doc in CORNERS:
        for feed in FEEDS:
            check_configparser_classes(doc, options, feed)


def test_read_paths(tmp_path):
    """read() of paths: several files, missing ones, a file that is not the
    encoding asked for (configparser reads the lines before the bad byte)."""
    paths = [str(p) for p in real_documents()]
    bad = tmp_path / "bad.ini"
    bad.write_bytes(b"[a]\nk = 1\nbroken\n" * 500 + b"[b]\nx = \xff\n")
    crlf = tmp_path / "crlf.ini"
    crlf.write_bytes(b"[a]\r\nk = 1\r\n  2\r\n\r\n[b]\rj = 2\r")
    paths += [str(bad), str(tmp_path / "missing.ini"), crlf]
    for options in CLASS_OPTIONS:
        for group in [paths[i:i + 3] for i in range(0, len(paths), 3)] + [[str(bad)], crlf]:
            outcomes = []
            for base in (configparser, ini):
                cls = base.RawConfigParser if options.get("raw") else base.ConfigParser
                outcomes.append(class_outcome(cls, options, group, "read"))
            assert outcomes[0] == outcomes[1], (options, group)


# ---------------------------------------------------------------------------
# Generated documents with several faults each: lines configparser cannot
# parse, empty keys, repeated sections and keys, keys before any header,
# indented lines under keys without values, at random places among good
# lines.

FAULT = st.sampled_from([
    "junk", "  junk", "= empty key", ": also empty", "[a]", "[DEFAULT]", "k = again", "K = again",
    "flag", "  continued", "\tdeeper", "[", "[]", "[b] tail", "x\udc80 = lone", "k\n  more",
])
FAULTY = st.builds(
    lambda good, faults, places: "\n".join(_interleave(good, faults, places)),
    st.lists(LINE, max_size=12), st.lists(FAULT, min_size=2, max_size=5),
    st.lists(st.integers(0, 12), min_size=5, max_size=5))


def _interleave(good: list[str], faults: list[str], places: list[int]) -> list[str]:
    lines = ["[a]", "k = 1"] + list(good)
    for fault, place in zip(faults, places):
        lines.insert(min(place, len(lines)), fault)
    return lines


@by_options
@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(doc=st.one_of(FAULTY, DOCUMENT), feed=st.sampled_from(FEEDS))
def test_generated_documents(options, doc, feed):
    check_configparser_classes(doc, options, feed)


# ---------------------------------------------------------------------------
# Parsers that read in their own way go through configparser's reading.

def test_own_patterns_and_hooks():
    class Sections(ini.ConfigParser):
        SECTCRE = configparser.re.compile(r"\[\s*(?P<header>[^]]+?)\s*\]")

    class Options(ini.RawConfigParser):
        def _handle_option(self, st, line, fpname):
            super()._handle_option(st, line, fpname)

    doc = "[ a ]\nk = 1\n[b]\nbad\n"
    for cls in (Sections, Options):
        parser = cls()
        with pytest.raises(configparser.ParsingError) as info:
            parser.read_string(doc)
        assert info.value.errors == [(4, "bad\n")]
    parser = Sections()
    parser.read_string("[ a ]\nk = 1\n")
    assert parser.sections() == ["a"]
    parser = ini.ConfigParser()
    parser.NONSPACECRE = configparser.re.compile(r"[^ ]")  # tabs indent nothing
    plain = configparser.ConfigParser()
    plain.NONSPACECRE = parser.NONSPACECRE
    for p in (parser, plain):
        p.read_string("[a]\nk = 1\n\tx = 2\n")
    assert dict(parser["a"]) == dict(plain["a"]) == {"k": "1", "x": "2"}


def test_switch_is_enough():
    """Code written for configparser runs unchanged with the two names."""
    parser = ini.ConfigParser(converters={"list": str.split})
    parser.read_string("[server]\nport = 8080\nhosts = a b\nurl = http://%(host)s/\nhost = h\n")
    assert isinstance(parser, configparser.ConfigParser)
    assert isinstance(parser, ini.RawConfigParser) and isinstance(parser, configparser.RawConfigParser)
    assert parser.getint("server", "port") == 8080
    assert parser["server"].getlist("hosts") == ["a", "b"]
    assert parser["server"]["url"] == "http://h/"
    assert not isinstance(ini.RawConfigParser(), configparser.ConfigParser)


@pytest.mark.parametrize("newline", [None, "", "\n", "\r", "\r\n"])
def test_read_file_objects(tmp_path, newline):
    """Text files in every newline mode, read from where they stand (after
    next(), which stops them telling their place) and with a bad byte late
    in the file."""
    path = tmp_path / "x.ini"
    outcomes: list[list[object]] = [[], []]
    for content, skip in itertools.product([
            b"skip\r\n[a]\r\nk = 1\r  2\n\nj = 3\r\n" + b"bad\n[b]\nx=1\n" * 800 + b"\xff\n",
            b"[a]\nk = 1\n  2\n\nj = 3\nbad\n[b]\nx=1\n", b"[a] k = 1", b""], (0, 1, 2)):
        path.write_bytes(content)
        for base, results in zip((configparser, ini), outcomes):
            parser = base.ConfigParser()
            with open(path, encoding="utf-8", newline=newline) as f:
                for _ in range(skip):
                    f.readline() if skip == 1 else next(f, None)
                try:
                    parser.read_file(f)
                except Exception as exc:  # noqa: BLE001 - compared below
                    results.append((type(exc), exc.args[:1]))
            results.append([(n, list(s.items())) for n, s in parser._sections.items()])
    assert outcomes[0] == outcomes[1]


@pytest.mark.parametrize("newline", [None, "", "\n", "\r", "\r\n"])
def test_read_file_of_string_io_by_newline_mode(newline):
    """A StringIO gives its lines by its newline mode, which the text read
    from it may not show: the same state and error as configparser's."""
    import io
    docs = CORNERS + ["[a]\nk = 1\n  2\n\n[b]\rj = 2\r\n  3\r", "[a]\r\nx = 1\r\n\r\n  y\n",
            "[a]\nk = x\ry\n\r  z\n[b]\r\n", "k = 1\r\n[a]\n"]
    for doc in docs:
        outcomes = []
        for base in (configparser, ini):
            parser = base.ConfigParser(strict=False)
            try:
                parser.read_file(io.StringIO(doc, newline=newline))
                error = None
            except configparser.Error as exc:
                error = (type(exc), exc.args)
            outcomes.append((parser_state(parser), error))
        assert outcomes[0] == outcomes[1], (newline, doc)


def test_getters_added_later():
    """A getter added to configparser's class after parsers were made is
    found by the next parser, as configparser's dir() finds it."""
    ini.ConfigParser()
    configparser.RawConfigParser.getlist = lambda self, s, o, **kw: self.get(s, o, **kw).split()
    try:
        made = [cls(converters={"x": int}) for cls in (configparser.ConfigParser, ini.ConfigParser)]
        assert list(made[0].converters) == list(made[1].converters) == [
            "boolean", "float", "int", "list", "x"]
        assert list(vars(made[0]["DEFAULT"])) == list(vars(made[1]["DEFAULT"]))
    finally:
        del configparser.RawConfigParser.getlist
    assert list(ini.ConfigParser().converters) == ["boolean", "float", "int"]


def test_no_reference_leaks():
    import gc
    import sys
    docs = [text_of(p) for p in real_documents()] + CORNERS

    def run() -> None:
        for doc in docs:
            for options in CLASS_OPTIONS[:5]:
                for feed in ("string", "lines"):
                    class_outcome(ini.RawConfigParser if options.get("raw") else ini.ConfigParser,
                                  options, doc, feed)

    for _ in range(3):
        run()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(5):
        run()
    gc.collect()
    assert sys.getallocatedblocks() - before < 200


@pytest.mark.parametrize("kwargs", [
    {}, {"delimiters": ["=", "=>"]}, {"delimiters": ("=", ":"), "allow_no_value": 1},
    {"delimiters": (":",), "allow_no_value": True}, {"comment_prefixes": ["//"]},
    {"comment_prefixes": None, "inline_comment_prefixes": [";"]},
    {"dict_type": __import__("collections").OrderedDict}, {"interpolation": None},
    {"interpolation": configparser.ExtendedInterpolation()}, {"interpolation": 3},
    {"converters": {"list": str.split}}, {"converters": {"": int}},
    {"defaults": {"Key": 1, "other": "x"}}, {"defaults": {1: 2}},
    {"default_section": "common", "strict": 0, "empty_lines_in_values": []},
], ids=repr)
def test_constructor(kwargs):
    """Parsers made by configparser's constructor and ours (the native one
    from the class's second parser on): the same attributes, values and
    proxies, or the same error."""
    for raw in (False, True):
        outcomes = []
        for cls in ((configparser.RawConfigParser, ini.RawConfigParser) if raw else
                    (configparser.ConfigParser, ini.ConfigParser)):
            made = []
            for _ in range(2):
                try:
                    made.append(parser_state(cls(**kwargs)))
                except Exception as exc:  # noqa: BLE001 - compared
                    made.append((type(exc), exc.args))
            assert made[0] == made[1]
            outcomes.append(made[0])
        assert outcomes[0] == outcomes[1]


def _proxy_view(parser, proxy):
    return (type(proxy).__name__, proxy._name, proxy._parser is parser, dict(proxy),
            sorted(k for k in vars(proxy) if k.startswith("get")))


# Ways a program reaches a parser's proxies after reading, each giving what
# it saw; quorvane's parsers make a proxy only when it is first looked up.
_REACH = {
    "subscript": lambda p: [_proxy_view(p, p[name]) for name in p],
    "values": lambda p: [_proxy_view(p, s) for s in p.values()],
    "raw items": lambda p: [(n, _proxy_view(p, s)) for n, s in p._proxies.items()],
    "raw values": lambda p: [_proxy_view(p, s) for s in p._proxies.values()],
    "raw get": lambda p: _proxy_view(p, p._proxies.get("a")),
    "dict()": lambda p: [(n, _proxy_view(p, s)) for n, s in dict(p._proxies).items()],
    "unpacked": lambda p: [(n, _proxy_view(p, s)) for n, s in {**p._proxies}.items()],
    "copy": lambda p: [(n, _proxy_view(p, s)) for n, s in p._proxies.copy().items()],
    "deepcopy": lambda p: (lambda q: [_proxy_view(q, q[n]) for n in q])(
        __import__("copy").deepcopy(p)),
    "pickle": lambda p: sorted(__import__("pickle").loads(__import__("pickle").dumps(
        p._proxies))),
    "repr": lambda p: repr(p._proxies),
    "keys": lambda p: (list(p._proxies), len(p._proxies), "a" in p._proxies),
    "removed": lambda p: (p.remove_section("a"), list(p._proxies), [p[n].name for n in p]),
    "converter added": lambda p: (p.converters.__setitem__("list", str.split),
                                  p["b"].getlist("y"), _proxy_view(p, p["a"])),
    "converter removed": lambda p: (p.converters.__delitem__("int"), _proxy_view(p, p["b"])),
    "converter after a look-up": lambda p: (p["a"], p.converters.__setitem__("list", str.split),
                                            [_proxy_view(p, p[n]) for n in p]),
    "class changed after a look-up": lambda p: (
        p["a"], setattr(type(p), "getlist", lambda self, s, o, **kw: self.get(s, o).split()),
        [_proxy_view(p, p[n]) for n in p], delattr(type(p), "getlist")),
    "default renamed": lambda p: (setattr(p, "default_section", "b"), p["DEFAULT"]),
    "read again": lambda p: (p.read_string("[c]\nz = 3\n[a]\nw = 4\n"),
                             [(n, _proxy_view(p, p[n])) for n in p]),
    "popped": lambda p: (p._proxies.pop("a").name, list(p._proxies)),
    "compared": lambda p: p._proxies == {n: p[n] for n in p},
}


@pytest.mark.parametrize("reach", list(_REACH))
def test_proxies_made_when_looked_up(reach):
    seen = []
    for cls in (configparser.ConfigParser, ini.ConfigParser, ini.ConfigParser):
        parser = cls()
        parser.read_string("[DEFAULT]\nd = 0\n[a]\nx = 1\n[b]\ny = 2 3\n")
        try:
            seen.append(_REACH[reach](parser))
        except Exception as exc:  # noqa: BLE001 - compared
            seen.append((type(exc), exc.args))
    assert seen[0] == seen[1] == seen[2]
