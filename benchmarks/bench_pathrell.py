"""pathrell against the same class written in Python and a plain recursive walk.

    .venv/bin/python benchmarks/bench_pathrell.py [--fast]

Each case flattens or rebuilds a settings-like tree with 10,000 leaves
(dictionaries three levels deep, some lists of small records); one flattens
such a tree of 10^6 leaves with the cyclic collector on, as users run. The limit is
the plain walk over nested dicts that keeps lists as values: the least work
a flattening or rebuilding can do in Python.
"""
from collections import namedtuple
from collections.abc import MutableMapping

from harness import Case, Contender, main

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


def settings_tree(sections):
    """A tree of 100 leaves per section."""
    tree = {}
    for s in range(sections):
        section = tree[f"service{s}"] = {}
        for o in range(9):
            section[f"option{o}"] = {"value": o, "default": None, "help": "text",
                                     "scale": 1.5, "enabled": True,
                                     "unit": "s", "owner": "ops", "tag": o, "rank": s, "note": ""}
        section["hosts"] = [{"name": f"h{h}", "port": 8000 + h} for h in range(5)]
    return tree


def cases():
    tree = settings_tree(100)
    names = {"tree": tree, "Pathrell": Pathrell, "PyPathrell": PyPathrell, "walk": walk,
             "unwalk": unwalk, "flat": Pathrell(tree), "py_flat": PyPathrell(tree),
             "pairs": list(walk(tree))}
    # timeit turns the collector off while it times; these cases turn it back on
    big = {"tree": settings_tree(10_000), "Pathrell": Pathrell, "PyPathrell": PyPathrell,
           "walk": walk}
    collector_on = "import gc; gc.enable()"
    return [
        Case("Pathrell(10^6 leaves), collector on",
             Contender("Pathrell(tree)", big, collector_on),
             Contender("PyPathrell(tree)", big, collector_on),
             Contender("list(walk(tree))", big, collector_on), goal_python=6),
        Case("Pathrell(10,000 leaves)", Contender("Pathrell(tree)", names),
             Contender("PyPathrell(tree)", names), Contender("list(walk(tree))", names),
             goal_python=6),
        Case("reconstruct 10,000 leaves", Contender("flat.reconstruct()", names),
             Contender("py_flat.reconstruct()", names), Contender("unwalk(pairs)", names),
             goal_python=12),
    ]


if __name__ == "__main__":
    main(cases)
