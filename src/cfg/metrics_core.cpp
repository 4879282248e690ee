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

// Disjoint sets over block slots, union by size with path halving. Counts
// successful unions, so the component count needs no final scan of roots.
class DisjointSets {
public:
    explicit DisjointSets(std::size_t n) : parent_(n), size_(n, 1) {
        for (std::size_t i = 0; i < n; ++i) parent_[i] = static_cast<std::uint32_t>(i);
    }

    std::uint32_t find(std::uint32_t x) noexcept {
        while (parent_[x] != x) {
            parent_[x] = parent_[parent_[x]];
            x = parent_[x];
        }
        return x;
    }

    void unite(std::uint32_t a, std::uint32_t b) noexcept {
        a = find(a);
        b = find(b);
        if (a == b) return;
        if (size_[a] < size_[b]) std::swap(a, b);
        parent_[b] = a;
        size_[a] += size_[b];
        ++unions_;
    }

    std::size_t unions() const noexcept { return unions_; }

private:
    std::vector<std::uint32_t> parent_;
    std::vector<std::uint32_t> size_;
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
