// toolkit/keys.h: the per-call cache of key strs.
//
//   qv::KeyCache keys;     // in the reader's context; releases its strs
//   PyObject *k = keys.get(strs, s, n, high);  // new reference, or NULL + exception
//
// A key that repeats (the same n bytes) gets the same str object again:
// one compare instead of a decode, and dicts get keys whose hash is known.
// The cache keeps a pointer to the bytes, so s must stay valid for the
// call: pass runs of the document itself, not scratch buffers.  Keys
// longer than kMaxLen bytes are made afresh every time.  `high` is as for
// StrMaker::make.
//
//   qv::DictShapes shapes;          // in the reader's context, beside the keys
//   PyObject *shape = shapes.find(first_key, &plain);  // borrowed, or NULL
//   qv::DictShapes::key(shape, i)   // its i-th key; size(shape) keys in all
//   k = qv::DictShapes::match_key(shape, i, t, avail);  // plain keys: by bytes
//   shape = shapes.other(shape, i, key, &plain);  // one that begins alike, or NULL
//   d = qv::DictShapes::unshaped(shape, values, n);  // its first n keys, inserted
//   PyObject *d = shapes.fill(shape, values);   // new dict, or NULL + exception
//   PyObject *d = shapes.close(shape, n, values);  // an object's end: fill, or insert and remember
//   shapes.remember(d, n);          // d, built of n members, may be a shape
//   qv::ShapedObject<Stack> obj(shapes, items);  // one object read along them:
//   obj.follow(key); obj.add(key, value); ... d = obj.close();
//
// The caller holds a reference to the shape it follows (a nested object
// may push it out of the cache).
// Documents repeat the keys of their objects in the same order (the records
// of a list).  A dict built by inserting the same key objects in the same
// order always gets the same table, so once one such dict is built, the
// next is its table copied (PyDict_Copy clones a str-keyed table as it is)
// with the new values put in: no look-up, no growth of the table, and the
// dict takes exactly the room the inserting build gives it.  Only where the
// table's layout is known (QV_DICT_TABLE); elsewhere find() finds nothing.
#pragma once

#include "dict.h"
#include "hash.h"
#include "str.h"
#include "table.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace qv {

class KeyCache {
public:
    static constexpr Py_ssize_t kMaxLen = 64;

    KeyCache() noexcept = default;
    KeyCache(const KeyCache &) = delete;
    KeyCache &operator=(const KeyCache &) = delete;
    ~KeyCache()
    {
        // While the table is the first one, the slots taken are listed in
        // the order taken: releasing them costs what the call used, not a
        // scan of the whole bitmap (most calls read a few keys).
        if (table_.capacity() == kFirstSlots) {
            for (size_t i = 0; i < table_.count(); i++)
                Py_DECREF(table_.at(taken_[i]).str);
        } else {
            table_.for_each_used([](Slot &slot) { Py_DECREF(slot.str); });
        }
    }

    PyObject *get(StrMaker &strs, const char *s, Py_ssize_t n, bool high)
    {
        if (n > kMaxLen)
            return strs.make(s, n, high);
        Words w = words_of(s, n);
        uint64_t h = hash_of(w, s, n);
        size_t at = table_.home(h);
        for (Py_ssize_t i = 0; i < kProbes; i++, at = table_.next(at)) {
            if (!table_.used(at))
                return add(strs, s, n, high, w, h, at);
            const Slot &slot = table_.at(at);
            if (slot.len == n && slot.w.head == w.head && slot.w.tail == w.tail &&
                (n <= 16 || same_middle(slot.src, s, n))) {
                Py_INCREF(slot.str);
                return slot.str;
            }
        }
        return add(strs, s, n, high, w, h, table_.home(h));
    }

private:
    // The first table lives in the cache object itself (no allocation for
    // documents of up to 256 distinct keys) and grows by the table's rule
    // up to a size that holds the keys of most real documents.  Keys are
    // looked for in kProbes slots from home.  The cache object is large
    // (about 20 KB): it belongs in a reader's per-call context, not in
    // anything copied.
    static constexpr size_t kFirstSlots = 512;
    static constexpr size_t kMaxSlots = 2048;
    static constexpr Py_ssize_t kProbes = 8;

