"""What the spans of every document that parses must satisfy, and a
mutation fuzzer that judges fuzzed documents by it.

    python fuzz/spans_check.py SECONDS [FORMAT...]   (default: every format)

For a document that parses, loads_with_spans gives the tree loads gives;
the text at each scalar's span, read on its own by the same reader, gives
the same value; the text at each key's span is that key as written; a
container written around its children (array, inline table, JSON object
or array) holds their spans, and array items come in order; the values of
a TOML table or INI section are written after its header; every span's
line and column are those of its offset.  The tests run the same checks
over the real files and a short fuzzing run (tests/test_spans.py).
"""

from __future__ import annotations

import random
import sys
import time
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import checks  # noqa: E402
import quorvane  # noqa: E402

FAMILY = {"json": "json", "jsonc": "json", "json5": "json", "toml": "toml", "toml-1.0": "toml",
          "ini": "ini"}
# The fuzz seeds of each format (fuzz/seeds.py) and its token dictionary.
SEEDS = {"json": "json", "jsonc": "json-family", "json5": "json-family", "toml": "toml-std",
         "toml-1.0": "toml-std", "ini": "configparser"}


class Disagreement(AssertionError):
    pass


def check(fmt: str, data: str | bytes, **options: Any) -> bool:
    """Checks the spans of a document; False when it does not parse."""
    try:
        expected = quorvane.loads(data, fmt, **options)  # type: ignore[arg-type]
    except (ValueError, RecursionError):
        try:
            quorvane.loads_with_spans(data, fmt, **options)  # type: ignore[arg-type]
        except (ValueError, RecursionError):
            return False
        raise Disagreement("loads_with_spans read a document that loads refuses") from None
    doc = quorvane.loads_with_spans(data, fmt, **options)  # type: ignore[arg-type]
    if not checks.same(doc.tree, expected):
        raise Disagreement(f"trees differ:\n spans: {doc.tree!r}\n plain: {expected!r}")
    Checker(doc, fmt, options).run()
    return True


