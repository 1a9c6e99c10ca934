#include "module.hpp"

#include "errors.hpp"
#include "generator.hpp"
#include "instance.hpp"
#include "kept.hpp"
#include "names.hpp"
#include "traceback.hpp"

namespace frame {

namespace {

struct ModuleState {
    ModuleSpec* spec = nullptr;
    int64_t interpreter_id = -1;
    PyObject* module = nullptr;  // owned for the life of the process once ready
    // Owned, and kept when a failed body forgets its module: functions and
    // classes that body created may still be reachable (a base class's
    // __subclasses__(), gc.get_objects()) and read their globals through it.
    PyObject* globals = nullptr;
    PyObject* builtins = nullptr;
    PyObject* full_name = nullptr;
    PyObject* source_file = nullptr;
    PyObject* init_entry = nullptr;  // "init <full name>"
};

ModuleState g_state;

Str s_logging{"logging"}, s_getLogger{"getLogger"}, s_name{"__name__"};

PyMethodDef g_no_methods[] = {{nullptr, nullptr, 0, nullptr}};

// Each name is made once; after a failed attempt the next import makes the
// ones still missing.
int make_name(PyObject*& name, const char* format) noexcept {
    if (!name) name = PyUnicode_FromFormat(format, g_state.spec->short_name);
    return name ? 0 : -1;
}

int make_names() noexcept {
    if (make_name(g_state.full_name, "morvath.datastructures.%s") < 0 ||
        make_name(g_state.source_file, "src/morvath/datastructures/%s") < 0 ||
        make_name(g_state.init_entry, "init morvath.datastructures.%s") < 0)
        return -1;
    return 0;
}

// Copies one attribute of the module spec into the module dictionary; a
// missing attribute is skipped, as is a None `__path__`.
int copy_spec_attribute(PyObject* spec, const char* from, PyObject* dict, const char* to,
                        bool skip_none) noexcept {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (skip_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(dict, to, value.get());
}

// The module this process already runs, for a new import of it (after its
// sys.modules entry was deleted, say). The interpreter forgets the state block
// of a module handed back here and gives it a new one when executing it
// again; the old block is released now, so that no re-import orphans one.
// Nothing reads the block in between: the interpreter drops its pointer as
// soon as this step returns.
PyObject* hand_back_module() noexcept {
    PyMem_Free(PyModule_GetState(g_state.module));
    return Py_NewRef(g_state.module);
}

PyObject* create_module(PyObject* spec, PyModuleDef*) noexcept {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    if (g_state.interpreter_id == -1) {
        g_state.interpreter_id = current;
    } else if (g_state.interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (g_state.module) return hand_back_module();

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (copy_spec_attribute(spec, "loader", dict, "__loader__", false) < 0 ||
        copy_spec_attribute(spec, "origin", dict, "__file__", false) < 0 ||
        copy_spec_attribute(spec, "parent", dict, "__package__", false) < 0 ||
        copy_spec_attribute(spec, "submodule_search_locations", dict, "__path__", true) < 0)
        return nullptr;
    return module.release();
}

int warn_on_version_mismatch() noexcept {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION,
                            PyUnicode_AsUTF8(g_state.full_name), "does not match", major, minor);
}

int enter_in_sys_modules(PyObject* module) noexcept {
    PyObject* modules = PyImport_GetModuleDict();
    int present = PyDict_Contains(modules, g_state.full_name);
    if (present != 0) return present < 0 ? -1 : 0;
    return PyDict_SetItem(modules, g_state.full_name, module);
}

void forget_module() noexcept { Py_CLEAR(g_state.module); }

// Runs the body; on failure adds the "init <full name>" entry and forgets the
// module, so that a later import creates and runs a new one.
int run_body(PyObject* module) noexcept {
    Body body(module);
    int done;
    try {
        done = g_state.spec->body(body);
    } catch (...) {
        raise_for_cxx_exception();
        done = -1;
    }
    if (done == 0) return 0;
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_ImportError, g_state.init_entry);
    add_traceback_entry(g_state.init_entry, body.line());
    forget_module();
    return -1;
}

int exec_module(PyObject* module) noexcept {
    if (g_state.module) {
        if (g_state.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     g_state.spec->short_name);
        return -1;
    }
    if (make_names() < 0 || intern_all() < 0) return -1;
    g_state.module = Py_NewRef(module);
    Py_XSETREF(g_state.globals, Py_NewRef(PyModule_GetDict(module)));

    Ref builtins = Ref::steal(PyImport_AddModuleRef("builtins"));
    if (!builtins || PyObject_SetAttrString(module, "__builtins__", builtins.get()) < 0 ||
        warn_on_version_mismatch() < 0 || enter_in_sys_modules(module) < 0 ||
        resolve_builtins(builtins.get()) < 0 || ready_generator_type() < 0) {
        forget_module();
        return -1;
    }
    if (!g_state.builtins) g_state.builtins = Py_NewRef(PyModule_GetDict(builtins.get()));
    rewatch_module_namespaces();
    prove_inline_layout();
    return run_body(module);
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    nullptr, nullptr, 0, g_no_methods, g_slots, nullptr, nullptr, nullptr,
};

// -- import statements ------------------------------------------------------

Ref import_at_level(PyObject* name, PyObject* fromlist, int level) noexcept {
    return Ref::steal(
        PyImport_ImportModuleLevelObject(name, g_state.globals, nullptr, fromlist, level));
}

Ref import_relative_then_absolute(PyObject* name, PyObject* fromlist) noexcept {
    Ref module = import_at_level(name, fromlist, 1);
    if (module || !PyErr_ExceptionMatches(PyExc_ImportError)) return module;
    PyErr_Clear();
    return import_at_level(name, fromlist, 0);
}

// The module X itself, when both import attempts failed but sys.modules
// already holds a fully initialised X; null (no exception set) otherwise.
// A None entry blocks the import of X and is never used. Called with no
// exception set: the lookups below run Python code.
Ref initialised_from_sys_modules(PyObject* name) noexcept {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(PyImport_GetModuleDict(), name, &found) <= 0 || found == Py_None) {
        Py_XDECREF(found);
        PyErr_Clear();
        return {};
    }
    Ref module = Ref::steal(found);
    Ref spec = Ref::steal(PyObject_GetAttrString(module.get(), "__spec__"));
    Ref initializing = spec ? Ref::steal(PyObject_GetAttrString(spec.get(), "_initializing")) : Ref();
    if (!initializing) {
        PyErr_Clear();
        return module;
    }
    int busy = PyObject_IsTrue(initializing.get());
    if (busy != 0) {
        PyErr_Clear();
        return {};
    }
    return module;
}

// `name` of a `from` import that the imported module lacks as an attribute:
// its submodule entry "<module __name__>.<name>" in sys.modules, else
// ImportError. A module without a str `__name__` has no such entry.
Ref submodule_entry(PyObject* imported, const char* name) noexcept {
    Ref module_name = Ref::steal(PyObject_GetAttrString(imported, "__name__"));
    PyObject* found = nullptr;
    if (module_name && PyUnicode_Check(module_name.get())) {
        Ref key = Ref::steal(PyUnicode_FromFormat("%U.%s", module_name.get(), name));
        if (!key || PyDict_GetItemRef(PyImport_GetModuleDict(), key.get(), &found) < 0) return {};
    } else if (!module_name && !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return {};
    }
    if (found) return Ref::steal(found);
    PyErr_Clear();
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (text) PyErr_Format(PyExc_ImportError, "cannot import name %R", text.get());
    return {};
}

}  // namespace

