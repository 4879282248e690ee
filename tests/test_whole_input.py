"""Whole-input passes: duplicate clusters and the structure graphs."""

import ast
import random
from dataclasses import dataclass

import pytest

import velmora as v
from velmora_scan import analyze_source, clusters, structure
from velmora_scan.analysis import measure_tree
from velmora_scan.model import FileReport, FunctionReport


def record(kinds: bytes, line=1, lines=10, statements=10, assign_only=False, **kw) -> FunctionReport:
    base = dict(file="m.py", module="m", qualname=f"f{line}", owner="", line=line, first_line=line, column=0,
                end_line=line + lines - 1, cyclomatic=1, cognitive=0, essential=1, nesting=0, longest_path=1,
                betti_1=0, components=1, entropy=0.5, entropy_label="", blocks=2, edges=1,
                statements=statements, assign_only=assign_only, kinds=kinds)
    base.update(kw)
    return FunctionReport(**base)


def mutate(rng: random.Random, seq: bytes, edits: int) -> bytes:
    out = bytearray(seq)
    for _ in range(edits):
        pos = rng.randrange(len(out))
        op = rng.randrange(3)
        if op == 0:
            out[pos] = rng.randrange(100)
        elif op == 1:
            del out[pos]
        else:
            out.insert(pos, rng.randrange(100))
    return bytes(out)


def test_families_become_clusters_with_exact_counts_to_the_representative():
    rng = random.Random(7)
    functions, family_of = [], []
    for fam in range(12):
        base = bytes(rng.randrange(100) for _ in range(rng.randrange(60, 160)))
        for _ in range(rng.randrange(2, 6)):
            functions.append(record(mutate(rng, base, rng.randrange(0, 4)), line=len(functions) * 20 + 1,
                                    lines=5 + fam))
            family_of.append(fam)
    # Unrelated noise, and lookalikes that the filters must drop.
    functions += [record(bytes(rng.randrange(100) for _ in range(90)), line=5000 + i) for i in range(200)]
    family_of += [None] * 200
    functions += [record(functions[0].kinds, line=9000, statements=4),
                  record(functions[0].kinds, line=9100, assign_only=True)]
    family_of += [None, None]

    found = clusters.find_clusters(functions)
    assert found.skipped == {"small": 1, "assign_only": 1}
    got = {frozenset(m.function for m in c.members) for c in found.clusters}
    want = {frozenset(i for i, f in enumerate(family_of) if f == fam) for fam in range(12)}
    assert got == want
    weights = [c.weight for c in found.clusters]
    assert weights == sorted(weights, reverse=True)
    for c in found.clusters:
        rep = functions[c.representative]
        assert c.members[0].function == c.representative and c.weight == c.lines * (len(c.members) - 1)
        for m in c.members[1:]:
            distance, ops = v.compute_sequence_distance(list(rep.kinds.decode("latin-1")),
                                                        list(functions[m.function].kinds.decode("latin-1")))
            assert (m.distance, m.insertions, m.deletions, m.substitutions) == (
                distance, ops["insertions"], ops["deletions"], ops["substitutions"])
            assert m.similarity >= clusters.DEFAULT_MIN_SIMILARITY


