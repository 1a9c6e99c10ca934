#include "recursion.hpp"

namespace frame::detail {

void raise_depth_exceeded(const char* where) noexcept {
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
}

}  // namespace frame::detail
