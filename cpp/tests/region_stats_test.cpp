#include "mirt/region_stats.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace {

using mirt::Box;
using mirt::DSpan;
using mirt::Index;
using mirt::RegionBounds;

DSpan view(const std::vector<double>& v) { return DSpan(v.data(), v.size()); }

// The table's rule written out: lb <= v, and v < ub, or v <= ub where ub is
// the searched column's maximum.
Index rule_rows(const std::vector<double>& x, const RegionBounds& r, double max1) {
  Index out;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const bool below = r.ub1 == max1 ? x[i] <= r.ub1 : x[i] < r.ub1;
    if (x[i] >= r.lb1 && below) out.push_back(static_cast<std::int64_t>(i));
  }
  return out;
}

struct Sides {
  std::vector<double> searched, other;  // other: the middle column of a row-major n x 3
};

Sides random_sides(std::size_t n, unsigned seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> ud(0.0, 10.0);
  Sides s;
  for (std::size_t i = 0; i < n; ++i) s.searched.push_back(std::round(ud(gen)));
  s.other.resize(3 * n);
  for (double& v : s.other) v = std::round(ud(gen) * 1.2);  // reaches past the searched maximum
  return s;
}

TEST(RegionRows, BothSidesFollowTheTablesRuleAtAnySize) {
  for (const std::size_t n : {50u, 70'000u}) {
    const Sides s = random_sides(n, 3);
    const double max1 = mirt::column_max(view(s.searched));
    const std::vector<RegionBounds> regions{{0.0, 3.0}, {7.0, max1}, {2.0, 2.0}};
    const std::vector<Box> boxes = mirt::table_boxes(regions, false, max1, 0.0);
    EXPECT_TRUE(boxes[1].first.closed_upper);
    EXPECT_FALSE(boxes[0].first.closed_upper);
    mirt::SidesToMeasure sides;
    sides.searched1 = view(s.searched);
    sides.other1 = mirt::Strided(s.other.data() + 1, 3, n);
    const mirt::RegionRows rows = mirt::region_rows(boxes, max1, sides, {}, 0.0);
    std::vector<double> other(n);
    for (std::size_t i = 0; i < n; ++i) other[i] = s.other[3 * i + 1];
    for (std::size_t k = 0; k < regions.size(); ++k) {
      EXPECT_EQ(rows.searched[k], rule_rows(s.searched, regions[k], max1)) << n << " " << k;
      EXPECT_EQ(rows.other[k], rule_rows(other, regions[k], max1)) << n << " " << k;
    }
    EXPECT_FALSE(rows.other_non_finite);
  }
}

TEST(RegionRows, FoundRowsAreTakenOnlyForTheSameBoundsAndMaximum) {
  const Sides s = random_sides(200, 5);
  const double max1 = mirt::column_max(view(s.searched));
  const std::vector<Box> boxes = mirt::table_boxes({{1.0, 4.0}}, false, max1, 0.0);
  mirt::SidesToMeasure sides;
  sides.searched1 = view(s.searched);
  sides.other1 = mirt::Strided(s.other.data(), 3, 200);
  const Index marker{0, 1};  // not the rows of the box: shows where they came from
  EXPECT_EQ(mirt::region_rows(boxes, max1, sides, {{1.0, 4.0, marker}}, max1).searched[0], marker);
  const Index expected = rule_rows(s.searched, {1.0, 4.0}, max1);
  EXPECT_EQ(mirt::region_rows(boxes, max1, sides, {{1.0, 4.0, marker}}, max1 + 1).searched[0],
            expected);
  EXPECT_EQ(mirt::region_rows(boxes, max1, sides, {{1.0, 5.0, marker}}, max1).searched[0],
            expected);
}

TEST(RegionRows, TheOtherSidesFirstValueThatIsNotFiniteIsNamed) {
  for (const std::size_t n : {40u, 70'000u}) {
    Sides s = random_sides(n, 7);
    s.other[3 * (n - 5) + 2] = std::numeric_limits<double>::infinity();  // second column
    s.other[3 * (n - 3) + 1] = std::numeric_limits<double>::quiet_NaN();  // first, later
    const std::vector<Box> boxes = mirt::table_boxes({{0.0, 5.0, 0.0, 5.0}}, true, 10.0, 10.0);
    mirt::SidesToMeasure sides;
    sides.two = true;
    sides.searched1 = sides.searched2 = view(s.searched);
    sides.other1 = mirt::Strided(s.other.data() + 1, 3, n);
    sides.other2 = mirt::Strided(s.other.data() + 2, 3, n);
    const mirt::RegionRows rows = mirt::region_rows(boxes, 10.0, sides, {}, 0.0);
    EXPECT_EQ(rows.other_non_finite.column, 1);
    EXPECT_EQ(rows.other_non_finite.row, static_cast<std::int64_t>(n - 5));
  }
}

struct Reset {
  ~Reset() { mirt::detail::fail_thread_starts_after(-1); }
};

TEST(BackgroundCopy, CopiesAsCopyColumnsDoesWhetherOrNotItsThreadStarts) {
  Reset reset;
  for (const std::size_t n : {100u, 70'000u}) {
    Sides s = random_sides(n, 11);
    s.other[3 * (n - 7)] = std::numeric_limits<double>::infinity();  // column 0, row n - 7
    const std::vector<mirt::Strided> cols{mirt::Strided(s.other.data(), 3, n),
                                          mirt::Strided(s.other.data() + 2, 3, n)};
    std::vector<double> expected(2 * n);
    const mirt::NonFinite bad = mirt::copy_columns(cols, expected.data());
    for (const long starts : {-1L, 0L}) {
      mirt::detail::fail_thread_starts_after(starts);
      std::vector<double> out(2 * n);
      mirt::BackgroundCopy copy(cols, out.data());
      const mirt::NonFinite got = copy.wait();
      EXPECT_EQ(got.row, bad.row);
      EXPECT_EQ(got.column, bad.column);
      EXPECT_EQ(out, expected);  // the infinity compares equal to itself
    }
  }
}

TEST(GatherRows, GathersEveryArrayAtTheRowsWhetherOrNotItsThreadsStart) {
  Reset reset;
  const Sides s = random_sides(70'000, 13);
  const std::vector<double>& a = s.searched;
  const std::vector<double> b(s.other.begin(), s.other.begin() + 70'000);
  Index rows;
  for (std::size_t i = 0; i < a.size(); i += 3) rows.push_back(static_cast<std::int64_t>(i));
  for (const long starts : {-1L, 0L}) {
    mirt::detail::fail_thread_starts_after(starts);
    std::vector<double> ga(rows.size()), gb(rows.size());
    mirt::gather_rows({view(a), view(b)}, rows, {ga.data(), gb.data()});
    for (std::size_t k = 0; k < rows.size(); ++k) {
      ASSERT_EQ(ga[k], a[3 * k]);
      ASSERT_EQ(gb[k], b[3 * k]);
    }
  }
}

TEST(SearchedStats, GatheredMeansEqualMeansOfTheGatheredArraysOnAWorkerOrNot) {
  Reset reset;
  std::mt19937_64 gen(9);
  std::uniform_real_distribution<double> ud(0.0, 1.0);
  const std::size_t n = 100'000;
  std::vector<double> scores(n), weights(n);
  for (std::size_t i = 0; i < n; ++i) {
    scores[i] = ud(gen) * 1e3;
    weights[i] = i % 3 == 0 ? 0.0 : ud(gen);
  }
  // Region 1's rows are all weighted 0: the plain mean, not a division by 0.
  std::vector<Index> rows(3);
  for (std::size_t i = 0; i < n; ++i) {
    if (i % 2 == 0) rows[0].push_back(static_cast<std::int64_t>(i));
    if (i % 3 == 0 && i < 30'000) rows[1].push_back(static_cast<std::int64_t>(i));
  }
  const mirt::SumOrder order{};
  for (const long starts : {-1L, 0L}) {  // the worker starts, or the system refuses it
    mirt::detail::fail_thread_starts_after(starts);
    std::vector<std::vector<double>> out(rows.size());
    std::vector<double*> dst;
    for (std::size_t k = 0; k < rows.size(); ++k) {
      out[k].resize(rows[k].size());
      dst.push_back(out[k].data());
    }
    mirt::SearchedStats stats(view(scores), view(weights), rows, dst, order);
    const std::vector<mirt::WeightedMean> means = stats.wait();
    for (std::size_t k = 0; k < 2; ++k) {
      std::vector<double> v, w;
      for (const std::int64_t r : rows[k]) {
        v.push_back(scores[static_cast<std::size_t>(r)]);
        w.push_back(weights[static_cast<std::size_t>(r)]);
      }
      EXPECT_EQ(out[k], v);
      const mirt::WeightedMean expected = mirt::mean_with_fallback(view(v), view(w), order);
      EXPECT_EQ(means[k].value, expected.value);
      EXPECT_EQ(means[k].weighted, k == 0);
    }
    EXPECT_EQ(means[1].value, mirt::numpy_sum(view(out[1]), order) / 10'000.0);
    EXPECT_TRUE(std::isnan(means[2].value));  // a region without searched rows
  }
}

}  // namespace
