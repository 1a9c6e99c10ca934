"""How the modules look to Python code: module life, imports, class
creation, function records, argument errors, traceback entries and the
generator type (observed through keyvane and fadeline)."""
import ctypes
import gc
import importlib
import importlib.util
import inspect
import pickle
import sys
import traceback
import types
import warnings
import weakref

import pytest

import morvath.datastructures.keyvane as keyvane_module
from morvath.datastructures.fadeline import Fadeline
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

    @pytest.mark.parametrize("name", [
        "fadeline", "pathrell", "keyvane", "logic", "configuration", "branchel", "tyvern"])
    @pytest.mark.parametrize("how", ["import", "exec_module"])
    def test_reimport_after_deleting_the_entry_does_not_leak(self, assert_no_leak, name, how):
        full = f"morvath.datastructures.{name}"
        module = importlib.import_module(full)

        def reimport():
            del sys.modules[full]
            if how == "import":
                again = importlib.import_module(full)
            else:
                again = importlib.util.module_from_spec(module.__spec__)
                module.__spec__.loader.exec_module(again)
                sys.modules[full] = again
            assert again is module

        assert_no_leak(reimport, warmup=50, rounds=500, slack=100)

    def test_generator_type_is_ready_before_the_first_iteration(self, run_isolated):
        # Building the type during an operation could fail half way through
        # the interpreter's type setup; the import builds it instead.
        result = run_isolated("""
            import gc
            import morvath.datastructures.fadeline as fadeline
            native = type(x for x in ())
            print(sum(isinstance(o, type) and o.__name__ == 'generator' and o is not native
                      for o in gc.get_objects()))
            class Thing: pass
            thing = Thing()
            print(type(iter(fadeline.Fadeline([thing]))).__name__)
        """)
        assert result.returncode == 0, result.stderr
        assert result.stdout.split() == ["1", "generator"]

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


    @pytest.mark.parametrize("setup, expected", [
        # import X: a blocked X is not taken from sys.modules
        ("sys.modules['itertools'] = None",
         "ModuleNotFoundError import of itertools halted; None in sys.modules 15"),
        # import X: relative to the package first
        ("sys.modules['morvath.datastructures.itertools'] = fake", "itertools is fake"),
        # from X import a: the submodule entry X.a stands in for a missing attribute
        ("del collections.abc.Mapping; sys.modules['collections.abc.Mapping'] = fake",
         "Mapping is fake"),
        # ...and without one the import fails, also when X has no usable __name__
        ("del collections.abc.Mapping; collections.abc.__name__ = 5",
         "ImportError cannot import name 'Mapping' 17"),
    ])
    def test_import_statements(self, run_isolated, setup, expected):
        result = run_isolated(f"""
            import collections.abc, itertools, sys, traceback, types
            fake = types.SimpleNamespace(chain=itertools.chain)
            {setup}
            try:
                import morvath.datastructures.keyvane as k
            except ImportError as error:
                frame, line = list(traceback.walk_tb(error.__traceback__))[-1]
                assert frame.f_code.co_name == 'init morvath.datastructures.keyvane'
                print(type(error).__name__, error, line)
            else:
                print(*[name + ' is fake' for name in ('itertools', 'Mapping') if getattr(k, name) is fake])
        """)
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == expected

    def test_objects_of_a_failed_body_stay_usable(self, run_isolated):
        # NestedKeyvane cannot be laid out; Keyvane was already made and is
        # still reachable after the module forgot the failed body.
        result = run_isolated("""
            import collections.abc
            real = collections.abc.MutableMapping
            class Clash(int):
                get = pop = setdefault = None
            collections.abc.MutableMapping = Clash
            try:
                import morvath.datastructures.keyvane
            except TypeError as error:
                print(error)
            old = next(c for c in dict.__subclasses__() if c.__name__ == 'Keyvane')
            k = old(a=1)
            print(repr(k), k.a)
            try:
                old.__repr__()
            except TypeError as error:
                print(error)
            collections.abc.MutableMapping = real
            import morvath.datastructures.keyvane as again
            print(again.Keyvane is not old, old(b=2).b)
        """)
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines() == [
            "multiple bases have instance lay-out conflict", "Keyvane({'a': 1}) 1",
            "__repr__() takes exactly 1 positional argument (0 given)", "True 2"]

    def test_functions_belong_to_the_full_name_whatever_the_spec_says(self, run_isolated):
        result = run_isolated("""
            import importlib.util, pickle
            path = importlib.util.find_spec('morvath.datastructures.keyvane').origin
            spec = importlib.util.spec_from_file_location('elsewhere.keyvane', path)
            module = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(module)
            function = module.NestedKeyvane.update
            print(module.__name__, function.__module__, module.Keyvane.__module__,
                  pickle.loads(pickle.dumps(function)) is function)
        """)
        assert result.returncode == 0, result.stderr
        assert result.stdout.split() == [
            "elsewhere.keyvane", "morvath.datastructures.keyvane", "morvath.datastructures.keyvane", "True"]


