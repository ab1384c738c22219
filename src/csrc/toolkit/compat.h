// The few C API calls that CPython 3.12 and 3.13 added, for the older
// interpreters the package also builds for (3.11 and later).  Each is
// defined under its modern name only where the interpreter lacks it, so
// the readers call the one API everywhere and a 3.13 build uses the
// interpreter's own functions, unchanged.
//
//   PyErr_GetRaisedException, PyErr_SetRaisedException     (3.12)
//   PyUnstable_Type_AssignVersionTag                         (3.12)
//   PyUnstable_Long_IsCompact, PyUnstable_Long_CompactValue  (3.12)
//   PyDict_GetItemRef, PyDict_SetDefaultRef                  (3.13)
//   qv::stateless_module_slots: the module slots of a module that keeps no
//   state (own-GIL subinterpreters from 3.12, no GIL needed from 3.13)
//   QUORVANE_API: what a function that leaves the module is declared with
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// The modules are compiled with hidden visibility: only what is declared
// with this leaves them (each module's exports.map lists the same names,
// for the linkers that take a version script).
#define QUORVANE_API extern "C" __attribute__((visibility("default")))

#if PY_VERSION_HEX < 0x030C0000

// The pending exception as one object (normalised, its traceback attached),
// clearing the error indicator; NULL when none is pending.
inline PyObject *PyErr_GetRaisedException(void)
{
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr)
        return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr) {
        PyException_SetTraceback(value, tb);
        Py_DECREF(tb);
    }
    Py_DECREF(type);
    return value;
}

// Raises exc, stealing the reference; NULL clears the error indicator.
inline void PyErr_SetRaisedException(PyObject *exc)
{
    if (exc == nullptr) {
        PyErr_Clear();
        return;
    }
    PyErr_Restore(Py_NewRef(Py_TYPE(exc)), exc, PyException_GetTraceback(exc));
}

// Whether the class has a valid version tag.  3.11 assigns tags only on
// its own method-cache look-ups, so a class may have none yet: callers
// then treat it as untagged (0), which costs them only their cache.
// An int of at most one digit, and its value (3.11 keeps the sign in the
// object's size).
inline int PyUnstable_Long_IsCompact(const PyLongObject *op)
{
    Py_ssize_t size = Py_SIZE(op);
    return size >= -1 && size <= 1;
}

inline Py_ssize_t PyUnstable_Long_CompactValue(const PyLongObject *op)
{
    return Py_SIZE(op) * static_cast<Py_ssize_t>(op->ob_digit[0]);
}

inline int PyUnstable_Type_AssignVersionTag(PyTypeObject *type)
{
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
}

#endif

#if PY_VERSION_HEX < 0x030D0000

// *result: a new reference to d[key], or NULL when key is absent.
// Returns 1 when found, 0 when absent, -1 with an exception set.
inline int PyDict_GetItemRef(PyObject *d, PyObject *key, PyObject **result)
{
    PyObject *value = PyDict_GetItemWithError(d, key);
    *result = Py_XNewRef(value);
    if (value != nullptr)
        return 1;
    return PyErr_Occurred() ? -1 : 0;
}

// d[key] = default_value unless key is present.  Returns 0 when it was
// inserted, 1 when key was present, -1 with an exception set; *result (if
// given) is a new reference to the value now under key.  One lookup, as in
// 3.13: whether PyDict_SetDefault inserted is told by the size, since the
// value found may be default_value itself.
inline int PyDict_SetDefaultRef(PyObject *d, PyObject *key, PyObject *default_value,
                                PyObject **result)
{
    Py_ssize_t before = PyDict_GET_SIZE(d);
    PyObject *value = PyDict_SetDefault(d, key, default_value);
    if (result != nullptr)
        *result = Py_XNewRef(value);
    if (value == nullptr)
        return -1;
    return PyDict_GET_SIZE(d) == before ? 1 : 0;
}

#endif

namespace qv {

// Both modules keep no state of their own (every call builds its context
// on the stack), so they are initialised in phases and may be loaded by
// any interpreter: subinterpreters with their own GIL where the
// interpreter has them, and without the GIL where it can run so.
inline PyModuleDef_Slot stateless_module_slots[] = {
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

}  // namespace qv
