"""Agreement of velmora-scan's numbers with mccabe, radon and complexipy.

For every function that a peer reports too (matched by file and line), the
script compares velmora-scan's cyclomatic complexity with mccabe's and
radon's, and its cognitive complexity with complexipy's, and accounts for
every difference:

* cyclomatic: a differing function is put down to the constructs the two
  tools count differently (NOTES.md's table); one that holds none of them
  is "unexplained";
* cognitive: each departure of complexipy from the white paper is modelled
  as a switch of velmora-scan's own counting (`Emulated`); a departure
  "touches" the functions whose number that switch alone changes, and a
  function that still differs with every switch on is "unexplained".

Run (the numbers in NOTES.md come from this command; the peers from
benchmarks/requirements.txt):

    python3.12 -m venv /tmp/bench-venv
    /tmp/bench-venv/bin/pip install -r benchmarks/requirements.txt
    PYTHONPATH=<velmora build> /tmp/bench-venv/bin/python benchmarks/agreement.py --stdlib

``--list N`` prints up to N examples per category.
"""

from __future__ import annotations

import argparse
import ast
import sys
import time
import warnings
from collections import Counter, defaultdict

from velmora_scan import pyflow, syntax
from velmora_scan.discover import discover, stdlib_root
from velmora_scan.source import SourceError, read_bytes

# -- constructs counted differently (cyclomatic) ------------------------------------------


def constructs(func) -> set[str]:
    """Which of the constructs that the peers count differently the
    function's own scope holds (nested def bodies are their own)."""
    found: set[str] = set()
    work = list(func.body)
    while work:
        n = work.pop()
        t = type(n)
        if isinstance(n, syntax.SCOPES):
            found.add("nested def/class")
            parts = syntax.scope_parts(n)
            if any(isinstance(x, (ast.IfExp, ast.comprehension, ast.Lambda)) for p in parts for x in ast.walk(p)):
                found.add("decision in a nested def's defaults/decorators")
            work += parts
            continue
        if t in (ast.Try, ast.TryStar):
            found.add("try")
            if n.orelse:
                found.add("try/else")
            if t is ast.TryStar:
                found.add("except*")
        elif t is ast.IfExp:
            found.add("conditional expression")
        elif t is ast.comprehension:
            found.add("comprehension")
        elif t is ast.Lambda:
            found.add("lambda")
        elif t is ast.Match:
            found.add("match")
            if any(c.guard is not None for c in n.cases):
                found.add("case guard")
            if any(pyflow._irrefutable(c.pattern) and not _wildcard(c.pattern) for c in n.cases):
                found.add("irrefutable case other than _")
        elif t is ast.TypeAlias:
            found.add("type alias value")
        elif t is ast.BoolOp:
            found.add("boolean operator")
        elif t in (ast.For, ast.AsyncFor, ast.While) and n.orelse:
            found.add("loop else")
        elif t is ast.Assert:
            found.add("assert")
        elif t in (ast.AsyncFor, ast.AsyncWith):
            found.add("async for/with")
        work.extend(syntax.scope_children(n))
    return found


MCCABE_COUNTS_DIFFERENTLY = {"nested def/class", "try", "conditional expression", "comprehension", "lambda", "match",
                             "decision in a nested def's defaults/decorators", "async for/with"}
RADON_COUNTS_DIFFERENTLY = {"boolean operator", "loop else", "try/else", "assert", "case guard", "except*",
                            "decision in a nested def's defaults/decorators", "irrefutable case other than _",
                            "type alias value"}


def _wildcard(p) -> bool:
    return isinstance(p, ast.MatchAs) and p.pattern is None and p.name is None


# -- complexipy's departures, as switches of our own counting -------------------------------

