"""How the modules look to Python code: module life, function records,
argument errors and traceback entries (observed through keyvane)."""
import copyreg
import importlib
import inspect
import pickle
import sys
import traceback
import types

import pytest

import morvath.datastructures.keyvane as keyvane_module
from morvath.datastructures.keyvane import Keyvane, NestedKeyvane

FILE = "src/morvath/datastructures/keyvane"


class TestModuleLife:
    def test_import_twice_gives_the_same_module(self):
        again = importlib.import_module("morvath.datastructures.keyvane")
        assert again is keyvane_module
        assert importlib.reload(keyvane_module) is keyvane_module
        assert again.Keyvane is Keyvane

    def test_module_attributes(self):
        assert keyvane_module.__test__ == {}
        assert keyvane_module.__builtins__ is __builtins__ or keyvane_module.__builtins__ is sys.modules["builtins"]
        assert keyvane_module.__name__ == "morvath.datastructures.keyvane"
        assert keyvane_module.__package__ == "morvath.datastructures"
        assert keyvane_module.__file__.endswith(".so")
        assert keyvane_module.__doc__.startswith("Attribute Dictionary library\n\n")

    def test_exec_again_on_same_module_is_a_no_op(self):
        keyvane_module.__spec__.loader.exec_module(keyvane_module)
        assert keyvane_module.Keyvane is Keyvane

    def test_exec_on_another_module_object_is_refused(self, run_isolated):
        result = run_isolated("""
            import importlib.util
            spec = importlib.util.find_spec('morvath.datastructures.keyvane')
            early = spec.loader.create_module(spec)
            import morvath.datastructures.keyvane as ready
            assert early is not ready
            try:
                spec.loader.exec_module(early)
            except RuntimeError as error:
                print(error)
        """)
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == (
            "Module 'keyvane' has already been imported. Re-initialisation is not supported.")

    def test_create_returns_the_existing_module(self):
        spec = keyvane_module.__spec__
        assert spec.loader.create_module(spec) is keyvane_module

    def test_failed_body_is_forgotten_and_runs_again(self, run_isolated):
        result = run_isolated("""
            import sys, traceback
            sys.modules['collections.abc'] = None
            try:
                import morvath.datastructures.keyvane
            except ImportError as error:
                entries = traceback.extract_tb(error.__traceback__)
                last = entries[-1]
                print(last.name, last.filename, last.lineno)
            del sys.modules['collections.abc']
            import collections.abc
            import morvath.datastructures.keyvane as k
            print(k.NestedKeyvane({'a': {'b': 1}})['a.b'])
        """)
        assert result.returncode == 0, result.stderr
        assert result.stdout.split("\n")[:2] == [
            f"init morvath.datastructures.keyvane {FILE} 17", "1"]

    def test_spec_without_origin_or_loader(self, run_isolated):
        result = run_isolated("""
            import _imp, importlib.util
            path = importlib.util.find_spec('morvath.datastructures.keyvane').origin

            class Spec:
                # The loader needs the file once; the module itself then
                # finds neither an origin nor a loader.
                name = 'morvath.datastructures.keyvane'
                parent = 'morvath.datastructures'
                reads = 0

                @property
                def origin(self):
                    Spec.reads += 1
                    if Spec.reads == 1:
                        return path
                    raise AttributeError('origin')

            module = _imp.create_dynamic(Spec())
            print('__file__' in vars(module), module.__loader__, module.__name__)
        """)
        assert result.returncode == 0, result.stderr
        assert result.stdout.split() == ["False", "None", "morvath.datastructures.keyvane"]

    def test_second_interpreter_is_refused(self, run_isolated):
        result = run_isolated("""
            import _interpreters
            import morvath.datastructures.keyvane
            other = _interpreters.create('legacy')
            failure = _interpreters.exec(other, 'import morvath.datastructures.keyvane')
            print(failure.msg)
        """)
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == (
            "Interpreter change detected - this module can only be loaded into one "
            "interpreter per process.")


