import ast
import json
import os
import sysconfig
import textwrap
import warnings

import pytest
from hypothesis import given, settings, strategies as st

import velmora as v
from velmora_scan import analyze_source, scan
from velmora_scan.__main__ import main
from velmora_scan.cfg_builder import build_function, forward_graph, graph_of
from velmora_scan.syntax import LineIndex, iter_functions

K = v.EdgeKind
ROOT = sysconfig.get_paths()["stdlib"]


def graph(src):
    src = textwrap.dedent(src)
    tree = ast.parse(src)
    func = next(n for n in ast.walk(tree) if isinstance(n, ast.FunctionDef))
    return build_function(func, LineIndex(src.encode()), "t.py")


def parse_file(path):
    with open(path, "rb") as fh, warnings.catch_warnings():
        warnings.simplefilter("ignore")  # invalid escapes in old test data
        return ast.parse(fh.read())


def shape(fg):
    return sorted((a, b, int(k)) for a, b, k in fg.triples)


# -- independent models ------------------------------------------------------


def decisions(func):
    """1 + the branch points the builder is meant to create."""
    count = 1
    work = list(ast.iter_child_nodes(func))
    while work:
        n = work.pop()
        if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef, ast.Lambda)):
            continue
        if isinstance(n, (ast.If, ast.While, ast.For, ast.AsyncFor)):
            count += 1
        elif isinstance(n, (ast.Try, ast.TryStar)):
            count += len(n.handlers)
        elif isinstance(n, ast.comprehension):
            count += len(n.ifs)
        elif isinstance(n, ast.match_case):
            wildcard = isinstance(n.pattern, ast.MatchAs) and n.pattern.pattern is None
            count += (not wildcard) + (n.guard is not None)
        work.extend(ast.iter_child_nodes(n))
    return count


def branch_depth(fg):
    """Most TRUE/SWITCHCASE edges on a path from the entry, loops set aside."""
    succ = {}
    for a, b, k in fg.triples:
        if k not in (K.LOOPBACK, K.CONTINUE):
            succ.setdefault(a, []).append((b, k in (K.TRUE, K.SWITCHCASE)))
    memo = {}

    def best(n):  # the forward graph is acyclic, so this terminates
        if n not in memo:
            memo[n] = max((best(b) + w for b, w in succ.get(n, ())), default=0)
        return memo[n]

    return best(0)


# -- exact shapes ------------------------------------------------------------


def test_loop_edges_are_tagged_and_closed():
    fg = graph(
        """
        def f(xs):
            for x in xs:
                if x:
                    continue
                if x > 3:
                    break
            else:
                return 1
            return 2
        """
    )
    kinds = [k for _, _, k in fg.triples]
    assert kinds.count(K.CONTINUE) == 1 and kinds.count(K.BREAK) == 1
    assert kinds.count(K.LOOPBACK) == 1
    # the else-return is an early exit, the last return is not
    assert kinds.count(K.RETURN) == 1
    g = graph_of(fg)
    assert g.cyclomatic_complexity() == 4
    assert g.essential_complexity() == 4
    assert g.connected_components() == 1
    head = next(b for a, b, k in fg.triples if k is K.LOOPBACK)
    assert any(a == head and k is K.TRUE for a, _, k in fg.triples)
    assert any(a == head and k is K.FALSE for a, _, k in fg.triples)
    assert g.longest_acyclic_path() > 0


def test_while_if_else_exact_graph():
    fg = graph(
        """
        def f(n):
            while n:
                n -= 1
            if n:
                a = 1
            else:
                a = 2
            return a
        """
    )
    # 0 entry, 1 exit, 2 body start, 3 loop head, 4 after loop, 5 loop body,
    # 6 join of the if, 7 then, 8 else
    assert shape(fg) == sorted([
        (0, 2, 0), (2, 3, 0), (3, 5, 1), (5, 3, 3), (3, 4, 2),
        (4, 7, 1), (7, 6, 0), (4, 8, 2), (8, 6, 0), (6, 1, 0),
    ])
    assert fg.blocks[3].statements[0].kind == "while"
    assert [c.kind for c in fg.blocks[3].statements[0].children] == ["name"]
    assert graph_of(fg).longest_acyclic_path() == 6  # 0 2 3 4 7 6 1


