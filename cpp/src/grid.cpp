#include "mirt/grid.hpp"

#include <cmath>
#include <string>

namespace mirt {

void check_splits(DSpan splits, const char* what) {
  for (std::size_t i = 0; i < splits.size(); ++i) {
    if (!std::isfinite(splits[i])) {
      throw std::invalid_argument(std::string(what) + " must be finite numbers");
    }
    if (i > 0 && !(splits[i - 1] < splits[i])) {
      throw std::invalid_argument(std::string(what) +
                                  " must be sorted in strictly increasing order");
    }
  }
}

void lookup_1d(Strided x, DSpan splits, DSpan values, SplitRule rule, double* out) {
  if (values.size() != splits.size() + 1) {
    throw std::invalid_argument("an effect on k split points needs k + 1 values");
  }
  for (std::size_t i = 0; i < x.size(); ++i) {
    if ((i & kRowsPerCheck) == kRowsPerCheck) check_interrupt();
    const double v = x[i];
    if (v != v) throw MissingValueError(i);
    out[i] = values[cell_of(splits, v, rule)];
  }
}

void lookup_2d(Strided x1, Strided x2, DSpan s1, DSpan s2, DSpan values,
               SplitRule rule, double* out) {
  if (x1.size() != x2.size()) throw std::invalid_argument("the two columns differ in length");
  const std::size_t n2 = s2.size() + 1;
  if (values.size() != (s1.size() + 1) * n2) {
    throw std::invalid_argument(
        "an interaction on k1 x k2 split points needs (k1 + 1) x (k2 + 1) values");
  }
  for (std::size_t i = 0; i < x1.size(); ++i) {
    if ((i & kRowsPerCheck) == kRowsPerCheck) check_interrupt();
    const double v1 = x1[i];
    const double v2 = x2[i];
    if (v1 != v1 || v2 != v2) throw MissingValueError(i);
    out[i] = values[cell_of(s1, v1, rule) * n2 + cell_of(s2, v2, rule)];
  }
}

}  // namespace mirt
