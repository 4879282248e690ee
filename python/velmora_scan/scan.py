"""Whole-input runs: discovering files, spreading them over processes, and
the passes that look at all functions together."""

from __future__ import annotations

import contextlib
import gc
import os
import signal
import sys
import time
from typing import TYPE_CHECKING, Callable, Iterable

from . import clusters, structure
from .analysis import Compact, compact, compact_file, expand
from .cache import Cache, sha256
from .discover import SAMPLE, Candidate, discover, module_name, sample_name, stdlib_root
from .findings import collect
from .model import FileReport, ScanResult, Timings
from .selection import Selector
from .settings import Settings
from .source import SourceError, read_bytes

if TYPE_CHECKING:
    from .trees import FlatTrees

__all__ = ["SAMPLE", "scan", "stdlib_root", "is_tty"]

# (block_size, count_bool_ops, engine, cache directory or "", cache options, trees)
Options = tuple[int, bool, str, str, tuple, bool]
Task = tuple[int, str, Options]

_caches: dict[tuple[str, tuple], Cache] = {}


def result_cache(directory: str, options: tuple) -> Cache | None:
    """The per-file result cache in ``directory`` for results computed with
    ``options``, one per process; None for no directory."""
    if not directory:
        return None
    key = (directory, options)
    cache = _caches.get(key)
    if cache is None:
        cache = _caches[key] = Cache(directory, options)
    return cache


def _work(task: Task) -> tuple[int, Compact, Timings, FlatTrees | None]:
    """One file in a worker: it gets a path and sends back a compact
    result (and, when asked, the flat syntax trees), so that neither
    direction pickles report objects."""
    index, path, (block_size, count_bool_ops, engine, cache_dir, cache_options, trees) = task
    t = Timings()
    flat: list | None = [] if trees else None
    result = compact_file(path, block_size=block_size, count_bool_ops=count_bool_ops, engine=engine,
                          cache=result_cache(cache_dir, cache_options), timings=t, trees=flat)
    return index, result, t, (flat[0] if flat else None)


def _size(path: str) -> int:
    try:
        return os.stat(path).st_size
    except OSError:
        return 0


def module_of(path: str) -> str:
    """The dotted module name of a file, or its file name when the name
    cannot be worked out."""
    try:
        return module_name(path)
    except (OSError, ValueError):
        return os.path.basename(path)


def _fingerprint(path: str, quiet: set[str]) -> str:
    """What a file's result depends on besides its options: a digest of
    its bytes, or why they cannot be read. A file whose bytes do not name
    velmora holds no suppression comment: its path goes to ``quiet``."""
    try:
        data = read_bytes(path)
    except SourceError as exc:
        return f"{exc.status}: {exc.reason}"
    if b"velmora" not in data:
        quiet.add(path)
    return sha256(data).hexdigest()


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
    # A run builds records that hold no cycles, tens of thousands of them:
    # the collector would only walk them again and again (a third of a
    # second on the standard library).
    collecting = gc.isenabled()
    gc.disable()
    try:
        return _scan(paths, settings, progress, overrides)
    finally:
        if collecting:
            gc.enable()


