#include "cfg/cfg_py.hpp"

#include "cfg/metrics.hpp"
#include "ph/ph_py.hpp"
#include "uast/uast_py.hpp"

namespace velmora::glue {

using cfg::Block;
using cfg::BlockPtr;
using cfg::Edge;
using cfg::EdgeKind;
using cfg::Graph;

// ---------------------------------------------------------------- EdgeKind

namespace {

constexpr const char* kKindNames[cfg::kEdgeKindCount] = {
    "UNCONDITIONAL", "TRUE", "FALSE", "LOOPBACK", "BREAK", "CONTINUE", "RETURN", "EXCEPTION", "SWITCHCASE",
};

PyObject* g_kinds[cfg::kEdgeKindCount] = {};  // the nine members, kept for the life of the process

int kind_value(PyObject* self) { return static_cast<int>(unbox<EdgeKind>(self)); }

PyObject* kind_repr(PyObject* self) { return PyUnicode_FromFormat("EdgeKind.%s", kKindNames[kind_value(self)]); }

PyObject* kind_int(PyObject* self) { return PyLong_FromLong(kind_value(self)); }

PyObject* kind_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    long long rhs = 0;
    if (edge_kind_type.is(other)) {
        rhs = kind_value(other);
    } else if (PyLong_Check(other) || PyIndex_Check(other)) {
        Ref index = Ref::steal(PyNumber_Index(other));
        if (index) {
            int overflow = 0;
            rhs = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
            if (overflow != 0) Py_RETURN_NOTIMPLEMENTED;
            if (rhs == -1 && PyErr_Occurred()) return nullptr;
        } else if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            // __index__ returned something that is not an int.
            PyErr_Clear();
            Py_RETURN_NOTIMPLEMENTED;
        } else {
            return nullptr;
        }
    } else {
        Py_RETURN_NOTIMPLEMENTED;
    }
    const bool equal = kind_value(self) == rhs;
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

PyType_Slot kind_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(kind_repr)},
    {Py_nb_int, reinterpret_cast<void*>(kind_int)},
    {Py_tp_richcompare, reinterpret_cast<void*>(kind_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<EdgeKind>)},
    {0, nullptr},
};

PyType_Spec kind_spec = {
    .name = "builtins.EdgeKind",
    .basicsize = sizeof(Box<EdgeKind>),
    .itemsize = 0,
    .flags = kResultFlags,
    .slots = kind_slots,
};

// The members are class attributes: written into the type's dict directly,
// since the class is immutable to Python code.
bool kind_setup(PyTypeObject* tp) {
    Ref dict = Ref::steal(PyType_GetDict(tp));
    if (!dict) return false;
    for (int i = 0; i < cfg::kEdgeKindCount; ++i) {
        if (g_kinds[i] == nullptr) {
            g_kinds[i] = box_new(tp, static_cast<EdgeKind>(i));
            if (g_kinds[i] == nullptr) return false;
        }
        if (PyDict_SetItemString(dict.get(), kKindNames[i], g_kinds[i]) < 0) return false;
    }
    return true;
}

}  // namespace

LazyType edge_kind_type{&kind_spec, nullptr, kind_setup};

PyObject* edge_kind_object(EdgeKind kind) {
    if (edge_kind_type.get() == nullptr) return nullptr;
    return Py_NewRef(g_kinds[static_cast<int>(kind)]);
}

// ---------------------------------------------------------------- BasicBlock

