// What the Python tests cannot reach: graphs past the 32-bit numbering stop
// with a Failure instead of indexing out of range, the nesting passes stop as
// soon as the stop hook asks, leaving the graph usable, and the component
// count holds on the edge orders that make union walks long, at sizes the
// Python models would take minutes over.
#include "check.hpp"
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <utility>
#include <vector>

#include "cfg/metrics.hpp"

using namespace velmora;

namespace {

// A cycle of n blocks closed by a LOOPBACK edge, every forward edge TRUE:
// each pass raises every depth by n - 1.
cfg::Graph loop_graph(std::uint32_t n) {
    cfg::GraphBuilder b(n);
    for (std::uint32_t i = 0; i < n; ++i) b.add_block(i, core::Rc<const cfg::Block>());
    std::vector<cfg::Edge> edges;
    for (std::uint32_t i = 0; i + 1 < n; ++i) edges.push_back({i, i + 1, cfg::EdgeKind::TRUE_});
    edges.push_back({n - 1, 0, cfg::EdgeKind::LOOPBACK});
    return b.finish(std::move(edges), 0, n - 1);
}

template <class F>
bool refuses_numbering(F&& f) {
    try {
        f();
    } catch (const core::Failure& e) {
        return e.fault == core::Fault::kGraphNumbering;
    }
    return false;
}

using Pairs = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

cfg::Graph plain_graph(std::uint32_t n, const Pairs& pairs) {
    cfg::GraphBuilder b(n);
    for (std::uint32_t i = 0; i < n; ++i) b.add_block(i, core::Rc<const cfg::Block>());
    std::vector<cfg::Edge> edges;
    for (auto [s, t] : pairs) edges.push_back({s, t, cfg::EdgeKind::UNCONDITIONAL});
    return b.finish(std::move(edges), 0, n - 1);
}

// Components by breadth-first search over an undirected adjacency list.
std::uint64_t bfs_components(std::uint32_t n, const Pairs& pairs) {
    std::vector<std::vector<std::uint32_t>> adj(n);
    for (auto [s, t] : pairs) {
        adj[s].push_back(t);
        adj[t].push_back(s);
    }
    std::vector<bool> seen(n, false);
    std::uint64_t count = 0;
    for (std::uint32_t r = 0; r < n; ++r) {
        if (seen[r]) continue;
        ++count;
        std::vector<std::uint32_t> queue{r};
        seen[r] = true;
        while (!queue.empty()) {
            const std::uint32_t x = queue.back();
            queue.pop_back();
            for (std::uint32_t y : adj[x]) {
                if (!seen[y]) {
                    seen[y] = true;
                    queue.push_back(y);
                }
            }
        }
    }
    return count;
}

void check_components() {
    const std::uint32_t n = 20000;
    std::mt19937 rng(7);
    std::vector<std::uint32_t> perm(n);
    for (std::uint32_t i = 0; i < n; ++i) perm[i] = i;
    std::shuffle(perm.begin(), perm.end(), rng);
    std::vector<std::pair<const char*, Pairs>> cases;
    Pairs forward, backward, star_last, star_first, shuffled_chain, sparse, halves;
    for (std::uint32_t i = 0; i + 1 < n; ++i) {
        forward.emplace_back(i, i + 1);
        backward.emplace_back(n - 1 - i, n - 2 - i);
        star_last.emplace_back(i, n - 1);
        star_first.emplace_back(n - 1 - i, 0);
        shuffled_chain.emplace_back(perm[i], perm[i + 1]);
    }
    for (std::uint32_t i = 0; i < n / 2; ++i) sparse.emplace_back(rng() % n, rng() % n);
    // Sets merged pairwise, then pairs of pairs, always through their
    // deepest-numbered members: the classic deep-tree order.
    for (std::uint32_t step = 1; step < n; step *= 2) {
        for (std::uint32_t i = 0; i + step < n; i += 2 * step) {
            halves.emplace_back(std::min(n - 1, i + 2 * step - 1), i);
        }
    }
    cases = {{"forward chain", forward},     {"backward chain", backward}, {"star on the last", star_last},
             {"star on the first", star_first}, {"shuffled chain", shuffled_chain}, {"sparse random", sparse},
             {"pairwise halves", halves}};
    for (const auto& [name, pairs] : cases) {
        const cfg::Graph g = plain_graph(n, pairs);
        const bool ok = cfg::connected_components(g) == bfs_components(n, pairs);
        if (!ok) std::printf("components differ: %s\n", name);
        check(ok, "components agree with a breadth-first count");
    }
}

struct Budget {
    int polls_left;
};

bool stop_after(void* ctx) { return --static_cast<Budget*>(ctx)->polls_left < 0; }

}  // namespace

int main() {
    check_components();

    cfg::Graph g = loop_graph(1000);
    core::Cancel never;
    check(cfg::max_nesting_depth(g, never) == std::uint64_t{999} * 2000u, "full pass limit on the loop");
    check(cfg::longest_acyclic_path(g) == 999, "loop edge set aside");

    Budget budget{3};
    core::Cancel cancel(&stop_after, &budget, 1000);
    bool interrupted = false;
    try {
        cfg::max_nesting_depth(g, cancel);
    } catch (const core::Interrupted&) {
        interrupted = true;
    }
    check(interrupted && budget.polls_left == -1, "stops at the first poll that asks");
    check(cfg::max_nesting_depth(g, never) == std::uint64_t{999} * 2000u, "same result after an interrupted call");

    g.oversized = true;
    check(refuses_numbering([&] { cfg::connected_components(g); }), "components refuse an oversized graph");
    check(refuses_numbering([&] { cfg::cyclomatic_complexity(g); }), "cyclomatic refuses an oversized graph");
    check(refuses_numbering([&] { cfg::max_nesting_depth(g, never); }), "nesting refuses an oversized graph");
    check(refuses_numbering([&] { cfg::longest_acyclic_path(g); }), "longest path refuses an oversized graph");
    check(cfg::essential_complexity(g) == 1, "essential complexity needs no numbering");

    return failures == 0 ? 0 : 1;
}
