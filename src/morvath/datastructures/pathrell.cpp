// pathrell: nested dictionaries held as a flat list of (path, value) pairs.
//
// `Pathrell` is a list whose items are pairs: the path is the tuple of keys
// that leads from the outermost dictionary to a value, with an `IndexMarker`
// standing for each position in a list or tuple on the way. Flattening is a
// lazy depth-first walk (`Pathrell.__flatten__`), `reconstruct` builds the
// nested dictionary back, and four list operations check what enters the
// list and store it as a pair.
//
// Ownership: a Pathrell holds strong references to its pairs; pairs hold the
// path and the value as found, never copies. The flattening generator holds
// the containers it is walking, their iterators and the keys of the current
// path, and nothing once it is finished.
//
// Every method calls back into Python (items() of mappings, iteration,
// hashing of keys, user subclasses), and any such call may change the
// containers being walked; the code keeps strong references across each call
// and re-reads what it needs afterwards.
#include "frame.hpp"

#include <algorithm>
#include <iterator>
#include <new>
#include <unordered_set>
#include <vector>

namespace {

using frame::Call;
using frame::Ref;

frame::Str s_Pathrell{"Pathrell"}, s_DictItem{"DictItem"}, s_IndexMarker{"IndexMarker"},
    s_MutableMapping{"MutableMapping"}, s_namedtuple{"namedtuple"}, s_flatten{"__flatten__"},
    s_init{"__init__"}, s_setitem{"__setitem__"}, s_append{"append"}, s_insert{"insert"},
    s_extend{"extend"}, s_items{"items"}, s_get{"get"}, s_pop{"pop"}, s_type_{"type_"},
    s_index{"index"}, s_name{"__name__"}, s_module{"module"}, s_path{"path"},
    s_value{"value"}, s_empty{""}, s_class_getitem{"__class_getitem__"},
    s_pair_message{"Pathrell only accepts a tuple of path/obj"};

frame::Builtin b_super{"super"}, b_isinstance{"isinstance"}, b_type{"type"}, b_int{"int"},
    b_list{"list"}, b_tuple{"tuple"}, b_len{"len"}, b_enumerate{"enumerate"},
    b_ValueError{"ValueError"}, b_IndexError{"IndexError"};

const char* const kPathrellDoc =
    "Pathrell class (list)\n"
    "\n"
    "    Gives a \"flattened\" representation of nested dictionaries through a\n"
    "    path-value concept: the path represents the dictionary key nesting and\n"
    "    the value is the object stored at its end, so that\n"
    "\n"
    "        dictionary['a']['b']['c'] = object()\n"
    "\n"
    "    is equivalent to\n"
    "\n"
    "        (('a', 'b', 'c',), object())\n"
    "\n"
    "    The class provides the forward and backward translation of a nested dict\n"
    "    to a list/tuple form, which removes the need for recursive functions over\n"
    "    dictionary nesting. It extends the base Python list class.\n"
    "\n"
    "    Example:\n"
    "        {'a': {'b': {'c': {'d': object(), 'e': object()}}}}\n"
    "\n"
    "        becomes\n"
    "\n"
    "        [(('a', 'b', 'c', 'd'), object()),\n"
    "         (('a', 'b', 'c', 'e'), object())]\n"
    "\n"
    "    Format:\n"
    "        [(path, value), (path, value) ...]\n"
    "        where path is a tuple of the nested dict keys\n"
    "\n"
    "    Note:\n"
    "        the reconstruction yields a new dict, not the input dict:\n"
    "\n"
    "        >>> d = {}\n"
    "        >>> assert Pathrell(d).reconstruct() == {}\n"
    "        >>> assert Pathrell(d).reconstruct() is not d\n"
    "    ";

const char* const kMarkerInitDoc =
    " Tracks the index position of elements in list/tuple\n"
    "\n"
    "        obj: obj to store for\n"
    "        index: index value\n"
    "        ";

const char* const kInitDoc =
    "built-in __init__\n"
    "\n"
    "        Any arguments accepted by list() are also accepted, with the special\n"
    "        condition that a dictionary input is flattened to be stored internally\n"
    "        as a list structure.\n"
    "        ";

const char* const kFlattenDoc =
    "Static func __flatten__\n"
    "\n"
    "        Recursively flattens a nested dictionary to its path/value form.\n"
    "\n"
    "        Arguments:\n"
    "            indict (dict): input dictionary\n"
    "            path (tuple): current dictionary path\n"
    "\n"
    "        Returns:\n"
    "            generator object representing the input dict's flattened form\n"
    "        ";

const char* const kAppendDoc =
    "append\n"
    "\n"
    "        Appends a new path/value to this list.\n"
    "\n"
    "        Arguments:\n"
    "            item (path/value): tuple of path/obj to append\n"
    "        ";

const char* const kExtendDoc =
    "extend\n"
    "\n"
    "        Extends the object with many new path/values.\n"
    "\n"
    "        Arguments:\n"
    "            items (list of path/value): list of tuple of path/obj to insert\n"
    "        ";

const char* const kInsertDoc =
    "insert\n"
    "\n"
    "        Inserts a new path/value to this list.\n"
    "\n"
    "        Arguments:\n"
    "            index (int): list index to insert to\n"
    "            item (path/value): tuple of path/obj to insert\n"
    "        ";

const char* const kReconstructDoc =
    "Reconstruct\n"
    "\n"
    "        Takes the current internally stored list-form dictionary and\n"
    "        reconstructs it into its represented dictionary format. Always\n"
    "        generates a new dictionary object.\n"
    "\n"
    "        Returns:\n"
    "            dictionary object\n"
    "        ";

// ---------------------------------------------------------------------------
// What the fast paths compare against
//
// A fast path stands in for a lookup or a call only when the outcome cannot
// differ: the global still names the object the module body made, and that
// class has not been changed since (a type watcher clears the flag on the
// first change). Everything else takes the general path, which performs the
// lookups and calls one by one.

PyObject* g_dictitem = nullptr;          // the DictItem class made at import
PyObject* g_index_marker = nullptr;      // the IndexMarker class made at import
PyObject* g_pathrell = nullptr;          // the Pathrell class made at import
PyObject* g_flatten_static = nullptr;    // the staticmethod in its dict as `__flatten__`
PyObject* g_mutable_mapping = nullptr;   // collections.abc.MutableMapping as imported
PyObject* g_abc_meta = nullptr;          // its metaclass at import
PyObject* g_cache_token_fn = nullptr;    // abc.get_cache_token
PyObject* g_cache_token = nullptr;       // the token the kept answers were asked under
PyObject* g_sequence_types = nullptr;    // (list, tuple)
PyObject* g_list_append = nullptr;       // list.append
PyObject* g_list_insert = nullptr;       // list.insert
PyObject* g_list_extend = nullptr;       // list.extend
PyObject* g_full_slice = nullptr;        // slice(None, None, None)
PyObject* g_minus_one = nullptr;         // -1

bool g_plain_builtins = false;     // the builtins bound at import are the interpreter's own
bool g_dictitem_pristine = false;
bool g_dictitem_slotless = false;  // its instances hold their two items and nothing else
bool g_index_marker_pristine = false;
bool g_abc_pristine = false;       // MutableMapping and its metaclass unchanged
int g_watcher = -1;

// Exact builtin types whose answer to isinstance(x, MutableMapping) is kept
// once asked: it changes only when a class is registered with an ABC (which
// moves the cache token) or when the ABC classes themselves change (the
// watcher). `mapping` is -1 while not asked under the current token.
struct KnownType {
    PyTypeObject* type;
    int mapping;
};
KnownType g_known[12];

int on_type_modified(PyTypeObject* type) noexcept {
    PyObject* changed = reinterpret_cast<PyObject*>(type);
    if (changed == g_dictitem) g_dictitem_pristine = false;
    if (changed == g_index_marker) g_index_marker_pristine = false;
    if (changed == g_mutable_mapping || changed == g_abc_meta) g_abc_pristine = false;
    return 0;
}

// Asks to hear of the first change to `type`. False when the interpreter
// cannot promise that (no watcher slot left, no version tag).
bool watch(PyObject* type) noexcept {
    if (g_watcher < 0 || !PyType_Check(type)) return false;
    if (PyType_Watch(g_watcher, type) < 0) {
        PyErr_Clear();
        return false;
    }
    return frame::has_version_tag(reinterpret_cast<PyTypeObject*>(type));
}

KnownType* kept_type(PyTypeObject* type) noexcept {
    for (KnownType& entry : g_known)
        if (entry.type == type) return &entry;
    return nullptr;
}

// abc.get_cache_token(), asked for every leaf of a walk.
Ref current_cache_token() noexcept { return frame::call_no_args(g_cache_token_fn); }

// isinstance(obj, MutableMapping) with the class bound at import. The ABC is
// asked as Python would ask it; for the kept types only the first time under
// each cache token, as the ABC's own negative cache does.
int kept_mapping_answer(PyObject* obj) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyDict_Type) return 1;
    KnownType* known = nullptr;
    if (g_abc_pristine && Py_TYPE(g_mutable_mapping) == reinterpret_cast<PyTypeObject*>(g_abc_meta))
        known = kept_type(type);
    if (!known) return PyObject_IsInstance(obj, g_mutable_mapping);
    Ref token = current_cache_token();
    if (!token) return -1;
    int same = g_cache_token ? PyObject_RichCompareBool(token.get(), g_cache_token, Py_EQ) : 0;
    if (same < 0) return -1;
    if (!same) {
        for (KnownType& entry : g_known) entry.mapping = -1;
        Py_XSETREF(g_cache_token, token.release());
    }
    if (known->mapping >= 0) return known->mapping;
    // Asking may run hooks that register classes and flatten again; the
    // answer is kept only when the token it was asked under is still current.
    Ref asked_under = Ref::borrow(g_cache_token);
    int answer = PyObject_IsInstance(obj, g_mutable_mapping);
    if (g_cache_token == asked_under.get()) known->mapping = answer;
    return answer;
}

