// toolkit/scan.h: the scanners of byte runs that every reader shares.
//
//   pos = qv::scan_string_run(t, pos, len, a, b, stop_del, &high);
//       // the first a, b, control byte (< 0x20) or, with stop_del, DEL at
//       // or after pos, or len; high |= a byte >= 0x80 was passed
//   pos = qv::scan_plain_run(t, pos, len, a, b, stop_del, passes, &high);
//       // the same, stepping over each control byte (or DEL) for which
//       // passes(c) holds: the tab of a string, the line end of a
//       // multi-line one
//   pos = qv::skip_ws_run(t, pos, len);       // past spaces, tabs, CR, LF
//   pos = qv::skip_ws_inlined(t, pos, len);   // the same, always inlined
//   pos = qv::find_line_end(t, pos, len, c);  // the first LF, CR or c, or len
//   pos = qv::skip_digit_run(t, pos, len);    // past ASCII digits
//   pos = qv::skip_word_run(t, pos, len, a, b);  // past ASCII letters, digits, a and b
//   qv::holds_either(t, len, a, b)            // whether a short run holds a or b
//   n = qv::count_byte(t, len, c);            // how many bytes are c
//
// Sixteen bytes at a time with SSE2, eight at a time (or one) without it.
// Defining QUORVANE_PORTABLE (the build option of that name) forces the
// code without SSE2 where SSE2 is there, so both are tested on one machine.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>

#if defined(__SSE2__) && !defined(QUORVANE_PORTABLE)
#define QV_SCAN_SSE2 1
#include <emmintrin.h>
#endif

namespace qv {

#if !defined(QV_SCAN_SSE2)
namespace swar {
constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighBits = 0x8080808080808080ull;

// The high bit of each byte of w equal to c.  A borrow may mark bytes above
// a true match as well, never below one: the lowest mark is always exact,
// which is all the scanners use.
inline uint64_t bytes_equal(uint64_t w, unsigned char c)
{
    uint64_t x = w ^ (kOnes * c);
    return (x - kOnes) & ~x & kHighBits;
}

// The same for the bytes below c (c <= 0x80).
inline uint64_t bytes_below(uint64_t w, unsigned char c)
{
    return (w - kOnes * c) & ~w & kHighBits;
}
}  // namespace swar
#endif

inline Py_ssize_t scan_string_run(const char *t, Py_ssize_t pos, Py_ssize_t len, char a, char b,
                                  bool stop_del, bool *high)
{
    unsigned seen = 0;
#if defined(QV_SCAN_SSE2)
    const __m128i va = _mm_set1_epi8(a), vb = _mm_set1_epi8(b);
    const __m128i del = _mm_set1_epi8(stop_del ? 0x7F : a);
    // min(v, 0x1F) == v exactly for the bytes 0x00-0x1F: SSE2 has no
    // unsigned compare, and a signed one would take bytes >= 0x80 as below.
    const __m128i ctl_max = _mm_set1_epi8(0x1F);
    while (len - pos >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(t + pos));
        __m128i stop = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(v, va), _mm_cmpeq_epi8(v, vb)),
            _mm_or_si128(_mm_cmpeq_epi8(v, del), _mm_cmpeq_epi8(_mm_min_epu8(v, ctl_max), v)));
        unsigned stop_mask = (unsigned)_mm_movemask_epi8(stop);
        unsigned high_mask = (unsigned)_mm_movemask_epi8(v);
        if (stop_mask) {
            unsigned k = (unsigned)__builtin_ctz(stop_mask);
            seen |= high_mask & ((1u << k) - 1);
            *high |= seen != 0;
            return pos + k;
        }
        seen |= high_mask;
        pos += 16;
    }
#else
    uint64_t acc = 0;
    while (len - pos >= 8) {
        uint64_t w;
        std::memcpy(&w, t + pos, 8);
        uint64_t stop = swar::bytes_equal(w, (unsigned char)a) |
                        swar::bytes_equal(w, (unsigned char)b) | swar::bytes_below(w, 0x20);
        if (stop_del)
            stop |= swar::bytes_equal(w, 0x7F);
        if (stop) {
            // Little-endian or not, the byte loop below finds the stop
            // within these eight bytes.
            break;
        }
        acc |= w;
        pos += 8;
    }
    seen = (acc & swar::kHighBits) != 0;
