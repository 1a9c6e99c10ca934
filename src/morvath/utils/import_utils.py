"""Import helpers (stand-in for the outside ``morvath.utils.import_utils``)."""

from importlib.metadata import entry_points


def get_entry_points(group):
    """Return the installed entry points of ``group``.

    Each element offers ``load()``, which imports and returns the object the
    entry point names, and ``dist``, the distribution that declares it.
    """
    return entry_points(group=group)
