"""The formats quorvane reads, by name, and the files it knows by name.

FORMATS maps each format name to its reader.  WELL_KNOWN is the table of
file names that load() and the command line read without being told the
format: each row is a name or pattern, the format, and the options that
kind of file needs.  Both are the one place a new format or a new kind of
file is added; a row may name a format that has no reader yet, and then
takes effect when the reader is added (until then the rows below it
decide).  ``Format`` is the typed face of FORMATS and lists the same names.
"""

from __future__ import annotations

import fnmatch
import os
from dataclasses import dataclass
from typing import Any, Callable, Final, Literal, Mapping, cast

from _quorvane import parse_ini, parse_json, parse_toml

from . import _std, ini

Format = Literal["json", "toml", "toml-1.1", "toml-1.0", "ini", "toml-dialect", "ini-dialect",
                 "jsonc", "json5"]


@dataclass(frozen=True, slots=True)
class Reader:
    """How one format is read.

    ``parse`` reads a document: the standard readers (``standard``) take
    str and fail with ValueError(message, byte offset); the dialect readers
    take str or bytes and fail with position errors.  ``configure`` gives a
    parse function for a caller's options (None: the format takes none).
    A dialect reader names in ``standard_form`` the format that reads the
    standard form of its language, and how to say so in a hint.  ``call``
    is what parse does, as a reader and the arguments after the text
    (parse(text) is call[0](text, *call[1])): loads() calls it natively.
    """

    parse: Callable[[Any], Any] | None
    standard: bool
    configure: Callable[[str, dict[str, Any]], Callable[[str], Any]] | None = None
    standard_form: tuple[str, str] | None = None
    call: tuple[Callable[..., Any], tuple[Any, ...]] | None = None


def _reading(read: Callable[..., Any], *args: Any, standard: bool, **fields: Any) -> Reader:
    """The Reader whose parse is read(text, *args)."""
    parse = (lambda text: read(text, *args)) if args else read
    return Reader(parse, standard, call=(read, args), **fields)


FORMATS: Final[dict[str, Reader]] = {
    "json": _reading(parse_json, standard=False),
    "toml": _reading(_std.parse_toml, "1.1", None, standard=True),
    "toml-1.1": _reading(_std.parse_toml, "1.1", None, standard=True),
    "toml-1.0": _reading(_std.parse_toml, "1.0", None, standard=True),
    "ini": _reading(_std.parse_ini, standard=True, configure=ini.reader),
    "toml-dialect": _reading(parse_toml, standard=False,
                             standard_form=("toml", "the TOML dialect; the format 'toml' "
                                                    "reads standard TOML")),
    "ini-dialect": _reading(parse_ini, standard=False,
                            standard_form=("ini", "the INI dialect; the format 'ini' reads "
                                                  "INI as configparser does")),
    # JSON with comments and trailing commas; JSON5 (the options of
    # quorvane._std.parse_json: comments, trailing commas, JSON5 lexemes,
    # NaN and Infinity, lone surrogate escapes).
    "jsonc": _reading(_std.parse_json, 1 | 2, standard=True),
    "json5": _reading(_std.parse_json, 1 | 2 | 4 | 8 | 16, standard=True),
}

# Options of the rows below.  Files of many programs share the generic
# suffixes, and such programs commonly let a key repeat (the last wins).
_REPEATS: Final[Mapping[str, Any]] = {"strict": False}

