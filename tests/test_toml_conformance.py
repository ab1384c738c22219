"""The toml-test suite: every TOML 1.0 file, with the expected JSON.

Date-times are kept as their text, so a date-time's expected value is
compared as its string.  Files where this parser's defined behaviour differs
from TOML 1.0 are listed below by reason; each must still show that
difference, and every other file must pass.
"""

from __future__ import annotations

import json
import math

import pytest

from _quorvane import parse_toml
from _util import DATA, data_path

SUITE = DATA / "conformance" / "toml" / "tests"
LISTING = SUITE / "files-toml-1.0.0"


def examples_folder() -> str:
    """The suite keeps the examples of the TOML 1.0 document in a folder of
    their own, named after that version; the list below reaches them here."""
    if LISTING.exists():
        for name in LISTING.read_text().split():
            folder = name.split("/")[1]
            if folder.endswith("-1.0.0"):
                return folder
    return "examples-1.0.0"


EX = examples_folder()

DIFFERENCES: dict[str, list[str]] = {
    # Date-times are kept as the text of their token and never normalised.
    "date-time text is not normalised": [
        "valid/datetime/milliseconds.toml",
    ],
    # A token ends at a space, so the time is left as a stray statement.
    "space between date and time": [
        "valid/datetime/datetime.toml", "valid/datetime/edge.toml",
        "valid/datetime/leap-year.toml", "valid/datetime/local.toml",
        f"valid/{EX}/offset-date-time-1.toml",
    ],
    # Date-time tokens are recognised by shape only; fields are not checked.
    "date-times are not validated": [
        f"invalid/datetime/{n}.toml" for n in (
            "day-zero", "feb-29", "feb-30", "hour-over", "leading-zero-datetime",
            "mday-over", "mday-under", "minute-over", "month-over", "month-under",
            "no-date-time-sep", "no-leads", "no-leads-month", "no-leads-with-milli",
            "no-secs", "no-t", "offset-minus-minute-1digit",
            "offset-minus-no-hour-minute", "offset-minus-no-hour-minute-sep",
            "offset-minus-no-minute", "offset-plus-minute-1digit",
            "offset-plus-no-hour-minute", "offset-plus-no-hour-minute-sep",
            "offset-plus-no-minute", "second-over", "second-trailing-dot",
            "second-trailing-dotz", "time-no-leads", "trailing-x")
    ] + [
        f"invalid/local-date/{n}.toml" for n in (
            "feb-29", "feb-30", "mday-over", "mday-under", "month-over",
            "month-under", "trailing-t")
    ] + [
        f"invalid/local-datetime/{n}.toml" for n in (
            "feb-29", "feb-30", "hour-over", "mday-over", "mday-under",
            "minute-over", "month-over", "month-under", "no-leads",
            "no-leads-with-milli", "no-secs", "no-t", "second-over", "time-no-leads")
    ] + [
        f"invalid/local-time/{n}.toml" for n in (
            "hour-over", "minute-over", "no-secs", "second-over", "time-no-leads-01",
            "time-no-leads-02", "trailing-dot", "trailing-dotdot")
    ],
    # Floats convert as C strtod does once '_' is dropped: no rule on dots,
    # leading zeros or underscore places.
    "lenient floats": [
        f"invalid/float/{n}.toml" for n in (
            "exp-dot-02", "exp-dot-03", "exp-double-us", "exp-leading-us",
            "exp-trailing-us", "exp-trailing-us-01", "exp-trailing-us-02",
            "leading-dot-neg", "leading-dot-plus", "leading-zero", "leading-zero-neg",
            "leading-zero-plus", "trailing-dot", "trailing-dot-01", "trailing-dot-02",
            "trailing-dot-min", "trailing-dot-plus", "trailing-us",
            "trailing-us-exp-01", "trailing-us-exp-02", "us-after-dot",
            "us-before-dot")
    ],
    # The base prefix letter is accepted in either case.
    "upper-case base prefixes": [
        "invalid/integer/capital-bin.toml", "invalid/integer/capital-hex.toml",
        "invalid/integer/capital-oct.toml",
    ],
    # Header paths never pass through an array of tables.
    "no sub-table under an array-of-tables element": [
        "valid/array/array-subtables.toml", f"valid/{EX}/array-of-tables-1.toml",
        "valid/table/array-nest.toml", "valid/table/array-table-array.toml",
    ],
    # Every proper prefix of a header is recorded as an implicit table.
    "no super-table after its sub-table": [
        "valid/array/open-parent-table.toml", "valid/implicit-and-explicit-after.toml",
        f"valid/{EX}/table-4.toml",
        "valid/table/array-implicit-and-explicit-after.toml",
        "valid/table/without-super.toml", "valid/table/without-super-with-values.toml",
    ],
    # Inline-table keys are single keys.
    "no dotted keys in inline tables": [
        f"valid/inline-table/key-dotted-0{i}.toml" for i in range(1, 8)
    ] + [f"valid/{EX}/inline-table-0.toml"],
    # The table model records only the key of a line, not what its inline
    # table holds, and inline tables keep the last of a repeated key.
    "inline tables are open": [
        "invalid/inline-table/duplicate-key-01.toml",
        "invalid/inline-table/overwrite-02.toml",
        "invalid/inline-table/overwrite-05.toml",
        f"invalid/{EX}/inline-table-2-0.toml",
    ],
    # Line ends are blanks inside key paths, headers and inline tables, and
    # between an '=' and its value.
    "line ends inside inline tables and keys": [
        "invalid/inline-table/linebreak-01.toml", "invalid/inline-table/linebreak-02.toml",
        "invalid/inline-table/linebreak-03.toml", "invalid/inline-table/linebreak-04.toml",
        "invalid/key/newline-01.toml", "invalid/key/newline-06.toml",
        "invalid/table/newline-01.toml", "invalid/table/newline-03.toml",
        "invalid/table/newline-05.toml",
    ],
    # A statement ends where its last token ends.
    "no end-of-line rule": [
        "invalid/key/after-array.toml", "invalid/key/after-table.toml",
        "invalid/key/after-value.toml", "invalid/key/no-eol-01.toml",
        "invalid/key/no-eol-03.toml", "invalid/key/no-eol-04.toml",
        "invalid/key/no-eol-05.toml",
    ],
    # The first three quotes close a multi-line string.
    "quotes before a closing delimiter": [
        "valid/string/multiline-quotes.toml", f"valid/{EX}/string-4.toml",
        f"valid/{EX}/string-7.toml", "valid/string/raw-multiline.toml",
    ],
    # Only a line end may follow a line-ending backslash.
    "blanks after a line-ending backslash": [
        "valid/string/ends-in-whitespace-escape.toml", "valid/string/multiline.toml",
        "valid/string/multiline-empty.toml",
    ],
    "byte order mark": ["valid/utf8-bom-01.toml", "valid/utf8-bom-02.toml"],
    # Comments and literal strings are not inspected for control bytes, DEL
    # is allowed in strings, and a lone carriage return is a line end.
    "control bytes": [
        f"invalid/control/{n}.toml" for n in (
            "bare-cr", "comment-cr", "comment-del", "comment-ff", "comment-lf",
            "comment-null", "comment-us", "multi-del", "rawmulti-del", "rawmulti-lf",
            "rawmulti-null", "rawmulti-us", "rawstring-del", "rawstring-lf",
            "rawstring-null", "rawstring-us", "string-del")
    ],
    # Strings and keys are decoded as strict UTF-8; comments are not decoded.
    "bytes of comments are not decoded": [
        "invalid/encoding/bad-utf8-in-comment.toml",
        "invalid/encoding/bad-codepoint.toml",
    ],
}

