// Reading an attribute that lives in an instance's own storage.
//
// `obj.name` on an instance of an ordinary class, where no class in the MRO
// defines `name` and the class keeps the generic attribute lookup, is the
// value in the instance's storage. The interpreter's own bytecode reads it
// from there directly; `PyObject_GetAttr` first searches the type (through
// a thread-state lookup) and then hashes the name into the shared keys.
// `instance_attribute` reads the storage the way the interpreter's
// specialised bytecode does, and answers only when that is certain;
// `store_instance_attribute` stores the same way.
#pragma once

#include "ref.hpp"

namespace frame {

// True with a new reference in `*found` when `obj.name` is the value in the
// instance's inline storage; false (no exception set, nothing done) when
// the general lookup must answer: another kind of object or class, a class
// that defines `name` or customises attribute access, or a name the
// storage does not hold.
bool instance_attribute(PyObject* obj, PyObject* name, PyObject** found) noexcept;

// True when `obj.name = value` was done by storing into the instance's
// inline storage, as the generic attribute store would; false (nothing
// done) when the general store must do it.
bool store_instance_attribute(PyObject* obj, PyObject* name, PyObject* value) noexcept;

// Lets the shortcut prove itself on the running interpreter, once per
// process, at the module's initialisation: attributes of a probe instance
// stored and read back both ways must agree in values, `vars()` order and
// the keys' indexes. Until it has, and for good if it does not, both
// functions above answer false and every access takes the general way.
void prove_inline_layout() noexcept;

}  // namespace frame
