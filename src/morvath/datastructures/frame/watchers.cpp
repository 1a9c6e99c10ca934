#include "watchers.hpp"

namespace frame {

namespace {

constexpr const char* kTableName = "morvath.datastructures.watchers";
constexpr unsigned int kTableVersion = 1;

// The layout every extension of the package agrees on. Its first member
// tells the layout; a new member means a new version.
struct WatcherTable {
    unsigned int version = kTableVersion;
    int dict_watcher = -1;          // -1 until taken
    bool dict_unavailable = false;  // no slot was free
    unsigned long long epoch = 1;
};

WatcherTable g_own_table;               // published when this extension is first
WatcherTable* g_table = nullptr;        // the one in use: ours or the first extension's

int on_dict_changed(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    ++g_table->epoch;
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
}

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

}  // namespace frame
