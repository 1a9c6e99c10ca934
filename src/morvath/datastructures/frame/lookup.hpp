// Lookups that decide whether a fast path may stand in for the general one.
//
// A fast path is taken only when it is observably the same: the attribute
// the interpreter would find is the library's own object, or super() would
// reach the built-in base's slot.
#pragma once

#include <initializer_list>

#include "ref.hpp"

namespace frame {

class Call;

// The raw entry for `name` in the first class of `type`'s MRO that defines it
// (descriptors not applied); null without an exception when none does.
Ref class_lookup(PyTypeObject* type, PyObject* name) noexcept;

// True when `super(klass, obj).<name>`, for an instance of `type`, resolves
// to the attribute that the built-in `target` defines.
bool super_reaches(PyTypeObject* type, PyObject* klass, PyObject* name, PyTypeObject* target) noexcept;

// True when `super().<name>` inside the running method reaches `target`.
bool super_reaches(const Call& call, PyObject* self, PyObject* name, PyTypeObject* target) noexcept;

// The raw class-dictionary entry that `super().<name>` inside the running
// method starts from (descriptors not applied); null without an exception
// when no class after the defining one defines `name`. Lets a method tell
// whether super() reaches a known function of a Python base class.
Ref super_lookup(const Call& call, PyObject* self, PyObject* name) noexcept;

// `super().<name>(*args)` inside the running method, with at most six
// arguments. When super() would find a plain function, it is called with
// `self` directly (what the bound method would do); anything else goes
// through a real super object.
Ref call_super(const Call& call, PyObject* self, PyObject* name,
               std::initializer_list<PyObject*> args) noexcept;

// `super().<name>(*args, **kwargs)` with an argument tuple and a dict.
Ref call_super(const Call& call, PyObject* self, PyObject* name, PyObject* args,
               PyObject* kwargs) noexcept;

// True when `bound` is `function` bound to `self` (a plain method binding).
bool is_bound_method(PyObject* bound, PyObject* function, PyObject* self) noexcept;

// isinstance(obj, str), honouring what isinstance honours.
int is_str(PyObject* obj) noexcept;

}  // namespace frame
