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
// the answer, and otherwise the multiple of 100 nearest the value; powers
// of two, whose interval is narrower below, subnormals, and the one double
// in a hundred that product cannot decide (a possible tie, an end on the
// grid) take three products, the ends and the middle of the interval
// rounded to odd.  Both searches give 17 digits (zeros behind), which are
// written without branches on the digits: the first, then 16 at once (in
// a vector with SSE2), the zeros behind counted off after.
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
// for q = -292 .. 326.  float.h's table of 5^q holds the same 128 bits for
// q up to 308 (the powers of two fall away in normalising), truncated where
// these are rounded up (except for q = -27 .. -1, which it rounds up too);
// only the least doubles need the powers beyond it, which are kept here.
constexpr int kMaxK = 326;  // what the one-product search needs of the least normal doubles
constexpr uint64_t kPow10Beyond[] = {
    0xb201833b35d63f73, 0x2cd2cc6551e513db, 0xde81e40a034bcf4f, 0xf8077f7ea65e58d2,
    0x8b112e86420f6191, 0xfb04afaf27faf783, 0xadd57a27d29339f6, 0x79c5db9af1f9b564,
    0xd94ad8b1c7380874, 0x18375281ae7822bd, 0x87cec76f1c830548, 0x8f2293910d0b15b6,
    0xa9c2794ae3a3c69a, 0xb2eb3875504ddb23, 0xd433179d9c8cb841, 0x5fa60692a46151ec,
    0x849feec281d7f328, 0xdbc7c41ba6bcd334, 0xa5c7ea73224deff3, 0x12b9b522906c0801,
    0xcf39e50feae16bef, 0xd768226b34870a01, 0x81842f29f2cce375, 0xe6a1158300d46641,
    0xa1e53af46f801c53, 0x60495ae3c1097fd1, 0xca5e89b18b602368, 0x385bb19cb14bdfc5,
    0xfcf62c1dee382c42, 0x46729e03dd9ed7b6, 0x9e19db92b4e31ba9, 0x6c07a2c26a8346d2,
    0xc5a05277621be293, 0xc7098b7305241886, 0xf70867153aa2db38, 0xb8cbee4fc66d1ea8,
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

constexpr int floor_log2_pow10(int e) { return (e * 1741647) >> 19; }
constexpr int floor_log10_pow2(int e) { return (e * 1262611) >> 22; }
constexpr int floor_log10_three_quarters_pow2(int e) { return (e * 1262611 - 524031) >> 22; }

// The 64 bits above the lowest 128 of g * cp, the lowest bit made sticky.
inline uint64_t round_to_odd(Pow128 g, uint64_t cp)
{
    u128 x = (u128)g.lo * cp;
    u128 y = (u128)g.hi * cp + (uint64_t)(x >> 64);
    uint64_t hi = (uint64_t)(y >> 64), mid = (uint64_t)y;
    return hi | (mid > 1);
}

// A decimal: the three products' answer, its digits as many as they are.
struct Decimal {
    uint64_t digits;
    int exponent;  // the value is digits * 10^exponent
};

// The shortest digits as the text takes them, always 17, zeros behind as
// needed: the text is then cut from one fixed width, its first digit
// never zero.
constexpr uint64_t kTenTo16 = 10000000000000000ULL;
struct Decimal17 {
    uint64_t digits;  // 10^16 to 10^17 - 1
    uint64_t nine;    // the first nine of them, digits / 10^8
    int exponent;     // the value is digits * 10^exponent
};

// The upper 128 bits of the 192-bit product x * g.
inline Pow128 mul_upper128(uint64_t x, Pow128 g)
{
    // The carry added by hand: a 64-bit value added to a 128-bit one makes
    // the compiler widen it on the stack.
    u128 hi = (u128)x * g.hi;
    uint64_t mid = (uint64_t)(((u128)x * g.lo) >> 64);
    uint64_t lo = (uint64_t)hi + mid;
    return {(uint64_t)(hi >> 64) + (lo < mid), lo};
}

constexpr int kKappa = 2;

// What the one-product search needs of a normal double's binary exponent,
// worked out once when compiling: one look-up instead of two logarithms,
// their multiplies and a variable shift per double.  The fields are read
// as they are stored (arithmetic on them in 16 bits, such as halving the
// place, costs the loop far more than the instructions it takes).
struct ExponentStep {
    uint16_t pow10;     // 2 * (k - kMinK): where 10^k's words are in kPow10Up
    uint16_t delta;     // the interval's width in units of 10^-k: 100 to 999
    int16_t exponent;   // kKappa - k: the 17 digits' exponent when z has 19
    uint8_t beta;       // how far 2c + 1 is shifted for the product: 6 to 9
};
struct ExponentSteps {
    ExponentStep steps[2047];  // by biased exponent, 1 to 2046 filled
};
constexpr ExponentSteps make_exponent_steps()
{
    ExponentSteps t = {};
    for (int biased = 1; biased < 2047; biased++) {
        int q = biased - 1075;
        int k = kKappa - floor_log10_pow2(q);  // at most kMaxK for every normal double
        int beta = q + floor_log2_pow10(k);
        uint64_t hi = kPow10Up.words[2 * (k - kMinK)];
        t.steps[biased] = {(uint16_t)(2 * (k - kMinK)), (uint16_t)(hi >> (63 - beta)),
                           (int16_t)(kKappa - k), (uint8_t)beta};
    }
    return t;
}
inline constexpr ExponentSteps kExponentSteps = make_exponent_steps();

// z / 1000 for z below 1.5e19 (the search's z is below 2^53 * 1000): the
// multiply by 2^73 / 1000 rounded up is exact there without the shift
// before it that the compiler's division needs for every 64-bit z.
inline uint64_t div1000(uint64_t z)
{
    return (uint64_t)(((u128)z * 9444732965739290428ULL) >> 64) >> 9;
}

// z / 10^10 for z below 5.4e19, the same way (2^97 / 10^10 rounded up).
inline uint64_t div10_10(uint64_t z)
{
    return (uint64_t)(((u128)z * 15845632502852867519ULL) >> 64) >> 33;
}

// The search with one product for the common case, a normal double whose
// rounding interval has both halves as wide (the significand is not a
// power of two): the interval's right end z,
// in units of 10^-k chosen so that its width delta is 100 to 999 of them,
// holds at most one multiple of 1000 inside the interval; if there is
// one, it is the shortest.  Otherwise the shortest is among the multiples
// of 100 in the interval, and the one nearest the double's exact value
// is what remains after subtracting half the width from z, rounded to
// 100.  Where the product alone cannot tell (an end of the interval on
// the multiple of 1000, or that rounding exact, so that the value may sit
// below it or halfway), about one double in a hundred, it gives up and the
// three products decide.  c is the significand with its hidden bit, biased
// the biased exponent (the value is c * 2^(biased - 1075)); false where it
// gives up.
//
// Both answers are counted in hundreds (the multiple of 1000 as ten of
// them), so that which one it is picks a number to add, not a branch: the
// two come about equally often in measured data, and a branch between
// them is mispredicted about as often.  z is 4.5e17 to 9e18, so the count
// has 16 or 17 digits, and 17 after one more compare.
__attribute__((always_inline)) inline bool shortest_one_product(uint64_t c, int biased, Decimal17 *out)
{
    const ExponentStep &step = kExponentSteps.steps[biased];
    const uint64_t *w = &kPow10Up.words[step.pow10];
    Pow128 g = {w[0], w[1]};
    uint32_t delta = step.delta;
    int beta = step.beta;
    Pow128 z = mul_upper128((c << 1 | 1) << beta, g);  // z.hi: the right end's integer part
    uint64_t s = div1000(z.hi);
    uint32_t r = (uint32_t)(z.hi - 1000 * s);
    uint32_t dist = r - delta / 2 + 50;
    // dist / 100 in the bits from 16 on, exact when those below are below
    // 656, for dist up to 1049 (which it is when the multiple of 1000 is
    // outside; inside, its quotient is not used and a wrong "exact" only
    // sends the double to the three products, which are right for all).
    uint32_t hundreds = dist * 656;
    // The three products also take both ends' cases, widened to any z
    // on a multiple of 1000 (bitwise operators: the compiler makes
    // branches of logical ones).
    if ((r == delta) | (r == 0) | ((hundreds & 0xFFFF) < 656))
        return false;
    uint64_t outside = r >= delta;  // the multiple of 1000 below z
    // (A mask, not a selection, which the compiler makes a branch.)
    uint64_t digits = 10 * s + (hundreds >> 16 & -outside);
    // Fewer than 17 digits exactly when z is below 10^18, as at most 9
    // hundreds are added; then ten times as many (the mask adds nine).
    uint64_t short16 = -(uint64_t)(z.hi < 100 * kTenTo16);
    // The first nine of the 17 from z itself, beside the quotient by 1000
    // rather than after it and the count: the hundreds added never carry
    // into them, so they are z / 10^10, or 10z / 10^10 when z is short.
    uint64_t nine = div10_10(z.hi + (9 * z.hi & short16));
    *out = {digits + (9 * digits & short16), nine, step.exponent + (int)short16};
    return true;
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

namespace repr_detail {

// The shortest decimal in the rounding interval of the positive finite
// double with the given fields, by three products (the interval's ends and
// its middle, each rounded to odd): for every double, its digits as many
// as they are (at most 17).
inline Decimal three_products(uint64_t fraction, int biased_exponent)
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

// The same with 17 digits, as the one-product search gives them: out of
// line, as that search leaves only the rarer doubles to it.
__attribute__((noinline)) inline Decimal17 shortest_three_products(uint64_t fraction,
                                                                   int biased_exponent)
{
    Decimal d = three_products(fraction, biased_exponent);
    int missing = 17 - count_digits(d.digits);
    uint64_t digits = d.digits * kTens[missing];
    return {digits, digits / 100000000, d.exponent - missing};
}

// The shortest decimal in the rounding interval of the positive finite
// double with the given fields.
__attribute__((always_inline)) inline Decimal17 shortest(uint64_t fraction, int biased_exponent)
{
    // (Integral values need no test of their own here: the search finds
    // their digits as it finds any.)
    Decimal17 d;
    if (biased_exponent != 0 && fraction != 0 &&
        shortest_one_product(fraction | (1ULL << 52), biased_exponent, &d))
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

// The 17 digits cut where the text wants them: the first, and the 16
// after it as two halves of eight.  The first is divided off the first
// nine, which the search gives, in 32 bits, which is cheaper than
// dividing all 17 by 10^16; the last eight are what is left of the low
// 32 bits.
struct Digits17 {
    uint32_t first, high, low;
};
inline Digits17 split_digits(Decimal17 d)
{
    uint32_t nine = (uint32_t)d.nine;
    uint32_t first = nine / 100000000;
    return {first, nine - first * 100000000, (uint32_t)d.digits - nine * 100000000};
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

}  // namespace repr_detail

#if defined(QV_SCAN_SSE2)
namespace repr_detail {

// The 16 decimal digits of two halves of eight (each below 10^8, zeros in
// front), the high half first, as the 16 bytes of a vector, the first digit
// lowest: eight_digits_word's steps on four groups at once.  Each half in
// a 64-bit lane is divided by 10,000 into two groups of four digits in
// 32-bit lanes, each group into two 2-digit lanes of 16 bits, each of those
// into two bytes, with 16-bit multiplications that divide exactly in the
// lanes' ranges (x * 5243 >> 19 is x / 100 below 10,000; x * 6554 >> 16 is
// x / 10 below 100).
inline __m128i sixteen_digits(uint32_t high, uint32_t low)
{
    // The factors of the 16-bit multiplications hidden from the compiler,
    // which would make each a longer run of shifts and adds.
    __m128i hundred = _mm_set1_epi16(100), ten = _mm_set1_epi16(10);
    __asm__("" : "+x"(hundred), "+x"(ten));
    __m128i halves = _mm_set_epi64x((long long)low, (long long)high);
    __m128i q = _mm_srli_epi64(_mm_mul_epu32(halves, _mm_set1_epi32((int)0xd1b71759)), 45);
    __m128i r = _mm_sub_epi32(halves, _mm_mul_epu32(q, _mm_set1_epi32(10000)));
    __m128i groups = _mm_or_si128(q, _mm_slli_epi64(r, 32));
    __m128i hundreds = _mm_srli_epi16(_mm_mulhi_epu16(groups, _mm_set1_epi16(5243)), 3);
    __m128i pairs = _mm_or_si128(
        hundreds,
        _mm_slli_epi32(_mm_sub_epi16(groups, _mm_mullo_epi16(hundreds, hundred)), 16));
    __m128i tens = _mm_mulhi_epu16(pairs, _mm_set1_epi16(6554));
    __m128i digits = _mm_or_si128(
        tens, _mm_slli_epi16(_mm_sub_epi16(pairs, _mm_mullo_epi16(tens, ten)), 8));
    return _mm_add_epi8(digits, _mm_set1_epi8('0'));
}

// Bytes 0xFF then 0x00: the 16 from 16 - k on mark the first k of a vector.
inline constexpr unsigned char kFirstOnes[32] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// The 16 bytes of d with a '.' put in after the first k (0 to 15): 17
// bytes at p.  d is stored one byte on (its last byte lands at p + 16),
// then its first k bytes and the rest one byte on are stored over it from
// a blend made in registers (a block stored and read back at another
// offset would wait for the store to land), and the point over the byte
// at k.
inline void digits_with_point(char *p, __m128i d, int k)
{
    __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i *>(kFirstOnes + 16 - k));
    __m128i text = _mm_or_si128(_mm_and_si128(first, d), _mm_andnot_si128(first, _mm_slli_si128(d, 1)));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p + 1), d);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p), text);
    p[k] = '.';
}

}  // namespace repr_detail
#endif

