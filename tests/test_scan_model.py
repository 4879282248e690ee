"""The per-function and per-file facts of the shared records."""

import ast
import json
import os
import sys
import textwrap
from collections import Counter

import pytest
from hypothesis import given, settings, strategies as st

from velmora_scan import analyze_source, discover, scan, stdlib_root, trees
from velmora_scan.__main__ import main
from velmora_scan.kinds import KIND_NAMES, kind_names, snake_case
from velmora_scan.source import decode
from velmora_scan.syntax import function_facts, iter_functions

SOURCE = textwrap.dedent('''
    import os.path as osp, sys
    from ..pkg import a as b, c
    from . import d

    class C(Base):
        @staticmethod
        @deco(1)
        def m(self, x: int = g()):
            """doc"""
            import json
            y: h() = self.k(x)
            super().m(x)
            a.b.c(x)[0](x)
            f(lambda: inner())

            def nested(z=dflt()) -> ann():
                hidden()

            class K(base()):
                hidden_too()
            return [q() for _ in x if p()]

        def __init__(self, a, b):
            "doc"
            super().__init__()
            self.a, self.b = a, b
            self.c: int = 0
            pass
''')


def test_function_records():
    report = analyze_source(SOURCE, "m.py", "pkg.m")
    m, nested, init = report.functions
    assert [f.qualname for f in report.functions] == ["C.m", "C.m.<locals>.nested", "C.__init__"]
    assert [f.owner for f in report.functions] == ["C", "", "C"]
    assert (m.first_line, m.line, nested.first_line) == (7, 9, 17)
    # calls in the body, in lambdas, in the defaults and bases of nested
    # scopes; not in their bodies, and not in annotations
    assert m.calls == (
        ("self", "self", "k"), ("super", "", "m"), ("name", "", "super"), ("other", "", ""), ("attr", "a.b", "c"),
        ("name", "", "f"), ("name", "", "inner"), ("name", "", "dflt"), ("name", "", "base"),
        ("name", "", "q"), ("name", "", "p"),
    )
    assert m.statements == 9 and not m.assign_only
    assert init.assign_only and init.statements == 5
    assert report.imports == (
        (0, "os.path", "", "osp", True, 2), (0, "sys", "", "", True, 2),
        (2, "pkg", "a", "b", True, 3), (2, "pkg", "c", "", True, 3), (1, "", "d", "", True, 4),
        (0, "json", "", "", False, 11),
    )


@pytest.mark.parametrize("body,assign_only", [
    ("self.x = x", True),
    ("'doc'\n    pass", False),          # no assignment at all
    ("self.x = x\n    x = 1", False),    # a local
    ("self.x = x\n    self.f()", False),
    ("super().__init__(x)\n    self.x: int = x", True),
])
def test_assign_only(body, assign_only):
    f = analyze_source(f"def f(self, x):\n    {body}\n").functions[0]
    assert f.assign_only is assign_only


def test_kinds_are_a_preorder_walk_without_operators():
    src = "def f(x):\n    return -x + (lambda y: y)(x)\n    def g(): return 1\n"
    kinds, _, statements = function_facts(ast.parse(src).body[0])
    assert kind_names(kinds) == [
        "return", "bin_op", "unary_op", "name", "call", "lambda", "arguments", "arg", "name", "name",
        "function_def",
    ]
    assert statements == 2
    assert list(KIND_NAMES) == sorted(KIND_NAMES) and len(KIND_NAMES) < 255


# -- syntax trees (--trees) -------------------------------------------------------------

_OPERATORS = (ast.expr_context, ast.operator, ast.boolop, ast.unaryop, ast.cmpop)


def _preorder(node):
    """The model: ast's own child iteration, operators and contexts left out."""
    out, stack = [], [node]
    while stack:
        n = stack.pop()
        out.append(n)
        stack.extend(reversed([c for c in ast.iter_child_nodes(n) if not isinstance(c, _OPERATORS)]))
    return out


def _uast_preorder(root):
    out, stack = [], [root]
    while stack:
        n = stack.pop()
        out.append(n)
        stack.extend(reversed(n.children))
    return out


_STDLIB = sorted(c.path for c in discover([os.path.join(stdlib_root(), "json"), os.path.join(stdlib_root(), "email"),
                                           os.path.join(stdlib_root(), "asyncio")]) if not c.problem)


