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

}  // namespace frame
