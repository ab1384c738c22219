// toolkit/buffer.h: one growable array, owned by its scope.
//
//   qv::Buffer<char, 256> b;       // the first 256 elements live inline
//   if (!b.append(s, n)) return -1; // false: MemoryError is set
//   if (!b.push('x')) return -1;
//   if (!b.reserve(n)) return -1;  // room for n more; then write at b.end()
//   b.set_size(b.size() + k);      // after writing k elements at end()
//   b.data(), b.size(), b[i], b.clear()
//
// Elements are trivially copyable: they are moved by memcpy and never
// destroyed.  A Buffer of PyObject * leaves the references to its user;
// qv::RefStack is the one that owns them.  Growth doubles and is checked
// against overflow; the heap block is freed with the buffer.  A Buffer is
// neither copied nor moved, since data() may point into the object itself:
// it lives in a reader's context or on the stack.  Hold offsets into it,
// never pointers, across anything that may append.
//
// qv::grown_capacity(len, cap, extra, least, limit) is that growth rule for
// other buffers (the writers' output).
//
// qv::copy_short(dst, src, n) copies the few bytes of a key or path
// segment with overlapping word moves instead of a call;
// qv::copy_upto16(dst, src, n) is its part for n <= 16, always inlined,
// for a writer's hot path that knows the bound.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace qv {

// The capacity a buffer of len elements and capacity cap grows to for
// extra more: doubled from at least `least`; -1, with MemoryError set,
// when len + extra would pass `limit` (kept low enough that doubling
// cannot overflow).
inline Py_ssize_t grown_capacity(Py_ssize_t len, Py_ssize_t cap, Py_ssize_t extra,
                                 Py_ssize_t least, Py_ssize_t limit)
{
    if (extra < 0 || extra > limit - len) {
        PyErr_NoMemory();
        return -1;
    }
    Py_ssize_t need = len + extra;
    Py_ssize_t grown = cap < least ? least : cap;
    while (grown < need)
        grown *= 2;
    return grown;
}

__attribute__((always_inline)) inline void copy_upto16(char *dst, const char *src, Py_ssize_t n)
{
    if (n >= 8) {
        uint64_t a, b;
        std::memcpy(&a, src, 8);
        std::memcpy(&b, src + n - 8, 8);
        std::memcpy(dst, &a, 8);
        std::memcpy(dst + n - 8, &b, 8);
    } else if (n >= 4) {
        uint32_t x, y;
        std::memcpy(&x, src, 4);
        std::memcpy(&y, src + n - 4, 4);
        std::memcpy(dst, &x, 4);
        std::memcpy(dst + n - 4, &y, 4);
    } else {
        for (Py_ssize_t i = 0; i < n; i++)
            dst[i] = src[i];
    }
}

inline void copy_short(char *dst, const char *src, Py_ssize_t n)
{
    if (n > 32) {
        std::memcpy(dst, src, (size_t)n);
    } else if (n >= 16) {
        uint64_t a, b, c, d;
        std::memcpy(&a, src, 8);
        std::memcpy(&b, src + 8, 8);
        std::memcpy(&c, src + n - 16, 8);
        std::memcpy(&d, src + n - 8, 8);
        std::memcpy(dst, &a, 8);
        std::memcpy(dst + 8, &b, 8);
        std::memcpy(dst + n - 16, &c, 8);
        std::memcpy(dst + n - 8, &d, 8);
    } else {
        copy_upto16(dst, src, n);
    }
}

template <typename T, Py_ssize_t N = 0>
class Buffer {
    static_assert(std::is_trivially_copyable_v<T>, "elements are moved by memcpy");

public:
    Buffer() noexcept = default;
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    ~Buffer() { if (data_ != local_) std::free(data_); }

    T *data() noexcept { return data_; }
    const T *data() const noexcept { return data_; }
    T *end() noexcept { return data_ + len_; }
    Py_ssize_t size() const noexcept { return len_; }
    Py_ssize_t capacity() const noexcept { return cap_; }
    T &operator[](Py_ssize_t i) noexcept { return data_[i]; }
    const T &operator[](Py_ssize_t i) const noexcept { return data_[i]; }
    void clear() noexcept { len_ = 0; }
    // n at most capacity(): the elements up to it have been written.
    void set_size(Py_ssize_t n) noexcept { len_ = n; }