// repr(d) for a finite d, written at out (room for kFloatReprRoom bytes:
// the digits are moved in fixed blocks of 16, wider than the text, which is
// at most 24); returns its length.
inline constexpr int kFloatReprRoom = 48;

// The exponent of a text in exponent notation at p ("e+XX", "e-XXX"): its
// length.
__attribute__((always_inline)) inline int exponent_text(char *p, int point)
{
    using namespace repr_detail;
    // Exponent notation, without branches on the exponent: its sign and
    // whether it has three digits are as good as random in data that
    // needs it.  A third digit's place is written either way, then
    // covered by the last two when there is none.
    int e = point - 1;
    unsigned negative = e < 0;
    unsigned magnitude = (unsigned)(negative ? -e : e);
    unsigned wide = magnitude >= 100;
    p[0] = 'e';
    p[1] = (char)('+' + 2 * negative);  // '-' is two on from '+'
    p[2] = (char)('0' + magnitude / 100);
    std::memcpy(p + 2 + wide, kPairs + 2 * (magnitude % 100), 2);
    return 4 + (int)wide;
}

// A finite double's digits before they are laid out.  A writer meeting
// doubles two at a time (a pair of coordinates) makes both before writing
// either: the two chains of dependent multiplies then run side by side,
// where one after the other each waited on its own.
struct FloatDigits {
#if defined(QV_SCAN_SSE2)
    __m128i text;  // the 16 digits after the first, as bytes
#else
    uint64_t high, low;  // the same as two words of bytes, the first digit lowest
#endif
    uint64_t bits;  // the double's
    int first;      // the first digit's character; 0 for zero
    int point;      // the value is 0.DIGITS * 10^point
    int n;          // the digits without the zeros behind
};
__attribute__((always_inline)) inline FloatDigits float_digits(double d)
{
    using namespace repr_detail;
    FloatDigits f;
    std::memcpy(&f.bits, &d, 8);
    uint64_t fraction = f.bits & ((1ULL << 52) - 1);
    int biased = (int)((f.bits >> 52) & 0x7FF);
    if (biased == 0 && fraction == 0) {
#if defined(QV_SCAN_SSE2)
        f.text = _mm_setzero_si128();
#else
        f.high = f.low = 0;
#endif
        f.first = f.point = f.n = 0;  // zero: first 0 says so
        return f;
    }
    Decimal17 dec = shortest(fraction, biased);
    f.point = 17 + dec.exponent;
    Digits17 digits = split_digits(dec);
    f.first = '0' + (int)digits.first;
    // Every layout writes the first digit, then the 16 after it from one
    // block of them (zeros where the shortest digits have ended), and
    // counts n, the digits without the zeros behind.
#if defined(QV_SCAN_SSE2)
    // The 16 as the bytes of a vector, each layout written from it in
    // place, never read back from memory.
    f.text = sixteen_digits(digits.high, digits.low);
    // A bit for each of the 17 that is not '0' (the first never is).
    unsigned nonzero =
        (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(f.text, _mm_set1_epi8('0'))) << 1 ^ 0x1FFFF;
    f.n = 1 + (31 ^ __builtin_clz(nonzero));  // (the compiler's form of the top bit's index)
#else
    constexpr uint64_t kZeros = 0x3030303030303030ULL;
    f.high = eight_digits_word(digits.high);
    f.low = eight_digits_word(digits.low);
    // The first digit lowest: the zeros behind are the word's high bytes.
    f.n = f.low != kZeros    ? 17 - __builtin_clzll(f.low ^ kZeros) / 8
          : f.high != kZeros ? 9 - __builtin_clzll(f.high ^ kZeros) / 8
                             : 1;
#endif
    return f;
}

