// keyvane: dictionaries whose entries are also their attributes.
//
// `Keyvane` is a dict whose instance dictionary is the instance itself, so
// `k.name` and `k['name']` are one entry. `NestedKeyvane` adds dotted keys
// (`n['a.b.c']` reaches `n['a']['b']['c']`) and an `update` that merges
// nested mappings level by level into instances of the caller's own class.
//
// Ownership: instances hold strong references to their entries, nothing else.
// Every method calls back into Python (item methods of nested objects,
// `setdefault`, `update`, `__init__` of subclasses); each such call may change
// the instance, so no method keeps a borrowed entry across one.
#include "frame.hpp"
#include "keyvane_api.hpp"

namespace {

using frame::Call;
using frame::Ref;
using frame::resolves_to;

frame::Str s_itertools{"itertools"}, s_chain{"chain"}, s_Mapping{"Mapping"},
    s_MutableMapping{"MutableMapping"}, s_Keyvane{"Keyvane"}, s_init{"__init__"},
    s_repr{"__repr__"}, s_getitem{"__getitem__"}, s_setitem{"__setitem__"},
    s_contains{"__contains__"}, s_delitem{"__delitem__"}, s_missing{"__missing__"},
    s_setdefault{"setdefault"}, s_update{"update"}, s_items{"items"}, s_index{"index"},
    s_dot{"."}, s_dict{"__dict__"}, s_newobj{"__newobj__"},
    s_class{"__class__"}, s_mro{"__mro__"}, s_name{"__name__"}, s_empty{""}, s_instancecheck{"__instancecheck__"},
    s_subclasscheck{"__subclasscheck__"}, s_abc_impl{"_abc_impl"},
    s_c_instancecheck{"_abc_instancecheck"}, s_c_subclasscheck{"_abc_subclasscheck"},
    s_update_element{"cannot convert dictionary update sequence element #%s to a sequence"};

frame::Builtin b_super{"super"}, b_KeyError{"KeyError"}, b_TypeError{"TypeError"};

// Objects the fast paths compare against, fixed when the module body runs.
PyObject* g_chain = nullptr;                // itertools.chain
PyObject* g_mapping = nullptr;              // collections.abc.Mapping
PyObject* g_keyvane = nullptr;              // the class Keyvane
PyObject* g_dict_descriptor = nullptr;      // Keyvane.__dict__, the instance-dictionary slot
PyObject* g_generic_setdefault = nullptr;   // MutableMapping.setdefault

const char* const kModuleDoc =
    "Attribute Dictionary library\n"
    "\n"
    "This library extends the python dict() data structure and lets users access\n"
    "the key-values via object attributes (obj.key), in addition to the native\n"
    "obj['key'] style form.\n"
    "\n"
    "Author:\n"
    "    The morvath.datastructures developers\n";

const char* const kKeyvaneDoc =
    "Attribute Dictionary class\n"
    "\n"
    "    The goal of this class is to provide the Python dict() built-in type with\n"
    "    the additional capability of accessing its content as object attributes,\n"
    "    in addition to the standard manner.\n"
    "\n"
    "    Example:\n"
    "        >>> d = {'name': 'keyvane', 'kind': 'mapping'}\n"
    "        >>> d['name']\n"
    "        'keyvane'\n"
    "        >>> k = Keyvane(d)\n"
    "        >>> k.name\n"
    "        'keyvane'\n"
    "        >>> k['name']\n"
    "        'keyvane'\n"
    "\n"
    "    Known Limitations:\n"
    "        Attributes follow the Python variable naming rule, so dictionary keys\n"
    "        with special characters, such as dot(.) comma(,) brackets()\n"
    "        dash/hyphen(-) quotes(''/\"\") slashes(\\/) etc., cannot be accessed in\n"
    "        the attribute (.) manner.\n"
    "    ";

const char* const kKeyvaneInitDoc =
    "Keyvane object init\n"
    "\n"
    "        How this works:\n"
    "            - all Python objects internally store their attributes in a\n"
    "              dictionary named __dict__\n"
    "            - nothing requires that dictionary to be a plain dict, so any\n"
    "              subclass of dict() can be assigned to it\n"
    "            - here the instance being initialised is assigned to it\n"
    "            - calling the __init__() method of super() makes sure that it\n"
    "              already behaves exactly like a dictionary, since that call\n"
    "              runs all the dictionary instantiation code\n"
    "\n"
    "        Special Note:\n"
    "            this is known to cause a memory leak in Python < 2.7.3 and\n"
    "            Python3 < 3.2.3\n"
    "        ";

// ---------------------------------------------------------------------------
// Keyvane

PyObject* keyvane_init(Call& c) {
    PyObject* self = c[0];
    c.at(67);
    if (frame::super_reaches(c, self, s_init, &PyDict_Type)) {
        if (PyDict_Type.tp_init(self, c.rest(), c.keywords()) < 0) return nullptr;
    } else if (!frame::call_super(c, self, s_init, c.rest(), c.keywords())) {
        return nullptr;
    }
    c.at(68);
    if (PyObject_SetAttr(self, s_dict, self) < 0) return nullptr;
    Py_RETURN_NONE;
}

Ref super_repr(PyObject* self) {
    Ref keyvane = frame::global(s_Keyvane);
    if (!keyvane) return {};
    if (keyvane.get() == g_keyvane &&
        frame::super_reaches(Py_TYPE(self), g_keyvane, s_repr, &PyDict_Type))
        return Ref::steal(PyDict_Type.tp_repr(self));
    PyObject* args[] = {keyvane.get(), self};
    Ref proxy = Ref::steal(PyObject_Vectorcall(b_super, args, 2, nullptr));
    if (!proxy) return {};
    return Ref::steal(PyObject_CallMethodNoArgs(proxy.get(), s_repr));
}

PyObject* keyvane_repr(Call& c) {
    PyObject* self = c[0];
    c.at(71);
    Ref cls = frame::attr(self, s_class);
    Ref name = cls ? frame::attr(cls.get(), s_name) : Ref();
    Ref name_text = name ? Ref::steal(PyObject_Format(name.get(), s_empty)) : Ref();
    if (!name_text) return nullptr;
    c.at(72);
    Ref body = super_repr(self);
    Ref body_text = body ? Ref::steal(PyObject_Format(body.get(), s_empty)) : Ref();
    if (!body_text) return nullptr;
    return PyUnicode_FromFormat("%U(%U)", name_text.get(), body_text.get());
}

// Copies, deep copies and pickles rebuild an instance with `type(x).__new__`
// and then hand it a plain dict snapshot of the entries, which
// `__setstate__` stores as the built-in dict stores them: nothing of the
// class (its item methods, `update`, dotted keys, a subclass's conversions)
// and no attribute of the instance, which an entry could hide, takes part.

// A new plain dict with the entries of `self`, copied as the built-in dict
// copies a dict: with the hashes it stored, so no key's `__hash__` runs. A
// class with its own `__iter__` would take part in that copy; its entries
// are read from the storage and inserted one by one instead.
Ref entry_snapshot(PyObject* self) {
    Ref snapshot = Ref::steal(PyDict_New());
    if (!snapshot) return {};
    if (Py_TYPE(self)->tp_iter == PyDict_Type.tp_iter)
        return PyDict_Merge(snapshot.get(), self, 1) < 0 ? Ref() : std::move(snapshot);
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(self, &position, &key, &value)) {
        // The insertion may compare keys, which runs Python code.
        Ref held_key = Ref::borrow(key), held_value = Ref::borrow(value);
        if (PyDict_SetItem(snapshot.get(), held_key.get(), held_value.get()) < 0) return {};
    }
    return snapshot;
}

