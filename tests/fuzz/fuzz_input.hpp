// Reads a fuzzer's byte string as a stream of small decisions. Running out
// of bytes yields zeros, so every input decodes to some valid case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace fuzz {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    bool empty() const { return pos_ >= size_; }
    // The bytes not read yet, as text.
    std::string_view rest() {
        std::string_view r(reinterpret_cast<const char*>(data_) + pos_, size_ - pos_);
        pos_ = size_;
        return r;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// A differential check failed: print what differed and abort, so the
// fuzzer saves the input.
[[noreturn]] inline void mismatch(const char* what) {
    std::fprintf(stderr, "mismatch: %s\n", what);
    std::abort();
}

inline void expect(bool ok, const char* what) {
    if (!ok) mismatch(what);
}

}  // namespace fuzz
