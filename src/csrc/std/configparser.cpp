// configparser's object model, made natively for quorvane's parser classes
// (src/quorvane/_configparser.py): a parser's state as configparser's
// constructor leaves it, and section proxies as its SectionProxy makes
// them.  The Python side decides when this is allowed (the interpreter's
// constructor code is the one expected, the class changes nothing these
// steps touch) and hands the objects they use; every step here is the one
// configparser's code takes, in its order, so the same attributes, values
// and errors come out.
#include "std.h"

#include "toolkit/toolkit.h"

namespace {

// The attribute the class's instances find under `name` (a str) before
// their own dict, borrowed: the first class of its MRO that holds it; NULL
// if none.  Through the interpreter's cache of these look-ups: walked
// here, the parser's MRO of ten classes cost a look in each one's dict.
PyObject *class_attribute(PyTypeObject *cls, PyObject *name)
{
    return _PyType_Lookup(cls, name);
}

// str, interned (a name that is not interned misses the interpreter's
// attribute cache on each lookup in the parser's long MRO and is interned
// again by each setattr).
PyObject *interned(PyObject *s)
{
    Py_INCREF(s);
    if (PyUnicode_CheckExact(s) && !PyUnicode_CHECK_INTERNED(s))
        PyUnicode_InternInPlace(&s);
    return s;
}

bool is_section_proxies(PyObject *proxies);

// Section proxies as SectionProxy(parser, name) makes them: _parser and
// _name set, then for each getter name g, g = partial(proxy.get,
// _impl=getattr(parser, g)).  The caller has checked that SectionProxy's
// constructor is that one.
class ProxyMaker {
public:
    // words: ("_parser", "_name", "get", ("_impl",)), or None to make them.
    bool prepare(PyTypeObject *cls, PyObject *getters, PyObject *partial, PyObject *words)
    {
        cls_ = cls;
        partial_ = partial;
        if (words != Py_None) {
            if (!PyTuple_Check(words) || PyTuple_GET_SIZE(words) != 4 ||
                !PyTuple_Check(PyTuple_GET_ITEM(words, 3)) ||
                PyTuple_GET_SIZE(PyTuple_GET_ITEM(words, 3)) != 1 ||
                !PyUnicode_Check(PyTuple_GET_ITEM(PyTuple_GET_ITEM(words, 3), 0))) {
                PyErr_SetString(PyExc_TypeError, "make_section_proxies() words must be a tuple "
                                                 "(parser_name, name_name, get_name, kwnames)");
                return false;
            }
            s_parser_.reset(interned(PyTuple_GET_ITEM(words, 0)));
            s_name_.reset(interned(PyTuple_GET_ITEM(words, 1)));
            s_get_.reset(interned(PyTuple_GET_ITEM(words, 2)));
            kwnames_.reset(Py_NewRef(PyTuple_GET_ITEM(words, 3)));
        } else {
            s_parser_.reset(PyUnicode_InternFromString("_parser"));
            s_name_.reset(PyUnicode_InternFromString("_name"));
            s_get_.reset(PyUnicode_InternFromString("get"));
            kwnames_.reset(Py_BuildValue("(s)", "_impl"));
        }
        no_args_.reset(PyTuple_New(0));
        if (!s_parser_ || !s_name_ || !s_get_ || !kwnames_ || !no_args_)
            return false;
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(getters); j++)
            if (!getters_.push_owned(interned(PyList_GET_ITEM(getters, j))))
                return false;
        // proxy.get, when it is a plain function of the class found by the
        // class's usual lookup, is that function bound to the proxy (a new
        // proxy's own dict holds no "get": the getter names are longer).
        PyObject *get_function = class_attribute(cls, s_get_.get());
        if (!get_function && PyErr_Occurred())
            return false;
        bind_ = get_function && PyFunction_Check(get_function) &&
                cls->tp_getattro == PyObject_GenericGetAttr;
        get_ref_.reset(Py_XNewRef(get_function));  // held while the loop may run code
        // A class whose instances are made by its __new__ alone (as
        // partial's are): each getter is made by it, given the arguments a
        // call would.
        PyTypeObject *type = PyType_Check(partial) ? (PyTypeObject *)partial : nullptr;
        direct_ = type && type->tp_new && type->tp_init == PyBaseObject_Type.tp_init &&
                  Py_TYPE(partial)->tp_call == PyType_Type.tp_call;
        return true;
    }

    // proxies[name] = a new proxy of the parser's section `name`.
    bool make(PyObject *proxies, PyObject *parser, PyObject *section)
    {
        qv::Ref name(Py_NewRef(section));
        qv::Ref proxy(PyBaseObject_Type.tp_new(cls_, no_args_.get(), nullptr));
        if (!proxy || PyObject_SetAttr(proxy.get(), s_parser_.get(), parser) < 0 ||
            PyObject_SetAttr(proxy.get(), s_name_.get(), name.get()) < 0)
            return false;
        // proxy.get, bound once for all its getters.
        qv::Ref bound(bind_ ? PyMethod_New(get_ref_.get(), proxy.get()) : nullptr);
        if (bind_ && !bound)
            return false;
        // While partial is made directly and the proxies go into a dict, no
        // code runs between two proxies that could change what a lookup of
        // the parser's getters finds.
        bool share = direct_ && (PyDict_CheckExact(proxies) || is_section_proxies(proxies));
        if (!share)
            shared_impls_.drop(0);
        for (Py_ssize_t j = 0; j < getters_.size(); j++) {
            PyObject *key = getters_[j];
            qv::Ref get(bind_ ? Py_NewRef(bound.get())
                              : PyObject_GetAttr(proxy.get(), s_get_.get()));
            qv::Ref impl(get ? parser_getter(parser, j, share) : nullptr);
            if (!impl)
                return false;
            qv::Ref getter(make_partial(get.get(), impl.get()));
            if (!getter || PyObject_SetAttr(proxy.get(), key, getter.get()) < 0)
                return false;
        }
        return PyObject_SetItem(proxies, name.get(), proxy.get()) == 0;
    }

