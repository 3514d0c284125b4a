#include "mirt/scan.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "mirt/histogram.hpp"

namespace mirt {
namespace {

// Each bin's sums are those of the rows whose bin it is, with numpy's edges.
TEST(ScanTest, BinColumnsSumsEveryRowIntoItsEqualWidthBin) {
  const std::vector<double> x{0, 1, 2, 3, 4, 5, 6, 7, 8, 10};
  const std::vector<double> s{1, 1, 1, 1, 1, 1, 1, 1, 9, 9};
  const std::vector<double> levels{0, 1, 1, 0, 2, 2, 0, 1, 1, 0};
  const auto out = bin_columns({{Strided(x), 0}, {Strided(levels), 3}}, 5, DSpan(s), DSpan());
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].edges, histogram_edges(0, 10, 5));
  ASSERT_EQ(out[0].bins.size(), 5u);
  EXPECT_EQ(out[0].bins[4].count, 2);  // 8 and 10: the last bin is closed
  EXPECT_DOUBLE_EQ(out[0].bins[4].ws, 18.0);
  EXPECT_DOUBLE_EQ(out[0].bins[4].ws2, 162.0);
  EXPECT_EQ(out[0].codes[9], 4u);
  ASSERT_EQ(out[1].bins.size(), 3u);
  EXPECT_EQ(out[1].bins[0].count + out[1].bins[1].count + out[1].bins[2].count, 10);
  EXPECT_DOUBLE_EQ(out[1].bins[1].s, 1 + 1 + 1 + 9);
}

TEST(ScanTest, WeightsEnterTheSums) {
  const std::vector<double> x{0, 1, 2, 3};
  const std::vector<double> s{1, 2, 3, 4};
  const std::vector<double> w{2, 0, 1, 1};
  const auto out = bin_columns({{Strided(x), 0}}, 2, DSpan(s), DSpan(w));
  EXPECT_DOUBLE_EQ(out[0].bins[0].w, 2.0);
  EXPECT_DOUBLE_EQ(out[0].bins[0].w2, 4.0);
  EXPECT_DOUBLE_EQ(out[0].bins[0].s, 3.0);
  EXPECT_DOUBLE_EQ(out[0].bins[0].ws, 2.0);
}

// Inside each first bin the second column gets edges over its own range
// there, and fewer bins where it has fewer distinct values.
TEST(ScanTest, PairCellsRebinTheSecondColumnInsideEveryFirstBin) {
  const std::vector<double> x1{0, 0, 0, 10, 10, 10};
  const std::vector<double> x2{0, 4, 8, 1, 1, 2};
  const std::vector<double> s{1, 1, 1, 1, 1, 1};
  const auto binned = bin_columns({{Strided(x1), 0}}, 2, DSpan(s), DSpan());
  const Span<const std::uint32_t> codes(binned[0].codes.data(), binned[0].codes.size());
  const auto cells = pair_cells({{codes, 2, {Strided(x2), 0}}}, 4, DSpan(s), DSpan());
  ASSERT_EQ(cells.size(), 1u);
  const PairCells& p = cells[0];
  EXPECT_EQ(p.edges2[0], histogram_edges(0, 8, 3));
  EXPECT_EQ(p.edges2[1], histogram_edges(1, 2, 2));
  EXPECT_EQ(p.offsets, (std::vector<std::int64_t>{0, 3, 5}));
  EXPECT_EQ(p.cells[2].count, 1);  // the 8, in the closed last cell
  EXPECT_EQ(p.cells[3].count, 2);
  EXPECT_EQ(p.cells[4].count, 1);
  EXPECT_DOUBLE_EQ(p.lo2[1], 1.0);
  EXPECT_DOUBLE_EQ(p.hi2[1], 2.0);
}

