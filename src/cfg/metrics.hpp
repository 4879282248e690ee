// Shape metrics of a control-flow graph. Each reads the graph only and
// keeps nothing between calls.
#pragma once

#include <cstdint>

#include "cfg/graph.hpp"
#include "core/errors.hpp"

namespace velmora::cfg {

// Weakly connected components of the blocks, over edges whose two ends are
// blocks.
std::uint64_t connected_components(const Graph& g);
// max(1, E - N + 2P).
std::uint64_t cyclomatic_complexity(const Graph& g);
// BREAK, CONTINUE and RETURN edges plus one, counted in 32 bits.
std::uint64_t essential_complexity(const Graph& g);
// Relaxation passes of branch-entering depth from the entry; `cancel` is
// ticked once per edge visit.
std::uint64_t max_nesting_depth(const Graph& g, core::Cancel& cancel);
// Edges on a longest entry-to-exit path once LOOPBACK and CONTINUE edges
// are set aside; throws core::Failure (kCycle, naming a node on it) when
// the rest has a cycle.
std::uint64_t longest_acyclic_path(const Graph& g);

}  // namespace velmora::cfg
