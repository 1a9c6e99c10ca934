"""Side-by-side timing for the benchmarks.

Every contender of a case runs in this one process, round by round and
interleaved (ours, the same class written in Python, the built-in work), timed
in process CPU time with the cyclic garbage collector on. A case reports the
median over the rounds of each round's ratio, so slow drift of a shared
machine cancels out:

    ours vs python = time of the Python class / time of ours   (above 1: ours is faster)
    ours vs limit  = time of the built-in work / time of ours  (1 at best)

Each contender is a statement timed by `timeit`, so the loop adds no call of
its own to the cost being measured. A benchmark file defines `cases()`
returning a list of `Case`; run one file on its own, or every file through
`benchmarks/run.py`, which ends with one summary table.
"""
from __future__ import annotations

import argparse
import gc
import re
import statistics
import sys
import time
import timeit
from dataclasses import dataclass, field


@dataclass
class Contender:
    stmt: str
    globals: dict = field(default_factory=dict)
    setup: str = "pass"


@dataclass
class Case:
    name: str
    ours: Contender
    python: Contender | None = None
    limit: Contender | None = None
    goal_python: float | None = None  # ours vs python must reach this
    goal_limit: float | None = None   # ours vs limit must reach this

    def contenders(self):
        return [(label, c) for label, c in
                (("ours", self.ours), ("python", self.python), ("limit", self.limit)) if c]


@dataclass
class Result:
    case: Case
    vs_python: float | None
    vs_limit: float | None
    ours_ns: float

    @property
    def met(self) -> bool | None:
        checks = [(self.vs_python, self.case.goal_python), (self.vs_limit, self.case.goal_limit)]
        checks = [(value, goal) for value, goal in checks if goal is not None]
        if not checks:
            return None
        return all(value is not None and value >= goal for value, goal in checks)


def _timer(contender: Contender) -> timeit.Timer:
    # timeit turns the cyclic collector off while it times; programs run with
    # it on, and its cost grows with what they hold, so every case keeps it on.
    setup = f"__import__('gc').enable()\n{contender.setup}"
    return timeit.Timer(contender.stmt, setup, timer=time.process_time,
                        globals=contender.globals)


def _loops_for(timer: timeit.Timer, target: float) -> int:
    """The number of loops that takes about `target` seconds of CPU time."""
    loops = 1
    while True:
        elapsed = timer.timeit(loops)
        if elapsed >= target / 4 or loops >= 1 << 30:
            break
        loops *= 4 if elapsed < target / 40 else 2
    return max(1, int(loops * target / max(elapsed, 1e-9)))


def time_rounds(contenders: dict[str, Contender], rounds: int, target: float) -> dict[str, list[float]]:
    """CPU seconds per call of each contender, one entry per round.

    Each round times every contender once, in the order given, so the
    contenders see the same drift of the machine."""
    timers = {label: _timer(contender) for label, contender in contenders.items()}
    loops = {label: _loops_for(timer, target) for label, timer in timers.items()}
    per_round = {label: [] for label in timers}
    for _ in range(rounds):
        for label, timer in timers.items():
            gc.collect()
            per_round[label].append(timer.timeit(loops[label]) / loops[label])
    return per_round


def median_ratio(slower: list[float], ours: list[float]) -> float:
    """The median of the per-round ratios slower / ours."""
    return statistics.median(o / u for o, u in zip(slower, ours))


def measure(case: Case, rounds: int, target: float) -> Result:
    per_round = time_rounds(dict(case.contenders()), rounds, target)

    def ratio(other: str) -> float | None:
        return median_ratio(per_round[other], per_round["ours"]) if other in per_round else None

    return Result(case, ratio("python"), ratio("limit"),
                  statistics.median(per_round["ours"]) * 1e9)


def _fmt(value: float | None, goal: float | None) -> str:
    text = "-" if value is None else f"{value:.2f}x"
    return text if goal is None else f"{text} (goal {goal:g}x)"


def format_time(ns: float) -> str:
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.3g} {unit}"
    return f"{ns:.3g} ns"


def print_row(result: Result, out=sys.stdout) -> None:
    met = {None: "", True: "yes", False: "NO"}[result.met]
    print(f"| {result.case.name} | {format_time(result.ours_ns)} | "
          f"{_fmt(result.vs_python, result.case.goal_python)} | "
          f"{_fmt(result.vs_limit, result.case.goal_limit)} | {met} |", file=out, flush=True)


def print_header(out=sys.stdout) -> None:
    print("| case | ours per call | ours vs python | ours vs limit | goal met |", file=out)
    print("|---|---|---|---|---|", file=out, flush=True)


def markdown_table(header: tuple[str, ...], rows: list[tuple[str, ...]]) -> str:
    """A Markdown table; a '|' inside a cell stays text."""
    def line(cells):
        return "| " + " | ".join(cell.replace("|", "\\|") for cell in cells) + " |"
    return "\n".join([line(header), "|" + "---|" * len(header)] + [line(row) for row in rows])


# What would make a cell's text start a list, a transition or a section line.
_RST_BLOCK_START = re.compile(r"[-=+#]|\w{1,3}[.)](\s|$)|\(\w{1,3}\)(\s|$)")


def rst_text(text: str) -> str:
    """`text` as reStructuredText that reads back as the same plain text: no
    inline markup, no references, and no list, transition or section begun by
    its first characters."""
    text = re.sub(r"([\\*`|_])", r"\\\1", text)
    return "\\" + text if _RST_BLOCK_START.match(text) else text


def rst_list_table(header: tuple[str, ...], rows: list[tuple[str, ...]]) -> str:
    """A reStructuredText list-table with one header row; empty cells stay empty."""
    lines = [".. list-table::", "   :header-rows: 1", ""]
    for row in [header] + rows:
        items = [f"- {rst_text(cell)}".rstrip() for cell in row]
        lines += ["   * " + items[0]] + ["     " + item for item in items[1:]]
    return "\n".join(lines) + "\n"


def option_parser(description: str = __doc__.splitlines()[0]) -> argparse.ArgumentParser:
    """The options every benchmark takes; a benchmark may add its own."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--fast", action="store_true", help="fewer, shorter rounds")
    parser.add_argument("--quick", action="store_true",
                        help="one very short round per case: shows that every case runs, measures nothing")
    parser.add_argument("--rounds", type=int, help="rounds per case (default 9, 5 with --fast)")
    parser.add_argument("-k", dest="pattern", default="", help="only cases whose name has this text")
    return parser


def arguments(argv=None, parser: argparse.ArgumentParser | None = None) -> argparse.Namespace:
    args = (parser or option_parser()).parse_args(argv)
    if args.quick:
        args.rounds, args.target = 1, 0.0005
    else:
        args.rounds = args.rounds or (5 if args.fast else 9)
        args.target = 0.01 if args.fast else 0.03
    return args


def run(cases, args) -> list[Result]:
    results = []
    for case in cases:
        if args.pattern in case.name:
            results.append(measure(case, args.rounds, args.target))
            print_row(results[-1])
    return results


def main(cases_factory) -> None:
    args = arguments()
    print_header()
    run(cases_factory(), args)
