// INI as configparser reads it.
#include "std.h"

PyObject *std_parse_ini(PyObject *, PyObject *const *, Py_ssize_t)
{
    PyErr_SetString(PyExc_NotImplementedError, "configparser-style INI is not built yet");
    return nullptr;
}
