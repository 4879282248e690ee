"""Which files under a directory are analysed: include and exclude patterns,
the default exclusions and, inside a git work tree, git's ignore rules.

Paths named on the command line are taken as they are (their own name is
not matched against the exclusions), except with ``force_exclude``, the
mode for callers such as pre-commit that name every file one by one.
"""

from __future__ import annotations

import os
from dataclasses import dataclass

from . import gitrepo
from .config import project_base
from .globs import PatternSet

# Build output, caches, version-control folders and installed dependencies:
# never a project's own source. A dot folder counts as such (``.git``,
# ``.venv``, ``.tox``, ...). Virtual environments are recognised by their
# ``pyvenv.cfg`` whatever their name, not by a name such as ``venv``, which
# is also a package of the standard library.
DEFAULT_EXCLUDE = (
    ".*/", "__pycache__/", "__pypackages__/", "_build/", "buck-out/", "build/", "dist/",
    "node_modules/", "site-packages/", "dist-packages/", "*.egg-info/",
)
DEFAULT_INCLUDE = ("*.py",)


def _walk_order(rel: str) -> list[tuple[int, str]]:
    """Sort key giving the order of a top-down walk with sorted entries:
    a folder's files before its subfolders."""
    parts = rel.split("/")
    return [(1, p) for p in parts[:-1]] + [(0, parts[-1])]


