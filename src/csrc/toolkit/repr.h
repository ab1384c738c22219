// toolkit/repr.h: a double as the interpreter's repr() writes it.
//
//   char text[qv::kFloatReprRoom];
//   int n = qv::float_repr(d, text);  // e.g. "0.1", "1e+16", "-0.0", "5e-324"
//
// Finite values only (the writers spell infinities and NaN their own way).
// The digits are the shortest that read back as the same double, chosen by
// the interpreter's own rule when two are equally short (the nearest, then
// the even one), and laid out as repr() lays them out: plain notation while
// the decimal point falls within 16 digits left of the end of the first
// digit and 4 zeros right of it, exponent notation ("1e-05", "1.5e+300")
// beyond.  The digits come from 128-bit powers of ten, without big numbers
// or a loop over candidates: for most doubles one product gives the
// interval's right end, where one multiple of 1000 inside the interval is
// the answer, and otherwise the multiple of 100 nearest the value (a second
// product tells its parity and ties); powers of two, whose interval is
// narrower below, and the least doubles take three products, the ends and
// the middle of the interval rounded to odd.
//
//   qv::float_repr_inline(d, text)   // the same, inlined where it is called
#pragma once

#include <cstdint>
#include <cstring>

#include "float.h"
#include "scan.h"  // QV_SCAN_SSE2: the digits of a float 16 at a time where the scanners use it

