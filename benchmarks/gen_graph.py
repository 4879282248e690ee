"""Seeded sparse graphs with power-law degrees for the curvature benchmarks.

Chung-Lu style: node i gets the expected weight (i + i0) ** (-1 / (gamma - 1)),
endpoints are drawn in proportion to the weights, self-loops and repeated
pairs are dropped until the requested number of distinct undirected edges
exists.  Node ids are scattered (not 0..n-1) the way caller ids usually are.
"""

from __future__ import annotations

import functools
import itertools
import random


@functools.lru_cache(maxsize=None)
def power_law_edges(m: int, seed: int = 4, gamma: float = 2.5, mean_degree: int = 40) -> tuple[tuple[int, int, float], ...]:
    rng = random.Random(seed)
    n = max(16, (2 * m) // mean_degree)
    i0 = 3.0  # keeps the largest hub below a few percent of the nodes
    weights = [(i + i0) ** (-1.0 / (gamma - 1.0)) for i in range(n)]
    cum = list(itertools.accumulate(weights))
    ids = rng.sample(range(10 * n), n)
    seen: set[tuple[int, int]] = set()
    out: list[tuple[int, int, float]] = []
    while len(out) < m:
        batch = 2 * (m - len(out)) + 16
        us = rng.choices(range(n), cum_weights=cum, k=batch)
        vs = rng.choices(range(n), cum_weights=cum, k=batch)
        for u, v in zip(us, vs):
            if u == v:
                continue
            key = (u, v) if u < v else (v, u)
            if key in seen:
                continue
            seen.add(key)
            # Direction and weight matter only to the directed curvature.
            out.append((ids[u], ids[v], rng.choice((0.5, 1.0, 1.0, 2.0, 3.0))))
            if len(out) == m:
                break
    return tuple(out)


def degree_summary(edges) -> dict:
    deg: dict[int, int] = {}
    for s, t, _ in edges:
        deg[s] = deg.get(s, 0) + 1
        deg[t] = deg.get(t, 0) + 1
    ds = sorted(deg.values())
    return {"nodes": len(ds), "edges": len(edges), "max_degree": ds[-1], "median_degree": ds[len(ds) // 2]}
