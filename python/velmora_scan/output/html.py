"""The HTML report: one self-contained file to look at in a browser.

Everything it needs is inside the file: the style sheet and the script
(``assets/``) are inlined, the charts are SVG drawn by that script from a
JSON block, and a Content-Security-Policy forbids every request, so that
opening the report never touches the network.

Python writes the tables and the source excerpts (escaped here, once); the
script draws the charts (the distribution of each metric, the module
treemap, the module graph with its bottleneck edges, the entropy profile of
the most uneven files) and makes every table sortable.
"""

from __future__ import annotations

import html
import json
import os
from collections import Counter
from typing import Iterable

import velmora as v

from ..model import METRICS, FileReport, FunctionReport, ScanResult
from ..settings import Settings, version
from ..source import decode, read_bytes
from . import rank, select

ASSETS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "assets")
CSP = "default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; img-src data:"

WORST = 30  # functions with source excerpts
EXCERPT_LINES = 40
CLUSTERS = 10
GRAPH_NODES = 120  # modules drawn in the graph
PROFILES = 12  # files with an entropy profile
LABELS = {"cyclomatic": "cyclomatic", "cognitive": "cognitive", "essential": "essential",
          "nesting": "nesting", "longest_path": "longest path"}


def _e(text) -> str:
    return html.escape(str(text), quote=True)


def _asset(name: str) -> str:
    with open(os.path.join(ASSETS, name), encoding="utf-8") as fh:
        return fh.read()


class _Sources:
    """Lines of the analysed files, read once each; None when unreadable."""

    def __init__(self, source_of=lambda path: path):
        self.cache: dict[str, list[str] | None] = {}
        self.source_of = source_of   # the path to read for a path shown

    def text(self, path: str) -> str | None:
        try:
            return decode(read_bytes(self.source_of(path)))
        except (OSError, SyntaxError, UnicodeError, ValueError):
            return None

    def lines(self, path: str) -> list[str] | None:
        if path not in self.cache:
            text = self.text(path)
            self.cache[path] = None if text is None else text.splitlines()
        return self.cache[path]

    def excerpt(self, f: FunctionReport, limit: int = EXCERPT_LINES) -> str:
        lines = self.lines(f.file)
        if lines is None:
            return "(source not readable)"
        first = max(1, f.first_line or f.line)
        chosen = lines[first - 1 : min(f.end_line, first - 1 + limit)]
        rest = f.end_line - first + 1 - len(chosen)
        width = len(str(first + len(chosen)))
        body = "\n".join(f"{n:>{width}}  {text}" for n, text in enumerate(chosen, first))
        return body + (f"\n… {rest} more lines" if rest > 0 else "")


def _table(cls: str, headers: list[str], rows: Iterable[list], numeric: set[int]) -> str:
    head = "".join(f'<th class="num">{_e(h)}</th>' if i in numeric else f"<th>{_e(h)}</th>"
                   for i, h in enumerate(headers))
    body = []
    for row in rows:
        cells = []
        for i, cell in enumerate(row):
            if isinstance(cell, tuple):  # (shown html, sort key)
                cells.append(f'<td data-v="{_e(cell[1])}">{cell[0]}</td>')
            elif i in numeric:
                cells.append(f'<td class="num">{_e(cell)}</td>')
            else:
                cells.append(f"<td>{_e(cell)}</td>")
        body.append("<tr>" + "".join(cells) + "</tr>")
    return (f'<table class="sortable {cls}"><thead><tr>{head}</tr></thead>'
            f'<tbody>{"".join(body)}</tbody></table>')


def _where(f: FunctionReport) -> str:
    return f"{f.file}:{f.line}"


def _histograms(functions: list[FunctionReport]) -> dict:
    return {m: sorted(Counter(f.metric(m) for f in functions).items()) for m in METRICS}


def _modules(files: list[FileReport]) -> list[dict]:
    out = []
    for r in files:
        if r.status != "ok":
            continue
        worst = {m: max((f.metric(m) for f in r.functions), default=0) for m in METRICS}
        out.append({"name": r.module or r.path, "file": r.path, "lines": max(1, r.lines),
                    "functions": len(r.functions), "max": worst})
    return out


def _graph(result: ScanResult) -> dict:
    s = result.structure
    if s is None or not s.modules:
        return {"nodes": [], "edges": [], "bottlenecks": []}
    degree = Counter()
    for e in s.imports:
        degree[e.source] += 1
        degree[e.target] += 1
    keep = {i for b in s.module_bottlenecks for i in (b.source, b.target)}
    for i, _ in sorted(degree.items(), key=lambda kv: (-kv[1], s.modules[kv[0]])):
        if len(keep) >= GRAPH_NODES:
            break
        keep.add(i)
    order = sorted(keep, key=lambda i: s.modules[i])
    index = {m: k for k, m in enumerate(order)}
    labelled = set(sorted(order, key=lambda i: -degree[i])[:20]) | {i for b in s.module_bottlenecks[:10]
                                                                    for i in (b.source, b.target)}
    return {
        "nodes": [{"name": s.modules[i], "degree": degree[i], "label": i in labelled} for i in order],
        "edges": [[index[e.source], index[e.target]] for e in s.imports if e.source in index and e.target in index],
        "bottlenecks": [[index[b.source], index[b.target], round(b.curvature, 4)] for b in s.module_bottlenecks],
        "shown": len(order),
        "total": len(s.modules),
    }