// return copyreg.__newobj__, (type(self),), dict(self)
PyObject* keyvane_reduce(Call& c) {
    PyObject* self = c[0];
    c.at(73);
    Ref copyreg = Ref::steal(PyImport_ImportModule("copyreg"));
    Ref newobj = copyreg ? frame::attr(copyreg.get(), s_newobj) : Ref();
    Ref snapshot = newobj ? entry_snapshot(self) : Ref();
    if (!snapshot) return nullptr;
    return Py_BuildValue("(O(O)O)", newobj.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)),
                         snapshot.get());
}

// A dict state holds the entries. Older pickles carry their entries apart
// (or, in the default form, the instance itself) with a state that is not
// a dict: those only need the instance linked as its attribute dictionary.
PyObject* keyvane_setstate(Call& c) {
    PyObject* self = c[0];
    PyObject* state = c[1];
    c.at(74);
    if (PyDict_Check(state) && state != self && PyDict_Update(self, state) < 0) return nullptr;
    if (PyObject_SetAttr(self, s_dict, self) < 0) return nullptr;
    Py_RETURN_NONE;
}

const frame::FunctionSpec keyvane_init_spec{
    .name = "__init__", .qualname = "Keyvane.__init__", .params = {"self"},
    .varargs = "args", .varkw = "kwargs", .line = 48, .doc = kKeyvaneInitDoc,
    .uses_super = true, .body = keyvane_init};
const frame::FunctionSpec keyvane_repr_spec{
    .name = "__repr__", .qualname = "Keyvane.__repr__", .params = {"self"}, .line = 70,
    .body = keyvane_repr};
const frame::FunctionSpec keyvane_reduce_spec{
    .name = "__reduce__", .qualname = "Keyvane.__reduce__", .params = {"self"}, .line = 73,
    .body = keyvane_reduce};
const frame::FunctionSpec keyvane_setstate_spec{
    .name = "__setstate__", .qualname = "Keyvane.__setstate__", .params = {"self", "state"},
    .line = 74, .body = keyvane_setstate};

// ---------------------------------------------------------------------------
// NestedKeyvane: dotted keys

// True when `super().<name>` inside the frame function `function`, for an
// instance of `cls`, reaches the class `target` (which defines it).
bool super_of_reaches(PyTypeObject* cls, PyObject* function, PyObject* name, PyObject* target) {
    PyObject* owner = frame::defining_class_of(function);
    return owner && frame::super_reaches(cls, owner, name, reinterpret_cast<PyTypeObject*>(target));
}

// The parts of recently split keys. A program reads and stores the same
// few dotted keys over and over, mostly as constants of its code; keeping
// their parts saves making two strings per level and hashing them again at
// each lookup. An exact str never changes, and each slot holds a reference
// to its key, so no other object can take that address while the parts are
// kept. The slots hold plain pointers: nothing may be released when the
// process exits, after the interpreter is gone.
struct SplitKey {
    PyObject* key = nullptr;
    PyObject* first = nullptr;
    PyObject* rest = nullptr;
};
SplitKey g_split_keys[64];

// `key.split('.', 1)` for an exact str that holds a dot, without the list:
// 1 with both parts, -1 on error.
int split_at_first_dot(PyObject* key, Ref& first, Ref& rest) {
    SplitKey& known = g_split_keys[(reinterpret_cast<uintptr_t>(key) >> 4) % std::size(g_split_keys)];
    if (known.key != key) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(key);
        const Py_ssize_t at = PyUnicode_FindChar(key, '.', 0, length, 1);
        if (at < 0) {
            if (at == -1) PyErr_SetString(PyExc_SystemError, "split_at_first_dot: no dot");
            return -1;
        }
        Ref head = Ref::steal(PyUnicode_Substring(key, 0, at));
        Ref tail = head ? Ref::steal(PyUnicode_Substring(key, at + 1, length)) : Ref();
        if (!tail) return -1;
        // Releasing the evicted strings runs no Python code.
        const SplitKey evicted = std::exchange(known, {Py_NewRef(key), head.release(), tail.release()});
        Py_XDECREF(evicted.key);
        Py_XDECREF(evicted.first);
        Py_XDECREF(evicted.rest);
    }
    first = Ref::borrow(known.first);
    rest = Ref::borrow(known.rest);
    return 1;
}

// What a class does with its items, as far as the shortcuts need to know.
// Each answer is true while the class resolves the methods involved to
// this module's own functions, whose super() calls reach dict's.
struct ClassFacts {
    bool reads_plainly = false;   // self[key] runs this module's __getitem__ on dict's lookup
    bool tests_plainly = false;   // `key in self` runs this module's __contains__ on dict's test and lookup
    bool stores_plainly = false;  // self[key] = value runs this module's __setitem__ on dict's store
    // this module's __setitem__, run on an instance, stores a plain key with dict's store
    bool nested_stores_plainly = false;
    // self[key] = value is a registered converting store, whose super()
    // reaches this module's __setitem__
    const keyvane_api::ConvertingStore* converting = nullptr;
    bool builds_plainly = false;  // type(self)() runs only this module's construction
    bool generic_setdefault = false;  // the class's setdefault is the mapping ABC's
};
const ClassFacts& facts_of(PyTypeObject* cls);
int builds_plainly(PyTypeObject* cls, const ClassFacts& facts);
int builds_plainly(PyTypeObject* cls) { return builds_plainly(cls, facts_of(cls)); }

// The facts of a dict subclass, or null for any other object (an exact dict
// included: its item operations are dict's own, reached the general way).
const ClassFacts* facts_of_level(PyObject* level) {
    if (!PyDict_Check(level) || PyDict_CheckExact(level)) return nullptr;
    return &facts_of(Py_TYPE(level));
}

// Where the body of one of this module's item methods runs: in a real call
// (`frame::Call`), or standing in for a call on a level whose class's facts
// say that the method's super() reaches dict's. A stand-in counts against
// the recursion limit and leaves its traceback entry as the call would, so
// the two run the same body and differ only in how super() is reached.
struct StandIn {
    int line;
    StandIn& at(int statement) noexcept {
        line = statement;
        return *this;
    }
};

