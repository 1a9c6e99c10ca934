"""Configuration: conversion on every store, block-by-block copies, and the three loaders."""
import configparser
import gc
import logging
import operator
import sys
import traceback
import warnings

import pytest
import yaml

import morvath.datastructures.configuration as cfg_module
from morvath.datastructures.configuration import Configuration

GROUP = "morvath_tests.configuration"
PREFIX = "Failed to load configuration from entrypoint: "


class FakeEntryPoint:
    def __init__(self, data, dist="fake-1.0"):
        self.data, self.dist = data, dist

    def load(self):
        if isinstance(self.data, BaseException):  # a fresh one each time
            raise type(self.data)(*self.data.args)
        return self.data


@pytest.fixture
def calls(monkeypatch):
    """Records each conversion; integers come back as text, "boom" fails."""
    seen = []

    def typecast(value):
        seen.append("block" if isinstance(value, Configuration) else value)
        if value == "boom":
            raise ValueError(value)
        return str(value) if type(value) is int else value
    monkeypatch.setattr(cfg_module, "typecast_str", typecast)
    return seen


@pytest.fixture
def write(tmp_path):
    def write(name, text):
        (tmp_path / name).write_text(text)
        return str(tmp_path / name)
    return write


@pytest.fixture
def plugin(tmp_path, monkeypatch):
    """An installed distribution whose group holds a broken entry point, then a good one."""
    (tmp_path / "mv_settings_plugin.py").write_text("SETTINGS = {'server': {'port': 80}}\n")
    info = tmp_path / "mv_settings_plugin-1.0.dist-info"
    info.mkdir()
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: mv-settings-plugin\nVersion: 1.0\n")
    (info / "entry_points.txt").write_text(
        f"[{GROUP}]\nbroken = mv_settings_plugin:MISSING\ngood = mv_settings_plugin:SETTINGS\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    yield
    sys.modules.pop("mv_settings_plugin", None)


def test_module_and_class_shape():
    assert Configuration.__bases__ == (sys.modules["morvath.datastructures.keyvane"].NestedKeyvane,)
    assert cfg_module.logger is logging.getLogger("morvath.datastructures.configuration")
    assert cfg_module.__test__ == {} and cfg_module.__doc__ is None
    methods = [name for name, value in vars(Configuration).items() if callable(value)]
    assert methods == ["copy", "__setitem__", "load_cfgs", "load_yamls", "load_entrypoint"]
    assert [vars(Configuration)[n].__code__.co_firstlineno for n in methods] == [16, 30, 34, 48, 58]


@pytest.mark.parametrize("start, action, expected_calls, expected", [
    ({}, lambda c: operator.setitem(c, "k", 1), [1], {"k": "1"}),
    ({}, lambda c: operator.setitem(c, "a.b", 1), [1, "block", "1"], {"a": {"b": "1"}}),
    ({"a": {}}, lambda c: operator.setitem(c, "a.b", 1), [1, "1"], {"a": {"b": "1"}}),
    ({}, lambda c: operator.setitem(c, "a.b.c", 1), [1, "block", "1", "block", "1"],
     {"a": {"b": {"c": "1"}}}),
    ({}, lambda c: c.update({"a": {"b": 1}}, k=2), ["block", 1, 2], {"a": {"b": "1"}, "k": "2"}),
    ({"a": {"b": 1}}, lambda c: c.copy(), ["block", "1"], {"a": {"b": "1"}}),
])
def test_every_store_and_new_block_is_converted(calls, start, action, expected_calls, expected):
    c = Configuration(start)
    calls.clear()
    result = action(c)
    assert calls == expected_calls and (result if result is not None else c) == expected


@pytest.mark.parametrize("key", ["k", "a.b"])
def test_failed_conversion_stores_nothing(calls, key):
    c = Configuration()
    with pytest.raises(ValueError) as info:
        c[key] = "boom"
    assert c == {}
    assert ("src/morvath/datastructures/configuration", 32) in [
        (f.filename, f.lineno) for f in traceback.extract_tb(info.value.__traceback__)]


def test_copy_copies_every_mapping_level_and_shares_the_rest():
    class Sub(Configuration):
        pass
    tags = ["x"]
    c = Sub({"a": {"b": 1}}, tags=tags)
    c["p"] = {"x": 1}
    d = c.copy()
    assert d == c and {type(d), type(d["a"]), type(d["p"])} == {Sub}
    assert d["a"] is not c["a"] and d["tags"] is tags
    d["a.b"], d["p.x"] = 2, 2
    assert c["a.b"] == 1 and c["p"] == {"x": 1} and type(dict.copy(c)) is dict


def test_self_containing_copy_ends_in_recursion_error(run_isolated):
    result = run_isolated("""
        from morvath.datastructures.configuration import Configuration
        c = Configuration(); c["me"] = c
        try:
            c.copy()
        except RecursionError:
            print("ok")
    """)
    assert result.stdout == "ok\n", result.stderr


def test_cfg_delimiters_comments_and_default_section(write):
    path = write("a.cfg", "[DEFAULT]\nhost = example.org\n[server]\nport = 80 # web\n"
                          ";x = 1\npct = 5%%\na.b = 3\n[db]\nhost = db.local\n")
    c = Configuration(DEFAULT={"old": 1})
    assert c.load_cfgs(path, path + ".missing") == [path]
    assert c == {"server": {"host": "example.org", "port": "80 # web", ";x": "1", "pct": "5%",
                            "a": {"b": "3"}}, "db": {"host": "db.local"}}
    later = write("b.cfg", "[db]\nhost = other\n")
    assert c.load_cfgs(path, later) == [path, later] and c.db.host == "other"
    assert c.load_cfgs() == [] and c.load_cfgs(later + ".missing") == [] and "DEFAULT" not in c


@pytest.mark.parametrize("text", ["[s]\nname: x\n", "[s]\n;no delimiter\n", "a = 1\n",
                                  "[s]\na = 1\na = 2\n"])
def test_cfg_syntax_errors_merge_nothing(write, text):
    c = Configuration(keep=1)
    with pytest.raises(configparser.Error):
        c.load_cfgs(write("bad.cfg", text))
    assert c == {"keep": 1}


def test_cfg_interpolation_error_leaves_what_was_merged(write):
    c = Configuration()
    with pytest.raises(configparser.InterpolationSyntaxError):
        c.load_cfgs(write("pct.cfg", "[one]\nk = v\n[two]\nok = 1\nrate = 5%\n[three]\nz = 1\n"))
    assert c == {"DEFAULT": {}, "one": {"k": "v"}, "two": {"ok": "1"}}


@pytest.mark.parametrize("text, expected", [
    ("server:\n  port: 80\n  tags: [a, b]\n", {"server": {"port": 80, "tags": ["a", "b"]}}),
    ("- [server.port, 81]\n- [name, x]\n", {"server": {"port": 81}, "name": "x"}),
])
def test_yaml_documents_merge(write, tmp_path, text, expected):
    c = Configuration(server={"port": 1})
    path = write("a.yaml", text)
    assert c.load_yamls(path, path + ".missing", str(tmp_path), path) == (path, path)
    assert c == expected and type(c.server) is Configuration


@pytest.mark.parametrize("text, error", [
    ("# only a comment\n", TypeError), ("", TypeError), ("42\n", TypeError),
    ("a: [1, 2\n", yaml.YAMLError)])
def test_yaml_failure_keeps_earlier_files_and_closes_the_file(write, text, error):
    good, bad = write("good.yaml", "a: 1\n"), write("bad.yaml", text)
    c = Configuration()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ResourceWarning)  # an unclosed file warns when released
        with pytest.raises(error) as info:
            c.load_yamls(good, bad)
        entries = [(f.lineno, f.name) for f in traceback.extract_tb(info.value.__traceback__)]
        del info
        gc.collect()
    assert c == {"a": 1} and not [w for w in caught if w.category is ResourceWarning]
    assert (52, "morvath.datastructures.configuration.Configuration.load_yamls") in entries


