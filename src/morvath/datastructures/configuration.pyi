"""Nested settings store that converts every stored value and loads INI, YAML and entry points."""

import configparser as configparser
import logging
import os as os
from collections.abc import Mapping as Mapping
from importlib.metadata import EntryPoint
from typing import Any, Self, TypeVar

from morvath.utils.import_utils import get_entry_points as get_entry_points
from morvath.utils.strings import typecast_str as typecast_str

from .keyvane import NestedKeyvane as NestedKeyvane

__test__: dict[str, Any]

_Path = TypeVar("_Path", bound=str | os.PathLike[str])

logger: logging.Logger

class Configuration(NestedKeyvane):
    """A nested settings store layered from INI files, YAML files and entry points.

    Every stored value passes through `typecast_str`; nested blocks are
    `Configuration` instances of the same class.
    """

    def copy(self) -> Self:
        """copy

        This slightly differs from the standard Mapping.copy() api: it always
        takes a nested object copy if it encounters another Configuration
        block underneath, so that configuration does not get corrupted when a
        subcomponent takes a copy and updates it for its own use.

        Returns:
            a new instance of the same class, with every nested block copied
        """
    def __setitem__(self, key: Any, value: Any) -> None:
        """Store `value` converted by `typecast_str`; mappings become nested blocks."""
    def load_cfgs(self, *files: str | os.PathLike[str]) -> list[str]:
        """Merge the INI files that exist, in order; missing files are skipped.

        Returns the names of the files that were read, as strings.
        """
    def load_yamls(self, *files: _Path) -> tuple[_Path, ...]:
        """Merge the YAML files that exist, in order; missing files are skipped.

        Returns the files that were read.
        """
    def load_entrypoint(self, group: str) -> list[EntryPoint]:
        """Populate this configuration by loading an entrypoint

        The design of this API is so that configuration can be scattered in
        different packages and loaded when needed and if installed.

        This requires the entrypoint to be a dict/Configuration like object.
        It would be good practise for each module owner with a lot of
        configuration to have their own local config.cfg file and load it as
        part of the entrypoint module.

        Arguments:
            group (str): name of the entrypoint group to load

        Returns:
            list of the entrypoints whose configuration was merged
        """
