// configuration: a nested settings store with loaders.
//
// `Configuration` is a `NestedKeyvane` whose every store passes the value
// through the outside `typecast_str`, whose `copy` copies each nested block,
// and which fills itself from INI-style files, YAML files and the entry
// points of a named group. Loaded data always arrives through `update`, so
// the merge and dotted-key rules of the base class apply to every source.
//
// Ownership: instances hold strong references to their entries, nothing
// else. Every method calls back into Python (the conversion, `update`, the
// parsers, entry points, logging); nothing borrowed is kept across a call.
#include "frame.hpp"
#include "keyvane_api.hpp"

namespace {

using frame::Call;
using frame::Ref;

frame::Str s_NestedKeyvane{"NestedKeyvane"}, s_typecast_str{"typecast_str"},
    s_get_entry_points{"get_entry_points"}, s_os{"os"}, s_path{"path"}, s_isfile{"isfile"},
    s_yaml{"yaml"}, s_safe_load{"safe_load"},
    s_logger{"logger"}, s_exception{"exception"},
    s_configparser{"configparser"}, s_ConfigParser{"ConfigParser"}, s_DEFAULTSECT{"DEFAULTSECT"},
    s_delimiters{"delimiters"}, s_comment_prefixes{"comment_prefixes"}, s_read{"read"},
    s_setitem{"__setitem__"}, s_update{"update"}, s_pop{"pop"}, s_load{"load"}, s_dist{"dist"},
    s_enter{"__enter__"}, s_exit{"__exit__"}, s_equals{"="}, s_hash{"#"}, s_read_mode{"r"},
    s_empty{""}, s_failed{"Failed to load configuration from entrypoint: "};

frame::Builtin b_open{"open"}, b_Exception{"Exception"};

const char* const kCopyDoc =
    "copy\n"
    "\n"
    "        This slightly differs from the standard Mapping.copy() api: it always\n"
    "        takes a nested object copy if it encounters another Configuration\n"
    "        block underneath, so that configuration does not get corrupted when a\n"
    "        subcomponent takes a copy and updates it for its own use.\n"
    "\n"
    "        Returns:\n"
    "            a new instance of the same class, with every nested block copied\n"
    "        ";

const char* const kLoadEntrypointDoc =
    "Populate this configuration by loading an entrypoint\n"
    "\n"
    "        The design of this API is so that configuration can be scattered in\n"
    "        different packages and loaded when needed and if installed.\n"
    "\n"
    "        This requires the entrypoint to be a dict/Configuration like object.\n"
    "        It would be good practise for each module owner with a lot of\n"
    "        configuration to have their own local config.cfg file and load it as\n"
    "        part of the entrypoint module.\n"
    "\n"
    "        Arguments:\n"
    "            group (str): name of the entrypoint group to load\n"
    "\n"
    "        Returns:\n"
    "            list of the entrypoints whose configuration was merged\n"
    "        ";

// ---------------------------------------------------------------------------
// The store

PyObject* configuration_copy(Call& c) {
    PyObject* self = c[0];
    c.at(28);
    return PyObject_CallOneArg(reinterpret_cast<PyObject*>(Py_TYPE(self)), self);
}

// NestedKeyvane and its __setitem__, as imported.
PyObject* g_nested_keyvane = nullptr;
PyObject* g_nested_setitem = nullptr;

// typecast_str(value), read from the module globals.
PyObject* convert_for_store(PyObject* value) {
    static frame::KeptGlobal typecast_global{s_typecast_str};
    Ref typecast_str = typecast_global.get();
    return typecast_str ? frame::call_one_arg(typecast_str.get(), value) : nullptr;
}

// `super().__setitem__`, found before the value is converted, as the
// statement finds it: NestedKeyvane's own function while super() reaches it
// (called with `self` directly), else the attribute of a real super object.
Ref super_setitem(const Call& c, PyObject* self, bool& unbound) {
    unbound = g_nested_setitem &&
              frame::super_reaches(c, self, s_setitem, reinterpret_cast<PyTypeObject*>(g_nested_keyvane)) &&
              frame::resolves_to(reinterpret_cast<PyTypeObject*>(g_nested_keyvane), s_setitem, g_nested_setitem);
    if (unbound) return Ref::borrow(g_nested_setitem);
    Ref proxy = frame::super_proxy(c, self);
    return proxy ? frame::attr(proxy.get(), s_setitem) : Ref();
}

PyObject* configuration_setitem(Call& c) {
    PyObject* self = c[0];
    c.at(32);
    bool unbound = false;
    Ref method = super_setitem(c, self, unbound);
    Ref value = method ? Ref::steal(convert_for_store(c[2])) : Ref();
    if (!value) return nullptr;
    if (!unbound) return PyObject_CallFunctionObjArgs(method.get(), c[1], value.get(), nullptr);
    PyObject* args[] = {self, c[1], value.get()};
    return PyObject_Vectorcall(method.get(), args, 3, nullptr);
}

// ---------------------------------------------------------------------------
// Loaders

// configparser.ConfigParser(delimiters=('=',), comment_prefixes=('#',))
Ref make_parser() {
    Ref configparser = frame::global(s_configparser);
    Ref parser_class = configparser ? frame::attr(configparser.get(), s_ConfigParser) : Ref();
    if (!parser_class) return {};
    Ref delimiters = Ref::steal(PyTuple_Pack(1, s_equals.get()));
    Ref prefixes = Ref::steal(PyTuple_Pack(1, s_hash.get()));
    if (!delimiters || !prefixes) return {};
    PyObject* args[] = {nullptr, delimiters.get(), prefixes.get()};
    Ref names = Ref::steal(PyTuple_Pack(2, s_delimiters.get(), s_comment_prefixes.get()));
    if (!names) return {};
    return Ref::steal(PyObject_Vectorcall(parser_class.get(), args + 1,
                                          0 | PY_VECTORCALL_ARGUMENTS_OFFSET, names.get()));
}

PyObject* configuration_load_cfgs(Call& c) {
    PyObject* self = c[0];
    c.at(35);
    Ref config = make_parser();
    if (!config) return nullptr;
    c.at(38);
    Ref loaded_files = Ref::steal(PyObject_CallMethodOneArg(config.get(), s_read, c.rest()));
    if (!loaded_files) return nullptr;
    c.at(41);
    Ref update = frame::attr(self, s_update);
    if (!update || !Ref::steal(PyObject_CallOneArg(update.get(), config.get()))) return nullptr;
    c.at(44);
    Ref pop = frame::attr(self, s_pop);
    Ref configparser = pop ? frame::global(s_configparser) : Ref();
    Ref section = configparser ? frame::attr(configparser.get(), s_DEFAULTSECT) : Ref();
    if (!section || !Ref::steal(PyObject_CallOneArg(pop.get(), section.get()))) return nullptr;
    c.at(46);
    return loaded_files.release();
}

// os.path.isfile(file)
int is_file(PyObject* file) {
    Ref os = frame::global(s_os);
    Ref path = os ? frame::attr(os.get(), s_path) : Ref();
    Ref isfile = path ? frame::attr(path.get(), s_isfile) : Ref();
    Ref answer = isfile ? Ref::steal(PyObject_CallOneArg(isfile.get(), file)) : Ref();
    return answer ? PyObject_IsTrue(answer.get()) : -1;
}

// self.update(yaml.safe_load(f))
int merge_yaml(PyObject* self, PyObject* f) {
    Ref update = frame::attr(self, s_update);
    Ref yaml = update ? frame::global(s_yaml) : Ref();
    Ref safe_load = yaml ? frame::attr(yaml.get(), s_safe_load) : Ref();
    Ref document = safe_load ? Ref::steal(PyObject_CallOneArg(safe_load.get(), f)) : Ref();
    if (!document) return -1;
    return Ref::steal(PyObject_CallOneArg(update.get(), document.get())) ? 0 : -1;
}

// with open(file, 'r') as f:
//     self.update(yaml.safe_load(f))
// `__enter__` and `__exit__` are taken from the type, as a `with` does. The
// file is closed on every way out of the block; an exception from the block
// is handed to `__exit__` and then raised again, never swallowed.
int load_yaml_file(Call& c, PyObject* self, PyObject* file) {
    c.at(51);
    Ref manager = Ref::steal(PyObject_CallFunctionObjArgs(b_open, file, s_read_mode.get(), nullptr));
    if (!manager) return -1;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(manager.get()));
    Ref enter = frame::attr(type, s_enter);
    Ref exit = enter ? frame::attr(type, s_exit) : Ref();
    Ref f = exit ? Ref::steal(PyObject_CallOneArg(enter.get(), manager.get())) : Ref();
    if (!f) return -1;
    c.at(52);
    if (merge_yaml(self, f.get()) == 0) {
        c.at(51);
        return Ref::steal(PyObject_CallFunctionObjArgs(exit.get(), manager.get(), Py_None, Py_None,
                                                       Py_None, nullptr))
                   ? 0
                   : -1;
    }
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    {
        frame::Handling handling(raised.get());
        Ref traceback = Ref::steal(PyException_GetTraceback(raised.get()));
        PyObject* args[] = {nullptr, manager.get(), reinterpret_cast<PyObject*>(Py_TYPE(raised.get())),
                            raised.get(), traceback ? traceback.get() : Py_None};
        c.at(51);
        if (!Ref::steal(PyObject_Vectorcall(exit.get(), args + 1, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                            nullptr)))
            return -1;
    }
    // Raised again as it was, from the statement that failed.
    c.at(52);
    PyErr_SetRaisedException(raised.release());
    return -1;
}