// Runs `body` in place of a call of `method`.
template <class Body>
Ref stand_in(const frame::FunctionSpec& method, Body body) {
    frame::RecursionGuard guard(" while calling a Python object");
    if (guard.failed()) {
        frame::add_function_traceback(method, method.line);
        return {};
    }
    StandIn site{method.line};
    Ref result = body(site);
    if (!result) frame::add_function_traceback(method, site.line);
    return result;
}

// super().__getitem__(key): the dict lookup when super() reaches dict.
Ref super_getitem(const Call& c, PyObject* self, PyObject* key) {
    if (frame::super_reaches(c, self, s_getitem, &PyDict_Type))
        return Ref::steal(PyDict_Type.tp_as_mapping->mp_subscript(self, key));
    return frame::call_super(c, self, s_getitem, {key});
}
Ref super_getitem(const StandIn&, PyObject* self, PyObject* key) {
    return Ref::steal(PyDict_Type.tp_as_mapping->mp_subscript(self, key));
}

// super().__contains__(key): the dict test when super() reaches dict.
Ref super_contains(const Call& c, PyObject* self, PyObject* key) {
    if (frame::super_reaches(c, self, s_contains, &PyDict_Type)) {
        int inside = PyDict_Contains(self, key);
        return inside < 0 ? Ref() : frame::boolean(inside);
    }
    return frame::call_super(c, self, s_contains, {key});
}
Ref super_contains(const StandIn&, PyObject* self, PyObject* key) {
    int inside = PyDict_Contains(self, key);
    return inside < 0 ? Ref() : frame::boolean(inside);
}

// super().__setitem__(key, value), or super().__delitem__(key) for a null
// value: the dict store or delete when super() reaches dict.
Ref super_store(const Call& c, PyObject* self, PyObject* key, PyObject* value) {
    PyObject* name = value ? s_setitem.get() : s_delitem.get();
    if (frame::super_reaches(c, self, name, &PyDict_Type))
        return PyDict_Type.tp_as_mapping->mp_ass_subscript(self, key, value) < 0 ? Ref() : frame::none();
    return value ? frame::call_super(c, self, name, {key, value}) : frame::call_super(c, self, name, {key});
}
Ref super_store(const StandIn&, PyObject* self, PyObject* key, PyObject* value) {
    return PyDict_Type.tp_as_mapping->mp_ass_subscript(self, key, value) < 0 ? Ref() : frame::none();
}

// `isinstance(key, str) and '.' in key` at `line`, then
// `key, subkeys = key.split('.', 1)` on the next line.
// Returns 1 for a dotted key (filling `first` and `rest`), 0 for a plain key.
template <class Site>
int split_dotted(Site& site, int line, PyObject* key, Ref& first, Ref& rest) {
    site.at(line);
    int text = frame::is_str(key);
    if (text <= 0) return text;
    int dotted;
    if (PyUnicode_CheckExact(key)) {
        Py_ssize_t at = PyUnicode_FindChar(key, '.', 0, PyUnicode_GET_LENGTH(key), 1);
        if (at == -2) return -1;
        dotted = at >= 0;
    } else {
        dotted = PySequence_Contains(key, s_dot);
    }
    if (dotted <= 0) return dotted;
    site.at(line + 1);
    if (PyUnicode_CheckExact(key)) return split_at_first_dot(key, first, rest);
    Ref parts = Ref::steal(PyObject_CallMethod(key, "split", "Oi", s_dot.get(), 1));
    if (!parts) return -1;
    Ref names[2];
    if (frame::unpack(parts.get(), names, 2) < 0) return -1;
    first = std::move(names[0]);
    rest = std::move(names[1]);
    return 1;
}

extern const frame::FunctionSpec nested_getitem_spec, nested_setitem_spec, nested_contains_spec;
Ref read_item(PyObject* level, PyObject* key);
int test_item(PyObject* level, PyObject* key);
int store_item(PyObject* level, PyObject* key, PyObject* value);

// Each body below is its method line by line. A level found on the way is
// handed on with the rest of the key, never looked up again: the item
// operation of the level runs next, as a stand-in where the level's class
// allows one, else as the general item operation.

template <class Site>
Ref getitem_body(Site& site, PyObject* self, PyObject* key) {
    Ref first, subkeys;
    const int dotted = split_dotted(site, 83, key, first, subkeys);
    if (dotted < 0) return {};
    if (dotted) {
        site.at(85);
        Ref level = super_getitem(site, self, first.get());
        return level ? read_item(level.get(), subkeys.get()) : Ref();
    }
    site.at(87);
    return super_getitem(site, self, key);
}

// level[key]
Ref read_item(PyObject* level, PyObject* key) {
    const ClassFacts* facts = facts_of_level(level);
    if (!facts || !facts->reads_plainly) return Ref::steal(PyObject_GetItem(level, key));
    return stand_in(nested_getitem_spec, [&](StandIn& site) { return getitem_body(site, level, key); });
}

PyObject* nested_getitem(Call& c) { return getitem_body(c, c[0], c[1]).release(); }

template <class Site>
Ref contains_body(Site& site, PyObject* self, PyObject* key) {
    Ref first, subkeys;
    const int dotted = split_dotted(site, 106, key, first, subkeys);
    if (dotted < 0) return {};
    if (dotted) {
        site.at(109);
        Ref present = super_contains(site, self, first.get());
        const int truth = present ? PyObject_IsTrue(present.get()) : -1;
        if (truth <= 0) return truth < 0 ? Ref() : std::move(present);
        site.at(110);
        Ref level = super_getitem(site, self, first.get());
        const int inside = level ? test_item(level.get(), subkeys.get()) : -1;
        return inside < 0 ? Ref() : frame::boolean(inside);
    }
    site.at(112);
    return super_contains(site, self, key);
}

// key in level
int test_item(PyObject* level, PyObject* key) {
    const ClassFacts* facts = facts_of_level(level);
    if (!facts || !facts->tests_plainly) return PySequence_Contains(level, key);
    Ref answer = stand_in(nested_contains_spec, [&](StandIn& site) { return contains_body(site, level, key); });
    return answer ? PyObject_IsTrue(answer.get()) : -1;
}

PyObject* nested_contains(Call& c) { return contains_body(c, c[0], c[1]).release(); }

// `self[key] = fallback` inside the generic setdefault's handler, then
// `return default`. A store by dict's own raises that KeyError only to show
// it as the context of a failed store; any other store runs with it handled.
Ref store_missing(PyObject* self, PyObject* key, PyObject* fallback, bool stores_plainly) {
    if (!stores_plainly) {
        Ref missing = Ref::steal(PyObject_CallOneArg(PyExc_KeyError, key));
        if (!missing) return {};
        frame::Handling handling(missing.get());
        return store_item(self, key, fallback) < 0 ? Ref() : Ref::borrow(fallback);
    }
    if (PyDict_SetItem(self, key, fallback) == 0) return Ref::borrow(fallback);
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    Ref missing = Ref::steal(PyObject_CallOneArg(PyExc_KeyError, key));
    if (missing) PyException_SetContext(raised.get(), missing.release());
    else PyErr_Clear();
    PyErr_SetRaisedException(raised.release());
    return {};
}