    struct Slot {
        Words w;
        const char *src;  // the key's bytes; valid for the call
        Py_ssize_t len;
        PyObject *str;    // owned
    };

    // Whether the bytes between the first and the last word of two keys of
    // n > 16 bytes are the same.  Up to 32 bytes they lie within the second
    // word and the one before the last (which may overlap): two compares
    // and no call for the keys of most documents.
    static bool same_middle(const char *a, const char *b, Py_ssize_t n)
    {
        if (load64(a + 8) != load64(b + 8) || load64(a + n - 16) != load64(b + n - 16))
            return false;
        return n <= 32 || std::memcmp(a + 16, b + 16, (size_t)(n - 32)) == 0;
    }

    static uint64_t hash_of_slot(const Slot &slot) { return hash_of(slot.w, slot.src, slot.len); }

    // The first free slot near home, or home itself when there is none.
    size_t free_near(uint64_t h) const
    {
        size_t at = table_.home(h);
        for (Py_ssize_t i = 0; i < kProbes; i++, at = table_.next(at)) {
            if (!table_.used(at))
                return at;
        }
        return table_.home(h);
    }

    // Stores a new key at `target`: the first free slot near home, or home
    // itself when there is none.  Once full grown, a key that finds no free
    // slot near home takes the home slot over.
    __attribute__((noinline)) PyObject *add(StrMaker &strs, const char *s, Py_ssize_t n,
                                            bool high, Words w, uint64_t h, size_t target)
    {
        PyObject *key = strs.make(s, n, high);
        if (!key)
            return nullptr;
        if (table_.full() && table_.capacity() < kMaxSlots) {
            if (!table_.grow(hash_of_slot)) {
                Py_DECREF(key);
                return nullptr;
            }
            target = free_near(h);
        }
        Slot &slot = table_.at(target);
        if (table_.used(target)) {
            Py_DECREF(slot.str);
        } else {
            // Past the first table the list is not read: no test here.
            taken_[table_.count() % (kFirstSlots / 2)] = (uint16_t)target;
            table_.take(target);
        }
        Py_INCREF(key);
        slot = {w, s, n, key};
        return key;
    }

    HashTable<Slot, kFirstSlots> table_;
    // The slots taken in the first table, in order (it grows before it
    // holds more than half of them); never zeroed, count() says how many
    // hold entries.  Once the table has grown the list is left stale.
    uint16_t taken_[kFirstSlots / 2];
};

class DictShapes {
public:
    DictShapes() noexcept = default;
    DictShapes(const DictShapes &) = delete;
    DictShapes &operator=(const DictShapes &) = delete;
    ~DictShapes()
    {
        // Only the live sets hold shapes; a small document has few or none,
        // so the walk goes by the bits rather than over all the sets.
        for (uint64_t left = live_; left; left &= left - 1) {
            size_t i = (size_t)__builtin_ctzll(left);
            for (size_t w = 0; w < kWays; w++)
                Py_XDECREF(sets_[i][w].shape);
        }
    }

#ifdef QV_DICT_TABLE
    // The shape last used or remembered for objects whose first key is
    // `first` (the same object), or NULL; *plain tells whether its keys can
    // be matched by their bytes (see match_key).
    PyObject *find(PyObject *first, bool *plain) const
    {
        if (!live(index(first)))
            return nullptr;
        const Way *set = sets_[index(first)];
        for (size_t w = 0; w < kWays; w++) {
            if (set[w].first == first) {
                *plain = set[w].plain;
                return set[w].shape;
            }
        }
        return nullptr;
    }

