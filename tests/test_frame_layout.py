"""The shortcut through the interpreter's inline attribute storage proves
itself when the modules are initialised, and the attribute-heavy modules
behave the same with it switched off."""
import os
import pathlib
import subprocess
import sys

import pytest


SWITCH = "_MORVATH_DATASTRUCTURES_INLINE_LAYOUT"
TESTS = pathlib.Path(__file__).parent

READ_STATE = """
import ctypes
api = ctypes.pythonapi
api.PyInterpreterState_Get.restype = ctypes.c_void_p
api.PyInterpreterState_GetDict.restype = ctypes.py_object
api.PyInterpreterState_GetDict.argtypes = [ctypes.c_void_p]
import morvath.datastructures.keyvane, morvath.datastructures.tyvern
state = api.PyInterpreterState_GetDict(api.PyInterpreterState_Get())
print(state["morvath.datastructures.inline_layout"])
"""


def run(args, switched_off):
    env = dict(os.environ)
    env.pop(SWITCH, None)
    if switched_off:
        env[SWITCH] = "off"
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, env=env, timeout=600)


@pytest.mark.parametrize("switched_off, expected", [(False, "True"), (True, "False")])
def test_the_layout_proves_itself_unless_switched_off(switched_off, expected):
    result = run(["-c", READ_STATE], switched_off)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == expected


def test_attribute_heavy_modules_with_the_shortcut_off():
    files = [str(TESTS / name) for name in ("test_branchel.py", "test_keyvane.py", "test_tyvern.py")]
    result = run(["-m", "pytest", "-q", "-x", "-p", "no:cacheprovider", *files], switched_off=True)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
