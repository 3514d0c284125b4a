#include "mirt/histogram.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "binned_rows.hpp"
#include "mirt/cpu.hpp"
#include "mirt/interrupt.hpp"
#include "mirt/levels.hpp"
#include "mirt/pairwise.hpp"
#include "mirt/threads.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define MIRT_AVX2_BINNING 1
#include <immintrin.h>
#endif

namespace mirt {

namespace {

using namespace binned;

// Distinct-value limits up to which a sorted set is the quicker count.
constexpr std::size_t kSmallDistinct = 64;

bool finite_bits(double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return (bits & 0x7ff0000000000000ULL) != 0x7ff0000000000000ULL;
}

template <typename R>
void value_range(const R& rows, double& lo, double& hi) {
  const std::size_t n = rows.size();
  if (n == 0) throw std::invalid_argument("there are no values to bin");
  const std::size_t parts = parts_for(n);
  std::vector<double> mins(parts), maxs(parts);
  std::vector<char> finite(parts, 1);
  run_parts(n, parts, [&](std::size_t p, std::size_t begin, std::size_t end) {
    double mn = rows.value(begin), mx = mn;
    bool ok = true;
    for (std::size_t k = begin; k < end; ++k) {
      const double v = rows.value(k);
      ok &= finite_bits(v);
      mn = v < mn ? v : mn;
      mx = v > mx ? v : mx;
    }
    mins[p] = mn;
    maxs[p] = mx;
    finite[p] = ok;
  });
  for (std::size_t p = 0; p < parts; ++p) {
    if (finite[p]) continue;
    for (std::size_t k = 0; k < n; ++k) {
      const double v = rows.value(k);
      if (!finite_bits(v)) {
        throw std::invalid_argument("the values to bin must be finite, but one is " +
                                    std::string(std::isnan(v) ? "NaN" : "infinite"));
      }
    }
  }
  lo = *std::min_element(mins.begin(), mins.end());
  hi = *std::max_element(maxs.begin(), maxs.end());
}

// Finds a value's bin among equal-width edges: the width gives the bin up to
// rounding, and the exact edges, which numpy compares with, settle it.
struct BinLocator {
  static constexpr bool kChecks = false;
  const double* edges;
  std::size_t k;
  double first, last, scale;
  std::ptrdiff_t top;
  bool last_closed;

  bool narrow;
  // Whether every inner edge is i * step + first, computed as written (as
  // the equal-width edges are built): the edges around an estimate can then
  // be computed in vector registers instead of looked up.
  bool arithmetic;
  double step;

  BinLocator(const std::vector<double>& e, double hi)
      : edges(e.data()),
        k(e.size() - 1),
        first(e.front()),
        last(e.back()),
        scale(static_cast<double>(e.size() - 1) / (e.back() - e.front())),
        top(static_cast<std::ptrdiff_t>(e.size()) - 2),
        last_closed(e.back() == hi),
        narrow(false),
        arithmetic(false),
        step((e.back() - e.front()) / static_cast<double>(e.size() - 1)) {
    // The estimate and the edges each carry a few units in the last place of
    // the values' magnitude; while a bin is far wider than that, the estimate
    // is off by one bin at most. Bins only a few such units wide are searched.
    const double magnitude = std::max(std::fabs(first), std::fabs(last));
    const double ulp = std::nextafter(magnitude, HUGE_VAL) - magnitude;
    for (std::size_t i = 0; i < k; ++i) narrow = narrow || (e[i + 1] - e[i]) < 1e6 * ulp;
    arithmetic = !narrow;
    for (std::size_t i = 0; i < k && arithmetic; ++i) {
      const double product = static_cast<double>(i) * step;
      arithmetic = product + first == e[i];
    }
  }

  // The bin of a value known to lie between the first and the last edge.
  std::size_t inside(double v) const {
    if (narrow) {
      const auto b = std::upper_bound(edges, edges + k + 1, v) - edges - 1;
      return static_cast<std::size_t>(b > top ? top : b);
    }
    auto b = static_cast<std::ptrdiff_t>((v - first) * scale);
    b = b < 0 ? 0 : (b > top ? top : b);
    b -= static_cast<std::ptrdiff_t>(b > 0 && v < edges[b]);
    b += static_cast<std::ptrdiff_t>(b < top && v >= edges[b + 1]);
    return static_cast<std::size_t>(b);
  }

  // The bin of any value, or k when it lies in no bin.
  std::size_t operator()(double v) const {
    if (!(v >= first && v <= last) || (v == last && !last_closed)) return k;
    return inside(v);
  }

