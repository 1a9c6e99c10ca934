import doctest
import re
import subprocess
import sys
import traceback
import warnings

import pytest
from hypothesis import given, settings, strategies as st

from morvath.datastructures import logic
from morvath.datastructures.logic import And, BaseLogic, Not, Or, logic_str


class Recorder:
    """A callable check that remembers every item it was called with."""

    def __init__(self, result=True):
        self.result = result
        self.seen = []

    def __call__(self, item):
        self.seen.append(item)
        return self.result


def run(code, *flags):
    return subprocess.run([sys.executable, *flags, "-c", code], capture_output=True, text=True)


# -- module surface -----------------------------------------------------------

def test_module_surface():
    namespace = {}
    exec("from morvath.datastructures.logic import *", namespace)
    assert sorted(k for k in namespace if k != "__builtins__") == ["And", "Not", "Or"]
    assert logic.logger.name == "morvath.datastructures.logic"
    assert logic.__test__ == {"logic_str (line 180)": logic_str.__doc__}
    assert doctest.testmod(logic).failed == 0
    assert [c.__doc__.splitlines()[0] for c in (BaseLogic, And, Or, Not)] == [
        "BaseLogic Class", "Logical And", "Logical Or", "Logical Not"]
    with pytest.raises(TypeError, match="unhashable"):
        hash(And("a"))


@pytest.mark.parametrize("function, varnames, line", [
    (BaseLogic.__init__, ("self", "expressions", "index", "obj"), 19),
    (BaseLogic.__call__, ("self",), 45),
    (BaseLogic.__str__, ("self", "expressions", "expr"), 69),
    (BaseLogic.__repr__, ("self",), 85),
    (BaseLogic.__eq__, ("self", "other"), 92),
    (And.__call__, ("self", "items", "expr", "i"), 113),
    (Or.__call__, ("self", "items", "expr", "i"), 139),
    (Not.__call__, ("self", "items", "expr", "i"), 165),
    (logic_str, ("string", "obj"), 180),
])
def test_function_records(function, varnames, line):
    assert function.__code__.co_varnames == varnames
    assert function.__code__.co_firstlineno == line
    assert function.__module__ == "morvath.datastructures.logic"


# -- construction, string form, equality --------------------------------------

@pytest.mark.parametrize("check", [5, None, re.compile("a"), b"a"])
def test_checks_must_be_str_or_callable(check):
    with pytest.raises(TypeError) as caught:
        And("a", check)
    assert str(caught.value) == f"Expression only accepts str and callable. Got: {check} ({type(check)})"


def test_construction_compiles_strings_and_keeps_callables(monkeypatch):
    class Text(str):
        pass

    f = Recorder()
    expr = Or(Text("a+"), f)
    assert expr.expressions == [re.compile("a+"), f]
    with pytest.raises(re.error):
        And("(")
    with pytest.raises(TypeError, match="unexpected keyword"):
        And("a", flags=1)
    monkeypatch.setattr(logic, "re", type("re", (), {"compile": staticmethod(str.upper)}))
    assert And("a", Text("b")).expressions == ["A", "B"]


def named(item):
    return True


@pytest.mark.parametrize("expr, text", [
    (And(), "And()"),
    (And("a", "b"), "And('a', 'b')"),
    (Or("x", Not("y")), "Or('x', Not('y'))"),
    (And("it's", r"\d"), r"And('it's', '\d')"),
    (Not(named), f"Not({named!r})"),
    (type("Mine", (And,), {})("a"), "Mine('a')"),
])
def test_written_out_form(expr, text):
    assert str(expr) == repr(expr) == text


@pytest.mark.parametrize("left, right, equal", [
    (And("a"), And("a"), True),
    (And("a"), Or("a"), False),
    (And("a"), And("b"), False),
    (And("a"), "a", False),
    (And("a"), type("Sub", (And,), {})("a"), False),
    (Or(named, Not("x")), Or(named, Not("x")), True),
])
def test_equality_by_exact_type(left, right, equal):
    assert (left == right) is equal
    assert (left != right) is not equal


def test_base_logic_does_no_testing():
    with pytest.raises(NotImplementedError):
        BaseLogic("a")()
    with pytest.raises(TypeError, match=r"takes exactly 1 positional argument \(2 given\)"):
        BaseLogic("a")("x")


# -- truth --------------------------------------------------------------------

