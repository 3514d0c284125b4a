// Equal-width histogram search for weak regions.
//
// The search bins one feature with numpy.histogram's edges, scores every bin,
// marks the weak bins, fuses weak bins that touch, drops fused intervals with
// too few rows and folds the bins of each kept interval into one rule. All of
// it runs on per-bin figures gathered in one pass over the rows: every row is
// assigned its bin once and its score is placed in that bin's slice of one
// buffer, so a bin's mean is numpy's pairwise sum over the bin's rows in row
// order, equal to `np.average(scores[idx], weights=w[idx])` to the bit.
//
// The two-feature search runs the same one-feature search on the second
// feature inside every equal-width bin of the first, reading rows through
// their positions instead of copying them per bin.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mirt/pairwise.hpp"
#include "mirt/span.hpp"

namespace mirt {

// numpy.histogram's edges for `bins` equal-width bins over [lo, hi]: edge i is
// i * step + lo with step = (hi - lo) / bins, the last edge is hi itself, and a
// constant range is widened by 0.5 on each side. Throws std::invalid_argument
// for a non-finite range, a non-positive bin count, or a range too narrow for
// strictly increasing edges (numpy's own "Too many bins" refusal).
std::vector<double> histogram_edges(double lo, double hi, std::int64_t bins);

// min(limit, number of distinct values among x[rows]) without sorting.
std::size_t count_distinct_upto(Column x, const Index* rows, std::size_t limit);

// Rows of a search: all of x (rows == nullptr) or x[rows], in that order.
struct RowSet {
  Column x;
  const Index* rows = nullptr;

  std::size_t size() const { return rows ? rows->size() : x.size(); }
  std::size_t row(std::size_t k) const {
    return rows ? static_cast<std::size_t>((*rows)[k]) : k;
  }
  double value(std::size_t k) const { return x[row(k)]; }
};

struct SearchParams {
  std::int64_t max_bins = 10;
  double min_samples = 30;
  double sign = -1;             // >0: larger scores are better
  double threshold_value = 0;   // a bin is weak when sign*score <= sign*threshold_value
  SumOrder order;               // numpy's summation order for the bin means
  // The smallest and largest value of the searched column(s) when the caller
  // found them already (with every value known to be finite), which spares a
  // pass; first feature, then second feature of a two-feature search. Used
  // only for searches over all rows of a column.
  const double* known_range = nullptr;
  // Keep each fused region's rows (Region::members) when they are exactly the
  // rows of its bins, as the union's gather finds them anyway: a caller that
  // measures the regions on the searched rows need not look for them again.
  bool keep_members = false;
  // The searched rows' weights sum to a positive number: a bin whose own
  // weights do not carries no weighted evidence and is never weak (its
  // score falls back to the plain mean of rows the caller weighted 0).
  bool weighted_evidence = false;
  // The searched rows fit perfectly (an error metric averaging 0, so a
  // threshold value of 0): no region can be worse, and no bin is weak.
  bool perfect_fit = false;
};

// One equal-width bin of a search.
struct Bin {
  double lb = 0, ub = 0;  // its edges
  bool closed = false;    // upper edge closed: the bin ends at the maximum of x
  std::int64_t count = 0;
  double value = 0;       // the bin's score; NaN when empty
  bool weighted = false;  // the score is weighted: the bin's weights sum to a positive number
  double weight_sum = 0;  // the sum of its rows' weights (the count without weights)
  bool weak = false;
};

// A fused interval of weak bins that kept at least min_samples rows.
struct Region {
  double lb = 0, ub = 0;        // bounds clipped to the data range
  bool has_rule = false;        // some bin rule lies inside the bounds
  std::size_t first_bin = 0;    // the bins folded into the rule
  std::size_t last_bin = 0;
  double rule_lb = 0, rule_ub = 0;
  std::int64_t rule_count = 0;
  double rule_value = 0;        // 0 when the rule holds no row
  // Percentages of the searched values strictly below lb, and below (or at,
  // when ub is the largest value) ub: the region's place inside its rows.
  double lb_quantile = 0, ub_quantile = 0;
  // With SearchParams::keep_members: whether `members` was filled, and the
  // rows inside [lb, ub) (closed when ub is the largest value), ascending.
  bool has_members = false;
  Index members;
};

// The outcome of a one-feature search.
struct Search1D {
  double lo = 0, hi = 0;          // range of the searched values
  std::vector<double> edges;
  std::vector<Bin> bins;
  std::vector<Region> regions;    // kept fused intervals, ascending
  std::vector<char> absorbed;     // per bin: its rule is folded into a region's
  // Rows of every bin (positions into x), bin after bin, ascending inside a
  // bin; filled when asked for (metrics that are not additive score each
  // bin's rows themselves).
  std::vector<std::int64_t> bin_offsets;
  Index bin_rows;
};

// Assigns the rows to the edges' bins (lower edge closed, upper edge open
// except where it equals `hi`): bin of every row, in row order.
std::vector<std::uint32_t> assign_bins(const RowSet& rows, const std::vector<double>& edges,
                                       double hi);

// The whole one-feature search for an additive metric: scores and weights are
// indexed like x (weights empty for none).
Search1D search_1d_additive(const RowSet& rows, DSpan scores, DSpan weights,
                            const SearchParams& params);

// The binning half of the search for metrics that are not additive: edges,
// counts and the rows of every bin; the caller scores the bins and then calls
// mark_weak_bins. Such metrics are not fused.
Search1D bin_rows(const RowSet& rows, const SearchParams& params);

// The two-feature search: the first feature's equal-width bins, and inside
// every non-empty one a one-feature search on the second feature.
struct FirstBin {
  double lb = 0, ub = 0;      // edges of the first feature's bin
  std::int64_t support = 0;   // rows in it
  double lo2 = 0, hi2 = 0;    // range of the second feature inside it (NaN when empty)
  Index rows;                 // its rows, ascending (kept for non-additive metrics only)
  Search1D inner;             // the search on the second feature (when non-empty)
};

struct Search2D {
  double lo1 = 0, hi1 = 0;
  std::vector<double> edges;  // first feature
  std::vector<FirstBin> bins;
};

// additive: whole search; otherwise inner searches are binned only (bin_rows).
// A positive `levels1` (`levels2`) makes the first (second) feature
// categorical: its column holds level codes, and its levels are its bins
// (levels.hpp); a first bin is then a level, with lb = ub = its code.
Search2D search_2d(Column x1, Column x2, DSpan scores, DSpan weights, bool additive,
                   const SearchParams& params, std::size_t levels1 = 0,
                   std::size_t levels2 = 0);

// Where [lb, ub] sits among the values: the percentage strictly below lb, and
// the percentage below ub (at or below when ub is the largest value `hi`),
// each as count * (100 / n).
struct QuantilePosition {
  double lb_pct;
  double ub_pct;
};
QuantilePosition quantile_position(const RowSet& rows, double lb, double ub, double hi);

}  // namespace mirt
