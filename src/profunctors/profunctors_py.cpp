// Placeholder until the sequence distance lands.
#include "profunctors/profunctors_py.hpp"

namespace velmora::glue {
namespace {
PyType_Slot slots[] = {{0, nullptr}};
PyType_Spec distance_spec = {"builtins.DistanceResult", sizeof(PyObject), 0, kResultFlags, slots};
PyObject* todo(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "not yet");
    return nullptr;
}
}  // namespace
LazyType distance_result_type{&distance_spec};
PyMethodDef compute_sequence_distance_def = {"compute_sequence_distance", reinterpret_cast<PyCFunction>(reinterpret_cast<void(*)()>(todo)), METH_FASTCALL | METH_KEYWORDS, "compute_sequence_distance(source, target)\n--\n\n"};
}  // namespace velmora::glue
