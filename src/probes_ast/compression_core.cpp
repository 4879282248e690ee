#include "probes_ast/compression.hpp"

#include <zlib.h>

#include <cstring>
#include <new>
#include <unordered_map>

namespace velmora::probes {

namespace {

// Input goes to deflate in pieces of this size: it keeps zlib's 32-bit
// counters far from overflow on huge texts and lets a long compression poll
// for Ctrl-C between pieces. Deflate's output does not depend on how its
// input is split while no flush is requested.
constexpr std::size_t kChunk = std::size_t{1} << 16;

// Work units a block costs beyond its bytes, so that runs of tiny blocks
// still reach the poll every few thousand blocks.
constexpr std::uint64_t kBlockCost = 256;

// Small blocks repeat often (a block size of 1 has as many distinct blocks
// as the text has distinct characters), so their ratios are remembered for
// the rest of the call. Texts where they rarely repeat switch the memo off
// after a trial, and it stops growing at a fixed number of entries.
constexpr std::size_t kMemoTrial = 1u << 14;
constexpr std::size_t kMemoEntries = 1u << 20;

// Texts up to this many bytes go to a stream with the smallest memory
// level. A reset clears the hash table, 64 KiB at the default level and
// 512 bytes at the smallest, which dominates for small blocks. The stream
// bytes are the same: with fewer input bytes than any chain limit, a smaller
// hash only adds colliding candidates that fail the byte comparison, and
// the 127-symbol buffer of the small stream never fills, so blocks split
// where they would anyway.
constexpr std::size_t kSmallLimit = 120;
constexpr int kDefaultMemLevel = 8;
constexpr int kSmallMemLevel = 1;

[[noreturn]] void fail(const z_stream& zs, int rc) {
    throw core::Failure{core::Fault::kCompressor, 0, zs.msg != nullptr ? zs.msg : zError(rc)};
}

std::size_t find_crlf(std::string_view text, std::size_t from) {
    const char* data = text.data();
    const std::size_t n = text.size();
    while (from + 1 < n) {
        const void* hit = std::memchr(data + from, '\r', n - 1 - from);
        if (hit == nullptr) return std::string_view::npos;
        const auto at = static_cast<std::size_t>(static_cast<const char*>(hit) - data);
        if (data[at + 1] == '\n') return at;
        from = at + 1;
    }
    return std::string_view::npos;
}

// Byte length of the UTF-8 sequence a lead byte opens. A stray
// continuation byte counts as one, so a malformed text still advances.
std::size_t sequence_length(unsigned char lead) {
    if (lead < 0xC0) return 1;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    return 4;
}

}  // namespace

// ---------------------------------------------------------------- normalization

std::string normalize_line_endings(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    for (std::size_t at = find_crlf(text, 0); at != std::string_view::npos; at = find_crlf(text, at + 2)) {
        out.append(text.substr(pos, at - pos));
        pos = at + 1;  // drop the CR; the LF opens the next run
    }
    out.append(text.substr(pos));
    return out;
}

// ---------------------------------------------------------------- ratio

double damp(double raw, std::uint64_t length) {
    if (length >= 200 || !(raw > 0.5)) return raw;
    const double f = static_cast<double>(length) / 200.0;
    return ((1.0 - f) * 0.5) + (f * raw);
}

const char* interpret(double ratio) {
    if (ratio < 0.2) return "extreme redundancy (possible boilerplate or repetitive data)";
    if (ratio < 0.5) return "low entropy (standard well-structured code)";
    if (ratio < 0.8) return "moderate entropy (complex or dense logic)";
    return "high entropy (low redundancy; possible noise or obfuscation)";
}

// ---------------------------------------------------------------- Compressor

struct Compressor::Stream {
    z_stream zs{};
    bool fresh = true;
    unsigned char out[1u << 14]{};
    std::uint64_t produced = 0;
    core::Cancel& cancel;

    Stream(int mem_level, core::Cancel& c) : cancel(c) {
        const int rc = deflateInit2(&zs, 9, Z_DEFLATED, MAX_WBITS, mem_level, Z_DEFAULT_STRATEGY);
        if (rc == Z_MEM_ERROR) throw std::bad_alloc();
        if (rc != Z_OK) fail(zs, rc);
    }
    ~Stream() { deflateEnd(&zs); }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    void begin() {
        if (!fresh) {
            const int rc = deflateReset(&zs);
            if (rc != Z_OK) fail(zs, rc);
        }
        fresh = false;
        produced = 0;
    }

    void feed(const char* data, std::size_t n) {
        while (n > 0) {
            const std::size_t piece = n < kChunk ? n : kChunk;
            cancel.tick(piece);
            zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
            zs.avail_in = static_cast<uInt>(piece);
            // Input still waiting means deflate can always make progress,
            // so anything but Z_OK is a real failure.
            while (zs.avail_in > 0) {
                zs.next_out = out;
                zs.avail_out = sizeof(out);
                const int rc = deflate(&zs, Z_NO_FLUSH);
                if (rc != Z_OK) fail(zs, rc);
                produced += sizeof(out) - zs.avail_out;
            }
            data += piece;
            n -= piece;
        }
    }

