"""Builds a small syntax tree, two basic blocks and their edges, and prints
what velmora reads back."""

import velmora as v


def main() -> None:
    span = v.SourceSpan("demo.py", 0, 24, 1, 0, 2, 12)
    native = v.NativeRef("ast", "3.12", "If")
    test = v.UASTNode("Compare", "python", span, native, {"op": "Lt"}, id="n1")
    node = v.UASTNode("If", "python", span, native, children=[test], id="n0")
    blocks = {
        0: v.BasicBlock(0, [node], "entry"),
        1: v.BasicBlock(1, label="body"),
        2: v.BasicBlock(2, label="exit"),
    }
    edges = [
        v.CFGEdge(0, 1, v.EdgeKind.TRUE),
        v.CFGEdge(1, 0, v.EdgeKind.LOOPBACK),
        v.CFGEdge(0, 2, v.EdgeKind.FALSE),
    ]
    graph = v.ControlFlowGraph(blocks, edges, entry_id=0, exit_id=2)
    for key, block in graph.blocks.items():
        kinds = [s.kind for s in block.statements]
        print(f"block {key}: label={block.label!r} statements={kinds}")
    for e in graph.edges:
        print(f"edge {e.source} -> {e.target} {e.kind!r}")
    first = graph.blocks[0].statements[0]
    print("children of the If:", [(c.kind, c.id, c.attributes) for c in first.children])
    print("span:", first.span.file, first.span.start_line, first.span.end_column)


if __name__ == "__main__":
    main()
