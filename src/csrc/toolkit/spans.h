// toolkit/spans.h: where each key and value of a tree was written.
//
// A reader asked for spans (quorvane.loads_with_spans) records one fixed
// record per value, in the same pass that builds the tree, and hands the
// records back as one bytes object beside the tree: offsets only, no
// Python object per value.  The package turns a record into a Span when a
// caller asks for that path.
//
//   qv::SpanTable spans;                // disabled: every call is a no-op
//   spans.enable();
//   if (!spans.fits(len)) return ...;  // false: ValueError set
//   Py_ssize_t root = spans.open(qv::kNoSpan, 0, qv::kNoSpan, qv::kNoSpan, start);
//   Py_ssize_t r = spans.open(parent, ordinal, key_start, key_end, start);
//   if (r < 0) return ...;              // MemoryError set
//   spans.close(r, end);                // the value's end, once it is known
//   spans[r].start = ...;               // a reader may move a span it made
//   PyObject *bytes = spans.take();     // the records as native uint32s
//
// A record is (parent, ordinal, key_start, key_end, start, end):
// - parent: the index of the container's record (kNoSpan for the root,
//   which is record 0);
// - ordinal: the child's place in the container of the finished tree: its
//   index in a list, or its place in a dict's order;
// - key_start, key_end: the key as written (kNoSpan, kNoSpan for array
//   items and the root);
// - start, end: the value as written, end exclusive.
// Offsets are bytes of the reader's UTF-8 text.  When two records name the
// same (parent, ordinal) the later one holds (a repeated key whose last
// value wins keeps the first one's place in the dict).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "buffer.h"

namespace qv {

inline constexpr uint32_t kNoSpan = 0xFFFFFFFFu;

struct SpanRecord {
    uint32_t parent, ordinal, key_start, key_end, start, end;
};

class SpanTable {
public:
    SpanTable() = default;
    SpanTable(const SpanTable &) = delete;
    SpanTable &operator=(const SpanTable &) = delete;
    ~SpanTable() { Py_XDECREF(bytes_); }

    bool enabled() const noexcept { return enabled_; }
    void enable() noexcept { enabled_ = true; }

    // Offsets are 32-bit: a longer document cannot have spans.
    bool fits(Py_ssize_t len) const
    {
        if (!enabled_ || len < (Py_ssize_t)kNoSpan)
            return true;
        PyErr_SetString(PyExc_ValueError, "document too large to record spans (4 GiB or more)");
        return false;
    }

    // The index of a new record, whose end is set by close(); -1 with
    // MemoryError set.  Disabled: 0, and nothing is recorded.
    Py_ssize_t open(uint32_t parent, uint32_t ordinal, uint32_t key_start, uint32_t key_end,
                    uint32_t start)
    {
        if (!enabled_)
            return 0;
        if (size_ == cap_ && !grow(size_ + 1))
            return -1;
        records()[size_] = SpanRecord{parent, ordinal, key_start, key_end, start, start};
        return size_++;
    }
    void close(Py_ssize_t index, uint32_t end) noexcept
    {
        if (enabled_)
            records()[index].end = end;
    }
    SpanRecord &operator[](Py_ssize_t index) noexcept { return records()[index]; }
    Py_ssize_t size() const noexcept { return size_; }

    // The records as a bytes object (6 native-endian uint32 each), handed
    // over: the records are written into that object from the start, so a
    // large document's table is never copied.  NULL with an exception.
    PyObject *take()
    {
        if (bytes_ == nullptr)
            return PyBytes_FromStringAndSize(nullptr, 0);
        if (_PyBytes_Resize(&bytes_, size_ * (Py_ssize_t)sizeof(SpanRecord)) < 0)
            return nullptr;  // bytes_ is NULL and freed
        PyObject *taken = bytes_;
        bytes_ = nullptr;
        size_ = cap_ = 0;
        return taken;
    }

private:
    // Far enough below the limit that doubling cannot overflow.
    static constexpr Py_ssize_t kMaxRecords = PY_SSIZE_T_MAX / (Py_ssize_t)sizeof(SpanRecord) / 4;

    SpanRecord *records() noexcept
    {
        return reinterpret_cast<SpanRecord *>(PyBytes_AS_STRING(bytes_));
    }

    __attribute__((noinline)) bool grow(Py_ssize_t need)
    {
        Py_ssize_t cap = grown_capacity(0, cap_, need, 64, kMaxRecords);
        if (cap < 0)
            return false;
        Py_ssize_t bytes = cap * (Py_ssize_t)sizeof(SpanRecord);
        if (bytes_ == nullptr) {
            bytes_ = PyBytes_FromStringAndSize(nullptr, bytes);
            if (bytes_ == nullptr)
                return false;
        } else if (_PyBytes_Resize(&bytes_, bytes) < 0) {
            size_ = cap_ = 0;  // bytes_ is NULL and freed
            return false;
        }
        cap_ = cap;
        return true;
    }

    PyObject *bytes_ = nullptr;  // the records, in a bytes object of cap_ records
    Py_ssize_t size_ = 0, cap_ = 0;
    bool enabled_ = false;
};

}  // namespace qv
