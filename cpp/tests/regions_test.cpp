#include "mirt/regions.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

using mirt::Box;
using mirt::DSpan;
using mirt::Index;
using mirt::Interval;

DSpan view(const std::vector<double>& v) { return DSpan(v.data(), v.size()); }

TEST(Membership, LowerBoundClosedUpperBoundOpenUnlessAsked) {
  const std::vector<double> x{1.0, 2.0, 3.0, 4.0};
  EXPECT_EQ(mirt::members(view(x), Interval{2.0, 4.0, false}), (Index{1, 2}));
  EXPECT_EQ(mirt::members(view(x), Interval{2.0, 4.0, true}), (Index{1, 2, 3}));
}

TEST(Membership, NaNIsNeverInside) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<double> x{nan, 1.0};
  EXPECT_EQ(mirt::members(view(x), Interval{-1e300, 1e300, true}), (Index{1}));
}

TEST(Membership, TwoFeaturesNeedBothIntervals) {
  const std::vector<double> a{0.0, 1.0, 1.0, 2.0};
  const std::vector<double> b{5.0, 5.0, 9.0, 5.0};
  Box box{Interval{0.0, 1.0, true}, true, Interval{5.0, 9.0, false}};
  EXPECT_EQ(mirt::members(view(a), view(b), box), (Index{0, 1}));
}

TEST(Membership, TableRuleClosesOnlyAtTheColumnMaximum) {
  EXPECT_TRUE(mirt::table_interval(0.0, 3.0, 3.0).closed_upper);
  EXPECT_FALSE(mirt::table_interval(0.0, 2.9, 3.0).closed_upper);
}

TEST(Membership, UnionListsEachRowOnceInAscendingOrder) {
  const std::vector<double> x{0.0, 1.0, 2.0, 3.0, 4.0};
  std::vector<Box> boxes{Box{Interval{2.0, 4.0, true}}, Box{Interval{0.0, 3.0, false}}};
  EXPECT_EQ(mirt::members_of_any(view(x), view(x), boxes), (Index{0, 1, 2, 3, 4}));
  EXPECT_TRUE(mirt::members_of_any(view(x), view(x), {}).empty());
}

TEST(Membership, ColumnsOfDifferentLengthAreRefused) {
  const std::vector<double> a{0.0, 1.0};
  const std::vector<double> b{0.0};
  Box box{Interval{0.0, 1.0, true}, true, Interval{0.0, 1.0, true}};
  EXPECT_THROW(mirt::members(view(a), view(b), box), std::invalid_argument);
}

TEST(ColumnStats, MinMaxFollowNumpyOnNaN) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<double> x{3.0, -1.0, 7.0};
  EXPECT_EQ(mirt::column_max(view(x)), 7.0);
  EXPECT_EQ(mirt::column_min(view(x)), -1.0);
  const std::vector<double> y{3.0, nan, 7.0};
  EXPECT_TRUE(std::isnan(mirt::column_max(view(y))));
  EXPECT_EQ(mirt::first_non_finite(view(y)), 1);
  EXPECT_EQ(mirt::first_non_finite(view(x)), -1);
}

}  // namespace
