// INI written as configparser's write() writes a parser that holds the
// tree's sections and values (each added with add_section and set):
//
// - the default section first (when it has keys), then the unnamed section
//   without a header (configparser's marker object as the tree's key), then
//   every other section in the tree's order, each as "[name]" and its keys;
// - each key as "key<d>value" with d the first delimiter (with a space on
//   each side when space_around_delimiters), line ends inside a value
//   followed by a tab (continuation lines), None values as the key alone;
// - a blank line after every section.
//
// What configparser's set() refuses is refused first, with its TypeError,
// before anything is written: section names and keys that are not str,
// values that are not str (None only when allow_no_value).  Keys that
// would read back as something else (one holding a delimiter, one that
// looks like a section header) and an empty section name (written as "[]",
// which no reader takes for a header) are refused with ValueError, where
// configparser would write a file that does not read back.
#include "std.h"

#include "toolkit/buffer.h"
#include "toolkit/ref.h"

#include <cstring>
#include <utility>

namespace {

struct Options {
    PyObject *delimiter;   // str written between key and value
    PyObject *delimiters;  // tuple of str: none may appear in a key
    PyObject *default_section;
    bool allow_no_value;
    PyObject *unnamed;  // configparser.UNNAMED_SECTION, or nullptr
};

// A table's items as a list of pairs (a dict's own, or items() of another
// mapping).
PyObject *pairs_of(PyObject *table)
{
    if (PyDict_CheckExact(table))
        return PyDict_Items(table);
    qv::Ref view(PyObject_CallMethod(table, "items", nullptr));
    if (!view)
        return nullptr;
    qv::Ref list(PySequence_List(view.get()));
    if (!list)
        return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); i++) {
        PyObject *item = PyList_GET_ITEM(list.get(), i);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
            PyErr_SetString(PyExc_ValueError, "items must return 2-tuples");
            return nullptr;
        }
    }
    return list.release();
}

// What str() and format() give for a str: itself, or a subclass's own text.
PyObject *exact_text(PyObject *s)
{
    return PyUnicode_CheckExact(s) ? Py_NewRef(s) : PyObject_Str(s);
}

// The units of a str of any kind equal to c.
template <typename Unit>
Py_ssize_t count_units(const Unit *p, Py_ssize_t n, Py_UCS4 c)
{
    Py_ssize_t count = 0;
    if constexpr (sizeof(Unit) == 1) {
        const Unit *end = p + n;
        while ((p = static_cast<const Unit *>(std::memchr(p, (int)c, (size_t)(end - p))))) {
            count++;
            p++;
        }
    } else {
        for (Py_ssize_t i = 0; i < n; i++)
            count += p[i] == c;
    }
    return count;
}

Py_ssize_t count_char(PyObject *s, Py_UCS4 c)
{
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND:
        return c > 0xFF ? 0 : count_units(PyUnicode_1BYTE_DATA(s), n, c);
    case PyUnicode_2BYTE_KIND:
        return count_units(PyUnicode_2BYTE_DATA(s), n, c);
    default:
        return count_units(PyUnicode_4BYTE_DATA(s), n, c);
    }
}

Py_ssize_t count_newlines(PyObject *s)
{
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    return PyUnicode_FindChar(s, '\n', 0, n, 1) < 0 ? 0 : count_char(s, '\n');
}

// The text is built in two passes: the first checks the tree and measures
// the text (its length and widest character), the second writes it into a
// str of exactly that size, which is the result.
template <typename Unit>
class Sink {
public:
    explicit Sink(Unit *p) : p_(p) {}
    void ch(char c) { *p_++ = (Unit)(unsigned char)c; }
    void text(PyObject *s)
    {
        Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        int kind = PyUnicode_KIND(s);
        if (kind == (int)sizeof(Unit)) {
            std::memcpy(p_, PyUnicode_DATA(s), (size_t)n * sizeof(Unit));
        } else if (kind == PyUnicode_1BYTE_KIND) {
            const Py_UCS1 *src = PyUnicode_1BYTE_DATA(s);
            for (Py_ssize_t i = 0; i < n; i++)
                p_[i] = src[i];
        } else {  // 2-byte text into a 4-byte str
            const Py_UCS2 *src = PyUnicode_2BYTE_DATA(s);
            for (Py_ssize_t i = 0; i < n; i++)
                p_[i] = src[i];
        }
        p_ += n;
    }
    // A value: each line end followed by a tab.
    void folded(PyObject *s)
    {
        Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND:
            return fold(PyUnicode_1BYTE_DATA(s), n);
        case PyUnicode_2BYTE_KIND:
            return fold(PyUnicode_2BYTE_DATA(s), n);
        default:
            return fold(PyUnicode_4BYTE_DATA(s), n);
        }
    }

