// The dict watcher, taken once for the whole package.
//
// CPython 3.13 leaves six dict-watcher slots to extensions, and each of the
// package's extensions links its own copy of the frame. So the first
// extension that is initialised publishes a small table in the
// interpreter's state dict (a capsule under "morvath.datastructures.watchers",
// its layout tagged with a version number) and every other one joins it:
// one dict watcher, and the one epoch it moves, serve them all. An extension
// that finds a table of another layout keeps a table of its own.
//
// The watcher moves the epoch forward at any change of a dict watched
// through it (see kept.hpp); it is taken at the first need, and when no slot
// is free the dicts are read every time.
//
// The same table holds the package's one function watcher, taken when the
// first extension joins, and the registry it keeps: every function the
// package vouches for (each frame function, and the few functions of other
// modules whose bodies a fast path stands in for) with the code it was
// vouched for, and the set of those whose code is not that one now. A
// function so displaced never counts as the one a fast path expects (see
// resolves_to), and since answers about classes are kept under version
// tags, which a `__code__` assignment leaves alone, every class whose
// dictionary holds the function, with all its subclasses, is given a new
// tag whenever the function moves away from its code or back.
//
// With no function-watcher slot free, every watched function counts as
// displaced for good: the fast paths that vouch for one give way.
#pragma once

#include "ref.hpp"

namespace frame {

// Joins (or publishes) the package's table; idempotent, and done before
// the first function is made. -1 with an exception only when the
// interpreter's state dict cannot be used.
int join_package_watchers() noexcept;

// The package's dict watcher, taken at the first call; -1 without an
// exception when no slot is free.
int package_dict_watcher() noexcept;

// Watches `function` (a function object): from now on, while its code is
// not the one it has now, code_displaced(function) is true. 0, or -1 with
// an exception.
int watch_code(PyObject* function) noexcept;

namespace detail {
extern unsigned long long* g_epoch;  // the table's epoch once joined
extern const Py_ssize_t* g_displaced;  // how many watched functions run other code (or -1: all count)
bool is_displaced(PyObject* function) noexcept;
}

// True when `function` is a watched function whose code is not the one it
// was watched with. Costs one load while no watched function is displaced.
inline bool code_displaced(PyObject* function) noexcept {
    return *detail::g_displaced != 0 && detail::is_displaced(function);
}

// The epoch that moves at every change of a dict watched by the package
// (and whenever an extension asks for it to move).
inline unsigned long long namespace_epoch() noexcept { return *detail::g_epoch; }
inline void move_namespace_epoch() noexcept { ++*detail::g_epoch; }

}  // namespace frame
