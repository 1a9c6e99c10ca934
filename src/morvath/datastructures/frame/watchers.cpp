#include "watchers.hpp"

#include <unordered_set>
#include <vector>

namespace frame {

namespace {

constexpr const char* kTableName = "morvath.datastructures.watchers";
constexpr unsigned int kTableVersion = 2;

// The layout every extension of the package agrees on. Its first member
// tells the layout; a new member means a new version.
struct WatcherTable {
    unsigned int version = kTableVersion;
    int dict_watcher = -1;          // -1 until taken
    bool dict_unavailable = false;  // no slot was free
    unsigned long long epoch = 1;
    int function_watcher = -1;      // -1 until taken
    PyObject* own_codes = nullptr;  // {function: the code it was watched with}, kept for good
    PyObject* displaced = nullptr;  // the watched functions running other code, kept for good
    Py_ssize_t displaced_count = 0; // its size, or -1 when every watched function counts as displaced
};

WatcherTable g_own_table;               // published when this extension is first
WatcherTable* g_table = nullptr;        // the one in use: ours or the first extension's

int on_dict_changed(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    ++g_table->epoch;
    return 0;
}

// True when the dictionary of the heap type `type` holds `function` as a
// value (any watched function for a null `function`); a walk of its values
// that compares pointers only, so no Python code runs.
bool holds(PyTypeObject* type, PyObject* function) noexcept {
    Ref dict = Ref::steal(PyType_GetDict(type));
    Py_ssize_t position = 0;
    PyObject* value;
    while (dict && PyDict_Next(dict.get(), &position, nullptr, &value)) {
        if (function ? value == function
                     : PyFunction_Check(value) && PyDict_Contains(g_table->own_codes, value) == 1)
            return true;
    }
    return false;
}

// Gives a new version tag to every class whose dictionary holds `function`
// (see holds) and, through the interpreter, to all of their subclasses: the
// answers kept about those classes are the only ones that can involve it.
// The walk goes down from `object` through `type.__subclasses__()`. Static
// types are passed through, never touched: their tags are the
// interpreter's, and they hold none of the package's functions. Other
// classes keep their tags, and so whatever the interpreter or other
// extensions keep under them. -1 with an exception when the walk could not
// be made.
int retag_holders(PyObject* function) noexcept {
    static PyObject* subclasses = nullptr;  // type.__subclasses__, kept for good
    if (!subclasses) {
        Ref dict = Ref::steal(PyType_GetDict(&PyType_Type));
        PyObject* found = nullptr;
        if (!dict || PyDict_GetItemStringRef(dict.get(), "__subclasses__", &found) <= 0) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "type has no __subclasses__");
            return -1;
        }
        subclasses = found;
    }
    try {
        std::vector<Ref> pending;
        std::unordered_set<PyObject*> seen;  // classes met, by address (a diamond is walked once)
        pending.push_back(Ref::borrow(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
        while (!pending.empty()) {
            Ref type = std::move(pending.back());
            pending.pop_back();
            auto* klass = reinterpret_cast<PyTypeObject*>(type.get());
            if ((klass->tp_flags & Py_TPFLAGS_HEAPTYPE) && holds(klass, function)) {
                PyType_Modified(klass);
                continue;  // its subclasses are retagged with it
            }
            Ref below = Ref::steal(PyObject_CallOneArg(subclasses, type.get()));
            if (!below) return -1;
            if (!PyList_Check(below.get())) continue;
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(below.get()); ++i) {
                PyObject* sub = PyList_GET_ITEM(below.get(), i);
                if (PyType_Check(sub) && seen.insert(sub).second) pending.push_back(Ref::borrow(sub));
            }
        }
    } catch (...) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

// From now on every watched function counts as displaced (the registry
// can no longer be kept), and every answer kept so far is dropped.
void give_up_registry() noexcept {
    g_table->displaced_count = -1;
    if (retag_holders(nullptr) < 0) PyErr_WriteUnraisable(nullptr);
}

// Called before a function's code, attributes or life change; only a
// watched function's code moving away from, or back to, its watched code
// matters. The new code is the event's value: the function still holds
// the old one.
int on_function_event(PyFunction_WatchEvent event, PyFunctionObject* function, PyObject* new_value) noexcept {
    if (event != PyFunction_EVENT_MODIFY_CODE || g_table->displaced_count < 0 || !g_table->own_codes) return 0;
    PyObject* raised = PyErr_GetRaisedException();
    auto* func = reinterpret_cast<PyObject*>(function);
    PyObject* own = nullptr;
    const int watched = PyDict_GetItemRef(g_table->own_codes, func, &own);
    Py_XDECREF(own);  // the registry keeps it
    if (watched > 0) {
        const int was = PySet_Contains(g_table->displaced, func);
        const int now = own != new_value;
        if (was < 0 || (now && !was && PySet_Add(g_table->displaced, func) < 0) ||
            (!now && was && PySet_Discard(g_table->displaced, func) < 0)) {
            PyErr_Clear();
            give_up_registry();
        } else if (was != now) {
            g_table->displaced_count = PySet_GET_SIZE(g_table->displaced);
            if (retag_holders(func) < 0) {
                PyErr_Clear();
                give_up_registry();
            }
        }
    }
    PyErr_Clear();
    PyErr_SetRaisedException(raised);
    return 0;
}

WatcherTable* published_table(PyObject* state, PyObject* key) noexcept {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(state, key, &found) <= 0) return nullptr;
    Ref capsule = Ref::steal(found);  // the state dict keeps it for the life of the interpreter
    auto* table = static_cast<WatcherTable*>(PyCapsule_GetPointer(capsule.get(), kTableName));
    if (!table) PyErr_Clear();
    return table && table->version == kTableVersion ? table : nullptr;
}

}  // namespace

