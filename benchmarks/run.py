"""velmora against the libraries its users would otherwise pick.

    python benchmarks/run.py [--quick] [--area AREA ...] [--results FILE]

Every contender gets the same, seeded input in this one process; each time
is the median of several runs after a warm-up (see harness.py).  Ratios are
velmora's median over the peer's; a ratio above the target is marked MISS.
Peak memory, where it matters, is measured in child processes
(memprobe.py), because tracemalloc does not see C++ allocations.
"""

from __future__ import annotations

import argparse
import datetime
import importlib
import importlib.metadata
import os
import platform
import random
import shutil
import subprocess
import sys
import tempfile
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import analyzer  # noqa: E402
import gen_cfg  # noqa: E402
import gen_graph  # noqa: E402
import gen_text  # noqa: E402
import harness  # noqa: E402
import plain  # noqa: E402
import reference  # noqa: E402
from harness import Growth, Row, median_time  # noqa: E402

import velmora as v  # noqa: E402


KEPT = "<!-- recorded by other benchmark scripts; run.py keeps what follows -->"


def _optional(name: str):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


rx = _optional("rustworkx")
nx = _optional("networkx")
rapidfuzz = _optional("rapidfuzz")
editdistance = _optional("editdistance")
grc = _optional("GraphRicciCurvature.FormanRicci")


class Ctx:
    def __init__(self, settings: harness.Settings):
        self.s = settings
        self.corpus: str | None = None
        self.rows: list[Row] = []
        self.growth: list[Growth] = []
        self._series: dict[tuple[str, str, str], tuple[list[float], list[float], str]] = {}

    def time(self, fn) -> float | None:
        try:
            return median_time(fn, self.s)
        except NotImplementedError:
            return None

    def add(self, row: Row) -> Row:
        self.rows.append(row)
        print(harness.render_text([row]).splitlines()[-1], file=sys.stderr, flush=True)
        return row

    def series(self, area: str, op: str, who: str, size: float, t: float | None, expected: str) -> None:
        if t is None:
            return
        sizes, times, _ = self._series.setdefault((area, op, who), ([], [], expected))
        sizes.append(size)
        times.append(t)

    def finish_growth(self) -> None:
        for (area, op, who), (sizes, times, expected) in self._series.items():
            if len(sizes) >= 2:
                self.growth.append(Growth(area, op, who, sizes, times, expected))


def _call(fn):
    """Result of ``fn``, or None while the operation is not implemented."""
    try:
        return fn()
    except NotImplementedError:
        return None


def _mem(case: str, size: int, who: str) -> str:
    mib = harness.measure_in_child(case, size, who)
    return "?" if mib is None else f"{mib:.1f} MiB"


# ---------------------------------------------------------------- control flow


