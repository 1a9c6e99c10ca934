"""Runs every benchmarks/bench_*.py and ends with one summary table of ratios.

    .venv/bin/python benchmarks/run.py [--fast] [-k TEXT]

Ratios are medians of per-round ratios taken in one process (see harness.py):
above 1 in "ours vs python" means the package is that many times faster than the
same class written in Python; "ours vs limit" compares with the same work done by
plain dicts, lists and weakrefs (1 at best).
"""
import importlib.util
import platform
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import harness  # noqa: E402


def load(path: Path):
    spec = importlib.util.spec_from_file_location(path.stem, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def machine() -> str:
    cpu = platform.processor() or platform.machine()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return f"{cpu}; Python {platform.python_version()} ({platform.python_implementation()})"


def main() -> int:
    args = harness.arguments()
    results = []
    for path in sorted(HERE.glob("bench_*.py")):
        module = load(path)
        if not hasattr(module, "cases"):
            continue
        print(f"\n## {path.stem}")
        harness.print_header()
        ran = harness.run(module.cases(), args)
        for result in ran:  # the summary names the benchmark file of each case
            result.case.name = f"{path.stem.removeprefix('bench_')}: {result.case.name}"
        results += ran
    print(f"\n## Summary ({machine()}; {args.rounds} rounds)")
    harness.print_header()
    for result in results:
        harness.print_row(result)
    missed = [r.case.name for r in results if r.met is False]
    if missed:
        print(f"\n{len(missed)} goal(s) not met: " + "; ".join(missed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
