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

namespace {

TEST(HistogramEdges, EqualWidthEdgesEndExactlyAtTheMaximum) {
  const auto e = mirt::histogram_edges(0.0, 1.0, 10);
  ASSERT_EQ(e.size(), 11u);
  EXPECT_EQ(e[3], 3 * 0.1 + 0.0);  // i * step + lo, as numpy computes it
  EXPECT_EQ(e[10], 1.0);
}

TEST(HistogramEdges, ConstantRangeIsWidenedAndNarrowRangesAreRefused) {
  const auto e = mirt::histogram_edges(3.0, 3.0, 1);
  EXPECT_EQ(e, (std::vector<double>{2.5, 3.5}));
  EXPECT_THROW(mirt::histogram_edges(1.0, std::nextafter(1.0, 2.0), 2), std::invalid_argument);
  EXPECT_THROW(mirt::histogram_edges(0.0, 1.0, 0), std::invalid_argument);
  EXPECT_THROW(mirt::histogram_edges(0.0, INFINITY, 3), std::invalid_argument);
}

TEST(HistogramSearch, DistinctValuesAreCountedUpToTheLimit) {
  const std::vector<double> x{1, 1, 2, 2, 3, 9, 9};
  EXPECT_EQ(mirt::count_distinct_upto(view(x), nullptr, 10), 4u);
  EXPECT_EQ(mirt::count_distinct_upto(view(x), nullptr, 2), 2u);
  const mirt::Index rows{0, 1, 5};
  EXPECT_EQ(mirt::count_distinct_upto(view(x), &rows, 10), 2u);
}

TEST(HistogramSearch, ValuesOnInnerEdgesGoToTheUpperBinAndTheMaximumToTheLast) {
  const std::vector<double> edges{0.0, 1.0, 2.0, 3.0};
  const std::vector<double> x{0.0, 1.0, 2.0, 3.0, 2.5, -1.0};
  const auto ids = mirt::assign_bins(RowSet{view(x), nullptr}, edges, 3.0);
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{0, 1, 2, 2, 2, 3}));
  // when the last edge is not the data maximum it stays open
  const auto open = mirt::assign_bins(RowSet{view(x), nullptr}, edges, 5.0);
  EXPECT_EQ(open[3], 3u);
}

TEST(HistogramSearch, TouchingWeakBinsFuseAndSmallIntervalsAreDropped) {
  // bins of width 1 over [0, 6]; bins 1, 2 and 4 are weak; bin 4 has 2 rows
  std::vector<double> x, s;
  for (int b = 0; b < 6; ++b) {
    const int rows = b == 4 ? 2 : 10;
    for (int r = 0; r < rows; ++r) {
      x.push_back(b + (r + 0.5) / rows);
      s.push_back(b == 1 || b == 2 || b == 4 ? 5.0 : 1.0);
    }
  }
  x.push_back(0.0);
  s.push_back(1.0);
  x.push_back(6.0);
  s.push_back(1.0);
  SearchParams p;
  p.threshold_value = 3.0;
  p.min_samples = 5;
  p.max_bins = 6;
  const auto res = mirt::search_1d_additive(RowSet{view(x), nullptr}, view(s), DSpan(), p);
  ASSERT_EQ(res.regions.size(), 1u);
  EXPECT_EQ(res.regions[0].lb, 1.0);
  EXPECT_EQ(res.regions[0].ub, 3.0);
  EXPECT_EQ(res.regions[0].rule_count, 20);
  EXPECT_EQ(res.regions[0].rule_value, 5.0);
  EXPECT_EQ(res.absorbed, (std::vector<char>{0, 1, 1, 0, 0, 0}));
}

