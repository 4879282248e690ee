// Placeholder until the metrics land.
#include "cfg/metrics.hpp"

namespace velmora::cfg {

std::uint64_t connected_components(const Graph&) { throw core::Panic("not implemented"); }
std::uint64_t cyclomatic_complexity(const Graph&) { throw core::Panic("not implemented"); }
std::uint64_t essential_complexity(const Graph&) { throw core::Panic("not implemented"); }
std::uint64_t max_nesting_depth(const Graph&, core::Cancel&) { throw core::Panic("not implemented"); }
std::uint64_t longest_acyclic_path(const Graph&) { throw core::Panic("not implemented"); }

}  // namespace velmora::cfg
