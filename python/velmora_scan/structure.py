"""The structure of the input as graphs: which module imports which, which
function calls which, where the graphs narrow, and where imports go round.

Modules.  Every import of a file is resolved against the modules of the
input: ``import a.b`` to the longest prefix of ``a.b`` that is an input
module, ``from a import b`` to ``a.b`` when that is a module and to ``a``
otherwise, relative imports against the importing module's package.  Imports
of modules outside the input are left out of the graph.

Calls.  A call site is resolved without types, from names alone:

* ``f()``: a function defined in an enclosing function, then a top-level
  function (or class, whose ``__init__`` is called) of the caller's module,
  then a name bound by an import, when it names a function or class of an
  input module;
* ``self.f()`` / ``cls.f()``: the method ``f`` of the class that directly
  encloses the caller (an inherited method stays unresolved);
* ``a.b.f()``: a function of the module that ``a.b`` names through the
  caller's imports, a method of a class of such a module, or ``C.f()`` for
  a class ``C`` of the caller's own module;
* everything else (``super().f()``, ``obj.f()``, ``f()()``) is unresolved.

Calls to builtins and to modules outside the input are counted apart from
the unresolved rest, so that the report says how much of the call graph it
could see.

Test code (see `test_code`) is left out of both graphs unless asked for:
the 490 test functions of the standard library that call
``textwrap.dedent`` say nothing about the library's structure.

Bottlenecks.  A bottleneck is a narrow link between two parts of the code:
the graph is cut into *parts*, the groups of nodes of one package (modules)
or one module (functions) that are connected through edges inside it; a
top-level module is a part of its own.  Two parts of at least `MIN_PART`
nodes each that are joined by at most `NARROW` edges meet through a narrow
link.  Each such link gets velmora's balanced Forman curvature in the graph
of its two parts and the links between them: near −2 when both ends are
well connected inside their parts and nothing else joins their
neighbourhoods, higher when a parallel link closes 4-cycles around it.
Curvature in the whole graph would mostly measure how popular the ends
are (every edge at a hub is near −2), so it is not taken there.  A part
that many others use (more than `SHARED` times the mean number of users)
is shared ground, a utility or a base layer that everything meets, and no
link to it is a bottleneck.  A call link also carries its directed Forman
curvature in the whole call graph, weighted by the number of call sites,
which says how much traffic funnels through it.

Cycles.  The strongly connected components of the import graph (Tarjan's
algorithm with an explicit stack), each with one shortest cycle through its
first module: once over the module-level imports, which run at import time
and can fail there, and once with the imports inside functions too, the
usual way of breaking such a cycle, which still couples the modules.
"""

from __future__ import annotations

import builtins
import dataclasses
import re
from array import array
from collections import deque
from dataclasses import dataclass, field
from typing import Iterable, Sequence

import velmora as v

_BUILTINS = frozenset(dir(builtins))

#: A narrow link: at most this many edges join the two parts.
NARROW = 2
#: Parts of fewer nodes are left out of the bottleneck lists.
MIN_PART = 3
#: A part with more users than this many times the mean (over the parts that
#: have users) is shared ground.
SHARED = 4.0


@dataclass(slots=True)
class ImportEdge:
    source: int  # indices into Structure.modules
    target: int
    count: int  # imported names that resolve to this pair
    line: int  # first import line in the source module
    top_level: bool  # at least one of them at module level


@dataclass(slots=True)
class CallEdge:
    caller: int  # indices into the function list given to analyse()
    callee: int
    count: int  # call sites
    directed: float = 0.0  # directed Forman curvature, weighted by count


@dataclass(slots=True)
class Bottleneck:
    source: int  # module or function indices: the importer or caller
    target: int  # the imported module or the callee
    curvature: float  # balanced Forman curvature in the graph of the two parts and their links
    source_degree: int  # degrees in that graph
    target_degree: int
    source_part: str  # the parts' package or module
    target_part: str
    source_size: int  # nodes of each part
    target_size: int
    links: list[tuple[int, int]] = field(default_factory=list)  # every link between the parts, this one first


