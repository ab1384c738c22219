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
#include "toolkit/dict.h"
#include "toolkit/out.h"
#include "toolkit/ref.h"

#include <cmath>
#include <cstdlib>

namespace {

// The per-item steps, inlined into the loops over a container's items.
#define QV_HOT __attribute__((always_inline)) inline
// The same for steps that hold a float's digits: out of line under
// AddressSanitizer, which gives every inlined local a guarded slot of its
// own in the frame.  The item loops run in the frames of the recursion,
// and those slots, repeated at every level, would end a deep tree long
// before json's RecursionError, which the writer meets at json's depth.
#if defined(__SANITIZE_ADDRESS__)
#define QV_HOT_DIGITS __attribute__((noinline))
#else
#define QV_HOT_DIGITS QV_HOT
#endif

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

// Text beyond ASCII without ensure_ascii.  Such a str is not written into
// the output, which stays ASCII, but noted with the place its text goes; the
// result is put together at the end in the width of the widest of them,
// each noted str's units copied from it, escaped.  Its text is thus neither
// written as UTF-8 nor decoded again.  (Only while everything else written
// is ASCII: separators and indents beyond ASCII take the UTF-8 way.)
class Spans {  // neither copied nor moved, as its Buffer
public:
    ~Spans()
    {
        for (Py_ssize_t i = 0; i < list_.size(); i++)
            Py_DECREF(list_[i].text);
    }

    bool empty() const noexcept { return list_.size() == 0; }

    // The str s, to go at byte `at` of the output.
    bool add(PyObject *s, Py_ssize_t at)
    {
        Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND:
            n += escapes(PyUnicode_1BYTE_DATA(s), n);
            break;
        case PyUnicode_2BYTE_KIND:
            n += escapes(PyUnicode_2BYTE_DATA(s), n);
            break;
        default:
            n += escapes(PyUnicode_4BYTE_DATA(s), n);
        }
        if (!list_.push(Span{at, Py_NewRef(s), n})) {
            Py_DECREF(s);
            return false;
        }
        units_ += n;
        Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(s);
        if (m > max_)
            max_ = m;
        return true;
    }

    // Forgets the strs noted at byte `at` or later (the output was cut back).
    void cut(Py_ssize_t at)
    {
        while (list_.size() > 0 && list_[list_.size() - 1].at >= at) {
            Span &last = list_[list_.size() - 1];
            units_ -= last.units;
            Py_DECREF(last.text);
            list_.set_size(list_.size() - 1);
        }
    }

    // The result: the ASCII output with the noted strs in their places.
    PyObject *join(const qv::Out &out)
    {
        PyObject *r = PyUnicode_New(out.size() + units_, max_);
        if (r == nullptr)
            return nullptr;
        const auto *text = reinterpret_cast<const unsigned char *>(out.data());
        switch (PyUnicode_KIND(r)) {
        case PyUnicode_1BYTE_KIND:
            fill(PyUnicode_1BYTE_DATA(r), text, out.size());
            break;
        case PyUnicode_2BYTE_KIND:
            fill(PyUnicode_2BYTE_DATA(r), text, out.size());
            break;
        default:
            fill(PyUnicode_4BYTE_DATA(r), text, out.size());
        }
        return r;
    }

private:
    struct Span {
        Py_ssize_t at;     // the output's byte the text goes at
        PyObject *text;    // held
        Py_ssize_t units;  // its length escaped
    };

    // What escaping a unit adds: 1 for a short escape, 5 for \u00XX.
    static int escape_extra(Py_UCS4 c)
    {
        if (c >= 0x80 || kJsonText.cls[c] == 0)
            return 0;
        return kJsonText.cls[c] == 'u' ? 5 : 1;
    }

#if defined(QV_SCAN_SSE2)
    // Which of the 16 bytes of v, units of a str's width, belong to a unit
    // to escape (a control, '"', '\\'); 0 when none.
    template <typename In>
    static unsigned escape_mask(__m128i v)
    {
        if constexpr (sizeof(In) == 1) {
            __m128i low = _mm_cmpeq_epi8(_mm_subs_epu8(v, _mm_set1_epi8(0x1F)), _mm_setzero_si128());
            return (unsigned)_mm_movemask_epi8(_mm_or_si128(
                low, _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')),
                                  _mm_cmpeq_epi8(v, _mm_set1_epi8('\\')))));
        } else if constexpr (sizeof(In) == 2) {
            __m128i low =
                _mm_cmpeq_epi16(_mm_subs_epu16(v, _mm_set1_epi16(0x1F)), _mm_setzero_si128());
            return (unsigned)_mm_movemask_epi8(_mm_or_si128(
                low, _mm_or_si128(_mm_cmpeq_epi16(v, _mm_set1_epi16('"')),
                                  _mm_cmpeq_epi16(v, _mm_set1_epi16('\\')))));
        } else {
            // Code points are below 2^31: a signed compare is an unsigned one.
            return (unsigned)_mm_movemask_epi8(_mm_or_si128(
                _mm_cmplt_epi32(v, _mm_set1_epi32(0x20)),
                _mm_or_si128(_mm_cmpeq_epi32(v, _mm_set1_epi32('"')),
                             _mm_cmpeq_epi32(v, _mm_set1_epi32('\\')))));
        }
    }

    // 16 bytes of a str's units as units of a width at least theirs.
    template <typename Unit, typename In>
    static void store_units(Unit *dst, __m128i v)
    {
        if constexpr (sizeof(Unit) == sizeof(In)) {
            _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), v);
        } else if constexpr (sizeof(In) == 1) {
            qv::Out::widen(dst, v);
        } else {
            __m128i zero = _mm_setzero_si128();
            _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), _mm_unpacklo_epi16(v, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 4), _mm_unpackhi_epi16(v, zero));
        }
    }
