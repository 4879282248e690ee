// McCabe's essential complexity ev(G) by reduction.
//
// The graph is restricted to the blocks reachable from the entry and then
// reduced until no rule applies:
//   (loop)     a self-loop is removed;
//   (parallel) edges with the same source and target become one;
//   (series)   a block other than entry and exit with exactly one incoming
//              and one outgoing edge becomes an edge from its predecessor to
//              its successor (a self-loop when they are the same block);
//   (compound) a block marked as the second half of one decision, whose
//              only predecessor t branches to it and to n, and which itself
//              branches to n and to some x other than t, is merged into t.
// ev = E - N + 2 of what remains. Each rule removes an edge or a block, so
// the work is bounded by the graph's size; a work list revisits only the
// blocks next to a change. Structured code reduces to one edge from the
// entry to the exit (ev 1); every jump out of the middle of a construct
// (a break in a nested if, a return inside a loop) leaves a knot behind.
#include <cstdint>
#include <vector>

#include "flow/flow.hpp"

namespace velmora::flow {

namespace {

constexpr std::uint32_t kEntry = 0;
constexpr std::uint32_t kExit = 1;

class Reducer {
public:
    std::uint64_t run(const FlowGraph& g) {
        load(g);
        while (!work_.empty()) {
            const std::uint32_t v = work_.back();
            work_.pop_back();
            queued_[v] = 0;
            if (live_[v] != 0) visit(v);
        }
        std::int64_t nodes = 0;
        std::int64_t edges = 0;
        for (std::uint32_t v = 0; v < live_.size(); ++v) {
            if (live_[v] == 0) continue;
            ++nodes;
            edges += outdeg_[v];
        }
        return static_cast<std::uint64_t>(edges - nodes + 2);
    }

private:
    std::vector<std::uint32_t> src_, dst_;
    std::vector<std::uint8_t> alive_;
    std::vector<std::vector<std::uint32_t>> out_, in_;
    std::vector<std::uint32_t> indeg_, outdeg_, stamp_, work_;
    std::vector<std::uint8_t> live_, queued_, second_;
    std::uint32_t clock_ = 0;

    void load(const FlowGraph& g) {
        const std::uint32_t n = g.block_count;
        const std::size_t m = g.source.size();
        out_.resize(n);
        in_.resize(n);
        for (std::uint32_t v = 0; v < n; ++v) {
            out_[v].clear();
            in_[v].clear();
        }
        indeg_.assign(n, 0);
        outdeg_.assign(n, 0);
        stamp_.assign(n, 0);
        live_.assign(n, 0);
        queued_.assign(n, 0);
        second_.assign(n, 0);
        clock_ = 0;
        for (std::uint32_t b : g.second_halves) second_[b] = 1;
        // Blocks reachable from the entry, over every edge.
        std::vector<std::vector<std::uint32_t>>& succ = out_;
        for (std::size_t i = 0; i < m; ++i) succ[g.source[i]].push_back(g.target[i]);
        work_.clear();
        if (n > kEntry) {
            live_[kEntry] = 1;
            work_.push_back(kEntry);
        }
        while (!work_.empty()) {
            const std::uint32_t v = work_.back();
            work_.pop_back();
            for (std::uint32_t t : succ[v]) {
                if (live_[t] == 0) {
                    live_[t] = 1;
                    work_.push_back(t);
                }
            }
        }
        for (std::uint32_t v = 0; v < n; ++v) succ[v].clear();
        src_.clear();
        dst_.clear();
        alive_.clear();
        for (std::size_t i = 0; i < m; ++i) {
            const std::uint32_t s = g.source[i];
            const std::uint32_t t = g.target[i];
            if (live_[s] == 0) continue;
            add_edge(s, t);
        }
        for (std::uint32_t v = 0; v < n; ++v) {
            if (live_[v] != 0) push(v);
        }
    }

    std::uint32_t add_edge(std::uint32_t s, std::uint32_t t) {
        const auto id = static_cast<std::uint32_t>(src_.size());
        src_.push_back(s);
        dst_.push_back(t);
        alive_.push_back(1);
        out_[s].push_back(id);
        in_[t].push_back(id);
        ++outdeg_[s];
        ++indeg_[t];
        return id;
    }
    void kill(std::uint32_t e) {
        alive_[e] = 0;
        --outdeg_[src_[e]];
        --indeg_[dst_[e]];
    }
    void push(std::uint32_t v) {
        if (queued_[v] == 0) {
            queued_[v] = 1;
            work_.push_back(v);
        }
    }
    // Drops dead edges from a list.
    void compact(std::vector<std::uint32_t>& list) {
        std::size_t k = 0;
        for (std::uint32_t e : list) {
            if (alive_[e] != 0) list[k++] = e;
        }
        list.resize(k);
    }

    void visit(std::uint32_t v) {
        // (loop) and (parallel) over v's out-edges.
        compact(out_[v]);
        ++clock_;
        for (std::uint32_t e : out_[v]) {
            const std::uint32_t t = dst_[e];
            if (t == v) {
                kill(e);
                push(v);
            } else if (stamp_[t] == clock_) {
                kill(e);
                push(t);
                push(v);
            } else {
                stamp_[t] = clock_;
            }
        }
        compact(out_[v]);
        if (v == kEntry || v == kExit) return;
        compact(in_[v]);
        // (series)
        if (indeg_[v] == 1 && outdeg_[v] == 1) {
            const std::uint32_t a = in_[v][0];
            const std::uint32_t b = out_[v][0];
            const std::uint32_t u = src_[a];
            const std::uint32_t w = dst_[b];
            kill(a);
            kill(b);
            live_[v] = 0;
            add_edge(u, w);
            push(u);
            push(w);
            return;
        }
        // (compound)
        if (second_[v] != 0 && indeg_[v] == 1 && outdeg_[v] == 2) {
            const std::uint32_t a = in_[v][0];
            const std::uint32_t t = src_[a];
            if (t == v || outdeg_[t] != 2) return;
            compact(out_[t]);
            const std::uint32_t other_t = dst_[out_[t][0]] == v ? dst_[out_[t][1]] : dst_[out_[t][0]];
            const std::uint32_t e0 = out_[v][0];
            const std::uint32_t e1 = out_[v][1];
            std::uint32_t to_n = e0;
            std::uint32_t to_x = e1;
            if (dst_[e0] != other_t) {
                to_n = e1;
                to_x = e0;
            }
            if (dst_[to_n] != other_t || dst_[to_x] == t) return;
            const std::uint32_t x = dst_[to_x];
            kill(a);
            kill(to_n);
            kill(to_x);
            live_[v] = 0;
            add_edge(t, x);
            push(t);
            push(other_t);
            push(x);
        }
    }
};

}  // namespace

std::uint64_t essential_complexity(const FlowGraph& g) {
    // Reused between calls: most functions are small, and their lists keep
    // the capacity of the largest one seen.
    thread_local Reducer reducer;
    return reducer.run(g);
}

}  // namespace velmora::flow
