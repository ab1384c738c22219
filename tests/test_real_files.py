"""Every real file of the benchmarks reads by default, by its name, as the
standard library reads it: tomllib for TOML, json for JSON, and
configparser (interpolation=None) with the options the table gives that
kind of file for INI."""

from __future__ import annotations

import configparser
import json
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

import quorvane
from quorvane._formats import format_for_path

from _util import DATA, data_path
from checks import same

FAMILIES = ("toml", "ini", "json")
# The benchmark files are named KIND_ORIGIN.EXT.  Where KIND stands for a
# well-known file, the file is read under that name; the others are files
# of their suffix under any name (php.ini, ja_JP.ini, caddy.service, ...).
REAL_NAMES = {
    "cargo-lock": "Cargo.lock", "cargo-toml": "Cargo.toml", "poetry-lock": "poetry.lock",
    "uv-lock": "uv.lock", "pyproject": "pyproject.toml",
    "setup-cfg": "setup.cfg", "tox": "tox.ini", "mypy": "mypy.ini", "pylintrc": "pylintrc",
    "editorconfig": ".editorconfig", "gitconfig": ".gitconfig", "my-cnf": "my.cnf",
    "docker-cnf": "docker.cnf", "smb-conf-default": "smb.conf",
}
FILES = sorted(p for family in FAMILIES for p in (DATA / "bench" / family).glob("*"))


def real_name(path: Path) -> str:
    return REAL_NAMES.get(path.name.partition("_")[0], path.name)


def text_of(data: bytes) -> str:
    return data.decode("utf-16") if data.startswith(b"\xff\xfe") else data.decode("utf-8")


def reference(family: str, text: str, options: dict) -> object:
    if family == "toml":
        return tomllib.loads(text)
    if family == "json":
        return json.loads(text)
    options = dict(options)
    cp = configparser.ConfigParser(interpolation=None, **{
        k: v for k, v in options.items() if k != "keep_case"})
    if options.get("keep_case"):
        cp.optionxform = str  # type: ignore[assignment, method-assign]
    cp.read_string(text)
    return {name: dict(cp[name]) for name in cp}


@pytest.mark.parametrize("path", FILES, ids=lambda p: p.name)
def test_reads_by_name_as_the_standard_library(path):
    family = path.parent.name
    fmt, options = format_for_path(real_name(path))
    assert fmt == family
    data = path.read_bytes()
    tree = quorvane.load(path, fmt, **options)
    assert same(tree, reference(family, text_of(data), options))


def test_the_command_line_checks_every_file_by_default(tmp_path):
    data_path("bench")
    names = []
    for i, path in enumerate(FILES):
        copy = tmp_path / str(i) / real_name(path)
        copy.parent.mkdir()
        copy.write_bytes(path.read_bytes())
        names.append(str(copy))
    assert len(names) == 42
    # Under their real names, and as the benchmarks name them.
    for group in (names, [str(p) for p in FILES]):
        proc = subprocess.run([sys.executable, "-m", "quorvane", "--check", *group],
                              capture_output=True, text=True, timeout=120)
        assert (proc.returncode, proc.stderr) == (0, "")
