"""Interpreter resources the package takes: one dict-watcher slot for all of
its extensions, whatever each of them keeps."""
import textwrap

def slot_counter(kind, parameters):
    """Source defining `take_all()` (takes every free slot of the interpreter's
    `kind` watchers, "Dict" or "Function", and returns them) and
    `free_slots()` (counts the free slots, leaving them free), through ctypes;
    `parameters` are the ctypes types of the watcher callback's arguments."""
    return textwrap.dedent(f"""
        import ctypes
        WATCHER = ctypes.CFUNCTYPE(ctypes.c_int, {parameters})
        add = ctypes.pythonapi.Py{kind}_AddWatcher
        add.argtypes, add.restype = [WATCHER], ctypes.c_int
        clear = ctypes.pythonapi.Py{kind}_ClearWatcher
        clear.argtypes, clear.restype = [ctypes.c_int], ctypes.c_int
        callback = WATCHER(lambda *args: 0)

        def take_all():
            taken = []
            try:
                while True:
                    taken.append(add(callback))
            except RuntimeError:
                pass
            return taken

        def free_slots():
            taken = take_all()
            for slot in taken:
                clear(slot)
            return len(taken)
    """)


COUNT_FREE_SLOTS = slot_counter("Dict", "ctypes.c_int, ctypes.py_object, ctypes.py_object, ctypes.py_object")


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
