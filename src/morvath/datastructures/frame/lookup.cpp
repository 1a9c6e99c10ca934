#include "lookup.hpp"

#include "function.hpp"
#include "names.hpp"

namespace frame {

namespace {

// The position of `klass` in the MRO tuple, or its size when absent.
Py_ssize_t position_in(PyObject* mro, PyObject* klass) noexcept {
    const Py_ssize_t size = PyTuple_GET_SIZE(mro);
    Py_ssize_t i = 0;
    while (i < size && PyTuple_GET_ITEM(mro, i) != klass) ++i;
    return i;
}

// The first class-dictionary entry for `name` in mro[start:].
Ref first_entry(PyObject* mro, Py_ssize_t start, PyObject* name) noexcept {
    for (Py_ssize_t i = start; i < PyTuple_GET_SIZE(mro); ++i) {
        Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        if (!dict) continue;
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(dict.get(), name, &found) < 0) {
            PyErr_Clear();
            return {};
        }
        if (found) return Ref::steal(found);
    }
    return {};
}

}  // namespace

Ref class_lookup(PyTypeObject* type, PyObject* name) noexcept {
    Ref mro = Ref::borrow(type->tp_mro);  // kept: a metaclass may replace the MRO while we walk
    return mro ? first_entry(mro.get(), 0, name) : Ref();
}

bool super_reaches(PyTypeObject* type, PyObject* klass, PyObject* name, PyTypeObject* target) noexcept {
    Ref keep = Ref::borrow(type->tp_mro);
    PyObject* mro = keep.get();
    if (!mro) return false;
    for (Py_ssize_t i = position_in(mro, klass) + 1; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* candidate = PyTuple_GET_ITEM(mro, i);
        if (candidate == reinterpret_cast<PyObject*>(target)) return true;
        Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(candidate)));
        if (!dict) return false;
        int defined = PyDict_Contains(dict.get(), name);
        if (defined != 0) {
            if (defined < 0) PyErr_Clear();
            return false;
        }
    }
    return false;
}

bool super_reaches(const Call& call, PyObject* self, PyObject* name, PyTypeObject* target) noexcept {
    PyObject* klass = call.defining_class();
    if (!klass) {
        PyErr_Clear();  // the general path raises it again
        return false;
    }
    return super_reaches(Py_TYPE(self), klass, name, target);
}

namespace {

// The class-dictionary entry that super(klass, obj).<name> starts from.
Ref super_entry(const Call& call, PyObject* self, PyObject* name) noexcept {
    PyObject* klass = call.defining_class();
    if (!klass) {
        PyErr_Clear();
        return {};
    }
    Ref mro = Ref::borrow(Py_TYPE(self)->tp_mro);
    if (!mro) return {};
    return first_entry(mro.get(), position_in(mro.get(), klass) + 1, name);
}

}  // namespace

Ref super_lookup(const Call& call, PyObject* self, PyObject* name) noexcept {
    return super_entry(call, self, name);
}

Ref call_super(const Call& call, PyObject* self, PyObject* name,
               std::initializer_list<PyObject*> args) noexcept {
    PyObject* stack[8] = {nullptr, self};
    size_t n = 2;
    for (PyObject* arg : args) stack[n++] = arg;
    Ref entry = super_entry(call, self, name);
    if (entry && PyFunction_Check(entry.get()))
        return Ref::steal(PyObject_Vectorcall(entry.get(), stack + 1, (n - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    Ref proxy = super_proxy(call, self);
    if (!proxy) return {};
    stack[1] = proxy.get();
    return Ref::steal(PyObject_VectorcallMethod(name, stack + 1, n - 1, nullptr));
}

Ref call_super(const Call& call, PyObject* self, PyObject* name, PyObject* args,
               PyObject* kwargs) noexcept {
    Ref entry = super_entry(call, self, name);
    Ref method;
    if (entry && PyFunction_Check(entry.get())) {
        method = Ref::steal(PyMethod_New(entry.get(), self));
    } else {
        Ref proxy = super_proxy(call, self);
        if (!proxy) return {};
        method = attr(proxy.get(), name);
    }
    if (!method) return {};
    return Ref::steal(PyObject_Call(method.get(), args, kwargs));
}

bool is_bound_method(PyObject* bound, PyObject* function, PyObject* self) noexcept {
    return PyMethod_Check(bound) && PyMethod_GET_FUNCTION(bound) == function &&
           PyMethod_GET_SELF(bound) == self;
}

int is_str(PyObject* obj) noexcept {
    if (PyUnicode_Check(obj)) return 1;
    return PyObject_IsInstance(obj, reinterpret_cast<PyObject*>(&PyUnicode_Type));
}

}  // namespace frame
