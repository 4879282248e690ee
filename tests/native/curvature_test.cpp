// What the Python tests reach only by luck: the searched intersection
// against long lists, the sorted adjacency against a set model, and long
// curvature calls stopping when the stop hook asks.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <random>
#include <set>
#include <vector>

#include "frc/curvature.hpp"

using namespace velmora;

namespace {

int failures = 0;

void check(bool ok, const char* what) {
    if (!ok) {
        ++failures;
        std::fprintf(stderr, "FAIL: %s\n", what);
    }
}

std::vector<std::uint32_t> random_sorted(std::mt19937& rng, std::size_t size, std::uint32_t range) {
    std::set<std::uint32_t> s;
    std::uniform_int_distribution<std::uint32_t> pick(0, range);
    while (s.size() < size) s.insert(pick(rng));
    return {s.begin(), s.end()};
}

void galloping_matches_set_intersection() {
    std::mt19937 rng(7);
    std::uniform_int_distribution<std::size_t> small_size(0, 20);
    std::uniform_int_distribution<std::size_t> large_size(0, 3000);
    bool ok = true;
    for (int round = 0; round < 2000 && ok; ++round) {
        const std::uint32_t range = round % 2 ? 4000u : 100000u;
        auto a = random_sorted(rng, small_size(rng), range);
        auto b = random_sorted(rng, std::min<std::size_t>(large_size(rng), range), range);
        // Ends of the long list are where a search is most easily off by one.
        if (!b.empty() && round % 3 == 0) a.push_back(b.back()), std::sort(a.begin(), a.end());
        a.erase(std::unique(a.begin(), a.end()), a.end());
        std::vector<std::uint32_t> both;
        std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(both));
        const auto got = frc::count_common_galloping(a.data(), a.data() + a.size(), b.data(), b.data() + b.size());
        ok = got == both.size();
    }
    check(ok, "galloping count equals std::set_intersection");
}

void neighbor_index_matches_sets() {
    std::mt19937 rng(11);
    std::vector<frc::WeightedEdge> edges;
    edges.reserve(5000);
    std::uniform_int_distribution<std::uint64_t> id(0, 300);
    for (int e = 0; e < 5000; ++e) edges.push_back({id(rng) * 1000003u, id(rng) * 1000003u, 1.0});
    core::Cancel none;
    const auto interned = frc::intern_edges(edges, none);
    const auto g = frc::build_neighbor_index(interned, none);
    std::vector<std::set<std::uint32_t>> model(interned.node_count());
    for (std::size_t e = 0; e < edges.size(); ++e) {
        const auto i = interned.source[e];
        const auto j = interned.target[e];
        if (i != j) model[i].insert(j), model[j].insert(i);
    }
    bool ok = g.offset.size() == model.size() + 1;
    for (std::uint32_t x = 0; ok && x < model.size(); ++x) {
        ok = std::equal(g.begin(x), g.end(x), model[x].begin(), model[x].end());
    }
    check(ok, "neighbour lists are the sorted sets of distinct neighbours");
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
    galloping_matches_set_intersection();
    neighbor_index_matches_sets();
    long_calls_stop_when_asked();
    if (failures == 0) std::puts("curvature_test: ok");
    return failures == 0 ? 0 : 1;
}
