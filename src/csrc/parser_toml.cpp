// TOML parser: one forward pass over the document's UTF-8 bytes into a tree
// of dict, list, str, int, float and bool.
//
// Every statement is applied to the tree as soon as it has been read.  What
// the document has defined so far is remembered as canonical path strings
// (segments joined by '.', with '.' and '\' escaped inside quoted segments),
// each tagged with the kinds of definition it has seen: a key, a [table], an
// [[array of tables]] or a table created implicitly on the way to another.
// Every redefinition conflict is found through those tags.  Date-times are
// kept as the text of their token.
#include "quorvane.h"
#include "toolkit/toolkit.h"
#include "toolkit/toml_lex.h"

#include <cstdint>
#include <cstring>
#include <iterator>

namespace {

// ---------------------------------------------------------------------------
// Character classes

enum : unsigned char {
    kClassWs = 1,       // space, tab, line feed, carriage return
    kClassToken = 4,    // may stand in a number or date-time token
    kClassBasic = 8,    // ends the plain run of a single-line basic string
    kClassMlBasic = 16, // ends the plain run of a multi-line basic string
    kClassLiteral = 32, // ends the plain run of a single-line literal string
};

struct CharClasses {
    unsigned char c[256];
    constexpr CharClasses() : c()
    {
        for (int i = 0; i < 256; i++) {
            unsigned char v = 0;
            if (i == ' ' || i == '\t' || i == '\n' || i == '\r')
                v |= kClassWs;
            if (!(i == ' ' || i == '\t' || i == '\n' || i == '\r' || i == '#' ||
                  i == ',' || i == ']' || i == '}' || i == '='))
                v |= kClassToken;
            if (i == '"' || i == '\\' || (i < 0x20 && i != '\t'))
                v |= kClassBasic;
            if (i == '"' || i == '\\' || (i < 0x20 && i != '\t' && i != '\n' && i != '\r'))
                v |= kClassMlBasic;
            if (i == '\'' || i == '\n' || i == '\r')
                v |= kClassLiteral;
            c[i] = v;
        }
    }
};

constexpr CharClasses kClass;

inline bool toml_has_class(char c, unsigned char cls)
{
    return (kClass.c[(unsigned char)c] & cls) != 0;
}

inline bool toml_is_ws(char c) { return toml_has_class(c, kClassWs); }
inline bool toml_is_newline(char c) { return c == '\n' || c == '\r'; }
inline bool toml_is_token_char(char c) { return toml_has_class(c, kClassToken); }

// ---------------------------------------------------------------------------
// Bookkeeping of defined paths: one native hash table maps each path string
// to the kinds of definition recorded for it.  A path string is compared by
// its length and all its bytes, NUL bytes included.

enum : unsigned char {
    kDefinedKey = 1,    // assigned by a key/value line
    kDefinedTable = 2,  // opened by a [table] header
    kDefinedArray = 4,  // opened by an [[array of tables]] header
    kImplicitTable = 8, // created on the way to a deeper key or table
};

// A recorded path string is a head, the bytes of the table path that its
// statement was written under, followed by a tail, the bytes the statement
// added.  Both are slices of PathSet::bytes, which holds each table path
// and each statement's own bytes once: a long table path shared by many
// keys, or a long key path with many prefixes, is stored a single time.
struct PathEntry {
    uint64_t hash;
    Py_ssize_t head_off;
    Py_ssize_t head_len;
    Py_ssize_t tail_off;
    Py_ssize_t tail_len;
    unsigned char kinds;
};

// The table's slots are compact: the top half of the entry's hash and its
// index, so that a probe reads an entry only when the hash halves agree.
// Entries are named by their index, which stays valid while the table grows.
struct PathSet {
    static constexpr size_t kLocalSlots = 64;

    qv::HashTable<uint64_t, kLocalSlots> slots;
    qv::Buffer<PathEntry, kLocalSlots / 2> entries;  // in the order recorded
    qv::Buffer<char, 1024> bytes;       // every stored path string, back to back
    uint64_t seed = 0;
};

// ---------------------------------------------------------------------------
// Parser state, one per call.

class TomlCtx : public qv::Cursor<qv::PositionError> {
public:
    TomlCtx(const char *text, Py_ssize_t len) : Cursor(text, len), strs(text, len)
    {
        // Path strings are hashed with a per-call seed, so that no fixed
        // set of keys collides in every parse.
        defined.seed = qv::hash_pointer(this) ^ (uint64_t)len;
        current_table_hash = defined.seed;
    }

    qv::DepthGuard depth;
    qv::Ref root;
    qv::Ref current_table;
    // The path string of the current table lives at the front of `path`
    // (current_table_path_len bytes); each statement builds its own path
    // string right after it.
    qv::Buffer<char, 256> path;
    Py_ssize_t current_table_path_len = 0;
    bool current_table_is_root = true;
    uint64_t current_table_hash = 0;
    Py_ssize_t current_table_path_off = 0;  // its copy in defined.bytes
    // The statement's path string in ctx->path: the first stmt_head_len
    // bytes are also at stmt_head_off in defined.bytes; the rest is copied
    // there (to stmt_tail_off) when first recorded, -1 until then.
    Py_ssize_t stmt_head_off = 0;
    Py_ssize_t stmt_head_len = 0;
    Py_ssize_t stmt_tail_off = -1;
    PathSet defined;

