#include "kept.hpp"

#include "module.hpp"
#include "watchers.hpp"

namespace frame {

namespace {

bool g_watched = false;    // the module globals and the builtins are watched
bool g_unwatched = false;  // no slot was free, or watching failed

bool watch(PyObject* names) noexcept {
    if (PyDict_Watch(package_dict_watcher(), names) == 0) return true;
    PyErr_Clear();
    g_unwatched = true;
    return false;
}

// True while a value kept at `epoch` still holds: the namespaces are
// watched and have not changed since.
bool current(unsigned long long epoch) noexcept { return epoch == namespace_epoch() && !g_unwatched; }

// True once the module globals and the builtins are watched, through the
// package's one dict watcher.
bool watching() noexcept {
    if (g_watched || g_unwatched) return g_watched && !g_unwatched;
    if (package_dict_watcher() < 0) {
        g_unwatched = true;
        return false;
    }
    move_namespace_epoch();
    g_watched = watch(module_globals()) && watch(builtins_dict());
    return g_watched;
}

// The entry of `names` without running any code (exact str names only).
PyObject* borrowed_entry(PyObject* names, PyObject* name, bool& failed) noexcept {
    PyObject* found = nullptr;
    failed = PyDict_GetItemRef(names, name, &found) < 0;
    Py_XDECREF(found);  // the dict keeps it for as long as the epoch stays
    return found;
}

}  // namespace

Ref KeptGlobal::get() noexcept {
    if (value_ && current(epoch_)) return Ref::borrow(value_);
    const bool kept = watching();
    const unsigned long long epoch = namespace_epoch();  // before the lookup, which may run code
    Ref value = global(name_);
    if (value && kept) value_ = value.get(), epoch_ = epoch;
    return value;
}

PyObject* KeptGlobal::peek() noexcept {
    if (value_ && current(epoch_)) return value_;
    return get().get();  // the namespace keeps it alive
}

Ref KeptEntry::get(PyObject* names) noexcept {
    if (names == names_ && current(epoch_)) return Ref::borrow(value_);
    bool failed = false;
    const bool kept = watching() && watch(names);
    const unsigned long long epoch = namespace_epoch();  // before the lookup, which may run code
    PyObject* value = borrowed_entry(names, name_, failed);
    if (failed) {
        // An ordinary Exception from a colliding key's `__eq__` reads as no
        // entry; KeyboardInterrupt, MemoryError and the like go on.
        if (PyErr_ExceptionMatches(PyExc_Exception)) PyErr_Clear();
        names_ = nullptr;
        return {};
    }
    if (kept) names_ = names, value_ = value, epoch_ = epoch;
    return Ref::borrow(value);
}

void rewatch_module_namespaces() noexcept {
    move_namespace_epoch();
    if (g_watched && !g_unwatched) {
        watch(module_globals());
        watch(builtins_dict());
    }
}

}  // namespace frame
