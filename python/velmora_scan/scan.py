"""Whole-input runs: discovering files, spreading them over processes, and
the passes that look at all functions together."""

from __future__ import annotations

import multiprocessing
import os
import sys
import time
from typing import Callable, Iterable

from .analysis import analyze_file
from . import structure
from .clusters import find_clusters
from .discover import SAMPLE, Candidate, discover, module_name, stdlib_root
from .findings import collect
from .model import FileReport, ScanResult, Timings
from .selection import Selector
from .settings import Settings

__all__ = ["SAMPLE", "scan", "stdlib_root", "is_tty"]

Task = tuple[str, str, int, bool]


def _work(task: Task) -> tuple[FileReport, Timings]:
    path, module, block_size, count_bool_ops = task
    t = Timings()
    report = analyze_file(path, module, block_size=block_size, count_bool_ops=count_bool_ops, timings=t)
    return report, t


def _module(path: str) -> str:
    try:
        return module_name(path)
    except (OSError, ValueError):
        return os.path.basename(path)


def input_paths(settings: Settings) -> list[str]:
    paths = list(settings.paths)
    if settings.stdlib:
        paths.append(stdlib_root())
    return paths or [SAMPLE]


def scan(
    paths: Iterable[str] | None = None,
    settings: Settings | None = None,
    *,
    progress: Callable[[int, int], None] | None = None,
    **overrides,
) -> ScanResult:
    """Analyse ``paths`` (default: those the settings name) with
    ``settings``; keyword arguments override single settings (``jobs=2``)."""
    settings = (settings or Settings()).replace(**overrides)
    if paths is None:
        paths = input_paths(settings)
    start = time.perf_counter()
    candidates: list[Candidate] = list(discover(paths, Selector.for_settings(settings), settings.force_exclude))
    reports: list[FileReport | None] = [None] * len(candidates)
    tasks: list[tuple[int, Task]] = []
    for i, c in enumerate(candidates):
        if c.problem:
            reports[i] = FileReport(c.path, "", "error", c.problem)
        else:
            tasks.append((i, (c.path, _module(c.path), settings.block_size, settings.count_bool_ops)))
    timings = Timings()
    jobs = max(1, settings.jobs)

    def take(done: Iterable[tuple[FileReport, Timings]]) -> None:
        for n, ((i, _), (report, t)) in enumerate(zip(tasks, done), 1):
            reports[i] = report
            timings.add(t)
            if progress is not None:
                progress(n, len(tasks))

    work = [t for _, t in tasks]
    if jobs > 1 and len(work) > 1:
        # spawn: a forked child of a process that has threads can deadlock,
        # and the children only need the file list.
        ctx = multiprocessing.get_context("spawn")
        with ctx.Pool(min(jobs, len(work))) as pool:
            take(pool.imap(_work, work, chunksize=max(1, min(16, len(work) // (jobs * 8)))))
    else:
        take(map(_work, work))

    files = [r for r in reports if r is not None]
    result = ScanResult(files, timings=timings)
    whole_input(result, settings)
    result.findings = collect(result, settings)
    result.wall = time.perf_counter() - start
    return result


def whole_input(result: ScanResult, settings: Settings) -> None:
    """The passes that look at all functions together; the Parquet writer
    runs them too, over a run's tables."""
    g0 = time.perf_counter()
    functions = result.functions
    if settings.duplicates > 0:
        result.clusters = find_clusters(
            functions, min_similarity=settings.min_similarity, min_statements=settings.min_statements,
        )
    result.structure = structure.analyse(result.files, functions, top=settings.choke_points)
    result.whole_input = time.perf_counter() - g0


def is_tty(stream=None) -> bool:
    stream = stream if stream is not None else sys.stderr
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False
