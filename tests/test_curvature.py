import math
import struct
from collections import defaultdict

import pytest
from hypothesis import given
from hypothesis import strategies as st

import velmora
from velmora import WeightedEdge, EdgeCurvature, balanced_forman_curvature, directed_forman_curvature


# ---------------------------------------------------------------- models


def balanced_model(edges):
    """The balanced curvature with plain sets, in the formula's own grouping."""
    index = {}
    for s, t, _ in edges:
        index.setdefault(s, len(index))
        index.setdefault(t, len(index))
    nbr = [set() for _ in index]
    for s, t, _ in edges:
        i, j = index[s], index[t]
        if i != j:
            nbr[i].add(j)
            nbr[j].add(i)
    seen, out = set(), []
    for s, t, _ in edges:
        i, j = index[s], index[t]
        if i == j or (min(i, j), max(i, j)) in seen:
            continue
        seen.add((min(i, j), max(i, j)))
        dmin, dmax = sorted((len(nbr[i]), len(nbr[j])))
        if dmin < 2:
            out.append((s, t, 0.0))
            continue
        tri = len(nbr[i] & nbr[j])
        values = [len(nbr[i] & nbr[k]) - (k in nbr[i]) for k in nbr[j]]
        values += [len(nbr[k] & nbr[j]) - (k in nbr[j]) for k in nbr[i]]
        positive = [v for v in values if v > 0]
        a = 2.0 / dmax
        b = ((a + 2.0 / dmin) + (-2.0)) + ((a + 1.0 / dmin) * tri)
        out.append((s, t, b + (len(positive) / (float(dmax) * float(max(positive))))))
    return out


def _sqrt(x):
    return math.sqrt(x) if x >= 0 else math.nan


def directed_model(edges, node_weights=None):
    """The directed curvature with per-edge sums over weight lists."""
    nw = node_weights or {}
    incoming, outgoing = defaultdict(list), defaultdict(list)
    for s, t, w in edges:
        if s != t:
            outgoing[s].append(w)
            incoming[t].append(w)
    out = []
    for s, t, we in edges:
        if s == t:
            continue
        if we <= 0:
            out.append((s, t, 0.0))
            continue
        wu, wv = nw.get(s, 1.0), nw.get(t, 1.0)
        s_in = -0.0
        for w in incoming[s]:
            if w > 0:
                s_in += _sqrt(wu / w)
        s_out = -0.0
        for w in outgoing[t]:
            if w > 0:
                s_out += _sqrt(wv / w)
        out.append((s, t, we * ((((wu / we) + (wv / we)) - s_in) - s_out)))
    return out


def bits(x):
    # NaN payloads are not part of the contract; every other value is
    # compared bit for bit, signed zeros included.
    return "nan" if math.isnan(x) else struct.pack("<d", x)


def same(results, expected):
    got = [(r.source, r.target, bits(r.curvature)) for r in results]
    return got == [(s, t, bits(c)) for s, t, c in expected]


def wedges(triples):
    return [WeightedEdge(s, t, w) for s, t, w in triples]


# ---------------------------------------------------------------- strategies

weights = st.one_of(
    st.sampled_from([1.0, 2.0, 0.5, 0.0, -0.0, -2.0, math.nan, math.inf, -math.inf]),
    st.floats(allow_nan=True, allow_infinity=True),
)


@st.composite
def graphs(draw, max_nodes=12, max_edges=40):
    # A small pool of arbitrary 64-bit ids, so edges repeat, reverse, loop
    # and close triangles and 4-cycles often.
    pool = draw(st.lists(st.integers(0, 2**64 - 1), min_size=1, max_size=max_nodes, unique=True))
    node = st.sampled_from(pool)
    return draw(st.lists(st.tuples(node, node, weights), max_size=max_edges)), pool


# ---------------------------------------------------------------- balanced


@pytest.mark.parametrize(
    "edges, expected",
    [
        ([(0, 1), (1, 2), (2, 0)], [2.0] * 3),
        ([(0, 1), (1, 2), (2, 3), (3, 0)], [1.0] * 4),
        ([(0, 1), (0, 2), (0, 3), (1, 2), (1, 3), (2, 3)], [2.0] * 6),
        ([(0, 1), (1, 2), (2, 0), (2, 3)], [2.0, 1.1666666666666663, 1.1666666666666663, 0.0]),
        ([(0, 1), (1, 2)], [0.0, 0.0]),
        ([(5, 7)], [0.0]),
    ],
)
def test_balanced_pinned_values(edges, expected):
    results = balanced_forman_curvature([WeightedEdge(s, t) for s, t in edges])
    assert [(r.source, r.target) for r in results] == edges
    assert [r.curvature for r in results] == expected


def test_balanced_first_edge_of_a_pair_reports_it():
    edges = [WeightedEdge(2, 1), WeightedEdge(1, 2, 3.0), WeightedEdge(1, 2), WeightedEdge(1, 1),
             WeightedEdge(1, 3), WeightedEdge(2, 3)]
    results = balanced_forman_curvature(tuple(edges))
    assert [(r.source, r.target, r.curvature) for r in results] == [(2, 1, 2.0), (1, 3, 2.0), (2, 3, 2.0)]
    assert balanced_forman_curvature([]) == []
    assert balanced_forman_curvature([WeightedEdge(3, 3), WeightedEdge(4, 4)]) == []


