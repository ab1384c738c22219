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
//
//   PyObject *d = qv::dict_of_pairs(items, n);      // items: key, value, key, value, ...
//
// dict_of_pairs builds a reader's object from the members it has read
// (keys exact strs; references taken, also on failure): the dict that
// inserting them one by one into a new dict gives, a repeated key keeping
// its first place and taking the last value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ref.h"
#include "str.h"

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

#ifdef QV_DICT_TABLE
// The sizes of a table as the interpreter grows it (dictobject.c: two
// thirds of the slots usable; a full table grows to hold three times its
// members), so that a table written here is slot for slot the one that
// inserting the same keys into a new dict leaves: the same room, the same
// size for sys.getsizeof, the same copies by PyDict_Copy.
namespace table_sizes {
constexpr unsigned kMinLog2 = 3;
constexpr Py_ssize_t usable(unsigned log2) { return ((Py_ssize_t)2 << log2) / 3; }
inline unsigned log2_for(Py_ssize_t least)
{
    size_t m = ((size_t)least | 8) - 1;
    return (unsigned)(64 - __builtin_clzll(m | 7));
}
// log2 of the table of n distinct keys inserted into a new dict.
inline unsigned inserted(Py_ssize_t n)
{
    unsigned log2 = kMinLog2;
    while (usable(log2) < n)
        log2 = log2_for(usable(log2) * 3);
    return log2;
}
// log2 of the bytes of the slots: each slot as wide as the entry numbers need.
constexpr unsigned index_bytes(unsigned log2)
{
    return log2 < 8 ? log2 : log2 < 16 ? log2 + 1 : log2 < 32 ? log2 + 2 : log2 + 3;
}
}  // namespace table_sizes

static_assert(sizeof(DictTable) == 32 && offsetof(DictTable, indices) == 32,
              "the table's head as the interpreter lays it out");

// The allocator the interpreter makes and frees tables with.
inline void *table_alloc(size_t bytes)
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyMem_Malloc(bytes);
#else
    return PyObject_Malloc(bytes);
#endif
}
inline void table_free(void *block)
{
#if PY_VERSION_HEX >= 0x030D0000
    PyMem_Free(block);
#else
    PyObject_Free(block);
#endif
}

// A key's hash, as str's own hash gives and keeps it (the hash of its
// bytes, kept in the str), straight from the interpreter's hash function:
// most keys of a reading are new, and the generic calls around that
// function cost as much as the hash of a short key.
inline Py_hash_t str_hash(PyObject *key, Py_hash_t (*hash)(const void *, Py_ssize_t))
{
    Py_hash_t h = reinterpret_cast<PyASCIIObject *>(key)->hash;
    if (h != -1)
        return h;
    Py_ssize_t n = PyUnicode_GET_LENGTH(key);
    // Short strs hashed otherwise (a cutoff built into the interpreter),
    // and the empty one, are left to str itself.
    if (Py_HASH_CUTOFF > 0 || n == 0)
        return PyObject_Hash(key);
    h = hash(PyUnicode_DATA(key), n * PyUnicode_KIND(key));
    if (h == -1)
        h = -2;
    reinterpret_cast<PyASCIIObject *>(key)->hash = h;
    return h;
}

// The slots of a new table of the n members at items, each placed where
// the interpreter's insertion places it (the first free slot of its probe
// sequence), each key hashed as it is placed: 1.  0 when a key repeats
// (the caller inserts them instead), -1 when hashing one failed.
template <class Slot>
int place_members(DictTable *t, PyObject *const *items, Py_ssize_t n)
{
    Slot *slots = reinterpret_cast<Slot *>(t->indices);
    PyObject **entries = reinterpret_cast<PyObject **>(t->indices + ((size_t)1 << t->log2_index_bytes));
    size_t mask = ((size_t)1 << t->log2_size) - 1;
    auto hash = PyHash_GetFuncDef()->hash;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *key = items[2 * i];
        Py_hash_t kh = str_hash(key, hash);
        if (kh == -1)
            return -1;
        size_t h = (size_t)kh, perturb = h, at = h & mask;
        for (Slot ix; (ix = slots[at]) >= 0;) {
            PyObject *other = entries[2 * ix];  // placed: its hash is kept
            if (other == key ||
                (reinterpret_cast<PyASCIIObject *>(other)->hash == kh && same_str(other, key)))
                return 0;
            perturb >>= 5;
            at = (at * 5 + perturb + 1) & mask;
        }
        slots[at] = (Slot)i;
        entries[2 * i] = key;
        entries[2 * i + 1] = items[2 * i + 1];
    }
    return 1;
}

