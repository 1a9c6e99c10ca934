"""Read-only properties computed from the class they are read through."""

from collections.abc import Callable
from typing import Any, Generic, TypeVar

_T = TypeVar("_T")

class TyvernDescriptor(Generic[_T]):
    """Decorate `def name(cls): ...` in a class body to read `Class.name`.

    The function runs with the owner class on every read, through the class,
    an instance or a subclass; an instance attribute of the same name wins.
    """

    func: Callable[[Any], _T]
    def __init__(self, func: Callable[[Any], _T]) -> None: ...
    def __get__(self, obj: object, owner: type[Any] | None) -> _T: ...

tyvern = TyvernDescriptor
