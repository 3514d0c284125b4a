// Searches over the levels of a categorical feature. Its column holds level
// codes 0 .. n_levels - 1 as float64 (the bindings' encoding), and every level
// is a bin of its own: one pass assigns each row its level and gathers the
// scores level by level in row order, so a level's score equals
// `np.average(scores[idx], weights=w[idx])` over its rows to the bit, exactly
// as a histogram bin's does (the same passes, binned_rows.hpp).
//
// A level is weak by the histogram's rule. The weak levels together form one
// region, the set, which is kept when it holds at least min_samples rows:
// levels have no order, so there is nothing to fuse by adjacency, and a set
// of small weak levels is as much a weak region as one large level.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mirt/histogram.hpp"
#include "mirt/region_stats.hpp"
#include "mirt/regions.hpp"

namespace mirt {

// Per-level figures of an additive metric's scores: count, score (weighted
// when the level's weights sum to a positive number, the plain mean
// otherwise, NaN without rows), whether weighted, and the weight sum; bin k
// is level k, with lb = ub = k. Throws std::invalid_argument for a value that
// is not a level code.
std::vector<Bin> level_stats(const RowSet& rows, std::size_t n_levels, DSpan scores,
                             DSpan weights, SumOrder order);

// The weak levels' region from per-level figures alone (count, value and
// weighted of each), as a search over partial results also finds it: marks
// every level's `weak` flag and returns the set.
struct LevelRegion {
  std::vector<char> in;     // per level: in the kept region (all 0 when none is kept)
  std::int64_t count = 0;   // rows of the weak levels
  bool kept = false;        // the weak levels hold at least min_samples rows
};
LevelRegion weak_levels(std::vector<Bin>& levels, const SearchParams& params);

// The one-feature search over levels for an additive metric. In the result
// `bins` are the levels, `absorbed` flags the region's levels, and `regions`
// holds at most one Region: the weak set, with rule_count and rule_value its
// rows and their mean in row order (and its members with
// SearchParams::keep_members); its lb, ub and quantiles are NaN, and
// first_bin/last_bin its smallest and largest level. `edges` stays empty.
Search1D search_levels(const RowSet& rows, std::size_t n_levels, DSpan scores, DSpan weights,
                       const SearchParams& params);

// The binning half for metrics that are not additive: counts and the rows of
// every level (bin_offsets, bin_rows); the caller scores the levels.
Search1D bin_levels(const RowSet& rows, std::size_t n_levels);

// Positions of the rows whose level is in the set (in_set[code] != 0),
// ascending; a code outside in_set is refused like a value that is no code.
Index level_members(Column codes, const std::vector<char>& in_set);

// A weak region whose side of a categorical feature is a set of levels: the
// intervals of its numeric sides (as the table closes them) and the flags of
// the levels of its categorical sides (empty for a numeric side).
struct LevelBox {
  Box box;
  std::vector<char> levels1, levels2;

  bool contains(double v1, double v2) const noexcept {
    return side(levels1, box.first, v1) && (!box.has_second || side(levels2, box.second, v2));
  }

 private:
  static bool side(const std::vector<char>& levels, const Interval& iv, double v) noexcept {
    if (levels.empty()) return iv.contains(v);
    // A value that is no code of these levels is in no set of them.
    return v >= 0.0 && v < static_cast<double>(levels.size()) &&
           levels[static_cast<std::size_t>(v)] != 0 && v == static_cast<double>(static_cast<std::size_t>(v));
  }
};

// The rows inside each box, in `parts` consecutive row ranges on threads of
// their own, joined in row order, with the first slicing value that is not
// finite (x2 is read only when a box has a second side).
Membership level_members_each(Strided x1, const Strided* x2, const std::vector<LevelBox>& boxes,
                              std::size_t parts = 1);

// The searched rows of a set of levels as a one-feature search over levels
// found them (SearchParams::keep_members).
struct FoundLevels {
  std::vector<char> levels;
  Index rows;
};

// region_rows for boxes with level sets: the rows of every box on the
// searched side and on the other side. The searched side's rows come from
// `found` when a one-feature search found them for exactly these sets, and
// the other side's pass then has every core; otherwise the two passes run
// side by side when both sides are large.
RegionRows level_region_rows(const std::vector<LevelBox>& boxes, const SidesToMeasure& sides,
                             std::vector<FoundLevels> found = {});

}  // namespace mirt