def _profiles(files: list[FileReport], sources: _Sources, block_size: int) -> list[dict]:
    uneven = sorted((r for r in files if r.status == "ok" and r.size), key=lambda r: (-r.entropy_variance, r.path))
    out = []
    for r in uneven[:PROFILES]:
        text = sources.text(r.path)
        if not text or block_size <= 0:
            continue
        blocks = v.calculate_block_entropy(text, block_size)
        out.append({"file": r.path, "variance": r.entropy_variance, "blocks": [round(x, 4) for x in blocks]})
    return out


def _worst_section(functions: list[FunctionReport], sources: _Sources, settings: Settings) -> str:
    chosen = select(functions, settings.min_complexity, WORST)
    rows = []
    for f in chosen:
        rows.append([rank(f.cyclomatic), *(f.metric(m) for m in METRICS), f.statements, f.qualname, _where(f)])
    table = _table("functions", ["rank", *[LABELS[m] for m in METRICS], "statements", "function", "where"],
                   rows, numeric=set(range(1, len(METRICS) + 2)))
    excerpts = "".join(
        f'<details class="excerpt"{" open" if n == 0 else ""}><summary><b>{_e(f.qualname)}</b> <span class="where">{_e(_where(f))}</span> '
        f'<span class="pill">cc {f.cyclomatic}</span><span class="pill">cog {f.cognitive}</span></summary>'
        f"<pre><code>{_e(sources.excerpt(f))}</code></pre></details>"
        for n, f in enumerate(chosen[:10])
    )
    return table + '<h3>Source of the ten worst</h3><div class="excerpts">' + excerpts + "</div>"


def _clusters_section(result: ScanResult, sources: _Sources) -> str:
    found = result.clusters
    if found is None:
        return "<p>The duplicate search was switched off (--duplicates 0).</p>"
    if not found.clusters:
        return f"<p>No near-duplicate functions among {found.considered} candidates.</p>"
    functions = result.functions
    parts = []
    for n, c in enumerate(found.clusters[:CLUSTERS], 1):
        rep = functions[c.representative]
        other = c.members[1]
        peer = functions[other.function]
        members = "".join(
            f"<li><span class=\"where\">{_e(_where(functions[m.function]))}</span> {_e(functions[m.function].qualname)}"
            + ("" if m.function == c.representative else
               f" — distance {m.distance} (similarity {m.similarity:.2f}: {m.insertions} inserted, "
               f"{m.deletions} deleted, {m.substitutions} substituted)")
            + "</li>"
            for m in c.members[:12]
        )
        if len(c.members) > 12:
            members += f"<li>… {len(c.members) - 12} more</li>"
        parts.append(
            f'<div class="cluster"><h3>#{n}: {len(c.members)} functions, {c.lines} lines each, '
            f"{c.weight} duplicated lines</h3><ul>{members}</ul>"
            f'<div class="side"><div><div class="cap">representative: {_e(rep.qualname)}</div>'
            f"<pre><code>{_e(sources.excerpt(rep))}</code></pre></div>"
            f'<div><div class="cap">{_e(peer.qualname)} (distance {other.distance})</div>'
            f"<pre><code>{_e(sources.excerpt(peer))}</code></pre></div></div></div>"
        )
    return (f"<p>{len(found.clusters)} clusters among {found.considered} functions; "
            f"the {min(CLUSTERS, len(found.clusters))} with the most duplicated lines.</p>" + "".join(parts))