    // The parser's bound getters shared so far (a tuple, by getter: the
    // method, or None where it could not be shared), for a later maker of
    // the same parser's proxies; NULL after raising.
    PyObject *shared_impls() const
    {
        PyObject *t = PyTuple_New(shared_impls_.size());
        for (Py_ssize_t j = 0; t && j < shared_impls_.size(); j++)
            PyTuple_SET_ITEM(t, j, Py_NewRef(shared_impls_[j]));
        return t;
    }
    // Takes over what shared_impls() gave an earlier maker.
    bool adopt_impls(PyObject *impls)
    {
        shared_impls_.drop(0);
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(impls) && j < getters_.size(); j++)
            if (!shared_impls_.push_owned(Py_NewRef(PyTuple_GET_ITEM(impls, j))))
                return false;
        return true;
    }

private:
    // getattr(parser, getters_[j]).  When the first proxy's lookup gave the
    // parser's own method of a plain function, the next proxies (when they
    // may share) take that same bound method: each lookup in the parser's
    // long MRO is costly, and each bound method is one more object for the
    // collector.
    PyObject *parser_getter(PyObject *parser, Py_ssize_t j, bool share)
    {
        if (j < shared_impls_.size() && shared_impls_[j] != Py_None)
            return Py_NewRef(shared_impls_[j]);
        PyObject *impl = PyObject_GetAttr(parser, getters_[j]);
        if (impl && share && j == shared_impls_.size()) {
            bool plain = PyMethod_Check(impl) && PyMethod_GET_SELF(impl) == parser &&
                         PyFunction_Check(PyMethod_GET_FUNCTION(impl));
            if (!shared_impls_.push_owned(Py_NewRef(plain ? impl : Py_None))) {
                Py_DECREF(impl);
                return nullptr;
            }
        }
        return impl;
    }

    // partial(get, _impl=impl).  Made directly, the 1-tuple of its
    // positional argument is filled again for each getter while only it
    // holds it (partial's __new__ keeps its items, not the tuple).
    PyObject *make_partial(PyObject *get, PyObject *impl)
    {
        PyObject *kwname = PyTuple_GET_ITEM(kwnames_.get(), 0);
        if (!direct_) {
            PyObject *call[] = {get, impl};
            return PyObject_Vectorcall(partial_, call, 1, kwnames_.get());
        }
        // (Still tracked: the collector may stop tracking a tuple it found
        // holding only objects it does not track.)
        if (pack_ && Py_REFCNT(pack_.get()) == 1 && PyObject_GC_IsTracked(pack_.get())) {
            PyObject *old = PyTuple_GET_ITEM(pack_.get(), 0);
            PyTuple_SET_ITEM(pack_.get(), 0, Py_NewRef(get));
            Py_DECREF(old);
        } else {
            pack_.reset(PyTuple_Pack(1, get));
        }
        qv::Ref kw(pack_ ? PyDict_New() : nullptr);
        if (!kw || PyDict_SetItem(kw.get(), kwname, impl) < 0)
            return nullptr;
        PyTypeObject *type = reinterpret_cast<PyTypeObject *>(partial_);
        return type->tp_new(type, pack_.get(), kw.get());
    }

    PyTypeObject *cls_ = nullptr;
    PyObject *partial_ = nullptr;  // borrowed from the caller's arguments
    qv::Ref s_parser_, s_name_, s_get_, kwnames_, no_args_, get_ref_, pack_;
    // (Room for the usual three getters in the maker itself.)
    qv::RefStackOf<4> getters_;
    qv::RefStackOf<4> shared_impls_;  // by getter: the parser's bound method shared, or None
    bool bind_ = false, direct_ = false;
};

}  // namespace