// `type(self)()`: the empty level that a dotted store or a merged mapping
// offers to setdefault; `plain` tells whether the class builds plainly.
Ref new_level(PyObject* self, int plain) {
    PyTypeObject* cls = Py_TYPE(self);
    if (plain < 0) return {};
    if (!plain) return Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(cls)));
    Ref no_args = Ref::steal(PyTuple_New(0));
    Ref level = no_args ? Ref::steal(cls->tp_new(cls, no_args.get(), nullptr)) : Ref();
    if (!level || PyObject_SetAttr(level.get(), s_dict, level.get()) < 0) return {};
    return level;
}

// `self.setdefault` is the generic function bound to `self`, found as the
// attribute lookup finds it: the class's entry, which no entry of the
// instance's attribute dictionary (normally the instance) hides. 1, 0 when
// only the lookup itself can tell, -1 on error.
int setdefault_is_generic(PyObject* self, const ClassFacts& facts) {
    if (Py_TYPE(self)->tp_getattro != PyObject_GenericGetAttr || !facts.generic_setdefault) return 0;
    Ref attributes = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!attributes || !PyDict_Check(attributes.get())) {
        PyErr_Clear();
        return 0;
    }
    const int hidden = PyDict_Contains(attributes.get(), s_setdefault);
    return hidden < 0 ? -1 : !hidden;
}

// The generic setdefault's `self[key]` is a single dict lookup: the class
// reads plainly and the key is an exact str without a dot.
bool reads_as_one_lookup(const ClassFacts& facts, PyObject* key) {
    return facts.reads_plainly && PyUnicode_CheckExact(key) &&
           PyUnicode_FindChar(key, '.', 0, PyUnicode_GET_LENGTH(key), 1) == -1;
}

// `self.setdefault(key, type(self)())`: the object stored under `key`, or
// the new level, now stored there. For the generic setdefault on a plain
// read, its body runs here: one lookup, whose answer is used as it came.
// The level is built first, as the call's argument is, unless building it
// runs none but this module's code and the entry exists: then the
// throwaway would leave no trace.
Ref level_for(PyObject* self, PyObject* key) {
    PyTypeObject* cls = Py_TYPE(self);
    const ClassFacts facts = facts_of(cls);  // a copy: the checks below may run code
    const int generic = reads_as_one_lookup(facts, key) ? setdefault_is_generic(self, facts) : 0;
    if (generic < 0) return {};
    if (!generic) {
        Ref method = frame::attr(self, s_setdefault);
        Ref fresh = method ? new_level(self, builds_plainly(cls)) : Ref();
        return fresh ? Ref::steal(PyObject_CallFunctionObjArgs(method.get(), key, fresh.get(), nullptr)) : Ref();
    }
    const int plain = builds_plainly(cls, facts);
    if (plain < 0) return {};
    Ref fresh = plain ? Ref() : new_level(self, plain);
    if (!plain && !fresh) return {};
    PyObject* entry = nullptr;
    const int present = PyDict_GetItemRef(self, key, &entry);
    if (present) return present < 0 ? Ref() : Ref::steal(entry);
    if (!fresh && !(fresh = new_level(self, plain))) return {};
    return store_missing(self, key, fresh.get(), facts.stores_plainly);
}

void raise_value_in_the_way(PyObject* self, PyObject* key) {
    Ref key_text = Ref::steal(PyObject_Format(key, s_empty));
    Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(self)));
    if (!key_text || !type_name) return;
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "target key \"%U\" is a value, cannot update value against another %U", key_text.get(),
        type_name.get()));
    if (message) PyErr_SetObject(b_KeyError, message.get());
}

template <class Site>
Ref setitem_body(Site& site, PyObject* self, PyObject* key, PyObject* value) {
    Ref first, subkeys;
    const int dotted = split_dotted(site, 90, key, first, subkeys);
    if (dotted < 0) return {};
    if (dotted) {
        site.at(93);
        Ref subkey_value = level_for(self, first.get());
        if (!subkey_value) return {};
        site.at(95);
        PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(self));
        const int nested = Py_IS_TYPE(subkey_value.get(), Py_TYPE(self)) ? 1 : PyObject_IsInstance(subkey_value.get(), cls);
        if (nested < 0) return {};
        if (!nested) {
            site.at(96);
            raise_value_in_the_way(self, first.get());
            return {};
        }
        site.at(100);
        return store_item(subkey_value.get(), subkeys.get(), value) < 0 ? Ref() : frame::none();
    }
    site.at(103);
    return super_store(site, self, key, value);
}

// A call of NestedKeyvane.__setitem__(level, key, value); `plain` when its
// super().__setitem__ reaches dict's for the level's class.
int call_nested_store(PyObject* level, PyObject* key, PyObject* value, bool plain) {
    if (!plain) {
        PyObject* args[] = {level, key, value};
        return Ref::steal(PyObject_Vectorcall(nested_setitem_spec.object, args, 3, nullptr)) ? 0 : -1;
    }
    // A plain exact-str key, as most leaves of a merge are: the body's key
    // test fails and dict's store runs, which cannot call back into the body.
    if (PyUnicode_CheckExact(key) && PyUnicode_FindChar(key, '.', 0, PyUnicode_GET_LENGTH(key), 1) == -1) {
        if (PyDict_SetItem(level, key, value) == 0) return 0;
        frame::add_function_traceback(nested_setitem_spec, 103);
        return -1;
    }
    return stand_in(nested_setitem_spec, [&](StandIn& site) { return setitem_body(site, level, key, value); })
               ? 0
               : -1;
}

// `level[key] = value`: 0, or -1 on error. The level's store runs this
// module's __setitem__ either at once or through a registered converting
// store (keyvane_api.hpp), whose conversion runs here as that function
// makes it.
int store_item(PyObject* level, PyObject* key, PyObject* value) {
    const ClassFacts* facts = facts_of_level(level);
    if (facts && facts->stores_plainly) return call_nested_store(level, key, value, facts->nested_stores_plainly);
    const keyvane_api::ConvertingStore* store = facts ? facts->converting : nullptr;
    if (!store) return PyObject_SetItem(level, key, value);
    // Its super().__setitem__ has been found (above) before the value is
    // converted, as the statement finds it.
    bool started = false;
    int result = -1;
    {
        frame::RecursionGuard guard(" while calling a Python object");
        if (!guard.failed()) {
            started = true;
            Ref converted = Ref::steal(store->convert(value));
            if (converted)
                result = call_nested_store(level, key, converted.get(),
                                           facts_of(Py_TYPE(level)).nested_stores_plainly);
        }
    }
    if (result < 0) store->add_traceback(started);
    return result;
}

