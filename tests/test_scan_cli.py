"""velmora-scan as users run it: exit statuses, findings, files the
interpreter would refuse, paths, JSON and terminal output."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time
from importlib import metadata

import pytest

from velmora_scan import SAMPLE, scan
from velmora_scan.__main__ import main

CLEAN = "def f(x):\n    return x\n"
BRANCHY = "def g(x):\n    if x:\n        return 1\n    elif x > 2:\n        return 2\n    return 3\n"


def run(*args, cwd=None, env=None, code=None):
    cmd = [sys.executable, "-c", code, *args] if code else [sys.executable, "-m", "velmora_scan", *args]
    return subprocess.run(cmd, cwd=cwd, env=env, capture_output=True, text=True, timeout=120)


@pytest.fixture
def tree(tmp_path):
    (tmp_path / "clean.py").write_text(CLEAN)
    (tmp_path / "branchy.py").write_text(BRANCHY)
    return tmp_path


# -- the exit-status contract, end to end ------------------------------------------


def test_exit_0_when_nothing_to_report(tree):
    r = run("clean.py", "branchy.py", "--max-cyclomatic", "3", "--no-progress", cwd=tree)
    assert r.returncode == 0, r.stderr
    assert r.stderr == ""


def test_exit_1_lists_every_finding_on_stdout(tree):
    (tree / "bad.py").write_text("def f(:\n")
    r = run(".", "missing.py", "--fail-above", "2", "--max-nesting", "0", cwd=tree)
    assert r.returncode == 1, r.stderr
    tail = r.stdout.splitlines()[-4:]
    assert tail == [
        "./bad.py: SyntaxError: invalid syntax (line 1)",
        "./branchy.py:1 g cyclomatic 3 > 2",
        "./branchy.py:1 g nesting 1 > 0",
        "missing.py: FileNotFoundError: No such file or directory",
    ]
    assert r.stderr == ""


def test_exit_2_on_usage_errors_and_internal_failures(tree):
    r = run("--max-cognitive", "-1", cwd=tree)
    assert r.returncode == 2 and "must not be negative" in r.stderr and r.stdout == ""
    # A fault of the analyzer in one file: that file is named with the
    # fault, the others are still analysed, and the status says "tool failure".
    code = textwrap.dedent("""
        import sys, velmora_scan.analysis as a
        real = a.compact_source
        def measure(source, path, *args, **kw):
            if path.endswith("branchy.py"):
                raise ZeroDivisionError("boom")
            return real(source, path, *args, **kw)
        a.compact_source = measure
        from velmora_scan.cli import main
        sys.exit(main(sys.argv[1:]))
    """)
    r = run("clean.py", "branchy.py", "--fail-above", "100", code=code, cwd=tree)
    assert r.returncode == 2
    assert "branchy.py: internal error: ZeroDivisionError: boom" in r.stdout
    assert "clean.py:1" in r.stdout  # still analysed and listed
    assert "Traceback" in r.stderr


LONG = "a" * 300 + ".py"
INTERRUPT = "<Ctrl-C once the first file is cached>"


@pytest.mark.parametrize("args,status,expected", [
    # Files the OS refuses (as root, permissions refuse nothing): a finding each.
    ([LONG], 1, f"{LONG}: OSError: File name too long"),
    pytest.param(["/proc/self/mem"], 1, "/proc/self/mem: OSError: Input/output error",  # read() fails
                 marks=pytest.mark.skipif(not os.path.exists("/proc/self/mem"), reason="no /proc")),
    # Ctrl-C at a terminal reaches the whole process group, workers included.
    ([INTERRUPT, "-j", "1"], 130, "velmora-scan: interrupted"),
    ([INTERRUPT, "-j", "2"], 130, "velmora-scan: interrupted"),
], ids=["name-too-long", "read-fails", "interrupted", "interrupted-workers"])
def test_exit_status_table(tmp_path, args, status, expected):
    if INTERRUPT not in args:
        r = run(*args, "--no-progress", "--no-cache", cwd=tmp_path)
        assert (r.returncode, r.stderr) == (status, ""), r.stderr
        assert r.stdout.splitlines()[-1] == expected
        return
    body = "".join(f"def f{i}(x):\n    return [a if b else c for a in x if a]\n" for i in range(3000))
    for i in range(40):
        (tmp_path / f"big{i}.py").write_text(body)
    cache = tmp_path / "cache"
    proc = subprocess.Popen([sys.executable, "-m", "velmora_scan", str(tmp_path), "--cache-dir", str(cache),
                             *args[1:]], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)
    deadline = time.monotonic() + 60
    while not any(files for d, _, files in os.walk(cache) if d != str(cache)) and time.monotonic() < deadline:
        assert proc.poll() is None, proc.communicate()
        time.sleep(0.02)
    os.killpg(proc.pid, signal.SIGINT)
    try:
        out, err = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:  # hung: leave nothing behind
            os.killpg(proc.pid, signal.SIGKILL)
    assert (proc.returncode, err.strip(), out) == (status, expected, "")


def test_help_and_version():
    r = run("--help")
    assert r.returncode == 0 and "exit status:" in r.stdout and "path:line qualname metric value > limit" in r.stdout
    r = run("--version")
    assert r.returncode == 0 and r.stdout.strip() == f"velmora-scan {metadata.version('velmora')}"


# -- files that cannot be analysed -----------------------------------------------------

BAD_FILES = [
    # (bytes, status, start of the reason); the interpreter refuses each one
    (b"def f(:\n", "error", "SyntaxError: invalid syntax (line 1)"),
    (b"def h():\n    return '\xff'\n", "error", "SyntaxError: (unicode error) 'utf-8' codec can't decode"),
    (b"# coding: no-such-codec\nx = 1\n", "error", "SyntaxError: unknown encoding: no-such-codec"),
    (b"\xef\xbb\xbf# coding: latin-1\nx = 1\n", "error", "SyntaxError: encoding problem"),
    (b"# coding: rot13\nx = 1\n", "error", "SyntaxError: 'rot13' is not a text encoding"),
    (b"x = 1\x00\n", "error", "SyntaxError: source code string cannot contain null bytes"),
]


@pytest.mark.parametrize("data,status,reason", BAD_FILES)
def test_files_the_interpreter_refuses_are_findings(tmp_path, data, status, reason):
    (tmp_path / "a.py").write_bytes(data)
    (tmp_path / "b.py").write_text(CLEAN)
    result = scan([str(tmp_path)], duplicates=0, choke_points=0)
    a, b = result.files
    assert (a.status, b.status) == (status, "ok")
    assert a.reason.startswith(reason), a.reason
    assert [f.path for f in result.findings] == [a.path]


def test_files_the_interpreter_accepts_are_decoded_as_it_does(tmp_path):
    (tmp_path / "latin.py").write_bytes(b"# -*- coding: latin-1 -*-\ndef g():\n    return '\xe9'\n")
    (tmp_path / "bom.py").write_bytes(b"\xef\xbb\xbfdef h():\n    return '\xc3\xa9'\n")
    result = scan([str(tmp_path)], duplicates=0, choke_points=0)
    assert [f.status for f in result.files] == ["ok", "ok"] and not result.findings
    assert sorted(f.qualname for f in result.functions) == ["g", "h"]


def test_special_files_are_skipped_without_being_read(tmp_path):
    os.mkfifo(tmp_path / "pipe.py")  # reading it would block forever
    (tmp_path / "loop.py").symlink_to("loop.py")
    (tmp_path / "dangling.py").symlink_to("nowhere.py")
    (tmp_path / "ok.py").write_text(CLEAN)
    result = scan([str(tmp_path), str(tmp_path / "pipe.py")], duplicates=0, choke_points=0)
    got = {os.path.basename(r.path): (r.status, r.reason) for r in result.files}
    assert got == {
        "dangling.py": ("error", "FileNotFoundError: No such file or directory"),
        "loop.py": ("error", "symbolic link loop"),
        "ok.py": ("ok", ""),
        "pipe.py": ("skipped", "not a regular file (FIFO)"),
    }
    assert len(result.files) == 4  # the FIFO named twice is listed once


# -- paths, JSON, terminal width --------------------------------------------------------


def test_paths_are_printed_as_given(tree, capsys):
    sub = tree / "pkg"
    sub.mkdir()
    (sub / "m.py").write_text(BRANCHY)
    absolute = str(sub / "m.py")
    os.chdir(tree)
    assert main(["pkg/", absolute, "--fail-above", "1", "--no-progress"]) == 1
    out = capsys.readouterr().out
    assert "pkg/m.py:1 g cyclomatic 3 > 1" in out.splitlines()
    assert main([absolute, "--fail-above", "1", "--json"]) == 1
    doc = json.loads(capsys.readouterr().out)
    assert doc["files"][0]["path"] == absolute  # leading "/" kept
    assert doc["findings"][0]["path"] == absolute


def test_the_sample_is_shown_by_short_paths_and_read_where_it_is(tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert main(["--json", "--no-cache", "--html", "r.html", "--top", "1"]) == 0
    doc = json.loads(capsys.readouterr().out)
    assert [f["path"] for f in doc["files"]] == [
        f"velmora_scan/sample/{n}.py" for n in ("__init__", "inventory", "parser", "pricing")]
    assert doc["functions"][0]["file"] == "velmora_scan/sample/parser.py"
    page = (tmp_path / "r.html").read_text()
    assert "velmora_scan/sample/parser.py:24" in page and "def parse_orders(" in page and SAMPLE not in page
    # named by the user, it is shown as named
    assert main([SAMPLE, "--json", "--no-cache"]) == 0
    assert {f["path"] for f in json.loads(capsys.readouterr().out)["files"]} == {
        os.path.join(SAMPLE, f"{n}.py") for n in ("__init__", "inventory", "parser", "pricing")}


def test_json_header_and_byte_identical_runs(tree, capsys):
    for i in range(30):
        (tree / f"m{i}.py").write_text(BRANCHY.replace("def g", f"def g{i}"))
    outs = []
    for jobs in ("1", "2", "1"):
        assert main([str(tree), "--json", "-j", jobs, "--timings"]) == 0
        captured = capsys.readouterr()
        assert captured.err.startswith("time")  # timings go to stderr only
        outs.append(captured.out)
    assert outs[0] == outs[1] == outs[2]
    doc = json.loads(outs[0])
    assert (doc["tool"], doc["version"], doc["schema_version"]) == ("velmora-scan", metadata.version("velmora"), 1)
    assert len(doc["functions"]) == 32


def test_tables_fit_the_terminal_and_findings_stay_whole(tree, capsys, monkeypatch):
    deep = tree / ("very_long_directory_name_" * 4)
    deep.mkdir()
    (deep / "module_with_a_long_name.py").write_text(
        "class Outer:\n    class InnerWithAnEvenLongerName:\n" + textwrap.indent(BRANCHY, "        ").replace("def g(x)", "def method_name(self, x)")
    )
    monkeypatch.setenv("COLUMNS", "80")
    assert main([str(tree), "--fail-above", "2"]) == 1
    lines = capsys.readouterr().out.splitlines()
    finding = lines[-1]
    assert finding.endswith("Outer.InnerWithAnEvenLongerName.method_name cyclomatic 3 > 2") and str(deep) in finding
    table = lines[: lines.index("") if "" in lines else None] + [x for x in lines if "method_name" in x and x != finding]
    assert all(len(x) <= 80 for x in table), [x for x in table if len(x) > 80]
    assert any("…" in x and "method_name" in x for x in lines)