@dataclass(slots=True)
class ImportCycle:
    members: list[int]  # the strongly connected component, sorted by name
    cycle: list[int]  # one cycle through members[0], closed: first == last


@dataclass
class CallCounts:
    sites: int = 0
    resolved: int = 0
    recursive: int = 0  # resolved to the caller itself
    builtin: int = 0
    external: int = 0  # through an import of a module outside the input
    unresolved: int = 0  # super(), attribute calls on objects, inherited methods, ...


@dataclass
class Structure:
    modules: list[str]
    module_files: list[str]
    imports: list[ImportEdge]
    module_fan_in: list[int]
    module_fan_out: list[int]
    cycles: list[ImportCycle]  # through module-level imports: they run at import time
    deferred_cycles: list[ImportCycle]  # with imports inside functions as well
    module_bottlenecks: list[Bottleneck]
    calls: list[CallEdge]
    fan_in: list[int]  # per function: distinct callers
    fan_out: list[int]  # per function: distinct callees
    call_counts: CallCounts = field(default_factory=CallCounts)
    call_bottlenecks: list[Bottleneck] = field(default_factory=list)
    tests_left_out: int = 0  # files of test code left out of both graphs
    module_links: int = 0  # narrow links between packages (pairs of parts)
    call_links: int = 0
    shared_packages: list[str] = field(default_factory=list)  # parts left out as shared ground
    shared_call_groups: int = 0


def _is_package(path: str) -> bool:
    name = path.replace("\\", "/").rpartition("/")[2]
    return name in ("__init__.py", "__init__.pyi")


class _Modules:
    """Module names of the input and how an import names one of them."""

    def __init__(self, files):
        self.names: list[str] = []
        self.files: list[str] = []
        self.index: dict[str, int] = {}
        self.package: list[str] = []
        self.by_path: dict[str, int] = {}
        for fr in files:
            if fr.module in self.index:
                continue  # the first file of a name wins, as on sys.path
            self.by_path[fr.path] = len(self.names)
            self.index[fr.module] = len(self.names)
            self.names.append(fr.module)
            self.files.append(fr.path)
            self.package.append(fr.module if _is_package(fr.path) else fr.module.rpartition(".")[0])

    def absolute(self, importer: int, level: int, module: str) -> str | None:
        """The absolute dotted name an import statement refers to."""
        if level == 0:
            return module
        parts = self.package[importer].split(".") if self.package[importer] else []
        keep = len(parts) - (level - 1)
        if keep < 0:
            return None  # beyond the top-level package: an error at run time
        base = parts[:keep]
        if module:
            base.append(module)
        return ".".join(base) or None

    def longest(self, dotted: str) -> int | None:
        while dotted:
            found = self.index.get(dotted)
            if found is not None:
                return found
            dotted = dotted.rpartition(".")[0]
        return None


# What a name bound by an import stands for: a module (index or external
# name) or a symbol of one.
_MODULE, _SYMBOL, _EXTERNAL = 0, 1, 2