PyObject* nested_setitem(Call& c) { return setitem_body(c, c[0], c[1], c[2]).release(); }

// For a class that builds plainly, `super().__init__()` only links the
// instance as its attribute dictionary (dict's initialiser without
// arguments keeps the entries), and `self.update()` without data merges
// nothing, unless an entry named `update` hides the method.
int init_plainly(Call& c, PyObject* self) {
    c.at(78);
    if (PyObject_SetAttr(self, s_dict, self) < 0) return -1;
    c.at(80);
    const int hidden = PyDict_Contains(self, s_update);
    return hidden < 0 ? -1 : !hidden;
}

PyObject* nested_init(Call& c) {
    PyObject* self = c[0];
    const bool no_data = PyTuple_GET_SIZE(c.rest()) == 0 && PyDict_GET_SIZE(c.keywords()) == 0;
    const int plain = no_data ? builds_plainly(Py_TYPE(self)) : 0;
    if (plain < 0) return nullptr;
    if (plain) {
        const int done = init_plainly(c, self);
        if (done) return done < 0 ? nullptr : Py_NewRef(Py_None);
    } else {
        c.at(78);
        if (!frame::call_super(c, self, s_init, {})) return nullptr;
    }
    c.at(80);
    Ref update = frame::attr(self, s_update);
    if (!update) return nullptr;
    return PyObject_Call(update.get(), c.rest(), c.keywords());
}

PyObject* nested_delitem(Call& c) {
    PyObject* self = c[0];
    Ref key, subkeys;
    int dotted = split_dotted(c, 115, c[1], key, subkeys);
    if (dotted < 0) return nullptr;
    if (dotted) {
        c.at(117);
        Ref level = super_getitem(c, self, key.get());
        if (!level || PyObject_DelItem(level.get(), subkeys.get()) < 0) return nullptr;
        Py_RETURN_NONE;
    }
    c.at(119);
    return super_store(c, self, c[1], nullptr).release();
}

// ---------------------------------------------------------------------------
// NestedKeyvane: merge

// Almost every merged value is a leaf of a built-in type (int, str, ...),
// and `isinstance(leaf, Mapping)` runs ABCMeta.__instancecheck__ each time.
// The ABC machinery keeps each answer in Mapping's own caches, where it
// stays until some ABC registers a class, which changes the cache token. So
// an answer found through that machinery holds while nothing it consults
// has changed: the token, the class dictionaries along the MROs of Mapping
// and its metaclass (seen through their version tags), Mapping's metaclass,
// the code of its __instancecheck__ and abc's `_abc_instancecheck`.

// The machinery as imported.
struct AbcMachinery {
    PyObject* metaclass = nullptr;           // type(Mapping)
    PyObject* instancecheck = nullptr;       // its __instancecheck__ and that code
    PyObject* instancecheck_code = nullptr;
    PyObject* subclasscheck = nullptr;       // its __subclasscheck__ and that code
    PyObject* subclasscheck_code = nullptr;
    PyObject* namespace_ = nullptr;          // vars(abc), where both look up their helper
    PyObject* c_instancecheck = nullptr;     // abc._abc_instancecheck
    PyObject* c_subclasscheck = nullptr;     // abc._abc_subclasscheck
    PyObject* impl = nullptr;                // Mapping._abc_impl, which holds the caches
    PyObject* cache_token = nullptr;         // abc.get_cache_token
};
AbcMachinery g_abc;

struct AbcState {
    long long token = -1;
    unsigned int mapping_tag = 0;
    unsigned int metaclass_tag = 0;
    bool operator==(const AbcState&) const = default;
};

// The entry `name` of the namespace `names`, or null. The lookup runs the
// `__eq__` of any other key of the same hash, which may raise: an ordinary
// Exception is dropped (the general path meets it again), anything else
// (KeyboardInterrupt, MemoryError) is left set for the caller to pass on.
Ref namespace_entry(PyObject* names, PyObject* name) {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(names, name, &found) < 0 && PyErr_ExceptionMatches(PyExc_Exception)) PyErr_Clear();
    return Ref::steal(found);
}

bool holds_global(PyObject* names, PyObject* name, PyObject* expected) {
    Ref found = namespace_entry(names, name);
    return found && found.get() == expected;
}

// The state that remembered answers depend on; false when it cannot be
// read (a class out of version tags, say) or the path that isinstance takes
// is no longer the imported one, and then nothing is remembered or reused.
bool read_abc_state(AbcState& state) {
    if (!g_abc.cache_token) return false;
    auto* mapping = reinterpret_cast<PyTypeObject*>(g_mapping);
    auto* metaclass = reinterpret_cast<PyTypeObject*>(g_abc.metaclass);
    static frame::KeptEntry c_instancecheck{s_c_instancecheck};
    if (Py_TYPE(g_mapping) != metaclass ||
        PyFunction_GetCode(g_abc.instancecheck) != g_abc.instancecheck_code || !frame::has_version_tag(mapping) ||
        !frame::has_version_tag(metaclass) || c_instancecheck.get(g_abc.namespace_).get() != g_abc.c_instancecheck)
        return false;
    Ref token = frame::call_no_args(g_abc.cache_token);
    long long value = token ? PyLong_AsLongLong(token.get()) : -1;
    if (value == -1) {
        PyErr_Clear();
        return false;
    }
    state = {value, mapping->tp_version_tag, metaclass->tp_version_tag};
    return true;
}

// True when isinstance through Mapping goes the imported way, which caches
// its answer: the metaclass's __instancecheck__ and __subclasscheck__ (not
// hidden by Mapping's MRO) calling abc's helpers with Mapping's ABC data.
bool abc_path_caches() {
    auto* mapping = reinterpret_cast<PyTypeObject*>(g_mapping);
    auto* metaclass = reinterpret_cast<PyTypeObject*>(g_abc.metaclass);
    return resolves_to(metaclass, s_instancecheck, g_abc.instancecheck) &&
           resolves_to(metaclass, s_subclasscheck, g_abc.subclasscheck) &&
           frame::class_lacks(mapping, s_subclasscheck) &&
           PyFunction_GetCode(g_abc.subclasscheck) == g_abc.subclasscheck_code &&
           holds_global(g_abc.namespace_, s_c_subclasscheck, g_abc.c_subclasscheck) &&
           frame::class_lacks(metaclass, s_abc_impl) && resolves_to(mapping, s_abc_impl, g_abc.impl);
}

