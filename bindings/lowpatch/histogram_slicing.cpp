// HistogramSlicing: weak regions among equal-width bins of one slicing
// feature, or of the second feature inside each bin of the first. A
// categorical feature's bins are its levels, and its weak levels form one
// region, a level set. For an additive metric the whole search is one call
// into the core; a metric that is not additive is called once per non-empty
// bin on the rows the core found.
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "context.hpp"
#include "levels.hpp"
#include "mirt/bin_sums.hpp"
#include "mirt/histogram.hpp"
#include "mirt/levels.hpp"
#include "mirt/pairwise.hpp"
#include "setup.hpp"

namespace mirt::lowpatch {

namespace {

std::int64_t checked_bins(py::handle bins) {
  const bool is_int = (py::isinstance<py::int_>(bins) && !py::isinstance<py::bool_>(bins)) ||
                      py::isinstance(bins, bind::numpy().attr("integer"));
  if (!is_int || bind::le(bins, py::int_(0))) {
    mirt_error("bins must be a positive integer, got " + py::repr(bins).cast<std::string>());
  }
  // Bins are capped at the distinct values anyway; a count beyond int64 is
  // refused in words rather than by a failed conversion.
  int overflow = 0;
  const py::int_ as_int(py::reinterpret_borrow<py::object>(bins));
  const long long value = PyLong_AsLongLongAndOverflow(as_int.ptr(), &overflow);
  if (overflow != 0) {
    mirt_error("bins must be a positive integer below 2**63, got " +
               py::repr(bins).cast<std::string>());
  }
  if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
  return static_cast<std::int64_t>(value);
}

SearchParams search_params(py::handle self) {
  SearchParams p;
  p.order = bind::numpy_sum_order();
  p.max_bins = checked_bins(self.attr("bins"));
  p.min_samples = bind::to_double(self.attr("min_samples"));
  p.sign = bind::to_double(self.attr("score_sign"));
  py::object tv = self.attr("threshold_value");
  p.threshold_value = bind::to_double(tv);
  return p;
}

py::object nan_float() { return py::float_(std::numeric_limits<double>::quiet_NaN()); }

py::dict bounds(py::handle lb, py::handle ub) {
  py::dict d;
  d["lb"] = lb;
  d["ub"] = ub;
  return d;
}

// The caller's view of a search: who the rows are and what the fixed first
// bounds are in two-feature mode.
struct Mode {
  bool two = false;
  py::object lb1, ub1;  // fixed first-feature bounds (two-feature mode)
};

py::dict splits_of(const Mode& mode, py::handle lb, py::handle ub) {
  py::dict splits;
  if (mode.two) {
    splits["f0"] = bounds(mode.lb1, mode.ub1);
    splits["f1"] = bounds(lb, ub);
  } else {
    splits["f0"] = bounds(lb, ub);
  }
  return splits;
}

py::dict rule(py::dict splits, py::object value, std::int64_t count) {
  py::dict r;
  r["splits"] = std::move(splits);
  r["values"] = std::move(value);
  r["counts"] = py::int_(count);
  return r;
}

py::dict region_of(const Mode& mode, py::handle lb, py::handle ub) {
  py::dict region;
  if (mode.two) {
    region["lb1"] = mode.lb1;
    region["ub1"] = mode.ub1;
    region["lb2"] = lb;
    region["ub2"] = ub;
  } else {
    region["lb1"] = lb;
    region["ub1"] = ub;
  }
  return region;
}

struct Records {
  py::list weak_region;
  py::list rule_list;
};

// Per-bin scores of a metric that is not additive: the metric on each
// non-empty bin's rows, and the bins' weak flags.
std::vector<py::object> score_bins(py::handle self, Search1D& s, py::handle y, py::handle preds,
                                   py::handle weights, bool perfect_fit) {
  std::vector<py::object> values(s.bins.size());
  py::object scoring = self.attr("scoring_func");
  py::object sign = self.attr("score_sign");
  py::object threshold_value = self.attr("threshold_value");
  py::object y_arr = bind::numpy().attr("asarray")(y);
  py::object p_arr = bind::numpy().attr("asarray")(preds);
  py::object w_arr = weights.is_none() ? py::object(py::none())
                                       : bind::numpy().attr("asarray")(weights);
  for (std::size_t i = 0; i < s.bins.size(); ++i) {
    if (s.bins[i].count == 0) {
      values[i] = nan_float();
      continue;
    }
    const auto begin = static_cast<std::size_t>(s.bin_offsets[i]);
    const auto end = static_cast<std::size_t>(s.bin_offsets[i + 1]);
    py::array_t<std::int64_t> pos(static_cast<py::ssize_t>(end - begin));
    std::copy(s.bin_rows.begin() + static_cast<std::ptrdiff_t>(begin),
              s.bin_rows.begin() + static_cast<std::ptrdiff_t>(end), pos.mutable_data());
    py::dict kw;
    kw["sample_weight"] = w_arr.is_none() ? py::object(py::none()) : py::object(w_arr[pos]);
    values[i] = scoring(y_arr[pos], p_arr[pos], **kw);
    s.bins[i].weak =
        !perfect_fit && bind::le(bind::mul(sign, values[i]), bind::mul(sign, threshold_value));
  }
  return values;
}

// The rows of the flagged levels, ascending: what a metric that is not
// additive scores a set of levels on.
py::array_t<std::int64_t> rows_of_levels(const Search1D& s, const std::vector<char>& in) {
  Index rows;
  for (std::size_t k = 0; k < in.size(); ++k) {
    if (!in[k]) continue;
    rows.insert(rows.end(), s.bin_rows.begin() + s.bin_offsets[k],
                s.bin_rows.begin() + s.bin_offsets[k + 1]);
  }
  std::sort(rows.begin(), rows.end());
  return bind::to_numpy(rows);
}

// A metric that is not additive on the weak levels of a categorical search:
// their set is one region when it holds at least min_samples rows, and its
// score is the metric on their rows. Sets `absorbed`; returns the region's
// bounds (the set) and score, or nothing.
std::optional<std::pair<py::object, py::object>> scored_level_set(
    py::handle self, Search1D& s, const FeatureLevels& lv, const std::vector<py::object>& values,
    bool perfect_fit, py::handle y, py::handle preds, py::handle weights) {
  for (std::size_t i = 0; i < s.bins.size(); ++i) {
    s.bins[i].value = s.bins[i].count == 0 ? std::nan("") : bind::to_double(values[i]);
  }
  SearchParams params = search_params(self);
  params.perfect_fit = perfect_fit;
  const LevelRegion set = weak_levels(s.bins, params);
  if (!set.kept) return std::nullopt;
  s.absorbed = set.in;
  const py::array_t<std::int64_t> pos = rows_of_levels(s, set.in);
  const auto rows = [&](py::handle v) { return bind::numpy().attr("asarray")(v)[pos]; };
  py::dict kw;
  kw["sample_weight"] = weights.is_none() ? py::object(py::none()) : py::object(rows(weights));
  py::object score = self.attr("scoring_func")(rows(y), rows(preds), **kw);
  return std::make_pair(lv.set_of(set.in), score);
}

// Rule records and weak regions of a finished search, in the order the
// search defines: fused rules first, then the untouched bin rules. With
// `lv` the bins are the levels of a categorical feature, each named by its
// level set in both bounds, and the region is the set of the weak levels.
Records records_of(py::handle self, Search1D& s, const Mode& mode, bool additive,
                   bool perfect_fit, py::handle y, py::handle preds, py::handle weights,
                   const FeatureLevels* lv = nullptr) {
  const bind::GcPause no_gc;
  Records out;
  std::vector<py::object> edges;
  for (double e : s.edges) edges.push_back(bind::np_float(e));
  auto bin_lb = [&](std::size_t i) { return lv ? lv->single(i) : edges[i]; };
  auto bin_ub = [&](std::size_t i, const py::object& lb) { return lv ? lb : edges[i + 1]; };
  std::vector<py::object> values;
  if (additive) {
    for (const Bin& b : s.bins) {
      values.push_back(b.count == 0 ? nan_float() : bind::np_float(b.value));
    }
  } else {
    values = score_bins(self, s, y, preds, weights, perfect_fit);
  }
  std::vector<py::dict> bin_rules;
  for (std::size_t i = 0; i < s.bins.size(); ++i) {
    if (i % 1024 == 1023) bind::check_signals();
    const py::object lb = bin_lb(i);
    bin_rules.push_back(rule(splits_of(mode, lb, bin_ub(i, lb)), values[i], s.bins[i].count));
  }
  if (!additive && lv) {
    if (auto set = scored_level_set(self, s, *lv, values, perfect_fit, y, preds, weights)) {
      out.weak_region.append(region_of(mode, set->first, set->first));
      std::int64_t count = 0;
      for (std::size_t i = 0; i < s.bins.size(); ++i) count += s.absorbed[i] ? s.bins[i].count : 0;
      out.rule_list.append(rule(splits_of(mode, set->first, set->first), set->second, count));
    }
    for (std::size_t i = 0; i < s.bins.size(); ++i) {
      if (!s.absorbed[i]) out.rule_list.append(bin_rules[i]);
    }
    return out;
  }
  if (!additive) {
    // No fusion: every weak bin is a region of its own, with its bin edges.
    for (std::size_t i = 0; i < s.bins.size(); ++i) {
      if (s.bins[i].weak) out.weak_region.append(region_of(mode, edges[i], edges[i + 1]));
    }
    for (const py::dict& r : bin_rules) out.rule_list.append(r);
    return out;
  }
  for (const Region& region : s.regions) {
    // A categorical search has at most one region, the set of its levels.
    const py::object set = lv ? lv->set_of(s.absorbed) : py::object();
    out.weak_region.append(lv ? region_of(mode, set, set)
                              : region_of(mode, bind::np_float(region.lb),
                                          bind::np_float(region.ub)));
    if (!region.has_rule) continue;
    py::object value = region.rule_count == 0 ? py::object(py::int_(0))
                                              : bind::np_float(region.rule_value);
    const py::dict splits = lv ? splits_of(mode, set, set)
                               : splits_of(mode, bind::np_float(region.rule_lb),
                                           bind::np_float(region.rule_ub));
    out.rule_list.append(rule(splits, value, region.rule_count));
  }
  for (std::size_t i = 0; i < s.bins.size(); ++i) {
    if (!s.absorbed[i]) out.rule_list.append(bin_rules[i]);
  }
  return out;
}

py::array_t<double> edges_array(const std::vector<double>& edges) {
  py::array_t<double> out(static_cast<py::ssize_t>(edges.size()));
  std::copy(edges.begin(), edges.end(), out.mutable_data());
  return out;
}

// Scores and weights as the core reads them. A default pybind11 array is an
// empty array, not a missing one, so presence is tracked explicitly.
struct Numbers {
  std::optional<bind::F64Array> scores;
  std::optional<bind::F64Array> weights;
  DSpan score_span() const { return scores ? bind::span(*scores) : DSpan(); }
  DSpan weight_span() const { return weights ? bind::span(*weights) : DSpan(); }
  py::object weight_object() const {
    return weights ? py::object(*weights) : py::object(py::none());
  }
};

// Every row lies in a bin, so bin means that are all finite mean finite
// scores; otherwise the scores are checked to name the culprit.
bool bins_finite(const Search1D& s) {
  for (const Bin& b : s.bins) {
    if (b.count > 0 && !std::isfinite(b.value)) return false;
  }
  return true;
}

void require_finite_after(const Numbers& num, bool finite) {
  if (!finite && num.scores) require_finite_scores(*num.scores);
}

Numbers numbers_of(py::handle scores, py::handle weights, py::ssize_t n, bool additive) {
  Numbers out;
  // Finiteness is told by the search's sums instead of a pass of its own.
  if (additive) out.scores = checked_scores(scores, n, false);
  py::object w = checked_weights(weights, n, "sample_weight");
  if (!w.is_none()) out.weights = bind::as_f64_1d(w, "sample_weight");
  return out;
}

// Whether the weights of all the searched rows sum to a positive number.
bool weighted_evidence(const Numbers& num) {
  if (!num.weights) return false;
  const DSpan w = num.weight_span();
  const SumOrder order = bind::numpy_sum_order();
  py::gil_scoped_release nogil;
  return numpy_sum(w, order) > 0.0;
}

bind::ColumnView values_to_bin(py::handle x, const std::string& what) {
  if (!bind::is_real_numeric(x)) mirt_error(what + " must hold numbers");
  bind::ColumnView view = bind::vector_view(x, what);
  if (view.column.empty()) mirt_error(what + " is empty: there is nothing to bin");
  // Non-finite values are refused by the search's own pass over the values.
  return view;
}

// The smallest and largest value of each searched column when the caller
// found them (and that every value is finite) while copying the columns.
const double* known_range(py::handle ranges, bind::F64Array& keep, py::ssize_t columns) {
  if (ranges.is_none()) return nullptr;
  keep = bind::as_f64(ranges, "ranges");
  if (keep.size() != 2 * columns) throw py::value_error("ranges must hold 2 values a column");
  return keep.data();
}

// The bins of level codes as edges: level k is the unit interval [k, k + 1).
py::array_t<double> level_edges(std::size_t n_levels) {
  std::vector<double> edges(n_levels + 1);
  for (std::size_t k = 0; k <= n_levels; ++k) edges[k] = static_cast<double>(k);
  return edges_array(edges);
}

// The levels of slicing feature k (0 first, 1 second) when it is categorical.
std::optional<FeatureLevels> slicing_levels(py::handle self, std::size_t k) {
  py::list fidx = bind::to_list(self.attr("fidx"));
  if (fidx.size() <= k) return std::nullopt;
  return feature_levels(self, fidx[k].cast<py::ssize_t>());
}

// The one-feature search: (weak_region, rule_list, bins1d) and, with
// `keep_members`, the searched rows of each fused region.
std::pair<py::tuple, py::object> search1d(py::handle self, const Args& a, py::handle ranges,
                                        bool keep_members, bool perfect_fit) {
  Mode mode;
  mode.two = py::len(self.attr("fidx")) != 1;
  mode.lb1 = a["lb1"];
  mode.ub1 = a["ub1"];
  const bool additive = truthy(self.attr("is_metric_additive"));
  bind::ColumnView x = values_to_bin(a["x"], "the values to bin");
  Numbers num = numbers_of(a["scores"], a["sample_weight"],
                           static_cast<py::ssize_t>(x.column.size()), additive);
  SearchParams params = search_params(self);
  params.weighted_evidence = weighted_evidence(num);
  params.perfect_fit = perfect_fit;
  // With two slicing features the values are the second feature's.
  if (const std::optional<FeatureLevels> lv = slicing_levels(self, mode.two ? 1 : 0)) {
    params.keep_members = keep_members && additive && !mode.two;
    Search1D s;
    {
      const RowSet rows{x.column, nullptr};
      py::gil_scoped_release nogil;
      s = additive ? search_levels(rows, lv->n, num.score_span(), num.weight_span(), params)
                   : bin_levels(rows, lv->n);
    }
    require_finite_after(num, !additive || bins_finite(s));
    // The set's rows, found by the search, spare the driver a pass.
    FoundRegions found{s.hi, {}, {}};
    for (Region& region : s.regions) {
      if (region.has_members) found.level_sets.push_back({s.absorbed, std::move(region.members)});
    }
    Records r = records_of(self, s, mode, additive, perfect_fit, a["y"], a["preds"],
                           num.weight_object(), &*lv);
    return {py::make_tuple(r.weak_region, r.rule_list, level_edges(lv->n)),
            py::cast(std::move(found))};
  }
  bind::F64Array range;
  params.known_range = known_range(ranges, range, 1);
  params.keep_members = keep_members && additive && !mode.two;
  Search1D s;
  {
    const RowSet rows{x.column, nullptr};
    py::gil_scoped_release nogil;
    s = additive ? search_1d_additive(rows, num.score_span(), num.weight_span(), params)
                 : bin_rows(rows, params);
  }
  require_finite_after(num, !additive || bins_finite(s));
  FoundRegions found{s.hi, {}, {}};
  for (Region& region : s.regions) {
    if (region.has_members) found.regions.push_back({region.lb, region.ub, std::move(region.members)});
  }
  Records r = records_of(self, s, mode, additive, perfect_fit, a["y"], a["preds"],
                         num.weight_object());
  return {py::make_tuple(r.weak_region, r.rule_list, edges_array(s.edges)),
          py::cast(std::move(found))};
}

py::object fit1d(py::handle self, const Args& a) {
  return search1d(self, a, py::none(), false, false).first;
}

// The records of a finished two-feature search: every first bin's summary in
// `bin_stats`, its inner search's regions (placed among its rows) and rules.
// `c1` (the second feature's column) places a metric that is not additive's
// single weak bins; an additive search placed its regions itself.
py::tuple records_2d(py::handle self, Search2D& s, const std::optional<FeatureLevels>& lv1,
                     const std::optional<FeatureLevels>& lv2, bool additive, bool perfect_fit,
                     py::handle y, py::handle preds, py::handle weights,
                     const bind::ColumnView* c1) {
  const bind::GcPause no_gc;
  py::list bin_stats, weak_region, rule_list_all;
  for (std::size_t i = 0; i < s.bins.size(); ++i) {
    FirstBin& fb = s.bins[i];
    bind::check_signals();
    py::dict stat;
    Mode mode;
    mode.two = true;
    mode.lb1 = lv1 ? lv1->single(i) : bind::np_float(std::max(fb.lb, s.lo1));
    mode.ub1 = lv1 ? mode.lb1 : bind::np_float(std::min(fb.ub, s.hi1));
    stat["lb1"] = mode.lb1;
    stat["ub1"] = mode.ub1;
    if (fb.support == 0) {
      stat["lb2"] = nan_float();
      stat["ub2"] = nan_float();
      stat["support"] = py::int_(0);
      bin_stats.append(stat);
      continue;
    }
    if (lv2) {
      // The second feature's range in the bin: the levels its rows have.
      std::vector<char> present(lv2->n, 0);
      for (std::size_t k = 0; k < lv2->n; ++k) present[k] = fb.inner.bins[k].count > 0;
      const py::object set = lv2->set_of(present);
      stat["lb2"] = set;
      stat["ub2"] = set;
    } else {
      stat["lb2"] = bind::np_float(fb.lo2);
      stat["ub2"] = bind::np_float(fb.hi2);
    }
    stat["support"] = py::int_(fb.support);
    bin_stats.append(stat);
    if (!additive) {
      // The bin's overall score is what the inner search is handed; the
      // metric may refuse a bin (say, a single class), and that must surface.
      py::array_t<std::int64_t> pos = bind::to_numpy(fb.rows);
      py::dict kw;
      kw["sample_weight"] = weights.is_none() ? py::object(py::none()) : py::object(weights[pos]);
      self.attr("scoring_func")(y[pos], preds[pos], **kw);
    }
    Records r = records_of(self, fb.inner, mode, additive, perfect_fit, y, preds, weights,
                           lv2 ? &*lv2 : nullptr);
    // The search placed its fused regions already; single weak bins (metrics
    // that are not additive) are placed here among the bin's rows. A set of
    // levels has no place among ordered values.
    std::size_t k = 0;
    for (py::handle item : r.weak_region) {
      QuantilePosition q{};
      if (lv2) {
        q = {std::nan(""), std::nan("")};
      } else if (additive) {
        const Region& region = fb.inner.regions[k++];
        q = {region.lb_quantile, region.ub_quantile};
      } else {
        const RowSet inner{c1->column, &fb.rows};
        q = quantile_position(inner, bind::to_double(item["lb2"]), bind::to_double(item["ub2"]),
                              fb.hi2);
      }
      item["lb2q"] = bind::np_float(q.lb_pct);
      item["ub2q"] = bind::np_float(q.ub_pct);
      weak_region.append(item);
    }
    for (py::handle rr : r.rule_list) rule_list_all.append(rr);
  }
  self.attr("bin_stats") = bin_stats;
  return py::make_tuple(weak_region, rule_list_all,
                        lv1 ? level_edges(lv1->n) : edges_array(s.edges));
}

py::object search2d(py::handle self, const Args& a, py::handle ranges, bool perfect_fit) {
  const bool additive = truthy(self.attr("is_metric_additive"));
  py::object x = a["x"];
  const py::ssize_t n = bind::n_rows(bind::numpy().attr("asarray")(x));
  bind::F64Array range;
  const double* known = known_range(ranges, range, 2);
  // Columns whose range the caller found were checked to be finite then.
  auto column = [&](py::ssize_t j) {
    return known != nullptr ? bind::column_view(x, j, "the values to bin")
                            : slicing_column(x, j, py::none(), "searched");
  };
  bind::ColumnView c0 = column(0);
  bind::ColumnView c1 = column(1);
  if (n == 0) mirt_error("there are no rows to bin");
  Numbers num = numbers_of(a["scores"], a["sample_weight"], n, additive);
  SearchParams params = search_params(self);
  params.weighted_evidence = weighted_evidence(num);
  params.perfect_fit = perfect_fit;
  params.known_range = known;
  const std::optional<FeatureLevels> lv1 = slicing_levels(self, 0);
  const std::optional<FeatureLevels> lv2 = slicing_levels(self, 1);
  Search2D s;
  {
    py::gil_scoped_release nogil;
    s = search_2d(c0.column, c1.column, num.score_span(), num.weight_span(), additive, params,
                  lv1 ? lv1->n : 0, lv2 ? lv2->n : 0);
  }
  bool finite = true;
  for (const FirstBin& fb : s.bins) finite = finite && (fb.support == 0 || bins_finite(fb.inner));
  require_finite_after(num, !additive || finite);
  py::object weights = num.weight_object();
  py::object y = bind::numpy().attr("asarray")(a["y"]);
  py::object preds = bind::numpy().attr("asarray")(a["preds"]);

  return records_2d(self, s, lv1, lv2, additive, perfect_fit, y, preds, weights, &c1);
}

// Totals of per-bin sums, as the partitions' kernels return them:
// (count, sum, weight_sum or None, product_sum or None), bins [begin, end).
BinSums sums_of(py::handle t, std::size_t begin, std::size_t end) {
  const py::tuple parts = py::reinterpret_borrow<py::tuple>(t);
  const py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> count(
      py::reinterpret_borrow<py::object>(parts[0]));
  const bind::F64Array sum = bind::as_f64_1d(parts[1], "sum");
  const bool weighted = !parts[2].is_none();
  if (end > static_cast<std::size_t>(count.size()) || sum.size() != count.size()) {
    throw py::value_error("the sums do not match the bins");
  }
  BinSums out(end - begin, weighted);
  std::optional<bind::F64Array> ws, ps;
  if (weighted) {
    ws = bind::as_f64_1d(parts[2], "weight_sum");
    ps = bind::as_f64_1d(parts[3], "product_sum");
  }
  for (std::size_t b = begin; b < end; ++b) {
    out.count[b - begin] = count.data()[b];
    out.sum[b - begin] = sum.data()[b];
    if (weighted) {
      out.weight_sum[b - begin] = ws->data()[b];
      out.product_sum[b - begin] = ps->data()[b];
    }
  }
  return out;
}

std::size_t n_bins(py::handle t) {
  return static_cast<std::size_t>(py::len(py::reinterpret_borrow<py::tuple>(t)[0]));
}

std::vector<double> doubles_of(py::handle v, const char* what) {
  const bind::F64Array a = bind::as_f64_1d(v, what);
  return {a.data(), a.data() + a.size()};
}

SearchParams sums_params(py::handle self, const Args& a) {
  SearchParams params = search_params(self);
  params.weighted_evidence = truthy(a["weighted_evidence"]);
  params.perfect_fit = truthy(a["perfect_fit"]);
  return params;
}

// The one-feature search from totals of per-bin (per-level) sums: the same
// records as the search over rows.
py::object search1d_sums(py::handle self, const Args& a) {
  const SearchParams params = sums_params(self, a);
  Mode mode;
  const std::optional<FeatureLevels> lv = slicing_levels(self, 0);
  const BinSums sums = sums_of(a["sums"], 0, n_bins(a["sums"]));
  Search1D s = lv ? search_levels_from_sums(sums, params)
                  : search_1d_from_sums(bind::to_double(a["lo"]), bind::to_double(a["hi"]),
                                        doubles_of(a["edges"], "edges"), sums, params);
  Records r = records_of(self, s, mode, true, params.perfect_fit, py::none(), py::none(),
                         py::none(), lv ? &*lv : nullptr);
  return py::make_tuple(r.weak_region, r.rule_list,
                        lv ? level_edges(lv->n) : edges_array(s.edges));
}

// The two-feature search from totals of per-cell sums: every first bin's
// support and second-feature range, its own second-feature edges, and the
// cells' sums first bin by first bin.
py::object search2d_sums(py::handle self, const Args& a) {
  const SearchParams params = sums_params(self, a);
  const std::optional<FeatureLevels> lv1 = slicing_levels(self, 0);
  const std::optional<FeatureLevels> lv2 = slicing_levels(self, 1);
  Search2D s;
  s.lo1 = bind::to_double(a["lo"]);
  s.hi1 = bind::to_double(a["hi"]);
  if (!lv1) s.edges = doubles_of(a["edges"], "edges");
  const std::vector<double> lo2 = doubles_of(a["lo2"], "lo2");
  const std::vector<double> hi2 = doubles_of(a["hi2"], "hi2");
  const py::list edges2 = a["edges2"].is_none() ? py::list() : py::list(a["edges2"]);
  const py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> support(a["support"]);
  const std::size_t k = static_cast<std::size_t>(support.size());
  s.bins.resize(k);
  std::size_t at = 0;
  for (std::size_t i = 0; i < k; ++i) {
    FirstBin& fb = s.bins[i];
    fb.lb = lv1 ? static_cast<double>(i) : s.edges.at(i);
    fb.ub = lv1 ? fb.lb : s.edges.at(i + 1);
    fb.support = support.data()[i];
    fb.lo2 = lo2.at(i);
    fb.hi2 = hi2.at(i);
    const std::vector<double> e = lv2 ? std::vector<double>() : doubles_of(edges2[i], "edges2");
    const std::size_t cells = lv2 ? lv2->n : e.size() - 1;
    if (fb.support > 0) {
      const BinSums inner = sums_of(a["sums"], at, at + cells);
      fb.inner = lv2 ? search_levels_from_sums(inner, params)
                     : search_1d_from_sums(fb.lo2, fb.hi2, e, inner, params);
    }
    at += cells;
  }
  return records_2d(self, s, lv1, lv2, true, params.perfect_fit, py::none(), py::none(),
                    py::none(), nullptr);
}

py::object fit2d(py::handle self, const Args& a) {
  return search2d(self, a, py::none(), false);
}

}  // namespace

void register_histogram_slicing(py::module_& m, py::handle base) {
  bind::ClassBuilder cls(m, "HistogramSlicing", py::make_tuple(base),
                         "\n    Histogram based slicing for analyzing 1D or 2D numerical features.\n");
  cls.def("__init__",
          {opt_none("estimator"), opt_none("slice_features"), opt_none("task_type"),
           opt("threshold", py::float_(1.2)), opt("min_samples", py::int_(30)),
           opt("bins", py::int_(10)), opt_none("metric"), opt_none("levels")},
          doc("HistogramSlicing.__init__"),
          bind::call_python("mirt.diagnoser._searches", "histogram_init"));
  cls.def("_fit", {req("x"), req("y"), req("preds"), req("scores"), opt_none("sample_weight")},
          doc("HistogramSlicing._fit"),
          bind::call_python("mirt.diagnoser._searches", "histogram_fit"));
  cls.def("_fit1d",
          {req("x"), req("y"), req("preds"), req("scores"), opt_none("lb1"), opt_none("ub1"),
           opt_none("lb2"), opt_none("ub2"), opt_none("sample_weight")},
          doc("HistogramSlicing._fit1d"),
          fit1d);
  cls.def("_fit2d", {req("x"), req("y"), req("preds"), req("scores"), opt_none("sample_weight")},
          doc("HistogramSlicing._fit2d"),
          fit2d);
  cls.finish();

  // The searches as the slicer's own `_fit` runs them: on columns whose range
  // it found while copying them, and, for one feature, keeping the rows of
  // each fused region for the driver.
  const std::string module = m.attr("__name__").cast<std::string>();
  const std::vector<Param> params{req("slicer"), req("x"), req("y"), req("preds"), req("scores"),
                                  opt_none("lb1"), opt_none("ub1"), opt_none("sample_weight"),
                                  opt_none("ranges"), opt("perfect_fit", py::bool_(false))};
  m.attr("_search_1d") = bind::make_function(
      "_search_1d", "_search_1d", module, params,
      "``_fit1d`` with known ranges; also returns the fused regions' rows.\n",
      [](py::handle, const Args& a) {
        auto [result, found] =
            search1d(a["slicer"], a, a["ranges"], true, truthy(a["perfect_fit"]));
        return py::make_tuple(result, found);
      },
      bind::Kind::function);
  const std::vector<Param> sums_params_list{
      req("slicer"), req("sums"), opt_none("lo"), opt_none("hi"), opt_none("edges"),
      opt_none("support"), opt_none("lo2"), opt_none("hi2"), opt_none("edges2"),
      opt("weighted_evidence", py::bool_(false)), opt("perfect_fit", py::bool_(false))};
  m.attr("_search_1d_sums") = bind::make_function(
      "_search_1d_sums", "_search_1d_sums", module, sums_params_list,
      "``_fit1d`` from totals of per-bin sums (rows spread over partitions).\n",
      [](py::handle, const Args& a) { return search1d_sums(a["slicer"], a); },
      bind::Kind::function);
  m.attr("_search_2d_sums") = bind::make_function(
      "_search_2d_sums", "_search_2d_sums", module, sums_params_list,
      "``_fit2d`` from totals of per-cell sums (rows spread over partitions).\n",
      [](py::handle, const Args& a) { return search2d_sums(a["slicer"], a); },
      bind::Kind::function);
  m.attr("_search_2d") = bind::make_function(
      "_search_2d", "_search_2d", module, params, "``_fit2d`` with known ranges.\n",
      [](py::handle, const Args& a) {
        return search2d(a["slicer"], a, a["ranges"], truthy(a["perfect_fit"]));
      },
      bind::Kind::function);
}

}  // namespace mirt::lowpatch