PyObject *std_make_section_proxies(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs < 6 || nargs > 7 || !PyType_Check(args[1]) || !PyList_Check(args[3]) ||
        !PyList_Check(args[4])) {
        PyErr_SetString(PyExc_TypeError, "make_section_proxies(proxies, proxy_class, parser, "
                                         "names: list, getters: list, partial, words=None, /)");
        return nullptr;
    }
    PyObject *names = args[3];
    ProxyMaker maker;
    if (!maker.prepare(reinterpret_cast<PyTypeObject *>(args[1]), args[4], args[5],
                       nargs > 6 ? args[6] : Py_None))
        return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); i++) {
        qv::Ref name(Py_NewRef(PyList_GET_ITEM(names, i)));
        if (!maker.make(args[0], args[2], name.get()))
            return nullptr;
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// section_proxies_type() -> type
//
// The parser's _proxies when its dict_type is dict: a dict of the same keys,
// in the same order, as configparser's, whose proxies are made when first
// looked up rather than when their sections are read.  A proxy holds a
// partial and a bound method for each getter and points back at the parser,
// so making one costs more than reading a short section, and each is one
// more cycle for the collector to free; most programs reach their values
// through parser.get() and never look at most proxies.
//
// A name whose proxy is owed maps to the maker itself, make(parser, name) ->
// the proxy, called at the first look-up (configparser's own SectionProxy,
// with the converters of that moment, which are those a proxy made at the
// reading would have been given since: adding or removing a converter
// looks up every proxy).  Everything that hands out values (items, values,
// get, pop, comparison, copies, repr, pickling) makes the owed proxies
// first; keys, membership, length, setting and deleting are the dict's own.
// The type is made for the caller, which keeps it: this module holds no
// state.

namespace {

struct SectionProxies {
    PyDictObject dict;
    PyObject *parser;  // NULL in an instance made through dict's own ways
    PyObject *make;
    // What the constructor is made with (see init_parser), and the known
    // converters by class: where they tell that a proxy may be made as
    // ProxyMaker makes it, it is made here, without a call of make.
    PyObject *making;
    PyObject *by_class;
    // The parser's bound getters that the proxies owed by one reading share
    // (as the proxies made at a reading share them): a tuple, made at the
    // first of them made here, for the getter names `impls_for` of the
    // class at version `impls_version`; dropped when more are owed.
    PyObject *impls;
    PyObject *impls_for;
    unsigned int impls_version;
};

void drop_impls(PyObject *self);

// A proxy made here: 1 (`*proxy` set), 0 where make is to make it, -1 after
// raising.  Defined with the constructor below.
int make_owed_natively(SectionProxies *p, PyObject *name, qv::Ref *proxy);
bool check_making(PyObject *making);

SectionProxies *as_proxies(PyObject *self) { return reinterpret_cast<SectionProxies *>(self); }

bool owed(PyObject *self, PyObject *value)
{
    return value && value == as_proxies(self)->make;
}

// The proxy of each name owed (made when looked up).  The getters shared so
// far were found for an earlier reading: the next proxy made finds them
// again.  0, or -1 after raising.
int owe(PyObject *self, PyObject *const *names, Py_ssize_t n)
{
    PyObject *make = as_proxies(self)->make;
    if (!make) {
        PyErr_SetString(PyExc_TypeError, "owe(): no maker");
        return -1;
    }
    drop_impls(self);
    for (Py_ssize_t i = 0; i < n; i++)
        if (PyDict_SetItem(self, names[i], make) < 0)
            return -1;
    return 0;
}

// The proxy of `name` made and stored, if it is still owed; a new reference
// to what the name holds then.  The maker may run any code.
PyObject *pay(PyObject *self, PyObject *name)
{
    SectionProxies *p = as_proxies(self);
    if (!p->parser || !p->make) {
        PyErr_SetObject(PyExc_KeyError, name);
        return nullptr;
    }
    qv::Ref make(Py_NewRef(p->make)), parser(Py_NewRef(p->parser)), key(Py_NewRef(name));
    qv::Ref proxy;
    int native = make_owed_natively(p, key.get(), &proxy);
    if (native != 0)
        return native > 0 ? proxy.release() : nullptr;  // stored in place
    PyObject *call[] = {parser.get(), key.get()};
    proxy.reset(PyObject_Vectorcall(make.get(), call, 2, nullptr));
    if (!proxy)
        return nullptr;
    PyObject *now = nullptr;
    if (PyDict_GetItemRef(self, key.get(), &now) < 0)
        return nullptr;
    qv::Ref held(now);
    // Stored only where still owed: the maker may have set or deleted it.
    if (now && now == make.get()) {
        if (PyDict_SetItem(self, key.get(), proxy.get()) < 0)
            return nullptr;
        return proxy.release();
    }
    if (!now)
        PyErr_SetObject(PyExc_KeyError, key.get());
    return held.release();
}

PyObject *proxies_subscript(PyObject *self, PyObject *key)
{
    PyObject *value = PyDict_Type.tp_as_mapping->mp_subscript(self, key);
    if (!owed(self, value))
        return value;
    Py_DECREF(value);
    return pay(self, key);
}

// Every owed proxy made, in the keys' order.  0, or -1 after raising.
int pay_all(PyObject *self)
{
    qv::RefStack names;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(self, &pos, &key, &value))
        if (owed(self, value) && !names.push_owned(Py_NewRef(key)))
            return -1;
    for (Py_ssize_t i = 0; i < names.size(); i++) {
        qv::Ref got(proxies_subscript(self, names[i]));
        if (!got && !PyErr_ExceptionMatches(PyExc_KeyError))
            return -1;
        PyErr_Clear();  // deleted by a maker in between
    }
    return 0;
}

// dict's own method of that name, called once the owed proxies are made.
PyObject *as_dict(PyObject *self, const char *name, PyObject *const *args, Py_ssize_t nargs,
                  PyObject *kwnames)
{
    if (pay_all(self) < 0)
        return nullptr;
    qv::Ref method(PyObject_GetAttrString(reinterpret_cast<PyObject *>(&PyDict_Type), name));
    if (!method)
        return nullptr;
    Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    qv::RefStackOf<4> call;
    if (!call.push_owned(Py_NewRef(self)))
        return nullptr;
    for (Py_ssize_t i = 0; i < total; i++)
        if (!call.push_owned(Py_NewRef(args[i])))
            return nullptr;
    return PyObject_Vectorcall(method.get(), call.data(), (size_t)(nargs + 1), kwnames);
}

#define QV_AS_DICT(method)                                                                   \
    PyObject *proxies_##method(PyObject *self, PyObject *const *args, Py_ssize_t nargs,      \
                               PyObject *kwnames)                                            \
    {                                                                                        \
        return as_dict(self, #method, args, nargs, kwnames);                                \
    }
QV_AS_DICT(get)
QV_AS_DICT(items)
QV_AS_DICT(values)
QV_AS_DICT(pop)
QV_AS_DICT(popitem)
QV_AS_DICT(setdefault)
QV_AS_DICT(copy)
#undef QV_AS_DICT

// Copied or pickled, a plain dict of the proxies, as configparser's is.
PyObject *proxies_reduce(PyObject *self, PyObject *)
{
    if (pay_all(self) < 0)
        return nullptr;
    qv::Ref plain(PyDict_New());
    if (!plain || PyDict_Merge(plain.get(), self, 1) < 0)
        return nullptr;
    return Py_BuildValue("(O(O))", reinterpret_cast<PyObject *>(&PyDict_Type), plain.get());
}

PyObject *proxies_owe(PyObject *self, PyObject *names)
{
    qv::Ref seq(PySequence_Fast(names, "owe() takes a sequence of names"));
    if (!seq ||
        owe(self, PySequence_Fast_ITEMS(seq.get()), PySequence_Fast_GET_SIZE(seq.get())) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *proxies_richcompare(PyObject *self, PyObject *other, int op)
{
    if (pay_all(self) < 0)
        return nullptr;
    if (Py_TYPE(other) == Py_TYPE(self) && pay_all(other) < 0)
        return nullptr;
    return PyDict_Type.tp_richcompare(self, other, op);
}

PyObject *proxies_repr(PyObject *self)
{
    if (pay_all(self) < 0)
        return nullptr;
    return PyDict_Type.tp_repr(self);
}

// dict's own iterator; a type of its own here makes dict's merging and
// copying look values up through the subscript above, not take them raw.
PyObject *proxies_iter(PyObject *self) { return PyDict_Type.tp_iter(self); }

PyObject *proxies_new(PyTypeObject *type, PyObject *args, PyObject *kwargs)
{
    PyObject *parser, *make, *making = nullptr, *by_class = nullptr;
    if (kwargs && PyDict_GET_SIZE(kwargs)) {
        PyErr_SetString(PyExc_TypeError, "SectionProxies() takes no keywords");
        return nullptr;
    }
    if (!PyArg_UnpackTuple(args, "SectionProxies", 2, 4, &parser, &make, &making, &by_class))
        return nullptr;
    qv::Ref empty(PyTuple_New(0));
    qv::Ref self(empty ? PyDict_Type.tp_new(type, empty.get(), nullptr) : nullptr);
    if (!self)
        return nullptr;
    as_proxies(self.get())->parser = Py_NewRef(parser);
    as_proxies(self.get())->make = Py_NewRef(make);
    // (What is not the constructor's tuple is not used.)
    if (making && !check_making(making)) {
        PyErr_Clear();
        making = nullptr;
    }
    as_proxies(self.get())->making = Py_XNewRef(making);
    as_proxies(self.get())->by_class = Py_XNewRef(by_class);
    return self.release();
}

int proxies_init(PyObject *, PyObject *, PyObject *) { return 0; }

void drop_impls(PyObject *self)
{
    Py_CLEAR(as_proxies(self)->impls);
    Py_CLEAR(as_proxies(self)->impls_for);
}

int proxies_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_proxies(self)->parser);
    Py_VISIT(as_proxies(self)->make);
    Py_VISIT(as_proxies(self)->making);
    Py_VISIT(as_proxies(self)->by_class);
    Py_VISIT(as_proxies(self)->impls);
    Py_VISIT(as_proxies(self)->impls_for);
    return PyDict_Type.tp_traverse(self, visit, arg);
}

// The references the instance holds beside the dict's.
void clear_own(PyObject *self)
{
    Py_CLEAR(as_proxies(self)->parser);
    Py_CLEAR(as_proxies(self)->make);
    Py_CLEAR(as_proxies(self)->making);
    Py_CLEAR(as_proxies(self)->by_class);
    drop_impls(self);
}

int proxies_clear(PyObject *self)
{
    clear_own(self);
    return PyDict_Type.tp_clear(self);
}

void proxies_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    clear_own(self);
    PyDict_Type.tp_dealloc(self);
    Py_DECREF(type);
}

