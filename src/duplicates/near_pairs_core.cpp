#include "duplicates/near_pairs.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "profunctors/bit_parallel.hpp"

namespace velmora::duplicates {

namespace {

using bit_parallel::kWordBits;
using bit_parallel::words_for;
using bit_parallel::Word;
constexpr std::uint64_t kMix = 0x9E3779B97F4A7C15ull;
constexpr std::uint64_t kEmpty = 0x5851F42D4C957F2Dull;
constexpr std::size_t kGram = 4;

// The match words of one sequence over the byte alphabet: bit r of word w
// of symbol c is set when a[64 w + r] == c. Built once for a sequence that
// is compared with many others; only the rows of symbols it holds are
// written, and only those are cleared again.
class MatchTable {
public:
    void load(std::string_view a) {
        clear();
        words_ = words_for(a.size());
        if (rows_.size() < 256 * words_) rows_.resize(256 * words_, 0);
        for (std::size_t r = 0; r < a.size(); ++r) {
            const auto c = static_cast<unsigned char>(a[r]);
            Word* row = rows_.data() + std::size_t{c} * words_;
            if (!used_[c]) {
                used_[c] = true;
                symbols_.push_back(c);
            }
            row[r / kWordBits] |= Word{1} << (r % kWordBits);
        }
        length_ = a.size();
    }

    void clear() {
        for (unsigned char c : symbols_) {
            std::fill_n(rows_.data() + std::size_t{c} * words_, words_, Word{0});
            used_[c] = false;
        }
        symbols_.clear();
        length_ = 0;
    }

    std::size_t length() const { return length_; }
    std::size_t words() const { return words_; }
    const Word* row(unsigned char c) const { return rows_.data() + std::size_t{c} * words_; }

private:
    std::vector<Word> rows_;
    std::array<bool, 256> used_{};
    std::vector<unsigned char> symbols_;
    std::size_t words_ = 0;
    std::size_t length_ = 0;
};

// Edit distance of the loaded sequence (rows) against `b` (columns), cut
// off at `limit`: the bit-vector algorithm, tracking D[m][j] through the
// horizontal delta of the last row. Column j can lower the last row by at
// most one per remaining column, so once D[m][j] - (n - j) exceeds the
// limit the answer is known to exceed it as well.
std::uint64_t bounded_against(const MatchTable& p, std::string_view b, std::uint64_t limit,
                              std::vector<Word>& vp, std::vector<Word>& vn) {
    const std::size_t m = p.length();
    const std::size_t n = b.size();
    if (m == 0) return n;
    if (n == 0) return m;
    const std::size_t words = p.words();
    const std::size_t last = words - 1;
    const Word top = Word{1} << ((m - 1) % kWordBits);
    std::uint64_t score = m;
    // False once the score can no longer come back under the limit.
    auto count = [&](const bit_parallel::Step& s, std::size_t j) {
        score += (s.ph & top) != 0 ? 1 : 0;
        score -= (s.mh & top) != 0 ? 1 : 0;
        return score <= limit + (n - j - 1);
    };
    if (words == 1) {
        // Most sequences fit one word: its deltas stay in registers.
        Word pv = ~Word{0};
        Word mv = 0;
        for (std::size_t j = 0; j < n; ++j) {
            bit_parallel::Carry carry;
            if (!count(bit_parallel::advance_word(pv, mv, *p.row(static_cast<unsigned char>(b[j])), carry), j)) {
                return limit + 1;
            }
        }
        return score;
    }
    vp.assign(words, ~Word{0});
    vn.assign(words, 0);
    for (std::size_t j = 0; j < n; ++j) {
        const Word* eq = p.row(static_cast<unsigned char>(b[j]));
        bit_parallel::Carry carry;
        for (std::size_t w = 0; w < last; ++w) bit_parallel::advance_word(vp[w], vn[w], eq[w], carry);
        if (!count(bit_parallel::advance_word(vp[last], vn[last], eq[last], carry), j)) return limit + 1;
    }
    return score;
}

// CRC-32 (the zlib polynomial, reflected) of one gram, continuing from
// `crc` as zlib's crc32(crc, gram, 4) does: a gram's k-th repeat hashes
// with k as the starting value.
struct Crc32 {
    std::array<std::uint32_t, 256> table{};
    constexpr Crc32() {
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1u) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
    }
    std::uint32_t operator()(std::uint32_t crc, std::string_view bytes) const {
        crc = ~crc;
        for (char b : bytes) crc = table[(crc ^ static_cast<unsigned char>(b)) & 0xFFu] ^ (crc >> 8);
        return ~crc;
    }
};
constexpr Crc32 kCrc32;

// The sketch's bins: one-permutation MinHash of the numbered 4-grams (the
// k-th repeat of a gram hashes as CRC-32 seeded with k, so the sketch sees
// the multiset), each hash spread over 64 bits by a multiply; a bin keeps
// its smallest hash, and an empty bin borrows from the next filled one to
// its right (circularly), tagged by the distance, so that two short
// sequences do not agree on bins just because both are empty.
struct Sketcher {
    std::vector<std::uint32_t> grams;  // each gram's bytes, big-endian in one word
    std::vector<std::uint64_t> bins;
    std::vector<std::uint8_t> filled;