#endif

    // How many units the escapes of a str's text add.
    template <typename In>
    static Py_ssize_t escapes(const In *s, Py_ssize_t n)
    {
        Py_ssize_t extra = 0, i = 0;
#if defined(QV_SCAN_SSE2)
        constexpr Py_ssize_t kBlock = 16 / sizeof(In);
        for (; n - i >= kBlock; i += kBlock) {
            if (escape_mask<In>(_mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i))) == 0)
                continue;
            for (Py_ssize_t j = i; j < i + kBlock; j++)
                extra += escape_extra(s[j]);
        }
#endif
        for (; i < n; i++)
            extra += escape_extra(s[i]);
        return extra;
    }

    // The ASCII output's bytes as units.
    template <typename Unit>
    static Unit *ascii_units(Unit *dst, const unsigned char *text, Py_ssize_t n)
    {
        if constexpr (sizeof(Unit) == 1) {
            std::memcpy(dst, text, (size_t)n);
            return dst + n;
        } else {
            Py_ssize_t i = 0;
#if defined(QV_SCAN_SSE2)
            for (; n - i >= 16; i += 16)
                qv::Out::widen(dst + i, _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + i)));
            // The last few within a block that ends where the text does.
            if (i < n && n >= 16) {
                qv::Out::widen(dst + n - 16,
                               _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + n - 16)));
                i = n;
            }
#endif
            for (; i < n; i++)
                dst[i] = text[i];
            return dst + n;
        }
    }

    template <typename Unit>
    void fill(Unit *dst, const unsigned char *text, Py_ssize_t size)
    {
        Py_ssize_t done = 0;
        for (Py_ssize_t i = 0; i < list_.size(); i++) {
            const Span &span = list_[i];
            dst = ascii_units(dst, text + done, span.at - done);
            done = span.at;
            PyObject *s = span.text;
            Py_ssize_t n = PyUnicode_GET_LENGTH(s);
            switch (PyUnicode_KIND(s)) {
            case PyUnicode_1BYTE_KIND:
                dst = escaped(dst, PyUnicode_1BYTE_DATA(s), n);
                break;
            case PyUnicode_2BYTE_KIND:
                dst = escaped(dst, PyUnicode_2BYTE_DATA(s), n);
                break;
            default:
                dst = escaped(dst, PyUnicode_4BYTE_DATA(s), n);
            }
        }
        ascii_units(dst, text + done, size - done);
    }

    template <typename Unit>
    static Unit *escaped_unit(Unit *dst, Py_UCS4 c)
    {
        uint8_t e = c < 0x80 ? kJsonText.cls[c] : 0;
        if (e == 0) {
            *dst++ = (Unit)c;
        } else if (e != 'u') {
            dst[0] = '\\';
            dst[1] = e;
            dst += 2;
        } else {
            dst[0] = '\\';
            dst[1] = 'u';
            dst[2] = '0';
            dst[3] = '0';
            dst[4] = qv::kHexLower[c >> 4];
            dst[5] = qv::kHexLower[c & 15];
            dst += 6;
        }
        return dst;
    }

    // A str's text as JSON writes it without ensure_ascii, in units at
    // least as wide as its own.
    template <typename Unit, typename In>
    static Unit *escaped(Unit *dst, const In *s, Py_ssize_t n)
    {
        if constexpr (sizeof(Unit) < sizeof(In)) {
            return dst;  // never: the result is as wide as its widest str
        } else {
            Py_ssize_t i = 0;
#if defined(QV_SCAN_SSE2)
            constexpr Py_ssize_t kBlock = 16 / sizeof(In);
            for (; n - i >= kBlock; i += kBlock) {
                __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
                if (escape_mask<In>(v) == 0) {
                    store_units<Unit, In>(dst, v);
                    dst += kBlock;
                } else {
                    for (Py_ssize_t j = i; j < i + kBlock; j++)
                        dst = escaped_unit(dst, s[j]);
                }
            }
#endif
            for (; i < n; i++)
                dst = escaped_unit(dst, s[i]);
            return dst;
        }
    }

    qv::Buffer<Span, 16> list_;
    Py_ssize_t units_ = 0;
    Py_UCS4 max_ = 0x7F;
};

// The text member() writes for the str keys of a call, by the key's
// address: a parsed tree holds one str for all the occurrences of a key
// (the readers, json's among them, share them), so that a member of a list
// of records is written with one copy instead of the escape checks.  The
// address names the same str only while no Python code has run in the
// call: until then the tree is as it was, and every key in it alive.
struct KeyCache {
    static constexpr size_t kSlots = 512;
    // The quoted key and the key separator (at most 34 + 8 bytes), their
    // length in the last byte.
    static constexpr size_t kText = 48;
    static size_t slot(uintptr_t a)
    {
        // Objects are 16-byte aligned.  Higher bits mixed in, so that keys
        // at the same place of two allocator pools seldom meet: on the
        // trees of twitter.json, 0.94 of its keys hit on average over
        // layouts (0.86 with the nine bits above the alignment alone).
        return (a >> 4 ^ a >> 13) & (kSlots - 1);
    }
    // The text of the key in `slot` at p, where there is room for kText
    // bytes; the end of the text.
    char *write(size_t slot, char *p) const
    {
        copy(p, text[slot]);
        return p + (unsigned char)text[slot][kText - 1];
    }
    // The key at address a, just written from p to end with its separator.
    // A key is noted the first time it is met and its text kept the
    // second: a dict of keys met once each (ids, names) then costs a store
    // per key, not the copy, whose reading of the bytes just written waits
    // for them.
    // False for a key met the first time.
    bool note(size_t slot, uintptr_t a, const char *p, const char *end)
    {
        if (key[slot] != (a | 1)) {
            key[slot] = a | 1;
            return false;
        }
        key[slot] = a;
        copy(text[slot], p);
        text[slot][kText - 1] = (char)(end - p);
        return true;
    }
    // An entry's text in fixed moves (a memcpy of 48 bytes may become a
    // `rep movs`, whose start costs more than the escape checks saved).
    static void copy(char *dst, const char *src)
    {
#if defined(QV_SCAN_SSE2)
        static_assert(kText == 48, "three blocks");
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 16));
        __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 32));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), a);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 16), b);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 32), c);
