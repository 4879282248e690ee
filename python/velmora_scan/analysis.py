"""One file in, one `FileReport` out: every failure stays with its file.

`analyze_file` never raises for anything the file does: unreadable,
special, undecodable or invalid files come back with status "error" or
"skipped" and the reason; a fault of the analyzer itself comes back with
status "error", ``internal`` set and the exception named, and its traceback
goes to standard error (it is a bug to report).
"""

from __future__ import annotations

import ast
import sys
import time
import traceback
import warnings

import velmora as v

from . import pyflow, syntax
from .model import FileReport, FunctionReport, Timings
from .settings import DEFAULT_BLOCK_SIZE
from .source import SourceError, decode, read_bytes, reason_of

# What the parser raises for a file it refuses: not valid Python, bytes the
# interpreter cannot decode, nesting beyond its limits.
PARSE_ERRORS = (SyntaxError, ValueError, MemoryError, RecursionError, UnicodeError, LookupError)


def parse(data: bytes | str, path: str) -> ast.Module:
    with warnings.catch_warnings():
        # Invalid escapes and the like warn at parse time; the analyzer
        # reports code, it does not lint it.
        warnings.simplefilter("ignore")
        return ast.parse(data, filename=path)


def measure_functions(
    tree: ast.Module, text: str, path: str, module: str, *, count_bool_ops: bool = False
) -> list[FunctionReport]:
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


def analyze_source(
    source: bytes | str,
    path: str = "<string>",
    module: str = "",
    *,
    block_size: int = DEFAULT_BLOCK_SIZE,
    count_bool_ops: bool = False,
    timings: Timings | None = None,
) -> FileReport:
    """Measures every function of one source (bytes are decoded as the
    interpreter decodes a file). Raises only for faults of the analyzer."""
    t = timings if timings is not None else Timings()
    t0 = time.perf_counter()
    size = len(source) if isinstance(source, bytes) else len(source.encode("utf-8", "surrogatepass"))
    try:
        # The parser decides on the bytes: whether they decode, and how.
        tree = parse(source, path)
        text = decode(source) if isinstance(source, bytes) else source
    except PARSE_ERRORS as exc:
        t.parse += time.perf_counter() - t0
        return FileReport(path, module, "error", reason_of(exc), size=size)
    t1 = time.perf_counter()
    t.parse += t1 - t0
    functions = measure_functions(tree, text, path, module, count_bool_ops=count_bool_ops)
    variance = v.calculate_entropy_variance(text, block_size) if block_size > 0 else 0.0
    report = FileReport(
        path, module, "ok", "", size=size,
        lines=syntax.LineIndex(text.encode("utf-8")).lines,
        entropy_variance=variance, functions=functions, imports=syntax.imports(tree),
    )
    t.measure += time.perf_counter() - t1
    return report


def analyze_file(
    path: str,
    module: str,
    *,
    block_size: int = DEFAULT_BLOCK_SIZE,
    count_bool_ops: bool = False,
    timings: Timings | None = None,
) -> FileReport:
    t = timings if timings is not None else Timings()
    t0 = time.perf_counter()
    try:
        data = read_bytes(path)
    except SourceError as exc:
        return FileReport(path, module, exc.status, exc.reason, size=exc.size)
    finally:
        t.parse += time.perf_counter() - t0
    try:
        return analyze_source(data, path, module, block_size=block_size, count_bool_ops=count_bool_ops, timings=t)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:  # noqa: BLE001 - isolate the file, report the fault
        print(f"velmora-scan: internal error while analysing {path}:", file=sys.stderr)
        traceback.print_exc(file=sys.stderr)
        return FileReport(path, module, "error", f"internal error: {type(exc).__name__}: {exc}",
                          size=len(data), internal=True)
