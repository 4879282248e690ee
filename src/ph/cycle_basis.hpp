// The fundamental cycle basis of a control-flow graph: a breadth-first
// spanning forest of the blocks, seen as an undirected multigraph, and one
// cycle for every edge the forest does not use.
#pragma once

#include <cstdint>
#include <vector>

#include "cfg/graph.hpp"
#include "core/errors.hpp"
#include "core/rc.hpp"

namespace velmora::ph {

// Every cycle of one call, stored flat. A cycle is kept as the edge numbers
// of its walk only: its first block is the source of its back edge (the
// last edge of the walk), and each following block is the other end of the
// next edge. That end is never ambiguous because self-loops are not
// admitted. This keeps a basis of half a million cycles at four bytes per
// walk step instead of a vector of ids and a vector of edges per cycle.
//
// The result is immutable once built and shared (through core::Rc) by the
// result object and every generator object read from it; it owns copies of
// the edges and keeps nothing of the graph.
struct CycleBasis : core::RcBase {
    std::vector<cfg::Edge> edges;      // admitted edges, by edge number (graph list order)
    std::vector<std::uint64_t> start;  // cycle c walks walk[start[c] .. start[c + 1])
    std::vector<std::uint32_t> walk;   // edge numbers, in walk order

    CycleBasis() : start{0} {}

    std::size_t cycle_count() const noexcept { return start.size() - 1; }
    // Number of edges of cycle c; its walk has one block more.
    std::size_t length(std::size_t c) const noexcept {
        return static_cast<std::size_t>(start[c + 1] - start[c]);
    }
    const cfg::Edge& edge(std::size_t c, std::size_t i) const noexcept {
        return edges[walk[static_cast<std::size_t>(start[c]) + i]];
    }
    const cfg::Edge& back_edge(std::size_t c) const noexcept { return edge(c, length(c) - 1); }

    // Calls f(block id) for the length(c) + 1 blocks of cycle c's walk.
    template <class F>
    bool for_each_block(std::size_t c, F&& f) const {
        std::uint64_t at = back_edge(c).source;
        if (!f(at)) return false;
        for (std::size_t i = 0, n = length(c); i < n; ++i) {
            const cfg::Edge& e = edge(c, i);
            at = e.source == at ? e.target : e.source;
            if (!f(at)) return false;
        }
        return true;
    }
};
using CycleBasisPtr = core::Rc<const CycleBasis>;

// Builds the basis of `g`. Cycles follow their back edges in the graph's
// edge list; betti_1 is cycle_count(). Throws core::Panic when the graph
// exceeds the 32-bit numbering; `cancel` is ticked once per block reached
// and once per walk step built.
CycleBasisPtr compute_cycle_basis(const cfg::Graph& g, core::Cancel& cancel);

}  // namespace velmora::ph
