"""Callable logic expressions over regular-expression and callable checks."""

import logging
import re
from collections.abc import Callable
from typing import Any, ClassVar

__all__ = ["And", "Or", "Not"]

logger: logging.Logger

class BaseLogic:
    expressions: list[re.Pattern[str] | Callable[..., Any]]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __init__(self, *expressions: str | Callable[..., Any]) -> None: ...
    def __call__(self) -> bool: ...
    def __eq__(self, other: object) -> bool: ...

class And(BaseLogic):
    def __call__(self, *items: Any) -> bool: ...  # type: ignore[override]

class Or(BaseLogic):
    def __call__(self, *items: Any) -> bool: ...  # type: ignore[override]

class Not(BaseLogic):
    def __call__(self, *items: Any) -> bool: ...  # type: ignore[override]

def logic_str(string: str) -> BaseLogic: ...
