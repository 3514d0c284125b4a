#include "mirt/effects.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

using mirt::DSpan;
using mirt::ISpan;

// A growable ensemble whose spans stay valid while it is alive.
struct Forest {
  std::vector<std::int64_t> offsets{0}, left, right, feature;
  std::vector<double> threshold, weight;
  std::int64_t n_features = 0;

  // Nodes given tree-locally: (left, right, feature, threshold-or-leaf value).
  struct Node {
    std::int64_t l, r, f;
    double t;
  };
  void add(const std::vector<Node>& nodes, double w = 1.0) {
    for (const Node& n : nodes) {
      left.push_back(n.l);
      right.push_back(n.r);
      feature.push_back(n.f);
      threshold.push_back(n.t);
    }
    offsets.push_back(offsets.back() + static_cast<std::int64_t>(nodes.size()));
    weight.push_back(w);
  }
  mirt::TreeEnsemble view() const {
    return {ISpan(offsets.data(), offsets.size()), ISpan(left.data(), left.size()),
            ISpan(right.data(), right.size()),     ISpan(feature.data(), feature.size()),
            DSpan(threshold.data(), threshold.size()), DSpan(weight.data(), weight.size()),
            n_features};
  }
  // The booster's own routing: left when float(x) < threshold.
  double predict(const std::vector<double>& x) const {
    double total = 0.0;
    for (std::size_t t = 0; t + 1 < offsets.size(); ++t) {
      std::size_t k = 0;
      const auto base = static_cast<std::size_t>(offsets[t]);
      while (left[base + k] >= 0) {
        const double v = static_cast<double>(static_cast<float>(x[feature[base + k]]));
        k = static_cast<std::size_t>(v < threshold[base + k] ? left[base + k] : right[base + k]);
      }
      total += threshold[base + k] * weight[t];
    }
    return total;
  }
};

double evaluate(const mirt::Decomposition& d, const std::vector<double>& x) {
  double total = d.intercept;
  for (const auto& m : d.mains) {
    total += m.values[mirt::cell_of(DSpan(m.splits), x[m.feature], mirt::SplitRule::kXgboost)];
  }
  for (const auto& in : d.interactions) {
    const auto r = mirt::cell_of(DSpan(in.splits_a), x[in.a], mirt::SplitRule::kXgboost);
    const auto c = mirt::cell_of(DSpan(in.splits_b), x[in.b], mirt::SplitRule::kXgboost);
    total += in.values[r * in.cols() + c];
  }
  return total;
}

// Random depth-<=2 trees whose thresholds sit on a coarse float32 lattice, so
// that trees share split points and test points can land exactly on them.
Forest random_forest(std::size_t n_trees, std::int64_t n_features, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_int_distribution<std::int64_t> feat(0, n_features - 1);
  std::uniform_int_distribution<int> lattice(-8, 8), shape(0, 4);
  std::normal_distribution<double> leaf(0.0, 1.0);
  auto thr = [&] { return static_cast<double>(static_cast<float>(lattice(rng) * 0.3)); };
  auto val = [&] { return static_cast<double>(static_cast<float>(leaf(rng))); };
  Forest f;
  f.n_features = n_features;
  for (std::size_t t = 0; t < n_trees; ++t) {
    switch (shape(rng)) {
      case 0:
        f.add({{-1, -1, 0, val()}});
        break;
      case 1:
        f.add({{1, 2, feat(rng), thr()}, {-1, -1, 0, val()}, {-1, -1, 0, val()}});
        break;
      case 2:  // only the left child splits; node order shuffled on purpose
        f.add({{2, 1, feat(rng), thr()},
               {-1, -1, 0, val()},
               {3, 4, feat(rng), thr()},
               {-1, -1, 0, val()},
               {-1, -1, 0, val()}});
        break;
      default:
        f.add({{1, 2, feat(rng), thr()},
               {3, 4, feat(rng), thr()},
               {5, 6, feat(rng), thr()},
               {-1, -1, 0, val()},
               {-1, -1, 0, val()},
               {-1, -1, 0, val()},
               {-1, -1, 0, val()}},
              shape(rng) == 4 ? 0.5 : 1.0);
    }
  }
  return f;
}

