"""Every option of velmora-scan: one `Settings` field each, with its default,
its flags and its help text, so that parsing and defaults live here only.

`parser()` builds the command line from the field table; `parse_args`
returns the settings together with the names of the fields the command line
set, so that other sources (configuration files) can be layered underneath
without guessing whether a value is a default.
"""

from __future__ import annotations

import argparse
import dataclasses
import sys
from dataclasses import dataclass, field, fields
from importlib import metadata

#: Characters per block for the per-file entropy variance: about a screenful
#: of code, so that a block is long enough to compress at all.
DEFAULT_BLOCK_SIZE = 512

EXIT_STATUS_HELP = """\
exit status:
  0    nothing to report
  1    at least one finding: a threshold exceeded, or a file that could
       not be analysed (unreadable, undecodable, not valid Python, skipped)
  2    usage error, or an internal failure of velmora-scan (files are still
       analysed and listed; a fault while analysing one is named with it)
  130  interrupted

Findings are listed on standard output, one a line, as
  path:line qualname metric value > limit      or      path: reason
Diagnostics and progress go to standard error."""


def opt(default, *flags: str, help: str, **kwargs):
    """A settings field with its command-line flags; ``kwargs`` go to
    ``add_argument`` (type, metavar, action, choices, dest aliases)."""
    factory = kwargs.pop("factory", None)
    meta = {"flags": flags, "help": help, "argparse": kwargs}
    if factory is not None:
        return field(default_factory=factory, metadata=meta)
    return field(default=default, metadata=meta)


def _count(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError("must not be negative")
    return value


@dataclass
class Settings:
    paths: list[str] = opt(
        None, help="files or directories (default: the bundled sample package)",
        factory=list, nargs="*", metavar="PATH",
    )
    stdlib: bool = opt(False, "--stdlib", help="analyse the running interpreter's standard library", action="store_true")
    format: str = opt("text", "--format", help="report format (default: text)", choices=("text", "json"))
    min_complexity: int = opt(
        1, "--min-complexity", help="list only functions of cyclomatic complexity N or more",
        type=_count, metavar="N",
    )
    top: int | None = opt(
        None, "--top", help="list at most N functions (0: all; default 25 in tables, all in JSON)",
        type=_count, metavar="N",
    )
    max_cyclomatic: int | None = opt(
        None, "--max-cyclomatic", help="a finding for each function whose cyclomatic complexity exceeds N",
        type=_count, metavar="N",
    )
    max_cognitive: int | None = opt(
        None, "--max-cognitive", help="a finding for each function whose cognitive complexity exceeds N",
        type=_count, metavar="N",
    )
    max_essential: int | None = opt(
        None, "--max-essential", help="a finding for each function whose essential complexity exceeds N",
        type=_count, metavar="N",
    )
    max_nesting: int | None = opt(
        None, "--max-nesting", help="a finding for each function nested deeper than N", type=_count, metavar="N",
    )
    max_longest_path: int | None = opt(
        None, "--max-longest-path", help="a finding for each function whose longest acyclic path exceeds N",
        type=_count, metavar="N",
    )
    count_bool_ops: bool = opt(
        False, "--count-bool-ops",
        help="count each 'and'/'or' as a decision in the cyclomatic complexity", action="store_true",
    )
    jobs: int = opt(
        0, "--jobs", "-j", help="worker processes for the per-file work (default 0: one per core this process may use)",
        type=_count, metavar="N",
    )
    cache: bool = opt(True, "--no-cache", help="neither read nor write the result cache", action="store_false")
    cache_dir: str = opt(
        ".velmora_cache", "--cache-dir", help="directory of the per-file result cache (default .velmora_cache)",
        metavar="DIR",
    )
    engine: str = opt(
        "native", "--engine", help="measure with the native path (default) or the Python reference model",
        choices=("native", "reference"),
    )
    duplicates: int = opt(
        10, "--duplicates", help="report the N most similar function pairs (0: skip)", type=_count, metavar="N",
    )
    choke_points: int = opt(
        10, "--choke-points", help="report the N most negatively curved call edges (0: skip)", type=_count, metavar="N",
    )
    block_size: int = opt(
        DEFAULT_BLOCK_SIZE, "--block-size", help="characters per block for the file entropy variance",
        type=_count, metavar="N",
    )
    progress: bool = opt(
        True, "--no-progress", help="no progress bar (it is only drawn when standard error is a terminal)",
        action="store_false",
    )
    timings: bool = opt(False, "--timings", help="print the time split to standard error", action="store_true")

    def threshold(self, metric: str) -> int | None:
        return getattr(self, "max_" + metric)

    def replace(self, **changes) -> "Settings":
        return dataclasses.replace(self, **changes)


#: Options that only spell another one: (flags, field, add_argument extras).
ALIASES: tuple[tuple[tuple[str, ...], str, dict], ...] = (
    (("--fail-above",), "max_cyclomatic", {"type": _count, "metavar": "N", "help": "the same as --max-cyclomatic"}),
    (("--json",), "format", {"action": "store_const", "const": "json", "help": "the same as --format json"}),
    # Syntax trees are no longer built for the report; the flag stays
    # accepted so that existing scripts keep working.
    (("--no-trees",), "", {"action": "store_true", "help": argparse.SUPPRESS}),
)


def version() -> str:
    try:
        return metadata.version("velmora")
    except metadata.PackageNotFoundError:
        return "0+unknown"


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="velmora-scan",
        description="Control-flow and information measures of Python functions, computed by velmora.",
        epilog=EXIT_STATUS_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        argument_default=argparse.SUPPRESS,
    )
    for f in fields(Settings):
        meta = f.metadata
        if meta["flags"]:
            p.add_argument(*meta["flags"], dest=f.name, help=meta["help"], **meta["argparse"])
        else:
            p.add_argument(f.name, help=meta["help"], **meta["argparse"])
    for flags, dest, extra in ALIASES:
        p.add_argument(*flags, dest=dest or flags[0].lstrip("-").replace("-", "_"), **extra)
    p.add_argument("--version", action="version", version=f"velmora-scan {version()}")
    return p


def parse_args(argv: list[str] | None = None) -> tuple[Settings, set[str]]:
    """Settings from the command line, and the names of the fields it set.

    Raises SystemExit (status 2) on a usage error, as argparse does.
    """
    ns = vars(parser().parse_args(sys.argv[1:] if argv is None else argv))
    names = {f.name for f in fields(Settings)}
    given = {k: v for k, v in ns.items() if k in names}
    if given.get("paths") == []:
        del given["paths"]
    return Settings(**given), set(given)
