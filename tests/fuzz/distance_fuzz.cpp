// Differential fuzzing of the sequence distance against the textbook
// table: fill D row by row, then trace one script back taking the first
// rule that holds (match, substitution, insertion, deletion). The
// bit-vector columns, the kept checkpoints at any spacing, the prefix and
// suffix trimming and the renumbering of large symbols must all give the
// same distance and the same three counts. The text interner is checked
// on the side: equal texts share a symbol, and symbols are dense.
#include <map>
#include <string>
#include <vector>

#include "profunctors/sequence_distance.hpp"
#include "fuzz_input.hpp"

using namespace velmora;

namespace {

profunctors::EditCounts model(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
    const std::size_t m = a.size();
    const std::size_t n = b.size();
    std::vector<std::vector<std::uint64_t>> d(m + 1, std::vector<std::uint64_t>(n + 1));
    for (std::size_t i = 0; i <= m; ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= n; ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= m; ++i) {
        for (std::size_t j = 1; j <= n; ++j) {
            if (a[i - 1] == b[j - 1]) {
                d[i][j] = d[i - 1][j - 1];
            } else {
                std::uint64_t best = d[i - 1][j] < d[i][j - 1] ? d[i - 1][j] : d[i][j - 1];
                if (d[i - 1][j - 1] < best) best = d[i - 1][j - 1];
                d[i][j] = best + 1;
            }
        }
    }
    profunctors::EditCounts c;
    c.distance = d[m][n];
    std::size_t i = m;
    std::size_t j = n;
    while (i > 0 || j > 0) {
        if (i > 0 && j > 0 && a[i - 1] == b[j - 1]) {
            --i, --j;
        } else if (i > 0 && j > 0 && d[i][j] == d[i - 1][j - 1] + 1) {
            ++c.substitutions, --i, --j;
        } else if (j > 0 && d[i][j] == d[i][j - 1] + 1) {
            ++c.insertions, --j;
        } else if (i > 0 && d[i][j] == d[i - 1][j] + 1) {
            ++c.deletions, --i;
        } else {
            fuzz::mismatch("model traceback stuck");
        }
    }
    return c;
}

void check_interner(std::string_view bytes) {
    profunctors::SymbolTable table;
    std::map<std::string, std::uint32_t> seen;
    std::size_t from = 0;
    while (from <= bytes.size()) {
        std::size_t to = bytes.find('\x00', from);
        if (to == std::string_view::npos) to = bytes.size();
        const std::string text(bytes.substr(from, to - from));
        const std::uint32_t id = table.intern(text);
        auto [it, fresh] = seen.emplace(text, id);
        fuzz::expect(fresh ? id == seen.size() - 1 : it->second == id, "interned symbol");
        from = to + 1;
    }
    fuzz::expect(table.size() == seen.size(), "interner size");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const unsigned split = in.byte() | (unsigned{in.byte()} << 8);
    const std::uint8_t knobs = in.byte();
    const unsigned alphabet = 1u + (in.byte() % 12);
    // Symbols far from 0 make the core renumber them before use.
    const std::uint32_t offset = (knobs & 0x80) != 0 ? 0xFFFFFF00u : 0u;
    const std::string_view rest = in.rest();
    check_interner(rest);

    std::vector<std::uint32_t> symbols;
    for (char ch : rest) symbols.push_back(offset + static_cast<unsigned char>(ch) % alphabet);
    const std::size_t m = split % (symbols.size() + 1);
    const std::vector<std::uint32_t> source(symbols.begin(), symbols.begin() + static_cast<std::ptrdiff_t>(m));
    const std::vector<std::uint32_t> target(symbols.begin() + static_cast<std::ptrdiff_t>(m), symbols.end());

    profunctors::DistanceTuning tuning;
    tuning.checkpoint_spacing = knobs & 0x0F;
    tuning.trim = (knobs & 0x10) != 0;
    core::Cancel never;
    const profunctors::EditCounts got = profunctors::sequence_distance(source, target, never, tuning);
    const profunctors::EditCounts want = model(source, target);
    fuzz::expect(got.distance == want.distance, "distance");
    fuzz::expect(got.insertions == want.insertions, "insertions");
    fuzz::expect(got.deletions == want.deletions, "deletions");
    fuzz::expect(got.substitutions == want.substitutions, "substitutions");
    return 0;
}
