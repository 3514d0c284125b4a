#include "mirt/effects.hpp"

#include "mirt/interrupt.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <string>

#include "mirt/purify.hpp"

namespace mirt {

namespace {

struct Condition {
  std::int64_t feature;
  double threshold;
  bool left;  // the piece lives where the value is below the threshold
};

// The leaves of one tree as pieces: a value and up to two conditions.
struct Piece {
  Condition cond[2];
  int n = 0;
  double value = 0.0;
};

std::string tree_label(std::size_t t) { return "tree " + std::to_string(t); }

void check_ensemble(const TreeEnsemble& e) {
  const std::size_t n = e.left.size();
  if (e.right.size() != n || e.feature.size() != n || e.threshold.size() != n) {
    throw std::invalid_argument("tree node arrays differ in length");
  }
  if (e.offsets.empty() || e.offsets[0] != 0 ||
      static_cast<std::size_t>(e.offsets[e.offsets.size() - 1]) != n) {
    throw std::invalid_argument("tree offsets must start at 0 and end at the node count");
  }
  if (e.tree_weight.size() + 1 != e.offsets.size()) {
    throw std::invalid_argument("one weight per tree is needed");
  }
  for (std::size_t t = 0; t + 1 < e.offsets.size(); ++t) {
    if (e.offsets[t + 1] <= e.offsets[t]) {
      throw std::invalid_argument(tree_label(t) + " has no nodes");
    }
  }
}

class TreeWalker {
 public:
  TreeWalker(const TreeEnsemble& e, std::size_t t)
      : e_(e),
        t_(t),
        base_(static_cast<std::size_t>(e.offsets[t])),
        size_(static_cast<std::size_t>(e.offsets[t + 1] - e.offsets[t])),
        weight_(e.tree_weight[t]) {}

  bool is_leaf(std::size_t k) const {
    const std::int64_t l = e_.left[base_ + k], r = e_.right[base_ + k];
    if ((l < 0) != (r < 0)) {
      throw std::invalid_argument(tree_label(t_) + " has a node with a single child");
    }
    return l < 0;
  }

  std::size_t child(std::size_t k, bool left) const {
    const std::int64_t c = left ? e_.left[base_ + k] : e_.right[base_ + k];
    if (c < 0 || static_cast<std::size_t>(c) >= size_) {
      throw std::out_of_range(tree_label(t_) + " has a child id outside the tree");
    }
    return static_cast<std::size_t>(c);
  }

  Condition condition(std::size_t k, bool left) const {
    const std::int64_t f = e_.feature[base_ + k];
    if (f < 0 || f >= e_.n_features) {
      throw std::out_of_range(tree_label(t_) + " splits on feature " + std::to_string(f) +
                              ", outside the model's " + std::to_string(e_.n_features));
    }
    const double thr = e_.threshold[base_ + k];
    if (!std::isfinite(thr)) {
      throw std::invalid_argument(tree_label(t_) + " has a non-finite split point");
    }
    return {f, thr, left};
  }

  double leaf_value(std::size_t k) const {
    const double v = e_.threshold[base_ + k] * weight_;
    if (!std::isfinite(v)) throw std::invalid_argument(tree_label(t_) + " has a non-finite leaf");
    return v;
  }

  // Appends the tree's pieces; a tree that is a single leaf adds to intercept.
  void pieces(std::vector<Piece>& out, double& intercept) const {
    if (is_leaf(0)) {
      intercept += leaf_value(0);
      return;
    }
    for (const bool left : {true, false}) {
      const Condition c0 = condition(0, left);
      const std::size_t k = child(0, left);
      if (is_leaf(k)) {
        Piece p;
        p.cond[0] = c0;
        p.n = 1;
        p.value = leaf_value(k);
        out.push_back(p);
        continue;
      }
      for (const bool left2 : {true, false}) {
        const std::size_t g = child(k, left2);
        if (!is_leaf(g)) {
          throw DepthError("Cannot interpret XGB with depth more than 2.");
        }
        Piece p;
        p.cond[0] = c0;
        p.cond[1] = condition(k, left2);
        p.n = 2;
        p.value = leaf_value(g);
        out.push_back(p);
      }
    }
  }

