#include "ph/ph_py.hpp"

#include "cfg/edge_py.hpp"
#include "ph/cycle_basis.hpp"

#include <vector>

namespace velmora::glue {

using ph::CycleBasis;
using ph::CycleBasisPtr;

namespace {

// A CycleGenerator is one cycle of a shared, immutable basis: holding the
// basis by reference count lets `cycles` hand out a generator per cycle in
// constant time each, while every attribute read still builds new objects.
struct Generator {
    CycleBasisPtr basis;
    std::size_t index = 0;

    const cfg::Edge& back_edge() const noexcept { return basis->back_edge(index); }
};

const Generator& generator_of(PyObject* self) { return unbox<Generator>(self); }

// ---------------------------------------------------------------- CycleGenerator

// The walk of one generator, retraced from the shared forest.
struct Walk {
    std::vector<std::uint32_t> nodes;
    std::vector<std::uint32_t> edges;
};

Walk walk_of(const Generator& gen) {
    Walk w;
    ph::build_cycle(*gen.basis, gen.index, w.nodes, w.edges);
    return w;
}

PyObject* generator_blocks(PyObject* self, void*) {
    return guarded([&] {
        // Filled straight from the forest: no walk is materialised first.
        const Generator& gen = generator_of(self);
        const ph::CycleBasis& basis = *gen.basis;
        const ph::WalkShape shape = ph::walk_shape(basis, gen.index);
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(shape.node_count())));
        if (!list) return static_cast<PyObject*>(nullptr);
        const bool filled = ph::put_walk_nodes(basis, gen.index, shape, [&](std::size_t i, std::uint32_t node) {
            PyObject* id = from_u64(basis.block_ids[node]);
            if (id == nullptr) return false;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), id);
            return true;
        });
        return filled ? list.release() : nullptr;
    });
}

PyObject* generator_edges(PyObject* self, void*) {
    return guarded([&] {
        const Generator& gen = generator_of(self);
        const Walk w = walk_of(gen);
        const auto& edges = gen.basis->edges;
        return new_list(w.edges.size(), [&](std::size_t i) { return cfg_edge_object(edges[w.edges[i]]); });
    });
}

PyGetSetDef generator_getset[] = {
    {"blocks", generator_blocks, nullptr,
     const_cast<char*>("Ordered walk of block ids forming the closed loop; first == last."), nullptr},
    {"edges", generator_edges, nullptr,
     const_cast<char*>("The tree-path edges plus the one back edge, in walk order."), nullptr},
    member<&Generator::back_edge, cfg_edge_object>("back_edge", "The non-tree edge that \"generates\" this cycle."),
    kGetSetEnd,
};

// No Py_tp_doc: the class's __doc__ is None.
PyType_Slot generator_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Generator>)},
    {Py_tp_getset, generator_getset},
    {0, nullptr},
};

PyType_Spec generator_spec = box_spec<Generator>("builtins.CycleGenerator", kResultFlags, generator_slots);

// ---------------------------------------------------------------- CycleBasisResult

PyObject* result_cycles(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        PyTypeObject* tp = cycle_generator_type.get();
        if (tp == nullptr) return nullptr;
        const CycleBasisPtr& basis = unbox<CycleBasisPtr>(self);
        return new_list(basis->cycle_count(), [&](std::size_t i) { return box_new(tp, Generator{basis, i}); });
    });
}

PyGetSetDef result_getset[] = {
    {"cycles", result_cycles, nullptr, nullptr, nullptr},
    member<&CycleBasis::cycle_count>("betti_1",
                                     "Rank of H1 (the cycle space) \u2014 equals `cyclomatic_complexity() - 1`\n"
                                     "when the CFG has a single connected component (P=1, guaranteed by the\n"
                                     "builder's synthetic entry/exit blocks)."),
    kGetSetEnd,
};

PyType_Slot result_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<CycleBasisPtr>)},
    {Py_tp_getset, result_getset},
    {0, nullptr},
};

PyType_Spec result_spec = box_spec<CycleBasisPtr>("builtins.CycleBasisResult", kResultFlags, result_slots);

}  // namespace

LazyType cycle_generator_type{&generator_spec};
LazyType cycle_basis_result_type{&result_spec};

PyObject* cycle_basis_of(const cfg::Graph& graph) {
    return guarded([&]() -> PyObject* {
        PyTypeObject* tp = cycle_basis_result_type.get();
        if (tp == nullptr) return nullptr;
        core::Cancel cancel = signal_cancel();
        return box_new(tp, ph::compute_cycle_basis(graph, cancel));
    });
}

}  // namespace velmora::glue