namespace detail {
unsigned long long* g_epoch = &g_own_table.epoch;
const Py_ssize_t* g_displaced = &g_own_table.displaced_count;

bool is_displaced(PyObject* function) noexcept {
    if (!PyFunction_Check(function)) return false;
    PyObject* registry = g_table->displaced_count < 0 ? g_table->own_codes : g_table->displaced;
    if (!registry) return true;
    PyObject* raised = PyErr_GetRaisedException();
    const int found = PyDict_Check(registry) ? PyDict_Contains(registry, function) : PySet_Contains(registry, function);
    PyErr_Clear();  // functions hash and compare by identity: not reached
    PyErr_SetRaisedException(raised);
    return found != 0;
}
}  // namespace detail

int join_package_watchers() noexcept {
    if (g_table) return 0;
    PyObject* state = PyInterpreterState_GetDict(PyInterpreterState_Get());
    Ref key = Ref::steal(PyUnicode_InternFromString(kTableName));
    if (!state || !key) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "no interpreter state dict");
        return -1;
    }
    if (WatcherTable* table = published_table(state, key.get())) {
        g_table = table;
        detail::g_epoch = &table->epoch;
        detail::g_displaced = &table->displaced_count;
        return 0;
    }
    if (PyErr_Occurred()) return -1;
    g_table = &g_own_table;
    Ref capsule = Ref::steal(PyCapsule_New(&g_own_table, kTableName, nullptr));
    // A table that another layout holds stays; this extension then keeps its own.
    if (!capsule || PyDict_SetDefaultRef(state, key.get(), capsule.get(), nullptr) < 0) {
        PyErr_Clear();
    }
    return 0;
}

int package_dict_watcher() noexcept {
    if (!g_table || g_table->dict_unavailable) return -1;
    if (g_table->dict_watcher < 0) {
        g_table->dict_watcher = PyDict_AddWatcher(on_dict_changed);
        if (g_table->dict_watcher < 0) {
            PyErr_Clear();
            g_table->dict_unavailable = true;
        } else {
            ++g_table->epoch;
        }
    }
    return g_table->dict_watcher;
}

int watch_code(PyObject* function) noexcept {
    if (!g_table && join_package_watchers() < 0) return -1;
    WatcherTable& table = *g_table;
    if (!table.own_codes) {
        table.own_codes = PyDict_New();
        table.displaced = PySet_New(nullptr);
        if (!table.own_codes || !table.displaced) {
            Py_CLEAR(table.own_codes);
            Py_CLEAR(table.displaced);
            return -1;
        }
        table.function_watcher = PyFunction_AddWatcher(on_function_event);
        if (table.function_watcher < 0) {
            // No slot free: nothing would tell of a change of code.
            PyErr_Clear();
            table.displaced_count = -1;
        }
    }
    return PyDict_SetItem(table.own_codes, function, PyFunction_GET_CODE(function));
}

}  // namespace frame
