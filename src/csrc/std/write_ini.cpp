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
#include "toolkit/dict.h"
#include "toolkit/ref.h"
#include "toolkit/scan.h"

#include <cstring>
#include <utility>

namespace {

// The usual options cost no objects: the delimiters ("=", ":") and the
// default section "DEFAULT" are null, and the text between key and value is
// then ASCII bytes.
struct Options {
    PyObject *delimiter = nullptr;   // str written between key and value, or:
    const char *delimiter_ascii = nullptr;
    Py_ssize_t delimiter_length = 0;
    PyObject *delimiters = nullptr;  // tuple of str: none may appear in a key
    PyObject *default_section = nullptr;
    bool allow_no_value = false;
};

// Single-character delimiters of at most U+00FF (the usual "=" and ":"),
// found in a one-byte key in one pass: for each byte, the delimiters it
// is, as bits in the tuple's order.  Others are looked for one by one.
constexpr struct UsualDelimiterBytes {
    uint64_t of[256] = {};
    constexpr UsualDelimiterBytes()
    {
        of['='] = 1;
        of[':'] = 2;
    }
} kUsualDelimiterBytes;

struct DelimiterBytes {
    const uint64_t *of = kUsualDelimiterBytes.of;
    bool usable = true;
    uint64_t own[256];  // for delimiters of the caller's

    explicit DelimiterBytes(PyObject *delimiters)
    {
        if (delimiters == nullptr)
            return;
        Py_ssize_t n = PyTuple_GET_SIZE(delimiters);
        if (n > 64) {
            usable = false;
            return;
        }
        std::memset(own, 0, sizeof own);
        of = own;
        for (Py_ssize_t i = 0; i < n; i++) {
            PyObject *d = PyTuple_GET_ITEM(delimiters, i);
            Py_ssize_t len = PyUnicode_GET_LENGTH(d);
            if (len == 0)
                continue;  // an empty delimiter is in no key
            Py_UCS4 c = PyUnicode_READ_CHAR(d, 0);
            if (len != 1 || c > 0xFF) {
                usable = false;
                return;
            }
            own[c] |= uint64_t{1} << i;
        }
    }
};

// The key of the keys before the first header, as the readers make it:
// configparser's UNNAMED_SECTION once configparser is imported (3.13), else
// quorvane.ini's own marker.  Looked up only when a section name is not a
// str, so the usual tree never pays for it.
PyObject *unnamed_marker()
{
    qv::Ref name(PyUnicode_FromString("configparser"));
    qv::Ref module(name ? PyImport_GetModule(name.get()) : nullptr);
    if (PyErr_Occurred())
        return nullptr;
    if (module) {
        PyObject *marker = PyObject_GetAttrString(module.get(), "UNNAMED_SECTION");
        if (marker != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError))
            return marker;
        PyErr_Clear();
    }
    qv::Ref ini(PyImport_ImportModule("quorvane.ini"));
    return ini ? PyObject_GetAttrString(ini.get(), "_UNNAMED_SECTION") : nullptr;
}

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
    if constexpr (sizeof(Unit) == 1)
        return qv::count_byte(reinterpret_cast<const char *>(p), n, (char)c);
    Py_ssize_t count = 0;
    for (Py_ssize_t i = 0; i < n; i++)
        count += p[i] == c;
    return count;
}

// Whether text of any width holds the unit c, a word at a time.
template <typename Unit>
bool holds_unit(const Unit *p, Py_ssize_t n, Py_UCS4 c)
{
    if constexpr (sizeof(Unit) == 1) {
        if (n >= 32)
            return std::memchr(p, (int)c, (size_t)n) != nullptr;
        return qv::holds_either(reinterpret_cast<const char *>(p), n, (char)c, (char)c);
    } else if constexpr (sizeof(Unit) == 2) {
        constexpr uint64_t ones = 0x0001000100010001ull, highs = 0x8000800080008000ull;
        const uint64_t wc = ones * c;
        Py_ssize_t i = 0;
        for (; i + 4 <= n; i += 4) {
            uint64_t w;
            std::memcpy(&w, p + i, 8);
            uint64_t x = w ^ wc;
            if ((x - ones) & ~x & highs)
                return true;
        }
        for (; i < n; i++)
            if (p[i] == c)
                return true;
        return false;
    } else {
        for (Py_ssize_t i = 0; i < n; i++)
            if (p[i] == c)
                return true;
        return false;
    }
}