std::vector<double> random_point(std::mt19937_64& rng, std::int64_t n_features) {
  std::uniform_int_distribution<int> lattice(-9, 9), coin(0, 2);
  std::normal_distribution<double> g(0.0, 1.5);
  std::vector<double> x(static_cast<std::size_t>(n_features));
  for (double& v : x) {
    const int c = coin(rng);
    // On a split point, just below one in float64 (equal in float32), or anywhere.
    const double on_split = static_cast<double>(static_cast<float>(lattice(rng) * 0.3));
    v = c == 0 ? on_split : c == 1 ? std::nextafter(on_split, -10.0) : g(rng);
  }
  return x;
}

TEST(Effects, OneTreeSplitsIntoAMainPieceAndAnInteraction) {
  Forest f;
  f.n_features = 3;
  // Root on x2 < 1; left child on x0 < 2 with leaves 1, 2; right leaf 3.
  f.add({{1, 2, 2, 1.0}, {3, 4, 0, 2.0}, {-1, -1, 0, 3.0}, {-1, -1, 0, 1.0}, {-1, -1, 0, 2.0}});
  const auto d = mirt::decompose_trees(f.view());
  EXPECT_EQ(d.intercept, 0.0);
  ASSERT_EQ(d.mains.size(), 2u);
  EXPECT_EQ(d.mains[0].feature, 0);
  EXPECT_EQ(d.mains[0].values, (std::vector<double>{0.0, 0.0}));
  EXPECT_EQ(d.mains[1].feature, 2);
  EXPECT_EQ(d.mains[1].values, (std::vector<double>{0.0, 3.0}));
  ASSERT_EQ(d.interactions.size(), 1u);
  const auto& in = d.interactions[0];
  // Stored as (0, 2): rows follow x0, columns x2.
  EXPECT_EQ(in.a, 0);
  EXPECT_EQ(in.b, 2);
  EXPECT_EQ(in.splits_a, std::vector<double>{2.0});
  EXPECT_EQ(in.splits_b, std::vector<double>{1.0});
  EXPECT_EQ(in.values, (std::vector<double>{1.0, 0.0, 2.0, 0.0}));
}

TEST(Effects, AChildOnTheRootFeatureStaysAMainEffect) {
  Forest f;
  f.n_features = 1;
  f.add({{1, 2, 0, 0.0}, {3, 4, 0, -1.0}, {5, 6, 0, 1.0}, {-1, -1, 0, 1.0}, {-1, -1, 0, 2.0},
         {-1, -1, 0, 3.0}, {-1, -1, 0, 4.0}});
  f.add({{-1, -1, 0, 0.25}}, 2.0);  // a stump of one leaf, weighted
  const auto d = mirt::decompose_trees(f.view());
  EXPECT_EQ(d.intercept, 0.5);
  EXPECT_TRUE(d.interactions.empty());
  ASSERT_EQ(d.mains.size(), 1u);
  EXPECT_EQ(d.mains[0].splits, (std::vector<double>{-1.0, 0.0, 1.0}));
  EXPECT_EQ(d.mains[0].values, (std::vector<double>{1.0, 2.0, 3.0, 4.0}));
}

TEST(Effects, DecompositionReproducesTheEnsembleAtAndAroundSplitPoints) {
  for (unsigned seed = 0; seed < 5; ++seed) {
    const Forest f = random_forest(300, 4, seed);
    const auto d = mirt::decompose_trees(f.view());
    std::mt19937_64 rng(100 + seed);
    for (int i = 0; i < 2000; ++i) {
      const auto x = random_point(rng, f.n_features);
      ASSERT_NEAR(evaluate(d, x), f.predict(x), 1e-9) << "seed " << seed << " point " << i;
    }
  }
}

