import collections
import contextlib
import dataclasses
import gc
import inspect
import operator
import random
import subprocess
import sys
import traceback
import types
import weakref

import pytest

from morvath.datastructures import fadeline
from morvath.datastructures.fadeline import Fadeline

METHODS = ("__init__ __contains__ __getitem__ __setitem__ __iter__ __eq__ __reversed__ __add__ "
           "__iadd__ remove append index count pop insert extend sort __repr__ __str__").split()


@dataclasses.dataclass(order=True, unsafe_hash=False)
class Item:
    value: int
    __str__ = lambda self: f"<{self.value}>"


class Sub(Fadeline):
    def __init__(self, items=()):
        self.given = items
        super().__init__(items)


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


@pytest.fixture
def items():
    return [Item(i) for i in range(4)]


def test_module_class_and_function_records(items):
    assert fadeline.__doc__ is None and fadeline.__test__ == {} and fadeline.weakref is weakref
    assert Fadeline.__bases__ == (collections.UserList,) and Fadeline.__hash__ is None
    doc = Fadeline.__doc__
    assert doc.startswith("Fadeline Class\n\n    A special implementation of python native list")
    assert "original list. \n\n    Special Behaviors:\n" in doc and doc.endswith("collections.\n    ")
    assert [n for n, v in vars(Fadeline).items() if inspect.isfunction(v)] == METHODS
    for name in METHODS:
        f = vars(Fadeline)[name]
        assert (f.__qualname__, f.__module__, f.__doc__) == (
            "Fadeline." + name, "morvath.datastructures.fadeline", None)
    assert [str(inspect.signature(f)) for f in (Fadeline.__init__, Fadeline.pop, Fadeline.sort)] == [
        "(self, items=())", "(self, item=-1)", "(self, key=None, reverse=False)"]
    it, part = iter(Fadeline(items)), Sub(items)[1:3]
    assert (it.__name__, it.__qualname__) == ("__iter__", "Fadeline.__iter__")
    assert (part.given.__name__, part.given.__qualname__) == (
        "genexpr", "Fadeline.__getitem__.<locals>.genexpr")


@pytest.mark.parametrize("op", [
    lambda fl, x: Fadeline.__init__(fl, [x, 1]), lambda fl, x: fl.append(5),
    lambda fl, x: fl.insert(0, 5), lambda fl, x: fl.extend([x, 5]),
    lambda fl, x: operator.iadd(fl, [x, 5]), lambda fl, x: operator.setitem(fl, slice(0, 2), [x, 7]),
    lambda fl, x: operator.setitem(fl, 0, 7), lambda fl, x: 5 in fl, lambda fl, x: fl.remove(5),
    lambda fl, x: fl.index(5), lambda fl, x: fl.count(5), lambda fl, x: fl.pop("text"),
])
def test_refusal_leaves_the_list_unchanged(op, items):
    fl = Fadeline(items[:2])
    before = list(fl.data)
    with pytest.raises(TypeError, match="cannot create weak reference to '(int|str)' object"):
        op(fl, items[3])
    assert len(fl.data) == 2 and all(r is s for r, s in zip(fl.data, before))


def test_entries_leave_when_items_die(items, unraisable):
    a, b, c, d = items
    fl = Fadeline([a, b, a, c])
    part, back, total = fl[0:3], reversed(fl), fl + Fadeline([a])
    del items[:], a
    assert [list(x) for x in (fl, part, back, total)] == [[b, c], [b], [c, b], [b, c]]
    fl[0] = d                      # the replaced reference goes with its entry
    del b
    assert list(fl) == [d, c] and unraisable == []
    ref = weakref.ref(fl)
    del fl
    gc.collect()
    assert ref() is None


def test_dead_entries_and_unstored_callbacks(items, unraisable):
    fl = Fadeline(items[:2])
    fl *= 2                        # each reference at two positions: its one callback
    kept = fl.data[1]              # deletes the first, the second stays dead
    del fl[1::2], items[:2]        # the callback of a reference no longer stored fails
    assert fl[0] is None and list(fl) == [None] == fl and repr(fl) == "Fadeline([None])"
    assert len(unraisable) == 1 and unraisable[0].exc_type is ValueError
    assert unraisable[0].object == fl.remove and kept() is None
    for copy in (lambda: fl[0:1], lambda: Fadeline() + fl):      # None cannot be stored again
        with pytest.raises(TypeError, match="'NoneType'"):
            copy()


