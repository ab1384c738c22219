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

#include <clocale>
#include <cstddef>
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
// the memory error.  A zeroed StrBuf is a valid empty buffer; one may also
// start in a block it does not own (`local`), left for the heap once full.

struct StrBuf {
    char *buf;
    Py_ssize_t cap;
    Py_ssize_t len;
    char *local;
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
    char *grown;
    if (sb->buf != nullptr && sb->buf == sb->local) {
        grown = static_cast<char *>(std::malloc((size_t)cap));
        if (grown != nullptr && sb->len > 0)
            std::memcpy(grown, sb->buf, (size_t)sb->len);
    } else {
        grown = static_cast<char *>(std::realloc(sb->buf, (size_t)cap));
    }
    if (grown == nullptr)
        return -1;
    sb->buf = grown;
    sb->cap = cap;
    return 0;
}

// Keys and path strings are short: up to 32 bytes are copied with a few
// overlapping word moves instead of a call.
inline void toml_copy(char *dst, const char *src, Py_ssize_t n)
{
    uint64_t a, b, c, d;
    if (n > 32) {
        std::memcpy(dst, src, (size_t)n);
    } else if (n >= 16) {
        std::memcpy(&a, src, 8);
        std::memcpy(&b, src + 8, 8);
        std::memcpy(&c, src + n - 16, 8);
        std::memcpy(&d, src + n - 8, 8);
        std::memcpy(dst, &a, 8);
        std::memcpy(dst + 8, &b, 8);
        std::memcpy(dst + n - 16, &c, 8);
        std::memcpy(dst + n - 8, &d, 8);
    } else if (n >= 8) {
        std::memcpy(&a, src, 8);
        std::memcpy(&b, src + n - 8, 8);
        std::memcpy(dst, &a, 8);
        std::memcpy(dst + n - 8, &b, 8);
    } else if (n >= 4) {
        uint32_t x, y;
        std::memcpy(&x, src, 4);
        std::memcpy(&y, src + n - 4, 4);
        std::memcpy(dst, &x, 4);
        std::memcpy(dst + n - 4, &y, 4);
    } else {
        for (Py_ssize_t i = 0; i < n; i++)
            dst[i] = src[i];
    }
}

inline int sb_append(StrBuf *sb, const char *data, Py_ssize_t n)
{
    if (n > sb->cap - sb->len && sb_reserve(sb, n) < 0)
        return -1;
    toml_copy(sb->buf + sb->len, data, n);
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
    if (sb->buf != sb->local)
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

constexpr size_t TOML_PATH_SET_LOCAL = 32;  // entries; twice as many slots

// Open addressing over compact slots: 0 is a free slot, anything else holds
// the top half of the entry's hash and its index + 1, so that a probe reads
// an entry only when the hash halves agree.
struct PathSet {
    uint64_t *slots;    // local_slots until the first growth
    size_t mask;        // slot count - 1; the count is a power of two
    PathEntry *entries; // in the order recorded; local_entries at first
    size_t used;
    size_t cap;
    StrBuf bytes;       // every stored path string, back to back
    uint64_t seed;
    uint64_t *local_slots;
    PathEntry *local_entries;
};

// ---------------------------------------------------------------------------
// Parser state, one per call.

constexpr int TOML_MAX_DEPTH = 512;
constexpr int TOML_KEY_CACHE_SIZE = 128;
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
    uint64_t current_table_hash;
    Py_ssize_t current_table_path_off;  // its copy in defined.bytes
    // The statement's path string in ctx->path: the first stmt_head_len
    // bytes are also at stmt_head_off in defined.bytes; the rest is copied
    // there (to stmt_tail_off) when first recorded, -1 until then.
    Py_ssize_t stmt_head_off;
    Py_ssize_t stmt_head_len;
    Py_ssize_t stmt_tail_off;
    PathSet defined;

    StrBuf scratch;          // decoded content of strings with escapes
    locale_t c_locale;       // made on the first float that needs strtod_l
    // Slot i of key_cache holds a reference only when bit i of
    // key_cache_used is set; the array itself is never cleared.
    uint64_t key_cache_used[TOML_KEY_CACHE_SIZE / 64];
    PyObject *key_cache[TOML_KEY_CACHE_SIZE];

    // First blocks of the buffers above: small documents need no heap.
    char path_local[256];
    char bytes_local[1024];
    uint64_t local_slots[2 * TOML_PATH_SET_LOCAL];
    PathEntry local_entries[TOML_PATH_SET_LOCAL];
};

void toml_error(TomlCtx *ctx, const char *msg) { qv::PositionError::raise(ctx->text, ctx->pos, msg); }

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

// Eight bytes at a time: a word is skipped whole when none of its bytes can
// end the run (a quote, a backslash or a control byte); any word that may
// hold one is left to the byte loop, which decides by the class table.
constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighBits = 0x8080808080808080ull;

inline uint64_t swar_has(uint64_t w, unsigned char c)
{
    uint64_t x = w ^ (kOnes * c);
    return (x - kOnes) & ~x & kHighBits;
}

inline uint64_t swar_has_below(uint64_t w, unsigned char c)
{
    return (w - kOnes * c) & ~w & kHighBits;
}

