#include "frc/curvature.hpp"

#include <algorithm>
#include <cmath>

// Every curvature is evaluated in one fixed order of operations and callers
// compare results bit for bit; a fused multiply-add would round once where
// the formula rounds twice.
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

namespace velmora::frc {

using core::Cancel;

InternedEdges intern_edges(const std::vector<WeightedEdge>& edges, Cancel& cancel) {
    InternedEdges out;
    // Twice the edges is the most ids there can be; a smaller guess only
    // costs a rehash or two.
    out.node_index = core::IdIndex(std::min<std::size_t>(edges.size() * 2, std::size_t{1} << 24));
    out.source.resize(edges.size());
    out.target.resize(edges.size());
    for (std::size_t e = 0; e < edges.size(); ++e) {
        out.source[e] = out.node_index.intern(edges[e].source);
        out.target[e] = out.node_index.intern(edges[e].target);
        cancel.tick();
    }
    return out;
}

NeighborIndex build_neighbor_index(const InternedEdges& interned, Cancel& cancel) {
    const std::size_t n = interned.node_count();
    const std::size_t m = interned.source.size();

    // Both directions of every edge that is not a self-loop, bucketed by
    // their first endpoint in input order: lists with repeats, unsorted.
    std::vector<std::size_t> offset(n + 1, 0);
    for (std::size_t e = 0; e < m; ++e) {
        const std::uint32_t i = interned.source[e];
        const std::uint32_t j = interned.target[e];
        if (i == j) continue;
        ++offset[i + 1];
        ++offset[j + 1];
    }
    for (std::size_t x = 0; x < n; ++x) offset[x + 1] += offset[x];
    std::vector<std::uint32_t> raw(offset[n]);
    {
        std::vector<std::size_t> fill(offset.begin(), offset.end() - 1);
        for (std::size_t e = 0; e < m; ++e) {
            const std::uint32_t i = interned.source[e];
            const std::uint32_t j = interned.target[e];
            if (i == j) continue;
            raw[fill[i]++] = j;
            raw[fill[j]++] = i;
            cancel.tick();
        }
    }

    // The arc set is symmetric, so reading the buckets in node order and
    // dealing each entry back to its partner rebuilds the same buckets with
    // every list in ascending order: a counting sort, no comparisons.
    std::vector<std::uint32_t> sorted(offset[n]);
    {
        std::vector<std::size_t> fill(offset.begin(), offset.end() - 1);
        for (std::size_t v = 0; v < n; ++v) {
            for (std::size_t p = offset[v]; p < offset[v + 1]; ++p) sorted[fill[raw[p]]++] = static_cast<std::uint32_t>(v);
            cancel.tick(offset[v + 1] - offset[v] + 1);
        }
    }
    raw.clear();
    raw.shrink_to_fit();

    // Repeated, parallel and reciprocal edges leave runs of one neighbour;
    // compact them in place.
    NeighborIndex index;
    index.offset.assign(n + 1, 0);
    std::size_t write = 0;
    for (std::size_t x = 0; x < n; ++x) {
        const std::size_t begin = offset[x];
        const std::size_t end = offset[x + 1];
        for (std::size_t p = begin; p < end; ++p) {
            if (p == begin || sorted[p] != sorted[p - 1]) sorted[write++] = sorted[p];
        }
        index.offset[x + 1] = write;
    }
    sorted.resize(write);
    sorted.shrink_to_fit();
    index.adj = std::move(sorted);
    return index;
}

namespace {

// Position of `value` in the sorted range, which must hold it.
std::size_t position_of(const std::uint32_t* begin, const std::uint32_t* end, std::uint32_t value) {
    const std::uint32_t* p = std::lower_bound(begin, end, value);
    if (p == end || *p != value) throw core::Panic(core::kNoEntry);
    return static_cast<std::size_t>(p - begin);
}

}  // namespace

std::size_t count_common_galloping(const std::uint32_t* small, const std::uint32_t* small_end,
                                   const std::uint32_t* large, const std::uint32_t* large_end) {
    std::size_t count = 0;
    for (; small != small_end && large != large_end; ++small) {
        const std::uint32_t x = *small;
        if (*large < x) {
            std::size_t step = 1;
            const std::uint32_t* lo = large;
            const std::uint32_t* hi = large + 1;
            while (hi < large_end && *hi < x) {
                lo = hi;
                step *= 2;
                hi = (static_cast<std::size_t>(large_end - hi) > step) ? hi + step : large_end;
            }
            large = std::lower_bound(lo, hi, x);
            if (large == large_end) break;
        }
        if (*large == x) {
            ++count;
            ++large;
        }
    }
    return count;
}

namespace {

// Stamps mark the neighbours of one endpoint for the pair being measured;
// a fresh stamp per pair spares clearing the array.
class Marks {
public:
    explicit Marks(std::size_t n) : stamp_of_(n, 0) {}

