// Ownership of interpreter references.
//
// - `OwnedRef` holds one strong reference and drops it when it goes. It is made
//   only by name: `OwnedRef::steal(p)` takes over a reference the caller owns
//   (the result of a call that "returns a new reference"), `OwnedRef::make_new(p)`
//   takes a new one for a borrowed pointer.
// - `borrow()` hands the pointer out without giving the reference away;
//   `release()` gives it away (for returning a new reference to the interpreter).
// - Logic never calls Py_DECREF on a pointer it got from these: the holder does.
#pragma once

#include <Python.h>

#include <utility>

namespace velarin {

class OwnedRef {
public:
    OwnedRef() = default;
    static OwnedRef steal(PyObject *p) { return OwnedRef(p); }
    static OwnedRef make_new(PyObject *p) {
        Py_XINCREF(p);
        return OwnedRef(p);
    }

    OwnedRef(const OwnedRef &) = delete;
    OwnedRef &operator=(const OwnedRef &) = delete;
    OwnedRef(OwnedRef &&other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    OwnedRef &operator=(OwnedRef &&other) noexcept {
        OwnedRef old(std::exchange(p_, std::exchange(other.p_, nullptr)));
        return *this;
    }
    ~OwnedRef() { Py_XDECREF(p_); }

    PyObject *borrow() const { return p_; }
    PyObject *release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit OwnedRef(PyObject *p) : p_(p) {}
    PyObject *p_ = nullptr;
};

}  // namespace velarin
