"""From a Python function's ``ast`` to velmora records.

`build_function` turns one ``FunctionDef`` / ``AsyncFunctionDef`` into basic
blocks whose statements are ``UASTNode`` trees and into tagged ``CFGEdge``
records, with a synthetic entry block (id 0) and a synthetic exit block
(id 1), the defaults of ``ControlFlowGraph``.

Shape of the graph:

* consecutive simple statements share a block; the header of a compound
  statement (the test of an ``if``, the target and iterable of a ``for``, the
  subject of a ``match``) is a node of its own, whose children are the header
  expressions only; the body statements live in the blocks of the body;
* ``if``: TRUE into the body, FALSE into the ``else`` (or the join);
* ``while`` / ``for``: a head block with TRUE into the body and FALSE into the
  ``else`` (or past the loop); the end of the body goes back to the head over
  LOOPBACK, ``continue`` over CONTINUE, ``break`` leaves over BREAK;
* ``try``: UNCONDITIONAL into the body and one EXCEPTION edge into each
  handler; body, ``else`` and handlers meet in the ``finally`` (or the join);
* ``match``: one test block per case, SWITCHCASE into the case body (through
  a guard block with TRUE/FALSE when the case has a guard), FALSE on to the
  next case; an irrefutable last case has no FALSE edge;
* each ``if`` filter of a comprehension is a TRUE/FALSE diamond before the
  statement that holds it (the comprehension's iteration is not a loop of
  the enclosing function: it is an expression that always terminates);
* ``return`` goes to the exit over RETURN, except a return in tail position
  (nothing of the function would run after it anyway), which is an
  UNCONDITIONAL edge, so that a function ending in ``return x`` is not rated
  as having an early exit; ``raise`` goes to the exit UNCONDITIONAL.

The only edges that go back to a block created earlier in the walk are the
LOOPBACK and CONTINUE edges into a loop head, so the graph without them is
acyclic, which is what ``longest_acyclic_path`` requires.

Everything here walks with explicit work lists: ``ast.parse`` accepts
expressions far deeper than the interpreter's recursion limit.
"""

from __future__ import annotations

import ast
import platform
import re
from dataclasses import dataclass, field

import velmora as v

from .syntax import LineIndex, children as _children

LANG = "python"
PARSER = "ast"
PARSER_VERSION = platform.python_version()

_K = v.EdgeKind
UNCONDITIONAL = _K.UNCONDITIONAL
TRUE = _K.TRUE
FALSE = _K.FALSE
LOOPBACK = _K.LOOPBACK
BREAK = _K.BREAK
CONTINUE = _K.CONTINUE
RETURN = _K.RETURN
EXCEPTION = _K.EXCEPTION
SWITCHCASE = _K.SWITCHCASE

ENTRY = 0
EXIT = 1

# Context and operator nodes carry no structure of their own: their meaning is
# kept as an attribute of the node that owns them.
_SKIP = (ast.expr_context, ast.operator, ast.boolop, ast.unaryop, ast.cmpop)
_SCOPES = (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)
_LINE_END = re.compile(rb"\r\n|\r|\n")
_CAMEL = re.compile(r"(?<=[a-z0-9])(?=[A-Z])")

_kind_names: dict[type, str] = {}
_natives: dict[type, v.NativeRef] = {}


def kind_of(cls: type) -> str:
    """The universal kind of an ast class: its name in snake case."""
    name = _kind_names.get(cls)
    if name is None:
        name = _CAMEL.sub("_", cls.__name__).lower()
        _kind_names[cls] = name
    return name


def _native(cls: type) -> v.NativeRef:
    # The constructor copies the record, so one instance per class serves
    # every node of that class.
    ref = _natives.get(cls)
    if ref is None:
        ref = v.NativeRef(PARSER, PARSER_VERSION, cls.__name__)
        _natives[cls] = ref
    return ref


def _attributes(node: ast.AST) -> dict[str, str] | None:
    if isinstance(node, ast.Name):
        return {"name": node.id}
    if isinstance(node, ast.Attribute):
        return {"name": node.attr}
    if isinstance(node, ast.Constant):
        return {"type": type(node.value).__name__}
    if isinstance(node, (ast.BinOp, ast.UnaryOp, ast.BoolOp, ast.AugAssign)):
        return {"op": type(node.op).__name__}
    if isinstance(node, ast.Compare):
        return {"ops": " ".join(type(op).__name__ for op in node.ops)}
    if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
        return {"name": node.name}
    if isinstance(node, ast.arg):
        return {"name": node.arg}
    if isinstance(node, ast.alias):
        return {"name": node.name}
    if isinstance(node, ast.keyword) and node.arg is not None:
        return {"name": node.arg}
    return None


