// Standard TOML 1.0 and 1.1: one forward pass over the UTF-8 text of a str
// into the tree the standard library's reader builds (dict, list, str,
// int, float, bool, and datetime, date and time objects).
//
// What each table was defined as lives in a small map keyed by the tree's
// own nodes (see TableKinds): a header opens a table once, dotted keys of
// one section may reopen the tables they made, and inline tables and
// arrays never grow.
#include "std.h"
#include "toolkit/toolkit.h"
#include "toolkit/toml_lex.h"

// datetime.h defines a static pointer for PyDateTime_IMPORT to fill; it is
// never used here: each call fetches the C API into its own context, so no
// state outlives a call.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-variable"
#include <datetime.h>
#pragma GCC diagnostic pop
#include "toolkit/dates.h"

#include <cstdint>
#include <cstring>

namespace {

using qv::Ref;

// ---------------------------------------------------------------------------
// Character classes

enum : unsigned char {
    kClassBasic = 2,     // stands for itself in a basic string
    kClassLiteral = 4,   // stands for itself in a literal string
    kClassComment = 8,   // may stand in a comment
    kClassDigit = 16,
};

struct CharClasses {
    unsigned char c[256];
    constexpr CharClasses() : c()
    {
        for (int i = 0; i < 256; i++) {
            unsigned char v = 0;
            bool text = i == '\t' || (i >= 0x20 && i != 0x7F);
            if (text && i != '"' && i != '\\')
                v |= kClassBasic;
            if (text && i != '\'')
                v |= kClassLiteral;
            if (text)
                v |= kClassComment;
            if (i >= '0' && i <= '9')
                v |= kClassDigit;
            c[i] = v;
        }
    }
};

constexpr CharClasses kClass;

inline bool is(char c, unsigned char cls) { return (kClass.c[(unsigned char)c] & cls) != 0; }
using qv::is_digit;

// The first byte from q on that does not stand for itself in a run of
// class `plain` (line feeds too with `newlines`), or end.  Strings and
// comments are read sixteen bytes at a time: the bytes `a` and `b`, DEL and
// control bytes stop the wide scan, and the class table decides on them.
inline const char *skip_plain(const char *q, const char *end, char a, char b,
                              unsigned char plain, bool newlines)
{
    bool high = false;  // the document is a str, so its UTF-8 is sound
    return q + qv::scan_plain_run(q, 0, end - q, a, b, true,
                                  [plain, newlines](char c) {
                                      return is(c, plain) || (newlines && c == '\n');
                                  },
                                  &high);
}

// ---------------------------------------------------------------------------
// What each table and array of the tree was defined as, keyed by the node.
// Nodes that are absent were made as values (inline tables, arrays, and
// what they hold): they never grow once written.

enum Kind : uint64_t {
    kImplicit = 1,       // made on the way to a header's table
    kHeader = 2,         // opened by a [table] header
    kDotted = 3,         // made by dotted keys; the section number above
    kArrayTables = 4,   // the list of an [[array of tables]]
    kInlineDotted = 5,  // made by dotted keys inside an inline table
};
constexpr uint64_t kKindMask = 7;
constexpr int kSectionShift = 3;

class TableKinds {
public:
    // The kind word of node, or 0.
    uint64_t get(PyObject *node) const
    {
        for (size_t i = table_.home(qv::hash_pointer(node)); table_.used(i); i = table_.next(i)) {
            if (table_.at(i).node == node)
                return table_.at(i).kind;
        }
        return 0;
    }

    bool set(PyObject *node, uint64_t kind)
    {
        if (table_.full() && !table_.grow([](const Slot &s) { return qv::hash_pointer(s.node); }))
            return false;
        size_t i = table_.home(qv::hash_pointer(node));
        while (table_.used(i) && table_.at(i).node != node)
            i = table_.next(i);
        if (!table_.used(i))
            table_.take(i);
        table_.at(i) = {node, kind};
        return true;
    }

private:
    struct Slot {
        PyObject *node;  // borrowed: the tree holds it
        uint64_t kind;
    };
    qv::HashTable<Slot, 64> table_;
};

// A dotted key's parts: owned strs and where each begins and ends in the
// text.
class KeyPath {
public:
    KeyPath() noexcept = default;
    KeyPath(const KeyPath &) = delete;
    KeyPath &operator=(const KeyPath &) = delete;
    ~KeyPath() { clear(); }

    Py_ssize_t size() const noexcept { return parts_.size(); }
    PyObject *key(Py_ssize_t i) const noexcept { return parts_[i].key; }
    const char *at(Py_ssize_t i) const noexcept { return parts_[i].at; }
    const char *end(Py_ssize_t i) const noexcept { return parts_[i].end; }

    void clear() noexcept
    {
        for (Py_ssize_t i = 0; i < parts_.size(); i++)
            Py_DECREF(parts_[i].key);
        parts_.clear();
    }

    // Takes the reference key, also on failure.
    bool push(PyObject *key, const char *at, const char *end)
    {
        if (parts_.push({key, at, end}))
            return true;
        Py_DECREF(key);
        return false;
    }

private:
    struct Part {
        PyObject *key;
        const char *at, *end;
    };
    qv::Buffer<Part, 8> parts_;
};

// ---------------------------------------------------------------------------
// Dates and times

bool is_leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int y, int m)
{
    static constexpr int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && is_leap(y) ? 29 : days[m - 1];
}

// The value of n digits at p, or -1 when one is not a digit.
int digits_value(const char *p, const char *end, int n)
{
    if (end - p < n)
        return -1;
    int v = 0;
    for (int i = 0; i < n; i++) {
        if (!is_digit(p[i]))
            return -1;
        v = v * 10 + (p[i] - '0');
    }
    return v;
}

// ---------------------------------------------------------------------------
// The reader: one per call.

