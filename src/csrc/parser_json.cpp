// JSON parser: a strict recursive-descent reader in one forward pass.
//
// Every value becomes an interpreter object as soon as it is read.  The
// reader is built for speed where the grammar allows it (strings straight
// from the document's bytes, integers and floats converted without building
// text, object keys shared through a per-call cache), but each shortcut must
// give the same tree and the same error, at the same byte, as a plain
// byte-by-byte reading would.
#include "quorvane.h"
#include "toolkit/toolkit.h"

#include <cstdint>
#include <cstring>


namespace {

class JsonCtx : public qv::Cursor<qv::PositionError> {
public:
    JsonCtx(const char *text, Py_ssize_t len) : Cursor(text, len), strs(text, len) {}

    // Values may nest 512 levels deep, the top value counting as the first.
    qv::DepthGuard depth;
    // Decoded bytes of a string with escapes; reused by every such string.
    qv::Buffer<char, 256> sbuf;
    qv::StrMaker strs;
    // Elements of the arrays being read, innermost last; each array takes
    // its own slice when it closes.
    qv::RefStack items;
    // Object keys by their bytes: a repeated key costs a compare instead of
    // a decode, and dicts get keys whose hash is known.
    qv::KeyCache keys;
    // The tables of objects read so far, for the objects with their keys.
    qv::DictShapes shapes;
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


// Longer blanks, from pos on.  In a pretty-printed document they are a line
// end and the next line's indentation, a run of spaces: passed sixteen at a
// time with a single compare, the rest by the toolkit's scan of blanks.
inline Py_ssize_t json_skip_indent(const char *t, Py_ssize_t pos, Py_ssize_t len)
{
#if defined(QV_SCAN_SSE2)
    const __m128i space = _mm_set1_epi8(' ');
    while (len - pos >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(t + pos));
        unsigned other = (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(v, space)) ^ 0xFFFFu;
        if (other) {
            pos += __builtin_ctz(other);
            if (!json_is_ws(t[pos]))
                return pos;
            break;
        }
        pos += 16;
    }
#endif
    return qv::skip_ws_run(t, pos, len);
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
    // Both blank (or the text ends): the indentation starts after the first.
    ctx->pos = json_skip_indent(ctx->text, pos + 1 < ctx->len ? pos + 1 : pos, ctx->len);
}

// ---------------------------------------------------------------------------
// Strings


// `\u` and its digits, with pos on the first digit.  Returns the code point
// (a surrogate pair combined) with pos past the escape, or -1 after raising.
int json_parse_u_escape(JsonCtx *ctx)
{
    const char *t = ctx->text;
    Py_ssize_t pos = ctx->pos;
    int cp = pos + 4 <= ctx->len ? (int)qv::hex_value(t + pos, 4) : -1;
    if (cp < 0)
        return ctx->fail("invalid \\u escape");
    pos += 4;
    ctx->pos = pos;
    if (cp >= 0xD800 && cp <= 0xDBFF) {
        // Only an immediately following low surrogate completes the pair.
        int lo = -1;
        if (pos + 6 <= ctx->len && t[pos] == '\\' && t[pos + 1] == 'u')
            lo = (int)qv::hex_value(t + pos + 2, 4);
        if (lo < 0xDC00 || lo > 0xDFFF)
            return ctx->fail("unpaired surrogate in \\u escape");
        ctx->pos = pos + 6;
        return 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
    }
    if (cp >= 0xDC00 && cp <= 0xDFFF)
        return ctx->fail("unpaired surrogate in \\u escape");
    return cp;
}

// One escape with pos on its backslash: appends its bytes to the string
// buffer.  0, or -1 after raising.
int json_parse_escape(JsonCtx *ctx, bool *high)
{
    Py_ssize_t pos = ctx->pos + 1;
    if (pos >= ctx->len)
        return ctx->fail_at(pos, "unterminated escape sequence");
    char letter = ctx->text[pos];
    ctx->pos = pos + 1;
    if (letter == 'u') {
        int cp = json_parse_u_escape(ctx);
        if (cp < 0 || !qv::append_utf8(ctx->sbuf, (unsigned)cp))
            return -1;
        *high |= cp >= 0x80;
        return 0;
    }
    int simple = qv::short_escape(letter, true);
    if (simple < 0)
        return ctx->fail("invalid escape character");
    return ctx->sbuf.push((char)simple) ? 0 : -1;
}

// The rest of a string whose body from `start` holds an escape at pos.
// Plain runs are copied whole between escapes.
PyObject *json_parse_escaped_string(JsonCtx *ctx, Py_ssize_t start, bool high)
{
    const char *t = ctx->text;
    ctx->sbuf.clear();
    Py_ssize_t run = start;
    for (;;) {
        if (!ctx->sbuf.append(t + run, ctx->pos - run))
            return nullptr;
        if (ctx->pos >= ctx->len)
            return ctx->fail_at(ctx->len, "unterminated string");
        unsigned char c = (unsigned char)t[ctx->pos];
        if (c == '"') {
            ctx->pos++;
            PyObject *str = ctx->strs.make(ctx->sbuf.data(), ctx->sbuf.size(), high);
            if (str == nullptr)
                qv::note_refused(t, start, ctx->pos - 1);
            return str;
        }
        if (c < 0x20)
            return ctx->fail("unescaped control character in string");
        if (json_parse_escape(ctx, &high) < 0)
            return nullptr;
        run = ctx->pos;
        ctx->pos = qv::scan_string_run(t, run, ctx->len, '"', '\\', false, &high);
    }
}

// The body of a string, pos just past its opening quote.  Sets *start and
// returns the offset of the byte that ends the plain run (a quote, a
// backslash or a control byte); pos is left on that byte.
inline Py_ssize_t json_string_run(JsonCtx *ctx, Py_ssize_t *start, bool *high)
{
    *start = ctx->pos;
    *high = false;
    ctx->pos = qv::scan_string_run(ctx->text, ctx->pos, ctx->len, '"', '\\', false, high);
    return ctx->pos;
}

// Errors of a plain run that did not end at its closing quote.
PyObject *json_string_tail(JsonCtx *ctx, Py_ssize_t start, bool high)
{
    if (ctx->pos >= ctx->len)
        return ctx->fail_at(ctx->len, "unterminated string");
    if (ctx->text[ctx->pos] == '\\')
        return json_parse_escaped_string(ctx, start, high);
    return ctx->fail("unescaped control character in string");
}

PyObject *json_parse_string(JsonCtx *ctx)
{
    Py_ssize_t start;
    bool high;
    Py_ssize_t end = json_string_run(ctx, &start, &high);
    if (end < ctx->len && ctx->text[end] == '"') {
        ctx->pos = end + 1;
        return ctx->strs.make(ctx->text + start, end - start, high);
    }
    return json_string_tail(ctx, start, high);
}

// An object key: like a string, but plain keys come from the key cache.
PyObject *json_parse_key(JsonCtx *ctx)
{
    Py_ssize_t start;
    bool high;
    Py_ssize_t end = json_string_run(ctx, &start, &high);
    if (end >= ctx->len || ctx->text[end] != '"')
        return json_string_tail(ctx, start, high);
    ctx->pos = end + 1;
    return ctx->keys.get(ctx->strs, ctx->text + start, end - start, high);
}

// ---------------------------------------------------------------------------
// Numbers

__attribute__((noinline)) PyObject *json_parse_number_scan(JsonCtx *ctx)
{
    const char *t = ctx->text;
    Py_ssize_t len = ctx->len;
    Py_ssize_t pos = ctx->pos;
    bool negative = t[pos] == '-';
    qv::DecimalText d(pos, negative, pos + negative);
    pos = d.int_start;
    if (pos < len && t[pos] == '0')
        pos++;
    else if (pos < len && t[pos] >= '1' && t[pos] <= '9')
        pos = qv::scan_int_digits(t, pos, len, &d.w);
    else
        return ctx->fail_at(pos, "invalid number");
    bool is_float = qv::scan_decimal_tail(t, pos, len, false, &d);
    if (__builtin_expect(d.missing_at >= 0, 0))
        return ctx->fail_at(d.missing_at, d.missing_in_exponent
                                              ? "invalid number: expected digit in exponent"
                                              : "invalid number: expected digit after decimal point");
    ctx->pos = d.end;
    if (is_float)
        return qv::decimal_float(t, d);
    if (qv::decimal_small_int(d))
        return qv::int_from_magnitude(d.w, negative);
    // Beyond 64 bits.  A refusal of the conversion (the interpreter's limit
    // on digits) is an invalid number just after it; running out of memory
    // is not, and passes through.
    PyObject *big = qv::big_int(t + d.int_start, d.int_end - d.int_start, 10, negative);
    if (!big && qv::refused())
        return ctx->fail("invalid number");
    return big;
}

// Most numbers are read in words; the rest, and every refused one, by the
// full scan.
__attribute__((flatten)) PyObject *json_parse_number(JsonCtx *ctx)
{
    if (ctx->len - ctx->pos >= qv::kQuickDecimalRoom) {
        PyObject *number;
        Py_ssize_t end = qv::quick_decimal(ctx->text, ctx->pos, &number);
        if (end >= 0) {
            ctx->pos = end;
            return number;
        }
    }
    return json_parse_number_scan(ctx);
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
        return ctx->fail("bare single quotes are not allowed in JSON");
    case '-':
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9':
        return json_parse_number(ctx);
    default:
        return nullptr;
    }
}

