// quorvane._std: module definition.  The module keeps no state of its own,
// so it is initialised in phases and may be loaded by any interpreter,
// subinterpreters with their own GIL included.
#include "std.h"

namespace {

PyMethodDef std_methods[] = {
    {"parse_toml", (PyCFunction)(void (*)(void))std_parse_toml, METH_FASTCALL,
     "parse_toml(text, version, parse_float, /)\n--\n\n"
     "Parse a standard TOML document (version \"1.0\" or \"1.1\") into a tree."},
    {"parse_ini", (PyCFunction)(void (*)(void))std_parse_ini, METH_FASTCALL,
     "parse_ini(text, delimiters=('=', ':'), comment_prefixes=('#', ';'),\n"
     "          inline_comment_prefixes=(), strict=True, empty_lines_in_values=True,\n"
     "          default_section='DEFAULT', allow_no_value=False, unnamed_section=None,\n"
     "          keep_case=False, /)\n--\n\n"
     "Parse an INI document as configparser.ConfigParser(interpolation=None)\n"
     "reads it into {section: {key: value}}: the default section first, every\n"
     "section with the default keys after its own.  The prefixes and delimiters\n"
     "are tuples of str; unnamed_section is the key of the section before the\n"
     "first header (None: such keys are refused); keys are lower-cased unless\n"
     "keep_case.  Errors: ValueError(message, byte offset)."},
    {"parse_json", (PyCFunction)(void (*)(void))std_parse_json, METH_FASTCALL,
     "parse_json(text, flags, error=None, object_hook=None, object_pairs_hook=None,\n"
     "           parse_float=None, parse_int=None, parse_constant=None, /)\n--\n\n"
     "Parse a document of the JSON family (str or UTF-8 bytes).  flags: 1\n"
     "comments, 2 trailing commas, 4 JSON5, 8 NaN and Infinity, 16 lone\n"
     "surrogate escapes kept, 32 control characters in strings, 64 json's\n"
     "messages, places (characters) and recursion limit, raised as\n"
     "error(msg, doc, pos).  Other errors: ValueError(message, byte offset)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot std_slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef std_module = {
    PyModuleDef_HEAD_INIT,
    "quorvane._std",
    "quorvane's readers of standard TOML, of INI as configparser reads it, and of the JSON family.",
    0,
    std_methods,
    std_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject *PyInit__std(void)
{
    return PyModuleDef_Init(&std_module);
}
