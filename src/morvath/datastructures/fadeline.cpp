// fadeline: a list that holds its items weakly.
//
// `Fadeline` is a `collections.UserList` whose `data` holds one `weakref.ref`
// per item. Reads hand back the live objects; every write wraps its items as
// `weakref.ref(item, self.remove)`, so an entry leaves by itself when its
// object is finalized; lookups compare a temporary `weakref.ref(item)` with
// the entries, which matches live objects by equality.
//
// Ownership: the instance holds `data`, `data` holds the references, each
// reference holds its callback (a bound `remove`), and that holds the
// instance: a non-empty instance is reclaimed by the cyclic collector.
//
// Callbacks run whenever an item dies, on any decref, in the middle of any
// operation on the same list. So nothing here keeps a borrowed entry of
// `data` across a call that can run Python code; the items an operation is
// about to store are kept alive until they are stored, and those of a list
// being sorted until the sort ends; and a removal by equality takes the very
// entry that matched, found again by identity after the comparison.
#include "frame.hpp"
#include "compare.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using frame::Call;
using frame::Ref;

frame::Str s_weakref{"weakref"}, s_ref{"ref"}, s_ReferenceType{"ReferenceType"},
    s_Fadeline{"Fadeline"}, s_data{"data"}, s_class{"__class__"}, s_name{"__name__"},
    s_init{"__init__"}, s_contains{"__contains__"}, s_getitem{"__getitem__"},
    s_setitem{"__setitem__"}, s_iadd{"__iadd__"}, s_remove{"remove"}, s_append{"append"},
    s_index{"index"}, s_count{"count"}, s_pop{"pop"}, s_insert{"insert"}, s_extend{"extend"},
    s_sort{"sort"}, s_key{"key"}, s_qualname{"__qualname__"}, s_dunder_index{"__index__"}, s_iter{"__iter__"},
    s_setstate{"__setstate__"},
    s_collections{"collections"}, s_UserList{"UserList"}, s_reverse{"reverse"}, s_separator{", "}, s_empty{""},
    s_opening{"Fadeline(["}, s_closing{"])"};

frame::Builtin b_super{"super"}, b_TypeError{"TypeError"}, b_list{"list"};

// The type of the references `weakref.ref` makes (fixed at import, taken from
// a reference rather than from the module, which callers may patch).
PyObject* g_ref_type = nullptr;
// slice(None, None, -1), the subscription of `__reversed__`.
PyObject* g_reverse_slice = nullptr;

// The methods of `collections.UserList` whose bodies are one operation on
// `self.data`. When super() from a method of `Fadeline` reaches one of these
// very functions, the operation is applied to `self.data` here: the same
// attribute read and the same list operation, without the Python frame.
enum Base { kContains, kGetitem, kSetitem, kRemove, kAppend, kIndex, kCount, kPop, kInsert, kSort, kBases };
const frame::Str* const kBaseNames[kBases] = {&s_contains, &s_getitem, &s_setitem, &s_remove, &s_append,
                                              &s_index, &s_count, &s_pop, &s_insert, &s_sort};
PyObject* g_userlist[kBases] = {};

const char* const kFadelineDoc =
    "Fadeline Class\n"
    "\n"
    "    A special implementation of python native list object, where the stored\n"
    "    items are weak references of the original list. \n"
    "\n"
    "    Special Behaviors:\n"
    "        - if an object referenced is finalized (garbage collected), its\n"
    "          reference is removed from the list automatically (auto-cleanup)\n"
    "        - all queries (read) from the list returns the actual object. \n"
    "        - all modifications (writes) to the list takes in actual objects, and\n"
    "          stores in the form of weakrefs.\n"
    "        - all handling of weakrefs should be invisible to the user.\n"
    "\n"
    "    Note:\n"
    "        Because all stored items are weakrefs, be careful of context and garbage\n"
    "        collections.\n"
    "    ";

// ---------------------------------------------------------------------------
// References

extern const frame::FunctionSpec remove_spec;

frame::KeptGlobal g_weakref{s_weakref};
frame::KeptEntry g_weakref_ref{s_ref};

// weakref.ref, read from the module global at each use. While `weakref` is
// a plain module, `weakref.ref` is the entry of its namespace (the module
// type defines no `ref` of its own), which is kept between reads; a module
// without that entry, or any other object, is asked for the attribute.
Ref weakref_ref() {
    Ref weakref = g_weakref.get();
    if (!weakref) return {};
    if (Py_IS_TYPE(weakref.get(), &PyModule_Type))
        if (Ref ref = g_weakref_ref.get(PyModule_GetDict(weakref.get()))) return ref;
    return frame::attr(weakref.get(), s_ref);
}

// self.remove. While the class's `remove` is this module's own function (a
// descriptor that the instance's namespace overrides) and the attribute
// lookup is the generic one, the value is the instance's own `remove` if it
// has one, else that function bound to `self`, made here directly; the one
// lookup of the instance's namespace is the one the generic lookup makes.
Ref bound_remove(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    static frame::SiteGuard guard;
    if (type->tp_getattro != PyObject_GenericGetAttr || !guard.resolves_to(type, s_remove, remove_spec.object))
        return frame::attr(self, s_remove);
    Ref names = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!names || !PyDict_CheckExact(names.get())) {
        PyErr_Clear();
        return frame::attr(self, s_remove);
    }
    PyObject* own = nullptr;
    const int has = PyDict_GetItemRef(names.get(), s_remove, &own);
    if (has != 0) return Ref::steal(own);  // the instance's own, or the lookup's error
    return Ref::steal(PyMethod_New(remove_spec.object, self));
}