// ---------------------------------------------------------------------------
// Globals read at every step of a walk
//
// `DictItem`, `IndexMarker`, `MutableMapping` and `Pathrell` are looked up
// for every pair, key or level of a walk; the frame keeps the last answer
// while the namespaces stay unchanged.

frame::KeptGlobal g_kept_marker{s_IndexMarker};
frame::KeptGlobal g_kept_mapping{s_MutableMapping};
frame::KeptGlobal g_kept_dictitem{s_DictItem};
frame::KeptGlobal g_kept_pathrell{s_Pathrell};

// 1 when the global names `expected`, 0 when it names something else, -1
// when it is not defined.
int global_is(frame::KeptGlobal& kept, PyObject* expected) noexcept {
    PyObject* value = kept.peek();
    return value ? value == expected : -1;
}

// ---------------------------------------------------------------------------
// The builtins, called as the module bound them

Ref call1(PyObject* callable, PyObject* arg) noexcept {
    return Ref::steal(PyObject_CallOneArg(callable, arg));
}

Ref call2(PyObject* callable, PyObject* a, PyObject* b) noexcept {
    PyObject* args[] = {a, b};
    return Ref::steal(PyObject_Vectorcall(callable, args, 2, nullptr));
}

int truth_of(Ref result) noexcept { return result ? PyObject_IsTrue(result.get()) : -1; }

int isinstance_of(PyObject* obj, PyObject* cls) noexcept {
    if (g_plain_builtins) return PyObject_IsInstance(obj, cls);
    return truth_of(call2(b_isinstance, obj, cls));
}

Ref type_of(PyObject* obj) noexcept {
    if (g_plain_builtins) return Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
    return call1(b_type, obj);
}

Ref list_of(PyObject* obj) noexcept {
    return g_plain_builtins ? Ref::steal(PySequence_List(obj)) : call1(b_list, obj);
}

Ref tuple_of(PyObject* obj) noexcept {
    return g_plain_builtins ? Ref::steal(PySequence_Tuple(obj)) : call1(b_tuple, obj);
}

// ---------------------------------------------------------------------------
// Tests and constructors shared by the methods

// isinstance(obj, MutableMapping), the class read from the module globals.
int is_mutable_mapping(PyObject* obj) noexcept {
    int pristine = global_is(g_kept_mapping, g_mutable_mapping);
    if (pristine < 0) return -1;
    if (pristine && g_plain_builtins) return kept_mapping_answer(obj);
    Ref mapping = g_kept_mapping.get();
    return mapping ? isinstance_of(obj, mapping.get()) : -1;
}

// isinstance(obj, (list, tuple)).
int is_sequence(PyObject* obj) noexcept {
    if (g_plain_builtins) {
        PyTypeObject* type = Py_TYPE(obj);
        if (type == &PyList_Type || type == &PyTuple_Type) return 1;
        // Instances of the other kept builtin types report their own class.
        if (type == &PyDict_Type || kept_type(type)) return 0;
    }
    return isinstance_of(obj, g_sequence_types);
}

// isinstance(obj, (MutableMapping, list, tuple)).
int is_container(PyObject* obj) noexcept {
    int pristine = global_is(g_kept_mapping, g_mutable_mapping);
    if (pristine < 0) return -1;
    if (pristine && g_plain_builtins) {
        int mapping_answer = kept_mapping_answer(obj);
        return mapping_answer != 0 ? mapping_answer : is_sequence(obj);
    }
    Ref mapping = g_kept_mapping.get();
    if (!mapping) return -1;
    Ref types = Ref::steal(PyTuple_Pack(3, mapping.get(), b_list.get(), b_tuple.get()));
    return types ? isinstance_of(obj, types.get()) : -1;
}

// isinstance(obj, IndexMarker), the class read from the module globals.
int is_marker(PyObject* obj) noexcept {
    if (g_plain_builtins) {
        PyObject* marker = g_kept_marker.peek();
        if (!marker) return -1;
        PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(marker);
        if (Py_TYPE(obj) == cls) return 1;
        // A class of exact type `type` has no instance check of its own, and
        // a plain str or int reports its own class, whose only base is object.
        if (PyType_CheckExact(marker) && (PyUnicode_CheckExact(obj) || PyLong_CheckExact(obj)))
            return cls == &PyBaseObject_Type;
    }
    Ref marker = g_kept_marker.get();
    return marker ? isinstance_of(obj, marker.get()) : -1;
}

// ---------------------------------------------------------------------------
// Pairs and paths outside the cyclic collector
//
// A path of str keys and a pair of such a path and an int can never be part
// of a reference cycle, yet a flattening makes one of each per leaf, and
// every collection of the oldest generation would walk them all again. The
// interpreter untracks such tuples itself (at its next collection); the pairs
// and paths made here leave the collector at once instead. The rule is the
// interpreter's own for tuples: an object can never join a cycle when its
// type holds no references the collector follows, or when it is an exact
// tuple already outside the collector, whose items are fixed. Anything else
// may be, or later become, part of a cycle (an empty dict that gains a
// tracked value, a marker given an attribute) and keeps its container
// tracked.

bool outside_cycles(PyObject* obj) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    if (!PyType_IS_GC(type)) return true;            // strs, ints, None, ...
    if (type->tp_is_gc && !type->tp_is_gc(obj)) return true;  // a static type as a key
    return type == &PyTuple_Type && !PyObject_GC_IsTracked(obj);
}

// Takes a freshly filled tuple (or pair) out of the collector when none of
// its items can join a cycle. A pair of the class made at import holds
// nothing but its two items (a namedtuple's `__slots__` is empty) and its
// class, which the module keeps alive; that reference closes no cycle the
// collector would have to find.
void untrack_when_acyclic(PyObject* tuple) noexcept {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i)
        if (!outside_cycles(PyTuple_GET_ITEM(tuple, i))) return;
    PyObject_GC_UnTrack(tuple);
}

// DictItem(path, value) with `cls` the global DictItem. The class made at
// import, unchanged, builds its instances as tuple.__new__(cls, (path, value))
// does: two items in a freshly allocated instance of the class.
//
// The new pair takes over the references to `path` and `value`: a reference
// added and at once dropped again stalls the processor on every pair.
Ref new_dictitem(PyObject* cls, Ref path, Ref value) noexcept {
    if (cls == g_dictitem && g_dictitem_pristine) {
        PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
        PyObject* item = type->tp_alloc(type, 2);
        if (!item) return {};
        PyTuple_SET_ITEM(item, 0, path.release());
        PyTuple_SET_ITEM(item, 1, value.release());
        if (g_dictitem_slotless) untrack_when_acyclic(item);
        return Ref::steal(item);
    }
    return call2(cls, path.get(), value.get());
}

Ref new_dictitem(PyObject* cls, PyObject* path, PyObject* value) noexcept {
    return new_dictitem(cls, Ref::borrow(path), Ref::borrow(value));
}

Ref new_dictitem(PyObject* path, PyObject* value) noexcept {
    Ref cls = g_kept_dictitem.get();
    return cls ? new_dictitem(cls.get(), path, value) : Ref();
}