def _structure_section(result: ScanResult) -> str:
    s = result.structure
    if s is None:
        return ""
    functions = result.functions
    c = s.call_counts
    out = [f"<p>{len(s.modules)} modules, {len(s.imports)} imports between them. {c.sites} call sites: "
           f"{c.resolved} resolved to functions of the input, {c.builtin} builtins, {c.external} into modules "
           f"outside the input, {c.unresolved} unresolved (calls on objects, inherited methods, super()).</p>"]
    if s.module_bottlenecks:
        out.append("<h3>Bottleneck imports</h3><p>Packages joined by at most two imports, by the balanced Forman "
                   "curvature of the link in the two packages' import graph (test code and packages that "
                   "everything uses left out).</p>")
        out.append(_table("bottlenecks", ["curvature", "links", "importer", "package", "imported", "package"], (
            [f"{b.curvature:.3f}", len(b.links), s.modules[b.source], f"{b.source_part} ({b.source_size})",
             s.modules[b.target], f"{b.target_part} ({b.target_size})"]
            for b in s.module_bottlenecks), numeric={0, 1}))
    if s.call_bottlenecks:
        directed = {(e.caller, e.callee): e for e in s.calls}
        rows = []
        for b in s.call_bottlenecks:
            e = directed.get((b.source, b.target))
            a, z = functions[b.source], functions[b.target]
            rows.append([f"{b.curvature:.3f}", f"{e.directed:.2f}" if e else "", len(b.links), a.qualname, _where(a),
                         z.qualname, _where(z)])
        out.append("<h3>Bottleneck calls</h3><p>Groups of functions of two modules joined by at most two calls, by "
                   "the same curvature; directed: in the whole call graph, weighted by call sites.</p>")
        out.append(_table("bottlenecks", ["curvature", "directed", "links", "caller", "where", "callee", "where"],
                          rows, numeric={0, 1, 2}))
    out.append(f"<h3>Import cycles at import time ({len(s.cycles)})</h3>")
    if s.cycles:
        out.append("<ul class=\"cycles\">" + "".join(
            f"<li>{len(cyc.members)} modules: {_e(' → '.join(s.modules[i] for i in cyc.cycle))}</li>"
            for cyc in s.cycles[:20]) + "</ul>")
    out.append("<h3>Modules</h3>")
    out.append(_table("modules", ["module", "imported by", "imports"], (
        [m, i, o] for m, i, o in zip(s.modules, s.module_fan_in, s.module_fan_out)), numeric={1, 2}))
    return "".join(out)


def _files_section(files: list[FileReport]) -> str:
    return _table("files", ["file", "lines", "functions", "entropy variance", "status"], (
        [r.path, r.lines, len(r.functions), f"{r.entropy_variance:.5f}", r.status if r.status == "ok" else r.reason]
        for r in files), numeric={1, 2, 3})


def document(result: ScanResult, settings: Settings) -> str:
    functions = result.functions
    sources = _Sources(result.source_of)
    data = {
        "metrics": list(METRICS),
        "labels": LABELS,
        "histograms": _histograms(functions),
        "modules": _modules(result.files),
        "graph": _graph(result),
        "profiles": _profiles(result.files, sources, settings.block_size),
        "blockSize": settings.block_size,
    }
    # "</script>" inside the data must not end the element.
    blob = json.dumps(data, ensure_ascii=True, allow_nan=False, separators=(",", ":")).replace("<", "\\u003c")
    failed = sum(1 for r in result.files if r.status != "ok")
    summary = (f"{len(result.files)} files, {len(functions)} functions"
               + (f", {failed} files not analysed" if failed else "")
               + f", {len(result.findings)} findings")
    sections = [
        ("distribution", "Complexity distribution",
         "<p>Functions per value of each metric (the bar heights are on a square-root scale so that the tail shows).</p>"
         '<div id="histograms" class="grid"></div>'),
        ("treemap", "Modules by size and complexity",
         '<p>Each rectangle is a module, its area the module\'s lines, its colour the highest value of '
         '<select id="treemap-metric"></select> among its functions. Modules are grouped by package.</p>'
         '<div id="treemap-chart"></div><div class="legend" id="treemap-legend"></div>'),
        ("worst", "Most complex functions", _worst_section(functions, sources, settings)),
        ("clusters", "Near-duplicate clusters", _clusters_section(result, sources)),
        ("graph", "Module graph and its bottlenecks",
         '<p>Imports between modules of the input; red edges are the most negatively curved (balanced Forman '
         'curvature): each joins two well-connected parts through one narrow link.</p><div id="graph-chart"></div>'
         + _structure_section(result)),
        ("entropy", "Entropy profile per file",
         f"<p>Compression entropy of consecutive {settings.block_size}-character blocks of the most uneven files "
         "(low: repetitive, high: dense).</p><div id=\"profiles\"></div>" + _files_section(result.files)),
    ]
    nav = "".join(f'<a href="#{sid}">{_e(title)}</a>' for sid, title, _ in sections)
    body = "".join(f'<section id="{sid}"><h2>{_e(title)}</h2>{content}</section>' for sid, title, content in sections)
    return (
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        f'<meta http-equiv="Content-Security-Policy" content="{CSP}">'
        '<meta name="viewport" content="width=device-width, initial-scale=1">'
        f"<title>velmora-scan report</title><style>{_asset('report.css')}</style></head><body>"
        f'<header><h1>velmora-scan report</h1><p class="summary">{_e(summary)} · velmora-scan {_e(version())}</p>'
        f"<nav>{nav}</nav></header><main>{body}</main>"
        f'<script id="report-data" type="application/json">{blob}</script>'
        f"<script>{_asset('report.js')}</script></body></html>\n"
    )


def write(result: ScanResult, settings: Settings, path: str) -> None:
    """Writes the report to ``path``; OSError when that cannot be done."""
    text = document(result, settings)
    with open(path, "w", encoding="utf-8", errors="backslashreplace", newline="\n") as fh:
        fh.write(text)
