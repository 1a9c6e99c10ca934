// logic: callable logic expressions over regular-expression and callable checks.
//
// `BaseLogic` keeps the checks in its public `expressions` list: compiled
// patterns for string arguments, the callables themselves otherwise. `And`,
// `Or` and `Not` judge the checks one after another against the items they
// are called with and stop as soon as the answer is known. `logic_str` builds
// such objects from text, accepting only calls of logic classes with string
// arguments, so text from a command line or a file never runs code.
//
// Ownership: an instance holds its `expressions` list and nothing else. The
// list is public, and every check (callables, nested expressions, str() of an
// item) runs Python code that may change it; walks therefore hold the list
// and each entry strongly and re-read the list's size after every step.
#include "frame.hpp"

#include <cstring>
#include <new>
#include <vector>

namespace {

using frame::Call;
using frame::Ref;

frame::Str s_re{"re"}, s_compile{"compile"},
    s_name{"__name__"}, s_doc{"__doc__"}, s_expressions{"expressions"}, s_append{"append"},
    s_pattern{"pattern"}, s_flags{"flags"}, s_search{"search"}, s_BaseLogic{"BaseLogic"},
    s_decode_cli_string{"decode_cli_string"}, s_quoted{"'%s'"}, s_separator{", "},
    s_message{"Not a properly formatted logic string: %s"}, s_source_name{"<string>"},
    s_body{"body"}, s_func{"func"}, s_args{"args"}, s_keywords{"keywords"}, s_id{"id"},
    s_value{"value"}, s_arg{"arg"}, s_logic_str{"logic_str"}, s_test_key{"logic_str (line 180)"};

frame::Builtin b_TypeError{"TypeError"}, b_ValueError{"ValueError"},
    b_NotImplementedError{"NotImplementedError"}, b_Exception{"Exception"};

// Objects the fast paths compare against, fixed when the module body runs.
PyObject* g_base_logic = nullptr;      // the class BaseLogic
PyObject* g_pattern_type = nullptr;    // re.Pattern
PyObject* g_pattern_search = nullptr;  // re.Pattern.search, the method descriptor

const char* const kBaseLogicDoc =
    "BaseLogic Class\n"
    "\n"
    "    Base class of And/Nor/Or. It exists only to gather the code that the\n"
    "    logic classes share; by itself it does no meaningful logical testing.\n"
    "    ";

const char* const kInitDoc =
    "built-in __init__\n"
    "\n"
    "        Stores the expressions given by the user for use by __call__. A\n"
    "        string expression is compiled into a regex search.\n"
    "\n"
    "        Arguments:\n"
    "            *expressions (str or callable): the checks of this expression\n"
    "        ";

const char* const kCallDoc =
    "built-in __call__\n"
    "\n"
    "        Feeds the given items to each expression. Items are cast to their\n"
    "        string form for regex expressions. When several items are given, an\n"
    "        expression holds when one of the items satisfies it.\n"
    "        ";

const char* const kStrDoc =
    "built-in __str__\n"
    "\n"
    "        Returns the string form of the expression logic.\n"
    "        ";

const char* const kReprDoc =
    "built-in __repr__\n"
    "\n"
    "        ditto.\n"
    "        ";

const char* const kEqDoc =
    "built-in __eq__\n"
    "\n"
    "        Expressions are equal when their types are equal and their contained\n"
    "        expressions are equal.\n"
    "        ";

const char* const kAndDoc =
    "Logical And\n"
    "\n"
    "    True when all expressions are satisfied, False otherwise. When a list of\n"
    "    items is tested, True as long as each expression tests True against one\n"
    "    of the items.\n"
    "    ";

const char* const kOrDoc =
    "Logical Or\n"
    "\n"
    "    True when one or more expressions are satisfied, False when none is. When\n"
    "    a list of items is tested, True as long as one expression tests True\n"
    "    against one of the items.\n"
    "    ";

const char* const kNotDoc =
    "Logical Not\n"
    "\n"
    "    True when none of the expressions is satisfied. When a list of items is\n"
    "    tested, True only when all items test False.\n"
    "    ";

const char* const kLogicStrDoc =
    "Logic String Conversion\n"
    "\n"
    "    Converts a logic form string to objects. Mostly used for command-line\n"
    "    parsing of arguments. The text is a call of a logic class (And, Or, Not)\n"
    "    whose arguments are string literals, the name string (the text itself)\n"
    "    or further such calls; nothing else is evaluated.\n"
    "\n"
    "    Example:\n"
    "        >>> logic = logic_str(\"And('a', 'b')\")\n"
    "        >>> logic('ab')\n"
    "        True\n"
    "\n"
    "    Arguments:\n"
    "        string (str): string form of input logic\n"
    "\n"
    "    Returns:\n"
    "        logic expression object\n"
    "    ";

// Walks `iterable` as a for statement does, handing each item to `visit`,
// which returns -1 on error, 1 to stop the walk and 0 to go on. The result is
// that of the last visit, or -1 when the iteration itself fails. A list is
// walked by index, re-reading its size after every visit (visit may change
// it), with each item held strongly while it is visited.
template <class Visit>
int walk(PyObject* iterable, Visit&& visit) {
    frame::SignalPoll poll;
    if (PyList_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); ++i) {
            if (poll.interrupted()) return -1;
            Ref item = Ref::borrow(PyList_GET_ITEM(iterable, i));
            if (int outcome = visit(item.get())) return outcome;
        }
        return 0;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(iterable));
    if (!iterator) return -1;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (poll.interrupted()) return -1;
        if (int outcome = visit(item.get())) return outcome;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// ---------------------------------------------------------------------------
