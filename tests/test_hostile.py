"""Hostile input: every constructor, method and function fed with wrong
types, out-of-range numbers, str/bytes and their subclasses, dict
subclasses, objects whose protocol methods raise or lie, and containers
that change while they are read. Every call must end with a result or an
ordinary exception; SystemError, a crash or an unnamed conversion error is
a fault."""

import collections
import copy
import math
import os
import pickle
import subprocess
import sys
import textwrap
import weakref

import pytest
from hypothesis import given, settings, strategies as st

import velmora as v

U64_MAX = 2**64 - 1


class Boom(Exception):
    """What a hostile protocol method raises; it must reach the caller."""


# ---------------------------------------------------------------- hostile objects


class Idx:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIdx:
    def __index__(self):
        raise Boom


class IntSub(int):
    pass


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class RaisingFloat:
    def __float__(self):
        raise Boom


class StrSub(str):
    pass


class Seq:
    """A sequence by protocol only, with optional lies in __len__ and a
    __getitem__ that may raise after `fail_at` items."""

    def __init__(self, items, length=None, fail_at=None):
        self.items = list(items)
        self.length = length
        self.fail_at = fail_at

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if self.fail_at is not None and i >= self.fail_at:
            raise Boom
        return self.items[i]


class ShrinkingSeq(Seq):
    """Drops its remaining items while it is being read."""

    def __getitem__(self, i):
        item = self.items[i]
        del self.items[i + 1:]
        return item


class ListSub(list):
    pass


class IterListSub(list):
    """A list subclass whose own __iter__ lies about its contents."""

    def __iter__(self):
        yield from list(list.__iter__(self))[::-1]
        self.clear()


class LyingDict(dict):
    """Overridden mapping methods that the module must not consult."""

    def __iter__(self):
        raise Boom

    def items(self):
        raise Boom

    def keys(self):
        raise Boom

    def __getitem__(self, key):
        raise Boom

    def __len__(self):
        raise Boom


class ClearingIdx:
    """A key whose __index__ empties (and refills) the dict being read."""

    def __init__(self, target, value):
        self.target = target
        self.value = value

    def __index__(self):
        self.target.clear()
        for k in range(50):
            self.target[k + 1000] = None
        return self.value

    def __hash__(self):
        return id(self)


class DeletingFloat:
    """A value whose __float__ deletes every entry of its own dict."""

    def __init__(self, target):
        self.target = target

    def __float__(self):
        self.target.clear()
        return 2.0


# ---------------------------------------------------------------- records

SPAN = v.SourceSpan(None, 0, 1, 1, 0, 1, 1)
NATIVE = v.NativeRef("p", "1", "k")
NODE = v.UASTNode("k", "py", SPAN, NATIVE, {"a": "b"}, [v.UASTNode("c", "py", SPAN, NATIVE)], "n1")
BLOCK = v.BasicBlock(0, [NODE], "b")
EDGE = v.CFGEdge(0, 1, v.EdgeKind.TRUE)
WEDGE = v.WeightedEdge(0, 1, 2.0)

try:
    v.ControlFlowGraph({0: BLOCK, 1: BLOCK}, [v.CFGEdge(0, 1, v.EdgeKind.UNCONDITIONAL),
                                            v.CFGEdge(1, 0, v.EdgeKind.UNCONDITIONAL)]).longest_acyclic_path()
except BaseException as e:  # noqa: BLE001 - the class is not bound in the module
    PANIC = type(e)
assert PANIC.__name__ == "PanicException"

ORDINARY = (TypeError, OverflowError, UnicodeEncodeError, MemoryError, Boom, DeprecationWarning)