// Text of one width into a str of a wider one (or the same).
template <typename Unit, typename Src>
void widen(Unit *__restrict out, const Src *__restrict src, Py_ssize_t n)
{
    if constexpr (sizeof(Unit) == 1 && sizeof(Src) == 1) {
        qv::copy_short(reinterpret_cast<char *>(out), reinterpret_cast<const char *>(src), n);
        return;
    } else if constexpr (sizeof(Unit) == sizeof(Src)) {
        std::memcpy(out, src, (size_t)n * sizeof(Unit));
        return;
    }
    Py_ssize_t i = 0;
#if defined(QV_SCAN_SSE2)
    if constexpr (sizeof(Unit) == 2 && sizeof(Src) == 1) {
        // Keys are short: after the runs of eight, four more at once, so
        // that at most three go one by one.
        const __m128i zero = _mm_setzero_si128();
        for (; i + 8 <= n; i += 8) {
            __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(src + i));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), _mm_unpacklo_epi8(v, zero));
        }
        if (i + 4 <= n) {
            int32_t four;
            std::memcpy(&four, src + i, 4);
            __m128i v = _mm_unpacklo_epi8(_mm_cvtsi32_si128(four), zero);
            _mm_storel_epi64(reinterpret_cast<__m128i *>(out + i), v);
            i += 4;
        }
    }
#endif
    for (; i < n; i++)
        out[i] = src[i];
}

bool holds_char(PyObject *s, Py_UCS4 c)
{
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND:
        return c <= 0xFF && holds_unit(PyUnicode_1BYTE_DATA(s), n, c);
    case PyUnicode_2BYTE_KIND:
        return holds_unit(PyUnicode_2BYTE_DATA(s), n, c);
    default:
        return holds_unit(PyUnicode_4BYTE_DATA(s), n, c);
    }
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
    // Most values hold no line end, so they are looked through a word at a
    // time first; only long one-byte text is counted in one pass straight
    // away (sixteen bytes at a time, which the look could not beat).
    if (PyUnicode_KIND(s) == PyUnicode_1BYTE_KIND && PyUnicode_GET_LENGTH(s) >= 16)
        return count_char(s, '\n');
    return holds_char(s, '\n') ? count_char(s, '\n') : 0;
}

// The text is built in two passes: the first checks the tree and measures
// the text (its length and widest character), the second writes it into a
// str of exactly that size, which is the result.
template <typename Unit>
class Sink {
public:
    explicit Sink(Unit *p) : p_(p) {}
    void ch(char c) { *p_++ = (Unit)(unsigned char)c; }
    void ascii(const char *s, Py_ssize_t n)
    {
        for (Py_ssize_t i = 0; i < n; i++)
            p_[i] = (Unit)(unsigned char)s[i];
        p_ += n;
    }
    void text(PyObject *s)
    {
        Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        int kind = PyUnicode_KIND(s);
        if (kind == PyUnicode_1BYTE_KIND)
            widen(p_, PyUnicode_1BYTE_DATA(s), n);
        else if (kind == PyUnicode_2BYTE_KIND)  // into a 2- or 4-byte str
            widen(p_, PyUnicode_2BYTE_DATA(s), n);
        else
            std::memcpy(p_, PyUnicode_DATA(s), (size_t)n * sizeof(Unit));
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
#if defined(QV_SCAN_SSE2)
            // Sixteen bytes stored at a time, the cursor then moved past
            // those up to a line end: the text still to come (at least
            // these sixteen bytes) has room for the store.
            const __m128i nl = _mm_set1_epi8('\n');
            while (n >= 16) {
                __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src));
                _mm_storeu_si128(reinterpret_cast<__m128i *>(p_), v);
                unsigned mask = (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(v, nl));
                Py_ssize_t k = mask ? __builtin_ctz(mask) + 1 : 16;
                p_ += k;
                src += k;
                n -= k;
                if (mask)
                    *p_++ = '\t';
            }
