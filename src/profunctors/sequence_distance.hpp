// Unit-cost edit distance between two sequences of symbols, with the
// counts of the one edit script that the traceback below picks.
//
// The traceback walks from (m, n) to (0, 0) and at every cell takes the
// first rule that holds: a match whenever the two elements are equal, then a
// substitution if D[i][j] = D[i-1][j-1] + 1, then an insertion if
// D[i][j] = D[i][j-1] + 1, then a deletion. The counts are those of that
// walk, which is generally not the script a divide-and-conquer alignment
// finds, so the table is never split: it is computed column by column with
// the blockwise bit-vector algorithm, only every k-th column is kept, and
// the columns between two kept ones are recomputed when the walk needs them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/errors.hpp"

namespace velmora::profunctors {

struct EditCounts {
    std::uint64_t distance = 0;
    std::uint64_t insertions = 0;
    std::uint64_t deletions = 0;
    std::uint64_t substitutions = 0;
};

// Knobs for tests and measurements; the defaults are what callers want.
struct DistanceTuning {
    // Columns between two kept columns; 0 picks all n while the recorded
    // columns fit in 2 MiB, else as many as fit (at least about sqrt(n)).
    std::size_t checkpoint_spacing = 0;
    // Drop a common prefix and suffix before the table is built. Neither
    // changes the counts: the walk takes the suffix as matches, and a path
    // that reaches the edge of the prefix has only insertions or only
    // deletions left at the cost it carries.
    bool trim = true;
};

// Edit distance and script counts. `source` are the rows, `target` the
// columns. Symbols are compared as integers; they are expected to be small
// dense numbers (an interner's output), larger ones are renumbered first.
// `cancel` is ticked once per 64-row word of table work.
EditCounts sequence_distance(std::span<const std::uint32_t> source, std::span<const std::uint32_t> target,
                             core::Cancel& cancel, const DistanceTuning& tuning = {});

// Interns texts into dense symbols, in first-appearance order. Texts are
// equal when their bytes are; a lookup compares hashes, then lengths, and
// only then bytes. The table keeps its own copy of every distinct text.
//
// The hash is the table's own, or one the caller already holds for the text
// (a cached one saves reading the bytes twice). A table must be fed one kind
// throughout: equal texts have to arrive with equal hashes.
class SymbolTable {
public:
    SymbolTable();

    std::uint32_t intern(std::string_view text);
    std::uint32_t intern(std::string_view text, std::uint64_t hash);
    std::size_t size() const noexcept { return entries_.size(); }

    // Room for about `texts` more distinct texts without rehashing; a hint,
    // honoured only up to a modest size so a long sequence of few distinct
    // texts does not allocate a table for all of its elements.
    void reserve(std::size_t texts);

private:
    struct Entry {
        std::uint64_t hash;
        std::size_t offset;
        std::size_t length;
    };

    void grow();
    void rehash(std::size_t slots);  // a power of two above the entries

    std::vector<std::uint32_t> slots_;  // symbol per slot, core::kNone when empty
    std::vector<Entry> entries_;
    std::string bytes_;
    std::size_t mask_ = 0;
};

}  // namespace velmora::profunctors
