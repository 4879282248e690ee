"""The per-file result cache and the worker processes, end to end: what a
cache must never do is change a report, whatever state it is found in."""

import os
import signal
import subprocess
import sys
import time

import pytest

from velmora_scan.cache import MAGIC, Cache
from velmora_scan.scan import scan

CLI = [sys.executable, "-m", "velmora_scan"]


def make_tree(root, files=12):
    root.mkdir(exist_ok=True)
    for i in range(files):
        (root / f"m{i}.py").write_text(
            f"def f{i}(x):\n    if x and {i}:\n        return [a for a in x if a]\n    return {i}\n"
            f"class C{i}:\n    def m(self, y):\n        return y if y else self.m(y)\n")


def entries(cache_dir, runs=False):
    """Per-file entries, or with ``runs`` the entries of whole runs."""
    return sorted(os.path.join(d, n) for d, _, ns in os.walk(cache_dir) for n in ns
                  if d != str(cache_dir) and (os.path.basename(d) == "runs") == runs)


def report(root, cache_dir=None, **kw):
    kw.setdefault("duplicates", 0)
    kw.setdefault("choke_points", 0)
    if cache_dir is None:
        kw["cache"] = False
    else:
        kw["cache_dir"] = str(cache_dir)
    return [(f.path, f.status, f.entropy_variance, f.functions, f.imports) for f in scan([str(root)], **kw).files]


def test_damaged_and_foreign_entries_are_ignored_and_rewritten(tmp_path):
    make_tree(tmp_path / "src")
    fresh = report(tmp_path / "src")
    cache_dir = tmp_path / "cache"
    assert report(tmp_path / "src", cache_dir) == fresh
    stored = entries(cache_dir)
    assert len(stored) == 12 and len(entries(cache_dir, runs=True)) == 1
    stored += entries(cache_dir, runs=True)
    damage = [
        lambda b: b[: len(b) // 2],                         # truncated
        lambda b: b[:-1] + bytes([b[-1] ^ 1]),              # one bit flipped
        lambda b: b"",                                      # empty
        lambda b: MAGIC + b"\0" * 16 + b"not marshal data",  # foreign payload
        lambda b: b"#!/bin/sh\n" + b,                       # someone else's file
    ]
    for i, path in enumerate(stored):
        with open(path, "rb") as fh:
            blob = fh.read()
        with open(path, "wb") as fh:
            fh.write(damage[i % len(damage)](blob))
    assert report(tmp_path / "src", cache_dir) == fresh
    # every entry was written anew and reads back
    for path in stored:
        with open(path, "rb") as fh:
            assert fh.read().startswith(MAGIC)
    assert report(tmp_path / "src", cache_dir) == fresh


def test_a_cache_directory_it_makes_is_marked_and_one_it_finds_is_left_alone(tmp_path):
    make_tree(tmp_path / "src", files=2)
    report(tmp_path / "src", tmp_path / "new" / "cache")
    assert os.listdir(tmp_path / "new") == ["cache"]  # no temporary left beside it
    made = tmp_path / "new" / "cache"
    assert (made / ".gitignore").read_text() == "*\n"
    assert (made / "CACHEDIR.TAG").read_text().startswith("Signature: 8a477f597d28d172789f06886806bc55\n")
    (tmp_path / "mine").mkdir()
    report(tmp_path / "src", tmp_path / "mine")
    assert not {".gitignore", "CACHEDIR.TAG"} & set(os.listdir(tmp_path / "mine"))
    assert len(entries(made)) == len(entries(tmp_path / "mine")) == 2


def test_an_entry_is_only_found_under_its_own_key(tmp_path):
    cache = Cache(str(tmp_path), (512, False, "native"))
    cache.put(b"a = 1\n", ("ok", "", 6, 1, 0.0, (), (), False))
    assert cache.get(b"a = 1\n") == ("ok", "", 6, 1, 0.0, (), (), False)
    # an entry moved under another name is refused
    (src,) = entries(tmp_path)
    other = Cache(str(tmp_path), (512, False, "native"))
    target, _ = other._entry(b"b = 2\n")
    os.makedirs(os.path.dirname(target), exist_ok=True)
    os.replace(src, target)
    assert other.get(b"b = 2\n") is None


@pytest.mark.parametrize("change", [{"block_size": 64}, {"count_bool_ops": True}, {"engine": "reference"}])
def test_changed_options_look_for_other_entries(tmp_path, change):
    make_tree(tmp_path / "src", files=4)
    cache_dir = tmp_path / "cache"
    report(tmp_path / "src", cache_dir)
    assert len(entries(cache_dir)) == 4
    assert report(tmp_path / "src", cache_dir, **change) == report(tmp_path / "src", **change)
    assert len(entries(cache_dir)) == 8
    # and a changed file is a new entry, the old one untouched
    (tmp_path / "src" / "m0.py").write_text("def g():\n    return 1\n")
    assert report(tmp_path / "src", cache_dir) == report(tmp_path / "src")
    assert len(entries(cache_dir)) == 9


def test_concurrent_runs_share_a_cache(tmp_path):
    make_tree(tmp_path / "src", files=60)
    cmd = CLI + [str(tmp_path / "src"), "--format", "json", "-j", "2", "--cache-dir", str(tmp_path / "cache")]
    expected = subprocess.run(CLI + [str(tmp_path / "src"), "--format", "json", "--no-cache"],
                              capture_output=True, check=False).stdout
    runs = [subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL) for _ in range(3)]
    outputs = [p.communicate()[0] for p in runs]
    assert all(out == expected for out in outputs)
    stored = entries(tmp_path / "cache")
    assert len(stored) == 60 and not [p for p in stored if p.endswith(".tmp")]
    # warm, and at another number of workers: the same bytes
    warm = subprocess.run(cmd[:-4] + ["-j", "1", "--cache-dir", str(tmp_path / "cache")],
                          capture_output=True, check=False).stdout
    assert warm == expected