#endif
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
        if (!holds_unit(src, n, '\n')) {
            widen(p_, src, n);
            p_ += n;
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
    struct PlainSection {
        PyObject *name;  // nullptr for the unnamed section
        Py_ssize_t begin, end;  // its keys and values in plain_items_
    };

public:
    explicit IniWriter(const Options &o) : opt_(o), bytes_(o.delimiters) {}

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
            plain_items_.clear();
            plain_sections_.clear();
            plain_default_ = plain_unnamed_ = -1;
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
    // measured in place, in one pass: nothing in it runs Python code, so
    // the tree stays as it is until written and needs no copy.  1 when
    // done, 0 with the error set, -1 at the first thing to convert
    // (nothing set).
    int gather_plain(PyObject *tree)
    {
        qv::DictItems sections(tree);
        PyObject *name, *items;
        bool stale = false;
        while (sections.next(&name, &items, stale)) {
            stale = !PyUnicode_Check(name);  // looking for the unnamed marker may import
            int kind = section_kind(name);
            if (kind < 0)
                return 0;
            if ((kind != 2 && !PyUnicode_CheckExact(name)) || !PyDict_CheckExact(items))
                return -1;
            // What the section adds, counted only if it is written.
            Py_ssize_t length = length_;
            Py_UCS4 maxchar = maxchar_;
            PlainSection section{kind == 2 ? nullptr : name, plain_items_.size(), 0};
            if (!plain_items_.reserve(2 * PyDict_GET_SIZE(items)))
                return 0;
            qv::DictItems entries(items);
            PyObject *k, *v;
            while (entries.next(&k, &v, false)) {
                if (!check(k, v))
                    return 0;
                if (!plain(k, v))
                    return -1;
                measure_item(k, v);
                PyObject **slot = plain_items_.end();
                slot[0] = k;
                slot[1] = v;
                plain_items_.set_size(plain_items_.size() + 2);
            }
            section.end = plain_items_.size();
            if (kind == 1 && section.end == section.begin) {
                // configparser writes the default section only when it has keys
                length_ = length;
                maxchar_ = maxchar;
                continue;
            }
            if (kind == 1)
                plain_default_ = plain_sections_.size();
            else if (kind == 2)
                plain_unnamed_ = plain_sections_.size();
            if (!plain_sections_.push(section))
                return 0;
            measure_header(section.name);
        }
        plain_ = true;
        return 1;
    }

    // 1 for the default section, 2 for the unnamed one, 0 for another, -1
    // (with the error set) for a name configparser or a reader refuses.
    int section_kind(PyObject *name)
    {
        if (!PyUnicode_Check(name)) {
            if (!unnamed_marker_ && !(unnamed_marker_ = qv::Ref(unnamed_marker())))
                return -1;
            if (name == unnamed_marker_.get())
                return 2;
            PyErr_SetString(PyExc_TypeError, "section names must be strings");
            return -1;
        }
        int is_default = opt_.default_section
                             ? PyUnicode_Compare(name, opt_.default_section) == 0
                             : PyUnicode_GET_LENGTH(name) == 7 &&
                                   PyUnicode_KIND(name) == PyUnicode_1BYTE_KIND &&
                                   std::memcmp(PyUnicode_DATA(name), "DEFAULT", 7) == 0;
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
        if (!PyUnicode_CheckExact(key))
            return true;
        // The usual delimiters and a one-byte key: both looks in a few words.
        if (opt_.delimiters == nullptr && PyUnicode_KIND(key) == PyUnicode_1BYTE_KIND) {
            const char *p = reinterpret_cast<const char *>(PyUnicode_1BYTE_DATA(key));
            Py_ssize_t n = PyUnicode_GET_LENGTH(key);
            if ((n < 3 || p[0] != '[') && !qv::holds_either(p, n, '=', ':'))
                return true;
        }
        return readable_key(key);
    }

    // The delimiters as a tuple of str (the usual ones made when first
    // needed: a key to look through one by one, an error to report).
    PyObject *delimiters()
    {
        if (opt_.delimiters != nullptr)
            return opt_.delimiters;
        if (!usual_delimiters_)
            usual_delimiters_.reset(Py_BuildValue("(ss)", "=", ":"));
        return usual_delimiters_.get();
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
        if (bytes_.usable && PyUnicode_KIND(key) == PyUnicode_1BYTE_KIND) {
            const Py_UCS1 *p = PyUnicode_1BYTE_DATA(key);
            uint64_t found = 0;
            for (Py_ssize_t i = 0; i < n; i++)
                found |= bytes_.of[p[i]];
            if (found == 0)
                return true;
            // The message names the first delimiter of the tuple in the key.
            PyObject *all = delimiters();
            if (all == nullptr)
                return false;
            PyObject *d = PyTuple_GET_ITEM(all, __builtin_ctzll(found));
            PyErr_Format(PyExc_ValueError, "Cannot write key %U; contains delimiter %U", key, d);
            return false;
        }
        PyObject *all = delimiters();
        if (all == nullptr)
            return false;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(all); i++) {
            PyObject *d = PyTuple_GET_ITEM(all, i);
            Py_ssize_t len = PyUnicode_GET_LENGTH(d);
            if (len == 0)
                continue;
            int found = len == 1 ? holds_char(key, PyUnicode_READ_CHAR(d, 0))
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

    void measure_item(PyObject *k, PyObject *v)
    {
        add(k);
        if (v != Py_None) {
            if (opt_.delimiter)
                add(opt_.delimiter);
            else
                length_ += opt_.delimiter_length;
            add(v);
            Py_ssize_t lines = count_newlines(v);
            length_ += lines;
            folds_ |= lines != 0;
        }
        length_ += 1;
    }
    // A section's header (none for the unnamed section) and its blank line.
    void measure_header(PyObject *name)
    {
        if (name != nullptr) {
            add(name);
            length_ += 3;  // "[", "]\n"
        }
        length_ += 1;
    }
    void measure(PyObject *name, PyObject *items)
    {
        measure_header(name);
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(items, &pos, &k, &v))
            measure_item(k, v);
    }

    // ---- the second pass

    template <typename Unit>
    void emit(Sink<Unit> out)
    {
        if (plain_) {
            if (plain_default_ >= 0)
                plain_section(out, plain_sections_[plain_default_]);
            if (plain_unnamed_ >= 0)
                plain_section(out, plain_sections_[plain_unnamed_]);
            for (Py_ssize_t i = 0; i < plain_sections_.size(); i++)
                if (i != plain_default_ && i != plain_unnamed_)
                    plain_section(out, plain_sections_[i]);
            return;
        }
        if (defaults_.items)
            section(out, defaults_.name.get(), defaults_.items.get());
        if (unnamed_.items)
            section(out, nullptr, unnamed_.items.get());
        for (Py_ssize_t i = 0; i < items_.size(); i++)
            section(out, names_[i], items_[i]);
    }

    template <typename Unit>
    void header(Sink<Unit> &out, PyObject *name)
    {
        if (name != nullptr) {
            out.ch('[');
            out.text(name);
            out.ch(']');
            out.ch('\n');
        }
    }

    template <typename Unit>
    void item(Sink<Unit> &out, PyObject *k, PyObject *v)
    {
        out.text(k);
        if (v != Py_None) {
            if (opt_.delimiter)
                out.text(opt_.delimiter);
            else
                out.ascii(opt_.delimiter_ascii, opt_.delimiter_length);
            if (folds_)
                out.folded(v);
            else
                out.text(v);
        }
        out.ch('\n');
    }

    template <typename Unit>
    void plain_section(Sink<Unit> &out, const PlainSection &s)
    {
        header(out, s.name);
        for (Py_ssize_t i = s.begin; i < s.end; i += 2)
            item(out, plain_items_[i], plain_items_[i + 1]);
        out.ch('\n');
    }

    template <typename Unit>
    void section(Sink<Unit> &out, PyObject *name, PyObject *items)
    {
        header(out, name);
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(items, &pos, &k, &v))
            item(out, k, v);
        out.ch('\n');
    }

    const Options &opt_;
    Section defaults_, unnamed_;
    // The named sections other than the default one, in order: their
    // names and items.
    qv::RefStack names_, items_;
    DelimiterBytes bytes_;
    qv::Ref usual_delimiters_;
    qv::Ref unnamed_marker_;  // looked up at the first name that is not a str
    // A plain tree is written from itself: its sections (in order) and
    // their keys and values, borrowed, as the first pass found them.
    bool plain_ = false;
    qv::Buffer<PyObject *, 64> plain_items_;
    qv::Buffer<PlainSection, 8> plain_sections_;
    Py_ssize_t plain_default_ = -1, plain_unnamed_ = -1;
    Py_ssize_t length_ = 0;
    Py_UCS4 maxchar_ = 127;
    // Whether some value holds a line end: when none does, values are
    // copied whole instead of folded.
    bool folds_ = false;
};

