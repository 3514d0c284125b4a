#include "mirt/sample_weights.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "mirt/pairwise.hpp"

namespace mirt {

Index positive_rows(DSpan weights) {
  Index rows;
  rows.reserve(weights.size());
  for (std::size_t i = 0; i < weights.size(); ++i) {
    if (weights[i] > 0.0) rows.push_back(static_cast<std::int64_t>(i));
  }
  return rows;
}

std::vector<double> rescale_to_count(DSpan weights, ISpan rows, SumOrder order) {
  if (rows.empty()) throw std::invalid_argument("Invalid sample_weight");
  const std::size_t m = rows.size();
  for (std::size_t k = 0; k < m; ++k) {
    const auto i = static_cast<std::size_t>(rows[k]);
    if (i >= weights.size()) throw std::out_of_range("row position beyond the weights");
    if (std::isinf(weights[i])) {
      throw std::invalid_argument("Invalid sample_weight: an infinite weight cannot be rescaled");
    }
  }
  const double count = static_cast<double>(m);
  std::vector<double> out(m);
  const double total = numpy_sum(weights, rows, order);
  if (std::isfinite(total)) {
    for (std::size_t k = 0; k < m; ++k) {
      out[k] = count * weights[static_cast<std::size_t>(rows[k])] / total;
    }
    return out;
  }
  // Finite weights whose sum overflows: proportions are all that matter.
  double largest = 0.0;
  for (std::size_t k = 0; k < m; ++k) {
    largest = std::max(largest, weights[static_cast<std::size_t>(rows[k])]);
  }
  for (std::size_t k = 0; k < m; ++k) out[k] = weights[static_cast<std::size_t>(rows[k])] / largest;
  const double scaled_total = numpy_sum(DSpan(out.data(), out.size()), order);
  for (double& w : out) w = count * w / scaled_total;
  return out;
}

}  // namespace mirt
