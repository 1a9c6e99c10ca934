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

namespace {

using frame::Call;
using frame::Ref;

frame::Str s_itertools{"itertools"}, s_chain{"chain"}, s_Mapping{"Mapping"},
    s_MutableMapping{"MutableMapping"}, s_Keyvane{"Keyvane"}, s_init{"__init__"},
    s_repr{"__repr__"}, s_getitem{"__getitem__"}, s_setitem{"__setitem__"},
    s_contains{"__contains__"}, s_delitem{"__delitem__"}, s_missing{"__missing__"},
    s_setdefault{"setdefault"}, s_update{"update"}, s_items{"items"}, s_index{"index"},
    s_dot{"."}, s_dict{"__dict__"},
    s_class{"__class__"}, s_name{"__name__"}, s_empty{""}, s_instancecheck{"__instancecheck__"},
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

// Copies, deep copies and unpickled instances are made without __init__;
// these two give them back the instance as its own attribute dictionary.
// The entries travel as the dictionary's items, so the state carries
// nothing: it only has to be true, because the oldest pickle protocols skip
// __setstate__ for a false state (an empty instance would be one).
PyObject* keyvane_getstate(Call&) { Py_RETURN_TRUE; }

PyObject* keyvane_setstate(Call& c) {
    if (PyObject_SetAttr(c[0], s_dict, c[0]) < 0) return nullptr;
    Py_RETURN_NONE;
}

const frame::FunctionSpec keyvane_init_spec{
    .name = "__init__", .qualname = "Keyvane.__init__", .params = {"self"},
    .varargs = "args", .varkw = "kwargs", .line = 48, .doc = kKeyvaneInitDoc,
    .uses_super = true, .body = keyvane_init};
const frame::FunctionSpec keyvane_repr_spec{
    .name = "__repr__", .qualname = "Keyvane.__repr__", .params = {"self"}, .line = 70,
    .body = keyvane_repr};
const frame::FunctionSpec keyvane_getstate_spec{
    .name = "__getstate__", .qualname = "Keyvane.__getstate__", .params = {"self"}, .line = 73,
    .body = keyvane_getstate};
const frame::FunctionSpec keyvane_setstate_spec{
    .name = "__setstate__", .qualname = "Keyvane.__setstate__", .params = {"self", "state"},
    .line = 74, .body = keyvane_setstate};

// ---------------------------------------------------------------------------
// NestedKeyvane: dotted keys

// True when the first `name` in the MRO of `cls` is `entry`.
bool resolves_to(PyTypeObject* cls, PyObject* name, PyObject* entry) {
    Ref found = frame::class_lookup(cls, name);
    return found && found.get() == entry;
}

// True when `super().<name>` inside the frame function `function`, for an
// instance of `cls`, reaches the class `target` (which defines it).
bool super_of_reaches(PyTypeObject* cls, PyObject* function, PyObject* name, PyObject* target) {
    PyObject* owner = frame::defining_class_of(function);
    return owner && frame::super_reaches(cls, owner, name, reinterpret_cast<PyTypeObject*>(target));
}

// `isinstance(key, str) and '.' in key` at `line`, then
// `key, subkeys = key.split('.', 1)` on the next line.
// Returns 1 for a dotted key (filling `first` and `rest`), 0 for a plain key.
int split_dotted(Call& c, int line, PyObject* key, Ref& first, Ref& rest) {
    c.at(line);
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
    c.at(line + 1);
    Ref parts = PyUnicode_CheckExact(key)
                    ? Ref::steal(PyUnicode_Split(key, s_dot, 1))
                    : Ref::steal(PyObject_CallMethod(key, "split", "Oi", s_dot.get(), 1));
    if (!parts) return -1;
    Ref names[2];
    if (frame::unpack(parts.get(), names, 2) < 0) return -1;
    first = std::move(names[0]);
    rest = std::move(names[1]);
    return 1;
}

// super().__getitem__(key): the dict lookup when super() reaches dict.
Ref super_getitem(const Call& c, PyObject* self, PyObject* key) {
    if (frame::super_reaches(c, self, s_getitem, &PyDict_Type))
        return Ref::steal(PyDict_Type.tp_as_mapping->mp_subscript(self, key));
    return frame::call_super(c, self, s_getitem, {key});
}

// What `self[key]` gives, answered without calling it where that is the
// same: `found` with the entry, `missing` when the read would raise
// KeyError, `unknown` when only the read itself can tell.
enum class Probe { found, missing, unknown, error };
Probe probe_entry(PyObject* self, PyObject* key, Ref& found);

// super().__setitem__(key, value), or super().__delitem__(key) for a null
// value: the dict store or delete when super() reaches dict.
Ref super_store(const Call& c, PyObject* self, PyObject* key, PyObject* value) {
    PyObject* name = value ? s_setitem.get() : s_delitem.get();
    if (frame::super_reaches(c, self, name, &PyDict_Type))
        return PyDict_Type.tp_as_mapping->mp_ass_subscript(self, key, value) < 0 ? Ref() : frame::none();
    return value ? frame::call_super(c, self, name, {key, value}) : frame::call_super(c, self, name, {key});
}

// The generic `setdefault(key, default)` of the mapping ABC, as found on the
// instance: `self[key]`, or `self[key] = default` and `default` on KeyError.
// When the instance's `setdefault` is that function, a read that the probe
// can answer is not made, so a missing key raises no KeyError to catch.
Ref setdefault(PyObject* self, PyObject* key, PyObject* fallback) {
    Ref method = frame::attr(self, s_setdefault);
    if (!method) return {};
    if (!frame::is_bound_method(method.get(), g_generic_setdefault, self))
        return Ref::steal(PyObject_CallFunctionObjArgs(method.get(), key, fallback, nullptr));
    Ref found;
    switch (probe_entry(self, key, found)) {
    case Probe::found:
        return found;
    case Probe::error:
        return {};
    case Probe::unknown:
        found = Ref::steal(PyObject_GetItem(self, key));
        if (found || !PyErr_ExceptionMatches(PyExc_KeyError)) return found;
        PyErr_Clear();
        break;
    case Probe::missing:
        break;
    }
    if (PyObject_SetItem(self, key, fallback) < 0) return {};
    return Ref::borrow(fallback);
}

// `type(self)()`: the empty level that a dotted store or a merged mapping
// builds first, every time.
bool builds_plainly(PyTypeObject* cls);

Ref new_level(PyObject* self) {
    PyTypeObject* cls = Py_TYPE(self);
    if (!builds_plainly(cls)) return Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(cls)));
    Ref no_args = Ref::steal(PyTuple_New(0));
    Ref level = no_args ? Ref::steal(cls->tp_new(cls, no_args.get(), nullptr)) : Ref();
    if (!level || PyObject_SetAttr(level.get(), s_dict, level.get()) < 0) return {};
    return level;
}

