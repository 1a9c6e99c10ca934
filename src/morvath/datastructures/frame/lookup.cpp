#include "lookup.hpp"

#include <iterator>

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

// Walks the MRO of `type` after `klass`: true when `target` comes before any
// class whose dictionary defines `name`.
bool walk_reaches(PyTypeObject* type, PyObject* klass, PyObject* name, PyTypeObject* target) noexcept {
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

// Answers of walk_reaches, kept under the version tag of `type`. The
// interpreter gives a type a new tag whenever its MRO or the dictionary of
// any class in it changes (a class that has a tag has tagged bases, and a
// change resets the tags of all its subclasses), and never reuses a tag; so
// an answer recorded under the current tag still holds. Each entry owns its
// name, so that no other string can take the name's address.
struct Reach {
    PyTypeObject* type = nullptr;
    PyObject* klass = nullptr;
    PyObject* name = nullptr;
    PyTypeObject* target = nullptr;
    unsigned int tag = 0;
    bool reaches = false;
};

constexpr size_t kReachSlots = 64;
Reach g_reaches[kReachSlots];

Reach& reach_slot(PyTypeObject* type, PyObject* klass, PyObject* name, PyTypeObject* target) noexcept {
    const auto bits = [](const void* p) { return reinterpret_cast<uintptr_t>(p); };
    const uintptr_t mixed = bits(type) ^ (bits(klass) >> 3) ^ (bits(name) >> 5) ^ (bits(target) >> 7);
    return g_reaches[(mixed >> 4) % kReachSlots];
}

}  // namespace

Ref class_lookup(PyTypeObject* type, PyObject* name) noexcept {
    Ref mro = Ref::borrow(type->tp_mro);  // kept: a metaclass may replace the MRO while we walk
    return mro ? first_entry(mro.get(), 0, name) : Ref();
}

bool super_reaches(PyTypeObject* type, PyObject* klass, PyObject* name, PyTypeObject* target) noexcept {
    if (type->tp_version_tag == 0 && !PyUnstable_Type_AssignVersionTag(type))
        return walk_reaches(type, klass, name, target);  // out of tags: nothing can be kept
    Reach& slot = reach_slot(type, klass, name, target);
    if (slot.tag == type->tp_version_tag && slot.type == type && slot.klass == klass &&
        slot.name == name && slot.target == target)
        return slot.reaches;
    const bool reaches = walk_reaches(type, klass, name, target);
    // The walk ran no Python code that could retag the type, but check anyway.
    if (type->tp_version_tag != 0) {
        Py_XSETREF(slot.name, Py_NewRef(name));
        slot.type = type;
        slot.klass = klass;
        slot.target = target;
        slot.tag = type->tp_version_tag;
        slot.reaches = reaches;
    }
    return reaches;
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
    // A free slot in front of self lets the callee prepend without copying.
    PyObject* stack[8] = {nullptr, self};
    if (args.size() > std::size(stack) - 2) {
        PyErr_SetString(PyExc_SystemError, "call_super: too many arguments");
        return {};
    }
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
