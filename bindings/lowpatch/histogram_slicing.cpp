// HistogramSlicing: weak regions among equal-width bins of one slicing
// feature, or of the second feature inside each bin of the first. A
// categorical feature's bins are its levels, and its weak levels form one
// region, a level set. The searches return plain arrays (edges, per-bin
// figures, the fused regions, the bins' rows); mirt.diagnoser._histogram
// scores the bins of a metric that is not additive and builds the records.
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

// A finished one-feature search as plain arrays, which the toolbox turns
// into records: edges, per-bin counts, values and weighted flags, the
// absorbed flags, the fused regions field by field, and every bin's rows
// (filled for metrics that are not additive only).
py::tuple raw_1d(const Search1D& s) {
  const std::size_t k = s.bins.size();
  Index counts(k);
  std::vector<double> values(k);
  std::vector<char> weighted(k);
  for (std::size_t i = 0; i < k; ++i) {
    counts[i] = s.bins[i].count;
    values[i] = s.bins[i].value;
    weighted[i] = s.bins[i].weighted ? 1 : 0;
  }
  const std::size_t r = s.regions.size();
  std::vector<double> lb(r), ub(r), rule_lb(r), rule_ub(r), rule_value(r), lb_q(r), ub_q(r);
  std::vector<char> has_rule(r);
  Index rule_count(r);
  for (std::size_t i = 0; i < r; ++i) {
    const Region& g = s.regions[i];
    lb[i] = g.lb;
    ub[i] = g.ub;
    has_rule[i] = g.has_rule ? 1 : 0;
    rule_lb[i] = g.rule_lb;
    rule_ub[i] = g.rule_ub;
    rule_count[i] = g.rule_count;
    rule_value[i] = g.rule_value;
    lb_q[i] = g.lb_quantile;
    ub_q[i] = g.ub_quantile;
  }
  const py::tuple regions =
      py::make_tuple(bind::doubles(lb), bind::doubles(ub), bind::flags(has_rule),
                     bind::doubles(rule_lb), bind::doubles(rule_ub), bind::to_numpy(rule_count),
                     bind::doubles(rule_value), bind::doubles(lb_q), bind::doubles(ub_q));
  return py::make_tuple(bind::doubles(s.edges), bind::to_numpy(counts), bind::doubles(values),
                        bind::flags(weighted), bind::flags(s.absorbed), regions,
                        bind::to_numpy(Index(s.bin_offsets.begin(), s.bin_offsets.end())),
                        bind::to_numpy(s.bin_rows));
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

// The levels of slicing feature k (0 first, 1 second) when it is categorical.
std::optional<FeatureLevels> slicing_levels(py::handle self, std::size_t k) {
  py::list fidx = bind::to_list(self.attr("fidx"));
  if (fidx.size() <= k) return std::nullopt;
  return feature_levels(self, fidx[k].cast<py::ssize_t>());
}

// The one-feature search: (raw search, levels) and, with
// `keep_members`, the searched rows of each fused region. `levels` is the
// number of levels of a categorical feature, 0 for a numerical one.
std::pair<py::tuple, py::object> search1d(py::handle self, const Args& a, py::handle ranges,
                                          bool keep_members, bool perfect_fit) {
  const bool two = py::len(self.attr("fidx")) != 1;
  const bool additive = truthy(self.attr("is_metric_additive"));
  bind::ColumnView x = values_to_bin(a["x"], "the values to bin");
  Numbers num = numbers_of(a["scores"], a["sample_weight"],
                           static_cast<py::ssize_t>(x.column.size()), additive);
  SearchParams params = search_params(self);
  params.weighted_evidence = weighted_evidence(num);
  params.perfect_fit = perfect_fit;
  params.keep_members = keep_members && additive && !two;
  // With two slicing features the values are the second feature's.
  const std::optional<FeatureLevels> lv = slicing_levels(self, two ? 1 : 0);
  bind::F64Array range;
  if (!lv) params.known_range = known_range(ranges, range, 1);
  Search1D s;
  {
    const RowSet rows{x.column, nullptr};
    py::gil_scoped_release nogil;
    if (lv) {
      s = additive ? search_levels(rows, lv->n, num.score_span(), num.weight_span(), params)
                   : bin_levels(rows, lv->n);
    } else {
      s = additive ? search_1d_additive(rows, num.score_span(), num.weight_span(), params)
                   : bin_rows(rows, params);
    }
  }
  require_finite_after(num, !additive || bins_finite(s));
  // The regions' rows, found by the search, spare the driver a pass.
  FoundRegions found{s.hi, {}, {}};
  for (Region& region : s.regions) {
    if (!region.has_members) continue;
    if (lv) {
      found.level_sets.push_back({s.absorbed, std::move(region.members)});
    } else {
      found.regions.push_back({region.lb, region.ub, std::move(region.members)});
    }
  }
  return {py::make_tuple(raw_1d(s), lv ? lv->n : 0),
          py::cast(std::move(found))};
}

// A finished two-feature search as plain data: the first feature's edges and
// range, then per first bin its edges, support, the second feature's range,
// the inner search (None for an empty bin) and, for metrics that are not
// additive, the bin's rows.
py::tuple raw_2d(const Search2D& s, std::size_t levels1, std::size_t levels2) {
  py::list first, inner, rows;
  for (const FirstBin& fb : s.bins) {
    first.append(py::make_tuple(fb.lb, fb.ub, fb.support, fb.lo2, fb.hi2));
    inner.append(fb.support == 0 ? py::object(py::none()) : py::object(raw_1d(fb.inner)));
    rows.append(fb.rows.empty() ? py::object(py::none()) : py::object(bind::to_numpy(fb.rows)));
  }
  return py::make_tuple(bind::doubles(s.edges), s.lo1, s.hi1, first, inner, rows, levels1,
                        levels2);
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
  return raw_2d(s, lv1 ? lv1->n : 0, lv2 ? lv2->n : 0);
}

// Where [lb, ub] sits among the second feature's values of some rows.
py::tuple quantile_position_py(py::handle x, py::handle rows, double lb, double ub, double hi) {
  const bind::ColumnView c1 = bind::column_view(x, 1, "the values to bin");
  const bind::I64Array r = bind::as_i64(rows, "rows");
  const Index at(r.data(), r.data() + r.size());
  const QuantilePosition q = quantile_position(RowSet{c1.column, &at}, lb, ub, hi);
  return py::make_tuple(bind::np_float(q.lb_pct), bind::np_float(q.ub_pct));
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
  const std::optional<FeatureLevels> lv = slicing_levels(self, 0);
  const BinSums sums = sums_of(a["sums"], 0, n_bins(a["sums"]));
  Search1D s = lv ? search_levels_from_sums(sums, params)
                  : search_1d_from_sums(bind::to_double(a["lo"]), bind::to_double(a["hi"]),
                                        doubles_of(a["edges"], "edges"), sums, params);
  return py::make_tuple(raw_1d(s), lv ? lv->n : 0);
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
  return raw_2d(s, lv1 ? lv1->n : 0, lv2 ? lv2->n : 0);
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
          doc("HistogramSlicing._fit1d"), bind::call_python("mirt.diagnoser._histogram", "fit1d"));
  cls.def("_fit2d", {req("x"), req("y"), req("preds"), req("scores"), opt_none("sample_weight")},
          doc("HistogramSlicing._fit2d"), bind::call_python("mirt.diagnoser._histogram", "fit2d"));
  cls.finish();

  // The searches as the slicer's own `_fit` runs them: on columns whose range
  // it found while copying them, and, for one feature, keeping the rows of
  // each fused region for the driver.
  const std::string module = m.attr("__name__").cast<std::string>();
  const std::vector<Param> params{req("slicer"), req("x"), req("y"), req("preds"), req("scores"),
                                  opt_none("lb1"), opt_none("ub1"), opt_none("sample_weight"),
                                  opt_none("ranges"), opt("perfect_fit", py::bool_(false))};
  std::vector<Param> params_1d = params;
  params_1d.push_back(opt("keep_members", py::bool_(true)));
  m.attr("_search_1d") = bind::make_function(
      "_search_1d", "_search_1d", module, params_1d,
      "The search of ``_fit1d`` as plain arrays, with known ranges; also the fused regions' "
      "rows.\n",
      [](py::handle, const Args& a) {
        auto [result, found] =
            search1d(a["slicer"], a, a["ranges"], truthy(a["keep_members"]),
                     truthy(a["perfect_fit"]));
        return py::make_tuple(result, found);
      },
      bind::Kind::function);
  const std::vector<Param> sums_params_list{
      req("slicer"), req("sums"), opt_none("lo"), opt_none("hi"), opt_none("edges"),
      opt_none("support"), opt_none("lo2"), opt_none("hi2"), opt_none("edges2"),
      opt("weighted_evidence", py::bool_(false)), opt("perfect_fit", py::bool_(false))};
  m.attr("_search_1d_sums") = bind::make_function(
      "_search_1d_sums", "_search_1d_sums", module, sums_params_list,
      "The search of ``_fit1d`` from totals of per-bin sums, as plain arrays.\n",
      [](py::handle, const Args& a) { return search1d_sums(a["slicer"], a); },
      bind::Kind::function);
  m.attr("_search_2d_sums") = bind::make_function(
      "_search_2d_sums", "_search_2d_sums", module, sums_params_list,
      "The search of ``_fit2d`` from totals of per-cell sums, as plain arrays.\n",
      [](py::handle, const Args& a) { return search2d_sums(a["slicer"], a); },
      bind::Kind::function);
  m.attr("_search_2d") = bind::make_function(
      "_search_2d", "_search_2d", module, params, "The search of ``_fit2d`` as plain data, with known ranges.\n",
      [](py::handle, const Args& a) {
        return search2d(a["slicer"], a, a["ranges"], truthy(a["perfect_fit"]));
      },
      bind::Kind::function);
  m.attr("_quantile_position") = bind::make_function(
      "_quantile_position", "_quantile_position", module,
      {req("x"), req("rows"), req("lb"), req("ub"), req("hi")},
      "Percentages of the rows' second-feature values below lb and below ub.\n",
      [](py::handle, const Args& a) {
        return quantile_position_py(a["x"], a["rows"], bind::to_double(a["lb"]),
                                    bind::to_double(a["ub"]), bind::to_double(a["hi"]));
      },
      bind::Kind::function);
}

}  // namespace mirt::lowpatch
