"""Recall and cost of velmora-scan's near-duplicate search.

    python benchmarks/duplicates.py recall  [--root DIR ...]
    python benchmarks/duplicates.py scaling [--root DIR ...] [--sizes 10000,100000,200000]

Functions come from the analyzer's own syntax pass (the same kinds, statement
counts and attribute-only flags a scan computes, without the control-flow
measures, which the search does not read). Default roots: the running
interpreter's standard library and, when importable, django.

recall: every pair of distinct kind sequences of the eligible functions
(default filters) whose similarity is at least the threshold, found by
exhaustive search, against the pairs the search finds. The exhaustive search
skips only pairs that provably fall short: lengths too far apart, or a
multiset of kinds that shares too little (the distance is at least the
longer length minus the kinds the two have in common). numpy makes that
bound fast; without it the run takes much longer.

scaling: CPU time of `find_clusters` on the first N functions of the roots,
in the order the roots are given, for each N.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
import warnings
from dataclasses import dataclass

from velmora_scan import clusters, syntax
from velmora_scan.analysis import parse

import velmora as v


@dataclass(slots=True)
class Record:
    file: str
    qualname: str
    line: int
    first_line: int
    end_line: int
    statements: int
    assign_only: bool
    kinds: bytes


def python_files(root: str):
    for directory, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if d not in ("__pycache__", "site-packages") and not d.startswith("."))
        for name in sorted(files):
            if name.endswith(".py"):
                yield os.path.join(directory, name)


def records(roots: list[str], limit: int | None = None) -> list[Record]:
    out: list[Record] = []
    for root in roots:
        for path in python_files(root):
            try:
                with open(path, "rb") as fh, warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    tree = parse(fh.read(), path)
            except (SyntaxError, ValueError, OSError):
                continue
            for func, qualname, _ in syntax.iter_functions(tree):
                kinds, _, statements = syntax.function_facts(func)
                first = min([d.lineno for d in func.decorator_list] + [func.lineno])
                out.append(Record(path, qualname, func.lineno, first, func.end_lineno or func.lineno,
                                  statements, syntax.assign_only(func), kinds))
                if limit is not None and len(out) >= limit:
                    return out
    return out


def default_roots() -> list[str]:
    import sysconfig

    roots = [sysconfig.get_paths()["stdlib"]]
    try:
        import django

        roots.append(os.path.dirname(django.__file__))
    except ImportError:
        pass
    return roots


def eligible(functions, min_statements: int) -> dict[bytes, int]:
    """Distinct kind sequences of the functions the search considers, with
    how many functions have each."""
    seqs: dict[bytes, int] = {}
    for f in functions:
        if f.statements >= min_statements and f.kinds and not f.assign_only:
            seqs[f.kinds] = seqs.get(f.kinds, 0) + 1
    return seqs


def exhaustive(seqs: list[bytes], threshold: float) -> set[tuple[int, int]]:
    """Every pair (i < j, indices into ``seqs``, which are in length order)
    with similarity >= threshold."""
    import numpy as np

    lengths = np.array([len(s) for s in seqs])
    hist = np.zeros((len(seqs), 256), np.int32)
    for i, s in enumerate(seqs):
        hist[i] = np.bincount(np.frombuffer(s, np.uint8), minlength=256)
    hist = hist[:, np.nonzero(hist.sum(0))[0]]
    # j > i has length >= len(i); past len(i) / threshold it cannot reach it.
    last = np.searchsorted(lengths, np.floor(lengths / threshold), side="right")
    found = set()
    for i in range(len(seqs)):
        lo, hi = i + 1, last[i]
        if hi <= lo:
            continue
        common = np.minimum(hist[i], hist[lo:hi]).sum(1)
        longer = lengths[lo:hi]
        a = list(seqs[i].decode("latin-1"))
        for k in np.nonzero(longer - common <= (1 - threshold) * longer + 1e-9)[0]:
            j = lo + int(k)
            distance, _ = v.compute_sequence_distance(a, list(seqs[j].decode("latin-1")))
            if 1.0 - distance / lengths[j] >= threshold:
                found.add((i, j))
    return found


def recall(args) -> None:
    roots = args.root or default_roots()
    t0 = time.process_time()
    functions = records(roots)
    counts = eligible(functions, args.min_statements)
    seqs = sorted(counts, key=lambda s: (len(s), s))
    t1 = time.process_time()
    truth = exhaustive(seqs, args.threshold)
    t2 = time.process_time()
    pairs, compared, distances = clusters.near_pairs(seqs, args.threshold)
    t3 = time.process_time()
    found = {(i, j) for i, j, _ in pairs}
    hit = truth & found
    weight = lambda pairs: sum(counts[seqs[i]] * counts[seqs[j]] for i, j in pairs)  # noqa: E731
    same = sum(n * (n - 1) // 2 for n in counts.values())
    print(f"roots: {', '.join(roots)}")
    print(f"functions: {len(functions)}; eligible (>= {args.min_statements} statements, not attribute-only): "
          f"{sum(counts.values())}; distinct kind sequences: {len(seqs)}")
    print(f"exhaustive: {len(truth)} pairs of distinct sequences with similarity >= {args.threshold} "
          f"({t2 - t1:.1f} s CPU)")
    print(f"search: {len(found)} pairs, {len(hit)} of them in the exhaustive set; "
          f"{compared} candidate pairs decided, {distances} of them by an edit distance ({t3 - t2:.1f} s CPU); "
          f"no false pair: {found <= truth}")
    print(f"recall over distinct sequences: {len(hit) / max(1, len(truth)):.4f}")
    print(f"recall over function pairs (identical sequences count as found): "
          f"{(weight(hit) + same) / max(1, weight(truth) + same):.4f}")
    print(f"(records: {t1 - t0:.1f} s CPU)")


def scaling(args) -> None:
    roots = args.root or default_roots()
    sizes = [int(x) for x in args.sizes.split(",")]
    functions = records(roots, max(sizes))
    print(f"roots: {', '.join(roots)}; {len(functions)} functions read")
    print("functions  considered  distinct  compared  distances  pairs  clusters  cpu_s")
    for n in sizes:
        if n > len(functions):
            print(f"{n}: only {len(functions)} functions in the roots")
            continue
        part = functions[:n]
        t0 = time.process_time()
        found = clusters.find_clusters(part, min_similarity=args.threshold, min_statements=args.min_statements)
        t = time.process_time() - t0
        distinct = len(eligible(part, args.min_statements))
        print(f"{n:9d}  {found.considered:10d}  {distinct:8d}  {found.compared:8d}  {found.distances:9d}  {found.pairs:5d}  "
              f"{len(found.clusters):8d}  {t:5.1f}", flush=True)


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("mode", choices=("recall", "scaling"))
    p.add_argument("--root", action="append", help="directory of Python files (repeatable)")
    p.add_argument("--threshold", type=float, default=clusters.DEFAULT_MIN_SIMILARITY)
    p.add_argument("--min-statements", type=int, default=clusters.DEFAULT_MIN_STATEMENTS)
    p.add_argument("--sizes", default="10000,100000,200000")
    args = p.parse_args()
    print(f"python {sys.version.split()[0]}; load average before: {os.getloadavg()[0]:.2f}")
    recall(args) if args.mode == "recall" else scaling(args)
    print(f"load average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