namespace qv {

namespace repr_detail {

// The powers of ten the digits are cut from, each as a 128-bit number with
// its top bit set and rounded up: floor(10^q * 2^(127 - floor(log2 10^q))) + 1
// for q = -292 .. 324.  float.h's table of 5^q holds the same 128 bits for
// q up to 308 (the powers of two fall away in normalising), truncated where
// these are rounded up (except for q = -27 .. -1, which it rounds up too);
// only subnormal doubles need the powers beyond it, which are kept here.
constexpr int kMaxK = 324;  // what the least subnormal, 5e-324, needs
constexpr uint64_t kPow10Beyond[] = {
    0xb201833b35d63f73, 0x2cd2cc6551e513db, 0xde81e40a034bcf4f, 0xf8077f7ea65e58d2,
    0x8b112e86420f6191, 0xfb04afaf27faf783, 0xadd57a27d29339f6, 0x79c5db9af1f9b564,
    0xd94ad8b1c7380874, 0x18375281ae7822bd, 0x87cec76f1c830548, 0x8f2293910d0b15b6,
    0xa9c2794ae3a3c69a, 0xb2eb3875504ddb23, 0xd433179d9c8cb841, 0x5fa60692a46151ec,
    0x849feec281d7f328, 0xdbc7c41ba6bcd334, 0xa5c7ea73224deff3, 0x12b9b522906c0801,
    0xcf39e50feae16bef, 0xd768226b34870a01, 0x81842f29f2cce375, 0xe6a1158300d46641,
    0xa1e53af46f801c53, 0x60495ae3c1097fd1, 0xca5e89b18b602368, 0x385bb19cb14bdfc5,
    0xfcf62c1dee382c42, 0x46729e03dd9ed7b6, 0x9e19db92b4e31ba9, 0x6c07a2c26a8346d2,
};

static_assert(sizeof kPow10Beyond / 16 == kMaxK - kPow5MaxQ, "the powers beyond float.h's");

struct Pow128 {
    uint64_t hi, lo;
};

// The powers from -292 on, put together once when compiling: one look-up
// at run time, without the tests of which table and which rounding.
constexpr int kMinK = -292;
struct Pow10Table {
    uint64_t words[2 * (kMaxK - kMinK + 1)];
};
constexpr Pow10Table make_pow10_table()
{
    Pow10Table t = {};
    for (int q = kMinK; q <= kMaxK; q++) {
        uint64_t hi, lo;
        if (q > kPow5MaxQ) {
            hi = kPow10Beyond[2 * (q - kPow5MaxQ - 1)];
            lo = kPow10Beyond[2 * (q - kPow5MaxQ - 1) + 1];
        } else {
            hi = kPow5[2 * (q - kPow5MinQ)];
            lo = kPow5[2 * (q - kPow5MinQ) + 1];
            if (q >= 0 || q < -27) {
                lo += 1;
                hi += lo == 0;
            }
        }
        t.words[2 * (q - kMinK)] = hi;
        t.words[2 * (q - kMinK) + 1] = lo;
    }
    return t;
}
inline constexpr Pow10Table kPow10Up = make_pow10_table();

inline Pow128 pow10_up(int q)
{
    const uint64_t *g = &kPow10Up.words[2 * (q - kMinK)];
    return {g[0], g[1]};
}

using u128 = unsigned __int128;

inline int floor_log2_pow10(int e) { return (e * 1741647) >> 19; }
inline int floor_log10_pow2(int e) { return (e * 1262611) >> 22; }
inline int floor_log10_three_quarters_pow2(int e) { return (e * 1262611 - 524031) >> 22; }

// The 64 bits above the lowest 128 of g * cp, the lowest bit made sticky.
inline uint64_t round_to_odd(Pow128 g, uint64_t cp)
{
    u128 x = (u128)g.lo * cp;
    u128 y = (u128)g.hi * cp + (uint64_t)(x >> 64);
    uint64_t hi = (uint64_t)(y >> 64), mid = (uint64_t)y;
    return hi | (mid > 1);
}

struct Decimal {
    uint64_t digits;
    int exponent;  // the value is digits * 10^exponent
};

// The upper and the lower 128 bits of the 192-bit product x * g.
inline Pow128 mul_upper128(uint64_t x, Pow128 g)
{
    u128 hi = (u128)x * g.hi + (uint64_t)(((u128)x * g.lo) >> 64);
    return {(uint64_t)(hi >> 64), (uint64_t)hi};
}
inline Pow128 mul_lower128(uint64_t x, Pow128 g)
{
    u128 lo = (u128)x * g.lo;
    return {x * g.hi + (uint64_t)(lo >> 64), (uint64_t)lo};
}

// Of x * 2^(e - 1) * 10^k, with g the power and beta = e + floor(log2 10^k):
// the lowest bit of its integer part, and whether it is an integer (as far
// as the product's bits tell, which is far enough for the points it is
// asked about).
struct Parity {
    bool odd, integral;
};
inline Parity mul_parity(uint64_t x, Pow128 g, int beta)
{
    Pow128 r = mul_lower128(x, g);
    return {((r.hi >> (64 - beta)) & 1) != 0, ((r.hi << beta) | (r.lo >> (64 - beta))) == 0};
}

// The search with one product for the common case, when both halves of
// the rounding interval are as wide (the significand is not a power of
// two) and the power of ten is in the table: the interval's right end z,
// in units of 10^-k chosen so that its width delta is 100 to 999 of them,
// holds at most one multiple of 1000 inside the interval; if there is
// one, it is the shortest.  Otherwise the shortest is among the multiples
// of 100 in the interval, and the one nearest the double's exact value
// is what remains after subtracting half the width from z, rounded to
// 100; its parity, and a tie (the exact value halfway between two), come
// from the product of the double itself, taken only when that rounding
// was exact.  c is the significand with its hidden bit, q its binary
// exponent (the value is c * 2^q); false where this does not apply.
constexpr int kKappa = 2;
__attribute__((always_inline)) inline bool shortest_one_product(uint64_t c, int q, Decimal *out)
{
    int minus_k = floor_log10_pow2(q) - kKappa;
    if (-minus_k > kMaxK)
        return false;  // the least doubles: the powers beyond the table
    Pow128 g = pow10_up(-minus_k);
    int beta = q + floor_log2_pow10(-minus_k);
    uint64_t two_c = c << 1;
    bool even = (c & 1) == 0;  // the interval's ends round to it: both inside
    uint32_t delta = (uint32_t)(g.hi >> (63 - beta));
    Pow128 z = mul_upper128((two_c | 1) << beta, g);  // z.hi: the right end's integer part
    uint64_t s = z.hi / 1000;
    uint32_t r = (uint32_t)(z.hi - 1000 * s);
    if (r < delta) {
        // The right end itself is outside unless the significand is even.
        if (r == 0 && z.lo == 0 && !even) {
            s--;
            r = 1000;
        } else {
            *out = {s, minus_k + kKappa + 1};
            return true;
        }
    } else if (r == delta) {
        // On the left end: inside when its fraction is below z's, or it
        // is exact and the ends are inside.
        Parity x = mul_parity(two_c - 1, g, beta);
        if (x.odd || (x.integral && even)) {
            *out = {s, minus_k + kKappa + 1};
            return true;
        }
    }
    uint32_t dist = r - delta / 2 + 50;
    bool approx_y_odd = ((dist ^ 50) & 1) != 0;
    bool exact = dist % 100 == 0;
    uint64_t digits = 10 * s + dist / 100;
    if (exact) {
        // The nearest multiple is one less when the value's own fraction
        // is below the width's; a tie goes to the even digits.
        Parity y = mul_parity(two_c, g, beta);
        if (y.odd != approx_y_odd || (y.integral && (digits & 1) != 0))
            digits--;
    }
    *out = {digits, minus_k + kKappa};
    return true;
}

// The shortest decimal in the rounding interval of the positive finite
// double with the given fields, by three products (the interval's ends and
// its middle, each rounded to odd): for every double, and out of line, as
// the one-product search leaves only the rarer ones to it.
__attribute__((noinline)) inline Decimal shortest_three_products(uint64_t fraction,
                                                                 int biased_exponent)
{
    uint64_t c;
    int q;
    if (biased_exponent != 0) {
        c = fraction | (1ULL << 52);
        q = biased_exponent - 1075;
        // Integers below 2^53 are their own shortest digits.
        if (q <= 0 && -q < 53 && (c & ((1ULL << -q) - 1)) == 0)
            return {c >> -q, 0};
    } else {
        c = fraction;
        q = 1 - 1075;
    }
    bool even = (c & 1) == 0;
    // At a power of two the interval below is half as wide as above.
    bool closer_below = fraction == 0 && biased_exponent > 1;
    uint64_t cbl = 4 * c - 2 + closer_below;
    uint64_t cb = 4 * c;
    uint64_t cbr = 4 * c + 2;
    int k = closer_below ? floor_log10_three_quarters_pow2(q) : floor_log10_pow2(q);
    int h = q + floor_log2_pow10(-k) + 1;
    Pow128 g = pow10_up(-k);
    uint64_t vbl = round_to_odd(g, cbl << h);
    uint64_t vb = round_to_odd(g, cb << h);
    uint64_t vbr = round_to_odd(g, cbr << h);
    uint64_t lower = vbl + !even;
    uint64_t upper = vbr - !even;
    uint64_t s = vb / 4;
    if (s >= 10) {
        uint64_t sp = s / 10;
        bool up_inside = lower <= 40 * sp;
        bool wp_inside = 40 * sp + 40 <= upper;
        if (up_inside != wp_inside)
            return {sp + wp_inside, k + 1};
    }
    bool u_inside = lower <= 4 * s;
    bool w_inside = 4 * s + 4 <= upper;
    if (u_inside != w_inside)
        return {s + w_inside, k};
    uint64_t mid = 4 * s + 2;
    bool up = vb > mid || (vb == mid && (s & 1) != 0);
    return {s + up, k};
}

// The shortest decimal in the rounding interval of the positive finite
// double with the given fields.
__attribute__((always_inline)) inline Decimal shortest(uint64_t fraction, int biased_exponent)
{
    // (Integral values need no test of their own here: the search finds
    // their digits as it finds any.)
    Decimal d;
    if (biased_exponent != 0 && fraction != 0 &&
        shortest_one_product(fraction | (1ULL << 52), biased_exponent - 1075, &d))
        return d;
    return shortest_three_products(fraction, biased_exponent);
}

inline constexpr char kPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// The eight digits of x (below 10^8, zeros in front) as the bytes of a
// word, the first digit lowest: halves of four digits in two 32-bit lanes,
// each split into two 2-digit lanes of 16 bits, each into two bytes, with
// multiplications that divide exactly in the lanes' ranges (x * 10486 >> 20
// is x / 100 below 43,699; x * 103 >> 10 is x / 10 below 179).
inline uint64_t eight_digits_word(uint32_t x)
{
    uint64_t halves = x / 10000 | (uint64_t)(x % 10000) << 32;
    uint64_t hundreds = ((halves * 10486) >> 20) & 0x0000007F0000007FULL;
    uint64_t pairs = hundreds | (halves - hundreds * 100) << 16;
    uint64_t tens = ((pairs * 103) >> 10) & 0x000F000F000F000FULL;
    return (tens | (pairs - tens * 10) << 8) | 0x3030303030303030ULL;
}

// The n decimal digits of v (n = count_digits(v)) at p, in words of 8
// bytes from the first digits on, each word after the one before: with
// fewer than 8 digits, the bytes after them up to p + 8 become '0'.
inline void write_digits(char *p, uint64_t v, int n)
{
    constexpr uint64_t kZeros = 0x3030303030303030ULL;
    // The first group of 1 to 8 digits, shifted to the word's start.
    auto lead = [p](uint64_t x, int digits) {
        int shift = 8 * (8 - digits);
        uint64_t w = eight_digits_word((uint32_t)x) >> shift;
        if (shift != 0)
            w |= kZeros << (64 - shift);
        std::memcpy(p, &w, 8);
    };
    auto group = [](char *at, uint64_t x) {
        uint64_t w = eight_digits_word((uint32_t)x);
        std::memcpy(at, &w, 8);
    };
    if (n <= 8) {
        lead(v, n);
    } else if (n <= 16) {
        lead(v / 100000000, n - 8);
        group(p + n - 8, v % 100000000);
    } else {
        uint64_t high = v / 100000000;
        lead(high / 100000000, n - 16);
        group(p + n - 16, high % 100000000);
        group(p + n - 8, v % 100000000);
    }
}

// Eight digits of x (below 10^8), zeros in front, at p.
inline void eight_digits(char *p, uint32_t x)
{
    uint32_t a = x / 10000, b = x % 10000;
    std::memcpy(p, kPairs + 2 * (a / 100), 2);
    std::memcpy(p + 2, kPairs + 2 * (a % 100), 2);
    std::memcpy(p + 4, kPairs + 2 * (b / 100), 2);
    std::memcpy(p + 6, kPairs + 2 * (b % 100), 2);
}

// The decimal digits of v right-aligned to end at `end`; returns where they
// start.  Eight digits at a time in 32-bit arithmetic, which is cheaper than
// a 64-bit division per pair.
inline char *digits_backward(char *end, uint64_t v)
{
    while (v >= 100000000) {
        end -= 8;
        eight_digits(end, (uint32_t)(v % 100000000));
        v /= 100000000;
    }
    uint32_t x = (uint32_t)v;
    while (x >= 100) {
        end -= 2;
        std::memcpy(end, kPairs + 2 * (x % 100), 2);
        x /= 100;
    }
    if (x >= 10) {
        end -= 2;
        std::memcpy(end, kPairs + 2 * x, 2);
    } else {
        *--end = (char)('0' + x);
    }
    return end;
}

inline constexpr uint64_t kTens[20] = {
    1ULL, 10ULL, 100ULL, 1000ULL, 10000ULL, 100000ULL, 1000000ULL, 10000000ULL,
    100000000ULL, 1000000000ULL, 10000000000ULL, 100000000000ULL, 1000000000000ULL,
    10000000000000ULL, 100000000000000ULL, 1000000000000000ULL, 10000000000000000ULL,
    100000000000000000ULL, 1000000000000000000ULL, 10000000000000000000ULL};
}  // namespace repr_detail

// Number of decimal digits of v: from its bit length, then one compare.
inline int count_digits(uint64_t v)
{
    int bits = 64 - __builtin_clzll(v | 1);
    int t = (bits * 1233) >> 12;  // floor(log10(2^bits)), at most one too many
    return t - ((v | 1) < repr_detail::kTens[t]) + 1;  // 0 has one digit too
}

#if defined(QV_SCAN_SSE2)
namespace repr_detail {

// The 16 decimal digits of v < 10^16, zeros in front, as the 16 bytes of a
// vector, the first digit lowest.  v is cut into four groups of four digits
// (two halves of eight in 64-bit lanes, each divided by 10,000), each group
// spread over four 16-bit lanes, divided there by 1000, 100, 10 and 1 with
// multiplications that are exact for 4 * group below 40,000 (33,556 / 2^25
// is 1/1000 within 5e-5, 20,972 / 2^21 is 1/100 within 3e-5, 52,432 / 2^19
// is 1/10 within 7e-5), and each quotient less ten times the one before is
// one digit.
inline __m128i sixteen_digits(uint64_t v)
{
    uint64_t hi = v / 100000000, lo = v % 100000000;
    __m128i x = _mm_set_epi64x((long long)lo, (long long)hi);
    __m128i q = _mm_srli_epi64(_mm_mul_epu32(x, _mm_set1_epi32((int)0xd1b71759)), 45);
    __m128i r = _mm_sub_epi32(x, _mm_mul_epu32(q, _mm_set1_epi32(10000)));
    // Per 64-bit lane the 16-bit lanes [4q, 4r, 0, 0].
    __m128i qr = _mm_slli_epi16(_mm_or_si128(q, _mm_slli_epi64(r, 16)), 2);
    __m128i lo16 = _mm_unpacklo_epi16(qr, qr), hi16 = _mm_unpackhi_epi16(qr, qr);
    const __m128i div = _mm_setr_epi16(8389, 5243, 13108, (short)32768, 8389, 5243, 13108,
                                       (short)32768);
    const __m128i shift = _mm_setr_epi16(1 << 7, 1 << 11, 1 << 13, (short)(1 << 15), 1 << 7,
                                         1 << 11, 1 << 13, (short)(1 << 15));
    const __m128i ten = _mm_set1_epi16(10);
    auto groups = [&](__m128i g) {
        __m128i spread = _mm_unpacklo_epi32(g, g);  // [4a x4, 4b x4]
        __m128i quot = _mm_mulhi_epu16(_mm_mulhi_epu16(spread, div), shift);
        return _mm_sub_epi16(quot, _mm_slli_epi64(_mm_mullo_epi16(quot, ten), 16));
    };
    __m128i digits = _mm_packus_epi16(groups(lo16), groups(hi16));
    return _mm_add_epi8(digits, _mm_set1_epi8('0'));
}

// The 16 bytes of d with a '.' put in after the first k (0 to 15): 17
// bytes at p, from two stores, the point and the shift made in registers
// (a block stored and read back at another offset would wait for the
// store to land).
inline void digits_with_point(char *p, __m128i d, int k)
{
    const __m128i index = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m128i at = _mm_set1_epi8((char)k);
    __m128i before = _mm_cmpgt_epi8(at, index), after = _mm_cmplt_epi8(at, index);
    __m128i dot = _mm_and_si128(_mm_cmpeq_epi8(at, index), _mm_set1_epi8('.'));
    __m128i text = _mm_or_si128(_mm_or_si128(_mm_and_si128(before, d), dot),
                                _mm_and_si128(after, _mm_slli_si128(d, 1)));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p), text);
    p[16] = (char)(_mm_extract_epi16(d, 7) >> 8);
}

}  // namespace repr_detail
#endif

