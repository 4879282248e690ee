"""The same records as plain Python objects: what a caller would build
without velmora (slotted classes, the cheapest plain objects with named
fields)."""

from __future__ import annotations


class SourceSpanP:
    __slots__ = ("file", "start_byte", "end_byte", "start_line", "start_column", "end_line", "end_column")

    def __init__(self, file, start_byte, end_byte, start_line, start_column, end_line, end_column):
        self.file = file
        self.start_byte = start_byte
        self.end_byte = end_byte
        self.start_line = start_line
        self.start_column = start_column
        self.end_line = end_line
        self.end_column = end_column


class NativeRefP:
    __slots__ = ("parser", "parser_version", "node_kind")

    def __init__(self, parser, parser_version, node_kind):
        self.parser = parser
        self.parser_version = parser_version
        self.node_kind = node_kind


class UASTNodeP:
    __slots__ = ("kind", "lang", "span", "native", "attributes", "children", "id")

    def __init__(self, kind, lang, span, native, attributes=None, children=None, id=""):
        self.kind = kind
        self.lang = lang
        self.span = span
        self.native = native
        self.attributes = {} if attributes is None else attributes
        self.children = [] if children is None else list(children)
        self.id = id


class BasicBlockP:
    __slots__ = ("id", "statements", "label")

    def __init__(self, id, statements=None, label=""):
        self.id = id
        self.statements = [] if statements is None else list(statements)
        self.label = label


class CFGEdgeP:
    __slots__ = ("source", "target", "kind")

    def __init__(self, source, target, kind):
        self.source = source
        self.target = target
        self.kind = kind


class ControlFlowGraphP:
    """Holds copies of the containers (not of the records), as a defensive
    plain-Python graph class would."""

    __slots__ = ("blocks", "edges", "entry_id", "exit_id")

    def __init__(self, blocks=None, edges=None, entry_id=0, exit_id=1):
        self.blocks = {} if blocks is None else dict(blocks)
        self.edges = [] if edges is None else list(edges)
        self.entry_id = entry_id
        self.exit_id = exit_id


class WeightedEdgeP:
    __slots__ = ("source", "target", "weight")

    def __init__(self, source, target, weight=1.0):
        self.source = source
        self.target = target
        self.weight = weight
