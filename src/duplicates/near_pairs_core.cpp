#include "duplicates/near_pairs.hpp"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace velmora::duplicates {

namespace {

using Word = std::uint64_t;
constexpr std::size_t kWordBits = 64;
constexpr std::uint64_t kMix = 0x9E3779B97F4A7C15ull;
constexpr std::uint64_t kEmpty = 0x5851F42D4C957F2Dull;
constexpr std::size_t kGram = 4;

std::size_t words_for(std::size_t n) { return (n + kWordBits - 1) / kWordBits; }

const Bytef* bytes_of(std::string_view s) { return reinterpret_cast<const Bytef*>(s.data()); }

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
// off at `limit`: the blockwise bit-vector algorithm (Myers 1999, Section 4;
// Hyyro 2003 for the edit-distance boundary), tracking D[m][j] through the
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
    if (words == 1) {
        Word pv = ~Word{0};
        Word mv = 0;
        for (std::size_t j = 0; j < n; ++j) {
            const Word eq = *p.row(static_cast<unsigned char>(b[j]));
            const Word xv = eq | mv;
            const Word xh = (((eq & pv) + pv) ^ pv) | eq;
            Word ph = mv | ~(xh | pv);
            Word mh = pv & xh;
            score += (ph & top) != 0 ? 1 : 0;
            score -= (mh & top) != 0 ? 1 : 0;
            ph = (ph << 1) | 1;  // row 0 holds D[0][j] = j
            mh <<= 1;
            pv = mh | ~(xv | ph);
            mv = ph & xv;
            const std::size_t left = n - j - 1;
            if (score > limit + left) return limit + 1;
        }
        return score;
    }
    vp.assign(words, ~Word{0});
    vn.assign(words, 0);
    for (std::size_t j = 0; j < n; ++j) {
        const Word* eq = p.row(static_cast<unsigned char>(b[j]));
        Word carry_p = 1;  // the delta entering the top of the first word: +1
        Word carry_n = 0;
        for (std::size_t w = 0; w < words; ++w) {
            const Word pv = vp[w];
            const Word mv = vn[w];
            const Word xv = eq[w] | mv;
            // A -1 entering from the word above is the carry of the
            // addition across the word boundary.
            const Word e = eq[w] | carry_n;
            const Word xh = (((e & pv) + pv) ^ pv) | e;
            Word ph = mv | ~(xh | pv);
            Word mh = pv & xh;
            if (w == last) {
                score += (ph & top) != 0 ? 1 : 0;
                score -= (mh & top) != 0 ? 1 : 0;
            }
            const Word out_p = ph >> (kWordBits - 1);
            const Word out_n = mh >> (kWordBits - 1);
            ph = (ph << 1) | carry_p;
            mh = (mh << 1) | carry_n;
            vp[w] = mh | ~(xv | ph);
            vn[w] = ph & xv;
            carry_p = out_p;
            carry_n = out_n;
        }
        const std::size_t left = n - j - 1;
        if (score > limit + left) return limit + 1;
    }
    return score;
}

