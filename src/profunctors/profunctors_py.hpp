// Python surface of the sequence distance.
#pragma once

#include "glue/types.hpp"

namespace velmora::glue {

extern LazyType distance_result_type;
extern PyMethodDef compute_sequence_distance_def;

}  // namespace velmora::glue
