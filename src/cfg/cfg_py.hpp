// Python classes of the control-flow graph model: BasicBlock and
// ControlFlowGraph (the edges are in edge_py.hpp).
#pragma once

#include "cfg/graph.hpp"
#include "glue/types.hpp"

namespace velmora::glue {

extern LazyType basic_block_type;
extern LazyType control_flow_graph_type;

}  // namespace velmora::glue
