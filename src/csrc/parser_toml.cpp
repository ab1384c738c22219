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

#include <clocale>
#include <cstdint>
#include <cstring>
#include <locale.h>

namespace {

// ---------------------------------------------------------------------------
// Character classes

enum : unsigned char {
    CC_WS = 1,       // space, tab, line feed, carriage return
    CC_BARE = 2,     // may stand in a bare key
    CC_TOKEN = 4,    // may stand in a number or date-time token
    CC_BASIC = 8,    // ends the plain run of a single-line basic string
    CC_MLBASIC = 16, // ends the plain run of a multi-line basic string
    CC_LITERAL = 32, // ends the plain run of a single-line literal string
};

struct CharClasses {
    unsigned char c[256];
    constexpr CharClasses() : c()
    {
        for (int i = 0; i < 256; i++) {
            unsigned char v = 0;
            if (i == ' ' || i == '\t' || i == '\n' || i == '\r')
                v |= CC_WS;
            if ((i >= 'A' && i <= 'Z') || (i >= 'a' && i <= 'z') ||
                (i >= '0' && i <= '9') || i == '-' || i == '_')
                v |= CC_BARE;
            if (!(i == ' ' || i == '\t' || i == '\n' || i == '\r' || i == '#' ||
                  i == ',' || i == ']' || i == '}' || i == '='))
                v |= CC_TOKEN;
            if (i == '"' || i == '\\' || (i < 0x20 && i != '\t'))
                v |= CC_BASIC;
            if (i == '"' || i == '\\' || (i < 0x20 && i != '\t' && i != '\n' && i != '\r'))
                v |= CC_MLBASIC;
            if (i == '\'' || i == '\n' || i == '\r')
                v |= CC_LITERAL;
            c[i] = v;
        }
    }
};

constexpr CharClasses kClass;

inline bool toml_has_class(char c, unsigned char cls)
{
    return (kClass.c[(unsigned char)c] & cls) != 0;
}

inline bool toml_is_ws(char c) { return toml_has_class(c, CC_WS); }
inline bool toml_is_newline(char c) { return c == '\n' || c == '\r'; }
inline bool toml_is_bare_char(char c) { return toml_has_class(c, CC_BARE); }
inline bool toml_is_token_char(char c) { return toml_has_class(c, CC_TOKEN); }

// ---------------------------------------------------------------------------
// Growable byte buffer.  Its functions set no exception: the caller raises
// the memory error.  A zeroed StrBuf is a valid empty buffer.

struct StrBuf {
    char *buf;
    Py_ssize_t cap;
    Py_ssize_t len;
};

int sb_reserve(StrBuf *sb, Py_ssize_t extra)
{
    if (extra <= sb->cap - sb->len)
        return 0;
    if (extra > PY_SSIZE_T_MAX / 2 - sb->len)
        return -1;
    Py_ssize_t need = sb->len + extra;
    Py_ssize_t cap = sb->cap < 128 ? 128 : sb->cap;
    while (cap < need)
        cap *= 2;
    char *grown = static_cast<char *>(std::realloc(sb->buf, (size_t)cap));
    if (grown == nullptr)
        return -1;
    sb->buf = grown;
    sb->cap = cap;
    return 0;
}

inline int sb_append(StrBuf *sb, const char *data, Py_ssize_t n)
{
    if (sb_reserve(sb, n) < 0)
        return -1;
    if (n > 0)
        std::memcpy(sb->buf + sb->len, data, (size_t)n);
    sb->len += n;
    return 0;
}

inline int sb_putc(StrBuf *sb, char c)
{
    if (sb->len == sb->cap && sb_reserve(sb, 1) < 0)
        return -1;
    sb->buf[sb->len++] = c;
    return 0;
}

void sb_free(StrBuf *sb)
{
    std::free(sb->buf);
    sb->buf = nullptr;
    sb->cap = 0;
    sb->len = 0;
}

// ---------------------------------------------------------------------------
// Bookkeeping of defined paths: one native hash table maps each path string
// to the kinds of definition recorded for it.  A path string is compared by
// its length and all its bytes, NUL bytes included.

enum : unsigned char {
    TOML_DEFINED_KEY = 1,    // assigned by a key/value line
    TOML_DEFINED_TABLE = 2,  // opened by a [table] header
    TOML_DEFINED_ARRAY = 4,  // opened by an [[array of tables]] header
    TOML_IMPLICIT_TABLE = 8, // created on the way to a deeper key or table
};

struct PathEntry {
    uint64_t hash;      // 0 marks a free slot
    Py_ssize_t offset;  // bytes in PathSet::bytes
    Py_ssize_t len;
    unsigned char kinds;
};

struct PathSet {
    PathEntry *slots;
    size_t mask;        // slot count - 1; the count is a power of two
    size_t used;
    StrBuf bytes;       // every stored path string, back to back
    uint64_t seed;
};

// ---------------------------------------------------------------------------
// Parser state, one per call.

constexpr int TOML_MAX_DEPTH = 512;
constexpr int TOML_KEY_CACHE_SIZE = 256;
constexpr Py_ssize_t TOML_KEY_CACHE_MAX_LEN = 48;

struct TomlCtx {
    const char *text;
    Py_ssize_t len;
    Py_ssize_t pos;
    int depth;

