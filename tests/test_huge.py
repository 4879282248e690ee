"""Huge and deep inputs: a million-block graph, a million-deep syntax
tree, a 100 MB text and a 5,000,000-edge curvature input all work, and an
allocation that cannot be satisfied raises MemoryError instead of
aborting the process."""

import random
import signal
import subprocess
import sys
import textwrap

import pytest

import velmora as v

pytestmark = pytest.mark.slow
K = v.EdgeKind
MILLION = 1_000_000


def test_million_block_graph():
    # A chain 0 -> 1 -> ... with LOOPBACK edges closing 500 loops in the
    # first half and a TRUE edge every tenth step of the second half, so
    # every metric has a known answer.
    n = MILLION
    block = v.BasicBlock(0)
    blocks = dict.fromkeys(range(n), block)
    true_steps = range(n // 2, n - 1, 10)
    edges = [v.CFGEdge(i, i + 1, K.UNCONDITIONAL) for i in range(n - 1)]
    for i in true_steps:
        edges[i] = v.CFGEdge(i, i + 1, K.TRUE)
    loops = [v.CFGEdge(k * 1000 + 999, k * 1000, K.LOOPBACK) for k in range(500)]
    g = v.ControlFlowGraph(blocks, edges + loops + [v.CFGEdge(5, 5, K.RETURN)], 0, n - 1)
    del blocks, edges
    assert g.connected_components() == 1
    assert g.cyclomatic_complexity() == (n - 1 + 501) - n + 2
    assert g.essential_complexity() == 2
    assert g.max_nesting_depth() == len(true_steps)
    basis = g.cycle_basis()
    assert basis.betti_1 == 500
    # Edges join blocks both ways in the forest, so each loop's walk meets
    # in its middle; whatever its back edge, it visits the loop's 1000
    # blocks once and returns to its start.
    for k in (0, 1, 499):
        walk = basis.cycles[k].blocks
        assert len(walk) == 1001 and walk[0] == walk[-1]
        assert sorted(walk[:-1]) == list(range(k * 1000, k * 1000 + 1000))
    # The self-loop of kind RETURN is a forward cycle.
    with pytest.raises(BaseException, match="^CFG has a back-edge"):
        g.longest_acyclic_path()
    assert len(g.edges) == n - 1 + 501
    assert len(g.blocks) == n


def test_million_block_graph_longest_path():
    n = MILLION
    edges = [v.CFGEdge(i, i + 1, K.BREAK if i % 7 == 0 else K.UNCONDITIONAL) for i in range(n - 1)]
    edges += [v.CFGEdge(i, 0, K.CONTINUE) for i in range(0, n, 1000)]
    g = v.ControlFlowGraph(dict.fromkeys(range(n), v.BasicBlock(1)), edges, 0, n - 1)
    assert g.longest_acyclic_path() == n - 1


def test_million_deep_syntax_tree():
    span = v.SourceSpan(None, 0, 0, 0, 0, 0, 0)
    native = v.NativeRef("p", "1", "k")
    node = v.UASTNode("leaf", "py", span, native, id="0")
    for depth in range(1, MILLION):
        node = v.UASTNode("wrap", "py", span, native, None, [node], str(depth))
    g = v.ControlFlowGraph({0: v.BasicBlock(0, [node]), 1: v.BasicBlock(1, [node, node])})
    root = g.blocks[1].statements[1]
    # Walk all the way down through fresh copies, then drop everything at
    # once: freeing a million nested nodes must not take a million frames.
    steps = 0
    while root.children:
        root = root.children[0]
        steps += 1
    assert steps == MILLION - 1 and root.id == "0" and root.kind == "leaf"
    del node, g, root


def code_like_text(size, seed=3):
    rng = random.Random(seed)
    pieces = ["def f(x):\r\n", "    return x + 1\n", "for é in range(10):\n", "  y = [i*i for i in z]\n",
              "# comment ünïcode\r\n", "\r", "\n", "class K:\n"]
    chunk = "".join(rng.choice(pieces) for _ in range(60_000))
    return (chunk * (size // len(chunk) + 1))[:size]


def test_hundred_megabyte_text():
    text = code_like_text(100 * MILLION)
    normalized = len(text.encode()) - text.count("\r\n")
    detailed = v.calculate_entropy_detailed(text)
    assert detailed.original_size == normalized
    assert detailed.ratio == detailed.compressed_size / normalized
    assert 0 < detailed.ratio < 0.2
    # One-character blocks over a megabyte: a million separate measures.
    blocks = v.calculate_block_entropy(text[:MILLION], 1)
    assert len(blocks) == MILLION
    assert blocks[0] == v.calculate_kolmogorov_proxy(text[0])


def test_five_million_curvature_edges():
    # 50,000 disjoint copies of one small random graph under far-apart ids:
    # every copy must get exactly the curvatures of the small graph alone.
    rng = random.Random(11)
    base = [(rng.randrange(40), rng.randrange(40), rng.choice([0.5, 1.0, 2.0, -1.0])) for _ in range(100)]
    small = [v.WeightedEdge(s, t, w) for s, t, w in base]
    copies = 50_000
    stride = 2**40
    edges = [v.WeightedEdge(c * stride + s, c * stride + t, w) for c in range(copies) for s, t, w in base]
    assert len(edges) == 5 * MILLION

    want = [(c.source, c.target, c.curvature) for c in v.directed_forman_curvature(small)]
    got = v.directed_forman_curvature(edges)
    assert len(got) == copies * len(want)
    for c in (0, 1, copies // 2, copies - 1):
        chunk = got[c * len(want):(c + 1) * len(want)]
        assert [(e.source - c * stride, e.target - c * stride, e.curvature) for e in chunk] == want
    del got

    want = [(c.source, c.target, c.curvature) for c in v.balanced_forman_curvature(small)]
    got = v.balanced_forman_curvature(edges)
    assert len(got) == copies * len(want)
    for c in (0, copies // 3, copies - 1):
        chunk = got[c * len(want):(c + 1) * len(want)]
        assert [(e.source - c * stride, e.target - c * stride, e.curvature) for e in chunk] == want


def test_unsatisfiable_allocations_raise_memory_error():
    # In a child whose address space is capped just above what it already
    # uses, each call needs far more than is left: it must raise
    # MemoryError, and the process must carry on normally afterwards.
    code = textwrap.dedent("""
        import resource
        import velmora as v

        K = v.EdgeKind
        edge = v.CFGEdge(0, 1, K.TRUE)
        wedge = v.WeightedEdge(0, 1)
        block = v.BasicBlock(0)
        text = "ab\\r\\n" * 100_000_000
        span = v.SourceSpan(None, 0, 0, 0, 0, 0, 0)
        native = v.NativeRef("p", "1", "k")
        many_nodes = [v.UASTNode("k", "py", span, native)] * 40_000_000
        many_edges = [edge] * 40_000_000
        many_wedges = [wedge] * 40_000_000
        many_words = ["w"] * 60_000_000
        chain = [v.CFGEdge(i, i + 1, K.TRUE) for i in range(3_000_000)]
        chain_graph = v.ControlFlowGraph(dict.fromkeys(range(3_000_001), block), chain)
        calls = {
            "native_ref": lambda: v.NativeRef(text, "", ""),
            "node": lambda: v.UASTNode("k", "py", span, native, None, many_nodes),
            "graph": lambda: v.ControlFlowGraph(None, many_edges),
            "balanced": lambda: v.balanced_forman_curvature(many_wedges),
            "directed": lambda: v.directed_forman_curvature(many_wedges),
            "distance": lambda: v.compute_sequence_distance(many_words, many_words[:-1]),
            "cycle_basis": lambda: [g.blocks for g in chain_graph.cycle_basis().cycles],
            "blocks": lambda: chain_graph.blocks,
        }

        def used():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[0]) * resource.getpagesize()

        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        for name, call in calls.items():
            resource.setrlimit(resource.RLIMIT_AS, (used() + 64 * 2**20, hard))
            try:
                call()
                outcome = "no error"
            except MemoryError:
                outcome = "MemoryError"
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
            print(name, outcome, flush=True)
        assert v.compute_sequence_distance(["a", "b"], ["b"])[0] == 1
        assert v.calculate_kolmogorov_proxy("a") == 0.5425
        print("done")
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    lines = proc.stdout.split("\n")
    assert "done" in lines
    for line in lines:
        if line and line != "done":
            # The cycle basis of a chain has no cycles, so it may succeed.
            assert line.endswith("MemoryError") or line == "cycle_basis no error", line


STARVED = textwrap.dedent("""
    import ctypes, resource, sys, threading
    import velmora as v

    libc = ctypes.CDLL(None)
    libc.malloc.restype = ctypes.c_void_p
    libc.malloc.argtypes = [ctypes.c_size_t]
    libc.free.argtypes = [ctypes.c_void_p]
    held = (ctypes.c_void_p * 1_000_000)()
    span = v.SourceSpan(None, 0, 0, 0, 0, 0, 0)
    native = v.NativeRef("p", "1", "k")

    def starved(action):
        # Runs action() with the address space capped and every byte that
        # malloc could still hand out taken: largest pieces first, then
        # every small size, since glibc caches freed small chunks per exact
        # size where no request of another size reaches them.
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        with open("/proc/self/statm") as f:
            used = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + 64 * 2**20, hard))
        count = 0
        for size in [1 << k for k in range(24, -1, -1)] + list(range(8, 1100, 16)):
            while p := libc.malloc(size):
                held[count] = p
                count += 1
        try:
            return action()
        finally:
            for i in range(count):
                libc.free(held[i])
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))

    def throw():
        try:
            v.UASTNode("k", "py", span, native)
            return "no error"
        except MemoryError:
            return "MemoryError"

    def chain():
        node = v.UASTNode("leaf", "py", span, native)
        for _ in range(10_000):
            node = v.UASTNode("wrap", "py", span, native, {"a": "b"}, [node])
        return node

    def run():
        v.SourceSpan(None, 0, 0, 0, 0, 0, 0)  # this thread's first entry
        print("first throw", starved(throw), flush=True)
        for name, make in [("chain", chain),
                           ("graph", lambda: v.ControlFlowGraph({0: v.BasicBlock(0, [chain()])}))]:
            box = [make()]
            starved(box.clear)
            print("freed", name, flush=True)

    if sys.argv[1] == "worker":
        t = threading.Thread(target=run)
        t.start()
        t.join()
    else:
        run()
""")


@pytest.mark.parametrize("thread", ["main", "worker"])
def test_first_throw_and_freeing_work_when_memory_has_run_out(thread):
    # With malloc unable to give a single byte, a thread's first C++ throw
    # must still become MemoryError, and freeing a deep tree or a graph
    # must not need memory of its own.
    proc = subprocess.run([sys.executable, "-c", STARVED, thread], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.split("\n") == ["first throw MemoryError", "freed chain", "freed graph", ""]


def _complete_graph(n):
    return [v.WeightedEdge(i, j) for i in range(n) for j in range(i + 1, n)]


def test_ctrl_c_stops_a_long_curvature_call():
    # The complete graph on 1,500 nodes takes seconds uninterrupted: the
    # two-step paths through every node number about n**3.
    edges = _complete_graph(1500)
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        with pytest.raises(KeyboardInterrupt):
            v.balanced_forman_curvature(edges)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    # Nothing of the stopped call lingers: the next one answers as usual.
    triangle = [v.WeightedEdge(0, 1), v.WeightedEdge(1, 2), v.WeightedEdge(2, 0)]
    assert [c.curvature for c in v.balanced_forman_curvature(triangle)] == [2.0, 2.0, 2.0]
    assert [c.curvature for c in v.directed_forman_curvature(triangle[:2])] == [1.0, 1.0]
