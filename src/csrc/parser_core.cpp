// Module definition, entry functions, and the exported faces of the toolkit.
#include "quorvane.h"
#include "toolkit/toolkit.h"

#include <climits>

// The package's version, defined by the build from its __version__.
#ifndef QUORVANE_VERSION
#error "QUORVANE_VERSION is not defined: build through CMake or .ci/build-dev"
#endif

// ---------------------------------------------------------------------------
// The exported faces of toolkit pieces, for native callers outside the module

QUORVANE_API void quorvane_raise_error(const char *msg, int line, int col)
{
    qv::raise_position(msg, line, col);
}

QUORVANE_API void quorvane_line_col(const char *text, Py_ssize_t offset,
                                    int *line, int *col)
{
    qv::line_col(text, offset, line, col);
}

QUORVANE_API PyObject *quorvane_new_str(const char *s, Py_ssize_t len)
{
    if (s == nullptr || len <= 0)
        return PyUnicode_FromStringAndSize("", 0);
    qv::StrMaker strs;
    return strs.make(s, len);
}

// ---------------------------------------------------------------------------
// The general number scanner

namespace {

// White space that strtod and strtoll skip in the "C" locale.
inline bool number_is_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Decimal integer as strtoll reads it (white space, sign, digits), but exact
// at any size.  Returns NULL with no exception when no digit is found.  The
// interpreter's own errors pass through: this scanner reports no positions.
PyObject *number_parse_integer(const char *s, Py_ssize_t len, Py_ssize_t *used)
{
    Py_ssize_t i = 0;
    while (i < len && number_is_space(s[i]))
        i++;
    bool negative = false;
    if (i < len && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        i++;
    }
    Py_ssize_t digits_at = i;
    uint64_t v = 0;
    i = qv::scan_digits(s, i, len, &v);
    if (i == digits_at)
        return nullptr;
    *used = i;
    if (i - digits_at <= 18)
        return qv::int_from_magnitude(v, negative);
    return qv::big_int(s + digits_at, i - digits_at, 10, negative);
}

// strtod in the "C" locale on a bounded copy: the result does not depend on
// the process locale and the conversion never reads past len.
PyObject *number_parse_float(const char *s, Py_ssize_t len, Py_ssize_t *used)
{
    qv::CLocale c_locale;
    if (c_locale.get() == (locale_t)0)
        return nullptr;
    qv::CText copy;
    const char *text = copy.copy(s, len);
    if (text == nullptr)
        return nullptr;
    char *end = nullptr;
    double d = strtod_l(text, &end, c_locale.get());
    if (end == text)
        return nullptr;
    *used = end - text;
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
        else if (!(qv::is_digit(c) || c == '+' || c == '-'))
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

// The one str argument of a parse_* function, as UTF-8, to the reader.
PyObject *parse_str_arg(PyObject *args, const char *format,
                        PyObject *(*parse)(const char *, Py_ssize_t))
{
    const char *text;
    Py_ssize_t len;
    if (!PyArg_ParseTuple(args, format, &text, &len))
        return nullptr;
    return parse(text, len);
}

PyObject *_quorvane_parse_json(PyObject *, PyObject *args)
{
    return parse_str_arg(args, "s#:parse_json", quorvane_parse_json_text);
}

PyObject *_quorvane_parse_toml(PyObject *, PyObject *args)
{
    return parse_str_arg(args, "s#:parse_toml", quorvane_parse_toml_text);
}

PyObject *_quorvane_parse_ini(PyObject *, PyObject *args)
{
    return parse_str_arg(args, "s#:parse_ini", quorvane_parse_ini_text);
}

PyObject *_quorvane_version(PyObject *, PyObject *)
{
    return PyUnicode_FromString(QUORVANE_VERSION "-c");
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

PyModuleDef _quorvane_module = {
    PyModuleDef_HEAD_INIT,
    "_quorvane",
    "quorvane C core: JSON/TOML/INI parsers.",
    0,
    _quorvane_methods,
    qv::stateless_module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

QUORVANE_API PyObject *PyInit__quorvane(void)
{
    return PyModuleDef_Init(&_quorvane_module);
}
