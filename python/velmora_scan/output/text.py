"""The terminal report: summary, tables, and one line per finding.

Tables are fitted to the width of the terminal (or ``COLUMNS``): the
function and location columns give way first, shortened from the left with
"…" so that the method name and the line number stay visible. Finding lines
are never shortened, since scripts and editors read them.
"""

from __future__ import annotations

import os
from typing import TextIO

from ..model import ScanResult
from ..structure import NARROW
from ..settings import Settings
from . import RANKS, rank, select

ELLIPSIS = "…"
# Shrinkable columns keep at least this many characters.
MIN_SHRUNK = 10


def terminal_width(stream: TextIO) -> int | None:
    """Columns to fit tables into: ``COLUMNS`` if set, else the terminal's,
    else None (no limit) when the output is not a terminal."""
    env = os.environ.get("COLUMNS", "")
    if env.isdigit() and int(env) > 0:
        return int(env)
    try:
        if stream.isatty():
            return os.get_terminal_size(stream.fileno()).columns
    except (AttributeError, OSError, ValueError):
        pass
    return None


def shorten(text: str, width: int) -> str:
    """``text`` in at most ``width`` characters, cut on the left."""
    if len(text) <= width:
        return text
    if width <= 1:
        return ELLIPSIS[:width]
    return ELLIPSIS + text[len(text) - width + 1 :]


def table(
    headers: list[str], rows: list[list[str]], right: set[int], shrink: tuple[int, ...] = (), width: int | None = None
) -> list[str]:
    widths = [len(h) for h in headers]
    for row in rows:
        for i, cell in enumerate(row):
            widths[i] = max(widths[i], len(cell))
    if width is not None and shrink:
        excess = sum(widths) + 2 * (len(widths) - 1) - width
        floors = {k: max(MIN_SHRUNK, len(headers[k])) for k in shrink}
        # One character at a time from the widest shrinkable column, so that
        # they end up about even, none below its floor.
        while excess > 0:
            open_ = [k for k in shrink if widths[k] > floors[k]]
            if not open_:
                break
            widths[max(open_, key=lambda k: (widths[k], -k))] -= 1
            excess -= 1

    def line(cells: list[str]) -> str:
        out = []
        for i, cell in enumerate(cells):
            cell = shorten(cell, widths[i])
            out.append(cell.rjust(widths[i]) if i in right else cell.ljust(widths[i]))
        return "  ".join(out).rstrip()

    return [line(headers), line(["-" * w for w in widths])] + [line(r) for r in rows]


def _where(path: str, line: int) -> str:
    return f"{path}:{line}"


def render(result: ScanResult, settings: Settings, stream: TextIO) -> None:
    width = terminal_width(stream)
    top = settings.top if settings.top is not None else 25
    functions = result.functions
    funcs = select(functions, settings.min_complexity, top)
    failed = sum(1 for r in result.files if r.status != "ok")
    out: list[str] = []
    out.append(
        f"velmora-scan: {len(result.files)} files, {len(functions)} functions"
        + (f", {failed} files not analysed" if failed else "")
    )
    if functions:
        mean = sum(f.cyclomatic for f in functions) / len(functions)
        counts = {letter: 0 for _, letter in RANKS}
        counts["F"] = 0
        for f in functions:
            counts[rank(f.cyclomatic)] += 1
        spread = "  ".join(f"{k}:{n}" for k, n in counts.items())
        out.append(f"mean cyclomatic complexity {mean:.2f}   ranks {spread}")
    out.append("")
    shown = "all" if top <= 0 or len(funcs) < top else f"top {len(funcs)}"
    out.append(f"Functions by cyclomatic complexity ({shown}, complexity >= {settings.min_complexity})")
    rows = [
        [
            rank(f.cyclomatic), str(f.cyclomatic), str(f.cognitive), str(f.essential), str(f.nesting),
            str(f.longest_path), f"{f.entropy:.3f}", f.entropy_label.split(" (")[0].removesuffix(" entropy"),
            f.qualname, _where(f.file, f.line),
        ]
        for f in funcs
    ]
    headers = ["rank", "cc", "cog", "ess", "nest", "path", "entropy", "reading", "function", "where"]
    out += table(headers, rows, right={1, 2, 3, 4, 5, 6}, shrink=(8, 9), width=width)

    files = sorted((r for r in result.files if r.status == "ok"), key=lambda r: (-r.entropy_variance, r.path))[:10]
    if files:
        out.append("")
        out.append("Files by block entropy variance (uneven files mix dense and repetitive parts)")
        out += table(
            ["variance", "bytes", "file"],
            [[f"{r.entropy_variance:.5f}", str(r.size), r.path] for r in files],
            right={0, 1}, shrink=(2,), width=width,
        )
    if result.clusters is not None:
        out += _clusters(result, settings, width)
    if result.structure is not None:
        out += _structure(result, settings, width)
    if result.findings:
        out.append("")
        n = len(result.findings)
        out.append(f"{n} finding{'s' if n != 1 else ''}:")
        out += [f.text() for f in result.findings]
    stream.write("\n".join(out) + "\n")


