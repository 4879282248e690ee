"""GitLab Code Quality report: a JSON array with one issue per finding.

Each issue has the fields GitLab reads (description, check_name,
fingerprint, severity, location.path, location.lines.begin). The fingerprint
leaves the line out, so a function that moves is the same issue in the
merge request's comparison. Findings about the whole input are placed on
the configuration file that set their limit (or ``.``), since GitLab needs a
path for every issue.
"""

from __future__ import annotations

import json
import os
from typing import TextIO

from ..model import ScanResult
from ..settings import Settings
from .rules import fingerprints, message, rule_of


def _path(path: str) -> str:
    return os.path.normpath(path).replace(os.sep, "/")


def issues(result: ScanResult, settings: Settings) -> list[dict]:
    config = getattr(settings, "config", None)
    fallback = _path(os.path.relpath(config)) if config else "."
    out = []
    for f, fp in zip(result.findings, fingerprints(result.findings)):
        out.append({
            "type": "issue",
            "description": message(f),
            "check_name": rule_of(f).id,
            "fingerprint": fp,
            "severity": "major" if f.kind in ("threshold", "average", "suppression") else "critical",
            "categories": ["Complexity"] if f.metric else ["Bug Risk"],
            "location": {"path": _path(f.path) if f.path else fallback,
                         "lines": {"begin": f.line if f.line and f.line > 0 else 1}},
        })
    return out


def render(result: ScanResult, settings: Settings, stream: TextIO) -> None:
    json.dump(issues(result, settings), stream, indent=2, ensure_ascii=True)
    stream.write("\n")
