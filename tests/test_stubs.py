"""The type stubs beside the extension modules also run as Python modules:
documentation tools and some editors execute a stub in place of the
compiled module it describes, so a stub must import without error."""
import importlib.machinery
import importlib.util
from pathlib import Path

import pytest

import morvath.datastructures

PACKAGE = Path(morvath.datastructures.__file__).parent
MODULES = ["fadeline", "pathrell", "keyvane", "logic", "configuration", "branchel", "tyvern"]


@pytest.mark.parametrize("name", MODULES)
def test_stub_executes_as_a_module(name):
    path = PACKAGE / f"{name}.pyi"
    full_name = f"morvath.datastructures.{name}"
    loader = importlib.machinery.SourceFileLoader(full_name, str(path))
    stub = importlib.util.module_from_spec(importlib.util.spec_from_loader(full_name, loader))
    # Not entered in sys.modules: the compiled module stays the one imported.
    loader.exec_module(stub)
    public = [n for n in vars(importlib.import_module(full_name)) if n[:1].isupper()]
    assert public and all(hasattr(stub, n) for n in public)
