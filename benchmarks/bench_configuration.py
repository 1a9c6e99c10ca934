"""configuration against a plain dict and against the same class written in Python.

    .venv/bin/python benchmarks/bench_configuration.py --fast
"""
import os
import sys

import pyperf

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_keyvane import PyNestedKeyvane, TREE  # noqa: E402

from morvath.datastructures.configuration import Configuration  # noqa: E402
from morvath.utils.strings import typecast_str  # noqa: E402


class PyConfiguration(PyNestedKeyvane):
    def copy(self):
        return type(self)(self)

    def __setitem__(self, key, value):
        super().__setitem__(key, typecast_str(value))


def main():
    runner = pyperf.Runner()
    runner.bench_func("build nested tree [dict]", dict, TREE)
    for label, cls in (("python", PyConfiguration), ("configuration", Configuration)):
        tree = cls(TREE)
        runner.bench_func(f"build nested tree [{label}]", cls, TREE)
        runner.bench_func(f"copy [{label}]", tree.copy)
        runner.timeit(f"plain store [{label}]", stmt="tree['x'] = 1", globals={"tree": tree})
        runner.timeit(f"dotted store [{label}]", stmt="tree['section7.key3'] = 1",
                      globals={"tree": tree})


if __name__ == "__main__":
    main()
