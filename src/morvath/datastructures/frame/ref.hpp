// Owned references.
//
// Ownership rules, written once for the whole frame:
//  - A new reference enters a Ref through Ref::steal (the Ref takes over the
//    caller's reference) or Ref::borrow (the Ref adds one of its own).
//  - It leaves through release(), which hands the reference to the caller.
//  - Functions that return a new reference return a Ref; parameters of type
//    PyObject* are borrowed.
//  - A null Ref returned from a function means a Python exception is set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace frame {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = obj_;
            obj_ = other.obj_;
            other.obj_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    static Ref borrow(PyObject* obj) noexcept { return Ref(Py_XNewRef(obj)); }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    Ref copy() const noexcept { return borrow(obj_); }
    // Drops the reference; the decref runs last, after the slot is cleared,
    // because it may run arbitrary code (finalizers, weak-reference callbacks).
    void reset() noexcept { Py_XDECREF(std::exchange(obj_, nullptr)); }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// The None, True and False singletons as new references.
inline Ref none() noexcept { return Ref::borrow(Py_None); }
inline Ref boolean(bool value) noexcept { return Ref::borrow(value ? Py_True : Py_False); }

}  // namespace frame
