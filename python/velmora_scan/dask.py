"""Corpus-scale runs on a Dask cluster.

    scan_to_parquet(["/data/repos/**/*.py"], "/shared/velmora", client)
    velmora-scan /data/repos --dask tcp://scheduler:8786 --output /shared/velmora

The client lists the files and splits them into partitions balanced by
size, several per worker thread, so that a lost worker costs little and a
slow one does not hold up the rest. Each worker analyses its partitions and
writes their Parquet parts itself (`table.write_partition`): rows never
travel through the scheduler, only a small summary per partition does.
Partition N of a run always writes the same file names, under a temporary
name first, so a partition that runs twice (a retry, a worker that was lost
and its work rescheduled) leaves one copy of its rows.

The workers read the input and write the output at the paths the client
gives, so both must be on a file system every worker sees at the same
place, and each worker needs velmora installed. The passes over all
functions (duplicates, choke points) run afterwards on the client over the
written tables, or are skipped with a note when the run is too large for
one process (`table.whole_input`).
"""

from __future__ import annotations

import contextlib
import os
import sys
import time
from typing import Callable, Iterable

try:
    import distributed
    from distributed import Client, LocalCluster, as_completed
except ImportError as exc:  # pragma: no cover - depends on the installation
    raise ImportError("Dask runs need dask[distributed]: pip install 'velmora[dask]'") from exc

from .scan import default_jobs
from .settings import Settings
from .table import (
    PARTITION_BYTES,
    WHOLE_INPUT_LIMIT,
    RunSummary,
    UsageError,
    expand,
    finish_run,
    plan,
    start_run,
    write_partition,
)

#: Partitions per worker thread.
PARTITIONS_PER_THREAD = 4
#: Seconds to wait for the scheduler named on the command line.
CONNECT_TIMEOUT = 30
#: Rounds of submitting the partitions that were lost (cancelled by a
#: restart of the cluster, or failed on every retry).
ROUNDS = 3


def local_client(workers: int) -> Client:
    """A cluster of ``workers`` single-threaded processes on this machine:
    the analysis holds the interpreter lock, so threads would not help."""
    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None)
    return Client(cluster)


def scan_to_parquet(
    paths_or_globs: Iterable[str],
    output: str,
    client: Client | None = None,
    *,
    address: str | None = None,
    settings: Settings | None = None,
    run_id: str | None = None,
    partition_bytes: int = PARTITION_BYTES,
    partitions_per_thread: int = PARTITIONS_PER_THREAD,
    whole_input_limit: int = WHOLE_INPUT_LIMIT,
    progress: bool = False,
    on_partition: Callable[[int, int], None] | None = None,
    **overrides,
) -> RunSummary:
    """Analyse the files under ``paths_or_globs`` on a Dask cluster and
    write the run to ``output`` (see `velmora_scan.table` for the layout).

    ``client`` is used as it is; without one, ``address`` names a scheduler
    to connect to, and without that (or with ``"local"``) a cluster of
    ``settings.jobs`` worker processes (one per core when jobs is 0) is
    started here and closed at the end. The workers use the result cache
    only when its directory is absolute (one that every worker sees). ``progress`` draws Dask's progress
    bar on standard error; ``on_partition(done, total)`` is called as each
    partition is written. Ctrl-C cancels the work: partitions already
    written stay, each complete, and the run gets no ``runs`` row.
    """
    settings = (settings or Settings()).replace(**overrides)
    if settings.cache and not os.path.isabs(settings.cache_dir):
        # A relative cache directory would land wherever each worker runs.
        settings = settings.replace(cache=False)
    started = time.perf_counter()
    # Workers resolve a relative output against their own directory.
    output = os.path.abspath(output)
    paths = expand(paths_or_globs)
    own = None
    if client is None:
        if address in (None, "local"):
            own = client = local_client(settings.jobs or default_jobs())
        else:
            try:
                own = client = Client(address, timeout=CONNECT_TIMEOUT)
            except (OSError, TimeoutError) as exc:
                raise UsageError(f"cannot reach the Dask scheduler at {address}: {exc}") from exc
    try:
        run = start_run(output, run_id)
        threads = sum(client.nthreads().values()) or 1
        planned = plan(paths, settings, partition_bytes=partition_bytes,
                       min_partitions=partitions_per_thread * threads)
        parts = planned.partitions
        summary = RunSummary(run, output, partitions=len(parts))
        _submit_all(client, output, run, parts, settings, summary, progress, on_partition)
        return finish_run(output, run, settings, summary, planned.order, started, whole_input_limit)
    finally:
        if own is not None:
            cluster = own.cluster
            own.close()
            if cluster is not None:
                cluster.close()


def _submit_all(client, output, run, parts, settings, summary, progress, on_partition) -> None:
    pending = set(range(len(parts)))
    futures: dict = {}
    failure: BaseException | None = None
    try:
        for attempt in range(ROUNDS):
            if not pending:
                return
            if attempt:
                summary.resubmitted += len(pending)
                print(f"velmora-scan: submitting {len(pending)} lost partitions again ({failure!r})", file=sys.stderr)
            # Keys name the run, the partition and the round: a key is
            # never reused while the scheduler may still remember it.
            futures = {
                client.submit(write_partition, output, run, i, parts[i], settings,
                              key=f"velmora-scan-partition-{run}-{i:05d}-{attempt}", retries=1, pure=False): i
                for i in sorted(pending)
            }
            if progress:
                with contextlib.redirect_stdout(sys.stderr):
                    distributed.progress(list(futures))
            for future in as_completed(futures):
                i = futures[future]
                if future.status == "finished":
                    summary.add(future.result())
                    pending.discard(i)
                    if on_partition is not None:
                        on_partition(len(parts) - len(pending), len(parts))
                elif future.status == "error":
                    failure = future.exception()
                else:
                    failure = failure or RuntimeError(f"partition {i} was {future.status}")
        if pending:
            raise RuntimeError(
                f"{len(pending)} partitions of run {run} could not be written in {ROUNDS} rounds"
            ) from failure
    except BaseException:
        # A partition already running goes on to the end (Dask cannot stop
        # a running task) and publishes complete parts; its temporary files
        # are its own until then, so they stay.
        client.cancel(list(futures))
        raise
