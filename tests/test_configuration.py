"""Configuration: conversion on every store, block-by-block copies, and the three loaders."""
import configparser
import copy
import gc
import logging
import pickle
import sys
import traceback
import warnings

import pytest
import yaml

import morvath.datastructures.configuration as cfg_module
from morvath.datastructures.configuration import Configuration
from morvath.datastructures.keyvane import NestedKeyvane

GROUP, PREFIX = "morvath_tests.configuration", "Failed to load configuration from entrypoint: "


class FakeEntryPoint:
    def __init__(self, data, dist="fake-1.0"):
        self.data, self.dist = data, dist

    def load(self):  # an exception given as data is raised afresh on each call
        if isinstance(self.data, BaseException):
            raise type(self.data)(*self.data.args)
        return self.data


def write(folder, name, text):
    (folder / name).write_text(text)
    return str(folder / name)


@pytest.mark.parametrize("start, action, expected_calls, expected", [
    ({}, lambda c: c.__setitem__("k", 1), [1], {"k": "1"}),
    ({}, lambda c: c.__setitem__("a.b.c", 1), [1, "block", "1", "block", "1"], {"a": {"b": {"c": "1"}}}),
    ({"a": {}}, lambda c: c.__setitem__("a.b", 1), [1, "1"], {"a": {"b": "1"}}),
    ({}, lambda c: c.update({"a": {"b": 1}}, k=2), ["block", 1, 2], {"a": {"b": "1"}, "k": "2"}),
    ({"a": {"b": 1}}, lambda c: c.copy(), ["block", "1"], {"a": {"b": "1"}}),
])
def test_every_store_and_new_block_is_converted(monkeypatch, start, action, expected_calls, expected):
    seen = []  # integers come back as text
    monkeypatch.setattr(cfg_module, "typecast_str", lambda value: seen.append(
        "block" if isinstance(value, Configuration) else value) or (str(value) if type(value) is int else value))
    c = Configuration(start)
    seen.clear()
    result = action(c)
    assert seen == expected_calls and (c if result is None else result) == expected


def test_copy_copies_every_mapping_level_and_shares_the_rest():
    class Sub(Configuration):
        pass
    tags = ["x"]
    c = Sub({"a": {"b": 1}}, tags=tags)
    c["p"] = {"x": 1}
    d = c.copy()
    assert d == c and {type(d), type(d["a"]), type(d["p"])} == {Sub} and d["tags"] is tags
    d["a.b"], d["p.x"] = 2, 2
    assert c["a.b"] == 1 and c["p"] == {"x": 1} and type(dict.copy(c)) is dict


