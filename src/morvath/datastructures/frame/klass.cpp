#include "klass.hpp"

#include <iterator>

#include "function.hpp"
#include "lookup.hpp"
#include "module.hpp"
#include "names.hpp"

namespace frame {

namespace {

Ref to_tuple(const std::vector<Ref>& items) noexcept {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple) return {};
    for (size_t i = 0; i < items.size(); ++i)
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), items[i].copy().release());
    return tuple;
}

// The most derived metaclass among the bases' types (`type` with no bases).
PyObject* choose_metaclass(PyObject* bases) noexcept {
    PyTypeObject* winner = &PyType_Type;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, candidate)) continue;
        if (PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a "
                        "(non-strict) subclass of the metaclasses of all its bases");
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(winner);
}

Str s_init{"__init__"};

// The `__init__` each class the builder made resolved to when it was made.
// Classes live as long as their module, so a handful of entries is all there is.
struct OwnInit {
    PyTypeObject* cls;
    PyObject* init;   // owned
    SiteGuard guard;  // remembers the last check that `init` is still found
};
std::vector<OwnInit>* g_own_inits = nullptr;

OwnInit* own_init_entry(PyTypeObject* cls) noexcept {
    if (g_own_inits)
        for (OwnInit& entry : *g_own_inits)
            if (entry.cls == cls) return &entry;
    return nullptr;
}

// The class's own `__init__` while `cls.__init__` still resolves to it.
PyObject* current_own_init(PyTypeObject* cls) noexcept {
    OwnInit* entry = own_init_entry(cls);
    return entry && entry->guard.resolves_to(cls, s_init, entry->init) ? entry->init : nullptr;
}

// Built-in `__new__` slots that ignore their arguments once `__init__` is
// overridden: calling them with none allocates the same empty instance.
bool new_ignores_arguments(PyTypeObject* cls) noexcept {
    return cls->tp_new == PyBaseObject_Type.tp_new || cls->tp_new == PyDict_Type.tp_new ||
           cls->tp_new == PyList_Type.tp_new;
}

// `cls.__new__(cls)` for a class whose `__new__` ignores its arguments.
// object.__new__ refuses abstract classes and otherwise only allocates.
Ref allocate(PyTypeObject* cls) noexcept {
    if (cls->tp_new == PyBaseObject_Type.tp_new && !(cls->tp_flags & Py_TPFLAGS_IS_ABSTRACT))
        return Ref::steal(cls->tp_alloc(cls, 0));
    Ref none_given = Ref::steal(PyTuple_New(0));
    return none_given ? Ref::steal(cls->tp_new(cls, none_given.get(), nullptr)) : Ref();
}

// `cls(*args, **kwargs)` as the metaclass's __call__ takes it, from an
// argument tuple and a dict built from the vectorcall arguments.
PyObject* call_in_general(PyObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Ref tuple = Ref::steal(PyTuple_New(nargs));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
    Ref keywords;
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        keywords = Ref::steal(PyDict_New());
        if (!keywords) return nullptr;
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k)
            if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0)
                return nullptr;
    }
    ternaryfunc call = Py_TYPE(cls)->tp_call;
    if (!call) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not callable", Py_TYPE(cls)->tp_name);
        return nullptr;
    }
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result = call(cls, tuple.get(), keywords.get());
    Py_LeaveRecursiveCall();
    return result;
}

// `init(obj, *args, **kwargs)` from the vectorcall arguments, with `obj` in
// the free slot in front of them when the caller lent one.
PyObject* call_init(PyObject* init, PyObject* obj, PyObject* const* args, size_t nargsf,
                    PyObject* kwnames) noexcept {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    if (nargsf & PY_VECTORCALL_ARGUMENTS_OFFSET) {
        PyObject** slot = const_cast<PyObject**>(args) - 1;
        PyObject* lent = *slot;
        *slot = obj;
        PyObject* result = call_function(init, slot, (nargs + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
        *slot = lent;
        return result;
    }
    PyObject* small[9];
    if (total + 1 > static_cast<Py_ssize_t>(std::size(small))) {
        Ref bound = Ref::steal(PyMethod_New(init, obj));
        return bound ? PyObject_Vectorcall(bound.get(), args, nargsf, kwnames) : nullptr;
    }
    small[0] = obj;
    for (Py_ssize_t i = 0; i < total; ++i) small[i + 1] = args[i];
    return call_function(init, small, nargs + 1, kwnames);
}

// The vectorcall entry of the library's classes. While the metaclass call
// is type's own, `__new__` is a built-in one that ignores its arguments and
// `__init__` still resolves to the function it resolved to when the class
// was made, the instance is allocated and initialised straight from the
// vectorcall arguments, as type.__call__ would do it through an argument
// tuple; otherwise the call goes the ordinary way. The entry is not inherited: subclasses made in
// Python take the ordinary way.
PyObject* construct(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    auto* cls = reinterpret_cast<PyTypeObject*>(callable);
    if (Py_TYPE(cls)->tp_call != PyType_Type.tp_call || !new_ignores_arguments(cls))
        return call_in_general(callable, args, nargsf, kwnames);
    PyObject* init = current_own_init(cls);
    if (!init) return call_in_general(callable, args, nargsf, kwnames);
    Ref obj = allocate(cls);
    if (!obj || !PyObject_TypeCheck(obj.get(), cls)) return obj.release();
    Ref result = Ref::steal(call_init(init, obj.get(), args, nargsf, kwnames));
    if (!result) return nullptr;
    if (result.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'",
                     Py_TYPE(result.get())->tp_name);
        return nullptr;
    }
    return obj.release();
}

// Gives `cls` the direct construction when its `__init__` is a plain
// function (the module's own or one it inherits): calling that function
// with the new instance first is what type.__call__ does with it.
int install_construction(PyObject* cls) noexcept {
    if (!PyType_Check(cls) || !(reinterpret_cast<PyTypeObject*>(cls)->tp_flags & Py_TPFLAGS_HEAPTYPE))
        return 0;
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (Py_TYPE(type)->tp_call != PyType_Type.tp_call || !new_ignores_arguments(type)) return 0;
    Ref found = class_lookup(type, s_init);
    if (!found || !PyFunction_Check(found.get())) return 0;
    try {
        if (!g_own_inits) g_own_inits = new std::vector<OwnInit>();
        OwnInit* slot = own_init_entry(type);
        if (!slot) slot = &g_own_inits->emplace_back(OwnInit{type, nullptr, SiteGuard{}});
        Py_XSETREF(slot->init, found.release());
        slot->guard = SiteGuard{};
    } catch (...) {
        PyErr_NoMemory();
        return -1;
    }
    type->tp_vectorcall = construct;
    return 0;
}

}  // namespace

