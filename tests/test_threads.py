"""Threads: many Python threads calling at once on shared graphs, records
and inputs get exactly the answers a single thread gets."""

import random
import sys
import threading

import pytest

import velmora as v

K = v.EdgeKind
KINDS = [K.UNCONDITIONAL, K.TRUE, K.FALSE, K.BREAK, K.SWITCHCASE, K.RETURN]
THREADS = 8


def plain(obj):
    """A comparable picture of a result: records become tuples of their
    fields, lists and dicts their contents."""
    if isinstance(obj, (list, tuple)):
        return tuple(plain(x) for x in obj)
    if isinstance(obj, dict):
        return tuple(sorted((plain(k), plain(x)) for k, x in obj.items()))
    if isinstance(obj, K):
        return repr(obj)
    if type(obj).__name__ in v.__all__:
        names = [n for n in dir(type(obj)) if not n.startswith("_") and not callable(getattr(type(obj), n))]
        return (type(obj).__name__,) + tuple(plain(getattr(obj, n)) for n in names)
    return obj


def make_inputs(seed):
    rng = random.Random(seed)
    span = v.SourceSpan("f.py", 0, 10, 1, 0, 2, 3)
    native = v.NativeRef("p", "1", "k")
    leaf = v.UASTNode("name", "py", span, native, {"id": "x"})
    node = v.UASTNode("call", "py", span, native, {"n": "2"}, [leaf, leaf], "c")
    n = 300
    blocks = {i: v.BasicBlock(i, [node] * (i % 3), f"b{i}") for i in range(n)}
    edges = [v.CFGEdge(i, rng.randrange(i + 1, n + 1) if i + 1 < n else n - 1, rng.choice(KINDS))
             for i in range(n - 1)]
    edges += [v.CFGEdge(rng.randrange(1, n), rng.randrange(0, n), K.LOOPBACK) for _ in range(60)]
    graph = v.ControlFlowGraph(blocks, edges, 0, n - 1)
    wedges = [v.WeightedEdge(rng.randrange(80), rng.randrange(80), rng.uniform(0.1, 3.0)) for _ in range(600)]
    weights = {i: rng.uniform(0.5, 2.0) for i in range(0, 80, 3)}
    words = [rng.choice(["if", "for", "call", "ret", "x"]) for _ in range(400)]
    other = words[:]
    for _ in range(60):
        other[rng.randrange(len(other))] = rng.choice(["while", "x", "yield"])
    text = "".join(rng.choice(["def f():\n", "  return x\r\n", "y = 1\n", "#", "zz"]) for _ in range(500))
    return locals()


INPUTS = make_inputs(7)


def tasks(inp):
    g = inp["graph"]
    return {
        "cycle_basis": lambda: plain(g.cycle_basis()),
        "metrics": lambda: (g.cyclomatic_complexity(), g.connected_components(), g.essential_complexity(),
                            g.max_nesting_depth(), g.longest_acyclic_path()),
        "blocks": lambda: plain(g.blocks),
        "edges": lambda: plain(g.edges),
        "rebuild": lambda: plain(v.ControlFlowGraph(inp["blocks"], inp["edges"], 0, 299).cycle_basis()),
        "node": lambda: plain(inp["node"].children) + plain(inp["node"].attributes),
        "balanced": lambda: plain(v.balanced_forman_curvature(inp["wedges"])),
        "directed": lambda: plain(v.directed_forman_curvature(inp["wedges"], inp["weights"])),
        "distance": lambda: plain(v.compute_sequence_distance(inp["words"], inp["other"])),
        "probes": lambda: (v.calculate_kolmogorov_proxy(inp["text"]), plain(v.calculate_entropy_detailed(inp["text"])),
                           tuple(v.calculate_block_entropy(inp["text"], 256)),
                           v.calculate_entropy_variance(inp["text"], 128)),
    }


@pytest.fixture
def fast_switching():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


def run_threads(work, count=THREADS):
    errors = []
    barrier = threading.Barrier(count)

    def body(index):
        try:
            barrier.wait()
            work(index)
        except BaseException as e:  # noqa: BLE001 - reported in the main thread
            errors.append(e)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def test_concurrent_calls_on_shared_inputs_match_serial_results(fast_switching):
    work = tasks(INPUTS)
    expected = {name: task() for name, task in work.items()}
    mismatches = []

    def worker(index):
        rng = random.Random(index)
        names = list(work) * 3
        rng.shuffle(names)
        for name in names:
            if work[name]() != expected[name]:
                mismatches.append(name)

    run_threads(worker)
    assert mismatches == []


def test_shared_records_survive_being_copied_and_dropped_from_many_threads(fast_switching):
    # Nodes are shared between parents by reference count: threads that
    # build and drop parents of the same children at once must leave the
    # children intact.
    node = INPUTS["node"]
    span, native = INPUTS["span"], INPUTS["native"]
    expected = plain(node)

    def worker(index):
        for i in range(300):
            parent = v.UASTNode("p", "py", span, native, None, [node] * (1 + i % 4), str(index))
            block = v.BasicBlock(i, [parent, node])
            kids = block.statements[0].children
            assert len(kids) == 1 + i % 4
            del parent, block, kids

    run_threads(worker)
    assert plain(node) == expected


def test_a_list_changed_by_another_thread_is_read_whole(fast_switching):
    # Exact lists are read item by item under the interpreter lock; a
    # thread appending and popping meanwhile gives one consistent snapshot.
    shared = list(INPUTS["edges"][:50])
    stop = threading.Event()
    seen = []

    def mutator():
        while not stop.is_set():
            shared.append(v.CFGEdge(1, 2, K.TRUE))
            shared.pop()
            shared.insert(0, v.CFGEdge(3, 4, K.FALSE))
            del shared[0]

    def reader(index):
        for _ in range(200):
            g = v.ControlFlowGraph(None, shared)
            seen.append(len(g.edges))

    m = threading.Thread(target=mutator)
    m.start()
    try:
        run_threads(reader, 4)
    finally:
        stop.set()
        m.join()
    assert set(seen) <= {49, 50, 51}
    assert len(shared) == 50
