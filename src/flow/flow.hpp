// Language-independent control constructs and the measures built on them.
//
// A front end turns one function body of its language into a construct
// tape: the body's control constructs in source order, each compound one
// opened and closed by markers, with the decisions that an expression takes
// (a conditional expression, a comprehension clause, ...) listed before the
// statement or header that holds them. `measure` reads a tape once, builds
// the function's control-flow graph on flat arrays and computes every
// measure of that graph and of the constructs. Front ends for other
// languages emit the same tape; nothing here knows a parser.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "core/errors.hpp"

namespace velmora::flow {

enum class Op : std::uint8_t {
    Simple,     // a straight-line statement
    Scope,      // a nested function or class definition: straight-line here
    Return,     // leaves the function
    Raise,      // leaves the function through an exception
    Break,      // leaves the innermost loop (straight-line outside any loop)
    Continue,   // back to the innermost loop's head (straight-line outside)
    IfBegin,    // branch on a condition (flag kElif: it is the whole else of the enclosing if)
    Else,       // the other arm of the innermost if
    IfEnd,
    LoopBegin,  // opens the loop head; the decisions of its header follow
    LoopTest,   // the head branches into the body
    LoopElse,   // what runs when the loop ends without break
    LoopEnd,
    TryBegin,
    Handler,    // an exception handler; the decisions of its type test precede it
    TryElse,    // runs when the body raised nothing
    Finally,
    TryEnd,
    SwitchBegin,  // a multi-way branch on a subject
    Case,         // one case (flags kRefutable, kGuarded); a guard's decisions follow
    CaseBody,     // the case body starts (after its guard)
    SwitchEnd,
    BlockBegin,   // a block that nests without branching (a context manager)
    BlockEnd,
    // The body of a nested function (flag kFunctionScope) or class: it has
    // a graph of its own, but its cognitive complexity counts toward the
    // enclosing function, a level deeper for a function.
    NestedBegin,
    NestedEnd,
    Decision,     // an expression-level decision; `arg` is its kind, `depth` its nesting inside the expression
};

// Flags of a step.
inline constexpr std::uint8_t kElif = 1;       // IfBegin, Else: an elif
inline constexpr std::uint8_t kFunctionScope = 1;  // NestedBegin: a function body
inline constexpr std::uint8_t kRefutable = 1;  // Case: its pattern can fail
inline constexpr std::uint8_t kGuarded = 2;    // Case: it has a guard

// Kinds of expression-level decisions.
enum class Decision : std::uint8_t {
    Conditional,  // a conditional expression: a branch
    ForClause,    // a comprehension's `for` clause: a branch (next item or done)
    IfClause,     // a comprehension's `if` filter: a branch
    BoolOps,      // a boolean operation: `count` operators, `runs` runs of like ones (no branch)
};

struct Step {
    Op op = Op::Simple;
    std::uint8_t flags = 0;
    Decision decision = Decision::Conditional;  // Op::Decision only
    std::uint8_t pad = 0;
    std::uint32_t depth = 0;   // Op::Decision: nesting levels inside the statement's expressions
    std::uint32_t count = 1;   // BoolOps: operators
    std::uint32_t runs = 0;    // BoolOps: runs of like operators it starts (0 inside a larger one)
};

// Thrown when a tape is not well formed (a front end's fault): `what`
// names the broken rule.
struct MalformedTape {
    const char* what;
};

struct Options {
    bool count_bool_ops = false;  // cyclomatic complexity also counts boolean operators
};

struct Measures {
    std::uint64_t cyclomatic = 1;
    std::uint64_t cognitive = 0;
    std::uint64_t essential = 1;
    std::uint64_t nesting = 0;
    std::uint64_t longest_path = 0;
    std::uint64_t betti_1 = 0;
    std::uint64_t components = 1;
    std::uint64_t blocks = 0;
    std::uint64_t edges = 0;
};

// The control-flow graph of one tape. Blocks are 0..block_count-1, entry 0
// and exit 1; edge kinds are those of cfg::EdgeKind.
struct FlowGraph {
    std::uint32_t block_count = 0;
    std::vector<std::uint32_t> source;
    std::vector<std::uint32_t> target;
    std::vector<std::uint8_t> kind;
    // (second, first) halves of one decision: a case guard and its case.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> second_halves;
    std::uint64_t bool_ops = 0;  // boolean operators in the function's own scope
};

// Scratch memory for the measures, kept by the caller between functions:
// most functions are small, and the buffers keep the capacity of the
// largest one seen. One per thread.
class Workspace {
public:
    Workspace();
    ~Workspace();
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;
    Workspace(Workspace&&) = delete;
    Workspace& operator=(Workspace&&) = delete;

    struct Reducer;
    Reducer& reducer() { return *reducer_; }

private:
    std::unique_ptr<Reducer> reducer_;
};

// Builds the graph of a tape; throws MalformedTape.
FlowGraph build_graph(const std::vector<Step>& tape);

// McCabe's essential complexity by reduction of `g` (see essential_core.cpp).
std::uint64_t essential_complexity(const FlowGraph& g, Workspace& work);

// Every measure of one tape.
Measures measure(const std::vector<Step>& tape, const Options& options, Workspace& work);

}  // namespace velmora::flow
