// Namespace entries read at every step of a loop, kept between reads.
//
// A module global (or an entry of another module's namespace) that a loop
// reads for every item is looked up once and kept. A dict watcher on the
// module globals, the builtins and every other namespace read this way
// moves one epoch forward at any change of those dicts (an entry set,
// rebound or deleted, the dict cleared, cloned or freed); a kept entry is
// used only while the epoch has not moved. A rebinding at any moment, even
// by code the loop itself runs, is therefore seen by the next read, exactly
// as if every read went to the dict. The kept value is borrowed: the dict
// holds it for as long as the epoch stays. The watcher slot is taken at the
// first read; when the interpreter has none left, every read goes to the
// dicts.
#pragma once

#include "names.hpp"

namespace frame {

// `name` as the module's code reads it: module globals, then builtins
// (NameError when in neither), as `frame::global` does.
class KeptGlobal {
public:
    explicit KeptGlobal(const Str& name) noexcept : name_(name) {}
    Ref get() noexcept;
    // The value without a reference of its own (the namespace holds one),
    // or null with NameError: for identity tests made before any other
    // code runs. Taking and dropping a reference at every step of a walk
    // stalls the processor on the object's count.
    PyObject* peek() noexcept;

private:
    const Str& name_;
    PyObject* value_ = nullptr;  // borrowed; valid while epoch_ is current
    unsigned long long epoch_ = 0;
};

// The entry `name` of the namespace dict `names` (another module's
// globals), or null without an exception when it has none or its lookup
// raised an ordinary Exception; null with the error set when the lookup
// raised anything else (KeyboardInterrupt from a colliding key's `__eq__`).
class KeptEntry {
public:
    explicit KeptEntry(const Str& name) noexcept : name_(name) {}
    Ref get(PyObject* names) noexcept;

private:
    const Str& name_;
    PyObject* names_ = nullptr;  // the dict the entry was read from
    PyObject* value_ = nullptr;  // borrowed, possibly null (no entry)
    unsigned long long epoch_ = 0;
};

// Called when the module's globals are set: forgets every kept entry and
// watches the new dicts if a watcher is in use.
void rewatch_module_namespaces() noexcept;

}  // namespace frame
