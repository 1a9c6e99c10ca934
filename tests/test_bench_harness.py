"""The benchmark harness: how it times contenders and the tables it writes.

The tables end up in the README and in the docs, whose build treats every
warning as an error, so a cell must come out as the text it was given.
"""
import itertools
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "benchmarks"))

import harness  # noqa: E402

# Cells that reStructuredText would read as markup, references, lists or rules.
TRICKY_CELLS = ["box_dots=True", "box_ ends in an underscore_", "-", "- dash first", "* star",
                "1. numbered", "(a) lettered", "#. auto", "----", "=== x", "a | b", "`code` and *stars*",
                "back\\slash", "show(stdout=False); '+-- ' before the last child", "6.1x", "", "d['a.b.c']"]


def test_median_ratio_is_the_median_of_each_rounds_ratio():
    # per round: 2x, 3x, 1x; the ratio of the medians would be 3 / 3 = 1x
    assert harness.median_ratio([2.0, 9.0, 3.0], [1.0, 3.0, 3.0]) == 2.0


def test_time_rounds_interleaves_the_contenders_round_by_round():
    log = []
    contenders = {name: harness.Contender("log.append(name)", {"log": log, "name": name}) for name in "abc"}
    per_round = harness.time_rounds(contenders, rounds=3, target=1e-5)
    assert {name: len(times) for name, times in per_round.items()} == {"a": 3, "b": 3, "c": 3}
    runs = [name for name, _ in itertools.groupby(log)]
    # one calibration run of each, then a, b, c in every round
    assert runs[-9:] == list("abc") * 3


def test_markdown_table_keeps_a_pipe_inside_its_cell():
    text = harness.markdown_table(("case", "note"), [("x", "a | b"), ("", "")])
    rows = text.splitlines()
    assert rows[1] == "|---|---|"
    assert rows[2] == "| x | a \\| b |"
    assert all(row.replace("\\|", "").count("|") == 3 for row in rows)


def rendered_cells(source: str) -> list[list[str]]:
    docutils_core = pytest.importorskip("docutils.core")
    from docutils import nodes
    document = docutils_core.publish_doctree(source, settings_overrides={
        "report_level": 1, "halt_level": 1, "warning_stream": False})
    return [[entry.astext() for entry in row.findall(nodes.entry)] for row in document.findall(nodes.row)]


def test_rst_list_table_cells_read_back_as_their_text():
    rows = [(cell, cell) for cell in TRICKY_CELLS]
    assert rendered_cells(harness.rst_list_table(("case", "note"), rows)) == \
        [["case", "note"]] + [list(row) for row in rows]


def test_rst_text_reads_back_as_a_paragraph_of_the_same_text():
    for cell in filter(None, TRICKY_CELLS):
        docutils_core = pytest.importorskip("docutils.core")
        document = docutils_core.publish_doctree(harness.rst_text(cell), settings_overrides={
            "report_level": 1, "halt_level": 1, "warning_stream": False})
        assert [child.tagname for child in document.children] == ["paragraph"], cell
        assert document.astext() == cell
