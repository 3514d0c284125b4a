#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <vector>

#include "binning.hpp"
#include "mirt/histogram.hpp"
#include "mirt/levels.hpp"

namespace mirt {

namespace {

using detail::AllRows;
using detail::assign_ids;
using detail::BinIds;
using detail::BinLocator;
using detail::LevelLocator;
using detail::offsets_of;
using detail::part_cursors;
using detail::parts_for;
using detail::run_parts;
using detail::Scratch;
using detail::scratch;
using detail::t_within_parts;
using detail::value_range;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Bins the rows by the first feature and lays each first bin's rows side by
// side, in row order: their positions (metrics that are not additive) or
// their second-feature values, scores and weights, so that the inner searches
// read contiguous memory. The order within a bin is the row order, which
// keeps every sum equal to numpy's. Returns the bins' row counts.
template <typename Id, typename L>
std::vector<std::int64_t> place_first_bins(Search2D& out, Column x1, Column x2, DSpan scores,
                                           DSpan weights, bool additive, const L& locate,
                                           Scratch<double>& x2g, Scratch<double>& sg,
                                           Scratch<double>& wg) {
  const std::size_t k = out.bins.size();
  const BinIds<Id> first_bins = assign_ids<Id>(AllRows{x1}, locate);
  const std::vector<std::int64_t>& counts = first_bins.counts;
  for (std::size_t i = 0; i < k; ++i) {
    out.bins[i].support = counts[i];
    if (!additive) out.bins[i].rows.reserve(static_cast<std::size_t>(counts[i]));
  }
  const bool weighted = has_weights(weights);
  const std::vector<std::int64_t> off = offsets_of(counts);
  const auto total = static_cast<std::size_t>(off[k]);
  const Id* const ids = first_bins.ids.get();
  if (!additive) {
    for (std::size_t r = 0; r < x1.size(); ++r) {
      const std::size_t b = ids[r];
      if (b < k) out.bins[b].rows.push_back(static_cast<std::int64_t>(r));
    }
    return counts;
  }
  x2g = scratch<double>(total);
  sg = scratch<double>(total);
  if (weighted) wg = scratch<double>(total);
  const std::vector<std::int64_t> start = part_cursors(first_bins.part_counts, first_bins.parts, k);
  run_parts(x1.size(), first_bins.parts, [&](std::size_t p, std::size_t begin, std::size_t end) {
    std::vector<std::int64_t> cursor(start.begin() + static_cast<std::ptrdiff_t>(p * k),
                                     start.begin() + static_cast<std::ptrdiff_t>((p + 1) * k));
    double* const xo = x2g.get();
    double* const so = sg.get();
    double* const wo = wg.get();
    for (std::size_t r = begin; r < end; ++r) {
      const std::size_t b = ids[r];
      if (b >= k) continue;
      const auto at = static_cast<std::size_t>(cursor[b]++);
      xo[at] = x2[r];
      so[at] = scores[r];
      if (weighted) wo[at] = weights[r];
    }
  });
  return counts;
}

// A fused region's place among its rows. When its bounds are the edges of the
// bins it spans, the rows below them are the rows of the bins below, which
// the bin counts give without a pass; otherwise the rows are counted.
void region_quantiles(const Search1D& s, const RowSet& rows, Region& region) {
  const bool on_edges = region.has_rule && region.last_bin + 1 < s.edges.size() &&
                        region.lb == s.edges[region.first_bin] &&
                        region.ub == s.edges[region.last_bin + 1];
  if (!on_edges) {
    const QuantilePosition q = quantile_position(rows, region.lb, region.ub, s.hi);
    region.lb_quantile = q.lb_pct;
    region.ub_quantile = q.ub_pct;
    return;
  }
  // Rows below the lower edge are those of the earlier bins; rows below the
  // upper edge (or at it, when it is the largest value and so closes the
  // last bin) are those up to the region's last bin.
  std::int64_t below_lb = 0, below_ub = 0;
  for (std::size_t b = 0; b <= region.last_bin; ++b) {
    if (b < region.first_bin) below_lb += s.bins[b].count;
    below_ub += s.bins[b].count;
  }
  const double scale = 100.0 / static_cast<double>(rows.size());
  region.lb_quantile = static_cast<double>(below_lb) * scale;
  region.ub_quantile = static_cast<double>(below_ub) * scale;
}

template <typename L>
std::vector<std::int64_t> bin_first_feature(Search2D& out, Column x1, Column x2, DSpan scores,
                                            DSpan weights, bool additive, const L& locate,
                                            Scratch<double>& x2g, Scratch<double>& sg,
                                            Scratch<double>& wg) {
  // Bin ids of a byte each where the bins allow: a quarter of the memory to
  // write and read back.
  return out.bins.size() < 255
             ? place_first_bins<std::uint8_t>(out, x1, x2, scores, weights, additive, locate,
                                              x2g, sg, wg)
             : place_first_bins<std::uint32_t>(out, x1, x2, scores, weights, additive, locate,
                                               x2g, sg, wg);
}

}  // namespace

Search2D search_2d(Column x1, Column x2, DSpan scores, DSpan weights, bool additive,
                   const SearchParams& params, std::size_t levels1, std::size_t levels2) {
  require_same_length(x1.size(), x2.size(), "the two slicing columns differ in length");
  if (params.max_bins < 1) throw std::invalid_argument("bins must be a positive integer");
  Search2D out;
  if (levels1 > 0) {
    out.lo1 = out.hi1 = kNaN;
  } else if (params.known_range != nullptr) {
    out.lo1 = params.known_range[0];
    out.hi1 = params.known_range[1];
  } else {
    value_range(AllRows{x1}, out.lo1, out.hi1);
  }
  if (levels2 == 0 && params.known_range == nullptr) {
    double lo2 = 0, hi2 = 0;
    value_range(AllRows{x2}, lo2, hi2);  // refuse non-finite values before any search
  }
  // The inner searches run on a bin's rows, whose range is their own.
  SearchParams inner_params = params;
  inner_params.known_range = nullptr;
  const bool weighted = has_weights(weights);
  Scratch<double> x2g, sg, wg;
  std::vector<std::int64_t> counts;
  if (levels1 > 0) {
    // A categorical first feature: each of its levels is a first bin.
    out.bins.resize(levels1);
    for (std::size_t i = 0; i < levels1; ++i) {
      out.bins[i].lb = out.bins[i].ub = static_cast<double>(i);
    }
    counts = bin_first_feature(out, x1, x2, scores, weights, additive, LevelLocator{levels1}, x2g,
                               sg, wg);
  } else {
    const auto distinct =
        count_distinct_upto(x1, nullptr, static_cast<std::size_t>(params.max_bins));
    out.edges = histogram_edges(out.lo1, out.hi1, static_cast<std::int64_t>(distinct));
    out.bins.resize(out.edges.size() - 1);
    for (std::size_t i = 0; i < out.bins.size(); ++i) {
      out.bins[i].lb = out.edges[i];
      out.bins[i].ub = out.edges[i + 1];
    }
    counts = bin_first_feature(out, x1, x2, scores, weights, additive,
                               BinLocator(out.edges, out.hi1), x2g, sg, wg);
  }
  const std::size_t k = out.bins.size();
  const std::vector<std::int64_t> off = offsets_of(counts);
  const auto total = static_cast<std::size_t>(off[k]);
  auto search_bin = [&](std::size_t i) {
    check_interrupt();
    FirstBin& fb = out.bins[i];
    if (fb.support == 0) {
      fb.lo2 = fb.hi2 = kNaN;
      return;
    }
    const auto at = static_cast<std::size_t>(off[i]);
    const auto n = static_cast<std::size_t>(fb.support);
    const RowSet inner = additive ? RowSet{Column(x2g.get() + at, n), nullptr}
                                  : RowSet{x2, &fb.rows};
    const DSpan inner_scores = additive ? DSpan(sg.get() + at, n) : DSpan();
    const DSpan inner_weights = additive && weighted ? DSpan(wg.get() + at, n) : DSpan();
    if (levels2 > 0) {
      fb.inner = additive ? search_levels(inner, levels2, inner_scores, inner_weights,
                                          inner_params)
                          : bin_levels(inner, levels2);
      // The smallest and largest level the bin holds.
      fb.lo2 = fb.hi2 = kNaN;
      for (const Bin& level : fb.inner.bins) {
        if (level.count == 0) continue;
        if (std::isnan(fb.lo2)) fb.lo2 = level.lb;
        fb.hi2 = level.lb;
      }
      return;
    }
    fb.inner = additive ? search_1d_additive(inner, inner_scores, inner_weights, inner_params)
                        : bin_rows(inner, inner_params);
    fb.lo2 = fb.inner.lo;
    fb.hi2 = fb.inner.hi;
    for (Region& region : fb.inner.regions) {
      region_quantiles(fb.inner, inner, region);
    }
  };
  // The inner searches are independent: workers take the first bins largest
  // first, each running its searches whole, which balances unequal bins
  // better than splitting every search's rows.
  const std::size_t workers = std::min(parts_for(total), k);
  if (workers <= 1) {
    for (std::size_t i = 0; i < k; ++i) search_bin(i);
    return out;
  }
  std::vector<std::size_t> order(k);
  for (std::size_t i = 0; i < k; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return counts[a] > counts[b];
  });
  std::atomic<std::size_t> next{0};
  run_parts(workers, workers, [&](std::size_t, std::size_t, std::size_t) {
    t_within_parts = true;
    try {
      for (std::size_t j = next++; j < k; j = next++) search_bin(order[j]);
    } catch (...) {
      t_within_parts = false;
      throw;
    }
    t_within_parts = false;
  });
  return out;
}

}  // namespace mirt