// INI as configparser reads it (ConfigParser(interpolation=None), then
// {name: dict(parser[name]) for name in parser}).
//
// A user's file must mean the same thing here as there, so the reader
// follows configparser's line rules to the letter, odd ones included:
//
// - Lines end at "\n" only; every other white space character (str.isspace:
//   "\r", "\x0b", "\x0c", "\x1c".."\x1f", U+0085, U+00A0, U+3000, ...) is
//   blank at the ends of a line and inside indentation.
// - A line whose stripped text starts with a comment prefix is a comment;
//   an inline comment prefix cuts the line where it stands at the start or
//   after a white space character.
// - A line indented deeper than the line that opened the current key
//   continues that key's value, whatever it looks like; blank lines inside
//   a value are kept (unless empty_lines_in_values is off, when they end it),
//   comment lines are skipped, and trailing blank lines are dropped.
// - "[" name "]" is a header when the line starts with "[" and has a "]" at
//   least two characters further; the name runs to the LAST "]" and the
//   rest of the line is ignored.  The name is taken as written.
// - Otherwise the line is a key: the first place where a delimiter starts
//   splits it (white space before it belongs to neither side); without a
//   delimiter the line is a key without a value when allow_no_value is on.
// - The default section may be opened many times; any other section only
//   once when strict; keys are unique per section (after case folding)
//   when strict, the last one wins otherwise (at the place of the first).
// - Every section shows the default section's keys after its own.
//
// The first line configparser would object to stops the parse with
// ValueError(message, byte offset).
#include "std.h"

#include "toolkit/toolkit.h"

#include <cstring>
#include <utility>

namespace {

// ---------------------------------------------------------------------------
// White space as str.isspace(), str.strip() and the regular expression "\s"
// all see it (one set for the three).

constexpr unsigned char kAsciiSpace[128] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 0, 0,  // \t \n \v \f \r
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1,  // \x1c..\x1f
    1,                                                // space
};

// The byte length of the character at s when it is white space, else 0.
// The text is valid UTF-8 (it comes from a str).
inline int space_at(const char *s)
{
    unsigned char c = (unsigned char)s[0];
    if (c < 0x80)
        return kAsciiSpace[c];
    Py_UCS4 cp;
    int n;
    if (c < 0xE0) {
        cp = c & 0x1F;
        n = 2;
    } else if (c < 0xF0) {
        cp = c & 0x0F;
        n = 3;
    } else {
        cp = c & 0x07;
        n = 4;
    }
    for (int i = 1; i < n; i++)
        cp = (cp << 6) | ((unsigned char)s[i] & 0x3F);
    return Py_UNICODE_ISSPACE(cp) ? n : 0;
}

inline int char_len(const char *s)
{
    unsigned char c = (unsigned char)s[0];
    return c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
}

inline const char *skip_space(const char *s, const char *end)
{
    while (s < end) {
        int n = space_at(s);
        if (n == 0)
            break;
        s += n;
    }
    return s;
}

// The start of the last character of [start, end), end > start.
inline const char *last_char(const char *start, const char *end)
{
    const char *c = end - 1;
    while (c > start && ((unsigned char)*c & 0xC0) == 0x80)
        c--;
    return c;
}

// end moved back over white space, not below start.
inline const char *strip_back(const char *start, const char *end)
{
    while (end > start) {
        unsigned char b = (unsigned char)end[-1];
        if (b < 0x80) {
            if (!kAsciiSpace[b])
                break;
            end--;
            continue;
        }
        const char *c = last_char(start, end);
        if (space_at(c) == 0)
            break;
        end = c;
    }
    return end;
}

// Indentation is counted in characters, as configparser counts it.
Py_ssize_t count_chars(const char *s, const char *end)
{
    Py_ssize_t n = 0;
    for (; s < end; s++)
        n += ((unsigned char)*s & 0xC0) != 0x80;
    return n;
}

// ---------------------------------------------------------------------------
// Options

struct Span {
    const char *p;
    Py_ssize_t n;
};

// Whether the `avail` bytes at s start with x.  Delimiters and prefixes
// are a byte or two: a loop beats a call to memcmp.
inline bool starts_with(const char *s, Py_ssize_t avail, const Span &x)
{
    if (x.n > avail)
        return false;
    for (Py_ssize_t i = 0; i < x.n; i++)
        if (s[i] != x.p[i])
            return false;
    return true;
}

// A tuple of str as UTF-8 spans (delimiters, comment prefixes), with a
// table of the bytes they start with for quick scans.  The spans point
// into the tuple's strs, which the caller's arguments keep alive.
class Prefixes {
public:
    Prefixes() noexcept = default;
    Prefixes(const Prefixes &) = delete;
    Prefixes &operator=(const Prefixes &) = delete;

    void set_static(const Span *items, Py_ssize_t n) noexcept
    {
        items_ = items;
        n_ = n;
        index();
    }

    bool set(PyObject *seq, const char *what)
    {
        if (!PyTuple_Check(seq)) {
            PyErr_Format(PyExc_TypeError, "%s must be a tuple of str", what);
            return false;
        }
        Py_ssize_t n = PyTuple_GET_SIZE(seq);
        owned_.clear();
        for (Py_ssize_t i = 0; i < n; i++) {
            PyObject *s = PyTuple_GET_ITEM(seq, i);
            if (!PyUnicode_Check(s)) {
                PyErr_Format(PyExc_TypeError, "%s must be a tuple of str", what);
                return false;
            }
            Span item;
            item.p = PyUnicode_AsUTF8AndSize(s, &item.n);
            if (item.p == nullptr || !owned_.push(item))
                return false;
        }
        items_ = owned_.data();
        n_ = n;
        index();
        return true;
    }

    Py_ssize_t size() const noexcept { return n_; }
    // Some item may start at a byte c.
    bool may_start(char c) const noexcept { return first_[(unsigned char)c]; }
    // Some item is empty or starts with white space: a plain scan for the
    // first byte is not enough to find where it matches.
    bool irregular() const noexcept { return irregular_; }

