#include "mirt/levels.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>
#include <vector>

#include "mirt/pairwise.hpp"

namespace {

using mirt::DSpan;
using mirt::Index;
using mirt::RowSet;
using mirt::SearchParams;

DSpan view(const std::vector<double>& v) { return DSpan(v.data(), v.size()); }

struct Data {
  std::vector<double> codes, scores, weights;
};

// Codes of `levels` levels, the first ones far more frequent, with scores
// that depend on the level; a few weights are zero.
Data random_data(std::size_t n, std::size_t levels, unsigned seed) {
  std::mt19937_64 gen(seed);
  std::geometric_distribution<int> level(0.15);
  std::uniform_real_distribution<double> ud;
  Data d;
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = static_cast<double>(static_cast<std::size_t>(level(gen)) % levels);
    d.codes.push_back(c);
    d.scores.push_back(ud(gen) * (1.0 + c / 4.0));
    d.weights.push_back(ud(gen) < 0.05 ? 0.0 : ud(gen));
  }
  return d;
}

Index rows_where(const std::vector<double>& codes, const std::vector<char>& in) {
  Index out;
  for (std::size_t i = 0; i < codes.size(); ++i) {
    if (in[static_cast<std::size_t>(codes[i])]) out.push_back(static_cast<std::int64_t>(i));
  }
  return out;
}

// Sizes on both sides of the split into threaded parts; with and without
// weights, every level's figures are numpy's average over its rows in row
// order, and the weak set's score numpy's average over the set's rows.
TEST(LevelSearch, LevelScoresAndTheWeakSetEqualAveragesOverTheirRows) {
  for (const std::size_t n : {1000u, 300000u}) {
    for (const std::size_t levels : {7u, 300u}) {
      const Data d = random_data(n, levels, static_cast<unsigned>(n + levels));
      for (const bool weighted : {false, true}) {
        const DSpan w = weighted ? view(d.weights) : DSpan();
        SearchParams p;
        p.threshold_value = 1.0;  // error-like scores: levels averaging above 1 are weak
        p.min_samples = 5;
        p.keep_members = true;
        p.weighted_evidence = weighted;
        const auto s = mirt::search_levels(RowSet{view(d.codes), nullptr}, levels,
                                           view(d.scores), w, p);
        ASSERT_EQ(s.bins.size(), levels);
        std::vector<char> weak(levels, 0);
        std::int64_t weak_rows = 0;
        for (std::size_t k = 0; k < levels; ++k) {
          std::vector<char> one(levels, 0);
          one[k] = 1;
          const Index idx = rows_where(d.codes, one);
          const auto m = mirt::mean_with_fallback(view(d.scores), w, idx);
          const auto& bin = s.bins[k];
          EXPECT_EQ(bin.count, static_cast<std::int64_t>(idx.size()));
          if (idx.empty()) {
            EXPECT_TRUE(std::isnan(bin.value));
          } else {
            EXPECT_EQ(bin.value, m.value);
          }
          EXPECT_EQ(bin.weighted, m.weighted);
          const bool expect_weak = !idx.empty() && (m.weighted || !weighted) && m.value >= 1.0;
          EXPECT_EQ(bin.weak, expect_weak) << "level " << k;
          weak[k] = expect_weak;
          weak_rows += expect_weak ? bin.count : 0;
        }
        ASSERT_EQ(s.regions.size(), weak_rows >= 5 ? 1u : 0u);
        if (s.regions.empty()) continue;
        const auto& region = s.regions[0];
        const Index members = rows_where(d.codes, weak);
        EXPECT_EQ(region.rule_count, weak_rows);
        EXPECT_EQ(region.members, members);
        EXPECT_EQ(region.rule_value, mirt::mean_with_fallback(view(d.scores), w, members).value);
        EXPECT_EQ(std::vector<char>(s.absorbed.begin(), s.absorbed.end()), weak);
        // The per-level statistics alone give the same figures.
        const auto stats = mirt::level_stats(RowSet{view(d.codes), nullptr}, levels,
                                             view(d.scores), w, p.order);
        for (std::size_t k = 0; k < levels; ++k) {
          EXPECT_EQ(stats[k].count, s.bins[k].count);
          EXPECT_TRUE(stats[k].value == s.bins[k].value ||
                      (std::isnan(stats[k].value) && std::isnan(s.bins[k].value)));
        }
      }
    }
  }
}

