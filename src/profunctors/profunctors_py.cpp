#include "profunctors/profunctors_py.hpp"

#include <vector>

#include "profunctors/sequence_distance.hpp"

namespace velmora::glue {

using profunctors::EditCounts;
using profunctors::SymbolTable;

// ---------------------------------------------------------------- DistanceResult

namespace {

// No operation builds one; the class is registered with its attributes so
// that callers can name it.
struct DistanceValue {
    std::uint64_t raw_distance = 0;
    double normalized_distance = 0.0;
    EditCounts operations;
};

// A new dict filled in the order insertions, deletions, substitutions.
PyObject* counts_dict(const EditCounts& c) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    const std::pair<const char*, std::uint64_t> items[] = {
        {"insertions", c.insertions},
        {"deletions", c.deletions},
        {"substitutions", c.substitutions},
    };
    for (const auto& [key, value] : items) {
        Ref v = Ref::steal(from_u64(value));
        if (!v || PyDict_SetItemString(dict.get(), key, v.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* result_raw_distance(PyObject* self, void*) { return from_u64(unbox<DistanceValue>(self).raw_distance); }
PyObject* result_normalized_distance(PyObject* self, void*) {
    return from_f64(unbox<DistanceValue>(self).normalized_distance);
}
PyObject* result_operations(PyObject* self, void*) { return counts_dict(unbox<DistanceValue>(self).operations); }

PyGetSetDef result_getset[] = {
    {"raw_distance", result_raw_distance, nullptr, nullptr, nullptr},
    {"normalized_distance", result_normalized_distance, nullptr, nullptr, nullptr},
    {"operations", result_operations, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<DistanceValue>)},
    {Py_tp_getset, result_getset},
    {0, nullptr},
};

PyType_Spec result_spec = {
    .name = "builtins.DistanceResult",
    .basicsize = sizeof(Box<DistanceValue>),
    .itemsize = 0,
    .flags = kResultFlags,
    .slots = result_slots,
};

// ---------------------------------------------------------------- compute_sequence_distance

// Texts become symbols while they are read, so both sequences share one
// numbering and the core compares integers only.
bool symbols_arg(PyObject* seq, const char* param, SymbolTable& table, std::vector<std::uint32_t>& out) {
    return for_each_item(
        seq, param, [&](std::size_t n) { out.reserve(n); },
        [&](PyObject* item) {
            std::string_view text;
            if (!to_text_view(item, param, text)) return false;
            out.push_back(table.intern(text));
            return true;
        });
}

// Signals are looked at about every four million table cells.
constexpr std::uint64_t kWordsPerSignalCheck = 1u << 16;

PyObject* compute_sequence_distance(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"source", "target"};
    static const Signature sig{"compute_sequence_distance", names, 2, 2};
    return guarded([&]() -> PyObject* {
        PyObject* a[2];
        if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
        SymbolTable table;
        std::vector<std::uint32_t> source;
        std::vector<std::uint32_t> target;
        if (!symbols_arg(a[0], "source", table, source)) return nullptr;
        if (!symbols_arg(a[1], "target", table, target)) return nullptr;
        core::Cancel cancel = signal_cancel(kWordsPerSignalCheck);
        const EditCounts counts = profunctors::sequence_distance(source, target, cancel);
        Ref distance = Ref::steal(from_u64(counts.distance));
        if (!distance) return nullptr;
        Ref ops = Ref::steal(counts_dict(counts));
        if (!ops) return nullptr;
        return PyTuple_Pack(2, distance.get(), ops.get());
    });
}

}  // namespace

LazyType distance_result_type{&result_spec};

PyMethodDef compute_sequence_distance_def = {
    "compute_sequence_distance",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compute_sequence_distance)),
    METH_FASTCALL | METH_KEYWORDS,
    "compute_sequence_distance(source, target)\n--\n\n",
};

}  // namespace velmora::glue