// The text of float_digits(d) at out (room for kFloatReprRoom bytes); its
// length.
__attribute__((always_inline)) inline int float_text(const FloatDigits &f, char *out)
{
    using namespace repr_detail;
    char *p = out;
    *p = '-';
    p += f.bits >> 63;  // (a branch on the sign is mispredicted on mixed signs)
    if (f.first == 0) {
        std::memcpy(p, "0.0", 3);
        return (int)(p - out) + 3;
    }
    int point = f.point, n = f.n;
    *p = (char)f.first;
#if defined(QV_SCAN_SSE2)
    __m128i text = f.text;
    if (point > 16 || point <= -4) {
        p[1] = '.';
        _mm_storeu_si128(reinterpret_cast<__m128i *>(p + 2), text);
        p += n > 1 ? n + 1 : 1;
    } else if (point <= 0) {
        std::memcpy(p, "0.000", 5);
        p += 2 - point;
        *p = (char)f.first;
        _mm_storeu_si128(reinterpret_cast<__m128i *>(p + 1), text);
        return (int)(p - out) + n;
    } else if (point >= n) {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(p + 1), text);
        std::memcpy(p + point, ".0", 2);
        return (int)(p - out) + point + 2;
    } else {
        digits_with_point(p + 1, text, point - 1);
        return (int)(p - out) + n + 1;
    }
