"""The writers against the writers they reproduce: tomli-w, json.dumps and
configparser's write(), on the trees of the real files and on generated
trees (identical text, identical errors), and round trips through the
readers."""

from __future__ import annotations

import configparser
import datetime as dt
import decimal
import enum
import io
import json
import math
import random
import struct
import sys
import tomllib
import types

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvane
import quorvane.ini as qini
import quorvane.toml as qtoml
import quorvane.json as qjson

from _util import data_path, in_thread

tomli_w = pytest.importorskip("tomli_w")


def outcome(fn, *args, **kwargs):
    """The text fn writes, or the type and message of what it raises."""
    try:
        return fn(*args, **kwargs)
    except Exception as exc:
        return (type(exc), str(exc))


# ---------------------------------------------------------------- floats

def _floats() -> list[float]:
    rng = random.Random(19)
    vals = [5e-324, 2.2250738585072014e-308, 2.225073858507201e-308,
            1.7976931348623157e308, 0.1, 1 / 3, 9007199254740993.0, 2.0 ** 53]
    vals += [float(f"1e{k}") for k in range(-323, 309)]
    vals += [float(f"{d}e{k}") for d in (1.5, 9.999999999999999, 123456789012345.6)
             for k in range(-20, 25)]
    vals += [math.nextafter(v, d) for v in list(vals) for d in (0.0, math.inf)]
    vals += [2.0 ** k for k in range(-1074, 1024)]
    vals += [struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]
             for _ in range(60000)]
    vals += [struct.unpack("<d", struct.pack("<Q", rng.getrandbits(52)))[0]  # subnormals
             for _ in range(5000)]
    vals += [round(rng.uniform(-1e4, 1e4), rng.randint(0, 8)) for _ in range(10000)]
    # Every exponent's first and last significands: where the digit search
    # meets an interval end exactly or a tie between two candidates (a
    # wrong turn at any of those is caught here).
    vals += [struct.unpack("<d", struct.pack("<Q", e << 52 | f))[0] for e in range(1, 2047)
             for f in (*range(1, 9), *range((1 << 52) - 8, 1 << 52))]
    finite = [v for v in vals if math.isfinite(v)]
    return finite + [-v for v in finite]


def test_every_float_is_written_as_repr():
    # Both writers spell a finite float as repr() does: the shortest digits
    # that read back to the same bits, plain or exponent notation as repr
    # switches between them (1e16, 1e-05, subnormals, -0.0 included).
    floats = _floats() + [-0.0, 0.0]
    assert qjson.dumps(floats) == json.dumps(floats)
    written = qtoml.dumps({"x": floats}).splitlines()[1:-1]
    assert [line.strip().rstrip(",") for line in written] == [repr(v) for v in floats]


def _strings_with_one_escape() -> list[str]:
    # Short text is copied in overlapping words: a character to escape at
    # each place of each length, past the 64 of the short path.
    out = []
    for n in range(1, 70):
        for i in range(n):
            for c in '"\\\x00\x1f\x7fé€\U0001f600':
                out.append(("abcdefghijklmnopqrstuvwxyz" * 3)[:i] + c + "x" * (n - i - 1))
    return out + ["", " " * 70, "y" * 17]


def test_strings_around_the_wide_copies():
    strings = _strings_with_one_escape()
    for options in ({}, {"ensure_ascii": False}):
        assert qjson.dumps(strings, **options) == json.dumps(strings, **options)
    tree = {"x": strings}
    assert qtoml.dumps(tree) == tomli_w.dumps(tree)
    # Plain text of each short length, first in the output (nothing written
    # before it), after one byte, and as keys.
    for n in range(34):
        text = "abcdefghijklmnopqrstuvwxyz0123456789"[:n]
        for tree in (text, [text], [text, text[::-1]], {text: text, text[::-1]: 1}):
            assert qjson.dumps(tree) == json.dumps(tree)


@pytest.mark.parametrize("length", [(1 << 20) - 1, 1 << 20, (1 << 20) + 1])
def test_texts_around_a_mebibyte(length):
    # From a mebibyte on the result is copied out of the buffer, not trimmed.
    text = "x" * (length - 2)  # quoted: `length` characters
    assert qjson.dumps(text) == json.dumps(text)
    assert qtoml.dumps({"k": text[:-6]}) == tomli_w.dumps({"k": text[:-6]})


