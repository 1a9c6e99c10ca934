import gc
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


def _assert_no_leak(exercise, warmup=200, rounds=1000, slack=200, tries=3):
    """Fails when `rounds` calls of `exercise` leave `slack` or more new blocks
    allocated, in each of `tries` measurements after `warmup` calls. A leak
    grows in every measurement; caches and free lists that fill once do not."""
    for _ in range(warmup):
        exercise()
    growth = []
    for _ in range(tries):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(rounds):
            exercise()
        gc.collect()
        growth.append(sys.getallocatedblocks() - before)
        if growth[-1] < slack:
            return
    pytest.fail(f"{rounds} rounds left {growth} more blocks allocated each time")


@pytest.fixture
def assert_no_leak():
    return _assert_no_leak
