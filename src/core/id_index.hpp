// An open-addressing hash map from 64-bit caller ids to dense 32-bit
// positions. Used where caller ids are interned (graph construction,
// curvature edge lists); the algorithms behind it work on the dense
// positions only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/errors.hpp"

namespace velmora::core {

class IdIndex {
public:
    IdIndex() { rehash(16); }
    explicit IdIndex(std::size_t expected) { rehash(capacity_for(expected)); }

    std::size_t size() const noexcept { return size_; }

    // Position of `id`, or kNone.
    std::uint32_t find(std::uint64_t id) const noexcept {
        std::size_t i = slot(id);
        while (true) {
            const Entry& e = table_[i];
            if (e.value == kNone) return kNone;
            if (e.key == id) return e.value;
            i = (i + 1) & mask_;
        }
    }

    // Position of `id`; a new id gets position size() (first-appearance
    // order). `inserted` tells which happened.
    std::uint32_t intern(std::uint64_t id, bool& inserted) {
        if ((size_ + 1) * 4 > table_.size() * 3) rehash(table_.size() * 2);
        std::size_t i = slot(id);
        while (true) {
            Entry& e = table_[i];
            if (e.value == kNone) {
                require_u32(size_ + 1, Fault::kTooManyIds);
                e.key = id;
                e.value = static_cast<std::uint32_t>(size_++);
                inserted = true;
                return e.value;
            }
            if (e.key == id) {
                inserted = false;
                return e.value;
            }
            i = (i + 1) & mask_;
        }
    }

    std::uint32_t intern(std::uint64_t id) {
        bool inserted = false;
        return intern(id, inserted);
    }

private:
    struct Entry {
        std::uint64_t key = 0;
        std::uint32_t value = kNone;
    };

    static std::size_t capacity_for(std::size_t expected) {
        std::size_t cap = 16;
        while (cap * 3 < expected * 4 + 4) cap *= 2;
        return cap;
    }

    // splitmix64 finaliser: caller ids are often small consecutive numbers,
    // which must not pile up in neighbouring slots.
    std::size_t slot(std::uint64_t id) const noexcept {
        std::uint64_t z = id + 0x9E3779B97F4A7C15ull;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        return static_cast<std::size_t>(z) & mask_;
    }

    // The new table is allocated before anything changes, so a failed
    // allocation leaves the index as it was.
    void rehash(std::size_t cap) {
        std::vector<Entry> grown(cap);
        std::vector<Entry> old;
        old.swap(table_);
        table_.swap(grown);
        mask_ = cap - 1;
        for (const Entry& e : old) {
            if (e.value == kNone) continue;
            std::size_t i = slot(e.key);
            while (table_[i].value != kNone) i = (i + 1) & mask_;
            table_[i] = e;
        }
    }

    std::vector<Entry> table_;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
};

}  // namespace velmora::core