// A value with pos past the blanks before it, as the list steps leave it.
// Inlined into each place that reads a value, so that a scalar costs no
// call; objects and arrays are the out-of-line steps of the recursion.
__attribute__((always_inline)) inline PyObject *json_parse_value_here(JsonCtx *ctx)
{
    if (ctx->pos >= ctx->len)
        return ctx->fail("unexpected end of input");
    // Scalars count too: nothing at all may start inside the deepest level.
    if (!ctx->depth.enter())
        return ctx->fail("max depth exceeded");
    PyObject *result = json_dispatch_value(ctx);
    ctx->depth.leave();
    if (!result && !PyErr_Occurred())
        return ctx->fail("unexpected character in JSON value");
    return result;
}

__attribute__((always_inline)) inline PyObject *json_parse_value(JsonCtx *ctx)
{
    json_skip_ws(ctx);
    return json_parse_value_here(ctx);
}


inline bool json_starts_number(char c) { return c == '-' || (unsigned char)(c - '0') < 10; }

constexpr qv::ListRules kArrayRules = {
    ']', "unterminated array", "trailing comma in array", "expected ',' or ']' in array"};
constexpr qv::ListRules kObjectRules = {
    '}', "unterminated object", "trailing comma in object", "expected ',' or '}' in object"};