def test_text_beyond_ascii_gets_the_width_it_needs():
    # Written as UTF-8 and decoded at the end into a str as wide as its
    # widest character; the results must equal json's, width included.
    rng = random.Random(7)
    alphabet = 'ab"\\\x01\x7fé\xffĀ€\U0001f600\ud800'
    trees = [[rng.choice(alphabet) * rng.randint(0, 3) + "x" * rng.randint(0, 80)
              for _ in range(rng.randint(1, 40))] for _ in range(300)]
    # A separator beyond ASCII cut off again with a skipped key.
    trees.append({"a": 1, (1,): 2})
    for tree in trees:
        for options in ({"ensure_ascii": False}, {"ensure_ascii": False, "skipkeys": True,
                                                   "separators": ("·", ":")}):
            assert outcome(qjson.dumps, tree, **options) == outcome(json.dumps, tree, **options)


def test_text_beyond_ascii_escaped_at_every_place():
    # Without ensure_ascii, a str beyond ASCII is copied into the result
    # (as wide as its widest str) in blocks: a character to escape at each
    # place of each length, in a str of each width, beside strs of the others.
    strings = []
    for wide in "é€\U0001f600":
        for n in range(1, 40):
            for i in range(n):
                for c in '"\\\x00\x1f\n':
                    text = ("abcdefghijklmnopqrstuvwxyz" * 2)[:n]
                    strings.append(text[:i] + c + text[i + 1:] + wide)
                strings.append(wide * i + "x" * (n - i))
    for tree in (strings, {s: [s, 1] for s in strings}, [strings[:200], "é", "\ud800"]):
        for options in ({"ensure_ascii": False}, {"ensure_ascii": False, "indent": 1},
                        {"ensure_ascii": False, "skipkeys": True, "separators": (",", ":")}):
            assert qjson.dumps(tree, **options) == json.dumps(tree, **options)


def test_two_byte_text_written_in_blocks():
    # A str of 16-bit units goes eight units at a time: with ensure_ascii,
    # plain ASCII in front copied, units beyond ASCII in front escaped
    # together, a block mixing the two (with no ASCII to escape) unit by
    # unit; without it, plain ASCII copied and such a block as UTF-8; runs
    # of each kind ending at every place of a block.
    rng = random.Random(11)
    alphabet = ["a", "~", "\x7f", '"', "\\", "\n", "\x00", "é", "\xff", "Ā", "€", "日本",
                "\ud800", "\udfff", "\uffff", "\u0fa0"]
    strings = ["".join(rng.choice(alphabet) * rng.randint(1, 9) for _ in range(rng.randint(1, 12)))
               + "€" for _ in range(3000)]
    for options in ({}, {"separators": (",", ":")}, {"ensure_ascii": False}):
        assert qjson.dumps(strings, **options) == json.dumps(strings, **options)
    assert qjson.dumps({"é": 1, (1,): 2, 3: "€"}, ensure_ascii=False, skipkeys=True) == \
        json.dumps({"é": 1, (1,): 2, 3: "€"}, ensure_ascii=False, skipkeys=True)


# ---------------------------------------------------------------- JSON

JSON_OPTIONS = [
    {},
    {"indent": 2},
    {"indent": "\t", "sort_keys": True},
    {"separators": (",", ":"), "ensure_ascii": False},
    {"indent": 0, "separators": (" ,", " : "), "ensure_ascii": False},
    {"indent": "→", "separators": ("·", "∶")},
]


def _json_trees():
    for group in ("json", "json-config"):
        for path in sorted(data_path("bench", group).glob("*.json")):
            yield path.name, json.loads(path.read_bytes())


@pytest.mark.parametrize("options", JSON_OPTIONS, ids=lambda o: repr(o)[:40])
def test_json_real_trees(options):
    for name, tree in _json_trees():
        assert qjson.dumps(tree, **options) == json.dumps(tree, **options), name
        if options.get("indent") != "→":  # the others are JSON still
            assert json.loads(qjson.dumps(tree, **options)) == tree


class Color(enum.Enum):
    RED = 1


class Number(enum.IntEnum):
    ONE = 1


class Real(float, enum.Enum):
    HALF = 0.5


class Name(str, enum.Enum):
    A = "a\n"


class SubInt(int):
    def __repr__(self):
        return "never used"


class SubFloat(float):
    def __repr__(self):
        return "SubFloat()"


class SubStr(str):
    pass


class SubDict(dict):
    def items(self):
        return reversed(list(super().items()))


class SubList(list):
    pass


class Encoder(json.JSONEncoder):
    def default(self, o):
        if isinstance(o, set):
            return sorted(o)
        return super().default(o)


class OwnEncode(json.JSONEncoder):
    def encode(self, o):
        return "own"


class OwnIterencode(json.JSONEncoder):
    def iterencode(self, o, _one_shot=False):
        return iter(["chunk", "s"])


def _circular():
    a: list = []
    a.append([a])
    return a


def _self_dict():
    d: dict = {}
    d["me"] = d
    return d


