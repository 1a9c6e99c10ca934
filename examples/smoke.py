"""A quick check of an installed copy: every module imports and its main API works.

Run it with any interpreter that has the package installed, from any folder:
    python examples/smoke.py
It prints one line per module and exits non-zero on the first failure.
"""
from __future__ import annotations

import copy
import pickle
import tempfile
from importlib import resources
from pathlib import Path
from typing import Any

from morvath.datastructures.branchel import Branchel
from morvath.datastructures.configuration import Configuration
from morvath.datastructures.fadeline import Fadeline
from morvath.datastructures.keyvane import Keyvane, NestedKeyvane
from morvath.datastructures.logic import And, Not, Or, logic_str
from morvath.datastructures.pathrell import Pathrell
from morvath.datastructures.tyvern import tyvern


def check_keyvane() -> None:
    plain = Keyvane(name="keyvane")
    assert plain.name == "keyvane" and plain["name"] == "keyvane"
    assert pickle.loads(pickle.dumps(plain)) == plain
    nested = NestedKeyvane({"server": {"port": 8080}})
    nested["server.host"] = "localhost"
    nested.update({"server": {"port": 9090}})
    assert nested.server.port == 9090 and nested["server.host"] == "localhost"


def check_fadeline() -> None:
    class Item:
        pass

    first, second = Item(), Item()
    live = Fadeline([first, second])
    assert live[0] is first and live.pop() is second
    del second
    assert len(live) == 1


def check_pathrell() -> None:
    tree = {"db": {"host": "x", "ports": [5432, 5433]}}
    flat = Pathrell(tree)
    flat.append((("db", "user"), "app"))
    assert flat.reconstruct() == {"db": {"host": "x", "ports": [5432, 5433], "user": "app"}}


def check_logic() -> None:
    wanted = And(Or("^src/", "^tests/"), Not(r"\.tmp$"))
    assert wanted("src/a.cpp") and not wanted("src/a.tmp")
    assert logic_str("Or('^x', Not('y'))")("abc")


def check_configuration() -> None:
    with tempfile.TemporaryDirectory() as folder:
        settings_file = Path(folder) / "settings.yaml"
        settings_file.write_text("server:\n  port: 8080\n")
        site_file = Path(folder) / "site.cfg"
        site_file.write_text("[server]\nport = 8081\n")
        settings = Configuration()
        assert settings.load_yamls(settings_file, Path(folder) / "missing.yaml") == (settings_file,)
        assert settings.load_cfgs(site_file) == [str(site_file)]
    local = copy.copy(settings).copy()
    local["server.port"] = "9000"
    assert settings.server.port == "8081" and local.server.port == "9000"


def check_branchel() -> None:
    tree = Branchel("project", [Branchel("src", ["main.py"]), "README.md"])
    assert str(tree) == "project\n|-- src\n|   `-- main.py\n`-- README.md"


def check_tyvern() -> None:
    class Shape:
        sides = 0

        @tyvern
        def kind(cls: Any) -> str:
            return f"{cls.__name__}/{cls.sides}"

    class Square(Shape):
        sides = 4

    assert Square.kind == "Square/4" and Shape().kind == "Shape/0"


def check_package_files() -> None:
    package = resources.files("morvath.datastructures")
    names = {entry.name for entry in package.iterdir()}
    assert "py.typed" in names and "keyvane.pyi" in names, names
    assert not any(name.endswith((".cpp", ".hpp")) for name in names), names


def main() -> None:
    for check in (check_keyvane, check_fadeline, check_pathrell, check_logic,
                  check_configuration, check_branchel, check_tyvern, check_package_files):
        check()
        print("ok", check.__name__.removeprefix("check_"))


if __name__ == "__main__":
    main()
