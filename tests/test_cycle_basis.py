"""ControlFlowGraph.cycle_basis(): the breadth-first forest, the cycles it
leaves, and the result records that carry them."""

from collections import deque

import pytest
from hypothesis import given, settings, strategies as st

import velmora as v

K = v.EdgeKind
KINDS = [K.UNCONDITIONAL, K.TRUE, K.FALSE, K.LOOPBACK, K.BREAK, K.CONTINUE, K.RETURN, K.EXCEPTION,
         K.SWITCHCASE]


def graph(block_ids, edges, entry=0):
    blocks = {b: v.BasicBlock(b) for b in block_ids}
    return v.ControlFlowGraph(blocks, [v.CFGEdge(s, t, k) for s, t, k in edges], entry)


def key(edge):
    return (edge.source, edge.target, int(edge.kind))


def walk(cycle):
    return cycle.blocks, [key(e) for e in cycle.edges], key(cycle.back_edge)


def basis(g):
    return [walk(c) for c in g.cycle_basis().cycles]


# ---------------------------------------------------------------- a model

def model(block_ids, edges, entry):
    """The algorithm written out plainly: incidence chains that take new
    edges at their head, the entry's tree first, then the other blocks in
    dict order, and the climb to the common ancestor."""
    blocks = list(dict.fromkeys(block_ids))
    present = set(blocks)
    admitted = [(s, t, int(k)) for s, t, k in edges if s != t and s in present and t in present]
    out_chain = {b: [] for b in blocks}
    in_chain = {b: [] for b in blocks}
    for number, (s, t, _) in enumerate(admitted):
        out_chain[s].insert(0, number)
        in_chain[t].insert(0, number)

    def neighbours(x):
        for number in out_chain[x]:
            yield admitted[number][1], number
        for number in in_chain[x]:
            yield admitted[number][0], number

    depth, parent, parent_edge, tree = {}, {}, {}, set()
    for root in ([entry] if entry in present else []) + blocks:
        if root in depth:
            continue
        depth[root] = 0
        queue = deque([root])
        while queue:
            x = queue.popleft()
            for y, number in neighbours(x):
                if y in depth:
                    continue
                depth[y], parent[y], parent_edge[y] = depth[x] + 1, x, number
                tree.add(number)
                queue.append(y)

    cycles = []
    for number, edge in enumerate(admitted):
        if number in tree:
            continue
        a, b = edge[0], edge[1]
        p, q, ep, eq = [a], [b], [], []
        while depth[a] > depth[b]:
            ep.append(parent_edge[a]); a = parent[a]; p.append(a)
        while depth[b] > depth[a]:
            eq.append(parent_edge[b]); b = parent[b]; q.append(b)
        while a != b:
            ep.append(parent_edge[a]); a = parent[a]; p.append(a)
            eq.append(parent_edge[b]); b = parent[b]; q.append(b)
        walk_blocks = p + q[:-1][::-1] + [edge[0]]
        walk_edges = [admitted[n] for n in ep + eq[::-1]] + [edge]
        cycles.append((walk_blocks, walk_edges, edge))
    return cycles


def components(block_ids, edges):
    root = {b: b for b in block_ids}

    def find(x):
        while root[x] != x:
            root[x] = root[root[x]]
            x = root[x]
        return x

    for s, t, _ in edges:
        if s in root and t in root:
            root[find(s)] = find(t)
    return len({find(b) for b in root})


ids = st.integers(0, 11)
multigraphs = st.tuples(
    st.lists(ids, max_size=10),
    st.lists(st.tuples(ids, ids, st.sampled_from(KINDS)), max_size=24),
    ids,
)


# ---------------------------------------------------------------- exact walks

def test_loop_with_back_edge():
    g = graph(range(4), [(0, 1, K.UNCONDITIONAL), (1, 2, K.TRUE), (2, 1, K.LOOPBACK), (1, 3, K.FALSE)])
    assert basis(g) == [([2, 1, 2], [(1, 2, 1), (2, 1, 3)], (2, 1, 3))]
    assert g.cycle_basis().betti_1 == 1