TEST(Effects, MalformedOrDeepTreesAreRefused) {
  Forest deep;
  deep.n_features = 1;
  deep.add({{1, 2, 0, 0.0},
            {3, 4, 0, -1.0},
            {-1, -1, 0, 1.0},
            {5, 6, 0, -2.0},
            {-1, -1, 0, 1.0},
            {-1, -1, 0, 1.0},
            {-1, -1, 0, 1.0}});
  EXPECT_THROW(mirt::decompose_trees(deep.view()), mirt::DepthError);

  Forest bad_feature;
  bad_feature.n_features = 2;
  bad_feature.add({{1, 2, 5, 0.0}, {-1, -1, 0, 1.0}, {-1, -1, 0, 1.0}});
  EXPECT_THROW(mirt::decompose_trees(bad_feature.view()), std::out_of_range);

  Forest bad_child;
  bad_child.n_features = 1;
  bad_child.add({{1, 9, 0, 0.0}, {-1, -1, 0, 1.0}, {-1, -1, 0, 1.0}});
  EXPECT_THROW(mirt::decompose_trees(bad_child.view()), std::out_of_range);

  Forest cycle;  // a child pointing back at the root is not a leaf: too deep
  cycle.n_features = 1;
  cycle.add({{1, 2, 0, 0.0}, {0, 0, 0, 1.0}, {-1, -1, 0, 1.0}});
  EXPECT_THROW(mirt::decompose_trees(cycle.view()), mirt::DepthError);

  Forest one_child;
  one_child.n_features = 1;
  one_child.add({{1, -1, 0, 0.0}, {-1, -1, 0, 1.0}});
  EXPECT_THROW(mirt::decompose_trees(one_child.view()), std::invalid_argument);

  Forest nan_split;
  nan_split.n_features = 1;
  nan_split.add({{1, 2, 0, std::nan("")}, {-1, -1, 0, 1.0}, {-1, -1, 0, 1.0}});
  EXPECT_THROW(mirt::decompose_trees(nan_split.view()), std::invalid_argument);

  Forest ragged = random_forest(3, 2, 1);
  ragged.weight.pop_back();
  EXPECT_THROW(mirt::decompose_trees(ragged.view()), std::invalid_argument);
}

struct Data {
  std::vector<double> values;  // row-major
  std::size_t rows, cols;
  mirt::MatrixView view() const {
    return {values.data(), rows, cols, static_cast<std::ptrdiff_t>(cols), 1};
  }
  std::vector<double> row(std::size_t i) const {
    return {values.begin() + static_cast<std::ptrdiff_t>(i * cols),
            values.begin() + static_cast<std::ptrdiff_t>((i + 1) * cols)};
  }
};

Data random_data(std::size_t rows, std::size_t cols, unsigned seed) {
  std::mt19937_64 rng(seed);
  Data d{std::vector<double>(rows * cols), rows, cols};
  for (std::size_t i = 0; i < rows; ++i) {
    const auto x = random_point(rng, static_cast<std::int64_t>(cols));
    // Make column 1 depend on column 0, so joint and product weights differ.
    for (std::size_t j = 0; j < cols; ++j) d.values[i * cols + j] = x[j];
    d.values[i * cols + 1] = 0.5 * d.values[i * cols] + 0.5 * x[1];
  }
  return d;
}

// Weighted means of an effect over the data, computed from the rows alone.
struct RowCells {
  std::vector<std::size_t> r, c;
};
RowCells locate(const mirt::Interaction& in, const Data& X) {
  RowCells rc;
  for (std::size_t i = 0; i < X.rows; ++i) {
    const auto x = X.row(i);
    rc.r.push_back(mirt::cell_of(DSpan(in.splits_a), x[in.a], mirt::SplitRule::kXgboost));
    rc.c.push_back(mirt::cell_of(DSpan(in.splits_b), x[in.b], mirt::SplitRule::kXgboost));
  }
  return rc;
}

