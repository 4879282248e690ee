// The Python front end: reads the `ast` objects of one parsed source file
// and hands every function body to the construct builder as a tape, with
// the per-function records the analyzer reports (node kinds, call sites,
// statement counts) and the file's imports.
#pragma once

#include "glue/ref.hpp"

namespace velmora::frontends::python {

// configure(classes): `classes[i]` is the syntax-tree class whose kind code
// is i. Must be called once before analyze.
PyObject* configure(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// analyze(tree, source, block_size, count_bool_ops) ->
//   (functions, imports, lines, entropy_variance)
PyObject* analyze(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace velmora::frontends::python