# The bases of NestedKeyvane are (Keyvane, MutableMapping), MutableMapping read
# from collections.abc at import: replacing it drives the class steps.
CLASS_SETUP = """
    import abc, collections.abc, sys, traceback
    real = collections.abc.MutableMapping
    seen = {}

    class Recording(dict):
        def __setitem__(self, key, value):
            seen.setdefault('order', []).append(key)
            super().__setitem__(key, value)

    class Meta(abc.ABCMeta):
        @classmethod
        def __prepare__(mcs, name, bases):
            seen['prepare'] = name, bases
            return Recording()

    class Mixin(metaclass=Meta):
        pass
    seen.clear()

    class Entry:
        def __init__(self, entries):
            self.entries = entries
            self.get, self.pop, self.setdefault = real.get, real.pop, real.setdefault
        def __mro_entries__(self, bases):
            seen['mro_entries'] = bases
            return self.entries
"""


class TestClassCreation:
    def test_mro_entries_prepare_and_namespace_order(self, run_isolated):
        result = run_isolated(CLASS_SETUP + """
    entry = Entry((Mixin, real))
    collections.abc.MutableMapping = entry
    from morvath.datastructures.keyvane import Keyvane, NestedKeyvane as N
    print(seen['mro_entries'] == (Keyvane, entry), seen['prepare'] == ('NestedKeyvane', N.__bases__))
    print(N.__bases__ == (Keyvane, Mixin, real), type(N) is Meta, N.__orig_bases__ == (Keyvane, entry))
    print(*seen['order'])
    n = N({'a': {'b': 1}})
    print(n['a.b'], N.__getitem__.__closure__[0].cell_contents is N)
""")
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines() == [
            "True True", "True True True",
            "__module__ __qualname__ __init__ __getitem__ __setitem__ __contains__ __delitem__ "
            "get pop setdefault update __classcell__ __orig_bases__",
            "1 True"]

    @pytest.mark.parametrize("entries, text", [
        ("[real]", "TypeError __mro_entries__ must return a tuple"),
        ("(A, B)", "TypeError metaclass conflict: the metaclass of a derived class must be a "
                   "(non-strict) subclass of the metaclasses of all its bases"),
    ])
    def test_failures(self, run_isolated, entries, text):
        result = run_isolated(CLASS_SETUP + f"""
    A = type('M1', (type,), {{}})('A', (), {{}})
    B = type('M2', (type,), {{}})('B', (), {{}})
    collections.abc.MutableMapping = Entry({entries})
    try:
        import morvath.datastructures.keyvane
    except TypeError as error:
        last = traceback.extract_tb(error.__traceback__)[-1]
        print(type(error).__name__, error)
        print(last.name, last.lineno, 'morvath.datastructures.keyvane' in sys.modules)
""")
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines() == [text, "init morvath.datastructures.keyvane 75 False"]

    def test_metaclass_entry_of_the_namespace_is_called_instead(self, run_isolated):
        result = run_isolated(CLASS_SETUP + """
    def factory(name, bases, ns):
        seen['factory'] = name
        return Meta(name, bases, dict(ns))

    class Preloaded(Meta):
        @classmethod
        def __prepare__(mcs, name, bases):
            return {'__metaclass__': factory}

    collections.abc.MutableMapping = Entry((Preloaded('P', (), {}), real))
    from morvath.datastructures.keyvane import NestedKeyvane as N
    print(seen['factory'], type(N).__name__, N.__metaclass__ is factory)
""")
        assert result.returncode == 0, result.stderr
        assert result.stdout.split() == ["NestedKeyvane", "Preloaded", "True"]


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


