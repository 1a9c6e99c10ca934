"""tyvern against the same descriptor written in Python.

    .venv/bin/python benchmarks/bench_tyvern.py [--fast]
"""
from harness import Case, Contender, main

from morvath.datastructures.tyvern import tyvern


class PyTyvern:
    def __init__(self, func):
        self.func = func

    def __get__(self, obj, owner):
        return self.func(owner)


def shape(decorator):
    class Shape:
        side = 3

        @decorator
        def area(cls):
            return cls.side

    return Shape


def cases():
    ours, python = shape(tyvern), shape(PyTyvern)
    return [
        Case("tyvern read through the class", Contender("Shape.area", {"Shape": ours}),
             Contender("Shape.area", {"Shape": python}), goal_python=1.2),
        Case("tyvern read through an instance", Contender("s.area", {"s": ours()}),
             Contender("s.area", {"s": python()}), goal_python=1.2),
    ]


if __name__ == "__main__":
    main(cases)
