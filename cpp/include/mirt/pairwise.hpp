// Sums and means in numpy's exact order, so that every score the core reports
// equals what numpy computes on the same numbers, to the bit.
//
// numpy reduces a contiguous float64 array with a pairwise sum, starting from
// the additive identity 0.0: below 8 elements a plain loop, up to 128 elements
// eight running sums combined as ((r0+r1)+(r2+r3))+((r4+r5)+(r6+r7)) with the
// remainder added after, and above 128 a split at half the length rounded down
// to a multiple of 8. Releases from 2.3 on sum the whole length that way;
// earlier ones sum through an 8192-element buffer, pairwise per block with the
// blocks added in order. SumOrder says which; the bindings find it out from
// the numpy they run with.
// A fancy-indexed selection (`a[idx]`) is contiguous, so summing values picked
// by an index list in list order reproduces `a[idx].sum()`.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>

#include "mirt/span.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mirt {

namespace detail {

template <typename Get>
double pairwise_sum_impl(const Get& get, std::size_t begin, std::size_t n) {
  if (n < 8) {
    double res = 0.0;
    for (std::size_t i = 0; i < n; ++i) res += get(begin + i);
    return res;
  }
  if (n <= 128) {
    double r[8];
    for (std::size_t j = 0; j < 8; ++j) r[j] = get(begin + j);
    std::size_t i = 8;
    const std::size_t stop = n - (n % 8);
    for (; i < stop; i += 8) {
      for (std::size_t j = 0; j < 8; ++j) r[j] += get(begin + i + j);
    }
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += get(begin + i);
    return res;
  }
  std::size_t n2 = n / 2;
  n2 -= n2 % 8;
  return pairwise_sum_impl(get, begin, n2) + pairwise_sum_impl(get, begin + n2, n - n2);
}

// pairwise_sum_impl over a contiguous array, its eight running sums held two
// to a vector register: each running sum still adds the same values in the
// same order, so the result is the same to the bit.
inline double pairwise_sum_contiguous(const double* a, std::size_t n) {
#if defined(__SSE2__)
  if (n < 8) {
    double res = 0.0;
    for (std::size_t i = 0; i < n; ++i) res += a[i];
    return res;
  }
  if (n <= 128) {
    __m128d r0 = _mm_loadu_pd(a), r1 = _mm_loadu_pd(a + 2);
    __m128d r2 = _mm_loadu_pd(a + 4), r3 = _mm_loadu_pd(a + 6);
    std::size_t i = 8;
    const std::size_t stop = n - (n % 8);
    for (; i < stop; i += 8) {
      r0 = _mm_add_pd(r0, _mm_loadu_pd(a + i));
      r1 = _mm_add_pd(r1, _mm_loadu_pd(a + i + 2));
      r2 = _mm_add_pd(r2, _mm_loadu_pd(a + i + 4));
      r3 = _mm_add_pd(r3, _mm_loadu_pd(a + i + 6));
    }
    double r[8];
    _mm_storeu_pd(r, r0);
    _mm_storeu_pd(r + 2, r1);
    _mm_storeu_pd(r + 4, r2);
    _mm_storeu_pd(r + 6, r3);
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += a[i];
    return res;
  }
  std::size_t n2 = n / 2;
  n2 -= n2 % 8;
  return pairwise_sum_contiguous(a, n2) + pairwise_sum_contiguous(a + n2, n - n2);
#else
  return pairwise_sum_impl([a](std::size_t i) { return a[i]; }, 0, n);
#endif
}

}  // namespace detail

struct SumOrder {
  std::size_t block = 0;  // 0: the whole length; else the buffer size in elements
};

// Sum of get(0) .. get(n-1) exactly as numpy's `np.sum` of the array holding them.
template <typename Get>
double numpy_sum(const Get& get, std::size_t n, SumOrder order = {}) {
  // The reduction starts from the identity 0.0, which only matters for -0.0.
  if (order.block == 0 || n <= order.block) return 0.0 + detail::pairwise_sum_impl(get, 0, n);
  double res = 0.0;
  for (std::size_t start = 0; start < n; start += order.block) {
    res += detail::pairwise_sum_impl(get, start, std::min(order.block, n - start));
  }
  return res;
}

// The same for the n values of a contiguous array.
inline double numpy_sum_array(const double* a, std::size_t n, SumOrder order = {}) {
  if (order.block == 0 || n <= order.block) return 0.0 + detail::pairwise_sum_contiguous(a, n);
  double res = 0.0;
  for (std::size_t start = 0; start < n; start += order.block) {
    res += detail::pairwise_sum_contiguous(a + start, std::min(order.block, n - start));
  }
  return res;
}

inline double numpy_sum(DSpan a, SumOrder order = {}) {
  return numpy_sum_array(a.data(), a.size(), order);
}

// `np.sum(a[idx])`.
inline double numpy_sum(DSpan a, ISpan idx, SumOrder order = {}) {
  return numpy_sum([&](std::size_t i) { return a[static_cast<std::size_t>(idx[i])]; },
                   idx.size(), order);
}

// `np.mean(a)`: the sum divided by the count (NaN for no elements).
inline double numpy_mean(DSpan a, SumOrder order = {}) {
  if (a.empty()) return std::numeric_limits<double>::quiet_NaN();
  return numpy_sum(a, order) / static_cast<double>(a.size());
}

