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
#include <cstring>
#include <deque>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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
    PyObject* children = c[2];  // the caller's argument, alive for the call
    c.at(55);
    const int given = PyList_CheckExact(children) ? PyList_GET_SIZE(children) != 0 : PyObject_IsTrue(children);
    if (given < 0) return nullptr;
    Ref fresh;
    if (!given) {
        c.at(56);
        fresh = Ref::steal(PyList_New(0));
        if (!fresh) return nullptr;
        children = fresh.get();
    }
    c.at(58);
    if (frame::set_attr(self, s_name, c[1]) < 0) return nullptr;
    c.at(59);
    if (frame::set_attr(self, s_children, children) < 0) return nullptr;
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

// How a child's first line starts below its parent; the column that its
// other lines, and those of its subtree, carry one level further in.
enum class Prefix : uintptr_t { kNone = 0, kMiddle = 1, kLast = 2 };

constexpr const char* first_line_prefix(Prefix prefix) { return prefix == Prefix::kMiddle ? "|-- " : "`-- "; }
constexpr const char* column_of(Prefix prefix) { return prefix == Prefix::kMiddle ? "|   " : "    "; }

// One step of the text in one word: an owned exact str (or none) written
// after the prefix of a child's first line (or none), with that child's
// column left open for the steps that follow or closed again right after
// the text; or a number of columns to close. A text is an object, so the
// low three bits of its address are free for the rest.
class Step {
public:
    static Step text(PyObject* text, Prefix prefix) noexcept {
        return Step(reinterpret_cast<uintptr_t>(text) | static_cast<uintptr_t>(prefix));
    }
    static Step closing() noexcept { return Step(kClosing | kOneClose); }

    bool closes() const noexcept { return (bits_ & kPrefixBits) == kClosing; }
    uintptr_t closed() const noexcept { return bits_ / kOneClose; }
    Prefix prefix() const noexcept { return static_cast<Prefix>(bits_ & kPrefixBits); }
    PyObject* text() const noexcept { return closes() ? nullptr : reinterpret_cast<PyObject*>(bits_ & ~kTagBits); }
    // True when the step's column closes right after its text.
    bool scoped() const noexcept { return bits_ & kScoped; }
    // True when the step opened a column that is still open.
    bool opens() const noexcept { return !closes() && prefix() != Prefix::kNone && !scoped(); }

    void close_after_text() noexcept { bits_ |= kScoped; }
    void close_one_more() noexcept { bits_ += kOneClose; }

private:
    static_assert(alignof(PyObject) >= 8, "the low three bits of an object's address hold the tags");
    static constexpr uintptr_t kPrefixBits = 3, kClosing = 3, kScoped = 4, kTagBits = 7, kOneClose = 8;
    explicit Step(uintptr_t bits) noexcept : bits_(bits) {}
    uintptr_t bits_;
};

// The text being drawn, kept as the list of its steps: texts to write, each
// of their newlines followed by the indentation at that point, and the
// opening and closing of a child's column ("|   " or four spaces). The
// indentation is what splitting a child's text and joining it with the
// column prefix gives at each level above. The text's length and widest
// character are counted as the steps are recorded; `finish` then makes the
// str at its exact size and fills it in one pass: the peak is the result and
// a word or two per node, never a growing buffer and its copy. Recording may
// throw std::bad_alloc; `__str__` turns that into MemoryError.
class Canvas {
public:
    Canvas() = default;
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;
    ~Canvas() {
        for (Step step : steps_) Py_XDECREF(step.text());
    }
    // Counted across the whole drawing: most nodes have few children.
    bool interrupted() noexcept { return poll_.interrupted(); }

    // A child's first-line prefix; its column stays open until `close`.
    void open(Prefix prefix) noexcept {
        count(5 + 4 * depth_);  // the newline, the indentation and the prefix
        pending_ = prefix;
        max_depth_ = std::max(max_depth_, ++depth_);
    }
    // An exact str, held until the text is made; it follows the prefix
    // opened last, when no text followed that yet.
    void write(PyObject* text) {
        measure(text);
        record(Step::text(Py_NewRef(text), std::exchange(pending_, Prefix::kNone)));
    }
    void close() {
        --depth_;
        if (pending_ != Prefix::kNone) {
            Step step = Step::text(nullptr, std::exchange(pending_, Prefix::kNone));
            step.close_after_text();
            record(step);
        } else if (!steps_.empty() && steps_.back().opens()) {
            steps_.back().close_after_text();  // the innermost open column is this one
        } else if (!steps_.empty() && steps_.back().closes()) {
            steps_.back().close_one_more();
        } else {
            record(Step::closing());
        }
    }

