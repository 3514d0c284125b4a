// The one pass over the rows that every membership function makes, in the
// variants the boxes' layout allows: branch-free over segments, one box per
// row for disjoint boxes (four rows per instruction with AVX2), or a branch
// per box for anything else. Each hands a box's member rows to a sink,
// block by block. Private to regions.cpp.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <vector>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define MIRT_AVX2_REGIONS 1
#include <immintrin.h>
#endif

#include "finite.hpp"
#include "mirt/cpu.hpp"
#include "mirt/interrupt.hpp"
#include "region_plans.hpp"

namespace mirt::detail {

// A block's members, box by box (each box's rows at b * kBlock), to the sink.
template <typename Sink>
void hand_over(Sink& sink, const std::vector<std::int64_t>& rows,
               const std::vector<std::size_t>& cnt, std::size_t n_boxes, std::size_t start) {
  for (std::size_t b = 0; b < n_boxes; ++b) {
    if (cnt[b] != 0) sink.put(b, rows.data() + b * kBlock, cnt[b]);
  }
  sink.flush(start);
  check_interrupt();
}

inline void store_flags(double* acc, std::uint64_t a1, std::uint64_t a2) {
  acc[0] = static_cast<double>(a1);
  acc[1] = static_cast<double>(a2);
}

template <bool Check, bool Two, std::size_t M, typename Sink>
void scan_fast(const FastPlan& plan, std::size_t n_boxes, Strided x1, const Strided* x2,
               double* acc, Sink& sink) {
  const std::size_t n = x1.size();
  const std::size_t G = plan.groups;
  std::vector<std::int64_t> buf((n_boxes + 1) * kBlock);
  std::vector<std::size_t> cnt(n_boxes + 1, 0);
  const double* ends = plan.ends.data();
  const std::uint32_t* groups = plan.box.data();
  const double* lb2 = plan.lb2.data();
  const double* ub2 = plan.ub2.data();
  std::uint64_t a1 = 0, a2 = 0;
  for (std::size_t start = 0; start < n; start += kBlock) {
    const std::size_t stop = std::min(n, start + kBlock);
    std::fill(cnt.begin(), cnt.end(), 0);
    for (std::size_t r = start; r < stop; ++r) {
      const double v1 = x1[r];
      const double v2 = Two ? (*x2)[r] : 0.0;
      if (Check) {
        a1 |= not_finite(v1);
        if (Two) a2 |= not_finite(v2);
      }
      const std::uint32_t* grp = groups + rank_fixed<M>(ends, v1) * G;
      for (std::size_t k = 0; k < G; ++k) {
        const std::uint32_t b = grp[k];
        const bool in = Two ? ((lb2[b] <= v2) & (v2 < ub2[b])) : (b != n_boxes);
        buf[b * kBlock + cnt[b]] = static_cast<std::int64_t>(r);
        cnt[b] += static_cast<std::size_t>(in);
      }
    }
    hand_over(sink, buf, cnt, n_boxes, start);
  }
  if (Check) store_flags(acc, a1, a2);
}

// The pass with a branch per box tried, for layouts the fast pass does not
// take (many bounds, many overlapping boxes, a second interval closed at +inf).
template <bool Check, typename Sink>
void scan_general(const Segments& seg, const std::vector<Box>& boxes, Strided x1,
                  const Strided* x2, double* acc, Sink& sink) {
  const std::size_t n = x1.size();
  std::uint64_t a1 = 0, a2 = 0;
  for (std::size_t start = 0; start < n; start += kBlock) {
    const std::size_t stop = std::min(n, start + kBlock);
    for (std::size_t r = start; r < stop; ++r) {
      const double v1 = x1[r];
      const double v2 = x2 ? (*x2)[r] : 0.0;
      if (Check) {
        a1 |= not_finite(v1);
        a2 |= not_finite(v2);
      }
      const std::size_t g = seg.rank(v1);
      for (const std::uint32_t* b = seg.begin(g); b != seg.end(g); ++b) {
        const Box& box = boxes[*b];
        if (!box.has_second || box.second.contains(v2)) {
          const auto row = static_cast<std::int64_t>(r);
          sink.put(*b, &row, 1);
        }
      }
    }
    sink.flush(start);
    check_interrupt();
  }
  if (Check) store_flags(acc, a1, a2);
}

#if defined(MIRT_AVX2_REGIONS)
// The number of bounds at or below each of four values, as 32-bit integers.
template <bool Check>
__attribute__((target("avx2"))) inline __m128i segments_of_four(const double* ends1,
                                                                std::size_t m1, const double* p,
                                                                __m256d& bad) {
  const __m256d v1 = _mm256_loadu_pd(p);
  const __m256d one = _mm256_set1_pd(1.0);
  __m256d g = _mm256_setzero_pd();
  for (std::size_t j = 0; j < m1; ++j) {
    g = _mm256_add_pd(
        g, _mm256_and_pd(_mm256_cmp_pd(_mm256_broadcast_sd(ends1 + j), v1, _CMP_LE_OQ), one));
  }
  if (Check) bad = _mm256_add_pd(bad, _mm256_sub_pd(v1, v1));  // NaN unless finite
  return _mm256_cvttpd_epi32(g);
}

// A block's box ids as scan_disjoint finds them, four rows at a time, for
// columns read contiguously: the same comparisons of each value with the same
// bounds (a bound that is NaN counts for no value, as there), summed per lane.
// Returns whether a value was not finite.
template <bool Check, std::size_t W2>
__attribute__((target("avx2"))) bool box_ids_avx2(const DisjointPlan& plan, std::size_t m1,
                                                  const double* x1, const double* x2,
                                                  std::size_t len, std::uint8_t* ids) {
  constexpr bool Two = W2 > 0;
  const double* ends1 = plan.ends1.data();
  const double* ends2 = plan.ends2.data();
  const std::uint8_t* table = plan.box.data();
  __m256d bad = _mm256_setzero_pd();
  alignas(32) std::int64_t at[4];
  std::size_t i = 0;
  if constexpr (!Two) {
    // Up to sixteen segments: the segment numbers of sixteen rows are packed
    // into bytes and looked up in the table with one byte shuffle.
    if (m1 < 16) {
      alignas(16) std::uint8_t small[16] = {};
      std::copy(table, table + m1 + 1, small);
      const __m128i lookup = _mm_load_si128(reinterpret_cast<const __m128i*>(small));
      for (; i + 16 <= len; i += 16) {
        const __m128i lo = _mm_packs_epi32(segments_of_four<Check>(ends1, m1, x1 + i, bad),
                                           segments_of_four<Check>(ends1, m1, x1 + i + 4, bad));
        const __m128i hi = _mm_packs_epi32(segments_of_four<Check>(ends1, m1, x1 + i + 8, bad),
                                           segments_of_four<Check>(ends1, m1, x1 + i + 12, bad));
        const __m128i got = _mm_shuffle_epi8(lookup, _mm_packus_epi16(lo, hi));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(ids + i), got);
      }
    }
  }
  for (; i + 4 <= len; i += 4) {
    const __m256d v1 = _mm256_loadu_pd(x1 + i);
    __m256i g = _mm256_setzero_si256();
    for (std::size_t j = 0; j < m1; ++j) {
      // A true comparison is all ones, -1 as an integer.
      g = _mm256_sub_epi64(
          g, _mm256_castpd_si256(_mm256_cmp_pd(_mm256_broadcast_sd(ends1 + j), v1, _CMP_LE_OQ)));
    }
    if (Check) bad = _mm256_add_pd(bad, _mm256_sub_pd(v1, v1));  // NaN unless finite
    if constexpr (Two) {
      const __m256d v2 = _mm256_loadu_pd(x2 + i);
      if (Check) bad = _mm256_add_pd(bad, _mm256_sub_pd(v2, v2));
      const __m256i base = _mm256_mul_epu32(g, _mm256_set1_epi64x(static_cast<long long>(W2)));
      __m256i r = _mm256_setzero_si256();
      for (std::size_t j = 0; j < W2; ++j) {
        const __m256d e = _mm256_i64gather_pd(ends2 + j, base, 8);
        r = _mm256_sub_epi64(r, _mm256_castpd_si256(_mm256_cmp_pd(e, v2, _CMP_LE_OQ)));
      }
      const __m256i cell = _mm256_add_epi64(
          _mm256_mul_epu32(g, _mm256_set1_epi64x(static_cast<long long>(W2 + 1))), r);
      _mm256_store_si256(reinterpret_cast<__m256i*>(at), cell);
    } else {
      _mm256_store_si256(reinterpret_cast<__m256i*>(at), g);
    }
    for (std::size_t l = 0; l < 4; ++l) ids[i + l] = table[at[l]];
  }
  const bool finite = _mm256_movemask_pd(_mm256_cmp_pd(bad, bad, _CMP_UNORD_Q)) == 0;
  bool ok = finite;
  for (; i < len; ++i) {
    const double v1 = x1[i];
    std::size_t g = 0;
    for (std::size_t j = 0; j < m1; ++j) g += static_cast<std::size_t>(ends1[j] <= v1);
    if (Check) ok = ok && !not_finite(v1);
    if constexpr (Two) {
      const double v2 = x2[i];
      if (Check) ok = ok && !not_finite(v2);
      std::size_t r = 0;
      for (std::size_t j = 0; j < W2; ++j) r += static_cast<std::size_t>(ends2[g * W2 + j] <= v2);
      ids[i] = table[g * (W2 + 1) + r];
    } else {
      ids[i] = table[g];
    }
  }
  return !ok;
}
#endif

