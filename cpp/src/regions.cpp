#include "mirt/regions.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

namespace mirt {

namespace {

// Positions where pred(i) holds, ascending. Counting first lets the result be
// allocated once and filled without a branch per row.
template <typename Pred>
Index select(std::size_t n, const Pred& pred) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < n; ++i) count += pred(i) ? 1 : 0;
  Index out(count);
  std::size_t k = 0;
  for (std::size_t i = 0; i < n && k < count; ++i) {
    out[k] = static_cast<std::int64_t>(i);
    k += pred(i) ? 1 : 0;
  }
  return out;
}

}  // namespace

Index members(Column x, const Interval& a) {
  return select(x.size(), [&](std::size_t i) { return a.contains(x[i]); });
}

Index members(Column x1, const Interval& a, Column x2, const Interval& b) {
  require_same_length(x1.size(), x2.size(), "the two slicing columns differ in length");
  return select(x1.size(), [&](std::size_t i) { return a.contains(x1[i]) & b.contains(x2[i]); });
}

Index members(Column x1, Column x2, const Box& box) {
  return box.has_second ? members(x1, box.first, x2, box.second) : members(x1, box.first);
}

std::vector<Index> members_each(Column x1, Column x2, const std::vector<Box>& boxes) {
  std::vector<Index> out(boxes.size());
  bool any_second = false;
  for (const Box& box : boxes) any_second = any_second || box.has_second;
  if (any_second) {
    require_same_length(x1.size(), x2.size(), "the two slicing columns differ in length");
  }
  for (std::size_t i = 0; i < x1.size(); ++i) {
    const double v1 = x1[i];
    const double v2 = any_second ? x2[i] : 0.0;
    for (std::size_t b = 0; b < boxes.size(); ++b) {
      const Box& box = boxes[b];
      if (box.first.contains(v1) && (!box.has_second || box.second.contains(v2))) {
        out[b].push_back(static_cast<std::int64_t>(i));
      }
    }
  }
  return out;
}

Index members_of_any(Column x1, Column x2, const std::vector<Box>& boxes) {
  std::vector<unsigned char> hit(x1.size(), 0);
  for (const Box& box : boxes) {
    if (box.has_second) {
      require_same_length(x1.size(), x2.size(), "the two slicing columns differ in length");
      for (std::size_t i = 0; i < x1.size(); ++i) {
        hit[i] |= static_cast<unsigned char>(box.first.contains(x1[i]) &
                                             box.second.contains(x2[i]));
      }
    } else {
      for (std::size_t i = 0; i < x1.size(); ++i) {
        hit[i] |= static_cast<unsigned char>(box.first.contains(x1[i]));
      }
    }
  }
  return select(hit.size(), [&](std::size_t i) { return hit[i] != 0; });
}

double column_max(Column x) {
  if (x.empty()) return std::numeric_limits<double>::quiet_NaN();
  double m = x[0];
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (std::isnan(x[i])) return x[i];
    if (x[i] > m) m = x[i];
  }
  return m;
}

double column_min(Column x) {
  if (x.empty()) return std::numeric_limits<double>::quiet_NaN();
  double m = x[0];
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (std::isnan(x[i])) return x[i];
    if (x[i] < m) m = x[i];
  }
  return m;
}

std::int64_t first_non_finite(Column x) {
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (!std::isfinite(x[i])) return static_cast<std::int64_t>(i);
  }
  return -1;
}

}  // namespace mirt
