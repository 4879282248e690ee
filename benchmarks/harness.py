"""Timing, memory probes, exponent fits and the result table.

Timing is a plain timeit-style loop: one warm-up call, then enough calls per
sample that a sample lasts at least ``min_sample`` seconds, several samples,
and the median of the per-call times.  The garbage collector is collected
before and disabled during each sample so that a collection triggered by one
contender's garbage is not billed to the next.
"""

from __future__ import annotations

import gc
import math
import os
import re
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field
from typing import Callable


@dataclass
class Settings:
    quick: bool = False
    # Seconds one sample should last at least (calls are looped to reach it).
    min_sample: float = 0.05
    samples: int = 5
    # A contender whose warm-up call takes longer than this gets fewer samples.
    slow_call: float = 2.0

    @classmethod
    def for_mode(cls, quick: bool) -> "Settings":
        if quick:
            return cls(quick=True, min_sample=0.01, samples=3, slow_call=0.5)
        return cls()


def _run_sample(fn: Callable[[], object], number: int) -> float:
    gc.collect()
    enabled = gc.isenabled()
    gc.disable()
    try:
        start = time.perf_counter()
        for _ in range(number):
            fn()
        return (time.perf_counter() - start) / number
    finally:
        if enabled:
            gc.enable()


def median_time(fn: Callable[[], object], settings: Settings) -> float:
    """Median seconds per call of ``fn`` (warm-up call excluded)."""
    first = _run_sample(fn, 1)
    if first >= settings.slow_call * 5:
        # Minutes-long reference loops: the warm-up call is the measurement.
        return first
    if first >= settings.slow_call:
        runs = [first] + [_run_sample(fn, 1) for _ in range(2)]
        return statistics.median(runs)
    number = max(1, math.ceil(settings.min_sample / max(first, 1e-9)))
    return statistics.median(_run_sample(fn, number) for _ in range(settings.samples))


# ---------------------------------------------------------------- memory


def _status_kib(key: str) -> int:
    with open("/proc/self/status") as fh:
        match = re.search(rf"^{key}:\s+(\d+) kB", fh.read(), re.MULTILINE)
    return int(match.group(1)) if match else 0


def reset_peak() -> bool:
    """Reset VmHWM to the current RSS (Linux clear_refs mode 5)."""
    try:
        with open("/proc/self/clear_refs", "w") as fh:
            fh.write("5")
        return True
    except OSError:
        return False


def peak_delta_mib(fn: Callable[[], object]) -> float:
    """Peak resident memory one call of ``fn`` adds over the current RSS.

    tracemalloc sees only Python's allocator, not the C++ heap, so this
    reads the kernel's high-water mark around the call instead.  Meant to
    run in a fresh child process (see ``measure_in_child``) so that earlier
    work does not leave freed-but-resident memory behind.
    """
    gc.collect()
    if not reset_peak():
        raise RuntimeError("cannot reset VmHWM on this kernel")
    base = _status_kib("VmRSS")
    result = fn()
    peak = _status_kib("VmHWM")
    del result
    return (peak - base) / 1024.0


