#include "cfg/edge_py.hpp"

namespace velmora::glue {

using cfg::Edge;
using cfg::EdgeKind;

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

PyType_Spec kind_spec = box_spec<EdgeKind>("builtins.EdgeKind", kResultFlags, kind_slots);

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

PyObject* edge_kind_object(EdgeKind kind) noexcept {
    if (edge_kind_type.get() == nullptr) return nullptr;
    return Py_NewRef(g_kinds[static_cast<int>(kind)]);
}

// ---------------------------------------------------------------- CFGEdge

namespace {

PyObject* edge_vectorcall(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static const char* const names[] = {"source", "target", "kind"};
    static const Signature sig{"CFGEdge", names, 3, 3};
    return guarded([&]() -> PyObject* {
        PyObject* a[3];
        if (!parse_args(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
        Edge e;
        if (!to_u64(a[0], "source", e.source) || !to_u64(a[1], "target", e.target)) return nullptr;
        const EdgeKind* kind = record_arg<EdgeKind>(a[2], edge_kind_type, "kind");
        if (kind == nullptr) return nullptr;
        e.kind = *kind;
        return box_new(cfg_edge_type.get(), e);
    });
}

PyGetSetDef edge_getset[] = {
    member<&Edge::source>("source"),
    member<&Edge::target>("target"),
    member<&Edge::kind, edge_kind_object>("kind"),
    kGetSetEnd,
};

PyType_Slot edge_slots[] = {
    {Py_tp_doc, const_cast<char*>("CFGEdge(source, target, kind)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(tp_new_via<edge_vectorcall>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Edge>)},
    {Py_tp_getset, edge_getset},
    {0, nullptr},
};

PyType_Spec edge_spec = box_spec<Edge>("builtins.CFGEdge", kRecordFlags, edge_slots);

}  // namespace

LazyType cfg_edge_type{&edge_spec, edge_vectorcall};

PyObject* cfg_edge_object(const Edge& edge) { return box_new(cfg_edge_type.get(), edge); }

PyObject* edge_list_to_py(const std::vector<Edge>& edges) {
    return new_list(edges.size(), [&](std::size_t i) { return cfg_edge_object(edges[i]); });
}

}  // namespace velmora::glue