private:
    template <typename Src>
    void fold(const Src *src, Py_ssize_t n)
    {
        if constexpr (sizeof(Src) == 1 && sizeof(Unit) == 1) {
            // Line by line: the lines are copied whole.
            const Src *end = src + n;
            while (src < end) {
                auto nl = static_cast<const Src *>(std::memchr(src, '\n', (size_t)(end - src)));
                Py_ssize_t k = (nl ? nl + 1 : end) - src;
                std::memcpy(p_, src, (size_t)k);
                p_ += k;
                src += k;
                if (nl)
                    *p_++ = '\t';
            }
            return;
        }
        for (Py_ssize_t i = 0; i < n; i++) {
            Src c = src[i];
            *p_++ = (Unit)c;
            if (c == '\n')
                *p_++ = '\t';
        }
    }

    Unit *p_;
};

// A section as it will be written: its name (nullptr for the unnamed
// section) and a dict of str keys to str or None values.
struct Section {
    qv::Ref name;
    qv::Ref items;
};

class IniWriter {
public:
    explicit IniWriter(const Options &o) : opt_(o) {}

    PyObject *write(PyObject *tree)
    {
        if (!gather(tree))
            return nullptr;
        PyObject *result = PyUnicode_New(length_, maxchar_);
        if (result == nullptr)
            return nullptr;
        switch (PyUnicode_KIND(result)) {
        case PyUnicode_1BYTE_KIND:
            emit(Sink<Py_UCS1>(PyUnicode_1BYTE_DATA(result)));
            break;
        case PyUnicode_2BYTE_KIND:
            emit(Sink<Py_UCS2>(PyUnicode_2BYTE_DATA(result)));
            break;
        default:
            emit(Sink<Py_UCS4>(PyUnicode_4BYTE_DATA(result)));
        }
        return result;
    }

private:
    // ---- the first pass: what configparser would hold, checked and measured

    bool gather(PyObject *tree)
    {
        if (PyDict_CheckExact(tree)) {
            int plain = gather_plain(tree);
            if (plain >= 0)
                return plain;
            // Something to convert: checked again from the start, the way
            // below, which finds the same errors in the same order.
            length_ = 0;
            maxchar_ = 127;
            defaults_ = Section();
            unnamed_ = Section();
        }
        qv::Ref sections(pairs_of(tree));
        if (!sections)
            return false;
        Py_ssize_t n = PyList_GET_SIZE(sections.get());
        Section defaults, unnamed;
        // Checked in the tree's order, as building the parser would check.
        for (Py_ssize_t i = 0; i < n; i++) {
            PyObject *pair = PyList_GET_ITEM(sections.get(), i);
            PyObject *name = PyTuple_GET_ITEM(pair, 0);
            int kind = section_kind(name);
            if (kind < 0)
                return false;
            Section s;
            if (kind != 2 && !(s.name = qv::Ref(exact_text(name))))
                return false;
            s.items.reset(checked(PyTuple_GET_ITEM(pair, 1)));
            if (!s.items)
                return false;
            if (kind == 1)
                defaults = std::move(s);
            else if (kind == 2)
                unnamed = std::move(s);
            else if (!names_.push_owned(s.name.release()) || !items_.push_owned(s.items.release()))
                return false;
        }
        // configparser writes the default section only when it has keys,
        // and the unnamed section whenever it exists.
        if (defaults.items && PyDict_GET_SIZE(defaults.items.get()) > 0) {
            defaults_ = std::move(defaults);
            measure(defaults_.name.get(), defaults_.items.get());
        }
        if (unnamed.items) {
            unnamed_ = std::move(unnamed);
            measure(nullptr, unnamed_.items.get());
        }
        for (Py_ssize_t i = 0; i < items_.size(); i++)
            measure(names_[i], items_[i]);
        return true;
    }

