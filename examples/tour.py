"""A short tour of morvath.datastructures, one module at a time.

Run it with `make demo`.
"""
from pathlib import Path

from morvath.datastructures.configuration import Configuration
from morvath.datastructures.keyvane import NestedKeyvane
from morvath.datastructures.logic import logic_str

EXAMPLES = Path(__file__).parent

SAMPLE = {
    "server": {"host": "localhost", "port": 8080},
    "logging": {"level": "INFO", "handlers": ["console"]},
    "features": {"search": {"enabled": True, "engines": ["fast", "exact"]}},
}


def heading(title):
    print(f"\n== {title} ==")


def tour_keyvane():
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


def tour_configuration():
    heading("configuration: settings layered from YAML and INI files")
    settings = Configuration()
    loaded = settings.load_yamls(EXAMPLES / "settings.yaml", EXAMPLES / "missing.yaml")
    print("YAML files loaded:", [path.name for path in loaded])
    print("server from YAML:", settings.server)
    loaded = settings.load_cfgs(EXAMPLES / "site.cfg")
    print("INI files loaded:", [Path(path).name for path in loaded])
    print("server after the INI layer:", settings.server)
    print("[DEFAULT] reached every section:", settings["database.timeout"],
          "- and is gone:", "DEFAULT" not in settings)
    print("entry points merged from an empty group:", settings.load_entrypoint("morvath.tour"))
    local = settings.copy()
    local["server.port"] = "9000"
    print("a component's copy says", local.server.port,
          "- the original still says", settings.server.port)
    return settings


def leaf_paths(tree, prefix=""):
    for key, value in tree.items():
        path = f"{prefix}{key}"
        if isinstance(value, dict) and value:
            yield from leaf_paths(value, path + ".")
        else:
            yield path


def tour_logic(settings):
    heading("logic: filtering setting paths with a rule written as text")
    keep = logic_str(r"And(Or(r'^server\.', r'^database\.'), Not('password'))")
    print("rule:", keep)
    print("kept:", [path for path in leaf_paths(settings) if keep(path)])
    try:
        logic_str("__import__('os').system('id')")
    except ValueError as error:
        print("refused:", error)
        print("   because", repr(error.__context__))


def main():
    tour_keyvane()
    settings = tour_configuration()
    tour_logic(settings)


if __name__ == "__main__":
    main()