DIFFERENT = {f: reason for reason, files in DIFFERENCES.items() for f in files}


def suite_files() -> list[str]:
    if not LISTING.exists():
        return []
    names = [n for n in LISTING.read_text().split() if n.endswith(".toml")]
    return sorted(set(names))


def typed(value):
    """The tree in the suite's typed JSON form."""
    if isinstance(value, dict):
        return {k: typed(v) for k, v in value.items()}
    if isinstance(value, list):
        return [typed(v) for v in value]
    if isinstance(value, bool):
        return {"type": "bool", "value": "true" if value else "false"}
    if isinstance(value, int):
        return {"type": "integer", "value": str(value)}
    if isinstance(value, float):
        return {"type": "float", "value": float_text(value)}
    return {"type": "string", "value": value}


def float_text(f: float) -> str:
    if math.isnan(f):
        return "nan"
    if math.isinf(f):
        return "inf" if f > 0 else "-inf"
    return repr(f)


def expected(node):
    if isinstance(node, dict) and set(node) == {"type", "value"} and isinstance(node["value"], str):
        kind, text = node["type"], node["value"]
        if kind.startswith(("datetime", "date-", "time-")):
            return {"type": "string", "value": text}
        if kind == "float":
            return {"type": "float", "value": float_text(float(text))}
        if kind == "integer":
            return {"type": "integer", "value": str(int(text))}
        return node
    if isinstance(node, dict):
        return {k: expected(v) for k, v in node.items()}
    if isinstance(node, list):
        return [expected(v) for v in node]
    return node


def outcome(name: str):
    """(True, typed tree) when parsed, (False, error) when refused."""
    try:
        return True, typed(parse_toml((SUITE / name).read_bytes()))
    except (ValueError, UnicodeDecodeError) as e:  # UnicodeDecodeError is a ValueError
        return False, e


@pytest.mark.parametrize("name", suite_files())
def test_suite_file(name):
    data_path("conformance", "toml", "tests", name)
    parsed, got = outcome(name)
    if name.startswith("valid/"):
        want = expected(json.loads((SUITE / name).with_suffix(".json").read_text()))
        agrees = parsed and got == want
    else:
        agrees = not parsed
    if name in DIFFERENT:
        assert not agrees, f"{name} now agrees with TOML 1.0: drop it from the list"
    else:
        assert agrees, got


def test_difference_list_names_real_files():
    names = set(suite_files())
    if not names:
        pytest.skip("conformance suite not available")
    assert set(DIFFERENT) <= names
    assert sum(map(len, DIFFERENCES.values())) == len(DIFFERENT)
