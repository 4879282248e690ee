"""Facts read straight from the syntax tree: the functions of a module with
their qualified names, and per function its node kinds, call sites,
statement count and whether it only assigns attributes; per module its
imports.

The *scope* of a function, shared by the measures (`pyflow`) and the call
sites here, is what runs when the function body runs: its body statements,
the lambdas and comprehensions in them, and of a nested ``def`` its
decorators and default values, of a nested ``class`` its decorators, bases
and keywords. Not in scope: the bodies of nested defs and classes (reported
on their own, or not at all for class bodies), annotations (a function's
local annotations are never evaluated), type parameters and the values of
``type`` aliases (evaluated lazily).

Every walk uses an explicit stack: ``ast.parse`` accepts expressions far
deeper than the interpreter's recursion limit.
"""

from __future__ import annotations

import ast
import re
from typing import Iterator

from .kinds import KIND_CODES
from .model import Call, Import

FUNCTION_DEFS = (ast.FunctionDef, ast.AsyncFunctionDef)
SCOPES = (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)

# Context and operator nodes carry no structure of their own.
_SKIP = (ast.expr_context, ast.operator, ast.boolop, ast.unaryop, ast.cmpop)
_LINE_END = re.compile(rb"\r\n|\r|\n")

_fields: dict[type, tuple[str, ...]] = {}


def children(node: ast.AST) -> list[ast.AST]:
    """Child nodes in ``_fields`` order, without context and operator nodes."""
    cls = type(node)
    names = _fields.get(cls)
    if names is None:
        names = _fields[cls] = cls._fields
    out = []
    for name in names:
        value = getattr(node, name, None)
        if type(value) is list:
            for item in value:
                if isinstance(item, ast.AST) and not isinstance(item, _SKIP):
                    out.append(item)
        elif isinstance(value, ast.AST) and not isinstance(value, _SKIP):
            out.append(value)
    return out


def scope_parts(node: ast.AST) -> list[ast.expr]:
    """The expressions of a nested def or class that run in the enclosing
    scope, in ``_fields`` order: defaults and decorators of a def; bases,
    keyword values and decorators of a class."""
    if isinstance(node, ast.ClassDef):
        return [*node.bases, *(k.value for k in node.keywords), *node.decorator_list]
    if isinstance(node, ast.Lambda):
        a = node.args
        return [d for d in a.kw_defaults if d is not None] + list(a.defaults) + [node.body]
    a = node.args
    return [d for d in a.kw_defaults if d is not None] + list(a.defaults) + list(node.decorator_list)


def scope_children(node: ast.AST) -> list[ast.AST]:
    """Children of a node that belong to the enclosing function's scope."""
    if isinstance(node, SCOPES) or isinstance(node, ast.Lambda):
        return scope_parts(node)
    if isinstance(node, ast.AnnAssign):
        return [node.target] + ([node.value] if node.value is not None else [])
    if isinstance(node, (ast.arguments, ast.TypeAlias)):
        # A lambda's defaults come through scope_parts; an alias's value is
        # evaluated lazily, not when the statement runs.
        return []
    return children(node)


# -- functions and their names ---------------------------------------------------


def _child_statements(node: ast.AST):
    # Source order: a try's handlers come between its body and its else.
    for name in ("body", "handlers", "orelse", "finalbody", "cases"):
        for child in getattr(node, name, ()) or ():
            if isinstance(child, (ast.stmt, ast.excepthandler, ast.match_case)):
                yield child


def iter_functions(tree: ast.AST) -> Iterator[tuple[ast.FunctionDef | ast.AsyncFunctionDef, str, str]]:
    """(node, qualname, owner) of every def, in source order (a def before
    the defs inside it); qualnames are the interpreter's ``__qualname__``,
    owner the qualname of the directly enclosing class or ""."""
    work: list[tuple[ast.AST, str, str]] = [(tree, "", "")]
    while work:
        node, prefix, owner = work.pop()
        if isinstance(node, FUNCTION_DEFS):
            qual = prefix + node.name
            yield node, qual, owner
            inner = [(c, qual + ".<locals>.", "") for c in _child_statements(node)]
        elif isinstance(node, ast.ClassDef):
            qual = prefix + node.name
            inner = [(c, qual + ".", qual) for c in _child_statements(node)]
        else:
            inner = [(c, prefix, owner) for c in _child_statements(node)]
        work.extend(reversed(inner))


