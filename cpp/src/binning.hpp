// What the one- and two-feature histogram searches share: scratch buffers
// from the pool, rows split into parts across threads, the two ways of
// reading rows, the value range, and every row's bin computed once.
// Private to the searches (histogram.cpp, histogram_2d.cpp, binning.cpp).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define MIRT_AVX2_BINNING 1
#endif

#include "finite.hpp"
#include "mirt/cpu.hpp"
#include "mirt/histogram.hpp"
#include "mirt/interrupt.hpp"
#include "mirt/scratch_pool.hpp"
#include "mirt/threads.hpp"

namespace mirt::detail {

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
extern thread_local bool t_within_parts;

std::size_t parts_for(std::size_t n);

inline std::size_t part_begin(std::size_t n, std::size_t parts, std::size_t p) {
  return n * p / parts;
}

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
      ok &= is_finite_value(v);
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
      if (!is_finite_value(v)) {
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
  static constexpr bool kChecks = false;  // the rows lie within the edges' range
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
  // and the edges allow (bins numbered below 255); false leaves them to
  // `inside` (binning.cpp).
  bool bytes(const double* x, std::size_t n, std::uint8_t* out) const;
};

// The level codes of n contiguous values, four at a time in vector
// registers, when the machine allows and every value is a code below k <= 255
// (levels.cpp); false leaves them to the checking scalar loop.
bool level_bytes(const double* x, std::size_t n, std::size_t k, std::uint8_t* out);

// Bins of a categorical column: each level code 0 .. k - 1 is a bin of its
// own. Codes arrive as float64 from any caller, so each is checked.
struct LevelLocator {
  static constexpr bool kChecks = true;
  std::size_t k;
  bool valid(double v) const {
    return v >= 0.0 && v < static_cast<double>(k) && v == std::floor(v);
  }
  std::size_t inside(double v) const { return static_cast<std::size_t>(v); }
  bool bytes(const double* x, std::size_t n, std::uint8_t* out) const {
    return level_bytes(x, n, k, out);
  }
  [[noreturn]] void refuse(std::size_t row, double v) const {
    std::ostringstream msg;
    msg << "a categorical column must hold level codes, whole numbers from 0 to " << k - 1
        << ", but row " << row << " holds " << v;
    throw std::invalid_argument(msg.str());
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

// Every row's bin under a locator L with bins numbered 0 .. L::k - 1, which
// provides `inside(v)` (the bin of a value of the searched rows) and
// `bytes(x, n, out)` (the bins of n contiguous values at once, or false to
// leave them to `inside`); when L::kChecks, values must also pass `valid(v)`,
// and `refuse(row, v)` throws for the first that does not.
template <typename Id, typename R, typename L>
BinIds<Id> assign_ids(const R& rows_in, const L& locate_in) {
  BinIds<Id> out;
  const std::size_t n = rows_in.size();
  const std::size_t k = locate_in.k;
  out.ids = scratch<Id>(n);
  out.parts = parts_for(n);
  out.part_counts.assign(out.parts * k, 0);
  std::vector<char> bad(out.parts, 0);
  Id* const ids = out.ids.get();
  run_parts(n, out.parts, [&](std::size_t p, std::size_t begin, std::size_t end) {
    // Locals, not captures: a byte store may alias anything reached through
    // a reference, which would reload them on every row.
    const R rows = rows_in;
    const L locate = locate_in;
    Id* const out_ids = ids;
    bool done = false;
    if constexpr (std::is_same_v<Id, std::uint8_t> && std::is_same_v<R, AllRows>) {
      done = locate.bytes(rows.x.data() + begin, end - begin, out_ids + begin);
    }
    if constexpr (L::kChecks) {
      // Invalid values get bin 0 and are refused once the pass is over.
      bool ok = true;
      for (std::size_t j = begin; j < end && !done; ++j) {
        const double v = rows.value(j);
        const bool good = locate.valid(v);
        ok &= good;
        out_ids[j] = good ? static_cast<Id>(locate.inside(v)) : Id{0};
      }
      bad[p] = ok ? 0 : 1;
    } else if (!done) {
      // The rows of a search lie within the range the edges were built on.
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
  if constexpr (L::kChecks) {
    if (std::find(bad.begin(), bad.end(), 1) != bad.end()) {
      for (std::size_t j = 0; j < n; ++j) {
        if (!locate_in.valid(rows_in.value(j))) locate_in.refuse(rows_in.row(j), rows_in.value(j));
      }
    }
  }
  out.counts.assign(k, 0);
  for (std::size_t p = 0; p < out.parts; ++p) {
    for (std::size_t b = 0; b < k; ++b) out.counts[b] += out.part_counts[p * k + b];
  }
  return out;
}

// Where each part's first row of each bin goes when the bins' rows are laid
// out bin after bin in row order: parts x bins starting positions.
std::vector<std::int64_t> part_cursors(const std::vector<std::int64_t>& part_counts,
                                       std::size_t parts, std::size_t k);

// Where each bin's rows start when laid out bin after bin, and the end.
std::vector<std::int64_t> offsets_of(const std::vector<std::int64_t>& counts);

}  // namespace mirt::detail