// weakref.ref(item, self.remove): a new entry owned by `self`. `weakref`,
// its `ref` and `self.remove` are read afresh for every entry.
Ref make_entry(PyObject* self, PyObject* item) {
    Ref ref = weakref_ref();
    if (!ref) return {};
    Ref callback = bound_remove(self);
    if (!callback) return {};
    if (ref.get() == g_ref_type) return Ref::steal(PyWeakref_NewRef(item, callback.get()));
    PyObject* args[] = {item, callback.get()};
    return Ref::steal(PyObject_Vectorcall(ref.get(), args, 2, nullptr));
}

// weakref.ref(item): the temporary reference a lookup compares with the
// entries (equal when both objects are alive and equal).
Ref make_probe(PyObject* item) {
    Ref ref = weakref_ref();
    if (!ref) return {};
    if (ref.get() == g_ref_type) return Ref::steal(PyWeakref_NewRef(item, nullptr));
    return Ref::steal(PyObject_CallOneArg(ref.get(), item));
}

// The referent of a weak reference entry, as a strong reference that keeps
// it alive; null (no error) for a dead entry or any other object. Runs no
// Python code, so it may read a borrowed entry.
Ref hold(PyObject* entry) {
    PyObject* item = nullptr;
    if (PyObject_TypeCheck(entry, reinterpret_cast<PyTypeObject*>(g_ref_type)))
        (void)PyWeakref_GetRef(entry, &item);  // fails only for a non-reference
    return Ref::steal(item);
}

// r(): the live item of an entry, None once it is gone. Only a plain
// reference is read directly; a subclass may define its own call.
Ref live(PyObject* entry) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(entry)) != g_ref_type)
        return Ref::steal(PyObject_CallNoArgs(entry));
    Ref item = hold(entry);
    return item ? std::move(item) : frame::none();
}

// A new list of strong references that only this module's code ever sees:
// no Python object can refer to it, so it can be on no reference cycle and
// is kept out of the cyclic collector (which would otherwise walk it at
// every collection that a long loop meets).
Ref private_pins() {
    Ref pins = Ref::steal(PyList_New(0));
    if (pins) PyObject_GC_UnTrack(pins.get());
    return pins;
}

