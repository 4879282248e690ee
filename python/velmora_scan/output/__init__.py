"""Renderers of a scan: text tables for people, JSON for machines."""

from __future__ import annotations

from ..model import FunctionReport

# Upper bounds of the ranks, as the usual complexity tools grade them.
RANKS = ((5, "A"), (10, "B"), (20, "C"), (30, "D"), (40, "E"))


def rank(complexity: int) -> str:
    for bound, letter in RANKS:
        if complexity <= bound:
            return letter
    return "F"


def order(functions: list[FunctionReport]) -> list[FunctionReport]:
    """Most complex first; ties by cognitive, then essential complexity,
    then by place, so that every run lists them alike."""
    return sorted(
        functions,
        key=lambda f: (-f.cyclomatic, -f.cognitive, -f.essential, f.file, f.line, f.qualname),
    )


def select(functions: list[FunctionReport], min_complexity: int, top: int) -> list[FunctionReport]:
    chosen = [f for f in order(functions) if f.cyclomatic >= min_complexity]
    return chosen[:top] if top > 0 else chosen
