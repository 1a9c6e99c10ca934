// The one source of the frame that reads the interpreter's object layout.
// An instance of a class with inline storage keeps its attribute values in
// an array right after the object header, indexed like the class's shared
// keys. That layout is private to the interpreter and fixed within a
// release series, so it is read only when built for CPython 3.13 with the
// global interpreter lock; elsewhere every read takes the general lookup.
//
// Built against one patch release's headers and run on whichever 3.13.x is
// installed, the layout proves itself when the module is initialised (see
// `prove_inline_layout`); a layout that does not agree turns the shortcut
// off for the process rather than have it corrupt memory.
#define Py_BUILD_CORE 1
#include <Python.h>

#include "instance.hpp"

#include <cstdlib>
#include <cstring>

#include "lookup.hpp"

#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
#define MORVATH_INLINE_VALUES 1
#include "internal/pycore_dict.h"
#include "internal/pycore_object.h"
#endif

namespace frame {

namespace {

// Off until the layout has proved itself on the running interpreter.
bool g_layout_proved = false;

// The private switch that runs the suite with the shortcut off:
// _MORVATH_DATASTRUCTURES_INLINE_LAYOUT=off in the environment.
bool switched_off_for_tests() noexcept {
    const char* value = std::getenv("_MORVATH_DATASTRUCTURES_INLINE_LAYOUT");
    return value && std::strcmp(value, "off") == 0;
}

// Records the outcome where tests can read it: the entry
// "morvath.datastructures.inline_layout" of the interpreter's state dict.
void publish_layout_state() noexcept {
    PyObject* state = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!state || PyDict_SetItemString(state, "morvath.datastructures.inline_layout",
                                       g_layout_proved ? Py_True : Py_False) < 0)
        PyErr_Clear();
}

}  // namespace

#ifdef MORVATH_INLINE_VALUES

namespace {

// The index of `name` in the class's shared keys, by identity: attribute
// names are interned, so the entry of an interned name is that very object.
// -1 when absent (or spelled by an equal but distinct string).
Py_ssize_t shared_key_index(PyDictKeysObject* keys, PyObject* name) noexcept {
    if (!keys || !DK_IS_UNICODE(keys)) return -1;
    PyDictUnicodeEntry* entries = DK_UNICODE_ENTRIES(keys);
    for (Py_ssize_t i = 0; i < keys->dk_nentries; ++i)
        if (entries[i].me_key == name) return i;
    return -1;
}

// Where `name` lives in the instances of a class that does not define it,
// kept under the class's version tag (renewed whenever a class in its MRO
// changes). A class's shared keys only ever grow, so an index once found
// stays right; it is checked against the keys' entry, which also keeps the
// name itself alive. A name not yet among the keys is not kept: the first
// store of it, made the general way, adds it.
class SlotIndexes {
public:
    Py_ssize_t index(PyTypeObject* type, PyObject* name) noexcept {
        PyDictKeysObject* keys = reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys;
        Entry& entry = entries_[((reinterpret_cast<uintptr_t>(type) ^ reinterpret_cast<uintptr_t>(name)) >> 4) % kSlots];
        if (entry.type == type && tag_holds(type, entry.tag) && entry.name == name && keys &&
            entry.index < keys->dk_nentries && DK_UNICODE_ENTRIES(keys)[entry.index].me_key == name)
            return entry.index;
        return refresh(type, keys, name, entry);
    }

private:
    static constexpr size_t kSlots = 64;
    struct Entry {
        PyTypeObject* type = nullptr;
        PyObject* name = nullptr;
        unsigned int tag = 0;
        Py_ssize_t index = 0;
    };

    // Kept out of line, so that the usual read stays a handful of loads.
    [[gnu::noinline]] static Py_ssize_t refresh(PyTypeObject* type, PyDictKeysObject* keys, PyObject* name,
                                                Entry& entry) noexcept {
        return keep_under_tag(
            type, [&]() noexcept { return compute(type, keys, name); },
            [&](unsigned int tag, Py_ssize_t found) noexcept {
                if (found >= 0) entry = {type, name, tag, found};
            });
    }

    static Py_ssize_t compute(PyTypeObject* type, PyDictKeysObject* keys, PyObject* name) noexcept {
        const Py_ssize_t index = shared_key_index(keys, name);
        return index >= 0 && class_lacks(type, name) ? index : -1;
    }

    Entry entries_[kSlots];
};

SlotIndexes g_slot_indexes;

// The slot of `name` in the inline storage of `obj`, or null when the
// general lookup must answer: no valid inline storage, a class that
// defines `name` (a descriptor or a plain value takes part in the lookup),
// or a name the class's keys do not hold.
PyObject** inline_slot(PyObject* obj, PyObject* name) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    if (!g_layout_proved || !(type->tp_flags & Py_TPFLAGS_INLINE_VALUES) || !PyUnicode_CheckExact(name))
        return nullptr;
    PyDictValues* values = _PyObject_InlineValues(obj);
    if (!values->valid) return nullptr;
    const Py_ssize_t index = g_slot_indexes.index(type, name);
    if (index < 0 || index >= values->capacity) return nullptr;
    return &values->values[index];
}

}  // namespace

