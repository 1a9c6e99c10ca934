#include "generator.hpp"

#include <frameobject.h>

#include <cstring>
#include <map>
#include <new>

#include "module.hpp"
#include "signals.hpp"
#include "traceback.hpp"

namespace frame {

namespace {

struct GeneratorObject {
    PyObject_HEAD
    GeneratorState* state;  // null once finished
    PyObject* name;         // assignable, as on a Python generator
    PyObject* qualname;     // assignable; shown by repr
    const char* code_name;      // the generator function's own names: its
    const char* code_qualname;  // code object and traceback entries keep them
    PyObject* frame;        // gi_frame, made at its first read; null once finished
    PyObject* weakrefs;
    int line;        // the `def` line, where an unstarted generator stands
    int yield_line;  // the line of the yield it is suspended at
    bool started;
    bool running;
    SignalPoll poll;
};

PyObject* g_generator_type = nullptr;

GeneratorObject* as_generator(PyObject* self) noexcept { return reinterpret_cast<GeneratorObject*>(self); }

// Drops the state. It is detached first: destroying it releases references,
// which may run arbitrary code that must find the generator finished.
void finish(GeneratorObject* gen) noexcept {
    GeneratorState* state = gen->state;
    gen->state = nullptr;
    delete state;
    Py_CLEAR(gen->frame);
}

void add_entry(GeneratorObject* gen, int line) noexcept {
    PyObject* raised = PyErr_GetRaisedException();
    PyObject* entry = PyUnicode_FromFormat("morvath.datastructures.%s.%s", short_name(), gen->code_qualname);
    if (entry) PyUnicode_InternInPlace(&entry);
    PyErr_Clear();
    PyErr_SetRaisedException(raised);
    if (!entry) return;
    add_traceback_entry(entry, line);
    Py_DECREF(entry);
}

bool refuse_if_running(GeneratorObject* gen) noexcept {
    if (!gen->running) return false;
    PyErr_SetString(PyExc_ValueError, "generator already executing");
    return true;
}

// A StopIteration leaving a running generator body would end the caller's
// loop in silence; it leaves as RuntimeError instead, with the StopIteration
// (and its traceback entry) as the cause.
void replace_stop_iteration() noexcept {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return;
    PyObject* stop = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
    PyObject* error = PyErr_GetRaisedException();
    PyException_SetCause(error, Py_NewRef(stop));
    PyException_SetContext(error, stop);
    PyErr_SetRaisedException(error);
}

// The exception set now leaves the generator's body at `line` and ends it.
void fail_at(GeneratorObject* gen, int line, bool body_running) noexcept {
    add_entry(gen, line);
    if (body_running) replace_stop_iteration();
    finish(gen);
}

PyObject* step(GeneratorObject* gen) noexcept {
    if (refuse_if_running(gen)) return nullptr;
    if (!gen->state) return nullptr;
    gen->started = true;
    gen->running = true;
    int line = gen->line;
    PyObject* value = nullptr;
    if (gen->poll.interrupted())
        gen->state->interrupted(line);
    else
        value = gen->state->next(line);
    gen->running = false;
    if (value) {
        gen->yield_line = line;
    } else if (PyErr_Occurred()) {
        fail_at(gen, line, true);
    } else {
        finish(gen);
    }
    return value;
}

PyObject* generator_iternext(PyObject* self) noexcept { return step(as_generator(self)); }

PyObject* generator_send(PyObject* self, PyObject* value) noexcept {
    GeneratorObject* gen = as_generator(self);
    if (!gen->started && gen->state && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    PyObject* result = step(gen);
    if (!result && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return result;
}

// An instance of the exception class `type` made from `value`, the way a
// raise statement makes one: an instance of `type` is taken as it is, a tuple
// gives the arguments, None none, anything else the one argument.
Ref instance_of(PyObject* type, PyObject* value) noexcept {
    if (PyExceptionInstance_Check(value)) {
        const int derived = PyObject_IsSubclass(reinterpret_cast<PyObject*>(Py_TYPE(value)), type);
        if (derived < 0) return {};
        if (derived) return Ref::borrow(value);
    }
    Ref made = Ref::steal(value == Py_None       ? PyObject_CallNoArgs(type)
                          : PyTuple_Check(value) ? PyObject_Call(type, value, nullptr)
                                                 : PyObject_CallOneArg(type, value));
    if (made && !PyExceptionInstance_Check(made.get())) {
        PyErr_Format(PyExc_TypeError,
                     "calling %R should have returned an instance of BaseException, not %s", type,
                     Py_TYPE(made.get())->tp_name);
        return {};
    }
    return made;
}

// The exception that throw(type, value, tb) raises, with `tb` as its
// traceback (an instance keeps its own when no `tb` is given).
Ref thrown_exception(PyObject* type, PyObject* value, PyObject* tb) noexcept {
    if (tb != Py_None && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return {};
    }
    Ref exception;
    if (PyExceptionClass_Check(type)) {
        exception = instance_of(type, value);
        if (!exception) return {};
    } else if (PyExceptionInstance_Check(type)) {
        if (value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return {};
        }
        exception = Ref::borrow(type);
        if (tb == Py_None) return exception;
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return {};
    }
    if (PyException_SetTraceback(exception.get(), tb) < 0) return {};
    return exception;
}

// The exception is raised where the generator stands: at the suspended
// yield, which no handler guards, or before the first statement of a
// generator not yet started. Either way the generator finishes and the
// exception propagates; a finished generator just lets it through.
PyObject* generator_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected %s, got %zd",
                     nargs < 1 ? "at least 1 argument" : "at most 3 arguments", nargs);
        return nullptr;
    }
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.",
                                  1) < 0)
        return nullptr;
    Ref exception = thrown_exception(args[0], nargs > 1 ? args[1] : Py_None,
                                     nargs > 2 ? args[2] : Py_None);
    if (!exception) return nullptr;
    GeneratorObject* gen = as_generator(self);
    if (refuse_if_running(gen)) return nullptr;
    PyErr_SetRaisedException(exception.release());
    if (gen->state) fail_at(gen, gen->started ? gen->yield_line : gen->line, gen->started);
    return nullptr;
}

