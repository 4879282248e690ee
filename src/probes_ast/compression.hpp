// Compressibility of source text: how many bytes a level-9 zlib stream of a
// text takes, relative to the text. Only the length of the stream matters,
// so the compressed bytes are drained through a small buffer and counted,
// never kept.
#pragma once

#include "core/errors.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::probes {

// Compressed size of a text and its (damped) ratio.
struct Measure {
    std::uint64_t compressed_size = 0;
    double ratio = 0.0;
    std::uint64_t length = 0;  // bytes that were compressed
};

// What calculate_entropy_detailed reports about a whole text.
struct Detailed {
    double ratio = 0.0;
    std::uint64_t compressed_size = 0;
    std::uint64_t original_size = 0;  // bytes after line-ending normalization
    const char* interpretation = "empty";
};

// Every CR LF replaced by LF, in one left-to-right pass over non-overlapping
// pairs; the output is not scanned again.
std::string normalize_line_endings(std::string_view text);

// The ratio after pulling short texts toward 0.5: `length` is the byte count
// of the compressed text, `raw` the plain compressed/original ratio.
double damp(double raw, std::uint64_t length);

// The label of a ratio; every threshold is a strict less-than.
const char* interpret(double ratio);

// One deflate stream at level 9 with zlib's default window, memory level and
// strategy, reused across texts: set-up once, a reset between texts.
class Compressor {
public:
    explicit Compressor(core::Cancel& cancel);
    ~Compressor();
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;

    // Normalizes line endings of `text` and measures the normalized bytes.
    // `text` must normalize to at least one byte (any non-empty text does).
    Measure measure(std::string_view text);

    // Size of the complete zlib stream of exactly these bytes.
    std::uint64_t stream_size(std::string_view bytes);

private:
    struct Stream;
    Stream& stream_for(std::size_t length);

    core::Cancel& cancel_;
    std::unique_ptr<Stream> full_;
    std::unique_ptr<Stream> small_;
    std::string scratch_;
};

// `compressed_ratio` of an already normalized, non-empty text.
Measure compressed_ratio(std::string_view normalized, core::Cancel& cancel);

// Ratio of the whole text (0.0 for the empty text).
double kolmogorov_proxy(std::string_view source, core::Cancel& cancel);

// Ratio of every block of `block_size` code points, in order; blocks are
// normalized after cutting. Empty for an empty text or a block size of 0.
std::vector<double> block_entropy(std::string_view source, std::uint64_t block_size, core::Cancel& cancel);

// Population variance with both sums taken in block order; 0.0 for fewer
// than two values.
double variance(const std::vector<double>& values);

Detailed entropy_detailed(std::string_view source, core::Cancel& cancel);

}  // namespace velmora::probes