    void run(std::string_view kinds, std::size_t count) {
        constexpr std::uint64_t kUnset = std::numeric_limits<std::uint64_t>::max();
        bins.assign(count, kUnset);
        filled.assign(count, 0);
        auto add = [&](std::uint64_t h) {
            const std::uint64_t spread = h * kMix;
            const auto bin = static_cast<std::size_t>(spread % count);
            filled[bin] = 1;
            bins[bin] = std::min(bins[bin], spread);
        };
        if (kinds.size() < kGram) {
            add(kCrc32(0, kinds));
        } else {
            grams.resize(kinds.size() - kGram + 1);
            for (std::size_t p = 0; p < grams.size(); ++p) {
                std::uint32_t g = 0;
                for (std::size_t k = 0; k < kGram; ++k) g = (g << 8) | static_cast<unsigned char>(kinds[p + k]);
                grams[p] = g;
            }
            // Equal grams side by side, so that each repeat gets its number.
            std::sort(grams.begin(), grams.end());
            std::uint32_t repeat = 0;
            for (std::size_t k = 0; k < grams.size(); ++k) {
                repeat = k > 0 && grams[k] == grams[k - 1] ? repeat + 1 : 0;
                const std::array<char, kGram> text{static_cast<char>(grams[k] >> 24), static_cast<char>(grams[k] >> 16),
                                                   static_cast<char>(grams[k] >> 8), static_cast<char>(grams[k])};
                add(kCrc32(repeat, std::string_view(text.data(), kGram)));
            }
        }
        std::size_t first = 0;
        while (filled[first] == 0) ++first;
        std::size_t next = first + count;
        for (std::size_t b = count; b-- > 0;) {
            if (filled[b] != 0) {
                next = b;
            } else {
                bins[b] = bins[next % count] ^ (static_cast<std::uint64_t>(next - b) * kEmpty);
            }
        }
    }
};

void keys_of(const std::vector<std::uint64_t>& bins, const SearchParams& params, std::uint64_t* keys) {
    for (std::size_t band = 0; band < params.bands; ++band) {
        std::uint64_t key = 0;
        for (std::size_t r = 0; r < params.rows; ++r) key = (key ^ bins[band * params.rows + r]) * kMix;
        keys[band] = key;
    }
}

// The pairs already decided, as (first << 32 | second) with first < second,
// which is never zero: open addressing with linear probing, zero for empty.
class PairSet {
public:
    PairSet() : slots_(1024, 0), mask_(1023) {}

    // True when the pair was not in the set (it is now).
    bool insert(std::uint64_t key) {
        if (2 * (size_ + 1) > slots_.size()) grow();
        return place(key);
    }

private:
    bool place(std::uint64_t key) {
        for (std::size_t i = hash(key) & mask_;; i = (i + 1) & mask_) {
            if (slots_[i] == key) return false;
            if (slots_[i] == 0) {
                slots_[i] = key;
                ++size_;
                return true;
            }
        }
    }
    static std::size_t hash(std::uint64_t key) { return static_cast<std::size_t>((key * kMix) >> 20); }
    void grow() {
        std::vector<std::uint64_t> old(slots_.size() * 2, 0);
        old.swap(slots_);
        mask_ = slots_.size() - 1;
        size_ = 0;
        for (std::uint64_t key : old) {
            if (key != 0) place(key);
        }
    }

