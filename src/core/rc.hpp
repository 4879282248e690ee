// A non-atomic intrusive reference count for immutable shared values.
// Every caller holds the interpreter lock, so plain increments suffice.
// Types opt in by deriving from RcBase; a type can supply
// `static void rc_destroy(T*)` to free itself without recursion.
#pragma once

#include <cstdint>
#include <utility>

namespace velmora::core {

class RcBase {
public:
    // A copied or moved value starts with no references of its own.
    RcBase() = default;
    RcBase(const RcBase&) noexcept {}
    RcBase(RcBase&&) noexcept {}
    RcBase& operator=(const RcBase&) noexcept { return *this; }
    RcBase& operator=(RcBase&&) noexcept { return *this; }
    ~RcBase() = default;

    void rc_inc() const noexcept { ++count_; }
    // True when this was the last reference.
    bool rc_dec() const noexcept { return --count_ == 0; }

private:
    mutable std::uint64_t count_ = 0;
};

template <class T>
concept HasRcDestroy = requires(T* p) { T::rc_destroy(p); };

template <class T>
class Rc {
public:
    Rc() noexcept = default;
    Rc(std::nullptr_t) noexcept {}
    Rc(const Rc& o) noexcept : p_(o.p_) {
        if (p_) p_->rc_inc();
    }
    Rc(Rc&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ~Rc() { reset(); }

    Rc& operator=(const Rc& o) noexcept {
        Rc copy(o);
        std::swap(p_, copy.p_);
        return *this;
    }
    Rc& operator=(Rc&& o) noexcept {
        Rc taken(std::move(o));
        std::swap(p_, taken.p_);
        return *this;
    }

    template <class... Args>
    static Rc make(Args&&... args) {
        Rc r;
        r.p_ = new T(std::forward<Args>(args)...);
        r.p_->rc_inc();
        return r;
    }

    // Takes over a freshly allocated object (count 0).
    static Rc adopt(T* p) noexcept {
        Rc r;
        r.p_ = p;
        if (p) p->rc_inc();
        return r;
    }

    void reset() noexcept {
        T* p = std::exchange(p_, nullptr);
        if (p && p->rc_dec()) destroy(p);
    }

    T* get() const noexcept { return p_; }
    T& operator*() const noexcept { return *p_; }
    T* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // Releases ownership without touching the count (used by iterative
    // destruction, which takes nodes apart by hand).
    T* leak() noexcept { return std::exchange(p_, nullptr); }

private:
    static void destroy(T* p) noexcept {
        if constexpr (HasRcDestroy<T>) {
            T::rc_destroy(p);
        } else {
            delete p;
        }
    }

    T* p_ = nullptr;
};

}  // namespace velmora::core
