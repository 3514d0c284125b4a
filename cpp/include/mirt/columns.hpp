// Passes over whole columns that the searches and the driver need before
// any region: copying slicing columns out of a wide matrix with their range,
// the smallest and largest value, and the first value that is not finite.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mirt/span.hpp"

namespace mirt {

// The first value of a pass that was not finite: its column (0 for x1, 1 for
// x2) and row, or row -1 when every value was.
struct NonFinite {
  int column = -1;
  std::int64_t row = -1;
  explicit operator bool() const noexcept { return row >= 0; }
};

// Copies columns read in place into one column-major block (column j at
// out + j * n, n rows each) in a single pass over the rows, and reports the
// first value that is not finite (column numbered by its place in `columns`).
// When `range` is given it receives each column's smallest and largest value
// (2 per column), meaningful only when every value is finite.
NonFinite copy_columns(const std::vector<Strided>& columns, double* out, double* range = nullptr);

// Largest value, or NaN when the column is empty or holds a NaN (numpy's max).
double column_max(Column x);
double column_min(Column x);

// Whether every value is finite; the position of the first that is not, or -1.
std::int64_t first_non_finite(Column x);

}  // namespace mirt