# Values of any kind that are wrong for most parameters.
GENERIC = [
    None, True, False, 0, -1, U64_MAX, U64_MAX + 1, -(2**70), 10**100, 1.5, -0.0, math.nan, math.inf, -math.inf,
    "", "abc", "\ud800", StrSub("x"), StrSub("\udfff"), b"abc", bytearray(b"a"), memoryview(b"ab"),
    [], (), [1, 2], ["a"], [None], [SPAN], [EDGE], [WEDGE], [NODE], [BLOCK], ListSub([EDGE]),
    {}, {1: BLOCK}, {"a": "b"}, {1: 1.0}, {None: None}, LyingDict({1: 2}), collections.OrderedDict(a="b"),
    SPAN, NATIVE, NODE, BLOCK, EDGE, WEDGE, v.EdgeKind.LOOPBACK, v.ControlFlowGraph(),
    object(), Boom(), v, int, iter([EDGE]), range(3), complex(1, 2), Idx(1), Idx(-1), Idx(2**64), Idx(1.0),
    Idx("1"), Idx(IntSub(3)), RaisingIdx(), FloatLike(1.0), FloatLike("1"), FloatLike(1), RaisingFloat(),
    Seq([]), Seq([EDGE], length=-1), Seq([EDGE], length="x"), Seq([EDGE], length=Boom()), Seq([EDGE], length=2**70),
    Seq([EDGE, EDGE], fail_at=1), Seq([WEDGE, WEDGE], length=10**9), Seq(["a", "b"], fail_at=0),
]

# Per parameter kind: a strategy for good values, and for one good item.
U64 = st.integers(0, U64_MAX)
GOOD = {
    "u64": U64,
    "f64": st.floats(),
    "text": st.text(max_size=20),
    "opt_text": st.none() | st.text(max_size=10),
    "span": st.just(SPAN),
    "native": st.just(NATIVE),
    "kind": st.sampled_from(list(v.EdgeKind.__dict__[n] for n in ("TRUE", "FALSE", "LOOPBACK", "SWITCHCASE"))),
}
ITEM = {
    "nodes": st.just(NODE),
    "edges": st.just(EDGE),
    "wedges": st.builds(v.WeightedEdge, st.integers(0, 6), st.integers(0, 6), st.floats()),
    "texts": st.text(max_size=4),
}
ENTRY = {
    "blocks": (U64, st.just(BLOCK)),
    "attrs": (st.text(max_size=4), st.text(max_size=4)),
    "weights": (st.integers(0, 6), st.floats()),
}
for kind, item in ITEM.items():
    GOOD[kind] = st.lists(item, max_size=6)
for kind, (key, value) in ENTRY.items():
    GOOD[kind] = st.dictionaries(key, value, max_size=6)


def wrapped(kind):
    """Good values in a disguise the conventions accept (or refuse) by rule."""
    if kind == "u64":
        return st.one_of(U64.map(Idx), U64.map(IntSub), st.booleans())
    if kind == "f64":
        return st.one_of(st.floats().map(FloatLike), st.integers(-(2**53), 2**53), U64.map(Idx))
    if kind in ("text", "opt_text"):
        return st.text(max_size=10).map(StrSub)
    if kind in ITEM:
        return st.one_of(GOOD[kind].map(tuple), GOOD[kind].map(ListSub), GOOD[kind].map(Seq),
                         GOOD[kind].map(ShrinkingSeq), GOOD[kind].map(IterListSub),
                         GOOD[kind].map(lambda xs: Seq(xs, length=len(xs) + 100)))
    if kind in ENTRY:
        return st.one_of(GOOD[kind].map(LyingDict), GOOD[kind].map(collections.OrderedDict),
                         GOOD[kind].map(lambda d: collections.defaultdict(None, d)))
    return st.nothing()


def one_bad_inside(kind):
    """A container of good items with one hostile item or entry slipped in."""
    bad = st.sampled_from(GENERIC)
    if kind in ITEM:
        return st.tuples(GOOD[kind], bad, st.integers(0, 6)).map(lambda t: t[0][:t[2]] + [t[1]] + t[0][t[2]:])
    if kind in ENTRY:
        key, value = ENTRY[kind]
        return st.one_of(
            st.tuples(GOOD[kind], bad, value).map(lambda t: {**t[0], t[1]: t[2]} if _hashable(t[1]) else t[0]),
            st.tuples(GOOD[kind], key, bad).map(lambda t: {**t[0], t[1]: t[2]}),
            GOOD[kind].map(_mutating_dict),
        )
    return st.nothing()


def _hashable(x):
    try:
        hash(x)
    except TypeError:
        return False
    return True


