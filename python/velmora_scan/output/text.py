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
    if result.duplicates:
        out.append("")
        out.append("Most similar functions (edit distance of node-kind sequences)")
        rows = []
        for p in result.duplicates:
            a, b = functions[p.first], functions[p.second]
            rows.append([f"{p.similarity:.3f}", str(p.distance), a.qualname, _where(a.file, a.line),
                         b.qualname, _where(b.file, b.line)])
        out += table(["similar", "dist", "function", "where", "function", "where"], rows,
                     right={0, 1}, shrink=(2, 3, 4, 5), width=width)
    if result.choke_points:
        out.append("")
        out.append("Call-graph choke points (most negative directed Forman curvature)")
        rows = []
        for e in result.choke_points:
            a, b = functions[e.caller], functions[e.callee]
            rows.append([f"{e.curvature:.3f}", a.qualname, _where(a.file, a.line), b.qualname, _where(b.file, b.line)])
        out += table(["curvature", "caller", "where", "callee", "where"], rows,
                     right={0}, shrink=(1, 2, 3, 4), width=width)
    if result.findings:
        out.append("")
        n = len(result.findings)
        out.append(f"{n} finding{'s' if n != 1 else ''}:")
        out += [f.text() for f in result.findings]
    stream.write("\n".join(out) + "\n")