@settings(max_examples=40, deadline=None)
@given(st.sampled_from(_STDLIB), st.randoms(use_true_random=False))
def test_trees_round_trip_kinds_and_spans(path, rnd):
    with open(path, "rb") as fh:
        data = fh.read()
    report = analyze_source(data, path, trees=True)
    if not report.functions:
        return
    tree = ast.parse(data)
    defs = [f for f, _, _ in iter_functions(tree)]
    i = rnd.randrange(len(defs))
    expected, got = _preorder(defs[i]), _uast_preorder(report.functions[i].tree)
    assert [type(n).__name__ for n in expected] == [n.native.node_kind for n in got]
    assert Counter(map(type, expected)) == Counter(type(n) for n in ast.walk(defs[i]) if not isinstance(n, _OPERATORS))
    assert [n.kind for n in got] == [snake_case(n.native.node_kind) for n in got]
    text = decode(data)
    source = text.encode("utf-8")
    for node, record in zip(expected, got):
        s = record.span
        assert s.file == path and s.start_byte <= s.end_byte
        segment = ast.get_source_segment(text, node)
        if segment is not None:
            assert source[s.start_byte:s.end_byte].decode() == segment
            assert (s.start_line, s.start_column) == (node.lineno, node.col_offset)


def test_tree_records_and_json(tmp_path, capsys):
    (tmp_path / "m.py").write_text("def f(a, *, b=1):\n    global g\n    return not a < b <= 0x10 or 'é'\n")
    f = analyze_source((tmp_path / "m.py").read_text(), trees=True).functions[0]
    ret = f.tree.children[2]
    bool_op = ret.children[0]
    compare = bool_op.children[0].children[0]
    assert (f.tree.attributes, f.tree.native.parser, f.tree.native.parser_version, f.tree.lang) == (
        {"name": "f"}, "ast", f"{sys.version_info[0]}.{sys.version_info[1]}", "python")
    assert f.tree.children[1].attributes == {"names": "g"}
    assert (bool_op.attributes, compare.attributes) == ({"op": "or"}, {"ops": "lt,lt_e"})
    assert [c.attributes for c in compare.children] == [{"id": "a", "ctx": "load"}, {"id": "b", "ctx": "load"},
                                                       {"value": "16"}]
    assert bool_op.children[1].attributes == {"value": "'é'"}
    assert main([str(tmp_path / "m.py"), "--trees", "--json", "--no-cache"]) == 0
    doc = json.loads(capsys.readouterr().out)["functions"][0]["tree"]
    assert doc["native"] == {"parser": "ast", "parser_version": f.tree.native.parser_version, "node_kind": "FunctionDef"}
    assert doc["children"][2]["children"][0]["attributes"] == {"op": "or"}
    assert doc["span"] == {"start_byte": 0, "end_byte": f.tree.span.end_byte, "start_line": 1, "start_column": 0,
                           "end_line": 3, "end_column": 36}  # bytes: é is two


def test_deep_trees_are_built_and_written_without_recursion(tmp_path, capsys):
    depth = 2500  # about the deepest sum the 3.12 parser accepts
    assert depth > 2 * sys.getrecursionlimit()
    (tmp_path / "deep.py").write_text("def f(a):\n    return " + " + ".join(["a"] * depth) + "\n")
    (tmp_path / "flat.py").write_text("def g():\n    pass\n")
    for jobs in ("1", "2"):  # in process, and flat through a worker
        report = scan([str(tmp_path)], trees=True, jobs=int(jobs), cache=False)
        assert sum(n.kind == "bin_op" for n in _uast_preorder(report.functions[0].tree)) == depth - 1
        assert main([str(tmp_path), "--trees", "--json", "-j", jobs, "--no-cache"]) == 0
        out = capsys.readouterr().out
        assert out.count('"kind": "bin_op"') == depth - 1 and out.count("{") == out.count("}")


def test_the_default_path_builds_no_trees(monkeypatch, capsys):
    def refuse(*args):
        raise AssertionError("a tree was built")

    monkeypatch.setattr(trees, "flatten", refuse)
    monkeypatch.setattr(trees, "build", refuse)
    assert all(f.tree is None for f in scan(jobs=1, cache=False).functions)
    assert main(["--json", "--no-cache", "-j", "1"]) == 0
    assert '"tree"' not in capsys.readouterr().out
