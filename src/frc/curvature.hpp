// Forman-type edge curvature of graphs given as edge lists with arbitrary
// 64-bit node ids: the balanced form on the undirected simple graph and the
// directed, weighted form. Caller ids are interned once into dense
// positions; everything after that works on flat arrays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/errors.hpp"
#include "core/id_index.hpp"

namespace velmora::frc {

// One input edge, copied out of a WeightedEdge.
struct WeightedEdge {
    std::uint64_t source = 0;
    std::uint64_t target = 0;
    double weight = 1.0;
};

// One result: the caller's ids of the measured edge and its curvature.
struct EdgeCurvature {
    std::uint64_t source = 0;
    std::uint64_t target = 0;
    double curvature = 0.0;
};

// The caller's node weights as (id, weight) pairs; a later pair for the
// same id replaces an earlier one.
using NodeWeights = std::vector<std::pair<std::uint64_t, double>>;

// Dense positions of an edge list: ids numbered in first-appearance order,
// scanning edges in input order and the source before the target.
struct InternedEdges {
    core::IdIndex node_index;
    std::vector<std::uint32_t> source;  // per input edge
    std::vector<std::uint32_t> target;  // per input edge
    std::size_t node_count() const noexcept { return node_index.size(); }
};

InternedEdges intern_edges(const std::vector<WeightedEdge>& edges, core::Cancel& cancel);

// Undirected simple adjacency in CSR form: the neighbours of node x are
// adj[offset[x] .. offset[x + 1]), sorted ascending, without duplicates and
// without x itself.
struct NeighborIndex {
    std::vector<std::size_t> offset;  // node_count + 1 entries
    std::vector<std::uint32_t> adj;

    std::size_t degree(std::uint32_t x) const noexcept { return offset[x + 1] - offset[x]; }
    const std::uint32_t* begin(std::uint32_t x) const noexcept { return adj.data() + offset[x]; }
    const std::uint32_t* end(std::uint32_t x) const noexcept { return adj.data() + offset[x + 1]; }
};

NeighborIndex build_neighbor_index(const InternedEdges& interned, core::Cancel& cancel);

// One result per unordered pair of distinct nodes, reported with the ids of
// the first input edge joining them, in input order.
std::vector<EdgeCurvature> balanced_forman_curvature(const std::vector<WeightedEdge>& edges, core::Cancel& cancel);

// One result per input edge that is not a self-loop, in input order.
std::vector<EdgeCurvature> directed_forman_curvature(const std::vector<WeightedEdge>& edges,
                                                     const NodeWeights& node_weights, core::Cancel& cancel);

}  // namespace velmora::frc
