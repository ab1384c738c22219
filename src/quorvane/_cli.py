"""Command-line tool: parse files and print their trees as JSON."""

from __future__ import annotations

import argparse
import codecs
import datetime
import json
import os
import re
import sys
import unicodedata
from typing import Any, Callable, Final, Mapping, TextIO

from ._api import ParseError, loads
from ._formats import FORMATS, format_for_path

EXIT_OK = 0
EXIT_PARSE = 1
EXIT_USAGE = 2

DESCRIPTION = """\
Parse JSON, TOML and INI files and print their trees as JSON.

The format comes from each file's name unless --format is given: a
well-known name (pyproject.toml, Cargo.lock, setup.cfg, tox.ini,
.editorconfig, ...) or its suffix (.json; .toml; .ini, .cfg, .conf, .cnf,
.desktop, .service), read with the options that kind of file needs. TOML is
standard TOML 1.1 and INI is read as Python's configparser reads it; the
dialect readers are the formats toml-dialect and ini-dialect. With several
files the output is one JSON object mapping each path, as given, to its
tree. Floats that JSON cannot hold are written as the common extensions
Infinity, -Infinity and NaN.

Exit status: 0 when every file parsed, 1 when a file failed to parse (the
others are still checked), 2 for usage and I/O errors.

Commands (the first argument; a file of that name is given as ./get):
  quorvane get FILE KEY      print the value at KEY as JSON (--raw: a string
                             without its quotes)
  quorvane where FILE KEY    print where the value at KEY is written, as
                             FILE:LINE:COL (--key: where its key is)
KEY is a TOML dotted key with [N] for list items: tool.ruff."line-length",
package[3].name, [0].id.  A missing key is exit status 1.
"""

COMMANDS = ("get", "where")


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="quorvane", description=DESCRIPTION,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("files", nargs="+", metavar="FILE",
                   help="file to parse; '-' reads standard input (needs --format)")
    p.add_argument("--format", choices=[name for name, r in FORMATS.items() if r.parse],
                   help="format of every FILE, with that format's default options")
    p.add_argument("--check", action="store_true",
                   help="only validate: print nothing on success")
    _add_layout(p)
    p.add_argument("--to", choices=("json", "toml", "ini"), default="json", metavar="FORMAT",
                   help="print the trees as FORMAT: json (the default), toml or ini "
                        "(as configparser writes it)")
    p.add_argument("--version", action="version", version=_version_text())
    return p


def _add_layout(p: argparse.ArgumentParser) -> None:
    layout = p.add_mutually_exclusive_group()
    layout.add_argument("--compact", action="store_true", help="print JSON on one line")
    layout.add_argument("--indent", type=_indent, default=2, metavar="N",
                        help="indent nested JSON by N spaces (default 2)")
    p.add_argument("--sort-keys", action="store_true",
                   help="print the keys of every table in sorted order")


def build_command_parser(command: str) -> argparse.ArgumentParser:
    """The parser of `quorvane get` and `quorvane where`."""
    what = ("print the value at KEY as JSON" if command == "get"
            else "print where the value at KEY is written, as FILE:LINE:COL")
    p = argparse.ArgumentParser(prog=f"quorvane {command}", description=what[0].upper() + what[1:]
                                + ". KEY is a TOML dotted key with [N] for list items "
                                '(tool.ruff."line-length", package[3].name).')
    p.add_argument("file", metavar="FILE",
                   help="file to read; '-' reads standard input (needs --format)")
    p.add_argument("key", metavar="KEY", help="the key path of the value")
    p.add_argument("--format", choices=[name for name, r in FORMATS.items() if r.parse],
                   help="format of FILE, with that format's default options")
    if command == "get":
        p.add_argument("--raw", action="store_true",
                       help="print a string value as it is, without JSON's quotes")
        _add_layout(p)
    else:
        p.add_argument("--key", action="store_true", dest="at_key",
                       help="where the key is written rather than the value")
    return p