class Reader : public qv::Cursor<qv::OffsetError> {
public:
    Reader(const char *text, Py_ssize_t len, bool v11, PyObject *parse_float, bool spans)
        : Cursor(text, len), end_(text + len), v11_(v11), parse_float_(parse_float)
    {
        if (spans)
            spans_.enable();
    }

    PyObject *document();
    PyObject *take_spans() const { return spans_.take(); }

private:
    // The grammar reads through pointers into the text; the cursor keeps
    // the offset, and every failure is raised at an offset.
    const char *here() const { return text + pos; }
    void go(const char *q) { pos = q - text; }
    // Failures at a place given as a pointer into the text: the first for
    // the grammar's functions that return an object, the second for those
    // that return whether they succeeded.
    qv::Failure fail_at_ptr(const char *at, const char *msg) { return fail_at(at - text, msg); }
    bool false_at_ptr(const char *at, const char *msg)
    {
        fail_at(at - text, msg);
        return false;
    }

    char peek(Py_ssize_t k = 0) const { return pos + k < len ? text[pos + k] : '\0'; }

    void skip_blanks()
    {
        while (pos < len && (text[pos] == ' ' || text[pos] == '\t'))
            pos++;
    }

    // -- line structure --------------------------------------------------
    bool comment();
    bool newline();
    bool end_of_line();
    bool skip_blank_lines();

    // -- statements --------------------------------------------------------
    bool table_header();
    bool array_table_header();
    // Statements and values are read with spans (S) or without: made twice,
    // so that a reader without spans runs as it always has.
    template <bool S> bool key_value(PyObject *table, uint32_t table_span, bool in_inline);
    bool key(KeyPath &path);
    PyObject *simple_key();

    // -- tree --------------------------------------------------------------
    PyObject *parent_table(PyObject *table, const KeyPath &path, uint64_t mine,
                           uint32_t *span);
    PyObject *child_or_new(PyObject *table, PyObject *key, uint64_t kind, bool *made);

    // -- spans -------------------------------------------------------------
    uint32_t offset(const char *p) const { return (uint32_t)(p - text); }
    bool record_node(PyObject *node, uint32_t parent, Py_ssize_t ordinal, const char *key,
                     const char *key_end, const char *start, const char *end, uint32_t *out);
    uint32_t record_of(PyObject *node) const { return (uint32_t)(records_.get(node) - 1); }

    // -- values ------------------------------------------------------------
    // A value; with spans, its record, under (parent, ordinal) with the key
    // [key, key_end) (none when key is NULL), is opened before its items'.
    template <bool S>
    PyObject *value(uint32_t parent, Py_ssize_t ordinal, const char *key, const char *key_end)
    {
        if constexpr (!S)
            return bare_value<false>(0);
        return spanned_value(parent, ordinal, key, key_end);
    }
    PyObject *spanned_value(uint32_t parent, Py_ssize_t ordinal, const char *key,
                            const char *key_end);
    template <bool S> PyObject *bare_value(uint32_t self);
    PyObject *string(char quote, bool key);
    PyObject *plain_string(const char *start, const char *end, bool key);
    PyObject *ml_string(char quote);
    bool escape(qv::Buffer<char, 256> &out);
    PyObject *number_or_date();
    PyObject *number();
    PyObject *decimal_float(const char *start, const char *end);
    qv::Failure too_many_digits(const char *start);
    PyObject *special_float(const char *start);
    PyObject *radix_integer(int base);
    PyObject *date_time();
    template <bool S> PyObject *array(uint32_t self);
    template <bool S> PyObject *inline_table(uint32_t self);
    bool enter(const char *at);

    // -- date-time objects ---------------------------------------------------
    bool datetime_api();
    bool time_part(const char *&q, int *h, int *mi, int *s, int *us);
    PyObject *zone(int minutes);
    PyObject *call_parse_float(const char *s, Py_ssize_t n);

    const char *const end_;
    bool v11_;
    PyObject *parse_float_;  // borrowed; nullptr for the built-in float

    Ref root_;
    PyObject *table_ = nullptr;  // borrowed from the tree: the open section
    uint32_t table_span_ = 0;    // its record
    uint64_t section_ = 0;
    qv::DepthGuard depth_;
    TableKinds kinds_;
    qv::StrMaker strs_;
    qv::KeyCache keys_;
    qv::Buffer<char, 256> scratch_;
    KeyPath path_;
    const PyDateTime_CAPI *dt_ = nullptr;
    qv::DateTimeCalls dt_calls_;
    struct Zone {
        int minutes;
        Ref tz;
    };
    Zone zones_[8];
    int zone_count_ = 0;
    // Asked for spans: the records, and the record of each table and array
    // of tables a statement may reach again (index + 1).
    qv::SpanTable spans_;
    TableKinds records_;
};

// ---------------------------------------------------------------------------
// Line structure

bool Reader::comment()
{
    // At '#': runs to the line end; a tab is the only control character.
    const char *q = here() + 1;
    q = skip_plain(q, end_, 0x7F, 0x7F, kClassComment, false);
    go(q);
    if (q < end_ && *q != '\n' && !(*q == '\r' && q + 1 < end_ && q[1] == '\n'))
        return false_at_ptr(q, *q == '\r' ? "carriage return without a line feed"
                                   : "control character in a comment");
    return true;
}

bool Reader::newline()
{
    int n = qv::toml::line_end_at(text, pos, len);
    pos += n;
    return n != 0;
}

bool Reader::end_of_line()
{
    skip_blanks();
    if (peek() == '#' && !comment())
        return false;
    if (at_end() || newline())
        return true;
    if (*here() == '\r')
        return false_at_ptr(here(), "carriage return without a line feed");
    return false_at_ptr(here(), "expected a line end after a statement");
}

// Blanks, line ends and comments, as arrays allow them between values.
bool Reader::skip_blank_lines()
{
    for (;;) {
        skip_blanks();
        if (at_end())
            return true;
        if (*here() == '#') {
            if (!comment())
                return false;
        } else if (!newline()) {
            if (*here() == '\r')
                return false_at_ptr(here(), "carriage return without a line feed");
            return true;
        }
    }
}