def test_try_match_and_comprehension_kinds():
    fg = graph(
        """
        def f(x):
            try:
                y = [a for a in x if a]
            except ValueError:
                y = []
            except TypeError:
                return None
            match y:
                case [1]:
                    pass
                case [z] if z:
                    pass
                case _:
                    pass
            return y
        """
    )
    kinds = [k for _, _, k in fg.triples]
    assert kinds.count(K.EXCEPTION) == 2
    assert kinds.count(K.SWITCHCASE) == 3
    assert kinds.count(K.RETURN) == 1
    g = graph_of(fg)
    # handlers 2, filter 1, two refutable cases, one guard
    assert g.cyclomatic_complexity() == 7
    assert forward_graph(fg).max_nesting_depth() == branch_depth(fg) == 3  # filter, case, guard


def test_statement_trees_carry_kinds_spans_and_native_refs():
    src = "# é\ndef f(s):\n    x = 'é' + s\n    return x\n"
    report = analyze_source(src, "m.py")
    fg = graph(src)
    stmt = next(s for b in fg.blocks.values() for s in b.statements if s.kind == "assign")
    assert stmt.lang == "python" and stmt.native.parser == "ast"
    assert stmt.native.node_kind == "Assign"
    data = src.encode()
    assert data[stmt.span.start_byte : stmt.span.end_byte].decode() == "x = 'é' + s"
    assert (stmt.span.start_line, stmt.span.start_column) == (3, 4)
    binop = stmt.children[1]
    assert binop.kind == "bin_op" and binop.attributes == {"op": "Add"}
    assert [f.qualname for f in report.functions] == ["f"]


# -- random programs -----------------------------------------------------------


def block(data, depth, in_loop, indent):
    pad = "    " * indent
    out = []
    for _ in range(data.draw(st.integers(1, 3))):
        options = ["x = 1", "return x", "raise E"]
        if in_loop:
            options += ["break", "continue"]
        if depth < 3:
            options += ["if", "while", "for", "try", "match", "with", "filter"]
        c = data.draw(st.sampled_from(options))
        inner = lambda loop=in_loop: block(data, depth + 1, loop, indent + 1)
        if c == "if":
            out += [f"{pad}if x:"] + inner()
            if data.draw(st.booleans()):
                out += [f"{pad}else:"] + inner()
        elif c in ("while", "for"):
            out += [f"{pad}while x:" if c == "while" else f"{pad}for x in y:"] + inner(True)
            if data.draw(st.booleans()):
                out += [f"{pad}else:"] + inner()
        elif c == "try":
            out += [f"{pad}try:"] + inner()
            handlers = data.draw(st.integers(0, 2))
            for _ in range(handlers):
                out += [f"{pad}except E:"] + inner()
            if handlers and data.draw(st.booleans()):
                out += [f"{pad}else:"] + inner()
            if not handlers or data.draw(st.booleans()):
                out += [f"{pad}finally:"] + inner()
        elif c == "match":
            out.append(f"{pad}match x:")
            for pat in data.draw(st.lists(st.sampled_from(["1", "[a]", "_", "a if a"]), min_size=1, max_size=3)):
                out += [f"{pad}    case {pat}:"] + block(data, depth + 1, in_loop, indent + 2)
        elif c == "with":
            out += [f"{pad}with x:"] + inner()
        elif c == "filter":
            out.append(f"{pad}x = [a for a in y if a if b]")
        else:
            out.append(pad + c)
    return out