COPIES = [copy.copy, copy.deepcopy] + [
    lambda o, p=p: pickle.loads(pickle.dumps(o, p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)]


@pytest.mark.parametrize("make", COPIES)
def test_copies_and_pickles_convert_nothing_again(monkeypatch, make):
    c = Configuration({"a": {"b": 1}}, items=2)
    dict.__setitem__(c, "x.y", 3)
    seen = []
    monkeypatch.setattr(cfg_module, "typecast_str", lambda value: seen.append(value) or f"<{value}>")
    duplicate = make(c)
    assert seen == [] and type(duplicate) is Configuration and duplicate.__dict__ is duplicate
    assert list(duplicate) == ["a", "items", "x.y"] and dict(duplicate) == dict(c)
    assert type(duplicate["a"]) is Configuration and duplicate.a.__dict__ is duplicate.a


class Forwarding(Configuration):
    """The same stores through an override, so every level takes the general path."""

    def __setitem__(self, key, value):
        super().__setitem__(key, value)


def recording_conversions(monkeypatch, fail_at=None):
    seen = []

    def typecast_str(value):
        seen.append("block" if isinstance(value, Configuration) else value)
        if len(seen) == fail_at:
            raise ValueError(len(seen))
        return value
    monkeypatch.setattr(cfg_module, "typecast_str", typecast_str)
    return seen


def entries(error):
    return [(f.name.rpartition(".")[2], f.lineno) for f in traceback.extract_tb(error.__traceback__)[1:]]


STORES = [
    lambda c: c.__setitem__("a.b.c", 1),  # every level exists
    lambda c: c.__setitem__("a.n.m", 2),  # a missing level
    lambda c: c.__setitem__("a.b", 3),
    lambda c: c.update({"a": {"b": {"c": 4}, "x.y": 5}, "k": 6}),
    lambda c: c.copy(),
]


@pytest.mark.parametrize("action", STORES)
def test_direct_stores_convert_as_the_general_path(monkeypatch, action):
    results = {}
    for cls in (Configuration, Forwarding):
        c = cls({"a": {"b": {"c": 0}}, "s": "t"})
        seen = recording_conversions(monkeypatch)
        result = action(c)
        results[cls] = (list(seen), c if result is None else result)
    assert results[Configuration] == results[Forwarding]


@pytest.mark.parametrize("fail_at, expected", [
    (1, [("__setitem__", 32)]),
    (2, [("__setitem__", 32), ("__setitem__", 100), ("__setitem__", 32)]),
    (3, [("__setitem__", 32), ("__setitem__", 100)] * 2 + [("__setitem__", 32)]),
])
def test_a_failed_conversion_deep_in_a_store_leaves_every_level(monkeypatch, fail_at, expected):
    c = Configuration({"a": {"b": {"c": 0}}})
    recording_conversions(monkeypatch, fail_at)
    with pytest.raises(ValueError) as info:
        c["a.b.c"] = 1
    assert entries(info.value)[:-1] == expected and c == {"a": {"b": {"c": 0}}}
    merged = Configuration()
    recording_conversions(monkeypatch, fail_at)
    with pytest.raises(ValueError) as info:  # the leaf store of a merge
        merged.update({"a": 1, "b": 2, "c": 3})
    assert entries(info.value)[:-1] == [("update", 149), ("__setitem__", 32)]


def test_replaced_base_store_is_reached_from_every_level(monkeypatch):
    c = Configuration({"a": {"b": {"c": 0}}})
    stored, original = [], NestedKeyvane.__setitem__
    monkeypatch.setattr(NestedKeyvane, "__setitem__",
                        lambda self, key, value: stored.append(key) or original(self, key, value))
    c["a.b.c"] = 1
    c.update({"a": {"b": {"d": 2}}})
    assert stored == ["a.b.c", "b.c", "c", "d"] and c == {"a": {"b": {"c": 1, "d": 2}}}
    monkeypatch.setattr(NestedKeyvane, "__setitem__", original)

    def replace_on_first(value):  # the top level found its base store before converting
        seen.append(value)
        if len(seen) == 1:
            monkeypatch.setattr(NestedKeyvane, "__setitem__",
                                lambda self, key, value: stored.append(key) or original(self, key, value))
        return value
    seen, stored[:] = [], []
    monkeypatch.setattr(cfg_module, "typecast_str", replace_on_first)
    c["a.b.c"] = 3
    assert stored == ["b.c", "c"] and seen == [3, 3, 3] and c["a.b.c"] == 3


def test_very_deep_dotted_stores_fail_as_deep_calls_do():
    for depth, fails in [(20_000, True), (200, False)]:
        top = level = Configuration()
        for _ in range(depth):
            dict.__setitem__(level, "x", Configuration())
            level = dict.__getitem__(level, "x")
        path = ".".join(["x"] * depth)
        if fails:
            with pytest.raises(RecursionError):
                top[path] = 1
        else:
            top[path] = 1
            assert top[path] == 1


@pytest.mark.parametrize("load, name, text, first_block", [
    (Configuration.load_cfgs, "a.cfg", "[server]\nport = 80\n", "DEFAULT"),  # the parser's first section
    (Configuration.load_yamls, "a.yaml", "server: {port: 80}\n", "server"),
])
def test_loaders_give_a_failed_block_store_its_key_error(tmp_path, monkeypatch, load, name, text, first_block):
    def refuse_blocks(value):
        if isinstance(value, Configuration):
            raise ValueError("no blocks")
        return value
    monkeypatch.setattr(cfg_module, "typecast_str", refuse_blocks)
    with pytest.raises(ValueError) as info:
        load(Configuration(), write(tmp_path, name, text))
    assert repr(info.value.__context__) == f"KeyError('{first_block}')"


def test_cfg_files(tmp_path):
    path = write(tmp_path, "a.cfg", "[DEFAULT]\nhost = example.org\n[server]\nport = 80 # web\n"
                                    ";x = 1\npct = 5%%\na.b = 3\n[db]\nhost = db.local\n")
    c = Configuration(DEFAULT={"old": 1})
    assert c.load_cfgs(path, path + ".missing") == [path]
    assert c == {"server": {"host": "example.org", "port": "80 # web", ";x": "1", "pct": "5%",
                            "a": {"b": "3"}}, "db": {"host": "db.local"}}
    later = write(tmp_path, "b.cfg", "[db]\nhost = other\n")
    assert c.load_cfgs(path, later) == [path, later] and c.db.host == "other"
    assert c.load_cfgs() == [] and c.load_cfgs(later + ".missing") == [] and "DEFAULT" not in c
    for text in ["[s]\nname: x\n", "[s]\n;no delimiter\n"]:
        with pytest.raises(configparser.ParsingError):
            c.load_cfgs(write(tmp_path, "bad.cfg", text))
    c = Configuration()  # an interpolation error leaves what was merged before it
    with pytest.raises(configparser.InterpolationSyntaxError):
        c.load_cfgs(write(tmp_path, "p.cfg", "[one]\nk = v\n[two]\nok = 1\nrate = 5%\n[three]\nz = 1\n"))
    assert c == {"DEFAULT": {}, "one": {"k": "v"}, "two": {"ok": "1"}}


@pytest.mark.parametrize("text, expected", [
    ("server:\n  port: 80\n  tags: [a, b]\n", {"server": {"port": 80, "tags": ["a", "b"]}}),
    ("- [server.port, 81]\n- [name, x]\n", {"server": {"port": 81}, "name": "x"}),
    ("# only a comment\n", TypeError), ("", TypeError), ("42\n", TypeError), ("a: [1, 2\n", yaml.YAMLError),
])
def test_yaml_files(tmp_path, text, expected):
    c = Configuration(server={"port": 1})
    path = write(tmp_path, "a.yaml", text)
    if isinstance(expected, dict):
        assert c.load_yamls(path, path + ".missing", str(tmp_path), path) == (path, path)
        assert c == expected and type(c.server) is Configuration
        return
    with warnings.catch_warnings(record=True) as caught:  # an unclosed file warns when released
        warnings.simplefilter("always", ResourceWarning)
        with pytest.raises(expected) as info:
            c.load_yamls(write(tmp_path, "good.yaml", "a: 1\n"), path)
        del info
        gc.collect()
    assert c == {"server": {"port": 1}, "a": 1} and not [w for w in caught if w.category is ResourceWarning]


def test_real_entry_points_merge_and_the_failing_one_is_logged(tmp_path, monkeypatch, caplog):
    # A distribution's metadata on sys.path, found through importlib.metadata.
    write(tmp_path, "mv_settings_plugin.py", "SETTINGS = {'server': {'port': 80}}\n")
    (tmp_path / "mv_settings_plugin-1.0.dist-info").mkdir()
    write(tmp_path, "mv_settings_plugin-1.0.dist-info/METADATA", "Name: mv-settings-plugin\n")
    write(tmp_path, "mv_settings_plugin-1.0.dist-info/entry_points.txt", f"[{GROUP}]\n"
          "broken = mv_settings_plugin:MISSING\ngood = mv_settings_plugin:SETTINGS\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.delitem(sys.modules, "mv_settings_plugin", raising=False)
    real, seen = cfg_module.get_entry_points, []  # keeps the very objects handed out
    monkeypatch.setattr(cfg_module, "get_entry_points", lambda group: seen.extend(real(group)) or seen)
    c = Configuration(server={"host": "h"})
    assert c.load_entrypoint(GROUP) == seen[1:] and c == {"server": {"host": "h", "port": 80}}
    [(record, exc_info)] = [(r, r.exc_info) for r in caplog.records if r.name == cfg_module.__name__]
    assert record.levelno == logging.ERROR and isinstance(exc_info[1], AttributeError)
    assert record.getMessage() == PREFIX + format(seen[0].dist, "")
    assert "line 75, in morvath.datastructures.configuration.Configuration.load_entrypoint" in caplog.text


def test_entry_points_failures_are_logged_and_keep_partial_merges(monkeypatch, caplog):
    class NoText:
        def __format__(self, spec):
            raise RuntimeError("no text")
    eps = [FakeEntryPoint([("a", 1), ("b",)]), FakeEntryPoint({"s": {"p": 80}})]
    monkeypatch.setattr(cfg_module, "get_entry_points", lambda group: eps)
    c = Configuration()

    def steps():
        yield c.load_entrypoint(GROUP), sys.exception()
        yield sys.exception()
    try:
        raise KeyError("outer")
    except KeyError as outer:
        gen = steps()  # the handled exception is the caller's again after the call
        assert next(gen) == ([eps[1]], outer) and c == {"a": 1, "s": {"p": 80}} and type(c.s) is Configuration
        [record] = caplog.records
        assert (record.name, record.levelno, type(record.exc_info[1])) == (cfg_module.__name__, logging.ERROR, TypeError)
        assert "line 75, in morvath.datastructures.configuration.Configuration.load_entrypoint" in caplog.text
        eps.insert(1, FakeEntryPoint(ValueError("worse"), dist=NoText()))
        with pytest.raises(RuntimeError) as info:
            c.load_entrypoint(GROUP)
        assert str(info.value.__context__) == "worse" and sys.exception() is outer
    assert next(gen) is None and [r.getMessage() for r in caplog.records] == [PREFIX + "fake-1.0"] * 2
    eps[:] = [FakeEntryPoint(KeyboardInterrupt())]
    with pytest.raises(KeyboardInterrupt):
        c.load_entrypoint(GROUP)


def test_loaders_do_not_leak(tmp_path, monkeypatch, assert_no_leak):
    monkeypatch.setattr(cfg_module.logger, "disabled", True)
    monkeypatch.setattr(cfg_module, "get_entry_points", lambda group: [
        FakeEntryPoint(ValueError()), FakeEntryPoint({"e": {"f": 1}})])
    good, bad, ini = (write(tmp_path, name, text) for name, text in [
        ("g.yaml", "a: {b: [1]}\n"), ("b.yaml", "a: [\n"), ("a.cfg", "[DEFAULT]\nd = 1\n[s]\nk = v\n")])

    def exercise():
        c = Configuration({"x": {"y": 1}})
        c.load_yamls(good), c.load_cfgs(ini), c.load_entrypoint(GROUP), c.copy()
        with pytest.raises(yaml.YAMLError):
            c.load_yamls(bad)
    assert_no_leak(exercise, warmup=300, rounds=400)


def reference_configuration():
    from test_keyvane import ReferenceNested

    class ReferenceConfiguration(ReferenceNested):
        def __setitem__(self, key, value):
            super().__setitem__(key, cfg_module.typecast_str(value))

    return ReferenceConfiguration


@pytest.mark.parametrize("start, action", [
    ({}, lambda c: c.__setitem__("zz.y", "1")),
    ({"zz": {}}, lambda c: c.__setitem__("zz.y", "1")),
    ({}, lambda c: c.update({"zz": {"y": "1"}})),
    ({"zz": {"x": "2"}}, lambda c: c.update({"zz": {"y": "1"}})),
    ({}, lambda c: c.setdefault("zz", "3")),
])
def test_colliding_keys_compare_as_often_as_in_python(start, action):
    from test_keyvane import Twin, with_twin

    def count(cls):
        c = with_twin(cls(start), "zz")
        Twin.log.clear()
        action(c)
        return len(Twin.log), {k: v for k, v in dict.items(c) if not isinstance(k, Twin)}

    assert count(Configuration) == count(reference_configuration())


@pytest.mark.parametrize("action", [
    lambda c: c.__setitem__("a.b", 1), lambda c: c.update({"a": {"b": 1}}), lambda c: c.setdefault("a", 2)])
def test_new_blocks_are_stored_while_their_key_error_is_handled(monkeypatch, action):
    def count(cls):
        seen = []
        monkeypatch.setattr(cfg_module, "typecast_str", lambda value: seen.append(
            (isinstance(value, dict), repr(sys.exception()))) or value)
        action(cls())
        return seen

    assert count(Configuration) == count(reference_configuration())
