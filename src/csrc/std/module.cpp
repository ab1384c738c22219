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
     "parse_ini(text, *options, /)\n--\n\n"
     "Parse an INI document as configparser reads it into a tree."},
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
    "quorvane's readers of standard TOML and of INI as configparser reads it.",
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