    // Records whose keys differ now and then (an optional member) have a
    // few shapes that begin alike.  Another shape than `shape` with the
    // same first i keys whose key i is `key`, or with `key` NULL whose size
    // is i; NULL when there is none.
    PyObject *other(PyObject *shape, Py_ssize_t i, PyObject *next, bool *plain) const
    {
        PyObject *first = key(shape, 0);
        const Way *set = sets_[index(first)];
        for (size_t w = 0; w < kWays; w++) {
            PyObject *s = set[w].shape;
            if (set[w].first != first || s == shape)
                continue;
            Py_ssize_t m = size(s);
            if (next ? m <= i || key(s, i) != next : m != i)
                continue;
            Py_ssize_t k = 1;
            while (k < i && key(s, k) == key(shape, k))
                k++;
            if (k >= i) {
                *plain = set[w].plain;
                return s;
            }
        }
        return nullptr;
    }
    // With shape's keys plain: the length of its i-th key when the `avail`
    // bytes at t begin with that key's bytes and a closing quote, else -1.
    // A plain key holds no byte that would end or escape a string, so the
    // string there is exactly that key: the reader takes it as it is,
    // without a decode or a look-up in the key cache.
    static Py_ssize_t match_key(PyObject *shape, Py_ssize_t i, const char *t, Py_ssize_t avail)
    {
        PyObject *k = key(shape, i);
        Py_ssize_t n = PyUnicode_GET_LENGTH(k);
        if (avail <= n || t[n] != '"' || !same_bytes(t, static_cast<const char *>(PyUnicode_DATA(k)), n))
            return -1;
        return n;
    }
    static Py_ssize_t size(PyObject *shape) { return PyDict_GET_SIZE(shape); }
    static PyObject *key(PyObject *shape, Py_ssize_t i) { return entries(shape)[2 * i]; }

    // A dict of shape's first n keys and values[0, n), inserted in their
    // order as a reader that never followed the shape would have built it
    // (for an object that left its shape); the values stay the caller's.
    static PyObject *unshaped(PyObject *shape, PyObject *const *values, Py_ssize_t n)
    {
        PyObject *dict = PyDict_New();
        for (Py_ssize_t i = 0; dict && i < n; i++) {
            if (PyDict_SetItem(dict, key(shape, i), values[i]) < 0)
                Py_CLEAR(dict);
        }
        return dict;
    }

    // The dict of an object of n members read along `shape` (which the
    // caller holds) with values[0, n), taking the references to the values
    // (also on failure): a copy of the shape of that size that begins with
    // the same keys, or else the members inserted in their order, and that
    // dict then kept as a shape.
    PyObject *close(PyObject *shape, Py_ssize_t n, PyObject *const *values)
    {
        bool plain;
        if (size(shape) != n) {
            if (PyObject *same = other(shape, n, nullptr, &plain))
                shape = same;
        }
        if (size(shape) == n)
            return fill(shape, values);
        PyObject *dict = unshaped(shape, values, n);
        for (Py_ssize_t i = 0; i < n; i++)
            Py_DECREF(values[i]);
        if (dict)
            remember(dict, n);
        return dict;
    }

    // A dict of shape's keys and values[0, n), n the shape's size, taking
    // the references to the values (also on failure).  Tracked by the
    // collector when a value may hold others, as inserting them would.
    PyObject *fill(PyObject *shape, PyObject *const *values)
    {
        Py_ssize_t n = size(shape);
        PyObject *dict = PyDict_Copy(shape);
        if (dict == nullptr) {
            for (Py_ssize_t i = 0; i < n; i++)
                Py_DECREF(values[i]);
            return nullptr;
        }
        PyObject **e = entries(dict) + 1;
        bool track = false;
        for (Py_ssize_t i = 0; i < n; i++) {
            PyObject *old = e[2 * i];  // None, from the shape
            e[2 * i] = values[i];
            track |= may_hold_others(values[i]);
            Py_DECREF(old);
        }
        if (track)
            PyObject_GC_Track(dict);
        // The shape last used is the one found first.
        Way *set = sets_[index(key(shape, 0))];
        for (size_t w = 1; w < kWays && set[0].shape != shape; w++) {
            if (set[w].shape == shape) {
                Way used = set[w];
                for (; w > 0; w--)
                    set[w] = set[w - 1];
                set[0] = used;
                break;
            }
        }
        return dict;
    }

