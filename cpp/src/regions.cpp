#include "mirt/regions.hpp"

#include "mirt/cpu.hpp"
#include "mirt/interrupt.hpp"
#include "mirt/threads.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define MIRT_AVX2_REGIONS 1
#include <immintrin.h>
#endif
#include <limits>
#include <stdexcept>
#include <type_traits>
#include <vector>

namespace mirt {

namespace {

// 1 when v is NaN or infinite: an integer flag ORed over a pass, which unlike
// a running floating-point sum adds no long-latency chain to the loop.
inline std::uint64_t not_finite(double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return static_cast<std::uint64_t>((bits & 0x7ff0000000000000ULL) == 0x7ff0000000000000ULL);
}

bool is_finite_value(double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return (bits & 0x7ff0000000000000ULL) != 0x7ff0000000000000ULL;
}

// Rows inside a box as a bitset, 64 rows to a word: one pass of comparisons
// packs them, and the positions are then read off the set bits, so the cost
// beyond that pass follows the number of members, not of rows.
using Bits = std::vector<std::uint64_t>;

template <bool Closed>
bool inside(const Interval& a, double v) {
  return Closed ? ((v >= a.lb) & (v <= a.ub)) : ((v >= a.lb) & (v < a.ub));
}

template <bool Closed>
std::uint64_t word_of(const double* v, std::size_t count, const Interval& a) {
  std::uint64_t word = 0;
  std::size_t i = 0;
#if defined(__SSE2__)
  // Two comparisons per pair of values and one mask extraction: this pass
  // over a column is the inner loop of every region's membership.
  const __m128d lb = _mm_set1_pd(a.lb);
  const __m128d ub = _mm_set1_pd(a.ub);
  for (; i + 8 <= count; i += 8) {
    std::uint64_t m = 0;
    for (std::size_t j = 0; j < 8; j += 2) {
      const __m128d x = _mm_loadu_pd(v + i + j);
      const __m128d above = _mm_cmple_pd(lb, x);
      const __m128d below = Closed ? _mm_cmple_pd(x, ub) : _mm_cmplt_pd(x, ub);
      m |= static_cast<std::uint64_t>(_mm_movemask_pd(_mm_and_pd(above, below))) << j;
    }
    word |= m << i;
  }
#endif
  for (; i < count; ++i) word |= static_cast<std::uint64_t>(inside<Closed>(a, v[i])) << i;
  return word;
}

template <bool Closed>
void mark_rows(Column x, const Interval& a, Bits& bits) {
  const std::size_t n = x.size();
  const double* v = x.data();
  for (std::size_t w = 0; w * 64 < n; ++w) {
    const std::size_t count = std::min<std::size_t>(64, n - w * 64);
    bits[w] &= word_of<Closed>(v + w * 64, count, a);
  }
}

void mark(Column x, const Interval& a, Bits& bits) {
  if (a.closed_upper) {
    mark_rows<true>(x, a, bits);
  } else {
    mark_rows<false>(x, a, bits);
  }
}

Bits all_rows(std::size_t n) {
  Bits bits((n + 63) / 64, ~std::uint64_t{0});
  if (n % 64 != 0) bits.back() = (std::uint64_t{1} << (n % 64)) - 1;
  return bits;
}

Index positions(const Bits& bits) {
  std::size_t count = 0;
  for (std::uint64_t w : bits) count += static_cast<std::size_t>(__builtin_popcountll(w));
  Index out;
  out.reserve(count);
  for (std::size_t k = 0; k < bits.size(); ++k) {
    std::uint64_t w = bits[k];
    while (w != 0) {
      out.push_back(static_cast<std::int64_t>(k * 64 + static_cast<std::size_t>(__builtin_ctzll(w))));
      w &= w - 1;
    }
  }
  return out;
}

Bits box_bits(Column x1, Column x2, const Box& box) {
  Bits bits = all_rows(x1.size());
  mark(x1, box.first, bits);
  if (box.has_second) mark(x2, box.second, bits);
  return bits;
}

}  // namespace

Index members(Column x, const Interval& a) {
  Bits bits = all_rows(x.size());
  mark(x, a, bits);
  return positions(bits);
}

Index members(Column x1, const Interval& a, Column x2, const Interval& b) {
  require_same_length(x1.size(), x2.size(), "the two slicing columns differ in length");
  return positions(box_bits(x1, x2, Box{a, true, b}));
}

Index members(Column x1, Column x2, const Box& box) {
  if (box.has_second) {
    require_same_length(x1.size(), x2.size(), "the two slicing columns differ in length");
  }
  return positions(box_bits(x1, x2, box));
}

namespace {

// The boxes' first intervals cut the line into segments at their bounds. A
// value's segment is the number of bounds at or below it, and each segment
// lists the boxes whose first interval covers it, so one pass over the rows
// tests every row against the few boxes that can hold it instead of making a
// pass per box. Intervals are half-open here: a closed upper bound u is the
// open bound just above it, which holds the same doubles.
class Segments {
 public:
  explicit Segments(const std::vector<Box>& boxes) {
    struct Span1 {
      double lb, ub;
      bool bounded, empty;
    };
    std::vector<Span1> spans;
    spans.reserve(boxes.size());
    for (const Box& box : boxes) {
      const Interval& a = box.first;
      Span1 sp{a.lb, a.ub, true, false};
      if (a.closed_upper) {
        // Closed at +inf: nothing lies above, so no bound is needed.
        sp.bounded = !(a.ub == HUGE_VAL);
        if (sp.bounded) sp.ub = std::nextafter(a.ub, HUGE_VAL);
      }
      // NaN bounds hold nothing, as the comparisons they stand for are false.
      sp.empty = std::isnan(a.lb) || std::isnan(a.ub) || (sp.bounded && !(sp.lb < sp.ub));
      spans.push_back(sp);
      if (sp.empty) continue;
      ends_.push_back(sp.lb);
      if (sp.bounded) ends_.push_back(sp.ub);
    }
    std::sort(ends_.begin(), ends_.end());
    ends_.erase(std::unique(ends_.begin(), ends_.end()), ends_.end());
    const std::size_t n_seg = ends_.size() + 1;
    std::vector<std::vector<std::uint32_t>> cover(n_seg);
    for (std::size_t b = 0; b < spans.size(); ++b) {
      const Span1& sp = spans[b];
      if (sp.empty) continue;
      // Values at or above lb and below ub: segments pos(lb)+1 .. pos(ub).
      const std::size_t first = rank(sp.lb);
      const std::size_t last = sp.bounded ? rank(sp.ub) - 1 : n_seg - 1;
      for (std::size_t g = first; g <= last; ++g) cover[g].push_back(static_cast<std::uint32_t>(b));
    }
    start_.assign(n_seg + 1, 0);
    for (std::size_t g = 0; g < n_seg; ++g) {
      start_[g + 1] = start_[g] + static_cast<std::uint32_t>(cover[g].size());
      boxes_.insert(boxes_.end(), cover[g].begin(), cover[g].end());
    }
  }

