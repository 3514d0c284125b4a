// The numbers behind the marginal plot of a diagnosis: the score curve along
// one slicing feature, the image of the weak regions over two, the density
// histogram of a feature with the share of weak samples per bin, and the
// stacking of region labels that would otherwise overlap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mirt/span.hpp"

namespace mirt {

// `np.linspace(start, stop, num)`: i * step + start, the last point set to stop.
std::vector<double> linspace(double start, double stop, std::size_t num);

// `np.histogram(x, bins=bins)` on finite data: equal-width edges from the
// minimum to the maximum (a constant column widened by 0.5 each side) and the
// count per bin, the last bin closed. Refuses empty or non-finite data, and a
// range too narrow for strictly increasing edges, with numpy's message.
struct Histogram {
  std::vector<double> edges;
  std::vector<std::int64_t> counts;
};
Histogram histogram(Column x, std::size_t bins);

// The bin of every value under numpy's rule, -1 outside the edges.
std::vector<std::int64_t> histogram_bins(Column x, const std::vector<double>& edges);

// `np.histogram(..., density=True)`: count / width / total count.
std::vector<double> histogram_density(const Histogram& h);

// The light and dark bars of a marginal histogram panel. A sample is weak when
// sign * score <= sign * threshold; `weak_share` is the mean of that indicator
// per bin (`scipy.stats.binned_statistic(..., "mean")`), NaN for an empty bin,
// and `weak_density` the dark bar's height, share times density (0 where the
// bin is empty).
struct MarginalHistogram {
  std::vector<double> edges;
  std::vector<double> density;
  std::vector<double> weak_share;    // empty when no per-sample scores were given
  std::vector<double> weak_density;  // likewise
};
MarginalHistogram marginal_histogram(Column x, DSpan scores, double sign, double threshold,
                                     std::size_t bins);

// One rule of a rule list along the first slicing feature: its closed interval
// and its score. Bounds may be infinite (tree leaves).
struct Rule1D {
  double lb;
  double ub;
  double value;
};

struct Curve {
  std::vector<double> x;
  std::vector<double> y;  // NaN where no rule covers the point, a gap in the line
};

// The score of the rule containing each of `grid` points from lo to hi; where
// rules share an edge the earlier rule in the list takes the point. A rule
// too narrow to hold a grid point gets 10 points spread over its part of
// [lo, hi], so that every region shows on the curve.
Curve rule_curve(double lo, double hi, std::size_t grid, const std::vector<Rule1D>& rules);

// Without a rule list the bounds of the weak regions cut [lo, hi] into
// segments (closed below, open above, the last closed); each segment's value
// is the mean score of the samples in it, NaN when it holds none.
std::vector<Rule1D> segment_rules(Column x, DSpan scores, double lo, double hi,
                                  const std::vector<double>& cuts);

// A weak region over two features: closed intervals of each.
struct Rect {
  double lb1, ub1, lb2, ub2;
};

// The region image, `grid` by `grid` cells in display order: row 0 is the
// largest value of the second feature, column 0 the smallest of the first
// (the transposed, vertically flipped layout of a cell array indexed by the
// first feature). Cells of the k-th region hold k % 5 + 1, later regions
// drawn over earlier ones, 0 elsewhere. A region narrower than the grid
// spacing takes the grid point nearest its middle, so that none disappears.
struct RegionImage {
  std::size_t grid = 0;
  std::vector<std::uint8_t> cells;  // grid * grid, row-major
  // Per region, the mean grid position of its cells as a fraction of the
  // axes (0 at the smallest value, 1 at the largest), first and second feature.
  std::vector<double> centre1, centre2;
};
RegionImage region_image(double lo1, double hi1, double lo2, double hi2, std::size_t grid,
                         const std::vector<Rect>& regions);

// A label's box on the drawing surface, in any unit, at its unshifted place.
struct LabelBox {
  double x0, x1, y0, y1;
};

// Vertical levels that keep labels apart: taken from left to right, each
// label rises by `step` per level to the lowest level at which its box meets
// none placed before it. Returns the level of each label in input order.
std::vector<int> stack_labels(const std::vector<LabelBox>& boxes, double step);

}  // namespace mirt
