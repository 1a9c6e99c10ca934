// Names a module uses: interned strings, cached builtins and module globals.
//
// Interned strings and builtins are declared as static objects in a module
// source; each registers itself, and the exec step of the module creates or
// looks up all of them once (interning before the body runs, builtins at the
// step the import sequence gives them).
#pragma once

#include "instance.hpp"
#include "ref.hpp"

namespace frame {

// An interned str created once per process, e.g. `Str s_update{"update"};`.
class Str {
public:
    explicit Str(const char* text) noexcept;
    PyObject* get() const noexcept { return obj_; }
    operator PyObject*() const noexcept { return obj_; }
    const char* text() const noexcept { return text_; }

private:
    friend int intern_all() noexcept;
    const char* text_;
    PyObject* obj_ = nullptr;
    Str* next_;
};

// A builtin object looked up once when the module body starts and kept from
// then on; later changes to the builtins module do not reach it.
class Builtin {
public:
    explicit Builtin(const char* name) noexcept;
    PyObject* get() const noexcept { return obj_; }
    operator PyObject*() const noexcept { return obj_; }

private:
    friend int resolve_builtins(PyObject* builtins_module) noexcept;
    const char* name_;
    PyObject* obj_ = nullptr;
    Builtin* next_;
};

int intern_all() noexcept;
int resolve_builtins(PyObject* builtins_module) noexcept;

// A module-level name read at the moment a statement runs: the module's
// dictionary first, then the builtins module. NameError when neither has it.
Ref global(PyObject* name) noexcept;

// A tuple of interned strings, one per C string of `texts`.
template <typename Texts>
Ref interned_tuple(const Texts& texts) noexcept {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(texts.size())));
    if (!tuple) return {};
    Py_ssize_t i = 0;
    for (const char* text : texts) {
        PyObject* item = PyUnicode_InternFromString(text);
        if (!item) return {};
        PyTuple_SET_ITEM(tuple.get(), i++, item);
    }
    return tuple;
}

// The attribute of `obj` named by an interned string.
inline Ref attr(PyObject* obj, PyObject* name) noexcept {
    PyObject* found;
    if (instance_attribute(obj, name, &found)) return Ref::steal(found);
    return Ref::steal(PyObject_GetAttr(obj, name));
}

// `function()` for a built-in function without parameters, called straight
// through its C entry (it cannot recurse, so the generic call path adds
// nothing); any other callable goes the generic way.
inline Ref call_no_args(PyObject* function) noexcept {
    constexpr int kConventions = METH_VARARGS | METH_KEYWORDS | METH_NOARGS | METH_O | METH_FASTCALL | METH_METHOD;
    if (PyCFunction_CheckExact(function) && (PyCFunction_GET_FLAGS(function) & kConventions) == METH_NOARGS)
        return Ref::steal(PyCFunction_GET_FUNCTION(function)(PyCFunction_GET_SELF(function), nullptr));
    return Ref::steal(PyObject_CallNoArgs(function));
}

// `obj.<name> = value` for an interned name; -1 with an exception on failure.
inline int set_attr(PyObject* obj, PyObject* name, PyObject* value) noexcept {
    if (store_instance_attribute(obj, name, value)) return 0;
    return PyObject_SetAttr(obj, name, value);
}

}  // namespace frame