PyObject* configuration_load_yamls(Call& c) {
    PyObject* self = c[0];
    // The paths arrive as the *args tuple, which nothing can change while
    // the walk runs; a borrowed walk over it is the walk over a list copy.
    PyObject* files = c.rest();
    c.at(49);
    Ref loaded = Ref::steal(PyList_New(0));
    if (!loaded) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(files); ++i) {
        PyObject* file = PyTuple_GET_ITEM(files, i);
        c.at(50);
        int exists = is_file(file);
        if (exists < 0) return nullptr;
        if (!exists) {
            c.at(54);
            continue;
        }
        if (load_yaml_file(c, self, file) < 0) return nullptr;
        if (PyList_Append(loaded.get(), file) < 0) return nullptr;
    }
    c.at(56);
    return PyList_AsTuple(loaded.get());
}

// self.update(ep.load())
int merge_entry_point(PyObject* self, PyObject* ep) {
    Ref update = frame::attr(self, s_update);
    Ref load = update ? frame::attr(ep, s_load) : Ref();
    Ref data = load ? Ref::steal(PyObject_CallNoArgs(load.get())) : Ref();
    if (!data) return -1;
    return Ref::steal(PyObject_CallOneArg(update.get(), data.get())) ? 0 : -1;
}

// except Exception:
//     logger.exception(f"Failed to load configuration from entrypoint: {ep.dist}")
// Runs with the caught exception as the one being handled, so the record
// carries its traceback and any error raised here names it as its context.
int log_failed_entry_point(Call& c, PyObject* ep) {
    Ref caught = Ref::steal(PyErr_GetRaisedException());
    frame::Handling handling(caught.get());
    c.at(77);
    Ref logger = frame::global(s_logger);
    Ref exception = logger ? frame::attr(logger.get(), s_exception) : Ref();
    if (!exception) return -1;
    c.at(78);
    Ref dist = frame::attr(ep, s_dist);
    Ref dist_text = dist ? Ref::steal(PyObject_Format(dist.get(), s_empty)) : Ref();
    Ref message = dist_text ? Ref::steal(PyUnicode_Concat(s_failed, dist_text.get())) : Ref();
    if (!message) return -1;
    c.at(77);
    return Ref::steal(PyObject_CallOneArg(exception.get(), message.get())) ? 0 : -1;
}

