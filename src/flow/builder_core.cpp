// From a construct tape to a control-flow graph and the measures of the
// constructs themselves (structural nesting, cognitive complexity), in one
// pass with an explicit stack of open constructs: an elif chain thousands of
// branches long is a deep stack, not deep recursion.
//
// Shape of the graph: block 0 is the entry and block 1 the exit; the body
// starts in a block of its own. Consecutive straight-line statements share
// a block. An if's test block branches TRUE into the body and FALSE into
// the else arm (or the join). A loop has a head block (its header's
// decisions come after it, so they run on every iteration) that branches
// TRUE into the body and FALSE into the else arm or past the loop; the body
// goes back to the head over LOOPBACK, continue over CONTINUE, break leaves
// over BREAK. A try's body and each handler (entered over EXCEPTION from
// the block before the try) meet in the finally block or the join; an else
// arm follows the body. A switch tests its cases in order: SWITCHCASE into
// a case body (through a guard block, TRUE into the body, when the case is
// guarded), FALSE on to the next case; an irrefutable case has no FALSE
// edge. Every expression-level branch is a diamond (TRUE into a block of
// its own, FALSE around it) before the statement that holds it. A return
// goes to the exit over RETURN, a raise UNCONDITIONAL. Code after a jump
// opens a block without predecessors. The body of a nested scope adds
// nothing to the graph (it is measured on its own) and only counts toward
// the cognitive complexity.
//
// Cognitive complexity: +1 and the current level for an if, a loop, an
// except clause, a switch, a conditional expression and a comprehension's
// for clause; +1 for an elif, an else, a comprehension's if filter and each
// run of like boolean operators. The level rises inside the arms of an if,
// a loop body, an except clause, the cases of a switch, and (as the front
// end reports them in `depth`) inside the parts of an expression that nest;
// a nested function's body is one level deeper, a nested class's is not.
//
// The only edges into a block created earlier are LOOPBACK and CONTINUE
// edges into a loop head, so the graph without them is acyclic.
#include <algorithm>
#include <utility>

#include "cfg/graph.hpp"
#include "cfg/metrics.hpp"
#include "flow/flow.hpp"

namespace velmora::flow {

namespace {

using cfg::EdgeKind;
constexpr std::uint32_t kNo = core::kNone;  // no block: control cannot reach this point
constexpr std::uint32_t kEntry = 0;
constexpr std::uint32_t kExit = 1;

bool is_graph_branch(Decision d) {
    return d == Decision::Conditional || d == Decision::ForClause || d == Decision::IfClause;
}

struct Frame {
    Op op = Op::IfBegin;
    std::uint32_t a = kNo;  // if: test; loop: head; try: dispatch; switch: unused
    std::uint32_t b = kNo;  // if: join; loop: after; try: end of the body; switch: join
    std::uint32_t c = kNo;  // loop: branch block
    std::uint8_t region = 0;    // try: 0 body, 1 handler, 2 else, 3 finally; loop: 1 in else; if: 1 in else; switch: 1 in a case body
    bool body_end_used = false; // try: the else arm took the body's end
    bool guarded = false;       // switch: the case being read has a guard
    std::uint32_t nest = 0;     // structural levels this frame added
    std::uint32_t cog = 0;      // cognitive nesting levels this frame added now
    std::size_t pending = 0;    // switch, try: start of this frame's pending edges
};

struct PendingEdge {
    std::uint32_t source;
    EdgeKind kind;
};

class Builder {
public:
    explicit Builder(const Options& o) : options_(o) {}

    FlowGraph& result() { return graph; }
    std::uint64_t cognitive_complexity() const { return cognitive; }
    std::uint64_t max_nesting() const { return nesting; }

    void run(const std::vector<Step>& tape) {
        new_block();  // entry
        new_block();  // exit
        current_ = kEntry;
        start(EdgeKind::UNCONDITIONAL);
        for (const Step& s : tape) step(s);
        if (!frames_.empty() || !decisions_.empty()) throw MalformedTape{"construct tape left constructs open"};
        edge(current_, kExit, EdgeKind::UNCONDITIONAL);
    }

private:
    FlowGraph graph;
    std::uint64_t cognitive = 0;
    std::uint64_t nesting = 0;
    const Options& options_;
    std::uint32_t current_ = kNo;
    std::vector<Frame> frames_;
    std::vector<std::size_t> loops_;      // frame positions of the open loops
    std::vector<PendingEdge> pending_;    // switch and try edges waiting for their target
    std::vector<Step> decisions_;         // decisions of the statement being read
    std::uint32_t depth_ = 0;             // structural nesting
    std::uint32_t cog_nest_ = 0;          // cognitive nesting
    std::uint32_t nested_ = 0;            // open nested scopes: no graph, no nesting

