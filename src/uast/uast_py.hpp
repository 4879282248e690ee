// Python classes of the syntax tree: SourceSpan, NativeRef, UASTNode, and
// the node-sequence conversion that every place accepting nodes uses.
#pragma once

#include "glue/types.hpp"
#include "uast/uast.hpp"

#include <vector>

namespace velmora::glue {

extern LazyType source_span_type;
extern LazyType native_ref_type;
extern LazyType uast_node_type;

// A node sequence argument: any sequence of UASTNode but a str.
bool node_list_arg(PyObject* seq, const char* param, std::vector<uast::NodePtr>& out);
// A new list of new UASTNode objects sharing the stored nodes.
PyObject* node_list_to_py(const std::vector<uast::NodePtr>& nodes);

}  // namespace velmora::glue