// ---------------------------------------------------------------------------
// Keys

PyObject *Reader::simple_key()
{
    const char *start = here();
    char c = peek();
    if (qv::toml::is_bare_char(c)) {
        go(text + qv::toml::skip_bare_key(text, pos + 1, len));
        return keys_.get(strs_, start, here() - start, false);
    }
    if (c == '"' || c == '\'') {
        if (peek(1) == c && peek(2) == c)
            return fail_at_ptr(here(), "a key cannot be a multi-line string");
        return string(c, true);
    }
    return fail_at_ptr(here(), "expected a key");
}

bool Reader::key(KeyPath &path)
{
    path.clear();
    for (;;) {
        const char *at = here();
        PyObject *part = simple_key();
        if (part == nullptr || !path.push(part, at, here()))
            return false;
        skip_blanks();
        if (peek() != '.')
            return true;
        pos++;
        skip_blanks();
    }
}

// ---------------------------------------------------------------------------
// The tree

// The value under key in table, or, when there is none, a new table
// recorded with kind (and *made set); borrowed.
PyObject *Reader::child_or_new(PyObject *table, PyObject *key, uint64_t kind, bool *made)
{
    PyObject *found = PyDict_GetItemWithError(table, key);
    *made = found == nullptr && !PyErr_Occurred();
    if (!*made)
        return found;
    Ref child(PyDict_New());
    if (!child || PyDict_SetItem(table, key, child.get()) < 0 || !kinds_.set(child.get(), kind))
        return nullptr;
    return child.get();  // the tree holds it
}

// A span record for a table or array of tables under record `parent`,
// remembered for the statements that reach the node again.
bool Reader::record_node(PyObject *node, uint32_t parent, Py_ssize_t ordinal, const char *key,
                         const char *key_end, const char *start, const char *end, uint32_t *out)
{
    uint32_t ks = key ? offset(key) : qv::kNoSpan, ke = key ? offset(key_end) : qv::kNoSpan;
    Py_ssize_t r = spans_.open(parent, (uint32_t)ordinal, ks, ke, offset(start));
    if (r < 0 || !records_.set(node, (uint64_t)r + 1))
        return false;
    spans_.close(r, offset(end));
    *out = (uint32_t)r;
    return true;
}

// The table that a statement's last key goes into, from table along the
// other keys of path, making the tables that are missing as `mine`: for a
// header (kImplicit), through tables of every kind and the last element
// of an array of tables; for dotted keys, only through the tables the same
// section (or inline table) made, or ones a header made on its way; borrowed.
// With spans, *span is table's record on the way in and the result's on the
// way out; a table made here is spanned by the key segment naming it.
PyObject *Reader::parent_table(PyObject *table, const KeyPath &path, uint64_t mine,
                               uint32_t *span)
{
    bool header = mine == kImplicit;
    for (Py_ssize_t i = 0; i + 1 < path.size(); i++) {
        bool made;
        PyObject *next = child_or_new(table, path.key(i), mine, &made);
        if (next == nullptr)
            return nullptr;
        if (made) {
            if (spans_.enabled() &&
                !record_node(next, *span, PyDict_GET_SIZE(table) - 1, path.at(i), path.end(i),
                             path.at(i), path.end(i), span))
                return nullptr;
            table = next;
            continue;
        }
        uint64_t word = kinds_.get(next);
        uint64_t kind = word & kKindMask;
        if (PyList_CheckExact(next)) {
            if (kind != kArrayTables)
                return fail_at_ptr(path.at(i), "cannot extend an array");
            if (!header)
                return fail_at_ptr(path.at(i), "cannot add a key to an array of tables");
            table = PyList_GET_ITEM(next, PyList_GET_SIZE(next) - 1);
            if (spans_.enabled())
                *span = record_of(table);
            continue;
        }
        if (!PyDict_CheckExact(next))
            return fail_at_ptr(path.at(i), "key already holds a value");
        if (kind == 0 || (kind == kInlineDotted && word != mine))
            return fail_at_ptr(path.at(i), "cannot extend an inline table");
        if (!header && word != mine) {
            // A table made on the way to a header is still open to the
            // dotted keys of its parent's section, which close it.
            if (kind != kImplicit || mine == kInlineDotted)
                return fail_at_ptr(path.at(i), "cannot add keys to a table defined elsewhere");
            if (!kinds_.set(next, mine))
                return nullptr;
        }
        table = next;
        if (spans_.enabled())
            *span = record_of(table);
    }
    return table;
}

bool Reader::table_header()
{
    // At '['.
    const char *open = here();
    pos++;
    skip_blanks();
    if (!key(path_))
        return false;
    if (peek() != ']')
        return false_at_ptr(here(), "expected ']' after a table name");
    pos++;
    uint32_t span = 0;
    PyObject *parent = parent_table(root_.get(), path_, kImplicit, &span);
    if (parent == nullptr)
        return false;
    Py_ssize_t last = path_.size() - 1;
    PyObject *name = path_.key(last);
    bool made;
    PyObject *table = child_or_new(parent, name, kHeader, &made);
    if (table == nullptr)
        return false;
    if (made && spans_.enabled() &&
        !record_node(table, span, PyDict_GET_SIZE(parent) - 1, path_.at(last), path_.end(last),
                     open, here(), &table_span_))
        return false;
    if (!made) {
        uint64_t kind = kinds_.get(table) & kKindMask;
        if (!PyDict_CheckExact(table)) {
            if (kind == kArrayTables)
                return false_at_ptr(path_.at(last), "an array of tables cannot be a table");
            return false_at_ptr(path_.at(last), "key already holds a value");
        }
        if (kind == kHeader)
            return false_at_ptr(path_.at(last), "table defined twice");
        if (kind == kDotted)
            return false_at_ptr(path_.at(last), "table already defined by dotted keys");
        if (kind != kImplicit)
            return false_at_ptr(path_.at(last), "cannot extend an inline table");
        if (!kinds_.set(table, kHeader))
            return false;
        if (spans_.enabled()) {
            // The table made on the way to an earlier header is now
            // written where its own header stands.
            table_span_ = record_of(table);
            qv::SpanRecord &rec = spans_[table_span_];
            rec.key_start = offset(path_.at(last));
            rec.key_end = offset(path_.end(last));
            rec.start = offset(open);
            rec.end = offset(here());
        }
    }
    table_ = table;
    section_++;
    return true;
}