// [weakref.ref(i, self.remove) for i in items], iterating `items` once.
// Every element also goes to `pins`, which the caller keeps until the
// entries are stored: an element that nothing else holds (one made by a
// generator, say) would otherwise die before its entry reaches `data`, and
// its cleanup would find nothing to remove. The caller drops `entries`
// before `pins`, so that on failure no callback of an unstored entry runs.
int make_entries(PyObject* self, PyObject* items, Ref& entries, Ref& pins) {
    Ref iterator = Ref::steal(PyObject_GetIter(items));
    pins = private_pins();
    entries = Ref::steal(PyList_New(0));
    if (!iterator || !pins || !entries) return -1;
    frame::SignalPoll poll;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (poll.interrupted() || PyList_Append(pins.get(), item.get()) < 0) return -1;
        Ref entry = make_entry(self, item.get());
        if (!entry || PyList_Append(entries.get(), entry.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// ---------------------------------------------------------------------------
// super() calls

// True when super().<name> inside the running method reaches UserList's own
// function for `which`, whose body is one operation on `self.data`.
bool reaches_userlist(const Call& c, PyObject* self, Base which) {
    return frame::super_finds(c, self, *kBaseNames[which], g_userlist[which]);
}

// `self.data` when super().<name> reaches UserList's own function
// (`inline_base` set), so that its one operation can be applied here with
// the same attribute read and the same list operation; otherwise
// `inline_base` is false and the caller takes the general path. A null Ref
// with `inline_base` set means reading `data` failed, as it would have
// inside the base method.
Ref base_data(const Call& c, PyObject* self, Base which, bool& inline_base) {
    inline_base = reaches_userlist(c, self, which);
    return inline_base ? frame::attr(self, s_data) : Ref();
}

Py_ssize_t scan(PyObject* data, PyObject* probe, bool count = false);

// data.index(probe) and data.count(probe) for an exact list, searched here.
Ref search_list(PyObject* data, Base which, PyObject* probe) {
    const Py_ssize_t found = scan(data, probe, which == kCount);
    if (found == -2) return {};
    if (found == -1) {
        PyErr_Format(PyExc_ValueError, "%R is not in list", probe);
        return {};
    }
    return Ref::steal(PyLong_FromSsize_t(found));
}

// data.<name>(*args) for the operation `which`.
Ref call_on(PyObject* data, Base which, PyObject* arg, PyObject* second = nullptr) {
    if (which == kAppend && PyList_CheckExact(data))
        return PyList_Append(data, arg) < 0 ? Ref() : frame::none();
    if ((which == kIndex || which == kCount) && PyList_CheckExact(data)) return search_list(data, which, arg);
    PyObject* args[] = {data, arg, second};
    return Ref::steal(PyObject_VectorcallMethod(*kBaseNames[which], args, second ? 3 : 2, nullptr));
}

// super().<name>(arg[, second]): `self.data.<name>(...)` when super()
// reaches UserList.
Ref base_method(const Call& c, PyObject* self, Base which, PyObject* arg, PyObject* second = nullptr) {
    bool inline_base;
    Ref data = base_data(c, self, which, inline_base);
    if (!inline_base) {
        PyObject* name = *kBaseNames[which];
        return second ? frame::call_super(c, self, name, {arg, second}) : frame::call_super(c, self, name, {arg});
    }
    return data ? call_on(data.get(), which, arg, second) : Ref();
}

// ---------------------------------------------------------------------------
// Storage and reads

// super().<name>([weakref.ref(i, self.remove) for i in items]) at the lines
// given: the base stores the new entries, and the items stay held until it
// has (see make_entries).
Ref store_entries(Call& c, PyObject* name, int build_line, int store_line) {
    PyObject* self = c[0];
    c.at(build_line);
    Ref pins, entries;
    if (make_entries(self, c[1], entries, pins) < 0) return {};
    c.at(store_line);
    Ref result = frame::call_super(c, self, name, {entries.get()});
    entries.reset();
    pins.reset();
    return result;
}

PyObject* fadeline_init(Call& c) {
    return store_entries(c, s_init, 25, 26) ? frame::none().release() : nullptr;
}

PyObject* fadeline_contains(Call& c) {
    PyObject* self = c[0];
    c.at(29);
    Ref probe = make_probe(c[1]);
    if (!probe) return nullptr;
    bool inline_base;
    Ref data = base_data(c, self, kContains, inline_base);
    if (!inline_base) return frame::call_super(c, self, s_contains, {probe.get()}).release();
    if (!data) return nullptr;
    int inside;
    if (PyList_CheckExact(data.get())) {
        const Py_ssize_t at = scan(data.get(), probe.get());
        inside = at == -2 ? -1 : at >= 0;
    } else {
        inside = PySequence_Contains(data.get(), probe.get());
    }
    return inside < 0 ? nullptr : PyBool_FromLong(inside);
}

// The generator of `__getitem__` for a slice: (r() for r in <the slice>).
class SliceGenerator final : public frame::GeneratorState {
public:
    explicit SliceGenerator(Ref iterator) noexcept : iterator_(std::move(iterator)) {}
    PyObject* next(int&) noexcept override {
        Ref entry = Ref::steal(PyIter_Next(iterator_.get()));
        return entry ? live(entry.get()).release() : nullptr;
    }
    int traverse(visitproc visit, void* arg) noexcept override {
        Py_VISIT(iterator_.get());
        return 0;
    }

private:
    Ref iterator_;  // over a new list that only this generator holds
};

PyObject* fadeline_getitem(Call& c) {
    PyObject* self = c[0];
    PyObject* index = c[1];
    c.at(32);
    if (PySlice_Check(index)) {
        c.at(33);
        Ref cls = frame::attr(self, s_class);
        Ref data = cls ? frame::attr(self, s_data) : Ref();
        Ref part = data ? Ref::steal(PyObject_GetItem(data.get(), index)) : Ref();
        Ref iterator = part ? Ref::steal(PyObject_GetIter(part.get())) : Ref();
        if (!iterator) return nullptr;
        std::unique_ptr<frame::GeneratorState> state(new SliceGenerator(std::move(iterator)));
        Ref items = frame::make_generator("genexpr", "Fadeline.__getitem__.<locals>.genexpr", 33,
                                          std::move(state));
        if (!items) return nullptr;
        return PyObject_CallOneArg(cls.get(), items.get());
    }
    c.at(34);
    bool inline_base;
    Ref data = base_data(c, self, kGetitem, inline_base);
    Ref entry;
    if (!inline_base) {
        entry = frame::call_super(c, self, s_getitem, {index});
    } else if (data) {
        entry = Ref::steal(PyObject_GetItem(data.get(), index));
    }
    return entry ? live(entry.get()).release() : nullptr;
}

PyObject* fadeline_setitem(Call& c) {
    PyObject* self = c[0];
    PyObject* index = c[1];
    Ref pins, stored;
    c.at(37);
    if (PySlice_Check(index)) {
        c.at(38);
        if (make_entries(self, c[2], stored, pins) < 0) return nullptr;
    } else {
        c.at(40);
        stored = make_entry(self, c[2]);
        if (!stored) return nullptr;
    }
    c.at(41);
    bool inline_base;
    Ref data = base_data(c, self, kSetitem, inline_base);
    int done;
    if (!inline_base) {
        done = frame::call_super(c, self, s_setitem, {index, stored.get()}) ? 0 : -1;
    } else {
        done = data ? PyObject_SetItem(data.get(), index, stored.get()) : -1;
    }
    stored.reset();
    pins.reset();
    return done < 0 ? nullptr : frame::none().release();
}

// The generator of `__iter__`: for r in self.data: yield r(). `data` is read
// on the first step; the list iterator checks the current length before
// each step, so entries removed meanwhile are simply not reached.
class IterGenerator final : public frame::GeneratorState {
public:
    explicit IterGenerator(PyObject* self) noexcept : self_(Ref::borrow(self)) {}
    // A generator that has read `data` already and stands at `iterator`.
    IterGenerator(PyObject* self, Ref iterator) noexcept : self_(Ref::borrow(self)), iterator_(std::move(iterator)) {}
    PyObject* next(int& line) noexcept override {
        line = 44;
        if (!iterator_) {
            Ref data = frame::attr(self_.get(), s_data);
            if (!data) return nullptr;
            iterator_ = Ref::steal(PyObject_GetIter(data.get()));
            if (!iterator_) return nullptr;
        }
        Ref entry = Ref::steal(PyIter_Next(iterator_.get()));
        if (!entry) return nullptr;
        line = 45;
        return live(entry.get()).release();
    }
    int traverse(visitproc visit, void* arg) noexcept override {
        Py_VISIT(self_.get());
        Py_VISIT(iterator_.get());
        return 0;
    }

private:
    Ref self_;
    Ref iterator_;
};

Ref iter_generator(std::unique_ptr<frame::GeneratorState> state) {
    return frame::make_generator("__iter__", "Fadeline.__iter__", 44, std::move(state));
}

PyObject* fadeline_iter(Call& c) { return iter_generator(std::make_unique<IterGenerator>(c[0])).release(); }

extern const frame::FunctionSpec iter_spec;

// iter(self), walked by the string forms. While the class's `__iter__` is
// this module's own and `self.data` is an exact list that the instance's
// storage gives without running code, the generator's steps are taken here:
// the same read of `data`, the same walk by position, and the live item of
// each plain reference, which runs no code and cannot fail. At the first
// entry of any other kind a generator standing at that entry takes over,
// so that calling the entry fails, if it does, as the generator's step would.
class LiveItems {
public:
    explicit LiveItems(PyObject* self) : self_(self) {}

    int start() {
        static frame::SiteGuard guard;
        PyObject* data = nullptr;
        if (guard.resolves_to(Py_TYPE(self_), s_iter, iter_spec.object) &&
            frame::instance_attribute(self_, s_data, &data)) {
            data_ = Ref::steal(data);
            if (PyList_CheckExact(data)) return 0;
            data_.reset();  // the generator reads it again, as no code ran
        }
        iterator_ = Ref::steal(PyObject_GetIter(self_));
        return iterator_ ? 0 : -1;
    }

    // How many items the walk will likely give.
    size_t expected() const { return data_ ? static_cast<size_t>(PyList_GET_SIZE(data_.get())) : 8; }

    // The next item; null at the end or with an exception set.
    Ref next() {
        if (iterator_) return Ref::steal(PyIter_Next(iterator_.get()));
        if (at_ >= PyList_GET_SIZE(data_.get())) return {};
        PyObject* entry = PyList_GET_ITEM(data_.get(), at_);
        if (reinterpret_cast<PyObject*>(Py_TYPE(entry)) != g_ref_type) {
            Ref rest = Ref::steal(PyObject_GetIter(data_.get()));
            Ref position = Ref::steal(PyLong_FromSsize_t(at_));
            if (!rest || !position || !Ref::steal(PyObject_CallMethodOneArg(rest.get(), s_setstate, position.get())))
                return {};
            return hand_over(std::move(rest)) < 0 ? Ref() : next();
        }
        ++at_;
        return live(entry);
    }

private:
    int hand_over(Ref rest) {
        if (!rest) return -1;
        iterator_ = iter_generator(std::make_unique<IterGenerator>(self_, std::move(rest)));
        return iterator_ ? 0 : -1;
    }

    PyObject* self_;
    Ref data_;
    Py_ssize_t at_ = 0;
    Ref iterator_;  // the generator (or the class's own iterator) once it walks
};

// list(self): the live items, gathered by iterating the instance.
Ref as_list(PyObject* self) {
    if (b_list.get() == reinterpret_cast<PyObject*>(&PyList_Type)) return Ref::steal(PySequence_List(self));
    return Ref::steal(PyObject_CallOneArg(b_list, self));
}

PyObject* fadeline_eq(Call& c) {
    c.at(48);
    Ref items = as_list(c[0]);
    return items ? PyObject_RichCompare(items.get(), c[1], Py_EQ) : nullptr;
}

PyObject* fadeline_reversed(Call& c) {
    c.at(51);
    return PyObject_GetItem(c[0], g_reverse_slice);
}

// The position of `entry` in `data` by identity, the one nearest to `hint`
// where it stood before code ran: looking back first, since entries that
// leave before it move it back. -1 when it is not there.
Py_ssize_t find_entry(PyObject* data, PyObject* entry, Py_ssize_t hint) {
    const Py_ssize_t size = PyList_GET_SIZE(data);
    for (Py_ssize_t j = std::min(hint, size - 1); j >= 0; --j)
        if (PyList_GET_ITEM(data, j) == entry) return j;
    for (Py_ssize_t j = hint + 1; j < size; ++j)
        if (PyList_GET_ITEM(data, j) == entry) return j;
    return -1;
}

// ---------------------------------------------------------------------------
// Searching the entries
//
// Each search compares entries with a probe as the list does,
// `entry == probe`: the same object matches at once; two plain references
// match when both objects are alive and `==` says so; a dead one matches only
// itself. Where that is known without calling into Python code it is
// answered here: a plain reference against a dead plain probe (the probe of
// every cleanup) differs unless it is the probe, and two live plain
// references whose objects' classes both compare by identity (see
// frame::equality_is_identity) match when the objects are one. Any other
// entry, or an item of a class that defines its own `__eq__`, is compared
// the general way, with the same operands in the same order.

// The object of a plain reference without a reference of its own (null when
// it is gone), for tests of identity made before any other code runs.
PyObject* peek_referent(PyObject* ref) {
    PyObject* item = reinterpret_cast<PyWeakReference*>(ref)->wr_object;
    return item == Py_None || Py_REFCNT(item) == 0 ? nullptr : item;
}

class Search {
public:
    // `probe` is borrowed from the caller, which holds it for the search.
    explicit Search(PyObject* probe) noexcept : probe_(probe) {
        plain_probe_ = reinterpret_cast<PyObject*>(Py_TYPE(probe)) == g_ref_type;
        if (plain_probe_) probe_item_ = hold(probe);
        probe_by_identity_ = probe_item_ && frame::equality_is_identity(Py_TYPE(probe_item_.get()));
    }

    // entry == probe for an entry read from a list just now: 1 or 0 when
    // that is known without running code, else -2 (compare the general way).
    int quick(PyObject* entry) noexcept {
        if (entry == probe_) return 1;
        if (!plain_probe_ || reinterpret_cast<PyObject*>(Py_TYPE(entry)) != g_ref_type) return -2;
        if (!probe_item_) return 0;
        PyObject* item = peek_referent(entry);
        if (!item) return 0;
        if (!probe_by_identity_ || !known_identity(Py_TYPE(item))) return -2;
        return item == probe_item_.get();
    }

    // entry == probe in general; may run any code. The caller holds `entry`.
    int compare(PyObject* entry) noexcept {
        if (probe_by_identity_ && reinterpret_cast<PyObject*>(Py_TYPE(entry)) == g_ref_type) {
            Ref item = hold(entry);
            if (item && compares_by_identity(Py_TYPE(item.get()))) return item.get() == probe_item_.get();
        }
        return PyObject_RichCompareBool(entry, probe_, Py_EQ);
    }

    // entry == probe, the quick way when it can be.
    int equals(PyObject* entry) noexcept {
        const int quick_answer = quick(entry);
        if (quick_answer != -2) return quick_answer;
        Ref held = Ref::borrow(entry);
        return compare(entry);
    }

private:
    bool known_identity(PyTypeObject* type) const noexcept {
        return type == known_ && frame::tag_holds(type, known_tag_);
    }
    // frame::equality_is_identity, remembered for the last class that passed.
    bool compares_by_identity(PyTypeObject* type) noexcept {
        return frame::keep_under_tag(
            type, [&]() noexcept { return frame::equality_is_identity(type); },
            [&](unsigned int tag, bool passed) noexcept {
                if (passed) known_ = type, known_tag_ = tag;
            });
    }

    PyObject* probe_;
    Ref probe_item_;  // the probe's live object, held for the search
    bool plain_probe_ = false;
    bool probe_by_identity_ = false;
    PyTypeObject* known_ = nullptr;  // the last class found to compare by identity
    unsigned int known_tag_ = 0;     // ... and its version tag then
};

// The position of the first entry of `data` (an exact list) from `start` on
// that equals `probe`, walking as the list's own search does (the length is
// read again before every step); -1 when none does, -2 on error. With
// `count`, counts the matches instead and returns their number.
Py_ssize_t scan(PyObject* data, PyObject* probe, bool count) {
    Search search(probe);
    Py_ssize_t matches = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data); ++i) {
        const int equal = search.equals(PyList_GET_ITEM(data, i));
        if (equal < 0) return -2;
        if (equal && !count) return i;
        matches += equal;
    }
    return count ? matches : -1;
}

// The first entry of `data` (an exact list) that equals `probe`: its
// position, with `found` holding it and `item` its live item (kept alive
// until the caller has taken the entry out, so that its callback cannot
// take it first); -1 when none does, -2 on error.
// A comparison may run any code, and an item whose last reference goes
// meanwhile takes its entry out through the callback. So the item of the
// entry being compared is held until the comparison is over, and the entry
// is then found again by identity: the position given is that of the entry
// that matched (never of the one that moved into its place) and an entry that
// left does not make the search skip the next.
Py_ssize_t find_equal(PyObject* data, PyObject* probe, Ref& found, Ref& item) {
    Search search(probe);
    Py_ssize_t i = 0;
    frame::SignalPoll poll;
    while (i < PyList_GET_SIZE(data)) {
        if (poll.interrupted()) return -2;
        PyObject* candidate = PyList_GET_ITEM(data, i);
        const int quick_answer = search.quick(candidate);
        if (quick_answer == 1) {
            found = Ref::borrow(candidate);
            item = hold(candidate);
            return i;
        }
        if (quick_answer == 0) {
            ++i;
            continue;
        }
        Ref entry = Ref::borrow(candidate);
        Ref held = hold(entry.get());
        const int equal = search.compare(entry.get());
        if (equal < 0) return -2;
        Py_ssize_t at = find_entry(data, entry.get(), i);
        if (equal && at >= 0) {
            found = std::move(entry);
            item = std::move(held);
            return at;
        }
        held.reset();
        at = find_entry(data, entry.get(), i);
        i = at < 0 ? i : at + 1;
    }
    return -1;
}

PyObject* fadeline_remove(Call& c) {
    PyObject* self = c[0];
    PyObject* item = c[1];
    c.at(68);
    Ref weakref = frame::global(s_weakref);
    Ref reference_type = weakref ? frame::attr(weakref.get(), s_ReferenceType) : Ref();
    if (!reference_type) return nullptr;
    int is_reference = PyObject_IsInstance(item, reference_type.get());
    if (is_reference < 0) return nullptr;
    Ref probe;
    if (is_reference) {
        c.at(69);
        probe = Ref::borrow(item);
    } else {
        c.at(71);
        probe = make_probe(item);
        if (!probe) return nullptr;
    }
    bool inline_base;
    Ref data = base_data(c, self, kRemove, inline_base);
    if (inline_base && data && PyList_CheckExact(data.get())) {
        Ref item, entry;  // the entry goes first: its callback must not outlive it
        const Py_ssize_t at = find_equal(data.get(), probe.get(), entry, item);
        if (at == -1) PyErr_SetString(PyExc_ValueError, "list.remove(x): x not in list");
        if (at < 0 || PyList_SetSlice(data.get(), at, at + 1, nullptr) < 0) return nullptr;
        return frame::none().release();
    }
    Ref done;
    if (!inline_base) {
        done = frame::call_super(c, self, s_remove, {probe.get()});
    } else if (data) {
        done = call_on(data.get(), kRemove, probe.get());
    }
    return done ? frame::none().release() : nullptr;
}

// ---------------------------------------------------------------------------
// Adding items

PyObject* fadeline_add(Call& c) {
    PyObject* self = c[0];
    PyObject* item = c[1];
    c.at(54);
    Ref fadeline = frame::global(s_Fadeline);
    if (!fadeline) return nullptr;
    int accepted = PyObject_IsInstance(item, fadeline.get());
    if (accepted < 0) return nullptr;
    if (!accepted) {
        c.at(56);
        Ref name = frame::attr(reinterpret_cast<PyObject*>(Py_TYPE(item)), s_name);
        Ref text = name ? Ref::steal(PyObject_Format(name.get(), s_empty)) : Ref();
        Ref message = text ? Ref::steal(PyUnicode_FromFormat(
                                 "can only concatenante Fadeline (not \"%U\") to Fadeline", text.get()))
                           : Ref();
        if (message) PyErr_SetObject(b_TypeError, message.get());
        return nullptr;
    }
    c.at(58);
    fadeline = frame::global(s_Fadeline);
    Ref result = fadeline ? Ref::steal(PyObject_CallNoArgs(fadeline.get())) : Ref();
    if (!result) return nullptr;
    c.at(59);
    if (!Ref::steal(PyObject_CallMethodOneArg(result.get(), s_extend, self))) return nullptr;
    c.at(60);
    if (!Ref::steal(PyObject_CallMethodOneArg(result.get(), s_extend, item))) return nullptr;
    return result.release();
}

PyObject* fadeline_iadd(Call& c) { return store_entries(c, s_iadd, 64, 65).release(); }

PyObject* fadeline_append(Call& c) {
    c.at(74);
    Ref entry = make_entry(c[0], c[1]);
    return entry && base_method(c, c[0], kAppend, entry.get()) ? frame::none().release() : nullptr;
}

PyObject* fadeline_insert(Call& c) {
    c.at(89);
    Ref entry = make_entry(c[0], c[2]);
    return entry && base_method(c, c[0], kInsert, c[1], entry.get()) ? frame::none().release() : nullptr;
}

PyObject* fadeline_extend(Call& c) {
    return store_entries(c, s_extend, 92, 93) ? frame::none().release() : nullptr;
}

// ---------------------------------------------------------------------------
// Looking items up

PyObject* fadeline_index(Call& c) {
    c.at(77);
    Ref probe = make_probe(c[1]);
    return probe ? base_method(c, c[0], kIndex, probe.get()).release() : nullptr;
}

PyObject* fadeline_count(Call& c) {
    c.at(80);
    Ref probe = make_probe(c[1]);
    return probe ? base_method(c, c[0], kCount, probe.get()).release() : nullptr;
}

// hasattr(type(item), "__index__"): the test that tells a position from an
// item, made on the class as the attribute lookup of its metaclass makes it.
int is_position(PyObject* item) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(item));
    if (Py_IS_TYPE(type, &PyType_Type) && PyLong_CheckExact(item)) return 1;
    return PyObject_HasAttrWithError(type, s_dunder_index);
}

