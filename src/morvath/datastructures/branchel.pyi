"""Tree nodes whose string form draws their subtree as line art."""

from typing import Any

class Branchel:
    """A named tree node; `str()` draws the node and everything below it.

    Children may be any objects: `Branchel` children become nested subtrees,
    anything else is drawn through its `str()` form.
    """

    name: str
    children: list[Any]
    def __init__(self, name: str, children: list[Any] | None = None) -> None: ...
    def add_child(self, item: Any) -> None: ...
    def __str__(self) -> str: ...
