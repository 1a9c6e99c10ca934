#include "traceback.hpp"

#include <map>
#include <utility>

#include "module.hpp"

#include <frameobject.h>

namespace frame {

namespace {

// One traceback site: the code object named after the function with its
// first line at the failing statement, and a frame of it. The frame holds
// no locals and no caller, so every traceback entry of the site can show
// the same frame object; building a frame (and the function object the
// interpreter makes for it) for every entry would cost more than the rest
// of a raise. Keys hold the entry name's address: names are interned for
// the life of the process, so each function's name stays one object.
struct Site {
    PyObject* code;   // owned
    PyObject* frame;  // owned; null until first used
};
using SiteKey = std::pair<PyObject*, int>;
std::map<SiteKey, Site>* g_sites = nullptr;

Site* site_for(PyObject* entry_name, int line) noexcept {
    try {
        if (!g_sites) g_sites = new std::map<SiteKey, Site>();
        auto found = g_sites->find({entry_name, line});
        if (found != g_sites->end()) return &found->second;
        const char* file = PyUnicode_AsUTF8(source_file());
        const char* name = PyUnicode_AsUTF8(entry_name);
        if (!file || !name) return nullptr;
        PyCodeObject* code = PyCode_NewEmpty(file, name, line);
        if (!code) return nullptr;
        Py_INCREF(entry_name);  // keeps the key's address valid
        auto [inserted, _] = g_sites->emplace(SiteKey{entry_name, line}, Site{reinterpret_cast<PyObject*>(code), nullptr});
        return &inserted->second;
    } catch (...) {
        PyErr_NoMemory();
        return nullptr;
    }
}

// The site's frame, made anew when the module's globals are not the ones
// it was made with (the module was loaded again).
PyObject* frame_of(Site& site) noexcept {
    if (site.frame) {
        Ref globals = Ref::steal(PyFrame_GetGlobals(reinterpret_cast<PyFrameObject*>(site.frame)));
        if (globals.get() == module_globals()) return site.frame;
    }
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(site.code),
                                       module_globals(), nullptr);
    if (!frame) return nullptr;
    Py_XSETREF(site.frame, reinterpret_cast<PyObject*>(frame));
    return site.frame;
}

}  // namespace

void add_traceback_entry(PyObject* entry_name, int line) noexcept {
    PyObject* raised = PyErr_GetRaisedException();
    if (!raised) return;
    Site* site = site_for(entry_name, line);
    PyObject* frame = site ? frame_of(*site) : nullptr;
    if (!frame) PyErr_Clear();
    PyErr_SetRaisedException(raised);
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame));
}

}  // namespace frame