__attribute__((noinline)) PyObject *json_parse_array(JsonCtx *ctx)
{
    if (qv::list_closes_at_once(ctx, json_skip_ws, ']'))
        return PyList_New(0);
    qv::RefStack &items = ctx->items;
    Py_ssize_t base = items.size();
    // Coordinates, vectors, rows of figures: numbers each right after the
    // comma that follows the one before, read one after another without
    // the dispatch on each item.  The run stops at any other byte, which
    // the list step then reads, as it reads every item list step.  At a
    // level where an item may fail the depth or stack check, every item
    // takes the general step with its checks.
    if (ctx->depth.scalars_pass() && json_starts_number(ctx->text[ctx->pos])) {
        for (;;) {
            // json_parse_number's steps, inlined into the run.
            PyObject *item;
            Py_ssize_t end = ctx->len - ctx->pos >= qv::kQuickDecimalRoom
                                 ? qv::quick_decimal(ctx->text, ctx->pos, &item)
                                 : -1;
            if (end >= 0)
                ctx->pos = end;
            else
                item = json_parse_number_scan(ctx);
            if (!item || !items.push_owned(item)) {
                items.drop(base);
                return nullptr;
            }
            Py_ssize_t pos = ctx->pos;
            if (ctx->len - pos < 2 || ctx->text[pos] != ',' || !json_starts_number(ctx->text[pos + 1]))
                break;
            ctx->pos = pos + 1;
        }
        goto after_item;
    }
    // Both list steps stop past the blanks, so each item starts at pos.
    for (;;) {
        {
            PyObject *item = json_parse_value_here(ctx);
            if (!item || !items.push_owned(item))
                break;
        }
    after_item:
        qv::Next next = qv::after_list_item(ctx, json_skip_ws, kArrayRules);
        if (next == qv::Next::Closed)
            return items.take(base);
        if (next == qv::Next::Failed)
            break;
    }
    items.drop(base);
    return nullptr;
}

