// Python classes of the control-flow edges, EdgeKind and CFGEdge, and the
// conversions of edges that the graph and the cycle basis both use.
#pragma once

#include "cfg/graph.hpp"
#include "glue/types.hpp"

#include <vector>

namespace velmora::glue {

extern LazyType edge_kind_type;
extern LazyType cfg_edge_type;

// The cached member object of `kind` (a new reference).
PyObject* edge_kind_object(cfg::EdgeKind kind) noexcept;
// A new CFGEdge holding a copy of `edge`.
PyObject* cfg_edge_object(const cfg::Edge& edge);
// A new list of new CFGEdge objects, in order.
PyObject* edge_list_to_py(const std::vector<cfg::Edge>& edges);

}  // namespace velmora::glue
