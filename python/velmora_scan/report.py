"""Terminal table and JSON document of a scan."""

from __future__ import annotations

import json
import os

from .analysis import FunctionReport
from .scan import ScanResult

# Upper bounds of the ranks, as the usual complexity tools grade them.
RANKS = ((5, "A"), (10, "B"), (20, "C"), (30, "D"), (40, "E"))


def rank(complexity: int) -> str:
    for bound, letter in RANKS:
        if complexity <= bound:
            return letter
    return "F"


def order(functions: list[FunctionReport]) -> list[FunctionReport]:
    """Most complex first; ties by essential complexity, then by place."""
    return sorted(
        functions,
        key=lambda f: (-f.cyclomatic, -f.essential, f.file, f.line, f.qualname),
    )


def select(functions: list[FunctionReport], min_complexity: int, top: int) -> list[FunctionReport]:
    chosen = [f for f in order(functions) if f.cyclomatic >= min_complexity]
    return chosen[:top] if top > 0 else chosen


def _where(f: FunctionReport, base: str) -> str:
    path = f.file
    if base:
        try:
            rel = os.path.relpath(path, base)
            if not rel.startswith(".."):
                path = rel
        except ValueError:
            pass
    return f"{path}:{f.line}"


def _common_base(result: ScanResult) -> str:
    paths = [os.path.abspath(r.path) for r in result.files]
    if not paths:
        return ""
    base = os.path.commonpath(paths)
    return base if os.path.isdir(base) else os.path.dirname(base)


def _table(headers: list[str], rows: list[list[str]], right: set[int]) -> list[str]:
    widths = [len(h) for h in headers]
    for row in rows:
        for i, cell in enumerate(row):
            widths[i] = max(widths[i], len(cell))

    def line(cells: list[str]) -> str:
        out = []
        for i, cell in enumerate(cells):
            out.append(cell.rjust(widths[i]) if i in right else cell.ljust(widths[i]))
        return "  ".join(out).rstrip()

    return [line(headers), line(["-" * w for w in widths])] + [line(r) for r in rows]


def render_text(result: ScanResult, min_complexity: int = 1, top: int = 25) -> str:
    base = _common_base(result)
    funcs = select(result.functions, min_complexity, top)
    out: list[str] = []
    total = len(result.functions)
    out.append(
        f"velmora-scan: {len(result.files)} files, {total} functions"
        + (f", {len(result.errors)} files not parsed" if result.errors else "")
    )
    if total:
        mean = sum(f.cyclomatic for f in result.functions) / total
        counts = {letter: 0 for _, letter in RANKS}
        counts["F"] = 0
        for f in result.functions:
            counts[rank(f.cyclomatic)] += 1
        spread = "  ".join(f"{k}:{n}" for k, n in counts.items())
        out.append(f"mean cyclomatic complexity {mean:.2f}   ranks {spread}")
    out.append("")
    shown = "all" if top <= 0 or len(funcs) < top else f"top {len(funcs)}"
    out.append(f"Functions by cyclomatic complexity ({shown}, complexity >= {min_complexity})")
    rows = [
        [
            rank(f.cyclomatic), str(f.cyclomatic), str(f.essential), str(f.nesting),
            str(f.longest_path), str(f.betti_1), str(f.components), f"{f.entropy:.3f}",
            f.entropy_label.split(" (")[0], f.qualname, _where(f, base),
        ]
        for f in funcs
    ]
    headers = ["rank", "cc", "ess", "nest", "path", "b1", "comp", "entropy", "reading", "function", "where"]
    out += _table(headers, rows, right={1, 2, 3, 4, 5, 6, 7})

    files = sorted(result.files, key=lambda r: (-r.entropy_variance, r.path))
    files = [r for r in files if not r.error][:10]
    if files:
        out.append("")
        out.append("Files by block entropy variance (uneven files mix dense and repetitive parts)")
        out += _table(
            ["variance", "bytes", "file"],
            [[f"{r.entropy_variance:.5f}", str(r.size), _rel(r.path, base)] for r in files],
            right={0, 1},
        )
    if result.duplicates:
        out.append("")
        out.append("Most similar functions (edit distance of node-kind sequences)")
        rows = []
        for p in result.duplicates:
            a, b = result.functions[p.first], result.functions[p.second]
            rows.append([
                f"{p.similarity:.3f}", str(p.distance),
                f"{a.qualname} ({_where(a, base)})", f"{b.qualname} ({_where(b, base)})",
            ])
        out += _table(["similar", "dist", "function", "function"], rows, right={0, 1})
    if result.choke_points:
        out.append("")
        out.append("Call-graph choke points (most negative directed Forman curvature)")
        rows = []
        for e in result.choke_points:
            a, b = result.functions[e.caller], result.functions[e.callee]
            rows.append([f"{e.curvature:.3f}", f"{a.qualname} ({_where(a, base)})", f"{b.qualname} ({_where(b, base)})"])
        out += _table(["curvature", "caller", "callee"], rows, right={0})
    if result.errors:
        out.append("")
        out.append("Not parsed:")
        out += [f"  {_rel(path, base)}: {err}" for path, err in result.errors[:20]]
        if len(result.errors) > 20:
            out.append(f"  ... and {len(result.errors) - 20} more")
    return "\n".join(out) + "\n"