    // Room for `extra` more elements; false with MemoryError set.
    bool reserve(Py_ssize_t extra)
    {
        return extra <= cap_ - len_ || grow(extra);
    }
    bool push(const T &x)
    {
        if (len_ == cap_ && !grow(1))
            return false;
        data_[len_++] = x;
        return true;
    }
    bool append(const T *src, Py_ssize_t n)
    {
        if (!reserve(n))
            return false;
        if constexpr (sizeof(T) == 1)
            copy_short(reinterpret_cast<char *>(data_ + len_),
                       reinterpret_cast<const char *>(src), n);
        else if (n)
            std::memcpy(data_ + len_, src, (size_t)n * sizeof(T));
        len_ += n;
        return true;
    }

private:
    // Sizes stay far enough below the limit that doubling cannot overflow.
    static constexpr Py_ssize_t kMaxSize = PY_SSIZE_T_MAX / (Py_ssize_t)sizeof(T) / 4;

    __attribute__((noinline)) bool grow(Py_ssize_t extra)
    {
        Py_ssize_t cap = grown_capacity(len_, cap_, extra, 32, kMaxSize);
        if (cap < 0)
            return false;
        T *grown;
        if (data_ == local_) {
            grown = static_cast<T *>(std::malloc((size_t)cap * sizeof(T)));
            if (grown != nullptr && len_ > 0)
                std::memcpy(grown, data_, (size_t)len_ * sizeof(T));
        } else {
            grown = static_cast<T *>(std::realloc(data_, (size_t)cap * sizeof(T)));
        }
        if (grown == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        data_ = grown;
        cap_ = cap;
        return true;
    }

    T local_[N > 0 ? N : 1];
    T *data_ = local_;
    Py_ssize_t len_ = 0;
    Py_ssize_t cap_ = N;
};

// A stack of owned references: what is still on it when it goes out of
// scope is released.  take(base) hands the references above base to a new
// list.  The first N live in the stack itself (RefStackOf<64> keeps a
// small document's items off the heap).
template <int N>
class RefStackOf : public Buffer<PyObject *, N> {
public:
    ~RefStackOf() { drop(0); }
    // Takes the reference to item, also on failure.
    bool push_owned(PyObject *item)
    {
        if (this->push(item))
            return true;
        Py_DECREF(item);
        return false;
    }
    // Releases the references above base.
    void drop(Py_ssize_t base)
    {
        while (this->size() > base) {
            this->set_size(this->size() - 1);
            Py_DECREF(*this->end());
        }
    }
    // A list of the references above base, which it takes over; NULL with
    // an exception (and the references released) on failure.
    PyObject *take(Py_ssize_t base)
    {
        Py_ssize_t n = this->size() - base;
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
        // PyList_New(n) zeroes the n slots (calloc) that are written at
        // once here.  On the interpreters whose lists keep their slots in a
        // PyMem block of `allocated` slots, freed with PyMem_Free, an empty
        // list is given such a block, uncleared: the same list, the same
        // room.
        if (n > 0) {
            if ((size_t)n > PY_SSIZE_T_MAX / sizeof(PyObject *)) {
                drop(base);
                PyErr_NoMemory();
                return nullptr;
            }
            auto **slots = static_cast<PyObject **>(PyMem_Malloc((size_t)n * sizeof(PyObject *)));
            if (slots == nullptr) {
                drop(base);
                PyErr_NoMemory();
                return nullptr;
            }
            PyObject *list = PyList_New(0);
            if (list == nullptr) {
                PyMem_Free(slots);
                drop(base);
                return nullptr;
            }
            std::memcpy(slots, this->data() + base, (size_t)n * sizeof(PyObject *));
            auto *op = reinterpret_cast<PyListObject *>(list);
            op->ob_item = slots;
            op->allocated = n;
            Py_SET_SIZE(op, n);
            this->set_size(base);
            return list;
        }
#endif
        PyObject *list = PyList_New(n);
        if (list == nullptr) {
            drop(base);
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < n; i++)
            PyList_SET_ITEM(list, i, (*this)[base + i]);
        this->set_size(base);
        return list;
    }
};

using RefStack = RefStackOf<0>;

}  // namespace qv
