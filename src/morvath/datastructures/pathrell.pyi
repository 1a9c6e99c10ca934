"""Nested dictionaries as flat lists of (path, value) pairs, and back."""

from collections import namedtuple as namedtuple
from collections.abc import Generator, Hashable, Iterable, MutableMapping as MutableMapping
from typing import Any, NamedTuple, SupportsIndex, SupportsInt, overload

__test__: dict[str, Any]

class DictItem(NamedTuple):
    """DictItem(path, value)"""

    path: Any
    value: Any

class IndexMarker:
    """A path segment that stands for a position in a list or tuple.

    Its repr names the sequence type and the position, e.g. `list[0]`.
    """

    type_: type
    index: int
    def __init__(self, obj: object, index: SupportsInt | SupportsIndex | str | bytes | bytearray) -> None:
        """Tracks the index position of elements in list/tuple

        obj: obj to store for
        index: index value
        """
    def __repr__(self) -> str:
        """`<type name>[<index>]`, for example `list[0]`."""

_Path = tuple[Hashable | IndexMarker, ...]
_Pair = DictItem | tuple[Any, Any]

class Pathrell(list[_Pair]):
    """Pathrell class (list)

    Gives a "flattened" representation of nested dictionaries through a
    path-value concept: the path represents the dictionary key nesting and
    the value is the object stored at its end, so that

        dictionary['a']['b']['c'] = object()

    is equivalent to

        (('a', 'b', 'c',), object())

    The class provides the forward and backward translation of a nested dict
    to a list/tuple form, which removes the need for recursive functions over
    dictionary nesting. It extends the base Python list class.

    Format:
        [(path, value), (path, value) ...]
        where path is a tuple of the nested dict keys
    """

    @overload
    def __init__(self) -> None:
        """built-in __init__

        Any arguments accepted by list() are also accepted, with the special
        condition that a dictionary input is flattened to be stored internally
        as a list structure.
        """
    @overload
    def __init__(self, mapping: MutableMapping[Any, Any], /) -> None: ...
    @overload
    def __init__(self, pairs: Iterable[Iterable[Any]], /) -> None: ...
    @staticmethod
    def __flatten__(
        indict: object, path: _Path | None = None
    ) -> Generator[DictItem | Any, None, None]:
        """Static func __flatten__

        Recursively flattens a nested dictionary to its path/value form.

        Arguments:
            indict (dict): input dictionary
            path (tuple): current dictionary path

        Returns:
            generator object representing the input dict's flattened form
        """
    @overload
    def __setitem__(self, index: SupportsIndex, item: Iterable[Any]) -> None:
        """Store a (path, value) pair at `index`; anything else is a `ValueError`."""
    @overload
    def __setitem__(self, index: slice, item: Iterable[Any]) -> None: ...
    def append(self, item: Iterable[Any]) -> None:
        """append

        Appends a new path/value to this list.

        Arguments:
            item (path/value): tuple of path/obj to append
        """
    def extend(self, items: Iterable[Iterable[Any]]) -> None:
        """extend

        Extends the object with many new path/values.

        Arguments:
            items (list of path/value): list of tuple of path/obj to insert
        """
    def insert(self, index: SupportsIndex, item: Iterable[Any]) -> None:
        """insert

        Inserts a new path/value to this list.

        Arguments:
            index (int): list index to insert to
            item (path/value): tuple of path/obj to insert
        """
    def reconstruct(self) -> dict[Any, Any]:
        """Reconstruct

        Takes the current internally stored list-form dictionary and
        reconstructs it into its represented dictionary format. Always
        generates a new dictionary object.

        Returns:
            dictionary object
        """