    qv::Buffer<char, 0> scratch;  // decoded content of strings with escapes
    qv::CLocale c_locale;         // for the floats that need strtod_l
    qv::StrMaker strs;
    qv::KeyCache keys;            // bare keys repeat a lot: name, version, ...
};

// ---------------------------------------------------------------------------
// Skipping

inline void toml_skip_ws(TomlCtx *ctx)
{
    const char *text = ctx->text;
    Py_ssize_t pos = ctx->pos, len = ctx->len;
    while (pos < len && toml_is_ws(text[pos]))
        pos++;
    ctx->pos = pos;
}

// Blanks, line ends and comments.  A comment's body is never inspected.
inline void toml_skip_ws_comments(TomlCtx *ctx)
{
    const char *text = ctx->text;
    Py_ssize_t pos = ctx->pos, len = ctx->len;
    while (pos < len) {
        char c = text[pos];
        if (toml_is_ws(c)) {
            pos++;
        } else if (c == '#') {
            // The comment runs to the first line feed or carriage return.
            const void *lf = std::memchr(text + pos, '\n', (size_t)(len - pos));
            Py_ssize_t end = lf ? static_cast<const char *>(lf) - text : len;
            const void *cr = std::memchr(text + pos, '\r', (size_t)(end - pos));
            pos = cr ? static_cast<const char *>(cr) - text : end;
        } else {
            break;
        }
    }
    ctx->pos = pos;
}

// ---------------------------------------------------------------------------
// Strings

// The bytes that end the plain run of a string: its quote, a backslash in
// basic strings, and the control bytes that it does not hold as content
// (a tab everywhere; line ends in multi-line basic strings; every control
// byte but the line ends in literal strings).  DEL is content.
inline Py_ssize_t toml_scan_run(const char *text, Py_ssize_t pos, Py_ssize_t len,
                                unsigned char stop, bool *high)
{
    if (stop == kClassLiteral)
        return qv::scan_plain_run(text, pos, len, '\'', '\'', false,
                                  [](char c) { return !toml_is_newline(c); }, high);
    return qv::scan_plain_run(text, pos, len, '"', '\\', false,
                              [stop](char c) { return !toml_has_class(c, stop); }, high);
}

// pos is on the byte after a backslash.  Decodes one escape into sb and
// leaves pos after it.
int toml_parse_escape(TomlCtx *ctx, qv::Buffer<char> &sb)
{
    if (ctx->pos >= ctx->len)
        return ctx->fail_at(ctx->len, "unterminated escape sequence");
    char c = ctx->text[ctx->pos++];
    if (c == 'u' || c == 'U') {
        int digits = c == 'u' ? 4 : 8;
        uint32_t cp = 0;
        qv::toml::Escape e = qv::toml::hex_escape(ctx->text, ctx->pos, ctx->len, digits, &cp);
        if (e == qv::toml::Escape::BadDigits)
            return ctx->fail("invalid unicode escape");
        ctx->pos += digits;
        if (e == qv::toml::Escape::NotScalar)
            return ctx->fail("invalid unicode scalar value");
        return qv::append_utf8(sb, cp) ? 0 : -1;
    }
    int out = qv::short_escape(c, false);
    if (out < 0)
        return ctx->fail("invalid escape character");
    return sb.push((char)out) ? 0 : -1;
}

// A backslash ends a line right before a line end, a lone CR included.
constexpr qv::toml::ContinuationRules kContinuation = {false, true};

// Basic string, single-line or multi-line (triple); pos is just past the
// opening delimiter.  A string without escapes is made straight from the
// document's bytes; the first backslash moves the content into ctx->scratch.
PyObject *toml_parse_basic_string(TomlCtx *ctx, bool triple)
{
    const char *text = ctx->text;
    const Py_ssize_t len = ctx->len;
    const unsigned char stop = triple ? kClassMlBasic : kClassBasic;
    Py_ssize_t pos = ctx->pos;

    // Only a raw line end written directly after the opening delimiter is
    // left out; a lone carriage return there is content.
    if (triple)
        pos += qv::toml::line_end_at(text, pos, len);

    const Py_ssize_t first = pos;  // start of the content
    Py_ssize_t run = pos;      // start of the bytes not yet copied
    bool high = false;         // a content byte is >= 0x80
    qv::Buffer<char> &sb = ctx->scratch;
    bool decoding = false;     // content is being collected in sb
    sb.clear();

    for (;;) {
        pos = toml_scan_run(text, pos, len, stop, &high);
        if (pos >= len)
            return ctx->fail_at(len, "unterminated string");
        char c = text[pos];
        if (c == '"') {
            if (!triple) {
                ctx->pos = pos + 1;
                break;
            }
            if (pos + 2 < len && text[pos + 1] == '"' && text[pos + 2] == '"') {
                ctx->pos = pos + 3;
                break;
            }
            pos++;  // a quote that does not close stays in the content
            continue;
        }
        if (c == '\\') {
            decoding = true;
            if (!sb.append(text + run, pos - run))
                return nullptr;
            pos++;
            if (pos >= len)
                return ctx->fail_at(len, "unterminated escape sequence");
            Py_ssize_t after = triple ? qv::toml::skip_line_continuation(
                                            text, pos, len, kContinuation) : -1;
            if (after >= 0) {
                // A line-ending backslash drops the line end and every blank
                // and line end after it.  The content before it must end
                // with a whole character, else the bytes after would
                // complete one the document does not hold: the document's
                // bytes up to the backslash are refused as they stand.
                if (high && qv::utf8_cut_at_end(sb.data(), sb.size()))
                    return ctx->strs.make(text + first, pos - 1 - first, true);
                pos = run = after;
                continue;
            }
            ctx->pos = pos;
            Py_ssize_t before = sb.size();
            if (toml_parse_escape(ctx, sb) < 0)
                return nullptr;
            high |= (unsigned char)sb[before] >= 0x80;  // a lead byte tells
            pos = ctx->pos;
            run = pos;
            continue;
        }
        if (!triple && toml_is_newline(c))
            return ctx->fail_at(pos, "newline in single-line string");
        return ctx->fail_at(pos, "control character in string");
    }

    Py_ssize_t end = ctx->pos - (triple ? 3 : 1);
    if (!decoding)
        return ctx->strs.make(text + run, end - run, high);
    if (!sb.append(text + run, end - run))
        return nullptr;
    PyObject *str = ctx->strs.make(sb.data(), sb.size(), high);
    if (str == nullptr)
        qv::note_refused(text, first, end);
    return str;
}

// Literal string, single-line or multi-line: no escapes, so the content is
// always a run of the document's own bytes.
PyObject *toml_parse_literal_string(TomlCtx *ctx, bool triple)
{
    const char *text = ctx->text;
    const Py_ssize_t len = ctx->len;
    Py_ssize_t pos = ctx->pos;
    bool high = false;

    if (!triple) {
        Py_ssize_t start = pos;
        pos = toml_scan_run(text, pos, len, kClassLiteral, &high);
        if (pos >= len)
            return ctx->fail_at(len, "unterminated literal string");
        if (text[pos] != '\'')
            return ctx->fail_at(pos, "newline in single-line literal string");
        ctx->pos = pos + 1;
        return ctx->strs.make(text + start, pos - start, high);
    }

    pos += qv::toml::line_end_at(text, pos, len);
    Py_ssize_t start = pos;
    for (;;) {
        const void *q = pos < len ? std::memchr(text + pos, '\'', (size_t)(len - pos)) : nullptr;
        if (q == nullptr)
            return ctx->fail_at(len, "unterminated literal string");
        pos = static_cast<const char *>(q) - text;
        if (pos + 2 < len && text[pos + 1] == '\'' && text[pos + 2] == '\'')
            break;
        pos++;
    }
    ctx->pos = pos + 3;
    return ctx->strs.make(text + start, pos - start, qv::any_high(text + start, pos - start));
}

// ---------------------------------------------------------------------------
// Keys and dotted key paths

// A key path: the keys as written, each with its quoted flag.  The flag
// says how a key was written, not what it holds: `a` and `"a"` are the same
// key, while `"a.b"` and `a.b` are not the same path.
struct KeySeg {
    PyObject *key;  // owned
    bool quoted;
    Py_ssize_t path_end;  // where this key's segment ends in ctx->path
    uint64_t hash_end;    // hash of the path string up to there
};

class KeyPath {
public:
    KeyPath() noexcept = default;
    KeyPath(const KeyPath &) = delete;
    KeyPath &operator=(const KeyPath &) = delete;
    ~KeyPath()
    {
        for (Py_ssize_t i = 0; i < segs.size(); i++)
            Py_DECREF(segs[i].key);
    }

