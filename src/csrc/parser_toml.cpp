// TOML parser: not built yet.
#include "quorvane.h"

QUORVANE_API PyObject *quorvane_parse_toml_text(const char *, Py_ssize_t)
{
    PyErr_SetString(PyExc_NotImplementedError, "TOML parser not implemented yet");
    return nullptr;
}
