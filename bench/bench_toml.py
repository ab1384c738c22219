"""parse_toml against the other TOML readers, on the real-world documents.

Each file is timed for every parser that can read it (str input), side by
side in one process; the table shows each peer's time divided by ours.
"""

from __future__ import annotations

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from _common import DATA, installed, min_time, print_table  # noqa: E402


def _peers() -> dict:
    return installed({"tomllib": "tomllib:loads", "tomli": "tomli:loads",
                      "rtoml": "rtoml:loads", "pytomlpp": "pytomlpp:loads"})


def run() -> None:
    import _quorvane

    ours = "quorvane"
    peers = _peers()
    rows = []
    for path in sorted((DATA / "toml").glob("*.toml")):
        text = path.read_text(encoding="utf-8")
        try:
            _quorvane.parse_toml(text)
        except ValueError:
            continue  # a document this dialect refuses by design
        times = {ours: min_time(lambda: _quorvane.parse_toml(text))}
        for name, loads in peers.items():
            try:
                loads(text)
            except Exception:
                continue
            times[name] = min_time(lambda loads=loads: loads(text))
        rows.append((path.name, times))
    print_table("TOML", ours, rows)


if __name__ == "__main__":
    run()
