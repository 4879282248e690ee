"""The JSON document of a scan, written as it goes.

The document is the same bytes for the same input whatever the number of
worker processes and however often it runs: no timings, no absolute times,
lists in input order (functions in the order of the report), keys in a
fixed order. Functions are written one at a time, so that the writer adds
little to the memory the run already holds.

Schema 1::

    {"tool": "velmora-scan", "version": ..., "schema_version": 1,
     "settings": {...}, "summary": {...},
     "files": [...], "functions": [...], "findings": [...],
     "duplicate_search": {...}, "clusters": [...],
     "structure": {...}, "calls": [...]}

Functions are referred to elsewhere as ``{"file", "qualname", "line"}``;
modules by name. With ``--trees`` each function also has its syntax tree,
``"tree"``, as nested objects (see `velmora_scan.trees.write_json`).
"""

from __future__ import annotations

import dataclasses
import json
from typing import Iterable, TextIO

from ..model import METRICS, FileReport, Finding, FunctionReport, ScanResult
from ..settings import Settings, version
from ..trees import write_json as write_tree
from . import rank, select

TOOL = "velmora-scan"
SCHEMA_VERSION = 1

# ASCII-only: file names that are not valid UTF-8 reach us as lone
# surrogates, which only an escape can carry.
_encode = json.JSONEncoder(ensure_ascii=True, allow_nan=False, separators=(", ", ": ")).encode


def function_json(f: FunctionReport) -> dict:
    return {
        "file": f.file, "module": f.module, "qualname": f.qualname, "owner": f.owner,
        "line": f.line, "first_line": f.first_line, "column": f.column, "end_line": f.end_line,
        "rank": rank(f.cyclomatic),
        **{m: f.metric(m) for m in METRICS},
        "betti_1": f.betti_1, "components": f.components,
        "entropy": f.entropy, "entropy_label": f.entropy_label,
        "blocks": f.blocks, "edges": f.edges, "statements": f.statements, "assign_only": f.assign_only,
    }


def file_json(r: FileReport) -> dict:
    return {
        "path": r.path, "module": r.module, "status": r.status, "reason": r.reason,
        "bytes": r.size, "lines": r.lines, "functions": len(r.functions),
        "block_entropy_variance": r.entropy_variance,
    }


def finding_json(f: Finding) -> dict:
    return {
        "kind": f.kind, "path": f.path, "line": f.line, "qualname": f.qualname,
        "metric": f.metric, "value": f.value, "limit": f.limit, "reason": f.reason,
    }


def _list(stream: TextIO, key: str, items: Iterable, last: bool = False, write=None) -> None:
    stream.write(f'  "{key}": [')
    first = True
    for item in items:
        stream.write("\n    " if first else ",\n    ")
        if write is None:
            stream.write(_encode(item))
        else:
            write(item)
        first = False
    stream.write("]" if first else "\n  ]")
    stream.write("\n" if last else ",\n")


def render(result: ScanResult, settings: Settings, stream: TextIO) -> None:
    functions = result.functions
    chosen = select(functions, settings.min_complexity, settings.top or 0)

    def ref(i: int) -> dict:
        f = functions[i]
        return {"file": f.file, "qualname": f.qualname, "line": f.line}

    head = {
        "tool": TOOL,
        "version": version(),
        "schema_version": SCHEMA_VERSION,
        "settings": {
            "count_bool_ops": settings.count_bool_ops,
            "block_size": settings.block_size,
            "min_complexity": settings.min_complexity,
            "top": settings.top or 0,
            "thresholds": {m: settings.threshold(m) for m in METRICS},
        },
        "summary": {
            "files": len(result.files),
            "files_not_analysed": sum(1 for r in result.files if r.status != "ok"),
            "functions": len(functions),
            "functions_listed": len(chosen),
            "findings": len(result.findings),
            **{f"max_{m}": max((f.metric(m) for f in functions), default=0) for m in METRICS},
        },
    }
    stream.write("{\n")
    for key, value in head.items():
        stream.write(f"  {_encode(key)}: {_encode(value)},\n")
    _list(stream, "files", map(file_json, result.files))
    fan = _fan(result, functions)
    _list(stream, "functions", chosen, write=lambda f: _function(stream, {**function_json(f), **fan(f)}, f.tree))
    _list(stream, "findings", map(finding_json, result.findings), last=result.clusters is None and result.structure is None)
    _clusters(stream, result, settings, ref)
    _structure(stream, result, ref)
    stream.write("}\n")


