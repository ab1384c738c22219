"""The writers against the writers they reproduce, on the trees of the real
files, side by side in one process.

- TOML: quorvane.toml.dumps, tomli-w and rtoml's writer, on the tree of
  every real TOML file, with the sum over all files.
- JSON: quorvane's dumps and json.dumps with default options, and orjson's
  writer; then the compact UTF-8 form that orjson writes
  (separators=(",", ":"), ensure_ascii=False) for quorvane and json.
- INI: quorvane.ini.dumps and configparser's write() of a parser holding
  the same tree.

    python bench/bench_write.py [--callgrind]

--callgrind counts instead the instructions per call of the JSON writers
under valgrind's callgrind (PYTHONHASHSEED=0, so that runs compare):
quorvane's (its C entry point) with default options and compact UTF-8,
and orjson's.  glibc's memcpy may copy a large block with `rep movsb`,
which callgrind counts once per byte: a copy of the whole text then adds
about its length to the count, which the wall clock does not see.
"""

from __future__ import annotations

import configparser
import io
import json
import sys
import tomllib
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from _common import DATA, callgrind_count, installed, min_time, min_times, print_table  # noqa: E402

JSON_FILES = ("twitter.json", "citm_catalog.json", "canada.json")

# Options the real INI files need to be read at all.
INI_OPTIONS = {
    "docker-cnf": {"strict": False, "allow_no_value": True},
    "editorconfig": {"strict": False, "allow_no_value": True, "allow_unnamed_section": True},
    "gitconfig": {"strict": False, "allow_no_value": True},
    "my-cnf": {"strict": False, "allow_no_value": True},
    "ppsspp": {"strict": False, "allow_no_value": True},
}


def toml() -> None:
    import quorvane.toml as qtoml

    ours = "quorvane.toml"
    peers = installed({"tomli_w": "tomli_w:dumps", "rtoml": "rtoml:dumps"})
    rows = []
    for path in sorted((DATA / "toml").glob("*.toml")):
        tree = tomllib.loads(path.read_text(encoding="utf-8"))
        times = {ours: min_time(lambda: qtoml.dumps(tree))}
        for name, dumps in peers.items():
            times[name] = min_time(lambda dumps=dumps: dumps(tree))
        rows.append((path.name, times))
    print_table("TOML writers", ours, rows)
    total = {name: sum(t[name] for _, t in rows) for name in rows[0][1]} if rows else {}
    print("\nsummed over the files: " + ", ".join(
        f"{name} {total[name] / total[ours]:.2f}x" for name in total if name != ours))


def json_() -> None:
    import quorvane.json as qjson

    peers = installed({"orjson": "orjson:dumps"})
    default_rows, compact_rows = [], []
    for name in JSON_FILES:
        path = DATA / "json" / name
        if not path.exists():
            print(f"skipped {name}: {path} not found")
            continue
        tree = json.loads(path.read_bytes())
        writers = {"quorvane": lambda: qjson.dumps(tree), "json": lambda: json.dumps(tree)}
        for label, dumps in peers.items():
            writers[label] = lambda dumps=dumps: dumps(tree)
        default_rows.append((name, min_times(writers)))
        compact = {"separators": (",", ":"), "ensure_ascii": False}
        writers = {"quorvane": lambda: qjson.dumps(tree, **compact),
                   "json": lambda: json.dumps(tree, **compact)}
        for label, dumps in peers.items():
            writers[label] = lambda dumps=dumps: dumps(tree)
        compact_rows.append((name, min_times(writers)))
    print_table("JSON writers, default options", "quorvane", default_rows)
    print_table("JSON writers, compact UTF-8 (separators=(',', ':'), ensure_ascii=False)",
                "quorvane", compact_rows)


def ini() -> None:
    import quorvane.ini as qini

    rows = []
    for path in sorted((DATA / "ini").glob("*")):
        options = next((v for k, v in INI_OPTIONS.items() if path.name.startswith(k)), {})
        tree = qini.loads(path.read_bytes(), **options)
        allow = options.get("allow_no_value", False)
        parser = configparser.ConfigParser(interpolation=None, allow_no_value=allow,
                                           allow_unnamed_section=options.get(
                                               "allow_unnamed_section", False))
        parser.optionxform = str  # type: ignore[assignment, method-assign]
        parser.read_string(qini.dumps(tree, allow_no_value=allow))

        def write() -> str:
            out = io.StringIO()
            parser.write(out)
            return out.getvalue()

        if write() != qini.dumps(tree, allow_no_value=allow):
            raise AssertionError(f"configparser writes {path.name} differently")
        rows.append((path.name, min_times({
            "quorvane.ini": lambda: qini.dumps(tree, allow_no_value=allow),
            "configparser": write})))
    print_table("INI writers", "quorvane.ini", rows)


_CG_SCRIPT = """
import sys
sys.path[:0] = {path!r}
import json, orjson, quorvane.json as qjson
tree = json.loads(open({file!r}, "rb").read())
for _ in range({repeat}):
    {call}
"""
_CG_WRITERS = {
    "quorvane": ("std_write_json*", "qjson.dumps(tree)"),
    "quorvane compact": ("std_write_json*",
                         "qjson.dumps(tree, separators=(',', ':'), ensure_ascii=False)"),
    "orjson": ("dumps", "orjson.dumps(tree)"),
}


def callgrind(repeat: int = 3) -> None:
    print("\n## JSON writers, instructions per call\n")
    print("| file | " + " | ".join(_CG_WRITERS) + " | quorvane / orjson |")
    print("|---|" + "---:|" * (len(_CG_WRITERS) + 1))
    for name in JSON_FILES:
        path = DATA / "json" / name
        if not path.exists():
            continue
        counts = {}
        for label, (pattern, call) in _CG_WRITERS.items():
            code = _CG_SCRIPT.format(path=sys.path, file=str(path), repeat=repeat, call=call)
            counts[label] = callgrind_count(code, pattern, repeat)
        cells = " | ".join(f"{n:,}" for n in counts.values())
        print(f"| {name} | {cells} | {counts['quorvane'] / counts['orjson']:.3f}x |", flush=True)


def run() -> None:
    toml()
    json_()
    ini()


if __name__ == "__main__":
    if "--callgrind" in sys.argv[1:]:
        callgrind()
    else:
        run()
