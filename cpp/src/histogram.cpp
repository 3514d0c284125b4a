#include "mirt/histogram.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "mirt/pairwise.hpp"

namespace mirt {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

void value_range(const RowSet& rows, double& lo, double& hi) {
  const std::size_t n = rows.size();
  if (n == 0) throw std::invalid_argument("there are no values to bin");
  lo = hi = rows.value(0);
  for (std::size_t k = 0; k < n; ++k) {
    const double v = rows.value(k);
    if (!std::isfinite(v)) {
      throw std::invalid_argument("the values to bin must be finite, but one is " +
                                  std::string(std::isnan(v) ? "NaN" : "infinite"));
    }
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
}

// Edges, bins and the data range of a search, before any row is assigned.
Search1D prepare(const RowSet& rows, const SearchParams& params) {
  if (params.max_bins < 1) throw std::invalid_argument("bins must be a positive integer");
  Search1D s;
  value_range(rows, s.lo, s.hi);
  const auto distinct =
      count_distinct_upto(rows.x, rows.rows, static_cast<std::size_t>(params.max_bins));
  s.edges = histogram_edges(s.lo, s.hi, static_cast<std::int64_t>(distinct));
  const std::size_t k = s.edges.size() - 1;
  s.bins.resize(k);
  for (std::size_t i = 0; i < k; ++i) {
    s.bins[i].lb = s.edges[i];
    s.bins[i].ub = s.edges[i + 1];
    s.bins[i].closed = (s.hi == s.edges[i + 1]);
  }
  s.absorbed.assign(k, 0);
  return s;
}

std::vector<std::int64_t> count_bins(const std::vector<std::uint32_t>& bin_of, std::size_t k) {
  std::vector<std::int64_t> counts(k, 0);
  for (std::uint32_t b : bin_of) {
    if (b < k) ++counts[b];
  }
  return counts;
}

std::vector<std::int64_t> offsets_of(const std::vector<std::int64_t>& counts) {
  std::vector<std::int64_t> off(counts.size() + 1, 0);
  for (std::size_t i = 0; i < counts.size(); ++i) off[i + 1] = off[i] + counts[i];
  return off;
}

// The mean of the scores of a run of gathered rows, weighted when weights are
// given and sum to a positive number, plain otherwise.
double slice_mean(const double* values, const double* products, const double* weights,
                  std::size_t n) {
  if (n == 0) return kNaN;
  const auto sum = [](const double* a, std::size_t len) {
    return numpy_sum([a](std::size_t i) { return a[i]; }, len);
  };
  if (weights != nullptr) {
    const double ws = sum(weights, n);
    if (ws > 0.0) return sum(products, n) / ws;
  }
  return sum(values, n) / static_cast<double>(n);
}

// Gathers the scores (and weighted scores, weights) of the rows selected by
// `take(k)`, in row order, and averages them.
template <typename Take>
double gathered_mean(const RowSet& rows, DSpan scores, DSpan weights, std::size_t expected,
                     const Take& take) {
  std::vector<double> values, products, ws;
  values.reserve(expected);
  const bool weighted = has_weights(weights);
  if (weighted) {
    products.reserve(expected);
    ws.reserve(expected);
  }
  for (std::size_t k = 0; k < rows.size(); ++k) {
    if (!take(k)) continue;
    const std::size_t r = rows.row(k);
    values.push_back(scores[r]);
    if (weighted) {
      const double p = scores[r] * weights[r];
      products.push_back(p);
      ws.push_back(weights[r]);
    }
  }
  return slice_mean(values.data(), weighted ? products.data() : nullptr,
                    weighted ? ws.data() : nullptr, values.size());
}

bool is_weak(double value, const SearchParams& p) {
  return p.sign * value <= p.sign * p.threshold_value;
}

// Fuses touching weak bins, keeps intervals with at least min_samples rows and
// folds the bins inside each kept interval into one rule.
void fuse(Search1D& s, const RowSet& rows, const std::vector<std::uint32_t>& bin_of,
          DSpan scores, DSpan weights, const SearchParams& params) {
  struct Interval {
    double a, b;
    std::size_t first, last;
  };
  std::vector<Interval> merged;
  // Weak bins come in ascending order of their lower edge already.
  for (std::size_t i = 0; i < s.bins.size(); ++i) {
    const Bin& bin = s.bins[i];
    if (!bin.weak) continue;
    if (!merged.empty() && bin.lb <= merged.back().b) {
      merged.back().b = std::max(merged.back().b, bin.ub);
      merged.back().last = i;
    } else {
      merged.push_back({bin.lb, bin.ub, i, i});
    }
  }
  for (const Interval& iv : merged) {
    // The rows of [a, b) (closed at the maximum) are exactly those of the
    // fused bins, whose edges partition that interval.
    std::int64_t count = 0;
    for (std::size_t i = iv.first; i <= iv.last; ++i) count += s.bins[i].count;
    if (!(params.min_samples <= static_cast<double>(count))) continue;
    Region region;
    region.lb = std::max(iv.a, s.lo);
    region.ub = std::min(iv.b, s.hi);
    // Bins lying inside the clipped bounds are folded into the region's rule;
    // for a widened constant column none does, and the bin keeps its own rule.
    bool any = false;
    for (std::size_t i = 0; i < s.bins.size(); ++i) {
      const Bin& bin = s.bins[i];
      if (!(bin.lb >= region.lb && bin.ub <= region.ub)) continue;
      s.absorbed[i] = 1;
      if (!any) {
        region.first_bin = i;
        region.rule_lb = bin.lb;
        region.rule_ub = bin.ub;
        any = true;
      }
      region.last_bin = i;
      region.rule_lb = std::min(region.rule_lb, bin.lb);
      region.rule_ub = std::max(region.rule_ub, bin.ub);
    }
    region.has_rule = any;
    if (any) {
      std::int64_t rule_count = 0;
      for (std::size_t i = region.first_bin; i <= region.last_bin; ++i) {
        rule_count += s.bins[i].count;
      }
      region.rule_count = rule_count;
      const auto lo_bin = static_cast<std::uint32_t>(region.first_bin);
      const auto hi_bin = static_cast<std::uint32_t>(region.last_bin);
      region.rule_value =
          rule_count == 0 ? 0.0
                          : gathered_mean(rows, scores, weights,
                                          static_cast<std::size_t>(rule_count),
                                          [&](std::size_t k) {
                                            return bin_of[k] >= lo_bin && bin_of[k] <= hi_bin;
                                          });
    }
    s.regions.push_back(region);
  }
}

void fill_bin_rows(Search1D& s, const RowSet& rows, const std::vector<std::uint32_t>& bin_of) {
  std::vector<std::int64_t> counts(s.bins.size());
  for (std::size_t i = 0; i < s.bins.size(); ++i) counts[i] = s.bins[i].count;
  s.bin_offsets = offsets_of(counts);
  s.bin_rows.assign(rows.size(), 0);
  std::vector<std::int64_t> cursor(s.bin_offsets.begin(), s.bin_offsets.end() - 1);
  for (std::size_t k = 0; k < rows.size(); ++k) {
    s.bin_rows[static_cast<std::size_t>(cursor[bin_of[k]]++)] =
        static_cast<std::int64_t>(rows.row(k));
  }
}

}  // namespace

std::vector<double> histogram_edges(double lo, double hi, std::int64_t bins) {
  if (!(std::isfinite(lo) && std::isfinite(hi))) {
    throw std::invalid_argument("the range of the values to bin is not finite");
  }
  if (bins < 1) throw std::invalid_argument("bins must be a positive integer");
  if (lo == hi) {
    lo -= 0.5;
    hi += 0.5;
  }
  const auto k = static_cast<std::size_t>(bins);
  std::vector<double> edges(k + 1);
  const double delta = hi - lo;
  const double div = static_cast<double>(bins);
  const double step = delta / div;
  for (std::size_t i = 0; i <= k; ++i) {
    const double y = static_cast<double>(i);
    // numpy scales by delta after dividing when the step underflows to zero.
    const double scaled = step == 0.0 ? (y / div) * delta : y * step;
    edges[i] = scaled + lo;
  }
  edges[k] = hi;
  for (std::size_t i = 0; i < k; ++i) {
    if (!(edges[i] < edges[i + 1])) {
      throw std::invalid_argument("Too many bins for data range. Cannot create " +
                                  std::to_string(bins) + " finite-sized bins.");
    }
  }
  return edges;
}

std::size_t count_distinct_upto(Column x, const Index* rows, std::size_t limit) {
  // A small sorted set; for continuous data the first `limit` values already
  // differ, so this stops almost at once.
  std::vector<double> seen;
  seen.reserve(limit);
  const std::size_t n = rows ? rows->size() : x.size();
  for (std::size_t k = 0; k < n && seen.size() < limit; ++k) {
    const double v = rows ? x[static_cast<std::size_t>((*rows)[k])] : x[k];
    auto it = std::lower_bound(seen.begin(), seen.end(), v);
    if (it == seen.end() || *it != v) seen.insert(it, v);
  }
  return seen.size();
}

std::vector<std::uint32_t> assign_bins(const RowSet& rows, const std::vector<double>& edges,
                                       double hi) {
  const std::size_t k = edges.size() - 1;
  std::vector<std::uint32_t> bin_of(rows.size());
  const bool last_closed = edges[k] == hi;
  const double first = edges[0];
  const double last = edges[k];
  const double scale = static_cast<double>(k) / (last - first);
  const auto top = static_cast<std::ptrdiff_t>(k) - 1;
  for (std::size_t j = 0; j < rows.size(); ++j) {
    const double v = rows.value(j);
    if (!(v >= first && v <= last) || (v == last && !last_closed)) {
      bin_of[j] = static_cast<std::uint32_t>(k);  // outside every bin
      continue;
    }
    // Equal widths give the bin up to rounding; the exact edges, which numpy
    // compares with, settle it.
    auto b = static_cast<std::ptrdiff_t>((v - first) * scale);
    b = b < 0 ? 0 : (b > top ? top : b);
    while (b > 0 && v < edges[static_cast<std::size_t>(b)]) --b;
    while (b < top && v >= edges[static_cast<std::size_t>(b) + 1]) ++b;
    bin_of[j] = static_cast<std::uint32_t>(b);
  }
  return bin_of;
}

Search1D search_1d_additive(const RowSet& rows, DSpan scores, DSpan weights,
                            const SearchParams& params) {
  Search1D s = prepare(rows, params);
  const std::size_t k = s.bins.size();
  const std::vector<std::uint32_t> bin_of = assign_bins(rows, s.edges, s.hi);
  const std::vector<std::int64_t> counts = count_bins(bin_of, k);
  const std::vector<std::int64_t> off = offsets_of(counts);

  // Each bin's scores side by side in row order: one scattered write per row.
  const bool weighted = has_weights(weights);
  std::vector<double> values(rows.size()), products, ws;
  if (weighted) {
    products.resize(rows.size());
    ws.resize(rows.size());
  }
  std::vector<std::int64_t> cursor(off.begin(), off.end() - 1);
  for (std::size_t j = 0; j < rows.size(); ++j) {
    const std::uint32_t b = bin_of[j];
    if (b >= k) continue;
    const auto at = static_cast<std::size_t>(cursor[b]++);
    const std::size_t r = rows.row(j);
    values[at] = scores[r];
    if (weighted) {
      const double p = scores[r] * weights[r];
      products[at] = p;
      ws[at] = weights[r];
    }
  }
  bool any_weak = false;
  for (std::size_t i = 0; i < k; ++i) {
    Bin& bin = s.bins[i];
    bin.count = counts[i];
    const auto at = static_cast<std::size_t>(off[i]);
    const auto n = static_cast<std::size_t>(counts[i]);
    bin.value = slice_mean(values.data() + at, weighted ? products.data() + at : nullptr,
                           weighted ? ws.data() + at : nullptr, n);
    bin.weak = n > 0 && is_weak(bin.value, params);
    any_weak = any_weak || bin.weak;
  }
  if (any_weak) fuse(s, rows, bin_of, scores, weights, params);
  return s;
}

Search1D bin_rows(const RowSet& rows, const SearchParams& params) {
  Search1D s = prepare(rows, params);
  const std::vector<std::uint32_t> bin_of = assign_bins(rows, s.edges, s.hi);
  const std::vector<std::int64_t> counts = count_bins(bin_of, s.bins.size());
  for (std::size_t i = 0; i < s.bins.size(); ++i) {
    s.bins[i].count = counts[i];
    s.bins[i].value = kNaN;
  }
  fill_bin_rows(s, rows, bin_of);
  return s;
}

QuantilePosition quantile_position(const RowSet& rows, double lb, double ub, double hi) {
  std::int64_t below_lb = 0, below_ub = 0;
  const bool weak_ub = (hi == ub);
  for (std::size_t k = 0; k < rows.size(); ++k) {
    const double v = rows.value(k);
    below_lb += v < lb ? 1 : 0;
    below_ub += (weak_ub ? v <= ub : v < ub) ? 1 : 0;
  }
  const double scale = 100.0 / static_cast<double>(rows.size());
  return {static_cast<double>(below_lb) * scale, static_cast<double>(below_ub) * scale};
}

Search2D search_2d(Column x1, Column x2, DSpan scores, DSpan weights, bool additive,
                   const SearchParams& params) {
  require_same_length(x1.size(), x2.size(), "the two slicing columns differ in length");
  if (params.max_bins < 1) throw std::invalid_argument("bins must be a positive integer");
  Search2D out;
  const RowSet all{x1, nullptr};
  value_range(all, out.lo1, out.hi1);
  {
    const RowSet second{x2, nullptr};
    double lo2 = 0, hi2 = 0;
    value_range(second, lo2, hi2);  // refuse non-finite values before any search
  }
  const auto distinct =
      count_distinct_upto(x1, nullptr, static_cast<std::size_t>(params.max_bins));
  out.edges = histogram_edges(out.lo1, out.hi1, static_cast<std::int64_t>(distinct));
  const std::size_t k = out.edges.size() - 1;
  const std::vector<std::uint32_t> bin_of = assign_bins(all, out.edges, out.hi1);
  const std::vector<std::int64_t> counts = count_bins(bin_of, k);
  out.bins.resize(k);
  for (std::size_t i = 0; i < k; ++i) {
    out.bins[i].lb = out.edges[i];
    out.bins[i].ub = out.edges[i + 1];
    out.bins[i].support = counts[i];
    out.bins[i].rows.reserve(static_cast<std::size_t>(counts[i]));
  }
  for (std::size_t r = 0; r < bin_of.size(); ++r) {
    if (bin_of[r] < k) out.bins[bin_of[r]].rows.push_back(static_cast<std::int64_t>(r));
  }
  for (FirstBin& fb : out.bins) {
    if (fb.rows.empty()) {
      fb.lo2 = fb.hi2 = kNaN;
      continue;
    }
    const RowSet inner{x2, &fb.rows};
    fb.inner = additive ? search_1d_additive(inner, scores, weights, params)
                        : bin_rows(inner, params);
    fb.lo2 = fb.inner.lo;
    fb.hi2 = fb.inner.hi;
    for (Region& region : fb.inner.regions) {
      const QuantilePosition q = quantile_position(inner, region.lb, region.ub, fb.hi2);
      region.lb_quantile = q.lb_pct;
      region.ub_quantile = q.ub_pct;
    }
  }
  return out;
}

}  // namespace mirt