// BaseLogic

// re.compile(text), with `re` read from the module globals.
Ref compile_pattern(PyObject* text) {
    Ref re = frame::global(s_re);
    Ref compile = re ? frame::attr(re.get(), s_compile) : Ref();
    return compile ? Ref::steal(PyObject_CallOneArg(compile.get(), text)) : Ref();
}

void raise_not_a_check(PyObject* obj) {
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "Expression only accepts str and callable. Got: %S (%S)", obj, Py_TYPE(obj)));
    if (message) PyErr_SetObject(b_TypeError, message.get());
}

// self.expressions.append(entry), reading the attribute afresh.
int append_expression(PyObject* self, PyObject* entry) {
    Ref expressions = frame::attr(self, s_expressions);
    if (!expressions) return -1;
    if (PyList_CheckExact(expressions.get())) return PyList_Append(expressions.get(), entry);
    return Ref::steal(PyObject_CallMethodOneArg(expressions.get(), s_append, entry)) ? 0 : -1;
}

PyObject* base_init(Call& c) {
    PyObject* self = c[0];
    PyObject* arguments = c.rest();
    c.at(34);
    Ref fresh = Ref::steal(PyList_New(0));
    if (!fresh || frame::set_attr(self, s_expressions, fresh.get()) < 0) return nullptr;
    for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(arguments); ++index) {
        Ref obj = Ref::borrow(PyTuple_GET_ITEM(arguments, index));
        c.at(36);
        int text = frame::is_str(obj.get());
        if (text < 0) return nullptr;
        if (text) {
            c.at(37);
            obj = compile_pattern(obj.get());
            if (!obj) return nullptr;
        } else if (!PyCallable_Check(obj.get())) {
            c.at(41);
            raise_not_a_check(obj.get());
            return nullptr;
        }
        c.at(43);
        if (append_expression(self, obj.get()) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* base_call(Call& c) {
    c.at(67);
    PyErr_SetNone(b_NotImplementedError);
    return nullptr;
}

PyObject* base_str(Call& c) {
    PyObject* self = c[0];
    c.at(76);
    Ref parts = Ref::steal(PyList_New(0));
    if (!parts) return nullptr;
    c.at(77);
    Ref expressions = frame::attr(self, s_expressions);
    if (!expressions) return nullptr;
    int walked = walk(expressions.get(), [&](PyObject* expr) -> int {
        Ref part;
        if (PyCallable_Check(expr)) {
            c.at(79);
            part = Ref::steal(PyObject_Repr(expr));
        } else {
            c.at(81);
            Ref pattern = frame::attr(expr, s_pattern);
            if (pattern) part = Ref::steal(PyUnicode_Format(s_quoted, pattern.get()));
        }
        if (!part || PyList_Append(parts.get(), part.get()) < 0) return -1;
        c.at(77);
        return 0;
    });
    if (walked < 0) return nullptr;
    c.at(83);
    Ref name = frame::attr(reinterpret_cast<PyObject*>(Py_TYPE(self)), s_name);
    Ref joined = Ref::steal(PyUnicode_Join(s_separator, parts.get()));
    if (!name || !joined) return nullptr;
    return PyUnicode_FromFormat("%S(%U)", name.get(), joined.get());
}

PyObject* base_repr(Call& c) {
    c.at(90);
    return PyObject_Str(c[0]);
}

PyObject* base_eq(Call& c) {
    PyObject* self = c[0];
    PyObject* other = c[1];
    c.at(98);
    if (Py_TYPE(self) != Py_TYPE(other)) Py_RETURN_FALSE;
    c.at(100);
    Ref mine = frame::attr(self, s_expressions);
    Ref theirs = mine ? frame::attr(other, s_expressions) : Ref();
    return theirs ? PyObject_RichCompare(mine.get(), theirs.get(), Py_EQ) : nullptr;
}

const frame::FunctionSpec base_init_spec{
    .name = "__init__", .qualname = "BaseLogic.__init__", .params = {"self"},
    .varargs = "expressions", .locals = {"index", "obj"}, .line = 19, .doc = kInitDoc,
    .body = base_init};
const frame::FunctionSpec base_call_spec{
    .name = "__call__", .qualname = "BaseLogic.__call__", .params = {"self"}, .line = 45,
    .doc = kCallDoc, .body = base_call};
const frame::FunctionSpec base_str_spec{
    .name = "__str__", .qualname = "BaseLogic.__str__", .params = {"self"},
    .locals = {"expressions", "expr"}, .line = 69, .doc = kStrDoc, .body = base_str};
const frame::FunctionSpec base_repr_spec{
    .name = "__repr__", .qualname = "BaseLogic.__repr__", .params = {"self"}, .line = 85,
    .doc = kReprDoc, .body = base_repr};
const frame::FunctionSpec base_eq_spec{
    .name = "__eq__", .qualname = "BaseLogic.__eq__", .params = {"self", "other"}, .line = 92,
    .doc = kEqDoc, .body = base_eq};

// ---------------------------------------------------------------------------
// And, Or, Not
//
// One entry is judged against all the items: a nested expression gets them
// all in one call; a callable is called with each item in turn and a pattern
// searches the string form of each item, every item being tried before the
// results are tested (as `any([...])` would), so a callable sees all items
// even when the first one already satisfied it.

// isinstance(expr, base). Patterns and plain functions can never be
// instances of the library's own BaseLogic, whose metaclass is `type`: their
// `__class__` is fixed to their type, so the answer needs no attribute lookup.
int is_logic(PyObject* expr, PyObject* base) {
    if (base == g_base_logic) {
        if (PyType_IsSubtype(Py_TYPE(expr), reinterpret_cast<PyTypeObject*>(base))) return 1;
        if (Py_TYPE(expr) == reinterpret_cast<PyTypeObject*>(g_pattern_type) ||
            PyFunction_Check(expr))
            return 0;
    }
    return PyObject_IsInstance(expr, base);
}

// any([each(i) for i in items]): every result is made first, in order, then
// their truth is taken in order, as the list comprehension gives it.
template <typename Each>
int any_of_each(PyObject* items, Each&& each) {
    const Py_ssize_t count = PyTuple_GET_SIZE(items);
    std::vector<Ref> results;
    results.reserve(static_cast<size_t>(count));
    frame::SignalPoll poll;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (poll.interrupted()) return -1;
        Ref result = each(PyTuple_GET_ITEM(items, i));
        if (!result) return -1;
        results.push_back(std::move(result));
    }
    for (const Ref& result : results) {
        if (int truth = PyObject_IsTrue(result.get())) return truth;
    }
    return 0;
}

// any([check(i) for i in items])
int any_of_calls(PyObject* check, PyObject* items) {
    return any_of_each(items, [check](PyObject* item) {
        return Ref::steal(PyObject_Vectorcall(check, &item, 1, nullptr));
    });
}

// `i if type(i) is str else str(i)`
Ref string_form(PyObject* item) {
    return PyUnicode_CheckExact(item) ? Ref::borrow(item) : Ref::steal(PyObject_Str(item));
}

// any([expr.search(i if type(i) is str else str(i)) for i in items]): for
// each item in turn, `search` is looked up, then the item converted, then
// the search called.
int any_of_searches(PyObject* expr, PyObject* items) {
    return any_of_each(items, [expr](PyObject* item) {
        Ref search = frame::attr(expr, s_search);
        Ref text = search ? string_form(item) : Ref();
        if (!text) return Ref();
        PyObject* arg = text.get();
        return Ref::steal(PyObject_Vectorcall(search.get(), &arg, 1, nullptr));
    });
}

// Character classes that do not depend on the C locale.
bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

// A pattern made only of plain characters, perhaps anchored by a leading
// "^" and a trailing "$", compiled without flags: whether it finds a match
// in a text is a question of substrings, answered without the regular
// expression engine. Without MULTILINE, "^" matches only at the start and
// "$" at the end or before a final newline.
class LiteralPattern {
public:
    // Reads `pattern`; false (and no error) when it is not of this form.
    bool read(PyObject* pattern) {
        Ref flags = frame::attr(pattern, s_flags);
        Ref source = flags ? frame::attr(pattern, s_pattern) : Ref();
        if (!source || !PyLong_CheckExact(flags.get()) || !PyUnicode_Check(source.get())) {
            PyErr_Clear();
            return false;
        }
        if (PyLong_AsLong(flags.get()) != kUnicodeFlag) {
            PyErr_Clear();  // an overflow is simply not the flag either
            return false;
        }
        Py_ssize_t start = 0, end = PyUnicode_GET_LENGTH(source.get());
        at_start_ = end > start && PyUnicode_READ_CHAR(source.get(), start) == '^';
        start += at_start_;
        at_end_ = end > start && PyUnicode_READ_CHAR(source.get(), end - 1) == '$';
        end -= at_end_;
        for (Py_ssize_t i = start; i < end; ++i) {
            if (!is_plain(PyUnicode_READ_CHAR(source.get(), i))) return false;
        }
        body_ = Ref::steal(PyUnicode_Substring(source.get(), start, end));
        if (!body_) PyErr_Clear();
        return static_cast<bool>(body_);
    }

    // Whether a search of `text` (a str) finds a match: 1, 0, or -1 on error.
    int found_in(PyObject* text) const {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        if (at_end_ && ends_with(text, length)) return 1;
        if (at_end_ && length > 0 && PyUnicode_READ_CHAR(text, length - 1) == '\n')
            return ends_with(text, length - 1);
        if (at_end_) return 0;
        if (at_start_) return static_cast<int>(PyUnicode_Tailmatch(text, body_.get(), 0, length, -1));
        const Py_ssize_t where = PyUnicode_Find(text, body_.get(), 0, length, 1);
        return where == -2 ? -1 : where >= 0;
    }

private:
    static constexpr long kUnicodeFlag = 32;  // re.UNICODE, implied for str patterns

    // Characters that stand for themselves wherever they appear in a pattern.
    static bool is_plain(Py_UCS4 c) {
        return c < 128 && (is_ascii_letter(static_cast<char>(c)) || is_ascii_digit(static_cast<char>(c)) ||
                           std::strchr(" _-!\"%&',/:;<=>@`~", static_cast<int>(c)) != nullptr) &&
               c != 0;
    }

    // Whether text[:end] ends with the body (and, anchored at the start, is it).
    int ends_with(PyObject* text, Py_ssize_t end) const {
        if (at_start_ && end != PyUnicode_GET_LENGTH(body_.get())) return 0;
        return static_cast<int>(PyUnicode_Tailmatch(text, body_.get(), 0, end, 1));
    }

    Ref body_;
    bool at_start_ = false, at_end_ = false;
};

// The same for a real compiled pattern. Its type is immutable and its
// instances have no attributes of their own, so `search` is always the
// type's method and looking it up has no effect: it is called directly. Its
// results are match objects or None, whose truth runs no code, and a search
// of a str has no effect either; so once an item matched, the items left
// are only converted (a conversion may run code), not searched, and a plain
// pattern is answered by substring tests.
int any_pattern_match(PyObject* pattern, PyObject* items) {
    const Py_ssize_t count = PyTuple_GET_SIZE(items);
    LiteralPattern literal;
    const bool plain = count > 0 && literal.read(pattern);
    bool found = false;
    frame::SignalPoll poll;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (poll.interrupted()) return -1;
        PyObject* item = PyTuple_GET_ITEM(items, i);
        if (found && PyUnicode_CheckExact(item)) continue;
        Ref text = string_form(item);
        if (!text) return -1;
        if (found) continue;
        if (plain) {
            int hit = literal.found_in(text.get());
            if (hit < 0) return -1;
            found = hit;
            continue;
        }
        PyObject* args[] = {pattern, text.get()};
        Ref match = Ref::steal(PyObject_Vectorcall(g_pattern_search, args, 2, nullptr));
        if (!match) return -1;
        found = match.get() != Py_None;
    }
    return found;
}

