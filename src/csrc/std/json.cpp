// The JSON family: JSON as the standard library's json reads it, JSON with
// comments, and JSON5, by one recursive-descent reader in one forward pass
// over UTF-8 text.  What each dialect adds is an option bit (see Flag);
// the hot loops (white space, plain string runs, digits) are the same for
// all of them and test an option only where a byte that the plain JSON
// grammar refuses turns up.
//
// Two conventions for errors:
//   - the json face (F_PYTHON): json's own messages, at json's own places,
//     counted in characters, raised as the caller's error class
//     error(msg, doc, pos); nesting is bounded by the interpreter's
//     recursion limit, as json bounds it;
//   - the other faces: ValueError(message, byte offset), as every reader
//     of the companion module raises it, and a nesting limit of 512.
//
// Hooks (object_hook, object_pairs_hook, parse_float, parse_int,
// parse_constant) are looked at only where the value they replace is
// read: without them the tree is built natively.
//
// Asked for spans (F_SPANS, never with hooks or the json face), a reading
// of its own records where each value and key was written as it builds
// the tree; a reading without them compiles no trace of the records.
#include "std.h"
#include "toolkit/toolkit.h"

#include <climits>
#include <cstdint>
#include <cstring>

namespace {

using qv::Ref;

enum Flag : unsigned {
    F_COMMENTS = 1,         // // and /* */ wherever white space may stand
    F_TRAILING_COMMAS = 2,  // one comma before ] and }
    F_JSON5 = 4,            // every lexeme of JSON5
    F_NONFINITE = 8,        // NaN, Infinity and -Infinity
    F_LONE_SURROGATES = 16, // a \u escape of a surrogate without its pair is kept
    F_CONTROL = 32,         // control characters in strings
    F_PYTHON = 64,          // json's messages, places and recursion limit
    F_SPANS = 128,          // (value, span records): see toolkit/spans.h
    F_ALL = 255,
};

constexpr int kMaxDepth = 512;

// ---------------------------------------------------------------------------
// Errors

enum Err {
    E_VALUE,           // no value where one must stand
    E_EXTRA,           // something after the document's value
    E_ARRAY_COMMA,     // neither ',' nor ']' after an element
    E_OBJECT_COMMA,    // neither ',' nor '}' after a member
    E_ARRAY_TRAILING,  // a comma before ']'
    E_OBJECT_TRAILING, // a comma before '}'
    E_KEY,             // no key where a member must start
    E_COLON,           // no ':' after a key
    E_STRING,          // the string never ends (reported at its quote)
    E_CONTROL,         // a control character in a string
    E_ESCAPE,          // a backslash and a letter that are no escape
    E_U_ESCAPE,        // \u without four hex digits
    E_X_ESCAPE,        // \x without two hex digits
    E_SURROGATE,       // a surrogate escape without its pair
    E_COMMENT,         // the comment never ends (reported at its start)
    E_DEPTH,           // nested deeper than kMaxDepth
    E_NUMBER,          // a number the interpreter will not convert, or a bad hex one
    E_IDENT,           // a key's character that may not stand in a name
    E_UTF8,            // bytes that are not UTF-8 where a name or space is read
    E_COUNT,
};

// json's texts; the places are json's too (see the callers).
constexpr const char *kPythonMessages[E_COUNT] = {
    "Expecting value",
    "Extra data",
    "Expecting ',' delimiter",
    "Expecting ',' delimiter",
    "Illegal trailing comma before end of array",
    "Illegal trailing comma before end of object",
    "Expecting property name enclosed in double quotes",
    "Expecting ':' delimiter",
    "Unterminated string starting at",
    "Invalid control character at",
    "Invalid \\escape",
    "Invalid \\uXXXX escape",
    "Invalid \\escape",
    "Invalid \\uXXXX escape",
    "Unterminated comment starting at",
    "Maximum nesting depth exceeded",
    "Invalid number",
    "Invalid name character",
    "Invalid UTF-8",
};

constexpr const char *kMessages[E_COUNT] = {
    "expected a value",
    "trailing characters after the value",
    "expected ',' or ']' in array",
    "expected ',' or '}' in object",
    "trailing comma in array",
    "trailing comma in object",
    "expected a key in object",
    "expected ':' after object key",
    "unterminated string",
    "unescaped control character in string",
    "invalid escape character",
    "invalid \\u escape",
    "invalid \\x escape",
    "unpaired surrogate in \\u escape",
    "unterminated comment",
    "max depth exceeded",
    "invalid number",
    "invalid character in key",
    "invalid UTF-8",
};

// Byte classes.
constexpr unsigned char C_WS = 1;     // space, tab, line feed, carriage return
constexpr unsigned char C_WS5 = 2;    // more white space of JSON5: VT, FF, and
                                      // the lead bytes of the wide spaces
constexpr unsigned char C_SLASH = 4;  // a comment may start
constexpr unsigned char C_STOP = 8;   // ends a plain run of a double-quoted string
constexpr unsigned char C_NAME = 16;  // ASCII that may stand in a JSON5 name
constexpr unsigned char C_NAME_START = 32;

constexpr struct ClassTable {
    unsigned char c[256];
    constexpr ClassTable() : c()
    {
        c[' '] = c['\t'] = c['\n'] = c['\r'] = C_WS;
        c[0x0B] = c[0x0C] = C_WS5;
        // U+00A0; U+1680; U+2000-U+200A, U+2028, U+2029, U+202F, U+205F;
        // U+3000; U+FEFF.
        c[0xC2] = c[0xE1] = c[0xE2] = c[0xE3] = c[0xEF] = C_WS5;
        c['/'] = C_SLASH;
        for (int i = 0; i < 0x20; i++)
            c[i] |= C_STOP;
        c['"'] |= C_STOP;
        c['\\'] |= C_STOP;
        for (int i = 'a'; i <= 'z'; i++)
            c[i] |= C_NAME | C_NAME_START;
        for (int i = 'A'; i <= 'Z'; i++)
            c[i] |= C_NAME | C_NAME_START;
        for (int i = '0'; i <= '9'; i++)
            c[i] |= C_NAME;
        c['$'] |= C_NAME | C_NAME_START;
        c['_'] |= C_NAME | C_NAME_START;
    }
} kClass;

inline unsigned char cls(char c) { return kClass.c[(unsigned char)c]; }

// The items of the arrays being read, owned until their list takes them.
// The first 64 live in the context: most configuration files then
// allocate nothing for them (the allocation and its release were about a
// tenth of the reading of a file of a few hundred bytes).
using Items = qv::RefStackOf<64>;

// Ext: whether the options that change what plain JSON means (comments,
// trailing commas, JSON5) may be set; plain JSON, the most read, has them
// compiled out of its hot loops.  Spans: whether span records are made.
template <bool Ext, bool Spans = false>
class Ctx : public qv::Cursor<qv::OffsetError> {
public:
    Ctx(const char *text, Py_ssize_t len, unsigned flags_) : Cursor(text, len), flags(flags_)
    {
        skip_mask = C_WS;
        if (flags & (F_COMMENTS | F_JSON5))
            skip_mask |= C_SLASH;
        if (flags & F_JSON5)
            skip_mask |= C_WS5;
    }

