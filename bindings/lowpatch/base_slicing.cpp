// BaseSlicing: scoring configuration and threshold, and region membership and
// scoring of candidate slices. Its `fit`, the driver that scores the searched
// rows, runs the subclass search and measures every weak region on both sides,
// is orchestration: mirt.diagnoser._driver.fit, over the passes of driver.cpp.
#include <cmath>
#include <string>

#include "context.hpp"
#include "mirt/pairwise.hpp"

namespace mirt::lowpatch {

namespace {

py::object base_init(py::handle self, const Args& a) {
  self.attr("estimator") = a["estimator"];
  self.attr("slice_features") = a["slice_features"];
  self.attr("task_type") = a["task_type"];
  self.attr("metric") = a["metric"];
  self.attr("min_samples") = a["min_samples"];

  py::dict kwargs;
  kwargs["average"] = false;
  py::object config = ctx().get_scoring_metric(self.attr("metric"), **kwargs);
  // Unpacked with Python's own rule and wording.
  py::list items = bind::to_list(config);
  if (items.size() != 5) {
    if (items.size() > 5) throw py::value_error("too many values to unpack (expected 5)");
    throw py::value_error("not enough values to unpack (expected 5, got " +
                          std::to_string(items.size()) + ")");
  }
  self.attr("score_name") = items[0];
  self.attr("score_sign") = items[1];
  self.attr("scoring_func") = items[2];
  self.attr("needs_proba") = items[3];
  self.attr("is_metric_additive") = items[4];

  // Stored so that the weak test is `sign * score <= sign * threshold_value`
  // for every metric: larger-is-better metrics are weak below 1/threshold.
  py::object threshold = a["threshold"];
  const py::int_ zero(0);
  if (bind::gt(items[1], zero) && bind::gt(threshold, zero)) {
    threshold = bind::truediv(py::int_(1), threshold);
  }
  self.attr("threshold") = threshold;
  return py::none();
}

// The mode of the membership helpers: one slicing feature or two.
bool one_feature_mode(py::handle self) { return py::len(self.attr("fidx")) == 1; }

double bound_value(py::handle bound, const char* name) {
  if (bound.is_none()) {
    throw py::type_error(std::string("the bound ") + name +
                         " is None; give a number for the mode the slicer is in");
  }
  return bind::to_double(bound);
}

py::object get_index(py::handle self, const Args& a) {
  const bool one = one_feature_mode(self);
  const char* lb_name = one ? "lb1" : "lb2";
  const char* ub_name = one ? "ub1" : "ub2";
  const Interval iv{bound_value(a[lb_name], lb_name), bound_value(a[ub_name], ub_name),
                    truthy(a["right"])};
  bind::F64Array x = bind::as_f64_1d(a["x"], "x");
  Index idx;
  {
    py::gil_scoped_release nogil;
    idx = members(bind::span(x), iv);
  }
  return bind::to_numpy(idx);
}

// The score of the rows at idx: the (weighted) mean of their scores for an
// additive metric, the metric itself on those rows otherwise; NaN when empty.
// `evidence` is false when the rows' weights do not sum to a positive number
// while all the weights given do: such a score is the plain mean of rows the
// caller weighted 0.
py::object region_score(py::handle self, const Args& a, const py::array_t<std::int64_t>& idx,
                        bool* evidence = nullptr) {
  if (evidence != nullptr) *evidence = true;
  if (idx.size() == 0) return bind::np_float(std::nan(""));
  py::object w = a["sample_weight"];
  if (truthy(self.attr("is_metric_additive"))) {
    bind::F64Array scores = bind::as_f64_1d(a["scores"], "scores");
    const ISpan pos(idx.data(), static_cast<std::size_t>(idx.size()));
    for (std::int64_t p : pos) {
      if (p < 0 || p >= scores.size()) throw std::out_of_range("x and scores differ in length");
    }
    bind::F64Array wa;
    DSpan ws;
    if (!w.is_none()) {
      wa = bind::as_f64_1d(w, "sample_weight");
      if (wa.size() != scores.size()) mirt_error("sample_weight and scores differ in length");
      ws = bind::span(wa);
    }
    // Weights that do not sum to a positive number carry no weighting, so
    // the plain mean is the only meaningful score.
    const SumOrder order = bind::numpy_sum_order();
    const WeightedMean m = mean_with_fallback(bind::span(scores), ws, pos, order);
    if (evidence != nullptr && has_weights(ws) && !m.weighted) {
      *evidence = !(numpy_sum(ws, order) > 0.0);
    }
    return bind::np_float(m.value);
  }
  py::dict kw;
  kw["sample_weight"] = w.is_none() ? py::object(py::none()) : bind::take_rows(w, idx);
  return self.attr("scoring_func")(bind::take_rows(a["y"], idx), bind::take_rows(a["preds"], idx),
                                   **kw);
}

py::array_t<std::int64_t> index_of_slice(py::handle self, const Args& a) {
  py::dict kw;
  kw["right"] = a["right"];
  py::object idx = self.attr("get_index")(a["x"], a["lb1"], a["ub1"], a["lb2"], a["ub2"], **kw);
  return py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(idx);
}

py::dict bound_dict(py::handle lb, py::handle ub) {
  py::dict d;
  d["lb"] = lb;
  d["ub"] = ub;
  return d;
}

py::object get_rule_list(py::handle self, const Args& a) {
  const bool one = one_feature_mode(self);
  py::array_t<std::int64_t> idx = index_of_slice(self, a);
  py::dict splits;
  splits["f0"] = bound_dict(a["lb1"], a["ub1"]);
  if (!one) splits["f1"] = bound_dict(a["lb2"], a["ub2"]);
  py::dict rule;
  rule["splits"] = splits;
  rule["values"] = region_score(self, a, idx);
  rule["counts"] = py::int_(idx.size());
  py::list out;
  out.append(rule);
  return out;
}

py::object evaluate_slice(py::handle self, const Args& a) {
  const bool one = one_feature_mode(self);
  py::list out;
  py::array_t<std::int64_t> idx = index_of_slice(self, a);
  if (idx.size() == 0) return out;
  bool evidence = true;
  py::object score = region_score(self, a, idx, &evidence);
  py::object sign = self.attr("score_sign");
  py::object threshold_value = self.attr("threshold_value");
  if (evidence && bind::le(bind::mul(sign, score), bind::mul(sign, threshold_value))) {
    py::dict region;
    region["lb1"] = a["lb1"];
    region["ub1"] = a["ub1"];
    if (!one) {
      region["lb2"] = a["lb2"];
      region["ub2"] = a["ub2"];
    }
    out.append(region);
  }
  return out;
}

}  // namespace

void register_base_slicing(py::module_& m) {
  bind::ClassBuilder cls(m, "BaseSlicing", py::make_tuple(py::reinterpret_borrow<py::object>(
                                               reinterpret_cast<PyObject*>(&PyBaseObject_Type))),
                         R"(Common base of the weak-region slicers.

    The threshold is defined as threshold * test set performance (for
    regression), and 1 / threshold * test set performance (for classification).
    In practice the direction follows the metric: for a metric where larger is
    better the stored multiplier is ``1 / threshold``, and a region is weak when
    ``score_sign * score <= score_sign * threshold_value``.

    Parameters
    ----------
    estimator : object, default=None
        The fitted model being diagnosed.
    slice_features : str or list of str, default=None
        One or two feature names to slice on.
    task_type : str, default=None
        "regression" or "classification"; stored for the caller.
    threshold : float, default=1.2
        How much worse than average a region must be to count as weak.
    min_samples : int, default=30
        Smallest number of rows of a reported region.
    metric : str or tuple, default=None
        A metric name known to ``mirt.diagnoser.utils.get_scoring_metric``
        (None means "MSE") or a five-item scoring configuration.

    Subclasses provide ``_fit(x, y, preds, scores, sample_weight=None)``,
    which must set ``fidx``, ``threshold_value``, ``weak_region``, ``x``,
    ``y``, ``scores`` and ``rule_list``.
    )");
  cls.def("__init__",
          {opt_none("estimator"), opt_none("slice_features"), opt_none("task_type"),
           opt("threshold", py::float_(1.2)), opt("min_samples", py::int_(30)), opt_none("metric")},
          "Store the settings and resolve the scoring configuration.", base_init);
  cls.def("get_index",
          {req("x"), req("lb1"), req("ub1"), opt_none("lb2"), opt_none("ub2"),
           opt("right", py::bool_(false))},
          R"(Positions of the values of ``x`` inside a slice.

With one slicing feature the bounds are ``lb1``/``ub1``, with two the bounds
are ``lb2``/``ub2`` and ``x`` holds the second feature. The lower bound is
closed; the upper bound is closed when ``right`` is true.

Returns
-------
numpy.ndarray of int64
)",
          get_index);
  cls.def("get_rule_list",
          {req("x"), req("y"), req("preds"), req("scores"), req("lb1"), req("ub1"),
           opt_none("lb2"), opt_none("ub2"), opt("right", py::bool_(false)),
           opt_none("sample_weight")},
          R"(One rule record for a slice: its bounds, score and row count.

Returns ``[{"splits": {"f0": {"lb", "ub"}[, "f1": ...]}, "values": score,
"counts": n}]``; an empty slice has score NaN and count 0.
)",
          get_rule_list);
  cls.def("evaluate_slice",
          {req("x"), req("y"), req("preds"), req("scores"), req("lb1"), req("ub1"),
           opt_none("lb2"), opt_none("ub2"), opt("right", py::bool_(false)),
           opt_none("sample_weight")},
          R"(The slice as a weak-region record if it is weak, in a list.

A slice is weak when ``score_sign * score <= score_sign * threshold_value``;
an empty slice never is. Returns ``[]`` or ``[{"lb1", "ub1"[, "lb2", "ub2"]}]``.
)",
          evaluate_slice);
  cls.def("fit",
          {req("train_x"), req("train_y"), req("test_x"), req("test_y"), opt_none("train_pred"),
           opt_none("test_pred"), opt_none("feature_names"), opt("use_test", py::bool_(true)),
           opt_none("train_sample_weight"), opt_none("test_sample_weight")},
          R"(Search weak regions and measure them on the training and test rows.

The rows of the searched side (test when ``use_test`` is true, training
otherwise) are scored, ``_fit`` searches them, and every weak region found is
measured on both sides. A region's lower bounds are closed; an upper bound is
closed exactly when it equals the maximum of the searched column.

Returns
-------
pandas.DataFrame or None
    One row per weak region, largest gap (test minus train score) first, with
    regions whose gap is NaN last; None when no region is weak. The records
    with the per-sample scores stay in ``weak_region_stats``.
)",
          bind::call_python("mirt.diagnoser._driver", "fit"));
  ctx().base_slicing = cls.finish().release();
}

}  // namespace mirt::lowpatch
