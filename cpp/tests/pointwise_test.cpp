#include "mirt/pointwise.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(Pointwise, ErrorsAreTheRoundedDifferenceSquaredOrMadePositive) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  // Two columns of a row-major matrix, and contiguous copies of them.
  const std::vector<double> y{1.0, 0.1, 1e200, -inf, nan, 3.0, -0.0};
  const std::vector<double> p{1.5, 0.3, -1e200, -inf, 1.0, 3.0, 0.0};
  std::vector<double> matrix;
  for (std::size_t i = 0; i < y.size(); ++i) {
    matrix.push_back(y[i]);
    matrix.push_back(p[i]);
  }
  const mirt::Strided ys(matrix.data(), 2, y.size()), ps(matrix.data() + 1, 2, p.size());
  for (const bool in_place : {true, false}) {
    std::vector<double> sq(y.size()), ab(y.size());
    const mirt::Strided a = in_place ? ys : mirt::Strided(mirt::DSpan(y.data(), y.size()));
    const mirt::Strided b = in_place ? ps : mirt::Strided(mirt::DSpan(p.data(), p.size()));
    mirt::squared_errors(a, b, sq.data());
    mirt::absolute_errors(a, b, ab.data());
    for (std::size_t i = 0; i < y.size(); ++i) {
      const double d = y[i] - p[i];
      EXPECT_TRUE(same_bits(sq[i], d * d)) << i;
      EXPECT_TRUE(same_bits(ab[i], std::fabs(d))) << i;
    }
  }
  std::vector<double> out(2);
  EXPECT_THROW(mirt::squared_errors(mirt::Strided(mirt::DSpan(y.data(), 2)),
                                    mirt::Strided(mirt::DSpan(p.data(), 3)), out.data()),
               std::invalid_argument);
}

}  // namespace
