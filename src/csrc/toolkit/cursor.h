// toolkit/cursor.h: a reader's place in the document, and the one way to
// fail at a byte offset.
//
//   struct MyCtx : qv::Cursor<qv::PositionError> {
//       MyCtx(const char *text, Py_ssize_t len) : Cursor(text, len) {}
//   };
//   ctx.text, ctx.len            the document's bytes (borrowed, not NUL-terminated)
//   ctx.pos                      the offset being read
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

}  // namespace qv