def _mutating_dict(d):
    d = dict(d)
    value = next(iter(d.values()), None)
    d[ClearingIdx(d, 7)] = BLOCK if isinstance(value, v.BasicBlock) or value is None else value
    if d and all(isinstance(x, float) for x in d.values() if x is not None):
        d[8] = DeletingFloat(d)
    return d


def hostile(kind):
    return st.one_of(st.sampled_from(GENERIC), wrapped(kind), one_bad_inside(kind),
                     st.integers(), st.floats(), st.binary(max_size=4),
                     st.text(st.characters(codec=None, categories=["Cs", "Lu"]), max_size=3))


# ---------------------------------------------------------------- the calls

# name -> (callable, [(parameter, kind)], number of required parameters)
CALLS = {
    "SourceSpan": (v.SourceSpan, [("file", "opt_text")] + [(p, "u64") for p in (
        "start_byte", "end_byte", "start_line", "start_column", "end_line", "end_column")], 7),
    "NativeRef": (v.NativeRef, [("parser", "text"), ("parser_version", "text"), ("node_kind", "text")], 3),
    "UASTNode": (v.UASTNode, [("kind", "text"), ("lang", "text"), ("span", "span"), ("native", "native"),
                             ("attributes", "attrs"), ("children", "nodes"), ("id", "text")], 4),
    "BasicBlock": (v.BasicBlock, [("id", "u64"), ("statements", "nodes"), ("label", "text")], 1),
    "CFGEdge": (v.CFGEdge, [("source", "u64"), ("target", "u64"), ("kind", "kind")], 3),
    "ControlFlowGraph": (v.ControlFlowGraph, [("blocks", "blocks"), ("edges", "edges"), ("entry_id", "u64"),
                                              ("exit_id", "u64")], 0),
    "WeightedEdge": (v.WeightedEdge, [("source", "u64"), ("target", "u64"), ("weight", "f64")], 2),
    "balanced_forman_curvature": (v.balanced_forman_curvature, [("edges", "wedges")], 1),
    "directed_forman_curvature": (v.directed_forman_curvature, [("edges", "wedges"), ("node_weights", "weights")], 1),
    "calculate_kolmogorov_proxy": (v.calculate_kolmogorov_proxy, [("source", "text")], 1),
    "calculate_entropy_detailed": (v.calculate_entropy_detailed, [("source", "text")], 1),
    "calculate_block_entropy": (v.calculate_block_entropy, [("source", "text"), ("block_size", "u64")], 2),
    "calculate_entropy_variance": (v.calculate_entropy_variance, [("source", "text"), ("block_size", "u64")], 2),
    "compute_sequence_distance": (v.compute_sequence_distance, [("source", "texts"), ("target", "texts")], 2),
}
GRAPH_METHODS = ["cycle_basis", "cyclomatic_complexity", "essential_complexity", "max_nesting_depth",
                 "longest_acyclic_path", "connected_components"]


def touch(obj, depth=0):
    """Reads everything a result exposes, so a getter over odd stored
    values runs too."""
    if depth > 4:
        return
    if isinstance(obj, (list, tuple)):
        for x in obj[:20]:
            touch(x, depth + 1)
    elif isinstance(obj, dict):
        for k, x in list(obj.items())[:20]:
            touch(k, depth + 1)
            touch(x, depth + 1)
    elif type(obj).__module__ == "builtins" and type(obj).__name__ in v.__all__:
        repr(obj)
        for name in dir(type(obj)):
            if not name.startswith("_") and not callable(getattr(type(obj), name)):
                touch(getattr(obj, name), depth + 1)
        if isinstance(obj, v.ControlFlowGraph):
            for m in GRAPH_METHODS:
                try:
                    touch(getattr(obj, m)(), depth + 1)
                except PANIC as e:
                    assert str(e).startswith("CFG has a back-edge not tagged LOOPBACK/CONTINUE")


def outcome(fn, args, kwargs):
    try:
        result = fn(*args, **kwargs)
    except ORDINARY as e:
        return e
    except ValueError as e:
        # The interpreter's own refusal of a negative __len__.
        assert "__len__" in str(e), e
        return e
    touch(result)
    return None


