#include "recursion.hpp"

namespace frame::detail {

thread_local int g_depth = 0;

void raise_depth_exceeded(const char* where) noexcept {
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
}

}  // namespace frame::detail
