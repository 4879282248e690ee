"""From the paths a user names to the files to analyse.

Directories are walked in sorted order through a `Selector` (include and
exclude patterns, default exclusions such as dot folders, byte-code caches,
virtual environments and installed third-party packages, and git's ignore
rules); a file named directly is taken whatever its suffix, unless
``force_exclude`` applies the exclusions to named paths too. Paths keep the form the user gave them: a
directory ``src/`` gives ``src/pkg/mod.py``, an absolute path stays absolute.
A path that does not exist, or a directory that cannot be listed, is a
problem of that path only: it is reported and the rest is still walked.
"""

from __future__ import annotations

import os
import sysconfig
from dataclasses import dataclass
from typing import Iterable, Iterator

from .selection import Selector
from .source import special_kind

SAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sample")


def sample_name(path: str) -> str:
    """How the report shows a file of the bundled sample when no path was
    named: ``velmora_scan/sample/parser.py``, not a path into wherever the
    package is installed."""
    return os.path.relpath(path, os.path.dirname(os.path.dirname(SAMPLE)))


def stdlib_root() -> str:
    return sysconfig.get_paths()["stdlib"]


@dataclass(frozen=True, slots=True)
class Candidate:
    path: str
    problem: str = ""   # non-empty: the path cannot be analysed, and why


def discover(paths: Iterable[str], selector: Selector | None = None,
             force_exclude: bool = False) -> Iterator[Candidate]:
    """Every Python file under ``paths`` once (by real path), in a stable
    order, and every path that could not be looked at with its reason."""
    seen: set[str] = set()
    selector = selector or Selector.build(os.getcwd())
    paths = list(paths)
    dropped = selector.force_excluded([p for p in paths if os.path.lexists(p)]) if force_exclude else set()

    real_dirs: dict[str, str] = {}

    def fresh(p: str) -> bool:
        # The real path of a file that is not a link is its folder's real
        # path and its name: one resolution per folder, not per file.
        head, name = os.path.split(p)
        if os.path.islink(p) or not name or name in (os.curdir, os.pardir):
            key = os.path.realpath(p)
        else:
            real = real_dirs.get(head)
            if real is None:
                real = real_dirs[head] = os.path.realpath(head or os.curdir)
            key = os.path.join(real, name)
        if key in seen:
            return False
        seen.add(key)
        return True

    for path in paths:
        if path in dropped:
            continue
        try:
            st = os.stat(path)
        except OSError as exc:
            if os.path.islink(path):
                # A dangling or looping link: reading it says why.
                if fresh(path):
                    yield Candidate(path)
                continue
            yield Candidate(path, f"{type(exc).__name__}: {exc.strerror or exc}")
            continue
        if special_kind(st.st_mode) != "directory":
            if fresh(path):
                yield Candidate(path)
            continue
        for p, problem in selector.walk(path):
            if problem:
                yield Candidate(p, problem)
            elif fresh(p):
                yield Candidate(p)


def module_name(path: str, _cache: dict[str, bool] = {}) -> str:
    """Dotted module name: the file's stem under as many enclosing
    directories as are packages (hold an ``__init__.py``)."""

    def is_package(d: str) -> bool:
        known = _cache.get(d)
        if known is None:
            known = _cache[d] = os.path.isfile(os.path.join(d, "__init__.py"))
        return known

    path = os.path.abspath(path)
    directory, name = os.path.split(path)
    stem = name[:-3] if name.endswith(".py") else name
    parts = [] if stem == "__init__" else [stem]
    while is_package(directory):
        directory, pkg = os.path.split(directory)
        parts.append(pkg)
        if not pkg:
            break
    return ".".join(reversed(parts)) or stem
