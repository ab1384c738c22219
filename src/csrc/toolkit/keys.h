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
        if (slots_ == nullptr)
            return;
        for (Py_ssize_t i = 0; i < ((Py_ssize_t)1 << bits_); i++)
            Py_XDECREF(slots_[i].str);
        std::free(slots_);
    }

    PyObject *get(StrMaker &strs, const char *s, Py_ssize_t n, bool high)
    {
        if (n > kMaxLen)
            return strs.make(s, n, high);
        if (!slots_ && !resize(kFirstBits))
            return nullptr;
        Words w = words_of(s, n);
        uint64_t h = hash_of(w, s, n);
        Py_ssize_t mask = ((Py_ssize_t)1 << bits_) - 1;
        Py_ssize_t home = (Py_ssize_t)(h >> (64 - bits_));
        for (Py_ssize_t i = 0; i < kProbes; i++) {
            Slot *slot = &slots_[(home + i) & mask];
            if (!slot->str)
                break;
            if (slot->len == n && slot->w.head == w.head && slot->w.tail == w.tail &&
                (n <= 16 || std::memcmp(slot->src + 8, s + 8, (size_t)(n - 16)) == 0)) {
                Py_INCREF(slot->str);
                return slot->str;
            }
        }
        return add(strs, s, n, high, w, h);
    }

private:
    // The table starts small, for small documents, and grows with the
    // number of distinct keys up to a size that holds the keys of most
    // real documents.  Keys are looked for in kProbes slots from home.
    static constexpr int kFirstBits = 5;
    static constexpr int kMaxBits = 11;
    static constexpr Py_ssize_t kProbes = 8;

    struct Slot {
        Words w;
        const char *src;  // the key's bytes; valid for the call
        Py_ssize_t len;
        PyObject *str;    // owned
    };

    __attribute__((noinline)) PyObject *add(StrMaker &strs, const char *s, Py_ssize_t n,
                                            bool high, Words w, uint64_t h)
    {
        PyObject *key = strs.make(s, n, high);
        if (!key)
            return nullptr;
        // Kept at most half full while it may grow; once full grown, a key
        // that finds no free slot near home takes the home slot over.
        Py_ssize_t mask = ((Py_ssize_t)1 << bits_) - 1;
        if (2 * (count_ + 1) > mask + 1 && bits_ < kMaxBits) {
            if (!resize(bits_ + 1)) {
                Py_DECREF(key);
                return nullptr;
            }
            mask = ((Py_ssize_t)1 << bits_) - 1;
        }
        Py_ssize_t home = (Py_ssize_t)(h >> (64 - bits_));
        Slot *target = &slots_[home];
        for (Py_ssize_t i = 0; i < kProbes; i++) {
            Slot *slot = &slots_[(home + i) & mask];
            if (!slot->str) {
                target = slot;
                break;
            }
        }
        if (target->str)
            Py_DECREF(target->str);
        else
            count_++;
        Py_INCREF(key);
        *target = {w, s, n, key};
        return key;
    }

    // A fresh table of 2^bits slots holding what the old one held; false
    // with MemoryError set.
    bool resize(int bits)
    {
        auto fresh = static_cast<Slot *>(std::calloc((size_t)1 << bits, sizeof(Slot)));
        if (!fresh) {
            PyErr_NoMemory();
            return false;
        }
        Slot *old = slots_;
        Py_ssize_t old_size = old ? (Py_ssize_t)1 << bits_ : 0;
        slots_ = fresh;
        bits_ = bits;
        Py_ssize_t mask = ((Py_ssize_t)1 << bits) - 1;
        for (Py_ssize_t i = 0; i < old_size; i++) {
            if (!old[i].str)
                continue;
            Py_ssize_t at = (Py_ssize_t)(hash_of(old[i].w, old[i].src, old[i].len) >> (64 - bits));
            // The table is at most half full, so a free slot is always near.
            while (fresh[at].str)
                at = (at + 1) & mask;
            fresh[at] = old[i];
        }
        std::free(old);
        return true;
    }

    Slot *slots_ = nullptr;
    int bits_ = 0;
    Py_ssize_t count_ = 0;
};

}  // namespace qv