def _bindings(mods: _Modules, importer: int, imports) -> tuple[dict, list[tuple[int, int]], list]:
    """Names bound at module level, the module edges (target, line, top) and
    the imports inside functions as (line, name, binding)."""
    bound: dict[str, tuple] = {}
    nested: list[tuple[int, str, tuple]] = []
    edges: list[tuple[int, int, bool]] = []
    for level, module, name, asname, top_level, line in imports:
        full = mods.absolute(importer, level, module)
        if full is None:
            continue
        pairs: list[tuple[str, tuple]] = []
        if not name:
            target = mods.longest(full)
            if asname:
                pairs.append((asname, (_MODULE, mods.index[full]) if full in mods.index else (_EXTERNAL, full)))
            else:
                top = full.partition(".")[0]
                pairs.append((top, (_MODULE, mods.index[top]) if top in mods.index else (_EXTERNAL, top)))
        else:
            sub = f"{full}.{name}" if name != "*" else ""
            if sub and sub in mods.index:
                target = mods.index[sub]
                pairs.append((asname or name, (_MODULE, target)))
            else:
                target = mods.longest(full)
                if name == "*":
                    if full in mods.index:
                        pairs.append(("*", (_MODULE, mods.index[full])))
                elif full in mods.index:
                    pairs.append((asname or name, (_SYMBOL, mods.index[full], name)))
                else:
                    pairs.append((asname or name, (_EXTERNAL, full)))
        if target is not None and target != importer:
            edges.append((target, line, bool(top_level)))
        for key, value in pairs:
            if top_level:
                if key == "*":
                    bound.setdefault("*", []).append(value[1])
                else:
                    bound[key] = value
            elif key != "*":
                nested.append((line, key, value))
    return bound, edges, nested


def _tarjan(n: int, succ: list[list[int]]) -> list[list[int]]:
    """Strongly connected components, iteratively (no recursion on the
    Python stack, however long the import chains)."""
    index = [-1] * n
    low = [0] * n
    on_stack = [False] * n
    stack: list[int] = []
    out: list[list[int]] = []
    counter = 0
    for root in range(n):
        if index[root] >= 0:
            continue
        work = [(root, 0)]
        index[root] = low[root] = counter
        counter += 1
        stack.append(root)
        on_stack[root] = True
        while work:
            node, pos = work[-1]
            if pos < len(succ[node]):
                work[-1] = (node, pos + 1)
                nxt = succ[node][pos]
                if index[nxt] < 0:
                    index[nxt] = low[nxt] = counter
                    counter += 1
                    stack.append(nxt)
                    on_stack[nxt] = True
                    work.append((nxt, 0))
                elif on_stack[nxt]:
                    low[node] = min(low[node], index[nxt])
                continue
            work.pop()
            if work:
                parent = work[-1][0]
                low[parent] = min(low[parent], low[node])
            if low[node] == index[node]:
                comp = []
                while True:
                    x = stack.pop()
                    on_stack[x] = False
                    comp.append(x)
                    if x == node:
                        break
                out.append(comp)
    return out


def _shortest_cycle(start: int, succ: list[list[int]], members: set[int]) -> list[int]:
    """A shortest cycle from ``start`` back to it inside one component."""
    parent = {start: -1}
    queue = deque([start])
    while queue:
        node = queue.popleft()
        for nxt in succ[node]:
            if nxt == start:
                path = [node]
                while parent[path[-1]] != -1:
                    path.append(parent[path[-1]])
                path.reverse()
                return path + [start]
            if nxt in members and nxt not in parent:
                parent[nxt] = node
                queue.append(nxt)
    return [start, start]  # unreachable for a genuine component


def import_cycles(names: Sequence[str], pairs: Iterable[tuple[int, int]]) -> list[ImportCycle]:
    n = len(names)
    succ: list[list[int]] = [[] for _ in range(n)]
    for a, b in sorted(set(pairs)):
        succ[a].append(b)
    cycles = []
    for comp in _tarjan(n, succ):
        if len(comp) < 2:
            continue  # self-imports were dropped with the edges
        members = sorted(comp, key=lambda i: names[i])
        cycles.append(ImportCycle(members, _shortest_cycle(members[0], succ, set(comp))))
    cycles.sort(key=lambda c: (-len(c.members), names[c.members[0]]))
    return cycles


_TEST_DIR = re.compile(r"test|tests|test_.*|.*_tests?")
_TEST_FILE = re.compile(r"tests|conftest|test_.*|.*_tests?")


