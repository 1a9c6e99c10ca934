"""keyvane against plain dicts and against the same classes written in Python.

    .venv/bin/python benchmarks/bench_keyvane.py [--fast] [-k TEXT]
"""
import itertools
from collections.abc import Mapping, MutableMapping

from harness import Case, Contender, main

from morvath.datastructures.keyvane import NestedKeyvane


class PyKeyvane(dict):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.__dict__ = self

    def __repr__(self):
        return f"{self.__class__.__name__}({super(PyKeyvane, self).__repr__()})"


class PyNestedKeyvane(PyKeyvane, MutableMapping):
    def __init__(self, *args, **kwargs):
        super().__init__()
        self.update(*args, **kwargs)

    def __getitem__(self, key):
        if isinstance(key, str) and "." in key:
            key, subkeys = key.split(".", 1)
            return super().__getitem__(key)[subkeys]
        return super().__getitem__(key)

    def __setitem__(self, key, value):
        if isinstance(key, str) and "." in key:
            key, subkeys = key.split(".", 1)
            subkey_value = self.setdefault(key, type(self)())
            if not isinstance(subkey_value, type(self)):
                raise KeyError(f'target key "{key}" is a value, cannot update value against another '
                               f"{type(self).__name__}")
            subkey_value[subkeys] = value
            return
        super().__setitem__(key, value)

    def __contains__(self, key):
        if isinstance(key, str) and "." in key:
            key, subkeys = key.split(".", 1)
            return super().__contains__(key) and subkeys in super().__getitem__(key)
        return super().__contains__(key)

    def __delitem__(self, key):
        if isinstance(key, str) and "." in key:
            key, subkeys = key.split(".", 1)
            del super().__getitem__(key)[subkeys]
        else:
            super().__delitem__(key)

    get = MutableMapping.get
    pop = MutableMapping.pop
    setdefault = MutableMapping.setdefault

    def update(self, *args, **kwargs):
        if len(args) > 1:
            raise TypeError("expected at most 1 arguments, got %d" % len(args))
        iterable = args[0] if args else ()
        if isinstance(iterable, Mapping):
            iterable = iterable.items()
        for item in itertools.chain(iterable, kwargs.items()):
            if len(item) != 2:
                raise TypeError("cannot convert dictionary update sequence element #%s to a sequence"
                                % iterable.index(item))
            key, value = item
            if isinstance(value, Mapping):
                self.setdefault(key, type(self)()).update(value)
            else:
                self[key] = value


# 50 sections of 20 leaves each: 1,000 leaves.
TREE = {f"section{i}": {f"key{j}": j for j in range(20)} for i in range(50)}
DEEP = {"a": {"b": {"c": 1}}}


def plain_tree(tree):
    return {key: dict(value) for key, value in tree.items()}


def cases():
    ours, python, plain = NestedKeyvane(DEEP), PyNestedKeyvane(DEEP), {"a": {"b": {"c": 1}}}
    deep = lambda stmt, limit: dict(  # noqa: E731
        ours=Contender(stmt, {"n": ours}), python=Contender(stmt, {"n": python}),
        limit=Contender(limit, {"d": plain}))
    return [
        Case("NestedKeyvane n['a.b.c'] (3 levels)", **deep("n['a.b.c']", "d['a']['b']['c']"),
             goal_limit=0.25),
        Case("NestedKeyvane n['a.b.c'] = v (levels exist)", **deep("n['a.b.c'] = 2", "d['a']['b']['c'] = 2"),
             goal_limit=0.2, goal_python=8),
        Case("NestedKeyvane 'a.b.c' in n", **deep("'a.b.c' in n", "'c' in d['a']['b']"), goal_limit=0.25),
        Case("NestedKeyvane n.get('a.missing', 0)", **deep("n.get('a.missing', 0)", "d['a'].get('missing', 0)")),
        Case("NestedKeyvane()", Contender("cls()", {"cls": NestedKeyvane}),
             Contender("cls()", {"cls": PyNestedKeyvane}), Contender("dict()"), goal_limit=0.25),
        Case("NestedKeyvane(tree of 1,000 leaves)", Contender("cls(TREE)", {"cls": NestedKeyvane, "TREE": TREE}),
             Contender("cls(TREE)", {"cls": PyNestedKeyvane, "TREE": TREE}),
             Contender("plain_tree(TREE)", {"plain_tree": plain_tree, "TREE": TREE}), goal_python=6),
    ]


if __name__ == "__main__":
    main(cases)
