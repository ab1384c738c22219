// toolkit/out.h: the writers' output, from the first byte to the result str.
//
//   qv::Out out;
//   if (!out.reserve(n)) return nullptr;  // room for n more bytes: MemoryError otherwise
//   char *p = out.end(); ...; out.set_end(p);
//   out.put('x'); out.write(s, n); out.lit("true");   // each false on MemoryError
//   out.lit_in_room("true")      // the same where reserve() has made the room
//   out.str(s)                   // a str's text, as UTF-8 (see escaped() for quoting)
//   out.escaped<kAsciiOnly>(s, table)   // a str's text through an escape table
//   out.int_repr(i)              // int.__repr__ of an int (or subclass)
//   out.int_repr<true>(i), out.quoted_short<true>(s, table, q), out.float_repr_inlined<true>(d)
//                                // the same in room reserved before (see kShortRoom)
//   out.float_repr(d)            // float.__repr__ of a finite double
//   out.float_repr_inlined(d)    // the same, its code inlined at the call
//   PyObject *s = out.take_str();     // the text as a str (new reference)
//   PyObject *b = out.take_bytes();   // the text as UTF-8 bytes
//   Out::widen(units, v)         // (SSE2) 16 bytes as 16 units of a str
//
// The bytes are UTF-8 and live inside a str object from the start: the
// buffer is a compact ASCII str, grown by resizing it (its capacity doubles,
// so each byte is copied at most once per doubling), and when every byte
// written is ASCII, take_str() trims it to its length and hands it over as
// the result without another copy.  A text of a mebibyte or more is
// copied into a str of its length instead: a buffer that large, trimmed
// and later freed, goes back to the system, and the next call's would be
// fresh memory, faulted in page by page (about 540 faults, a fifth of the
// time, on a 2 MB text); copied, the buffer is freed whole and malloc
// keeps its memory for the next.  Other text is decoded once at the end
// into a str of the width it needs; a lone surrogate, which a str may hold
// and JSON's and TOML's writers pass through, is carried in its three-byte
// form, so the result holds it again.
//
// Escaping: an EscapeTable says, for each ASCII character, 0 when it is
// written as itself, else the letter of its short escape (`n` for \n) or
// `u` for \u00XX.  Characters beyond ASCII are written as UTF-8, or with
// kAsciiOnly as \uXXXX, as a surrogate pair beyond U+FFFF (lowercase hex,
// as JSON's writer does).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>

#include "buffer.h"
#include "compat.h"
#include "repr.h"
#include "scan.h"  // QV_SCAN_SSE2: 16 bytes at a time where the scanners use it

namespace qv {

struct EscapeTable {
    uint8_t cls[128];
    uint64_t also;  // a byte (repeated over 8) that needs its entry besides controls, '"', '\\'
};

inline constexpr char kHexLower[] = "0123456789abcdef";

// Every byte as two lowercase hex digits: a \u escape in two moves.
struct HexPairs {
    char text[512];
};
constexpr HexPairs make_hex_pairs()
{
    HexPairs h = {};
    for (int i = 0; i < 256; i++) {
        h.text[2 * i] = kHexLower[i >> 4];
        h.text[2 * i + 1] = kHexLower[i & 15];
    }
    return h;
}
inline constexpr HexPairs kHexPairs = make_hex_pairs();

class Out {
public:
    // From this length on take_str() copies the text (see above).
    static constexpr Py_ssize_t kCopiedFrom = (Py_ssize_t)1 << 20;

    Out() noexcept = default;
    Out(const Out &) = delete;
    Out &operator=(const Out &) = delete;
    ~Out() { Py_XDECREF(buf_); }

    char *end() noexcept { return data_ + len_; }
    // The end of the room: a writer's own cursor p has room_end() - p bytes.
    char *room_end() noexcept { return data_ + cap_; }
    void set_end(char *p) noexcept { len_ = p - data_; }
    Py_ssize_t size() const noexcept { return len_; }
    const char *data() const noexcept { return data_; }
    void truncate(Py_ssize_t n) noexcept { len_ = n; }
    // Bytes beyond ASCII were written: the end result must be decoded.
    void note_high() noexcept { high_ = true; }
    bool high() const noexcept { return high_; }

