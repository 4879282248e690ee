"""Per-file results kept between runs.

An entry holds the compact result of one file (see `analysis.Compact`),
filed under a digest of the file's bytes and of everything else that
decides the result: the tool's own files (see `_build_id`), the
interpreter's version, and the options that change results. A changed
file, another interpreter or other options therefore look for another
entry; the file's path and module name are not part of an entry, so they
are filled in from the run that reads it.

Entries are written to a temporary file in the cache directory and renamed
into place, so that a reader sees either no entry or a whole one, never a
part: runs sharing the directory at the same time at worst write the same
entry twice, and an interrupted run leaves every entry it had finished. A
file that cannot be read, fails its checksum, was written by something else
or holds another key than the one it is filed under is ignored and written
anew: an entry is never trusted before it has been checked.

A cache directory the tool creates holds a ``.gitignore`` of ``*`` and a
``CACHEDIR.TAG``, so that git and backup tools pass it by; it appears whole
with both (made under a temporary name and renamed), and a directory that
already exists is left as it is.
"""

from __future__ import annotations

import marshal
import os
import sys

import velmora as v

DEFAULT_DIR = ".velmora_cache"
MAGIC = b"velmora-scan cache 2\n"
_CHECK = 16  # bytes of the payload checksum after MAGIC


def sha256(data: bytes = b""):
    """SHA-256, which processors with SHA extensions compute at about twice
    the speed of BLAKE2 (a warm run hashes every byte of its input once).
    hashlib is imported here: it loads the whole OpenSSL library, which a
    run without the cache never needs."""
    import hashlib

    return hashlib.sha256(data)


MARKS = {
    ".gitignore": "*\n",
    "CACHEDIR.TAG": "Signature: 8a477f597d28d172789f06886806bc55\n"
                    "# This file is a cache directory tag created by velmora-scan.\n"
                    "# For information about cache directory tags see https://bford.info/cachedir/\n",
}


def _build_id() -> str:
    """The identity of the tool's own files: the modules and native modules
    of this package and the velmora library, by name, size and modification
    time. A new version, a rebuild and an edited module each change it; the
    version itself would cost the package metadata machinery on every run."""
    try:
        with os.scandir(os.path.dirname(os.path.abspath(__file__))) as it:
            files = [(e.name, e.stat()) for e in it if e.name.endswith((".py", ".so", ".pyd"))]
        files.append(("velmora", os.stat(v.__file__)))
    except (OSError, TypeError):
        return "?"
    return repr(sorted((name, st.st_size, st.st_mtime_ns) for name, st in files))


def _valid(value) -> bool:
    """The shape of a compact result, checked before anything reads it."""
    if type(value) is not tuple or len(value) != 8:
        return False
    status, reason, size, lines, variance, functions, imports, internal = value
    if not (type(status) is str and type(reason) is str and type(size) is int and type(lines) is int
            and type(variance) is float and type(functions) is tuple and type(imports) is tuple
            and type(internal) is bool):
        return False
    return all(type(f) is tuple and len(f) == 21 for f in functions) and all(
        type(i) is tuple and len(i) == 6 for i in imports)