DEPARTURES = {
    "reads": "decisions in places it does not read (keyword arguments, operands of arithmetic, attributes, "
             "subscripts, await/yield, f-strings, walrus, call targets, del, for targets, match subjects "
             "and guards, except types, decorators and defaults, statements of nested class bodies, "
             "anything inside a boolean operation)",
    "bool": "boolean operators counted per operation node, not per run of the flattened sequence",
    "closure": "a function whose body is one def and a return: the inner def counts at the outer level",
    "nested": "a nested def adds a level only directly in the function body; nested class methods add none",
    "recursion": "recursion: a method calling its bare name counts, self.m() does not; calls inside "
                 "lambdas and nested defs' defaults do not count",
}

# Expression children complexipy reads, per node type; other expressions hide what they hold.
_READ_EXPR = {
    ast.Compare: lambda n: [n.left, *n.comparators],
    ast.Call: lambda n: list(n.args),
    ast.Tuple: lambda n: list(n.elts),
    ast.List: lambda n: list(n.elts),
    ast.Set: lambda n: list(n.elts),
    ast.Dict: lambda n: list(n.values),
    # under ``not`` only boolean operations are seen
    ast.UnaryOp: lambda n: [n.operand] if isinstance(n.op, ast.Not) and type(n.operand) in (ast.BoolOp, ast.UnaryOp) else [],
}
# Statement expressions complexipy reads.
_READ_STMT = {
    ast.Assign: lambda s: [s.value], ast.AugAssign: lambda s: [s.value],
    ast.AnnAssign: lambda s: [s.value], ast.Return: lambda s: [s.value],
    ast.Raise: lambda s: [s.exc, s.cause], ast.Assert: lambda s: [s.test, s.msg], ast.Expr: lambda s: [s.value],
}


class Emulated(pyflow.Cognitive):
    """velmora-scan's cognitive complexity with some of complexipy's
    departures switched on."""

    def __init__(self, switches: set[str]):
        super().__init__()
        self.on = switches
        self.direct: set[int] = set()  # ids of statements directly in a function body

    def measure(self, func, recursive=False):
        if "closure" in self.on and _closure(func):
            func = func.body[0]
        self.direct = {id(s) for s in func.body}
        return super().measure(func, recursive)

    def push(self, nodes, level):
        if "reads" in self.on:
            # Only what complexipy reads: statements, and expressions of the
            # kinds it looks into; any other expression hides what it holds.
            nodes = [n for n in nodes if isinstance(n, ast.stmt) or type(n) in _READ_EXPR or type(n) in _VISITED_EXPR]
        super().push(nodes, level)

    def generic(self, node, level):
        if "reads" in self.on:
            reader = _READ_STMT.get(type(node)) or _READ_EXPR.get(type(node))
            if reader is not None:
                self.push(reader(node), level)
            return
        super().generic(node, level)

    def visit_For(self, node, level):
        if "reads" not in self.on:
            return super().visit_For(node, level)
        self.score += 1 + level
        self.push([node.iter], level)
        self.push(node.body, level + 1)
        self.push(node.orelse, level)

    visit_AsyncFor = visit_For

    def visit_With(self, node, level):
        if "reads" not in self.on:
            return self.generic(node, level)
        self.push([i.context_expr for i in node.items], level)
        self.push(node.body, level)

    visit_AsyncWith = visit_With

    def visit_Try(self, node, level):
        if "reads" not in self.on:
            return super().visit_Try(node, level)
        self.push(node.body, level)
        for h in node.handlers:
            self.score += 1 + level
            self.push(h.body, level + 1)
        self.push(node.orelse, level)
        self.push(node.finalbody, level)

    visit_TryStar = visit_Try

    def visit_Match(self, node, level):
        if "reads" not in self.on:
            return super().visit_Match(node, level)
        self.score += 1 + level
        for case in node.cases:
            self.push(case.body, level + 1)

    def visit_FunctionDef(self, node, level):
        if "reads" not in self.on:
            self.push(syntax.scope_parts(node), level)
        if "closure" in self.on and _closure(node):
            # the one inner def stands for the whole, at this level
            self.direct.add(id(node.body[0]))
            self.push([node.body[0]], level)
            return
        inner = level + 1
        if "nested" in self.on and id(node) not in self.direct:
            inner = level
        self.direct.update(id(s) for s in node.body)
        self.push(node.body, inner)

    visit_AsyncFunctionDef = visit_FunctionDef

    def visit_ClassDef(self, node, level):
        if "reads" not in self.on:
            self.push(syntax.scope_parts(node), level)
        body = [s for s in node.body if isinstance(s, syntax.FUNCTION_DEFS)] if "reads" in self.on else node.body
        if "nested" in self.on:
            # the methods of a nested class add no level
            for s in body:
                if isinstance(s, syntax.FUNCTION_DEFS):
                    self.direct.discard(id(s))
        self.push(body, level)

    def visit_BoolOp(self, node, level):
        if "bool" in self.on:
            score, operands = _bool_nodes(node)
            self.score += score
        else:
            runs, operands = pyflow.boolean_runs(node)
            self.score += runs
        if "reads" in self.on:
            operands = []  # nothing inside a boolean operation is read but the operations themselves
        self.push(operands, level)


