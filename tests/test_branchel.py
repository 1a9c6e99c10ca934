import doctest
import sys
import traceback
import tracemalloc

import pytest
from hypothesis import given, strategies as st

from morvath.datastructures import branchel
from morvath.datastructures.branchel import Branchel


def shown(text):
    """A child whose str() hands back `text` as it is, subclass and all."""
    return type("Shown", (), {"__str__": lambda self: text})()


class Indirect(Branchel):
    """Draws through str() of each child, never onto its parent's canvas."""

    def __str__(self):
        return Branchel.__str__(self)


def test_module_records_and_worked_example():
    assert branchel.__doc__ is None and branchel.__test__ == {}
    assert Branchel.__doc__.startswith(
        "Tree Tree Class\n\n    A class to mimic the printing behavior of linux tree command.\n")
    example = doctest.DocTestFinder().find(Branchel, globs={"Branchel": Branchel})[0]
    assert doctest.DocTestRunner().run(example) == (0, 18)  # the worked example, drawn exactly
    records = [(f.__code__.co_varnames, f.__code__.co_firstlineno, f.__doc__.splitlines()[0])
               for f in (Branchel.__init__, Branchel.add_child, Branchel.__str__)]
    assert records == [(("self", "name", "children"), 46, "class __init__"),
                       (("self", "item"), 62, "Add children"),
                       (("self", "string", "i", "j"), 72, "String formatter")]
    assert Branchel.__init__.__defaults__ == (None,)


@pytest.mark.parametrize("tree, text", [
    (Branchel("root"), "root"),
    (Branchel("a", [Branchel("b")]), "a\n`-- b"),
    (Branchel("a", ["x\ny", "z"]), "a\n|-- x\n|   y\n`-- z"),
    (Branchel("a", ["x\n", "z\n"]), "a\n|-- x\n|   \n`-- z\n    "),
    (Branchel("a", [Branchel("b", ["c\n"]), "d"]), "a\n|-- b\n|   `-- c\n|       \n`-- d"),
    (Branchel("a", [Branchel("n\nm", ["c"]), 7]), "a\n|-- n\n|   m\n|   `-- c\n`-- 7"),
    # the text's own split keeps a newline inside a line: outer levels still indent it
    (Branchel("r", [Branchel("a", [shown(type("Lines", (str,), {"split": lambda s, sep: [str(s), "c"]})("a\nb"))])]),
     "r\n`-- a\n    `-- a\n    b\n        c"),
    (Branchel("\u00e9", [Branchel("\u4e2d", ["\U0001f333\nx"])]),
     "\u00e9\n`-- \u4e2d\n    `-- \U0001f333\n        x"),
    # two columns close at once before the last child of the root
    (Branchel("a", [Branchel("b", [Branchel("c", ["d\ne"])]), "f\ng"]),
     "a\n|-- b\n|   `-- c\n|       `-- d\n|           e\n`-- f\n    g"),
])
def test_drawings(tree, text):
    assert str(tree) == text


names = st.text(alphabet="ab\n\u00e9\u4e2d\U0001f333", max_size=4)
trees = st.recursive(names, lambda kids: st.tuples(names, st.lists(kids, max_size=4)), max_leaves=20)


@given(trees)
def test_canvas_matches_str_of_every_child(shape):
    def build(node, shape):
        return shape if isinstance(shape, str) else node(shape[0], [build(node, s) for s in shape[1]])
    assert str(build(Branchel, shape)) == str(build(Indirect, shape))


def test_name_kept_as_is():
    label = type("Label", (str,), {})("x")
    assert str(Branchel(label)) is label and type(str(Branchel(label, ["y"]))) is str
    glue = type("Glue", (), {"__add__": lambda self, other: "glued" + other})()
    assert str(Branchel("r", [Branchel(glue, ["a", Branchel("b")])])) == "r\n`-- glued\n    |-- a\n    `-- b"


def tally(log, *methods):
    """A name that records each addition it takes and stays itself."""
    def add(method):
        return lambda self, piece: log.append((method, piece)) or self
    return type("Tally", (), {method: add(method) for method in methods})()


@pytest.mark.parametrize("methods, used", [(("__iadd__", "__add__"), "__iadd__"), (("__add__",), "__add__")])
@pytest.mark.parametrize("node", [Branchel, Indirect])
def test_name_takes_one_addition_per_child(methods, used, node):
    log = []
    tree = node(tally(log, *methods), ["x\ny", node("b", ["c"]), "z"])
    for drawn in (tree, Branchel("r", [tree])):
        log.clear()
        with pytest.raises(TypeError, match=r"^__str__ returned non-string \(type Tally\)$"):
            str(drawn)
        assert log == [(used, "\n|-- x\n|   y"), (used, "\n|-- b\n|   `-- c"), (used, "\n`-- z")]


