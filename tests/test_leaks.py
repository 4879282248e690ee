"""Leaks: every entry point, on its success path and on error paths that
fail halfway through a conversion, run thousands of times. Neither the
C++ heap nor the count of Python objects may grow, and the objects passed
in keep their reference counts."""

import ctypes
import gc
import sys

import pytest

import velmora as v

ROUNDS = 5000
BIG = "x" * 1500 + "é"  # a leaked copy of a text is at least a kilobyte
SHORT = BIG[-200:]  # deflate at level 9 is the cost of a probe, not the text
K = v.EdgeKind


def _mallinfo2():
    try:
        fn = ctypes.CDLL(None).mallinfo2
    except AttributeError:
        return None

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
            "keepcost")]

    fn.restype = MallInfo2
    return fn


def _sanitized():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


MALLINFO = None if _sanitized() else _mallinfo2()


def heap_in_use():
    """Bytes the C allocator has handed out and not had back (pymalloc's
    arenas are mapped directly, so this is the C++ side and big objects)."""
    if MALLINFO is None:
        return 0
    info = MALLINFO()
    return info.uordblks + info.hblkhd


SPAN = v.SourceSpan(BIG, 1, 2, 3, 4, 5, 6)
NATIVE = v.NativeRef(BIG, "1", "k")
LEAF = v.UASTNode(BIG, "py", SPAN, NATIVE, {BIG: BIG}, None, BIG)
NODE = v.UASTNode("k", "py", SPAN, NATIVE, {"a": BIG}, [LEAF, LEAF], "id")
BLOCKS = {i: v.BasicBlock(i, [NODE], BIG) for i in range(20)}
# Forward edges of mixed kinds plus LOOPBACK edges closing loops, so every
# metric answers (none panics).
FORWARD = [K.TRUE, K.FALSE, K.UNCONDITIONAL, K.BREAK, K.SWITCHCASE]
EDGES = [v.CFGEdge(i, i + 1, FORWARD[i % 5]) for i in range(19)]
EDGES += [v.CFGEdge(i, i - 3, K.LOOPBACK) for i in range(4, 20, 4)] + [v.CFGEdge(2, 9, K.TRUE)]
GRAPH = v.ControlFlowGraph(BLOCKS, EDGES, 0, 19)
CYCLIC = v.ControlFlowGraph(BLOCKS, [v.CFGEdge(0, 1, K.TRUE), v.CFGEdge(1, 0, K.UNCONDITIONAL)])
WEDGES = [v.WeightedEdge(i % 13, (i * 5) % 17, 1.0 + i) for i in range(60)]
WEIGHTS = {i: 0.5 + i for i in range(17)}
TEXTS = [BIG + str(i % 7) for i in range(12)]


class Idx:
    def __index__(self):
        return 3


IDX = Idx()


class Seq:
    def __init__(self, items, fail_at):
        self.items, self.fail_at = items, fail_at

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if i == self.fail_at:
            raise LookupError("stop here")
        return self.items[i]


FIELDS = {}


def fields(cls):
    if cls not in FIELDS:
        FIELDS[cls] = [n for n in dir(cls) if not n.startswith("_") and not callable(getattr(cls, n))]
    return FIELDS[cls]


def read_all(obj, depth=0):
    if depth > 3 or isinstance(obj, K):
        return
    if isinstance(obj, (list, tuple)):
        for x in obj:
            read_all(x, depth + 1)
    elif isinstance(obj, dict):
        for x in obj.values():
            read_all(x, depth + 1)
    elif type(obj).__name__ in v.__all__:
        for name in fields(type(obj)):
            read_all(getattr(obj, name), depth + 1)


def graph_methods():
    for m in ("cyclomatic_complexity", "essential_complexity", "max_nesting_depth", "longest_acyclic_path",
              "connected_components"):
        getattr(GRAPH, m)()
    read_all(GRAPH.cycle_basis())


