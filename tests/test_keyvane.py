"""Keyvane and NestedKeyvane: attribute access, dotted keys, nested merge."""
import collections.abc
import copy
import gc
import itertools
import pickle
import sys

import pytest
from hypothesis import given, strategies as st

import morvath.datastructures.keyvane as keyvane_module
from morvath.datastructures.keyvane import Keyvane, NestedKeyvane

BLOCKED = 'target key "{}" is a value, cannot update value against another {}'


class TestKeyvane:
    def test_construction_forms(self):
        assert Keyvane() == {}
        assert Keyvane({"a": 1}, b=2) == {"a": 1, "b": 2}
        assert Keyvane([("a", 1)]) == {"a": 1}
        with pytest.raises(TypeError):
            Keyvane({}, {})

    def test_attributes_are_the_entries(self):
        k = Keyvane(a=1)
        assert k.a == 1 and k.__dict__ is k and vars(k) is k
        k.b = 2
        assert k["b"] == 2
        del k.a
        assert "a" not in k
        with pytest.raises(AttributeError):
            k.missing
        setattr(k, "x-y", 3)
        assert k["x-y"] == 3

    def test_entries_hide_methods_on_the_instance_only(self):
        k = Keyvane(items=1)
        assert k.items == 1
        assert list(Keyvane.items(k)) == [("items", 1)]

    def test_repr_and_str(self):
        assert repr(Keyvane()) == "Keyvane({})"
        assert str(Keyvane(k=Keyvane(x=1))) == "Keyvane({'k': Keyvane({'x': 1})})"
        assert repr(NestedKeyvane()) == "NestedKeyvane({})"

        class Sub(Keyvane):
            pass
        assert repr(Sub(a=1)) == "Sub({'a': 1})"

    def test_recursive_repr_does_not_loop(self):
        k = Keyvane()
        k["self"] = k
        assert repr(k) == "Keyvane({'self': Keyvane({...})})"

    def test_dict_semantics(self):
        k = Keyvane(a=1)
        assert k == {"a": 1}
        with pytest.raises(TypeError):
            hash(k)
        assert type(k.copy()) is dict

    def test_failed_init_keeps_entries_read_before_the_error(self):
        k = Keyvane.__new__(Keyvane)
        with pytest.raises(TypeError):
            Keyvane.__init__(k, [("a", 1), 5])
        assert dict(k) == {"a": 1}
        assert k.__dict__ is not k

    def test_class_dictionary_order(self):
        names = [n for n in vars(Keyvane) if not n.startswith("__") or n in
                 ("__init__", "__repr__")]
        assert names[:2] == ["__init__", "__repr__"]
        nested = [n for n in vars(NestedKeyvane) if n not in
                  ("__module__", "__qualname__", "__doc__", "__abstractmethods__", "_abc_impl",
                   "__dict__", "__weakref__", "__firstlineno__", "__static_attributes__")]
        assert nested == ["__init__", "__getitem__", "__setitem__", "__contains__",
                          "__delitem__", "get", "pop", "setdefault", "update"]