@pytest.mark.parametrize("children", [None, [], 0, "", ()])
def test_false_children_get_a_fresh_list(children):
    a, b = Branchel("a", children), Branchel("b", children)
    a.add_child("x")
    assert a.children == ["x"] and b.children == [] and a.children is not children


def test_given_children_are_kept_and_grown():
    kids = ["x"]
    Branchel(name="n", children=kids).add_child("y")
    doubling = type("Doubling", (list,), {"append": lambda self, item: list.append(self, item * 2)})
    node = Branchel("n", doubling(["a"]))
    node.add_child("b")
    assert kids == ["x", "y"] and node.children == ["a", "bb"]
    with pytest.raises(AttributeError, match="'tuple' object has no attribute 'append'"):
        Branchel("a", ("x",)).add_child("y")


def test_changes_made_while_drawing():
    later = Branchel("later", ["x"])
    parent = Branchel("p", [None, later, "end"])

    def grow(self):
        parent.name, later.name = "P", "LATER"
        parent.children.append("late")
        return "g"
    parent.children[0] = type("Grower", (), {"__str__": grow})()
    # the name was read already, the head of the list was copied, the last child is read afresh
    assert str(parent) == "p\n|-- g\n|-- LATER\n|   `-- x\n`-- late"


def test_children_of_any_sequence_draw_as_a_list_does():
    log = []

    class Logged(list):
        def __getitem__(self, key):
            log.append(key)
            return list.__getitem__(self, key)

    kids = lambda: [Branchel("b", ["c"]), "d\ne", Branchel("f")]
    expected = "a\n|-- b\n|   `-- c\n|-- d\n|   e\n`-- f"
    for children in (kids(), tuple(kids()), Logged(kids())):
        assert str(Branchel("a", children)) == expected
    assert log == [slice(None, -1), -1]
    node = Branchel("a", ["x"])
    node.children = ()
    assert str(node) == "a"


def test_str_replaced_while_drawing_reaches_the_later_children():
    Sub = type("Sub", (Branchel,), {})

    class Swapping(list):
        def __getitem__(self, key):
            if key == -1:  # between the head and the last child, both of class Sub
                Sub.__str__ = lambda self: "<" + self.name + ">"
            return list.__getitem__(self, key)
    tree = Branchel("r", Swapping([Sub("a"), Sub("b", ["y"])]))
    assert str(tree) == "r\n|-- a\n`-- <b>"


def entries(error):
    return [(f.name.rsplit(".", 1)[-1], f.lineno if f.name != "<lambda>" else None)
            for f in traceback.extract_tb(error.__traceback__)[1:]]


@pytest.mark.parametrize("tree, error, message, where", [
    (Branchel(5, ["a"]), TypeError, r"unsupported operand type\(s\) for \+=: 'int' and 'str'",
     [("__str__", 84)]),
    (Branchel(5, ["a", "b"]), TypeError, r"for \+=: 'int' and 'str'", [("__str__", 82)]),
    (Branchel(5), TypeError, r"__str__ returned non-string \(type int\)", []),
    # the piece is made before the addition, so the join fails first
    (Branchel(5, [shown(type("Odd", (str,), {"split": lambda self, sep: [1]})("b")), "c"]), TypeError,
     "sequence item 0: expected str instance, int found", [("__str__", 82)]),
    (Branchel("a", [Branchel(5)]), TypeError, r"__str__ returned non-string \(type int\)",
     [("__str__", 83)]),
    (Branchel("a", [Branchel("b", [Branchel(5, ["c"])]), "d"]), TypeError, "unsupported operand",
     [("__str__", 81), ("__str__", 83), ("__str__", 84)]),
    (Branchel("a", {1, 2}), TypeError, "^'set' object is unsliceable$", [("__str__", 80)]),
    (Branchel("a", iter("xy")), TypeError, "^'str_ascii_iterator' object is unsliceable$", [("__str__", 80)]),
    (Branchel("a", 5), TypeError, "^'int' object is unsliceable$", [("__str__", 80)]),
    (Branchel("a", {"k": 1}), KeyError, "slice", [("__str__", 80)]),
    (Branchel("a", [type("Bad", (), {"__str__": lambda self: 1 / 0})()]), ZeroDivisionError, "division",
     [("__str__", 83), ("<lambda>", None)]),
])
def test_failures(tree, error, message, where):
    with pytest.raises(error, match=message) as raised:
        str(tree)
    assert entries(raised.value)[:len(where)] == where


