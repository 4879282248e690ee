"""The native path against the reference model, and what it must survive.

Identity is checked on random programs (every construct the builder knows,
nested in every way), on a seeded sample of the standard library, and on
the inputs at the parser's limits; then the native call's own contract:
arguments, Ctrl-C, and no state left behind between files.
"""

import ast
import gc
import os
import random
import signal
import sys

import pytest
from hypothesis import given, settings, strategies as st

from velmora_scan import _native
from velmora_scan.analysis import compact_source, measure_tree
from velmora_scan.discover import discover, stdlib_root

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "benchmarks"))
import identity  # noqa: E402


def both(src: str, count_bool_ops: bool = False):
    tree = ast.parse(src)
    kw = {"block_size": 64, "count_bool_ops": count_bool_ops}
    return measure_tree(tree, src, engine="native", **kw), measure_tree(tree, src, engine="reference", **kw)


# -- random programs ----------------------------------------------------------------

EXPRS = ["x", "a if b else c", "[i for i in y if i if j]", "a and b or c and d", "lambda q=a if b else c: q or r",
         "{k: v for k, v in y for w in k}", "f(x) if g(y) else (h(z) if a else b)", "not (a and (b and c))",
         "self.f(x)", "f(lambda: [i for i in (a if b else c)])"]
SIMPLE = ["x = {e}", "return {e}", "raise E({e})", "y: {e} = {e}", "assert {e}", "del x", "pass", "f({e})",
          "global g", "import a.b as c", "from ..m import n", "type A[T: ({e}, int)] = [T for T in ({e})]"]


def program(data, depth: int, in_loop: bool, indent: int) -> list[str]:
    pad = "    " * indent
    expr = lambda: data.draw(st.sampled_from(EXPRS))  # noqa: E731
    out: list[str] = []
    for _ in range(data.draw(st.integers(1, 3))):
        options = ["simple"] * 3 + (["break", "continue"] if in_loop else [])
        if depth < 4:
            options += ["if", "elif", "else_if", "while", "for", "try", "match", "with", "def", "class"]
        c = data.draw(st.sampled_from(options))
        inner = lambda loop=in_loop, extra=1: program(data, depth + 1, loop, indent + extra)  # noqa: E731
        if c == "simple":
            out.append(pad + data.draw(st.sampled_from(SIMPLE)).format(e=expr()))
        elif c in ("break", "continue"):
            out.append(pad + c)
        elif c == "if":
            out += [f"{pad}if {expr()}:"] + inner()
        elif c == "elif":
            out += [f"{pad}if {expr()}:"] + inner()
            for _ in range(data.draw(st.integers(1, 3))):
                out += [f"{pad}elif {expr()}:"] + inner()
            if data.draw(st.booleans()):
                out += [f"{pad}else:"] + inner()
        elif c == "else_if":  # an if nested under else: not an elif
            out += [f"{pad}if x:"] + inner() + [f"{pad}else:", f"{pad}    if {expr()}:"] + inner(extra=2)
        elif c in ("while", "for"):
            head = f"while {expr()}:" if c == "while" else f"{data.draw(st.sampled_from(['', 'async ']))}for i in {expr()}:"
            out += [pad + head] + inner(True)
            if data.draw(st.booleans()):
                out += [f"{pad}else:"] + inner()
        elif c == "try":
            out += [f"{pad}try:"] + inner()
            star = data.draw(st.sampled_from(["", "*"]))
            handlers = data.draw(st.integers(0 if not star else 1, 2))
            for _ in range(handlers):
                out += [f"{pad}except{star} {data.draw(st.sampled_from(['E', 'E if a else F']))}:"] + inner()
            if handlers and data.draw(st.booleans()):
                out += [f"{pad}else:"] + inner()
            if not handlers or data.draw(st.booleans()):
                out += [f"{pad}finally:"] + inner()
        elif c == "match":
            out.append(f"{pad}match {expr()}:")
            pats = ["1", "[a]", "_", "a if a", "(1 | _)", "(b as c)", "{'k': v} if a and b", "Point(x=0)"]
            for pat in data.draw(st.lists(st.sampled_from(pats), min_size=1, max_size=3)):
                out += [f"{pad}    case {pat}:"] + program(data, depth + 1, in_loop, indent + 2)
        elif c == "with":
            out += [f"{pad}with {expr()} as w, open(x):"] + inner()
        elif c == "def":
            out += [f"{pad}@deco({expr()})", f"{pad}def g(p={expr()}, *, q: {expr()} = {expr()}):"] + inner(False)
        else:
            out += [f"{pad}class K(B if a else C, metaclass=M):"] + inner(False)
    return out