bool instance_attribute(PyObject* obj, PyObject* name, PyObject** found) noexcept {
    if (Py_TYPE(obj)->tp_getattro != PyObject_GenericGetAttr) return false;
    PyObject** slot = inline_slot(obj, name);
    if (!slot || !*slot) return false;
    *found = Py_NewRef(*slot);
    return true;
}

// As the interpreter's specialised store does it: only while no dictionary
// object has been made for the instance (it would have to see the change),
// recording a new attribute in the storage's insertion order.
bool store_instance_attribute(PyObject* obj, PyObject* name, PyObject* value) noexcept {
    if (Py_TYPE(obj)->tp_setattro != PyObject_GenericSetAttr) return false;
    PyObject** slot = inline_slot(obj, name);
    if (!slot || _PyObject_GetManagedDict(obj)) return false;
    PyDictValues* values = _PyObject_InlineValues(obj);
    PyObject* old = *slot;
    *slot = Py_NewRef(value);
    if (old)
        Py_DECREF(old);
    else
        _PyDictValues_AddToInsertionOrder(values, slot - values->values);
    return true;
}

namespace {

// The probe: instances of a fresh class, whose attributes are stored the
// general way and read through the layout, then stored through the layout
// and read the general way. Reads through the layout only compare
// addresses until they have agreed, so a foreign layout is never written.
// The shortcut is on while the probe runs, which runs no other code.
class LayoutProbe {
public:
    bool agrees() noexcept {
        if (!make_class()) return false;
        const bool agreed = reads_agree() && stores_agree();
        PyErr_Clear();
        return agreed;
    }

private:
    bool make_class() noexcept {
        Ref namespace_ = Ref::steal(PyDict_New());
        if (!namespace_) return false;
        cls_ = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O",
                                                "LayoutProbe", namespace_.get()));
        for (int i = 0; i < kNames && cls_; ++i) {
            const char name[] = {'p', 'r', 'o', 'b', 'e', '_', static_cast<char>('a' + i), '\0'};
            names_[i] = Ref::steal(PyUnicode_InternFromString(name));
            values_[i] = Ref::steal(PyLong_FromLong(1000 + i));
            if (!names_[i] || !values_[i]) return false;
        }
        return cls_ && (reinterpret_cast<PyTypeObject*>(cls_.get())->tp_flags & Py_TPFLAGS_INLINE_VALUES);
    }

    Ref instance() const noexcept { return Ref::steal(PyObject_CallNoArgs(cls_.get())); }

    // Stored the general way, each value sits where the layout says, at the
    // index of its key among the class's shared keys.
    bool reads_agree() noexcept {
        Ref obj = instance();
        if (!obj) return false;
        for (int i = 0; i < kNames; ++i)
            if (PyObject_GenericSetAttr(obj.get(), names_[i].get(), values_[i].get()) < 0) return false;
        PyTypeObject* type = Py_TYPE(obj.get());
        PyDictKeysObject* keys = reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys;
        for (int i = 0; i < kNames; ++i) {
            if (shared_key_index(keys, names_[i].get()) != i) return false;
            PyObject** slot = inline_slot(obj.get(), names_[i].get());
            if (!slot || *slot != values_[i].get()) return false;
        }
        return true;
    }

    // Stored through the layout in another order, the values read back the
    // general way, and vars() lists them in the order they were stored.
    bool stores_agree() noexcept {
        Ref obj = instance();
        if (!obj) return false;
        for (int i = kNames - 1; i >= 0; --i)
            if (!store_instance_attribute(obj.get(), names_[i].get(), values_[i].get())) return false;
        if (!store_instance_attribute(obj.get(), names_[0].get(), values_[1].get())) return false;
        Ref seen = Ref::steal(PyObject_GenericGetDict(obj.get(), nullptr));
        Ref keys = seen ? Ref::steal(PyDict_Keys(seen.get())) : Ref();
        if (!keys || PyList_GET_SIZE(keys.get()) != kNames) return false;
        for (int i = 0; i < kNames; ++i) {
            const int stored = kNames - 1 - i;
            if (PyList_GET_ITEM(keys.get(), i) != names_[stored].get()) return false;
            PyObject* expected = values_[stored == 0 ? 1 : stored].get();
            Ref value = Ref::steal(PyObject_GenericGetAttr(obj.get(), names_[stored].get()));
            if (value.get() != expected) return false;
        }
        return true;
    }

    static constexpr int kNames = 3;
    Ref cls_;
    Ref names_[kNames];
    Ref values_[kNames];
};

}  // namespace

void prove_inline_layout() noexcept {
    static bool done = false;
    if (done) return;
    done = true;
    PyObject* raised = PyErr_GetRaisedException();
    g_layout_proved = !switched_off_for_tests();
    g_layout_proved = g_layout_proved && LayoutProbe().agrees();
    PyErr_SetRaisedException(raised);
    publish_layout_state();
}

#else

bool instance_attribute(PyObject*, PyObject*, PyObject**) noexcept { return false; }
bool store_instance_attribute(PyObject*, PyObject*, PyObject*) noexcept { return false; }
void prove_inline_layout() noexcept { publish_layout_state(); }

#endif

}  // namespace frame