TEST(Effects, PurificationKeepsEveryPredictionAndCentresEveryEffect) {
  const Forest f = random_forest(200, 3, 11);
  const Data X = random_data(3000, 3, 12);
  for (const bool true_to_data : {false, true}) {
    auto d = mirt::decompose_trees(f.view());
    mirt::FitOptions opt;
    opt.true_to_data = true_to_data;
    const auto report = mirt::fit_effects(d, X.view(), opt);
    EXPECT_TRUE(report.unconverged.empty());
    std::mt19937_64 rng(13);
    for (int i = 0; i < 500; ++i) {
      const auto x = random_point(rng, 3);
      ASSERT_NEAR(evaluate(d, x), f.predict(x), 1e-9);
    }
    for (const auto& m : d.mains) {
      double mean = 0.0, sq = 0.0;
      for (std::size_t i = 0; i < X.rows; ++i) {
        const auto cell =
            mirt::cell_of(DSpan(m.splits), X.row(i)[m.feature], mirt::SplitRule::kXgboost);
        const double v = m.values[cell];
        mean += v;
        sq += v * v;
      }
      mean /= X.rows;
      EXPECT_NEAR(mean, 0.0, 1e-12);
      EXPECT_NEAR(m.importance, sq / X.rows - mean * mean, 1e-9);
    }
    for (const auto& in : d.interactions) {
      const RowCells rc = locate(in, X);
      // Row and column means under the weights the option names.
      std::vector<double> cnt_r(in.rows(), 0.0), cnt_c(in.cols(), 0.0);
      std::vector<double> joint(in.rows() * in.cols(), 0.0);
      for (std::size_t i = 0; i < X.rows; ++i) {
        cnt_r[rc.r[i]] += 1;
        cnt_c[rc.c[i]] += 1;
        joint[rc.r[i] * in.cols() + rc.c[i]] += 1;
      }
      double scale = 1e-300;
      for (double v : in.values) scale = std::max(scale, std::fabs(v));
      for (std::size_t r = 0; r < in.rows(); ++r) {
        double n = 0.0, w = 0.0;
        for (std::size_t c = 0; c < in.cols(); ++c) {
          const double wt = true_to_data ? joint[r * in.cols() + c] : cnt_c[c];
          n += wt * in.values[r * in.cols() + c];
          w += wt;
        }
        if (w > 0) EXPECT_LE(std::fabs(n / w), 1e-9 * scale) << "row " << r;
      }
      for (std::size_t c = 0; c < in.cols(); ++c) {
        double n = 0.0, w = 0.0;
        for (std::size_t r = 0; r < in.rows(); ++r) {
          const double wt = true_to_data ? joint[r * in.cols() + c] : cnt_r[r];
          n += wt * in.values[r * in.cols() + c];
          w += wt;
        }
        if (w > 0) EXPECT_LE(std::fabs(n / w), 1e-9 * scale) << "column " << c;
      }
    }
  }
}