# -- per-function facts --------------------------------------------------------------


def call_of(node: ast.Call) -> Call:
    """(form, base, name) of a call site: ``f()`` ("name", "", "f");
    ``self.f()`` / ``cls.f()`` ("self", "self"/"cls", "f"); ``super().f()``
    ("super", "", "f"); ``a.b.f()`` ("attr", "a.b", "f") when every link is
    a name; anything else ("other", "", attribute name or "")."""
    func = node.func
    if isinstance(func, ast.Name):
        return ("name", "", func.id)
    if not isinstance(func, ast.Attribute):
        return ("other", "", "")
    value = func.value
    if isinstance(value, ast.Name):
        if value.id in ("self", "cls"):
            return ("self", value.id, func.attr)
        return ("attr", value.id, func.attr)
    if isinstance(value, ast.Call) and isinstance(value.func, ast.Name) and value.func.id == "super":
        return ("super", "", func.attr)
    links = []
    while isinstance(value, ast.Attribute):
        links.append(value.attr)
        value = value.value
    if isinstance(value, ast.Name):
        links.append(value.id)
        return ("attr", ".".join(reversed(links)), func.attr)
    return ("other", "", func.attr)


def function_facts(func: ast.FunctionDef | ast.AsyncFunctionDef) -> tuple[bytes, tuple[Call, ...], int]:
    """Node-kind codes, call sites and statement count of one function.

    Kinds: a pre-order walk of the body statements in ``_fields`` order,
    without context and operator nodes, where a nested def or class gives
    its own kind and nothing below it. Calls: every call in the function's
    scope (see the module docstring), in pre-order.
    """
    codes = KIND_CODES
    kinds = bytearray()
    calls: list[Call] = []
    statements = 0
    # (node, walked for kinds, in scope)
    work: list[tuple[ast.AST, bool, bool]] = [(s, True, True) for s in reversed(func.body)]
    while work:
        node, for_kinds, in_scope = work.pop()
        if for_kinds:
            kinds.append(codes[type(node)])
            if isinstance(node, ast.stmt):
                statements += 1
        if in_scope and isinstance(node, ast.Call):
            calls.append(call_of(node))
        if isinstance(node, SCOPES):
            if in_scope:
                work.extend((c, False, True) for c in reversed(scope_parts(node)))
            continue
        kids = children(node)
        if isinstance(node, ast.AnnAssign) and in_scope:
            for c in reversed(kids):
                work.append((c, for_kinds, c is not node.annotation))
        elif isinstance(node, ast.TypeAlias):
            work.extend((c, for_kinds, False) for c in reversed(kids))
        else:
            work.extend((c, for_kinds, in_scope) for c in reversed(kids))
    return bytes(kinds), tuple(calls), statements


def _is_super_init(stmt: ast.stmt) -> bool:
    if not (isinstance(stmt, ast.Expr) and isinstance(stmt.value, ast.Call)):
        return False
    f = stmt.value.func
    return (
        isinstance(f, ast.Attribute) and f.attr == "__init__"
        and isinstance(f.value, ast.Call) and isinstance(f.value.func, ast.Name) and f.value.func.id == "super"
    )


def _attribute_target(t: ast.expr) -> bool:
    if isinstance(t, (ast.Tuple, ast.List)):
        return bool(t.elts) and all(isinstance(e, ast.Attribute) for e in t.elts)
    return isinstance(t, ast.Attribute)


