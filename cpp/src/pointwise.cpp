#include "mirt/pointwise.hpp"

#include <cmath>

namespace mirt {

namespace {

// out[i] = f(y[i] - p[i]), the difference rounded to a double first.
template <typename F>
void of_differences(Strided y, Strided p, double* out, F f) {
  require_same_length(y.size(), p.size(), "the labels and predictions differ in length");
  const std::size_t n = y.size();
  if (y.stride() == 1 && p.stride() == 1) {
    // Contiguous inputs: a loop the compiler vectorises.
    const double* a = y.address(0);
    const double* b = p.address(0);
    for (std::size_t i = 0; i < n; ++i) out[i] = f(a[i] - b[i]);
    return;
  }
  for (std::size_t i = 0; i < n; ++i) out[i] = f(y[i] - p[i]);
}

}  // namespace

void squared_errors(Strided y, Strided p, double* out) {
  of_differences(y, p, out, [](double d) { return d * d; });
}

void absolute_errors(Strided y, Strided p, double* out) {
  of_differences(y, p, out, [](double d) { return std::fabs(d); });
}

}  // namespace mirt