TEST(ScanTest, RefusesValuesThatAreNotFiniteOrNoLevel) {
  const std::vector<double> x{0, NAN, 2};
  const std::vector<double> s{1, 1, 1};
  EXPECT_THROW(bin_columns({{Strided(x), 0}}, 2, DSpan(s), DSpan()), std::invalid_argument);
  const std::vector<double> codes{0, 3, 1};
  EXPECT_THROW(bin_columns({{Strided(codes), 2}}, 2, DSpan(s), DSpan()), std::invalid_argument);
  EXPECT_THROW(bin_columns({{Strided(codes), 0}}, 0, DSpan(s), DSpan()), std::invalid_argument);
}

// Tables under the rules the rows were binned with, summed over parts of the
// rows, are the tables of all rows; a region's sums and members are those of
// its cells, its closed bound included.
TEST(ScanTest, RuleTablesOfPartsAddUpAndRegionsMatchTheirCells) {
  const std::vector<double> x1{0, 0, 0, 10, 10, 10};
  const std::vector<double> x2{0, 4, 8, 1, 1, 2};
  const std::vector<double> s{1, 2, 3, 4, 5, 6};
  const auto binned = bin_columns({{Strided(x1), 0}}, 2, DSpan(s), DSpan());
  const Span<const std::uint32_t> codes(binned[0].codes.data(), binned[0].codes.size());
  const PairCells whole = pair_cells({{codes, 2, {Strided(x2), 0}}}, 4, DSpan(s), DSpan())[0];
  const ScanRule first{binned[0].edges, 10.0, 0};
  const PairRules pair{0, 1, first, {{whole.edges2[0], 8.0, 0}, {whole.edges2[1], 2.0, 0}}};
  std::vector<CellSums> cells(whole.cells.size());
  std::vector<CellSums> bins(2);
  for (std::size_t at : {std::size_t{0}, std::size_t{4}}) {  // parts of 4 and 2 rows
    const std::size_t n = at == 0 ? 4 : 2;
    const std::vector<Strided> cols{Strided(x1).slice(at, n), Strided(x2).slice(at, n)};
    const DSpan part(s.data() + at, n);
    const auto c = rule_cell_sums(cols, {pair}, part, DSpan())[0];
    const auto b = rule_sums({cols[0]}, {first}, part, DSpan())[0];
    for (std::size_t k = 0; k < c.size(); ++k) {
      cells[k].count += c[k].count;
      cells[k].ws2 += c[k].ws2;
    }
    for (std::size_t k = 0; k < 2; ++k) bins[k].s += b[k].s;
  }
  for (std::size_t k = 0; k < cells.size(); ++k) {
    EXPECT_EQ(cells[k].count, whole.cells[k].count);
    EXPECT_DOUBLE_EQ(cells[k].ws2, whole.cells[k].ws2);
  }
  EXPECT_DOUBLE_EQ(bins[0].s, binned[0].bins[0].s);
  EXPECT_DOUBLE_EQ(bins[1].s, binned[0].bins[1].s);
  // The last cell of the second first bin: 10 in its closed last bin, x2 up
  // to that bin's own maximum 2, closed there.
  const ScanRegion last{{0, 5.0, 10.0, true, {}}, {1, 1.5, 2.0, true, {}}};
  const ScanRegion open{{1, 1.5, 2.0, false, {}}};
  const ScanRegion level{{1, 0, 0, false, {0, 1}}};  // the level code 1 only
  std::vector<std::vector<std::int64_t>> rows;
  const std::vector<Strided> cols{Strided(x1), Strided(x2)};
  const auto sums = region_sums(cols, {last, open, level}, DSpan(s), DSpan(), &rows);
  EXPECT_EQ(sums[0].count, whole.cells[4].count);
  EXPECT_DOUBLE_EQ(sums[0].s, whole.cells[4].s);
  EXPECT_EQ(rows[0], (std::vector<std::int64_t>{5}));
  EXPECT_EQ(sums[1].count, 0);
  EXPECT_EQ(rows[2], (std::vector<std::int64_t>{3, 4}));
  EXPECT_THROW(region_sums(cols, {{{2, 0, 1, false, {}}}}, DSpan(s), DSpan()),
               std::invalid_argument);
}

}  // namespace
}  // namespace mirt