@pytest.mark.parametrize("expr, items, expected", [
    (And(), ("x",), True), (Or(), ("x",), False), (Not(), (), True),
    (And("a"), (), False), (Or("a"), (), False), (Not("a"), (), True),
    (And("a", "b"), ("ab",), True), (And("a", "b"), ("a", "b"), True),
    (And("a", "c"), ("ab",), False), (Or("x", "b"), ("ab",), True),
    (Or("x", "y"), ("ab",), False), (Not("x"), ("ab",), True),
    (Not("x", "b"), ("ab",), False), (Not("x", "y"), ("ab", "cd"), True),
    (Or("^12$"), (12,), True), (Or("^None$"), (None,), True),
    (Or(lambda i: i == 12), (12,), True), (Or(lambda i: i == "12"), (12,), False),
    (And(Or("a", "z"), "b"), ("a", "b"), True), (Not(Not("a")), ("a",), True),
    (And(lambda i: 1), ("x",), True), (Or(lambda i: []), ("x",), False),
])
def test_truth_tables(expr, items, expected):
    assert expr(*items) is expected


def test_what_each_check_receives_and_the_early_stop():
    every = Recorder()
    assert Or(every)(1, 2, 3) is True
    assert every.seen == [1, 2, 3]
    spy = type("Spy", (Or,), {"__call__": lambda self, *items: every.seen.append(items)})
    assert And(spy("z"), "b")("a", "b") is False  # a nested expression gets all items at once
    assert every.seen[-1] == ("a", "b")
    for expr in (lambda f: Or("a", f), lambda f: And("x", f), lambda f: Not("a", f)):
        skipped = Recorder()
        expr(skipped)("a")
        assert skipped.seen == []


def test_general_paths():
    shown = type("Shown", (), {"__str__": lambda self: "shown"})()
    text = type("Text", (str,), {"__str__": lambda self: "converted"})("raw")
    expr = Or("q")
    expr.expressions = (type("Finder", (), {"search": lambda self, t: t == "shown"})(),)
    assert expr(shown) is True
    assert Or("^converted$")(text) is True


class Shown:
    """An item whose conversion to str is logged."""

    def __init__(self, log, text):
        self.log, self.text = log, text

    def __str__(self):
        self.log.append(("str", self.text))
        return self.text


class Dynamic:
    """An entry whose `search` comes from `__getattr__`, logging each step."""

    def __init__(self, log, pattern):
        self.log, self.pattern = log, re.compile(pattern)

    def __getattr__(self, name):
        self.log.append(("lookup", name))
        return lambda text: self.log.append(("search", text)) or self.pattern.search(text)


@pytest.mark.parametrize("cls", [And, Or, Not])
def test_search_lookup_conversion_and_call_alternate_per_item(cls):
    log = []
    expr = cls()
    expr.expressions.append(Dynamic(log, "b"))
    expected = {And: True, Or: True, Not: False}[cls]
    assert expr(Shown(log, "a"), "b", Shown(log, "c")) is expected
    assert log == [("lookup", "search"), ("str", "a"), ("search", "a"),
                   ("lookup", "search"), ("search", "b"),
                   ("lookup", "search"), ("str", "c"), ("search", "c")]


@pytest.mark.parametrize("cls", [And, Or, Not])
def test_entry_without_search_fails_before_any_conversion(cls):
    log = []
    expr = cls()
    expr.expressions.append(object())
    with pytest.raises(AttributeError, match="'object' object has no attribute 'search'"):
        expr(Shown(log, "a"))
    assert log == []
    assert expr() is {And: False, Or: False, Not: True}[cls]  # no item, no lookup


@pytest.mark.parametrize("items", [
    ("xb", "b"), ("b", "x"), ("x", "y"), (), ("b", 5, "x"), ("a", "b", "c", "bb"), (12, "b", None),
])
@pytest.mark.parametrize("cls", [And, Or, Not])
def test_pattern_fast_path_matches_the_general_path(cls, items):
    """A real pattern is searched directly, and not at all after a match;
    an entry of another type forces the general lookup of `search`."""
    def judged(entry):
        log = []
        expr = cls()
        expr.expressions.append(entry(log))
        answer = expr(*(Shown(log, str(i)) if not isinstance(i, str) else i for i in items))
        return answer, [step for step in log if step[0] == "str"]
    assert judged(lambda log: re.compile("b")) == judged(lambda log: Dynamic(log, "b"))


def test_patched_base_logic_global(monkeypatch):
    inner = Recorder(result=False)
    outer = Or(inner)
    nested = Or(Not("b"))
    assert nested("a", "b") is False
    monkeypatch.setattr(logic, "BaseLogic", type("Other", (), {}))
    assert nested("a", "b") is True  # Not is now a callable check, called per item
    assert outer("x", "y") is False and inner.seen == ["x", "y"]


def test_checks_may_change_the_expressions_while_judged():
    expr = And()
    expr.expressions.extend([lambda i: expr.expressions.clear() or True, "never"])
    assert expr("a") is True
    grows = Or()
    grows.expressions.append(lambda i: grows.expressions.append(re.compile("a")))
    assert grows("a") is True