    Py_ssize_t size() const noexcept { return segs.size(); }
    KeySeg &last() noexcept { return segs[segs.size() - 1]; }

    // Takes the reference to key, also on failure.
    bool push(PyObject *key, bool quoted)
    {
        if (segs.push({key, quoted, 0, 0}))
            return true;
        Py_DECREF(key);
        return false;
    }

    qv::Buffer<KeySeg, 8> segs;
};

// One bare or quoted key, starting exactly at pos.
PyObject *toml_parse_key(TomlCtx *ctx)
{
    const char *text = ctx->text;
    Py_ssize_t pos = ctx->pos;
    if (pos >= ctx->len)
        return ctx->fail_at(ctx->len, "unexpected end of input in key");
    char c = text[pos];
    if (c == '"') {
        ctx->pos = pos + 1;
        return toml_parse_basic_string(ctx, false);
    }
    if (c == '\'') {
        ctx->pos = pos + 1;
        return toml_parse_literal_string(ctx, false);
    }
    Py_ssize_t start = pos;
    pos = qv::toml::skip_bare_key(text, pos, ctx->len);
    if (pos == start)
        return ctx->fail_at(start, "invalid key");
    ctx->pos = pos;
    return ctx->keys.get(ctx->strs, text + start, pos - start, false);
}

// Where a key path stands: in a key/value line an '=' ends it; in a header
// only what cannot continue it does.
enum class KeyPathIn { Header, KeyValue };

// A dotted key path into kp (empty on entry).  Leaves pos on the first byte
// after the path and the blanks that follow it.
int toml_parse_key_path(TomlCtx *ctx, KeyPathIn where, KeyPath *kp)
{
    for (;;) {
        toml_skip_ws(ctx);
        if (ctx->pos >= ctx->len || (where == KeyPathIn::KeyValue && ctx->text[ctx->pos] == '=')) {
            if (kp->size() == 0)
                return ctx->fail("expected key");
            return 0;
        }
        char c = ctx->text[ctx->pos];
        bool quoted = c == '"' || c == '\'';
        PyObject *key = toml_parse_key(ctx);
        if (key == nullptr || !kp->push(key, quoted))
            return -1;
        toml_skip_ws(ctx);
        if (ctx->eat('.'))
            continue;
        return 0;
    }
}

// ---------------------------------------------------------------------------
// Scalar values

PyObject *toml_parse_array(TomlCtx *ctx);
PyObject *toml_parse_inline_table(TomlCtx *ctx);

// A token holding ':' anywhere, or starting like YYYY-MM-DD, is a date-time
// and is kept as its text; nothing else of it is checked.
bool toml_token_is_datetime(const char *s, Py_ssize_t n)
{
    if (std::memchr(s, ':', (size_t)n) != nullptr)
        return true;
    return n >= 10 && qv::is_digit(s[0]) && s[4] == '-' && s[7] == '-';
}

// Sign, digits, an optional fraction and an optional exponent: the shape
// that the interpreter's correctly rounded reader converts exactly as
// strtod does.
bool toml_is_plain_decimal(const char *s, Py_ssize_t n)
{
    Py_ssize_t i = n > 0 && (s[0] == '+' || s[0] == '-') ? 1 : 0;
    Py_ssize_t end = qv::skip_digit_run(s, i, n);
    Py_ssize_t digits = end - i;
    i = end;
    if (i < n && s[i] == '.') {
        end = qv::skip_digit_run(s, i + 1, n);
        digits += end - (i + 1);
        i = end;
    }
    if (digits == 0)
        return false;
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        i++;
        if (i < n && (s[i] == '+' || s[i] == '-'))
            i++;
        end = qv::skip_digit_run(s, i, n);
        if (end == i)
            return false;
        i = end;
    }
    return i == n;
}