@dataclass
class Call:
    """A call site, as much of its callee as can be named without types."""

    form: str  # "name" f(), "self" self.f() / cls.f(), "attr" x.f()
    name: str
    base: str = ""


@dataclass
class FunctionGraph:
    """The records of one function, ready for ``ControlFlowGraph``."""

    blocks: dict[int, v.BasicBlock]
    edges: list[v.CFGEdge]
    # (source, target, EdgeKind) triples, the same edges as plain values.
    triples: list[tuple[int, int, v.EdgeKind]]
    kinds: list[str] = field(default_factory=list)
    calls: list[Call] = field(default_factory=list)


class _Loop:
    __slots__ = ("head", "after")

    def __init__(self, head: int, after: int):
        self.head = head
        self.after = after


class _FunctionBuilder:
    def __init__(self, lines: LineIndex, file: str | None, with_trees: bool = True):
        self.lines = lines
        self.file = file
        self.with_trees = with_trees
        self.labels: list[str] = []
        self.statements: list[list[v.UASTNode]] = []
        self.triples: list[tuple[int, int, v.EdgeKind]] = []
        self.kinds: list[str] = []
        self.calls: list[Call] = []
        self.loops: list[_Loop] = []
        self.counter = 0
        self.new_block("entry")
        self.new_block("exit")
        # None while control cannot reach the point being built (after a
        # return, raise, break or continue); a statement met there opens a
        # block without predecessors rather than a dangling empty one.
        self.current: int | None = ENTRY

    # -- blocks and edges ------------------------------------------------
    def new_block(self, label: str) -> int:
        self.labels.append(label)
        self.statements.append([])
        return len(self.labels) - 1

    def edge(self, source: int | None, target: int, kind: v.EdgeKind) -> None:
        if source is not None:
            self.triples.append((source, target, kind))

    def put(self, block: int, node: v.UASTNode | None) -> None:
        if node is not None:
            self.statements[block].append(node)

    def here(self, label: str) -> int:
        if self.current is None:
            self.current = self.new_block(label)
        return self.current

    def start(self, label: str, kind: v.EdgeKind = UNCONDITIONAL) -> int:
        """Opens a block that control enters from the current one."""
        block = self.new_block(label)
        self.edge(self.current, block, kind)
        self.current = block
        return block

    # -- syntax trees ----------------------------------------------------
    def span(self, node: ast.AST, inherited: v.SourceSpan | None) -> v.SourceSpan | None:
        line = getattr(node, "lineno", None)
        if line is None or not self.with_trees:
            return inherited
        col = node.col_offset
        end_line = node.end_lineno if node.end_lineno is not None else line
        end_col = node.end_col_offset if node.end_col_offset is not None else col
        lines = self.lines
        return v.SourceSpan(
            self.file,
            lines.offset(line, col),
            lines.offset(end_line, end_col),
            line,
            col,
            end_line,
            end_col,
        )

    def make(self, node: ast.AST, span: v.SourceSpan | None, children) -> v.UASTNode:
        kind = kind_of(type(node))
        self.kinds.append(kind)
        if not self.with_trees:
            return None  # type: ignore[return-value]
        self.counter += 1
        if span is None:
            span = v.SourceSpan(self.file, 0, 0, 0, 0, 0, 0)
        return v.UASTNode(
            kind, LANG, span, _native(type(node)), _attributes(node), children, str(self.counter)
        )

    def tree(self, root: ast.AST, inherited: v.SourceSpan | None, filters: list[ast.expr]):
        """The UAST tree of an expression or simple statement, bottom-up.

        Collects the call sites and the comprehension filters met on the way;
        a nested def or class is a leaf, since its body is another scope.
        """
        out: list = []
        work: list = [(root, inherited, -1, False)]
        calls = self.calls
        while work:
            node, span, count, in_lambda = work.pop()
            if count < 0:
                own = self.span(node, span)
                if isinstance(node, _SCOPES) and node is not root:
                    kids: list = []
                else:
                    kids = _children(node)
                if isinstance(node, ast.Call):
                    _note_call(node.func, calls)
                elif isinstance(node, ast.comprehension) and not in_lambda:
                    filters.extend(node.ifs)
                work.append((node, own, len(kids), in_lambda))
                nested = in_lambda or isinstance(node, ast.Lambda)
                for child in reversed(kids):
                    work.append((child, own, -1, nested))
            else:
                if count:
                    children = out[-count:]
                    del out[-count:]
                else:
                    children = None
                out.append(self.make(node, span, children))
        return out[0]

    def leaf(self, node: ast.AST) -> v.UASTNode:
        return self.make(node, self.span(node, None), None)

    def header(self, node: ast.AST, parts, label: str) -> None:
        """Places a compound statement's header node in the current block,
        after the diamonds of any comprehension filters in its expressions."""
        filters: list[ast.expr] = []
        span = self.span(node, None)
        if span is None and parts:
            # match_case and withitem carry no position; their first part does.
            span = self.span(parts[0], None)
        children = [self.tree(p, span, filters) for p in parts if p is not None]
        self.diamonds(filters)
        self.put(self.here(label), self.make(node, span, children or None))

    def simple(self, node: ast.AST) -> None:
        filters: list[ast.expr] = []
        tree = self.tree(node, None, filters)
        self.diamonds(filters)
        self.put(self.here("statements"), tree)

    def diamonds(self, filters: list[ast.expr]) -> None:
        for cond in filters:
            test = self.here("comprehension filter")
            self.put(test, self.make(_Filter(), self.span(cond, None), None))
            keep = self.new_block("comprehension element")
            join = self.new_block("comprehension join")
            self.edge(test, keep, TRUE)
            self.edge(test, join, FALSE)
            self.edge(keep, join, UNCONDITIONAL)
            self.current = join

    # -- statements --------------------------------------------------------
    def body(self, stmts: list[ast.stmt], tail: bool) -> None:
        last = len(stmts) - 1
        for i, stmt in enumerate(stmts):
            self.statement(stmt, tail and i == last)

    def statement(self, s: ast.stmt, tail: bool) -> None:
        if isinstance(s, ast.If):
            self.if_(s, tail)
        elif isinstance(s, (ast.While, ast.For, ast.AsyncFor)):
            self.loop(s)
        elif isinstance(s, (ast.Try, ast.TryStar)):
            self.try_(s, tail)
        elif isinstance(s, (ast.With, ast.AsyncWith)):
            self.header(s, s.items, "with")
            self.body(s.body, tail)
        elif isinstance(s, ast.Match):
            self.match(s, tail)
        elif isinstance(s, ast.Return):
            self.simple(s)
            self.edge(self.current, EXIT, UNCONDITIONAL if tail else RETURN)
            self.current = None
        elif isinstance(s, ast.Raise):
            self.simple(s)
            self.edge(self.current, EXIT, UNCONDITIONAL)
            self.current = None
        elif isinstance(s, ast.Break) and self.loops:
            self.simple(s)
            self.edge(self.current, self.loops[-1].after, BREAK)
            self.current = None
        elif isinstance(s, ast.Continue) and self.loops:
            self.simple(s)
            self.edge(self.current, self.loops[-1].head, CONTINUE)
            self.current = None
        elif isinstance(s, _SCOPES):
            self.put(self.here("statements"), self.leaf(s))
        else:
            # Also a break or continue outside any loop: the parser accepts
            # it (only the compiler refuses it), and it jumps nowhere.
            self.simple(s)

    def if_(self, s: ast.If, tail: bool) -> None:
        self.header(s, [s.test], "if")
        test = self.current
        join = self.new_block("join")
        self.start("then", TRUE)
        self.body(s.body, tail)
        self.edge(self.current, join, UNCONDITIONAL)
        if s.orelse:
            self.current = test
            self.start("else", FALSE)
            self.body(s.orelse, tail)
            self.edge(self.current, join, UNCONDITIONAL)
        else:
            self.edge(test, join, FALSE)
        self.current = join

    def loop(self, s) -> None:
        head = self.start("loop head")
        if isinstance(s, ast.While):
            self.header(s, [s.test], "loop head")
        else:
            self.header(s, [s.target, s.iter], "loop head")
        branch = self.current
        after = self.new_block("after loop")
        self.loops.append(_Loop(head, after))
        self.start("loop body", TRUE)
        self.body(s.body, False)
        self.edge(self.current, head, LOOPBACK)
        self.loops.pop()
        self.current = branch
        if s.orelse:
            self.start("loop else", FALSE)
            self.body(s.orelse, False)
            self.edge(self.current, after, UNCONDITIONAL)
        else:
            self.edge(branch, after, FALSE)
        self.current = after

    def try_(self, s, tail: bool) -> None:
        self.header(s, [], "try")
        dispatch = self.current
        final = self.new_block("finally") if s.finalbody else None
        join = self.new_block("after try")
        meet = final if final is not None else join
        inner_tail = tail and final is None
        self.start("try body")
        self.body(s.body, False)
        if s.orelse:
            self.start("try else")
            self.body(s.orelse, inner_tail)
        self.edge(self.current, meet, UNCONDITIONAL)
        for handler in s.handlers:
            self.current = dispatch
            self.start("except", EXCEPTION)
            self.header(handler, [handler.type], "except")
            self.body(handler.body, inner_tail)
            self.edge(self.current, meet, UNCONDITIONAL)
        if final is not None:
            self.current = final
            self.body(s.finalbody, tail)
            self.edge(self.current, join, UNCONDITIONAL)
        self.current = join

    def match(self, s: ast.Match, tail: bool) -> None:
        self.header(s, [s.subject], "match")
        join = self.new_block("after match")
        # Blocks that go on to the next case when theirs does not match: the
        # pattern test of a refutable case, and the guard of a guarded one.
        pending: list[tuple[int | None, v.EdgeKind]] = [(self.current, UNCONDITIONAL)]
        for case in s.cases:
            block = self.new_block("case")
            for source, kind in pending:
                self.edge(source, block, kind)
            self.current = block
            self.header(case, [case.pattern], "case")
            test = self.current
            # Nothing after an irrefutable case can run, and the parser does
            # not refuse later cases: they stay, as unreachable code.
            pending = [] if _irrefutable(case.pattern) else [(test, FALSE)]
            if case.guard is not None:
                self.start("guard", SWITCHCASE)
                self.simple(case.guard)
                pending.append((self.current, FALSE))
                self.start("case body", TRUE)
            else:
                self.start("case body", SWITCHCASE)
            self.body(case.body, tail)
            self.edge(self.current, join, UNCONDITIONAL)
        for source, kind in pending:
            self.edge(source, join, kind)
        self.current = join

    def finish(self, func) -> FunctionGraph:
        self.start("body")
        self.body(func.body, True)
        self.edge(self.current, EXIT, UNCONDITIONAL)
        edges = [v.CFGEdge(a, b, k) for a, b, k in self.triples]
        blocks = {
            i: v.BasicBlock(i, stmts or None, label)
            for i, (label, stmts) in enumerate(zip(self.labels, self.statements))
        }
        return FunctionGraph(blocks, edges, self.triples, self.kinds, self.calls)


