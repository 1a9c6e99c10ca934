#include "generator.hpp"

#include <new>

#include "module.hpp"
#include "traceback.hpp"

namespace frame {

namespace {

struct GeneratorObject {
    PyObject_HEAD
    GeneratorState* state;  // null once finished
    PyObject* name;
    PyObject* qualname;
    int line;
    bool started;
    bool running;
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

PyObject* step(GeneratorObject* gen) noexcept {
    if (refuse_if_running(gen)) return nullptr;
    if (!gen->state) return nullptr;
    gen->started = true;
    gen->running = true;
    int line = gen->line;
    PyObject* value = gen->state->next(line);
    gen->running = false;
    if (!value) {
        if (PyErr_Occurred()) add_entry(gen, line);
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

// The exception is raised at the suspended yield, which no handler guards:
// the generator finishes and the exception propagates to the caller.
PyObject* generator_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    GeneratorObject* gen = as_generator(self);
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    if (refuse_if_running(gen)) return nullptr;
    PyObject* type = args[0];
    PyObject* value = nargs > 1 ? args[1] : Py_None;
    Ref exception;
    if (PyExceptionInstance_Check(type)) {
        exception = Ref::borrow(type);
    } else if (PyExceptionClass_Check(type)) {
        exception = Ref::steal(value == Py_None ? PyObject_CallNoArgs(type)
                                                : PyObject_CallOneArg(type, value));
        if (!exception) return nullptr;
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return nullptr;
    }
    finish(gen);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
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

PyObject* generator_type() noexcept {
    if (!g_generator_type) g_generator_type = PyType_FromModuleAndSpec(module_object(), &g_spec, nullptr);
    return g_generator_type;
}

}  // namespace

Ref make_generator(const char* name, const char* qualname, int line,
                   std::unique_ptr<GeneratorState> state) noexcept {
    PyObject* type = generator_type();
    if (!type) return {};
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
    gen->started = false;
    gen->running = false;
    return Ref::steal(self);
}

}  // namespace frame
