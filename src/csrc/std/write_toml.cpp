// TOML written byte for byte as the common Python writer of TOML lays it
// out, so a project that switches writers sees no change in the files it
// generates and commits:
//
// - A table writes its plain values first, as `key = value` lines, then its
//   sub-tables, each as a `[dotted.name]` section after a blank line.  A
//   table's header is written only when it holds plain values or nothing at
//   all (a table of tables is implied by its children's headers).
// - A non-empty array whose items are all tables is an array of tables
//   (`[[name]]` sections), unless every item fits an inline table of at
//   most 100 characters on one line (counting the indent and a comma):
//   then it is an array of inline tables.
// - Arrays are written one item per line, indented once per level of
//   arrays, with a trailing comma; inline tables as `{ k = v, ... }`, and
//   arrays inside them start again at the first level.
// - Strings are basic strings: `"` and `\` escaped, and the controls (tab
//   aside) as \b \n \f \r or \u00XX; with multiline strings, text with a
//   line end is written as a multi-line string, CRLF as LF.  Keys are bare
//   when made of A-Z a-z 0-9 - _ only, quoted otherwise.
// - int, float (inf, -inf, nan), date, datetime and time as str() writes
//   them; Decimal as its text in lower case, with ".0" when it has neither
//   point nor exponent.  A time with an offset and any other object are
//   refused with the writer's ValueError and TypeError.
//
// Exact int, float and str values are written here directly; subclasses
// and the other types through str() and their methods, as that writer does.
#include "std.h"

#include "toolkit/buffer.h"
#include "toolkit/depth.h"
#include "toolkit/out.h"
#include "toolkit/ref.h"

#include <cmath>

namespace {

constexpr qv::EscapeTable make_toml_table(bool multiline)
{
    qv::EscapeTable t = {};
    for (int c = 0; c < 0x20; c++)
        t.cls[c] = 'u';
    t.cls[0x7F] = 'u';
    t.cls['\t'] = 0;
    t.cls['\b'] = 'b';
    t.cls['\n'] = multiline ? 0 : 'n';
    t.cls['\f'] = 'f';
    t.cls['\r'] = 'r';
    t.cls['"'] = '"';
    t.cls['\\'] = '\\';
    t.also = 0x7F7F7F7F7F7F7F7FULL;
    return t;
}
constexpr qv::EscapeTable kBasic = make_toml_table(false);
constexpr qv::EscapeTable kMultiline = make_toml_table(true);

constexpr int kMaxInlineLength = 100;

bool bare_key(PyObject *s)
{
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (n == 0 || !PyUnicode_IS_ASCII(s))
        return false;
    const unsigned char *p = PyUnicode_1BYTE_DATA(s);
    for (Py_ssize_t i = 0; i < n; i++) {
        unsigned c = p[i];
        if (!((c | 0x20) - 'a' < 26 || c - '0' < 10 || c == '-' || c == '_'))
            return false;
    }
    return true;
}

// Code points in n bytes of UTF-8 (a surrogate's three bytes count once).
Py_ssize_t count_chars(const char *s, Py_ssize_t n)
{
    Py_ssize_t count = 0;
    for (Py_ssize_t i = 0; i < n; i++)
        count += ((unsigned char)s[i] & 0xC0) != 0x80;
    return count;
}

// The (key, value) pairs of a table, held while it is written (str() of a
// subclass may change the table under us), with whether a value goes
// inside an array of tables.
struct Entry {
    PyObject *key;
    PyObject *value;
    bool in_array;
};
class Entries : public qv::Buffer<Entry, 0> {
public:
    ~Entries()
    {
        for (Py_ssize_t i = 0; i < size(); i++) {
            Py_DECREF((*this)[i].key);
            Py_DECREF((*this)[i].value);
        }
    }
    bool add(PyObject *k, PyObject *v, bool in_array)
    {
        if (!push({k, v, in_array}))
            return false;
        Py_INCREF(k);
        Py_INCREF(v);
        return true;
    }
};

class TomlWriter {
public:
    TomlWriter(bool multiline, PyObject *indent, PyObject *mapping)
        : multiline_(multiline), indent_(indent), mapping_(mapping)
    {
    }

    PyObject *write(PyObject *root)
    {
        if (!table(root, false))
            return nullptr;
        return out_.take_str();
    }

private:
    // ---- kinds of values

    // collections.abc.Mapping, with the common exact types decided at once.
    int is_mapping(PyObject *o)
    {
        if (PyDict_Check(o))
            return 1;
        if (PyUnicode_CheckExact(o) || PyLong_CheckExact(o) || PyFloat_CheckExact(o) ||
            PyList_CheckExact(o) || PyTuple_CheckExact(o) || PyBool_Check(o) || o == Py_None)
            return 0;
        return PyObject_IsInstance(o, mapping_);
    }

