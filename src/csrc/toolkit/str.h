// toolkit/str.h: the one way to make a str from UTF-8 bytes.
//
//   qv::StrMaker strs;                  // per call: owns a scratch buffer
//   PyObject *s = strs.make(p, n, high);  // new reference, or NULL + exception
//   PyObject *s = strs.make(p, n);        // the same, finding `high` itself
//   qv::StrMaker strs(text, len);         // the maker of one document's strs
//   qv::note_refused(text, from, to);     // see below
//   int k = qv::utf8_encode(out, cp);     // cp's UTF-8 bytes at out (room for 4)
//   if (!qv::append_utf8(buf, cp)) ...    // the same onto a qv::Buffer<char, N>
//   int b = qv::short_escape(letter, slash);  // the byte \letter stands for, or -1
//   qv::same_str(a, b)                  // two strs of the same characters
//
// `high` says whether any of the n bytes is >= 0x80 (readers learn it for
// free while scanning); ASCII is copied straight into the str.  Other text
// is checked and decoded once, into a str of its final width.  Bytes that
// are not strict UTF-8 (overlong forms, surrogates, anything beyond
// U+10FFFF, truncated sequences) go to the interpreter's strict decoder,
// which raises its UnicodeDecodeError for them: the result is always what
// bytes.decode("utf-8") gives.
//
// That error describes the bytes the decoder was given, a slice.  The
// package reports the place in the document instead, so the error also
// carries `doc_offset`, the document offset of the refused byte: a maker
// given the document records it for every str made from a run of that
// document; after a str built in a buffer from the document bytes
// text[from, to) and escapes is refused, note_refused(text, from, to)
// records it.
#pragma once

#include "buffer.h"
#include "compat.h"
#include "ref.h"

#include <cstdint>
#include <cstring>
#include <functional>