TEST(HistogramSearch, BinCountsOfTheSearchEqualBinningValueByValue) {
  // The search bins all rows of a column with vector instructions where it
  // can; every value must land where the scalar rule puts it, values on and
  // next to the edges above all, over ranges of every scale and sign.
  std::mt19937_64 gen(21);
  const std::vector<std::pair<double, double>> ranges{
      {0.0, 1.0}, {-3.7, 5.2}, {-1e-9, 1e-9}, {1e6, 1e6 + 3.0}, {-2e8, -1e8}, {0.1, 0.7}};
  for (const auto& [lo, hi] : ranges) {
    for (std::int64_t bins : {1, 3, 10, 37, 254, 300}) {
      const std::vector<double> edges = mirt::histogram_edges(lo, hi, bins);
      std::uniform_real_distribution<double> ud(lo, hi);
      std::uniform_int_distribution<std::size_t> pick(0, edges.size() - 1);
      std::vector<double> x(70'001);
      for (std::size_t i = 0; i < x.size(); ++i) {
        const double e = edges[pick(gen)];
        switch (i % 4) {
          case 0: x[i] = ud(gen); break;
          case 1: x[i] = e; break;
          case 2: x[i] = std::max(lo, std::nextafter(e, -HUGE_VAL)); break;
          default: x[i] = std::min(hi, std::nextafter(e, HUGE_VAL)); break;
        }
      }
      x[0] = lo;
      x[1] = hi;
      SearchParams p;
      p.max_bins = bins;
      p.threshold_value = -1.0;  // no bin is weak
      const std::vector<double> s(x.size(), 0.0);
      const auto res = mirt::search_1d_additive(RowSet{view(x), nullptr}, view(s), DSpan(), p);
      ASSERT_EQ(res.edges, edges);
      const auto one_by_one = mirt::assign_bins(RowSet{view(x), nullptr}, edges, hi);
      std::vector<std::int64_t> expected(static_cast<std::size_t>(bins), 0);
      for (std::uint32_t b : one_by_one) ++expected[b];
      for (std::size_t b = 0; b < expected.size(); ++b) {
        EXPECT_EQ(res.bins[b].count, expected[b]) << lo << ".." << hi << ", " << bins << " bins";
      }
    }
  }
}

TEST(HistogramSearch, KeptRegionRowsAreTheRowsInsideTheRegionBounds) {
  // Integer values put many rows on the edges; the top region is closed at
  // the maximum. Large enough for the passes to run in parts.
  std::mt19937_64 gen(6);
  std::uniform_int_distribution<int> ui(0, 10);
  std::normal_distribution<double> nd;
  const std::size_t n = 300'000;
  std::vector<double> x(n), s(n);
  for (std::size_t i = 0; i < n; ++i) {
    x[i] = ui(gen);
    s[i] = (x[i] <= 2 || x[i] >= 8 ? 3.0 : 0.0) + nd(gen);
  }
  SearchParams p;
  p.threshold_value = 1.5;
  p.min_samples = 5;
  p.keep_members = true;
  const auto res = mirt::search_1d_additive(RowSet{view(x), nullptr}, view(s), DSpan(), p);
  ASSERT_EQ(res.regions.size(), 2u);
  for (const mirt::Region& r : res.regions) {
    ASSERT_TRUE(r.has_members);
    mirt::Index expected;
    for (std::size_t i = 0; i < n; ++i) {
      if (x[i] >= r.lb && (x[i] < r.ub || (x[i] == r.ub && r.ub == res.hi))) {
        expected.push_back(static_cast<std::int64_t>(i));
      }
    }
    EXPECT_EQ(r.members, expected);
  }
  p.keep_members = false;
  const auto plain = mirt::search_1d_additive(RowSet{view(x), nullptr}, view(s), DSpan(), p);
  EXPECT_FALSE(plain.regions[0].has_members);
  EXPECT_TRUE(plain.regions[0].members.empty());
  EXPECT_EQ(plain.regions[1].rule_value, res.regions[1].rule_value);
}

TEST(HistogramSearch, TwoFeaturesSearchInsideEachFirstBin) {
  std::vector<double> a, b, s;
  for (int i = 0; i < 40; ++i) {
    a.push_back(i < 20 ? 0.0 : 1.0);
    b.push_back(i % 20);
    s.push_back(i >= 20 && i % 20 >= 10 ? 5.0 : 1.0);
  }
  SearchParams p;
  p.threshold_value = 3.0;
  p.min_samples = 1;
  p.max_bins = 2;
  const auto res = mirt::search_2d(view(a), view(b), view(s), DSpan(), true, p);
  ASSERT_EQ(res.bins.size(), 2u);
  EXPECT_TRUE(res.bins[0].inner.regions.empty());
  ASSERT_EQ(res.bins[1].inner.regions.size(), 1u);
  const auto& r = res.bins[1].inner.regions[0];
  EXPECT_EQ(r.lb, 9.5);
  EXPECT_EQ(r.ub, 19.0);
  EXPECT_EQ(r.lb_quantile, 50.0);
  EXPECT_EQ(r.ub_quantile, 100.0);
}

}  // namespace
