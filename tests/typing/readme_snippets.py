"""Every Python example of README.md, each in a function of its own, for `mypy --strict`.

tests/test_readme.py checks that each README block appears here unchanged (indented
into its function), so the two cannot drift apart. The functions are never called.
"""


def readme_keyvane() -> None:
    from morvath.datastructures.keyvane import NestedKeyvane

    settings = NestedKeyvane({"server": {"host": "localhost", "port": 8080}})
    settings.server.port                 # 8080, by attribute
    settings["server.host"]              # 'localhost', by dotted key
    settings["cache.backend"] = "memory" # creates the nested level 'cache'
    settings.update({"server": {"port": 9090}})  # merges, keeps 'host'


def readme_fadeline() -> None:
    from morvath.datastructures.fadeline import Fadeline

    class Session: pass

    a, b = Session(), Session()
    live = Fadeline([a, b])
    live[0] is a                         # True: reads give the objects themselves
    del a                                # once the object is freed ...
    len(live)                            # 1: ... its entry is gone


def readme_pathrell() -> None:
    from morvath.datastructures.pathrell import Pathrell

    flat = Pathrell({"db": {"host": "x", "ports": [5432, 5433]}})
    # [DictItem(path=('db', 'host'), value='x'),
    #  DictItem(path=('db', 'ports', list[0]), value=5432), ...]
    flat.append((("db", "user"), "app"))
    assert flat.reconstruct() == {"db": {"host": "x", "ports": [5432, 5433], "user": "app"}}


def readme_logic() -> None:
    from morvath.datastructures.logic import And, Or, Not, logic_str

    wanted = And(Or('^src/', '^tests/'), Not(r'\.tmp$'), lambda p: len(p) < 40)
    wanted('src/logic.cpp'), wanted('src/old.tmp')    # (True, False)
    rule = logic_str("Or('^x', Not('y'))")             # text, e.g. from a command line
    rule('abc')                                        # True


def readme_configuration() -> None:
    import tempfile
    from pathlib import Path
    from morvath.datastructures.configuration import Configuration

    folder = Path(tempfile.mkdtemp())
    (folder / "settings.yaml").write_text("server:\n  host: localhost\n  port: 8080\n")
    (folder / "site.cfg").write_text("[server]\nport = 8081\n\n[database]\ntimeout = 30\n")

    settings = Configuration()
    settings.load_yamls(folder / "settings.yaml", folder / "missing.yaml")  # -> (PosixPath('.../settings.yaml'),)
    settings.load_cfgs(folder / "site.cfg")     # INI layer merged on top
    print(settings.server.port, settings["database.timeout"])               # 8081 30
    local = settings.copy(); local["server.port"] = "9000"   # the original is untouched


def readme_branchel() -> None:
    from typing import Any
    from morvath.datastructures.branchel import Branchel
    from morvath.datastructures.tyvern import tyvern

    print(Branchel("project", [Branchel("src", ["main.py"]), "README.md"]))
    # project
    # |-- src
    # |   `-- main.py
    # `-- README.md

    class Shape:
        sides = 0
        @tyvern
        def kind(cls: Any) -> str:   # called with the class it is read through
            return f"{cls.__name__} with {cls.sides} sides"

    class Square(Shape):
        sides = 4

    Square.kind  # 'Square with 4 sides'
