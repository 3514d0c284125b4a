#include "mirt/marginal.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <sstream>
#include <stdexcept>

#include "mirt/histogram.hpp"
#include "mirt/pairwise.hpp"

namespace mirt {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Points added over a rule too narrow to hold a grid point.
constexpr std::size_t kNarrowRulePoints = 10;

// Cells of a region image are bytes; beyond this the picture would need more
// memory than any screen can show.
constexpr std::size_t kMaxImageCells = std::size_t{100} * 1000 * 1000;

std::string number(double v) {
  std::ostringstream s;
  s.precision(17);
  s << v;
  return s.str();
}

// First and last grid position inside [lb, ub] of an ascending grid, or the
// position nearest the middle of the interval's part of [grid.front(),
// grid.back()] when no point falls inside; false when the interval misses the
// grid's range entirely.
bool grid_span(const std::vector<double>& g, double lb, double ub, std::size_t& first,
               std::size_t& last) {
  const double a = std::max(lb, g.front());
  const double b = std::min(ub, g.back());
  if (!(a <= b)) return false;
  const auto lo = std::lower_bound(g.begin(), g.end(), a);
  const auto hi = std::upper_bound(g.begin(), g.end(), b);
  if (lo < hi) {
    first = static_cast<std::size_t>(lo - g.begin());
    last = static_cast<std::size_t>(hi - g.begin()) - 1;
    return true;
  }
  const double mid = a + (b - a) / 2.0;
  auto near = std::lower_bound(g.begin(), g.end(), mid);
  if (near == g.end() || (near != g.begin() && mid - *(near - 1) <= *near - mid)) --near;
  first = last = static_cast<std::size_t>(near - g.begin());
  return true;
}

}  // namespace

std::vector<double> linspace(double start, double stop, std::size_t num) {
  std::vector<double> y(num);
  if (num == 0) return y;
  const std::size_t div = num - 1;
  if (div == 0) {
    y[0] = start;
    return y;
  }
  const double delta = stop - start;
  const double step = delta / static_cast<double>(div);
  for (std::size_t i = 0; i < num; ++i) {
    const double k = static_cast<double>(i);
    // numpy divides first when the step underflows to zero (denormal ranges).
    y[i] = (step == 0.0 ? k / static_cast<double>(div) * delta : k * step) + start;
  }
  y[num - 1] = stop;
  return y;
}

std::vector<std::int64_t> histogram_bins(Column x, const std::vector<double>& edges) {
  if (edges.size() < 2) throw std::invalid_argument("a histogram needs at least two edges");
  const std::size_t n_bins = edges.size() - 1;
  const double first = edges.front();
  const double last = edges.back();
  if (!(first < last)) throw std::invalid_argument("histogram edges must increase");
  const double denom = last - first;
  const auto nb = static_cast<std::int64_t>(n_bins);
  std::vector<std::int64_t> out(x.size(), -1);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double v = x[i];
    if (!(v >= first && v <= last)) continue;
    // numpy's index arithmetic, then its one-ulp corrections against the edges.
    const double f = ((v - first) / denom) * static_cast<double>(n_bins);
    auto idx = static_cast<std::int64_t>(f);
    if (idx == nb) --idx;
    if (v < edges[static_cast<std::size_t>(idx)]) --idx;
    if (idx != nb - 1 && v >= edges[static_cast<std::size_t>(idx) + 1]) ++idx;
    out[i] = idx;
  }
  return out;
}

Histogram histogram(Column x, std::size_t bins) {
  if (bins == 0) throw std::invalid_argument("`bins` must be positive, when an integer");
  if (x.empty()) throw std::invalid_argument("cannot draw a histogram of no values");
  double first = x[0];
  double last = x[0];
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double v = x[i];
    if (!std::isfinite(v)) {
      throw std::invalid_argument("cannot draw a histogram of values holding NaN or infinity");
    }
    first = std::min(first, v);
    last = std::max(last, v);
  }
  Histogram h;
  h.edges = histogram_edges(first, last, static_cast<std::int64_t>(bins));
  h.counts.assign(bins, 0);
  for (std::int64_t b : histogram_bins(x, h.edges)) {
    if (b >= 0) ++h.counts[static_cast<std::size_t>(b)];
  }
  return h;
}

