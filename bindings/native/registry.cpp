#include "native.hpp"

namespace mirt::native {

void register_all(py::module_& m) {
  // Each kernel group adds its registration call here.
  register_effects(m);
  register_pointwise(m);
  register_reports(m);
  register_levels(m);
  register_scan(m);
  register_bin_sums(m);
}

}  // namespace mirt::native
