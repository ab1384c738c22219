"""Instruction counts of the readers under callgrind, file by file.

    python bench/callgrind.py BUILD_DIR [BUILD_DIR ...] [--repeat N]

Each BUILD_DIR is a directory holding _quorvane and the quorvane package
(build/dev after .ci/build-dev, or a copy of it from before a change).  For
every JSON and TOML benchmark file and every reader of it (parse_json;
parse_toml and quorvane.toml.loads), one valgrind run parses the file N
times and counts only the instructions spent inside the reader's C entry
point, so interpreter start-up and file reading do not blur the numbers.
Counts are per parse; with two or more builds the last column is the
change of the last build against the first.
"""

from __future__ import annotations

import os
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from _common import DATA, callgrind_count  # noqa: E402

# reader label -> (callgrind function pattern, the call, the data folder)
READERS = {
    "parse_json": ("*quorvane_parse_json_text*", "_quorvane.parse_json(text)", "json"),
    "parse_toml": ("*quorvane_parse_toml_text*", "_quorvane.parse_toml(text)", "toml"),
    "toml.loads": ("*std_parse_toml*", "quorvane.toml.loads(text)", "toml"),
}

SCRIPT = """
import sys
sys.path.insert(0, {build!r})
import _quorvane, quorvane.toml
text = open({path!r}, encoding="utf-8").read()
try:
    {call}
except ValueError:
    sys.exit(3)  # a document this reader refuses: not counted
for _ in range({repeat} - 1):
    {call}
"""


def count(build: str, reader: str, path: Path, repeat: int) -> int | None:
    pattern, call, _ = READERS[reader]
    code = SCRIPT.format(build=build, path=str(path), repeat=repeat, call=call)
    return callgrind_count(code, pattern, repeat)


def main(argv: list[str]) -> None:
    repeat = 3
    if "--repeat" in argv:
        i = argv.index("--repeat")
        repeat = int(argv[i + 1])
        del argv[i:i + 2]
    builds = [os.path.abspath(b) for b in argv]
    if not builds:
        sys.exit(__doc__)
    sums = [0] * len(builds)
    for reader, (_, _, folder) in READERS.items():
        for path in sorted((DATA / folder).glob(f"*.{folder}")):
            counts = [count(b, reader, path, repeat) for b in builds]
            if None in counts:
                print(f"{reader:11} {path.name:40} refused", flush=True)
                continue
            sums = [s + c for s, c in zip(sums, counts)]
            change = f"{100 * (counts[-1] - counts[0]) / counts[0]:+.2f}%" if len(counts) > 1 else ""
            print(f"{reader:11} {path.name:40}", *(f"{c:>13,}" for c in counts), change, flush=True)
    change = f"{100 * (sums[-1] - sums[0]) / sums[0]:+.2f}%" if len(sums) > 1 else ""
    print(f"{'all':11} {'':40}", *(f"{c:>13,}" for c in sums), change)


if __name__ == "__main__":
    main(sys.argv[1:])
