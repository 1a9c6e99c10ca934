"""A library method whose `__code__` is replaced runs the new code wherever a
Python class would run it, the fast paths that stand in for it included, and
its compiled body comes back with its own code. Each case runs in a fresh
interpreter: the replacement and the package's watcher are process-wide."""
import textwrap

from test_frame_watchers import slot_counter

# The replacement code logs into a builtin, as it runs with the library
# module's globals.
LOG = textwrap.dedent("""
    import builtins
    builtins.code_log = log = []
""")

FUNCTION_WATCHER_SLOTS = slot_counter("Function", "ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p")

GETITEM = LOG + textwrap.dedent("""
    from morvath.datastructures.keyvane import NestedKeyvane

    class Probe(dict):
        def __getitem__(self, key):
            code_log.append(key)
            return super().__getitem__(key)

    class Key(str):
        # A key whose dot test replaces the code in the middle of a read.
        def __contains__(self, part):
            if swap:
                NestedKeyvane.__getitem__.__code__ = Probe.__getitem__.__code__
            return str.__contains__(self, part)

    own = NestedKeyvane.__getitem__.__code__
    n = NestedKeyvane({"a": {"b": {"c": 1}}})
    swap = False
    for _ in range(5000):
        assert n.get("a.b.c", 0) == 1 and n["a.b.c"] == 1 and n[Key("a.b.c")] == 1
        n["a.x"] = 2

    NestedKeyvane.__getitem__.__code__ = Probe.__getitem__.__code__
    assert n.get("a", 0) is dict.__getitem__(n, "a") and log == ["a"]
    assert n.get("a.b", 0) == 0 and log[1:] == ["a.b"]
    del log[:]
    # The store reaches its level through setdefault, whose self[key] is the new code.
    n["a.y"] = 3
    assert log == ["a"] and dict.__getitem__(n, "a")["y"] == 3
    del log[:]
    try:
        n["a.b.c"]
    except KeyError:
        pass
    else:
        raise AssertionError("the new code knows no dotted keys")
    assert log == ["a.b.c"]

    NestedKeyvane.__getitem__.__code__ = own
    del log[:]
    for _ in range(5000):
        assert n.get("a.b.c", 0) == 1 and n["a.b.c"] == 1
        n["a.x"] = 2
    assert log == []

    # Replaced while the compiled body runs: the level it reaches next runs the new code.
    swap = True
    try:
        n[Key("a.b.c")]
    except KeyError:
        pass
    else:
        raise AssertionError("the level was read by the compiled body")
    assert log == ["b.c"], log
    NestedKeyvane.__getitem__.__code__ = own
    swap = False
    del log[:]
    assert n[Key("a.b.c")] == 1 and n.get("a.b.c") == 1 and log == []
    print("ok")
""")

BRANCHEL_STR = LOG + textwrap.dedent("""
    from morvath.datastructures.branchel import Branchel

    def drawn(self):
        code_log.append(self.name)
        return "<" + self.name + ">"

    class Hook:
        # A child drawn through str() that replaces the code mid-drawing.
        armed = False
        def __str__(self):
            if Hook.armed:
                Hook.armed = False
                Branchel.__str__.__code__ = drawn.__code__
            return "h"

    own = Branchel.__str__.__code__
    root = Branchel("root", [Hook(), Branchel("b1"), Branchel("b2", [Branchel("b3")])])
    compiled = "root\\n|-- h\\n|-- b1\\n`-- b2\\n    `-- b3"
    for _ in range(5000):
        assert str(root) == compiled

    Branchel.__str__.__code__ = drawn.__code__
    assert str(root) == "<root>" and str(root.children[2]) == "<b2>" and log == ["root", "b2"]
    Branchel.__str__.__code__ = own
    del log[:]
    for _ in range(5000):
        assert str(root) == compiled
    assert log == []

    # The root goes on with the code it started with; the children after
    # the hook are drawn by the new code, as str() of each would do.
    Hook.armed = True
    assert str(root) == "root\\n|-- h\\n|-- <b1>\\n`-- <b2>", str(root)
    assert log == ["b1", "b2"], log
    Branchel.__str__.__code__ = own
    del log[:]
    assert str(root) == compiled and log == []
    print("ok")
""")