// The built-in types whose instances cannot change what isinstance sees
// of them (`__class__` is their type, their MRO is fixed), one slot each.
int leaf_slot(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyLong_Type) return 0;
    if (type == &PyUnicode_Type) return 1;
    if (type == &PyFloat_Type) return 2;
    if (type == &PyBool_Type) return 3;
    if (value == Py_None) return 4;
    if (type == &PyList_Type) return 5;
    if (type == &PyTuple_Type) return 6;
    if (type == &PyBytes_Type) return 7;
    return -1;
}

struct LeafAnswer {
    AbcState state;
    int answer = -1;
};
LeafAnswer g_leaf_answers[8];

// isinstance(leaf, Mapping): the remembered answer while it holds, else
// the real check, remembered when nothing moved while it ran.
int leaf_is_mapping(PyObject* leaf, LeafAnswer& known) {
    AbcState before;
    const bool readable = read_abc_state(before);
    if (!readable && PyErr_Occurred()) return -1;
    if (readable && known.answer >= 0 && known.state == before) return known.answer;
    const int answer = PyObject_IsInstance(leaf, g_mapping);
    AbcState after;
    if (answer >= 0 && readable && abc_path_caches() && read_abc_state(after) && after == before)
        known = {after, answer};
    return answer >= 0 && PyErr_Occurred() ? -1 : answer;  // an error the checks above let through
}

// isinstance(obj, Mapping) for any other object. When `obj.__class__` is
// object's own and the class's `__mro__` is type's, the answer depends on
// the class's MRO (its version tag) and on what a leaf's answer depends on, so
// it is kept the same way, per class: the library's own levels (and user
// subclasses) are asked this for every block of a merge.
int instance_is_mapping(PyObject* obj, PyObject* mapping) {
    struct ClassAnswer {
        PyTypeObject* cls = nullptr;
        unsigned int tag = 0;
        LeafAnswer answer;
    };
    static ClassAnswer answers[8];
    PyTypeObject* cls = Py_TYPE(obj);
    static frame::SiteGuard class_guard, mro_guard;
    if (!class_guard.inherits_builtin(cls, s_class, &PyBaseObject_Type) ||
        !mro_guard.inherits_builtin(Py_TYPE(cls), s_mro, &PyType_Type))
        return PyObject_IsInstance(obj, mapping);
    ClassAnswer& slot = answers[(reinterpret_cast<uintptr_t>(cls) >> 5) % std::size(answers)];
    LeafAnswer known = slot.cls == cls && frame::tag_holds(cls, slot.tag) ? slot.answer : LeafAnswer{};
    // Written back whole: the check may have run code that took the slot.
    return frame::keep_under_tag(cls, [&] { return leaf_is_mapping(obj, known); },
                                 [&](unsigned int tag, int) {
                                     if (known.answer >= 0) slot = {cls, tag, known};
                                 });
}

// isinstance(value, Mapping) with `Mapping` read from the module globals.
int is_mapping(PyObject* value) {
    static frame::KeptGlobal mapping_global{s_Mapping};
    Ref mapping = mapping_global.get();
    if (!mapping) return -1;
    if (mapping.get() != g_mapping) return PyObject_IsInstance(value, mapping.get());
    if (PyDict_CheckExact(value)) return 1;
    const int slot = leaf_slot(value);
    if (slot >= 0) return leaf_is_mapping(value, g_leaf_answers[slot]);
    return instance_is_mapping(value, mapping.get());
}

// The `TypeError` for an element that is not a pair; its position comes from
// `iterable.index(item)`, whose own errors replace the TypeError.
void raise_bad_element(PyObject* iterable, PyObject* item) {
    Ref position = Ref::steal(PyObject_CallMethodOneArg(iterable, s_index, item));
    if (!position) return;
    Ref message = Ref::steal(PyUnicode_Format(s_update_element, position.get()));
    if (message) PyErr_SetObject(b_TypeError, message.get());
}

// One `key, value` pair of `update`: merge a mapping into the nested level,
// store anything else.
int merge_item(Call& c, PyObject* self, PyObject* iterable, PyObject* item) {
    c.at(139);
    Py_ssize_t size = PyObject_Size(item);
    if (size < 0) return -1;
    if (size != 2) {
        c.at(140);
        raise_bad_element(iterable, item);
        return -1;
    }
    c.at(144);
    Ref pair[2];
    if (frame::unpack(item, pair, 2) < 0) return -1;
    c.at(146);
    int nested = is_mapping(pair[1].get());
    if (nested < 0) return -1;
    if (nested) {
        c.at(147);
        Ref level = level_for(self, pair[0].get());
        if (!level) return -1;
        return Ref::steal(PyObject_CallMethodOneArg(level.get(), s_update, pair[1].get())) ? 0 : -1;
    }
    c.at(149);
    return store_item(self, pair[0].get(), pair[1].get());
}

int merge_all(Call& c, PyObject* self, PyObject* iterable, PyObject* source) {
    Ref iterator = Ref::steal(PyObject_GetIter(source));
    if (!iterator) return -1;
    frame::SignalPoll poll;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (poll.interrupted() || merge_item(c, self, iterable, item.get()) < 0) return -1;
        c.at(138);
    }
    return PyErr_Occurred() ? -1 : 0;
}

