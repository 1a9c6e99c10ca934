"""keyvane against a plain dict and against the same classes written in Python.

    .venv/bin/python benchmarks/bench_keyvane.py --fast
"""
import itertools
from collections.abc import Mapping, MutableMapping

import pyperf

from morvath.datastructures.keyvane import NestedKeyvane


class PyKeyvane(dict):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.__dict__ = self


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
                raise KeyError(key)
            subkey_value[subkeys] = value
            return
        super().__setitem__(key, value)

    get = MutableMapping.get
    setdefault = MutableMapping.setdefault

    def update(self, *args, **kwargs):
        iterable = args[0] if args else ()
        if isinstance(iterable, Mapping):
            iterable = iterable.items()
        for item in itertools.chain(iterable, kwargs.items()):
            key, value = item
            if isinstance(value, Mapping):
                self.setdefault(key, type(self)()).update(value)
            else:
                self[key] = value


TREE = {f"section{i}": {f"key{j}": j for j in range(20)} for i in range(50)}


def main():
    runner = pyperf.Runner()
    for label, cls in (("dict", dict), ("python", PyNestedKeyvane), ("keyvane", NestedKeyvane)):
        runner.bench_func(f"build nested tree [{label}]", cls, TREE)
    for label, cls in (("python", PyNestedKeyvane), ("keyvane", NestedKeyvane)):
        tree = cls(TREE)
        runner.timeit(f"dotted read [{label}]", stmt="tree['section7.key3']", globals={"tree": tree})
        runner.timeit(f"plain read [{label}]", stmt="tree['section7']", globals={"tree": tree})
        runner.timeit(f"dotted store [{label}]", stmt="tree['section7.key3'] = 1", globals={"tree": tree})
        runner.timeit(f"attribute read [{label}]", stmt="tree.section7.key3", globals={"tree": tree})
    runner.timeit("plain read [dict]", stmt="tree['section7']", globals={"tree": dict(TREE)})


if __name__ == "__main__":
    main()
