"""The JSON reader against a public conformance corpus and against the
interpreter's own json module on generated documents."""

from __future__ import annotations

import json

import pytest
from _util import data_path
from hypothesis import given, settings
from hypothesis import strategies as st

import _quorvane
from checks import same

parse = _quorvane.parse_json


def _corpus(prefix: str) -> list:
    try:
        folder = data_path("conformance", "json", "test_parsing")
    except pytest.skip.Exception:
        return [pytest.param(None, marks=pytest.mark.skip(reason="corpus not available"))]
    return sorted(p for p in folder.iterdir() if p.name.startswith(prefix))


def _ids(p):
    return getattr(p, "name", "none")


@pytest.mark.parametrize("path", _corpus("y_"), ids=_ids)
def test_accepted_documents_parse(path):
    data = path.read_bytes()
    assert parse(data) == json.loads(data)


@pytest.mark.parametrize("path", _corpus("n_"), ids=_ids)
def test_refused_documents_raise(path):
    with pytest.raises(ValueError):
        parse(path.read_bytes())


@pytest.mark.parametrize("path", _corpus("i_"), ids=_ids)
def test_undecided_documents_do_not_crash(path):
    data = path.read_bytes()
    try:
        got = parse(data)
    except ValueError:
        return
    assert got == json.loads(data)


# Text that the interpreter's UTF-8 encoder accepts: no lone surrogates.
_text = st.text(st.characters(exclude_categories=("Cs",)), max_size=20)
_scalars = (
    st.none()
    | st.booleans()
    | st.integers(min_value=-(10**40), max_value=10**40)
    | st.floats(allow_nan=False, allow_infinity=False)
    | _text
)
_values = st.recursive(
    _scalars,
    lambda inner: st.lists(inner, max_size=6) | st.dictionaries(_text, inner, max_size=6),
    max_leaves=40,
)


@settings(max_examples=400, deadline=None)
@given(_values, st.sampled_from([None, 1, 2]), st.booleans())
def test_same_tree_as_json_module(value, indent, ascii_only):
    text = json.dumps(value, indent=indent, ensure_ascii=ascii_only)
    assert same(parse(text), json.loads(text))
    assert same(parse(text.encode()), json.loads(text))
