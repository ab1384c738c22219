"""The command-line tool, run as a subprocess."""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest


def run(*args: str, stdin: bytes = b"", env: dict[str, str] | None = None):
    full_env = {k: v for k, v in os.environ.items() if k != "NO_COLOR"}
    full_env.update(env or {})
    proc = subprocess.run([sys.executable, "-m", "quorvane", *args], input=stdin,
                          capture_output=True, env=full_env, timeout=60)
    return proc.returncode, proc.stdout.decode(), proc.stderr.decode()


@pytest.fixture
def files(tmp_path: Path) -> dict[str, Path]:
    docs = {
        "good.ini": "[server]\nport = 8080\n",
        "good.json": '{"ratio": 1e999, "n": [1, 2]}',
        "good.toml": "title = 'x'\n[owner]\nname = 'Tom'\n",
        "bad.ini": "[server]\n\tcaf\u00e9 \u65e5\u672c\n",
        "bad.toml": "a = 1\na = 2\n",
    }
    out = {}
    for name, text in docs.items():
        out[name] = tmp_path / name
        out[name].write_text(text, encoding="utf-8")
    return out


def test_single_file_prints_its_tree(files):
    code, out, err = run(str(files["good.ini"]))
    assert (code, err) == (0, "")
    assert json.loads(out) == {"DEFAULT": {}, "server": {"port": "8080"}}
    assert out.startswith("{\n  ")


def test_several_files_map_paths_to_trees(files):
    code, out, _ = run(str(files["good.ini"]), str(files["good.toml"]), "--compact")
    assert code == 0 and out.count("\n") == 1
    assert json.loads(out) == {
        str(files["good.ini"]): {"DEFAULT": {}, "server": {"port": "8080"}},
        str(files["good.toml"]): {"title": "x", "owner": {"name": "Tom"}},
    }


def test_non_finite_floats_use_the_json_extensions(files):
    code, out, _ = run(str(files["good.json"]), "--compact")
    assert code == 0 and out.strip() == '{"ratio": Infinity, "n": [1, 2]}'


def test_check_prints_nothing(files):
    assert run("--check", str(files["good.ini"]), str(files["good.toml"])) == (0, "", "")


def test_diagnostic_with_caret_under_the_byte_column(files):
    code, out, err = run("--format", "ini-dialect", str(files["bad.ini"]), str(files["good.ini"]))
    assert code == 1
    # The other file is still parsed and printed.
    assert json.loads(out) == {str(files["good.ini"]): {"server": {"port": "8080"}}}
    lines = err.splitlines()
    # Tab, "café" (5 bytes), space, two 3-byte wide characters: column 14.
    assert lines[0] == f"{files['bad.ini']}:2:14: error: expected '=' or ':' in key-value line"
    assert lines[1] == "\tcaf\u00e9 \u65e5\u672c"
    assert lines[2] == "\t" + " " * 4 + " " + " " * 4 + "^"


def test_caret_inside_a_line(files):
    code, _, err = run("--check", "--format", "toml-dialect", str(files["bad.toml"]))
    assert code == 1
    assert err.splitlines() == [f"{files['bad.toml']}:2:6: error: duplicate key",
                                "a = 2", "     ^"]


def test_stdin_needs_a_format():
    code, out, err = run("-", stdin=b"a = 1")
    assert code == 2 and out == "" and "--format" in err
    code, out, err = run("-", "--format", "ini", stdin=b"[s]\na = 1")
    assert (code, json.loads(out), err) == (0, {"DEFAULT": {}, "s": {"a": "1"}}, "")
    code, _, err = run("-", "--format", "json", stdin=b"[1,]")
    assert code == 1 and err.startswith("<stdin>:1:4: error: trailing comma in array")


def test_format_overrides_the_suffix(tmp_path):
    path = tmp_path / "settings.txt"
    path.write_text("a = 1")
    assert run(str(path))[0] == 2
    assert json.loads(run("--format", "toml", str(path))[1]) == {"a": 1}


def test_missing_file_is_one_line_and_exit_2(files):
    code, out, err = run(str(files["good.ini"]) + ".nope.ini", str(files["bad.ini"]))
    assert code == 2  # the I/O error outranks the parse failure
    first = err.splitlines()[0]
    assert first.endswith("error: cannot read file: No such file or directory")
    assert "Traceback" not in err


def test_usage_errors_exit_2():
    assert run()[0] == 2
    assert run("--format", "yaml", "x.yaml")[0] == 2


def test_no_color_without_a_terminal(files):
    _, _, err = run(str(files["bad.ini"]))
    assert "\033[" not in err


def test_help_mentions_non_finite_floats():
    code, out, _ = run("--help")
    assert code == 0 and "Infinity" in out and "NaN" in out


