#include "mirt/regions.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <limits>
#include <stdexcept>

namespace mirt {

namespace {

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

std::vector<Index> members_each(Column x1, Column x2, const std::vector<Box>& boxes) {
  std::vector<Index> out;
  out.reserve(boxes.size());
  for (const Box& box : boxes) out.push_back(members(x1, x2, box));
  return out;
}

Index members_of_any(Column x1, Column x2, const std::vector<Box>& boxes) {
  Bits any((x1.size() + 63) / 64, 0);
  for (const Box& box : boxes) {
    if (box.has_second) {
      require_same_length(x1.size(), x2.size(), "the two slicing columns differ in length");
    }
    const Bits bits = box_bits(x1, x2, box);
    for (std::size_t k = 0; k < any.size(); ++k) any[k] |= bits[k];
  }
  return positions(any);
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
