"""How velmora-scan and its peers count one construct at a time.

Each row is a small function holding one construct; every tool measures
it and the table shows what each reports (a function with no decision has
cyclomatic complexity 1 and cognitive complexity 0). The table in
python/velmora_scan/NOTES.md comes from this script:

    /tmp/bench-venv/bin/pip install -r benchmarks/requirements.txt
    PYTHONPATH=<velmora build> /tmp/bench-venv/bin/python benchmarks/constructs.py

Columns: mccabe 0.7 (flake8 C901), radon ``cc``, lizard CCN, ruff C901,
complexipy (cognitive), lizard's cognitive extension, velmora-scan's
cyclomatic (cc), with --count-bool-ops (cc+b), cognitive (cog); then the
nesting measures: ruff PLR1702 (blocks), lizard ND, velmora-scan's nesting.
A dash: the tool reports no number for the function.
"""

from __future__ import annotations

import ast
import json
import os
import subprocess
import sys
import tempfile
import textwrap

ROWS = [
    ("if", "if a: g()"),
    ("if / elif / else", "if a: g()\nelif b: g()\nelse: g()"),
    ("else: if (nested)", "if a: g()\nelse:\n    if b: g()"),
    ("nested if (3 deep)", "if a:\n    if b:\n        if c: g()"),
    ("six ifs in a row", "\n".join(f"if a{i}: g()" for i in range(6))),
    ("for", "for x in a: g()"),
    ("for ... else", "for x in a: g()\nelse: g()"),
    ("while", "while a: g()"),
    ("while ... else", "while a: g()\nelse: g()"),
    ("break in nested if", "for x in a:\n    if x: break"),
    ("try / except", "try: g()\nexcept E: g()"),
    ("two excepts, else, finally", "try: g()\nexcept E: g()\nexcept F: g()\nelse: g()\nfinally: g()"),
    ("try / finally", "try: g()\nfinally: g()"),
    ("except*", "try: g()\nexcept* E: g()"),
    ("with", "with a: g()"),
    ("match, 3 cases, wildcard", "match a:\n    case 1: g()\n    case 2: g()\n    case _: g()"),
    ("case with guard", "match a:\n    case [x] if x: g()"),
    ("if inside a case", "match a:\n    case 1:\n        if b: g()"),
    ("conditional expression", "return 1 if a else 2"),
    ("nested conditional expr.", "return 1 if a else 2 if b else 3"),
    ("comprehension", "return [x for x in a]"),
    ("comprehension with if", "return [x for x in a if x]"),
    ("two for clauses", "return [x for y in a for x in y]"),
    ("a and b", "return a and b"),
    ("a and b and c", "return a and b and c"),
    ("a and b or c", "return a and b or c"),
    ("if a and b", "if a and b: g()"),
    ("lambda with a decision", "h = lambda v: v if v else 0"),
    ("assert", "assert a"),
    ("nested def with an if", "def inner():\n    if a: g()\nreturn inner"),
    ("nested class, method with if", "class K:\n    def m(self):\n        if a: g()"),
    ("direct recursion", "return f(a - 1)"),
    ("if in a default of a nested def", "def inner(p=1 if a else 2): pass"),
    ("boolean op in a call argument", "g(a and b)"),
    ("walrus in if", "if (n := a): g()"),
]

SIGNATURE = "def f(a, b=None, c=None, a0=0, a1=0, a2=0, a3=0, a4=0, a5=0):\n"


def source(body: str) -> str:
    return SIGNATURE + textwrap.indent(body, "    ") + "\n"


def first(values):
    return values[0] if values else "-"


def mccabe_cc(src: str):
    import mccabe

    v = mccabe.PathGraphingAstVisitor()
    v.preorder(ast.parse(src), v)
    return first([g.complexity() for g in v.graphs.values() if g.lineno == 1])


def radon_cc(src: str):
    from radon.complexity import cc_visit

    return first([b.complexity for b in cc_visit(src) if b.lineno == 1])


def lizard_all(src: str):
    import lizard
    from lizard_ext.lizardcognitive import LizardExtension as Cognitive
    from lizard_ext.lizardnd import LizardExtension as ND

    info = lizard.FileAnalyzer(lizard.get_extensions([ND(), Cognitive()])).analyze_source_code("m.py", src)
    fns = [f for f in info.function_list if f.start_line == 1]
    if not fns:
        return "-", "-", "-"
    f = fns[0]
    return f.cyclomatic_complexity, getattr(f, "cognitive_complexity", "-"), getattr(f, "max_nesting_depth", "-")


def complexipy_cog(src: str):
    import complexipy

    return first([f.complexity for f in complexipy.code_complexity(src).functions if f.line_start == 1])


def ruff_all(sources: list[str]) -> list[tuple]:
    """(C901, PLR1702) per source; ruff reports a rule only above its limit,
    so the limits are 0 and a silent function scores 0 blocks."""
    out = []
    ruff = os.path.join(os.path.dirname(sys.executable), "ruff")
    with tempfile.TemporaryDirectory() as tmp:
        for i, src in enumerate(sources):
            with open(os.path.join(tmp, f"m{i}.py"), "w") as fh:
                fh.write(src)
        proc = subprocess.run(
            [ruff, "check", "--preview", "--select", "C901,PLR1702", "--output-format", "json", "--no-cache",
             "--config", "lint.mccabe.max-complexity=0", "--config", "lint.pylint.max-nested-blocks=0", tmp],
            capture_output=True, text=True,
        )
        found: dict[tuple[str, str], int] = {}
        for d in json.loads(proc.stdout or "[]"):
            # C901 is reported on the def line, PLR1702 on each statement
            # nested too deep: the largest count is the function's.
            key = (os.path.basename(d["filename"]), d["code"])
            number = int(d["message"].split("(")[-1].split(" ")[0])
            found[key] = max(found.get(key, 0), number)
        for i in range(len(sources)):
            out.append((found.get((f"m{i}.py", "C901"), "-"), found.get((f"m{i}.py", "PLR1702"), 0)))
    return out


def ours(src: str):
    from velmora_scan import pyflow
    from velmora_scan.syntax import function_facts

    func = ast.parse(src).body[0]
    calls = function_facts(func)[1]
    m = pyflow.measure(func, "", calls)
    b = pyflow.measure(func, "", calls, count_bool_ops=True)
    return m.cyclomatic, b.cyclomatic, m.cognitive, m.nesting


def main() -> None:
    sources = [source(body) for _, body in ROWS]
    ruff = ruff_all(sources)
    head = ["construct", "mccabe", "radon", "lizard", "ruff C901", "complexipy", "lizard cog",
            "cc", "cc+b", "cog", "ruff blocks", "lizard ND", "nest"]
    print("| " + " | ".join(head) + " |")
    print("|" + "---|" * len(head))
    for (name, _), src, (c901, blocks) in zip(ROWS, sources, ruff):
        lcc, lcog, lnd = lizard_all(src)
        cc, ccb, cog, nest = ours(src)
        cells = [name, mccabe_cc(src), radon_cc(src), lcc, c901, complexipy_cog(src), lcog, cc, ccb, cog, blocks, lnd, nest]
        print("| " + " | ".join(str(c) for c in cells) + " |")


if __name__ == "__main__":
    main()
