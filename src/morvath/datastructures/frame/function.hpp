// Function objects with a C++ body.
//
// Every function and method of a module is a real `types.FunctionType`: its
// code object carries the name, qualified name, source file, `def` line,
// parameter and local names, argument count and *args/**kwargs flags; its
// calls are sent to the C++ body through the function's vectorcall slot. So
// binding, pickling by qualified name, `inspect.signature`, `__globals__`,
// `__defaults__` and `__dict__` all come from the interpreter itself.
//
// A module source declares a static FunctionSpec per function and creates the
// object with `frame::function<spec>(defaults)`; the template argument fixes
// the spec, so a call goes straight from the interpreter to the binder and the
// body without any lookup.
#pragma once

#include <initializer_list>

#include "ref.hpp"

namespace frame {

inline constexpr int kMaxParams = 8;

class Call;
using BodyFunction = PyObject* (*)(Call&);

struct FunctionSpec {
    const char* name;
    const char* qualname;
    std::initializer_list<const char*> params;  // positional-or-keyword, `self` included
    const char* varargs = nullptr;               // name of *args, if any
    const char* varkw = nullptr;                 // name of **kwargs, if any
    std::initializer_list<const char*> locals = {};
    int line = 1;                                // line of the `def`
    const char* doc = nullptr;
    bool uses_super = false;                     // gets the class's `__class__` cell
    BodyFunction body = nullptr;

    // Filled when the function object is created.
    mutable PyObject* param_names[kMaxParams] = {};
    mutable PyObject* entry_name = nullptr;  // traceback name
    mutable PyObject* object = nullptr;      // the function object, for identity tests
};

// The bound arguments of one call, handed to the C++ body. Parameters are
// borrowed from the caller (or from `__defaults__`); *args and **kwargs are
// owned here.
class Call {
public:
    Call(const FunctionSpec& spec, PyObject* function) noexcept
        : spec_(spec), function_(function), line_(spec.line) {}

    PyObject* operator[](int i) const noexcept { return args_[i]; }
    PyObject* function() const noexcept { return function_; }
    PyObject* rest() const noexcept { return rest_.get(); }       // the *args tuple
    PyObject* keywords() const noexcept { return extra_.get(); }  // the **kwargs dict
    const FunctionSpec& spec() const noexcept { return spec_; }

    // Records the line of the statement about to run (for tracebacks).
    Call& at(int line) noexcept {
        line_ = line;
        return *this;
    }
    int line() const noexcept { return line_; }

    // The class of the class statement that defined the method (`__class__`).
    PyObject* defining_class() const noexcept;

private:
    friend int bind_arguments(Call&, PyObject* const*, size_t, PyObject*) noexcept;
    friend int bind_in_general(Call&, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
    const FunctionSpec& spec_;
    PyObject* function_;
    PyObject* args_[kMaxParams] = {};
    Ref defaults_;  // kept alive: a body may replace `__defaults__` mid-call
    Ref rest_;
    Ref extra_;
    int line_;
};

// Binds vectorcall arguments against the spec; -1 with TypeError on failure.
int bind_arguments(Call& call, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept;

PyObject* invoke(const FunctionSpec& spec, PyObject* function, PyObject* const* args,
                 size_t nargsf, PyObject* kwnames) noexcept;

template <const FunctionSpec& S>
PyObject* vectorcall(PyObject* function, PyObject* const* args, size_t nargsf,
                     PyObject* kwnames) noexcept {
    return invoke(S, function, args, nargsf, kwnames);
}

Ref make_function(const FunctionSpec& spec, vectorcallfunc entry, PyObject* defaults,
                  PyObject* class_cell) noexcept;

// Creates the function object of `S`. `defaults` is a tuple or null;
// `class_cell` is the cell of the class statement for methods using super().
template <const FunctionSpec& S>
Ref function(PyObject* defaults = nullptr, PyObject* class_cell = nullptr) noexcept {
    return make_function(S, &vectorcall<S>, defaults, class_cell);
}

// Adds the traceback entry "morvath.datastructures.<short>.<qualname>" at `line`.
void add_function_traceback(const FunctionSpec& spec, int line) noexcept;

// The class held in a frame function's `__class__` cell (borrowed), or null.
PyObject* defining_class_of(PyObject* function) noexcept;

// super(<defining class>, self): the proxy the zero-argument super() gives.
Ref super_proxy(const Call& call, PyObject* self) noexcept;

}  // namespace frame
