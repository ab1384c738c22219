// JSON parser: a strict recursive-descent reader in one forward pass.
//
// Every value becomes an interpreter object as soon as it is read.  The
// reader is built for speed where the grammar allows it (strings straight
// from the document's bytes, integers and floats converted without building
// text, object keys shared through a per-call cache), but each shortcut must
// give the same tree and the same error, at the same byte, as a plain
// byte-by-byte reading would.
#include "quorvane.h"
#include "qv_float.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Values may nest this deep, the top value counting as the first.
constexpr int kMaxDepth = 512;

// Object keys up to this length are shared through the key cache.  The
// cache starts small, for small documents, and grows with the number of
// distinct keys, up to a size that holds the keys of most real documents.
constexpr Py_ssize_t kKeyCacheMaxLen = 64;
constexpr int kKeyCacheFirstBits = 5;
constexpr int kKeyCacheMaxBits = 11;

struct JsonKey {
    uint64_t head, tail;  // see json_key_words
    const char *src;      // the key's bytes in the document; valid for the call
    Py_ssize_t len;
    PyObject *str;  // owned
};

struct JsonCtx {
    const char *text;
    Py_ssize_t len;
    Py_ssize_t pos;
    int depth;
    // Decoded bytes of a string with escapes; reused by every such string.
    char *sbuf;
    Py_ssize_t sbuf_cap;
    // 16-bit units of the non-ASCII string being made; reused likewise.
    uint16_t *ubuf;
    Py_ssize_t ubuf_cap;
    // Elements of the arrays being read, innermost last; each array takes
    // its own slice when it closes.  Owned references.
    PyObject **items;
    Py_ssize_t items_top;
    Py_ssize_t items_cap;
    // Open addressing by a hash of the key's bytes: a repeated key costs a
    // compare instead of a decode, and dicts get keys whose hash is known.
    JsonKey *keys;
    int key_bits;
    Py_ssize_t key_count;
};

// Byte classes for the two scans that run over most of the document.
constexpr unsigned char kWs = 1;          // space, tab, line feed, carriage return
constexpr unsigned char kStringStop = 2;  // double quote, backslash, control byte

constexpr struct JsonClassTable {
    unsigned char c[256];
    constexpr JsonClassTable() : c()
    {
        c[' '] = c['\t'] = c['\n'] = c['\r'] = kWs;
        for (int i = 0; i < 0x20; i++)
            c[i] |= kStringStop;
        c['"'] |= kStringStop;
        c['\\'] |= kStringStop;
    }
} kClass;

inline bool json_is_ws(char c) { return kClass.c[(unsigned char)c] & kWs; }
inline bool json_is_digit(char c) { return c >= '0' && c <= '9'; }

void json_error(JsonCtx *ctx, const char *msg) { qv::raise_at(ctx->text, ctx->pos, msg); }

// Moves pos to `at`, raises msg there and returns NULL for the caller.
PyObject *json_fail(JsonCtx *ctx, Py_ssize_t at, const char *msg)
{
    ctx->pos = at;
    json_error(ctx, msg);
    return nullptr;
}

// A run of white space from pos on; returns the offset after it.  Indented
// documents spend most of their white space in long runs of spaces.
Py_ssize_t json_skip_ws_run(const char *t, Py_ssize_t pos, Py_ssize_t len)
{
#if defined(__SSE2__)
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
    while (pos < len && json_is_ws(t[pos]))
        pos++;
    return pos;
}

inline void json_skip_ws(JsonCtx *ctx)
{
    Py_ssize_t pos = ctx->pos;
    // Most tokens follow the previous one directly or after one space.
    if (pos < ctx->len && !json_is_ws(ctx->text[pos]))
        return;
    if (pos + 1 < ctx->len && !json_is_ws(ctx->text[pos + 1])) {
        ctx->pos = pos + 1;
        return;
    }
    ctx->pos = json_skip_ws_run(ctx->text, pos, ctx->len);
}

void json_ctx_release(JsonCtx *ctx)
{
    std::free(ctx->sbuf);
    std::free(ctx->ubuf);
    for (Py_ssize_t i = 0; i < ctx->items_top; i++)
        Py_DECREF(ctx->items[i]);
    std::free(ctx->items);
    if (ctx->keys) {
        for (Py_ssize_t i = 0; i < ((Py_ssize_t)1 << ctx->key_bits); i++)
            Py_XDECREF(ctx->keys[i].str);
        std::free(ctx->keys);
    }
}

// ---------------------------------------------------------------------------
// Strings