    static constexpr bool kExt = Ext;
    static constexpr bool kSpans = Spans;
    const unsigned flags;
    unsigned char skip_mask;
    bool python() const { return !Spans && (flags & F_PYTHON); }
    bool json5() const { return Ext && (flags & F_JSON5); }
    bool comments() const { return Ext && (flags & (F_COMMENTS | F_JSON5)); }
    // The bytes that may start white space or a comment.
    unsigned char blanks() const { return Ext ? skip_mask : C_WS; }

    // The document as the caller gave it (a str, or bytes of UTF-8 text).
    PyObject *doc = nullptr;
    bool doc_is_str = true;
    // Set when a str was refused as UTF-8 that surrogatepass does not read
    // either: bytes given as the document that are not UTF-8.
    bool refused_utf8 = false;
    PyObject *error = nullptr;  // the json face's error class
    PyObject *object_hook = nullptr;
    PyObject *pairs_hook = nullptr;
    PyObject *parse_float = nullptr;
    PyObject *parse_int = nullptr;
    PyObject *parse_constant = nullptr;
    Ref unicodedata_category;  // fetched for the first name beyond ASCII

    int depth = 0;  // arrays and objects open
    // The json face: levels of the interpreter's recursion count entered
    // (see enter_python), whether they are entered ahead, and the count of
    // them after which the interpreter refused one.
    int entered = 0;
    bool levels_ahead = false;
    int refused_at = INT_MAX;
    qv::Buffer<char, 256> sbuf;
    qv::StrMaker strs;
    Items items;
    qv::KeyCache keys;
    // The tables of the objects read so far, for the objects with their
    // keys (the native tree only: not with spans or hooks).
    qv::DictShapes shapes;
    // With spans: the records, and the record of the value being read (an
    // array or object takes it as the parent of its items).
    qv::SpanTable *spans = nullptr;
    uint32_t span = 0;

    // Raises the error `kind` at byte offset `at`.
    __attribute__((cold, noinline)) qv::Failure fail(Err kind, Py_ssize_t at)
    {
        pos = at;
        if (!python()) {
            const char *msg = kMessages[kind];
            if (at >= len && (kind == E_VALUE || kind == E_ARRAY_COMMA ||
                              kind == E_OBJECT_COMMA || kind == E_KEY || kind == E_COLON))
                msg = "unexpected end of input";
            else if (kind == E_KEY && !json5())
                msg = "expected string key in object";
            qv::OffsetError::raise(text, at, msg);
            return {};
        }
        raise_python(kPythonMessages[kind], at);
        return {};
    }

private:
    void raise_python(const char *msg, Py_ssize_t at)
    {
        // Places count characters: the bytes that do not continue one.
        Py_ssize_t chars = 0;
        for (Py_ssize_t i = 0; i < at && i < len; i++)
            chars += ((unsigned char)text[i] & 0xC0) != 0x80;
        Ref doc_str;
        if (doc_is_str) {
            doc_str.reset(Py_NewRef(doc));
        } else {
            // json decodes bytes before it reads them; bytes it cannot
            // decode raise the decoder's error, not a document error.
            doc_str.reset(PyUnicode_DecodeUTF8(text, len, "surrogatepass"));
            if (!doc_str)
                return;
        }
        Ref exc(PyObject_CallFunction(error, "sOn", msg, doc_str.get(), chars));
        if (exc)
            PyErr_SetObject((PyObject *)Py_TYPE(exc.get()), exc.get());
    }
};

// ---------------------------------------------------------------------------
// White space and comments

// The length of the JSON5 white space or line end beyond ASCII at pos, or 0.
template <class C>
Py_ssize_t wide_space(const C *ctx, Py_ssize_t pos, bool line_ends_only)
{
    const unsigned char *u = reinterpret_cast<const unsigned char *>(ctx->text) + pos;
    Py_ssize_t left = ctx->len - pos;
    if (left >= 3 && u[0] == 0xE2 && u[1] == 0x80 && (u[2] == 0xA8 || u[2] == 0xA9))
        return 3;  // U+2028, U+2029: line ends
    if (line_ends_only)
        return 0;
    if (left >= 2 && u[0] == 0xC2 && u[1] == 0xA0)
        return 2;
    if (left < 3)
        return 0;
    unsigned cp = ((u[0] & 0x0F) << 12) | ((u[1] & 0x3F) << 6) | (u[2] & 0x3F);
    if ((u[0] & 0xF0) != 0xE0 || (u[1] & 0xC0) != 0x80 || (u[2] & 0xC0) != 0x80)
        return 0;
    bool space = cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x202F ||
                 cp == 0x205F || cp == 0x3000 || cp == 0xFEFF;
    return space ? 3 : 0;
}

// Comments and the white space between them, from pos on.  0, or -1 after
// raising an unterminated block comment.
template <class C>
__attribute__((noinline)) int skip_slow(C *ctx)
{
    const char *t = ctx->text;
    Py_ssize_t len = ctx->len, pos = ctx->pos;
    for (;;) {
        pos = qv::skip_ws_run(t, pos, len);
        if (pos >= len)
            break;
        unsigned char c = (unsigned char)t[pos];
        if (c == '/' && ctx->comments() && pos + 1 < len) {
            if (t[pos + 1] == '/') {
                // JSON5 also ends a line at U+2028 and U+2029, whose
                // first byte stops the scan to be looked at.
                char third = ctx->json5() ? '\xE2' : '\n';
                pos = qv::find_line_end(t, pos + 2, len, third);
                while (ctx->json5() && pos < len && t[pos] == third && !wide_space(ctx, pos, true))
                    pos = qv::find_line_end(t, pos + 1, len, third);
                continue;
            }
            if (t[pos + 1] == '*') {
                const void *close = nullptr;
                for (Py_ssize_t at = pos + 2; at < len;) {
                    const void *star = std::memchr(t + at, '*', (size_t)(len - at));
                    if (!star)
                        break;
                    at = static_cast<const char *>(star) - t + 1;
                    if (at < len && t[at] == '/') {
                        close = t + at + 1;
                        break;
                    }
                }
                if (!close)
                    return ctx->fail(E_COMMENT, pos);
                pos = static_cast<const char *>(close) - t;
                continue;
            }
            break;
        }
        if (ctx->json5() && (cls(t[pos]) & C_WS5)) {
            if (c == 0x0B || c == 0x0C) {
                pos++;
                continue;
            }
            Py_ssize_t n = wide_space(ctx, pos, false);
            if (n) {
                pos += n;
                continue;
            }
        }
        break;
    }
    ctx->pos = pos;
    return 0;
}

// White space (and comments where they are allowed) from pos on.  Inlined
// always: it is called between every two tokens.
template <class C>
__attribute__((always_inline)) inline int skip(C *ctx)
{
    Py_ssize_t pos = ctx->pos;
    // Most tokens follow the previous one directly or after one space.
    if (pos < ctx->len && !(cls(ctx->text[pos]) & ctx->blanks()))
        return 0;
    if (pos + 1 < ctx->len && (cls(ctx->text[pos]) & C_WS) &&
        !(cls(ctx->text[pos + 1]) & ctx->blanks())) {
        ctx->pos = pos + 1;
        return 0;
    }
    // A line end and its indentation, the usual white space of a file
    // written by hand, is passed here; the slow path only sees comments
    // and JSON5's other white space.
    pos = qv::skip_ws_inlined(ctx->text, pos, ctx->len);
    ctx->pos = pos;
    if (ctx->blanks() == C_WS || pos >= ctx->len || !(cls(ctx->text[pos]) & ctx->blanks()))
        return 0;
    return skip_slow(ctx);
}

// ---------------------------------------------------------------------------
// Strings


// A str of n bytes of UTF-8 beyond ASCII, or of none.  Text that holds
// surrogates (a lone \u escape, or a str given with lone surrogates in it)
// is read as the interpreter's surrogatepass reads it.
template <class C>
__attribute__((noinline)) PyObject *make_text_str(C *ctx, const char *s, Py_ssize_t n, bool high)
{
    PyObject *str = ctx->strs.make(s, n, high);
    if (str || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError))
        return str;
    PyErr_Clear();
    str = PyUnicode_DecodeUTF8(s, n, "surrogatepass");
    if (!str && !ctx->doc_is_str && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError))
        ctx->refused_utf8 = true;
    return str;
}

