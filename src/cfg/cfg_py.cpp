#include "cfg/cfg_py.hpp"

#include "cfg/edge_py.hpp"
#include "cfg/metrics.hpp"
#include "ph/ph_py.hpp"
#include "uast/uast_py.hpp"

namespace velmora::glue {

using cfg::Block;
using cfg::BlockPtr;
using cfg::Edge;
using cfg::Graph;

// ---------------------------------------------------------------- BasicBlock

namespace {

PyObject* block_vectorcall(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static const char* const names[] = {"id", "statements", "label"};
    static const Signature sig{"BasicBlock", names, 3, 1};
    return guarded([&]() -> PyObject* {
        PyObject* a[3];
        if (!parse_args(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
        BlockPtr block = BlockPtr::adopt(new Block());
        auto& b = const_cast<Block&>(*block);
        if (!to_u64(a[0], "id", b.id)) return nullptr;
        if (!absent_or_none(a[1]) && !node_list_arg(a[1], "statements", b.statements)) return nullptr;
        if (a[2] != nullptr && !to_text(a[2], "label", b.label)) return nullptr;
        return box_new(basic_block_type.get(), std::move(block));
    });
}

PyGetSetDef block_getset[] = {
    member<&Block::id>("id"),
    member<&Block::statements, node_list_to_py>("statements"),
    member<&Block::label>("label"),
    kGetSetEnd,
};

PyType_Slot block_slots[] = {
    {Py_tp_doc, const_cast<char*>("BasicBlock(id, statements=None, label=...)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(tp_new_via<block_vectorcall>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<BlockPtr>)},
    {Py_tp_getset, block_getset},
    {0, nullptr},
};

PyType_Spec block_spec = box_spec<BlockPtr>("builtins.BasicBlock", kRecordFlags, block_slots);

}  // namespace

LazyType basic_block_type{&block_spec, block_vectorcall};

// ---------------------------------------------------------------- ControlFlowGraph

namespace {

const Graph& graph_of(PyObject* self) { return unbox<Graph>(self); }

PyObject* graph_vectorcall(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static const char* const names[] = {"blocks", "edges", "entry_id", "exit_id"};
    static const Signature sig{"ControlFlowGraph", names, 4, 0};
    return guarded([&]() -> PyObject* {
        PyObject* a[4];
        if (!parse_args(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
        PyTypeObject* block_tp = basic_block_type.get();
        if (block_tp == nullptr) return nullptr;
        const std::size_t expected =
            (a[0] != nullptr && PyDict_Check(a[0])) ? static_cast<std::size_t>(PyDict_GET_SIZE(a[0])) : 0;
        cfg::GraphBuilder builder(expected);
        if (!absent_or_none(a[0])) {
            bool ok = for_each_entry(a[0], "blocks", [&](PyObject* key, PyObject* value) {
                std::uint64_t id = 0;
                if (!to_u64(key, "blocks", id)) return false;
                if (!Py_IS_TYPE(value, block_tp)) return refuse_record(value, basic_block_type, "blocks");
                builder.add_block(id, unbox<BlockPtr>(value));
                return true;
            });
            if (!ok) return nullptr;
        }
        std::vector<Edge> edges;
        if (!absent_or_none(a[1]) && !records_arg(a[1], "edges", cfg_edge_type, edges)) return nullptr;
        std::uint64_t entry = 0;
        std::uint64_t exit = 1;
        if (a[2] != nullptr && !to_u64(a[2], "entry_id", entry)) return nullptr;
        if (a[3] != nullptr && !to_u64(a[3], "exit_id", exit)) return nullptr;
        return box_new(control_flow_graph_type.get(), builder.finish(std::move(edges), entry, exit));
    });
}

PyObject* graph_blocks(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const Graph& g = graph_of(self);
        PyTypeObject* tp = basic_block_type.get();
        if (tp == nullptr) return nullptr;
        Ref dict = Ref::steal(PyDict_New());
        if (!dict) return nullptr;
        for (std::size_t i = 0; i < g.block_count(); ++i) {
            Ref key = Ref::steal(from_u64(g.block_ids[i]));
            if (!key) return nullptr;
            Ref value = Ref::steal(box_new(tp, g.blocks[i]));
            if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
        }
        return dict.release();
    });
}

PyGetSetDef graph_getset[] = {
    {"blocks", graph_blocks, nullptr, nullptr, nullptr},
    member<&Graph::edges, edge_list_to_py>("edges"),
    member<&Graph::entry_id>("entry_id"),
    member<&Graph::exit_id>("exit_id"),
    kGetSetEnd,
};

template <std::uint64_t (*Metric)(const Graph&)>
PyObject* metric_method(PyObject* self, PyObject*) {
    return guarded([&] { return from_u64(Metric(graph_of(self))); });
}

PyObject* graph_max_nesting_depth(PyObject* self, PyObject*) {
    return guarded([&] {
        core::Cancel cancel = signal_cancel();
        return from_u64(cfg::max_nesting_depth(graph_of(self), cancel));
    });
}

PyObject* graph_cycle_basis(PyObject* self, PyObject*) { return cycle_basis_of(graph_of(self)); }

PyMethodDef graph_methods[] = {
    {"cycle_basis", graph_cycle_basis, METH_NOARGS,
     "cycle_basis($self)\n--\n\n"
     "Fundamental cycle basis (spanning tree + back-edge closure)\n\n"
     "A breadth-first spanning forest is grown over the blocks, edge\n"
     "directions ignored, from entry_id and then from every block not yet\n"
     "reached, in the order of `blocks`. Every edge between two distinct\n"
     "blocks that the forest does not use closes one cycle: self-loops and\n"
     "edges naming a missing block are left out, parallel edges are kept.\n"
     "betti_1 counts the cycles; exit_id is not used."},
    {"cyclomatic_complexity", metric_method<cfg::cyclomatic_complexity>, METH_NOARGS,
     "cyclomatic_complexity($self)\n--\n\n"},
    {"essential_complexity", metric_method<cfg::essential_complexity>, METH_NOARGS,
     "essential_complexity($self)\n--\n\n"},
    {"max_nesting_depth", graph_max_nesting_depth, METH_NOARGS, "max_nesting_depth($self)\n--\n\n"},
    {"longest_acyclic_path", metric_method<cfg::longest_acyclic_path>, METH_NOARGS,
     "longest_acyclic_path($self)\n--\n\n"},
    {"connected_components", metric_method<cfg::connected_components>, METH_NOARGS,
     "connected_components($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot graph_slots[] = {
    {Py_tp_doc, const_cast<char*>("ControlFlowGraph(blocks=None, edges=None, entry_id=0, exit_id=1)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(tp_new_via<graph_vectorcall>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Graph>)},
    {Py_tp_getset, graph_getset},
    {Py_tp_methods, graph_methods},
    {0, nullptr},
};

PyType_Spec graph_spec = box_spec<Graph>("builtins.ControlFlowGraph", kRecordFlags, graph_slots);

}  // namespace

LazyType control_flow_graph_type{&graph_spec, graph_vectorcall};

}  // namespace velmora::glue
