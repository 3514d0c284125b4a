// Exact decomposition of an ensemble of trees of depth at most 2 into an
// intercept, main effects and pairwise interactions on split-point grids.
//
// A root on feature a with a child on b contributes the piece "a on its side
// and b on its side" for each of the child's leaves; a leaf child contributes a
// piece in a alone. Summed over trees, the pieces of one feature (or pair) are
// a step function on the grid of that feature's (or pair's) split points.
// Trees are routed with XGBoost's rule: left when the float32 value is strictly
// below the float32 threshold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <utility>
#include <vector>

#include "mirt/grid.hpp"
#include "mirt/span.hpp"

namespace mirt {

// Trees as flat node arrays, one tree after another. Node ids are local to
// their tree; a leaf has left == right == -1 and holds its value in
// `threshold`.
struct TreeEnsemble {
  ISpan offsets;      // n_trees + 1 ascending entries; tree t owns nodes offsets[t]..offsets[t+1]
  ISpan left;         // child ids
  ISpan right;
  ISpan feature;      // split column (ignored at leaves)
  DSpan threshold;    // split point, or the leaf value at a leaf
  DSpan tree_weight;  // one factor per tree applied to its leaves (1 for plain boosting)
  std::int64_t n_features = 0;
};

// A tree deeper than 2 cannot be split into pieces of at most two features.
class DepthError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

struct MainEffect {
  std::int64_t feature = 0;
  std::vector<double> splits;  // every split point of the feature, ascending
  std::vector<double> values;  // splits.size() + 1 cells
  double importance = 0.0;     // variance over the data, set by fit_effects
};

struct Interaction {
  std::int64_t a = 0, b = 0;   // a < b
  std::vector<double> splits_a;  // split points of a used by the pair's pieces
  std::vector<double> splits_b;
  std::vector<double> values;  // row-major, (splits_a.size() + 1) x (splits_b.size() + 1)
  double importance = 0.0;

  std::size_t rows() const noexcept { return splits_a.size() + 1; }
  std::size_t cols() const noexcept { return splits_b.size() + 1; }
};

struct Decomposition {
  double intercept = 0.0;                 // from trees that are a single leaf
  std::vector<MainEffect> mains;          // by feature; every feature any tree splits on
  std::vector<Interaction> interactions;  // by (a, b)
};

// Throws DepthError for a tree deeper than 2, std::out_of_range for a child id
// or feature outside its range, std::invalid_argument for malformed arrays or
// non-finite thresholds and leaf values.
Decomposition decompose_trees(const TreeEnsemble& trees);

// A matrix in any memory order: element (i, j) is data[i * row_stride + j * col_stride].
struct MatrixView {
  const double* data = nullptr;
  std::size_t rows = 0, cols = 0;
  std::ptrdiff_t row_stride = 0, col_stride = 1;  // in elements

  Strided column(std::size_t j) const noexcept {
    return {data + static_cast<std::ptrdiff_t>(j) * col_stride, row_stride, rows};
  }
};

struct FitOptions {
  bool purify = true;
  // false: product of marginal cell frequencies; true: joint frequencies.
  bool true_to_data = false;
  double tol = 1e-10;  // purity, relative to an interaction's largest value
  std::size_t max_sweeps = 10000;
};

struct FitReport {
  // Interactions whose joint-frequency sweeps stopped at max_sweeps.
  std::vector<std::pair<std::int64_t, std::int64_t>> unconverged;
};

// How many rows fall in each cell: of every main effect's grid (in the order
// of dec.mains) and of every interaction's joint grid (row-major, in the order
// of dec.interactions). The rows enter purification and the importances only
// through these counts, so counts summed over parts of the data (partitions on
// several machines) give the same effects as the whole data.
struct CellCounts {
  std::vector<std::vector<double>> mains;
  std::vector<std::vector<double>> interactions;
};

// Checks X against the decomposition as fit_effects does (an empty X is
// counted as zeros) and counts its rows on every grid.
CellCounts count_cells(const Decomposition& dec, const MatrixView& X);

// fit_effects from counts made by count_cells (or their sums). Throws
// std::invalid_argument when the counts do not match the decomposition's
// grids or hold no row.
FitReport fit_effects_from_counts(Decomposition& dec, const CellCounts& counts,
                                  const FitOptions& options);

// Locates the rows of X on every grid, purifies the decomposition when asked
// (mass moves from interactions to main effects, then from main effects to the
// intercept, so that every effect has zero weighted mean) and sets each
// effect's importance, its variance over the rows. Sums at every point are
// unchanged. Throws std::invalid_argument for an empty X, std::out_of_range
// for a feature beyond X's columns and MissingValueError for a NaN.
FitReport fit_effects(Decomposition& dec, const MatrixView& X, const FitOptions& options);

}  // namespace mirt