def test_reads_lookups_and_equality(items):
    a, b = items[:2]
    fl = Fadeline(items=[a, b, a])
    assert fl[0] is a and fl[-2] is b and Item(1) in fl and Item(9) not in fl
    assert fl.index(Item(1)) == 1 and fl.count(a) == 2 and list(Fadeline()) == []
    with pytest.raises(IndexError, match="list index out of range") as info:
        fl[5]
    last = traceback.extract_tb(info.value.__traceback__)[-1]
    assert (last.name, last.filename, last.lineno) == (
        "morvath.datastructures.fadeline.Fadeline.__getitem__", "src/morvath/datastructures/fadeline", 34)
    with pytest.raises(TypeError, match=r"index\(\) takes exactly 2 positional arguments \(3 given\)"):
        fl.index(a, 0)
    with pytest.raises(TypeError, match="not iterable"):
        Fadeline(None)
    fl.remove(Item(0))
    fl.remove(weakref.ref(b))          # a reference object is not wrapped again
    assert list(fl) == [a] and fl == [a] and [a] == fl and fl == Fadeline([a]) and fl != [b]
    for missing in (Item(9), weakref.ref(b)):
        with pytest.raises(ValueError, match=r"list.remove\(x\): x not in list"):
            fl.remove(missing)


def test_slices_and_reversed_keep_the_class_but_add_does_not(items):
    a, b, c = items[:3]
    fl = Sub([a, b, c])
    assert type(fl[1:3]) is Sub and list(fl[1:3]) == [b, c] and list(fl[::-2]) == [c, a]
    assert type(reversed(fl)) is Sub and list(reversed(fl)) == [c, b, a]
    assert type(Sub([a]) + Sub([b])) is Fadeline and list(Sub([a]) + Sub([b])) == [a, b]
    for other, name in (([a], "list"), ((a,), "tuple")):
        with pytest.raises(TypeError) as info:
            fl + other
        assert str(info.value) == f'can only concatenante Fadeline (not "{name}") to Fadeline'


def test_writes(items):
    a, b, c, d = items
    fl = Fadeline([a, b])
    fl.insert(0, c), fl.insert(100, d)
    fl[1:3] = [d]
    assert list(fl) == [c, d, d]
    with pytest.raises(ValueError, match="extended slice of size 2"):
        fl[::2] = [a]
    fl.extend(fl)
    same = fl
    fl += fl
    assert same is fl and list(fl) == [c, d, d] * 4


@pytest.mark.parametrize("args, kwargs, order", [
    ((), {}, [2, 0, 3, 1]), ((), {"key": lambda i: -i.value}, [1, 0, 3, 2]),
    ((None, True), {}, [1, 0, 3, 2]), ((), {"reverse": True}, [1, 0, 3, 2]),
    ((), {"key": lambda i: 0}, [0, 1, 2, 3]),
])
def test_sort_is_stable_and_moves_the_entries(args, kwargs, order):
    values = [Item(v) for v in (1, 2, 0, 1)]
    fl = Fadeline(values)
    entries = set(map(id, fl.data))
    assert fl.sort(*args, **kwargs) is None and set(map(id, fl.data)) == entries
    assert [id(x) for x in fl] == [id(values[i]) for i in order]


@pytest.mark.parametrize("form, text", [(repr, "Fadeline([Item(value=1), Item(value=2)])"),
                                        (str, "Fadeline([<1>, <2>])")])
def test_string_forms(form, text):
    one, two = Item(1), Item(2)
    assert form(Sub([one, two])) == text and form(Fadeline()) == "Fadeline([])"


