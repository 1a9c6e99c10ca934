// A generator object driven by a resumable C++ state.
//
// Its consumer may be C code that never runs the interpreter's signal
// handlers (list() of the generator, say), so the generator itself polls for
// pending signals every few thousand steps; a handler that raises ends it
// there, as it would end a Python generator.
//
// The object behaves as a Python generator does for its callers: iteration,
// `send`, `throw`, `close`, assignable `__name__` and `__qualname__`, the
// `gi_*` attributes that `inspect.getgeneratorstate` reads, weak references,
// the type name 'generator' in the interpreter's messages, "generator already
// executing" on re-entry. Only the interpreter makes `types.GeneratorType`
// instances, so it is not one of those. The state produces one value per step; a step that
// fails adds the traceback entry of the generator function at the line the
// state reports.
#pragma once

#include <memory>

#include "ref.hpp"

namespace frame {

class GeneratorState {
public:
    virtual ~GeneratorState() = default;
    // The next value as a new reference; null without an exception once
    // exhausted, null with an exception on failure. `line` may be set to the
    // line of the failing statement.
    virtual PyObject* next(int& line) noexcept = 0;
    // Runs instead of a step when a signal handler raised just before it (the
    // exception is set); may set `line` and add entries as a failing step does.
    virtual void interrupted(int& line) noexcept { (void)line; }
    // Visits every object the state holds (for the cyclic collector).
    virtual int traverse(visitproc visit, void* arg) noexcept = 0;
};

// Builds the generator type once per process, while the module is being
// executed: a failure then fails the import, and no operation later has to
// build a type.
int ready_generator_type() noexcept;

// `name` and `qualname` are static strings: they name the generator's code
// object and, as "morvath.datastructures.<short>.<qualname>", its traceback
// entries, whatever is later assigned to its `__name__`/`__qualname__`;
// `line` is the `def` line.
Ref make_generator(const char* name, const char* qualname, int line,
                   std::unique_ptr<GeneratorState> state) noexcept;

}  // namespace frame
