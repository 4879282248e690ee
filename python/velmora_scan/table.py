"""Results as Arrow tables: one row per function, one row per file; and
runs written as a Parquet dataset that later runs append to.

The columns follow the records of `velmora_scan.model` field by field, so a
field added there becomes a column here. Two fields change form:

* ``kinds`` (node-kind codes, which depend on the interpreter version)
  becomes ``kind_counts``, a map from kind name to count with keys in name
  order, and ``kind_sequence``, the sequence itself as a list of
  dictionary-encoded kind names. Both are keyed by name, so tables written
  by different interpreters read and compare alike.
* ``calls`` and ``imports`` become lists of structs; a file row counts its
  functions instead of holding them.

An output directory holds one hive-partitioned dataset per table::

    OUT/functions/run=RUN/part-00000.parquet
    OUT/files/run=RUN/part-00000.parquet
    OUT/clusters/run=RUN/part-00000.parquet       whole-input passes, when run:
    OUT/calls/run=RUN/...                         clusters, calls, fans,
    ...                                           call_bottlenecks, modules,
                                                  module_imports, module_bottlenecks,
                                                  import_cycles
    OUT/runs/run=RUN/part-00000.parquet           written last: the run is complete

A run never touches another run's directories, so appending is safe; a
reader that wants finished runs only joins on ``runs``. The input is split
into partitions of files balanced by size; partition N of a run always
writes ``part-N`` of ``functions`` and ``files``, each first under a hidden
temporary name (readers skip names starting with ``.`` or ``_``) and then
renamed into place, so a partition is either absent or complete, and
writing it again (a retry) replaces it with the same rows.
"""

from __future__ import annotations

import contextlib
import dataclasses
import datetime
import glob
import heapq
import itertools
import json
import math
import os
import re
import signal
import sys
import threading
import time
import uuid
from collections import Counter
from dataclasses import dataclass, field
from operator import attrgetter
from typing import Callable, Iterable, Iterator

try:
    import pyarrow as pa
    import pyarrow.compute as pc
    import pyarrow.parquet as pq
except ImportError as exc:  # pragma: no cover - depends on the installation
    raise ImportError("tables and Parquet need pyarrow: pip install 'velmora[data]'") from exc

from .analysis import analyze_file
from .discover import Candidate, discover
from .findings import EXIT_CLEAN, EXIT_ERROR, EXIT_FINDINGS, Limits, file_findings, input_averages
from .kinds import KIND_NAMES
from .model import METRICS, FileReport, Finding, FunctionReport, ScanResult
from .scan import default_jobs, module_of, result_cache, worker_pool
from .selection import Selector
from .settings import Settings, version

SCHEMA_VERSION = 1
#: Per partition.
PARTITIONED = ("functions", "files")
#: Written once per run by the whole-input passes.
WHOLE_INPUT = ("clusters", "calls", "fans", "call_bottlenecks", "modules", "module_imports",
               "module_bottlenecks", "import_cycles")
TABLES = PARTITIONED + WHOLE_INPUT + ("runs",)

#: Source bytes per partition: a few seconds of analysis, so that a retry
#: repeats little and the partitions spread evenly over workers.
PARTITION_BYTES = 2 << 20
#: Function rows per record batch of `scan_batches`.
BATCH_ROWS = 8192
#: Function rows per Parquet row group.
ROW_GROUP_ROWS = 64 * 1024
#: The whole-input passes hold every function in one process; above this
#: many functions they are skipped.
WHOLE_INPUT_LIMIT = 500_000

_GLOB = re.compile(r"[*?[]")
_RUN_ID = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]{0,127}")


class UsageError(Exception):
    """A request that cannot be carried out as given (exit status 2)."""


# ---------------------------------------------------------------- schemas

_SCALAR = {"int": pa.int64(), "float": pa.float64(), "str": pa.string(), "bool": pa.bool_()}
_KIND = pa.dictionary(pa.int16(), pa.string())
_KIND_NAMES = pa.array(KIND_NAMES, pa.string())
_CALL = pa.struct([("form", pa.string()), ("base", pa.string()), ("name", pa.string())])
_IMPORT = pa.struct([
    ("level", pa.int64()), ("module", pa.string()), ("name", pa.string()),
    ("asname", pa.string()), ("top_level", pa.bool_()), ("line", pa.int64()),
])