    // The text; hands over every text held, made or not.
    Ref finish() {
        if (too_long_) {
            PyErr_NoMemory();
            return {};
        }
        // Made before the str and before any text is let go: nothing below can fail.
        std::string line(1, '\n');
        line.reserve(1 + 4 * static_cast<size_t>(max_depth_));
        Ref text = Ref::steal(PyUnicode_New(length_, widest_));
        if (!text) return {};
        switch (PyUnicode_KIND(text.get())) {
            case PyUnicode_1BYTE_KIND: fill(PyUnicode_1BYTE_DATA(text.get()), line); break;
            case PyUnicode_2BYTE_KIND: fill(PyUnicode_2BYTE_DATA(text.get()), line); break;
            default: fill(PyUnicode_4BYTE_DATA(text.get()), line); break;
        }
        steps_.clear();
        return text;
    }

private:
    void record(Step step) {
        try {
            steps_.push_back(step);
        } catch (...) {
            Py_XDECREF(step.text());
            throw;
        }
    }

    void count(Py_ssize_t units) noexcept { too_long_ |= __builtin_add_overflow(length_, units, &length_); }

    void measure(PyObject* text) noexcept {
        widest_ = std::max(widest_, PyUnicode_MAX_CHAR_VALUE(text));
        count(PyUnicode_GET_LENGTH(text));
        if (const Py_ssize_t lines = newlines(text)) {
            Py_ssize_t indentation;
            too_long_ |= __builtin_mul_overflow(lines, 4 * depth_, &indentation);
            count(indentation);
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

    static constexpr Py_ssize_t kShortText = 24;

    template <typename Unit>
    static const Unit* find_newline(const Unit* at, const Unit* end) noexcept {
        // Most texts are short names: a plain loop beats the library call there.
        if (sizeof(Unit) > 1 || end - at <= kShortText) return std::find(at, end, '\n');
        const void* found = std::memchr(at, '\n', static_cast<size_t>(end - at));
        return found ? static_cast<const Unit*>(found) : end;
    }

    static Py_ssize_t newlines(PyObject* text) noexcept {
        return units(text, [](const auto* at, Py_ssize_t length) {
            Py_ssize_t found = 0;
            for (const auto* end = at + length; (at = find_newline(at, end)) != end; ++at) ++found;
            return found;
        });
    }

    // Copies code units into the str being filled, widening them as needed.
    template <typename Out, typename Unit>
    static Out* put(Out* out, const Unit* at, const Unit* end) noexcept {
        if constexpr (sizeof(Unit) == sizeof(Out)) {
            std::memcpy(out, at, static_cast<size_t>(end - at) * sizeof(Out));
            return out + (end - at);
        } else {
            return std::copy(at, end, out);
        }
    }
    template <typename Out>
    static Out* put(Out* out, std::string_view ascii) noexcept {
        return put(out, reinterpret_cast<const Py_UCS1*>(ascii.data()),
                   reinterpret_cast<const Py_UCS1*>(ascii.data() + ascii.size()));
    }

    // Writes the steps into the str and lets go of each text once copied.
    // `line` is a newline followed by the indentation of the open columns.
    template <typename Out>
    void fill(Out* out, std::string& line) const noexcept {
        for (Step step : steps_) {
            if (step.closes()) {
                line.resize(line.size() - 4 * step.closed());
                continue;
            }
            if (step.prefix() != Prefix::kNone) {
                out = put(out, line);
                out = put(out, first_line_prefix(step.prefix()));
                line.append(column_of(step.prefix()));
            }
            if (PyObject* text = step.text()) {
                out = copy_indented(out, text, line);
                Py_DECREF(text);  // an exact str: freeing it runs no code
            }
            if (step.scoped()) line.resize(line.size() - 4);
        }
    }

    template <typename Out>
    static Out* copy_indented(Out* out, PyObject* text, std::string_view line) noexcept {
        return units(text, [&](const auto* at, Py_ssize_t length) {
            const auto* end = at + length;
            for (;;) {
                const auto* newline = find_newline(at, end);
                out = put(out, at, newline);
                if (newline == end) return out;
                out = put(out, line);
                at = newline + 1;
            }
        });
    }

    std::deque<Step, RawAllocator<Step>> steps_;
    Py_ssize_t length_ = 0;
    Py_UCS4 widest_ = 0;
    Py_ssize_t depth_ = 0;  // columns open where the next step goes
    Py_ssize_t max_depth_ = 0;
    Prefix pending_ = Prefix::kNone;  // a prefix opened that no step holds yet
    bool too_long_ = false;
    frame::SignalPoll poll_;
};

// One call of `__str__` drawing its tree: the canvas, the recursion levels
// its nested drawings take, and the children lists copied for the loops.
class Drawing {
public:
    Canvas canvas;
    frame::DepthBudget depth;

    // True when `str(child)` would run this module's own `__str__` on it.
    // Children mostly share one class: the last answer is kept under that
    // class's version tag, as the guard itself keeps it.
    bool draws_here(PyObject* child) noexcept;

    // `children[:-1]` of an exact list, copied as slicing copies it: the
    // items, each with a reference of its own, until the node is drawn.
    class Head {
    public:
        Head(Drawing& drawing, PyObject* list) : held_(drawing.held_), start_(held_.size()) {
            const Py_ssize_t size = std::max<Py_ssize_t>(PyList_GET_SIZE(list) - 1, 0);
            held_.reserve(start_ + static_cast<size_t>(size));
            for (Py_ssize_t i = 0; i < size; ++i) held_.push_back(Py_NewRef(PyList_GET_ITEM(list, i)));
        }
        ~Head() {
            for (size_t i = start_; i < held_.size(); ++i) Py_DECREF(held_[i]);
            held_.resize(start_);
        }
        Head(const Head&) = delete;
        Head& operator=(const Head&) = delete;

        size_t size() const noexcept { return held_.size() - start_; }
        // Deeper nodes add their own heads behind this one, so read by index.
        PyObject* operator[](size_t i) const noexcept { return held_[start_ + i]; }

    private:
        std::vector<PyObject*, RawAllocator<PyObject*>>& held_;
        size_t start_;
    };

private:
    std::vector<PyObject*, RawAllocator<PyObject*>> held_;
    PyTypeObject* known_type_ = nullptr;
    unsigned int known_tag_ = 0;
    bool known_answer_ = false;
};

// How a child hangs from its parent.
struct Branch {
    Prefix prefix;
    const frame::Str& first;  // "\n" and the prefix of the child's first line
    const frame::Str& rest;   // "\n" and the prefix of each of its other lines
    int line;                 // the statement `j = str(...).split('\n')`
};

const Branch kMiddle{Prefix::kMiddle, s_middle_first, s_middle_rest, 81};
const Branch kLast{Prefix::kLast, s_last_first, s_last_rest, 83};

int draw_node(PyObject* node, Drawing& drawing, Ref& result, int& line);

// The traceback entry that a failing call of `__str__` adds at `line`.
void add_str_traceback(int line);

// The levels that `str(child)` takes into `__str__`: one for str() itself and
// one for the call of the method, which counts against both limits.
constexpr int kStrCLevels = 2, kStrPyLevels = 1;

// The level that str() itself takes, left however the scope ends.
class StrLevel {
public:
    StrLevel() noexcept : failed_(Py_EnterRecursiveCall(" while getting the str of an object") != 0) {}
    ~StrLevel() {
        if (!failed_) Py_LeaveRecursiveCall();
    }
    StrLevel(const StrLevel&) = delete;
    StrLevel& operator=(const StrLevel&) = delete;
    bool failed() const noexcept { return failed_; }

private:
    bool failed_;
};

// `draw_nested` close to a recursion limit: each level taken as str() and
// the call take it, so that RecursionError comes exactly where it would.
int draw_nested_near_limit(PyObject* child, Drawing& drawing, Ref& text, int& line) {
    StrLevel str_level;
    if (str_level.failed()) return -1;
    frame::RecursionGuard call(" while calling a Python object");
    return call.failed() ? -1 : draw_node(child, drawing, text, line);
}

// `str(child)` for a child that `__str__` draws: the child is drawn straight
// onto the canvas, counted against the recursion limit as the two steps that
// str() takes into the method, and a failure gets the child's own traceback
// entry. Returns as draw_node does.
int draw_nested(PyObject* child, Drawing& drawing, Ref& text) {
    int line = branchel_str_line;
    int drawn;
    {
        frame::DepthBudget::Level level(drawing.depth, kStrCLevels, kStrPyLevels);
        drawn = level.taken() ? draw_node(child, drawing, text, line)
                              : draw_nested_near_limit(child, drawing, text, line);
    }
    if (drawn < 0) add_str_traceback(line);
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
int draw_child(PyObject* child, const Branch& branch, Drawing& drawing, int& line) {
    Canvas& canvas = drawing.canvas;
    canvas.open(branch.prefix);
    Ref text;
    if (drawing.draws_here(child)) {
        int drawn = draw_nested(child, drawing, text);
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
int add_child_text(PyObject* child, const Branch& branch, Drawing& drawing, Ref& string, int& line) {
    line = branch.line;
    if (!string) return draw_child(child, branch, drawing, line);
    Ref text = Ref::steal(PyObject_Str(child));
    Ref lines = text ? split_lines(text.get()) : Ref();
    if (!lines) return -1;
    line = branch.line + 1;
    Ref joined = Ref::steal(PyUnicode_Join(branch.rest, lines.get()));
    Ref piece = joined ? Ref::steal(PyUnicode_Concat(branch.first, joined.get())) : Ref();
    string = piece ? Ref::steal(PyNumber_InPlaceAdd(string.get(), piece.get())) : Ref();
    if (!string) return -1;
    if (PyUnicode_CheckExact(string.get())) {
        drawing.canvas.write(string.get());
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

// `children[-1]`; an exact list answers without the index object.
Ref last_of(PyObject* children) {
    if (PyList_CheckExact(children) && PyList_GET_SIZE(children) > 0)
        return Ref::borrow(PyList_GET_ITEM(children, PyList_GET_SIZE(children) - 1));
    return Ref::steal(PyObject_GetItem(children, g_minus_one));
}

// `not self.children` read afresh: 1 when the node has children, 0 when
// not, -1 on error. An exact list answers by its size, as its truth test does.
int has_children(PyObject* node) {
    Ref children = frame::attr(node, s_children);
    if (!children) return -1;
    if (PyList_CheckExact(children.get())) return PyList_GET_SIZE(children.get()) != 0;
    return PyObject_IsTrue(children.get());
}

// The loop over `self.children[:-1]`, the head copied as slicing copies it.
// An exact list's head is held in `exact` until the node is drawn; any
// other head is the object that slicing returns, walked through its iterator.
int draw_head(PyObject* node, Drawing& drawing, std::optional<Drawing::Head>& exact, Ref& string, int& line) {
    line = 80;
    Ref children = frame::attr(node, s_children);
    if (!children) return -1;
    if (PyList_CheckExact(children.get())) {
        exact.emplace(drawing, children.get());
        children.reset();
        for (size_t i = 0; i < exact->size(); ++i) {
            if (add_child_text((*exact)[i], kMiddle, drawing, string, line) < 0) return -1;
            line = 80;
        }
        return 0;
    }
    Ref head = all_but_last(children.get());
    children.reset();
    Ref iterator = head ? Ref::steal(PyObject_GetIter(head.get())) : Ref();
    if (!iterator) return -1;
    while (Ref child = Ref::steal(PyIter_Next(iterator.get()))) {
        if (add_child_text(child.get(), kMiddle, drawing, string, line) < 0) return -1;
        line = 80;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// The statements of `__str__` for `node`, drawn onto the canvas at its
// current indentation. Returns 1 when the node's text is on the canvas, 0
// when the node's result is the object left in `result` (the name of a node
// without children, or a name whose `+` never gave an exact str; nothing is
// on the canvas then), -1 with an error set; `line` holds the statement
// running when it returned.
int draw_node(PyObject* node, Drawing& drawing, Ref& result, int& line) {
    line = 77;
    if (drawing.canvas.interrupted()) return -1;
    Ref string = frame::attr(node, s_name);
    if (!string) return -1;
    line = 78;
    int any = has_children(node);
    if (any < 0) return -1;
    if (!any) {
        line = 79;
        result = std::move(string);
        return 0;
    }
    if (PyUnicode_CheckExact(string.get())) {
        drawing.canvas.write(string.get());
        string.reset();
    }

    std::optional<Drawing::Head> head;  // held until the node is drawn
    if (draw_head(node, drawing, head, string, line) < 0) return -1;

    line = 83;
    Ref children = frame::attr(node, s_children);
    Ref last = children ? last_of(children.get()) : Ref();
    children.reset();
    if (!last || add_child_text(last.get(), kLast, drawing, string, line) < 0) return -1;

    line = 85;
    if (!string) return 1;
    result = std::move(string);
    return 0;
}

PyObject* branchel_str(Call& c) {
    Ref result;
    int line = branchel_str_line;
    try {
        Drawing drawing;
        int drawn = draw_node(c[0], drawing, result, line);
        if (drawn > 0) result = drawing.canvas.finish();
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
// The last class asked about keeps its answer under its version tag.
bool Drawing::draws_here(PyObject* child) noexcept {
    PyTypeObject* type = Py_TYPE(child);
    if (type == known_type_ && frame::tag_holds(type, known_tag_)) return known_answer_;
    return frame::keep_under_tag(
        type, [type]() noexcept { return type != &PyUnicode_Type && frame::resolves_to(type, s_str, branchel_str_spec.object); },
        [this, type](unsigned int tag, bool answer) noexcept {
            known_type_ = type;
            known_tag_ = tag;
            known_answer_ = answer;
        });
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
