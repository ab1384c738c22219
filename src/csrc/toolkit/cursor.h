// toolkit/cursor.h: a reader's place in the document, and the one way to
// fail at a byte offset.
//
//   struct MyCtx : qv::Cursor<qv::PositionError> {
//       MyCtx(const char *text, Py_ssize_t len) : Cursor(text, len) {}
//   };
//   ctx.text, ctx.len            the document's bytes (borrowed, not NUL-terminated)
//   ctx.pos                      the offset being read
//   ctx.at_end(), ctx.next_is(c) whether the text ends / byte c stands at pos
//   if (!ctx.eat(c)) ...         steps over byte c when it stands at pos
//   return ctx.fail("msg");      raises msg at pos
//   return ctx.fail_at(at, "msg");  moves pos to `at`, then raises there
//
// fail() returns a qv::Failure, which converts to nullptr for functions that
// return a pointer and to -1 for functions that return int, so one
// `return ctx.fail(...)` serves both kinds of reader function.
//
// The failure policy is the template parameter: a type with
//   static void raise(const char *text, Py_ssize_t at, const char *msg);
// Two are provided:
//   qv::PositionError  ValueError("parse error at line L, column C: msg"),
//                      the convention of _quorvane;
//   qv::OffsetError    ValueError(msg, at): the message and the byte offset,
//                      the convention of quorvane._std, whose Python faces
//                      count lines and columns their own way.
//
// qv::line_col(text, offset, &line, &col) and qv::raise_position(msg, line,
// col) are the pieces of PositionError, here so that every module has them
// without calling into another shared object.
//
// Bracketed lists of items separated by commas ([1, 2], {a = 1}, ...), for
// a context ctx derived from Cursor and its blank-skipping step skip(ctx):
//   if (qv::list_closes_at_once(ctx, skip, ']')) return empty;  // pos after '['
//   for (;;) {
//       ...read an item...
//       switch (qv::after_list_item(ctx, skip, kRules)) {
//       case qv::Next::Item: continue;
//       case qv::Next::Closed: return the list;
//       case qv::Next::Failed: return failure;   // raised already
//       }
//   }
// with kRules a qv::ListRules: the closing byte and the messages for an
// unterminated list, a comma before the closer (nullptr: allowed) and any
// other byte after an item.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <climits>
#include <cstdio>
#include <cstring>

namespace qv {

// 1-based line and column of byte `offset`.  Every byte before the offset
// counts, NUL included: a document may hold NUL bytes and the place
// reported must still be the real one.  A negative offset is the start.
inline void line_col(const char *text, Py_ssize_t offset, int *line, int *col)
{
    Py_ssize_t l = 1;
    Py_ssize_t line_start = 0;
    if (offset > 0) {
        const char *p = text;
        const char *end = text + offset;
        while (const void *nl = std::memchr(p, '\n', (size_t)(end - p))) {
            p = static_cast<const char *>(nl) + 1;
            l++;
        }
        line_start = p - text;
    } else {
        offset = 0;
    }
    Py_ssize_t c = offset - line_start + 1;
    // A document of more than INT_MAX lines or bytes on one line still gets
    // an error, with the count saturated rather than wrapped.
    *line = l > INT_MAX ? INT_MAX : (int)l;
    *col = c > INT_MAX ? INT_MAX : (int)c;
}

// ValueError("parse error at line L, column C: msg").
inline void raise_position(const char *msg, int line, int col)
{
    // 512 bytes on the stack: longer texts are cut, never rejected.
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, "parse error at line %d, column %d: %s",
                  line, col, msg);
    PyErr_SetString(PyExc_ValueError, buffer);
}

struct PositionError {
    static void raise(const char *text, Py_ssize_t at, const char *msg)
    {
        int line, col;
        line_col(text, at, &line, &col);
        raise_position(msg, line, col);
    }
};

struct OffsetError {
    static void raise(const char *, Py_ssize_t at, const char *msg)
    {
        // A tuple value becomes the exception's args: ValueError(msg, at).
        PyObject *args = Py_BuildValue("(sn)", msg, at);
        if (args == nullptr)
            return;  // the memory error is the one raised
        PyErr_SetObject(PyExc_ValueError, args);
        Py_DECREF(args);
    }
};

// What a failed step returns: nullptr to pointer functions, -1 to int ones.
struct Failure {
    template <typename T>
    operator T *() const noexcept { return nullptr; }
    operator int() const noexcept { return -1; }
};

template <typename Fail>
class Cursor {
public:
    Cursor(const char *text_, Py_ssize_t len_) noexcept : text(text_), len(len_) {}
    Cursor(const Cursor &) = delete;
    Cursor &operator=(const Cursor &) = delete;

    const char *const text;
    const Py_ssize_t len;
    Py_ssize_t pos = 0;

    bool at_end() const noexcept { return pos >= len; }
    bool next_is(char c) const noexcept { return pos < len && text[pos] == c; }
    bool eat(char c) noexcept
    {
        if (!next_is(c))
            return false;
        pos++;
        return true;
    }

    // Raises msg at pos.
    __attribute__((cold, noinline)) Failure fail(const char *msg) const
    {
        Fail::raise(text, pos, msg);
        return {};
    }
    // Moves pos to `at` and raises msg there.
    Failure fail_at(Py_ssize_t at, const char *msg)
    {
        pos = at;
        return fail(msg);
    }
};

// After the opening byte: skips blanks, and when the closer follows at once
// moves past it and returns true.
template <typename Ctx, typename Skip>
inline bool list_closes_at_once(Ctx *ctx, Skip skip, char close)
{
    skip(ctx);
    return ctx->eat(close);
}

struct ListRules {
    char close;
    const char *unterminated;    // reported at the end of the text
    const char *trailing_comma;  // at the closer; nullptr: a trailing comma is allowed
    const char *expected;        // at the byte that is neither
};

enum class Next { Item, Closed, Failed };

// After an item: blanks, then a comma and the next item, or the closer.
template <typename Ctx, typename Skip>
inline Next after_list_item(Ctx *ctx, Skip skip, const ListRules &rules)
{
    skip(ctx);
    if (ctx->pos >= ctx->len) {
        ctx->fail_at(ctx->len, rules.unterminated);
        return Next::Failed;
    }
    char c = ctx->text[ctx->pos];
    if (c == ',') {
        ctx->pos++;
        skip(ctx);
        if (ctx->next_is(rules.close)) {
            if (rules.trailing_comma) {
                ctx->fail(rules.trailing_comma);
                return Next::Failed;
            }
            ctx->pos++;
            return Next::Closed;
        }
        return Next::Item;
    }
    if (c == rules.close) {
        ctx->pos++;
        return Next::Closed;
    }
    ctx->fail(rules.expected);
    return Next::Failed;
}

}  // namespace qv
