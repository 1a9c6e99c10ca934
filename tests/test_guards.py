"""Fast paths that ask about a class, against class dictionaries whose keys compare in Python.

A class-dictionary lookup of a name runs the ``__eq__`` of any other key of the
same hash, and that ``__eq__`` may change the very class being asked about.
What a fast path remembers about a class must never outlive such a change, and
its questions must not add calls of such an ``__eq__`` to those the Python code
makes (nor swallow their errors).
"""
import gc
import os
import subprocess
import sys
from pathlib import Path

import pytest

from morvath.datastructures.branchel import Branchel
from morvath.datastructures.keyvane import NestedKeyvane

# The same classes written in Python, which the benchmarks compare with.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "benchmarks"))
from bench_branchel import PyBranchel  # noqa: E402
from bench_keyvane import PyNestedKeyvane  # noqa: E402


def key_of_hash(name, behaviour):
    """A str subclass key of `name`'s hash whose __eq__ logs and then runs `behaviour(log)`."""
    log = []

    class Key(str):
        def __hash__(self):
            return hash(name)

        def __eq__(self, other):
            log.append(other)
            return behaviour(log)

    return Key("k"), log


def draw_with_colliding_base(base, behaviour, name="__str__"):
    """str() of a node of `base` over three children of a class D whose base
    holds a key colliding with `name`; `behaviour(log, D)` runs in its __eq__."""
    classes = []
    key, log = key_of_hash(name, lambda log: behaviour(log, classes[0]) if classes else False)
    middle = type("C", (base,), {key: 1})
    D = type("D", (middle,), {})
    classes.append(D)
    log.clear()
    try:
        return str(base("root", [D("a"), D("b"), D("c")])), len(log)
    except BaseException as error:
        return (type(error), str(error)), len(log)


def override_once(log, cls):
    # Replaces __str__ on the first comparison, then reads an attribute so that
    # the class has a fresh version tag again before the lookup goes on.
    if len(log) == 1:
        cls.__str__ = lambda self: "override"
        cls.__str__
    return False


def raising(log, *unused):
    raise KeyboardInterrupt("compared")


@pytest.mark.parametrize("behaviour", [override_once, raising, lambda log, cls: False, lambda log, cls: True],
                         ids=["changes-the-class", "raises", "never-equal", "always-equal"])
def test_a_drawing_meets_a_colliding_key_as_the_python_class_does(behaviour):
    ours = draw_with_colliding_base(Branchel, behaviour)
    python = draw_with_colliding_base(PyBranchel, behaviour)
    assert ours == python


@pytest.mark.parametrize("name", ["name", "children"])
def test_attribute_reads_meet_a_colliding_key_as_the_python_class_does(name):
    ours = draw_with_colliding_base(Branchel, lambda log, cls: False, name)
    python = draw_with_colliding_base(PyBranchel, lambda log, cls: False, name)
    assert ours == python
    assert python[1] >= 1


def test_what_is_known_of_a_dead_class_is_not_taken_for_a_new_one():
    # Classes whose keys are all strings, drawn and dropped, then ones of the
    # same shape with a colliding key, which come to live at their addresses.
    for _ in range(40):
        plain = type("C", (Branchel,), {"k": 1})
        leaf = type("D", (plain,), {})
        str(Branchel("root", [leaf("a")]))
        del plain, leaf
        gc.collect()
        ours = draw_with_colliding_base(Branchel, raising)
        python = draw_with_colliding_base(PyBranchel, raising)
        assert ours == python


def test_a_class_changed_while_it_is_drawn_is_drawn_by_its_new_method():
    drawn, _ = draw_with_colliding_base(Branchel, override_once)
    assert drawn == "root\n|-- a\n|-- override\n`-- override"


# ---------------------------------------------------------------------------
# super() into a built-in base, past a colliding key


def read_past_colliding_dict_subclass(nested, behaviour, reads):
    """Reads of 'x' on an instance whose class puts, between the library's
    classes and dict, a class holding a key colliding with '__getitem__'."""
    key, log = key_of_hash("__getitem__", behaviour)
    middle = type("Middle", (dict,), {key: 1})
    cls = type("Sub", (nested, middle), {})
    n = cls()
    dict.__setitem__(n, "x", 1)
    log.clear()
    outcomes = []
    for _ in range(reads):
        try:
            outcomes.append(n["x"])
        except BaseException as error:
            outcomes.append((type(error), str(error)))
    return outcomes, len(log)


@pytest.mark.parametrize("behaviour", [lambda log: False, lambda log: True, raising],
                         ids=["never-equal", "always-equal", "raises"])
def test_super_into_dict_meets_a_colliding_key_as_super_does(behaviour):
    ours = read_past_colliding_dict_subclass(NestedKeyvane, behaviour, 3)
    python = read_past_colliding_dict_subclass(PyNestedKeyvane, behaviour, 3)
    assert ours == python
    assert python[1] >= 3


# ---------------------------------------------------------------------------
# What keyvane knows of a level's class


