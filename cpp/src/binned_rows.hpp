// The passes that searches over bins share, whatever makes the bins: equal-
// width edges of a numeric feature (histogram.cpp) or the level codes of a
// categorical one (levels.cpp). Every row is assigned its bin once; the
// scores are then gathered bin by bin in row order, so that each bin's mean,
// and the mean of any union of bins, is numpy's pairwise sum over exactly the
// rows `np.average(scores[idx], weights=w[idx])` reads, to the bit.
//
// Internal to the core: the searches' sources include it, nothing else.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <cmath>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "mirt/histogram.hpp"
#include "mirt/interrupt.hpp"
#include "mirt/pairwise.hpp"
#include "mirt/scratch_pool.hpp"
#include "mirt/threads.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mirt::binned {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

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
inline constexpr std::size_t kRowsPerPart = std::size_t{1} << 16;
inline constexpr std::size_t kMaxParts = 4;

// Set on the threads of a pass that is already split (the two-feature search
// runs its inner searches side by side), whose own passes then stay whole.
inline thread_local bool t_within_parts = false;

inline std::size_t parts_for(std::size_t n) {
  if (t_within_parts) return 1;
  return std::max<std::size_t>(1, std::min({max_threads(), kMaxParts, n / kRowsPerPart}));
}

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

// What assign_ids asks of a locator L with bins numbered 0 .. L::k - 1:
//   std::size_t inside(double v)  the bin of a value of the searched rows;
//   bool bytes(const double* x, std::size_t n, std::uint8_t* out)
//                                 the bins of n contiguous values at once, or
//                                 false to leave them to `inside`;
//   static constexpr bool kChecks whether values must pass `valid(v)` first
//                                 (codes), `refuse(row, v)` throwing for the
//                                 first that does not.
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

// Where each part's first row of each bin goes when the bins' rows are laid
// out bin after bin in row order: parts x bins starting positions.
inline std::vector<std::int64_t> part_cursors(const std::vector<std::int64_t>& part_counts,
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

inline std::vector<std::int64_t> offsets_of(const std::vector<std::int64_t>& counts) {
  std::vector<std::int64_t> off(counts.size() + 1, 0);
  for (std::size_t i = 0; i < counts.size(); ++i) off[i + 1] = off[i] + counts[i];
  return off;
}

inline double sum_of(const double* a, std::size_t n, SumOrder order) {
  return numpy_sum_array(a, n, order);
}

// The mean of a run of gathered scores, weighted when weights are given and
// sum to a positive number, plain otherwise (`weighted` tells which).
inline WeightedMean slice_mean(const double* values, const double* products,
                               const double* weights, std::size_t n, SumOrder order) {
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

inline bool is_weak(double value, const SearchParams& p) {
  return p.sign * value <= p.sign * p.threshold_value;
}

// A bin is weak when it holds rows, its score is on the bad side of the
// threshold, and, among weighted rows, its own weights are evidence.
inline bool weak_bin(const Bin& bin, const SearchParams& p) {
  return bin.count > 0 && (bin.weighted || !p.weighted_evidence) && is_weak(bin.value, p);
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
void score_bins(std::vector<Bin>& out, const R& rows, const BinIds<Id>& bins, DSpan scores,
                DSpan weights, SumOrder order) {
  const std::size_t k = out.size();
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
    out[i].count = bins.counts[i];
    out[i].value = m.value;
    out[i].weighted = m.weighted;
    out[i].weight_sum = m.weight_sum;
  }
}

// The bins whose rows a union gathers: a run of neighbours (a fused interval)
// or any set of them (the weak levels of a category).
struct BinRange {
  std::size_t first, last;
  bool contains(std::size_t b) const { return b - first <= last - first; }
};
struct BinMask {
  const char* in;
  bool contains(std::size_t b) const { return in[b] != 0; }
};

// The mean score of the rows of the selected bins, gathered in row order;
// their positions go to `members` when it is given.
template <typename Id, typename R, typename Sel>
double union_mean(const R& rows, const BinIds<Id>& bins, const Sel& sel, std::size_t count,
                  DSpan scores, DSpan weights, SumOrder order, Index* members = nullptr) {
  Gathered g(count, has_weights(weights));
  const std::size_t k = bins.counts.size();
  std::vector<std::int64_t> start(bins.parts + 1, 0);
  for (std::size_t p = 0; p < bins.parts; ++p) {
    std::int64_t c = 0;
    for (std::size_t b = 0; b < k; ++b) c += sel.contains(b) ? bins.part_counts[p * k + b] : 0;
    start[p + 1] = start[p] + c;
  }
  const Id* const ids = bins.ids.get();
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
    if constexpr (std::is_same_v<Id, std::uint8_t> && std::is_same_v<Sel, BinRange>) {
      // Sixteen ids are compared with the bins' range at once and only the
      // members among them are visited, so a row outside costs no read of
      // its score and no write.
      const __m128i low = _mm_set1_epi8(static_cast<char>(sel.first));
      const __m128i span = _mm_set1_epi8(static_cast<char>(sel.last - sel.first));
      std::size_t j = begin;
      for (; j + 16 <= end && at < stop; j += 16) {
        const __m128i d =
            _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ids + j)), low);
        auto mask =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(d, span), d)));
        while (mask != 0) {
          write(j + static_cast<std::size_t>(__builtin_ctz(mask)));
          ++at;
          mask &= mask - 1;
        }
      }
      for (; j < end && at < stop; ++j) {
        if (sel.contains(ids[j])) {
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
      at += sel.contains(ids[j]) ? 1 : 0;
    }
  });
  return g.mean(0, static_cast<std::size_t>(start[bins.parts]), order).value;
}

// The rows of every bin (positions into x), bin after bin, ascending inside a
// bin, for metrics that are not additive, which score each bin's rows
// themselves. Bins start out empty-valued (NaN).
template <typename Id, typename R>
void list_bin_rows(Search1D& s, const R& rows, const BinIds<Id>& bins) {
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
}

}  // namespace mirt::binned