double toml_nan()
{
    uint64_t bits = 0x7ff8000000000000ull;
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

// A float token must convert in full once its '_' bytes are dropped; what
// converts, and to what, is what strtod accepts in the "C" locale.  Errors
// are reported at pos, the first byte after the token.
PyObject *toml_parse_float_token(TomlCtx *ctx, const char *s, Py_ssize_t n)
{
    if (n <= 4) {
        const char *w = (s[0] == '+' || s[0] == '-') ? s + 1 : s;
        Py_ssize_t wn = n - (w - s);
        if (wn == 3 && std::memcmp(w, "inf", 3) == 0)
            return PyFloat_FromDouble(s[0] == '-' ? -Py_HUGE_VAL : Py_HUGE_VAL);
        if (wn == 3 && std::memcmp(w, "nan", 3) == 0)
            return PyFloat_FromDouble(toml_nan());
    }

    // A control byte (NUL above all) would end the conversion early.
    for (Py_ssize_t k = 0; k < n; k++) {
        if ((unsigned char)s[k] < 0x20)
            return ctx->fail("invalid float");
    }
    qv::CText copy;
    const char *buf = copy.copy(s, n, '_');
    if (buf == nullptr)
        return nullptr;
    Py_ssize_t m = copy.size();

    double d = 0.0;
    char *end = const_cast<char *>(buf);
    if (toml_is_plain_decimal(buf, m)) {
        d = PyOS_string_to_double(buf, &end, nullptr);
        if (d == -1.0 && PyErr_Occurred()) {
            if (!qv::refused())
                return nullptr;
            end = const_cast<char *>(buf);
        }
    }
    if (end != buf + m) {
        locale_t c_locale = ctx->c_locale.get();
        if (c_locale == (locale_t)0)
            return nullptr;
        d = strtod_l(buf, &end, c_locale);
    }
    if (m == 0 || end != buf + m)
        return ctx->fail("invalid float");
    return PyFloat_FromDouble(d);
}

// Integers in four bases, checked strictly and exact at any size.  Errors
// are reported at pos, the first byte after the token.
PyObject *toml_parse_int_token(TomlCtx *ctx, const char *s, Py_ssize_t n)
{
    bool has_sign = false;
    Py_ssize_t i = 0;
    if (s[0] == '+' || s[0] == '-') {
        has_sign = true;
        i = 1;
    }
    int base = 10;
    if (i + 1 < n && s[i] == '0') {
        if (int radix = qv::toml::radix_of(s[i + 1], true)) {
            base = radix;
            i += 2;
        }
    }
    if (base != 10 && has_sign)
        return ctx->fail("sign not allowed on non-decimal integer");
    if (base == 10 && n - i > 1 && s[i] == '0') {
        return ctx->fail("leading zeros are not allowed in integers");
    }

    // Digits that surely fit in 63 bits are summed on the way.
    const Py_ssize_t fast_digits = base == 10 ? 18 : base == 16 ? 15 : base == 8 ? 20 : 62;
    qv::toml::Digits run = qv::toml::digit_run(s, i, n, base);
    if (run.fault == qv::toml::DigitFault::Underscore)
        return ctx->fail("underscores must be surrounded by digits");
    if (i == n)
        return ctx->fail("invalid integer");
    if (run.fault != qv::toml::DigitFault::None || run.end != n)
        return ctx->fail("invalid digit in integer");
    unsigned long long v = 0;
    Py_ssize_t digits = 0;
    for (Py_ssize_t k = i; k < n; k++) {
        if (s[k] != '_') {
            v = v * (unsigned)base + (unsigned)qv::digit_value(s[k], base);
            digits++;
        }
    }
    bool negative = s[0] == '-';
    if (digits <= fast_digits)
        return qv::int_from_magnitude(v, negative);
    PyObject *result = qv::big_int(s + i, n - i, base, negative);
    // Past the interpreter's limit on decimal digits, for one.
    if (result == nullptr && qv::refused())
        return ctx->fail("invalid integer");
    return result;
}

// Numbers, date-times, inf and nan: one run of token bytes, classified by
// its shape.  pos stays on the first byte after the token.
PyObject *toml_parse_token(TomlCtx *ctx)
{
    const char *text = ctx->text;
    Py_ssize_t start = ctx->pos, pos = start, len = ctx->len;
    bool has_dot = false, has_e = false;
    while (pos < len && toml_is_token_char(text[pos])) {
        char c = text[pos];
        has_dot |= c == '.';
        has_e |= c == 'e' || c == 'E';
        pos++;
    }
    ctx->pos = pos;
    const char *tok = text + start;
    Py_ssize_t n = pos - start;

    if (toml_token_is_datetime(tok, n))
        return ctx->strs.make(tok, n);
    Py_ssize_t start_i = (tok[0] == '+' || tok[0] == '-') ? 1 : 0;
    bool is_hex = n - start_i > 1 && tok[start_i] == '0' &&
                  (tok[start_i + 1] == 'x' || tok[start_i + 1] == 'X');
    if (is_hex)
        has_e = false;  // a hexadecimal digit here
    if (has_dot || has_e)
        return toml_parse_float_token(ctx, tok, n);
    if (n - start_i == 3 && (std::memcmp(tok + start_i, "inf", 3) == 0 ||
                             std::memcmp(tok + start_i, "nan", 3) == 0))
        return toml_parse_float_token(ctx, tok, n);
    return toml_parse_int_token(ctx, tok, n);
}

PyObject *toml_parse_value_at(TomlCtx *ctx)
{
    const char *text = ctx->text;
    Py_ssize_t pos = ctx->pos;
    char c = text[pos];
    switch (c) {
    case '"':
    case '\'': {
        bool triple = pos + 2 < ctx->len && text[pos + 1] == c && text[pos + 2] == c;
        ctx->pos = pos + (triple ? 3 : 1);
        return c == '"' ? toml_parse_basic_string(ctx, triple)
                        : toml_parse_literal_string(ctx, triple);
    }
    case '[':
        return toml_parse_array(ctx);
    case '{':
        return toml_parse_inline_table(ctx);
    case 't':
        if (ctx->len - pos >= 4 && std::memcmp(text + pos, "true", 4) == 0) {
            ctx->pos = pos + 4;
            Py_RETURN_TRUE;
        }
        break;
    case 'f':
        if (ctx->len - pos >= 5 && std::memcmp(text + pos, "false", 5) == 0) {
            ctx->pos = pos + 5;
            Py_RETURN_FALSE;
        }
        break;
    case '+': case '-': case 'i': case 'n':
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9':
        return toml_parse_token(ctx);
    default:
        break;
    }
    return ctx->fail("unexpected character in value");
}

// Any value, after the blanks, line ends and comments before it.  Every
// value counts toward the nesting limit, scalars included.
PyObject *toml_parse_value(TomlCtx *ctx)
{
    toml_skip_ws_comments(ctx);
    if (ctx->pos >= ctx->len)
        return ctx->fail("unexpected end of input in value");
    if (!ctx->depth.enter())
        return ctx->fail("max depth exceeded");
    PyObject *value = toml_parse_value_at(ctx);
    ctx->depth.leave();
    return value;
}

// ---------------------------------------------------------------------------
// Arrays and inline tables

// pos is on the '['.  Blanks, line ends and comments may stand anywhere
// between the elements; one trailing comma is accepted.
PyObject *toml_parse_array(TomlCtx *ctx)
{
    static constexpr qv::ListRules kRules = {
        ']', "unterminated array", nullptr, "expected ',' or ']' in array"};
    qv::Ref list(PyList_New(0));
    if (!list)
        return nullptr;
    ctx->pos++;
    if (qv::list_closes_at_once(ctx, toml_skip_ws_comments, ']'))
        return list.release();
    for (;;) {
        qv::Ref item(toml_parse_value(ctx));
        if (!item || PyList_Append(list.get(), item.get()) < 0)
            return nullptr;
        qv::Next next = qv::after_list_item(ctx, toml_skip_ws_comments, kRules);
        if (next == qv::Next::Closed)
            return list.release();
        if (next == qv::Next::Failed)
            return nullptr;
    }
}

// pos is on the '{'.  Keys are single keys, not dotted paths; line ends may
// stand between the parts, comments only just before a value.  A key given
// twice keeps its first place and its last value.
PyObject *toml_parse_inline_table(TomlCtx *ctx)
{
    static constexpr qv::ListRules kRules = {
        '}', "unterminated inline table", "trailing comma in inline table",
        "expected ',' or '}' in inline table"};
    qv::Ref dict(PyDict_New());
    if (!dict)
        return nullptr;
    ctx->pos++;
    if (qv::list_closes_at_once(ctx, toml_skip_ws, '}'))
        return dict.release();
    for (;;) {
        toml_skip_ws(ctx);
        qv::Ref key(toml_parse_key(ctx));
        if (!key)
            return nullptr;
        toml_skip_ws(ctx);
        if (!ctx->eat('='))
            return ctx->fail("expected '=' in inline table");
        toml_skip_ws(ctx);
        qv::Ref value(toml_parse_value(ctx));
        if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0)
            return nullptr;
        qv::Next next = qv::after_list_item(ctx, toml_skip_ws, kRules);
        if (next == qv::Next::Closed)
            return dict.release();
        if (next == qv::Next::Failed)
            return nullptr;
    }
}

