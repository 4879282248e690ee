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
     "duplicates": [...], "choke_points": [...]}
"""

from __future__ import annotations

import json
from typing import Iterable, TextIO

from ..model import METRICS, FileReport, Finding, FunctionReport, ScanResult
from ..settings import Settings, version
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


def _list(stream: TextIO, key: str, items: Iterable[dict], last: bool = False) -> None:
    stream.write(f'  "{key}": [')
    first = True
    for item in items:
        stream.write("\n    " if first else ",\n    ")
        stream.write(_encode(item))
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
    _list(stream, "functions", map(function_json, chosen))
    _list(stream, "findings", map(finding_json, result.findings))
    _list(stream, "duplicates", (
        {"first": ref(p.first), "second": ref(p.second), "distance": p.distance,
         "similarity": p.similarity, "insertions": p.insertions,
         "deletions": p.deletions, "substitutions": p.substitutions}
        for p in result.duplicates
    ))
    _list(stream, "choke_points", (
        {"caller": ref(e.caller), "callee": ref(e.callee), "curvature": e.curvature}
        for e in result.choke_points
    ), last=True)
    stream.write("}\n")