#endif
    while (pos < len) {
        unsigned char c = (unsigned char)t[pos];
        if (c == (unsigned char)a || c == (unsigned char)b || c < 0x20 || (stop_del && c == 0x7F))
            break;
        seen |= c & 0x80;
        pos++;
    }
    *high |= seen != 0;
    return pos;
}

// The wide scan stops on every control byte; a reader whose strings let
// some through (a tab, a line end) has them stepped over one by one.
template <typename Passes>
inline Py_ssize_t scan_plain_run(const char *t, Py_ssize_t pos, Py_ssize_t len, char a, char b,
                                 bool stop_del, Passes passes, bool *high)
{
    for (;;) {
        pos = scan_string_run(t, pos, len, a, b, stop_del, high);
        if (pos >= len || t[pos] == a || t[pos] == b || !passes(t[pos]))
            return pos;
        pos++;  // a byte below 0x80: nothing for *high
    }
}

inline bool is_json_ws(char c)
{
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

// Indented documents spend most of their white space in long runs of spaces.
// skip_ws_inlined is the same scan, inlined always: for a reader that skips
// white space between every two tokens in a unit large enough that the
// compiler would call the scan out of line.
__attribute__((always_inline)) inline Py_ssize_t skip_ws_inlined(const char *t, Py_ssize_t pos,
                                                                 Py_ssize_t len)
{
#if defined(QV_SCAN_SSE2)
    const __m128i space = _mm_set1_epi8(' ');
    const __m128i nl = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i tab = _mm_set1_epi8('\t');
    while (len - pos >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(t + pos));
        __m128i ws = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, space), _mm_cmpeq_epi8(v, nl)),
                                  _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, tab)));
        unsigned other = ~(unsigned)_mm_movemask_epi8(ws) & 0xFFFFu;
        if (other)
            return pos + __builtin_ctz(other);
        pos += 16;
    }
#endif
    while (pos < len && is_json_ws(t[pos]))
        pos++;
    return pos;
}

inline Py_ssize_t skip_ws_run(const char *t, Py_ssize_t pos, Py_ssize_t len)
{
    return skip_ws_inlined(t, pos, len);
}

// Comments run to tens of bytes: two blocks a step, tested by one branch.
inline Py_ssize_t find_line_end(const char *t, Py_ssize_t pos, Py_ssize_t len, char third)
{
#if defined(QV_SCAN_SSE2)
    const __m128i nl = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r'), v3 = _mm_set1_epi8(third);
    auto stops = [&](Py_ssize_t at) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(t + at));
        return _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, nl), _mm_cmpeq_epi8(v, cr)),
                            _mm_cmpeq_epi8(v, v3));
    };
    while (len - pos >= 32) {
        __m128i a = stops(pos), b = stops(pos + 16);
        if (_mm_movemask_epi8(_mm_or_si128(a, b))) {
            unsigned mask = (unsigned)_mm_movemask_epi8(a) | (unsigned)_mm_movemask_epi8(b) << 16;
            return pos + __builtin_ctz(mask);
        }
        pos += 32;
    }
    if (len - pos >= 16) {
        unsigned mask = (unsigned)_mm_movemask_epi8(stops(pos));
        if (mask)
            return pos + __builtin_ctz(mask);
        pos += 16;
    }
#else
    while (len - pos >= 8) {
        uint64_t w;
        std::memcpy(&w, t + pos, 8);
        if (swar::bytes_equal(w, '\n') | swar::bytes_equal(w, '\r') |
            swar::bytes_equal(w, (unsigned char)third))
            break;  // the byte loop finds which
        pos += 8;
    }
#endif
    while (pos < len && t[pos] != '\n' && t[pos] != '\r' && t[pos] != third)
        pos++;
    return pos;
}

// Numbers are short: a byte loop beats any wide load on them.
inline Py_ssize_t skip_digit_run(const char *t, Py_ssize_t pos, Py_ssize_t len)
{
    while (pos < len && (unsigned char)(t[pos] - '0') < 10)
        pos++;
    return pos;
}