def test_pop_by_position_or_by_equal_item(items):
    a, b, c, d = items
    fl = Fadeline([a, b, c, a])
    assert fl.pop() is a and fl.pop(0) is a and fl.pop(True) is c
    fl.extend([d, a])
    assert fl.pop(item=Item(3)) is d and list(fl) == [b, a]
    with pytest.raises(IndexError, match="pop index out of range"):
        fl.pop(5)
    fl.data.append(5)                  # a foreign entry is compared, as index does, not called
    with pytest.raises(ValueError, match="is not in list"):
        fl.pop(Item(9))
    del fl.data[-1]
    fl *= 2
    del items[:], a
    assert [fl.pop(), fl.pop(), fl.pop()] == [None, b, b]
    with pytest.raises(IndexError, match="pop from empty list"):
        fl.pop()


@pytest.mark.parametrize("form, shown", [(repr, "Fleeting(value={})"), (str, "<{}>")])
@pytest.mark.parametrize("fleeting", [{0}, {1}, {0, 1, 2}, {3}])
def test_string_forms_show_items_that_let_go_of_themselves(form, shown, fleeting, unraisable):
    class Fleeting(Item):                   # drops its last reference while it is shown
        def __repr__(self):
            pool.pop(self.value if self.value in fleeting else None, None)
            return f"Fleeting(value={self.value})"
        def __str__(self):
            pool.pop(self.value if self.value in fleeting else None, None)
            return f"<{self.value}>"
    pool = {i: Fleeting(i) for i in range(4)}
    fl = Fadeline(pool.values())
    text = form(fl)
    assert text == "Fadeline([" + ", ".join(shown.format(i) for i in range(4)) + "])"
    assert [i.value for i in fl] == sorted(set(range(4)) - fleeting) and unraisable == []


def test_deaths_in_the_middle_of_operations(items, unraisable):
    fl = Fadeline(Item(i) for i in range(3))      # held until stored, then gone
    fl.extend(Item(i) for i in range(3))
    fl[0:0] = (Item(i) for i in range(3))
    assert len(fl) == 0
    fl = Fadeline(items)
    it = iter(fl)
    assert next(it) is items[0]
    del items[2]
    assert list(it) == items[1:]
    seven = Item(7)
    fl.extend((items.pop(), v)[1] for v in [seven])    # kills a stored item mid-extend
    assert list(fl) == [*items, seven]
    registry = {i: Item(i) for i in range(5)}
    fl = Fadeline(registry.values())
    fl.sort(key=lambda i: (registry.pop(3, None), -i.value)[1])
    assert [i.value for i in fl] == [4, 2, 1, 0] and unraisable == []


@pytest.mark.parametrize("take", [Fadeline.pop, Fadeline.remove])
@pytest.mark.parametrize("fleeting, left", [({1}, [0, 2, 3]), ({0, 1, 2, 3}, [2, 3])])
def test_items_dying_while_compared(take, fleeting, left, unraisable):
    class Fleeting(Item):                   # lets go of itself while it is compared
        def __eq__(self, other):
            pool.pop(self.value if self.value in fleeting else None, None)
            return self.value == other.value
    pool = {i: Fleeting(i) for i in range(4)}
    fl = Fadeline(pool.values())
    take(fl, Item(1))                       # the matched entry leaves, and no other
    assert [i.value for i in fl] == left and unraisable == []


def test_random_operations_match_a_list_model():
    rng = random.Random(7)
    pool = [Item(i % 5) for i in range(40)]
    fl, model = Fadeline(), []
    for _ in range(3000):
        op, x = rng.randrange(6), None
        if op == 0 and pool:
            x, at = rng.choice(pool), rng.randrange(-3, len(model) + 3)
            fl.insert(at, x), model.insert(at, x)
        elif op == 1 and pool:
            victim = pool.pop(rng.randrange(len(pool)))
            model[:] = [x for x in model if x is not victim]
            del victim
        elif op == 2 and model:
            x = rng.choice(model)
            assert fl.pop(Item(x.value)) is model.pop(model.index(x))
        elif op == 3 and model:
            at = rng.randrange(len(model))
            assert fl.pop(at) is model.pop(at)
        elif op == 4:
            fl.sort(key=lambda i: i.value), model.sort(key=lambda i: i.value)
        elif op == 5:
            fl.extend(model[:3]), model.extend(model[:3])
        assert len(fl) == len(model) and all(x is y for x, y in zip(fl, model))