def test_diamond_is_closed_by_the_older_branch():
    # Newest-first: 0 reaches 2 before 1, so 3 hangs under 2 and 1->3 closes.
    g = graph(range(4), [(0, 1, K.TRUE), (0, 2, K.FALSE), (1, 3, K.UNCONDITIONAL), (2, 3, K.UNCONDITIONAL)])
    assert basis(g) == [([1, 0, 2, 3, 1], [(0, 1, 1), (0, 2, 2), (2, 3, 0), (1, 3, 0)], (1, 3, 0))]


def test_parallel_edges_keep_the_newer_in_the_tree():
    g = graph(range(2), [(0, 1, K.TRUE), (0, 1, K.FALSE)])
    assert basis(g) == [([0, 1, 0], [(0, 1, 2), (0, 1, 1)], (0, 1, 1))]


def test_reciprocal_edges():
    g = graph(range(2), [(0, 1, K.TRUE), (1, 0, K.LOOPBACK)])
    assert basis(g) == [([1, 0, 1], [(0, 1, 1), (1, 0, 3)], (1, 0, 3))]


def test_first_end_chain_comes_before_second_end_chain():
    # 0 lists its own out-edge 0->2 before its in-edge 1->0, so 2 is queued
    # first and takes 3 before 1 can: 1->3 closes the cycle, not 2->3. (1
    # joins the entry's tree against the direction of 1->0.)
    g = graph(range(4), [(1, 0, K.TRUE), (0, 2, K.TRUE), (1, 3, K.FALSE), (2, 3, K.FALSE)])
    assert basis(g) == [([1, 0, 2, 3, 1], [(1, 0, 1), (0, 2, 1), (2, 3, 2), (1, 3, 2)], (1, 3, 2))]


@pytest.mark.parametrize("edges", [
    [],
    [(0, 1, K.TRUE), (1, 2, K.TRUE)],                      # a tree
    [(1, 1, kind) for kind in KINDS],                      # self-loops of every kind
    [(0, 99, K.TRUE), (99, 0, K.FALSE), (5, 6, K.TRUE)],   # ends that are not blocks
])
def test_nothing_to_close(edges):
    result = graph(range(3), edges).cycle_basis()
    assert result.cycles == [] and result.betti_1 == 0


def test_empty_graph_and_missing_entry():
    assert v.ControlFlowGraph().cycle_basis().betti_1 == 0
    # The entry names no block: every component is rooted in dict order.
    g = graph([3, 1, 2], [(1, 2, K.TRUE), (2, 3, K.TRUE), (3, 1, K.FALSE)], entry=7)
    assert basis(g) == model([3, 1, 2], [(1, 2, K.TRUE), (2, 3, K.TRUE), (3, 1, K.FALSE)], 7)
    assert basis(g)[0][0][0] == 1


def test_long_cycle():
    # A walk far deeper than any recursion limit.
    n = 200_000
    edges = [(i, i + 1, K.UNCONDITIONAL) for i in range(n - 1)] + [(n - 1, 0, K.LOOPBACK)]
    [cycle] = graph(range(n), edges).cycle_basis().cycles
    blocks = cycle.blocks
    # The forest grows both ways round the ring from 0 and meets halfway.
    assert len(blocks) == n + 1 and sorted(blocks[1:]) == list(range(n))
    assert blocks[0] == blocks[-1] == cycle.back_edge.source == n // 2


def test_many_long_cycles_share_one_forest():
    # Two arms of length L from 0, joined at their far ends by many parallel
    # edges: each closes a walk of 2L + 1 edges, far more steps in all than
    # the graph has edges. Each read still gives the full walk.
    arm, joins = 20_000, 2_000
    edges = [(0, 1, K.TRUE), (0, arm + 1, K.FALSE)]
    edges += [(i, i + 1, K.UNCONDITIONAL) for i in range(1, arm)]
    edges += [(i, i + 1, K.UNCONDITIONAL) for i in range(arm + 1, 2 * arm)]
    edges += [(arm, 2 * arm, K.LOOPBACK)] * joins
    result = graph(range(2 * arm + 1), edges).cycle_basis()
    assert result.betti_1 == joins
    cycles = result.cycles
    for cycle in (cycles[0], cycles[-1]):
        blocks = cycle.blocks
        assert blocks[:3] == [arm, arm - 1, arm - 2] and blocks[-3:] == [2 * arm - 1, 2 * arm, arm]
        assert blocks[arm] == 0 and len(cycle.edges) == 2 * arm + 1


