"""Callable logic expressions over regular-expression and callable checks."""

import logging
import re
from collections.abc import Callable
from typing import Any, ClassVar

from morvath.utils.strings import decode_cli_string as decode_cli_string

__all__ = ["And", "Or", "Not"]
__test__: dict[str, Any]

logger: logging.Logger

class BaseLogic:
    """BaseLogic Class

    Base class of And/Nor/Or. It exists only to gather the code that the
    logic classes share; by itself it does no meaningful logical testing.
    """

    expressions: list[re.Pattern[str] | Callable[..., Any]]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __init__(self, *expressions: str | Callable[..., Any]) -> None:
        """built-in __init__

        Stores the expressions given by the user for use by __call__. A
        string expression is compiled into a regex search.

        Arguments:
            *expressions (str or callable): the checks of this expression
        """
    def __call__(self) -> bool:
        """built-in __call__

        Feeds the given items to each expression. Items are cast to their
        string form for regex expressions. When several items are given, an
        expression holds when one of the items satisfies it.
        """
    def __eq__(self, other: object) -> bool:
        """built-in __eq__

        Expressions are equal when their types are equal and their contained
        expressions are equal.
        """

class And(BaseLogic):
    """Logical And

    True when all expressions are satisfied, False otherwise. When a list of
    items is tested, True as long as each expression tests True against one
    of the items.
    """

    def __call__(self, *items: Any) -> bool:
        """True when every expression holds for one of `items`."""

class Or(BaseLogic):
    """Logical Or

    True when one or more expressions are satisfied, False when none is. When
    a list of items is tested, True as long as one expression tests True
    against one of the items.
    """

    def __call__(self, *items: Any) -> bool:
        """True when some expression holds for one of `items`."""

class Not(BaseLogic):
    """Logical Not

    True when none of the expressions is satisfied. When a list of items is
    tested, True only when all items test False.
    """

    def __call__(self, *items: Any) -> bool:
        """True when no expression holds for any of `items`."""

def logic_str(string: str) -> And | Or | Not:
    """Logic String Conversion

    Converts a logic form string to objects. Mostly used for command-line
    parsing of arguments. The text is a call of a logic class (And, Or, Not)
    whose arguments are string literals, the name string (the text itself)
    or further such calls; nothing else is evaluated.

    Example:
        >>> logic = logic_str("And('a', 'b')")
        >>> logic('ab')
        True

    Arguments:
        string (str): string form of input logic

    Returns:
        logic expression object
    """