INIT = textwrap.dedent("""
    from morvath.datastructures.keyvane import Keyvane, NestedKeyvane

    class Probe(dict):
        def __init__(self, *args, **kwargs):
            code_log.append(type(self).__name__)
            super().__init__(*args, **kwargs)
            self.__dict__ = self

    own = Keyvane.__init__.__code__
    for _ in range(5000):
        assert NestedKeyvane() == {} and Keyvane(a=1).a == 1
    assert NestedKeyvane({"a": {"b": 1}})["a.b"] == 1

    Keyvane.__init__.__code__ = Probe.__init__.__code__
    empty = NestedKeyvane()
    assert empty == {} and empty.__dict__ is empty and log == ["NestedKeyvane"]
    assert Keyvane(a=1).a == 1 and log[1:] == ["Keyvane"]
    del log[:]
    assert NestedKeyvane({"a": {"b": 1}})["a.b"] == 1 and log == ["NestedKeyvane"] * 2

    Keyvane.__init__.__code__ = own
    del log[:]
    for _ in range(5000):
        assert NestedKeyvane() == {} and Keyvane(a=1).a == 1
    assert NestedKeyvane({"a": {"b": 1}})["a.b"] == 1 and log == []
    print("ok")
""")


def run_ok(run_isolated, code):
    result = run_isolated(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["ok"], result.stdout
    assert "Exception ignored" not in result.stderr, result.stderr


def test_replaced_getitem_runs_in_get_stores_and_nested_levels(run_isolated):
    run_ok(run_isolated, GETITEM)


def test_replaced_str_draws_the_children_after_it(run_isolated):
    run_ok(run_isolated, BRANCHEL_STR)


def test_replaced_base_init_runs_in_class_calls(run_isolated):
    run_ok(run_isolated, LOG + INIT)


def test_without_a_free_function_watcher_replaced_code_still_runs(run_isolated):
    # Every slot taken before the package is imported: the fast paths that
    # vouch for a function give way for good, and the results stay right.
    # (The slots are given back before the interpreter shuts down, when
    # ctypes could no longer run their callback.)
    run_ok(run_isolated, FUNCTION_WATCHER_SLOTS + "held = take_all()\n" + LOG + INIT +
           "for slot in held: clear(slot)\n")


def test_the_package_takes_one_function_watcher(run_isolated):
    result = run_isolated(FUNCTION_WATCHER_SLOTS + textwrap.dedent("""
        before = free_slots()
        from morvath.datastructures.configuration import Configuration
        from morvath.datastructures.keyvane import NestedKeyvane
        from morvath.datastructures.pathrell import Pathrell
        import morvath.datastructures.fadeline, morvath.datastructures.logic
        import morvath.datastructures.branchel, morvath.datastructures.tyvern
        print(before - free_slots())
    """))
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["1"]


def test_replaced_descriptor_get_runs_on_every_read_until_put_back(run_isolated):
    run_ok(run_isolated, LOG + textwrap.dedent("""
        from morvath.datastructures.tyvern import TyvernDescriptor, tyvern

        def other_get(self, obj, owner):
            code_log.append(owner.__name__)
            return "other"

        class Shape:
            @tyvern
            def size(cls):
                return cls.__name__

        own = TyvernDescriptor.__get__.__code__
        for _ in range(5000):
            assert Shape.size == "Shape"
        TyvernDescriptor.__get__.__code__ = other_get.__code__
        assert Shape.size == "other" and Shape().size == "other" and log == ["Shape", "Shape"]
        TyvernDescriptor.__get__.__code__ = own
        del log[:]
        for _ in range(5000):
            assert Shape.size == "Shape"
        assert log == []
        print("ok")
    """))
