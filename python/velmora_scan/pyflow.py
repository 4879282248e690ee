"""The reference model: a function's control-flow graph and every measure.

Everything here is plain Python over ``ast`` and walks with explicit work
lists (statement handlers are generators driven from one loop, expression
walks use stacks), so that any chain or nesting ``ast.parse`` accepts is
measured: an ``elif`` chain of thousands of branches, a conditional
expression nested thousands deep. The exact rules, construct by construct,
are written down in NOTES.md; a second implementation must follow them to
give the same numbers, so where a rule could go either way it is spelled
out here too.

The graph
---------
Blocks are numbered in creation order; block 0 is the entry, block 1 the
exit, and block 2, entered from the entry, starts the body. Simple
statements share the current block. An edge carries the kind velmora's
records use (TRUE, FALSE, LOOPBACK, ...); only LOOPBACK and CONTINUE matter
to a measure (the longest path sets them aside), the others document.

* Expression decisions -- a conditional expression, a comprehension ``for``
  clause, a comprehension ``if`` filter, found in the statement's scope
  (lambdas, defaults and decorators of nested defs included, see
  `syntax`) -- each become a diamond before the statement: the current
  block branches TRUE to a new block and FALSE to a new join, and the new
  block goes on to the join, where control continues.
* ``if``: the test's diamonds, then the current block branches TRUE into a
  new "then" block and FALSE into a new "else" block (or, without ``else``,
  into the join); both ends go on to the join, created before the branches.
  An ``elif`` is an ``if`` inside the else block.
* ``while``: a new head block entered from the current one; the test's
  diamonds in it; the block that ends the test branches TRUE into a new body
  block and FALSE into a new else block or the "after" block; the body ends
  in a LOOPBACK edge to the head, the else block goes on to "after".
  ``continue`` is a CONTINUE edge to the head, ``break`` a BREAK edge to
  "after". ``for`` and ``async for``: the same, with the diamonds of the
  target and iterable before the head (the iterable is evaluated once).
* ``try``: the current block branches into a new body block and, over
  EXCEPTION edges, into one new block per handler (the handler type's
  diamonds in it); the body goes on into the ``else`` (a new block), and
  body-or-else and every handler go on to the ``finally`` block or the join.
  ``finally`` goes on to the join.
* ``with``: its items' diamonds, then the body in the current block.
* ``match``: the subject's diamonds; then per case a new block, entered
  from the previous case's FALSE edges (the first from the current block);
  a refutable pattern gives a FALSE edge to the next case; a guard is a new
  block (marked, see `essential`) entered over SWITCHCASE, whose end
  branches TRUE into the case body and FALSE to the next case; without a
  guard the case body is entered over SWITCHCASE. Bodies go on to the join;
  the last case's FALSE edges go to the join.
* ``return`` and ``raise``: an edge to the exit (RETURN, or UNCONDITIONAL
  for ``raise``); ``break``/``continue`` outside a loop are plain
  statements. After any jump the next statement opens a block without
  predecessors (dead code still counts its decisions).

The graph without LOOPBACK and CONTINUE edges is acyclic, and every block
has a path to the exit or to a loop head, so the graph is connected and
E - N + 2 is 1 plus the decisions.
"""

from __future__ import annotations

import ast
from dataclasses import dataclass, field
from typing import Iterator

from .syntax import SCOPES, scope_children, scope_parts

# Edge kinds, numbered as velmora.EdgeKind.
UNCONDITIONAL, TRUE, FALSE, LOOPBACK, BREAK, CONTINUE, RETURN, EXCEPTION, SWITCHCASE = range(9)

ENTRY = 0
EXIT = 1

FunctionNode = ast.FunctionDef | ast.AsyncFunctionDef


@dataclass(slots=True)
class Graph:
    blocks: int = 0
    edges: list[tuple[int, int, int]] = field(default_factory=list)
    # Guard block -> its case block: the two halves of one decision
    # (pattern and guard), which `essential` may merge.
    guards: dict[int, int] = field(default_factory=dict)


# -- decisions in expressions ---------------------------------------------------------


def expression_decisions(roots: list[ast.AST]) -> tuple[int, int]:
    """(decisions, boolean operators) in the scope under ``roots``:
    conditional expressions, comprehension ``for`` clauses and ``if``
    filters; and the operators of boolean operations (n - 1 for n values)."""
    decisions = bool_ops = 0
    work = list(roots)
    while work:
        node = work.pop()
        cls = type(node)
        if cls is ast.IfExp:
            decisions += 1
        elif cls is ast.comprehension:
            decisions += 1 + len(node.ifs)
        elif cls is ast.BoolOp:
            bool_ops += len(node.values) - 1
        work.extend(scope_children(node))
    return decisions, bool_ops


