// What the Python tests cannot reach: graphs past the 32-bit numbering stop
// with Panic instead of indexing out of range, and the nesting passes stop
// as soon as the stop hook asks, leaving the graph usable.
#include "check.hpp"
#include <cstdint>
#include <cstdio>
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
bool panics(F&& f) {
    try {
        f();
    } catch (const core::Panic&) {
        return true;
    }
    return false;
}

struct Budget {
    int polls_left;
};

bool stop_after(void* ctx) { return --static_cast<Budget*>(ctx)->polls_left < 0; }

}  // namespace

int main() {
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
    check(panics([&] { cfg::connected_components(g); }), "components refuse an oversized graph");
    check(panics([&] { cfg::cyclomatic_complexity(g); }), "cyclomatic refuses an oversized graph");
    check(panics([&] { cfg::max_nesting_depth(g, never); }), "nesting refuses an oversized graph");
    check(panics([&] { cfg::longest_acyclic_path(g); }), "longest path refuses an oversized graph");
    check(cfg::essential_complexity(g) == 1, "essential complexity needs no numbering");

    return failures == 0 ? 0 : 1;
}
