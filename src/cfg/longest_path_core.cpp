// Longest entry-to-exit path over the forward edges (all edges but LOOPBACK
// and CONTINUE whose two ends are blocks).
//
// Nodes are the block slots, so a node number is the block's position in
// the caller's dict, the same number the cycle report names. One Kahn pass
// both checks acyclicity over every node and carries the distances: a node
// leaves the queue only after all its predecessors, so its distance is
// final when its out-edges are relaxed. The distances of a cyclic graph are
// thrown away with the check's failure, which is why the entry is only
// consulted once the sort has finished.
#include <cstdint>
#include <vector>

#include "cfg/metrics.hpp"

namespace velmora::cfg {

namespace {

bool is_forward(EdgeKind k) noexcept { return k != EdgeKind::LOOPBACK && k != EdgeKind::CONTINUE; }

// Out-edges in compressed rows: targets of node u are
// targets[offsets[u] .. offsets[u + 1]).
struct ForwardGraph {
    std::vector<std::uint32_t> offsets;
    std::vector<std::uint32_t> targets;
};

ForwardGraph forward_graph(const Graph& g) {
    const std::size_t n = g.block_count();
    const std::size_t m = g.edges.size();
    ForwardGraph fg;
    fg.offsets.assign(n + 1, 0);
    for (std::size_t i = 0; i < m; ++i) {
        if (is_forward(g.edges[i].kind) && g.is_block(g.edge_source[i]) && g.is_block(g.edge_target[i])) {
            ++fg.offsets[g.edge_source[i] + 1];
        }
    }
    for (std::size_t u = 0; u < n; ++u) fg.offsets[u + 1] += fg.offsets[u];
    fg.targets.resize(fg.offsets[n]);
    std::vector<std::uint32_t> fill(fg.offsets.begin(), fg.offsets.end() - 1);
    for (std::size_t i = 0; i < m; ++i) {
        if (is_forward(g.edges[i].kind) && g.is_block(g.edge_source[i]) && g.is_block(g.edge_target[i])) {
            fg.targets[fill[g.edge_source[i]]++] = g.edge_target[i];
        }
    }
    return fg;
}

// A node on a directed cycle, given the in-degrees Kahn's pass left over:
// every node with a non-zero remainder has a predecessor that also has one,
// so walking such predecessors from any of them must come back onto itself,
// and the first node seen twice lies on a cycle.
std::uint32_t node_on_cycle(const ForwardGraph& fg, const std::vector<std::uint32_t>& remaining) {
    const std::size_t n = remaining.size();
    std::vector<std::uint32_t> pred(n, core::kNone);
    std::uint32_t start = core::kNone;
    for (std::size_t u = 0; u < n; ++u) {
        if (remaining[u] == 0) continue;
        for (std::uint32_t j = fg.offsets[u]; j < fg.offsets[u + 1]; ++j) {
            const std::uint32_t t = fg.targets[j];
            if (remaining[t] != 0) pred[t] = static_cast<std::uint32_t>(u);
        }
    }
    for (std::size_t u = 0; u < n && start == core::kNone; ++u) {
        if (remaining[u] != 0) start = static_cast<std::uint32_t>(u);
    }
    if (start == core::kNone) throw core::Failure{core::Fault::kCycleSearch};
    std::vector<bool> seen(n, false);
    std::uint32_t u = start;
    while (!seen[u]) {
        seen[u] = true;
        u = pred[u];
        if (u == core::kNone) throw core::Failure{core::Fault::kCycleSearch};
    }
    return u;
}

}  // namespace

std::uint64_t longest_acyclic_path(const Graph& g) {
    g.require_numbering();
    const std::size_t n = g.block_count();
    if (n == 0) return 0;
    const ForwardGraph fg = forward_graph(g);

    std::vector<std::uint32_t> indegree(n, 0);
    for (std::uint32_t t : fg.targets) ++indegree[t];

    // Distances stored + 1, 0 meaning "no entry"; the entry may not be a
    // block, and then no node ever gets one.
    std::vector<std::uint64_t> dist(n, 0);
    if (g.is_block(g.entry_slot)) dist[g.entry_slot] = 1;

    std::vector<std::uint32_t> queue;
    queue.reserve(n);
    for (std::size_t u = 0; u < n; ++u) {
        if (indegree[u] == 0) queue.push_back(static_cast<std::uint32_t>(u));
    }
    for (std::size_t head = 0; head < queue.size(); ++head) {
        const std::uint32_t u = queue[head];
        const std::uint64_t du = dist[u];
        for (std::uint32_t j = fg.offsets[u]; j < fg.offsets[u + 1]; ++j) {
            const std::uint32_t t = fg.targets[j];
            if (du != 0 && dist[t] < du + 1) dist[t] = du + 1;
            if (--indegree[t] == 0) queue.push_back(t);
        }
    }
    if (queue.size() != n) {
        throw core::Failure{core::Fault::kCycle, node_on_cycle(fg, indegree)};
    }
    if (!g.is_block(g.exit_slot) || dist[g.exit_slot] == 0) return 0;
    return dist[g.exit_slot] - 1;
}

}  // namespace velmora::cfg
