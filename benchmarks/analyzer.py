"""velmora-scan against the Python complexity tools, whole runs in child
processes on the same directory.

Each contender runs as its users run it (its command line, output thrown
away), in a fresh process; the CPU time (user + system, children included)
and the peak resident memory come from the kernel's accounting of that
process (``os.wait4``, in a small launcher process), so start-up, reading
files and writing the report all count. mccabe has no directory mode: its
contender is ``ast.parse`` plus its visitor over the same files, which is
also the floor of any tool built on ``ast``.
"""

from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from dataclasses import dataclass

MCCABE = r"""
import ast, os, sys, warnings
import mccabe
warnings.simplefilter("ignore")
n = 0
for root, dirs, files in os.walk(sys.argv[1]):
    dirs[:] = sorted(d for d in dirs if d not in ("site-packages", "__pycache__") and not d.startswith("."))
    for name in sorted(files):
        if name.endswith(".py"):
            try:
                with open(os.path.join(root, name), "rb") as fh:
                    tree = ast.parse(fh.read())
            except (SyntaxError, ValueError):
                continue
            v = mccabe.PathGraphingAstVisitor()
            v.preorder(tree, v)
            n += len(v.graphs)
print(n)
"""


@dataclass
class Run:
    cpu: float          # seconds, user + system, children included
    wall: float
    peak_mib: float
    status: int
    stderr: str = ""


def tool(name: str) -> str | None:
    """A console script next to this interpreter, else on PATH."""
    here = os.path.join(os.path.dirname(sys.executable), name)
    return here if os.path.exists(here) else shutil.which(name)


# Starts the contender and reports its rusage. The contender is started from
# this small process, not from the benchmark runner: Linux carries the
# resident-set high-water mark of the address space a child is exec'ed from
# into the child's ru_maxrss, so a child of the runner (which holds hundreds
# of MiB after reading a large JSON report) would report at least that.
LAUNCH = r"""
import json, os, subprocess, sys, time
t0 = time.perf_counter()
p = subprocess.Popen(sys.argv[1:], stdout=subprocess.DEVNULL)
_, status, ru = os.wait4(p.pid, 0)
print(json.dumps([ru.ru_utime + ru.ru_stime, time.perf_counter() - t0, ru.ru_maxrss / 1024,
                  os.waitstatus_to_exitcode(status)]))
"""


def run(cmd: list[str], cwd: str | None = None) -> Run:
    with tempfile.TemporaryFile() as err:
        p = subprocess.run([sys.executable, "-c", LAUNCH, *cmd], stdout=subprocess.PIPE, stderr=err, cwd=cwd,
                           check=True)
        err.seek(0)
        text = err.read().decode("utf-8", "replace")
    cpu, wall, peak, status = json.loads(p.stdout)
    return Run(cpu, wall, peak, status, text)


def best(cmd: list[str], repeat: int, cwd: str | None = None, before=None) -> Run:
    """The run with the least CPU time of ``repeat``; ``before`` runs first
    each time (to empty a cache)."""
    runs = []
    for _ in range(repeat):
        if before is not None:
            before()
        runs.append(run(cmd, cwd))
    return min(runs, key=lambda r: r.cpu)


def scan_cmd(*args: str) -> list[str]:
    return [sys.executable, "-m", "velmora_scan", *args]


def peers(root: str) -> dict[str, list[str]]:
    out = {"mccabe (ast.parse + visitor)": [sys.executable, "-c", MCCABE, root]}
    if tool("radon"):
        out["radon cc"] = [tool("radon"), "cc", root]
    if tool("lizard"):
        out["lizard -l python"] = [tool("lizard"), "-l", "python", root]
    if tool("ruff"):
        out["ruff C901"] = [tool("ruff"), "check", "--isolated", "--no-cache", "--select", "C901", "--exit-zero", root]
    return out


def timing_split(stderr: str) -> str:
    m = re.search(r"time.*", stderr)
    return m.group(0) if m else ""


def function_count(paths: list[str]) -> int:
    """Functions velmora-scan reports for ``paths`` (one JSON run)."""
    out = subprocess.run(scan_cmd(*paths, "--no-cache", "--format", "json", "--duplicates", "0",
                                  "--choke-points", "0"), capture_output=True, check=False).stdout
    return len(json.loads(out)["functions"])