std::vector<double> histogram_density(const Histogram& h) {
  const std::int64_t total = std::accumulate(h.counts.begin(), h.counts.end(), std::int64_t{0});
  std::vector<double> d(h.counts.size());
  for (std::size_t i = 0; i < d.size(); ++i) {
    const double width = h.edges[i + 1] - h.edges[i];
    d[i] = static_cast<double>(h.counts[i]) / width / static_cast<double>(total);
  }
  return d;
}

MarginalHistogram marginal_histogram(Column x, DSpan scores, double sign, double threshold,
                                     std::size_t bins) {
  const bool with_share = has_weights(scores);
  if (with_share) {
    require_same_length(x.size(), scores.size(),
                        "the scores and the feature column differ in length");
  }
  const Histogram h = histogram(x, bins);
  MarginalHistogram m;
  m.edges = h.edges;
  m.density = histogram_density(h);
  if (!with_share) return m;
  std::vector<std::int64_t> weak(h.counts.size(), 0);
  const std::vector<std::int64_t> where = histogram_bins(x, h.edges);
  const double limit = sign * threshold;
  for (std::size_t i = 0; i < where.size(); ++i) {
    if (where[i] >= 0 && sign * scores[i] <= limit) ++weak[static_cast<std::size_t>(where[i])];
  }
  m.weak_share.resize(h.counts.size());
  m.weak_density.resize(h.counts.size());
  for (std::size_t b = 0; b < weak.size(); ++b) {
    const bool empty = h.counts[b] == 0;
    m.weak_share[b] =
        empty ? kNaN : static_cast<double>(weak[b]) / static_cast<double>(h.counts[b]);
    m.weak_density[b] = empty ? 0.0 : m.weak_share[b] * m.density[b];
  }
  return m;
}

Curve rule_curve(double lo, double hi, std::size_t grid, const std::vector<Rule1D>& rules) {
  if (!(lo <= hi)) {
    throw std::invalid_argument("the curve's range [" + number(lo) + ", " + number(hi) +
                                "] is empty or not a number");
  }
  const std::vector<double> g = linspace(lo, hi, grid);
  std::vector<double> gy(g.size(), kNaN);
  std::vector<unsigned char> taken(g.size(), 0);
  struct Extra {
    double x, y;
  };
  std::vector<Extra> extra;
  for (const Rule1D& r : rules) {
    bool got_point = false;
    if (!g.empty()) {
      const auto lo_it = std::lower_bound(g.begin(), g.end(), r.lb);
      const auto hi_it = std::upper_bound(g.begin(), g.end(), r.ub);
      for (auto it = lo_it; it < hi_it; ++it) {
        const auto i = static_cast<std::size_t>(it - g.begin());
        if (!taken[i]) {
          taken[i] = 1;
          gy[i] = r.value;
          got_point = true;
        }
      }
    }
    const double a = std::max(r.lb, lo);
    const double b = std::min(r.ub, hi);
    if (!got_point && a <= b) {
      for (double v : linspace(a, b, kNarrowRulePoints)) extra.push_back({v, r.value});
    }
  }
  Curve c;
  c.x.reserve(g.size() + extra.size());
  c.y.reserve(g.size() + extra.size());
  std::stable_sort(extra.begin(), extra.end(),
                   [](const Extra& p, const Extra& q) { return p.x < q.x; });
  // Merge the grid with the added points; at equal x the grid point comes first.
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < g.size() || j < extra.size()) {
    if (j == extra.size() || (i < g.size() && g[i] <= extra[j].x)) {
      c.x.push_back(g[i]);
      c.y.push_back(gy[i]);
      ++i;
    } else {
      c.x.push_back(extra[j].x);
      c.y.push_back(extra[j].y);
      ++j;
    }
  }
  return c;
}

