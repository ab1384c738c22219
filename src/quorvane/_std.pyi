"""quorvane's readers of standard TOML, of INI as configparser reads it, and of the JSON family."""

from typing import Any, Callable, Iterable, Literal, overload

@overload
def parse_toml(text: str, version: str, parse_float: Callable[[str], Any] | None,
               spans: Literal[False] = ..., /) -> dict[str, Any]:
    """Parse a standard TOML document (version "1.0" or "1.1") into a tree;
    with spans, (tree, the bytes of its span records)."""
@overload
def parse_toml(text: str, version: str, parse_float: Callable[[str], Any] | None,
               spans: Literal[True], /) -> tuple[dict[str, Any], bytes]: ...

@overload
def parse_ini(text: str, delimiters: tuple[str, ...] = ..., comment_prefixes: tuple[str, ...] = ...,
              inline_comment_prefixes: tuple[str, ...] = ..., strict: bool = ...,
              empty_lines_in_values: bool = ..., default_section: str = ...,
              allow_no_value: bool = ..., unnamed_section: object = ...,
              keep_case: bool = ..., spans: Literal[False] = ..., /) -> dict[Any, dict[str, str | None]]:
    """Parse an INI document as configparser reads it into a tree; with
    spans, (tree, the bytes of its span records)."""
@overload
def parse_ini(text: str, delimiters: tuple[str, ...], comment_prefixes: tuple[str, ...],
              inline_comment_prefixes: tuple[str, ...], strict: bool,
              empty_lines_in_values: bool, default_section: str,
              allow_no_value: bool, unnamed_section: object,
              keep_case: bool, spans: Literal[True], /) -> tuple[dict[Any, dict[str, str | None]], bytes]: ...

def read_ini_state(source: str | tuple[str, ...], delimiters: tuple[str, ...],
                   comment_prefixes: tuple[str, ...], inline_comment_prefixes: tuple[str, ...],
                   strict: bool, empty_lines_in_values: bool, default_section: str,
                   allow_no_value: bool, unnamed_section: object,
                   optionxform: Callable[[str], Any] | None, /) -> Any:
    """Read an INI document as configparser's reading fills a parser:
    (sections, errors, stop), or NotImplemented."""

def read_parser_state(parser: Any, source: str | tuple[str, ...], reading: tuple[Any, ...],
                      /) -> Any:
    """read_ini_state with the options of a usual parser taken from it; None
    when it is not one."""

def make_section_proxies(proxies: Any, proxy_class: type, parser: Any, names: list[Any],
                         getters: list[str], partial: Callable[..., Any],
                         words: tuple[str, str, str, tuple[str]] | None = ..., /) -> None:
    """proxies[name] = a section proxy for each name, as SectionProxy makes them."""

def init_parser(self: Any, defaults: Any, dict_type: Any, allow_no_value: Any, delimiters: Any,
                comment_prefixes: Any, inline_comment_prefixes: Any, strict: Any,
                empty_lines_in_values: Any, default_section: Any, interpolation: Any,
                converters: Any, allow_unnamed_section: Any, known: Any, making: tuple[Any, ...],
                /) -> bool:
    """configparser's constructor for a class whose converters are known;
    False (the parser untouched) where it cannot be."""

def fill_parser(parser: Any, sections: list[Any], unnamed: Any, known: Any,
                making: tuple[Any, ...], /) -> Any:
    """What read_ini_state read, put in the parser: None, the new sections whose
    proxies are the caller's to make, or NotImplemented."""

def section_proxies_type() -> type[dict[Any, Any]]:
    """A new dict type for a parser's section proxies, each made by
    make(parser, name) when first looked up."""

def type_version(cls: type, /) -> int:
    """The class's version tag (changes when the class or a base changes); 0: none."""

def parse_json(text: str | bytes, flags: int, error: Callable[[str, str, int], BaseException] | None = ...,
               object_hook: Callable[[dict[Any, Any]], Any] | None = ...,
               object_pairs_hook: Callable[[list[tuple[Any, Any]]], Any] | None = ...,
               parse_float: Callable[[str], Any] | None = ..., parse_int: Callable[[str], Any] | None = ...,
               parse_constant: Callable[[str], Any] | None = ..., /) -> Any:
    """Parse a document of the JSON family; flags choose the dialect's options."""

def write_json(obj: Any, skipkeys: object, ensure_ascii: object, check_circular: object,
               allow_nan: object, sort_keys: object, indent: str | None, item_separator: str,
               key_separator: str, default: Callable[[Any], Any] | None, /) -> str:
    """Write obj as JSON, exactly as json.dumps writes it with these options."""

def write_toml(obj: Any, multiline_strings: object, indent: str, mapping_type: type, /) -> str:
    """Write the table obj as TOML."""

def write_ini(tree: Any, /, *, space_around_delimiters: bool = True,
              delimiters: Iterable[str] = ("=", ":"), default_section: str = "DEFAULT",
              allow_no_value: bool = False) -> str:
    """Write {section: {key: value}} as configparser's write() writes it."""

def native_loads(fallback: Callable[..., Any],
                 rows: tuple[tuple[str, Callable[..., Any], tuple[Any, ...], bool], ...],
                 mark_leads: bytes, /) -> Callable[..., Any]:
    """quorvane.loads: the common calls read natively, the others fallback's."""
