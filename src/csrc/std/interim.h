// TEMPORARY: stand-ins for pieces of the shared toolkit (src/csrc/toolkit/)
// that the standard TOML reader needs before the toolkit has landed.  Each
// piece here is replaced by the toolkit's own once it is merged; nothing
// else in src/csrc/std/ may grow helpers of this kind.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "quorvane.h"
#include "qv_float.h"

namespace stdx {

using qv::Ref;

// A growable byte buffer, freed on scope exit.  Appends report failure by
// returning false with MemoryError set.
class Bytes {
public:
    Bytes() noexcept = default;
    Bytes(const Bytes &) = delete;
    Bytes &operator=(const Bytes &) = delete;
    ~Bytes() { std::free(data_); }

    char *data() const noexcept { return data_; }
    Py_ssize_t size() const noexcept { return len_; }
    void clear() noexcept { len_ = 0; }

    bool reserve(Py_ssize_t extra)
    {
        if (extra <= cap_ - len_)
            return true;
        if (extra > PY_SSIZE_T_MAX / 4 - len_) {
            PyErr_NoMemory();
            return false;
        }
        Py_ssize_t cap = cap_ < 256 ? 256 : cap_;
        while (cap < len_ + extra)
            cap *= 2;
        char *grown = static_cast<char *>(std::realloc(data_, (size_t)cap));
        if (grown == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        data_ = grown;
        cap_ = cap;
        return true;
    }
    bool append(const char *s, Py_ssize_t n)
    {
        if (!reserve(n))
            return false;
        if (n > 0)
            std::memcpy(data_ + len_, s, (size_t)n);
        len_ += n;
        return true;
    }
    bool push(char c)
    {
        if (len_ == cap_ && !reserve(1))
            return false;
        data_[len_++] = c;
        return true;
    }

private:
    char *data_ = nullptr;
    Py_ssize_t len_ = 0;
    Py_ssize_t cap_ = 0;
};

inline bool all_ascii(const char *s, Py_ssize_t n)
{
    uint64_t acc = 0;
    Py_ssize_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, s + i, 8);
        acc |= w;
    }
    for (; i < n; i++)
        acc |= (unsigned char)s[i];
    return (acc & 0x8080808080808080ULL) == 0;
}

// A str from n bytes of valid UTF-8 (the reader's input always is).
inline PyObject *make_str(const char *s, Py_ssize_t n)
{
    if (all_ascii(s, n)) {
        PyObject *str = PyUnicode_New(n, 127);
        if (str != nullptr && n > 0)
            std::memcpy(PyUnicode_DATA(str), s, (size_t)n);
        return str;
    }
    return PyUnicode_DecodeUTF8(s, n, "strict");
}

inline uint64_t hash_bytes(const char *s, Py_ssize_t n)
{
    uint64_t h = 0x9E3779B97F4A7C15ULL ^ (uint64_t)n;
    Py_ssize_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, s + i, 8);
        h = (h ^ w) * 0xFF51AFD7ED558CCDULL;
        h ^= h >> 32;
    }
    uint64_t tail = 0;
    std::memcpy(&tail, s + i, (size_t)(n - i));
    h = (h ^ tail) * 0xC4CEB9FE1A85EC53ULL;
    return h ^ (h >> 29);
}

// Key strs by their bytes: a document repeats the same keys over and over,
// so each distinct key is made once per call (direct-mapped, newest wins).
class KeyCache {
public:
    KeyCache() noexcept = default;
    KeyCache(const KeyCache &) = delete;
    KeyCache &operator=(const KeyCache &) = delete;
    ~KeyCache()
    {
        for (Slot &s : slots_)
            Py_XDECREF(s.str);
    }

    // A new reference to the str of the n bytes at s, which stay readable
    // for the whole call.
    PyObject *get(const char *s, Py_ssize_t n)
    {
        if (n > 64)
            return make_str(s, n);
        uint64_t h = hash_bytes(s, n);
        Slot &slot = slots_[h & (kSlots - 1)];
        if (slot.str != nullptr && slot.hash == h && slot.len == n &&
            std::memcmp(slot.bytes, s, (size_t)n) == 0)
            return Py_NewRef(slot.str);
        PyObject *str = make_str(s, n);
        if (str == nullptr)
            return nullptr;
        Py_XDECREF(slot.str);
        slot.str = Py_NewRef(str);
        slot.bytes = s;
        slot.len = n;
        slot.hash = h;
        return str;
    }

private:
    struct Slot {
        PyObject *str = nullptr;
        const char *bytes = nullptr;
        Py_ssize_t len = 0;
        uint64_t hash = 0;
    };
    static constexpr size_t kSlots = 512;
    Slot slots_[kSlots];
};

// A float from the decimal text digits (no underscores; sign, '.', 'e'
// allowed), bit-identical to float() of the same text.
inline PyObject *float_from_text(const char *s, Py_ssize_t n)
{
    const char *p = s, *end = s + n;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-'))
        negative = *p++ == '-';
    uint64_t w = 0;
    int digits = 0;
    int64_t q = 0;
    bool truncated = false, seen = false, in_fraction = false;
    for (; p < end; p++) {
        char c = *p;
        if (c == '.') {
            in_fraction = true;
            continue;
        }
        if (c < '0' || c > '9')
            break;
        int d = c - '0';
        if (!seen && d == 0) {
            if (in_fraction)
                q--;
            continue;
        }
        seen = true;
        if (digits < 19) {
            w = w * 10 + (uint64_t)d;
            digits++;
            if (in_fraction)
                q--;
        } else {
            if (!in_fraction)
                q++;
            if (d != 0)
                truncated = true;
        }
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        p++;
        bool eneg = false;
        if (p < end && (*p == '+' || *p == '-'))
            eneg = *p++ == '-';
        int64_t e = 0;
        for (; p < end && *p >= '0' && *p <= '9'; p++)
            if (e < 1000000)
                e = e * 10 + (*p - '0');
        q += eneg ? -e : e;
    }
    double d;
    if (qv::float_from_decimal(w, q, negative, truncated, &d))
        return PyFloat_FromDouble(d);
    qv::Buf copy(static_cast<char *>(std::malloc((size_t)n + 1)));
    if (!copy)
        return PyErr_NoMemory();
    std::memcpy(copy.get(), s, (size_t)n);
    copy.get()[n] = '\0';
    d = PyOS_string_to_double(copy.get(), nullptr, nullptr);
    if (d == -1.0 && PyErr_Occurred())
        return nullptr;
    return PyFloat_FromDouble(d);
}

}  // namespace stdx