  // The number of bounds at or below v; 0 for NaN, which no box holds.
  std::size_t rank(double v) const {
    const std::size_t m = ends_.size();
    if (m > 32) {
      return static_cast<std::size_t>(std::upper_bound(ends_.begin(), ends_.end(), v) -
                                      ends_.begin());
    }
    std::size_t c = 0;
    for (std::size_t j = 0; j < m; ++j) c += static_cast<std::size_t>(ends_[j] <= v);
    return c;
  }
  std::size_t segments() const { return ends_.size() + 1; }
  const std::vector<double>& bounds() const { return ends_; }
  const std::uint32_t* begin(std::size_t g) const { return boxes_.data() + start_[g]; }
  const std::uint32_t* end(std::size_t g) const { return boxes_.data() + start_[g + 1]; }

 private:
  std::vector<double> ends_;
  std::vector<std::uint32_t> start_;
  std::vector<std::uint32_t> boxes_;
};

bool any_second(const std::vector<Box>& boxes) {
  for (const Box& box : boxes) {
    if (box.has_second) return true;
  }
  return false;
}

// Rows are taken in blocks; within a block each box's members are collected
// without a branch per row (a row's position is always written and the
// box's count advances only when the row is inside), which keeps a pass over
// rows that fall in and out of regions at random from stalling on mispredicted
// branches. The rows of a block are handed over box by box, ascending.
constexpr std::size_t kBlock = 1024;

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

void store_flags(double* acc, std::uint64_t a1, std::uint64_t a2) {
  acc[0] = static_cast<double>(a1);
  acc[1] = static_cast<double>(a2);
}

// The boxes arranged for the branch-free pass: bounds of the first intervals
// padded with NaN (never at or below a value) to M, every segment's boxes
// padded with a sentinel box that holds nothing to the same count G, and
// each box's second interval as a half-open [lb2, ub2).
struct FastPlan {
  std::size_t groups = 0;         // G
  std::vector<double> ends;       // M bounds, NaN-padded
  std::vector<std::uint32_t> box; // (segments) x G box ids, padded
  std::vector<double> lb2, ub2;   // per box, plus the sentinel
};

template <std::size_t M>
std::size_t rank_fixed(const double* ends, double v) {
#if defined(__SSE2__)
  const __m128d vv = _mm_set1_pd(v);
  __m128i c = _mm_setzero_si128();
#pragma GCC unroll 16
  for (std::size_t j = 0; j < M; j += 2) {
    // A true comparison is all ones, -1 as an integer.
    c = _mm_sub_epi64(c, _mm_castpd_si128(_mm_cmple_pd(_mm_loadu_pd(ends + j), vv)));
  }
  return static_cast<std::size_t>(_mm_cvtsi128_si64(c) +
                                  _mm_cvtsi128_si64(_mm_unpackhi_epi64(c, c)));
#else
  std::size_t c = 0;
  for (std::size_t j = 0; j < M; ++j) c += static_cast<std::size_t>(ends[j] <= v);
  return c;
#endif
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

// Disjoint boxes (histogram regions, tree leaves) hold a row at most once, so
// the pass can name each row's box, or none, without touching any counter:
// the first interval's bounds give the row's segment, the bounds of the
// second intervals of that segment's boxes give its box. The boxes' members
// are then read off the block's box ids, sixteen rows per comparison.
constexpr std::uint8_t kNoBox = 255;

struct DisjointPlan {
  std::size_t width2 = 0;            // second-level bounds per segment, NaN-padded
  std::vector<double> ends1, ends2;  // ends2: segments x width2
  std::vector<std::uint8_t> box;     // segments x (width2 + 1)
};

std::size_t padded_width(std::size_t m) {
  return m <= 4 ? 4 : m <= 8 ? 8 : m <= 16 ? 16 : 32;
}

bool disjoint_plan(const Segments& seg, const std::vector<Box>& boxes, bool two,
                   DisjointPlan& plan) {
  if (boxes.size() >= kNoBox || seg.bounds().size() > 32) return false;
  const std::size_t n_seg = seg.segments();
  std::vector<std::vector<double>> ends(n_seg);
  std::vector<std::vector<std::pair<double, std::uint8_t>>> starts(n_seg);
  for (std::size_t g = 0; g < n_seg; ++g) {
    const auto count = static_cast<std::size_t>(seg.end(g) - seg.begin(g));
    if (!two) {
      if (count > 1) return false;
      continue;
    }
    std::vector<std::pair<double, double>> spans;
    for (const std::uint32_t* b = seg.begin(g); b != seg.end(g); ++b) {
      const Interval& a = boxes[*b].second;
      const double ub = a.closed_upper ? std::nextafter(a.ub, HUGE_VAL) : a.ub;
      if (std::isnan(a.lb) || std::isnan(ub) || !(a.lb < ub)) continue;  // holds nothing
      spans.emplace_back(a.lb, ub);
      starts[g].emplace_back(a.lb, static_cast<std::uint8_t>(*b));
      ends[g].push_back(a.lb);
      ends[g].push_back(ub);
    }
    std::sort(spans.begin(), spans.end());
    for (std::size_t i = 1; i < spans.size(); ++i) {
      if (spans[i - 1].second > spans[i].first) return false;  // overlapping boxes
    }
    std::sort(ends[g].begin(), ends[g].end());
    ends[g].erase(std::unique(ends[g].begin(), ends[g].end()), ends[g].end());
    std::sort(starts[g].begin(), starts[g].end());
  }
  std::size_t widest = 0;
  for (const auto& e : ends) widest = std::max(widest, e.size());
  if (widest > 16) return false;
  plan.width2 = two ? padded_width(widest) : 0;
  plan.ends1.assign(padded_width(seg.bounds().size()), std::numeric_limits<double>::quiet_NaN());
  std::copy(seg.bounds().begin(), seg.bounds().end(), plan.ends1.begin());
  plan.ends2.assign(n_seg * plan.width2, std::numeric_limits<double>::quiet_NaN());
  plan.box.assign(n_seg * (plan.width2 + 1), kNoBox);
  for (std::size_t g = 0; g < n_seg; ++g) {
    std::uint8_t* row = plan.box.data() + g * (plan.width2 + 1);
    if (!two) {
      if (seg.begin(g) != seg.end(g)) row[0] = static_cast<std::uint8_t>(*seg.begin(g));
      continue;
    }
    std::copy(ends[g].begin(), ends[g].end(), plan.ends2.begin() + static_cast<std::ptrdiff_t>(g * plan.width2));
    // Sub-segment j holds the values from bound j-1 up to bound j; it belongs
    // to the box whose interval starts at or below bound j-1 and ends above.
    for (std::size_t j = 1; j <= ends[g].size(); ++j) {
      const double v = ends[g][j - 1];
      for (const auto& [lb, b] : starts[g]) {
        const Interval& a = boxes[b].second;
        const double ub = a.closed_upper ? std::nextafter(a.ub, HUGE_VAL) : a.ub;
        if (lb <= v && v < ub) row[j] = b;
      }
    }
  }
  return true;
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
  FastPlan plan;
  plan.groups = widest;
  const std::size_t padded = m <= 2 ? 2 : m <= 4 ? 4 : m <= 8 ? 8 : m <= 16 ? 16 : 32;
  plan.ends.assign(padded, std::numeric_limits<double>::quiet_NaN());
  std::copy(seg.bounds().begin(), seg.bounds().end(), plan.ends.begin());
  const auto sentinel = static_cast<std::uint32_t>(boxes.size());
  plan.box.assign(seg.segments() * widest, sentinel);
  for (std::size_t g = 0; g < seg.segments(); ++g) {
    std::copy(seg.begin(g), seg.end(g), plan.box.begin() + static_cast<std::ptrdiff_t>(g * widest));
  }
  for (const Box& box : boxes) {
    if (!box.has_second) {
      plan.lb2.push_back(-HUGE_VAL);
      plan.ub2.push_back(HUGE_VAL);
      continue;
    }
    const Interval& b = box.second;
    plan.lb2.push_back(b.lb);
    plan.ub2.push_back(b.closed_upper ? std::nextafter(b.ub, HUGE_VAL) : b.ub);
  }
  plan.lb2.push_back(std::numeric_limits<double>::quiet_NaN());  // the sentinel
  plan.ub2.push_back(std::numeric_limits<double>::quiet_NaN());
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


// Sinks: one list per box, or the rows inside any box once each.
struct EachSink {
  std::vector<Index>& out;
  void put(std::size_t b, const std::int64_t* rows, std::size_t count) {
    out[b].insert(out[b].end(), rows, rows + count);
  }
  void flush(std::size_t) {}
};

struct AnySink {
  Index& out;
  std::uint64_t bits[kBlock / 64] = {};
  void put(std::size_t, const std::int64_t* rows, std::size_t count) {
    for (std::size_t k = 0; k < count; ++k) {
      const auto off = static_cast<std::size_t>(rows[k]) % kBlock;
      bits[off / 64] |= std::uint64_t{1} << (off % 64);
    }
  }
  void flush(std::size_t start) {
    for (std::size_t w = 0; w < kBlock / 64; ++w) {
      std::uint64_t word = bits[w];
      while (word != 0) {
        out.push_back(static_cast<std::int64_t>(start + w * 64 +
                                                static_cast<std::size_t>(__builtin_ctzll(word))));
        word &= word - 1;
      }
      bits[w] = 0;
    }
  }
};

void require_columns(Column x1, Column x2, const std::vector<Box>& boxes) {
  if (any_second(boxes)) {
    require_same_length(x1.size(), x2.size(), "the two slicing columns differ in length");
  }
}

std::int64_t first_bad(Strided x) {
  for (std::size_t r = 0; r < x.size(); ++r) {
    if (!is_finite_value(x[r])) return static_cast<std::int64_t>(r);
  }
  return -1;
}

}  // namespace

std::vector<Index> members_each(Column x1, Column x2, const std::vector<Box>& boxes) {
  require_columns(x1, x2, boxes);
  std::vector<Index> out(boxes.size());
  const Strided s1(x1), s2(x2);
  EachSink sink{out};
  each_member<false>(s1, any_second(boxes) ? &s2 : nullptr, boxes, nullptr, sink);
  return out;
}

Index members_of_any(Column x1, Column x2, const std::vector<Box>& boxes) {
  require_columns(x1, x2, boxes);
  Index out;
  const Strided s1(x1), s2(x2);
  AnySink sink{out};
  each_member<false>(s1, any_second(boxes) ? &s2 : nullptr, boxes, nullptr, sink);
  return out;
}

Membership members_each_checked(Strided x1, const Strided* x2, const std::vector<Box>& boxes,
                                std::size_t parts) {
  const std::size_t n = x1.size();
  parts = std::max<std::size_t>(1, std::min(parts, n / kBlock));
  if (parts == 1) return members_each_checked(x1, x2, boxes);
  if (x2 != nullptr) {
    require_same_length(n, x2->size(), "the two slicing columns differ in length");
  }
  auto slice = [](Strided x, std::size_t begin, std::size_t end) {
    return x.slice(begin, end - begin);
  };
  std::vector<Membership> got(parts);
  fork_join(parts, [&](std::size_t p) {
    const std::size_t begin = n * p / parts, end = n * (p + 1) / parts;
    const Strided s2 = x2 != nullptr ? slice(*x2, begin, end) : Strided();
    got[p] = members_each_checked(slice(x1, begin, end), x2 != nullptr ? &s2 : nullptr, boxes);
  });
  // The parts in row order, each part's positions shifted to the whole's.
  Membership out = std::move(got[0]);
  for (std::size_t p = 1; p < parts; ++p) {
    const auto offset = static_cast<std::int64_t>(n * p / parts);
    if (!out.non_finite && got[p].non_finite) {
      out.non_finite = {got[p].non_finite.column, got[p].non_finite.row + offset};
    }
    for (std::size_t b = 0; b < boxes.size(); ++b) {
      Index& dst = out.rows[b];
      const Index& src = got[p].rows[b];
      const std::size_t at = dst.size();
      dst.resize(at + src.size());
      for (std::size_t k = 0; k < src.size(); ++k) dst[at + k] = src[k] + offset;
    }
  }
  return out;
}

Membership members_each_checked(Strided x1, const Strided* x2, const std::vector<Box>& boxes) {
  if (x2 != nullptr) {
    require_same_length(x1.size(), x2->size(), "the two slicing columns differ in length");
  } else if (any_second(boxes)) {
    throw std::invalid_argument("a box of two features needs the second column");
  }
  Membership out;
  out.rows.resize(boxes.size());
  double acc[2] = {0.0, 0.0};
  EachSink sink{out.rows};
  each_member<true>(x1, x2, boxes, acc, sink);
  if (acc[0] != 0.0 || (x2 && acc[1] != 0.0)) {
    // Report the earliest row; within a row the first column comes first.
    const std::int64_t r1 = acc[0] != 0.0 ? first_bad(x1) : -1;
    const std::int64_t r2 = (x2 && acc[1] != 0.0) ? first_bad(*x2) : -1;
    if (r1 >= 0 && (r2 < 0 || r1 <= r2)) {
      out.non_finite = {0, r1};
    } else {
      out.non_finite = {1, r2};
    }
  }
  return out;
}

NonFinite copy_columns(const std::vector<Strided>& columns, double* out, double* range) {
  NonFinite bad;
  if (columns.empty()) return bad;
  const std::size_t n = columns[0].size();
  for (const Strided& c : columns) {
    require_same_length(c.size(), n, "the columns to copy differ in length");
  }
  // Row by row: the columns of one row share cache lines, so every line of
  // the matrix is brought in once for all of them. The pass waits on memory,
  // so the range comes at no cost.
  const std::size_t k = columns.size();
  std::vector<std::uint64_t> acc(k, 0);
  std::vector<double> lo(k, HUGE_VAL), hi(k, -HUGE_VAL);
  // Rows further down are asked for ahead of time: the hardware's own guess
  // at a strided pattern leaves memory idle part of the time (5 to 10 percent
  // faster, measured on rows of ten numbers).
  constexpr std::size_t kAhead = 64;
  const std::size_t ahead_until = n > kAhead ? n - kAhead : 0;
  if (k == 1) {
    const Strided c = columns[0];
    std::uint64_t a = 0;
    double mn = HUGE_VAL, mx = -HUGE_VAL;
    for (std::size_t r = 0; r < n; ++r) {
      if (r < ahead_until) __builtin_prefetch(c.address(r + kAhead));
      const double v = c[r];
      out[r] = v;
      a |= not_finite(v);
      mn = v < mn ? v : mn;
      mx = v > mx ? v : mx;
    }
    acc[0] = a;
    lo[0] = mn;
    hi[0] = mx;
  } else if (k == 2) {
    const Strided c0 = columns[0], c1 = columns[1];
    double* o1 = out + n;
    std::uint64_t a0 = 0, a1 = 0;
    double mn0 = HUGE_VAL, mx0 = -HUGE_VAL, mn1 = HUGE_VAL, mx1 = -HUGE_VAL;
    for (std::size_t r = 0; r < n; ++r) {
      if (r < ahead_until) {
        __builtin_prefetch(c0.address(r + kAhead));
        __builtin_prefetch(c1.address(r + kAhead));
      }
      const double v0 = c0[r], v1 = c1[r];
      out[r] = v0;
      o1[r] = v1;
      a0 |= not_finite(v0);
      a1 |= not_finite(v1);
      mn0 = v0 < mn0 ? v0 : mn0;
      mx0 = v0 > mx0 ? v0 : mx0;
      mn1 = v1 < mn1 ? v1 : mn1;
      mx1 = v1 > mx1 ? v1 : mx1;
    }
    acc[0] = a0;
    acc[1] = a1;
    lo[0] = mn0;
    hi[0] = mx0;
    lo[1] = mn1;
    hi[1] = mx1;
  } else {
    for (std::size_t r = 0; r < n; ++r) {
      for (std::size_t j = 0; j < k; ++j) {
        const double v = columns[j][r];
        out[j * n + r] = v;
        acc[j] |= not_finite(v);
        lo[j] = v < lo[j] ? v : lo[j];
        hi[j] = v > hi[j] ? v : hi[j];
      }
    }
  }
  if (range != nullptr) {
    for (std::size_t j = 0; j < k; ++j) {
      range[2 * j] = lo[j];
      range[2 * j + 1] = hi[j];
    }
  }
  std::int64_t best = -1;
  for (std::size_t j = 0; j < k; ++j) {
    if (acc[j] == 0) continue;
    const std::int64_t r = first_bad(columns[j]);
    if (r >= 0 && (best < 0 || r < best)) {
      best = r;
      bad = {static_cast<int>(j), r};
    }
  }
  return bad;
}

namespace {

bool is_finite_bits(double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return (bits & 0x7ff0000000000000ULL) != 0x7ff0000000000000ULL;
}

// min or max with numpy's rule that a NaN anywhere makes the result NaN.
template <typename Better>
double extreme(Column x, const Better& better) {
  if (x.empty()) return std::numeric_limits<double>::quiet_NaN();
  if (first_non_finite(x) >= 0) {
    for (std::size_t i = 0; i < x.size(); ++i) {
      if (std::isnan(x[i])) return x[i];
    }
  }
  // Four independent running values instead of one serial chain.
  double m[4] = {x[0], x[0], x[0], x[0]};
  const std::size_t n = x.size();
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    for (std::size_t j = 0; j < 4; ++j) m[j] = better(x[i + j], m[j]) ? x[i + j] : m[j];
  }
  for (; i < n; ++i) m[0] = better(x[i], m[0]) ? x[i] : m[0];
  double r = m[0];
  for (std::size_t j = 1; j < 4; ++j) r = better(m[j], r) ? m[j] : r;
  return r;
}

}  // namespace

double column_max(Column x) {
  return extreme(x, [](double a, double b) { return a > b; });
}

double column_min(Column x) {
  return extreme(x, [](double a, double b) { return a < b; });
}

std::int64_t first_non_finite(Column x) {
  // v - v is 0 for a finite value and NaN otherwise, so one running sum per
  // lane tells whether the column is finite, without a branch per value;
  // finite columns are the rule and are read once.
  const double* v = x.data();
  const std::size_t n = x.size();
  std::size_t i = 0;
  bool finite = true;
#if defined(__SSE2__)
  __m128d acc0 = _mm_setzero_pd();
  __m128d acc1 = _mm_setzero_pd();
  for (; i + 4 <= n; i += 4) {
    const __m128d a = _mm_loadu_pd(v + i);
    const __m128d b = _mm_loadu_pd(v + i + 2);
    acc0 = _mm_add_pd(acc0, _mm_sub_pd(a, a));
    acc1 = _mm_add_pd(acc1, _mm_sub_pd(b, b));
  }
  const __m128d acc = _mm_add_pd(acc0, acc1);
  finite = _mm_movemask_pd(_mm_cmpunord_pd(acc, acc)) == 0;
#endif
  for (std::size_t j = i; j < n; ++j) finite &= is_finite_bits(v[j]);
  if (finite) return -1;
  for (std::size_t j = 0; j < n; ++j) {
    if (!is_finite_bits(v[j])) return static_cast<std::int64_t>(j);
  }
  return -1;
}

}  // namespace mirt
