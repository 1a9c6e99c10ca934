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

// True when an answer kept under `tag` still holds for `type`.
inline bool tag_holds(PyTypeObject* type, unsigned int tag) noexcept {
    return tag && type->tp_version_tag == tag;
}

// The one way an answer about a class is kept. The interpreter gives a
// class a new version tag whenever its MRO or the dictionary of any class
// in it changes, and never reuses a tag, so an answer made under the
// current tag holds while the tag stays. The tag is read first (assigned
// if the class has none), then `compute()` works the answer out, and
// `keep(tag, answer)` stores it only when the tag is still the same: an
// answer worked out across a change of the class is used once and never
// kept under a tag it was not made for. A class out of tags gets its
// answer worked out every time.
template <typename Compute, typename Keep>
auto keep_under_tag(PyTypeObject* type, Compute&& compute, Keep&& keep) noexcept {
    const unsigned int tag = has_version_tag(type) ? type->tp_version_tag : 0;
    auto answer = compute();
    if (tag_holds(type, tag)) keep(tag, answer);
    return answer;
}

// Questions a fast path asks about a class are answered without running
// Python code. A class-dictionary lookup of a `str` runs the `__eq__` of any
// other key of the same hash, so a dictionary is only looked into when all
// its keys are exact strings; where one is not, the question is answered
// "cannot tell" (the fast path gives way and the general path makes the
// interpreter's own lookup, once, as the Python code does). These answers
// never fail and run no code, so they can be kept under the tag.

// The raw entry for `name` in the first class of `type`'s MRO that defines
// it (descriptors not applied). Null, without an exception, when no class
// defines it or when telling would run Python code.
Ref class_lookup(PyTypeObject* type, PyObject* name) noexcept;

// True when no class in the MRO of `type` defines `name`, told without
// running Python code (false when it cannot be told so).
bool class_lacks(PyTypeObject* type, PyObject* name) noexcept;

// The guard of every fast path that stands in for a method: true when the
// first class in the MRO of `type` whose dictionary defines `name` holds
// exactly `expected` (identity, descriptors not applied). `expected` is the
// library's own function object (FunctionSpec::object) or a built-in type's
// own dictionary entry (see `inherits_builtin`). An instance attribute of
// the same name is not looked at: special methods are found on the type.
// A null `expected` (say, a function not created) is never resolved to, nor
// is a watched function whose code is not its own (see watch_code).
//
// The answer is cached per (type, name, expected) under the version tag of
// `type` (see keep_under_tag); so a subclass that overrides one method
// keeps the cached answers for every method it does not override, and a
// class attribute replaced at run time is seen at the next call. Never
// fails and runs no Python code: "no" when telling would run some.
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
        return holds(type, name, expected) ||
               remember(type, name, expected, [&]() noexcept { return frame::resolves_to(type, name, expected); });
    }
    bool inherits_builtin(PyTypeObject* type, PyObject* name, PyTypeObject* builtin) noexcept {
        return holds(type, name, builtin) ||
               remember(type, name, builtin, [&]() noexcept { return frame::inherits_builtin(type, name, builtin); });
    }

private:
    bool holds(PyTypeObject* type, PyObject* name, const void* expected) const noexcept {
        return type == type_ && tag_holds(type, tag_) && name == name_ && expected == expected_;
    }
    template <typename Check>
    bool remember(PyTypeObject* type, PyObject* name, const void* expected, Check check) noexcept {
        return keep_under_tag(type, check, [&](unsigned int tag, bool passed) noexcept {
            if (passed) type_ = type, tag_ = tag, name_ = name, expected_ = expected;
        });
    }

    PyTypeObject* type_ = nullptr;
    unsigned int tag_ = 0;
    PyObject* name_ = nullptr;
    const void* expected_ = nullptr;
};

// True when `super(klass, obj).<name>`, for an instance of `type`, resolves
// to the attribute that the built-in `target` defines. Cached, never fails,
// runs no Python code: "no" when telling would run some.
bool super_reaches(PyTypeObject* type, PyObject* klass, PyObject* name, PyTypeObject* target) noexcept;

// True when `super().<name>` inside the running method reaches `target`.
bool super_reaches(const Call& call, PyObject* self, PyObject* name, PyTypeObject* target) noexcept;

// True when `super().<name>` inside the running method finds exactly the
// class-dictionary entry `expected` (a known function of a Python base
// class, watched with watch_code, and not while its code is another). Cached as `super_reaches` is, with the same guarantees.
bool super_finds(const Call& call, PyObject* self, PyObject* name, PyObject* expected) noexcept;

// `super().<name>(*args)` inside the running method, with at most six
// arguments, as the statement does it: super() looks along the MRO once
// (an error of that lookup propagates, as super() lets it); a plain
// function found is called with `self` directly (what the bound method
// would do), anything else is bound as super() binds it.
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