// A str of n bytes of UTF-8: most are ASCII, made where they are read.
template <class C>
__attribute__((always_inline)) inline PyObject *make_str(C *ctx, const char *s, Py_ssize_t n,
                                                         bool high)
{
    if (!high && n)
        return qv::ascii_str(s, n);
    return make_text_str(ctx, s, n, high);
}

// Below this many bytes of text, JSONC and JSON5 make their keys as they
// come, without the key cache: a configuration file of this size has a few
// dozen keys, nearly all different, and looking each up and remembering it
// cost more than the repeats it saves (7% of a round on tsconfig-sized
// files, 1% the other way on a small file of alike objects).  The json face
// always shares a key's object among its repeats, as json does.
constexpr Py_ssize_t kKeyCacheFrom = 4096;

template <class C>
PyObject *cached_key(C *ctx, const char *s, Py_ssize_t n, bool high)
{
    PyObject *key = ctx->keys.get(ctx->strs, s, n, high);
    if (key || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError))
        return key;
    PyErr_Clear();
    return make_str(ctx, s, n, high);
}

// Whether the reading shares each key's str among its repeats.
template <class C>
inline bool shares_keys(const C *ctx)
{
    return ctx->len >= kKeyCacheFrom || (ctx->flags & F_PYTHON);
}

template <class C>
inline PyObject *make_key(C *ctx, const char *s, Py_ssize_t n, bool high)
{
    if (!shares_keys(ctx))
        return make_str(ctx, s, n, high);
    return cached_key(ctx, s, n, high);
}

// Whether a control byte may stand unescaped in a string.
template <class C>
inline bool control_allowed(const C *ctx, unsigned char c)
{
    if (ctx->json5())
        return c != '\n' && c != '\r';
    return ctx->flags & F_CONTROL;
}

// Four hex digits at pos, or -1.
template <class C>
inline int hex4(const C *ctx, Py_ssize_t pos)
{
    return pos + 4 <= ctx->len ? (int)qv::hex_value(ctx->text + pos, 4) : -1;
}

// \u and its digits, with pos just past the 'u'.  Returns the code point,
// a pair combined, with pos after the escape; *lone is set for a surrogate
// kept alone; -1 after raising.
template <class C>
int parse_u_escape(C *ctx, bool *lone)
{
    Py_ssize_t pos = ctx->pos;
    int cp = hex4(ctx, pos);
    // json needs one more character after the digits: the string's end,
    // at least.  Its place for every fault of the escape is the 'u'.
    if (cp < 0 || (ctx->python() && pos + 4 >= ctx->len))
        return ctx->fail(E_U_ESCAPE, pos - 1);
    pos += 4;
    ctx->pos = pos;
    if (cp >= 0xD800 && cp <= 0xDBFF) {
        const char *t = ctx->text;
        if (pos + 6 <= ctx->len && t[pos] == '\\' && t[pos + 1] == 'u' &&
            (!ctx->python() || pos + 6 < ctx->len)) {
            int lo = hex4(ctx, pos + 2);
            if (lo < 0) {
                if (ctx->python() || ctx->json5())
                    return ctx->fail(E_U_ESCAPE, pos + 1);
            } else if (lo >= 0xDC00 && lo <= 0xDFFF) {
                ctx->pos = pos + 6;
                return 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            }
        }
    }
    if (cp >= 0xD800 && cp <= 0xDFFF) {
        if (!(ctx->flags & F_LONE_SURROGATES))
            return ctx->fail(E_SURROGATE, pos - 6);
        *lone = true;
    }
    return cp;
}

// The line end at pos that a JSON5 backslash joins away: its length, or 0.
template <class C>
inline Py_ssize_t line_end_at(const C *ctx, Py_ssize_t pos)
{
    if (pos >= ctx->len)
        return 0;
    char c = ctx->text[pos];
    if (c == '\n')
        return 1;
    if (c == '\r')
        return pos + 1 < ctx->len && ctx->text[pos + 1] == '\n' ? 2 : 1;
    if ((unsigned char)c == 0xE2)
        return wide_space(ctx, pos, true);
    return 0;
}

// One escape with pos on its backslash, appended to the string buffer.
// 0, or -1 after raising; `quote_at` is the string's opening quote.
template <class C>
int parse_escape(C *ctx, Py_ssize_t quote_at, bool *high, bool *lone)
{
    Py_ssize_t backslash = ctx->pos;
    Py_ssize_t pos = backslash + 1;
    if (pos >= ctx->len)
        return ctx->fail(E_STRING, quote_at);
    char letter = ctx->text[pos];
    ctx->pos = pos + 1;
    if (letter == 'u') {
        int cp = parse_u_escape(ctx, lone);
        if (cp < 0 || !qv::append_utf8(ctx->sbuf, (unsigned)cp))
            return -1;
        *high |= cp >= 0x80;
        return 0;
    }
    int simple = qv::short_escape(letter, true);
    if (simple >= 0)
        return ctx->sbuf.push((char)simple) ? 0 : -1;
    if (!ctx->json5())
        return ctx->fail(E_ESCAPE, backslash);
    switch (letter) {
    case '\'':
        return ctx->sbuf.push('\'') ? 0 : -1;
    case 'v':
        return ctx->sbuf.push('\v') ? 0 : -1;
    case '0':
        // Not the start of an octal escape, which JSON5 does not have.
        if (ctx->pos < ctx->len && qv::is_digit(ctx->text[ctx->pos]))
            return ctx->fail(E_ESCAPE, backslash);
        return ctx->sbuf.push('\0') ? 0 : -1;
    case 'x': {
        int v = ctx->pos + 2 <= ctx->len ? (int)qv::hex_value(ctx->text + ctx->pos, 2) : -1;
        if (v < 0)
            return ctx->fail(E_X_ESCAPE, backslash);
        ctx->pos += 2;
        *high |= v >= 0x80;
        return qv::append_utf8(ctx->sbuf, (unsigned)v) ? 0 : -1;
    }
    default:
        break;
    }
    if (qv::is_digit(letter))
        return ctx->fail(E_ESCAPE, backslash);
    if (Py_ssize_t n = line_end_at(ctx, pos)) {
        ctx->pos = pos + n;  // a line continuation: nothing
        return 0;
    }
    // Any other character stands for itself, all of its bytes.
    Py_ssize_t end = pos + 1;
    while (end < ctx->len && ((unsigned char)ctx->text[end] & 0xC0) == 0x80)
        end++;
    *high |= (unsigned char)letter >= 0x80;
    ctx->pos = end;
    return ctx->sbuf.append(ctx->text + pos, end - pos) ? 0 : -1;
}

