// toolkit/toml_lex.h: the lexing that both TOML readers share, the dialect
// (parser_toml.cpp) and the standard reader (std/toml.cpp).  Where they
// read a piece differently, the piece takes the difference as a parameter.
//
//   qv::toml::is_bare_char(c)                  // may stand in a bare key
//   pos = qv::toml::skip_bare_key(t, pos, len) // past a bare key's bytes
//   n = qv::toml::line_end_at(t, pos, len)     // 1 for LF, 2 for CRLF, else 0
//   pos = qv::toml::skip_line_continuation(t, pos, len, rules)
//       // pos just after a backslash: where the string goes on when the
//       // backslash ends its line, else -1
//   qv::toml::Escape e = qv::toml::hex_escape(t, pos, len, digits, &cp)
//       // the digits of \x, \u or \U at pos: Ok, BadDigits or NotScalar
//   int base = qv::toml::radix_of(c, upper_too)  // 16, 8, 2 after a '0', else 0
//   qv::toml::Digits d = qv::toml::digit_run(t, pos, len, base)
//       // digits with single underscores between them: d.end, d.fault
//
// Strings share toolkit/scan.h's scan_plain_run and toolkit/str.h's escapes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "number.h"

namespace qv::toml {

// ---------------------------------------------------------------------------
// Character classes

enum : unsigned char {
    kClassBare = 1,   // A-Z a-z 0-9 - _
    kClassBlank = 2,  // space, tab
    kClassSpace = 4,  // space, tab, line feed, carriage return
};

struct CharClasses {
    unsigned char c[256];
    constexpr CharClasses() : c()
    {
        for (int i = 0; i < 256; i++) {
            unsigned char v = 0;
            if ((i >= 'A' && i <= 'Z') || (i >= 'a' && i <= 'z') || (i >= '0' && i <= '9') ||
                i == '-' || i == '_')
                v |= kClassBare;
            if (i == ' ' || i == '\t')
                v |= kClassBlank | kClassSpace;
            if (i == '\n' || i == '\r')
                v |= kClassSpace;
            c[i] = v;
        }
    }
};

inline constexpr CharClasses kClasses;

inline bool has_class(char c, unsigned char cls) { return (kClasses.c[(unsigned char)c] & cls) != 0; }
inline bool is_bare_char(char c) { return has_class(c, kClassBare); }
inline bool is_blank(char c) { return has_class(c, kClassBlank); }

inline Py_ssize_t skip_bare_key(const char *t, Py_ssize_t pos, Py_ssize_t len)
{
    while (pos < len && is_bare_char(t[pos]))
        pos++;
    return pos;
}

// ---------------------------------------------------------------------------
// Line ends and the line-ending backslash

inline int line_end_at(const char *t, Py_ssize_t pos, Py_ssize_t len)
{
    if (pos < len && t[pos] == '\n')
        return 1;
    if (pos + 1 < len && t[pos] == '\r' && t[pos + 1] == '\n')
        return 2;
    return 0;
}

// How a backslash ends a line of a multi-line basic string.  The dialect
// takes the line end straight after the backslash, a lone CR included, and
// then drops every space, tab, CR and LF; the standard reader lets blanks
// stand before the line end, takes only LF and CRLF, and a lone CR ends
// what it drops.
struct ContinuationRules {
    bool blanks_before;  // spaces and tabs may stand between '\' and the line end
    bool lone_cr;        // a CR without LF counts as a line end
};

inline Py_ssize_t skip_line_continuation(const char *t, Py_ssize_t pos, Py_ssize_t len,
                                         ContinuationRules rules)
{
    if (rules.blanks_before) {
        while (pos < len && is_blank(t[pos]))
            pos++;
    }
    int n = line_end_at(t, pos, len);
    if (n == 0 && rules.lone_cr && pos < len && t[pos] == '\r')
        n = 1;
    if (n == 0)
        return -1;
    pos += n;
    for (;;) {
        if (pos < len && is_blank(t[pos]))
            pos++;
        else if ((n = line_end_at(t, pos, len)) != 0)
            pos += n;
        else if (rules.lone_cr && pos < len && t[pos] == '\r')
            pos++;
        else
            return pos;
    }
}

// ---------------------------------------------------------------------------
// Escapes by code point

enum class Escape { Ok, BadDigits, NotScalar };

// The bound is the whole text: a closing quote among the digits is read as
// a digit and fails the hex test.
inline Escape hex_escape(const char *t, Py_ssize_t pos, Py_ssize_t len, int digits, uint32_t *cp)
{
    int64_t v = digits <= len - pos ? hex_value(t + pos, digits) : -1;
    if (v < 0)
        return Escape::BadDigits;
    if ((v >= 0xD800 && v <= 0xDFFF) || v > 0x10FFFF)
        return Escape::NotScalar;
    *cp = (uint32_t)v;
    return Escape::Ok;
}

// ---------------------------------------------------------------------------
// Integers in four bases

// The base a prefix letter after a '0' names (the standard reader takes
// lowercase letters only), or 0.
inline int radix_of(char c, bool upper_too)
{
    if (upper_too && c >= 'A' && c <= 'Z')
        c = (char)(c - 'A' + 'a');
    return c == 'x' ? 16 : c == 'o' ? 8 : c == 'b' ? 2 : 0;
}

enum class DigitFault {
    None,        // a sound run, ending at the first byte that is neither
    NoDigit,     // no digit where the run begins
    Underscore,  // an '_' that does not stand between two digits
};

struct Digits {
    Py_ssize_t end;  // the end of the run, or where the fault is
    DigitFault fault;
};

// Decimal runs, the common case, take the plain digit test.
inline bool is_digit_of(char c, int base)
{
    return base == 10 ? is_digit(c) : digit_value(c, base) >= 0;
}

inline Digits digit_run(const char *t, Py_ssize_t pos, Py_ssize_t len, int base)
{
    if (pos >= len || !is_digit_of(t[pos], base))
        return {pos, pos < len && t[pos] == '_' ? DigitFault::Underscore : DigitFault::NoDigit};
    pos++;
    for (;;) {
        if (pos < len && is_digit_of(t[pos], base)) {
            pos++;
        } else if (pos < len && t[pos] == '_') {
            if (pos + 1 >= len || !is_digit_of(t[pos + 1], base))
                return {pos, DigitFault::Underscore};
            pos += 2;
        } else {
            return {pos, DigitFault::None};
        }
    }
}

}  // namespace qv::toml
