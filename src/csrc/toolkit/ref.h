// toolkit/ref.h: ownership of interpreter references.
//
//   qv::Ref r(PyDict_New());   // owns the reference; Py_XDECREF on scope exit
//   if (!r) return nullptr;    // explicit bool: holds something
//   r.get()                    // borrow it
//   r.release()                // hand the reference to the caller
//   r.reset(p)                 // take p, release what was held
//
// A Ref is move-only.  Every early return on an error path thus gives back
// what the reader held; no function needs a release ladder.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qv {

class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject *p) noexcept : p_(p) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref &operator=(Ref &&o) noexcept {
        if (this != &o) { reset(o.p_); o.p_ = nullptr; }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject *get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller.
    PyObject *release() noexcept { PyObject *p = p_; p_ = nullptr; return p; }
    void reset(PyObject *p = nullptr) noexcept {
        PyObject *old = p_;
        p_ = p;
        Py_XDECREF(old);
    }

private:
    PyObject *p_ = nullptr;
};

}  // namespace qv