    // A dict of exact str names (or the unnamed marker) to dicts of exact
    // str keys and str or None values, the usual tree, is checked and
    // measured in place: nothing in it runs Python code, so the tree stays
    // as it is until written and needs no copy.  1 when done, 0 with the
    // error set, -1 at the first thing to convert (nothing set).
    int gather_plain(PyObject *tree)
    {
        Py_ssize_t pos = 0;
        PyObject *name, *items;
        while (PyDict_Next(tree, &pos, &name, &items)) {
            int kind = section_kind(name);
            if (kind < 0)
                return 0;
            if ((kind != 2 && !PyUnicode_CheckExact(name)) || !PyDict_CheckExact(items))
                return -1;
            Py_ssize_t at = 0;
            PyObject *k, *v;
            while (PyDict_Next(items, &at, &k, &v)) {
                if (!check(k, v))
                    return 0;
                if (!plain(k, v))
                    return -1;
            }
            if (kind == 1)
                defaults_ = Section{qv::Ref(Py_NewRef(name)), qv::Ref(Py_NewRef(items))};
            else if (kind == 2)
                unnamed_ = Section{qv::Ref(), qv::Ref(Py_NewRef(items))};
            else
                measure(name, items);
        }
        if (defaults_.items && PyDict_GET_SIZE(defaults_.items.get()) > 0)
            measure(defaults_.name.get(), defaults_.items.get());
        else
            defaults_ = Section();
        if (unnamed_.items)
            measure(nullptr, unnamed_.items.get());
        plain_ = tree;
        return 1;
    }

    // 1 for the default section, 2 for the unnamed one, 0 for another, -1
    // (with the error set) for a name configparser or a reader refuses.
    int section_kind(PyObject *name)
    {
        if (opt_.unnamed != nullptr && name == opt_.unnamed)
            return 2;
        if (!PyUnicode_Check(name)) {
            PyErr_SetString(PyExc_TypeError, "section names must be strings");
            return -1;
        }
        int is_default = PyUnicode_Compare(name, opt_.default_section) == 0;
        if (!is_default && PyUnicode_GET_LENGTH(name) == 0) {
            PyErr_SetString(PyExc_ValueError, "Invalid section name: ''");
            return -1;
        }
        return is_default;
    }

    static bool plain(PyObject *k, PyObject *v)
    {
        return PyUnicode_CheckExact(k) && (PyUnicode_CheckExact(v) || v == Py_None);
    }

