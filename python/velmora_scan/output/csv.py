"""CSV: one row per function with every metric, for spreadsheets and
dataframes; the metric columns carry the metric ids. A file that could not
be analysed is one row with its status and reason and empty measures.
Rows follow the input order (file by file, functions by position)."""

from __future__ import annotations

import csv
from typing import TextIO

from ..model import METRICS, ScanResult
from ..settings import Settings

COLUMNS = ("path", "line", "end_line", "module", "qualname", *METRICS,
           "statements", "entropy", "status", "reason")


def render(result: ScanResult, settings: Settings, stream: TextIO) -> None:
    w = csv.writer(stream, lineterminator="\n")
    w.writerow(COLUMNS)
    for report in result.files:
        if report.status != "ok":
            w.writerow([report.path, "", "", report.module, "", *[""] * len(METRICS), "", "",
                        report.status, report.reason])
            continue
        for f in report.functions:
            w.writerow([f.file, f.line, f.end_line, f.module, f.qualname,
                        *(f.metric(m) for m in METRICS), f.statements, f"{f.entropy:.4f}", "ok", ""])