#else
        std::memcpy(dst, src, kText);
#endif
    }
    uintptr_t key[kSlots];  // the key's address; with the low bit set, met once
    char text[kSlots][kText];
};
struct KeyCacheOwner {
    KeyCache *cache = nullptr;
    KeyCacheOwner() = default;
    KeyCacheOwner(const KeyCacheOwner &) = delete;
    KeyCacheOwner &operator=(const KeyCacheOwner &) = delete;
    ~KeyCacheOwner() { std::free(cache); }
};

class JsonWriter {
public:
    explicit JsonWriter(const Options &o)
        : opt_(o), table_(o.ensure_ascii ? &kJsonAscii : &kJsonText), item_sep_(o.item_sep),
          key_sep_(o.key_sep), flat_item_sep_(item_sep_.n > 0 && o.indent == nullptr),
          spans_on_(!o.ensure_ascii && PyUnicode_IS_ASCII(o.item_sep) &&
                    PyUnicode_IS_ASCII(o.key_sep) &&
                    (o.indent == nullptr || PyUnicode_IS_ASCII(o.indent)))
    {
    }

    PyObject *write(PyObject *obj)
    {
        // json's writer is an object called through tp_call, which takes a
        // level of the recursion budget for the whole writing; on 3.11,
        // whose budget counts Python frames too, json's way there has one
        // frame more than this module's (encode() calls iterencode()).
        // Taken here, so that the RecursionError comes at json's depth.
        constexpr int kCallerLevels = PY_VERSION_HEX < 0x030C0000 ? 2 : 1;
        int taken = 0;
        bool ok = true;
        while (ok && taken < kCallerLevels) {
            ok = recursion_.enter(" while calling a Python object");
            taken += ok;
        }
        ok = ok && value(obj, 0);
        for (; taken > 0; taken--)
            recursion_.leave();
        if (!ok)
            return nullptr;
        return spans_.empty() ? out_.take_str() : spans_.join(out_);
    }

private:
    // The exact types of a parsed tree that hold nothing: 1 written, 0 on
    // an error, -1 for anything else.  Writing them runs no Python code.
    // kInRoom: Out::kShortRoom bytes are reserved already.
    template <bool kInRoom = false>
    QV_HOT int leaf(PyObject *o)
    {
        PyTypeObject *type = Py_TYPE(o);
        if (type == &PyUnicode_Type)
            return string<kInRoom>(o);
        if (type == &PyLong_Type)
            return out_.int_repr<kInRoom>(o);
        if (type == &PyFloat_Type) {
            // A finite float's digits inline where the room is reserved:
            // a call per float, and its saving of registers, is a tenth of
            // a float's writing.
            double d = PyFloat_AS_DOUBLE(o);
            if (kInRoom && std::isfinite(d))
                return out_.float_repr_inlined<true>(d);
            return number<kInRoom>(o);
        }
        if (kInRoom) {
            if (o == Py_None)
                return out_.lit_in_room("null"), 1;
            if (o == Py_True)
                return out_.lit_in_room("true"), 1;
            if (o == Py_False)
                return out_.lit_in_room("false"), 1;
            return -1;
        }
        if (o == Py_None)
            return out_.lit("null");
        if (o == Py_True)
            return out_.lit("true");
        if (o == Py_False)
            return out_.lit("false");
        return -1;
    }

    // What leaf<true>() writes of a str, int or float that leaf_at() has
    // left (wide ints, floats that are not finite, long or escaped text).
    QV_HOT_DIGITS int leaf_out_of_line(PyObject *o) { return leaf<true>(o); }
    // A float's digits at p (floats in a row go two at a time through
    // float_pair_at(), out of line).
    QV_HOT_DIGITS static char *float_at(double d, char *p)
    {
        return p + qv::float_repr_inline(d, p);
    }
    // Whether leaf_at() may have turned the object down for its value (a
    // str, int or float it leaves to leaf()), not for its type.
    static bool leaf_at_type(PyObject *o)
    {
        PyTypeObject *type = Py_TYPE(o);
        return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type;
    }
    // What leaf<true>() writes, at the caller's cursor, for the leaves
    // written inline: the end of the text, or nullptr with nothing written
    // for anything else, which leaf() and nonleaf() write.  (The cursor
    // is passed and returned, never by reference: a cursor whose address
    // is taken gets a slot of its own in every frame of the recursion.)
    QV_HOT char *leaf_at(PyObject *o, char *p)
    {
        PyTypeObject *type = Py_TYPE(o);
        if (type == &PyUnicode_Type)
            return qv::Out::quoted_short_at(p, o, *table_, '"');
        if (type == &PyLong_Type)
            return qv::Out::int_at(p, o);
        if (type == &PyFloat_Type) {
            double d = PyFloat_AS_DOUBLE(o);
            return std::isfinite(d) ? float_at(d, p) : nullptr;
        }
        // The words in fixed moves of five bytes (within kShortRoom).
        if (o == Py_None)
            return std::memcpy(p, "null", 5), p + 4;
        if (o == Py_True)
            return std::memcpy(p, "true", 5), p + 4;
        if (o == Py_False)
            return std::memcpy(p, "false", 5), p + 5;
        return nullptr;
    }