    // The first item (in their order) that s[0:avail] starts with, or -1.
    Py_ssize_t match(const char *s, Py_ssize_t avail) const noexcept
    {
        for (Py_ssize_t i = 0; i < n_; i++)
            if (starts_with(s, avail, items_[i]))
                return i;
        return -1;
    }
    const Span &operator[](Py_ssize_t i) const noexcept { return items_[i]; }

private:
    // Built afresh whenever the items are set: the options start from
    // configparser's defaults, and the caller's items replace them.
    void index() noexcept
    {
        std::memset(first_, 0, sizeof first_);
        irregular_ = false;
        for (Py_ssize_t i = 0; i < n_; i++) {
            if (items_[i].n == 0 || space_at(items_[i].p))
                irregular_ = true;
            else
                first_[(unsigned char)items_[i].p[0]] = true;
        }
    }

    // The caller's items; the few of a usual option stay inline.
    qv::Buffer<Span, 4> owned_;
    const Span *items_ = nullptr;
    Py_ssize_t n_ = 0;
    bool first_[256] = {};
    bool irregular_ = false;
};

constexpr Span kDefaultDelimiters[] = {{"=", 1}, {":", 1}};
constexpr Span kDefaultCommentPrefixes[] = {{"#", 1}, {";", 1}};

struct Options {
    Prefixes delimiters, comment_prefixes, inline_prefixes;
    bool strict = true;
    bool empty_lines_in_values = true;
    bool allow_no_value = false;
    bool keep_case = false;
    PyObject *default_section = nullptr;  // borrowed from the arguments
    Span default_name{"DEFAULT", 7};
    PyObject *unnamed_section = nullptr;  // the unnamed section's key, or NULL

    Options()
    {
        delimiters.set_static(kDefaultDelimiters, 2);
        comment_prefixes.set_static(kDefaultCommentPrefixes, 2);
    }

    // parse_ini(text, delimiters, comment_prefixes, inline_comment_prefixes,
    //           strict, empty_lines_in_values, default_section,
    //           allow_no_value, unnamed_section, keep_case, /)
    // Options left out keep configparser's defaults.
    bool read(PyObject *const *args, Py_ssize_t nargs)
    {
        if (nargs > 1 && !delimiters.set(args[1], "delimiters"))
            return false;
        if (nargs > 2 && !comment_prefixes.set(args[2], "comment_prefixes"))
            return false;
        if (nargs > 3 && !inline_prefixes.set(args[3], "inline_comment_prefixes"))
            return false;
        if (!flag(args, nargs, 4, &strict) || !flag(args, nargs, 5, &empty_lines_in_values))
            return false;
        if (nargs > 6) {
            if (!PyUnicode_Check(args[6])) {
                PyErr_SetString(PyExc_TypeError, "default_section must be a str");
                return false;
            }
            default_section = args[6];
            default_name.p = PyUnicode_AsUTF8AndSize(args[6], &default_name.n);
            if (default_name.p == nullptr)
                return false;
        }
        if (!flag(args, nargs, 7, &allow_no_value))
            return false;
        if (nargs > 8 && args[8] != Py_None)
            unnamed_section = args[8];
        return flag(args, nargs, 9, &keep_case);
    }

private:
    static bool flag(PyObject *const *args, Py_ssize_t nargs, Py_ssize_t i, bool *out)
    {
        if (nargs <= i)
            return true;
        int v = PyObject_IsTrue(args[i]);
        if (v < 0)
            return false;
        *out = v != 0;
        return true;
    }
};

// ---------------------------------------------------------------------------
// The reader

// One line as configparser sees it once comments are gone: the clean text
// [start, end) (empty for blank and comment lines; start is where the
// indentation ends), and whether a comment was removed.
struct CleanLine {
    const char *start, *end;
    bool has_comment;
};

// Where a key line splits: the key runs from the clean line's start to
// key_end, the value starts after the delimiter at value_start; no
// delimiter when !found.
struct KeySplit {
    const char *key_end;
    const char *value_start;
    bool found;
};

// ---------------------------------------------------------------------------
// Lines, as both readers see them

// [ls, le) is the line without its "\n"; next is where the following
// line starts (after the "\n", which inline prefixes may match).
CleanLine clean(const Options &o, const char *ls, const char *le, const char *next)
{
    const char *p = skip_space(ls, le);
    const char *q = strip_back(p, le);
    if (p == q)
        return {p, p, false};
    for (Py_ssize_t i = 0; i < o.comment_prefixes.size(); i++) {
        if (starts_with(p, q - p, o.comment_prefixes[i]))
            return {p, p, true};
    }
    const Prefixes &inl = o.inline_prefixes;
    if (inl.size() == 0)
        return {p, q, false};
    // The earliest inline prefix at the start of the line or after a
    // white space character.
    bool after_space = true;
    for (const char *k = ls; k < next;) {
        if (after_space && (inl.irregular() || inl.may_start(*k)) &&
            inl.match(k, next - k) >= 0) {
            // A prefix in the trailing white space removes nothing.
            if (k >= q)
                return {p, q, false};
            const char *cut = strip_back(p, k);
            return {p, cut > p ? cut : p, true};
        }
        int n = space_at(k);
        after_space = n != 0;
        k += n ? n : char_len(k);
    }
    return {p, q, false};
}

// Where the key of a clean line ends and its value starts.
KeySplit split(const Options &o, const CleanLine &c)
{
    const Prefixes &d = o.delimiters;
    if (!d.irregular()) {
        for (const char *k = c.start; k < c.end; k++) {
            if (d.may_start(*k)) {
                Py_ssize_t i = d.match(k, c.end - k);
                if (i >= 0)
                    return {strip_back(c.start, k), k + d[i].n, true};
            }
        }
        return {c.end, c.end, false};
    }
    // A delimiter that is empty or starts with white space may match
    // inside the white space before another one: try the places in the
    // order configparser's pattern does (the shortest key first, and
    // for each key the latest delimiter start first).
    for (const char *i = c.start; i <= c.end;) {
        const char *run_end = skip_space(i, c.end);
        for (const char *k = run_end;; k = last_char(i, k)) {
            Py_ssize_t m = d.match(k, c.end - k);
            if (m >= 0)
                return {strip_back(c.start, i), k + d[m].n, true};
            if (k == i)
                break;
        }
        if (i == c.end)
            break;
        i = run_end > i ? run_end : i + char_len(i);
    }
    return {c.end, c.end, false};
}

// The "]" that closes the name of a header line: the last one, at least
// two characters after the "[" that starts the line; NULL when the line
// is no header.
const char *header_close(const CleanLine &c)
{
    if (*c.start != '[' || c.end - c.start < 3)
        return nullptr;
    return static_cast<const char *>(memrchr(c.start + 2, ']', (size_t)(c.end - c.start - 2)));
}