// ---------------------------------------------------------------------------
// Path strings
//
// The canonical text of a path from the root: segments joined by '.', with
// every '.' and '\' of a quoted segment escaped by a '\', so that `"a.b".c`
// and `a.b.c` differ while `"port"` and `port` agree.  Below an element of
// an array of tables the path carries the element's index segment `[k]`.
// A segment is all of its key's UTF-8 bytes, NUL included.
//
// They are built in ctx->path, whose first current_table_path_len bytes
// always hold the path string of the current table, and each key segment's
// end is noted in its KeySeg: the path strings of the key path's prefixes
// are then just shorter lengths of the same bytes.

// Hashes of path strings.  A path string splits in exactly one way into
// its segments (every '\' in it begins an escape pair, every other '.'
// separates), so a hash folded over the segments, each hashed by its own
// bytes, is a hash of the string itself.  The fold of the current table's
// path is kept, and each segment is hashed (qv::hash_bytes) as it is written
// into the path string and folded in (qv::hash_combine).

// Writes the segment of a quoted key at out; returns the end of it.
char *toml_escape_segment(char *out, const char *s, Py_ssize_t n)
{
    for (Py_ssize_t i = 0; i < n; i++) {
        char c = s[i];
        if (c == '.' || c == '\\')
            *out++ = '\\';
        *out++ = c;
    }
    return out;
}