    bool value(PyObject *o, int level)
    {
        int done = leaf(o);
        return done >= 0 ? done : nonleaf(o, level);
    }

    // What value() writes for an object leaf() has already turned down:
    // the containers' items come here straight from their own leaf() test.
    bool nonleaf(PyObject *o, int level)
    {
        PyTypeObject *type = Py_TYPE(o);
        if (type == &PyDict_Type)
            return nested_object(o, level);
        if (type == &PyList_Type)
            return nested_array(o, level);
        if (PyUnicode_Check(o))
            return string(o);
        if (PyLong_Check(o))
            return out_.int_repr(o);
        if (PyFloat_Check(o))
            return number(o);
        if (PyList_Check(o) || PyTuple_Check(o))
            return nested_array(o, level);
        if (PyDict_Check(o))
            return nested_object(o, level);
        return converted(o, level);
    }

    // Short ASCII text, most keys and values, inline; the rest out of line.
    template <bool kInRoom = false>
    QV_HOT bool string(PyObject *s)
    {
        int done = out_.quoted_short<kInRoom>(s, *table_, '"');
        return done >= 0 ? done : any_string(s);
    }
    __attribute__((noinline)) bool any_string(PyObject *s)
    {
        if (opt_.ensure_ascii)
            return out_.quoted<true>(s, kJsonAscii);
        if (spans_on_ && !PyUnicode_IS_ASCII(s))
            return out_.put('"') && spans_.add(s, out_.size()) && out_.put('"');
        return out_.quoted<false>(s, kJsonText);
    }

    // A float as json writes it: its repr, or the JavaScript names.  Out
    // of the item loops, which recurse: the digits' room stays out of
    // every level's frame.
    template <bool kInRoom = false>
    __attribute__((noinline)) bool number(PyObject *f)
    {
        double d = PyFloat_AS_DOUBLE(f);
        if (std::isfinite(d))
            return out_.float_repr_inlined<kInRoom>(d);
        if (!opt_.allow_nan) {
#if PY_VERSION_HEX < 0x030C0000
            PyErr_SetString(PyExc_ValueError, "Out of range float values are not JSON compliant");
#else
            PyErr_Format(PyExc_ValueError, "Out of range float values are not JSON compliant: %R", f);
#endif
            return false;
        }
        if (d > 0)
            return out_.lit("Infinity");
        if (d < 0)
            return out_.lit("-Infinity");
        return out_.lit("NaN");
    }

    // A container one level deeper: the recursion limit first, as json.
    template <bool (JsonWriter::*kBody)(PyObject *, int)>
    bool nested(PyObject *o, int level)
    {
        if (!recursion_.enter(" while encoding a JSON object"))
            return false;
        bool ok = (this->*kBody)(o, level);
        recursion_.leave();
        return ok;
    }
    bool nested_array(PyObject *o, int level) { return nested<&JsonWriter::array>(o, level); }
    bool nested_object(PyObject *o, int level) { return nested<&JsonWriter::object>(o, level); }

    // With check_circular, the containers being written, outermost first,
    // and whether one is among the first `n` of them.  A checked entry
    // carries a filter of 64 bits, one per container up to it, set from
    // bits of its address: a container whose bit is clear in the filter is
    // not there, and the path is scanned only when it is set.  The filter
    // is made when the entry is checked (the entries before it are checked
    // by then: each holds the next one as an item that is not a leaf); an
    // entry never checked, a container of leaves, costs nothing for it.
    struct PathEntry {
        PyObject *o;
        uint64_t filter;  // the bits of the entries up to this one; all set until checked
    };
    static uint64_t filter_bit(PyObject *o)
    {
        auto a = reinterpret_cast<uintptr_t>(o);
        return (uint64_t)1 << ((a >> 4 ^ a >> 10) & 63);
    }
    // Whether o is among the first n entries; the filter of those and o.
    bool seen(PyObject *o, Py_ssize_t n, uint64_t *filter)
    {
        const PathEntry *p = path_.data();
        uint64_t bit = filter_bit(o), before = n > 0 ? p[n - 1].filter : 0;
        *filter = before | bit;
        if ((before & bit) == 0)
            return false;
        for (Py_ssize_t i = 0; i < n; i++) {
            if (p[i].o == o) {
                PyErr_SetString(PyExc_ValueError, "Circular reference detected");
                return true;
            }
        }
        return false;
    }
    // A container met again inside itself is an error when it is entered.
    // An exact list or dict (unsorted) is looked for on the path only when
    // the first of its items that is not a leaf comes, before that item is
    // written, and not at all when all are leaves: while no Python code has
    // run in this call, the tree is as it was at the start, and a container
    // met again holds the way back to itself (an item that is not a leaf),
    // after the leaves its first visit has already written without error;
    // nothing else happens meanwhile.  Once Python code has run (a default
    // hook, a subclass's items() or iteration, a sort) every container is
    // looked for as it is entered.  `*checked` says whether it has been.
    bool enter(PyObject *o, bool lazy, bool *checked)
    {
        *checked = !opt_.check_circular || !lazy || ran_python_;
        if (!opt_.check_circular)
            return true;
        uint64_t filter = ~(uint64_t)0;
        if (*checked && seen(o, path_.size(), &filter))
            return false;
        return path_.push({o, filter});
    }
    bool check_late(PyObject *o, bool *checked)
    {
        if (*checked)
            return true;
        *checked = true;
        Py_ssize_t n = path_.size() - 1;
        return !seen(o, n, &path_[n].filter);
    }
    void leave()
    {
        if (opt_.check_circular)
            path_.set_size(path_.size() - 1);
    }