// The strs a reader makes of its text: keys through a per-call cache (the
// same str again for a repeated key), folded as optionxform folds them.
class TextStrs {
public:
    // `surrogates`: the text holds lone surrogates, written as
    // "surrogatepass" writes them.
    explicit TextStrs(bool surrogates) noexcept : surrogates_(surrogates) {}

    PyObject *str(const char *s, Py_ssize_t n)
    {
        return surrogates_ ? PyUnicode_DecodeUTF8(s, n, "surrogatepass") : strs_.make(s, n);
    }
    // A key's str, the same object again when the key repeats.
    PyObject *cached(const char *s, Py_ssize_t n, bool high)
    {
        return surrogates_ ? str(s, n) : keys_.get(strs_, s, n, high);
    }

    // Keys are folded with str.lower(), as optionxform does.  ASCII keys
    // are folded here, and those already in lower case come from the key
    // cache; other keys go through the interpreter's str.lower().
    PyObject *key(const char *s, Py_ssize_t n, bool keep_case)
    {
        bool high = qv::any_high(s, n);
        if (keep_case)
            return cached(s, n, high);
        if (high) {
            if (!lower_ && !(lower_ = qv::Ref(PyUnicode_InternFromString("lower"))))
                return nullptr;
            qv::Ref raw(cached(s, n, true));
            return raw ? PyObject_CallMethodNoArgs(raw.get(), lower_.get()) : nullptr;
        }
        Py_ssize_t i = 0;
        while (i < n && !(s[i] >= 'A' && s[i] <= 'Z'))
            i++;
        if (i == n)
            return cached(s, n, false);
        PyObject *r = PyUnicode_New(n, 127);
        if (r == nullptr)
            return nullptr;
        Py_UCS1 *d = PyUnicode_1BYTE_DATA(r);
        for (i = 0; i < n; i++) {
            unsigned char ch = (unsigned char)s[i];
            d[i] = (ch >= 'A' && ch <= 'Z') ? (Py_UCS1)(ch + 32) : ch;
        }
        return r;
    }

private:
    const bool surrogates_;
    qv::StrMaker strs_;
    qv::KeyCache keys_;
    qv::Ref lower_;  // the method's name, once a key needs it
};

class IniReader : qv::Cursor<qv::OffsetError> {
public:
    // `surrogates`: the text holds lone surrogates, written as
    // "surrogatepass" writes them (a str may hold them, and configparser
    // reads such a str like any other).
    IniReader(const char *text, Py_ssize_t len, const Options &options, bool surrogates,
              bool spans)
        : Cursor(text, len), end_(text + len), o_(options), strs_(surrogates)
    {
        if (spans)
            spans_.enable();
    }

    PyObject *take_spans() { return spans_.take(); }

    PyObject *read()
    {
        // The default section is always there: written at the document's
        // start until its header is met.
        if (!spans_.fits(len) || spans_.open(qv::kNoSpan, 0, qv::kNoSpan, qv::kNoSpan, 0) < 0 ||
            (spans_.enabled() && !open_section_span(0, text, text, text, text)))
            return nullptr;
        root_.reset(PyDict_New());
        defaults_.reset(PyDict_New());
        if (!root_ || !defaults_)
            return nullptr;
        default_key_.reset(o_.default_section ? Py_NewRef(o_.default_section)
                                              : PyUnicode_FromString("DEFAULT"));
        if (!default_key_ || PyDict_SetItem(root_.get(), default_key_.get(), defaults_.get()) < 0)
            return nullptr;

        for (const char *line = text; line < end_;) {
            const char *nl = static_cast<const char *>(
                std::memchr(line, '\n', (size_t)(end_ - line)));
            const char *next = nl ? nl + 1 : end_;
            if (read_line(line, nl ? nl : end_, next) < 0)
                return nullptr;
            line = next;
        }
        if (finish_value() < 0 || merge_defaults() < 0)
            return nullptr;
        spans_.close(0, (uint32_t)len);
        return root_.release();
    }

private:
    int read_line(const char *ls, const char *le, const char *next)
    {
        CleanLine c = clean(o_, ls, le, next);
        if (c.start == c.end) {
            if (!o_.empty_lines_in_values)
                indent_level_ = PY_SSIZE_T_MAX;  // a blank line ends the value
            else if (!c.has_comment && has_key_ && !valueless_)
                blanks_++;
            return 0;
        }
        Py_ssize_t indent = count_chars(ls, c.start);
        if (cursect_ && has_key_ && indent > indent_level_)
            return continue_value(c);

        if (!cursect_ && o_.unnamed_section && open_unnamed_section(c.start) < 0)
            return -1;
        indent_level_ = indent;
        if (const char *close = header_close(c))
            return read_header(c.start + 1, close);
        if (!cursect_)
            return missing_header(c);
        return read_key(c);
    }

    // ---- sections

    // The unnamed section has no header: it is written where its first
    // line starts.
    int open_unnamed_section(const char *at)
    {
        PyObject *sect = qv::child_dict(root_.get(), o_.unnamed_section);
        if (!sect)
            return -1;
        if (spans_.enabled() &&
            !open_section_span(PyDict_GET_SIZE(root_.get()) - 1, at, at, at, at))
            return -1;
        cursect_.reset(Py_NewRef(sect));
        sectname_.reset(Py_NewRef(o_.unnamed_section));
        return 0;
    }

