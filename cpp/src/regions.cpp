#include "mirt/regions.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

namespace mirt {

Index members(DSpan x, const Interval& a) {
  Index out;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (a.contains(x[i])) out.push_back(static_cast<std::int64_t>(i));
  }
  return out;
}

Index members(DSpan x1, const Interval& a, DSpan x2, const Interval& b) {
  require_same_length(x1.size(), x2.size(), "the two slicing columns differ in length");
  Index out;
  for (std::size_t i = 0; i < x1.size(); ++i) {
    if (a.contains(x1[i]) && b.contains(x2[i])) out.push_back(static_cast<std::int64_t>(i));
  }
  return out;
}

Index members(DSpan x1, DSpan x2, const Box& box) {
  return box.has_second ? members(x1, box.first, x2, box.second) : members(x1, box.first);
}

Index members_of_any(DSpan x1, DSpan x2, const std::vector<Box>& boxes) {
  std::vector<unsigned char> hit(x1.size(), 0);
  for (const Box& box : boxes) {
    if (box.has_second) {
      require_same_length(x1.size(), x2.size(), "the two slicing columns differ in length");
      for (std::size_t i = 0; i < x1.size(); ++i) {
        hit[i] |= static_cast<unsigned char>(box.first.contains(x1[i]) &&
                                             box.second.contains(x2[i]));
      }
    } else {
      for (std::size_t i = 0; i < x1.size(); ++i) {
        hit[i] |= static_cast<unsigned char>(box.first.contains(x1[i]));
      }
    }
  }
  Index out;
  for (std::size_t i = 0; i < hit.size(); ++i) {
    if (hit[i]) out.push_back(static_cast<std::int64_t>(i));
  }
  return out;
}

double column_max(DSpan x) {
  if (x.empty()) return std::numeric_limits<double>::quiet_NaN();
  double m = x[0];
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (std::isnan(x[i])) return x[i];
    if (x[i] > m) m = x[i];
  }
  return m;
}

double column_min(DSpan x) {
  if (x.empty()) return std::numeric_limits<double>::quiet_NaN();
  double m = x[0];
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (std::isnan(x[i])) return x[i];
    if (x[i] < m) m = x[i];
  }
  return m;
}

std::int64_t first_non_finite(DSpan x) {
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (!std::isfinite(x[i])) return static_cast<std::int64_t>(i);
  }
  return -1;
}

}  // namespace mirt