def test_code(paths: Sequence[str]) -> set[str]:
    """The paths of ``paths`` that are test code: a directory below the
    paths' common directory is named ``test``, ``tests``, ``test_*``,
    ``*_test`` or ``*_tests``, or the file (without its suffix) ``tests``,
    ``conftest``, ``test_*``, ``*_test`` or ``*_tests``.  Directories above
    the common one are the user's business: a scan of ``tests/`` alone keeps
    its helpers."""
    split = [p.replace("\\", "/").split("/") for p in paths]
    if not split:
        return set()
    common = 0
    first = split[0][:-1]
    while common < len(first) and all(len(q) > common + 1 and q[common] == first[common] for q in split):
        common += 1
    out = set()
    for path, parts in zip(paths, split):
        if _TEST_FILE.fullmatch(parts[-1].partition(".")[0]) or any(map(_TEST_DIR.fullmatch, parts[common:-1])):
            out.add(path)
    return out


def _parts(containers: Sequence, adj: dict[int, list[int]]) -> tuple[Sequence[int], list[int]]:
    """(part of each node, size of each part): the parts are the connected
    components of the edges inside one container. ``adj`` holds the nodes
    that have edges; the call graph's nodes are every function, most of
    them without one, so the parts are kept as machine integers."""
    part = array("q", [-1]) * len(containers)
    sizes: list[int] = []
    for start in range(len(containers)):
        if part[start] >= 0:
            continue
        k = len(sizes)
        part[start] = k
        stack = [start]
        size = 1
        while stack:
            x = stack.pop()
            for y in adj.get(x, ()):
                if part[y] < 0 and containers[y] == containers[x]:
                    part[y] = k
                    stack.append(y)
                    size += 1
        sizes.append(size)
    return part, sizes


def bottlenecks(
    containers: Sequence[str], pairs: Iterable[tuple[int, int]], top: int,
) -> tuple[list[Bottleneck], int, list[int]]:
    """The ``top`` narrow links of most negative curvature between the parts
    of the directed graph ``pairs`` over nodes ``0..len(containers)-1``
    (see the module docstring), the number of narrow links between parts of
    `MIN_PART` nodes or more, and one node of each shared part."""
    n = len(containers)
    arcs = sorted({(a, b) for a, b in pairs if a != b})
    oriented: dict[tuple[int, int], tuple[int, int]] = {}
    for a, b in arcs:
        oriented.setdefault((a, b) if a < b else (b, a), (a, b))
    adj: dict[int, list[int]] = {}
    for a, b in oriented:
        adj.setdefault(a, []).append(b)
        adj.setdefault(b, []).append(a)
    part, sizes = _parts(containers, adj)

    users: dict[int, set[int]] = {}
    for a, b in arcs:
        if part[a] != part[b]:
            users.setdefault(part[b], set()).add(part[a])
    mean = sum(map(len, users.values())) / len(users) if users else 0.0
    shared = {p for p, u in users.items() if len(u) > SHARED * mean}

    links: dict[tuple[int, int], list[tuple[int, int]]] = {}
    for (a, b), link in oriented.items():
        p, q = part[a], part[b]
        if p != q and p not in shared and q not in shared:
            links.setdefault((p, q) if p < q else (q, p), []).append(link)
    narrow = {k: v for k, v in links.items() if len(v) <= NARROW and min(sizes[k[0]], sizes[k[1]]) >= MIN_PART}
    first_node: dict[int, int] = {}
    if shared:
        for i in range(n):
            if part[i] in shared:
                first_node.setdefault(part[i], i)
    witness = sorted(first_node[p] for p in shared)
    if not narrow or top <= 0:
        return [], len(narrow), witness

    # Each link's curvature in the graph of its two parts and their links,
    # all links measured in one call over a disjoint union.  The curvature
    # of an edge {a, b} depends on the edges at a and at b and on those
    # between their neighbourhoods only, so that much of the graph is given.
    edges: list = []
    at: list[tuple[tuple[int, int], tuple[int, int], int, int, int]] = []
    base = 0
    for key, those in narrow.items():
        across: dict[int, set[int]] = {}
        for a, b in those:
            across.setdefault(a, set()).add(b)
            across.setdefault(b, set()).add(a)

        def near(x: int) -> set[int]:
            out = {y for y in adj.get(x, ()) if part[y] == part[x]}
            out.update(across.get(x, ()))
            return out

        for a, b in those:
            na, nb = near(a), near(b)
            local: dict[int, int] = {}
            seen: set[tuple[int, int]] = set()
            chosen: list[tuple[int, int]] = [(a, b)]
            chosen += [(a, x) for x in na if x != b] + [(b, y) for y in nb if y != a]
            for x in na:
                if x == b:
                    continue
                for y in near(x) & nb:
                    if y != a:
                        chosen.append((x, y))
            first = len(edges)
            for x, y in chosen:
                u = local.setdefault(x, base + len(local))
                w = local.setdefault(y, base + len(local))
                e = (u, w) if u < w else (w, u)
                if e not in seen:
                    seen.add(e)
                    edges.append(v.WeightedEdge(u, w))
            base += len(local)
            at.append((key, (a, b), first, len(na), len(nb)))
    measured = v.balanced_forman_curvature(edges)
    best: dict[tuple[int, int], tuple[float, tuple[int, int], int, int]] = {}
    for key, link, first, da, db in at:
        c = measured[first].curvature
        if key not in best or c < best[key][0]:
            best[key] = (c, link, da, db)
    ranked = sorted(best.items(), key=lambda kv: (kv[1][0], kv[1][1]))
    out = []
    for key, (c, (a, b), da, db) in ranked:
        if c >= 0 or len(out) >= top:
            break
        others = [link for link in narrow[key] if link != (a, b)]
        out.append(Bottleneck(a, b, c, da, db, containers[a], containers[b], sizes[part[a]], sizes[part[b]],
                              [(a, b), *others]))
    return out, len(narrow), witness


