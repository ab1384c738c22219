"""Checks a few settings of a pyproject.toml and points at each problem.

    python examples/validate_config.py [PYPROJECT]   (default: examples/bad_pyproject.toml)

A file that parses can still be wrong for the tools that read it.  Each
problem is reported with the line and column of the value (or key) at
fault, and the line itself with a caret, as the command line reports a
parse error.  The exit status is 1 when there are problems.
"""

from __future__ import annotations

import os
import re
import sys
from pathlib import Path
from typing import Any

import quorvane

NAME = re.compile(r"[A-Za-z0-9]([A-Za-z0-9._-]*[A-Za-z0-9])?")
# [project] fields and the types they must have.
PROJECT_TYPES: dict[str, type | tuple[type, ...]] = {
    "name": str, "version": str, "description": str, "requires-python": str,
    "readme": (str, dict), "license": (str, dict), "dependencies": list, "keywords": list,
    "classifiers": list, "dynamic": list, "optional-dependencies": dict, "scripts": dict,
}
RUFF_OPTIONS = {"line-length", "indent-width", "target-version", "select", "ignore", "exclude",
                "src", "lint", "format"}


def problems(doc: quorvane.Document) -> list[quorvane.ValidationError]:
    tree: dict[str, Any] = doc.tree
    found = []
    project = tree.get("project")
    if not isinstance(project, dict):
        return [doc.error((), "a [project] table is required")]
    for key, value in project.items():
        want = PROJECT_TYPES.get(key)
        if want is not None and not isinstance(value, want):
            names = " or ".join(t.__name__ for t in (want if isinstance(want, tuple) else (want,)))
            found.append(doc.error(("project", key), f"project.{key} must be a {names}, "
                                   f"not {type(value).__name__}"))
    name = project.get("name")
    if isinstance(name, str) and not NAME.fullmatch(name):
        found.append(doc.error(("project", "name"), f"{name!r} is not a valid project name"))
    for field in ("dependencies", "keywords", "classifiers"):
        items = project.get(field)
        for i, item in enumerate(items if isinstance(items, list) else []):
            if not isinstance(item, str):
                found.append(doc.error(("project", field, i),
                                       f"project.{field} holds strings, not {item!r}"))
    ruff = tree.get("tool", {}).get("ruff", {})
    for key, value in ruff.items() if isinstance(ruff, dict) else ():
        if key not in RUFF_OPTIONS:
            found.append(doc.error(("tool", "ruff", key), f"unknown option tool.ruff.{key}",
                                   at="key"))
    length = ruff.get("line-length") if isinstance(ruff, dict) else None
    if length is not None and (type(length) is not int or not 1 <= length <= 320):
        found.append(doc.error(("tool", "ruff", "line-length"),
                               "line-length must be an integer from 1 to 320"))
    return sorted(found, key=lambda err: (err.lineno, err.colno))


def main() -> int:
    path = (sys.argv[1] if len(sys.argv) > 1
            else os.path.relpath(Path(__file__).with_name("bad_pyproject.toml")))
    try:
        doc = quorvane.load_with_spans(path, "toml")
    except quorvane.ParseError as exc:
        print(exc, file=sys.stderr)
        return 1
    found = problems(doc)
    for problem in found:
        print(problem.format(), file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    raise SystemExit(main())