TEST(LevelSearch, TheWeakSetIsDroppedWhenItHoldsTooFewRows) {
  // Levels 1 and 3 are weak, with 2 + 3 rows: kept at min_samples 5, not 6.
  const std::vector<double> codes{0, 1, 0, 3, 2, 1, 3, 3, 0, 2};
  const std::vector<double> scores{0, 9, 0, 9, 0, 9, 9, 9, 0, 0};
  SearchParams p;
  p.threshold_value = 4.0;
  p.min_samples = 5;
  auto s = mirt::search_levels(RowSet{view(codes), nullptr}, 5, view(scores), DSpan(), p);
  ASSERT_EQ(s.regions.size(), 1u);
  EXPECT_EQ(s.regions[0].rule_count, 5);
  EXPECT_EQ(s.regions[0].rule_value, 9.0);
  EXPECT_EQ(s.regions[0].first_bin, 1u);
  EXPECT_EQ(s.regions[0].last_bin, 3u);
  EXPECT_EQ(s.bins[4].count, 0);  // a level without rows is kept, empty, never weak
  EXPECT_FALSE(s.bins[4].weak);
  p.min_samples = 6;
  s = mirt::search_levels(RowSet{view(codes), nullptr}, 5, view(scores), DSpan(), p);
  EXPECT_TRUE(s.regions.empty());
  EXPECT_TRUE(s.bins[1].weak && s.bins[3].weak);
  EXPECT_EQ(s.absorbed, std::vector<char>(5, 0));
}

TEST(LevelSearch, ValuesThatAreNoLevelCodeAreRefusedWithTheirRow) {
  for (const double bad : {-1.0, 0.5, 4.0, double(NAN), double(INFINITY)}) {
    // Long enough for the vector path, which must notice it as well.
    std::vector<double> codes(40, 2.0);
    codes[23] = bad;
    const std::vector<double> scores(codes.size(), 1.0);
    try {
      mirt::level_stats(RowSet{view(codes), nullptr}, 4, view(scores), DSpan(), {});
      FAIL() << "accepted " << bad;
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find("row 23"), std::string::npos) << e.what();
    }
    EXPECT_THROW(mirt::level_members(view(codes), {1, 0, 0, 0}), std::invalid_argument);
    EXPECT_THROW(mirt::bin_levels(RowSet{view(codes), nullptr}, 4), std::invalid_argument);
  }
  const std::vector<double> codes{0};
  EXPECT_THROW(mirt::bin_levels(RowSet{view(codes), nullptr}, 0), std::invalid_argument);
}

TEST(LevelSearch, RowsOfLevelsAndMembersOfASetFollowTheRowOrder) {
  const Data d = random_data(200000, 40, 9);
  const Index subset{5, 7, 8, 100, 199999};
  const auto binned = mirt::bin_levels(RowSet{view(d.codes), &subset}, 40);
  Index listed;
  for (std::size_t k = 0; k < 40; ++k) {
    for (auto j = binned.bin_offsets[k]; j < binned.bin_offsets[k + 1]; ++j) {
      const auto r = binned.bin_rows[static_cast<std::size_t>(j)];
      EXPECT_EQ(d.codes[static_cast<std::size_t>(r)], static_cast<double>(k));
      listed.push_back(r);
    }
  }
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, subset);
  std::vector<char> in(40, 0);
  in[0] = in[3] = in[39] = 1;
  EXPECT_EQ(mirt::level_members(view(d.codes), in), rows_where(d.codes, in));
}

