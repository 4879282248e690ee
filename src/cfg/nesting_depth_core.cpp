// Maximum nesting depth by relaxation passes over the edge list.
//
// The passes are the definition of the result, listing order and early
// stop included, so they are run literally; what is changed is only the
// representation. The depth map becomes a flat array indexed by slot that
// stores depth + 1, with 0 meaning "no entry": then "skip an edge whose
// source has no entry" and "enter a new target with depth 0" both fall out
// of one max(), and the pass body has no data-dependent branch.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "cfg/metrics.hpp"

namespace velmora::cfg {

namespace {

struct Step {
    std::uint32_t source;
    std::uint32_t target;
    std::uint32_t branch;  // 1 for TRUE and SWITCHCASE edges, else 0
};

// Edges per stop-hook tick: a pass over a huge edge list still answers
// Ctrl-C within a few milliseconds.
constexpr std::size_t kChunk = 1u << 16;

// Relaxes `count` edges in order. Returns whether any depth was raised.
bool relax(const Step* steps, std::size_t count, std::uint64_t* depth) noexcept {
    std::uint64_t raised = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const Step st = steps[i];
        const std::uint64_t ds = depth[st.source];
        // A source without entry gives candidate 0, which changes nothing.
        const std::uint64_t cand = ds + (st.branch & static_cast<std::uint64_t>(ds != 0));
        const std::uint64_t dt = depth[st.target];
        // A new target enters as depth 0 (stored 1) without counting as a
        // change; only candidates above both the old depth and that 0 do.
        raised |= static_cast<std::uint64_t>(cand > dt) & static_cast<std::uint64_t>(cand > 1);
        // Stored at once: later edges of the same pass see the new depth.
        depth[st.target] = std::max(dt, cand);
    }
    return raised != 0;
}

}  // namespace

std::uint64_t max_nesting_depth(const Graph& g, core::Cancel& cancel) {
    g.require_numbering();
    const std::uint64_t limit = 2 * static_cast<std::uint64_t>(g.block_count());
    const std::size_t m = g.edges.size();
    // The map holds only the entry, at depth 0.
    if (limit == 0 || m == 0) return 0;

    std::vector<Step> steps(m);
    for (std::size_t i = 0; i < m; ++i) {
        const EdgeKind k = g.edges[i].kind;
        steps[i] = Step{g.edge_source[i], g.edge_target[i],
                        static_cast<std::uint32_t>(k == EdgeKind::TRUE_ || k == EdgeKind::SWITCHCASE)};
    }
    std::vector<std::uint64_t> depth(static_cast<std::size_t>(g.slot_count), 0);
    depth[g.entry_slot] = 1;

    for (std::uint64_t passes = 0; passes < limit;) {
        bool raised = false;
        for (std::size_t begin = 0; begin < m; begin += kChunk) {
            const std::size_t count = std::min(kChunk, m - begin);
            raised |= relax(steps.data() + begin, count, depth.data());
            cancel.tick(count);
        }
        if (!raised) break;
        ++passes;
    }
    // Every slot without entry holds 0 and the entry holds at least 1.
    return *std::max_element(depth.begin(), depth.end()) - 1;
}

}  // namespace velmora::cfg
