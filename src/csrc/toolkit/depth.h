// toolkit/depth.h: the one nesting guard of every reader that nests.
//
//   qv::DepthGuard depth;          // in the reader's per-call context
//   if (!depth.enter())            // one level deeper, or false
//       return ctx->fail("max depth exceeded");  // the reader's own message
//   ... read the nested value ...
//   depth.leave();
//   if (depth.scalars_pass()) ...  // enter() one level down would pass, no look at the stack
//
//   qv::RecursionGuard rec;        // the writers': Py_EnterRecursiveCall
//   if (!rec.enter(" while writing TOML"))  // and the stack's room;
//       return false;              // RecursionError set
//   ...; rec.leave();
//
// enter() refuses the level past kMaxDepth (512), and any level at which
// the calling thread's stack has less than kStackMargin bytes left: a
// thread started with a small stack (threading.stack_size) reaches its
// end long before 512 levels of recursive descent, and the reader must
// fail there with its own error instead of overrunning the stack.  The
// stack is looked at every kCheckEvery levels only, and its bounds are
// read once per guard (so once per call), the first time: a document that
// nests less than kCheckEvery levels never pays for it.  Where the bounds
// cannot be read, the level limit alone applies.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <pthread.h>

namespace qv {

// The room left on the calling thread's stack, its bounds read once, the
// first time they are asked for.
class StackRoom {
public:
    // The margin covers the levels between two looks at the stack (about
    // 600 bytes each for the deepest frames of a reader, inline tables; a
    // writer's under AddressSanitizer are larger, some 2 KiB) and what the
    // innermost level still calls: the interpreter's number and string
    // constructors, strtod_l, raising the error with its formatted
    // message.  Measured: a thread of 48 KiB, whose margin is half of it
    // (24 KiB), still ends every reader's 511 levels cleanly; 64 KiB is
    // headroom over that.  The smallest stack threading allows, 32 KiB,
    // is spent before the first look at level 16.
    static constexpr size_t kStackMargin = 64 * 1024;
    static constexpr int kCheckEvery = 16;  // a power of two

    // Whether the stack below this frame still holds kStackMargin bytes.
    // Stacks grow downwards on every platform the module is built for.
    __attribute__((noinline)) bool enough() noexcept
    {
        if (floor_ == 0)
            floor_ = read_floor();
        char here;
        return floor_ == kUnknown || (uintptr_t)&here > floor_;
    }

private:
    static uintptr_t read_floor() noexcept
    {
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) != 0)
            return kUnknown;
        void *low = nullptr;
        size_t size = 0;
        int rc = pthread_attr_getstack(&attr, &low, &size);
        pthread_attr_destroy(&attr);
        if (rc != 0 || low == nullptr)
            return kUnknown;
        // A stack smaller than twice the margin keeps half of itself free.
        return (uintptr_t)low + (size / 2 < kStackMargin ? size / 2 : kStackMargin);
    }

    static constexpr uintptr_t kUnknown = 1;  // no bounds: the limit alone
    uintptr_t floor_ = 0;  // lowest address a level may start at; 0 until read
};

class DepthGuard {
public:
    static constexpr int kMaxDepth = 512;
    static constexpr int kCheckEvery = StackRoom::kCheckEvery;

    DepthGuard() noexcept = default;
    DepthGuard(const DepthGuard &) = delete;
    DepthGuard &operator=(const DepthGuard &) = delete;

    bool enter() noexcept
    {
        if (++depth_ > kMaxDepth)
            return false;
        if ((depth_ & (kCheckEvery - 1)) == 0)
            return room_.enough();
        return true;
    }
    void leave() noexcept { depth_--; }
    int depth() const noexcept { return depth_; }
    // Whether enter() one level down from here passes without a look at
    // the stack: a reader may then read scalars there without entering.
    bool scalars_pass() const noexcept
    {
        return depth_ + 1 <= kMaxDepth && ((depth_ + 1) & (kCheckEvery - 1)) != 0;
    }

private:
    StackRoom room_;
    int depth_ = 0;
};

// The writers' guard: the interpreter's recursion limit, as the writers
// people trust have it (a RecursionError), and a RecursionError as well
// where the thread's stack runs short before that limit: the limit counts
// calls, not bytes, and a writer's C frames are larger than the
// interpreter's own.
//
// Py_EnterRecursiveCall looks the thread state up on every call (a
// thread-local lookup through the dynamic linker, most of its cost).  On
// the interpreters whose counter is known (3.11 to 3.13) the guard looks
// it up once and counts on it directly while the budget is above zero,
// where the interpreter's own check cannot fire; at zero and below it
// calls Py_EnterRecursiveCall, so the error, its message and the level it
// comes at stay the interpreter's.  Leaving is the interpreter's own
// increment.
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
#define QV_RECURSION_BUDGET recursion_remaining
#elif PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000
#define QV_RECURSION_BUDGET c_recursion_remaining
#endif
class RecursionGuard {
public:
    RecursionGuard() noexcept = default;
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;

    // One level deeper, or false with RecursionError set.
    bool enter(const char *where) noexcept
    {
#ifdef QV_RECURSION_BUDGET
        if (thread_ == nullptr)
            thread_ = PyThreadState_Get();
        if (thread_->QV_RECURSION_BUDGET > 0)
            thread_->QV_RECURSION_BUDGET--;
        else if (Py_EnterRecursiveCall(where))
            return false;
#else
        if (Py_EnterRecursiveCall(where))
            return false;
#endif
        if ((++depth_ & (StackRoom::kCheckEvery - 1)) == 0 && !room_.enough()) {
            leave();
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
            return false;
        }
        return true;
    }
    void leave() noexcept
    {
        depth_--;
#ifdef QV_RECURSION_BUDGET
        thread_->QV_RECURSION_BUDGET++;
#else
        Py_LeaveRecursiveCall();
#endif
    }

private:
    StackRoom room_;
    int depth_ = 0;
#ifdef QV_RECURSION_BUDGET
    PyThreadState *thread_ = nullptr;  // the caller's, looked up at the first level
#endif
};

}  // namespace qv