// The entry that `data.pop(position)` removes after `self.index(item)` found
// `entry` at `position` in `searched`: when `data` is the list searched, the
// entry that matched is taken even if code run since has moved it.
Ref pop_found(PyObject* data, PyObject* searched, PyObject* entry, Py_ssize_t position) {
    if (data == searched && PyList_CheckExact(data)) {
        const Py_ssize_t at = find_entry(data, entry, position);
        if (at >= 0) {
            Ref taken = Ref::borrow(entry);
            return PyList_SetSlice(data, at, at + 1, nullptr) < 0 ? Ref() : std::move(taken);
        }
    }
    Ref index = Ref::steal(PyLong_FromSsize_t(position));
    return index ? call_on(data, kPop, index.get()) : Ref();
}

// pop(item=-1): with a position (anything whose class has __index__), the
// entry there leaves as list.pop takes it; with an object, the first entry
// whose live item equals it (the lookup of `index`, then the list's pop,
// each reading `self.data`). Either way the live item of the removed entry
// is returned, None for an entry whose item is gone.
PyObject* fadeline_pop(Call& c) {
    PyObject* self = c[0];
    PyObject* item = c[1];
    c.at(83);
    const int positional = is_position(item);
    if (positional < 0) return nullptr;
    if (positional) {
        c.at(84);
        Ref entry = base_method(c, self, kPop, item);
        return entry ? live(entry.get()).release() : nullptr;
    }
    c.at(85);
    Ref probe = make_probe(item);
    if (!probe) return nullptr;
    Ref entry;
    if (reaches_userlist(c, self, kIndex) && reaches_userlist(c, self, kPop)) {
        Ref searched = frame::attr(self, s_data);
        if (!searched) return nullptr;
        if (PyList_CheckExact(searched.get())) {
            Ref matched_item, matched;  // the entries go before the item
            const Py_ssize_t at = find_equal(searched.get(), probe.get(), matched, matched_item);
            if (at == -1) PyErr_Format(PyExc_ValueError, "%R is not in list", probe.get());
            if (at < 0) return nullptr;
            c.at(86);
            Ref data = frame::attr(self, s_data);
            Ref taken = data ? pop_found(data.get(), searched.get(), matched.get(), at) : Ref();
            Ref result = taken ? live(taken.get()) : Ref();
            taken.reset();
            matched.reset();
            return result.release();
        } else {
            Ref position = call_on(searched.get(), kIndex, probe.get());
            if (!position) return nullptr;
            c.at(86);
            Ref data = frame::attr(self, s_data);
            entry = data ? call_on(data.get(), kPop, position.get()) : Ref();
        }
    } else {
        Ref position = frame::call_super(c, self, s_index, {probe.get()});
        if (!position) return nullptr;
        c.at(86);
        entry = base_method(c, self, kPop, position.get());
    }
    return entry ? live(entry.get()).release() : nullptr;
}

