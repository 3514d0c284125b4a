#include "mirt/bin_sums.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <stdexcept>
#include <vector>

namespace {

using mirt::BinRule;
using mirt::BinSums;
using mirt::DSpan;
using mirt::RowSet;
using mirt::SearchParams;

DSpan view(const std::vector<double>& v) { return DSpan(v.data(), v.size()); }
DSpan part(const std::vector<double>& v, std::size_t begin, std::size_t end) {
  return DSpan(v.data() + begin, end - begin);
}

// Rows with a weak stretch of x, split into uneven partitions (one empty);
// the search from the partitions' summed figures must find what the search
// over all rows finds.
TEST(BinSums, SearchFromPartitionSumsEqualsSearchOverRows) {
  std::mt19937_64 gen(11);
  std::uniform_real_distribution<double> ud;
  const std::size_t n = 5000;
  std::vector<double> x(n), s(n), w(n);
  for (std::size_t i = 0; i < n; ++i) {
    x[i] = std::round(ud(gen) * 400.0) / 4.0;
    s[i] = ud(gen) + (x[i] > 30 && x[i] < 55 ? 2.0 : 0.0);
    w[i] = ud(gen) < 0.1 ? 0.0 : ud(gen);
  }
  for (const bool weighted : {false, true}) {
    SearchParams p;
    p.max_bins = 10;
    p.min_samples = 30;
    p.sign = -1;
    p.threshold_value = 1.2;
    p.weighted_evidence = weighted;
    const DSpan weights = weighted ? view(w) : DSpan();
    const auto rows = mirt::search_1d_additive(RowSet{view(x), nullptr}, view(s), weights, p);
    BinRule rule{rows.edges, rows.hi, 0};
    BinSums total(rows.bins.size(), weighted);
    const std::vector<std::size_t> cuts{0, 7, 7, 2000, 4990, n};
    for (std::size_t k = 0; k + 1 < cuts.size(); ++k) {
      const std::size_t a = cuts[k], b = cuts[k + 1];
      total.add(mirt::bin_sums(part(x, a, b), rule, part(s, a, b),
                               weighted ? part(w, a, b) : DSpan()));
    }
    const auto sums = mirt::search_1d_from_sums(rows.lo, rows.hi, rows.edges, total, p);
    ASSERT_EQ(sums.bins.size(), rows.bins.size());
    for (std::size_t i = 0; i < sums.bins.size(); ++i) {
      EXPECT_EQ(sums.bins[i].count, rows.bins[i].count);
      EXPECT_NEAR(sums.bins[i].value, rows.bins[i].value, 1e-12 * std::fabs(rows.bins[i].value));
      EXPECT_EQ(sums.bins[i].weak, rows.bins[i].weak);
    }
    ASSERT_EQ(sums.regions.size(), rows.regions.size());
    ASSERT_FALSE(sums.regions.empty());
    for (std::size_t r = 0; r < sums.regions.size(); ++r) {
      EXPECT_EQ(sums.regions[r].lb, rows.regions[r].lb);
      EXPECT_EQ(sums.regions[r].ub, rows.regions[r].ub);
      EXPECT_EQ(sums.regions[r].rule_count, rows.regions[r].rule_count);
      EXPECT_NEAR(sums.regions[r].rule_value, rows.regions[r].rule_value,
                  1e-12 * std::fabs(rows.regions[r].rule_value));
    }
    EXPECT_EQ(sums.absorbed, rows.absorbed);
  }
}

TEST(BinSums, DistinctValuesStopAtTheLimit) {
  const std::vector<double> x{3, 1, 3, 2, 5, 4};
  EXPECT_EQ(mirt::distinct_upto(view(x), 3), (std::vector<double>{1, 2, 3}));
  EXPECT_EQ(mirt::distinct_upto(view(x), 10), (std::vector<double>{1, 2, 3, 4, 5}));
}

TEST(BinSums, CellsBinTheSecondFeatureByTheirFirstBinsOwnEdges) {
  const std::vector<double> x1{0, 0, 1, 1, 1}, x2{0, 1, 5, 6, 7}, s{1, 2, 3, 4, 5};
  const BinRule first{{0.0, 0.5, 1.0}, 1.0, 0};
  const auto ranges = mirt::first_bin_ranges(view(x1), first, view(x2), 10);
  EXPECT_EQ(ranges.lo, (std::vector<double>{0, 5}));
  EXPECT_EQ(ranges.hi, (std::vector<double>{1, 7}));
  EXPECT_EQ(ranges.distinct[1].size(), 3u);
  const std::vector<BinRule> second{{{0.0, 1.0}, 1.0, 0}, {{5.0, 6.0, 7.0}, 7.0, 0}};
  const BinSums cells = mirt::cell_sums(view(x1), first, view(x2), second, view(s), DSpan());
  EXPECT_EQ(cells.count, (std::vector<std::int64_t>{2, 1, 2}));
  EXPECT_EQ(cells.sum, (std::vector<double>{3, 3, 9}));
}

TEST(BinSums, LevelCodesOutsideTheLevelsAreRefused) {
  const std::vector<double> codes{0, 1, 2.5}, s{1, 1, 1};
  EXPECT_THROW(mirt::bin_sums(view(codes), BinRule{{}, 0, 3}, view(s), DSpan()),
               std::invalid_argument);
}

}  // namespace
