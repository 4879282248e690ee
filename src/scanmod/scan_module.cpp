// The entry of velmora_scan._native, the analyzer's native path: one call
// per parsed file builds every function's control-flow graph and measures
// on the core's structures (see src/flow and src/frontends/python).
#include "duplicates/near_pairs_py.hpp"
#include "frontends/python/python_frontend_py.hpp"
#include "glue/boundary.hpp"

namespace velmora::glue {
namespace {

template <class F>
PyCFunction fastcall(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef scan_methods[] = {
    {"configure", fastcall(frontends::python::configure), METH_FASTCALL,
     "configure(classes)\n--\n\nTells the front end the syntax-tree classes; classes[i] has kind code i."},
    {"analyze", fastcall(frontends::python::analyze), METH_FASTCALL,
     "analyze(tree, source, block_size, count_bool_ops)\n--\n\n"
     "Measures every function of one parsed module: (functions, imports, lines, entropy_variance)."},
    {"near_pairs", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(duplicates::near_pairs_py)),
     METH_FASTCALL | METH_KEYWORDS,
     "near_pairs(seqs, min_similarity, bands, rows, window, min_bands, family)\n--\n\n"
     "Near-duplicate pairs among distinct byte sequences: ((first, second, distance), ...), the candidate "
     "pairs decided, and how many of them took an edit distance."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject*) {
    // The front end keeps process-wide tables of the interpreter's classes.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, "velmora_scan._native can only be imported in the main interpreter");
        return -1;
    }
    return 0;
}

PyModuleDef_Slot scan_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef scan_def = {
    PyModuleDef_HEAD_INIT,
    "velmora_scan._native",
    "The native analysis path of velmora-scan.",
    0,
    scan_methods,
    scan_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace velmora::glue

// The import system derives this name from the module's, `_native`.
PyMODINIT_FUNC PyInit__native(void) {  // NOLINT(bugprone-reserved-identifier)
    return PyModuleDef_Init(&velmora::glue::scan_def);
}
