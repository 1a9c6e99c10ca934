"""How the cost per leaf grows with the size of the input.

    .venv/bin/python benchmarks/scale.py [--sizes 100 10000 1000000] [-k TEXT]

Each operation is measured per size in a fresh interpreter, so that no earlier
measurement leaves memory behind. The child builds its input first, then runs
the operation once timed in process CPU time, and once more under tracemalloc
(started only then, so the input is not counted): the peak it reports is the
memory the operation itself needed at most, result included. A linear
operation keeps time and memory per leaf flat across sizes.
"""
import argparse
import json
import subprocess
import sys

OPERATIONS = {
    "Pathrell(tree)": ("from morvath.datastructures.pathrell import Pathrell\n"
                       "tree = settings_tree(n)",
                       "Pathrell(tree)"),
    "Pathrell.reconstruct": ("from morvath.datastructures.pathrell import Pathrell\n"
                             "flat = Pathrell(settings_tree(n))",
                             "flat.reconstruct()"),
    "NestedKeyvane(tree)": ("from morvath.datastructures.keyvane import NestedKeyvane\n"
                            "tree = settings_tree(n)",
                            "NestedKeyvane(tree)"),
    "str(Branchel)": ("from morvath.datastructures.branchel import Branchel\n"
                      "tree = branchel_tree(Branchel, n)",
                      "str(tree)"),
}

# Runs in the child: `n` leaves, then one timed call of the operation.
CHILD = """
import gc, time, tracemalloc

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

n = @LEAVES@
@SETUP@
gc.collect()
start = time.process_time()
result = @STMT@
elapsed = time.process_time() - start
del result
gc.collect()
tracemalloc.start()
result = @STMT@
peak = tracemalloc.get_traced_memory()[1]
tracemalloc.stop()
print(json.dumps({"seconds": elapsed, "peak_bytes": peak}))
"""


def measure(name: str, leaves: int) -> dict:
    setup, stmt = OPERATIONS[name]
    code = ("import json\n" + CHILD).replace("@LEAVES@", str(leaves)).replace("@SETUP@", setup)
    code = code.replace("@STMT@", stmt)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return json.loads(done.stdout.splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[100, 10_000, 1_000_000])
    parser.add_argument("-k", dest="pattern", default="", help="only operations with this text")
    args = parser.parse_args()
    print("| operation | leaves | time per leaf | peak memory per leaf (tracemalloc) |")
    print("|---|---|---|---|", flush=True)
    for name in OPERATIONS:
        if args.pattern not in name:
            continue
        for leaves in args.sizes:
            result = measure(name, leaves)
            print(f"| {name} | {leaves:,} | {result['seconds'] / leaves * 1e9:.0f} ns | "
                  f"{result['peak_bytes'] / leaves:.0f} B |", flush=True)


if __name__ == "__main__":
    main()
