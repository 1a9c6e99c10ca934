"""branchel against the same class written in Python.

    .venv/bin/python benchmarks/bench_branchel.py [--fast]
"""
from harness import Case, Contender, main

from morvath.datastructures.branchel import Branchel


class PyBranchel:
    def __init__(self, name, children=None):
        if not children:
            children = []
        self.name = name
        self.children = children

    def add_child(self, item):
        self.children.append(item)

    def __str__(self):
        string = self.name
        if not self.children:
            return string
        for i in self.children[:-1]:
            j = str(i).split("\n")
            string += "\n|-- " + "\n|   ".join(j)
        j = str(self.children[-1]).split("\n")
        string += "\n`-- " + "\n    ".join(j)
        return string


def tree(cls, fanout, depth):
    if depth == 0:
        return cls("leaf")
    return cls(f"level{depth}", [tree(cls, fanout, depth - 1) for _ in range(fanout)])


def drawn(fanout, depth):
    """`str(tree)` of both classes, and joining the finished lines as the limit."""
    ours, python = tree(Branchel, fanout, depth), tree(PyBranchel, fanout, depth)
    lines = str(python).split("\n")
    assert str(ours) == "\n".join(lines)
    return (Contender("str(tree)", {"tree": ours}), Contender("str(tree)", {"tree": python}),
            Contender("'\\n'.join(lines)", {"lines": lines}))


def cases():
    wide, deep = drawn(10, 4), drawn(2, 12)
    return [
        Case("str(Branchel) of 11,111 nodes, fanout 10", *wide, goal_python=5),
        Case("str(Branchel) of 8,191 nodes, depth 12", *deep),
        Case("build a 1,111-node tree", Contender("tree(Branchel, 10, 3)", {"tree": tree, "Branchel": Branchel}),
             Contender("tree(PyBranchel, 10, 3)", {"tree": tree, "PyBranchel": PyBranchel})),
        Case("add_child", Contender("node.add_child(1)", {"node": Branchel("n")}, "node.children.clear()"),
             Contender("node.add_child(1)", {"node": PyBranchel("n")}, "node.children.clear()"),
             Contender("items.append(1)", {"items": []}, "items.clear()")),
    ]


if __name__ == "__main__":
    main(cases)
