// toolkit/keys.h: the per-call cache of key strs.
//
//   qv::KeyCache keys;     // in the reader's context; releases its strs
//   PyObject *k = keys.get(strs, s, n, high);  // new reference, or NULL + exception
//
// A key that repeats (the same n bytes) gets the same str object again:
// one compare instead of a decode, and dicts get keys whose hash is known.
// The cache keeps a pointer to the bytes, so s must stay valid for the
// call: pass runs of the document itself, not scratch buffers.  Keys
// longer than kMaxLen bytes are made afresh every time.  `high` is as for
// StrMaker::make.
#pragma once

#include "hash.h"
#include "str.h"
#include "table.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace qv {

class KeyCache {
public:
    static constexpr Py_ssize_t kMaxLen = 64;

    KeyCache() noexcept = default;
    KeyCache(const KeyCache &) = delete;
    KeyCache &operator=(const KeyCache &) = delete;
    ~KeyCache()
    {
        // While the table is the first one, the slots taken are listed in
        // the order taken: releasing them costs what the call used, not a
        // scan of the whole bitmap (most calls read a few keys).
        if (table_.capacity() == kFirstSlots) {
            for (size_t i = 0; i < table_.count(); i++)
                Py_DECREF(table_.at(taken_[i]).str);
        } else {
            table_.for_each_used([](Slot &slot) { Py_DECREF(slot.str); });
        }
    }

    PyObject *get(StrMaker &strs, const char *s, Py_ssize_t n, bool high)
    {
        if (n > kMaxLen)
            return strs.make(s, n, high);
        Words w = words_of(s, n);
        uint64_t h = hash_of(w, s, n);
        size_t at = table_.home(h);
        for (Py_ssize_t i = 0; i < kProbes; i++, at = table_.next(at)) {
            if (!table_.used(at))
                return add(strs, s, n, high, w, h, at);
            const Slot &slot = table_.at(at);
            if (slot.len == n && slot.w.head == w.head && slot.w.tail == w.tail &&
                (n <= 16 || same_middle(slot.src, s, n))) {
                Py_INCREF(slot.str);
                return slot.str;
            }
        }
        return add(strs, s, n, high, w, h, table_.home(h));
    }

private:
    // The first table lives in the cache object itself (no allocation for
    // documents of up to 256 distinct keys) and grows by the table's rule
    // up to a size that holds the keys of most real documents.  Keys are
    // looked for in kProbes slots from home.  The cache object is large
    // (about 20 KB): it belongs in a reader's per-call context, not in
    // anything copied.
    static constexpr size_t kFirstSlots = 512;
    static constexpr size_t kMaxSlots = 2048;
    static constexpr Py_ssize_t kProbes = 8;

    struct Slot {
        Words w;
        const char *src;  // the key's bytes; valid for the call
        Py_ssize_t len;
        PyObject *str;    // owned
    };

    // Whether the bytes between the first and the last word of two keys of
    // n > 16 bytes are the same.  Up to 32 bytes they lie within the second
    // word and the one before the last (which may overlap): two compares
    // and no call for the keys of most documents.
    static bool same_middle(const char *a, const char *b, Py_ssize_t n)
    {
        if (load64(a + 8) != load64(b + 8) || load64(a + n - 16) != load64(b + n - 16))
            return false;
        return n <= 32 || std::memcmp(a + 16, b + 16, (size_t)(n - 32)) == 0;
    }

    static uint64_t hash_of_slot(const Slot &slot) { return hash_of(slot.w, slot.src, slot.len); }

    // The first free slot near home, or home itself when there is none.
    size_t free_near(uint64_t h) const
    {
        size_t at = table_.home(h);
        for (Py_ssize_t i = 0; i < kProbes; i++, at = table_.next(at)) {
            if (!table_.used(at))
                return at;
        }
        return table_.home(h);
    }

    // Stores a new key at `target`: the first free slot near home, or home
    // itself when there is none.  Once full grown, a key that finds no free
    // slot near home takes the home slot over.
    __attribute__((noinline)) PyObject *add(StrMaker &strs, const char *s, Py_ssize_t n,
                                            bool high, Words w, uint64_t h, size_t target)
    {
        PyObject *key = strs.make(s, n, high);
        if (!key)
            return nullptr;
        if (table_.full() && table_.capacity() < kMaxSlots) {
            if (!table_.grow(hash_of_slot)) {
                Py_DECREF(key);
                return nullptr;
            }
            target = free_near(h);
        }
        Slot &slot = table_.at(target);
        if (table_.used(target)) {
            Py_DECREF(slot.str);
        } else {
            // Past the first table the list is not read: no test here.
            taken_[table_.count() % (kFirstSlots / 2)] = (uint16_t)target;
            table_.take(target);
        }
        Py_INCREF(key);
        slot = {w, s, n, key};
        return key;
    }

    HashTable<Slot, kFirstSlots> table_;
    // The slots taken in the first table, in order (it grows before it
    // holds more than half of them); never zeroed, count() says how many
    // hold entries.  Once the table has grown the list is left stale.
    uint16_t taken_[kFirstSlots / 2];
};

}  // namespace qv
