// tyvern: read-only properties computed from the class they are read through.
//
// `TyvernDescriptor` wraps a function and, as a non-data descriptor, calls it
// with the owner class on every read: `Shape.area`, `Shape().area` and
// `Circle.area` call `func(Shape)`, `func(Shape)` and `func(Circle)`. Nothing
// is cached, and having no `__set__`, it gives way to an instance attribute
// of the same name. `tyvern` is the same class under the decorator's name.
//
// Ownership: a descriptor holds its function in its instance dictionary.
#include "frame.hpp"

namespace {

using frame::Call;
using frame::Ref;

frame::Str s_func{"func"}, s_TyvernDescriptor{"TyvernDescriptor"}, s_get{"__get__"};

frame::Builtin b_object{"object"};

const char* const kTyvernDoc =
    "Class-level property descriptor\n"
    "\n"
    "    A descriptor class allowing classes to have their own properties that\n"
    "    can be overwritten, inherited and so on. It adds read-only class-level\n"
    "    property functionality, and is meant to be used as a decorator.\n"
    "\n"
    "    Example:\n"
    "        >>> class SomeClass(object):\n"
    "        ...     @tyvern\n"
    "        ...     def sometyvern(cls):\n"
    "        ...         return 100\n"
    "        >>> SomeClass.sometyvern\n"
    "        100\n"
    "        >>> SomeClass().sometyvern\n"
    "        100\n"
    "    ";

PyObject* tyvern_init(Call& c) {
    c.at(23);
    if (frame::set_attr(c[0], s_func, c[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* tyvern_get(Call& c) {
    c.at(26);
    Ref func = frame::attr(c[0], s_func);
    if (!func) return nullptr;
    return frame::call_one_arg(func.get(), c[2]);
}

const frame::FunctionSpec tyvern_init_spec{
    .name = "__init__", .qualname = "TyvernDescriptor.__init__", .params = {"self", "func"},
    .line = 22, .body = tyvern_init};
const frame::FunctionSpec tyvern_get_spec{
    .name = "__get__", .qualname = "TyvernDescriptor.__get__", .params = {"self", "obj", "owner"},
    .line = 25, .body = tyvern_get};

// Every read of a descriptor goes through its type's `tp_descr_get` slot. For
// a class that defines `__get__`, the interpreter's slot looks the method up
// in the MRO and calls it through the generic call path with an argument
// tuple. While `__get__` on the descriptor's type still resolves to the
// library's own function, this slot runs that function's body directly: the
// same binding, recursion count and traceback entry, none of the detour.
// Otherwise (the class's dictionaries hold a key whose comparison would run
// Python code, say) the class gets back the interpreter's own slot, kept
// when the class was made, for good: from then on every read is the
// interpreter's, with its lookup, its cache and its handling of errors.
// Assigning or deleting `__get__` on the class makes the interpreter replace
// the slot itself; subclasses get the interpreter's slot when they are made.
descrgetfunc g_interpreter_read = nullptr;

PyObject* read_descriptor(PyObject* self, PyObject* obj, PyObject* owner) {
    static frame::SiteGuard guard;
    PyObject* get = tyvern_get_spec.object;
    PyObject* args[] = {self, obj ? obj : Py_None, owner ? owner : Py_None};
    if (get && guard.resolves_to(Py_TYPE(self), s_get, get)) return frame::invoke(tyvern_get_spec, get, args, 3, nullptr);
    // The class's own function, running another code for now: called as the
    // interpreter's slot calls it, and this slot stays for when the code is back.
    if (get && frame::code_displaced(get)) {
        Ref found = frame::class_lookup(Py_TYPE(self), s_get);
        if (found.get() == get) return frame::call_function(get, args, 3, nullptr);
    }
    if (!g_interpreter_read) return Py_NewRef(self);
    if (Py_TYPE(self)->tp_descr_get == read_descriptor) Py_TYPE(self)->tp_descr_get = g_interpreter_read;
    return g_interpreter_read(self, obj, owner);
}

void install_direct_reads(PyObject* descriptor_class) {
    auto* type = reinterpret_cast<PyTypeObject*>(descriptor_class);
    g_interpreter_read = type->tp_descr_get;
    type->tp_descr_get = read_descriptor;
    PyType_Modified(type);
}

// ---------------------------------------------------------------------------
// Module body

int module_body(frame::Body& body) {
    body.at(4);
    frame::ClassBuilder cls("TyvernDescriptor", kTyvernDoc);
    cls.base(Ref::borrow(b_object)).method<tyvern_init_spec>().method<tyvern_get_spec>();
    Ref descriptor = cls.create();
    if (!descriptor) return -1;
    install_direct_reads(descriptor.get());
    if (body.assign("TyvernDescriptor", std::move(descriptor)) < 0) return -1;
    if (body.at(29).assign("tyvern", frame::global(s_TyvernDescriptor)) < 0) return -1;
    return body.at(30).set_test(Ref::steal(PyDict_New()));
}

frame::ModuleSpec tyvern_module{"tyvern", nullptr, module_body};

}  // namespace

PyMODINIT_FUNC PyInit_tyvern(void) { return frame::define_module(tyvern_module); }
