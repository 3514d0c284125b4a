#include "mirt/marginal.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

namespace {

using mirt::DSpan;

DSpan view(const std::vector<double>& v) { return DSpan(v.data(), v.size()); }

const double kInf = std::numeric_limits<double>::infinity();

TEST(Linspace, StepsFromStartAndPinsTheLastPointToStop) {
  const std::vector<double> g = mirt::linspace(0.1, 0.7, 4);
  const double step = (0.7 - 0.1) / 3.0;
  ASSERT_EQ(g.size(), 4u);
  EXPECT_EQ(g[0], 0.1);
  EXPECT_EQ(g[1], 1.0 * step + 0.1);
  EXPECT_EQ(g[2], 2.0 * step + 0.1);
  EXPECT_EQ(g[3], 0.7);
  EXPECT_EQ(mirt::linspace(3.0, 5.0, 1), (std::vector<double>{3.0}));
  EXPECT_TRUE(mirt::linspace(3.0, 5.0, 0).empty());
}

TEST(DensityHistogram, LastBinIsClosedAndOthersOpenAbove) {
  const std::vector<double> x{0.0, 1.0, 2.0, 2.0, 4.0};
  const mirt::Histogram h = mirt::histogram(view(x), 4);
  EXPECT_EQ(h.edges, (std::vector<double>{0.0, 1.0, 2.0, 3.0, 4.0}));
  EXPECT_EQ(h.counts, (std::vector<std::int64_t>{1, 1, 2, 1}));
  const std::vector<double> d = mirt::histogram_density(h);
  EXPECT_DOUBLE_EQ(d[2], 2.0 / 1.0 / 5.0);
}

TEST(DensityHistogram, ConstantColumnIsWidenedByHalfEachSide) {
  const std::vector<double> x{7.0, 7.0, 7.0};
  const mirt::Histogram h = mirt::histogram(view(x), 2);
  EXPECT_EQ(h.edges, (std::vector<double>{6.5, 7.0, 7.5}));
  // 7 sits on the inner edge and belongs to the upper bin.
  EXPECT_EQ(h.counts, (std::vector<std::int64_t>{0, 3}));
}

TEST(DensityHistogram, ValuesOnInnerEdgesGoToTheUpperBinDespiteRounding) {
  // 0.3 / 0.1 is 2.9999999999999996: the index arithmetic alone would put the
  // value one bin low.
  const std::vector<double> x{0.0, 0.1, 0.2, 0.3, 1.0};
  const mirt::Histogram h = mirt::histogram(view(x), 10);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const auto b = mirt::histogram_bins(view(x), h.edges)[i];
    EXPECT_GE(x[i], h.edges[static_cast<std::size_t>(b)]);
    if (b + 1 < 10) {
      EXPECT_LT(x[i], h.edges[static_cast<std::size_t>(b) + 1]);
    }
  }
}

TEST(DensityHistogram, RefusesWhatNumpyRefuses) {
  const std::vector<double> tight{1.0, std::nextafter(1.0, 2.0)};
  EXPECT_THROW(
      {
        try {
          mirt::histogram(view(tight), 10);
        } catch (const std::invalid_argument& e) {
          EXPECT_STREQ(e.what(),
                       "Too many bins for data range. Cannot create 10 finite-sized bins.");
          throw;
        }
      },
      std::invalid_argument);
  EXPECT_THROW(mirt::histogram(DSpan(), 10), std::invalid_argument);
  const std::vector<double> bad{1.0, std::nan("")};
  EXPECT_THROW(mirt::histogram(view(bad), 10), std::invalid_argument);
}

