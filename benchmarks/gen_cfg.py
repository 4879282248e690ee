"""Seeded synthetic control-flow graphs shaped like those of real code.

A program is a set of functions joined by a synthetic entry block 0 and
exit block 1, the way a whole-program builder ties them together.  Each
function is grown from a random structured statement list: straight-line
blocks, if/else, while loops (with break and continue), switches, try
regions whose blocks raise into a handler, and early returns, nested a few
levels deep.  Every loop is closed by a LOOPBACK or CONTINUE edge, so the
forward graph is acyclic, as a well-behaved builder guarantees.

The output is plain data, (block count, list of (source, target, kind)),
with block ids 0..n-1 in creation order; converters to velmora, rustworkx
and networkx are below, so every contender gets the same graph.
"""

from __future__ import annotations

import functools
import random

UNCONDITIONAL, TRUE, FALSE, LOOPBACK, BREAK, CONTINUE, RETURN, EXCEPTION, SWITCHCASE = range(9)
KIND_NAMES = (
    "UNCONDITIONAL", "TRUE", "FALSE", "LOOPBACK", "BREAK", "CONTINUE", "RETURN", "EXCEPTION", "SWITCHCASE",
)
BACK_KINDS = (LOOPBACK, CONTINUE)


class _Builder:
    MAX_DEPTH = 6

    def __init__(self, rng: random.Random):
        self.rng = rng
        self.n = 0
        self.edges: list[tuple[int, int, int]] = []

    def new(self) -> int:
        b = self.n
        self.n += 1
        return b

    def edge(self, s: int, t: int, k: int) -> None:
        self.edges.append((s, t, k))

    def function(self, budget: int, force_loop: bool = False) -> tuple[int, int]:
        entry, fexit = self.new(), self.new()
        end = self.body(entry, budget, None, fexit, 0, force_loop)
        if end is not None:
            self.edge(end, fexit, UNCONDITIONAL)
        return entry, fexit

    def body(self, cur, budget, loop, fexit, depth, force_loop=False):
        """Emit statements after block ``cur`` until about ``budget`` new
        blocks exist; return the block control falls out of, or None when
        the sequence ends in a jump."""
        rng = self.rng
        stop = self.n + budget
        first = True
        while self.n < stop and cur is not None:
            left = stop - self.n
            r = rng.random()
            nested = depth < self.MAX_DEPTH and left >= 3
            if first and force_loop:
                r = 0.30
            first = False
            if nested and r < 0.28:
                cur = self._if(cur, left, loop, fexit, depth)
            elif nested and r < 0.42:
                cur = self._while(cur, left, fexit, depth)
            elif nested and r < 0.46:
                cur = self._switch(cur, left, loop, fexit, depth)
            elif nested and r < 0.58:
                cur = self._try(cur, left, loop, fexit, depth)
            elif depth > 0 and r < 0.62:
                # An early exit ends the statement list (code after it is dead
                # and a builder would not emit it).
                if loop is not None and r < 0.60:
                    head, after = loop
                    if rng.random() < 0.5:
                        self.edge(cur, after, BREAK)
                    else:
                        self.edge(cur, head, CONTINUE)
                else:
                    self.edge(cur, fexit, RETURN)
                return None
            else:
                nxt = self.new()
                self.edge(cur, nxt, UNCONDITIONAL)
                cur = nxt
        return cur

    def _part(self, left: int) -> int:
        return max(1, int(left * self.rng.uniform(0.1, 0.6)))

    def _if(self, cond, left, loop, fexit, depth):
        then_b = self.new()
        self.edge(cond, then_b, TRUE)
        t_end = self.body(then_b, self._part(left), loop, fexit, depth + 1)
        ends = [t_end]
        if self.rng.random() < 0.45:
            else_b = self.new()
            self.edge(cond, else_b, FALSE)
            ends.append(self.body(else_b, self._part(left), loop, fexit, depth + 1))
            fall = False
        else:
            fall = True
        live = [e for e in ends if e is not None]
        if not live and not fall:
            return None
        join = self.new()
        for e in live:
            self.edge(e, join, UNCONDITIONAL)
        if fall:
            self.edge(cond, join, FALSE)
        return join

    def _while(self, cur, left, fexit, depth):
        head = self.new()
        self.edge(cur, head, UNCONDITIONAL)
        body_b = self.new()
        self.edge(head, body_b, TRUE)
        after = self.new()
        end = self.body(body_b, self._part(left), (head, after), fexit, depth + 1)
        if end is not None:
            self.edge(end, head, LOOPBACK)
        self.edge(head, after, FALSE)
        return after

    def _switch(self, cur, left, loop, fexit, depth):
        cases = self.rng.randint(2, 6)
        share = max(1, self._part(left) // cases)
        join = self.new()
        reached = False
        for _ in range(cases):
            case = self.new()
            self.edge(cur, case, SWITCHCASE)
            end = self.body(case, share, loop, fexit, depth + 1)
            if end is not None:
                self.edge(end, join, UNCONDITIONAL)
                reached = True
        if not reached:
            self.edge(cur, join, SWITCHCASE)  # the default case
        return join

    def _try(self, cur, left, loop, fexit, depth):
        start = self.n
        try_b = self.new()
        self.edge(cur, try_b, UNCONDITIONAL)
        end = self.body(try_b, self._part(left), loop, fexit, depth + 1)
        inside = range(start, self.n)
        handler = self.new()
        for b in inside:
            self.edge(b, handler, EXCEPTION)
        join = self.new()
        self.edge(handler, join, UNCONDITIONAL)
        if end is not None:
            self.edge(end, join, UNCONDITIONAL)
        return join


@functools.lru_cache(maxsize=None)
def program(blocks: int, seed: int = 1) -> tuple[int, tuple[tuple[int, int, int], ...]]:
    """A whole-program graph of about ``blocks`` blocks: entry 0, exit 1."""
    rng = random.Random(seed)
    b = _Builder(rng)
    entry, pexit = b.new(), b.new()
    while b.n < blocks:
        # Function sizes are heavy-tailed: most are small, a few are huge.
        size = min(int(rng.lognormvariate(3.0, 1.0)) + 2, 3000, blocks - b.n)
        fentry, fexit = b.function(max(size - 2, 1))
        b.edge(entry, fentry, UNCONDITIONAL)
        b.edge(fexit, pexit, UNCONDITIONAL)
    return b.n, tuple(b.edges)


@functools.lru_cache(maxsize=None)
def function(blocks: int, seed: int = 2) -> tuple[int, tuple[tuple[int, int, int], ...]]:
    """One function of about ``blocks`` blocks whose body opens with a loop
    (entry 0, exit 1), the shape on which nesting depth runs every pass."""
    rng = random.Random(seed)
    b = _Builder(rng)
    b.function(max(blocks - 2, 1), force_loop=True)
    return b.n, tuple(b.edges)


# ---------------------------------------------------------------- converters


def to_velmora_parts(v, n: int, edges):
    kinds = [getattr(v.EdgeKind, name) for name in KIND_NAMES]
    block = v.BasicBlock
    blocks = {i: block(i) for i in range(n)}
    cfg_edges = [v.CFGEdge(s, t, kinds[k]) for s, t, k in edges]
    return blocks, cfg_edges


def to_velmora(v, n: int, edges, entry: int = 0, exit_: int = 1):
    blocks, cfg_edges = to_velmora_parts(v, n, edges)
    return v.ControlFlowGraph(blocks, cfg_edges, entry, exit_)


def to_rustworkx(rx, n: int, edges, directed: bool = True, forward_only: bool = False):
    # Undirected: a simple graph.  rustworkx's cycle_basis does not finish
    # on a multigraph with parallel edges (it grew memory until killed), so
    # the peer gets parallel and reciprocal edges merged, as networkx does.
    g = rx.PyDiGraph() if directed else rx.PyGraph(multigraph=False)
    g.add_nodes_from(range(n))
    g.add_edges_from_no_data([(s, t) for s, t, k in edges if not (forward_only and k in BACK_KINDS)])
    return g


def to_networkx(nx, n: int, edges, directed: bool = True, forward_only: bool = False):
    g = nx.DiGraph() if directed else nx.Graph()
    g.add_nodes_from(range(n))
    g.add_edges_from((s, t) for s, t, k in edges if not (forward_only and k in BACK_KINDS))
    return g


def shape(n: int, edges) -> dict:
    """A few numbers that say what the graph looks like."""
    kinds = [0] * 9
    pairs = set()
    parallel = 0
    for s, t, k in edges:
        kinds[k] += 1
        key = (min(s, t), max(s, t))
        if key in pairs:
            parallel += 1
        pairs.add(key)
    return {
        "blocks": n,
        "edges": len(edges),
        "edges_per_block": len(edges) / max(n, 1),
        "kinds": dict(zip(KIND_NAMES, kinds)),
        "undirected_parallel": parallel,
    }