def _scalar_fields(cls) -> list[tuple[str, pa.DataType]]:
    return [(f.name, _SCALAR[f.type]) for f in dataclasses.fields(cls) if f.type in _SCALAR]


def _metadata(table: str) -> dict[bytes, bytes]:
    return {b"velmora.table": table.encode(), b"velmora.schema_version": str(SCHEMA_VERSION).encode()}


_FUNCTION_SCALARS = _scalar_fields(FunctionReport)
_FILE_SCALARS = _scalar_fields(FileReport)

FUNCTION_SCHEMA = pa.schema(
    _FUNCTION_SCALARS + [
        ("kind_counts", pa.map_(pa.string(), pa.int64())),
        ("kind_sequence", pa.list_(_KIND)),
        ("calls", pa.list_(_CALL)),
    ],
    metadata=_metadata("functions"),
)
FILE_SCHEMA = pa.schema(
    _FILE_SCALARS + [("functions", pa.int64()), ("imports", pa.list_(_IMPORT))],
    metadata=_metadata("files"),
)
# Every field of the records is a column (or, for these, turned into one);
# syntax trees are not part of tables.
assert {f.name for f in dataclasses.fields(FunctionReport)} - {n for n, _ in _FUNCTION_SCALARS} == {"kinds", "calls", "tree"}
assert {f.name for f in dataclasses.fields(FileReport)} - {n for n, _ in _FILE_SCALARS} == {"functions", "imports"}


# ---------------------------------------------------------- records -> rows

def _columns(records: list, names: list[tuple[str, pa.DataType]]) -> list[pa.Array]:
    if not records:
        return [pa.array([], t) for _, t in names]
    get = attrgetter(*(n for n, _ in names))
    return [pa.array(col, t) for col, (_, t) in zip(zip(*map(get, records)), names)]


def _list_of_structs(rows: list[tuple[tuple, ...]], struct: pa.StructType) -> pa.Array:
    offsets = [0]
    flat: list[tuple] = []
    for items in rows:
        flat.extend(items)
        offsets.append(len(flat))
    children = list(zip(*flat)) if flat else [()] * struct.num_fields
    values = pa.StructArray.from_arrays(
        [pa.array(c, struct.field(i).type) for i, c in enumerate(children)],
        fields=list(struct),
    )
    return pa.ListArray.from_arrays(pa.array(offsets, pa.int32()), values)


def _kind_columns(kinds: list[bytes]) -> tuple[pa.Array, pa.Array]:
    """``kind_counts`` and ``kind_sequence`` of a batch, computed over the
    batch's codes as a whole rather than function by function."""
    flat = b"".join(kinds)
    offsets = pa.array([0, *itertools.accumulate(map(len, kinds))], pa.int32())
    codes = pa.Array.from_buffers(pa.uint8(), len(flat), [None, pa.py_buffer(flat)])
    sequences = pa.ListArray.from_arrays(offsets, pa.DictionaryArray.from_arrays(codes.cast(pa.int16()), _KIND_NAMES))
    # One key per (function, code); sorted keys put each function's kinds
    # together in code order, which is name order.
    keys = pc.add(pc.multiply(pc.list_parent_indices(sequences), 256), codes.cast(pa.int64()))
    counted = pc.value_counts(keys)
    order = pc.sort_indices(counted.field("values"))
    keys = pc.take(counted.field("values"), order)
    owners = pc.divide(keys, 256)
    ends = [0] * (len(kinds) + 1)
    if len(owners):
        runs = pc.run_end_encode(owners)
        for owner, end in zip(runs.values.to_pylist(), runs.run_ends.to_pylist()):
            ends[owner + 1] = end
    for i in range(1, len(ends)):       # functions without kinds end where the one before did
        ends[i] = max(ends[i], ends[i - 1])
    counts = pa.MapArray.from_arrays(
        pa.array(ends, pa.int32()),
        pc.take(_KIND_NAMES, pc.subtract(keys, pc.multiply(owners, 256))),
        pc.take(counted.field("counts"), order),
    )
    return counts, sequences


