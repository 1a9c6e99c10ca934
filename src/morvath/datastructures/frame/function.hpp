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

#include "errors.hpp"
#include "recursion.hpp"
#include "ref.hpp"

namespace frame {

inline constexpr int kMaxParams = 8;

class Call;
using BodyFunction = PyObject* (*)(Call&);

// Every binding but the usual one (binder.cpp): keywords, defaults, *args,
// **kwargs and the binding errors; -1 with TypeError on failure.
int bind_in_general(Call& call, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

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
    mutable Py_ssize_t plain_arity = -1;     // the parameter count, without *args or **kwargs
    mutable PyObject* entry_name = nullptr;  // traceback name
    mutable PyObject* object = nullptr;      // the function object, for identity tests
    mutable PyObject* code = nullptr;        // its own code object, shared by every object made
};

// The bound arguments of one call, handed to the C++ body. Parameters are
// borrowed from the caller (or from `__defaults__`); *args and **kwargs are
// owned here. A call that gives every parameter by position and nothing
// else reads them straight from the caller's argument vector.
class Call {
public:
    Call(const FunctionSpec& spec, PyObject* function) noexcept
        : spec_(spec), function_(function), line_(spec.line) {}

    PyObject* operator[](int i) const noexcept { return args_[i]; }
    // Binds vectorcall arguments against the spec; -1 with TypeError on failure.
    int bind(PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
        if (!kwnames && PyVectorcall_NARGS(nargsf) == spec_.plain_arity) {
            args_ = args;
            return 0;
        }
        return bind_in_general(*this, args, PyVectorcall_NARGS(nargsf), kwnames);
    }
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
    friend int bind_in_general(Call&, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
    const FunctionSpec& spec_;
    PyObject* function_;
    PyObject* const* args_ = nullptr;
    PyObject* bound_[kMaxParams];  // the parameters, when bound in general
    Ref defaults_;  // kept alive: a body may replace `__defaults__` mid-call
    Ref rest_;
    Ref extra_;
    int line_;
};

// Adds the traceback entry "morvath.datastructures.<short>.<qualname>" at `line`.
void add_function_traceback(const FunctionSpec& spec, int line) noexcept;

// Runs `body`, turning a C++ exception into the Python exception it stands for.
inline PyObject* run_body(BodyFunction body, Call& call) noexcept {
    try {
        return body(call);
    } catch (...) {
        raise_for_cxx_exception();
        return nullptr;
    }
}

// One call of a frame function: bind, count one level of recursion, run
// the body, and add the function's traceback entry when an error leaves it.
inline PyObject* invoke(const FunctionSpec& spec, PyObject* function, PyObject* const* args,
                        size_t nargsf, PyObject* kwnames) noexcept {
    Call call(spec, function);
    if (call.bind(args, nargsf, kwnames) < 0) {
        add_function_traceback(spec, spec.line);
        return nullptr;
    }
    PyObject* result;
    {
        RecursionGuard guard(" while calling a Python object");
        if (guard.failed()) {
            add_function_traceback(spec, spec.line);
            return nullptr;
        }
        result = run_body(spec.body, call);
    }
    if (!result) add_function_traceback(spec, call.line());
    return result;
}

// A call of a frame function whose `__code__` is no longer its own: the
// interpreter runs the code it now has, as it would for any Python function.
PyObject* run_replaced_code(PyObject* function, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) noexcept;

template <const FunctionSpec& S>
PyObject* vectorcall(PyObject* function, PyObject* const* args, size_t nargsf,
                     PyObject* kwnames) noexcept {
    if (PyFunction_GET_CODE(function) != S.code) [[unlikely]]
        return run_replaced_code(function, args, nargsf, kwnames);
    return invoke(S, function, args, nargsf, kwnames);
}

Ref make_function(const FunctionSpec& spec, vectorcallfunc entry, PyObject* defaults,
                  PyObject* class_cell) noexcept;

// `function(*args)` for a function object (`PyFunction_Check`), straight
// through its vectorcall entry: the interpreter's own and the frame's
// entries always return a result or set an exception, so the generic call
// path's check of that adds nothing.
inline PyObject* call_function(PyObject* function, PyObject* const* args, size_t nargsf,
                               PyObject* kwnames) noexcept {
    return PyVectorcall_Function(function)(function, args, nargsf, kwnames);
}

// `callable(arg)`, through `call_function` when `callable` is a function.
inline PyObject* call_one_arg(PyObject* callable, PyObject* arg) noexcept {
    if (!PyFunction_Check(callable)) return PyObject_CallOneArg(callable, arg);
    PyObject* args[] = {nullptr, arg};
    return call_function(callable, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// Creates the function object of `S`. `defaults` is a tuple or null;
// `class_cell` is the cell of the class statement for methods using super().
template <const FunctionSpec& S>
Ref function(PyObject* defaults = nullptr, PyObject* class_cell = nullptr) noexcept {
    return make_function(S, &vectorcall<S>, defaults, class_cell);
}

// The class held in a frame function's `__class__` cell (borrowed), or null.
PyObject* defining_class_of(PyObject* function) noexcept;

// super(<defining class>, self): the proxy the zero-argument super() gives.
Ref super_proxy(const Call& call, PyObject* self) noexcept;

}  // namespace frame