    bool reserve(Py_ssize_t extra) { return extra <= cap_ - len_ || grow(extra); }
    bool put(char c)
    {
        if (len_ == cap_ && !grow(1))
            return false;
        data_[len_++] = c;
        return true;
    }
    bool write(const char *s, Py_ssize_t n)
    {
        if (n == 0)
            return true;  // nothing to copy, perhaps not even a buffer yet
        if (!reserve(n))
            return false;
        std::memcpy(data_ + len_, s, (size_t)n);
        len_ += n;
        return true;
    }
    template <size_t N>
    bool lit(const char (&s)[N])
    {
        return write(s, (Py_ssize_t)N - 1);
    }
    template <size_t N>
    void lit_in_room(const char (&s)[N])
    {
        std::memcpy(data_ + len_, s, N - 1);
        len_ += (Py_ssize_t)N - 1;
    }

    // The room that int_repr<true>(), quoted_short<true>() and
    // float_repr_inlined<true>() take for granted: reserved once before
    // them, it covers any of them (an int of 64 bits takes at most 20
    // bytes, a short quoted str 34, a float's digits kFloatReprRoom), so
    // that a writer reserves once for a separator and the value after it.
    static constexpr Py_ssize_t kShortRoom = kFloatReprRoom;

    // The text of a str, unquoted and unescaped (separators, indents, keys
    // the writer has judged plain).
    bool str(PyObject *s)
    {
        if (PyUnicode_IS_ASCII(s))
            return write(static_cast<const char *>(PyUnicode_DATA(s)), PyUnicode_GET_LENGTH(s));
        static constexpr EscapeTable none = {};
        return escaped<false>(s, none);
    }

    // A str quoted with `quote` on both sides, through the table.  The
    // hot paths try quoted_short() first and come here for the rest.
    template <bool kAsciiOnly>
    bool quoted(PyObject *s, const EscapeTable &table, char quote = '"')
    {
        Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        // Short ASCII text, the usual key or value, in one reservation.
        if (PyUnicode_IS_ASCII(s) && n <= 64) {
            if (!reserve(6 * n + 2))
                return false;
            char *p = end();
            *p++ = quote;
            const Py_UCS1 *text = static_cast<const Py_UCS1 *>(PyUnicode_DATA(s));
            if (clean_copy(p, text, n, table.also))
                p += n;
            else
                p = ascii_units(p, text, n, table);
            *p++ = quote;
            set_end(p);
            return true;
        }
        return put(quote) && escaped<kAsciiOnly>(s, table) && put(quote);
    }

    // A compact ASCII str of at most 32 characters that needs no escape,
    // quoted in blocks of 16.  Up to 16 characters, one block is checked,
    // read to end with the text: what it holds before the text is the str's
    // own header (at least 40 bytes), never memory beyond the object.  The
    // text is then copied by copy_upto16()'s overlapping moves, never by
    // reading back what was just written:
    // a wide load over the last narrow stores waits for them to retire, and
    // on a list of short strs that wait was more than half the time.
    // 1 when written, 0 on MemoryError, -1 for other text (and always
    // without SSE2).
    template <bool kInRoom = false>
    __attribute__((always_inline)) int quoted_short(PyObject *s, const EscapeTable &table,
                                                    char quote)
    {
        if (!kInRoom && !reserve(32 + 2))
            return 0;
        char *p = quoted_short_at(end(), s, table, quote);
        if (p == nullptr)
            return -1;
        set_end(p);
        return 1;
    }
    // The same at a cursor of the caller's, in room it has reserved: the
    // end of the text, or nullptr with nothing written.  A loop that keeps its
    // cursor in a register writes its items without storing the length
    // and reading it back for each (a wait of some cycles on each write).
    __attribute__((always_inline)) static char *quoted_short_at(char *p, PyObject *s,
                                                                const EscapeTable &table,
                                                                char quote)
    {
#if defined(QV_SCAN_SSE2)
        Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        if (n > 32 || !PyUnicode_IS_COMPACT_ASCII(s))
            return nullptr;
        const char *text = reinterpret_cast<const char *>(reinterpret_cast<PyASCIIObject *>(s) + 1);
        char *q = p;
        if (n > 16) {
            // 17 to 32 characters: two blocks within the text, overlapping.
            __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text));
            __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + n - 16));
            if ((care_mask(a, table.also) | care_mask(b, table.also)) != 0)
                return nullptr;
            *q++ = quote;
            _mm_storeu_si128(reinterpret_cast<__m128i *>(q), a);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(q + n - 16), b);
        } else {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + n - 16));
            if ((care_mask(v, table.also) >> (16 - n)) != 0)
                return nullptr;
            *q++ = quote;
            copy_upto16(q, text, n);
        }
        q += n;
        *q++ = quote;
        return q;