TEST(MarginalHistogram, ShareCountsWeakSamplesOnTheBadSideOfTheThreshold) {
  const std::vector<double> x{0.0, 0.4, 1.2, 1.9, 2.0};
  const std::vector<double> s{5.0, 1.0, 9.0, 3.0, 2.0};
  // An error metric (sign -1): weak where the score is at least the threshold.
  const mirt::MarginalHistogram err = mirt::marginal_histogram(view(x), view(s), -1.0, 3.0, 4);
  ASSERT_EQ(err.weak_share.size(), 4u);
  EXPECT_EQ(err.weak_share[0], 0.5);
  EXPECT_TRUE(std::isnan(err.weak_share[1]));
  EXPECT_EQ(err.weak_share[2], 1.0);
  EXPECT_EQ(err.weak_share[3], 0.5);
  EXPECT_EQ(err.weak_density[1], 0.0);
  EXPECT_EQ(err.weak_density[3], 0.5 * err.density[3]);
  // A score (sign +1): weak where the score is at most the threshold.
  const mirt::MarginalHistogram acc = mirt::marginal_histogram(view(x), view(s), 1.0, 3.0, 4);
  EXPECT_EQ(acc.weak_share[0], 0.5);
  EXPECT_EQ(acc.weak_share[3], 1.0);
  // Without per-sample scores only the density is there.
  EXPECT_TRUE(mirt::marginal_histogram(view(x), DSpan(), -1.0, 3.0, 4).weak_share.empty());
  EXPECT_THROW(mirt::marginal_histogram(view(x), DSpan(s.data(), 2), -1.0, 3.0, 4),
               std::invalid_argument);
}

TEST(RuleCurve, EachGridPointTakesTheFirstRuleHoldingIt) {
  const std::vector<mirt::Rule1D> rules{{-kInf, 1.0, 5.0}, {1.0, kInf, 7.0}};
  const mirt::Curve c = mirt::rule_curve(0.0, 2.0, 3, rules);
  EXPECT_EQ(c.x, (std::vector<double>{0.0, 1.0, 2.0}));
  EXPECT_EQ(c.y, (std::vector<double>{5.0, 5.0, 7.0}));
}

TEST(RuleCurve, UncoveredPointsAreGaps) {
  const mirt::Curve c = mirt::rule_curve(0.0, 4.0, 5, {{0.0, 1.0, 2.0}});
  ASSERT_EQ(c.y.size(), 5u);
  EXPECT_EQ(c.y[1], 2.0);
  EXPECT_TRUE(std::isnan(c.y[2]));
  EXPECT_TRUE(std::isnan(c.y[4]));
}

TEST(RuleCurve, NarrowRuleGetsTenPointsInOrder) {
  const std::vector<mirt::Rule1D> rules{{0.0, 0.4, 1.0}, {0.4, 0.45, 9.0}, {0.45, 1.0, 2.0}};
  const mirt::Curve c = mirt::rule_curve(0.0, 1.0, 3, rules);
  ASSERT_EQ(c.x.size(), 13u);
  int narrow = 0;
  for (std::size_t i = 0; i < c.x.size(); ++i) {
    if (i > 0) EXPECT_LE(c.x[i - 1], c.x[i]);
    if (c.y[i] == 9.0) {
      ++narrow;
      EXPECT_GE(c.x[i], 0.4);
      EXPECT_LE(c.x[i], 0.45);
    }
  }
  EXPECT_EQ(narrow, 10);
  // A rule entirely outside the range adds nothing.
  EXPECT_EQ(mirt::rule_curve(0.0, 1.0, 3, {{2.0, 3.0, 1.0}}).x.size(), 3u);
  EXPECT_THROW(mirt::rule_curve(1.0, 0.0, 3, {}), std::invalid_argument);
}

TEST(SegmentRules, WeakBoundsCutTheRangeIntoMeanScoredSegments) {
  const std::vector<double> x{0.0, 1.0, 2.0, 3.0, 4.0};
  const std::vector<double> s{1.0, 3.0, 10.0, 20.0, 4.0};
  const std::vector<mirt::Rule1D> r = mirt::segment_rules(view(x), view(s), 0.0, 4.0, {2.0, 4.0});
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].lb, 0.0);
  EXPECT_EQ(r[0].ub, 2.0);
  EXPECT_EQ(r[0].value, 2.0);
  // The last segment holds the maximum.
  EXPECT_DOUBLE_EQ(r[1].value, 34.0 / 3.0);
  const std::vector<mirt::Rule1D> gap =
      mirt::segment_rules(view(x), view(s), 0.0, 4.0, {0.5, 0.9});
  ASSERT_EQ(gap.size(), 3u);
  EXPECT_TRUE(std::isnan(gap[1].value));
  const std::vector<double> c{5.0, 5.0};
  const std::vector<double> cs{1.0, 2.0};
  const std::vector<mirt::Rule1D> one = mirt::segment_rules(view(c), view(cs), 5.0, 5.0, {5.0});
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].value, 1.5);
}