namespace qv {

// Writes the shortest UTF-8 form of the scalar value cp (at most U+10FFFF,
// checked by the caller) to out, which has room for four bytes; returns
// the number of bytes written.
inline int utf8_encode(char *out, unsigned cp)
{
    if (cp < 0x80) {
        out[0] = (char)cp;
        return 1;
    }
    if (cp < 0x800) {
        out[0] = (char)(0xC0 | (cp >> 6));
        out[1] = (char)(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = (char)(0xE0 | (cp >> 12));
        out[1] = (char)(0x80 | ((cp >> 6) & 0x3F));
        out[2] = (char)(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = (char)(0xF0 | (cp >> 18));
    out[1] = (char)(0x80 | ((cp >> 12) & 0x3F));
    out[2] = (char)(0x80 | ((cp >> 6) & 0x3F));
    out[3] = (char)(0x80 | (cp & 0x3F));
    return 4;
}

// Appends the UTF-8 bytes of cp to a byte buffer; false with MemoryError set.
template <Py_ssize_t N>
bool append_utf8(Buffer<char, N> &b, unsigned cp)
{
    if (!b.reserve(4))
        return false;
    b.set_size(b.size() + utf8_encode(b.end(), cp));
    return true;
}

// The byte that the escape \letter stands for, among the one-letter
// escapes the formats share: \b \t \n \f \r \" \\, and \/ when `slash`
// (JSON has it, TOML not); -1 for any other letter.
inline int short_escape(char letter, bool slash)
{
    switch (letter) {
    case 'b': return '\b';
    case 't': return '\t';
    case 'n': return '\n';
    case 'f': return '\f';
    case 'r': return '\r';
    case '"': return '"';
    case '\\': return '\\';
    case '/': return slash ? '/' : -1;
    default: return -1;
    }
}

// Whether n bytes end inside a character: a lead byte without all of its
// continuation bytes.  Bytes joined to others later (a TOML line-ending
// backslash drops what lies between) must not be completed by them.
inline bool utf8_cut_at_end(const char *s, Py_ssize_t n)
{
    for (Py_ssize_t k = 1; k <= 3 && k <= n; k++) {
        unsigned c = (unsigned char)s[n - k];
        if ((c & 0xC0) == 0x80)
            continue;
        Py_ssize_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        return need > k;
    }
    return false;
}

// Whether any of n bytes is >= 0x80.
inline bool any_high(const char *s, Py_ssize_t n)
{
    uint64_t acc = 0;
    Py_ssize_t i = 0;
    for (; n - i >= 8; i += 8) {
        uint64_t w;
        std::memcpy(&w, s + i, 8);
        acc |= w;
    }
    for (; i < n; i++)
        acc |= (unsigned char)s[i];
    return (acc & 0x8080808080808080ULL) != 0;
}

// Length in code points of n bytes of UTF-8, or -1 when they are not
// strict UTF-8.
inline Py_ssize_t utf8_measure(const unsigned char *s, Py_ssize_t n)
{
    Py_ssize_t i = 0, count = 0;
    while (i < n) {
        if (n - i >= 8) {
            uint64_t v;
            std::memcpy(&v, s + i, 8);
            if (!(v & 0x8080808080808080ULL)) {
                i += 8;
                count += 8;
                continue;
            }
        }
        unsigned c = s[i];
        if (c < 0x80) {
            i++;
        } else if (c < 0xC2) {
            return -1;
        } else if (c < 0xE0) {
            if (n - i < 2 || (s[i + 1] & 0xC0) != 0x80)
                return -1;
            i += 2;
        } else if (c < 0xF0) {
            if (n - i < 3 || (s[i + 1] & 0xC0) != 0x80 || (s[i + 2] & 0xC0) != 0x80)
                return -1;
            if ((c == 0xE0 && s[i + 1] < 0xA0) || (c == 0xED && s[i + 1] > 0x9F))
                return -1;  // overlong, or a surrogate
            i += 3;
        } else if (c < 0xF5) {
            if (n - i < 4 || (s[i + 1] & 0xC0) != 0x80 || (s[i + 2] & 0xC0) != 0x80 ||
                (s[i + 3] & 0xC0) != 0x80)
                return -1;
            if ((c == 0xF0 && s[i + 1] < 0x90) || (c == 0xF4 && s[i + 1] > 0x8F))
                return -1;  // overlong, or beyond U+10FFFF
            i += 4;
        } else {
            return -1;
        }
        count++;
    }
    return count;
}

// Decodes n bytes of UTF-8 already checked by utf8_measure.
template <typename Unit>
void utf8_decode(const unsigned char *s, Py_ssize_t n, Unit *out)
{
    Py_ssize_t i = 0;
    while (i < n) {
        unsigned c = s[i];
        if (c < 0x80) {
            *out++ = (Unit)c;
            i++;
        } else if (c < 0xE0) {
            *out++ = (Unit)(((c & 0x1F) << 6) | (s[i + 1] & 0x3F));
            i += 2;
        } else if (c < 0xF0) {
            *out++ = (Unit)(((c & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F));
            i += 3;
        } else {
            *out++ = (Unit)(((c & 0x07) << 18) | ((s[i + 1] & 0x3F) << 12) |
                            ((s[i + 2] & 0x3F) << 6) | (s[i + 3] & 0x3F));
            i += 4;
        }
    }
}

// Four or eight bytes loaded as a word, the first in the lowest byte on any
// machine.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr bool kBigEndian = true;
#else
constexpr bool kBigEndian = false;
#endif
inline uint32_t le32(uint32_t x) { return kBigEndian ? __builtin_bswap32(x) : x; }
inline uint64_t le64(uint64_t x) { return kBigEndian ? __builtin_bswap64(x) : x; }

// The code point of a three-byte sequence in the low three bytes of a word
// (as le32 loads it), its lead and continuation bytes already checked; and
// whether it is one (neither overlong nor a surrogate).
inline unsigned ucs2_of_three(uint32_t x)
{
    return ((x & 0x0Fu) << 12) | ((x & 0x3F00u) >> 2) | ((x >> 16) & 0x3Fu);
}
inline bool ucs2_of_three_ok(unsigned cp) { return cp >= 0x800 && cp - 0xD800 >= 0x800; }

// Decodes n bytes of strict UTF-8 into 16-bit units at out (room for n),
// checking as it goes.  Returns the number of units, with *maxchar the
// largest class (0x7F, 0xFF or 0xFFFF); -1 for bytes that are not strict
// UTF-8; -2 at the first code point beyond 16 bits.
inline Py_ssize_t utf8_decode_ucs2(const unsigned char *s, Py_ssize_t n, uint16_t *out,
                                   Py_UCS4 *maxchar)
{
    Py_ssize_t i = 0, count = 0;
    unsigned max = 0x7F;
    while (i < n) {
        unsigned c = s[i];
        if (c < 0x80) {
            // A run of ASCII (an address, a name) within the text: widened
            // eight bytes at a time, the rest of the run byte by byte.
            while (n - i >= 8) {
                uint64_t w;
                std::memcpy(&w, s + i, 8);
                if (w & 0x8080808080808080ULL)
                    break;
                for (int k = 0; k < 8; k++)
                    out[count + k] = s[i + k];
                count += 8;
                i += 8;
            }
            while (i < n && s[i] < 0x80)
                out[count++] = s[i++];
            continue;
        }
        if (c >= 0xE0 && c < 0xF0) {
            // Text of three-byte characters (the scripts of East Asia) has
            // them one after another: two at a time are checked and decoded
            // from one 8-byte word, then each from one 4-byte word, as long
            // as a word fits.
            constexpr uint64_t kTwoMask = 0xC0C0F0C0C0F0ull, kTwo = 0x8080E08080E0ull;
            while (n - i >= 8) {
                uint64_t x;
                std::memcpy(&x, s + i, 8);
                x = le64(x);
                if ((x & kTwoMask) != kTwo)
                    break;  // not two lead bytes E0-EF, each with two continuations
                unsigned a = ucs2_of_three((uint32_t)x), b = ucs2_of_three((uint32_t)(x >> 24));
                if (!ucs2_of_three_ok(a) | !ucs2_of_three_ok(b))
                    return -1;  // overlong, or a surrogate
                out[count] = (uint16_t)a;
                out[count + 1] = (uint16_t)b;
                count += 2;
                max = 0xFFFF;
                i += 6;
            }
            while (n - i >= 4) {
                uint32_t x;
                std::memcpy(&x, s + i, 4);
                x = le32(x);
                if ((x & 0xC0C0F0u) != 0x8080E0u)
                    break;  // not a lead byte E0-EF with two continuations
                unsigned cp = ucs2_of_three(x);
                if (!ucs2_of_three_ok(cp))
                    return -1;  // overlong, or a surrogate
                out[count++] = (uint16_t)cp;
                max = 0xFFFF;
                i += 3;
            }
            if (i >= n)
                break;
            c = s[i];
            if (c < 0xE0 || c >= 0xF0)
                continue;
            if (n - i < 3)
                return -1;
            unsigned c1 = s[i + 1], c2 = s[i + 2];
            if ((c1 & 0xC0) != 0x80 || (c2 & 0xC0) != 0x80 || (c == 0xE0 && c1 < 0xA0) ||
                (c == 0xED && c1 > 0x9F))
                return -1;  // not a continuation, overlong, or a surrogate
            out[count++] = (uint16_t)(((c & 0x0F) << 12) | ((c1 & 0x3F) << 6) | (c2 & 0x3F));
            max = 0xFFFF;
            i += 3;
            continue;
        }
        if (c >= 0xC2 && c < 0xE0) {
            if (n - i < 2 || (s[i + 1] & 0xC0) != 0x80)
                return -1;
            unsigned cp = ((c & 0x1F) << 6) | (s[i + 1] & 0x3F);
            out[count++] = (uint16_t)cp;
            if (cp > max)
                max = cp > 0xFF ? 0xFFFF : 0xFF;
            i += 2;
            continue;
        }
        if (c >= 0xF0 && c < 0xF5)
            return -2;
        return -1;
    }
    *maxchar = max;
    return count;
}

// The interpreter's strict decoder: raises its UnicodeDecodeError for
// bytes that are not UTF-8.
inline PyObject *str_from_utf8_strict(const char *s, Py_ssize_t n)
{
    return PyUnicode_DecodeUTF8(s, n, "strict");
}

// With a UnicodeDecodeError pending for a str made from the document bytes
// text[from, to), or from a buffer built of them and of escapes: sets its
// doc_offset (see the top of this file).  Escapes only ever add whole
// characters, so the first byte the decoder refuses in text[from, to) is
// the byte the str was refused for.  The exception keeps its type and text.
// Any other pending error is left as it is; should recording fail, that
// MemoryError is what is raised.
inline void note_refused(const char *text, Py_ssize_t from, Py_ssize_t to)
{
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError))
        return;
    Ref exc(PyErr_GetRaisedException());
    Py_ssize_t offset = from;
    Ref probe(str_from_utf8_strict(text + from, to - from));
    if (!probe) {
        Ref again(PyErr_GetRaisedException());
        Py_ssize_t start;
        if (PyUnicodeDecodeError_GetStart(again.get(), &start) == 0)
            offset = from + start;
        PyErr_Clear();
    }
    Ref value(PyLong_FromSsize_t(offset));
    if (value && PyObject_SetAttrString(exc.get(), "doc_offset", value.get()) == 0)
        PyErr_SetRaisedException(exc.release());
}

// Whether two strs hold the same characters (compact strs compare by
// width, then by their data).
inline bool same_str(PyObject *a, PyObject *b)
{
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    int kind = PyUnicode_KIND(a);
    return n == PyUnicode_GET_LENGTH(b) && kind == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), (size_t)n * (size_t)kind) == 0;
}

// A str of the n ASCII bytes at s (n > 0): a compact ASCII str, laid out
// as PyUnicode_New lays one out (its head, the bytes, a NUL, in one block
// of the object allocator), without the checks of width and size that
// PyUnicode_New makes of every str (a third of its cost for a short key).
// Where the layout is not known, PyUnicode_New itself.
inline PyObject *ascii_str(const char *s, Py_ssize_t n)
{
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
    if (n > PY_SSIZE_T_MAX - (Py_ssize_t)sizeof(PyASCIIObject) - 1)
        return PyErr_NoMemory();
    auto *str = static_cast<PyASCIIObject *>(PyObject_Malloc(sizeof(PyASCIIObject) + (size_t)n + 1));
    if (str == nullptr)
        return PyErr_NoMemory();
    PyObject_Init(reinterpret_cast<PyObject *>(str), &PyUnicode_Type);
    str->length = n;
    str->hash = -1;
    str->state.interned = 0;
    str->state.kind = PyUnicode_1BYTE_KIND;
    str->state.compact = 1;
    str->state.ascii = 1;
#if PY_VERSION_HEX >= 0x030C0000
    str->state.statically_allocated = 0;
#else
    str->state.ready = 1;
    str->wstr = nullptr;
#endif
    char *data = reinterpret_cast<char *>(str + 1);
    copy_short(data, s, n);
    data[n] = '\0';
    return reinterpret_cast<PyObject *>(str);
#else
    PyObject *str = PyUnicode_New(n, 127);
    if (str)
        copy_short(static_cast<char *>(PyUnicode_DATA(str)), s, n);
    return str;
#endif
}

class StrMaker {
public:
    StrMaker() noexcept = default;
    StrMaker(const char *doc, Py_ssize_t doc_len) noexcept : doc_(doc), doc_end_(doc + doc_len) {}
    StrMaker(const StrMaker &) = delete;
    StrMaker &operator=(const StrMaker &) = delete;

