// Python surface of the graph curvature.
#pragma once

#include "glue/types.hpp"

namespace velmora::glue {

extern LazyType weighted_edge_type;
extern LazyType edge_curvature_type;
extern PyMethodDef balanced_forman_curvature_def;
extern PyMethodDef directed_forman_curvature_def;

}  // namespace velmora::glue
