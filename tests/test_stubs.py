"""The type stubs agree with the built module and a type checker finds them."""

import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")


def run(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=cwd, timeout=300)


def test_stubtest_matches_the_module():
    out = run("mypy.stubtest", "velmora")
    assert out.returncode == 0, out.stdout + out.stderr


def test_mypy_checks_user_code_against_the_stubs(tmp_path):
    good = tmp_path / "good.py"
    good.write_text(textwrap.dedent("""
        import velmora as v
        g = v.ControlFlowGraph({0: v.BasicBlock(0)}, [v.CFGEdge(0, 1, v.EdgeKind.TRUE)])
        n: int = g.cyclomatic_complexity()
        d, ops = v.compute_sequence_distance(["a"], ["b"])
        total: int = d + ops["insertions"]
        r: float = v.calculate_kolmogorov_proxy("text")
    """))
    bad = tmp_path / "bad.py"
    bad.write_text("import velmora as v\ns: str = v.BasicBlock(0).id\n")
    ok = run("mypy", "--strict", "--no-incremental", str(good), cwd=tmp_path)
    assert ok.returncode == 0, ok.stdout + ok.stderr
    fail = run("mypy", "--no-incremental", str(bad), cwd=tmp_path)
    assert fail.returncode == 1 and "incompatible types in assignment" in fail.stdout.lower(), fail.stdout
