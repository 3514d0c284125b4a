// Locating values on a grid of sorted split points, and looking effects up on
// such grids. A grid of k split points has k + 1 cells; the cell of a value is
// the number of split points that send it right.
//
// Two rules decide where a value equal to a split point goes:
// - XGBoost's: a value goes left only when it is strictly below the split
//   point, after rounding the value to float32 (the booster stores thresholds
//   and compares features in float32), so an equal value lands in the upper
//   cell.
// - "at most goes left": a value at or below the split point goes left,
//   compared in float64, so an equal value lands in the lower cell.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "mirt/interrupt.hpp"
#include "mirt/span.hpp"

namespace mirt {

enum class SplitRule { kXgboost, kAtMostLeft };

// Raised for a NaN in the data: no cell can hold it, and the booster would
// route it by its missing-value branch, which the grids do not represent.
class MissingValueError : public std::invalid_argument {
 public:
  explicit MissingValueError(std::size_t row)
      : std::invalid_argument("NaN at row " + std::to_string(row)), row_(row) {}
  std::size_t row() const noexcept { return row_; }

 private:
  std::size_t row_;
};

// Number of split points s with s <= v. Branch-free, so that unsorted data do
// not pay for mispredicted branches; splits must be sorted ascending.
inline std::size_t count_at_or_below(const double* s, std::size_t k, double v) noexcept {
  if (k == 0) return 0;
  const double* base = s;
  std::size_t len = k;
  while (len > 1) {
    const std::size_t half = len / 2;
    base = (base[half - 1] <= v) ? base + half : base;
    len -= half;
  }
  return static_cast<std::size_t>(base - s) + (*base <= v ? 1 : 0);
}

// Number of split points s with s < v.
inline std::size_t count_below(const double* s, std::size_t k, double v) noexcept {
  if (k == 0) return 0;
  const double* base = s;
  std::size_t len = k;
  while (len > 1) {
    const std::size_t half = len / 2;
    base = (base[half - 1] < v) ? base + half : base;
    len -= half;
  }
  return static_cast<std::size_t>(base - s) + (*base < v ? 1 : 0);
}

// The cell of v under the rule. v must not be NaN.
inline std::size_t cell_of(DSpan splits, double v, SplitRule rule) noexcept {
  if (rule == SplitRule::kXgboost) {
    const double v32 = static_cast<double>(static_cast<float>(v));
    return count_at_or_below(splits.data(), splits.size(), v32);
  }
  return count_below(splits.data(), splits.size(), v);
}

// Throws std::invalid_argument unless the split points are finite and
// strictly increasing.
void check_splits(DSpan splits, const char* what);

// The long row loops poll for an interrupt once per this many rows (less one).
inline constexpr std::size_t kRowsPerCheck = (std::size_t{1} << 16) - 1;

// Cell of every value of x. Throws MissingValueError at the first NaN.
template <typename Cell>
void cells_of(Strided x, DSpan splits, SplitRule rule, Cell* out) {
  for (std::size_t i = 0; i < x.size(); ++i) {
    if ((i & kRowsPerCheck) == kRowsPerCheck) check_interrupt();
    const double v = x[i];
    if (v != v) throw MissingValueError(i);
    out[i] = static_cast<Cell>(cell_of(splits, v, rule));
  }
}

// out[i] = values[cell of x[i]]; values has splits.size() + 1 entries.
// Throws MissingValueError at the first NaN, std::invalid_argument for
// mismatched sizes.
void lookup_1d(Strided x, DSpan splits, DSpan values, SplitRule rule, double* out);

// out[i] = values[c1 * (s2.size() + 1) + c2], values row-major of shape
// (s1.size() + 1, s2.size() + 1). Throws MissingValueError with the first row
// holding a NaN in either column.
void lookup_2d(Strided x1, Strided x2, DSpan s1, DSpan s2, DSpan values,
               SplitRule rule, double* out);

}  // namespace mirt