bool is_real_pattern(PyObject* expr) {
    return g_pattern_search && Py_TYPE(expr) == reinterpret_cast<PyTypeObject*>(g_pattern_type);
}

// The source lines of the statements of one `__call__`.
struct CallLines {
    int loop, nested_test, nested_call, callable_test, callable_calls, pattern_searches;
};

// The verdict of one entry for the items: 1 true, 0 false, -1 error.
int verdict(Call& c, const CallLines& at, PyObject* expr, PyObject* items) {
    c.at(at.nested_test);
    Ref base = frame::global(s_BaseLogic);
    if (!base) return -1;
    int nested = is_logic(expr, base.get());
    if (nested < 0) return -1;
    if (nested) {
        c.at(at.nested_call);
        Ref result = Ref::steal(PyObject_Call(expr, items, nullptr));
        return result ? PyObject_IsTrue(result.get()) : -1;
    }
    c.at(at.callable_test);
    if (PyCallable_Check(expr)) {
        c.at(at.callable_calls);
        return any_of_calls(expr, items);
    }
    c.at(at.pattern_searches);
    return is_real_pattern(expr) ? any_pattern_match(expr, items) : any_of_searches(expr, items);
}

// How a class combines verdicts: the walk stops at the first entry whose
// verdict is `stop_on` and answers `on_stop`; otherwise it answers `at_end`.
struct Combination {
    int stop_on;
    bool on_stop, at_end;
    CallLines lines;
};

