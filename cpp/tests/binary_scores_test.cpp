#include "mirt/binary_scores.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace {

constexpr double kLo = 1e-7;
constexpr double kHi = 0.9999999;

// In float32 the upper bound 0.9999999 rounds to 1 - 2^-23 and the score of a
// certain prediction drops to about 15.94; the bound must be applied in double.
TEST(ClippedLogOdds, CertainPredictionsGiveTheDoubleBounds) {
  const std::vector<float> p{1.0f, 0.0f, 0.5f};
  std::vector<double> out(p.size());
  mirt::clipped_log_odds(p.data(), p.size(), 1, kLo, kHi, out.data());
  const double top = std::log(kHi / (1.0 - kHi));
  EXPECT_EQ(out[0], top);
  EXPECT_NEAR(out[0], 16.118, 1e-3);
  EXPECT_EQ(out[1], std::log(kLo / (1.0 - kLo)));
  EXPECT_NEAR(out[1], -16.118, 1e-3);
  EXPECT_EQ(out[2], 0.0);
}

TEST(ClippedLogOdds, ReadsAStridedColumnAndKeepsNan) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  // Rows of an (n, 2) array; the second column is read.
  const std::vector<float> p{0.75f, 0.25f, 0.0f, nan, 0.1f, 0.9f};
  std::vector<double> out(3);
  mirt::clipped_log_odds(p.data() + 1, 3, 2, kLo, kHi, out.data());
  EXPECT_EQ(out[0], std::log(0.25 / (1.0 - 0.25)));
  EXPECT_TRUE(std::isnan(out[1]));
  const double q = static_cast<double>(0.9f);
  EXPECT_EQ(out[2], std::log(q / (1.0 - q)));
}

TEST(AboveThreshold, IsStrictAndNanIsBelow) {
  const std::vector<double> p{0.5, 0.5000001, 0.2, std::numeric_limits<double>::quiet_NaN()};
  std::vector<std::int64_t> out(p.size());
  mirt::above_threshold(p.data(), p.size(), 1, 0.5, out.data());
  EXPECT_EQ(out, (std::vector<std::int64_t>{0, 1, 0, 0}));
}

}  // namespace
