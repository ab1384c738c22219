"""quorvane: strict, exact and fast JSON, TOML and INI parsers.

    >>> import quorvane
    >>> quorvane.loads('{"port": 8080}', "json")
    {'port': 8080}
"""

from _quorvane import parse_ini, parse_json, parse_toml, version

from ._api import Format, ParseError, load, loads
from ._write import dump, dumps

__version__ = "0.21.0"

__all__ = [
    "Format",
    "ParseError",
    "__version__",
    "dump",
    "dumps",
    "load",
    "loads",
    "parse_ini",
    "parse_json",
    "parse_toml",
    "version",
]