PyObject* nested_init(Call& c) {
    PyObject* self = c[0];
    c.at(78);
    if (!frame::call_super(c, self, s_init, {})) return nullptr;
    c.at(80);
    Ref update = frame::attr(self, s_update);
    if (!update) return nullptr;
    return PyObject_Call(update.get(), c.rest(), c.keywords());
}

PyObject* nested_getitem(Call& c) {
    PyObject* self = c[0];
    Ref key, subkeys;
    int dotted = split_dotted(c, 83, c[1], key, subkeys);
    if (dotted < 0) return nullptr;
    if (dotted) {
        c.at(85);
        Ref level = super_getitem(c, self, key.get());
        return level ? PyObject_GetItem(level.get(), subkeys.get()) : nullptr;
    }
    c.at(87);
    return super_getitem(c, self, c[1]).release();
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

PyObject* nested_setitem(Call& c) {
    PyObject* self = c[0];
    PyObject* value = c[2];
    Ref key, subkeys;
    int dotted = split_dotted(c, 90, c[1], key, subkeys);
    if (dotted < 0) return nullptr;
    if (dotted) {
        c.at(93);
        Ref fresh = new_level(self);
        Ref subkey_value = fresh ? setdefault(self, key.get(), fresh.get()) : Ref();
        if (!subkey_value) return nullptr;
        c.at(95);
        int nested = PyObject_IsInstance(subkey_value.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)));
        if (nested < 0) return nullptr;
        if (!nested) {
            c.at(96);
            raise_value_in_the_way(self, key.get());
            return nullptr;
        }
        c.at(100);
        if (PyObject_SetItem(subkey_value.get(), subkeys.get(), value) < 0) return nullptr;
        Py_RETURN_NONE;
    }
    c.at(103);
    return super_store(c, self, c[1], value).release();
}

