// toolkit/table.h: the one hash table of the toolkit, open addressing with
// linear probing, and its one growth rule.
//
//   qv::HashTable<Slot, kLocalSlots> t;  // the first kLocalSlots slots live
//                                        // in t itself (a power of two >= 64)
//   for (size_t i = t.home(h); t.used(i); i = t.next(i))  // a probe from h
//       ... t.at(i) ...
//   t.take(i);                           // slot i holds an entry from now on
//   if (t.full() && !t.grow(hash_of))    // before an insert: false with
//       return failure;                  // MemoryError set
//   t.for_each_used(f);                  // f(slot) for every entry
//
// The table holds Slots; what a slot means, and how a probe compares, is its
// user's (the key cache, the dialect's path strings, the standard reader's
// table kinds).  A slot's home is the hash's low bits: qv::hash_bytes and
// qv::hash_pointer both mix them.  full() says that one more entry would
// make the table more than half full; grow() doubles it and puts every
// entry at the first free slot from its home, hash_of(slot) giving its
// hash again.  Which slots are used is a bitmap beside them: slots are never
// zeroed, so a call pays for the entries it makes, not for the table.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace qv {

template <typename Slot, size_t kLocalSlots>
class HashTable {
    static_assert(kLocalSlots >= 64 && (kLocalSlots & (kLocalSlots - 1)) == 0,
                  "the first table is a power of two of at least one bitmap word");

public:
    HashTable() noexcept = default;
    HashTable(const HashTable &) = delete;
    HashTable &operator=(const HashTable &) = delete;
    ~HashTable()
    {
        if (slots_ != local_)
            std::free(used_);  // the bitmap heads the block of the slots
    }

    size_t home(uint64_t h) const { return (size_t)h & mask_; }
    size_t next(size_t i) const { return (i + 1) & mask_; }
    bool used(size_t i) const { return (used_[i >> 6] >> (i & 63)) & 1; }
    Slot &at(size_t i) { return slots_[i]; }
    const Slot &at(size_t i) const { return slots_[i]; }
    void take(size_t i)
    {
        used_[i >> 6] |= (uint64_t)1 << (i & 63);
        count_++;
    }
    size_t capacity() const { return mask_ + 1; }
    size_t count() const { return count_; }
    bool full() const { return 2 * (count_ + 1) > mask_ + 1; }

    template <typename F>
    void for_each_used(F f)
    {
        for (size_t w = 0; w <= mask_ >> 6; w++) {
            for (uint64_t bits = used_[w]; bits != 0; bits &= bits - 1)
                f(slots_[w * 64 + (size_t)__builtin_ctzll(bits)]);
        }
    }

    template <typename HashOf>
    __attribute__((noinline)) bool grow(HashOf hash_of)
    {
        size_t count = (mask_ + 1) * 2;
        size_t words = count / 64;
        if (count > ((size_t)PY_SSIZE_T_MAX - words * 8) / (sizeof(Slot) + 1)) {
            PyErr_NoMemory();
            return false;
        }
        // The bitmap first, so that the slots after it keep its alignment.
        auto block = static_cast<char *>(std::malloc(words * 8 + count * sizeof(Slot)));
        if (block == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        auto fresh_used = reinterpret_cast<uint64_t *>(block);
        std::memset(fresh_used, 0, words * 8);
        Slot *old = slots_;
        uint64_t *old_used = used_;
        size_t old_words = (mask_ + 1) / 64;
        slots_ = reinterpret_cast<Slot *>(block + words * 8);
        used_ = fresh_used;
        mask_ = count - 1;
        for (size_t w = 0; w < old_words; w++) {
            for (uint64_t bits = old_used[w]; bits != 0; bits &= bits - 1) {
                const Slot &moved = old[w * 64 + (size_t)__builtin_ctzll(bits)];
                size_t i = home(hash_of(moved));
                while (used(i))
                    i = next(i);
                slots_[i] = moved;
                used_[i >> 6] |= (uint64_t)1 << (i & 63);
            }
        }
        if (old != local_)
            std::free(old_used);
        return true;
    }

private:
    Slot *slots_ = local_;
    uint64_t *used_ = local_used_;
    size_t mask_ = kLocalSlots - 1;
    size_t count_ = 0;
    uint64_t local_used_[kLocalSlots / 64] = {};
    Slot local_[kLocalSlots];  // never zeroed: used_ says which hold entries
};

}  // namespace qv