# name -> (call, exception it raises or None, objects whose refcounts must hold)
CASES = {
    "span": (lambda: read_all(v.SourceSpan(BIG, 1, 2, 3, 4, IDX, 6)), None, [BIG, IDX]),
    "native": (lambda: read_all(v.NativeRef(BIG, BIG, BIG)), None, [BIG]),
    "node": (lambda: read_all(v.UASTNode(BIG, BIG, SPAN, NATIVE, {BIG: BIG}, [NODE, LEAF], id=BIG)), None,
             [BIG, SPAN, NATIVE, NODE, LEAF]),
    "block": (lambda: read_all(v.BasicBlock(IDX, (NODE, LEAF), label=BIG)), None, [NODE, IDX, BIG]),
    "cfg_edge": (lambda: read_all(v.CFGEdge(1, IDX, K.RETURN)), None, [IDX, K.RETURN]),
    "graph": (lambda: read_all(v.ControlFlowGraph(BLOCKS, EDGES, entry_id=0, exit_id=IDX)), None,
              [BLOCKS, EDGES, EDGES[3], BLOCKS[4]]),
    "graph_methods": (graph_methods, None, [GRAPH]),
    "weighted_edge": (lambda: read_all(v.WeightedEdge(IDX, 2, weight=IDX)), None, [IDX]),
    "balanced": (lambda: read_all(v.balanced_forman_curvature(WEDGES)), None, [WEDGES, WEDGES[0]]),
    "directed": (lambda: read_all(v.directed_forman_curvature(WEDGES, WEIGHTS)), None, [WEDGES, WEIGHTS]),
    "probes": (lambda: (v.calculate_kolmogorov_proxy(SHORT), read_all(v.calculate_entropy_detailed(SHORT)),
                        v.calculate_block_entropy(SHORT, 90), v.calculate_entropy_variance(source=SHORT, block_size=IDX)),
               None, [SHORT, IDX]),
    "distance": (lambda: v.compute_sequence_distance(TEXTS, TEXTS[::-1]), None, [TEXTS, TEXTS[0]]),
    # Failures after most of the arguments were converted.
    "span_last_fails": (lambda: v.SourceSpan(BIG, 1, 2, 3, 4, 5, -1), OverflowError, [BIG]),
    "native_last_fails": (lambda: v.NativeRef(BIG, BIG, None), TypeError, [BIG]),
    "node_id_fails": (lambda: v.UASTNode(BIG, BIG, SPAN, NATIVE, {BIG: BIG}, [NODE], id=None), TypeError,
                      [BIG, NODE, SPAN]),
    "node_attribute_fails": (lambda: v.UASTNode(BIG, BIG, SPAN, NATIVE, {BIG: BIG, "z": 1}), TypeError, [BIG]),
    "node_child_fails": (lambda: v.UASTNode(BIG, BIG, SPAN, NATIVE, None, [NODE] * 5 + [SPAN]), TypeError,
                         [NODE, SPAN]),
    "block_label_fails": (lambda: v.BasicBlock(1, [NODE] * 10, None), TypeError, [NODE]),
    "graph_exit_fails": (lambda: v.ControlFlowGraph(BLOCKS, EDGES, 0, -1), OverflowError, [BLOCKS, EDGES]),
    "graph_edge_fails": (lambda: v.ControlFlowGraph(BLOCKS, EDGES + [WEDGES[0]]), TypeError, [BLOCKS, WEDGES[0]]),
    "graph_key_fails": (lambda: v.ControlFlowGraph({**BLOCKS, "k": BLOCKS[0]}), TypeError, [BLOCKS[0]]),
    "generic_sequence_fails": (lambda: v.ControlFlowGraph(edges=Seq(EDGES, 15)), LookupError, [EDGES[0]]),
    "panic": (lambda: CYCLIC.longest_acyclic_path(), BaseException, [CYCLIC]),
    "distance_target_fails": (lambda: v.compute_sequence_distance(TEXTS, TEXTS[:-1] + [1]), TypeError, [TEXTS[0]]),
    "distance_surrogate": (lambda: v.compute_sequence_distance(TEXTS, TEXTS + ["\ud800"]), UnicodeEncodeError,
                           [TEXTS[0]]),
    "balanced_item_fails": (lambda: v.balanced_forman_curvature(WEDGES + [None]), TypeError, [WEDGES[0]]),
    "directed_weight_fails": (lambda: v.directed_forman_curvature(WEDGES, {**WEIGHTS, 99: "x"}), TypeError,
                              [WEDGES[0]]),
    "probe_size_fails": (lambda: v.calculate_block_entropy(BIG, -1), OverflowError, [BIG]),
    "bad_keyword": (lambda: v.compute_sequence_distance(TEXTS, target=TEXTS, other=1), TypeError, [TEXTS]),
    "edge_kind_compare": (lambda: (K.TRUE == IDX, K.TRUE != BIG, int(K.SWITCHCASE), repr(K.BREAK)), None, [IDX]),
}


def run(call, expected, rounds):
    for _ in range(rounds):
        try:
            call()
        except BaseException as e:  # noqa: BLE001 - the panic class is not bound
            if expected is None or not isinstance(e, expected) or isinstance(e, KeyboardInterrupt):
                raise


@pytest.mark.parametrize("name", CASES)
def test_repeated_calls_do_not_grow_memory_or_refcounts(name):
    call, expected, held = CASES[name]
    run(call, expected, 300)  # warm-up: lazily made objects, caches, free lists
    gc.collect()
    refs = [sys.getrefcount(o) for o in held]
    blocks = sys.getallocatedblocks()
    heap = heap_in_use()
    run(call, expected, ROUNDS)
    gc.collect()
    assert [sys.getrefcount(o) for o in held] == refs
    assert sys.getallocatedblocks() - blocks < 64
    # A leak of a single converted text would be ROUNDS kilobytes.
    assert heap_in_use() - heap < 128 * 1024
