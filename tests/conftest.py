import sys
from pathlib import Path

# Makes tests/_util.py importable however pytest was started.
sys.path.insert(0, str(Path(__file__).resolve().parent))
