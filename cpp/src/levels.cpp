#include "mirt/levels.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

#include "bin_scores.hpp"
#include "binning.hpp"
#include "mirt/cpu.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define MIRT_AVX2_LEVELS 1
#include <immintrin.h>
#endif

namespace mirt {

namespace detail {

#if defined(MIRT_AVX2_LEVELS)
namespace {

// Four codes as 32-bit integers, with the lanes that hold no code (negative,
// too large, fractional or NaN: every ordered comparison is false for NaN)
// added to `bad`.
__attribute__((target("avx2"))) inline __m128i four_codes(const double* p, __m256d top,
                                                         __m256d& bad) {
  const __m256d v = _mm256_loadu_pd(p);
  const __m256d whole = _mm256_round_pd(v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
  const __m256d ok = _mm256_and_pd(
      _mm256_and_pd(_mm256_cmp_pd(v, _mm256_setzero_pd(), _CMP_GE_OQ),
                    _mm256_cmp_pd(v, top, _CMP_LT_OQ)),
      _mm256_cmp_pd(v, whole, _CMP_EQ_OQ));
  bad = _mm256_or_pd(bad, _mm256_andnot_pd(ok, _mm256_castsi256_pd(_mm256_set1_epi64x(-1))));
  return _mm256_cvttpd_epi32(_mm256_and_pd(whole, ok));
}

__attribute__((target("avx2"))) bool level_bytes_avx2(const double* x, std::size_t n,
                                                      std::size_t k, std::uint8_t* out) {
  const __m256d top = _mm256_set1_pd(static_cast<double>(k));
  __m256d bad = _mm256_setzero_pd();
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i lo = _mm_packs_epi32(four_codes(x + i, top, bad), four_codes(x + i + 4, top, bad));
    const __m128i hi =
        _mm_packs_epi32(four_codes(x + i + 8, top, bad), four_codes(x + i + 12, top, bad));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(lo, hi));
  }
  const LevelLocator locate{k};
  bool ok = _mm256_movemask_pd(bad) == 0;
  for (; i < n; ++i) {
    ok &= locate.valid(x[i]);
    out[i] = ok ? static_cast<std::uint8_t>(x[i]) : 0;
  }
  return ok;
}

}  // namespace
#endif

bool level_bytes(const double* x, std::size_t n, std::size_t k, std::uint8_t* out) {
#if defined(MIRT_AVX2_LEVELS)
  if (k <= 255 && use_avx2()) return level_bytes_avx2(x, n, k, out);
#else
  (void)x;
  (void)n;
  (void)k;
  (void)out;
#endif
  return false;
}

}  // namespace detail

namespace {

using namespace detail;

void require_levels(std::size_t n_levels) {
  if (n_levels == 0) throw std::invalid_argument("a categorical feature needs at least one level");
}

Search1D empty_levels(std::size_t n_levels) {
  Search1D s;
  s.bins.resize(n_levels);
  for (std::size_t i = 0; i < n_levels; ++i) {
    s.bins[i].lb = s.bins[i].ub = static_cast<double>(i);
  }
  s.absorbed.assign(n_levels, 0);
  s.lo = s.hi = kNaN;
  return s;
}

template <typename Id, typename R>
void search_with_ids(Search1D& s, const R& rows, DSpan scores, DSpan weights,
                     const SearchParams& params) {
  const BinIds<Id> ids = assign_ids<Id>(rows, LevelLocator{s.bins.size()});
  score_bins(s.bins, rows, ids, scores, weights, params.order);
  LevelRegion set = weak_levels(s.bins, params);
  if (!set.kept) return;
  s.absorbed = set.in;
  Region region;
  region.lb = region.ub = region.rule_lb = region.rule_ub = kNaN;
  region.lb_quantile = region.ub_quantile = kNaN;
  region.has_rule = true;
  bool first = true;
  for (std::size_t i = 0; i < s.bins.size(); ++i) {
    if (!set.in[i]) continue;
    if (first) region.first_bin = i;
    first = false;
    region.last_bin = i;
  }
  region.rule_count = set.count;
  // A set of levels is exactly the rows of its bins, so the gather that
  // scores it finds its members too.
  region.has_members = params.keep_members;
  region.rule_value =
      set.count == 0 ? 0.0
                     : union_mean(rows, ids, BinMask{set.in.data()},
                                  static_cast<std::size_t>(set.count), scores, weights,
                                  params.order, region.has_members ? &region.members : nullptr);
  s.regions.push_back(std::move(region));
}

}  // namespace

