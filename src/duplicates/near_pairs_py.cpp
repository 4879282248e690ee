#include "duplicates/near_pairs_py.hpp"

#include <string_view>
#include <vector>

#include "duplicates/near_pairs.hpp"
#include "glue/boundary.hpp"
#include "glue/convert.hpp"

namespace velmora::duplicates {

namespace {

using glue::Ref;

bool u32_in(PyObject* o, const char* param, std::uint64_t lo, std::uint64_t hi, std::uint32_t& out) {
    std::uint64_t v = 0;
    if (!glue::to_u64(o, param, v)) return false;
    if (v < lo || v > hi) {
        PyErr_Format(PyExc_ValueError, "argument '%s': must be from %llu to %llu", param,
                     static_cast<unsigned long long>(lo), static_cast<unsigned long long>(hi));
        return false;
    }
    out = static_cast<std::uint32_t>(v);
    return true;
}

}  // namespace

PyObject* near_pairs_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"seqs", "min_similarity", "bands", "rows", "window", "min_bands", "family"};
    static const glue::Signature sig{"near_pairs", names, 7, 7};
    return glue::guarded([&]() -> PyObject* {
        PyObject* a[7];
        if (!glue::parse_args(sig, args, nargs, kwnames, a)) return nullptr;
        // The items are held for the whole call: the views below point
        // into them.
        std::vector<Ref> held;
        std::vector<std::string_view> seqs;
        const bool ok = glue::for_each_item(
            a[0], "seqs",
            [&](std::size_t n) {
                held.reserve(n);
                seqs.reserve(n);
            },
            [&](PyObject* item) {
                if (!PyBytes_Check(item)) {
                    glue::type_error("seqs", "expected bytes, not '%s'", Py_TYPE(item)->tp_name);
                    return false;
                }
                held.push_back(Ref::borrow(item));
                seqs.emplace_back(PyBytes_AS_STRING(item), static_cast<std::size_t>(PyBytes_GET_SIZE(item)));
                return true;
            });
        if (!ok) return nullptr;
        SearchParams params;
        if (!glue::to_f64(a[1], "min_similarity", params.min_similarity)) return nullptr;
        if (!(params.min_similarity > 0.0 && params.min_similarity <= 1.0)) {
            PyErr_SetString(PyExc_ValueError, "argument 'min_similarity': must be above 0 and at most 1");
            return nullptr;
        }
        if (!u32_in(a[2], "bands", 1, 64, params.bands) || !u32_in(a[3], "rows", 1, 64, params.rows) ||
            !u32_in(a[4], "window", 1, 254, params.window) ||
            !u32_in(a[5], "min_bands", 1, params.bands, params.min_bands) ||
            !u32_in(a[6], "family", 0, 1u << 20, params.family)) {
            return nullptr;
        }
        core::Cancel cancel = glue::signal_cancel();
        const SearchResult found = near_pairs(seqs, params, cancel);
        Ref pairs = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(found.pairs.size())));
        if (!pairs) return nullptr;
        for (std::size_t k = 0; k < found.pairs.size(); ++k) {
            const Pair& p = found.pairs[k];
            PyObject* t = Py_BuildValue("(III)", p.first, p.second, p.distance);
            if (t == nullptr) return nullptr;
            PyTuple_SET_ITEM(pairs.get(), static_cast<Py_ssize_t>(k), t);
        }
        return Py_BuildValue("(NKK)", pairs.release(), static_cast<unsigned long long>(found.compared),
                             static_cast<unsigned long long>(found.distances));
    });
}

}  // namespace velmora::duplicates
