import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
# Makes tests/_util.py and the fuzzers' checks (fuzz/checks.py) importable
# however pytest was started.
sys.path.insert(0, str(HERE.parent / "fuzz"))
sys.path.insert(0, str(HERE))
