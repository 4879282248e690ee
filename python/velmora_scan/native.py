"""The native analysis path: one call per parsed file into the
`velmora_scan._native` extension, which walks the syntax tree, builds every
function's control-flow graph and measures it without creating a Python
object per block, edge or node.

`analyze(tree, text, block_size, count_bool_ops)` returns
``(functions, imports, lines, entropy_variance)``: each function a tuple of
`FunctionReport`'s fields after ``file`` and ``module``, imports as in
`FileReport.imports`.
"""

from __future__ import annotations

from . import _native
from .kinds import KIND_CODES

# The extension learns the running interpreter's syntax-tree classes once:
# the class with kind code i is the i-th.
_native.configure(tuple(sorted(KIND_CODES, key=KIND_CODES.__getitem__)))

analyze = _native.analyze

__all__ = ["analyze"]
