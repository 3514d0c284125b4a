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

#include "mirt/cpu.hpp"
#include "mirt/interrupt.hpp"
#include "mirt/pairwise.hpp"
#include "mirt/scratch_pool.hpp"
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

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Distinct-value limits up to which a sorted set is the quicker count.
constexpr std::size_t kSmallDistinct = 64;

// Scratch memory that is written before it is read: zero-filling it first
// would cost a pass over n values for nothing. Large buffers come from the
// scratch pool, which hands out the pages of earlier searches again instead
// of fresh ones that fault and are zeroed.
struct PoolDeleter {
  std::size_t bytes = 0;
  void operator()(void* p) const noexcept { pool_release(p, bytes); }
};
template <typename T>
using Scratch = std::unique_ptr<T[], PoolDeleter>;

template <typename T>
Scratch<T> scratch(std::size_t n) {
  static_assert(std::is_trivially_default_constructible_v<T>, "raw scratch memory only");
  const std::size_t bytes = std::max<std::size_t>(n, 1) * sizeof(T);
  return Scratch<T>(static_cast<T*>(pool_acquire(bytes)), PoolDeleter{bytes});
}

// Long passes split their rows into consecutive parts, each on its own thread.
// Every part writes where the whole pass would have written its rows, so the
// result does not depend on the number of parts.
constexpr std::size_t kRowsPerPart = std::size_t{1} << 16;
constexpr std::size_t kMaxParts = 4;

// Set on the threads of a pass that is already split (the two-feature search
// runs its inner searches side by side), whose own passes then stay whole.
thread_local bool t_within_parts = false;

std::size_t parts_for(std::size_t n) {
  if (t_within_parts) return 1;
  return std::max<std::size_t>(1, std::min({max_threads(), kMaxParts, n / kRowsPerPart}));
}

std::size_t part_begin(std::size_t n, std::size_t parts, std::size_t p) { return n * p / parts; }

// f(part, begin, end) for every part; the first part runs on this thread.
template <typename F>
void run_parts(std::size_t n, std::size_t parts, const F& f) {
  fork_join(parts, [&](std::size_t p) {
    check_interrupt();
    f(p, part_begin(n, parts, p), part_begin(n, parts, p + 1));
  });
}

// The two ways a search reads its rows: all of x, or x at a list of positions.
// Each loop is instantiated for both so that the inner loops stay tight.
// Held by value: a byte store (a bin id) may alias anything, and values held
// in locals let the compiler keep them in registers across such stores.
struct AllRows {
  Column x;
  std::size_t size() const { return x.size(); }
  std::size_t row(std::size_t k) const { return k; }
  double value(std::size_t k) const { return x[k]; }
};

struct SomeRows {
  Column x;
  const std::int64_t* rows;
  std::size_t n;
  std::size_t size() const { return n; }
  std::size_t row(std::size_t k) const { return static_cast<std::size_t>(rows[k]); }
  double value(std::size_t k) const { return x[row(k)]; }
};

template <typename F>
auto with_rows(const RowSet& rows, const F& f) {
  return rows.rows ? f(SomeRows{rows.x, rows.rows->data(), rows.rows->size()})
                   : f(AllRows{rows.x});
}

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
};

