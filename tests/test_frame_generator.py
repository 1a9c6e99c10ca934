"""The frame's generator type as Python code sees it, through each of the
generators it serves: Fadeline.__iter__, the slice's generator of
Fadeline.__getitem__ and Pathrell.__flatten__, next to a Python generator."""
import collections.abc
import copy
import inspect
import pickle
import types
import weakref
from collections import UserDict

import pytest

from morvath.datastructures.fadeline import Fadeline
from morvath.datastructures.pathrell import Pathrell


class Thing:
    pass


THINGS = [Thing(), Thing(), Thing()]


def python_generator():
    yield 1


class Keeping(Fadeline):
    """Keeps, unread, the generator that its slice is built from."""
    kept = None

    def __init__(self, initlist=None):
        if isinstance(initlist, collections.abc.Generator):
            Keeping.kept = initlist
            initlist = []
        super().__init__(initlist)


def fresh(kind):
    if kind == "iter":
        return iter(Fadeline(THINGS))
    if kind == "slice":
        Keeping(THINGS)[0:2]
        generator, Keeping.kept = Keeping.kept, None
        return generator
    return Pathrell.__flatten__({"a": 1, "b": {"c": 2}})


NAMES = {
    "iter": ("__iter__", "Fadeline.__iter__"),
    "slice": ("genexpr", "Fadeline.__getitem__.<locals>.genexpr"),
    "flatten": ("__flatten__", "Pathrell.__flatten__"),
}


@pytest.mark.parametrize("kind", sorted(NAMES))
class TestEachGenerator:
    def test_weak_references_and_a_weak_list_of_them(self, kind):
        generator = fresh(kind)
        ref = weakref.ref(generator)
        assert ref() is generator
        assert list(Fadeline([generator])) == [generator]
        del generator
        assert ref() is None

    def test_code_and_names(self, kind):
        generator = fresh(kind)
        name, qualname = NAMES[kind]
        code = generator.gi_code
        assert (code.co_name, code.co_qualname) == (name, qualname)
        assert code.co_flags & inspect.CO_GENERATOR
        assert code is fresh(kind).gi_code
        assert generator.gi_yieldfrom is None
        generator.__name__, generator.__qualname__ = "renamed", "Some.renamed"
        assert (generator.__name__, generator.__qualname__) == ("renamed", "Some.renamed")
        assert repr(generator).startswith("<generator object Some.renamed at ")
        assert (code.co_name, code.co_qualname) == (name, qualname)
        for attribute in ("__name__", "__qualname__"):
            for bad in (None, 5):
                with pytest.raises(TypeError, match=f"^{attribute} must be set to a string object$"):
                    setattr(generator, attribute, bad)
            with pytest.raises(TypeError, match=f"^{attribute} must be set to a string object$"):
                delattr(generator, attribute)

    def test_inspect_states_from_creation_to_close(self, kind):
        generator = fresh(kind)
        assert inspect.getgeneratorstate(generator) == inspect.GEN_CREATED
        assert generator.gi_frame.f_code is generator.gi_code
        assert not generator.gi_running and not generator.gi_suspended
        next(generator)
        assert inspect.getgeneratorstate(generator) == inspect.GEN_SUSPENDED
        assert generator.gi_suspended and generator.gi_frame is not None
        list(generator)
        assert inspect.getgeneratorstate(generator) == inspect.GEN_CLOSED
        assert generator.gi_frame is None and not generator.gi_suspended
        unstarted = fresh(kind)
        unstarted.close()
        assert inspect.getgeneratorstate(unstarted) == inspect.GEN_CLOSED

    def test_interpreter_messages_name_it_generator(self, kind):
        ours, native = fresh(kind), python_generator()
        assert type(ours).__name__ == type(ours).__qualname__ == "generator"
        assert type(ours).__module__ == "builtins" and repr(type(ours)) == "<class 'generator'>"
        for operation in (len, lambda g: g[0], lambda g: setattr(g, "foo", 1), pickle.dumps, copy.copy,
                          lambda g: pickle.dumps(g, 0)):
            outcomes = []
            for generator in (ours, native):
                try:
                    outcomes.append(operation(generator))
                except Exception as error:
                    outcomes.append((type(error), str(error)))
            assert outcomes[0] == outcomes[1]

    def test_recognised_as_a_generator_but_not_the_interpreters_own(self, kind):
        generator = fresh(kind)
        assert isinstance(generator, collections.abc.Generator)
        assert not isinstance(generator, types.GeneratorType)


def test_running_state_seen_from_code_the_step_runs():
    states = []

    class Watching(Fadeline):
        @property
        def data(self):
            if "generator" in vars(self):
                states.append(inspect.getgeneratorstate(self.generator))
            return vars(self)["data"]

        @data.setter
        def data(self, value):
            vars(self)["data"] = value

    fl = Watching(THINGS)
    fl.generator = iter(fl)
    assert next(fl.generator) is THINGS[0]
    assert states == [inspect.GEN_RUNNING]

    class Level(UserDict):
        def items(self):
            states.append(inspect.getgeneratorstate(flat))
            return super().items()

    flat = Pathrell.__flatten__(Level(a=1))
    states.clear()
    assert list(flat) and states == [inspect.GEN_RUNNING]


def test_slice_generator_states_during_construction():
    states = []

    class Reading(Fadeline):
        def __init__(self, initlist=None):
            if isinstance(initlist, collections.abc.Generator):
                states.append(inspect.getgeneratorstate(initlist))
                first = next(initlist)
                states.append(inspect.getgeneratorstate(initlist))
                rest = list(initlist)
                states.append(inspect.getgeneratorstate(initlist))
                initlist = [first, *rest]
            super().__init__(initlist)

    assert list(Reading(THINGS)[0:2]) == THINGS[:2]
    assert states == [inspect.GEN_CREATED, inspect.GEN_SUSPENDED, inspect.GEN_CLOSED]
