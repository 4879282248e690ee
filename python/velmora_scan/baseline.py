"""A recorded set of findings that later runs accept: the ratchet for code
that is already over its limits.

A finding is known to the baseline when an entry has the same file, kind,
qualified name and metric, and a value at least as high: a function that
moved keeps its identity, one that grew or appeared is new. Files are
recorded relative to the baseline's folder, so the same file serves every
checkout and working directory.

Only threshold, average and file findings are recorded. A baseline written
by another version of velmora-scan is refused rather than compared, since
its numbers may count differently; ``--update-baseline`` rewrites it.
"""

from __future__ import annotations

import json
import os
import tempfile
from collections import defaultdict
from dataclasses import dataclass
from typing import Iterable

from .model import Finding

TOOL = "velmora-scan"
FORMAT = 1
RECORDED = ("threshold", "average", "file")

Key = tuple[str, str, str, str]   # (path, kind, qualname, metric)


class BaselineError(Exception):
    """A baseline that cannot be used; the command exits with status 2."""


@dataclass(frozen=True, slots=True)
class Entry:
    path: str        # relative to the baseline's folder, "/"-separated; "" for the whole input
    kind: str
    qualname: str
    metric: str
    value: float | None

    @property
    def key(self) -> Key:
        return (self.path, self.kind, self.qualname, self.metric)


def _rel(path: str, folder: str) -> str:
    if not path:
        return ""
    try:
        rel = os.path.relpath(os.path.abspath(path), folder)
    except ValueError:  # another drive
        rel = os.path.abspath(path)
    return rel.replace(os.sep, "/")


def entry_of(f: Finding, folder: str) -> Entry:
    return Entry(_rel(f.path, folder), f.kind, f.qualname or "", f.metric or "", f.value)


@dataclass
class Baseline:
    path: str
    version: str
    entries: list[Entry]

    @property
    def folder(self) -> str:
        return os.path.dirname(os.path.abspath(self.path))

    def new_findings(self, findings: Iterable[Finding]) -> list[Finding]:
        """The findings the baseline does not cover, in their order.

        Entries and findings of one identity are paired lowest value first,
        each finding with the lowest unused entry that is not below it; so two
        functions of one name (a property's getter and setter) are each held
        to one recorded value.
        """
        findings = list(findings)
        pool: dict[Key, list[float]] = defaultdict(list)
        for e in self.entries:
            pool[e.key].append(e.value if e.value is not None else float("-inf"))
        for values in pool.values():
            values.sort()
        known: set[int] = set()
        groups: dict[Key, list[int]] = defaultdict(list)
        for i, f in enumerate(findings):
            if f.kind in RECORDED:
                groups[entry_of(f, self.folder).key].append(i)
        for key, members in groups.items():
            values = pool.get(key, [])
            if key[1] == "file":
                # A file that could not be analysed stays known whatever
                # the reason says now (its line numbers move).
                known.update(members[:len(values)])
                continue
            members.sort(key=lambda i: findings[i].value)
            j = 0
            for i in members:
                while j < len(values) and values[j] < findings[i].value:
                    j += 1
                if j == len(values):
                    break
                known.add(i)
                j += 1
        return [f for i, f in enumerate(findings) if i not in known]


def _parse(path: str, data: bytes) -> tuple[str, list[Entry]]:
    """(version, entries) of a baseline document; BaselineError otherwise."""
    def corrupt(why: str) -> BaselineError:
        return BaselineError(f"{path}: not a velmora-scan baseline ({why}); "
                             "delete it and record a new one with --update-baseline")
    try:
        doc = json.loads(data)
    except (ValueError, UnicodeDecodeError) as exc:
        raise corrupt(f"not JSON: {exc}") from None
    if not isinstance(doc, dict):
        raise corrupt("not a JSON object")
    if doc.get("tool") != TOOL or doc.get("kind") != "baseline":
        raise corrupt(f"written by {doc.get('tool')!r}" if "tool" in doc else "no tool named")
    if doc.get("format") != FORMAT:
        raise corrupt(f"format {doc.get('format')!r}, this velmora-scan reads format {FORMAT}")
    version, items = doc.get("version"), doc.get("findings")
    if not isinstance(version, str) or not isinstance(items, list):
        raise corrupt("no version or no findings list")
    entries = []
    for n, item in enumerate(items):
        try:
            value = item["value"]
            if value is not None and (isinstance(value, bool) or not isinstance(value, (int, float))):
                raise TypeError
            fields = [item[k] for k in ("path", "kind", "qualname", "metric")]
            if not all(isinstance(x, str) for x in fields):
                raise TypeError
        except (KeyError, TypeError):
            raise corrupt(f"entry {n} is malformed") from None
        entries.append(Entry(*fields, value))
    return version, entries


