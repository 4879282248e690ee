"""``--diff REF``: the lines changed since a git revision, so that only the
functions they touch are judged.

The comparison is ``git diff REF`` (the revision against the files on disk,
uncommitted edits included), plus every untracked file that git does not
ignore, which counts as wholly new. A function is changed when a changed
line falls between its first decorator and its last line; a deletion counts
at the line it happened after.
"""

from __future__ import annotations

import bisect
import os
import re
from dataclasses import dataclass, field

from . import gitrepo
from .gitrepo import GitError
from .model import Finding, FunctionReport

_HUNK = re.compile(rb"^@@ -\d+(?:,\d+)? \+(\d+)(?:,(\d+))? @@")
_ESCAPES = {"n": b"\n", "t": b"\t", '"': b'"', "\\": b"\\", "a": b"\a", "b": b"\b",
            "f": b"\f", "r": b"\r", "v": b"\v"}


class DiffError(Exception):
    """``--diff`` cannot be answered; the command exits with status 2."""


def unquote(name: bytes) -> str:
    """A path as git prints it in a diff header (C-quoted when it holds
    unusual bytes)."""
    if not name.startswith(b'"'):
        return os.fsdecode(name)
    body = name[1:-1].decode("ascii", "surrogateescape")
    out = bytearray()
    i = 0
    while i < len(body):
        c = body[i]
        if c == "\\" and i + 1 < len(body):
            nxt = body[i + 1]
            if nxt in "01234567":
                out.append(int(body[i + 1:i + 4], 8) & 0xFF)
                i += 4
                continue
            out += _ESCAPES.get(nxt, nxt.encode("ascii", "surrogateescape"))
            i += 2
            continue
        out += c.encode("ascii", "surrogateescape")
        i += 1
    return os.fsdecode(bytes(out))


def parse_diff(text: bytes) -> dict[str, list[tuple[int, int]]]:
    """New-side path -> changed line ranges (first, last), from
    ``git diff --unified=0`` output with ``a/``/``b/`` prefixes."""
    out: dict[str, list[tuple[int, int]]] = {}
    current: list[tuple[int, int]] | None = None
    for line in text.split(b"\n"):
        if line.startswith(b"+++ "):
            # A name with a space gets a tab after it (for patch programs);
            # a name that really ends in a tab would be quoted.
            name = line[4:].rstrip(b"\r\t")
            if name == b"/dev/null":
                current = None
                continue
            path = unquote(name)
            current = out.setdefault(path[2:] if path.startswith("b/") else path, [])
        elif line.startswith(b"@@") and current is not None:
            m = _HUNK.match(line)
            if m:
                start = int(m.group(1))
                count = 1 if m.group(2) is None else int(m.group(2))
                current.append((max(start, 1), max(start, 1) + max(count, 1) - 1))
    return out


@dataclass
class Changes:
    """Changed lines per file, by real path; None marks a wholly new file."""

    ref: str
    files: dict[str, list[tuple[int, int]] | None] = field(default_factory=dict)

    @staticmethod
    def _key(path: str) -> str:
        d, name = os.path.split(os.path.abspath(path))
        return os.path.join(os.path.realpath(d), name)

    def file_changed(self, path: str) -> bool:
        return self._key(path) in self.files

    def touches(self, path: str, first: int, last: int) -> bool:
        key = self._key(path)
        if key not in self.files:
            return False
        ranges = self.files[key]
        if ranges is None:
            return True
        # Ranges are sorted and disjoint: the last one starting at or before
        # ``last`` is the only candidate that can reach back to ``first``.
        i = bisect.bisect_right(ranges, (last, float("inf"))) - 1
        return i >= 0 and ranges[i][1] >= first


def changes_since(ref: str, where: str) -> Changes:
    """The changes between ``ref`` and the work tree that holds ``where``."""
    directory = os.path.abspath(where)
    if not os.path.isdir(directory):
        directory = os.path.dirname(directory)
    try:
        root = gitrepo.toplevel(directory)
        if root is None:
            gitrepo.run_git(["--version"], directory)  # says whether git is there at all
            raise DiffError(f"--diff needs a git work tree, and {where} is not inside one")
        status, out = gitrepo.run_git(
            ["rev-parse", "--verify", "--quiet", "--end-of-options", f"{ref}^{{commit}}"], root, ok=(0, 1))
        if status != 0:
            raise DiffError(f"--diff: {ref!r} is not a commit of the repository at {root}")
        commit = out.decode("ascii").strip()
        _, diff = gitrepo.run_git(
            ["-c", "core.quotePath=true", "diff", "--no-color", "--no-ext-diff", "--no-textconv",
             "--unified=0", "--src-prefix=a/", "--dst-prefix=b/", "-M", "--ignore-submodules",
             commit, "--"], root)
        _, untracked = gitrepo.run_git(["ls-files", "-z", "--others", "--exclude-standard"], root)
    except GitError as exc:
        raise DiffError(f"--diff: {exc}") from None
    changes = Changes(ref)
    for rel, ranges in parse_diff(diff).items():
        if ranges:
            changes.files[os.path.join(root, rel)] = sorted(ranges)
    for rel in untracked.split(b"\0"):
        if rel:
            changes.files[os.path.join(root, os.fsdecode(rel))] = None
    return changes


def judged(findings: list[Finding], functions: list[FunctionReport], changes: Changes) -> list[Finding]:
    """The findings about changed code: functions whose lines changed, the
    averages and problems of changed files, comments on changed lines.
    Faults of the tool stay, and so do paths that do not exist; the
    input-wide averages go, as they judge no change in particular."""
    spans = {(f.file, f.line, f.qualname): (f.first_line, f.end_line) for f in functions}
    out = []
    for f in findings:
        if f.kind == "threshold":
            first, last = spans.get((f.path, f.line, f.qualname), (f.line, f.line))
            keep = changes.touches(f.path, first, last)
        elif f.kind == "suppression":
            keep = changes.touches(f.path, f.line or 1, f.line or 1)
        elif f.kind in ("average", "file"):
            keep = bool(f.path) and (changes.file_changed(f.path) or not os.path.lexists(f.path))
        else:
            keep = True
        if keep:
            out.append(f)
    return out
