// JSON written as json.dumps writes it (the interpreter's own encoder, with
// its C accelerator: the one every json.dumps call takes).
//
// The same objects, the same order of checks and the same errors:
// - None, True, False; str and its subclasses by their text; int and its
//   subclasses as int.__repr__; float and its subclasses as float.__repr__,
//   infinities and NaN as Infinity, -Infinity, NaN (or ValueError when they
//   are not allowed); list and tuple (and subclasses) as arrays, dict (and
//   subclasses, through their items() unless exactly dict) as objects.
// - Keys: str; float, True, False, None, int converted as values are; other
//   keys skipped with skipkeys, else TypeError.
// - Anything else goes to `default` (None: json's TypeError "Object of type
//   X is not JSON serializable") and its result is written in its place.
// - With check_circular, a list, dict or default-converted object met again
//   inside itself is ValueError("Circular reference detected"); nesting is
//   bounded by the interpreter's recursion limit (RecursionError, as json).
// - indent (a str, or None for one line) starts each item on a line of its
//   own, indented once per level; the item separator goes before that line
//   end, and empty containers stay "[]" and "{}".
#include "std.h"

#include "toolkit/buffer.h"
#include "toolkit/depth.h"
#include "toolkit/out.h"
#include "toolkit/ref.h"

#include <cmath>

namespace {

// ensure_ascii escapes DEL too (json writes every character outside
// ' '..'~' as an escape then); without it only the controls, '"' and '\\'.
constexpr qv::EscapeTable make_json_table(bool ascii)
{
    qv::EscapeTable t = {};
    for (int c = 0; c < 0x20; c++)
        t.cls[c] = 'u';
    t.cls['\b'] = 'b';
    t.cls['\t'] = 't';
    t.cls['\n'] = 'n';
    t.cls['\f'] = 'f';
    t.cls['\r'] = 'r';
    t.cls['"'] = '"';
    t.cls['\\'] = '\\';
    if (ascii)
        t.cls[0x7F] = 'u';
    t.also = ascii ? 0x7F7F7F7F7F7F7F7FULL : 0;
    return t;
}
constexpr qv::EscapeTable kJsonAscii = make_json_table(true);
constexpr qv::EscapeTable kJsonText = make_json_table(false);

struct Options {
    bool skipkeys, ensure_ascii, check_circular, allow_nan, sort_keys;
    PyObject *indent;    // str, or nullptr for one line
    PyObject *item_sep;  // str
    PyObject *key_sep;   // str
    PyObject *deflt;     // callable, or nullptr for json's TypeError
};

class JsonWriter {
public:
    explicit JsonWriter(const Options &o)
        : opt_(o), item_sep_(o.item_sep), key_sep_(o.key_sep)
    {
    }

    PyObject *write(PyObject *obj)
    {
        if (!value(obj, 0))
            return nullptr;
        return out_.take_str();
    }

private:
    bool value(PyObject *o, int level)
    {
        // The exact types of a parsed tree first, each by one compare.
        PyTypeObject *type = Py_TYPE(o);
        if (type == &PyUnicode_Type)
            return string(o);
        if (type == &PyFloat_Type)
            return number(o);
        if (type == &PyLong_Type)
            return out_.int_repr(o);
        if (type == &PyDict_Type)
            return nested(o, level, &JsonWriter::object);
        if (type == &PyList_Type)
            return nested(o, level, &JsonWriter::array);
        if (o == Py_None)
            return out_.lit("null");
        if (o == Py_True)
            return out_.lit("true");
        if (o == Py_False)
            return out_.lit("false");
        if (PyUnicode_Check(o))
            return string(o);
        if (PyLong_Check(o))
            return out_.int_repr(o);
        if (PyFloat_Check(o))
            return number(o);
        if (PyList_Check(o) || PyTuple_Check(o))
            return nested(o, level, &JsonWriter::array);
        if (PyDict_Check(o))
            return nested(o, level, &JsonWriter::object);
        return converted(o, level);
    }

    bool string(PyObject *s)
    {
        return opt_.ensure_ascii ? out_.quoted<true>(s, kJsonAscii)
                                 : out_.quoted<false>(s, kJsonText);
    }

    // A float as json writes it: its repr, or the JavaScript names.
    bool number(PyObject *f)
    {
        double d = PyFloat_AS_DOUBLE(f);
        if (std::isfinite(d))
            return out_.float_repr(d);
        if (!opt_.allow_nan) {
            PyErr_Format(PyExc_ValueError, "Out of range float values are not JSON compliant: %R", f);
            return false;
        }
        if (d > 0)
            return out_.lit("Infinity");
        if (d < 0)
            return out_.lit("-Infinity");
        return out_.lit("NaN");
    }