class TestFunctionRecords:
    def test_plain_function_from_class_bound_method_from_instance(self):
        function = Keyvane.__init__
        assert isinstance(function, types.FunctionType)
        assert isinstance(Keyvane().__init__, types.MethodType)
        assert Keyvane().__init__.__func__ is function
        assert function.__qualname__ == "Keyvane.__init__"
        assert function.__name__ == "__init__"
        assert function.__module__ == "morvath.datastructures.keyvane"
        assert function.__globals__ is vars(keyvane_module)
        assert function.__doc__.startswith("Keyvane object init\n")
        assert function.__defaults__ is None
        assert NestedKeyvane.__getitem__.__doc__ is None

    @pytest.mark.parametrize("function, varnames, argcount, flags, line", [
        (Keyvane.__init__, ("self", "args", "kwargs"), 1, inspect.CO_VARARGS | inspect.CO_VARKEYWORDS, 48),
        (Keyvane.__repr__, ("self",), 1, 0, 70),
        (NestedKeyvane.__setitem__, ("self", "key", "value", "subkeys", "subkey_value"), 3, 0, 89),
        (NestedKeyvane.update, ("self", "args", "kwargs", "iterable", "item", "key", "value"), 1,
         inspect.CO_VARARGS | inspect.CO_VARKEYWORDS, 125),
    ])
    def test_code_objects(self, function, varnames, argcount, flags, line):
        code = function.__code__
        assert code.co_varnames == varnames
        assert code.co_argcount == argcount
        assert code.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS) == flags
        assert code.co_firstlineno == line
        assert code.co_filename == FILE
        assert code.co_qualname == function.__qualname__

    def test_super_users_have_a_class_cell(self):
        assert Keyvane.__init__.__code__.co_freevars == ("__class__",)
        assert Keyvane.__init__.__closure__[0].cell_contents is Keyvane
        assert Keyvane.__repr__.__closure__ is None
        assert NestedKeyvane.update.__closure__ is None

    def test_signature_and_pickling(self):
        assert str(inspect.signature(NestedKeyvane.update)) == "(self, *args, **kwargs)"
        assert str(inspect.signature(NestedKeyvane.__setitem__)) == "(self, key, value)"
        for function in (Keyvane.__init__, NestedKeyvane.update, NestedKeyvane.get):
            assert pickle.loads(pickle.dumps(function)) is function

    def test_methods_can_be_copied_to_another_class(self):
        class Other(dict):
            update = NestedKeyvane.update
        other = Other()
        other.update({"a": {"b": 1}}, c=2)
        assert other == {"a": {"b": 1}, "c": 2} and type(other["a"]) is Other

    def test_defaults_are_read_at_call_time(self):
        # __defaults__ belongs to the function object, as for any def.
        function = Keyvane.__setstate__
        try:
            function.__defaults__ = (None,)
            k = Keyvane()
            function(k)
            assert k.__dict__ is k
        finally:
            function.__defaults__ = None


class TestArgumentErrors:
    @pytest.mark.parametrize("call, text", [
        (lambda: NestedKeyvane.__getitem__(NestedKeyvane()),
         "__getitem__() takes exactly 2 positional arguments (1 given)"),
        (lambda: NestedKeyvane.__getitem__(NestedKeyvane(), 1, 2),
         "__getitem__() takes exactly 2 positional arguments (3 given)"),
        (lambda: Keyvane.__repr__(),
         "__repr__() takes exactly 1 positional argument (0 given)"),
        (lambda: NestedKeyvane.update(),
         "update() takes at least 1 positional argument (0 given)"),
        (lambda: NestedKeyvane.__getitem__(NestedKeyvane(), 'a', nope=1),
         "__getitem__() got an unexpected keyword argument 'nope'"),
        (lambda: NestedKeyvane.__getitem__(NestedKeyvane(), 'a', key='b'),
         "__getitem__() got multiple values for keyword argument 'key'"),
        (lambda: NestedKeyvane.__setitem__(NestedKeyvane(), value=1),
         "__setitem__() takes exactly 3 positional arguments (1 given)"),
    ])
    def test_texts(self, call, text):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == text
        last = traceback.extract_tb(info.value.__traceback__)[-1]
        assert last.filename == FILE

    def test_keywords_bind_by_name(self):
        n = NestedKeyvane()
        NestedKeyvane.__setitem__(self=n, value=2, key="a.b")
        assert n == {"a": {"b": 2}}

    def test_argument_error_reports_the_def_line(self):
        with pytest.raises(TypeError) as info:
            NestedKeyvane.__contains__(NestedKeyvane())
        last = traceback.extract_tb(info.value.__traceback__)[-1]
        assert (last.name, last.lineno) == ("morvath.datastructures.keyvane.NestedKeyvane.__contains__", 105)


def test_traceback_entry_per_function_passed():
    n = NestedKeyvane({"a": {"b": 5}})
    with pytest.raises(AttributeError) as info:
        n.update({"a": {"b": {"c": 1}}})
    entries = [(e.name, e.filename, e.lineno) for e in traceback.extract_tb(info.value.__traceback__)]
    assert entries[-2:] == [
        ("morvath.datastructures.keyvane.NestedKeyvane.update", FILE, 147),
        ("morvath.datastructures.keyvane.NestedKeyvane.update", FILE, 147),
    ]


def test_deep_dotted_key_ends_in_recursion_error(run_isolated):
    result = run_isolated("""
        from morvath.datastructures.keyvane import NestedKeyvane
        n = NestedKeyvane()
        try:
            n['.'.join(['k'] * 200000)] = 1
        except RecursionError:
            print('RecursionError')
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "RecursionError"