std::vector<Bin> level_stats(const RowSet& rows, std::size_t n_levels, DSpan scores,
                             DSpan weights, SumOrder order) {
  require_levels(n_levels);
  require_same_length(scores.size(), rows.x.size(), "scores and codes differ in length");
  std::vector<Bin> out = empty_levels(n_levels).bins;
  with_rows(rows, [&](const auto& r) {
    if (n_levels < 255) {
      score_bins(out, r, assign_ids<std::uint8_t>(r, LevelLocator{n_levels}), scores, weights,
                 order);
    } else {
      score_bins(out, r, assign_ids<std::uint32_t>(r, LevelLocator{n_levels}), scores, weights,
                 order);
    }
    return 0;
  });
  return out;
}

LevelRegion weak_levels(std::vector<Bin>& levels, const SearchParams& params) {
  LevelRegion out;
  out.in.assign(levels.size(), 0);
  for (std::size_t i = 0; i < levels.size(); ++i) {
    levels[i].weak = weak_bin(levels[i], params);
    out.in[i] = levels[i].weak ? 1 : 0;
    out.count += levels[i].weak ? levels[i].count : 0;
  }
  // As for fused bins: no weak level means no region, and too few rows in
  // the weak levels together drop the set.
  out.kept = out.count > 0 && params.min_samples <= static_cast<double>(out.count);
  if (!out.kept) out.in.assign(levels.size(), 0);
  return out;
}

Search1D search_levels(const RowSet& rows, std::size_t n_levels, DSpan scores, DSpan weights,
                       const SearchParams& params) {
  require_levels(n_levels);
  Search1D s = empty_levels(n_levels);
  with_rows(rows, [&](const auto& r) {
    if (n_levels < 255) {
      search_with_ids<std::uint8_t>(s, r, scores, weights, params);
    } else {
      search_with_ids<std::uint32_t>(s, r, scores, weights, params);
    }
    return 0;
  });
  return s;
}

Search1D bin_levels(const RowSet& rows, std::size_t n_levels) {
  require_levels(n_levels);
  Search1D s = empty_levels(n_levels);
  with_rows(rows, [&](const auto& r) {
    list_bin_rows(s, r, assign_ids<std::uint32_t>(r, LevelLocator{n_levels}));
    return 0;
  });
  return s;
}

