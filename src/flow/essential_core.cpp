// McCabe's essential complexity ev(G) by reduction.
//
// The graph is restricted to the blocks reachable from the entry, taken as
// a simple graph (parallel edges are one edge, an edge from a block to
// itself is dropped), and reduced until no rule applies:
//   (series)   a block other than entry and exit with exactly one
//              predecessor and one successor becomes an edge between them;
//   (sequence) a block other than entry and exit whose only predecessor
//              has no other successor is merged into that predecessor (two
//              blocks in a row are one; this closes a loop whose test holds
//              a decision, which series alone leaves as a two-block cycle);
//   (compound) a block marked as the second half of one decision, whose
//              only predecessor t is the first half (or the block the first
//              half was merged into), where t branches to it and to n and it
//              branches to n and to some x other than t, is merged into t.
// Merging keeps the graph simple: a new edge that already exists, or that
// would be a self-loop, is not added (the parallel and loop rules).
// ev = E - N + 2 of what remains. Every rule removes a single-entry,
// single-exit piece, so the result does not depend on the order of
// application; a work list revisits only the blocks next to a change.
// Structured code reduces to the entry and the exit alone (ev 1); every
// jump out of the middle of a construct (a break in a nested if, a return
// inside a loop) leaves a knot behind.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "flow/flow.hpp"

namespace velmora::flow {

namespace {

constexpr std::uint32_t kEntry = 0;
constexpr std::uint32_t kExit = 1;

// A small set of block numbers: adjacency in these graphs is a few blocks
// at most, except the joins of long switches.
struct Set {
    std::vector<std::uint32_t> items;
    bool add(std::uint32_t x) {
        if (std::find(items.begin(), items.end(), x) != items.end()) return false;
        items.push_back(x);
        return true;
    }
    void drop(std::uint32_t x) {
        auto it = std::find(items.begin(), items.end(), x);
        if (it != items.end()) {
            *it = items.back();
            items.pop_back();
        }
    }
    bool has(std::uint32_t x) const { return std::find(items.begin(), items.end(), x) != items.end(); }
    std::size_t size() const { return items.size(); }
};

}  // namespace

struct Workspace::Reducer {
public:
    std::uint64_t run(const FlowGraph& g) {
        load(g);
        while (!work_.empty()) {
            const std::uint32_t v = work_.back();
            work_.pop_back();
            queued_[v] = 0;
            if (live_[v] != 0 && v != kEntry && v != kExit) visit(v);
        }
        std::int64_t nodes = 0;
        std::int64_t edges = 0;
        for (std::uint32_t v = 0; v < n_; ++v) {
            if (live_[v] == 0) continue;
            ++nodes;
            edges += static_cast<std::int64_t>(succ_[v].size());
        }
        return static_cast<std::uint64_t>(edges - nodes + 2);
    }

private:
    std::uint32_t n_ = 0;
    std::vector<Set> succ_, pred_;
    std::vector<std::uint8_t> live_, queued_;
    // guard_[v]: the first half of the decision whose second half is v, or
    // kNone. merged_[v]: the block v was merged into, kNone while v stands,
    // kRemoved when the series rule dissolved it into an edge.
    std::vector<std::uint32_t> guard_, merged_;
    static constexpr std::uint32_t kRemoved = core::kNone - 1;
    std::vector<std::uint32_t> work_, touched_, outs_;