inline bool is_word_byte(char c, char a, char b)
{
    return (unsigned char)((c | 0x20) - 'a') < 26 || (unsigned char)(c - '0') < 10 || c == a ||
           c == b;
}

// Bare names (JSON5's unquoted keys): sixteen bytes are classed at a time,
// the last few one by one.
inline Py_ssize_t skip_word_run(const char *t, Py_ssize_t pos, Py_ssize_t len, char a, char b)
{
#if defined(QV_SCAN_SSE2)
    // A byte is in [lo, lo + n) when c - lo - 128, read as signed, is
    // below n - 128: SSE2 compares bytes only as signed.
    auto in_range = [](__m128i v, char lo, int n) {
        return _mm_cmplt_epi8(_mm_sub_epi8(v, _mm_set1_epi8((char)(lo + 128))),
                              _mm_set1_epi8((char)(n - 128)));
    };
    const __m128i va = _mm_set1_epi8(a), vb = _mm_set1_epi8(b);
    while (len - pos >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(t + pos));
        // Setting 0x20 makes upper case lower and moves no other byte
        // into a-z.
        __m128i word = _mm_or_si128(
            _mm_or_si128(in_range(_mm_or_si128(v, _mm_set1_epi8(0x20)), 'a', 26),
                         in_range(v, '0', 10)),
            _mm_or_si128(_mm_cmpeq_epi8(v, va), _mm_cmpeq_epi8(v, vb)));
        unsigned other = ~(unsigned)_mm_movemask_epi8(word) & 0xFFFFu;
        if (other)
            return pos + __builtin_ctz(other);
        pos += 16;
    }
#endif
    while (pos < len && is_word_byte(t[pos], a, b))
        pos++;
    return pos;
}

// Keys and names are short: eight bytes at a time, the last word
// overlapping the one before, and four-byte halves below eight.
inline bool holds_either(const char *t, Py_ssize_t len, char a, char b)
{
    constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    const uint64_t wa = ones * (unsigned char)a, wb = ones * (unsigned char)b;
    // Exact per word: a borrow only marks a byte above a true match.
    auto hit = [&](uint64_t w) {
        uint64_t x = w ^ wa, y = w ^ wb;
        return (((x - ones) & ~x) | ((y - ones) & ~y)) & highs;
    };
    if (len >= 8) {
        for (Py_ssize_t i = 0; i + 8 <= len; i += 8) {
            uint64_t w;
            std::memcpy(&w, t + i, 8);
            if (hit(w))
                return true;
        }
        uint64_t w;
        std::memcpy(&w, t + len - 8, 8);
        return hit(w) != 0;
    }
    if (len >= 4) {
        uint32_t lo, hi;
        std::memcpy(&lo, t, 4);
        std::memcpy(&hi, t + len - 4, 4);
        return hit(lo | (uint64_t)hi << 32) != 0;
    }
    for (Py_ssize_t i = 0; i < len; i++)
        if (t[i] == a || t[i] == b)
            return true;
    return false;
}

inline Py_ssize_t count_byte(const char *t, Py_ssize_t len, char c)
{
    Py_ssize_t count = 0, pos = 0;
#if defined(QV_SCAN_SSE2)
    // Matches counted per lane (each match is -1), in runs of at most 255
    // blocks so that no lane overflows, each run's lanes then summed.
    const __m128i vc = _mm_set1_epi8(c), zero = _mm_setzero_si128();
    while (len - pos >= 16) {
        Py_ssize_t blocks = (len - pos) / 16 < 255 ? (len - pos) / 16 : 255;
        __m128i lanes = zero;
        for (Py_ssize_t b = 0; b < blocks; b++, pos += 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(t + pos));
            lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(v, vc));
        }
        __m128i sums = _mm_sad_epu8(lanes, zero);
        count += _mm_cvtsi128_si64(sums) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums));
    }
#endif
    for (; pos < len; pos++)
        count += t[pos] == c;
    return count;
}

}  // namespace qv
