"""Standard TOML (quorvane.toml) against the other standard TOML readers, on
the real-world documents, side by side in one process.

Beside the peers, two references: the dialect reader (parse_toml of
_quorvane) on the files both read, and marshal.loads of the same tree, the
interpreter's own fastest way to build it (files with date-times, which
marshal cannot hold, have none).
"""

from __future__ import annotations

import marshal
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from _common import DATA, installed, min_time, print_table  # noqa: E402


def _peers() -> dict:
    return installed({"tomllib": "tomllib:loads", "tomli": "tomli:loads",
                      "rtoml": "rtoml:loads"})


def run() -> None:
    import _quorvane
    import quorvane.toml as qtoml
    from quorvane import _std

    ours = "quorvane.toml"
    peers = _peers()
    rows = []
    for path in sorted((DATA / "toml").glob("*.toml")):
        text = path.read_text(encoding="utf-8")
        times = {ours: min_time(lambda: qtoml.loads(text))}
        for name, loads in peers.items():
            times[name] = min_time(lambda loads=loads: loads(text))
        try:
            _quorvane.parse_toml(text)
        except ValueError:
            pass  # a document the dialect refuses by design
        else:
            times["dialect"] = min_time(lambda: _quorvane.parse_toml(text))
        try:
            blob = marshal.dumps(_std.parse_toml(text, "1.1", None))
        except ValueError:
            pass  # date-times
        else:
            times["marshal"] = min_time(lambda: marshal.loads(blob))
        rows.append((path.name, times))
    print_table("standard TOML", ours, rows)


if __name__ == "__main__":
    run()
