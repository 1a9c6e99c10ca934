"""pathrell against the same class written in Python and a plain recursive walk.

    .venv/bin/python benchmarks/bench_pathrell.py --fast

Each benchmark flattens or rebuilds a settings-like tree with 100,000 leaves
(dictionaries three levels deep, some lists of small records).
"""
from collections import namedtuple
from collections.abc import MutableMapping

import pyperf

from morvath.datastructures.pathrell import Pathrell

PyDictItem = namedtuple("PyDictItem", ("path", "value"))


class PyIndexMarker:
    def __init__(self, obj, index):
        self.type_ = type(obj)
        self.index = index if type(index) is int else int(index)


class PyPathrell(list):
    def __init__(self, *args):
        if len(args) == 1 and isinstance(args[0], MutableMapping):
            super().__init__(PyPathrell.__flatten__(args[0]))
        else:
            super().__init__(*args)

    @staticmethod
    def __flatten__(indict, path=None):
        path = path[:] if path else ()
        if isinstance(indict, MutableMapping):
            for key, value in indict.items():
                if isinstance(value, (MutableMapping, list, tuple)) and value:
                    for d in PyPathrell.__flatten__(value, path + (key,)):
                        yield d
                else:
                    yield PyDictItem(path + (key,), value)
        elif isinstance(indict, (list, tuple)):
            for index, value in enumerate(indict):
                if isinstance(value, (MutableMapping, list, tuple)) and value:
                    for d in PyPathrell.__flatten__(value, path + (PyIndexMarker(indict, index),)):
                        yield d
                else:
                    yield PyDictItem(path + (PyIndexMarker(indict, index),), value)
        else:
            yield indict

    def reconstruct(self):
        ret = {}
        for path, obj in self:
            ptr = ret
            path = list(path)
            while path:
                k = path.pop(0)
                if isinstance(k, PyIndexMarker):
                    if type(ptr) is not k.type_:
                        prev_ptr[prev_k] = k.type_(({},))  # noqa: F821
                    else:
                        try:
                            ptr[k.index]
                        except IndexError:
                            ptr += k.type_(({},))
                    if k.type_ is tuple:
                        tuple_ptr, tuple_k = prev_ptr, prev_k
                    prev_ptr = prev_ptr[prev_k]
                    prev_k = -1
                    ptr = prev_ptr[-1]
                else:
                    if isinstance(ptr, MutableMapping):
                        ptr[k] = ptr.get(k, {})
                    else:
                        ptr += type(ptr)(({k: {}},))
                        ptr = ptr[-1]
                    prev_ptr, prev_k = ptr, k
                    ptr = ptr[k]
            if isinstance(k, PyIndexMarker) and k.type_ is tuple:
                if tuple_ptr[tuple_k] == ({},):
                    tuple_ptr[tuple_k] = (obj,)
                else:
                    prev_ptr = prev_ptr + (obj,)
                    tuple_ptr[tuple_k] = prev_ptr
            else:
                prev_ptr[prev_k] = obj
        return ret


def walk(d, path=()):
    """The plain alternative: nested dicts only, lists kept as values."""
    for key, value in d.items():
        if isinstance(value, dict) and value:
            yield from walk(value, path + (key,))
        else:
            yield path + (key,), value


def unwalk(pairs):
    ret = {}
    for path, value in pairs:
        level = ret
        for key in path[:-1]:
            level = level.setdefault(key, {})
        level[path[-1]] = value
    return ret


def settings_tree():
    tree = {}
    for s in range(1000):
        section = tree[f"service{s}"] = {}
        for o in range(9):
            section[f"option{o}"] = {"value": o, "default": None, "help": "text",
                                     "scale": 1.5, "enabled": True,
                                     "unit": "s", "owner": "ops", "tag": o, "rank": s, "note": ""}
        section["hosts"] = [{"name": f"h{h}", "port": 8000 + h} for h in range(5)]
    return tree


TREE = settings_tree()
FLAT = Pathrell(TREE)
PY_FLAT = PyPathrell(TREE)
PAIRS = list(walk(TREE))


def main():
    runner = pyperf.Runner()
    runner.metadata["description"] = "flatten and rebuild a tree with 100,000 leaves"
    runner.bench_func("flatten: Pathrell", Pathrell, TREE)
    runner.bench_func("flatten: same class in Python", PyPathrell, TREE)
    runner.bench_func("flatten: plain recursive walk", lambda: list(walk(TREE)))
    runner.bench_func("rebuild: Pathrell.reconstruct", FLAT.reconstruct)
    runner.bench_func("rebuild: same class in Python", PY_FLAT.reconstruct)
    runner.bench_func("rebuild: plain setdefault loop", unwalk, PAIRS)


if __name__ == "__main__":
    main()