def function_batch(functions: list[FunctionReport]) -> pa.RecordBatch:
    return pa.RecordBatch.from_arrays(
        _columns(functions, _FUNCTION_SCALARS)
        + [*_kind_columns([f.kinds for f in functions]), _list_of_structs([f.calls for f in functions], _CALL)],
        schema=FUNCTION_SCHEMA,
    )


def file_batch(files: list[FileReport]) -> pa.RecordBatch:
    return pa.RecordBatch.from_arrays(
        _columns(files, _FILE_SCALARS)
        + [pa.array([len(r.functions) for r in files], pa.int64()),
           _list_of_structs([r.imports for r in files], _IMPORT)],
        schema=FILE_SCHEMA,
    )


# ---------------------------------------------------------- rows -> records

def _kind_bytes(column: pa.ChunkedArray | pa.Array) -> list[bytes]:
    """The kind sequences of a ``kind_sequence`` column as code bytes of
    this interpreter; names it does not know get codes after its own."""
    codes_of = {name: i for i, name in enumerate(KIND_NAMES)}
    chunks = column.chunks if isinstance(column, pa.ChunkedArray) else [column]
    out: list[bytes] = []
    for chunk in chunks:
        values = chunk.flatten()
        if not pa.types.is_dictionary(values.type):
            values = pc.dictionary_encode(values)
        table = []
        for name in values.dictionary.to_pylist():
            if name not in codes_of:
                codes_of[name] = len(codes_of)
            table.append(codes_of[name])
        if len(codes_of) > 256:
            raise ValueError("more node kinds than one byte can code")
        codes = pc.take(pa.array(table, pa.uint8()), values.indices) if len(values) else pa.array([], pa.uint8())
        flat = codes.buffers()[1].to_pybytes()[codes.offset: codes.offset + len(codes)] if len(codes) else b""
        pos = 0
        for n in pc.list_value_length(chunk).fill_null(0).to_pylist():
            out.append(flat[pos: pos + n])
            pos += n
    return out


RECORD_COLUMNS = [n for n, _ in _FUNCTION_SCALARS] + ["kind_sequence", "calls"]


def reports_from_tables(files: pa.Table, functions: pa.Table) -> list[FileReport]:
    """The records back from a run's tables: file rows in table order, each
    with its function rows in table order. Function rows are turned into
    records a batch at a time, so that only one batch is ever held twice."""
    scalar = [n for n, _ in _FUNCTION_SCALARS]
    by_file: dict[str, list[FunctionReport]] = {}
    for batch in functions.select(RECORD_COLUMNS).to_batches(max_chunksize=BATCH_ROWS):
        cols = [batch.column(n).to_pylist() for n in scalar]
        kinds = _kind_bytes(batch.column("kind_sequence"))
        calls = [tuple(tuple(c.values()) for c in row or ()) for row in batch.column("calls").to_pylist()]
        for values, k, c in zip(zip(*cols), kinds, calls):
            f = FunctionReport(**dict(zip(scalar, values)), kinds=k, calls=c)
            own = by_file.setdefault(f.file, [])
            if own:     # one copy of the texts every function of a file repeats
                f.file, f.module = own[0].file, own[0].module
            own.append(f)
    fscalar = [n for n, _ in _FILE_SCALARS]
    imports = [tuple(tuple(i.values()) for i in row or ()) for row in files.column("imports").to_pylist()]
    out = []
    for values, imp in zip(zip(*(files.column(n).to_pylist() for n in fscalar)), imports):
        r = FileReport(**dict(zip(fscalar, values)), imports=imp)
        r.functions = by_file.get(r.path, []) if r.status == "ok" else []
        out.append(r)
    return out


# ------------------------------------------------------------------ input

def expand(paths_or_globs: Iterable[str]) -> list[str]:
    """Paths as given; a pattern with ``*``, ``?`` or ``[`` is replaced by
    its matches in sorted order (``**`` spans directories), or kept as it
    is when nothing matches, so that discovery reports it missing."""
    out: list[str] = []
    for p in paths_or_globs:
        if _GLOB.search(p):
            out.extend(sorted(glob.glob(p, recursive=True)) or [p])
        else:
            out.append(p)
    return out