#define QV_METHOD(name, doc)                                                              \
    {#name, (PyCFunction)(void (*)(void))proxies_##name, METH_FASTCALL | METH_KEYWORDS, doc}
PyMethodDef proxies_methods[] = {
    QV_METHOD(get, nullptr),
    QV_METHOD(items, nullptr),
    QV_METHOD(values, nullptr),
    QV_METHOD(pop, nullptr),
    QV_METHOD(popitem, nullptr),
    QV_METHOD(setdefault, nullptr),
    QV_METHOD(copy, nullptr),
    {"__reduce__", proxies_reduce, METH_NOARGS, nullptr},
    {"owe", proxies_owe, METH_O,
     "owe(names, /)\n--\n\nEach name's proxy owed, made when looked up."},
    {nullptr, nullptr, 0, nullptr},
};
#undef QV_METHOD

PyType_Slot proxies_slots[] = {
    {Py_tp_doc, const_cast<char *>(
                    "SectionProxies(parser, make, making=None, by_class=None)\n--\n\n"
                    "A parser's section proxies by name, each made by make(parser, name)\n"
                    "when first looked up.")},
    {Py_tp_new, reinterpret_cast<void *>(proxies_new)},
    {Py_tp_init, reinterpret_cast<void *>(proxies_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(proxies_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(proxies_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(proxies_clear)},
    {Py_tp_iter, reinterpret_cast<void *>(proxies_iter)},
    {Py_tp_richcompare, reinterpret_cast<void *>(proxies_richcompare)},
    {Py_tp_repr, reinterpret_cast<void *>(proxies_repr)},
    {Py_tp_methods, proxies_methods},
    {Py_mp_subscript, reinterpret_cast<void *>(proxies_subscript)},
    {0, nullptr},
};

PyType_Spec proxies_spec = {
    "quorvane._configparser.SectionProxies",
    sizeof(SectionProxies),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    proxies_slots,
};

// Whether `type` was made by section_proxies_type(): its look-up is the one
// above.
bool is_proxies_type(PyObject *type)
{
    if (!PyType_Check(type))
        return false;
    PyMappingMethods *m = reinterpret_cast<PyTypeObject *>(type)->tp_as_mapping;
    return m && m->mp_subscript == proxies_subscript;
}

bool is_section_proxies(PyObject *proxies)
{
    return is_proxies_type(reinterpret_cast<PyObject *>(Py_TYPE(proxies)));
}

}  // namespace

PyObject *std_section_proxies_type(PyObject *, PyObject *)
{
    return PyType_FromSpecWithBases(&proxies_spec, reinterpret_cast<PyObject *>(&PyDict_Type));
}

// type_version(cls, /) -> int: the interpreter's version tag of the class,
// which changes whenever the class or one of its bases is changed; 0 when
// it has none.  Lets a cache of what a class's namespaces hold know it is
// still right.
PyObject *std_type_version(PyObject *, PyObject *cls)
{
    if (!PyType_Check(cls)) {
        PyErr_SetString(PyExc_TypeError, "type_version() takes a class");
        return nullptr;
    }
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(cls);
    if (!PyUnstable_Type_AssignVersionTag(type))
        return PyLong_FromLong(0);
    return PyLong_FromUnsignedLong(type->tp_version_tag);
}

// ---------------------------------------------------------------------------
// init_parser(self, defaults, dict_type, allow_no_value, delimiters,
//             comment_prefixes, inline_comment_prefixes, strict,
//             empty_lines_in_values, default_section, interpolation,
//             converters, allow_unnamed_section, known, making, /) -> bool
//
// configparser's constructor, statement for statement, for a class whose
// converters are known and whose instances take these attributes in their
// own dict (`known`: (class version, converter names, getter names,
// plain), cached by the Python side); False, with the parser untouched,
// when that does not hold (the caller then runs its own constructor).

namespace {

// The names and objects of `making` (built once by the Python side).
enum Word {
    W_DICT, W_SECTIONS, W_DEFAULTS, W_CONVERTERS, W_PROXIES, W_DELIMITERS, W_OPTCRE,
    // 3.13: _prefixes; before: _comment_prefixes
    W_PREFIXES,
    W_STRICT, W_ALLOW_NO_VALUE, W_EMPTY_LINES, W_DEFAULT_SECTION, W_INTERPOLATION,
    // 3.13: _allow_unnamed_section; before: _inline_comment_prefixes
    W_LAST,
    W_OPTCRE_ATTR, W_OPTCRE_NV_ATTR, W_DEFAULT_INTERPOLATION, W_UPDATE, W_READ_DEFAULTS,
    W_PARSER, W_DATA, W_SECTION_PROXY, W_INIT, W_CONVERTERS_ATTR, W_ITER,
    W_COUNT
};

enum Making {
    M_WORDS,           // the names above, interned
    M_NEW_LAYOUT,      // True: 3.13's attributes
    M_UNSET,           // configparser's _UNSET
    M_INTERPOLATION,   // configparser.Interpolation
    M_MAPPING,         // configparser.ConverterMapping
    M_NAMESPACE,       // types.SimpleNamespace
    M_PREFIX_KWNAMES,  // ("full", "inline")
    M_DELIMITERS,      // ("=", ":")
    M_OPTCRE_FOR,      // (self, delimiters, allow_no_value) -> the pattern
    M_MODULE,          // configparser
    M_PROXY,           // configparser.SectionProxy
    M_PROXY_INIT,      // its __init__
    M_CONVERTERS_PROPERTY,
    M_MAPPING_ITER,    // ConverterMapping.__iter__
    M_PARTIAL,         // functools.partial
    M_PROXY_WORDS,     // ("_parser", "_name", "get", ("_impl",))
    M_PROXIES,         // a type of section_proxies_type()
    M_OWED_MAKE,       // what it makes owed proxies with
    M_BY_CLASS,        // the known converters by class (what `known` is taken from)
    M_COUNT
};

// Whether the class may be made here: its converters known at its
// current version, and its instances plain (see _configparser.py).
bool known_class(PyTypeObject *cls, PyObject *known)
{
    if (!PyTuple_Check(known) || PyTuple_GET_SIZE(known) != 4 ||
        PyTuple_GET_ITEM(known, 3) != Py_True || !PyList_Check(PyTuple_GET_ITEM(known, 1)) ||
        !PyList_Check(PyTuple_GET_ITEM(known, 2)))
        return false;
    if (!PyUnstable_Type_AssignVersionTag(cls))
        return false;
    PyObject *version = PyTuple_GET_ITEM(known, 0);
    if (!PyLong_CheckExact(version))
        return false;
    unsigned long v = PyLong_AsUnsignedLong(version);
    if (v == (unsigned long)-1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return v == cls->tp_version_tag;
}

// Whether proxies may be made as ProxyMaker makes them: configparser's
// SectionProxy with its own constructor, and the converters reached as
// configparser's own code reaches them.  -1 on an error.
// The classes' attributes are found in their namespaces: a class gives a
// function or a property of its own as itself, and their metaclass
// (ABCMeta) has none of these names.
int proxies_as_known(PyTypeObject *cls, PyObject *const *m, PyObject *const *w)
{
    PyObject *globals = PyModule_GetDict(m[M_MODULE]);
    PyObject *proxy = globals ? PyDict_GetItemWithError(globals, w[W_SECTION_PROXY]) : nullptr;
    if (proxy != m[M_PROXY])
        return PyErr_Occurred() ? -1 : 0;
    if (Py_TYPE(proxy) != Py_TYPE(m[M_MAPPING]) || Py_TYPE((PyObject *)cls) != Py_TYPE(proxy))
        return 0;
    PyObject *init = class_attribute((PyTypeObject *)proxy, w[W_INIT]);
    PyObject *property = init ? class_attribute(cls, w[W_CONVERTERS_ATTR]) : nullptr;
    PyObject *iter = property ? class_attribute((PyTypeObject *)m[M_MAPPING], w[W_ITER]) : nullptr;
    if (!iter)
        return PyErr_Occurred() ? -1 : 0;
    return init == m[M_PROXY_INIT] && property == m[M_CONVERTERS_PROPERTY] &&
           iter == m[M_MAPPING_ITER];
}

// dict_type(): a dict made directly when it is dict.
PyObject *new_mapping(PyObject *dict_type)
{
    return dict_type == (PyObject *)&PyDict_Type ? PyDict_New() : PyObject_CallNoArgs(dict_type);
}

// tuple(items or ())
PyObject *tuple_or_empty(PyObject *items)
{
    int truthy = PyObject_IsTrue(items);
    if (truthy < 0)
        return nullptr;
    return truthy ? PySequence_Tuple(items) : PyTuple_New(0);
}

// A parser's proxies owed as the dict of section_proxies_type(), when its mappings are dicts
// and `making` holds its type and the maker; else NULL (nothing raised).
PyObject *new_owed_proxies(PyObject *parser, PyObject *dict_type, PyObject *making)
{
    PyObject *const *m = &PyTuple_GET_ITEM(making, 0);
    if (dict_type != reinterpret_cast<PyObject *>(&PyDict_Type) || !is_proxies_type(m[M_PROXIES]))
        return nullptr;
    PyObject *call[] = {parser, m[M_OWED_MAKE], making, m[M_BY_CLASS]};
    return PyObject_Vectorcall(m[M_PROXIES], call, 4, nullptr);
}

class ParserInit {
public:
    ParserInit(PyObject *dict, PyObject *const *words) : dict_(dict), w_(words) {}

    // self.<word> = value (the reference is taken).
    bool set(Word word, PyObject *value)
    {
        qv::Ref v(value);
        return v && PyDict_SetItem(dict_, w_[word], v.get()) == 0;
    }
    bool set_borrowed(Word word, PyObject *value) { return set(word, Py_NewRef(value)); }

private:
    PyObject *dict_;
    PyObject *const *w_;
};

bool check_making(PyObject *making)
{
    if (!PyTuple_Check(making) || PyTuple_GET_SIZE(making) != M_COUNT ||
        !PyTuple_Check(PyTuple_GET_ITEM(making, M_WORDS)) ||
        PyTuple_GET_SIZE(PyTuple_GET_ITEM(making, M_WORDS)) != W_COUNT ||
        !PyType_Check(PyTuple_GET_ITEM(making, M_MAPPING)) ||
        !PyType_Check(PyTuple_GET_ITEM(making, M_PROXY)) ||
        !PyType_Check(PyTuple_GET_ITEM(making, M_NAMESPACE)) ||
        !PyModule_Check(PyTuple_GET_ITEM(making, M_MODULE)) ||
        !PyTuple_Check(PyTuple_GET_ITEM(making, M_PREFIX_KWNAMES)) ||
        PyTuple_GET_SIZE(PyTuple_GET_ITEM(making, M_PREFIX_KWNAMES)) != 2) {
        PyErr_SetString(PyExc_TypeError, "init_parser() making: not the tuple it takes");
        return false;
    }
    PyObject *words = PyTuple_GET_ITEM(making, M_WORDS);
    for (Py_ssize_t i = 0; i < W_COUNT; i++) {
        PyObject *word = PyTuple_GET_ITEM(words, i);
        if (!PyUnicode_CheckExact(word) || !PyUnicode_CHECK_INTERNED(word)) {
            PyErr_SetString(PyExc_TypeError, "init_parser() words must be interned str");
            return false;
        }
    }
    return true;
}

// Whether the instance's own dict holds no getter yet (a name starting
// with "get" would be found by configparser's look for converters).
int no_own_getters(PyObject *dict)
{
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key))
            return 0;
        if (PyUnicode_GET_LENGTH(key) >= 3 && PyUnicode_READ_CHAR(key, 0) == 'g' &&
            PyUnicode_READ_CHAR(key, 1) == 'e' && PyUnicode_READ_CHAR(key, 2) == 't')
            return 0;
    }
    return 1;
}

}  // namespace

PyObject *std_init_parser(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 15) {
        PyErr_SetString(PyExc_TypeError, "init_parser() takes exactly 15 positional arguments");
        return nullptr;
    }
    PyObject *self = args[0], *defaults = args[1], *dict_type = args[2];
    PyObject *allow_no_value = args[3], *delimiters = args[4];
    PyObject *comment_prefixes = args[5], *inline_prefixes = args[6];
    PyObject *strict = args[7], *empty_lines = args[8], *default_section = args[9];
    PyObject *interpolation = args[10], *converters = args[11];
    PyObject *allow_unnamed = args[12], *known = args[13], *making = args[14];
    if (!check_making(making))
        return nullptr;
    PyObject *const *m = &PyTuple_GET_ITEM(making, 0);
    PyObject *const *w = &PyTuple_GET_ITEM(m[M_WORDS], 0);
    PyTypeObject *cls = Py_TYPE(self);
    if (!known_class(cls, known))
        Py_RETURN_FALSE;
    qv::Ref dict(PyObject_GenericGetDict(self, nullptr));
    if (!dict)
        return nullptr;
    if (!PyDict_CheckExact(dict.get()) || !no_own_getters(dict.get()))
        Py_RETURN_FALSE;
    int fast_proxies = proxies_as_known(cls, m, w);
    if (fast_proxies < 0)
        return nullptr;
    bool new_layout = m[M_NEW_LAYOUT] == Py_True;
    ParserInit init(dict.get(), w);

    // self._dict, self._sections, self._defaults
    if (!init.set_borrowed(W_DICT, dict_type) || !init.set(W_SECTIONS, new_mapping(dict_type)) ||
        !init.set(W_DEFAULTS, new_mapping(dict_type)))
        return nullptr;
    // self._converters = ConverterMapping(self): the class's known names.
    PyObject *convs = PyTuple_GET_ITEM(known, 1);
    qv::Ref no_args(PyTuple_New(0));
    qv::Ref mapping(no_args ? ((PyTypeObject *)m[M_MAPPING])->tp_new(
                                  (PyTypeObject *)m[M_MAPPING], no_args.get(), nullptr)
                            : nullptr);
    qv::Ref data(mapping ? PyDict_New() : nullptr);
    if (!data || PyObject_SetAttr(mapping.get(), w[W_PARSER], self) < 0)
        return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(convs); i++)
        if (PyDict_SetItem(data.get(), PyList_GET_ITEM(convs, i), Py_None) < 0)
            return nullptr;
    if (PyObject_SetAttr(mapping.get(), w[W_DATA], data.get()) < 0 ||
        !init.set_borrowed(W_CONVERTERS, mapping.get()))
        return nullptr;
    // self._proxies, with the default section's proxy (owed, where it may be)
    qv::Ref proxies(new_owed_proxies(self, dict_type, making));
    bool owing = bool(proxies);
    if (!owing && PyErr_Occurred())
        return nullptr;
    if (!owing)
        proxies.reset(new_mapping(dict_type));
    if (!proxies || !init.set_borrowed(W_PROXIES, proxies.get()))
        return nullptr;
    if (owing) {
        if (owe(proxies.get(), &default_section, 1) < 0)
            return nullptr;
    } else if (fast_proxies) {
        ProxyMaker maker;
        if (!maker.prepare((PyTypeObject *)m[M_PROXY], PyTuple_GET_ITEM(known, 2), m[M_PARTIAL],
                           m[M_PROXY_WORDS]) ||
            !maker.make(proxies.get(), self, default_section))
            return nullptr;
    } else {
        qv::Ref proxy_class(PyObject_GetAttr(m[M_MODULE], w[W_SECTION_PROXY]));
        PyObject *call[] = {self, default_section};
        qv::Ref proxy(proxy_class ? PyObject_Vectorcall(proxy_class.get(), call, 2, nullptr)
                                  : nullptr);
        if (!proxy || PyObject_SetItem(proxies.get(), default_section, proxy.get()) < 0)
            return nullptr;
    }
    // self._delimiters and self._optcre
    if (!init.set(W_DELIMITERS, PySequence_Tuple(delimiters)))
        return nullptr;
    qv::Ref usual(PyObject_RichCompare(delimiters, m[M_DELIMITERS], Py_EQ));
    int is_usual = usual ? PyObject_IsTrue(usual.get()) : -1;
    if (is_usual < 0)
        return nullptr;
    qv::Ref optcre;
    if (is_usual) {
        int nv = PyObject_IsTrue(allow_no_value);
        if (nv < 0)
            return nullptr;
        optcre.reset(PyObject_GetAttr(self, w[nv ? W_OPTCRE_NV_ATTR : W_OPTCRE_ATTR]));
    } else {
        PyObject *call[] = {self, delimiters, allow_no_value};
        optcre.reset(PyObject_Vectorcall(m[M_OPTCRE_FOR], call, 3, nullptr));
    }
    if (!optcre || !init.set_borrowed(W_OPTCRE, optcre.get()))
        return nullptr;
    // The comment prefixes: one namespace from 3.13, two tuples before.
    qv::Ref full(tuple_or_empty(comment_prefixes));
    qv::Ref inline_(full ? tuple_or_empty(inline_prefixes) : nullptr);
    if (!inline_)
        return nullptr;
    if (new_layout) {
        // SimpleNamespace(full=..., inline=...): its own dict, filled in
        // that order.
        PyTypeObject *ns_type = (PyTypeObject *)m[M_NAMESPACE];
        qv::Ref ns(ns_type->tp_new(ns_type, no_args.get(), nullptr));
        PyObject *kwnames = m[M_PREFIX_KWNAMES];
        if (!ns || PyObject_SetAttr(ns.get(), PyTuple_GET_ITEM(kwnames, 0), full.get()) < 0 ||
            PyObject_SetAttr(ns.get(), PyTuple_GET_ITEM(kwnames, 1), inline_.get()) < 0 ||
            !init.set_borrowed(W_PREFIXES, ns.get()))
            return nullptr;
    } else if (!init.set_borrowed(W_PREFIXES, full.get()) ||
               !init.set_borrowed(W_LAST, inline_.get())) {
        return nullptr;
    }
    if (!init.set_borrowed(W_STRICT, strict) || !init.set_borrowed(W_ALLOW_NO_VALUE, allow_no_value) ||
        !init.set_borrowed(W_EMPTY_LINES, empty_lines) ||
        !init.set_borrowed(W_DEFAULT_SECTION, default_section) ||
        !init.set_borrowed(W_INTERPOLATION, interpolation))
        return nullptr;
    // self._interpolation: the class's default, or Interpolation() for None
    qv::Ref interp(Py_NewRef(interpolation));
    if (interp.get() == m[M_UNSET]) {
        interp.reset(PyObject_GetAttr(self, w[W_DEFAULT_INTERPOLATION]));
        if (!interp || !init.set_borrowed(W_INTERPOLATION, interp.get()))
            return nullptr;
    }
    if (interp.get() == Py_None) {
        interp.reset(PyObject_CallNoArgs(m[M_INTERPOLATION]));
        if (!interp || !init.set_borrowed(W_INTERPOLATION, interp.get()))
            return nullptr;
    }
    int ok = PyObject_IsInstance(interp.get(), m[M_INTERPOLATION]);
    if (ok < 0)
        return nullptr;
    if (!ok) {
        qv::Ref type_name(PyObject_Str((PyObject *)Py_TYPE(interp.get())));
        if (type_name)
            PyErr_Format(PyExc_TypeError,
                         "interpolation= must be None or an instance of Interpolation;"
                         " got an object of type %U",
                         type_name.get());
        return nullptr;
    }
    if (converters != m[M_UNSET]) {
        qv::Ref done(PyObject_CallMethodOneArg(mapping.get(), w[W_UPDATE], converters));
        if (!done)
            return nullptr;
    }
    int any = PyObject_IsTrue(defaults);
    if (any < 0)
        return nullptr;
    if (any) {
        qv::Ref done(PyObject_CallMethodOneArg(self, w[W_READ_DEFAULTS], defaults));
        if (!done)
            return nullptr;
    }
    if (new_layout && !init.set_borrowed(W_LAST, allow_unnamed))
        return nullptr;
    Py_RETURN_TRUE;
}

