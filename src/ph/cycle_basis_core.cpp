#include "ph/cycle_basis.hpp"

namespace velmora::ph {

namespace {

using core::kNone;

// The undirected multigraph of the blocks. Nodes are the graph's block
// slots (0..N-1, in the caller's dict order); edge k is the k-th admitted
// edge, with its source as first end and its target as second end.
//
// Incidence is one CSR array. Node x's run holds first the edges whose
// first end is x, newest first, then the edges whose second end is x,
// newest first: the order of two incidence chains that each push a new
// edge at their head. The forest, and with it every walk, depends on this
// order, so it is built exactly that way rather than in any cheaper one.
struct BasisGraph {
    std::vector<std::uint32_t> first;   // first end of edge k
    std::vector<std::uint32_t> second;  // second end of edge k
    std::vector<std::size_t> offset;    // node x's run is [offset[x], offset[x + 1])
    struct Incidence {
        std::uint32_t neighbour;
        std::uint32_t edge;
    };
    std::vector<Incidence> incidence;
};

// Bit sets over nodes (reached) and edges (in the forest). Both are read far
// more often than the node records: a million-node graph's bits fit in
// cache where its records do not.
class Bits {
public:
    explicit Bits(std::size_t n) : words_(n / 64 + 1, 0) {}
    bool test(std::size_t i) const noexcept { return (words_[i >> 6] >> (i & 63)) & 1u; }
    void set(std::size_t i) noexcept { words_[i >> 6] |= std::uint64_t{1} << (i & 63); }

private:
    std::vector<std::uint64_t> words_;
};

struct Forest {
    std::vector<ForestNode> node;
    Bits tree_edge;

