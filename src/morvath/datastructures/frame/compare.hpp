// Comparisons that can be decided without calling into Python code.
//
// `a == b` runs the `__eq__` of the operands' classes. For a class that
// neither defines nor inherits an `__eq__` other than object's, that is a
// test of identity, and a search over many objects can make it without a
// call. The proof is read from the class each time it is asked (a class
// whose `__eq__` is assigned later gets a new slot and a new version tag).
#pragma once

#include "ref.hpp"

namespace frame {

// True when `==` between instances of `type` (and any other class for
// which this is true) is `is`: the class's comparison slot is object's own,
// or the slot that calls the `__eq__` found on the class, and that `__eq__`
// is object's own. Runs no Python code; false when it cannot tell.
// The class dictionaries looked at may hold keys whose `__eq__` a lookup
// runs, so a caller in the middle of a walk holds what it walks.
bool equality_is_identity(PyTypeObject* type) noexcept;

// Reads the comparison slot of classes that define comparison methods, once,
// while a module body runs (it makes a class); until then only classes with
// object's own slot are recognised. 0, or -1 with an exception set.
int prepare_equality_proofs() noexcept;

}  // namespace frame
