// Scores and labels of a binary classifier from the probability of its second
// class. Probabilities usually arrive as float32 and as a strided column of an
// (n, 2) array; they are read in place and widened to double before any
// arithmetic, because the clipping bound 1 - 1e-7 is not a float32 number.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace mirt {

// out[i] = log(q / (1 - q)) with q = p[i * stride] clipped to [lo, hi] in
// double precision, in the order of numpy's np.log(q / (1 - q)); NaN stays NaN.
template <typename T>
void clipped_log_odds(const T* p, std::size_t n, std::ptrdiff_t stride, double lo, double hi,
                      double* out) {
  for (std::size_t i = 0; i < n; ++i) {
    double q = static_cast<double>(p[static_cast<std::ptrdiff_t>(i) * stride]);
    // Written as comparisons so that NaN passes through, as np.clip lets it.
    if (q < lo) {
      q = lo;
    } else if (q > hi) {
      q = hi;
    }
    out[i] = std::log(q / (1.0 - q));
  }
}

// out[i] = 1 when p[i * stride] > threshold (strictly), else 0; NaN gives 0.
template <typename T>
void above_threshold(const T* p, std::size_t n, std::ptrdiff_t stride, double threshold,
                     std::int64_t* out) {
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = static_cast<double>(p[static_cast<std::ptrdiff_t>(i) * stride]) > threshold ? 1 : 0;
  }
}

}  // namespace mirt
