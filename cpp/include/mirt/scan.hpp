// The passes over rows of a scan of many features and pairs for weak regions.
//
// Each column is binned once: numpy.histogram's equal-width edges for a
// numeric column (as the one-feature histogram search draws them) or its
// level codes for a categorical one, and every row's bin is kept. Per bin the
// pass gathers the sums a search and a Welch test need (count, weights,
// scores, weighted scores and their squares), so the searches themselves run
// on these small tables alone, wherever the tables were summed. A pair reuses
// its first column's bins and re-bins the second column inside every first
// bin, as the two-feature histogram search does.
//
// The sums are plain running sums in row order: a bin's mean may differ from
// numpy's pairwise mean in the last bits, never in which rows it covers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mirt/span.hpp"

namespace mirt {

// What a bin (or a cell of a pair) holds. Without weights, w and w2 count the
// rows and ws, ws2 equal s and the sum of squared scores.
struct CellSums {
  std::int64_t count = 0;
  double w = 0, w2 = 0;    // sum of weights, of squared weights
  double s = 0;            // sum of scores (the plain mean where weights sum to 0)
  double ws = 0, ws2 = 0;  // sums of weight * score and weight * score^2

  void add(double score, double weight) noexcept {
    ++count;
    w += weight;
    w2 += weight * weight;
    s += score;
    ws += weight * score;
    ws2 += weight * score * score;
  }
};

struct ScanColumnSpec {
  Strided x;                 // the column over the searched rows, all finite
  std::size_t n_levels = 0;  // > 0: categorical, x holds level codes
};

// One column binned: edges (numeric) or levels, each row's bin, per-bin sums.
struct BinnedColumn {
  std::size_t n_levels = 0;
  double lo = 0, hi = 0;      // range of a numeric column
  std::vector<double> edges;  // numeric only
  std::vector<std::uint32_t> codes;
  std::vector<CellSums> bins;
};

// Bins every column (equal-width with at most max_bins bins, fewer when the
// column has fewer distinct values) and sums the scores per bin; columns are
// shared among threads. weights empty for none. Throws std::invalid_argument
// for a non-finite value, a value that is no level code or a range too narrow
// for the edges.
std::vector<BinnedColumn> bin_columns(const std::vector<ScanColumnSpec>& columns,
                                      std::int64_t max_bins, DSpan scores, DSpan weights);

// A pair's cells: inside every bin i of the first column, the second column's
// bins (equal-width edges over the second column's range inside bin i, or its
// levels), with sums per cell.
struct PairCells {
  std::vector<double> lo2, hi2;             // per first bin (NaN when it is empty)
  std::vector<std::vector<double>> edges2;  // per first bin; numeric second column only
  std::vector<std::int64_t> offsets;        // cells of bin i: offsets[i] .. offsets[i + 1]
  std::vector<CellSums> cells;
};

struct PairSpec {
  Span<const std::uint32_t> first_codes;  // the first column's bin of every row
  std::size_t first_bins = 0;
  ScanColumnSpec second;
};

// The cells of every pair, pairs shared among threads. Throws
// std::invalid_argument as bin_columns does, and for a first code that is
// no bin.
std::vector<PairCells> pair_cells(const std::vector<PairSpec>& pairs, std::int64_t max_bins,
                                  DSpan scores, DSpan weights);

// A binning drawn elsewhere (over all partitions of the rows): equal-width
// edges, the last bin closed where the last edge is `hi`, or level codes.
struct ScanRule {
  std::vector<double> edges;
  double hi = 0;
  std::size_t n_levels = 0;  // > 0: categorical
  std::size_t size() const { return n_levels > 0 ? n_levels : edges.size() - 1; }
};

// Per-bin sums of each column under its given rule, for a part of the rows:
// tables of several parts add up to the table of their union. Rows in no bin
// are skipped. Throws std::invalid_argument for a rule without bins.
std::vector<std::vector<CellSums>> rule_sums(const std::vector<Strided>& columns,
                                             const std::vector<ScanRule>& rules, DSpan scores,
                                             DSpan weights);

// A pair under given rules: the first column's rule, and the second column's
// rule inside every first bin. Cells are numbered first bin by first bin,
// second[b].size() of them in bin b.
struct PairRules {
  std::size_t first = 0, second = 0;  // indices into the columns
  ScanRule first_rule;
  std::vector<ScanRule> second_rules;
};
std::vector<std::vector<CellSums>> rule_cell_sums(const std::vector<Strided>& columns,
                                                  const std::vector<PairRules>& pairs,
                                                  DSpan scores, DSpan weights);

// One condition of a region on one column: lo <= x < hi (x <= hi too when
// closed), or, with level flags, a level code whose flag is set.
struct RegionSide {
  std::size_t column = 0;
  double lo = 0, hi = 0;
  bool closed = false;
  std::vector<char> levels;  // non-empty: a level set
  bool holds(double v) const;
};
using ScanRegion = std::vector<RegionSide>;  // the rows meeting every side

// Sums of the rows of each region and, when members is not null, each
// region's row positions in ascending order. Regions on threads. The same
// call serves all rows in memory and one partition of them.
std::vector<CellSums> region_sums(const std::vector<Strided>& columns,
                                  const std::vector<ScanRegion>& regions, DSpan scores,
                                  DSpan weights,
                                  std::vector<std::vector<std::int64_t>>* members = nullptr);

}  // namespace mirt
