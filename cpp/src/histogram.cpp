#include "mirt/histogram.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "binning.hpp"
#include "mirt/pairwise.hpp"

namespace mirt {

namespace {

using detail::assign_ids;
using detail::BinIds;
using detail::BinLocator;
using detail::offsets_of;
using detail::part_cursors;
using detail::run_parts;
using detail::Scratch;
using detail::scratch;
using detail::value_range;
using detail::with_rows;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

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

double sum_of(const double* a, std::size_t n, SumOrder order) {
  return numpy_sum_array(a, n, order);
}

// The mean of a run of gathered scores, weighted when weights are given and
// sum to a positive number, plain otherwise (`weighted` tells which).
WeightedMean slice_mean(const double* values, const double* products, const double* weights,
                        std::size_t n, SumOrder order) {
  if (n == 0) return {kNaN, 0.0, false};
  const auto value_at = [values](std::size_t i) { return values[i]; };
  const auto weight_at = [weights](std::size_t i) { return weights[i]; };
  if (weights != nullptr) {
    const double ws = sum_of(weights, n, order);
    if (ws > 0.0) {
      return {mean_from_sums(sum_of(products, n, order), ws, value_at, weight_at, true, n, order),
              ws, true};
    }
  }
  const auto count = static_cast<double>(n);
  return {mean_from_sums(sum_of(values, n, order), count, value_at, weight_at, false, n, order),
          count, false};
}

bool is_weak(double value, const SearchParams& p) {
  return !p.perfect_fit && p.sign * value <= p.sign * p.threshold_value;
}

// Scores (and, with weights, weighted scores and weights) gathered into
// runs, so that numpy's pairwise sum can be taken over each run.
struct Gathered {
  Scratch<double> values, products, weights;
  Gathered(std::size_t n, bool weighted)
      : values(scratch<double>(n)),
        products(weighted ? scratch<double>(n) : nullptr),
        weights(weighted ? scratch<double>(n) : nullptr) {}
  void put(std::size_t at, std::size_t r, DSpan scores, DSpan w) {
    values[at] = scores[r];
    if (products) {
      const double p = scores[r] * w[r];
      products[at] = p;
      weights[at] = w[r];
    }
  }
  WeightedMean mean(std::size_t at, std::size_t n, SumOrder order) const {
    return slice_mean(values.get() + at, products ? products.get() + at : nullptr,
                      weights ? weights.get() + at : nullptr, n, order);
  }
};

// Each bin's scores side by side in row order, with one scattered write per
// row, then numpy's pairwise sum over every bin's run.
template <typename Id, typename R>
void score_bins(Search1D& s, const R& rows, const BinIds<Id>& bins, DSpan scores, DSpan weights,
                SumOrder order) {
  const std::size_t k = s.bins.size();
  const std::vector<std::int64_t> off = offsets_of(bins.counts);
  Gathered g(static_cast<std::size_t>(off[k]), has_weights(weights));
  const std::vector<std::int64_t> start = part_cursors(bins.part_counts, bins.parts, k);
  const Id* const ids = bins.ids.get();
  run_parts(rows.size(), bins.parts, [&](std::size_t p, std::size_t begin, std::size_t end) {
    std::vector<std::int64_t> cursor(start.begin() + static_cast<std::ptrdiff_t>(p * k),
                                     start.begin() + static_cast<std::ptrdiff_t>((p + 1) * k));
    if (has_weights(weights)) {
      for (std::size_t j = begin; j < end; ++j) {
        const std::size_t b = ids[j];
        g.put(static_cast<std::size_t>(cursor[b]++), rows.row(j), scores, weights);
      }
    } else {
      double* const values = g.values.get();
      for (std::size_t j = begin; j < end; ++j) {
        values[cursor[ids[j]]++] = scores[rows.row(j)];
      }
    }
  });
  for (std::size_t i = 0; i < k; ++i) {
    const WeightedMean m = g.mean(static_cast<std::size_t>(off[i]),
                                  static_cast<std::size_t>(bins.counts[i]), order);
    s.bins[i].value = m.value;
    s.bins[i].weighted = m.weighted;
  }
}

// The mean score of the rows of bins first..last, gathered in row order;
// their positions go to `members` when it is given.
template <typename Id, typename R>
double union_mean(const R& rows, const BinIds<Id>& bins, std::size_t first, std::size_t last,
                  std::size_t count, DSpan scores, DSpan weights, SumOrder order,
                  Index* members = nullptr) {
  Gathered g(count, has_weights(weights));
  const std::size_t k = bins.counts.size();
  std::vector<std::int64_t> start(bins.parts + 1, 0);
  for (std::size_t p = 0; p < bins.parts; ++p) {
    std::int64_t c = 0;
    for (std::size_t b = first; b <= last; ++b) c += bins.part_counts[p * k + b];
    start[p + 1] = start[p] + c;
  }
  const Id* const ids = bins.ids.get();
  const std::size_t width = last - first;
  if (members != nullptr) members->resize(count);
  std::int64_t* const positions = members != nullptr ? members->data() : nullptr;
  const bool weighted = has_weights(weights);
  run_parts(rows.size(), bins.parts, [&](std::size_t p, std::size_t begin, std::size_t end) {
    auto at = static_cast<std::size_t>(start[p]);
    const auto stop = static_cast<std::size_t>(start[p + 1]);
    double* const values = g.values.get();
    // Row j's numbers to the cursor's slot; the caller moves the cursor.
    auto write = [&](std::size_t j) {
      const std::size_t r = rows.row(j);
      if (weighted) {
        g.put(at, r, scores, weights);
      } else {
        values[at] = scores[r];
      }
      if (positions != nullptr) positions[at] = static_cast<std::int64_t>(r);
    };
#if defined(__SSE2__)
    if constexpr (std::is_same_v<Id, std::uint8_t>) {
      // Sixteen ids are compared with the bins' range at once and only the
      // members among them are visited, so a row outside costs no read of
      // its score and no write.
      const __m128i low = _mm_set1_epi8(static_cast<char>(first));
      const __m128i span = _mm_set1_epi8(static_cast<char>(width));
      std::size_t j = begin;
      for (; j + 16 <= end && at < stop; j += 16) {
        const __m128i d =
            _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ids + j)), low);
        auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(d, span), d)));
        while (mask != 0) {
          write(j + static_cast<std::size_t>(__builtin_ctz(mask)));
          ++at;
          mask &= mask - 1;
        }
      }
      for (; j < end && at < stop; ++j) {
        if (static_cast<std::size_t>(ids[j]) - first <= width) {
          write(j);
          ++at;
        }
      }
      return;
    }
