"""Logic expressions against the same logic written in plain Python.

Run: python benchmarks/bench_logic.py --fast
Each pair times the library call and the pure-Python equivalent; compare the
two numbers of a pair (pyperf prints them side by side).
"""

import re

import pyperf

from morvath.datastructures.logic import And, Not, Or, logic_str


class PyAnd:
    def __init__(self, *checks):
        self.checks = [re.compile(c) if isinstance(c, str) else c for c in checks]

    def __call__(self, *items):
        for check in self.checks:
            if isinstance(check, (PyAnd, PyOr)):
                if not check(*items):
                    return False
            elif callable(check):
                if not any([check(i) for i in items]):
                    return False
            elif not any([check.search(i if type(i) is str else str(i)) for i in items]):
                return False
        return True


class PyOr(PyAnd):
    def __call__(self, *items):
        for check in self.checks:
            if isinstance(check, (PyAnd, PyOr)):
                if check(*items):
                    return True
            elif callable(check):
                if any([check(i) for i in items]):
                    return True
            elif any([check.search(i if type(i) is str else str(i)) for i in items]):
                return True
        return False


def is_digit(item):
    return str(item).isdigit()


def main():
    runner = pyperf.Runner()
    lib = And("a", Or("x", "b"), is_digit)
    plain = PyAnd("a", PyOr("x", "b"), is_digit)
    items = ("ab", "17")
    runner.bench_func("call: And(pattern, Or, callable)", lambda: lib(*items))
    runner.bench_func("call: plain Python equivalent", lambda: plain(*items))
    many = Or(*[f"^{n}$" for n in range(20)])
    plain_many = PyOr(*[f"^{n}$" for n in range(20)])
    runner.bench_func("call: Or of 20 patterns, miss", lambda: many("x"))
    runner.bench_func("call: plain Python Or of 20 patterns, miss", lambda: plain_many("x"))
    text = "And('a', Or('b', Not('c')))"
    namespace = {"And": And, "Or": Or, "Not": Not}
    runner.bench_func("logic_str (checked parse)", logic_str, text)
    runner.bench_func("eval of the same text (unchecked)", eval, text, namespace)


if __name__ == "__main__":
    main()