bool Reader::array_table_header()
{
    // At '[['.
    const char *open = here();
    pos += 2;
    skip_blanks();
    if (!key(path_))
        return false;
    if (peek() != ']' || peek(1) != ']')
        return false_at_ptr(here(), "expected ']]' after the name of an array of tables");
    pos += 2;
    uint32_t span = 0;
    PyObject *parent = parent_table(root_.get(), path_, kImplicit, &span);
    if (parent == nullptr)
        return false;
    Py_ssize_t last = path_.size() - 1;
    PyObject *name = path_.key(last);
    PyObject *list = PyDict_GetItemWithError(parent, name);
    Ref element(PyDict_New());
    if (!element)
        return false;
    if (list == nullptr) {
        if (PyErr_Occurred())
            return false;
        Ref made(PyList_New(1));
        if (!made)
            return false;
        PyList_SET_ITEM(made.get(), 0, Py_NewRef(element.get()));
        if (PyDict_SetItem(parent, name, made.get()) < 0 ||
            !kinds_.set(made.get(), kArrayTables))
            return false;
        // The array of tables is written where its first element is.
        if (spans_.enabled() &&
            !record_node(made.get(), span, PyDict_GET_SIZE(parent) - 1, path_.at(last),
                         path_.end(last), open, here(), &span))
            return false;
    } else {
        if ((kinds_.get(list) & kKindMask) != kArrayTables) {
            if (PyList_CheckExact(list))
                return false_at_ptr(path_.at(last), "cannot extend an array");
            if (PyDict_CheckExact(list))
                return false_at_ptr(path_.at(last), "a table cannot be an array of tables");
            return false_at_ptr(path_.at(last), "key already holds a value");
        }
        if (PyList_Append(list, element.get()) < 0)
            return false;
        if (spans_.enabled())
            span = record_of(list);
    }
    if (spans_.enabled()) {
        PyObject *list_now = PyDict_GetItemWithError(parent, name);  // borrowed
        if (!record_node(element.get(), span, PyList_GET_SIZE(list_now) - 1, nullptr, nullptr,
                         open, here(), &table_span_))
            return false;
    }
    table_ = element.get();  // the list holds it
    section_++;
    return true;
}

template <bool S>
bool Reader::key_value(PyObject *table, uint32_t table_span, bool in_inline)
{
    KeyPath local;
    // The statements of the document share one path; inline tables, which
    // nest inside a statement, keep their own.
    KeyPath &path = in_inline ? local : path_;
    if (!key(path))
        return false;
    if (peek() != '=')
        return false_at_ptr(here(), "expected '=' after a key");
    pos++;
    skip_blanks();
    Py_ssize_t last = path.size() - 1;
    // The value's record is placed once its table is known.
    Py_ssize_t record = S ? spans_.size() : 0;
    Ref v(value<S>(qv::kNoSpan, 0, path.at(last), path.end(last)));
    if (!v)
        return false;
    uint64_t mine = in_inline ? kInlineDotted : (kDotted | (section_ << kSectionShift));
    PyObject *parent = path.size() == 1 ? table : parent_table(table, path, mine, &table_span);
    if (parent == nullptr)
        return false;
    PyObject *existing = nullptr;
    int found = PyDict_SetDefaultRef(parent, path.key(last), v.get(), &existing);
    Py_XDECREF(existing);
    if (found < 0)
        return false;
    if (found > 0)
        return false_at_ptr(path.at(last), "duplicate key");
    if constexpr (S) {
        spans_[record].parent = table_span;
        spans_[record].ordinal = (uint32_t)(PyDict_GET_SIZE(parent) - 1);
    }
    return true;
}

// ---------------------------------------------------------------------------
// Strings

bool Reader::escape(qv::Buffer<char, 256> &out)
{
    // At '\'.
    const char *at = here();
    if (pos + 1 >= len)
        return false_at_ptr(at, "unterminated string");
    char c = text[pos + 1];
    pos += 2;
    int simple = qv::short_escape(c, false);
    if (simple >= 0)
        return out.push((char)simple);
    switch (c) {
    case 'e':
        if (!v11_)
            return false_at_ptr(at, "the escape \\e needs TOML 1.1");
        return out.push('\x1b');
    case 'x': case 'u': case 'U': {
        if (c == 'x' && !v11_)
            return false_at_ptr(at, "the escape \\x needs TOML 1.1");
        int n = c == 'x' ? 2 : c == 'u' ? 4 : 8;
        uint32_t cp = 0;
        qv::toml::Escape e = qv::toml::hex_escape(text, pos, len, n, &cp);
        if (e == qv::toml::Escape::BadDigits)
            return false_at_ptr(at, "invalid escape sequence");
        if (e == qv::toml::Escape::NotScalar)
            return false_at_ptr(at, "escape is not a Unicode scalar value");
        pos += n;
        char buf[4];
        return out.append(buf, qv::utf8_encode(buf, cp));
    }
    default:
        return false_at_ptr(at, "invalid escape sequence");
    }
}

// A string that stands in the text as it is; keys go through the cache.
PyObject *Reader::plain_string(const char *start, const char *end, bool key)
{
    if (key)
        return keys_.get(strs_, start, end - start, qv::any_high(start, end - start));
    return strs_.make(start, end - start);
}

