"""A short tour of morvath.datastructures, one module at a time.

Run it with `make demo`.
"""
from morvath.datastructures.keyvane import NestedKeyvane

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


def main():
    tour_keyvane()


if __name__ == "__main__":
    main()
