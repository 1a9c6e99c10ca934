"""Attribute Dictionary library

This library extends the python dict() data structure and lets users access
the key-values via object attributes (obj.key), in addition to the native
obj['key'] style form.
"""

import itertools as itertools
from collections.abc import Iterable, Mapping as Mapping, MutableMapping as MutableMapping
from typing import Any, Self

__test__: dict[str, Any]

class Keyvane(dict[Any, Any]):
    """Attribute Dictionary class

    The goal of this class is to provide the Python dict() built-in type with
    the additional capability of accessing its content as object attributes,
    in addition to the standard manner.

    Example:
        >>> d = {'name': 'keyvane', 'kind': 'mapping'}
        >>> k = Keyvane(d)
        >>> k.name
        'keyvane'
        >>> k['name']
        'keyvane'

    Known Limitations:
        Attributes follow the Python variable naming rule, so dictionary keys
        with special characters, such as dot(.) comma(,) brackets()
        dash/hyphen(-) quotes(''/"") slashes(\\/) etc., cannot be accessed in
        the attribute (.) manner.
    """

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        """Keyvane object init

        Accepts what `dict()` accepts; the instance serves as its own
        attribute dictionary, so every entry is also an attribute.
        """
    def __repr__(self) -> str:
        """`ClassName({...})`, with the entries as a dict shows them."""
    def __reduce__(self) -> tuple[Any, tuple[type[Self]], dict[Any, Any]]:
        """How `pickle` and `copy` rebuild the instance: made by `__new__`
        without `__init__`, with a plain dict of the entries as its state."""
    def __setstate__(self, state: Any) -> None:
        """Store a dict state as the built-in dict stores it (no dotted-key
        splitting, no item hooks) and make the instance its own attribute
        dictionary again; any other state only does the latter."""
    # Entries are read, set and deleted as attributes through the instance
    # dictionary, which is the instance itself; these make that visible to
    # type checkers.
    def __getattr__(self, name: str) -> Any:
        """The entry `name`, read as an attribute."""
    def __setattr__(self, name: str, value: Any) -> None:
        """Store `value` as the entry `name`."""
    def __delattr__(self, name: str) -> None:
        """Delete the entry `name`."""

class NestedKeyvane(Keyvane, MutableMapping[Any, Any]):
    """An attribute dictionary whose string keys may be dotted paths.

    `n['a.b.c']` reads `n['a']['b']['c']`; storing under a dotted key creates
    the missing levels; `update` merges nested mappings level by level.
    """

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        """Fill the instance as `update` would, converting nested dicts to levels."""
    def __getitem__(self, key: Any) -> Any:
        """The entry at `key`, following each segment of a dotted key."""
    def __setitem__(self, key: Any, value: Any) -> None:
        """Store `value` at `key`, creating the missing levels of a dotted key."""
    def __contains__(self, key: object) -> bool:
        """True when `key` (dotted or plain) names an entry."""
    def __delitem__(self, key: Any) -> None:
        """Delete the entry at `key`, following a dotted key to its last level."""
    def get(self, key: Any, default: Any = None) -> Any:
        """D.get(k[,d]) -> D[k] if k in D, else d.  d defaults to None."""
    def pop(self, key: Any, default: Any = ...) -> Any:
        """D.pop(k[,d]) -> v, remove specified key and return the corresponding value.
        If key is not found, d is returned if given, otherwise KeyError is raised."""
    def setdefault(self, key: Any, default: Any = None) -> Any:
        """D.setdefault(k[,d]) -> D.get(k,d), also set D[k]=d if k not in D"""
    def update(  # type: ignore[override]
        self, other: Mapping[Any, Any] | Iterable[Any] = ..., /, **kwargs: Any
    ) -> None:
        """Merge a mapping (or pairs) and keyword entries; nested mappings merge
        level by level instead of replacing the level."""