    // The section's items as a dict of exact str keys and values, each
    // checked; the mapping itself when it already is one.
    PyObject *checked(PyObject *mapping)
    {
        if (PyDict_CheckExact(mapping)) {
            Py_ssize_t pos = 0;
            PyObject *k, *v;
            bool exact = true;
            while (PyDict_Next(mapping, &pos, &k, &v)) {
                if (!check(k, v))
                    return nullptr;
                exact = exact && plain(k, v);
            }
            if (exact)
                return Py_NewRef(mapping);
        }
        qv::Ref pairs(pairs_of(mapping));
        qv::Ref out(pairs ? PyDict_New() : nullptr);
        if (!out)
            return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.get()); i++) {
            PyObject *pair = PyList_GET_ITEM(pairs.get(), i);
            PyObject *k = PyTuple_GET_ITEM(pair, 0), *v = PyTuple_GET_ITEM(pair, 1);
            if (!check(k, v))
                return nullptr;
            qv::Ref key(exact_text(k));
            qv::Ref value(v == Py_None ? Py_NewRef(v) : exact_text(v));
            if (!key || !value || (key.get() != k && !readable_key(key.get())) ||
                PyDict_SetItem(out.get(), key.get(), value.get()) < 0)
                return nullptr;
        }
        return out.release();
    }

    bool check(PyObject *key, PyObject *value)
    {
        if (!PyUnicode_Check(key)) {
            PyErr_SetString(PyExc_TypeError, "option keys must be strings");
            return false;
        }
        if (!PyUnicode_Check(value) && !(value == Py_None && opt_.allow_no_value)) {
            PyErr_SetString(PyExc_TypeError, "option values must be strings");
            return false;
        }
        return !PyUnicode_CheckExact(key) || readable_key(key);
    }

    // A key reads back as itself unless it holds a delimiter or starts
    // like a section header ("[", a character, then "]" somewhere after).
    bool readable_key(PyObject *key)
    {
        Py_ssize_t n = PyUnicode_GET_LENGTH(key);
        if (n >= 3 && PyUnicode_READ_CHAR(key, 0) == '[' &&
            PyUnicode_FindChar(key, ']', 2, n, -1) >= 0) {
            PyErr_Format(PyExc_ValueError, "Cannot write key %U; begins with section pattern", key);
            return false;
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(opt_.delimiters); i++) {
            PyObject *d = PyTuple_GET_ITEM(opt_.delimiters, i);
            Py_ssize_t len = PyUnicode_GET_LENGTH(d);
            if (len == 0)
                continue;
            int found = len == 1 ? count_char(key, PyUnicode_READ_CHAR(d, 0)) > 0
                                 : PyUnicode_Contains(key, d);
            if (found < 0)
                return false;
            if (found) {
                PyErr_Format(PyExc_ValueError, "Cannot write key %U; contains delimiter %U", key, d);
                return false;
            }
        }
        return true;
    }

    void add(PyObject *s)
    {
        length_ += PyUnicode_GET_LENGTH(s);
        Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(s);
        if (m > maxchar_)
            maxchar_ = m;
    }

    void measure(PyObject *name, PyObject *items)
    {
        if (name != nullptr) {
            add(name);
            length_ += 3;  // "[", "]\n"
        }
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(items, &pos, &k, &v)) {
            add(k);
            if (v != Py_None) {
                add(opt_.delimiter);
                add(v);
                length_ += count_newlines(v);
            }
            length_ += 1;
        }
        length_ += 1;
    }

    // ---- the second pass

    template <typename Unit>
    void emit(Sink<Unit> out)
    {
        if (defaults_.items)
            section(out, defaults_.name.get(), defaults_.items.get());
        if (unnamed_.items)
            section(out, nullptr, unnamed_.items.get());
        if (plain_ == nullptr) {
            for (Py_ssize_t i = 0; i < items_.size(); i++)
                section(out, names_[i], items_[i]);
            return;
        }
        Py_ssize_t pos = 0;
        PyObject *name, *items;
        while (PyDict_Next(plain_, &pos, &name, &items)) {
            if (name != opt_.unnamed && PyUnicode_Compare(name, opt_.default_section) != 0)
                section(out, name, items);
        }
    }

    template <typename Unit>
    void section(Sink<Unit> &out, PyObject *name, PyObject *items)
    {
        if (name != nullptr) {
            out.ch('[');
            out.text(name);
            out.ch(']');
            out.ch('\n');
        }
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(items, &pos, &k, &v)) {
            out.text(k);
            if (v != Py_None) {
                out.text(opt_.delimiter);
                out.folded(v);
            }
            out.ch('\n');
        }
        out.ch('\n');
    }

    const Options &opt_;
    Section defaults_, unnamed_;
    // The named sections other than the default one, in order: their
    // names and items.
    qv::RefStack names_, items_;
    PyObject *plain_ = nullptr;  // a plain tree, written from itself
    Py_ssize_t length_ = 0;
    Py_UCS4 maxchar_ = 127;
};

}  // namespace

PyObject *std_write_ini(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 6) {
        PyErr_SetString(PyExc_TypeError, "write_ini() takes exactly 6 positional arguments");
        return nullptr;
    }
    Options o;
    o.delimiter = args[1];
    o.delimiters = args[2];
    o.default_section = args[3];
    int allow = PyObject_IsTrue(args[4]);
    if (allow < 0)
        return nullptr;
    o.allow_no_value = allow;
    o.unnamed = args[5] == Py_None ? nullptr : args[5];
    if (!PyUnicode_Check(o.delimiter) || !PyTuple_Check(o.delimiters) ||
        !PyUnicode_Check(o.default_section)) {
        PyErr_SetString(PyExc_TypeError,
                        "write_ini() takes a str delimiter, a tuple of delimiters and a str "
                        "default section");
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(o.delimiters); i++) {
        if (!PyUnicode_Check(PyTuple_GET_ITEM(o.delimiters, i))) {
            PyErr_SetString(PyExc_TypeError, "delimiters must be strings");
            return nullptr;
        }
    }
    IniWriter writer(o);
    return writer.write(args[0]);
}
