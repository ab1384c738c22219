"""The toml-test suite against quorvane.toml: every file listed for TOML 1.1
read at "1.1", every file listed for TOML 1.0 read at "1.0".  A valid file
must give its expected JSON (date-times compared as typed values), an
invalid one must raise TOMLDecodeError."""

from __future__ import annotations

import datetime
import io
import json
import math
import struct

import pytest

import quorvane.toml as qtoml
from _util import DATA

SUITE = DATA / "conformance" / "toml" / "tests"
VERSIONS = {"1.0": "files-toml-1.0.0", "1.1": "files-toml-1.1.0"}


def listed(version: str) -> list[str]:
    listing = SUITE / VERSIONS[version]
    if not listing.exists():
        return []
    return sorted({n for n in listing.read_text().split() if n.endswith(".toml")})


CASES = [(v, name) for v in VERSIONS for name in listed(v)]


KINDS = {bool: "bool", int: "integer", float: "float", str: "string",
         datetime.date: "date-local", datetime.time: "time-local"}


def typed(value):
    """The tree in the suite's typed form, with values kept as Python objects."""
    if isinstance(value, (dict, list)):
        items = value.items() if isinstance(value, dict) else enumerate(value)
        out = {k: typed(v) for k, v in items}
        return out if isinstance(value, dict) else list(out.values())
    if type(value) is float:
        return ("float", "nan" if math.isnan(value) else struct.pack("<d", value))
    if type(value) is datetime.datetime:
        kind = "datetime" if value.tzinfo is not None else "datetime-local"
        return (kind, value, value.utcoffset())
    return (KINDS[type(value)], value)


def expected(node):
    if isinstance(node, list):
        return [expected(v) for v in node]
    if set(node) == {"type", "value"} and isinstance(node["value"], str):
        kind, text = node["type"], node["value"]
        if kind == "bool":
            return ("bool", text == "true")
        if kind == "integer":
            return ("integer", int(text))
        if kind == "float":
            f = float(text)
            return ("float", "nan" if math.isnan(f) else struct.pack("<d", f))
        if kind in ("datetime", "datetime-local"):
            dt = datetime.datetime.fromisoformat(text.upper().replace("Z", "+00:00"))
            return (kind, dt, dt.utcoffset())
        if kind == "date-local":
            return (kind, datetime.date.fromisoformat(text))
        if kind == "time-local":
            return (kind, datetime.time.fromisoformat(text))
        return (kind, text)
    return {k: expected(v) for k, v in node.items()}


@pytest.mark.parametrize(("version", "name"), CASES)
def test_suite_file(version, name):
    data = (SUITE / name).read_bytes()
    if name.startswith("valid/"):
        got = qtoml.load(io.BytesIO(data), toml_version=version)
        want = json.loads((SUITE / name).with_suffix(".json").read_text(encoding="utf-8"))
        assert typed(got) == expected(want)
    else:
        with pytest.raises(qtoml.TOMLDecodeError):
            qtoml.load(io.BytesIO(data), toml_version=version)


def test_both_listings_present():
    if not SUITE.exists():
        pytest.skip("conformance suite not available")
    assert len(listed("1.0")) > 700 and len(listed("1.1")) > 700
