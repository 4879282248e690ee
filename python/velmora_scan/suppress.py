"""Suppression comments in the source.

On a function's ``def`` line, on any line of its header up to the colon, or
on one of its decorator lines::

    def parse(tokens):  # velmora: ignore                  every metric
    def parse(tokens):  # velmora: ignore[cognitive]       one metric (or several, comma-separated)
    def parse(tokens):  # velmora: cognitive<=25           this function's own limit
    def parse(tokens):  # velmora: ignore[nesting], cognitive<=25

The marker may follow other comment text (``# noqa: C901  # velmora:
ignore``). Comments are found with the tokenizer, so the marker inside a
string is not a suppression.
"""

from __future__ import annotations

import io
import re
import tokenize
from dataclasses import dataclass, field

METRICS = ("cyclomatic", "cognitive", "essential", "nesting", "longest_path")

MARKER = re.compile(r"#\s*velmora\s*:\s*([^#]*)")
_IGNORE = re.compile(r"ignore(?:\[([^\]]*)\])?")
_CAP = re.compile(r"([a-z_-]+)\s*<=\s*(\d+)")


def metric_id(name: str) -> str | None:
    name = name.strip().replace("-", "_")
    return name if name in METRICS else None


@dataclass
class Directive:
    line: int
    text: str
    ignore_all: bool = False
    ignore: frozenset[str] = frozenset()
    caps: dict[str, int] = field(default_factory=dict)


def parse_directive(body: str, line: int) -> Directive | str:
    """A directive, or the reason it is malformed."""
    text = body.strip()
    d = Directive(line, text)
    items = re.split(r",(?![^\[]*\])", text) if text else []
    if not items:
        return "empty suppression"
    for item in items:
        item = item.strip()
        if m := _IGNORE.fullmatch(item):
            if m.group(1) is None:
                d.ignore_all = True
                continue
            names = [n for n in m.group(1).split(",")]
            bad = [n.strip() for n in names if metric_id(n) is None]
            if bad:
                return f"unknown metric {bad[0]!r} in {item!r}"
            d.ignore |= {metric_id(n) for n in names}
        elif m := _CAP.fullmatch(item):
            metric = metric_id(m.group(1))
            if metric is None:
                return f"unknown metric {m.group(1)!r} in {item!r}"
            if metric in d.caps:
                return f"{metric} given twice"
            d.caps[metric] = int(m.group(2))
        else:
            return f"cannot read {item!r} (expected ignore, ignore[metric,...] or metric<=N)"
    return d


@dataclass
class FileSuppressions:
    directives: dict[int, Directive] = field(default_factory=dict)
    malformed: list[tuple[int, str]] = field(default_factory=list)
    # def line -> line of the colon that ends the header
    header_end: dict[int, int] = field(default_factory=dict)

    def for_function(self, first_line: int, line: int) -> list[Directive]:
        end = self.header_end.get(line, line)
        return [d for n, d in self.directives.items() if first_line <= n <= end]


def scan_source(text: str) -> FileSuppressions:
    """Directives and def headers of one file's text. A file the tokenizer
    rejects has none (it is reported as unreadable anyway)."""
    out = FileSuppressions()
    if "velmora" not in text:
        return out
    depth = 0
    open_def: int | None = None
    try:
        for tok in tokenize.generate_tokens(io.StringIO(text).readline):
            if tok.type == tokenize.COMMENT:
                m = MARKER.search(tok.string)
                if m:
                    line = tok.start[0]
                    parsed = parse_directive(m.group(1), line)
                    if isinstance(parsed, str):
                        out.malformed.append((line, parsed))
                    elif line in out.directives:
                        out.malformed.append((line, "two suppressions on one line"))
                    else:
                        out.directives[line] = parsed
            elif tok.type == tokenize.NAME and tok.string == "def" and open_def is None:
                open_def, depth = tok.start[0], 0
            elif tok.type == tokenize.OP and open_def is not None:
                if tok.string in "([{":
                    depth += 1
                elif tok.string in ")]}":
                    depth -= 1
                elif tok.string == ":" and depth == 0:
                    out.header_end[open_def] = tok.start[0]
                    open_def = None
    except (tokenize.TokenError, SyntaxError):
        pass
    return out