def _is_elif(node: ast.If) -> bool:
    """An ``elif`` clause: the else branch is one ``if`` that starts in the
    column of its parent (a nested ``if`` under ``else:`` is indented)."""
    orelse = node.orelse
    return len(orelse) == 1 and type(orelse[0]) is ast.If and orelse[0].col_offset == node.col_offset


def _irrefutable(pattern: ast.pattern) -> bool:
    """As the language defines it: a capture or wildcard pattern, an ``as``
    pattern around an irrefutable one, an ``|`` with an irrefutable side."""
    work = [pattern]
    while work:
        p = work.pop()
        if type(p) is ast.MatchAs:
            if p.pattern is None:
                return True
            work.append(p.pattern)
        elif type(p) is ast.MatchOr:
            work.extend(p.patterns)
    return False


# -- the builder --------------------------------------------------------------------------


class _Builder:
    def __init__(self) -> None:
        self.g = Graph()
        self.bool_ops = 0
        self.new_block()  # entry
        self.new_block()  # exit
        # None while control cannot reach the point being built.
        self.current: int | None = ENTRY
        self.loops: list[tuple[int, int]] = []  # (head, after)

    def new_block(self) -> int:
        self.g.blocks += 1
        return self.g.blocks - 1

    def edge(self, source: int | None, target: int, kind: int) -> None:
        if source is not None:
            self.g.edges.append((source, target, kind))

    def here(self) -> int:
        if self.current is None:
            self.current = self.new_block()
        return self.current

    def start(self, kind: int = UNCONDITIONAL) -> int:
        """A new block entered from the current one."""
        block = self.new_block()
        self.edge(self.current, block, kind)
        self.current = block
        return block

    def expressions(self, roots: list[ast.AST]) -> None:
        """The diamonds of the decisions under ``roots``, at the current point."""
        decisions, bool_ops = expression_decisions(roots)
        self.bool_ops += bool_ops
        for _ in range(decisions):
            test = self.here()
            keep = self.new_block()
            join = self.new_block()
            self.edge(test, keep, TRUE)
            self.edge(test, join, FALSE)
            self.edge(keep, join, UNCONDITIONAL)
            self.current = join

    # -- statements: generators that yield the bodies they contain ----------------

    def simple(self, s: ast.stmt) -> None:
        t = type(s)
        if t is ast.Return or t is ast.Raise:
            self.expressions(scope_children(s))
            self.here()
            self.edge(self.current, EXIT, RETURN if t is ast.Return else UNCONDITIONAL)
            self.current = None
        elif (t is ast.Break or t is ast.Continue) and self.loops:
            head, after = self.loops[-1]
            self.here()
            if t is ast.Break:
                self.edge(self.current, after, BREAK)
            else:
                self.edge(self.current, head, CONTINUE)
            self.current = None
        else:
            # A nested def or class contributes the parts evaluated here.
            self.expressions(scope_parts(s) if isinstance(s, SCOPES) else scope_children(s))
            self.here()

    def if_(self, s: ast.If) -> Iterator[list[ast.stmt]]:
        self.expressions([s.test])
        test = self.here()
        join = self.new_block()
        self.start(TRUE)
        yield s.body
        self.edge(self.current, join, UNCONDITIONAL)
        if s.orelse:
            self.current = test
            self.start(FALSE)
            yield s.orelse
            self.edge(self.current, join, UNCONDITIONAL)
        else:
            self.edge(test, join, FALSE)
        self.current = join

    def loop(self, s: ast.While | ast.For | ast.AsyncFor) -> Iterator[list[ast.stmt]]:
        if type(s) is ast.While:
            head = self.start()
            self.expressions([s.test])
        else:
            self.expressions([s.target, s.iter])
            head = self.start()
        branch = self.here()
        after = self.new_block()
        self.loops.append((head, after))
        self.start(TRUE)
        yield s.body
        self.edge(self.current, head, LOOPBACK)
        self.loops.pop()
        if s.orelse:
            self.current = branch
            self.start(FALSE)
            yield s.orelse
            self.edge(self.current, after, UNCONDITIONAL)
        else:
            self.edge(branch, after, FALSE)
        self.current = after

    def try_(self, s: ast.Try | ast.TryStar) -> Iterator[list[ast.stmt]]:
        dispatch = self.here()
        final = self.new_block() if s.finalbody else None
        join = self.new_block()
        meet = final if final is not None else join
        self.start()
        yield s.body
        if s.orelse:
            self.start()
            yield s.orelse
        self.edge(self.current, meet, UNCONDITIONAL)
        for handler in s.handlers:
            self.current = dispatch
            self.start(EXCEPTION)
            if handler.type is not None:
                self.expressions([handler.type])
            yield handler.body
            self.edge(self.current, meet, UNCONDITIONAL)
        if final is not None:
            self.current = final
            yield s.finalbody
            self.edge(self.current, join, UNCONDITIONAL)
        self.current = join

    def with_(self, s: ast.With | ast.AsyncWith) -> Iterator[list[ast.stmt]]:
        self.expressions(list(s.items))
        self.here()
        yield s.body

    def match(self, s: ast.Match) -> Iterator[list[ast.stmt]]:
        self.expressions([s.subject])
        join = self.new_block()
        pending: list[tuple[int | None, int]] = [(self.here(), UNCONDITIONAL)]
        for case in s.cases:
            block = self.new_block()
            for source, kind in pending:
                self.edge(source, block, kind)
            self.current = block
            # Cases after an irrefutable one stay, as dead code: the parser
            # accepts them (only the compiler refuses).
            pending = [] if _irrefutable(case.pattern) else [(block, FALSE)]
            if case.guard is not None:
                self.g.guards[self.start(SWITCHCASE)] = block
                self.expressions([case.guard])
                pending.append((self.here(), FALSE))
                self.start(TRUE)
            else:
                self.start(SWITCHCASE)
            yield case.body
            self.edge(self.current, join, UNCONDITIONAL)
        for source, kind in pending:
            self.edge(source, join, kind)
        self.current = join

    def block(self, stmts: list[ast.stmt]) -> Iterator[ast.stmt]:
        yield from stmts

    def build(self, func: FunctionNode) -> Graph:
        handlers = {
            ast.If: self.if_, ast.While: self.loop, ast.For: self.loop, ast.AsyncFor: self.loop,
            ast.Try: self.try_, ast.TryStar: self.try_, ast.With: self.with_, ast.AsyncWith: self.with_,
            ast.Match: self.match,
        }
        self.start()
        # One driver loop instead of recursion: a generator per open block
        # or compound statement; a block yields statements, a compound
        # statement yields the blocks it contains.
        stack: list[Iterator] = [self.block(func.body)]
        while stack:
            item = next(stack[-1], None)
            if item is None:
                stack.pop()
            elif type(item) is list:
                stack.append(self.block(item))
            else:
                handler = handlers.get(type(item))
                if handler is None:
                    self.simple(item)
                else:
                    stack.append(handler(item))
        self.edge(self.current, EXIT, UNCONDITIONAL)
        return self.g


