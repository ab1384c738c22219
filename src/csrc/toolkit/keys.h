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
        for (Py_ssize_t w = 0; w < kUsedWords; w++) {
            for (uint64_t bits = used_[w]; bits != 0; bits &= bits - 1)
                Py_DECREF(slots_[w * 64 + __builtin_ctzll(bits)].str);
        }
        if (slots_ != local_)
            std::free(slots_);
    }

    PyObject *get(StrMaker &strs, const char *s, Py_ssize_t n, bool high)
    {
        if (n > kMaxLen)
            return strs.make(s, n, high);
        Words w = words_of(s, n);
        uint64_t h = hash_of(w, s, n);
        Py_ssize_t mask = ((Py_ssize_t)1 << bits_) - 1;
        Py_ssize_t home = (Py_ssize_t)(h >> (64 - bits_));
        Py_ssize_t free_at = -1;
        for (Py_ssize_t i = 0; i < kProbes; i++) {
            Py_ssize_t at = (home + i) & mask;
            if (!used(at)) {
                free_at = at;
                break;
            }
            const Slot *slot = &slots_[at];
            if (slot->len == n && slot->w.head == w.head && slot->w.tail == w.tail &&
                (n <= 16 || std::memcmp(slot->src + 8, s + 8, (size_t)(n - 16)) == 0)) {
                Py_INCREF(slot->str);
                return slot->str;
            }
        }
        return add(strs, s, n, high, w, h, free_at < 0 ? home : free_at);
    }

private:
    // The first table lives in the cache object itself (no allocation for
    // documents of up to 256 distinct keys) and grows, kept at most half
    // full, up to a size that holds the keys of most real documents.  Keys
    // are looked for in kProbes slots from home.  Which slots hold a key
    // is a bitmap: slots are never zeroed, so a document pays for the keys
    // it has, not for the table.  The cache object is large (about 20 KB):
    // it belongs in a reader's per-call context, not in anything copied.
    static constexpr int kFirstBits = 9;
    static constexpr int kMaxBits = 11;
    static constexpr Py_ssize_t kProbes = 8;
    static constexpr Py_ssize_t kUsedWords = ((Py_ssize_t)1 << kMaxBits) / 64;

    struct Slot {
        Words w;
        const char *src;  // the key's bytes; valid for the call
        Py_ssize_t len;
        PyObject *str;    // owned
    };

    bool used(Py_ssize_t at) const { return (used_[at >> 6] >> (at & 63)) & 1; }
    void mark(Py_ssize_t at) { used_[at >> 6] |= (uint64_t)1 << (at & 63); }

    // Stores a new key at `target`: the first free slot near home, or home
    // itself when there is none.
    __attribute__((noinline)) PyObject *add(StrMaker &strs, const char *s, Py_ssize_t n,
                                            bool high, Words w, uint64_t h, Py_ssize_t target)
    {
        PyObject *key = strs.make(s, n, high);
        if (!key)
            return nullptr;
        // Kept at most half full while it may grow; once full grown, a key
        // that finds no free slot near home takes the home slot over.
        if (count_ >= grow_at_) {
            if (!resize(bits_ + 1)) {
                Py_DECREF(key);
                return nullptr;
            }
            Py_ssize_t mask = ((Py_ssize_t)1 << bits_) - 1;
            Py_ssize_t home = (Py_ssize_t)(h >> (64 - bits_));
            target = home;
            for (Py_ssize_t i = 0; i < kProbes; i++) {
                if (!used((home + i) & mask)) {
                    target = (home + i) & mask;
                    break;
                }
            }
        }
        if (used(target)) {
            Py_DECREF(slots_[target].str);
        } else {
            mark(target);
            count_++;
        }
        Py_INCREF(key);
        slots_[target] = {w, s, n, key};
        return key;
    }

    // A fresh table of 2^bits slots holding what the old one held; false
    // with MemoryError set.
    __attribute__((noinline)) bool resize(int bits)
    {
        auto fresh = static_cast<Slot *>(std::malloc(sizeof(Slot) << bits));
        if (!fresh) {
            PyErr_NoMemory();
            return false;
        }
        Slot *old = slots_;
        uint64_t old_used[kUsedWords];
        std::memcpy(old_used, used_, sizeof used_);
        std::memset(used_, 0, sizeof used_);
        slots_ = fresh;
        bits_ = bits;
        grow_at_ = bits < kMaxBits ? (Py_ssize_t)1 << (bits - 1) : PY_SSIZE_T_MAX;
        Py_ssize_t mask = ((Py_ssize_t)1 << bits) - 1;
        for (Py_ssize_t w = 0; w < kUsedWords; w++) {
            for (uint64_t b = old_used[w]; b != 0; b &= b - 1) {
                const Slot &moved = old[w * 64 + __builtin_ctzll(b)];
                Py_ssize_t at = (Py_ssize_t)(hash_of(moved.w, moved.src, moved.len) >> (64 - bits));
                // The table is at most half full, so a free slot is always near.
                while (used(at))
                    at = (at + 1) & mask;
                fresh[at] = moved;
                mark(at);
            }
        }
        if (old != local_)
            std::free(old);
        return true;
    }

    Slot local_[(size_t)1 << kFirstBits];  // the first table, in the context
    Slot *slots_ = local_;
    int bits_ = kFirstBits;
    Py_ssize_t count_ = 0;
    Py_ssize_t grow_at_ = (Py_ssize_t)1 << (kFirstBits - 1);  // keys that fill half
    uint64_t used_[kUsedWords] = {};
};

}  // namespace qv
