"""A Python-source analyzer on top of velmora.

It parses functions with ``ast``, builds their control-flow graphs as
velmora records, and reports per function cyclomatic and essential
complexity, components, nesting depth, longest acyclic path, the first
Betti number and the compression entropy of the source; per file the block
entropy variance; across the input near-duplicate functions and the call
graph's choke points. Run ``python -m velmora_scan --help``.
"""

from .analysis import FileReport, FunctionReport, Timings, analyze_file, analyze_source
from .cfg_builder import build_function, forward_graph, graph_of
from .report import rank, render_json, render_text, to_json
from .scan import SAMPLE, ScanResult, collect_files, module_name, scan, stdlib_root

__all__ = [
    "FileReport",
    "FunctionReport",
    "SAMPLE",
    "ScanResult",
    "Timings",
    "analyze_file",
    "analyze_source",
    "build_function",
    "collect_files",
    "forward_graph",
    "graph_of",
    "module_name",
    "rank",
    "render_json",
    "render_text",
    "scan",
    "stdlib_root",
    "to_json",
]