    // An item of a container: a leaf at once, anything else after the
    // container's late check, held while it is written (writing it may run
    // Python code that drops the container's reference to it).
    // (kLeafLists: a short list of leaves by leaf_list(), in the arrays'
    // loop, where lists of coordinates are met.)
    template <bool kInRoom = false, bool kLeafLists = false>
    QV_HOT bool item(PyObject *o, int level, PyObject *container, bool *checked)
    {
        int done = leaf<kInRoom>(o);
        if (done >= 0)
            return done;
        return not_leaf_item<kLeafLists>(o, level, container, checked);
    }
    // The same for an item leaf() has turned down.
    template <bool kLeafLists = false>
    QV_HOT bool not_leaf_item(PyObject *o, int level, PyObject *container, bool *checked)
    {
        if (!check_late(container, checked))
            return false;
        PyTypeObject *type = Py_TYPE(o);
        if (kLeafLists && type == &PyList_Type && (size_t)Py_SIZE(o) - 1 < kLeafListMost) {
            int written = leaf_list(o, level);
            if (written >= 0)
                return written;
        }
        qv::Ref held(Py_NewRef(o));
        // A parsed tree's containers without the call through nonleaf(),
        // a frame less per level; empty ones without the writers' frames.
        if (type == &PyDict_Type)
            return PyDict_GET_SIZE(o) == 0 ? empty("{}") : nested_object(o, level);
        if (type == &PyList_Type)
            return Py_SIZE(o) == 0 ? empty("[]") : nested_array(o, level);
        return nonleaf(o, level);
    }

    // An empty exact list or dict: its text, a level of the recursion
    // limit down, as the array and object writers write it.
    __attribute__((noinline)) bool empty(const char (&text)[3])
    {
        if (!recursion_.enter(" while encoding a JSON object"))
            return false;
        recursion_.leave();
        return out_.lit(text);
    }

    // A short exact list of leaves (coordinates, index pairs, a few ids),
    // written in one call without the array writer's frame, reference and
    // circular path: leaves run no Python code and hold nothing, so the
    // list is what it was and cannot be met again inside itself.  It is a
    // level of the recursion limit, as any list.  1 written, 0 on an error
    // (the one the array writer would raise first), -1 with nothing
    // written when an item is not a leaf: the array writer's turn, from
    // the start.
    static constexpr size_t kLeafListMost = 4;
    __attribute__((noinline)) int leaf_list(PyObject *list, int level)
    {
        (void)level;  // on one line: no indent
        if (!flat_item_sep_)
            return -1;
        if (!recursion_.enter(" while encoding a JSON object"))
            return 0;
        Py_ssize_t mark = out_.size();
        // A pair of finite floats (coordinates): both digits made before
        // either is written.
        if (PyList_GET_SIZE(list) == 2 && Py_IS_TYPE(PyList_GET_ITEM(list, 0), &PyFloat_Type)) {
            if (!out_.reserve(2 + 8 + 2 * qv::kFloatReprRoom)) {
                recursion_.leave();
                return 0;
            }
            char *p = float_pair_at(PyList_GET_ITEM(list, 0), PyList_GET_ITEM(list, 1),
                                    out_.end() + 1);
            if (p != nullptr) {
                recursion_.leave();
                out_.end()[0] = '[';
                *p++ = ']';
                out_.set_end(p);
                return 1;
            }
        }
        // '[' and the first item in one reservation, each further item
        // with its separator in one.
        int done = 0;
        if (out_.reserve(1 + qv::Out::kShortRoom)) {
            out_.lit_in_room("[");
            done = leaf<true>(PyList_GET_ITEM(list, 0));
        }
        for (Py_ssize_t i = 1; done > 0 && i < PyList_GET_SIZE(list); i++) {
            done = 0;
            if (out_.reserve(8 + qv::Out::kShortRoom)) {
                separator_in_room(item_sep_);
                done = leaf<true>(PyList_GET_ITEM(list, i));
            }
        }
        recursion_.leave();
        if (done < 0) {
            out_.truncate(mark);
            spans_.cut(mark);
            return -1;
        }
        return done > 0 && out_.put(']');
    }