// super().__contains__(key): the dict test when super() reaches dict.
Ref super_contains(const Call& c, PyObject* self, PyObject* key) {
    if (frame::super_reaches(c, self, s_contains, &PyDict_Type)) {
        int inside = PyDict_Contains(self, key);
        return inside < 0 ? Ref() : frame::boolean(inside);
    }
    return frame::call_super(c, self, s_contains, {key});
}

PyObject* nested_contains(Call& c) {
    PyObject* self = c[0];
    Ref key, subkeys;
    int dotted = split_dotted(c, 106, c[1], key, subkeys);
    if (dotted < 0) return nullptr;
    if (dotted) {
        c.at(109);
        Ref present = super_contains(c, self, key.get());
        int truth = present ? PyObject_IsTrue(present.get()) : -1;
        if (truth <= 0) return truth < 0 ? nullptr : present.release();
        c.at(110);
        Ref level = super_getitem(c, self, key.get());
        if (!level) return nullptr;
        int inside = PySequence_Contains(level.get(), subkeys.get());
        return inside < 0 ? nullptr : PyBool_FromLong(inside);
    }
    c.at(112);
    return super_contains(c, self, c[1]).release();
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

// The entry `name` of the namespace `names`, or null; runs no Python code.
Ref namespace_entry(PyObject* names, PyObject* name) {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(names, name, &found) < 0) PyErr_Clear();
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
    if (Py_TYPE(g_mapping) != metaclass ||
        PyFunction_GetCode(g_abc.instancecheck) != g_abc.instancecheck_code ||
        !holds_global(g_abc.namespace_, s_c_instancecheck, g_abc.c_instancecheck) ||
        !PyUnstable_Type_AssignVersionTag(mapping) || !PyUnstable_Type_AssignVersionTag(metaclass))
        return false;
    Ref token = Ref::steal(PyObject_CallNoArgs(g_abc.cache_token));
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
           !frame::class_lookup(mapping, s_subclasscheck) &&
           PyFunction_GetCode(g_abc.subclasscheck) == g_abc.subclasscheck_code &&
           holds_global(g_abc.namespace_, s_c_subclasscheck, g_abc.c_subclasscheck) &&
           !frame::class_lookup(metaclass, s_abc_impl) && resolves_to(mapping, s_abc_impl, g_abc.impl);
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
    if (readable && known.answer >= 0 && known.state == before) return known.answer;
    const int answer = PyObject_IsInstance(leaf, g_mapping);
    AbcState after;
    if (answer >= 0 && readable && abc_path_caches() && read_abc_state(after) && after == before)
        known = {after, answer};
    return answer;
}

// isinstance(value, Mapping) with `Mapping` read from the module globals.
int is_mapping(PyObject* value) {
    Ref mapping = frame::global(s_Mapping);
    if (!mapping) return -1;
    if (mapping.get() != g_mapping) return PyObject_IsInstance(value, mapping.get());
    if (PyDict_CheckExact(value)) return 1;
    const int slot = leaf_slot(value);
    if (slot < 0) return PyObject_IsInstance(value, mapping.get());
    return leaf_is_mapping(value, g_leaf_answers[slot]);
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
        Ref fresh = new_level(self);
        Ref level = fresh ? setdefault(self, pair[0].get(), fresh.get()) : Ref();
        if (!level) return -1;
        return Ref::steal(PyObject_CallMethodOneArg(level.get(), s_update, pair[1].get())) ? 0 : -1;
    }
    c.at(149);
    return PyObject_SetItem(self, pair[0].get(), pair[1].get());
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