// ---------------------------------------------------------------------------
// fill_parser(parser, sections, unnamed, known, making, /) -> None | list
//
// What the reader gave ([(name, own keys)], see ini.cpp) put in the parser
// as its reading puts it: the default section's keys into _defaults, a
// section read before gets the new keys, a new one its dict and a proxy.
// The parser's mappings are dicts (its dict_type is dict).  Returns None,
// or the names of the new sections whose proxies the caller is to make
// (when they cannot be made here); NotImplemented, with nothing changed,
// when the parser's mappings are not plain dicts.

namespace {

// The getter names of the parser's proxies when they are its class's
// known ones (borrowed), or NULL.
PyObject *known_getters(PyObject *parser, PyObject *known, PyObject *const *m,
                        PyObject *const *w, int *error)
{
    *error = 0;
    int fast = proxies_as_known(Py_TYPE(parser), m, w);
    if (fast <= 0) {
        *error = fast < 0;
        return nullptr;
    }
    qv::Ref mapping(PyObject_GetAttr(parser, w[W_CONVERTERS]));
    if (!mapping) {
        *error = 1;
        return nullptr;
    }
    if ((PyObject *)Py_TYPE(mapping.get()) != m[M_MAPPING])
        return nullptr;
    qv::Ref data(PyObject_GetAttr(mapping.get(), w[W_DATA]));
    if (!data) {
        *error = 1;
        return nullptr;
    }
    // The very names of the class's converters, in their order.
    PyObject *convs = PyTuple_GET_ITEM(known, 1);
    if (!PyDict_CheckExact(data.get()) || PyDict_GET_SIZE(data.get()) != PyList_GET_SIZE(convs))
        return nullptr;
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    while (PyDict_Next(data.get(), &pos, &key, &value))
        if (key != PyList_GET_ITEM(convs, i++))
            return nullptr;
    return PyTuple_GET_ITEM(known, 2);
}

int make_owed_natively(SectionProxies *p, PyObject *name, qv::Ref *proxy)
{
    if (!p->making || !p->by_class || !PyDict_CheckExact(p->by_class))
        return 0;
    PyObject *const *m = &PyTuple_GET_ITEM(p->making, 0);
    PyObject *const *w = &PyTuple_GET_ITEM(m[M_WORDS], 0);
    PyObject *parser = p->parser;
    // After the first proxy owed by a reading is made here, the next ones
    // are made as it was while the class is unchanged, as the reading
    // would have made them all at once.
    unsigned int version = Py_TYPE(parser)->tp_version_tag;
    bool cached = p->impls && version != 0 && p->impls_version == version;
    PyObject *getters = cached ? p->impls_for : nullptr;
    qv::Ref held;
    if (!cached) {
        PyObject *known = PyDict_GetItemWithError(p->by_class, (PyObject *)Py_TYPE(parser));
        if (!known)
            return PyErr_Occurred() ? -1 : 0;
        held.reset(Py_NewRef(known));
        if (!known_class(Py_TYPE(parser), known))
            return 0;
        int error = 0;
        getters = known_getters(parser, known, m, w, &error);
        if (!getters)
            return error ? -1 : 0;
        version = Py_TYPE(parser)->tp_version_tag;
    }
    qv::Ref getters_held(Py_NewRef(getters));
    ProxyMaker maker;
    if (!maker.prepare((PyTypeObject *)m[M_PROXY], getters, m[M_PARTIAL], m[M_PROXY_WORDS]))
        return -1;
    if (cached && !maker.adopt_impls(p->impls))
        return -1;
    // Stored in place of what was owed (the maker runs no code of the
    // parser's: its class is a known one).
    if (!maker.make((PyObject *)p, parser, name))
        return -1;
    if (!cached) {
        // (The parser is looked up again when the class changes: its
        // version tag then changes.)
        qv::Ref impls(maker.shared_impls());
        if (!impls)
            return -1;
        drop_impls((PyObject *)p);
        p->impls = impls.release();
        p->impls_for = Py_NewRef(getters);
        p->impls_version = version;
    }
    PyObject *got = PyDict_GetItemWithError((PyObject *)p, name);
    if (!got)
        return PyErr_Occurred() ? -1 : 0;
    proxy->reset(Py_NewRef(got));
    return 1;
}

}  // namespace