    // Two finite floats and the item separator between them at the cursor,
    // in room for two items: both digits made before either is written,
    // so that the two chains of dependent multiplies run side by side
    // (where one after the other each waited on its own; canada.json's
    // coordinates about 15% sooner).  The end of the text, or nullptr with
    // nothing written for anything else.
    __attribute__((noinline)) char *float_pair_at(PyObject *x, PyObject *y, char *p)
    {
        if (!Py_IS_TYPE(x, &PyFloat_Type) || !Py_IS_TYPE(y, &PyFloat_Type))
            return nullptr;
        double a = PyFloat_AS_DOUBLE(x), b = PyFloat_AS_DOUBLE(y);
        if (!std::isfinite(a) || !std::isfinite(b))
            return nullptr;
        qv::FloatDigits da = qv::float_digits(a), db = qv::float_digits(b);
        p += qv::float_text(da, p);
        std::memcpy(p, item_sep_.bytes, 8);
        p += item_sep_.n;
        return p + qv::float_text(db, p);
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
    // A separator of up to 8 ASCII characters (", ", ",", ": ", ":" are
    // the usual ones) is written in one move; others as any str.
    struct Separator {
        PyObject *text;
        char bytes[8];
        Py_ssize_t n;  // 1 to 8, or 0 for another separator

        explicit Separator(PyObject *s) : text(s), bytes{}, n(0)
        {
            Py_ssize_t len = PyUnicode_GET_LENGTH(s);
            if (PyUnicode_IS_ASCII(s) && len >= 1 && len <= 8) {
                std::memcpy(bytes, PyUnicode_DATA(s), (size_t)len);
                n = len;
            }
        }
    };
    bool put_separator(const Separator &sep)
    {
        if (sep.n == 0)
            return out_.str(sep.text);
        if (!out_.reserve(8))
            return false;
        separator_in_room(sep);
        return true;
    }
    bool separator(int level)
    {
        return put_separator(item_sep_) && (opt_.indent == nullptr || newline(level));
    }
    // The separator before an item at `level` (none for the first) and
    // Out::kShortRoom bytes after it, in one reservation on one line.
    // (kRoom: the room after the separator, for a member's short key, its
    // separator and a short value.)
    template <Py_ssize_t kRoom = qv::Out::kShortRoom>
    QV_HOT bool separator_and_room(bool first, int level)
    {
        if (!out_.reserve(8 + kRoom))
            return false;
        if (first)
            return true;
        if (!flat_item_sep_)
            return separator(level) && out_.reserve(kRoom);
        separator_in_room(item_sep_);
        return true;
    }
    // A separator of Separator::n > 0 bytes where 8 are reserved.
    void separator_in_room(const Separator &sep)
    {
        char *p = out_.end();
        std::memcpy(p, sep.bytes, 8);
        out_.set_end(p + sep.n);
    }

    QV_HOT bool array(PyObject *seq, int level)
    {
        // A list is read as it is; a tuple or subclass through the
        // sequence it gives (a subclass's iteration may be Python code).
        qv::Ref held;
        PyObject *items = seq;
        if (!PyList_CheckExact(seq)) {
            if (!PyTuple_CheckExact(seq))
                python_may_run();
            held.reset(PySequence_Fast(seq, "_iterencode_list needs a sequence"));
            if (!held)
                return false;
            items = held.get();
        }
        if (PySequence_Fast_GET_SIZE(items) == 0)
            return out_.lit("[]");
        bool checked;
        if (!enter(seq, PyList_CheckExact(seq), &checked) || !out_.put('['))
            return false;
        int inner = level + 1;
        if (opt_.indent != nullptr && !newline(inner))
            return false;
        // The size is read afresh: a default hook may change the list.
        // (items is an exact list or tuple: both keep their size in
        // ob_size, and the test of which is made once.)
        bool list = PyList_CheckExact(items);
        if (flat_item_sep_) {
            if (!flat_items(items, list, inner, seq, &checked))
                return false;
        } else {
            for (Py_ssize_t i = 0; i < Py_SIZE(items); i++) {
                if (!separator_and_room(i == 0, inner))
                    return false;
                PyObject *o = list ? PyList_GET_ITEM(items, i) : PyTuple_GET_ITEM(items, i);
                if (!item<true, true>(o, inner, seq, &checked))
                    return false;
            }
        }
        leave();
        if (opt_.indent != nullptr && !newline(level))
            return false;
        return out_.put(']');
    }

    // The items of an array on one line, the leaves at a cursor held in a
    // register across them: the buffer's length is stored only around an
    // item written out of line.
    QV_HOT bool flat_items(PyObject *items, bool list, int level, PyObject *seq, bool *checked)
    {
        // Room for two items: floats are written two at a time.
        constexpr Py_ssize_t kRoom = 2 * (8 + qv::Out::kShortRoom);
        char *p = out_.end();
        for (Py_ssize_t i = 0; i < Py_SIZE(items); i++) {
            if (out_.room_end() - p < kRoom) {
                out_.set_end(p);
                if (!out_.reserve(kRoom))
                    return false;
                p = out_.end();
            }
            if (i > 0) {
                std::memcpy(p, item_sep_.bytes, 8);
                p += item_sep_.n;
            }
            PyObject *o = list ? PyList_GET_ITEM(items, i) : PyTuple_GET_ITEM(items, i);
            if (Py_IS_TYPE(o, &PyFloat_Type) && i + 1 < Py_SIZE(items)) {
                PyObject *next = list ? PyList_GET_ITEM(items, i + 1) : PyTuple_GET_ITEM(items, i + 1);
                if (char *q = float_pair_at(o, next, p)) {
                    p = q;
                    i++;
                    continue;
                }
            }
            if (char *q = leaf_at(o, p)) {
                p = q;
                continue;
            }
            out_.set_end(p);
            int done = leaf_at_type(o) ? leaf_out_of_line(o) : -1;
            if (done == 0 || (done < 0 && !not_leaf_item<true>(o, level, seq, checked)))
                return false;
            p = out_.end();
        }
        out_.set_end(p);
        return true;
    }

    QV_HOT bool object(PyObject *dict, int level)
    {
        if (PyDict_GET_SIZE(dict) == 0)
            return out_.lit("{}");
        bool plain = PyDict_CheckExact(dict) && !opt_.sort_keys;
        bool checked;
        if (!enter(dict, plain, &checked) || !out_.put('{'))
            return false;
        int inner = level + 1;
        if (opt_.indent != nullptr && !newline(inner))
            return false;
        bool first = true;
        if (!plain) {
            python_may_run();
            qv::Ref items(PyMapping_Items(dict));
            if (!items || (opt_.sort_keys && PyList_Sort(items.get()) < 0) ||
                !pairs(items.get(), 0, inner, &first, dict, &checked))
                return false;
        } else {
            if (keys_on_ == nullptr && keys_live_)
                keys_for(dict);
            keys_new_ = 0;  // counted for each dict
            qv::DictItems entries(dict);
#if PY_VERSION_HEX >= 0x030C0000
            // The table walked here while no Python code runs, its entries
            // a pointer apart; from the first that runs some (a default
            // hook, a subclass's items()), through next(), which reads the
            // table afresh at each step.
            PyObject **e;
            Py_ssize_t step, count;
            bool walked = false;
            if (!ran_python_ && entries.run(&e, &step, &count)) {
                Py_ssize_t i = 0;
                if (count >= kFlatMembersFrom && flat_item_sep_ && key_sep_.n > 0 &&
                    !flat_members(e, step, count, &i, inner, &first, dict, &checked))
                    return false;
                e += step * i;
                while (i < count && !ran_python_) {
                    PyObject *key = e[0], *val = e[1];
                    e += step;
                    i++;
                    if (val != nullptr && !member(key, val, inner, &first, dict, &checked))
                        return false;
                }
                walked = !ran_python_;
                entries.skip(i);
            }
#else
            constexpr bool walked = false;
#endif
            PyObject *k, *v;
            Py_ssize_t taken = 0;
            while (!walked && entries.next(&k, &v, ran_python_)) {
#if PY_VERSION_HEX < 0x030C0000
                // json on 3.11 writes a dict from the list of its items taken
                // as it starts, which a default hook's changes to the dict
                // do not reach: the list is taken before the first value
                // that may run one (the dict is unchanged until then).
                if (!is_leaf(v)) {
                    // Making the list may collect garbage, whose finalizers
                    // are Python code (3.11 collects as it allocates).
                    keys_live_ = false;
                    keys_on_ = nullptr;
                    qv::Ref items(PyMapping_Items(dict));
                    if (!items || !pairs(items.get(), taken, inner, &first, dict, &checked))
                        return false;
                    break;
                }
#endif
                if (!member(k, v, inner, &first, dict, &checked))
                    return false;
                taken++;
            }
        }
        leave();
        if (opt_.indent != nullptr && !newline(level))
            return false;
        return out_.put('}');
    }

    // The members of a dict's table on one line, walked while no Python
    // code runs, at a cursor held in a register across them (as
    // flat_items()): a short plain key, its separator and a leaf value
    // with no store of the buffer's length between.  *taken: the entries
    // walked; it stops at the first that Python code may have changed.
    // Out of line, it costs a call per dict: smaller tables (citm_catalog's
    // pairs and triples) go through member() in the caller's loop.
    static constexpr Py_ssize_t kFlatMembersFrom = 4;
    __attribute__((noinline)) bool flat_members(PyObject **e, Py_ssize_t step, Py_ssize_t count,
                                                Py_ssize_t *taken, int level, bool *first,
                                                PyObject *dict, bool *checked)
    {
        constexpr Py_ssize_t kRoom = 8 + 34 + 8 + qv::Out::kShortRoom;
        char *p = out_.end(), *room_end = out_.room_end();
        KeyCache *keys = keys_on_;  // read again after each item written out of line
        bool none_yet = *first;
        Py_ssize_t i = 0;
        while (i < count) {
            PyObject *key = e[0], *val = e[1];
            e += step;
            i++;
            if (val == nullptr)
                continue;
            if (room_end - p < kRoom) {
                out_.set_end(p);
                if (!out_.reserve(kRoom))
                    return false;
                p = out_.end();
                room_end = out_.room_end();
            }
            char *start = p;
            if (!none_yet) {
                std::memcpy(p, item_sep_.bytes, 8);
                p += item_sep_.n;
            }
            auto a = reinterpret_cast<uintptr_t>(key);
            size_t slot = KeyCache::slot(a);
            char *q = nullptr;
            if (keys != nullptr && keys->key[slot] == a)
                q = keys->write(slot, p);
            else if (Py_IS_TYPE(key, &PyUnicode_Type) &&
                     (q = qv::Out::quoted_short_at(p, key, *table_, '"')) != nullptr) {
                std::memcpy(q, key_sep_.bytes, 8);
                q += key_sep_.n;
                // Many keys met for the first time (a dict by ids or
                // names): off until the next dict starts, as in member().
                if (keys != nullptr && !keys->note(slot, a, p, q) && ++keys_new_ > kKeysNew)
                    keys = keys_on_ = nullptr;
            }
            if (q != nullptr) {
                p = q;
                none_yet = false;
                if ((q = leaf_at(val, p)) != nullptr) {
                    p = q;
                    continue;
                }
                out_.set_end(p);
                *first = false;
                int done = leaf_at_type(val) ? leaf_out_of_line(val) : -1;
                if (done == 0 || (done < 0 && !not_leaf_item(val, level, dict, checked)))
                    return false;
            } else {
                out_.set_end(start);
                *first = none_yet;
                if (!member(key, val, level, first, dict, checked))
                    return false;
                none_yet = *first;
            }
            p = out_.end();
            room_end = out_.room_end();
            keys = keys_on_;
            // From the first Python code that runs, the table is read
            // afresh at each step (the caller's loop).
            if (ran_python_)
                break;
        }
        out_.set_end(p);
        *first = none_yet;
        *taken = i;
        return true;
    }

    // The key cache for a dict, where it is off: on once a few members are
    // written while the keys' addresses name them (without the memory for
    // it, keys are written as they come), and again after a dict of keys
    // met once each turned it off.
    __attribute__((noinline)) void keys_for(PyObject *dict)
    {
        if (keys_.cache != nullptr) {
            keys_on_ = keys_.cache;
            return;
        }
        if ((keys_wait_ -= PyDict_GET_SIZE(dict)) >= 0)
            return;
        auto *cache = static_cast<KeyCache *>(std::malloc(sizeof(KeyCache)));
        if (cache != nullptr)
            std::memset(cache->key, 0, sizeof cache->key);
        keys_.cache = cache;
        keys_on_ = cache;
    }

    // The members from a list of (key, value) pairs, from `start` on.
    bool pairs(PyObject *items, Py_ssize_t start, int level, bool *first, PyObject *dict,
               bool *checked)
    {
        for (Py_ssize_t i = start; i < PyList_GET_SIZE(items); i++) {
            PyObject *pair = PyList_GET_ITEM(items, i);
            if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
                PyErr_SetString(PyExc_ValueError, "items must return 2-tuples");
                return false;
            }
            if (!member(PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1), level, first, dict,
                        checked))
                return false;
        }
        return true;
    }

