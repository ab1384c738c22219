// quorvane._std: module definition.  The module keeps no state of its own,
// so it is initialised in phases and may be loaded by any interpreter,
// subinterpreters with their own GIL included.
#include "std.h"
#include "toolkit/compat.h"

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
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef std_module = {
    PyModuleDef_HEAD_INIT,
    "quorvane._std",
    "quorvane's readers of standard TOML and of INI as configparser reads it.",
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