// Writes the table of the n members at items (n > 0) into dict, new and
// empty, taking the references: 1.  0 with nothing taken when a key
// repeats; -1 with an exception (nothing taken) when memory runs out.
inline int write_table(PyObject *dict, PyObject *const *items, Py_ssize_t n)
{
    unsigned log2 = table_sizes::inserted(n);
    unsigned log2_bytes = table_sizes::index_bytes(log2);
    Py_ssize_t room = table_sizes::usable(log2);
    size_t slot_bytes = (size_t)1 << log2_bytes, entry_bytes = 2 * sizeof(PyObject *) * (size_t)room;
    void *block = table_alloc(sizeof(DictTable) + slot_bytes + entry_bytes);
    if (block == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    auto *t = static_cast<DictTable *>(block);
    t->refcnt = 1;
    t->log2_size = (uint8_t)log2;
    t->log2_index_bytes = (uint8_t)log2_bytes;
    t->kind = 1;  // every key a str: entries of (key, value)
    t->version = 0;
    t->usable = room - n;
    t->nentries = n;
    // Every slot empty, every entry clear.  The smallest table, most
    // objects', is cleared by stores of known size, not by calls.
    if (log2 == table_sizes::kMinLog2) {
        std::memset(t->indices, 0xff, 8);
        std::memset(t->indices + 8, 0, 2 * sizeof(PyObject *) * table_sizes::usable(3));
    } else {
        std::memset(t->indices, 0xff, slot_bytes);
        std::memset(t->indices + slot_bytes, 0, entry_bytes);
    }
    int placed = log2 < 8    ? place_members<int8_t>(t, items, n)
                 : log2 < 16 ? place_members<int16_t>(t, items, n)
                 : log2 < 32 ? place_members<int32_t>(t, items, n)
                             : place_members<int64_t>(t, items, n);
    if (placed <= 0) {
        table_free(block);
        return placed;
    }
    auto *mp = reinterpret_cast<PyDictObject *>(dict);
#if PY_VERSION_HEX < 0x030C0000
    // The empty table a new dict starts with is counted there (it is
    // immortal from 3.12 on).
    reinterpret_cast<DictTable *>(mp->ma_keys)->refcnt--;
#endif
    mp->ma_keys = reinterpret_cast<PyDictKeysObject *>(t);
    mp->ma_used = n;
    return 1;
}
#endif

// Whether a value makes its dict one the collector must look into, as
// inserting it would (the readers make no tuples of their own).
inline bool may_hold_others(PyObject *value)
{
    PyTypeObject *type = Py_TYPE(value);
    if (!PyType_IS_GC(type))
        return false;
    if (type == &PyList_Type || type == &PyDict_Type)
        return true;
    return PyObject_IS_GC(value) && (!PyTuple_CheckExact(value) || PyObject_GC_IsTracked(value));
}

inline PyObject *dict_of_pairs(PyObject *const *items, Py_ssize_t n)
{
    PyObject *dict = PyDict_New();
    int r = dict ? 0 : -1;
#ifdef QV_DICT_TABLE
    if (dict && n > 0) {
        r = write_table(dict, items, n);
        if (r > 0) {
            bool track = false;
            for (Py_ssize_t i = 0; i < n && !track; i++)
                track = may_hold_others(items[2 * i + 1]);
            if (track)  // a new dict is not tracked yet
                PyObject_GC_Track(dict);
            return dict;
        }
    }
#endif
    for (Py_ssize_t i = 0; i < n && r == 0; i++)
        r = PyDict_SetItem(dict, items[2 * i], items[2 * i + 1]);
    for (Py_ssize_t i = 0; i < 2 * n; i++)
        Py_DECREF(items[i]);
    if (r < 0)
        Py_CLEAR(dict);
    return dict;
}

}  // namespace qv
