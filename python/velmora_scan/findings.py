"""What velmora-scan reports as findings, and the exit status they give.

A finding is a function above a threshold, or a file that could not be
analysed (missing, unreadable, special, undecodable, not valid Python), or
a fault of velmora-scan itself while analysing a file. Findings come in
input order: file by file, and within a file by function, then by metric
in the order of `METRICS`.
"""

from __future__ import annotations

from .model import METRICS, Finding, ScanResult
from .settings import Settings

EXIT_CLEAN = 0
EXIT_FINDINGS = 1
EXIT_ERROR = 2       # usage or configuration error, or an internal failure
EXIT_INTERRUPTED = 130


def collect(result: ScanResult, settings: Settings) -> list[Finding]:
    limits = [(m, settings.threshold(m)) for m in METRICS]
    limits = [(m, limit) for m, limit in limits if limit is not None]
    out: list[Finding] = []
    for report in result.files:
        if report.status != "ok":
            out.append(Finding("internal" if report.internal else "file", report.path, reason=report.reason))
            continue
        for f in report.functions:
            for metric, limit in limits:
                value = f.metric(metric)
                if value > limit:
                    out.append(Finding("threshold", f.file, f.line, f.qualname, metric, value, limit))
    return out


def exit_status(findings: list[Finding]) -> int:
    if any(f.kind == "internal" for f in findings):
        return EXIT_ERROR
    return EXIT_FINDINGS if findings else EXIT_CLEAN
