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

// Yes/no answers about a type, kept under its version tag. The interpreter
// gives a type a new tag whenever its MRO or the dictionary of any class in
// it changes (a class that has a tag has tagged bases, and a change resets
// the tags of all its subclasses), and never reuses a tag; so an answer
// recorded under the current tag still holds. The table is direct-mapped:
// a colliding question evicts the older answer. Each entry owns its name,
// so that no other string can take the name's address; the other two keys
// are only compared (while the answer holds, the class dictionaries keep
// whatever they hold alive).
template <size_t Slots>
class TaggedAnswers {
public:
    template <typename Compute>
    bool answer(PyTypeObject* type, PyObject* name, const void* first, const void* second,
                Compute compute) noexcept {
        if (!has_version_tag(type)) return compute();  // out of tags: nothing can be kept
        const unsigned int tag = type->tp_version_tag;
        Entry& entry = slot(type, name, first, second);
        if (entry.tag == tag && entry.type == type && entry.name == name && entry.first == first &&
            entry.second == second)
            return entry.value;
        const bool value = compute();
        // The lookups run no Python code that could retag the type, but an
        // answer computed across a retag must not be kept under the old tag.
        if (type->tp_version_tag == tag) {
            Py_XSETREF(entry.name, Py_NewRef(name));
            entry.type = type;
            entry.first = first;
            entry.second = second;
            entry.tag = tag;
            entry.value = value;
        }
        return value;
    }

private:
    struct Entry {
        PyTypeObject* type = nullptr;
        PyObject* name = nullptr;
        const void* first = nullptr;
        const void* second = nullptr;
        unsigned int tag = 0;
        bool value = false;
    };

    Entry& slot(PyTypeObject* type, PyObject* name, const void* first, const void* second) noexcept {
        const auto bits = [](const void* p) { return reinterpret_cast<uintptr_t>(p); };
        const uintptr_t mixed = bits(type) ^ (bits(name) >> 3) ^ (bits(first) >> 5) ^ (bits(second) >> 7);
        return entries_[(mixed >> 4) % Slots];
    }

    Entry entries_[Slots];
};

TaggedAnswers<64> g_reaches;
TaggedAnswers<256> g_resolves;

}  // namespace

Ref class_lookup(PyTypeObject* type, PyObject* name) noexcept {
    Ref mro = Ref::borrow(type->tp_mro);  // kept: a metaclass may replace the MRO while we walk
    return mro ? first_entry(mro.get(), 0, name) : Ref();
}

bool resolves_to(PyTypeObject* type, PyObject* name, PyObject* expected) noexcept {
    if (!expected) return false;
    return g_resolves.answer(type, name, expected, nullptr, [&]() noexcept {
        Ref found = class_lookup(type, name);
        return found.get() == expected;
    });
}

bool inherits_builtin(PyTypeObject* type, PyObject* name, PyTypeObject* builtin) noexcept {
    Ref dict = Ref::steal(PyType_GetDict(builtin));
    PyObject* found = nullptr;
    if (!dict || PyDict_GetItemRef(dict.get(), name, &found) <= 0) {
        PyErr_Clear();
        return false;
    }
    // A built-in type's dictionary never changes, so its entry outlives the answer.
    Ref own = Ref::steal(found);
    return resolves_to(type, name, own.get());
}

bool super_reaches(PyTypeObject* type, PyObject* klass, PyObject* name, PyTypeObject* target) noexcept {
    return g_reaches.answer(type, name, klass, target,
                            [&]() noexcept { return walk_reaches(type, klass, name, target); });
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
