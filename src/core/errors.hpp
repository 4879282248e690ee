// Failure and interruption signals shared by every algorithm of the core.
// The core never sees Python: a failed internal check throws Panic, and a
// long loop asks a Cancel hook whether to stop and throws Interrupted. The
// glue turns both into Python exceptions at the boundary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace velmora::core {

// A failed internal check. Its message is the check's fixed text.
class Panic : public std::runtime_error {
public:
    explicit Panic(const std::string& message) : std::runtime_error(message) {}
};

// Thrown by Cancel::poll when the hook asked to stop. The hook has already
// recorded why (in Python: the pending KeyboardInterrupt).
struct Interrupted {};

// A stop hook for long loops. Loops call tick() once per unit of work; the
// hook itself runs only every `every` ticks, so a hot loop pays a decrement
// and a branch.
class Cancel {
public:
    using Fn = bool (*)(void* ctx);

    Cancel() = default;
    Cancel(Fn fn, void* ctx, std::uint64_t every = 1u << 20) : fn_(fn), ctx_(ctx), every_(every), left_(every) {}

    // Counts `units` of work; asks the hook when the budget is spent.
    void tick(std::uint64_t units = 1) {
        if (fn_ == nullptr) return;
        if (left_ > units) {
            left_ -= units;
            return;
        }
        left_ = every_;
        poll();
    }

    // Asks the hook now.
    void poll() const {
        if (fn_ != nullptr && fn_(ctx_)) throw Interrupted{};
    }

private:
    Fn fn_ = nullptr;
    void* ctx_ = nullptr;
    std::uint64_t every_ = 1u << 20;
    std::uint64_t left_ = 1u << 20;
};

// The message of the check that guards every id-to-index look-up.
inline constexpr const char* kNoEntry = "no entry found for key";

// Positions in the core's dense graphs are 32-bit; the all-ones value means
// "no position".
inline constexpr std::uint32_t kNone = 0xFFFFFFFFu;

// Checks that `count` items fit the 32-bit numbering.
inline void require_u32(std::size_t count, const char* what) {
    if (count >= kNone) throw Panic(std::string(what) + " exceeds the 32-bit index range");
}

}  // namespace velmora::core
