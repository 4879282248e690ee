"""ControlFlowGraph: construction, attributes and the five shape metrics,
checked against small Python models on random graphs plus a few
hand-checked graphs that pin listing-order effects."""

import graphlib
import random
import re
import signal

import pytest
from hypothesis import given, settings, strategies as st

import velmora as v

K = v.EdgeKind
U, T, F, LB, BR, CO, RE, EX, SW = (K.UNCONDITIONAL, K.TRUE, K.FALSE, K.LOOPBACK, K.BREAK, K.CONTINUE,
                                   K.RETURN, K.EXCEPTION, K.SWITCHCASE)
KINDS = [U, T, F, LB, BR, CO, RE, EX, SW]
CYCLE_PREFIX = "CFG has a back-edge not tagged LOOPBACK/CONTINUE \u2014 builder invariant violated: Cycle(NodeIndex("
CYCLE_RE = re.compile(re.escape(CYCLE_PREFIX) + r"(\d+)\)\)$")


def graph(keys, edges=(), entry=0, exit=1):
    blocks = {k: v.BasicBlock(k) for k in keys}
    return v.ControlFlowGraph(blocks, [v.CFGEdge(s, t, kind) for s, t, kind in edges], entry, exit)


def panic_message(call):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "PanicException"
    assert not isinstance(info.value, Exception)
    return info.value.args[0]


# ------------------------------------------------------------------ models

def model_components(keys, edges):
    parent = {k: k for k in keys}

    def find(x):
        while parent[x] != x:
            x = parent[x]
        return x

    for s, t, _ in edges:
        if s in parent and t in parent:
            parent[find(s)] = find(t)
    return len({find(k) for k in keys})


def model_cyclomatic(keys, edges):
    return max(1, len(edges) - len(keys) + 2 * model_components(keys, edges))


def model_essential(edges):
    return 1 + sum(kind in (BR, CO, RE) for _, _, kind in edges)


def model_nesting(keys, edges, entry):
    depth = {entry: 0}
    limit = 2 * len(keys)
    passes = 0
    while limit and edges:
        raised = False
        for s, t, kind in edges:
            if s not in depth:
                continue
            cand = depth[s] + (kind in (T, SW))
            depth.setdefault(t, 0)
            if depth[t] < cand:
                depth[t] = cand
                raised = True
        if not raised:
            break
        passes += 1
        if passes >= limit:
            break
    return max(depth.values())


def model_longest(keys, edges, entry, exit):
    """Returns the path length, or the set of blocks on a forward cycle."""
    succ = {k: [] for k in keys}
    for s, t, kind in edges:
        if kind not in (LB, CO) and s in succ and t in succ:
            succ[s].append(t)

    def reaches_itself(u):
        seen, todo = set(), list(succ[u])
        while todo:
            x = todo.pop()
            if x == u:
                return True
            if x not in seen:
                seen.add(x)
                todo.extend(succ[x])
        return False

    sorter = graphlib.TopologicalSorter({k: [] for k in keys})
    for s, targets in succ.items():
        for t in targets:
            sorter.add(t, s)
    try:
        order = list(sorter.static_order())
    except graphlib.CycleError:
        return {u for u in keys if reaches_itself(u)}
    if entry not in succ or exit not in succ:
        return 0
    dist = {entry: 0}
    for u in order:
        for t in succ[u] if u in dist else ():
            dist[t] = max(dist.get(t, 0), dist[u] + 1)
    return dist.get(exit, 0)


@st.composite
def random_graphs(draw):
    # Sizes drawn uniformly (hypothesis' own integers crowd around 0 and
    # would leave most graphs without a path). Ids 0..9 may be blocks; 10
    # and 11 never are, so edges, entry and exit often name other ids.
    rnd = draw(st.randoms(use_true_random=False))
    keys = rnd.sample(range(10), rnd.randint(0, 7))
    pool = keys * 3 + [rnd.randrange(12) for _ in range(3)]

    def pick():
        return rnd.choice(pool)

    kinds = KINDS + [U, T, SW]  # branch edges a little more often
    edges = [(pick(), pick(), rnd.choice(kinds)) for _ in range(rnd.randint(0, 16))]
    edges += rnd.choices(edges, k=min(len(edges), rnd.randint(0, 3)))  # duplicates
    rnd.shuffle(edges)
    if rnd.random() < 0.5:
        # Tag every edge that does not go up in id as a loop edge, so the
        # forward graph is acyclic and the path itself gets checked.
        edges = [(s, t, kind if s < t else rnd.choice([LB, CO])) for s, t, kind in edges]
        if keys and rnd.random() < 0.5:
            return keys, edges, min(keys), max(keys)
    return keys, edges, pick(), pick()


