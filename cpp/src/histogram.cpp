#include "mirt/histogram.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "bin_scores.hpp"
#include "binning.hpp"
#include "mirt/pairwise.hpp"

namespace mirt {

namespace {

using detail::assign_ids;
using detail::BinIds;
using detail::BinLocator;
using detail::BinRange;
using detail::list_bin_rows;
using detail::score_bins;
using detail::union_mean;
using detail::value_range;
using detail::weak_bin;
using detail::with_rows;

// Edges, bins and the data range of a search, before any row is assigned.
template <typename R>
Search1D prepare(const R& rows, const Column& x, const Index* subset,
                 const SearchParams& params) {
  if (params.max_bins < 1) throw std::invalid_argument("bins must be a positive integer");
  Search1D s;
  if (params.known_range != nullptr && subset == nullptr) {
    s.lo = params.known_range[0];
    s.hi = params.known_range[1];
  } else {
    value_range(rows, s.lo, s.hi);
  }
  const auto distinct = count_distinct_upto(x, subset, static_cast<std::size_t>(params.max_bins));
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

}  // namespace

void detail::fuse_bins(Search1D& s, const SearchParams& params, const UnionMean& union_value) {
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
    // Edges ascend, so only bins of the interval can lie inside its bounds.
    bool any = false;
    for (std::size_t i = iv.first; i <= iv.last; ++i) {
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
      // The region's rows are its bins' when its bounds are their outer
      // edges: the last edge is the largest value and closes both alike.
      region.has_members = params.keep_members && region.lb == s.edges[region.first_bin] &&
                           region.ub == s.edges[region.last_bin + 1];
      region.rule_value =
          rule_count == 0 ? 0.0
                          : union_value(region.first_bin, region.last_bin,
                                        static_cast<std::size_t>(rule_count),
                                        region.has_members ? &region.members : nullptr);
    }
    s.regions.push_back(region);
  }
}

namespace {

template <typename Id, typename R>
void search_with_ids(Search1D& s, const R& rows, DSpan scores, DSpan weights,
                     const SearchParams& params) {
  const BinLocator locate(s.edges, s.hi);
  const BinIds<Id> bins = assign_ids<Id>(rows, locate);
  score_bins(s.bins, rows, bins, scores, weights, params.order);
  bool any_weak = false;
  for (Bin& bin : s.bins) {
    bin.weak = weak_bin(bin, params);
    any_weak = any_weak || bin.weak;
  }
  if (!any_weak) return;
  detail::fuse_bins(s, params, [&](std::size_t first, std::size_t last, std::size_t count,
                                   Index* members) {
    return union_mean(rows, bins, BinRange{first, last}, count, scores, weights, params.order,
                      members);
  });
}

template <typename R>
Search1D search_additive(const R& rows, const RowSet& set, DSpan scores, DSpan weights,
                         const SearchParams& params) {
  Search1D s = prepare(rows, set.x, set.rows, params);
  if (s.bins.size() < 255) {
    search_with_ids<std::uint8_t>(s, rows, scores, weights, params);
  } else {
    search_with_ids<std::uint32_t>(s, rows, scores, weights, params);
  }
  return s;
}

template <typename R>
Search1D search_binned(const R& rows, const RowSet& set, const SearchParams& params) {
  Search1D s = prepare(rows, set.x, set.rows, params);
  const BinLocator locate(s.edges, s.hi);
  list_bin_rows(s, rows, assign_ids<std::uint32_t>(rows, locate));
  return s;
}

}  // namespace
Search1D search_1d_additive(const RowSet& rows, DSpan scores, DSpan weights,
                            const SearchParams& params) {
  return with_rows(rows, [&](const auto& r) {
    return search_additive(r, rows, scores, weights, params);
  });
}

Search1D bin_rows(const RowSet& rows, const SearchParams& params) {
  return with_rows(rows, [&](const auto& r) { return search_binned(r, rows, params); });
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

}  // namespace mirt
