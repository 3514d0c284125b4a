#include "mirt/regions.hpp"

#include "mirt/cpu.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace {

using mirt::Box;
using mirt::DSpan;
using mirt::Index;
using mirt::Interval;

DSpan view(const std::vector<double>& v) { return DSpan(v.data(), v.size()); }

TEST(Membership, LowerBoundClosedUpperBoundOpenUnlessAsked) {
  const std::vector<double> x{1.0, 2.0, 3.0, 4.0};
  EXPECT_EQ(mirt::members(view(x), Interval{2.0, 4.0, false}), (Index{1, 2}));
  EXPECT_EQ(mirt::members(view(x), Interval{2.0, 4.0, true}), (Index{1, 2, 3}));
}

TEST(Membership, NaNIsNeverInside) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<double> x{nan, 1.0};
  EXPECT_EQ(mirt::members(view(x), Interval{-1e300, 1e300, true}), (Index{1}));
}

TEST(Membership, TwoFeaturesNeedBothIntervals) {
  const std::vector<double> a{0.0, 1.0, 1.0, 2.0};
  const std::vector<double> b{5.0, 5.0, 9.0, 5.0};
  Box box{Interval{0.0, 1.0, true}, true, Interval{5.0, 9.0, false}};
  EXPECT_EQ(mirt::members(view(a), view(b), box), (Index{0, 1}));
}

TEST(Membership, TableRuleClosesOnlyAtTheColumnMaximum) {
  EXPECT_TRUE(mirt::table_interval(0.0, 3.0, 3.0).closed_upper);
  EXPECT_FALSE(mirt::table_interval(0.0, 2.9, 3.0).closed_upper);
}

TEST(Membership, UnionListsEachRowOnceInAscendingOrder) {
  const std::vector<double> x{0.0, 1.0, 2.0, 3.0, 4.0};
  std::vector<Box> boxes{Box{Interval{2.0, 4.0, true}}, Box{Interval{0.0, 3.0, false}}};
  EXPECT_EQ(mirt::members_of_any(view(x), view(x), boxes), (Index{0, 1, 2, 3, 4}));
  EXPECT_TRUE(mirt::members_of_any(view(x), view(x), {}).empty());
}

TEST(Membership, ColumnsOfDifferentLengthAreRefused) {
  const std::vector<double> a{0.0, 1.0};
  const std::vector<double> b{0.0};
  Box box{Interval{0.0, 1.0, true}, true, Interval{0.0, 1.0, true}};
  EXPECT_THROW(mirt::members(view(a), view(b), box), std::invalid_argument);
}

// The one-pass membership of many boxes must agree, row for row, with testing
// each box on its own; overlapping boxes, shared bounds, closed bounds, ties
// and infinite or NaN bounds are where a segment table could go wrong.
void many_boxes_agree_with_each_box_alone() {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<int> grid(0, 12);
  for (int trial = 0; trial < 800; ++trial) {
    const std::size_t n = 1 + static_cast<std::size_t>(rng() % 300);
    std::vector<double> x1(n), x2(n);
    for (std::size_t i = 0; i < n; ++i) {
      x1[i] = grid(rng) * 0.5;  // many ties on the bounds
      x2[i] = grid(rng) * 0.5;
    }
    auto bound = [&]() {
      const int r = grid(rng);
      return r == 0 ? -inf : (r == 12 ? inf : (r == 11 && trial % 17 == 0 ? nan : r * 0.5));
    };
    std::vector<Box> boxes;
    const std::size_t k = static_cast<std::size_t>(rng() % 9);
    const bool two = trial % 2 == 1;
    if (trial % 4 < 2) {
      for (std::size_t b = 0; b < k; ++b) {
        Box box{Interval{bound(), bound(), rng() % 2 == 0}};
        if (two) {
          box.has_second = true;
          box.second = Interval{bound(), bound(), rng() % 2 == 0};
        }
        boxes.push_back(box);
      }
    } else {
      // Disjoint boxes, as searches report them: consecutive first intervals,
      // and inside each, consecutive second intervals; the last of each
      // may be closed.
      std::vector<double> cuts1{-inf, 1.0, 2.5, 2.5 + 0.5 * grid(rng), 7.0};
      if (trial % 8 == 7) {
        // Many finite bounds, as the first feature's bins of a two-feature
        // search give, with values on them and between them.
        cuts1 = {0.0, 0.5, 1.0, 1.5, 2.0, 3.0, 3.5, 4.0, 4.25, 5.0, 6.0};
      }
      std::sort(cuts1.begin(), cuts1.end());
      for (std::size_t i = 0; i + 1 < cuts1.size(); ++i) {
        const bool closed1 = i + 2 == cuts1.size() && rng() % 2 == 0;
        if (!two) {
          if (rng() % 3 != 0) boxes.push_back(Box{Interval{cuts1[i], cuts1[i + 1], closed1}});
          continue;
        }
        std::vector<double> cuts2{0.5 * grid(rng), 0.5 * grid(rng), 0.5 * grid(rng), inf};
        std::sort(cuts2.begin(), cuts2.end());
        for (std::size_t j = 0; j + 1 < cuts2.size(); ++j) {
          if (rng() % 3 == 0) continue;
          const bool closed2 = j + 2 == cuts2.size() - 1 && rng() % 2 == 0;
          boxes.push_back(Box{Interval{cuts1[i], cuts1[i + 1], closed1}, true,
                              Interval{cuts2[j], cuts2[j + 1], closed2}});
        }
      }
    }
    Index any_expected;
    std::vector<Index> each_expected;
    for (const Box& box : boxes) each_expected.push_back(mirt::members(view(x1), view(x2), box));
    for (std::size_t r = 0; r < n; ++r) {
      for (const Index& e : each_expected) {
        if (std::find(e.begin(), e.end(), static_cast<std::int64_t>(r)) != e.end()) {
          any_expected.push_back(static_cast<std::int64_t>(r));
          break;
        }
      }
    }
    EXPECT_EQ(mirt::members_each(view(x1), view(x2), boxes), each_expected) << "trial " << trial;
    EXPECT_EQ(mirt::members_of_any(view(x1), view(x2), boxes), any_expected) << "trial " << trial;
    // The same columns read in place out of a row-major matrix.
    std::vector<double> matrix(3 * n);
    for (std::size_t i = 0; i < n; ++i) {
      matrix[3 * i] = -1.0;
      matrix[3 * i + 1] = x1[i];
      matrix[3 * i + 2] = x2[i];
    }
    const mirt::Strided s1(matrix.data() + 1, 3, n), s2(matrix.data() + 2, 3, n);
    const mirt::Membership m = mirt::members_each_checked(s1, two ? &s2 : nullptr, boxes);
    EXPECT_FALSE(m.non_finite);
    EXPECT_EQ(m.rows, each_expected) << "trial " << trial;
  }
}