JSON_CASES = [
    # Subclasses and enums as json takes them.
    ([SubInt(5), SubFloat(1.5), SubStr("s"), SubDict(a=1, b=2), SubList([1]), (1, 2)], {}),
    ([Number.ONE, Real.HALF, Name.A], {}),
    ({Number.ONE: 1, Real.HALF: 2, 1.5: 3, True: 4, None: 5, -7: 6}, {}),
    # Keys and specials.
    ({(1,): 1, "a": 2}, {}),
    ({(1,): 1, "a": 2, b"x": 3}, {"skipkeys": True}),
    ({float("inf"): 1, "x": float("-inf"), "y": float("nan")}, {}),
    ([float("nan")], {"allow_nan": False}),
    ({float("inf"): 1}, {"allow_nan": False}),
    ([SubFloat("inf")], {"allow_nan": False}),
    ({1: 1, "a": 2}, {"sort_keys": True}),
    ({"b": 1, "a": {"d": [], "c": {}}}, {"sort_keys": True, "indent": 3}),
    # What json refuses, and default hooks.
    ([Color.RED], {}),
    ([object()], {}),
    ([decimal.Decimal("1.5")], {"default": str}),
    ([{1, 2}], {"cls": Encoder}),
    ([{1, 2}], {"cls": OwnEncode}),
    ([1], {"cls": OwnIterencode}),
    ([1], {"foo": 1}),
    ([_circular()], {}),
    ([_self_dict()], {}),
    ([_circular()], {"default": lambda o: o}),
    ([object()], {"default": lambda o: [o]}),
    # Text: escapes, surrogates, every width.
    (["\x00\x1f\x7f\"\\/\b\f\n\r\t", "é", "\u2028", "\ud800", "\U0001f600", "x" * 100000], {}),
    (["\x00\x1f\x7f\"\\/", "é", "\ud800", "\U0001f600"], {"ensure_ascii": False}),
    ([2 ** 200, -(2 ** 64), 0, -0.0, 1e16, 1e-05], {}),
    ([2 ** 63 - 1, -(2 ** 63), 2 ** 63, -(2 ** 63) - 1, 10 ** 18, 2 ** 30, SubInt(2 ** 62), -1], {}),
]


@pytest.mark.parametrize("obj, options", JSON_CASES, ids=range(len(JSON_CASES)))
def test_json_cases(obj, options):
    assert outcome(qjson.dumps, obj, **options) == outcome(json.dumps, obj, **options)


def test_json_dump_writes_the_same_text():
    for obj, options in JSON_CASES[:3] + JSON_CASES[16:17]:
        ours, theirs = io.StringIO(), io.StringIO()
        qjson.dump(obj, ours, **options)
        json.dump(obj, theirs, **options)
        assert ours.getvalue() == theirs.getvalue()


def test_json_deep_nesting_is_a_recursion_error():
    deep: list = []
    for _ in range(200000):
        deep = [deep]
    for check in (True, False):
        with pytest.raises(RecursionError):
            qjson.dumps(deep, check_circular=check)
    with pytest.raises(RecursionError):
        qjson.dumps(_circular(), check_circular=False)


json_leaves = (st.none() | st.booleans() | st.integers() | st.floats()
               | st.text(st.characters(codec=None)))
json_trees = st.recursive(
    json_leaves,
    lambda inner: st.lists(inner, max_size=4) | st.tuples(inner)
    | st.dictionaries(st.text(max_size=5) | st.integers() | st.floats() | st.none()
                      | st.booleans(), inner, max_size=4),
    max_leaves=20)
json_options = st.fixed_dictionaries({}, optional={
    "indent": st.none() | st.integers(0, 3) | st.sampled_from(["", "\t", "ü"]),
    "separators": st.tuples(st.sampled_from([",", ", ", "\n,"]), st.sampled_from([":", ": "])),
    "ensure_ascii": st.booleans(), "allow_nan": st.booleans(), "sort_keys": st.booleans(),
    "skipkeys": st.booleans()})


@settings(max_examples=400, deadline=None)
@given(json_trees, json_options)
def test_json_generated(tree, options):
    assert outcome(qjson.dumps, tree, **options) == outcome(json.dumps, tree, **options)


# The writer keeps the text it wrote for a str key by the key's address,
# while no Python code has run in the call.  Records sharing their key
# objects (as parsed trees do), keys met once, keys needing escapes or too
# long to keep, other key types; then default hooks whose dicts have fresh
# keys, and one that swaps a later record's key for a new str, which may
# take the freed one's address.
class Hooked:
    def __init__(self, n, later=None):
        self.n, self.later = n, later


def _hook(o):
    if o.later is not None:
        o.later.pop(next(iter(o.later)))
        o.later["".join(["new", str(o.n)])] = o.n
    return {"".join(["k", str(o.n + i)]): i for i in range(3)}


