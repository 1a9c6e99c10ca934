"""The package against the libraries people use today for the same jobs.

    .venv/bin/python benchmarks/peers.py [--fast | --quick] [-k TEXT] [--png FILE] [--rst FILE]

Each case does one job with the package and with each peer that can do it,
all in this process, round by round and interleaved, in process CPU time with
the garbage collector on (see harness.py). A figure is the median over the
rounds of (time of the peer / time of ours): above 1, the package is that many
times faster. Before timing, every case checks once that all contenders give
the same result; where a peer does different or less work, or cannot do the
job, its note says so. The table goes to stdout as Markdown; --png writes a bar
chart of the figures and --rst the table as reStructuredText.

The peers install with the `bench` extra: pip install '.[bench]'.
"""
from __future__ import annotations

import itertools
import statistics
import sys
import textwrap
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from importlib.metadata import version
from pathlib import Path

import addict
import anytree
import box
import easydict
import flatdict
import flatten_dict
import munch
import omegaconf
import treelib
from anytree.render import AbstractStyle, RenderTree
from bench_branchel import tree as branchel_tree
from bench_keyvane import TREE
from bench_pathrell import settings_tree
from harness import (Contender, arguments, format_time, markdown_table, median_ratio, option_parser,
                     rst_list_table, rst_text, time_rounds)
from omegaconf import OmegaConf
from run import machine

from morvath.datastructures.branchel import Branchel
from morvath.datastructures.configuration import Configuration
from morvath.datastructures.keyvane import Keyvane, NestedKeyvane
from morvath.datastructures.pathrell import IndexMarker, Pathrell

# The distributions as users install them; the table names their versions.
PEERS = ("addict", "munch", "python-box", "easydict", "flatten-dict", "flatdict",
         "omegaconf", "anytree", "treelib")


def timed(stmt: str, **names) -> Contender:
    return Contender(stmt, names)


@dataclass
class Peer:
    name: str                        # the distribution's name
    contender: Contender | None      # None: the peer cannot do the job
    note: str = ""


@dataclass
class Row:
    case: str
    peer: str
    ours_s: float | None
    peer_s: float | None
    faster: float | None             # peer time / our time, median of the rounds
    note: str


def agree(what: str, got, want) -> None:
    """Stops the run when a contender's result differs from ours."""
    if got != want:
        raise AssertionError(f"{what}: the results differ, so the timing would compare different work")


def cannot(what: str, mapping, key, want) -> None:
    """Stops the run if `mapping[key]` gives `want` after all: then the peer can do the job and is timed."""
    try:
        got = mapping[key]
    except KeyError:
        return
    if got == want:
        raise AssertionError(f"{what} can do this job after all: time it instead")


def plain(value):
    """`value` with every mapping level turned into a dict and every list kept a list."""
    if isinstance(value, omegaconf.Container):
        value = OmegaConf.to_container(value)
    if isinstance(value, Mapping):
        return {key: plain(item) for key, item in value.items()}
    if isinstance(value, list):
        return [plain(item) for item in value]
    return value


# Each case: its name, and a function that checks the contenders agree and
# returns our contender with the list of peers.
CASES: list[tuple[str, Callable[[], tuple[Contender, list[Peer]]]]] = []


def case(name: str):
    def register(factory):
        CASES.append((name, factory))
        return factory
    return register


SETTINGS = {"host": "localhost", "port": 8080, "debug": False, "workers": 4}


@case("attribute read, d.port")
def attribute_read():
    ours = Keyvane(SETTINGS)
    peers = {"addict": addict.Dict(SETTINGS), "munch": munch.Munch(SETTINGS),
             "python-box": box.Box(SETTINGS), "easydict": easydict.EasyDict(SETTINGS)}
    for name, peer in peers.items():
        agree(name, peer.port, ours.port)
    twice = vars(peers["easydict"]) is not peers["easydict"]
    notes = {"easydict": "keeps each entry twice, as an item and as an attribute" if twice else ""}
    return timed("d.port", d=ours), [Peer(name, timed("d.port", d=peer), notes.get(name, ""))
                                     for name, peer in peers.items()]


DEEP = {"a": {"b": {"c": 1}}, "other": 2}