class Checker:
    def __init__(self, doc: quorvane.Document, fmt: str, options: dict[str, Any]) -> None:
        self.doc, self.fmt, self.options = doc, fmt, options
        self.family = FAMILY[fmt]
        self.default = options.get("default_section", "DEFAULT")
        self.delimiter = tuple(options.get("delimiters", ("=",)))[0]
        self.seen = 0

    def text(self, span: quorvane.Span) -> str:
        return self.doc.text[span.offset:span.end_offset]

    def fail(self, path: tuple[Any, ...], what: str) -> None:
        raise Disagreement(f"{self.fmt} {path!r}: {what}")

    def run(self) -> None:
        doc = self.doc
        root = doc.span(())
        self.position(root, ())
        if self.family != "json" and (root.end_offset != len(doc.text)
                                      or root.offset > 1):
            self.fail((), f"the root {root!r} is not the whole document")
        stack: list[tuple[tuple[Any, ...], Any, quorvane.Span]] = [((), doc.tree, root)]
        while stack:
            path, node, span = stack.pop()
            items = (list(node.items()) if isinstance(node, dict)
                     else list(enumerate(node)) if isinstance(node, list) else [])
            spans = [doc.span(path + (k,)) for k, _ in items]
            around, header = self.kind(node, span, spans)
            header = header and path != ()  # the root is the whole document
            previous = None
            for (k, v), child in zip(items, spans):
                p = path + (k,)
                self.position(child, p)
                key = doc.key_span(p)
                if isinstance(node, list):
                    if key is not None:
                        self.fail(p, "a list item has a key span")
                    if previous is not None and child.offset < previous.end_offset:
                        self.fail(p, f"{child!r} comes before the item before it {previous!r}")
                    previous = child
                else:
                    self.key(p, k, key)
                if around and not (span.offset < child.offset and child.end_offset < span.end_offset
                                   and (key is None or span.offset < key.offset)):
                    self.fail(p, f"{child!r} is not inside its container's {span!r}")
                # Tables and arrays of tables have headers of their own,
                # which may come before their parent's.
                own = isinstance(v, dict) or (isinstance(v, list)
                                              and self.text(child).startswith("[["))
                if (header and not own and child.offset < span.end_offset
                        and not self.default_copy(p, child)):
                    self.fail(p, f"{child!r} is written before its table's header {span!r}")
                if isinstance(v, (dict, list)):
                    stack.append((p, v, child))
                else:
                    self.scalar(p, v, child)

    def kind(self, node: Any, span: quorvane.Span,
             spans: list[quorvane.Span]) -> tuple[bool, bool]:
        """Whether a container is written around its children, and whether
        it is a table or section with a header its values come after."""
        head = self.text(span)[:2]
        if isinstance(node, list):
            tables = bool(node) and all(isinstance(v, dict) and self.text(s).startswith("[[")
                                        for v, s in zip(node, spans))
            return self.family != "ini" and not tables, False
        if head.startswith("{"):
            return True, False
        return False, self.family != "json" and head.startswith("[")

    def default_copy(self, path: tuple[Any, ...], span: quorvane.Span) -> bool:
        """An INI section's copy of a default key, written in the default section."""
        if self.family != "ini" or len(path) != 2 or path[0] == self.default:
            return False
        try:
            return self.doc.span((self.default, path[1])) == span
        except KeyError:
            return False

    def position(self, span: quorvane.Span, path: tuple[Any, ...]) -> None:
        text = self.doc.text
        if not 0 <= span.offset <= span.end_offset <= len(text):
            self.fail(path, f"{span!r} is outside the document")
        self.seen += 1
        if self.seen > 200 and self.seen % 1009:
            return  # counting lines is linear: on a large file, a sample
        for line, col, at in ((span.lineno, span.colno, span.offset),
                              (span.end_lineno, span.end_colno, span.end_offset)):
            start = text.rfind("\n", 0, at) + 1
            if start == 0 and text.startswith("\ufeff"):
                start = 1
            if (line, col) != (text.count("\n", 0, at) + 1, at - start + 1):
                self.fail(path, f"{span!r}: line and column are not those of the offset")

    def reread(self, text: str) -> Any:
        return quorvane.loads(text, self.fmt, **self.options)  # type: ignore[arg-type]

    def scalar(self, path: tuple[Any, ...], value: Any, span: quorvane.Span) -> None:
        text = self.text(span)
        if self.family == "json":
            got = self.reread(text)
        elif self.family == "toml":
            got = self.reread(f"x = {text}\n")["x"]
        elif value is None:  # an INI key without a value
            return
        else:
            got = self.reread(f"[s]\nk{self.delimiter}{text}\n")["s"]["k"]
        if not checks.same(got, value):
            self.fail(path, f"the text {text!r} reads as {got!r}, not {value!r}")

    def key(self, path: tuple[Any, ...], key: Any, span: quorvane.Span | None) -> None:
        text = "" if span is None else self.text(span)
        if self.family == "ini" and not text and (path == (self.default,)
                                                  or not isinstance(key, str)):
            return  # a default section the document does not write, the unnamed one
        if span is None:
            self.fail(path, "no key span")
        if self.family == "json":
            got = list(self.reread("{" + text + ": 0}"))
        elif self.family == "toml":
            got = list(self.reread(f"{text} = 0\n"))
        elif len(path) == 1:
            got = [key] if key in self.reread(f"[{text}]\n") else [text]
        else:
            got = list(self.reread(f"[s]\n{text}{self.delimiter}v\n")["s"])
        if got != [key]:
            self.fail(path, f"the key text {text!r} reads as {got!r}, not [{key!r}]")


def fuzz(fmt: str, rng: random.Random, seconds: float = 1e9,
         limit: int | None = None) -> tuple[int, int]:
    """Mutated seeds of a format checked for a time or a number of inputs:
    (inputs, how many of them parsed)."""
    import mutate
    import seeds
    corpus = [s[:4096] for s in seeds.sources(SEEDS[fmt])] or [b""]
    toks = mutate.tokens(SEEDS[fmt])
    option_sets = checks.CONFIGPARSER_OPTIONS if fmt == "ini" else [{}]
    runs = parsed = 0
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and runs != limit:
        data = mutate.mutate(rng, rng.choice(corpus), toks, corpus)
        options = rng.choice(option_sets)
        runs += 1
        try:
            parsed += check(fmt, data, **options)
        except Disagreement:
            out = Path("build/fuzz") / f"spans-{fmt}-failure.bin"
            out.parent.mkdir(parents=True, exist_ok=True)
            out.write_bytes(data)
            print(f"{fmt} {options}: failure saved in {out}", file=sys.stderr)
            raise
    return runs, parsed


def main() -> None:
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 30
    for fmt in sys.argv[2:] or list(SEEDS):
        runs, parsed = fuzz(fmt, random.Random(0), seconds)
        print(f"spans {fmt}: {runs} inputs, {parsed} parsed and checked")


if __name__ == "__main__":
    main()
