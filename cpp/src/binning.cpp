#include "binning.hpp"

#include <cstring>
#include <limits>

#if defined(MIRT_AVX2_BINNING)
#include <immintrin.h>
#endif

namespace mirt {

namespace detail {

thread_local bool t_within_parts = false;

std::size_t parts_for(std::size_t n) {
  if (t_within_parts) return 1;
  return std::max<std::size_t>(1, std::min({max_threads(), kMaxParts, n / kRowsPerPart}));
}

#if defined(MIRT_AVX2_BINNING)
// BinLocator::inside on four values at a time, for equal-width edges and bins
// numbered below 255: the same estimate, truncated and clamped, and the same
// one-bin corrections against the same edges, computed as they were built.
// Separate multiplies and adds (no fused form), so every value is the scalar
// one to the bit.
struct BinConstants {
  __m256d first, scale, step, top, zero, one;
};

namespace {

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

}  // namespace

namespace {

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

}  // namespace
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

}  // namespace detail

namespace {

// Distinct-value limits up to which a sorted set is the quicker count.
constexpr std::size_t kSmallDistinct = 64;

}  // namespace

using detail::BinLocator;
using detail::with_rows;

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

}  // namespace mirt