#endif
    // Every row is written and only a member advances the cursor: whether a
    // row belongs follows the data, and a branch on it mispredicts on about
    // every other row. While at < stop a member of this part is still to
    // come, so a slot written for a row outside is overwritten by it.
    for (std::size_t j = begin; j < end && at < stop; ++j) {
      write(j);
      at += (static_cast<std::size_t>(ids[j]) - first <= width) ? 1 : 0;
    }
  });
  return g.mean(0, static_cast<std::size_t>(start[bins.parts]), order).value;
}

// Fuses touching weak bins, keeps intervals with at least min_samples rows and
// folds the bins inside each kept interval into one rule.
template <typename Id, typename R>
void fuse(Search1D& s, const R& rows, const BinIds<Id>& ids, DSpan scores, DSpan weights,
          const SearchParams& params) {
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
                          : union_mean(rows, ids, region.first_bin, region.last_bin,
                                       static_cast<std::size_t>(rule_count), scores, weights,
                                       params.order,
                                       region.has_members ? &region.members : nullptr);
    }
    s.regions.push_back(region);
  }
}

template <typename Id, typename R>
void search_with_ids(Search1D& s, const R& rows, DSpan scores, DSpan weights,
                     const SearchParams& params) {
  const BinLocator locate(s.edges, s.hi);
  const BinIds<Id> bins = assign_ids<Id>(rows, locate);
  for (std::size_t i = 0; i < s.bins.size(); ++i) s.bins[i].count = bins.counts[i];
  score_bins(s, rows, bins, scores, weights, params.order);
  bool any_weak = false;
  for (Bin& bin : s.bins) {
    bin.weak = bin.count > 0 && (bin.weighted || !params.weighted_evidence) &&
               is_weak(bin.value, params);
    any_weak = any_weak || bin.weak;
  }
  if (any_weak) fuse(s, rows, bins, scores, weights, params);
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
  const BinIds<std::uint32_t> bins = assign_ids<std::uint32_t>(rows, locate);
  for (std::size_t i = 0; i < s.bins.size(); ++i) {
    s.bins[i].count = bins.counts[i];
    s.bins[i].value = kNaN;
  }
  s.bin_offsets = offsets_of(bins.counts);
  s.bin_rows.assign(static_cast<std::size_t>(s.bin_offsets.back()), 0);
  std::vector<std::int64_t> cursor(s.bin_offsets.begin(), s.bin_offsets.end() - 1);
  for (std::size_t j = 0; j < rows.size(); ++j) {
    const std::size_t b = bins.ids[j];
    if (b >= s.bins.size()) continue;
    s.bin_rows[static_cast<std::size_t>(cursor[b]++)] = static_cast<std::int64_t>(rows.row(j));
  }
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