class TestCopies:
    """Copies and pickles stay attribute dictionaries."""

    @pytest.mark.parametrize("make", [
        lambda o: copy.copy(o),
        lambda o: copy.deepcopy(o),
    ] + [lambda o, p=p: pickle.loads(pickle.dumps(o, p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)],
        ids=["copy", "deepcopy"] + [f"pickle{p}" for p in range(pickle.HIGHEST_PROTOCOL + 1)])
    @pytest.mark.parametrize("cls", [Keyvane, NestedKeyvane])
    @pytest.mark.parametrize("data", [{}, {"a": {"b": [1, 2]}, "c": 3}])
    def test_copy_keeps_the_instance_as_its_dict(self, make, cls, data):
        original = cls(data)
        duplicate = make(original)
        assert type(duplicate) is cls
        assert duplicate == original
        assert duplicate.__dict__ is duplicate
        duplicate.added = 1
        assert duplicate["added"] == 1 and "added" not in original

    def test_deepcopy_is_deep(self):
        original = NestedKeyvane({"a": {"b": [1, 2]}})
        duplicate = copy.deepcopy(original)
        assert duplicate["a"] is not original["a"]
        assert duplicate["a.b"] is not original["a.b"]
        assert type(duplicate["a"]) is NestedKeyvane


class TestDottedKeys:
    def test_reads_reach_nested_levels(self):
        n = NestedKeyvane({"a": {"b": 1}})
        assert n["a.b"] == 1
        assert type(n["a"]) is NestedKeyvane
        with pytest.raises(KeyError) as info:
            n["q.r"]
        assert info.value.args == ("q",)

    def test_store_creates_levels_of_the_own_class(self):
        class Sub(NestedKeyvane):
            pass
        n = Sub()
        n["x.y.z"] = 1
        assert n == {"x": {"y": {"z": 1}}}
        assert type(n["x"]) is Sub and type(n["x"]["y"]) is Sub
        assert n.x.y.z == 1
        level = n.x
        level.w = 2
        assert vars(level) is level and level["w"] == 2

    def test_store_through_a_value_is_refused_unchanged(self):
        n = NestedKeyvane()
        n["a"] = 1
        with pytest.raises(KeyError) as info:
            n["a.b"] = 2
        assert info.value.args == (BLOCKED.format("a", "NestedKeyvane"),)
        assert n == {"a": 1}

    def test_plain_dict_under_a_plain_key(self):
        n = NestedKeyvane()
        n["a"] = {"b": 1}
        assert type(n["a"]) is dict
        assert n["a.b"] == 1 and "a.b" in n
        with pytest.raises(KeyError) as info:
            n["a.c"] = 2
        assert info.value.args[0].endswith("NestedKeyvane")

    def test_contains(self):
        n = NestedKeyvane(s="hello", d={"x": 1}, l=[1, 2])
        assert "q.r" not in n
        assert "s.ell" in n
        assert "d.x" in n and "d.y" not in n
        n["i"] = 5
        with pytest.raises(TypeError):
            "i.x" in n

    def test_get_pop_delete(self):
        n = NestedKeyvane()
        n["x.y.z"] = 1
        assert n.get("missing.x") is None
        assert n.get("x.y.z") == 1
        assert n.pop("x.y") == {"z": 1}
        assert n == {"x": {}}
        n["x.y.z"] = 1
        del n["x.y.z"]
        assert n == {"x": {"y": {}}}
        with pytest.raises(KeyError):
            n.pop("x.nope")
        assert n.pop("x.nope", 7) == 7

    def test_generic_mapping_functions(self):
        assert NestedKeyvane.get is collections.abc.MutableMapping.get
        assert NestedKeyvane.pop is collections.abc.MutableMapping.pop
        assert NestedKeyvane.setdefault is collections.abc.MutableMapping.setdefault
        n = NestedKeyvane()
        marker = []
        assert n.setdefault("a.b", marker) is marker
        assert n["a.b"] is marker

    def test_type_errors_are_not_key_errors(self):
        n = NestedKeyvane(i=5)
        with pytest.raises(TypeError):
            n.get("i.x")

    @pytest.mark.parametrize("key, expected", [
        ("a.", {"a": {"": 1}}),
        (".a", {"": {"a": 1}}),
        ("a..b", {"a": {"": {"b": 1}}}),
    ])
    def test_split_at_the_first_dot(self, key, expected):
        n = NestedKeyvane()
        n[key] = 1
        assert n == expected

    def test_other_keys_are_plain(self):
        n = NestedKeyvane()
        n[1] = "one"
        n[("a.b",)] = "tuple"
        n["plain"] = "str"
        assert dict(n) == {1: "one", ("a.b",): "tuple", "plain": "str"}

    def test_str_subclass_keys_use_their_own_methods(self):
        class Key(str):
            def __contains__(self, item):
                return item == "." or str.__contains__(self, item)

            def split(self, sep, maxsplit):
                return ["left", "right"]

        n = NestedKeyvane()
        n[Key("anything")] = 1
        assert n == {"left": {"right": 1}}

        class BadSplit(str):
            def split(self, sep, maxsplit):
                return ["a", "b", "c"]
        with pytest.raises(ValueError, match=r"too many values to unpack \(expected 2\)"):
            n[BadSplit("a.b")]


class TestUpdate:
    def test_merges_level_by_level(self):
        n = NestedKeyvane()
        n.update({"a": {"b": 1}})
        n.update({"a": {"c": 2}})
        assert n == {"a": {"b": 1, "c": 2}} and type(n["a"]) is NestedKeyvane
        n.update({"a": {"b": 1}})
        assert n == {"a": {"b": 1, "c": 2}}
        n.update({"a": 3})
        assert n == {"a": 3}

    def test_call_forms(self):
        n = NestedKeyvane()
        n.update([("a", 1)], b=2)
        assert list(n.items()) == [("a", 1), ("b", 2)]
        n.update()
        n.update(["cd"])
        assert n == {"a": 1, "b": 2, "c": "d"}

    def test_too_many_arguments(self):
        n = NestedKeyvane()
        with pytest.raises(TypeError, match=r"^expected at most 1 arguments, got 2$"):
            n.update({"a": 1}, {"b": 2})
        assert n == {}

    def test_bad_element_is_reported_after_earlier_pairs(self):
        n = NestedKeyvane()
        with pytest.raises(TypeError) as info:
            n.update([("a", 1), ("b", 2, 3)])
        assert str(info.value) == "cannot convert dictionary update sequence element #1 to a sequence"
        assert n == {"a": 1}
        with pytest.raises(AttributeError):
            n.update(x for x in [("a", 1, 2)])
        with pytest.raises(TypeError):
            n.update([5])
        with pytest.raises(TypeError):
            n.update(None)

    def test_mapping_into_a_value(self):
        n = NestedKeyvane()
        n["a"] = 5
        with pytest.raises(AttributeError):
            n.update({"a": {"b": 1}})
        n["a"] = {"x": 1}
        n.update({"a": {"b": 1}})
        assert n["a"] == {"x": 1, "b": 1} and type(n["a"]) is dict

    def test_dotted_keys_in_data(self):
        n = NestedKeyvane()
        n.update({"x.y": 1})
        assert n == {"x": {"y": 1}}
        with pytest.raises(AttributeError):
            n.update({"x.y": {"z": 2}})
        n.update(**{"p.q": {"r": 1}})
        assert n["p.q.r"] == 1

    def test_empty_mapping_makes_an_empty_level(self):
        n = NestedKeyvane()
        n.update({"a": {}})
        assert n == {"a": {}} and type(n["a"]) is NestedKeyvane
        level = n["a"]
        n.update({"a": {}})
        assert n["a"] is level

    def test_mapping_abc_and_non_mapping_with_keys(self):
        class Pairs:
            def keys(self):
                return ["a"]

            def __getitem__(self, key):
                return 1

            def __iter__(self):
                return iter([("k", "v")])

        n = NestedKeyvane()
        n.update(Pairs())
        assert n == {"k": "v"}

    @given(st.recursive(st.integers() | st.text(max_size=3),
                        lambda children: st.dictionaries(st.text("abc", max_size=2), children, max_size=3),
                        max_leaves=20))
    def test_construction_equals_data_without_dots(self, data):
        if isinstance(data, dict):
            assert NestedKeyvane(data) == data


class TestGeneralPaths:
    """Subclasses and patched globals take the general path with the same result."""

    def test_subclass_overrides(self):
        calls = []

        class Recording(NestedKeyvane):
            def __setitem__(self, key, value):
                calls.append(("set", key))
                super().__setitem__(key, value)

            def setdefault(self, key, default=None):
                calls.append(("setdefault", key))
                return super().setdefault(key, default)

        r = Recording({"a": {"b": 1}}, c=2)
        assert r == {"a": {"b": 1}, "c": 2}
        assert ("setdefault", "a") in calls and ("set", "b") in calls and ("set", "c") in calls

    @pytest.mark.parametrize("hook", ["__init__", "__getattribute__", "__dict__", "metaclass",
                                      "mixin over Keyvane", "mixin over dict", "Keyvane.__init__"])
    def test_every_new_level_is_built_through_the_class(self, monkeypatch, hook):
        seen, slot = [], vars(Keyvane)["__dict__"]

        def recording_init(base):
            def __init__(self, *args, **kwargs):
                seen.append("built")
                base(self, *args, **kwargs)
            return __init__

        def store_dict(self, value):  # leaves an entry that hides update() until it runs
            slot.__set__(self, value)
            dict.__setitem__(self, "update", lambda: seen.append(dict.pop(self, "update") and "built"))

        class Meta(type(NestedKeyvane)):
            def __call__(cls):
                seen.append("built")
                return super().__call__()

        bases, namespace, meta = (NestedKeyvane,), {}, type(NestedKeyvane)
        if hook == "__init__":
            namespace = {"__init__": recording_init(NestedKeyvane.__init__)}
        elif hook == "__getattribute__":
            namespace = {"__getattribute__": lambda self, name: (seen.append("built") if name == "update" else 0,
                                                                   object.__getattribute__(self, name))[1]}
        elif hook == "__dict__":
            namespace = {"__dict__": property(slot.__get__, store_dict)}
        elif hook == "metaclass":
            meta = Meta
        elif hook == "Keyvane.__init__":
            monkeypatch.setattr(Keyvane, "__init__", recording_init(Keyvane.__init__))
        else:
            base = Keyvane if hook == "mixin over Keyvane" else dict
            bases += (type("Mixin", (base,), {"__init__": recording_init(base.__init__)}),)
        n = meta("Watched", bases, namespace)()
        seen.clear()
        n["a.b"] = 1
        n["a.c"] = 2  # 'a' exists: a level is still built and thrown away
        n.update({"a": {"d": 3}})
        assert n == {"a": {"b": 1, "c": 2, "d": 3}} and n.a.__dict__ is n.a
        assert seen == ["built"] * (5 if hook == "__getattribute__" else 3)

    def test_subclass_update_decides_construction(self):
        class Flat(NestedKeyvane):
            def update(self, *args, **kwargs):
                dict.update(self, *args, **kwargs)

        f = Flat({"a": {"b": 1}})
        assert type(f["a"]) is dict

    def test_instance_entry_hides_setdefault(self):
        n = NestedKeyvane()
        n["setdefault"] = lambda key, default: default
        n["a.b"] = 1
        assert "a" not in n

    def test_subclass_with_missing(self):
        class Defaulting(NestedKeyvane):
            def __missing__(self, key):
                return "fallback"

        d = Defaulting()
        with pytest.raises(KeyError) as info:
            d["a.b"] = 1
        assert info.value.args == (BLOCKED.format("a", "Defaulting"),)
        assert d == {} and d["zzz"] == "fallback"

    def test_patched_globals(self, monkeypatch):
        seen = []
        chain = itertools.chain

        class Itertools:
            @staticmethod
            def chain(*iterables):
                seen.append(len(iterables))
                return chain(*iterables)

        monkeypatch.setattr(keyvane_module, "itertools", Itertools)
        n = NestedKeyvane({"a": 1})
        assert n == {"a": 1} and seen
        seen.clear()
        n["p.q.r"] = 1  # each new level runs its own update()
        assert seen == [2, 2] and n["p.q.r"] == 1

        class NotMappings(collections.abc.Mapping):
            pass
        monkeypatch.setattr(keyvane_module, "Mapping", NotMappings)
        n = NestedKeyvane()
        n.update([("a", {"b": 1})])
        assert type(n["a"]) is dict
        monkeypatch.setattr(keyvane_module, "itertools", object())
        with pytest.raises(AttributeError, match="chain"):
            NestedKeyvane()

    def test_leaf_values_follow_changes_to_the_abc_machinery(self, run_isolated):
        result = run_isolated("""
            import abc, collections.abc
            from morvath.datastructures.keyvane import NestedKeyvane

            def merged(value):  # a leaf taken for a mapping has no items() to merge
                try:
                    NestedKeyvane().update({"k": value})
                except AttributeError:
                    return "mapping"
                return "leaf"

            def five_is_a_mapping(real):
                return lambda cls, instance: instance == 5 or real(cls, instance)

            seen = [merged(5), merged(5)]
            real = abc.ABCMeta.__instancecheck__
            abc.ABCMeta.__instancecheck__ = five_is_a_mapping(real)
            seen += [merged(5), merged(6)]
            abc.ABCMeta.__instancecheck__ = real
            code = real.__code__  # a global name in that code is read from abc's namespace
            real.__code__ = (lambda cls, instance: instance == 5 or _abc_instancecheck(cls, instance)).__code__
            seen.append(merged(5))
            real.__code__ = code
            helper = abc._abc_instancecheck
            abc._abc_instancecheck = five_is_a_mapping(helper)
            seen.append(merged(5))
            abc._abc_instancecheck = helper
            seen.append(merged(5))
            collections.abc.Mapping.register(int)
            seen += [merged(5), merged("5")]
            print(seen)
        """)
        assert result.stdout.split("\n")[0] == str(
            ["leaf", "leaf", "mapping", "leaf", "mapping", "mapping", "leaf", "mapping", "leaf"]), result.stderr

    def test_rebinding_keyvane_global_changes_repr(self, monkeypatch):
        monkeypatch.setattr(keyvane_module, "Keyvane", dict)
        assert repr(Keyvane()).startswith("Keyvane(<morvath.datastructures.keyvane.Keyvane object")


def test_operations_do_not_leak():
    def exercise():
        n = NestedKeyvane({"a": {"b": 1}}, c=[1])
        n["x.y.z"] = 2
        n.update({"x": {"y": {"w": 3}}})
        n.get("x.q")
        "x.y" in n
        del n["x.y.z"]
        copy.deepcopy(n)
        try:
            n["c.d"] = 1
        except KeyError:
            pass

    for _ in range(200):
        exercise()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(2000):
        exercise()
    gc.collect()
    assert sys.getallocatedblocks() - before < 200