def build(func: FunctionNode) -> tuple[Graph, int]:
    """The graph of one function, and the boolean operators in its scope."""
    b = _Builder()
    graph = b.build(func)
    return graph, b.bool_ops


# -- measures of the graph ----------------------------------------------------------------


def components(g: Graph) -> int:
    """Connected components of the undirected graph, every block counted."""
    parent = list(range(g.blocks))

    def root(x: int) -> int:
        while parent[x] != x:
            parent[x] = parent[parent[x]]
            x = parent[x]
        return x

    count = g.blocks
    for a, b, _ in g.edges:
        ra, rb = root(a), root(b)
        if ra != rb:
            parent[max(ra, rb)] = min(ra, rb)
            count -= 1
    return count


def longest_path(g: Graph) -> int:
    """Edges on the longest path from the entry to the exit, LOOPBACK and
    CONTINUE edges set aside (the rest is acyclic); 0 when the exit cannot
    be reached. Blocks no path from the entry reaches do not count."""
    succ: list[list[int]] = [[] for _ in range(g.blocks)]
    indeg = [0] * g.blocks
    for a, b, k in g.edges:
        if k != LOOPBACK and k != CONTINUE:
            succ[a].append(b)
            indeg[b] += 1
    dist = [-1] * g.blocks
    dist[ENTRY] = 0
    ready = [i for i in range(g.blocks) if indeg[i] == 0]
    while ready:
        a = ready.pop()
        da = dist[a]
        for b in succ[a]:
            if da >= 0 and dist[b] < da + 1:
                dist[b] = da + 1
            indeg[b] -= 1
            if indeg[b] == 0:
                ready.append(b)
    if any(indeg):
        raise ValueError("the graph without loop-closing edges has a cycle")
    return max(dist[EXIT], 0)