    // Keeps the table of dict (built by inserting n members, from empty) as
    // the shape of the objects whose first key is its first key.  A dict
    // whose keys repeat is not kept (its values are not one per member),
    // nor any copy whose table is not the same as dict's.  Failing to keep
    // one only costs the next object its copy: no exception is left.
    void remember(PyObject *dict, Py_ssize_t n)
    {
        if (n == 0 || n > kMaxKeys || PyDict_GET_SIZE(dict) != n || !combined_unicode(dict))
            return;
        // Kept only once a second object has begun with the same key: the
        // one-off objects of a small document (most of a configuration
        // file's) are not copied for nothing.
        size_t bit = hash_pointer(entries(dict)[0]) & (kSeenBits - 1);
        uint64_t seen = uint64_t{1} << (bit & 63);
        if (!(seen_[bit >> 6] & seen)) {
            seen_[bit >> 6] |= seen;
            return;
        }
        Ref shape(PyDict_Copy(dict));
        if (!shape) {
            PyErr_Clear();
            return;
        }
        if (!combined_unicode(shape.get()) || !same_table(dict, shape.get()))
            return;
        PyObject **e = entries(shape.get());
        for (Py_ssize_t i = 0; i < n; i++) {
            PyObject *old = e[2 * i + 1];
            e[2 * i + 1] = Py_NewRef(Py_None);
            Py_DECREF(old);
        }
        // Copies of a tracked dict are tracked: the shape is not, so that
        // each copy is tracked only by its own values.
        if (PyObject_GC_IsTracked(shape.get()))
            PyObject_GC_UnTrack(shape.get());
        bool plain = true;
        for (Py_ssize_t i = 0; i < n && plain; i++)
            plain = is_plain(e[2 * i]);
        // In front of its set, the set's least recently used shape dropped.
        size_t at = index(e[0]);
        Way *set = sets_[at];
        if (!live(at)) {
            for (size_t w = 0; w < kWays; w++)
                set[w] = {};
            live_ |= uint64_t{1} << at;
        }
        Py_XDECREF(set[kWays - 1].shape);
        for (size_t w = kWays - 1; w > 0; w--)
            set[w] = set[w - 1];
        set[0] = {e[0], shape.release(), plain};
    }
#else
    PyObject *find(PyObject *, bool *plain) const
    {
        *plain = false;
        return nullptr;
    }
    PyObject *other(PyObject *, Py_ssize_t, PyObject *, bool *) const { return nullptr; }
    static Py_ssize_t match_key(PyObject *, Py_ssize_t, const char *, Py_ssize_t) { return -1; }
    static Py_ssize_t size(PyObject *) { return 0; }
    static PyObject *key(PyObject *, Py_ssize_t) { return nullptr; }
    static PyObject *unshaped(PyObject *, PyObject *const *, Py_ssize_t) { return nullptr; }
    PyObject *fill(PyObject *, PyObject *const *) { return nullptr; }
    void remember(PyObject *, Py_ssize_t) {}
    PyObject *close(PyObject *, Py_ssize_t, PyObject *const *) { return nullptr; }
#endif

private:
    static constexpr size_t kSets = 64;
    static constexpr size_t kWays = 4;
    static constexpr Py_ssize_t kMaxKeys = 1024;