class Between(collections.UserList):
    """Sits between Fadeline and UserList, so super() reaches Python methods."""
    calls = set()
    for _name in ("__init__", "__contains__", "__getitem__", "__setitem__", "remove", "append",
                  "index", "count", "pop", "insert", "extend", "sort"):
        locals()[_name] = (lambda name: lambda self, *a, **k: (
            Between.calls.add(name), getattr(super(Between, self), name)(*a, **k))[1])(_name)


class DataProperty(Fadeline):
    data = property(lambda self: self.__dict__["data"],
                    lambda self, value: self.__dict__.__setitem__("data", value))


@pytest.mark.parametrize("cls", [Fadeline, type("ThroughMixin", (Fadeline, Between), {}), DataProperty])
def test_every_base_path_behaves_alike(cls, items):
    a, b, c, d = items
    fl = cls([a])
    fl.extend([b]), fl.append(c), fl.insert(0, d)
    fl[1] = b
    fl.remove(Item(2))
    assert list(fl) == [d, b, b] and fl[0] is d and a not in fl and b in fl
    assert fl.index(b) == 1 and fl.count(b) == 2 and fl.pop(Item(1)) is b and fl.pop(0) is d
    doomed = [Item(7), Item(8)]
    fl.extend(doomed)
    fl.sort(key=lambda i: (doomed.clear(), i)[1], reverse=True)   # held until the sort ends
    assert list(fl) == [b]
    del items[:], b
    assert list(fl) == [] and len(fl.data) == 0
    assert Between not in cls.__mro__ or len(Between.calls) == 12


def test_patched_bases_and_globals_are_honoured(monkeypatch, items):
    seen = []
    original = collections.UserList.append
    monkeypatch.setattr(collections.UserList, "append", lambda s, x: (seen.append(x), original(s, x))[1])
    monkeypatch.setattr(fadeline, "weakref", types.SimpleNamespace(
        ref=lambda *a: (seen.append(a), weakref.ref(*a))[1], ReferenceType=weakref.ReferenceType))
    fl = Fadeline(items[:2])
    fl.append(items[2])
    assert len(seen) == 4 and type(seen[3]) is weakref.ref and seen[0][1] == fl.remove
    monkeypatch.setattr(fadeline, "Fadeline", Sub)
    with pytest.raises(TypeError, match='not "Fadeline"'):
        fl + fl
    assert type(Sub() + Sub()) is Sub


