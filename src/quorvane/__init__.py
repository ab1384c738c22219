"""quorvane: strict, exact and fast JSON, TOML and INI parsers."""

from _quorvane import parse_ini, parse_json, parse_toml, version

__version__ = "0.21.0"

__all__ = ["parse_ini", "parse_json", "parse_toml", "version", "__version__"]
