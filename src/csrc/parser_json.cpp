// JSON parser: not built yet.
#include "quorvane.h"

QUORVANE_API PyObject *quorvane_parse_json_text(const char *, Py_ssize_t)
{
    PyErr_SetString(PyExc_NotImplementedError, "JSON parser not implemented yet");
    return nullptr;
}