@case("dotted read three levels deep, d['a.b.c']")
def dotted_read():
    ours = NestedKeyvane(DEEP)
    dotted_box = box.Box(DEEP, box_dots=True)
    config = OmegaConf.create(DEEP)
    flat = flatdict.FlatDict(DEEP, delimiter=".")
    agree("python-box", dotted_box["a.b.c"], ours["a.b.c"])
    agree("omegaconf", OmegaConf.select(config, "a.b.c"), ours["a.b.c"])
    agree("flatdict", flat["a.b.c"], ours["a.b.c"])
    for name, cls in (("addict", addict.Dict), ("munch", munch.Munch), ("easydict", easydict.EasyDict)):
        cannot(name, cls(DEEP), "a.b.c", ours["a.b.c"])
    none = "no dotted keys: only d.a.b.c or d['a']['b']['c']"
    return (timed("d['a.b.c']", d=ours), [
        Peer("python-box", timed("d['a.b.c']", d=dotted_box), "with box_dots=True"),
        Peer("omegaconf", timed("select(d, 'a.b.c')", d=config, select=OmegaConf.select),
             "OmegaConf.select(d, 'a.b.c')"),
        Peer("flatdict", timed("d['a.b.c']", d=flat), "a FlatDict with delimiter '.'"),
        Peer("addict", None, none), Peer("munch", None, none), Peer("easydict", None, none),
    ])


def nested_levels_are(obj, cls) -> bool:
    return all(isinstance(dict.__getitem__(obj, key), cls) for key in TREE)


@case("build from a 1,000-leaf tree")
def build_from_tree():
    builders = {"addict": addict.Dict, "munch": munch.munchify, "python-box": box.Box,
                "easydict": easydict.EasyDict}
    ours = NestedKeyvane(TREE)
    agree("ours", plain(ours), TREE)
    for name, build in builders.items():
        agree(name, plain(build(TREE)), TREE)
    lazy_box = not nested_levels_are(box.Box(TREE), box.Box)
    notes = {"munch": "munchify(tree): Munch(tree) leaves the nested levels plain dicts",
             "python-box": "boxes the nested levels lazily, at their first read" if lazy_box else ""}
    ours = timed("NestedKeyvane(TREE)", NestedKeyvane=NestedKeyvane, TREE=TREE)
    return ours, [Peer(name, timed("build(TREE)", build=build, TREE=TREE), notes.get(name, ""))
                  for name, build in builders.items()]


# 50 sections of 21 leaves; the merge overwrites 20 of each and keeps the 21st.
MERGE_BASE = {section: {**leaves, "kept": 0} for section, leaves in TREE.items()}
MERGE_OVERLAY = {section: {key: -value for key, value in leaves.items()} for section, leaves in TREE.items()}
MERGED = {section: {**MERGE_OVERLAY[section], "kept": 0} for section in TREE}


@case("merge 1,000 leaves into a tree of the same shape")
def merge():
    targets = {"ours": (NestedKeyvane(MERGE_BASE), "update"),
               "addict": (addict.Dict(MERGE_BASE), "update"),
               "python-box": (box.Box(MERGE_BASE), "merge_update"),
               "omegaconf": (OmegaConf.create(MERGE_BASE), "merge_with")}
    for name, (target, method) in targets.items():
        getattr(target, method)(MERGE_OVERLAY)
        agree(name, plain(target), MERGED)
    notes = {"python-box": "merge_update; update replaces nested levels",
             "omegaconf": "DictConfig.merge_with"}
    for name, build in (("munch", munch.munchify), ("easydict", easydict.EasyDict)):
        replaced = build(MERGE_BASE)
        replaced.update(MERGE_OVERLAY)
        agree(name, plain(replaced), MERGE_OVERLAY)
    none = "update replaces nested levels: no merge"
    merges = {name: timed(f"d.{method}(overlay)", d=target, overlay=MERGE_OVERLAY)
              for name, (target, method) in targets.items()}
    ours = merges.pop("ours")
    return ours, [Peer(name, merges[name], notes.get(name, "")) for name in merges] + [
        Peer("munch", None, none), Peer("easydict", None, none)]


FLATTEN_TREE = settings_tree(100)  # 10,000 leaves, 1,000 of them in lists of records


def as_index_paths(pairs) -> dict:
    """Pathrell's pairs keyed by path tuples whose list positions are plain ints."""
    return {tuple(step.index if isinstance(step, IndexMarker) else step for step in path): value
            for path, value in pairs}


