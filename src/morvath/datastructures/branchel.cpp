// branchel: tree nodes that draw their subtree as line art.
//
// `Branchel` holds a `name` and a `children` list. Its string form is the
// name followed by one line group per child, each child's own string form
// split at its newlines: "|-- " before the first line and "|   " before the
// others for every child but the last, "`-- " and four spaces for the last.
//
// Drawing: the whole tree is written onto one canvas, which makes the str
// once, at its exact size. A child whose class draws through this module's
// own `__str__` is drawn straight onto the canvas one column further in,
// instead of being rendered to a str,
// split and joined again at every level above it; every other child goes
// through `str()`. Both give the same text, the same errors and the same
// recursion limit. A name that is not an exact str takes each child's piece
// with `+=`, exactly as written, until that yields an exact str.
//
// Ownership: instances hold strong references to their name and children.
// `str()` of a child, attribute reads, truth tests and iteration may run
// Python code that changes the tree being drawn; the drawing holds a strong
// reference to every object it walks and re-reads `children` at each use.
// The canvas holds a reference to every text it will copy.
#include "frame.hpp"

#include <algorithm>
#include <deque>
#include <new>
#include <string>

namespace {

using frame::Call;
using frame::Ref;

frame::Str s_name{"name"}, s_children{"children"}, s_append{"append"}, s_str{"__str__"},
    s_split{"split"}, s_newline{"\n"}, s_middle_first{"\n|-- "}, s_middle_rest{"\n|   "},
    s_last_first{"\n`-- "}, s_last_rest{"\n    "};

frame::Builtin b_object{"object"};

constexpr int branchel_str_line = 72;  // the `def` of `__str__`

// Constants of `self.children[:-1]` and `self.children[-1]`, made once.
PyObject* g_all_but_last = nullptr;
PyObject* g_minus_one = nullptr;

const char* const kBranchelDoc =
    "Tree Tree Class\n"
    "\n"
    "    A class to mimic the printing behavior of linux tree command.\n"
    "\n"
    "    Example:\n"
    "        >>> grandmother = Branchel('grandmother')\n"
    "        >>> daughter = Branchel('daughter')\n"
    "        >>> son = Branchel('son')\n"
    "        >>> grandmother.add_child(daughter)\n"
    "        >>> grandmother.add_child(son)\n"
    "        >>> daughter.add_child(Branchel('granddaughterA'))\n"
    "        >>> daughter.add_child(Branchel('grandsonB'))\n"
    "        >>> granddaughterC = Branchel('granddaughterC')\n"
    "        >>> granddaughterD = Branchel('granddaughterD')\n"
    "        >>> son.add_child(Branchel('granddaughterB'))\n"
    "        >>> son.add_child(Branchel('grandsonB'))\n"
    "        >>> son.add_child(granddaughterC)\n"
    "        >>> son.add_child(granddaughterD)\n"
    "        >>> granddaughterC.add_child(Branchel('grandgranddaughterA'))\n"
    "        >>> granddaughterC.add_child(Branchel('grandgrandsonA'))\n"
    "        >>> granddaughterD.add_child(Branchel('grandgranddaughterB'))\n"
    "        >>> granddaughterD.add_child(Branchel('grandgrandsonB'))\n"
    "        >>> print(grandmother)\n"
    "        grandmother\n"
    "        |-- daughter\n"
    "        |   |-- granddaughterA\n"
    "        |   `-- grandsonB\n"
    "        `-- son\n"
    "            |-- granddaughterB\n"
    "            |-- grandsonB\n"
    "            |-- granddaughterC\n"
    "            |   |-- grandgranddaughterA\n"
    "            |   `-- grandgrandsonA\n"
    "            `-- granddaughterD\n"
    "                |-- grandgranddaughterB\n"
    "                `-- grandgrandsonB\n"
    "    ";

const char* const kInitDoc =
    "class __init__\n"
    "\n"
    "        Arguments:\n"
    "            name (str): name of Branchel\n"
    "            children (list): list of children Branchels\n"
    "        ";

const char* const kAddChildDoc =
    "Add children\n"
    "\n"
    "        adds a children Branchel to this Branchel\n"
    "\n"
    "        Arguments:\n"
    "            item (Branchel): children node to add\n"
    "        ";

const char* const kStrDoc =
    "String formatter\n"
    "\n"
    "        Returns the tree formatted as a string.\n"
    "        ";

// ---------------------------------------------------------------------------
// Construction

PyObject* branchel_init(Call& c) {
    PyObject* self = c[0];
    Ref children = Ref::borrow(c[2]);
    c.at(55);
    const int given = PyList_CheckExact(children.get()) ? PyList_GET_SIZE(children.get()) != 0
                                                        : PyObject_IsTrue(children.get());
    if (given < 0) return nullptr;
    if (!given) {
        c.at(56);
        children = Ref::steal(PyList_New(0));
        if (!children) return nullptr;
    }
    c.at(58);
    if (frame::set_attr(self, s_name, c[1]) < 0) return nullptr;
    c.at(59);
    if (frame::set_attr(self, s_children, children.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* branchel_add_child(Call& c) {
    c.at(70);
    Ref children = frame::attr(c[0], s_children);
    if (!children) return nullptr;
    if (PyList_CheckExact(children.get())) {
        if (PyList_Append(children.get(), c[1]) < 0) return nullptr;
        Py_RETURN_NONE;
    }
    Ref appended = Ref::steal(PyObject_CallMethodOneArg(children.get(), s_append, c[1]));
    if (!appended) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Drawing

// Storage from the interpreter's raw allocator, so that memory tracing
// counts it with the text it stands for.
template <typename T>
struct RawAllocator {
    using value_type = T;
    RawAllocator() noexcept = default;
    template <typename U>
    RawAllocator(const RawAllocator<U>&) noexcept {}
    T* allocate(size_t count) {
        void* memory = count <= PY_SSIZE_T_MAX / sizeof(T) ? PyMem_RawMalloc(count * sizeof(T)) : nullptr;
        if (!memory) throw std::bad_alloc();
        return static_cast<T*>(memory);
    }
    void deallocate(T* memory, size_t) noexcept { PyMem_RawFree(memory); }
    template <typename U>
    bool operator==(const RawAllocator<U>&) const noexcept { return true; }
};

// The text being drawn, kept as the list of its steps: texts to write, each
// of their newlines followed by the indentation at that point, and the
// opening and closing of a child's column ("|   " or four spaces). The
// indentation is what splitting a child's text and joining it with the
// column prefix gives at each level above. Once the tree is walked, the
// text's length and width are known, and `finish` makes the str at its exact
// size and fills it in one pass: the peak is the result and a few words per
// node, never a growing buffer and its copy. Recording may throw
// std::bad_alloc; `__str__` turns that into MemoryError.
class Canvas {
public:
    Canvas() = default;
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;
    ~Canvas() {
        for (const Step& step : steps_) Py_XDECREF(step.text);
    }
    // Counted across the whole drawing: most nodes have few children.
    bool interrupted() noexcept { return poll_.interrupted(); }

    // An exact str, held until the text is made.
    void write(PyObject* text) { record(Py_NewRef(text), kNone); }
    // A child's first-line prefix, then its column for the lines below.
    void open(PyObject* prefix, const char* column) { record(Py_NewRef(prefix), column[0]); }
    void close() {
        // Folded into the text written last, when that opened nothing.
        if (!steps_.empty() && steps_.back().text && steps_.back().column == kNone)
            steps_.back().column = kClose;
        else
            record(nullptr, kClose);
    }

    Ref finish() const {
        Py_ssize_t length = 0;
        Py_UCS4 widest = 0;
        Py_ssize_t depth = 0;
        for (const Step& step : steps_) {
            if (step.text) {
                widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(step.text));
                length += PyUnicode_GET_LENGTH(step.text) + newlines(step.text) * 4 * depth;
            }
            if (step.column == kClose)
                --depth;
            else if (step.column != kNone)
                ++depth;
        }
        Ref text = Ref::steal(PyUnicode_New(length, widest));
        if (!text) return {};
        switch (PyUnicode_KIND(text.get())) {
            case PyUnicode_1BYTE_KIND: fill(PyUnicode_1BYTE_DATA(text.get())); break;
            case PyUnicode_2BYTE_KIND: fill(PyUnicode_2BYTE_DATA(text.get())); break;
            default: fill(PyUnicode_4BYTE_DATA(text.get())); break;
        }
        return text;
    }

private:
    static constexpr char kNone = 0, kClose = 1;

    // Steps are kept in fixed-size blocks, so recording never copies them.
    struct Step {
        PyObject* text;  // owned; null when the step only closes a column
        char column;     // the column opened after the text ('|' or ' '), kNone or kClose
    };

    void record(PyObject* text, char column) {
        try {
            steps_.push_back({text, column});
        } catch (...) {
            Py_XDECREF(text);
            throw;
        }
    }

    // Runs `f` on the code units of an exact str.
    template <typename F>
    static auto units(PyObject* text, F&& f) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        switch (PyUnicode_KIND(text)) {
            case PyUnicode_1BYTE_KIND: return f(PyUnicode_1BYTE_DATA(text), length);
            case PyUnicode_2BYTE_KIND: return f(PyUnicode_2BYTE_DATA(text), length);
            default: return f(PyUnicode_4BYTE_DATA(text), length);
        }
    }

    static Py_ssize_t newlines(PyObject* text) {
        return units(text, [](const auto* at, Py_ssize_t length) -> Py_ssize_t {
            return std::count(at, at + length, '\n');
        });
    }

    template <typename Out>
    void fill(Out* out) const {
        std::string indentation;
        for (const Step& step : steps_) {
            if (step.text) out = copy_indented(out, step.text, indentation);
            if (step.column == kClose)
                indentation.resize(indentation.size() - 4);
            else if (step.column != kNone)
                indentation.append(step.column == '|' ? "|   " : "    ", 4);
        }
    }

    template <typename Out>
    static Out* copy_indented(Out* out, PyObject* text, const std::string& indentation) {
        return units(text, [&](const auto* at, Py_ssize_t length) {
            const auto* end = at + length;
            for (;;) {
                const auto* newline = std::find(at, end, '\n');
                out = std::copy(at, newline, out);
                if (newline == end) return out;
                *out++ = '\n';
                out = std::copy(indentation.begin(), indentation.end(), out);
                at = newline + 1;
            }
        });
    }

    std::deque<Step, RawAllocator<Step>> steps_;
    frame::SignalPoll poll_;
};

// How a child hangs from its parent.
struct Branch {
    const frame::Str& first;  // "\n" and the prefix of the child's first line
    const frame::Str& rest;   // "\n" and the prefix of each of its other lines
    const char* column;       // the prefix of the other lines alone
    int line;                 // the statement `j = str(...).split('\n')`
};

const Branch kMiddle{s_middle_first, s_middle_rest, "|   ", 81};
const Branch kLast{s_last_first, s_last_rest, "    ", 83};

int draw_node(PyObject* node, Canvas& canvas, Ref& result, int& line);

// True when `str(child)` would run this module's own `__str__` on it.
bool draws_here(PyObject* child);

// The traceback entry that a failing call of `__str__` adds at `line`.
void add_str_traceback(int line);

// `str(child)` for a child that `__str__` draws: the child is drawn straight
// onto the canvas, counted against the recursion limit as the two steps that
// str() takes into the method, and a failure gets the child's own traceback
// entry. Returns as draw_node does.
int draw_nested(PyObject* child, Canvas& canvas, Ref& text) {
    if (Py_EnterRecursiveCall(" while getting the str of an object")) return -1;
    int drawn;
    {
        frame::RecursionGuard call(" while calling a Python object");
        int line = branchel_str_line;
        drawn = call.failed() ? -1 : draw_node(child, canvas, text, line);
        if (drawn < 0) add_str_traceback(line);
    }
    Py_LeaveRecursiveCall();
    return drawn;
}

// `text.split('\n')`, through the text's own `split` unless it is an exact str.
Ref split_lines(PyObject* text) {
    if (PyUnicode_CheckExact(text)) return Ref::steal(PyUnicode_Split(text, s_newline, -1));
    return Ref::steal(PyObject_CallMethodOneArg(text, s_split, s_newline));
}

// A child of a node whose text is on the canvas: the branch prefix, then the
// child's text one column in. A text that is not an exact str is split by
// its own `split` and joined with the column prefix, as written.
int draw_child(PyObject* child, const Branch& branch, Canvas& canvas, int& line) {
    canvas.open(branch.first, branch.column);
    Ref text;
    if (draws_here(child)) {
        int drawn = draw_nested(child, canvas, text);
        if (drawn < 0) return -1;
        if (drawn > 0) {
            canvas.close();
            return 0;
        }
        // The child's `__str__` returned an object of its own: str() checks it.
        if (!PyUnicode_Check(text.get())) {
            PyErr_Format(PyExc_TypeError, "__str__ returned non-string (type %.200s)",
                         Py_TYPE(text.get())->tp_name);
            return -1;
        }
    } else {
        text = Ref::steal(PyObject_Str(child));
        if (!text) return -1;
    }
    if (PyUnicode_CheckExact(text.get())) {
        canvas.write(text.get());
        canvas.close();
        return 0;
    }
    canvas.close();
    Ref lines = split_lines(text.get());
    if (!lines) return -1;
    line = branch.line + 1;
    Ref joined = Ref::steal(PyUnicode_Join(branch.rest, lines.get()));
    if (!joined) return -1;
    canvas.write(joined.get());
    return 0;
}

// One child's statements, `j = str(child).split('\n')` and then
// `string += first + rest.join(j)`: one in-place addition of the whole piece.
// `string` is null while the node's text is on the canvas; otherwise it is
// the node's text so far, a name that is not an exact str, added to until
// the addition yields an exact str.
int add_child_text(PyObject* child, const Branch& branch, Canvas& canvas, Ref& string, int& line) {
    line = branch.line;
    if (!string) return draw_child(child, branch, canvas, line);
    Ref text = Ref::steal(PyObject_Str(child));
    Ref lines = text ? split_lines(text.get()) : Ref();
    if (!lines) return -1;
    line = branch.line + 1;
    Ref joined = Ref::steal(PyUnicode_Join(branch.rest, lines.get()));
    Ref piece = joined ? Ref::steal(PyUnicode_Concat(branch.first, joined.get())) : Ref();
    string = piece ? Ref::steal(PyNumber_InPlaceAdd(string.get(), piece.get())) : Ref();
    if (!string) return -1;
    if (PyUnicode_CheckExact(string.get())) {
        canvas.write(string.get());
        string.reset();
    }
    return 0;
}

// `children[:-1]`. An object that supports no subscription at all gets the
// slicing message rather than the subscription one.
Ref all_but_last(PyObject* children) {
    PyTypeObject* type = Py_TYPE(children);
    if (!PyType_GetSlot(type, Py_mp_subscript) && !PyType_GetSlot(type, Py_sq_item) &&
        !PyType_Check(children)) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", type->tp_name);
        return {};
    }
    return Ref::steal(PyObject_GetItem(children, g_all_but_last));
}

// The statements of `__str__` for `node`, drawn onto the canvas at its
// current indentation. Returns 1 when the node's text is on the canvas, 0
// when the node's result is the object left in `result` (the name of a node
// without children, or a name whose `+` never gave an exact str; nothing is
// on the canvas then), -1 with an error set; `line` holds the statement
// running when it returned.
int draw_node(PyObject* node, Canvas& canvas, Ref& result, int& line) {
    line = 77;
    if (canvas.interrupted()) return -1;
    Ref string = frame::attr(node, s_name);
    if (!string) return -1;
    line = 78;
    Ref children = frame::attr(node, s_children);
    if (!children) return -1;
    int any = PyObject_IsTrue(children.get());
    children.reset();
    if (any < 0) return -1;
    if (!any) {
        line = 79;
        result = std::move(string);
        return 0;
    }
    if (PyUnicode_CheckExact(string.get())) {
        canvas.write(string.get());
        string.reset();
    }

    line = 80;
    children = frame::attr(node, s_children);
    Ref head = children ? all_but_last(children.get()) : Ref();
    children.reset();
    Ref iterator = head ? Ref::steal(PyObject_GetIter(head.get())) : Ref();
    if (!iterator) return -1;
    while (Ref child = Ref::steal(PyIter_Next(iterator.get()))) {
        if (add_child_text(child.get(), kMiddle, canvas, string, line) < 0) return -1;
        line = 80;
    }
    if (PyErr_Occurred()) return -1;

    line = 83;
    children = frame::attr(node, s_children);
    Ref last = children ? Ref::steal(PyObject_GetItem(children.get(), g_minus_one)) : Ref();
    children.reset();
    if (!last || add_child_text(last.get(), kLast, canvas, string, line) < 0) return -1;

    line = 85;
    if (!string) return 1;
    result = std::move(string);
    return 0;
}

PyObject* branchel_str(Call& c) {
    Ref result;
    int line = branchel_str_line;
    try {
        Canvas canvas;
        int drawn = draw_node(c[0], canvas, result, line);
        if (drawn > 0) result = canvas.finish();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        result.reset();
    }
    c.at(line);
    return result.release();
}

const frame::FunctionSpec branchel_init_spec{
    .name = "__init__", .qualname = "Branchel.__init__", .params = {"self", "name", "children"},
    .line = 46, .doc = kInitDoc, .body = branchel_init};
const frame::FunctionSpec branchel_add_child_spec{
    .name = "add_child", .qualname = "Branchel.add_child", .params = {"self", "item"},
    .line = 62, .doc = kAddChildDoc, .body = branchel_add_child};
const frame::FunctionSpec branchel_str_spec{
    .name = "__str__", .qualname = "Branchel.__str__", .params = {"self"},
    .locals = {"string", "i", "j"}, .line = branchel_str_line, .doc = kStrDoc,
    .body = branchel_str};

void add_str_traceback(int line) { frame::add_function_traceback(branchel_str_spec, line); }

// True when `child`'s class still draws through the library's own
// `Branchel.__str__`, so that its text can go straight onto the canvas.
bool draws_here(PyObject* child) {
    PyTypeObject* type = Py_TYPE(child);
    return type != &PyUnicode_Type && frame::resolves_to(type, s_str, branchel_str_spec.object);
}

// ---------------------------------------------------------------------------
// Module body

int make_constants() {
    if (!g_minus_one) g_minus_one = PyLong_FromLong(-1);
    if (!g_all_but_last && g_minus_one) g_all_but_last = PySlice_New(nullptr, g_minus_one, nullptr);
    return g_all_but_last ? 0 : -1;
}

int module_body(frame::Body& body) {
    if (make_constants() < 0) return -1;
    body.at(6);
    Ref init_defaults = Ref::steal(PyTuple_Pack(1, Py_None));
    if (!init_defaults) return -1;
    frame::ClassBuilder cls("Branchel", kBranchelDoc);
    cls.base(Ref::borrow(b_object))
        .method<branchel_init_spec>(init_defaults.get())
        .method<branchel_add_child_spec>()
        .method<branchel_str_spec>();
    Ref branchel = cls.create();
    if (!branchel) return -1;
    if (body.assign("Branchel", std::move(branchel)) < 0) return -1;
    return body.at(86).set_test(Ref::steal(PyDict_New()));
}

frame::ModuleSpec branchel_module{"branchel", nullptr, module_body};

}  // namespace

PyMODINIT_FUNC PyInit_branchel(void) { return frame::define_module(branchel_module); }