@settings(max_examples=200, deadline=None)
@given(st.data(), st.booleans())
def test_random_programs_measure_as_the_reference(data, count_bool_ops):
    head = data.draw(st.sampled_from(["def f(x, y):", "async def f(x, y):", "class C:\n    def f(self, y):"]))
    indent = 2 if head.startswith("class") else 1
    src = head + "\n" + "\n".join(program(data, 0, False, indent)) + "\n"
    native, reference = both(src, count_bool_ops)
    assert native == reference, src


def test_stdlib_sample_measures_as_the_reference():
    # A bounded, seeded sample; benchmarks/identity.py runs any corpus whole.
    assert identity.main(["--stdlib", "--sample", "40", "--seed", "15"]) == 0


def test_defs_and_imports_come_in_source_order():
    src = ("try:\n    import a\n    def f(): pass\nexcept E:\n    import b\n    def g(): pass\n"
           "else:\n    import c\n    def h(): pass\nfinally:\n    import d\n    def k(): pass\n"
           "for i in x:\n    import e\n    def m(): pass\nelse:\n    import f\n    def n(): pass\n")
    for functions, imports, _, _ in both(src):
        assert [fn[0] for fn in functions] == ["f", "g", "h", "k", "m", "n"]
        assert [i[1] for i in imports] == ["a", "b", "c", "d", "e", "f"]


# -- inputs at the parser's limits ------------------------------------------------------


def _deep(kind: str) -> str:
    if kind == "elif":  # the longest chain the 3.12 parser accepts is about 2,900
        return "def f(x):\n    if x == 0: pass\n" + "".join(f"    elif x == {i}: pass\n" for i in range(1, 2500))
    if kind == "nest":  # 100 levels of indentation is the tokenizer's limit
        lines, pad = [], "    "
        for i in range(95):
            lines.append(f"{pad}{['if x:', 'for i in y:', 'while x:', 'with w:', 'try:'][i % 5]}")
            pad += "    "
        body = "\n".join(lines) + f"\n{pad}pass\n"
        # close the try blocks
        for i in range(94, -1, -1):
            if i % 5 == 4:
                body += "    " * (i + 1) + "finally: pass\n"
        return "def f(x):\n" + body
    if kind == "binop":
        return "def f(a):\n    return " + " + ".join(["a"] * 2500) + "\n"
    if kind == "boolop":
        return "def f(a):\n    return " + " and ".join(f"(a or b{i})" for i in range(5000)) + "\n"
    if kind == "ifexp":
        return "def f(a):\n    return " + " if a else ".join(["a"] * 1000) + "\n"
    raise AssertionError(kind)


@pytest.mark.parametrize("kind", ["elif", "nest", "binop", "boolop", "ifexp"])
def test_deep_inputs_are_measured(kind):
    src = _deep(kind)
    native, reference = both(src, count_bool_ops=True)
    assert native == reference
    assert native[0][0][6] >= 1  # cyclomatic


# -- the native call ----------------------------------------------------------------------


def test_native_call_checks_its_arguments():
    tree = ast.parse("def f(): pass\n")
    with pytest.raises(TypeError):
        _native.analyze(tree, b"bytes are not text", 64, False)
    with pytest.raises(OverflowError):
        _native.analyze(tree, "", -1, False)
    with pytest.raises(TypeError):
        _native.analyze(tree, "")
    # Something that is not a syntax tree is an internal fault, not a crash.
    with pytest.raises(BaseException, match="not a syntax tree"):
        _native.analyze(object(), "", 64, False)
    with pytest.raises(TypeError):
        _native.configure([int])


def test_ctrl_c_stops_a_long_file():
    src = "".join(f"def f{i}(x):\n    return [a if b else c for a in x if a]\n" for i in range(40000))
    tree = ast.parse(src)

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    # No finalizer of earlier tests' garbage may run (and swallow the
    # interrupt) while the timer is armed.
    gc.collect()
    gc.disable()
    old = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(KeyboardInterrupt):
            for _ in range(20):  # a single call may finish on a fast machine
                _native.analyze(tree, src, 512, False)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
        gc.enable()
    # Nothing is left half-done: the next call gives the full answer.
    assert len(_native.analyze(tree, src, 512, False)[0]) == 40000


def test_files_do_not_share_state():
    files = [c.path for c in discover([os.path.join(stdlib_root(), "json")]) if not c.problem]

    def read(p):
        with open(p, "rb") as fh:
            return fh.read()

    first = {p: compact_source(read(p), p) for p in files}
    random.Random(3).shuffle(files)
    assert {p: compact_source(read(p), p) for p in files} == first
