import subprocess
import sys
import textwrap

import pytest


def _run_isolated(code, timeout=120):
    """Runs `code` in a fresh interpreter; a crash shows as a negative return code."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=timeout,
    )


@pytest.fixture
def run_isolated():
    return _run_isolated