    Forest(std::size_t nodes, std::size_t edges) : node(nodes), tree_edge(edges) {}
};

// Admits every edge whose two ends are distinct blocks; parallel and
// reciprocal edges stay separate edges. Fills `basis.edges` with their
// copies, numbered in list order.
BasisGraph build_basis_graph(const cfg::Graph& g, CycleBasis& basis) {
    const std::size_t n = g.block_count();
    BasisGraph bg;
    // Nearly every edge of a real graph is admitted.
    bg.first.reserve(g.edges.size());
    bg.second.reserve(g.edges.size());
    basis.edges.reserve(g.edges.size());
    for (std::size_t i = 0; i < g.edges.size(); ++i) {
        const std::uint32_t s = g.edge_source[i];
        const std::uint32_t t = g.edge_target[i];
        if (s == t || !g.is_block(s) || !g.is_block(t)) continue;
        bg.first.push_back(s);
        bg.second.push_back(t);
        basis.edges.push_back(g.edges[i]);
    }
    const std::size_t m = bg.first.size();
    core::require_u32(m, core::Fault::kTooManyAdmittedEdges);

    // Counts per node, as first end and as second end.
    std::vector<std::uint32_t> out_count(n, 0);
    bg.offset.assign(n + 1, 0);
    for (std::size_t k = 0; k < m; ++k) {
        ++out_count[bg.first[k]];
        ++bg.offset[bg.second[k] + 1];
    }
    // offset[x + 1] holds x's second-end count until the prefix sum below
    // reaches it (it reads offset[x + 1] before writing offset[x]).
    // Runs are counted in size_t: 2m incidences need not fit 32 bits.
    std::vector<std::size_t> first_cursor(n, 0);
    std::vector<std::size_t> second_cursor(n, 0);
    std::size_t running = 0;
    for (std::size_t x = 0; x < n; ++x) {
        const std::size_t begin = running;
        running += out_count[x] + bg.offset[x + 1];
        bg.offset[x] = begin;
        first_cursor[x] = begin;
        second_cursor[x] = begin + out_count[x];
    }
    bg.offset[n] = running;
    bg.incidence.resize(2 * m);
    // Newest first in both parts: walk the edges from the last admitted.
    for (std::size_t k = m; k-- > 0;) {
        const std::uint32_t s = bg.first[k];
        const std::uint32_t t = bg.second[k];
        const auto edge = static_cast<std::uint32_t>(k);
        bg.incidence[first_cursor[s]++] = {t, edge};
        bg.incidence[second_cursor[t]++] = {s, edge};
    }
    return bg;
}

// Breadth-first forest. The entry's tree is grown first when the entry is a
// block; every other component is rooted at its first block in the graph's
// own block order, which makes the whole result reproducible.
Forest grow_forest(const cfg::Graph& g, const BasisGraph& bg, core::Cancel& cancel) {
    const std::size_t n = g.block_count();
    Forest f(n, bg.first.size());
    Bits reached(n);
    // Every node enters the queue once, so one array serves every tree.
    std::vector<std::uint32_t> queue(n);
    std::size_t head = 0;
    std::size_t tail = 0;
    auto grow_from = [&](std::uint32_t root) {
        if (reached.test(root)) return;
        reached.set(root);
        f.node[root].depth = 0;
        queue[tail++] = root;
        while (head < tail) {
            const std::uint32_t x = queue[head++];
            const std::uint32_t next_depth = f.node[x].depth + 1;
            for (std::size_t i = bg.offset[x], end = bg.offset[x + 1]; i < end; ++i) {
                const auto [y, e] = bg.incidence[i];
                if (reached.test(y)) continue;
                reached.set(y);
                f.node[y] = {next_depth, x, e};
                f.tree_edge.set(e);
                queue[tail++] = y;
            }
            cancel.tick(bg.offset[x + 1] - bg.offset[x] + 1);
        }
    };
    if (g.is_block(g.entry_slot)) grow_from(g.entry_slot);
    for (std::size_t x = 0; x < n; ++x) grow_from(static_cast<std::uint32_t>(x));
    return f;
}

}  // namespace

CycleBasisPtr compute_cycle_basis(const cfg::Graph& g, core::Cancel& cancel) {
    g.require_numbering();
    core::require_u32(g.block_count(), core::Fault::kTooManyBlocks);
    auto* built = new CycleBasis();
    CycleBasisPtr basis = CycleBasisPtr::adopt(built);
    CycleBasis& out = *built;
    const BasisGraph bg = build_basis_graph(g, out);
    Forest f = grow_forest(g, bg, cancel);

    const auto m = static_cast<std::uint32_t>(bg.first.size());
    // A forest over N nodes has at most N - 1 edges, so at least
    // m - N + 1 edges close a cycle.
    if (m > g.block_count()) out.cycles.reserve(m - g.block_count() + 1);
    for (std::uint32_t k = 0; k < m; ++k) {
        if (f.tree_edge.test(k)) continue;
        out.cycles.push_back({k, bg.first[k], bg.second[k]});
    }
    // The result may live long: give back the reserve made for edges that
    // were not admitted, when that is a real share.
    if (out.edges.size() < out.edges.capacity() - out.edges.capacity() / 4) out.edges.shrink_to_fit();
    out.forest = std::move(f.node);
    out.block_ids = g.block_ids;
    return basis;
}

namespace {

// The parent of `node`. Only nodes with a parent are ever climbed from:
// both ends of a non-tree edge lie in one tree and every climb stops at
// their common ancestor, so a root here means the forest is broken.
const ForestNode& step_up(const CycleBasis& b, std::uint32_t node) {
    const ForestNode& at = b.forest[node];
    if (at.parent == kNone) throw core::Failure{core::Fault::kNoEntry};
    return at;
}

}  // namespace

// Climbs from both ends of back edge k = (S, T) to their lowest common
// ancestor, the deeper end first and then both in step.
WalkShape walk_shape(const CycleBasis& b, std::size_t c) {
    const CycleBasis::Cycle& cycle = b.cycles[c];
    std::uint32_t a = cycle.first;
    std::uint32_t t = cycle.second;
    // The climbs need no counting: the ancestor's depth gives both sides.
    while (b.forest[a].depth > b.forest[t].depth) a = step_up(b, a).parent;
    while (b.forest[t].depth > b.forest[a].depth) t = step_up(b, t).parent;
    while (a != t) {
        a = step_up(b, a).parent;
        t = step_up(b, t).parent;
    }
    const std::uint32_t top = b.forest[a].depth;
    return WalkShape{b.forest[cycle.first].depth - top, b.forest[cycle.second].depth - top};
}

// The walk runs S -> ancestor -> T -> S, so the T side is laid out
// backwards: once the shape gives both sides' lengths, one climb fills S's
// side from the front and another T's side from the back.
void build_cycle(const CycleBasis& b, std::size_t c, std::vector<std::uint32_t>& nodes,
                 std::vector<std::uint32_t>& edges) {
    const CycleBasis::Cycle& cycle = b.cycles[c];
    const WalkShape shape = walk_shape(b, c);
    const std::size_t up_s = shape.up_s;
    const std::size_t up_t = shape.up_t;
    const std::size_t length = up_s + up_t + 1;  // edges of the walk
    nodes.assign(length + 1, kNone);
    edges.assign(length, kNone);
    std::uint32_t a = cycle.first;
    nodes[0] = a;
    for (std::size_t i = 0; i < up_s; ++i) {
        const ForestNode& at = b.forest[a];
        edges[i] = at.parent_edge;
        a = at.parent;
        nodes[i + 1] = a;
    }
    // nodes[up_s] is the ancestor; T's side fills up_s + 1 .. up_s + up_t.
    std::uint32_t t = cycle.second;
    for (std::size_t i = up_s + up_t; i > up_s; --i) {
        const ForestNode& at = b.forest[t];
        nodes[i] = t;
        edges[i - 1] = at.parent_edge;
        t = at.parent;
    }
    edges[length - 1] = cycle.edge;
    nodes[length] = cycle.first;
}

}  // namespace velmora::ph