    std::uint32_t new_block() {
        if (nested_ != 0) return 0;
        core::require_u32(graph.block_count + std::size_t{1}, core::Fault::kTooManyBlocks);
        return graph.block_count++;
    }
    void edge(std::uint32_t s, std::uint32_t t, EdgeKind k) {
        if (s == kNo || nested_ != 0) return;
        graph.source.push_back(s);
        graph.target.push_back(t);
        graph.kind.push_back(static_cast<std::uint8_t>(k));
    }
    std::uint32_t here() {
        if (current_ == kNo) current_ = new_block();
        return current_;
    }
    std::uint32_t start(EdgeKind k) {
        const std::uint32_t b = new_block();
        edge(current_, b, k);
        current_ = b;
        return b;
    }
    Frame& top(Op op) {
        if (frames_.empty() || frames_.back().op != op) throw MalformedTape{"construct tape out of order"};
        return frames_.back();
    }
    void open(Frame f) {
        if (nested_ != 0) f.nest = 0;
        depth_ += f.nest;
        cog_nest_ += f.cog;
        nesting = std::max<std::uint64_t>(nesting, depth_);
        frames_.push_back(f);
    }
    void close() {
        depth_ -= frames_.back().nest;
        cog_nest_ -= frames_.back().cog;
        frames_.pop_back();
    }
    void set_cog(Frame& f, std::uint32_t levels) {
        cog_nest_ = cog_nest_ - f.cog + levels;
        f.cog = levels;
    }
    void set_nest(Frame& f, std::uint32_t levels) {
        depth_ = depth_ - f.nest + levels;
        f.nest = levels;
    }
    // Structural nesting of a frame, added once its header has been read.
    void add_nest(Frame& f, std::uint32_t levels) {
        if (nested_ != 0) return;
        f.nest += levels;
        depth_ += levels;
        nesting = std::max<std::uint64_t>(nesting, depth_);
    }

    // Places the diamonds of the statement's expression-level decisions and
    // returns the block that holds the statement.
    std::uint32_t statement() {
        diamonds();
        return here();
    }
    void diamonds() {
        for (const Step& d : decisions_) {
            switch (d.decision) {
                case Decision::Conditional:
                case Decision::ForClause:
                    cognitive += 1 + cog_nest_ + d.depth;
                    break;
                case Decision::IfClause:
                    cognitive += 1;
                    break;
                case Decision::BoolOps:
                    cognitive += d.runs;
                    if (nested_ == 0) graph.bool_ops += d.count;
                    break;
            }
            if (!is_graph_branch(d.decision) || nested_ != 0) continue;
            const std::uint32_t test = here();
            const std::uint32_t keep = new_block();
            const std::uint32_t join = new_block();
            edge(test, keep, EdgeKind::TRUE_);
            edge(test, join, EdgeKind::FALSE_);
            edge(keep, join, EdgeKind::UNCONDITIONAL);
            current_ = join;
        }
        decisions_.clear();
    }

