#include "lookup.hpp"

#include <iterator>

#include "function.hpp"
#include "names.hpp"
#include "watchers.hpp"

namespace frame {

namespace {

// The position of `klass` in the MRO tuple, or its size when absent.
Py_ssize_t position_in(PyObject* mro, PyObject* klass) noexcept {
    const Py_ssize_t size = PyTuple_GET_SIZE(mro);
    Py_ssize_t i = 0;
    while (i < size && PyTuple_GET_ITEM(mro, i) != klass) ++i;
    return i;
}

// True when every key of `dict` is an exact `str`.
bool holds_only_strings(PyObject* dict) noexcept {
    Py_ssize_t position = 0;
    PyObject* key;
    while (PyDict_Next(dict, &position, &key, nullptr))
        if (!PyUnicode_CheckExact(key)) return false;
    return true;
}

// Classes whose own dictionary was seen to hold only exact-str keys. A name
// set on a class later is made an exact `str` by the interpreter (type's
// setattr copies a str subclass), so such a dictionary stays so for the
// class's life, however often the class changes; each entry holds a weak
// reference whose callback drops the entry when the class dies, so that a
// new class at the same address is never taken for it.
class PlainClasses {
public:
    bool known(PyTypeObject* type) const noexcept { return slot(type).type == type; }

    void remember(PyTypeObject* type) noexcept {
        PyObject* forget = forgetter();
        Ref weak = forget ? Ref::steal(PyWeakref_NewRef(reinterpret_cast<PyObject*>(type), forget)) : Ref();
        if (!weak) {
            PyErr_Clear();  // not kept: the keys are looked at again next time
            return;
        }
        Entry& entry = slot(type);
        Ref evicted = Ref::steal(entry.weak);
        entry = {type, weak.release()};
    }

private:
    struct Entry {
        PyTypeObject* type = nullptr;
        PyObject* weak = nullptr;  // owned
    };
    static constexpr unsigned kBits = 8;

    // Classes sit a few hundred bytes apart: a multiplicative hash spreads
    // the ones of one MRO over the table.
    static size_t index(PyTypeObject* type) noexcept {
        const uint64_t bits = reinterpret_cast<uintptr_t>(type) >> 4;
        return static_cast<size_t>((bits * 0x9E3779B97F4A7C15ull) >> (64 - kBits));
    }
    Entry& slot(PyTypeObject* type) noexcept { return entries_[index(type)]; }
    const Entry& slot(PyTypeObject* type) const noexcept { return entries_[index(type)]; }

    static PyObject* forget(PyObject*, PyObject* weak) noexcept;
    static PyObject* forgetter() noexcept {
        static PyMethodDef definition{"forget_plain_class", forget, METH_O, nullptr};
        static PyObject* function = nullptr;  // kept for the life of the process
        if (!function) function = PyCFunction_New(&definition, nullptr);
        return function;
    }

    Entry entries_[size_t{1} << kBits];
};

PlainClasses g_plain_classes;

PyObject* PlainClasses::forget(PyObject*, PyObject* weak) noexcept {
    for (Entry& entry : g_plain_classes.entries_)
        if (entry.weak == weak) {
            entry = {};
            Py_DECREF(weak);
        }
    Py_RETURN_NONE;
}

// True when looking an exact `str` up in the dictionary `dict` of `type`
// can run no Python code: every key is an exact `str`, whose comparison is
// the interpreter's own. A static type's dictionary is made so by the
// interpreter.
bool compares_plainly(PyTypeObject* type, PyObject* dict) noexcept {
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) || g_plain_classes.known(type)) return true;
    if (!holds_only_strings(dict)) return false;
    g_plain_classes.remember(type);
    return true;
}

// What a walk over class dictionaries that runs no Python code can tell.
enum class Seen { absent, found, untold };

// The first class-dictionary entry for `name` in mro[start:], found without
// running Python code; `untold` when a dictionary on the way would have to
// compare a key that is not an exact `str`. With `stop`, the walk ends
// (`absent`) on reaching that class, before looking into it.
Seen plain_entry(PyObject* mro, Py_ssize_t start, PyObject* name, Ref& found,
                 PyObject* stop = nullptr) noexcept {
    if (!PyUnicode_CheckExact(name)) return Seen::untold;
    for (Py_ssize_t i = start; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* klass = PyTuple_GET_ITEM(mro, i);
        if (klass == stop) return Seen::absent;
        auto* type = reinterpret_cast<PyTypeObject*>(klass);
        Ref dict = Ref::steal(PyType_GetDict(type));
        if (!dict || !compares_plainly(type, dict.get())) return Seen::untold;
        PyObject* entry = nullptr;
        if (PyDict_GetItemRef(dict.get(), name, &entry) < 0) {
            PyErr_Clear();  // not reached with exact-str keys; answered as unknown all the same
            return Seen::untold;
        }
        if (entry) {
            found = Ref::steal(entry);
            return Seen::found;
        }
    }
    return Seen::absent;
}