def reachable(g: Graph) -> list[bool]:
    succ: list[list[int]] = [[] for _ in range(g.blocks)]
    for a, b, _ in g.edges:
        succ[a].append(b)
    seen = [False] * g.blocks
    seen[ENTRY] = True
    work = [ENTRY]
    while work:
        for b in succ[work.pop()]:
            if not seen[b]:
                seen[b] = True
                work.append(b)
    return seen


def essential(g: Graph) -> int:
    """McCabe's essential complexity: E - N + 2 of the graph of the blocks
    reachable from the entry, after reducing it until nothing changes by

    * parallel: edges with the same source and target become one;
    * loop: an edge from a block to itself is removed;
    * series: a block other than the entry and the exit with exactly one
      predecessor and one successor becomes an edge between them;
    * sequence: a block other than the entry and the exit whose only
      predecessor has no other successor is merged into it (two blocks in
      a row are one basic block; this closes a loop whose test holds a
      decision, which series alone leaves as two blocks in a cycle);
    * compound condition: a guard block v whose only predecessor is its
      case block t (or the block t was merged into by the sequence rule),
      where t branches to v and to n and v branches to n and to x != t, is
      merged into t (pattern and guard are one decision with two halves).

    Each rule removes a single-entry single-exit piece, so the result does
    not depend on the order they are applied in (the tests check this); a
    structured function reduces to the entry and the exit alone: 1.
    """
    live = reachable(g)
    succ: dict[int, set[int]] = {i: set() for i in range(g.blocks) if live[i]}
    pred: dict[int, set[int]] = {i: set() for i in succ}
    for a, b, _ in g.edges:
        if live[a] and a != b:  # parallel and loop: sets, no self-edges
            succ[a].add(b)
            pred[b].add(a)
    guards = {v: t for v, t in g.guards.items() if v in succ and t in succ}
    return _reduce(succ, pred, guards, order=sorted(succ))


def _reduce(succ: dict[int, set[int]], pred: dict[int, set[int]], guards: dict[int, int], order: list[int]) -> int:
    # Where a merged block went (None: removed by the series rule), so that
    # a guard still finds its case block after that was merged upwards.
    merged: dict[int, int | None] = {}

    def find(x: int | None) -> int | None:
        while x is not None and x in merged:
            x = merged[x]
        return x

    def link(a: int, b: int) -> None:
        if a != b:
            succ[a].add(b)
            pred[b].add(a)

    def remove(v: int, into: int | None = None) -> None:
        merged[v] = into
        for a in pred.pop(v):
            succ[a].discard(v)
        for b in succ.pop(v):
            pred[b].discard(v)

    work = list(reversed(order))
    queued = set(work)
    while work:
        v = work.pop()
        queued.discard(v)
        if v not in succ or v == ENTRY or v == EXIT:
            continue
        ps, ss = pred[v], succ[v]
        touched: set[int] = set()
        if len(ps) == 1 and len(ss) == 1:  # series
            (a,), (b,) = ps, ss
            remove(v)
            link(a, b)
            touched = {a, b}
        elif len(ps) == 1 and len(succ[next(iter(ps))]) == 1:  # sequence
            (a,) = ps
            outs = list(ss)
            remove(v, into=a)
            for b in outs:
                link(a, b)
            touched = {a, *outs}
        elif v in guards and len(ps) == 1 and len(ss) == 2:  # compound condition
            (t,) = ps
            if t == find(guards[v]) and len(succ[t]) == 2:
                (n,) = succ[t] - {v}
                if n in ss:
                    (x,) = ss - {n}
                    if x != t:
                        remove(v, into=t)
                        link(t, x)
                        touched = {t, n, x}
        for u in touched:
            if u in succ:
                # A change at u can enable a rule at u or its neighbours.
                for w in (u, *pred[u], *succ[u]):
                    if w not in queued:
                        queued.add(w)
                        work.append(w)
    edges = sum(len(s) for s in succ.values())
    return edges - len(succ) + 2


# -- measures of the syntax ---------------------------------------------------------------

_BODIES = ("body", "orelse", "finalbody")


