"""Syntax trees of functions as velmora `UASTNode` records, built only when
asked (``--trees``, ``scan(..., trees=True)``): no metric reads them, and
the default path never builds them.

A function's tree is its ``def`` node with everything below it, nested defs
included (a nested def's own tree is the same node). Each node has

- ``kind``: the snake_case name of its ``ast`` class (``bin_op``), and
  ``native``: ``NativeRef("ast", "<major>.<minor>", "<class name>")``;
- ``span``: byte offsets into the UTF-8 form of the decoded source, and the
  lines and columns ``ast`` gives (1-based lines, columns in UTF-8 bytes).
  A node the parser gives no position (``arguments``, ``comprehension``,
  ``withitem``, ``match_case``) spans its children; one without children
  is empty at its parent's start;
- ``attributes``: the fields that are not child nodes, as text: names
  (``id``, ``attr``, ``name``, ``arg``, ``module``, ...), numbers
  (``level``, ``conversion``, ...), a constant's ``value`` as its
  ``repr``, operators and contexts by their snake_case class name
  (``op``: ``add``, ``ctx``: ``load``) and lists of them or of names
  joined by commas (``ops``: ``lt,lt_e``; ``names``: ``a,b``);
- ``children``: the child nodes in ``_fields`` order (a missing optional
  child, such as a dict-unpacking key, is left out).

Trees cross process boundaries flat (`flatten`: one tuple per node in
pre-order with its number of children, and per function the index of its
node), since records do not pickle and nested tuples would pickle
recursively; `build` turns that into records in the receiving process. All
three walks (flattening, building, writing JSON) use explicit stacks:
``ast.parse`` accepts nesting far deeper than the recursion limit.
"""

from __future__ import annotations

import ast
import sys
from typing import TextIO

import velmora as v

from .kinds import snake_case
from .syntax import _SKIP, FUNCTION_DEFS, LineIndex, iter_functions

PARSER = "ast"
PARSER_VERSION = f"{sys.version_info.major}.{sys.version_info.minor}"
LANG = "python"

#: (start_byte, end_byte, start_line, start_column, end_line, end_column)
Span = tuple[int, int, int, int, int, int]
#: (class name, span, attributes as (name, text) pairs, number of children)
FlatNode = tuple[str, Span, tuple[tuple[str, str], ...], int]
#: (nodes in pre-order, index of each function's node in iter_functions order)
FlatTrees = tuple[list[FlatNode], tuple[int, ...]]


def _literal(value) -> str:
    try:
        return repr(value)
    except ValueError:
        # An integer beyond the interpreter's limit for decimal text (a
        # long hexadecimal literal parses); hexadecimal has no limit.
        return hex(value)


def _parts(node: ast.AST) -> tuple[list[ast.AST], list[tuple[str, str]]]:
    """Child nodes in ``_fields`` order and the other fields as text."""
    kids: list[ast.AST] = []
    attrs: list[tuple[str, str]] = []
    for name in type(node)._fields:
        value = getattr(node, name, None)
        if value is None:
            continue
        if isinstance(value, list):
            words = []
            for item in value:
                if isinstance(item, _SKIP):
                    words.append(snake_case(type(item).__name__))
                elif isinstance(item, ast.AST):
                    kids.append(item)
                elif isinstance(item, str):
                    words.append(item)
            if words:
                attrs.append((name, ",".join(words)))
        elif isinstance(value, _SKIP):
            attrs.append((name, snake_case(type(value).__name__)))
        elif isinstance(value, ast.AST):
            kids.append(value)
        elif name == "value" and isinstance(node, (ast.Constant, ast.MatchSingleton)):
            attrs.append((name, _literal(value)))
        else:
            attrs.append((name, value if isinstance(value, str) else str(value)))
    return kids, attrs


def _own_span(node: ast.AST, lines: LineIndex) -> Span | None:
    line = getattr(node, "lineno", None)
    if line is None:
        return None
    col = node.col_offset
    end_line = node.end_lineno if node.end_lineno is not None else line
    end_col = node.end_col_offset if node.end_col_offset is not None else col
    return (lines.offset(line, col), lines.offset(end_line, end_col), line, col, end_line, end_col)