class _Functions:
    """Look-up tables over the functions: by module and qualname, and the
    ``__init__`` of a class. One table per module, keyed by the records'
    own qualname strings, rather than a (module, qualname) pair per
    function."""

    def __init__(self, mods: _Modules, functions):
        self.mods = mods
        self.names: list[dict[str, int]] = [{} for _ in mods.names]
        self.classes: list[set[str]] = [set() for _ in mods.names]
        self.module_of = array("q", [-1]) * len(functions)
        for i, f in enumerate(functions):
            # By file: a second file of the same module name is shadowed,
            # and its functions are neither callers nor callees.
            m = mods.by_path.get(f.file, -1)
            if m < 0:
                continue
            self.module_of[i] = m
            # A redefinition (a property's setter) keeps the first function.
            self.names[m].setdefault(f.qualname, i)
            if f.owner:
                self.classes[m].add(f.owner)

    def get(self, module: int, qualname: str) -> int | None:
        return self.names[module].get(qualname)

    def is_class(self, module: int, name: str) -> bool:
        return name in self.classes[module]

    def symbol(self, module: int, name: str) -> int | None:
        """A function ``name`` of the module, or the ``__init__`` of class ``name``."""
        found = self.get(module, name)
        if found is None and self.is_class(module, name):
            found = self.get(module, name + ".__init__")
        return found


def _resolve_binding(fns: _Functions, binding: tuple, name: str | None) -> tuple[int | None, bool]:
    """(function, external) for a call through an import binding: ``name``
    is the attribute called on a bound module, None for a call of the
    bound name itself."""
    kind = binding[0]
    if kind == _EXTERNAL:
        return None, True
    if kind == _SYMBOL:
        _, module, symbol = binding
        if name is None:
            return fns.symbol(module, symbol), False
        return fns.get(module, f"{symbol}.{name}"), False
    if name is None:
        return None, False  # calling a module object
    return fns.symbol(binding[1], name), False


def _enclosing(qualname: str):
    """Qualname prefixes of the enclosing function scopes, innermost first."""
    prefix = qualname
    while True:
        yield prefix + ".<locals>."
        cut = prefix.rfind(".<locals>.")
        if cut < 0:
            return
        prefix = prefix[:cut]