    int read_header(const char *name, const char *name_end)
    {
        if (finish_value() < 0)
            return -1;
        has_key_ = false;
        Py_ssize_t n = name_end - name;
        if (n == o_.default_name.n && std::memcmp(name, o_.default_name.p, (size_t)n) == 0) {
            cursect_.reset(Py_NewRef(defaults_.get()));
            sectname_.reset(Py_NewRef(default_key_.get()));
            if (spans_.enabled()) {
                sect_span_ = section_spans_[0];
                if (!default_header_) {
                    // Its first header is where it is written from now on.
                    default_header_ = true;
                    qv::SpanRecord &rec = spans_[sect_span_];
                    rec.key_start = offset(name);
                    rec.key_end = offset(name_end);
                    rec.start = offset(name - 1);
                    rec.end = offset(name_end + 1);
                }
            }
            return 0;
        }
        qv::Ref key(str(name, n));
        if (!key)
            return -1;
        Py_ssize_t before = PyDict_GET_SIZE(root_.get());
        PyObject *sect = qv::child_dict(root_.get(), key.get());
        if (!sect)
            return -1;
        bool made = PyDict_GET_SIZE(root_.get()) != before;
        if (o_.strict && !made)
            return fail_with(name, PyUnicode_FromFormat("duplicate section %R", key.get()));
        if (spans_.enabled()) {
            // A section opened again keeps the place and the header of its
            // first opening.
            Py_ssize_t place = made ? before : place_again(key.get(), key.get());
            if (place < 0 || (made && (!open_section_span(before, name, name_end, name - 1,
                                                         name_end + 1) ||
                                       !remember_place(key.get(), key.get(), before))))
                return -1;
            sect_span_ = section_spans_[place];
        }
        cursect_.reset(Py_NewRef(sect));
        sectname_ = std::move(key);
        return 0;
    }

    int missing_header(const CleanLine &c)
    {
        KeySplit s = split(o_, c);
        if ((s.found || o_.allow_no_value) && s.key_end > c.start)
            return fail_at(c.start - text,
                           "key before the first section header "
                           "(the unnamed section is not allowed)");
        return fail_at(c.start - text, "missing section header");
    }

    // ---- keys and values

    int read_key(const CleanLine &c)
    {
        if (finish_value() < 0)
            return -1;
        KeySplit s = split(o_, c);
        if (!s.found && !o_.allow_no_value)
            return fail_at(c.start - text, "neither a section header nor a key with a delimiter");
        if (s.key_end == c.start)
            return fail_at(c.start - text, "empty key before the delimiter");
        qv::Ref key(make_key(c.start, s.key_end - c.start));
        if (!key)
            return -1;
        key_ = std::move(key);
        key_start_ = c.start - text;
        key_end_ = s.key_end - text;
        has_key_ = true;
        valueless_ = !s.found;
        const char *v = s.found ? skip_space(s.value_start, c.end) : c.end;
        value_start_ = v - text;
        value_len_ = c.end - v;
        value_end_ = c.end - text;
        buffered_ = false;
        blanks_ = 0;
        return 0;
    }

    int continue_value(const CleanLine &c)
    {
        if (valueless_) {
            // A repeated key is the earlier fault.
            int dup = o_.strict ? PyDict_Contains(cursect_.get(), key_.get()) : 0;
            if (dup != 0)
                return dup < 0 ? -1 : duplicate_key();
            return fail_at(c.start - text, "indented line continues a key that has no value");
        }
        if (!buffered_) {
            value_buf_.clear();
            if (!value_buf_.append(text + value_start_, value_len_))
                return -1;
            buffered_ = true;
        }
        if (!value_buf_.reserve(blanks_ + 1))
            return -1;
        std::memset(value_buf_.end(), '\n', (size_t)(blanks_ + 1));
        value_buf_.set_size(value_buf_.size() + blanks_ + 1);
        blanks_ = 0;
        value_end_ = c.end - text;
        return value_buf_.append(c.start, c.end - c.start) ? 0 : -1;
    }

    // Stores the key being read with its value; blank lines after the
    // value's last line are dropped.  A key already in the section is
    // refused here, when strict, rather than looked up when its line is
    // read: one dict operation per key instead of two.  Nothing between
    // its line and here can fail but a continuation of a key without a
    // value, which looks for the repeat itself.
    int finish_value()
    {
        if (!key_)
            return 0;
        qv::Ref value;
        if (valueless_)
            value.reset(Py_NewRef(Py_None));
        else if (buffered_)
            value.reset(str(value_buf_.data(), value_buf_.size()));
        else
            value.reset(str(text + value_start_, value_len_));
        Py_ssize_t before = PyDict_GET_SIZE(cursect_.get());
        if (!value || PyDict_SetItem(cursect_.get(), key_.get(), value.get()) < 0)
            return -1;
        if (o_.strict && PyDict_GET_SIZE(cursect_.get()) == before)
            return duplicate_key();
        if (spans_.enabled() && !key_span(before))
            return -1;
        key_.reset();
        return 0;
    }

    // ---- spans

    uint32_t offset(const char *p) const { return (uint32_t)(p - text); }

    // The record of the section at `place` in the tree, made current.
    bool open_section_span(Py_ssize_t place, const char *key, const char *key_end,
                           const char *start, const char *end)
    {
        Py_ssize_t r = spans_.open(0, (uint32_t)place, offset(key), offset(key_end), offset(start));
        if (r < 0 || !section_spans_.push((uint32_t)r))
            return false;
        spans_.close(r, offset(end));
        sect_span_ = (uint32_t)r;
        return true;
    }

    // Not strict, a section or a key may come again and keep its first
    // place: places_ holds the place of each, keyed by the section's name
    // or by (section record, key) for a key.  The section's name is given
    // as `section` for a section, NULL for a key of the current one.
    PyObject *place_key(PyObject *section, PyObject *key)
    {
        if (section)
            return Py_NewRef(section);
        return Py_BuildValue("(IO)", (unsigned)sect_span_, key);
    }

    bool remember_place(PyObject *section, PyObject *key, Py_ssize_t place)
    {
        if (o_.strict)
            return true;
        if (!places_ && !(places_ = qv::Ref(PyDict_New())))
            return false;
        qv::Ref k(place_key(section, key));
        qv::Ref v(k ? PyLong_FromSsize_t(place) : nullptr);
        return v && PyDict_SetItem(places_.get(), k.get(), v.get()) == 0;
    }

