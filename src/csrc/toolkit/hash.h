// toolkit/hash.h: the one hash of short byte strings (keys, path segments).
//
//   qv::Words w = qv::words_of(s, n);  // first and last 8 bytes, zero-padded
//   uint64_t h = qv::hash_bytes(s, n);  // all n bytes, every bit mixed
//   uint64_t h = qv::hash_of(w, s, n);  // the same, with the words at hand
//   h = qv::hash_combine(h, part);      // a hash of a sequence of parts
//   uint64_t h = qv::hash_pointer(p);   // an object's address, every bit mixed
//
// Words hold all of a string of up to 16 bytes, so two such strings of the
// same length are equal exactly when their words are: a key cache compares
// them instead of the bytes.  words_of never reads outside the n bytes.
// Both the top bits (table slots by shift) and the low bits (slots by mask)
// of a hash are well mixed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>

namespace qv {

// 2^64 divided by the golden ratio: odd, and its bits have no pattern, so
// a product by it spreads every bit of the factor over the higher ones.
constexpr uint64_t kGoldenRatio = 0x9E3779B97F4A7C15ULL;

struct Words {
    uint64_t head, tail;
};

inline uint64_t load64(const char *s)
{
    uint64_t w;
    std::memcpy(&w, s, 8);
    return w;
}

inline Words words_of(const char *s, Py_ssize_t n)
{
    if (n >= 8)
        return {load64(s), n > 8 ? load64(s + n - 8) : 0};
    if (n >= 4) {
        // Two overlapping halves; the bytes they share are the same.
        uint32_t x, y;
        std::memcpy(&x, s, 4);
        std::memcpy(&y, s + n - 4, 4);
        return {(uint64_t)x | ((uint64_t)y << (8 * (n - 4))), 0};
    }
    if (n > 0) {
        auto u = reinterpret_cast<const unsigned char *>(s);
        return {(uint64_t)u[0] | (uint64_t)u[n / 2] << (8 * (n / 2)) |
                    (uint64_t)u[n - 1] << (8 * (n - 1)), 0};
    }
    return {0, 0};
}

inline uint64_t hash_of(Words w, const char *s, Py_ssize_t n)
{
    // Two independent products: the top bits depend on every bit of both
    // words; the bytes between the words of a longer string are folded in.
    uint64_t h = ((w.head ^ (uint64_t)n) * 0xBF58476D1CE4E5B9ULL) ^
                 (w.tail * kGoldenRatio);
    for (Py_ssize_t at = 8; at < n - 8; at += 8)
        h = (h ^ load64(s + at)) * 0x94D049BB133111EBULL;
    return h ^ (h >> 32);  // brings the top bits down to the low ones
}

inline uint64_t hash_bytes(const char *s, Py_ssize_t n)
{
    return hash_of(words_of(s, n), s, n);
}

inline uint64_t hash_combine(uint64_t h, uint64_t part)
{
    h = (h ^ part) * 0x94D049BB133111EBULL;
    return h ^ (h >> 32);
}

// Objects are aligned, so the low bits of an address are always zero, and
// a product carries bits only upward: its low bits depend on the address's
// low bits alone.  Folding the top half down gives every bit of the hash
// a share of every bit of the address, for tables that take a hash's low
// bits as the slot.
inline uint64_t hash_pointer(const void *p)
{
    uint64_t h = (uint64_t)(uintptr_t)p * kGoldenRatio;
    return h ^ (h >> 32);
}

}  // namespace qv
