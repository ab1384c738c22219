// toolkit/dict.h: the value under a key, created when absent; a dict's
// items walked fast.
//
//   PyObject *child = qv::get_or_add(parent, key, PyDict_New);
//   PyObject *child = qv::child_dict(parent, key);   // the same, for a dict
//
// Returns a borrowed reference (the parent holds it), or NULL with an
// exception set.  An existing value is returned whatever its type: the
// reader decides what a value of the wrong kind means in its grammar.
//
//   qv::DictItems items(dict);                      // an exact dict
//   while (items.next(&key, &value, stale)) ...     // borrowed, PyDict_Next's order
//   items.run(&entry, &step, &count); items.skip(n)  // its table walked by the caller
#pragma once

#include <cstdint>

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

// An exact dict's items in PyDict_Next's order, read from its table.  On
// the interpreters whose table layout is known (3.11 to 3.13, with the
// GIL) a combined table is walked as PyDict_Next walks it: its entries in
// order, those without a value skipped, the table read afresh at each step
// when the caller says Python code may have run, which may have changed
// the dict).  A split table
// (an instance's __dict__) and other interpreters take PyDict_Next itself.
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
#define QV_DICT_TABLE 1
struct DictTable {
    Py_ssize_t refcnt;
    uint8_t log2_size, log2_index_bytes, kind;  // kind 0: entries with their hash
    uint32_t version;
    Py_ssize_t usable, nentries;
    char indices[];  // then the entries
};
#endif

class DictItems {
public:
    explicit DictItems(PyObject *dict) : dict_(dict) {}

    // The next item; `stale` when Python code may have run since the last
    // step (the table is then read again, as PyDict_Next reads it).
    bool next(PyObject **key, PyObject **value, bool stale)
    {
#ifdef QV_DICT_TABLE
        if (stale || entries_ == nullptr) {
            auto *mp = reinterpret_cast<PyDictObject *>(dict_);
            if (mp->ma_values != nullptr)
                return PyDict_Next(dict_, &pos_, key, value);
            auto *t = reinterpret_cast<DictTable *>(mp->ma_keys);
            n_ = t->nentries;
            // An entry is (key, value), or (hash, key, value) in a general table.
            width_ = t->kind == 0 ? 3 : 2;
            entries_ = reinterpret_cast<PyObject **>(t->indices + ((size_t)1 << t->log2_index_bytes)) +
                       (width_ - 2);
        }
        PyObject **e = entries_ + width_ * pos_;
        while (pos_ < n_ && e[1] == nullptr) {
            pos_++;
            e += width_;
        }
        if (pos_ >= n_)
            return false;
        *key = e[0];
        *value = e[1];
        pos_++;
        return true;
#else
        (void)stale;
        return PyDict_Next(dict_, &pos_, key, value);
#endif
    }

    // The table's entries from the position on, for a caller that walks
    // them itself while no Python code runs (which leaves the table as it
    // is): entry[0] the key and entry[1] the value (NULL: no item) of each
    // of `count` entries, `step` pointers apart; then skip() the ones
    // walked, and next() goes on after them.  False, with nothing taken,
    // for a split table or on another interpreter, where next() walks.
    bool run(PyObject ***entry, Py_ssize_t *step, Py_ssize_t *count)
    {
#ifdef QV_DICT_TABLE
        auto *mp = reinterpret_cast<PyDictObject *>(dict_);
        if (mp->ma_values != nullptr)
            return false;
        auto *t = reinterpret_cast<DictTable *>(mp->ma_keys);
        Py_ssize_t width = t->kind == 0 ? 3 : 2;
        *entry = reinterpret_cast<PyObject **>(t->indices + ((size_t)1 << t->log2_index_bytes)) +
                 (width - 2) + width * pos_;
        *step = width;
        *count = t->nentries - pos_;
        return true;
#else
        (void)entry, (void)step, (void)count;
        return false;
#endif
    }
    void skip(Py_ssize_t n) noexcept { pos_ += n; }

private:
    PyObject *dict_;
    Py_ssize_t pos_ = 0;
#ifdef QV_DICT_TABLE
    PyObject **entries_ = nullptr;  // the first entry's key
    Py_ssize_t n_ = 0;
    Py_ssize_t width_ = 2;
#endif
};

}  // namespace qv
