#include "compare.hpp"

#include "lookup.hpp"
#include "names.hpp"

namespace frame {

namespace {

Str s_eq{"__eq__"}, s_lt{"__lt__"};

// The comparison slot the interpreter gives a class that defines any rich
// comparison method: it looks the method up on the class at every call.
// Not exported, so it is read from a class made for the purpose.
richcmpfunc g_method_calling_slot = nullptr;

}  // namespace

int prepare_equality_proofs() noexcept {
    if (g_method_calling_slot) return 0;
    Ref names = Ref::steal(PyDict_New());
    if (!names || PyDict_SetItem(names.get(), s_lt, Py_None) < 0) return -1;
    Ref probe = Ref::steal(
        PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O", "comparing", names.get()));
    if (!probe) return -1;
    if (PyType_Check(probe.get())) g_method_calling_slot = reinterpret_cast<PyTypeObject*>(probe.get())->tp_richcompare;
    return 0;
}

bool equality_is_identity(PyTypeObject* type) noexcept {
    const richcmpfunc compare = type->tp_richcompare;
    if (compare != PyBaseObject_Type.tp_richcompare && (!compare || compare != g_method_calling_slot)) return false;
    static SiteGuard guard;
    return guard.inherits_builtin(type, s_eq, &PyBaseObject_Type);
}

}  // namespace frame