// dumps()'s keywords, as a Python function with the same signature takes
// them.
struct DumpsArguments {
    PyObject *tree = nullptr;
    PyObject *space_around_delimiters = Py_True;
    PyObject *delimiters = nullptr;  // the usual ("=", ":") when not given
    PyObject *default_section = nullptr;  // "DEFAULT" when not given
    PyObject *allow_no_value = Py_False;

    bool take(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
    {
        if (nargs != 1) {
            if (nargs == 0)
                PyErr_SetString(PyExc_TypeError,
                                "dumps() missing 1 required positional argument: 'tree'");
            else
                PyErr_Format(PyExc_TypeError,
                             "dumps() takes 1 positional argument but %zd were given", nargs);
            return false;
        }
        tree = args[0];
        Py_ssize_t n = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t i = 0; i < n; i++) {
            PyObject *name = PyTuple_GET_ITEM(kwnames, i);
            PyObject **slot = slot_of(name);
            if (slot == nullptr) {
                if (PyUnicode_CompareWithASCIIString(name, "tree") == 0)
                    PyErr_SetString(PyExc_TypeError,
                                    "dumps() got some positional-only arguments passed as "
                                    "keyword arguments: 'tree'");
                else
                    PyErr_Format(PyExc_TypeError,
                                 "dumps() got an unexpected keyword argument '%U'", name);
                return false;
            }
            *slot = args[nargs + i];
        }
        return true;
    }

