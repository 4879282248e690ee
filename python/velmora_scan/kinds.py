"""Node kinds: the snake_case names of the syntax tree's concrete classes.

A function's node-kind sequence is stored as ``bytes``, one code per node,
each code an index into `KIND_NAMES`. The table is built from the running
interpreter's ``_ast`` module, so codes are stable within one interpreter
version and may differ between versions; whoever needs names turns codes
back with `KIND_NAMES`.
"""

from __future__ import annotations

import _ast
import re

_CAMEL = re.compile(r"(?<=[a-z0-9])(?=[A-Z])")


def snake_case(name: str) -> str:
    """``BinOp`` -> ``bin_op``, ``comprehension`` -> ``comprehension``."""
    return _CAMEL.sub("_", name).lower()


def _concrete_classes() -> list[type]:
    # The abstract classes (stmt, expr, operator, ...) are exactly those
    # with subclasses among the module's own classes; the deprecated
    # aliases that ``ast`` defines in Python (Num, Str, ...) are not there.
    classes = {c for c in vars(_ast).values() if isinstance(c, type) and issubclass(c, _ast.AST)}
    return [c for c in classes if c is not _ast.AST and not any(s in classes for s in c.__subclasses__())]


_CLASSES = sorted(_concrete_classes(), key=lambda c: snake_case(c.__name__))

#: Names of every concrete syntax-tree class, sorted; a kind code indexes it.
KIND_NAMES: tuple[str, ...] = tuple(snake_case(c.__name__) for c in _CLASSES)

#: Class -> kind code.
KIND_CODES: dict[type, int] = {c: i for i, c in enumerate(_CLASSES)}

assert len(KIND_NAMES) < 255 and len(set(KIND_NAMES)) == len(KIND_NAMES)


def kind_names(kinds: bytes) -> list[str]:
    return [KIND_NAMES[c] for c in kinds]
