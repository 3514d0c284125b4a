#include "mirt/histogram.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "mirt/pairwise.hpp"

namespace {

using mirt::DSpan;
using mirt::RowSet;
using mirt::SearchParams;

DSpan view(const std::vector<double>& v) { return DSpan(v.data(), v.size()); }

// The mean of scores over [lb, ub) (closed when `closed`), the way a mask and
// np.mean would compute it.
double masked_mean(const std::vector<double>& x, const std::vector<double>& s, double lb, double ub,
                   bool closed, std::int64_t* count) {
  std::vector<double> picked;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (x[i] >= lb && (closed ? x[i] <= ub : x[i] < ub)) picked.push_back(s[i]);
  }
  *count = static_cast<std::int64_t>(picked.size());
  return mirt::numpy_mean(view(picked));
}

TEST(HistogramSearch, BinScoresEqualMaskedMeans) {
  std::mt19937_64 gen(3);
  std::normal_distribution<double> nd;
  std::uniform_real_distribution<double> ud;
  std::vector<double> x(1000), s(1000);
  for (std::size_t i = 0; i < x.size(); ++i) {
    x[i] = nd(gen);
    s[i] = ud(gen);
  }
  SearchParams p;
  p.threshold_value = 1e9;  // nothing is weak
  const auto res = mirt::search_1d_additive(RowSet{view(x), nullptr}, view(s), DSpan(), p);
  ASSERT_EQ(res.bins.size(), 10u);
  for (const auto& bin : res.bins) {
    std::int64_t count = 0;
    const double expected = masked_mean(x, s, bin.lb, bin.ub, bin.closed, &count);
    EXPECT_EQ(bin.count, count);
    EXPECT_EQ(bin.value, expected);
  }
  EXPECT_TRUE(res.regions.empty());
}

}  // namespace