def _rel(path: str, base: str) -> str:
    if base:
        rel = os.path.relpath(path, base)
        if not rel.startswith(".."):
            return rel
    return path


def _function_json(f: FunctionReport) -> dict:
    return {
        "file": f.file,
        "module": f.module,
        "function": f.qualname,
        "line": f.line,
        "column": f.column,
        "end_line": f.end_line,
        "rank": rank(f.cyclomatic),
        "cyclomatic_complexity": f.cyclomatic,
        "essential_complexity": f.essential,
        "connected_components": f.components,
        "max_nesting_depth": f.nesting,
        "longest_acyclic_path": f.longest_path,
        "betti_1": f.betti_1,
        "entropy": f.entropy,
        "entropy_interpretation": f.entropy_label,
        "blocks": f.blocks,
        "edges": f.edges,
    }


def to_json(result: ScanResult, min_complexity: int = 1, top: int = 0) -> dict:
    funcs = select(result.functions, min_complexity, top)

    def ref(i: int) -> dict:
        f = result.functions[i]
        return {"file": f.file, "function": f.qualname, "line": f.line}

    return {
        "files": [
            {"path": r.path, "module": r.module, "bytes": r.size,
             "functions": len(r.functions), "block_entropy_variance": r.entropy_variance,
             **({"error": r.error} if r.error else {})}
            for r in result.files
        ],
        "functions": [_function_json(f) for f in funcs],
        "duplicates": [
            {"first": ref(p.first), "second": ref(p.second), "distance": p.distance,
             "similarity": p.similarity, "insertions": p.insertions,
             "deletions": p.deletions, "substitutions": p.substitutions}
            for p in result.duplicates
        ],
        "choke_points": [
            {"caller": ref(e.caller), "callee": ref(e.callee), "curvature": e.curvature}
            for e in result.choke_points
        ],
        "summary": {
            "files": len(result.files),
            "functions": len(result.functions),
            "not_parsed": len(result.errors),
            "max_cyclomatic_complexity": max((f.cyclomatic for f in result.functions), default=0),
        },
        "timings": {
            "parse_seconds": result.timings.parse,
            "build_seconds": result.timings.build,
            "velmora_seconds": result.timings.velmora,
            "whole_input_seconds": result.global_passes,
            "wall_seconds": result.wall,
        },
    }


def render_json(result: ScanResult, min_complexity: int = 1, top: int = 0) -> str:
    # Non-finite floats are not JSON; none is expected, but fail loudly
    # rather than emit a document other tools refuse.
    return json.dumps(to_json(result, min_complexity, top), indent=2, allow_nan=False) + "\n"