// IndexMarker(container, index), the class read from the module globals. The
// class made at import, unchanged, gets a new instance with the two
// attributes that its __init__ sets for an exact int index.
Ref new_marker(PyObject* container, PyObject* index) noexcept {
    int pristine = global_is(g_kept_marker, g_index_marker);
    if (pristine < 0) return {};
    if (pristine && g_index_marker_pristine && g_plain_builtins && PyLong_CheckExact(index)) {
        PyTypeObject* type = reinterpret_cast<PyTypeObject*>(g_index_marker);
        Ref marker = Ref::steal(type->tp_alloc(type, 0));
        if (!marker ||
            frame::set_attr(marker.get(), s_type_, reinterpret_cast<PyObject*>(Py_TYPE(container))) < 0 ||
            frame::set_attr(marker.get(), s_index, index) < 0)
            return {};
        return marker;
    }
    Ref cls = g_kept_marker.get();
    return cls ? call2(cls.get(), container, index) : Ref();
}

// `Pathrell.__flatten__`, both names read when the statement runs. On the
// class made at import, whose metaclass is `type` (which has no attribute of
// that name) and whose own staticmethod is still the first found, the
// attribute is what that staticmethod wraps now.
Ref lookup_flatten() noexcept {
    PyObject* cls = g_kept_pathrell.peek();
    if (!cls) return {};
    if (cls == g_pathrell && g_flatten_static && Py_IS_TYPE(cls, &PyType_Type) &&
        frame::resolves_to(reinterpret_cast<PyTypeObject*>(cls), s_flatten, g_flatten_static))
        return Ref::steal(Py_TYPE(g_flatten_static)->tp_descr_get(g_flatten_static, nullptr, cls));
    Ref pathrell = g_kept_pathrell.get();
    return pathrell ? frame::attr(pathrell.get(), s_flatten) : Ref();
}

// obj[:], with the module's wording for objects that cannot be subscripted.
Ref full_slice(PyObject* obj) noexcept {
    if (PyTuple_CheckExact(obj)) return Ref::borrow(obj);
    PyTypeObject* type = Py_TYPE(obj);
    bool subscriptable = (type->tp_as_mapping && type->tp_as_mapping->mp_subscript) ||
                         (type->tp_as_sequence && type->tp_as_sequence->sq_item);
    if (!subscriptable && PyType_Check(obj)) {
        int has = PyObject_HasAttrWithError(obj, s_class_getitem);
        if (has < 0) return {};
        subscriptable = has;
    }
    if (!subscriptable) {
        frame::raise_unsliceable(obj);
        return {};
    }
    return Ref::steal(PyObject_GetItem(obj, g_full_slice));
}

// The pair checks turn whatever went wrong into the module's one ValueError,
// raised while the first error is being handled so that the first error is
// its context. The first error has passed through the method at `check_line`.
void raise_pair_error(Call& c, int check_line, int raise_line) noexcept {
    frame::add_function_traceback(c.spec(), check_line);
    c.at(raise_line);
    frame::raise_in_place(b_ValueError, s_pair_message);
}

// `path, obj = item`. A DictItem of the class made at import, unchanged, is
// the two-item tuple it was built as and unpacks as one.
int unpack_pair(PyObject* item, Ref* pair) noexcept {
    if (Py_TYPE(item) == reinterpret_cast<PyTypeObject*>(g_dictitem) && g_dictitem_pristine &&
        PyTuple_GET_SIZE(item) == 2) {
        pair[0] = Ref::borrow(PyTuple_GET_ITEM(item, 0));
        pair[1] = Ref::borrow(PyTuple_GET_ITEM(item, 1));
        return 0;
    }
    return frame::unpack(item, pair, 2);
}

// The guarded `path, obj = item` of the single-item operations: the check
// runs at `line`, the module's ValueError is raised at `raise_line`.
int checked_pair(Call& c, PyObject* item, Ref* pair, int line, int raise_line) noexcept {
    c.at(line);
    if (unpack_pair(item, pair) == 0) return 0;
    raise_pair_error(c, line, raise_line);
    return -1;
}

// The guarded `for path, obj in items: pass` of the constructor and extend.
int checked_pairs(Call& c, PyObject* items, int line, int raise_line) noexcept {
    c.at(line);
    Ref iterator = Ref::steal(PyObject_GetIter(items));
    frame::SignalPoll poll;
    while (iterator) {
        if (poll.interrupted()) break;
        Ref element = Ref::steal(PyIter_Next(iterator.get()));
        if (!element) {
            if (!PyErr_Occurred()) return 0;
            break;
        }
        Ref pair[2];
        if (unpack_pair(element.get(), pair) < 0) break;
    }
    raise_pair_error(c, line, raise_line);
    return -1;
}

// ---------------------------------------------------------------------------
// IndexMarker

