// quorvane.loads as a built-in function.  On a document of a few hundred
// bytes the Python path around a reader (argument binding, the format's
// look-up, the lambda that adds the reader's options) cost about as much
// as the reading itself; here the common call costs a name compare and one
// call of the reader.
//
// The common call: two positional arguments, a format name of the table the
// function was built with, and an exact str or bytes that is not empty and
// does not start like a byte-order mark.  It is read by the format's
// reader, with bytes decoded from UTF-8 first for the readers that take
// str.  Every other call goes to the Python implementation the function
// was built around (the fallback), with the caller's arguments as they
// were; so does a common call whose reading fails with a ValueError, which
// the fallback reads again and tells as a ParseError.  Only a success is
// taken from the direct reading.
//
// What the function was built with is held by its __self__, a module
// object of its own whose state is the table (a module, so that the
// function pickles by name and is named as a module's function is).
// Nothing else is kept: no state outlives a call.
#include "std.h"
#include "toolkit/hash.h"
#include "toolkit/ref.h"
#include "toolkit/str.h"

#include <cstdint>
#include <cstring>

namespace {

using qv::Ref;

constexpr Py_ssize_t kMaxRows = 16;
constexpr size_t kNameSlots = 32;  // a power of two, twice kMaxRows
constexpr Py_ssize_t kMaxArgs = 4;  // the reader's arguments after the text

// A reader that is a built-in function of the fast calling convention is
// called straight, as the interpreter would call it, without its dispatch
// (about a tenth of the whole call on a document of a few hundred bytes).
using FastCall = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t);

struct Row {
    PyObject *name;  // exact str
    PyObject *reader;
    FastCall fast;   // the reader's C function, or NULL
    PyObject *fast_self;
    PyObject *args[kMaxArgs];
    Py_ssize_t nargs;
    bool takes_str;  // bytes are decoded from UTF-8 before the reader sees them
};

// The rows' objects are borrowed from `rows`, the tuple the table owns.
struct Table {
    PyObject *fallback;
    PyObject *rows;
    Py_ssize_t nrows;
    Row row[kMaxRows];
    // The rows by the address of their name: 1 + the row's index, or 0
    // for an empty slot, probed onwards from the address's slot.
    uint8_t by_name[kNameSlots];
    bool mark_lead[256];  // the first bytes of the byte-order marks
};

size_t name_slot(PyObject *name) { return (size_t)qv::hash_pointer(name) & (kNameSlots - 1); }

Table *table_of(PyObject *holder) { return static_cast<Table *>(PyModule_GetState(holder)); }

// The row of a format name, or NULL.  Names written in the caller's code
// are the table's own interned objects, found by their address (a walk of
// the rows cost some thirty instructions a call for the last rows, a third
// of this function's own).
const Row *find_row(const Table *t, PyObject *format)
{
    for (size_t at = name_slot(format); t->by_name[at]; at = (at + 1) & (kNameSlots - 1)) {
        const Row *row = &t->row[t->by_name[at] - 1];
        if (row->name == format)
            return row;
    }
    for (Py_ssize_t i = 0; i < t->nrows; i++)
        if (qv::same_str(t->row[i].name, format))
            return &t->row[i];
    return nullptr;
}

// Whether the document may be read straight: not empty, and not starting
// like a byte-order mark (a str's mark is one character).
bool unmarked(const Table *t, PyObject *text)
{
    if (PyUnicode_CheckExact(text))
        return PyUnicode_GET_LENGTH(text) > 0 && PyUnicode_READ_CHAR(text, 0) != 0xFEFF;
    if (PyBytes_CheckExact(text))
        return PyBytes_GET_SIZE(text) > 0 &&
               !t->mark_lead[(unsigned char)PyBytes_AS_STRING(text)[0]];
    return false;
}

// The tree of a document read by its row's reader; NULL with no exception
// set when the fallback is to answer (a ValueError was raised and cleared).
PyObject *read_direct(const Row *row, PyObject *text)
{
    Ref decoded;
    if (row->takes_str && PyBytes_CheckExact(text)) {
        decoded.reset(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(text), PyBytes_GET_SIZE(text),
                                           nullptr));
        text = decoded.get();
    }
    PyObject *tree = nullptr;
    if (text) {
        PyObject *argv[1 + kMaxArgs];
        argv[0] = text;
        for (Py_ssize_t i = 0; i < row->nargs; i++)
            argv[1 + i] = row->args[i];
        if (row->fast) {
            // The recursion count the interpreter keeps for a call.
            if (Py_EnterRecursiveCall(" while calling a Python object"))
                return nullptr;
            tree = row->fast(row->fast_self, argv, 1 + row->nargs);
            Py_LeaveRecursiveCall();
        } else {
            tree = PyObject_Vectorcall(row->reader, argv, (size_t)(1 + row->nargs), nullptr);
        }
    }
    if (!tree && PyErr_ExceptionMatches(PyExc_ValueError))
        PyErr_Clear();  // UnicodeDecodeError among them
    return tree;
}

