"""What a user installs: the sdist builds, the wheel built from it is
repaired into a manylinux wheel, and that wheel installs and runs in a fresh
environment with no compiler on PATH."""

import os
import re
import subprocess
import sys
import textwrap
import tomllib
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
VERSION = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
pytestmark = [pytest.mark.slow, pytest.mark.packaging]


def run(cmd, **kwargs):
    proc = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, timeout=900, **kwargs)
    assert proc.returncode == 0, f"{cmd}\n{proc.stdout}\n{proc.stderr}"
    return proc.stdout


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    # The wheel is built from the sdist rather than the tree, so a file the
    # sdist leaves out fails the build here.
    out = tmp_path_factory.mktemp("dist")
    run([sys.executable, "-m", "build", "--sdist", "--no-isolation", "--outdir", out, ROOT])
    (sdist,) = out.glob("velmora-*.tar.gz")
    env = dict(os.environ, PYTHON=sys.executable)
    return Path(run([ROOT / "scripts" / "wheel.sh", sdist, out / "wheelhouse"], env=env).splitlines()[-1])


def test_the_wheel_is_manylinux_and_complete(wheel):
    tag = f"cp{sys.version_info[0]}{sys.version_info[1]}"
    assert re.fullmatch(rf"velmora-{re.escape(VERSION)}-{tag}-{tag}-manylinux_2_\d+_x86_64\.whl", wheel.name)
    names = zipfile.ZipFile(wheel).namelist()
    assert any(re.fullmatch(r"velmora\.cpython-\d+-x86_64-linux-gnu\.so", n) for n in names)
    for wanted in ["velmora_scan/__main__.py", "velmora_scan/sample/pricing.py", "velmora-stubs/__init__.pyi"]:
        assert wanted in names
    # zlib is the system's (see scripts/wheel.sh): nothing is grafted.
    assert not [n for n in names if ".libs/" in n]


CHECK = textwrap.dedent("""
    import importlib.metadata, shutil, sys, zlib
    import velmora as v

    assert importlib.metadata.version("velmora") == sys.argv[1]
    assert not [c for c in ("cc", "gcc", "c++", "g++", "clang") if shutil.which(c)]
    text = "def f(x):\\n    return x + 1\\n" * 20
    assert v.calculate_entropy_detailed(text).compressed_size == len(zlib.compress(text.encode(), 9))
    # The probes and the zlib module share one zlib.
    with open("/proc/self/maps") as maps:
        zlibs = {line.split()[-1] for line in maps if "/libz" in line}
    assert len(zlibs) == 1, zlibs
    K = v.EdgeKind
    g = v.ControlFlowGraph({i: v.BasicBlock(i) for i in range(4)},
                           [v.CFGEdge(0, 1, K.UNCONDITIONAL), v.CFGEdge(1, 2, K.TRUE),
                            v.CFGEdge(2, 1, K.LOOPBACK), v.CFGEdge(1, 3, K.FALSE)], 0, 3)
    assert (g.cyclomatic_complexity(), g.cycle_basis().betti_1, g.longest_acyclic_path()) == (2, 1, 2)
    print("ok")
""")


def test_the_wheel_installs_and_runs_without_a_compiler(wheel, tmp_path):
    venv = tmp_path / "venv"
    run([sys._base_executable, "-m", "venv", venv])
    # Only the environment's own programs are on PATH: no compiler, no
    # build tools, and no index to fetch anything from.
    env = {"PATH": str(venv / "bin"), "HOME": str(tmp_path), "PIP_NO_INDEX": "1"}
    run([venv / "bin" / "python", "-m", "pip", "install", "-q", "--disable-pip-version-check", wheel], env=env)
    assert run([venv / "bin" / "python", "-c", CHECK, VERSION], env=env, cwd=tmp_path) == "ok\n"
    scan = subprocess.run([venv / "bin" / "velmora-scan"], capture_output=True, text=True, env=env, cwd=tmp_path,
                          timeout=300)
    assert scan.returncode in (0, 1), scan.stderr
    assert "pricing.py" in scan.stdout, scan.stdout + scan.stderr
