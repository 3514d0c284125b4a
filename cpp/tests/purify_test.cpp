#include "mirt/purify.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

using mirt::DSpan;

double row_mean(const std::vector<double>& f, std::size_t cols, std::size_t i,
                const std::vector<double>& w) {
  double n = 0.0, d = 0.0;
  for (std::size_t j = 0; j < cols; ++j) {
    n += w[i * cols + j] * f[i * cols + j];
    d += w[i * cols + j];
  }
  return d > 0.0 ? n / d : 0.0;
}

double col_mean(const std::vector<double>& f, std::size_t rows, std::size_t cols, std::size_t j,
                const std::vector<double>& w) {
  double n = 0.0, d = 0.0;
  for (std::size_t i = 0; i < rows; ++i) {
    n += w[i * cols + j] * f[i * cols + j];
    d += w[i * cols + j];
  }
  return d > 0.0 ? n / d : 0.0;
}

std::vector<double> random_values(std::size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> g(0.0, 1.0);
  std::vector<double> v(n);
  for (double& x : v) x = g(rng);
  return v;
}

TEST(Purify, CoarseCellsMapEveryFineCellIntoItsContainingCell) {
  const std::vector<double> fine{1.0, 2.0, 3.0, 4.0}, coarse{2.0, 4.0};
  EXPECT_EQ(mirt::coarse_cells(DSpan(fine), DSpan(coarse)),
            (std::vector<std::size_t>{0, 0, 1, 1, 2}));
  EXPECT_EQ(mirt::coarse_cells(DSpan(fine), DSpan(std::vector<double>{})),
            (std::vector<std::size_t>(5, 0)));
  EXPECT_THROW(mirt::coarse_cells(DSpan(fine), DSpan(std::vector<double>{2.5})),
               std::invalid_argument);
  EXPECT_THROW(mirt::coarse_cells(DSpan(fine), DSpan(std::vector<double>{5.0})),
               std::invalid_argument);
}

TEST(Purify, ProductWeightsCentreEveryRowAndColumnInOneSweepAndKeepTheSum) {
  const std::size_t rows = 4, cols = 3;
  const std::vector<double> w_row{0.2, 0.0, 0.5, 0.3};  // row 1 has no data
  const std::vector<double> w_col{0.6, 0.1, 0.3};
  const std::vector<double> before = random_values(rows * cols, 1);
  std::vector<double> f = before, rm, cm;
  const auto out = mirt::purify_interaction(f, rows, cols, DSpan(w_row), DSpan(w_col), nullptr, rm,
                                            cm, 1e-10, 10000);
  EXPECT_TRUE(out.converged);
  EXPECT_EQ(out.sweeps, 1u);
  std::vector<double> product(rows * cols);
  for (std::size_t i = 0; i < rows; ++i)
    for (std::size_t j = 0; j < cols; ++j) product[i * cols + j] = w_row[i] * w_col[j];
  for (std::size_t i = 0; i < rows; ++i) {
    // Rows without data are centred on the column weights all the same.
    double n = 0.0;
    for (std::size_t j = 0; j < cols; ++j) n += w_col[j] * f[i * cols + j];
    EXPECT_NEAR(n, 0.0, 1e-14) << "row " << i;
    for (std::size_t j = 0; j < cols; ++j) {
      EXPECT_NEAR(f[i * cols + j] + rm[i] + cm[j], before[i * cols + j], 1e-14);
    }
  }
  for (std::size_t j = 0; j < cols; ++j) {
    EXPECT_NEAR(col_mean(f, rows, cols, j, product), 0.0, 1e-14);
  }
}

TEST(Purify, JointWeightsSweepToConvergenceAndLeaveEmptyRowsAlone) {
  const std::size_t rows = 3, cols = 3;
  // Dependent features: the weight sits near the diagonal; row 2 is empty,
  // column 2 has weight only through row 0.
  const std::vector<double> joint{5, 1, 1, 1, 6, 0, 0, 0, 0};
  const std::vector<double> before = random_values(rows * cols, 2);
  std::vector<double> f = before, rm, cm;
  const auto out = mirt::purify_interaction(f, rows, cols, DSpan(), DSpan(), joint.data(), rm, cm,
                                            1e-10, 10000);
  EXPECT_TRUE(out.converged);
  EXPECT_GT(out.sweeps, 1u);
  double scale = 0.0;
  for (double v : before) scale = std::max(scale, std::fabs(v));
  for (std::size_t i = 0; i < rows; ++i) {
    EXPECT_LE(std::fabs(row_mean(f, cols, i, joint)), 1e-10 * scale);
  }
  for (std::size_t j = 0; j < cols; ++j)
    EXPECT_LE(std::fabs(col_mean(f, rows, cols, j, joint)), 1e-10 * scale);
  EXPECT_EQ(rm[2], 0.0);
  for (std::size_t i = 0; i < rows; ++i)
    for (std::size_t j = 0; j < cols; ++j)
      EXPECT_NEAR(f[i * cols + j] + rm[i] + cm[j], before[i * cols + j], 1e-12);
}

TEST(Purify, JointSweepsStopAtTheCapAndSayTheyDidNotConverge) {
  const std::vector<double> joint{5, 1, 1, 6};
  std::vector<double> f{1.0, -2.0, 0.5, 3.0}, rm, cm;
  const auto out =
      mirt::purify_interaction(f, 2, 2, DSpan(), DSpan(), joint.data(), rm, cm, 0.0, 3);
  EXPECT_FALSE(out.converged);
  EXPECT_EQ(out.sweeps, 3u);
  std::vector<double> zero(4, 0.0);
  const auto none =
      mirt::purify_interaction(zero, 2, 2, DSpan(), DSpan(), joint.data(), rm, cm, 1e-10, 3);
  EXPECT_TRUE(none.converged);
  EXPECT_EQ(none.sweeps, 0u);
}

TEST(Purify, MainEffectsLoseTheirWeightedMeanAndVarianceUsesTheWeights) {
  std::vector<double> v{1.0, 2.0, 4.0};
  const std::vector<double> w{1.0, 0.0, 3.0};
  EXPECT_DOUBLE_EQ(mirt::center_main(v, DSpan(w)), 3.25);
  EXPECT_EQ(v, (std::vector<double>{-2.25, -1.25, 0.75}));
  EXPECT_DOUBLE_EQ(mirt::weighted_variance(DSpan(v), DSpan(w)),
                   (2.25 * 2.25 + 3 * 0.75 * 0.75) / 4);
  std::vector<double> u{1.0, 2.0};
  EXPECT_EQ(mirt::center_main(u, DSpan(std::vector<double>{0.0, 0.0})), 0.0);
  EXPECT_EQ(u, (std::vector<double>{1.0, 2.0}));
  EXPECT_THROW(mirt::center_main(u, DSpan(w)), std::invalid_argument);
}

}  // namespace