    PyObject *root;
    PyObject *current_table;
    // The path string of the current table lives at the front of `path`
    // (current_table_path_len bytes, current_table_nseg segments); each
    // statement builds its own path string right after it.
    StrBuf path;
    Py_ssize_t current_table_path_len;
    Py_ssize_t current_table_nseg;
    PathSet defined;

    StrBuf scratch;          // decoded content of strings with escapes
    locale_t c_locale;       // made on the first float that needs strtod_l
    PyObject *key_cache[TOML_KEY_CACHE_SIZE];
};

void toml_error(TomlCtx *ctx, const char *msg)
{
    int line, col;
    quorvane_line_col(ctx->text, ctx->pos, &line, &col);
    quorvane_raise_error(msg, line, col);
}

// Raises msg at offset and returns NULL, for the readers that build objects.
PyObject *toml_fail_at(TomlCtx *ctx, Py_ssize_t offset, const char *msg)
{
    ctx->pos = offset;
    toml_error(ctx, msg);
    return nullptr;
}

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
            pos++;
            while (pos < len && !toml_is_newline(text[pos]))
                pos++;
        } else {
            break;
        }
    }
    ctx->pos = pos;
}

// ---------------------------------------------------------------------------
// Strings

// A str from bytes already known to be ASCII skips the UTF-8 decoder.
PyObject *toml_new_str(const char *s, Py_ssize_t n, bool ascii)
{
    if (!ascii)
        return quorvane_new_str(s, n);
    PyObject *str = PyUnicode_New(n, 127);
    if (str != nullptr && n > 0)
        std::memcpy(PyUnicode_1BYTE_DATA(str), s, (size_t)n);
    return str;
}