# ---------------------------------------------------------------- random graphs

@settings(max_examples=300)
@given(multigraphs)
def test_matches_model(case):
    block_ids, edges, entry = case
    assert basis(graph(block_ids, edges, entry)) == model(block_ids, edges, entry)


@settings(max_examples=200)
@given(multigraphs)
def test_cycles_are_closed_walks(case):
    block_ids, edges, entry = case
    present = set(block_ids)
    admitted = [(s, t, int(k)) for s, t, k in edges if s != t and s in present and t in present]
    result = graph(block_ids, edges, entry).cycle_basis()
    cycles = result.cycles
    assert result.betti_1 == len(cycles) == len(admitted) - len(present) + components(present, edges)

    position = 0
    for cycle in cycles:
        blocks, walk_edges, back = walk(cycle)
        assert len(blocks) == len(walk_edges) + 1 >= 3
        assert blocks[0] == blocks[-1] == back[0]
        assert walk_edges[-1] == back
        for here, there, edge in zip(blocks, blocks[1:], walk_edges):
            assert {here, there} == {edge[0], edge[1]} and edge in admitted
        # Back edges stand in edge-list order (greedy subsequence match).
        position = admitted.index(back, position) + 1


# ---------------------------------------------------------------- the records

def test_reads_build_new_objects():
    g = graph(range(3), [(0, 1, K.TRUE), (1, 2, K.TRUE), (2, 1, K.LOOPBACK)])
    result = g.cycle_basis()
    first, second = result.cycles, result.cycles
    assert first is not second and first[0] is not second[0]
    assert walk(first[0]) == walk(second[0])
    cycle = first[0]
    assert cycle.blocks is not cycle.blocks
    assert cycle.edges[0] is not cycle.edges[0]
    assert cycle.back_edge is not cycle.back_edge
    assert cycle.back_edge.kind is K.LOOPBACK
    cycle.blocks.append(5)
    cycle.edges.clear()
    assert walk(cycle) == walk(result.cycles[0])


def test_result_outlives_graph_and_generators_outlive_result():
    g = graph(range(3), [(0, 1, K.TRUE), (1, 2, K.TRUE), (2, 0, K.LOOPBACK)])
    result = g.cycle_basis()
    expected = basis(g)
    del g
    cycle = result.cycles[0]
    del result
    assert walk(cycle) == expected[0]


def test_record_classes():
    result = graph(range(2), [(0, 1, K.TRUE), (1, 0, K.TRUE)]).cycle_basis()
    cycle = result.cycles[0]
    for cls in (v.CycleGenerator, v.CycleBasisResult):
        assert cls.__doc__ is None
        with pytest.raises(TypeError):
            cls()
    with pytest.raises(AttributeError):
        result.betti_1 = 3
    with pytest.raises(AttributeError):
        cycle.blocks = []
    with pytest.raises(TypeError):
        graph(range(2), []).cycle_basis(1)
    assert v.CycleGenerator.blocks.__doc__ == "Ordered walk of block ids forming the closed loop; first == last."
    assert v.CycleGenerator.edges.__doc__ == "The tree-path edges plus the one back edge, in walk order."
    assert v.CycleGenerator.back_edge.__doc__ == 'The non-tree edge that "generates" this cycle.'
    assert v.CycleBasisResult.cycles.__doc__ is None
    assert v.CycleBasisResult.betti_1.__doc__ == (
        "Rank of H1 (the cycle space) \u2014 equals `cyclomatic_complexity() - 1`\n"
        "when the CFG has a single connected component (P=1, guaranteed by the\n"
        "builder's synthetic entry/exit blocks).")
    assert v.ControlFlowGraph.cycle_basis.__doc__.splitlines()[0] == (
        "Fundamental cycle basis (spanning tree + back-edge closure)")