def test_cycles_and_deep_nesting_end_in_recursion_error():
    code = """
from morvath.datastructures.logic import And, Or
loop = And('a'); loop.expressions.append(loop)
deep = Or('a')
for _ in range(100000):
    deep = Or(deep)
for action in (lambda: loop('a'), lambda: str(loop), lambda: deep('a'), lambda: str(deep)):
    try:
        action()
    except RecursionError:
        pass
    else:
        raise SystemExit('no RecursionError')
print('ok')
"""
    done = run(code)
    assert done.returncode == 0 and done.stdout == "ok\n", done.stderr


# -- logic_str ----------------------------------------------------------------

class Made(BaseLogic):
    made = []

    def __init__(self, *expressions):
        self.made.append(expressions)
        super().__init__(*expressions)


@pytest.mark.parametrize("text, expected", [
    ("And('a', 'b')", "And('a', 'b')"),
    ("Or('x', Not('y'))", "Or('x', Not('y'))"),
    ("  Not(r'\\d' 'x')", "Not('\\dx')"),
    ("And(\n'a', # comment\n)", "And('a')"),
    ("Or(string)", "Or('Or(string)')"),
    ("Made('a', BaseLogic())", "Made('a', BaseLogic())"),
])
def test_logic_str_builds_expressions(monkeypatch, text, expected):
    monkeypatch.setattr(logic, "Made", Made, raising=False)
    obj = logic_str(string=text)
    assert str(obj) == expected
    assert isinstance(obj, BaseLogic)


def outcome(text, shown):
    """What logic_str makes of `text`: the object written out (the text
    itself, as a check, shown as `shown`) and the constructions it ran, or
    the kind and text of the error it reports."""
    Made.made.clear()
    try:
        return str(logic_str(text)).replace(f"'{text}'", shown), list(Made.made)
    except ValueError as error:
        context = error.__context__
        return type(context), None if isinstance(context, SyntaxError) else str(context)


@pytest.mark.parametrize("text", [
    "And('a', Or('b', Not('c')))", "Or()", "And ( 'a' , )", "\tNot(\"x\", string)\t",
    "Made(Made(''), Made('\u00e9\U0001f333'), \"it's\")", "Or('a',string,'b')", "Not('a' )",
    "And(string(), 'a')", "Xor('a')", "And('(')", "And(x)", "And(,)", "And('a' 'b')", "And('a'", "And(r'a')",
    "And('a\\\\d')", "And('''a''')", "And('a')('b')", "None('a')", "And(None)", "And(not 'a')",
    "\uff21nd('a')", "And\u00e9('a')", "Made(Made('a'), Xor())", "Made(Made('a'), Made)", "And('a'\n)",
    "Not(" * 60 + ")" * 60, "Not(" * 45 + ")" * 45,
])
def test_logic_str_quick_reading_matches_the_compiler(monkeypatch, text):
    """Parentheses around the text keep its meaning but always send it
    through the compiler's reading."""
    monkeypatch.setattr(logic, "Made", Made, raising=False)
    assert outcome(text, "TEXT") == outcome(f"({text})", "TEXT")


@pytest.mark.parametrize("text, context, detail", [
    ("And('a'", SyntaxError, "never closed"),
    ("And('a')\0", SyntaxError, "null bytes"),
    ("Xor('a')", NameError, "Xor"),
    ("And(5)", ValueError, "int constant"),
    ("And('(')", re.error, "missing"),
    ("'a'", ValueError, "Constant"),
    ("string", ValueError, "Name"),
    ("And(flags=2)", ValueError, "keyword argument: flags"),
    ("And(*'ab')", ValueError, "Starred"),
    ("And(f'{spy()}')", ValueError, "JoinedStr"),
    ("__import__('os').system('exit 3')", ValueError, "Attribute"),
    ("open('/etc/passwd')", NameError, "open"),
    ("spy('a')", TypeError, "'spy' is not a logic expression class"),
    ("Evil('a')", TypeError, "'Evil' is not a logic expression class"),
    ("string('a')", TypeError, "'string' is not"),
    ("And(Made('a'), spy)", ValueError, "name 'spy'"),
    ("Or(Made('a'), [spy() for _ in 'a'], lambda: 1)", ValueError, "ListComp"),
])
def test_logic_str_refuses_and_runs_nothing(monkeypatch, text, context, detail):
    spy = Recorder()
    evil = type("Evil", (), {"__init__": lambda self, *a: spy(a)})
    for name, value in (("spy", spy), ("Evil", evil), ("Made", Made)):
        monkeypatch.setattr(logic, name, value, raising=False)
    Made.made.clear()
    with pytest.raises(ValueError) as caught:
        logic_str(text)
    assert str(caught.value) == f"Not a properly formatted logic string: {text}"
    assert type(caught.value.__context__) is context or isinstance(caught.value.__context__, context)
    assert detail in str(caught.value.__context__)
    assert caught.value.__cause__ is None and not caught.value.__suppress_context__
    assert spy.seen == [] and Made.made == []


