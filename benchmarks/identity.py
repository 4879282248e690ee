"""The native path against the Python reference model, file by file.

    python benchmarks/identity.py [PATH ...] [--stdlib] [--sample N] [--seed S]

Every file is parsed once and measured by both engines; the compact results
(every field of every function, the imports, lines and entropy variance)
must be equal. Prints one line per field that differs, with the number of
functions it touches and a first example, and exits 1 on any difference.
``--sample N`` takes a seeded sample of N files, which is what the test
suite runs; without it every file is compared.
"""

from __future__ import annotations

import argparse
import ast
import random
import sys
import time
import warnings
from collections import Counter

from velmora_scan.analysis import FUNCTION_FIELDS, measure_tree
from velmora_scan.discover import discover, stdlib_root
from velmora_scan.source import decode


def compare_source(data: bytes, path: str, *, block_size: int = 512, count_bool_ops: bool = False):
    """(functions compared, {field: [(qualname, native, reference)]}) for one
    file; None when the file does not parse."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            tree = ast.parse(data, filename=path)
        text = decode(data)
    except (SyntaxError, ValueError, UnicodeError, LookupError, MemoryError, RecursionError):
        return None
    kw = {"block_size": block_size, "count_bool_ops": count_bool_ops}
    nat = measure_tree(tree, text, engine="native", **kw)
    ref = measure_tree(tree, text, engine="reference", **kw)
    diffs: dict[str, list] = {}
    if len(nat[0]) != len(ref[0]):
        diffs["function list"] = [(path, len(nat[0]), len(ref[0]))]
    for a, b in zip(nat[0], ref[0]):
        for name, x, y in zip(FUNCTION_FIELDS, a, b):
            if x != y:
                diffs.setdefault(name, []).append((a[0], x, y))
    for name, x, y in zip(("imports", "lines", "entropy_variance"), nat[1:], ref[1:]):
        if x != y:
            diffs.setdefault(name, []).append((path, x, y))
    return len(ref[0]), diffs


def files_of(paths: list[str]) -> list[str]:
    return [c.path for c in discover(paths) if not c.problem]


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("paths", nargs="*")
    ap.add_argument("--stdlib", action="store_true")
    ap.add_argument("--sample", type=int, default=0, metavar="N")
    ap.add_argument("--seed", type=int, default=15)
    ap.add_argument("--count-bool-ops", action="store_true")
    args = ap.parse_args(argv)
    paths = list(args.paths) + ([stdlib_root()] if args.stdlib else [])
    files = files_of(paths)
    if args.sample:
        files = sorted(random.Random(args.seed).sample(files, min(args.sample, len(files))))
    start = time.process_time()
    compared = 0
    touched: Counter[str] = Counter()
    example: dict[str, tuple] = {}
    for path in files:
        try:
            with open(path, "rb") as fh:
                data = fh.read()
        except OSError:
            continue
        got = compare_source(data, path, count_bool_ops=args.count_bool_ops)
        if got is None:
            continue
        n, diffs = got
        compared += n
        for name, rows in diffs.items():
            touched[name] += len(rows)
            example.setdefault(name, (path, *rows[0]))
    print(f"{len(files)} files, {compared} functions compared, {time.process_time() - start:.1f} s CPU")
    for name, count in touched.most_common():
        print(f"  {name}: {count} differ; first: {example[name]}")
    print("identical" if not touched else "DIFFERENT")
    return 1 if touched else 0


if __name__ == "__main__":
    sys.exit(main())
