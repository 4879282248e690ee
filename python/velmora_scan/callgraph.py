"""The call graph of the analysed functions and its choke points.

Calls are resolved by name only, without types, so the graph holds the calls
that can be named for sure and misses the rest:

* ``f()`` goes to a function ``f`` defined at the top of the caller's own
  module, or else to the function that a module-level ``from m import f``
  names, when ``m`` is among the analysed modules;
* ``self.f()`` and ``cls.f()`` go to the method ``f`` of the class that
  encloses the caller;
* ``m.f()`` goes to the top-level function ``f`` of module ``m`` when ``m``
  is a module-level ``import`` alias of an analysed module.

Every caller-callee pair is one edge of weight 1, however many call sites it
has, and recursion (a self-loop) is left out. The directed Forman curvature
of an edge falls with the number of edges into its caller and out of its
callee, so the most negative edges are the calls through which many callers
reach many callees: the choke points of the code.
"""

from __future__ import annotations

from dataclasses import dataclass

import velmora as v

from .model import FileReport, FunctionReport


@dataclass
class CallEdge:
    caller: int  # indices into the list of functions
    callee: int
    curvature: float


def _aliases(report: FileReport) -> dict[str, tuple[str, str]]:
    """Module-level import aliases of a file: alias -> (module, name or "")."""
    out: dict[str, tuple[str, str]] = {}
    is_package = report.path.endswith("__init__.py")
    package = report.module if is_package else report.module.rpartition(".")[0]
    for level, module, name, asname, top, _ in report.imports:
        if not top:
            continue
        if not name:  # import a.b [as c]
            if asname:
                out[asname] = (module, "")
            else:
                first = module.partition(".")[0]
                out[first] = (first, "")
            continue
        if name == "*":
            continue
        base = module
        if level:
            parts = package.split(".") if package else []
            keep = len(parts) - (level - 1)
            if keep < 0:
                continue
            base = ".".join(parts[:keep] + ([module] if module else []))
        out[asname or name] = (base, name)
    return out


def call_edges(files: list[FileReport], functions: list[FunctionReport]) -> list[tuple[int, int]]:
    index = {id(f): i for i, f in enumerate(functions)}
    top: dict[tuple[str, str], int] = {}
    methods: dict[tuple[str, str], int] = {}
    imports: dict[str, dict[str, tuple[str, str]]] = {}
    for fr in files:
        if fr.status != "ok":
            continue
        imports.setdefault(fr.module, _aliases(fr))
        for f in fr.functions:
            i = index[id(f)]
            if "." not in f.qualname:
                top.setdefault((fr.module, f.qualname), i)
            elif f.owner and f.qualname == f"{f.owner}.{f.qualname.rpartition('.')[2]}":
                methods.setdefault((fr.module, f.qualname), i)

    pairs: set[tuple[int, int]] = set()
    for i, f in enumerate(functions):
        aliases = imports.get(f.module, {})
        for form, base, name in f.calls:
            target = None
            if form == "name":
                target = top.get((f.module, name))
                if target is None and name in aliases:
                    mod, attr = aliases[name]
                    if attr:
                        target = top.get((mod, attr))
            elif form == "self":
                if f.owner:
                    target = methods.get((f.module, f"{f.owner}.{name}"))
            elif form == "attr" and base in aliases:
                mod, attr = aliases[base]
                if not attr:
                    target = top.get((mod, name))
                else:
                    # from package import submodule
                    target = top.get((f"{mod}.{attr}" if mod else attr, name))
            if target is not None and target != i:
                pairs.add((i, target))
    return sorted(pairs)


def choke_points(pairs: list[tuple[int, int]], top: int = 10) -> list[CallEdge]:
    """The ``top`` call edges of most negative directed Forman curvature.

    Only negative edges are choke points: an edge of positive curvature has
    few paths funnelling through it.
    """
    if not pairs:
        return []
    edges = [v.WeightedEdge(a, b) for a, b in pairs]
    result = v.directed_forman_curvature(edges)
    measured = [CallEdge(r.source, r.target, r.curvature) for r in result if r.curvature < 0]
    measured.sort(key=lambda e: (e.curvature, e.caller, e.callee))
    return measured[:top]