// Advances from pos over bytes outside class stop; returns the offset of
// the first byte in it, or len.  ORs every byte passed into *high.
inline Py_ssize_t toml_scan_run(const char *text, Py_ssize_t pos, Py_ssize_t len,
                                unsigned char stop, uint64_t *high)
{
    const unsigned char quote = stop == CC_LITERAL ? '\'' : '"';
    uint64_t acc = 0;
    for (;;) {
        while (len - pos >= 8) {
            uint64_t w;
            std::memcpy(&w, text + pos, 8);
            uint64_t special = swar_has(w, quote) | swar_has_below(w, 0x20);
            if (stop != CC_LITERAL)
                special |= swar_has(w, '\\');
            if (special)
                break;
            acc |= w;
            pos += 8;
        }
        Py_ssize_t lim = len - pos > 8 ? pos + 8 : len;
        while (pos < lim && !toml_has_class(text[pos], stop)) {
            acc |= (unsigned char)text[pos];
            pos++;
        }
        if (pos < lim || pos >= len)
            break;
    }
    *high |= acc;
    return pos;
}

// A str from bytes already known to be ASCII skips the UTF-8 decoder.
PyObject *toml_new_str(const char *s, Py_ssize_t n, bool ascii)
{
    if (!ascii)
        return quorvane_new_str(s, n);
    PyObject *str = PyUnicode_New(n, 127);
    if (str != nullptr)
        toml_copy(reinterpret_cast<char *>(PyUnicode_1BYTE_DATA(str)), s, n);
    return str;
}

