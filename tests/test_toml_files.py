"""Real-world TOML documents: each parses as tomllib reads it, except six
that use what this dialect refuses by design, refused at the right place;
and all of them read by the standard reader as the peers read them."""

from __future__ import annotations

import tomllib

import pytest

from _quorvane import parse_toml
from _util import DATA, data_path, position_error

REFUSED = {
    # [[package]] then [package.dependencies]: no sub-table under an element.
    "poetry-lock_poetry.toml": (16, 1, "cannot extend a key as a table"),
    "uv-lock_pytest.toml": (521, 1, "cannot extend a key as a table"),
    # [[cascade]] then an indented [cascade.params]: reported where the next
    # statement begins.
    "hugo-config_hugoDocs.toml": (32, 5, "cannot extend a key as a table"),
    "netlify_hugoDocs.toml": (31, 5, "cannot extend a key as a table"),
    # [dependencies.alacritty_config] then [dependencies].
    "cargo-toml_alacritty.toml": (26, 1, "cannot redefine implicitly created table"),
    # config.deno.enable = true inside an inline table.
    "helix-languages_helix.toml": (39, 50, "expected '=' in inline table"),
}

FILES = sorted(p.name for p in (DATA / "bench" / "toml").glob("*.toml"))


@pytest.mark.parametrize("name", FILES)
def test_real_world_file(name):
    text = data_path("bench", "toml", name).read_text(encoding="utf-8")
    if name in REFUSED:
        assert position_error(parse_toml, text) == REFUSED[name]
    else:
        assert parse_toml(text) == tomllib.loads(text)
        assert parse_toml(text.encode()) == parse_toml(text)


def test_refused_files_are_present():
    if not FILES:
        pytest.skip("bench data not available")
    assert set(REFUSED) <= set(FILES)


@pytest.mark.parametrize("name", FILES)
def test_real_world_file_as_standard_toml(name):
    # Every real file is standard TOML: the standard reader gives the peers'
    # tree at both versions, types, key order and float bits included.
    import quorvane.toml
    from checks import same

    tomli = pytest.importorskip("tomli")
    text = data_path("bench", "toml", name).read_text(encoding="utf-8")
    assert same(quorvane.toml.loads(text), tomli.loads(text))
    assert same(quorvane.toml.loads(text, toml_version="1.0"), tomllib.loads(text))