// Appends the key segments of kp to ctx->path, each after a '.' unless it
// is the very first segment of the path string, folding their hashes into h.
int toml_append_key_segments(TomlCtx *ctx, KeyPath *kp, bool first, uint64_t h)
{
    qv::Buffer<char, 256> &sb = ctx->path;
    for (Py_ssize_t i = 0; i < kp->size(); i++) {
        PyObject *key = kp->segs[i].key;
        const char *bytes;
        Py_ssize_t n;
        if (PyUnicode_IS_COMPACT_ASCII(key)) {
            bytes = static_cast<const char *>(PyUnicode_DATA(key));
            n = PyUnicode_GET_LENGTH(key);
        } else {
            bytes = PyUnicode_AsUTF8AndSize(key, &n);
            if (bytes == nullptr)
                return -1;
        }
        if (!first && !sb.push('.'))
            return -1;
        Py_ssize_t start = sb.size();
        if (!kp->segs[i].quoted) {
            if (!sb.append(bytes, n))
                return -1;
        } else {
            if (!sb.reserve(2 * n))
                return -1;
            sb.set_size(toml_escape_segment(sb.end(), bytes, n) - sb.data());
        }
        // A segment is hashed as written into the path string.
        h = qv::hash_combine(h, qv::hash_bytes(sb.data() + start, sb.size() - start));
        first = false;
        kp->segs[i].path_end = sb.size();
        kp->segs[i].hash_end = h;
    }
    return 0;
}

// Path string of a header's key path, from the root.
int toml_path_str(TomlCtx *ctx, KeyPath *kp)
{
    ctx->path.clear();
    ctx->stmt_head_off = 0;
    ctx->stmt_head_len = 0;
    ctx->stmt_tail_off = -1;
    return toml_append_key_segments(ctx, kp, true, ctx->defined.seed);
}

// Path string of a key/value line's key path behind the current table path.
int toml_abs_path_str(TomlCtx *ctx, KeyPath *kp)
{
    ctx->path.set_size(ctx->current_table_path_len);
    ctx->stmt_head_off = ctx->current_table_path_off;
    ctx->stmt_head_len = ctx->current_table_path_len;
    ctx->stmt_tail_off = -1;
    return toml_append_key_segments(ctx, kp, ctx->current_table_is_root,
                                    ctx->current_table_hash);
}

// ---------------------------------------------------------------------------
// Table model

constexpr uint64_t kSlotTag = 0xFFFFFFFF00000000ull;  // the hash half in a slot

inline uint64_t toml_slot_of(uint64_t hash, Py_ssize_t index)
{
    return (hash & kSlotTag) | (uint64_t)index;
}

// Whether entry e holds the path string made of the head_len bytes at
// head_off in the store followed by the tail_len bytes at tail.
bool toml_entry_matches(const PathSet *set, const PathEntry *e, Py_ssize_t head_off,
                        Py_ssize_t head_len, const char *tail, Py_ssize_t tail_len)
{
    if (e->head_len + e->tail_len != head_len + tail_len)
        return false;
    const char *base = set->bytes.data();
    if (e->head_len == head_len && e->head_off == head_off)
        return tail_len == 0 || std::memcmp(base + e->tail_off, tail, (size_t)tail_len) == 0;
    // Split at different places: compare the two byte sequences piecewise.
    const char *a[2] = {base + e->head_off, base + e->tail_off};
    Py_ssize_t an[2] = {e->head_len, e->tail_len};
    const char *b[2] = {base + head_off, tail};
    Py_ssize_t bn[2] = {head_len, tail_len};
    int ai = 0, bi = 0;
    Py_ssize_t ao = 0, bo = 0;
    while (ai < 2 && bi < 2) {
        if (ao == an[ai]) {
            ai++;
            ao = 0;
        } else if (bo == bn[bi]) {
            bi++;
            bo = 0;
        } else {
            Py_ssize_t k = an[ai] - ao < bn[bi] - bo ? an[ai] - ao : bn[bi] - bo;
            if (std::memcmp(a[ai] + ao, b[bi] + bo, (size_t)k) != 0)
                return false;
            ao += k;
            bo += k;
        }
    }
    return true;
}

