// The bit-vector edit walk against the literal full-table walk, on many
// random pairs over tiny alphabets (where ties are everywhere), with small
// checkpoint spacings so that every segment boundary case is crossed, and
// with and without trimming.
#include "check.hpp"
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "profunctors/sequence_distance.hpp"

using velmora::core::Cancel;
using velmora::core::Interrupted;
using velmora::profunctors::DistanceTuning;
using velmora::profunctors::EditCounts;
using velmora::profunctors::sequence_distance;

namespace {

EditCounts naive(const std::vector<std::uint32_t>& s, const std::vector<std::uint32_t>& t) {
    const std::size_t m = s.size(), n = t.size();
    std::vector<std::uint64_t> d((m + 1) * (n + 1));
    auto at = [&](std::size_t i, std::size_t j) -> std::uint64_t& { return d[i * (n + 1) + j]; };
    for (std::size_t i = 0; i <= m; ++i) at(i, 0) = i;
    for (std::size_t j = 0; j <= n; ++j) at(0, j) = j;
    for (std::size_t i = 1; i <= m; ++i) {
        for (std::size_t j = 1; j <= n; ++j) {
            if (s[i - 1] == t[j - 1]) {
                at(i, j) = at(i - 1, j - 1);
            } else {
                at(i, j) = 1 + std::min({at(i - 1, j), at(i, j - 1), at(i - 1, j - 1)});
            }
        }
    }
    EditCounts c;
    c.distance = at(m, n);
    std::size_t i = m, j = n;
    while (i > 0 || j > 0) {
        if (i > 0 && j > 0 && s[i - 1] == t[j - 1]) {
            --i, --j;
        } else if (i > 0 && j > 0 && at(i, j) == at(i - 1, j - 1) + 1) {
            ++c.substitutions, --i, --j;
        } else if (j > 0 && at(i, j) == at(i, j - 1) + 1) {
            ++c.insertions, --j;
        } else {
            ++c.deletions, --i;
        }
    }
    return c;
}

bool same(const EditCounts& a, const EditCounts& b) {
    return a.distance == b.distance && a.insertions == b.insertions && a.deletions == b.deletions &&
           a.substitutions == b.substitutions;
}

std::vector<std::uint32_t> random_seq(std::mt19937_64& rng, std::size_t len, std::uint32_t alphabet) {
    std::vector<std::uint32_t> v(len);
    for (auto& x : v) x = static_cast<std::uint32_t>(rng() % alphabet);
    return v;
}

// A mutated copy, so that pairs are similar and walks run long diagonals.
std::vector<std::uint32_t> mutate(std::mt19937_64& rng, std::vector<std::uint32_t> v, std::uint32_t alphabet) {
    const std::size_t edits = rng() % (v.size() / 4 + 2);
    for (std::size_t e = 0; e < edits; ++e) {
        const std::size_t op = rng() % 3;
        const std::size_t at = v.empty() ? 0 : rng() % v.size();
        const auto x = static_cast<std::uint32_t>(rng() % alphabet);
        if (op == 0 || v.empty()) {
            v.insert(v.begin() + static_cast<std::ptrdiff_t>(at), x);
        } else if (op == 1) {
            v.erase(v.begin() + static_cast<std::ptrdiff_t>(at));
        } else {
            v[at] = x;
        }
    }
    return v;
}

void compare(const std::vector<std::uint32_t>& s, const std::vector<std::uint32_t>& t, std::size_t spacing,
             bool trim) {
    Cancel cancel;
    DistanceTuning tuning;
    tuning.checkpoint_spacing = spacing;
    tuning.trim = trim;
    const EditCounts got = sequence_distance(s, t, cancel, tuning);
    const EditCounts want = naive(s, t);
    if (!same(got, want)) {
        ++failures;
        std::fprintf(stderr, "FAIL m=%zu n=%zu spacing=%zu trim=%d: distance %llu, want %llu\n", s.size(), t.size(),
                     spacing, trim ? 1 : 0, static_cast<unsigned long long>(got.distance),
                     static_cast<unsigned long long>(want.distance));
    }
}

void random_pairs() {
    std::mt19937_64 rng(12345);
    const std::size_t spacings[] = {0, 1, 2, 3, 5, 8, 64, 1000};
    for (int round = 0; round < 6000 && failures < 10; ++round) {
        const auto alphabet = static_cast<std::uint32_t>(1 + rng() % 4);
        // Mostly short, sometimes across one or two 64-row block edges.
        const std::size_t cap = round % 10 == 0 ? 300 : 80;
        auto s = random_seq(rng, rng() % (cap + 1), alphabet);
        auto t = round % 2 == 0 ? mutate(rng, s, alphabet) : random_seq(rng, rng() % (cap + 1), alphabet);
        compare(s, t, spacings[rng() % 8], rng() % 2 == 0);
    }
    // Lengths exactly at and around the block edges, with every spacing.
    for (std::size_t m : {63u, 64u, 65u, 127u, 128u, 129u, 192u}) {
        for (std::size_t spacing : spacings) {
            auto s = random_seq(rng, m, 2);
            compare(s, mutate(rng, s, 2), spacing, false);
            compare(s, random_seq(rng, 64 + rng() % 80, 3), spacing, true);
        }
    }
    // Large, sparse symbols: the scattered match words and the renumbering.
    for (int round = 0; round < 40; ++round) {
        auto s = random_seq(rng, 200 + rng() % 600, 400);
        auto t = mutate(rng, s, 400);
        if (round % 2 == 0) {
            for (auto& x : s) x = x * 9973u + 4000000000u % 7u * 100000000u;
            for (auto& x : t) x = x * 9973u + 4000000000u % 7u * 100000000u;
        }
        compare(s, t, rng() % 3 == 0 ? 0 : 1 + rng() % 40, round % 3 != 0);
    }
}

bool always_stop(void*) { return true; }

void cancellation() {
    std::vector<std::uint32_t> s(5000, 1), t(5000, 2);
    Cancel cancel(&always_stop, nullptr, 1000);
    bool stopped = false;
    try {
        sequence_distance(s, t, cancel);
    } catch (const Interrupted&) {
        stopped = true;
    }
    check(stopped, "a long call stops when the hook asks");
}

}  // namespace

int main() {
    random_pairs();
    cancellation();
    if (failures != 0) std::fprintf(stderr, "%d failure(s)\n", failures);
    return failures == 0 ? 0 : 1;
}
