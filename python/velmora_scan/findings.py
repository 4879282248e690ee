"""What velmora-scan reports as findings, and the exit status they give.

A finding is a function above a threshold, or a file that could not be
analysed (missing, unreadable, special, undecodable, not valid Python), or
a fault of velmora-scan itself while analysing a file; a file's or the
input's average above its limit; with ``--report-unused-suppressions``, a
``# velmora:`` comment that changes nothing or cannot be read. Findings
come in input order: file by file, and within a file by function, then by
metric in the order of `METRICS`; then the file's averages and
suppressions; the input's averages last.

A function's limit for a metric is the threshold of the last override whose
paths match its file, else the global one; a ``metric<=N`` comment on the
function replaces it, and ``ignore``/``ignore[metric]`` comments silence it.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field

from . import suppress
from .config import project_base
from .globs import PatternSet
from .model import METRICS, FileReport, Finding, FunctionReport, ScanResult, _num
from .settings import Settings
from .source import decode, read_bytes

EXIT_CLEAN = 0
EXIT_FINDINGS = 1
EXIT_ERROR = 2       # usage or configuration error, or an internal failure
EXIT_INTERRUPTED = 130


class Limits:
    """Thresholds per file: the global ones under the overrides that match."""

    def __init__(self, settings: Settings):
        self.settings = settings
        base = project_base(settings)
        self.overrides = [(PatternSet(list(o.paths), base), dict(o.limits)) for o in settings.overrides]

    def for_file(self, path: str) -> dict[str, float | None]:
        out = {f"max_{m}": self.settings.threshold(m) for m in METRICS}
        out.update({f"max_file_average_{m}": self.settings.file_average(m) for m in METRICS})
        for patterns, limits in self.overrides:
            rel = patterns.relative(path)
            if rel is None:
                rel = os.path.basename(os.path.abspath(path))
            if patterns.covers(rel, False):
                out.update(limits)
        return out


def _suppressions(path: str) -> suppress.FileSuppressions:
    try:
        data = read_bytes(path)
        if b"velmora" not in data:
            return suppress.FileSuppressions()
        return suppress.scan_source(decode(data))
    except Exception:  # noqa: BLE001 - read once already; gone or changed since: no comments
        return suppress.FileSuppressions()


@dataclass
class _Use:
    """Which parts of one comment changed the outcome."""

    directive: suppress.Directive
    used: set[str] = field(default_factory=set)   # "ignore", "ignore:<metric>", "cap:<metric>"


def _judge(f: FunctionReport, limits: dict, uses: list[_Use], out: list[Finding]) -> list[tuple[_Use, str, str]]:
    """Threshold findings of one function into ``out``; returns the unused
    parts of its comments as (use, part, why)."""
    caps: dict[str, tuple[int, _Use]] = {}
    for u in uses:
        for metric, cap in u.directive.caps.items():
            caps.setdefault(metric, (cap, u))
    for metric in METRICS:
        value = f.metric(metric)
        base = limits[f"max_{metric}"]
        limit = base
        if metric in caps:
            limit, u = caps[metric]
            if (base is not None and value > base) != (value > limit):
                u.used.add(f"cap:{metric}")
        if limit is None or value <= limit:
            continue
        silencers = [u for u in uses if u.directive.ignore_all or metric in u.directive.ignore]
        if not silencers:
            out.append(Finding("threshold", f.file, f.line, f.qualname, metric, value, limit))
            continue
        for u in silencers:
            u.used.add("ignore" if u.directive.ignore_all else f"ignore:{metric}")
    unused = []
    for u in uses:
        d = u.directive
        if d.ignore_all and "ignore" not in u.used:
            unused.append((u, "ignore", "no limit is exceeded"))
        for metric in sorted(d.ignore, key=METRICS.index):
            if f"ignore:{metric}" not in u.used and not d.ignore_all:
                unused.append((u, f"ignore[{metric}]", f"{metric} {f.metric(metric)} is within its limit"))
        for metric, cap in d.caps.items():
            if f"cap:{metric}" not in u.used:
                base = limits[f"max_{metric}"]
                unused.append((u, f"{metric}<={cap}",
                               f"it changes nothing ({metric} {f.metric(metric)}, limit without it "
                               f"{'none' if base is None else _num(base)})"))
    return unused


def _average(path: str, metric: str, total: float, n: int, limit: float | None) -> Finding | None:
    if limit is None or not n:
        return None
    mean = total / n
    if mean <= limit:
        return None
    return Finding("average", path, None, None, metric, round(mean, 4), limit,
                   f"{n} function{'s' if n != 1 else ''}")


def _file_findings(report: FileReport, limits: dict, settings: Settings, source: str,
                   quiet: bool = False) -> list[Finding]:
    out: list[Finding] = []
    comments = suppress.FileSuppressions() if quiet else _suppressions(source)
    claimed: set[int] = set()
    unused: list[tuple[_Use, str, str, FunctionReport]] = []
    # Most files have no comment for velmora: their functions are judged by
    # the limits alone.
    plain = [(m, limit) for m in METRICS if (limit := limits[f"max_{m}"]) is not None]
    for f in report.functions:
        if comments.directives:
            uses = [_Use(d) for d in comments.for_function(f.first_line, f.line)]
            if uses:
                claimed.update(u.directive.line for u in uses)
                unused += [(*item, f) for item in _judge(f, limits, uses, out)]
                continue
        for metric, limit in plain:
            value = getattr(f, metric)
            if value > limit:
                out.append(Finding("threshold", f.file, f.line, f.qualname, metric, value, limit))
    for metric in METRICS:
        limit = limits[f"max_file_average_{metric}"]
        if limit is not None:
            found = _average(report.path, metric, sum(getattr(f, metric) for f in report.functions),
                             len(report.functions), limit)
            if found:
                out.append(found)
    if settings.report_unused_suppressions:
        problems = [(u.directive.line, f"unused suppression '{part}' on {f.qualname}: {why}")
                    for u, part, why, f in unused]
        problems += [(line, "suppression on a line that holds no function's def or decorators")
                     for line in comments.directives if line not in claimed]
        problems += [(line, f"malformed suppression: {why}") for line, why in comments.malformed]
        out += [Finding("suppression", report.path, line, reason=why) for line, why in sorted(problems)]
    return out


def file_findings(report: FileReport, limits: Limits, settings: Settings, source: str | None = None,
                  quiet: bool = False) -> list[Finding]:
    """The findings of one file, for runs that never hold the whole input;
    ``source`` is the path to read when the report shows another, ``quiet``
    says that its text is known to hold no comment for velmora."""
    if report.status != "ok":
        return [Finding("internal" if report.internal else "file", report.path, reason=report.reason)]
    source = source or report.path
    return _file_findings(report, limits.for_file(source), settings, source, quiet)


def input_averages(totals: dict[str, float], n: int, settings: Settings) -> list[Finding]:
    """Findings of the input's averages, from each metric's sum over ``n`` functions."""
    found = (_average("", m, totals.get(m, 0), n, settings.input_average(m)) for m in METRICS)
    return [f for f in found if f]


def collect(result: ScanResult, settings: Settings, quiet: frozenset[str] = frozenset()) -> list[Finding]:
    """Every finding of a run; ``quiet`` holds the source paths whose text
    is known to hold no comment for velmora (they are not read again)."""
    limits = Limits(settings)
    out: list[Finding] = []
    for report in result.files:
        source = result.source_of(report.path)
        out += file_findings(report, limits, settings, source, source in quiet)
    functions = result.functions
    totals = {m: sum(getattr(f, m) for f in functions) for m in METRICS if settings.input_average(m) is not None}
    return out + input_averages(totals, len(functions), settings)


def exit_status(findings: list[Finding]) -> int:
    if any(f.kind == "internal" for f in findings):
        return EXIT_ERROR
    return EXIT_FINDINGS if findings else EXIT_CLEAN
