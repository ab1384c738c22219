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

#include "toolkit/out.h"
#include "toolkit/ref.h"

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

class IniWriter {
public:
    explicit IniWriter(const Options &o) : opt_(o) {}

    PyObject *write(PyObject *tree)
    {
        qv::Ref sections(pairs_of(tree));
        if (!sections)
            return nullptr;
        Py_ssize_t n = PyList_GET_SIZE(sections.get());
        // Each section's items, checked in the tree's order before any
        // text is made, as building the parser would check them.
        qv::Ref items(PyList_New(n));
        if (!items)
            return nullptr;
        Py_ssize_t defaults = -1, unnamed = -1;
        for (Py_ssize_t i = 0; i < n; i++) {
            PyObject *pair = PyList_GET_ITEM(sections.get(), i);
            PyObject *name = PyTuple_GET_ITEM(pair, 0);
            int kind = section_kind(name);
            if (kind < 0)
                return nullptr;
            if (kind == 1)
                defaults = i;
            else if (kind == 2)
                unnamed = i;
            PyObject *section = pairs_of(PyTuple_GET_ITEM(pair, 1));
            if (section == nullptr)
                return nullptr;
            PyList_SET_ITEM(items.get(), i, section);
            if (!check(section))
                return nullptr;
        }
        if (defaults >= 0 && PyList_GET_SIZE(PyList_GET_ITEM(items.get(), defaults)) > 0 &&
            !section(PyTuple_GET_ITEM(PyList_GET_ITEM(sections.get(), defaults), 0),
                     PyList_GET_ITEM(items.get(), defaults)))
            return nullptr;
        if (unnamed >= 0 && !section(nullptr, PyList_GET_ITEM(items.get(), unnamed)))
            return nullptr;
        for (Py_ssize_t i = 0; i < n; i++) {
            if (i == defaults || i == unnamed)
                continue;
            if (!section(PyTuple_GET_ITEM(PyList_GET_ITEM(sections.get(), i), 0),
                         PyList_GET_ITEM(items.get(), i)))
                return nullptr;
        }
        return out_.take_str();
    }

private:
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

    bool check(PyObject *items)
    {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); i++) {
            PyObject *pair = PyList_GET_ITEM(items, i);
            PyObject *key = PyTuple_GET_ITEM(pair, 0), *value = PyTuple_GET_ITEM(pair, 1);
            if (!PyUnicode_Check(key)) {
                PyErr_SetString(PyExc_TypeError, "option keys must be strings");
                return false;
            }
            if (!PyUnicode_Check(value) && !(value == Py_None && opt_.allow_no_value)) {
                PyErr_SetString(PyExc_TypeError, "option values must be strings");
                return false;
            }
            if (!readable_key(key))
                return false;
        }
        return true;
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
            if (PyUnicode_GET_LENGTH(d) == 0)
                continue;
            int found = PyUnicode_Contains(key, d);
            if (found < 0)
                return false;
            if (found) {
                PyErr_Format(PyExc_ValueError, "Cannot write key %U; contains delimiter %U", key, d);
                return false;
            }
        }
        return true;
    }

    // What str() and format() of a str give: its text, or a subclass's own.
    bool text(PyObject *s)
    {
        if (PyUnicode_CheckExact(s))
            return out_.str(s);
        qv::Ref t(PyObject_Str(s));
        return t && out_.str(t.get());
    }

    bool value(PyObject *v)
    {
        qv::Ref own;
        if (!PyUnicode_CheckExact(v)) {
            own.reset(PyObject_Str(v));
            if (!own)
                return false;
            v = own.get();
        }
        Py_ssize_t n = PyUnicode_GET_LENGTH(v);
        if (PyUnicode_FindChar(v, '\n', 0, n, 1) < 0)
            return out_.str(v);
        qv::Ref lf(PyUnicode_FromString("\n")), lf_tab(PyUnicode_FromString("\n\t"));
        qv::Ref folded(lf && lf_tab ? PyUnicode_Replace(v, lf.get(), lf_tab.get(), -1) : nullptr);
        return folded && out_.str(folded.get());
    }

    // One section: its header (none for the unnamed section), its keys, a
    // blank line.
    bool section(PyObject *name, PyObject *items)
    {
        if (name != nullptr && !(out_.put('[') && text(name) && out_.lit("]\n")))
            return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); i++) {
            PyObject *pair = PyList_GET_ITEM(items, i);
            PyObject *v = PyTuple_GET_ITEM(pair, 1);
            if (!text(PyTuple_GET_ITEM(pair, 0)))
                return false;
            if (v != Py_None && !(out_.str(opt_.delimiter) && value(v)))
                return false;
            if (!out_.put('\n'))
                return false;
        }
        return out_.put('\n');
    }

    const Options &opt_;
    qv::Out out_;
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
