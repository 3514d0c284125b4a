// HistogramSlicing: weak regions among equal-width bins of one slicing
// feature, or of the second feature inside each bin of the first. A
// categorical feature's bins are its levels, and its weak levels form one
// region, a level set. mirt.diagnoser._histogram hands the searches their
// settings and level counts as plain numbers (checked there) and gets plain
// arrays back (edges, per-bin figures, the fused regions, the bins' rows); it
// scores the bins of a metric that is not additive and builds the records.
#include <cmath>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "context.hpp"
#include "mirt/bin_sums.hpp"
#include "mirt/histogram.hpp"
#include "mirt/levels.hpp"
#include "mirt/pairwise.hpp"
#include "setup.hpp"

namespace mirt::lowpatch {

namespace {

// The settings every search shares, as the toolbox checked them:
// (bins, min_samples, score_sign, threshold_value, perfect_fit).
using Settings = std::tuple<std::int64_t, double, double, double, bool>;

SearchParams params_of(const Settings& set) {
  SearchParams p;
  p.order = bind::numpy_sum_order();
  std::tie(p.max_bins, p.min_samples, p.sign, p.threshold_value, p.perfect_fit) = set;
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

// The one-feature search over the values x (the second feature's with two
// slicing features): the raw search and, with `keep_members`, the searched
// rows of each fused region. `levels` counts a categorical feature's levels,
// 0 for a numerical one.
py::tuple search1d(py::handle x_in, py::handle scores, py::handle weights, py::handle ranges,
                   std::size_t levels, bool additive, bool keep_members, const Settings& set) {
  bind::ColumnView x = values_to_bin(x_in, "the values to bin");
  Numbers num = numbers_of(scores, weights, static_cast<py::ssize_t>(x.column.size()), additive);
  SearchParams params = params_of(set);
  params.weighted_evidence = weighted_evidence(num);
  params.keep_members = keep_members;
  bind::F64Array range;
  if (levels == 0) params.known_range = known_range(ranges, range, 1);
  Search1D s;
  {
    const RowSet rows{x.column, nullptr};
    py::gil_scoped_release nogil;
    if (levels > 0) {
      s = additive ? search_levels(rows, levels, num.score_span(), num.weight_span(), params)
                   : bin_levels(rows, levels);
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
    if (levels > 0) {
      found.level_sets.push_back({s.absorbed, std::move(region.members)});
    } else {
      found.regions.push_back({region.lb, region.ub, std::move(region.members)});
    }
  }
  return py::make_tuple(raw_1d(s), py::cast(std::move(found)));
}

// A finished two-feature search as plain data: the first feature's edges and
// range, then per first bin its edges, support, the second feature's range,
// the inner search (None for an empty bin) and, for metrics that are not
// additive, the bin's rows.
py::tuple raw_2d(const Search2D& s) {
  py::list first, inner, rows;
  for (const FirstBin& fb : s.bins) {
    first.append(py::make_tuple(fb.lb, fb.ub, fb.support, fb.lo2, fb.hi2));
    inner.append(fb.support == 0 ? py::object(py::none()) : py::object(raw_1d(fb.inner)));
    rows.append(fb.rows.empty() ? py::object(py::none()) : py::object(bind::to_numpy(fb.rows)));
  }
  return py::make_tuple(bind::doubles(s.edges), s.lo1, s.hi1, first, inner, rows);
}

py::tuple search2d(py::handle x, py::handle scores, py::handle weights, py::handle ranges,
                   std::size_t levels1, std::size_t levels2, bool additive, const Settings& set) {
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
  Numbers num = numbers_of(scores, weights, n, additive);
  SearchParams params = params_of(set);
  params.weighted_evidence = weighted_evidence(num);
  params.known_range = known;
  Search2D s;
  {
    py::gil_scoped_release nogil;
    s = search_2d(c0.column, c1.column, num.score_span(), num.weight_span(), additive, params,
                  levels1, levels2);
  }
  bool finite = true;
  for (const FirstBin& fb : s.bins) finite = finite && (fb.support == 0 || bins_finite(fb.inner));
  require_finite_after(num, !additive || finite);
  return raw_2d(s);
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

SearchParams sums_params(const Settings& set, bool weighted_evidence) {
  SearchParams params = params_of(set);
  params.weighted_evidence = weighted_evidence;
  return params;
}

// The one-feature search from totals of per-bin (per-level) sums: the same
// records as the search over rows.
py::tuple search1d_sums(py::handle sums, double lo, double hi, py::handle edges,
                        std::size_t levels, bool weighted_evidence, const Settings& set) {
  const SearchParams params = sums_params(set, weighted_evidence);
  const BinSums totals = sums_of(sums, 0, n_bins(sums));
  return raw_1d(levels > 0 ? search_levels_from_sums(totals, params)
                           : search_1d_from_sums(lo, hi, doubles_of(edges, "edges"), totals,
                                                 params));
}

// The two-feature search from totals of per-cell sums: every first bin's
// support and second-feature range, its own second-feature edges, and the
// cells' sums first bin by first bin.
py::tuple search2d_sums(py::handle sums, double lo, double hi, py::handle edges,
                        py::handle support_in, py::handle lo2_in, py::handle hi2_in,
                        py::handle edges2_in, std::size_t levels1, std::size_t levels2,
                        bool weighted_evidence, const Settings& set) {
  const SearchParams params = sums_params(set, weighted_evidence);
  Search2D s;
  s.lo1 = lo;
  s.hi1 = hi;
  if (levels1 == 0) s.edges = doubles_of(edges, "edges");
  const std::vector<double> lo2 = doubles_of(lo2_in, "lo2");
  const std::vector<double> hi2 = doubles_of(hi2_in, "hi2");
  const py::list edges2 =
      edges2_in.is_none() ? py::list() : py::list(py::reinterpret_borrow<py::object>(edges2_in));
  const py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> support(
      py::reinterpret_borrow<py::object>(support_in));
  const std::size_t k = static_cast<std::size_t>(support.size());
  s.bins.resize(k);
  std::size_t at = 0;
  for (std::size_t i = 0; i < k; ++i) {
    FirstBin& fb = s.bins[i];
    fb.lb = levels1 > 0 ? static_cast<double>(i) : s.edges.at(i);
    fb.ub = levels1 > 0 ? fb.lb : s.edges.at(i + 1);
    fb.support = support.data()[i];
    fb.lo2 = lo2.at(i);
    fb.hi2 = hi2.at(i);
    const std::vector<double> e =
        levels2 > 0 ? std::vector<double>() : doubles_of(edges2[i], "edges2");
    const std::size_t cells = levels2 > 0 ? levels2 : e.size() - 1;
    if (fb.support > 0) {
      const BinSums inner = sums_of(sums, at, at + cells);
      fb.inner = levels2 > 0 ? search_levels_from_sums(inner, params)
                             : search_1d_from_sums(fb.lo2, fb.hi2, e, inner, params);
    }
    at += cells;
  }
  return raw_2d(s);
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

  // The searches, private to mirt.diagnoser._histogram, which checks what
  // they are given and names it in its messages.
  m.def("_search_1d", &search1d);
  m.def("_search_2d", &search2d);
  m.def("_search_1d_sums", &search1d_sums);
  m.def("_search_2d_sums", &search2d_sums);
  m.def("_quantile_position", &quantile_position_py);
}

}  // namespace mirt::lowpatch