#else
        (void)p, (void)s, (void)table, (void)quote;
        return nullptr;
#endif
    }

    template <bool kAsciiOnly>
    bool escaped(PyObject *s, const EscapeTable &table)
    {
        Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND:
            return units<Py_UCS1, kAsciiOnly>(PyUnicode_1BYTE_DATA(s), n, table);
        case PyUnicode_2BYTE_KIND:
            return units<Py_UCS2, kAsciiOnly>(PyUnicode_2BYTE_DATA(s), n, table);
        default:
            return units<Py_UCS4, kAsciiOnly>(PyUnicode_4BYTE_DATA(s), n, table);
        }
    }

    // int.__repr__(i): values of 64 bits directly, others through the
    // interpreter (which also enforces its limit on digits).
    template <bool kInRoom = false>
    bool int_repr(PyObject *i)
    {
        if (!kInRoom && !reserve(24))
            return false;
        char *p = int_at(end(), i);
        if (p == nullptr)
            return int_repr_slow(i);
        set_end(p);
        return true;
    }
    // An int of one digit (the usual count or id) at the caller's cursor,
    // in room of 24 bytes it has reserved: the end of its digits, or
    // nullptr with nothing written for other ints.
    __attribute__((always_inline)) static char *int_at(char *p, PyObject *i)
    {
        if (!PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject *>(i)))
            return nullptr;
        return int_digits(p, PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject *>(i)));
    }
    static char *int_digits(char *p, long long v)
    {
        uint64_t m = v < 0 ? 0 - (uint64_t)v : (uint64_t)v;
        if (v < 0)
            *p++ = '-';
        p += count_digits(m);
        repr_detail::digits_backward(p, m);
        return p;
    }
    // Identifiers and times are often wider than one digit of an int but
    // fit in 64 bits; wider ones through the interpreter (which also
    // enforces its limit on digits).
    __attribute__((noinline)) bool int_repr_slow(PyObject *i)
    {
        int overflow;
        long long v = PyLong_AsLongLongAndOverflow(i, &overflow);
        if (overflow != 0)
            return int_repr_wide(i);
        if (v == -1 && PyErr_Occurred())
            return false;
        if (!reserve(24))
            return false;
        set_end(int_digits(end(), v));
        return true;
    }

    bool int_repr_wide(PyObject *i)
    {
        PyObject *text = PyLong_Type.tp_repr(i);
        if (text == nullptr)
            return false;
        bool ok = write(static_cast<const char *>(PyUnicode_DATA(text)), PyUnicode_GET_LENGTH(text));
        Py_DECREF(text);
        return ok;
    }

    bool float_repr(double d)
    {
        if (!reserve(kFloatReprRoom))
            return false;
        len_ += qv::float_repr(d, end());
        return true;
    }
    // The same with the digits' code inlined, for a writer's loop over
    // items that are mostly floats.
    template <bool kInRoom = false>
    __attribute__((always_inline)) bool float_repr_inlined(double d)
    {
        if (!kInRoom && !reserve(kFloatReprRoom))
            return false;
        len_ += qv::float_repr_inline(d, end());
        return true;
    }

    // The text as a str; the buffer is left empty.
    PyObject *take_str()
    {
        if (buf_ == nullptr)
            return PyUnicode_New(0, 127);
        if (high_) {
            PyObject *s = decoded();
            drop();
            return s;
        }
        if (len_ >= kCopiedFrom) {
            PyObject *s = PyUnicode_New(len_, 127);
            if (s)
                std::memcpy(PyUnicode_DATA(s), data_, (size_t)len_);
            drop();
            return s;
        }
        if (PyUnicode_Resize(&buf_, len_) < 0) {
            drop();
            return nullptr;
        }
        PyObject *s = buf_;
        buf_ = nullptr;
        drop();
        return s;
    }

    // The text as UTF-8 bytes (a lone surrogate cannot be encoded: the
    // interpreter's UnicodeEncodeError, as encoding the str would give).
    PyObject *take_bytes()
    {
        if (high_) {
            PyObject *s = take_str();
            if (s == nullptr)
                return nullptr;
            PyObject *b = PyUnicode_AsUTF8String(s);
            Py_DECREF(s);
            return b;
        }
        PyObject *b = PyBytes_FromStringAndSize(data_, len_);
        drop();
        return b;
    }

