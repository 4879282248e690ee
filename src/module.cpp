// The module entry: PyInit_velmora hands the interpreter a multi-phase
// definition whose one exec step registers every name, top to bottom in
// the order they appear in __all__.
#include "glue/types.hpp"

#include "cfg/cfg_py.hpp"
#include "cfg/edge_py.hpp"
#include "frc/frc_py.hpp"
#include "ph/ph_py.hpp"
#include "probes_ast/probes_py.hpp"
#include "profunctors/profunctors_py.hpp"
#include "uast/uast_py.hpp"

namespace velmora::glue {
namespace {

// One row per name: a class (created once per process) or a function.
struct Registration {
    const char* name;
    LazyType* type;
    PyMethodDef* function;
};

const Registration kRegistry[] = {
    {"SourceSpan", &source_span_type, nullptr},
    {"NativeRef", &native_ref_type, nullptr},
    {"UASTNode", &uast_node_type, nullptr},
    {"EdgeKind", &edge_kind_type, nullptr},
    {"BasicBlock", &basic_block_type, nullptr},
    {"CFGEdge", &cfg_edge_type, nullptr},
    {"ControlFlowGraph", &control_flow_graph_type, nullptr},
    {"CycleGenerator", &cycle_generator_type, nullptr},
    {"CycleBasisResult", &cycle_basis_result_type, nullptr},
    {"WeightedEdge", &weighted_edge_type, nullptr},
    {"EdgeCurvature", &edge_curvature_type, nullptr},
    {"balanced_forman_curvature", nullptr, &balanced_forman_curvature_def},
    {"directed_forman_curvature", nullptr, &directed_forman_curvature_def},
    {"EntropyResult", &entropy_result_type, nullptr},
    {"calculate_kolmogorov_proxy", nullptr, &calculate_kolmogorov_proxy_def},
    {"calculate_entropy_detailed", nullptr, &calculate_entropy_detailed_def},
    {"calculate_block_entropy", nullptr, &calculate_block_entropy_def},
    {"calculate_entropy_variance", nullptr, &calculate_entropy_variance_def},
    {"DistanceResult", &distance_result_type, nullptr},
    {"compute_sequence_distance", nullptr, &compute_sequence_distance_def},
};

// The module's __all__ list, created empty when the module has none. A
// namespace that already holds something else there is refused before
// anything is bound.
Ref all_list(PyObject* module) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return all;
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return Ref();
        return all;
    }
    if (!PyList_Check(all.get())) {
        PyErr_Format(PyExc_TypeError, "velmora: __all__ must be a list, not '%s'", Py_TYPE(all.get())->tp_name);
        return Ref();
    }
    return all;
}

// Appends `name` to __all__, then binds it.
int bind(PyObject* module, PyObject* all, const char* name, PyObject* value) {
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all, text.get()) < 0) return -1;
    return PyObject_SetAttr(module, text.get(), value);
}

int exec_module(PyObject* module) {
    // The importing thread's first entry.
    prepare_thread();
    // The class objects are created once per process and belong to the
    // main interpreter; another interpreter sharing them could corrupt
    // their reference counts, so it is refused. (The slot below refuses
    // isolated interpreters before this step runs; legacy ones, which
    // ignore it, are stopped here.)
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "velmora can only be imported in the main interpreter: its classes are created once "
                        "per process and cannot be shared with subinterpreters");
        return -1;
    }
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    Ref all = all_list(module);
    if (!all) return -1;
    for (const Registration& r : kRegistry) {
        Ref value;
        if (r.type != nullptr) {
            value = Ref::borrow(reinterpret_cast<PyObject*>(r.type->get()));
        } else {
            value = Ref::steal(PyCFunction_NewEx(r.function, module, module_name.get()));
        }
        if (!value || bind(module, all.get(), r.name, value.get()) < 0) return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    // Not supported: the classes are process-wide objects of the main
    // interpreter, so no second interpreter may load the module.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "velmora",     // m_name
    "",            // m_doc: empty
    0,             // m_size: no per-module state
    nullptr,       // m_methods: functions are bound by exec_module
    module_slots,  // m_slots: the exec step and the interpreter rule
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace velmora::glue

PyMODINIT_FUNC PyInit_velmora(void) { return PyModuleDef_Init(&velmora::glue::module_def); }