@case("flatten 10,000 leaves")
def flatten():
    ours = Pathrell(FLATTEN_TREE)
    by_path = as_index_paths(ours)
    agree("flatten-dict", flatten_dict.flatten(FLATTEN_TREE, enumerate_types=(list,)), by_path)
    flat_keys = {".".join(map(str, path)): value for path, value in by_path.items()}
    agree("flatdict", dict(flatdict.FlatterDict(FLATTEN_TREE, delimiter=".").items()), flat_keys)
    return (timed("Pathrell(tree)", Pathrell=Pathrell, tree=FLATTEN_TREE), [
        Peer("flatten-dict", timed("flatten(tree, enumerate_types=(list,))", flatten=flatten_dict.flatten,
                                   tree=FLATTEN_TREE),
             "a dict keyed by path tuples, list positions as ints"),
        Peer("flatdict", timed("FlatterDict(tree, delimiter='.').items()", FlatterDict=flatdict.FlatterDict,
                               tree=FLATTEN_TREE),
             "FlatterDict(...).items(): flat 'a.b.0.c' string keys"),
    ])


@case("rebuild 10,000 leaves")
def rebuild():
    ours = Pathrell(FLATTEN_TREE)
    agree("ours", ours.reconstruct(), FLATTEN_TREE)
    flat = flatten_dict.flatten(FLATTEN_TREE, enumerate_types=(list,))
    unflat = flatten_dict.unflatten(flat)
    agree("flatten-dict", plain(unflat), plain(lists_as_dicts(FLATTEN_TREE)))
    kept = flatdict.FlatterDict(FLATTEN_TREE, delimiter=".")
    agree("flatdict", kept.as_dict(), FLATTEN_TREE)
    return (timed("flat.reconstruct()", flat=ours), [
        Peer("flatten-dict", timed("unflatten(flat)", unflatten=flatten_dict.unflatten, flat=flat),
             "lists come back as dicts keyed by position"),
        Peer("flatdict", timed("flat.as_dict()", flat=kept),
             "as_dict() of the FlatterDict; from flat keys it cannot rebuild lists"),
    ])


def lists_as_dicts(value):
    """`value` with each list turned into a dict keyed by position."""
    if isinstance(value, Mapping):
        return {key: lists_as_dicts(item) for key, item in value.items()}
    if isinstance(value, list):
        return {index: lists_as_dicts(item) for index, item in enumerate(value)}
    return value


@case("configuration from 1,000 leaves")
def configuration():
    agree("ours", plain(Configuration(TREE)), TREE)
    agree("omegaconf", plain(OmegaConf.create(TREE)), TREE)
    return timed("Configuration(TREE)", Configuration=Configuration, TREE=TREE), [
        Peer("omegaconf", timed("create(TREE)", create=OmegaConf.create, TREE=TREE), "OmegaConf.create")]


class AnytreeNode(anytree.Node):
    def __init__(self, name, children=()):
        super().__init__(name, children=children)


def treelib_tree(fanout: int, depth: int) -> treelib.Tree:
    """The tree that branchel_tree draws, as a treelib.Tree."""
    tree, ids = treelib.Tree(), itertools.count()

    def add(depth, parent):
        node = tree.create_node("leaf" if depth == 0 else f"level{depth}", next(ids), parent=parent)
        for _ in range(fanout if depth else 0):
            add(depth - 1, node.identifier)

    add(depth, None)
    return tree


TREE_LINES = AbstractStyle("|   ", "|-- ", "`-- ")


@case("draw an 11,111-node tree")
def drawing():
    ours = branchel_tree(Branchel, 10, 4)
    root = branchel_tree(AnytreeNode, 10, 4)
    other = treelib_tree(10, 4)
    drawn = str(ours)
    agree("anytree", RenderTree(root, style=TREE_LINES).by_attr(), drawn)
    treelib_text = other.show(stdout=False, line_type="ascii", sorting=False)
    agree("treelib", treelib_text.rstrip("\n").replace("+-- ", "`-- "), drawn)
    return (timed("str(tree)", tree=ours), [
        Peer("anytree", timed("RenderTree(root, style=style).by_attr()", RenderTree=RenderTree, root=root,
                              style=TREE_LINES), "RenderTree with the same line art"),
        Peer("treelib", timed("tree.show(stdout=False, line_type='ascii', sorting=False)", tree=other),
             "show(stdout=False); '+-- ' before the last child"),
    ])


