#include "mirt/grid.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace {

using mirt::DSpan;
using mirt::SplitRule;
using mirt::Strided;

Strided column(const std::vector<double>& v) { return {v.data(), 1, v.size()}; }

TEST(Grid, BranchFreeSearchesAgreeWithTheStandardBoundsAtEveryGridSize) {
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<int> pick(-20, 20);
  for (std::size_t k = 0; k < 40; ++k) {
    std::vector<double> s;
    while (s.size() < k) {
      s.push_back(pick(rng) * 0.5);
      std::sort(s.begin(), s.end());
      s.erase(std::unique(s.begin(), s.end()), s.end());
      if (s.size() >= 41) break;
    }
    for (int q = -25; q <= 25; ++q) {
      const double v = q * 0.5;  // hits every split point exactly, and the gaps
      const auto ub = std::upper_bound(s.begin(), s.end(), v) - s.begin();
      const auto lb = std::lower_bound(s.begin(), s.end(), v) - s.begin();
      EXPECT_EQ(mirt::count_at_or_below(s.data(), s.size(), v), static_cast<std::size_t>(ub));
      EXPECT_EQ(mirt::count_below(s.data(), s.size(), v), static_cast<std::size_t>(lb));
    }
  }
}

TEST(Grid, EqualValuesGoUpUnderXgboostAndDownUnderAtMostLeft) {
  const std::vector<double> s{1.0, 2.0};
  EXPECT_EQ(mirt::cell_of(DSpan(s), 1.0, SplitRule::kXgboost), 1u);
  EXPECT_EQ(mirt::cell_of(DSpan(s), 1.0, SplitRule::kAtMostLeft), 0u);
  EXPECT_EQ(mirt::cell_of(DSpan(s), 2.0, SplitRule::kXgboost), 2u);
  EXPECT_EQ(mirt::cell_of(DSpan(s), 2.0, SplitRule::kAtMostLeft), 1u);
  EXPECT_EQ(mirt::cell_of(DSpan(s), -std::numeric_limits<double>::infinity(), SplitRule::kXgboost),
            0u);
  EXPECT_EQ(mirt::cell_of(DSpan(s), std::numeric_limits<double>::infinity(), SplitRule::kXgboost),
            2u);
}

TEST(Grid, XgboostRuleComparesTheValueRoundedToFloat32) {
  // The threshold is a float32 number; a double just below it rounds onto it
  // in float32, so the booster sends it right although it is smaller.
  const double t = static_cast<double>(0.1f);
  const std::vector<double> s{t};
  const double just_below = std::nextafter(t, 0.0);
  ASSERT_LT(just_below, t);
  EXPECT_EQ(mirt::cell_of(DSpan(s), just_below, SplitRule::kXgboost), 1u);
  EXPECT_EQ(mirt::cell_of(DSpan(s), just_below, SplitRule::kAtMostLeft), 0u);
  // Below the next float32 down it goes left under both rules.
  const double clearly_below = static_cast<double>(std::nextafter(0.1f, 0.0f));
  EXPECT_EQ(mirt::cell_of(DSpan(s), clearly_below, SplitRule::kXgboost), 0u);
}

TEST(Grid, LookupsReadStridedColumnsAndRowMajorTables) {
  // A 3 x 2 matrix stored row-major: column 1 has stride 2.
  const std::vector<double> X{0.0, 5.0, 1.5, -1.0, 3.0, 7.0};
  const Strided c0{X.data(), 2, 3}, c1{X.data() + 1, 2, 3};
  const std::vector<double> s0{1.0, 2.0}, s1{6.0};
  std::vector<double> out(3);
  mirt::lookup_1d(c1, DSpan(s1), DSpan(std::vector<double>{10.0, 20.0}), SplitRule::kXgboost,
                  out.data());
  EXPECT_EQ(out, (std::vector<double>{10.0, 10.0, 20.0}));
  // values[r][c] = 10 r + c
  const std::vector<double> table{0, 1, 10, 11, 20, 21};
  mirt::lookup_2d(c0, c1, DSpan(s0), DSpan(s1), DSpan(table), SplitRule::kXgboost, out.data());
  EXPECT_EQ(out, (std::vector<double>{0.0, 10.0, 21.0}));
}

TEST(Grid, NaNIsReportedWithItsRowAndSizeMismatchesAreRefused) {
  const std::vector<double> x{0.0, 1.0, std::nan(""), 2.0};
  const std::vector<double> s{0.5};
  std::vector<double> out(4);
  try {
    mirt::lookup_1d(column(x), DSpan(s), DSpan(std::vector<double>{1.0, 2.0}), SplitRule::kXgboost,
                    out.data());
    FAIL() << "NaN accepted";
  } catch (const mirt::MissingValueError& e) {
    EXPECT_EQ(e.row(), 2u);
  }
  const std::vector<double> y{0.0, std::nan(""), 1.0, 1.0};
  try {
    mirt::lookup_2d(column(x), column(y), DSpan(s), DSpan(s), DSpan(std::vector<double>(4, 0.0)),
                    SplitRule::kXgboost, out.data());
    FAIL() << "NaN accepted";
  } catch (const mirt::MissingValueError& e) {
    EXPECT_EQ(e.row(), 1u);
  }
  EXPECT_THROW(mirt::lookup_1d(column(y), DSpan(s), DSpan(std::vector<double>{1.0}),
                               SplitRule::kXgboost, out.data()),
               std::invalid_argument);
  EXPECT_THROW(mirt::lookup_2d(column(x), column(y), DSpan(s), DSpan(s),
                               DSpan(std::vector<double>(3, 0.0)), SplitRule::kXgboost, out.data()),
               std::invalid_argument);
}

TEST(Grid, SplitPointsMustBeFiniteAndStrictlyIncreasing) {
  EXPECT_NO_THROW(mirt::check_splits(DSpan(std::vector<double>{}), "s"));
  EXPECT_NO_THROW(mirt::check_splits(DSpan(std::vector<double>{-1.0, 0.0, 3.0}), "s"));
  EXPECT_THROW(mirt::check_splits(DSpan(std::vector<double>{1.0, 1.0}), "s"),
               std::invalid_argument);
  EXPECT_THROW(mirt::check_splits(DSpan(std::vector<double>{2.0, 1.0}), "s"),
               std::invalid_argument);
  EXPECT_THROW(
      mirt::check_splits(DSpan(std::vector<double>{0.0, std::numeric_limits<double>::infinity()}),
                         "s"),
      std::invalid_argument);
  EXPECT_THROW(mirt::check_splits(DSpan(std::vector<double>{std::nan("")}), "s"),
               std::invalid_argument);
}

}  // namespace
