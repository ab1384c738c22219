// Standard TOML 1.0 and 1.1.
#include "std.h"

PyObject *std_parse_toml(PyObject *, PyObject *const *, Py_ssize_t)
{
    PyErr_SetString(PyExc_NotImplementedError, "standard TOML is not built yet");
    return nullptr;
}