// The sketch's bins: one-permutation MinHash of the numbered 4-grams (the
// k-th repeat of a gram hashes as CRC-32 seeded with k, so the sketch sees
// the multiset), each hash spread over 64 bits by a multiply; a bin keeps
// its smallest hash, and an empty bin borrows from the next filled one to
// its right (circularly), tagged by the distance, so that two short
// sequences do not agree on bins just because both are empty.
void sketch(std::string_view kinds, std::size_t bins, std::vector<std::uint32_t>& grams,
            std::vector<std::uint64_t>& out) {
    constexpr std::uint64_t kUnset = std::numeric_limits<std::uint64_t>::max();
    out.assign(bins, kUnset);
    std::vector<bool> filled(bins, false);
    auto add = [&](std::uint64_t h) {
        const std::uint64_t spread = h * kMix;
        const std::size_t bin = static_cast<std::size_t>(spread % bins);
        filled[bin] = true;
        out[bin] = std::min(out[bin], spread);
    };
    if (kinds.size() < kGram) {
        add(crc32(0, bytes_of(kinds), static_cast<uInt>(kinds.size())));
    } else {
        grams.clear();
        for (std::size_t p = 0; p + kGram <= kinds.size(); ++p) {
            std::uint32_t g = 0;
            for (std::size_t k = 0; k < kGram; ++k) g = (g << 8) | static_cast<unsigned char>(kinds[p + k]);
            grams.push_back(g);
        }
        std::sort(grams.begin(), grams.end());
        for (std::size_t at = 0; at < grams.size();) {
            std::size_t end = at;
            while (end < grams.size() && grams[end] == grams[at]) ++end;
            std::array<Bytef, kGram> text{};
            for (std::size_t k = 0; k < kGram; ++k) text[k] = static_cast<Bytef>(grams[at] >> (8 * (kGram - 1 - k)));
            for (std::size_t repeat = 0; repeat < end - at; ++repeat) add(crc32(repeat, text.data(), kGram));
            at = end;
        }
    }
    std::size_t first = 0;
    while (!filled[first]) ++first;
    std::size_t next = first + bins;
    for (std::size_t b = bins; b-- > 0;) {
        if (filled[b]) {
            next = b;
        } else {
            out[b] = out[next % bins] ^ (static_cast<std::uint64_t>(next - b) * kEmpty);
        }
    }
}

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
        // Kinds held by each sequence, with their counts, in code order: the
        // bound on shared kinds reads two of these side by side.
        kind_start_.reserve(seqs.size() + 1);
        kind_start_.push_back(0);
        std::array<std::uint32_t, 256> count{};
        for (std::string_view s : seqs) {
            for (char c : s) ++count[static_cast<unsigned char>(c)];
            for (std::size_t c = 0; c < 256; ++c) {
                if (count[c] != 0) kinds_.push_back(Kind{static_cast<std::uint8_t>(c), count[c]});
                count[c] = 0;
            }
            kind_start_.push_back(kinds_.size());
        }
    }

    SearchResult run() {
        candidates();
        families();
        return std::move(result_);
    }

