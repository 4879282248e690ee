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

// A new dict filled in the order insertions, deletions, substitutions. The
// keys are made once per process (the module lives in the main interpreter
// only) rather than decoded and hashed again for every result.
PyObject* counts_dict(const EditCounts& c) {
    static const char* const names[] = {"insertions", "deletions", "substitutions"};
    static PyObject* keys[3] = {nullptr, nullptr, nullptr};
    for (std::size_t k = 0; k < 3; ++k) {
        if (keys[k] == nullptr && (keys[k] = PyUnicode_InternFromString(names[k])) == nullptr) return nullptr;
    }
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    const std::uint64_t values[] = {c.insertions, c.deletions, c.substitutions};
    for (std::size_t k = 0; k < 3; ++k) {
        Ref v = Ref::steal(from_u64(values[k]));
        if (!v || PyDict_SetItem(dict.get(), keys[k], v.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyGetSetDef result_getset[] = {
    member<&DistanceValue::raw_distance>("raw_distance"),
    member<&DistanceValue::normalized_distance>("normalized_distance"),
    member<&DistanceValue::operations, counts_dict>("operations"),
    kGetSetEnd,
};

PyType_Slot result_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<DistanceValue>)},
    {Py_tp_getset, result_getset},
    {0, nullptr},
};

PyType_Spec result_spec = box_spec<DistanceValue>("builtins.DistanceResult", kResultFlags, result_slots);

// ---------------------------------------------------------------- compute_sequence_distance

// Texts become symbols while they are read, so both sequences share one
// numbering and the core compares integers only.
//
// The table is keyed on the str hash, which the interpreter caches in each
// string, so a token already hashed is not read twice. It is str's own hash
// function even for subclasses: an overridden __hash__ has no say in
// whether two texts are equal.
bool symbols_arg(PyObject* seq, const char* param, SymbolTable& table, std::vector<std::uint32_t>& out) {
    return for_each_item(
        seq, param,
        [&](std::size_t n) {
            out.reserve(n);
            table.reserve(n);
        },
        [&](PyObject* item) {
            std::string_view text;
            if (!to_text_view(item, param, text)) return false;
            const Py_hash_t hash = PyUnicode_Type.tp_hash(item);
            if (hash == -1 && PyErr_Occurred()) return false;
            out.push_back(table.intern(text, static_cast<std::uint64_t>(hash)));
            return true;
        });
}

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
        core::Cancel cancel = signal_cancel();
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