// One member's key with pos past the blanks before it, and pos past the
// colon after it.  A new reference, or NULL after raising.
PyObject *json_parse_member_key(JsonCtx *ctx)
{
    const char *t = ctx->text;
    if (ctx->pos >= ctx->len || t[ctx->pos] != '"') {
        bool single = ctx->pos < ctx->len && t[ctx->pos] == '\'';
        return ctx->fail(single ? "bare single quotes are not allowed in JSON"
                                : "expected string key in object");
    }
    ctx->pos++;
    qv::Ref key(json_parse_key(ctx));
    if (!key)
        return nullptr;
    json_skip_ws(ctx);
    if (!ctx->eat(':'))
        return ctx->fail("expected ':' after object key");
    return key.release();
}

// An object's members go into a dict one by one, a repeated key keeping
// its first place and taking the last value; but while its keys are, one
// for one, those of the last object that began with the same key (the
// same key objects from the key cache), only the values are kept, and the
// dict is made at the end as a copy of that object's table
// (qv::ShapedObject).
__attribute__((noinline)) PyObject *json_parse_object(JsonCtx *ctx)
{
    if (qv::list_closes_at_once(ctx, json_skip_ws, '}'))
        return PyDict_New();
    qv::ShapedObject<qv::RefStack> obj(ctx->shapes, ctx->items);
    for (;;) {
        Py_ssize_t k = -1;
        if (obj.may_match() && ctx->pos < ctx->len && ctx->text[ctx->pos] == '"')
            k = obj.match_key(ctx->text + ctx->pos + 1, ctx->len - ctx->pos - 1);
        if (k >= 0) {
            // The shape's own key: nothing to hold or compare.
            ctx->pos += k + 2;
            json_skip_ws(ctx);
            if (!ctx->eat(':'))
                return ctx->fail("expected ':' after object key");
            if (!obj.add(nullptr, json_parse_value(ctx)))
                return nullptr;
        } else {
            qv::Ref key(json_parse_member_key(ctx));
            if (!key || !obj.follow(key.get()) || !obj.add(key.get(), json_parse_value(ctx)))
                return nullptr;
        }
        qv::Next next = qv::after_list_item(ctx, json_skip_ws, kObjectRules);
        if (next == qv::Next::Failed)
            return nullptr;
        if (next == qv::Next::Closed)
            break;
    }
    return obj.close();
}

}  // namespace

QUORVANE_API PyObject *quorvane_parse_json_text(const char *text, Py_ssize_t len)
{
    JsonCtx ctx(text, len);
    qv::Ref result(json_parse_value(&ctx));
    if (!result)
        return nullptr;
    json_skip_ws(&ctx);
    if (ctx.pos != len)
        return ctx.fail("trailing characters after JSON value");
    return result.release();
}
