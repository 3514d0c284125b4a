// HistogramSlicing: equal-width bins of one or two slicing features.
#include "context.hpp"

namespace mirt::lowpatch {

void register_histogram_slicing(py::module_&) {}

}  // namespace mirt::lowpatch
