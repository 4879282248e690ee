// Component count, cyclomatic number and essential complexity. All three
// read the dense slots numbered at construction: blocks are slots
// 0..N-1, so "both ends are blocks" is two comparisons, not two look-ups.
#include "cfg/metrics.hpp"

#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace velmora::cfg {

namespace {

// Disjoint sets over block slots by Rem's algorithm with splicing: every
// parent has a smaller index than its child, so the root of a set is its
// smallest member, and a union walks both paths up together, re-pointing
// each node it leaves at the other path's lower parent. (Smallest, because
// blocks are mostly listed in flow order: a chain of fall-through edges then
// hangs every block straight off the chain's first one.) It needs only the
// parent array and stops as soon as the two walks meet, which on the mostly
// local edges of control-flow graphs is after a step or two. Counts
// successful unions, so the component count needs no final scan of roots.
class DisjointSets {
public:
    explicit DisjointSets(std::size_t n) : parent_(n) {
        for (std::size_t i = 0; i < n; ++i) parent_[i] = static_cast<std::uint32_t>(i);
    }

    void unite(std::uint32_t x, std::uint32_t y) noexcept {
        std::uint32_t* p = parent_.data();
        while (p[x] != p[y]) {
            if (p[x] > p[y]) {
                if (p[x] == x) {
                    p[x] = p[y];
                    ++unions_;
                    return;
                }
                const std::uint32_t up = p[x];
                p[x] = p[y];
                x = up;
            } else {
                if (p[y] == y) {
                    p[y] = p[x];
                    ++unions_;
                    return;
                }
                const std::uint32_t up = p[y];
                p[y] = p[x];
                y = up;
            }
        }
    }

    std::size_t unions() const noexcept { return unions_; }

private:
    std::vector<std::uint32_t> parent_;
    std::size_t unions_ = 0;
};

}  // namespace

std::uint64_t connected_components(const Graph& g) {
    g.require_numbering();
    const std::size_t n = g.block_count();
    if (n == 0) return 0;
    DisjointSets sets(n);
    const std::size_t m = g.edges.size();
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint32_t s = g.edge_source[i];
        const std::uint32_t t = g.edge_target[i];
        // Edges that name an id outside the blocks count in E only.
        if (g.is_block(s) && g.is_block(t)) sets.unite(s, t);
    }
    return n - sets.unions();
}

std::uint64_t cyclomatic_complexity(const Graph& g) {
    const auto p = static_cast<std::int64_t>(connected_components(g));
    const auto e = static_cast<std::int64_t>(g.edges.size());
    const auto n = static_cast<std::int64_t>(g.block_count());
    const std::int64_t m = e - n + 2 * p;
    // Only a graph with neither blocks nor edges gets below 1.
    return m > 1 ? static_cast<std::uint64_t>(m) : 1;
}

std::uint64_t essential_complexity(const Graph& g) {
    std::uint64_t count = 0;
    for (const Edge& e : g.edges) {
        count += static_cast<std::uint64_t>(e.kind == EdgeKind::BREAK || e.kind == EdgeKind::CONTINUE ||
                                            e.kind == EdgeKind::RETURN);
    }
    // The result is a signed 32-bit value; beyond its range it saturates
    // rather than wrapping to a small or negative number.
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
    return count >= kMax ? kMax : count + 1;
}

}  // namespace velmora::cfg