// `self[key]` is the plain dict lookup when the class's `__getitem__` is this
// module's and reaches dict, and the key is an exact str without a dot (its
// hash and comparison run no Python code). A missing key then raises
// KeyError unless some class of the MRO defines `__missing__`.
Probe probe_entry(PyObject* self, PyObject* key, Ref& found) {
    PyTypeObject* cls = Py_TYPE(self);
    if (!PyUnicode_CheckExact(key) || PyUnicode_FindChar(key, '.', 0, PyUnicode_GET_LENGTH(key), 1) != -1 ||
        !resolves_to(cls, s_getitem, nested_getitem_spec.object) ||
        !super_of_reaches(cls, nested_getitem_spec.object, s_getitem,
                          reinterpret_cast<PyObject*>(&PyDict_Type)))
        return Probe::unknown;
    PyObject* entry = nullptr;
    int present = PyDict_GetItemRef(self, key, &entry);
    if (present < 0) return Probe::error;
    if (present) {
        found = Ref::steal(entry);
        return Probe::found;
    }
    return frame::class_lookup(cls, s_missing) ? Probe::unknown : Probe::missing;
}

// The global `itertools` is a plain module whose `chain` is the original,
// read without running any Python code.
bool original_chain() {
    Ref module = namespace_entry(frame::module_globals(), s_itertools);
    return g_chain && module && Py_IS_TYPE(module.get(), &PyModule_Type) &&
           holds_global(PyModule_GetDict(module.get()), s_chain, g_chain);
}

// True when calling `cls()` runs only this module's construction: the
// metaclass call and `__new__` of the built-ins, NestedKeyvane.__init__,
// whose super() reaches Keyvane.__init__, whose super() reaches dict's, the
// usual instance-dictionary slot, and the module's own `update` with the
// original chain. That construction, with no arguments, leaves an empty
// instance that is its own attribute dictionary and does nothing else.
bool builds_plainly(PyTypeObject* cls) {
    if (Py_TYPE(cls)->tp_call != PyType_Type.tp_call || cls->tp_new != PyDict_Type.tp_new ||
        cls->tp_getattro != PyObject_GenericGetAttr)
        return false;
    return resolves_to(cls, s_init, nested_init_spec.object) &&
           super_of_reaches(cls, nested_init_spec.object, s_init, g_keyvane) &&
           resolves_to(reinterpret_cast<PyTypeObject*>(g_keyvane), s_init, keyvane_init_spec.object) &&
           super_of_reaches(cls, keyvane_init_spec.object, s_init,
                            reinterpret_cast<PyObject*>(&PyDict_Type)) &&
           resolves_to(cls, s_dict, g_dict_descriptor) &&
           resolves_to(cls, s_update, nested_update_spec.object) && original_chain();
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
        .method<keyvane_getstate_spec>()
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

int module_body(frame::Body& body) {
    if (body.at(15).import("itertools") < 0) return -1;
    if (body.at(17).from_import("collections.abc", {"Mapping", "MutableMapping"}) < 0) return -1;
    if (remember_imports() < 0) return -1;
    if (define_keyvane(body.at(19)) < 0) return -1;
    if (define_nested_keyvane(body.at(75)) < 0) return -1;
    return body.at(152).set_test(Ref::steal(PyDict_New()));
}

frame::ModuleSpec keyvane_module{"keyvane", kModuleDoc, module_body};

}  // namespace

PyMODINIT_FUNC PyInit_keyvane(void) { return frame::define_module(keyvane_module); }
