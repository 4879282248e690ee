// Differential fuzzing of both curvatures against a direct model over
// std::set neighbourhoods and plain incoming/outgoing lists, evaluated
// with the same grouping of operations, so results must agree bit for bit
// (NaN with NaN). Inputs cover self-loops, parallel and reciprocal edges,
// ids near 2^64, and zero, negative, NaN and infinite weights.
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "frc/curvature.hpp"
#include "fuzz_input.hpp"

using namespace velmora;

namespace {

double pick_weight(std::uint8_t b) {
    constexpr double kSpecial[] = {1.0, 0.5, 2.0, 0.0, -0.0, -1.5, std::numeric_limits<double>::quiet_NaN(),
                                   std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                                   1e-300, 1e300, 3.25};
    if (b < 12 * 8) return kSpecial[b % 12];
    return static_cast<double>(b) / 16.0;
}

// Bit-identical, with any NaN matching any NaN (and -0.0 told from 0.0).
bool same(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

struct Model {
    std::map<std::uint64_t, std::size_t> index;
    std::vector<std::set<std::size_t>> neighbors;
    std::vector<std::vector<double>> incoming;
    std::vector<std::vector<double>> outgoing;

    explicit Model(const std::vector<frc::WeightedEdge>& edges) {
        for (const auto& e : edges) {
            for (std::uint64_t id : {e.source, e.target}) index.emplace(id, index.size());
        }
        neighbors.resize(index.size());
        incoming.resize(index.size());
        outgoing.resize(index.size());
        for (const auto& e : edges) {
            const std::size_t i = index.at(e.source);
            const std::size_t j = index.at(e.target);
            if (i == j) continue;
            neighbors[i].insert(j);
            neighbors[j].insert(i);
            outgoing[i].push_back(e.weight);
            incoming[j].push_back(e.weight);
        }
    }

    std::size_t common(std::size_t x, std::size_t y) const {
        std::size_t n = 0;
        for (std::size_t k : neighbors[x]) n += neighbors[y].count(k);
        return n;
    }

    std::vector<frc::EdgeCurvature> balanced(const std::vector<frc::WeightedEdge>& edges) const {
        std::vector<frc::EdgeCurvature> out;
        std::set<std::pair<std::size_t, std::size_t>> seen;
        for (const auto& e : edges) {
            const std::size_t i = index.at(e.source);
            const std::size_t j = index.at(e.target);
            if (i == j || !seen.emplace(std::min(i, j), std::max(i, j)).second) continue;
            const std::size_t di = neighbors[i].size();
            const std::size_t dj = neighbors[j].size();
            const std::size_t dmin = std::min(di, dj);
            const std::size_t dmax = std::max(di, dj);
            double c = 0.0;
            if (dmin >= 2) {
                const auto t = static_cast<double>(common(i, j));
                std::int64_t sharp = 0;
                std::int64_t lambda = 0;
                auto count = [&](std::int64_t value) {
                    if (value > 0) {
                        ++sharp;
                        lambda = std::max(lambda, value);
                    }
                };
                for (std::size_t k : neighbors[j])
                    count(static_cast<std::int64_t>(common(i, k)) - static_cast<std::int64_t>(neighbors[i].count(k)));
                for (std::size_t k : neighbors[i])
                    count(static_cast<std::int64_t>(common(k, j)) - static_cast<std::int64_t>(neighbors[j].count(k)));
                const double a = 2.0 / static_cast<double>(dmax);
                const double b = ((a + 2.0 / static_cast<double>(dmin)) + (-2.0)) + ((a + 1.0 / static_cast<double>(dmin)) * t);
                c = b + (static_cast<double>(sharp) / (static_cast<double>(dmax) * static_cast<double>(lambda)));
            }
            out.push_back({e.source, e.target, c});
        }
        return out;
    }

    std::vector<frc::EdgeCurvature> directed(const std::vector<frc::WeightedEdge>& edges,
                                             const frc::NodeWeights& weights) const {
        std::map<std::uint64_t, double> w;
        for (const auto& [id, x] : weights) w[id] = x;
        auto weight_of = [&](std::uint64_t id) { return w.count(id) != 0 ? w.at(id) : 1.0; };
        std::vector<frc::EdgeCurvature> out;
        for (const auto& e : edges) {
            if (e.source == e.target) continue;
            double c = 0.0;
            if (!(e.weight <= 0.0)) {
                const double wu = weight_of(e.source);
                const double wv = weight_of(e.target);
                double in = -0.0;
                for (double x : incoming[index.at(e.source)])
                    if (x > 0.0) in += std::sqrt(wu / x);
                double outsum = -0.0;
                for (double x : outgoing[index.at(e.target)])
                    if (x > 0.0) outsum += std::sqrt(wv / x);
                c = e.weight * ((((wu / e.weight) + (wv / e.weight)) - in) - outsum);
            }
            out.push_back({e.source, e.target, c});
        }
        return out;
    }
};

void compare(const std::vector<frc::EdgeCurvature>& got, const std::vector<frc::EdgeCurvature>& want,
             const char* what) {
    fuzz::expect(got.size() == want.size(), what);
    for (std::size_t k = 0; k < got.size(); ++k) {
        fuzz::expect(got[k].source == want[k].source && got[k].target == want[k].target, what);
        fuzz::expect(same(got[k].curvature, want[k].curvature), what);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::uint8_t flags = in.byte();
    const unsigned nodes = 2u + in.byte() % 30;
    // Ids are either small or spread up to the top of the 64-bit range.
    auto id = [&](std::uint8_t b) -> std::uint64_t {
        const std::uint64_t small = b % nodes;
        return (flags & 1) != 0 ? ~std::uint64_t{0} - small * 0x9E3779B97F4A7C15ull : small;
    };
    frc::NodeWeights weights;
    for (unsigned k = in.byte() % 8; k > 0; --k) {
        const std::uint64_t node = id(in.byte());
        weights.emplace_back(node, pick_weight(in.byte()));
    }
    std::vector<frc::WeightedEdge> edges;
    while (!in.empty()) {
        const std::uint64_t s = id(in.byte());
        const std::uint64_t t = id(in.byte());
        edges.push_back({s, t, pick_weight(in.byte())});
    }
    core::Cancel never;
    const Model model(edges);
    compare(frc::balanced_forman_curvature(edges, never), model.balanced(edges), "balanced");
    compare(frc::directed_forman_curvature(edges, weights, never), model.directed(edges, weights), "directed");
    return 0;
}