def model_pairs(seqs: list[bytes], threshold: float) -> dict[tuple[int, int], int]:
    """The search as first written in Python (sketch, bands, windows,
    families, exact distances): the native search must find the same
    pairs, in the same order, with the same distances."""
    import bisect
    import zlib
    from collections import Counter

    mask, mix, empty = (1 << 64) - 1, 0x9E3779B97F4A7C15, 0x5851F42D4C957F2D
    bins = clusters.BANDS * clusters.ROWS

    def keys(s: bytes) -> list[int]:
        grams = Counter(s[i:i + 4] for i in range(max(1, len(s) - 3)))
        hashes = sorted((zlib.crc32(g, k) * mix) & mask for g, n in grams.items() for k in range(n))
        filled = {}
        for h in reversed(hashes):
            filled[h % bins] = h
        out, nxt = [filled.get(b) for b in range(bins)], min(filled) + bins
        for b in range(bins - 1, -1, -1):
            if out[b] is None:
                out[b] = (filled[nxt % bins] ^ ((nxt - b) * empty)) & mask
            else:
                nxt = b
        found = []
        for lo in range(0, bins, clusters.ROWS):
            key = 0
            for x in out[lo:lo + clusters.ROWS]:
                key = ((key ^ x) * mix) & mask
            found.append(key)
        return found

    lengths = [len(s) for s in seqs]
    checked, found, near = set(), {}, [[] for _ in seqs]

    def check(i, j):
        i, j = min(i, j), max(i, j)
        if (i, j) in checked:
            return False
        checked.add((i, j))
        longer = max(lengths[i], lengths[j])
        if min(lengths[i], lengths[j]) < threshold * longer:
            return False
        d = v.compute_sequence_distance(list(seqs[i].decode("latin-1")), list(seqs[j].decode("latin-1")))[0]
        if 1.0 - d / longer < threshold:
            return False
        found[(i, j)] = d
        near[i].append(j)
        near[j].append(i)
        return True

    sketch = [keys(s) for s in seqs]
    order = sorted(range(len(seqs)), key=lambda i: (lengths[i], i))
    buckets = [{} for _ in range(clusters.BANDS)]
    for i in order:
        for band, key in enumerate(sketch[i]):
            buckets[band].setdefault(key, []).append(i)
    for i in order:
        mates = []
        for band, key in enumerate(sketch[i]):
            bucket = buckets[band][key]
            if len(bucket) > 1:
                at = bisect.bisect_left(bucket, lengths[i], key=lengths.__getitem__)
                mates += bucket[at:at + clusters.WINDOW + 1]
        for j, agree in Counter(mates).items():
            li, lj = lengths[i], lengths[j]
            if agree >= clusters.MIN_BANDS and (lj > li or (lj == li and j > i)) and li >= threshold * lj:
                check(i, j)
    work = sorted(found)
    while work:
        a, b = work.pop()
        for x, y in ((a, b), (b, a)):
            for z in near[x][:clusters.FAMILY]:
                if z != y and check(y, z):
                    work.append((min(y, z), max(y, z)))
    return found


