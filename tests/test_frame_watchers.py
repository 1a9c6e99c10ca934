"""Interpreter resources the package takes: one dict-watcher slot for all of
its extensions, whatever each of them keeps."""
import textwrap

COUNT_FREE_SLOTS = textwrap.dedent("""
    import ctypes
    WATCHER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object, ctypes.py_object,
                               ctypes.py_object)
    add = ctypes.pythonapi.PyDict_AddWatcher
    add.argtypes, add.restype = [WATCHER], ctypes.c_int
    clear = ctypes.pythonapi.PyDict_ClearWatcher
    clear.argtypes, clear.restype = [ctypes.c_int], ctypes.c_int
    callback = WATCHER(lambda *args: 0)

    def free_slots():
        taken = []
        try:
            while True:
                taken.append(add(callback))
        except RuntimeError:
            pass
        for slot in taken:
            clear(slot)
        return len(taken)
""")


def test_all_extensions_share_one_dict_watcher(run_isolated):
    result = run_isolated(COUNT_FREE_SLOTS + textwrap.dedent("""
        before = free_slots()
        from morvath.datastructures.configuration import Configuration
        from morvath.datastructures.keyvane import NestedKeyvane
        from morvath.datastructures.pathrell import Pathrell
        import morvath.datastructures.fadeline, morvath.datastructures.logic
        import morvath.datastructures.branchel, morvath.datastructures.tyvern
        # Each of these keeps module globals read for every leaf or level.
        c = Configuration(); c.update({"a": {"b": "1"}}); c["x.y"] = "2"
        n = NestedKeyvane({"a": {"b": 1}}); n.update({"a": {"c": {"d": 2}}})
        p = Pathrell({"a": {"b": [1, 2]}})
        print(before - free_slots())
        print(len(p), c["x.y"], n["a.c.d"])
    """))
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["1", "2", "2", "2"]