std::vector<Rule1D> segment_rules(Column x, DSpan scores, double lo, double hi,
                                  const std::vector<double>& cuts) {
  require_same_length(x.size(), scores.size(),
                      "the scores and the feature column differ in length");
  if (!(lo <= hi)) {
    throw std::invalid_argument("the curve's range [" + number(lo) + ", " + number(hi) +
                                "] is empty or not a number");
  }
  std::vector<double> b{lo};
  for (double c : cuts) {
    if (c > lo && c < hi) b.push_back(c);
  }
  b.push_back(hi);
  std::sort(b.begin() + 1, b.end() - 1);
  b.erase(std::unique(b.begin(), b.end()), b.end());
  if (b.size() == 1) b.push_back(hi);  // a constant column: one closed segment
  const std::size_t n_seg = b.size() - 1;
  std::vector<Index> members(n_seg);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double v = x[i];
    if (!(v >= lo && v <= hi)) continue;
    // Closed below and open above, except the last segment, which holds hi.
    auto s = static_cast<std::size_t>(std::upper_bound(b.begin(), b.end(), v) - b.begin());
    s = s == 0 ? 0 : std::min(s - 1, n_seg - 1);
    members[s].push_back(static_cast<std::int64_t>(i));
  }
  std::vector<Rule1D> out;
  out.reserve(n_seg);
  for (std::size_t s = 0; s < n_seg; ++s) {
    const Index& m = members[s];
    out.push_back({b[s], b[s + 1], numpy_mean(scores, ISpan(m.data(), m.size()))});
  }
  return out;
}

RegionImage region_image(double lo1, double hi1, double lo2, double hi2, std::size_t grid,
                         const std::vector<Rect>& regions) {
  if (grid == 0) throw std::invalid_argument("the region image needs at least one grid point");
  if (grid > kMaxImageCells / grid) {
    throw std::invalid_argument("a grid of " + std::to_string(grid) +
                                " points per feature makes an image too large to draw; use "
                                "at most 10000");
  }
  if (!(lo1 <= hi1) || !(lo2 <= hi2)) {
    throw std::invalid_argument("the image's ranges are empty or not numbers");
  }
  const std::vector<double> g1 = linspace(lo1, hi1, grid);
  const std::vector<double> g2 = linspace(lo2, hi2, grid);
  RegionImage img;
  img.grid = grid;
  img.cells.assign(grid * grid, 0);
  for (std::size_t k = 0; k < regions.size(); ++k) {
    const Rect& r = regions[k];
    std::size_t i0 = 0, i1 = 0, j0 = 0, j1 = 0;
    if (!grid_span(g1, r.lb1, r.ub1, i0, i1) || !grid_span(g2, r.lb2, r.ub2, j0, j1)) {
      img.centre1.push_back(kNaN);
      img.centre2.push_back(kNaN);
      continue;
    }
    const auto value = static_cast<std::uint8_t>(k % 5 + 1);
    for (std::size_t j = j0; j <= j1; ++j) {
      std::uint8_t* row = img.cells.data() + (grid - 1 - j) * grid;
      std::fill(row + i0, row + i1 + 1, value);
    }
    // Cell i is drawn over [i, i + 1) / grid of the axes.
    const double n = static_cast<double>(grid);
    img.centre1.push_back((static_cast<double>(i0 + i1) / 2.0 + 0.5) / n);
    img.centre2.push_back((static_cast<double>(j0 + j1) / 2.0 + 0.5) / n);
  }
  return img;
}

std::vector<int> stack_labels(const std::vector<LabelBox>& boxes, double step) {
  if (!(step > 0.0)) throw std::invalid_argument("the label step must be positive");
  std::vector<std::size_t> order(boxes.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return boxes[a].x0 < boxes[b].x0;
  });
  std::vector<int> level(boxes.size(), 0);
  std::vector<LabelBox> placed;
  for (std::size_t k : order) {
    const LabelBox& b = boxes[k];
    if (!(std::isfinite(b.x0) && std::isfinite(b.x1) && std::isfinite(b.y0) &&
          std::isfinite(b.y1))) {
      continue;
    }
    int l = 0;
    for (;;) {
      const double shift = step * l;
      const bool clash = std::any_of(placed.begin(), placed.end(), [&](const LabelBox& p) {
        return b.x0 < p.x1 && p.x0 < b.x1 && b.y0 + shift < p.y1 && p.y0 < b.y1 + shift;
      });
      if (!clash) break;
      ++l;
    }
    level[k] = l;
    placed.push_back({b.x0, b.x1, b.y0 + step * l, b.y1 + step * l});
  }
  return level;
}

}  // namespace mirt
