// Placeholder until the curvature lands.
#include "frc/frc_py.hpp"

namespace velmora::glue {
namespace {
PyType_Slot slots[] = {{0, nullptr}};
PyType_Spec weighted_spec = {"builtins.WeightedEdge", sizeof(PyObject), 0, kResultFlags, slots};
PyType_Spec curvature_spec = {"builtins.EdgeCurvature", sizeof(PyObject), 0, kResultFlags, slots};
PyObject* todo(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "not yet");
    return nullptr;
}
}  // namespace
LazyType weighted_edge_type{&weighted_spec};
LazyType edge_curvature_type{&curvature_spec};
PyMethodDef balanced_forman_curvature_def = {"balanced_forman_curvature", reinterpret_cast<PyCFunction>(reinterpret_cast<void(*)()>(todo)), METH_FASTCALL | METH_KEYWORDS, "balanced_forman_curvature(edges)\n--\n\n"};
PyMethodDef directed_forman_curvature_def = {"directed_forman_curvature", reinterpret_cast<PyCFunction>(reinterpret_cast<void(*)()>(todo)), METH_FASTCALL | METH_KEYWORDS, "directed_forman_curvature(edges, node_weights=None)\n--\n\n"};
}  // namespace velmora::glue
