"""fadeline against a plain list and against the same class written in Python.

    .venv/bin/python benchmarks/bench_fadeline.py --fast
"""
import collections
import weakref

import pyperf

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

    def index(self, item):
        return super().index(weakref.ref(item))

    def sort(self, key=None, reverse=False):
        sort_key = (lambda x: x()) if key is None else (lambda x: key(x()))
        super().sort(key=sort_key, reverse=reverse)


class Node:
    def __init__(self, value):
        self.value = value

    def __lt__(self, other):
        return self.value < other.value


NODES = [Node((i * 7919) % 1000) for i in range(1000)]


def build_and_drop(cls, count):
    nodes = [Node(i) for i in range(count)]
    fl = cls(nodes)
    del nodes  # every entry leaves through its callback
    return fl


def main():
    runner = pyperf.Runner()
    runner.bench_func("build 1000 [list]", list, NODES)
    for label, cls in (("python", PyFadeline), ("fadeline", Fadeline)):
        fl = cls(NODES)
        names = {"fl": fl, "node": Node(-1), "first": NODES[0], "list": list}
        runner.bench_func(f"build 1000 [{label}]", cls, NODES)
        runner.bench_func(f"build 1000 and let them die [{label}]", build_and_drop, cls, 1000)
        runner.timeit(f"iterate 1000 [{label}]", stmt="list(fl)", globals=names)
        runner.timeit(f"read by index [{label}]", stmt="fl[500]", globals=names)
        runner.timeit(f"index of the first [{label}]", stmt="fl.index(first)", globals=names)
        runner.timeit(f"slice of 100 [{label}]", stmt="fl[100:200]", globals=names)
        runner.timeit(f"append and remove [{label}]", stmt="fl.append(node); fl.remove(node)",
                      globals=names)
        runner.timeit(f"sort 1000 [{label}]", stmt="fl.sort()", globals=names)


if __name__ == "__main__":
    main()