PyObject* define_module(ModuleSpec& spec) noexcept {
    g_state.spec = &spec;
    g_definition.m_name = spec.short_name;
    g_definition.m_doc = spec.doc;
    return PyModuleDef_Init(&g_definition);
}

PyObject* module_object() noexcept { return g_state.module; }
PyObject* module_globals() noexcept { return g_state.globals; }
PyObject* builtins_dict() noexcept { return g_state.builtins; }
const char* short_name() noexcept { return g_state.spec->short_name; }
PyObject* full_name() noexcept { return g_state.full_name; }
PyObject* source_file() noexcept { return g_state.source_file; }

int Body::import(const char* name) noexcept {
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!text) return -1;
    Ref module = import_relative_then_absolute(text.get(), nullptr);
    if (!module) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) return -1;
        PyObject* failure = PyErr_GetRaisedException();
        module = initialised_from_sys_modules(text.get());
        if (!module) {
            PyErr_SetRaisedException(failure);
            return -1;
        }
        Py_DECREF(failure);
    }
    return PyObject_SetAttrString(module_, name, module.get());
}

int Body::bind_from(PyObject* imported, std::initializer_list<const char*> names) noexcept {
    for (const char* name : names) {
        Ref value = Ref::steal(PyObject_GetAttrString(imported, name));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
            value = submodule_entry(imported, name);
            if (!value) return -1;
        }
        if (PyObject_SetAttrString(module_, name, value.get()) < 0) return -1;
    }
    return 0;
}

int Body::from_import(const char* module, std::initializer_list<const char*> names) noexcept {
    Ref text = Ref::steal(PyUnicode_FromString(module));
    Ref fromlist = interned_tuple(names);
    if (!text || !fromlist) return -1;
    Ref imported = import_relative_then_absolute(text.get(), fromlist.get());
    return imported ? bind_from(imported.get(), names) : -1;
}

int Body::from_relative_import(const char* module, std::initializer_list<const char*> names) noexcept {
    Ref text = Ref::steal(PyUnicode_FromString(module));
    Ref fromlist = interned_tuple(names);
    if (!text || !fromlist) return -1;
    Ref imported = import_at_level(text.get(), fromlist.get(), 1);
    return imported ? bind_from(imported.get(), names) : -1;
}

int Body::assign(const char* name, Ref value) noexcept {
    if (!value) return -1;
    return PyObject_SetAttrString(module_, name, value.get());
}

int Body::assign_logger() noexcept {
    Ref logging = global(s_logging);
    Ref get_logger = logging ? attr(logging.get(), s_getLogger) : Ref();
    Ref name = get_logger ? global(s_name) : Ref();
    return assign("logger", name ? Ref::steal(PyObject_CallOneArg(get_logger.get(), name.get())) : Ref());
}

int Body::set_test(Ref entries) noexcept { return assign("__test__", std::move(entries)); }

}  // namespace frame