template <bool Check, std::size_t M, std::size_t W2, typename Sink>
void scan_disjoint(const DisjointPlan& plan, std::size_t n_boxes, Strided x1, const Strided* x2,
                   double* acc, Sink& sink) {
  constexpr bool Two = W2 > 0;
  const std::size_t n = x1.size();
  constexpr std::size_t w2 = W2;
  const double* ends1 = plan.ends1.data();
  const double* ends2 = plan.ends2.data();
  const std::uint8_t* table = plan.box.data();
  alignas(16) std::uint8_t ids[kBlock];
  std::vector<std::int64_t> rows(n_boxes * kBlock);
  std::vector<std::size_t> cnt(n_boxes, 0);
  std::uint64_t a1 = 0, a2 = 0;
#if defined(MIRT_AVX2_REGIONS)
  // The bounds past the last one that is a number count for nothing.
  std::size_t m1 = M;
  while (m1 > 0 && std::isnan(ends1[m1 - 1])) --m1;
  const bool wide = use_avx2() && x1.stride() == 1 && (!Two || x2->stride() == 1);
#endif
  for (std::size_t start = 0; start < n; start += kBlock) {
    const std::size_t len = std::min(kBlock, n - start);
#if defined(MIRT_AVX2_REGIONS)
    if (wide) {
      const bool bad = box_ids_avx2<Check, W2>(plan, m1, x1.address(start),
                                               Two ? x2->address(start) : nullptr, len, ids);
      // Which column was not finite is found again by the caller's pass.
      if (Check && bad) a1 = a2 = 1;
    } else
#endif
    {
      for (std::size_t i = 0; i < len; ++i) {
        const double v1 = x1[start + i];
        const std::size_t g = rank_fixed<M>(ends1, v1);
        if (Check) a1 |= not_finite(v1);
        if (Two) {
          const double v2 = (*x2)[start + i];
          if (Check) a2 |= not_finite(v2);
          ids[i] = table[g * (w2 + 1) + rank_fixed<W2>(ends2 + g * w2, v2)];
        } else {
          ids[i] = table[g];
        }
      }
    }
    std::fill(ids + len, ids + kBlock, kNoBox);
    // Only the rows inside some box are visited: sixteen ids are compared
    // with "no box" at once, and the rows of the mask go to their box's list.
    std::fill(cnt.begin(), cnt.end(), 0);
    for (std::size_t i = 0; i < len; i += 16) {
#if defined(__SSE2__)
      const __m128i got = _mm_load_si128(reinterpret_cast<const __m128i*>(ids + i));
      auto mask = static_cast<unsigned>(
                      _mm_movemask_epi8(_mm_cmpeq_epi8(got, _mm_set1_epi8(static_cast<char>(kNoBox))))) ^
                  0xffffu;
#else
      unsigned mask = 0;
      for (unsigned k = 0; k < 16; ++k) mask |= static_cast<unsigned>(ids[i + k] != kNoBox) << k;
#endif
      while (mask != 0) {
        const std::size_t k = i + static_cast<std::size_t>(__builtin_ctz(mask));
        const std::uint8_t b = ids[k];
        rows[b * kBlock + cnt[b]++] = static_cast<std::int64_t>(start + k);
        mask &= mask - 1;
      }
    }
    hand_over(sink, rows, cnt, n_boxes, start);
  }
  if (Check) store_flags(acc, a1, a2);
}

