// The construct layer without an interpreter: hand-built tapes and graphs
// with known measures, a malformed tape, and an elif chain far longer than
// any C stack would survive if the builder recursed.
#include "../check.hpp"

#include <cstdint>
#include <vector>

#include "core/errors.hpp"
#include "flow/flow.hpp"

using namespace velmora;
using flow::Op;

namespace {

flow::Step op(Op o, std::uint8_t flags = 0) {
    flow::Step s;
    s.op = o;
    s.flags = flags;
    return s;
}

flow::Step conditional(std::uint32_t depth) {
    flow::Step s = op(Op::Decision);
    s.decision = flow::Decision::Conditional;
    s.depth = depth;
    return s;
}

flow::FlowGraph graph(std::uint32_t n, const std::vector<std::pair<std::uint32_t, std::uint32_t>>& edges) {
    flow::FlowGraph g;
    g.block_count = n;
    for (auto [a, b] : edges) {
        g.source.push_back(a);
        g.target.push_back(b);
        g.kind.push_back(0);
    }
    return g;
}

}  // namespace

int main() {
    const flow::Options plain;
    flow::Workspace work;
    auto ev = [&](const flow::FlowGraph& g) { return flow::essential_complexity(g, work); };

    // if x: (a if b else c) else: return  -> the arms at level 1
    {
        std::vector<flow::Step> t{op(Op::IfBegin), conditional(0), op(Op::Simple), op(Op::Else), op(Op::Return),
                                  op(Op::IfEnd)};
        const flow::Measures m = flow::measure(t, plain, work);
        check(m.cyclomatic == 3, "if with a conditional expression: cyclomatic 3");
        check(m.cognitive == 1 + 1 + 2, "if, else, conditional at level 1");
        check(m.nesting == 1, "one level");
        check(m.essential == 1, "a return in an arm reduces");
        check(m.components == 1 && m.betti_1 == 2, "connected, two cycles");
    }

    // while: if: break  -> a break out of a nested if does not reduce
    {
        std::vector<flow::Step> t{op(Op::LoopBegin), op(Op::LoopTest), op(Op::IfBegin), op(Op::Break),
                                  op(Op::IfEnd), op(Op::Simple), op(Op::LoopEnd)};
        const flow::Measures m = flow::measure(t, plain, work);
        check(m.cyclomatic == 3, "loop and if: cyclomatic 3");
        check(m.essential > 1, "break from a nested if is unstructured");
        check(m.nesting == 2 && m.cognitive == 1 + 2, "loop, if at level 1");
    }

    // Essential complexity of graphs built directly: a diamond reduces to
    // 1; two loops entered in each other's middle (no single entry) stay
    // whole, ev = E - N + 2.
    {
        check(ev(graph(5, {{0, 2}, {2, 3}, {2, 4}, {3, 1}, {4, 1}})) == 1, "diamond");
        const flow::FlowGraph knot = graph(5, {{0, 2}, {0, 3}, {2, 3}, {3, 2}, {2, 4}, {3, 4}, {4, 1}});
        check(ev(knot) == 7 - 5 + 2, "two loops entered in the middle stay");
        // Unreachable blocks are not part of the graph.
        check(ev(graph(4, {{0, 1}, {3, 1}, {3, 3}})) == 1, "unreachable blocks drop out");
    }

    // A case guard is the second half of one decision and merges.
    {
        std::vector<flow::Step> t{op(Op::SwitchBegin), op(Op::Case, flow::kRefutable | flow::kGuarded),
                                  op(Op::CaseBody), op(Op::Simple), op(Op::Case), op(Op::CaseBody),
                                  op(Op::Simple), op(Op::SwitchEnd)};
        const flow::Measures m = flow::measure(t, plain, work);
        check(m.cyclomatic == 3, "refutable guarded case and a wildcard: cyclomatic 3");
        check(m.essential == 1, "guard merges into its case");
    }

    // A malformed tape is an exception, not a crash.
    {
        bool threw = false;
        try {
            flow::measure({op(Op::Else)}, plain, work);
        } catch (const flow::MalformedTape&) {
            threw = true;
        }
        check(threw, "else without if panics");
        threw = false;
        try {
            flow::measure({op(Op::IfBegin), op(Op::Simple)}, plain, work);
        } catch (const flow::MalformedTape&) {
            threw = true;
        }
        check(threw, "an if left open panics");
    }

    // An elif chain of 200,000 branches, and a nested body inside it.
    {
        const std::uint32_t n = 200000;
        std::vector<flow::Step> t{op(Op::IfBegin), op(Op::Simple)};
        for (std::uint32_t i = 1; i < n; ++i) {
            t.push_back(op(Op::Else, flow::kElif));
            t.push_back(op(Op::IfBegin, flow::kElif));
            t.push_back(op(Op::Simple));
        }
        t.push_back(op(Op::NestedBegin, flow::kFunctionScope));
        t.push_back(op(Op::IfBegin));
        t.push_back(op(Op::Simple));
        t.push_back(op(Op::IfEnd));
        t.push_back(op(Op::NestedEnd));
        for (std::uint32_t i = 0; i < n; ++i) t.push_back(op(Op::IfEnd));
        const flow::Measures m = flow::measure(t, plain, work);
        check(m.cyclomatic == n + 1, "long elif chain: one decision per branch");
        check(m.nesting == 1, "an elif chain is one level");
        // n for the chain, and the nested if at level 2 (elif body 1, def 2).
        check(m.cognitive == n + 1 + 2, "nested body counts cognitively, a level deeper");
        check(m.essential == 1, "an elif chain is structured");
    }

    if (failures == 0) std::puts("flow_test: all checks passed");
    return failures == 0 ? 0 : 1;
}
