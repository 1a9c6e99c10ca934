// The C interface that keyvane offers to the modules whose classes build on
// NestedKeyvane.
//
// Each extension links its own copy of the frame, so keyvane cannot tell a
// function object of another module from a user's function. A module whose
// class overrides `__setitem__` with a known, converting store registers that
// function here; keyvane's dotted stores and merges then run it directly
// instead of through a general item assignment at every level.
//
// keyvane publishes the table below as a capsule in the interpreter's
// dictionary of extension state (not seen from Python) when its body runs;
// a module imports keyvane first and then reads the table. A module that
// finds no table registers nothing, and its classes take the general paths.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace keyvane_api {

inline constexpr const char* kCapsuleName = "morvath.datastructures.keyvane.stores";
inline constexpr int kVersion = 1;

// An overriding `__setitem__(self, key, value)` whose whole body is
// `super().__setitem__(key, convert(value))`, with zero-argument super().
// keyvane runs it directly for a class that resolves `__setitem__` to
// `function` and whose super() from it reaches NestedKeyvane.__setitem__.
struct ConvertingStore {
    PyObject* function;                     // the function object
    PyObject* (*convert)(PyObject* value);  // new reference, or null with an exception set
    // Its traceback entry for an error leaving it: at the store's line once
    // it `started`, else (the call could not begin) at its `def` line.
    void (*add_traceback)(bool started);
};

struct Table {
    int version;
    // Keeps `store` (and a reference to its function) for the life of the
    // process. 0, or -1 with an exception set.
    int (*register_converting_store)(const ConvertingStore* store);
};

// The table that keyvane published, or null without an exception set.
inline const Table* find_table() noexcept {
    PyObject* state = PyInterpreterState_GetDict(PyInterpreterState_Get());
    PyObject* capsule = state ? PyDict_GetItemString(state, kCapsuleName) : nullptr;
    if (!capsule || !PyCapsule_IsValid(capsule, kCapsuleName)) return nullptr;
    auto* table = static_cast<const Table*>(PyCapsule_GetPointer(capsule, kCapsuleName));
    return table && table->version == kVersion ? table : nullptr;
}

}  // namespace keyvane_api