    // A non-empty list or tuple of mappings: -1 error, 0 no, 1 yes.
    int is_table_array(PyObject *o)
    {
        if (!PyList_Check(o) && !PyTuple_Check(o))
            return 0;
        qv::Ref fast(PySequence_Fast(o, "not a sequence"));
        if (!fast)
            return -1;
        Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
        if (n == 0)
            return 0;
        for (Py_ssize_t i = 0; i < n; i++) {
            int m = is_mapping(PySequence_Fast_GET_ITEM(fast.get(), i));
            if (m <= 0)
                return m;
        }
        return 1;
    }

    // Whether every table of the array fits on one line as an inline table
    // (rendered to find out, then taken back): -1 error, 0 no, 1 yes.
    int fits_inline(PyObject *array)
    {
        qv::Ref fast(PySequence_Fast(array, "not a sequence"));
        if (!fast)
            return -1;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast.get()); i++) {
            qv::Ref item(Py_NewRef(PySequence_Fast_GET_ITEM(fast.get(), i)));
            Py_ssize_t mark = out_.size();
            if (!out_.str(indent_) || !inline_table(item.get()) || !out_.put(','))
                return -1;
            const char *s = out_.data() + mark;
            Py_ssize_t n = out_.size() - mark;
            bool fits = std::memchr(s, '\n', (size_t)n) == nullptr &&
                        (n <= kMaxInlineLength || count_chars(s, n) <= kMaxInlineLength);
            out_.truncate(mark);
            if (!fits)
                return 0;
        }
        return 1;
    }

    // ---- tables as sections

    // The items of a table: a dict's directly, any other mapping's through
    // items().
    bool items(PyObject *t, Entries &all)
    {
        if (PyDict_CheckExact(t)) {
            Py_ssize_t pos = 0;
            PyObject *k, *v;
            while (PyDict_Next(t, &pos, &k, &v))
                if (!all.add(k, v, false))
                    return false;
            return true;
        }
        qv::Ref view(PyObject_CallMethod(t, "items", nullptr));
        qv::Ref list(view ? PySequence_List(view.get()) : nullptr);
        if (!list)
            return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); i++) {
            qv::Ref pair(PySequence_Tuple(PyList_GET_ITEM(list.get(), i)));
            if (!pair)
                return false;
            if (PyTuple_GET_SIZE(pair.get()) != 2) {
                PyErr_Format(PyExc_ValueError, PyTuple_GET_SIZE(pair.get()) < 2
                                 ? "not enough values to unpack (expected 2, got %zd)"
                                 : "too many values to unpack (expected 2)",
                             PyTuple_GET_SIZE(pair.get()));
                return false;
            }
            if (!all.add(PyTuple_GET_ITEM(pair.get(), 0), PyTuple_GET_ITEM(pair.get(), 1), false))
                return false;
        }
        return true;
    }

    bool table(PyObject *t, bool in_array)
    {
        if (!recursion_.enter(" while writing TOML"))
            return false;
        bool ok = table_body(t, in_array);
        recursion_.leave();
        return ok;
    }

    bool table_body(PyObject *t, bool in_array)
    {
        Entries all, literals, tables;
        if (!items(t, all))
            return false;
        for (Py_ssize_t i = 0; i < all.size(); i++) {
            PyObject *k = all[i].key, *v = all[i].value;
            int m = is_mapping(v);
            if (m < 0)
                return false;
            if (m) {
                if (!tables.add(k, v, false))
                    return false;
                continue;
            }
            int aot = is_table_array(v);
            if (aot > 0) {
                aot = fits_inline(v);
                if (aot == 0) {
                    qv::Ref fast(PySequence_Fast(v, "not a sequence"));
                    if (!fast)
                        return false;
                    for (Py_ssize_t j = 0; j < PySequence_Fast_GET_SIZE(fast.get()); j++)
                        if (!tables.add(k, PySequence_Fast_GET_ITEM(fast.get(), j), true))
                            return false;
                    continue;
                }
            }
            if (aot < 0 || !literals.add(k, v, false))
                return false;
        }

        Py_ssize_t name_len = name_.size();
        bool written = false;
        if (in_array || (name_len > 0 && (literals.size() > 0 || tables.size() == 0))) {
            written = true;
            if (!header(in_array))
                return false;
        }
        for (Py_ssize_t i = 0; i < literals.size(); i++) {
            written = true;
            if (!key_part(literals[i].key) || !out_.lit(" = ") ||
                !literal(literals[i].value, 0) || !out_.put('\n'))
                return false;
        }
        for (Py_ssize_t i = 0; i < tables.size(); i++) {
            if (written && !out_.put('\n'))
                return false;
            written = true;
            if (!extend_name(tables[i].key) || !table(tables[i].value, tables[i].in_array))
                return false;
            name_.set_size(name_len);
        }
        return true;
    }

    bool header(bool in_array)
    {
        if (name_high_)
            out_.note_high();
        bool ok = in_array ? out_.lit("[[") : out_.put('[');
        ok = ok && out_.write(name_.data(), name_.size());
        ok = ok && (in_array ? out_.lit("]]") : out_.put(']'));
        return ok && out_.put('\n');
    }

    // The dotted name of a sub-table: this table's name, '.', the key.
    bool extend_name(PyObject *key)
    {
        Py_ssize_t mark = out_.size();
        if (!key_part(key))
            return false;
        Py_ssize_t n = out_.size() - mark;
        bool ok = (name_.size() == 0 || name_.push('.')) && name_.append(out_.data() + mark, n);
        if (out_.high())
            name_high_ = true;
        out_.truncate(mark);
        return ok;
    }

    // ---- values

    bool key_part(PyObject *key)
    {
        if (!PyUnicode_Check(key)) {
            qv::Ref text(PyObject_Str(key));
            qv::Ref qual(text ? PyType_GetQualName(Py_TYPE(key)) : nullptr);
            if (qual)
                PyErr_Format(PyExc_TypeError,
                             "Invalid mapping key '%U' of type '%U'. A string is required.",
                             text.get(), qual.get());
            return false;
        }
        if (bare_key(key))
            return out_.str(key);
        return out_.quoted<false>(key, kBasic);
    }

    bool string(PyObject *s)
    {
        if (multiline_ && PyUnicode_FindChar(s, '\n', 0, PyUnicode_GET_LENGTH(s), 1) >= 0)
            return multiline_string(s);
        return out_.quoted<false>(s, kBasic);
    }

    __attribute__((noinline)) bool multiline_string(PyObject *s)
    {
        qv::Ref crlf(PyUnicode_FromString("\r\n")), lf(PyUnicode_FromString("\n"));
        qv::Ref text(crlf && lf ? PyUnicode_Replace(s, crlf.get(), lf.get(), -1) : nullptr);
        return text && out_.lit("\"\"\"\n") && out_.escaped<false>(text.get(), kMultiline) &&
               out_.lit("\"\"\"");
    }

    bool literal(PyObject *o, int level)
    {
        if (o == Py_True)
            return out_.lit("true");
        if (o == Py_False)
            return out_.lit("false");
        if (PyLong_CheckExact(o))
            return out_.int_repr(o);
        if (PyFloat_CheckExact(o)) {
            double d = PyFloat_AS_DOUBLE(o);
            if (std::isfinite(d))
                return out_.float_repr(d);
            return std::isnan(d) ? out_.lit("nan") : d > 0 ? out_.lit("inf") : out_.lit("-inf");
        }
        if (PyUnicode_CheckExact(o))
            return string(o);
        if (PyList_CheckExact(o) || PyTuple_CheckExact(o))
            return nested(o, level, &TomlWriter::array);
        if (PyDict_CheckExact(o))
            return nested(o, 0, &TomlWriter::inline_table_at);
        return other(o, level);
    }

    // Subclasses and the types written through their own text, in the
    // order that writer tries them.
    __attribute__((noinline)) bool other(PyObject *o, int level)
    {
        if (!datetime_types())
            return false;
        int dated = PyLong_Check(o) || PyFloat_Check(o);
        if (!dated && (dated = PyObject_IsInstance(o, date_.get())) < 0)
            return false;
        if (dated)
            return text_of(o);
        int timed = PyObject_IsInstance(o, time_.get());
        if (timed < 0)
            return false;
        if (timed) {
            qv::Ref tz(PyObject_GetAttrString(o, "tzinfo"));
            int offset = tz ? PyObject_IsTrue(tz.get()) : -1;
            if (offset < 0)
                return false;
            if (offset) {
                PyErr_SetString(PyExc_ValueError, "TOML does not support offset times");
                return false;
            }
            return text_of(o);
        }
        if (PyUnicode_Check(o))
            return string(o);
        if (PyList_Check(o) || PyTuple_Check(o))
            return nested(o, level, &TomlWriter::array);
        int m = is_mapping(o);
        if (m < 0)
            return false;
        if (m)
            return nested(o, 0, &TomlWriter::inline_table_at);
        return decimal(o);
    }

    bool text_of(PyObject *o)
    {
        qv::Ref text(PyObject_Str(o));
        return text && out_.str(text.get());
    }

    bool decimal(PyObject *o)
    {
        qv::Ref module(PyImport_ImportModule("decimal"));
        qv::Ref cls(module ? PyObject_GetAttrString(module.get(), "Decimal") : nullptr);
        int is = cls ? PyObject_IsInstance(o, cls.get()) : -1;
        if (is < 0)
            return false;
        if (!is) {
            qv::Ref qual(PyType_GetQualName(Py_TYPE(o)));
            if (qual)
                PyErr_Format(PyExc_TypeError, "Object of type '%U' is not TOML serializable",
                             qual.get());
            return false;
        }
        int nan = ask(o, "is_nan");
        if (nan)
            return nan > 0 && out_.lit("nan");
        int inf = ask(o, "is_infinite");
        if (inf) {
            int neg = inf > 0 ? ask(o, "is_signed") : -1;
            return neg >= 0 && (neg ? out_.lit("-inf") : out_.lit("inf"));
        }
        qv::Ref text(PyObject_Str(o));
        qv::Ref lower(text ? PyObject_CallMethod(text.get(), "lower", nullptr) : nullptr);
        if (!lower || !PyUnicode_Check(lower.get()))
            return false;
        Py_ssize_t n = PyUnicode_GET_LENGTH(lower.get());
        bool plain = PyUnicode_FindChar(lower.get(), '.', 0, n, 1) < 0 &&
                     PyUnicode_FindChar(lower.get(), 'e', 0, n, 1) < 0;
        return out_.str(lower.get()) && (!plain || out_.lit(".0"));
    }

    // o.name() as a truth value: 1, 0, or -1 on error.
    static int ask(PyObject *o, const char *name)
    {
        qv::Ref r(PyObject_CallMethod(o, name, nullptr));
        return r ? PyObject_IsTrue(r.get()) : -1;
    }

    bool datetime_types()
    {
        if (date_)
            return true;
        qv::Ref module(PyImport_ImportModule("datetime"));
        if (!module)
            return false;
        date_.reset(PyObject_GetAttrString(module.get(), "date"));
        time_.reset(date_ ? PyObject_GetAttrString(module.get(), "time") : nullptr);
        if (!time_)
            date_.reset();
        return (bool)date_;
    }

    using Container = bool (TomlWriter::*)(PyObject *, int);
    bool nested(PyObject *o, int level, Container body)
    {
        if (!recursion_.enter(" while writing TOML"))
            return false;
        bool ok = (this->*body)(o, level);
        recursion_.leave();
        return ok;
    }

    bool indent(int times)
    {
        for (int i = 0; i < times; i++)
            if (!out_.str(indent_))
                return false;
        return true;
    }

    bool array(PyObject *seq, int level)
    {
        qv::Ref fast(PySequence_Fast(seq, "not a sequence"));
        if (!fast)
            return false;
        if (PySequence_Fast_GET_SIZE(fast.get()) == 0)
            return out_.lit("[]");
        if (!out_.lit("[\n"))
            return false;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast.get()); i++) {
            qv::Ref item(Py_NewRef(PySequence_Fast_GET_ITEM(fast.get(), i)));
            if (!indent(level + 1) || !literal(item.get(), level + 1) || !out_.lit(",\n"))
                return false;
        }
        return indent(level) && out_.put(']');
    }

    bool inline_table_at(PyObject *t, int) { return inline_table(t); }

    bool inline_table(PyObject *t)
    {
        int full = PyObject_IsTrue(t);
        if (full <= 0)
            return full == 0 && out_.lit("{}");
        Entries all;
        if (!items(t, all) || !out_.lit("{ "))
            return false;
        for (Py_ssize_t i = 0; i < all.size(); i++) {
            if ((i > 0 && !out_.lit(", ")) || !key_part(all[i].key) || !out_.lit(" = ") ||
                !literal(all[i].value, 0))
                return false;
        }
        return out_.lit(" }");
    }

    bool multiline_;
    PyObject *indent_;   // str
    PyObject *mapping_;  // collections.abc.Mapping
    qv::Ref date_, time_;
    qv::Out out_;
    qv::RecursionGuard recursion_;
    qv::Buffer<char, 256> name_;  // the dotted name of the table being written
    bool name_high_ = false;
};

}  // namespace

PyObject *std_write_toml(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 4) {
        PyErr_SetString(PyExc_TypeError, "write_toml() takes exactly 4 positional arguments");
        return nullptr;
    }
    int multiline = PyObject_IsTrue(args[1]);
    if (multiline < 0)
        return nullptr;
    if (!PyUnicode_Check(args[2])) {
        PyErr_SetString(PyExc_TypeError, "write_toml() indent must be a str");
        return nullptr;
    }
    TomlWriter writer(multiline, args[2], args[3]);
    return writer.write(args[0]);
}