namespace {

const Block& block_of(PyObject* self) { return *unbox<BlockPtr>(self); }

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

PyObject* block_id(PyObject* self, void*) { return from_u64(block_of(self).id); }
PyObject* block_statements(PyObject* self, void*) { return node_list_to_py(block_of(self).statements); }
PyObject* block_label(PyObject* self, void*) { return from_text(block_of(self).label); }

PyGetSetDef block_getset[] = {
    {"id", block_id, nullptr, nullptr, nullptr},
    {"statements", block_statements, nullptr, nullptr, nullptr},
    {"label", block_label, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot block_slots[] = {
    {Py_tp_doc, const_cast<char*>("BasicBlock(id, statements=None, label=...)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(tp_new_via<block_vectorcall>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<BlockPtr>)},
    {Py_tp_getset, block_getset},
    {0, nullptr},
};

PyType_Spec block_spec = {
    .name = "builtins.BasicBlock",
    .basicsize = sizeof(Box<BlockPtr>),
    .itemsize = 0,
    .flags = kRecordFlags,
    .slots = block_slots,
};

// ---------------------------------------------------------------- CFGEdge

PyObject* edge_vectorcall(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static const char* const names[] = {"source", "target", "kind"};
    static const Signature sig{"CFGEdge", names, 3, 3};
    return guarded([&]() -> PyObject* {
        PyObject* a[3];
        if (!parse_args(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
        Edge e;
        if (!to_u64(a[0], "source", e.source) || !to_u64(a[1], "target", e.target)) return nullptr;
        const EdgeKind* kind = record_arg<EdgeKind>(a[2], edge_kind_type, "kind", "EdgeKind");
        if (kind == nullptr) return nullptr;
        e.kind = *kind;
        return box_new(cfg_edge_type.get(), e);
    });
}

PyObject* edge_source(PyObject* self, void*) { return from_u64(unbox<Edge>(self).source); }
PyObject* edge_target(PyObject* self, void*) { return from_u64(unbox<Edge>(self).target); }
PyObject* edge_kind(PyObject* self, void*) { return edge_kind_object(unbox<Edge>(self).kind); }

PyGetSetDef edge_getset[] = {
    {"source", edge_source, nullptr, nullptr, nullptr},
    {"target", edge_target, nullptr, nullptr, nullptr},
    {"kind", edge_kind, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot edge_slots[] = {
    {Py_tp_doc, const_cast<char*>("CFGEdge(source, target, kind)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(tp_new_via<edge_vectorcall>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Edge>)},
    {Py_tp_getset, edge_getset},
    {0, nullptr},
};

PyType_Spec edge_spec = {
    .name = "builtins.CFGEdge",
    .basicsize = sizeof(Box<Edge>),
    .itemsize = 0,
    .flags = kRecordFlags,
    .slots = edge_slots,
};

}  // namespace

LazyType basic_block_type{&block_spec, block_vectorcall};
LazyType cfg_edge_type{&edge_spec, edge_vectorcall};

PyObject* cfg_edge_object(const Edge& edge) { return box_new(cfg_edge_type.get(), edge); }

// ---------------------------------------------------------------- ControlFlowGraph

namespace {

const Graph& graph_of(PyObject* self) { return unbox<Graph>(self); }

bool edges_arg(PyObject* seq, std::vector<Edge>& out) {
    PyTypeObject* tp = cfg_edge_type.get();
    if (tp == nullptr) return false;
    return for_each_item(
        seq, "edges", [&](std::size_t n) { out.reserve(n); },
        [&](PyObject* item) {
            if (!Py_IS_TYPE(item, tp)) {
                type_error("edges", "'%s' object cannot be converted to 'CFGEdge'", Py_TYPE(item)->tp_name);
                return false;
            }
            out.push_back(unbox<Edge>(item));
            return true;
        });
}

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
                if (!Py_IS_TYPE(value, block_tp)) {
                    type_error("blocks", "'%s' object cannot be converted to 'BasicBlock'", Py_TYPE(value)->tp_name);
                    return false;
                }
                builder.add_block(id, unbox<BlockPtr>(value));
                return true;
            });
            if (!ok) return nullptr;
        }
        std::vector<Edge> edges;
        if (!absent_or_none(a[1]) && !edges_arg(a[1], edges)) return nullptr;
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

PyObject* graph_edges(PyObject* self, void*) {
    return guarded([&] {
        const Graph& g = graph_of(self);
        return new_list(g.edges.size(), [&](std::size_t i) { return cfg_edge_object(g.edges[i]); });
    });
}

PyObject* graph_entry_id(PyObject* self, void*) { return from_u64(graph_of(self).entry_id); }
PyObject* graph_exit_id(PyObject* self, void*) { return from_u64(graph_of(self).exit_id); }

PyGetSetDef graph_getset[] = {
    {"blocks", graph_blocks, nullptr, nullptr, nullptr},
    {"edges", graph_edges, nullptr, nullptr, nullptr},
    {"entry_id", graph_entry_id, nullptr, nullptr, nullptr},
    {"exit_id", graph_exit_id, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <std::uint64_t (*Metric)(const Graph&)>
PyObject* metric_method(PyObject* self, PyObject*) {
    return guarded([&] { return from_u64(Metric(graph_of(self))); });
}

PyObject* graph_max_nesting_depth(PyObject* self, PyObject*) {
    return guarded([&] {
        core::Cancel cancel = signal_cancel(1u << 22);
        return from_u64(cfg::max_nesting_depth(graph_of(self), cancel));
    });
}

PyObject* graph_cycle_basis(PyObject* self, PyObject*) { return cycle_basis_of(graph_of(self)); }

PyMethodDef graph_methods[] = {
    {"cycle_basis", graph_cycle_basis, METH_NOARGS,
     "cycle_basis($self)\n--\n\n"
     "Fundamental cycle basis (spanning tree + back-edge closure)\n\n"
     "Maintainers: the forest and the cycle assembly live in src/ph/cycle_basis_core.cpp;\n"
     "this method converts the graph's stored edges and wraps the result."},
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

PyType_Spec graph_spec = {
    .name = "builtins.ControlFlowGraph",
    .basicsize = sizeof(Box<Graph>),
    .itemsize = 0,
    .flags = kRecordFlags,
    .slots = graph_slots,
};

}  // namespace

LazyType control_flow_graph_type{&graph_spec, graph_vectorcall};

}  // namespace velmora::glue