def nesting(func: FunctionNode) -> int:
    """Deepest structural nesting of control statements in the body.

    ``if`` (its ``elif``/``else`` at the same level), ``for``/``while`` (and
    their ``else``), ``try`` (handlers, ``else``, ``finally`` at the level
    of the ``try``), ``with`` and ``match`` (a ``case`` body is one level
    below the ``match``, like a branch of an ``if``) each add one level to
    what they contain. Expressions do not nest; nested defs and classes are
    measured on their own.
    """
    deepest = 0
    work: list[tuple[ast.stmt, int]] = [(s, 0) for s in func.body]
    while work:
        s, depth = work.pop()
        t = type(s)
        if t is ast.If:
            inner = depth + 1
            deepest = max(deepest, inner)
            while True:
                work.extend((c, inner) for c in s.body)
                if not _is_elif(s):
                    work.extend((c, inner) for c in s.orelse)
                    break
                s = s.orelse[0]
        elif t in (ast.For, ast.AsyncFor, ast.While, ast.With, ast.AsyncWith, ast.Try, ast.TryStar):
            inner = depth + 1
            deepest = max(deepest, inner)
            for name in _BODIES:
                work.extend((c, inner) for c in getattr(s, name, ()))
            for h in getattr(s, "handlers", ()):
                work.extend((c, inner) for c in h.body)
        elif t is ast.Match:
            inner = depth + 1
            deepest = max(deepest, inner)
            for case in s.cases:
                work.extend((c, inner) for c in case.body)
    return deepest


class Cognitive:
    """Cognitive complexity as the 2017 white paper defines it, for Python.

    Increments (+1): ``if``, ``elif``, ``else``, loops, each ``except``
    clause, ``match``, each conditional expression, each comprehension
    ``for`` clause and ``if`` filter, each run of like boolean operators;
    +1 once when the function calls itself directly.
    Nesting increments (+ the current nesting level): ``if``, loops,
    ``except``, ``match``, conditional expressions, comprehension ``for``
    clauses.
    Nesting level +1 inside: the bodies of ``if``/``elif``/``else``, of
    loops, of ``except`` clauses and of ``case`` clauses (and their patterns
    and guards); the two values of a conditional expression; the element and
    filters of a comprehension; the bodies of lambdas and of nested defs,
    which count toward the enclosing function as the paper has it (nested
    classes add no level; their methods do).
    No increment and no level: ``try``, ``finally``, ``try``'s ``else``,
    a loop's ``else`` (at the level of the loop statement), ``with``,
    ``break``, ``continue``, ``return``, ``raise``, ``assert``, ``case``
    guards. Annotations are not read.

    A boolean operation is flattened through operands that are themselves
    boolean operations (parentheses are not seen), and every change of
    operator in the flattened sequence starts a new run: ``a and b or c``
    is 2, ``a or b and c or d`` is 3; ``not (...)`` or any other node ends
    the flattening, and a boolean operation inside it is a sequence of its
    own.

    Subclasses can override one ``visit_X`` (or `generic`, the step for
    every other node) to model another counting; the walk is a work list of
    (node, level) pairs.
    """

    def __init__(self) -> None:
        self.score = 0
        self.work: list[tuple[ast.AST, int]] = []

    def push(self, nodes, level: int) -> None:
        self.work.extend((n, level) for n in reversed(nodes) if n is not None)

    def measure(self, func: FunctionNode, recursive: bool = False) -> int:
        self.score = int(recursive)
        self.push(func.body, 0)
        work = self.work
        visitors: dict[type, object] = {}
        while work:
            node, level = work.pop()
            cls = type(node)
            visit = visitors.get(cls, False)
            if visit is False:
                visit = visitors[cls] = getattr(self, "visit_" + cls.__name__, None)
            if visit is None:
                self.generic(node, level)
            else:
                visit(node, level)
        return self.score

    def generic(self, node: ast.AST, level: int) -> None:
        """A node without increments: its scope's children, same level."""
        self.push(scope_children(node), level)

    # -- statements
    def visit_If(self, node: ast.If, level: int) -> None:
        self.score += 1 + level
        while True:
            self.push([node.test], level)
            self.push(node.body, level + 1)
            if _is_elif(node):
                node = node.orelse[0]
                self.score += 1  # elif
                continue
            if node.orelse:
                self.score += 1  # else
                self.push(node.orelse, level + 1)
            return

    def visit_For(self, node: ast.For | ast.AsyncFor, level: int) -> None:
        self.score += 1 + level
        self.push([node.target, node.iter], level)
        self.push(node.body, level + 1)
        self.push(node.orelse, level)

    visit_AsyncFor = visit_For

    def visit_While(self, node: ast.While, level: int) -> None:
        self.score += 1 + level
        self.push([node.test], level)
        self.push(node.body, level + 1)
        self.push(node.orelse, level)

    def visit_Try(self, node: ast.Try | ast.TryStar, level: int) -> None:
        self.push(node.body, level)
        for h in node.handlers:
            self.score += 1 + level
            self.push([h.type], level)
            self.push(h.body, level + 1)
        self.push(node.orelse, level)
        self.push(node.finalbody, level)

    visit_TryStar = visit_Try

    def visit_Match(self, node: ast.Match, level: int) -> None:
        self.score += 1 + level
        self.push([node.subject], level)
        for case in node.cases:
            self.push([case.pattern, case.guard], level + 1)
            self.push(case.body, level + 1)

    def visit_FunctionDef(self, node: ast.FunctionDef | ast.AsyncFunctionDef, level: int) -> None:
        self.push(scope_parts(node), level)
        self.push(node.body, level + 1)

    visit_AsyncFunctionDef = visit_FunctionDef

    def visit_ClassDef(self, node: ast.ClassDef, level: int) -> None:
        self.push(scope_parts(node), level)
        self.push(node.body, level)

    # -- expressions
    def visit_IfExp(self, node: ast.IfExp, level: int) -> None:
        self.score += 1 + level
        self.push([node.test], level)
        self.push([node.body, node.orelse], level + 1)

    def visit_Lambda(self, node: ast.Lambda, level: int) -> None:
        a = node.args
        self.push([d for d in a.kw_defaults if d is not None] + list(a.defaults), level)
        self.push([node.body], level + 1)

    def comprehension(self, node, elements: list[ast.expr], level: int) -> None:
        for gen in node.generators:
            self.score += 1 + level + len(gen.ifs)
            self.push([gen.target, gen.iter], level)
            self.push(gen.ifs, level + 1)
        self.push(elements, level + 1)

    def visit_ListComp(self, node, level: int) -> None:
        self.comprehension(node, [node.elt], level)

    visit_SetComp = visit_GeneratorExp = visit_ListComp

    def visit_DictComp(self, node: ast.DictComp, level: int) -> None:
        self.comprehension(node, [node.key, node.value], level)

    def visit_BoolOp(self, node: ast.BoolOp, level: int) -> None:
        runs, operands = boolean_runs(node)
        self.score += runs
        self.push(operands, level)