// Offset of the first double quote, backslash or control byte at or after
// pos, or len.  *high is set when a byte >= 0x80 lies before that offset.
inline Py_ssize_t json_scan_plain(const char *t, Py_ssize_t pos, Py_ssize_t len,
                                  bool *high)
{
    unsigned seen = 0;
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i ctl_max = _mm_set1_epi8(0x1F);
    while (len - pos >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(t + pos));
        __m128i stop = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote),
                                                 _mm_cmpeq_epi8(v, backslash)),
                                    _mm_cmpeq_epi8(_mm_min_epu8(v, ctl_max), v));
        unsigned stop_mask = (unsigned)_mm_movemask_epi8(stop);
        unsigned high_mask = (unsigned)_mm_movemask_epi8(v);
        if (stop_mask) {
            unsigned k = (unsigned)__builtin_ctz(stop_mask);
            seen |= high_mask & ((1u << k) - 1);
            *high = seen != 0;
            return pos + k;
        }
        seen |= high_mask;
        pos += 16;
    }
#endif
    while (pos < len) {
        unsigned char c = (unsigned char)t[pos];
        if (kClass.c[c] & kStringStop)
            break;
        seen |= c & 0x80;
        pos++;
    }
    *high = seen != 0;
    return pos;
}

// Length in code points and the largest code point class of n bytes of
// UTF-8, or -1 when they are not strict UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF).
Py_ssize_t json_utf8_measure(const unsigned char *s, Py_ssize_t n, Py_UCS4 *maxchar)
{
    Py_ssize_t i = 0, count = 0;
    Py_UCS4 max = 0x7F;
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
            if (c > 0xC3 && max < 0xFFFF)
                max = 0xFFFF;  // beyond Latin-1
            else if (max < 0xFF)
                max = 0xFF;
            i += 2;
        } else if (c < 0xF0) {
            if (n - i < 3 || (s[i + 1] & 0xC0) != 0x80 || (s[i + 2] & 0xC0) != 0x80)
                return -1;
            if ((c == 0xE0 && s[i + 1] < 0xA0) || (c == 0xED && s[i + 1] > 0x9F))
                return -1;  // overlong, or a surrogate
            if (max < 0xFFFF)
                max = 0xFFFF;
            i += 3;
        } else if (c < 0xF5) {
            if (n - i < 4 || (s[i + 1] & 0xC0) != 0x80 || (s[i + 2] & 0xC0) != 0x80 ||
                (s[i + 3] & 0xC0) != 0x80)
                return -1;
            if ((c == 0xF0 && s[i + 1] < 0x90) || (c == 0xF4 && s[i + 1] > 0x8F))
                return -1;  // overlong, or beyond U+10FFFF
            max = 0x10FFFF;
            i += 4;
        } else {
            return -1;
        }
        count++;
    }
    *maxchar = max;
    return count;
}

// Decodes n bytes of UTF-8 already checked by json_utf8_measure.
template <typename Unit>
void json_utf8_decode(const unsigned char *s, Py_ssize_t n, Unit *out)
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

