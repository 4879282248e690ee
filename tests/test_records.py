"""Control-flow value records: EdgeKind, BasicBlock and CFGEdge."""

import pytest

import velmora as v

K = v.EdgeKind
MEMBERS = ["UNCONDITIONAL", "TRUE", "FALSE", "LOOPBACK", "BREAK", "CONTINUE", "RETURN", "EXCEPTION",
           "SWITCHCASE"]


class TestEdgeKind:
    def test_members_repr_and_int(self):
        for value, name in enumerate(MEMBERS):
            member = getattr(K, name)
            assert repr(member) == str(member) == f"EdgeKind.{name}"
            assert int(member) == value
            assert bool(member)  # no truth value of its own, UNCONDITIONAL included

    def test_members_are_cached(self):
        e = v.CFGEdge(0, 1, K.TRUE)
        assert e.kind is K.TRUE and e.kind is e.kind
        assert v.ControlFlowGraph(edges=[e]).edges[0].kind is K.TRUE

    def test_class_attributes_cannot_be_replaced(self):
        with pytest.raises(TypeError):
            K.TRUE = K.FALSE
        assert int(K.TRUE) == 1

    def test_equality_rules(self):
        class Idx:
            def __index__(self):
                return 3

        assert K.SWITCHCASE == 8 and 8 == K.SWITCHCASE
        assert K.TRUE == 1 and not (K.TRUE != 1)
        assert K.TRUE == True  # noqa: E712 - bool is an int
        assert K.LOOPBACK == Idx()
        assert K.FALSE != 2.0 and not (K.FALSE == 2.0)
        assert K.BREAK != K.CONTINUE and K.BREAK == K.BREAK
        assert K.TRUE != "TRUE"
        assert K.TRUE != 2**64 + 1 and not (K.TRUE == 2**63)

    def test_no_ordering_no_hash(self):
        with pytest.raises(TypeError):
            K.TRUE < K.FALSE
        with pytest.raises(TypeError):
            K.TRUE <= 3
        with pytest.raises(TypeError):
            {K.TRUE}
        with pytest.raises(TypeError):
            hash(K.TRUE)

    def test_not_an_index(self):
        with pytest.raises(TypeError):
            [0, 1][K.TRUE]
        with pytest.raises(TypeError):
            v.BasicBlock(K.TRUE)


class TestBasicBlock:
    def test_defaults(self):
        b = v.BasicBlock(7)
        assert (b.id, b.label, b.statements) == (7, "", [])
        assert v.BasicBlock(7, None, "head").label == "head"
        with pytest.raises(TypeError, match="argument 'label'"):
            v.BasicBlock(7, label=None)

    def test_statements(self):
        span = v.SourceSpan(None, 0, 0, 0, 0, 0, 0)
        native = v.NativeRef("p", "1", "k")
        nodes = [v.UASTNode("a", "x", span, native), v.UASTNode("b", "x", span, native)]
        b = v.BasicBlock(1, nodes)
        r1, r2 = b.statements, b.statements
        assert [n.kind for n in r1] == ["a", "b"]
        assert all(x is not y for x, y in zip(r1, r2))
        assert all(x is not y for x, y in zip(r1, nodes))
        with pytest.raises(TypeError, match="argument 'statements'.*Can't extract `str` to `Vec`"):
            v.BasicBlock(1, "ab")
        with pytest.raises(TypeError, match="argument 'statements'"):
            v.BasicBlock(1, [span])
        with pytest.raises(TypeError, match="argument 'statements'"):
            v.BasicBlock(1, 5)


class TestCFGEdge:
    def test_fields(self):
        e = v.CFGEdge(3, 3, K.LOOPBACK)
        assert (e.source, e.target, e.kind) == (3, 3, K.LOOPBACK)
        assert v.CFGEdge(1, 2, K.TRUE) != v.CFGEdge(1, 2, K.TRUE)

    def test_kind_must_be_a_member(self):
        for bad in (0, None, "TRUE"):
            with pytest.raises(TypeError, match="argument 'kind'"):
                v.CFGEdge(0, 1, bad)

    def test_read_only(self):
        e = v.CFGEdge(0, 1, K.TRUE)
        for name in ("source", "target", "kind"):
            with pytest.raises(AttributeError):
                setattr(e, name, 5)
        with pytest.raises(AttributeError):
            e.weight = 1