ClassBuilder& ClassBuilder::base(Ref base) noexcept {
    if (!base) failed_ = true;
    if (failed_) return *this;
    try {
        bases_.push_back(std::move(base));
    } catch (...) {
        PyErr_NoMemory();
        failed_ = true;
    }
    return *this;
}

ClassBuilder& ClassBuilder::add(const char* name, Ref value) noexcept {
    if (!value) failed_ = true;
    if (failed_) return *this;
    try {
        entries_.emplace_back(name, std::move(value));
    } catch (...) {
        PyErr_NoMemory();
        failed_ = true;
    }
    return *this;
}

PyObject* ClassBuilder::class_cell() noexcept {
    if (!cell_) cell_ = Ref::steal(PyCell_New(nullptr));
    return cell_.get();
}

// Replaces each base that is not a class but has `__mro_entries__` by the
// entries it returns.
Ref ClassBuilder::resolve_bases(PyObject* bases, bool& replaced) noexcept {
    replaced = false;
    Ref resolved = Ref::steal(PyList_New(0));
    if (!resolved) return {};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyObject* base = PyTuple_GET_ITEM(bases, i);
        PyObject* raw_hook = nullptr;
        if (!PyType_Check(base) && PyObject_GetOptionalAttrString(base, "__mro_entries__", &raw_hook) < 0)
            return {};
        Ref hook = Ref::steal(raw_hook);
        if (!hook) {
            if (PyList_Append(resolved.get(), base) < 0) return {};
            continue;
        }
        Ref entries = Ref::steal(PyObject_CallOneArg(hook.get(), bases));
        if (!entries) return {};
        if (!PyTuple_Check(entries.get())) {
            PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
            return {};
        }
        replaced = true;
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(entries.get()); ++j)
            if (PyList_Append(resolved.get(), PyTuple_GET_ITEM(entries.get(), j)) < 0) return {};
    }
    return Ref::steal(PyList_AsTuple(resolved.get()));
}

Ref ClassBuilder::prepare_namespace(PyObject* metaclass, PyObject* name, PyObject* bases) noexcept {
    PyObject* raw_prepare = nullptr;
    if (PyObject_GetOptionalAttrString(metaclass, "__prepare__", &raw_prepare) < 0) return {};
    Ref prepare = Ref::steal(raw_prepare);
    Ref ns = prepare ? Ref::steal(PyObject_CallFunctionObjArgs(prepare.get(), name, bases, nullptr))
                     : Ref::steal(PyDict_New());
    if (!ns) return {};
    Ref qualname = Ref::steal(PyUnicode_FromString(name_));
    if (!qualname || PyMapping_SetItemString(ns.get(), "__module__", full_name()) < 0 ||
        PyMapping_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0)
        return {};
    if (doc_) {
        Ref doc = Ref::steal(PyUnicode_FromString(doc_));
        if (!doc || PyMapping_SetItemString(ns.get(), "__doc__", doc.get()) < 0) return {};
    }
    return ns;
}

Ref ClassBuilder::create() noexcept {
    if (failed_) return {};
    Ref name = Ref::steal(PyUnicode_FromString(name_));
    Ref original = to_tuple(bases_);
    if (!name || !original) return {};
    bool replaced = false;
    Ref bases = resolve_bases(original.get(), replaced);
    if (!bases) return {};
    PyObject* metaclass = choose_metaclass(bases.get());
    if (!metaclass) return {};
    Ref ns = prepare_namespace(metaclass, name.get(), bases.get());
    if (!ns) return {};
    // The order of a class statement: the body's entries, the cell the body
    // leaves last, then __orig_bases__ once the body has run.
    for (auto& [entry, value] : entries_)
        if (PyMapping_SetItemString(ns.get(), entry, value.get()) < 0) return {};
    if (cell_ && PyMapping_SetItemString(ns.get(), "__classcell__", cell_.get()) < 0) return {};
    if (replaced && PyMapping_SetItemString(ns.get(), "__orig_bases__", original.get()) < 0) return {};

    Ref override_meta = Ref::steal(PyMapping_GetItemString(ns.get(), "__metaclass__"));
    if (!override_meta) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return {};
        PyErr_Clear();
    }
    PyObject* factory = override_meta ? override_meta.get() : metaclass;
    Ref cls = Ref::steal(PyObject_CallFunctionObjArgs(factory, name.get(), bases.get(), ns.get(), nullptr));
    if (cls && cell_ && !PyCell_GET(cell_.get()) && PyCell_Set(cell_.get(), cls.get()) < 0) return {};
    if (cls && install_construction(cls.get()) < 0) return {};
    return cls;
}

}  // namespace frame