int toml_append_utf8(StrBuf *sb, unsigned int cp)
{
    char out[4];
    return sb_append(sb, out, qv::utf8_encode(out, cp));
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
            int d = qv::hex_digit(ctx->text[ctx->pos + k]);
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
    uint64_t high = 0;         // OR of every content byte: ASCII test
    StrBuf *sb = &ctx->scratch;
    bool decoding = false;     // content is being collected in sb
    sb->len = 0;

    for (;;) {
        pos = toml_scan_run(text, pos, len, stop, &high);
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
        return toml_new_str(text + run, end - run, (high & kHighBits) == 0);
    if (sb_append(sb, text + run, end - run) < 0) {
        PyErr_NoMemory();
        return nullptr;
    }
    return toml_new_str(sb->buf, sb->len, (high & kHighBits) == 0);
}

// Literal string, single-line or multi-line: no escapes, so the content is
// always a run of the document's own bytes.
PyObject *toml_parse_literal_string(TomlCtx *ctx, int triple)
{
    const char *text = ctx->text;
    const Py_ssize_t len = ctx->len;
    Py_ssize_t pos = ctx->pos;
    uint64_t high = 0;

    if (!triple) {
        Py_ssize_t start = pos;
        pos = toml_scan_run(text, pos, len, CC_LITERAL, &high);
        if (pos >= len)
            return toml_fail_at(ctx, len, "unterminated literal string");
        if (text[pos] != '\'')
            return toml_fail_at(ctx, pos, "newline in single-line literal string");
        ctx->pos = pos + 1;
        return toml_new_str(text + start, pos - start, (high & kHighBits) == 0);
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
    return toml_new_str(text + start, pos - start, (high & kHighBits) == 0);
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

// A cache slot from the key's length and its first and last eight bytes:
// a clash only costs a miss, since a hit compares every byte.
inline uint32_t toml_key_slot(const char *s, Py_ssize_t n)
{
    uint64_t a, b = 0;
    if (n >= 8) {
        std::memcpy(&a, s, 8);
        std::memcpy(&b, s + n - 8, 8);
    } else if (n >= 4) {
        uint32_t x, y;
        std::memcpy(&x, s, 4);
        std::memcpy(&y, s + n - 4, 4);
        a = (uint64_t)x | ((uint64_t)y << 32);
    } else {
        a = (uint64_t)(unsigned char)s[0] | (uint64_t)(unsigned char)s[n / 2] << 8 |
            (uint64_t)(unsigned char)s[n - 1] << 16;
    }
    uint64_t h = (a * 0x9E3779B97F4A7C15ull) ^ (b * 0xC2B2AE3D27D4EB4Full) ^ (uint64_t)n;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    return (uint32_t)(h >> 40) & (TOML_KEY_CACHE_SIZE - 1);
}

// Bare keys repeat a lot (name, version, dependencies, ...): the same str
// object is handed out again, with its hash already computed.
PyObject *toml_bare_key_str(TomlCtx *ctx, const char *s, Py_ssize_t n)
{
    if (n > TOML_KEY_CACHE_MAX_LEN)
        return toml_new_str(s, n, true);
    uint32_t i = toml_key_slot(s, n);
    uint64_t bit = 1ull << (i & 63);
    uint64_t *used = &ctx->key_cache_used[i >> 6];
    if (*used & bit) {
        PyObject *cached = ctx->key_cache[i];
        if (PyUnicode_GET_LENGTH(cached) == n &&
            std::memcmp(PyUnicode_1BYTE_DATA(cached), s, (size_t)n) == 0) {
            Py_INCREF(cached);
            return cached;
        }
    }
    PyObject *fresh = toml_new_str(s, n, true);
    if (fresh == nullptr)
        return nullptr;
    Py_INCREF(fresh);
    if (*used & bit)
        Py_DECREF(ctx->key_cache[i]);
    ctx->key_cache[i] = fresh;
    *used |= bit;
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

// ---------------------------------------------------------------------------
// Scalar values

PyObject *toml_parse_array(TomlCtx *ctx);
PyObject *toml_parse_inline_table(TomlCtx *ctx);

inline bool toml_is_digit(char c) { return c >= '0' && c <= '9'; }

inline int toml_digit_value(char c, int base)
{
    int d = qv::hex_digit(c);
    return d < base ? d : -1;
}

inline bool toml_int_is_digit_char(char c, int base)
{
    return toml_digit_value(c, base) >= 0;
}

// A token holding ':' anywhere, or starting like YYYY-MM-DD, is a date-time
// and is kept as its text; nothing else of it is checked.
bool toml_token_is_datetime(const char *s, Py_ssize_t n)
{
    if (std::memchr(s, ':', (size_t)n) != nullptr)
        return true;
    return n >= 10 && toml_is_digit(s[0]) && s[4] == '-' && s[7] == '-';
}

// Sign, digits, an optional fraction and an optional exponent: the shape
// that the interpreter's correctly rounded reader converts exactly as
// strtod does.
bool toml_is_plain_decimal(const char *s, Py_ssize_t n)
{
    Py_ssize_t i = 0;
    if (i < n && (s[i] == '+' || s[i] == '-'))
        i++;
    Py_ssize_t digits = 0;
    while (i < n && toml_is_digit(s[i])) {
        i++;
        digits++;
    }
    if (i < n && s[i] == '.') {
        i++;
        while (i < n && toml_is_digit(s[i])) {
            i++;
            digits++;
        }
    }
    if (digits == 0)
        return false;
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        i++;
        if (i < n && (s[i] == '+' || s[i] == '-'))
            i++;
        Py_ssize_t exp_digits = 0;
        while (i < n && toml_is_digit(s[i])) {
            i++;
            exp_digits++;
        }
        if (exp_digits == 0)
            return false;
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

    char small[96];
    qv::Buf big;
    char *buf = small;
    if (n >= (Py_ssize_t)sizeof small) {
        big.reset(static_cast<char *>(std::malloc((size_t)n + 1)));
        if (!big)
            return PyErr_NoMemory();
        buf = big.get();
    }
    Py_ssize_t m = 0;
    for (Py_ssize_t k = 0; k < n; k++) {
        unsigned char c = (unsigned char)s[k];
        if (c == '_')
            continue;
        // A control byte (NUL above all) would end the conversion early.
        if (c < 0x20) {
            toml_error(ctx, "invalid float");
            return nullptr;
        }
        buf[m++] = (char)c;
    }
    buf[m] = '\0';

    double d = 0.0;
    char *end = buf;
    if (toml_is_plain_decimal(buf, m)) {
        d = PyOS_string_to_double(buf, &end, nullptr);
        if (d == -1.0 && PyErr_Occurred()) {
            if (PyErr_ExceptionMatches(PyExc_MemoryError))
                return nullptr;
            PyErr_Clear();
            end = buf;
        }
    }
    if (end != buf + m) {
        if (ctx->c_locale == (locale_t)0) {
            ctx->c_locale = newlocale(LC_ALL_MASK, "C", (locale_t)0);
            if (ctx->c_locale == (locale_t)0)
                return PyErr_NoMemory();
        }
        d = strtod_l(buf, &end, ctx->c_locale);
    }
    if (m == 0 || end != buf + m) {
        toml_error(ctx, "invalid float");
        return nullptr;
    }
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
        switch (s[i + 1]) {
        case 'x': case 'X': base = 16; break;
        case 'o': case 'O': base = 8; break;
        case 'b': case 'B': base = 2; break;
        default: break;
        }
        if (base != 10)
            i += 2;
    }
    if (base != 10 && has_sign) {
        toml_error(ctx, "sign not allowed on non-decimal integer");
        return nullptr;
    }
    if (base == 10 && n - i > 1 && s[i] == '0') {
        toml_error(ctx, "leading zeros are not allowed in integers");
        return nullptr;
    }

    // Digits that surely fit in 63 bits are summed on the way.
    const Py_ssize_t fast_digits = base == 10 ? 18 : base == 16 ? 15 : base == 8 ? 20 : 62;
    unsigned long long v = 0;
    Py_ssize_t digits = 0;
    for (Py_ssize_t k = i; k < n; k++) {
        char c = s[k];
        if (c == '_') {
            if (k == i || k == n - 1 || !toml_int_is_digit_char(s[k - 1], base) ||
                !toml_int_is_digit_char(s[k + 1], base)) {
                toml_error(ctx, "underscores must be surrounded by digits");
                return nullptr;
            }
            continue;
        }
        int d = toml_digit_value(c, base);
        if (d < 0) {
            toml_error(ctx, "invalid digit in integer");
            return nullptr;
        }
        v = v * (unsigned)base + (unsigned)d;
        digits++;
    }
    if (digits == 0) {
        toml_error(ctx, "invalid integer");
        return nullptr;
    }
    if (digits <= fast_digits) {
        long long sv = (long long)v;
        return PyLong_FromLongLong(s[0] == '-' ? -sv : sv);
    }

    qv::Buf tmp(static_cast<char *>(std::malloc((size_t)n + 1)));
    if (!tmp)
        return PyErr_NoMemory();
    Py_ssize_t j = 0;
    if (has_sign)
        tmp.get()[j++] = s[0];
    for (Py_ssize_t k = i; k < n; k++) {
        if (s[k] != '_')
            tmp.get()[j++] = s[k];
    }
    tmp.get()[j] = '\0';
    PyObject *result = PyLong_FromString(tmp.get(), nullptr, base);
    if (result == nullptr) {
        // Past the interpreter's limit on decimal digits, for one.
        if (PyErr_ExceptionMatches(PyExc_MemoryError))
            return nullptr;
        PyErr_Clear();
        toml_error(ctx, "invalid integer");
    }
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
        return quorvane_new_str(tok, n);
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
    toml_error(ctx, "unexpected character in value");
    return nullptr;
}

// Any value, after the blanks, line ends and comments before it.  Every
// value counts toward the nesting limit, scalars included.
PyObject *toml_parse_value(TomlCtx *ctx)
{
    toml_skip_ws_comments(ctx);
    if (ctx->pos >= ctx->len) {
        toml_error(ctx, "unexpected end of input in value");
        return nullptr;
    }
    if (ctx->depth >= TOML_MAX_DEPTH) {
        toml_error(ctx, "max depth exceeded");
        return nullptr;
    }
    ctx->depth++;
    PyObject *value = toml_parse_value_at(ctx);
    ctx->depth--;
    return value;
}

// ---------------------------------------------------------------------------
// Arrays and inline tables

// pos is on the '['.  Blanks, line ends and comments may stand anywhere
// between the elements; one trailing comma is accepted.
PyObject *toml_parse_array(TomlCtx *ctx)
{
    qv::Ref list(PyList_New(0));
    if (!list)
        return nullptr;
    ctx->pos++;
    toml_skip_ws_comments(ctx);
    if (ctx->pos < ctx->len && ctx->text[ctx->pos] == ']') {
        ctx->pos++;
        return list.release();
    }
    for (;;) {
        qv::Ref item(toml_parse_value(ctx));
        if (!item || PyList_Append(list.get(), item.get()) < 0)
            return nullptr;
        toml_skip_ws_comments(ctx);
        if (ctx->pos >= ctx->len) {
            toml_error(ctx, "unterminated array");
            return nullptr;
        }
        char c = ctx->text[ctx->pos];
        if (c == ',') {
            ctx->pos++;
            toml_skip_ws_comments(ctx);
            if (ctx->pos < ctx->len && ctx->text[ctx->pos] == ']') {
                ctx->pos++;
                return list.release();
            }
            continue;
        }
        if (c == ']') {
            ctx->pos++;
            return list.release();
        }
        toml_error(ctx, "expected ',' or ']' in array");
        return nullptr;
    }
}

// pos is on the '{'.  Keys are single keys, not dotted paths; line ends may
// stand between the parts, comments only just before a value.  A key given
// twice keeps its first place and its last value.
PyObject *toml_parse_inline_table(TomlCtx *ctx)
{
    qv::Ref dict(PyDict_New());
    if (!dict)
        return nullptr;
    ctx->pos++;
    toml_skip_ws(ctx);
    if (ctx->pos < ctx->len && ctx->text[ctx->pos] == '}') {
        ctx->pos++;
        return dict.release();
    }
    for (;;) {
        toml_skip_ws(ctx);
        qv::Ref key(toml_parse_key(ctx));
        if (!key)
            return nullptr;
        toml_skip_ws(ctx);
        if (ctx->pos >= ctx->len || ctx->text[ctx->pos] != '=') {
            toml_error(ctx, "expected '=' in inline table");
            return nullptr;
        }
        ctx->pos++;
        toml_skip_ws(ctx);
        qv::Ref value(toml_parse_value(ctx));
        if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0)
            return nullptr;
        toml_skip_ws(ctx);
        if (ctx->pos >= ctx->len) {
            toml_error(ctx, "unterminated inline table");
            return nullptr;
        }
        char c = ctx->text[ctx->pos];
        if (c == ',') {
            ctx->pos++;
            toml_skip_ws(ctx);
            if (ctx->pos < ctx->len && ctx->text[ctx->pos] == '}') {
                toml_error(ctx, "trailing comma in inline table");
                return nullptr;
            }
            continue;
        }
        if (c == '}') {
            ctx->pos++;
            return dict.release();
        }
        toml_error(ctx, "expected ',' or '}' in inline table");
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
// path is kept, and each segment is hashed from the bytes it is copied from.
inline uint64_t toml_load64(const char *s)
{
    uint64_t w;
    std::memcpy(&w, s, 8);
    return w;
}

uint64_t toml_segment_hash(const char *s, Py_ssize_t n)
{
    const uint64_t m = 0xBF58476D1CE4E5B9ull;
    uint64_t h = (uint64_t)n * 0x9E3779B97F4A7C15ull;
    const char *p = s;
    for (Py_ssize_t r = n; r > 8; r -= 8, p += 8) {
        h = (h ^ toml_load64(p)) * m;
        h ^= h >> 29;
    }
    uint64_t w;
    if (n >= 8) {
        w = toml_load64(s + n - 8);
    } else if (n >= 4) {
        uint32_t x, y;
        std::memcpy(&x, s, 4);
        std::memcpy(&y, s + n - 4, 4);
        w = (uint64_t)x | ((uint64_t)y << 32);
    } else if (n > 0) {
        w = (uint64_t)(unsigned char)s[0] | (uint64_t)(unsigned char)s[n / 2] << 8 |
            (uint64_t)(unsigned char)s[n - 1] << 16;
    } else {
        w = 0;
    }
    h = (h ^ w) * m;
    return h ^ (h >> 31);
}

inline uint64_t toml_hash_fold(uint64_t h, uint64_t segment)
{
    h = (h ^ segment) * 0x94D049BB133111EBull;
    return h ^ (h >> 32);
}

int toml_escape_segment(StrBuf *sb, const char *s, Py_ssize_t n, bool quoted)
{
    if (!quoted)
        return sb_append(sb, s, n);
    if (sb_reserve(sb, 2 * n) < 0)
        return -1;
    char *out = sb->buf + sb->len;
    for (Py_ssize_t i = 0; i < n; i++) {
        char c = s[i];
        if (c == '.' || c == '\\')
            *out++ = '\\';
        *out++ = c;
    }
    sb->len = out - sb->buf;
    return 0;
}

// Appends the key segments of kp to ctx->path, each after a '.' unless it
// is the very first segment of the path string, folding their hashes into h.
int toml_append_key_segments(TomlCtx *ctx, KeyPath *kp, bool first, uint64_t h)
{
    StrBuf *sb = &ctx->path;
    for (Py_ssize_t i = 0; i < kp->n; i++) {
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
        if ((!first && sb_putc(sb, '.') < 0)) {
            PyErr_NoMemory();
            return -1;
        }
        Py_ssize_t start = sb->len;
        if (toml_escape_segment(sb, bytes, n, kp->segs[i].quoted) < 0) {
            PyErr_NoMemory();
            return -1;
        }
        // An escaped segment is hashed as written into the path string.
        if (sb->len - start != n)
            bytes = sb->buf + start;
        h = toml_hash_fold(h, toml_segment_hash(bytes, sb->len - start));
        first = false;
        kp->segs[i].path_end = sb->len;
        kp->segs[i].hash_end = h;
    }
    return 0;
}

// Path string of a header's key path, from the root.
int toml_path_str(TomlCtx *ctx, KeyPath *kp)
{
    ctx->path.len = 0;
    ctx->stmt_head_off = 0;
    ctx->stmt_head_len = 0;
    ctx->stmt_tail_off = -1;
    return toml_append_key_segments(ctx, kp, true, ctx->defined.seed);
}

// Path string of a key/value line's key path behind the current table path.
int toml_abs_path_str(TomlCtx *ctx, KeyPath *kp)
{
    ctx->path.len = ctx->current_table_path_len;
    ctx->stmt_head_off = ctx->current_table_path_off;
    ctx->stmt_head_len = ctx->current_table_path_len;
    ctx->stmt_tail_off = -1;
    return toml_append_key_segments(ctx, kp, ctx->current_table_nseg == 0,
                                    ctx->current_table_hash);
}

// ---------------------------------------------------------------------------
// Table model

inline uint64_t toml_slot_of(uint64_t hash, size_t index)
{
    return (hash & 0xFFFFFFFF00000000ull) | (uint64_t)(index + 1);
}

int toml_set_grow(PathSet *set)
{
    if (set->used == set->cap) {
        if (set->cap >= 0x7FFFFFFFu)
            return -1;
        size_t cap = set->cap * 2;
        PathEntry *grown;
        if (set->entries == set->local_entries) {
            grown = static_cast<PathEntry *>(std::malloc(cap * sizeof(PathEntry)));
            if (grown != nullptr)
                std::memcpy(grown, set->entries, set->used * sizeof(PathEntry));
        } else {
            grown = static_cast<PathEntry *>(std::realloc(set->entries, cap * sizeof(PathEntry)));
        }
        if (grown == nullptr)
            return -1;
        set->entries = grown;
        set->cap = cap;
    }
    if ((set->used + 1) * 2 > set->mask + 1) {
        size_t count = (set->mask + 1) * 2;
        uint64_t *slots = static_cast<uint64_t *>(std::calloc(count, sizeof(uint64_t)));
        if (slots == nullptr)
            return -1;
        for (size_t k = 0; k < set->used; k++) {
            size_t j = set->entries[k].hash & (count - 1);
            while (slots[j] != 0)
                j = (j + 1) & (count - 1);
            slots[j] = toml_slot_of(set->entries[k].hash, k);
        }
        if (set->slots != set->local_slots)
            std::free(set->slots);
        set->slots = slots;
        set->mask = count - 1;
    }
    return 0;
}

// Whether entry e holds the path string made of the head_len bytes at
// head_off in the store followed by the tail_len bytes at tail.
bool toml_entry_matches(const PathSet *set, const PathEntry *e, Py_ssize_t head_off,
                        Py_ssize_t head_len, const char *tail, Py_ssize_t tail_len)
{
    if (e->head_len + e->tail_len != head_len + tail_len)
        return false;
    const char *base = set->bytes.buf;
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

// The entry of the path string ctx->path.buf[0 .. end), a prefix of the
// statement's path string, added with no kinds when it is new; kinds 0
// means that the path string is in none of the four sets.  h is its hash.
// The pointer is good until the next call.  NULL with a memory error set
// on failure.
PathEntry *toml_set_entry(TomlCtx *ctx, Py_ssize_t end, uint64_t h)
{
    PathSet *set = &ctx->defined;
    if ((set->used == set->cap || (set->used + 1) * 2 > set->mask + 1) &&
        toml_set_grow(set) < 0) {
        PyErr_NoMemory();
        return nullptr;
    }
    Py_ssize_t head_len = ctx->stmt_head_len;
    const char *tail = ctx->path.buf + head_len;
    Py_ssize_t tail_len = end - head_len;
    uint64_t tag = h & 0xFFFFFFFF00000000ull;
    size_t i = h & set->mask;
    for (;;) {
        uint64_t slot = set->slots[i];
        if (slot == 0)
            break;
        if ((slot & 0xFFFFFFFF00000000ull) == tag) {
            PathEntry *e = &set->entries[(slot & 0xFFFFFFFFu) - 1];
            if (toml_entry_matches(set, e, ctx->stmt_head_off, head_len, tail, tail_len))
                return e;
        }
        i = (i + 1) & set->mask;
    }
    if (ctx->stmt_tail_off < 0) {
        ctx->stmt_tail_off = set->bytes.len;
        if (sb_append(&set->bytes, tail, ctx->path.len - head_len) < 0) {
            PyErr_NoMemory();
            return nullptr;
        }
    }
    PathEntry *e = &set->entries[set->used];
    e->hash = h;
    e->head_off = ctx->stmt_head_off;
    e->head_len = head_len;
    e->tail_off = ctx->stmt_tail_off;
    e->tail_len = tail_len;
    e->kinds = 0;
    set->slots[i] = toml_slot_of(h, set->used);
    set->used++;
    return e;
}

// Stores the path string of the new current table, now at the front of
// ctx->path, for the statements under it.
int toml_store_table_path(TomlCtx *ctx, Py_ssize_t nseg, uint64_t hash)
{
    ctx->current_table_path_off = ctx->defined.bytes.len;
    if (sb_append(&ctx->defined.bytes, ctx->path.buf, ctx->path.len) < 0) {
        PyErr_NoMemory();
        return -1;
    }
    ctx->current_table_path_len = ctx->path.len;
    ctx->current_table_nseg = nseg;
    ctx->current_table_hash = hash;
    return 0;
}

// What a statement may not meet in its path string's entry: the first rule
// whose kinds the entry has decides the message, reported at pos.
struct TomlConflict {
    unsigned char kinds;
    const char *msg;
};

template <size_t N>
int toml_refuse_conflict(TomlCtx *ctx, const PathEntry *e, const TomlConflict (&rules)[N])
{
    for (const TomlConflict &rule : rules) {
        if (e->kinds & rule.kinds) {
            toml_error(ctx, rule.msg);
            return -1;
        }
    }
    return 0;
}

// Records the path strings of the proper prefixes of the key path just
// built in ctx->path as implicitly created tables.
int toml_mark_implicit(TomlCtx *ctx, KeyPath *kp)
{
    for (Py_ssize_t m = 0; m + 1 < kp->n; m++) {
        PathEntry *e = toml_set_entry(ctx, kp->segs[m].path_end, kp->segs[m].hash_end);
        if (e == nullptr)
            return -1;
        e->kinds |= TOML_IMPLICIT_TABLE;
    }
    return 0;
}

// The dict that is to hold the last key of kp, found or created below
// container.  Any other value on the way, a list included, stops the walk.
// Returns a borrowed reference.
PyObject *toml_navigate(TomlCtx *ctx, PyObject *container, KeyPath *kp)
{
    PyObject *cur = container;
    for (Py_ssize_t i = 0; i + 1 < kp->n; i++) {
        PyObject *key = kp->segs[i].key;
        PyObject *child = PyDict_GetItemWithError(cur, key);
        if (child != nullptr) {
            if (!PyDict_Check(child)) {
                toml_error(ctx, "cannot extend a key as a table");
                return nullptr;
            }
            cur = child;
            continue;
        }
        if (PyErr_Occurred())
            return nullptr;
        qv::Ref fresh(PyDict_New());
        if (!fresh || PyDict_SetItem(cur, key, fresh.get()) < 0)
            return nullptr;
        cur = fresh.get();  // the parent holds it now
    }
    return cur;
}

// One key/value line, reported at pos, just after the value.  A line never
// replaces what its target table already holds.
int toml_apply_key_value(TomlCtx *ctx, KeyPath *kp, PyObject *value)
{
    PyObject *container = toml_navigate(ctx, ctx->current_table, kp);
    if (container == nullptr)
        return -1;
    if (toml_abs_path_str(ctx, kp) < 0)
        return -1;
    PathEntry *e = toml_set_entry(ctx, ctx->path.len, kp->segs[kp->n - 1].hash_end);
    if (e == nullptr)
        return -1;
    // Implicit tables are no conflict: the tree test below decides.
    static constexpr TomlConflict kRules[] = {
        {TOML_DEFINED_KEY, "duplicate key"},
        {TOML_DEFINED_TABLE | TOML_DEFINED_ARRAY, "key redefines a table"},
    };
    if (toml_refuse_conflict(ctx, e, kRules) < 0)
        return -1;
    PyObject *found = nullptr;
    int had = PyDict_SetDefaultRef(container, kp->segs[kp->n - 1].key, value, &found);
    Py_XDECREF(found);
    if (had < 0)
        return -1;
    if (had > 0) {
        toml_error(ctx, "duplicate key");
        return -1;
    }
    e->kinds |= TOML_DEFINED_KEY;
    return toml_mark_implicit(ctx, kp);
}

// ---------------------------------------------------------------------------
// Table headers.  Both start at the root and report at pos: the start of
// the statement after the header, or the end of the text.  On success the
// path string of the new current table is left at the front of ctx->path.

// The entry of a header's own path string, which starts at the root.
PathEntry *toml_header_entry(TomlCtx *ctx, KeyPath *kp)
{
    if (toml_path_str(ctx, kp) < 0)
        return nullptr;
    return toml_set_entry(ctx, ctx->path.len, kp->segs[kp->n - 1].hash_end);
}

// [a.b]: opens the table, or reopens a dict that only a dotted key or an
// inline table made.  Returns a new reference to it.
PyObject *toml_apply_table_header(TomlCtx *ctx, KeyPath *kp)
{
    PathEntry *e = toml_header_entry(ctx, kp);
    if (e == nullptr)
        return nullptr;
    static constexpr TomlConflict kRules[] = {
        {TOML_DEFINED_TABLE, "duplicate table header"},
        {TOML_DEFINED_ARRAY, "table header conflicts with array-of-tables"},
        {TOML_IMPLICIT_TABLE, "cannot redefine implicitly created table"},
        {TOML_DEFINED_KEY, "cannot redefine a key as a table"},
    };
    if (toml_refuse_conflict(ctx, e, kRules) < 0)
        return nullptr;
    PyObject *container = toml_navigate(ctx, ctx->root, kp);
    if (container == nullptr)
        return nullptr;
    PyObject *last_key = kp->segs[kp->n - 1].key;
    PyObject *table = PyDict_GetItemWithError(container, last_key);
    if (table != nullptr) {
        if (!PyDict_Check(table)) {
            toml_error(ctx, "cannot redefine a key as a table");
            return nullptr;
        }
        Py_INCREF(table);
    } else {
        if (PyErr_Occurred())
            return nullptr;
        table = PyDict_New();
        if (table == nullptr)
            return nullptr;
        if (PyDict_SetItem(container, last_key, table) < 0) {
            Py_DECREF(table);
            return nullptr;
        }
    }
    qv::Ref result(table);
    e->kinds |= TOML_DEFINED_TABLE;
    if (toml_mark_implicit(ctx, kp) < 0)
        return nullptr;
    if (toml_store_table_path(ctx, kp->n, kp->segs[kp->n - 1].hash_end) < 0)
        return nullptr;
    return result.release();
}

// [[a.b]]: appends a new table to the list under the path, creating the
// list on first use.  The new current table path ends in the element's
// index segment [k], k counting every item the list holds.
PyObject *toml_apply_array_table(TomlCtx *ctx, KeyPath *kp)
{
    PathEntry *e = toml_header_entry(ctx, kp);
    if (e == nullptr)
        return nullptr;
    // A repeated [[header]] appends: an array of tables is no conflict.
    static constexpr TomlConflict kRules[] = {
        {TOML_DEFINED_KEY, "array table redefines a key"},
        {TOML_DEFINED_TABLE, "cannot mix table and array-of-tables"},
        {TOML_IMPLICIT_TABLE, "cannot redefine implicitly created table"},
    };
    if (toml_refuse_conflict(ctx, e, kRules) < 0)
        return nullptr;
    PyObject *container = toml_navigate(ctx, ctx->root, kp);
    if (container == nullptr)
        return nullptr;
    PyObject *last_key = kp->segs[kp->n - 1].key;
    PyObject *list = PyDict_GetItemWithError(container, last_key);
    if (list == nullptr) {
        if (PyErr_Occurred())
            return nullptr;
        qv::Ref fresh(PyList_New(0));
        if (!fresh || PyDict_SetItem(container, last_key, fresh.get()) < 0)
            return nullptr;
        list = fresh.get();  // the container holds it now
    } else if (!PyList_Check(list)) {
        toml_error(ctx, "key is not an array of tables");
        return nullptr;
    }
    qv::Ref element(PyDict_New());
    if (!element || PyList_Append(list, element.get()) < 0)
        return nullptr;
    e->kinds |= TOML_DEFINED_ARRAY;
    if (toml_mark_implicit(ctx, kp) < 0)
        return nullptr;
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
    uint64_t hash = toml_hash_fold(kp->segs[kp->n - 1].hash_end,
                                   toml_segment_hash(p, index + sizeof index - p));
    *--p = '.';
    if (sb_append(&ctx->path, p, index + sizeof index - p) < 0) {
        PyErr_NoMemory();
        return nullptr;
    }
    if (toml_store_table_path(ctx, kp->n + 1, hash) < 0)
        return nullptr;
    return element.release();
}

// ---------------------------------------------------------------------------
// Document driver

// A header: pos is on its first '['.
int toml_parse_header(TomlCtx *ctx)
{
    ctx->pos++;
    bool is_array_table = ctx->pos < ctx->len && ctx->text[ctx->pos] == '[';
    if (is_array_table)
        ctx->pos++;
    KeyPath kp;
    if (toml_parse_key_path(ctx, 0, &kp) < 0)
        return -1;
    toml_skip_ws(ctx);
    if (ctx->pos >= ctx->len || ctx->text[ctx->pos] != ']') {
        toml_error(ctx, "expected ']' in table header");
        return -1;
    }
    ctx->pos++;
    if (is_array_table) {
        if (ctx->pos >= ctx->len || ctx->text[ctx->pos] != ']') {
            toml_error(ctx, "expected ']]' in array-of-tables header");
            return -1;
        }
        ctx->pos++;
    }
    toml_skip_ws_comments(ctx);
    PyObject *table = is_array_table ? toml_apply_array_table(ctx, &kp)
                                     : toml_apply_table_header(ctx, &kp);
    if (table == nullptr)
        return -1;
    Py_SETREF(ctx->current_table, table);
    return 0;
}

// A key/value line: pos is on the first byte of its key path.
int toml_parse_key_value_line(TomlCtx *ctx)
{
    KeyPath kp;
    if (toml_parse_key_path(ctx, 1, &kp) < 0)
        return -1;
    toml_skip_ws(ctx);
    if (ctx->pos >= ctx->len || ctx->text[ctx->pos] != '=') {
        toml_error(ctx, "expected '=' after key");
        return -1;
    }
    ctx->pos++;
    qv::Ref value(toml_parse_value(ctx));
    if (!value)
        return -1;
    return toml_apply_key_value(ctx, &kp, value.get());
}

void toml_ctx_release(TomlCtx *ctx)
{
    Py_CLEAR(ctx->root);
    Py_CLEAR(ctx->current_table);
    sb_free(&ctx->path);
    sb_free(&ctx->scratch);
    if (ctx->defined.slots != ctx->defined.local_slots)
        std::free(ctx->defined.slots);
    ctx->defined.slots = nullptr;
    if (ctx->defined.entries != ctx->defined.local_entries)
        std::free(ctx->defined.entries);
    ctx->defined.entries = nullptr;
    sb_free(&ctx->defined.bytes);
    if (ctx->c_locale != (locale_t)0) {
        freelocale(ctx->c_locale);
        ctx->c_locale = (locale_t)0;
    }
    for (int w = 0; w < TOML_KEY_CACHE_SIZE / 64; w++) {
        for (uint64_t bits = ctx->key_cache_used[w]; bits != 0; bits &= bits - 1)
            Py_DECREF(ctx->key_cache[w * 64 + __builtin_ctzll(bits)]);
        ctx->key_cache_used[w] = 0;
    }
}

}  // namespace

// Statements follow each other with no end-of-line rule: each ends where its
// last token ends, and blanks, line ends and comments separate them.
QUORVANE_API PyObject *quorvane_parse_toml_text(const char *text, Py_ssize_t len)
{
    TomlCtx ctx;
    // Everything but the key cache array, which key_cache_used guards.
    std::memset(&ctx, 0, offsetof(TomlCtx, key_cache));
    ctx.text = text;
    ctx.len = len;
    ctx.c_locale = (locale_t)0;
    ctx.path.buf = ctx.path.local = ctx.path_local;
    ctx.path.cap = sizeof ctx.path_local;
    ctx.defined.bytes.buf = ctx.defined.bytes.local = ctx.bytes_local;
    ctx.defined.bytes.cap = sizeof ctx.bytes_local;
    std::memset(ctx.local_slots, 0, sizeof ctx.local_slots);
    ctx.defined.slots = ctx.defined.local_slots = ctx.local_slots;
    ctx.defined.mask = 2 * TOML_PATH_SET_LOCAL - 1;
    ctx.defined.entries = ctx.defined.local_entries = ctx.local_entries;
    ctx.defined.cap = TOML_PATH_SET_LOCAL;
    // Path strings are hashed with a per-call seed, so that no fixed set of
    // keys collides in every parse.
    ctx.defined.seed = (uint64_t)(uintptr_t)&ctx * 0x9E3779B97F4A7C15ull ^ (uint64_t)len;
    ctx.current_table_hash = ctx.defined.seed;
    ctx.root = PyDict_New();
    if (ctx.root == nullptr)
        return nullptr;
    Py_INCREF(ctx.root);
    ctx.current_table = ctx.root;

    PyObject *result = nullptr;
    for (;;) {
        toml_skip_ws_comments(&ctx);
        if (ctx.pos >= ctx.len) {
            result = ctx.root;
            ctx.root = nullptr;
            break;
        }
        int rc = ctx.text[ctx.pos] == '[' ? toml_parse_header(&ctx)
                                          : toml_parse_key_value_line(&ctx);
        if (rc < 0)
            break;
    }
    toml_ctx_release(&ctx);
    return result;
}
