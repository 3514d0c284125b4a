#include "mirt/pairwise.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

namespace {

using mirt::DSpan;
using mirt::ISpan;

std::vector<double> random_values(std::size_t n, unsigned seed) {
  std::mt19937_64 gen(seed);
  std::normal_distribution<double> dist(0.0, 1e3);
  std::vector<double> v(n);
  for (double& x : v) x = dist(gen);
  return v;
}

// A left-to-right sum differs from numpy's pairwise order on most random inputs
// above 8 elements; the blocked form must be reproduced exactly.
TEST(NumpySum, SmallArraysAreSummedLeftToRight) {
  const std::vector<double> v{0.1, 0.2, 0.3, 1e16, -1e16, 0.7, 3.0};
  double expected = 0.0;
  for (double x : v) expected += x;
  EXPECT_EQ(mirt::numpy_sum(DSpan(v.data(), v.size())), expected);
}

TEST(NumpySum, BlocksOfEightCombineInPairs) {
  std::vector<double> v(19);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = 1.0 / static_cast<double>(i + 3);
  double r[8];
  for (int j = 0; j < 8; ++j) r[j] = v[j];
  for (int j = 0; j < 8; ++j) r[j] += v[8 + j];
  double expected = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
  expected += v[16];
  expected += v[17];
  expected += v[18];
  EXPECT_EQ(mirt::numpy_sum(DSpan(v.data(), v.size())), 0.0 + expected);
}

TEST(NumpySum, LongArraysSplitAtAMultipleOfEight) {
  const auto v = random_values(1000, 7);
  // 1000 -> 496 + 504, each split again until at most 128 elements remain.
  const double left = mirt::numpy_sum(DSpan(v.data(), 496));
  const double right = mirt::numpy_sum(DSpan(v.data() + 496, 504));
  EXPECT_EQ(mirt::numpy_sum(DSpan(v.data(), v.size())), left + right);
}

TEST(NumpySum, GatheredValuesSumAsTheirSelection) {
  const auto v = random_values(5000, 11);
  std::vector<std::int64_t> idx;
  std::vector<double> picked;
  for (std::size_t i = 0; i < v.size(); i += 3) {
    idx.push_back(static_cast<std::int64_t>(i));
    picked.push_back(v[i]);
  }
  EXPECT_EQ(mirt::numpy_sum(DSpan(v.data(), v.size()), ISpan(idx.data(), idx.size())),
            mirt::numpy_sum(DSpan(picked.data(), picked.size())));
}

TEST(NumpySum, ContiguousArraysGiveTheSameBitsAsTheGeneralOrder) {
  // Arrays read in place take a vectorised sum; each running sum must still
  // add the same values in the same order. Mixed magnitudes make any change
  // of order show in the last bits.
  std::mt19937_64 gen(9);
  std::uniform_real_distribution<double> ud(-1.0, 1.0);
  std::vector<double> a(100'003);
  for (std::size_t i = 0; i < a.size(); ++i) {
    a[i] = ud(gen) * std::pow(10.0, static_cast<double>(i % 17) - 8);
  }
  std::vector<std::size_t> lengths;
  for (std::size_t n = 0; n <= 300; ++n) lengths.push_back(n);
  for (std::size_t n : {1000u, 8191u, 8192u, 8193u, 100'003u}) lengths.push_back(n);
  for (const mirt::SumOrder order : {mirt::SumOrder{0}, mirt::SumOrder{8192}}) {
    for (std::size_t n : lengths) {
      const double general = mirt::numpy_sum([&](std::size_t i) { return a[i]; }, n, order);
      const double contiguous = mirt::numpy_sum_array(a.data(), n, order);
      EXPECT_EQ(std::memcmp(&general, &contiguous, sizeof(double)), 0) << n << " values";
    }
  }
}

TEST(NumpySum, EmptyAndSignedZero) {
  EXPECT_EQ(mirt::numpy_sum(DSpan()), 0.0);
  const std::vector<double> z{-0.0};
  EXPECT_FALSE(std::signbit(mirt::numpy_sum(DSpan(z.data(), 1))));
}

TEST(Means, PlainMeanIsSumOverCountAndNaNWhenEmpty) {
  const auto v = random_values(300, 3);
  EXPECT_EQ(mirt::numpy_mean(DSpan(v.data(), v.size())),
            mirt::numpy_sum(DSpan(v.data(), v.size())) / 300.0);
  EXPECT_TRUE(std::isnan(mirt::numpy_mean(DSpan())));
}

TEST(Means, WeightedMeanIsSumOfProductsOverSumOfWeights) {
  const auto a = random_values(200, 5);
  auto w = random_values(200, 6);
  for (double& x : w) x = std::fabs(x);
  std::vector<double> prod(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) prod[i] = a[i] * w[i];
  const double expected = mirt::numpy_sum(DSpan(prod.data(), prod.size())) /
                          mirt::numpy_sum(DSpan(w.data(), w.size()));
  const auto m = mirt::mean_with_fallback(DSpan(a.data(), a.size()), DSpan(w.data(), w.size()));
  EXPECT_TRUE(m.weighted);
  EXPECT_EQ(m.value, expected);
}

TEST(Means, WeightsSummingToZeroFallBackToThePlainMean) {
  const std::vector<double> a{1.0, 2.0, 6.0};
  const std::vector<double> w{0.0, 0.0, 0.0};
  const std::vector<std::int64_t> idx{0, 2};
  const auto m = mirt::mean_with_fallback(DSpan(a.data(), 3), DSpan(w.data(), 3),
                                          ISpan(idx.data(), idx.size()));
  EXPECT_FALSE(m.weighted);
  EXPECT_EQ(m.value, 3.5);
  const auto all = mirt::mean_with_fallback(DSpan(a.data(), 3), DSpan(w.data(), 3));
  EXPECT_EQ(all.value, 3.0);
}

TEST(Means, NoWeightsMeansPlainMean) {
  const std::vector<double> a{1.0, 2.0, 4.0};
  const auto m = mirt::mean_with_fallback(DSpan(a.data(), 3), DSpan());
  EXPECT_FALSE(m.weighted);
  EXPECT_EQ(m.value, 7.0 / 3.0);
}

}  // namespace

namespace {

// Releases of numpy before 2.3 sum through an 8192-element buffer: pairwise
// inside each block, the blocks added in order.
TEST(NumpySum, BlockedOrderAddsBlockSumsInOrder) {
  const auto v = random_values(20000, 17);
  double expected = 0.0;
  for (std::size_t start = 0; start < v.size(); start += 8192) {
    const std::size_t len = std::min<std::size_t>(8192, v.size() - start);
    expected += mirt::numpy_sum(DSpan(v.data() + start, len));
  }
  EXPECT_EQ(mirt::numpy_sum(DSpan(v.data(), v.size()), mirt::SumOrder{8192}), expected);
  // up to one block both orders agree
  EXPECT_EQ(mirt::numpy_sum(DSpan(v.data(), 8192), mirt::SumOrder{8192}),
            mirt::numpy_sum(DSpan(v.data(), 8192)));
}

}  // namespace