@st.composite
def arguments(draw, name):
    """Arguments for one call, with at least one hostile parameter; some
    given positionally, the rest by keyword, optional ones sometimes left
    out. Returns (args, kwargs, names of the hostile parameters)."""
    _, params, required = CALLS[name]
    present = [i < required or draw(st.booleans()) for i in range(len(params))]
    chosen = [i for i in range(len(params)) if present[i]]
    if not chosen:
        return (), {}, []
    bad = draw(st.sets(st.sampled_from(chosen), min_size=1, max_size=len(chosen)))
    values = [draw(hostile(kind)) if i in bad else draw(GOOD[kind]) for i, (_, kind) in enumerate(params)]
    # Positional up to the first omitted parameter, then keywords.
    cut = draw(st.integers(0, len(params)))
    args, kwargs = [], {}
    for i, (pname, _) in enumerate(params):
        if not present[i]:
            continue
        if i < cut and all(present[:i + 1]):
            args.append(values[i])
        else:
            kwargs[pname] = values[i]
    return tuple(args), kwargs, [params[i][0] for i in bad]


@pytest.mark.parametrize("name", CALLS)
@settings(max_examples=int(os.environ.get("VELMORA_HOSTILE_EXAMPLES", "100")))
@given(data=st.data())
def test_hostile_arguments_give_a_result_or_an_ordinary_named_error(name, data):
    fn = CALLS[name][0]
    args, kwargs, bad = data.draw(arguments(name))
    err = outcome(fn, args, kwargs)
    if isinstance(err, (TypeError, OverflowError)) and len(bad) == 1:
        assert f"'{bad[0]}'" in str(err), (bad, err)


@pytest.mark.parametrize("name", CALLS)
@settings(max_examples=40)
@given(extra=st.lists(st.sampled_from(GENERIC), max_size=9), key=st.sampled_from(["nope", "source", "id", "file"]))
def test_wrong_argument_counts_and_keywords_are_type_errors(name, extra, key):
    fn, params, required = CALLS[name]
    with pytest.raises(TypeError):
        fn(*([None] * (len(params) + 1)))
    if required:
        with pytest.raises(TypeError):
            fn()
    try:
        fn(*extra, **{key: None})
    except ORDINARY:
        pass


@settings(max_examples=60)
@given(args=st.lists(st.sampled_from(GENERIC), max_size=2))
def test_graph_methods_take_no_arguments_and_check_self(args):
    g = v.ControlFlowGraph({0: BLOCK, 1: BLOCK}, [EDGE])
    for m in GRAPH_METHODS:
        method = getattr(v.ControlFlowGraph, m)
        if args:
            with pytest.raises(TypeError):
                method(g, *args)
            if not isinstance(args[0], v.ControlFlowGraph):
                with pytest.raises(TypeError):
                    method(args[0])
        touch(method(g))


OTHER = [None, 0, 1, -1, 2**63, -(2**63) - 1, 2**64, True, 8.0, "1", b"", Idx(3), Idx(2**70), Idx("x"),
         RaisingIdx(), IntSub(2), object(), EDGE, [], {}]


@pytest.mark.parametrize("other", OTHER, ids=repr)
def test_edge_kind_comparison_with_anything(other):
    for name in ("UNCONDITIONAL", "TRUE", "SWITCHCASE"):
        member = getattr(v.EdgeKind, name)
        for op in (lambda a, b: a == b, lambda a, b: a != b, lambda a, b: b == a, lambda a, b: b != a):
            try:
                assert op(member, other) in (True, False)
            except Boom:
                assert isinstance(other, RaisingIdx)
        for op in (lambda a, b: a < b, lambda a, b: a >= b):
            with pytest.raises((TypeError, Boom)):
                op(member, other)
        assert int(member) in range(9)
        with pytest.raises(TypeError):
            hash(member)


INSTANCES = [SPAN, NATIVE, NODE, BLOCK, EDGE, WEDGE, v.EdgeKind.TRUE, v.ControlFlowGraph({0: BLOCK}, [EDGE]),
             v.ControlFlowGraph({0: BLOCK, 1: BLOCK}, [EDGE, v.CFGEdge(1, 0, v.EdgeKind.LOOPBACK)]).cycle_basis(),
             v.balanced_forman_curvature([WEDGE])[0], v.calculate_entropy_detailed("abc")]
