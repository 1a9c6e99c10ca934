"""branchel against the same classes written in Python.

    .venv/bin/python benchmarks/bench_branchel.py --fast
"""
import pyperf

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
            string = string + "\n|-- " + "\n|   ".join(j)
        j = str(self.children[-1]).split("\n")
        return string + "\n`-- " + "\n    ".join(j)



def tree(cls, fanout, depth):
    if depth == 0:
        return cls("leaf")
    return cls(f"level{depth}", [tree(cls, fanout, depth - 1) for _ in range(fanout)])



def main():
    runner = pyperf.Runner()
    for label, cls in (("python", PyBranchel), ("branchel", Branchel)):
        runner.bench_func(f"build 100k-node tree [{label}]", tree, cls, 10, 5)
        wide, deep = tree(cls, 10, 5), tree(cls, 2, 12)
        runner.bench_func(f"draw 111k nodes, fanout 10 [{label}]", str, wide)
        runner.bench_func(f"draw 8k nodes, depth 12 [{label}]", str, deep)


if __name__ == "__main__":
    main()