#else
    // The 16 in a block of '0's for the layouts' fixed-size moves.
    uint64_t high = f.high, low = f.low;
    char block[40];
    std::memset(block, '0', sizeof block);
    block[0] = *p;
    std::memcpy(block + 1, &high, 8);
    std::memcpy(block + 9, &low, 8);
    if (point > 16 || point <= -4) {
        p++;
        if (n > 1) {
            *p++ = '.';
            std::memcpy(p, block + 1, 16);
            p += n - 1;
        }
    } else if (point <= 0) {
        std::memcpy(p, "0.000", 5);
        p += 2 - point;
        std::memcpy(p, block, 24);
        return (int)(p - out) + n;
    } else if (point >= n) {
        std::memcpy(p, block, 16);
        std::memcpy(p + point, ".0", 2);
        return (int)(p - out) + point + 2;
    } else {
        std::memcpy(p, block, 16);
        p[point] = '.';
        std::memcpy(p + point + 1, block + point, 16);
        return (int)(p - out) + n + 1;
    }
#endif
    return (int)(p - out) + exponent_text(p, point);
}

__attribute__((always_inline)) inline int float_repr_inline(double d, char *out)
{
    return float_text(float_digits(d), out);
}

// Out of line, for the writers that write floats now and then.
inline int float_repr(double d, char *out) { return float_repr_inline(d, out); }

}  // namespace qv