private:
    struct Kind {
        std::uint8_t code;
        std::uint32_t count;
    };

    std::size_t length(std::uint32_t i) const { return seqs_[i].size(); }

    // Lower bound of the edit distance: every element of the longer sequence
    // that the shorter cannot match costs an edit, and at most the kinds the
    // two have in common (counted with multiplicity) can be matched.
    std::uint64_t shared_kinds(std::uint32_t a, std::uint32_t b) const {
        const Kind* x = kinds_.data() + kind_start_[a];
        const Kind* x_end = kinds_.data() + kind_start_[a + 1];
        const Kind* y = kinds_.data() + kind_start_[b];
        const Kind* y_end = kinds_.data() + kind_start_[b + 1];
        std::uint64_t common = 0;
        while (x != x_end && y != y_end) {
            if (x->code < y->code) {
                ++x;
            } else if (y->code < x->code) {
                ++y;
            } else {
                common += std::min(x->count, y->count);
                ++x;
                ++y;
            }
        }
        return common;
    }

    // Decides the pair (i, j) once; `pattern` (i or j) is the side whose match
    // table is kept between calls. True when the pair is newly found.
    bool check(std::uint32_t i, std::uint32_t j, std::uint32_t pattern) {
        if (j < i) std::swap(i, j);
        if (!checked_.insert((std::uint64_t{i} << 32) | j)) return false;
        const std::size_t li = length(i);
        const std::size_t lj = length(j);
        const std::size_t longer = std::max(li, lj);
        const std::size_t shorter = std::min(li, lj);
        if (static_cast<double>(shorter) < params_.min_similarity * static_cast<double>(longer)) return false;
        ++result_.compared;
        cancel_.tick(longer);
        const std::int64_t admissible = admissible_[longer];
        if (admissible < 0) return false;
        const auto limit = static_cast<std::uint64_t>(admissible);
        if (longer - shorter > limit || longer - shared_kinds(i, j) > limit) return false;
        ++result_.distances;
        if (loaded_ != pattern) {
            table_.load(seqs_[pattern]);
            loaded_ = pattern;
        }
        const std::uint64_t d = bounded_against(table_, seqs_[pattern == i ? j : i], limit, vp_, vn_);
        cancel_.tick(longer * table_.words());
        if (d > limit) return false;
        result_.pairs.push_back(Pair{i, j, static_cast<std::uint32_t>(d)});
        neighbours_[i].push_back(j);
        neighbours_[j].push_back(i);
        return true;
    }

    void candidates() {
        const std::size_t n = seqs_.size();
        const std::size_t bands = params_.bands;
        std::vector<std::uint64_t> keys(n * bands);
        {
            std::vector<std::uint32_t> grams;
            std::vector<std::uint64_t> bins;
            for (std::size_t i = 0; i < n; ++i) {
                sketch(seqs_[i], std::size_t{params_.bands} * params_.rows, grams, bins);
                keys_of(bins, params_, keys.data() + i * bands);
                cancel_.tick(seqs_[i].size());
            }
        }
        // Sequences in length order (ties by index): each band's buckets list
        // their members in this order.
        std::vector<std::uint32_t> order(n);
        for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<std::uint32_t>(i);
        std::stable_sort(order.begin(), order.end(),
                         [&](std::uint32_t a, std::uint32_t b) { return length(a) < length(b); });
        // Per band: the members sorted by (key, rank), so that a bucket is a
        // run of members in length order; and per sequence and band, the
        // run of bucket members it meets: the next `window` from the first
        // one of its own length on (none when it is alone in its bucket).
        std::vector<std::uint32_t> members(n * bands);
        std::vector<std::pair<std::uint32_t, std::uint32_t>> meets(n * bands);
        {
            std::vector<std::pair<std::uint64_t, std::uint32_t>> by_key(n);
            for (std::size_t band = 0; band < bands; ++band) {
                for (std::size_t r = 0; r < n; ++r) by_key[r] = {keys[order[r] * bands + band], static_cast<std::uint32_t>(r)};
                std::sort(by_key.begin(), by_key.end());
                std::uint32_t* mem = members.data() + band * n;
                for (std::size_t k = 0; k < n; ++k) mem[k] = order[by_key[k].second];
                for (std::size_t at = 0; at < n;) {
                    std::size_t end = at;
                    while (end < n && by_key[end].first == by_key[at].first) ++end;
                    std::size_t same = at;  // the first member of the current length
                    for (std::size_t k = at; k < end; ++k) {
                        if (length(mem[k]) != length(mem[same])) same = k;
                        const std::size_t stop = end - at == 1 ? same : std::min(same + params_.window + 1, end);
                        meets[std::size_t{mem[k]} * bands + band] = {static_cast<std::uint32_t>(same),
                                                                      static_cast<std::uint32_t>(stop)};
                    }
                    at = end;
                }
                cancel_.tick(n);
            }
        }

        std::vector<std::uint16_t> agree(n, 0);
        std::vector<std::uint32_t> mates;  // in the order first met
        for (std::uint32_t i : order) {
            const std::size_t li = length(i);
            const auto* met = meets.data() + std::size_t{i} * bands;
            for (std::size_t band = 0; band < bands; ++band) {
                const std::uint32_t* mem = members.data() + band * n;
                for (std::size_t p = met[band].first; p < met[band].second; ++p) {
                    if (agree[mem[p]]++ == 0) mates.push_back(mem[p]);
                }
            }
            for (std::uint32_t j : mates) {
                const std::uint16_t agreed = agree[j];
                agree[j] = 0;
                if (agreed < params_.min_bands) continue;
                const std::size_t lj = length(j);
                if (lj < li || (lj == li && j <= i)) continue;  // the pair is met from its shorter side
                if (static_cast<double>(li) < params_.min_similarity * static_cast<double>(lj)) continue;
                check(i, j, i);
            }
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
                    if (z != y && check(y, z, y)) work.emplace_back(std::min(y, z), std::max(y, z));
                }
            }
        }
    }

    std::span<const std::string_view> seqs_;
    const SearchParams& params_;
    core::Cancel& cancel_;
    std::vector<std::vector<std::uint32_t>> neighbours_;
    std::vector<std::int64_t> admissible_;  // by the longer length
    std::vector<Kind> kinds_;
    std::vector<std::size_t> kind_start_;
    PairSet checked_;
    MatchTable table_;
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
    std::vector<std::uint32_t> grams;
    std::vector<std::uint64_t> bins;
    sketch(kinds, std::size_t{params.bands} * params.rows, grams, bins);
    std::vector<std::uint64_t> keys(params.bands);
    keys_of(bins, params, keys.data());
    return keys;
}

SearchResult near_pairs(std::span<const std::string_view> seqs, const SearchParams& params, core::Cancel& cancel) {
    return Search(seqs, params, cancel).run();
}

}  // namespace velmora::duplicates