    void load(const FlowGraph& g) {
        n_ = g.block_count;
        const std::size_t m = g.source.size();
        if (succ_.size() < n_) {
            succ_.resize(n_);
            pred_.resize(n_);
        }
        for (std::uint32_t v = 0; v < n_; ++v) {
            succ_[v].items.clear();
            pred_[v].items.clear();
        }
        live_.assign(n_, 0);
        queued_.assign(n_, 0);
        guard_.assign(n_, core::kNone);
        merged_.assign(n_, core::kNone);
        // Reachability from the entry over every edge.
        for (std::size_t i = 0; i < m; ++i) succ_[g.source[i]].items.push_back(g.target[i]);
        work_.clear();
        if (n_ > kEntry) {
            live_[kEntry] = 1;
            work_.push_back(kEntry);
        }
        while (!work_.empty()) {
            const std::uint32_t v = work_.back();
            work_.pop_back();
            for (std::uint32_t t : succ_[v].items) {
                if (live_[t] == 0) {
                    live_[t] = 1;
                    work_.push_back(t);
                }
            }
        }
        for (std::uint32_t v = 0; v < n_; ++v) succ_[v].items.clear();
        for (std::size_t i = 0; i < m; ++i) {
            const std::uint32_t s = g.source[i];
            const std::uint32_t t = g.target[i];
            if (live_[s] != 0) link(s, t);
        }
        for (auto [second, first] : g.second_halves) {
            if (live_[second] != 0 && live_[first] != 0) guard_[second] = first;
        }
        for (std::uint32_t v = n_; v-- > 0;) {
            if (live_[v] != 0) push(v);
        }
    }

    void link(std::uint32_t a, std::uint32_t b) {
        if (a != b && succ_[a].add(b)) pred_[b].add(a);
    }
    // Where block x stands now, following merges; kRemoved when it was
    // dissolved.
    std::uint32_t find(std::uint32_t x) const {
        while (x != kRemoved && merged_[x] != core::kNone) x = merged_[x];
        return x;
    }
    void remove(std::uint32_t v, std::uint32_t into) {
        merged_[v] = into;
        for (std::uint32_t a : pred_[v].items) succ_[a].drop(v);
        for (std::uint32_t b : succ_[v].items) pred_[b].drop(v);
        pred_[v].items.clear();
        succ_[v].items.clear();
        live_[v] = 0;
    }
    void push(std::uint32_t v) {
        if (queued_[v] == 0) {
            queued_[v] = 1;
            work_.push_back(v);
        }
    }

    void visit(std::uint32_t v) {
        touched_.clear();
        const Set& ps = pred_[v];
        const Set& ss = succ_[v];
        if (ps.size() == 1 && ss.size() == 1) {  // series
            const std::uint32_t a = ps.items[0];
            const std::uint32_t b = ss.items[0];
            remove(v, kRemoved);
            link(a, b);
            touched_ = {a, b};
        } else if (ps.size() == 1 && succ_[ps.items[0]].size() == 1) {  // sequence
            const std::uint32_t a = ps.items[0];
            outs_ = ss.items;
            remove(v, a);
            touched_.push_back(a);
            for (std::uint32_t b : outs_) {
                link(a, b);
                touched_.push_back(b);
            }
        } else if (guard_[v] != core::kNone && ps.size() == 1 && ss.size() == 2) {  // compound condition
            const std::uint32_t t = ps.items[0];
            if (t != find(guard_[v]) || succ_[t].size() != 2) return;
            const std::uint32_t n = succ_[t].items[0] == v ? succ_[t].items[1] : succ_[t].items[0];
            if (!ss.has(n)) return;
            const std::uint32_t x = ss.items[0] == n ? ss.items[1] : ss.items[0];
            if (x == t) return;
            remove(v, t);
            link(t, x);
            touched_ = {t, n, x};
        }
        // A change at u can enable a rule at u or at its neighbours.
        for (std::uint32_t u : touched_) {
            if (live_[u] == 0) continue;
            push(u);
            for (std::uint32_t w : pred_[u].items) push(w);
            for (std::uint32_t w : succ_[u].items) push(w);
        }
    }
};

Workspace::Workspace() : reducer_(std::make_unique<Reducer>()) {}
Workspace::~Workspace() = default;

std::uint64_t essential_complexity(const FlowGraph& g, Workspace& work) { return work.reducer().run(g); }

}  // namespace velmora::flow