    // The place remembered, or -1 with an exception set.
    Py_ssize_t place_again(PyObject *section, PyObject *key)
    {
        qv::Ref k(place_key(section, key));
        PyObject *v = k && places_ ? PyDict_GetItemWithError(places_.get(), k.get()) : nullptr;
        if (v == nullptr) {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_SystemError, "a place the INI reader did not keep");
            return -1;
        }
        return PyLong_AsSsize_t(v);
    }

    // The record of the key just stored (the dict held `before` keys): a
    // key given again keeps the place of its first time.  A valueless key
    // is written where its key is.
    bool key_span(Py_ssize_t before)
    {
        PyObject *sect = cursect_.get();
        bool made = PyDict_GET_SIZE(sect) != before;
        Py_ssize_t place = made ? before : place_again(nullptr, key_.get());
        if (place < 0 || (made && !remember_place(nullptr, key_.get(), before)))
            return false;
        Py_ssize_t start = valueless_ ? key_start_ : value_start_;
        Py_ssize_t end = valueless_ ? key_end_ : value_end_;
        Py_ssize_t r = spans_.open(sect_span_, (uint32_t)place, (uint32_t)key_start_,
                                   (uint32_t)key_end_, (uint32_t)start);
        if (r < 0)
            return false;
        spans_.close(r, (uint32_t)end);
        if (sect != defaults_.get())
            return true;
        if (place < default_spans_.size()) {
            default_spans_[place] = (uint32_t)r;
            return true;
        }
        return default_spans_.push((uint32_t)r);
    }

    int duplicate_key()
    {
        return fail_with(text + key_start_, PyUnicode_FromFormat(
            "duplicate key %R in section %R", key_.get(), sectname_.get()));
    }

    PyObject *str(const char *s, Py_ssize_t n) { return strs_.str(s, n); }
    PyObject *make_key(const char *s, Py_ssize_t n) { return strs_.key(s, n, o_.keep_case); }

    // Every section shows the default section's keys after its own; with
    // spans, each copy is written where the default section has it.
    int merge_defaults()
    {
        if (PyDict_GET_SIZE(defaults_.get()) == 0)
            return 0;
        Py_ssize_t pos = 0, place = 0;
        PyObject *name, *sect;
        for (; PyDict_Next(root_.get(), &pos, &name, &sect); place++) {
            if (sect == defaults_.get())
                continue;
            Py_ssize_t dpos = 0, dplace = 0;
            PyObject *k, *v;
            for (; PyDict_Next(defaults_.get(), &dpos, &k, &v); dplace++) {
                int had = PyDict_SetDefaultRef(sect, k, v, nullptr);
                if (had < 0)
                    return -1;
                if (had == 0 && spans_.enabled()) {
                    qv::SpanRecord rec = spans_[default_spans_[dplace]];
                    Py_ssize_t r = spans_.open(section_spans_[place],
                                               (uint32_t)(PyDict_GET_SIZE(sect) - 1),
                                               rec.key_start, rec.key_end, rec.start);
                    if (r < 0)
                        return -1;
                    spans_.close(r, rec.end);
                }
            }
        }
        return 0;
    }

    // Fails at `at` with a message made from the document's names (a new
    // reference, or NULL with the exception set).
    int fail_with(const char *at, PyObject *msg)
    {
        qv::Ref m(msg);
        const char *utf8 = m ? PyUnicode_AsUTF8(m.get()) : nullptr;
        if (utf8 == nullptr)
            return -1;
        return fail_at(at - text, utf8);
    }

    const char *end_;
    const Options &o_;
    TextStrs strs_;
    qv::Ref root_, defaults_, default_key_;
    qv::Ref cursect_;   // the section being read; NULL before the first
    qv::Ref sectname_;  // its name, for messages
    // The key being read (NULL once stored) and its value so far.
    qv::Ref key_;
    Py_ssize_t key_start_ = 0, key_end_ = 0;
    bool has_key_ = false;  // a key line was read since the last header
    bool valueless_ = false;
    Py_ssize_t value_start_ = 0, value_len_ = 0;  // its first line
    Py_ssize_t value_end_ = 0;                    // the end of its last line
    bool buffered_ = false;  // its lines joined in value_buf_
    qv::Buffer<char, 256> value_buf_;
    Py_ssize_t blanks_ = 0;        // blank lines since its last line
    Py_ssize_t indent_level_ = 0;  // indentation of the line that opened it
    // Asked for spans: the records, each section's record by its place in
    // the tree, the current section's, and the record of each key of the
    // default section by its place there.
    qv::SpanTable spans_;
    qv::Buffer<uint32_t, 16> section_spans_;
    uint32_t sect_span_ = 0;
    bool default_header_ = false;
    qv::Buffer<uint32_t, 16> default_spans_;
    qv::Ref places_;
};


// ---------------------------------------------------------------------------
// The reader of a parser's state
//
// What configparser's reading code leaves in a parser: each section's own
// keys (the default section's apart), and every problem it reports, in
// the order it meets them.  Lines it cannot parse are collected and the
// rest is read; a repeated section or key (when strict), a line before
// the first header and an indented line under a key without a value stop
// the reading there, with everything before it kept, as there.
//
// Values go in as soon as their key line is read (the first line's text),
// and a value continued over more lines is replaced by the whole of it
// when its last line has been seen: the state after a stop is then the
// state configparser leaves.

// Go on; stop at a fault the document has (recorded); stop at an error
// raised; or leave the lines to configparser's own reading.
enum class Step { Go, Stop, Error, Other };

class StateReader {
public:
    StateReader(const Options &options, bool surrogates, PyObject *xform, bool keep_case)
        : o_(options), strs_(surrogates), xform_(xform), keep_case_(keep_case)
    {
    }

    bool start()
    {
        sections_.reset(PyList_New(0));
        by_name_.reset(PyDict_New());
        errors_.reset(PyList_New(0));
        default_key_.reset(o_.default_section ? Py_NewRef(o_.default_section)
                                              : PyUnicode_FromString("DEFAULT"));
        return sections_ && by_name_ && errors_ && default_key_;
    }

    // One line: [ls, le) without its "\n", next after it; `item` is the
    // line's own str when the lines come one by one (NULL: made from the
    // text when a problem needs it).
    Step line(const char *ls, const char *le, const char *next, PyObject *item)
    {
        lineno_++;
        CleanLine c = clean(o_, ls, le, next);
        if (c.start == c.end) {
            if (!o_.empty_lines_in_values)
                indent_level_ = PY_SSIZE_T_MAX;  // a blank line ends the value
            else if (!c.has_comment && cursect_ && key_truthy_ && !valueless_)
                blanks_++;
            return Step::Go;
        }
        Py_ssize_t indent = count_chars(ls, c.start);
        if (cursect_ && key_truthy_ && indent > indent_level_) {
            if (valueless_)
                return stop(line_fault("continuation", ls, next, item));
            return continue_value(c) ? Step::Go : Step::Error;
        }
        if (!cursect_ && o_.unnamed_section && !open_section(o_.unnamed_section))
            return Step::Error;
        indent_level_ = indent;
        if (const char *close = header_close(c))
            return read_header(c.start + 1, close);
        if (!cursect_)
            return stop(line_fault("header", ls, next, item));
        return read_key(c, ls, next, item);
    }