    void next() {
        if (++stamp_ == 0) {
            std::fill(stamp_of_.begin(), stamp_of_.end(), 0u);
            stamp_ = 1;
        }
    }
    void mark(std::uint32_t x) noexcept { stamp_of_[x] = stamp_; }
    bool marked(std::uint32_t x) const noexcept { return stamp_of_[x] == stamp_; }

private:
    std::vector<std::uint32_t> stamp_of_;
    std::uint32_t stamp_ = 0;
};

// The 4-cycle statistics and triangle count of one edge.
struct PairCounts {
    std::uint64_t triangles = 0;
    std::uint64_t sharp = 0;
    std::uint64_t lambda = 0;
};

class BalancedScan {
public:
    BalancedScan(const NeighborIndex& g, std::size_t n, Cancel& cancel)
        : g_(g), marks_i_(n), marks_j_(n), cancel_(cancel) {}

    PairCounts measure(std::uint32_t i, std::uint32_t j) {
        PairCounts c;
        marks_i_.next();
        marks_j_.next();
        for (const std::uint32_t* p = g_.begin(i); p != g_.end(i); ++p) marks_i_.mark(*p);
        for (const std::uint32_t* p = g_.begin(j); p != g_.end(j); ++p) marks_j_.mark(*p);

        // k = i and k = j share every neighbour of themselves and are not
        // their own neighbours, so they contribute d(i) and d(j); both are
        // at least 2 here and need no scan.
        record(c, g_.degree(i));
        record(c, g_.degree(j));
        std::uint64_t work = 0;
        for (const std::uint32_t* p = g_.begin(j); p != g_.end(j); ++p) {
            const std::uint32_t k = *p;
            if (k == i) continue;
            const bool adjacent = marks_i_.marked(k);
            if (adjacent) ++c.triangles;
            record_signed(c, common(k, i, marks_i_, work), adjacent);
        }
        for (const std::uint32_t* p = g_.begin(i); p != g_.end(i); ++p) {
            const std::uint32_t k = *p;
            if (k == j) continue;
            record_signed(c, common(k, j, marks_j_, work), marks_j_.marked(k));
        }
        cancel_.tick(work + g_.degree(i) + g_.degree(j));
        return c;
    }

private:
    static void record(PairCounts& c, std::uint64_t value) {
        ++c.sharp;
        if (value > c.lambda) c.lambda = value;
    }

    // value = |common| − adjacent; only positive values count.
    static void record_signed(PairCounts& c, std::size_t common, bool adjacent) {
        const std::size_t minus = adjacent ? 1 : 0;
        if (common > minus) record(c, common - minus);
    }

    // |N(k) ∩ N(x)|, where the neighbours of x carry `marks`: walk N(k)
    // against the marks when it is the shorter list, else search N(k).
    std::size_t common(std::uint32_t k, std::uint32_t x, const Marks& marks, std::uint64_t& work) const {
        const std::size_t dk = g_.degree(k);
        const std::size_t dx = g_.degree(x);
        if (dk <= dx) {
            work += dk;
            std::size_t count = 0;
            for (const std::uint32_t* p = g_.begin(k); p != g_.end(k); ++p) count += marks.marked(*p) ? 1u : 0u;
            return count;
        }
        work += dx;
        return count_common_galloping(g_.begin(x), g_.end(x), g_.begin(k), g_.end(k));
    }

