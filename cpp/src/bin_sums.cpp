#include "mirt/bin_sums.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <stdexcept>
#include <vector>

#include "bin_scores.hpp"
#include "binning.hpp"
#include "finite.hpp"

namespace mirt {

namespace {

using detail::BinLocator;
using detail::LevelLocator;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Neumaier's compensated sum: a partition of 10^7 rows keeps its sums to a
// few units in the last place, as numpy's pairwise sums do.
struct Compensated {
  std::vector<double> sum, carry;
  explicit Compensated(std::size_t n) : sum(n, 0.0), carry(n, 0.0) {}
  void add(std::size_t b, double v) {
    const double s = sum[b];
    const double t = s + v;
    carry[b] += std::fabs(s) >= std::fabs(v) ? (s - t) + v : (v - t) + s;
    sum[b] = t;
  }
  std::vector<double> total() const {
    std::vector<double> out(sum.size());
    for (std::size_t b = 0; b < sum.size(); ++b) out[b] = sum[b] + carry[b];
    return out;
  }
};

// Accumulates rows into bins, then hands out the sums.
struct Accumulator {
  std::vector<std::int64_t> count;
  Compensated sum, weight, product;
  bool weighted;
  Accumulator(std::size_t n, bool w)
      : count(n, 0), sum(n), weight(w ? n : 0), product(w ? n : 0), weighted(w) {}
  void add(std::size_t b, std::size_t row, DSpan scores, DSpan weights) {
    ++count[b];
    sum.add(b, scores[row]);
    if (weighted) {
      weight.add(b, weights[row]);
      product.add(b, scores[row] * weights[row]);
    }
  }
  BinSums result() const {
    BinSums out;
    out.count = count;
    out.sum = sum.total();
    if (weighted) {
      out.weight_sum = weight.total();
      out.product_sum = product.total();
    }
    return out;
  }
};

void require_rows(std::size_t n, DSpan scores, DSpan weights) {
  if (scores.size() != n || (has_weights(weights) && weights.size() != n)) {
    throw std::invalid_argument("the values, scores and weights must have the same length");
  }
}

// A rule's bin of one value, or rule.size() when it lies in none.
// The locator points into the edges, so it owns a copy of them.
struct Locate {
  const BinRule* rule;
  std::vector<double> edges;
  BinLocator numeric;
  LevelLocator level;
  explicit Locate(const BinRule& r)
      : rule(&r),
        edges(checked_edges(r)),
        numeric(edges, r.hi),
        level{r.levels} {}
  Locate(const Locate& other)
      : rule(other.rule), edges(other.edges), numeric(edges, rule->hi), level(other.level) {}
  Locate& operator=(const Locate&) = delete;
  static std::vector<double> checked_edges(const BinRule& r) {
    if (r.levels > 0) return {0.0, 1.0};  // unused
    if (r.edges.size() < 2) throw std::invalid_argument("a binning needs at least two edges");
    return r.edges;
  }
  std::size_t operator()(double v, std::size_t row) const {
    if (rule->levels == 0) return numeric(v);
    if (!level.valid(v)) level.refuse(row, v);
    return level.inside(v);
  }
};

double mean(double num, double den) { return num / den; }

}  // namespace

BinSums::BinSums(std::size_t bins, bool weighted)
    : count(bins, 0),
      sum(bins, 0.0),
      weight_sum(weighted ? bins : 0, 0.0),
      product_sum(weighted ? bins : 0, 0.0) {}

void BinSums::add(const BinSums& other) {
  if (other.size() != size() || other.weighted() != weighted()) {
    throw std::invalid_argument("partial sums of different bins cannot be added");
  }
  for (std::size_t b = 0; b < size(); ++b) {
    count[b] += other.count[b];
    sum[b] += other.sum[b];
    if (weighted()) {
      weight_sum[b] += other.weight_sum[b];
      product_sum[b] += other.product_sum[b];
    }
  }
}

Bin BinSums::bin(std::size_t b) const {
  Bin out;
  out.count = count[b];
  if (count[b] == 0) {
    out.value = kNaN;
    return out;
  }
  if (weighted() && weight_sum[b] > 0.0) {
    out.value = mean(product_sum[b], weight_sum[b]);
    out.weighted = true;
    out.weight_sum = weight_sum[b];
  } else {
    out.value = mean(sum[b], static_cast<double>(count[b]));
    out.weight_sum = static_cast<double>(count[b]);
  }
  return out;
}

double BinSums::mean_of(const std::vector<char>& flags) const {
  BinSums one(1, weighted());
  for (std::size_t b = 0; b < size(); ++b) {
    if (!flags[b]) continue;
    one.count[0] += count[b];
    one.sum[0] += sum[b];
    if (weighted()) {
      one.weight_sum[0] += weight_sum[b];
      one.product_sum[0] += product_sum[b];
    }
  }
  return one.bin(0).value;
}

std::vector<double> distinct_upto(Column x, std::size_t limit) {
  std::set<double> seen;
  for (std::size_t r = 0; r < x.size() && seen.size() < limit; ++r) {
    if (detail::is_finite_value(x[r])) seen.insert(x[r]);
  }
  return {seen.begin(), seen.end()};
}

BinSums bin_sums(Column x, const BinRule& rule, DSpan scores, DSpan weights) {
  require_rows(x.size(), scores, weights);
  const Locate locate(rule);
  const std::size_t k = rule.size();
  Accumulator acc(k, has_weights(weights));
  for (std::size_t r = 0; r < x.size(); ++r) {
    const std::size_t b = locate(x[r], r);
    if (b < k) acc.add(b, r, scores, weights);
  }
  return acc.result();
}

FirstBinRanges first_bin_ranges(Column x1, const BinRule& first, Column x2, std::size_t limit) {
  require_same_length(x1.size(), x2.size(), "the two slicing columns differ in length");
  const Locate locate(first);
  const std::size_t k = first.size();
  FirstBinRanges out;
  out.lo.assign(k, kNaN);
  out.hi.assign(k, kNaN);
  std::vector<std::set<double>> seen(k);
  for (std::size_t r = 0; r < x1.size(); ++r) {
    const std::size_t b = locate(x1[r], r);
    if (b >= k) continue;
    const double v = x2[r];
    // The first value of a bin seeds its range (NaN until then).
    if (std::isnan(out.lo[b]) || v < out.lo[b]) out.lo[b] = v;
    if (std::isnan(out.hi[b]) || v > out.hi[b]) out.hi[b] = v;
    if (seen[b].size() < limit) seen[b].insert(v);
  }
  out.distinct.resize(k);
  for (std::size_t b = 0; b < k; ++b) out.distinct[b].assign(seen[b].begin(), seen[b].end());
  return out;
}

BinSums cell_sums(Column x1, const BinRule& first, Column x2, const std::vector<BinRule>& second,
                  DSpan scores, DSpan weights) {
  require_same_length(x1.size(), x2.size(), "the two slicing columns differ in length");
  require_rows(x1.size(), scores, weights);
  const std::size_t k = first.size();
  if (second.size() != k) {
    throw std::invalid_argument("every first-feature bin needs a binning of the second feature");
  }
  const Locate locate(first);
  std::vector<std::size_t> offset(k + 1, 0);
  std::vector<Locate> inner;
  inner.reserve(k);
  for (std::size_t b = 0; b < k; ++b) {
    inner.emplace_back(second[b]);
    offset[b + 1] = offset[b] + second[b].size();
  }
  Accumulator acc(offset[k], has_weights(weights));
  for (std::size_t r = 0; r < x1.size(); ++r) {
    const std::size_t b = locate(x1[r], r);
    if (b >= k) continue;
    const std::size_t c = inner[b](x2[r], r);
    if (c < second[b].size()) acc.add(offset[b] + c, r, scores, weights);
  }
  return acc.result();
}

Search1D search_1d_from_sums(double lo, double hi, const std::vector<double>& edges,
                             const BinSums& sums, const SearchParams& params) {
  if (edges.size() != sums.size() + 1) {
    throw std::invalid_argument("the sums must have one bin between every two edges");
  }
  Search1D s;
  s.lo = lo;
  s.hi = hi;
  s.edges = edges;
  const std::size_t k = sums.size();
  s.bins.resize(k);
  s.absorbed.assign(k, 0);
  bool any_weak = false;
  for (std::size_t i = 0; i < k; ++i) {
    Bin& bin = s.bins[i];
    bin = sums.bin(i);
    bin.lb = edges[i];
    bin.ub = edges[i + 1];
    bin.closed = (hi == edges[i + 1]);
    bin.weak = detail::weak_bin(bin, params);
    any_weak = any_weak || bin.weak;
  }
  if (!any_weak) return s;
  SearchParams no_members = params;
  no_members.keep_members = false;  // there are no rows to keep
  detail::fuse_bins(s, no_members, [&](std::size_t first, std::size_t last, std::size_t, Index*) {
    std::vector<char> flags(k, 0);
    std::fill(flags.begin() + static_cast<std::ptrdiff_t>(first),
              flags.begin() + static_cast<std::ptrdiff_t>(last) + 1, 1);
    return sums.mean_of(flags);
  });
  // A region's place among the rows, from the counts: rows below an edge are
  // those of the bins below it. The only region off the edges is a constant
  // column's (its bin widened around the single value), which holds them all.
  std::int64_t n = 0;
  for (const Bin& b : s.bins) n += b.count;
  const double scale = 100.0 / static_cast<double>(n);
  for (Region& region : s.regions) {
    if (!region.has_rule) {
      region.lb_quantile = 0.0;
      region.ub_quantile = 100.0;
      continue;
    }
    std::int64_t below_lb = 0, below_ub = 0;
    for (std::size_t b = 0; b <= region.last_bin; ++b) {
      if (b < region.first_bin) below_lb += s.bins[b].count;
      below_ub += s.bins[b].count;
    }
    region.lb_quantile = static_cast<double>(below_lb) * scale;
    region.ub_quantile = static_cast<double>(below_ub) * scale;
  }
  return s;
}

Search1D search_levels_from_sums(const BinSums& sums, const SearchParams& params) {
  const std::size_t k = sums.size();
  if (k == 0) throw std::invalid_argument("a categorical feature needs at least one level");
  Search1D s;
  s.lo = s.hi = kNaN;
  s.bins.resize(k);
  s.absorbed.assign(k, 0);
  for (std::size_t i = 0; i < k; ++i) {
    s.bins[i] = sums.bin(i);
    s.bins[i].lb = s.bins[i].ub = static_cast<double>(i);
  }
  const LevelRegion set = weak_levels(s.bins, params);
  if (!set.kept) return s;
  s.absorbed = set.in;
  Region region;
  region.lb = region.ub = region.rule_lb = region.rule_ub = kNaN;
  region.lb_quantile = region.ub_quantile = kNaN;
  region.has_rule = true;
  const auto first = std::find(set.in.begin(), set.in.end(), 1);
  const auto last = std::find(set.in.rbegin(), set.in.rend(), 1);
  region.first_bin = static_cast<std::size_t>(first - set.in.begin());
  region.last_bin = k - 1 - static_cast<std::size_t>(last - set.in.rbegin());
  region.rule_count = set.count;
  region.rule_value = set.count == 0 ? 0.0 : sums.mean_of(set.in);
  s.regions.push_back(std::move(region));
  return s;
}

BinSums box_sums(Column x1, Column x2, const std::vector<LevelBox>& boxes, DSpan scores,
                 DSpan weights) {
  require_rows(x1.size(), scores, weights);
  Accumulator acc(boxes.size(), has_weights(weights));
  for (std::size_t r = 0; r < x1.size(); ++r) {
    const double v2 = x2.size() == x1.size() ? x2[r] : kNaN;
    for (std::size_t b = 0; b < boxes.size(); ++b) {
      if (boxes[b].contains(x1[r], v2)) acc.add(b, r, scores, weights);
    }
  }
  return acc.result();
}

std::vector<char> in_any_box(Column x1, Column x2, const std::vector<LevelBox>& boxes) {
  std::vector<char> out(x1.size(), 0);
  for (std::size_t r = 0; r < x1.size(); ++r) {
    const double v2 = x2.size() == x1.size() ? x2[r] : kNaN;
    for (const LevelBox& box : boxes) {
      if (box.contains(x1[r], v2)) {
        out[r] = 1;
        break;
      }
    }
  }
  return out;
}

}  // namespace mirt
