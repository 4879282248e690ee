// Pairs of near-duplicate sequences of node kinds (one byte per kind), found
// without comparing all pairs; velmora-scan's clusters.py groups the pairs
// into clusters and documents the search in full.
//
// Similarity of two sequences = 1 - (unit-cost edit distance) / (length of
// the longer one). Candidates come from a one-permutation MinHash sketch of
// the numbered 4-grams, cut into bands; two sequences that agree on a whole
// band at least `min_bands` times, within a bounded window of each band's
// bucket, are decided exactly; then the neighbours of every pair found are
// tried against the other side. Every decision is exact: lower bounds
// (lengths, shared kinds) first, then the edit distance with a cut-off at
// the largest distance that still reaches the threshold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/errors.hpp"

namespace velmora::duplicates {

struct SearchParams {
    double min_similarity = 0.8;
    std::uint32_t bands = 32;
    std::uint32_t rows = 4;      // sketch bins per band
    std::uint32_t window = 30;   // longer bucket members each sequence meets, per band (at most 254)
    std::uint32_t min_bands = 2;
    std::uint32_t family = 20;   // neighbours of each side tried for each pair found
};

struct Pair {
    std::uint32_t first;  // first < second, indices into the sequences
    std::uint32_t second;
    std::uint32_t distance;
};

struct SearchResult {
    std::vector<Pair> pairs;     // in the order they were found
    std::uint64_t compared = 0;  // candidate pairs of admissible lengths, each decided exactly
    std::uint64_t distances = 0; // of those, decided by an edit distance rather than a bound
};

// Band keys of one sequence's sketch: `params.bands` 64-bit keys.
std::vector<std::uint64_t> band_keys(std::string_view kinds, const SearchParams& params);

// The near-duplicate pairs among `seqs` (distinct sequences).
SearchResult near_pairs(std::span<const std::string_view> seqs, const SearchParams& params, core::Cancel& cancel);

// The largest edit distance at which two sequences, the longer of `longer`
// elements, are still similar enough: the largest d with
// 1 - d / longer >= min_similarity, evaluated in double precision as the
// callers compare; -1 when not even d = 0 is.
std::int64_t largest_admissible(std::uint64_t longer, double min_similarity);

// Unit-cost edit distance between `a` and `b` if it is at most `limit`,
// else any value above `limit`.
std::uint64_t bounded_distance(std::string_view a, std::string_view b, std::uint64_t limit);

}  // namespace velmora::duplicates