class OddName(str):
    """A keyword that equals nothing, not even its own text."""
    __hash__ = str.__hash__
    def __eq__(self, other):
        return False


def vectorcall(function, args, kwnames):
    """Calls `function` as C code may: with keyword names of any type."""
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    stack = (ctypes.py_object * len(args))(*args)
    return call(function, ctypes.cast(stack, ctypes.c_void_p), len(args) - len(kwnames), kwnames)


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
        (lambda: Fadeline.pop(), "pop() takes at least 1 positional argument (0 given)"),
        (lambda: Fadeline.sort(Fadeline(), None, True, 1),
         "sort() takes at most 3 positional arguments (4 given)"),
        (lambda: Fadeline.sort(reverse=True), "sort() takes at least 1 positional argument (0 given)"),
        (lambda: NestedKeyvane.__getitem__(NestedKeyvane(), **{OddName("key"): 1}),
         "__getitem__() got an unexpected keyword argument 'key'"),
        (lambda: vectorcall(NestedKeyvane.__getitem__, [NestedKeyvane(), 1], (1,)),
         "__getitem__() keywords must be strings"),
    ])
    def test_texts(self, call, text):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == text
        last = traceback.extract_tb(info.value.__traceback__)[-1]
        assert last.filename in (FILE, "src/morvath/datastructures/fadeline")

    def test_keywords_bind_by_name(self):
        n = NestedKeyvane()
        NestedKeyvane.__setitem__(self=n, value=2, key="a.b")
        NestedKeyvane.__setitem__(n, **{"".join("value"): 3, "".join("key"): "c"})
        assert n == {"a": {"b": 2}, "c": 3}

    def test_keyword_compares_as_equality_does(self):
        class Failing(str):
            __hash__ = str.__hash__
            def __eq__(self, other):
                raise ZeroDivisionError
        with pytest.raises(ZeroDivisionError):
            NestedKeyvane.__getitem__(NestedKeyvane(), **{Failing("key"): "a"})

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


def test_traceback_entries_of_one_site_survive_cleared_frames():
    # Entries of the same statement show one frame; clearing it, as
    # traceback.clear_frames does, must not spoil the next traceback.
    def entries():
        with pytest.raises(KeyError) as info:
            NestedKeyvane({"a": {}})["a.missing"]
        tb = info.value.__traceback__
        traceback.clear_frames(tb)
        return [(e.name, e.lineno, e.line) for e in traceback.extract_tb(tb)][1:]

    first, second = entries(), entries()
    assert first == second and first[0][0] == "morvath.datastructures.keyvane.NestedKeyvane.__getitem__"
    frame = list(traceback.walk_tb(_raise_from_library()))[-1][0]
    assert frame.f_back is None and frame.f_globals is vars(keyvane_module)


def _raise_from_library():
    try:
        NestedKeyvane()["missing"]
    except KeyError as error:
        return error.__traceback__


def test_super_fast_paths_follow_changes_of_the_classes():
    # Whether super() reaches dict is remembered per class; every change of a
    # class on the way must be seen at the next call.
    class Mid(dict):
        def __getitem__(self, key):
            return "mid"

    class Sub(NestedKeyvane):
        pass

    s = Sub({"a": 1})
    seen = [s["a"]]
    Keyvane.__getitem__ = lambda self, key: "patched"
    seen.append(s["a"])
    del Keyvane.__getitem__
    seen.append(s["a"])
    Sub.__bases__ = (NestedKeyvane, Mid)
    seen.append(s["a"])
    Sub.__bases__ = (NestedKeyvane,)
    seen.append(s["a"])
    assert seen == [1, "patched", 1, "mid", 1]