    void step(const Step& s) {
        switch (s.op) {
            case Op::Decision:
                decisions_.push_back(s);
                return;
            case Op::Simple:
            case Op::Scope:
                statement();
                return;
            case Op::Return:
                statement();
                edge(current_, kExit, EdgeKind::RETURN);
                current_ = kNo;
                return;
            case Op::Raise:
                statement();
                edge(current_, kExit, EdgeKind::UNCONDITIONAL);
                current_ = kNo;
                return;
            case Op::Break:
            case Op::Continue:
                statement();
                if (!loops_.empty()) {
                    const Frame& loop = frames_[loops_.back()];
                    if (s.op == Op::Break) {
                        edge(current_, loop.b, EdgeKind::BREAK);
                    } else {
                        edge(current_, loop.a, EdgeKind::CONTINUE);
                    }
                    current_ = kNo;
                }
                return;
            case Op::IfBegin: {
                const bool elif = (s.flags & kElif) != 0;
                cognitive += elif ? 1 : 1 + cog_nest_;
                Frame f;
                f.op = Op::IfBegin;
                f.a = statement();
                f.b = new_block();
                f.nest = 1;
                f.cog = 1;
                open(f);
                start(EdgeKind::TRUE_);
                return;
            }
            case Op::Else: {
                Frame& f = top(Op::IfBegin);
                if ((s.flags & kElif) == 0) {
                    cognitive += 1;
                } else {
                    // An elif stands at the level of its if: the if that
                    // follows opens the level of its own arms.
                    set_cog(f, 0);
                    set_nest(f, 0);
                }
                edge(current_, f.b, EdgeKind::UNCONDITIONAL);
                current_ = f.a;
                start(EdgeKind::FALSE_);
                f.region = 1;
                return;
            }
            case Op::IfEnd: {
                Frame& f = top(Op::IfBegin);
                edge(current_, f.b, EdgeKind::UNCONDITIONAL);
                if (f.region == 0) edge(f.a, f.b, EdgeKind::FALSE_);
                current_ = f.b;
                close();
                return;
            }
            case Op::LoopBegin: {
                // The head is entered from wherever control is; after a
                // jump it is a block without predecessors.
                diamonds();
                Frame f;
                f.op = Op::LoopBegin;
                f.a = start(EdgeKind::UNCONDITIONAL);
                open(f);
                return;
            }
            case Op::LoopTest: {
                Frame& f = top(Op::LoopBegin);
                cognitive += 1 + cog_nest_;
                f.c = statement();
                f.b = new_block();
                add_nest(f, 1);
                set_cog(f, 1);
                loops_.push_back(frames_.size() - 1);
                start(EdgeKind::TRUE_);
                return;
            }
            case Op::LoopElse: {
                Frame& f = top(Op::LoopBegin);
                edge(current_, f.a, EdgeKind::LOOPBACK);
                loops_.pop_back();
                current_ = f.c;
                start(EdgeKind::FALSE_);
                f.region = 1;
                // The else arm runs at the level of the loop statement.
                set_cog(f, 0);
                return;
            }
            case Op::LoopEnd: {
                Frame& f = top(Op::LoopBegin);
                if (f.region == 1) {
                    edge(current_, f.b, EdgeKind::UNCONDITIONAL);
                } else {
                    edge(current_, f.a, EdgeKind::LOOPBACK);
                    loops_.pop_back();
                    edge(f.c, f.b, EdgeKind::FALSE_);
                }
                current_ = f.b;
                close();
                return;
            }
            case Op::TryBegin: {
                Frame f;
                f.op = Op::TryBegin;
                f.a = statement();
                f.nest = 1;
                f.pending = pending_.size();
                open(f);
                start(EdgeKind::UNCONDITIONAL);
                return;
            }
            case Op::Handler: {
                Frame& f = top(Op::TryBegin);
                leave_try_region(f);
                f.region = 1;
                set_cog(f, 0);
                cognitive += 1 + cog_nest_;
                current_ = f.a;
                start(EdgeKind::EXCEPTION);
                statement();
                set_cog(f, 1);
                return;
            }
            case Op::TryElse: {
                Frame& f = top(Op::TryBegin);
                leave_try_region(f);
                set_cog(f, 0);
                f.region = 2;
                f.body_end_used = true;
                current_ = f.b;
                start(EdgeKind::UNCONDITIONAL);
                return;
            }
            case Op::Finally: {
                Frame& f = top(Op::TryBegin);
                leave_try_region(f);
                set_cog(f, 0);
                f.region = 3;
                const std::uint32_t final = new_block();
                flush_pending(f, final);
                current_ = final;
                return;
            }
            case Op::TryEnd: {
                Frame& f = top(Op::TryBegin);
                const std::uint32_t join = new_block();
                if (f.region == 3) {
                    edge(current_, join, EdgeKind::UNCONDITIONAL);
                } else {
                    leave_try_region(f);
                    flush_pending(f, join);
                }
                current_ = join;
                close();
                return;
            }
            case Op::SwitchBegin: {
                cognitive += 1 + cog_nest_;
                Frame f;
                f.op = Op::SwitchBegin;
                const std::uint32_t subject = statement();
                f.b = new_block();
                f.nest = 1;
                f.cog = 1;
                f.pending = pending_.size();
                pending_.push_back({subject, EdgeKind::UNCONDITIONAL});
                open(f);
                current_ = kNo;
                return;
            }
            case Op::Case: {
                Frame& f = top(Op::SwitchBegin);
                if (f.region == 1) edge(current_, f.b, EdgeKind::UNCONDITIONAL);
                f.region = 0;
                const std::uint32_t test = new_block();
                for (std::size_t i = f.pending; i < pending_.size(); ++i) edge(pending_[i].source, test, pending_[i].kind);
                pending_.resize(f.pending);
                current_ = test;
                if ((s.flags & kRefutable) != 0) pending_.push_back({test, EdgeKind::FALSE_});
                if ((s.flags & kGuarded) != 0) {
                    // The guard: the second half of the case's decision.
                    const std::uint32_t guard = start(EdgeKind::SWITCHCASE);
                    if (nested_ == 0) graph.second_halves.emplace_back(guard, test);
                }
                f.guarded = (s.flags & kGuarded) != 0;
                return;
            }
            case Op::CaseBody: {
                Frame& f = top(Op::SwitchBegin);
                if (f.guarded) {
                    const std::uint32_t end = statement();
                    pending_.push_back({end, EdgeKind::FALSE_});
                    start(EdgeKind::TRUE_);
                } else {
                    statement();
                    start(EdgeKind::SWITCHCASE);
                }
                f.region = 1;
                return;
            }
            case Op::SwitchEnd: {
                Frame& f = top(Op::SwitchBegin);
                if (f.region == 1) edge(current_, f.b, EdgeKind::UNCONDITIONAL);
                flush_pending(f, f.b);
                current_ = f.b;
                close();
                return;
            }
            case Op::BlockBegin: {
                Frame f;
                f.op = Op::BlockBegin;
                statement();
                f.nest = 1;
                open(f);
                return;
            }
            case Op::BlockEnd:
                top(Op::BlockBegin);
                close();
                return;
            case Op::NestedBegin: {
                Frame f;
                f.op = Op::NestedBegin;
                f.cog = (s.flags & kFunctionScope) != 0 ? 1 : 0;
                // What the enclosing function was building resumes after
                // the nested body.
                f.a = current_;
                f.pending = pending_.size();
                f.c = static_cast<std::uint32_t>(loops_.size());
                open(f);
                ++nested_;
                return;
            }
            case Op::NestedEnd: {
                Frame& f = top(Op::NestedBegin);
                current_ = f.a;
                pending_.resize(f.pending);
                loops_.resize(f.c);
                --nested_;
                close();
                return;
            }
        }
        throw MalformedTape{"construct tape holds an unknown step"};
    }

