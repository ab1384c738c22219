// INI parser: one line-oriented pass into a two-level dict of str.
//
// Sections are dicts in the root; key/value lines before the first header go
// into the root itself.  Values are never typed, unescaped or interpolated;
// every error points at the end of the offending line.
#include "quorvane.h"
#include "toolkit/toolkit.h"

#include <cstring>

namespace {

// pos is the start of the line being read; its end on an error.
class IniCtx : public qv::Cursor<qv::PositionError> {
public:
    IniCtx(const char *text, Py_ssize_t len) : Cursor(text, len) {}

    qv::StrMaker strs;
};

// Space, tab and carriage return; a line feed ends lines and is never blank.
inline bool ini_is_ws(char c) { return c == ' ' || c == '\t' || c == '\r'; }

struct IniSpan {
    Py_ssize_t start, end;
};

// The value part of a line: white space trimmed from both ends, then one
// pair of matching outer quotes removed.  Inner bytes stay as written.
IniSpan ini_trim_value(const char *s, Py_ssize_t len)
{
    Py_ssize_t start = 0, end = len;
    while (start < end && ini_is_ws(s[start]))
        start++;
    while (end > start && ini_is_ws(s[end - 1]))
        end--;
    if (end - start >= 2 && s[start] == s[end - 1] &&
        (s[start] == '"' || s[start] == '\'')) {
        start++;
        end--;
    }
    return {start, end};
}

// `[name]`: opens a new section or reopens an existing one.
int ini_parse_section_header(IniCtx *ctx, PyObject *root, qv::Ref &current,
                             Py_ssize_t i, Py_ssize_t line_end)
{
    const char *text = ctx->text;
    Py_ssize_t j = i + 1;
    while (j < line_end && ini_is_ws(text[j]))
        j++;
    if (j >= line_end)
        return ctx->fail_at(line_end, "unterminated section header");
    Py_ssize_t name_start = j;
    const void *close = std::memchr(text + name_start, ']', (size_t)(line_end - name_start));
    if (close == nullptr)
        return ctx->fail_at(line_end, "unterminated section header");
    Py_ssize_t name_end = static_cast<const char *>(close) - text;
    Py_ssize_t k = name_end + 1;
    while (k < line_end && ini_is_ws(text[k]))
        k++;
    if (k != line_end)
        return ctx->fail_at(line_end, "unexpected content after section header");

    // White space before the `]` belongs to the name.
    qv::Ref sec(ctx->strs.make(text + name_start, name_end - name_start));
    if (!sec)
        return -1;
    PyObject *section = qv::child_dict(root, sec.get());
    if (section == nullptr)
        return -1;
    // The name may already be taken by a key written before the first
    // header; a section can never live under a str value.
    if (!PyDict_CheckExact(section))
        return ctx->fail_at(line_end, "section name conflicts with a key");
    current.reset(Py_NewRef(section));
    return 0;
}

// `key = value` or `key: value`: the first `=` or `:` separates the two.
int ini_parse_key_value(IniCtx *ctx, PyObject *current, Py_ssize_t i,
                        Py_ssize_t line_end)
{
    const char *text = ctx->text;
    Py_ssize_t eq = i;
    while (eq < line_end && text[eq] != '=' && text[eq] != ':')
        eq++;
    if (eq == line_end)
        return ctx->fail_at(line_end, "expected '=' or ':' in key-value line");
    Py_ssize_t key_end = eq;
    while (key_end > i && ini_is_ws(text[key_end - 1]))
        key_end--;
    if (key_end <= i)
        return ctx->fail_at(line_end, "empty key");

    qv::Ref key(ctx->strs.make(text + i, key_end - i));
    if (!key)
        return -1;
    const char *raw = text + eq + 1;
    IniSpan v = ini_trim_value(raw, line_end - eq - 1);
    // Made with its length, so a NUL inside the value is kept like any byte.
    qv::Ref value(ctx->strs.make(raw + v.start, v.end - v.start));
    if (!value)
        return -1;
    return PyDict_SetItem(current, key.get(), value.get());
}

// One line from ctx->pos to line_end (exclusive).
int ini_parse_line(IniCtx *ctx, PyObject *root, qv::Ref &current, Py_ssize_t line_end)
{
    Py_ssize_t i = ctx->pos;
    while (i < line_end && ini_is_ws(ctx->text[i]))
        i++;
    if (i == line_end)
        return 0;  // blank
    char c = ctx->text[i];
    // `#` and `;` open a comment only as the first byte that is not blank.
    if (c == '#' || c == ';')
        return 0;
    if (c == '[')
        return ini_parse_section_header(ctx, root, current, i, line_end);
    return ini_parse_key_value(ctx, current.get(), i, line_end);
}

}  // namespace

QUORVANE_API PyObject *quorvane_parse_ini_text(const char *text, Py_ssize_t len)
{
    qv::Ref root(PyDict_New());
    if (!root)
        return nullptr;
    Py_INCREF(root.get());
    qv::Ref current(root.get());
    IniCtx ctx(text, len);

    while (ctx.pos < len) {
        const void *nl = std::memchr(text + ctx.pos, '\n', (size_t)(len - ctx.pos));
        Py_ssize_t line_end = nl ? static_cast<const char *>(nl) - text : len;
        if (ini_parse_line(&ctx, root.get(), current, line_end) < 0)
            return nullptr;
        if (line_end >= len)
            break;
        ctx.pos = line_end + 1;
    }
    return root.release();
}