PyObject *std_fill_parser(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 5 || !PyList_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "fill_parser(parser, sections: list, unnamed, known, "
                                         "making, /)");
        return nullptr;
    }
    PyObject *parser = args[0], *sections = args[1], *unnamed = args[2], *known = args[3];
    if (!check_making(args[4]))
        return nullptr;
    PyObject *const *m = &PyTuple_GET_ITEM(args[4], 0);
    PyObject *const *w = &PyTuple_GET_ITEM(m[M_WORDS], 0);
    qv::Ref secs(PyObject_GetAttr(parser, w[W_SECTIONS]));
    qv::Ref defaults(secs ? PyObject_GetAttr(parser, w[W_DEFAULTS]) : nullptr);
    qv::Ref proxies(defaults ? PyObject_GetAttr(parser, w[W_PROXIES]) : nullptr);
    qv::Ref default_name(proxies ? PyObject_GetAttr(parser, w[W_DEFAULT_SECTION]) : nullptr);
    if (!default_name)
        return nullptr;
    bool owing = is_section_proxies(proxies.get());
    if (!PyDict_CheckExact(secs.get()) || !PyDict_CheckExact(defaults.get()) ||
        !(owing || PyDict_CheckExact(proxies.get())) || !PyUnicode_CheckExact(default_name.get()))
        Py_RETURN_NOTIMPLEMENTED;
    qv::RefStack made;  // the new sections' names
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sections); i++) {
        PyObject *entry = PyList_GET_ITEM(sections, i);
        if (!PyTuple_Check(entry) || PyTuple_GET_SIZE(entry) != 2 ||
            !PyDict_Check(PyTuple_GET_ITEM(entry, 1))) {
            PyErr_SetString(PyExc_TypeError, "fill_parser() sections: [(name, dict)]");
            return nullptr;
        }
        PyObject *name = PyTuple_GET_ITEM(entry, 0), *own = PyTuple_GET_ITEM(entry, 1);
        // The unnamed section is made afresh by each reading.
        if (name != unnamed || unnamed == Py_None) {
            int is_default = PyObject_RichCompareBool(name, default_name.get(), Py_EQ);
            if (is_default < 0)
                return nullptr;
            if (is_default) {
                if (PyDict_Update(defaults.get(), own) < 0)
                    return nullptr;
                continue;
            }
            PyObject *have = PyDict_GetItemWithError(secs.get(), name);
            if (have) {
                qv::Ref held(Py_NewRef(have));
                if (PyDict_CheckExact(have) ? PyDict_Update(have, own) < 0
                                            : !qv::Ref(PyObject_CallMethodOneArg(
                                                  have, w[W_UPDATE], own)))
                    return nullptr;
                continue;
            }
            if (PyErr_Occurred())
                return nullptr;
        }
        if (PyDict_SetItem(secs.get(), name, own) < 0 || !made.push_owned(Py_NewRef(name)))
            return nullptr;
    }
    if (made.size() == 0)
        Py_RETURN_NONE;
    if (owing) {
        if (owe(proxies.get(), made.data(), made.size()) < 0)
            return nullptr;
        Py_RETURN_NONE;
    }
    int error = 0;
    PyObject *getters =
        known_class(Py_TYPE(parser), known) ? known_getters(parser, known, m, w, &error) : nullptr;
    if (error)
        return nullptr;
    if (!getters)
        return made.take(0);
    ProxyMaker maker;
    if (!maker.prepare((PyTypeObject *)m[M_PROXY], getters, m[M_PARTIAL], m[M_PROXY_WORDS]))
        return nullptr;
    for (Py_ssize_t i = 0; i < made.size(); i++)
        if (!maker.make(proxies.get(), parser, made[i]))
            return nullptr;
    Py_RETURN_NONE;
}
