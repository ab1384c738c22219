// toolkit/dict.h: the value under a key, created when absent.
//
//   PyObject *child = qv::get_or_add(parent, key, PyDict_New);
//   PyObject *child = qv::child_dict(parent, key);   // the same, for a dict
//
// Returns a borrowed reference (the parent holds it), or NULL with an
// exception set.  An existing value is returned whatever its type: the
// reader decides what a value of the wrong kind means in its grammar.
#pragma once

#include "ref.h"

namespace qv {

inline PyObject *get_or_add(PyObject *parent, PyObject *key, PyObject *(*make)())
{
    PyObject *found = PyDict_GetItemWithError(parent, key);
    if (found != nullptr || PyErr_Occurred())
        return found;
    Ref fresh(make());
    if (!fresh || PyDict_SetItem(parent, key, fresh.get()) < 0)
        return nullptr;
    return fresh.get();  // the parent holds it now
}

inline PyObject *new_dict() { return PyDict_New(); }
inline PyObject *new_list() { return PyList_New(0); }

inline PyObject *child_dict(PyObject *parent, PyObject *key)
{
    return get_or_add(parent, key, new_dict);
}

}  // namespace qv