// A single-line string: basic (quote '"', with escapes) or literal ('\'').
// One without escapes is made straight from the text.
PyObject *Reader::string(char quote, bool key)
{
    bool basic = quote == '"';
    unsigned char plain = basic ? kClassBasic : kClassLiteral;
    pos++;
    const char *start = here();
    const char *q = start;
    q = skip_plain(q, end_, quote, basic ? '\\' : quote, plain, false);
    if (q < end_ && *q == quote) {
        go(q + 1);
        return plain_string(start, q, key);
    }
    qv::Buffer<char, 256> &buf = scratch_;
    buf.clear();
    for (;;) {
        if (!buf.append(start, q - start))
            return nullptr;
        if (q < end_ && *q == quote) {
            go(q + 1);
            return strs_.make(buf.data(), buf.size());
        }
        if (q >= end_ || *q == '\n' || *q == '\r')
            return fail_at_ptr(q, "unterminated string");
        if (!basic || *q != '\\')
            return fail_at_ptr(q, "control character in a string");
        go(q);
        if (!escape(buf))
            return nullptr;
        start = q = here();
        q = skip_plain(q, end_, quote, basic ? '\\' : quote, plain, false);
    }
}

// A multi-line string: basic (quote '"', with escapes) or literal ('\'').
// A line end right after the opening quotes is dropped; CRLF reads as LF.
PyObject *Reader::ml_string(char quote)
{
    bool basic = quote == '"';
    unsigned char plain = basic ? kClassBasic : kClassLiteral;
    pos += 3;
    newline();
    const char *start = here();
    const char *q = start;
    bool copied = false;
    qv::Buffer<char, 256> &buf = scratch_;
    buf.clear();
    for (;;) {
        q = skip_plain(q, end_, quote, basic ? '\\' : quote, plain, true);
        if (q >= end_)
            return fail_at_ptr(q, "unterminated string");
        char c = *q;
        if (c == quote) {
            if (!(q + 2 < end_ && q[1] == quote && q[2] == quote)) {
                q++;
                continue;
            }
            // Up to two more quotes belong to the string.
            const char *close = q;
            for (int extra = 0; extra < 2 && close + 3 < end_ && close[3] == quote; extra++)
                close++;
            go(close + 3);
            if (!copied)
                return strs_.make(start, close - start);
            if (!buf.append(start, close - start))
                return nullptr;
            return strs_.make(buf.data(), buf.size());
        }
        if (!buf.append(start, q - start))
            return nullptr;
        copied = true;
        if (c == '\r') {
            if (!(q + 1 < end_ && q[1] == '\n'))
                return fail_at_ptr(q, "carriage return without a line feed");
            if (!buf.push('\n'))
                return nullptr;
            start = q = q + 2;
            continue;
        }
        if (c != '\\' || !basic)
            return fail_at_ptr(q, "control character in a string");
        // A backslash at a line end (blanks may stand between) drops the
        // line end and every blank and line end after it.
        Py_ssize_t after = qv::toml::skip_line_continuation(text, q + 1 - text, len, {true, false});
        if (after >= 0) {
            start = q = text + after;
            continue;
        }
        go(q);
        if (!escape(buf))
            return nullptr;
        start = q = here();
    }
}

// ---------------------------------------------------------------------------
// Numbers

// Digits of base with single underscores between them, from q on; false
// (no error set) when the run is malformed, with q at the fault.
bool digit_run(const char *&q, const char *end, int base)
{
    qv::toml::Digits run = qv::toml::digit_run(q, 0, end - q, base);
    q += run.end;
    return run.fault == qv::toml::DigitFault::None;
}

PyObject *Reader::radix_integer(int base)
{
    // At "0x", "0o" or "0b".
    const char *start = here() + 2;
    const char *q = start;
    if (!digit_run(q, end_, base))
        return fail_at_ptr(q, "invalid integer");
    go(q);
    int bits = base == 16 ? 4 : base == 8 ? 3 : 1;
    uint64_t v = 0;
    int used = 0;
    for (const char *r = start; r < q; r++) {
        if (*r == '_' || (used == 0 && *r == '0'))
            continue;
        used += bits;
        if (used > 64)
            return qv::big_int(start, q - start, base, false);
        v = (v << bits) | (uint64_t)qv::hex_digit(*r);
    }
    return qv::int_from_magnitude(v, false);
}

// The caller's float conversion, given the float's text as written,
// underscores included, as tomllib gives it.  Its exceptions pass through; a container it returns would
// be indistinguishable from the tree's own, so it is refused.
PyObject *Reader::call_parse_float(const char *s, Py_ssize_t n)
{
    Ref text(PyUnicode_FromStringAndSize(s, n));
    if (!text)
        return nullptr;
    Ref result(PyObject_CallOneArg(parse_float_, text.get()));
    if (result && (PyDict_Check(result.get()) || PyList_Check(result.get()))) {
        PyErr_SetString(PyExc_ValueError, "parse_float must not return dicts or lists");
        return nullptr;
    }
    return result.release();
}

PyObject *Reader::special_float(const char *start)
{
    // At "inf" or "nan", after an optional sign at start.
    pos += 3;
    if (parse_float_ != nullptr)
        return call_parse_float(start, here() - start);
    bool negative = *start == '-';
    double d = here()[-3] == 'i' ? Py_HUGE_VAL : Py_NAN;
    return PyFloat_FromDouble(negative ? -d : d);
}

