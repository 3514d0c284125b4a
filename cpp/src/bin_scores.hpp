// Scores gathered bin by bin, whatever makes the bins: equal-width edges of a
// numeric feature (histogram.cpp, histogram_2d.cpp) or the level codes of a
// categorical one (levels.cpp). Each bin's scores are laid side by side in
// row order, so that its mean, and the mean of any union of bins, is numpy's
// pairwise sum over exactly the rows `np.average(scores[idx], weights=w[idx])`
// reads, to the bit. Private to the searches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <type_traits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "binning.hpp"
#include "mirt/histogram.hpp"
#include "mirt/pairwise.hpp"

namespace mirt::detail {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

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

// Fuses the weak bins of a scored search that touch, keeps the intervals with
// at least min_samples rows and folds each kept interval's bins into one
// rule, whose mean `union_value(first, last, rows, members)` gives: from the
// rows in hand (histogram.cpp) or from per-bin sums alone (bin_sums.cpp).
using UnionMean = std::function<double(std::size_t, std::size_t, std::size_t, Index*)>;
void fuse_bins(Search1D& s, const SearchParams& params, const UnionMean& union_value);

inline bool is_weak(double value, const SearchParams& p) {
  return !p.perfect_fit && p.sign * value <= p.sign * p.threshold_value;
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

}  // namespace mirt::detail