#if defined(QV_SCAN_SSE2)
    // 16 bytes (ASCII, or a 1-byte str's units) as 16 units of a str's
    // width.
    static void widen(Py_UCS1 *out, __m128i v)
    {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), v);
    }
    static void widen(Py_UCS2 *out, __m128i v)
    {
        __m128i zero = _mm_setzero_si128();
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_unpacklo_epi8(v, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 8), _mm_unpackhi_epi8(v, zero));
    }
    static void widen(Py_UCS4 *out, __m128i v)
    {
        __m128i zero = _mm_setzero_si128();
        __m128i lo = _mm_unpacklo_epi8(v, zero), hi = _mm_unpackhi_epi8(v, zero);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_unpacklo_epi16(lo, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 4), _mm_unpackhi_epi16(lo, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 8), _mm_unpacklo_epi16(hi, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 12), _mm_unpackhi_epi16(hi, zero));
    }
#endif

private:
    // The text as a str when bytes beyond ASCII were written.  The bytes
    // are UTF-8 of this writer's own making (a surrogate in its three-byte
    // form), so they need no checking: one pass measures the characters
    // and the widest of them from the lead bytes, one writes the str of
    // that width, its ASCII runs 16 bytes at a time.
    PyObject *decoded()
    {
        const auto *s = reinterpret_cast<const unsigned char *>(data_);
        Py_ssize_t follow = 0;  // continuation bytes
        unsigned lead = 0;      // the highest lead byte
        Py_ssize_t i = 0;
#if defined(QV_SCAN_SSE2)
        // Continuation bytes are the ones below -64 as signed bytes; the
        // highest byte of all is the highest lead when it is 0xC0 or more.
        // Counted per lane, and the lanes summed before any can pass 255.
        const __m128i zero = _mm_setzero_si128(), below = _mm_set1_epi8(-64);
        __m128i top = zero, lanes = zero, sums = zero;
        int rounds = 0;
        for (; len_ - i >= 16; i += 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
            top = _mm_max_epu8(top, v);
            lanes = _mm_sub_epi8(lanes, _mm_cmplt_epi8(v, below));
            if (++rounds == 255) {
                sums = _mm_add_epi64(sums, _mm_sad_epu8(lanes, zero));
                lanes = zero;
                rounds = 0;
            }
        }
        sums = _mm_add_epi64(sums, _mm_sad_epu8(lanes, zero));
        follow += _mm_cvtsi128_si64(sums) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums));
        alignas(16) unsigned char tops[16];
        _mm_store_si128(reinterpret_cast<__m128i *>(tops), top);
        for (unsigned char b : tops)
            if (b >= 0xC0 && b > lead)
                lead = b;
#endif
        for (; i < len_; i++)
            note_byte(s[i], &follow, &lead);
        // Lead bytes rise with the characters they start: from 0xC4 up
        // beyond Latin-1, from 0xF0 up beyond the BMP.  (None left at all
        // when what was written beyond ASCII was cut off again.)
        Py_UCS4 maxchar = lead >= 0xF0 ? 0x10FFFF : lead >= 0xC4 ? 0xFFFF : lead ? 0xFF : 0x7F;
        PyObject *out = PyUnicode_New(len_ - follow, maxchar);
        if (out == nullptr)
            return nullptr;
        switch (PyUnicode_KIND(out)) {
        case PyUnicode_1BYTE_KIND:
            decode_into(PyUnicode_1BYTE_DATA(out), s, len_);
            break;
        case PyUnicode_2BYTE_KIND:
            decode_into(PyUnicode_2BYTE_DATA(out), s, len_);
            break;
        default:
            decode_into(PyUnicode_4BYTE_DATA(out), s, len_);
        }
        return out;
    }

    static void note_byte(unsigned char b, Py_ssize_t *follow, unsigned *lead)
    {
        if ((b & 0xC0) == 0x80)
            ++*follow;
        else if (b > *lead)
            *lead = b;
    }

    template <typename Unit>
    static void decode_into(Unit *out, const unsigned char *s, Py_ssize_t n)
    {
        const unsigned char *e = s + n;
        while (s < e) {
#if defined(QV_SCAN_SSE2)
            // With 64 bytes left, 16 characters are left at least: the
            // units after an ASCII run may be stored and written over.
            if (e - s >= 64) {
                __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s));
                unsigned high = (unsigned)_mm_movemask_epi8(v);
                widen(out, v);
                int run = high ? __builtin_ctz(high) : 16;
                out += run;
                s += run;
                if (run == 16)
                    continue;
            }
