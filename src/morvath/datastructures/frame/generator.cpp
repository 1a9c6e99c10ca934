#include "generator.hpp"

#include <new>

#include "module.hpp"
#include "signals.hpp"
#include "traceback.hpp"

namespace frame {

namespace {

struct GeneratorObject {
    PyObject_HEAD
    GeneratorState* state;  // null once finished
    PyObject* name;
    PyObject* qualname;
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
}

void add_entry(GeneratorObject* gen, int line) noexcept {
    PyObject* raised = PyErr_GetRaisedException();
    PyObject* entry = PyUnicode_FromFormat("morvath.datastructures.%s.%U", short_name(), gen->qualname);
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
PyObject* generator_get_running(PyObject* self, void*) noexcept {
    return PyBool_FromLong(as_generator(self)->running);
}

PyMethodDef g_methods[] = {
    {"send", generator_send, METH_O, "send(arg) -> send 'arg' into generator,\nreturn next yielded value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(generator_throw)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,tb]])\n\nRaise exception in generator."},
    {"close", generator_close, METH_NOARGS, "close() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"__name__", generator_get_name, nullptr, "name of the generator", nullptr},
    {"__qualname__", generator_get_qualname, nullptr, "qualified name of the generator", nullptr},
    {"gi_running", generator_get_running, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
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
    {0, nullptr},
};

PyType_Spec g_spec = {
    "builtins.generator", sizeof(GeneratorObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, g_slots,
};

}  // namespace

int ready_generator_type() noexcept {
    if (!g_generator_type) g_generator_type = PyType_FromModuleAndSpec(module_object(), &g_spec, nullptr);
    return g_generator_type ? 0 : -1;
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
    gen->line = line;
    gen->yield_line = line;
    gen->started = false;
    gen->running = false;
    new (&gen->poll) SignalPoll();
    return Ref::steal(self);
}

}  // namespace frame
