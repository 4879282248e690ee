"""The few questions velmora-scan asks git, through the ``git`` command.

Asking git itself rather than reading ``.gitignore`` files gives git's own
answer in every case: nested ignore files, negated patterns,
``.git/info/exclude``, the user's ``core.excludesFile``, and tracked files
(which no ignore pattern hides). Outside a work tree, or without git on the
machine, nothing is ignored.
"""

from __future__ import annotations

import os

# Variables a git hook sets for the repository that runs it (pre-commit
# runs us from such a hook); they would point the commands below at that
# repository whatever directory they are run in.
_HOOK_VARIABLES = ("GIT_DIR", "GIT_WORK_TREE", "GIT_INDEX_FILE", "GIT_PREFIX",
                   "GIT_COMMON_DIR", "GIT_OBJECT_DIRECTORY")


class GitError(Exception):
    """git is missing or refused; the message is meant for the user."""


def _env() -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if k not in _HOOK_VARIABLES}
    env["LC_ALL"] = "C"
    return env


def run_git(args: list[str], cwd: str, *, stdin: bytes | None = None,
            ok: tuple[int, ...] = (0,)) -> tuple[int, bytes]:
    """(exit status, standard output); GitError for a status outside ``ok``."""
    import subprocess  # here: outside a work tree git is never asked

    try:
        proc = subprocess.run(
            ["git", *args], cwd=cwd, input=stdin, env=_env(),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        )
    except FileNotFoundError:
        raise GitError("the git command is not installed") from None
    except NotADirectoryError:
        raise GitError(f"not a directory: {cwd}") from None
    if proc.returncode not in ok:
        message = proc.stderr.decode("utf-8", "replace").strip().splitlines()
        raise GitError(message[-1] if message else f"git {args[0]} failed with status {proc.returncode}")
    return proc.returncode, proc.stdout


def toplevel(directory: str) -> str | None:
    """The root of the work tree that holds ``directory``; None outside one
    (or when git is not installed)."""
    # git finds a work tree by a .git entry in the directory or above it;
    # where there is none, starting git to hear so costs more than looking.
    d = os.path.abspath(directory)
    while not os.path.lexists(os.path.join(d, ".git")):
        parent = os.path.dirname(d)
        if parent == d:
            return None
        d = parent
    try:
        _, out = run_git(["rev-parse", "--show-toplevel"], directory)
    except GitError:
        return None
    return os.fsdecode(out.rstrip(b"\n")) or None


def _split(out: bytes) -> list[str]:
    return [os.fsdecode(p) for p in out.split(b"\0") if p]


def listed_files(directory: str) -> list[str] | None:
    """Files under ``directory`` that git does not ignore (tracked ones and
    untracked ones no ignore rule matches), as ``/``-separated paths relative
    to it; None when it is not in a work tree. A nested repository or a
    submodule appears as one entry, its path with a trailing ``/``."""
    if toplevel(directory) is None:
        return None
    _, out = run_git(["ls-files", "-z", "--cached", "--others", "--exclude-standard", "--", "."], directory)
    seen: dict[str, None] = {}
    for rel in _split(out):
        full = os.path.join(directory, rel)
        if not rel.endswith("/") and os.path.isdir(full) and not os.path.islink(full):
            rel += "/"  # a submodule
        seen.setdefault(rel)
    return list(seen)


def ignored(paths: list[str]) -> set[str]:
    """The members of ``paths`` that git ignores, each asked of the work
    tree that holds it."""
    by_root: dict[str, list[str]] = {}
    roots: dict[str, str | None] = {}
    for p in paths:
        d = os.path.dirname(os.path.abspath(p))
        while not os.path.isdir(d):
            d = os.path.dirname(d)
        if d not in roots:
            roots[d] = toplevel(d)
        root = roots[d]
        if root is not None:
            by_root.setdefault(root, []).append(p)
    out: set[str] = set()
    for root, group in by_root.items():
        # Relative to the root as git spells it (symbolic links resolved in
        # the directories), or git calls the path outside the repository.
        rel = {}
        for p in group:
            d, name = os.path.split(os.path.abspath(p))
            rel[os.path.relpath(os.path.join(os.path.realpath(d), name), root)] = p
        data = b"".join(os.fsencode(r) + b"\0" for r in rel)
        try:
            _, found = run_git(["check-ignore", "-z", "--stdin"], root, stdin=data, ok=(0, 1))
        except GitError:
            continue
        out.update(rel[r] for r in _split(found) if r in rel)
    return out