@settings(max_examples=150)
@given(st.data())
def test_random_programs_keep_invariants(data):
    src = "def f(x, y):\n" + "\n".join(block(data, 0, False, 1)) + "\n"
    fg = graph(src)
    g = graph_of(fg)
    func = ast.parse(src).body[0]
    assert g.cyclomatic_complexity() == decisions(func)
    assert g.connected_components() == 1
    # never raises: every loop is closed by LOOPBACK or CONTINUE
    assert g.longest_acyclic_path() >= 1
    assert forward_graph(fg).max_nesting_depth() == branch_depth(fg)
    jumps = sum(k in (K.BREAK, K.CONTINUE, K.RETURN) for _, _, k in fg.triples)
    assert g.essential_complexity() == jumps + 1
    assert g.cycle_basis().betti_1 == g.cyclomatic_complexity() - 1


# -- real code -------------------------------------------------------------------


def stdlib_sample(step=60):
    files = sorted(
        os.path.join(r, n)
        for r, ds, ns in os.walk(ROOT)
        if "site-packages" not in r and "test" not in r.split(os.sep)[-1]
        for n in ns
        if n.endswith(".py")
    )
    return files[::step]


def test_stdlib_sample_is_measured_without_failure():
    result = scan(stdlib_sample(), duplicates=3, choke_points=3)
    assert len(result.functions) > 100
    for fr in result.files:
        if fr.status != "ok":
            continue
        tree = parse_file(fr.path)
        nodes = {f.lineno: f for f, _, _ in iter_functions(tree)}
        for f in fr.functions:
            assert f.cyclomatic == decisions(nodes[f.line]), (fr.path, f.qualname)
            assert f.components == 1


def test_deep_expressions_and_bad_files(tmp_path):
    deep = "def f(a):\n    return " + " + ".join(["a"] * 2500) + "\n"
    report = analyze_source(deep, "deep.py")
    assert report.functions[0].cyclomatic == 1
    (tmp_path / "bad.py").write_bytes(b"def f(:\n")
    (tmp_path / "latin.py").write_bytes(b"# -*- coding: latin-1 -*-\ndef g():\n    return '\xe9'\n")
    (tmp_path / "junk.py").write_bytes(b"def h():\n    return '\xff\xfe'\n")
    result = scan([str(tmp_path)], duplicates=0, choke_points=0)
    # the interpreter refuses junk.py (no cookie, not UTF-8): so do we
    assert [os.path.basename(f.path) for f in result.findings] == ["bad.py", "junk.py"]
    assert sorted(f.qualname for f in result.functions) == ["g"]


def test_cyclomatic_agrees_with_mccabe():
    mccabe = pytest.importorskip("mccabe")
    same = total = 0
    for path in stdlib_sample(25):
        try:
            tree = parse_file(path)
        except SyntaxError:
            continue
        visitor = mccabe.PathGraphingAstVisitor()
        visitor.preorder(tree, visitor)
        theirs = {g.lineno: g.complexity() for g in visitor.graphs.values()}
        for func, qualname, _ in iter_functions(tree):
            if "<locals>" in qualname or func.lineno not in theirs:
                continue
            ours = analyze_source(ast.unparse(func), path).functions[0].cyclomatic
            total += 1
            same += ours == theirs[func.lineno]
            plain = not any(
                isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef, ast.Try, ast.TryStar, ast.Match))
                or (isinstance(n, ast.comprehension) and n.ifs)
                for n in ast.walk(func)
                if n is not func
            )
            if plain:  # the documented differences all need one of these
                assert ours == theirs[func.lineno], (path, qualname)
    assert total > 500 and same / total > 0.75


# -- whole input and command line ------------------------------------------------