TEST(RegionImage, CellsAreInDisplayOrderAndColoursCycleThroughFive) {
  // A region holding only the grid point at both minima: the left column,
  // bottom row.
  const mirt::RegionImage img =
      mirt::region_image(0.0, 2.0, 0.0, 2.0, 3, {mirt::Rect{0.0, 0.0, 0.0, 0.0}});
  // Bottom row is the last display row.
  EXPECT_EQ(img.cells[2 * 3 + 0], 1);
  EXPECT_EQ(img.cells[0 * 3 + 0], 0);
  EXPECT_NEAR(img.centre1[0], 0.5 / 3.0, 1e-15);
  EXPECT_NEAR(img.centre2[0], 0.5 / 3.0, 1e-15);
  // The sixth region takes the first colour again, drawn over earlier ones.
  std::vector<mirt::Rect> six(6, mirt::Rect{0.0, 2.0, 0.0, 2.0});
  const mirt::RegionImage cyc = mirt::region_image(0.0, 2.0, 0.0, 2.0, 3, six);
  EXPECT_EQ(cyc.cells[4], 1);
  std::vector<mirt::Rect> five(5, mirt::Rect{0.0, 2.0, 0.0, 2.0});
  EXPECT_EQ(mirt::region_image(0.0, 2.0, 0.0, 2.0, 3, five).cells[4], 5);
}

TEST(RegionImage, NarrowRegionKeepsTheNearestCellAndOutsideRegionsNone) {
  const mirt::RegionImage img =
      mirt::region_image(0.0, 10.0, 0.0, 10.0, 3, {{6.0, 6.1, 0.0, 10.0}, {20.0, 30.0, 0.0, 1.0}});
  // Grid 0, 5, 10: 6.05 is nearest 5, the middle column.
  for (std::size_t row = 0; row < 3; ++row) {
    EXPECT_EQ(img.cells[row * 3 + 1], 1);
    EXPECT_EQ(img.cells[row * 3 + 0], 0);
  }
  EXPECT_TRUE(std::isnan(img.centre1[1]));
}

TEST(RegionImage, RefusesImagesTooLargeToHold) {
  EXPECT_THROW(mirt::region_image(0.0, 1.0, 0.0, 1.0, 20000, {}), std::invalid_argument);
  EXPECT_THROW(mirt::region_image(0.0, 1.0, 0.0, 1.0, 0, {}), std::invalid_argument);
}

TEST(StackLabels, OverlappingLabelsRiseAndSeparateOnesStay) {
  const std::vector<mirt::LabelBox> boxes{
      {10.0, 30.0, 0.0, 8.0},   // overlaps the third
      {100.0, 120.0, 0.0, 8.0}, // alone
      {0.0, 20.0, 0.0, 8.0},    // leftmost: placed first
      {15.0, 25.0, 0.0, 8.0},   // overlaps both of the first group
  };
  const std::vector<int> levels = mirt::stack_labels(boxes, 10.0);
  EXPECT_EQ(levels, (std::vector<int>{1, 0, 0, 2}));
  // Labels at different heights do not collide.
  EXPECT_EQ(mirt::stack_labels({{0, 10, 0, 8}, {5, 15, 50, 58}}, 10.0), (std::vector<int>{0, 0}));
  EXPECT_THROW(mirt::stack_labels(boxes, 0.0), std::invalid_argument);
}

}  // namespace