def _discover(paths: Iterable[str], settings: Settings) -> Iterator[Candidate]:
    return discover(paths, Selector.for_settings(settings), settings.force_exclude)


@dataclass(slots=True)
class Plan:
    partitions: list[list[Candidate]]
    order: list[str]        # every path in the order of discovery


def plan(
    paths: Iterable[str],
    settings: Settings | None = None,
    *,
    partition_bytes: int = PARTITION_BYTES,
    min_partitions: int = 1,
) -> Plan:
    """The files under ``paths`` split into partitions of about
    ``partition_bytes`` of source each (at least ``min_partitions`` while
    there are files), balanced by size: largest file first into the
    lightest partition. The same input gives the same partitions; each
    lists its files in the order of discovery. ``settings`` select the
    files."""
    sized: list[tuple[int, Candidate]] = []
    for c in _discover(paths, settings or Settings()):
        size = 0
        if not c.problem:
            with contextlib.suppress(OSError):
                size = os.stat(c.path).st_size
        # A file costs something however small it is.
        sized.append((size + 512, c))
    order = [c.path for _, c in sized]
    if not sized:
        return Plan([], order)
    total = sum(s for s, _ in sized)
    n = min(len(sized), max(min_partitions, math.ceil(total / max(partition_bytes, 1)), 1))
    bins: list[list[Candidate]] = [[] for _ in range(n)]
    heap = [(0, i) for i in range(n)]
    for size, c in sorted(sized, key=lambda e: (-e[0], e[1].path)):
        load, i = heapq.heappop(heap)
        bins[i].append(c)
        heapq.heappush(heap, (load + size, i))
    rank = {p: i for i, p in enumerate(order)}
    for b in bins:
        b.sort(key=lambda c: rank[c.path])
    return Plan(bins, order)


def analyze(entry: Candidate, settings: Settings) -> FileReport:
    """One file's report: the single place where table rows come from the
    per-file analysis (the engine and the result cache the settings name)."""
    if entry.problem:
        return FileReport(entry.path, "", "error", entry.problem)
    options = (settings.block_size, settings.count_bool_ops, settings.engine)
    return analyze_file(entry.path, module_of(entry.path), block_size=settings.block_size, count_bool_ops=settings.count_bool_ops,
                        engine=settings.engine, cache=result_cache(settings.cache_dir if settings.cache else "", options))


def _analyze_task(task: tuple[Candidate, Settings]) -> FileReport:
    return analyze(*task)


def _reports(entries: list[Candidate], settings: Settings, jobs: int) -> Iterator[FileReport]:
    if jobs > 1 and len(entries) > 1:
        with worker_pool(min(jobs, len(entries))) as pool:
            yield from pool.imap(_analyze_task, [(e, settings) for e in entries], chunksize=4)
    else:
        for e in entries:
            yield analyze(e, settings)


class _Rows:
    """File reports gathered until they hold ``limit`` functions."""

    def __init__(self, limit: int):
        self.limit = limit
        self.files: list[FileReport] = []
        self.count = 0

    def add(self, report: FileReport) -> bool:
        self.files.append(report)
        self.count += len(report.functions)
        return self.count >= self.limit

    def take(self) -> tuple[pa.RecordBatch, pa.RecordBatch]:
        files, self.files, self.count = self.files, [], 0
        return function_batch([f for r in files for f in r.functions]), file_batch(files)


def scan_batches(
    paths: Iterable[str],
    settings: Settings | None = None,
    *,
    batch_rows: int = BATCH_ROWS,
    progress: Callable[[int, int], None] | None = None,
    **overrides,
) -> Iterator[tuple[str, pa.RecordBatch]]:
    """Analyse ``paths`` and yield ``("functions", batch)`` and
    ``("files", batch)`` pairs as the work goes, a function batch holding
    about ``batch_rows`` rows (more only for a file with more functions),
    so that memory stays bounded whatever the input. Rows come in
    discovery order; ``settings.jobs`` worker processes share the files.
    Keyword arguments override single settings."""
    settings = (settings or Settings()).replace(**overrides)
    entries = list(_discover(paths, settings))
    rows = _Rows(max(1, batch_rows))
    for n, report in enumerate(_reports(entries, settings, settings.jobs or default_jobs()), 1):
        if progress is not None:
            progress(n, len(entries))
        if rows.add(report):
            functions, files = rows.take()
            yield "functions", functions
            yield "files", files
    if rows.files:
        functions, files = rows.take()
        yield "functions", functions
        yield "files", files


