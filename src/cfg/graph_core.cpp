#include "cfg/graph.hpp"

#include <utility>

namespace velmora::cfg {

void Graph::require_numbering() const {
    if (oversized) throw core::Failure{core::Fault::kGraphNumbering};
}

void GraphBuilder::add_block(std::uint64_t key, BlockPtr block) {
    bool inserted = false;
    std::uint32_t slot = index_.intern(key, inserted);
    if (inserted) {
        g_.block_ids.push_back(key);
        g_.blocks.push_back(std::move(block));
    } else {
        g_.blocks[slot] = std::move(block);
    }
}

Graph GraphBuilder::finish(std::vector<Edge> edges, std::uint64_t entry_id, std::uint64_t exit_id) {
    g_.edges = std::move(edges);
    g_.entry_id = entry_id;
    g_.exit_id = exit_id;
    const std::size_t m = g_.edges.size();
    // Edge positions are 32-bit in every metric as well.
    g_.oversized = m >= core::kNone;
    g_.edge_source.resize(m);
    g_.edge_target.resize(m);
    try {
        g_.entry_slot = index_.intern(entry_id);
        for (std::size_t i = 0; i < m; ++i) {
            g_.edge_source[i] = index_.intern(g_.edges[i].source);
            g_.edge_target[i] = index_.intern(g_.edges[i].target);
        }
        g_.exit_slot = index_.intern(exit_id);
    } catch (const core::Failure&) {
        // More distinct ids than 32 bits number: construction itself never
        // fails, so the metrics report it when they are asked.
        g_.oversized = true;
    }
    g_.slot_count = index_.size();
    return std::move(g_);
}

}  // namespace velmora::cfg