// Every row's bin, computed once and read by the later passes; a byte per row
// where the bins allow. The rows of each part are tallied per bin, so that a
// later pass over the same parts knows where each part's rows of a bin go.
template <typename Id>
struct BinIds {
  Scratch<Id> ids;
  std::vector<std::int64_t> counts;       // per bin
  std::size_t parts = 1;
  std::vector<std::int64_t> part_counts;  // parts x bins
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

template <typename Id, typename R>
BinIds<Id> assign_ids(const R& rows_in, const BinLocator& locate_in) {
  BinIds<Id> out;
  const std::size_t n = rows_in.size();
  const std::size_t k = locate_in.k;
  out.ids = scratch<Id>(n);
  out.parts = parts_for(n);
  out.part_counts.assign(out.parts * k, 0);
  Id* const ids = out.ids.get();
  run_parts(n, out.parts, [&](std::size_t p, std::size_t begin, std::size_t end) {
    // Locals, not captures: a byte store may alias anything reached through
    // a reference, which would reload them on every row.
    const R rows = rows_in;
    const BinLocator locate = locate_in;
    Id* const out_ids = ids;
    // The rows of a search lie within the range the edges were built on.
    bool done = false;
#if defined(MIRT_AVX2_BINNING)
    if constexpr (std::is_same_v<Id, std::uint8_t> && std::is_same_v<R, AllRows>) {
      if (locate.arithmetic && use_avx2()) {
        inside_avx2(locate, rows.x.data() + begin, end - begin, out_ids + begin);
        done = true;
      }
    }
#endif
    if (!done) {
      for (std::size_t j = begin; j < end; ++j) {
        out_ids[j] = static_cast<Id>(locate.inside(rows.value(j)));
      }
    }
    // Counted apart from the binning: a tally bumped in the same loop waits
    // on the bin's computation and stalls the loop. Four interleaved tallies
    // keep rows of the same bin from queueing on one counter.
    const std::size_t stride = k + 1;
    std::vector<std::int64_t> tally_store(4 * stride, 0);
    std::int64_t* const tally = tally_store.data();
    std::size_t j = begin;
    for (; j + 4 <= end; j += 4) {
      ++tally[out_ids[j]];
      ++tally[stride + out_ids[j + 1]];
      ++tally[2 * stride + out_ids[j + 2]];
      ++tally[3 * stride + out_ids[j + 3]];
    }
    for (; j < end; ++j) ++tally[out_ids[j]];
    for (std::size_t b = 0; b < k; ++b) {
      out.part_counts[p * k + b] =
          tally[b] + tally[stride + b] + tally[2 * stride + b] + tally[3 * stride + b];
    }
  });
  out.counts.assign(k, 0);
  for (std::size_t p = 0; p < out.parts; ++p) {
    for (std::size_t b = 0; b < k; ++b) out.counts[b] += out.part_counts[p * k + b];
  }
  return out;
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

// Where each part's first row of each bin goes when the bins' rows are laid
// out bin after bin in row order: parts x bins starting positions.
std::vector<std::int64_t> part_cursors(const std::vector<std::int64_t>& part_counts,
                                       std::size_t parts, std::size_t k) {
  std::vector<std::int64_t> cursor(parts * k);
  std::int64_t at = 0;
  for (std::size_t b = 0; b < k; ++b) {
    for (std::size_t p = 0; p < parts; ++p) {
      cursor[p * k + b] = at;
      at += part_counts[p * k + b];
    }
  }
  return cursor;
}

std::vector<std::int64_t> offsets_of(const std::vector<std::int64_t>& counts) {
  std::vector<std::int64_t> off(counts.size() + 1, 0);
  for (std::size_t i = 0; i < counts.size(); ++i) off[i + 1] = off[i] + counts[i];
  return off;
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
  return p.sign * value <= p.sign * p.threshold_value;
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
template <typename Id>
std::vector<std::int64_t> place_first_bins(Search2D& out, Column x1, Column x2, DSpan scores,
                                           DSpan weights, bool additive,
                                           const BinLocator& locate, Scratch<double>& x2g,
                                           Scratch<double>& sg, Scratch<double>& wg) {
  const std::size_t k = out.edges.size() - 1;
  const BinIds<Id> first_bins = assign_ids<Id>(AllRows{x1}, locate);
  const std::vector<std::int64_t>& counts = first_bins.counts;
  out.bins.resize(k);
  for (std::size_t i = 0; i < k; ++i) {
    out.bins[i].lb = out.edges[i];
    out.bins[i].ub = out.edges[i + 1];
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

Search2D search_2d(Column x1, Column x2, DSpan scores, DSpan weights, bool additive,
                   const SearchParams& params) {
  require_same_length(x1.size(), x2.size(), "the two slicing columns differ in length");
  if (params.max_bins < 1) throw std::invalid_argument("bins must be a positive integer");
  Search2D out;
  if (params.known_range != nullptr) {
    out.lo1 = params.known_range[0];
    out.hi1 = params.known_range[1];
  } else {
    value_range(AllRows{x1}, out.lo1, out.hi1);
    double lo2 = 0, hi2 = 0;
    value_range(AllRows{x2}, lo2, hi2);  // refuse non-finite values before any search
  }
  // The inner searches run on a bin's rows, whose range is their own.
  SearchParams inner_params = params;
  inner_params.known_range = nullptr;
  const auto distinct =
      count_distinct_upto(x1, nullptr, static_cast<std::size_t>(params.max_bins));
  out.edges = histogram_edges(out.lo1, out.hi1, static_cast<std::int64_t>(distinct));
  const std::size_t k = out.edges.size() - 1;
  const BinLocator locate(out.edges, out.hi1);
  // Bin ids of a byte each where the bins allow: a quarter of the memory to
  // write and read back.
  const bool weighted = has_weights(weights);
  Scratch<double> x2g, sg, wg;
  const std::vector<std::int64_t> counts =
      k < 255 ? place_first_bins<std::uint8_t>(out, x1, x2, scores, weights, additive, locate,
                                                x2g, sg, wg)
              : place_first_bins<std::uint32_t>(out, x1, x2, scores, weights, additive, locate,
                                                 x2g, sg, wg);
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
    fb.inner = additive ? search_1d_additive(inner, DSpan(sg.get() + at, n),
                                             weighted ? DSpan(wg.get() + at, n) : DSpan(),
                                             inner_params)
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