TEST(Effects, CountsOfTwoPartsAddUpToTheWholeDatasEffects) {
  const Forest f = random_forest(120, 3, 31);
  const Data X = random_data(1001, 3, 32);
  const mirt::MatrixView all = X.view();
  const mirt::MatrixView head{X.values.data(), 400, 3, 3, 1};
  const mirt::MatrixView tail{X.values.data() + 400 * 3, 601, 3, 3, 1};
  for (const bool true_to_data : {false, true}) {
    mirt::FitOptions opt;
    opt.true_to_data = true_to_data;
    auto whole = mirt::decompose_trees(f.view());
    mirt::fit_effects(whole, all, opt);

    const auto raw = mirt::decompose_trees(f.view());
    mirt::CellCounts sum = mirt::count_cells(raw, head);
    const mirt::CellCounts more = mirt::count_cells(raw, tail);
    for (std::size_t m = 0; m < sum.mains.size(); ++m) {
      for (std::size_t k = 0; k < sum.mains[m].size(); ++k) sum.mains[m][k] += more.mains[m][k];
    }
    for (std::size_t q = 0; q < sum.interactions.size(); ++q) {
      for (std::size_t k = 0; k < sum.interactions[q].size(); ++k) {
        sum.interactions[q][k] += more.interactions[q][k];
      }
    }
    auto parts = raw;
    mirt::fit_effects_from_counts(parts, sum, opt);
    // Bit for bit: the counts are whole numbers, exact in any order of addition.
    EXPECT_EQ(parts.intercept, whole.intercept);
    for (std::size_t m = 0; m < whole.mains.size(); ++m) {
      EXPECT_EQ(parts.mains[m].values, whole.mains[m].values);
      EXPECT_EQ(parts.mains[m].importance, whole.mains[m].importance);
    }
    for (std::size_t q = 0; q < whole.interactions.size(); ++q) {
      EXPECT_EQ(parts.interactions[q].values, whole.interactions[q].values);
    }
  }
  auto d = mirt::decompose_trees(f.view());
  mirt::CellCounts wrong = mirt::count_cells(d, head);
  wrong.mains.pop_back();
  EXPECT_THROW(mirt::fit_effects_from_counts(d, wrong, {}), std::invalid_argument);
}

TEST(Effects, ProductPurificationKeepsAMonotoneMainEffectMonotone) {
  // Both trees increase in x0 whatever x1 is, as a monotone constraint forces.
  Forest f;
  f.n_features = 2;
  f.add({{1, 2, 0, 0.0}, {3, 4, 1, 0.0}, {5, 6, 1, 1.0}, {-1, -1, 0, -1.0}, {-1, -1, 0, -3.0},
         {-1, -1, 0, 2.0}, {-1, -1, 0, 0.5}});
  f.add({{1, 2, 1, 0.5}, {3, 4, 0, 1.0}, {5, 6, 0, -1.0}, {-1, -1, 0, 0.0}, {-1, -1, 0, 4.0},
         {-1, -1, 0, -2.0}, {-1, -1, 0, -1.5}});
  const Data X = random_data(2000, 2, 3);
  auto d = mirt::decompose_trees(f.view());
  mirt::fit_effects(d, X.view(), mirt::FitOptions{});
  ASSERT_EQ(d.mains[0].feature, 0);
  const auto& v = d.mains[0].values;
  for (std::size_t k = 1; k < v.size(); ++k) EXPECT_GE(v[k], v[k - 1] - 1e-12);
}

TEST(Effects, WithoutPurificationOnlyImportancesAreSet) {
  const Forest f = random_forest(50, 3, 21);
  const Data X = random_data(500, 3, 22);
  const auto raw = mirt::decompose_trees(f.view());
  auto d = raw;
  mirt::FitOptions opt;
  opt.purify = false;
  mirt::fit_effects(d, X.view(), opt);
  EXPECT_EQ(d.intercept, raw.intercept);
  for (std::size_t m = 0; m < d.mains.size(); ++m) {
    EXPECT_EQ(d.mains[m].values, raw.mains[m].values);
  }
  bool some = false;
  for (const auto& in : d.interactions) some = some || in.importance > 0.0;
  EXPECT_TRUE(some);
}

TEST(Effects, FittingRefusesEmptyNarrowOrMissingData) {
  const Forest f = random_forest(50, 3, 31);
  auto d = mirt::decompose_trees(f.view());
  Data X = random_data(10, 3, 32);
  Data empty{{}, 0, 3};
  EXPECT_THROW(mirt::fit_effects(d, empty.view(), {}), std::invalid_argument);
  Data narrow{std::vector<double>(20, 0.0), 10, 2};
  EXPECT_THROW(mirt::fit_effects(d, narrow.view(), {}), std::out_of_range);
  X.values[4 * 3 + d.mains[0].feature] = std::nan("");
  try {
    mirt::fit_effects(d, X.view(), {});
    FAIL() << "NaN accepted";
  } catch (const mirt::MissingValueError& e) {
    EXPECT_EQ(e.row(), 4u);
  }
}

}  // namespace
