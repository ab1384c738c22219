// Module definition, entry functions and the helpers shared by all parsers.
#include "quorvane.h"

#include <climits>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <locale.h>

// ---------------------------------------------------------------------------
// Position errors

QUORVANE_API void quorvane_raise_error(const char *msg, int line, int col)
{
    // 512 bytes on the stack: longer texts are cut, never rejected.
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, "parse error at line %d, column %d: %s",
                  line, col, msg);
    PyErr_SetString(PyExc_ValueError, buffer);
}

QUORVANE_API void quorvane_line_col(const char *text, Py_ssize_t offset,
                                    int *line, int *col)
{
    // Every byte before the offset counts, NUL included: a document may hold
    // NUL bytes and the place reported must still be the real one.
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

// ---------------------------------------------------------------------------
// Strings

QUORVANE_API PyObject *quorvane_new_str(const char *s, Py_ssize_t len)
{
    if (s == nullptr || len <= 0)
        return PyUnicode_FromStringAndSize("", 0);
    return PyUnicode_DecodeUTF8(s, len, "strict");
}

void qv::note_decode_error(const char *text, Py_ssize_t from, Py_ssize_t to)
{
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError))
        return;
    qv::Ref exc(PyErr_GetRaisedException());
    // The document's own bytes are decoded again: escapes only ever add
    // whole characters, so the first byte refused there is the byte the
    // failed str was refused for, whether it was a slice or a buffer.
    Py_ssize_t offset = from;
    qv::Ref probe(PyUnicode_DecodeUTF8(text + from, to - from, "strict"));
    if (!probe) {
        qv::Ref again(PyErr_GetRaisedException());
        Py_ssize_t start;
        if (PyUnicodeDecodeError_GetStart(again.get(), &start) == 0)
            offset = from + start;
        PyErr_Clear();
    }
    qv::Ref value(PyLong_FromSsize_t(offset));
    // Should recording fail, that failure (a MemoryError) is what is raised.
    if (value && PyObject_SetAttrString(exc.get(), "doc_offset", value.get()) == 0)
        PyErr_SetRaisedException(exc.release());
}

PyObject *qv::doc_str(const char *text, Py_ssize_t from, Py_ssize_t to)
{
    PyObject *str = quorvane_new_str(text + from, to - from);
    if (str == nullptr)
        note_decode_error(text, from, to);
    return str;
}

// ---------------------------------------------------------------------------
// The general number scanner

namespace {

// White space that strtod and strtoll skip in the "C" locale.
inline bool number_is_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

inline bool number_is_digit(char c) { return c >= '0' && c <= '9'; }

// Decimal integer as strtoll reads it (white space, sign, digits), but exact
// at any size.  Returns NULL with no exception when no digit is found.
PyObject *number_parse_integer(const char *s, Py_ssize_t len, Py_ssize_t *used)
{
    Py_ssize_t i = 0;
    while (i < len && number_is_space(s[i]))
        i++;
    Py_ssize_t sign_at = i;
    bool negative = false;
    if (i < len && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        i++;
    }
    Py_ssize_t digits_at = i;
    while (i < len && number_is_digit(s[i]))
        i++;
    if (i == digits_at)
        return nullptr;
    *used = i;
    if (i - digits_at <= 18) {
        long long v = 0;
        for (Py_ssize_t k = digits_at; k < i; k++)
            v = v * 10 + (s[k] - '0');
        return PyLong_FromLongLong(negative ? -v : v);
    }
    // Long numbers go through the interpreter's arbitrary precision reader
    // on a private NUL-terminated copy of the sign and digits.
    Py_ssize_t n = i - sign_at;
    qv::Buf tmp(static_cast<char *>(std::malloc((size_t)n + 1)));
    if (!tmp)
        return PyErr_NoMemory();
    std::memcpy(tmp.get(), s + sign_at, (size_t)n);
    tmp.get()[n] = '\0';
    return PyLong_FromString(tmp.get(), nullptr, 10);
}

// strtod in the "C" locale on a bounded copy: the result does not depend on
// the process locale and the conversion never reads past len.
PyObject *number_parse_float(const char *s, Py_ssize_t len, Py_ssize_t *used)
{
    locale_t c_locale = newlocale(LC_ALL_MASK, "C", (locale_t)0);
    if (c_locale == (locale_t)0)
        return PyErr_NoMemory();
    char small[128];
    qv::Buf big;
    char *copy = small;
    if (len >= (Py_ssize_t)sizeof small) {
        big.reset(static_cast<char *>(std::malloc((size_t)len + 1)));
        if (!big) {
            freelocale(c_locale);
            return PyErr_NoMemory();
        }
        copy = big.get();
    }
    std::memcpy(copy, s, (size_t)len);
    copy[len] = '\0';
    char *end = copy;
    double d = strtod_l(copy, &end, c_locale);
    freelocale(c_locale);
    if (end == copy)
        return nullptr;
    *used = end - copy;
    return PyFloat_FromDouble(d);
}

}  // namespace