PyObject *Reader::number()
{
    const char *start = here();
    const char *q = here();
    if (*q == '+' || *q == '-')
        q++;
    if (q + 3 <= end_ && (std::memcmp(q, "inf", 3) == 0 || std::memcmp(q, "nan", 3) == 0)) {
        go(q);
        return special_float(start);
    }
    if (q >= end_ || !is_digit(*q))
        return fail_at_ptr(q, "expected a value");
    if (*q == '0' && q + 1 < end_ && (q[1] == '_' || is_digit(q[1])))
        return fail_at_ptr(q, "leading zeros are not allowed");
    if (!digit_run(q, end_, 10))
        return fail_at_ptr(q, "invalid number");
    bool is_float = false;
    if (q < end_ && *q == '.') {
        q++;
        if (!digit_run(q, end_, 10))
            return fail_at_ptr(q, "expected digits after the decimal point");
        is_float = true;
    }
    if (q < end_ && (*q == 'e' || *q == 'E')) {
        q++;
        if (q < end_ && (*q == '+' || *q == '-'))
            q++;
        if (!digit_run(q, end_, 10))
            return fail_at_ptr(q, "expected digits in the exponent");
        is_float = true;
    }
    go(q);
    if (is_float) {
        if (parse_float_ != nullptr)
            return call_parse_float(start, q - start);
        return decimal_float(start, q);
    }
    const char *r = start;
    bool negative = *r == '-';
    if (*r == '+' || *r == '-')
        r++;
    if (q - r <= 19) {
        uint64_t m = 0;
        int count = 0;
        for (; r < q; r++) {
            if (*r != '_') {
                m = m * 10 + (uint64_t)(*r - '0');
                count++;
            }
        }
        if (count <= 18)
            return qv::int_from_magnitude(m, negative);
        r = *start == '+' || *start == '-' ? start + 1 : start;
    }
    PyObject *big = qv::big_int(r, q - r, 10, negative);
    if (big == nullptr && qv::refused())
        return too_many_digits(start);
    return big;
}

// The interpreter refuses to read a decimal integer longer than its limit
// (a guard against slow conversions): the message says which limit, and
// where a program that means it raises it.
qv::Failure Reader::too_many_digits(const char *start)
{
    long limit = -1;
    PyObject *get = PySys_GetObject("get_int_max_str_digits");  // borrowed
    if (get != nullptr) {
        PyObject *value = PyObject_CallNoArgs(get);
        if (value != nullptr) {
            limit = PyLong_AsLong(value);
            Py_DECREF(value);
        }
    }
    PyErr_Clear();
    if (limit < 0)
        return fail_at_ptr(start, "integer has more digits than the interpreter's limit "
                               "(sys.set_int_max_str_digits)");
    char msg[160];
    std::snprintf(msg, sizeof msg,
                  "integer has more digits than the interpreter's limit of %ld "
                  "(sys.set_int_max_str_digits)", limit);
    return fail_at_ptr(start, msg);
}

// The float of a decimal token from start to end (already checked): the
// first 19 significant digits, the power of ten and whether any digit after
// them is not zero decide the double, or the interpreter's reader does.
PyObject *Reader::decimal_float(const char *start, const char *end)
{
    const char *r = start;
    bool negative = *r == '-';
    if (*r == '+' || *r == '-')
        r++;
    uint64_t w = 0;
    int digits = 0;
    int64_t q = 0;
    bool truncated = false, fraction = false;
    for (; r < end && *r != 'e' && *r != 'E'; r++) {
        char c = *r;
        if (c == '_')
            continue;
        if (c == '.') {
            fraction = true;
            continue;
        }
        int d = c - '0';
        if (digits == 0 && d == 0) {
            q -= fraction;
            continue;
        }
        if (digits < 19) {
            w = w * 10 + (uint64_t)d;
            digits++;
            q -= fraction;
        } else {
            q += !fraction;
            truncated |= d != 0;
        }
    }
    if (r < end) {
        r++;
        bool eneg = *r == '-';
        if (*r == '+' || *r == '-')
            r++;
        int64_t e = 0;
        for (; r < end; r++)
            if (*r != '_' && e < 100000000)
                e = e * 10 + (*r - '0');
        q += eneg ? -e : e;
    }
    double d;
    if (qv::float_from_decimal(w, q, negative, truncated, &d))
        return PyFloat_FromDouble(d);
    return qv::float_from_text(start, end - start, '_');
}

// ---------------------------------------------------------------------------
// Dates and times

bool Reader::datetime_api()
{
    // Fetched by hand rather than through PyCapsule_Import, which turns
    // every failure, running out of memory included, into an ImportError.
    if (dt_ != nullptr)
        return true;
    // The module is almost always loaded already: taking it from sys.modules
    // keeps the import machinery (and the locks it makes) out of the call.
    Ref name(PyUnicode_FromString("datetime"));
    if (!name)
        return false;
    Ref module(PyImport_GetModule(name.get()));
    if (!module && !PyErr_Occurred())
        module.reset(PyImport_Import(name.get()));
    Ref capsule(module ? PyObject_GetAttrString(module.get(), "datetime_CAPI") : nullptr);
    if (!capsule) {
        // The pure-Python datetime has no C API (3.12 runs it in a
        // subinterpreter with its own GIL): its classes are called instead.
        if (!module || !PyErr_ExceptionMatches(PyExc_AttributeError))
            return false;
        PyErr_Clear();
        dt_ = dt_calls_.of(module.get());
        return dt_ != nullptr;
    }
    dt_ = static_cast<PyDateTime_CAPI *>(PyCapsule_GetPointer(capsule.get(), PyDateTime_CAPSULE_NAME));
    return dt_ != nullptr;
}

PyObject *Reader::zone(int minutes)
{
    for (int i = 0; i < zone_count_; i++)
        if (zones_[i].minutes == minutes)
            return Py_NewRef(zones_[i].tz.get());
    PyObject *tz;
    if (minutes == 0) {
        tz = Py_NewRef(dt_->TimeZone_UTC);
    } else {
        Ref delta(dt_->Delta_FromDelta(0, minutes * 60, 0, 1, dt_->DeltaType));
        if (!delta)
            return nullptr;
        tz = dt_->TimeZone_FromTimeZone(delta.get(), nullptr);
    }
    if (tz != nullptr && zone_count_ < 8) {
        zones_[zone_count_].minutes = minutes;
        zones_[zone_count_].tz.reset(Py_NewRef(tz));
        zone_count_++;
    }
    return tz;
}