// Decodes n bytes of strict UTF-8 into 16-bit units at out (room for n),
// checking as it goes.  Returns the number of units, with *maxchar the
// largest; -1 for bytes that are not strict UTF-8; -2 at the first code
// point beyond 16 bits, which the caller reads another way.
Py_ssize_t json_utf8_decode_ucs2(const unsigned char *s, Py_ssize_t n, uint16_t *out,
                                 Py_UCS4 *maxchar)
{
    Py_ssize_t i = 0, count = 0;
    unsigned max = 0x7F;
    while (i < n) {
        unsigned c = s[i];
        if (c < 0x80) {
            out[count++] = (uint16_t)c;
            i++;
            continue;
        }
        if (c >= 0xE0 && c < 0xF0) {
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

// A str from n bytes of UTF-8 (a run of the document, or the decoded bytes
// of an escaped string).  ASCII needs no check at all.  Other text is decoded once into 16-bit
// units in the call's buffer and copied into a str of its final size and
// width; text beyond 16 bits is measured and decoded straight into the str;
// text that is not valid goes to the interpreter's decoder, which raises its
// own error for it.  The string's content starts at offset `from` of the
// document and ends at its closing quote, the byte before ctx->pos.
PyObject *json_make_str(JsonCtx *ctx, const char *s, Py_ssize_t n, bool high,
                        Py_ssize_t from)
{
    if (!high) {
        PyObject *str = PyUnicode_New(n, 127);
        if (str && n)
            std::memcpy(PyUnicode_DATA(str), s, (size_t)n);
        return str;
    }
    auto u = reinterpret_cast<const unsigned char *>(s);
    if (ctx->ubuf_cap < n) {
        Py_ssize_t cap = n < 256 ? 256 : n;
        auto grown = static_cast<uint16_t *>(std::realloc(ctx->ubuf, (size_t)cap * sizeof(uint16_t)));
        if (!grown)
            return PyErr_NoMemory();
        ctx->ubuf = grown;
        ctx->ubuf_cap = cap;
    }
    Py_UCS4 maxchar;
    Py_ssize_t count = json_utf8_decode_ucs2(u, n, ctx->ubuf, &maxchar);
    if (count >= 0) {
        PyObject *str = PyUnicode_New(count, maxchar);
        if (!str)
            return nullptr;
        if (PyUnicode_KIND(str) == PyUnicode_2BYTE_KIND) {
            std::memcpy(PyUnicode_2BYTE_DATA(str), ctx->ubuf, (size_t)count * 2);
        } else {
            Py_UCS1 *out = PyUnicode_1BYTE_DATA(str);
            for (Py_ssize_t i = 0; i < count; i++)
                out[i] = (Py_UCS1)ctx->ubuf[i];
        }
        return str;
    }
    if (count == -2)
        count = json_utf8_measure(u, n, &maxchar);
    if (count < 0) {
        PyObject *refused = quorvane_new_str(s, n);  // raises the decoding error
        qv::note_decode_error(ctx->text, from, ctx->pos - 1);
        return refused;
    }
    PyObject *str = PyUnicode_New(count, maxchar);
    if (str)
        json_utf8_decode(u, n, PyUnicode_4BYTE_DATA(str));
    return str;
}

// Makes room for n more decoded bytes; -1 when memory runs out.
int json_sbuf_reserve(JsonCtx *ctx, Py_ssize_t out, Py_ssize_t n)
{
    if (out + n <= ctx->sbuf_cap)
        return 0;
    Py_ssize_t cap = ctx->sbuf_cap ? ctx->sbuf_cap : 64;
    while (cap < out + n)
        cap *= 2;
    char *grown = static_cast<char *>(std::realloc(ctx->sbuf, (size_t)cap));
    if (!grown)
        return -1;
    ctx->sbuf = grown;
    ctx->sbuf_cap = cap;
    return 0;
}

// Four hex digits, most significant first; -1 if any is not one.
int json_hex4(const char *s)
{
    int v = 0;
    for (int i = 0; i < 4; i++) {
        int d = qv::hex_digit(s[i]);
        if (d < 0)
            return -1;
        v = v * 16 + d;
    }
    return v;
}

// `\u` and its digits, with pos on the first digit.  Returns the code point
// (a surrogate pair combined) with pos past the escape, or -1 after raising.
int json_parse_u_escape(JsonCtx *ctx)
{
    const char *t = ctx->text;
    Py_ssize_t pos = ctx->pos;
    int cp = pos + 4 <= ctx->len ? json_hex4(t + pos) : -1;
    if (cp < 0) {
        json_error(ctx, "invalid \\u escape");
        return -1;
    }
    pos += 4;
    ctx->pos = pos;
    if (cp >= 0xD800 && cp <= 0xDBFF) {
        // Only an immediately following low surrogate completes the pair.
        int lo = -1;
        if (pos + 6 <= ctx->len && t[pos] == '\\' && t[pos + 1] == 'u')
            lo = json_hex4(t + pos + 2);
        if (lo < 0xDC00 || lo > 0xDFFF) {
            json_error(ctx, "unpaired surrogate in \\u escape");
            return -1;
        }
        ctx->pos = pos + 6;
        return 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
    }
    if (cp >= 0xDC00 && cp <= 0xDFFF) {
        json_error(ctx, "unpaired surrogate in \\u escape");
        return -1;
    }
    return cp;
}

// One escape with pos on its backslash: appends its bytes to the string
// buffer at *out.  0, or -1 after raising.
int json_parse_escape(JsonCtx *ctx, Py_ssize_t *out, bool *high)
{
    Py_ssize_t pos = ctx->pos + 1;
    if (pos >= ctx->len) {
        json_fail(ctx, pos, "unterminated escape sequence");
        return -1;
    }
    char letter = ctx->text[pos];
    ctx->pos = pos + 1;
    char simple;
    switch (letter) {
    case '"': simple = '"'; break;
    case '\\': simple = '\\'; break;
    case '/': simple = '/'; break;
    case 'b': simple = '\b'; break;
    case 'f': simple = '\f'; break;
    case 'n': simple = '\n'; break;
    case 'r': simple = '\r'; break;
    case 't': simple = '\t'; break;
    case 'u': {
        int cp = json_parse_u_escape(ctx);
        if (cp < 0)
            return -1;
        if (json_sbuf_reserve(ctx, *out, 4) < 0) {
            PyErr_NoMemory();
            return -1;
        }
        *out += qv::utf8_encode(ctx->sbuf + *out, (unsigned)cp);
        *high |= cp >= 0x80;
        return 0;
    }
    default:
        json_error(ctx, "invalid escape character");
        return -1;
    }
    if (json_sbuf_reserve(ctx, *out, 1) < 0) {
        PyErr_NoMemory();
        return -1;
    }
    ctx->sbuf[(*out)++] = simple;
    return 0;
}

// The rest of a string whose body from `start` holds an escape at pos.
// Plain runs are copied whole between escapes.
PyObject *json_parse_escaped_string(JsonCtx *ctx, Py_ssize_t start, bool high)
{
    const char *t = ctx->text;
    Py_ssize_t out = 0;
    Py_ssize_t run = start;
    for (;;) {
        Py_ssize_t n = ctx->pos - run;
        if (n) {
            if (json_sbuf_reserve(ctx, out, n) < 0)
                return PyErr_NoMemory();
            std::memcpy(ctx->sbuf + out, t + run, (size_t)n);
            out += n;
        }
        if (ctx->pos >= ctx->len)
            return json_fail(ctx, ctx->len, "unterminated string");
        unsigned char c = (unsigned char)t[ctx->pos];
        if (c == '"') {
            ctx->pos++;
            return json_make_str(ctx, ctx->sbuf, out, high, start);
        }
        if (c < 0x20)
            return json_fail(ctx, ctx->pos, "unescaped control character in string");
        if (json_parse_escape(ctx, &out, &high) < 0)
            return nullptr;
        bool run_high;
        run = ctx->pos;
        ctx->pos = json_scan_plain(t, run, ctx->len, &run_high);
        high |= run_high;
    }
}

// The body of a string, pos just past its opening quote.  Sets *start and
// returns the offset of the byte that ends the plain run (see
// json_scan_plain); pos is left on that byte.
inline Py_ssize_t json_string_run(JsonCtx *ctx, Py_ssize_t *start, bool *high)
{
    *start = ctx->pos;
    ctx->pos = json_scan_plain(ctx->text, ctx->pos, ctx->len, high);
    return ctx->pos;
}

// Errors of a plain run that did not end at its closing quote.
PyObject *json_string_tail(JsonCtx *ctx, Py_ssize_t start, bool high)
{
    if (ctx->pos >= ctx->len)
        return json_fail(ctx, ctx->len, "unterminated string");
    if (ctx->text[ctx->pos] == '\\')
        return json_parse_escaped_string(ctx, start, high);
    json_error(ctx, "unescaped control character in string");
    return nullptr;
}

PyObject *json_parse_string(JsonCtx *ctx)
{
    Py_ssize_t start;
    bool high;
    Py_ssize_t end = json_string_run(ctx, &start, &high);
    if (end < ctx->len && ctx->text[end] == '"') {
        ctx->pos = end + 1;
        return json_make_str(ctx, ctx->text + start, end - start, high, start);
    }
    return json_string_tail(ctx, start, high);
}

// The words a key is compared and hashed by: its first and last eight
// bytes (zero-padded when shorter), which hold all of a key of up to 16.
struct JsonKeyWords {
    uint64_t head, tail;
};

inline JsonKeyWords json_key_words(const char *s, Py_ssize_t n, const char *text_end)
{
    JsonKeyWords w{0, 0};
    if (n >= 8) {
        std::memcpy(&w.head, s, 8);
        std::memcpy(&w.tail, s + n - 8, 8);
    } else if (text_end - s >= 8) {
        // The bytes after the key belong to the document; masked off.
        std::memcpy(&w.head, s, 8);
        w.head &= (1ULL << (8 * n)) - 1;
    } else {
        for (Py_ssize_t i = 0; i < n; i++)
            w.head |= (uint64_t)(unsigned char)s[i] << (8 * i);
    }
    return w;
}

inline uint64_t json_key_hash(JsonKeyWords w, Py_ssize_t n)
{
    // Two independent products: the top bits, which pick the slot, depend
    // on every bit of both words.
    return ((w.head ^ (uint64_t)n) * 0xBF58476D1CE4E5B9ULL) ^ (w.tail * 0x9E3779B97F4A7C15ULL);
}

// Keys are looked for in this many slots from their home slot.
constexpr Py_ssize_t kKeyProbes = 8;

// A fresh table of 2^bits slots holding what the old one held.  -1 when
// memory runs out.
int json_key_cache_resize(JsonCtx *ctx, int bits)
{
    auto fresh = static_cast<JsonKey *>(std::calloc((size_t)1 << bits, sizeof(JsonKey)));
    if (!fresh)
        return -1;
    JsonKey *old = ctx->keys;
    Py_ssize_t old_size = old ? (Py_ssize_t)1 << ctx->key_bits : 0;
    ctx->keys = fresh;
    ctx->key_bits = bits;
    Py_ssize_t mask = ((Py_ssize_t)1 << bits) - 1;
    for (Py_ssize_t i = 0; i < old_size; i++) {
        if (!old[i].str)
            continue;
        Py_ssize_t at = (Py_ssize_t)(json_key_hash({old[i].head, old[i].tail}, old[i].len) >> (64 - bits));
        // The table is at most half full, so a free slot is always near.
        while (fresh[at].str)
            at = (at + 1) & mask;
        fresh[at] = old[i];
    }
    std::free(old);
    return 0;
}

// An object key: like a string, but plain short keys come from the cache.
PyObject *json_parse_key(JsonCtx *ctx)
{
    Py_ssize_t start;
    bool high;
    Py_ssize_t end = json_string_run(ctx, &start, &high);
    if (end >= ctx->len || ctx->text[end] != '"')
        return json_string_tail(ctx, start, high);
    ctx->pos = end + 1;
    const char *s = ctx->text + start;
    Py_ssize_t n = end - start;
    if (n > kKeyCacheMaxLen)
        return json_make_str(ctx, s, n, high, start);
    if (!ctx->keys && json_key_cache_resize(ctx, kKeyCacheFirstBits) < 0)
        return PyErr_NoMemory();
    JsonKeyWords w = json_key_words(s, n, ctx->text + ctx->len);
    uint64_t h = json_key_hash(w, n);
    Py_ssize_t mask = ((Py_ssize_t)1 << ctx->key_bits) - 1;
    Py_ssize_t home = (Py_ssize_t)(h >> (64 - ctx->key_bits));
    for (Py_ssize_t i = 0; i < kKeyProbes; i++) {
        JsonKey *slot = &ctx->keys[(home + i) & mask];
        if (!slot->str)
            break;
        if (slot->len == n && slot->head == w.head && slot->tail == w.tail &&
            (n <= 16 || std::memcmp(slot->src + 8, s + 8, (size_t)(n - 16)) == 0)) {
            Py_INCREF(slot->str);
            return slot->str;
        }
    }
    PyObject *key = json_make_str(ctx, s, n, high, start);
    if (!key)
        return nullptr;
    // Kept at most half full while it may grow; once full grown, a key
    // that finds no free slot near home takes the home slot over.
    if (2 * (ctx->key_count + 1) > mask + 1 && ctx->key_bits < kKeyCacheMaxBits) {
        if (json_key_cache_resize(ctx, ctx->key_bits + 1) < 0) {
            Py_DECREF(key);
            return PyErr_NoMemory();
        }
        mask = ((Py_ssize_t)1 << ctx->key_bits) - 1;
        home = (Py_ssize_t)(h >> (64 - ctx->key_bits));
    }
    JsonKey *target = &ctx->keys[home];
    for (Py_ssize_t i = 0; i < kKeyProbes; i++) {
        JsonKey *slot = &ctx->keys[(home + i) & mask];
        if (!slot->str) {
            target = slot;
            break;
        }
    }
    if (target->str)
        Py_DECREF(target->str);
    else
        ctx->key_count++;
    Py_INCREF(key);
    *target = {w.head, w.tail, s, n, key};
    return key;
}

// ---------------------------------------------------------------------------
// Numbers

// Digits are read eight bytes at a time: long fractions are the bulk of
// coordinate data.  Flags (the top bit of each byte) the bytes of v that
// are not ASCII digits; only the lowest flag is exact, since carries run
// upwards, and only the lowest is used.
inline uint64_t json_nondigit_bytes(uint64_t v)
{
    return ((v + 0x4646464646464646ULL) | (v - 0x3030303030303030ULL)) & 0x8080808080808080ULL;
}

// The value of eight ASCII digits, the first in the lowest byte.
inline uint64_t json_eight_digits_value(uint64_t v)
{
    v -= 0x3030303030303030ULL;
    v = v * 10 + (v >> 8);
    const uint64_t mask = 0x000000FF000000FFULL;
    v = (((v & mask) * 0x000F424000000064ULL) + (((v >> 16) & mask) * 0x0000271000000001ULL)) >> 32;
    return (uint32_t)v;
}

constexpr uint64_t kPow10U64[9] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

// Digits from pos on, accumulated into *w (wrapping past 19 digits, when
// the caller recomputes or never uses the value).  Returns the offset after
// the last digit.
inline Py_ssize_t json_scan_digits(const char *t, Py_ssize_t pos, Py_ssize_t len, uint64_t *w)
{
    uint64_t acc = *w;
    while (len - pos >= 8) {
        uint64_t v;
        std::memcpy(&v, t + pos, 8);
        uint64_t other = json_nondigit_bytes(v);
        if (!other) {
            acc = acc * 100000000 + json_eight_digits_value(v);
            pos += 8;
            continue;
        }
        int k = __builtin_ctzll(other) >> 3;  // digits before the first other byte
        if (k) {
            // Shift the k digits to the top and fill below with '0's, which
            // read as leading zeros.
            v = (v << (8 * (8 - k))) | (0x3030303030303030ULL >> (8 * k));
            acc = acc * kPow10U64[k] + json_eight_digits_value(v);
            pos += k;
        }
        *w = acc;
        return pos;
    }
    while (pos < len && json_is_digit(t[pos])) {
        acc = acc * 10 + (uint64_t)(t[pos] - '0');
        pos++;
    }
    *w = acc;
    return pos;
}

// The arbitrary-precision reader for integers beyond 64 bits, on a private
// NUL-terminated copy.  Its refusal (the interpreter's limit on digits) is
// reported as an invalid number just after the number.
PyObject *json_big_integer(JsonCtx *ctx, Py_ssize_t start)
{
    Py_ssize_t n = ctx->pos - start;
    qv::Buf tmp(static_cast<char *>(std::malloc((size_t)n + 1)));
    if (!tmp)
        return PyErr_NoMemory();
    std::memcpy(tmp.get(), ctx->text + start, (size_t)n);
    tmp.get()[n] = '\0';
    PyObject *obj = PyLong_FromString(tmp.get(), nullptr, 10);
    if (!obj) {
        PyErr_Clear();
        json_error(ctx, "invalid number");
    }
    return obj;
}

// The interpreter's float() of the number's text, for the rare values that
// the fast conversion cannot decide.
PyObject *json_slow_float(JsonCtx *ctx, Py_ssize_t start)
{
    Py_ssize_t n = ctx->pos - start;
    char small[64];
    qv::Buf big;
    char *copy = small;
    if (n >= (Py_ssize_t)sizeof small) {
        big.reset(static_cast<char *>(std::malloc((size_t)n + 1)));
        if (!big)
            return PyErr_NoMemory();
        copy = big.get();
    }
    std::memcpy(copy, ctx->text + start, (size_t)n);
    copy[n] = '\0';
    double d = PyOS_string_to_double(copy, nullptr, nullptr);
    if (d == -1.0 && PyErr_Occurred())
        return nullptr;
    return PyFloat_FromDouble(d);
}

// Significand and power of ten of a float whose digits (the integer part
// from int_start, then the fraction after the point) number more than 19:
// the first 19 significant digits, and whether any nonzero digit follows.
void json_long_significand(const char *t, Py_ssize_t int_start, Py_ssize_t int_end,
                           Py_ssize_t frac_end, uint64_t *w, int64_t *q,
                           bool *truncated)
{
    uint64_t v = 0;
    int taken = 0;
    int64_t dropped = 0;  // significant digits after the first 19
    bool nonzero_dropped = false;
    for (Py_ssize_t i = int_start; i < frac_end; i++) {
        if (i == int_end)
            continue;  // the decimal point
        int d = t[i] - '0';
        if (taken == 0 && d == 0)
            continue;  // leading zero
        if (taken < 19) {
            v = v * 10 + (uint64_t)d;
            taken++;
        } else {
            dropped++;
            nonzero_dropped |= d != 0;
        }
    }
    *w = v;
    *q += dropped;
    *truncated = nonzero_dropped;
}

PyObject *json_parse_number(JsonCtx *ctx)
{
    const char *t = ctx->text;
    Py_ssize_t len = ctx->len;
    Py_ssize_t start = ctx->pos;
    Py_ssize_t pos = start;
    bool negative = t[pos] == '-';
    if (negative)
        pos++;

    // Integer part, accumulated as it is scanned (wrapping beyond 19
    // digits, when the value is recomputed or never used).
    Py_ssize_t int_start = pos;
    uint64_t w = 0;
    if (pos >= len)
        return json_fail(ctx, pos, "invalid number");
    if (t[pos] == '0') {
        pos++;
    } else if (t[pos] >= '1' && t[pos] <= '9') {
        // Integer parts are mostly short: a few digits one by one first.
        w = (uint64_t)(t[pos++] - '0');
        if (pos < len && json_is_digit(t[pos])) {
            w = w * 10 + (uint64_t)(t[pos++] - '0');
            if (pos < len && json_is_digit(t[pos]))
                pos = json_scan_digits(t, pos, len, &w);
        }
    } else {
        return json_fail(ctx, pos, "invalid number");
    }
    Py_ssize_t int_end = pos;

    bool is_float = false;
    Py_ssize_t frac_end = pos;
    if (pos < len && t[pos] == '.') {
        pos++;
        if (pos >= len || !json_is_digit(t[pos]))
            return json_fail(ctx, pos, "invalid number: expected digit after decimal point");
        pos = json_scan_digits(t, pos, len, &w);
        frac_end = pos;
        is_float = true;
    }

    int64_t exp10 = 0;
    if (pos < len && (t[pos] == 'e' || t[pos] == 'E')) {
        pos++;
        if (pos >= len)
            return json_fail(ctx, pos, "invalid number: expected digit in exponent");
        bool exp_negative = false;
        if (t[pos] == '+' || t[pos] == '-') {
            exp_negative = t[pos] == '-';
            pos++;
            if (pos >= len)
                return json_fail(ctx, pos, "invalid number: expected digit in exponent");
        }
        if (!json_is_digit(t[pos]))
            return json_fail(ctx, pos, "invalid number: expected digit in exponent");
        do {
            // Saturates far beyond any double's range.
            if (exp10 < 100000000000000000LL)
                exp10 = exp10 * 10 + (t[pos] - '0');
            pos++;
        } while (pos < len && json_is_digit(t[pos]));
        if (exp_negative)
            exp10 = -exp10;
        is_float = true;
    }
    ctx->pos = pos;

    if (!is_float) {
        Py_ssize_t digits = int_end - int_start;
        if (digits <= 18)
            return PyLong_FromLongLong(negative ? -(long long)w : (long long)w);
        if (digits == 19) {
            if (!negative)
                return PyLong_FromUnsignedLongLong(w);
            if (w <= (1ULL << 63))
                return PyLong_FromLongLong((long long)(0 - w));
        }
        return json_big_integer(ctx, start);
    }

    int64_t frac_digits = frac_end > int_end ? frac_end - int_end - 1 : 0;
    int64_t q = exp10 - frac_digits;
    bool truncated = false;
    if ((int_end - int_start) + frac_digits > 19)
        json_long_significand(t, int_start, int_end, frac_end, &w, &q, &truncated);
    double d;
    if (qv::float_from_decimal(w, q, negative, truncated, &d))
        return PyFloat_FromDouble(d);
    return json_slow_float(ctx, start);
}

// ---------------------------------------------------------------------------
// Values

PyObject *json_parse_array(JsonCtx *ctx);
PyObject *json_parse_object(JsonCtx *ctx);

// true, false or null; NULL with nothing raised when the bytes differ.
PyObject *json_parse_literal(JsonCtx *ctx, const char *word, Py_ssize_t n, PyObject *obj)
{
    if (ctx->len - ctx->pos < n || std::memcmp(ctx->text + ctx->pos, word, (size_t)n) != 0)
        return nullptr;
    ctx->pos += n;
    return Py_NewRef(obj);
}

inline PyObject *json_dispatch_value(JsonCtx *ctx)
{
    switch (ctx->text[ctx->pos]) {
    case '{':
        ctx->pos++;
        return json_parse_object(ctx);
    case '[':
        ctx->pos++;
        return json_parse_array(ctx);
    case '"':
        ctx->pos++;
        return json_parse_string(ctx);
    case 't':
        return json_parse_literal(ctx, "true", 4, Py_True);
    case 'f':
        return json_parse_literal(ctx, "false", 5, Py_False);
    case 'n':
        return json_parse_literal(ctx, "null", 4, Py_None);
    case '\'':
        json_error(ctx, "bare single quotes are not allowed in JSON");
        return nullptr;
    case '-':
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9':
        return json_parse_number(ctx);
    default:
        return nullptr;
    }
}

// Inlined into each place that reads a value, so that a scalar costs no
// call; objects and arrays are the out-of-line steps of the recursion.
__attribute__((always_inline)) inline PyObject *json_parse_value(JsonCtx *ctx)
{
    json_skip_ws(ctx);
    if (ctx->pos >= ctx->len)
        return json_fail(ctx, ctx->pos, "unexpected end of input");
    // Scalars count too: nothing at all may start inside the deepest level.
    if (ctx->depth >= kMaxDepth)
        return json_fail(ctx, ctx->pos, "max depth exceeded");
    ctx->depth++;
    PyObject *result = json_dispatch_value(ctx);
    ctx->depth--;
    if (!result && !PyErr_Occurred())
        json_error(ctx, "unexpected character in JSON value");
    return result;
}


// Appends an owned item to the element stack; on failure releases it.
int json_push_item(JsonCtx *ctx, PyObject *item)
{
    if (ctx->items_top == ctx->items_cap) {
        Py_ssize_t cap = ctx->items_cap ? ctx->items_cap * 2 : 64;
        auto grown = static_cast<PyObject **>(
            std::realloc(ctx->items, (size_t)cap * sizeof(PyObject *)));
        if (!grown) {
            Py_DECREF(item);
            PyErr_NoMemory();
            return -1;
        }
        ctx->items = grown;
        ctx->items_cap = cap;
    }
    ctx->items[ctx->items_top++] = item;
    return 0;
}

// Releases the elements above base after a failure.
PyObject *json_drop_items(JsonCtx *ctx, Py_ssize_t base)
{
    while (ctx->items_top > base)
        Py_DECREF(ctx->items[--ctx->items_top]);
    return nullptr;
}

// A list holding the elements above base, which it takes over.
PyObject *json_take_items(JsonCtx *ctx, Py_ssize_t base)
{
    Py_ssize_t n = ctx->items_top - base;
    PyObject *list = PyList_New(n);
    if (!list)
        return json_drop_items(ctx, base);
    for (Py_ssize_t i = 0; i < n; i++)
        PyList_SET_ITEM(list, i, ctx->items[base + i]);
    ctx->items_top = base;
    return list;
}

__attribute__((noinline)) PyObject *json_parse_array(JsonCtx *ctx)
{
    json_skip_ws(ctx);
    if (ctx->pos < ctx->len && ctx->text[ctx->pos] == ']') {
        ctx->pos++;
        return PyList_New(0);
    }
    Py_ssize_t base = ctx->items_top;
    for (;;) {
        PyObject *item = json_parse_value(ctx);
        if (!item || json_push_item(ctx, item) < 0)
            return json_drop_items(ctx, base);
        json_skip_ws(ctx);
        if (ctx->pos >= ctx->len) {
            json_fail(ctx, ctx->len, "unterminated array");
            return json_drop_items(ctx, base);
        }
        char c = ctx->text[ctx->pos];
        if (c == ',') {
            ctx->pos++;
            json_skip_ws(ctx);
            if (ctx->pos < ctx->len && ctx->text[ctx->pos] == ']') {
                json_error(ctx, "trailing comma in array");
                return json_drop_items(ctx, base);
            }
            continue;
        }
        if (c == ']') {
            ctx->pos++;
            return json_take_items(ctx, base);
        }
        json_error(ctx, "expected ',' or ']' in array");
        return json_drop_items(ctx, base);
    }
}

// One `"key": value` member, stored into dict.  0, or -1 after raising.
int json_parse_member(JsonCtx *ctx, PyObject *dict)
{
    json_skip_ws(ctx);
    const char *t = ctx->text;
    if (ctx->pos >= ctx->len || t[ctx->pos] != '"') {
        bool single = ctx->pos < ctx->len && t[ctx->pos] == '\'';
        json_error(ctx, single ? "bare single quotes are not allowed in JSON"
                               : "expected string key in object");
        return -1;
    }
    ctx->pos++;
    qv::Ref key(json_parse_key(ctx));
    if (!key)
        return -1;
    json_skip_ws(ctx);
    if (ctx->pos >= ctx->len || t[ctx->pos] != ':') {
        json_error(ctx, "expected ':' after object key");
        return -1;
    }
    ctx->pos++;
    qv::Ref value(json_parse_value(ctx));
    if (!value)
        return -1;
    // A repeated key keeps its first place and takes the last value.
    return PyDict_SetItem(dict, key.get(), value.get());
}

__attribute__((noinline)) PyObject *json_parse_object(JsonCtx *ctx)
{
    qv::Ref dict(PyDict_New());
    if (!dict)
        return nullptr;
    json_skip_ws(ctx);
    if (ctx->pos < ctx->len && ctx->text[ctx->pos] == '}') {
        ctx->pos++;
        return dict.release();
    }
    for (;;) {
        if (json_parse_member(ctx, dict.get()) < 0)
            return nullptr;
        json_skip_ws(ctx);
        if (ctx->pos >= ctx->len)
            return json_fail(ctx, ctx->len, "unterminated object");
        char c = ctx->text[ctx->pos];
        if (c == ',') {
            ctx->pos++;
            json_skip_ws(ctx);
            if (ctx->pos < ctx->len && ctx->text[ctx->pos] == '}')
                return json_fail(ctx, ctx->pos, "trailing comma in object");
            continue;
        }
        if (c == '}') {
            ctx->pos++;
            return dict.release();
        }
        return json_fail(ctx, ctx->pos, "expected ',' or '}' in object");
    }
}

}  // namespace

QUORVANE_API PyObject *quorvane_parse_json_text(const char *text, Py_ssize_t len)
{
    JsonCtx ctx{text, len, 0, 0, nullptr, 0, nullptr, 0, nullptr, 0, 0, nullptr, 0, 0};
    PyObject *result = json_parse_value(&ctx);
    if (result) {
        json_skip_ws(&ctx);
        if (ctx.pos != len) {
            json_error(&ctx, "trailing characters after JSON value");
            Py_CLEAR(result);
        }
    }
    json_ctx_release(&ctx);
    return result;
}
