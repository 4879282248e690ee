"""The integrations as a user meets them: the README's adoption recipe, the
pre-commit hook repository, and the GitHub Actions example, each run here
as far as this machine can run it."""

import json
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
README = ROOT / "README.md"
WORKFLOW = ROOT / "examples" / "github-actions-velmora-scan.yml"
BIN = os.path.dirname(sys.executable)

# Cyclomatic complexity 16: above the recipe's limit of 15.
BIG = "def big(x):\n" + "".join(f"    if x == {i}:\n        return {i}\n" for i in range(15)) + "    return -1\n"

pytestmark = pytest.mark.skipif(shutil.which("git") is None, reason="the git command is not installed")


def environment(tmp_path):
    env = dict(os.environ, PATH=BIN + os.pathsep + os.environ.get("PATH", ""),
               PRE_COMMIT_HOME=str(tmp_path / "pre-commit-home"),
               GIT_AUTHOR_NAME="t", GIT_AUTHOR_EMAIL="t@t", GIT_COMMITTER_NAME="t", GIT_COMMITTER_EMAIL="t@t")
    return env


def sh(command, cwd, env, timeout=300):
    return subprocess.run(["bash", "-c", command], cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=timeout)


@pytest.fixture
def project(tmp_path):
    """An existing project: a git repository with a pyproject.toml and one
    function already above the recipe's limit."""
    repo = tmp_path / "project"
    (repo / "src").mkdir(parents=True)
    (repo / "pyproject.toml").write_text('[project]\nname = "demo"\nversion = "1"\n')
    (repo / "src" / "legacy.py").write_text(BIG)
    (repo / "src" / "fine.py").write_text("def fine(x):\n    return x\n")
    env = environment(tmp_path)
    assert sh("git init -q && git add -A && git commit -qm start", repo, env).returncode == 0
    return repo, env


def test_readme_adoption_recipe_works_as_written(project):
    repo, env = project
    text = README.read_text(encoding="utf-8")
    recipe = re.search(r"<!-- adoption recipe[^\n]*-->\n```sh\n(.*?)```", text, re.S).group(1)
    assert len(recipe.splitlines()) == 10
    r = sh("set -e\n" + recipe, repo, env)
    assert r.returncode == 0, r.stdout + r.stderr
    recorded = json.loads((repo / ".velmora-baseline.json").read_text())["findings"]
    assert [(e["path"], e["qualname"], e["metric"]) for e in recorded] == [("src/legacy.py", "big", "cyclomatic")]
    # The hook lets the known finding through and stops a new one; the
    # result cache it shares with the other runs stays out of git.
    r = sh("git add -A && git commit -qm adopt", repo, env)
    assert r.returncode == 0, r.stdout + r.stderr
    assert (repo / ".velmora_cache" / "CACHEDIR.TAG").is_file()
    assert sh("git status --porcelain --ignored=no", repo, env).stdout == ""
    assert ".velmora_cache" not in sh("git ls-files", repo, env).stdout
    (repo / "src" / "new.py").write_text(BIG.replace("def big", "def bigger"))
    r = sh("git add -A && git commit -qm more", repo, env)
    assert r.returncode == 1 and "src/new.py:1 bigger cyclomatic 16 > 15" in r.stdout + r.stderr
    # The CI line fails on it too, with an annotation.
    r = sh(recipe.splitlines()[-1], repo, env)
    assert r.returncode == 1 and r.stdout.startswith("::error file=src/new.py,line=1,")


@pytest.mark.slow
def test_pre_commit_hook_repository(project):
    """This checkout as the hook repository: pre-commit builds velmora into
    its own environment and runs the hook on the staged Python files."""
    if not (ROOT / ".git").exists():
        pytest.skip("the checkout is not a git repository")
    repo, env = project
    (repo / "pyproject.toml").write_text('[tool.velmora-scan]\nmax-cyclomatic = 15\nexclude = ["gen"]\n')
    (repo / "gen").mkdir()
    (repo / "gen" / "made.py").write_text(BIG)                                   # staged, excluded
    (repo / "src" / "new.py").write_text(BIG.replace("def big", "def bigger"))   # staged
    (repo / "src" / "draft.py").write_text(BIG.replace("def big", "def draft"))  # not staged
    assert sh("git add pyproject.toml gen src/new.py", repo, env).returncode == 0
    dirty = sh("git status --porcelain --untracked-files=no", ROOT, env).stdout.strip()
    if dirty:
        # try-repo takes the uncommitted state along (a new environment each time).
        r = sh(f"pre-commit try-repo {ROOT} velmora-scan", repo, env, timeout=600)
    else:
        # A clean checkout (as in CI) is pinned by its commit, and its hook
        # environment is kept in build/ for the next interpreter's run.
        env["PRE_COMMIT_HOME"] = str(ROOT / "build" / "pre-commit-home")
        head = sh("git rev-parse HEAD", ROOT, env).stdout.strip()
        (repo / ".pre-commit-config.yaml").write_text(
            f"repos:\n- repo: {ROOT}\n  rev: {head}\n  hooks:\n  - id: velmora-scan\n")
        r = sh("git add .pre-commit-config.yaml && pre-commit run", repo, env, timeout=600)
    out = r.stdout + r.stderr
    assert r.returncode == 1, out
    assert "src/new.py:1 bigger cyclomatic 16 > 15" in out
    assert "made.py" not in out and "draft.py" not in out and "legacy.py" not in out


def test_github_actions_example(project):
    """The workflow's shape, and its velmora-scan steps run as the runner
    runs them (bash -e) in a project with a baseline."""
    yaml = pytest.importorskip("yaml")
    flow = yaml.safe_load(WORKFLOW.read_text())
    steps = flow["jobs"]["complexity"]["steps"]
    uses = [s["uses"].split("@")[0] for s in steps if "uses" in s]
    assert uses == ["actions/checkout", "actions/setup-python", "github/codeql-action/upload-sarif"]
    assert flow["permissions"]["security-events"] == "write"
    runs = [s["run"] for s in steps if "velmora-scan" in s.get("run", "")]
    assert len(runs) == 2
    sarif = next(s for s in steps if "upload-sarif" in s.get("uses", ""))["with"]["sarif_file"]
    repo, env = project
    (repo / "pyproject.toml").write_text('[tool.velmora-scan]\nmax-cyclomatic = 15\nbaseline = "base.json"\n')
    assert sh("velmora-scan . --update-baseline", repo, env).returncode == 0
    for run in runs:
        r = sh("set -e\n" + run, repo, env)
        assert r.returncode == 0, run + r.stdout + r.stderr
    assert json.loads((repo / sarif).read_text())["runs"][0]["results"] == []
    # A new finding fails the gate and still yields the report.
    (repo / "src" / "new.py").write_text(BIG)
    assert sh("set -e\n" + runs[0], repo, env).returncode == 1
    assert sh("set -e\n" + runs[1], repo, env).returncode == 0
    assert len(json.loads((repo / sarif).read_text())["runs"][0]["results"]) == 1
