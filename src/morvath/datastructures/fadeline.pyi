"""A list that holds its items through weak references."""

import collections
import weakref
from collections.abc import Callable, Iterable, Iterator
from typing import Any, ClassVar, Self, SupportsIndex, TypeVar, overload

__test__: dict[str, Any]

_T = TypeVar("_T")

class Fadeline(collections.UserList[_T]):
    """Fadeline Class

    A special implementation of python native list object, where the stored
    items are weak references of the original list.

    Special Behaviors:
        - if an object referenced is finalized (garbage collected), its
          reference is removed from the list automatically (auto-cleanup)
        - all queries (read) from the list returns the actual object.
        - all modifications (writes) to the list takes in actual objects, and
          stores in the form of weakrefs.
        - all handling of weakrefs should be invisible to the user.

    Note:
        Because all stored items are weakrefs, be careful of context and garbage
        collections.
    """

    __hash__: ClassVar[None]
    def __init__(self, items: Iterable[_T] = ()) -> None:
        """Store a weak reference to each of `items`, in order."""
    def __contains__(self, item: object) -> bool:
        """True when a live entry compares equal to `item`."""
    @overload
    def __getitem__(self, index: SupportsIndex) -> _T:
        """The live object at `index`; a slice gives a new `Fadeline`."""
    @overload
    def __getitem__(self, index: slice) -> Self: ...
    @overload
    def __setitem__(self, index: SupportsIndex, item: _T) -> None:
        """Store a weak reference to `item` (to each item, for a slice)."""
    @overload
    def __setitem__(self, index: slice, item: Iterable[_T]) -> None: ...
    def __iter__(self) -> Iterator[_T]:
        """Iterate over the live objects, front to back."""
    def __eq__(self, other: object) -> bool:
        """Equal to a list or `Fadeline` that holds equal objects in the same order."""
    def __reversed__(self) -> Self:  # type: ignore[override]
        """A new `Fadeline` with the same objects in reverse order."""
    def __add__(self, item: "Fadeline[_T]") -> Self:  # type: ignore[override]
        """A new `Fadeline` holding the objects of both; only a `Fadeline` may be added."""
    def __iadd__(self, items: Iterable[_T]) -> Self:  # type: ignore[misc, unused-ignore]
        """Append each of `items` in place and return this list."""
    def remove(self, item: _T | weakref.ReferenceType[_T]) -> None:
        """Remove the first entry matching `item` (an object or its weak reference)."""
    def append(self, item: _T) -> None:
        """Append a weak reference to `item`."""
    def index(self, item: _T) -> int:  # type: ignore[override]
        """The position of the first entry equal to `item`; `ValueError` when there is none."""
    def count(self, item: _T) -> int:
        """How many entries compare equal to `item`."""
    def pop(self, item: SupportsIndex | _T = -1) -> _T:
        """Remove and return an entry: the one at a position (the last by default),
        or, given an object, the first entry equal to it."""
    def insert(self, index: SupportsIndex, item: _T) -> None:
        """Insert a weak reference to `item` before `index`."""
    def extend(self, items: Iterable[_T]) -> None:
        """Append a weak reference to each of `items`."""
    def sort(self, key: Callable[[_T], Any] | None = None, reverse: bool = False) -> None:
        """Sort the entries in place by their live objects."""
