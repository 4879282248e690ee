"""One file in, one `FileReport` out: every failure stays with its file.

`analyze_file` never raises for anything the file does: unreadable,
special, undecodable or invalid files come back with status "error" or
"skipped" and the reason; a fault of the analyzer itself comes back with
status "error", ``internal`` set and the exception named, and its traceback
goes to standard error (it is a bug to report).

Two engines measure a parsed file: the native path (`velmora_scan._native`,
one call per file, the default) and the reference model in Python
(`measure_functions`), which the tests hold the native path to. Both give a
*compact* result, plain tuples that cross process boundaries and go into
the cache cheaply; `expand` turns one into a `FileReport`.

Syntax trees are built only when asked for: the ``trees`` argument of the
compact functions is a list that receives the file's flat trees (see
`velmora_scan.trees`), which `expand` turns into records.
"""

from __future__ import annotations

import _ast
import gc
import sys
import time
import warnings
from typing import TYPE_CHECKING

import velmora as v

from . import native
from .model import FileReport, FunctionReport, Timings
from .settings import DEFAULT_BLOCK_SIZE
from .source import SourceError, decode, read_bytes, reason_of

if TYPE_CHECKING:
    from .trees import FlatTrees

# What the parser raises for a file it refuses: not valid Python, bytes the
# interpreter cannot decode, nesting beyond its limits.
PARSE_ERRORS = (SyntaxError, ValueError, MemoryError, RecursionError, UnicodeError, LookupError)


def parse(data: bytes | str, path: str) -> _ast.Module:
    """What ``ast.parse(data, path)`` gives, without importing ``ast``."""
    with warnings.catch_warnings():
        # Invalid escapes and the like warn at parse time; the analyzer
        # reports code, it does not lint it.
        warnings.simplefilter("ignore")
        return compile(data, path, "exec", _ast.PyCF_ONLY_AST, dont_inherit=True)


def measure_functions(
    tree: _ast.Module, text: str, path: str, module: str, *, count_bool_ops: bool = False
) -> list[FunctionReport]:
    # The reference model, imported when it is used: the native path needs
    # neither it nor the ``ast`` module.
    from . import pyflow, syntax

    lines = syntax.LineIndex(text.encode("utf-8"))
    out: list[FunctionReport] = []
    for func, qualname, owner in syntax.iter_functions(tree):
        kinds, calls, statements = syntax.function_facts(func)
        m = pyflow.measure(func, owner, calls, count_bool_ops=count_bool_ops)
        detail = v.calculate_entropy_detailed(lines.segment(func))
        out.append(FunctionReport(
            file=path,
            module=module,
            qualname=qualname,
            owner=owner,
            line=func.lineno,
            first_line=min([d.lineno for d in func.decorator_list] + [func.lineno]),
            column=func.col_offset,
            end_line=func.end_lineno or func.lineno,
            cyclomatic=m.cyclomatic,
            cognitive=m.cognitive,
            essential=m.essential,
            nesting=m.nesting,
            longest_path=m.longest_path,
            betti_1=m.betti_1,
            components=m.components,
            entropy=detail.ratio,
            entropy_label=detail.interpretation,
            blocks=m.blocks,
            edges=m.edges,
            statements=statements,
            assign_only=syntax.assign_only(func),
            kinds=kinds,
            calls=calls,
        ))
    return out


#: The per-function fields of a compact result: FunctionReport's fields
#: after ``file`` and ``module``, without the syntax tree.
FUNCTION_FIELDS = tuple(FunctionReport.__dataclass_fields__)[2:-1]
assert FUNCTION_FIELDS[-1] == "calls"

#: (status, reason, size, lines, entropy_variance, functions, imports,
#: internal): a FileReport without its path and module, each function a
#: tuple of FUNCTION_FIELDS.
Compact = tuple


def measure_tree(
    tree: _ast.Module, text: str, *, block_size: int, count_bool_ops: bool, engine: str = "native"
) -> tuple[tuple, tuple, int, float]:
    """(functions, imports, lines, entropy_variance) of a parsed file."""
    if engine == "native":
        return native.analyze(tree, text, block_size, count_bool_ops)
    functions = measure_functions(tree, text, "", "", count_bool_ops=count_bool_ops)
    compact = tuple(tuple(getattr(f, n) for n in FUNCTION_FIELDS) for f in functions)
    variance = v.calculate_entropy_variance(text, block_size) if block_size > 0 else 0.0
    from . import syntax

    return compact, syntax.imports(tree), syntax.LineIndex(text.encode("utf-8")).lines, variance


