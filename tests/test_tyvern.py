import doctest
import gc
import sys

import pytest

from morvath.datastructures import tyvern as module
from morvath.datastructures.tyvern import TyvernDescriptor, tyvern


def make_shape():
    class Shape:
        reads, side = 0, 2

        @tyvern
        def who(cls):
            return cls.__name__

        @tyvern
        def area(cls):
            Shape.reads += 1
            return cls.side ** 2
    return Shape, type("Circle", (Shape,), {"side": 3})


def test_module_and_records():
    assert tyvern is TyvernDescriptor and tyvern.__name__ == "TyvernDescriptor"
    assert module.__doc__ is None and module.__test__ == {}
    assert not {"__set__", "__delete__", "__set_name__", "__call__"} & set(vars(TyvernDescriptor))
    records = [(f.__code__.co_varnames, f.__code__.co_firstlineno, f.__defaults__, f.__doc__)
               for f in (TyvernDescriptor.__init__, TyvernDescriptor.__get__)]
    assert records == [(("self", "func"), 22, None, None), (("self", "obj", "owner"), 25, None, None)]
    example = doctest.DocTestFinder().find(TyvernDescriptor, globs={"tyvern": tyvern})[0]
    assert doctest.DocTestRunner().run(example).failed == 0


def test_reads_call_the_function_with_the_owner():
    shape, circle = make_shape()
    assert (shape.who, shape().who, circle.who, circle().who) == ("Shape", "Shape", "Circle", "Circle")
    assert (shape.area, circle.area, circle().area) == (4, 9, 9)
    assert vars(shape)["who"].__get__(circle(), shape) == "Shape"
    assert TyvernDescriptor(lambda cls: cls).__get__(shape(), None) is None


def test_every_read_recomputes_and_instances_shadow():
    shape, circle = make_shape()
    assert [shape.area for _ in range(3)] == [4] * 3 and shape.reads == 3
    c = circle()
    c.area = "mine"
    assert (c.area, circle().area) == ("mine", 9)
    circle.side = 5
    assert circle.area == 25
    circle.area = 1
    assert (circle.area, shape.area) == (1, 4)
    assert vars(shape)["area"].__doc__ == TyvernDescriptor.__doc__


def test_failures():
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


def test_creation_in_a_loop_and_no_leaks():
    def exercise():
        shape, circle = make_shape()
        descriptors = [TyvernDescriptor(len) for _ in range(20)]
        return circle().area + shape.area + len(descriptors)
    for _ in range(200):
        assert exercise() == 33
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(1000):
        exercise()
    gc.collect()
    assert sys.getallocatedblocks() - before < 200
