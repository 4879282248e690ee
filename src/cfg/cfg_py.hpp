// Python classes of the control-flow graph model: EdgeKind, BasicBlock,
// CFGEdge and ControlFlowGraph.
#pragma once

#include "cfg/graph.hpp"
#include "glue/types.hpp"

namespace velmora::glue {

extern LazyType edge_kind_type;
extern LazyType basic_block_type;
extern LazyType cfg_edge_type;
extern LazyType control_flow_graph_type;

// The cached member object of `kind` (a new reference).
PyObject* edge_kind_object(cfg::EdgeKind kind);
// A new CFGEdge holding a copy of `edge`.
PyObject* cfg_edge_object(const cfg::Edge& edge);

}  // namespace velmora::glue
