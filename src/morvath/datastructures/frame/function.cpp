#include "function.hpp"

#include "errors.hpp"
#include "module.hpp"
#include "names.hpp"
#include "recursion.hpp"
#include "traceback.hpp"
#include "watchers.hpp"

#include <vector>

namespace frame {

namespace {

Builtin b_super{"super"};

// The interpreter's own entry of a Python function, read from the first
// function object made here before the frame's entry replaces it.
vectorcallfunc g_interpreter_vectorcall = nullptr;

// co_varnames: the parameters, then *args and **kwargs, then the locals.
Ref variable_names(const FunctionSpec& spec) noexcept {
    try {
        std::vector<const char*> names(spec.params);
        if (spec.varargs) names.push_back(spec.varargs);
        if (spec.varkw) names.push_back(spec.varkw);
        names.insert(names.end(), spec.locals.begin(), spec.locals.end());
        return interned_tuple(names);
    } catch (...) {
        PyErr_NoMemory();
        return {};
    }
}

int intern_parameter_names(const FunctionSpec& spec) noexcept {
    int i = 0;
    for (const char* name : spec.params) {
        if (!spec.param_names[i]) {
            spec.param_names[i] = PyUnicode_InternFromString(name);
            if (!spec.param_names[i]) return -1;
        }
        ++i;
    }
    return 0;
}

// A code object that describes the function the way a compiled `def` would.
Ref make_code(const FunctionSpec& spec) noexcept {
    const char* file = PyUnicode_AsUTF8(source_file());
    if (!file) return {};
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, spec.name, spec.line)));
    if (!code) return {};
    Ref varnames = variable_names(spec);
    Ref freevars = spec.uses_super ? Ref::steal(Py_BuildValue("(s)", "__class__"))
                                   : Ref::steal(PyTuple_New(0));
    Ref qualname = Ref::steal(PyUnicode_FromString(spec.qualname));
    if (!varnames || !freevars || !qualname) return {};
    // CPython 3.13 inlines a class call straight into the `__init__` it finds
    // when that has no *args or **kwargs, without checking the function's
    // version, which would run the code object's placeholder bytecode instead
    // of the C++ body; a code object without CO_OPTIMIZED is never inlined
    // that way. Any such function may become some class's `__init__`
    // (`__init__ = Branchel.add_child`), so the shape decides, not the name.
    const bool inlinable_as_init = !spec.varargs && !spec.varkw;
    int flags = (inlinable_as_init ? 0 : CO_OPTIMIZED) | CO_NEWLOCALS;
    if (spec.varargs) flags |= CO_VARARGS;
    if (spec.varkw) flags |= CO_VARKEYWORDS;
    Ref changes = Ref::steal(Py_BuildValue(
        "{s:n,s:i,s:i,s:n,s:O,s:i,s:O,s:O}", "co_argcount",
        static_cast<Py_ssize_t>(spec.params.size()), "co_posonlyargcount", 0, "co_kwonlyargcount",
        0, "co_nlocals", PyTuple_GET_SIZE(varnames.get()), "co_varnames", varnames.get(),
        "co_flags", flags, "co_qualname", qualname.get(), "co_freevars", freevars.get()));
    if (!changes) return {};
    Ref replace = Ref::steal(PyObject_GetAttrString(code.get(), "replace"));
    if (!replace) return {};
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args) return {};
    return Ref::steal(PyObject_Call(replace.get(), no_args.get(), changes.get()));
}

int set_closure(PyObject* function, PyObject* class_cell) noexcept {
    Ref closure = Ref::steal(PyTuple_Pack(1, class_cell));
    if (!closure) return -1;
    return PyFunction_SetClosure(function, closure.get());
}

}  // namespace

Ref make_function(const FunctionSpec& spec, vectorcallfunc entry, PyObject* defaults,
                  PyObject* class_cell) noexcept {
    if (static_cast<int>(spec.params.size()) > kMaxParams) {
        PyErr_SetString(PyExc_SystemError, "too many parameters for a frame function");
        return {};
    }
    if (intern_parameter_names(spec) < 0) return {};
    if (!spec.varargs && !spec.varkw) spec.plain_arity = static_cast<Py_ssize_t>(spec.params.size());
    if (join_package_watchers() < 0) return {};
    // One code object per FunctionSpec for the life of the process: every
    // function object made from it (a body run again after a failed import
    // makes new ones) then tells its own code from a replaced one by identity.
    if (!spec.code) spec.code = make_code(spec).release();
    Ref qualname = Ref::steal(PyUnicode_FromString(spec.qualname));
    if (!spec.code || !qualname) return {};
    Ref function = Ref::steal(PyFunction_NewWithQualName(spec.code, module_globals(), qualname.get()));
    if (!function) return {};
    // __module__ comes from the globals' __name__, which is the name the
    // module was loaded under; the functions belong to the full name.
    if (PyObject_SetAttrString(function.get(), "__module__", full_name()) < 0) return {};
    Ref doc = spec.doc ? Ref::steal(PyUnicode_FromString(spec.doc)) : none();
    if (!doc || PyObject_SetAttrString(function.get(), "__doc__", doc.get()) < 0) return {};
    if (defaults && PyFunction_SetDefaults(function.get(), defaults) < 0) return {};
    if (spec.uses_super) {
        if (!class_cell) {
            PyErr_Format(PyExc_SystemError, "%s needs its class cell", spec.qualname);
            return {};
        }
        if (set_closure(function.get(), class_cell) < 0) return {};
    }
    PyFunctionObject* made = reinterpret_cast<PyFunctionObject*>(function.get());
    if (!g_interpreter_vectorcall) g_interpreter_vectorcall = made->vectorcall;
    PyFunction_SetVectorcall(made, entry);
    if (watch_code(function.get()) < 0) return {};
    Py_XSETREF(spec.object, Py_NewRef(function.get()));
    return function;
}

[[gnu::cold]] PyObject* run_replaced_code(PyObject* function, PyObject* const* args, size_t nargsf,
                                          PyObject* kwnames) noexcept {
    return g_interpreter_vectorcall(function, args, nargsf, kwnames);
}

[[gnu::cold]] void add_function_traceback(const FunctionSpec& spec, int line) noexcept {
    if (!spec.entry_name) {
        PyObject* raised = PyErr_GetRaisedException();
        spec.entry_name = PyUnicode_FromFormat("morvath.datastructures.%s.%s", short_name(), spec.qualname);
        if (spec.entry_name) PyUnicode_InternInPlace(&spec.entry_name);
        PyErr_Clear();
        PyErr_SetRaisedException(raised);
        if (!spec.entry_name) return;
    }
    add_traceback_entry(spec.entry_name, line);
}

PyObject* defining_class_of(PyObject* function) noexcept {
    PyObject* closure = PyFunction_GetClosure(function);
    if (!closure || !PyTuple_Check(closure) || PyTuple_GET_SIZE(closure) != 1) return nullptr;
    PyObject* cell = PyTuple_GET_ITEM(closure, 0);
    return PyCell_Check(cell) ? PyCell_GET(cell) : nullptr;
}

PyObject* Call::defining_class() const noexcept {
    if (PyObject* klass = defining_class_of(function_)) return klass;
    PyErr_SetString(PyExc_RuntimeError, "super(): empty __class__ cell");
    return nullptr;
}

Ref super_proxy(const Call& call, PyObject* self) noexcept {
    PyObject* klass = call.defining_class();
    if (!klass) return {};
    PyObject* args[] = {klass, self};
    return Ref::steal(PyObject_Vectorcall(b_super, args, 2, nullptr));
}

}  // namespace frame
