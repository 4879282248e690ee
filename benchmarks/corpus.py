"""Rows per second of velmora-scan's Parquet output at corpus scale: one
process against a Dask LocalCluster, on the same files.

    python benchmarks/corpus.py [--root DIR ...] [--workers 2] [--results benchmarks/RESULTS.md]

Default roots: the running interpreter's standard library and the packages
django and sympy where this interpreter can import them (otherwise name
their directories with --root, for instance those of a scratch venv with
``pip install django sympy``). Both runs write a run of the same input to
a scratch directory: first `table.write_parquet` in this process, then
`dask.scan_to_parquet` on a cluster of ``--workers`` single-threaded worker
processes, started before the clock; both cold (no result cache). The two tables are compared row for
row (sorted by identity) before any figure is printed.

Figures: wall time and function rows per second of each run, for the whole
run and for the partition phase alone (the whole-input passes run on one
machine after it); speed-up = one process's wall time / the cluster's;
scaling efficiency = speed-up / workers. CPU seconds are this process's
plus, for the cluster, those its partitions report. Wall figures need an
idle machine: the load average before and after is recorded with them.
"""

from __future__ import annotations

import argparse
import datetime
import importlib.util
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time

from velmora_scan import stdlib_root, table
from velmora_scan.dask import local_client, scan_to_parquet

IDENTITY = [("file", "ascending"), ("line", "ascending"), ("column", "ascending"), ("qualname", "ascending")]
BEGIN, END = "<!-- corpus:begin -->", "<!-- corpus:end -->"


def default_roots() -> list[str]:
    roots = [stdlib_root()]
    for name in ("django", "sympy"):
        spec = importlib.util.find_spec(name)
        if spec is not None and spec.submodule_search_locations:
            roots.append(list(spec.submodule_search_locations)[0])
    return roots