// What ends a plain run of a string that is not its closing quote: an
// allowed control byte (passed over), or an error.  0 to go on scanning,
// 1 at a backslash, -1 after raising.
template <class C>
inline int after_run(C *ctx, Py_ssize_t end, Py_ssize_t quote_at)
{
    if (end >= ctx->len)
        return ctx->fail(E_STRING, quote_at);
    unsigned char c = (unsigned char)ctx->text[end];
    if (c == '\\')
        return 1;
    if (!control_allowed(ctx, c))
        return ctx->fail(E_CONTROL, end);
    ctx->pos = end + 1;
    return 0;
}

// The rest of a string from `start` whose body holds an escape at pos.
template <class C>
PyObject *parse_escaped_string(C *ctx, Py_ssize_t start, Py_ssize_t quote_at, char quote,
                               bool high)
{
    const char *t = ctx->text;
    ctx->sbuf.clear();
    bool lone = false;
    Py_ssize_t run = start;
    for (;;) {
        // pos is on a backslash here.
        if (!ctx->sbuf.append(t + run, ctx->pos - run))
            return nullptr;
        if (parse_escape(ctx, quote_at, &high, &lone) < 0)
            return nullptr;
        for (;;) {
            run = ctx->pos;
            Py_ssize_t end = qv::scan_string_run(t, run, ctx->len, quote, '\\', false, &high);
            if (end < ctx->len && t[end] == quote) {
                if (!ctx->sbuf.append(t + run, end - run))
                    return nullptr;
                ctx->pos = end + 1;
                return make_str(ctx, ctx->sbuf.data(), ctx->sbuf.size(), high);
            }
            int r = after_run(ctx, end, quote_at);
            if (r < 0)
                return nullptr;
            if (r == 0) {
                // An allowed control byte belongs to the run.
                if (!ctx->sbuf.append(t + run, ctx->pos - run))
                    return nullptr;
                continue;
            }
            ctx->pos = end;
            break;
        }
    }
}

// A string, pos just past its opening quote; keys come from the key cache.
// The quote and whether a key is read are constants of each reading: the
// scan's compares then load their bytes instead of building them a call.
template <char quote, bool key, class C>
PyObject *parse_string(C *ctx)
{
    const char *t = ctx->text;
    Py_ssize_t quote_at = ctx->pos - 1;
    Py_ssize_t start = ctx->pos;
    bool high = false;
    for (;;) {
        Py_ssize_t end = qv::scan_string_run(t, ctx->pos, ctx->len, quote, '\\', false, &high);
        if (end < ctx->len && t[end] == quote) {
            ctx->pos = end + 1;
            if constexpr (key)
                return make_key(ctx, t + start, end - start, high);
            return make_str(ctx, t + start, end - start, high);
        }
        int r = after_run(ctx, end, quote_at);
        if (r < 0)
            return nullptr;
        if (r == 1) {
            ctx->pos = end;
            return parse_escaped_string(ctx, start, quote_at, quote, high);
        }
    }
}

// ---------------------------------------------------------------------------
// Numbers

// The number text as a str, for a hook.
PyObject *call_with_text(PyObject *hook, const char *s, Py_ssize_t n)
{
    Ref text(PyUnicode_DecodeASCII(s, n, "strict"));
    if (!text)
        return nullptr;
    return PyObject_CallOneArg(hook, text.get());
}

// NaN, Infinity or -Infinity (JSON5: +Infinity, -NaN, +NaN too), name
// the word itself; NULL with nothing raised when it is not there.
template <class C>
PyObject *parse_constant(C *ctx, const char *word, Py_ssize_t n, double value)
{
    Py_ssize_t start = ctx->pos;
    Py_ssize_t at = start;
    bool negative = false;
    if (ctx->text[at] == '-' || ctx->text[at] == '+') {
        negative = ctx->text[at] == '-';
        at++;
    }
    if (ctx->len - at < n || std::memcmp(ctx->text + at, word, (size_t)n) != 0)
        return nullptr;
    ctx->pos = at + n;
    if (ctx->parse_constant) {
        // json hands the hook the word as written.
        return call_with_text(ctx->parse_constant, ctx->text + start, at + n - start);
    }
    return PyFloat_FromDouble(negative ? -value : value);
}

// A JSON5 hexadecimal integer, pos on the '0' after the sign.
template <class C>
PyObject *parse_hex(C *ctx, Py_ssize_t start, bool negative)
{
    const char *t = ctx->text;
    Py_ssize_t digits = ctx->pos + 2, pos = digits;
    uint64_t m = 0;
    while (pos < ctx->len && qv::hex_digit(t[pos]) >= 0) {
        m = m * 16 + (uint64_t)qv::hex_digit(t[pos]);
        pos++;
    }
    if (pos == digits)
        return ctx->fail(E_NUMBER, start);
    ctx->pos = pos;
    Py_ssize_t n = pos - digits;
    if (n < 16 || (n == 16 && !negative && m <= (uint64_t)INT64_MAX))
        return qv::int_from_magnitude(m, negative);
    PyObject *big = qv::big_int(t + digits, n, 16, negative);
    if (!big && qv::refused())
        return ctx->fail(E_NUMBER, start);
    return big;
}

// A number; NULL with nothing raised when none starts at pos (json then
// reports a missing value there).  Flattened: the unit is past the
// compiler's budget for inlining, which otherwise leaves the float
// conversion of the json face out of line (+8% of instructions on canada).
template <class C>
__attribute__((flatten)) PyObject *parse_number(C *ctx)
{
    const char *t = ctx->text;
    Py_ssize_t len = ctx->len;
    Py_ssize_t pos = ctx->pos;
    // The common shape, read in words when no hook wants the text.  It
    // reads a JSON5 hexadecimal number as its leading zero: the scan
    // below reads those.
    if (!ctx->parse_float && !ctx->parse_int && len - pos >= qv::kQuickDecimalRoom) {
        PyObject *number;
        Py_ssize_t end = qv::quick_decimal(t, pos, &number);
        if (end >= 0) {
            if (!ctx->json5() || (t[end] | 0x20) != 'x') {
                ctx->pos = end;
                return number;
            }
            Py_XDECREF(number);
        }
    }
    bool negative = t[pos] == '-';
    qv::DecimalText d(pos, negative, pos + (negative || t[pos] == '+'));
    pos = d.int_start;
    if (pos >= len)
        return nullptr;
    if (t[pos] == '0') {
        if (ctx->json5() && pos + 1 < len && (t[pos + 1] == 'x' || t[pos + 1] == 'X')) {
            ctx->pos = pos;
            return parse_hex(ctx, d.start, negative);
        }
        pos++;
    } else if (t[pos] >= '1' && t[pos] <= '9') {
        pos = qv::scan_int_digits(t, pos, len, &d.w);
    } else if (!(ctx->json5() && t[pos] == '.')) {
        return nullptr;
    }
    // Only a complete fraction or exponent belongs to the number; JSON5
    // also ends a fraction at a point after digits.
    bool is_float = qv::scan_decimal_tail(t, pos, len, ctx->json5() && pos > d.int_start, &d);
    if (d.int_end == d.int_start && !is_float)
        return nullptr;  // a lone point
    ctx->pos = pos = d.end;

    if (!is_float) {
        if (ctx->parse_int)
            return call_with_text(ctx->parse_int, t + d.start, pos - d.start);
        if (qv::decimal_small_int(d))
            return qv::int_from_magnitude(d.w, negative);
        PyObject *big = qv::big_int(t + d.int_start, d.int_end - d.int_start, 10, negative);
        // json lets the interpreter's refusal (its limit on digits) out as
        // it is; the other faces report an invalid number.
        if (!big && !ctx->python() && qv::refused())
            return ctx->fail(E_NUMBER, d.start);
        return big;
    }
    if (ctx->parse_float)
        return call_with_text(ctx->parse_float, t + d.start, pos - d.start);
    return qv::decimal_float(t, d);
}

