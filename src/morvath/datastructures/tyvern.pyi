"""Read-only properties computed from the class they are read through."""

from collections.abc import Callable
from typing import Any, Generic, TypeVar

__test__: dict[str, Any]

_T = TypeVar("_T")

class TyvernDescriptor(Generic[_T]):
    """Class-level property descriptor

    A descriptor class allowing classes to have their own properties that
    can be overwritten, inherited and so on. It adds read-only class-level
    property functionality, and is meant to be used as a decorator.

    Example:
        >>> class SomeClass(object):
        ...     @tyvern
        ...     def sometyvern(cls):
        ...         return 100
        >>> SomeClass.sometyvern
        100
        >>> SomeClass().sometyvern
        100
    """

    func: Callable[[Any], _T]
    def __init__(self, func: Callable[[Any], _T]) -> None:
        """Wrap `func`, which is called with the owner class on every read."""
    def __get__(self, obj: object, owner: type[Any] | None) -> _T:
        """Call the wrapped function with the class the attribute is read through."""

tyvern = TyvernDescriptor