def bench_cfg(ctx: Ctx) -> None:
    sizes = [1_000, 10_000] if ctx.s.quick else [1_000, 10_000, 100_000, 1_000_000]
    for size in sizes:
        n, edges = gen_cfg.program(size)
        label = f"{n:,} blocks / {len(edges):,} edges"
        blocks, cfg_edges = gen_cfg.to_velmora_parts(v, n, edges)
        vg = v.ControlFlowGraph(blocks, cfg_edges, 0, 1)

        # Conversion, timed apart from the computations below.
        t_v = ctx.time(lambda: v.ControlFlowGraph(blocks, cfg_edges, 0, 1))
        ctx.series("cfg", "ControlFlowGraph(...)", "velmora", n, t_v, "1 (linear)")
        if rx:
            t_p = ctx.time(lambda: gen_cfg.to_rustworkx(rx, n, edges))
            ctx.add(Row("cfg", "graph from prepared data", label, t_v, "rustworkx PyDiGraph", t_p,
                        note="conversion only; not a target"))
        if nx:
            t_p = ctx.time(lambda: gen_cfg.to_networkx(nx, n, edges))
            ctx.add(Row("cfg", "graph from prepared data", label, t_v, "networkx DiGraph", t_p,
                        note="conversion only; not a target"))

        rg = gen_cfg.to_rustworkx(rx, n, edges) if rx else None
        ng = gen_cfg.to_networkx(nx, n, edges) if nx and size <= 1_000_000 else None

        comp = _call(vg.connected_components)
        t_v = ctx.time(vg.connected_components)
        ctx.series("cfg", "connected_components", "velmora", n, t_v, "1 (linear)")
        if rg is not None:
            t_p = ctx.time(lambda: rx.number_weakly_connected_components(rg))
            ctx.series("cfg", "connected_components", "rustworkx", n, t_p, "1")
            ok = None if comp is None else comp == rx.number_weakly_connected_components(rg)
            ctx.add(Row("cfg", "connected_components", label, t_v, "rustworkx wcc", t_p, 1.0, ok=ok))
        if ng is not None:
            t_p = ctx.time(lambda: nx.number_weakly_connected_components(ng))
            ctx.series("cfg", "connected_components", "networkx", n, t_p, "1")
            ok = None if comp is None else comp == nx.number_weakly_connected_components(ng)
            ctx.add(Row("cfg", "connected_components", label, t_v, "networkx wcc", t_p, 0.05, ok=ok))

        cyc = _call(vg.cyclomatic_complexity)
        t_v = ctx.time(vg.cyclomatic_complexity)
        ctx.series("cfg", "cyclomatic_complexity", "velmora", n, t_v, "1 (linear)")
        if rg is not None:
            def rx_cyclomatic():
                return max(1, rg.num_edges() - rg.num_nodes() + 2 * rx.number_weakly_connected_components(rg))

            t_p = ctx.time(rx_cyclomatic)
            ok = None if cyc is None else cyc == rx_cyclomatic()
            ctx.add(Row("cfg", "cyclomatic_complexity", label, t_v, "rustworkx E-N+2P", t_p, 1.0, ok=ok))
        if ng is not None:
            def nx_cyclomatic():
                return max(1, ng.number_of_edges() - ng.number_of_nodes() + 2 * nx.number_weakly_connected_components(ng))

            t_p = ctx.time(nx_cyclomatic)
            ctx.add(Row("cfg", "cyclomatic_complexity", label, t_v, "networkx E-N+2P", t_p, 0.05,
                        note="networkx merges parallel edges, so its E differs"))

        kinds = [k for _, _, k in edges]
        jumps = {gen_cfg.BREAK, gen_cfg.CONTINUE, gen_cfg.RETURN}
        t_v = ctx.time(vg.essential_complexity)
        t_p = ctx.time(lambda: 1 + sum(1 for k in kinds if k in jumps))
        ctx.series("cfg", "essential_complexity", "velmora", n, t_v, "1 (linear)")
        ess = _call(vg.essential_complexity)
        ctx.add(Row("cfg", "essential_complexity", label, t_v, "Python count over kinds", t_p,
                    ok=None if ess is None else ess == 1 + sum(1 for k in kinds if k in jumps),
                    note="no library peer; not a target"))

        t_v = ctx.time(vg.longest_acyclic_path)
        ctx.series("cfg", "longest_acyclic_path", "velmora", n, t_v, "1 (linear)")
        if rx:
            rfg = gen_cfg.to_rustworkx(rx, n, edges, forward_only=True)
            t_p = ctx.time(lambda: rx.dag_longest_path_length(rfg))
            ctx.series("cfg", "longest_acyclic_path", "rustworkx", n, t_p, "1")
            ctx.add(Row("cfg", "longest_acyclic_path", label, t_v, "rustworkx dag_longest_path_length", t_p, 1.0,
                        note="peer on the forward graph; it answers the longest path anywhere"))
            del rfg
        if ng is not None:
            nfg = gen_cfg.to_networkx(nx, n, edges, forward_only=True)
            t_p = ctx.time(lambda: nx.dag_longest_path_length(nfg))
            ctx.series("cfg", "longest_acyclic_path", "networkx", n, t_p, "1")
            ctx.add(Row("cfg", "longest_acyclic_path", label, t_v, "networkx dag_longest_path_length", t_p, 0.05,
                        note="peer on the forward graph"))
            del nfg
        del ng, rg


def bench_nesting(ctx: Ctx) -> None:
    # Every function here opens with a while loop, so a TRUE edge lies on a
    # cycle and the passes run to the limit of twice the block count.
    sizes = [10, 100, 1_000] if ctx.s.quick else [10, 100, 1_000, 10_000]
    for size in sizes:
        n, edges = gen_cfg.function(size)
        vg = gen_cfg.to_velmora(v, n, edges)
        visits = 2 * n * len(edges)
        t_v = ctx.time(vg.max_nesting_depth)
        ctx.series("nesting", "max_nesting_depth", "velmora", n, t_v, "2 (blocks x edges)")
        # No library computes this metric, so the row has no peer and no
        # target; the cost per edge visit is what to watch.
        note = "" if t_v is None else f"{t_v / visits * 1e9:.2f} ns per edge visit ({visits:,} visits); no peer"
        ctx.add(Row("nesting", "max_nesting_depth", f"{n:,} blocks / {len(edges):,} edges", t_v, note=note))


