"""Analysis of one source file: every function's graph measured by velmora.

Results are plain dataclasses of numbers and texts, so that they cross
process boundaries (``--jobs``) by pickling and turn into JSON directly.
"""

from __future__ import annotations

import ast
import io
import time
import tokenize
import warnings
from dataclasses import dataclass, field

import velmora as v

from .cfg_builder import Call, LineIndex, build_function, forward_graph, graph_of

# Blocks of this many characters for the per-file entropy variance: about a
# screenful of code, so that a block is long enough to compress at all.
DEFAULT_BLOCK_SIZE = 512


@dataclass
class FunctionReport:
    file: str
    module: str
    qualname: str
    line: int
    column: int
    end_line: int
    cyclomatic: int
    essential: int
    components: int
    nesting: int
    longest_path: int
    betti_1: int
    entropy: float
    entropy_label: str
    blocks: int
    edges: int
    # Kept for the whole-input passes; not part of the printed report.
    kinds: list[str] = field(default_factory=list, repr=False)
    calls: list[Call] = field(default_factory=list, repr=False)
    owner: str = ""  # qualname of the enclosing class, for self.f() calls


@dataclass
class FileReport:
    path: str
    module: str
    functions: list[FunctionReport]
    entropy_variance: float
    size: int
    error: str = ""
    # Module-level import aliases: alias -> (module, name or "").
    imports: dict[str, tuple[str, str]] = field(default_factory=dict, repr=False)


@dataclass
class Timings:
    """Seconds spent reading and parsing, building records, and in velmora."""

    parse: float = 0.0
    build: float = 0.0
    velmora: float = 0.0

    def add(self, other: "Timings") -> None:
        self.parse += other.parse
        self.build += other.build
        self.velmora += other.velmora


def decode_source(data: bytes) -> str:
    """The text of a source file as the interpreter would read it.

    Undecodable bytes become U+FFFD: velmora takes only text that has a
    UTF-8 form, and a surrogate escape has none.
    """
    try:
        encoding, _ = tokenize.detect_encoding(io.BytesIO(data).readline)
    except SyntaxError:
        encoding = "utf-8"
    try:
        return data.decode(encoding, "replace")
    except LookupError:
        return data.decode("utf-8", "replace")


def iter_functions(tree: ast.Module):
    """(node, qualname, owning class qualname) for every def, outermost
    first, in source order; qualnames follow the interpreter's own."""
    work = [(tree, "", "")]
    while work:
        node, prefix, owner = work.pop()
        found = []
        for child in _child_statements(node):
            if isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef)):
                qual = prefix + child.name
                found.append((child, qual, owner))
            elif isinstance(child, ast.ClassDef):
                qual = prefix + child.name
                found.append((child, qual, qual))
            else:
                found.append((child, prefix, owner))
        for item in reversed(found):
            child, qual, own = item
            if isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef)):
                work.append((child, qual + ".<locals>.", ""))
            elif isinstance(child, ast.ClassDef):
                work.append((child, qual + ".", own))
            else:
                work.append((child, qual, own))
        # Yield after pushing, so the walk stays in source order.
        for child, qual, own in found:
            if isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef)):
                yield child, qual, own


def _child_statements(node: ast.AST):
    for name in ("body", "orelse", "finalbody", "handlers", "cases"):
        for child in getattr(node, name, ()) or ():
            if isinstance(child, (ast.stmt, ast.excepthandler, ast.match_case)):
                yield child


def _imports(tree: ast.Module, module: str, is_package: bool) -> dict[str, tuple[str, str]]:
    out: dict[str, tuple[str, str]] = {}
    package = module if is_package else module.rpartition(".")[0]
    for node in tree.body:
        if isinstance(node, ast.Import):
            for a in node.names:
                if a.asname:
                    out[a.asname] = (a.name, "")
                else:
                    top = a.name.partition(".")[0]
                    out[top] = (top, "")
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                parts = package.split(".") if package else []
                keep = len(parts) - (node.level - 1)
                if keep < 0:
                    continue
                base = ".".join(parts[:keep] + ([base] if base else []))
            for a in node.names:
                if a.name != "*":
                    out[a.asname or a.name] = (base, a.name)
    return out


def analyze_source(
    source: str,
    path: str = "<string>",
    module: str = "",
    *,
    block_size: int = DEFAULT_BLOCK_SIZE,
    with_trees: bool = True,
    is_package: bool = False,
    timings: Timings | None = None,
) -> FileReport:
    """Measures every function and method of one source text."""
    t = timings if timings is not None else Timings()
    t0 = time.perf_counter()
    try:
        with warnings.catch_warnings():
            # Invalid escapes and the like warn at parse time; the analyzer
            # reports code, it does not lint it.
            warnings.simplefilter("ignore")
            tree = ast.parse(source, filename=path)
    except (SyntaxError, ValueError, MemoryError, RecursionError) as exc:
        t.parse += time.perf_counter() - t0
        return FileReport(path, module, [], 0.0, len(source), error=f"{type(exc).__name__}: {exc}")
    lines = LineIndex(source.encode("utf-8"))
    t1 = time.perf_counter()
    t.parse += t1 - t0

    functions: list[FunctionReport] = []
    build = velmora_time = 0.0
    for func, qualname, owner in iter_functions(tree):
        b0 = time.perf_counter()
        fg = build_function(func, lines, path, with_trees)
        text = lines.segment(func)
        b1 = time.perf_counter()
        graph = graph_of(fg)
        detail = v.calculate_entropy_detailed(text)
        report = FunctionReport(
            file=path,
            module=module,
            qualname=qualname,
            line=func.lineno,
            column=func.col_offset,
            end_line=func.end_lineno or func.lineno,
            cyclomatic=graph.cyclomatic_complexity(),
            essential=graph.essential_complexity(),
            components=graph.connected_components(),
            nesting=0,
            longest_path=graph.longest_acyclic_path(),
            betti_1=graph.cycle_basis().betti_1,
            entropy=detail.ratio,
            entropy_label=detail.interpretation,
            blocks=len(fg.blocks),
            edges=len(fg.edges),
            kinds=fg.kinds,
            calls=fg.calls,
            owner=owner,
        )
        b2 = time.perf_counter()
        forward = forward_graph(fg)
        b3 = time.perf_counter()
        report.nesting = forward.max_nesting_depth()
        b4 = time.perf_counter()
        build += (b1 - b0) + (b3 - b2)
        velmora_time += (b2 - b1) + (b4 - b3)
        functions.append(report)

    v0 = time.perf_counter()
    variance = v.calculate_entropy_variance(source, block_size)
    velmora_time += time.perf_counter() - v0
    t.build += build
    t.velmora += velmora_time
    imports = _imports(tree, module, is_package)
    return FileReport(path, module, functions, variance, len(source), imports=imports)


def analyze_file(
    path: str,
    module: str,
    *,
    block_size: int = DEFAULT_BLOCK_SIZE,
    with_trees: bool = True,
    timings: Timings | None = None,
) -> FileReport:
    t = timings if timings is not None else Timings()
    t0 = time.perf_counter()
    try:
        with open(path, "rb") as fh:
            data = fh.read()
    except OSError as exc:
        return FileReport(path, module, [], 0.0, 0, error=f"{type(exc).__name__}: {exc}")
    source = decode_source(data)
    t.parse += time.perf_counter() - t0
    is_package = path.endswith("__init__.py")
    return analyze_source(
        source, path, module, block_size=block_size, with_trees=with_trees,
        is_package=is_package, timings=t,
    )
