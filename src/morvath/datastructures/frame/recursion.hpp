// A guard for every level of recursion that runs through C++ code.
//
// It counts the library's own nesting against the interpreter's recursion
// limit (sys.getrecursionlimit()), as calls of Python functions count, and
// also enters the interpreter's C recursion check. Deep or cyclic input thus
// ends in RecursionError at the depth a Python implementation would reach,
// long before the C stack runs out, also in builds with large frames.
#pragma once

#include "ref.hpp"

namespace frame {

class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) noexcept;
    ~RecursionGuard();
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;

    // True when the limit was hit; RecursionError is then set.
    bool failed() const noexcept { return !entered_; }

private:
    bool entered_ = false;
};

}  // namespace frame