def bench_cycles(ctx: Ctx) -> None:
    sizes = [1_000, 10_000] if ctx.s.quick else [1_000, 10_000, 100_000, 1_000_000]
    for size in sizes:
        n, edges = gen_cfg.program(size)
        label = f"{n:,} blocks / {len(edges):,} edges"
        vg = gen_cfg.to_velmora(v, n, edges)

        def velmora_read():
            return [c.blocks for c in vg.cycle_basis().cycles]

        res = _call(vg.cycle_basis)
        t_v = ctx.time(velmora_read)
        ctx.series("cycles", "cycle_basis + blocks", "velmora", n, t_v, "1 (output size)")
        count = None if res is None else res.betti_1
        del res
        if rx:
            rg = gen_cfg.to_rustworkx(rx, n, edges, directed=False)
            t_p = ctx.time(lambda: rx.cycle_basis(rg, 0))
            ctx.series("cycles", "cycle_basis + blocks", "rustworkx", n, t_p, "1")
            peer_count = len(rx.cycle_basis(rg, 0))
            ctx.add(Row("cycles", "cycle_basis() + cycles[i].blocks", label, t_v, "rustworkx cycle_basis", t_p, 1.0,
                        note=f"cycles: velmora {count}, rustworkx {peer_count} (simple graph)"))
            del rg
        if nx and size <= 1_000_000:
            ng = gen_cfg.to_networkx(nx, n, edges, directed=False)
            t_p = ctx.time(lambda: nx.cycle_basis(ng, 0))
            ctx.series("cycles", "cycle_basis + blocks", "networkx", n, t_p, "1")
            peer_count = len(nx.cycle_basis(ng, 0))
            ctx.add(Row("cycles", "cycle_basis() + cycles[i].blocks", label, t_v, "networkx cycle_basis", t_p, 0.05,
                        note=f"cycles: velmora {count}, networkx {peer_count} (simple graph)"))
            del ng
        # Where the time goes: the computation alone, and a full read-out.
        t_c = ctx.time(vg.cycle_basis)

        def full_read():
            return [(c.blocks, c.edges, c.back_edge) for c in vg.cycle_basis().cycles]

        t_f = ctx.time(full_read)
        ctx.add(Row("cycles", "cycle_basis() alone", label, t_c, note="no read-out"))
        ctx.add(Row("cycles", "cycle_basis() + blocks, edges, back_edge", label, t_f, note="full read-out"))
    if not ctx.s.quick:
        ctx.rows[-1].memory = (
            f"velmora {_mem('cycle_basis', sizes[-1], 'velmora')}, rustworkx {_mem('cycle_basis', sizes[-1], 'rustworkx')}"
        )


# ---------------------------------------------------------------- compression


def bench_compression(ctx: Ctx) -> None:
    sizes = [10_000, 100_000] if ctx.s.quick else [10_000, 100_000, 1_000_000, 10_000_000]
    for size in sizes:
        text = gen_text.source_text(size)
        label = f"{size:,} chars"
        got = _call(lambda: v.calculate_kolmogorov_proxy(text))
        t_v = ctx.time(lambda: v.calculate_kolmogorov_proxy(text))
        t_p = ctx.time(lambda: zlib.compress(text.encode(), 9))
        ctx.series("compression", "calculate_kolmogorov_proxy", "velmora", size, t_v, "1")
        ctx.series("compression", "calculate_kolmogorov_proxy", "zlib.compress", size, t_p, "1")
        ok = None if got is None else got == reference.kolmogorov_proxy(text)
        ctx.add(Row("compression", "calculate_kolmogorov_proxy", label, t_v, "zlib.compress(text.encode(), 9)", t_p,
                    1.05, ok=ok))

        got = _call(lambda: v.calculate_block_entropy(text, 64))
        t_v = ctx.time(lambda: v.calculate_block_entropy(text, 64))
        t_p = ctx.time(lambda: reference.block_entropy(text, 64))
        ctx.series("compression", "calculate_block_entropy(64)", "velmora", size, t_v, "1")
        ctx.series("compression", "calculate_block_entropy(64)", "Python loop", size, t_p, "1")
        ok = None if got is None else got == reference.block_entropy(text, 64)
        row = ctx.add(Row("compression", "calculate_block_entropy(text, 64)", label, t_v, "Python per-block zlib loop",
                          t_p, 0.2, ok=ok))
        if size == sizes[-1] and not ctx.s.quick:
            row.memory = f"velmora {_mem('block_entropy', size, 'velmora')}, Python {_mem('block_entropy', size, 'python')}"

        t_v = ctx.time(lambda: v.calculate_block_entropy(text, 4096))
        t_p = ctx.time(lambda: reference.block_entropy(text, 4096))
        ctx.add(Row("compression", "calculate_block_entropy(text, 4096)", label, t_v, "Python per-block zlib loop",
                    t_p, note="no target at this block size"))


# ---------------------------------------------------------------- edit distance


