// Python surface of the information probes.
#pragma once

#include "glue/types.hpp"

namespace velmora::glue {

extern LazyType entropy_result_type;
extern PyMethodDef calculate_kolmogorov_proxy_def;
extern PyMethodDef calculate_entropy_detailed_def;
extern PyMethodDef calculate_block_entropy_def;
extern PyMethodDef calculate_entropy_variance_def;

}  // namespace velmora::glue
