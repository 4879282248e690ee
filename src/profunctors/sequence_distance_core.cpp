#include "profunctors/sequence_distance.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "core/id_index.hpp"
#include "profunctors/bit_parallel.hpp"

namespace velmora::profunctors {

namespace {

using bit_parallel::kWordBits;
using bit_parallel::words_for;
using bit_parallel::Word;
constexpr Word kAllOnes = ~Word{0};

// Sizes of the working buffers grow with m * sqrt(n); a product that does
// not fit is an allocation that cannot succeed.
std::size_t checked_mul(std::size_t a, std::size_t b) {
    if (a != 0 && b > std::numeric_limits<std::size_t>::max() / a) throw std::bad_alloc();
    return a * b;
}

// The match words of the source: bit r of word b is set for symbol x when
// source[64 b + r] == x.
//
// A dense bit row per symbol would cost m/8 bytes for every distinct
// symbol, which for long sequences of mostly distinct tokens is gigabytes.
// So only symbols that occur often in the source (and at all in the
// target) get a row; the words of the others are scattered into a zeroed
// scratch row from their positions for one column and cleared afterwards.
// A symbol scattered this way has fewer occurrences than a quarter of the
// words a column step touches, so the scatter never dominates the step,
// and the rows together hold at most about four words per source element.
class MatchWords {
public:
    MatchWords(std::span<const std::uint32_t> source, std::span<const std::uint32_t> target, std::size_t symbols,
               std::size_t words)
        : words_(words), scratch_(2 * words, 0) {
        std::vector<std::size_t> count(symbols + 1, 0);
        for (std::uint32_t x : source) ++count[x + 1];
        for (std::size_t x = 0; x < symbols; ++x) count[x + 1] += count[x];
        start_ = count;
        positions_.resize(source.size());
        for (std::size_t r = 0; r < source.size(); ++r) positions_[count[source[r]]++] = r;

        std::vector<bool> in_target(symbols, false);
        for (std::uint32_t x : target) {
            if (x < symbols) in_target[x] = true;
        }
        const std::size_t threshold = std::max<std::size_t>(1, words / 4);
        row_.assign(symbols, core::kNone);
        std::size_t rows = 0;
        for (std::size_t x = 0; x < symbols; ++x) {
            if (in_target[x] && start_[x + 1] - start_[x] >= threshold) row_[x] = static_cast<std::uint32_t>(rows++);
        }
        rows_.assign(checked_mul(rows, words), 0);
        for (std::size_t x = 0; x < symbols; ++x) {
            if (row_[x] == core::kNone) continue;
            Word* row = rows_.data() + static_cast<std::size_t>(row_[x]) * words;
            for (std::size_t k = start_[x]; k < start_[x + 1]; ++k) {
                row[positions_[k] / kWordBits] |= Word{1} << (positions_[k] % kWordBits);
            }
        }
    }

    // The first `blocks` match words of symbol `x`; valid until release()
    // with the same `slot`. Two slots, so two columns can be open at once.
    const Word* acquire(std::uint32_t x, std::size_t blocks, std::size_t slot = 0) {
        Word* scratch = scratch_.data() + slot * words_;
        if (x >= row_.size()) return scratch;  // occurs in the target only
        if (row_[x] != core::kNone) return rows_.data() + static_cast<std::size_t>(row_[x]) * words_;
        const std::size_t limit = blocks * kWordBits;
        for (std::size_t k = start_[x]; k < start_[x + 1] && positions_[k] < limit; ++k) {
            scratch[positions_[k] / kWordBits] |= Word{1} << (positions_[k] % kWordBits);
        }
        return scratch;
    }