@pytest.mark.parametrize("no_color, painted", [(None, True), ("1", False)])
def test_color_only_on_a_terminal_without_no_color(files, no_color, painted):
    pty = pytest.importorskip("pty")
    env = {k: v for k, v in os.environ.items() if k != "NO_COLOR"}
    if no_color is not None:
        env["NO_COLOR"] = no_color
    master, slave = pty.openpty()
    try:
        proc = subprocess.run([sys.executable, "-m", "quorvane", "--check", str(files["bad.ini"])],
                              stdout=subprocess.PIPE, stderr=slave, env=env, timeout=60)
        os.close(slave)
        err = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            err += chunk
    finally:
        os.close(master)
    assert proc.returncode == 1
    assert (b"\033[" in err) is painted
    assert b"neither a section header nor a key with a delimiter" in err


@pytest.mark.parametrize("args, expected", [
    ([], '{\n  "b": [\n    1,\n    2\n  ],\n  "a": "\u00e9"\n}\n'),
    (["--indent", "0"], '{\n"b": [\n1,\n2\n],\n"a": "\u00e9"\n}\n'),
    (["--indent", "1", "--sort-keys"], '{\n "a": "\u00e9",\n "b": [\n  1,\n  2\n ]\n}\n'),
    (["--compact", "--sort-keys"], '{"a": "\u00e9", "b": [1, 2]}\n'),
])
def test_output_layout(tmp_path, args, expected):
    path = tmp_path / "t.json"
    path.write_text('{"b": [1, 2], "a": "\u00e9"}', encoding="utf-8")
    assert run(*args, str(path), env={"PYTHONIOENCODING": "utf-8"}) == (0, expected, "")


@pytest.mark.parametrize("args", [["--indent", "-1"], ["--indent", "x"],
                                  ["--compact", "--indent", "4"]])
def test_layout_usage_errors(files, args):
    code, out, err = run(*args, str(files["good.ini"]))
    assert code == 2 and out == "" and "usage:" in err


# Output that cannot be written is an I/O error: one line, exit 2, and no
# traceback from the interpreter's own flush at exit.
@pytest.mark.parametrize("where, env, message", [
    ("/dev/full", {}, "cannot write the output: No space left on device"),
    (None, {"PYTHONIOENCODING": "ascii"}, "cannot write the output in ascii"),
])
def test_output_failures_are_one_line(tmp_path, where, env, message):
    if where is not None and not os.path.exists(where):
        pytest.skip(f"{where} not available")
    path = tmp_path / "t.toml"
    path.write_text("name = 'caf\u00e9'\n", encoding="utf-8")
    full_env = {k: v for k, v in os.environ.items() if k != "NO_COLOR"}
    full_env.update(env)
    with open(where or os.devnull, "w") as sink:
        proc = subprocess.run([sys.executable, "-m", "quorvane", str(path)],
                              stdout=sink if where else subprocess.PIPE,
                              stderr=subprocess.PIPE, env=full_env, timeout=60)
    err = proc.stderr.decode()
    assert proc.returncode == 2
    assert len(err.splitlines()) == 1 and message in err, err


# A document with a byte-order mark is shown without it, the caret under
# the same character; the column still counts the mark's three bytes.
@pytest.mark.parametrize("encoding", ["utf-8-sig", "utf-16"])
@pytest.mark.parametrize("text, expected", [
    ("a = 1\na = 2\n", ["2:6: error: duplicate key", "a = 2", "     ^"]),
    ("x = [1,,]\n", ["1:11: error: unexpected character in value", "x = [1,,]", "       ^"]),
])
def test_diagnostic_of_a_marked_document(tmp_path, encoding, text, expected):
    path = tmp_path / "marked.toml"
    path.write_bytes(text.encode(encoding))
    code, _, err = run("--check", "--format", "toml-dialect", str(path))
    assert code == 1
    assert err.splitlines() == [f"{path}:{expected[0]}", *expected[1:]]


def test_long_line_shows_a_window_around_the_column(tmp_path):
    # A minified document: one 500 KB line with one bad character.
    head = '[' + '"\u00e9x",' * 40_000
    path = tmp_path / "min.json"
    path.write_text(head + '\u65e5!' + ',"y"' * 60_000 + ']', encoding="utf-8")
    code, _, err = run("--check", str(path), env={"PYTHONIOENCODING": "utf-8"})
    lines = err.splitlines()
    assert code == 1 and len(err) < 400, err
    assert lines[0] == f"{path}:1:{len(head.encode()) + 1}: error: unexpected character in JSON value"
    shown, caret = lines[1], lines[2]
    assert shown.startswith("\u2026") and shown.endswith("\u2026") and 90 <= len(shown) <= 110
    # The caret stands under the bad character (wide characters take two cells).
    cells = [c for ch in shown for c in ch * (2 if ch == "\u65e5" else 1)]
    assert caret == " " * (len(caret) - 1) + "^" and cells[len(caret) - 1] == "\u65e5"


def test_a_file_named_twice(files):
    bad = str(files["bad.toml"])
    code, out, err = run(str(files["good.ini"]), str(files["good.ini"]))
    assert (code, out) == (2, "") and "given twice" in err
    code, _, err = run("--check", bad, str(files["good.ini"]), bad)
    assert code == 1 and err.count(f"{bad}:2:1: error: duplicate key") == 2
    assert run("--check", "-", "-", "--format", "json")[0] == 2