@given(graphs())
def test_balanced_matches_set_model(graph):
    edges, _ = graph
    assert same(balanced_forman_curvature(wedges(edges)), balanced_model(edges))


# ---------------------------------------------------------------- directed


def test_directed_pinned_values():
    edges = [WeightedEdge(0, 1, 2.0), WeightedEdge(1, 2, 0.5), WeightedEdge(3, 1, 4.0)]
    results = directed_forman_curvature(edges, {1: 2.0})
    assert [(r.source, r.target, r.curvature) for r in results] == [
        (0, 1, -1.0), (1, 2, 2.146446609406726), (3, 1, -5.0)]
    base = [r.curvature for r in directed_forman_curvature(edges)]
    for nw in (None, {}, {99: 7.0, 2**64 - 1: -1.0}):
        assert [r.curvature for r in directed_forman_curvature(edges, node_weights=nw)] == base
    path = [WeightedEdge(0, 1), WeightedEdge(0, 1), WeightedEdge(1, 2)]
    assert [r.curvature for r in directed_forman_curvature(path)] == [1.0, 1.0, 0.0]
    zero = [WeightedEdge(0, 1, 0.0), WeightedEdge(1, 2, 1.0), WeightedEdge(2, 2, 5.0)]
    assert [r.curvature for r in directed_forman_curvature(zero)] == [0.0, 2.0]


@given(graphs(), st.data())
def test_directed_matches_list_model(graph, data):
    edges, pool = graph
    keys = st.sampled_from(pool) | st.integers(0, 2**64 - 1)
    node_weights = data.draw(st.none() | st.dictionaries(keys, weights, max_size=6))
    expected = directed_model(edges, node_weights)
    assert same(directed_forman_curvature(wedges(edges), node_weights), expected)


class IntLike:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


def test_directed_node_weights_conversion():
    edges = [WeightedEdge(1, 2, 1.0)]
    weighted = directed_forman_curvature(edges, {1: 3.0})[0].curvature
    assert directed_forman_curvature(edges, {IntLike(1): 3.0})[0].curvature == weighted
    assert directed_forman_curvature(edges, type("D", (dict,), {})({1: 3.0}))[0].curvature == weighted
    assert directed_forman_curvature(edges, {1: 3})[0].curvature == weighted
    for bad, exc in (([(1, 3.0)], TypeError), ({-1: 1.0}, OverflowError), ({2**64: 1.0}, OverflowError),
                     ({"a": 1.0}, TypeError), ({1: "x"}, TypeError), ({1: None}, TypeError)):
        with pytest.raises(exc, match="node_weights"):
            directed_forman_curvature(edges, bad)


# ---------------------------------------------------------------- records and arguments


def test_weighted_edge_record():
    e = WeightedEdge(target=2**64 - 1, source=0)
    assert (e.source, e.target, e.weight) == (0, 2**64 - 1, 1.0)
    assert struct.pack("<d", WeightedEdge(1, 2, -0.0).weight) == struct.pack("<d", -0.0)
    assert math.isnan(WeightedEdge(1, 2, math.nan).weight)
    assert WeightedEdge(True, IntLike(3), 2).weight == 2.0
    for args, exc, name in (((-1, 2), OverflowError, "source"), ((1, 2**64), OverflowError, "target"),
                            ((1.0, 2), TypeError, "source"), ((1, 2, None), TypeError, "weight")):
        with pytest.raises(exc, match=name):
            WeightedEdge(*args)
    with pytest.raises(AttributeError):
        e.weight = 2.0
    with pytest.raises(AttributeError):
        e.extra = 1


def test_edge_curvature_is_a_result_record():
    assert EdgeCurvature.__doc__ is None
    with pytest.raises(TypeError):
        EdgeCurvature()
    a, b = balanced_forman_curvature([WeightedEdge(1, 2)] * 2 + [WeightedEdge(2, 1)]), \
        balanced_forman_curvature([WeightedEdge(1, 2)])
    assert len(a) == 1 and a[0] is not b[0] and type(a[0]) is EdgeCurvature
    with pytest.raises(AttributeError):
        a[0].curvature = 1.0


@pytest.mark.parametrize("fn", [balanced_forman_curvature, directed_forman_curvature])
def test_edges_argument_is_checked(fn):
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        fn("edges")
    with pytest.raises(TypeError, match="edges"):
        fn([WeightedEdge(1, 2), (1, 2)])
    with pytest.raises(TypeError, match="edges"):
        fn(iter([WeightedEdge(1, 2)]))
    with pytest.raises(TypeError):
        fn()
    assert len(fn(edges=(WeightedEdge(1, 2),))) == 1


def test_signatures():
    assert WeightedEdge.__text_signature__ == "(source, target, weight=1.0)"
    assert balanced_forman_curvature.__text_signature__ == "(edges)"
    assert directed_forman_curvature.__text_signature__ == "(edges, node_weights=None)"
    assert balanced_forman_curvature.__module__ == directed_forman_curvature.__module__ == "velmora"
    assert "choke points" in directed_forman_curvature.__doc__
    assert "4-cycle" in balanced_forman_curvature.__doc__
    assert velmora.__all__.index("WeightedEdge") == 9
