"""velmora-scan in a project, through the command line: configuration,
file selection, suppression comments, per-path and average thresholds,
baselines and --diff."""

import json
import os
import shutil
import subprocess
import sys
import textwrap
from importlib import metadata

import pytest

from velmora_scan.globs import PatternSet

BRANCHY = "def g(x):\n    if x:\n        return 1\n    elif x > 2:\n        return 2\n    return 3\n"
needs_git = pytest.mark.skipif(shutil.which("git") is None, reason="the git command is not installed")


def run(*args, cwd):
    return subprocess.run([sys.executable, "-m", "velmora_scan", "--no-progress", *args],
                          cwd=cwd, capture_output=True, text=True, timeout=120)


def write(root, files):
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text))


def findings(result):
    """The finding lines of a text report."""
    lines = result.stdout.splitlines()
    for i, line in enumerate(lines):
        if line.endswith(("finding:", "findings:")) and line[0].isdigit():
            return lines[i + 1:]
    return []


def git(root, *args):
    subprocess.run(["git", "-c", "user.name=t", "-c", "user.email=t@t", *args], cwd=root, check=True,
                   capture_output=True)


# -- configuration -----------------------------------------------------------------


@pytest.mark.parametrize("toml, expected", [
    ("[tool.velmora-scan\n", "malformed TOML"),
    ("[tool.velmora-scan]\nmax-cognitve = 3\n", "unknown key 'max-cognitve'"),
    ("[tool.velmora-scan]\nmax-nesting = \"3\"\n", "max-nesting: expected an integer, got '3'"),
    ("[tool.velmora-scan]\nmax-nesting = -1\n", "max-nesting: must not be negative"),
    ("[tool.velmora-scan]\nformat = \"xml\"\n", "format: expected one of"),
    ("[tool.velmora-scan]\nexclude = \"build\"\n", "exclude: expected a list of strings"),
    ("[tool.velmora-scan]\nupdate-baseline = true\n", "unknown key 'update-baseline'"),
    ("[tool.velmora-scan]\nmax-nesting = 3\nmax_nesting = 4\n", "'max_nesting' is given twice"),
    ("[[tool.velmora-scan.overrides]]\nmax-nesting = 3\n", "overrides]] #1: paths: expected"),
    ("[[tool.velmora-scan.overrides]]\npaths = [\"a\"]\njobs = 3\n", "overrides]] #1: unknown key 'jobs'"),
    ("[tool]\nvelmora-scan = 3\n", "must be a table"),
])
def test_bad_configuration_is_a_usage_error_naming_key_and_file(tmp_path, toml, expected):
    (tmp_path / "pyproject.toml").write_text(toml)
    (tmp_path / "a.py").write_text(BRANCHY)
    r = run("a.py", cwd=tmp_path)
    assert r.returncode == 2, r.stdout
    assert str(tmp_path / "pyproject.toml") in r.stderr and expected in r.stderr, r.stderr
    assert r.stdout == ""