def bench_distance(ctx: Ctx) -> None:
    from_rf = None
    if rapidfuzz:
        from rapidfuzz.distance import Levenshtein as from_rf
    sizes = [100, 1_000] if ctx.s.quick else [100, 1_000, 10_000, 100_000]
    py_limit = 1_000
    for size in sizes:
        src, dst = (list(x) for x in gen_text.token_pair(size))
        label = f"{len(src):,} x {len(dst):,} tokens"
        got = _call(lambda: v.compute_sequence_distance(src, dst))
        t_v = ctx.time(lambda: v.compute_sequence_distance(src, dst))
        ctx.series("distance", "compute_sequence_distance", "velmora", size, t_v, "2 (m x n)")
        memory = ""
        if size == sizes[-1] and not ctx.s.quick:
            memory = (f"velmora {_mem('distance', size, 'velmora')}, "
                      f"rapidfuzz editops {_mem('distance', size, 'rapidfuzz.editops')}")
        if from_rf:
            t_p = ctx.time(lambda: from_rf.editops(src, dst))
            ctx.series("distance", "compute_sequence_distance", "rapidfuzz editops", size, t_p, "2")
            ok = None if got is None else got[0] == from_rf.distance(src, dst)
            ctx.add(Row("distance", "compute_sequence_distance", label, t_v, "rapidfuzz Levenshtein.editops", t_p, 1.0,
                        memory=memory, ok=ok))
            t_p = ctx.time(lambda: from_rf.distance(src, dst))
            ctx.add(Row("distance", "compute_sequence_distance", label, t_v, "rapidfuzz Levenshtein.distance", t_p,
                        note="distance only; not a target"))
        if editdistance:
            t_p = ctx.time(lambda: editdistance.eval(src, dst))
            ok = None if got is None else got[0] == editdistance.eval(src, dst)
            ctx.add(Row("distance", "compute_sequence_distance", label, t_v, "editdistance.eval", t_p, ok=ok,
                        note="distance only; not a target"))
        if size <= py_limit:
            t_p = ctx.time(lambda: reference.edit_distance(src, dst))
            ok = None if got is None else tuple(got) == reference.edit_distance(src, dst)
            ctx.add(Row("distance", "compute_sequence_distance", label, t_v, "full-table Python", t_p, ok=ok,
                        note="orders of magnitude expected"))
    if not ctx.s.quick and from_rf:
        size = 10_000
        src, dst = gen_text.unrelated_pair(size)
        t_v = ctx.time(lambda: v.compute_sequence_distance(src, dst))
        t_p = ctx.time(lambda: from_rf.editops(src, dst))
        ctx.add(Row("distance", "compute_sequence_distance", f"{size:,} x {size:,} tokens, unrelated files", t_v,
                    "rapidfuzz Levenshtein.editops", t_p, 1.0))


# ---------------------------------------------------------------- curvature


def _sampled_python(fn, raw, measured: int, sample_size: int, seed: int = 5):
    """Seconds the whole Python loop would take, estimated from a seeded
    uniform sample of edges: the per-edge cost of the sample times the
    number of measured edges, plus the set-up that every run pays."""
    rng = random.Random(seed)
    sample = set(rng.sample(range(len(raw)), sample_size))
    t0 = time.perf_counter()
    fn(raw, sample=set())
    setup = time.perf_counter() - t0
    t0 = time.perf_counter()
    out = fn(raw, sample=sample)
    with_sample = time.perf_counter() - t0
    per_edge = max(with_sample - setup, 0.0) / sample_size
    return setup + per_edge * measured, sample, out