def flatten(tree: ast.Module, text: str) -> FlatTrees:
    """The trees of every function of a parsed file, flat."""
    lines = LineIndex(text.encode("utf-8"))
    nodes: list[FlatNode] = []
    spans: list[Span | None] = []
    anchors: list[Span] = []        # the nearest positioned ancestor's span, per node
    where: dict[int, int] = {}      # id of a def node -> its index
    roots: list[int] = []
    for func, _, _ in iter_functions(tree):
        known = where.get(id(func))
        if known is not None:       # inside a function flattened before
            roots.append(known)
            continue
        roots.append(len(nodes))
        stack: list[tuple[ast.AST, Span]] = [(func, (0, 0, 1, 0, 1, 0))]
        while stack:
            node, anchor = stack.pop()
            if isinstance(node, FUNCTION_DEFS):
                where[id(node)] = len(nodes)
            kids, attrs = _parts(node)
            span = _own_span(node, lines)
            nodes.append((type(node).__name__, span, tuple(attrs), len(kids)))
            spans.append(span)
            anchors.append(anchor)
            below = span if span is not None else anchor
            stack.extend((k, below) for k in reversed(kids))
    _fill_spans(nodes, spans, anchors)
    return nodes, tuple(roots)


def _fill_spans(nodes: list[FlatNode], spans: list[Span | None], anchors: list[Span]) -> None:
    """Spans for the nodes without a position: from the first start to the
    last end of their children (fields are not in source order: a def's
    defaults come after its keyword-only arguments), computed children
    first by walking the pre-order backwards."""
    done: list[Span] = []
    for i in range(len(nodes) - 1, -1, -1):
        name, span, attrs, n = nodes[i]
        kids = done[len(done) - n:] if n else []
        if n:
            del done[len(done) - n:]
        if span is None:
            if kids:
                first = min(kids, key=lambda s: s[0])
                last = max(kids, key=lambda s: s[1])
                span = (first[0], last[1], first[2], first[3], last[4], last[5])
            else:
                a = anchors[i]
                span = (a[0], a[0], a[2], a[3], a[2], a[3])
            nodes[i] = (name, span, attrs, n)
        done.append(span)


def build(flat: FlatTrees, file: str | None) -> list[v.UASTNode]:
    """The record of each function's tree, in the order of ``flat``'s roots."""
    nodes, roots = flat
    wanted = set(roots)
    found: dict[int, v.UASTNode] = {}
    natives: dict[str, tuple[v.NativeRef, str]] = {}
    done: list[v.UASTNode] = []
    for i in range(len(nodes) - 1, -1, -1):
        name, span, attrs, n = nodes[i]
        if n:
            kids = done[len(done) - n:]
            del done[len(done) - n:]
            kids.reverse()
        else:
            kids = None
        native = natives.get(name)
        if native is None:
            native = natives[name] = (v.NativeRef(PARSER, PARSER_VERSION, name), snake_case(name))
        node = v.UASTNode(native[1], LANG, v.SourceSpan(file, *span), native[0], dict(attrs) if attrs else None, kids)
        done.append(node)
        if i in wanted:
            found[i] = node
    return [found[r] for r in roots]


# -- JSON -------------------------------------------------------------------------------


def write_json(stream: TextIO, root: v.UASTNode, encode) -> None:
    """``root`` as nested JSON objects, written as it goes: ``{"kind",
    "lang", "span", "native", "attributes", "children"}`` (the span without
    its file, which the enclosing function names)."""
    out: list[str] = []
    size = 0
    stack: list[v.UASTNode | str] = [root]
    while stack:
        item = stack.pop()
        if isinstance(item, str):
            out.append(item)
            size += len(item)
        else:
            s = item.span
            r = item.native
            head = (
                f'{{"kind": {encode(item.kind)}, "lang": {encode(item.lang)}, "span": {{"start_byte": {s.start_byte}, '
                f'"end_byte": {s.end_byte}, "start_line": {s.start_line}, "start_column": {s.start_column}, '
                f'"end_line": {s.end_line}, "end_column": {s.end_column}}}, "native": {{"parser": {encode(r.parser)}, '
                f'"parser_version": {encode(r.parser_version)}, "node_kind": {encode(r.node_kind)}}}, '
                f'"attributes": {encode(item.attributes)}, "children": ['
            )
            out.append(head)
            size += len(head)
            kids = item.children
            stack.append("]}")
            for j in range(len(kids) - 1, -1, -1):
                stack.append(kids[j])
                if j:
                    stack.append(", ")
        if size > 1 << 16:
            stream.write("".join(out))
            out.clear()
            size = 0
    stream.write("".join(out))
