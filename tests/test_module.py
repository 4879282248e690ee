"""The module surface: registration, class properties, text signatures and
the argument conventions every call shares."""

import importlib.metadata
import importlib.util
import inspect
import shutil
import subprocess
import sys
import textwrap
import tomllib
from pathlib import Path

import pytest
from hypothesis import given, strategies as st

import velmora as v

NAMES = [
    "SourceSpan", "NativeRef", "UASTNode", "EdgeKind", "BasicBlock", "CFGEdge",
    "ControlFlowGraph", "CycleGenerator", "CycleBasisResult", "WeightedEdge",
    "EdgeCurvature", "balanced_forman_curvature", "directed_forman_curvature",
    "EntropyResult", "calculate_kolmogorov_proxy", "calculate_entropy_detailed",
    "calculate_block_entropy", "calculate_entropy_variance", "DistanceResult",
    "compute_sequence_distance",
]
SIGNATURES = {
    "SourceSpan": "(file, start_byte, end_byte, start_line, start_column, end_line, end_column)",
    "NativeRef": "(parser, parser_version, node_kind)",
    "UASTNode": "(kind, lang, span, native, attributes=None, children=None, id=...)",
    "BasicBlock": "(id, statements=None, label=...)",
    "CFGEdge": "(source, target, kind)",
    "ControlFlowGraph": "(blocks=None, edges=None, entry_id=0, exit_id=1)",
    "WeightedEdge": "(source, target, weight=1.0)",
    "balanced_forman_curvature": "(edges)",
    "directed_forman_curvature": "(edges, node_weights=None)",
    "calculate_kolmogorov_proxy": "(source)",
    "calculate_entropy_detailed": "(source)",
    "calculate_block_entropy": "(source, block_size)",
    "calculate_entropy_variance": "(source, block_size)",
    "compute_sequence_distance": "(source, target)",
}
RESULT_CLASSES = ["EdgeKind", "CycleGenerator", "CycleBasisResult", "EdgeCurvature", "EntropyResult",
                  "DistanceResult"]
CLASSES = [n for n in NAMES if n[0].isupper()]
FUNCTIONS = [n for n in NAMES if n[0].islower()]


def test_all_lists_the_twenty_names_in_registration_order():
    assert v.__all__ == NAMES
    assert v.__doc__ in ("", None)
    for name in NAMES:
        assert getattr(v, name) is not None