def _scan(paths, settings, progress, overrides) -> ScanResult:
    settings = (settings or Settings()).replace(**overrides)
    if paths is None:
        paths = input_paths(settings)
        # No path named: the sample, shown by short paths.
        shown = sample_name if not (settings.paths or settings.stdlib) else None
    else:
        shown = None
    paths = list(paths)
    start = time.perf_counter()
    candidates: list[Candidate] = list(discover(paths, Selector.for_settings(settings), settings.force_exclude))
    sources: dict[str, str] = {}
    if shown is not None:
        sources = {shown(c.path): c.path for c in candidates}
        candidates = [Candidate(shown(c.path), c.problem) for c in candidates]
    reports: list[FileReport | None] = [None] * len(candidates)
    modules: list[str] = [""] * len(candidates)
    result_options = (settings.block_size, settings.count_bool_ops, settings.engine)
    options: Options = (*result_options, settings.cache_dir if settings.cache else "", result_options, settings.trees)
    tasks: list[Task] = []
    for i, c in enumerate(candidates):
        if c.problem:
            reports[i] = FileReport(c.path, "", "error", c.problem)
        else:
            real = sources.get(c.path, c.path)
            modules[i] = module_of(real)
            tasks.append((i, real, options))
    # An unchanged input with unchanged options reloads the whole run.
    cache = result_cache(options[3], result_options) if settings.cache and not settings.trees else None
    run = None
    quiet: set[str] = set()
    if cache is not None:
        passes = (settings.duplicates > 0, settings.min_similarity, settings.min_statements, settings.choke_points,
                  settings.graph_tests)
        run = (repr(paths), cache.run_key(repr((passes, [(c.path, c.problem) for c in candidates],
                                                [(modules[i], real, _fingerprint(real, quiet)) for i, real, _ in tasks]))))
        stored = cache.get_run(*run)
        if stored is not None:
            try:
                return _reload(stored, candidates, modules, reports, tasks, sources, settings, start, progress,
                               frozenset(quiet))
            except (TypeError, ValueError, KeyError, IndexError):
                pass  # not what a run stores: computed again and replaced
    timings = Timings()
    jobs = settings.jobs or default_jobs()
    if settings.jobs == 0 and len(tasks) < 8 * jobs:
        # Starting workers costs more than a handful of files.
        jobs = 1

    def take(done: Iterable[tuple[int, Compact, Timings, FlatTrees | None]]) -> None:
        for n, (i, packed, t, trees) in enumerate(done, 1):
            reports[i] = expand(candidates[i].path, modules[i], packed, trees)
            timings.add(t)
            if progress is not None:
                progress(n, len(tasks))

    # Largest files first: with workers, in small chunks, so that no worker
    # is left with a big file at the end while the others wait; in one
    # process, so that the largest syntax trees come while few records are
    # held.
    tasks.sort(key=lambda task: -_size(task[1]))
    with contextlib.ExitStack() as stack:
        pool = None
        if jobs > 1 and len(tasks) > 1:
            pool = stack.enter_context(worker_pool(min(jobs, len(tasks))))
            take(pool.imap_unordered(_work, tasks, chunksize=max(1, min(8, len(tasks) // (jobs * 16)))))
        else:
            take(map(_work, tasks))

        files = [r for r in reports if r is not None]
        result = ScanResult(files, timings=timings, sources=sources)
        whole_input(result, settings, pool)
    if run is not None and not any(r.internal for r in files):
        cache.put_run(*run, (tuple(compact(reports[i]) for i in sorted(i for i, _, _ in tasks)),
                             None if result.clusters is None else clusters.to_plain(result.clusters),
                             structure.to_plain(result.structure)))
    result.findings = collect(result, settings, frozenset(quiet))
    result.wall = time.perf_counter() - start
    return result


def _reload(stored, candidates, modules, reports, tasks, sources, settings, start, progress, quiet) -> ScanResult:
    """The result of a run from its cache entry."""
    g0 = time.perf_counter()
    compacts, found, graphs = stored
    order = sorted(i for i, _, _ in tasks)
    if len(compacts) != len(order):
        raise ValueError("a run of other files")
    for i, c in zip(order, compacts):
        reports[i] = expand(candidates[i].path, modules[i], c)
    if progress is not None:
        progress(len(tasks), len(tasks))
    result = ScanResult([r for r in reports if r is not None], sources=sources)
    result.clusters = None if found is None else clusters.from_plain(found)
    result.structure = structure.from_plain(graphs)
    result.whole_input = time.perf_counter() - g0
    result.findings = collect(result, settings, quiet)
    result.wall = time.perf_counter() - start
    return result


def whole_input(result: ScanResult, settings: Settings, pool=None) -> None:
    """The passes that look at all functions together; the Parquet writer
    runs them too, over a run's tables. With a pool of workers, one of them
    searches for near duplicates while this process builds the graphs."""
    g0 = time.perf_counter()
    functions = result.functions
    chosen = pending = None
    if settings.duplicates > 0:
        chosen = clusters.eligible(functions, settings.min_statements)
        if pool is not None:
            pending = pool.apply_async(clusters.near_pairs, (chosen.seqs, settings.min_similarity))
    result.structure = structure.analyse(result.files, functions, top=settings.choke_points,
                                         tests=settings.graph_tests)
    if chosen is not None:
        result.clusters = clusters.find_clusters(
            functions, min_similarity=settings.min_similarity, min_statements=settings.min_statements,
            chosen=chosen, found=None if pending is None else pending.get(),
        )
    result.whole_input = time.perf_counter() - g0


def worker_pool(processes: int):
    """Worker processes for the per-file analysis. spawn: a forked child of
    a process that has threads can deadlock, and the children only need file
    paths. Ctrl-C reaches the parent only: a worker interrupted inside the
    pool's queues leaves their locks held, and stopping the pool then waits
    forever."""
    import multiprocessing

    return multiprocessing.get_context("spawn").Pool(
        processes, initializer=signal.signal, initargs=(signal.SIGINT, signal.SIG_IGN)
    )


def default_jobs() -> int:
    """The cores this process may run on."""
    count = getattr(os, "process_cpu_count", None)  # 3.13
    if count is None:
        try:
            return max(1, len(os.sched_getaffinity(0)))
        except (AttributeError, OSError):
            count = os.cpu_count
    return max(1, count() or 1)


def is_tty(stream=None) -> bool:
    stream = stream if stream is not None else sys.stderr
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False