def test_an_interrupted_run_leaves_a_usable_cache(tmp_path):
    src = tmp_path / "src"
    src.mkdir()
    body = "".join(f"def f{i}(x):\n    return [a if b else c for a in x if a]\n" for i in range(3000))
    for i in range(40):
        (src / f"big{i}.py").write_text(body)
    cache_dir = tmp_path / "cache"
    proc = subprocess.Popen(CLI + [str(src), "-j", "1", "--cache-dir", str(cache_dir), "--duplicates", "0"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 60
    while len(entries(cache_dir)) < 2 and time.monotonic() < deadline and proc.poll() is None:
        time.sleep(0.02)
    proc.send_signal(signal.SIGINT)
    assert proc.wait(60) in (0, 1, 130)
    kept = [p for p in entries(cache_dir) if not p.endswith(".tmp")]
    assert kept, "the run finished no file before the interrupt"
    assert report(src, cache_dir, duplicates=0) == report(src, duplicates=0)


def test_an_unchanged_input_reloads_its_whole_run_and_a_changed_one_does_not(tmp_path, monkeypatch):
    from velmora_scan import structure

    src = tmp_path / "src"
    make_tree(src, files=6)
    options = {"duplicates": 10, "min_statements": 1}

    def run() -> bool:
        """Whether the cached run computed the whole-input passes."""
        fresh = scan([str(src)], cache=False, **options)
        calls.clear()
        result = scan([str(src)], cache_dir=str(tmp_path / "cache"), **options)
        assert (result.files, result.clusters, result.structure, result.findings) == (
            fresh.files, fresh.clusters, fresh.structure, fresh.findings)
        assert result.clusters.clusters, "the tree has duplicates to cluster"
        return bool(calls)

    analyse = structure.analyse
    calls = []
    monkeypatch.setattr(structure, "analyse", lambda *a, **kw: calls.append(1) or analyse(*a, **kw))
    for change, recomputed in [
        (lambda: None, True),                       # the first run
        (lambda: None, False),                      # nothing changed: reloaded
        (lambda: options.update(min_similarity=0.9), True),
        (lambda: (src / "m3.py").write_text("def g(x):\n    return x\n"), True),
        (lambda: (src / "m3.py").unlink(), True),
        (lambda: None, False),
    ]:
        change()
        assert run() == recomputed
    (run_entry,) = entries(tmp_path / "cache", runs=True)  # each run replaced the one before
