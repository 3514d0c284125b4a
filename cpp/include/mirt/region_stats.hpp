// The driver's passes once a search has found its weak regions: the rows of
// every region on the searched side and on the other side, under the weak-
// region table's rule, and the searched side's statistics, gathered from the
// per-row scores in hand.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "mirt/columns.hpp"
#include "mirt/pairwise.hpp"
#include "mirt/regions.hpp"
#include "mirt/span.hpp"
#include "mirt/threads.hpp"

namespace mirt {

// Whether a pass over this many rows pays for a thread of its own (and the
// process may use two).
bool thread_pays(std::size_t rows);

// A weak region's bounds as a search reported them; lb2 and ub2 only count
// for two slicing features.
struct RegionBounds {
  double lb1 = 0, ub1 = 0, lb2 = 0, ub2 = 0;
};

// The regions as the table measures them: lower bounds closed, an upper bound
// closed exactly where it equals the largest value of the searched column
// (max1 for the first feature, max2 for the second), on either side.
std::vector<Box> table_boxes(const std::vector<RegionBounds>& regions, bool two, double max1,
                             double max2);

// The searched rows of a fused region as a one-feature search found them, on
// a column whose largest value, `hi`, closed the region's upper bound.
struct FoundRows {
  double lb = 0, ub = 0;
  Index rows;
};

// The searched columns (contiguous, finite) and the other side's columns
// (read in place at any stride, checked as they are read); the second of each
// is read only for two slicing features.
struct SidesToMeasure {
  Column searched1, searched2;
  Strided other1, other2;
  bool two = false;
};

struct RegionRows {
  std::vector<Index> searched;  // per region, ascending
  std::vector<Index> other;
  NonFinite other_non_finite;   // the other side's first slicing value that is not finite
};

// The rows of every box on both sides. The searched side's rows come from
// `found` when the search found them for exactly these boxes on a column with
// the same largest value (`found_hi` == the first box's closing maximum);
// otherwise, and for the other side, from a membership pass. The two passes
// run side by side when both sides are large. When the other side holds a
// value that is not finite its rows are meaningless and `other_non_finite`
// says where the value is.
RegionRows region_rows(const std::vector<Box>& boxes, double max1, const SidesToMeasure& sides,
                       std::vector<FoundRows> found, double found_hi);

// copy_columns on a thread of its own, started at once: the other side's
// slicing columns, copied out of their (possibly wide) row-major matrix while
// the caller searches the searched side, which nothing in the copy waits for.
// The regions are then measured on the contiguous copy. Columns too short for
// thread_pays are copied in wait() instead.
// The columns' memory and `out` (n values a column) must outlive wait().
class BackgroundCopy {
 public:
  BackgroundCopy(std::vector<Strided> columns, double* out);
  BackgroundCopy(const BackgroundCopy&) = delete;
  BackgroundCopy& operator=(const BackgroundCopy&) = delete;

  // What copy_columns returns, once the copy is done.
  NonFinite wait();

 private:
  std::vector<Strided> columns_;
  double* out_;
  NonFinite bad_;
  BackgroundTask task_;  // last: joined before what it reads goes
};

// values[k][rows] written to out[k] for every array: the other side's labels
// and predictions of a region, which its scoring function then reads. The
// arrays are gathered side by side on threads of their own when the rows are
// many: passes that wait on memory. Rows must lie inside every array.
void gather_rows(const std::vector<DSpan>& values, ISpan rows, const std::vector<double*>& out);

// values[rows] written to out, and their mean as numpy takes it over the
// gathered array: weighted by the rows' weights when those sum to a positive
// number, plain otherwise. The rows ascend, so reading a few ahead keeps
// several cache misses in flight.
WeightedMean gathered_mean(DSpan values, DSpan weights, ISpan rows, double* out, SumOrder order);

// The searched side's statistics of every region, gathered from its per-row
// scores: a worker thread computes them while the caller does other work (the
// other side's scores need the interpreter), or the constructor does when the
// rows are too few to pay for a thread. `out[k]` receives the scores of region
// k and must hold rows[k].size() values; scores, weights and out must outlive
// wait().
class SearchedStats {
 public:
  SearchedStats(DSpan scores, DSpan weights, std::vector<Index> rows, std::vector<double*> out,
                SumOrder order);
  SearchedStats(const SearchedStats&) = delete;
  SearchedStats& operator=(const SearchedStats&) = delete;

  // The means, one per region (NaN for a region without rows), once every
  // region is done; rethrows what the worker threw.
  const std::vector<WeightedMean>& wait();
  const std::vector<Index>& rows() const noexcept { return rows_; }

 private:
  void run();

  DSpan scores_, weights_;
  std::vector<Index> rows_;
  std::vector<double*> out_;
  SumOrder order_;
  std::vector<WeightedMean> means_;
  BackgroundTask worker_;
};

}  // namespace mirt