    // (sections, errors, stop): sections as [(name, own keys)] in the order
    // they were first opened, the default section's under its name;
    // errors as [(lineno, line)]; stop None or a tuple naming the fault.
    PyObject *finish()
    {
        if (!finish_value())
            return nullptr;
        return PyTuple_Pack(3, sections_.get(), errors_.get(), stop_ ? stop_.get() : Py_None);
    }

private:
    Step stop(PyObject *fault)
    {
        if (!fault)
            return Step::Error;
        stop_.reset(fault);
        return Step::Stop;
    }

    PyObject *line_str(const char *ls, const char *next, PyObject *item)
    {
        return item ? Py_NewRef(item) : strs_.str(ls, next - ls);
    }

    PyObject *line_fault(const char *kind, const char *ls, const char *next, PyObject *item)
    {
        qv::Ref line(line_str(ls, next, item));
        return line ? Py_BuildValue("(snO)", kind, lineno_, line.get()) : nullptr;
    }

    // ---- sections

    bool open_section(PyObject *name)
    {
        qv::Ref own(PyDict_New());
        qv::Ref entry(own ? PyTuple_Pack(2, name, own.get()) : nullptr);
        if (!entry || PyList_Append(sections_.get(), entry.get()) < 0)
            return false;
        cursect_ = std::move(own);
        sectname_.reset(Py_NewRef(name));
        return true;
    }

    Step read_header(const char *name, const char *name_end)
    {
        if (!finish_value())
            return Step::Error;
        key_.reset();  // a section cannot start with a continuation line
        key_truthy_ = false;
        qv::Ref key(strs_.str(name, name_end - name));
        if (!key)
            return Step::Error;
        Py_ssize_t n = name_end - name;
        if (n == o_.default_name.n && std::memcmp(name, o_.default_name.p, (size_t)n) == 0) {
            // The default section may be opened again, strict or not.
            if (defaults_) {
                cursect_.reset(Py_NewRef(defaults_.get()));
                sectname_.reset(Py_NewRef(default_key_.get()));
                return Step::Go;
            }
            if (!open_section(default_key_.get()))
                return Step::Error;
            defaults_.reset(Py_NewRef(cursect_.get()));
            return Step::Go;
        }
        PyObject *seen = PyDict_GetItemWithError(by_name_.get(), key.get());
        if (seen) {
            if (o_.strict)
                return stop(Py_BuildValue("(sOn)", "section", key.get(), lineno_));
            cursect_.reset(Py_NewRef(seen));
            sectname_ = std::move(key);
            return Step::Go;
        }
        if (PyErr_Occurred() || !open_section(key.get()) ||
            PyDict_SetItem(by_name_.get(), key.get(), cursect_.get()) < 0)
            return Step::Error;
        return Step::Go;
    }

    // ---- keys and values

    Step read_key(const CleanLine &c, const char *ls, const char *next, PyObject *item)
    {
        KeySplit s = split(o_, c);
        if (!s.found && !o_.allow_no_value) {
            // The line is reported and skipped; the key before it stays
            // the one that indented lines continue.
            qv::Ref line(line_str(ls, next, item));
            return line && add_error(line.get()) ? Step::Go : Step::Error;
        }
        if (!finish_value())
            return Step::Error;
        if (s.key_end == c.start) {
            // Reported, and still read as a key (the empty one).
            qv::Ref line(line_str(ls, next, item));
            if (!line || !add_error(line.get()))
                return Step::Error;
        }
        qv::Ref key(make_key(c.start, s.key_end - c.start));
        if (!key)
            return Step::Error;
        int truthy = PyObject_IsTrue(key.get());
        if (truthy < 0)
            return Step::Error;
        const char *v = s.found ? skip_space(s.value_start, c.end) : c.end;
        qv::Ref value(s.found ? strs_.str(v, c.end - v) : Py_NewRef(Py_None));
        if (!value)
            return Step::Error;
        Py_ssize_t before = PyDict_GET_SIZE(cursect_.get());
        if (!PyDict_SetDefault(cursect_.get(), key.get(), value.get()))
            return Step::Error;
        if (PyDict_GET_SIZE(cursect_.get()) == before) {
            if (o_.strict)
                return stop(Py_BuildValue("(sOOn)", "option", sectname_.get(), key.get(), lineno_));
            if (PyDict_SetItem(cursect_.get(), key.get(), value.get()) < 0)
                return Step::Error;
        }
        key_ = std::move(key);
        key_truthy_ = truthy != 0;
        valueless_ = !s.found;
        value_p_ = v;
        value_n_ = c.end - v;
        buffered_ = false;
        blanks_ = 0;
        return Step::Go;
    }

    bool add_error(PyObject *line)
    {
        qv::Ref entry(Py_BuildValue("(nO)", lineno_, line));
        return entry && PyList_Append(errors_.get(), entry.get()) == 0;
    }

    PyObject *make_key(const char *s, Py_ssize_t n)
    {
        if (!xform_)
            return strs_.key(s, n, keep_case_);
        // The parser's own optionxform, on the key as written.
        qv::Ref raw(strs_.key(s, n, true));
        return raw ? PyObject_CallOneArg(xform_, raw.get()) : nullptr;
    }

    bool continue_value(const CleanLine &c)
    {
        if (!buffered_) {
            value_buf_.clear();
            if (!value_buf_.append(value_p_, value_n_))
                return false;
            buffered_ = true;
        }
        if (!value_buf_.reserve(blanks_ + 1))
            return false;
        std::memset(value_buf_.end(), '\n', (size_t)(blanks_ + 1));
        value_buf_.set_size(value_buf_.size() + blanks_ + 1);
        blanks_ = 0;
        return value_buf_.append(c.start, c.end - c.start);
    }

    // A value continued over more lines replaces its first line's text;
    // blank lines after its last line are dropped.
    bool finish_value()
    {
        if (!buffered_)
            return true;
        buffered_ = false;
        qv::Ref value(strs_.str(value_buf_.data(), value_buf_.size()));
        return value && PyDict_SetItem(cursect_.get(), key_.get(), value.get()) == 0;
    }

