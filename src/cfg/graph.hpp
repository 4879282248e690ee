// The control-flow graph model: edge kinds, blocks, edges and the immutable
// graph that every metric reads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/id_index.hpp"
#include "core/rc.hpp"
#include "uast/uast.hpp"

namespace velmora::cfg {

enum class EdgeKind : std::uint8_t {
    UNCONDITIONAL = 0,
    TRUE_ = 1,
    FALSE_ = 2,
    LOOPBACK = 3,
    BREAK = 4,
    CONTINUE = 5,
    RETURN = 6,
    EXCEPTION = 7,
    SWITCHCASE = 8,
};
inline constexpr int kEdgeKindCount = 9;

struct Edge {
    std::uint64_t source = 0;
    std::uint64_t target = 0;
    EdgeKind kind = EdgeKind::UNCONDITIONAL;
};

struct Block : core::RcBase {
    std::uint64_t id = 0;
    std::vector<uast::NodePtr> statements;
    std::string label;
};
using BlockPtr = core::Rc<const Block>;

// The graph as the caller built it, plus a dense numbering made once at
// construction (the graph never changes, so every metric can run over flat
// arrays instead of hashing ids on each call).
//
// Dense slots: the blocks take slots 0..block_count()-1 in the order of the
// caller's dict; every other id that an edge, the entry or the exit names
// takes the next slot in order of first appearance.
struct Graph {
    std::vector<std::uint64_t> block_ids;  // the keys, in the caller's order
    std::vector<BlockPtr> blocks;          // parallel to block_ids
    std::vector<Edge> edges;               // as given, duplicates included
    std::uint64_t entry_id = 0;
    std::uint64_t exit_id = 1;

    std::vector<std::uint32_t> edge_source;  // slot of edges[i].source
    std::vector<std::uint32_t> edge_target;  // slot of edges[i].target
    std::uint32_t entry_slot = 0;
    std::uint32_t exit_slot = 0;
    std::uint64_t slot_count = 0;            // blocks plus other ids
    bool oversized = false;                  // more slots than 32 bits number

    std::size_t block_count() const noexcept { return block_ids.size(); }
    bool is_block(std::uint32_t slot) const noexcept { return slot < block_ids.size(); }
    // Throws core::Failure (kGraphNumbering) when the graph exceeds the
    // 32-bit numbering.
    void require_numbering() const;
};

// Builds a Graph. A key already present keeps its place and takes the new
// value (the later dict entry replaces the earlier).
class GraphBuilder {
public:
    explicit GraphBuilder(std::size_t expected_blocks) : index_(expected_blocks) {
        g_.block_ids.reserve(expected_blocks);
        g_.blocks.reserve(expected_blocks);
    }
    void add_block(std::uint64_t key, BlockPtr block);
    // Takes the edges and ids and numbers every endpoint.
    Graph finish(std::vector<Edge> edges, std::uint64_t entry_id, std::uint64_t exit_id);

private:
    Graph g_;
    core::IdIndex index_;
};

}  // namespace velmora::cfg