def _indent(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        n = -1
    if n < 0:
        raise argparse.ArgumentTypeError(f"expected a number of spaces, 0 or more: {text!r}")
    return n


def _version_text() -> str:
    from . import __version__, version
    return f"quorvane {__version__} (core {version()})"


class Diagnostics:
    """Writes compiler-style messages to standard error."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        no_color = os.environ.get("NO_COLOR", "")
        self.color = not no_color and _isatty(stream)

    def _paint(self, code: str, text: str) -> str:
        return f"\033[{code}m{text}\033[0m" if self.color else text

    def error(self, where: str, message: str) -> None:
        self._write(diagnostic_lines(where, message, None, 0, 0, self._paint))

    def parse_error(self, name: str, err: ParseError) -> None:
        self._write(diagnostic_lines(f"{name}:{err.lineno}:{err.colno}", err.msg,
                                     err._line(), err.lineno, err.colno, self._paint))

    def _write(self, lines: list[str]) -> None:
        self.stream.write("".join(line + "\n" for line in lines))


def _plain(code: str, text: str) -> str:
    return text


def diagnostic_lines(where: str, message: str, raw: bytes | None, lineno: int, colno: int,
                     paint: Callable[[str, str], str] = _plain) -> list[str]:
    """The lines of a compiler-style message: ``WHERE: error: MESSAGE``,
    then, given the line (its UTF-8 bytes), the line and a caret under its
    byte column (see source_excerpt).  ``paint(code, text)`` colours a
    part."""
    lines = [f"{paint('1', where + ':')} {paint('1;31', 'error:')} {message}"]
    if raw is not None:
        line, caret = source_excerpt(raw, lineno, colno)
        lines += [line, paint("1;32", caret)]
    return lines


def _isatty(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


def _cell_width(ch: str) -> int:
    if unicodedata.combining(ch):
        return 0
    return 2 if unicodedata.east_asian_width(ch) in ("W", "F") else 1


# How much of a long line is shown around the column, in characters on
# each side: a minified file is one line, and the whole of it is no help.
EXCERPT_HALF = 50
CUT = "\u2026"


def source_excerpt(raw: bytes, lineno: int, colno: int) -> tuple[str, str]:
    """The offending line (its UTF-8 bytes) as shown, and a caret line under
    its byte column.

    The column counts bytes, so the caret is placed under the character that
    holds that byte: multi-byte characters count once (twice when they are
    wide), and tabs are copied so the caret lines up however the terminal
    expands them.  Of a long line only about a hundred characters around
    the column are shown, with a mark where it is cut.
    """
    if lineno == 1 and raw.startswith(codecs.BOM_UTF8):  # the mark is not shown
        raw = raw[len(codecs.BOM_UTF8):]
        colno -= len(codecs.BOM_UTF8)
    before = raw[:max(colno - 1, 0)].decode("utf-8", "replace")
    after = raw[max(colno - 1, 0):].rstrip(b"\r").decode("utf-8", "replace")
    before, after = _printable(before), _printable(after)
    if len(before) > EXCERPT_HALF:
        before = CUT + before[-(EXCERPT_HALF - 1):]
    if len(after) > EXCERPT_HALF:
        after = after[:EXCERPT_HALF - 1] + CUT
    pad = "".join("\t" if ch == "\t" else " " * _cell_width(ch) for ch in before)
    return before + after, pad + "^"


def _printable(text: str) -> str:
    return "".join(ch if ch == "\t" or ch.isprintable() else "\ufffd" for ch in text)


def _iso_text(value: Any) -> str:
    """Date-times of standard TOML, printed as ISO 8601 text."""
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    raise TypeError(f"cannot print {type(value).__name__} as JSON")


def _json_keys(tree: Any) -> Any:
    """The tree with keys JSON can hold: the section of the keys before the
    first header, keyed by configparser's marker object, is printed as
    the section named ""."""
    if isinstance(tree, dict) and not all(isinstance(k, str) for k in tree):
        return {k if isinstance(k, str) else "": v for k, v in tree.items()}
    return tree


def _read(name: str) -> bytes:
    if name == "-":
        return sys.stdin.buffer.read()
    with open(name, "rb") as f:
        return f.read()


def main(argv: list[str] | None = None) -> int:
    if argv is None:
        argv = sys.argv[1:]
    if argv and argv[0] in COMMANDS:
        return command(argv[0], argv[1:])
    args = build_parser().parse_args(argv)
    diag = Diagnostics(sys.stderr)
    if "-" in args.files and args.format is None:
        diag.error("quorvane", "reading standard input ('-') needs --format")
        return EXIT_USAGE

    if not args.check:
        # Each tree is printed under its name: a name given twice would
        # have to be two keys of one object.
        twice = next((n for i, n in enumerate(args.files) if n in args.files[:i]), None)
        if twice is not None:
            diag.error("quorvane", f"{twice!r} is given twice: each file is printed "
                       "under its name once (--check checks it as often as it is given)")
            return EXIT_USAGE
    elif args.files.count("-") > 1:
        diag.error("quorvane", "standard input ('-') can be read only once")
        return EXIT_USAGE

    status = EXIT_OK
    trees: dict[str, Any] = {}
    for name in args.files:
        shown = "<stdin>" if name == "-" else name
        try:
            fmt, options = ((args.format, {}) if args.format
                            else format_for_path(name, "use --format"))
        except ValueError as exc:
            diag.error(shown, str(exc))
            status = max(status, EXIT_USAGE)
            continue
        try:
            data = _read(name)
        except OSError as exc:
            diag.error(shown, f"cannot read file: {exc.strerror or exc}")
            status = max(status, EXIT_USAGE)
            continue
        try:
            tree = loads(data, fmt, **options)
            trees[name] = _json_keys(tree) if args.to == "json" else tree
        except ParseError as err:
            diag.parse_error(shown, err)
            status = max(status, EXIT_PARSE)

    if not args.check and trees:
        out: Any = trees[args.files[0]] if len(args.files) == 1 else trees
        if args.to == "json":
            status = max(status, _print_json(out, args, diag))
        else:
            status = max(status, _print_as(out, args.to, diag))
    return status


# ---------------------------------------------------------------------------
# quorvane get / quorvane where

_KEY_SEGMENT: Final = re.compile(r"""[ \t]*(?:([A-Za-z0-9_-]+)|("(?:[^"\\]|\\.)*"|'[^']*'))[ \t]*""")
_KEY_INDEX: Final = re.compile(r"\[[ \t]*(-?[0-9]+)[ \t]*\][ \t]*")


