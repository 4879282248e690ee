"""Reading one source file as the interpreter would, and refusing the ones
it should not touch.

A FIFO, a device or a socket named ``*.py`` is skipped from its ``stat``
alone: opening a FIFO for reading blocks until a writer comes, and reading
a device can have effects. The file is then opened without blocking and
checked again on the open descriptor, so that one swapped in between the
two steps is still refused. The bytes are decoded as the interpreter
decodes a source file (a UTF-8 byte-order mark, a PEP 263 coding cookie on
the first two lines, UTF-8 otherwise), and bytes that do not decode make the
file unreadable for us as they do for the interpreter.
"""

from __future__ import annotations

import codecs
import errno
import io
import os
import stat
import tokenize

_KINDS = (
    (stat.S_ISFIFO, "FIFO"),
    (stat.S_ISCHR, "character device"),
    (stat.S_ISBLK, "block device"),
    (stat.S_ISSOCK, "socket"),
    (stat.S_ISDIR, "directory"),
)


class SourceError(Exception):
    """A file that cannot be analysed; ``status`` is "error" or "skipped"."""

    def __init__(self, reason: str, status: str = "error", size: int = 0):
        super().__init__(reason)
        self.reason = reason
        self.status = status
        self.size = size


def special_kind(mode: int) -> str | None:
    """What a non-regular file is, or None for a regular file."""
    for test, name in _KINDS:
        if test(mode):
            return name
    return None if stat.S_ISREG(mode) else "special file"


def _os_reason(exc: OSError) -> str:
    if exc.errno == errno.ELOOP:
        return "symbolic link loop"
    text = exc.strerror or str(exc)
    return f"{type(exc).__name__}: {text}"


def read_bytes(path: str) -> bytes:
    try:
        st = os.stat(path)
    except OSError as exc:
        raise SourceError(_os_reason(exc)) from None
    kind = special_kind(st.st_mode)
    if kind is not None:
        raise SourceError(f"not a regular file ({kind})", "skipped")
    flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0)
    try:
        fd = os.open(path, flags)
    except OSError as exc:
        raise SourceError(_os_reason(exc), size=st.st_size) from None
    try:
        kind = special_kind(os.fstat(fd).st_mode)
        if kind is not None:
            raise SourceError(f"not a regular file ({kind})", "skipped")
        with open(fd, "rb", closefd=False) as fh:
            return fh.read()
    except OSError as exc:
        raise SourceError(_os_reason(exc), size=st.st_size) from None
    finally:
        os.close(fd)


def decode(data: bytes) -> str:
    """The text of a source file, decoded as the interpreter decodes it.

    Raises SyntaxError with the reason when the interpreter would refuse the
    bytes: an unknown or conflicting coding declaration, or bytes invalid in
    the declared (or default UTF-8) encoding.
    """
    encoding, _ = tokenize.detect_encoding(io.BytesIO(data).readline)
    try:
        return data.decode(encoding)
    except LookupError as exc:  # a codec that is not a text encoding
        raise SyntaxError(str(exc)) from None
    except UnicodeDecodeError as exc:
        line = data.count(b"\n", 0, exc.start) + 1
        name = codecs.lookup(encoding).name
        raise SyntaxError(f"bytes not valid {name} at line {line}: {exc.reason}") from None


def reason_of(exc: BaseException) -> str:
    """``SyntaxError: invalid syntax (line 1)`` and the like."""
    if isinstance(exc, SyntaxError):
        msg = exc.msg or str(exc)
        where = f" (line {exc.lineno})" if exc.lineno else ""
        return f"{type(exc).__name__}: {msg}{where}"
    return f"{type(exc).__name__}: {exc}"
