#include "mirt/regions.hpp"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "finite.hpp"
#include "mirt/threads.hpp"
#include "region_scans.hpp"

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

namespace {

using detail::any_second;
using detail::each_member;
using detail::kBlock;

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
    const std::int64_t r1 = acc[0] != 0.0 ? detail::first_bad(x1) : -1;
    const std::int64_t r2 = (x2 && acc[1] != 0.0) ? detail::first_bad(*x2) : -1;
    if (r1 >= 0 && (r2 < 0 || r1 <= r2)) {
      out.non_finite = {0, r1};
    } else {
      out.non_finite = {1, r2};
    }
  }
  return out;
}

}  // namespace mirt