def measure(name: str, ours: Contender, peers: list[Peer], rounds: int, target: float) -> list[Row]:
    """One row per peer: both times per call and how many times faster ours is."""
    contenders = {"ours": ours} | {peer.name: peer.contender for peer in peers if peer.contender}
    per_round = time_rounds(contenders, rounds, target)
    rows = []
    for peer in peers:
        times = per_round.get(peer.name)
        rows.append(Row(name, peer.name, statistics.median(per_round["ours"]),
                        times and statistics.median(times),
                        times and median_ratio(times, per_round["ours"]), peer.note))
    return rows


HEADER = ("case", "peer", "ours per call", "peer per call", "ours is faster by", "note")


def cells(row: Row) -> tuple[str, ...]:
    def when(value, text):
        return "-" if value is None else text(value)
    return (row.case, f"{row.peer} {version(row.peer)}", when(row.ours_s, lambda s: format_time(s * 1e9)),
            when(row.peer_s, lambda s: format_time(s * 1e9)), when(row.faster, lambda x: f"{x:.1f}x"),
            row.note or "")


def table(rows: list[Row]) -> list[tuple[str, ...]]:
    """The cells of each row; a case's name and our time stand on its first row only."""
    out, previous = [], None
    for row in rows:
        text = cells(row)
        out.append(text if row.case != previous else ("", text[1], "") + text[3:])
        previous = row.case
    return out


def restructuredtext(rows: list[Row], about: str) -> str:
    return "\n".join([".. Written by `make bench-peers` (benchmarks/peers.py); do not edit.", "",
                      rst_text(about), "", rst_list_table(HEADER, table(rows))])


def chart(rows: list[Row], about: str, path: Path) -> None:
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib import pyplot

    timed_rows = [row for row in rows if row.faster is not None]
    cases = list(dict.fromkeys(row.case for row in timed_rows))
    colours = pyplot.get_cmap("tab10")
    figure, axes = pyplot.subplots(figsize=(11, 0.34 * len(timed_rows) + 1.6), dpi=110)
    positions = range(len(timed_rows))[::-1]
    bars = axes.barh(positions, [row.faster for row in timed_rows],
                     color=[colours(cases.index(row.case) % 10) for row in timed_rows])
    axes.set_yticks(list(positions), [f"{row.case}: {row.peer}" for row in timed_rows], fontsize=8)
    axes.set_xscale("log")
    axes.axvline(1, color="black", linewidth=0.8)
    axes.bar_label(bars, [f"{row.faster:.1f}x" for row in timed_rows], padding=3, fontsize=8)
    axes.set_xlim(min(0.5, min(row.faster for row in timed_rows) / 2), max(row.faster for row in timed_rows) * 3)
    axes.set_xlabel('times faster than the peer (log scale; 1 = as fast)')
    figure.suptitle("morvath.datastructures against its peers\n" + textwrap.fill(about, 150), fontsize=8)
    figure.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, format="png")
    pyplot.close(figure)


def describe(args) -> str:
    versions = ", ".join(f"{name} {version(name)}" for name in PEERS)
    return (f"One run of benchmarks/peers.py on a shared 2-core machine ({machine()}): process CPU time, "
            f"medians of {args.rounds} interleaved rounds' ratios, garbage collector on. Peers: {versions}.")


def main() -> int:
    parser = option_parser(__doc__.splitlines()[0])
    parser.add_argument("--png", type=Path, help="write the bar chart here")
    parser.add_argument("--rst", type=Path, help="write the table here as reStructuredText")
    args = arguments(parser=parser)
    rows = []
    for name, factory in CASES:
        if args.pattern in name:
            rows += measure(name, *factory(), args.rounds, args.target)
            print(f"measured: {name}", file=sys.stderr, flush=True)
    about = describe(args)
    print(about + "\n")
    print(markdown_table(HEADER, table(rows)))
    if args.quick and (args.rst or args.png):
        print("--quick measures nothing: the table and the chart are left as they are", file=sys.stderr)
        return 0
    if args.rst:
        args.rst.parent.mkdir(parents=True, exist_ok=True)
        args.rst.write_text(restructuredtext(rows, about))
    if args.png:
        chart(rows, about, args.png)
    return 0


if __name__ == "__main__":
    sys.exit(main())
