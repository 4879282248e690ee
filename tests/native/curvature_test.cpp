// What the Python tests reach only slowly: the balanced curvature on graphs
// with hubs of hundreds of neighbours against a set model, and long
// curvature calls stopping when the stop hook asks.
#include "check.hpp"
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "frc/curvature.hpp"

using namespace velmora;

namespace {

// The balanced formula over std::set neighbourhoods, pair by pair.
std::vector<frc::EdgeCurvature> balanced_model(const std::vector<frc::WeightedEdge>& edges) {
    std::map<std::uint64_t, std::set<std::uint64_t>> nbr;
    for (const auto& e : edges) {
        nbr[e.source];
        nbr[e.target];
        if (e.source != e.target) nbr[e.source].insert(e.target), nbr[e.target].insert(e.source);
    }
    auto common = [&](std::uint64_t a, std::uint64_t b) {
        std::size_t c = 0;
        for (auto x : nbr[a]) c += nbr[b].count(x);
        return c;
    };
    std::set<std::pair<std::uint64_t, std::uint64_t>> seen;
    std::vector<frc::EdgeCurvature> out;
    for (const auto& e : edges) {
        const std::uint64_t i = e.source, j = e.target;
        if (i == j || !seen.insert({std::min(i, j), std::max(i, j)}).second) continue;
        const std::size_t di = nbr[i].size(), dj = nbr[j].size();
        double c = 0.0;
        if (std::min(di, dj) >= 2) {
            std::uint64_t sharp = 0, lambda = 0;
            auto add = [&](long long v) {
                if (v > 0) ++sharp, lambda = std::max<std::uint64_t>(lambda, static_cast<std::uint64_t>(v));
            };
            for (auto k : nbr[j]) add(static_cast<long long>(common(i, k)) - static_cast<long long>(nbr[i].count(k)));
            for (auto k : nbr[i]) add(static_cast<long long>(common(k, j)) - static_cast<long long>(nbr[j].count(k)));
            const double dmin = static_cast<double>(std::min(di, dj)), dmax = static_cast<double>(std::max(di, dj));
            const double a = 2.0 / dmax;
            const double b = ((a + 2.0 / dmin) + (-2.0)) + ((a + 1.0 / dmin) * static_cast<double>(common(i, j)));
            c = b + (static_cast<double>(sharp) / (dmax * static_cast<double>(lambda)));
        }
        out.push_back({i, j, c});
    }
    return out;
}

void balanced_matches_set_model_on_hub_graphs() {
    std::mt19937 rng(7);
    bool ok = true;
    for (int round = 0; round < 20 && ok; ++round) {
        const std::uint64_t n = 40 + static_cast<std::uint64_t>(round) * 15;
        std::uniform_int_distribution<std::uint64_t> node(0, n - 1);
        std::vector<frc::WeightedEdge> edges;
        // A few hubs joined to most nodes, sparse random edges between the rest.
        for (std::uint64_t h = 0; h < 3; ++h) {
            for (std::uint64_t x = 0; x < n; ++x) {
                if (rng() % 4 != 0) edges.push_back({h * 7919u, x * 7919u, 1.0});
            }
        }
        for (std::uint64_t e = 0; e < 2 * n; ++e) edges.push_back({node(rng) * 7919u, node(rng) * 7919u, 1.0});
        std::shuffle(edges.begin(), edges.end(), rng);
        core::Cancel none;
        const auto got = frc::balanced_forman_curvature(edges, none);
        const auto want = balanced_model(edges);
        ok = got.size() == want.size();
        for (std::size_t r = 0; ok && r < got.size(); ++r) {
            ok = got[r].source == want[r].source && got[r].target == want[r].target &&
                 std::bit_cast<std::uint64_t>(got[r].curvature) == std::bit_cast<std::uint64_t>(want[r].curvature);
        }
    }
    check(ok, "balanced curvature equals the set model bit for bit on hub graphs");
}

struct CountdownHook {
    int polls_left;
    static bool fire(void* ctx) { return --static_cast<CountdownHook*>(ctx)->polls_left < 0; }
};

void long_calls_stop_when_asked() {
    // A complete graph keeps the balanced scan busy for millions of units.
    std::vector<frc::WeightedEdge> edges;
    for (std::uint64_t a = 0; a < 300; ++a) {
        for (std::uint64_t b = a + 1; b < 300; ++b) edges.push_back({a, b, 1.0});
    }
    for (int which = 0; which < 2; ++which) {
        CountdownHook hook{3};
        core::Cancel cancel(&CountdownHook::fire, &hook, 1000);
        bool stopped = false;
        try {
            if (which == 0) {
                frc::balanced_forman_curvature(edges, cancel);
            } else {
                frc::directed_forman_curvature(edges, {}, cancel);
            }
        } catch (const core::Interrupted&) {
            stopped = true;
        }
        check(stopped, which == 0 ? "balanced curvature stops on the hook" : "directed curvature stops on the hook");
    }
}

}  // namespace

int main() {
    balanced_matches_set_model_on_hub_graphs();
    long_calls_stop_when_asked();
    if (failures == 0) std::puts("curvature_test: ok");
    return failures == 0 ? 0 : 1;
}
