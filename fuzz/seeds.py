"""Writes a seed corpus for one format: python fuzz/seeds.py FORMAT OUTDIR

Seeds are the bundled examples, the real documents and conformance files
beside the repository (when present), and a few tricky snippets.
"""

from __future__ import annotations

import hashlib
import os
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
DATA = Path(os.environ.get("QUORVANE_DATA", ROOT.parent / "shared" / "data"))

SNIPPETS = {
    "json": [b'{"a": [1, 2.5e-3, -0, "x\\u00e9\\uD83D\\uDE00"], "b": null}', b"[[[[]]]]",
             b'"\\u12"', b"1e400", b"123456789012345678901234567890",
             # A repeated key hides what is refused by design from the tree.
             b'{"a":"\\uDE00b","a":"b"}', b'{"a":' + b"[" * 512 + b"]" * 512 + b',"a":1}'],
    "toml": [b'[a]\nb = 1\n[[c]]\nd = "x"\n[[c]]\ne.f = 0x1F\n',
             b'a = """\nx\\\n  y"""\nb = \'\'\'z\'\'\'\n', b"t = {x = [1, {y = 2}]}\n",
             b"d = 1979-05-27T07:32:00Z\nf = +1_000.5e-3\n",
             # CR LF as escapes beside CRLF line ends in a multi-line string.
             b'a = """\\\r\n x\r\ny("\\r\\n")"""\r\n'],
    "ini": [b"[s]\nk = v\n; c\n# d\nx: 'q'\n", b"[a]\r\nb=c\r\n"],
    "configparser": [b"[DEFAULT]\nd = 1\n[s]\nK = v\n  more\n\n  lines ; c\nflag\n",
                     b"k = v\n[a] tail\nx := y\n\tz -> w\n[a]\n", b"[\xc3\x89]\n\xc4\xb0 = \xe3\x80\x80v\n"],
    "toml-std": [b"[[a]]\n[a.b]\nc = 1\n[x.y]\n[x]\nz.w = {p.q = 2, r = [1979-05-27, 07:32]}\n",
                 b'e = "\\e\\x41"\nt = {\n  a = 1, # c\n}\nd = 1987-07-05 17:45Z\n'],
    "json-family": [b'// c\n{a: 0x1F, \'b\': [.5, +1., -Infinity, NaN,], /* d */ "e": "\\x41\\\n",}',
                    b'{"a": NaN, "b": "\\ud800", "c": [1e400, -0, 1.5e-7]}', b'\xef\xbb\xbf[1]',
                    b'{sig\\u03A3ma: "\xe2\x80\xa8", \xc3\xbcml: \'\\0\'}\xc2\xa0'],
}
# A format that reads the documents of another, beside snippets of its own.
FAMILY = {"toml-std": "toml", "configparser": "ini", "json-family": "json"}
# Documents of the dialects, beside those of the family's format.
DIALECT_DATA = {"json-family": (("bench", "jsonc"), ("bench", "json5"), ("bench", "json-config"),
                                ("conformance", "json5-tests"))}

SUFFIXES = {"json": {".json"}, "toml": {".toml"}, "ini": {".ini", ".cfg", ".conf"}}


def sources(fmt: str):
    yield from SNIPPETS[fmt]
    for parts in DIALECT_DATA.get(fmt, ()):
        folder = DATA.joinpath(*parts)
        if folder.is_dir():
            for path in sorted(folder.rglob("*")):
                if path.is_file() and path.suffix in {".json", ".json5", ".jsonc", ".js", ".txt"}:
                    yield path.read_bytes()[:65536]
    fmt = FAMILY.get(fmt, fmt)
    for path in sorted((ROOT / "examples").iterdir()):
        if path.suffix in SUFFIXES[fmt]:
            yield path.read_bytes()
    bench = DATA / "bench" / fmt
    if bench.is_dir():
        for path in sorted(bench.iterdir()):
            data = path.read_bytes()
            yield data[:65536]
    conformance = {"json": DATA / "conformance" / "json",
                   "toml": DATA / "conformance" / "toml"}.get(fmt)
    if conformance is not None and conformance.is_dir():
        for path in sorted(conformance.rglob("*")):
            if path.is_file() and path.suffix in SUFFIXES[fmt] and path.stat().st_size < 65536:
                yield path.read_bytes()


def main() -> None:
    fmt, out = sys.argv[1], Path(sys.argv[2])
    out.mkdir(parents=True, exist_ok=True)
    n = 0
    for data in sources(fmt):
        (out / hashlib.sha1(data).hexdigest()).write_bytes(data)
        n += 1
    print(f"{n} seeds for {fmt} in {out}")


if __name__ == "__main__":
    main()
