"""How Fadeline's super() calls meet a class dictionary whose keys compare in Python.

A class-dictionary lookup of a method name runs the ``__eq__`` of any other key
of the same hash. A class between Fadeline and UserList holding such a key is
met by every ``super().<name>`` of Fadeline's methods; the compiled methods must
meet it exactly as often as the Python methods do, and let its error through
as super() does.
"""
import sys
from collections import UserList
from pathlib import Path

import pytest

from morvath.datastructures.fadeline import Fadeline

# The same class written in Python, which the benchmarks compare with.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "benchmarks"))
from bench_fadeline import PyFadeline  # noqa: E402
from test_guards import key_of_hash  # noqa: E402


class Item:
    def __init__(self, n):
        self.n = n

    def __eq__(self, other):
        return isinstance(other, Item) and self.n == other.n

    def __lt__(self, other):
        return self.n < other.n

    __hash__ = object.__hash__


# name looked up by super(), operation on a list holding `items`
OPERATIONS = {
    "append": ("append", lambda f, items: f.append(items[0])),
    "contains": ("__contains__", lambda f, items: items[1] in f),
    "index": ("index", lambda f, items: f.index(items[1])),
    "remove": ("remove", lambda f, items: f.remove(items[1])),
    "sort": ("sort", lambda f, items: f.sort()),
}


def colliding_setup(base, name, behaviour):
    """A subclass of `base` whose MRO has, between `base` and UserList, a
    class holding a key of the same hash as `name` that compares by
    `behaviour` (called with the log of calls)."""
    key, calls = key_of_hash(name, behaviour)
    Middle = type("Middle", (UserList,), {key: 1})
    Sub = type("Sub", (base, Middle), {})
    items = [Item(3), Item(1), Item(2)]
    f = Sub(items)
    calls.clear()
    return f, items, calls


def run(base, operation, behaviour, times):
    name, op = OPERATIONS[operation]
    f, items, calls = colliding_setup(base, name, behaviour)
    outcomes = []
    for _ in range(times):
        try:
            outcomes.append(("value", op(f, items)))
        except BaseException as error:  # KeyboardInterrupt included
            outcomes.append(("raised", type(error), str(error)))
    held = [r() for r in f.data]
    count = len(calls)
    f.data.clear()  # no cleanup callback meets the key once the items go
    return outcomes, count, held


def raising(calls):
    raise KeyboardInterrupt("compared")


def counting(calls):
    return False


@pytest.mark.parametrize("operation", sorted(OPERATIONS))
def test_a_raising_key_is_met_once_and_its_error_propagates(operation):
    ours = run(Fadeline, operation, raising, 1)
    python = run(PyFadeline, operation, raising, 1)
    assert ours[0] == python[0] == [("raised", KeyboardInterrupt, "compared")]
    assert ours[1] == python[1] >= 1
    assert [i.n for i in ours[2]] == [i.n for i in python[2]]


@pytest.mark.parametrize("operation", sorted(OPERATIONS))
def test_a_comparing_key_is_met_as_often_as_the_python_methods_meet_it(operation):
    times = 1 if operation == "remove" else 4
    ours = run(Fadeline, operation, counting, times)
    python = run(PyFadeline, operation, counting, times)
    assert ours[0] == python[0]
    # A probe of a small table may meet the same key twice: count, don't guess.
    assert ours[1] == python[1] >= times
    assert [i.n for i in ours[2]] == [i.n for i in python[2]]


def test_a_key_that_matches_makes_super_find_its_value():
    # The colliding key claims to be the method name: super() finds its value
    # (1), which is not callable, as the Python method would.
    ours = run(Fadeline, "append", lambda calls: True, 1)
    python = run(PyFadeline, "append", lambda calls: True, 1)
    assert ours[0] == python[0] == [("raised", TypeError, "'int' object is not callable")]
    assert ours[1] == python[1] >= 1


def raising_once(calls):
    if len(calls) == 1:
        raise KeyboardInterrupt("compared")
    return False


def test_a_key_that_fails_once_fails_one_call_only():
    ours = run(Fadeline, "append", raising_once, 3)
    python = run(PyFadeline, "append", raising_once, 3)
    assert ours[0] == python[0]
    assert ours[0][0][0] == "raised" and ours[0][1] == ("value", None)
    assert ours[1] == python[1] >= 3