def read(path: str) -> Baseline | None:
    """The baseline at ``path`` whatever version wrote it; None when there
    is no file. BaselineError when it is unreadable or not a baseline."""
    try:
        with open(path, "rb") as fh:
            data = fh.read()
    except FileNotFoundError:
        return None
    except OSError as exc:
        raise BaselineError(f"{path}: cannot read the baseline: {exc.strerror or exc}") from None
    version, entries = _parse(path, data)
    return Baseline(path, version, entries)


def load(path: str, current_version: str) -> Baseline:
    """The baseline to judge a run against: it must exist and come from
    this version."""
    baseline = read(path)
    if baseline is None:
        raise BaselineError(f"{path}: no such baseline; record one with --update-baseline")
    if baseline.version != current_version:
        raise BaselineError(
            f"{path}: recorded by velmora-scan {baseline.version}, this is {current_version}; "
            "the numbers may count differently, so record it again with --update-baseline"
        )
    return baseline


def write(path: str, findings: Iterable[Finding], analysed: Iterable[str], current_version: str,
          previous: Baseline | None = None) -> int:
    """Record ``findings``; entries of ``previous`` for files this run did not
    analyse (and that still exist) are kept, so a run on part of a project
    does not forget the rest. Returns the number of entries written.

    The file is replaced in one step, so an interrupted run leaves the old
    one in place.
    """
    folder = os.path.dirname(os.path.abspath(path))
    entries = [entry_of(f, folder) for f in findings if f.kind in RECORDED]
    if previous is not None:
        done = {_rel(p, folder) for p in analysed} | {""}
        entries += [e for e in previous.entries
                    if e.path not in done and os.path.exists(os.path.join(folder, e.path))]
    entries.sort(key=lambda e: (e.path, e.kind, e.qualname, e.metric,
                                e.value if e.value is not None else float("-inf")))
    doc = {
        "tool": TOOL, "kind": "baseline", "format": FORMAT, "version": current_version,
        "findings": [
            {"path": e.path, "kind": e.kind, "qualname": e.qualname, "metric": e.metric, "value": e.value}
            for e in entries
        ],
    }
    # One entry a line: a reviewer reads the change of a baseline in a diff.
    rows = ",\n".join("    " + json.dumps(x, ensure_ascii=True) for x in doc.pop("findings"))
    text = "{\n" + "".join(f"  {json.dumps(k)}: {json.dumps(v)},\n" for k, v in doc.items())
    text += '  "findings": [\n' + rows + "\n  ]\n}\n" if rows else '  "findings": []\n}\n'
    try:
        mode = os.stat(path).st_mode & 0o777
    except OSError:
        mode = 0o644
    try:
        fd, tmp = tempfile.mkstemp(prefix=".velmora-baseline-", dir=folder)
    except OSError as exc:
        raise BaselineError(f"{path}: cannot write the baseline: {exc.strerror or exc}") from None
    try:
        with os.fdopen(fd, "w", encoding="ascii") as fh:
            fh.write(text)
        os.chmod(tmp, mode)
        os.replace(tmp, path)
    except BaseException as exc:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        if isinstance(exc, OSError):
            raise BaselineError(f"{path}: cannot write the baseline: {exc.strerror or exc}") from None
        raise
    return len(entries)