PyObject* configuration_load_entrypoint(Call& c) {
    PyObject* self = c[0];
    c.at(70);
    Ref loaded_eps = Ref::steal(PyList_New(0));
    if (!loaded_eps) return nullptr;
    c.at(72);
    Ref get_entry_points = frame::global(s_get_entry_points);
    Ref eps = get_entry_points ? Ref::steal(PyObject_CallOneArg(get_entry_points.get(), c[1])) : Ref();
    if (!eps) return nullptr;
    c.at(73);
    Ref iterator = Ref::steal(PyObject_GetIter(eps.get()));
    if (!iterator) return nullptr;
    while (Ref ep = Ref::steal(PyIter_Next(iterator.get()))) {
        c.at(75);
        if (merge_entry_point(self, ep.get()) < 0) {
            if (!PyErr_ExceptionMatches(b_Exception)) return nullptr;
            // As in a compiled `except`, the caught exception's traceback
            // already includes this method at the failing line.
            frame::add_function_traceback(c.spec(), 75);
            if (log_failed_entry_point(c, ep.get()) < 0) return nullptr;
        } else {
            c.at(80);
            if (PyList_Append(loaded_eps.get(), ep.get()) < 0) return nullptr;
        }
        c.at(73);
    }
    if (PyErr_Occurred()) return nullptr;
    c.at(82);
    return loaded_eps.release();
}

