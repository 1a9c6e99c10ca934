"""Library functions in roles their own name does not announce, and with a
replaced `__code__`, next to what a Python function does in the same place.
The loops run thousands of times so that the interpreter's specialising
bytecode has warmed up long before the checks that matter."""
import pytest

from morvath.datastructures.branchel import Branchel
from morvath.datastructures.fadeline import Fadeline
from morvath.datastructures.keyvane import NestedKeyvane

WARM = 3000


def names(children):
    return [getattr(child, "name", child) for child in children]


def test_library_function_as_the_init_of_a_plain_class():
    class Shelf:
        children = []
        __init__ = Branchel.add_child

    for i in range(WARM):
        Shelf(i)
        assert len(Shelf.children) == i + 1 and names(Shelf.children[-1:]) == [i]


def other_add_child(self, item):
    self.children.append(("other", item))


def other_getitem(self, index):
    return ("other", index)


class Shelf:
    children = []
    __init__ = Branchel.add_child


class Sub(Fadeline):
    pass


class Holder:
    pass


def calls_of_add_child():
    """add_child reached as a plain call, a bound method and a class's __init__."""
    tree = Branchel("root")
    Branchel.add_child(tree, "plain")
    tree.add_child("bound")
    Shelf.children.clear()  # not rebound: that would change the class
    Shelf("init")
    return tree.children[-2:] + Shelf.children


@pytest.fixture
def own_code():
    saved = {f: f.__code__ for f in (Branchel.add_child, Fadeline.__getitem__)}
    yield saved
    for function, code in saved.items():
        function.__code__ = code


def test_replaced_code_runs_until_its_own_is_put_back(own_code):
    holder = Holder()
    holder.item = object()
    sub = Sub([holder])
    for _ in range(WARM):
        assert names(calls_of_add_child()) == ["plain", "bound", "init"]
        assert sub[0] is holder
    Branchel.add_child.__code__ = other_add_child.__code__
    Fadeline.__getitem__.__code__ = other_getitem.__code__.replace(co_freevars=("__class__",))
    for _ in range(WARM):
        assert calls_of_add_child() == [("other", "plain"), ("other", "bound"), ("other", "init")]
        assert sub[0] == ("other", 0)
    Branchel.add_child.__code__ = own_code[Branchel.add_child]
    Fadeline.__getitem__.__code__ = own_code[Fadeline.__getitem__]
    for _ in range(WARM):
        assert names(calls_of_add_child()) == ["plain", "bound", "init"]
        assert sub[0] is holder


def test_replaced_code_sees_defaults_globals_and_keywords(own_code):
    def other(self, item="default"):
        return ("other", item, __name__)

    Branchel.add_child.__code__ = other.__code__
    Branchel.add_child.__defaults__ = ("default",)
    try:
        tree = Branchel("root")
        assert tree.add_child() == ("other", "default", "morvath.datastructures.branchel")
        assert tree.add_child(item=2)[1] == 2
        with pytest.raises(TypeError, match=r"^Branchel.add_child\(\) got an unexpected keyword argument 'child'"):
            tree.add_child(child=1)
    finally:
        Branchel.add_child.__defaults__ = None