def bench_curvature(ctx: Ctx) -> None:
    sizes = [1_000, 10_000] if ctx.s.quick else [10_000, 100_000, 1_000_000]
    full_python = 10_000
    grc_ok = True
    for size in sizes:
        raw = gen_graph.power_law_edges(size)
        info = gen_graph.degree_summary(raw)
        label = f"{size:,} edges / {info['nodes']:,} nodes (max deg {info['max_degree']:,})"
        wedges = [v.WeightedEdge(s, t, w) for s, t, w in raw]

        got = _call(lambda: v.balanced_forman_curvature(wedges))
        t_v = ctx.time(lambda: v.balanced_forman_curvature(wedges))
        ctx.series("curvature", "balanced_forman_curvature", "velmora", size, t_v, "> 1 (hub degrees grow)")
        memory = ""
        if size == sizes[-1] and not ctx.s.quick:
            memory = f"velmora {_mem('balanced', size, 'velmora')}"
        if size <= full_python:
            t_p = ctx.time(lambda: reference.balanced_forman(raw))
            ref = reference.balanced_forman(raw)
            ok = None if got is None else [(c.source, c.target, c.curvature) for c in got] == ref
            note = "whole Python loop"
        else:
            sample_size = 2_000
            t_p, sample, ref = _sampled_python(reference.balanced_forman, raw, len(raw), sample_size)
            ok = None
            if got is not None:
                pos = sorted(sample)
                ok = [(got[p].source, got[p].target, got[p].curvature) for p in pos] == ref
            note = f"Python time estimated from {sample_size:,} sampled edges"
        ctx.series("curvature", "balanced_forman_curvature", "Python sets", size, t_p, ">1")
        ctx.add(Row("curvature", "balanced_forman_curvature", label, t_v, "Python sets, same formula", t_p, 0.01,
                    memory=memory, ok=ok, note=note))

        if grc and nx and grc_ok:
            g = nx.Graph()
            g.add_weighted_edges_from(raw)

            def forman():
                fr = grc.FormanRicci(g, verbose="ERROR")
                fr.compute_ricci_curvature()
                return fr

            t_p = ctx.time(forman)
            grc_ok = t_p is not None and t_p < 60
            ctx.add(Row("curvature", "balanced_forman_curvature", label, t_v, "GraphRicciCurvature FormanRicci", t_p,
                        1.0, note="augmented Forman curvature of the package; another formula"))
            del g

        got = _call(lambda: v.directed_forman_curvature(wedges))
        t_v = ctx.time(lambda: v.directed_forman_curvature(wedges))
        ctx.series("curvature", "directed_forman_curvature", "velmora", size, t_v, "1 (linear)")
        if size <= full_python:
            t_p = ctx.time(lambda: reference.directed_forman(raw))
            ref = reference.directed_forman(raw)
            ok = None if got is None else [(c.source, c.target, c.curvature) for c in got] == ref
            note = "whole Python loop"
        else:
            sample_size = 5_000
            t_p, sample, ref = _sampled_python(reference.directed_forman, raw, len(raw), sample_size)
            ok = None
            if got is not None:
                ok = [(got[p].source, got[p].target, got[p].curvature) for p in sorted(sample)] == ref
            note = f"Python time estimated from {sample_size:,} sampled edges"
        ctx.series("curvature", "directed_forman_curvature", "Python lists", size, t_p, ">1")
        ctx.add(Row("curvature", "directed_forman_curvature", label, t_v, "Python per-edge sums", t_p, 0.01, ok=ok,
                    note=note))
        del got, wedges


# ---------------------------------------------------------------- construction


def _raw_statements(n_blocks: int, per_block: int = 3):
    rng = random.Random(6)
    kinds = ["Assign", "Call", "Return", "If", "While", "Expr"]
    out = []
    for b in range(n_blocks):
        stmts = []
        for k in range(per_block):
            line = b * per_block + k + 1
            kind = rng.choice(kinds)
            stmts.append((kind, "python", "mod.py", line * 40, line * 40 + 38, line, 4, line, 42, kind, f"n{line}"))
        out.append(stmts)
    return out