// The index of the entry of the path string ctx->path[0 .. end), a prefix
// of the statement's path string, added with no kinds when it is new;
// kinds 0 means that the path string is in none of the four sets.  h is
// its hash.  -1 with a memory error set on failure.
Py_ssize_t toml_set_entry(TomlCtx *ctx, Py_ssize_t end, uint64_t h)
{
    PathSet *set = &ctx->defined;
    if (set->slots.full()) {
        // An entry's index has the low half of its slot.
        if (set->entries.size() >= 0x7FFFFFFF) {
            PyErr_NoMemory();
            return -1;
        }
        auto hash_of = [set](uint64_t slot) { return set->entries[(Py_ssize_t)(slot & ~kSlotTag)].hash; };
        if (!set->slots.grow(hash_of))
            return -1;
    }
    Py_ssize_t head_len = ctx->stmt_head_len;
    const char *tail = ctx->path.data() + head_len;
    Py_ssize_t tail_len = end - head_len;
    uint64_t tag = h & kSlotTag;
    size_t i = set->slots.home(h);
    for (; set->slots.used(i); i = set->slots.next(i)) {
        uint64_t slot = set->slots.at(i);
        if ((slot & kSlotTag) == tag) {
            Py_ssize_t k = (Py_ssize_t)(slot & ~kSlotTag);
            if (toml_entry_matches(set, &set->entries[k], ctx->stmt_head_off, head_len,
                                   tail, tail_len))
                return k;
        }
    }
    if (ctx->stmt_tail_off < 0) {
        ctx->stmt_tail_off = set->bytes.size();
        if (!set->bytes.append(tail, ctx->path.size() - head_len))
            return -1;
    }
    Py_ssize_t k = set->entries.size();
    if (!set->entries.push({h, ctx->stmt_head_off, head_len, ctx->stmt_tail_off, tail_len, 0}))
        return -1;
    set->slots.at(i) = toml_slot_of(h, k);
    set->slots.take(i);
    return k;
}

inline unsigned char &toml_kinds(TomlCtx *ctx, Py_ssize_t entry)
{
    return ctx->defined.entries[entry].kinds;
}

// Stores the path string of the new current table, now at the front of
// ctx->path, for the statements under it.
int toml_store_table_path(TomlCtx *ctx, uint64_t hash)
{
    ctx->current_table_path_off = ctx->defined.bytes.size();
    if (!ctx->defined.bytes.append(ctx->path.data(), ctx->path.size()))
        return -1;
    ctx->current_table_path_len = ctx->path.size();
    ctx->current_table_is_root = false;
    ctx->current_table_hash = hash;
    return 0;
}

// What a statement may not meet in its path string's entry: the first rule
// whose kinds the entry has decides the message, reported at pos.
struct TomlConflict {
    unsigned char kinds;
    const char *msg;
};

int toml_refuse_conflict(TomlCtx *ctx, Py_ssize_t entry, const TomlConflict *rules, size_t n)
{
    for (size_t k = 0; k < n; k++) {
        if (toml_kinds(ctx, entry) & rules[k].kinds)
            return ctx->fail(rules[k].msg);
    }
    return 0;
}

// Records the path strings of the proper prefixes of the key path just
// built in ctx->path as implicitly created tables.
int toml_mark_implicit(TomlCtx *ctx, KeyPath *kp)
{
    for (Py_ssize_t m = 0; m + 1 < kp->size(); m++) {
        Py_ssize_t e = toml_set_entry(ctx, kp->segs[m].path_end, kp->segs[m].hash_end);
        if (e < 0)
            return -1;
        toml_kinds(ctx, e) |= kImplicitTable;
    }
    return 0;
}

// The dict that is to hold the last key of kp, found or created below
// container.  Any other value on the way, a list included, stops the walk.
// Returns a borrowed reference.
PyObject *toml_navigate(TomlCtx *ctx, PyObject *container, KeyPath *kp)
{
    PyObject *cur = container;
    for (Py_ssize_t i = 0; i + 1 < kp->size(); i++) {
        cur = qv::child_dict(cur, kp->segs[i].key);
        if (cur == nullptr)
            return nullptr;
        if (!PyDict_Check(cur))
            return ctx->fail("cannot extend a key as a table");
    }
    return cur;
}

// One key/value line, reported at pos, just after the value.  A line never
// replaces what its target table already holds.
int toml_apply_key_value(TomlCtx *ctx, KeyPath *kp, PyObject *value)
{
    PyObject *container = toml_navigate(ctx, ctx->current_table.get(), kp);
    if (container == nullptr)
        return -1;
    if (toml_abs_path_str(ctx, kp) < 0)
        return -1;
    Py_ssize_t e = toml_set_entry(ctx, ctx->path.size(), kp->last().hash_end);
    if (e < 0)
        return -1;
    // Implicit tables are no conflict: the tree test below decides.
    static constexpr TomlConflict kRules[] = {
        {kDefinedKey, "duplicate key"},
        {kDefinedTable | kDefinedArray, "key redefines a table"},
    };
    if (toml_refuse_conflict(ctx, e, kRules, std::size(kRules)) < 0)
        return -1;
    PyObject *found = nullptr;
    int had = PyDict_SetDefaultRef(container, kp->last().key, value, &found);
    Py_XDECREF(found);
    if (had < 0)
        return -1;
    if (had > 0)
        return ctx->fail("duplicate key");
    toml_kinds(ctx, e) |= kDefinedKey;
    return toml_mark_implicit(ctx, kp);
}

// ---------------------------------------------------------------------------
// Table headers.  [table] and [[array of tables]] are one operation driven
// by their rules.  Both start at the root and report at pos: the start of
// the statement after the header, or the end of the text.  On success the
// path string of the new current table is left at the front of ctx->path.

struct TomlHeaderRules {
    unsigned char kind;             // what the header records for its path
    TomlConflict conflicts[4];      // in order; an unused one has kinds 0
    PyObject *(*make)();            // the value a new path gets
    int (*fits)(PyObject *);        // whether an existing value is one
    const char *misfit;             // the error for one that is not
    bool appends;                   // a new table is appended to the value
};

