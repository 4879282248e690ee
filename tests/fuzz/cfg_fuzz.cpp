// Differential fuzzing of the control-flow metrics and the cycle basis
// against plain models that follow the written steps with ordered maps,
// adjacency lists and recursion instead of dense slots, CSR arrays and
// bit sets. Inputs cover repeated block keys, edges and entries naming ids
// that are not blocks, self-loops, parallel and reciprocal edges, and
// every edge kind, so graphs with untagged cycles are common.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "cfg/metrics.hpp"
#include "fuzz_input.hpp"
#include "ph/cycle_basis.hpp"

using namespace velmora;
using cfg::EdgeKind;

namespace {

struct Model {
    std::vector<std::uint64_t> keys;          // block keys, first appearance, unique
    std::map<std::uint64_t, std::size_t> at;  // key -> node
    std::vector<cfg::Edge> edges;
    std::uint64_t entry = 0;
    std::uint64_t exit = 1;

    bool is_block(std::uint64_t id) const { return at.count(id) != 0; }

    std::uint64_t components() const {
        const std::size_t n = keys.size();
        std::vector<std::vector<std::size_t>> adj(n);
        for (const auto& e : edges) {
            if (!is_block(e.source) || !is_block(e.target)) continue;
            adj[at.at(e.source)].push_back(at.at(e.target));
            adj[at.at(e.target)].push_back(at.at(e.source));
        }
        std::vector<bool> seen(n, false);
        std::uint64_t count = 0;
        for (std::size_t r = 0; r < n; ++r) {
            if (seen[r]) continue;
            ++count;
            std::vector<std::size_t> stack{r};
            seen[r] = true;
            while (!stack.empty()) {
                const std::size_t x = stack.back();
                stack.pop_back();
                for (std::size_t y : adj[x]) {
                    if (!seen[y]) {
                        seen[y] = true;
                        stack.push_back(y);
                    }
                }
            }
        }
        return count;
    }

    std::uint64_t cyclomatic() const {
        const auto m = static_cast<std::int64_t>(edges.size()) - static_cast<std::int64_t>(keys.size()) +
                       2 * static_cast<std::int64_t>(components());
        return m > 1 ? static_cast<std::uint64_t>(m) : 1;
    }

    std::uint64_t essential() const {
        std::uint64_t count = 1;
        for (const auto& e : edges) {
            count += static_cast<std::uint64_t>(e.kind == EdgeKind::BREAK || e.kind == EdgeKind::CONTINUE ||
                                                e.kind == EdgeKind::RETURN);
        }
        return count;
    }

    // The relaxation passes, literally, over a map keyed by id.
    std::uint64_t nesting() const {
        std::map<std::uint64_t, std::uint64_t> depth{{entry, 0}};
        const std::uint64_t limit = 2 * keys.size();
        if (limit != 0 && !edges.empty()) {
            for (std::uint64_t passes = 0;;) {
                bool raised = false;
                for (const auto& e : edges) {
                    auto s = depth.find(e.source);
                    if (s == depth.end()) continue;
                    const std::uint64_t cand =
                        s->second + static_cast<std::uint64_t>(e.kind == EdgeKind::TRUE_ || e.kind == EdgeKind::SWITCHCASE);
                    auto [t, fresh] = depth.emplace(e.target, 0);
                    if (t->second < cand) {
                        t->second = cand;
                        raised = true;
                    }
                }
                if (!raised || ++passes == limit) break;
            }
        }
        std::uint64_t best = 0;
        for (const auto& [id, d] : depth) best = std::max(best, d);
        return best;
    }

    // Successors over forward edges between blocks.
    std::vector<std::vector<std::size_t>> forward() const {
        std::vector<std::vector<std::size_t>> out(keys.size());
        for (const auto& e : edges) {
            if (e.kind == EdgeKind::LOOPBACK || e.kind == EdgeKind::CONTINUE) continue;
            if (is_block(e.source) && is_block(e.target)) out[at.at(e.source)].push_back(at.at(e.target));
        }
        return out;
    }

    // Whether `node` can reach itself over one or more forward edges.
    static bool on_cycle(const std::vector<std::vector<std::size_t>>& fwd, std::size_t node) {
        std::vector<bool> seen(fwd.size(), false);
        std::vector<std::size_t> stack(fwd[node].begin(), fwd[node].end());
        while (!stack.empty()) {
            const std::size_t x = stack.back();
            stack.pop_back();
            if (x == node) return true;
            if (seen[x]) continue;
            seen[x] = true;
            stack.insert(stack.end(), fwd[x].begin(), fwd[x].end());
        }
        return false;
    }

