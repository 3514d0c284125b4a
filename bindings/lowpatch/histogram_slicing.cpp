// HistogramSlicing: weak regions among equal-width bins of one slicing
// feature, or of the second feature inside each bin of the first. A
// categorical feature's bins are its levels, and its weak levels form one
// region, a level set. mirt.diagnoser._histogram hands the searches their
// settings and level counts as plain numbers (checked there) and gets plain
// arrays back (edges, per-bin figures, the fused regions, the bins' rows); it
// scores the bins of a metric that is not additive and builds the records.
#include <pybind11/stl.h>

#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "context.hpp"
#include "mirt/bin_sums.hpp"
#include "mirt/histogram.hpp"
#include "mirt/levels.hpp"
#include "mirt/pairwise.hpp"
#include "mirt/span.hpp"
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

// Per-row scores (of an additive metric) and weights, checked by the toolbox
// (lengths again here: the core reads them by the rows' positions).
DSpan span_of(const bind::Optional& a, std::size_t n) {
  if (!a) return {};
  require_same_length(static_cast<std::size_t>(a->size()), n, "scores or weights and x differ");
  return bind::span(*a);
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
const double* known_range(const bind::Optional& ranges, py::ssize_t columns) {
  if (!ranges) return nullptr;
  if (ranges->size() != 2 * columns) throw py::value_error("ranges must hold 2 values a column");
  return ranges->data();
}

// The one-feature search over the values x (the second feature's with two
// slicing features): the raw search and, with `keep_members`, the searched
// rows of each fused region. `levels` counts a categorical feature's levels,
// 0 for a numerical one.
py::tuple search1d(py::handle x_in, py::handle scores_in, py::handle weights_in,
                   py::handle ranges_in, std::size_t levels, bool keep_members,
                   bool weighted_evidence, const Settings& set) {
  bind::ColumnView x = values_to_bin(x_in, "the values to bin");
  const bind::Optional scores = f64_or_none(scores_in, "scores");
  const bind::Optional weights = f64_or_none(weights_in, "weights");
  const bind::Optional ranges = f64_or_none(ranges_in, "ranges");
  const DSpan sc = span_of(scores, x.column.size()), w = span_of(weights, x.column.size());
  SearchParams params = params_of(set);
  params.weighted_evidence = weighted_evidence;
  params.keep_members = keep_members;
  if (levels == 0) params.known_range = known_range(ranges, 1);
  const bool additive = scores.has_value();
  Search1D s;
  {
    const RowSet rows{x.column, nullptr};
    py::gil_scoped_release nogil;
    if (levels > 0) {
      s = additive ? search_levels(rows, levels, sc, w, params) : bin_levels(rows, levels);
    } else {
      s = additive ? search_1d_additive(rows, sc, w, params) : bin_rows(rows, params);
    }
  }
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

// The two-feature search over the columns of x, whose ranges (and that every
// value is finite) the caller found while copying them.
py::tuple search2d(py::handle x, py::handle scores_in, py::handle weights_in,
                   py::handle ranges_in, std::size_t levels1, std::size_t levels2,
                   bool weighted_evidence, const Settings& set) {
  const bind::Optional scores = f64_or_none(scores_in, "scores");
  const bind::Optional weights = f64_or_none(weights_in, "weights");
  const bind::Optional ranges = f64_or_none(ranges_in, "ranges");
  if (!ranges) throw py::value_error("the columns' ranges are needed");
  const bind::ColumnView c0 = bind::column_view(x, 0, "the values to bin");
  const bind::ColumnView c1 = bind::column_view(x, 1, "the values to bin");
  const std::size_t n = c0.column.size();
  if (n == 0) mirt_error("there are no rows to bin");
  const DSpan sc = span_of(scores, n), w = span_of(weights, n);
  SearchParams params = params_of(set);
  params.weighted_evidence = weighted_evidence;
  params.known_range = known_range(ranges, 2);
  Search2D s;
  {
    py::gil_scoped_release nogil;
    s = search_2d(c0.column, c1.column, sc, w, scores.has_value(), params, levels1, levels2);
  }
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
// (count, sum, weight_sum or None, product_sum or None).
struct Sums {
  bind::I64Array count;
  bind::F64Array sum;
  bind::Optional ws, ps;
  explicit Sums(const py::tuple& t)
      : count(bind::as_i64(t[0], "count")),
        sum(bind::as_f64_1d(t[1], "sum")),
        ws(f64_or_none(t[2], "weight_sum")),
        ps(f64_or_none(t[3], "product_sum")) {}

  // The totals of bins [begin, end).
  BinSums of(std::size_t begin, std::size_t end) const {
    const bool weighted = ws.has_value() && ps.has_value();
    const auto n = static_cast<std::size_t>(count.size());
    if (end > n || static_cast<std::size_t>(sum.size()) != n ||
        (weighted && (static_cast<std::size_t>(ws->size()) != n ||
                      static_cast<std::size_t>(ps->size()) != n))) {
      throw py::value_error("the sums do not match the bins");
    }
    BinSums out(end - begin, weighted);
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
};

SearchParams sums_params(const Settings& set, bool weighted_evidence) {
  SearchParams params = params_of(set);
  params.weighted_evidence = weighted_evidence;
  return params;
}

// The one-feature search from totals of per-bin (per-level) sums: the same
// records as the search over rows.
py::tuple search1d_sums(const py::tuple& sums_in, double lo, double hi,
                        const std::optional<std::vector<double>>& edges, std::size_t levels,
                        bool weighted_evidence, const Settings& set) {
  const SearchParams params = sums_params(set, weighted_evidence);
  const Sums sums(sums_in);
  const BinSums totals = sums.of(0, static_cast<std::size_t>(sums.count.size()));
  if (levels > 0) return raw_1d(search_levels_from_sums(totals, params));
  if (!edges) throw py::value_error("a numerical feature's sums need their edges");
  return raw_1d(search_1d_from_sums(lo, hi, *edges, totals, params));
}

// The two-feature search from totals of per-cell sums: every first bin's
// support and second-feature range, its own second-feature edges, and the
// cells' sums first bin by first bin.
py::tuple search2d_sums(const py::tuple& sums_in, double lo, double hi,
                        const std::optional<std::vector<double>>& edges,
                        const std::vector<std::int64_t>& support, const std::vector<double>& lo2,
                        const std::vector<double>& hi2,
                        const std::optional<std::vector<std::vector<double>>>& edges2,
                        std::size_t levels1, std::size_t levels2, bool weighted_evidence,
                        const Settings& set) {
  const SearchParams params = sums_params(set, weighted_evidence);
  const Sums sums(sums_in);
  Search2D s;
  s.lo1 = lo;
  s.hi1 = hi;
  if (levels1 == 0 && !edges) throw py::value_error("a numerical feature's sums need their edges");
  if (levels1 == 0) s.edges = *edges;
  const std::size_t k = support.size();
  s.bins.resize(k);
  std::size_t at = 0;
  for (std::size_t i = 0; i < k; ++i) {
    FirstBin& fb = s.bins[i];
    fb.lb = levels1 > 0 ? static_cast<double>(i) : s.edges.at(i);
    fb.ub = levels1 > 0 ? fb.lb : s.edges.at(i + 1);
    fb.support = support[i];
    fb.lo2 = lo2.at(i);
    fb.hi2 = hi2.at(i);
    if (levels2 == 0 && (!edges2 || edges2->at(i).size() < 2)) {
      throw py::value_error("every first bin needs the second feature's edges");
    }
    const std::vector<double> e = levels2 > 0 ? std::vector<double>() : edges2->at(i);
    const std::size_t cells = levels2 > 0 ? levels2 : e.size() - 1;
    if (fb.support > 0) {
      const BinSums inner = sums.of(at, at + cells);
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