PyObject* generator_close(PyObject* self, PyObject*) noexcept {
    GeneratorObject* gen = as_generator(self);
    if (refuse_if_running(gen)) return nullptr;
    finish(gen);
    Py_RETURN_NONE;
}

PyObject* generator_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<generator object %U at %p>", as_generator(self)->qualname, self);
}

int generator_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    GeneratorObject* gen = as_generator(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(gen->frame);
    if (gen->state && !gen->running) return gen->state->traverse(visit, arg);
    return 0;
}

int generator_clear(PyObject* self) noexcept {
    GeneratorObject* gen = as_generator(self);
    if (!gen->running) finish(gen);
    return 0;
}

void generator_dealloc(PyObject* self) noexcept {
    GeneratorObject* gen = as_generator(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (gen->weakrefs) PyObject_ClearWeakRefs(self);
    finish(gen);
    Py_XDECREF(gen->name);
    Py_XDECREF(gen->qualname);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* generator_get_name(PyObject* self, void*) noexcept { return Py_NewRef(as_generator(self)->name); }
PyObject* generator_get_qualname(PyObject* self, void*) noexcept {
    return Py_NewRef(as_generator(self)->qualname);
}

// Neither name may be deleted or set to anything but a string.
int set_name_text(PyObject*& field, PyObject* value, const char* message) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_SETREF(field, Py_NewRef(value));
    return 0;
}
int generator_set_name(PyObject* self, PyObject* value, void*) noexcept {
    return set_name_text(as_generator(self)->name, value, "__name__ must be set to a string object");
}
int generator_set_qualname(PyObject* self, PyObject* value, void*) noexcept {
    return set_name_text(as_generator(self)->qualname, value, "__qualname__ must be set to a string object");
}

PyObject* generator_get_running(PyObject* self, void*) noexcept {
    return PyBool_FromLong(as_generator(self)->running);
}
// Suspended: started, not running, not finished.
PyObject* generator_get_suspended(PyObject* self, void*) noexcept {
    GeneratorObject* gen = as_generator(self);
    return PyBool_FromLong(gen->started && !gen->running && gen->state);
}

// One code object per generator function, as a compiled generator function
// has: its name, qualified name, file and `def` line, flagged a generator.
std::map<const char*, PyObject*>* g_codes = nullptr;

Ref make_generator_code(const GeneratorObject* gen) noexcept {
    const char* file = PyUnicode_AsUTF8(source_file());
    if (!file) return {};
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, gen->code_name, gen->line)));
    if (!code) return {};
    Ref changes = Ref::steal(Py_BuildValue("{s:i,s:s}", "co_flags", CO_OPTIMIZED | CO_NEWLOCALS | CO_GENERATOR,
                                           "co_qualname", gen->code_qualname));
    Ref replace = Ref::steal(PyObject_GetAttrString(code.get(), "replace"));
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!changes || !replace || !no_args) return {};
    return Ref::steal(PyObject_Call(replace.get(), no_args.get(), changes.get()));
}