def _shared_keys_tree():
    rnd = random.Random(5)
    shared = ["id", "name", 'q"t', "t\tab\n", "\x7f", "é", "ключ", "\U0001f600", "x" * 32,
              "y" * 33, "z" * 29, "", SubStr("sub"), 1, 2.5, None, True]
    records = [{k: i for k in rnd.sample(shared, 8)} | {str(i * 7919): i} for i in range(700)]
    tree: list = [records, {str(i * 31): records[i] for i in range(600)}]
    for n in range(0, 40, 4):
        later = {"".join(["old", str(n)]): n, "id": n}
        tree += [Hooked(n, later), rnd.choice(records), later]
    return tree


@pytest.mark.parametrize("options", JSON_OPTIONS[:4] + [
    {"separators": (",", " => ")}, {"separators": (",", ": " * 5)}, {"skipkeys": True},
    {"ensure_ascii": False, "separators": (",", ":"), "check_circular": False}],
    ids=lambda o: repr(o)[:40])
def test_json_shared_keys(options):
    extra = [{(1, 2): 0, "id": 1}] if options.get("skipkeys") else []
    if options.get("sort_keys"):
        records = _shared_keys_tree()[0]  # keys of one type: sortable
        trees = [[{k: i for k, i in r.items() if isinstance(k, str)} for r in records]]
    else:
        trees = [_shared_keys_tree() + extra for _ in range(2)]
    ours = outcome(qjson.dumps, trees[0], default=_hook, **options)
    assert ours == outcome(json.dumps, trees[-1], default=_hook, **options)
    assert isinstance(ours, str)



# The writer walks an exact dict's table itself, looks a container up on the
# path of open containers only once it holds more than leaves, and counts
# the recursion budget on the thread state: trees that reach each of these
# where they could differ from json, compared with json's outcome.

class Slots:
    def __init__(self):
        self.b, self.a = 1, [2]


def _dict_with_holes():
    d = {str(i): i for i in range(40)}
    for i in range(0, 40, 3):
        del d[str(i)]
    d["new"] = [None]
    return d


def _mutated(action, last=False):
    # A fresh tree whose default hook changes the dict holding the object
    # it converts (last: the object is the dict's last value).
    class Hook:
        pass

    tree = {"a": 1, "h": Hook(), "z": [2], "y": {"w": 3}}
    if last:
        tree["h"] = tree.pop("h")

    def default(o):
        action(tree)
        return "hooked"
    return tree, default


TABLE_CASES = [
    lambda: (_dict_with_holes(), None), lambda: ({1: "a", "b": 2, None: {3: 4}}, None),
    lambda: (Slots().__dict__, None), lambda: (dict.fromkeys(range(50)), None),
    lambda: ({"k" * 16: "v" * 16, "": "", "x" * 17: "\x7f"}, None),
    lambda: _mutated(lambda t: t.pop("z")), lambda: _mutated(lambda t: t.update(late=1)),
    lambda: _mutated(lambda t: t.clear()), lambda: _mutated(lambda t: t.__setitem__("a", t)),
    lambda: _mutated(lambda t: t.update(late=1, later=[2]), last=True),
    lambda: _mutated(lambda t: t.pop("a"), last=True),
]


@pytest.mark.parametrize("case", TABLE_CASES, ids=range(len(TABLE_CASES)))
def test_json_dict_tables_as_json_iterates_them(case):
    for options in ({}, {"indent": 1}, {"check_circular": False}):
        tree, default = case()
        if default is not None and "indent" in options and sys.version_info < (3, 13):
            continue  # json before 3.13 indents through its Python encoder: its own errors
        ours = outcome(qjson.dumps, tree, **options, default=default)
        tree, default = case()
        assert ours == outcome(json.dumps, tree, **options, default=default)


def _short_lists():
    # Lists of up to four items, written at once while all are leaves and
    # from the start by the array writer at the first that is not one
    # (after leaves, beyond ASCII among them, already written).
    looped = [1]
    looped.append(looped)
    return [[[1, 2.5, "\u00e9", None]], [[1, {"a": "\u00fc"}]], [["x", "\u4e2d", [2]]],
            [[1, 2, 3, [4]], [True, False, None, "\U0001f600"]], [[float("nan"), [1]]],
            [[math.inf, 1]], [["\u00e9", Slots()]], [[looped]], [[2 ** 70, 1.5, "\x7f", []]]]


@pytest.mark.parametrize("options", [{}, {"ensure_ascii": False}, {"allow_nan": False},
                                     {"default": repr}, {"check_circular": False,
                                                         "default": repr},
                                     {"separators": ("; ", "= "), "ensure_ascii": False},
                                     {"separators": (" ,\u00e9 ", ":"), "ensure_ascii": False},
                                     {"indent": 2}])