def key_path(key: str) -> tuple[str | int, ...]:
    """The path of a KEY: a TOML dotted key, each part optionally followed
    by [N] for list items; a path into a list at the top starts with [N].
    ValueError when it is not one."""
    path: list[str | int] = []
    pos, need = 0, not key.lstrip(" \t").startswith("[")
    while True:
        if need:
            m = _KEY_SEGMENT.match(key, pos)
            if m is None:
                raise ValueError(f"invalid KEY {key!r} at character {pos + 1}: expected a "
                                 "bare or quoted key")
            bare, quoted = m.groups()
            # A quoted key means what it means in TOML: the reader unescapes it.
            path.append(bare if bare is not None else loads(f"k = {quoted}\n", "toml")["k"])
            pos = m.end()
        elif pos == 0:
            pos = len(key) - len(key.lstrip(" \t"))
        while (m := _KEY_INDEX.match(key, pos)) is not None:
            path.append(int(m.group(1)))
            pos = m.end()
        if pos == len(key):
            return tuple(path)
        if key[pos] != ".":
            raise ValueError(f"invalid KEY {key!r} at character {pos + 1}: expected '.', "
                             "'[N]' or the end")
        pos, need = pos + 1, True


def _value_at(tree: Any, path: tuple[str | int, ...]) -> Any:
    """The value at a key path; KeyError when the tree has none."""
    node = tree
    for part in path:
        if isinstance(node, dict) and isinstance(part, str) and part in node:
            node = node[part]
        elif (isinstance(node, list) and isinstance(part, int)
              and -len(node) <= part < len(node)):
            node = node[part]
        else:
            raise KeyError(path)
    return node


