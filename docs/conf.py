"""Sphinx settings for the reference of morvath.datastructures.

The pages document the installed package. Each compiled module is imported
here, before autodoc asks for it: autodoc then finds it in ``sys.modules``
and documents the module's own function objects (their real signatures)
and docstrings, instead of executing the type stub that sits beside the
compiled file. The doctest builder runs in this same process, so the
examples run against the compiled modules too.
"""

import builtins
import importlib
import re
import sys
from pathlib import Path

from docutils.parsers.rst import Directive
from docutils.statemachine import StringList

MODULES = ["keyvane", "configuration", "pathrell", "fadeline", "logic", "branchel", "tyvern"]

for _name in MODULES:
    _module = importlib.import_module(f"morvath.datastructures.{_name}")
    if not _module.__file__.endswith(".so"):
        raise RuntimeError(f"{_module.__name__} is not the compiled module: {_module.__file__}")

project = "morvath.datastructures"
author = "the morvath.datastructures developers"
copyright = "2026, " + author
version = release = "0.1.0"

# The docstrings are written in the Google style ("Arguments:", "Returns:").
extensions = ["sphinx.ext.autodoc", "sphinx.ext.napoleon", "sphinx.ext.doctest"]

# Included into speed.rst, not a page of its own.
exclude_patterns = ["peers-table.rst"]
html_static_path = ["_static"]
html_theme = "alabaster"
html_title = project

# The signatures come from the function objects. Docstrings are shown as they
# are; some of them (the generic get, pop and setdefault that NestedKeyvane
# takes from the standard library) begin with a line in the form
# "D.get(k[,d]) -> ..." that must not be read as a signature.
autodoc_docstring_signature = False
autodoc_member_order = "bysource"
autodoc_inherit_docstrings = False
autodoc_default_options = {
    "members": True,
    "undoc-members": True,
    "special-members": True,
    "exclude-members": (
        "__dict__, __weakref__, __hash__, __module__, __annotations__, __abstractmethods__, "
        "__slots__, __match_args__, __new__, __getnewargs__, __replace__"
    ),
    "show-inheritance": True,
}
autodoc_class_signature = "separated"

# Every cross-reference must resolve, except those to the standard library
# (any name of a builtin or of a standard module), whose targets live in an
# inventory that the build does not fetch: those are known and not checked.
nitpicky = True
_STANDARD_NAMES = sorted(set(sys.stdlib_module_names) | set(dir(builtins)))
nitpick_ignore_regex = [(r"py:.*", rf"({'|'.join(_STANDARD_NAMES)})(\..+)?")]
# The pathrell docstrings give the type of a pair as the words "path/value".
nitpick_ignore = [("py:class", "path/value")]

doctest_test_doctest_blocks = "default"


# The speed page shows the README's table of the last benchmark run, read
# from the README at build time so that the two never disagree.

README = Path(__file__).parent.parent / "README.md"


def _readme_section(title):
    text = README.read_text(encoding="utf-8")
    found = re.search(rf"^## {re.escape(title)}\n(.*?)(?=^## |\Z)", text, re.S | re.M)
    if found is None:
        raise ValueError(f"README.md has no section {title!r}")
    return found.group(1)


def _first_markdown_table(section):
    """The first Markdown table of `section`, as its cells, header row first,
    and the line that leads into it (the run it comes from)."""
    lines = section.splitlines()
    start = next((i for i, line in enumerate(lines) if line.startswith("|")), None)
    if start is None:
        raise ValueError("no table found")
    end = next((i for i in range(start, len(lines)) if not lines[i].startswith("|")), len(lines))
    lead = next((line for line in reversed(lines[:start]) if line.strip()), "")
    rows = [[cell.strip() for cell in line.strip("|").split("|")] for line in lines[start:end]]
    rows = [row for row in rows if not all(re.fullmatch(r":?-+:?", cell) for cell in row)]
    return lead, rows


def _inline(cell):
    """Markdown inline code as reST inline literals; a lone dash as text."""
    cell = re.sub(r"`([^`]+)`", r"``\1``", cell)
    return "\\-" if cell == "-" else cell


class ReadmeTable(Directive):
    """``.. readme-table:: Title``: the first table of the README section
    with the paragraph that leads into it."""

    required_arguments = 1
    final_argument_whitespace = True

    def run(self):
        self.state.document.settings.record_dependencies.add(str(README))
        lead, rows = _first_markdown_table(_readme_section(self.arguments[0]))
        lines = [_inline(lead), "", ".. list-table::", "   :header-rows: 1", ""]
        for row in rows:
            lines += [f"   {'*' if i == 0 else ' '} - {_inline(cell)}" for i, cell in enumerate(row)]
        self.state_machine.insert_input(StringList(lines, str(README)), str(README))
        return []


def setup(app):
    app.add_directive("readme-table", ReadmeTable)
    return {"parallel_read_safe": True}
