"""Command line: ``velmora-scan [paths] [options]``.

Exit status: 0 nothing to report, 1 at least one finding, 2 a usage error
or an internal failure of velmora-scan, 130 interrupted (see
`settings.EXIT_STATUS_HELP`). The report and the findings go to standard
output; diagnostics, progress and timings to standard error.
"""

from __future__ import annotations

import importlib
import os
import sys
import time

from . import baseline as baselines
from . import config, gitdiff
from .baseline import BaselineError
from .config import ConfigError
from .findings import EXIT_CLEAN, EXIT_ERROR, EXIT_INTERRUPTED, exit_status
from .gitdiff import DiffError
from .scan import input_paths, is_tty, scan
from .settings import Settings, parse_args, version

# Format -> its module in velmora_scan.output, imported when chosen (some
# pull in large parts of the standard library: hashing, URLs, CSV).
RENDERERS = {"text": "text", "json": "json", "sarif": "sarif", "gitlab": "gitlab", "github": "github", "csv": "csv"}


def _output(name: str):
    return importlib.import_module(f".output.{name}", __package__)
# Formats whose document has no place for findings: those go to standard
# error, so that the reason for exit status 1 is still in the log.
FINDINGS_ON_STDERR = {"csv"}


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


def _timings(result, settings: Settings) -> str:
    t = result.timings
    split = f"read and parse {t.parse:.2f}s, measure {t.measure:.2f}s"
    if settings.jobs != 1:
        # Per-file times are summed over the workers; they overlap in wall
        # time, so there is no meaningful remainder.
        return f"time (summed over workers): {split}; whole-input passes {result.whole_input:.2f}s, wall {result.wall:.2f}s"
    rest = result.wall - t.parse - t.measure - result.whole_input
    return f"time: {split}, whole-input passes {result.whole_input:.2f}s, rest {rest:.2f}s, wall {result.wall:.2f}s"


def _say(message: str) -> None:
    print(f"velmora-scan: {message}", file=sys.stderr)


def run(settings: Settings) -> int:
    if settings.format == "parquet" or settings.dask:
        # Tables hold every function: baselines and diffs do not apply.
        return _run_tables(settings)
    # Everything that can refuse the run is checked before the analysis, so
    # a wrong baseline or revision costs nothing and changes nothing.
    recorded = previous = changes = None
    if not 0 < settings.min_similarity <= 1:
        raise ConfigError(f"min-similarity must be above 0 and at most 1, not {settings.min_similarity}")
    if settings.update_baseline and not settings.baseline:
        raise ConfigError("--update-baseline needs a baseline file: --baseline FILE, or baseline in the configuration")
    if settings.baseline and settings.update_baseline:
        previous = baselines.read(settings.baseline)
    elif settings.baseline:
        recorded = baselines.load(settings.baseline, version())
    if settings.diff is not None:
        changes = gitdiff.changes_since(settings.diff, settings.paths[0] if settings.paths else os.curdir)

    progress = Progress(sys.stderr) if settings.progress and is_tty(sys.stderr) else None
    result = scan(settings=settings, progress=progress)
    status = None
    if settings.update_baseline:
        if exit_status(result.findings) == EXIT_ERROR:
            _say(f"an internal error: {settings.baseline} is left as it was")
            status = EXIT_ERROR
        else:
            n = baselines.write(settings.baseline, result.findings, [r.path for r in result.files],
                                version(), previous)
            _say(f"recorded {n} finding{'s' if n != 1 else ''} in {settings.baseline}")
            status = EXIT_CLEAN
    if changes is not None:
        result.findings = gitdiff.judged(result.findings, result.functions, changes)
    if recorded is not None:
        new = recorded.new_findings(result.findings)
        if len(new) < len(result.findings):
            known = len(result.findings) - len(new)
            _say(f"{known} finding{'s' if known != 1 else ''} recorded in {settings.baseline} not shown")
        result.findings = new
    _output(RENDERERS[settings.format]).render(result, settings, sys.stdout)
    sys.stdout.flush()
    if settings.html:
        try:
            _output("html").write(result, settings, settings.html)
        except OSError as exc:
            _say(f"cannot write the HTML report {settings.html}: {exc.strerror or exc}")
            status = EXIT_ERROR
    if settings.format in FINDINGS_ON_STDERR:
        for f in result.findings:
            print(f.text(), file=sys.stderr)
    if settings.timings:
        print(_timings(result, settings), file=sys.stderr)
    return exit_status(result.findings) if status is None else status


def _run_tables(settings: Settings) -> int:
    try:
        from . import table
    except ImportError as exc:
        _say(f"error: {exc}")
        return EXIT_ERROR
    progress = Progress(sys.stderr) if settings.progress and is_tty(sys.stderr) else None
    return table.run(settings, input_paths(settings), progress, sys.stdout, sys.stderr)


def main(argv: list[str] | None = None) -> int:
    for stream in (sys.stdout, sys.stderr):
        # Names that are not valid UTF-8 (or not valid in the terminal's
        # encoding) are printed escaped rather than ending the run.
        try:
            stream.reconfigure(errors="backslashreplace")
        except (AttributeError, ValueError):
            pass
    try:
        given_settings, given = parse_args(argv)
    except SystemExit as exc:  # --help, --version (0) and usage errors (2)
        return exc.code if isinstance(exc.code, int) else EXIT_ERROR
    try:
        settings, sources = config.resolve(Settings, given_settings, given)
        if settings.show_config:
            sys.stdout.write(config.render(settings, sources))
            return EXIT_CLEAN
        return run(settings)
    except (ConfigError, BaselineError, DiffError) as exc:
        _say(str(exc))
        return EXIT_ERROR
    except KeyboardInterrupt:
        print("\nvelmora-scan: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (``| head``): nothing more to say, and
        # nothing to say it to. Keep the interpreter's final flush quiet.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_ERROR
    except Exception:  # noqa: BLE001 - a fault of the tool: say so, with exit status 2
        import traceback

        print("velmora-scan: internal error:", file=sys.stderr)
        traceback.print_exc(file=sys.stderr)
        return EXIT_ERROR
