// Per-bin figures that add up across partitions of the rows, and the
// histogram search run from them alone.
//
// When the rows are spread over many machines, each partition bins its own
// rows against edges every partition shares and returns, per bin, the row
// count and the sums of scores, weights and weighted scores. Those sums add
// up across partitions in any order; the search then runs on the totals, with
// the same edges, weak-bin rule, fusion and size filter as the search over
// rows. Only the order of the additions differs from numpy's, so the means
// agree with the in-memory search to a few units in the last place, not to
// the bit; counts, edges and bounds are identical.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mirt/histogram.hpp"
#include "mirt/levels.hpp"
#include "mirt/span.hpp"

namespace mirt {

// Count and sums per bin. Sums are compensated within a partition, so a
// partition's error does not grow with its length.
struct BinSums {
  std::vector<std::int64_t> count;
  std::vector<double> sum;          // of the scores
  std::vector<double> weight_sum;   // empty without weights
  std::vector<double> product_sum;  // of score * weight; empty without weights

  BinSums() = default;
  BinSums(std::size_t bins, bool weighted);
  std::size_t size() const { return count.size(); }
  bool weighted() const { return !weight_sum.empty(); }
  // Adds another partition's sums (same bins, same weighting).
  void add(const BinSums& other);
  // The bin's score as the search over rows takes it: weighted when the
  // bin's weights sum to a positive number, the plain mean otherwise, NaN
  // without rows.
  Bin bin(std::size_t b) const;
  // The same for the union of several bins (flags[b] != 0).
  double mean_of(const std::vector<char>& flags) const;
};

// How a partition finds a row's bin along one feature: equal-width edges
// (closed at the top where the last edge is `hi`), or `levels` level codes.
struct BinRule {
  std::vector<double> edges;
  double hi = 0;
  std::size_t levels = 0;  // > 0: a categorical feature
  std::size_t size() const { return levels > 0 ? levels : edges.size() - 1; }
};

// The sorted distinct finite values of x, at most `limit` of them: the
// partition's part of numpy's distinct-value cap on the bin count. Where the
// partition alone reaches the limit, so does the whole column.
std::vector<double> distinct_upto(Column x, std::size_t limit);

// Per-bin sums of one partition's rows under a rule. Rows outside every bin
// are skipped; a value that is not a level code of a categorical rule is
// refused with std::invalid_argument.
BinSums bin_sums(Column x, const BinRule& rule, DSpan scores, DSpan weights);

// Inside every bin of the first feature: the second feature's smallest and
// largest value (NaN when the bin is empty) and up to `limit` of its distinct
// values, all that a second-feature binning per first bin needs.
struct FirstBinRanges {
  std::vector<double> lo, hi;
  std::vector<std::vector<double>> distinct;
};
FirstBinRanges first_bin_ranges(Column x1, const BinRule& first, Column x2, std::size_t limit);

// Per-cell sums for two features: the second feature binned by its own rule
// inside each first bin. Cells are numbered first bin by first bin.
BinSums cell_sums(Column x1, const BinRule& first, Column x2, const std::vector<BinRule>& second,
                  DSpan scores, DSpan weights);

// The one-feature search of histogram.hpp from totals: `edges` are those the
// sums were binned with, over the data range [lo, hi]. Quantiles of the
// regions are taken from the counts.
Search1D search_1d_from_sums(double lo, double hi, const std::vector<double>& edges,
                             const BinSums& sums, const SearchParams& params);

// The search over levels (levels.hpp) from per-level totals.
Search1D search_levels_from_sums(const BinSums& sums, const SearchParams& params);

// Count and sums of the rows inside each box (the table's rule), one entry per
// box, in one pass; x2 is read only for boxes with a second side.
BinSums box_sums(Column x1, Column x2, const std::vector<LevelBox>& boxes, DSpan scores,
                 DSpan weights);

// Per row: 1 when it lies in some box, else 0.
std::vector<char> in_any_box(Column x1, Column x2, const std::vector<LevelBox>& boxes);

}  // namespace mirt
