"""The stand-in utility package: what the data structures rely on, and its cost."""
import pytest

from morvath.utils import import_utils, strings


@pytest.mark.parametrize("function", [strings.decode_cli_string, strings.typecast_str])
def test_string_helpers_return_their_argument(function):
    value = object()
    assert function(value) is value


def test_entry_points_of_an_unknown_group_are_empty():
    assert list(import_utils.get_entry_points("morvath.no-such-group")) == []


def test_entry_point_metadata_is_imported_on_first_lookup_only(run_isolated):
    result = run_isolated("""
        import sys
        from morvath.datastructures.configuration import Configuration
        print('importlib.metadata' in sys.modules)
        Configuration().load_entrypoint('morvath.no-such-group')
        print('importlib.metadata' in sys.modules)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["False", "True"]