def read_through_changing_level(nested, reads):
    """Reads 'a.x' through a level whose class's base holds a key colliding
    with '__getitem__'; the first comparison gives the level's class its own
    __getitem__. The Python code reads the level with level['x']."""
    classes = []

    def behaviour(log):
        if len(log) == 1 and classes:
            classes[0].__getitem__ = lambda self, key: "override"
            classes[0].__getitem__
        return False

    key, log = key_of_hash("__getitem__", behaviour)
    middle = type("Middle", (nested,), {key: 1})
    level_class = type("Level", (middle,), {})
    level = level_class()
    dict.__setitem__(level, "x", 1)
    classes.append(level_class)
    log.clear()
    top = {"a": level} if nested is PyNestedKeyvane else NestedKeyvane()
    if nested is NestedKeyvane:
        dict.__setitem__(top, "a", level)
        values = [top["a.x"] for _ in range(reads)]
    else:
        values = [top["a"]["x"] for _ in range(reads)]
    return values, len(log)


def test_a_level_class_changed_while_it_is_read_is_read_by_its_new_method():
    ours = read_through_changing_level(NestedKeyvane, 3)
    python = read_through_changing_level(PyNestedKeyvane, 3)
    assert ours[0] == python[0] == [1, "override", "override"]
    assert ours[1] == python[1]


# ---------------------------------------------------------------------------
# The class call of a library class whose __init__ is inherited

CLASS_CALL = """
import morvath.datastructures.keyvane as keyvane

classes = []
log = []
class Key(str):
    def __hash__(self):
        return hash("__init__")
    def __eq__(self, other):
        log.append(other)
        if MODE == "change" and len(log) == 1 and classes:
            def replacement(self, *args, **kwargs):
                dict.__setitem__(self, "made_by", "replacement")
            classes[0].__init__ = replacement
            classes[0].__init__
        if MODE == "raise":
            raise KeyboardInterrupt("compared")
        return False

Base = type("Base", (keyvane.NestedKeyvane,), {Key("k"): 1})
if LIBRARY:
    keyvane.NestedKeyvane = Base
    from morvath.datastructures.configuration import Configuration as cls
else:
    cls = type("Configuration", (Base,), {})
classes.append(cls)
log.clear()
outcomes = []
for _ in range(3):
    try:
        outcomes.append(dict(cls()))
    except BaseException as error:
        outcomes.append(repr(error))
print(outcomes, len(log))
"""


def run_with_library_and_python(script, mode):
    """The output of `script` run in fresh interpreters with the library's
    class and with the Python one, under one hash seed (how often a probe
    meets a colliding key depends on it)."""
    results = []
    for library in (True, False):
        done = subprocess.run([sys.executable, "-c", f"MODE = {mode!r}\nLIBRARY = {library}\n" + script],
                              capture_output=True, text=True, timeout=120,
                              env={**os.environ, "PYTHONHASHSEED": "7"})
        assert done.returncode == 0, done.stderr
        results.append(done.stdout)
    return results


@pytest.mark.parametrize("mode", ["change", "count", "raise"])
def test_class_calls_meet_a_colliding_key_as_the_python_class_does(mode):
    results = run_with_library_and_python(CLASS_CALL, mode)
    assert results[0] == results[1]
    if mode == "change":
        assert "[{}, {'made_by': 'replacement'}, {'made_by': 'replacement'}]" in results[0]


# ---------------------------------------------------------------------------
# Reads of a descriptor whose own class dictionary holds a colliding key

DESCRIPTOR_READS = """
import builtins

log = []
armed = False
class Key(str):
    def __hash__(self):
        return hash("__get__")
    def __eq__(self, other):
        log.append(other)
        if MODE == "raise" and armed:
            raise KeyboardInterrupt("compared")
        return False

class Meta(type):
    # Puts the key first in every class made through it, so that lookups of
    # '__get__' in the class's own dictionary meet it.
    def __new__(mcls, name, bases, namespace):
        return super().__new__(mcls, name, bases, {Key("k"): 1, **namespace})

Base = Meta("Base", (), {})
if LIBRARY:
    builtins.object, plain = Base, builtins.object
    from morvath.datastructures.tyvern import TyvernDescriptor as descriptor
    builtins.object = plain
else:
    class descriptor(Base):
        def __init__(self, func):
            self.func = func
        def __get__(self, obj, owner):
            return self.func(owner)

class Owner:
    size = descriptor(lambda cls: cls.__name__)
log.clear()
armed = True
outcomes = []
for _ in range(5):
    try:
        value = Owner.size
        outcomes.append("the descriptor itself" if value is vars(Owner)["size"] else value)
    except BaseException as error:
        outcomes.append(repr(error))
print(outcomes, len(log))
"""


@pytest.mark.parametrize("mode", ["count", "raise"])
def test_descriptor_reads_meet_a_colliding_key_as_the_python_class_does(mode):
    results = run_with_library_and_python(DESCRIPTOR_READS, mode)
    assert results[0] == results[1]
