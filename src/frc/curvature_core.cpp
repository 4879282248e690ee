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
    if (p == end || *p != value) throw core::Failure{core::Fault::kNoEntry};
    return static_cast<std::size_t>(p - begin);
}

// Stamps mark the neighbours of one centre; a fresh stamp per centre spares
// clearing the array.
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

// One half of the 4-cycle term of a pair: over k in N(y), the values
// |N(c) ∩ N(k)| − [k ∈ N(c)] for the centre c, the other endpoint.
struct Half {
    std::uint32_t sharp = 0;
    std::uint32_t lambda = 0;
};

// A pair that needs the full formula: its dense endpoints in the order of
// the edge that reports it, and that edge's place in the results.
struct Measured {
    std::uint32_t i;
    std::uint32_t j;
    std::size_t slot;
};

// The triangle count and both halves of every measured pair.
//
// Both halves of a pair {i, j} are read off the common-neighbour counts of
// one centre: |N(i) ∩ N(k)| for all k at once is the number of 2-paths
// from i to k, which one pass over the neighbours' lists counts. Grouping
// pairs by centre makes the whole scan cost the sum of the squared degrees,
// where intersecting per pair would pay a hub's degree for every k next to
// it, on every edge at that hub.
class CentredScan {
public:
    CentredScan(const NeighborIndex& g, std::size_t n, Cancel& cancel)
        : g_(g), paths_(n, 0), touched_(n + 1), marks_(n), cancel_(cancel) {}

    void run(const std::vector<Measured>& pairs, std::vector<Half>& halves, std::vector<std::uint32_t>& triangles) {
        const std::size_t n = paths_.size();
        // Pair halves by centre: half 2p has centre i (k runs over N(j)),
        // half 2p + 1 has centre j (k runs over N(i)).
        std::vector<std::size_t> offset(n + 1, 0);
        for (const Measured& m : pairs) {
            ++offset[m.i + 1];
            ++offset[m.j + 1];
        }
        for (std::size_t x = 0; x < n; ++x) offset[x + 1] += offset[x];
        std::vector<std::size_t> by_centre(offset[n]);
        {
            std::vector<std::size_t> fill(offset.begin(), offset.end() - 1);
            for (std::size_t p = 0; p < pairs.size(); ++p) {
                by_centre[fill[pairs[p].i]++] = 2 * p;
                by_centre[fill[pairs[p].j]++] = 2 * p + 1;
            }
        }
        halves.assign(2 * pairs.size(), Half{});
        triangles.assign(pairs.size(), 0);

        for (std::uint32_t c = 0; c < n; ++c) {
            if (offset[c] == offset[c + 1]) continue;
            count_paths_from(c);
            for (std::size_t q = offset[c]; q < offset[c + 1]; ++q) {
                const std::size_t h = by_centre[q];
                const Measured& m = pairs[h / 2];
                const std::uint32_t other = (h % 2 == 0) ? m.j : m.i;
                halves[h] = half_around(other);
                if (h % 2 == 0) triangles[h / 2] = paths_[other];
            }
            clear_paths();
        }
    }

private:
    // paths_[k] = |N(c) ∩ N(k)| for every k two steps from c, including
    // c itself (d(c) paths back), and marks on N(c).
    void count_paths_from(std::uint32_t c) {
        marks_.next();
        std::uint64_t work = 0;
        // The first visit of k is recorded without a branch: the slot is
        // written every time and kept only when the count was zero.
        std::uint32_t* touched = touched_.data();
        for (const std::uint32_t* z = g_.begin(c); z != g_.end(c); ++z) {
            marks_.mark(*z);
            for (const std::uint32_t* k = g_.begin(*z); k != g_.end(*z); ++k) {
                touched[touched_count_] = *k;
                touched_count_ += paths_[*k]++ == 0 ? 1u : 0u;
            }
            work += g_.degree(*z) + 1;
        }
        cancel_.tick(work);
    }

    void clear_paths() {
        for (std::size_t t = 0; t < touched_count_; ++t) paths_[touched_[t]] = 0;
        touched_count_ = 0;
    }

    // The candidate k = c is visited too and gives d(c), as it must: a node
    // shares all its neighbours with itself and is not its own neighbour.
    Half half_around(std::uint32_t y) {
        Half half;
        for (const std::uint32_t* k = g_.begin(y); k != g_.end(y); ++k) {
            // value = common − adjacent may be −1; only positive values
            // count, and those never lower the maximum.
            const std::int64_t value =
                static_cast<std::int64_t>(paths_[*k]) - (marks_.marked(*k) ? std::int64_t{1} : std::int64_t{0});
            half.sharp += value > 0 ? 1u : 0u;
            half.lambda = std::max(half.lambda, static_cast<std::uint32_t>(std::max<std::int64_t>(value, 0)));
        }
        cancel_.tick(g_.degree(y) + 1);
        return half;
    }

    const NeighborIndex& g_;
    std::vector<std::uint32_t> paths_;
    std::vector<std::uint32_t> touched_;  // one spare slot for the unkept write
    std::size_t touched_count_ = 0;
    Marks marks_;
    Cancel& cancel_;
};

double balanced_formula(std::size_t di, std::size_t dj, std::uint64_t triangles, std::uint64_t sharp,
                        std::uint64_t lambda) {
    const double dmin = static_cast<double>(std::min(di, dj));
    const double dmax = static_cast<double>(std::max(di, dj));
    const double t = static_cast<double>(triangles);
    const double a = 2.0 / dmax;
    const double b = ((a + 2.0 / dmin) + (-2.0)) + ((a + 1.0 / dmin) * t);
    return b + (static_cast<double>(sharp) / (dmax * static_cast<double>(lambda)));
}

}  // namespace

std::vector<EdgeCurvature> balanced_forman_curvature(const std::vector<WeightedEdge>& edges, Cancel& cancel) {
    const InternedEdges interned = intern_edges(edges, cancel);
    const NeighborIndex g = build_neighbor_index(interned, cancel);
    const std::size_t n = interned.node_count();

    // One flag per adjacency slot of the smaller endpoint: the slot of b in
    // N(a), a < b, stands for the unordered pair {a, b}, so the first input
    // edge of each pair is found without a set of pairs.
    std::vector<EdgeCurvature> out;
    std::vector<Measured> pairs;
    {
        std::vector<std::uint8_t> seen(g.adj.size(), 0);
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
            // A leaf edge is flat by definition: the raw formula would give
            // a lone edge 4 and a pendant edge large positive values.
            if (std::min(g.degree(i), g.degree(j)) >= 2) pairs.push_back(Measured{i, j, out.size()});
            out.push_back(EdgeCurvature{edges[e].source, edges[e].target, 0.0});
        }
    }

    std::vector<Half> halves;
    std::vector<std::uint32_t> triangles;
    CentredScan(g, n, cancel).run(pairs, halves, triangles);
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        const Half& around_j = halves[2 * p];
        const Half& around_i = halves[2 * p + 1];
        const std::uint64_t sharp = std::uint64_t{around_j.sharp} + around_i.sharp;
        const std::uint64_t lambda = std::max(around_j.lambda, around_i.lambda);
        out[pairs[p].slot].curvature =
            balanced_formula(g.degree(pairs[p].i), g.degree(pairs[p].j), triangles[p], sharp, lambda);
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