inline int toml_hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int toml_append_utf8(StrBuf *sb, unsigned int cp)
{
    char out[4];
    Py_ssize_t n;
    if (cp < 0x80) {
        out[0] = (char)cp;
        n = 1;
    } else if (cp < 0x800) {
        out[0] = (char)(0xC0 | (cp >> 6));
        out[1] = (char)(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        out[0] = (char)(0xE0 | (cp >> 12));
        out[1] = (char)(0x80 | ((cp >> 6) & 0x3F));
        out[2] = (char)(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        out[0] = (char)(0xF0 | (cp >> 18));
        out[1] = (char)(0x80 | ((cp >> 12) & 0x3F));
        out[2] = (char)(0x80 | ((cp >> 6) & 0x3F));
        out[3] = (char)(0x80 | (cp & 0x3F));
        n = 4;
    }
    return sb_append(sb, out, n);
}

// pos is on the byte after a backslash.  Decodes one escape into sb and
// leaves pos after it.
int toml_parse_escape(TomlCtx *ctx, StrBuf *sb)
{
    if (ctx->pos >= ctx->len) {
        ctx->pos = ctx->len;
        toml_error(ctx, "unterminated escape sequence");
        return -1;
    }
    char c = ctx->text[ctx->pos++];
    char out;
    switch (c) {
    case 'b': out = '\b'; break;
    case 't': out = '\t'; break;
    case 'n': out = '\n'; break;
    case 'f': out = '\f'; break;
    case 'r': out = '\r'; break;
    case '"': out = '"'; break;
    case '\\': out = '\\'; break;
    case 'u':
    case 'U': {
        Py_ssize_t digits = c == 'u' ? 4 : 8;
        // The bound is the whole text: a closing quote among the next
        // digits is read as a digit and fails the hex test.
        if (digits > ctx->len - ctx->pos) {
            toml_error(ctx, "invalid unicode escape");
            return -1;
        }
        unsigned int cp = 0;
        for (Py_ssize_t k = 0; k < digits; k++) {
            int d = toml_hex_digit(ctx->text[ctx->pos + k]);
            if (d < 0) {
                toml_error(ctx, "invalid unicode escape");
                return -1;
            }
            cp = cp * 16 + (unsigned int)d;
        }
        ctx->pos += digits;
        if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
            toml_error(ctx, "invalid unicode scalar value");
            return -1;
        }
        if (toml_append_utf8(sb, cp) < 0) {
            PyErr_NoMemory();
            return -1;
        }
        return 0;
    }
    default:
        toml_error(ctx, "invalid escape character");
        return -1;
    }
    if (sb_putc(sb, out) < 0) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

// Basic string, single-line (triple 0) or multi-line; pos is just past the
// opening delimiter.  A string without escapes is made straight from the
// document's bytes; the first backslash moves the content into ctx->scratch.
PyObject *toml_parse_basic_string(TomlCtx *ctx, int triple)
{
    const char *text = ctx->text;
    const Py_ssize_t len = ctx->len;
    const unsigned char stop = triple ? CC_MLBASIC : CC_BASIC;
    Py_ssize_t pos = ctx->pos;

    // Only a raw line end written directly after the opening delimiter is
    // left out; a lone carriage return there is content.
    if (triple && pos < len) {
        if (text[pos] == '\n')
            pos++;
        else if (text[pos] == '\r' && pos + 1 < len && text[pos + 1] == '\n')
            pos += 2;
    }

    Py_ssize_t run = pos;      // start of the bytes not yet copied
    unsigned char high = 0;    // OR of every content byte: ASCII test
    StrBuf *sb = &ctx->scratch;
    bool decoding = false;     // content is being collected in sb
    sb->len = 0;

    for (;;) {
        while (pos < len && !toml_has_class(text[pos], stop)) {
            high |= (unsigned char)text[pos];
            pos++;
        }
        if (pos >= len)
            return toml_fail_at(ctx, len, "unterminated string");
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
            if (sb_append(sb, text + run, pos - run) < 0) {
                PyErr_NoMemory();
                return nullptr;
            }
            pos++;
            if (pos >= len)
                return toml_fail_at(ctx, len, "unterminated escape sequence");
            if (triple && toml_is_newline(text[pos])) {
                // A line-ending backslash drops the line end and every blank
                // and line end after it.
                if (text[pos] == '\r' && pos + 1 < len && text[pos + 1] == '\n')
                    pos++;
                pos++;
                while (pos < len && toml_is_ws(text[pos]))
                    pos++;
                run = pos;
                continue;
            }
            ctx->pos = pos;
            Py_ssize_t before = sb->len;
            if (toml_parse_escape(ctx, sb) < 0)
                return nullptr;
            high |= (unsigned char)sb->buf[before];  // a lead byte tells
            pos = ctx->pos;
            run = pos;
            continue;
        }
        if (!triple && toml_is_newline(c))
            return toml_fail_at(ctx, pos, "newline in single-line string");
        return toml_fail_at(ctx, pos, "control character in string");
    }

    Py_ssize_t end = ctx->pos - (triple ? 3 : 1);
    if (!decoding)
        return toml_new_str(text + run, end - run, (high & 0x80) == 0);
    if (sb_append(sb, text + run, end - run) < 0) {
        PyErr_NoMemory();
        return nullptr;
    }
    return toml_new_str(sb->buf, sb->len, (high & 0x80) == 0);
}

// Literal string, single-line or multi-line: no escapes, so the content is
// always a run of the document's own bytes.
PyObject *toml_parse_literal_string(TomlCtx *ctx, int triple)
{
    const char *text = ctx->text;
    const Py_ssize_t len = ctx->len;
    Py_ssize_t pos = ctx->pos;
    unsigned char high = 0;

    if (!triple) {
        Py_ssize_t start = pos;
        while (pos < len && !toml_has_class(text[pos], CC_LITERAL)) {
            high |= (unsigned char)text[pos];
            pos++;
        }
        if (pos >= len)
            return toml_fail_at(ctx, len, "unterminated literal string");
        if (text[pos] != '\'')
            return toml_fail_at(ctx, pos, "newline in single-line literal string");
        ctx->pos = pos + 1;
        return toml_new_str(text + start, pos - start, (high & 0x80) == 0);
    }

    if (pos < len) {
        if (text[pos] == '\n')
            pos++;
        else if (text[pos] == '\r' && pos + 1 < len && text[pos + 1] == '\n')
            pos += 2;
    }
    Py_ssize_t start = pos;
    for (;;) {
        const void *q = pos < len ? std::memchr(text + pos, '\'', (size_t)(len - pos)) : nullptr;
        if (q == nullptr)
            return toml_fail_at(ctx, len, "unterminated literal string");
        pos = static_cast<const char *>(q) - text;
        if (pos + 2 < len && text[pos + 1] == '\'' && text[pos + 2] == '\'')
            break;
        pos++;
    }
    ctx->pos = pos + 3;
    for (Py_ssize_t k = start; k < pos; k++)
        high |= (unsigned char)text[k];
    return toml_new_str(text + start, pos - start, (high & 0x80) == 0);
}

// ---------------------------------------------------------------------------
// Keys and dotted key paths

// A key path: the keys as written, each with its quoted flag.  The flag
// says how a key was written, not what it holds: `a` and `"a"` are the same
// key, while `"a.b"` and `a.b` are not the same path.
struct KeySeg {
    PyObject *key;  // owned
    bool quoted;
};

struct KeyPath {
    KeySeg *segs;
    Py_ssize_t n;
    Py_ssize_t cap;
    KeySeg local[8];

    KeyPath() noexcept : segs(local), n(0), cap(8) {}
    KeyPath(const KeyPath &) = delete;
    KeyPath &operator=(const KeyPath &) = delete;
    ~KeyPath()
    {
        for (Py_ssize_t i = 0; i < n; i++)
            Py_DECREF(segs[i].key);
        if (segs != local)
            std::free(segs);
    }
};

// Takes the reference to key, also on failure.
int keypath_push(KeyPath *kp, PyObject *key, bool quoted)
{
    if (kp->n == kp->cap) {
        if (kp->cap > PY_SSIZE_T_MAX / (Py_ssize_t)(2 * sizeof(KeySeg))) {
            Py_DECREF(key);
            PyErr_NoMemory();
            return -1;
        }
        Py_ssize_t cap = kp->cap * 2;
        KeySeg *grown;
        if (kp->segs == kp->local) {
            grown = static_cast<KeySeg *>(std::malloc((size_t)cap * sizeof(KeySeg)));
            if (grown != nullptr)
                std::memcpy(grown, kp->local, sizeof kp->local);
        } else {
            grown = static_cast<KeySeg *>(std::realloc(kp->segs, (size_t)cap * sizeof(KeySeg)));
        }
        if (grown == nullptr) {
            Py_DECREF(key);
            PyErr_NoMemory();
            return -1;
        }
        kp->segs = grown;
        kp->cap = cap;
    }
    kp->segs[kp->n].key = key;
    kp->segs[kp->n].quoted = quoted;
    kp->n++;
    return 0;
}

inline uint32_t toml_short_hash(const char *s, Py_ssize_t n)
{
    uint32_t h = 2166136261u;
    for (Py_ssize_t i = 0; i < n; i++)
        h = (h ^ (unsigned char)s[i]) * 16777619u;
    return h ^ (h >> 15);
}

// Bare keys repeat a lot (name, version, dependencies, ...): the same str
// object is handed out again, with its hash already computed.
PyObject *toml_bare_key_str(TomlCtx *ctx, const char *s, Py_ssize_t n)
{
    if (n > TOML_KEY_CACHE_MAX_LEN)
        return toml_new_str(s, n, true);
    PyObject **slot = &ctx->key_cache[toml_short_hash(s, n) & (TOML_KEY_CACHE_SIZE - 1)];
    PyObject *cached = *slot;
    if (cached != nullptr && PyUnicode_GET_LENGTH(cached) == n &&
        std::memcmp(PyUnicode_1BYTE_DATA(cached), s, (size_t)n) == 0) {
        Py_INCREF(cached);
        return cached;
    }
    PyObject *fresh = toml_new_str(s, n, true);
    if (fresh == nullptr)
        return nullptr;
    Py_INCREF(fresh);
    Py_XSETREF(*slot, fresh);
    return fresh;
}

// One bare or quoted key, starting exactly at pos.
PyObject *toml_parse_key(TomlCtx *ctx)
{
    const char *text = ctx->text;
    Py_ssize_t pos = ctx->pos;
    if (pos >= ctx->len)
        return toml_fail_at(ctx, ctx->len, "unexpected end of input in key");
    char c = text[pos];
    if (c == '"') {
        ctx->pos = pos + 1;
        return toml_parse_basic_string(ctx, 0);
    }
    if (c == '\'') {
        ctx->pos = pos + 1;
        return toml_parse_literal_string(ctx, 0);
    }
    Py_ssize_t start = pos;
    while (pos < ctx->len && toml_is_bare_char(text[pos]))
        pos++;
    if (pos == start)
        return toml_fail_at(ctx, start, "invalid key");
    ctx->pos = pos;
    return toml_bare_key_str(ctx, text + start, pos - start);
}

// A dotted key path into kp (empty on entry).  With stop_at_eq an '=' ends
// the path (key/value lines); headers pass 0.  Leaves pos on the first byte
// after the path and the blanks that follow it.
int toml_parse_key_path(TomlCtx *ctx, int stop_at_eq, KeyPath *kp)
{
    for (;;) {
        toml_skip_ws(ctx);
        if (ctx->pos >= ctx->len || (stop_at_eq && ctx->text[ctx->pos] == '=')) {
            if (kp->n == 0) {
                toml_error(ctx, "expected key");
                return -1;
            }
            return 0;
        }
        char c = ctx->text[ctx->pos];
        bool quoted = c == '"' || c == '\'';
        PyObject *key = toml_parse_key(ctx);
        if (key == nullptr || keypath_push(kp, key, quoted) < 0)
            return -1;
        toml_skip_ws(ctx);
        if (ctx->pos < ctx->len && ctx->text[ctx->pos] == '.') {
            ctx->pos++;
            continue;
        }
        return 0;
    }
}

}  // namespace

QUORVANE_API PyObject *quorvane_parse_toml_text(const char *, Py_ssize_t)
{
    PyErr_SetString(PyExc_NotImplementedError, "TOML parser not implemented yet");
    return nullptr;
}