def bench_construction(ctx: Ctx) -> None:
    sizes = [1_000, 10_000] if ctx.s.quick else [1_000, 10_000, 100_000]
    for size in sizes:
        n, edges = gen_cfg.program(size)
        raw = _raw_statements(n)
        stmts_total = sum(len(s) for s in raw)
        label = f"{n:,} blocks / {stmts_total:,} stmts / {len(edges):,} edges"

        def nodes_with(span_cls, native_cls, node_cls):
            def build():
                return [
                    [node_cls(kind, lang, span_cls(f, sb, eb, sl, sc, el, ec), native_cls("ast", "3.12", nk),
                              {"name": ident}, None, ident)
                     for kind, lang, f, sb, eb, sl, sc, el, ec, nk, ident in stmts]
                    for stmts in raw
                ]
            return build

        v_nodes = nodes_with(v.SourceSpan, v.NativeRef, v.UASTNode)
        p_nodes = nodes_with(plain.SourceSpanP, plain.NativeRefP, plain.UASTNodeP)
        t_v, t_p = ctx.time(v_nodes), ctx.time(p_nodes)
        ctx.series("construction", "UASTNode", "velmora", stmts_total, t_v, "1")
        ctx.add(Row("construction", "SourceSpan + NativeRef + UASTNode", f"{stmts_total:,} nodes", t_v,
                    "slotted classes", t_p, 2.0))

        vn, pn = v_nodes(), p_nodes()
        t_v = ctx.time(lambda: {i: v.BasicBlock(i, vn[i], "b") for i in range(n)})
        t_p = ctx.time(lambda: {i: plain.BasicBlockP(i, pn[i], "b") for i in range(n)})
        ctx.series("construction", "BasicBlock", "velmora", n, t_v, "1")
        ctx.add(Row("construction", "BasicBlock with statements", label, t_v, "slotted classes", t_p, 2.0))

        kinds_v = [getattr(v.EdgeKind, name) for name in gen_cfg.KIND_NAMES]
        t_v = ctx.time(lambda: [v.CFGEdge(s, t, kinds_v[k]) for s, t, k in edges])
        t_p = ctx.time(lambda: [plain.CFGEdgeP(s, t, kinds_v[k]) for s, t, k in edges])
        t_t = ctx.time(lambda: [(s, t, kinds_v[k]) for s, t, k in edges])
        ctx.add(Row("construction", "CFGEdge", f"{len(edges):,} edges", t_v, "slotted classes", t_p, 2.0))
        ctx.add(Row("construction", "CFGEdge", f"{len(edges):,} edges", t_v, "tuples", t_t, 2.0))

        vblocks = {i: v.BasicBlock(i, vn[i], "b") for i in range(n)}
        pblocks = {i: plain.BasicBlockP(i, pn[i], "b") for i in range(n)}
        vedges = [v.CFGEdge(s, t, kinds_v[k]) for s, t, k in edges]
        pedges = [plain.CFGEdgeP(s, t, kinds_v[k]) for s, t, k in edges]
        t_v = ctx.time(lambda: v.ControlFlowGraph(vblocks, vedges, 0, 1))
        t_p = ctx.time(lambda: plain.ControlFlowGraphP(vblocks, vedges, 0, 1))
        ctx.series("construction", "ControlFlowGraph", "velmora", n, t_v, "1")
        ctx.add(Row("construction", "ControlFlowGraph(blocks, edges)", label, t_v, "slotted class, container copies",
                    t_p, note="velmora copies every record, the plain class only the containers: not a target"))

        def v_pipeline():
            nodes = v_nodes()
            blocks = {i: v.BasicBlock(i, nodes[i], "b") for i in range(n)}
            es = [v.CFGEdge(s, t, kinds_v[k]) for s, t, k in edges]
            return v.ControlFlowGraph(blocks, es, 0, 1)

        def p_pipeline():
            nodes = p_nodes()
            blocks = {i: plain.BasicBlockP(i, nodes[i], "b") for i in range(n)}
            es = [plain.CFGEdgeP(s, t, kinds_v[k]) for s, t, k in edges]
            return plain.ControlFlowGraphP(blocks, es, 0, 1)

        t_v, t_p = ctx.time(v_pipeline), ctx.time(p_pipeline)
        ctx.series("construction", "whole graph from raw data", "velmora", n, t_v, "1")
        ctx.add(Row("construction", "whole graph from raw data", label, t_v, "slotted classes", t_p, 2.0,
                    note="nodes, blocks, edges and graph in one go"))

        # Reading back: velmora builds new objects on every read; the plain
        # equivalent of such a copying read builds one new record per item.
        vg = v.ControlFlowGraph(vblocks, vedges, 0, 1)
        pg = plain.ControlFlowGraphP(pblocks, pedges, 0, 1)
        t_v = ctx.time(lambda: vg.edges)
        t_p = ctx.time(lambda: [plain.CFGEdgeP(e.source, e.target, e.kind) for e in pg.edges])
        ctx.add(Row("construction", "read graph.edges", f"{len(edges):,} edges", t_v, "copy into slotted records",
                    t_p, 2.0))
        t_v = ctx.time(lambda: vg.blocks)
        t_p = ctx.time(lambda: {k: plain.BasicBlockP(b.id, b.statements, b.label) for k, b in pg.blocks.items()})
        ctx.add(Row("construction", "read graph.blocks", f"{n:,} blocks", t_v, "copy into slotted records", t_p, 2.0))
        vb = list(vblocks.values())
        t_v = ctx.time(lambda: [b.statements for b in vb])
        t_p = ctx.time(lambda: [[plain.UASTNodeP(s.kind, s.lang, s.span, s.native, s.attributes, s.children, s.id)
                                 for s in b.statements] for b in pblocks.values()])
        ctx.add(Row("construction", "read block.statements", f"{stmts_total:,} nodes", t_v,
                    "copy into slotted records", t_p, 2.0, note="plain copy is shallow below the node"))

        raw_w = gen_graph.power_law_edges(max(size, 1_000))
        t_v = ctx.time(lambda: [v.WeightedEdge(s, t, w) for s, t, w in raw_w])
        t_p = ctx.time(lambda: [plain.WeightedEdgeP(s, t, w) for s, t, w in raw_w])
        ctx.add(Row("construction", "WeightedEdge", f"{len(raw_w):,} edges", t_v, "slotted classes", t_p, 2.0))
        res = _call(lambda: v.balanced_forman_curvature([v.WeightedEdge(s, t, w) for s, t, w in raw_w]))
        if res is not None:
            t_v = ctx.time(lambda: [(c.source, c.target, c.curvature) for c in res])
            pres = [plain.WeightedEdgeP(c.source, c.target, c.curvature) for c in res]
            t_p = ctx.time(lambda: [(c.source, c.target, c.weight) for c in pres])
            ctx.add(Row("construction", "read EdgeCurvature fields", f"{len(res):,} results", t_v,
                        "same read of slotted records", t_p, 2.0))


# ---------------------------------------------------------------- analyzer