// ---------------------------------------------------------------------------
// JSON5 names

// The code point of the UTF-8 character at pos and its length, or -1.
template <class C>
int decode_char(const C *ctx, Py_ssize_t pos, Py_ssize_t *n)
{
    const unsigned char *u = reinterpret_cast<const unsigned char *>(ctx->text) + pos;
    Py_ssize_t left = ctx->len - pos;
    Py_ssize_t want = u[0] < 0x80 ? 1 : u[0] >= 0xF0 ? 4 : u[0] >= 0xE0 ? 3 : 2;
    if (want > left || qv::utf8_measure(u, want) != 1)
        return -1;
    *n = want;
    if (want == 1)
        return u[0];
    if (want == 2)
        return ((u[0] & 0x1F) << 6) | (u[1] & 0x3F);
    if (want == 3)
        return ((u[0] & 0x0F) << 12) | ((u[1] & 0x3F) << 6) | (u[2] & 0x3F);
    return ((u[0] & 0x07) << 18) | ((u[1] & 0x3F) << 12) | ((u[2] & 0x3F) << 6) | (u[3] & 0x3F);
}

// Whether cp may start (or, with !start, continue) an ECMAScript name: the
// letters and letter numbers, $ and _; after the first, also combining
// marks, decimal digits, connector punctuation, ZWNJ and ZWJ.  1, 0, or -1
// after raising (the interpreter's Unicode database answers beyond ASCII).
template <class C>
int name_char(C *ctx, int cp, bool start)
{
    if (cp < 0x80)
        return (cls((char)cp) & (start ? C_NAME_START : C_NAME)) != 0;
    if (!start && (cp == 0x200C || cp == 0x200D))
        return 1;
    if (!ctx->unicodedata_category) {
        Ref module(PyImport_ImportModule("unicodedata"));
        if (!module)
            return -1;
        ctx->unicodedata_category.reset(PyObject_GetAttrString(module.get(), "category"));
        if (!ctx->unicodedata_category)
            return -1;
    }
    Ref ch(PyUnicode_FromOrdinal(cp));
    if (!ch)
        return -1;
    Ref category(PyObject_CallOneArg(ctx->unicodedata_category.get(), ch.get()));
    const char *c = category ? PyUnicode_AsUTF8(category.get()) : nullptr;
    if (!c)
        return -1;
    if (c[0] == 'L' || (c[0] == 'N' && c[1] == 'l'))
        return 1;
    if (start)
        return 0;
    return (c[0] == 'M' && (c[1] == 'n' || c[1] == 'c')) || (c[0] == 'N' && c[1] == 'd') ||
           (c[0] == 'P' && c[1] == 'c');
}

// An unquoted key: a name, pos on its first byte.  NULL with nothing
// raised when no name starts there.
template <class C>
PyObject *parse_name(C *ctx)
{
    const char *t = ctx->text;
    Py_ssize_t start = ctx->pos, pos = start;
    // Plain ASCII names, the common case, are runs of the document.
    if (cls(t[pos]) & C_NAME_START) {
        pos = qv::skip_word_run(t, pos + 1, ctx->len, '$', '_');
        if (pos >= ctx->len || ((unsigned char)t[pos] < 0x80 && t[pos] != '\\')) {
            ctx->pos = pos;
            return make_key(ctx, t + start, pos - start, false);
        }
    }
    // Names with escapes or characters beyond ASCII, built in the buffer.
    ctx->sbuf.clear();
    pos = start;
    bool high = false;
    for (;;) {
        if (pos >= ctx->len)
            break;
        int cp;
        Py_ssize_t n;
        bool first = pos == start;
        if (t[pos] == '\\') {
            if (pos + 1 >= ctx->len || t[pos + 1] != 'u')
                return ctx->fail(E_IDENT, pos);
            cp = hex4(ctx, pos + 2);
            if (cp < 0)
                return ctx->fail(E_U_ESCAPE, pos + 1);
            n = 6;
            int ok = name_char(ctx, cp, first);
            if (ok < 0)
                return nullptr;
            if (!ok)
                return ctx->fail(E_IDENT, pos);
        } else {
            cp = decode_char(ctx, pos, &n);
            if (cp < 0)
                return ctx->fail(E_UTF8, pos);
            int ok = name_char(ctx, cp, first);
            if (ok < 0)
                return nullptr;
            if (!ok) {
                if (first)
                    return nullptr;
                break;
            }
        }
        high |= cp >= 0x80;
        if (!qv::append_utf8(ctx->sbuf, (unsigned)cp))
            return nullptr;
        pos += n;
    }
    ctx->pos = pos;
    return make_str(ctx, ctx->sbuf.data(), ctx->sbuf.size(), high);
}

// ---------------------------------------------------------------------------
// Values

template <class C>
PyObject *parse_array(C *ctx);
template <class C>
PyObject *parse_object(C *ctx);

template <class C>
__attribute__((always_inline)) inline PyObject *literal(C *ctx, const char *word, Py_ssize_t n,
                                                        PyObject *obj)
{
    if (ctx->len - ctx->pos < n || std::memcmp(ctx->text + ctx->pos, word, (size_t)n) != 0)
        return nullptr;
    ctx->pos += n;
    return Py_NewRef(obj);
}

