#include "frc/frc_py.hpp"

#include "frc/curvature.hpp"

#include <vector>

namespace velmora::glue {

using frc::EdgeCurvature;
using frc::WeightedEdge;

// ---------------------------------------------------------------- WeightedEdge

namespace {

PyObject* weighted_vectorcall(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static const char* const names[] = {"source", "target", "weight"};
    static const Signature sig{"WeightedEdge", names, 3, 2};
    return guarded([&]() -> PyObject* {
        PyObject* a[3];
        if (!parse_args(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
        WeightedEdge e;
        if (!to_u64(a[0], "source", e.source) || !to_u64(a[1], "target", e.target)) return nullptr;
        if (a[2] != nullptr && !to_f64(a[2], "weight", e.weight)) return nullptr;
        return box_new(weighted_edge_type.get(), e);
    });
}

PyGetSetDef weighted_getset[] = {
    member<&WeightedEdge::source>("source"),
    member<&WeightedEdge::target>("target"),
    member<&WeightedEdge::weight>("weight"),
    kGetSetEnd,
};

PyType_Slot weighted_slots[] = {
    {Py_tp_doc, const_cast<char*>("WeightedEdge(source, target, weight=1.0)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(tp_new_via<weighted_vectorcall>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<WeightedEdge>)},
    {Py_tp_getset, weighted_getset},
    {0, nullptr},
};

PyType_Spec weighted_spec = box_spec<WeightedEdge>("builtins.WeightedEdge", kRecordFlags, weighted_slots);

// ---------------------------------------------------------------- EdgeCurvature

PyGetSetDef curvature_getset[] = {
    member<&EdgeCurvature::source>("source"),
    member<&EdgeCurvature::target>("target"),
    member<&EdgeCurvature::curvature>("curvature"),
    kGetSetEnd,
};

PyType_Slot curvature_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<EdgeCurvature>)},
    {Py_tp_getset, curvature_getset},
    {0, nullptr},
};

PyType_Spec curvature_spec = box_spec<EdgeCurvature>("builtins.EdgeCurvature", kResultFlags, curvature_slots);

}  // namespace

LazyType weighted_edge_type{&weighted_spec, weighted_vectorcall};
LazyType edge_curvature_type{&curvature_spec};

// ---------------------------------------------------------------- functions

namespace {

bool edges_arg(PyObject* seq, std::vector<WeightedEdge>& out) {
    return records_arg(seq, "edges", weighted_edge_type, out);
}

bool node_weights_arg(PyObject* dict, frc::NodeWeights& out) {
    if (PyDict_Check(dict)) out.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
    return for_each_entry(dict, "node_weights", [&](PyObject* key, PyObject* value) {
        // A value's __float__ may delete its own entry; hold it meanwhile.
        Ref held = Ref::borrow(value);
        std::uint64_t id = 0;
        double w = 0.0;
        if (!to_u64(key, "node_weights", id) || !to_f64(held.get(), "node_weights", w)) return false;
        out.emplace_back(id, w);
        return true;
    });
}

PyObject* curvature_list(const std::vector<EdgeCurvature>& results) {
    PyTypeObject* tp = edge_curvature_type.get();
    if (tp == nullptr) return nullptr;
    return new_list(results.size(), [&](std::size_t i) { return box_new(tp, results[i]); });
}

PyObject* balanced_forman_curvature(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"edges"};
    static const Signature sig{"balanced_forman_curvature", names, 1, 1};
    return guarded([&]() -> PyObject* {
        PyObject* a[1];
        if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
        std::vector<WeightedEdge> edges;
        if (!edges_arg(a[0], edges)) return nullptr;
        core::Cancel cancel = signal_cancel();
        return curvature_list(frc::balanced_forman_curvature(edges, cancel));
    });
}

PyObject* directed_forman_curvature(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"edges", "node_weights"};
    static const Signature sig{"directed_forman_curvature", names, 2, 1};
    return guarded([&]() -> PyObject* {
        PyObject* a[2];
        if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
        std::vector<WeightedEdge> edges;
        if (!edges_arg(a[0], edges)) return nullptr;
        frc::NodeWeights weights;
        if (!absent_or_none(a[1]) && !node_weights_arg(a[1], weights)) return nullptr;
        core::Cancel cancel = signal_cancel();
        return curvature_list(frc::directed_forman_curvature(edges, weights, cancel));
    });
}

constexpr const char kBalancedDoc[] =
    "balanced_forman_curvature(edges)\n--\n\n"
    "Balanced Forman curvature of every edge of `edges`, a sequence of\n"
    "WeightedEdge, treated as an undirected simple graph.\n\n"
    "Edge weights are ignored: the curvature is purely combinatorial, built\n"
    "from the endpoint degrees, the number of triangles through the edge and\n"
    "a 4-cycle term. There is one result per unordered node pair: duplicate,\n"
    "parallel and reciprocal input edges collapse to a single result, which\n"
    "the first such input edge reports with its own source and target, in\n"
    "input order. Self-loops give no result.\n\n"
    "The 4-cycle scan of each edge is restricted to the neighbour set of the\n"
    "relevant endpoint; this gives the same value as scanning every node,\n"
    "because the per-candidate factor is zero for every node outside that\n"
    "set.\n\n"
    "The curvature is 0 whenever the smaller endpoint degree is at most 1\n"
    "(a pendant or leaf edge). That case is decided before any triangle or\n"
    "4-cycle work because the raw formula degenerates there: a bare isolated\n"
    "edge would otherwise score 4 instead of about 0.";

constexpr const char kDirectedDoc[] =
    "directed_forman_curvature(edges, node_weights=None)\n--\n\n"
    "Directed Forman-Ricci curvature of every edge of `edges`, a sequence of\n"
    "WeightedEdge, for every edge e from u to v:\n\n"
    "    Ric(e) = w_e * (w_u / w_e + w_v / w_e\n"
    "                    - sum over e_in of sqrt(w_u / w_e_in)\n"
    "                    - sum over e_out of sqrt(w_v / w_e_out))\n\n"
    "where e_in ranges over the edges incoming to u and e_out over the edges\n"
    "outgoing from v. Node weights w_u, w_v come from `node_weights`, a dict\n"
    "keyed by the caller's node ids; a node that is not a key weighs 1.0,\n"
    "and keys that are not nodes of the graph are ignored. Edge weights come\n"
    "from WeightedEdge.weight (1.0 by default). An edge whose weight is 0 or\n"
    "less gets 0.0 and is left out of the other edges' sums.\n\n"
    "Highly negative values flag choke points: edges through which many\n"
    "independent paths funnel. There is one result per input edge, in input\n"
    "order, not deduplicated; only self-loops give no result.";

}  // namespace

PyMethodDef balanced_forman_curvature_def = {
    "balanced_forman_curvature", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(balanced_forman_curvature)),
    METH_FASTCALL | METH_KEYWORDS, kBalancedDoc};
PyMethodDef directed_forman_curvature_def = {
    "directed_forman_curvature", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(directed_forman_curvature)),
    METH_FASTCALL | METH_KEYWORDS, kDirectedDoc};

}  // namespace velmora::glue