Index level_members(Column codes, const std::vector<char>& in_set) {
  require_levels(in_set.size());
  const LevelLocator locate{in_set.size()};
  const std::size_t n = codes.size();
  const std::size_t parts = parts_for(n);
  std::vector<Index> found(parts);
  std::vector<char> bad(parts, 0);
  run_parts(n, parts, [&](std::size_t p, std::size_t begin, std::size_t end) {
    bool ok = true;
    for (std::size_t j = begin; j < end; ++j) {
      const double v = codes[j];
      const bool good = locate.valid(v);
      ok &= good;
      if (good && in_set[locate.inside(v)]) found[p].push_back(static_cast<std::int64_t>(j));
    }
    bad[p] = ok ? 0 : 1;
  });
  if (std::find(bad.begin(), bad.end(), 1) != bad.end()) {
    for (std::size_t j = 0; j < n; ++j) {
      if (!locate.valid(codes[j])) locate.refuse(j, codes[j]);
    }
  }
  Index out;
  for (Index& part : found) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Membership level_members_each(Strided x1, const Strided* x2, const std::vector<LevelBox>& boxes,
                              std::size_t parts) {
  const std::size_t n = x1.size();
  parts = std::max<std::size_t>(1, std::min(parts, n / kRowsPerPart + 1));
  std::vector<std::vector<Index>> found(parts, std::vector<Index>(boxes.size()));
  std::vector<NonFinite> bad(parts);
  // Sets of levels of one feature only, the usual categorical table: each
  // level's boxes are looked up at once from a bit mask per level.
  const std::size_t n_levels = boxes.empty() ? 0 : boxes[0].levels1.size();
  bool by_mask = x2 == nullptr && n_levels > 0 && boxes.size() <= 64;
  for (const LevelBox& box : boxes) {
    by_mask = by_mask && !box.box.has_second && box.levels1.size() == n_levels;
  }
  std::vector<std::uint64_t> mask(by_mask ? n_levels : 0, 0);
  for (std::size_t k = 0; by_mask && k < boxes.size(); ++k) {
    for (std::size_t c = 0; c < n_levels; ++c) mask[c] |= std::uint64_t{boxes[k].levels1[c] != 0} << k;
  }
  // The rows of each box among rows j0 .. j1 - 1 by the mask of their level.
  auto scan_masked = [&](std::size_t p, std::size_t j0, std::size_t j1) -> bool {
    for (std::size_t j = j0; j < j1; ++j) {
      const double v = x1[j];
      if (!(v >= 0.0 && v < static_cast<double>(n_levels))) {
        if (!std::isfinite(v)) {
          bad[p] = {0, static_cast<std::int64_t>(j)};
          return false;
        }
        continue;  // no level of these sets
      }
      const auto code = static_cast<std::size_t>(v);
      for (std::uint64_t m = static_cast<double>(code) == v ? mask[code] : 0; m != 0; m &= m - 1) {
        found[p][static_cast<std::size_t>(__builtin_ctzll(m))].push_back(static_cast<std::int64_t>(j));
      }
    }
    return true;
  };
  run_parts(n, parts, [&](std::size_t p, std::size_t begin, std::size_t end) {
    // Codes read as bytes in vector registers a block at a time, where they
    // all are codes; a block with anything else takes the checking loop.
    constexpr std::size_t kBlock = 4096;
    std::uint8_t bytes[kBlock];
    for (std::size_t j0 = begin; j0 < end && by_mask; j0 += kBlock) {
      const std::size_t len = std::min(kBlock, end - j0);
      if (x1.contiguous() && n_levels <= 255 && level_bytes(x1.address(j0), len, n_levels, bytes)) {
        for (std::size_t i = 0; i < len; ++i) {
          for (std::uint64_t m = mask[bytes[i]]; m != 0; m &= m - 1) {
            found[p][static_cast<std::size_t>(__builtin_ctzll(m))].push_back(
                static_cast<std::int64_t>(j0 + i));
          }
        }
      } else if (!scan_masked(p, j0, j0 + len)) {
        return;
      }
    }
    for (std::size_t j = begin; j < end && !by_mask; ++j) {
      const double v1 = x1[j];
      const double v2 = x2 != nullptr ? (*x2)[j] : 0.0;
      if (!std::isfinite(v1) || !std::isfinite(v2)) {
        bad[p] = {std::isfinite(v1) ? 1 : 0, static_cast<std::int64_t>(j)};
        return;
      }
      for (std::size_t k = 0; k < boxes.size(); ++k) {
        if (boxes[k].contains(v1, v2)) found[p][k].push_back(static_cast<std::int64_t>(j));
      }
    }
  });
  Membership out;
  out.rows.resize(boxes.size());
  for (std::size_t p = 0; p < parts; ++p) {
    if (bad[p]) {
      out.non_finite = bad[p];
      return out;
    }
    for (std::size_t k = 0; k < boxes.size(); ++k) {
      out.rows[k].insert(out.rows[k].end(), found[p][k].begin(), found[p][k].end());
    }
  }
  return out;
}

namespace {

// The searched rows of every box from what the search found, when it found
// them for exactly these sets of levels.
bool rows_from_search(const std::vector<LevelBox>& boxes, std::vector<FoundLevels>& found,
                      std::vector<Index>& out) {
  std::vector<Index> rows;
  for (const LevelBox& box : boxes) {
    auto hit = std::find_if(found.begin(), found.end(), [&](const FoundLevels& f) {
      return !box.box.has_second && !box.levels1.empty() && f.levels == box.levels1;
    });
    if (hit == found.end()) return false;
    rows.push_back(hit->rows);
  }
  out = std::move(rows);
  return true;
}

}  // namespace

RegionRows level_region_rows(const std::vector<LevelBox>& boxes, const SidesToMeasure& sides,
                             std::vector<FoundLevels> found) {
  // Rows below which a pass costs less than the thread that would take it.
  constexpr std::size_t kThreadRows = std::size_t{1} << 15;
  RegionRows out;
  Membership other;
  const bool large_other = sides.other1.size() >= kThreadRows;
  const Strided* other2 = sides.two ? &sides.other2 : nullptr;
  if (!sides.two && rows_from_search(boxes, found, out.searched)) {
    other = level_members_each(sides.other1, other2, boxes, large_other ? max_threads() : 1);
  } else {
    const bool both = max_threads() >= 2 && large_other && sides.searched1.size() >= kThreadRows;
    const Strided searched2(sides.searched2);
    fork_join(both ? 2 : 1, [&](std::size_t k) {
      if (k == 0) {
        out.searched = level_members_each(Strided(sides.searched1),
                                          sides.two ? &searched2 : nullptr, boxes)
                           .rows;
      }
      if (k == 1 || !both) other = level_members_each(sides.other1, other2, boxes);
    });
  }
  out.other = std::move(other.rows);
  out.other_non_finite = other.non_finite;
  return out;
}

}  // namespace mirt
