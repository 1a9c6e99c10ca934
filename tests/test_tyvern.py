import doctest

import pytest

from morvath.datastructures import tyvern as module
from morvath.datastructures.tyvern import TyvernDescriptor, tyvern


def make_shape():
    class Shape:
        reads, side = 0, 2

        @tyvern
        def area(cls):
            Shape.reads += 1
            return cls.side ** 2
    return Shape, type("Circle", (Shape,), {"side": 3})


def test_module_and_records():
    assert tyvern is TyvernDescriptor and module.__doc__ is None and module.__test__ == {}
    assert not {"__set__", "__delete__", "__set_name__", "__call__"} & set(vars(TyvernDescriptor))
    records = [(f.__code__.co_varnames, f.__code__.co_firstlineno, f.__defaults__, f.__doc__)
               for f in (TyvernDescriptor.__init__, TyvernDescriptor.__get__)]
    assert records == [(("self", "func"), 22, None, None), (("self", "obj", "owner"), 25, None, None)]
    example = doctest.DocTestFinder().find(TyvernDescriptor, globs={"tyvern": tyvern})[0]
    assert doctest.DocTestRunner().run(example).failed == 0


def test_reads_go_to_the_function_with_the_owner_every_time():
    shape, circle = make_shape()
    assert (shape.area, shape().area, circle.area, circle().area) == (4, 4, 9, 9)
    assert shape.reads == 4
    assert TyvernDescriptor(lambda cls: cls).__get__(shape(), None) is None
    c = circle()
    c.area = "mine"  # no __set__: the instance entry wins
    circle.side = 5
    assert (c.area, circle().area) == ("mine", 25)
    assert vars(shape)["area"].__doc__ == TyvernDescriptor.__doc__


def test_failures_and_no_leaks(assert_no_leak):
    class Broken:
        boom = tyvern(lambda cls: {}[cls])
        number = TyvernDescriptor(func=7)
    with pytest.raises(KeyError) as raised:
        Broken.boom
    assert raised.value.args == (Broken,)
    with pytest.raises(TypeError, match="'int' object is not callable"):
        Broken().number
    with pytest.raises(TypeError, match=r"__get__\(\) takes exactly 3 positional arguments \(2 given\)"):
        vars(Broken)["boom"].__get__(None)

    def exercise():
        shape, circle = make_shape()
        assert circle().area + shape.area == 13
    assert_no_leak(exercise)


def test_reads_follow_a_replaced_or_overriding_get(monkeypatch):
    shape, circle = make_shape()
    with pytest.raises(KeyError) as raised:
        type("Bad", (), {"boom": tyvern(lambda cls: {}[cls])}).boom
    entries = [f.f_code.co_name for f, _ in __import__("traceback").walk_tb(raised.tb)]
    assert "morvath.datastructures.tyvern.TyvernDescriptor.__get__" in entries

    class Doubling(TyvernDescriptor):
        def __get__(self, obj, owner):
            return 2 * super().__get__(obj, owner)
    circle.twice = Doubling(lambda cls: cls.side)
    assert (circle.twice, circle().twice, shape.area) == (6, 6, 4)

    monkeypatch.setattr(TyvernDescriptor, "__get__", lambda self, obj, owner: ("patched", owner))
    assert (shape.area, circle().area) == (("patched", shape), ("patched", circle))
    monkeypatch.undo()
    assert (shape.area, circle().area) == (4, 9)