TEST(Membership, OnePassOverManyBoxesAgreesWithEachBoxAlone) {
  // Contiguous columns take vector instructions where the machine has them;
  // the portable code must agree as well.
  for (const bool avx2 : {true, false}) {
    mirt::allow_avx2(avx2);
    many_boxes_agree_with_each_box_alone();
  }
  mirt::allow_avx2(true);
}

TEST(Membership, CheckedPassReportsTheFirstValueThatIsNotFinite) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<double> a{0.0, 1.0, inf, 2.0};
  const std::vector<double> b{0.0, nan, 1.0, 2.0};
  const std::vector<Box> boxes{Box{Interval{0.0, 1.0, true}}};
  const mirt::Strided sa(view(a)), sb(view(b));
  mirt::Membership m = mirt::members_each_checked(sa, &sb, boxes);
  EXPECT_EQ(m.non_finite.column, 1);
  EXPECT_EQ(m.non_finite.row, 1);
  m = mirt::members_each_checked(sa, nullptr, boxes);
  EXPECT_EQ(m.non_finite.column, 0);
  EXPECT_EQ(m.non_finite.row, 2);
  const std::vector<Box> two{Box{Interval{0.0, 1.0, true}, true, Interval{0.0, 1.0, true}}};
  EXPECT_THROW(mirt::members_each_checked(sa, nullptr, two), std::invalid_argument);
}

TEST(Membership, CheckedPassInPartsJoinsToTheSinglePass) {
  // Parts on threads of their own: positions shifted back to the whole, the
  // lists in row order, and the earliest non-finite value of all the parts.
  std::mt19937_64 gen(12);
  std::uniform_real_distribution<double> ud(0.0, 10.0);
  const std::size_t n = 10'000;
  std::vector<double> matrix(3 * n);
  for (double& v : matrix) v = std::round(ud(gen));
  const mirt::Strided x1(matrix.data(), 3, n), x2(matrix.data() + 1, 3, n);
  const std::vector<Box> boxes{Box{Interval{2.0, 5.0, false}},
                               Box{Interval{7.0, 10.0, true}, true, Interval{0.0, 4.0, false}}};
  const mirt::Membership whole = mirt::members_each_checked(x1, &x2, boxes);
  for (std::size_t parts : {1u, 2u, 3u, 4u, 64u}) {
    const mirt::Membership split = mirt::members_each_checked(x1, &x2, boxes, parts);
    EXPECT_EQ(split.rows, whole.rows) << parts << " parts";
    EXPECT_FALSE(split.non_finite);
  }
  // Contiguous copies of the columns give the same lists.
  std::vector<double> c1(n), c2(n);
  for (std::size_t i = 0; i < n; ++i) {
    c1[i] = x1[i];
    c2[i] = x2[i];
  }
  const mirt::Strided s1(view(c1)), s2(view(c2));
  EXPECT_EQ(mirt::members_each_checked(s1, &s2, boxes, 2).rows, whole.rows);
  matrix[3 * 7000 + 1] = std::numeric_limits<double>::infinity();  // x2, row 7000
  matrix[3 * 9000] = std::numeric_limits<double>::quiet_NaN();     // x1, row 9000
  const mirt::Membership bad = mirt::members_each_checked(x1, &x2, boxes, 4);
  EXPECT_EQ(bad.non_finite.column, 1);
  EXPECT_EQ(bad.non_finite.row, 7000);
  c2[7000] = std::numeric_limits<double>::infinity();
  c1[9000] = std::numeric_limits<double>::quiet_NaN();
  const mirt::Membership bad_copy = mirt::members_each_checked(s1, &s2, boxes, 3);
  EXPECT_EQ(bad_copy.non_finite.column, 1);
  EXPECT_EQ(bad_copy.non_finite.row, 7000);
}

}  // namespace
