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

// A node of the spanning forest: its depth (0 at a root), its parent node
// and the edge number of the forest edge that reached it (both kNone at a
// root). The three sit side by side because every climb step reads them
// together.
struct ForestNode {
    std::uint32_t depth = core::kNone;
    std::uint32_t parent = core::kNone;
    std::uint32_t parent_edge = core::kNone;
};

// The basis of one call. It keeps the forest and the non-tree edges, not
// the walks: a walk is two tree paths, which build_cycle retraces from the
// forest whenever a cycle is read. The basis thus takes memory linear in
// the graph however long its cycles are (a ring of a million blocks with a
// hundred thousand chords across it would otherwise hold 10^11 steps), and
// each read costs the length of the walk it returns.
//
// The basis is immutable once built and shared (through core::Rc) by the
// result object and every generator object read from it; it owns copies of
// what it needs and keeps nothing of the graph.
struct CycleBasis : core::RcBase {
    struct Cycle {
        std::uint32_t edge;    // the back edge's number
        std::uint32_t first;   // node of its source
        std::uint32_t second;  // node of its target
    };

    std::vector<std::uint64_t> block_ids;  // node -> block id
    std::vector<cfg::Edge> edges;          // admitted edges, by edge number (graph list order)
    std::vector<ForestNode> forest;        // by node
    std::vector<Cycle> cycles;             // in the order of their back edges

    std::size_t cycle_count() const noexcept { return cycles.size(); }
    const cfg::Edge& back_edge(std::size_t c) const noexcept { return edges[cycles[c].edge]; }
};
using CycleBasisPtr = core::Rc<const CycleBasis>;

// Builds the basis of `g`: the forest is grown from the entry (when it is a
// block) and then from every block not yet reached, in the graph's block
// order. Time is linear in blocks plus edges. Throws core::Failure when the
// graph exceeds the 32-bit numbering; `cancel` is ticked per block reached.
CycleBasisPtr compute_cycle_basis(const cfg::Graph& g, core::Cancel& cancel);

// The walk of cycle c: `nodes` gets the nodes from the back edge's source
// up to the common ancestor, down to its target and back to the source
// (first == last), and `edges` the edge number joining each consecutive
// pair, the back edge last. Both are cleared first.
void build_cycle(const CycleBasis& basis, std::size_t c, std::vector<std::uint32_t>& nodes,
                 std::vector<std::uint32_t>& edges);

// The two sides of the walk of cycle c: steps from the back edge's source
// up to the common ancestor, and from its target up to it. The walk has
// up_s + up_t + 1 edges and one node more.
struct WalkShape {
    std::size_t up_s = 0;
    std::size_t up_t = 0;
    std::size_t node_count() const noexcept { return up_s + up_t + 2; }
};
WalkShape walk_shape(const CycleBasis& basis, std::size_t c);

// Calls put(position, node) for every node of the walk of cycle c, whose
// shape is `shape`, in no particular order of positions; stops at the first
// put that returns false and returns false then. For readers that fill a
// container of known size directly.
template <class Put>
bool put_walk_nodes(const CycleBasis& b, std::size_t c, const WalkShape& shape, Put&& put) {
    const CycleBasis::Cycle& cycle = b.cycles[c];
    std::uint32_t a = cycle.first;
    if (!put(std::size_t{0}, a)) return false;
    for (std::size_t i = 1; i <= shape.up_s; ++i) {
        a = b.forest[a].parent;
        if (!put(i, a)) return false;
    }
    std::uint32_t t = cycle.second;
    for (std::size_t i = shape.up_s + shape.up_t; i > shape.up_s; --i) {
        if (!put(i, t)) return false;
        t = b.forest[t].parent;
    }
    return put(shape.up_s + shape.up_t + 1, cycle.first);
}

}  // namespace velmora::ph