def assign_only(func: ast.FunctionDef | ast.AsyncFunctionDef) -> bool:
    """The body only assigns attributes (``self.x = x``, ``self.a, self.b =
    a, b``), besides string expressions (docstrings), ``pass`` and
    ``super().__init__(...)`` calls, and assigns at least one."""
    assigned = False
    for s in func.body:
        if isinstance(s, ast.Assign) and all(_attribute_target(t) for t in s.targets):
            assigned = True
        elif isinstance(s, ast.AnnAssign) and s.value is not None and isinstance(s.target, ast.Attribute):
            assigned = True
        elif isinstance(s, ast.Pass) or _is_super_init(s):
            pass
        elif isinstance(s, ast.Expr) and isinstance(s.value, ast.Constant) and isinstance(s.value.value, str):
            pass
        else:
            return False
    return assigned


# -- per-module facts ------------------------------------------------------------------


def not_imported(test: ast.expr) -> bool:
    """The test of an ``if`` whose body does not run when the module is
    imported: ``__name__ == "__main__"`` (either way round), ``TYPE_CHECKING``
    and ``<name>.TYPE_CHECKING``. Platform and version tests are not among
    them: their body runs on some interpreter, and a dependency there is
    real there."""
    if isinstance(test, ast.Name):
        return test.id == "TYPE_CHECKING"
    if isinstance(test, ast.Attribute):
        return test.attr == "TYPE_CHECKING" and isinstance(test.value, ast.Name)
    if isinstance(test, ast.Compare) and len(test.ops) == 1 and isinstance(test.ops[0], ast.Eq):
        sides = (test.left, test.comparators[0])
        return any(
            isinstance(a, ast.Name) and a.id == "__name__"
            and isinstance(b, ast.Constant) and type(b.value) is str and b.value == "__main__"
            for a, b in (sides, sides[::-1])
        )
    return False


def imports(tree: ast.Module) -> tuple[Import, ...]:
    """(level, module, name, asname, top_level, line) per imported name, in
    source order; top_level: the statement runs when the module is imported
    (at module level, not inside a def or class, nor in the body of an
    ``if`` that `not_imported` recognises; its ``else`` does run).
    ``import a.b as c`` -> (0, "a.b", "", "c", ...); ``from ..x import y``
    -> (2, "x", "y", "", ...)."""
    out: list[Import] = []
    work: list[tuple[ast.AST, bool]] = [(s, True) for s in reversed(tree.body)]
    while work:
        node, top = work.pop()
        if isinstance(node, ast.Import):
            out.extend((0, a.name, "", a.asname or "", top, node.lineno) for a in node.names)
        elif isinstance(node, ast.ImportFrom):
            out.extend((node.level, node.module or "", a.name, a.asname or "", top, node.lineno) for a in node.names)
        elif top and isinstance(node, ast.If) and not_imported(node.test):
            work.extend([(c, True) for c in reversed(node.orelse)] + [(c, False) for c in reversed(node.body)])
        else:
            inner = top and not isinstance(node, SCOPES)
            work.extend((c, inner) for c in reversed(list(_child_statements(node))))
    return tuple(out)


class LineIndex:
    """Byte offsets of line starts in the UTF-8 form of a source text.

    ``ast`` gives 1-based lines and columns counted in UTF-8 bytes; lines end
    at LF, CR LF or a lone CR, as the tokenizer has them (a form feed or a
    Unicode line separator does not end a line).
    """

    def __init__(self, data: bytes):
        self.data = data
        self.starts = [0] + [m.end() for m in _LINE_END.finditer(data)]

    @property
    def lines(self) -> int:
        """Number of lines; a last line without a line end counts."""
        n = len(self.starts)
        return n - 1 if self.starts[-1] == len(self.data) else n

    def offset(self, line: int, column: int) -> int:
        starts = self.starts
        if line < 1:
            return 0
        if line > len(starts):
            return len(self.data)
        return min(starts[line - 1] + column, len(self.data))

    def segment(self, node: ast.AST) -> str:
        start = self.offset(node.lineno, node.col_offset)
        end = self.offset(node.end_lineno or node.lineno, node.end_col_offset or 0)
        return self.data[start:end].decode("utf-8", "replace")