    const NeighborIndex& g_;
    Marks marks_i_;
    Marks marks_j_;
    Cancel& cancel_;
};

double balanced_formula(std::size_t di, std::size_t dj, const PairCounts& c) {
    const double dmin = static_cast<double>(std::min(di, dj));
    const double dmax = static_cast<double>(std::max(di, dj));
    const double t = static_cast<double>(c.triangles);
    const double a = 2.0 / dmax;
    const double b = ((a + 2.0 / dmin) + (-2.0)) + ((a + 1.0 / dmin) * t);
    return b + (static_cast<double>(c.sharp) / (dmax * static_cast<double>(c.lambda)));
}

}  // namespace

std::vector<EdgeCurvature> balanced_forman_curvature(const std::vector<WeightedEdge>& edges, Cancel& cancel) {
    const InternedEdges interned = intern_edges(edges, cancel);
    const NeighborIndex g = build_neighbor_index(interned, cancel);
    const std::size_t n = interned.node_count();

    // One flag per adjacency slot of the smaller endpoint: the slot of b in
    // N(a), a < b, stands for the unordered pair {a, b}, so the first input
    // edge of each pair is found without a set of pairs.
    std::vector<std::uint8_t> seen(g.adj.size(), 0);
    std::vector<EdgeCurvature> out;
    BalancedScan scan(g, n, cancel);
    for (std::size_t e = 0; e < edges.size(); ++e) {
        const std::uint32_t i = interned.source[e];
        const std::uint32_t j = interned.target[e];
        if (i == j) continue;
        const std::uint32_t a = std::min(i, j);
        const std::uint32_t b = std::max(i, j);
        std::uint8_t& flag = seen[g.offset[a] + position_of(g.begin(a), g.end(a), b)];
        cancel.tick();
        if (flag != 0) continue;
        flag = 1;

        const std::size_t di = g.degree(i);
        const std::size_t dj = g.degree(j);
        double curvature = 0.0;
        // A leaf edge is flat by definition: the raw formula would give a
        // lone edge 4 and a pendant edge large positive values.
        if (std::min(di, dj) >= 2) curvature = balanced_formula(di, dj, scan.measure(i, j));
        out.push_back(EdgeCurvature{edges[e].source, edges[e].target, curvature});
    }
    return out;
}

std::vector<EdgeCurvature> directed_forman_curvature(const std::vector<WeightedEdge>& edges,
                                                     const NodeWeights& node_weights, Cancel& cancel) {
    const InternedEdges interned = intern_edges(edges, cancel);
    const std::size_t n = interned.node_count();

    std::vector<double> weight(n, 1.0);
    for (const auto& [id, w] : node_weights) {
        const std::uint32_t x = interned.node_index.find(id);
        if (x != core::kNone) weight[x] = w;
    }

    // S_in depends only on an edge's tail and S_out only on its head, so
    // each is summed once per node. Visiting edges in input order adds each
    // node's terms in the order of its incoming and outgoing lists, which
    // fixes the rounding. The sums start at -0.0 because that, not +0.0, is
    // the identity of addition: a lone -0.0 term (sqrt of a quotient with a
    // -0.0 node weight) stays -0.0 instead of turning into +0.0.
    std::vector<double> in_sum(n, -0.0);
    std::vector<double> out_sum(n, -0.0);
    std::size_t measured = 0;
    for (std::size_t e = 0; e < edges.size(); ++e) {
        const std::uint32_t u = interned.source[e];
        const std::uint32_t v = interned.target[e];
        if (u == v) continue;
        ++measured;
        const double w = edges[e].weight;
        // Non-positive and NaN weights carry no flow into other edges.
        if (!(w > 0.0)) continue;
        out_sum[u] += std::sqrt(weight[u] / w);
        in_sum[v] += std::sqrt(weight[v] / w);
        cancel.tick();
    }

    std::vector<EdgeCurvature> out;
    out.reserve(measured);
    for (std::size_t e = 0; e < edges.size(); ++e) {
        const std::uint32_t u = interned.source[e];
        const std::uint32_t v = interned.target[e];
        if (u == v) continue;
        const double we = edges[e].weight;
        double curvature = 0.0;
        // NaN fails this test on purpose and carries into the result.
        if (!(we <= 0.0)) {
            curvature = we * ((((weight[u] / we) + (weight[v] / we)) - in_sum[u]) - out_sum[v]);
        }
        out.push_back(EdgeCurvature{edges[e].source, edges[e].target, curvature});
    }
    return out;
}

}  // namespace velmora::frc
