"""A short run through every entry point, including error paths, for the
memcheck step of scripts/check.sh: small inputs, so that it finishes in
well under a minute under valgrind."""

import random

import velmora as v

K = v.EdgeKind
rng = random.Random(5)

span = v.SourceSpan("f.py", 0, 10, 1, 0, 2, 4)
native = v.NativeRef("parser", "1.0", "Call")
leaf = v.UASTNode("name", "py", span, native, {"id": "x", "ctx": "load"})
node = v.UASTNode("call", "py", span, native, None, (leaf, leaf), "n1")
deep = leaf
for i in range(2000):
    deep = v.UASTNode("wrap", "py", span, native, None, [deep], str(i))

n = 200
blocks = {i: v.BasicBlock(i, [node] * (i % 3), f"b{i}") for i in range(n)}
blocks[n] = v.BasicBlock(n, [deep])
kinds = [K.UNCONDITIONAL, K.TRUE, K.FALSE, K.BREAK, K.SWITCHCASE, K.RETURN, K.EXCEPTION]
edges = [v.CFGEdge(i, min(n - 1, i + rng.randrange(1, 4)), rng.choice(kinds)) for i in range(n - 1)]
edges += [v.CFGEdge(rng.randrange(1, n), rng.randrange(n), rng.choice([K.LOOPBACK, K.CONTINUE])) for _ in range(40)]
edges += [v.CFGEdge(3, 3, K.LOOPBACK), v.CFGEdge(5, 999, K.TRUE)]
for entry in (0, 7, 12345):
    g = v.ControlFlowGraph(blocks, edges, entry, n - 1)
    assert g.cyclomatic_complexity() >= 1
    g.connected_components(), g.essential_complexity(), g.max_nesting_depth(), g.longest_acyclic_path()
    basis = g.cycle_basis()
    assert basis.betti_1 == len(basis.cycles)
    for c in basis.cycles:
        assert c.blocks[0] == c.blocks[-1] and len(c.edges) == len(c.blocks) - 1
        c.back_edge.kind
    len(g.blocks[n].statements[0].children), g.edges[-1].target
try:
    v.ControlFlowGraph(blocks, edges + [v.CFGEdge(1, 0, K.UNCONDITIONAL)]).longest_acyclic_path()
except BaseException as e:  # noqa: BLE001 - the panic class is not bound
    assert type(e).__name__ == "PanicException"

wedges = [v.WeightedEdge(rng.randrange(60), rng.randrange(60), rng.choice([1.0, 0.5, 0.0, -1.0, float("nan")]))
          for _ in range(800)]
assert len(v.balanced_forman_curvature(wedges)) > 0
assert len(v.directed_forman_curvature(wedges, {i: 0.5 + i for i in range(0, 60, 2)})) > 0

text = "".join(rng.choice(["def f():\r\n", "  return 1\n", "é", "\r", "x = [i for i in y]\n"]) for _ in range(3000))
for size in (0, 1, 7, 64, 1000, 2**64 - 1):
    v.calculate_block_entropy(text, size), v.calculate_entropy_variance(text, size)
v.calculate_kolmogorov_proxy(text), v.calculate_entropy_detailed(text).interpretation
v.calculate_entropy_detailed("").interpretation

words = [rng.choice(["a", "bb", "if", "for", "é"]) for _ in range(700)]
other = [rng.choice(["a", "bb", "while", "é"]) for _ in range(650)]
assert v.compute_sequence_distance(words, other)[0] > 0

for bad in (lambda: v.ControlFlowGraph(blocks, edges + ["x"]), lambda: v.UASTNode("k", "py", span, native, {"a": 1}),
            lambda: v.compute_sequence_distance(words, other + ["\ud800"]), lambda: v.SourceSpan(None, 1, 2, 3, 4, 5, -1),
            lambda: v.directed_forman_curvature(wedges, {1: "w"}), lambda: v.BasicBlock(1, "statements"),
            lambda: v.calculate_block_entropy(text, -1), lambda: K.TRUE < K.FALSE):
    try:
        bad()
    except (TypeError, OverflowError, UnicodeEncodeError):
        pass
    else:
        raise AssertionError("expected a conversion error")
# velmora-scan's native path: every construct of the bundled sample and a
# few the sample lacks, the nested bodies, match guards and type aliases.
import ast  # noqa: E402
import os  # noqa: E402

from velmora_scan import native  # noqa: E402
from velmora_scan.discover import SAMPLE  # noqa: E402

extra = ("def g(x, y=lambda q: q if q else 0):\n    match x:\n        case [a] if a and y: return a\n"
         "        case _: pass\n    type A[T] = list[T]\n    class K(B if x else C):\n        def m(self):\n"
         "            return [i for i in self.m() if i] or self.m()\n    try:\n        pass\n    except* E:\n"
         "        raise\n    async def h():\n        async for i in y:\n            await i\n")
sources = [extra] + [open(os.path.join(SAMPLE, n), encoding="utf-8").read() for n in sorted(os.listdir(SAMPLE))
                     if n.endswith(".py")]
for src in sources:
    for bool_ops in (False, True):
        assert native.analyze(ast.parse(src), src, 64, bool_ops)[2] > 0
print("memcheck workload done")
