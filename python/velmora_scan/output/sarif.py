"""SARIF 2.1.0, as GitHub code scanning and other viewers read it.

One run; the driver lists a rule per metric and per kind of finding, each
with its help text; one result per finding, located by a path relative to
the directory velmora-scan ran in (``%SRCROOT%``) and the line of the
function's ``def`` (or of the problem in the file). Findings about the whole
input have no location. The document validates against the OASIS schema.
"""

from __future__ import annotations

import json
import os
import urllib.parse
from pathlib import Path
from typing import TextIO

from ..model import ScanResult
from ..settings import Settings, version
from .rules import RULES, fingerprints, message, rule_of

SCHEMA = "https://docs.oasis-open.org/sarif/sarif/v2.1.0/errata01/os/schemas/sarif-schema-2.1.0.json"
INFORMATION_URI = "https://pypi.org/project/velmora/"


def artifact_location(path: str) -> dict:
    """A relative path stays relative to %SRCROOT% (the working directory);
    an absolute one becomes a file URI."""
    if os.path.isabs(path):
        return {"uri": Path(path).as_uri()}
    rel = os.path.normpath(path).replace(os.sep, "/")
    return {"uri": urllib.parse.quote(rel, errors="surrogateescape"), "uriBaseId": "%SRCROOT%"}


def document(result: ScanResult, settings: Settings) -> dict:
    rules = list(RULES.values())
    index = {r.id: i for i, r in enumerate(rules)}
    results = []
    for f, fp in zip(result.findings, fingerprints(result.findings)):
        rule = rule_of(f)
        item: dict = {
            "ruleId": rule.id,
            "ruleIndex": index[rule.id],
            "level": "error",
            "message": {"text": message(f)},
        }
        if f.path:
            physical: dict = {"artifactLocation": artifact_location(f.path)}
            physical["region"] = {"startLine": f.line if f.line and f.line > 0 else 1}
            item["locations"] = [{"physicalLocation": physical}]
        item["partialFingerprints"] = {"velmoraFinding/v1": fp}
        if f.metric is not None and f.value is not None:
            item["properties"] = {"metric": f.metric, "value": f.value, "limit": f.limit}
        results.append(item)
    root = Path(os.getcwd()).as_uri().rstrip("/") + "/"
    return {
        "$schema": SCHEMA,
        "version": "2.1.0",
        "runs": [{
            "tool": {"driver": {
                "name": "velmora-scan",
                "version": version(),
                "informationUri": INFORMATION_URI,
                "rules": [{
                    "id": r.id,
                    "name": r.name,
                    "shortDescription": {"text": r.title},
                    "fullDescription": {"text": r.description},
                    "help": {"text": r.help, "markdown": r.help},
                    "defaultConfiguration": {"level": "error"},
                } for r in rules],
            }},
            "originalUriBaseIds": {"%SRCROOT%": {"uri": root}},
            "columnKind": "unicodeCodePoints",
            "results": results,
        }],
    }


def render(result: ScanResult, settings: Settings, stream: TextIO) -> None:
    json.dump(document(result, settings), stream, indent=2, ensure_ascii=True)
    stream.write("\n")
