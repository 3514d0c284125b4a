#include "mirt/sample_weights.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "mirt/pairwise.hpp"

namespace {

using mirt::DSpan;
using mirt::ISpan;

DSpan view(const std::vector<double>& v) { return DSpan(v.data(), v.size()); }
ISpan view(const mirt::Index& v) { return ISpan(v.data(), v.size()); }

TEST(PositiveRows, ZeroNegativeAndNanWeightsDropTheirRows) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<double> w{0.0, 1.0, -2.0, nan, 3.0, -0.0};
  EXPECT_EQ(mirt::positive_rows(view(w)), (mirt::Index{1, 4}));
}

TEST(RescaleToCount, KeepsProportionsAndSumsToTheRowCount) {
  const std::vector<double> w{2.0, 6.0};
  const mirt::Index rows = mirt::positive_rows(view(w));
  EXPECT_EQ(mirt::rescale_to_count(view(w), view(rows)), (std::vector<double>{0.5, 1.5}));

  const std::vector<double> w2{-1.0, 3.0, 1.0};
  const mirt::Index rows2 = mirt::positive_rows(view(w2));
  EXPECT_EQ(mirt::rescale_to_count(view(w2), view(rows2)), (std::vector<double>{1.5, 0.5}));
}

// (m * w) / sum, with numpy's pairwise sum: the order of both operations shows
// in the last bit for most random weights.
TEST(RescaleToCount, FollowsNumpysOrderOfOperations) {
  std::vector<double> w(1000);
  for (std::size_t i = 0; i < w.size(); ++i) w[i] = std::fmod(0.37 * i * i + 0.1, 7.3) - 1.0;
  const mirt::Index rows = mirt::positive_rows(view(w));
  const std::vector<double> out = mirt::rescale_to_count(view(w), view(rows));
  const double total = mirt::numpy_sum(view(w), view(rows));
  const double m = static_cast<double>(rows.size());
  ASSERT_EQ(out.size(), rows.size());
  for (std::size_t k = 0; k < rows.size(); ++k) {
    EXPECT_EQ(out[k], m * w[static_cast<std::size_t>(rows[k])] / total);
  }
}

TEST(RescaleToCount, NoKeptRowIsRefused) {
  const std::vector<double> w{0.0, -1.0};
  const mirt::Index rows = mirt::positive_rows(view(w));
  try {
    mirt::rescale_to_count(view(w), view(rows));
    FAIL() << "expected std::invalid_argument";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Invalid sample_weight");
  }
}

TEST(RescaleToCount, InfiniteWeightIsRefused) {
  const std::vector<double> w{1.0, std::numeric_limits<double>::infinity()};
  const mirt::Index rows = mirt::positive_rows(view(w));
  EXPECT_THROW(mirt::rescale_to_count(view(w), view(rows)), std::invalid_argument);
}

TEST(RescaleToCount, OverflowingSumStillKeepsProportions) {
  const double big = std::numeric_limits<double>::max();
  const std::vector<double> w{big, big, big / 2};
  const mirt::Index rows = mirt::positive_rows(view(w));
  const std::vector<double> out = mirt::rescale_to_count(view(w), view(rows));
  EXPECT_DOUBLE_EQ(out[0], 1.2);
  EXPECT_DOUBLE_EQ(out[1], 1.2);
  EXPECT_DOUBLE_EQ(out[2], 0.6);
}

}  // namespace