def boolean_runs(node: ast.BoolOp) -> tuple[int, list[ast.expr]]:
    """Runs of like operators in the flattened operation, and its operands
    (the values that are not boolean operations), left to right."""
    runs = 0
    last = None
    operands: list[ast.expr] = []
    # In-order walk of the operator tree: a BoolOp yields value, op, value,
    # op, ..., value; pending items are (node, operator-or-None).
    work: list[tuple[ast.expr | None, type | None]] = [(node, None)]
    while work:
        item, op = work.pop()
        if op is not None:
            if op is not last:
                runs += 1
                last = op
            continue
        if type(item) is ast.BoolOp:
            op_type = type(item.op)
            values = item.values
            for i in range(len(values) - 1, -1, -1):
                work.append((values[i], None))
                if i:
                    work.append((None, op_type))
        else:
            operands.append(item)
    return runs, operands


def is_recursive(func: FunctionNode, owner: str, calls) -> bool:
    """The function calls itself directly: ``f(...)`` in a function that is
    not a method, ``self.m(...)`` / ``cls.m(...)`` in a method ``m``."""
    name = func.name
    if owner:
        return any(form == "self" and callee == name for form, _, callee in calls)
    return any(form == "name" and callee == name for form, _, callee in calls)


@dataclass(slots=True)
class Measures:
    cyclomatic: int
    cognitive: int
    essential: int
    nesting: int
    longest_path: int
    betti_1: int
    components: int
    blocks: int
    edges: int


def measure(func: FunctionNode, owner: str = "", calls=(), *, count_bool_ops: bool = False) -> Measures:
    """Every measure of one function; ``calls`` are its call sites
    (`syntax.function_facts`), used to find direct recursion."""
    g, bool_ops = build(func)
    n, e = g.blocks, len(g.edges)
    c = components(g)
    return Measures(
        cyclomatic=e - n + 2 + (bool_ops if count_bool_ops else 0),
        cognitive=Cognitive().measure(func, is_recursive(func, owner, calls)),
        essential=essential(g),
        nesting=nesting(func),
        longest_path=longest_path(g),
        betti_1=e - n + c,
        components=c,
        blocks=n,
        edges=e,
    )