constexpr Combination kAnd{0, false, true, {114, 115, 116, 118, 119, 122}};
constexpr Combination kOr{1, true, false, {140, 141, 142, 144, 145, 148}};
constexpr Combination kNot{1, false, true, {166, 167, 168, 170, 171, 174}};

template <const Combination& K>
PyObject* logic_call(Call& c) {
    PyObject* items = c.rest();
    c.at(K.lines.loop);
    Ref expressions = frame::attr(c[0], s_expressions);
    if (!expressions) return nullptr;
    try {
        int stopped = walk(expressions.get(), [&](PyObject* expr) -> int {
            int truth = verdict(c, K.lines, expr, items);
            if (truth < 0) return -1;
            c.at(K.lines.loop);
            return truth == K.stop_on ? 1 : 0;
        });
        if (stopped < 0) return nullptr;
        return frame::boolean(stopped ? K.on_stop : K.at_end).release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

const frame::FunctionSpec and_call_spec{
    .name = "__call__", .qualname = "And.__call__", .params = {"self"}, .varargs = "items",
    .locals = {"expr", "i"}, .line = 113, .body = logic_call<kAnd>};
const frame::FunctionSpec or_call_spec{
    .name = "__call__", .qualname = "Or.__call__", .params = {"self"}, .varargs = "items",
    .locals = {"expr", "i"}, .line = 139, .body = logic_call<kOr>};
const frame::FunctionSpec not_call_spec{
    .name = "__call__", .qualname = "Not.__call__", .params = {"self"}, .varargs = "items",
    .locals = {"expr", "i"}, .line = 165, .body = logic_call<kNot>};

// ---------------------------------------------------------------------------
// logic_str
//
// The text is parsed as one Python expression and read as a small language:
//
//     logic    := NAME '(' [argument (',' argument)*] ')'
//     argument := string literal | 'string' | logic
//
// where NAME is bound in the module globals, when logic_str is called, to a
// class derived from BaseLogic. The whole text is checked first and turned
// into a list of steps (push a value, or call a class with the last n
// values); only a text that passes runs, and then only the classes'
// constructors. Anything else is refused with an error that says what was
// refused, before any code runs.

// The node classes of the `ast` module, read once on first use.
struct AstClasses {
    PyObject* expression = nullptr;
    PyObject* call = nullptr;
    PyObject* name = nullptr;
    PyObject* constant = nullptr;
};
AstClasses g_ast;

int load_ast_classes() {
    if (g_ast.constant) return 0;
    Ref ast = Ref::steal(PyImport_ImportModule("ast"));
    if (!ast) return -1;
    Ref expression = Ref::steal(PyObject_GetAttrString(ast.get(), "Expression"));
    Ref call = Ref::steal(PyObject_GetAttrString(ast.get(), "Call"));
    Ref name = Ref::steal(PyObject_GetAttrString(ast.get(), "Name"));
    Ref constant = Ref::steal(PyObject_GetAttrString(ast.get(), "Constant"));
    if (!expression || !call || !name || !constant) return -1;
    g_ast.expression = expression.release();
    g_ast.call = call.release();
    g_ast.name = name.release();
    g_ast.constant = constant.release();
    return 0;
}

bool is_node(PyObject* node, PyObject* cls) {
    return Py_TYPE(node) == reinterpret_cast<PyTypeObject*>(cls);
}

// The name of a node's class, for the refusal messages ("Attribute", "Lambda").
Ref node_kind(PyObject* node) { return Ref::steal(PyType_GetName(Py_TYPE(node))); }

void refuse(const char* what, PyObject* node) {
    Ref kind = node_kind(node);
    if (kind) PyErr_Format(PyExc_ValueError, "unsupported %s: %U", what, kind.get());
}

// The source of `text` the way eval() reads a string: UTF-8 without null
// bytes, leading spaces and tabs skipped.
const char* source_of(PyObject* text, Py_ssize_t& size) {
    if (!PyUnicode_Check(text)) {
        PyErr_Format(PyExc_TypeError, "logic string must be str, not %.200s", Py_TYPE(text)->tp_name);
        return nullptr;
    }
    const char* source = PyUnicode_AsUTF8AndSize(text, &size);
    if (!source) return nullptr;
    if (std::memchr(source, '\0', static_cast<size_t>(size))) {
        PyErr_SetString(PyExc_SyntaxError, "source code string cannot contain null bytes");
        return nullptr;
    }
    const char* start = source;
    while (*source == ' ' || *source == '\t') ++source;
    size -= source - start;
    return source;
}

// The AST of a source, parsed as a single expression, coding cookies ignored.
Ref parse(const char* source) {
    PyCompilerFlags flags{PyCF_ONLY_AST | PyCF_IGNORE_COOKIE, PY_MINOR_VERSION};
    return Ref::steal(Py_CompileStringObject(source, s_source_name, Py_eval_input, &flags, -1));
}

// The common form of a logic string, read without the compiler: calls of
// ASCII names that are not keywords, string literals without backslashes,
// the name `string`, spaces and tabs between the parts and an optional
// trailing comma. Anything else (line breaks, comments, escapes, prefixes,
// other names, deep nesting) is left to the compiler's reading, which gives
// the same steps for the common form and the exact errors for the rest.
class QuickReader {
public:
    // In the order the compiler's tree lists them: a call before its arguments.
    struct Token {
        const char* at;     // the name called, or the literal's text
        Py_ssize_t size;
        Py_ssize_t nargs;   // a call's argument count, kLiteral or kText
    };
    static constexpr Py_ssize_t kLiteral = -1, kText = -2;

    // True when the whole source is of the common form.
    bool read(const char* source, Py_ssize_t size) {
        at_ = source;
        end_ = source + size;
        if (!call(0)) return false;
        skip_blanks();
        return at_ == end_;
    }
    const std::vector<Token>& tokens() const { return tokens_; }

private:
    static constexpr int kMaxDepth = 50;

    bool call(int depth) {
        Token name{at_, 0, 0};
        if (depth > kMaxDepth || !identifier(name) || is_keyword(name)) return false;
        skip_blanks();
        if (!take('(')) return false;
        const size_t index = tokens_.size();
        tokens_.push_back(name);
        for (skip_blanks(); !take(')'); skip_blanks()) {
            if (!argument(depth)) return false;
            ++tokens_[index].nargs;
            skip_blanks();
            if (take(')')) return true;
            if (!take(',')) return false;
        }
        return true;
    }

    bool argument(int depth) {
        if (at_ < end_ && (*at_ == '\'' || *at_ == '"')) return literal();
        Token name{at_, 0, 0};
        if (!identifier(name)) return false;
        const char* after = at_;
        skip_blanks();
        if (at_ < end_ && *at_ == '(') {
            at_ = name.at;
            return call(depth + 1);
        }
        at_ = after;
        if (name.size != 6 || std::memcmp(name.at, "string", 6) != 0) return false;
        tokens_.push_back({name.at, name.size, kText});
        return true;
    }

    bool literal() {
        const char quote = *at_++;
        const char* start = at_;
        while (at_ < end_ && *at_ != quote) {
            if (*at_ == '\\' || *at_ == '\n' || *at_ == '\r') return false;
            ++at_;
        }
        // An empty literal followed by the quote opens a triple-quoted one.
        if (at_ == end_ || (at_ == start && at_ + 1 < end_ && at_[1] == quote)) return false;
        tokens_.push_back({start, at_ - start, kLiteral});
        ++at_;
        return true;
    }

    bool identifier(Token& name) {
        const char* start = at_;
        while (at_ < end_ && (is_ascii_letter(*at_) || *at_ == '_' || (at_ > start && is_ascii_digit(*at_))))
            ++at_;
        // A byte above ASCII may continue the name: the compiler decides.
        if (at_ == start || (at_ < end_ && static_cast<unsigned char>(*at_) >= 0x80)) return false;
        name = {start, at_ - start, 0};
        return true;
    }

    static bool is_keyword(const Token& name) {
        static const char* const keywords[] = {
            "False", "None", "True", "and", "as", "assert", "async", "await", "break",
            "class", "continue", "def", "del", "elif", "else", "except", "finally", "for",
            "from", "global", "if", "import", "in", "is", "lambda", "nonlocal", "not", "or",
            "pass", "raise", "return", "try", "while", "with", "yield"};
        for (const char* keyword : keywords) {
            if (std::strlen(keyword) == static_cast<size_t>(name.size) &&
                std::memcmp(keyword, name.at, static_cast<size_t>(name.size)) == 0)
                return true;
        }
        return false;
    }

    void skip_blanks() {
        while (at_ < end_ && (*at_ == ' ' || *at_ == '\t')) ++at_;
    }
    bool take(char c) {
        if (at_ == end_ || *at_ != c) return false;
        ++at_;
        return true;
    }

    const char* at_ = nullptr;
    const char* end_ = nullptr;
    std::vector<Token> tokens_;
};

struct Step {
    Ref object;         // the value to push, or the class to call
    Py_ssize_t nargs;   // -1: push; otherwise call with the last nargs values
};

class Planner {
public:
    Planner(PyObject* text, PyObject* base) : text_(text), base_(base) {}

    std::vector<Step>& steps() { return steps_; }

    int logic(PyObject* node) {
        if (!is_node(node, g_ast.call)) {
            refuse("expression", node);
            return -1;
        }
        frame::RecursionGuard guard(" while reading a logic string");
        if (guard.failed()) return -1;
        return call(node);
    }

    // The same steps from the quick reading, from tokens[next] on.
    int logic(const std::vector<QuickReader::Token>& tokens, size_t& next) {
        frame::RecursionGuard guard(" while reading a logic string");
        if (guard.failed()) return -1;
        const QuickReader::Token& call = tokens[next++];
        Ref id = Ref::steal(PyUnicode_FromStringAndSize(call.at, call.size));
        Ref cls = id ? class_named(id.get()) : Ref();
        if (!cls) return -1;
        for (Py_ssize_t i = 0; i < call.nargs; ++i) {
            const QuickReader::Token& argument = tokens[next];
            if (argument.nargs >= 0) {
                if (logic(tokens, next) < 0) return -1;
                continue;
            }
            ++next;
            Ref value = argument.nargs == QuickReader::kText
                            ? Ref::borrow(text_)
                            : Ref::steal(PyUnicode_DecodeUTF8(argument.at, argument.size, nullptr));
            if (!value) return -1;
            steps_.push_back({std::move(value), -1});
        }
        steps_.push_back({std::move(cls), call.nargs});
        return 0;
    }

private:
    int call(PyObject* node) {
        Ref func = frame::attr(node, s_func);
        if (!func) return -1;
        Ref cls = logic_class(func.get());
        if (!cls) return -1;
        Ref keywords = frame::attr(node, s_keywords);
        if (!keywords || refuse_keywords(keywords.get()) < 0) return -1;
        Ref args = frame::attr(node, s_args);
        if (!args) return -1;
        Ref arguments = Ref::steal(PySequence_Tuple(args.get()));
        if (!arguments) return -1;
        const Py_ssize_t count = PyTuple_GET_SIZE(arguments.get());
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (argument(PyTuple_GET_ITEM(arguments.get(), i)) < 0) return -1;
        }
        steps_.push_back({std::move(cls), count});
        return 0;
    }

    // The class a call names: a bare name bound in the module globals to a
    // class derived from BaseLogic. The name `string` stands for the text.
    Ref logic_class(PyObject* func) {
        if (!is_node(func, g_ast.name)) {
            refuse("call target", func);
            return {};
        }
        Ref id = frame::attr(func, s_id);
        return id ? class_named(id.get()) : Ref();
    }

    Ref class_named(PyObject* id) {
        const bool is_text = PyUnicode_Check(id) && PyUnicode_EqualToUTF8(id, "string");
        Ref cls;
        if (!is_text) {
            PyObject* found = nullptr;
            if (PyDict_GetItemRef(frame::module_globals(), id, &found) < 0) return {};
            if (!found) {
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", id);
                return {};
            }
            cls = Ref::steal(found);
        }
        if (is_text || !PyType_Check(cls.get()) || !PyType_Check(base_) ||
            !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls.get()),
                              reinterpret_cast<PyTypeObject*>(base_))) {
            PyErr_Format(PyExc_TypeError, "'%U' is not a logic expression class", id);
            return {};
        }
        return cls;
    }

    int refuse_keywords(PyObject* keywords) {
        Ref first = Ref::steal(PySequence_GetItem(keywords, 0));
        if (!first) {
            if (!PyErr_ExceptionMatches(PyExc_IndexError)) return -1;
            PyErr_Clear();
            return 0;
        }
        Ref arg = frame::attr(first.get(), s_arg);
        if (!arg) return -1;
        if (arg.get() == Py_None)
            PyErr_SetString(PyExc_ValueError, "unsupported keyword argument: **");
        else
            PyErr_Format(PyExc_ValueError, "unsupported keyword argument: %U", arg.get());
        return -1;
    }

    int argument(PyObject* node) {
        if (is_node(node, g_ast.call)) return logic(node);
        if (is_node(node, g_ast.constant)) {
            Ref value = frame::attr(node, s_value);
            if (!value) return -1;
            if (!PyUnicode_CheckExact(value.get())) {
                PyErr_Format(PyExc_ValueError, "unsupported argument: %.200s constant",
                             Py_TYPE(value.get())->tp_name);
                return -1;
            }
            steps_.push_back({std::move(value), -1});
            return 0;
        }
        if (is_node(node, g_ast.name)) {
            Ref id = frame::attr(node, s_id);
            if (!id) return -1;
            if (!PyUnicode_Check(id.get()) || !PyUnicode_EqualToUTF8(id.get(), "string")) {
                PyErr_Format(PyExc_ValueError, "unsupported argument: name '%S'", id.get());
                return -1;
            }
            steps_.push_back({Ref::borrow(text_), -1});
            return 0;
        }
        refuse("argument", node);
        return -1;
    }

    PyObject* text_;
    PyObject* base_;
    std::vector<Step> steps_;
};