// ---------------------------------------------------------------------------
// Sorting

// The sort key: lambda x: x() when the caller's key is None, lambda x:
// key(x()) otherwise. A built-in function with the caller's key as its
// `__self__`: it runs once per entry, and only the list's sort calls it.
PyObject* sort_key(PyObject* key, PyObject* entry) noexcept {
    Ref item = live(entry);
    if (!item || !key) return item.release();
    return PyObject_CallOneArg(key, item.get());
}

PyMethodDef g_sort_key_def = {"<lambda>", sort_key, METH_O, nullptr};

// The live items of the entries of `data`. A list is empty while it is
// sorted, so an item finalized then (say by a key function dropping its last
// reference) would find no entry to remove and leave a dead one behind; held
// here, such items die once the sorted list is back.
Ref pin_items(PyObject* data) {
    Ref pins = private_pins();
    if (!pins || !PyList_Check(data)) return pins;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data); ++i) {
        Ref held = hold(PyList_GET_ITEM(data, i));
        if (held && PyList_Append(pins.get(), held.get()) < 0) return {};
    }
    return pins;
}

// data.sort(key=key, reverse=reverse): UserList's own sort, applied here.
Ref sort_data(PyObject* data, PyObject* key, PyObject* reverse) {
    Ref names = Ref::steal(PyTuple_Pack(2, s_key.get(), s_reverse.get()));
    if (!names) return {};
    PyObject* args[] = {data, key, reverse};
    return Ref::steal(PyObject_VectorcallMethod(s_sort, args, 1, names.get()));
}