@given(random_graphs())
@settings(max_examples=400)
def test_metrics_agree_with_models(case):
    keys, edges, entry, exit = case
    g = graph(keys, edges, entry, exit)
    assert g.connected_components() == model_components(keys, edges)
    assert g.cyclomatic_complexity() == model_cyclomatic(keys, edges)
    assert g.essential_complexity() == model_essential(edges)
    assert g.max_nesting_depth() == model_nesting(keys, edges, entry)
    expected = model_longest(keys, edges, entry, exit)
    if isinstance(expected, set):
        k = int(CYCLE_RE.match(panic_message(g.longest_acyclic_path)).group(1))
        assert keys[k] in expected  # node numbers follow the dict's order
        panic_message(g.longest_acyclic_path)  # the graph is unchanged by the failure
    else:
        assert g.longest_acyclic_path() == expected


@given(random_graphs(), st.randoms(use_true_random=False))
@settings(max_examples=100)
def test_results_do_not_depend_on_dict_order(case, rnd):
    keys, edges, entry, exit = case
    shuffled = list(keys)
    rnd.shuffle(shuffled)
    a, b = graph(keys, edges, entry, exit), graph(shuffled, edges, entry, exit)
    for name in ("connected_components", "cyclomatic_complexity", "essential_complexity", "max_nesting_depth"):
        assert getattr(a, name)() == getattr(b, name)()
    if not isinstance(model_longest(keys, edges, entry, exit), set):
        assert a.longest_acyclic_path() == b.longest_acyclic_path()


# ------------------------------------------------------------ construction

class TestConstruction:
    def test_defaults_and_stored_values(self):
        g = v.ControlFlowGraph()
        assert (g.blocks, g.edges, g.entry_id, g.exit_id) == ({}, [], 0, 1)
        g = v.ControlFlowGraph({5: v.BasicBlock(9, label="x")}, [v.CFGEdge(0, 99, T)] * 2, 2**64 - 1, 7)
        assert list(g.blocks) == [5] and g.blocks[5].id == 9 and g.blocks[5].label == "x"
        assert [(e.source, e.target, e.kind) for e in g.edges] == [(0, 99, T)] * 2
        assert (g.entry_id, g.exit_id) == (2**64 - 1, 7)

    def test_later_key_with_same_value_replaces_earlier_in_place(self):
        class Idx:
            def __index__(self):
                return 1

        g = v.ControlFlowGraph({1: v.BasicBlock(10), 2: v.BasicBlock(20), Idx(): v.BasicBlock(30)})
        assert [(k, b.id) for k, b in g.blocks.items()] == [(1, 30), (2, 20)]
        assert g.connected_components() == 2

    def test_copies_in_and_out(self):
        edges = [v.CFGEdge(0, 1, T)]
        blocks = {0: v.BasicBlock(0)}
        g = v.ControlFlowGraph(blocks, edges)
        edges.append(v.CFGEdge(1, 2, F))
        blocks[1] = v.BasicBlock(1)
        assert len(g.edges) == 1 and list(g.blocks) == [0]
        assert g.edges[0] is not g.edges[0] and g.edges[0] is not edges[0]
        assert g.blocks[0] is not g.blocks[0] and g.blocks[0] is not blocks[0]
        assert g.blocks is not g.blocks

    def test_failures_name_the_parameter_in_argument_order(self):
        b = v.BasicBlock(0)
        with pytest.raises(TypeError, match="argument 'blocks'"):
            v.ControlFlowGraph([b])
        with pytest.raises(TypeError, match="argument 'blocks'"):
            v.ControlFlowGraph({"0": b})
        with pytest.raises(TypeError, match="argument 'blocks'"):
            v.ControlFlowGraph({0: v.CFGEdge(0, 1, T)})
        with pytest.raises(OverflowError):
            v.ControlFlowGraph({-1: b})
        with pytest.raises(OverflowError):
            v.ControlFlowGraph({2**64: b})
        with pytest.raises(TypeError, match="argument 'edges'"):
            v.ControlFlowGraph(None, [b])
        with pytest.raises(TypeError, match="argument 'blocks'"):
            v.ControlFlowGraph([b], [b], None, None)  # blocks is converted first
        with pytest.raises(TypeError, match="argument 'entry_id'"):
            v.ControlFlowGraph(entry_id=None)
        with pytest.raises(TypeError, match="argument 'exit_id'"):
            v.ControlFlowGraph(exit_id=None)
        with pytest.raises(OverflowError):
            v.ControlFlowGraph(entry_id=-1)


# ----------------------------------------------------------- hand-checked

def test_components_and_cyclomatic_on_degenerate_graphs():
    cases = [
        ([], [], 0, 1),
        ([0, 1, 2, 3, 4], [], 5, 5),
        ([0], [(0, 7, U)], 1, 2),          # a dangling edge counts in E only
        ([], [(0, 1, U)] * 3, 0, 3),
        ([0], [(0, 0, U)], 1, 2),
        ([0], [(0, 0, U)] * 2, 1, 3),
        ([0, 1], [(1, 0, U)], 1, 1),       # direction is ignored
        ([0, 1, 2, 3], [(0, 1, U), (0, 2, U), (1, 3, U), (2, 3, U)], 1, 2),
    ]
    for keys, edges, components, cyclomatic in cases:
        g = graph(keys, edges)
        assert (g.connected_components(), g.cyclomatic_complexity()) == (components, cyclomatic), (keys, edges)