// HH:MM[:SS[.fraction]] at q (seconds optional from TOML 1.1 on).
bool Reader::time_part(const char *&q, int *h, int *mi, int *s, int *us)
{
    const char *at = q;
    *h = digits_value(q, end_, 2);
    if (*h < 0 || end_ - q < 3 || q[2] != ':' || (*mi = digits_value(q + 3, end_, 2)) < 0)
        return false_at_ptr(at, "invalid time");
    q += 5;
    *s = 0;
    *us = 0;
    if (q < end_ && *q == ':') {
        *s = digits_value(q + 1, end_, 2);
        if (*s < 0)
            return false_at_ptr(at, "invalid time");
        q += 3;
        if (q < end_ && *q == '.') {
            q++;
            if (q >= end_ || !is_digit(*q))
                return false_at_ptr(q, "expected digits after the decimal point");
            int scale = 100000;
            for (; q < end_ && is_digit(*q); q++) {
                *us += (*q - '0') * scale;  // digits past microseconds drop
                scale /= 10;
            }
        }
    } else if (!v11_) {
        return false_at_ptr(q, "expected ':' and seconds (optional only from TOML 1.1 on)");
    }
    if (*h > 23 || *mi > 59 || *s > 59)
        return false_at_ptr(at, "invalid time");
    return true;
}

PyObject *Reader::date_time()
{
    const char *at = here();
    const char *q = here();
    if (!datetime_api())
        return nullptr;
    int h, mi, s, us;
    if (q + 2 < end_ && q[2] == ':') {
        if (!time_part(q, &h, &mi, &s, &us))
            return nullptr;
        go(q);
        return dt_->Time_FromTime(h, mi, s, us, Py_None, dt_->TimeType);
    }
    int y = digits_value(q, end_, 4);
    int mo = q + 7 < end_ && q[4] == '-' ? digits_value(q + 5, end_, 2) : -1;
    int d = mo >= 0 && q + 9 < end_ && q[7] == '-' ? digits_value(q + 8, end_, 2) : -1;
    if (y < 0 || mo < 0 || d < 0)
        return fail_at_ptr(at, "invalid date");
    if (y < 1 || mo < 1 || mo > 12 || d < 1 || d > days_in_month(y, mo))
        return fail_at_ptr(at, "invalid date");
    q += 10;
    // A date is followed by its time after 'T', or after one space when a
    // time follows.
    bool has_time = q < end_ && (*q == 'T' || *q == 't' ||
                                 (*q == ' ' && q + 1 < end_ && is_digit(q[1])));
    if (!has_time) {
        go(q);
        return dt_->Date_FromDate(y, mo, d, dt_->DateType);
    }
    q++;
    if (!time_part(q, &h, &mi, &s, &us))
        return nullptr;
    Ref tz(Py_NewRef(Py_None));
    if (q < end_ && (*q == 'Z' || *q == 'z')) {
        q++;
        tz.reset(zone(0));
    } else if (q < end_ && (*q == '+' || *q == '-')) {
        const char *off = q;
        int oh = digits_value(q + 1, end_, 2);
        int om = oh >= 0 && q + 3 < end_ && q[3] == ':' ? digits_value(q + 4, end_, 2) : -1;
        if (om < 0 || oh > 23 || om > 59)
            return fail_at_ptr(off, "invalid time offset");
        q += 6;
        int minutes = oh * 60 + om;
        tz.reset(zone(*off == '-' ? -minutes : minutes));
    }
    if (!tz)
        return nullptr;
    go(q);
    return dt_->DateTime_FromDateAndTime(y, mo, d, h, mi, s, us, tz.get(), dt_->DateTimeType);
}

PyObject *Reader::number_or_date()
{
    // A date begins with four digits and '-', a time with two and ':'.
    const char *q = here();
    if (end_ - q >= 3 && is_digit(q[0]) && is_digit(q[1]) &&
        (q[2] == ':' || (end_ - q >= 5 && is_digit(q[2]) && is_digit(q[3]) && q[4] == '-')))
        return date_time();
    return number();
}

// ---------------------------------------------------------------------------
// Arrays and inline tables

bool Reader::enter(const char *at)
{
    if (!depth_.enter())
        return false_at_ptr(at, "arrays and inline tables nest deeper than 512 levels");
    return true;
}

template <bool S>
PyObject *Reader::array(uint32_t self)
{
    // At '['.
    if (!enter(here()))
        return nullptr;
    pos++;
    Ref list(PyList_New(0));
    if (!list)
        return nullptr;
    for (;;) {
        if (!skip_blank_lines())
            return nullptr;
        if (peek() == ']')
            break;
        Ref item(value<S>(self, PyList_GET_SIZE(list.get()), nullptr, nullptr));
        if (!item || PyList_Append(list.get(), item.get()) < 0)
            return nullptr;
        if (!skip_blank_lines())
            return nullptr;
        if (peek() == ',') {
            pos++;
            continue;
        }
        if (peek() == ']')
            break;
        return fail_at_ptr(here(), "expected ',' or ']' after an array item");
    }
    pos++;
    depth_.leave();
    return list.release();
}