def analyse(files: Sequence, functions: Sequence | None = None, *, top: int = 10, tests: bool = False) -> Structure:
    """The graphs of ``files`` (records with ``path``, ``module``, ``status``,
    ``imports`` and ``functions``), without test code unless ``tests``.
    Function indices refer to ``functions``, which defaults to the files'
    functions in order; the functions of test code are in neither graph."""
    files = [fr for fr in files if getattr(fr, "status", "ok") == "ok"]
    if functions is None:
        functions = [f for fr in files for f in fr.functions]
    left_out = set() if tests else test_code([fr.path for fr in files])
    if left_out:
        files = [fr for fr in files if fr.path not in left_out]
    mods = _Modules(files)
    fns = _Functions(mods, functions)
    n = len(mods.names)

    module_bound: list[dict] = [{} for _ in range(n)]
    module_nested: list[list] = [[] for _ in range(n)]
    edge_map: dict[tuple[int, int], list] = {}
    for fr in files:
        m = mods.index[fr.module]
        if mods.files[m] != fr.path:
            continue
        bound, edges, nested = _bindings(mods, m, fr.imports)
        module_bound[m] = bound
        module_nested[m] = nested
        for target, line, top_level in edges:
            e = edge_map.get((m, target))
            if e is None:
                edge_map[(m, target)] = [1, line, top_level]
            else:
                e[0] += 1
                e[1] = min(e[1], line)
                e[2] = e[2] or top_level
    imports = [ImportEdge(a, b, c, line, t) for (a, b), (c, line, t) in sorted(edge_map.items())]
    fan_in_m = [0] * n
    fan_out_m = [0] * n
    for e in imports:
        fan_out_m[e.source] += 1
        fan_in_m[e.target] += 1

    counts = CallCounts()
    # Call sites per (caller, callee), keyed caller * len(functions) + callee:
    # one int rather than a pair per edge, and the same order when sorted.
    call_map: dict[int, int] = {}
    width = len(functions)
    for i, f in enumerate(functions):
        m = fns.module_of[i]
        if m < 0 and f.file in left_out:
            continue
        if m < 0:
            counts.sites += len(f.calls)
            counts.unresolved += len(f.calls)
            continue
        bound = module_bound[m]
        local = None
        if module_nested[m]:
            local = {key: val for line, key, val in module_nested[m] if f.line <= line <= f.end_line}
        for form, base, name in f.calls:
            counts.sites += 1
            target, external = _resolve_call(fns, m, f, form, base, name, bound, local)
            if target is not None:
                counts.resolved += 1
                if target == i:
                    counts.recursive += 1
                else:
                    key = i * width + target
                    call_map[key] = call_map.get(key, 0) + 1
            elif external:
                counts.external += 1
            elif form == "name" and name in _BUILTINS:
                counts.builtin += 1
            else:
                counts.unresolved += 1

    calls = [CallEdge(*divmod(key, width), c) for key, c in sorted(call_map.items())]
    if calls:
        directed = v.directed_forman_curvature([v.WeightedEdge(e.caller, e.callee, float(e.count)) for e in calls])
        for e, r in zip(calls, directed):
            e.directed = r.curvature
    fan_in = [0] * len(functions)
    fan_out = [0] * len(functions)
    for e in calls:
        fan_out[e.caller] += 1
        fan_in[e.callee] += 1

    pairs = [(e.source, e.target) for e in imports]
    # A top-level module is a part of its own.
    packages = [p or name for p, name in zip(mods.package, mods.names)]
    module_bottlenecks, module_links, shared = bottlenecks(packages, pairs, top)
    owners = [mods.names[m] if m >= 0 else "" for m in fns.module_of]
    call_bottlenecks, call_links, shared_calls = bottlenecks(owners, ((e.caller, e.callee) for e in calls), top)
    return Structure(
        modules=mods.names,
        module_files=mods.files,
        imports=imports,
        module_fan_in=fan_in_m,
        module_fan_out=fan_out_m,
        cycles=import_cycles(mods.names, [(e.source, e.target) for e in imports if e.top_level]),
        deferred_cycles=import_cycles(mods.names, pairs),
        module_bottlenecks=module_bottlenecks,
        calls=calls,
        fan_in=fan_in,
        fan_out=fan_out,
        call_counts=counts,
        call_bottlenecks=call_bottlenecks,
        tests_left_out=len(left_out),
        module_links=module_links,
        call_links=call_links,
        shared_packages=sorted({packages[i] for i in shared}),
        shared_call_groups=len(shared_calls),
    )