PyObject* marker_init(Call& c) {
    PyObject *self = c[0], *obj = c[1], *index = c[2];
    c.at(14);
    Ref type = type_of(obj);
    if (!type || frame::set_attr(self, s_type_, type.get()) < 0) return nullptr;
    c.at(15);
    Ref index_type = type_of(index);
    if (!index_type) return nullptr;
    Ref value = index_type.get() == b_int.get() ? Ref::borrow(index)
                : g_plain_builtins                ? Ref::steal(PyNumber_Long(index))
                                                  : call1(b_int, index);
    if (!value || frame::set_attr(self, s_index, value.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* marker_repr(Call& c) {
    PyObject* self = c[0];
    c.at(18);
    Ref type = frame::attr(self, s_type_);
    Ref name = type ? frame::attr(type.get(), s_name) : Ref();
    Ref index = name ? frame::attr(self, s_index) : Ref();
    if (!index) return nullptr;
    Ref name_text = Ref::steal(PyObject_Format(name.get(), s_empty));
    Ref index_text = name_text ? Ref::steal(PyObject_Format(index.get(), s_empty)) : Ref();
    if (!index_text) return nullptr;
    return PyUnicode_FromFormat("%U[%U]", name_text.get(), index_text.get());
}

const frame::FunctionSpec marker_init_spec{
    .name = "__init__", .qualname = "IndexMarker.__init__", .params = {"self", "obj", "index"},
    .line = 8, .doc = kMarkerInitDoc, .body = marker_init};
const frame::FunctionSpec marker_repr_spec{
    .name = "__repr__", .qualname = "IndexMarker.__repr__", .params = {"self"}, .line = 17,
    .body = marker_repr};

// ---------------------------------------------------------------------------
// Pathrell.__flatten__
//
// Each level of nesting stands for one running `__flatten__` generator: its
// container, the iterator over it, its path and, while it relays the items of
// a replaced `Pathrell.__flatten__`, that iterator. As long as the recursion
// reaches the library's own function, the levels live on an explicit stack,
// so depth costs no C stack and no generator objects. A failure gets one
// traceback entry per level, as a chain of generators would.
//
// A level's path is either a run of `keys_` (a plain tuple, built into a
// tuple only for the pairs that carry it) or, when slicing or concatenation
// gave something other than a tuple, the object itself. The levels share the
// keys of their common prefix, so nesting costs memory in proportion to its
// depth, not to its square as a path tuple per level would.
// A container met again while it is still being walked would be walked
// forever; that ends at once in RecursionError.

constexpr int kLineSlice = 77, kLineMappingTest = 78, kLineItems = 79, kLineMappingDescends = 80,
              kLineMappingRecurse = 81, kLineMappingLeaf = 84, kLineSequenceTest = 85,
              kLineEnumerate = 86, kLineSequenceDescends = 87, kLineSequenceRecurse = 88,
              kLineSequenceLeaf = 91;

// Walks up to this depth check for a container met again without a set.
constexpr size_t kShallowLevels = 16;

// Failures deeper than this show only their innermost traceback entries.
constexpr size_t kMaxTracebackLevels = 1000;

extern const frame::FunctionSpec flatten_spec;

enum class Kind { Mapping, Sequence, Bare };

struct Level {
    Kind kind = Kind::Bare;
    Ref container;
    Ref iterator;
    Ref path;      // the path object when it is not a run of keys_
    Ref foreign;   // the iterator of a replaced __flatten__ being relayed
    size_t start = 0, end = 0;  // keys_[start, end) is the path
    size_t restore = 0;         // keys_ size to return to when the level ends
    Py_ssize_t index = 0;       // enumerate's count
    bool counted = true;        // enumerate is the interpreter's own: count here
    bool tracked = false;       // container is in deep_
    bool plain_keys = true;     // no key of the run can join a cycle
    // A plain dict is read in place, as its items iterator would read it.
    bool in_place = false;
    Py_ssize_t position = 0;    // PyDict_Next's position
    Py_ssize_t size_seen = 0;   // the dict's size when the walk began
    Py_ssize_t remaining = 0;   // entries still expected
};

class Flatten final : public frame::GeneratorState {
public:
    Flatten(PyObject* indict, PyObject* path) noexcept
        : indict_(Ref::borrow(indict)), path_arg_(Ref::borrow(path)) {}
    ~Flatten() override {
        while (!levels_.empty()) pop();
    }

    PyObject* next(int& line) noexcept override {
        try {
            return advance(line);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return report(line);
        }
    }

    // The innermost running level stops in its loop.
    void interrupted(int& line) noexcept override {
        if (levels_.empty()) return;
        fail(levels_.back().kind == Kind::Sequence ? kLineEnumerate : kLineItems);
        report(line);
    }

    int traverse(visitproc visit, void* arg) noexcept override {
        Py_VISIT(indict_.get());
        Py_VISIT(path_arg_.get());
        for (const Level& level : levels_) {
            Py_VISIT(level.container.get());
            Py_VISIT(level.iterator.get());
            Py_VISIT(level.path.get());
            Py_VISIT(level.foreign.get());
        }
        for (const Ref& key : keys_) Py_VISIT(key.get());
        return 0;
    }

private:
    enum Step { kFailed = -1, kEnded = 0, kYielded = 1, kDescended = 2 };

    int fail(int line) noexcept {
        fail_line_ = line;
        return kFailed;
    }

    static int recurse_line(const Level& level) noexcept {
        return level.kind == Kind::Mapping ? kLineMappingRecurse : kLineSequenceRecurse;
    }

    // Adds the traceback entries of the inner levels, innermost first; the
    // generator adds the outermost one at `line`.
    PyObject* report(int& line) noexcept {
        int at = fail_line_;
        size_t added = 0;
        for (size_t i = levels_.size(); i > 1; --i) {
            if (added++ < kMaxTracebackLevels) frame::add_function_traceback(flatten_spec, at);
            at = recurse_line(levels_[i - 2]);
        }
        line = at;
        return nullptr;
    }

    PyObject* advance(int& line) {
        if (!started_) {
            started_ = true;
            if (begin() < 0) return report(line);
        }
        while (!levels_.empty()) {
            const size_t top = levels_.size() - 1;
            PyObject* item = nullptr;
            int step;
            if (levels_[top].foreign) {
                step = relay(top, item);
            } else {
                switch (levels_[top].kind) {
                    case Kind::Mapping: step = step_mapping(top, item); break;
                    case Kind::Sequence: step = step_sequence(top, item); break;
                    default: step = step_bare(item); break;
                }
            }
            if (step == kFailed) return report(line);
            if (step == kYielded) return item;
        }
        return nullptr;
    }

    // The outermost level: `path = path[:] if path else ()`, then the kind.
    int begin() {
        levels_.emplace_back();
        levels_[0].container = std::move(indict_);
        Ref given = std::move(path_arg_);
        if (set_path(0, given.get()) < 0) return kFailed;
        return enter(0);
    }

    int set_path(size_t at, PyObject* given) {
        Level& level = levels_[at];
        level.start = level.end = level.restore = keys_.size();
        if (given == Py_None) return 0;
        int truth = PyObject_IsTrue(given);
        if (truth < 0) return fail(kLineSlice);
        if (!truth) return 0;
        Ref sliced = full_slice(given);
        if (!sliced) return fail(kLineSlice);
        if (!PyTuple_CheckExact(sliced.get())) {
            level.path = std::move(sliced);
            return 0;
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(sliced.get()); ++i) {
            PyObject* key = PyTuple_GET_ITEM(sliced.get(), i);
            keys_.push_back(Ref::borrow(key));
            levels_[at].plain_keys = levels_[at].plain_keys && outside_cycles(key);
        }
        levels_[at].end = keys_.size();
        return 0;
    }

    // Decides what the level walks: a mutable mapping through its items(), a
    // list or tuple through enumerate, anything else is yielded bare.
    int enter(size_t at) {
        PyObject* container = levels_[at].container.get();
        int mapping = is_mutable_mapping(container);
        if (mapping < 0) return fail(kLineMappingTest);
        if (mapping && PyDict_CheckExact(container)) {
            // A plain dict's items() and their iterator are the interpreter's
            // own and run no code: the walk reads the entries in place.
            Level& level = levels_[at];
            level.kind = Kind::Mapping;
            level.in_place = true;
            level.size_seen = level.remaining = PyDict_GET_SIZE(container);
        } else if (mapping) {
            Ref items = Ref::steal(PyObject_CallMethodNoArgs(container, s_items));
            Ref iterator = items ? Ref::steal(PyObject_GetIter(items.get())) : Ref();
            if (!iterator) return fail(kLineItems);
            levels_[at].kind = Kind::Mapping;
            levels_[at].iterator = std::move(iterator);
        } else {
            int sequence = is_sequence(container);
            if (sequence < 0) return fail(kLineSequenceTest);
            if (!sequence) return 0;
            bool counted = b_enumerate.get() == reinterpret_cast<PyObject*>(&PyEnum_Type);
            Ref source = counted ? Ref::borrow(container) : call1(b_enumerate, container);
            Ref iterator = source ? Ref::steal(PyObject_GetIter(source.get())) : Ref();
            if (!iterator) return fail(kLineEnumerate);
            levels_[at].kind = Kind::Sequence;
            levels_[at].iterator = std::move(iterator);
            levels_[at].counted = counted;
        }
        if (at >= kShallowLevels) levels_[at].tracked = deep_.insert(container).second;
        return 0;
    }

    // True when `container` is walked by a level on the stack. The first
    // levels, where nearly all walks stay, are compared one by one; only
    // deeper ones go into a set, which keeps deep walks linear.
    bool being_walked(PyObject* container) const noexcept {
        const size_t shallow = std::min(levels_.size(), kShallowLevels);
        for (size_t i = 0; i < shallow; ++i)
            if (levels_[i].container.get() == container && levels_[i].kind != Kind::Bare) return true;
        return !deep_.empty() && deep_.count(container);
    }

    void pop() noexcept {
        Level level = std::move(levels_.back());
        levels_.pop_back();
        if (level.tracked) deep_.erase(level.container.get());
        while (keys_.size() > level.restore) {
            Ref key = std::move(keys_.back());
            keys_.pop_back();
        }
    }  // the level's references are dropped last, when nothing refers to them

    // path + (key,) for the level at `at` (the top of the stack).
    // The new path takes over the reference to `key`. A path of keys that
    // cannot join a cycle (strs, numbers) leaves the collector at once; the
    // keys of the run are judged as they enter it, so the rule costs nothing
    // per pair.
    Ref extend_path(size_t at, Ref key) {
        const Level& level = levels_[at];
        if (level.path) {
            Ref single = Ref::steal(PyTuple_Pack(1, key.get()));
            return single ? Ref::steal(PyNumber_Add(level.path.get(), single.get())) : Ref();
        }
        const size_t size = level.end - level.start;
        Ref path = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(size + 1)));
        if (!path) return {};
        for (size_t i = 0; i < size; ++i)
            PyTuple_SET_ITEM(path.get(), static_cast<Py_ssize_t>(i), Py_NewRef(keys_[level.start + i].get()));
        const bool untrack = level.plain_keys && outside_cycles(key.get());
        PyTuple_SET_ITEM(path.get(), static_cast<Py_ssize_t>(size), key.release());
        if (untrack) PyObject_GC_UnTrack(path.get());
        return path;
    }

    // `yield DictItem(path + (key,), value)`.
    int yield_pair(size_t at, Ref key_or_container, PyObject* index, Ref value,
                   PyObject*& item, int line) {
        PyObject* cls = g_kept_dictitem.peek();
        if (!cls) return fail(line);
        // The class made at import lives as long as the module; any other is
        // held, since making the marker may run code that rebinds the name.
        Ref held = cls == g_dictitem ? Ref() : Ref::borrow(cls);
        Ref key = index ? new_marker(key_or_container.get(), index) : std::move(key_or_container);
        if (!key) return fail(line);
        Ref path = extend_path(at, std::move(key));
        Ref pair = path ? new_dictitem(cls, std::move(path), std::move(value)) : Ref();
        if (!pair) return fail(line);
        item = pair.release();
        return kYielded;
    }

    // `for d in Pathrell.__flatten__(value, path + (key,)): yield d`, with
    // `flatten` already looked up.
    int descend(size_t at, PyObject* flatten, PyObject* value, PyObject* key, int line) {
        // The library's own flatten, still running its own code, descends here.
        if (flatten != flatten_spec.object || PyFunction_GET_CODE(flatten) != flatten_spec.code) {
            Ref path = extend_path(at, Ref::borrow(key));
            Ref generator = path ? call2(flatten, value, path.get()) : Ref();
            Ref iterator = generator ? Ref::steal(PyObject_GetIter(generator.get())) : Ref();
            if (!iterator) return fail(line);
            levels_[at].foreign = std::move(iterator);
            return kDescended;
        }
        if (being_walked(value)) {
            PyErr_SetString(PyExc_RecursionError,
                            "maximum recursion depth exceeded while flattening a container "
                            "that holds itself");
            return fail(line);
        }
        Ref joined;
        if (levels_[at].path) {
            joined = extend_path(at, Ref::borrow(key));
            if (!joined) return fail(line);
        }
        Level child;
        child.container = Ref::borrow(value);
        if (!joined) {
            child.start = levels_[at].start;
            child.restore = keys_.size();
            keys_.push_back(Ref::borrow(key));
            child.end = keys_.size();
            child.plain_keys = levels_[at].plain_keys && outside_cycles(key);
        }
        levels_.push_back(std::move(child));
        const size_t inner = levels_.size() - 1;
        // A run of keys is a non-empty tuple, which slices to itself.
        if (joined && set_path(inner, joined.get()) < 0) return kFailed;
        if (enter(inner) < 0) return kFailed;
        return kDescended;
    }

    // The next entry of a plain dict read in place, with the checks of the
    // dict's items iterator: 1 found, 0 at the end, -1 raised.
    static int next_in_place(Level& level, Ref& key, Ref& value) noexcept {
        PyObject* dict = level.container.get();
        if (PyDict_GET_SIZE(dict) != level.size_seen) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return -1;
        }
        PyObject *found_key, *found_value;
        if (!PyDict_Next(dict, &level.position, &found_key, &found_value)) return 0;
        if (level.remaining-- == 0) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            return -1;
        }
        key = Ref::borrow(found_key);
        value = Ref::borrow(found_value);
        return 1;
    }

    // The next `key, value` of items(): 1 found, 0 at the end, -1 raised.
    static int next_item(Level& level, Ref& key, Ref& value) noexcept {
        if (level.in_place) return next_in_place(level, key, value);
        Ref entry = Ref::steal(PyIter_Next(level.iterator.get()));
        if (!entry) return PyErr_Occurred() ? -1 : 0;
        Ref pair[2];
        if (frame::unpack(entry.get(), pair, 2) < 0) return -1;
        key = std::move(pair[0]);
        value = std::move(pair[1]);
        return 1;
    }

    int step_mapping(size_t at, PyObject*& item) {
        Ref key, value;
        int found = next_item(levels_[at], key, value);
        if (found < 0) return fail(kLineItems);
        if (!found) {
            pop();
            return kEnded;
        }
        int descends = is_container(value.get());
        if (descends > 0) descends = PyObject_IsTrue(value.get());
        if (descends < 0) return fail(kLineMappingDescends);
        if (!descends) return yield_pair(at, std::move(key), nullptr, std::move(value), item, kLineMappingLeaf);
        Ref flatten = lookup_flatten();
        if (!flatten) return fail(kLineMappingRecurse);
        return descend(at, flatten.get(), value.get(), key.get(), kLineMappingRecurse);
    }

    int step_sequence(size_t at, PyObject*& item) {
        Level& level = levels_[at];
        Ref index, value;
        if (level.counted) {
            value = Ref::steal(PyIter_Next(level.iterator.get()));
            if (value) index = Ref::steal(PyLong_FromSsize_t(level.index++));
        } else {
            Ref entry = Ref::steal(PyIter_Next(level.iterator.get()));
            if (entry) {
                Ref pair[2];
                if (frame::unpack(entry.get(), pair, 2) < 0) return fail(kLineEnumerate);
                index = std::move(pair[0]);
                value = std::move(pair[1]);
            }
        }
        if (!value) {
            if (PyErr_Occurred()) return fail(kLineEnumerate);
            pop();
            return kEnded;
        }
        if (!index) return fail(kLineEnumerate);
        PyObject* container = level.container.get();
        Ref keep = Ref::borrow(container);
        int descends = is_container(value.get());
        if (descends > 0) descends = PyObject_IsTrue(value.get());
        if (descends < 0) return fail(kLineSequenceDescends);
        if (!descends)
            return yield_pair(at, Ref::borrow(container), index.get(), std::move(value), item, kLineSequenceLeaf);
        Ref flatten = lookup_flatten();
        Ref marker = flatten ? new_marker(container, index.get()) : Ref();
        if (!marker) return fail(kLineSequenceRecurse);
        return descend(at, flatten.get(), value.get(), marker.get(), kLineSequenceRecurse);
    }

    // A level that is not a container yields it bare, once.
    int step_bare(PyObject*& item) {
        item = levels_.back().container.copy().release();
        pop();
        return kYielded;
    }

    // The next item of a replaced __flatten__; that code may recurse through
    // Python, so the interpreter's recursion guard watches each call.
    int relay(size_t at, PyObject*& item) {
        Ref iterator = levels_[at].foreign.copy();
        if (Py_EnterRecursiveCall(" while flattening")) return fail(recurse_line(levels_[at]));
        item = PyIter_Next(iterator.get());
        Py_LeaveRecursiveCall();
        if (item) return kYielded;
        if (PyErr_Occurred()) return fail(recurse_line(levels_[at]));
        Ref done = std::move(levels_[at].foreign);
        return kEnded;
    }

    Ref indict_;
    Ref path_arg_;
    bool started_ = false;
    int fail_line_ = kLineSlice;
    std::vector<Level> levels_;
    std::vector<Ref> keys_;
    std::unordered_set<PyObject*> deep_;  // containers of the levels from kShallowLevels on
};

