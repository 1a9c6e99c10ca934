#include "traceback.hpp"

#include <map>
#include <utility>

#include "module.hpp"

#include <frameobject.h>

namespace frame {

namespace {

// Keys hold the entry name's address: names are interned for the life of the
// process, so each function's name stays one object.
using SiteKey = std::pair<PyObject*, int>;
std::map<SiteKey, PyObject*>* g_code_cache = nullptr;

PyCodeObject* code_for(PyObject* entry_name, int line) noexcept {
    try {
        if (!g_code_cache) g_code_cache = new std::map<SiteKey, PyObject*>();
        auto found = g_code_cache->find({entry_name, line});
        if (found != g_code_cache->end()) return reinterpret_cast<PyCodeObject*>(found->second);
        const char* file = PyUnicode_AsUTF8(source_file());
        const char* name = PyUnicode_AsUTF8(entry_name);
        if (!file || !name) return nullptr;
        PyCodeObject* code = PyCode_NewEmpty(file, name, line);
        if (!code) return nullptr;
        Py_INCREF(entry_name);  // keeps the key's address valid
        g_code_cache->emplace(SiteKey{entry_name, line}, reinterpret_cast<PyObject*>(code));
        return code;
    } catch (...) {
        PyErr_NoMemory();
        return nullptr;
    }
}

}  // namespace

void add_traceback_entry(PyObject* entry_name, int line) noexcept {
    PyObject* raised = PyErr_GetRaisedException();
    if (!raised) return;
    PyCodeObject* code = code_for(entry_name, line);
    if (!code) {
        PyErr_Clear();
        PyErr_SetRaisedException(raised);
        return;
    }
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), code, module_globals(), nullptr);
    if (!frame) {
        PyErr_Clear();
        PyErr_SetRaisedException(raised);
        return;
    }
    PyErr_SetRaisedException(raised);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

}  // namespace frame