    // Edges on a longest entry-to-exit path of an acyclic forward graph, by
    // memoised recursion from the exit backwards.
    std::uint64_t longest_path(const std::vector<std::vector<std::size_t>>& fwd) const {
        if (!is_block(entry) || !is_block(exit)) return 0;
        const std::size_t src = at.at(entry);
        std::vector<std::optional<std::optional<std::uint64_t>>> memo(keys.size());
        // best(u): edges of a longest path src -> u, or none when src cannot reach u.
        std::vector<std::vector<std::size_t>> preds(keys.size());
        for (std::size_t u = 0; u < fwd.size(); ++u) {
            for (std::size_t t : fwd[u]) preds[t].push_back(u);
        }
        std::function<std::optional<std::uint64_t>(std::size_t)> best = [&](std::size_t u) {
            if (memo[u]) return *memo[u];
            std::optional<std::uint64_t> r;
            if (u == src) r = 0;
            for (std::size_t p : preds[u]) {
                const auto d = best(p);
                if (d && (!r || *r < *d + 1)) r = *d + 1;
            }
            memo[u] = r;
            return r;
        };
        return best(at.at(exit)).value_or(0);
    }

    // The spanning forest and cycle walks, step by step: incidence chains
    // with new edges at their heads, breadth-first from the entry and then
    // from every block in key order, and each walk climbed from both ends.
    struct Walk {
        std::vector<std::uint64_t> blocks;
        std::vector<std::size_t> edges;  // admitted edge numbers
    };
    std::vector<Walk> cycle_basis() const {
        const std::size_t n = keys.size();
        std::vector<std::size_t> first;
        std::vector<std::size_t> second;
        std::vector<std::vector<std::size_t>> first_chain(n);
        std::vector<std::vector<std::size_t>> second_chain(n);
        for (const auto& e : edges) {
            if (e.source == e.target || !is_block(e.source) || !is_block(e.target)) continue;
            const std::size_t k = first.size();
            first.push_back(at.at(e.source));
            second.push_back(at.at(e.target));
            first_chain[first.back()].insert(first_chain[first.back()].begin(), k);
            second_chain[second.back()].insert(second_chain[second.back()].begin(), k);
        }
        std::vector<bool> visited(n, false);
        std::vector<std::size_t> depth(n, 0);
        std::vector<std::size_t> parent(n, 0);
        std::vector<std::size_t> parent_edge(n, 0);
        std::vector<bool> tree(first.size(), false);
        std::vector<std::size_t> roots;
        if (is_block(entry)) roots.push_back(at.at(entry));
        for (std::size_t x = 0; x < n; ++x) roots.push_back(x);
        for (std::size_t root : roots) {
            if (visited[root]) continue;
            visited[root] = true;
            std::vector<std::size_t> queue{root};
            for (std::size_t head = 0; head < queue.size(); ++head) {
                const std::size_t x = queue[head];
                auto reach = [&](std::size_t y, std::size_t e) {
                    if (visited[y]) return;
                    visited[y] = true;
                    depth[y] = depth[x] + 1;
                    parent[y] = x;
                    parent_edge[y] = e;
                    tree[e] = true;
                    queue.push_back(y);
                };
                for (std::size_t e : first_chain[x]) reach(second[e], e);
                for (std::size_t e : second_chain[x]) reach(first[e], e);
            }
        }
        std::vector<Walk> walks;
        for (std::size_t e = 0; e < first.size(); ++e) {
            if (tree[e]) continue;
            std::vector<std::size_t> p{first[e]};
            std::vector<std::size_t> q{second[e]};
            std::vector<std::size_t> ep;
            std::vector<std::size_t> eq;
            std::size_t a = first[e];
            std::size_t b = second[e];
            auto climb = [&](std::size_t& c, std::vector<std::size_t>& path, std::vector<std::size_t>& es) {
                es.push_back(parent_edge[c]);
                c = parent[c];
                path.push_back(c);
            };
            while (depth[a] > depth[b]) climb(a, p, ep);
            while (depth[b] > depth[a]) climb(b, q, eq);
            while (a != b) {
                climb(a, p, ep);
                climb(b, q, eq);
            }
            q.pop_back();
            Walk w;
            for (std::size_t x : p) w.blocks.push_back(keys[x]);
            for (auto it = q.rbegin(); it != q.rend(); ++it) w.blocks.push_back(keys[*it]);
            w.blocks.push_back(keys[first[e]]);
            w.edges = ep;
            w.edges.insert(w.edges.end(), eq.rbegin(), eq.rend());
            w.edges.push_back(e);
            walks.push_back(std::move(w));
        }
        return walks;
    }
};

bool same_edge(const cfg::Edge& a, const cfg::Edge& b) {
    return a.source == b.source && a.target == b.target && a.kind == b.kind;
}

void check_cycle_basis(const cfg::Graph& g, const Model& model) {
    core::Cancel never;
    const ph::CycleBasisPtr basis = ph::compute_cycle_basis(g, never);
    const std::vector<Model::Walk> want = model.cycle_basis();
    fuzz::expect(basis->cycle_count() == want.size(), "cycle count");
    // The admitted edges, in list order, as the basis numbers them.
    std::vector<cfg::Edge> admitted;
    for (const auto& e : model.edges) {
        if (e.source != e.target && model.is_block(e.source) && model.is_block(e.target)) admitted.push_back(e);
    }
    fuzz::expect(want.size() + model.keys.size() == admitted.size() + model.components(), "betti_1 = K - N + C");
    std::vector<std::uint32_t> nodes;
    std::vector<std::uint32_t> edges;
    for (std::size_t c = 0; c < want.size(); ++c) {
        ph::build_cycle(*basis, c, nodes, edges);
        fuzz::expect(nodes.size() == want[c].blocks.size() && edges.size() == want[c].edges.size(), "walk length");
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            fuzz::expect(basis->block_ids[nodes[i]] == want[c].blocks[i], "walk block");
        }
        for (std::size_t i = 0; i < edges.size(); ++i) {
            fuzz::expect(same_edge(basis->edges[edges[i]], admitted[want[c].edges[i]]), "walk edge");
        }
        fuzz::expect(same_edge(basis->back_edge(c), admitted[want[c].edges.back()]), "back edge");
        // The direct fill used by the attribute read lays out the same walk.
        const ph::WalkShape shape = ph::walk_shape(*basis, c);
        std::vector<std::uint32_t> filled(shape.node_count(), core::kNone);
        ph::put_walk_nodes(*basis, c, shape, [&](std::size_t i, std::uint32_t node) {
            filled[i] = node;
            return true;
        });
        fuzz::expect(filled == nodes, "filled walk");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    // Ids from a small range, so keys repeat and edges often hit blocks;
    // the top bit of `spread` moves them to the end of the 64-bit range.
    const std::uint8_t spread = in.byte();
    const unsigned range = 1u + (spread & 0x1F);
    auto id = [&](std::uint8_t b) -> std::uint64_t {
        const std::uint64_t small = b % range;
        return (spread & 0x80) != 0 ? ~std::uint64_t{0} - small : small;
    };
    Model model;
    const unsigned block_count = in.byte() % 24;
    cfg::GraphBuilder builder(block_count);
    for (unsigned k = 0; k < block_count; ++k) {
        const std::uint64_t key = id(in.byte());
        builder.add_block(key, cfg::BlockPtr());
        if (model.at.emplace(key, model.keys.size()).second) model.keys.push_back(key);
    }
    model.entry = id(in.byte());
    model.exit = id(in.byte());
    while (!in.empty()) {
        const std::uint64_t s = id(in.byte());
        const std::uint64_t t = id(in.byte());
        model.edges.push_back({s, t, static_cast<EdgeKind>(in.byte() % cfg::kEdgeKindCount)});
    }
    const cfg::Graph g = builder.finish(model.edges, model.entry, model.exit);

    fuzz::expect(cfg::connected_components(g) == model.components(), "components");
    fuzz::expect(cfg::cyclomatic_complexity(g) == model.cyclomatic(), "cyclomatic");
    fuzz::expect(cfg::essential_complexity(g) == model.essential(), "essential");
    core::Cancel never;
    fuzz::expect(cfg::max_nesting_depth(g, never) == model.nesting(), "nesting");

    const auto fwd = model.forward();
    bool cyclic = false;
    for (std::size_t x = 0; x < fwd.size() && !cyclic; ++x) cyclic = Model::on_cycle(fwd, x);
    try {
        const std::uint64_t got = cfg::longest_acyclic_path(g);
        fuzz::expect(!cyclic, "longest path accepted a cycle");
        fuzz::expect(got == model.longest_path(fwd), "longest path");
    } catch (const core::Failure& f) {
        fuzz::expect(cyclic && f.fault == core::Fault::kCycle, "longest path refused an acyclic graph");
        fuzz::expect(f.node < fwd.size() && Model::on_cycle(fwd, f.node), "reported node is on a cycle");
    }
    check_cycle_basis(g, model);
    return 0;
}