def test_json_short_lists_as_json(options):
    for tree in _short_lists():
        assert outcome(qjson.dumps, tree, **options) == outcome(json.dumps, tree, **options)


@st.composite
def circular_trees(draw):
    # A tree whose containers may hold one of their ancestors (or
    # themselves), with leaves that json refuses in some places, so which
    # error comes first is tested as well.
    leaves = st.sampled_from([0, "s", None, 1.5, float("nan"), 2 ** 70])
    refused = st.sampled_from([object(), {(1,): 0}])
    containers = []

    def build(depth):
        if depth > 3 or draw(st.booleans()):
            return draw(leaves | refused) if draw(st.integers(0, 9)) == 0 else draw(leaves)
        node = [] if draw(st.booleans()) else {}
        containers.append(node)
        for i in range(draw(st.integers(0, 3))):
            child = build(depth + 1)
            if isinstance(node, list):
                node.append(child)
            else:
                node[f"k{i}"] = child
        return node

    root = build(0)
    for _ in range(draw(st.integers(0, 2))):
        if containers:
            target = draw(st.sampled_from(containers))
            ancestor = draw(st.sampled_from(containers))
            if isinstance(target, list):
                target.insert(draw(st.integers(0, len(target))), ancestor)
            else:
                target["cycle"] = ancestor
    return root


@settings(max_examples=300, deadline=None)
@given(circular_trees(), st.booleans())
def test_json_circular_trees(tree, allow_nan):
    assert (outcome(qjson.dumps, tree, allow_nan=allow_nan)
            == outcome(json.dumps, tree, allow_nan=allow_nan))


def test_json_recursion_error_comes_at_json_depth():
    # Around the depth where json's writer gives up, from two depths of
    # the caller's own stack: the same text or the same RecursionError.
    def nested(n, leaf):
        for _ in range(n):
            leaf = [leaf]
        return leaf

    def deepest(dumps, tree_of):
        low, high = 1, 200000
        while low < high:
            mid = (low + high + 1) // 2
            try:
                dumps(tree_of(mid))
                low = mid
            except RecursionError:
                high = mid - 1
        return low

    def at_depth(frames, fn):
        return fn() if frames == 0 else at_depth(frames - 1, fn)

    for frames in (0, 40):
        for tree_of in (lambda n: nested(n, 1), lambda n: nested(n, {"a": [1.5]}),
                        lambda n: nested(n, {"a": []}), lambda n: nested(n, {})):
            ours = at_depth(frames, lambda: deepest(qjson.dumps, tree_of))
            theirs = at_depth(frames, lambda: deepest(json.dumps, tree_of))
            assert ours == theirs


# ---------------------------------------------------------------- TOML

TOML_OPTIONS = [{}, {"multiline_strings": True}, {"indent": 2}, {"indent": 0}]


def _toml_trees():
    for path in sorted(data_path("bench", "toml").glob("*.toml")):
        yield path.name, tomllib.loads(path.read_text(encoding="utf-8"))


@pytest.mark.parametrize("options", TOML_OPTIONS, ids=repr)
def test_toml_real_trees(options):
    for name, tree in _toml_trees():
        text = qtoml.dumps(tree, **options)
        assert text == tomli_w.dumps(tree, **options), name
        assert qtoml.loads(text) == tree


class SubMapping(dict):
    pass




def _mapping_proxy(d):
    import types
    return types.MappingProxyType(d)


TOML_CASES = [
    ({"a": [{"x": 1}, {"y": 2}], "b": [{"z": "w" * 90}], "c": [{"n": [1]}]}, {}),
    ({"t": {"u": {"v": {}}}, "e": {}, "l": [], "d": {"k": 1, "s": {"q": 2}}}, {}),
    ({"k-_9": 1, "": 2, "a.b": 3, "é": 4, "sp ace": 5, "q\"": 6}, {}),
    ({"s": "a\r\nb\rc\n\"\"\"\\\x00\x7f\t\x1b\u2028\ud800"}, {"multiline_strings": True}),
    ({"s": "a\r\nb\x08\x0c"}, {}),
    ({"f": [1.5, -0.0, float("inf"), float("-inf"), float("nan"), 1e300, True, 10 ** 30]}, {}),
    ({"d": [dt.date(2024, 1, 2), dt.datetime(2024, 1, 2, 3, 4, 5, 6),
            dt.datetime(2024, 1, 2, tzinfo=dt.timezone(dt.timedelta(hours=-5))),
            dt.time(1, 2, 3, 4)]}, {}),
    ({"t": dt.time(1, 2, tzinfo=dt.timezone.utc)}, {}),
    ({"x": [decimal.Decimal("1"), decimal.Decimal("-1.50"), decimal.Decimal("1E+3"),
            decimal.Decimal("nan"), decimal.Decimal("-inf"), decimal.Decimal("inf")]}, {}),
    ({"n": None}, {}),
    ({"n": [1, {"a": None}]}, {}),
    ({1: 2}, {}),
    ({"a": {None: 1}}, {}),
    ({"a": object()}, {}),
    ({"e": Color.RED}, {}),
    ({"e": [Number.ONE, Real.HALF, Name.A, SubFloat(2.5), SubStr("x")]}, {}),
    ({"m": SubMapping(a=1), "p": _mapping_proxy({"b": {"c": 2}}),
      "q": [_mapping_proxy({"z": 1})]}, {}),
    ({"a": [[1, [2, {"x": [3, [4]]}]], []]}, {"indent": 3}),
    ({"a": 1}, {"indent": -1}),
    ([("a", 1)], {}),
    ({"aot": [{"a": [{"b": {"c": [{"d": 1}] * 2}}] * 2}] * 2}, {}),
]