def test_self_containing_repr_ends_in_recursion_error():
    code = ("from morvath.datastructures.fadeline import Fadeline\n"
            "fl = Fadeline(); fl.append(fl)\n"
            "try:\n    repr(fl)\nexcept RecursionError:\n    print('ok')\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 0 and done.stdout == "ok\n", done.stderr


def test_no_leaks(assert_no_leak):
    def work():
        pool = [Item(i) for i in range(20)]
        fl = Fadeline(pool)
        fl += pool[:5]
        fl.sort(key=lambda i: -i.value)
        fl.pop(Item(3)), fl.index(pool[4]), repr(fl), fl[2:9], reversed(fl), fl + fl
        del pool[::2]
        fl.remove(pool[0])
        for fail in (lambda: fl.extend([pool[1], 1]), lambda: fl.pop(Item(99)), lambda: fl + [1]):
            with contextlib.suppress(TypeError, ValueError):
                fail()
    assert_no_leak(work)


class Plain:
    """Keeps object's equality (identity), as most stored objects do."""
    def __init__(self, value):
        self.value = value

    def __lt__(self, other):            # a comparison method, but not __eq__
        return self.value < other.value


class Counted(Plain):
    log = []

    def __eq__(self, other):
        Counted.log.append((self.value, getattr(other, "value", other)))
        return isinstance(other, Plain) and self.value == other.value

    __hash__ = object.__hash__


class Inherits(Counted):
    pass


@pytest.fixture
def log():
    Counted.log = []
    return Counted.log


@pytest.mark.parametrize("cls", [Counted, Inherits])
def test_lookups_call_every_own_eq_as_the_list_does(cls, log):
    a, b, c = cls(0), cls(1), cls(2)
    fl = Fadeline([a, b, c, b])
    probe = cls(1)
    assert probe in fl and log == [(0, 1), (1, 1)]
    log.clear()
    assert fl.index(probe) == 1 and fl.count(probe) == 2
    assert log == [(0, 1), (1, 1)] + [(0, 1), (1, 1), (2, 1), (1, 1)]
    log.clear()
    assert fl.pop(probe) is b and log == [(0, 1), (1, 1)]
    log.clear()
    fl.remove(probe)
    assert list(fl) == [a, c] and log == [(0, 1), (2, 1), (1, 1)]
    log.clear()
    assert b not in fl and log == [(0, 1), (2, 1)]


def test_mixed_classes_compare_through_either_eq(log):
    plain, counted = Plain(1), Counted(1)
    fl = Fadeline([plain, Plain(2)])
    assert counted in fl and log == [(1, 1)]          # the reflected __eq__ of the probe
    log.clear()
    fl = Fadeline([counted])
    assert Plain(1) in fl and log == [(1, 1)]         # the entry's item's own __eq__
    log.clear()
    assert counted in fl and log == [(1, 1)]          # the same object still asks __eq__


def test_identity_lookups_see_a_class_that_gains_eq():
    class Late(Plain):
        pass
    a, twin, other = Late(1), Late(1), Plain(0)
    fl = Fadeline([a, other])
    assert twin not in fl and fl.index(a) == 0 and fl.count(twin) == 0
    Late.__eq__ = lambda self, other: getattr(other, "value", None) == self.value
    assert twin in fl and fl.index(twin) == 0 and fl.count(twin) == 1
    fl.remove(twin)
    assert list(fl) == [other]
    del Late.__eq__
    assert Late(0) not in fl


def test_foreign_entries_are_compared_in_general(unraisable):
    calls = []

    class Foreign:
        def __eq__(self, other):
            calls.append(type(other).__name__)
            return False

    items = [Plain(i) for i in range(6)]
    fl = Fadeline(items)
    fl.data.insert(2, Foreign())
    assert items[4] in fl and calls == ["ReferenceType"]
    assert fl.index(items[1]) == 1 and fl.index(items[4]) == 5 and fl.count(items[5]) == 1
    del calls[:]
    del items[3:]                          # cleanup passes the foreign entry, asking it each time
    assert len(fl.data) == 4 and calls == ["ReferenceType"] * 3 and unraisable == []
    with pytest.raises(ValueError, match="is not in list"):
        fl.pop(Plain(9))


def test_mass_death_takes_exactly_the_dead_entries(unraisable):
    items = [Plain(i) for i in range(3000)]
    fl = Fadeline(items)
    fl.extend(items[::3])                  # an item stored twice has two entries to clean up
    keep = items[1::2]
    del items[:]
    assert [x.value for x in fl] == list(range(1, 3000, 2)) + [v for v in range(0, 3000, 3) if v % 2]
    assert all(x is y for x, y in zip(fl, keep)) and unraisable == []
    fl *= 2
    doomed = keep[0]
    del keep[0], doomed                    # one callback per reference: the first copy goes
    assert fl[0].value == 3 and len([x for x in fl if x is None]) == 1 and unraisable == []


def test_entries_read_weakref_ref_and_remove_at_each_item(monkeypatch):
    made = []

    class Counting(weakref.ref):
        __slots__ = ()

        def __new__(cls, *args):
            made.append(args)
            return super().__new__(cls, *args)

    pool = [Plain(i) for i in range(3)]

    def patching():
        yield pool[0]
        monkeypatch.setattr(weakref, "ref", Counting)      # seen by the very next entry
        yield pool[1]

    plain = weakref.ref
    fl = Fadeline(patching())
    monkeypatch.undo()
    fl.extend(pool[2:])
    assert [type(r) for r in fl.data] == [plain, Counting, plain] and len(made) == 1
    monkeypatch.setattr(fadeline, "weakref", types.SimpleNamespace(ref=Counting))
    fl.append(pool[0])
    assert type(fl.data[-1]) is Counting and len(made) == 2
    monkeypatch.undo()
    fl.remove = own = lambda ref: None                   # an instance attribute is the callback
    fl.append(pool[0])
    assert fl.data[-1].__callback__ is own and fl.data[0].__callback__ == Fadeline.remove.__get__(fl)

    class Own(Fadeline):
        def remove(self, item):
            super().remove(item)

    sub = Own(pool)
    assert all(r.__callback__ == sub.remove for r in sub.data)
    made.clear()
    del pool[0]                      # the entry whose callback is `own` stays, dead
    assert len(sub) == 2 and len(fl) == 3 and fl.data[-1]() is None


class CallingRef(weakref.ref):
    """A reference whose call is counted: only reads of the item may call it."""
    calls = 0

    def __call__(self):
        CallingRef.calls += 1
        return super().__call__()


def test_remove_does_not_call_the_entry_and_pop_reads_it_once(monkeypatch):
    monkeypatch.setattr(fadeline, "weakref", types.SimpleNamespace(
        ref=CallingRef, ReferenceType=weakref.ReferenceType))
    a, b = Plain(0), Plain(1)
    fl = Fadeline([a, b, a])
    CallingRef.calls = 0
    fl.remove(a)
    assert CallingRef.calls == 0 and len(fl.data) == 2
    assert fl.pop(b) is b and CallingRef.calls == 1
    monkeypatch.setattr(CallingRef, "__call__", lambda self: 1 / 0)
    fl.remove(a)                            # never called, so it cannot fail
    assert fl.data == []


def test_pop_tells_positions_by_the_class_attribute():
    class Meta(type):
        __index__ = lambda cls: 0
        looked = []

        def __getattr__(cls, name):
            Meta.looked.append(name)
            raise AttributeError(name)

    class W(metaclass=Meta):
        pass

    class Lookup(type):
        def __getattr__(cls, name):
            Meta.looked.append(name)
            raise AttributeError(name)

    class V(metaclass=Lookup):
        pass

    w, v = W(), V()
    fl = Fadeline([w, v])
    with pytest.raises(TypeError, match="'W' object cannot be interpreted as an integer"):
        fl.pop(w)
    assert fl.pop(v) is v and Meta.looked == ["__index__"] and list(fl) == [w]


def test_pop_and_remove_read_data_as_often_as_their_code_does():
    reads = []

    class Watched(Fadeline):
        data = property(lambda self: (reads.append(1), self.__dict__["data"])[1],
                        lambda self, value: self.__dict__.__setitem__("data", value))

    a, b = Plain(0), Plain(1)
    fl = Watched([a, b])
    reads.clear()
    assert fl.pop(b) is b and len(reads) == 2
    reads.clear()
    assert fl.pop(0) is a and len(reads) == 1
    fl.append(a)
    reads.clear()
    fl.remove(a)
    assert len(reads) == 1 and fl.data == []


@pytest.mark.parametrize("cls", [Fadeline, DataProperty])
def test_string_forms_walk_the_items_as_iteration_does(cls):
    a, b = Plain(0), Plain(1)
    fl = cls([a, b])
    fl.data.insert(1, lambda: "called")      # an entry of another kind is called, as iteration calls it
    assert repr(fl) == f"Fadeline([{a!r}, 'called', {b!r}])" and str(fl) == f"Fadeline([{a}, called, {b}])"

    def stop():
        raise StopIteration
    fl.data[1] = stop
    with pytest.raises(RuntimeError, match="generator raised StopIteration") as info:
        repr(fl)
    entries = [(e.name, e.lineno) for e in traceback.extract_tb(info.value.__cause__.__traceback__)]
    assert [name for name, _ in entries] == ["morvath.datastructures.fadeline.Fadeline.__iter__", "stop"]
    assert entries[0][1] == 45

    class Shown(cls):
        def __iter__(self):
            yield "own"
    assert str(Shown([a])) == "Fadeline([own])"


def test_string_forms_of_every_width():
    class Shown(Plain):
        __repr__ = __str__ = lambda self: self.value
    texts = ["a", "", "é", "€uro", "🐍", type("Text", (str,), {})("sub")]
    items = [Shown(t) for t in texts]
    for form in (repr, str):
        assert form(Fadeline(items)) == "Fadeline([" + ", ".join(texts) + "])"
        assert form(Fadeline(items[:1])) == "Fadeline([a])"