// [a.b]: opens the table, or reopens a dict that only a dotted key or an
// inline table made.
constexpr TomlHeaderRules kTableHeader = {
    kDefinedTable,
    {{kDefinedTable, "duplicate table header"},
     {kDefinedArray, "table header conflicts with array-of-tables"},
     {kImplicitTable, "cannot redefine implicitly created table"},
     {kDefinedKey, "cannot redefine a key as a table"}},
    qv::new_dict, [](PyObject *o) { return PyDict_Check(o); },
    "cannot redefine a key as a table", false,
};

// [[a.b]]: appends a new table to the list under the path, creating the
// list on first use.  A repeated [[header]] appends: an array of tables is
// no conflict.
constexpr TomlHeaderRules kArrayHeader = {
    kDefinedArray,
    {{kDefinedKey, "array table redefines a key"},
     {kDefinedTable, "cannot mix table and array-of-tables"},
     {kImplicitTable, "cannot redefine implicitly created table"},
     {0, nullptr}},
    qv::new_list, [](PyObject *o) { return PyList_Check(o); },
    "key is not an array of tables", true,
};

// Appends the index segment ".[k]" of the element just appended to list
// to ctx->path, and returns the hash of the path string so extended.
// The element's path ends in [k], k counting every item the list holds.
bool toml_append_index_segment(TomlCtx *ctx, PyObject *list, uint64_t *hash)
{
    // ".[k]", k written backwards from the end of the block.
    char index[32];
    char *p = index + sizeof index;
    *--p = ']';
    size_t k = (size_t)(PyList_GET_SIZE(list) - 1);
    do {
        *--p = (char)('0' + k % 10);
        k /= 10;
    } while (k != 0);
    *--p = '[';
    *hash = qv::hash_combine(*hash, qv::hash_bytes(p, index + sizeof index - p));
    *--p = '.';
    return ctx->path.append(p, index + sizeof index - p);
}

// Returns a new reference to the new current table.
PyObject *toml_apply_header(TomlCtx *ctx, KeyPath *kp, const TomlHeaderRules &rules)
{
    if (toml_path_str(ctx, kp) < 0)
        return nullptr;
    Py_ssize_t e = toml_set_entry(ctx, ctx->path.size(), kp->last().hash_end);
    if (e < 0)
        return nullptr;
    if (toml_refuse_conflict(ctx, e, rules.conflicts, std::size(rules.conflicts)) < 0)
        return nullptr;
    PyObject *container = toml_navigate(ctx, ctx->root.get(), kp);
    if (container == nullptr)
        return nullptr;
    PyObject *value = qv::get_or_add(container, kp->last().key, rules.make);
    if (value == nullptr)
        return nullptr;
    if (!rules.fits(value))
        return ctx->fail(rules.misfit);
    qv::Ref table(Py_NewRef(value));
    if (rules.appends) {
        table.reset(PyDict_New());
        if (!table || PyList_Append(value, table.get()) < 0)
            return nullptr;
    }
    toml_kinds(ctx, e) |= rules.kind;
    if (toml_mark_implicit(ctx, kp) < 0)
        return nullptr;
    uint64_t hash = kp->last().hash_end;
    if (rules.appends && !toml_append_index_segment(ctx, value, &hash))
        return nullptr;
    if (toml_store_table_path(ctx, hash) < 0)
        return nullptr;
    return table.release();
}

// ---------------------------------------------------------------------------
// Document driver

// A header: pos is on its first '['.
int toml_parse_header(TomlCtx *ctx)
{
    ctx->pos++;
    bool is_array_table = ctx->eat('[');
    KeyPath kp;
    if (toml_parse_key_path(ctx, KeyPathIn::Header, &kp) < 0)
        return -1;
    toml_skip_ws(ctx);
    if (!ctx->eat(']'))
        return ctx->fail("expected ']' in table header");
    if (is_array_table && !ctx->eat(']'))
        return ctx->fail("expected ']]' in array-of-tables header");
    toml_skip_ws_comments(ctx);
    PyObject *table = toml_apply_header(ctx, &kp, is_array_table ? kArrayHeader : kTableHeader);
    if (table == nullptr)
        return -1;
    ctx->current_table.reset(table);
    return 0;
}

// A key/value line: pos is on the first byte of its key path.
int toml_parse_key_value_line(TomlCtx *ctx)
{
    KeyPath kp;
    if (toml_parse_key_path(ctx, KeyPathIn::KeyValue, &kp) < 0)
        return -1;
    toml_skip_ws(ctx);
    if (!ctx->eat('='))
        return ctx->fail("expected '=' after key");
    qv::Ref value(toml_parse_value(ctx));
    if (!value)
        return -1;
    return toml_apply_key_value(ctx, &kp, value.get());
}

}  // namespace

// Statements follow each other with no end-of-line rule: each ends where its
// last token ends, and blanks, line ends and comments separate them.
QUORVANE_API PyObject *quorvane_parse_toml_text(const char *text, Py_ssize_t len)
{
    TomlCtx ctx(text, len);
    ctx.root.reset(PyDict_New());
    if (!ctx.root)
        return nullptr;
    ctx.current_table.reset(Py_NewRef(ctx.root.get()));
    for (;;) {
        toml_skip_ws_comments(&ctx);
        if (ctx.pos >= ctx.len)
            return ctx.root.release();
        int rc = ctx.text[ctx.pos] == '[' ? toml_parse_header(&ctx)
                                          : toml_parse_key_value_line(&ctx);
        if (rc < 0)
            return nullptr;
    }
}
