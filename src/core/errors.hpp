// Failure and interruption signals shared by every algorithm of the core.
// The core never sees Python: a failed internal check throws a Failure that
// names what went wrong and carries the facts that go with it, and a long
// loop asks a Cancel hook whether to stop and throws Interrupted. The glue
// turns both into Python exceptions at the boundary, and owns the wording.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::core {

// What a failed check found.
enum class Fault : std::uint8_t {
    kCycle,             // forward edges close a cycle; `node` lies on it
    kNoEntry,           // a look-up that every caller makes sure of missed
    kCompressor,        // zlib reported an error; `detail` is zlib's own text
    kEmptyText,         // a compression ratio was asked of no bytes
    kCycleSearch,       // the search for a node on a known cycle lost its way
    kGraphNumbering,    // a graph has more ids or edges than 32 bits number
    kTooManyBlocks,     // the counts below exceed the 32-bit positions
    kTooManyAdmittedEdges,
    kTooManyIds,
    kTooManyTexts,
};

// Thrown by a failed internal check. Plain data, so throwing it allocates
// nothing beyond the exception object itself.
struct Failure {
    Fault fault{};
    std::uint64_t node = 0;        // kCycle
    const char* detail = nullptr;  // kCompressor: static text owned by zlib
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

    // No hook: the loop runs to its end.
    Cancel() = default;
    Cancel(Fn fn, void* ctx, std::uint64_t every) : fn_(fn), ctx_(ctx), every_(every), left_(every) {}

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
    std::uint64_t every_ = 0;
    std::uint64_t left_ = 0;
};

// Positions in the core's dense graphs are 32-bit; the all-ones value means
// "no position".
inline constexpr std::uint32_t kNone = 0xFFFFFFFFu;

// Checks that `count` items fit the 32-bit numbering; `fault` says which.
inline void require_u32(std::size_t count, Fault fault) {
    if (count >= kNone) throw Failure{fault};
}

}  // namespace velmora::core