def compact_source(
    source: bytes | str,
    path: str = "<string>",
    *,
    block_size: int = DEFAULT_BLOCK_SIZE,
    count_bool_ops: bool = False,
    engine: str = "native",
    timings: Timings | None = None,
    trees: list | None = None,
) -> Compact:
    """The compact result of one source (bytes are decoded as the
    interpreter decodes a file); with ``trees`` a list, its flat syntax
    trees are appended to it when it parses. Raises only for faults of the
    analyzer."""
    t = timings if timings is not None else Timings()
    t0 = time.perf_counter()
    size = len(source) if isinstance(source, bytes) else len(source.encode("utf-8", "surrogatepass"))
    # The parser allocates one tracked object per syntax node and none of
    # them can be part of a cycle: a collection during the parse would only
    # walk them again and again. The tree dies by reference counting before
    # the collector is back.
    collecting = gc.isenabled()
    gc.disable()
    try:
        try:
            # The parser decides on the bytes: whether they decode, and how.
            tree = parse(source, path)
            text = decode(source) if isinstance(source, bytes) else source
        except PARSE_ERRORS as exc:
            t.parse += time.perf_counter() - t0
            return ("error", reason_of(exc), size, 0, 0.0, (), (), False)
        t1 = time.perf_counter()
        t.parse += t1 - t0
        functions, imports, lines, variance = measure_tree(
            tree, text, block_size=block_size, count_bool_ops=count_bool_ops, engine=engine)
        if trees is not None:
            from . import trees as uast

            trees.append(uast.flatten(tree, text))
        del tree
        t.measure += time.perf_counter() - t1
    finally:
        if collecting:
            gc.enable()
    return ("ok", "", size, lines, variance, functions, imports, False)


def expand(path: str, module: str, c: Compact, trees: FlatTrees | None = None) -> FileReport:
    """The FileReport of a compact result, its functions with their syntax
    trees when ``trees`` (the file's flat trees) is given."""
    status, reason, size, lines, variance, functions, imports, internal = c
    report = FileReport(
        path, module, status, reason, size=size, lines=lines, entropy_variance=variance,
        functions=[FunctionReport(path, module, *f) for f in functions], imports=imports, internal=internal,
    )
    if trees is not None:
        from . import trees as uast

        for f, tree in zip(report.functions, uast.build(trees, path), strict=True):
            f.tree = tree
    return report


def compact(report: FileReport) -> Compact:
    """The compact result of a FileReport: what `expand` was given."""
    return (report.status, report.reason, report.size, report.lines, report.entropy_variance,
            tuple(tuple(getattr(f, n) for n in FUNCTION_FIELDS) for f in report.functions), report.imports,
            report.internal)


def analyze_source(
    source: bytes | str,
    path: str = "<string>",
    module: str = "",
    *,
    block_size: int = DEFAULT_BLOCK_SIZE,
    count_bool_ops: bool = False,
    engine: str = "native",
    timings: Timings | None = None,
    trees: bool = False,
) -> FileReport:
    """Measures every function of one source (bytes are decoded as the
    interpreter decodes a file), with its syntax tree when ``trees``.
    Raises only for faults of the analyzer."""
    flat: list | None = [] if trees else None
    compact = compact_source(source, path, block_size=block_size, count_bool_ops=count_bool_ops, engine=engine,
                             timings=timings, trees=flat)
    return expand(path, module, compact, flat[0] if flat else None)


def compact_file(
    path: str,
    *,
    block_size: int = DEFAULT_BLOCK_SIZE,
    count_bool_ops: bool = False,
    engine: str = "native",
    cache=None,
    timings: Timings | None = None,
    trees: list | None = None,
) -> Compact:
    """The compact result of one file, from ``cache`` (a `cache.Cache`)
    when it holds one for these bytes; never raises for the file. With
    ``trees`` a list, the file's flat syntax trees are appended to it when
    it parses (they are never cached)."""
    t = timings if timings is not None else Timings()
    t0 = time.perf_counter()
    try:
        data = read_bytes(path)
    except SourceError as exc:
        return (exc.status, exc.reason, exc.size, 0, 0.0, (), (), False)
    finally:
        t.parse += time.perf_counter() - t0
    if cache is not None:
        # Trees need the parse that the measures come from; next to building
        # them, measuring again costs little.
        hit = cache.get(data) if trees is None else None
        if hit is not None:
            return hit
    try:
        result = compact_source(
            data, path, block_size=block_size, count_bool_ops=count_bool_ops, engine=engine, timings=t,
            trees=trees)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:  # noqa: BLE001 - isolate the file, report the fault
        print(f"velmora-scan: internal error while analysing {path}:", file=sys.stderr)
        import traceback

        traceback.print_exc(file=sys.stderr)
        return ("error", f"internal error: {type(exc).__name__}: {exc}", len(data), 0, 0.0, (), (), True)
    if cache is not None and result[0] == "ok":
        cache.put(data, result)
    return result


def analyze_file(
    path: str,
    module: str,
    *,
    block_size: int = DEFAULT_BLOCK_SIZE,
    count_bool_ops: bool = False,
    engine: str = "native",
    cache=None,
    timings: Timings | None = None,
    trees: bool = False,
) -> FileReport:
    """Measures every function of one file, with its syntax tree when
    ``trees``; never raises for the file."""
    flat: list | None = [] if trees else None
    compact = compact_file(path, block_size=block_size, count_bool_ops=count_bool_ops, engine=engine, cache=cache,
                           timings=timings, trees=flat)
    return expand(path, module, compact, flat[0] if flat else None)
