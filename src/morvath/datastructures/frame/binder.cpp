#include "binder.hpp"

#include "function.hpp"

namespace frame {

void raise_argument_count(const char* name, const char* bound, Py_ssize_t expected,
                          Py_ssize_t given) noexcept {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 name, bound, expected, expected == 1 ? "" : "s", given);
}

void raise_unexpected_keyword(const char* name, PyObject* keyword) noexcept {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, keyword);
}

void raise_multiple_values(const char* name, PyObject* keyword) noexcept {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name,
                 keyword);
}

void raise_keywords_must_be_strings(const char* name) noexcept {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name);
}

namespace {

constexpr int kNoParameter = -1;
constexpr int kCompareFailed = -2;

// The index of the parameter that `keyword` names. Names are interned, so an
// identical object is the usual match; otherwise the keyword is compared as
// `==` would, which for a str subclass is its own __eq__ (that may fail).
int find_parameter(const FunctionSpec& spec, PyObject* keyword) noexcept {
    const int count = static_cast<int>(spec.params.size());
    for (int i = 0; i < count; ++i)
        if (spec.param_names[i] == keyword) return i;
    const bool exact = PyUnicode_CheckExact(keyword);
    for (int i = 0; i < count; ++i) {
        const int same = exact ? PyUnicode_Compare(spec.param_names[i], keyword) == 0
                               : PyObject_RichCompareBool(keyword, spec.param_names[i], Py_EQ);
        if (same < 0) return kCompareFailed;
        if (same) return i;
    }
    return kNoParameter;
}

}  // namespace

// Kept out of line so that the usual call stays short.
[[gnu::noinline]] int bind_in_general(Call& call, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) noexcept {
    const FunctionSpec& spec = call.spec_;
    const Py_ssize_t nparams = static_cast<Py_ssize_t>(spec.params.size());
    if (nargs > nparams && !spec.varargs) {
        raise_argument_count(spec.name, PyFunction_GetDefaults(call.function_) ? "at most" : "exactly",
                             nparams, nargs);
        return -1;
    }
    PyObject** bound = call.bound_;
    call.args_ = bound;
    const Py_ssize_t npositional = nargs < nparams ? nargs : nparams;
    for (Py_ssize_t i = 0; i < nparams; ++i) bound[i] = i < npositional ? args[i] : nullptr;
    if (spec.varargs) {
        const Py_ssize_t nrest = nargs > nparams ? nargs - nparams : 0;
        call.rest_ = Ref::steal(PyTuple_New(nrest));
        if (!call.rest_) return -1;
        for (Py_ssize_t i = 0; i < nrest; ++i)
            PyTuple_SET_ITEM(call.rest_.get(), i, Py_NewRef(args[nparams + i]));
    }
    if (spec.varkw) {
        call.extra_ = Ref::steal(PyDict_New());
        if (!call.extra_) return -1;
    }

    const Py_ssize_t nkeywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkeywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        if (!PyUnicode_Check(keyword)) {
            raise_keywords_must_be_strings(spec.name);
            return -1;
        }
        const int index = find_parameter(spec, keyword);
        if (index == kCompareFailed) return -1;
        if (index == kNoParameter) {
            if (!spec.varkw) {
                raise_unexpected_keyword(spec.name, keyword);
                return -1;
            }
            if (PyDict_SetItem(call.extra_.get(), keyword, value) < 0) return -1;
        } else if (bound[index]) {
            raise_multiple_values(spec.name, keyword);
            return -1;
        } else {
            bound[index] = value;
        }
    }

    Py_ssize_t i = npositional;
    while (i < nparams && bound[i]) ++i;
    if (i == nparams) return 0;
    // Defaults are read only now that one is needed, and kept alive: the
    // body may replace `__defaults__` while it runs.
    call.defaults_ = Ref::borrow(PyFunction_GetDefaults(call.function_));
    PyObject* defaults = call.defaults_.get();
    const Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults) : 0;
    const Py_ssize_t first_default = nparams - ndefaults;
    for (; i < nparams; ++i) {
        if (bound[i]) continue;
        if (i < first_default) {
            const bool open_ended = spec.varargs || ndefaults;
            raise_argument_count(spec.name, open_ended ? "at least" : "exactly", first_default, i);
            return -1;
        }
        bound[i] = PyTuple_GET_ITEM(defaults, i - first_default);
    }
    return 0;
}

}  // namespace frame
