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

from .config import Override
from .selection import DEFAULT_EXCLUDE, DEFAULT_INCLUDE

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
    ``add_argument`` (type, metavar, action, choices, dest aliases).
    ``cli=False`` makes a field that only a configuration file sets."""
    factory = kwargs.pop("factory", None)
    meta = {"flags": flags, "help": help, "argparse": kwargs, "cli": kwargs.pop("cli", True)}
    if factory is not None:
        return field(default_factory=factory, metadata=meta)
    return field(default=default, metadata=meta)


def _count(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError("must not be negative")
    return value


def _fraction(text: str) -> float:
    value = float(text)
    if not 0 < value <= 1:
        raise argparse.ArgumentTypeError("must be a number above 0 and at most 1")
    return value


def _amount(text: str) -> float:
    value = float(text)
    if not value >= 0 or value == float("inf"):
        raise argparse.ArgumentTypeError("must be a finite number, not negative")
    return value


FORMATS = ("text", "json", "sarif", "gitlab", "github", "csv", "parquet")


def _average(metric: str, scope: str):
    over = "a file's functions" if scope == "file" else "all functions of the input"
    flag = f"--max-{'file-' if scope == 'file' else ''}average-{metric.replace('_', '-')}"
    what = {"nesting": "nesting depth", "longest_path": "longest path"}.get(metric, metric + " complexity")
    return opt(None, flag, help=f"a finding when the mean {what} of {over} exceeds X",
               type=_amount, metavar="X")


@dataclass
class Settings:
    paths: list[str] = opt(
        None, help="files or directories (default: the bundled sample package)",
        factory=list, nargs="*", metavar="PATH",
    )
    stdlib: bool = opt(False, "--stdlib", help="analyse the running interpreter's standard library", action="store_true")
    format: str = opt(
        "text", "--format", help="report format (default: text; parquet: a dataset in --output)", choices=FORMATS,
    )
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
    trees: bool = opt(
        False, "--trees", help="give each function its syntax tree as velmora UASTNode records (in the JSON "
        "output as nested objects, and from the Python API)", action="store_true",
    )
    duplicates: int = opt(
        10, "--duplicates", help="list the N largest clusters of near-duplicate functions (0: skip the search)",
        type=_count, metavar="N",
    )
    min_similarity: float = opt(
        0.8, "--min-similarity", help="near duplicates: 1 - edit distance / longer length of their node-kind "
        "sequences at least X (default 0.8)", type=_fraction, metavar="X",
    )
    min_statements: int = opt(
        5, "--min-statements", help="near duplicates: leave out functions of fewer than N statements (default 5)",
        type=_count, metavar="N",
    )
    choke_points: int = opt(
        10, "--bottlenecks", help="list the N narrow links between packages and between modules' call groups "
        "of most negative curvature (0: skip)", type=_count, metavar="N",
    )
    graph_tests: bool = opt(
        False, "--graph-tests", help="keep test code (test and tests directories, test_*.py, *_test.py, "
        "tests.py, conftest.py) in the module and call graphs", action="store_true",
    )
    html: str | None = opt(
        None, "--html", help="also write a self-contained HTML report to FILE", metavar="FILE",
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
    output: str | None = opt(
        None, "--output", help="directory of the Parquet dataset that --format parquet and --dask write",
        metavar="DIR",
    )
    run_id: str | None = opt(
        None, "--run-id", help="name of this run in --output (default: the UTC time and a random suffix)",
        metavar="ID",
    )
    dask: str | None = opt(
        None, "--dask",
        help="analyse on the Dask cluster at this scheduler address ('local': --jobs workers on this machine) "
        "and write Parquet to --output",
        metavar="SCHEDULER_ADDRESS",
    )

    # Averages: per file (overridable per path) and over the whole input.
    max_file_average_cyclomatic: float | None = _average("cyclomatic", "file")
    max_file_average_cognitive: float | None = _average("cognitive", "file")
    max_file_average_essential: float | None = _average("essential", "file")
    max_file_average_nesting: float | None = _average("nesting", "file")
    max_file_average_longest_path: float | None = _average("longest_path", "file")
    max_average_cyclomatic: float | None = _average("cyclomatic", "input")
    max_average_cognitive: float | None = _average("cognitive", "input")
    max_average_essential: float | None = _average("essential", "input")
    max_average_nesting: float | None = _average("nesting", "input")
    max_average_longest_path: float | None = _average("longest_path", "input")
    overrides: list[Override] = opt(
        None, help="thresholds for files matching glob patterns ([[tool.velmora-scan.overrides]])",
        factory=list, cli=False,
    )

    # Configuration and file selection.
    config: str | None = opt(
        None, "--config", help="read [tool.velmora-scan] from FILE instead of the nearest pyproject.toml "
        "above the first path", metavar="FILE",
    )
    show_config: bool = opt(
        False, "--show-config", help="print the settings in effect and where each came from, then exit",
        action="store_true",
    )
    include: list[str] = opt(
        None, "--include", help="glob of the files to analyse in directories (default: *.py; repeatable, "
        "replaces the configured list)", factory=lambda: list(DEFAULT_INCLUDE), action="append", metavar="GLOB",
    )
    exclude: list[str] = opt(
        None, "--exclude", help="glob of files or folders to leave out (repeatable; adds to the configured ones)",
        factory=list, action="append", metavar="GLOB",
    )
    default_exclude: list[str] = opt(
        None, help="folders left out unless replaced in the configuration: virtual environments, "
        "build output, caches, dot folders", factory=lambda: list(DEFAULT_EXCLUDE), cli=False,
    )
    gitignore: bool = opt(
        True, "--no-gitignore", help="analyse files that git ignores too (by default they are left out)",
        action="store_false",
    )
    force_exclude: bool = opt(
        False, "--force-exclude", help="apply the exclusions and git's ignore rules to paths named on the "
        "command line as well (for pre-commit, which names every file)", action="store_true",
    )

    # Suppressions, ratchets and changed code.
    report_unused_suppressions: bool = opt(
        False, "--report-unused-suppressions",
        help="a finding for each '# velmora:' comment that silences nothing, sits on no function, "
        "or cannot be read", action="store_true",
    )
    baseline: str | None = opt(
        None, "--baseline", help="fail only on findings that FILE does not record (new ones, or grown values)",
        metavar="FILE",
    )
    update_baseline: bool = opt(
        False, "--update-baseline", help="record the current findings in the --baseline file and exit 0",
        action="store_true",
    )
    diff: str | None = opt(
        None, "--diff", help="judge only the functions changed since the git revision REF "
        "(git diff REF, untracked files included)", metavar="REF",
    )

    def threshold(self, metric: str) -> int | None:
        return getattr(self, "max_" + metric)

    def file_average(self, metric: str) -> float | None:
        return getattr(self, "max_file_average_" + metric)

    def input_average(self, metric: str) -> float | None:
        return getattr(self, "max_average_" + metric)

    def replace(self, **changes) -> "Settings":
        return dataclasses.replace(self, **changes)


#: Options that only spell another one: (flags, field, add_argument extras).
ALIASES: tuple[tuple[tuple[str, ...], str, dict], ...] = (
    (("--fail-above",), "max_cyclomatic", {"type": _count, "metavar": "N", "help": "the same as --max-cyclomatic"}),
    (("--choke-points",), "choke_points", {"type": _count, "metavar": "N", "help": "the same as --bottlenecks"}),
    (("--json",), "format", {"action": "store_const", "const": "json", "help": "the same as --format json"}),
    # The first release built trees unless told --no-trees; scripts written
    # for it keep working, and the flag turns off a configured trees = true.
    (("--no-trees",), "trees", {"action": "store_false", "help": argparse.SUPPRESS}),
)


def version() -> str:
    # Imported here: the metadata machinery costs more than a warm run's
    # analysis, and most runs never print the version.
    from importlib import metadata

    try:
        return metadata.version("velmora")
    except metadata.PackageNotFoundError:
        return "0+unknown"


class _VersionAction(argparse.Action):
    """``--version``, which looks the version up only when given."""

    def __init__(self, option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS, help=None):
        super().__init__(option_strings, dest=dest, default=default, nargs=0,
                         help=help or "show program's version number and exit")

    def __call__(self, parser, namespace, values, option_string=None):
        print(f"velmora-scan {version()}")
        parser.exit()


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
        if not meta["cli"]:
            continue
        if meta["flags"]:
            p.add_argument(*meta["flags"], dest=f.name, help=meta["help"], **meta["argparse"])
        else:
            p.add_argument(f.name, help=meta["help"], **meta["argparse"])
    for flags, dest, extra in ALIASES:
        p.add_argument(*flags, dest=dest or flags[0].lstrip("-").replace("-", "_"), **extra)
    p.add_argument("--version", action=_VersionAction)
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