def test_precedence_and_show_config(tmp_path):
    """Found above the first path; the command line beats the file, the file
    beats the defaults; exclusions add up; each value names its source."""
    config = tmp_path / "pyproject.toml"
    config.write_text('[tool.velmora-scan]\nmax-cyclomatic = 5\nmax-nesting = 2\nexclude = ["gen"]\n'
                      'baseline = "base.json"\n')
    (tmp_path / "src" / "pkg").mkdir(parents=True)
    r = run("src/pkg", "--max-nesting", "7", "--exclude", "old", "--show-config", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    shown = {line.split(" = ")[0]: line for line in r.stdout.splitlines()}
    assert shown["max-cyclomatic"].startswith("max-cyclomatic = 5 ") and shown["max-cyclomatic"].endswith(str(config))
    assert shown["max-nesting"].startswith("max-nesting = 7 ") and shown["max-nesting"].endswith("# command line")
    assert shown["max-cognitive"].endswith("# default")
    assert '["gen", "old"]' in shown["exclude"] and shown["exclude"].endswith(f"{config} + command line")
    assert f'"{tmp_path / "base.json"}"' in shown["baseline"]  # relative to the file
    assert "found above src/pkg" in shown["config"]
    # --config names another file, which must hold the table.
    other = tmp_path / "ci.toml"
    other.write_text("[tool.velmora-scan]\nmax-cyclomatic = 1\n")
    (tmp_path / "a.py").write_text(BRANCHY)
    r = run("a.py", "--config", str(other), cwd=tmp_path)
    assert r.returncode == 1 and findings(r) == ["a.py:1 g cyclomatic 3 > 1"]
    r = run("a.py", "--config", str(other), "--update-baseline", cwd=tmp_path)
    assert r.returncode == 2 and "--update-baseline needs a baseline file" in r.stderr
    other.write_text("[tool.other]\n")
    r = run("a.py", "--config", str(other), cwd=tmp_path)
    assert r.returncode == 2 and "no [tool.velmora-scan] table" in r.stderr
    r = run("a.py", "--config", "missing.toml", cwd=tmp_path)
    assert r.returncode == 2 and "missing.toml: cannot read" in r.stderr


# -- file selection ----------------------------------------------------------------


@pytest.mark.parametrize("pattern, path, is_dir, matches", [
    ("build", "a/build", True, True),
    ("build/", "a/build", False, False),
    ("*_pb2.py", "x/y_pb2.py", False, True),
    ("src/gen", "src/gen", True, True),
    ("src/gen", "lib/src/gen", True, False),       # a slash anchors at the base
    ("/setup.py", "setup.py", False, True),
    ("**/migrations", "app/db/migrations", True, True),
    ("src/**/*.py", "src/a/b/c.py", False, True),
    ("src/**/*.py", "src/c.py", False, True),
    ("tests/*.py", "tests/a/b.py", False, False),   # * stays within one component
    ("t?st_[!x]*.py", "tost_a.py", False, True),
    ("t?st_[!x]*.py", "test_x.py", False, False),
    ("[ab].py", "/.py", False, False),
])
def test_glob_patterns(pattern, path, is_dir, matches):
    assert PatternSet([pattern], "/").match(path, is_dir) is matches


@needs_git
def test_selection_excludes_gitignore_and_force_exclude(tmp_path):
    write(tmp_path, {
        "pkg/a.py": BRANCHY, "pkg/gen/g.py": BRANCHY, "pkg/b_pb2.py": BRANCHY, "pkg/notes.txt": "x",
        "build/lib/x.py": BRANCHY, "node_modules/m.py": BRANCHY, ".tox/t.py": BRANCHY,
        "myenv/pyvenv.cfg": "", "myenv/lib/v.py": BRANCHY, "venv/__init__.py": BRANCHY, "ignored/i.py": BRANCHY,
        "tracked.py": BRANCHY, ".gitignore": "ignored/\ntracked.py\n",
        "pyproject.toml": '[tool.velmora-scan]\nexclude = ["*_pb2.py"]\n',
    })
    git(tmp_path, "init", "-q")
    git(tmp_path, "add", "-f", "tracked.py")  # tracked: no ignore rule hides it

    def files(*args):
        r = run(*args, "--format", "csv", cwd=tmp_path)
        assert r.returncode == 0, r.stderr
        return sorted({line.split(",")[0] for line in r.stdout.splitlines()[1:]})

    walked = ["./pkg/a.py", "./pkg/gen/g.py", "./tracked.py", "./venv/__init__.py"]  # venv: a package name too
    assert files(".") == walked
    assert files(".", "--exclude", "gen") == ["./pkg/a.py", "./tracked.py", "./venv/__init__.py"]
    assert files(".", "--no-gitignore") == sorted(["./ignored/i.py", *walked])
    # A folder named on the command line is walked even when excluded.
    assert files("build") == ["build/lib/x.py"]
    assert files("ignored") == ["ignored/i.py"]
    # Named files are taken, unless --force-exclude (pre-commit names them all).
    named = ["pkg/b_pb2.py", "ignored/i.py", "build/lib/x.py", "pkg/a.py"]
    assert files(*named) == sorted(named)
    assert files(*named, "--force-exclude") == ["pkg/a.py"]
    # The same selection without git.
    shutil.rmtree(tmp_path / ".git")
    assert files(".") == sorted(["./ignored/i.py", *walked])


@pytest.mark.parametrize("base, top, exclude", [
    ("", "", ["gen", "*_pb2.py"]),
    ("", "pkg", ["pkg/gen/", "/pkg/deep/x.py"]),
    ("pkg", "", ["gen/", "deep/**/*.py", "pkg"]),   # the base inside the walked tree
    ("elsewhere", "pkg", ["gen", "a.py"]),          # the walk outside the base
])
def test_the_walk_judges_every_entry_as_the_general_rules_do(tmp_path, base, top, exclude):
    from velmora_scan.selection import DEFAULT_EXCLUDE, Selector

    write(tmp_path, {
        "pkg/a.py": "", "pkg/b_pb2.py": "", "pkg/gen/g.py": "", "pkg/deep/x.py": "", "pkg/deep/er/y.py": "",
        "pkg/env/pyvenv.cfg": "", "pkg/env/v.py": "", "pkg/.hidden/h.py": "", "pkg/n.txt": "", "z.py": "",
        "elsewhere/keep": "",
    })
    os.symlink(tmp_path / "pkg" / "deep", tmp_path / "pkg" / "linked_dir")
    os.symlink(tmp_path / "pkg" / "a.py", tmp_path / "pkg" / "linked.py")
    os.symlink(tmp_path / "missing.py", tmp_path / "pkg" / "broken.py")
    sel = Selector.build(str(tmp_path / base), exclude=exclude, default_exclude=DEFAULT_EXCLUDE, gitignore=False)
    directory = str(tmp_path / top) if top else str(tmp_path)
    absolute = os.path.abspath(directory)
    want = []
    for root, dirs, files in os.walk(directory):
        dirs[:] = sorted(d for d in dirs if not sel._skip_dir(os.path.join(os.path.abspath(root), d), absolute))
        want += [(os.path.join(root, f), "") for f in sorted(files) if sel._take_file(os.path.join(root, f), absolute)]
    assert sel.walk(directory) == want and want


# -- suppressions and thresholds ---------------------------------------------------------


def test_suppressions(tmp_path):
    write(tmp_path, {"s.py": """\
        def plain(x):  # noqa: C901  # velmora: ignore
            if x:
                return 1
            elif x > 2:
                return 2
            return 3

        @decorator  # velmora: ignore[cyclomatic]
        def decorated(x):
            if x:
                return 1
            elif x > 2:
                return 2
            return 3

        def capped(
            x,
        ):  # velmora: cyclomatic<=3, nesting<=0
            if x:
                return 1
            elif x > 2:
                return 2
            return 3

        def lowered(x):  # velmora: cyclomatic<=1
            if x:
                return 1

        def unused(x):  # velmora: ignore[nesting]
            return "# velmora: ignore is text here"

        # velmora: ignore
        VALUE = 1

        def bad(x):  # velmora: ignore[colour], speed<=3
            return x
        """})
    r = run("s.py", "--max-cyclomatic", "2", "--max-nesting", "0", cwd=tmp_path)
    assert r.returncode == 1
    assert findings(r) == [
        "s.py:9 decorated nesting 1 > 0",
        "s.py:16 capped nesting 1 > 0",
        "s.py:25 lowered cyclomatic 2 > 1",
        "s.py:25 lowered nesting 1 > 0",
    ]
    r = run("s.py", "--max-cyclomatic", "2", "--max-nesting", "0", "--report-unused-suppressions", cwd=tmp_path)
    assert findings(r)[4:] == [
        "s.py:18: unused suppression 'nesting<=0' on capped: it changes nothing (nesting 1, limit without it 0)",
        "s.py:29: unused suppression 'ignore[nesting]' on unused: nesting 0 is within its limit",
        "s.py:32: suppression on a line that holds no function's def or decorators",
        "s.py:35: malformed suppression: unknown metric 'colour' in 'ignore[colour]'",
    ]


def test_overrides_and_averages(tmp_path):
    write(tmp_path, {
        "src/a.py": BRANCHY + "def h():\n    return 1\n",
        "legacy/old.py": BRANCHY,
        "tests/test_x.py": BRANCHY,
        "pyproject.toml": """\
            [tool.velmora-scan]
            max-cyclomatic = 2
            max-file-average-cyclomatic = 1.5
            max-average-cyclomatic = 2.5
            [[tool.velmora-scan.overrides]]
            paths = ["legacy", "tests/**"]
            max-cyclomatic = 10
            [[tool.velmora-scan.overrides]]
            paths = ["tests/test_*.py"]
            max-cyclomatic = 1
            max-file-average-cyclomatic = 5
            """,
    })
    r = run("src", "legacy", "tests", cwd=tmp_path)
    assert r.returncode == 1
    assert findings(r) == [
        "src/a.py:1 g cyclomatic 3 > 2",
        "src/a.py: average cyclomatic 2 > 1.5 (2 functions)",
        "legacy/old.py: average cyclomatic 3 > 1.5 (1 function)",
        "tests/test_x.py:1 g cyclomatic 3 > 1",  # the last matching override wins
    ]  # the input's mean, 2.5, is not above 2.5
    r = run("src", "legacy", "tests", "--max-average-cyclomatic", "2", cwd=tmp_path)
    assert findings(r)[-1] == "(input): average cyclomatic 2.5 > 2 (4 functions)"


# -- baseline ------------------------------------------------------------------------


def test_baseline_ratchet(tmp_path):
    write(tmp_path, {"pkg/a.py": BRANCHY, "pkg/b.py": BRANCHY.replace("def g", "def k"),
                     "pyproject.toml": '[tool.velmora-scan]\nmax-cyclomatic = 2\nbaseline = "base.json"\n'})
    base = tmp_path / "base.json"
    r = run("pkg", "--baseline", str(base), cwd=tmp_path)
    assert r.returncode == 2 and "no such baseline" in r.stderr
    r = run("pkg", "--update-baseline", cwd=tmp_path)
    assert r.returncode == 0 and "recorded 2 findings" in r.stderr
    doc = json.loads(base.read_text())
    assert [(e["path"], e["qualname"], e["value"]) for e in doc["findings"]] == [
        ("pkg/a.py", "g", 3), ("pkg/b.py", "k", 3)]
    # Known findings pass, from another directory too, and after the code moves.
    (tmp_path / "pkg/a.py").write_text("\n\nX = 1\n" + BRANCHY)
    r = run(".", cwd=tmp_path / "pkg")
    assert r.returncode == 0, r.stdout + r.stderr
    assert "2 findings recorded in" in r.stderr
    # Growth and newcomers fail; improvements pass.
    (tmp_path / "pkg/a.py").write_text(BRANCHY.replace("    return 3", "    elif x > 5:\n        return 5\n    return 3"))
    (tmp_path / "pkg/c.py").write_text(BRANCHY.replace("def g", "def new"))
    (tmp_path / "pkg/b.py").write_text("def k(x):\n    return x\n")
    r = run("pkg", cwd=tmp_path)
    assert r.returncode == 1 and findings(r) == ["pkg/a.py:1 g cyclomatic 4 > 2", "pkg/c.py:1 new cyclomatic 3 > 2"]
    # Updating from one file keeps what the others recorded.
    r = run("pkg/c.py", "--update-baseline", cwd=tmp_path)
    assert r.returncode == 0
    doc = json.loads(base.read_text())
    assert [(e["path"], e["qualname"]) for e in doc["findings"]] == [
        ("pkg/a.py", "g"), ("pkg/b.py", "k"), ("pkg/c.py", "new")]


@pytest.mark.parametrize("content, expected", [
    ("{not json", "not a velmora-scan baseline (not JSON"),
    ('{"tool": "other", "kind": "baseline", "format": 1}', "written by 'other'"),
    ("[]", "not a JSON object"),
    ('{"tool": "velmora-scan", "kind": "baseline", "format": 1, "version": "0.0.1", "findings": []}',
     "recorded by velmora-scan 0.0.1"),
    ('{"tool": "velmora-scan", "kind": "baseline", "format": 1, "version": "@", "findings": [{"path": 1}]}',
     "entry 0 is malformed"),
])
def test_bad_baselines_are_refused_and_kept(tmp_path, content, expected):
    (tmp_path / "a.py").write_text(BRANCHY)
    content = content.replace('"@"', json.dumps(metadata.version("velmora")))
    base = tmp_path / "base.json"
    base.write_text(content)
    r = run("a.py", "--baseline", "base.json", "--max-cyclomatic", "1", cwd=tmp_path)
    assert r.returncode == 2 and expected in r.stderr, r.stderr
    if "0.0.1" not in content:  # only another version's baseline may be rewritten
        r = run("a.py", "--baseline", "base.json", "--update-baseline", cwd=tmp_path)
        assert r.returncode == 2 and expected in r.stderr
    assert base.read_text() == content


# -- --diff ------------------------------------------------------------------------


@needs_git
def test_diff_judges_changed_functions_only(tmp_path):
    one = BRANCHY.replace("def g", "def one")
    two = BRANCHY.replace("def g", "def two")
    write(tmp_path, {"m.py": one + "\n" + two, "d\u00e9j\u00e0 vu.py": one})
    git(tmp_path, "init", "-q")
    git(tmp_path, "add", ".")
    git(tmp_path, "commit", "-qm", "start")
    (tmp_path / "m.py").write_text(one + "\n" + two.replace("return 3", "return 4"))
    (tmp_path / "d\u00e9j\u00e0 vu.py").write_text(one.replace("return 2", "return 5"))  # a quoted name in git's diff
    (tmp_path / "new.py").write_text(BRANCHY)  # untracked: new as a whole
    r = run(".", "--diff", "HEAD", "--max-cyclomatic", "2", cwd=tmp_path)
    assert r.returncode == 1
    assert findings(r) == ["./d\u00e9j\u00e0 vu.py:1 one cyclomatic 3 > 2", "./m.py:8 two cyclomatic 3 > 2",
                           "./new.py:1 g cyclomatic 3 > 2"]
    r = run(".", "--diff", "no-such-ref", cwd=tmp_path)
    assert r.returncode == 2 and "'no-such-ref' is not a commit" in r.stderr
    r = run(".", "--diff=--output=x", cwd=tmp_path)  # never an option of git
    assert r.returncode == 2 and not (tmp_path / "x").exists()
    outside = tmp_path.parent / (tmp_path.name + "-plain")
    outside.mkdir()
    r = run(".", "--diff", "HEAD", cwd=outside)
    assert r.returncode == 2 and "not inside" in r.stderr
