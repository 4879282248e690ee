// The near-duplicate search's exact decisions without an interpreter: the
// bounded distance against the textbook table on random pairs of every
// word count up to four (tiny alphabets, where ties are everywhere), cut
// off just below, at and above the true distance; and the admissible
// distance against its defining inequality.
#include "../check.hpp"

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "duplicates/near_pairs.hpp"

using velmora::duplicates::bounded_distance;
using velmora::duplicates::largest_admissible;

namespace {

std::uint64_t table(const std::string& a, const std::string& b) {
    std::vector<std::uint64_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::uint64_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::uint64_t up = row[j];
            row[j] = a[i - 1] == b[j - 1] ? diagonal : 1 + std::min({diagonal, up, row[j - 1]});
            diagonal = up;
        }
    }
    return row[b.size()];
}

}  // namespace

int main() {
    std::mt19937_64 rng(17);
    for (int round = 0; round < 3000; ++round) {
        const std::size_t alphabet = 1 + rng() % 6;
        auto text = [&](std::size_t n) {
            std::string s(n, '\0');
            for (char& c : s) c = static_cast<char>(200 + rng() % alphabet);
            return s;
        };
        const std::string a = text(rng() % 260);
        std::string b = a;
        for (std::size_t k = rng() % 12; k-- > 0 && !b.empty();) {
            const std::size_t at = rng() % b.size();
            switch (rng() % 3) {
                case 0: b[at] = static_cast<char>(200 + rng() % alphabet); break;
                case 1: b.erase(at, 1); break;
                default: b.insert(at, 1, static_cast<char>(200 + rng() % alphabet)); break;
            }
        }
        if (round % 5 == 0) b = text(rng() % 260);
        const std::uint64_t d = table(a, b);
        for (std::uint64_t limit : {d > 0 ? d - 1 : 0, d, d + 1, d + 40, std::uint64_t{0}}) {
            const std::uint64_t got = bounded_distance(a, b, limit);
            check(d <= limit ? got == d : got > limit, "bounded distance: exact within the limit, above it beyond");
        }
    }
    for (double s : {0.8, 0.6, 0.95, 1.0, 0.333, 1e-9}) {
        for (std::uint64_t n = 1; n < 400; ++n) {
            const std::int64_t d = largest_admissible(n, s);
            auto ok = [&](std::int64_t x) { return !(1.0 - static_cast<double>(x) / static_cast<double>(n) < s); };
            check(d >= 0 && ok(d) && (static_cast<std::uint64_t>(d) == n || !ok(d + 1)), "largest admissible distance");
        }
    }
    return failures == 0 ? 0 : 1;
}
