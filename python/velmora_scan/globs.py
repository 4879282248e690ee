"""Glob patterns for selecting files, spelled as in ``.gitignore`` files.

A pattern without a slash (``build``, ``*_pb2.py``) matches a file or
directory of that name anywhere; a pattern with a slash (``src/gen/**``,
``/setup.py``) is anchored at the base directory. ``*`` and ``?`` stay within
one path component, ``**`` crosses them, ``[...]`` is a character class, and
a trailing ``/`` matches directories only. A directory that matches excludes
everything below it.
"""

from __future__ import annotations

import os
import re
from dataclasses import dataclass


@dataclass(frozen=True, slots=True)
class Pattern:
    text: str
    regex: re.Pattern[str]
    anchored: bool
    dir_only: bool

    def match(self, rel: str, is_dir: bool) -> bool:
        """``rel``: a ``/``-separated path relative to the base."""
        if self.dir_only and not is_dir:
            return False
        subject = rel if self.anchored else rel.rpartition("/")[2]
        return self.regex.fullmatch(subject) is not None


def _translate(glob: str) -> str:
    out: list[str] = []
    i, n = 0, len(glob)
    while i < n:
        c = glob[i]
        if glob.startswith("**/", i):
            out.append("(?:.*/)?")
            i += 3
            continue
        if glob.startswith("**", i):
            out.append(".*")
            i += 2
            continue
        if c == "*":
            out.append("[^/]*")
        elif c == "?":
            out.append("[^/]")
        elif c == "[" and (j := glob.find("]", i + 2)) != -1:
            body = glob[i + 1:j]
            negate = body[:1] in ("!", "^")
            body = re.sub(r"([\\\]\[^])", r"\\\1", body[1:] if negate else body)
            out.append(f"[^/{body}]" if negate else f"(?!/)[{body}]")
            i = j + 1
            continue
        else:
            out.append(re.escape(c))
        i += 1
    return "".join(out)


def compile_pattern(text: str) -> Pattern:
    glob = text.strip()
    dir_only = glob.endswith("/")
    glob = glob.rstrip("/")
    anchored = "/" in glob
    glob = glob.lstrip("/")
    return Pattern(text, re.compile(_translate(glob), re.DOTALL), anchored, dir_only)


class PatternSet:
    """Patterns that share one base directory."""

    def __init__(self, patterns: list[str] | tuple[str, ...], base: str):
        self.patterns = [compile_pattern(p) for p in patterns if p.strip()]
        self.base = os.path.abspath(base)

    def __bool__(self) -> bool:
        return bool(self.patterns)

    def relative(self, path: str) -> str | None:
        """``path`` relative to the base, ``/``-separated; None outside it."""
        rel = os.path.relpath(os.path.abspath(path), self.base)
        if rel == os.curdir:
            return ""
        if rel == os.pardir or rel.startswith(os.pardir + os.sep):
            return None
        return rel.replace(os.sep, "/")

    def match(self, rel: str, is_dir: bool) -> bool:
        """Whether ``rel`` itself matches (its ancestors are not looked at)."""
        return any(p.match(rel, is_dir) for p in self.patterns)

    def covers(self, rel: str, is_dir: bool) -> bool:
        """Whether ``rel`` or one of its ancestor directories matches."""
        parts = rel.split("/")
        for i in range(1, len(parts) + 1):
            if self.match("/".join(parts[:i]), is_dir or i < len(parts)):
                return True
        return False