    struct Way {
        PyObject *first;  // the shape's first key (it holds the reference)
        PyObject *shape;  // owned: the keys, each value None
        bool plain;       // every key ASCII, without quote, backslash or control byte
    };

    // Whether a key's bytes are the document's bytes of a string of it.
    static bool is_plain(PyObject *key)
    {
        if (!PyUnicode_IS_ASCII(key))
            return false;
        auto d = static_cast<const unsigned char *>(PyUnicode_DATA(key));
        for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(key); i < n; i++) {
            if (d[i] < 0x20 || d[i] == '"' || d[i] == '\\')
                return false;
        }
        return true;
    }

    // Whether n bytes at a and b are the same: words that may overlap,
    // never reading outside the n bytes.
    static bool same_bytes(const char *a, const char *b, Py_ssize_t n)
    {
        if (n >= 8) {
            for (Py_ssize_t i = 0; i + 8 < n; i += 8) {
                if (load64(a + i) != load64(b + i))
                    return false;
            }
            return load64(a + n - 8) == load64(b + n - 8);
        }
        if (n >= 4) {
            uint32_t x, y, z, w;
            std::memcpy(&x, a, 4);
            std::memcpy(&y, b, 4);
            std::memcpy(&z, a + n - 4, 4);
            std::memcpy(&w, b + n - 4, 4);
            return x == y && z == w;
        }
        for (Py_ssize_t i = 0; i < n; i++) {
            if (a[i] != b[i])
                return false;
        }
        return true;
    }

    static size_t index(PyObject *first) { return hash_pointer(first) & (kSets - 1); }
    bool live(size_t i) const { return (live_ >> i) & 1; }

#ifdef QV_DICT_TABLE
    static DictTable *table(PyObject *dict)
    {
        return reinterpret_cast<DictTable *>(reinterpret_cast<PyDictObject *>(dict)->ma_keys);
    }
    // A table of str keys (kind 1), not split, whose entries are (key, value).
    static bool combined_unicode(PyObject *dict)
    {
        return reinterpret_cast<PyDictObject *>(dict)->ma_values == nullptr &&
               table(dict)->kind == 1;
    }
    static PyObject **entries(PyObject *dict)
    {
        DictTable *t = table(dict);
        return reinterpret_cast<PyObject **>(t->indices + ((size_t)1 << t->log2_index_bytes));
    }
    // Whether b's table is a copy of a's: the same size, room, slots and
    // keys in the same order.
    static bool same_table(PyObject *a, PyObject *b)
    {
        DictTable *x = table(a), *y = table(b);
        if (x == y || x->log2_size != y->log2_size ||
            x->log2_index_bytes != y->log2_index_bytes || x->usable != y->usable ||
            x->nentries != y->nentries ||
            std::memcmp(x->indices, y->indices, (size_t)1 << x->log2_index_bytes) != 0)
            return false;
        PyObject **ea = entries(a), **eb = entries(b);
        for (Py_ssize_t i = 0; i < x->nentries; i++) {
            if (ea[2 * i] != eb[2 * i])
                return false;
        }
        return true;
    }
#endif

    // A set is cleared when a shape first goes into it (live_ has its bit
    // from then on): a call that reads a few objects clears a few words,
    // not the 6 KB of every set.
    static_assert(kSets <= 64, "one bit of live_ a set");
    static constexpr size_t kSeenBits = 256;
    uint64_t live_ = 0;
    uint64_t seen_[kSeenBits / 64] = {};  // first keys seen, by a hash of their address
    Way sets_[kSets][kWays];
};