@pytest.mark.parametrize("name", CLASSES)
def test_class_properties(name):
    cls = getattr(v, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    assert "__dict__" not in dir(cls) and "__weakref__" not in dir(cls)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        cls.some_new_attribute = 1


@pytest.mark.parametrize("name", RESULT_CLASSES)
def test_result_classes_cannot_be_instantiated(name):
    cls = getattr(v, name)
    assert cls.__doc__ is None
    assert getattr(cls, "__text_signature__", None) is None
    with pytest.raises(TypeError):
        cls()


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_text_signatures(name):
    obj = getattr(v, name)
    assert obj.__text_signature__ == SIGNATURES[name]
    inspect.signature(obj)  # parses
    if name[0].isupper():
        assert obj.__doc__ == ""


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_belong_to_the_module(name):
    assert getattr(v, name).__module__ == "velmora"


def test_graph_methods_have_self_signatures():
    for name in ["cycle_basis", "cyclomatic_complexity", "essential_complexity", "max_nesting_depth",
                 "longest_acyclic_path", "connected_components"]:
        assert getattr(v.ControlFlowGraph, name).__text_signature__ == "($self)"
    assert v.ControlFlowGraph.cycle_basis.__doc__.startswith(
        "Fundamental cycle basis (spanning tree + back-edge closure)")


def test_only_the_entry_point_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", v.__file__], capture_output=True, text=True, check=True)
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_velmora"]


def test_subinterpreters_are_refused_with_import_error():
    code = textwrap.dedent("""
        import sys
        try:
            import _interpreters as interp
        except ImportError:
            import _xxsubinterpreters as interp
        import velmora
        iid = interp.create()
        try:
            result = interp.run_string(iid, "import velmora")
        except Exception as e:  # 3.12 raises, 3.13 returns the failure
            result = e
        print(result)
        print("alive", len(velmora.__all__))
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert "ImportError" in out.stdout
    assert "alive 20" in out.stdout


class TestArguments:
    def test_keywords_and_positions(self):
        e = v.CFGEdge(target=2, kind=v.EdgeKind.TRUE, source=1)
        assert (e.source, e.target) == (1, 2)
        with pytest.raises(TypeError, match="missing required argument 'kind'"):
            v.CFGEdge(1, 2)
        with pytest.raises(TypeError, match="at most 3 arguments"):
            v.CFGEdge(1, 2, v.EdgeKind.TRUE, 4)
        with pytest.raises(TypeError, match="unexpected keyword argument 'colour'"):
            v.CFGEdge(1, 2, v.EdgeKind.TRUE, colour=1)
        with pytest.raises(TypeError, match="multiple values for argument 'source'"):
            v.CFGEdge(1, 2, v.EdgeKind.TRUE, source=1)

    def test_new_and_call_parse_alike(self):
        a = v.BasicBlock.__new__(v.BasicBlock, 3, label="x")
        assert (a.id, a.label) == (3, "x")
        with pytest.raises(TypeError, match="argument 'id'"):
            v.BasicBlock.__new__(v.BasicBlock, 1.5)

    @given(st.integers(min_value=0, max_value=2**64 - 1))
    def test_unsigned_round_trip(self, n):
        assert v.BasicBlock(n).id == n
        assert v.CFGEdge(n, n, v.EdgeKind.BREAK).target == n

    @given(st.one_of(st.integers(max_value=-1), st.integers(min_value=2**64)))
    def test_unsigned_out_of_range(self, n):
        with pytest.raises(OverflowError, match="argument 'id'"):
            v.BasicBlock(n)

    def test_unsigned_accepts_index_and_bool_and_refuses_the_rest(self):
        class Idx:
            def __index__(self):
                return 41

        class BadIdx:
            def __index__(self):
                return "no"

        class Raises:
            def __index__(self):
                raise ZeroDivisionError

        assert v.BasicBlock(Idx()).id == 41
        assert v.BasicBlock(True).id == 1
        with pytest.raises(TypeError, match="argument 'id': 'float' object cannot be interpreted as an integer"):
            v.BasicBlock(1.0)
        for bad in (None, "1", b"1", [1]):
            with pytest.raises(TypeError, match="argument 'id'"):
                v.BasicBlock(bad)
        with pytest.raises(TypeError, match="argument 'id'"):
            v.BasicBlock(BadIdx())
        with pytest.raises(ZeroDivisionError):
            v.BasicBlock(Raises())

    def test_sequences(self):
        edge = v.CFGEdge(0, 1, v.EdgeKind.TRUE)
        g = v.ControlFlowGraph(edges=(edge, edge))
        assert len(g.edges) == 2
        for s in ("", "abc", type("S", (str,), {})("x")):
            with pytest.raises(TypeError, match=r"argument 'edges': .*Can't extract `str` to `Vec`$"):
                v.ControlFlowGraph(edges=s)
        for bad in (5, iter([edge]), {0: edge}, [edge, 5]):
            with pytest.raises(TypeError, match="argument 'edges'"):
                v.ControlFlowGraph(edges=bad)

    def test_general_sequence_protocol(self):
        edge = v.CFGEdge(0, 1, v.EdgeKind.TRUE)

        class Seq:
            def __len__(self):
                return 10**12  # a lying length is only a hint

            def __getitem__(self, i):
                if i < 3:
                    return edge
                raise IndexError

        assert len(v.ControlFlowGraph(edges=Seq()).edges) == 3

        class Broken:
            def __len__(self):
                return 1

            def __getitem__(self, i):
                raise KeyError("boom")

        with pytest.raises(KeyError):
            v.ControlFlowGraph(edges=Broken())

    def test_list_shrinking_while_converted(self):
        lst = []

        class Shrink:
            def __index__(self):
                lst.clear()
                return 1

        lst.extend([Shrink(), 5, 6])
        # The ids of a dict are converted with Python code running; a list
        # emptied meanwhile must not be read past its end.
        blocks = {Shrink(): v.BasicBlock(0)}
        g = v.ControlFlowGraph(blocks)
        assert list(g.blocks) == [1]


def test_dict_mutated_while_its_keys_are_converted():
    blocks = {}

    class Clears:
        def __index__(self):
            blocks.clear()
            return 7

    blocks[Clears()] = v.BasicBlock(0)
    blocks[8] = v.BasicBlock(1)
    g = v.ControlFlowGraph(blocks)
    assert sorted(g.blocks) == [7, 8]


def test_a_preset_all_that_is_not_a_list_fails_the_import_and_binds_nothing():
    spec = importlib.util.find_spec("velmora")
    for preset in [(), "SourceSpan", None]:
        m = importlib.util.module_from_spec(spec)
        m.__all__ = preset
        with pytest.raises(TypeError, match="__all__"):
            spec.loader.exec_module(m)
        assert m.__all__ is preset
        assert not set(NAMES) & set(vars(m))


def test_the_version_is_pyproject_s():
    # One version, written once in pyproject.toml; the module itself has none.
    pyproject = tomllib.loads((Path(__file__).resolve().parent.parent / "pyproject.toml").read_text())
    assert importlib.metadata.version("velmora") == pyproject["project"]["version"]
    assert not hasattr(v, "__version__")
