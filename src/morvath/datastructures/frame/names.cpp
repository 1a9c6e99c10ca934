#include "names.hpp"

#include "module.hpp"

namespace frame {

namespace {
Str* g_strings = nullptr;
Builtin* g_builtins = nullptr;
}  // namespace

Str::Str(const char* text) noexcept : text_(text), next_(g_strings) { g_strings = this; }

Builtin::Builtin(const char* name) noexcept : name_(name), next_(g_builtins) { g_builtins = this; }

int intern_all() noexcept {
    for (Str* s = g_strings; s; s = s->next_) {
        if (s->obj_) continue;
        s->obj_ = PyUnicode_InternFromString(s->text_);
        if (!s->obj_) return -1;
    }
    return 0;
}

int resolve_builtins(PyObject* builtins_module) noexcept {
    for (Builtin* b = g_builtins; b; b = b->next_) {
        Ref value = Ref::steal(PyObject_GetAttrString(builtins_module, b->name_));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", b->name_);
            return -1;
        }
        Py_XSETREF(b->obj_, value.release());
    }
    return 0;
}

Ref global(PyObject* name) noexcept {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(module_globals(), name, &found) != 0) return Ref::steal(found);
    if (PyDict_GetItemRef(builtins_dict(), name, &found) != 0) return Ref::steal(found);
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

}  // namespace frame