@pytest.mark.parametrize("node", ["Branchel", "Indirect"])
def test_cycles_and_deep_chains_end_in_recursion_error(run_isolated, node):
    result = run_isolated(f"""
        from morvath.datastructures.branchel import Branchel
        class Indirect(Branchel):
            def __str__(self):
                return Branchel.__str__(self)
        loop = {node}("loop")
        loop.add_child(loop)
        root = tip = {node}("root")
        for _ in range(100_000):
            tip.add_child({node}("n"))
            tip = tip.children[0]
        for tree in (loop, root):
            try: str(tree)
            except RecursionError: print("RecursionError")
        chain = {node}("0")
        for i in range(1, 150):
            chain = {node}(str(i), [chain])
        print(str(chain).splitlines()[-1])
        import sys
        sys.setrecursionlimit(300)
        for i in range(150, 400):
            chain = {node}(str(i), [chain])
        try: str(chain)
        except RecursionError: print("RecursionError")
        """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:4] == ["RecursionError", "RecursionError", " " * 4 * 148 + "`-- 0",
                                             "RecursionError"]


def test_running_out_of_memory_while_drawing_gives_back_every_level(run_isolated):
    result = run_isolated("""
        import sys, _testcapi
        from morvath.datastructures.branchel import Branchel
        def chain(n):
            tip = Branchel("0", ["x"])
            for i in range(n):
                tip = Branchel(str(i), [tip, Branchel("y")])
            return tip
        def deepest():
            n = 1
            while True:
                try: str(chain(n))
                except RecursionError: return n - 1
                n += 1
        sys.setrecursionlimit(120)
        before, tree = deepest(), chain(40)
        expected, outcomes = str(tree), set()
        for start in range(400):  # every allocation fails from the start-th on
            _testcapi.set_nomemory(start, 0)
            try: text = str(tree)
            except MemoryError: text = "MemoryError"
            finally: _testcapi.remove_mem_hooks()
            outcomes.add("drawn" if text == expected else text)
        print(before == deepest(), sorted(outcomes))
        """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[0] == "True ['MemoryError', 'drawn']"


def test_large_tree_and_no_leaks(assert_no_leak):
    tree = Branchel("root", [Branchel(f"c{i}", [Branchel(f"l{j}") for j in range(99)]) for i in range(1000)])
    lines = str(tree).split("\n")
    assert len(lines) == 100_001 and lines[1:3] == ["|-- c0", "|   |-- l0"] and lines[-1] == "    `-- l98"
    failing = [Branchel("a", [Branchel("b", [Branchel(5, ["c"])])]), Branchel("a", {1}), Branchel((), ["b", "c"])]

    def exercise():
        str(tree.children[0])
        Branchel("x", ["y"]).add_child("z")
        for node in failing:
            with pytest.raises(TypeError):
                str(node)
    assert_no_leak(exercise, rounds=2000)


def test_drawing_peaks_at_the_result_and_little_more():
    name = "n" * 1000  # one shared name: the text drawn is far larger than the tree
    tracemalloc.start()
    try:
        tree = Branchel(name, [Branchel(name, [Branchel(name) for _ in range(40)]) for _ in range(50)])
        tree_size, _ = tracemalloc.get_traced_memory()
        tracemalloc.reset_peak()
        before, _ = tracemalloc.get_traced_memory()
        text = str(tree)
        peak = tracemalloc.get_traced_memory()[1] - before
    finally:
        tracemalloc.stop()
    assert len(text) == 2051 * 1000 + 2050 * 5 + 2000 * 4
    assert sys.getsizeof(text) <= peak <= sys.getsizeof(text) + tree_size


def test_a_replaced_str_takes_effect_at_once():
    Sub = type("Sub", (Branchel,), {})
    tree = Branchel("r", [Sub("a", ["b"]), Sub("c")])
    assert str(tree) == "r\n|-- a\n|   `-- b\n`-- c"
    Sub.__str__ = lambda self: "<" + self.name + ">"
    assert str(tree) == "r\n|-- <a>\n`-- <c>"
    del Sub.__str__
    assert str(tree) == "r\n|-- a\n|   `-- b\n`-- c"
    drawn = Branchel.__str__
    Branchel.__str__ = lambda self: "[" + drawn(self) + "]"
    try:
        assert str(tree) == "[r\n|-- [a\n|   `-- b]\n`-- [c]]"
    finally:
        Branchel.__str__ = drawn
    assert str(tree) == "r\n|-- a\n|   `-- b\n`-- c"