inline double numpy_mean(DSpan a, ISpan idx, SumOrder order = {}) {
  if (idx.empty()) return std::numeric_limits<double>::quiet_NaN();
  return numpy_sum(a, idx, order) / static_cast<double>(idx.size());
}

// `np.average(a, weights=w)` is `sum(a * w) / sum(w)`; the product array is
// materialised first, so each product is rounded before it is summed.
inline double numpy_weighted_sum_of_products(DSpan a, DSpan w, ISpan idx, SumOrder order = {}) {
  return numpy_sum(
      [&](std::size_t i) {
        const auto k = static_cast<std::size_t>(idx[i]);
        const double p = a[k] * w[k];
        return p;
      },
      idx.size(), order);
}

namespace detail {

// The exponent e with |v| < 2**e for the largest |v| (0 when all are zero).
template <typename Get>
int scale_exponent(const Get& get, std::size_t n) {
  double m = 0.0;
  for (std::size_t i = 0; i < n; ++i) m = std::max(m, std::fabs(get(i)));
  int e = 0;
  std::frexp(m, &e);
  return e;
}

// sum(a) / n, or sum(a * w) / sum(w), with a and w first divided by powers of
// two that bring their largest values below 1, so that no sum overflows.
// Dividing by a power of two is exact, and so is multiplying back: where
// numpy's sums are finite this is numpy's mean to the bit, and where they
// overflow it is the finite mean they stand for.
template <typename GetA, typename GetW>
double rescaled_mean(const GetA& a, const GetW& w, bool weighted, std::size_t n,
                     SumOrder order) {
  const int ea = scale_exponent(a, n);
  if (!weighted) {
    const double sum =
        numpy_sum([&](std::size_t i) { return std::ldexp(a(i), -ea); }, n, order);
    return std::ldexp(sum / static_cast<double>(n), ea);
  }
  const int ew = scale_exponent(w, n);
  const double ws = numpy_sum([&](std::size_t i) { return std::ldexp(w(i), -ew); }, n, order);
  const double num = numpy_sum(
      [&](std::size_t i) {
        const double p = std::ldexp(a(i), -ea) * std::ldexp(w(i), -ew);
        return p;
      },
      n, order);
  return std::ldexp(num / ws, ea);
}

}  // namespace detail

// numpy's mean from its sums, num / den (den is the count for a plain mean,
// the sum of the weights otherwise), unless a sum overflowed: then the same
// mean over the values scaled down, which stays finite (detail::rescaled_mean).
template <typename GetA, typename GetW>
double mean_from_sums(double num, double den, const GetA& a, const GetW& w, bool weighted,
                      std::size_t n, SumOrder order) {
  const double value = num / den;
  if (std::isfinite(value) && std::isfinite(den)) return value;
  return detail::rescaled_mean(a, w, weighted, n, order);
}

struct WeightedMean {
  double value;       // the mean (NaN when there is nothing to average)
  double weight_sum;  // sum of the weights used, or the count without weights
  bool weighted;      // false when the plain mean was taken
};

// Mean of a[idx], weighted by w[idx] when weights are given and sum to a
// positive number, plain otherwise: zero weights are valid input and must not
// turn a score into a division by zero.
inline WeightedMean mean_with_fallback(DSpan a, DSpan w, ISpan idx, SumOrder order = {}) {
  const auto at = [&](std::size_t i) { return static_cast<std::size_t>(idx[i]); };
  const auto a_at = [&](std::size_t i) { return a[at(i)]; };
  const auto w_at = [&](std::size_t i) { return w[at(i)]; };
  if (has_weights(w)) {
    const double ws = numpy_sum(w, idx, order);
    if (ws > 0.0) {
      const double num = numpy_weighted_sum_of_products(a, w, idx, order);
      return {mean_from_sums(num, ws, a_at, w_at, true, idx.size(), order), ws, true};
    }
  }
  if (idx.empty()) return {std::numeric_limits<double>::quiet_NaN(), 0.0, false};
  const auto n = static_cast<double>(idx.size());
  return {mean_from_sums(numpy_sum(a, idx, order), n, a_at, w_at, false, idx.size(), order), n,
          false};
}

// The whole array, idx = 0..n-1, without building the index list.
inline WeightedMean mean_with_fallback(DSpan a, DSpan w, SumOrder order = {}) {
  const auto a_at = [&](std::size_t i) { return a[i]; };
  const auto w_at = [&](std::size_t i) { return w[i]; };
  if (has_weights(w)) {
    const double ws = numpy_sum(w, order);
    if (ws > 0.0) {
      const double num =
          numpy_sum([&](std::size_t i) { return a[i] * w[i]; }, a.size(), order);
      return {mean_from_sums(num, ws, a_at, w_at, true, a.size(), order), ws, true};
    }
  }
  if (a.empty()) return {std::numeric_limits<double>::quiet_NaN(), 0.0, false};
  const auto n = static_cast<double>(a.size());
  return {mean_from_sums(numpy_sum(a, order), n, a_at, w_at, false, a.size(), order), n, false};
}

}  // namespace mirt
