"""Syntax-tree records: construction, copying semantics and deep trees."""

import gc

import pytest
from hypothesis import given, strategies as st

import velmora as v

SPAN = v.SourceSpan("a.py", 0, 10, 1, 0, 1, 10)
NATIVE = v.NativeRef("ast", "3.12", "Name")


def node(kind="k", **kw):
    return v.UASTNode(kind, "python", SPAN, NATIVE, **kw)


def fields(n):
    return (n.kind, n.lang, n.id, n.attributes, span_fields(n.span),
            (n.native.parser, n.native.parser_version, n.native.node_kind), [fields(c) for c in n.children])


def span_fields(s):
    return (s.file, s.start_byte, s.end_byte, s.start_line, s.start_column, s.end_line, s.end_column)


class TestSourceSpan:
    def test_values_are_stored_as_given(self):
        s = v.SourceSpan(None, 9, 3, 0, 2**64 - 1, 7, 1)
        assert span_fields(s) == (None, 9, 3, 0, 2**64 - 1, 7, 1)
        s = v.SourceSpan(file="x", start_byte=1, end_byte=2, start_line=3, start_column=4, end_line=5,
                         end_column=6)
        assert span_fields(s) == ("x", 1, 2, 3, 4, 5, 6)

    @pytest.mark.parametrize("bad, exc", [(-1, OverflowError), (2**64, OverflowError), (1.0, TypeError),
                                          (None, TypeError)])
    def test_numbers(self, bad, exc):
        with pytest.raises(exc, match="argument 'end_line'"):
            v.SourceSpan("f", 0, 0, 0, 0, bad, 0)

    def test_file_must_be_given(self):
        with pytest.raises(TypeError):
            v.SourceSpan(0, 0, 0, 0, 0, 0)
        with pytest.raises(TypeError, match="argument 'file'"):
            v.SourceSpan(b"f", 0, 0, 0, 0, 0, 0)


class TestNode:
    def test_defaults_and_none(self):
        for n in (node(), node(attributes=None, children=None)):
            assert n.attributes == {} and n.children == [] and n.id == ""
        with pytest.raises(TypeError, match="argument 'id'"):
            node(id=None)

    def test_argument_errors_name_the_parameter(self):
        with pytest.raises(TypeError, match="argument 'kind'"):
            v.UASTNode(None, "python", SPAN, NATIVE)
        with pytest.raises(TypeError, match="argument 'span'"):
            v.UASTNode("k", "python", NATIVE, NATIVE)
        with pytest.raises(TypeError, match="argument 'native'"):
            v.UASTNode("k", "python", SPAN, SPAN)
        with pytest.raises(TypeError, match="argument 'attributes'"):
            node(attributes=[("a", "b")])
        with pytest.raises(TypeError, match="argument 'attributes'"):
            node(attributes={"a": 1})
        with pytest.raises(TypeError, match="argument 'attributes'"):
            node(attributes={1: "a"})
        with pytest.raises(TypeError, match="argument 'children'.*Can't extract `str` to `Vec`"):
            node(children="")
        with pytest.raises(TypeError, match="argument 'children'"):
            node(children=[SPAN])
        with pytest.raises(UnicodeEncodeError):
            node(kind="\ud800")
        with pytest.raises(UnicodeEncodeError):
            node(attributes={"k": "\udfff"})

    def test_first_failing_argument_is_reported(self):
        with pytest.raises(TypeError, match="argument 'lang'"):
            v.UASTNode("k", 5, 5, 5, attributes=5, children=5, id=5)

    def test_dict_subclass_attributes(self):
        class D(dict):
            def items(self):  # the dict's own storage is read, not this
                return [("zz", "zz")]

        assert node(attributes=D(a="b")).attributes == {"a": "b"}

    def test_reads_are_fresh_copies(self):
        attrs = {"a": "1"}
        c = node("child", children=[node("grandchild")])
        parent = node("parent", attributes=attrs, children=(c,))
        attrs["b"] = "2"
        got = parent.attributes
        got["c"] = "3"
        assert parent.attributes == {"a": "1"}
        first, second = parent.children, parent.children
        assert first is not second and first[0] is not second[0] and first[0] is not c
        assert fields(first[0]) == fields(c)
        assert first[0].children[0].kind == "grandchild"
        assert parent.span is not parent.span
        assert span_fields(parent.span) == span_fields(SPAN)
        assert node() != node()

    def test_attributes_are_read_only(self):
        n = node()
        for name in ("kind", "lang", "span", "native", "attributes", "children", "id"):
            with pytest.raises(AttributeError):
                setattr(n, name, None)
        for obj, name in ((SPAN, "file"), (NATIVE, "parser")):
            with pytest.raises(AttributeError):
                setattr(obj, name, None)

    @given(st.recursive(st.just([]), lambda kids: st.lists(kids, max_size=3), max_leaves=30),
           st.dictionaries(st.text(), st.text(), max_size=3), st.text())
    def test_round_trip(self, shape, attrs, text):
        def build(s, depth=0):
            return v.UASTNode(f"{text}{depth}", text, SPAN, NATIVE, attrs, [build(c, depth + 1) for c in s], text)

        def shape_of(n):
            return [shape_of(c) for c in n.children]

        tree = build(shape)
        assert shape_of(tree) == shape
        assert tree.attributes == attrs and tree.id == text


@pytest.mark.slow
def test_million_deep_chain_builds_reads_and_frees():
    depth = 1_000_000
    n = node("leaf")
    for _ in range(depth):
        n = node("inner", children=[n])
    steps = 0
    cur = n
    while True:
        kids = cur.children
        if not kids:
            break
        cur = kids[0]
        steps += 1
    assert steps == depth and cur.kind == "leaf"
    del n, cur, kids
    gc.collect()


def test_deep_chain_inside_a_block_is_freed_without_recursion():
    n = node()
    for _ in range(200_000):
        n = node(children=[n])
    block = v.BasicBlock(0, [n])
    del n
    assert len(block.statements) == 1
    del block