#endif
            if (*s < 0x80) {
                *out++ = (Unit)*s++;
                continue;
            }
            // A run of characters beyond ASCII (text in another script)
            // without a look for an ASCII block after each.
            do {
                unsigned c = *s;
                if (c < 0xE0) {
                    *out++ = (Unit)(((c & 0x1F) << 6) | (s[1] & 0x3F));
                    s += 2;
                } else if (c < 0xF0) {
                    *out++ = (Unit)(((c & 0x0F) << 12) | ((s[1] & 0x3F) << 6) | (s[2] & 0x3F));
                    s += 3;
                } else {
                    *out++ = (Unit)(((c & 0x07) << 18) | ((s[1] & 0x3F) << 12) |
                                    ((s[2] & 0x3F) << 6) | (s[3] & 0x3F));
                    s += 4;
                }
            } while (s < e && *s >= 0x80);
        }
    }


    void drop()
    {
        Py_CLEAR(buf_);
        data_ = nullptr;
        len_ = cap_ = 0;
        high_ = false;
    }

    __attribute__((noinline)) bool grow(Py_ssize_t extra)
    {
        Py_ssize_t cap = grown_capacity(len_, cap_, extra, 1024, PY_SSIZE_T_MAX / 4);
        if (cap < 0)
            return false;
        if (buf_ == nullptr) {
            buf_ = PyUnicode_New(cap, 127);
            if (buf_ == nullptr)
                return false;
        } else if (PyUnicode_Resize(&buf_, cap) < 0) {
            data_ = nullptr;
            len_ = cap_ = 0;
            return false;
        }
        data_ = static_cast<char *>(PyUnicode_DATA(buf_));
        cap_ = cap;
        return true;
    }

    // Whether any of 8 bytes may need the table: a control, '"', '\\', the
    // table's extra byte, or a byte beyond ASCII.
    static bool word_needs_care(uint64_t w, uint64_t also)
    {
        constexpr uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
        auto zero_byte = [](uint64_t v) { return (v - ones) & ~v & highs; };
        uint64_t t = ((w - ones * 0x20) & ~w) | zero_byte(w ^ (ones * '"')) |
                     zero_byte(w ^ (ones * '\\')) | zero_byte(w ^ also) | w;
        return (t & highs) != 0;
    }

#if defined(QV_SCAN_SSE2)
    // The same for 16 bytes: a signed compare below ' ' takes the bytes
    // beyond ASCII as well.
    static unsigned care_mask(__m128i v, uint64_t also)
    {
        __m128i care = _mm_or_si128(
            _mm_or_si128(_mm_cmplt_epi8(v, _mm_set1_epi8(0x20)),
                         _mm_cmpeq_epi8(v, _mm_set1_epi8('"'))),
            _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\\')),
                         _mm_cmpeq_epi8(v, _mm_set1_epi8((char)also))));
        return (unsigned)_mm_movemask_epi8(care);
    }
    static bool block_needs_care(__m128i v, uint64_t also) { return care_mask(v, also) != 0; }
#endif

    static uint64_t load8(const Py_UCS1 *s)
    {
        uint64_t w;
        std::memcpy(&w, s, 8);
        return w;
    }

    // Short ASCII text that needs no escape, copied in a few moves: two
    // overlapping words cover a tail shorter than one.  False, with the
    // bytes at p unspecified, when some byte needs the table.
    static bool clean_copy(char *p, const Py_UCS1 *s, Py_ssize_t n, uint64_t also)
    {
#if defined(QV_SCAN_SSE2)
        if (n >= 16) {
            Py_ssize_t i = 0;
            for (; n - i >= 16; i += 16) {
                __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
                if (block_needs_care(v, also))
                    return false;
                _mm_storeu_si128(reinterpret_cast<__m128i *>(p + i), v);
            }
            if (i < n) {
                __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + n - 16));
                if (block_needs_care(v, also))
                    return false;
                _mm_storeu_si128(reinterpret_cast<__m128i *>(p + n - 16), v);
            }
            return true;
        }
