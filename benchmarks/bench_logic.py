"""logic against the same classes written in Python.

    .venv/bin/python benchmarks/bench_logic.py [--fast]
"""
import re

from harness import Case, Contender, main

from morvath.datastructures.logic import And, Not, Or, logic_str
from morvath.utils.strings import decode_cli_string


class PyBaseLogic:
    def __init__(self, *expressions):
        self.expressions = []
        for obj in expressions:
            if isinstance(obj, str):
                obj = re.compile(obj)
            elif not callable(obj):
                raise TypeError("Expression only accepts str and callable. Got: %s (%s)"
                                % (obj, type(obj)))
            self.expressions.append(obj)

    def __call__(self):
        raise NotImplementedError

    def __str__(self):
        expressions = []
        for expr in self.expressions:
            if callable(expr):
                expressions.append(repr(expr))
            else:
                expressions.append("'%s'" % expr.pattern)
        return type(self).__name__ + "(" + ", ".join(expressions) + ")"

    def __repr__(self):
        return str(self)

    def __eq__(self, other):
        if type(self) is not type(other):
            return False
        return self.expressions == other.expressions


class PyAnd(PyBaseLogic):
    def __call__(self, *items):
        for expr in self.expressions:
            if isinstance(expr, PyBaseLogic):
                if not expr(*items):
                    return False
            elif callable(expr):
                if not any([expr(i) for i in items]):
                    return False
            elif not any([expr.search(i if type(i) is str else str(i)) for i in items]):
                return False
        return True


class PyOr(PyBaseLogic):
    def __call__(self, *items):
        for expr in self.expressions:
            if isinstance(expr, PyBaseLogic):
                if expr(*items):
                    return True
            elif callable(expr):
                if any([expr(i) for i in items]):
                    return True
            elif any([expr.search(i if type(i) is str else str(i)) for i in items]):
                return True
        return False


class PyNot(PyBaseLogic):
    def __call__(self, *items):
        for expr in self.expressions:
            if isinstance(expr, PyBaseLogic):
                if expr(*items):
                    return False
            elif callable(expr):
                if any([expr(i) for i in items]):
                    return False
            elif any([expr.search(i if type(i) is str else str(i)) for i in items]):
                return False
        return True


PY_NAMESPACE = {"And": PyAnd, "Or": PyOr, "Not": PyNot, "BaseLogic": PyBaseLogic, "re": re}


def py_logic_str(string):
    string = decode_cli_string(string)
    try:
        obj = eval(string, PY_NAMESPACE, {"string": string})
        assert isinstance(obj, PyBaseLogic)
    except Exception:
        raise ValueError("Not a properly formatted logic string: %s" % string)
    return obj


def is_digit(item):
    return str(item).isdigit()


ITEMS = tuple(f"item{n}" for n in range(20)) + (17,)  # 21 items, one converted by str()


def pair(build, label, stmt, goal=None):
    ours = build(And, Or, Not)
    python = build(PyAnd, PyOr, PyNot)
    return Case(label, Contender(stmt, {"expr": ours, "items": ITEMS}),
                Contender(stmt, {"expr": python, "items": ITEMS}), goal_python=goal)


def cases():
    rule = "And('a', Or('b', Not('c')))"
    return [
        pair(lambda A, O, N: A("^item1", "7$", O("x", "^item2")), "And over 21 items, true",
             "expr(*items)", goal=4),
        pair(lambda A, O, N: O("^x", "z$", "^item19$"), "Or over 21 items, hit in the last",
             "expr(*items)", goal=4),
        pair(lambda A, O, N: N("q", "^z", "w$"), "Not over 21 items, no hit",
             "expr(*items)", goal=4),
        pair(lambda A, O, N: O(r"^x\d", "[yz]$", r"item\d{3}"), "Or over 21 items, regex patterns, no hit",
             "expr(*items)"),
        pair(lambda A, O, N: A("a", O("x", "b"), is_digit), "And(pattern, Or, callable), 2 items",
             "expr('ab', '17')"),
        pair(lambda A, O, N: A("a", O("x", "b"), N("c")), "str of a nested expression",
             "str(expr)"),
        Case("logic_str of a short rule",
             Contender("logic_str(rule)", {"logic_str": logic_str, "rule": rule}),
             Contender("logic_str(rule)", {"logic_str": py_logic_str, "rule": rule}),
             goal_python=2),
    ]


if __name__ == "__main__":
    main(cases)