    // The end of the try region being left goes to the meeting block,
    // except the body's end, which goes to the else arm when there is one.
    void leave_try_region(Frame& f) {
        if (f.region == 0) {
            f.b = current_;
        } else {
            pending_.push_back({current_, EdgeKind::UNCONDITIONAL});
        }
    }

    void flush_pending(Frame& f, std::uint32_t target) {
        if (f.op == Op::TryBegin && !f.body_end_used) {
            pending_.push_back({f.b, EdgeKind::UNCONDITIONAL});
            f.body_end_used = true;
        }
        for (std::size_t i = f.pending; i < pending_.size(); ++i) edge(pending_[i].source, target, pending_[i].kind);
        pending_.resize(f.pending);
    }
};

}  // namespace

FlowGraph build_graph(const std::vector<Step>& tape) {
    Options o;
    Builder b(o);
    b.run(tape);
    return std::move(b.result());
}

Measures measure(const std::vector<Step>& tape, const Options& options, Workspace& work) {
    Builder b(options);
    b.run(tape);
    const FlowGraph& fg = b.result();
    Measures m;
    m.cognitive = b.cognitive_complexity();
    m.nesting = b.max_nesting();
    m.blocks = fg.block_count;
    m.edges = fg.source.size();

    // The core's own graph over dense ids: block i is id i.
    cfg::Graph g;
    const std::size_t n = fg.block_count;
    const std::size_t e = fg.source.size();
    core::require_u32(e, core::Fault::kTooManyAdmittedEdges);
    g.block_ids.resize(n);
    for (std::size_t i = 0; i < n; ++i) g.block_ids[i] = i;
    g.blocks.resize(n);
    g.edges.resize(e);
    for (std::size_t i = 0; i < e; ++i) {
        g.edges[i] = cfg::Edge{fg.source[i], fg.target[i], static_cast<EdgeKind>(fg.kind[i])};
    }
    g.edge_source = fg.source;
    g.edge_target = fg.target;
    g.entry_id = kEntry;
    g.exit_id = kExit;
    g.entry_slot = kEntry;
    g.exit_slot = kExit;
    g.slot_count = n;
    m.components = cfg::connected_components(g);
    m.betti_1 = e + m.components - n;
    // Every block has a path to the exit or to a loop head, so the graph
    // is connected and E - N + 2 is one plus its decisions.
    m.cyclomatic = e + 2 - n + (options.count_bool_ops ? fg.bool_ops : 0);
    m.longest_path = cfg::longest_acyclic_path(g);
    m.essential = essential_complexity(fg, work);
    return m;
}

}  // namespace velmora::flow