    using Container = bool (JsonWriter::*)(PyObject *, int);
    bool nested(PyObject *o, int level, Container body)
    {
        if (!recursion_.enter(" while encoding a JSON object"))
            return false;
        bool ok = (this->*body)(o, level);
        recursion_.leave();
        return ok;
    }

    // With check_circular, the containers being written, outermost first.
    bool enter(PyObject *o)
    {
        if (!opt_.check_circular)
            return true;
        for (Py_ssize_t i = 0; i < path_.size(); i++) {
            if (path_[i] == o) {
                PyErr_SetString(PyExc_ValueError, "Circular reference detected");
                return false;
            }
        }
        return path_.push(o);
    }
    void leave()
    {
        if (opt_.check_circular)
            path_.set_size(path_.size() - 1);
    }

    // The line end and indentation before an item at `level`.
    bool newline(int level)
    {
        Py_ssize_t unit = PyUnicode_GET_LENGTH(opt_.indent);
        if (PyUnicode_IS_ASCII(opt_.indent)) {
            if (!out_.reserve(1 + unit * level))
                return false;
            char *p = out_.end();
            *p++ = '\n';
            const char *s = static_cast<const char *>(PyUnicode_DATA(opt_.indent));
            for (int i = 0; i < level; i++, p += unit)
                std::memcpy(p, s, (size_t)unit);
            out_.set_end(p);
            return true;
        }
        if (!out_.put('\n'))
            return false;
        for (int i = 0; i < level; i++)
            if (!out_.str(opt_.indent))
                return false;
        return true;
    }
    // A separator of one or two ASCII characters (", ", ",", ": ", ":"),
    // the usual ones, is written without a call; others as any str.
    struct Separator {
        PyObject *text;
        char bytes[2];
        Py_ssize_t n;  // 1 or 2, or 0 for another separator

        explicit Separator(PyObject *s) : text(s), bytes{0, 0}, n(0)
        {
            Py_ssize_t len = PyUnicode_GET_LENGTH(s);
            if (PyUnicode_IS_ASCII(s) && (len == 1 || len == 2)) {
                const char *d = static_cast<const char *>(PyUnicode_DATA(s));
                bytes[0] = d[0];
                bytes[1] = d[len - 1];
                n = len;
            }
        }
    };
    bool put_separator(const Separator &sep)
    {
        if (sep.n == 0)
            return out_.str(sep.text);
        if (!out_.reserve(2))
            return false;
        char *p = out_.end();
        p[0] = sep.bytes[0];
        p[1] = sep.bytes[1];
        out_.set_end(p + sep.n);
        return true;
    }
    bool separator(int level)
    {
        return put_separator(item_sep_) && (opt_.indent == nullptr || newline(level));
    }

    bool array(PyObject *seq, int level)
    {
        // A list is read as it is; a tuple or subclass through the
        // sequence it gives.
        qv::Ref held;
        PyObject *items = seq;
        if (!PyList_CheckExact(seq)) {
            held.reset(PySequence_Fast(seq, "_iterencode_list needs a sequence"));
            if (!held)
                return false;
            items = held.get();
        }
        if (PySequence_Fast_GET_SIZE(items) == 0)
            return out_.lit("[]");
        if (!enter(seq) || !out_.put('['))
            return false;
        int inner = level + 1;
        if (opt_.indent != nullptr && !newline(inner))
            return false;
        // The size is read afresh and each item held while it is written:
        // a default hook may change the list under us.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items); i++) {
            if (i > 0 && !separator(inner))
                return false;
            PyObject *item = PySequence_Fast_GET_ITEM(items, i);
            bool ok = Py_IS_TYPE(item, &PyFloat_Type) ? number(item)  // arrays of numbers
                      : is_leaf(item)                ? value(item, inner)
                                                     : held_value(item, inner);
            if (!ok)
                return false;
        }
        leave();
        if (opt_.indent != nullptr && !newline(level))
            return false;
        return out_.put(']');
    }

    // Values whose writing runs no Python code (exact str, float and int,
    // the constants), so that nothing can drop the container's reference
    // to them meanwhile.
    static bool is_leaf(PyObject *o)
    {
        PyTypeObject *type = Py_TYPE(o);
        return type == &PyUnicode_Type || type == &PyFloat_Type || type == &PyLong_Type ||
               o == Py_None || o == Py_True || o == Py_False;
    }
    bool held_value(PyObject *o, int level)
    {
        qv::Ref held(Py_NewRef(o));
        return value(o, level);
    }