def _resolve_call(fns: _Functions, m: int, f, form: str, base: str, name: str, bound: dict, local: dict | None):
    """(function index or None, whether the call leaves the input)."""
    if form == "name":
        for prefix in _enclosing(f.qualname):
            found = fns.get(m, prefix + name)
            if found is not None:
                return found, False
        binding = (local or {}).get(name) or bound.get(name)
        if binding is None:
            found = fns.symbol(m, name)
            if found is not None or fns.is_class(m, name):
                return found, False
            for star in bound.get("*", ()):
                found = fns.symbol(star, name)
                if found is not None:
                    return found, False
            return None, False
        return _resolve_binding(fns, binding, None)
    if form == "self":
        if not f.owner:
            return None, False
        return fns.get(m, f"{f.owner}.{name}"), False
    if form == "attr":
        head, _, rest = base.partition(".")
        binding = (local or {}).get(head) or bound.get(head)
        if binding is None:
            if not rest and fns.is_class(m, head):
                return fns.get(m, f"{head}.{name}"), False
            return None, False
        if not rest:
            return _resolve_binding(fns, binding, name)
        if binding[0] == _SYMBOL:
            return None, False
        # `import a.b` binds `a`, which need not be an input module itself.
        head_name = binding[1] if binding[0] == _EXTERNAL else fns.mods.names[binding[1]]
        found = _resolve_chain(fns, f"{head_name}.{rest}", name)
        return found, found is None and binding[0] == _EXTERNAL
    return None, False


def _resolve_chain(fns: _Functions, dotted: str, name: str) -> int | None:
    """``a.b.f()`` once ``a`` is known to be an input module: ``f`` of the
    module ``a.b``, or the method ``f`` of class ``b`` of module ``a``."""
    module = fns.mods.index.get(dotted)
    if module is not None:
        return fns.symbol(module, name)
    owner, _, cls = dotted.rpartition(".")
    module = fns.mods.index.get(owner)
    if module is not None:
        return fns.get(module, f"{cls}.{name}")
    return None


# Fields of a Structure that hold records, and the records' classes.
_RECORD_LISTS = {"imports": ImportEdge, "cycles": ImportCycle, "deferred_cycles": ImportCycle,
                 "module_bottlenecks": Bottleneck, "calls": CallEdge, "call_bottlenecks": Bottleneck}
_FIELDS = {cls: tuple(f.name for f in dataclasses.fields(cls)) for cls in (*_RECORD_LISTS.values(), CallCounts)}


def to_plain(s: Structure) -> dict:
    """The structure as a dict of plain values and tuples, for the result
    cache; `from_plain` builds it again."""
    out = {}
    for f in dataclasses.fields(s):
        value = getattr(s, f.name)
        if f.name in _RECORD_LISTS:
            names = _FIELDS[_RECORD_LISTS[f.name]]
            value = tuple(tuple(getattr(r, n) for n in names) for r in value)
        elif f.name == "call_counts":
            value = tuple(getattr(value, n) for n in _FIELDS[CallCounts])
        out[f.name] = value
    return out


def from_plain(plain: dict) -> Structure:
    fields = dict(plain)
    for name, cls in _RECORD_LISTS.items():
        fields[name] = [cls(*row) for row in fields[name]]
    fields["call_counts"] = CallCounts(*fields["call_counts"])
    return Structure(**fields)