#endif
        if (n >= 8) {
            Py_ssize_t i = 0;
            for (; n - i >= 8; i += 8) {
                uint64_t w = load8(s + i);
                if (word_needs_care(w, also))
                    return false;
                std::memcpy(p + i, &w, 8);
            }
            if (i < n) {
                uint64_t w = load8(s + n - 8);
                if (word_needs_care(w, also))
                    return false;
                std::memcpy(p + n - 8, &w, 8);
            }
            return true;
        }
        if (n >= 4) {
            uint32_t a, b;
            std::memcpy(&a, s, 4);
            std::memcpy(&b, s + n - 4, 4);
            if (word_needs_care(a | (uint64_t)b << 32, also))
                return false;
            std::memcpy(p, &a, 4);
            std::memcpy(p + n - 4, &b, 4);
            return true;
        }
        if (n == 0)
            return true;
        // One to three bytes: the first, middle and last, among spaces.
        uint64_t w = 0x2020202020000000ULL | s[0] | (uint64_t)s[n >> 1] << 8 |
                     (uint64_t)s[n - 1] << 16;
        if (word_needs_care(w, also))
            return false;
        p[0] = (char)s[0];
        p[n >> 1] = (char)s[n >> 1];
        p[n - 1] = (char)s[n - 1];
        return true;
    }

    static char *ascii_units(char *p, const Py_UCS1 *s, Py_ssize_t n, const EscapeTable &table)
    {
        Py_ssize_t i = 0;
        for (; n - i >= 8; i += 8) {
            uint64_t w;
            std::memcpy(&w, s + i, 8);
            if (word_needs_care(w, table.also))
                break;
            std::memcpy(p, &w, 8);
            p += 8;
        }
        for (; i < n; i++)
            p = ascii_unit(p, s[i], table);
        return p;
    }

    static char *ascii_unit(char *p, unsigned c, const EscapeTable &table)
    {
        uint8_t e = table.cls[c];
        if (e == 0) {
            *p++ = (char)c;
        } else if (e != 'u') {
            p[0] = '\\';
            p[1] = (char)e;
            p += 2;
        } else {
            std::memcpy(p, "\\u00", 4);
            p[4] = kHexLower[c >> 4];
            p[5] = kHexLower[c & 15];
            p += 6;
        }
        return p;
    }

    template <typename Unit, bool kAsciiOnly>
    bool units(const Unit *s, Py_ssize_t n, const EscapeTable &table)
    {
        // Worst case per character: a surrogate pair of \u escapes.
        constexpr Py_ssize_t kBlock = 4096, kWorst = kAsciiOnly ? 12 : 6;
        Py_ssize_t i = 0;
        while (i < n) {
            Py_ssize_t stop = n - i < kBlock ? n : i + kBlock;
            if (!reserve((stop - i) * kWorst))
                return false;
            char *p = end();
            while (i < stop) {
                if constexpr (sizeof(Unit) == 1) {
#if defined(QV_SCAN_SSE2)
                    if (stop - i >= 16) {
                        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
                        if (!block_needs_care(v, table.also)) {
                            _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v);
                            p += 16;
                            i += 16;
                            continue;
                        }
                    }
#endif
                    if (stop - i >= 8) {
                        uint64_t w;
                        std::memcpy(&w, s + i, 8);
                        if (!word_needs_care(w, table.also)) {
                            std::memcpy(p, &w, 8);
                            p += 8;
                            i += 8;
                            continue;
                        }
                    }
                }
#if defined(QV_SCAN_SSE2)
                if constexpr (sizeof(Unit) == 2 && !kAsciiOnly) {
                    // Eight units at a time: plain ASCII copied as bytes,
                    // or, with no ASCII among them that needs an escape,
                    // each as its UTF-8 without a branch on its length
                    // (text that switches scripts every few units).
                    if (stop - i >= 8) {
                        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
                        __m128i bytes = _mm_packus_epi16(v, v);
                        unsigned care = care_mask(bytes, table.also) & 0xFF;
                        if (care == 0) {
                            _mm_storel_epi64(reinterpret_cast<__m128i *>(p), bytes);
                            p += 8;
                            i += 8;
                            continue;
                        }
                        __m128i ascii = _mm_cmpeq_epi16(_mm_srli_epi16(v, 7), _mm_setzero_si128());
                        unsigned packed = (unsigned)_mm_movemask_epi8(_mm_packs_epi16(ascii, ascii)) & 0xFF;
                        if ((care & packed) == 0) {
                            p = eight_utf8(p, s + i);
                            high_ = true;
                            i += 8;
                            continue;
                        }
                    }
                }
                if constexpr (sizeof(Unit) == 2 && kAsciiOnly) {
                    // Eight units at a time: the plain ASCII ones in front
                    // copied as bytes, or those beyond ASCII in front (text
                    // in another script) written as their \u escapes, all
                    // eight made in registers and as many kept.
                    if (stop - i >= 8) {
                        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
                        __m128i bytes = _mm_packus_epi16(v, v);
                        unsigned care = care_mask(bytes, table.also) | 0x100;
                        if ((care & 1) == 0) {
                            int plain = __builtin_ctz(care);
                            _mm_storel_epi64(reinterpret_cast<__m128i *>(p), bytes);
                            p += plain;
                            i += plain;
                            continue;
                        }
                        __m128i ascii = _mm_cmpeq_epi16(_mm_srli_epi16(v, 7), _mm_setzero_si128());
                        unsigned ascii_bits = (unsigned)_mm_movemask_epi8(ascii);
                        unsigned beyond = __builtin_ctz(ascii_bits | 0x10000) / 2;
                        if (beyond == 8) {
                            eight_u_escapes(p, v);
                            p += 48;
                            i += 8;
                            continue;
                        }
                        // Both kinds, and no ASCII unit that needs an
                        // escape (its bit in care, which marks every unit
                        // beyond ASCII too): text that switches between
                        // scripts, whose runs are a few units long, takes
                        // all eight without a branch on each run's kind.
                        unsigned packed = (unsigned)_mm_movemask_epi8(_mm_packs_epi16(ascii, ascii)) & 0xFF;
                        if ((care & packed & 0xFF) == 0) {
                            p = mixed_u_escapes(p, s + i);
                            i += 8;
                            continue;
                        }
                        if (beyond > 0) {
                            eight_u_escapes(p, v);
                            p += 6 * beyond;
                            i += beyond;
                            continue;
                        }
                    }
                }
#endif
                Py_UCS4 c = s[i++];
                if (c < 0x80) {
                    p = ascii_unit(p, c, table);
                } else if constexpr (kAsciiOnly) {
                    if (c >= 0x10000) {
                        Py_UCS4 v = c - 0x10000;
                        p = u_escape(p, 0xD800 | (v >> 10));
                        c = 0xDC00 | (v & 0x3FF);
                    }
                    p = u_escape(p, c);
                } else {
                    high_ = true;
                    if (c < 0x800) {
                        p[0] = (char)(0xC0 | (c >> 6));
                        p[1] = (char)(0x80 | (c & 0x3F));
                        p += 2;
                    } else if (c < 0x10000) {
                        p[0] = (char)(0xE0 | (c >> 12));
                        p[1] = (char)(0x80 | ((c >> 6) & 0x3F));
                        p[2] = (char)(0x80 | (c & 0x3F));
                        p += 3;
                    } else {
                        p[0] = (char)(0xF0 | (c >> 18));
                        p[1] = (char)(0x80 | ((c >> 12) & 0x3F));
                        p[2] = (char)(0x80 | ((c >> 6) & 0x3F));
                        p[3] = (char)(0x80 | (c & 0x3F));
                        p += 4;
                    }
                }
            }
            set_end(p);
        }
        return true;
    }

