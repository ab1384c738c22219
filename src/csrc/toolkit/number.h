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
//   qv::float_object(d)         a float object, as PyFloat_FromDouble makes
//                               it, for readers that make many
//   qv::float_from_text(s, n, skip)
//                               the interpreter's float() of the text, every
//                               byte equal to skip (if given) left out: the
//                               slow path, for text already known valid
//   qv::CText                   a NUL-terminated copy of a token, inline
//                               when short, for the C and interpreter readers
//   qv::CLocale                 the "C" locale, made on first use and freed
//                               with the context, for strtod_l
// Decimal numbers as the JSON readers write them (no '_', one optional sign)
//   pos = qv::scan_int_digits(t, pos, len, &w)
//                               an integer part from its first digit (1-9)
//                               on, accumulated into w as scan_digits does
//   qv::DecimalText d(start, negative, int_start);
//   is_float = qv::scan_decimal_tail(t, int_end, len, trailing_point, &d)
//                               the fraction and exponent after the integer
//                               part; d.missing_at tells where a digit was
//                               wanted and not found
//   qv::decimal_float(t, d)     the float of a scanned decimal: the fast
//                               conversion, else float() of its text
//   qv::decimal_small_int(d)    whether the integer fits int_from_magnitude
//   end = qv::quick_decimal(t, pos, &obj)
//                               the common shape of a number (no exponent,
//                               19 significant digits at most) read in
//                               words, with kQuickDecimalRoom bytes after
//                               pos; -1 for any other text, which the scan
//                               above then reads
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