def read_batches(batches: Iterable[tuple[str, pa.RecordBatch]]) -> tuple[pa.Table, pa.Table]:
    """(functions, files) tables from the pairs `scan_batches` yields."""
    got: dict[str, list[pa.RecordBatch]] = {"functions": [], "files": []}
    for name, batch in batches:
        got[name].append(batch)
    return (pa.Table.from_batches(got["functions"], FUNCTION_SCHEMA),
            pa.Table.from_batches(got["files"], FILE_SCHEMA))


# ---------------------------------------------------------------- writing

def run_dir(output: str, table: str, run: str) -> str:
    return os.path.join(output, table, f"run={run}")


def part_name(index: int) -> str:
    return f"part-{index:05d}.parquet"


def new_run_id() -> str:
    now = datetime.datetime.now(datetime.timezone.utc)
    return f"{now:%Y%m%dT%H%M%SZ}-{uuid.uuid4().hex[:6]}"


def start_run(output: str, run: str | None) -> str:
    """Checks the run id and claims its directories; a run id that is
    already in ``output`` is refused, so that no run mixes with another."""
    run = run or new_run_id()
    if not _RUN_ID.fullmatch(run):
        raise UsageError(f"run id {run!r}: use letters, digits, '.', '_' and '-', starting with a letter or digit")
    taken = [t for t in TABLES if os.path.exists(run_dir(output, t, run))]
    if taken:
        raise UsageError(f"run {run} already exists in {output} ({', '.join(taken)}); choose another --run-id")
    try:
        for t in PARTITIONED:
            os.makedirs(run_dir(output, t, run))
    except OSError as exc:
        raise UsageError(f"cannot create the output in {output}: {exc.strerror or exc}") from exc
    return run


def remove_temporaries(output: str, run: str) -> None:
    """Leftovers of partitions whose writing was cut short."""
    for t in TABLES:
        for p in glob.glob(os.path.join(glob.escape(run_dir(output, t, run)), ".*.tmp")):
            with contextlib.suppress(OSError):
                os.unlink(p)