def command(name: str, argv: list[str]) -> int:
    """`quorvane get` and `quorvane where`: the exit status."""
    args = build_command_parser(name).parse_args(argv)
    diag = Diagnostics(sys.stderr)
    shown = "<stdin>" if args.file == "-" else args.file
    try:
        path = key_path(args.key)
    except ValueError as exc:
        diag.error("quorvane", str(exc))
        return EXIT_USAGE
    options: Mapping[str, Any] = {}
    if args.format is not None:
        fmt = args.format
    elif args.file == "-":
        diag.error("quorvane", "reading standard input ('-') needs --format")
        return EXIT_USAGE
    else:
        try:
            fmt, options = format_for_path(args.file, "use --format")
        except ValueError as exc:
            diag.error(shown, str(exc))
            return EXIT_USAGE
    try:
        data = _read(args.file)
    except OSError as exc:
        diag.error(shown, f"cannot read file: {exc.strerror or exc}")
        return EXIT_USAGE
    try:
        if name == "get":
            value = _value_at(loads(data, fmt, **options), path)
        else:
            from ._spans import loads_with_spans
            doc = loads_with_spans(data, fmt, **options)
            span = doc.key_span(path) if args.at_key else None
            where = span or doc.span(path)
    except ParseError as err:
        diag.parse_error(shown, err)
        return EXIT_PARSE
    except KeyError:
        diag.error(shown, f"no value at {args.key}")
        return EXIT_PARSE
    except ValueError as exc:  # a format without spans
        diag.error(shown, str(exc))
        return EXIT_USAGE
    if name == "where":
        return _write_out(f"{shown}:{where.lineno}:{where.colno}\n", diag)
    if args.raw and isinstance(value, str):
        return _write_out(value + "\n", diag)
    return _print_json(_json_keys(value), args, diag)


def _print_json(tree: Any, args: argparse.Namespace, diag: Diagnostics) -> int:
    """Writes a tree to standard output; the exit status that adds."""
    try:
        text = json.dumps(tree, indent=None if args.compact else args.indent,
                          sort_keys=args.sort_keys, ensure_ascii=False,
                          default=_iso_text)
    except TypeError as exc:  # a value JSON has no form for
        diag.error("quorvane", f"cannot print the tree: {exc}")
        return EXIT_USAGE
    return _write_out(text + "\n", diag)


def _write_out(text: str, diag: Diagnostics) -> int:
    """Writes text to standard output; the exit status that adds."""
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader went away (`| head`): not an error of ours.
        _drop_stdout()
    except UnicodeEncodeError as exc:
        diag.error("quorvane", f"cannot write the output in {sys.stdout.encoding}: "
                   f"{exc.object[exc.start:exc.end]!r} (set PYTHONIOENCODING=utf-8)")
        return EXIT_USAGE
    except OSError as exc:
        _drop_stdout()
        diag.error("quorvane", f"cannot write the output: {exc.strerror or exc}")
        return EXIT_USAGE
    return EXIT_OK


def _print_as(tree: Any, fmt: str, diag: Diagnostics) -> int:
    """Writes a tree to standard output as TOML or INI (--to); the exit
    status that adds."""
    from ._write import dumps
    try:
        text = dumps(tree, fmt)
    except (TypeError, ValueError) as exc:  # a value the format has no form for
        diag.error("quorvane", f"cannot print the tree as {fmt.upper()}: {exc}")
        return EXIT_USAGE
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except BrokenPipeError:
        _drop_stdout()
    except (UnicodeEncodeError, OSError) as exc:
        _drop_stdout()
        diag.error("quorvane", f"cannot write the output: {exc}")
        return EXIT_USAGE
    return EXIT_OK


def _drop_stdout() -> None:
    """Points standard output at the null device, so that what is still
    buffered does not fail again, with a traceback, when the interpreter
    exits."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass
