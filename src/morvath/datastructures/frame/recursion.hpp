// A guard for every level of recursion that runs through C++ code.
//
// It counts the library's own nesting against the interpreter's recursion
// limit (sys.getrecursionlimit()), as calls of Python functions count, and
// also enters the interpreter's C recursion check. Deep or cyclic input thus
// ends in RecursionError at the depth a Python implementation would reach,
// long before the C stack runs out, also in builds with large frames.
//
// Every function call passes through a guard, so the counting is inline.
#pragma once

#include "ref.hpp"

namespace frame {

namespace detail {
// initial-exec: one static TLS slot, read without a call into the dynamic
// loader on every function call (the general model costs a __tls_get_addr).
[[gnu::tls_model("initial-exec")]] extern thread_local int g_depth;
void raise_depth_exceeded(const char* where) noexcept;
}  // namespace detail

class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) noexcept {
        // The limit is at least 1: the outermost level need not read it.
        if (detail::g_depth > 0 && detail::g_depth >= Py_GetRecursionLimit()) {
            detail::raise_depth_exceeded(where);
            return;
        }
        if (Py_EnterRecursiveCall(where)) return;
        ++detail::g_depth;
        entered_ = true;
    }
    ~RecursionGuard() {
        if (!entered_) return;
        --detail::g_depth;
        Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;

    // True when the limit was hit; RecursionError is then set.
    bool failed() const noexcept { return !entered_; }

private:
    bool entered_ = false;
};

}  // namespace frame
