"""quorvane: strict, exact and fast JSON, TOML and INI parsers.

    >>> import quorvane
    >>> quorvane.loads('{"port": 8080}', "json")
    {'port': 8080}
"""

from _quorvane import parse_ini, parse_json, parse_toml, version

from ._api import Format, ParseError, load, loads
from ._spans import Document, Span, ValidationError, load_with_spans, loads_with_spans
from ._write import dump, dumps

__version__ = "0.21.0"

__all__ = [
    "Document",
    "Format",
    "ParseError",
    "Span",
    "ValidationError",
    "__version__",
    "dump",
    "dumps",
    "load",
    "load_with_spans",
    "loads",
    "loads_with_spans",
    "parse_ini",
    "parse_json",
    "parse_toml",
    "version",
]