Ref new_flatten(PyObject* indict, PyObject* path) noexcept {
    try {
        auto state = std::make_unique<Flatten>(indict, path);
        return frame::make_generator("__flatten__", "Pathrell.__flatten__", 67, std::move(state));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return {};
    }
}

PyObject* pathrell_flatten(Call& c) { return new_flatten(c[0], c[1]).release(); }

const frame::FunctionSpec flatten_spec{
    .name = "__flatten__", .qualname = "Pathrell.__flatten__", .params = {"indict", "path"},
    .locals = {"key", "value", "d", "index"}, .line = 67, .doc = kFlattenDoc,
    .body = pathrell_flatten};

// ---------------------------------------------------------------------------
// Pathrell: construction and the checked list operations

// True when `super().<name>` reaches list's own attribute.
bool reaches_list(const Call& c, PyObject* self, PyObject* name) noexcept {
    return frame::super_reaches(c, self, name, &PyList_Type);
}

// `super().<name>(*args)` for the checked list operations; `list_method` is
// the list's own method of that name, called directly when super() reaches it.
int call_list_super(const Call& c, PyObject* self, PyObject* name, PyObject* list_method,
                    std::initializer_list<PyObject*> args) noexcept {
    if (!reaches_list(c, self, name)) return frame::call_super(c, self, name, args) ? 0 : -1;
    PyObject* stack[4] = {self};
    size_t n = 1;
    for (PyObject* arg : args) stack[n++] = arg;
    return Ref::steal(PyObject_Vectorcall(list_method, stack, n, nullptr)) ? 0 : -1;
}

// super().__init__(*args) with `args` a tuple.
int super_init(Call& c, PyObject* self, PyObject* args) noexcept {
    if (reaches_list(c, self, s_init)) return PyList_Type.tp_init(self, args, nullptr);
    Ref no_keywords = Ref::steal(PyDict_New());
    if (!no_keywords) return -1;
    return frame::call_super(c, self, s_init, args, no_keywords.get()) ? 0 : -1;
}

