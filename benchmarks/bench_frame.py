"""The frame's own costs: one call of a frame function and one construction
of a library class, each against the same class written in Python.

    .venv/bin/python benchmarks/bench_frame.py [--fast]
"""
from harness import Case, Contender, main

from bench_branchel import PyBranchel
from bench_keyvane import PyKeyvane, PyNestedKeyvane
from morvath.datastructures.branchel import Branchel
from morvath.datastructures.keyvane import Keyvane, NestedKeyvane


def on_both(stmt, ours, python, limit=None, **goals):
    """A case whose statement runs with `cls`/`b` bound to ours or Python's."""
    return dict(ours=Contender(stmt, ours), python=Contender(stmt, python),
                limit=Contender(*limit) if limit else None, **goals)


def cases():
    children = [Branchel("c")]
    py_children = [PyBranchel("c")]
    return [
        Case("a trivial method, b.add_child(x)",
             **on_both("b.add_child(1)", {"b": Branchel("x")}, {"b": PyBranchel("x")},
                       limit=("a(1)", {"a": [].append}), goal_python=1.0)),
        Case("a frame function with defaults, b.__init__('x')",
             **on_both("b.__init__('x')", {"b": Branchel("x")}, {"b": PyBranchel("x")},
                       goal_python=1.0)),
        Case("Branchel('x')",
             **on_both("cls('x')", {"cls": Branchel}, {"cls": PyBranchel}, goal_python=1.5)),
        Case("Branchel('x', children)",
             **on_both("cls('x', c)", {"cls": Branchel, "c": children},
                       {"cls": PyBranchel, "c": py_children}, goal_python=1.5)),
        Case("Keyvane()",
             **on_both("cls()", {"cls": Keyvane}, {"cls": PyKeyvane},
                       limit=("dict()", {}), goal_python=1.5)),
        Case("NestedKeyvane()",
             **on_both("cls()", {"cls": NestedKeyvane}, {"cls": PyNestedKeyvane},
                       limit=("dict()", {}), goal_python=1.5)),
    ]


if __name__ == "__main__":
    main(cases)