@dataclass
class Selector:
    include: PatternSet
    exclude: PatternSet
    gitignore: bool = True

    @classmethod
    def build(cls, base: str, include=DEFAULT_INCLUDE, exclude=(), default_exclude=DEFAULT_EXCLUDE,
              gitignore: bool = True) -> "Selector":
        return cls(PatternSet(list(include), base), PatternSet([*default_exclude, *exclude], base), gitignore)

    @classmethod
    def for_settings(cls, settings) -> "Selector":
        return cls.build(project_base(settings), settings.include, settings.exclude,
                         settings.default_exclude, settings.gitignore)

    # -- matching ------------------------------------------------------------

    def _rel(self, path: str, top: str) -> tuple[str, int]:
        """The path to match, relative to the base when it lies below it,
        else relative to ``top`` (the argument the walk started from), and
        how many of its leading components the walk did not discover."""
        rel = self.exclude.relative(path)
        if rel is None:
            return os.path.relpath(path, top).replace(os.sep, "/"), 0
        top_rel = self.exclude.relative(top)
        fixed = 0 if not top_rel else top_rel.count("/") + 1
        return rel, fixed

    def _excluded_below(self, rel: str, fixed: int, is_dir: bool) -> bool:
        parts = rel.split("/")
        for i in range(fixed + 1, len(parts) + 1):
            if self.exclude.match("/".join(parts[:i]), is_dir or i < len(parts)):
                return True
        return False

    def excluded(self, path: str) -> bool:
        """Whether a path named on the command line falls under the
        exclusions (itself or a folder above it, up to the base)."""
        rel = self.exclude.relative(path)
        if rel is None:
            rel = os.path.basename(os.path.abspath(path))
        return bool(rel) and self.exclude.covers(rel, os.path.isdir(path))

    def force_excluded(self, paths: list[str]) -> set[str]:
        """The members of ``paths`` that the exclusions or git's ignore
        rules drop when ``force_exclude`` is on."""
        out = {p for p in paths if self.excluded(p)}
        if self.gitignore:
            out |= gitrepo.ignored([p for p in paths if p not in out])
        return out

    # -- walking -------------------------------------------------------------

    def walk(self, directory: str) -> list[tuple[str, str]]:
        """(path, problem) for the files below ``directory`` to analyse,
        joined to it as given, in a stable order; a folder that cannot be
        listed comes with a non-empty problem."""
        top = os.path.abspath(directory)
        listing = None
        if self.gitignore:
            listing = gitrepo.listed_files(directory)
            # A folder git ignores as a whole, named on purpose: walk it.
            if listing == [] and gitrepo.ignored([directory]):
                listing = None
        if listing is None:
            return self._walk_plain(directory, top)
        out: list[tuple[str, str]] = []
        pruned: dict[str, bool] = {}
        for rel in sorted(listing, key=lambda r: _walk_order(r.rstrip("/"))):
            nested = rel.endswith("/")
            rel = rel.rstrip("/")
            head = rel.rpartition("/")[0]
            if head and self._dir_pruned(head, top, pruned):
                continue
            path = os.path.join(directory, *rel.split("/"))
            if nested:
                if not self._dir_pruned(rel, top, pruned):
                    out.extend(self.walk(path))
                continue
            if self._take_file(path, top):
                out.append((path, ""))
        return out

    def _dir_pruned(self, rel: str, top: str, cache: dict[str, bool]) -> bool:
        known = cache.get(rel)
        if known is None:
            head = rel.rpartition("/")[0]
            full = os.path.join(top, *rel.split("/"))
            known = (bool(head) and self._dir_pruned(head, top, cache)) or self._skip_dir(full, top)
            cache[rel] = known
        return known

    def _skip_dir(self, full: str, top: str) -> bool:
        rel, fixed = self._rel(full, top)
        if self._excluded_below(rel, fixed, True):
            return True
        # A virtual environment, whatever its name.
        return os.path.isfile(os.path.join(full, "pyvenv.cfg"))

    def _take_file(self, path: str, top: str) -> bool:
        if os.path.isdir(path) or not os.path.lexists(path):
            return False  # a symbolic link to a folder, or deleted since listed
        rel, fixed = self._rel(os.path.abspath(path), top)
        if self._excluded_below(rel, fixed, False):
            return False
        return self.include.match(rel, False)

    def _walk_plain(self, directory: str, top: str) -> list[tuple[str, str]]:
        """The walk of ``os.walk`` (top-down, sorted, symbolic links to
        folders not followed), with each entry judged once: a folder that is
        walked has had every folder above it judged already, so below it
        only the entry's own relative path is matched."""
        out: list[tuple[str, str]] = []
        stack = [(directory, os.path.abspath(directory))]
        while stack:
            root, absroot = stack.pop()
            try:
                with os.scandir(root) as it:
                    entries = list(it)
            except OSError as exc:
                out.append((exc.filename or root, f"{type(exc).__name__}: {exc.strerror or exc}"))
                continue
            # Entries are matched relative to the base where they lie below
            # it, else relative to the folder the walk started from (see
            # _rel); only the base itself, met from outside, changes sides.
            root_rel = self.exclude.relative(absroot)
            outside = root_rel is None
            if outside:
                root_rel = os.path.relpath(absroot, top).replace(os.sep, "/")
                root_rel = "" if root_rel == os.curdir else root_rel
            dirs: list[tuple[str, bool]] = []
            files: list[tuple[str, bool]] = []
            for entry in entries:
                try:
                    is_dir = entry.is_dir()
                except OSError:
                    is_dir = False
                (dirs if is_dir else files).append((entry.name, entry.is_symlink()))
            for name, link in sorted(files):
                path = os.path.join(root, name)
                if not link:
                    # Listed a moment ago and not a link: a file that exists.
                    rel = f"{root_rel}/{name}" if root_rel else name
                    if not self.exclude.match(rel, False) and self.include.match(rel, False):
                        out.append((path, ""))
                elif self._take_file(path, top):
                    out.append((path, ""))
            below = []
            for name, link in sorted(dirs):
                full = os.path.join(absroot, name)
                if outside and full == self.exclude.base:
                    skip = self._skip_dir(full, top)
                else:
                    skip = self.exclude.match(f"{root_rel}/{name}" if root_rel else name, True) or os.path.isfile(
                        os.path.join(full, "pyvenv.cfg"))
                if not skip and not link:
                    below.append((os.path.join(root, name), full))
            stack.extend(reversed(below))
        return out