def test_clusters_and_structure_reach_text_and_json(tmp_path, capsys):
    body = "\n".join(f"    if a > {i}:\n        a = g(a, {i})\n    else:\n        a = h(a)" for i in range(6))
    callers = "\n".join(f"def c{i}(a):\n    return hub(a)\n" for i in range(4))
    (tmp_path / "m.py").write_text(
        f"def one(a):\n{body}\n    return a\n\ndef two(b):\n{body}\n    return b\n\n"
        f"def hub(a):\n    return g(a, 1) + h(a) + one(a)\n\n{callers}\n"
        "def g(a, b):\n    return a\n\ndef h(a):\n    return a\n"
    )
    (tmp_path / "n.py").write_text("import m\n\ndef use(a):\n    return m.hub(a) + m.c0(a)\n")
    result = scan([str(tmp_path)])
    (cluster,) = result.clusters.clusters
    assert [result.functions[m.function].qualname for m in cluster.members] == ["one", "two"]
    assert cluster.members[1].distance == 0 and cluster.weight == cluster.lines
    s = result.structure
    assert s.call_counts.resolved == 33 and [s.modules[e.target] for e in s.imports] == ["m"]

    assert main([str(tmp_path), "--no-progress"]) == 0
    text = capsys.readouterr().out
    assert "Near-duplicate clusters: 1 among 2 functions" in text and "33 resolved to functions" in text
    assert main([str(tmp_path), "--json", "--min-similarity", "0.9", "--min-statements", "3"]) == 0
    doc = json.loads(capsys.readouterr().out)
    assert doc["duplicate_search"]["min_similarity"] == 0.9 and len(doc["clusters"]) == 1
    assert {(c["caller"]["qualname"], c["callee"]["qualname"]) for c in doc["calls"]} >= {("use", "hub"), ("c0", "hub")}
    hub = next(f for f in doc["functions"] if f["qualname"] == "hub")
    assert (hub["fan_in"], hub["fan_out"]) == (5, 3)
    assert main([str(tmp_path), "--min-similarity", "1.5"]) == 2


def test_cli_filters_json_and_exit_status(capsys, tmp_path):
    assert main(["--json", "--min-complexity", "3"]) == 0
    doc = json.loads(capsys.readouterr().out)
    ccs = [f["cyclomatic"] for f in doc["functions"]]
    assert ccs and min(ccs) >= 3 and ccs == sorted(ccs, reverse=True)
    assert {f["rank"] for f in doc["functions"]} <= set("ABCDEF")
    assert main(["--json", "--top", "2"]) == 0
    assert len(json.loads(capsys.readouterr().out)["functions"]) == 2

    worst = max(ccs)
    assert main(["--fail-above", str(worst), "--no-progress"]) == 0
    capsys.readouterr()
    assert main(["--fail-above", str(worst - 1)]) == 1
    out = capsys.readouterr().out
    assert "rank" in out and f" cyclomatic {worst} > {worst - 1}" in out


def test_jobs_give_the_same_report(capsys):
    assert main(["--json", "--jobs", "1"]) == 0
    one = capsys.readouterr().out
    assert main(["--json", "--jobs", "2"]) == 0
    assert capsys.readouterr().out == one


def test_calls_resolve_through_imports_and_self(tmp_path):
    pkg = tmp_path / "pkg"
    pkg.mkdir()
    (pkg / "__init__.py").write_text("")
    (pkg / "b.py").write_text("def f():\n    pass\n\ndef g():\n    f()\n    g()\n")
    (pkg / "a.py").write_text(
        "from .b import f as ff\nimport pkg.b as mod\nfrom pkg import b\n\n"
        "class C:\n    def m(self):\n        ff()\n        self.n()\n        mod.g()\n        b.f()\n"
        "    def n(self):\n        unknown()\n        def inner():\n            self.m()\n        inner()\n"
    )
    result = scan([str(pkg)], duplicates=0, choke_points=0)
    names = [f"{f.module}:{f.qualname}" for f in result.functions]
    got = {(names[e.caller], names[e.callee]) for e in result.structure.calls}
    assert got == {
        ("pkg.a:C.n", "pkg.a:C.n.<locals>.inner"),
        ("pkg.a:C.m", "pkg.b:f"),
        ("pkg.a:C.m", "pkg.a:C.n"),
        ("pkg.a:C.m", "pkg.b:g"),
        ("pkg.b:g", "pkg.b:f"),
    }