#if defined(QV_SCAN_SSE2)
    // The \u escapes of the eight 16-bit units of v: 48 bytes at p, and
    // 2 more after them, stored 8 at a time (each store's last two bytes
    // are overwritten by the next; the room for all is within the worst
    // case of eight units).
    static void eight_u_escapes(char *p, __m128i v)
    {
        const __m128i zero = _mm_setzero_si128(), nibble = _mm_set1_epi32(0xF);
        auto four = [&](__m128i units) {
            // Per 32-bit lane the unit's four hex digits, the highest first.
            __m128i x = _mm_or_si128(
                _mm_or_si128(_mm_and_si128(_mm_srli_epi32(units, 12), nibble),
                             _mm_and_si128(units, _mm_set1_epi32(0xF00))),
                _mm_or_si128(_mm_and_si128(_mm_slli_epi32(units, 12), _mm_set1_epi32(0xF0000)),
                             _mm_and_si128(_mm_slli_epi32(units, 24), _mm_set1_epi32(0xF000000))));
            __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8(9)), _mm_set1_epi8(39));
            __m128i hex = _mm_add_epi8(_mm_add_epi8(x, _mm_set1_epi8('0')), letters);
            // Per 64-bit lane '\\', 'u' and the four digits.
            const __m128i prefix = _mm_set1_epi64x(0x755C);
            __m128i a = _mm_or_si128(_mm_slli_epi64(_mm_unpacklo_epi32(hex, zero), 16), prefix);
            __m128i b = _mm_or_si128(_mm_slli_epi64(_mm_unpackhi_epi32(hex, zero), 16), prefix);
            _mm_storel_epi64(reinterpret_cast<__m128i *>(p), a);
            _mm_storel_epi64(reinterpret_cast<__m128i *>(p + 6), _mm_unpackhi_epi64(a, a));
            _mm_storel_epi64(reinterpret_cast<__m128i *>(p + 12), b);
            _mm_storel_epi64(reinterpret_cast<__m128i *>(p + 18), _mm_unpackhi_epi64(b, b));
            p += 24;
        };
        four(_mm_unpacklo_epi16(v, zero));
        four(_mm_unpackhi_epi16(v, zero));
    }