// The value at pos (white space already skipped); NULL with nothing raised
// when no value starts there.
template <class C>
__attribute__((always_inline)) inline PyObject *dispatch_value(C *ctx)
{
    if (ctx->pos >= ctx->len)
        return nullptr;
    switch (ctx->text[ctx->pos]) {
    case '"':
        ctx->pos++;
        return parse_string<'"', false>(ctx);
    case '{':
        return parse_object(ctx);
    case '[':
        return parse_array(ctx);
    case 't':
        return literal(ctx, "true", 4, Py_True);
    case 'f':
        return literal(ctx, "false", 5, Py_False);
    case 'n':
        return literal(ctx, "null", 4, Py_None);
    case '-':
    case '+':
        if (ctx->text[ctx->pos] == '+' && !ctx->json5())
            return nullptr;
        if (ctx->pos + 1 < ctx->len && (ctx->flags & (F_NONFINITE | F_JSON5))) {
            char next = ctx->text[ctx->pos + 1];
            if (next == 'I')
                return parse_constant(ctx, "Infinity", 8, Py_HUGE_VAL);
            if (next == 'N' && ctx->json5())
                return parse_constant(ctx, "NaN", 3, Py_NAN);
        }
        return parse_number(ctx);
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9':
        return parse_number(ctx);
    case 'N':
        if (!(ctx->flags & (F_NONFINITE | F_JSON5)))
            return nullptr;
        return parse_constant(ctx, "NaN", 3, Py_NAN);
    case 'I':
        if (!(ctx->flags & (F_NONFINITE | F_JSON5)))
            return nullptr;
        return parse_constant(ctx, "Infinity", 8, Py_HUGE_VAL);
    case '\'':
        if (!ctx->json5())
            return nullptr;
        ctx->pos++;
        return parse_string<'\'', false>(ctx);
    case '.':
        return ctx->json5() ? parse_number(ctx) : nullptr;
    default:
        return nullptr;
    }
}

// A value after white space; raises "no value" where none starts.
template <class C>
__attribute__((always_inline)) inline PyObject *parse_value(C *ctx)
{
    Py_ssize_t at = ctx->pos;
    PyObject *v = dispatch_value(ctx);
    if (!v && !PyErr_Occurred())
        return ctx->fail(E_VALUE, at);
    return v;
}

// The json face's levels beyond those entered already.  json enters one
// level of the interpreter's recursion count per array or object; without
// hooks (which run inside and would see the count) levels are entered
// sixteen at a time, which is cheaper and ends at the same depth: a level
// the interpreter refuses in advance is refused only once the document
// opens it, with json's own RecursionError.
template <class C>
__attribute__((noinline)) bool enter_python(C *ctx, bool object)
{
    const char *where = object ? " while decoding a JSON object from a unicode string"
                               : " while decoding a JSON array from a unicode string";
    if (!ctx->levels_ahead) {
        if (Py_EnterRecursiveCall(where))
            return false;
        ctx->entered++;
        ctx->depth++;
        return true;
    }
    for (int i = 0; i < 16 && ctx->entered < ctx->refused_at; i++) {
        if (Py_EnterRecursiveCall("")) {
            PyErr_Clear();
            ctx->refused_at = ctx->entered;
            break;
        }
        ctx->entered++;
    }
    if (ctx->depth >= ctx->entered) {
        // The interpreter's count is used up: one level is given back for
        // making the error, which calls into the interpreter.
        if (ctx->entered > 0) {
            Py_LeaveRecursiveCall();
            ctx->entered--;
        }
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        return false;
    }
    ctx->depth++;
    return true;
}

// Entering an array or object, pos on its bracket.  The json face counts
// levels against the interpreter's recursion limit, as json does; the
// others have a fixed limit.
template <class C>
inline bool enter(C *ctx, bool object)
{
    if (ctx->python()) {
        if (ctx->depth < ctx->entered) {
            ctx->depth++;
            return true;
        }
        return enter_python(ctx, object);
    }
    if (ctx->depth >= kMaxDepth) {
        ctx->fail(E_DEPTH, ctx->pos);
        return false;
    }
    ctx->depth++;
    return true;
}

template <class C>
inline void leave(C *ctx)
{
    ctx->depth--;
    if (ctx->python() && !ctx->levels_ahead) {
        Py_LeaveRecursiveCall();
        ctx->entered--;
    }
}

// After an item of an array or object: the comma or the closer.  1 when
// the list closed, 0 for another item (white space skipped), -1 after
// raising.
template <class C>
inline int after_item(C *ctx, char close, Err missing, Err trailing)
{
    if (skip(ctx) < 0)
        return -1;
    if (ctx->pos < ctx->len) {
        char c = ctx->text[ctx->pos];
        if (c == close) {
            ctx->pos++;
            return 1;
        }
        if (c == ',') {
            Py_ssize_t comma = ctx->pos++;
            if (skip(ctx) < 0)
                return -1;
            if (ctx->next_is(close)) {
                if (!C::kExt || !(ctx->flags & (F_TRAILING_COMMAS | F_JSON5)))
                    return ctx->fail(trailing, comma);
                ctx->pos++;
                return 1;
            }
            return 0;
        }
    }
    return ctx->fail(missing, ctx->pos);
}

// ---------------------------------------------------------------------------
// Span records

// Opens the record of the value that starts at pos, which becomes the
// record its items take as their parent.  The index, or -1 after raising.
template <class C>
inline Py_ssize_t open_span(C *ctx, uint32_t parent, Py_ssize_t ordinal, Py_ssize_t key_start,
                            Py_ssize_t key_end)
{
    Py_ssize_t r = ctx->spans->open(parent, (uint32_t)ordinal, (uint32_t)key_start,
                                    (uint32_t)key_end, (uint32_t)ctx->pos);
    ctx->span = (uint32_t)r;
    return r;
}

// A member's place in its object's order, set on its record once the
// member is stored: a new key's is the object's size before it; a repeated
// key keeps the first one's place (its later record is the one that holds).
// The places of the keys are looked up only from an object's first repeat.
class MemberPlaces {
public:
    // 0, or -1 after raising; `before` is the object's size before the store.
    int place(qv::SpanTable *spans, PyObject *dict, PyObject *key, Py_ssize_t before,
              Py_ssize_t record)
    {
        Py_ssize_t ordinal = before;
        if (PyDict_GET_SIZE(dict) > before) {
            if (index_ && add(key, before) < 0)
                return -1;
        } else {
            ordinal = repeated(dict, key);
            if (ordinal < 0)
                return -1;
        }
        (*spans)[record].ordinal = (uint32_t)ordinal;
        return 0;
    }

private:
    int add(PyObject *key, Py_ssize_t ordinal)
    {
        Ref n(PyLong_FromSsize_t(ordinal));
        return n ? PyDict_SetItem(index_.get(), key, n.get()) : -1;
    }

    __attribute__((noinline)) Py_ssize_t repeated(PyObject *dict, PyObject *key)
    {
        if (!index_) {
            index_.reset(PyDict_New());
            if (!index_)
                return -1;
            PyObject *k, *v;
            Py_ssize_t it = 0;
            for (Py_ssize_t i = 0; PyDict_Next(dict, &it, &k, &v); i++)
                if (add(k, i) < 0)
                    return -1;
        }
        PyObject *n = PyDict_GetItemWithError(index_.get(), key);
        if (!n) {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_SystemError, "parse_json(): a stored key has no place");
            return -1;
        }
        return PyLong_AsSsize_t(n);
    }

    Ref index_;  // {key: place}
};

// ---------------------------------------------------------------------------
// Arrays and objects

template <class C>
PyObject *array_items(C *ctx)
{
    [[maybe_unused]] uint32_t self = ctx->span;
    ctx->pos++;
    if (skip(ctx) < 0)
        return nullptr;
    if (ctx->eat(']'))
        return PyList_New(0);
    Items &items = ctx->items;
    Py_ssize_t base = items.size();
    for (;;) {
        [[maybe_unused]] Py_ssize_t record = 0;
        if constexpr (C::kSpans) {
            record = open_span(ctx, self, items.size() - base, qv::kNoSpan, qv::kNoSpan);
            if (record < 0)
                break;
        }
        PyObject *item = parse_value(ctx);
        if (!item || !items.push_owned(item))
            break;
        if constexpr (C::kSpans)
            ctx->spans->close(record, (uint32_t)ctx->pos);
        int r = after_item(ctx, ']', E_ARRAY_COMMA, E_ARRAY_TRAILING);
        if (r > 0)
            return items.take(base);
        if (r < 0)
            break;
    }
    items.drop(base);
    return nullptr;
}