    std::vector<std::uint64_t> slots_;
    std::size_t mask_;
    std::size_t size_ = 0;
};

class Search {
public:
    Search(std::span<const std::string_view> seqs, const SearchParams& params, core::Cancel& cancel)
        : seqs_(seqs), params_(params), cancel_(cancel), neighbours_(seqs.size()) {
        core::require_u32(seqs.size(), core::Fault::kTooManyIds);
        std::size_t longest = 0;
        for (std::string_view s : seqs) longest = std::max(longest, s.size());
        admissible_.resize(longest + 1);
        for (std::size_t n = 0; n <= longest; ++n) admissible_[n] = largest_admissible(n, params.min_similarity);
    }

    SearchResult run() {
        candidates();
        families();
        return std::move(result_);
    }

private:
    std::size_t length(std::uint32_t i) const { return seqs_[i].size(); }

    // Whether (a, b) comes before (b, a) in the candidate walk's order:
    // shorter first, then by index. A pair is met from its first side.
    bool before(std::uint32_t a, std::uint32_t b) const {
        return length(a) < length(b) || (length(a) == length(b) && a < b);
    }

    // The sequence whose match table and kind counts are kept between
    // calls: the side that stays while the other one changes.
    void load(std::uint32_t pattern) {
        if (loaded_ == pattern) return;
        if (loaded_ != core::kNone) {
            for (char c : seqs_[loaded_]) count_[static_cast<unsigned char>(c)] = 0;
        }
        for (char c : seqs_[pattern]) ++count_[static_cast<unsigned char>(c)];
        table_.load(seqs_[pattern]);
        loaded_ = pattern;
    }

    // Lower bound of the edit distance: every element of the longer sequence
    // that the shorter cannot match costs an edit, and at most the kinds the
    // two have in common (counted with multiplicity) can be matched. Counted
    // against the loaded side's kinds, which are taken and given back.
    std::uint64_t shared_kinds(std::string_view other) {
        std::uint64_t common = 0;
        for (char c : other) common += count_[static_cast<unsigned char>(c)]-- > 0 ? 1u : 0u;
        for (char c : other) ++count_[static_cast<unsigned char>(c)];
        return common;
    }

    // Decides the pair (pattern, other), whose match table and counts are
    // loaded; true when the pair is similar enough (and now found).
    bool decide(std::uint32_t pattern, std::uint32_t other) {
        const std::size_t longer = std::max(length(pattern), length(other));
        const std::size_t shorter = std::min(length(pattern), length(other));
        if (static_cast<double>(shorter) < params_.min_similarity * static_cast<double>(longer)) return false;
        ++result_.compared;
        cancel_.tick(longer);
        const std::int64_t admissible = admissible_[longer];
        if (admissible < 0) return false;
        const auto limit = static_cast<std::uint64_t>(admissible);
        load(pattern);
        if (longer - shorter > limit || longer - shared_kinds(seqs_[other]) > limit) return false;
        ++result_.distances;
        const std::uint64_t d = bounded_against(table_, seqs_[other], limit, vp_, vn_);
        cancel_.tick(longer * table_.words());
        if (d > limit) return false;
        const std::uint32_t i = std::min(pattern, other);
        const std::uint32_t j = std::max(pattern, other);
        result_.pairs.push_back(Pair{i, j, static_cast<std::uint32_t>(d)});
        neighbours_[i].push_back(j);
        neighbours_[j].push_back(i);
        return true;
    }

    // Whether the candidate walk decided the pair already: it decided each
    // pair from its first side, and kept what each side decided, sorted.
    bool walked(std::uint32_t a, std::uint32_t b) const {
        if (before(b, a)) std::swap(a, b);
        const std::uint32_t* from = walked_.data() + walked_start_[rank_[a]];
        const std::uint32_t* to = walked_.data() + walked_start_[rank_[a] + 1];
        return std::binary_search(from, to, b);
    }