def test_entry_points_merge_and_log_the_failing_one(plugin, monkeypatch, caplog):
    real, seen = cfg_module.get_entry_points, []
    monkeypatch.setattr(cfg_module, "get_entry_points", lambda group: seen.extend(real(group)) or seen)
    c = Configuration(server={"host": "h"})
    with caplog.at_level(logging.ERROR, logger="morvath.datastructures.configuration"):
        loaded = c.load_entrypoint(GROUP)
    broken, good = seen
    assert loaded == [good] and c == {"server": {"host": "h", "port": 80}}
    [record] = caplog.records
    assert record.levelno == logging.ERROR and record.getMessage() == PREFIX + format(broken.dist, "")
    assert isinstance(record.exc_info[1], AttributeError)
    assert "line 75, in morvath.datastructures.configuration.Configuration.load_entrypoint" in caplog.text


def test_entry_point_failures_keep_partial_merges_and_pass_base_exceptions(monkeypatch, caplog):
    eps = [FakeEntryPoint([("a", 1), ("b",)]), FakeEntryPoint(KeyboardInterrupt()), FakeEntryPoint({})]
    monkeypatch.setattr(cfg_module, "get_entry_points", lambda group: iter(eps))
    c = Configuration()
    with pytest.raises(KeyboardInterrupt):
        c.load_entrypoint(GROUP)
    assert c == {"a": 1} and [r.getMessage() for r in caplog.records] == [PREFIX + "fake-1.0"]


def test_handling_a_failure_leaves_the_callers_exception_state(monkeypatch, caplog):
    class NoText:
        def __format__(self, spec):
            raise RuntimeError("no text")
    eps = [FakeEntryPoint(ValueError("bad"))]
    monkeypatch.setattr(cfg_module, "get_entry_points", lambda group: eps)
    c = Configuration()

    def steps():
        c.load_entrypoint(GROUP)
        yield sys.exception()
        yield sys.exception()
    try:
        raise KeyError("outer")
    except KeyError as outer:
        gen = steps()
        assert next(gen) is outer
        eps.append(FakeEntryPoint(ValueError("worse"), dist=NoText()))
        with pytest.raises(RuntimeError) as info:
            c.load_entrypoint(GROUP)
        assert str(info.value.__context__) == "worse" and sys.exception() is outer
    assert next(gen) is None and len(caplog.records) == 2


def test_loaders_do_not_leak(write, monkeypatch):
    monkeypatch.setattr(cfg_module.logger, "propagate", False)
    monkeypatch.setattr(cfg_module.logger, "handlers", [logging.NullHandler()])
    eps = [FakeEntryPoint(ValueError()), FakeEntryPoint({"e": {"f": 1}})]
    monkeypatch.setattr(cfg_module, "get_entry_points", lambda group: eps)
    good, bad = write("good.yaml", "a: {b: [1]}\n"), write("bad.yaml", "a: [\n")
    ini = write("a.cfg", "[DEFAULT]\nd = 1\n[s]\nk = v\n")

    def exercise():
        c = Configuration({"x": {"y": 1}})
        c.load_yamls(good), c.load_cfgs(ini), c.load_entrypoint(GROUP), c.copy()
        try:
            c.load_yamls(bad)
        except yaml.YAMLError:
            pass
    for _ in range(500):  # warms the parsers' and the interpreter's own caches
        exercise()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(1000):
        exercise()
    gc.collect()
    assert sys.getallocatedblocks() - before < 200
