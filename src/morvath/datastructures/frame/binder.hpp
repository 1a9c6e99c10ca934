// Argument-binding errors, worded as the functions' callers see them:
//   "<name>() takes exactly|at least|at most N positional argument(s) (M given)"
//   "<name>() got an unexpected keyword argument '<kw>'"
//   "<name>() got multiple values for keyword argument '<kw>'"
//   "<name>() keywords must be strings"
// The binding itself is `Call::bind` (function.hpp) and `bind_in_general`.
#pragma once

#include "ref.hpp"

namespace frame {

void raise_argument_count(const char* name, const char* bound, Py_ssize_t expected,
                          Py_ssize_t given) noexcept;
void raise_unexpected_keyword(const char* name, PyObject* keyword) noexcept;
void raise_multiple_values(const char* name, PyObject* keyword) noexcept;
void raise_keywords_must_be_strings(const char* name) noexcept;

}  // namespace frame