def _function(stream: TextIO, doc: dict, tree) -> None:
    if tree is None:
        stream.write(_encode(doc))
        return
    stream.write(_encode(doc)[:-1] + ', "tree": ')
    write_tree(stream, tree, _encode)
    stream.write("}")


def _fan(result: ScanResult, functions: list[FunctionReport]):
    s = result.structure
    if s is None:
        return lambda f: {}
    index = {id(f): i for i, f in enumerate(functions)}
    return lambda f: {"fan_in": s.fan_in[index[id(f)]], "fan_out": s.fan_out[index[id(f)]]}


def _clusters(stream: TextIO, result: ScanResult, settings: Settings, ref) -> None:
    found = result.clusters
    if found is None:
        return
    search = {
        "min_similarity": settings.min_similarity, "min_statements": settings.min_statements,
        "functions_considered": found.considered, "left_out": found.skipped,
        "pairs_compared": found.compared, "distances_computed": found.distances, "similar_pairs": found.pairs,
        "clusters": len(found.clusters),
    }
    stream.write(f'  "duplicate_search": {_encode(search)},\n')
    _list(stream, "clusters", (
        {"duplicated_lines": c.weight, "lines": c.lines, "representative": ref(c.representative),
         "members": [{**ref(m.function), "distance": m.distance, "similarity": m.similarity,
                      "insertions": m.insertions, "deletions": m.deletions, "substitutions": m.substitutions}
                     for m in c.members]}
        for c in found.clusters
    ), last=result.structure is None)


def _structure(stream: TextIO, result: ScanResult, ref) -> None:
    s = result.structure
    if s is None:
        return
    names = s.modules

    def cycles(found):
        return [{"modules": [names[i] for i in c.members], "cycle": [names[i] for i in c.cycle]} for c in found]

    def bottleneck(b, name):
        return {"ends": [name(b.source), name(b.target)], "curvature": b.curvature,
                "degrees": [b.source_degree, b.target_degree], "parts": [b.source_part, b.target_part],
                "part_sizes": [b.source_size, b.target_size], "links": [[name(x), name(y)] for x, y in b.links]}

    doc = {
        "modules": [{"module": m, "file": f, "fan_in": i, "fan_out": o}
                    for m, f, i, o in zip(names, s.module_files, s.module_fan_in, s.module_fan_out)],
        "imports": [{"from": names[e.source], "to": names[e.target], "names": e.count, "line": e.line,
                     "module_level": e.top_level} for e in s.imports],
        "import_cycles": cycles(s.cycles),
        "import_cycles_with_deferred_imports": cycles(s.deferred_cycles),
        "test_files_left_out": s.tests_left_out,
        "module_bottlenecks": [bottleneck(b, names.__getitem__) for b in s.module_bottlenecks],
        "narrow_module_links": s.module_links,
        "shared_packages": s.shared_packages,
        "call_sites": dataclasses.asdict(s.call_counts),
        "call_bottlenecks": [bottleneck(b, ref) for b in s.call_bottlenecks],
        "narrow_call_links": s.call_links,
        "shared_call_groups": s.shared_call_groups,
    }
    stream.write(f'  "structure": {_encode(doc)},\n')
    _list(stream, "calls", (
        {"caller": ref(e.caller), "callee": ref(e.callee), "sites": e.count, "directed_curvature": e.directed}
        for e in s.calls
    ), last=True)
