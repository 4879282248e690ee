"""The CI formats, from the command line: SARIF checked against the OASIS
schema, GitLab Code Quality, GitHub workflow commands and CSV."""

import csv
import io
import json
import pathlib
import subprocess
import sys

import pytest

# ../shared beside the repository: what a clean clone of the project has.
SARIF_SCHEMA = pathlib.Path(__file__).resolve().parents[2] / "shared" / "schemas" / "sarif-schema-2.1.0.json"

BRANCHY = "def g(x):\n    if x:\n        return 1\n    elif x > 2:\n        return 2\n    return 3\n"
ODD = "we,ird:100%.py"


@pytest.fixture(scope="module")
def reports(tmp_path_factory):
    root = tmp_path_factory.mktemp("formats")
    (root / "a.py").write_text(BRANCHY + "\n# velmora: ignore\n")
    (root / ODD).write_text(BRANCHY)
    (root / "bad.py").write_text("def f(:\n")
    (root / "c.py").write_text(BRANCHY)
    args = ["a.py", ODD, "bad.py", str(root / "c.py"), "--max-cyclomatic", "2", "--max-average-cyclomatic", "1",
            "--report-unused-suppressions", "--no-progress"]
    out = {}
    for fmt in ("sarif", "gitlab", "github", "csv", "json"):
        r = subprocess.run([sys.executable, "-m", "velmora_scan", *args, "--format", fmt],
                           cwd=root, capture_output=True, text=True, timeout=120)
        assert r.returncode == 1, r.stderr
        out[fmt] = r
    return out


def expected_findings(reports):
    return json.loads(reports["json"].stdout)["findings"]


def test_sarif_validates_and_carries_every_finding(reports):
    if not SARIF_SCHEMA.is_file():
        pytest.skip(f"the SARIF 2.1.0 schema is not at {SARIF_SCHEMA} (../shared beside the repository)")
    jsonschema = pytest.importorskip("jsonschema")
    doc = json.loads(reports["sarif"].stdout)
    jsonschema.Draft4Validator(json.loads(SARIF_SCHEMA.read_text())).validate(doc)
    run = doc["runs"][0]
    rules = run["tool"]["driver"]["rules"]
    assert all(r["help"]["text"] for r in rules)
    results = run["results"]
    findings = expected_findings(reports)
    assert len(results) == len(findings)
    for res, f in zip(results, findings):
        assert rules[res["ruleIndex"]]["id"] == res["ruleId"] == (f["metric"] or f["kind"])
        if f["path"]:
            loc = res["locations"][0]["physicalLocation"]
            assert loc["region"]["startLine"] == (f["line"] or 1)
    uris = {r["locations"][0]["physicalLocation"]["artifactLocation"]["uri"] for r in results if "locations" in r}
    assert "we%2Cird%3A100%25.py" in uris and any(u.startswith("file:///") for u in uris)
    assert not any("locations" in r for r in results if "over the input" in r["message"]["text"])


def test_gitlab_code_quality(reports):
    issues = json.loads(reports["gitlab"].stdout)
    assert len(issues) == len(expected_findings(reports))
    for issue in issues:
        assert {"description", "check_name", "fingerprint", "severity", "location"} <= set(issue)
        assert issue["severity"] in {"info", "minor", "major", "critical", "blocker"}
        assert isinstance(issue["location"]["path"], str) and issue["location"]["lines"]["begin"] >= 1
    assert len({i["fingerprint"] for i in issues}) == len(issues)


def test_github_annotations_escape_what_the_runner_unescapes(reports):
    lines = reports["github"].stdout.splitlines()
    assert len(lines) == len(expected_findings(reports))
    assert all(line.startswith("::error ") for line in lines)
    assert "::error file=a.py,line=1,title=velmora-scan%3A Cyclomatic complexity::" \
           "Cyclomatic complexity of g is 3, above the limit of 2" in lines
    odd = [line for line in lines if "ird" in line]
    assert odd and all("file=we%2Cird%3A100%25.py," in line for line in odd)


def test_csv_rows_and_findings_on_stderr(reports):
    rows = list(csv.DictReader(io.StringIO(reports["csv"].stdout)))
    assert {"cyclomatic", "cognitive", "essential", "nesting", "longest_path"} <= set(rows[0])
    by_path = {r["path"]: r for r in rows}
    assert by_path["a.py"]["cyclomatic"] == "3" and by_path[ODD]["qualname"] == "g"
    assert by_path["bad.py"]["status"] == "error" and by_path["bad.py"]["cyclomatic"] == ""
    assert "a.py:1 g cyclomatic 3 > 2" in reports["csv"].stderr.splitlines()