def measure_in_child(case: str, size: int, contender: str) -> float | None:
    """Run ``memprobe.py case size contender`` in a new interpreter."""
    here = os.path.dirname(os.path.abspath(__file__))
    proc = subprocess.run(
        [sys.executable, os.path.join(here, "memprobe.py"), case, str(size), contender],
        capture_output=True,
        text=True,
        env=os.environ.copy(),
    )
    if proc.returncode != 0:
        sys.stderr.write(proc.stderr)
        return None
    return float(proc.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------- growth


def fit_exponent(sizes: list[float], times: list[float]) -> float | None:
    """Least-squares slope of log(time) over log(size)."""
    pts = [(math.log(s), math.log(t)) for s, t in zip(sizes, times) if s > 0 and t and t > 0]
    if len(pts) < 2:
        return None
    mx = sum(p[0] for p in pts) / len(pts)
    my = sum(p[1] for p in pts) / len(pts)
    sxx = sum((p[0] - mx) ** 2 for p in pts)
    if sxx == 0:
        return None
    return sum((p[0] - mx) * (p[1] - my) for p in pts) / sxx


# ---------------------------------------------------------------- table


@dataclass
class Row:
    area: str
    op: str
    size: str
    velmora: float | None
    peer: str = ""
    peer_time: float | None = None
    target: float | None = None  # the ratio velmora / peer must not exceed
    memory: str = ""
    note: str = ""
    ok: bool | None = None  # agreement of results, where checked
    extra: dict = field(default_factory=dict)

    @property
    def ratio(self) -> float | None:
        if self.velmora is None or not self.peer_time:
            return None
        return self.velmora / self.peer_time

    @property
    def missed(self) -> bool:
        r = self.ratio
        return self.target is not None and r is not None and r > self.target


def fmt_time(t: float | None) -> str:
    if t is None:
        return "-"
    if t < 1e-6:
        return f"{t * 1e9:.0f} ns"
    if t < 1e-3:
        return f"{t * 1e6:.1f} µs"
    if t < 1:
        return f"{t * 1e3:.2f} ms"
    return f"{t:.2f} s"


def fmt_ratio(r: float | None) -> str:
    if r is None:
        return "-"
    if r < 0.001:
        return f"{r:.1e}"
    if r < 0.1:
        return f"{r:.4f}"
    return f"{r:.3f}"


HEADER = ["area", "operation", "size", "velmora", "peer", "peer median", "ratio", "target", "memory", "note"]


def row_cells(row: Row) -> list[str]:
    ratio = fmt_ratio(row.ratio)
    if row.missed:
        ratio += " MISS"
    note = row.note
    if row.ok is False:
        note = ("RESULTS DIFFER; " + note).strip("; ")
    return [
        row.area,
        row.op,
        row.size,
        fmt_time(row.velmora),
        row.peer or "-",
        fmt_time(row.peer_time),
        ratio,
        f"≤ {row.target:g}" if row.target is not None else "-",
        row.memory or "-",
        note,
    ]


def render_text(rows: list[Row]) -> str:
    cells = [HEADER] + [row_cells(r) for r in rows]
    widths = [max(len(c[i]) for c in cells) for i in range(len(HEADER))]
    lines = []
    for n, c in enumerate(cells):
        lines.append("  ".join(x.ljust(w) for x, w in zip(c, widths)).rstrip())
        if n == 0:
            lines.append("  ".join("-" * w for w in widths))
    return "\n".join(lines)


def render_markdown(rows: list[Row]) -> str:
    out = ["| " + " | ".join(HEADER) + " |", "|" + "---|" * len(HEADER)]
    for r in rows:
        out.append("| " + " | ".join(c.replace("|", "\\|") for c in row_cells(r)) + " |")
    return "\n".join(out)


@dataclass
class Growth:
    area: str
    op: str
    contender: str
    sizes: list[float]
    times: list[float]
    expected: str

    @property
    def exponent(self) -> float | None:
        return fit_exponent(self.sizes, self.times)


def render_growth(growth: list[Growth], markdown: bool) -> str:
    head = ["area", "operation", "contender", "sizes", "exponent", "expected"]
    body = []
    for g in growth:
        e = g.exponent
        body.append(
            [
                g.area,
                g.op,
                g.contender,
                ", ".join(f"{s:,.0f}" for s in g.sizes),
                "-" if e is None else f"{e:.2f}",
                g.expected,
            ]
        )
    if markdown:
        out = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
        out += ["| " + " | ".join(b) + " |" for b in body]
        return "\n".join(out)
    cells = [head] + body
    widths = [max(len(c[i]) for c in cells) for i in range(len(head))]
    lines = []
    for n, c in enumerate(cells):
        lines.append("  ".join(x.ljust(w) for x, w in zip(c, widths)).rstrip())
        if n == 0:
            lines.append("  ".join("-" * w for w in widths))
    return "\n".join(lines)