PyObject* generator_code(const GeneratorObject* gen) noexcept {
    try {
        if (!g_codes) g_codes = new std::map<const char*, PyObject*>();
        auto found = g_codes->find(gen->code_qualname);
        if (found != g_codes->end()) return found->second;
        Ref code = make_generator_code(gen);
        if (!code) return nullptr;
        g_codes->emplace(gen->code_qualname, code.get());
        return code.release();  // kept by the map for the life of the process
    } catch (...) {
        PyErr_NoMemory();
        return nullptr;
    }
}

PyObject* generator_get_code(PyObject* self, void*) noexcept {
    return Py_XNewRef(generator_code(as_generator(self)));
}

// A frame of the generator's code while it has not finished (created,
// suspended or running), None afterwards: what inspect reads the state from.
PyObject* generator_get_frame(PyObject* self, void*) noexcept {
    GeneratorObject* gen = as_generator(self);
    if (!gen->state) Py_RETURN_NONE;
    if (!gen->frame) {
        PyObject* code = generator_code(gen);
        if (!code) return nullptr;
        PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code),
                                           module_globals(), nullptr);
        if (!frame) return nullptr;
        if (gen->frame || !gen->state) {  // made meanwhile, or the generator ended
            Py_DECREF(frame);
            return generator_get_frame(self, nullptr);
        }
        gen->frame = reinterpret_cast<PyObject*>(frame);
    }
    return Py_NewRef(gen->frame);
}

// The body delegates to no other iterator.
PyObject* generator_get_yieldfrom(PyObject*, void*) noexcept { Py_RETURN_NONE; }

// Pickling and copying refuse it with the text they give for a generator of
// the interpreter's, by every protocol: the generic reduction would instead
// reach for the type by name and fail on that.
PyObject* generator_reduce(PyObject* self, PyObject*) noexcept {
    PyErr_Format(PyExc_TypeError, "cannot pickle '%s' object", Py_TYPE(self)->tp_name);
    return nullptr;
}

PyMethodDef g_methods[] = {
    {"send", generator_send, METH_O, "send(arg) -> send 'arg' into generator,\nreturn next yielded value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(generator_throw)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,tb]])\n\nRaise exception in generator."},
    {"close", generator_close, METH_NOARGS, "close() -> raise GeneratorExit inside generator."},
    {"__reduce__", generator_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"__name__", generator_get_name, generator_set_name, "name of the generator", nullptr},
    {"__qualname__", generator_get_qualname, generator_set_qualname, "qualified name of the generator", nullptr},
    {"gi_running", generator_get_running, nullptr, nullptr, nullptr},
    {"gi_suspended", generator_get_suspended, nullptr, nullptr, nullptr},
    {"gi_frame", generator_get_frame, nullptr, nullptr, nullptr},
    {"gi_code", generator_get_code, nullptr, nullptr, nullptr},
    {"gi_yieldfrom", generator_get_yieldfrom, nullptr, "object being iterated by yield from, or None", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef g_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(GeneratorObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(generator_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(generator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(generator_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(generator_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(generator_iternext)},
    {Py_tp_methods, g_methods},
    {Py_tp_getset, g_getset},
    {Py_tp_members, g_members},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "builtins.generator", sizeof(GeneratorObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, g_slots,
};

}  // namespace

// The type is made as "builtins.generator", which gives it the module
// `builtins`; the interpreter's messages then name it by `tp_name`, which is
// cut to "generator", as they name the interpreter's own generators. The
// full name stays in the buffer the type owns.
int ready_generator_type() noexcept {
    if (g_generator_type) return 0;
    g_generator_type = PyType_FromModuleAndSpec(module_object(), &g_spec, nullptr);
    if (!g_generator_type) return -1;
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(g_generator_type);
    type->tp_name = std::strrchr(type->tp_name, '.') + 1;
    return 0;
}

Ref make_generator(const char* name, const char* qualname, int line,
                   std::unique_ptr<GeneratorState> state) noexcept {
    PyObject* type = g_generator_type;
    Ref name_text = Ref::steal(PyUnicode_InternFromString(name));
    Ref qualname_text = Ref::steal(PyUnicode_InternFromString(qualname));
    if (!name_text || !qualname_text) return {};
    PyObject* self = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0);
    if (!self) return {};
    GeneratorObject* gen = as_generator(self);
    gen->state = state.release();
    gen->name = name_text.release();
    gen->qualname = qualname_text.release();
    gen->code_name = name;
    gen->code_qualname = qualname;
    gen->line = line;
    gen->yield_line = line;
    gen->started = false;
    gen->running = false;
    new (&gen->poll) SignalPoll();
    return Ref::steal(self);
}

}  // namespace frame