// repr(d) for a finite d, written at out (room for kFloatReprRoom bytes:
// the digits are moved in fixed blocks of 16, wider than the text, which is
// at most 24); returns its length.
inline constexpr int kFloatReprRoom = 48;

__attribute__((always_inline)) inline int float_repr_inline(double d, char *out)
{
    using namespace repr_detail;
    uint64_t bits;
    std::memcpy(&bits, &d, 8);
    char *p = out;
    if (bits >> 63)
        *p++ = '-';
    uint64_t fraction = bits & ((1ULL << 52) - 1);
    int biased = (int)((bits >> 52) & 0x7FF);
    if (biased == 0 && fraction == 0) {
        std::memcpy(p, "0.0", 3);
        return (int)(p - out) + 3;
    }
    Decimal dec = shortest(fraction, biased);
#if defined(QV_SCAN_SSE2)
    // The digits as 16 bytes of a vector, the first digit in the first
    // (a 17th, `head`, before them), zeros after the last: each layout is
    // written from the vector in place, never read back from memory.
    uint64_t v = dec.digits;
    int count = count_digits(v);  // at most 17
    int point = count + dec.exponent;  // the value is 0.DIGITS * 10^point
    int head = count > 16;
    char lead = '0';
    if (head) {
        uint64_t h = v / 10000000000000000ULL;
        v -= h * 10000000000000000ULL;
        lead = (char)('0' + h);
    } else {
        v *= kTens[16 - count];
    }
    __m128i text = sixteen_digits(v);
    unsigned nonzero =
        ~(unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(text, _mm_set1_epi8('0'))) & 0xFFFF;
    int n = head + (nonzero != 0 ? 32 - __builtin_clz(nonzero) : 0);  // without zeros behind
    // Each layout writes `lead` first: the vector's store covers it when
    // there is no head.
    if (point > 16 || point <= -4) {
        *p = lead;
        digits_with_point(p + head, text, 1 - head);
        p += n > 1 ? n + 1 : 1;
    } else if (point <= 0) {
        std::memcpy(p, "0.000", 5);
        p += 2 - point;
        *p = lead;
        _mm_storeu_si128(reinterpret_cast<__m128i *>(p + head), text);
        return (int)(p - out) + n;
    } else if (point >= n) {
        *p = lead;
        _mm_storeu_si128(reinterpret_cast<__m128i *>(p + head), text);
        std::memcpy(p + point, ".0", 2);
        return (int)(p - out) + point + 2;
    } else {
        *p = lead;
        digits_with_point(p + head, text, point - head);
        return (int)(p - out) + n + 1;
    }
#else
    while (dec.digits % 10 == 0) {
        dec.digits /= 10;
        dec.exponent++;
    }
    int n = count_digits(dec.digits);  // at most 17
    char digits[40];
    std::memset(digits, '0', sizeof digits);
    write_digits(digits, dec.digits, n);
    int point = n + dec.exponent;  // the value is 0.DIGITS * 10^point
    if (point > 16 || point <= -4) {
        *p++ = digits[0];
        if (n > 1) {
            *p++ = '.';
            std::memcpy(p, digits + 1, 16);
            p += n - 1;
        }
    } else if (point <= 0) {
        std::memcpy(p, "0.000", 5);
        p += 2 - point;
        std::memcpy(p, digits, 24);
        return (int)(p - out) + n;
    } else if (point >= n) {
        std::memcpy(p, digits, 16);
        std::memcpy(p + point, ".0", 2);
        return (int)(p - out) + point + 2;
    } else {
        std::memcpy(p, digits, 16);
        p[point] = '.';
        std::memcpy(p + point + 1, digits + point, 16);
        return (int)(p - out) + n + 1;
    }
#endif
    // Exponent notation.
    int e = point - 1;
    *p++ = 'e';
    *p++ = e < 0 ? '-' : '+';
    if (e < 0)
        e = -e;
    if (e >= 100)
        *p++ = (char)('0' + e / 100);
    std::memcpy(p, kPairs + 2 * (e % 100), 2);
    return (int)(p - out) + 2;
}

// Out of line, for the writers that write floats now and then.
inline int float_repr(double d, char *out) { return float_repr_inline(d, out); }

}  // namespace qv