    PyObject *make(const char *s, Py_ssize_t n, bool high)
    {
        if (!high)
            return n ? ascii_str(s, n) : PyUnicode_New(0, 127);  // the one empty str
        return make_wide(s, n);
    }
    PyObject *make(const char *s, Py_ssize_t n) { return make(s, n, any_high(s, n)); }

private:
    // Text that is not ASCII is decoded once into 16-bit units in the
    // scratch buffer and copied into a str of its final size and width;
    // text beyond 16 bits is measured and decoded straight into the str.
    __attribute__((noinline)) PyObject *make_wide(const char *s, Py_ssize_t n)
    {
        auto u = reinterpret_cast<const unsigned char *>(s);
        units_.clear();
        if (!units_.reserve(n < 256 ? 256 : n))
            return nullptr;
        Py_UCS4 maxchar;
        Py_ssize_t count = utf8_decode_ucs2(u, n, units_.data(), &maxchar);
        if (count >= 0) {
            PyObject *str = PyUnicode_New(count, maxchar);
            if (!str)
                return nullptr;
            if (PyUnicode_KIND(str) == PyUnicode_2BYTE_KIND) {
                std::memcpy(PyUnicode_2BYTE_DATA(str), units_.data(), (size_t)count * 2);
            } else {
                Py_UCS1 *out = PyUnicode_1BYTE_DATA(str);
                for (Py_ssize_t i = 0; i < count; i++)
                    out[i] = (Py_UCS1)units_[i];
            }
            return str;
        }
        if (count == -2)
            count = utf8_measure(u, n);
        if (count < 0)
            return refuse(s, n);
        PyObject *str = PyUnicode_New(count, 0x10FFFF);
        if (str)
            utf8_decode(u, n, PyUnicode_4BYTE_DATA(str));
        return str;
    }

    // The decoder raises its error; for a run of the document, the error
    // also tells where in the document.
    PyObject *refuse(const char *s, Py_ssize_t n)
    {
        PyObject *str = str_from_utf8_strict(s, n);
        std::less_equal<const char *> within;
        if (str == nullptr && doc_ != nullptr && within(doc_, s) && within(s + n, doc_end_))
            note_refused(doc_, s - doc_, s - doc_ + n);
        return str;
    }

    Buffer<uint16_t, 0> units_;
    const char *doc_ = nullptr;
    const char *doc_end_ = nullptr;
};

}  // namespace qv