# Rows: (name or pattern, format, options).  A name matches the file's
# name; a pattern with '/' matches the last parts of its path ('.vscode/
# *.json'); case is ignored.  An exact name wins over a pattern, a pattern
# over a suffix ('*.toml'); among equals, the first row.
WELL_KNOWN: Final[tuple[tuple[str, str, Mapping[str, Any]], ...]] = (
    ("pyproject.toml", "toml", {}),
    ("Cargo.lock", "toml", {}),
    ("poetry.lock", "toml", {}),
    ("uv.lock", "toml", {}),
    ("pdm.lock", "toml", {}),
    ("Pipfile", "toml", {}),
    ("setup.cfg", "ini", {}),
    ("tox.ini", "ini", {}),
    (".flake8", "ini", {}),
    ("pylintrc", "ini", {}),
    (".pylintrc", "ini", {}),
    (".coveragerc", "ini", {}),
    ("mypy.ini", "ini", {}),
    # Keys before the first section ('root = true').
    (".editorconfig", "ini", {"allow_unnamed_section": True}),
    # Kept under other names too ('samba.editorconfig', 'work.gitconfig',
    # the files that an include or a dotfiles repository names).
    ("*.editorconfig", "ini", {"allow_unnamed_section": True}),
    # Keys repeat (a list of values), and a key alone means true.
    (".gitconfig", "ini", {"strict": False, "allow_no_value": True}),
    ("*.gitconfig", "ini", {"strict": False, "allow_no_value": True}),
    # Keys are case-sensitive ('Name', 'GenericName[de]').
    ("*.desktop", "ini", {"keep_case": True}),
    # Keys are case-sensitive and repeat ('ExecStartPre=').
    ("*.service", "ini", {"keep_case": True, "strict": False}),
    # MySQL option files: keys without values ('skip-name-resolve',
    # '!includedir ...'), and repeated keys.
    ("*.cnf", "ini", {"allow_no_value": True, "strict": False}),
    # JSON with comments: TypeScript's and VS Code's files.
    ("tsconfig.json", "jsonc", {}),
    ("tsconfig.*.json", "jsonc", {}),
    ("jsconfig.json", "jsonc", {}),
    ("devcontainer.json", "jsonc", {}),
    (".devcontainer.json", "jsonc", {}),
    (".vscode/*.json", "jsonc", {}),
    ("*.code-workspace", "jsonc", {}),
    ("*.jsonc", "jsonc", {}),
    ("*.json5", "json5", {}),
    ("*.json", "json", {}),
    ("*.toml", "toml", {}),
    ("*.ini", "ini", _REPEATS),
    ("*.cfg", "ini", _REPEATS),
    ("*.conf", "ini", _REPEATS),
)

Row = tuple[Format, Mapping[str, Any]]


def _index(rows: tuple[tuple[str, str, Mapping[str, Any]], ...]) -> tuple[
        dict[str, Row], list[tuple[list[str], Row]], dict[str, Row]]:
    """The rows with a reader, as exact names, other patterns (split at
    '/') and suffixes, for a look-up that costs one or two dict probes on
    the common files."""
    names: dict[str, Row] = {}
    patterns: list[tuple[list[str], Row]] = []
    suffixes: dict[str, Row] = {}
    for pattern, fmt, options in rows:
        reader = FORMATS.get(fmt)
        if reader is None or reader.parse is None:
            continue
        key = pattern.lower()
        row = (cast(Format, fmt), options)
        if not any(c in key for c in "*?[/"):
            names.setdefault(key, row)
        elif key.startswith("*.") and not any(c in key[2:] for c in "*?[/."):
            suffixes.setdefault(key[1:], row)
        else:
            patterns.append((key.split("/"), row))
    return names, patterns, suffixes


_NAMES, _PATTERNS, _SUFFIXES = _index(WELL_KNOWN)


def well_known(path: str) -> Row | None:
    """The format and options of a file the table knows by its path, or None."""
    parts = path.replace(os.sep, "/").lower().split("/")
    name = parts[-1]
    row = _NAMES.get(name)
    if row is not None:
        return row
    for pattern, row in _PATTERNS:
        if len(pattern) <= len(parts) and all(
                fnmatch.fnmatchcase(part, p) for part, p in zip(parts[-len(pattern):], pattern)):
            return row
    head, dot, suffix = name.rpartition(".")
    return _SUFFIXES.get(dot + suffix) if dot else None


def format_for_path(path: str, hint: str = "pass format= explicitly") -> Row:
    """The format and options load() uses for a file's path; ValueError
    when the table does not know it."""
    row = well_known(path)
    if row is None:
        suffixes = ", ".join(_SUFFIXES)
        raise ValueError(
            f"cannot tell the format of {path!r} from its name: neither a well-known "
            f"file nor one of the suffixes {suffixes}; {hint}")
    return row