// super().sort(key=key, reverse=reverse)
Ref sort_through_super(const Call& c, PyObject* self, PyObject* key, PyObject* reverse) {
    Ref no_args = Ref::steal(PyTuple_New(0));
    Ref keywords = Ref::steal(PyDict_New());
    if (!no_args || !keywords || PyDict_SetItem(keywords.get(), s_key, key) < 0 ||
        PyDict_SetItem(keywords.get(), s_reverse, reverse) < 0)
        return {};
    return frame::call_super(c, self, s_sort, no_args.get(), keywords.get());
}

// The items are pinned whichever sort runs: a class between this one and
// UserList sorts the same emptied list.
PyObject* fadeline_sort(Call& c) {
    PyObject* self = c[0];
    c.at(96);
    Ref key = Ref::steal(PyCFunction_New(&g_sort_key_def, c[1] == Py_None ? nullptr : c[1]));
    if (!key) return nullptr;
    c.at(100);
    Ref data = frame::attr(self, s_data);
    Ref pins = data ? pin_items(data.get()) : Ref();
    if (!pins) return nullptr;
    Ref done = reaches_userlist(c, self, kSort) ? sort_data(data.get(), key.get(), c[2])
                                                : sort_through_super(c, self, key.get(), c[2]);
    pins.reset();
    return done ? frame::none().release() : nullptr;
}

