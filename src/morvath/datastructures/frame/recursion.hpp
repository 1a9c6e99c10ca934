// A guard for every level of recursion that runs through C++ code.
//
// Each level counts as one call of a Python function does: against the
// interpreter's recursion limit (sys.getrecursionlimit(), shared with the
// Python frames around it) and against its C recursion limit (which guards
// the C stack, also when the Python limit is raised far). Deep or cyclic
// input thus ends in RecursionError at the depth a Python implementation
// would reach, long before the C stack runs out.
//
// Every function call passes through a guard, so it is inline and reads the
// thread state once: both counters live in it, and the interpreter keeps
// them current when the limit changes.
#pragma once

#include "ref.hpp"

namespace frame {

namespace detail {
void raise_depth_exceeded(const char* where) noexcept;
}  // namespace detail

class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) noexcept : state_(PyThreadState_GetUnchecked()) {
        if (state_->py_recursion_remaining <= 0 || state_->c_recursion_remaining <= 0) {
            state_ = nullptr;
            detail::raise_depth_exceeded(where);
            return;
        }
        --state_->py_recursion_remaining;
        --state_->c_recursion_remaining;
    }
    ~RecursionGuard() {
        if (!state_) return;
        ++state_->py_recursion_remaining;
        ++state_->c_recursion_remaining;
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;

    // True when the limit was hit; RecursionError is then set.
    bool failed() const noexcept { return !state_; }

private:
    PyThreadState* state_;
};

}  // namespace frame
