#include "mirt/pointwise.hpp"

#include <cmath>

namespace mirt {

void squared_errors(Strided y, Strided p, double* out) {
  require_same_length(y.size(), p.size(), "the labels and predictions differ in length");
  const std::size_t n = y.size();
  if (y.stride() == 1 && p.stride() == 1) {
    // Contiguous inputs: a loop the compiler vectorises.
    const double* a = y.address(0);
    const double* b = p.address(0);
    for (std::size_t i = 0; i < n; ++i) {
      const double d = a[i] - b[i];
      out[i] = d * d;
    }
    return;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const double d = y[i] - p[i];
    out[i] = d * d;
  }
}

void absolute_errors(Strided y, Strided p, double* out) {
  require_same_length(y.size(), p.size(), "the labels and predictions differ in length");
  const std::size_t n = y.size();
  if (y.stride() == 1 && p.stride() == 1) {
    const double* a = y.address(0);
    const double* b = p.address(0);
    for (std::size_t i = 0; i < n; ++i) out[i] = std::fabs(a[i] - b[i]);
    return;
  }
  for (std::size_t i = 0; i < n; ++i) out[i] = std::fabs(y[i] - p[i]);
}

}  // namespace mirt