def test_files_are_read_by_their_names(tmp_path):
    docs = {"pyproject.toml": "[project]\nreleased = 2024-05-01T10:00:00Z\n",
            ".editorconfig": "root = true\n[*]\nindent_style = space\n",
            "my.cnf": "[mysqld]\nskip-name-resolve\n"}
    for name, text in docs.items():
        (tmp_path / name).write_text(text)
    code, out, err = run("--compact", *(str(tmp_path / name) for name in docs))
    assert (code, err) == (0, "")
    assert json.loads(out) == {
        str(tmp_path / "pyproject.toml"): {"project": {"released": "2024-05-01T10:00:00+00:00"}},
        # The keys before the first section are printed as the section "".
        str(tmp_path / ".editorconfig"): {"DEFAULT": {}, "": {"root": "true"},
                                          "*": {"indent_style": "space"}},
        str(tmp_path / "my.cnf"): {"DEFAULT": {}, "mysqld": {"skip-name-resolve": None}},
    }
    # --format reads with that format's own defaults.
    assert run("--check", "--format", "ini", str(tmp_path / "my.cnf"))[0] == 1
    assert run("--check", "--standard", str(tmp_path / "my.cnf"))[0] == 2


def test_hooks_take_the_files_of_the_table():
    """The pre-commit hooks' file patterns are the table's TOML, INI, JSONC and
    JSON5 rows."""
    from quorvane._formats import WELL_KNOWN
    text = (Path(__file__).resolve().parents[1] / ".pre-commit-hooks.yaml").read_text()
    hooks = dict(re.findall(r"- id: check-(\w+)\n(?:  .*\n)*?  files: (.*)\n", text))
    assert set(hooks) == {"toml", "ini", "jsonc", "json5"}
    for pattern, fmt, _ in WELL_KNOWN:
        name = "dir/" + pattern.replace("*", "x")
        for family, files in hooks.items():
            assert bool(re.search(files, name)) == (fmt == family), (name, family)
    for other in ("x.json", "README", "x.toml.bak", "a.cfg.orig", "notsetup.cfgx"):
        assert not any(re.search(files, other) for files in hooks.values()), other


# quorvane get / quorvane where

GET_DOC = ('[tool.ruff]\n"line-length" = 88\nname = "caf\u00e9"\n'
           '[[package]]\nname = "a"\n[[package]]\nname = "b"\nv = [1, {x = 2023-01-02}]\n')


@pytest.mark.parametrize("args,out", [
    (("get", "F", 'tool.ruff."line-length"'), "88\n"),
    (("get", "F", "tool.ruff.'name'"), '"caf\u00e9"\n'),
    (("get", "--raw", "F", "tool.ruff.name"), "caf\u00e9\n"),
    (("get", "--compact", "F", "package[1]"), '{"name": "b", "v": [1, {"x": "2023-01-02"}]}\n'),
    (("get", "F", "package[-1].v[1].x"), '"2023-01-02"\n'),
    (("where", "F", "package[1].v[1].x"), "F:8:14\n"),
    (("where", "F", "tool.ruff.name"), "F:3:8\n"),
    (("where", "--key", "F", "tool.ruff.name"), "F:3:1\n"),
    (("where", "F", "package[0]"), "F:4:1\n"),
])
def test_get_and_where(tmp_path, args, out):
    path = tmp_path / "conf.toml"
    path.write_text(GET_DOC, encoding="utf-8")
    code, stdout, stderr = run(*(str(path) if a == "F" else a for a in args))
    assert (code, stdout, stderr) == (0, out.replace("F", str(path)), "")


@pytest.mark.parametrize("args,code,message", [
    (("get", "F", "tool.nope"), 1, "F: error: no value at tool.nope"),
    (("where", "F", "package[2]"), 1, "F: error: no value at package[2]"),
    (("get", "F", "tool..ruff"), 2, "quorvane: error: invalid KEY 'tool..ruff' at character 6"),
    (("where", "--format", "toml-dialect", "F", "a"), 2, "F: error: the format 'toml-dialect' has no spans"),
    (("get", "-", "a"), 2, "quorvane: error: reading standard input ('-') needs --format"),
])
def test_get_and_where_failures(files, args, code, message):
    path = str(files["good.toml"])
    got, stdout, stderr = run(*(path if a == "F" else a for a in args))
    assert (got, stdout) == (code, "")
    assert stderr.count("\n") == 1 and stderr.startswith(message.replace("F", path))


def test_get_reads_standard_input_and_reports_parse_errors(files):
    assert run("get", "--format", "json", "-", "[1].a", stdin=b'[0, {"a": null}]') == (0, "null\n", "")
    code, _, err = run("where", str(files["bad.toml"]), "a")
    assert code == 1 and err.startswith(f"{files['bad.toml']}:2:1: error: duplicate key")
    # The commands leave the file-list usage alone.
    assert json.loads(run(str(files["good.toml"]))[1]) == {"title": "x", "owner": {"name": "Tom"}}