class _Filter(ast.AST):
    """Stand-in node for the test of a comprehension filter (the condition
    itself stays in the tree of its statement)."""


_kind_names[_Filter] = "comprehension_filter"


def _irrefutable(pattern: ast.pattern) -> bool:
    if isinstance(pattern, ast.MatchAs):
        return pattern.pattern is None
    if isinstance(pattern, ast.MatchOr):
        return any(_irrefutable(p) for p in pattern.patterns)
    return False


def _note_call(func: ast.expr, calls: list[Call]) -> None:
    if isinstance(func, ast.Name):
        calls.append(Call("name", func.id))
    elif isinstance(func, ast.Attribute) and isinstance(func.value, ast.Name):
        base = func.value.id
        form = "self" if base in ("self", "cls") else "attr"
        calls.append(Call(form, func.attr, base))


def build_function(
    func: ast.FunctionDef | ast.AsyncFunctionDef,
    lines: LineIndex,
    file: str | None = None,
    with_trees: bool = True,
) -> FunctionGraph:
    """Blocks and edges of one function; nested defs are leaves of it.

    With ``with_trees`` false the blocks hold no statements (the metrics
    never read them), which saves building the syntax trees.
    """
    return _FunctionBuilder(lines, file, with_trees).finish(func)


def graph_of(fg: FunctionGraph) -> v.ControlFlowGraph:
    return v.ControlFlowGraph(fg.blocks, fg.edges, ENTRY, EXIT)