#endif

    // Eight 16-bit units, those in ASCII as themselves and the others as
    // their \u escapes, each written as one 8-byte store that the next
    // overwrites from where this one's text ends.
    static char *mixed_u_escapes(char *p, const Py_UCS2 *s)
    {
        for (int k = 0; k < 8; k++) {
            unsigned c = s[k];
            uint16_t hi, lo;
            std::memcpy(&hi, kHexPairs.text + 2 * (c >> 8), 2);
            std::memcpy(&lo, kHexPairs.text + 2 * (c & 0xFF), 2);
            uint64_t escape = 0x755C | (uint64_t)hi << 16 | (uint64_t)lo << 32;
            bool plain = c < 0x80;
            uint64_t w = plain ? c : escape;
            std::memcpy(p, &w, 8);
            p += plain ? 1 : 6;
        }
        return p;
    }

    // Eight 16-bit units as UTF-8 (a lone surrogate in its three-byte
    // form, as the scalar loop writes it), each one 4-byte store that the
    // next overwrites from where this one's bytes end.
    static char *eight_utf8(char *p, const Py_UCS2 *s)
    {
        for (int k = 0; k < 8; k++) {
            uint32_t c = s[k];
            uint32_t two = (0xC0 | c >> 6) | (0x80 | (c & 0x3F)) << 8;
            uint32_t three = (0xE0 | c >> 12) | (0x80 | ((c >> 6) & 0x3F)) << 8 |
                             (0x80 | (c & 0x3F)) << 16;
            uint32_t w = c < 0x80 ? c : c < 0x800 ? two : three;
            std::memcpy(p, &w, 4);
            p += 1 + (c >= 0x80) + (c >= 0x800);
        }
        return p;
    }

    static char *u_escape(char *p, Py_UCS4 c)
    {
        p[0] = '\\';
        p[1] = 'u';
        std::memcpy(p + 2, kHexPairs.text + 2 * ((c >> 8) & 0xFF), 2);
        std::memcpy(p + 4, kHexPairs.text + 2 * (c & 0xFF), 2);
        return p + 6;
    }

    PyObject *buf_ = nullptr;  // a compact ASCII str of capacity cap_
    char *data_ = nullptr;
    Py_ssize_t len_ = 0;
    Py_ssize_t cap_ = 0;
    bool high_ = false;
};

}  // namespace qv
