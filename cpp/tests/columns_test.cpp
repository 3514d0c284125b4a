#include "mirt/columns.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

using mirt::DSpan;

DSpan view(const std::vector<double>& v) { return DSpan(v.data(), v.size()); }

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

TEST(CopyColumns, GathersStridedColumnsInOnePassAndFindsNonFinite) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (std::size_t k = 1; k <= 3; ++k) {
    const std::size_t n = 37;
    std::vector<double> matrix(4 * n);
    for (std::size_t i = 0; i < matrix.size(); ++i) matrix[i] = static_cast<double>(i);
    std::vector<mirt::Strided> cols;
    for (std::size_t j = 0; j < k; ++j) cols.emplace_back(matrix.data() + 3 - j, 4, n);
    std::vector<double> out(k * n);
    EXPECT_FALSE(mirt::copy_columns(cols, out.data()));
    for (std::size_t j = 0; j < k; ++j) {
      for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(out[j * n + i], matrix[4 * i + 3 - j]);
    }
    matrix[4 * 20 + 3] = nan;  // column 0, row 20
    if (k > 1) matrix[4 * 9 + 2] = nan;  // column 1, row 9: earlier
    const mirt::NonFinite bad = mirt::copy_columns(cols, out.data());
    EXPECT_EQ(bad.row, k > 1 ? 9 : 20);
    EXPECT_EQ(bad.column, k > 1 ? 1 : 0);
  }
}

}  // namespace