Seen plain_class_entry(PyTypeObject* type, PyObject* name, Ref& found) noexcept {
    Ref mro = Ref::borrow(type->tp_mro);
    return mro ? plain_entry(mro.get(), 0, name, found) : Seen::untold;
}

// The first class-dictionary entry for `name` in mro[start:], as the
// interpreter looks it up (which may run Python code): 1 found, 0 absent,
// -1 with the lookup's error set.
int first_entry(PyObject* mro, Py_ssize_t start, PyObject* name, Ref& found) noexcept {
    for (Py_ssize_t i = start; i < PyTuple_GET_SIZE(mro); ++i) {
        Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        if (!dict) continue;
        PyObject* entry = nullptr;
        const int status = PyDict_GetItemRef(dict.get(), name, &entry);
        if (status != 0) {
            found = Ref::steal(entry);
            return status;
        }
    }
    return 0;
}

// Yes/no answers about a type, kept under its version tag (keep_under_tag).
// The table is direct-mapped: a colliding question evicts the older
// answer. Each entry owns its name, so that no other string can take the
// name's address; the other two keys are only compared (while the answer
// holds, the class dictionaries keep whatever they hold alive).
template <size_t Slots>
class TaggedAnswers {
public:
    template <typename Compute>
    bool answer(PyTypeObject* type, PyObject* name, const void* first, const void* second,
                Compute compute) noexcept {
        Entry& entry = slot(type, name, first, second);
        if (entry.type == type && tag_holds(type, entry.tag) && entry.name == name && entry.first == first &&
            entry.second == second)
            return entry.value;
        return keep_under_tag(type, compute, [&](unsigned int tag, bool value) noexcept {
            Py_XSETREF(entry.name, Py_NewRef(name));
            entry.type = type;
            entry.first = first;
            entry.second = second;
            entry.tag = tag;
            entry.value = value;
        });
    }

private:
    struct Entry {
        PyTypeObject* type = nullptr;
        PyObject* name = nullptr;
        const void* first = nullptr;
        const void* second = nullptr;
        unsigned int tag = 0;
        bool value = false;
    };

    Entry& slot(PyTypeObject* type, PyObject* name, const void* first, const void* second) noexcept {
        const auto bits = [](const void* p) { return reinterpret_cast<uintptr_t>(p); };
        const uintptr_t mixed = bits(type) ^ (bits(name) >> 3) ^ (bits(first) >> 5) ^ (bits(second) >> 7);
        return entries_[(mixed >> 4) % Slots];
    }

    Entry entries_[Slots];
};

TaggedAnswers<64> g_reaches;
TaggedAnswers<64> g_finds;
TaggedAnswers<256> g_resolves;

// The MRO of `type` after `klass` holds the entry that super() would
// find: true when `target` comes before any class whose dictionary
// defines `name`, told without running Python code.
bool walk_reaches(PyTypeObject* type, PyObject* klass, PyObject* name, PyTypeObject* target) noexcept {
    Ref mro = Ref::borrow(type->tp_mro);
    if (!mro) return false;
    auto* stop = reinterpret_cast<PyObject*>(target);
    const Py_ssize_t start = position_in(mro.get(), klass) + 1;
    const Py_ssize_t end = position_in(mro.get(), stop);
    Ref found;
    return start <= end && end < PyTuple_GET_SIZE(mro.get()) &&
           plain_entry(mro.get(), start, name, found, stop) == Seen::absent;
}

// The entry super(klass, obj).<name> starts from is exactly `expected`.
bool walk_finds(PyTypeObject* type, PyObject* klass, PyObject* name, PyObject* expected) noexcept {
    Ref mro = Ref::borrow(type->tp_mro);
    if (!mro) return false;
    const Py_ssize_t start = position_in(mro.get(), klass) + 1;
    Ref found;
    return start < PyTuple_GET_SIZE(mro.get()) && plain_entry(mro.get(), start, name, found) == Seen::found &&
           found.get() == expected && !code_displaced(expected);
}

}  // namespace

Ref class_lookup(PyTypeObject* type, PyObject* name) noexcept {
    Ref found;
    return plain_class_entry(type, name, found) == Seen::found ? std::move(found) : Ref();
}

bool class_lacks(PyTypeObject* type, PyObject* name) noexcept {
    Ref found;
    return plain_class_entry(type, name, found) == Seen::absent;
}

bool resolves_to(PyTypeObject* type, PyObject* name, PyObject* expected) noexcept {
    if (!expected) return false;
    return g_resolves.answer(type, name, expected, nullptr, [&]() noexcept {
        // A function running other code than its own is not the one expected.
        if (code_displaced(expected)) return false;
        Ref found = class_lookup(type, name);
        return found.get() == expected;
    });
}

