// toolkit/number.h: digits, integers and floats, with one rule for errors.
//
// Digits
//   qv::hex_digit(c)            0-15 for a hex digit of either case, else -1
//   qv::digit_value(c, base)    value of c as a digit of base 2, 8, 10 or 16, else -1
//   qv::is_digit(c)             '0'..'9'
//   qv::hex_value(s, n)         value of the n (at most 8) hex digits at s,
//                               most significant first; -1 if one is not
//   pos = qv::scan_digits(t, pos, len, &acc)
//                               decimal digits from pos on, eight at a time,
//                               accumulated into acc (wrapping past 19 digits);
//                               returns the offset after the last digit
// Integers
//   qv::int_from_magnitude(m, negative)   a Python int without text;
//                               negative requires m <= 2^63
//   qv::big_int(digits, n, base, negative)
//                               arbitrary precision through the interpreter,
//                               for any count of digits of base 2, 8, 10 or
//                               16 ('_' bytes skipped, no sign or prefix)
// Floats
//   qv::float_from_decimal(w, q, negative, truncated, &d)   (float.h)
//                               correctly rounded w * 10^q, or false when
//                               only the slow path can decide
//   qv::float_from_text(s, n, skip)
//                               the interpreter's float() of the text, every
//                               byte equal to skip (if given) left out: the
//                               slow path, for text already known valid
//   qv::CText                   a NUL-terminated copy of a token, inline
//                               when short, for the C and interpreter readers
//   qv::CLocale                 the "C" locale, made on first use and freed
//                               with the context, for strtod_l
// Errors
//   A conversion that fails returns NULL with the interpreter's exception
//   set.  qv::refused() then decides, the same way for every reader: when
//   memory ran out it returns false and the MemoryError passes through;
//   any other refusal (the interpreter's limit on decimal digits, text it
//   does not read) is cleared and it returns true, and the reader reports
//   its own error at its own place.
#pragma once

#include "buffer.h"
#include "float.h"

#include <climits>
#include <clocale>
#include <cstdint>
#include <cstring>
#include <locale.h>

namespace qv {

inline int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

inline int digit_value(char c, int base)
{
    int d = hex_digit(c);
    return d < base ? d : -1;
}

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

inline int64_t hex_value(const char *s, int n)
{
    int64_t v = 0;
    for (int i = 0; i < n; i++) {
        int d = hex_digit(s[i]);
        if (d < 0)
            return -1;
        v = v * 16 + d;
    }
    return v;
}

// Flags (the top bit of each byte) the bytes of v that are not ASCII
// digits; only the lowest flag is exact, since carries run upwards, and
// only the lowest is used.
inline uint64_t nondigit_bytes(uint64_t v)
{
    return ((v + 0x4646464646464646ULL) | (v - 0x3030303030303030ULL)) & 0x8080808080808080ULL;
}

// The value of eight ASCII digits, the first in the lowest byte.
inline uint64_t eight_digits_value(uint64_t v)
{
    v -= 0x3030303030303030ULL;
    v = v * 10 + (v >> 8);
    const uint64_t mask = 0x000000FF000000FFULL;
    v = (((v & mask) * 0x000F424000000064ULL) + (((v >> 16) & mask) * 0x0000271000000001ULL)) >> 32;
    return (uint32_t)v;
}

inline constexpr uint64_t kPow10U64[9] = {1, 10, 100, 1000, 10000, 100000,
                                          1000000, 10000000, 100000000};

// Long runs of digits (the fractions of coordinate data) are read eight
// bytes at a time.
inline Py_ssize_t scan_digits(const char *t, Py_ssize_t pos, Py_ssize_t len, uint64_t *acc_io)
{
    uint64_t acc = *acc_io;
    while (len - pos >= 8) {
        uint64_t v;
        std::memcpy(&v, t + pos, 8);
        uint64_t other = nondigit_bytes(v);
        if (!other) {
            acc = acc * 100000000 + eight_digits_value(v);
            pos += 8;
            continue;
        }
        int k = __builtin_ctzll(other) >> 3;  // digits before the first other byte
        if (k) {
            // Shift the k digits to the top and fill below with '0's, which
            // read as leading zeros.
            v = (v << (8 * (8 - k))) | (0x3030303030303030ULL >> (8 * k));
            acc = acc * kPow10U64[k] + eight_digits_value(v);
            pos += k;
        }
        *acc_io = acc;
        return pos;
    }
    while (pos < len && is_digit(t[pos])) {
        acc = acc * 10 + (uint64_t)(t[pos] - '0');
        pos++;
    }
    *acc_io = acc;
    return pos;
}

inline PyObject *int_from_magnitude(uint64_t m, bool negative)
{
    if (negative)
        return PyLong_FromLongLong((long long)(0 - m));
    if (m <= (uint64_t)LLONG_MAX)
        return PyLong_FromLongLong((long long)m);
    return PyLong_FromUnsignedLongLong(m);
}

inline bool refused()
{
    if (PyErr_ExceptionMatches(PyExc_MemoryError))
        return false;
    PyErr_Clear();
    return true;
}

class CText {
public:
    CText() noexcept = default;
    CText(const CText &) = delete;
    CText &operator=(const CText &) = delete;

    // A copy of n bytes, with every byte equal to `skip` left out, after
    // an optional `lead` byte (0 for none).  NULL with MemoryError set.
    const char *copy(const char *s, Py_ssize_t n, int skip = -1, char lead = 0)
    {
        buf_.clear();
        if (!buf_.reserve(n + 2))
            return nullptr;
        char *out = buf_.data();
        if (lead)
            *out++ = lead;
        if (skip < 0) {
            std::memcpy(out, s, (size_t)n);
            out += n;
        } else {
            for (Py_ssize_t k = 0; k < n; k++) {
                if (s[k] != (char)skip)
                    *out++ = s[k];
            }
        }
        *out = '\0';
        buf_.set_size(out - buf_.data());
        return buf_.data();
    }
    // Length of the copy, its NUL not counted.
    Py_ssize_t size() const noexcept { return buf_.size(); }

private:
    Buffer<char, 96> buf_;
};

inline PyObject *big_int(const char *digits, Py_ssize_t n, int base, bool negative)
{
    CText copy;
    const char *text = copy.copy(digits, n, '_', negative ? '-' : 0);
    if (text == nullptr)
        return nullptr;
    return PyLong_FromString(text, nullptr, base);
}

inline PyObject *float_from_text(const char *s, Py_ssize_t n, int skip = -1)
{
    CText copy;
    const char *text = copy.copy(s, n, skip);
    if (text == nullptr)
        return nullptr;
    double d = PyOS_string_to_double(text, nullptr, nullptr);
    if (d == -1.0 && PyErr_Occurred())
        return nullptr;
    return PyFloat_FromDouble(d);
}

class CLocale {
public:
    CLocale() noexcept = default;
    CLocale(const CLocale &) = delete;
    CLocale &operator=(const CLocale &) = delete;
    ~CLocale() { if (loc_ != (locale_t)0) freelocale(loc_); }

    // The locale, made on first use; (locale_t)0 with MemoryError set.
    locale_t get()
    {
        if (loc_ == (locale_t)0) {
            loc_ = newlocale(LC_ALL_MASK, "C", (locale_t)0);
            if (loc_ == (locale_t)0)
                PyErr_NoMemory();
        }
        return loc_;
    }

private:
    locale_t loc_ = (locale_t)0;
};

}  // namespace qv