def test_essential_complexity_counts_break_continue_return():
    assert graph([]).essential_complexity() == 1
    assert graph([], [(0, 1, BR), (1, 1, RE), (0, 1, EX), (5, 6, CO), (0, 1, LB)]).essential_complexity() == 4


LOOP = [(0, 1, U), (1, 2, T), (2, 1, LB), (1, 3, F)]


@pytest.mark.parametrize("keys, edges, entry, expected", [
    ([0, 1, 2, 3], [(0, 1, T), (1, 2, T), (2, 3, U)], 0, 2),
    ([0, 1, 2, 3], LOOP, 0, 8),                      # raised in every pass up to the limit of 2 x 4
    ([0, 1, 2], [(2, 1, T), (0, 2, U)], 0, 0),       # entering block 2 at depth 0 is no change
    ([0, 1, 2], [(0, 2, U), (2, 1, T)], 0, 1),
    ([0, 1], [(1, 1, T), (0, 1, U)], 0, 0),
    ([0, 1], [(0, 1, U), (1, 1, T)], 0, 4),
    ([5], [(0, 1, T)], 0, 1),                        # ids outside the blocks take part
    ([], [(0, 1, T)], 0, 0),
    ([0, 1], [], 0, 0),
    ([0, 1], [(3, 0, SW), (0, 1, SW)], 3, 2),        # entry that is not a block
])
def test_max_nesting_depth_listing_order(keys, edges, entry, expected):
    assert graph(keys, edges, entry).max_nesting_depth() == expected


@pytest.mark.parametrize("keys, edges, entry, exit, expected", [
    ([0, 1, 2, 3], [(0, 1, U), (1, 2, U), (2, 3, U)], 0, 3, 3),
    ([0, 1, 2, 3, 4], [(0, 1, T), (1, 3, U), (0, 2, F), (2, 4, U), (4, 3, U)], 0, 3, 3),
    ([0, 1, 2, 3], LOOP, 0, 3, 2),
    ([0, 1, 2, 3], [(0, 1, U), (1, 2, T), (2, 1, CO), (2, 3, BR), (1, 3, F)], 0, 3, 3),
    ([0, 1, 2, 3], LOOP + [(3, 3, LB), (0, 9, U), (0, 3, U), (0, 3, U)], 0, 3, 2),
    ([0, 1, 2, 3], LOOP, 2, 2, 0),
    ([0, 1, 2, 3], LOOP, 3, 0, 0),                   # exit not reached
    ([0, 1, 2, 3], LOOP, 0, 7, 0),
    ([0, 1, 2, 3], LOOP, 7, 3, 0),
    ([], [(0, 1, U), (1, 0, U)], 0, 1, 0),
])
def test_longest_acyclic_path(keys, edges, entry, exit, expected):
    assert graph(keys, edges, entry, exit).longest_acyclic_path() == expected


def test_longest_path_cycle_is_reported_before_entry_and_exit():
    g = graph([0, 1, 2, 3], [(0, 1, U), (1, 2, T), (2, 1, U), (1, 3, F)], 0, 3)
    assert CYCLE_RE.match(panic_message(g.longest_acyclic_path)).group(1) in ("1", "2")
    assert g.max_nesting_depth() == 8  # still usable after the failure
    # An unreachable self-loop, with an entry that is not a block at all.
    g = graph([4, 0, 6], [(0, 4, U), (6, 6, EX)], 99, 4)
    assert panic_message(g.longest_acyclic_path) == CYCLE_PREFIX + "2))"


# ------------------------------------------------------------ big graphs

def test_max_nesting_depth_answers_ctrl_c():
    # A TRUE edge on a cycle of n blocks runs 2n passes over n edges: far
    # longer than the alarm.
    n = 100_000
    g = graph(range(n), [(i, i + 1, T) for i in range(n - 1)] + [(n - 1, 0, LB)], 0, n - 1)
    old = signal.signal(signal.SIGALRM, signal.default_int_handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(KeyboardInterrupt):
            g.max_nesting_depth()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    assert g.connected_components() == 1


def test_large_random_graph_matches_models():
    rnd = random.Random(7)
    n = 3000
    keys = rnd.sample(range(10 * n), n)
    edges = []
    for _ in range(2 * n):
        a, b = rnd.sample(range(n), 2)
        kind = rnd.choice(KINDS)
        if a > b and kind not in (LB, CO):
            kind = LB
        edges.append((keys[a], keys[b], kind))
    edges.append((keys[0], 123_456_789, T))
    g = graph(keys, edges, keys[0], keys[-1])
    assert g.connected_components() == model_components(keys, edges)
    assert g.cyclomatic_complexity() == model_cyclomatic(keys, edges)
    # Loop edges still count for nesting, so the full pass limit would make
    # the model too slow; the forward part alone settles in a few passes.
    forward = [e for e in edges if e[2] not in (LB, CO)]
    assert graph(keys, forward, keys[0]).max_nesting_depth() == model_nesting(keys, forward, keys[0])
    assert g.longest_acyclic_path() == model_longest(keys, edges, keys[0], keys[-1])
