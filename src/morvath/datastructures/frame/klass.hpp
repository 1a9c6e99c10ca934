// Class creation, step for step as a class statement does it: resolve
// `__mro_entries__`, choose the most derived metaclass, `__prepare__` the
// namespace, fill it in the order of the class body, hand the `__class__`
// cell over as `__classcell__` and call the metaclass.
//
//     frame::ClassBuilder cls("NestedKeyvane");
//     cls.base(global(s_Keyvane)).base(global(s_MutableMapping))
//        .method<nk_init>().value("get", ...);
//     body.assign("NestedKeyvane", cls.create());
//
// Builder methods never fail on their own: the first error is remembered and
// `create` returns a null Ref with that error set.
#pragma once

#include <utility>
#include <vector>

#include "function.hpp"

namespace frame {

class ClassBuilder {
public:
    explicit ClassBuilder(const char* name, const char* doc = nullptr) noexcept
        : name_(name), doc_(doc) {}

    ClassBuilder& base(Ref base) noexcept;

    // After a failure nothing more is created: the C API is not called while
    // the remembered error is set.
    template <const FunctionSpec& S>
    ClassBuilder& method(PyObject* defaults = nullptr) noexcept {
        return add(S.name, make<S>(defaults));
    }

    template <const FunctionSpec& S>
    ClassBuilder& static_method(PyObject* defaults = nullptr) noexcept {
        Ref f = make<S>(defaults);
        return add(S.name, f ? Ref::steal(PyStaticMethod_New(f.get())) : Ref());
    }

    ClassBuilder& value(const char* name, Ref value) noexcept { return add(name, std::move(value)); }

    Ref create() noexcept;

private:
    // The function object of `S`, with the class cell when it uses super();
    // null once anything has failed.
    template <const FunctionSpec& S>
    Ref make(PyObject* defaults) noexcept {
        if (failed_) return {};
        PyObject* cell = S.uses_super ? class_cell() : nullptr;
        if (S.uses_super && !cell) return {};
        return function<S>(defaults, cell);
    }

    ClassBuilder& add(const char* name, Ref value) noexcept;
    PyObject* class_cell() noexcept;
    Ref resolve_bases(PyObject* bases, bool& replaced) noexcept;
    Ref prepare_namespace(PyObject* metaclass, PyObject* name, PyObject* bases) noexcept;

    const char* name_;
    const char* doc_;
    bool failed_ = false;
    std::vector<Ref> bases_;
    std::vector<std::pair<const char*, Ref>> entries_;
    Ref cell_;
};

}  // namespace frame
