"""quorvane C core: JSON/TOML/INI parsers."""

from typing import Any

def parse_json(text: str | bytes, /) -> Any:
    """Parse a JSON document into a semantic tree."""

def parse_toml(text: str | bytes, /) -> dict[str, Any]:
    """Parse a TOML document into a semantic tree."""

def parse_ini(text: str | bytes, /) -> dict[str, str | dict[str, str]]:
    """Parse an INI document into a semantic tree."""

def version() -> str:
    """Return the C extension version string."""