const frame::FunctionSpec copy_spec{
    .name = "copy", .qualname = "Configuration.copy", .params = {"self"}, .line = 16,
    .doc = kCopyDoc, .body = configuration_copy};
const frame::FunctionSpec setitem_spec{
    .name = "__setitem__", .qualname = "Configuration.__setitem__",
    .params = {"self", "key", "value"}, .line = 30, .uses_super = true,
    .body = configuration_setitem};
// How keyvane runs Configuration.__setitem__ for the levels of a dotted
// store and for the stores of a merge (keyvane_api.hpp).
void add_store_traceback(bool started) {
    frame::add_function_traceback(setitem_spec, started ? 32 : setitem_spec.line);
}
keyvane_api::ConvertingStore g_converting_store{nullptr, convert_for_store, add_store_traceback};

const frame::FunctionSpec load_cfgs_spec{
    .name = "load_cfgs", .qualname = "Configuration.load_cfgs", .params = {"self"},
    .varargs = "files", .locals = {"config", "loaded_files"}, .line = 34,
    .body = configuration_load_cfgs};
const frame::FunctionSpec load_yamls_spec{
    .name = "load_yamls", .qualname = "Configuration.load_yamls", .params = {"self"},
    .varargs = "files", .locals = {"file", "f"}, .line = 48, .body = configuration_load_yamls};
const frame::FunctionSpec load_entrypoint_spec{
    .name = "load_entrypoint", .qualname = "Configuration.load_entrypoint",
    .params = {"self", "group"}, .locals = {"loaded_eps", "eps", "ep"}, .line = 58,
    .doc = kLoadEntrypointDoc, .body = configuration_load_entrypoint};

// ---------------------------------------------------------------------------
// Module body

// Remembers NestedKeyvane and its __setitem__ and registers this module's
// store with keyvane. Without keyvane's table (or with a NestedKeyvane that
// is not keyvane's class), every store takes the general path.
int link_to_keyvane() {
    Ref nested_keyvane = frame::global(s_NestedKeyvane);
    if (!nested_keyvane) return -1;
    if (!PyType_Check(nested_keyvane.get())) return 0;
    Ref setitem = frame::class_lookup(reinterpret_cast<PyTypeObject*>(nested_keyvane.get()), s_setitem);
    if (!setitem) return PyErr_Occurred() ? -1 : 0;
    Py_XSETREF(g_nested_setitem, setitem.release());
    Py_XSETREF(g_nested_keyvane, nested_keyvane.release());
    const keyvane_api::Table* table = keyvane_api::find_table();
    if (!table || !setitem_spec.object) return 0;
    g_converting_store.function = setitem_spec.object;
    return table->register_converting_store(&g_converting_store);
}

int define_configuration(frame::Body& body) {
    frame::ClassBuilder cls("Configuration");
    cls.base(frame::global(s_NestedKeyvane))
        .method<copy_spec>()
        .method<setitem_spec>()
        .method<load_cfgs_spec>()
        .method<load_yamls_spec>()
        .method<load_entrypoint_spec>();
    if (body.assign("Configuration", cls.create()) < 0) return -1;
    return link_to_keyvane();
}

int module_body(frame::Body& body) {
    if (body.at(1).import("os") < 0) return -1;
    if (body.at(2).import("yaml") < 0) return -1;
    if (body.at(3).import("logging") < 0) return -1;
    if (body.at(4).import("configparser") < 0) return -1;
    if (body.at(5).from_import("collections.abc", {"Mapping"}) < 0) return -1;
    if (body.at(7).from_relative_import("keyvane", {"NestedKeyvane"}) < 0) return -1;
    if (body.at(9).from_import("morvath.utils.strings", {"typecast_str"}) < 0) return -1;
    if (body.at(10).from_import("morvath.utils.import_utils", {"get_entry_points"}) < 0) return -1;
    if (body.at(12).assign_logger() < 0) return -1;
    if (define_configuration(body.at(14)) < 0) return -1;
    return body.at(84).set_test(Ref::steal(PyDict_New()));
}

frame::ModuleSpec configuration_module{"configuration", nullptr, module_body};

}  // namespace

PyMODINIT_FUNC PyInit_configuration(void) { return frame::define_module(configuration_module); }