def test_logic_str_uses_the_decoded_text(monkeypatch):
    calls = []

    def decode(*args, **kwargs):
        calls.append((args, kwargs))
        return args[0].replace("or", "Or")

    monkeypatch.setattr(logic, "decode_cli_string", decode)
    assert str(logic_str("or('a', string)")) == "Or('a', 'Or('a', string)')"
    with pytest.raises(ValueError, match=r"string: Or\(\)\+$"):
        logic_str("or()+")
    assert calls == [(("or('a', string)",), {}), (("or()+",), {})]
    monkeypatch.setattr(logic, "decode_cli_string", lambda s: (s, s))
    with pytest.raises(ValueError, match=r"string: \('x', 'x'\)$") as caught:
        logic_str("x")
    assert isinstance(caught.value.__context__, TypeError)


def test_logic_str_lets_outside_errors_through_and_keeps_the_chain(monkeypatch):
    class Stop(BaseLogic):
        def __init__(self, *expressions):
            raise KeyboardInterrupt

    monkeypatch.setattr(logic, "Stop", Stop, raising=False)
    with pytest.raises(KeyboardInterrupt):
        logic_str("And(Stop())")
    monkeypatch.setattr(logic, "decode_cli_string", lambda s: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        logic_str("And()")
    monkeypatch.delattr(logic, "decode_cli_string")
    with pytest.raises(NameError, match="decode_cli_string"):
        logic_str("And()")
    monkeypatch.undo()
    try:
        raise KeyError("outer")
    except KeyError:
        with pytest.raises(ValueError) as caught:
            logic_str("Xor()")
    assert isinstance(caught.value.__context__, NameError)
    assert isinstance(caught.value.__context__.__context__, KeyError)


@pytest.mark.parametrize("flags", [(), ("-O",)])
def test_logic_str_always_returns_a_logic_object(flags):
    code = """
from morvath.datastructures import logic
class Odd(logic.BaseLogic):
    def __new__(cls, *args):
        return 'odd'
class Rebinds(logic.BaseLogic):
    def __init__(self):
        logic.BaseLogic = logic.Or  # the check reads the name after the constructors ran
logic.Odd, logic.Rebinds = Odd, Rebinds
for text in ("Odd('a')", "Rebinds()"):
    try:
        logic.logic_str(text)
    except ValueError as e:
        print(type(e.__context__).__name__)
"""
    done = run(code, *flags)
    assert done.stdout == "TypeError\nTypeError\n", done.stderr


def test_traceback_entries():
    with pytest.raises(ValueError) as caught:
        logic_str("And(Or(1))")
    assert [(f.name, f.filename, f.lineno) for f in traceback.extract_tb(caught.value.__traceback__)][-1:] == [
        ("morvath.datastructures.logic.logic_str", "src/morvath/datastructures/logic", 201)]
    with pytest.raises(ZeroDivisionError) as caught:
        And(Or(lambda i: 1 / 0))("a")
    names = [f.name for f in traceback.extract_tb(caught.value.__traceback__)]
    assert names[1:3] == ["morvath.datastructures.logic.And.__call__",
                          "morvath.datastructures.logic.Or.__call__"]


def test_no_leaks(assert_no_leak):
    def work():
        And("a", Or(lambda i: i, "b"), Not("c"))("ab", 1, None)
        str(logic_str("Or('x', Not(string))"))
        for text in ("And(1)", "Xor()", "And('('", "Or(Not('['))"):
            try:
                logic_str(text)
            except ValueError:
                pass

    assert_no_leak(work, rounds=3000)


# -- plain patterns -------------------------------------------------------------

plain_sources = st.tuples(st.sampled_from(["", "^"]), st.text(alphabet="ab -", max_size=3),
                          st.sampled_from(["", "$"])).map("".join)


@given(st.one_of(plain_sources, st.text(alphabet="ab ^$\n.*-[]()\\", max_size=5)),
       st.lists(st.text(alphabet="abA\n", max_size=4), max_size=3),
       st.sampled_from([0, 0, re.IGNORECASE, re.MULTILINE]))
@settings(max_examples=600, deadline=None)
def test_pattern_verdicts_agree_with_the_regex_engine(source, texts, flags):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            pattern = re.compile(source, flags)
        except re.error:
            return
    expected = any(pattern.search(text) for text in texts)
    for cls, answer in ((Or, expected), (And, expected), (Not, not expected)):
        expr = cls()
        expr.expressions.append(pattern)
        assert expr(*texts) is answer, (cls, source, texts)