// The branch-free pass for boxes that may overlap: every segment's boxes are
// tried, padded to the same count.
template <bool Check, typename Sink>
void scan_overlapping(const Segments& seg, const std::vector<Box>& boxes, std::size_t widest,
                      bool two, Strided x1, const Strided* x2, double* acc, Sink& sink) {
  const std::size_t m = seg.bounds().size();
  const std::size_t padded = m <= 2 ? 2 : m <= 4 ? 4 : m <= 8 ? 8 : m <= 16 ? 16 : 32;
  const FastPlan plan = fast_plan(seg, boxes, widest, padded);
  auto run = [&](auto fixed) {
    constexpr std::size_t M = decltype(fixed)::value;
    if (two) {
      scan_fast<Check, true, M>(plan, boxes.size(), x1, x2, acc, sink);
    } else {
      scan_fast<Check, false, M>(plan, boxes.size(), x1, x2, acc, sink);
    }
  };
  switch (padded) {
    case 2: run(std::integral_constant<std::size_t, 2>{}); break;
    case 4: run(std::integral_constant<std::size_t, 4>{}); break;
    case 8: run(std::integral_constant<std::size_t, 8>{}); break;
    case 16: run(std::integral_constant<std::size_t, 16>{}); break;
    default: run(std::integral_constant<std::size_t, 32>{}); break;
  }
}