@contextlib.contextmanager
def _interrupts_deferred():
    """Ctrl-C waits until the block is done: the renames that publish one
    partition's tables happen together or not at all."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    caught: list = []
    previous = signal.signal(signal.SIGINT, lambda *a: caught.append(a))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
        if caught:
            raise KeyboardInterrupt


class _Part:
    """One table's file of one partition, written under a temporary name;
    batches are gathered into row groups of about ``ROW_GROUP_ROWS``."""

    def __init__(self, output: str, table: str, run: str, index: int, schema: pa.Schema):
        directory = run_dir(output, table, run)
        self.final = os.path.join(directory, part_name(index))
        self.temp = os.path.join(directory, f".{part_name(index)}.{uuid.uuid4().hex}.tmp")
        self.writer = pq.ParquetWriter(self.temp, schema, compression="zstd")
        self.pending: list[pa.RecordBatch] = []
        self.rows = 0

    def add(self, batch: pa.RecordBatch) -> None:
        if not batch.num_rows:
            return
        self.pending.append(batch)
        self.rows += batch.num_rows
        if self.rows >= ROW_GROUP_ROWS:
            self.flush()

    def flush(self) -> None:
        if self.pending:
            self.writer.write_table(pa.Table.from_batches(self.pending), row_group_size=ROW_GROUP_ROWS)
        self.pending, self.rows = [], 0

    def close(self) -> None:
        self.flush()
        self.writer.close()

    def discard(self) -> None:
        with contextlib.suppress(Exception):
            self.writer.close()
        with contextlib.suppress(OSError):
            os.unlink(self.temp)


@dataclass(slots=True)
class PartSummary:
    index: int
    files: int = 0
    functions: int = 0
    problems: list[Finding] = field(default_factory=list)   # files not analysed
    counts: Counter = field(default_factory=Counter)         # the other findings, by kind
    totals: Counter = field(default_factory=Counter)         # each metric summed over the functions
    seconds: float = 0.0                     # CPU time of the partition


def write_partition(
    output: str,
    run: str,
    index: int,
    entries: list[Candidate],
    settings: Settings,
    progress: Callable[[int], None] | None = None,
) -> PartSummary:
    """Analyse one partition's files and publish its ``functions`` and
    ``files`` parts. Writing the same partition again replaces both with
    the same rows; an interruption leaves neither."""
    t0 = time.process_time()
    summary = PartSummary(index)
    parts = [_Part(output, "functions", run, index, FUNCTION_SCHEMA), _Part(output, "files", run, index, FILE_SCHEMA)]
    limits = Limits(settings)
    try:
        rows = _Rows(BATCH_ROWS)
        for report in _reports(entries, settings, 1):
            summary.files += 1
            summary.functions += len(report.functions)
            for finding in file_findings(report, limits, settings):
                if finding.kind in ("file", "internal"):
                    summary.problems.append(finding)
                else:
                    summary.counts[finding.kind] += 1
            for f in report.functions:
                for m in METRICS:
                    summary.totals[m] += f.metric(m)
            if rows.add(report):
                for part, batch in zip(parts, rows.take()):
                    part.add(batch)
            if progress is not None:
                progress(summary.files)
        for part, batch in zip(parts, rows.take()):
            part.add(batch)
            part.close()
        with _interrupts_deferred():
            # Functions first: a file row, once there, has its functions.
            for part in parts:
                os.replace(part.temp, part.final)
    except BaseException:
        for part in parts:
            part.discard()
        raise
    summary.seconds = time.process_time() - t0
    return summary


def _partition_task(task) -> PartSummary:
    return write_partition(*task)


# ------------------------------------------------------------------- runs

@dataclass(slots=True)
class RunSummary:
    run: str
    output: str
    partitions: int = 0
    files: int = 0
    functions: int = 0
    problems: list[Finding] = field(default_factory=list)   # files not analysed, in path order
    counts: Counter = field(default_factory=Counter)         # the other findings, by kind
    totals: Counter = field(default_factory=Counter)
    averages: list[Finding] = field(default_factory=list)   # the input's averages above their limits
    notes: list[str] = field(default_factory=list)
    resubmitted: int = 0         # partitions submitted again after a lost worker
    wall: float = 0.0
    cpu: float = 0.0             # CPU seconds of the partitions, summed
    second_stage: float = 0.0    # seconds of the whole-input passes over the tables

    def add(self, part: PartSummary) -> None:
        self.files += part.files
        self.functions += part.functions
        self.problems.extend(part.problems)
        self.counts.update(part.counts)
        self.totals.update(part.totals)
        self.cpu += part.seconds

    def exit_status(self) -> int:
        if any(p.kind == "internal" for p in self.problems):
            return EXIT_ERROR
        return EXIT_FINDINGS if self.problems or self.averages or self.counts else EXIT_CLEAN


def read_run(output: str, run: str, table: str, columns: list[str] | None = None) -> pa.Table:
    """One table of one run, its partitions in order."""
    directory = run_dir(output, table, run)
    names = sorted(n for n in os.listdir(directory) if n.startswith("part-") and n.endswith(".parquet"))
    tables = [pq.read_table(os.path.join(directory, n), columns=columns) for n in names]
    if tables:
        return pa.concat_tables(tables)
    schema = {"functions": FUNCTION_SCHEMA, "files": FILE_SCHEMA}[table]
    return schema.empty_table() if columns is None else schema.empty_table().select(columns)


def whole_input_rows(result: ScanResult) -> dict[str, list[dict]]:
    """The whole-input passes' results as table rows, field for field as
    the JSON report has them; a function is referred to by (file,
    qualname, line)."""
    functions = result.functions

    def ref(i: int) -> dict:
        f = functions[i]
        return {"file": f.file, "qualname": f.qualname, "line": f.line}

    out: dict[str, list[dict]] = {}
    if result.clusters is not None:
        out["clusters"] = [
            {"cluster": n, "duplicated_lines": c.weight, "lines": c.lines, "representative": ref(c.representative),
             "member": ref(m.function), "distance": m.distance, "similarity": m.similarity,
             "insertions": m.insertions, "deletions": m.deletions, "substitutions": m.substitutions}
            for n, c in enumerate(result.clusters.clusters) for m in c.members
        ]
    s = result.structure
    if s is not None:
        names = s.modules

        def bottleneck(b, name) -> dict:
            return {"source": name(b.source), "target": name(b.target), "curvature": b.curvature,
                    "source_degree": b.source_degree, "target_degree": b.target_degree,
                    "source_part": b.source_part, "target_part": b.target_part, "source_size": b.source_size,
                    "target_size": b.target_size, "links": len(b.links)}

        out["calls"] = [{"caller": ref(e.caller), "callee": ref(e.callee), "sites": e.count,
                         "directed_curvature": e.directed} for e in s.calls]
        out["fans"] = [{**ref(i), "fan_in": a, "fan_out": b} for i, (a, b) in enumerate(zip(s.fan_in, s.fan_out))]
        out["call_bottlenecks"] = [bottleneck(b, ref) for b in s.call_bottlenecks]
        out["modules"] = [{"module": m, "file": f, "fan_in": i, "fan_out": o}
                          for m, f, i, o in zip(names, s.module_files, s.module_fan_in, s.module_fan_out)]
        out["module_imports"] = [{"source": names[e.source], "target": names[e.target], "names": e.count,
                                  "line": e.line, "module_level": e.top_level} for e in s.imports]
        out["module_bottlenecks"] = [bottleneck(b, names.__getitem__) for b in s.module_bottlenecks]
        out["import_cycles"] = [
            {"modules": [names[i] for i in c.members], "cycle": [names[i] for i in c.cycle], "deferred": deferred}
            for deferred, found in ((False, s.cycles), (True, s.deferred_cycles)) for c in found
        ]
    return out


def _write_table(output: str, table: str, run: str, data: pa.Table) -> None:
    directory = run_dir(output, table, run)
    os.makedirs(directory, exist_ok=True)
    temp = os.path.join(directory, f".{part_name(0)}.{uuid.uuid4().hex}.tmp")
    try:
        pq.write_table(data.replace_schema_metadata(_metadata(table)), temp, compression="zstd")
        os.replace(temp, os.path.join(directory, part_name(0)))
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temp)
        raise


def whole_input(output: str, run: str, settings: Settings, summary: RunSummary, order: list[str],
                limit: int) -> None:
    """The passes over all functions, run on this machine over the run's
    written tables, with the files in the order of discovery (``order``) as
    a scan has them; skipped with a note when the run is too large."""
    from .scan import whole_input as passes

    if summary.functions > limit:
        summary.notes.append(
            f"near-duplicate clusters and the call and module graphs skipped: {summary.functions:,} functions "
            f"are more than the {limit:,} these passes can hold in one process"
        )
        return
    files = reports_from_tables(read_run(output, run, "files"), read_run(output, run, "functions", RECORD_COLUMNS))
    rank = {p: i for i, p in enumerate(order)}
    files.sort(key=lambda r: rank.get(r.path, len(rank)))
    result = ScanResult(files)
    passes(result, settings)
    for name, rows in whole_input_rows(result).items():
        if rows:
            _write_table(output, name, run, pa.Table.from_pylist(rows))
        summary.notes.append(f"{name}: {len(rows):,} rows")


def finish_run(output: str, run: str, settings: Settings, summary: RunSummary, order: list[str],
               started: float, limit: int = WHOLE_INPUT_LIMIT) -> RunSummary:
    """Second stage and the ``runs`` row that marks the run complete."""
    # Findings in path order, whatever order the partitions finished in.
    summary.problems.sort(key=lambda f: f.path)
    summary.averages = input_averages(summary.totals, summary.functions, settings)
    t0 = time.perf_counter()
    whole_input(output, run, settings, summary, order, limit)
    summary.second_stage = time.perf_counter() - t0
    remove_temporaries(output, run)
    summary.wall = time.perf_counter() - started
    settings_json = json.dumps(
        {k: v for k, v in dataclasses.asdict(settings).items() if k not in ("paths", "progress", "timings")},
        sort_keys=True,
    )
    row = {
        "tool": "velmora-scan", "version": version(), "schema_version": SCHEMA_VERSION,
        "python": sys.version.split()[0],
        "finished": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "partitions": summary.partitions, "files": summary.files, "functions": summary.functions,
        "files_not_analysed": len(summary.problems),
        "findings": json.dumps({**summary.counts, "average": summary.counts["average"] + len(summary.averages)},
                               sort_keys=True),
        "settings": settings_json, "notes": summary.notes,
    }
    _write_table(output, "runs", run, pa.Table.from_pylist([row]))
    return summary


def write_parquet(
    paths: Iterable[str],
    output: str,
    settings: Settings | None = None,
    *,
    run_id: str | None = None,
    partition_bytes: int = PARTITION_BYTES,
    whole_input_limit: int = WHOLE_INPUT_LIMIT,
    progress: Callable[[int, int], None] | None = None,
    **overrides,
) -> RunSummary:
    """Analyse ``paths`` on this machine (``settings.jobs`` processes) and
    write the run to ``output``. Ctrl-C leaves the partitions written so far,
    each complete, and no ``runs`` row."""
    settings = (settings or Settings()).replace(**overrides)
    started = time.perf_counter()
    run = start_run(output, run_id)
    planned = plan(paths, settings, partition_bytes=partition_bytes)
    parts = planned.partitions
    summary = RunSummary(run, output, partitions=len(parts))
    total = sum(len(p) for p in parts)
    try:
        jobs = settings.jobs or default_jobs()
        if jobs > 1 and len(parts) > 1:
            tasks = [(output, run, i, p, settings) for i, p in enumerate(parts)]
            with worker_pool(min(jobs, len(parts))) as pool:
                for part in pool.imap_unordered(_partition_task, tasks):
                    summary.add(part)
                    if progress is not None:
                        progress(summary.files, total)
        else:
            for i, p in enumerate(parts):
                before = summary.files
                tick = None if progress is None else (lambda n, b=before: progress(b + n, total))
                summary.add(write_partition(output, run, i, p, settings, tick))
    except BaseException:
        remove_temporaries(output, run)
        raise
    return finish_run(output, run, settings, summary, planned.order, started, whole_input_limit)


def describe(summary: RunSummary, stream) -> None:
    """The text a run prints: its problems as finding lines, then what was
    written where."""
    for p in summary.problems + summary.averages:
        stream.write(p.text() + "\n")
    stream.write(
        f"run {summary.run}: {summary.functions:,} functions of {summary.files:,} files "
        f"({len(summary.problems):,} not analysed) in {summary.partitions} partitions -> {summary.output}\n"
    )
    for kind, n in sorted(summary.counts.items()):
        stream.write(f"{n:,} {kind} findings (not listed; the tables hold the numbers)\n")
    for note in summary.notes:
        stream.write(note + "\n")


def run(settings: Settings, paths: list[str], progress, stdout, stderr) -> int:
    """``--format parquet`` and ``--dask`` from the command line."""
    run_id = settings.run_id or new_run_id()
    try:
        if not settings.output:
            raise UsageError("--format parquet and --dask need --output DIR")
        if settings.format not in ("text", "parquet"):
            raise UsageError(f"--dask writes Parquet; --format {settings.format} does not apply")
        if settings.dask:
            try:
                from .dask import scan_to_parquet
            except ImportError as exc:
                raise UsageError(str(exc)) from exc
            summary = scan_to_parquet(paths, settings.output, address=settings.dask, settings=settings,
                                      run_id=run_id, progress=progress is not None)
        else:
            summary = write_parquet(paths, settings.output, settings, run_id=run_id, progress=progress)
    except UsageError as exc:
        stderr.write(f"velmora-scan: error: {exc}\n")
        return EXIT_ERROR
    except KeyboardInterrupt:
        if os.path.isdir(run_dir(settings.output, "functions", run_id)):
            stderr.write(
                f"\nvelmora-scan: run {run_id} is incomplete: the partitions it finished are in "
                f"{settings.output}, and it has no row in {os.path.join(settings.output, 'runs')}\n"
            )
        raise
    describe(summary, stdout)
    if settings.timings:
        stderr.write(f"time: {summary.cpu:.2f}s CPU in the partitions, whole-input passes "
                     f"{summary.second_stage:.2f}s, wall {summary.wall:.2f}s\n")
    return summary.exit_status()
