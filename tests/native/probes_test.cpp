// Core checks the interpreter cannot reach: malformed UTF-8 (Python hands
// over valid text only) and the plain normalization helper.
#include "probes_ast/compression.hpp"

#include <cstdio>
#include <string>

using namespace velmora;

static int failures = 0;

static void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "FAIL: %s\n", what);
        ++failures;
    }
}

int main() {
    check(probes::normalize_line_endings("a\r\nb") == "a\nb", "pair");
    check(probes::normalize_line_endings("\r\r\n\n\r") == "\r\n\n\r", "one pass, lone CRs kept");
    check(probes::normalize_line_endings("") == "", "empty");

    core::Cancel cancel;
    // A 4-byte lead with its tail cut off, and stray continuation bytes:
    // every block stays inside the text and every byte is measured once.
    const std::string bad = std::string("ab\xF0\x9F", 4) + std::string("\x80\x80z", 3) + std::string("\xF0", 1);
    for (std::uint64_t k = 1; k < 10; ++k) {
        const auto values = probes::block_entropy(bad, k, cancel);
        check(!values.empty() && values.size() <= bad.size(), "malformed text gives blocks");
    }
    check(probes::block_entropy(bad, 100, cancel).size() == 1, "one block");

    // Streams reused across texts give the same answer as a fresh one.
    probes::Compressor c(cancel);
    const std::string long_text(5000, 'q');
    const auto first = c.measure("hello\r\nworld");
    c.measure(long_text);
    c.measure("x");
    const auto again = c.measure("hello\r\nworld");
    check(first.compressed_size == again.compressed_size && first.ratio == again.ratio, "reset stream");
    check(first.length == 11, "normalized length");
    check(probes::compressed_ratio("a", cancel).compressed_size == 9, "one byte is a 9-byte stream");

    bool panicked = false;
    try {
        probes::compressed_ratio("", cancel);
    } catch (const core::Failure& e) {
        panicked = e.fault == core::Fault::kEmptyText;
    }
    check(panicked, "empty text is refused");
    return failures == 0 ? 0 : 1;
}
