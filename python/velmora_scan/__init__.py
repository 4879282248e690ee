"""A Python-source analyzer on top of velmora.

It parses functions with ``ast``, builds their control-flow graphs, and
reports per function cyclomatic, cognitive and essential complexity, nesting
depth, the longest acyclic path and the compression entropy of the source;
per file the block entropy variance; across the input near-duplicate
functions and the call graph's choke points. Run ``velmora-scan --help``;
the definitions of the numbers are in NOTES.md beside this file.
"""

from .analysis import analyze_file, analyze_source
from .discover import SAMPLE, discover, module_name, stdlib_root
from .model import METRICS, FileReport, Finding, FunctionReport, ScanResult, Timings
from .scan import scan
from .settings import Settings

__all__ = [
    "METRICS",
    "SAMPLE",
    "FileReport",
    "Finding",
    "FunctionReport",
    "ScanResult",
    "Settings",
    "Timings",
    "analyze_file",
    "analyze_source",
    "discover",
    "module_name",
    "scan",
    "stdlib_root",
]
