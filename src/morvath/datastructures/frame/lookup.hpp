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

// True when `type` has a version tag, assigning one if it had none; false
// when the interpreter has run out of tags (nothing can then be kept).
inline bool has_version_tag(PyTypeObject* type) noexcept {
    return type->tp_version_tag || PyUnstable_Type_AssignVersionTag(type);
}

// The raw entry for `name` in the first class of `type`'s MRO that defines it
// (descriptors not applied); null without an exception when none does.
Ref class_lookup(PyTypeObject* type, PyObject* name) noexcept;

// The guard of every fast path that stands in for a method: true when the
// first class in the MRO of `type` whose dictionary defines `name` holds
// exactly `expected` (identity, descriptors not applied). `expected` is the
// library's own function object (FunctionSpec::object) or a built-in type's
// own dictionary entry (see `inherits_builtin`). An instance attribute of
// the same name is not looked at: special methods are found on the type.
// A null `expected` (say, a function not created) is never resolved to.
//
// The answer is cached per (type, name, expected) under the version tag of
// `type`, which the interpreter renews whenever the MRO or the dictionary of
// any class in it changes; so a subclass that overrides one method keeps
// the cached answers for every method it does not override, and a class
// attribute replaced at run time is seen at the next call. Never fails: an
// error during the lookup is cleared and answered "no" (take the general
// path, which raises it again if it is real).
bool resolves_to(PyTypeObject* type, PyObject* name, PyObject* expected) noexcept;

// True when `name` on `type` still resolves to the entry that the built-in
// `builtin` defines itself (its slot wrapper or method descriptor), i.e. no
// class in between overrides it. False when `builtin` does not define it.
bool inherits_builtin(PyTypeObject* type, PyObject* name, PyTypeObject* builtin) noexcept;

// `resolves_to` and `inherits_builtin` for a call site that asks the same
// question over and over: the last class that passed is remembered with
// its version tag, so that asking again about it costs a few comparisons.
class SiteGuard {
public:
    bool resolves_to(PyTypeObject* type, PyObject* name, PyObject* expected) noexcept {
        return holds(type, name, expected) || remember(type, name, expected, frame::resolves_to(type, name, expected));
    }
    bool inherits_builtin(PyTypeObject* type, PyObject* name, PyTypeObject* builtin) noexcept {
        return holds(type, name, builtin) ||
               remember(type, name, builtin, frame::inherits_builtin(type, name, builtin));
    }

private:
    bool holds(PyTypeObject* type, PyObject* name, const void* expected) const noexcept {
        const unsigned int tag = type->tp_version_tag;
        return tag && type == type_ && tag == tag_ && name == name_ && expected == expected_;
    }
    // Answers are only kept while the tag stays; it is current after the check.
    bool remember(PyTypeObject* type, PyObject* name, const void* expected, bool passed) noexcept {
        if (passed) type_ = type, tag_ = type->tp_version_tag, name_ = name, expected_ = expected;
        return passed;
    }

    PyTypeObject* type_ = nullptr;
    unsigned int tag_ = 0;
    PyObject* name_ = nullptr;
    const void* expected_ = nullptr;
};

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