PyObject *loads(PyObject *holder, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    const Table *t = table_of(holder);
    if (!t->fallback) {
        PyErr_SetString(PyExc_SystemError, "loads() was cleared");
        return nullptr;
    }
    if (nargs == 2 && !kwnames && PyUnicode_CheckExact(args[1]) && unmarked(t, args[0])) {
        if (const Row *row = find_row(t, args[1])) {
            PyObject *tree = read_direct(row, args[0]);
            if (tree || PyErr_Occurred())
                return tree;
        }
    }
    return PyObject_Vectorcall(t->fallback, args, (size_t)nargs, kwnames);
}

PyMethodDef loads_def = {
    "loads", (PyCFunction)(void (*)(void))loads, METH_FASTCALL | METH_KEYWORDS,
    "loads(text, format, **options)\n--\n\n"
    "Parses a whole document given as str or bytes-like object.\n\n"
    "``format`` is a format name: \"json\"; \"toml\" (standard TOML 1.1, also\n"
    "\"toml-1.1\") or \"toml-1.0\"; \"ini\" (INI as configparser reads it, with\n"
    "its options as keywords); \"jsonc\" and \"json5\" (JSON with comments,\n"
    "JSON5); or \"toml-dialect\" and \"ini-dialect\", the dialect readers.\n"
    "Raises ParseError for a document that does not parse."};

int table_traverse(PyObject *holder, visitproc visit, void *arg)
{
    if (Table *t = table_of(holder)) {
        Py_VISIT(t->fallback);
        Py_VISIT(t->rows);
    }
    return 0;
}

int table_clear(PyObject *holder)
{
    if (Table *t = table_of(holder)) {
        t->nrows = 0;  // the rows borrow from t->rows
        std::memset(t->by_name, 0, sizeof t->by_name);
        Py_CLEAR(t->fallback);
        Py_CLEAR(t->rows);
    }
    return 0;
}

void table_free(void *holder) { table_clear(static_cast<PyObject *>(holder)); }

PyModuleDef holder_def = {
    PyModuleDef_HEAD_INIT,
    "quorvane._std.loads",
    "What quorvane.loads was built with.",
    sizeof(Table),
    nullptr,
    nullptr,
    table_traverse,
    table_clear,
    table_free,
};

// A row of the table: (name, reader, args, takes_str).  0, or -1 after
// raising.
int take_row(Row *row, PyObject *item)
{
    PyObject *args;
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 4 ||
        !PyUnicode_CheckExact(PyTuple_GET_ITEM(item, 0)) ||
        !PyCallable_Check(PyTuple_GET_ITEM(item, 1)) ||
        !PyTuple_Check(args = PyTuple_GET_ITEM(item, 2)) || PyTuple_GET_SIZE(args) > kMaxArgs) {
        PyErr_SetString(PyExc_TypeError,
                        "native_loads(): a row is (name, reader, args, takes_str)");
        return -1;
    }
    int takes_str = PyObject_IsTrue(PyTuple_GET_ITEM(item, 3));
    if (takes_str < 0)
        return -1;
    row->name = PyTuple_GET_ITEM(item, 0);
    row->reader = PyTuple_GET_ITEM(item, 1);
    row->fast = nullptr;
    if (PyCFunction_CheckExact(row->reader) &&
        (PyCFunction_GET_FLAGS(row->reader) & ~METH_COEXIST) == METH_FASTCALL) {
        row->fast = reinterpret_cast<FastCall>(
            reinterpret_cast<void (*)(void)>(PyCFunction_GET_FUNCTION(row->reader)));
        row->fast_self = PyCFunction_GET_SELF(row->reader);
    }
    row->nargs = PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = 0; i < row->nargs; i++)
        row->args[i] = PyTuple_GET_ITEM(args, i);
    row->takes_str = takes_str;
    return 0;
}

}  // namespace

PyObject *std_native_loads(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 3 || !PyCallable_Check(args[0]) || !PyTuple_Check(args[1]) ||
        !PyBytes_Check(args[2])) {
        PyErr_SetString(PyExc_TypeError,
                        "native_loads() takes (fallback, rows: tuple, mark_leads: bytes)");
        return nullptr;
    }
    PyObject *rows = args[1];
    if (PyTuple_GET_SIZE(rows) > kMaxRows) {
        PyErr_SetString(PyExc_ValueError, "native_loads(): too many rows");
        return nullptr;
    }
    // Named as the fallback is, in the fallback's module.
    Ref module_name(PyObject_GetAttrString(args[0], "__module__"));
    if (!module_name)
        return nullptr;
    Ref holder(PyModule_Create(&holder_def));  // its state zeroed
    if (!holder)
        return nullptr;
    Table *t = table_of(holder.get());
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(rows); i++) {
        if (take_row(&t->row[i], PyTuple_GET_ITEM(rows, i)) < 0)
            return nullptr;
        size_t at = name_slot(t->row[i].name);
        while (t->by_name[at])
            at = (at + 1) & (kNameSlots - 1);
        t->by_name[at] = (uint8_t)(i + 1);
    }
    const char *leads = PyBytes_AS_STRING(args[2]);
    for (Py_ssize_t i = 0; i < PyBytes_GET_SIZE(args[2]); i++)
        t->mark_lead[(unsigned char)leads[i]] = true;
    t->rows = Py_NewRef(rows);
    t->nrows = PyTuple_GET_SIZE(rows);
    t->fallback = Py_NewRef(args[0]);
    return PyCFunction_NewEx(&loads_def, holder.get(), module_name.get());
}
