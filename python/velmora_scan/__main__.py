"""Command line: ``python -m velmora_scan [paths] [options]``."""

from __future__ import annotations

import argparse
import sys
import time

from .analysis import DEFAULT_BLOCK_SIZE
from .report import render_json, render_text
from .scan import SAMPLE, is_tty, scan, stdlib_root


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="velmora-scan",
        description="Control-flow and information measures of Python functions, computed by velmora.",
    )
    p.add_argument("paths", nargs="*", help="files or directories (default: the bundled sample package)")
    p.add_argument("--stdlib", action="store_true", help="analyse the running interpreter's standard library")
    p.add_argument("--json", action="store_true", help="write a JSON document instead of tables")
    p.add_argument("--min-complexity", type=int, default=1, metavar="N", help="list only functions of cyclomatic complexity N or more")
    p.add_argument("--top", type=int, default=None, metavar="N", help="list at most N functions (0: all; default 25 in tables, all in JSON)")
    p.add_argument("--fail-above", type=int, default=None, metavar="N", help="exit with status 1 when a function's cyclomatic complexity exceeds N")
    p.add_argument("--jobs", "-j", type=int, default=1, metavar="N", help="worker processes for the per-file work (default 1)")
    p.add_argument("--duplicates", type=int, default=10, metavar="N", help="report the N most similar function pairs (0: skip)")
    p.add_argument("--choke-points", type=int, default=10, metavar="N", help="report the N most negatively curved call edges (0: skip)")
    p.add_argument("--block-size", type=int, default=DEFAULT_BLOCK_SIZE, metavar="N", help="characters per block for the file entropy variance")
    p.add_argument("--no-trees", action="store_true", help="do not attach syntax trees to the blocks (faster; the measures are the same)")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")
    p.add_argument("--timings", action="store_true", help="print the time split to standard error")
    return p


class Progress:
    """A one-line bar on standard error, redrawn at most ten times a second."""

    def __init__(self, stream):
        self.stream = stream
        self.last = 0.0

    def __call__(self, done: int, total: int) -> None:
        now = time.monotonic()
        if done < total and now - self.last < 0.1:
            return
        self.last = now
        width = 30
        filled = width * done // max(total, 1)
        self.stream.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {done}/{total} files")
        if done == total:
            self.stream.write("\r" + " " * (width + 30) + "\r")
        self.stream.flush()


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    for name in ("min_complexity", "jobs", "duplicates", "choke_points", "block_size"):
        if getattr(args, name) < 0:
            print(f"velmora-scan: --{name.replace('_', '-')} must not be negative", file=sys.stderr)
            return 2
    if args.jobs == 0:
        args.jobs = 1
    paths = list(args.paths)
    if args.stdlib:
        paths.append(stdlib_root())
    if not paths:
        paths = [SAMPLE]
    progress = None
    if not args.no_progress and is_tty(sys.stderr):
        progress = Progress(sys.stderr)
    try:
        result = scan(
            paths,
            jobs=args.jobs,
            block_size=args.block_size,
            with_trees=not args.no_trees,
            duplicates=args.duplicates,
            choke=args.choke_points,
            progress=progress,
        )
    except FileNotFoundError as exc:
        print(f"velmora-scan: no such file or directory: {exc}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("\nvelmora-scan: interrupted", file=sys.stderr)
        return 130

    if args.json:
        text = render_json(result, args.min_complexity, args.top if args.top is not None else 0)
    else:
        text = render_text(result, args.min_complexity, args.top if args.top is not None else 25)
    sys.stdout.write(text)
    if args.timings:
        t = result.timings
        split = f"parse {t.parse:.2f}s, build records {t.build:.2f}s, velmora {t.velmora:.2f}s"
        if args.jobs > 1:
            # Per-file times are summed over the workers; they overlap in
            # wall time, so there is no meaningful remainder.
            line = f"time (summed over workers): {split}; whole-input passes {result.global_passes:.2f}s, wall {result.wall:.2f}s"
        else:
            rest = result.wall - t.parse - t.build - t.velmora - result.global_passes
            line = f"time: {split}, whole-input passes {result.global_passes:.2f}s, rest {rest:.2f}s, wall {result.wall:.2f}s"
        print(line, file=sys.stderr)
    if args.fail_above is not None:
        over = [f for f in result.functions if f.cyclomatic > args.fail_above]
        if over:
            print(
                f"velmora-scan: {len(over)} function(s) above cyclomatic complexity {args.fail_above}",
                file=sys.stderr,
            )
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
