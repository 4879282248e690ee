"""The per-function and per-file facts of the shared records."""

import ast
import textwrap

import pytest

from velmora_scan import analyze_source
from velmora_scan.kinds import KIND_NAMES, kind_names
from velmora_scan.syntax import function_facts

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
