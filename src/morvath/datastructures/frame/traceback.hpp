// Traceback entries for exceptions leaving the module's functions.
//
// Each entry is a frame of a code object named after the function, whose
// file is "src/morvath/datastructures/<short>" and whose first line is the
// line of the failing statement. Code objects and frames are cached per
// (name, line); the exception in flight is kept unchanged.
#pragma once

#include "ref.hpp"

namespace frame {

// Adds an entry named `entry_name` (a str) at `line` to the current exception.
void add_traceback_entry(PyObject* entry_name, int line) noexcept;

}  // namespace frame
