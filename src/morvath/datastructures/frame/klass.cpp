#include "klass.hpp"

#include "module.hpp"

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
    return cls;
}

}  // namespace frame
