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
    s_split{"split"}, s_get{"get"}, s_pop{"pop"}, s_dot{"."}, s_dict{"__dict__"},
    s_class{"__class__"}, s_name{"__name__"}, s_empty{""},
    s_update_element{"cannot convert dictionary update sequence element #%s to a sequence"};

frame::Builtin b_super{"super"}, b_KeyError{"KeyError"}, b_TypeError{"TypeError"};

// Objects the fast paths compare against, fixed when the module body runs.
PyObject* g_chain = nullptr;                // itertools.chain
PyObject* g_mapping = nullptr;              // collections.abc.Mapping
PyObject* g_keyvane = nullptr;              // the class Keyvane
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

// True when `self[key]` would be the plain dict lookup of `NestedKeyvane`:
// the class's own `__getitem__`, a key without a dot, super() reaching dict.
bool plain_lookup(PyObject* self, PyObject* key);

// The generic `setdefault(key, default)` of the mapping ABC, as found on the
// instance: `self[key]`, or `self[key] = default` and `default` on KeyError.
// When the instance's `setdefault` is that function and `self[key]` is the
// plain lookup, the probe reads the dict directly instead of raising.
Ref setdefault(PyObject* self, PyObject* key, PyObject* fallback) {
    Ref method = frame::attr(self, s_setdefault);
    if (!method) return {};
    if (!frame::is_bound_method(method.get(), g_generic_setdefault, self))
        return Ref::steal(PyObject_CallFunctionObjArgs(method.get(), key, fallback, nullptr));
    if (plain_lookup(self, key)) {
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(self, key, &found) != 0) return Ref::steal(found);
    }
    Ref found = Ref::steal(PyObject_GetItem(self, key));
    if (found || !PyErr_ExceptionMatches(PyExc_KeyError)) return found;
    PyErr_Clear();
    if (PyObject_SetItem(self, key, fallback) < 0) return {};
    return Ref::borrow(fallback);
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
        Ref fresh = Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(Py_TYPE(self))));
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
    if (frame::super_reaches(c, self, s_setitem, &PyDict_Type)) {
        if (PyDict_Type.tp_as_mapping->mp_ass_subscript(self, c[1], value) < 0) return nullptr;
        Py_RETURN_NONE;
    }
    return frame::call_super(c, self, s_setitem, {c[1], value}).release();
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
    if (frame::super_reaches(c, self, s_delitem, &PyDict_Type)) {
        if (PyDict_Type.tp_as_mapping->mp_ass_subscript(self, c[1], nullptr) < 0) return nullptr;
        Py_RETURN_NONE;
    }
    return frame::call_super(c, self, s_delitem, {c[1]}).release();
}

// ---------------------------------------------------------------------------
// NestedKeyvane: merge

// isinstance(value, Mapping) with `Mapping` read from the module globals.
int is_mapping(PyObject* value) {
    Ref mapping = frame::global(s_Mapping);
    if (!mapping) return -1;
    if (mapping.get() == g_mapping && PyDict_CheckExact(value)) return 1;
    return PyObject_IsInstance(value, mapping.get());
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
        Ref fresh = Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(Py_TYPE(self))));
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
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (merge_item(c, self, iterable, item.get()) < 0) return -1;
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

bool plain_lookup(PyObject* self, PyObject* key) {
    if (!PyUnicode_CheckExact(key) ||
        PyUnicode_FindChar(key, '.', 0, PyUnicode_GET_LENGTH(key), 1) != -1)
        return false;
    Ref getitem = frame::class_lookup(Py_TYPE(self), s_getitem);
    if (!getitem || getitem.get() != nested_getitem_spec.object) return false;
    PyObject* owner = frame::defining_class_of(getitem.get());
    return owner && frame::super_reaches(Py_TYPE(self), owner, s_getitem, &PyDict_Type) &&
           !frame::class_lookup(Py_TYPE(self), s_missing);
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

// Remembers the imported objects that fast paths compare against.
int remember_imports() {
    Ref itertools = frame::global(s_itertools);
    Ref chain = itertools ? frame::attr(itertools.get(), s_chain) : Ref();
    Ref mapping = frame::global(s_Mapping);
    if (!chain || !mapping) return -1;
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
