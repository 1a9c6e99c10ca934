#include "recursion.hpp"

namespace frame {

namespace {
// initial-exec: one static TLS slot, read without a call into the dynamic
// loader on every function call (the general model costs a __tls_get_addr).
[[gnu::tls_model("initial-exec")]] thread_local int g_depth = 0;
}  // namespace

RecursionGuard::RecursionGuard(const char* where) noexcept {
    if (g_depth >= Py_GetRecursionLimit()) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        return;
    }
    if (Py_EnterRecursiveCall(where)) return;
    ++g_depth;
    entered_ = true;
}

RecursionGuard::~RecursionGuard() {
    if (!entered_) return;
    --g_depth;
    Py_LeaveRecursiveCall();
}

}  // namespace frame
