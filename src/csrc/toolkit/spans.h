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
        if (!records_.push(SpanRecord{parent, ordinal, key_start, key_end, start, start}))
            return -1;
        return records_.size() - 1;
    }
    void close(Py_ssize_t index, uint32_t end) noexcept
    {
        if (enabled_)
            records_[index].end = end;
    }
    SpanRecord &operator[](Py_ssize_t index) noexcept { return records_[index]; }
    Py_ssize_t size() const noexcept { return records_.size(); }

    // The records as a bytes object (6 native-endian uint32 each); NULL
    // with an exception on failure.
    PyObject *take() const
    {
        return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(records_.data()),
                                         records_.size() * (Py_ssize_t)sizeof(SpanRecord));
    }

private:
    Buffer<SpanRecord, 0> records_;
    bool enabled_ = false;
};

}  // namespace qv