// Runs the steps: string values are pushed, classes are called with the
// values their arguments left on the stack.
Ref run(std::vector<Step>& steps) {
    std::vector<Ref> stack;
    std::vector<PyObject*> args;
    for (Step& step : steps) {
        if (step.nargs < 0) {
            stack.push_back(step.object.copy());
            continue;
        }
        const size_t first = stack.size() - static_cast<size_t>(step.nargs);
        args.clear();
        for (size_t i = first; i < stack.size(); ++i) args.push_back(stack[i].get());
        Ref made = Ref::steal(PyObject_Vectorcall(step.object.get(), args.data(),
                                                  static_cast<size_t>(step.nargs), nullptr));
        stack.resize(first);
        if (!made) return {};
        stack.push_back(std::move(made));
    }
    return std::move(stack.back());
}

// The steps of the compiler's reading of `source`.
int plan_from_tree(Planner& planner, const char* source) {
    if (load_ast_classes() < 0) return -1;
    Ref tree = parse(source);
    if (!tree) return -1;
    Ref body = is_node(tree.get(), g_ast.expression) ? frame::attr(tree.get(), s_body) : Ref();
    if (!body) {
        if (!PyErr_Occurred()) refuse("expression", tree.get());
        return -1;
    }
    return planner.logic(body.get());
}