QUORVANE_API PyObject *quorvane_parse_number(const char *s, Py_ssize_t len,
                                             int *consumed)
{
    if (len <= 0) {
        PyErr_SetString(PyExc_ValueError, "empty number literal");
        return nullptr;
    }
    // The scan decides between float and integer only; it does not bound the
    // conversion, which starts at s like strtod and strtoll do.
    bool is_float = false;
    for (Py_ssize_t i = (s[0] == '+' || s[0] == '-') ? 1 : 0; i < len; i++) {
        char c = s[i];
        if (c == '.' || c == 'e' || c == 'E')
            is_float = true;
        else if (!(number_is_digit(c) || c == '+' || c == '-'))
            break;
    }
    Py_ssize_t used = 0;
    PyObject *result = is_float ? number_parse_float(s, len, &used)
                                : number_parse_integer(s, len, &used);
    if (result == nullptr) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ValueError, is_float ? "invalid float literal"
                                                       : "invalid integer literal");
        return nullptr;
    }
    *consumed = used > INT_MAX ? INT_MAX : (int)used;
    return result;
}

// ---------------------------------------------------------------------------
// Module

namespace {

PyObject *_quorvane_parse_json(PyObject *, PyObject *args)
{
    const char *text;
    Py_ssize_t len;
    if (!PyArg_ParseTuple(args, "s#:parse_json", &text, &len))
        return nullptr;
    return quorvane_parse_json_text(text, len);
}

PyObject *_quorvane_parse_toml(PyObject *, PyObject *args)
{
    const char *text;
    Py_ssize_t len;
    if (!PyArg_ParseTuple(args, "s#:parse_toml", &text, &len))
        return nullptr;
    return quorvane_parse_toml_text(text, len);
}

PyObject *_quorvane_parse_ini(PyObject *, PyObject *args)
{
    const char *text;
    Py_ssize_t len;
    if (!PyArg_ParseTuple(args, "s#:parse_ini", &text, &len))
        return nullptr;
    return quorvane_parse_ini_text(text, len);
}

PyObject *_quorvane_version(PyObject *, PyObject *)
{
    return PyUnicode_FromString("0.21.0-c");
}

PyMethodDef _quorvane_methods[] = {
    {"parse_json", _quorvane_parse_json, METH_VARARGS,
     "parse_json(text: str) -> dict\n\nParse a JSON document into a semantic tree."},
    {"parse_toml", _quorvane_parse_toml, METH_VARARGS,
     "parse_toml(text: str) -> dict\n\nParse a TOML document into a semantic tree."},
    {"parse_ini", _quorvane_parse_ini, METH_VARARGS,
     "parse_ini(text: str) -> dict\n\nParse an INI document into a semantic tree."},
    {"version", _quorvane_version, METH_NOARGS,
     "version() -> str\n\nReturn the C extension version string."},
    {nullptr, nullptr, 0, nullptr},
};

// The module keeps no state of its own (every call builds its context on
// the stack), so it is initialised in phases and may be loaded by any
// interpreter, subinterpreters with their own GIL included.
PyModuleDef_Slot _quorvane_slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef _quorvane_module = {
    PyModuleDef_HEAD_INIT,
    "_quorvane",
    "quorvane C core: JSON/TOML/INI parsers.",
    0,
    _quorvane_methods,
    _quorvane_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

QUORVANE_API PyObject *PyInit__quorvane(void)
{
    return PyModuleDef_Init(&_quorvane_module);
}
