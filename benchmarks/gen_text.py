"""Real source text and token streams, read from the running interpreter's
standard library (the same files on every run of one interpreter build)."""

from __future__ import annotations

import functools
import io
import os
import random
import sysconfig
import tokenize


@functools.lru_cache(maxsize=None)
def stdlib_files() -> tuple[str, ...]:
    root = sysconfig.get_paths()["stdlib"]
    found = []
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = sorted(d for d in dirnames if d not in ("site-packages", "__pycache__"))
        found.extend(os.path.join(dirpath, f) for f in sorted(filenames) if f.endswith(".py"))
    return tuple(found)


def _read(path: str) -> str:
    with open(path, "rb") as fh:
        data = fh.read()
    # A few test files hold deliberately broken encodings; keep them as text.
    return data.decode("utf-8", errors="replace")


@functools.lru_cache(maxsize=None)
def source_text(n_chars: int) -> str:
    """The first ``n_chars`` characters of the stdlib sources, concatenated
    in path order (wrapping around if the library is smaller)."""
    parts: list[str] = []
    total = 0
    files = stdlib_files()
    i = 0
    while total < n_chars:
        text = _read(files[i % len(files)])
        parts.append(text)
        total += len(text)
        i += 1
    return "".join(parts)[:n_chars]


@functools.lru_cache(maxsize=None)
def _all_tokens(limit: int) -> tuple[str, ...]:
    out: list[str] = []
    for path in stdlib_files():
        try:
            toks = tokenize.generate_tokens(io.StringIO(_read(path)).readline)
            out.extend(t.string for t in toks if t.type != tokenize.ENDMARKER)
        except (tokenize.TokenError, SyntaxError, IndentationError):
            continue  # a few test files are not valid Python on purpose
        if len(out) >= limit:
            break
    return tuple(out)


def tokens(n: int, offset: int = 0) -> list[str]:
    """``n`` consecutive tokens of the stdlib, starting ``offset`` tokens in."""
    allt = _all_tokens(offset + n)
    return list(allt[offset : offset + n])


@functools.lru_cache(maxsize=None)
def token_pair(n: int, edit_rate: float = 0.1, seed: int = 3) -> tuple[tuple[str, ...], tuple[str, ...]]:
    """A token stream and an edited revision of it: about ``edit_rate`` of the
    positions get a deleted, inserted or replaced token (drawn from the same
    stream, so the alphabet stays realistic), as between two versions of a
    file."""
    rng = random.Random(seed)
    src = tokens(n)
    pool = tokens(min(n, 5000), offset=n)
    dst: list[str] = []
    for tok in src:
        r = rng.random()
        if r < edit_rate / 3:
            continue
        if r < 2 * edit_rate / 3:
            dst.append(rng.choice(pool))
            continue
        dst.append(tok)
        if r < edit_rate:
            dst.append(rng.choice(pool))
    return tuple(src), tuple(dst)


def unrelated_pair(n: int) -> tuple[list[str], list[str]]:
    """Two different stretches of the stdlib of ``n`` tokens each."""
    return tokens(n), tokens(n, offset=3 * n)