PyObject* pathrell_init(Call& c) {
    PyObject* self = c[0];
    PyObject* args = c.rest();
    c.at(55);
    int single;
    if (g_plain_builtins) {
        single = PyTuple_GET_SIZE(args) == 1;
    } else {
        Ref size = call1(b_len, args);
        Ref one = Ref::steal(PyLong_FromLong(1));
        single = size && one ? truth_of(Ref::steal(PyObject_RichCompare(size.get(), one.get(), Py_EQ))) : -1;
        if (single < 0) return nullptr;
    }
    if (single) {
        if (PyTuple_GET_SIZE(args) < 1) {  // a replaced len() may say anything
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            return nullptr;
        }
        int mapping = is_mutable_mapping(PyTuple_GET_ITEM(args, 0));
        if (mapping < 0) return nullptr;
        if (mapping) {
            c.at(56);
            // Called as a function even when it is the library's own: the
            // path comes from its `__defaults__` as they are now.
            Ref flatten = lookup_flatten();
            Ref generator = flatten ? call1(flatten.get(), PyTuple_GET_ITEM(args, 0)) : Ref();
            Ref call_args = generator ? Ref::steal(PyTuple_Pack(1, generator.get())) : Ref();
            if (!call_args || super_init(c, self, call_args.get()) < 0) return nullptr;
            Py_RETURN_NONE;
        }
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i)
        if (checked_pairs(c, PyTuple_GET_ITEM(args, i), 60, 63) < 0) return nullptr;
    c.at(64);
    if (super_init(c, self, args) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* pathrell_setitem(Call& c) {
    PyObject *self = c[0], *index = c[1], *item = c[2];
    Ref pair[2];
    if (checked_pair(c, item, pair, 97, 99) < 0) return nullptr;
    c.at(100);
    Ref stored = tuple_of(item);
    if (!stored) return nullptr;
    // list's slot itself: its __setitem__ wrapper would cost a call through a tuple.
    if (reaches_list(c, self, s_setitem)) {
        if (PyList_Type.tp_as_mapping->mp_ass_subscript(self, index, stored.get()) < 0) return nullptr;
    } else if (!frame::call_super(c, self, s_setitem, {index, stored.get()})) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* pathrell_append(Call& c) {
    PyObject *self = c[0], *item = c[1];
    Ref pair[2];
    if (checked_pair(c, item, pair, 110, 112) < 0) return nullptr;
    c.at(113);
    Ref entry = new_dictitem(pair[0].get(), pair[1].get());
    if (!entry || call_list_super(c, self, s_append, g_list_append, {entry.get()}) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* pathrell_extend(Call& c) {
    PyObject *self = c[0], *items = c[1];
    if (checked_pairs(c, items, 123, 126) < 0) return nullptr;
    // The second pass builds every pair before the list changes at all.
    c.at(127);
    Ref converted = Ref::steal(PyList_New(0));
    Ref iterator = Ref::steal(PyObject_GetIter(items));
    if (!converted || !iterator) return nullptr;
    frame::SignalPoll poll;
    while (Ref element = Ref::steal(PyIter_Next(iterator.get()))) {
        if (poll.interrupted()) return nullptr;
        Ref pair[2];
        if (unpack_pair(element.get(), pair) < 0) return nullptr;
        Ref entry = new_dictitem(pair[0].get(), pair[1].get());
        if (!entry || PyList_Append(converted.get(), entry.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred() || call_list_super(c, self, s_extend, g_list_extend, {converted.get()}) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* pathrell_insert(Call& c) {
    PyObject *self = c[0], *index = c[1], *item = c[2];
    Ref pair[2];
    if (checked_pair(c, item, pair, 138, 140) < 0) return nullptr;
    c.at(141);
    Ref entry = new_dictitem(pair[0].get(), pair[1].get());
    if (!entry || call_list_super(c, self, s_insert, g_list_insert, {index, entry.get()}) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Pathrell.reconstruct
//
// Each pair walks its path from the new dictionary down, creating levels as
// it goes, and places its value at the end. The working variables start
// unbound for every pair: a path that is empty or starts with a marker has no
// place in the outermost dictionary, and fails the same way wherever it
// stands in the list.

// k.type_(({},)): a new sequence of the recorded type holding one new dict.
Ref new_sequence(PyObject* type) noexcept {
    Ref placeholder = Ref::steal(PyDict_New());
    if (!placeholder) return {};
    if (type == reinterpret_cast<PyObject*>(&PyList_Type)) {
        Ref list = Ref::steal(PyList_New(1));
        if (list) PyList_SET_ITEM(list.get(), 0, placeholder.release());
        return list;
    }
    Ref single = Ref::steal(PyTuple_Pack(1, placeholder.get()));
    if (!single || type == reinterpret_cast<PyObject*>(&PyTuple_Type)) return single;
    return call1(type, single.get());
}

// True for the exact types whose instances hold no other objects and run no
// code when compared, hashed, copied into a repr or freed.
bool is_atomic(PyObject* obj) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type ||
           type == &PyBool_Type || obj == Py_None || type == &PyBytes_Type || type == &PyComplex_Type;
}

// Whether the dictionary built so far is made only of plain dicts keyed by
// exact strs, lists and tuples that this call made, and atomic values. While
// it is, no lookup or store in it can run code (no key compares itself with a
// user's __eq__, nothing freed has a finalizer), and code run elsewhere has
// no way to reach it; so a lookup whose answer is known need not be repeated.
// It holds from the new dictionary on, for the whole call, until a pair puts
// anything else into it.
struct Shape {
    bool plain = true;
};

class Rebuild {
public:
    Rebuild(Call& c, Shape& shape) noexcept : c_(c), shape_(shape) {}

    int run(PyObject* ret, PyObject* path, PyObject* obj) noexcept {
        c_.at(153);
        ptr_ = Ref::borrow(ret);
        c_.at(154);
        Ref elements = PyTuple_CheckExact(path) && g_plain_builtins ? Ref::borrow(path) : list_of(path);
        if (!elements) return -1;
        if (PyTuple_CheckExact(elements.get()) || PyList_CheckExact(elements.get())) {
            // A private copy (or an immutable tuple): walked by position.
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(elements.get()); ++i) {
                c_.at(156);
                k_ = Ref::borrow(PySequence_Fast_GET_ITEM(elements.get(), i));
                const bool last = i + 1 == PySequence_Fast_GET_SIZE(elements.get());
                if (apply(last ? obj : nullptr) < 0) return -1;
            }
        } else {
            while (true) {
                c_.at(155);
                int more = PyObject_IsTrue(elements.get());
                if (more < 0) return -1;
                if (!more) break;
                c_.at(156);
                Ref zero = Ref::steal(PyLong_FromLong(0));
                k_ = zero ? Ref::steal(PyObject_CallMethodOneArg(elements.get(), s_pop, zero.get())) : Ref();
                if (!k_ || apply(nullptr) < 0) return -1;
            }
        }
        if (!placed_ && place(obj) < 0) return -1;
        if (!is_atomic(obj)) shape_.plain = false;
        return 0;
    }

private:
    static int unbound(const Ref& variable, const char* name) noexcept {
        if (variable) return 0;
        frame::raise_unbound_local(name);
        return -1;
    }

    // Applies k_; `last_obj` is the pair's value when k_ ends the path.
    int apply(PyObject* last_obj) noexcept {
        c_.at(157);
        int marker = is_marker(k_.get());
        if (marker < 0) return -1;
        return marker ? marker_step() : key_step(last_obj);
    }

    // ptr[index] exists? 1 yes, 0 the lookup raised IndexError, -1 error.
    int has_position(PyObject* index) noexcept {
        PyObject* ptr = ptr_.get();
        if ((PyList_CheckExact(ptr) || PyTuple_CheckExact(ptr)) && PyLong_CheckExact(index)) {
            Py_ssize_t i = PyLong_AsSsize_t(index);
            if (i == -1 && PyErr_Occurred()) {
                // Indexing a list or tuple with such an int raises IndexError.
                if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return -1;
                PyErr_Clear();
                return 0;
            }
            const Py_ssize_t size = PySequence_Fast_GET_SIZE(ptr);
            if (i < 0) i += size;
            return i >= 0 && i < size;
        }
        Ref found = Ref::steal(PyObject_GetItem(ptr, index));
        if (found) return 1;
        if (!PyErr_ExceptionMatches(b_IndexError)) return -1;  // passes out from the lookup
        PyErr_Clear();
        return 0;
    }

    int marker_step() noexcept {
        c_.at(158);
        Ref ptr_type = type_of(ptr_.get());
        Ref recorded = ptr_type ? frame::attr(k_.get(), s_type_) : Ref();
        if (!recorded) return -1;
        if (recorded.get() != reinterpret_cast<PyObject*>(&PyList_Type) &&
            recorded.get() != reinterpret_cast<PyObject*>(&PyTuple_Type))
            shape_.plain = false;   // its constructor and additions are the user's
        if (ptr_type.get() != recorded.get()) {
            c_.at(159);
            Ref type = frame::attr(k_.get(), s_type_);
            Ref sequence = type ? new_sequence(type.get()) : Ref();
            if (!sequence || unbound(prev_ptr_, "prev_ptr") < 0 || unbound(prev_k_, "prev_k") < 0 ||
                PyObject_SetItem(prev_ptr_.get(), prev_k_.get(), sequence.get()) < 0)
                return -1;
        } else {
            c_.at(162);
            Ref index = frame::attr(k_.get(), s_index);
            if (!index) return -1;
            int has = has_position(index.get());
            if (has < 0) return -1;
            if (!has) {
                c_.at(164);
                Ref type = frame::attr(k_.get(), s_type_);
                Ref sequence = type ? new_sequence(type.get()) : Ref();
                Ref grown = sequence ? Ref::steal(PyNumber_InPlaceAdd(ptr_.get(), sequence.get())) : Ref();
                if (!grown) return -1;
                ptr_ = std::move(grown);
            }
        }
        c_.at(165);
        Ref type = frame::attr(k_.get(), s_type_);
        if (!type) return -1;
        if (type.get() == b_tuple.get()) {
            c_.at(166);
            if (unbound(prev_ptr_, "prev_ptr") < 0) return -1;
            tuple_ptr_ = prev_ptr_.copy();
            c_.at(167);
            if (unbound(prev_k_, "prev_k") < 0) return -1;
            tuple_k_ = prev_k_.copy();
        }
        c_.at(168);
        if (unbound(prev_ptr_, "prev_ptr") < 0 || unbound(prev_k_, "prev_k") < 0) return -1;
        Ref held = Ref::steal(PyObject_GetItem(prev_ptr_.get(), prev_k_.get()));
        if (!held) return -1;
        prev_ptr_ = std::move(held);
        c_.at(169);
        prev_k_ = Ref::borrow(g_minus_one);
        c_.at(170);
        Ref last = Ref::steal(PyObject_GetItem(prev_ptr_.get(), g_minus_one));
        if (!last) return -1;
        ptr_ = std::move(last);
        return 0;
    }

    // A key into a plain dict of a plain shape. `ptr[k] = ptr.get(k, {})`
    // and `ptr = ptr[k]` come to one lookup, and to one store only when the
    // key is new; for the last key of the path the value goes straight where
    // the empty dict would have gone and been replaced at once.
    int plain_key_step(PyObject* last_obj) noexcept {
        PyObject *ptr = ptr_.get(), *key = k_.get();
        if (last_obj && marker_test_runs_no_code()) {
            c_.at(187);
            if (PyDict_SetItem(ptr, key, last_obj) < 0) return -1;
            placed_ = true;
            return 0;
        }
        c_.at(173);
        PyObject* found = nullptr;
        int has = PyDict_GetItemRef(ptr, key, &found);
        if (has < 0) return -1;
        Ref entry = Ref::steal(has ? found : PyDict_New());
        if (!entry || (!has && PyDict_SetItem(ptr, key, entry.get()) < 0)) return -1;
        // Moved, not copied: a count raised and at once lowered again on the
        // same object stalls the processor.
        prev_ptr_ = std::move(ptr_);
        prev_k_ = k_.copy();
        ptr_ = std::move(entry);
        return 0;
    }

    // Placing the value asks isinstance(k, IndexMarker) once more. For an
    // exact str and a class whose metaclass is `type`, that asks no code and
    // repeats the answer the step just had, so the value may go in with the
    // key; a class with its own instance check is asked again in place().
    static bool marker_test_runs_no_code() noexcept {
        if (!g_plain_builtins) return false;
        PyObject* marker = g_kept_marker.peek();
        if (!marker) PyErr_Clear();   // place() meets the NameError again
        return marker && PyType_CheckExact(marker);
    }

    int key_step(PyObject* last_obj) noexcept {
        PyObject* key = k_.get();
        Ref kept;
        c_.at(172);
        int mapping = is_mutable_mapping(ptr_.get());
        if (mapping < 0) return -1;
        const bool plain_dict = PyDict_CheckExact(ptr_.get()) && PyUnicode_CheckExact(key);
        if (mapping && plain_dict && shape_.plain) return plain_key_step(last_obj);
        if (!PyUnicode_CheckExact(key) || !(plain_dict || PyList_CheckExact(ptr_.get()) || PyTuple_CheckExact(ptr_.get())))
            shape_.plain = false;
        if (mapping) {
            c_.at(173);
            PyObject* ptr = ptr_.get();
            if (PyDict_CheckExact(ptr)) {
                // A plain dict's get() cannot be replaced.
                PyObject* found = nullptr;
                int has = PyDict_GetItemRef(ptr, key, &found);
                if (has < 0) return -1;
                kept = has ? Ref::steal(found) : Ref::steal(PyDict_New());
            } else {
                Ref fallback = Ref::steal(PyDict_New());
                if (fallback)
                    kept = Ref::steal(PyObject_CallMethodObjArgs(ptr, s_get, key, fallback.get(), nullptr));
            }
            if (!kept || PyObject_SetItem(ptr, key, kept.get()) < 0) return -1;
        } else {
            c_.at(175);
            Ref ptr_type = type_of(ptr_.get());
            if (!ptr_type) return -1;
            Ref inner = Ref::steal(PyDict_New());
            Ref level = Ref::steal(PyDict_New());
            if (!inner || !level || PyDict_SetItem(level.get(), key, inner.get()) < 0) return -1;
            Ref single = Ref::steal(PyTuple_Pack(1, level.get()));
            Ref made = single ? call1(ptr_type.get(), single.get()) : Ref();
            Ref grown = made ? Ref::steal(PyNumber_InPlaceAdd(ptr_.get(), made.get())) : Ref();
            if (!grown) return -1;
            ptr_ = std::move(grown);
            c_.at(176);
            Ref last = Ref::steal(PyObject_GetItem(ptr_.get(), g_minus_one));
            if (!last) return -1;
            ptr_ = std::move(last);
        }
        c_.at(177);
        prev_ptr_ = std::move(ptr_);
        c_.at(178);
        prev_k_ = k_.copy();
        c_.at(179);
        Ref entry = Ref::steal(PyObject_GetItem(prev_ptr_.get(), key));
        if (!entry) return -1;
        ptr_ = std::move(entry);
        return 0;
    }

    int place(PyObject* obj) noexcept {
        c_.at(180);
        if (unbound(k_, "k") < 0) return -1;
        int marker = is_marker(k_.get());
        if (marker < 0) return -1;
        bool into_tuple = false;
        if (marker) {
            Ref type = frame::attr(k_.get(), s_type_);
            if (!type) return -1;
            into_tuple = type.get() == b_tuple.get();
        }
        if (!into_tuple) {
            c_.at(187);
            if (unbound(prev_ptr_, "prev_ptr") < 0 || unbound(prev_k_, "prev_k") < 0) return -1;
            return PyObject_SetItem(prev_ptr_.get(), prev_k_.get(), obj);
        }
        c_.at(181);
        if (unbound(tuple_ptr_, "tuple_ptr") < 0 || unbound(tuple_k_, "tuple_k") < 0) return -1;
        Ref stored = Ref::steal(PyObject_GetItem(tuple_ptr_.get(), tuple_k_.get()));
        Ref placeholder = stored ? new_sequence(reinterpret_cast<PyObject*>(&PyTuple_Type)) : Ref();
        int fresh = placeholder ? truth_of(Ref::steal(PyObject_RichCompare(stored.get(), placeholder.get(), Py_EQ)))
                                : -1;
        if (fresh < 0) return -1;
        if (fresh) {
            c_.at(182);
            Ref single = Ref::steal(PyTuple_Pack(1, obj));
            return single ? PyObject_SetItem(tuple_ptr_.get(), tuple_k_.get(), single.get()) : -1;
        }
        c_.at(184);
        if (unbound(prev_ptr_, "prev_ptr") < 0) return -1;
        Ref single = Ref::steal(PyTuple_Pack(1, obj));
        Ref joined = single ? Ref::steal(PyNumber_Add(prev_ptr_.get(), single.get())) : Ref();
        if (!joined) return -1;
        prev_ptr_ = std::move(joined);
        c_.at(185);
        return PyObject_SetItem(tuple_ptr_.get(), tuple_k_.get(), prev_ptr_.get());
    }

    Call& c_;
    Shape& shape_;
    Ref ptr_, k_, prev_ptr_, prev_k_, tuple_ptr_, tuple_k_;
    bool placed_ = false;   // the value went in with the last key
};

PyObject* pathrell_reconstruct(Call& c) {
    PyObject* self = c[0];
    c.at(151);
    Ref ret = Ref::steal(PyDict_New());
    if (!ret) return nullptr;
    c.at(152);
    Ref iterator = Ref::steal(PyObject_GetIter(self));
    if (!iterator) return nullptr;
    frame::SignalPoll poll;
    Shape shape;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (poll.interrupted()) return nullptr;
        Ref pair[2];
        if (unpack_pair(item.get(), pair) < 0) return nullptr;
        if (Rebuild(c, shape).run(ret.get(), pair[0].get(), pair[1].get()) < 0) return nullptr;
        c.at(152);
    }
    if (PyErr_Occurred()) return nullptr;
    return ret.release();
}

const frame::FunctionSpec init_spec{
    .name = "__init__", .qualname = "Pathrell.__init__", .params = {"self"}, .varargs = "args",
    .locals = {"arg", "path", "obj"}, .line = 49, .doc = kInitDoc, .uses_super = true,
    .body = pathrell_init};
const frame::FunctionSpec setitem_spec{
    .name = "__setitem__", .qualname = "Pathrell.__setitem__", .params = {"self", "index", "item"},
    .locals = {"path", "obj"}, .line = 95, .uses_super = true, .body = pathrell_setitem};
const frame::FunctionSpec append_spec{
    .name = "append", .qualname = "Pathrell.append", .params = {"self", "item"},
    .locals = {"path", "obj"}, .line = 102, .doc = kAppendDoc, .uses_super = true,
    .body = pathrell_append};
const frame::FunctionSpec extend_spec{
    .name = "extend", .qualname = "Pathrell.extend", .params = {"self", "items"},
    .locals = {"path", "obj"}, .line = 115, .doc = kExtendDoc, .uses_super = true,
    .body = pathrell_extend};
const frame::FunctionSpec insert_spec{
    .name = "insert", .qualname = "Pathrell.insert", .params = {"self", "index", "item"},
    .locals = {"path", "obj"}, .line = 129, .doc = kInsertDoc, .uses_super = true,
    .body = pathrell_insert};
const frame::FunctionSpec reconstruct_spec{
    .name = "reconstruct", .qualname = "Pathrell.reconstruct", .params = {"self"},
    .locals = {"ret", "path", "obj", "ptr", "k", "prev_ptr", "prev_k", "tuple_ptr", "tuple_k"},
    .line = 143, .doc = kReconstructDoc, .body = pathrell_reconstruct};

// ---------------------------------------------------------------------------
// Module body

// namedtuple('DictItem', ('path', 'value')), its __module__ this module, as
// the factory sets it for the module that calls it.
Ref make_dictitem_type() {
    Ref factory = frame::global(s_namedtuple);
    Ref fields = Ref::steal(PyTuple_Pack(2, s_path.get(), s_value.get()));
    Ref type_name = Ref::steal(PyUnicode_FromString("DictItem"));
    Ref keywords = Ref::steal(PyTuple_Pack(1, s_module.get()));
    if (!factory || !fields || !type_name || !keywords) return {};
    PyObject* args[] = {type_name.get(), fields.get(), frame::full_name()};
    return Ref::steal(PyObject_Vectorcall(factory.get(), args, 2, keywords.get()));
}

int define_index_marker(frame::Body& body) {
    frame::ClassBuilder cls("IndexMarker");
    cls.base(Ref::borrow(reinterpret_cast<PyObject*>(&PyBaseObject_Type)))
        .method<marker_init_spec>()
        .method<marker_repr_spec>();
    return body.assign("IndexMarker", cls.create());
}

int define_pathrell(frame::Body& body) {
    Ref no_path = Ref::steal(PyTuple_Pack(1, Py_None));
    if (!no_path) return -1;
    frame::ClassBuilder cls("Pathrell", kPathrellDoc);
    cls.base(Ref::borrow(reinterpret_cast<PyObject*>(&PyList_Type)))
        .method<init_spec>()
        .static_method<flatten_spec>(no_path.get())
        .method<setitem_spec>()
        .method<append_spec>()
        .method<extend_spec>()
        .method<insert_spec>()
        .method<reconstruct_spec>();
    return body.assign("Pathrell", cls.create());
}

bool is_builtin_function(PyObject* obj, const char* name) {
    if (!PyCFunction_Check(obj)) return false;
    Ref own_name = Ref::steal(PyObject_GetAttrString(obj, "__name__"));
    Ref module = Ref::steal(PyObject_GetAttrString(obj, "__module__"));
    PyErr_Clear();
    return own_name && module && PyUnicode_CompareWithASCIIString(own_name.get(), name) == 0 &&
           PyUnicode_CompareWithASCIIString(module.get(), "builtins") == 0;
}

// Records what the fast paths compare against, once the classes exist.
// Nothing here can fail the import: a fast path that cannot be set up is
// simply never taken.
int remember_fast_paths() {
    auto type_is = [](PyObject* obj, PyTypeObject* type) { return obj == reinterpret_cast<PyObject*>(type); };
    g_plain_builtins = is_builtin_function(b_isinstance, "isinstance") &&
                       is_builtin_function(b_len, "len") && type_is(b_type, &PyType_Type) &&
                       type_is(b_int, &PyLong_Type) && type_is(b_list, &PyList_Type) &&
                       type_is(b_tuple, &PyTuple_Type) && type_is(b_enumerate, &PyEnum_Type);

    Ref dictitem = frame::global(s_DictItem);
    Ref marker = frame::global(s_IndexMarker);
    Ref pathrell = frame::global(s_Pathrell);
    Ref flatten_static = pathrell && PyType_Check(pathrell.get())
                             ? frame::class_lookup(reinterpret_cast<PyTypeObject*>(pathrell.get()), s_flatten)
                             : Ref();
    Ref mapping = frame::global(s_MutableMapping);
    Ref sequence_types = Ref::steal(PyTuple_Pack(2, b_list.get(), b_tuple.get()));
    PyObject* list_type = reinterpret_cast<PyObject*>(&PyList_Type);
    Ref list_append = frame::attr(list_type, s_append);
    Ref list_insert = frame::attr(list_type, s_insert);
    Ref list_extend = frame::attr(list_type, s_extend);
    Ref slice = Ref::steal(PySlice_New(nullptr, nullptr, nullptr));
    Ref minus_one = Ref::steal(PyLong_FromLong(-1));
    if (!dictitem || !marker || !pathrell || !mapping || !sequence_types || !list_append ||
        !list_insert || !list_extend || !slice || !minus_one)
        return -1;
    Py_XSETREF(g_dictitem, dictitem.release());
    Py_XSETREF(g_index_marker, marker.release());
    Py_XSETREF(g_pathrell, pathrell.release());
    if (flatten_static && Py_IS_TYPE(flatten_static.get(), &PyStaticMethod_Type))
        Py_XSETREF(g_flatten_static, flatten_static.release());
    Py_XSETREF(g_mutable_mapping, mapping.release());
    Py_XSETREF(g_abc_meta, Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(g_mutable_mapping))));
    Py_XSETREF(g_sequence_types, sequence_types.release());
    Py_XSETREF(g_list_append, list_append.release());
    Py_XSETREF(g_list_insert, list_insert.release());
    Py_XSETREF(g_list_extend, list_extend.release());
    Py_XSETREF(g_full_slice, slice.release());
    Py_XSETREF(g_minus_one, minus_one.release());

    if (g_watcher < 0) {
        g_watcher = PyType_AddWatcher(on_type_modified);
        if (g_watcher < 0) PyErr_Clear();
    }
    g_dictitem_pristine = watch(g_dictitem);
    PyTypeObject* dictitem_type = reinterpret_cast<PyTypeObject*>(g_dictitem);
    g_dictitem_slotless = PyType_Check(g_dictitem) && dictitem_type->tp_base == &PyTuple_Type &&
                          dictitem_type->tp_basicsize == PyTuple_Type.tp_basicsize &&
                          dictitem_type->tp_dictoffset == 0 && dictitem_type->tp_weaklistoffset == 0;
    g_index_marker_pristine = watch(g_index_marker);

    Ref abc = Ref::steal(PyImport_ImportModule("abc"));
    Ref token_fn = abc ? Ref::steal(PyObject_GetAttrString(abc.get(), "get_cache_token")) : Ref();
    if (!token_fn) {
        PyErr_Clear();
        return 0;
    }
    Py_XSETREF(g_cache_token_fn, token_fn.release());
    PyTypeObject* kept[std::size(g_known)] = {&PyList_Type,     &PyTuple_Type,  &PyUnicode_Type, &PyBytes_Type,
                            &PyByteArray_Type, &PyLong_Type,  &PyFloat_Type,   &PyComplex_Type,
                            &PyBool_Type,      Py_TYPE(Py_None), &PySet_Type,  &PyFrozenSet_Type};
    for (size_t i = 0; i < std::size(kept); ++i) g_known[i] = {kept[i], -1};
    g_abc_pristine = watch(g_mutable_mapping) && watch(g_abc_meta);
    return 0;
}

int module_body(frame::Body& body) {
    if (body.at(1).from_import("collections", {"namedtuple"}) < 0) return -1;
    if (body.at(2).from_import("collections.abc", {"MutableMapping"}) < 0) return -1;
    if (body.at(4).assign("DictItem", make_dictitem_type()) < 0) return -1;
    if (define_index_marker(body.at(7)) < 0) return -1;
    if (define_pathrell(body.at(21)) < 0) return -1;
    if (remember_fast_paths() < 0) return -1;
    return body.at(190).set_test(Ref::steal(PyDict_New()));
}

frame::ModuleSpec pathrell_module{"pathrell", nullptr, module_body};

}  // namespace

PyMODINIT_FUNC PyInit_pathrell(void) { return frame::define_module(pathrell_module); }