    void candidates() {
        const std::size_t n = seqs_.size();
        const std::size_t bands = params_.bands;
        // Sequences in length order (ties by index): each band's buckets list
        // their members in this order.
        std::vector<std::uint32_t> order(n);
        for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<std::uint32_t>(i);
        std::stable_sort(order.begin(), order.end(),
                         [&](std::uint32_t a, std::uint32_t b) { return length(a) < length(b); });
        rank_.resize(n);
        for (std::size_t r = 0; r < n; ++r) rank_[order[r]] = static_cast<std::uint32_t>(r);

        // Per band: the members sorted by (key, rank), so that a bucket is a
        // run of members in length order; and per sequence and band, the
        // run of bucket members it meets: the next `window` from the first
        // one of its own length on (none when it is alone in its bucket).
        std::vector<std::uint32_t> members(n * bands);
        std::vector<std::uint32_t> meet_start(n * bands);
        std::vector<std::uint8_t> meet_count(n * bands);
        {
            std::vector<std::uint64_t> keys(n * bands);
            Sketcher sketcher;
            for (std::size_t i = 0; i < n; ++i) {
                sketcher.run(seqs_[i], std::size_t{params_.bands} * params_.rows);
                keys_of(sketcher.bins, params_, keys.data() + i * bands);
                cancel_.tick(seqs_[i].size());
            }
            // Buckets are numbered in order of first appearance through an
            // open-addressing table of keys, then laid out one after the
            // other by counting: no sort, and the members of each bucket
            // stay in length order.
            std::size_t slots = 1;
            while (slots < 2 * n) slots <<= 1;
            std::vector<std::uint64_t> slot_key(slots);
            std::vector<std::uint32_t> slot_bucket(slots);
            std::vector<std::uint32_t> bucket_of(n);
            std::vector<std::uint32_t> bucket_start;
            for (std::size_t band = 0; band < bands; ++band) {
                std::fill(slot_bucket.begin(), slot_bucket.end(), core::kNone);
                bucket_start.assign(1, 0);
                for (std::size_t r = 0; r < n; ++r) {
                    const std::uint64_t key = keys[order[r] * bands + band];
                    std::size_t at = static_cast<std::size_t>((key * kMix) >> 32) & (slots - 1);
                    while (slot_bucket[at] != core::kNone && slot_key[at] != key) at = (at + 1) & (slots - 1);
                    if (slot_bucket[at] == core::kNone) {
                        slot_key[at] = key;
                        slot_bucket[at] = static_cast<std::uint32_t>(bucket_start.size() - 1);
                        bucket_start.push_back(0);
                    }
                    bucket_of[r] = slot_bucket[at];
                    ++bucket_start[slot_bucket[at] + 1];
                }
                for (std::size_t b = 1; b < bucket_start.size(); ++b) bucket_start[b] += bucket_start[b - 1];
                std::uint32_t* mem = members.data() + band * n;
                {
                    std::vector<std::uint32_t> fill(bucket_start.begin(), bucket_start.end() - 1);
                    for (std::size_t r = 0; r < n; ++r) mem[fill[bucket_of[r]]++] = order[r];
                }
                for (std::size_t b = 0; b + 1 < bucket_start.size(); ++b) {
                    const std::size_t at = bucket_start[b];
                    const std::size_t end = bucket_start[b + 1];
                    std::size_t same = at;  // the first member of the current length
                    for (std::size_t k = at; k < end; ++k) {
                        if (length(mem[k]) != length(mem[same])) same = k;
                        const std::size_t stop = end - at == 1 ? same : std::min(same + params_.window + 1, end);
                        meet_start[std::size_t{mem[k]} * bands + band] = static_cast<std::uint32_t>(same);
                        meet_count[std::size_t{mem[k]} * bands + band] = static_cast<std::uint8_t>(stop - same);
                    }
                }
                cancel_.tick(n);
            }
        }

        std::vector<std::uint16_t> agree(n, 0);
        std::vector<std::uint32_t> mates;  // in the order first met
        walked_start_.assign(n + 1, 0);
        for (std::size_t r = 0; r < n; ++r) {
            const std::uint32_t i = order[r];
            const std::size_t li = length(i);
            const std::uint32_t* start = meet_start.data() + std::size_t{i} * bands;
            const std::uint8_t* count = meet_count.data() + std::size_t{i} * bands;
            for (std::size_t band = 0; band < bands; ++band) {
                const std::uint32_t* mem = members.data() + band * n + start[band];
                for (std::size_t p = 0; p < count[band]; ++p) {
                    if (agree[mem[p]]++ == 0) mates.push_back(mem[p]);
                }
            }
            const std::size_t first = walked_.size();
            for (std::uint32_t j : mates) {
                const std::uint16_t agreed = agree[j];
                agree[j] = 0;
                if (agreed < params_.min_bands || !before(i, j)) continue;  // the pair is met from its first side
                if (static_cast<double>(li) < params_.min_similarity * static_cast<double>(length(j))) continue;
                walked_.push_back(j);
                decide(i, j);
            }
            std::sort(walked_.begin() + static_cast<std::ptrdiff_t>(first), walked_.end());
            walked_start_[r + 1] = walked_.size();
            mates.clear();
        }
    }

