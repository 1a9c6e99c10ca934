"""Import helpers (stand-in for the outside ``morvath.utils.import_utils``)."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from importlib.metadata import EntryPoints


def get_entry_points(group: str) -> EntryPoints:
    """Return the installed entry points of ``group``.

    Each element offers ``load()``, which imports and returns the object the
    entry point names, and ``dist``, the distribution that declares it.
    """
    # Imported here, not at module level: importlib.metadata costs about a
    # third of the import time of the modules that depend on this package,
    # and most programs never look up an entry point.
    from importlib.metadata import entry_points

    return entry_points(group=group)