@pytest.mark.parametrize("patched_class", ["Sub", "NestedKeyvane"])
def test_method_guard_follows_replaced_class_attributes(patched_class, monkeypatch):
    # Whether `__getitem__` is still the library's own is remembered per
    # class; a subclass overriding another method keeps the fast path, and a
    # replacement on the class or a base is seen at the next call.
    class Sub(NestedKeyvane):
        def update(self, *args, **kwargs):
            super().update(*args, **kwargs)

    target = {"Sub": Sub, "NestedKeyvane": NestedKeyvane}[patched_class]
    s = Sub({"a": 1})
    seen = [(s.get("a"), s.get("b", 0))]
    monkeypatch.setattr(target, "__getitem__", lambda self, key: "patched", raising=False)
    seen.append((s.get("a"), s.get("b", 0)))
    monkeypatch.undo()
    seen.append((s.get("a"), s.get("b", 0)))
    assert seen == [(1, 0), ("patched", "patched"), (1, 0)]


@pytest.mark.parametrize("limit", [1000, 10**6])
def test_deep_dotted_key_ends_in_recursion_error(run_isolated, limit):
    # With the Python limit raised far, the C recursion limit still stops
    # the library's own nesting before the C stack runs out.
    result = run_isolated(f"""
        import sys
        sys.setrecursionlimit({limit})
        from morvath.datastructures.keyvane import NestedKeyvane
        n = NestedKeyvane()
        try:
            n['.'.join(['k'] * 200000)] = 1
        except RecursionError:
            print('RecursionError')
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "RecursionError"


class Thing:
    pass


THINGS = [Thing(), Thing(), Thing()]


def python_generator(items):
    for item in items:
        yield item


def entries(error):
    """The traceback entries that the library added: (function name, line)."""
    return [(e.name.rpartition(".")[2], e.lineno) for e in traceback.extract_tb(error.__traceback__)
            if e.filename.startswith("src/morvath/")]


class TestGenerator:
    """Fadeline.__iter__ (def line 44, yield line 45) next to the same loop in Python."""

    def outcome(self, generator, started, *args):
        if started:
            next(generator)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            with pytest.raises(BaseException) as info:
                generator.throw(*args)
        error = info.value
        cause = error.__cause__
        return (type(error), error.args, type(cause), next(generator, "finished")), error

    @pytest.mark.parametrize("started", [False, True])
    @pytest.mark.parametrize("args", [
        "KeyError,", "KeyError('k'),", "KeyError, 'k'", "KeyError, ('k', 1)", "KeyError, KeyError('k')",
        "LookupError, KeyError('k')", "GeneratorExit,", "StopIteration,", "StopIteration(3),",
        "KeyError('k'), 'v'", "KeyError, None, 1", "5,",
    ])
    def test_throw_as_python_generators_do(self, started, args):
        ours, error = self.outcome(iter(Fadeline(THINGS)), started, *eval(args))
        expected, _ = self.outcome(python_generator(THINGS), started, *eval(args))
        assert ours == expected
        if ours[0] not in (TypeError, RuntimeError):
            assert entries(error) == [("__iter__", 45 if started else 44)]
        if ours[0] is RuntimeError:
            assert entries(error) == [] and entries(error.__cause__) == [("__iter__", 45)]

    def test_throw_keeps_the_given_traceback_and_warns(self):
        try:
            raise KeyError
        except KeyError as error:
            given = error.__traceback__
        generator = iter(Fadeline(THINGS))
        next(generator)
        with pytest.warns(DeprecationWarning, match=r"the \(type, exc, tb\) signature of throw"):
            with pytest.raises(KeyError) as info:
                generator.throw(KeyError, None, given)
        assert info.value.__traceback__.tb_next.tb_next is given

    @pytest.mark.parametrize("args, text", [
        ((), "throw expected at least 1 argument, got 0"),
        ((KeyError, None, None, None), "throw expected at most 3 arguments, got 4"),
    ])
    def test_throw_argument_count(self, args, text):
        with pytest.raises(TypeError, match=f"^{text}$"):
            iter(Fadeline(THINGS)).throw(*args)

    def test_send_close_and_exhaustion(self):
        generator = iter(Fadeline(THINGS))
        with pytest.raises(TypeError, match="^can't send non-None value to a just-started generator$"):
            generator.send(1)
        assert generator.send(None) is THINGS[0] and generator.send(2) is THINGS[1]
        assert generator.close() is None and generator.close() is None
        for step in (generator.__next__, lambda: generator.send(1)):
            with pytest.raises(StopIteration):
                step()
        with pytest.raises(KeyError):
            generator.throw(KeyError)
        assert (generator.__name__, generator.__qualname__) == ("__iter__", "Fadeline.__iter__")

    def test_reentry_is_refused(self):
        seen = []

        class Reentrant(Fadeline):
            probe = None

            @property
            def data(self):
                if self.probe:
                    generator, self.probe = self.probe, None
                    seen.append(generator.gi_running)
                    for step in (generator.__next__, lambda: generator.send(None),
                                 lambda: generator.throw(KeyError), generator.close):
                        with pytest.raises(ValueError, match="^generator already executing$"):
                            step()
                return vars(self)["data"]

            @data.setter
            def data(self, value):
                vars(self)["data"] = value

        fl = Reentrant(THINGS)
        fl.probe = generator = iter(fl)
        assert list(generator) == THINGS and seen == [True]

    def test_stop_iteration_inside_becomes_runtime_error(self):
        class Stopping(Fadeline):
            data = property(lambda self: next(iter(())))

        with pytest.raises(RuntimeError, match="^generator raised StopIteration$") as info:
            list(Fadeline.__iter__(Stopping.__new__(Stopping)))
        assert type(info.value.__cause__) is StopIteration
        assert entries(info.value.__cause__)[-1] == ("__iter__", 44)

    def test_suspended_generator_in_a_cycle_is_collected(self):
        fl = Fadeline(THINGS)
        fl.generator = iter(fl)
        next(fl.generator)
        gone = weakref.ref(fl)
        del fl
        gc.collect()
        assert gone() is None


def test_failing_calls_and_generators_do_not_leak(assert_no_leak):
    n = NestedKeyvane({"a": {"b": 1}})

    def exercise():
        for call in (lambda: NestedKeyvane.__getitem__(n), lambda: n.update({"a": {"b": {"c": 1}}}),
                     lambda: NestedKeyvane.__getitem__(n, **{OddName("key"): 1})):
            try:
                call()
            except (TypeError, AttributeError):
                pass
        NestedKeyvane.__setitem__(n, **{"".join("key"): "x.y", "value": 2})
        generator = iter(Fadeline(THINGS))
        next(generator)
        try:
            generator.throw(StopIteration)
        except RuntimeError:
            pass
        iter(Fadeline(THINGS)).close()

    assert_no_leak(exercise)


class TestClassCall:
    """Library classes are built straight from the call's arguments while
    `__new__` and `__init__` are their own; a subclass made in Python (which
    does not inherit that entry) goes the ordinary way and must agree."""

    @staticmethod
    def plain_subclass():
        from morvath.datastructures.branchel import Branchel

        class Plain(Branchel):
            pass

        return Branchel, Plain

    @pytest.mark.parametrize("args, kwargs", [
        (("x",), {}), (("x", ["c"]), {}), ((), {"name": "x"}), (("x",), {"children": ["c"]}),
        ((), {"children": ["c"], "name": "x"}),
    ])
    def test_arguments_bind_as_the_ordinary_call_binds_them(self, args, kwargs):
        Branchel, Plain = self.plain_subclass()
        direct, general = Branchel(*args, **kwargs), Plain(*args, **kwargs)
        assert (direct.name, direct.children) == (general.name, general.children)
        assert type(direct) is Branchel and type(general) is Plain
        assert type(Keyvane(a=1)) is Keyvane and Keyvane(a=1).a == 1
        assert NestedKeyvane({"a": {"b": 1}})["a.b"] == 1

    @pytest.mark.parametrize("args, kwargs", [
        ((), {}), (("x", [], 3), {}), (("x",), {"name": "y"}), (("x",), {"other": 1}),
        (("x",), {1: 2}),
    ])
    def test_binding_errors_and_tracebacks_match(self, args, kwargs):
        Branchel, Plain = self.plain_subclass()
        outcomes = []
        for cls in (Branchel, Plain):
            with pytest.raises(TypeError) as raised:
                cls(*args, **kwargs)
            outcomes.append((str(raised.value), traceback.extract_tb(raised.tb)[-1].name))
        assert outcomes[0] == outcomes[1]

    def test_replaced_init_and_new_are_called(self, monkeypatch):
        Branchel, _ = self.plain_subclass()
        calls = []
        original_init = Branchel.__init__
        monkeypatch.setattr(Branchel, "__init__", lambda self, *a: calls.append(a) or original_init(self, "r"))
        assert Branchel("x").name == "r" and calls == [("x",)]
        monkeypatch.undo()
        assert Branchel("x").name == "x" and calls == [("x",)]

    def test_inherited_init_follows_its_base(self, monkeypatch):
        # Configuration inherits NestedKeyvane.__init__: a replacement on the
        # base is seen by the subclass's direct construction too.
        from morvath.datastructures.configuration import Configuration
        assert Configuration({"a": {"b": 1}})["a.b"] == 1
        monkeypatch.setattr(NestedKeyvane, "__init__", lambda self, *a, **k: dict.__setitem__(self, "r", a))
        assert dict(Configuration({"a": 1})) == {"r": ({"a": 1},)}
        monkeypatch.undo()
        assert dict(Configuration({"a": 1})) == {"a": 1}

    def test_replaced_new_is_called(self, run_isolated):
        # A class keeps a replaced __new__'s slot even after the deletion, so
        # this runs in a process of its own.
        result = run_isolated("""
            from morvath.datastructures.branchel import Branchel
            Branchel.__new__ = staticmethod(lambda cls, *a: "not a node")
            print(Branchel("x"))
        """)
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "not a node"

    def test_init_returning_a_value_and_metaclass_call(self, monkeypatch):
        Branchel, _ = self.plain_subclass()
        monkeypatch.setattr(Branchel, "__init__", lambda self, name: 1)
        with pytest.raises(TypeError, match=r"^__init__\(\) should return None, not 'int'$"):
            Branchel("x")
        monkeypatch.undo()

        class Meta(type):
            def __call__(cls, *args, **kwargs):
                return ("meta", args, kwargs)

        class Odd(Branchel, metaclass=Meta):
            pass

        assert Odd("x", children=[]) == ("meta", ("x",), {"children": []})

    def test_many_arguments_and_unlent_stacks(self):
        Branchel, _ = self.plain_subclass()
        # Through functools.partial and map the call arrives without a free
        # slot in front of the arguments; with too many it is refused alike.
        import functools
        assert functools.partial(Branchel, "x")(children=["c"]).children == ["c"]
        assert [b.name for b in map(Branchel, "ab")] == ["a", "b"]
        with pytest.raises(TypeError, match="takes from 2 to 3 positional arguments but 10 were given|"
                                            "at most 3 positional arguments"):
            Branchel(*range(9))

    def test_failing_construction_does_not_leak(self, assert_no_leak):
        Branchel, _ = self.plain_subclass()

        def exercise():
            for call in (lambda: Branchel(), lambda: Branchel("x", bad=1), lambda: Branchel(*range(12))):
                try:
                    call()
                except TypeError:
                    pass
            Branchel("x", ["c"], **{})
            Keyvane(a=1)
            NestedKeyvane({"a": {"b": 1}})

        assert_no_leak(exercise)


class TestInstanceAttributes:
    """Attributes the library reads and stores on its own instances are read
    straight from the instance's storage while no class defines the name and
    attribute access is the generic one; every other case must behave as the
    ordinary lookup does."""

    @staticmethod
    def node_class(**namespace):
        from morvath.datastructures.branchel import Branchel
        return type("Node", (Branchel,), namespace)

    def test_a_class_attribute_of_the_name_takes_part(self):
        seen = []
        Node = self.node_class(children=property(lambda self: seen.append("get") or self._kids,
                                                 lambda self, v: seen.append("set") or setattr(self, "_kids", v)))
        node = Node("n")
        node.add_child(1)
        assert node._kids == [1] and seen == ["set", "get"]
        # A plain class value does not hide the instance's own attribute.
        Plain = self.node_class(children=None)
        plain = Plain("p")
        plain.add_child(2)
        assert plain.children == [2] and Plain.children is None

    def test_customised_attribute_access_is_called(self):
        calls = []

        def getattribute(self, name):
            calls.append(name)
            return object.__getattribute__(self, name)

        def setattr_(self, name, value):
            calls.append(("set", name))
            object.__setattr__(self, name, value)

        node = self.node_class(__getattribute__=getattribute, __setattr__=setattr_)("n")
        node.add_child(1)
        assert ("set", "name") in calls and ("set", "children") in calls and "children" in calls

    def test_missing_and_deleted_attributes_fail_as_python_does(self):
        from morvath.datastructures.branchel import Branchel
        node = Branchel("n")
        del node.children
        with pytest.raises(AttributeError, match="^'Branchel' object has no attribute 'children'$"):
            node.add_child(1)
        Fallback = self.node_class(__getattr__=lambda self, name: ["from __getattr__"])
        other = Fallback("f")
        del other.children
        other.add_child(1)  # appended to the fresh list __getattr__ gave

    def test_a_made_instance_dictionary_sees_every_store(self):
        from morvath.datastructures.branchel import Branchel
        node = Branchel("n")
        attributes = node.__dict__
        node.__init__("renamed", ["c"])
        assert attributes == {"name": "renamed", "children": ["c"]}
        node.__dict__.clear()
        node.__init__("again")
        assert list(node.__dict__) == ["name", "children"] and node.name == "again"

    def test_an_instance_whose_class_was_changed(self):
        # Inline storage is laid out by the class's keys; after a __class__
        # assignment the values must be found by name, not by the old slots.
        from morvath.datastructures.branchel import Branchel

        class Other:
            def __init__(self):
                self.zzz, self.children = "other", "not these"

        Other()  # gives Other's keys a different order
        node = Branchel("x", [1])
        node.__class__ = Other
        Branchel.add_child(node, 2)
        Branchel.__init__(node, "y", node.children)
        assert vars(node) == {"name": "y", "children": [1, 2]}

    def test_stores_keep_order_references_and_later_attributes(self, assert_no_leak):
        from morvath.datastructures.branchel import Branchel
        node = Branchel("n")
        node.extra = 1
        node.__init__("m")
        assert list(vars(node)) == ["name", "children", "extra"]
        fresh = Branchel.__new__(Branchel)
        fresh.later = 0
        fresh.__init__("f")
        assert list(vars(fresh)) == ["later", "name", "children"]

        def exercise():
            n = Branchel("n", ["c"])
            n.__init__("again", ["d"])
            n.add_child(n.name)

        assert_no_leak(exercise)


@pytest.mark.parametrize("watchers_left", [True, False])
def test_globals_read_in_loops_follow_rebinding(run_isolated, watchers_left):
    # Globals read for every leaf are kept under a dict watcher; with every
    # watcher slot taken they are read from the dicts each time. Either way
    # a rebinding between calls, or by code a call runs, is seen at once.
    result = run_isolated(f"""
        import _testcapi
        if not {watchers_left}:
            try:
                while True:
                    _testcapi.add_dict_watcher(0)
            except RuntimeError:
                pass
        import morvath.datastructures.configuration as cfg
        import morvath.datastructures.keyvane as kv
        tree = {{"s": {{"a": 1, "b": 2}}}}
        assert cfg.Configuration(tree).copy() == tree
        cfg.typecast_str = lambda value: value * 10 if isinstance(value, int) else value
        assert cfg.Configuration(tree)["s.b"] == 20
        def rebinding(value):
            cfg.typecast_str = lambda v: "later"
            return value
        cfg.typecast_str = rebinding
        # The block is stored (and converted) before its leaves.
        assert dict(cfg.Configuration(tree)["s"]) == {{"a": "later", "b": "later"}}
        assert type(kv.NestedKeyvane([("s", {{"a": 1}})])["s"]) is kv.NestedKeyvane
        kv.Mapping = type("NoMappings", (kv.Mapping,), {{}})  # nothing is registered with it
        assert type(kv.NestedKeyvane([("s", {{"a": 1}})])["s"]) is dict
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