template <bool S>
PyObject *Reader::inline_table(uint32_t self)
{
    // At '{'.  TOML 1.1 allows line ends, comments and a trailing comma in
    // here; TOML 1.0 keeps an inline table on one line.
    if (!enter(here()))
        return nullptr;
    pos++;
    Ref table(PyDict_New());
    if (!table)
        return nullptr;
    auto gap = [this]() {
        if (v11_)
            return skip_blank_lines();
        skip_blanks();
        if (peek() == '\n' || peek() == '\r' || peek() == '#')
            return false_at_ptr(here(), "line end inside an inline table (allowed from TOML 1.1 on)");
        return true;
    };
    if (!gap())
        return nullptr;
    if (peek() != '}') {
        for (;;) {
            if (!key_value<S>(table.get(), self, true) || !gap())
                return nullptr;
            if (peek() == '}')
                break;
            if (peek() != ',')
                return fail_at_ptr(here(), "expected ',' or '}' after a key/value pair");
            const char *comma = here();
            pos++;
            if (!gap())
                return nullptr;
            if (peek() == '}') {
                if (!v11_)
                    return fail_at_ptr(comma, "trailing comma in an inline table (allowed from TOML 1.1 on)");
                break;
            }
        }
    }
    pos++;
    depth_.leave();
    return table.release();
}

// A value with its span recorded (see value()).
PyObject *Reader::spanned_value(uint32_t parent, Py_ssize_t ordinal, const char *key,
                                const char *key_end)
{
    uint32_t ks = key ? offset(key) : qv::kNoSpan, ke = key ? offset(key_end) : qv::kNoSpan;
    Py_ssize_t r = spans_.open(parent, (uint32_t)ordinal, ks, ke, (uint32_t)pos);
    if (r < 0)
        return nullptr;
    PyObject *v = bare_value<true>((uint32_t)r);
    if (v != nullptr)
        spans_.close(r, (uint32_t)pos);
    return v;
}

// A value; self is its record, for the items of an array or inline table.
template <bool S>
PyObject *Reader::bare_value(uint32_t self)
{
    switch (peek()) {
    case '"': case '\'': {
        char quote = peek();
        if (peek(1) == quote && peek(2) == quote)
            return ml_string(quote);
        return string(quote, false);
    }
    case 't':
        if (end_ - here() >= 4 && std::memcmp(here(), "true", 4) == 0) {
            pos += 4;
            Py_RETURN_TRUE;
        }
        break;
    case 'f':
        if (end_ - here() >= 5 && std::memcmp(here(), "false", 5) == 0) {
            pos += 5;
            Py_RETURN_FALSE;
        }
        break;
    case '[':
        return array<S>(self);
    case '{':
        return inline_table<S>(self);
    case '+': case '-': case 'i': case 'n':
        return number();
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9':
        if (peek() == '0') {
            if (int base = qv::toml::radix_of(peek(1), false))
                return radix_integer(base);
        }
        return number_or_date();
    default:
        break;
    }
    return fail_at_ptr(here(), "expected a value");
}

// ---------------------------------------------------------------------------
// The document

PyObject *Reader::document()
{
    if (!spans_.fits(len) || spans_.open(qv::kNoSpan, 0, qv::kNoSpan, qv::kNoSpan, 0) < 0)
        return nullptr;
    root_.reset(PyDict_New());
    if (!root_)
        return nullptr;
    table_ = root_.get();
    if (end_ - here() >= 3 && std::memcmp(here(), "\xEF\xBB\xBF", 3) == 0)
        pos += 3;
    for (;;) {
        skip_blanks();
        if (at_end())
            break;
        char c = *here();
        if (c == '\n' || c == '\r') {
            if (!newline())
                return fail_at_ptr(here(), "carriage return without a line feed");
            continue;
        }
        if (c == '#') {
            if (!comment())
                return nullptr;
            continue;
        }
        bool ok = c == '[' ? (peek(1) == '[' ? array_table_header() : table_header())
                           : spans_.enabled() ? key_value<true>(table_, table_span_, false)
                                              : key_value<false>(table_, table_span_, false);
        if (!ok || !end_of_line())
            return nullptr;
    }
    spans_.close(0, (uint32_t)len);
    return root_.release();
}

// Where a str that UTF-8 cannot hold (a lone surrogate) goes wrong: the
// byte offset of that character in the text encoded with surrogates kept.
void raise_unencodable(PyObject *text)
{
    PyErr_Clear();
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    Py_ssize_t offset = 0;
    for (Py_ssize_t i = 0; i < n; i++) {
        Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (ch >= 0xD800 && ch <= 0xDFFF)
            break;
        offset += ch < 0x80 ? 1 : ch < 0x800 ? 2 : ch < 0x10000 ? 3 : 4;
    }
    Ref args(Py_BuildValue("(sn)", "a lone surrogate is not a Unicode character", offset));
    if (args)
        PyErr_SetObject(PyExc_ValueError, args.get());
}

}  // namespace

PyObject *std_parse_toml(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 3 && nargs != 4) {
        PyErr_SetString(PyExc_TypeError, "parse_toml() takes 3 or 4 arguments");
        return nullptr;
    }
    int spans = nargs == 4 ? PyObject_IsTrue(args[3]) : 0;
    if (spans < 0)
        return nullptr;
    PyObject *text = args[0], *version = args[1], *parse_float = args[2];
    if (!PyUnicode_Check(text)) {
        PyErr_Format(PyExc_TypeError, "Expected str object, not '%s'",
                     Py_TYPE(text)->tp_name);
        return nullptr;
    }
    bool v11;
    if (PyUnicode_Check(version) && PyUnicode_CompareWithASCIIString(version, "1.1") == 0) {
        v11 = true;
    } else if (PyUnicode_Check(version) &&
               PyUnicode_CompareWithASCIIString(version, "1.0") == 0) {
        v11 = false;
    } else {
        PyErr_Format(PyExc_ValueError, "unsupported TOML version %R: expected '1.0' or '1.1'",
                     version);
        return nullptr;
    }
    Py_ssize_t len;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text, &len);
    if (utf8 == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
            raise_unencodable(text);
        return nullptr;
    }
    Reader reader(utf8, len, v11, parse_float == Py_None ? nullptr : parse_float, spans != 0);
    Ref tree(reader.document());
    if (!tree || !spans)
        return tree.release();
    Ref records(reader.take_spans());
    return records ? PyTuple_Pack(2, tree.get(), records.get()) : nullptr;
}