    void release(std::uint32_t x, std::size_t blocks, std::size_t slot = 0) {
        if (x >= row_.size() || row_[x] != core::kNone) return;
        Word* scratch = scratch_.data() + slot * words_;
        const std::size_t limit = blocks * kWordBits;
        for (std::size_t k = start_[x]; k < start_[x + 1] && positions_[k] < limit; ++k) {
            scratch[positions_[k] / kWordBits] = 0;
        }
    }

private:
    std::size_t words_;
    std::vector<std::size_t> start_;      // positions of x: positions_[start_[x] .. start_[x+1])
    std::vector<std::size_t> positions_;  // ascending within each symbol
    std::vector<std::uint32_t> row_;      // dense row of x, or kNone
    std::vector<Word> rows_;
    std::vector<Word> scratch_;  // two zeroed rows of `words_`
};

using bit_parallel::Carry;

// One word of a column. With Record, the word's diagonal-zero bits go to
// d0 (xh leaves out the rows where the column before falls by one; there
// the diagonal is zero as well) and its horizontal +1 bits to hp.
template <bool Record>
inline void advance_word(Word& vp, Word& vn, Word eq, Carry& c, Word* d0, Word* hp) {
    const Word mv = vn;
    const bit_parallel::Step s = bit_parallel::advance_word(vp, vn, eq, c);
    if constexpr (Record) {
        *d0 = s.xh | mv;
        *hp = s.ph;
    }
}

// One column of the blockwise bit-vector algorithm (Myers 1999, in the
// block form of its Section 4; Hyyro 2003 for the edit-distance boundary).
// On entry vp/vn hold the vertical deltas D[i][j-1] - D[i-1][j-1] = +1 / -1
// of the first `blocks` words, on return those of column j. With Record,
// the column's diagonal-zero bits (D[i][j] == D[i-1][j-1]) go to d0 and its
// horizontal +1 bits (D[i][j] == D[i][j-1] + 1) to hp: the two facts the
// traceback asks of a cell besides element equality.
template <bool Record>
void advance_column(Word* vp, Word* vn, const Word* eq, std::size_t blocks, Word* d0, Word* hp) {
    Carry c;
    for (std::size_t b = 0; b < blocks; ++b) {
        advance_word<Record>(vp[b], vn[b], eq[b], c, Record ? d0 + b : nullptr, Record ? hp + b : nullptr);
    }
}

// Columns j and j + 1 at once, the second one word behind the first. Each
// column is a chain of dependent steps through its carry; interleaving two
// gives the processor two independent chains, about twice the work per
// cycle. Column j + 1 reads word b only after column j has written it, so
// the words and records come out exactly as from two single steps.
template <bool Record>
void advance_two_columns(Word* vp, Word* vn, const Word* eq_a, const Word* eq_b, std::size_t blocks, Word* d0_a,
                         Word* hp_a, Word* d0_b, Word* hp_b) {
    Carry a;
    Carry b;
    advance_word<Record>(vp[0], vn[0], eq_a[0], a, Record ? d0_a : nullptr, Record ? hp_a : nullptr);
    for (std::size_t w = 1; w < blocks; ++w) {
        advance_word<Record>(vp[w], vn[w], eq_a[w], a, Record ? d0_a + w : nullptr, Record ? hp_a + w : nullptr);
        advance_word<Record>(vp[w - 1], vn[w - 1], eq_b[w - 1], b, Record ? d0_b + w - 1 : nullptr,
                             Record ? hp_b + w - 1 : nullptr);
    }
    const std::size_t last = blocks - 1;
    advance_word<Record>(vp[last], vn[last], eq_b[last], b, Record ? d0_b + last : nullptr,
                         Record ? hp_b + last : nullptr);
}

class EditWalk {
public:
    EditWalk(std::span<const std::uint32_t> source, std::span<const std::uint32_t> target, std::size_t symbols,
             std::size_t spacing, core::Cancel& cancel)
        : s_(source),
          t_(target),
          words_(words_for(source.size())),
          spacing_(spacing),
          match_(source, target, symbols, words_),
          cancel_(cancel) {}

    void run(EditCounts& counts) {
        forward();
        traceback(counts);
    }

private:
    // Keeps columns 0, k, 2k, ... up to the last one a traceback segment
    // starts from; column n itself is always recomputed.
    void forward() {
        const std::size_t n = t_.size();
        const std::size_t kept = (n - 1) / spacing_ + 1;
        checkpoints_.resize(checked_mul(kept, checked_mul(2, words_)));
        vp_.assign(words_, kAllOnes);  // D[i][0] = i
        vn_.assign(words_, 0);
        keep(0);
        const std::size_t last = (kept - 1) * spacing_;
        for (std::size_t j = 1; j <= last;) {
            // Two columns at once unless column j must be kept on its own.
            const bool two = j + 1 <= last && j % spacing_ != 0;
            advance<false>(j, two, words_, nullptr);
            j += two ? 1 : 0;
            if (j % spacing_ == 0) keep(j / spacing_);
            ++j;
        }
    }

