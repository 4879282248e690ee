// velmora_scan._native's entry to the near-duplicate search.
#pragma once

#include "glue/ref.hpp"

namespace velmora::duplicates {

// near_pairs(seqs, min_similarity, bands, rows, window, min_bands, family)
//   -> (pairs, compared, distances); pairs: (first, second, distance) in the
//   order found.
PyObject* near_pairs_py(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace velmora::duplicates