// ---------------------------------------------------------------------------
// String forms

// "Fadeline([" + ", ".join(texts) + "])", written in one new string.
PyObject* framed(const std::vector<Ref>& texts) {
    const PyObject* pieces[] = {s_opening, s_closing};
    Py_ssize_t length = 0;
    Py_UCS4 widest = 127;
    for (const PyObject* piece : pieces) length += PyUnicode_GET_LENGTH(piece);
    const Py_ssize_t separator = PyUnicode_GET_LENGTH(s_separator.get());
    for (const Ref& text : texts) {
        const Py_ssize_t size = PyUnicode_GET_LENGTH(text.get());
        if (size > PY_SSIZE_T_MAX - length - separator) return PyErr_NoMemory();
        length += size + (&text == &texts.front() ? 0 : separator);
        widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(text.get()));
    }
    Ref out = Ref::steal(PyUnicode_New(length, widest));
    if (!out) return nullptr;
    Py_ssize_t at = 0;
    const int kind = PyUnicode_KIND(out.get());
    char* const data = static_cast<char*>(PyUnicode_DATA(out.get()));
    auto write = [&](PyObject* piece) {
        const Py_ssize_t size = PyUnicode_GET_LENGTH(piece);
        if (PyUnicode_KIND(piece) == kind)
            memcpy(data + at * kind, PyUnicode_DATA(piece), static_cast<size_t>(size) * kind);
        else if (PyUnicode_CopyCharacters(out.get(), at, piece, 0, size) < 0)
            return false;
        at += size;
        return true;
    };
    if (!write(s_opening)) return nullptr;
    for (const Ref& text : texts)
        if ((&text != &texts.front() && !write(s_separator)) || !write(text.get())) return nullptr;
    return write(s_closing) ? out.release() : nullptr;
}

// "Fadeline([" + ", ".join(form(i) for i in self) + "])"
// Every item shown stays referenced until the text is built. An item whose
// text drops the last reference to itself would otherwise take its entry out
// through the callback while the iteration is under way, moving the later
// live entries back past the list iterator so that the text omits them.
// Holding only the previous item is not enough: its entry still leaves
// before the iterator's position. The dead entries go once `shown` is freed,
// after the texts (declared first, so destroyed last).
PyObject* string_form(PyObject* self, PyObject* (*form)(PyObject*)) {
    std::vector<Ref> shown, texts;
    LiveItems items(self);
    if (items.start() < 0) return nullptr;
    shown.reserve(items.expected()), texts.reserve(items.expected());
    frame::SignalPoll poll;
    while (Ref item = items.next()) {
        if (poll.interrupted()) return nullptr;
        Ref text = Ref::steal(form(item.get()));
        shown.push_back(std::move(item));
        if (!text) return nullptr;
        texts.push_back(std::move(text));
    }
    return PyErr_Occurred() ? nullptr : framed(texts);
}

PyObject* fadeline_repr(Call& c) {
    c.at(103);
    return string_form(c[0], PyObject_Repr);
}

PyObject* fadeline_str(Call& c) {
    c.at(106);
    return string_form(c[0], PyObject_Str);
}

// ---------------------------------------------------------------------------
// Function records

const frame::FunctionSpec init_spec{
    .name = "__init__", .qualname = "Fadeline.__init__", .params = {"self", "items"},
    .locals = {"data"}, .line = 24, .uses_super = true, .body = fadeline_init};
const frame::FunctionSpec contains_spec{
    .name = "__contains__", .qualname = "Fadeline.__contains__", .params = {"self", "item"},
    .line = 28, .uses_super = true, .body = fadeline_contains};
const frame::FunctionSpec getitem_spec{
    .name = "__getitem__", .qualname = "Fadeline.__getitem__", .params = {"self", "index"},
    .line = 31, .uses_super = true, .body = fadeline_getitem};
const frame::FunctionSpec setitem_spec{
    .name = "__setitem__", .qualname = "Fadeline.__setitem__", .params = {"self", "index", "item"},
    .line = 36, .uses_super = true, .body = fadeline_setitem};
const frame::FunctionSpec iter_spec{
    .name = "__iter__", .qualname = "Fadeline.__iter__", .params = {"self"}, .locals = {"r"},
    .line = 43, .body = fadeline_iter};
const frame::FunctionSpec eq_spec{
    .name = "__eq__", .qualname = "Fadeline.__eq__", .params = {"self", "other"}, .line = 47,
    .body = fadeline_eq};
const frame::FunctionSpec reversed_spec{
    .name = "__reversed__", .qualname = "Fadeline.__reversed__", .params = {"self"}, .line = 50,
    .body = fadeline_reversed};