    // Advances vp_/vn_ over the first `blocks` words by column j, and by
    // column j + 1 as well when `two`. With Record, column j's d0 and hp
    // words go to `cell` and column j + 1's to the 2 * blocks words after.
    template <bool Record>
    void advance(std::size_t j, bool two, std::size_t blocks, Word* cell) {
        if (two) {
            const Word* eq_a = match_.acquire(t_[j - 1], blocks, 0);
            const Word* eq_b = match_.acquire(t_[j], blocks, 1);
            Word* next = Record ? cell + 2 * blocks : nullptr;
            advance_two_columns<Record>(vp_.data(), vn_.data(), eq_a, eq_b, blocks, cell,
                                        Record ? cell + blocks : nullptr, next, Record ? next + blocks : nullptr);
            match_.release(t_[j - 1], blocks, 0);
            match_.release(t_[j], blocks, 1);
            cancel_.tick(2 * blocks);
        } else {
            const Word* eq = match_.acquire(t_[j - 1], blocks);
            advance_column<Record>(vp_.data(), vn_.data(), eq, blocks, cell, Record ? cell + blocks : nullptr);
            match_.release(t_[j - 1], blocks);
            cancel_.tick(blocks);
        }
    }

    void keep(std::size_t index) {
        Word* out = checkpoints_.data() + index * 2 * words_;
        std::copy(vp_.begin(), vp_.end(), out);
        std::copy(vn_.begin(), vn_.end(), out + words_);
    }

    // Walks from (m, n) to (0, 0) one segment of columns at a time, from the
    // last segment back. The walk never moves down, so a segment only needs
    // the rows above the row it enters at, and the recomputation shrinks as
    // the walk climbs.
    void traceback(EditCounts& counts) {
        const std::size_t n = t_.size();
        // Every word of a recomputed column is written before it is read,
        // so the buffer is not cleared (for a full table that is megabytes).
        segment_ = std::make_unique_for_overwrite<Word[]>(checked_mul(std::min(spacing_, n), checked_mul(2, words_)));
        std::size_t i = s_.size();
        std::size_t j = n;
        while (i > 0 && j > 0) {
            const std::size_t first = (j - 1) / spacing_ * spacing_;  // the kept column the segment starts from
            const std::size_t blocks = words_for(i);
            recompute(first, j, blocks);
            while (i > 0 && j > first) {
                if (s_[i - 1] == t_[j - 1]) {
                    --i;
                    --j;
                    continue;
                }
                const Word* cell = segment_.get() + (j - first - 1) * 2 * blocks;
                const std::size_t w = (i - 1) / kWordBits;
                const Word bit = Word{1} << ((i - 1) % kWordBits);
                if ((cell[w] & bit) == 0) {
                    ++counts.substitutions;
                    --i;
                    --j;
                } else if ((cell[blocks + w] & bit) != 0) {
                    ++counts.insertions;
                    --j;
                } else {
                    ++counts.deletions;
                    --i;
                }
            }
        }
        // Along the top row only insertions remain, down the left column
        // only deletions.
        counts.insertions += j;
        counts.deletions += i;
    }

    // Recomputes columns first+1 .. last over the first `blocks` words,
    // recording each column's d0 and hp words.
    void recompute(std::size_t first, std::size_t last, std::size_t blocks) {
        const Word* kept = checkpoints_.data() + first / spacing_ * 2 * words_;
        std::copy(kept, kept + blocks, vp_.begin());
        std::copy(kept + words_, kept + words_ + blocks, vn_.begin());
        for (std::size_t j = first + 1; j <= last; j += 2) {
            advance<true>(j, j + 1 <= last, blocks, segment_.get() + (j - first - 1) * 2 * blocks);
        }
    }