@pytest.mark.parametrize("threshold", [0.8, 0.6])
def test_the_native_search_finds_what_the_model_finds_in_its_order(threshold):
    rng = random.Random(11)
    seqs = []
    for _ in range(40):
        # Families from a few kinds to long multi-word sequences; near-equal
        # lengths and repeated grams everywhere.
        base = bytes(rng.randrange(rng.choice((3, 8, 100))) for _ in range(rng.choice((2, 6, 30, 70, 150, 300))))
        seqs += [mutate(rng, base, rng.randrange(0, 1 + len(base) // 4)) if len(base) > 1 else base
                 for _ in range(rng.randrange(1, 8))]
    seqs = list(dict.fromkeys(s for s in seqs if s))
    want = model_pairs(seqs, threshold)
    pairs, compared, distances = clusters.near_pairs(seqs, threshold)
    assert [(i, j) for i, j, _ in pairs] == list(want)
    assert [d for _, _, d in pairs] == list(want.values())
    assert len(want) <= distances <= compared


@pytest.mark.parametrize("threshold, size", [(0.95, 5), (0.5, 5), (0.8, 200)])
def test_options_bound_what_is_reported(threshold, size):
    rng = random.Random(3)
    base = bytes(rng.randrange(100) for _ in range(100))
    functions = [record(mutate(rng, base, k), line=k * 10 + 1, statements=10 * k + 5) for k in range(12)]
    found = clusters.find_clusters(functions, min_similarity=threshold, min_statements=size)
    members = [m for c in found.clusters for m in c.members]
    assert all(m.similarity >= threshold for m in members)
    assert all(functions[m.function].statements >= size for m in members)
    assert len({m.function for m in members}) == len(members)


@dataclass
class Src:
    path: str
    module: str
    text: str


def files_of(*sources: Src) -> list[FileReport]:
    return [analyze_source(s.text, s.path, s.module) for s in sources]


PACKAGE = [
    Src("pkg/__init__.py", "pkg", "from .core import run\n"),
    Src("pkg/core.py", "pkg.core", (
        "import os\nfrom . import util\nfrom .util import helper as h\nimport pkg.extra\n\n"
        "class Job:\n    def __init__(self):\n        self.go()\n    def go(self):\n        return self.missing()\n\n"
        "def run(x):\n    def inner():\n        return h(x)\n"
        "    Job()\n    util.helper(1)\n    pkg.extra.more()\n    os.getcwd()\n    len(x)\n    x.strip()\n"
        "    super().f()\n    return inner()\n"
    )),
    Src("pkg/util.py", "pkg.util", "def helper(x):\n    from .core import run\n    return helper(x - 1) if x else run\n"),
    Src("pkg/extra.py", "pkg.extra", "from pkg.core import Job\ndef more():\n    return Job().go()\n"),
    # A second file of the same module name is shadowed: no edge from or to it.
    Src("old/pkg/util.py", "pkg.util", "def again(x):\n    return helper(x)\n"),
    # Test code is in neither graph unless asked for.
    Src("pkg/tests/test_core.py", "pkg.tests.test_core", "from pkg.core import run\ndef test_run():\n    run(1)\n"),
]


def test_imports_calls_and_counts_resolve_as_documented():
    files = files_of(*PACKAGE)
    s = structure.analyse(files)
    fns = [f for r in files for f in r.functions]
    name = {i: f"{f.module}:{f.qualname}" for i, f in enumerate(fns)}
    edges = {(s.modules[e.source], s.modules[e.target], e.top_level) for e in s.imports}
    assert edges == {("pkg", "pkg.core", True), ("pkg.core", "pkg.util", True), ("pkg.core", "pkg.extra", True),
                     ("pkg.util", "pkg.core", False), ("pkg.extra", "pkg.core", True)}
    calls = {(name[e.caller], name[e.callee], e.count) for e in s.calls}
    assert calls == {
        ("pkg.core:Job.__init__", "pkg.core:Job.go", 1),
        ("pkg.core:run", "pkg.core:run.<locals>.inner", 1),
        ("pkg.core:run.<locals>.inner", "pkg.util:helper", 1),
        ("pkg.core:run", "pkg.core:Job.__init__", 1),
        ("pkg.core:run", "pkg.util:helper", 1),
        ("pkg.core:run", "pkg.extra:more", 1),
        ("pkg.extra:more", "pkg.core:Job.__init__", 1),
    }
    c = s.call_counts
    # self.missing(), x.strip(), super().f(), Job().go() and the shadowed file's call stay unresolved; helper() is
    # recursive; len() and super() are builtins.
    assert (c.resolved, c.recursive, c.builtin, c.external, c.unresolved) == (8, 1, 2, 1, 5)
    assert c.sites == c.resolved + c.builtin + c.external + c.unresolved
    # The import-time cycle: pkg.core <-> pkg.extra (pkg.util's import of core is deferred).
    assert [[s.modules[i] for i in cyc.cycle] for cyc in s.cycles] == [["pkg.core", "pkg.extra", "pkg.core"]]
    assert [len(cyc.members) for cyc in s.deferred_cycles] == [3]
    fan = {name[i]: (s.fan_in[i], s.fan_out[i]) for i in name}
    assert fan["pkg.core:run"] == (0, 4) and fan["pkg.core:Job.go"] == (1, 0)
    core = s.modules.index("pkg.core")
    assert (s.module_fan_in[core], s.module_fan_out[core]) == (3, 2)
    assert s.tests_left_out == 1
    with_tests = structure.analyse(files, tests=True)
    assert with_tests.call_counts.resolved == c.resolved + 1 and with_tests.module_fan_in[core] == 4


def test_test_code_is_named_by_the_path_below_the_input():
    root = "/home/tests/p/"  # above the input: not a reason
    names = ["pkg/a.py", "pkg/test/b.py", "pkg/c_test.py", "pkg/test.py", "conftest.py", "pkg/tests.py",
             "idle_test/x.py", "testing/y.py", "test_z.pyi", "pkg/contest.py"]
    found = structure.test_code([root + n for n in names])
    assert sorted(p[len(root):] for p in found) == sorted(
        ["pkg/test/b.py", "pkg/c_test.py", "conftest.py", "pkg/tests.py", "idle_test/x.py", "test_z.pyi"])
    assert structure.test_code(["tests/test_a.py", "tests/util.py"]) == {"tests/test_a.py"}


# (source, the modules whose import runs when the module is imported); both engines must agree.
IMPORT_GUARDS = [
    ("if __name__ == '__main__':\n    import a\nimport b", "b"),
    ("if '__main__' == __name__:\n    import a\n    if x:\n        import b", ""),
    ("if TYPE_CHECKING:\n    import a\n    class C:\n        def f(self): import c\nelse:\n    import b", "b"),
    ("if x:\n    pass\nelif typing.TYPE_CHECKING:\n    from . import a\nelse:\n    import b", "b"),
    # Platform and version tests and optional imports do run on import, somewhere.
    ("if sys.platform == 'win32':\n    import a\ntry:\n    import b\nexcept ImportError:\n    import c", "abc"),
    # Only the exact forms count.
    ("if __name__ != '__main__':\n    import a\nif __name__ == '__main__' or x:\n    import b\n"
     "if __name__ == b'__main__':\n    import c\nif a.b.TYPE_CHECKING:\n    import d\nif not TYPE_CHECKING:\n"
     "    import e", "abcde"),
    ("def f():\n    if TYPE_CHECKING:\n        import a\n    import b", ""),
]


@pytest.mark.parametrize("src, at_import", IMPORT_GUARDS)
def test_imports_under_a_main_or_type_checking_guard_are_not_import_time(src, at_import):
    tree = ast.parse(src)
    native, reference = (measure_tree(tree, src, block_size=64, count_bool_ops=False, engine=e)
                         for e in ("native", "reference"))
    assert native == reference
    imports = reference[1]
    assert "".join(m or n for _, m, n, _, top, _ in imports if top) == at_import


def test_a_long_import_ring_is_one_cycle_without_recursion():
    n = 5000
    files = [FileReport(f"m{i}.py", f"m{i}", "ok", "", imports=((0, f"m{(i + 1) % n}", "", "", True, 1),))
             for i in range(n)]
    s = structure.analyse(files)
    (cycle,) = s.cycles
    assert len(cycle.members) == n and len(cycle.cycle) == n + 1 and cycle.cycle[0] == cycle.cycle[-1]


def test_the_one_link_between_two_dense_packages_is_the_worst_bottleneck():
    containers: list[str] = []
    pairs: list[tuple[int, int]] = []

    def package(name, size):
        first = len(containers)
        containers.extend([name] * size)
        pairs.extend((first + a, first + b) for a in range(size) for b in range(a + 1, size))
        return first

    a, b, c, e, d = package("a", 6), package("b", 6), package("c", 6), package("e", 3), package("d", 2)
    pairs.remove((e, e + 2))  # e is a path: its ends are less connected than b's
    util = package("util", 3)
    ring = [package(f"s{i}", 1) for i in range(10)]
    pairs += [(ring[i], ring[(i + 1) % 10]) for i in range(10)]
    pairs += [(x, util) for x in [a, b, c, e, d, *ring]]  # everything uses util: shared ground, no bottleneck
    pairs += [(a, b)]  # the one narrow link
    pairs += [(a + 1, e), (a + 2, e + 2)]  # two links, to the ends of a path
    pairs += [(c + i, b + i) for i in range(3)]  # three links: not narrow
    pairs += [(a + 3, d)]  # d is too small to be a part
    worst, narrow, shared = structure.bottlenecks(containers, pairs, 10)
    assert [(w.source, w.target, len(w.links)) for w in worst] == [(a, b, 1), (a + 1, e, 2)]
    assert worst[0].curvature < worst[1].curvature < 0
    assert (worst[0].source_part, worst[0].target_part, worst[0].source_size) == ("a", "b", 6)
    assert narrow == 2 and [containers[i] for i in shared] == ["util"]
    # In the whole graph every edge at util would be more negative than the link.
    whole = {(r.source, r.target): r.curvature for r in v.balanced_forman_curvature(
        [v.WeightedEdge(x, y) for x, y in sorted({(min(p), max(p)) for p in pairs})])}
    assert min(whole.values()) < whole[(a, b)]