// One object of a document read along the shapes: while its keys are, one
// for one, those of a shape, only its values are kept (on the reader's
// item stack, above where they began); an object that begins with no
// shape, or leaves its shape for none other, keeps its keys and values
// there and is made at its end by dict_of_pairs (a repeated key keeping
// its first place and taking the last value).  The reader reads member
// n's key and hands it to follow() (or, where match_key() finds the
// shape's own key by its bytes, hands nothing), then the value to add(),
// and at the end takes close()'s dict.  Whatever is still on the stack is
// dropped when it goes out of scope.
template <class Stack>
class ShapedObject {
public:
    // Without `shared_keys` (a reader that makes each key afresh, whose
    // keys no shape can hold) the shapes are not looked at.
    ShapedObject(DictShapes &shapes, Stack &items, bool shared_keys = true) noexcept
        : shapes_(shapes), items_(items), base_(items.size()), shared_keys_(shared_keys)
    {
    }
    ShapedObject(const ShapedObject &) = delete;
    ShapedObject &operator=(const ShapedObject &) = delete;
    ~ShapedObject() { items_.drop(base_); }

    // Whether the next key may be matched by its bytes (a plain shape
    // with keys left).
    bool may_match() const noexcept
    {
        return shape_ && plain_ && n_ < DictShapes::size(shape_.get());
    }
    // The length of the next key when the `avail` bytes at t (past its
    // opening quote) are the shape's next key and a closing quote, else -1.
    Py_ssize_t match_key(const char *t, Py_ssize_t avail) const
    {
        return DictShapes::match_key(shape_.get(), n_, t, avail);
    }

    // The next member's key, read: the object's shape from its first key,
    // another shape that begins alike where the key is not its shape's, or
    // no shape, the members so far then kept as (key, value) pairs.  false
    // on an error.
    __attribute__((always_inline)) bool follow(PyObject *key)
    {
        if (n_ == 0) {
            if (!shared_keys_)
                return true;
            if (PyObject *found = shapes_.find(key, &plain_))
                shape_.reset(Py_NewRef(found));
            return true;
        }
        PyObject *shape = shape_.get();
        if (!shape || (n_ < DictShapes::size(shape) && DictShapes::key(shape, n_) == key))
            return true;
        if (PyObject *other = shapes_.other(shape, n_, key, &plain_)) {
            shape_.reset(Py_NewRef(other));
            return true;
        }
        return leave_shape();
    }

    // The member's value (its reference taken; NULL for a failed read),
    // under `key` (NULL for a matched key, which only a shape takes).
    // false on an error.
    __attribute__((always_inline)) bool add(PyObject *key, PyObject *value)
    {
        if (!value)
            return false;
        n_++;
        if (shape_)
            return items_.push_owned(value);
        if (!items_.push_owned(Py_NewRef(key))) {
            Py_DECREF(value);
            return false;
        }
        return items_.push_owned(value);
    }

    // The object's dict, or NULL with an exception; for an object of one
    // member or more (the reader makes an empty one itself).
    PyObject *close()
    {
        PyObject *const *items = items_.data() + base_;
        PyObject *closed = shape_ ? shapes_.close(shape_.get(), n_, items)
                                  : dict_of_pairs(items, n_);
        items_.set_size(base_);  // both took the references
        if (closed && !shape_ && shared_keys_)
            shapes_.remember(closed, n_);
        return closed;
    }

private:
    // The object's keys are no shape's: the values read along its shape so
    // far become (key, value) pairs in place.  false on an error.
    __attribute__((noinline)) bool leave_shape()
    {
        if (!items_.reserve(n_))
            return false;
        PyObject *shape = shape_.get();
        PyObject **items = items_.data() + base_;
        for (Py_ssize_t i = n_ - 1; i >= 0; i--) {
            items[2 * i + 1] = items[i];
            items[2 * i] = Py_NewRef(DictShapes::key(shape, i));
        }
        items_.set_size(base_ + 2 * n_);
        shape_.reset();
        return true;
    }

    DictShapes &shapes_;
    Stack &items_;
    Py_ssize_t base_;
    bool shared_keys_;
    Ref shape_;  // held: a nested object may push it out of the cache
    bool plain_ = false;
    Py_ssize_t n_ = 0;
};

}  // namespace qv