class Cache:
    """The entries in ``directory`` for results computed with ``options``
    (a tuple of the result-changing settings)."""

    def __init__(self, directory: str, options: tuple):
        self.directory = directory
        self.made = False
        key = (_build_id(), sys.version, sys.implementation.cache_tag, options)
        self.salt = repr(key).encode()
        # The entry of the bytes last looked up: a miss is followed by a put
        # of the same bytes, which need not be hashed twice.
        self._last: tuple[bytes | None, tuple[str, str]] = (None, ("", ""))

    def _entry(self, data: bytes) -> tuple[str, str]:
        if data is not self._last[0]:
            h = sha256(self.salt)
            h.update(data)
            digest = h.hexdigest()
            self._last = (data, (os.path.join(self.directory, digest[:2], digest[2:]), digest))
        return self._last[1]

    def get(self, data: bytes):
        """The compact result stored for these bytes, or None."""
        path, digest = self._entry(data)
        value = self._read(path, digest)
        return value if _valid(value) else None

    def put(self, data: bytes, value) -> None:
        """Stores a result; a cache that cannot be written is no error."""
        path, digest = self._entry(data)
        self._write(path, digest, value)

    # A whole run: every file's compact result and the whole-input passes'
    # results, filed under the run's name (the paths it was given) and kept
    # under a key made of the passes' options and every file's path, module
    # name and bytes, so that an unchanged input reloads them and a changed
    # one finds a stale key. One entry per name: each run replaces the one
    # before, so runs over a changing tree do not pile up.

    def _run_entry(self, name: str) -> str:
        h = sha256(self.salt)
        h.update(b"\0run\0" + name.encode("utf-8", "surrogatepass"))
        return os.path.join(self.directory, "runs", h.hexdigest())

    def run_key(self, identity: str) -> str:
        h = sha256(self.salt)
        h.update(identity.encode("utf-8", "surrogatepass"))
        return h.hexdigest()

    def get_run(self, name: str, key: str):
        """(compacts, clusters, structure) stored for the run, or None; the
        passes' results in the plain form of `clusters.to_plain` and
        `structure.to_plain` (None where the pass did not run)."""
        value = self._read(self._run_entry(name), key)
        if not (type(value) is tuple and len(value) == 3 and type(value[0]) is tuple):
            return None
        return value if all(map(_valid, value[0])) else None

    def put_run(self, name: str, key: str, value) -> None:
        self._write(self._run_entry(name), key, value)

    def _read(self, path: str, key: str):
        """The value stored at ``path`` under ``key``, or None."""
        try:
            with open(path, "rb") as fh:
                blob = fh.read()
        except OSError:
            return None
        head = len(MAGIC)
        if not blob.startswith(MAGIC) or len(blob) < head + _CHECK:
            return None
        payload = memoryview(blob)[head + _CHECK:]
        if sha256(payload).digest()[:_CHECK] != blob[head:head + _CHECK]:
            return None
        try:
            stored, value = marshal.loads(payload)
        except (ValueError, EOFError, TypeError):
            return None
        return value if stored == key else None

    def _write(self, path: str, key: str, value) -> None:
        payload = marshal.dumps((key, value), 4)
        blob = MAGIC + sha256(payload).digest()[:_CHECK] + payload
        folder = os.path.dirname(path)
        tmp = None
        try:
            if not self.made:
                self._make()
            os.makedirs(folder, exist_ok=True)
            import tempfile

            fd, tmp = tempfile.mkstemp(prefix=".", suffix=".tmp", dir=folder)
            with os.fdopen(fd, "wb") as fh:
                fh.write(blob)
            os.replace(tmp, path)
            tmp = None
        except OSError:
            pass
        finally:
            if tmp is not None:
                try:
                    os.unlink(tmp)
                except OSError:
                    pass

    def _make(self) -> None:
        """Creates the cache directory with its marks, unless it exists."""
        import secrets
        import shutil

        if not os.path.isdir(self.directory):
            parent = os.path.dirname(os.path.abspath(self.directory))
            os.makedirs(parent, exist_ok=True)
            # mkdir rather than mkdtemp: the directory gets the umask's
            # permissions, as one made by makedirs would.
            tmp = os.path.join(parent, f".velmora_cache-{os.getpid()}-{secrets.token_hex(4)}.tmp")
            os.mkdir(tmp)
            try:
                for name, text in MARKS.items():
                    with open(os.path.join(tmp, name), "w", encoding="ascii") as fh:
                        fh.write(text)
                os.rename(tmp, self.directory)
                tmp = None
            except OSError:
                if not os.path.isdir(self.directory):
                    raise
                # Another run made it first.
            finally:
                if tmp is not None:
                    shutil.rmtree(tmp, ignore_errors=True)
        self.made = True