def _bool_nodes(node):
    """1 for the operation, +1 for each boolean operation below it (through
    operations and ``not``) whose operator differs from its parent's or that
    sits under a ``not``; and the other operands."""
    score = 1
    operands = []
    work = [(v, node.op, False) for v in reversed(node.values)]
    while work:
        v, parent_op, negated = work.pop()
        if type(v) is ast.BoolOp:
            if negated or type(v.op) is not type(parent_op):
                score += 1
            work.extend((w, v.op, False) for w in reversed(v.values))
        elif type(v) is ast.UnaryOp and isinstance(v.op, ast.Not):
            work.append((v.operand, parent_op, True))
        else:
            operands.append(v)
    return score, operands


_VISITED_EXPR = {ast.IfExp, ast.BoolOp, ast.Lambda, ast.ListComp, ast.SetComp, ast.GeneratorExp, ast.DictComp}


def _closure(func) -> bool:
    b = func.body
    return len(b) == 2 and isinstance(b[0], syntax.FUNCTION_DEFS) and isinstance(b[1], ast.Return)


def emulated_cognitive(func, owner, calls, switches: set[str]) -> int:
    recursive = _bare_recursion(func) if "recursion" in switches else pyflow.is_recursive(func, owner, calls)
    return Emulated(switches).measure(func, recursive)


def _bare_recursion(func) -> bool:
    """A call of the function's bare name in its body, outside nested defs,
    classes and lambdas."""
    work = list(func.body)
    while work:
        n = work.pop()
        if isinstance(n, (*syntax.SCOPES, ast.Lambda)):
            continue
        if isinstance(n, ast.Call) and isinstance(n.func, ast.Name) and n.func.id == func.name:
            return True
        work.extend(ast.iter_child_nodes(n))
    return False


# -- the run -----------------------------------------------------------------------------------