@pytest.mark.parametrize("obj, options", TOML_CASES, ids=range(len(TOML_CASES)))
def test_toml_cases(obj, options):
    assert outcome(qtoml.dumps, obj, **options) == outcome(tomli_w.dumps, obj, **options)


def test_toml_dump_writes_utf8_bytes():
    tree = {"a": "é", "b": [1, 2]}
    out = io.BytesIO()
    qtoml.dump(tree, out, indent=1)
    assert out.getvalue() == tomli_w.dumps(tree, indent=1).encode()


def test_toml_deep_and_circular_trees_are_recursion_errors():
    deep: dict = {}
    for _ in range(100000):
        deep = {"a": deep}
    d: dict = {}
    d["d"] = [d]
    for tree in (deep, d, {"x": _circular()}):
        with pytest.raises(RecursionError):
            qtoml.dumps(tree)


toml_keys = st.text(max_size=6)
toml_leaves = (st.booleans() | st.integers() | st.floats() | st.text()
               | st.dates() | st.datetimes() | st.times()
               | st.datetimes(timezones=st.timezones()) | st.decimals())
toml_values = st.recursive(
    toml_leaves,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(toml_keys, inner, max_size=4),
    max_leaves=25)
toml_trees = st.dictionaries(toml_keys, toml_values | st.lists(
    st.dictionaries(toml_keys, toml_values, max_size=3), min_size=1, max_size=3), max_size=6)


@settings(max_examples=400, deadline=None)
@given(toml_trees, st.booleans(), st.integers(0, 4))
def test_toml_generated(tree, multiline, indent):
    options = {"multiline_strings": multiline, "indent": indent}
    assert outcome(qtoml.dumps, tree, **options) == outcome(tomli_w.dumps, tree, **options)


# TOML's own values only (no Decimal, no offset times), which read back as
# the same tree.
round_trip_leaves = (st.booleans() | st.integers() | st.floats(allow_nan=False)
                     | st.text(st.characters(exclude_categories=("Cs",)))
                     | st.dates() | (st.datetimes() | st.times() | st.datetimes(
                         timezones=st.sampled_from([dt.timezone.utc, dt.timezone(
                             dt.timedelta(hours=5, minutes=30))]))).map(
                                 lambda t: t.replace(fold=0)))
round_trip_trees = st.dictionaries(toml_keys, st.recursive(
    round_trip_leaves,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(toml_keys, inner, max_size=4),
    max_leaves=25), max_size=6)


@settings(max_examples=300, deadline=None)
@given(round_trip_trees, st.booleans())
def test_toml_round_trip(tree, multiline):
    # Multi-line strings are written with LF for CRLF, as tomli-w does.
    multiline = multiline and "\\r" not in repr(tree)
    back = qtoml.loads(qtoml.dumps(tree, multiline_strings=multiline))
    assert back == tree
    # Types, float bits and zones (repr shows them).  The layout writes a
    # table's plain values before its sub-tables, so only the order within
    # each of the two groups is kept.
    assert repr(_grouped(back)) == repr(_grouped(tree))


def _grouped(v):
    if isinstance(v, dict):
        return [(k, _grouped(x)) for k, x in sorted(v.items(), key=lambda kv: kv[0])]
    if isinstance(v, list):
        return [_grouped(x) for x in v]
    return v


# ---------------------------------------------------------------- INI

INI_OPTIONS = {
    "docker-cnf": {"strict": False, "allow_no_value": True},
    "editorconfig": {"strict": False, "allow_no_value": True, "allow_unnamed_section": True},
    "gitconfig": {"strict": False, "allow_no_value": True},
    "my-cnf": {"strict": False, "allow_no_value": True},
    "ppsspp": {"strict": False, "allow_no_value": True},
}


