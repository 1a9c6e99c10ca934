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

namespace detail {
extern unsigned long long* g_epoch;  // the table's epoch once joined
}

// The epoch that moves at every change of a dict watched by the package
// (and whenever an extension asks for it to move).
inline unsigned long long namespace_epoch() noexcept { return *detail::g_epoch; }
inline void move_namespace_epoch() noexcept { ++*detail::g_epoch; }

}  // namespace frame