    std::span<const std::uint32_t> s_;
    std::span<const std::uint32_t> t_;
    std::size_t words_;
    std::size_t spacing_;
    MatchWords match_;
    core::Cancel& cancel_;
    std::vector<Word> vp_;
    std::vector<Word> vn_;
    std::vector<Word> checkpoints_;  // per kept column: vp words, then vn words
    std::unique_ptr<Word[]> segment_;  // per recomputed column: d0 words, then hp words
};

// Recorded columns cost two words per source word each. While the whole
// table of them fits in this budget, one segment covers every column and
// the forward pass has nothing to do: each column is computed once, as in
// an algorithm that keeps the full table. Beyond it the segments are as long
// as the budget allows (at least about sqrt(n) columns), so the forward pass
// repeats only the part of the table that did not fit. The budget is about
// what a core's cache holds: a larger table computed once is slower than a
// cached one computed twice, because every call then faults in and clears
// fresh pages (32 MiB made 10,000 x 10,000 tokens 1.4x slower).
constexpr std::size_t kSegmentBudgetBytes = std::size_t{2} << 20;

std::size_t default_spacing(std::size_t n, std::size_t words) {
    const std::size_t column_bytes = 2 * words * sizeof(Word);
    const std::size_t fits = std::max<std::size_t>(kSegmentBudgetBytes / column_bytes, 1);
    if (fits >= n) return n;
    auto root = static_cast<std::size_t>(std::ceil(std::sqrt(static_cast<double>(n))));
    return std::max(fits, root);
}

}  // namespace

EditCounts sequence_distance(std::span<const std::uint32_t> source, std::span<const std::uint32_t> target,
                             core::Cancel& cancel, const DistanceTuning& tuning) {
    if (tuning.trim) {
        std::size_t prefix = 0;
        const std::size_t limit = std::min(source.size(), target.size());
        while (prefix < limit && source[prefix] == target[prefix]) ++prefix;
        std::size_t suffix = 0;
        while (suffix < limit - prefix &&
               source[source.size() - 1 - suffix] == target[target.size() - 1 - suffix]) {
            ++suffix;
        }
        source = source.subspan(prefix, source.size() - prefix - suffix);
        target = target.subspan(prefix, target.size() - prefix - suffix);
    }

    EditCounts counts;
    if (source.empty() || target.empty()) {
        counts.insertions = target.size();
        counts.deletions = source.size();
    } else {
        std::uint32_t top = 0;
        for (std::uint32_t x : source) top = std::max(top, x);
        std::size_t symbols = static_cast<std::size_t>(top) + 1;
        std::vector<std::uint32_t> s_renamed;
        std::vector<std::uint32_t> t_renamed;
        // Symbols far beyond the number of elements would make the
        // per-symbol tables huge; renumber them densely.
        if (symbols > 2 * (source.size() + target.size()) + 64) {
            core::IdIndex index(source.size());
            s_renamed.reserve(source.size());
            for (std::uint32_t x : source) s_renamed.push_back(index.intern(x));
            symbols = index.size();
            t_renamed.reserve(target.size());
            for (std::uint32_t x : target) {
                const std::uint32_t y = index.find(x);
                // Absent from the source: any number past the source's
                // symbols never matches.
                t_renamed.push_back(y == core::kNone ? static_cast<std::uint32_t>(symbols) : y);
            }
            source = s_renamed;
            target = t_renamed;
        }
        const std::size_t spacing =
            tuning.checkpoint_spacing != 0 ? tuning.checkpoint_spacing : default_spacing(target.size(), words_for(source.size()));
        EditWalk walk(source, target, symbols, spacing, cancel);
        walk.run(counts);
    }
    counts.distance = counts.insertions + counts.deletions + counts.substitutions;
    return counts;
}

// ---------------------------------------------------------------- SymbolTable

namespace {

// A multiply-xorshift hash over 8-byte words: tokens are short, so the
// per-byte loops of simpler hashes would dominate interning.
std::uint64_t hash_bytes(std::string_view text) {
    const char* p = text.data();
    const std::size_t n = text.size();
    std::uint64_t h = 0x9E3779B97F4A7C15ull ^ (static_cast<std::uint64_t>(n) * 0xC2B2AE3D27D4EB4Full);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w = 0;
        std::memcpy(&w, p + i, 8);
        h = (h ^ w) * 0xFF51AFD7ED558CCDull;
        h ^= h >> 32;
    }
    if (i < n) {
        // The last 1..7 bytes, read with fixed-size loads: a memcpy of a
        // variable length into a word stalls on the store it just made.
        const std::size_t rest = n - i;
        const char* q = p + i;
        std::uint64_t w = 0;
        if (n >= 8) {
            std::memcpy(&w, p + n - 8, 8);
            w >>= 8 * (8 - rest);
        } else if (rest >= 4) {
            std::uint32_t lo = 0;
            std::uint32_t hi = 0;
            std::memcpy(&lo, q, 4);
            std::memcpy(&hi, q + rest - 4, 4);
            w = lo | (static_cast<std::uint64_t>(hi) << 32);
        } else {
            w = static_cast<unsigned char>(q[0]);
            w |= static_cast<std::uint64_t>(static_cast<unsigned char>(q[rest / 2])) << 8;
            w |= static_cast<std::uint64_t>(static_cast<unsigned char>(q[rest - 1])) << 16;
        }
        h = (h ^ w) * 0xFF51AFD7ED558CCDull;
        h ^= h >> 32;
    }
    h = (h ^ (h >> 30)) * 0xBF58476D1CE4E5B9ull;
    h = (h ^ (h >> 27)) * 0x94D049BB133111EBull;
    return h ^ (h >> 31);
}

// Equality of two byte ranges of length n. Tokens are mostly a few bytes
// long, where a call to memcmp costs more than the comparison; up to 16
// bytes two pairs of overlapping fixed-size loads cover every byte.
bool same_bytes(const char* a, const char* b, std::size_t n) {
    const auto load = [](const char* p, auto word) {
        std::memcpy(&word, p, sizeof word);
        return word;
    };
    if (n >= 8 && n <= 16) {
        return load(a, std::uint64_t{}) == load(b, std::uint64_t{}) &&
               load(a + n - 8, std::uint64_t{}) == load(b + n - 8, std::uint64_t{});
    }
    if (n >= 4 && n < 8) {
        return load(a, std::uint32_t{}) == load(b, std::uint32_t{}) &&
               load(a + n - 4, std::uint32_t{}) == load(b + n - 4, std::uint32_t{});
    }
    if (n > 0 && n < 4) return a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1];
    return n == 0 || std::memcmp(a, b, n) == 0;
}

}  // namespace

