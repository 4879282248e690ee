#include "probes_ast/probes_py.hpp"

#include "probes_ast/compression.hpp"

namespace velmora::glue {

using probes::Detailed;

namespace {

// ---------------------------------------------------------------- EntropyResult

PyGetSetDef result_getset[] = {
    member<&Detailed::ratio>("ratio"),
    member<&Detailed::compressed_size>("compressed_size"),
    member<&Detailed::original_size>("original_size"),
    member<&Detailed::interpretation>("interpretation"),
    kGetSetEnd,
};

PyType_Slot result_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Detailed>)},
    {Py_tp_getset, result_getset},
    {0, nullptr},
};

PyType_Spec result_spec = box_spec<Detailed>("builtins.EntropyResult", kResultFlags, result_slots);

// ---------------------------------------------------------------- functions

const char* const kSourceNames[] = {"source"};
const char* const kBlockNames[] = {"source", "block_size"};

// Converts (source) or (source, block_size), in that order.
bool source_arg(const char* callable, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::string_view& source) {
    const Signature sig{callable, kSourceNames, 1, 1};
    PyObject* a[1];
    return parse_args(sig, args, nargs, kwnames, a) && to_text_view(a[0], "source", source);
}

bool block_args(const char* callable, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::string_view& source, std::uint64_t& block_size) {
    const Signature sig{callable, kBlockNames, 2, 2};
    PyObject* a[2];
    return parse_args(sig, args, nargs, kwnames, a) && to_text_view(a[0], "source", source) &&
           to_u64(a[1], "block_size", block_size);
}

PyObject* kolmogorov_proxy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::string_view source;
        if (!source_arg("calculate_kolmogorov_proxy", args, nargs, kwnames, source)) return nullptr;
        core::Cancel cancel = signal_cancel();
        return from_f64(probes::kolmogorov_proxy(source, cancel));
    });
}

PyObject* entropy_detailed(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::string_view source;
        if (!source_arg("calculate_entropy_detailed", args, nargs, kwnames, source)) return nullptr;
        PyTypeObject* tp = entropy_result_type.get();
        if (tp == nullptr) return nullptr;
        core::Cancel cancel = signal_cancel();
        return box_new(tp, probes::entropy_detailed(source, cancel));
    });
}

PyObject* block_entropy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::string_view source;
        std::uint64_t block_size = 0;
        if (!block_args("calculate_block_entropy", args, nargs, kwnames, source, block_size)) return nullptr;
        core::Cancel cancel = signal_cancel();
        const std::vector<double> values = probes::block_entropy(source, block_size, cancel);
        return new_list(values.size(), [&](std::size_t i) { return from_f64(values[i]); });
    });
}

PyObject* entropy_variance(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::string_view source;
        std::uint64_t block_size = 0;
        if (!block_args("calculate_entropy_variance", args, nargs, kwnames, source, block_size)) return nullptr;
        core::Cancel cancel = signal_cancel();
        return from_f64(probes::variance(probes::block_entropy(source, block_size, cancel)));
    });
}

template <class F>
PyCFunction fastcall(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace

LazyType entropy_result_type{&result_spec};

PyMethodDef calculate_kolmogorov_proxy_def = {"calculate_kolmogorov_proxy", fastcall(kolmogorov_proxy),
                                              METH_FASTCALL | METH_KEYWORDS, "calculate_kolmogorov_proxy(source)\n--\n\n"};
PyMethodDef calculate_entropy_detailed_def = {"calculate_entropy_detailed", fastcall(entropy_detailed),
                                              METH_FASTCALL | METH_KEYWORDS, "calculate_entropy_detailed(source)\n--\n\n"};
PyMethodDef calculate_block_entropy_def = {"calculate_block_entropy", fastcall(block_entropy),
                                           METH_FASTCALL | METH_KEYWORDS,
                                           "calculate_block_entropy(source, block_size)\n--\n\n"};
PyMethodDef calculate_entropy_variance_def = {"calculate_entropy_variance", fastcall(entropy_variance),
                                              METH_FASTCALL | METH_KEYWORDS,
                                              "calculate_entropy_variance(source, block_size)\n--\n\n"};

}  // namespace velmora::glue
