"""configuration against NestedKeyvane and against the same class written in Python.

Here the limit is the same work on a NestedKeyvane plus the calls of
`typecast_str` that a Configuration must make (once per stored value: twice
for a dotted store of two levels, once per leaf and block for a copy): a
Configuration should cost no more than the class it builds on and its own
conversions.

    .venv/bin/python benchmarks/bench_configuration.py [--fast] [-k TEXT]
"""
import configparser
import os

import yaml
from bench_keyvane import TREE, PyNestedKeyvane
from harness import Case, Contender, main

from morvath.datastructures.configuration import Configuration
from morvath.datastructures.keyvane import NestedKeyvane
from morvath.utils.strings import typecast_str


class PyConfiguration(PyNestedKeyvane):
    def copy(self):
        return type(self)(self)

    def __setitem__(self, key, value):
        super().__setitem__(key, typecast_str(value))

    def load_cfgs(self, *files):
        config = configparser.ConfigParser(delimiters=("=",), comment_prefixes=("#",))
        loaded_files = config.read(files)
        self.update(config)
        self.pop(configparser.DEFAULTSECT)
        return loaded_files

    def load_yamls(self, *files):
        loaded = []
        for file in list(files):
            if os.path.isfile(file):
                with open(file, "r") as f:
                    self.update(yaml.safe_load(f))
                loaded.append(file)
        return tuple(loaded)


def cases():
    ours, python, base = Configuration(TREE), PyConfiguration(TREE), NestedKeyvane(TREE)

    stored = [block for block in TREE.values()] + [leaf for block in TREE.values() for leaf in block.values()]
    limit_names = {"c": base, "cls": NestedKeyvane, "convert": typecast_str, "stored": stored}

    def case(name, stmt, base_stmt=None):
        return Case(name, Contender(stmt, {"c": ours}), Contender(stmt, {"c": python}),
                    Contender(base_stmt or stmt, limit_names), goal_python=4, goal_limit=1)

    return [
        case("Configuration dotted get", "c['section7.key3']"),
        case("Configuration dotted set", "c['section7.key3'] = 1", "c['section7.key3'] = convert(convert(1))"),
        case("Configuration copy of 1,000 leaves", "c.copy()", "cls(c), list(map(convert, stored))"),
    ]


if __name__ == "__main__":
    main(cases)