// The logic object the decoded text describes, or null with the error that
// tells why the text was refused or failed.
Ref build(Call& c, PyObject* text) {
    c.at(198);
    Ref base = frame::global(s_BaseLogic);
    if (!base) return {};
    Py_ssize_t size = 0;
    const char* source = source_of(text, size);
    if (!source) return {};
    Planner planner(text, base.get());
    if (QuickReader quick; quick.read(source, size)) {
        size_t next = 0;
        if (planner.logic(quick.tokens(), next) < 0) return {};
    } else if (plan_from_tree(planner, source) < 0) {
        return {};
    }
    Ref obj = run(planner.steps());
    if (!obj) return {};
    // The constructors may have rebound the name; the check reads it afresh.
    c.at(199);
    base = frame::global(s_BaseLogic);
    if (!base) return {};
    int logic = PyObject_IsInstance(obj.get(), base.get());
    if (logic < 0) return {};
    if (!logic) {
        PyErr_Format(PyExc_TypeError, "logic string made a %.200s, not a logic expression",
                     Py_TYPE(obj.get())->tp_name);
        return {};
    }
    return obj;
}

// Replaces the error in flight, which becomes its context, by the ValueError
// that quotes the decoded text.
void raise_not_formatted(PyObject* text) {
    PyObject* caught = PyErr_GetRaisedException();
    Ref args = Ref::steal(PyTuple_Pack(1, text));
    Ref message = args ? Ref::steal(PyUnicode_Format(s_message, args.get())) : Ref();
    if (!message) {
        // The formatting error is raised instead, in the caught one's context.
        PyObject* failure = PyErr_GetRaisedException();
        if (failure) {
            PyException_SetContext(failure, caught);
            PyErr_SetRaisedException(failure);
        } else {
            PyErr_SetRaisedException(caught);
        }
        return;
    }
    PyErr_SetRaisedException(caught);
    frame::raise_in_place(b_ValueError, message.get());
}

