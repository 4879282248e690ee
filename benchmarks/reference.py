"""Plain-Python implementations of what velmora computes, written the direct
way a user would without the module: the full-table edit distance with its
traceback, the curvature formulas over sets, and the per-block zlib loop.
They are the slow baselines of the benchmark and also cross-check that
every contender got the same input."""

from __future__ import annotations

import math
import zlib


# ---------------------------------------------------------------- compression


def compressed_ratio(data: bytes) -> float:
    size = len(zlib.compress(data, 9))
    ratio = size / len(data)
    if len(data) < 200 and ratio > 0.5:
        f = len(data) / 200.0
        ratio = (1.0 - f) * 0.5 + f * ratio
    return ratio


def kolmogorov_proxy(text: str) -> float:
    if not text:
        return 0.0
    return compressed_ratio(text.encode("utf-8").replace(b"\r\n", b"\n"))


def block_entropy(text: str, block_size: int) -> list[float]:
    """Cut by code points, normalize and compress each block on its own."""
    if not text or block_size == 0:
        return []
    return [
        compressed_ratio(text[i : i + block_size].encode("utf-8").replace(b"\r\n", b"\n"))
        for i in range(0, len(text), block_size)
    ]


# ---------------------------------------------------------------- edit distance


def edit_distance(source, target) -> tuple[int, dict[str, int]]:
    """The (m+1) x (n+1) table filled row by row, then one traceback that
    prefers a match, then substitution, insertion, deletion."""
    m, n = len(source), len(target)
    d = [list(range(n + 1))]
    for i in range(1, m + 1):
        prev = d[-1]
        row = [i] + [0] * n
        a = source[i - 1]
        for j in range(1, n + 1):
            if a == target[j - 1]:
                row[j] = prev[j - 1]
            else:
                row[j] = 1 + min(prev[j], row[j - 1], prev[j - 1])
        d.append(row)
    ins = dels = subs = 0
    i, j = m, n
    while i > 0 or j > 0:
        if i > 0 and j > 0 and source[i - 1] == target[j - 1]:
            i, j = i - 1, j - 1
        elif i > 0 and j > 0 and d[i][j] == d[i - 1][j - 1] + 1:
            subs += 1
            i, j = i - 1, j - 1
        elif j > 0 and d[i][j] == d[i][j - 1] + 1:
            ins += 1
            j -= 1
        else:
            dels += 1
            i -= 1
    return d[m][n], {"insertions": ins, "deletions": dels, "substitutions": subs}


# ---------------------------------------------------------------- curvature


def _intern(edges):
    index: dict[int, int] = {}
    for s, t, _ in edges:
        if s not in index:
            index[s] = len(index)
        if t not in index:
            index[t] = len(index)
    return index


def balanced_adjacency(edges):
    index = _intern(edges)
    nbrs: list[set[int]] = [set() for _ in range(len(index))]
    for s, t, _ in edges:
        i, j = index[s], index[t]
        if i != j:
            nbrs[i].add(j)
            nbrs[j].add(i)
    return index, nbrs


def _common(a: set, b: set) -> int:
    if len(a) > len(b):
        a, b = b, a
    return sum(1 for x in a if x in b)


def balanced_edge(nbrs, i: int, j: int) -> float:
    ni, nj = nbrs[i], nbrs[j]
    di, dj = len(ni), len(nj)
    dmin, dmax = min(di, dj), max(di, dj)
    if dmin < 2:
        return 0.0
    tri = _common(ni, nj)
    sharp = lam = 0
    for k in nj:
        val = _common(ni, nbrs[k]) - (1 if k in ni else 0)
        if val > 0:
            sharp += 1
            lam = max(lam, val)
    for k in ni:
        val = _common(nbrs[k], nj) - (1 if k in nj else 0)
        if val > 0:
            sharp += 1
            lam = max(lam, val)
    a = 2.0 / dmax
    b = ((a + 2.0 / dmin) + (-2.0)) + ((a + 1.0 / dmin) * tri)
    return b + (sharp / (dmax * float(lam)))


def balanced_forman(edges, sample=None) -> list[tuple[int, int, float]]:
    """Every first edge of an unordered pair; with ``sample`` (a set of
    input positions) only those edges are measured, for cost estimates on
    graphs too large for the whole loop in Python."""
    index, nbrs = balanced_adjacency(edges)
    seen: set[tuple[int, int]] = set()
    out = []
    for pos, (s, t, _) in enumerate(edges):
        i, j = index[s], index[t]
        if i == j:
            continue
        key = (i, j) if i < j else (j, i)
        if key in seen:
            continue
        seen.add(key)
        if sample is not None and pos not in sample:
            continue
        out.append((s, t, balanced_edge(nbrs, i, j)))
    return out


def directed_forman(edges, node_weights=None, sample=None) -> list[tuple[int, int, float]]:
    """Per-edge sums over the incoming list of the source and the outgoing
    list of the target, as the formula reads."""
    index = _intern(edges)
    incoming: list[list[float]] = [[] for _ in range(len(index))]
    outgoing: list[list[float]] = [[] for _ in range(len(index))]
    for s, t, w in edges:
        i, j = index[s], index[t]
        if i != j:
            outgoing[i].append(w)
            incoming[j].append(w)
    nw = node_weights or {}
    out = []
    for pos, (s, t, w) in enumerate(edges):
        if s == t:
            continue
        if sample is not None and pos not in sample:
            continue
        if w <= 0:
            out.append((s, t, 0.0))
            continue
        wu, wv = nw.get(s, 1.0), nw.get(t, 1.0)
        s_in = -0.0
        for x in incoming[index[s]]:
            if x > 0:
                s_in += math.sqrt(wu / x)
        s_out = -0.0
        for x in outgoing[index[t]]:
            if x > 0:
                s_out += math.sqrt(wv / x)
        out.append((s, t, w * ((((wu / w) + (wv / w)) - s_in) - s_out)))
    return out