  // The bins of n contiguous values in vector registers, when the machine
  // and the edges allow (bins numbered below 255).
  bool bytes(const double* x, std::size_t n, std::uint8_t* out) const;
};

#if defined(MIRT_AVX2_BINNING)
// BinLocator::inside on four values at a time, for equal-width edges and bins
// numbered below 255: the same estimate, truncated and clamped, and the same
// one-bin corrections against the same edges, computed as they were built.
// Separate multiplies and adds (no fused form), so every value is the scalar
// one to the bit.
struct BinConstants {
  __m256d first, scale, step, top, zero, one;
};

__attribute__((target("avx2"))) inline __m128i four_bins(const BinConstants& c, const double* p) {
  const __m256d v = _mm256_loadu_pd(p);
  __m256d b = _mm256_round_pd(_mm256_mul_pd(_mm256_sub_pd(v, c.first), c.scale),
                              _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
  b = _mm256_min_pd(_mm256_max_pd(b, c.zero), c.top);
  const __m256d lower = _mm256_add_pd(_mm256_mul_pd(b, c.step), c.first);
  const __m256d upper = _mm256_add_pd(_mm256_mul_pd(_mm256_add_pd(b, c.one), c.step), c.first);
  const __m256d down =
      _mm256_and_pd(_mm256_cmp_pd(v, lower, _CMP_LT_OQ), _mm256_cmp_pd(b, c.zero, _CMP_GT_OQ));
  // The top bin's upper edge is the last one, which closes it: no step up.
  const __m256d up =
      _mm256_and_pd(_mm256_cmp_pd(v, upper, _CMP_GE_OQ), _mm256_cmp_pd(b, c.top, _CMP_LT_OQ));
  b = _mm256_add_pd(_mm256_sub_pd(b, _mm256_and_pd(down, c.one)), _mm256_and_pd(up, c.one));
  return _mm256_cvttpd_epi32(b);
}

__attribute__((target("avx2"))) void inside_avx2(const BinLocator& loc, const double* x,
                                                 std::size_t n, std::uint8_t* out) {
  const BinConstants c{_mm256_set1_pd(loc.first), _mm256_set1_pd(loc.scale),
                       _mm256_set1_pd(loc.step),  _mm256_set1_pd(static_cast<double>(loc.top)),
                       _mm256_setzero_pd(),       _mm256_set1_pd(1.0)};
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i lo = _mm_packs_epi32(four_bins(c, x + i), four_bins(c, x + i + 4));
    const __m128i hi = _mm_packs_epi32(four_bins(c, x + i + 8), four_bins(c, x + i + 12));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(lo, hi));
  }
  for (; i < n; ++i) out[i] = static_cast<std::uint8_t>(loc.inside(x[i]));
}
#endif

bool BinLocator::bytes(const double* x, std::size_t n, std::uint8_t* out) const {
#if defined(MIRT_AVX2_BINNING)
  if (arithmetic && use_avx2()) {
    inside_avx2(*this, x, n, out);
    return true;
  }
#else
  (void)x;
  (void)n;
  (void)out;
#endif
  return false;
}

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
                          : union_mean(rows, ids, BinRange{region.first_bin, region.last_bin},
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
  score_bins(s.bins, rows, bins, scores, weights, params.order);
  bool any_weak = false;
  for (Bin& bin : s.bins) {
    bin.weak = weak_bin(bin, params);
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
  list_bin_rows(s, rows, assign_ids<std::uint32_t>(rows, locate));
  return s;
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
  const std::size_t n = rows ? rows->size() : x.size();
  auto value = [&](std::size_t k) { return rows ? x[static_cast<std::size_t>((*rows)[k])] : x[k]; };
  // Never more than the values: the limit may be any count a caller asks for.
  limit = std::min(limit, n);
  if (limit <= kSmallDistinct) {
    // A small sorted set; for continuous data the first `limit` values
    // already differ, so this stops almost at once.
    std::vector<double> seen;
    seen.reserve(limit);
    for (std::size_t k = 0; k < n && seen.size() < limit; ++k) {
      const double v = value(k);
      auto it = std::lower_bound(seen.begin(), seen.end(), v);
      if (it == seen.end() || *it != v) seen.insert(it, v);
    }
    return seen.size();
  }
  // A hash set sized by the values, not the limit: inserting into a sorted
  // set costs `limit` moves a value, quadratic when the bins are as many as
  // the rows. -0.0 counts as 0.0 and every NaN as one value, as np.unique has it.
  std::size_t capacity = 16;
  while (capacity < 2 * limit) capacity *= 2;
  const int shift = 64 - __builtin_ctzll(capacity);
  constexpr std::uint64_t kEmpty = 0x7ff8dead0000beefULL;  // a NaN: never a stored key
  std::vector<std::uint64_t> table(capacity, kEmpty);
  std::size_t found = 0;
  bool nan_seen = false;
  for (std::size_t k = 0; k < n && found < limit; ++k) {
    if ((k & 0xffff) == 0xffff) check_interrupt();
    const double v = value(k);
    if (std::isnan(v)) {
      found += nan_seen ? 0 : 1;
      nan_seen = true;
      continue;
    }
    const double key_value = v == 0.0 ? 0.0 : v;
    std::uint64_t key;
    std::memcpy(&key, &key_value, sizeof key);
    std::size_t slot = static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> shift);
    while (table[slot] != kEmpty && table[slot] != key) slot = (slot + 1) & (capacity - 1);
    if (table[slot] == kEmpty) {
      table[slot] = key;
      ++found;
    }
  }
  return found;
}

std::vector<std::uint32_t> assign_bins(const RowSet& rows, const std::vector<double>& edges,
                                       double hi) {
  const BinLocator locate(edges, hi);
  std::vector<std::uint32_t> bin_of(rows.size());
  with_rows(rows, [&](const auto& r) {
    for (std::size_t j = 0; j < r.size(); ++j) {
      bin_of[j] = static_cast<std::uint32_t>(locate(r.value(j)));
    }
    return 0;
  });
  return bin_of;
}

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

namespace {

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

}  // namespace

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