TEST(LevelSearch, TwoFeaturesMixLevelsAndBinsFreely) {
  const Data d = random_data(5000, 6, 4);
  std::mt19937_64 gen(5);
  std::normal_distribution<double> nd;
  std::vector<double> num(d.codes.size());
  for (double& v : num) v = nd(gen);
  SearchParams p;
  p.threshold_value = 0.9;
  p.min_samples = 3;
  // Levels first: each level's rows get the numeric search of their own.
  const auto by_level =
      mirt::search_2d(view(d.codes), view(num), view(d.scores), DSpan(), true, p, 6, 0);
  ASSERT_EQ(by_level.bins.size(), 6u);
  for (std::size_t k = 0; k < 6; ++k) {
    std::vector<char> one(6, 0);
    one[k] = 1;
    const Index idx = rows_where(d.codes, one);
    const auto& fb = by_level.bins[k];
    EXPECT_EQ(fb.lb, static_cast<double>(k));
    EXPECT_EQ(fb.support, static_cast<std::int64_t>(idx.size()));
    if (idx.empty()) continue;
    std::vector<double> x2, s2;
    for (auto r : idx) {
      x2.push_back(num[static_cast<std::size_t>(r)]);
      s2.push_back(d.scores[static_cast<std::size_t>(r)]);
    }
    const auto alone = mirt::search_1d_additive(RowSet{view(x2), nullptr}, view(s2), DSpan(), p);
    ASSERT_EQ(fb.inner.regions.size(), alone.regions.size());
    for (std::size_t r = 0; r < alone.regions.size(); ++r) {
      EXPECT_EQ(fb.inner.regions[r].lb, alone.regions[r].lb);
      EXPECT_EQ(fb.inner.regions[r].rule_value, alone.regions[r].rule_value);
    }
  }
  // Levels second: inside every bin of the numeric feature, its weak set.
  const auto by_bin =
      mirt::search_2d(view(num), view(d.codes), view(d.scores), DSpan(), true, p, 0, 6);
  for (const auto& fb : by_bin.bins) {
    if (fb.support == 0) continue;
    std::vector<double> c2, s2;
    for (std::size_t i = 0; i < num.size(); ++i) {
      const bool in = num[i] >= fb.lb && (fb.ub == by_bin.hi1 ? num[i] <= fb.ub : num[i] < fb.ub);
      if (!in) continue;
      c2.push_back(d.codes[i]);
      s2.push_back(d.scores[i]);
    }
    const auto alone = mirt::search_levels(RowSet{view(c2), nullptr}, 6, view(s2), DSpan(), p);
    EXPECT_EQ(fb.inner.absorbed, alone.absorbed);
    ASSERT_EQ(fb.inner.regions.size(), alone.regions.size());
    if (!alone.regions.empty()) {
      EXPECT_EQ(fb.inner.regions[0].rule_value, alone.regions[0].rule_value);
    }
  }
  // Not additive: the rows of every level of the first feature.
  const auto rows =
      mirt::search_2d(view(d.codes), view(d.codes), view(d.scores), DSpan(), false, p, 6, 6);
  for (std::size_t k = 0; k < 6; ++k) {
    EXPECT_EQ(static_cast<std::int64_t>(rows.bins[k].rows.size()), rows.bins[k].support);
    if (rows.bins[k].support > 0) EXPECT_EQ(rows.bins[k].inner.bins[k].count, rows.bins[k].support);
  }
}

}  // namespace

namespace {

TEST(LevelSearch, BoxesWithLevelSetsHoldTheRowsOfTheirLevelsAndIntervals) {
  const Data d = random_data(100000, 6, 2);
  std::vector<double> num(d.codes.size());
  for (std::size_t i = 0; i < num.size(); ++i) num[i] = static_cast<double>(i % 97) / 10.0;
  mirt::LevelBox one;  // levels 1 and 4 of the first feature
  one.box.first = {0, 0, false};
  one.levels1 = {0, 1, 0, 0, 1, 0};
  mirt::LevelBox two = one;  // and [2, 5) of the second
  two.box.has_second = true;
  two.box.second = {2.0, 5.0, false};
  const mirt::Strided c(view(d.codes)), x(view(num));
  for (const std::size_t parts : {1u, 3u}) {
    const auto m = mirt::level_members_each(c, &x, {one, two}, parts);
    ASSERT_FALSE(m.non_finite);
    const Index in_one = rows_where(d.codes, one.levels1);
    EXPECT_EQ(m.rows[0], in_one);
    Index in_two;
    for (const auto r : in_one) {
      const double v = num[static_cast<std::size_t>(r)];
      if (v >= 2.0 && v < 5.0) in_two.push_back(r);
    }
    EXPECT_EQ(m.rows[1], in_two);
  }
  // Region rows on both sides; the searched side's from the search when it
  // found them for exactly these levels.
  mirt::SidesToMeasure sides;
  sides.searched1 = view(d.codes);
  sides.other1 = c;
  const mirt::Index planted{3, 5, 8};
  for (const bool matching : {true, false}) {
    std::vector<char> flags = one.levels1;
    if (!matching) flags[0] = 1;
    const auto r = mirt::level_region_rows({one}, sides, {{flags, planted}});
    EXPECT_EQ(r.searched[0], matching ? planted : rows_where(d.codes, one.levels1));
    EXPECT_EQ(r.other[0], rows_where(d.codes, one.levels1));
  }
  std::vector<double> codes_nan = d.codes;
  codes_nan[777] = NAN;
  codes_nan[5] = 9.0;  // no level of the sets: in none of them
  const auto one_only = mirt::level_members_each(mirt::Strided(view(codes_nan)), nullptr, {one});
  EXPECT_EQ(one_only.non_finite.row, 777);
  EXPECT_EQ(one_only.non_finite.column, 0);
  std::vector<double> bad = num;
  bad[777] = NAN;
  const mirt::Strided b(view(bad));
  const auto m = mirt::level_members_each(c, &b, {two}, 2);
  EXPECT_EQ(m.non_finite.row, 777);
  EXPECT_EQ(m.non_finite.column, 1);
}

}  // namespace