def _others(functions, members) -> str:
    shown = [_where(functions[m.function].file, functions[m.function].line) for m in members[1:3]]
    more = len(members) - 3
    return ", ".join(shown) + (f" +{more}" if more > 0 else "")


def _clusters(result: ScanResult, settings: Settings, width: int | None) -> list[str]:
    found = result.clusters
    functions = result.functions
    head = (f"Near-duplicate clusters: {len(found.clusters)} among {found.considered} functions of "
            f"{settings.min_statements}+ statements, similarity >= {settings.min_similarity:g}")
    if not found.clusters:
        return ["", head]
    chosen = found.clusters[: settings.duplicates]
    out = ["", head + f"; the {len(chosen)} with the most duplicated lines (lines x (members - 1))"]
    rows = []
    for c in chosen:
        rep = functions[c.representative]
        rows.append([str(c.weight), str(len(c.members)), f"{min(m.similarity for m in c.members):.2f}",
                     rep.qualname, _where(rep.file, rep.line), _others(functions, c.members)])
    return out + table(["dup", "n", "sim", "representative", "where", "others"], rows,
                       right={0, 1, 2}, shrink=(3, 4, 5), width=width)


def _structure(result: ScanResult, settings: Settings, width: int | None) -> list[str]:
    s = result.structure
    functions = result.functions
    c = s.call_counts
    tests = f" (test code left out: {s.tests_left_out} files)" if s.tests_left_out else ""
    out = ["", f"Structure: {len(s.modules)} modules{tests}, {len(s.imports)} imports between them; "
               f"{c.sites} call sites: {c.resolved} resolved to functions of the input, {c.builtin} builtins, "
               f"{c.external} into modules outside it, {c.unresolved} unresolved"]
    top = settings.choke_points
    if s.cycles and top:
        out.append(f"Import cycles at import time: {len(s.cycles)} (module-level imports; "
                   f"{len(s.deferred_cycles)} counting imports inside functions)")
        rows = [[str(len(cyc.members)), " -> ".join(s.modules[i] for i in cyc.cycle)] for cyc in s.cycles[:top]]
        out += table(["modules", "one cycle"], rows, right={0}, shrink=(1,), width=width)
    if s.module_bottlenecks:
        shared = f"; {len(s.shared_packages)} packages that everything uses left out" if s.shared_packages else ""
        out.append(f"Bottleneck imports: packages joined by at most {NARROW} imports ({s.module_links} pairs{shared}), "
                   "by the balanced Forman curvature of the link in the two packages' import graph")
        rows = [[f"{b.curvature:.3f}", str(len(b.links)), f"{b.source_size}/{b.target_size}", s.modules[b.source],
                 s.modules[b.target]] for b in s.module_bottlenecks]
        out += table(["curvature", "links", "sizes", "importer", "imported"], rows, right={0, 1, 2}, shrink=(3, 4),
                     width=width)
    if s.call_bottlenecks:
        directed = {(e.caller, e.callee): e for e in s.calls}
        out.append(f"Bottleneck calls: groups of functions of two modules joined by at most {NARROW} calls "
                   f"({s.call_links} pairs), by the same curvature; directed: in the whole call graph, by call sites")
        rows = []
        for b in s.call_bottlenecks:
            e = directed.get((b.source, b.target))
            fa, fz = functions[b.source], functions[b.target]
            rows.append([f"{b.curvature:.3f}", f"{e.directed:.1f}" if e else "", str(len(b.links)),
                         f"{b.source_size}/{b.target_size}", fa.qualname, _where(fa.file, fa.line), fz.qualname,
                         _where(fz.file, fz.line)])
        out += table(["curvature", "directed", "links", "sizes", "caller", "where", "callee", "where"], rows,
                     right={0, 1, 2, 3}, shrink=(4, 5, 6, 7), width=width)
    return out
