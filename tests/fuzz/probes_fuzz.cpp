// Differential fuzzing of the text probes against a plain model: normalize
// with one left-to-right pass, compress with zlib's one-shot compress2 at
// level 9, damp short texts, cut blocks by code points. Any input must give
// bit-identical ratios, sizes, labels and variances, and must never touch
// memory it should not (the harness runs under ASan and UBSan).
#include <zlib.h>

#include <bit>
#include <cmath>
#include <string>
#include <vector>

#include "probes_ast/compression.hpp"
#include "fuzz_input.hpp"

using namespace velmora;

namespace {

std::string model_normalize(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') continue;
        out.push_back(s[i]);
    }
    return out;
}

std::uint64_t model_stream_size(std::string_view s) {
    uLongf size = compressBound(static_cast<uLong>(s.size()));
    std::vector<Bytef> buf(size);
    if (compress2(buf.data(), &size, reinterpret_cast<const Bytef*>(s.data()), static_cast<uLong>(s.size()), 9) !=
        Z_OK) {
        fuzz::mismatch("compress2 failed");
    }
    return size;
}

double model_ratio(std::string_view normalized) {
    const double length = static_cast<double>(normalized.size());
    const double raw = static_cast<double>(model_stream_size(normalized)) / length;
    if (normalized.size() >= 200 || !(raw > 0.5)) return raw;
    const double f = length / 200.0;
    return ((1.0 - f) * 0.5) + (f * raw);
}

const char* model_label(double r) {
    if (r < 0.2) return "extreme redundancy (possible boilerplate or repetitive data)";
    if (r < 0.5) return "low entropy (standard well-structured code)";
    if (r < 0.8) return "moderate entropy (complex or dense logic)";
    return "high entropy (low redundancy; possible noise or obfuscation)";
}

// Code points as Python hands them over: well-formed UTF-8 sequences.
// Returns the byte offset of every code point, or nothing if malformed.
bool code_points(std::string_view s, std::vector<std::size_t>& starts) {
    for (std::size_t i = 0; i < s.size();) {
        const auto lead = static_cast<unsigned char>(s[i]);
        std::size_t len = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        if (len == 0 || i + len > s.size()) return false;
        for (std::size_t k = 1; k < len; ++k) {
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        }
        starts.push_back(i);
        i += len;
    }
    return true;
}

// Bit-identical, with any NaN matching any NaN (and -0.0 told from 0.0).
bool same(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

std::uint64_t pick_block_size(std::uint8_t b) {
    if (b < 200) return b % 24;
    if (b < 250) return 100u + b;
    return b == 255 ? ~std::uint64_t{0} : std::uint64_t{1} << (b - 220);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::uint64_t block_size = pick_block_size(in.byte());
    const std::string_view text = in.rest();
    core::Cancel never;

    const double proxy = probes::kolmogorov_proxy(text, never);
    const probes::Detailed detailed = probes::entropy_detailed(text, never);
    const std::vector<double> blocks = probes::block_entropy(text, block_size, never);
    const double variance = probes::variance(blocks);

    if (text.empty()) {
        fuzz::expect(proxy == 0.0 && detailed.compressed_size == 0 && detailed.original_size == 0 &&
                         std::string_view(detailed.interpretation) == "empty" && blocks.empty(),
                     "empty text");
        return 0;
    }
    const std::string normalized = model_normalize(text);
    fuzz::expect(same(proxy, model_ratio(normalized)), "kolmogorov_proxy");
    fuzz::expect(same(detailed.ratio, proxy), "detailed ratio");
    fuzz::expect(detailed.compressed_size == model_stream_size(normalized), "detailed compressed_size");
    fuzz::expect(detailed.original_size == normalized.size(), "detailed original_size");
    fuzz::expect(std::string_view(detailed.interpretation) == model_label(proxy), "interpretation");

    std::vector<std::size_t> starts;
    if (!code_points(text, starts)) return 0;  // Python never passes malformed UTF-8
    std::vector<double> want;
    if (block_size > 0) {
        for (std::size_t c = 0; c < starts.size(); c += block_size) {
            const std::size_t from = starts[c];
            const std::size_t to = starts.size() - c > block_size ? starts[c + block_size] : text.size();
            want.push_back(model_ratio(model_normalize(text.substr(from, to - from))));
        }
    }
    fuzz::expect(blocks.size() == want.size(), "block count");
    for (std::size_t i = 0; i < want.size(); ++i) fuzz::expect(same(blocks[i], want[i]), "block ratio");

    double want_variance = 0.0;
    if (want.size() >= 2) {
        double sum = 0.0;
        for (double x : want) sum += x;
        const double mean = sum / static_cast<double>(want.size());
        double squares = 0.0;
        for (double x : want) squares += (x - mean) * (x - mean);
        want_variance = squares / static_cast<double>(want.size());
    }
    fuzz::expect(same(variance, want_variance), "variance");
    return 0;
}
