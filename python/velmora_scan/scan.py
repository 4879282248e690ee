"""Whole-input runs: finding files, spreading them over processes, and the
passes that look at all functions together."""

from __future__ import annotations

import multiprocessing
import os
import sys
import sysconfig
import time
from dataclasses import dataclass, field
from typing import Callable, Iterable

from .analysis import DEFAULT_BLOCK_SIZE, FileReport, FunctionReport, Timings, analyze_file
from .callgraph import CallEdge, call_edges, choke_points
from .similarity import DuplicatePair, find_duplicates

SAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sample")
_SKIP_DIRS = {"__pycache__", "site-packages", "dist-packages"}


def stdlib_root() -> str:
    return sysconfig.get_paths()["stdlib"]


def collect_files(paths: Iterable[str]) -> list[str]:
    """Python files under the given paths, each once, in a stable order.

    A file named directly is taken whatever its suffix; directories are
    walked in sorted order, skipping hidden ones, byte-code caches and
    installed third-party packages.
    """
    out: list[str] = []
    seen: set[str] = set()

    def add(p: str) -> None:
        key = os.path.realpath(p)
        if key not in seen:
            seen.add(key)
            out.append(p)

    for path in paths:
        if os.path.isdir(path):
            for root, dirs, files in os.walk(path):
                dirs[:] = sorted(d for d in dirs if d not in _SKIP_DIRS and not d.startswith("."))
                for name in sorted(files):
                    if name.endswith(".py"):
                        add(os.path.join(root, name))
        elif os.path.exists(path):
            add(path)
        else:
            raise FileNotFoundError(path)
    return out


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


@dataclass
class ScanResult:
    files: list[FileReport]
    functions: list[FunctionReport]
    duplicates: list[DuplicatePair]
    choke_points: list[CallEdge]
    timings: Timings
    wall: float
    # Time of the whole-input passes (duplicates, call graph) alone.
    global_passes: float = 0.0
    errors: list[tuple[str, str]] = field(default_factory=list)


def _work(task: tuple[str, str, int, bool]) -> tuple[FileReport, Timings]:
    path, module, block_size, with_trees = task
    t = Timings()
    return analyze_file(path, module, block_size=block_size, with_trees=with_trees, timings=t), t


def scan(
    paths: list[str],
    *,
    jobs: int = 1,
    block_size: int = DEFAULT_BLOCK_SIZE,
    with_trees: bool = True,
    duplicates: int = 10,
    choke: int = 10,
    progress: Callable[[int, int], None] | None = None,
) -> ScanResult:
    start = time.perf_counter()
    files = collect_files(paths)
    tasks = [(p, module_name(p), block_size, with_trees) for p in files]
    reports: list[FileReport] = []
    timings = Timings()

    def take(done: Iterable[tuple[FileReport, Timings]]) -> None:
        for n, (report, t) in enumerate(done, 1):
            reports.append(report)
            timings.add(t)
            if progress is not None:
                progress(n, len(tasks))

    if jobs > 1 and len(tasks) > 1:
        # spawn: a forked child of a process that has threads can deadlock,
        # and the children only need the file list.
        ctx = multiprocessing.get_context("spawn")
        with ctx.Pool(min(jobs, len(tasks))) as pool:
            take(pool.imap(_work, tasks, chunksize=max(1, min(16, len(tasks) // (jobs * 8)))))
    else:
        take(map(_work, tasks))

    functions = [f for r in reports for f in r.functions]
    g0 = time.perf_counter()
    dups = find_duplicates([f.kinds for f in functions], top=duplicates) if duplicates > 0 else []
    chokes = choke_points(call_edges(reports, functions), top=choke) if choke > 0 else []
    g1 = time.perf_counter()
    errors = [(r.path, r.error) for r in reports if r.error]
    return ScanResult(
        reports, functions, dups, chokes, timings, time.perf_counter() - start,
        global_passes=g1 - g0, errors=errors,
    )


def default_jobs() -> int:
    return max(1, min(os.cpu_count() or 1, 8))


def is_tty(stream=None) -> bool:
    stream = stream if stream is not None else sys.stderr
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False
