"""The records every part of velmora-scan works with.

Plain slotted dataclasses of numbers, texts and tuples: they cross process
boundaries by pickling and turn into JSON field by field. Paths are kept
exactly as the user gave them (a directory argument ``src/`` gives
``src/pkg/mod.py``; an absolute argument stays absolute).
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

#: Metric ids, spelled the same in flags (``--max-longest-path`` spells the
#: last with a dash), configuration keys, JSON fields and finding lines.
METRICS: tuple[str, ...] = ("cyclomatic", "cognitive", "essential", "nesting", "longest_path")

#: (form, base, name) of one call site; see `velmora_scan.syntax.call_of`.
Call = tuple[str, str, str]

#: (level, module, name, asname, top_level, line) of one imported name;
#: top_level: the import runs when the module is imported (see
#: `velmora_scan.syntax.imports`).
Import = tuple[int, str, str, str, bool, int]


@dataclass(slots=True)
class FunctionReport:
    file: str            # the path as the user gave it
    module: str          # dotted module name
    qualname: str        # as the interpreter's __qualname__ ("C.m", "f.<locals>.g")
    owner: str           # qualname of the directly enclosing class, "" if none
    line: int            # line of the `def` (or `async`) keyword
    first_line: int      # first decorator line (== line when undecorated)
    column: int
    end_line: int
    cyclomatic: int
    cognitive: int
    essential: int
    nesting: int
    longest_path: int
    betti_1: int         # JSON only
    components: int      # JSON only
    entropy: float
    entropy_label: str
    blocks: int
    edges: int
    statements: int      # statements of the body, nested blocks included, nested def/class bodies not
    assign_only: bool    # body only assigns attributes (plus docstring, pass, super().__init__(...))
    kinds: bytes = field(default=b"", repr=False)       # node-kind codes into kinds.KIND_NAMES
    calls: tuple[Call, ...] = field(default=(), repr=False)
    # The syntax tree (a velmora UASTNode), only when asked for: never
    # cached, and sent between processes flat (see `velmora_scan.trees`).
    tree: Any = field(default=None, repr=False, compare=False)

    def metric(self, name: str) -> int:
        return getattr(self, name)


@dataclass(slots=True)
class FileReport:
    path: str            # as the user gave it
    module: str
    status: str          # "ok" | "error" | "skipped"
    reason: str          # "" when ok
    size: int = 0        # bytes on disk
    lines: int = 0
    entropy_variance: float = 0.0
    functions: list[FunctionReport] = field(default_factory=list)
    imports: tuple[Import, ...] = ()
    # True when the reason is a fault of the tool rather than of the file.
    internal: bool = False


@dataclass(frozen=True, slots=True)
class Finding:
    kind: str            # "threshold" | "file" | "internal" | "average" | "suppression"
    path: str
    line: int | None = None
    qualname: str | None = None
    metric: str | None = None
    value: float | None = None
    limit: float | None = None
    reason: str = ""

    def text(self) -> str:
        """The one-line form: ``path:line qualname metric value > limit``
        or ``path: reason``."""
        if self.kind == "average":
            return f"{self.path or '(input)'}: average {self.metric} {_num(self.value)} > {_num(self.limit)} ({self.reason})"
        if self.metric is not None:
            return f"{self.path}:{self.line} {self.qualname} {self.metric} {_num(self.value)} > {_num(self.limit)}"
        if self.line is not None:
            return f"{self.path}:{self.line}: {self.reason}"
        return f"{self.path}: {self.reason}"


def _num(x: float | None) -> str:
    if isinstance(x, float) and x.is_integer():
        return str(int(x))
    return str(x)


@dataclass(slots=True)
class Timings:
    """Seconds spent reading and parsing, and measuring; summed over workers."""

    parse: float = 0.0
    measure: float = 0.0

    def add(self, other: "Timings") -> None:
        self.parse += other.parse
        self.measure += other.measure


@dataclass(slots=True)
class ScanResult:
    files: list[FileReport]
    findings: list[Finding] = field(default_factory=list)
    clusters: Any = None       # clusters.Clusters, when the search ran
    structure: Any = None      # structure.Structure, when the graphs were built
    timings: Timings = field(default_factory=Timings)
    wall: float = 0.0
    whole_input: float = 0.0   # seconds of the passes over all functions
    # Shown path -> the path to read, where they differ: the bundled sample,
    # analysed when no path is named, is shown by short paths.
    sources: dict[str, str] = field(default_factory=dict)

    def source_of(self, path: str) -> str:
        """The path to read for a path the report shows."""
        return self.sources.get(path, path)

    @property
    def functions(self) -> list[FunctionReport]:
        return [f for r in self.files for f in r.functions]