    bool object(PyObject *dict, int level)
    {
        if (PyDict_GET_SIZE(dict) == 0)
            return out_.lit("{}");
        if (!enter(dict) || !out_.put('{'))
            return false;
        int inner = level + 1;
        if (opt_.indent != nullptr && !newline(inner))
            return false;
        bool first = true;
        if (opt_.sort_keys || !PyDict_CheckExact(dict)) {
            qv::Ref items(PyMapping_Items(dict));
            if (!items || (opt_.sort_keys && PyList_Sort(items.get()) < 0))
                return false;
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); i++) {
                PyObject *item = PyList_GET_ITEM(items.get(), i);
                if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
                    PyErr_SetString(PyExc_ValueError, "items must return 2-tuples");
                    return false;
                }
                if (!member(PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1), inner, &first))
                    return false;
            }
        } else {
            Py_ssize_t pos = 0;
            PyObject *k, *v;
            while (PyDict_Next(dict, &pos, &k, &v)) {
                if (PyUnicode_CheckExact(k) && is_leaf(v)) {
                    if (!member(k, v, inner, &first))
                        return false;
                    continue;
                }
                qv::Ref key(Py_NewRef(k)), val(Py_NewRef(v));
                if (!member(key.get(), val.get(), inner, &first))
                    return false;
            }
        }
        leave();
        if (opt_.indent != nullptr && !newline(level))
            return false;
        return out_.put('}');
    }

    bool member(PyObject *key, PyObject *val, int level, bool *first)
    {
        Py_ssize_t mark = out_.size();
        if (!*first && !separator(level))
            return false;
        if (PyUnicode_Check(key)) {
            if (!string(key))
                return false;
        } else if (!key_text(key)) {
            if (PyErr_Occurred())
                return false;
            out_.truncate(mark);  // skipped
            return true;
        }
        *first = false;
        return put_separator(key_sep_) && value(val, level);
    }

    // A key that is not a str, written as the quoted text json converts it
    // to; false with no error set when skipkeys leaves it out.
    bool key_text(PyObject *key)
    {
        if (!out_.put('"'))
            return false;
        bool ok;
        if (PyFloat_Check(key))
            ok = number(key);
        else if (key == Py_True)
            ok = out_.lit("true");
        else if (key == Py_False)
            ok = out_.lit("false");
        else if (key == Py_None)
            ok = out_.lit("null");
        else if (PyLong_Check(key))
            ok = out_.int_repr(key);
        else if (opt_.skipkeys)
            return false;
        else {
            PyErr_Format(PyExc_TypeError, "keys must be str, int, float, bool or None, not %.100s",
                         Py_TYPE(key)->tp_name);
            return false;
        }
        return ok && out_.put('"');
    }

    // An object json does not know: what `default` makes of it.
    bool converted(PyObject *o, int level)
    {
        if (!enter(o))
            return false;
        if (opt_.deflt == nullptr) {
            refuse(o);
            return false;
        }
        qv::Ref made(PyObject_CallOneArg(opt_.deflt, o));
        if (!made)
            return false;
        if (!recursion_.enter(" while encoding a JSON object"))
            return false;
        bool ok = value(made.get(), level);
        recursion_.leave();
        if (ok)
            leave();
        return ok;
    }

    // json's JSONEncoder.default: the name is the object's __class__'s.
    static void refuse(PyObject *o)
    {
        qv::Ref cls(PyObject_GetAttrString(o, "__class__"));
        qv::Ref name(cls ? PyObject_GetAttrString(cls.get(), "__name__") : nullptr);
        if (name)
            PyErr_Format(PyExc_TypeError, "Object of type %S is not JSON serializable", name.get());
    }

    const Options &opt_;
    Separator item_sep_, key_sep_;
    qv::Out out_;
    qv::RecursionGuard recursion_;
    qv::Buffer<PyObject *, 32> path_;
};

bool flag(PyObject *o, bool *out)
{
    int v = PyObject_IsTrue(o);
    if (v < 0)
        return false;
    *out = v;
    return true;
}

bool need_str(PyObject *o, const char *what)
{
    if (PyUnicode_Check(o))
        return true;
    PyErr_Format(PyExc_TypeError, "%s must be str, not %.100s", what, Py_TYPE(o)->tp_name);
    return false;
}

}  // namespace

PyObject *std_write_json(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 10) {
        PyErr_SetString(PyExc_TypeError, "write_json() takes exactly 10 positional arguments");
        return nullptr;
    }
    Options o;
    if (!flag(args[1], &o.skipkeys) || !flag(args[2], &o.ensure_ascii) ||
        !flag(args[3], &o.check_circular) || !flag(args[4], &o.allow_nan) ||
        !flag(args[5], &o.sort_keys))
        return nullptr;
    o.indent = args[6] == Py_None ? nullptr : args[6];
    o.item_sep = args[7];
    o.key_sep = args[8];
    o.deflt = args[9] == Py_None ? nullptr : args[9];
    if ((o.indent && !need_str(o.indent, "indent")) || !need_str(o.item_sep, "item_separator") ||
        !need_str(o.key_sep, "key_separator"))
        return nullptr;
    JsonWriter writer(o);
    return writer.write(args[0]);
}
