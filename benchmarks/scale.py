"""How the cost per leaf grows with the size of the input.

    .venv/bin/python benchmarks/scale.py [--sizes 1000 10000 100000 1000000] [-k TEXT]

Each operation is measured per size in a fresh interpreter, so that no earlier
measurement leaves memory behind, with the cyclic garbage collector on, as
users run. The child builds its input first, then runs the operation once
timed in process CPU time, and once more on a fresh input under tracemalloc
(started only then, so the input is not counted): the peak it reports is the
memory the operation itself needed at most, result included. A linear
operation keeps time and memory per leaf (per item, for Fadeline) flat across
sizes.

The mass death of a Fadeline's items (the only list that holds them is
deleted, and every entry's callback removes it from the Fadeline) is measured
at doubling sizes from 8,000 for as long as the next size, were its cost to
grow as the square of the size, would stay under --budget seconds.
"""
import argparse
import json
import subprocess
import sys

PATHRELL = "from morvath.datastructures.pathrell import Pathrell\n"
FADELINE = "from morvath.datastructures.fadeline import Fadeline\n"

# name: (setup building the input, timed statement, sizes or None for --sizes)
OPERATIONS = {
    "Pathrell(tree)": (PATHRELL + "tree = settings_tree(n)", "result = Pathrell(tree)", None),
    "Pathrell.reconstruct": (PATHRELL + "flat = Pathrell(settings_tree(n))",
                             "result = flat.reconstruct()", None),
    "NestedKeyvane(tree)": ("from morvath.datastructures.keyvane import NestedKeyvane\n"
                            "tree = settings_tree(n)", "result = NestedKeyvane(tree)", None),
    "str(Branchel)": ("from morvath.datastructures.branchel import Branchel\n"
                      "tree = branchel_tree(Branchel, n)", "result = str(tree)", None),
    "Fadeline(objects)": (FADELINE + "things = [Thing() for _ in range(n)]",
                          "result = Fadeline(things)", None),
    "Fadeline items dying at once": (FADELINE + "things = [Thing() for _ in range(n)]\n"
                                     "result = Fadeline(things)",
                                     "del things", "doubling"),
}

# Runs in the child: `n` leaves, then one timed run of the operation.
CHILD = """
import gc, time, tracemalloc

class Thing:
    pass

def settings_tree(leaves):
    # sections of 100 leaves: nine options of ten values and a list of five hosts
    tree = {}
    for s in range(max(1, leaves // 100)):
        section = tree[f"service{s}"] = {}
        for o in range(9):
            section[f"option{o}"] = {"value": o, "default": None, "help": "text",
                                     "scale": 1.5, "enabled": True, "unit": "s",
                                     "owner": "ops", "tag": o, "rank": s, "note": ""}
        section["hosts"] = [{"name": f"h{h}", "port": 8000 + h} for h in range(5)]
    return tree

def branchel_tree(cls, leaves):
    # fanout 10 over as many levels as it takes to reach `leaves`
    nodes = [cls("leaf") for _ in range(leaves)]
    level = 0
    while len(nodes) > 1:
        level += 1
        nodes = [cls(f"level{level}", nodes[i:i + 10]) for i in range(0, len(nodes), 10)]
    return nodes[0]

gc.enable()
n = @LEAVES@
@SETUP@
gc.collect()
start = time.process_time()
@STMT@
elapsed = time.process_time() - start
result = None
gc.collect()
@SETUP@
gc.collect()
tracemalloc.start()
@STMT@
peak = tracemalloc.get_traced_memory()[1]
tracemalloc.stop()
print(json.dumps({"seconds": elapsed, "peak_bytes": peak}))
"""


def measure(name: str, leaves: int) -> dict:
    setup, stmt, _ = OPERATIONS[name]
    code = ("import json\n" + CHILD).replace("@LEAVES@", str(leaves)).replace("@SETUP@", setup)
    code = code.replace("@STMT@", stmt)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return json.loads(done.stdout.splitlines()[-1])


def rows(name: str, args: argparse.Namespace):
    """(size, result) per size; a doubling run stops after the first slow size."""
    if OPERATIONS[name][2] != "doubling":
        for leaves in args.sizes:
            yield leaves, measure(name, leaves)
        return
    leaves = 8_000
    while leaves <= max(args.sizes):
        result = measure(name, leaves)
        yield leaves, result
        # the next size at four times the cost, should it grow as the square
        if 4 * result["seconds"] > args.budget:
            return
        leaves *= 2


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[1_000, 10_000, 100_000, 1_000_000])
    parser.add_argument("--budget", type=float, default=5.0,
                        help="seconds that one size of a doubling run may take at most")
    parser.add_argument("-k", dest="pattern", default="", help="only operations with this text")
    args = parser.parse_args()
    print("| operation | leaves or items | time per leaf | peak memory per leaf (tracemalloc) |")
    print("|---|---|---|---|", flush=True)
    for name in OPERATIONS:
        if args.pattern not in name:
            continue
        for leaves, result in rows(name, args):
            print(f"| {name} | {leaves:,} | {result['seconds'] / leaves * 1e9:.0f} ns | "
                  f"{result['peak_bytes'] / leaves:.0f} B |", flush=True)


if __name__ == "__main__":
    main()
