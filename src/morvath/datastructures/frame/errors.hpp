// Statement-level errors that the module functions share, worded as the
// system reports them, and the unpacking that produces two of them.
#pragma once

#include "ref.hpp"

namespace frame {

// `a, b, ... = obj` into `count` names: a tuple or list of that length is
// taken directly, anything else is iterated. On failure `out` is untouched
// and ValueError says "too many values to unpack (expected N)" or
// "need more than N value(s) to unpack"; iteration errors pass unchanged.
int unpack(PyObject* obj, Ref* out, Py_ssize_t count) noexcept;

// UnboundLocalError "local variable '<name>' referenced before assignment".
void raise_unbound_local(const char* name) noexcept;

// `raise type(message)` while the exception in flight is being handled: the
// new exception replaces it and carries it as `__context__` (set directly, so
// an exception the caller happens to be handling does not take its place).
// `type` may be any callable, as a rebound builtin can be.
void raise_in_place(PyObject* type, PyObject* message) noexcept;

// TypeError "'<type>' object is unsliceable".
void raise_unsliceable(PyObject* obj) noexcept;

// Turns the C++ exception being handled into a Python error (MemoryError for
// std::bad_alloc, SystemError otherwise). Only inside a catch block: it is
// how the entry points keep C++ exceptions from crossing into the interpreter.
void raise_for_cxx_exception() noexcept;

// Makes `caught` the exception being handled for the life of the scope, as
// an `except` clause or the exceptional exit of a `with` block does: the
// code run meanwhile sees it in `sys.exc_info()`, and an exception raised
// meanwhile takes it as its `__context__`. The previous state comes back at
// the end. The public API reads the handled exception through every
// enclosing level, so the scope probes whether the current level held it
// itself; a level that held nothing (a generator run inside an outer
// `except`, say) is left holding nothing rather than a copy of the outer
// exception, which it would otherwise carry on to its next resumption.
class Handling {
public:
    explicit Handling(PyObject* caught) noexcept
        : previous_(Ref::steal(PyErr_GetHandledException())) {
        PyErr_SetHandledException(Py_None);
        Ref outer = Ref::steal(PyErr_GetHandledException());
        own_ = outer.get() != previous_.get();
        PyErr_SetHandledException(caught);
    }
    ~Handling() {
        PyErr_SetHandledException(own_ && previous_ ? previous_.get() : Py_None);
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    Ref previous_;
    bool own_ = false;
};

}  // namespace frame