    std::uint64_t finish() {
        int rc = Z_OK;
        do {
            zs.next_out = out;
            zs.avail_out = sizeof(out);
            rc = deflate(&zs, Z_FINISH);
            if (rc != Z_OK && rc != Z_STREAM_END) fail(zs, rc);
            produced += sizeof(out) - zs.avail_out;
        } while (rc != Z_STREAM_END);
        return produced;
    }
};

Compressor::Compressor(core::Cancel& cancel) : cancel_(cancel) {}
Compressor::~Compressor() = default;

Compressor::Stream& Compressor::stream_for(std::size_t length) {
    auto& slot = length <= kSmallLimit ? small_ : full_;
    if (!slot) slot = std::make_unique<Stream>(length <= kSmallLimit ? kSmallMemLevel : kDefaultMemLevel, cancel_);
    return *slot;
}

std::uint64_t Compressor::stream_size(std::string_view bytes) {
    Stream& s = stream_for(bytes.size());
    s.begin();
    s.feed(bytes.data(), bytes.size());
    return s.finish();
}

Measure Compressor::measure(std::string_view text) {
    std::size_t at = find_crlf(text, 0);
    std::uint64_t length = text.size();
    std::uint64_t size = 0;
    if (at == std::string_view::npos) {
        // The common case: nothing to rewrite, so the text is compressed
        // where it lies.
        size = stream_size(text);
    } else {
        // The normalized text is built piece by piece in a bounded buffer;
        // long runs between pairs go to deflate directly.
        Stream& s = stream_for(text.size());
        s.begin();
        scratch_.clear();
        scratch_.reserve(kChunk);
        auto flush = [&] {
            s.feed(scratch_.data(), scratch_.size());
            scratch_.clear();
        };
        auto emit = [&](std::string_view run) {
            if (run.size() >= kChunk) {
                flush();
                s.feed(run.data(), run.size());
                return;
            }
            if (scratch_.size() + run.size() > kChunk) flush();
            scratch_.append(run);
        };
        std::size_t pos = 0;
        for (; at != std::string_view::npos; at = find_crlf(text, at + 2)) {
            emit(text.substr(pos, at - pos));
            pos = at + 1;  // drop the CR; the LF opens the next run
            --length;
        }
        emit(text.substr(pos));
        flush();
        size = s.finish();
    }
    if (length == 0) throw core::Failure{core::Fault::kEmptyText};
    const double raw = static_cast<double>(size) / static_cast<double>(length);
    return Measure{size, damp(raw, length), length};
}

// ---------------------------------------------------------------- probes

Measure compressed_ratio(std::string_view normalized, core::Cancel& cancel) {
    if (normalized.empty()) throw core::Failure{core::Fault::kEmptyText};
    Compressor c(cancel);
    const std::uint64_t size = c.stream_size(normalized);
    const double raw = static_cast<double>(size) / static_cast<double>(normalized.size());
    return Measure{size, damp(raw, normalized.size()), normalized.size()};
}

double kolmogorov_proxy(std::string_view source, core::Cancel& cancel) {
    // The empty text is answered without compressing: there is no ratio
    // to take of zero bytes.
    if (source.empty()) return 0.0;
    Compressor c(cancel);
    return c.measure(source).ratio;
}

std::vector<double> block_entropy(std::string_view source, std::uint64_t block_size, core::Cancel& cancel) {
    std::vector<double> out;
    if (source.empty() || block_size == 0) return out;
    Compressor c(cancel);
    // Keys are views of the caller's text, which outlives the call.
    std::unordered_map<std::string_view, double> memo;
    bool memo_on = true;
    std::size_t lookups = 0;
    std::size_t hits = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(source.data());
    const std::size_t n = source.size();
    std::size_t start = 0;
    while (start < n) {
        std::size_t end = start;
        if (n - start <= block_size) {
            // A text has at least as many bytes as code points, so the
            // rest fits in one block without walking it.
            end = n;
        } else {
            for (std::uint64_t left = block_size; left > 0 && end < n; --left) end += sequence_length(bytes[end]);
            if (end > n) end = n;
        }
        const std::string_view block = source.substr(start, end - start);
        cancel.tick(kBlockCost + block.size());
        if (memo_on && block.size() <= kSmallLimit) {
            ++lookups;
            auto found = memo.find(block);
            if (found != memo.end()) {
                ++hits;
                out.push_back(found->second);
            } else {
                const double ratio = c.measure(block).ratio;
                if (memo.size() < kMemoEntries) memo.emplace(block, ratio);
                out.push_back(ratio);
            }
            if (lookups == kMemoTrial && hits < lookups / 8) {
                memo_on = false;
                memo = {};
            }
        } else {
            out.push_back(c.measure(block).ratio);
        }
        start = end;
    }
    return out;
}

double variance(const std::vector<double>& values) {
    if (values.size() < 2) return 0.0;
    const auto n = static_cast<double>(values.size());
    double sum = 0.0;
    for (double v : values) sum += v;
    const double mean = sum / n;
    double squares = 0.0;
    for (double v : values) squares += (v - mean) * (v - mean);
    return squares / n;
}

Detailed entropy_detailed(std::string_view source, core::Cancel& cancel) {
    Detailed d;
    if (source.empty()) return d;
    Compressor c(cancel);
    const Measure m = c.measure(source);
    d.ratio = m.ratio;
    d.compressed_size = m.compressed_size;
    d.original_size = m.length;
    d.interpretation = interpret(m.ratio);
    return d;
}

}  // namespace velmora::probes