template <class C>
__attribute__((noinline)) PyObject *parse_array(C *ctx)
{
    if (!enter(ctx, false))
        return nullptr;
    PyObject *list = array_items(ctx);
    leave(ctx);
    return list;
}

// A key, pos on its first byte.
template <class C>
inline PyObject *parse_key(C *ctx)
{
    if (ctx->pos < ctx->len) {
        char c = ctx->text[ctx->pos];
        if (c == '"') {
            ctx->pos++;
            return parse_string<'"', true>(ctx);
        }
        if (ctx->json5()) {
            if (c == '\'') {
                ctx->pos++;
                return parse_string<'\'', true>(ctx);
            }
            PyObject *name = parse_name(ctx);
            if (name || PyErr_Occurred())
                return name;
        }
    }
    return ctx->fail(E_KEY, ctx->pos);
}

// One `key: value` member.  0, or -1 after raising; the key and value are
// left in *key and *value.  With spans, the value's record, a child of
// `parent`, is left in *record (its place is set once it is stored).
template <class C>
__attribute__((always_inline)) inline int parse_member(C *ctx, Ref *key, Ref *value,
                                                       [[maybe_unused]] uint32_t parent,
                                                       [[maybe_unused]] Py_ssize_t *record)
{
    [[maybe_unused]] Py_ssize_t key_start = ctx->pos;
    key->reset(parse_key(ctx));
    [[maybe_unused]] Py_ssize_t key_end = ctx->pos;
    if (!*key || skip(ctx) < 0)
        return -1;
    if (!ctx->eat(':'))
        return ctx->fail(E_COLON, ctx->pos);
    if (skip(ctx) < 0)
        return -1;
    if constexpr (C::kSpans) {
        *record = open_span(ctx, parent, 0, key_start, key_end);
        if (*record < 0)
            return -1;
    }
    value->reset(parse_value(ctx));
    if (!*value)
        return -1;
    if constexpr (C::kSpans)
        ctx->spans->close(*record, (uint32_t)ctx->pos);
    return 0;
}

// The members of an object, pos past the white space after its opening
// brace: each is handed to store(key, value, record) (0, or -1 after
// raising; record: the value's span record).  0 with pos past the closing
// brace, or -1 after raising.
template <class C, class Store>
inline int read_members(C *ctx, Store store)
{
    [[maybe_unused]] uint32_t self = ctx->span;
    if (ctx->eat('}'))
        return 0;
    for (;;) {
        Ref key, value;
        Py_ssize_t record = 0;
        if (parse_member(ctx, &key, &value, self, &record) < 0 ||
            store(key.get(), value.get(), record) < 0)
            return -1;
        int r = after_item(ctx, '}', E_OBJECT_COMMA, E_OBJECT_TRAILING);
        if (r != 0)
            return r < 0 ? -1 : 0;
    }
}

// Objects for object_pairs_hook: a list of (key, value) pairs.
template <class C>
__attribute__((noinline)) PyObject *object_pairs(C *ctx)
{
    Ref pairs(PyList_New(0));
    if (!pairs)
        return nullptr;
    PyObject *list = pairs.get();
    auto append = [list](PyObject *key, PyObject *value, Py_ssize_t) {
        Ref pair(PyTuple_Pack(2, key, value));
        return pair ? PyList_Append(list, pair.get()) : -1;
    };
    if (read_members(ctx, append) < 0)
        return nullptr;
    return PyObject_CallOneArg(ctx->pairs_hook, list);
}

// An object of the native tree, pos past the white space after its opening
// brace.  Its members go into a dict one by one, a repeated key keeping
// its first place and taking the last value; but while its keys are, one
// for one, those of the last object that began with the same key (the
// same key objects from the key cache), only the values are kept, and the
// dict is made at the end as a copy of that object's table
// (qv::ShapedObject).  Every fault is found where, and reported as,
// read_members finds it.
template <class C>
__attribute__((always_inline)) inline PyObject *shaped_members(C *ctx)
{
    if (ctx->eat('}'))
        return PyDict_New();
    qv::ShapedObject<Items> obj(ctx->shapes, ctx->items, shares_keys(ctx));
    for (;;) {
        // A plain key is matched by its bytes only inside double quotes:
        // a single-quoted key or a name at that place is read as a key.
        // The shape's own key needs nothing held or compared.
        bool matched = false;
        if (obj.may_match() && ctx->pos < ctx->len && ctx->text[ctx->pos] == '"') {
            Py_ssize_t k = obj.match_key(ctx->text + ctx->pos + 1, ctx->len - ctx->pos - 1);
            if (k >= 0) {
                ctx->pos += k + 2;
                matched = true;
            }
        }
        Ref key;
        if (!matched) {
            key.reset(parse_key(ctx));
            if (!key)
                return nullptr;
        }
        if (skip(ctx) < 0)
            return nullptr;
        if (!ctx->eat(':'))
            return ctx->fail(E_COLON, ctx->pos);
        if (skip(ctx) < 0)
            return nullptr;
        if (!matched && !obj.follow(key.get()))
            return nullptr;
        if (!obj.add(key.get(), parse_value(ctx)))
            return nullptr;
        int r = after_item(ctx, '}', E_OBJECT_COMMA, E_OBJECT_TRAILING);
        if (r < 0)
            return nullptr;
        if (r > 0)
            break;
    }
    return obj.close();
}

template <class C>
PyObject *object_members(C *ctx)
{
    ctx->pos++;
    if (skip(ctx) < 0)
        return nullptr;
    if (ctx->pairs_hook)
        return object_pairs(ctx);
    if constexpr (!C::kSpans) {
        if (!ctx->object_hook)
            return shaped_members(ctx);
    }
    Ref dict(PyDict_New());
    if (!dict)
        return nullptr;
    // A repeated key keeps its first place and takes the last value.
    PyObject *d = dict.get();
    if constexpr (C::kSpans) {
        MemberPlaces places;
        auto store = [ctx, d, &places](PyObject *key, PyObject *value, Py_ssize_t record) {
            Py_ssize_t before = PyDict_GET_SIZE(d);
            if (PyDict_SetItem(d, key, value) < 0)
                return -1;
            return places.place(ctx->spans, d, key, before, record);
        };
        if (read_members(ctx, store) < 0)
            return nullptr;
    } else {
        auto store = [d](PyObject *key, PyObject *value, Py_ssize_t) {
            return PyDict_SetItem(d, key, value);
        };
        if (read_members(ctx, store) < 0)
            return nullptr;
    }
    if (ctx->object_hook)
        return PyObject_CallOneArg(ctx->object_hook, d);
    return dict.release();
}

template <class C>
__attribute__((noinline)) PyObject *parse_object(C *ctx)
{
    if (!enter(ctx, true))
        return nullptr;
    PyObject *obj = object_members(ctx);
    leave(ctx);
    return obj;
}