PyObject* nested_update(Call& c) {
    PyObject* self = c[0];
    PyObject* args = c.rest();
    c.at(127);
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > 1) {
        c.at(128);
        PyErr_Format(b_TypeError, "expected at most 1 arguments, got %d", static_cast<int>(nargs));
        return nullptr;
    }
    Ref iterable;
    if (nargs == 1) {
        c.at(131);
        iterable = Ref::borrow(PyTuple_GET_ITEM(args, 0));
        c.at(132);
        int mapping = is_mapping(iterable.get());
        if (mapping < 0) return nullptr;
        if (mapping) {
            c.at(133);
            iterable = Ref::steal(PyObject_CallMethodNoArgs(iterable.get(), s_items));
            if (!iterable) return nullptr;
        }
    } else {
        iterable = Ref::steal(PyTuple_New(0));
    }
    c.at(138);
    Ref itertools = frame::global(s_itertools);
    Ref chain = itertools ? frame::attr(itertools.get(), s_chain) : Ref();
    Ref keyword_items = chain ? Ref::steal(PyObject_CallMethodNoArgs(c.keywords(), s_items)) : Ref();
    if (!keyword_items) return nullptr;
    if (chain.get() == g_chain) {
        // The same walk as iterating the chain object, without making it.
        if (merge_all(c, self, iterable.get(), iterable.get()) < 0 ||
            merge_all(c, self, iterable.get(), keyword_items.get()) < 0)
            return nullptr;
    } else {
        Ref chained = Ref::steal(
            PyObject_CallFunctionObjArgs(chain.get(), iterable.get(), keyword_items.get(), nullptr));
        if (!chained || merge_all(c, self, iterable.get(), chained.get()) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

const frame::FunctionSpec nested_init_spec{
    .name = "__init__", .qualname = "NestedKeyvane.__init__", .params = {"self"},
    .varargs = "args", .varkw = "kwargs", .line = 77, .uses_super = true, .body = nested_init};
const frame::FunctionSpec nested_getitem_spec{
    .name = "__getitem__", .qualname = "NestedKeyvane.__getitem__", .params = {"self", "key"},
    .locals = {"subkeys"}, .line = 82, .uses_super = true, .body = nested_getitem};
const frame::FunctionSpec nested_setitem_spec{
    .name = "__setitem__", .qualname = "NestedKeyvane.__setitem__",
    .params = {"self", "key", "value"}, .locals = {"subkeys", "subkey_value"}, .line = 89,
    .uses_super = true, .body = nested_setitem};
const frame::FunctionSpec nested_contains_spec{
    .name = "__contains__", .qualname = "NestedKeyvane.__contains__", .params = {"self", "key"},
    .locals = {"subkeys"}, .line = 105, .uses_super = true, .body = nested_contains};
const frame::FunctionSpec nested_delitem_spec{
    .name = "__delitem__", .qualname = "NestedKeyvane.__delitem__", .params = {"self", "key"},
    .locals = {"subkeys"}, .line = 114, .uses_super = true, .body = nested_delitem};
const frame::FunctionSpec nested_update_spec{
    .name = "update", .qualname = "NestedKeyvane.update", .params = {"self"}, .varargs = "args",
    .varkw = "kwargs", .locals = {"iterable", "item", "key", "value"}, .line = 125,
    .body = nested_update};

// The global `itertools` is a plain module whose `chain` is the original:
// 1, 0, or -1 with an error of the lookups that is no ordinary Exception
// (an ordinary one is met again on the general path). Both names are kept
// between reads and watched, so a rebinding is seen at the next read.
int original_chain() {
    static frame::KeptGlobal itertools_global{s_itertools};
    static frame::KeptEntry chain_entry{s_chain};
    Ref module = itertools_global.get();
    if (!module) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (!g_chain || !Py_IS_TYPE(module.get(), &PyModule_Type)) return 0;
    Ref chain = chain_entry.get(PyModule_GetDict(module.get()));
    if (!chain) return PyErr_Occurred() ? -1 : 0;
    return chain.get() == g_chain;
}

// The converting stores that other modules registered, each kept with a
// reference to its function for the life of the process.
const keyvane_api::ConvertingStore* g_converting_stores[4] = {};

int register_converting_store(const keyvane_api::ConvertingStore* store) {
    for (const keyvane_api::ConvertingStore*& slot : g_converting_stores) {
        if (slot == store) return 0;
        if (slot) continue;
        Py_INCREF(store->function);
        slot = store;
        return 0;
    }
    PyErr_SetString(PyExc_RuntimeError, "keyvane: no room for another converting store");
    return -1;
}

// The registered store that `cls` resolves `__setitem__` to, when super()
// inside it reaches this module's own __setitem__.
const keyvane_api::ConvertingStore* converting_store_of(PyTypeObject* cls) {
    PyObject* nested = nested_setitem_spec.object;
    PyObject* nested_owner = nested ? frame::defining_class_of(nested) : nullptr;
    if (!nested_owner) return nullptr;
    for (const keyvane_api::ConvertingStore* store : g_converting_stores) {
        if (store && resolves_to(cls, s_setitem, store->function) &&
            super_of_reaches(cls, store->function, s_setitem, nested_owner) &&
            resolves_to(reinterpret_cast<PyTypeObject*>(nested_owner), s_setitem, nested))
            return store;
    }
    return nullptr;
}

// `__getitem__` and `__setitem__` are this module's and their super()
// reaches dict's; a missing key raises KeyError, as no class defines
// `__missing__`. Construction is NestedKeyvane.__init__, whose super()
// reaches Keyvane.__init__, whose super() reaches dict's, with the usual
// instance-dictionary slot and the module's own `update`: with no
// arguments it leaves an empty instance that is its own attribute
// dictionary and does nothing else.
[[gnu::noinline]] ClassFacts read_facts(PyTypeObject* cls) {
    const auto reaches_dict = [cls](const frame::FunctionSpec& spec, PyObject* name) {
        return super_of_reaches(cls, spec.object, name, reinterpret_cast<PyObject*>(&PyDict_Type));
    };
    ClassFacts facts;
    facts.reads_plainly = resolves_to(cls, s_getitem, nested_getitem_spec.object) &&
                          reaches_dict(nested_getitem_spec, s_getitem) &&
                          frame::class_lacks(cls, s_missing);
    facts.tests_plainly = resolves_to(cls, s_contains, nested_contains_spec.object) &&
                          reaches_dict(nested_contains_spec, s_contains) &&
                          reaches_dict(nested_contains_spec, s_getitem);
    facts.nested_stores_plainly = reaches_dict(nested_setitem_spec, s_setitem);
    facts.stores_plainly =
        resolves_to(cls, s_setitem, nested_setitem_spec.object) && facts.nested_stores_plainly;
    facts.converting = converting_store_of(cls);
    facts.builds_plainly =
        resolves_to(cls, s_init, nested_init_spec.object) &&
        super_of_reaches(cls, nested_init_spec.object, s_init, g_keyvane) &&
        resolves_to(reinterpret_cast<PyTypeObject*>(g_keyvane), s_init, keyvane_init_spec.object) &&
        reaches_dict(keyvane_init_spec, s_init) && resolves_to(cls, s_dict, g_dict_descriptor) &&
        resolves_to(cls, s_update, nested_update_spec.object);
    facts.generic_setdefault = resolves_to(cls, s_setdefault, g_generic_setdefault);
    return facts;
}

// The facts of a class, kept under its version tag: the interpreter gives
// a class a new tag whenever its MRO or the dictionary of any class in it
// changes, and never reuses a tag; facts read across a change of the class
// are used once and not kept.
const ClassFacts& facts_of(PyTypeObject* cls) {
    struct Known {
        PyTypeObject* cls = nullptr;
        unsigned int tag = 0;
        ClassFacts facts;
    };
    static Known known[16];
    static ClassFacts unkept;
    Known& slot = known[(reinterpret_cast<uintptr_t>(cls) >> 5) % std::size(known)];
    if (slot.cls == cls && frame::tag_holds(cls, slot.tag)) return slot.facts;
    bool kept = false;
    unkept = frame::keep_under_tag(cls, [cls] { return read_facts(cls); },
                                   [&](unsigned int tag, const ClassFacts& facts) {
                                       slot = {cls, tag, facts};
                                       kept = true;
                                   });
    return kept ? slot.facts : unkept;
}

// True when calling `cls()` runs only this module's construction: besides
// the class's facts, the metaclass call and `__new__` of the built-ins and
// the original `itertools.chain` for `update`.
// 1, 0, or -1 with the error of a namespace lookup.
int builds_plainly(PyTypeObject* cls, const ClassFacts& facts) {
    if (Py_TYPE(cls)->tp_call != PyType_Type.tp_call || cls->tp_new != PyDict_Type.tp_new ||
        cls->tp_getattro != PyObject_GenericGetAttr || !facts.builds_plainly)
        return 0;
    return original_chain();
}

// ---------------------------------------------------------------------------
// Module body

Ref mapping_function(const char* name) {
    Ref mutable_mapping = frame::global(s_MutableMapping);
    return mutable_mapping ? Ref::steal(PyObject_GetAttrString(mutable_mapping.get(), name)) : Ref();
}

int define_keyvane(frame::Body& body) {
    frame::ClassBuilder cls("Keyvane", kKeyvaneDoc);
    cls.base(Ref::borrow(reinterpret_cast<PyObject*>(&PyDict_Type)))
        .method<keyvane_init_spec>()
        .method<keyvane_repr_spec>()
        .method<keyvane_reduce_spec>()
        .method<keyvane_setstate_spec>();
    Ref keyvane = cls.create();
    if (!keyvane) return -1;
    Ref dict_descriptor = frame::class_lookup(reinterpret_cast<PyTypeObject*>(keyvane.get()), s_dict);
    if (!dict_descriptor) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "Keyvane has no instance dictionary");
        return -1;
    }
    Py_XSETREF(g_dict_descriptor, dict_descriptor.release());
    Py_XSETREF(g_keyvane, Py_NewRef(keyvane.get()));
    return body.assign("Keyvane", std::move(keyvane));
}