def configparser_writes(tree, *, space_around_delimiters=True, allow_no_value=False,
                        default_section="DEFAULT", delimiters=("=", ":")):
    """What configparser's write() gives for a parser holding the tree, each
    section added with add_section and each value with set (keys kept)."""
    parser = configparser.ConfigParser(interpolation=None, allow_no_value=allow_no_value,
                                       default_section=default_section, delimiters=delimiters)
    parser.optionxform = str
    for name, section in tree.items():
        if name is getattr(configparser, "UNNAMED_SECTION", None):
            # Only reading makes this section; its place is what matters.
            parser._sections[name] = parser._dict()
        elif name != parser.default_section:
            parser.add_section(name)
        for key, value in section.items():
            parser.set(name, key, value)
    out = io.StringIO()
    parser.write(out, space_around_delimiters)
    return out.getvalue()


def test_ini_real_trees():
    for path in sorted(data_path("bench", "ini").glob("*")):
        options = next((v for k, v in INI_OPTIONS.items() if path.name.startswith(k)), {})
        tree = qini.loads(path.read_bytes(), **options)
        allow = options.get("allow_no_value", False)
        for space in (True, False):
            text = qini.dumps(tree, space_around_delimiters=space, allow_no_value=allow)
            assert text == configparser_writes(tree, space_around_delimiters=space,
                                               allow_no_value=allow), path.name
            assert qini.loads(text, **options) == tree


INI_CASES = [
    ({"a": {"k": "v\nw\n\nx"}, "DEFAULT": {"d": "1"}, "b": {}}, {}),
    ({"DEFAULT": {}, "s": {"k": None, "e": ""}}, {"allow_no_value": True}),
    ({"s": {"k": None}}, {}),
    ({"s": {"k": 1}}, {}),
    ({"s": {"k": {"nested": "dict"}}}, {}),
    ({"s": {1: "v"}}, {}),
    ({1: {"k": "v"}}, {}),
    ({"s": {"k": SubStr("v")}, SubStr("t"): {SubStr("k"): "é\n€\U0001f600"}}, {}),
    ({"GENERAL": {"k": "v"}, "s": {}}, {"default_section": "GENERAL"}),
    ({"s": {"k": "v"}}, {"space_around_delimiters": False}),
    # A tree of plain dicts is checked in place until something needs
    # converting: the errors stay configparser's, in its order.
    ({"a": {"k": "v", "j": SubStr("w")}, "b": {"k": 1}}, {}),
    ({"a": {"k": 1}, "b": {"k": SubStr("v")}}, {}),
    ({"a": {"k": SubStr("v"), "j": 1}}, {}),
    ({"a": {"k": "v"}, "b": types.MappingProxyType({"k": "v"}), "DEFAULT": {"d": "1"}}, {}),
    # Delimiters of the caller's: the first is written, none may be in a key.
    ({"s": {"k=x": "v", "é": "w"}}, {"delimiters": [":"]}),
    ({"s": {"k:x": "v"}}, {"delimiters": ("=>", "="), "space_around_delimiters": False}),
    ({"s": {"k": "v", "kü": "w", "k€": "x"}}, {"delimiters": ("é",)}),
    ({"s": {"k": "v"}}, {"delimiters": ("=", ":"), "default_section": "s"}),
]


@pytest.mark.parametrize("tree, options", INI_CASES, ids=range(len(INI_CASES)))
def test_ini_cases(tree, options):
    assert outcome(qini.dumps, tree, **options) == outcome(configparser_writes, tree, **options)


@pytest.mark.parametrize("call", [
    lambda: qini.dumps(), lambda: qini.dumps({}, {}), lambda: qini.dumps(tree={}),
    lambda: qini.dumps({}, indent=2), lambda: qini.dumps({}, delimiters=[1]),
    lambda: qini.dumps({}, default_section=None), lambda: qini.dumps({}, delimiters=3),
])
def test_ini_dumps_refuses_calls_its_signature_refuses(call):
    with pytest.raises(TypeError):
        call()


def test_ini_unnamed_section_comes_after_the_defaults():
    tree = {"s": {"a": "1"}, configparser.UNNAMED_SECTION: {"top": "x"}, "DEFAULT": {"d": "2"}}
    assert qini.dumps(tree) == configparser_writes(tree)
    assert qini.dumps(tree) == "[DEFAULT]\nd = 2\n\ntop = x\n\n[s]\na = 1\n\n"