template <class C>
PyObject *document(C *ctx)
{
    if (skip(ctx) < 0)
        return nullptr;
    if constexpr (C::kSpans) {
        if (open_span(ctx, qv::kNoSpan, 0, qv::kNoSpan, qv::kNoSpan) < 0)
            return nullptr;
    }
    Ref result(parse_value(ctx));
    if (!result)
        return nullptr;
    if constexpr (C::kSpans)
        ctx->spans->close(0, (uint32_t)ctx->pos);
    if (skip(ctx) < 0)
        return nullptr;
    if (ctx->pos != ctx->len)
        return ctx->fail(E_EXTRA, ctx->pos);
    return result.release();
}

PyObject *hook_arg(PyObject *arg) { return arg == Py_None ? nullptr : arg; }

// One reading of a document's UTF-8 text.
template <bool Ext, bool Spans>
PyObject *read_as(const char *text, Py_ssize_t len, unsigned flags, PyObject *doc,
                  bool doc_is_str, PyObject *const *args, Py_ssize_t nargs, bool *refused_utf8)
{
    Ctx<Ext, Spans> ctx(text, len, flags);
    ctx.doc = doc;
    ctx.doc_is_str = doc_is_str;
    ctx.error = nargs > 2 ? hook_arg(args[2]) : nullptr;
    ctx.object_hook = nargs > 3 ? hook_arg(args[3]) : nullptr;
    ctx.pairs_hook = nargs > 4 ? hook_arg(args[4]) : nullptr;
    ctx.parse_float = nargs > 5 ? hook_arg(args[5]) : nullptr;
    ctx.parse_int = nargs > 6 ? hook_arg(args[6]) : nullptr;
    ctx.parse_constant = nargs > 7 ? hook_arg(args[7]) : nullptr;
    // json's scanner is called through the interpreter's generic call,
    // which counts one level of recursion: so is this reading, so that the
    // deepest document read is json's.
    if ((flags & F_PYTHON) && Py_EnterRecursiveCall(" while calling a Python object"))
        return nullptr;
    ctx.levels_ahead = !ctx.object_hook && !ctx.pairs_hook && !ctx.parse_float &&
                       !ctx.parse_int && !ctx.parse_constant;
    if constexpr (Spans) {
        // No hooks and no json face here (the caller refuses them).
        qv::SpanTable spans;
        spans.enable();
        if (!spans.fits(len))
            return nullptr;
        ctx.spans = &spans;
        Ref value(document(&ctx));
        *refused_utf8 = ctx.refused_utf8;
        if (!value)
            return nullptr;
        Ref records(spans.take());
        return records ? PyTuple_Pack(2, value.get(), records.get()) : nullptr;
    }
    PyObject *result = document(&ctx);
    if (flags & F_PYTHON) {
        for (int i = 0; i < ctx.entered; i++)
            Py_LeaveRecursiveCall();
        Py_LeaveRecursiveCall();
    }
    *refused_utf8 = ctx.refused_utf8;
    return result;
}

PyObject *read(const char *text, Py_ssize_t len, unsigned flags, PyObject *doc, bool doc_is_str,
               PyObject *const *args, Py_ssize_t nargs, bool *refused_utf8)
{
    // Spans are read by the reader of every dialect, which reads plain JSON
    // alike when no option is set.  One more reader, not two: this unit is
    // near the compiler's budget for inlining (its growth limit), and past
    // it the plain readers lose inlined calls in their hot loops (+14% of
    // instructions on number-heavy documents when both were made).
    if (flags & F_SPANS)
        return read_as<true, true>(text, len, flags, doc, doc_is_str, args, nargs, refused_utf8);
    if (flags & (F_COMMENTS | F_TRAILING_COMMAS | F_JSON5))
        return read_as<true, false>(text, len, flags, doc, doc_is_str, args, nargs, refused_utf8);
    return read_as<false, false>(text, len, flags, doc, doc_is_str, args, nargs, refused_utf8);
}

// Spans are recorded by the native reading alone: hooks and json's rules
// are refused with them.  0, or -1 after raising.
int check_spans_options(unsigned long flags, PyObject *const *args, Py_ssize_t nargs)
{
    if (!(flags & F_SPANS))
        return 0;
    if (flags & F_PYTHON) {
        PyErr_SetString(PyExc_TypeError, "parse_json(): spans are not recorded under json's rules");
        return -1;
    }
    for (Py_ssize_t i = 3; i < nargs; i++) {
        if (args[i] != Py_None) {
            PyErr_SetString(PyExc_TypeError, "parse_json(): spans are not recorded with hooks");
            return -1;
        }
    }
    return 0;
}

}  // namespace

PyObject *std_parse_json(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs < 2 || nargs > 8) {
        PyErr_SetString(PyExc_TypeError, "parse_json() takes from 2 to 8 arguments");
        return nullptr;
    }
    PyObject *text = args[0];
    unsigned long flags = PyLong_AsUnsignedLong(args[1]);
    if (flags == (unsigned long)-1 && PyErr_Occurred())
        return nullptr;
    if (flags & ~(unsigned long)F_ALL) {
        PyErr_SetString(PyExc_ValueError, "parse_json(): unknown option bits");
        return nullptr;
    }
    if ((flags & F_PYTHON) && (nargs < 3 || args[2] == Py_None)) {
        PyErr_SetString(PyExc_TypeError, "parse_json(): json's rules need an error class");
        return nullptr;
    }
    if (check_spans_options(flags, args, nargs) < 0)
        return nullptr;
    bool refused = false;
    if (PyBytes_Check(text)) {
        // UTF-8 bytes are read as they are; should a str be refused for
        // bytes that are not UTF-8, the whole document is decoded first, as
        // json does, and read again (or the decoder's error raised).
        PyObject *result = read(PyBytes_AS_STRING(text), PyBytes_GET_SIZE(text),
                                (unsigned)flags, text, false, args, nargs, &refused);
        if (result || !refused)
            return result;
        PyErr_Clear();
        Ref decoded(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(text), PyBytes_GET_SIZE(text),
                                         "surrogatepass"));
        if (!decoded)
            return nullptr;
        Ref utf8(PyUnicode_AsEncodedString(decoded.get(), "utf-8", "surrogatepass"));
        if (!utf8)
            return nullptr;
        return read(PyBytes_AS_STRING(utf8.get()), PyBytes_GET_SIZE(utf8.get()), (unsigned)flags,
                    decoded.get(), true, args, nargs, &refused);
    }
    if (!PyUnicode_Check(text)) {
        PyErr_Format(PyExc_TypeError, "parse_json() needs str or bytes, not %s",
                     Py_TYPE(text)->tp_name);
        return nullptr;
    }
    Py_ssize_t len;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text, &len);
    if (utf8)
        return read(utf8, len, (unsigned)flags, text, true, args, nargs, &refused);
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
        return nullptr;
    // A str with lone surrogates has no UTF-8 form: it is read from its
    // surrogatepass encoding, whose strs are decoded the same way.
    PyErr_Clear();
    Ref encoded(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!encoded)
        return nullptr;
    return read(PyBytes_AS_STRING(encoded.get()), PyBytes_GET_SIZE(encoded.get()),
                (unsigned)flags, text, true, args, nargs, &refused);
}
