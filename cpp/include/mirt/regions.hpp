// Region membership: which rows fall inside a box of one or two slicing
// features. Lower bounds are closed; an upper bound is closed only when asked,
// which the callers decide (the last histogram bin, or a bound that equals the
// column maximum).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mirt/columns.hpp"
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

// members_each on columns read in place, which also checks that every value
// of x1 (and of x2, when given) is finite: the one pass a table needs over a
// side whose columns sit in a wide row-major matrix. x2 may be null only when
// no box has a second interval. When a value is not finite the lists are
// meaningless and `non_finite` says where it is.
struct Membership {
  std::vector<Index> rows;
  NonFinite non_finite;
};
Membership members_each_checked(Strided x1, const Strided* x2, const std::vector<Box>& boxes);
// The same pass over `parts` consecutive row ranges, each on a thread of its
// own; the lists are joined in row order and equal the single pass's.
Membership members_each_checked(Strided x1, const Strided* x2, const std::vector<Box>& boxes,
                                std::size_t parts);

// The table's rule for a bound found by a search: the upper bound is closed
// exactly when it equals the maximum of the searched column.
inline Interval table_interval(double lb, double ub, double column_maximum) {
  return {lb, ub, ub == column_maximum};
}

}  // namespace mirt