PyObject* logic_str(Call& c) {
    c.at(196);
    Ref decode = frame::global(s_decode_cli_string);
    if (!decode) return nullptr;
    PyObject* given = c[0];
    Ref string = Ref::steal(PyObject_Vectorcall(decode.get(), &given, 1, nullptr));
    if (!string) return nullptr;
    Ref obj;
    try {
        obj = build(c, string.get());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    if (!obj) {
        if (!PyErr_ExceptionMatches(b_Exception)) return nullptr;
        c.at(201);
        raise_not_formatted(string.get());
        return nullptr;
    }
    return obj.release();
}

const frame::FunctionSpec logic_str_spec{
    .name = "logic_str", .qualname = "logic_str", .params = {"string"}, .locals = {"obj"},
    .line = 180, .doc = kLogicStrDoc, .body = logic_str};

// ---------------------------------------------------------------------------
// Module body

// Remembers re.Pattern and its search method for the pattern fast path,
// which relies on the type being immutable; a `re` without them simply
// leaves the fast path off.
void remember_pattern_type() {
    Ref re = frame::global(s_re);
    Ref pattern_type = re ? Ref::steal(PyObject_GetAttrString(re.get(), "Pattern")) : Ref();
    const bool immutable = pattern_type && PyType_Check(pattern_type.get()) &&
                           PyType_HasFeature(reinterpret_cast<PyTypeObject*>(pattern_type.get()),
                                             Py_TPFLAGS_IMMUTABLETYPE);
    Ref search = immutable ? frame::attr(pattern_type.get(), s_search) : Ref();
    if (!search) {
        PyErr_Clear();
        return;
    }
    Py_XSETREF(g_pattern_type, pattern_type.release());
    Py_XSETREF(g_pattern_search, search.release());
}

int define_base_logic(frame::Body& body) {
    frame::ClassBuilder cls("BaseLogic", kBaseLogicDoc);
    cls.base(Ref::borrow(reinterpret_cast<PyObject*>(&PyBaseObject_Type)))
        .method<base_init_spec>()
        .method<base_call_spec>()
        .method<base_str_spec>()
        .method<base_repr_spec>()
        .method<base_eq_spec>();
    Ref base_logic = cls.create();
    if (!base_logic) return -1;
    Py_XSETREF(g_base_logic, Py_NewRef(base_logic.get()));
    return body.assign("BaseLogic", std::move(base_logic));
}

template <const frame::FunctionSpec& S>
int define_logic(frame::Body& body, const char* name, const char* doc) {
    frame::ClassBuilder cls(name, doc);
    cls.base(frame::global(s_BaseLogic)).method<S>();
    return body.assign(name, cls.create());
}

Ref test_entries() {
    Ref logic_str_function = frame::global(s_logic_str);
    Ref doc = logic_str_function ? frame::attr(logic_str_function.get(), s_doc) : Ref();
    Ref entries = doc ? Ref::steal(PyDict_New()) : Ref();
    if (!entries || PyDict_SetItem(entries.get(), s_test_key, doc.get()) < 0) return {};
    return entries;
}

int module_body(frame::Body& body) {
    if (body.at(1).import("re") < 0) return -1;
    if (body.at(2).import("logging") < 0) return -1;
    remember_pattern_type();
    if (body.at(4).from_import("morvath.utils.strings", {"decode_cli_string"}) < 0) return -1;
    if (body.at(6).assign("__all__", Ref::steal(Py_BuildValue("[sss]", "And", "Or", "Not"))) < 0)
        return -1;
    if (body.at(8).assign_logger() < 0) return -1;
    if (define_base_logic(body.at(11)) < 0) return -1;
    if (define_logic<and_call_spec>(body.at(103), "And", kAndDoc) < 0) return -1;
    if (define_logic<or_call_spec>(body.at(129), "Or", kOrDoc) < 0) return -1;
    if (define_logic<not_call_spec>(body.at(155), "Not", kNotDoc) < 0) return -1;
    if (body.at(180).assign("logic_str", frame::function<logic_str_spec>()) < 0) return -1;
    return body.at(205).set_test(test_entries());
}

frame::ModuleSpec logic_module{"logic", nullptr, module_body};

}  // namespace

PyMODINIT_FUNC PyInit_logic(void) { return frame::define_module(logic_module); }