const frame::FunctionSpec add_spec{
    .name = "__add__", .qualname = "Fadeline.__add__", .params = {"self", "item"},
    .locals = {"r"}, .line = 53, .body = fadeline_add};
const frame::FunctionSpec iadd_spec{
    .name = "__iadd__", .qualname = "Fadeline.__iadd__", .params = {"self", "items"},
    .locals = {"data"}, .line = 63, .uses_super = true, .body = fadeline_iadd};
const frame::FunctionSpec remove_spec{
    .name = "remove", .qualname = "Fadeline.remove", .params = {"self", "item"}, .line = 67,
    .uses_super = true, .body = fadeline_remove};
const frame::FunctionSpec append_spec{
    .name = "append", .qualname = "Fadeline.append", .params = {"self", "item"}, .line = 73,
    .uses_super = true, .body = fadeline_append};
const frame::FunctionSpec index_spec{
    .name = "index", .qualname = "Fadeline.index", .params = {"self", "item"}, .line = 76,
    .uses_super = true, .body = fadeline_index};
const frame::FunctionSpec count_spec{
    .name = "count", .qualname = "Fadeline.count", .params = {"self", "item"}, .line = 79,
    .uses_super = true, .body = fadeline_count};
const frame::FunctionSpec pop_spec{
    .name = "pop", .qualname = "Fadeline.pop", .params = {"self", "item"},
    .locals = {"position"}, .line = 82, .uses_super = true, .body = fadeline_pop};
const frame::FunctionSpec insert_spec{
    .name = "insert", .qualname = "Fadeline.insert", .params = {"self", "index", "item"},
    .line = 88, .uses_super = true, .body = fadeline_insert};
const frame::FunctionSpec extend_spec{
    .name = "extend", .qualname = "Fadeline.extend", .params = {"self", "items"},
    .locals = {"data"}, .line = 91, .uses_super = true, .body = fadeline_extend};
const frame::FunctionSpec sort_spec{
    .name = "sort", .qualname = "Fadeline.sort", .params = {"self", "key", "reverse"},
    .locals = {"sort_key"}, .line = 95, .uses_super = true, .body = fadeline_sort};
const frame::FunctionSpec repr_spec{
    .name = "__repr__", .qualname = "Fadeline.__repr__", .params = {"self"}, .line = 102,
    .body = fadeline_repr};
const frame::FunctionSpec str_spec{
    .name = "__str__", .qualname = "Fadeline.__str__", .params = {"self"}, .line = 105,
    .body = fadeline_str};

// ---------------------------------------------------------------------------
// Module body

// Remembers UserList's own functions (for the inline base operations), the
// reference type and the reversing slice.
int remember_base(PyObject* userlist) {
    for (int i = 0; i < kBases; ++i) {
        Ref function = frame::class_lookup(reinterpret_cast<PyTypeObject*>(userlist), *kBaseNames[i]);
        if (!function || !PyFunction_Check(function.get())) continue;
        Ref qualname = frame::attr(function.get(), s_qualname);
        Ref expected = Ref::steal(PyUnicode_FromFormat("UserList.%U", kBaseNames[i]->get()));
        if (!qualname || !expected) return -1;
        int same = PyObject_RichCompareBool(qualname.get(), expected.get(), Py_EQ);
        if (same < 0) return -1;
        // Its one operation is applied here: watched, so that a replaced code is run instead.
        if (same && frame::watch_code(function.get()) < 0) return -1;
        if (same) Py_XSETREF(g_userlist[i], function.release());
    }
    Ref probe = Ref::steal(PyWeakref_NewRef(userlist, nullptr));
    if (!probe) return -1;
    Py_XSETREF(g_ref_type, Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(probe.get()))));
    if (!g_reverse_slice) {
        Ref step = Ref::steal(PyLong_FromLong(-1));
        g_reverse_slice = step ? PySlice_New(Py_None, Py_None, step.get()) : nullptr;
    }
    return g_reverse_slice ? 0 : -1;
}

int define_fadeline(frame::Body& body) {
    Ref collections = frame::global(s_collections);
    Ref userlist = collections ? frame::attr(collections.get(), s_UserList) : Ref();
    if (!userlist) return -1;
    if (PyType_Check(userlist.get()) && remember_base(userlist.get()) < 0) return -1;
    Ref no_items = Ref::steal(Py_BuildValue("(())"));
    Ref sort_defaults = Ref::steal(Py_BuildValue("(OO)", Py_None, Py_False));
    Ref pop_defaults = Ref::steal(Py_BuildValue("(i)", -1));
    if (!no_items || !sort_defaults || !pop_defaults) return -1;
    frame::ClassBuilder cls("Fadeline", kFadelineDoc);
    cls.base(std::move(userlist))
        .method<init_spec>(no_items.get())
        .method<contains_spec>()
        .method<getitem_spec>()
        .method<setitem_spec>()
        .method<iter_spec>()
        .method<eq_spec>()
        .method<reversed_spec>()
        .method<add_spec>()
        .method<iadd_spec>()
        .method<remove_spec>()
        .method<append_spec>()
        .method<index_spec>()
        .method<count_spec>()
        .method<pop_spec>(pop_defaults.get())
        .method<insert_spec>()
        .method<extend_spec>()
        .method<sort_spec>(sort_defaults.get())
        .method<repr_spec>()
        .method<str_spec>();
    return body.assign("Fadeline", cls.create());
}

int module_body(frame::Body& body) {
    if (body.at(1).import("weakref") < 0) return -1;
    if (body.at(2).import("collections") < 0) return -1;
    if (frame::prepare_equality_proofs() < 0) return -1;
    if (define_fadeline(body.at(5)) < 0) return -1;
    return body.at(109).set_test(Ref::steal(PyDict_New()));
}

frame::ModuleSpec fadeline_module{"fadeline", nullptr, module_body};

}  // namespace

PyMODINIT_FUNC PyInit_fadeline(void) { return frame::define_module(fadeline_module); }