// The one pass over the rows: `sink.put(box, rows, count)` with a box's member
// rows of a block, ascending, and `sink.flush(block_start)` after each block.
// With `Check`, acc holds per column 1 when a value read was not finite, else 0.
template <bool Check, typename Sink>
void each_member(Strided x1, const Strided* x2, const std::vector<Box>& boxes, double* acc,
                 Sink& sink) {
  const Segments seg(boxes);
  const bool two = x2 != nullptr && any_second(boxes);
  std::size_t widest = 0;
  for (std::size_t g = 0; g < seg.segments(); ++g) {
    widest = std::max<std::size_t>(widest, static_cast<std::size_t>(seg.end(g) - seg.begin(g)));
  }
  // A second interval closed at +inf, or a box without one beside boxes with
  // one, has no half-open form that holds +inf, so such layouts take the
  // general pass.
  bool awkward = false;
  for (const Box& box : boxes) {
    awkward = awkward || (two && !box.has_second) ||
              (box.has_second && box.second.closed_upper && box.second.ub == HUGE_VAL);
  }
  const std::size_t m = seg.bounds().size();
  if (boxes.empty() || widest > 8 || m > 32 || awkward) {
    if (boxes.empty() && !Check) return;
    scan_general<Check>(seg, boxes, x1, x2, acc, sink);
    return;
  }
  DisjointPlan disjoint;
  if (disjoint_plan(seg, boxes, two, disjoint)) {
    // Fixed widths let the comparisons unroll; every layout pads to one.
    auto run = [&](auto m, auto w2) {
      scan_disjoint<Check, decltype(m)::value, decltype(w2)::value>(disjoint, boxes.size(), x1,
                                                                    x2, acc, sink);
    };
    auto with_m = [&](auto w2) {
      switch (disjoint.ends1.size()) {
        case 4: run(std::integral_constant<std::size_t, 4>{}, w2); break;
        case 8: run(std::integral_constant<std::size_t, 8>{}, w2); break;
        case 16: run(std::integral_constant<std::size_t, 16>{}, w2); break;
        default: run(std::integral_constant<std::size_t, 32>{}, w2); break;
      }
    };
    switch (disjoint.width2) {
      case 0: with_m(std::integral_constant<std::size_t, 0>{}); break;
      case 4: with_m(std::integral_constant<std::size_t, 4>{}); break;
      case 8: with_m(std::integral_constant<std::size_t, 8>{}); break;
      default: with_m(std::integral_constant<std::size_t, 16>{}); break;
    }
  } else {
    scan_overlapping<Check>(seg, boxes, widest, two, x1, x2, acc, sink);
  }
  // A checked pass over x2 that no box reads still owes its finiteness.
  if (Check && x2 != nullptr && !two) {
    std::uint64_t a = 0;
    for (std::size_t r = 0; r < x2->size(); ++r) a |= not_finite((*x2)[r]);
    acc[1] = static_cast<double>(a);
  }
}

}  // namespace mirt::detail
