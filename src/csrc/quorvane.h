// The C interface that the four sources of _quorvane share, and the small
// ownership helpers they all use.  Only the functions declared with
// QUORVANE_API leave the shared object (see exports.map); everything else
// stays file-local.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdlib>
#include <utility>

#define QUORVANE_API extern "C" __attribute__((visibility("default")))

// The interpreter's entry point of the module.
QUORVANE_API PyObject *PyInit__quorvane(void);

// Position errors: "parse error at line L, column C: msg" as a ValueError.
QUORVANE_API void quorvane_raise_error(const char *msg, int line, int col);
QUORVANE_API void quorvane_line_col(const char *text, Py_ssize_t offset,
                                    int *line, int *col);

// A str from len bytes of strict UTF-8; NULL yields the empty str.
QUORVANE_API PyObject *quorvane_new_str(const char *s, Py_ssize_t len);

// General number scanner for native callers outside the module.
QUORVANE_API PyObject *quorvane_parse_number(const char *s, Py_ssize_t len,
                                             int *consumed);

// Document functions: a new reference to the tree, or NULL with an
// exception set.  The text is borrowed and need not be NUL-terminated.
QUORVANE_API PyObject *quorvane_parse_ini_text(const char *text, Py_ssize_t len);
QUORVANE_API PyObject *quorvane_parse_json_text(const char *text, Py_ssize_t len);
QUORVANE_API PyObject *quorvane_parse_toml_text(const char *text, Py_ssize_t len);

namespace qv {

// An owned reference: released when the handle goes out of scope, so every
// early return on an error path gives back what it held.
class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject *p) noexcept : p_(p) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref &operator=(Ref &&o) noexcept {
        if (this != &o) { reset(o.p_); o.p_ = nullptr; }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject *get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller.
    PyObject *release() noexcept { PyObject *p = p_; p_ = nullptr; return p; }
    void reset(PyObject *p = nullptr) noexcept {
        PyObject *old = p_;
        p_ = p;
        Py_XDECREF(old);
    }

private:
    PyObject *p_ = nullptr;
};

// After the interpreter's decoder refused a str made from the document
// bytes text[from, to), or from a buffer built of those bytes and of
// escapes: records on the pending UnicodeDecodeError, as its doc_offset,
// the offset in the document of the byte it refused.  The exception keeps
// its type and text, which describe the slice the decoder was given; the
// package reports the place in the document from doc_offset.  Any other
// pending error is left alone.
void note_decode_error(const char *text, Py_ssize_t from, Py_ssize_t to);

// quorvane_new_str of the document bytes text[from, to), with the place of
// a byte it cannot decode recorded (see note_decode_error).
PyObject *doc_str(const char *text, Py_ssize_t from, Py_ssize_t to);

// Raises the position error for msg at byte offset pos of text: the one
// way every parser reports a problem in the document.
inline void raise_at(const char *text, Py_ssize_t pos, const char *msg)
{
    int line, col;
    quorvane_line_col(text, pos, &line, &col);
    quorvane_raise_error(msg, line, col);
}

// The value 0-15 of a hexadecimal digit of either case, or -1.
inline int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

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

// A malloc'ed block freed on scope exit.
class Buf {
public:
    Buf() noexcept = default;
    explicit Buf(char *p) noexcept : p_(p) {}
    Buf(const Buf &) = delete;
    Buf &operator=(const Buf &) = delete;
    ~Buf() { std::free(p_); }
    char *get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset(char *p = nullptr) noexcept { std::free(p_); p_ = p; }
    char *release() noexcept { char *p = p_; p_ = nullptr; return p; }

private:
    char *p_ = nullptr;
};

}  // namespace qv