#if PY_VERSION_HEX < 0x030C0000
    // What leaf() writes, told without writing it.
    static bool is_leaf(PyObject *o)
    {
        PyTypeObject *type = Py_TYPE(o);
        return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type ||
               o == Py_None || o == Py_True || o == Py_False;
    }
#endif

    // A key and its value.  The key's writing runs no Python code, so the
    // key needs no reference of its own; the value is held by item().
    QV_HOT bool member(PyObject *key, PyObject *val, int level, bool *first, PyObject *dict,
                       bool *checked)
    {
        // The room for the separator, a short key (quoted_short() writes at
        // most 34 bytes), the key separator and a short value, reserved
        // once when the key is short.
        constexpr Py_ssize_t kShortKey = 34;
        static_assert(kShortKey + 8 < KeyCache::kText &&
                          KeyCache::kText <= kShortKey + 8 + qv::Out::kShortRoom,
                      "a cached key and its separator are copied whole into the room");
        Py_ssize_t mark = out_.size();
        if (!separator_and_room<kShortKey + 8 + qv::Out::kShortRoom>(*first, level))
            return false;
        bool in_room = false;
        if (PyUnicode_Check(key)) {
            KeyCache *keys = keys_on_;
            if (keys == nullptr) {
                in_room = out_.quoted_short<true>(key, *table_, '"') > 0;
            } else {
                auto a = reinterpret_cast<uintptr_t>(key);
                size_t slot = KeyCache::slot(a);
                char *p = out_.end();
                if (keys->key[slot] == a) {
                    out_.set_end(keys->write(slot, p));
                    goto value;
                }
                in_room = out_.quoted_short<true>(key, *table_, '"') > 0;
                if (in_room) {
                    separator_in_room(key_sep_);
                    // Many keys met for the first time (a dict by ids or
                    // names): off until the next dict starts.
                    if (!keys->note(slot, a, p, out_.end()) && ++keys_new_ > kKeysNew)
                        keys_on_ = nullptr;
                    goto value;
                }
            }
            if (!in_room && !any_string(key))
                return false;
        } else if (!key_text(key)) {
            if (PyErr_Occurred())
                return false;
            out_.truncate(mark);  // skipped
            spans_.cut(mark);
            return true;
        }
        if (key_sep_.n == 0) {
            *first = false;
            return out_.str(key_sep_.text) && item(val, level, dict, checked);
        }
        // The key separator and a short value, in one reservation.
        if (!in_room && !out_.reserve(8 + qv::Out::kShortRoom))
            return false;
        separator_in_room(key_sep_);
    value:
        *first = false;
        return item<true>(val, level, dict, checked);
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
        bool checked;
        if (!enter(o, false, &checked))
            return false;
        if (opt_.deflt == nullptr) {
            refuse(o);
            return false;
        }
        python_may_run();
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

    const Options opt_;
    const qv::EscapeTable *table_;
    Separator item_sep_, key_sep_;
    const bool flat_item_sep_;  // the item separator is short and ends no line
    qv::Out out_;
    const bool spans_on_;  // strs beyond ASCII noted in spans_, not written
    Spans spans_;
    qv::RecursionGuard recursion_;
    qv::Buffer<PathEntry, 32> path_;
    bool ran_python_ = false;  // whether Python code may have run in this call
    void python_may_run()
    {
        ran_python_ = true;
        keys_live_ = false;
        keys_on_ = nullptr;
    }
    // The cache of keys' text, from the first dict that may use it (none
    // before, and with a key separator that is not short).
    KeyCacheOwner keys_;
    KeyCache *keys_on_ = nullptr;  // the cache, where it is on
    // Whether the addresses still name the keys (and the key separator is
    // one the cache can hold).
    bool keys_live_ = key_sep_.n > 0;
    // The keys met for the first time since the cache was last turned on.
    static constexpr Py_ssize_t kKeysNew = 32;
    Py_ssize_t keys_new_ = 0;
    // The members written before the cache starts: a small tree is written
    // sooner without.
    Py_ssize_t keys_wait_ = 64;
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