@pytest.mark.parametrize("tree, message", [
    ({"s": {"a=b": "v"}}, "Cannot write key a=b; contains delimiter ="),
    ({"s": {"a:b": "v"}}, "Cannot write key a:b; contains delimiter :"),
    ({"s": {"[x]": "v"}}, "Cannot write key [x]; begins with section pattern"),
    ({"": {"k": "v"}}, "Invalid section name: ''"),
])
def test_ini_refuses_what_would_not_read_back(tree, message):
    # configparser writes these, and its reader then sees another key, a
    # section header, or no header at all.
    with pytest.raises(ValueError, match=message.replace("[", r"\[")):
        qini.dumps(tree)


ini_text = st.text(st.characters(exclude_categories=("Cs", "Zs", "Zl", "Zp", "Cc")),
                   min_size=1, max_size=8)
ini_keys = ini_text.filter(lambda k: not any(c in k for c in "=:[#;") and k == k.strip()
                           and k.lower() == k)
# configparser skips continuation lines that read as comments.
ini_values = st.lists(ini_text.filter(lambda v: v == v.strip() and v[0] not in "#;"),
                      max_size=3).map("\n".join)
ini_trees = st.dictionaries(ini_text.filter(lambda s: "]" not in s and s != "DEFAULT"),
                            st.dictionaries(ini_keys, ini_values, max_size=4), max_size=4)


@settings(max_examples=300, deadline=None)
@given(ini_trees, st.booleans())
def test_ini_generated(tree, space):
    text = qini.dumps(tree, space_around_delimiters=space)
    assert text == configparser_writes(tree, space_around_delimiters=space)
    assert qini.loads(text) == {"DEFAULT": {}, **tree}


# ---------------------------------------------------------------- the package face

def test_package_dumps_and_dump(tmp_path):
    tree = {"server": {"port": 8080, "hosts": ["a", "é"]}}
    assert quorvane.dumps(tree, "toml") == tomli_w.dumps(tree)
    assert quorvane.dumps(tree, "json") == json.dumps(tree, indent=2, ensure_ascii=False) + "\n"
    ini_tree = {"server": {"port": "8080"}}
    assert quorvane.dumps(ini_tree, "ini") == qini.dumps(ini_tree)
    for name, fmt, value in [("a.toml", "toml", tree), ("a.json", "json", tree),
                             ("a.cfg", "ini", ini_tree)]:
        quorvane.dump(value, tmp_path / name)
        assert (tmp_path / name).read_text(encoding="utf-8") == quorvane.dumps(value, fmt)
    text = io.StringIO()
    quorvane.dump(tree, text, format="json")
    assert json.loads(text.getvalue()) == tree
    with pytest.raises(ValueError, match="unknown format"):
        quorvane.dumps(tree, "yaml")
    with pytest.raises(ValueError, match="format="):
        quorvane.dump(tree, io.BytesIO())
    with pytest.raises(TypeError, match="is not TOML serializable"):
        quorvane.dump({"a": object()}, tmp_path / "b.toml")
    assert not (tmp_path / "b.toml").exists()


def test_real_trees_round_trip_through_every_writer():
    for name, tree in _json_trees():
        assert quorvane.loads(quorvane.dumps(tree, "json"), "json") == tree, name
    for name, tree in _toml_trees():
        assert quorvane.loads(quorvane.dumps(tree, "toml"), "toml") == tree, name




def test_cli_prints_a_file_in_another_format(tmp_path, capsys):
    from quorvane._cli import main
    src = tmp_path / "settings.json"
    src.write_text('{"server": {"port": 8080, "hosts": ["a", "b"]}}', encoding="utf-8")
    assert main(["--to", "toml", str(src)]) == 0
    out = capsys.readouterr().out
    assert out == tomli_w.dumps({"server": {"port": 8080, "hosts": ["a", "b"]}})
    assert main(["--to", "ini", str(src)]) == 2  # an int is no INI value
    assert "cannot print the tree as INI: option values must be strings" in capsys.readouterr().err
    ini = tmp_path / "setup.cfg"
    ini.write_text("[metadata]\nname = x\n", encoding="utf-8")
    assert main(["--to", "ini", str(ini)]) == 0
    assert capsys.readouterr().out == "[metadata]\nname = x\n\n"


# A thread with a small stack reaches its end long before the interpreter's
# recursion limit: the writers end there with a RecursionError, not a crash.
@pytest.mark.parametrize("dumps", [qtoml.dumps, qjson.dumps],
                         ids=["toml", "json"])
def test_deep_trees_in_a_small_thread_stack_are_recursion_errors(dumps):
    deep: dict = {}
    for _ in range(400):  # 800 calls: under the recursion limit
        deep = {"a": [deep]}
    assert isinstance(in_thread(64, lambda: dumps(deep)), RecursionError)
