// The companion module quorvane._std: the readers of the formats as their
// standards and the standard library read them (standard TOML, INI as
// configparser reads it, and the JSON family: JSON as json reads it, JSONC
// and JSON5), beside the dialect readers of _quorvane.
//
// Every document error is raised as ValueError(message, offset): the
// message, and the byte offset into the UTF-8 text where the document goes
// wrong.  The Python faces turn it into their own error types (ParseError,
// TOMLDecodeError), with lines and columns counted their own way.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Spans: a reader asked for them returns (tree, spans) instead of the tree,
// spans being the bytes of a qv::SpanTable (toolkit/spans.h): one record
// per key and value of the tree, in byte offsets of the UTF-8 text.

// parse_toml(text: str, version: str, parse_float: callable | None,
//            spans: bool = False, /) -> dict | (dict, bytes)
PyObject *std_parse_toml(PyObject *module, PyObject *const *args, Py_ssize_t nargs);

// parse_ini(text: str, delimiters, comment_prefixes, inline_comment_prefixes,
//           strict, empty_lines_in_values, default_section, allow_no_value,
//           unnamed_section, keep_case, spans, /) -> dict | (dict, bytes)
//           (options may be left out)
PyObject *std_parse_ini(PyObject *module, PyObject *const *args, Py_ssize_t nargs);

// read_ini_state(source: str | tuple[str, ...], delimiters, comment_prefixes,
//                inline_comment_prefixes, strict, empty_lines_in_values,
//                default_section, allow_no_value, unnamed_section,
//                optionxform, /) -> (sections, errors, stop) | NotImplemented
// What configparser's reading leaves in a parser (see ini.cpp).
PyObject *std_read_ini_state(PyObject *module, PyObject *const *args, Py_ssize_t nargs);

// read_parser_state(parser, source, reading, /) -> the same | None
// read_ini_state with the options taken from a usual parser (see ini.cpp).
PyObject *std_read_parser_state(PyObject *module, PyObject *const *args, Py_ssize_t nargs);

// make_section_proxies(proxies, proxy_class, parser, names, getters, partial,
//                      words=None, /)
// Section proxies as configparser's SectionProxy makes them (see ini.cpp).
PyObject *std_make_section_proxies(PyObject *module, PyObject *const *args, Py_ssize_t nargs);

// init_parser(self, defaults, dict_type, allow_no_value, delimiters,
//             comment_prefixes, inline_comment_prefixes, strict,
//             empty_lines_in_values, default_section, interpolation,
//             converters, allow_unnamed_section, known, making, /) -> bool
// configparser's constructor for a class whose converters are known; False
// (the parser untouched) where it cannot (see configparser.cpp).
PyObject *std_init_parser(PyObject *module, PyObject *const *args, Py_ssize_t nargs);

// fill_parser(parser, sections, unnamed, known, making, /) -> None | list
// What read_ini_state read, put in a parser whose mappings are dicts (see
// configparser.cpp).
PyObject *std_fill_parser(PyObject *module, PyObject *const *args, Py_ssize_t nargs);

// section_proxies_type() -> type: a new dict type for a parser's section
// proxies, each made when first looked up (see configparser.cpp).
PyObject *std_section_proxies_type(PyObject *module, PyObject *unused);

// type_version(cls, /) -> int: the class's version tag, 0 when it has none.
PyObject *std_type_version(PyObject *module, PyObject *cls);

// parse_json(text: str | bytes, flags: int, error=None, object_hook=None,
//            object_pairs_hook=None, parse_float=None, parse_int=None,
//            parse_constant=None, /) -> value
// flags: 1 comments, 2 trailing commas, 4 JSON5, 8 NaN and Infinity, 16 lone
// surrogate escapes kept, 32 control characters in strings, 64 json's
// errors (then `error` is the class called as error(msg, doc, char_pos)),
// 128 spans: (value, bytes) is returned (only without hooks and without 64).
PyObject *std_parse_json(PyObject *module, PyObject *const *args, Py_ssize_t nargs);

// native_loads(fallback, rows: tuple, mark_leads: bytes, /) -> callable
// quorvane.loads: rows ((name, reader, args, takes_str), ...) are the
// formats read straight by reader(text, *args); everything else is
// fallback's (see loads.cpp).
PyObject *std_native_loads(PyObject *module, PyObject *const *args, Py_ssize_t nargs);

// The writers.  Each returns the document as a str; errors are the
// exceptions of the writer whose output it reproduces.

// write_json(obj, skipkeys, ensure_ascii, check_circular, allow_nan,
//            sort_keys, indent: str | None, item_separator: str,
//            key_separator: str, default: callable | None, /) -> str
PyObject *std_write_json(PyObject *module, PyObject *const *args, Py_ssize_t nargs);

// write_toml(obj, multiline_strings, indent: str, Mapping, /) -> str
//   Mapping is collections.abc.Mapping, for the tables that are not dicts.
PyObject *std_write_toml(PyObject *module, PyObject *const *args, Py_ssize_t nargs);

// write_ini(tree, /, *, space_around_delimiters=True, delimiters=("=", ":"),
//           default_section="DEFAULT", allow_no_value=False) -> str
//   quorvane.ini.dumps itself (keywords taken natively: on a small file the
//   call is most of the time).
PyObject *std_write_ini(PyObject *module, PyObject *const *args, Py_ssize_t nargs,
                        PyObject *kwnames);
