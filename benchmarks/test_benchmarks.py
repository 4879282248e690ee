"""Checks of the benchmark's own parts: the generators produce what the
rows claim, and the Python baselines compute what velmora computes (a
baseline that computed something else would make its ratio meaningless).

    PYTHONPATH=<build dir> python -m pytest benchmarks/test_benchmarks.py
"""

from __future__ import annotations

import os
import random
import struct
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import gen_cfg  # noqa: E402
import gen_graph  # noqa: E402
import gen_text  # noqa: E402
import harness  # noqa: E402
import reference  # noqa: E402

v = pytest.importorskip("velmora")


def _bits(x: float) -> bytes:
    return struct.pack("<d", x)


@pytest.mark.parametrize("size", [50, 3_000])
def test_program_graphs_are_deterministic_and_tagged(size):
    n, edges = gen_cfg.program(size)
    gen_cfg.program.cache_clear()
    assert gen_cfg.program(size) == (n, edges)
    assert n >= size and all(0 <= s < n and 0 <= t < n for s, t, _ in edges)
    # Without LOOPBACK and CONTINUE edges the graph is acyclic (Kahn).
    fwd = [(s, t) for s, t, k in edges if k not in gen_cfg.BACK_KINDS]
    indeg = [0] * n
    out: list[list[int]] = [[] for _ in range(n)]
    for s, t in fwd:
        indeg[t] += 1
        out[s].append(t)
    ready = [i for i in range(n) if indeg[i] == 0]
    seen = 0
    while ready:
        x = ready.pop()
        seen += 1
        for y in out[x]:
            indeg[y] -= 1
            if indeg[y] == 0:
                ready.append(y)
    assert seen == n
    g = gen_cfg.to_velmora(v, n, edges)
    assert g.connected_components() == 1
    assert g.longest_acyclic_path() > 0


def test_function_graphs_run_the_nesting_pass_limit():
    # The nesting row counts 2 x blocks passes; that holds only if a TRUE
    # edge lies on a cycle reachable from the entry, which the leading
    # loop guarantees.  Each pass then raises the loop's depth by one.
    n, edges = gen_cfg.function(40)
    assert any(k == gen_cfg.TRUE for _, _, k in edges)
    g = gen_cfg.to_velmora(v, n, edges)
    assert g.max_nesting_depth() >= 2 * n


def test_power_law_graphs_are_simple_with_a_heavy_tail():
    edges = gen_graph.power_law_edges(20_000)
    pairs = {(min(s, t), max(s, t)) for s, t, _ in edges}
    assert len(pairs) == len(edges) == 20_000
    info = gen_graph.degree_summary(edges)
    assert info["max_degree"] > 8 * info["median_degree"]


def test_curvature_baselines_match_velmora_bit_for_bit():
    rng = random.Random(11)
    for _ in range(40):
        ids = rng.sample(range(1000), rng.randint(2, 12))
        raw = [(rng.choice(ids), rng.choice(ids), rng.choice((-1.0, 0.0, 0.5, 1.0, 2.5)))
               for _ in range(rng.randint(0, 40))]
        wedges = [v.WeightedEdge(s, t, w) for s, t, w in raw]
        got = [(c.source, c.target, _bits(c.curvature)) for c in v.balanced_forman_curvature(wedges)]
        assert got == [(s, t, _bits(c)) for s, t, c in reference.balanced_forman(raw)]
        weights = {ids[0]: 2.0, ids[1]: 0.25}
        got = [(c.source, c.target, _bits(c.curvature)) for c in v.directed_forman_curvature(wedges, weights)]
        assert got == [(s, t, _bits(c)) for s, t, c in reference.directed_forman(raw, weights)]


def test_sampled_curvature_baseline_measures_exactly_the_sample():
    raw = list(gen_graph.power_law_edges(2_000))
    sample = {3, 500, 1999}
    full = reference.balanced_forman(raw)
    assert reference.balanced_forman(raw, sample=sample) == [full[p] for p in sorted(sample)]
    full = reference.directed_forman(raw)
    assert reference.directed_forman(raw, sample=sample) == [full[p] for p in sorted(sample)]


def test_edit_distance_baseline_matches_velmora_on_token_streams():
    rng = random.Random(12)
    toks = gen_text.tokens(400)
    for _ in range(30):
        a = [rng.choice(toks[:6]) for _ in range(rng.randint(0, 70))]
        b = [rng.choice(toks[:6]) for _ in range(rng.randint(0, 70))]
        assert tuple(v.compute_sequence_distance(a, b)) == reference.edit_distance(a, b)
    src, dst = (list(x) for x in gen_text.token_pair(300))
    assert tuple(v.compute_sequence_distance(src, dst)) == reference.edit_distance(src, dst)


def test_compression_baselines_match_velmora():
    text = gen_text.source_text(5_000) + "é\r\nx\r\r\n"
    assert v.calculate_kolmogorov_proxy(text) == reference.kolmogorov_proxy(text)
    for size in (1, 7, 64, 10_000):
        assert v.calculate_block_entropy(text, size) == reference.block_entropy(text, size)


def test_exponent_fit_recovers_a_power_law():
    sizes = [10.0, 100.0, 1000.0, 10000.0]
    assert harness.fit_exponent(sizes, [3e-9 * s**2 for s in sizes]) == pytest.approx(2.0)
    assert harness.fit_exponent([5.0], [1.0]) is None


def test_peak_probe_sees_native_allocations():
    # A bytearray is allocated outside Python's small-object allocator, as
    # velmora's C++ buffers are; the probe must see it.
    mib = harness.peak_delta_mib(lambda: bytearray(64 * 1024 * 1024))
    assert mib >= 60
