// Python classes of the cycle space: CycleGenerator and CycleBasisResult.
#pragma once

#include "cfg/graph.hpp"
#include "glue/types.hpp"

namespace velmora::glue {

extern LazyType cycle_generator_type;
extern LazyType cycle_basis_result_type;

// ControlFlowGraph.cycle_basis(): computes and wraps the result.
PyObject* cycle_basis_of(const cfg::Graph& graph);

}  // namespace velmora::glue
