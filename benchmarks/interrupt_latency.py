"""How soon a long operation answers Ctrl-C.

For each long operation, a real-time timer sends a signal whose handler
raises KeyboardInterrupt a short while into the call; the table shows the
time from the signal's arrival (the handler notes it) to the exception
leaving the call, as the median and the worst of several runs, and the time
the whole operation takes when left alone. Run it on an installed build:

    .venv/bin/python benchmarks/interrupt_latency.py [--rounds N] [-k TEXT]

The delay includes freeing what the call had built when the signal came, so
a faster operation, having built more by then, has more to free.
"""
import argparse
import functools
import gc
import signal
import statistics
import sys
import time
from pathlib import Path

from morvath.datastructures.branchel import Branchel
from morvath.datastructures.configuration import Configuration
from morvath.datastructures.fadeline import Fadeline
from morvath.datastructures.keyvane import NestedKeyvane
from morvath.datastructures.logic import And, Or
from morvath.datastructures.pathrell import Pathrell

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_pathrell import PyPathrell  # noqa: E402  the same class written in Python


class Thing:
    pass


@functools.cache
def data(name):
    """The inputs, each built the first time an operation asks for it."""
    if name == "things":
        return [Thing() for _ in range(1_000_000)]
    if name == "nested":
        return {f"k{i}": {"a": i, "b": [i, i]} for i in range(250_000)}
    if name == "levels":
        return {f"k{i}": {"a": i} for i in range(500_000)}
    if name == "pairs":
        return [(("k", "x"), 1)] * 1_000_000
    if name == "flat":
        return Pathrell(data("nested"))
    if name == "big":
        return Fadeline(data("things"))
    if name == "words":
        return [f"w{i}" for i in range(1_000_000)]
    if name == "checks":
        return And(*[str.islower] * 1_000_000)
    if name == "wide":
        return Branchel("root", [Branchel(f"n{i}", [Branchel("leaf", [])]) for i in range(300_000)])
    if name == "configuration":
        return Configuration(data("levels"))
    raise KeyError(name)


def operations():
    """(name, setup returning the subject, operation on the subject)."""
    return [
        ("Pathrell(dict of 10^6 leaves)", lambda: data("nested"), Pathrell),
        ("same class in Python (10^6 leaves)", lambda: data("nested"), PyPathrell),
        ("Pathrell(10^6 pairs)", lambda: data("pairs"), Pathrell),
        ("Pathrell.extend(10^6 pairs)", Pathrell, lambda p: p.extend(data("pairs"))),
        ("Pathrell.reconstruct (10^6 pairs)", lambda: data("flat"), lambda p: p.reconstruct()),
        ("NestedKeyvane.update (5*10^5 levels)", NestedKeyvane, lambda n: n.update(data("levels"))),
        ("Configuration.copy (5*10^5 levels)", lambda: data("configuration"), lambda c: c.copy()),
        ("Fadeline(10^6 items)", lambda: data("things"), Fadeline),
        ("Fadeline.remove (absent, 10^6)", lambda: data("big"), lambda f: f.remove(Thing())),
        ("list(Fadeline) (10^6)", lambda: data("big"), list),
        ("repr(Fadeline) (10^6)", lambda: data("big"), repr),
        ("str(Branchel) (9*10^5 nodes)", lambda: data("wide"), str),
        ("Or(pattern)(10^6 items)", lambda: data("words"), lambda w: Or("zzz")(*w)),
        ("And(10^6 checks)(item)", lambda: data("checks"), lambda a: a("a")),
    ]


def full_time(setup, operation):
    subject = setup()
    start = time.perf_counter()
    operation(subject)
    return time.perf_counter() - start


def latency(setup, operation, delay):
    """Seconds from the signal to the KeyboardInterrupt leaving the call;
    None when the operation ended before the signal came."""
    subject = setup()
    arrived = []

    def handler(signum, frame):
        arrived.append(True)
        raise KeyboardInterrupt

    # A collector callback written in Python would run the handler itself and
    # lose the exception as unraisable; a full collection would add its pause.
    gc.disable()
    previous = signal.signal(signal.SIGALRM, handler)
    try:
        due = time.perf_counter() + delay
        signal.setitimer(signal.ITIMER_REAL, delay)
        try:
            operation(subject)
        except KeyboardInterrupt:
            pass
        except ValueError as error:  # the pair check of Pathrell wraps what it caught
            if not isinstance(error.__context__, KeyboardInterrupt):
                raise
        stopped = time.perf_counter()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        gc.enable()
    # The system delivers the timer's signal within microseconds of `due`;
    # the rest is the wait for the library's next check, and the unwinding.
    return stopped - due if arrived else None


def measure(setup, operation, delay, rounds):
    samples = (latency(setup, operation, delay) for _ in range(rounds))
    return [value for value in samples if value is not None]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("-k", dest="pattern", default="", help="only operations with this text")
    args = parser.parse_args()
    print(f"{'operation':40} {'whole (ms)':>10} {'median (ms)':>12} {'worst (ms)':>11}")
    for name, setup, operation in operations():
        if args.pattern not in name:
            continue
        whole = full_time(setup, operation)
        samples = measure(setup, operation, min(0.05, whole / 4), args.rounds)
        if not samples:
            print(f"{name:40} {whole * 1e3:10.1f} {'(ended before the signal)':>24}")
            continue
        median = statistics.median(samples) * 1e3
        worst = max(samples) * 1e3
        print(f"{name:40} {whole * 1e3:10.1f} {median:12.2f} {worst:11.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
