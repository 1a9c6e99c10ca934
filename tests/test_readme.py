"""The README's Python examples: type-checked copies that cannot drift, and
each one pasted into the interactive interpreter from an unrelated folder."""
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).parent.parent
SNIPPETS = ROOT / "tests" / "typing" / "readme_snippets.py"


def readme_blocks():
    text = (ROOT / "README.md").read_text()
    return re.findall(r"```python\n(.*?)```", text, re.S)


BLOCKS = readme_blocks()
BLOCK_IDS = [re.search(r"datastructures\.(\w+)", block).group(1) for block in BLOCKS]

# Feeds a block line by line to an interactive console, as a paste into the
# interpreter prompt would, and reports anything that failed.
PASTE = """
import code, sys
failures = []
class Console(code.InteractiveConsole):
    def showsyntaxerror(self, filename=None, **kwargs):
        failures.append("syntax"); super().showsyntaxerror(filename)
    def showtraceback(self):
        failures.append("error"); super().showtraceback()
console = Console()
for line in sys.stdin.read().splitlines():
    console.push(line)
console.push("")
sys.exit(1 if failures else 0)
"""


def test_readme_has_examples_for_each_module():
    assert {"keyvane", "fadeline", "pathrell", "logic", "configuration", "branchel"} <= set(BLOCK_IDS)


@pytest.mark.parametrize("block", BLOCKS, ids=BLOCK_IDS)
def test_type_checked_copy_matches_readme(block):
    indented = textwrap.indent(block, "    ", lambda line: line.strip() != "")
    assert indented in SNIPPETS.read_text()


@pytest.mark.parametrize("block", BLOCKS, ids=BLOCK_IDS)
def test_example_pastes_into_the_interpreter(block, tmp_path):
    result = subprocess.run([sys.executable, "-c", PASTE], input=block, cwd=tmp_path,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr


def test_blank_line_after_one_line_class_is_needed(tmp_path):
    # Guards the paste test itself: without the blank line the console
    # reads the next statement as part of the class and fails.
    pasted = "class Session: pass\na = Session()\n"
    result = subprocess.run([sys.executable, "-c", PASTE], input=pasted, cwd=tmp_path,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 1 and "SyntaxError" in result.stderr