SymbolTable::SymbolTable() : slots_(64, core::kNone), mask_(63) {}

std::uint32_t SymbolTable::intern(std::string_view text) { return intern(text, hash_bytes(text)); }

void SymbolTable::reserve(std::size_t texts) {
    constexpr std::size_t kMostReserved = std::size_t{1} << 16;
    const std::size_t wanted = entries_.size() + std::min(texts, kMostReserved);
    std::size_t slots = slots_.size();
    while (wanted * 4 > slots * 3) slots *= 2;
    if (slots != slots_.size()) rehash(slots);
    entries_.reserve(wanted);
    bytes_.reserve(wanted * 8);
}

std::uint32_t SymbolTable::intern(std::string_view text, std::uint64_t h) {
    std::size_t i = static_cast<std::size_t>(h) & mask_;
    while (true) {
        const std::uint32_t x = slots_[i];
        if (x == core::kNone) break;
        const Entry& e = entries_[x];
        if (e.hash == h && e.length == text.size() && same_bytes(bytes_.data() + e.offset, text.data(), text.size())) {
            return x;
        }
        i = (i + 1) & mask_;
    }
    core::require_u32(entries_.size() + 1, core::Fault::kTooManyTexts);
    const auto x = static_cast<std::uint32_t>(entries_.size());
    entries_.push_back(Entry{h, bytes_.size(), text.size()});
    bytes_.append(text);
    slots_[i] = x;
    if (entries_.size() * 4 > slots_.size() * 3) grow();
    return x;
}

void SymbolTable::grow() { rehash(checked_mul(slots_.size(), 2)); }

void SymbolTable::rehash(std::size_t size) {
    std::vector<std::uint32_t> slots(size, core::kNone);
    const std::size_t mask = slots.size() - 1;
    for (std::uint32_t x = 0; x < entries_.size(); ++x) {
        std::size_t i = static_cast<std::size_t>(entries_[x].hash) & mask;
        while (slots[i] != core::kNone) i = (i + 1) & mask;
        slots[i] = x;
    }
    slots_.swap(slots);
    mask_ = mask;
}

}  // namespace velmora::profunctors