def bench_analyzer(ctx: Ctx) -> None:
    import sysconfig

    stdlib = sysconfig.get_paths()["stdlib"]
    root = os.path.join(stdlib, "asyncio") if ctx.s.quick else stdlib
    repeat = 1 if ctx.s.quick else 2
    label = "stdlib" if root == stdlib else "stdlib/asyncio"
    label += f", {analyzer.function_count([root]):,} functions"
    scratch = tempfile.mkdtemp(prefix="velmora-bench-")
    try:
        cold = analyzer.best(analyzer.scan_cmd(root, "-j", "1", "--no-cache", "--timings"), repeat)
        ctx.add(Row("analyzer", "velmora-scan cold, 1 process: where the time goes", label, cold.cpu,
                    note=analyzer.timing_split(cold.stderr) + f"; peak {cold.peak_mib:.0f} MiB"))
        # The duplicate-cluster search is a whole-input pass of its own
        # weight; the same run without it shows the per-file path.
        lean = analyzer.best(analyzer.scan_cmd(root, "-j", "1", "--no-cache", "--timings", "--duplicates", "0"),
                             repeat)
        ctx.add(Row("analyzer", "velmora-scan cold, 1 process, --duplicates 0", label, lean.cpu,
                    note=analyzer.timing_split(lean.stderr) + f"; peak {lean.peak_mib:.0f} MiB"))
        targets = {"mccabe": 1.0, "radon": 0.5, "lizard": 0.5}
        peer_runs = {}
        for name, cmd in analyzer.peers(root).items():
            r = analyzer.best(cmd, repeat)
            peer_runs[name] = r
            target = next((t for key, t in targets.items() if name.startswith(key)), None)
            ctx.add(Row("analyzer", "cold run, 1 process (CPU s)", label, cold.cpu, name, r.cpu, target,
                        note="" if target else "no target"))
            if target:
                ctx.add(Row("analyzer", "cold run, 1 process, --duplicates 0 (CPU s)", label, lean.cpu, name, r.cpu,
                            target))
        complexipy = analyzer.tool("complexipy")
        if complexipy:
            cache = os.path.join(scratch, "complexipy")
            cx = [complexipy, root, "--cache-dir", cache, "-q"]
            r = analyzer.best(cx, repeat, before=lambda: shutil.rmtree(cache, ignore_errors=True))
            ctx.add(Row("analyzer", "cold run, 1 process (CPU s)", label, cold.cpu, "complexipy (no cache)", r.cpu,
                        note="no target"))
            analyzer.run(cx)
            cx_warm = analyzer.best(cx, repeat)
        else:
            cx_warm = None

        # Workers: wall time, since that is what more processes buy.
        two = analyzer.best(analyzer.scan_cmd(root, "-j", "2", "--no-cache"), repeat)
        one_wall = min(cold.wall, analyzer.run(analyzer.scan_cmd(root, "-j", "1", "--no-cache")).wall)
        ctx.add(Row("analyzer", "2 processes vs 1 (wall s)", label, two.wall, "velmora-scan -j 1", one_wall,
                    1 / 1.7, note=f"speed-up {one_wall / two.wall:.2f}x (target 1.7x); CPU {two.cpu:.1f} s at -j 2"))

        cache = os.path.join(scratch, "velmora")
        for extra in ([], ["--duplicates", "0"]):
            warm_cmd = analyzer.scan_cmd(root, "-j", "1", "--cache-dir", cache, "--timings", *extra)
            analyzer.run(warm_cmd)
            warm = analyzer.best(warm_cmd, repeat)
            ctx.add(Row("analyzer", "warm run, nothing changed (CPU s)" + (" " + " ".join(extra) if extra else ""),
                        label, warm.cpu, "complexipy warm" if cx_warm else "", cx_warm.cpu if cx_warm else None, 1.0,
                        note=analyzer.timing_split(warm.stderr)))

        radon = next((r for n, r in peer_runs.items() if n.startswith("radon")), None)
        ctx.add(Row("analyzer", "peak memory, cold 1 process (MiB, not s)", label, cold.peak_mib,
                    "radon cc" if radon else "", radon.peak_mib if radon else None, 1.0))

        corpus = [stdlib] + ([ctx.corpus] if getattr(ctx, "corpus", None) else [])
        if not ctx.s.quick:
            n = analyzer.function_count(corpus)
            base = ["-j", "1", "--no-cache", "--duplicates", "0", "--choke-points", "0"]
            text = analyzer.run(analyzer.scan_cmd(*corpus, *base))
            as_json = analyzer.run(analyzer.scan_cmd(*corpus, *base, "--format", "json"))
            ctx.add(Row("analyzer", "--json peak vs the text report's (MiB, not s)",
                        f"{' + '.join(os.path.basename(c.rstrip('/')) or c for c in corpus)}, {n:,} functions",
                        as_json.peak_mib, "text report", text.peak_mib, 2.0,
                        note="" if n >= 120_000 else "fewer than 120,000 functions: pass --corpus"))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