    const Options &o_;
    TextStrs strs_;
    PyObject *const xform_;  // borrowed; NULL: folded here
    const bool keep_case_;
    qv::Ref sections_, by_name_, errors_, stop_;
    qv::Ref default_key_, defaults_;
    Py_ssize_t lineno_ = 0;
    qv::Ref cursect_, sectname_;  // the section being read; NULL before the first
    // The key being read, which indented lines continue while it is true
    // (configparser's test), and its value's first line.
    qv::Ref key_;
    bool key_truthy_ = false;
    bool valueless_ = false;
    const char *value_p_ = nullptr;
    Py_ssize_t value_n_ = 0;
    bool buffered_ = false;  // its lines joined in value_buf_
    qv::Buffer<char, 256> value_buf_;
    Py_ssize_t blanks_ = 0;        // blank lines since its last line
    Py_ssize_t indent_level_ = 0;  // indentation of the line that opened it
};

// The lines of a tuple, one str each.  Lines that configparser's reading
// and this one might not agree on (not a str, "\n" inside, lone
// surrogates) are left to configparser's reading: Step::Other.
Step read_lines(StateReader &reader, PyObject *lines)
{
    Py_ssize_t n = PyTuple_GET_SIZE(lines);
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *item = PyTuple_GET_ITEM(lines, i);
        if (!PyUnicode_Check(item))
            return Step::Other;
        Py_ssize_t len;
        const char *s = PyUnicode_AsUTF8AndSize(item, &len);
        if (s == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
                return Step::Error;
            PyErr_Clear();
            return Step::Other;
        }
        const char *next = s + len;
        const char *le = len && next[-1] == '\n' ? next - 1 : next;
        if (std::memchr(s, '\n', (size_t)(le - s)))
            return Step::Other;
        Step step = reader.line(s, le, next, item);
        if (step != Step::Go)
            return step;
    }
    return Step::Go;
}

// The text's lines, split at "\n" only.
Step read_text(StateReader &reader, const char *text, Py_ssize_t len)
{
    const char *end = text + len;
    for (const char *line = text; line < end;) {
        const char *nl = static_cast<const char *>(std::memchr(line, '\n', (size_t)(end - line)));
        const char *next = nl ? nl + 1 : end;
        Step step = reader.line(line, nl ? nl : end, next, nullptr);
        if (step != Step::Go)
            return step;
        line = next;
    }
    return Step::Go;
}

}  // namespace

PyObject *std_parse_ini(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs < 1 || nargs > 11) {
        PyErr_SetString(PyExc_TypeError, "parse_ini() takes from 1 to 11 positional arguments");
        return nullptr;
    }
    if (!PyUnicode_Check(args[0])) {
        PyErr_Format(PyExc_TypeError, "parse_ini() text must be str, not %.100s",
                     Py_TYPE(args[0])->tp_name);
        return nullptr;
    }
    Options options;
    if (!options.read(args, nargs < 10 ? nargs : 10))
        return nullptr;
    int spans = nargs > 10 ? PyObject_IsTrue(args[10]) : 0;
    if (spans < 0)
        return nullptr;
    Py_ssize_t len;
    const char *text = PyUnicode_AsUTF8AndSize(args[0], &len);
    qv::Ref encoded;
    if (text == nullptr) {
        // Only lone surrogates keep a str from having UTF-8; the offsets
        // then count bytes of its "surrogatepass" encoding.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
            return nullptr;
        PyErr_Clear();
        encoded.reset(PyUnicode_AsEncodedString(args[0], "utf-8", "surrogatepass"));
        if (!encoded)
            return nullptr;
        text = PyBytes_AS_STRING(encoded.get());
        len = PyBytes_GET_SIZE(encoded.get());
    }
    IniReader reader(text, len, options, (bool)encoded, spans != 0);
    qv::Ref tree(reader.read());
    if (!tree || !spans)
        return tree.release();
    qv::Ref records(reader.take_spans());
    return records ? PyTuple_Pack(2, tree.get(), records.get()) : nullptr;
}

namespace {

// The source (a str, or a tuple of lines) read under the options into what
// the reader of a parser's state gives (see read_ini_state).
PyObject *read_state(PyObject *source, const Options &options, PyObject *xform)
{
    bool keep_case = xform == (PyObject *)&PyUnicode_Type;
    if (xform == Py_None || keep_case)
        xform = nullptr;
    else if (!PyCallable_Check(xform)) {
        PyErr_SetString(PyExc_TypeError, "optionxform must be None, str or callable");
        return nullptr;
    }
    qv::Ref encoded;
    const char *text = nullptr;
    Py_ssize_t len = 0;
    if (PyUnicode_Check(source)) {
        text = PyUnicode_AsUTF8AndSize(source, &len);
        if (text == nullptr) {
            // Only lone surrogates keep a str from having UTF-8.
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
                return nullptr;
            PyErr_Clear();
            encoded.reset(PyUnicode_AsEncodedString(source, "utf-8", "surrogatepass"));
            if (!encoded)
                return nullptr;
            text = PyBytes_AS_STRING(encoded.get());
            len = PyBytes_GET_SIZE(encoded.get());
        }
    }
    StateReader reader(options, (bool)encoded, xform, keep_case);
    if (!reader.start())
        return nullptr;
    Step step = text ? read_text(reader, text, len) : read_lines(reader, source);
    if (step == Step::Error)
        return nullptr;
    if (step == Step::Other)
        Py_RETURN_NOTIMPLEMENTED;
    return reader.finish();
}

bool check_source(PyObject *source, const char *fn)
{
    if (PyUnicode_Check(source) || PyTuple_Check(source))
        return true;
    PyErr_Format(PyExc_TypeError, "%s() source must be str or tuple, not %.100s", fn,
                 Py_TYPE(source)->tp_name);
    return false;
}

}  // namespace

PyObject *std_read_ini_state(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 10) {
        PyErr_SetString(PyExc_TypeError, "read_ini_state() takes exactly 10 positional arguments");
        return nullptr;
    }
    if (!check_source(args[0], "read_ini_state"))
        return nullptr;
    Options options;
    if (!options.read(args, 9))
        return nullptr;
    return read_state(args[0], options, args[9]);
}

