// Placeholder until the cycle basis lands.
#include "ph/ph_py.hpp"

namespace velmora::glue {
namespace {
PyType_Slot placeholder_slots[] = {{0, nullptr}};
PyType_Spec generator_spec = {"builtins.CycleGenerator", sizeof(PyObject), 0, kResultFlags, placeholder_slots};
PyType_Spec result_spec = {"builtins.CycleBasisResult", sizeof(PyObject), 0, kResultFlags, placeholder_slots};
}  // namespace

LazyType cycle_generator_type{&generator_spec};
LazyType cycle_basis_result_type{&result_spec};

PyObject* cycle_basis_of(const cfg::Graph&) {
    PyErr_SetString(PyExc_NotImplementedError, "cycle_basis");
    return nullptr;
}

}  // namespace velmora::glue
