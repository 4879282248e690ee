// Placeholder until the probes land.
#include "probes_ast/probes_py.hpp"

namespace velmora::glue {
namespace {
PyType_Slot slots[] = {{0, nullptr}};
PyType_Spec entropy_spec = {"builtins.EntropyResult", sizeof(PyObject), 0, kResultFlags, slots};
PyObject* todo(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "not yet");
    return nullptr;
}
}  // namespace
LazyType entropy_result_type{&entropy_spec};
PyMethodDef calculate_kolmogorov_proxy_def = {"calculate_kolmogorov_proxy", reinterpret_cast<PyCFunction>(reinterpret_cast<void(*)()>(todo)), METH_FASTCALL | METH_KEYWORDS, "calculate_kolmogorov_proxy(source)\n--\n\n"};
PyMethodDef calculate_entropy_detailed_def = {"calculate_entropy_detailed", reinterpret_cast<PyCFunction>(reinterpret_cast<void(*)()>(todo)), METH_FASTCALL | METH_KEYWORDS, "calculate_entropy_detailed(source)\n--\n\n"};
PyMethodDef calculate_block_entropy_def = {"calculate_block_entropy", reinterpret_cast<PyCFunction>(reinterpret_cast<void(*)()>(todo)), METH_FASTCALL | METH_KEYWORDS, "calculate_block_entropy(source, block_size)\n--\n\n"};
PyMethodDef calculate_entropy_variance_def = {"calculate_entropy_variance", reinterpret_cast<PyCFunction>(reinterpret_cast<void(*)()>(todo)), METH_FASTCALL | METH_KEYWORDS, "calculate_entropy_variance(source, block_size)\n--\n\n"};
}  // namespace velmora::glue
