"""Peak memory of one call, measured in a fresh process.

    python benchmarks/memprobe.py CASE SIZE CONTENDER

prepares the inputs, resets the kernel's high-water mark, makes one call and
prints the peak resident memory the call added, in MiB.  The runner starts
this once per (case, contender) so that no contender inherits another's
freed-but-resident memory.
"""

from __future__ import annotations

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import gen_cfg  # noqa: E402
import gen_graph  # noqa: E402
import gen_text  # noqa: E402
import harness  # noqa: E402
import reference  # noqa: E402


def prepare(case: str, size: int, who: str):
    if case == "distance":
        src, dst = (list(x) for x in gen_text.token_pair(size))
        if who == "velmora":
            import velmora as v

            return lambda: v.compute_sequence_distance(src, dst)
        if who == "rapidfuzz.editops":
            from rapidfuzz.distance import Levenshtein

            return lambda: Levenshtein.editops(src, dst)
        if who == "rapidfuzz.distance":
            from rapidfuzz.distance import Levenshtein

            return lambda: Levenshtein.distance(src, dst)
        if who == "editdistance":
            import editdistance

            return lambda: editdistance.eval(src, dst)
    if case == "block_entropy":
        text = gen_text.source_text(size)
        if who == "velmora":
            import velmora as v

            return lambda: v.calculate_block_entropy(text, 64)
        if who == "python":
            return lambda: reference.block_entropy(text, 64)
    if case == "proxy":
        text = gen_text.source_text(size)
        if who == "velmora":
            import velmora as v

            return lambda: v.calculate_kolmogorov_proxy(text)
        if who == "zlib":
            import zlib

            return lambda: zlib.compress(text.encode(), 9)
    if case == "cycle_basis":
        n, edges = gen_cfg.program(size)
        if who == "velmora":
            import velmora as v

            g = gen_cfg.to_velmora(v, n, edges)
            return lambda: [c.blocks for c in g.cycle_basis().cycles]
        if who == "rustworkx":
            import rustworkx as rx

            g = gen_cfg.to_rustworkx(rx, n, edges, directed=False)
            return lambda: rx.cycle_basis(g, 0)
    if case == "balanced":
        raw = gen_graph.power_law_edges(size)
        import velmora as v

        wedges = [v.WeightedEdge(s, t, w) for s, t, w in raw]
        if who == "velmora":
            return lambda: v.balanced_forman_curvature(wedges)
        if who == "velmora.directed":
            return lambda: v.directed_forman_curvature(wedges)
    raise SystemExit(f"unknown case {case!r} / contender {who!r}")


def main() -> None:
    case, size, who = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    fn = prepare(case, size, who)
    print(f"{harness.peak_delta_mib(fn):.1f}")


if __name__ == "__main__":
    main()
