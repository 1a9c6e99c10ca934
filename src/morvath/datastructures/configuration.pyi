"""Nested settings store that converts every stored value and loads INI, YAML and entry points."""

import logging
import os
from collections.abc import Mapping as Mapping
from importlib.metadata import EntryPoint
from typing import Any, Self, TypeVar

from morvath.utils.import_utils import get_entry_points as get_entry_points
from morvath.utils.strings import typecast_str as typecast_str

from .keyvane import NestedKeyvane as NestedKeyvane

_Path = TypeVar("_Path", bound=str | os.PathLike[str])

logger: logging.Logger


class Configuration(NestedKeyvane):
    def copy(self) -> Self: ...
    def __setitem__(self, key: Any, value: Any) -> None: ...
    def load_cfgs(self, *files: _Path) -> list[_Path]: ...
    def load_yamls(self, *files: _Path) -> tuple[_Path, ...]: ...
    def load_entrypoint(self, group: str) -> list[EntryPoint]: ...
