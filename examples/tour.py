"""A short tour of morvath.datastructures, one module at a time.

Run it with `make demo`.
"""
from __future__ import annotations

from collections.abc import Iterator, Mapping
from pathlib import Path
from typing import Any

from morvath.datastructures.branchel import Branchel
from morvath.datastructures.configuration import Configuration
from morvath.datastructures.fadeline import Fadeline
from morvath.datastructures.keyvane import NestedKeyvane
from morvath.datastructures.logic import logic_str
from morvath.datastructures.pathrell import Pathrell
from morvath.datastructures.tyvern import tyvern

EXAMPLES = Path(__file__).parent

SAMPLE: dict[str, Any] = {
    "server": {"host": "localhost", "port": 8080},
    "logging": {"level": "INFO", "handlers": ["console"]},
    "features": {"search": {"enabled": True, "engines": ["fast", "exact"]}},
}


def heading(title: str) -> None:
    print(f"\n== {title} ==")


def tour_keyvane() -> NestedKeyvane:
    heading("keyvane: attribute and dotted-key dictionaries")
    settings = NestedKeyvane(SAMPLE)
    print("by attribute:  settings.server.port =", settings.server.port)
    print("by key:        settings['logging']['level'] =", settings["logging"]["level"])
    print("by dotted key: settings['features.search.enabled'] =",
          settings["features.search.enabled"])
    settings["cache.backend.name"] = "memory"
    print("dotted store created nested levels:", settings.cache)
    settings.update({"server": {"port": 9090, "workers": 4}})
    print("after merging a second source:", settings.server)
    return settings


def tour_configuration() -> Configuration:
    heading("configuration: settings layered from YAML and INI files")
    settings = Configuration()
    yamls = settings.load_yamls(EXAMPLES / "settings.yaml", EXAMPLES / "missing.yaml")
    print("YAML files loaded:", [path.name for path in yamls])
    print("server from YAML:", settings.server)
    cfgs = settings.load_cfgs(EXAMPLES / "site.cfg")
    print("INI files loaded:", [Path(path).name for path in cfgs])
    print("server after the INI layer:", settings.server)
    print("[DEFAULT] reached every section:", settings["database.timeout"],
          "- and is gone:", "DEFAULT" not in settings)
    print("entry points merged from an empty group:", settings.load_entrypoint("morvath.tour"))
    local = settings.copy()
    local["server.port"] = "9000"
    print("a component's copy says", local.server.port,
          "- the original still says", settings.server.port)
    return settings


def leaf_paths(tree: Mapping[str, Any], prefix: str = "") -> Iterator[str]:
    for key, value in tree.items():
        path = f"{prefix}{key}"
        if isinstance(value, dict) and value:
            yield from leaf_paths(value, path + ".")
        else:
            yield path


def tour_logic(settings: Configuration) -> None:
    heading("logic: filtering setting paths with a rule written as text")
    keep = logic_str(r"And(Or(r'^server\.', r'^database\.'), Not('password'))")
    print("rule:", keep)
    print("kept:", [path for path in leaf_paths(settings) if keep(path)])
    try:
        logic_str("__import__('os').system('id')")
    except ValueError as error:
        print("refused:", error)
        print("   because", repr(error.__context__))


def tour_pathrell(settings: Configuration) -> None:
    heading("pathrell: the settings as flat (path, value) pairs")
    flat = Pathrell(settings)
    for path, value in flat:
        print("  " + "/".join(map(str, path)), "=", value)
    public = Pathrell([(path, value) for path, value in flat if "password" not in path])
    print("rebuilt without passwords:", public.reconstruct()["database"])


def settings_tree(name: str, value: Any) -> Branchel:
    if isinstance(value, dict):
        return Branchel(name, [settings_tree(key, item) for key, item in value.items()])
    return Branchel(f"{name} = {value!r}")


def tour_branchel(settings: Configuration) -> None:
    heading("branchel: the settings drawn as a tree")
    print(settings_tree("settings", settings))


def tour_tyvern() -> None:
    heading("tyvern: a property of the class itself")

    class Service:
        defaults = {"port": 8080}

        @tyvern
        def address(cls: Any) -> str:
            return f"{cls.__name__.lower()}:{cls.defaults['port']}"

    class Admin(Service):
        defaults = {"port": 9443}

    print("read on the class:    Service.address =", Service.address)
    print("read on a subclass:   Admin.address =", Admin.address)
    print("read on an instance:  Admin().address =", Admin().address)
    Admin.defaults = {"port": 9444}
    print("computed on each read:", Admin.address)


def tour_fadeline() -> None:
    heading("fadeline: a registry of live sessions")

    class Session:
        def __init__(self, user: str) -> None:
            self.user = user

        def __repr__(self) -> str:
            return f"Session({self.user!r})"

    alice, bob = Session("alice"), Session("bob")
    live = Fadeline([alice, bob])
    print("registered:", live)
    del bob  # the last reference goes, and so does his entry
    print("after bob left:", live, "- length", len(live))
    print("alice is registered:", alice in live, live[0] is alice)


def main() -> None:
    tour_keyvane()
    settings = tour_configuration()
    tour_logic(settings)
    tour_pathrell(settings)
    tour_branchel(settings)
    tour_tyvern()
    tour_fadeline()


if __name__ == "__main__":
    main()