 private:
  const TreeEnsemble& e_;
  std::size_t t_, base_, size_;
  double weight_;
};

void sort_unique(std::vector<double>& v) {
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
}

std::size_t position(const std::vector<double>& grid, double t) {
  return static_cast<std::size_t>(std::lower_bound(grid.begin(), grid.end(), t) - grid.begin());
}

// Cells [lo, hi] of `grid` where every condition on it holds; lo > hi when none.
std::pair<std::ptrdiff_t, std::ptrdiff_t> cell_range(const std::vector<double>& grid,
                                                     const Piece& p, std::int64_t feature) {
  std::ptrdiff_t lo = 0, hi = static_cast<std::ptrdiff_t>(grid.size());
  for (int i = 0; i < p.n; ++i) {
    const Condition& c = p.cond[i];
    if (c.feature != feature) continue;
    const auto pos = static_cast<std::ptrdiff_t>(position(grid, c.threshold));
    if (c.left) {
      hi = std::min(hi, pos);
    } else {
      lo = std::max(lo, pos + 1);
    }
  }
  return {lo, hi};
}

bool single_feature(const Piece& p) { return p.n == 1 || p.cond[0].feature == p.cond[1].feature; }

std::pair<std::int64_t, std::int64_t> pair_of(const Piece& p) {
  const std::int64_t a = p.cond[0].feature, b = p.cond[1].feature;
  return a < b ? std::make_pair(a, b) : std::make_pair(b, a);
}

}  // namespace

Decomposition decompose_trees(const TreeEnsemble& trees) {
  check_ensemble(trees);
  Decomposition dec;
  std::vector<Piece> pieces;
  const std::size_t n_trees = trees.offsets.size() - 1;
  pieces.reserve(2 * n_trees);
  for (std::size_t t = 0; t < n_trees; ++t) TreeWalker(trees, t).pieces(pieces, dec.intercept);

  // Grids: every split point of a feature for its main effect; for a pair,
  // only the split points its own pieces use, which keeps interaction tables
  // small and loses nothing, since the sum is constant between them.
  std::map<std::int64_t, std::size_t> main_index;
  std::vector<std::vector<double>> main_splits;
  std::map<std::pair<std::int64_t, std::int64_t>, std::size_t> pair_index;
  std::vector<std::pair<std::vector<double>, std::vector<double>>> pair_splits;
  for (const Piece& p : pieces) {
    for (int i = 0; i < p.n; ++i) {
      auto it = main_index.try_emplace(p.cond[i].feature, main_splits.size()).first;
      if (it->second == main_splits.size()) main_splits.emplace_back();
      main_splits[it->second].push_back(p.cond[i].threshold);
    }
    if (single_feature(p)) continue;
    const auto ab = pair_of(p);
    auto it = pair_index.try_emplace(ab, pair_splits.size()).first;
    if (it->second == pair_splits.size()) pair_splits.emplace_back();
    for (int i = 0; i < 2; ++i) {
      auto& side = p.cond[i].feature == ab.first ? pair_splits[it->second].first
                                                 : pair_splits[it->second].second;
      side.push_back(p.cond[i].threshold);
    }
  }

  std::vector<std::size_t> main_slot(main_splits.size());
  for (const auto& [feature, idx] : main_index) {
    main_slot[idx] = dec.mains.size();
    MainEffect m;
    m.feature = feature;
    m.splits = std::move(main_splits[idx]);
    sort_unique(m.splits);
    m.values.assign(m.splits.size() + 1, 0.0);
    dec.mains.push_back(std::move(m));
  }
  std::vector<std::size_t> pair_slot(pair_splits.size());
  for (const auto& [ab, idx] : pair_index) {
    pair_slot[idx] = dec.interactions.size();
    Interaction in;
    in.a = ab.first;
    in.b = ab.second;
    in.splits_a = std::move(pair_splits[idx].first);
    in.splits_b = std::move(pair_splits[idx].second);
    sort_unique(in.splits_a);
    sort_unique(in.splits_b);
    in.values.assign(in.rows() * in.cols(), 0.0);
    dec.interactions.push_back(std::move(in));
  }

  // Difference tables: each piece touches two (or four) entries, and one
  // prefix sum per effect spreads them over the cells.
  std::vector<std::vector<double>> main_diff(dec.mains.size());
  for (std::size_t m = 0; m < dec.mains.size(); ++m) {
    main_diff[m].assign(dec.mains[m].values.size() + 1, 0.0);
  }
  std::vector<std::vector<double>> pair_diff(dec.interactions.size());
  for (std::size_t q = 0; q < dec.interactions.size(); ++q) {
    const Interaction& in = dec.interactions[q];
    pair_diff[q].assign((in.rows() + 1) * (in.cols() + 1), 0.0);
  }
  for (const Piece& p : pieces) {
    if (single_feature(p)) {
      const std::size_t m = main_slot[main_index.at(p.cond[0].feature)];
      const auto [lo, hi] = cell_range(dec.mains[m].splits, p, p.cond[0].feature);
      if (lo > hi) continue;
      main_diff[m][static_cast<std::size_t>(lo)] += p.value;
      main_diff[m][static_cast<std::size_t>(hi) + 1] -= p.value;
      continue;
    }
    const auto ab = pair_of(p);
    const std::size_t q = pair_slot[pair_index.at(ab)];
    const Interaction& in = dec.interactions[q];
    const auto [r0, r1] = cell_range(in.splits_a, p, ab.first);
    const auto [c0, c1] = cell_range(in.splits_b, p, ab.second);
    if (r0 > r1 || c0 > c1) continue;
    const std::size_t w = in.cols() + 1;
    auto at = [&](std::ptrdiff_t r, std::ptrdiff_t c) -> double& {
      return pair_diff[q][static_cast<std::size_t>(r) * w + static_cast<std::size_t>(c)];
    };
    at(r0, c0) += p.value;
    at(r0, c1 + 1) -= p.value;
    at(r1 + 1, c0) -= p.value;
    at(r1 + 1, c1 + 1) += p.value;
  }
  for (std::size_t m = 0; m < dec.mains.size(); ++m) {
    double run = 0.0;
    for (std::size_t k = 0; k < dec.mains[m].values.size(); ++k) {
      run += main_diff[m][k];
      dec.mains[m].values[k] = run;
    }
  }
  for (std::size_t q = 0; q < dec.interactions.size(); ++q) {
    Interaction& in = dec.interactions[q];
    const std::size_t w = in.cols() + 1;
    std::vector<double>& d = pair_diff[q];
    for (std::size_t r = 0; r < in.rows(); ++r) {
      double run = 0.0;
      for (std::size_t c = 0; c < in.cols(); ++c) {
        run += d[r * w + c];
        const double above = r > 0 ? in.values[(r - 1) * in.cols() + c] : 0.0;
        in.values[r * in.cols() + c] = run + above;
      }
    }
  }
  return dec;
}

namespace {

template <typename Cell>
CellCounts count_with_cells(const Decomposition& dec, const MatrixView& X) {
  const std::size_t n = X.rows;
  std::map<std::int64_t, std::size_t> slot;
  std::vector<std::vector<Cell>> cells(dec.mains.size());
  CellCounts out;
  out.mains.resize(dec.mains.size());
  for (std::size_t m = 0; m < dec.mains.size(); ++m) {
    const MainEffect& me = dec.mains[m];
    slot[me.feature] = m;
    cells[m].resize(n);
    cells_of(X.column(static_cast<std::size_t>(me.feature)), DSpan(me.splits), SplitRule::kXgboost,
             cells[m].data());
    out.mains[m].assign(me.values.size(), 0.0);
    for (const Cell c : cells[m]) out.mains[m][c] += 1.0;
  }
  for (const Interaction& in : dec.interactions) {
    check_interrupt();
    const std::size_t ma = slot.at(in.a), mb = slot.at(in.b);
    const auto map_a = coarse_cells(DSpan(dec.mains[ma].splits), DSpan(in.splits_a));
    const auto map_b = coarse_cells(DSpan(dec.mains[mb].splits), DSpan(in.splits_b));
    std::vector<double>& joint = out.interactions.emplace_back(in.rows() * in.cols(), 0.0);
    const std::vector<Cell>& ca = cells[ma];
    const std::vector<Cell>& cb = cells[mb];
    for (std::size_t i = 0; i < n; ++i) {
      joint[map_a[ca[i]] * in.cols() + map_b[cb[i]]] += 1.0;
    }
  }
  return out;
}

void check_counts(const Decomposition& dec, const CellCounts& counts) {
  bool fits = counts.mains.size() == dec.mains.size() &&
              counts.interactions.size() == dec.interactions.size();
  for (std::size_t m = 0; fits && m < dec.mains.size(); ++m) {
    fits = counts.mains[m].size() == dec.mains[m].values.size();
  }
  for (std::size_t q = 0; fits && q < dec.interactions.size(); ++q) {
    fits = counts.interactions[q].size() == dec.interactions[q].values.size();
  }
  if (!fits) throw std::invalid_argument("the cell counts do not match the effects' grids");
  double rows = 0.0;
  for (const std::vector<double>& c : counts.mains) {
    for (const double v : c) {
      if (!(v >= 0.0) || std::isinf(v)) {
        throw std::invalid_argument("cell counts must be finite and not negative");
      }
      rows += v;
    }
  }
  for (const std::vector<double>& c : counts.interactions) {
    for (const double v : c) {
      if (!(v >= 0.0) || std::isinf(v)) {
        throw std::invalid_argument("cell counts must be finite and not negative");
      }
    }
  }
  if (!dec.mains.empty() && rows == 0.0) throw std::invalid_argument("the data has no rows");
}

void check_data(const Decomposition& dec, const MatrixView& X) {
  for (const MainEffect& m : dec.mains) {
    if (m.feature < 0 || static_cast<std::size_t>(m.feature) >= X.cols) {
      throw std::out_of_range("feature " + std::to_string(m.feature) + " is beyond the data's " +
                              std::to_string(X.cols) + " columns");
    }
  }
  for (const Interaction& in : dec.interactions) {
    bool a = false, b = false;
    for (const MainEffect& m : dec.mains) {
      a = a || m.feature == in.a;
      b = b || m.feature == in.b;
    }
    if (!a || !b) throw std::invalid_argument("an interaction lacks the main effect of a feature");
  }
}

}  // namespace

CellCounts count_cells(const Decomposition& dec, const MatrixView& X) {
  check_data(dec, X);
  std::size_t widest = 0;
  for (const MainEffect& m : dec.mains) widest = std::max(widest, m.values.size());
  // Two bytes per row and feature cover every grid a histogram booster builds.
  if (widest <= std::numeric_limits<std::uint16_t>::max()) {
    return count_with_cells<std::uint16_t>(dec, X);
  }
  return count_with_cells<std::uint32_t>(dec, X);
}

FitReport fit_effects_from_counts(Decomposition& dec, const CellCounts& counts,
                                  const FitOptions& opt) {
  check_counts(dec, counts);
  std::map<std::int64_t, std::size_t> slot;
  for (std::size_t m = 0; m < dec.mains.size(); ++m) slot[dec.mains[m].feature] = m;
  FitReport report;
  for (std::size_t q = 0; q < dec.interactions.size(); ++q) {
    check_interrupt();
    Interaction& in = dec.interactions[q];
    const std::vector<double>& joint = counts.interactions[q];
    if (opt.purify) {
      const std::size_t ma = slot.at(in.a), mb = slot.at(in.b);
      const auto map_a = coarse_cells(DSpan(dec.mains[ma].splits), DSpan(in.splits_a));
      const auto map_b = coarse_cells(DSpan(dec.mains[mb].splits), DSpan(in.splits_b));
      std::vector<double> w_row(in.rows(), 0.0), w_col(in.cols(), 0.0);
      for (std::size_t k = 0; k < map_a.size(); ++k) w_row[map_a[k]] += counts.mains[ma][k];
      for (std::size_t k = 0; k < map_b.size(); ++k) w_col[map_b[k]] += counts.mains[mb][k];
      std::vector<double> row_mass, col_mass;
      const SweepOutcome outcome = purify_interaction(
          in.values, in.rows(), in.cols(), DSpan(w_row), DSpan(w_col),
          opt.true_to_data ? joint.data() : nullptr, row_mass, col_mass, opt.tol,
          opt.true_to_data ? opt.max_sweeps : std::max<std::size_t>(opt.max_sweeps, 1));
      if (!outcome.converged) report.unconverged.emplace_back(in.a, in.b);
      std::vector<double>& va = dec.mains[ma].values;
      std::vector<double>& vb = dec.mains[mb].values;
      for (std::size_t k = 0; k < va.size(); ++k) va[k] += row_mass[map_a[k]];
      for (std::size_t k = 0; k < vb.size(); ++k) vb[k] += col_mass[map_b[k]];
    }
    in.importance = weighted_variance(DSpan(in.values), DSpan(joint));
  }
  for (std::size_t m = 0; m < dec.mains.size(); ++m) {
    if (opt.purify) dec.intercept += center_main(dec.mains[m].values, DSpan(counts.mains[m]));
    dec.mains[m].importance = weighted_variance(DSpan(dec.mains[m].values), DSpan(counts.mains[m]));
  }
  return report;
}

FitReport fit_effects(Decomposition& dec, const MatrixView& X, const FitOptions& options) {
  if (X.rows == 0) throw std::invalid_argument("the data has no rows");
  return fit_effects_from_counts(dec, count_cells(dec, X), options);
}

}  // namespace mirt