AREAS = {
    "analyzer": bench_analyzer,
    "cfg": bench_cfg,
    "nesting": bench_nesting,
    "cycles": bench_cycles,
    "compression": bench_compression,
    "distance": bench_distance,
    "curvature": bench_curvature,
    "construction": bench_construction,
}


# ---------------------------------------------------------------- report


def _cmd(args: list[str]) -> str:
    try:
        return subprocess.run(args, capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "?"


def machine_description(module_commit: str | None, bench_commit: str) -> list[str]:
    model = "?"
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = "?"
    try:
        with open("/proc/meminfo") as fh:
            kib = int(fh.readline().split()[1])
            mem = f"{kib / 1024 / 1024:.0f} GiB"
    except (OSError, ValueError, IndexError):
        pass
    versions = []
    for name in ("rustworkx", "networkx", "rapidfuzz", "editdistance", "GraphRicciCurvature",
                 "mccabe", "radon", "lizard", "complexipy", "ruff"):
        try:
            versions.append(f"{name} {importlib.metadata.version(name)}")
        except importlib.metadata.PackageNotFoundError:
            versions.append(f"{name} not installed")
    return [
        f"- machine: {model}, {os.cpu_count()} cores, {mem} memory, Linux {platform.release()}",
        f"- Python {platform.python_version()} ({sys.executable})",
        f"- peers: {', '.join(versions)}",
        f"- zlib {zlib.ZLIB_RUNTIME_VERSION}",
        f"- benchmarks at commit {bench_commit}; "
        f"velmora module {v.__file__}"
        + (f", built from a clean export of commit {module_commit}" if module_commit else
           " (its source commit was not given: see --module-commit)"),
        f"- date {datetime.datetime.now().astimezone().isoformat(timespec='minutes')}",
    ]


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="small inputs and few runs: a smoke test")
    ap.add_argument("--area", action="append", choices=sorted(AREAS), help="run only these areas (repeatable)")
    ap.add_argument("--results", metavar="FILE", help="also write the tables as Markdown to FILE")
    ap.add_argument("--module-commit", metavar="REV", help="commit the velmora build was made from, for the results file")
    ap.add_argument("--corpus", metavar="DIR", help="analyzer area: more code beside the stdlib (e.g. a site-packages)")
    args = ap.parse_args(argv)

    ctx = Ctx(harness.Settings.for_mode(args.quick))
    ctx.corpus = args.corpus
    load_before = os.getloadavg()
    # Read at the start: others may commit while a long run goes on.
    bench_commit = _cmd(["git", "-C", os.path.dirname(os.path.abspath(__file__)), "rev-parse", "--short", "HEAD"])
    start = time.perf_counter()
    for name in args.area or list(AREAS):
        print(f"== {name}", file=sys.stderr, flush=True)
        AREAS[name](ctx)
    ctx.finish_growth()
    elapsed = time.perf_counter() - start
    load_after = os.getloadavg()

    print()
    print(harness.render_text(ctx.rows))
    print()
    print(harness.render_growth(ctx.growth, markdown=False))
    missed = [r for r in ctx.rows if r.missed]
    differ = [r for r in ctx.rows if r.ok is False]
    print(f"\n{len(ctx.rows)} rows, {len(missed)} missing their target, {len(differ)} with differing results; "
          f"{elapsed:.0f} s; load average {load_before[0]:.2f} before, {load_after[0]:.2f} after")

    if args.results:
        lines = ["# Benchmark results", ""]
        lines += machine_description(args.module_commit, bench_commit)
        lines += [
            f"- mode: {'--quick' if args.quick else 'full'}, areas: {', '.join(args.area or AREAS)}; "
            f"run took {elapsed:.0f} s",
            f"- 1-minute load average {load_before[0]:.2f} at the start, {load_after[0]:.2f} at the end "
            "(2 cores; above about 1 means other work shared the machine)",
            "",
            "Times are medians per call; ratio = velmora / peer; MISS marks a ratio above the target.",
            "",
            harness.render_markdown(ctx.rows),
            "",
            "## Growth with input size",
            "",
            "Exponent k of a least-squares fit time ~ size^k over the sizes listed.",
            "",
            harness.render_growth(ctx.growth, markdown=True),
            "",
        ]
        # Sections that other benchmark scripts record (after KEPT) survive
        # a new run of this one.
        kept = ""
        if os.path.exists(args.results):
            with open(args.results) as fh:
                old = fh.read()
            if KEPT in old:
                kept = old[old.index(KEPT):]
        with open(args.results, "w") as fh:
            fh.write("\n".join(lines) + ("\n" + kept if kept else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