def forward_graph(fg: FunctionGraph) -> v.ControlFlowGraph:
    """The graph without its loop-closing edges, edges in topological order.

    ``max_nesting_depth`` relaxes the edge list in passes and stops after the
    first pass that changes nothing; on a graph with loops every pass raises
    the depths along the loop again, so its answer would grow with the size
    of the function. Without LOOPBACK and CONTINUE edges the graph is
    acyclic, and listed in topological order one pass settles every depth:
    the answer is then the largest number of TRUE and SWITCHCASE edges on a
    path from the entry.
    """
    n = len(fg.blocks)
    succ: list[list[tuple[int, v.EdgeKind]]] = [[] for _ in range(n)]
    indeg = [0] * n
    for a, b, k in fg.triples:
        if k is LOOPBACK or k is CONTINUE:
            continue
        succ[a].append((b, k))
        indeg[b] += 1
    ready = [i for i in range(n) if indeg[i] == 0]
    ready.reverse()
    edges = []
    while ready:
        a = ready.pop()
        for b, k in succ[a]:
            edges.append(v.CFGEdge(a, b, k))
            indeg[b] -= 1
            if indeg[b] == 0:
                ready.append(b)
    blocks = {i: v.BasicBlock(i) for i in range(n)}
    return v.ControlFlowGraph(blocks, edges, ENTRY, EXIT)