def peers_of(path: str, tree: ast.Module):
    import complexipy
    import mccabe
    from radon.complexity import cc_visit_ast

    v = mccabe.PathGraphingAstVisitor()
    v.preorder(tree, v)
    mc = {g.lineno: g.complexity() for g in v.graphs.values()}
    rd: dict[int, int] = {}
    work = list(cc_visit_ast(tree))
    while work:
        b = work.pop()
        if hasattr(b, "methods"):  # a class
            work += b.methods
            continue
        rd.setdefault(b.lineno, b.complexity)
        work += getattr(b, "closures", [])
    try:
        cx = {f.line_start: f.complexity for f in complexipy.file_complexity(path).functions}
    except Exception:  # noqa: BLE001 - a file it cannot parse is left out
        cx = {}
    return mc, rd, cx


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("paths", nargs="*")
    ap.add_argument("--stdlib", action="store_true")
    ap.add_argument("--list", type=int, default=0, metavar="N", help="print N examples per category")
    args = ap.parse_args()
    paths = list(args.paths) + ([stdlib_root()] if args.stdlib else [])
    t0 = time.process_time()
    files = functions = 0
    cyc = {name: Counter() for name in ("mccabe", "radon")}
    examples = defaultdict(list)
    cog = Counter()
    touched = Counter()
    for cand in discover(paths):
        if cand.problem:
            continue
        try:
            data = read_bytes(cand.path)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                tree = ast.parse(data)
        except (SourceError, SyntaxError, ValueError, RecursionError, MemoryError):
            continue
        files += 1
        mc, rd, cx = peers_of(cand.path, tree)
        for func, qualname, owner in syntax.iter_functions(tree):
            functions += 1
            _, calls, _ = syntax.function_facts(func)
            m = pyflow.measure(func, owner, calls)
            where = f"{cand.path}:{func.lineno} {qualname}"
            found = None
            for name, theirs, differs in (("mccabe", mc, MCCABE_COUNTS_DIFFERENTLY), ("radon", rd, RADON_COUNTS_DIFFERENTLY)):
                if "<locals>" in qualname and name == "mccabe" or func.lineno not in theirs:
                    continue
                c = cyc[name]
                c["compared"] += 1
                if theirs[func.lineno] == m.cyclomatic:
                    c["same"] += 1
                    continue
                found = constructs(func) if found is None else found
                reasons = sorted(found & differs)
                key = reasons[0] if len(reasons) == 1 else ("several" if reasons else "unexplained")
                c[key] += 1
                examples[(name, key)].append(f"{where}: {m.cyclomatic} vs {theirs[func.lineno]}")
            first = min([d.lineno for d in func.decorator_list] + [func.lineno])
            if first in cx and ("<locals>" not in qualname and qualname.count(".") <= 1):
                cog["compared"] += 1
                theirs = cx[first]
                if theirs == m.cognitive:
                    cog["same"] += 1
                for d in DEPARTURES:
                    if emulated_cognitive(func, owner, calls, {d}) != m.cognitive:
                        touched[d] += 1
                        if theirs != m.cognitive:
                            touched[d + " (differing)"] += 1
                every = emulated_cognitive(func, owner, calls, set(DEPARTURES))
                if every == theirs:
                    cog["explained" if theirs != m.cognitive else "same-after"] += 1
                else:
                    cog["unexplained"] += 1
                    examples[("complexipy", "unexplained")].append(
                        f"{where}: ours {m.cognitive}, emulated {every}, complexipy {theirs}")
    cpu = time.process_time() - t0
    print(f"{files} files, {functions} functions, {cpu:.0f} s CPU")
    for name, c in cyc.items():
        n = c.pop("compared")
        same = c.pop("same")
        print(f"\ncyclomatic vs {name}: {n} functions compared, {same} identical ({100 * same / n:.1f}%)")
        for key, count in c.most_common():
            print(f"  {key:50s} {count:6d}  ({100 * count / n:.2f}%)")
    n = cog["compared"]
    print(f"\ncognitive vs complexipy: {n} functions compared, {cog['same']} identical ({100 * cog['same'] / n:.1f}%)")
    print(f"  identical with every departure emulated: {cog['same-after'] + cog['explained']}"
          f"; unexplained {cog['unexplained']} ({100 * cog['unexplained'] / n:.2f}%)")
    for d, text in DEPARTURES.items():
        print(f"  {d:10s} touches {touched[d]:6d} functions ({touched[d + ' (differing)']} of them differ): {text}")
    if args.list:
        for (name, key), rows in sorted(examples.items()):
            print(f"\n{name} / {key}:")
            for r in rows[: args.list]:
                print("  " + r)


if __name__ == "__main__":
    sys.exit(main())
