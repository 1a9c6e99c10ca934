"""String helpers (stand-in for the outside ``morvath.utils.strings``).

Both functions hand their argument back unchanged: the library needs only
that ``decode_cli_string`` returns the expression text and that
``typecast_str`` returns a value to store (the very object for a
``Configuration`` block).
"""

from typing import TypeVar

_T = TypeVar("_T")


def decode_cli_string(string: str) -> str:
    """Return command-line text decoded for evaluation (here: unchanged)."""
    return string


def typecast_str(value: _T) -> _T:
    """Return ``value`` converted for storage (here: unchanged)."""
    return value