// read_parser_state(parser, source, reading, /)
// read_ini_state with the options a parser reads with, taken from it as
// the Python side's _reader_options takes them, for the usual parser:
// configparser's own patterns (_optcre one of the constructor's two for
// the usual delimiters), comment prefixes that are tuples of str, a str
// default section that is no section.  None for any other parser (the
// caller then takes the options itself); NotImplemented when the reading
// is configparser's own, also when the reader raised an Exception (an
// optionxform that fails: configparser's reading meets it at its place).
// reading: (names, SECTCRE, NONSPACECRE, OPTCRE, OPTCRE_NV, the class's
// optionxform, the unnamed section's key), names being the attributes
// looked at: default_section, SECTCRE, NONSPACECRE, _sections, _optcre,
// _prefixes, full, inline, _allow_unnamed_section, optionxform, _strict,
// _empty_lines_in_values.
namespace {

enum ReadingWord {
    R_DEFAULT_SECTION, R_SECTCRE, R_NONSPACECRE, R_SECTIONS, R_OPTCRE, R_PREFIXES, R_FULL,
    R_INLINE, R_ALLOW_UNNAMED, R_OPTIONXFORM, R_STRICT, R_EMPTY_LINES, R_COUNT
};
enum Reading { G_WORDS, G_SECTCRE, G_NONSPACECRE, G_OPTCRE, G_OPTCRE_NV, G_XFORM, G_UNNAMED, G_COUNT };

bool str_tuple(PyObject *items)
{
    if (!PyTuple_CheckExact(items))
        return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items); i++)
        if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(items, i)))
            return false;
    return true;
}

// The attribute, or NULL with an exception set.
PyObject *attr(PyObject *obj, PyObject *const *w, ReadingWord word)
{
    return PyObject_GetAttr(obj, w[word]);
}

}  // namespace

PyObject *std_read_parser_state(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 3 || !PyTuple_Check(args[2]) || PyTuple_GET_SIZE(args[2]) != G_COUNT ||
        !PyTuple_Check(PyTuple_GET_ITEM(args[2], G_WORDS)) ||
        PyTuple_GET_SIZE(PyTuple_GET_ITEM(args[2], G_WORDS)) != R_COUNT) {
        PyErr_SetString(PyExc_TypeError, "read_parser_state(parser, source, reading, /)");
        return nullptr;
    }
    PyObject *self = args[0], *source = args[1];
    if (!check_source(source, "read_parser_state"))
        return nullptr;
    PyObject *const *g = &PyTuple_GET_ITEM(args[2], 0);
    PyObject *const *w = &PyTuple_GET_ITEM(g[G_WORDS], 0);
    // In the order the Python side looks at them.
    qv::Ref def(attr(self, w, R_DEFAULT_SECTION));
    qv::Ref sectcre(def ? attr(self, w, R_SECTCRE) : nullptr);
    if (!sectcre)
        return nullptr;
    if (sectcre.get() != g[G_SECTCRE])
        Py_RETURN_NONE;
    qv::Ref nonspacecre(attr(self, w, R_NONSPACECRE));
    if (!nonspacecre)
        return nullptr;
    if (nonspacecre.get() != g[G_NONSPACECRE] || !PyUnicode_CheckExact(def.get()))
        Py_RETURN_NONE;
    qv::Ref sections(attr(self, w, R_SECTIONS));
    int has = sections ? PySequence_Contains(sections.get(), def.get()) : -1;
    if (has < 0)
        return nullptr;
    if (has)
        Py_RETURN_NONE;
    qv::Ref optcre(attr(self, w, R_OPTCRE));
    if (!optcre)
        return nullptr;
    if (optcre.get() != g[G_OPTCRE] && optcre.get() != g[G_OPTCRE_NV])
        Py_RETURN_NONE;
    bool no_value = optcre.get() == g[G_OPTCRE_NV];
    qv::Ref prefixes(attr(self, w, R_PREFIXES));
    qv::Ref full(prefixes ? attr(prefixes.get(), w, R_FULL) : nullptr);
    qv::Ref inline_(full ? attr(prefixes.get(), w, R_INLINE) : nullptr);
    qv::Ref allow_unnamed(inline_ ? attr(self, w, R_ALLOW_UNNAMED) : nullptr);
    if (!allow_unnamed)
        return nullptr;
    int unnamed = PyObject_IsTrue(allow_unnamed.get());
    if (unnamed < 0)
        return nullptr;
    if (!str_tuple(full.get()) || !str_tuple(inline_.get()))
        Py_RETURN_NONE;
    // An optionxform set on the parser, or one of its class's own.
    qv::Ref own_dict(PyObject_GenericGetDict(self, nullptr));
    if (!own_dict)
        return nullptr;
    PyObject *found = PyDict_Check(own_dict.get())
                          ? PyDict_GetItemWithError(own_dict.get(), w[R_OPTIONXFORM])
                          : nullptr;
    if (!found && PyErr_Occurred())
        return nullptr;
    qv::Ref xform(Py_XNewRef(found));
    if (!xform) {
        qv::Ref of_class(attr((PyObject *)Py_TYPE(self), w, R_OPTIONXFORM));
        if (!of_class)
            return nullptr;
        xform.reset(of_class.get() == g[G_XFORM] ? Py_NewRef(Py_None)
                                                 : attr(self, w, R_OPTIONXFORM));
        if (!xform)
            return nullptr;
    }
    qv::Ref strict(attr(self, w, R_STRICT));
    int is_strict = strict ? PyObject_IsTrue(strict.get()) : -1;
    qv::Ref empty(is_strict >= 0 ? attr(self, w, R_EMPTY_LINES) : nullptr);
    int keep_empty = empty ? PyObject_IsTrue(empty.get()) : -1;
    if (keep_empty < 0)
        return nullptr;
    // From here on a failure is the reader's (a prefix or name that has no
    // UTF-8 included), as read_ini_state's is.
    Options options;
    options.strict = is_strict != 0;
    options.empty_lines_in_values = keep_empty != 0;
    options.default_section = def.get();
    options.default_name.p = PyUnicode_AsUTF8AndSize(def.get(), &options.default_name.n);
    options.allow_no_value = no_value;
    options.unnamed_section = unnamed && g[G_UNNAMED] != Py_None ? g[G_UNNAMED] : nullptr;
    PyObject *result =
        options.default_name.p && options.comment_prefixes.set(full.get(), "comment_prefixes") &&
                options.inline_prefixes.set(inline_.get(), "inline_comment_prefixes")
            ? read_state(source, options, xform.get())
            : nullptr;
    if (result == nullptr && PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
        Py_RETURN_NOTIMPLEMENTED;
    }
    return result;
}
