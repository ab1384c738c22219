// quorvane._std: module definition.  The module keeps no state of its own,
// so it is initialised in phases and may be loaded by any interpreter,
// subinterpreters with their own GIL included.
#include "std.h"
#include "toolkit/compat.h"

namespace {

PyMethodDef std_methods[] = {
    {"parse_toml", (PyCFunction)(void (*)(void))std_parse_toml, METH_FASTCALL,
     "parse_toml(text, version, parse_float, spans=False, /)\n--\n\n"
     "Parse a standard TOML document (version \"1.0\" or \"1.1\") into a tree;\n"
     "with spans, (tree, the bytes of its span records)."},
    {"parse_ini", (PyCFunction)(void (*)(void))std_parse_ini, METH_FASTCALL,
     "parse_ini(text, delimiters=('=', ':'), comment_prefixes=('#', ';'),\n"
     "          inline_comment_prefixes=(), strict=True, empty_lines_in_values=True,\n"
     "          default_section='DEFAULT', allow_no_value=False, unnamed_section=None,\n"
     "          keep_case=False, spans=False, /)\n--\n\n"
     "Parse an INI document as configparser.ConfigParser(interpolation=None)\n"
     "reads it into {section: {key: value}}: the default section first, every\n"
     "section with the default keys after its own.  The prefixes and delimiters\n"
     "are tuples of str; unnamed_section is the key of the section before the\n"
     "first header (None: such keys are refused); keys are lower-cased unless\n"
     "keep_case.  With spans, (tree, the bytes of its span records).\n"
     "Errors: ValueError(message, byte offset)."},
    {"read_ini_state", (PyCFunction)(void (*)(void))std_read_ini_state, METH_FASTCALL,
     "read_ini_state(source, delimiters, comment_prefixes, inline_comment_prefixes,\n"
     "               strict, empty_lines_in_values, default_section, allow_no_value,\n"
     "               unnamed_section, optionxform, /)\n--\n\n"
     "Read an INI document (a str, or a tuple of lines) as configparser's reading\n"
     "fills a parser: (sections, errors, stop), sections as [(name, own keys)] in\n"
     "the order first opened, the default section's under its name; errors as\n"
     "[(lineno, line)] for the lines it cannot parse; stop None, or where the\n"
     "reading stops: ('section', name, lineno), ('option', section, option,\n"
     "lineno), ('header', lineno, line) or ('continuation', lineno, line).\n"
     "optionxform: None (str.lower), str (keys as written) or a callable.\n"
     "NotImplemented: lines to leave to configparser's own reading."},
    {"read_parser_state", (PyCFunction)(void (*)(void))std_read_parser_state, METH_FASTCALL,
     "read_parser_state(parser, source, reading, /)\n--\n\n"
     "read_ini_state with the options a usual parser reads with, taken from it;\n"
     "None when the parser is not a usual one (its options are the caller's to\n"
     "take); NotImplemented also when the reader raised an Exception."},
    {"make_section_proxies", (PyCFunction)(void (*)(void))std_make_section_proxies,
     METH_FASTCALL,
     "make_section_proxies(proxies, proxy_class, parser, names, getters, partial,\n"
     "                     words=None, /)\n--\n\n"
     "proxies[name] = a section proxy for each name, made as configparser's\n"
     "SectionProxy(parser, name) makes one: _parser, _name, and each getter g as\n"
     "partial(proxy.get, _impl=getattr(parser, g)).  words: the names it uses,\n"
     "(\"_parser\", \"_name\", \"get\", (\"_impl\",)), made here when None."},
    {"init_parser", (PyCFunction)(void (*)(void))std_init_parser, METH_FASTCALL,
     "init_parser(self, defaults, dict_type, allow_no_value, delimiters,\n"
     "            comment_prefixes, inline_comment_prefixes, strict,\n"
     "            empty_lines_in_values, default_section, interpolation, converters,\n"
     "            allow_unnamed_section, known, making, /)\n--\n\n"
     "configparser's constructor, made natively for a class whose converters are\n"
     "known (known: (class version, converter names, getter names, plain));\n"
     "False, with the parser untouched, where it cannot be."},
    {"fill_parser", (PyCFunction)(void (*)(void))std_fill_parser, METH_FASTCALL,
     "fill_parser(parser, sections, unnamed, known, making, /)\n--\n\n"
     "What read_ini_state read, put in the parser as configparser's reading puts\n"
     "it, new sections' proxies included: None; the names of the new sections\n"
     "whose proxies are the caller's to make; NotImplemented, nothing changed,\n"
     "when the parser's mappings are not dicts."},
    {"section_proxies_type", std_section_proxies_type, METH_NOARGS,
     "section_proxies_type()\n--\n\n"
     "A new dict type for a parser's section proxies: SectionProxies(parser, make)\n"
     "holds the same keys as configparser's, and a name whose proxy is owed\n"
     "(proxies.owe(names)) gets it from make(parser, name) when first looked up;\n"
     "whatever hands out values makes the owed ones first."},
    {"type_version", std_type_version, METH_O,
     "type_version(cls, /)\n--\n\n"
     "The class's version tag, which changes whenever the class or a base of it\n"
     "is changed; 0 when it has none."},
    {"parse_json", (PyCFunction)(void (*)(void))std_parse_json, METH_FASTCALL,
     "parse_json(text, flags, error=None, object_hook=None, object_pairs_hook=None,\n"
     "           parse_float=None, parse_int=None, parse_constant=None, /)\n--\n\n"
     "Parse a document of the JSON family (str or UTF-8 bytes).  flags: 1\n"
     "comments, 2 trailing commas, 4 JSON5, 8 NaN and Infinity, 16 lone\n"
     "surrogate escapes kept, 32 control characters in strings, 64 json's\n"
     "messages, places (characters) and recursion limit, raised as\n"
     "error(msg, doc, pos), 128 (value, the bytes of its span records).\n"
     "Other errors: ValueError(message, byte offset)."},
    {"native_loads", (PyCFunction)(void (*)(void))std_native_loads, METH_FASTCALL,
     "native_loads(fallback, rows, mark_leads, /)\n--\n\n"
     "quorvane.loads, a built-in function: a call with a text and a format name\n"
     "of rows, ((name, reader, args, takes_str), ...), and a document that is\n"
     "neither empty nor led by one of the bytes mark_leads (or U+FEFF) is read\n"
     "as reader(text, *args), bytes decoded first when takes_str; any other\n"
     "call, and one whose reading raises ValueError, is fallback's."},
    {"write_json", (PyCFunction)(void (*)(void))std_write_json, METH_FASTCALL,
     "write_json(obj, skipkeys, ensure_ascii, check_circular, allow_nan, sort_keys,\n"
     "           indent, item_separator, key_separator, default, /)\n--\n\n"
     "Write obj as JSON, exactly as json.dumps writes it with these options\n"
     "(indent a str or None; default a callable or None)."},
    {"write_toml", (PyCFunction)(void (*)(void))std_write_toml, METH_FASTCALL,
     "write_toml(obj, multiline_strings, indent, mapping_type, /)\n--\n\n"
     "Write the table obj as TOML (indent: the str of one level of array items;\n"
     "mapping_type: the class whose instances are tables)."},
    {"write_ini", (PyCFunction)(void (*)(void))std_write_ini, METH_FASTCALL | METH_KEYWORDS,
     "write_ini(tree, /, *, space_around_delimiters=True, delimiters=('=', ':'),\n"
     "          default_section='DEFAULT', allow_no_value=False)\n--\n\n"
     "The INI text of ``{section: {key: value}}``, exactly as configparser's\n"
     "``write()`` writes a ``ConfigParser`` that holds those sections and values\n"
     "(each section added with ``add_section``, each value with ``set``; keys\n"
     "as given).\n\n"
     "The default section comes first, then configparser's ``UNNAMED_SECTION``\n"
     "(without a header), then the others in order.  Each key is written with\n"
     "the first delimiter, surrounded by spaces when\n"
     "``space_around_delimiters``; a value's line ends continue it on lines\n"
     "indented by a tab; with ``allow_no_value``, a ``None`` value is the key\n"
     "alone.  Section names, keys and values that are not str raise\n"
     "configparser's ``TypeError``; a key configparser would write but not\n"
     "read back (one holding a delimiter, or starting like a section header)\n"
     "and an empty section name raise ``ValueError``."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef std_module = {
    PyModuleDef_HEAD_INIT,
    "quorvane._std",
    "quorvane's readers of standard TOML, of INI as configparser reads it, and of the JSON family.",
    0,
    std_methods,
    qv::stateless_module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

QUORVANE_API PyObject *PyInit__std(void)
{
    return PyModuleDef_Init(&std_module);
}