    // For every pair found, the neighbours each side already has are tried
    // against the other side, newest pairs first; a pair found that way is
    // followed up in turn.
    void families() {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> work;
        work.reserve(result_.pairs.size());
        for (const Pair& p : result_.pairs) work.emplace_back(p.first, p.second);
        std::sort(work.begin(), work.end());
        std::vector<std::uint32_t> near;
        while (!work.empty()) {
            const auto [a, b] = work.back();
            work.pop_back();
            for (const auto& [x, y] : {std::pair{a, b}, std::pair{b, a}}) {
                const std::vector<std::uint32_t>& around = neighbours_[x];
                near.assign(around.begin(), around.begin() + static_cast<std::ptrdiff_t>(
                                                                 std::min<std::size_t>(around.size(), params_.family)));
                for (std::uint32_t z : near) {
                    if (z == y || walked(y, z)) continue;
                    const std::uint64_t key = (std::uint64_t{std::min(y, z)} << 32) | std::max(y, z);
                    if (decided_.insert(key) && decide(y, z)) work.emplace_back(std::min(y, z), std::max(y, z));
                }
            }
        }
    }

    std::span<const std::string_view> seqs_;
    const SearchParams& params_;
    core::Cancel& cancel_;
    std::vector<std::vector<std::uint32_t>> neighbours_;
    std::vector<std::int64_t> admissible_;  // by the longer length
    std::vector<std::uint32_t> rank_;       // place in the candidate walk's order
    std::vector<std::uint32_t> walked_;     // pairs the walk decided, by first side (CSR)
    std::vector<std::size_t> walked_start_;
    PairSet decided_;                       // pairs decided while following families
    MatchTable table_;
    std::array<std::int32_t, 256> count_{};  // kinds of the loaded sequence
    std::uint32_t loaded_ = core::kNone;
    std::vector<Word> vp_;
    std::vector<Word> vn_;
    SearchResult result_;
};

}  // namespace

std::int64_t largest_admissible(std::uint64_t longer, double min_similarity) {
    if (longer == 0) return 0;
    const auto similar = [&](std::uint64_t d) {
        return !(1.0 - static_cast<double>(d) / static_cast<double>(longer) < min_similarity);
    };
    const double guess = std::floor((1.0 - min_similarity) * static_cast<double>(longer));
    auto d = static_cast<std::int64_t>(std::clamp(guess, 0.0, static_cast<double>(longer)));
    // The guess is off by at most a rounding step either way.
    while (static_cast<std::uint64_t>(d) < longer && similar(static_cast<std::uint64_t>(d) + 1)) ++d;
    while (d >= 0 && !similar(static_cast<std::uint64_t>(d))) --d;
    return d;
}

std::uint64_t bounded_distance(std::string_view a, std::string_view b, std::uint64_t limit) {
    MatchTable table;
    table.load(a);
    std::vector<Word> vp;
    std::vector<Word> vn;
    return bounded_against(table, b, limit, vp, vn);
}

std::vector<std::uint64_t> band_keys(std::string_view kinds, const SearchParams& params) {
    Sketcher sketcher;
    sketcher.run(kinds, std::size_t{params.bands} * params.rows);
    std::vector<std::uint64_t> keys(params.bands);
    keys_of(sketcher.bins, params, keys.data());
    return keys;
}

SearchResult near_pairs(std::span<const std::string_view> seqs, const SearchParams& params, core::Cancel& cancel) {
    return Search(seqs, params, cancel).run();
}

}  // namespace velmora::duplicates
