"""Tree nodes whose string form draws their subtree as line art."""

from typing import Any

__test__: dict[str, Any]

class Branchel:
    """Tree Tree Class

    A class to mimic the printing behavior of linux tree command.

    Example:
        >>> root = Branchel('project')
        >>> src = Branchel('src')
        >>> root.add_child(src)
        >>> src.add_child(Branchel('main.py'))
        >>> root.add_child('README.md')
        >>> print(root)
        project
        |-- src
        |   `-- main.py
        `-- README.md
    """

    name: str
    children: list[Any]
    def __init__(self, name: str, children: list[Any] | None = None) -> None:
        """class __init__

        Arguments:
            name (str): name of Branchel
            children (list): list of children Branchels
        """
    def add_child(self, item: Any) -> None:
        """Add children

        adds a children Branchel to this Branchel

        Arguments:
            item (Branchel): children node to add
        """
    def __str__(self) -> str:
        """String formatter

        Returns the tree formatted as a string.
        """
