"""fadeline against the same class written in Python and a plain list of the items.

    .venv/bin/python benchmarks/bench_fadeline.py [--fast]
"""
import collections
import weakref

from harness import Case, Contender, main

from morvath.datastructures.fadeline import Fadeline


class PyFadeline(collections.UserList):
    def __init__(self, items=()):
        super().__init__([weakref.ref(i, self.remove) for i in items])

    def __contains__(self, item):
        return super().__contains__(weakref.ref(item))

    def __getitem__(self, index):
        if type(index) is slice:
            return self.__class__(r() for r in self.data[index])
        return super().__getitem__(index)()

    def __iter__(self):
        for r in self.data:
            yield r()

    def remove(self, item):
        if isinstance(item, weakref.ReferenceType):
            super().remove(item)
        else:
            super().remove(weakref.ref(item))

    def append(self, item):
        super().append(weakref.ref(item, self.remove))

    def extend(self, items):
        super().extend([weakref.ref(i, self.remove) for i in items])

    def index(self, item):
        return super().index(weakref.ref(item))

    def sort(self, key=None, reverse=False):
        sort_key = (lambda x: x()) if key is None else (lambda x: key(x()))
        super().sort(key=sort_key, reverse=reverse)

    def __repr__(self):
        return "Fadeline([" + ", ".join(repr(i) for i in self) + "])"


class Node:
    def __init__(self, value):
        self.value = value

    def __lt__(self, other):
        return self.value < other.value


class Valued(Node):
    """An item with an equality of its own: every lookup must call it."""

    def __eq__(self, other):
        return self is other

    __hash__ = object.__hash__


NODES = [Node((i * 7919) % 1000) for i in range(1000)]


def build_and_drop(cls, count):
    nodes = [Node(i) for i in range(count)]
    fl = cls(nodes)
    del nodes  # every entry leaves through its callback
    return fl


VALUED = [Valued(i) for i in range(1000)]


def extend_empty(cls, items):
    fl = cls()
    fl.extend(items)
    return fl


def cases():
    cases = []
    kinds = {"ours": Fadeline, "python": PyFadeline, "limit": list}   # in Case's order
    statements = [  # (name, statement, goal against the Python class)
        ("build 1000", "cls(nodes)", 1.5),
        ("extend by 1000", "extend_empty(cls, nodes)", 1.5),
        ("build 1000 and let them die", "build_and_drop(cls, 1000)", None),
        ("build 8000 and let them die at once", "build_and_drop(cls, 8000)", 5),
        ("iterate 1000", "list(fl)", None),
        ("read by index", "fl[500]", None),
        ("index of the first", "fl.index(first)", None),
        ("in, match at 500", "middle in fl", 4),
        ("in, match at 500, items with __eq__", "valued_middle in valued", None),
        ("slice of 100", "fl[100:200]", 1.5),
        ("append and remove on 1000", "fl.append(node); fl.remove(node)", 4),
        ("sort 1000", "fl.sort()", None),
        ("repr of 100", "repr(small)", 1.25),
    ]

    def names(cls):
        return {"cls": cls, "fl": cls(NODES), "nodes": NODES, "node": Node(-1),
                "first": NODES[0], "middle": NODES[500], "build_and_drop": build_and_drop,
                "extend_empty": extend_empty, "small": cls(NODES[:100]),
                "valued": cls(VALUED), "valued_middle": VALUED[500]}

    contexts = {label: names(cls) for label, cls in kinds.items()}
    for name, stmt, goal in statements:
        cases.append(Case(name, *(Contender(stmt, contexts[label]) for label in kinds),
                          goal_python=goal))
    return cases


if __name__ == "__main__":
    main(cases)