INSTANCES.append(INSTANCES[-3].cycles[0])


@pytest.mark.parametrize("obj", INSTANCES, ids=lambda o: type(o).__name__)
def test_instances_refuse_tampering_and_uninitialised_construction(obj):
    cls = type(obj)
    # Bypassing the constructor must never yield an instance with an
    # uninitialised value inside.
    for make in (lambda: object.__new__(cls), lambda: cls.__new__(cls), lambda: cls.__new__(int)):
        try:
            made = make()
        except TypeError:
            continue
        assert type(made) is cls and cls is v.ControlFlowGraph
        touch(made)
    for attack in (lambda: setattr(obj, "x", 1), lambda: delattr(obj, dir(cls)[-1]),
                   lambda: setattr(obj, "__class__", v.SourceSpan), lambda: weakref.ref(obj),
                   lambda: vars(obj), lambda: setattr(cls, "x", 1)):
        with pytest.raises((TypeError, AttributeError)):
            attack()
    for name in dir(cls):
        attr = cls.__dict__.get(name)
        if hasattr(attr, "__get__") and not name.startswith("__"):
            for wrong in (1, "x", SPAN if cls is not v.SourceSpan else NATIVE):
                with pytest.raises(TypeError):
                    attr.__get__(wrong, type(wrong))
    for duplicate in (copy.copy, copy.deepcopy, pickle.dumps):
        try:
            duplicate(obj)
        except (TypeError, pickle.PicklingError):
            pass
    touch(obj)


def test_deep_and_self_referencing_containers():
    loop = []
    loop.append(loop)
    deep = [EDGE]
    for _ in range(10_000):
        deep = [deep]
    selfdict = {}
    selfdict[1] = selfdict
    for bad in (loop, deep):
        with pytest.raises(TypeError, match="'edges'"):
            v.ControlFlowGraph(edges=bad)
        with pytest.raises(TypeError, match="'source'"):
            v.compute_sequence_distance(bad, [])
    with pytest.raises(TypeError, match="'blocks'"):
        v.ControlFlowGraph(blocks=selfdict)
    with pytest.raises(TypeError, match="'node_weights'"):
        v.directed_forman_curvature([WEDGE], selfdict)


def test_a_dict_emptied_by_its_own_key_is_read_from_a_snapshot():
    blocks = {0: BLOCK, 1: BLOCK}
    blocks[ClearingIdx(blocks, 2)] = BLOCK
    g = v.ControlFlowGraph(blocks)
    assert sorted(g.blocks) == [0, 1, 2]
    weights = {0: 1.0}
    weights[1] = DeletingFloat(weights)
    weights[2] = 4.0
    # The snapshot keeps 2 -> 4.0 although __float__ cleared the dict.
    base = v.directed_forman_curvature([v.WeightedEdge(1, 2)], {1: 2.0, 2: 4.0})
    assert [c.curvature for c in v.directed_forman_curvature([v.WeightedEdge(1, 2)], weights)] == \
        [c.curvature for c in base]


def test_a_second_interpreter_is_refused_without_harm():
    code = textwrap.dedent("""
        import sys
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        import velmora
        results = []
        # A legacy interpreter shares the main one's lock; an isolated one
        # has its own. Both must refuse the import.
        for config in ("legacy", "isolated"):
            if hasattr(interpreters, "new_config"):
                interp = interpreters.create(interpreters.new_config(config))
            else:
                interp = interpreters.create(isolated=config == "isolated")
            try:
                err = interpreters.run_string(interp, "import velmora")
            except Exception as e:
                err = e
            results.append(repr(err))
            interpreters.destroy(interp)
        print(results)
        assert velmora.CFGEdge(1, 2, velmora.EdgeKind.TRUE).target == 2
        print("ok")
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip().endswith("ok")
    legacy, isolated = eval(proc.stdout.splitlines()[0])
    assert "ImportError" in legacy and "main interpreter" in legacy, legacy
    assert "ImportError" in isolated, isolated