int define_nested_keyvane(frame::Body& body) {
    frame::ClassBuilder cls("NestedKeyvane");
    cls.base(frame::global(s_Keyvane)).base(frame::global(s_MutableMapping));
    cls.method<nested_init_spec>()
        .method<nested_getitem_spec>()
        .method<nested_setitem_spec>()
        .method<nested_contains_spec>()
        .method<nested_delitem_spec>();
    Ref setdefault_function = mapping_function("setdefault");
    // Its body is run here for levels: watched, so that a replaced code is run instead.
    if (setdefault_function && PyFunction_Check(setdefault_function.get()) &&
        frame::watch_code(setdefault_function.get()) < 0)
        return -1;
    if (setdefault_function) Py_XSETREF(g_generic_setdefault, Py_NewRef(setdefault_function.get()));
    cls.value("get", mapping_function("get"))
        .value("pop", mapping_function("pop"))
        .value("setdefault", std::move(setdefault_function))
        .method<nested_update_spec>();
    return body.assign("NestedKeyvane", cls.create());
}

// The entry for `name` in the class dictionaries along `owner`'s MRO.
Ref class_entry(PyObject* owner, PyObject* name) {
    return frame::class_lookup(reinterpret_cast<PyTypeObject*>(owner), name);
}

// Remembers the ABC machinery that answers isinstance(leaf, Mapping). A
// `Mapping` that is not an ABC as usual (or an abc module without these
// pieces) leaves it unset, and leaves then take the ordinary isinstance.
void remember_abc_machinery(PyObject* mapping) {
    Ref abc = Ref::steal(PyImport_ImportModule("abc"));
    if (!abc || !PyType_Check(mapping)) {
        PyErr_Clear();
        return;
    }
    PyObject* metaclass = reinterpret_cast<PyObject*>(Py_TYPE(mapping));
    PyObject* names = PyModule_GetDict(abc.get());
    Ref instancecheck = class_entry(metaclass, s_instancecheck);
    Ref subclasscheck = class_entry(metaclass, s_subclasscheck);
    Ref impl = class_entry(mapping, s_abc_impl);
    Ref c_instancecheck = namespace_entry(names, s_c_instancecheck);
    Ref c_subclasscheck = namespace_entry(names, s_c_subclasscheck);
    Ref cache_token = Ref::steal(PyObject_GetAttrString(abc.get(), "get_cache_token"));
    PyErr_Clear();
    if (!instancecheck || !PyFunction_Check(instancecheck.get()) || !subclasscheck ||
        !PyFunction_Check(subclasscheck.get()) || !impl || !c_instancecheck || !c_subclasscheck ||
        !cache_token)
        return;
    const auto keep = [](PyObject*& slot, PyObject* value) { Py_XSETREF(slot, Py_NewRef(value)); };
    keep(g_abc.metaclass, metaclass);
    keep(g_abc.instancecheck_code, PyFunction_GetCode(instancecheck.get()));
    keep(g_abc.subclasscheck_code, PyFunction_GetCode(subclasscheck.get()));
    keep(g_abc.instancecheck, instancecheck.get());
    keep(g_abc.subclasscheck, subclasscheck.get());
    keep(g_abc.namespace_, names);
    keep(g_abc.c_instancecheck, c_instancecheck.get());
    keep(g_abc.c_subclasscheck, c_subclasscheck.get());
    keep(g_abc.impl, impl.get());
    keep(g_abc.cache_token, cache_token.get());
}

// Remembers the imported objects that fast paths compare against. An
// `itertools` without `chain` imports as it would in Python; `update` then
// fails when it reads the name.
int remember_imports() {
    Ref itertools = frame::global(s_itertools);
    Ref mapping = frame::global(s_Mapping);
    if (!itertools || !mapping) return -1;
    Ref chain = frame::attr(itertools.get(), s_chain);
    if (!chain) PyErr_Clear();
    remember_abc_machinery(mapping.get());
    Py_XSETREF(g_chain, chain.release());
    Py_XSETREF(g_mapping, mapping.release());
    return 0;
}

// Publishes the table of keyvane_api.hpp for the modules built on this one.
int publish_table() {
    static const keyvane_api::Table table{keyvane_api::kVersion, register_converting_store};
    PyObject* state = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!state) {
        PyErr_SetString(PyExc_SystemError, "keyvane: no interpreter state dictionary");
        return -1;
    }
    Ref capsule = Ref::steal(
        PyCapsule_New(const_cast<keyvane_api::Table*>(&table), keyvane_api::kCapsuleName, nullptr));
    return capsule ? PyDict_SetItemString(state, keyvane_api::kCapsuleName, capsule.get()) : -1;
}

int module_body(frame::Body& body) {
    if (body.at(15).import("itertools") < 0) return -1;
    if (body.at(17).from_import("collections.abc", {"Mapping", "MutableMapping"}) < 0) return -1;
    if (remember_imports() < 0) return -1;
    if (define_keyvane(body.at(19)) < 0) return -1;
    if (define_nested_keyvane(body.at(75)) < 0) return -1;
    if (publish_table() < 0) return -1;
    return body.at(152).set_test(Ref::steal(PyDict_New()));
}

frame::ModuleSpec keyvane_module{"keyvane", kModuleDoc, module_body};

}  // namespace

PyMODINIT_FUNC PyInit_keyvane(void) { return frame::define_module(keyvane_module); }