    // The names differ in length: one compare of the text tells them.
    PyObject **slot_of(PyObject *name)
    {
        if (!PyUnicode_IS_ASCII(name))
            return nullptr;
        const char *text = static_cast<const char *>(PyUnicode_DATA(name));
        switch (PyUnicode_GET_LENGTH(name)) {
        case 14:
            return std::memcmp(text, "allow_no_value", 14) == 0 ? &allow_no_value : nullptr;
        case 23:
            return std::memcmp(text, "space_around_delimiters", 23) == 0
                       ? &space_around_delimiters
                       : nullptr;
        case 10:
            return std::memcmp(text, "delimiters", 10) == 0 ? &delimiters : nullptr;
        case 15:
            return std::memcmp(text, "default_section", 15) == 0 ? &default_section : nullptr;
        default:
            return nullptr;
        }
    }
};

// Whether delimiters is the tuple ("=", ":").
bool usual_delimiters(PyObject *delimiters)
{
    return PyTuple_CheckExact(delimiters) && PyTuple_GET_SIZE(delimiters) == 2 &&
           PyUnicode_Check(PyTuple_GET_ITEM(delimiters, 0)) &&
           PyUnicode_Check(PyTuple_GET_ITEM(delimiters, 1)) &&
           PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(delimiters, 0), "=") == 0 &&
           PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(delimiters, 1), ":") == 0;
}

}  // namespace

PyObject *std_write_ini(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    DumpsArguments a;
    if (!a.take(args, nargs, kwnames))
        return nullptr;
    int space = PyObject_IsTrue(a.space_around_delimiters);
    int allow = space < 0 ? -1 : PyObject_IsTrue(a.allow_no_value);
    if (allow < 0)
        return nullptr;
    // The delimiters as a tuple of str, and the text between key and value:
    // the first of them, with a space on each side when asked for.
    Options o;
    o.allow_no_value = allow;
    qv::Ref delimiters, delimiter;
    if (a.delimiters == nullptr || usual_delimiters(a.delimiters)) {
        o.delimiter_ascii = space ? " = " : "=";
        o.delimiter_length = space ? 3 : 1;
    } else {
        delimiters.reset(PySequence_Tuple(a.delimiters));
        if (!delimiters)
            return nullptr;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(delimiters.get()); i++) {
            if (!PyUnicode_Check(PyTuple_GET_ITEM(delimiters.get(), i))) {
                PyErr_SetString(PyExc_TypeError, "delimiters must be strings");
                return nullptr;
            }
        }
        PyObject *first = PyTuple_GET_SIZE(delimiters.get()) > 0
                              ? PyTuple_GET_ITEM(delimiters.get(), 0)
                              : nullptr;
        if (space)
            delimiter.reset(first ? PyUnicode_FromFormat(" %U ", first) : PyUnicode_FromString("  "));
        else
            delimiter.reset(first ? Py_NewRef(first) : PyUnicode_FromString(""));
        if (!delimiter)
            return nullptr;
        o.delimiter = delimiter.get();
        o.delimiters = delimiters.get();
    }
    if (a.default_section != nullptr && !PyUnicode_Check(a.default_section)) {
        PyErr_Format(PyExc_TypeError, "default_section must be str, not %.100s",
                     Py_TYPE(a.default_section)->tp_name);
        return nullptr;
    }
    o.default_section = a.default_section;
    IniWriter writer(o);
    return writer.write(a.tree);
}