def _hwm_mib() -> float:
    """This process's peak resident memory since the last `_reset_hwm`
    (ru_maxrss would carry the parent's peak into a spawned worker)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def _reset_hwm() -> None:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def measure(roots: list[str], workers: int, scratch: str) -> tuple[list[dict], dict]:
    one_out, many_out = os.path.join(scratch, "one"), os.path.join(scratch, "many")
    phase: dict = {}

    def end_of_phase(done: int, total: int) -> None:
        if done == total:   # the last file: the partitions are written
            phase.update(wall=time.perf_counter(), cpu=time.process_time(), peak=_hwm_mib())

    _reset_hwm()
    c0, w0 = time.process_time(), time.perf_counter()
    s = table.write_parquet(roots, one_out, run_id="bench", progress=end_of_phase, jobs=1, cache=False)
    one = {"label": "one process", "summary": s, "wall": time.perf_counter() - w0,
           "cpu": time.process_time() - c0, "phase": phase["wall"] - w0, "phase_cpu": phase["cpu"] - c0,
           "phase_peak": phase["peak"], "peak": _hwm_mib()}
    print(f"one process: {s.functions:,} functions in {one['wall']:.1f} s", file=sys.stderr)

    t0 = time.perf_counter()
    client = local_client(workers)
    startup = time.perf_counter() - t0
    try:
        _reset_hwm()
        c0, w0 = time.process_time(), time.perf_counter()
        s = scan_to_parquet(roots, many_out, client, run_id="bench", cache=False)
        wall = time.perf_counter() - w0
        # Partition CPU is what the workers report; the client's own time
        # (planning, gathering summaries, the second stage) comes on top.
        many = {"label": f"LocalCluster, {workers} workers", "summary": s, "wall": wall,
                "cpu": time.process_time() - c0 + s.cpu, "phase": wall - s.second_stage, "phase_cpu": s.cpu,
                "phase_peak": max(client.run(_hwm_mib).values()), "peak": _hwm_mib()}
    finally:
        cluster = client.cluster
        client.close()
        cluster.close()
    print(f"cluster: {s.functions:,} functions in {many['wall']:.1f} s", file=sys.stderr)

    for name, key in (("functions", IDENTITY), ("files", [("path", "ascending")])):
        a = table.read_run(one_out, "bench", name).sort_by(key)
        b = table.read_run(many_out, "bench", name).sort_by(key)
        if not a.equals(b):
            raise SystemExit(f"the {name} tables of the two runs differ")
    return [one, many], {"startup": startup, "partitions": many["summary"].partitions}


def render(rows: list[dict], extra: dict, roots: list[str], workers: int, load: tuple[float, float]) -> str:
    one, many = rows
    n = one["summary"].functions
    files = one["summary"].files
    speedup = one["wall"] / many["wall"]
    phase_speedup = one["phase"] / many["phase"]
    commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True,
                            cwd=os.path.dirname(os.path.abspath(__file__))).stdout.strip() or "?"
    lines = [
        BEGIN,
        "## Corpus scale: Parquet on one process and on a Dask LocalCluster",
        "",
        f"- `benchmarks/corpus.py --workers {workers}` at commit {commit}, "
        f"{datetime.datetime.now(datetime.timezone.utc):%Y-%m-%dT%H:%M}Z, Python {platform.python_version()}, "
        f"{os.cpu_count()} cores",
        f"- corpus: {', '.join(f'`{r}`' for r in roots)}: {files:,} files, {n:,} functions "
        f"({len(one['summary'].problems)} files not analysed, listed as status rows)",
        f"- 1-minute load average {load[0]:.2f} before, {load[1]:.2f} after (2 cores: above about "
        f"{workers:.0f} during the cluster run, other work shared the machine)",
        f"- cluster: {extra['partitions']} partitions, started in {extra['startup']:.1f} s (not in the times); "
        "the two runs' tables are equal row for row",
        "",
        "| run | wall | rows/s | partition phase: wall | rows/s | CPU | peak RSS | whole-input passes | "
        "CPU, whole run | peak RSS, whole run |",
        "|---|---|---|---|---|---|---|---|---|---|",
    ]
    for r in rows:
        s = r["summary"]
        lines.append(
            f"| {r['label']} | {r['wall']:.1f} s | {n / r['wall']:,.0f} | {r['phase']:.1f} s | "
            f"{n / r['phase']:,.0f} | {r['phase_cpu']:.1f} s | {r['phase_peak']:.0f} MiB | "
            f"{s.second_stage:.1f} s | {r['cpu']:.1f} s | {r['peak']:.0f} MiB |"
        )
    cpu_ratio = one["phase_cpu"] / many["phase_cpu"]
    lines += [
        "",
        f"Speed-up {speedup:.2f}x, scaling efficiency {speedup / workers:.0%} for the whole run; "
        f"{phase_speedup:.2f}x, {phase_speedup / workers:.0%} for the partition phase. The partitions cost "
        f"{1 / cpu_ratio:.2f}x the CPU on the cluster that they cost in one process. Peak RSS of the "
        "partition phase: this process, or the largest worker; of the whole run: this process (the "
        "whole-input passes hold every function).",
        END,
    ]
    return "\n".join(lines) + "\n"


def write_results(path: str, block: str) -> None:
    text = open(path, encoding="utf-8").read() if os.path.exists(path) else ""
    if BEGIN in text and END in text:
        head, rest = text.split(BEGIN, 1)
        text = head + block.rstrip("\n") + rest.split(END, 1)[1]
    else:
        text = text.rstrip("\n") + "\n\n" + block
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--root", action="append", help="a directory of the corpus (repeatable)")
    p.add_argument("--workers", type=int, default=2)
    p.add_argument("--results", help="replace this benchmark's section of a results file")
    args = p.parse_args()
    roots = args.root or default_roots()
    load0 = os.getloadavg()[0]
    scratch = tempfile.mkdtemp(prefix="velmora-corpus-")
    try:
        rows, extra = measure(roots, args.workers, scratch)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    block = render(rows, extra, roots, args.workers, (load0, os.getloadavg()[0]))
    print(block)
    if args.results:
        write_results(args.results, block)


if __name__ == "__main__":
    main()
