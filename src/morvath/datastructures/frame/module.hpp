// The module definition and the import sequence every module follows.
//
// A module source describes itself with a ModuleSpec (short name, docstring,
// body) and exports `PyInit_<short name>` returning `frame::define_module`.
// The frame owns everything the interpreter sees of the module's life: one
// interpreter per process, one body run per process, the version warning,
// the sys.modules entry, the builtins cache and the "init <full name>"
// traceback entry when the body fails.
//
// Process-wide state: each extension links its own copy of the frame, so the
// state below exists once per module and is written only during import.
#pragma once

#include <initializer_list>

#include "ref.hpp"

namespace frame {

class Body;

struct ModuleSpec {
    const char* short_name;
    const char* doc;  // null: the module has no docstring
    int (*body)(Body&);
};

PyObject* define_module(ModuleSpec& spec) noexcept;

// State readable once the module is being executed.
PyObject* module_object() noexcept;
PyObject* module_globals() noexcept;    // borrowed
PyObject* builtins_dict() noexcept;     // borrowed
const char* short_name() noexcept;
PyObject* full_name() noexcept;         // "morvath.datastructures.<short>"
PyObject* source_file() noexcept;       // "src/morvath/datastructures/<short>"

// The statements of a module body. Each statement method returns 0 on
// success and -1 with an exception set; `at` records the line of the
// statement about to run, for the traceback entry of a failing body.
class Body {
public:
    explicit Body(PyObject* module) noexcept : module_(module) {}

    Body& at(int line) noexcept {
        line_ = line;
        return *this;
    }
    int line() const noexcept { return line_; }

    // import X  (relative to the package first, then absolute)
    int import(const char* name) noexcept;
    // from X import a, b  (relative first, then absolute)
    int from_import(const char* module, std::initializer_list<const char*> names) noexcept;
    // from .X import a, b  (relative only)
    int from_relative_import(const char* module, std::initializer_list<const char*> names) noexcept;
    // name = value (the reference is consumed; a null Ref propagates its error)
    int assign(const char* name, Ref value) noexcept;
    // logger = logging.getLogger(__name__), both names read from the globals
    int assign_logger() noexcept;
    // __test__ = {} : the last statement of every body
    int set_test(Ref entries) noexcept;

private:
    int bind_from(PyObject* imported, std::initializer_list<const char*> names) noexcept;
    PyObject* module_;
    int line_ = 1;
};

}  // namespace frame
