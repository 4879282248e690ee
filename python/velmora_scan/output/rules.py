"""What each kind of finding means, worded once for every CI format: rule
ids and help texts (SARIF, GitLab's check names), and one message line per
finding for people reading an annotation out of context."""

from __future__ import annotations

import hashlib
import os
from dataclasses import dataclass

from ..model import METRICS, Finding

_ADVICE = (
    "Split the function into smaller ones, or, where the complexity is "
    "essential, give this function its own limit with a `# velmora: {metric}<=N` "
    "comment on its def line (`# velmora: ignore[{metric}]` silences the metric)."
)


@dataclass(frozen=True)
class Rule:
    id: str
    name: str          # PascalCase, as SARIF's reportingDescriptor.name suggests
    title: str         # a few words
    description: str   # one or two sentences
    help: str


_METRIC_TEXT = {
    "cyclomatic": ("CyclomaticComplexity", "Cyclomatic complexity",
                   "Cyclomatic complexity: 1 plus the decision points of the function "
                   "(if/elif, loops, except clauses, match cases, conditional expressions, "
                   "comprehension clauses)."),
    "cognitive": ("CognitiveComplexity", "Cognitive complexity",
                  "Cognitive complexity: how hard the control flow is to follow; each break "
                  "in the linear flow adds 1, and one nested inside others adds its depth too."),
    "essential": ("EssentialComplexity", "Essential complexity",
                  "Essential complexity: the cyclomatic complexity that remains after every "
                  "structured single-entry single-exit construct is collapsed; structured code "
                  "has 1, each jump out of a construct (break out of a nested if, return inside "
                  "a loop) adds to it."),
    "nesting": ("NestingDepth", "Nesting depth",
                "Nesting depth: the deepest nesting of control statements (if, loops, try, "
                "with, match) in the function's body."),
    "longest_path": ("LongestPath", "Longest path",
                     "Longest path: the number of edges on the longest acyclic path from entry "
                     "to exit of the function's control-flow graph (loop back-edges set aside)."),
}

RULES: dict[str, Rule] = {
    m: Rule(m, name, title, text, text + " " + _ADVICE.format(metric=m))
    for m, (name, title, text) in _METRIC_TEXT.items()
}
RULES["file"] = Rule(
    "file", "FileNotAnalysed", "File not analysed",
    "A file that could not be analysed: missing, unreadable, not decodable as the "
    "interpreter decodes source, not valid Python, or not a regular file.",
    "The message names the reason. A file the interpreter cannot load cannot be "
    "measured either; fix it or exclude it with an exclude pattern.",
)
RULES["suppression"] = Rule(
    "suppression", "UnusedOrMalformedSuppression", "Unused or malformed suppression",
    "A `# velmora:` comment that silences nothing, is not on a function's def or "
    "decorator lines, or cannot be read.",
    "Remove the comment, move it to the def line of the function it is meant for, "
    "or correct its spelling: `ignore`, `ignore[metric,...]` or `metric<=N`, with "
    "metrics among " + ", ".join(METRICS) + ".",
)
RULES["internal"] = Rule(
    "internal", "InternalError", "Internal error of velmora-scan",
    "velmora-scan itself failed while analysing this file.",
    "This is a fault of the tool, not of the file: please report it with the file.",
)


def rule_of(f: Finding) -> Rule:
    if f.metric in RULES:
        return RULES[f.metric]
    return RULES.get(f.kind, RULES["internal"])


def _num(x: float | None) -> str:
    if x is None:
        return "?"
    if isinstance(x, float):
        return str(int(x)) if x.is_integer() else f"{x:.2f}"
    return str(x)


def message(f: Finding) -> str:
    """One sentence that stands on its own."""
    if f.kind == "threshold":
        what = _METRIC_TEXT[f.metric][1] if f.metric in _METRIC_TEXT else f.metric
        return f"{what} of {f.qualname} is {_num(f.value)}, above the limit of {_num(f.limit)}"
    if f.kind == "average" and f.metric in _METRIC_TEXT:
        what = _METRIC_TEXT[f.metric][1].lower()
        scope = f"of {f.path}" if f.path else "over the input"
        extra = f" ({f.reason})" if f.reason else ""
        return f"Average {what} {scope} is {_num(f.value)}, above the limit of {_num(f.limit)}{extra}"
    return f.reason or rule_of(f).description


def fingerprints(findings: list[Finding]) -> list[str]:
    """A stable id per finding that does not depend on its line, so that a
    function that moves keeps its issue; repeats of one identity are told
    apart by their order."""
    seen: dict[str, int] = {}
    out = []
    for f in findings:
        path = f.path.replace(os.sep, "/")
        ident = "\0".join((f.kind, path, f.qualname or "", f.metric or "",
                           f.reason if f.kind in ("file", "suppression", "internal") else ""))
        n = seen.get(ident, 0)
        seen[ident] = n + 1
        out.append(hashlib.sha256(f"{ident}\0{n}".encode("utf-8", "surrogatepass")).hexdigest())
    return out
