// Region membership: which rows fall inside a box of one or two slicing
// features. Lower bounds are closed; an upper bound is closed only when asked,
// which the callers decide (the last histogram bin, or a bound that equals the
// column maximum).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mirt/span.hpp"

namespace mirt {

struct Interval {
  double lb;
  double ub;
  bool closed_upper;

  bool contains(double v) const noexcept {
    // NaN compares false, as in numpy, so it is never inside.
    return (v >= lb) & (closed_upper ? (v <= ub) : (v < ub));
  }
};

// A weak region as the table reports it: one or two intervals.
struct Box {
  Interval first;
  bool has_second = false;
  Interval second{0.0, 0.0, false};
};

// Positions of the rows of x inside the interval, ascending.
Index members(Column x, const Interval& a);

// Positions of the rows inside both intervals (x1 in a and x2 in b), ascending.
Index members(Column x1, const Interval& a, Column x2, const Interval& b);

// Positions of the rows inside a box; x2 is read only for two-feature boxes.
Index members(Column x1, Column x2, const Box& box);

// Positions inside each box, one list per box, in one pass over the rows.
std::vector<Index> members_each(Column x1, Column x2, const std::vector<Box>& boxes);

// Positions inside at least one of the boxes, ascending and without repeats.
Index members_of_any(Column x1, Column x2, const std::vector<Box>& boxes);

// Largest value, or NaN when the column is empty or holds a NaN (numpy's max).
double column_max(Column x);
double column_min(Column x);

// Whether every value is finite; the position of the first that is not, or -1.
std::int64_t first_non_finite(Column x);

// The table's rule for a bound found by a search: the upper bound is closed
// exactly when it equals the maximum of the searched column.
inline Interval table_interval(double lb, double ub, double column_maximum) {
  return {lb, ub, ub == column_maximum};
}

}  // namespace mirt
