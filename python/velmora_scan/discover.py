"""From the paths a user names to the files to analyse.

Directories are walked in sorted order, skipping hidden directories,
byte-code caches and installed third-party packages; a file named directly
is taken whatever its suffix. Paths keep the form the user gave them: a
directory ``src/`` gives ``src/pkg/mod.py``, an absolute path stays absolute.
A path that does not exist, or a directory that cannot be listed, is a
problem of that path only: it is reported and the rest is still walked.
"""

from __future__ import annotations

import os
import sysconfig
from dataclasses import dataclass
from typing import Iterable, Iterator

from .source import special_kind

SAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sample")
_SKIP_DIRS = {"__pycache__", "site-packages", "dist-packages"}


def stdlib_root() -> str:
    return sysconfig.get_paths()["stdlib"]


@dataclass(frozen=True, slots=True)
class Candidate:
    path: str
    problem: str = ""   # non-empty: the path cannot be analysed, and why


def discover(paths: Iterable[str]) -> Iterator[Candidate]:
    """Every Python file under ``paths`` once (by real path), in a stable
    order, and every path that could not be looked at with its reason."""
    seen: set[str] = set()

    def fresh(p: str) -> bool:
        key = os.path.realpath(p)
        if key in seen:
            return False
        seen.add(key)
        return True

    for path in paths:
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
        problems: list[OSError] = []
        for root, dirs, files in os.walk(path, onerror=problems.append):
            for exc in problems:
                yield Candidate(exc.filename or root, f"{type(exc).__name__}: {exc.strerror or exc}")
            problems.clear()
            dirs[:] = sorted(d for d in dirs if d not in _SKIP_DIRS and not d.startswith("."))
            for name in sorted(files):
                if name.endswith(".py"):
                    p = os.path.join(root, name)
                    if fresh(p):
                        yield Candidate(p)
        for exc in problems:
            yield Candidate(exc.filename or path, f"{type(exc).__name__}: {exc.strerror or exc}")


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