// A float object of d, the one PyFloat_FromDouble makes, without its look
// into the interpreter's free list of floats: a reader makes floats by the
// thousand, the list holds a hundred at most and is empty after them, and
// each look costs a fetch of the thread's state.
inline PyObject *float_object(double d)
{
    auto *op = static_cast<PyFloatObject *>(PyObject_Malloc(sizeof(PyFloatObject)));
    if (op == nullptr)
        return PyErr_NoMemory();
#if PY_VERSION_HEX < 0x030E0000
    // What PyObject_Init does for a static type, without the call: the
    // type, then the interpreter's start of a new reference (refcount,
    // allocation tracing).
    Py_SET_TYPE(reinterpret_cast<PyObject *>(op), &PyFloat_Type);
    _Py_NewReference(reinterpret_cast<PyObject *>(op));
#else
    (void)PyObject_Init(reinterpret_cast<PyObject *>(op), &PyFloat_Type);
#endif
    op->ob_fval = d;
    return reinterpret_cast<PyObject *>(op);
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

// ---------------------------------------------------------------------------
// Decimal numbers of the JSON readers

// Integer parts are mostly short: a few digits one by one first, the rest
// eight at a time.  pos is on a digit 1-9.
inline Py_ssize_t scan_int_digits(const char *t, Py_ssize_t pos, Py_ssize_t len, uint64_t *w)
{
    uint64_t v = (uint64_t)(t[pos++] - '0');
    if (pos < len && is_digit(t[pos])) {
        v = v * 10 + (uint64_t)(t[pos++] - '0');
        if (pos < len && is_digit(t[pos]))
            pos = scan_digits(t, pos, len, &v);
    }
    *w = v;
    return pos;
}

// A decimal number as scanned: its text [start, end) (a sign, if any, at
// start), the integer part [int_start, int_end), the fraction's end
// (int_end when there is none, else past its last digit or its point), the
// exponent's value, and the digits accumulated into w (wrapping past 19
// digits).
struct DecimalText {
    DecimalText(Py_ssize_t start_, bool negative_, Py_ssize_t int_start_) noexcept
        : start(start_), int_start(int_start_), negative(negative_) {}
    Py_ssize_t start, end = 0;
    Py_ssize_t int_start, int_end = 0, frac_end = 0;
    int64_t exp10 = 0;
    uint64_t w = 0;
    bool negative;
    // Where a digit was wanted and none stood, or -1: after a decimal point
    // (the number then ends before the point) or in an exponent (it ends
    // before the 'e').  A reader that refuses such text fails there.
    Py_ssize_t missing_at = -1;
    bool missing_in_exponent = false;
};

// The fraction and exponent from pos, the end of the integer part (already
// accumulated into d->w).  `trailing_point`: a point without digits after
// it ends the fraction.  Returns whether they make the number a float;
// d->end is past the number's last byte.
__attribute__((always_inline)) inline bool scan_decimal_tail(const char *t, Py_ssize_t pos,
                                                            Py_ssize_t len, bool trailing_point,
                                                            DecimalText *d)
{
    d->int_end = d->frac_end = d->end = pos;
    bool is_float = false;
    if (pos < len && t[pos] == '.') {
        if (pos + 1 < len && is_digit(t[pos + 1])) {
            pos = scan_digits(t, pos + 1, len, &d->w);
        } else if (trailing_point) {
            pos++;
        } else {
            d->missing_at = pos + 1;
            return false;
        }
        d->frac_end = d->end = pos;
        is_float = true;
    }
    if (pos < len && (t[pos] == 'e' || t[pos] == 'E')) {
        pos++;
        bool exp_negative = pos < len && t[pos] == '-';
        if (pos < len && (t[pos] == '+' || t[pos] == '-'))
            pos++;
        if (pos >= len || !is_digit(t[pos])) {
            d->missing_at = pos;
            d->missing_in_exponent = true;
            return is_float;
        }
        int64_t e = 0;
        do {
            // Saturates far beyond any double's range.
            if (e < 100000000000000000LL)
                e = e * 10 + (t[pos] - '0');
            pos++;
        } while (pos < len && is_digit(t[pos]));
        d->exp10 = exp_negative ? -e : e;
        d->end = pos;
        is_float = true;
    }
    return is_float;
}

// Whether the integer of d fits 64 bits as int_from_magnitude takes it.
inline bool decimal_small_int(const DecimalText &d)
{
    Py_ssize_t digits = d.int_end - d.int_start;
    return digits <= 18 || (digits == 19 && (!d.negative || d.w <= (1ULL << 63)));
}

// The significand and power of ten of a float of more than 19 digits: the
// first 19 significant digits, and whether any nonzero digit follows.
// Out of line: such floats are rare.
__attribute__((noinline)) inline void decimal_long_significand(const char *t,
                                                               Py_ssize_t int_start,
                                                               Py_ssize_t int_end,
                                                               Py_ssize_t frac_end, uint64_t *w,
                                                               int64_t *q, bool *truncated)
{
    uint64_t v = 0;
    int taken = 0;
    int64_t dropped = 0;  // significant digits after the first 19
    bool nonzero_dropped = false;
    for (Py_ssize_t i = int_start; i < frac_end; i++) {
        if (i == int_end)
            continue;  // the decimal point
        int digit = t[i] - '0';
        if (taken == 0 && digit == 0)
            continue;  // leading zero
        if (taken < 19) {
            v = v * 10 + (uint64_t)digit;
            taken++;
        } else {
            dropped++;
            nonzero_dropped |= digit != 0;
        }
    }
    *w = v;
    *q += dropped;
    *truncated = nonzero_dropped;
}

// The rare values that the fast conversion cannot decide: float() of the
// text [start, end), its leading '+' left out.  Out of line, so that its
// buffer does not weigh on the readers' number functions.
__attribute__((noinline, cold)) inline PyObject *decimal_float_text(const char *t,
                                                                    Py_ssize_t start,
                                                                    Py_ssize_t end)
{
    Py_ssize_t from = t[start] == '+' ? start + 1 : start;
    return float_from_text(t + from, end - from);
}

// The float of d, as float() reads its text.
__attribute__((always_inline)) inline PyObject *decimal_float(const char *t,
                                                             const DecimalText &d)
{
    int64_t frac_digits = d.frac_end > d.int_end ? d.frac_end - d.int_end - 1 : 0;
    int64_t q = d.exp10 - frac_digits;
    uint64_t w = d.w;
    bool truncated = false;
    if ((d.int_end - d.int_start) + frac_digits > 19)
        decimal_long_significand(t, d.int_start, d.int_end, d.frac_end, &w, &q, &truncated);
    double value;
    if (float_from_decimal(w, q, d.negative, truncated, &value))
        return float_object(value);
    return decimal_float_text(t, d.start, d.end);
}

// ---------------------------------------------------------------------------
// The common number, read in words

// The value of the first k (1 to 7) ASCII digits of v, the first in the
// lowest byte.  The bytes above them may hold anything: a borrow of the
// subtraction only runs upwards, and the shift drops them, moving the k
// digit values to the top with zeros, leading zeros, below.
inline uint64_t leading_digits_value(uint64_t v, int k)
{
    v = (v - 0x3030303030303030ULL) << (8 * (8 - k));
    v = v * 10 + (v >> 8);
    const uint64_t mask = 0x000000FF000000FFULL;
    v = (((v & mask) * 0x000F424000000064ULL) + (((v >> 16) & mask) * 0x0000271000000001ULL)) >> 32;
    return (uint32_t)v;
}

// A run of 1 to 15 digits at p, two words at most: adds its value to
// *acc (times 10 per digit) and returns how many digits it holds; 0 when
// p holds no digit, 16 when the run may go on (then *acc is not used).
__attribute__((always_inline)) inline int quick_digit_run(const char *p, uint64_t *acc)
{
    uint64_t v;
    std::memcpy(&v, p, 8);
    uint64_t other = nondigit_bytes(v);
    if (other) {
        int k = __builtin_ctzll(other) >> 3;
        if (k)
            *acc = *acc * kPow10U64[k] + leading_digits_value(v, k);
        return k;
    }
    uint64_t high = eight_digits_value(v);
    std::memcpy(&v, p + 8, 8);
    other = nondigit_bytes(v);
    if (!other)
        return 16;
    int k = __builtin_ctzll(other) >> 3;
    uint64_t a = *acc * 100000000 + high;
    if (k)
        a = a * kPow10U64[k] + leading_digits_value(v, k);
    *acc = a;
    return 8 + k;
}

// Bytes that must follow pos for quick_decimal to look at them.
constexpr Py_ssize_t kQuickDecimalRoom = 40;

// The number at t[pos] in the shape most documents write: an optional
// '-', an integer part of up to 18 digits without a leading zero, an
// optional fraction of up to 15 digits, 19 significant digits or fewer in
// all, and no exponent; kQuickDecimalRoom bytes must follow pos.  Returns
// its end with *out the new int or float (NULL after a MemoryError), or -1
// for any other text, which the full scan then reads from pos: the
// result is the one it gives.
__attribute__((always_inline)) inline Py_ssize_t quick_decimal(const char *t, Py_ssize_t pos,
                                                              PyObject **out)
{
    const char *p = t + pos;
    bool negative = *p == '-';
    p += negative;
    uint64_t w = (uint64_t)(unsigned char)(p[0] - '0');
    if (w > 9)
        return -1;
    // Integer parts are mostly short: their first digits one by one.
    int n = 1;
    uint64_t digit = (uint64_t)(unsigned char)(p[1] - '0');
    if (digit <= 9) {
        if (w == 0)
            return -1;  // a leading zero: the full scan's error
        w = w * 10 + digit;
        n = 2;
        digit = (uint64_t)(unsigned char)(p[2] - '0');
        if (digit <= 9) {
            w = w * 10 + digit;
            n = 3 + quick_digit_run(p + 3, &w);
            if (n > 18)
                return -1;  // perhaps beyond 64 bits
        }
    }
    p += n;
    char c = *p;
    if (c == '.') {
        int m = quick_digit_run(p + 1, &w);
        if (m == 0 || m > 15 || n + m > 19 || (p[1 + m] | 0x20) == 'e')
            return -1;
        double d;
        if (!float_from_decimal(w, -m, negative, false, &d))
            return -1;
        *out = float_object(d);
        return p + 1 + m - t;
    }
    if ((c | 0x20) == 'e')
        return -1;
    *out = int_from_magnitude(w, negative);
    return p - t;
}

}  // namespace qv
