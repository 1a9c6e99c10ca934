#include "errors.hpp"

#include <exception>
#include <new>

namespace frame {

namespace {

void raise_too_many(Py_ssize_t expected) noexcept {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
}

void raise_need_more(Py_ssize_t found) noexcept {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found,
                 found == 1 ? "" : "s");
}

int unpack_sequence(PyObject* obj, Ref* out, Py_ssize_t count) noexcept {
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(obj);
    if (size != count) {
        size > count ? raise_too_many(count) : raise_need_more(size);
        return -1;
    }
    PyObject** items = PySequence_Fast_ITEMS(obj);
    for (Py_ssize_t i = 0; i < count; ++i) out[i] = Ref::borrow(items[i]);
    return 0;
}

}  // namespace

int unpack(PyObject* obj, Ref* out, Py_ssize_t count) noexcept {
    if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) return unpack_sequence(obj, out, count);
    Ref iterator = Ref::steal(PyObject_GetIter(obj));
    if (!iterator) return -1;
    Ref found[8];
    if (count > 8) {
        PyErr_SetString(PyExc_SystemError, "unpack supports at most 8 names");
        return -1;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        found[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!found[i]) {
            if (!PyErr_Occurred()) raise_need_more(i);
            return -1;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) {
        raise_too_many(count);
        return -1;
    }
    if (PyErr_Occurred()) return -1;
    for (Py_ssize_t i = 0; i < count; ++i) out[i] = std::move(found[i]);
    return 0;
}

void raise_unbound_local(const char* name) noexcept {
    PyErr_Format(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment", name);
}

namespace {

void raise_new(PyObject* type, PyObject* message) noexcept {
    if (PyExceptionClass_Check(type)) {
        PyErr_SetObject(type, message);
        return;
    }
    Ref error = Ref::steal(PyObject_CallOneArg(type, message));
    if (!error) return;
    if (PyExceptionInstance_Check(error.get())) {
        PyErr_SetRaisedException(error.release());
        return;
    }
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
}

}  // namespace

void raise_in_place(PyObject* type, PyObject* message) noexcept {
    PyObject* caught = PyErr_GetRaisedException();
    raise_new(type, message);
    PyObject* raised = PyErr_GetRaisedException();
    if (raised && caught && raised != caught) {
        PyException_SetContext(raised, caught);  // steals `caught`
        caught = nullptr;
    }
    Py_XDECREF(caught);
    PyErr_SetRaisedException(raised);
}

void raise_unsliceable(PyObject* obj) noexcept {
    PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(obj)->tp_name);
}

void raise_for_cxx_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_Format(PyExc_SystemError, "unexpected C++ exception: %s", error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
}

}  // namespace frame
