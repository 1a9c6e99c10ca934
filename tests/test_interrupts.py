"""A signal handler that raises, arriving while a long operation runs in the
library's own loops, stops the operation where it stands and leaves the data
as that exception would in a Python implementation.

A thread cannot deliver the interrupt here: the loops hold the interpreter
lock throughout, so a thread calling interrupt_main() would only run once the
operation had ended. A real-time timer signal is delivered by the system
instead. An interrupt answered inside the operation carries the library's
traceback entries; one answered only after it returned carries none, and
that is what these tests look at, not the time taken."""
import gc
import signal
import traceback

import pytest

from morvath.datastructures.branchel import Branchel
from morvath.datastructures.configuration import Configuration
from morvath.datastructures.fadeline import Fadeline
from morvath.datastructures.keyvane import NestedKeyvane
from morvath.datastructures.logic import And, Or
from morvath.datastructures.pathrell import Pathrell

pytestmark = pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs interval timers")

DELAY = 0.005  # seconds from the call to the signal; every operation below runs far longer


class Thing:
    pass


def interrupt(operation):
    """Runs `operation` with SIGALRM raising KeyboardInterrupt after DELAY;
    returns what it raised (the test fails if it raised nothing)."""
    def raise_interrupt(signum, frame):
        raise KeyboardInterrupt

    # With the collector on, its callbacks (those of hypothesis, say) may run
    # Python code inside the operation; the handler would then raise there,
    # where the interpreter reports the exception as unraisable and drops it.
    gc.disable()
    previous = signal.signal(signal.SIGALRM, raise_interrupt)
    try:
        # The timer starts inside the block: on a loaded machine the process
        # can lose the processor for longer than DELAY, and a signal handled
        # before the block was entered would end the whole test run.
        with pytest.raises(BaseException) as info:
            signal.setitimer(signal.ITIMER_REAL, DELAY)
            operation()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        gc.enable()
    return info.value


def library_entries(error):
    return [entry.name.rpartition(".")[2] for entry in traceback.extract_tb(error.__traceback__)
            if entry.filename.startswith("src/morvath/")]


def keyboard_interrupt(error):
    """The KeyboardInterrupt itself, or the one that the pair check of Pathrell
    (a guard that catches everything) turned into its ValueError."""
    if isinstance(error, ValueError) and isinstance(error.__context__, KeyboardInterrupt):
        assert str(error) == "Pathrell only accepts a tuple of path/obj"
        return error.__context__
    assert isinstance(error, KeyboardInterrupt), repr(error)
    return error


N = 1_000_000
THINGS = [Thing() for _ in range(200_000)]
PAIRS = [(("k", "x"), 1)] * N
NESTED = {f"k{i}": {"a": i, "b": [i, i]} for i in range(100_000)}
LEVELS = {f"k{i}": {"a": i} for i in range(200_000)}
FLAT = Pathrell(NESTED)
WORDS = [f"w{i}" for i in range(N)]
CHECKS = And(*[str.islower] * N)
WIDE = Branchel("root", [Branchel(f"n{i}", [Branchel("leaf", [])]) for i in range(100_000)])


def fadeline_with_things():
    return Fadeline(THINGS[:10])


def big_fadeline():
    return Fadeline(THINGS * 5)


def snapshot(obj):
    if isinstance(obj, Branchel):
        return (obj.name, list(obj.children))
    if isinstance(obj, And):
        return list(obj.expressions)
    return dict(obj) if isinstance(obj, dict) else list(obj)


# (operation on the target, a fresh target, the function whose entry the interrupt carries)
CASES = {
    "Pathrell construction flattens": (lambda _: Pathrell(NESTED), lambda: None, "__flatten__"),
    "Pathrell construction checks pairs": (lambda _: Pathrell(PAIRS), lambda: None, "__init__"),
    "Pathrell.extend": (lambda p: p.extend(PAIRS), lambda: Pathrell({"a": 1}), "extend"),
    "Pathrell.reconstruct": (lambda p: p.reconstruct(), lambda: FLAT, "reconstruct"),
    "NestedKeyvane.update": (lambda n: n.update(LEVELS), lambda: NestedKeyvane({"z": 1}), "update"),
    "Configuration.copy": (lambda c: c.copy(), lambda: CONFIGURATION, "copy"),
    "Fadeline construction": (lambda _: Fadeline(THINGS * 5), lambda: None, "__init__"),
    "Fadeline.extend": (lambda f: f.extend(THINGS * 5), fadeline_with_things, "extend"),
    "Fadeline.remove": (lambda f: f.remove(Thing()), big_fadeline, "remove"),
    "Fadeline iteration": (lambda f: list(f), big_fadeline, "__iter__"),
    "Fadeline repr": (lambda f: repr(f), big_fadeline, "__repr__"),
    "Branchel drawing": (lambda b: str(b), lambda: WIDE, "__str__"),
    "Or over many items": (lambda _: Or("zzz")(*WORDS), lambda: None, "__call__"),
    "And over many checks": (lambda a: a("a"), lambda: CHECKS, "__call__"),
}
CONFIGURATION = Configuration(LEVELS)


@pytest.mark.parametrize("name", CASES)
def test_interrupt_stops_the_operation_inside_and_leaves_sound_data(name, assert_no_leak):
    operation, target, function = CASES[name]
    subject = target()
    before = snapshot(subject) if subject is not None else None

    # A signal handled before the operation began (the process was not
    # running when the timer fired) carries no entries; such a try is repeated.
    for _ in range(5):
        error = keyboard_interrupt(interrupt(lambda: operation(subject)))
        if function in library_entries(error):
            break
    assert function in library_entries(error)
    if name in ("NestedKeyvane.update",):
        # Merged up to the interrupt, as a Python loop would have: every key
        # present holds its level, and a new update completes the merge.
        assert all(subject[key] == LEVELS[key] for key in subject if key != "z")
        subject.update(LEVELS)
        assert len(subject) == len(LEVELS) + 1
    elif subject is not None:
        assert snapshot(subject) == before

    # Nothing an interrupted operation built stays allocated.
    assert_no_leak(lambda: interrupt(lambda: operation(subject)), warmup=1, rounds=4, slack=2000, tries=2)