bool inherits_builtin(PyTypeObject* type, PyObject* name, PyTypeObject* builtin) noexcept {
    // A built-in type's dictionary holds exact-str keys and never changes,
    // so its entry is found without running code and outlives the answer.
    Ref dict = Ref::steal(PyType_GetDict(builtin));
    PyObject* found = nullptr;
    if (!dict || PyDict_GetItemRef(dict.get(), name, &found) <= 0) {
        PyErr_Clear();
        return false;
    }
    Ref own = Ref::steal(found);
    return resolves_to(type, name, own.get());
}

bool super_reaches(PyTypeObject* type, PyObject* klass, PyObject* name, PyTypeObject* target) noexcept {
    return g_reaches.answer(type, name, klass, target,
                            [&]() noexcept { return walk_reaches(type, klass, name, target); });
}

bool super_reaches(const Call& call, PyObject* self, PyObject* name, PyTypeObject* target) noexcept {
    PyObject* klass = call.defining_class();
    if (!klass) {
        PyErr_Clear();  // the general path raises it again
        return false;
    }
    return super_reaches(Py_TYPE(self), klass, name, target);
}

bool super_finds(const Call& call, PyObject* self, PyObject* name, PyObject* expected) noexcept {
    PyObject* klass = call.defining_class();
    if (!klass) {
        PyErr_Clear();  // the general path raises it again
        return false;
    }
    if (!expected) return false;
    PyTypeObject* type = Py_TYPE(self);
    return g_finds.answer(type, name, klass, expected,
                          [&]() noexcept { return walk_finds(type, klass, name, expected); });
}

namespace {

// What `super().<name>` evaluates to inside the running method, with one
// walk along the MRO, as super() makes it: `function` when the entry found
// is a plain function (to be called with `self` first), else `attribute`.
struct SuperAttribute {
    Ref function;
    Ref attribute;
};

int super_attribute(const Call& call, PyObject* self, PyObject* name, SuperAttribute& out) noexcept {
    PyObject* klass = call.defining_class();
    if (!klass) PyErr_Clear();  // the real super() below raises it again
    Ref mro = Ref::borrow(Py_TYPE(self)->tp_mro);
    const Py_ssize_t start = klass && mro ? position_in(mro.get(), klass) + 1 : 0;
    if (start == 0 || start >= PyTuple_GET_SIZE(mro.get())) {
        // Not an instance of the class (super() checks and says so), or
        // nothing after it: the real super object answers.
        Ref proxy = super_proxy(call, self);
        out.attribute = proxy ? attr(proxy.get(), name) : Ref();
        return out.attribute ? 0 : -1;
    }
    Ref entry;
    const int found = first_entry(mro.get(), start, name, entry);
    if (found < 0) return -1;
    if (found == 0) {
        // No class after it defines the name: super() falls back to the
        // super object's own attributes.
        Ref proxy = super_proxy(call, self);
        out.attribute = proxy ? Ref::steal(PyObject_GenericGetAttr(proxy.get(), name)) : Ref();
        return out.attribute ? 0 : -1;
    }
    if (PyFunction_Check(entry.get())) {
        out.function = std::move(entry);
        return 0;
    }
    descrgetfunc get = Py_TYPE(entry.get())->tp_descr_get;
    out.attribute = get ? Ref::steal(get(entry.get(), self, reinterpret_cast<PyObject*>(Py_TYPE(self))))
                        : std::move(entry);
    return out.attribute ? 0 : -1;
}

}  // namespace

Ref call_super(const Call& call, PyObject* self, PyObject* name,
               std::initializer_list<PyObject*> args) noexcept {
    // A free slot in front of self lets the callee prepend without copying.
    PyObject* stack[8] = {nullptr, self};
    if (args.size() > std::size(stack) - 2) {
        PyErr_SetString(PyExc_SystemError, "call_super: too many arguments");
        return {};
    }
    size_t n = 2;
    for (PyObject* arg : args) stack[n++] = arg;
    SuperAttribute found;
    if (super_attribute(call, self, name, found) < 0) return {};
    if (found.function)
        return Ref::steal(PyObject_Vectorcall(found.function.get(), stack + 1, (n - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return Ref::steal(PyObject_Vectorcall(found.attribute.get(), stack + 2, (n - 2) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref call_super(const Call& call, PyObject* self, PyObject* name, PyObject* args,
               PyObject* kwargs) noexcept {
    SuperAttribute found;
    if (super_attribute(call, self, name, found) < 0) return {};
    Ref method = found.function ? Ref::steal(PyMethod_New(found.function.get(), self)) : std::move(found.attribute);
    if (!method) return {};
    return Ref::steal(PyObject_Call(method.get(), args, kwargs));
}

bool is_bound_method(PyObject* bound, PyObject* function, PyObject* self) noexcept {
    return PyMethod_Check(bound) && PyMethod_GET_FUNCTION(bound) == function &&
           PyMethod_GET_SELF(bound) == self;
}

int is_str(PyObject* obj) noexcept {
    if (PyUnicode_Check(obj)) return 1;
    return PyObject_IsInstance(obj, reinterpret_cast<PyObject*>(&PyUnicode_Type));
}

}  // namespace frame
