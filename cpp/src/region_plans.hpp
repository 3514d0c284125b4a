// How the membership passes lay out a set of boxes before they read a row:
// the segments the first intervals cut the line into, and the padded tables
// of the branch-free passes. Private to the passes (regions.cpp).
#pragma once

#include <algorithm>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "mirt/regions.hpp"

namespace mirt::detail {

// The boxes' first intervals cut the line into segments at their bounds. A
// value's segment is the number of bounds at or below it, and each segment
// lists the boxes whose first interval covers it, so one pass over the rows
// tests every row against the few boxes that can hold it instead of making a
// pass per box. Intervals are half-open here: a closed upper bound u is the
// open bound just above it, which holds the same doubles.
class Segments {
 public:
  explicit Segments(const std::vector<Box>& boxes);

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

bool any_second(const std::vector<Box>& boxes);

// Rows are taken in blocks; within a block each box's members are collected
// without a branch per row (a row's position is always written and the
// box's count advances only when the row is inside), which keeps a pass over
// rows that fall in and out of regions at random from stalling on mispredicted
// branches. The rows of a block are handed over box by box, ascending.
constexpr std::size_t kBlock = 1024;

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

// The plan of the branch-free pass for boxes that may overlap: `widest` boxes
// per segment at most, the bounds padded to `padded`.
FastPlan fast_plan(const Segments& seg, const std::vector<Box>& boxes, std::size_t widest,
                   std::size_t padded);

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

std::size_t padded_width(std::size_t m);

// The plan for boxes that hold a row at most once, or false when they may
// overlap or are too many for it.
bool disjoint_plan(const Segments& seg, const std::vector<Box>& boxes, bool two,
                   DisjointPlan& plan);

}  // namespace mirt::detail
